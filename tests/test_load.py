"""Loading a program: Language.load's arguments, LoadError with every diagnostic rendered
(with and without rules, with a path), warnings that do not stop a load, the checks on the
parser's and the rules' capsules (hand-made ones included), what a Program shows, and loads of
random and truncated programs, which give a Program or a LoadError and never crash."""
import ctypes
import gc
import os
import random

import pytest

import pargo
import wuna

from support.abi import AnalysisRecord, Node as NodeRecord, TreeRecord
from support.lua import LUA_DIR, lua_example
from support.processes import run_python
from support.small_language import make_language

lua = lua_example()
SAMPLES = [str(LUA_DIR / "samples" / name) for name in sorted(os.listdir(LUA_DIR / "samples"))]


@pytest.fixture(scope="module")
def with_rules():
    return wuna.Language(lua.parser, lua.rules)


@pytest.fixture(scope="module")
def without_rules():
    return wuna.Language(lua.parser)


def rendered(diagnostics, source, path=None):
    return "\n".join(d.render(source) if path is None else d.render(source, path)
                     for d in diagnostics)


# ---- arguments ----------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "load() missing required argument 'source'"),
    (("x", None, 3), {}, "load() takes at most 2 positional arguments (3 given)"),
    (("x",), {"source": "y"}, "load() got multiple values for argument 'source'"),
    (("x", "a.lua"), {"path": "b.lua"}, "load() got multiple values for argument 'path'"),
    (("x",), {"mode": "python"}, "load() got an unexpected keyword argument 'mode'"),
    ((123,), {}, "source must be a str"),
    ((b"local x = 1",), {}, "source must be a str"),
    # a path is checked at load, not first when an error text would name it
    (("local x = 1", 5), {}, "path must be a str"),
    (("local x = 1",), {"path": b"a.lua"}, "path must be a str"),
    (("local = ",), {"path": 5}, "path must be a str"),     # before the syntax error
])
def test_argument_errors(with_rules, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        with_rules.load(*args, **kwargs)
    assert str(caught.value) == message


def test_source_and_path_by_keyword(with_rules):
    program = with_rules.load(path=None, source="local x = 1")
    assert program.source == "local x = 1"


class PathStr(str):
    pass


def test_a_runtime_error_names_a_str_path_given_at_load():
    program = make_language().load("x = 1 / 0;", PathStr("prog.txt"))
    with pytest.raises(wuna.Error) as caught:
        program.run()
    assert str(caught.value).startswith("prog.txt:1:5: error[runtime]: division by zero")


def test_a_language_whose_constructor_never_ran_refuses():
    with pytest.raises(RuntimeError):
        wuna.Language.__new__(wuna.Language).load("x = 1")


# ---- LoadError ----------------------------------------------------------------------------

BAD = "local x = = 1\nprint(x\n"


@pytest.mark.parametrize("rules", [True, False], ids=["rules", "no rules"])
@pytest.mark.parametrize("path", [None, "prog.lua"])
def test_syntax_errors_raise_load_error_with_every_diagnostic(with_rules, without_rules, rules, path):
    language = with_rules if rules else without_rules
    with pytest.raises(wuna.LoadError) as caught:
        language.load(BAD, path)
    diagnostics = caught.value.diagnostics
    assert len(diagnostics) == 2 and all(d.severity == "error" for d in diagnostics)
    assert str(caught.value) == rendered(diagnostics, BAD, path)
    assert str(caught.value).startswith("prog.lua:1:" if path else "1:")


def test_name_errors_of_the_rules_raise_load_error():
    import nomos
    strict = nomos.Rules(lua.parser, names=["Name"], functions=["LocalFunction"],
                         blocks=["Block"], declare={"Local.names": "variable after"},
                         undeclared="error")
    language = wuna.Language(lua.parser, strict)
    with pytest.raises(wuna.LoadError) as caught:
        language.load("local a = 1\nprint(b)\n", "names.lua")
    assert [d.code for d in caught.value.diagnostics] == ["undeclared", "undeclared"]
    assert "names.lua:2:1" in str(caught.value) and "names.lua:2:7" in str(caught.value)


class Analysis:
    """Stands for a nomos analysis: given diagnostics, and a capsule (by default the real
    analysis' own)."""

    def __init__(self, real, diagnostics, **capsule):
        self.diagnostics = diagnostics
        self._real = real
        if "capsule" in capsule:
            if capsule["capsule"] is not None:
                self.capsule = capsule["capsule"]
        else:
            self.capsule = real.capsule


class Rules:
    """Rules whose analyze gives the real Lua analysis with the diagnostics chosen."""

    def __init__(self, diagnostics=(), raises=None, **capsule):
        self.diagnostics = list(diagnostics)
        self.raises = raises
        self.capsule = capsule
        self.builtins = "not called"

    def analyze(self, tree, builtins=None):
        if self.raises:
            raise self.raises
        self.builtins = builtins
        return Analysis(lua.rules.analyze(tree), self.diagnostics, **self.capsule)


def diagnostic(severity, start, message):
    return pargo.Diagnostic(severity, "test", message, (start, start + 1), 1, start + 1)


def test_warnings_alone_load_and_are_kept():
    warning = diagnostic("warning", 6, "x is never used")
    rules = Rules([warning])
    program = wuna.Language(lua.parser, rules).load("local x = 1")
    assert program.diagnostics == [warning]
    assert rules.builtins is None   # analyze(tree), without builtins


def test_errors_and_warnings_are_all_rendered_in_order():
    found = [diagnostic("error", 0, "first"), diagnostic("warning", 6, "second"),
             diagnostic("error", 10, "third")]
    language = wuna.Language(lua.parser, Rules(found))
    with pytest.raises(wuna.LoadError) as caught:
        language.load("local x = 1", "w.lua")
    assert caught.value.diagnostics == found
    assert str(caught.value) == rendered(found, "local x = 1", "w.lua")
    headers = [line for line in str(caught.value).split("\n") if line.startswith("w.lua:")]
    assert headers == ["w.lua:1:1: error[test]: first", "w.lua:1:7: warning[test]: second",
                       "w.lua:1:11: error[test]: third"]


@pytest.mark.parametrize("error", [ValueError("analysis broke"), KeyError("k")])
def test_failures_of_the_rules_pass_unchanged(error):
    with pytest.raises(type(error)) as caught:
        wuna.Language(lua.parser, Rules(raises=error)).load("local x = 1")
    assert caught.value is error


# ---- capsules -----------------------------------------------------------------------------

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class HandMade:
    """A capsule over a ctypes record; keeps the record and its name alive."""

    def __init__(self, record, name, *keep):
        self.record, self.name, self.keep = record, name, keep
        self.capsule = _capsule_new(ctypes.addressof(record), name, None)


def tree_capsule(abi=1, nodes=((0, 3, 0),), count=None, null_nodes=False, name=b"pargo.tree.v1"):
    array = (NodeRecord * max(len(nodes), 1))(*[NodeRecord(s, e, d, 0) for s, e, d in nodes])
    text = b"abc"
    record = TreeRecord(abi, len(nodes) if count is None else count,
                        None if null_nodes else ctypes.addressof(array), text, len(text))
    return HandMade(record, name, array, text)


class FakeTree:
    def __init__(self, made, errors=()):
        self.made = made
        if made is not None:
            self.capsule = made.capsule
        self.errors = list(errors)


class FakeParser:
    """A parser of one rule whose parse_tree gives the tree it is handed."""

    def __init__(self, tree):
        self.tree = tree
        self.calls = []

    def rules(self):
        return ["Root"]

    def actions(self):
        return [None]

    def fields(self):
        return []

    def labels(self):
        return [[]]

    def parse_tree(self, text, **options):
        self.calls.append((text, options))
        return self.tree


@pytest.mark.parametrize("made, error, message", [
    (tree_capsule(abi=2), ImportError, "wuna reads pargo trees with ABI 1, this pargo has 2"),
    (tree_capsule(abi=0xFFFFFFFF), ImportError,
     "wuna reads pargo trees with ABI 1, this pargo has 4294967295"),
    (tree_capsule(null_nodes=True), ValueError, "the parser's tree has no node array"),
    (tree_capsule(count=0), ValueError, "the parser's tree has no nodes"),
    (tree_capsule(nodes=((0, 3, 1),)), ValueError, "descendants run past its node array"),
    (tree_capsule(nodes=((0, 3, 1), (0, 1, 0xFFFFFFFF))), ValueError,
     "descendants run past its node array"),
    (tree_capsule(name=b"pargo.tree.v2"), ValueError, "incorrect name"),
    (None, AttributeError, "capsule"),
])
def test_tree_capsules_that_cannot_be_read_raise(made, error, message):
    language = wuna.Language(FakeParser(FakeTree(made)))
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        language.load("abc")


def test_a_hand_made_tree_loads_and_parse_tree_recovers():
    parser = FakeParser(FakeTree(tree_capsule(nodes=((0, 3, 1), (1, 2, 0)))))
    program = wuna.Language(parser).load("abc")
    assert parser.calls == [("abc", {"recover": True})]
    assert program.root.text == "abc" and program.root.children[0].text == "b"
    assert program.analysis is None and program.diagnostics == []


def analysis_capsule(abi):
    return HandMade(AnalysisRecord(abi, 0, None, 0, None), b"nomos.analysis.v2")


@pytest.mark.parametrize("made, message", [
    (None, "wuna needs nomos 0.1.5 or later (Analysis.capsule)"),
    (analysis_capsule(3), "wuna reads nomos analyses with ABI 2, this nomos has 3"),
    (analysis_capsule(1), "wuna reads nomos analyses with ABI 2, this nomos has 1"),
])
def test_analysis_capsules_of_another_nomos_raise_import_error(made, message):
    language = wuna.Language(lua.parser, Rules(capsule=made and made.capsule))
    with pytest.raises(ImportError) as caught:
        language.load("local x = 1")
    assert str(caught.value) == message


def test_an_analysis_counting_symbols_it_does_not_have_raises():
    made = HandMade(AnalysisRecord(2, 3, None, 0, None), b"nomos.analysis.v2")
    language = wuna.Language(lua.parser, Rules(capsule=made.capsule))
    with pytest.raises(ValueError, match="has symbols but no symbol records"):
        language.load("local x = 1")


def test_an_analysis_with_no_symbols_loads():
    made = analysis_capsule(2)
    program = wuna.Language(lua.parser, Rules(capsule=made.capsule)).load("local x = 1")
    assert program.root.kind == "Chunk"


# ---- the Program --------------------------------------------------------------------------

def test_program_shows_what_it_loaded(with_rules):
    source = "local x = 1\nprint(x)\n"
    program = with_rules.load(source, "p.lua")
    assert repr(program) == "Program()"
    assert program.source is source
    assert isinstance(program.tree, pargo.Tree) and program.tree.text == source
    assert program.analysis.resolve(program.root.find("Name")[0].index).name == "x"
    assert program.diagnostics == []
    root = program.root
    assert isinstance(root, wuna.Node) and root.index == 0 and root.kind == "Chunk"
    assert program.root == root and program.root is not root


def test_program_without_rules_has_no_analysis(without_rules):
    program = without_rules.load("print(1)")
    assert program.analysis is None
    assert program.diagnostics == []


def test_a_program_not_made_by_load_refuses_its_getters():
    program = wuna.Program()
    assert repr(program) == "Program()"
    for name in ["source", "tree", "analysis", "diagnostics", "root"]:
        with pytest.raises(RuntimeError):
            getattr(program, name)


def test_nodes_keep_their_program_alive(with_rules):
    root = with_rules.load("local x = 1").root
    gc.collect()
    assert root.find("Int")[0].text == "1"


def test_a_cycle_through_the_state_is_collected(with_rules):
    def live_nodes():
        return sum(1 for o in gc.get_objects() if type(o) is wuna.Node)

    gc.collect()
    before = live_nodes()
    for _ in range(5):
        program = with_rules.load("local x = 1")
        program.diagnostics.append(program.root)   # the State's list now holds its node
    del program
    gc.collect()
    assert live_nodes() == before


# ---- loads of random and truncated programs -----------------------------------------------

def load_outcome(language, source):
    """A Program or a LoadError; any other exception (or a crash) fails the test."""
    try:
        program = language.load(source)
    except wuna.LoadError as error:
        assert error.diagnostics and str(error)
        return error
    assert program is not None
    # Walk what the program shows: every node's attributes stay readable.
    for node in program.root.find(program.root.rule) + [program.root]:
        repr(node), node.text, node.line, node.column, node.fields, node.children, node.parent
    return program


@pytest.mark.parametrize("sample", SAMPLES, ids=os.path.basename)
def test_truncated_samples_load_or_raise_load_error(with_rules, without_rules, sample):
    with open(sample, encoding="utf-8") as f:
        source = f.read()
    assert isinstance(load_outcome(with_rules, source), wuna.Program)
    step = max(1, len(source) // 60)
    for cut in range(0, len(source), step):
        for language in (with_rules, without_rules):
            load_outcome(language, source[:cut])


PIECES = ["local", "function", "end", "(", ")", "x", "=", "1", "..", "'s", '"', "{", "}", "[[",
          "]]", "--", "\n", " ", "for", "do", "in", ",", "return", "\x00", "é", "\ud7ff", "0x",
          "1e", "#", "::", "goto", "if", "then", "else"]


def test_random_programs_load_or_raise_load_error(with_rules):
    rng = random.Random(20261210)
    for _ in range(400):
        source = "".join(rng.choice(PIECES) for _ in range(rng.randrange(0, 40)))
        load_outcome(with_rules, source)


def test_random_mutations_of_a_sample_load_or_raise_load_error(with_rules):
    with open(SAMPLES[0], encoding="utf-8") as f:
        source = f.read()
    rng = random.Random(7)
    for _ in range(200):
        chars = list(source)
        for _ in range(rng.randrange(1, 6)):
            chars[rng.randrange(len(chars))] = rng.choice(PIECES)
        load_outcome(with_rules, "".join(chars))


# ---- a language changed while it loads ----------------------------------------------------

class Broken(FakeParser):
    """A parser whose grammar cannot be read: a Language made again from it is left empty."""

    def rules(self):
        raise ValueError("no rules today")


class Meddling(FakeParser):
    """A parser whose parse_tree (or rules whose analyze) first runs the given code."""

    def __init__(self, tree, meddle):
        super().__init__(tree)
        self.meddle = meddle

    def parse_tree(self, text, **options):
        self.meddle()
        return super().parse_tree(text, **options)


def test_a_language_emptied_by_its_parser_refuses_the_load():
    def empty():
        with pytest.raises(ValueError):
            language.__init__(Broken(None))
    language = wuna.Language(Meddling(FakeTree(tree_capsule()), empty))
    with pytest.raises(RuntimeError, match="has no grammar"):
        language.load("abc")


def test_a_language_made_again_by_its_rules_loads_with_its_new_grammar():
    class Rules2(Rules):
        def analyze(self, tree, builtins=None):
            language.__init__(pargo.compile("Other = 'x' -> Other"))
            return super().analyze(tree, builtins)

    language = wuna.Language(lua.parser, Rules2())
    root = language.load("local x = 1").root
    # The tree's kinds are read against the grammar the language has now: no crash.
    assert isinstance(repr(root), str)
    for node in root.find("Other") + [root]:
        node.kind, node.fields, node.children


# The small language of support/small_language.py without the parameters declared, so that a call finds each
# parameter's node through the grammar's labels. Between the two constructions the memory
# of the first grammar is taken and overwritten, so that reading it after it was freed fails
# for sure.
CONSTRUCTED_AGAIN = """
    import ctypes
    import nomos, wuna
    from support.small_language import parser

    def define(lang):
        lang.function("FuncDef", params="params", body="body", name="name")
        lang.eval("Binary")(lambda node, rt: rt.eval(node.left) + rt.eval(node.right))

        @lang.exec("Return")
        def return_(node, rt):
            raise rt.Return(rt.eval(node.value))

    def construct(lang):
        rules = nomos.Rules(parser(), names=["Name"], functions=["FuncDef"],
                            blocks=["Block"], declare={"FuncDef.name": "function enclosing hoist"},
                            undeclared="global")
        lang.__init__(parser(), rules)
        define(lang)

    class Broken:
        def rules(self):
            raise ValueError("no rules today")

    lang = wuna.Language.__new__(wuna.Language)
    construct(lang)
    program = lang.load("def add(a, b) { return a + b; }")
    assert program.call("add", 2, 3, mode="python") == 5
    try:
        lang.__init__(Broken())
    except ValueError:
        pass
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    taken = [libc.malloc(96) for _ in range(32)]
    for block in taken:
        ctypes.memset(block, 0xA5, 96)
    construct(lang)
    print(program.call("add", 2, 3, mode="python"), program.call("add", 4, 5, mode="python"))
    libc.free.argtypes = [ctypes.c_void_p]
    for block in taken:
        libc.free(block)
"""


def test_a_program_loaded_before_its_language_is_constructed_again_still_runs():
    out = run_python(CONSTRUCTED_AGAIN)
    assert (out.returncode, out.stdout, out.stderr) == (0, "5 9\n", "")
