"""rt.parse: a text parsed at run time with a pargo parser into a tree of wuna.Node objects of
its own: the default and a given start rule, recovery (the pair of tree and errors, the
errors as the parser reports them), the parser's errors passed on, a grammar that is not a
parser, the argument checks with their messages, and trees that outlive everything else."""
import gc
import os
import subprocess
import sys
import weakref

import pytest

import pargo
import wuna
from support.parse_grammar import BROKEN, GRAMMAR


@pytest.fixture(scope="module")
def parser():
    return pargo.compile(GRAMMAR)


@pytest.fixture(scope="module")
def rt():
    return wuna.Runtime()


def test_parse_gives_the_root_node_of_a_tree_of_its_own(rt, parser):
    root = rt.parse(parser, "let x = 1 + y;\nshow x, 2;")
    assert type(root) is wuna.Node and root.kind == "Program"
    assign, show = root.stmts
    assert (assign.kind, assign.name, assign.text) == ("Assign", "x", "let x = 1 + y;")
    assert assign.value.kind == "Binary" and assign.value.op == "+"
    assert (assign.value.left, assign.value.right) == (1, "y")
    assert show.kind == "Show" and show.args == ["x", 2]
    assert show.line == 2


def test_each_parse_makes_a_new_tree(rt, parser):
    first = rt.parse(parser, "let x = 1;")
    second = rt.parse(parser, "let y = 2;\nlet z = 3;")
    assert [s.name for s in first.stmts] == ["x"]
    assert [s.name for s in second.stmts] == ["y", "z"]
    assert first != second


def test_nodes_outlive_the_parse_and_the_parser_name(rt):
    parser = pargo.compile(GRAMMAR)
    stmt = rt.parse(parser, "show 41, 42;").stmts[0]
    del parser
    gc.collect()
    assert stmt.args == [41, 42] and stmt.text == "show 41, 42;"


def test_parsing_holds_no_reference_for_long(rt):
    parser = pargo.compile(GRAMMAR)
    rt.parse(parser, "let a = 1;")   # the parser's grammar is read and kept once
    gc.collect()
    before = sys.getrefcount(parser)
    for _ in range(200):
        rt.parse(parser, "let a = 1;")
        rt.parse(parser, BROKEN, recover=True)
        with pytest.raises(pargo.ParseError):
            rt.parse(parser, BROKEN)
    gc.collect()
    assert sys.getrefcount(parser) == before


@pytest.mark.parametrize("start,text,kind", [
    ("Assign", "let q = 3;", "Assign"),
    ("Expr", "1 - b", "Binary"),
    ("Name", "abc", "Name"),
    (None, "let q = 3;", "Program"),
])
def test_start_rule(rt, parser, start, text, kind):
    assert rt.parse(parser, text, start).kind == kind
    assert rt.parse(parser, text, start=start).kind == kind


def test_start_rule_is_passed_to_the_parser(rt, parser):
    with pytest.raises(pargo.ParseError):
        rt.parse(parser, "let q = 3;", start="Show")


def test_recover_gives_the_tree_and_its_errors(rt, parser):
    root, errors = rt.parse(parser, BROKEN, recover=True)
    diagnostics = parser.parse_tree(BROKEN, recover=True).errors
    assert len(errors) == 2
    assert errors == [(d.span[0], d.line, d.column, d.message) for d in diagnostics]
    assert [e[1:3] for e in errors] == [(2, 9), (3, 9)]
    assert all(type(e) is tuple and isinstance(e[3], str) for e in errors)
    assert [c.kind for c in root.children] == ["Assign", "<error>", "<error>", "Show"]
    # An error's offset is where the parse failed (as a plain parse reports it), not where
    # its error node starts: compiled code reads the same offset from the parser's records.
    with pytest.raises(pargo.ParseError) as caught:
        rt.parse(parser, BROKEN)
    assert errors[0][0] == caught.value.offset == BROKEN.index("b = ;") + 4
    assert root.children[1].span[0] == BROKEN.index("let b")


def test_recover_on_a_clean_text_gives_no_errors(rt, parser):
    root, errors = rt.parse(parser, "let a = 1;", recover=True)
    assert root.kind == "Program" and errors == []


def test_recover_with_a_start_rule(rt, parser):
    root, errors = rt.parse(parser, "1 + ;", "Expr", True)
    assert root.children[-1].kind == "<error>"   # the text the start rule left
    assert [e[:3] for e in errors] == [(4, 1, 5)]


@pytest.mark.parametrize("flag,recovers", [
    (True, True), (1, True), ("yes", True), ([0], True),
    (False, False), (0, False), ("", False), ([], False), (None, False),
])
def test_recover_is_the_truth_of_the_argument(rt, parser, flag, recovers):
    if recovers:
        root, errors = rt.parse(parser, BROKEN, recover=flag)
        assert len(errors) == 2
    else:
        with pytest.raises(pargo.ParseError):
            rt.parse(parser, BROKEN, recover=flag)
        assert rt.parse(parser, "show 1;", recover=flag).kind == "Program"


def test_recover_whose_truth_fails(rt, parser):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")
    with pytest.raises(ZeroDivisionError, match="no truth"):
        rt.parse(parser, "show 1;", recover=Bad())


def test_syntax_error_is_the_parsers(rt, parser):
    with pytest.raises(pargo.ParseError) as caught:
        rt.parse(parser, BROKEN)
    assert (caught.value.line, caught.value.column) == (2, 9)
    assert str(caught.value).startswith("line 2, col 9: expected ")


@pytest.mark.parametrize("text,start,error,message", [
    ("abc", "Nope", ValueError, "unknown start rule"),
    ("abc", "N" * 300, ValueError, "unknown start rule"),   # as compiled code refuses it
    ("q", "Quiet", ValueError, "the start rule matched but produced no nodes (is it @silent?)"),
    (3, None, TypeError, "parse input must be str or bytes"),
    (None, None, TypeError, "parse input must be str or bytes"),
])
def test_parser_errors_pass_on(rt, parser, text, start, error, message):
    with pytest.raises(error) as caught:
        rt.parse(parser, text, start)
    assert str(caught.value) == message


def test_bytes_text(rt, parser):
    assert [s.name for s in rt.parse(parser, b"let x = 1;").stmts] == ["x"]


class HalfParser:
    def parse_tree(self, text):
        raise AssertionError("never called")


@pytest.mark.parametrize("grammar", [42, "Program = 'x'", None, HalfParser(), pargo],
                         ids=["int", "str", "None", "no labels", "module"])
def test_grammar_must_be_a_parser(rt, grammar):
    with pytest.raises(TypeError) as caught:
        rt.parse(grammar, "let a = 1;")
    assert str(caught.value) == "rt.parse: the grammar must be a pargo parser (pargo.compile()'s)"


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "parse() missing required argument 'grammar'"),
    (("P",), {}, "parse() missing required argument 'text'"),
    (("P", "x", None, False, 1), {}, "parse() takes at most 4 positional arguments (5 given)"),
    (("P", "x"), {"grammar": "P"}, "parse() got multiple values for argument 'grammar'"),
    (("P", "x", None, True), {"recover": True},
     "parse() got multiple values for argument 'recover'"),
    (("P", "x"), {"rule": "Name"}, "parse() got an unexpected keyword argument 'rule'"),
])
def test_argument_errors(rt, parser, args, kwargs, message):
    args = tuple(parser if a == "P" else a for a in args)
    kwargs = {k: parser if v == "P" else v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        rt.parse(*args, **kwargs)
    assert str(caught.value) == message


def test_all_arguments_by_keyword(rt, parser):
    root, errors = rt.parse(recover=True, start="Show", text="show 1, 2;", grammar=parser)
    assert root.kind == "Show" and root.args == [1, 2] and errors == []


def test_signature():
    assert wuna.Runtime.parse.__text_signature__ == (
        "($self, /, grammar, text, start=None, recover=False)")


# ---- through a program's run --------------------------------------------------------------

OUTER = r"""
Program = stmts:Sub*
Sub = 'sub' text:Quoted ';'
@token Quoted = '"' [^"]* '"' -> unquote
@skip Space = [ \t\n]+
"""


def test_a_programs_rt_parses_with_another_grammar(parser):
    language = wuna.Language(pargo.compile(OUTER))
    trees = []

    @language.exec("Sub")
    def sub(node, rt):
        trees.append(rt.parse(parser, node.text, recover=True))

    language.load('sub "let a = 1;"; sub "show ;";').run()
    (first, clean), (second, errors) = trees
    assert [s.name for s in first.stmts] == ["a"] and clean == []
    assert second.children[0].kind == "<error>" and [e[1:3] for e in errors] == [(1, 6)]


def test_a_programs_parse_error_is_a_runtime_error(parser):
    language = wuna.Language(pargo.compile(OUTER))

    @language.exec("Sub")
    def sub(node, rt):
        rt.parse(parser, node.text)

    with pytest.raises(wuna.Error) as caught:
        language.load('sub "let = 1;";').run()
    assert "line 1, col 5: expected Name" in str(caught.value)


# ---- parsers that run Python while their answers are read -----------------------------------
#
# rt.parse reads lists a parser gives (its grammar's, its errors) while calling code that may
# change them. Each case runs in a child interpreter: before the fix these crashed it.

FIDDLING_PARSERS = r'''
import pargo, wuna

GRAMMAR = r"""
@recover Program = stmts:Stmt*
Stmt = 'x' name:Name ';' -> Stmt
@token Name = [a-z]+ -> str
@skip Space = [ \t\n]+
"""
REAL = pargo.compile(GRAMMAR)


class Passing:
    # A parser of a Python class, handing everything on to a pargo parser.
    def __getattr__(self, name):
        return getattr(REAL, name)


class ClearingColumn:
    # A parse error whose column clears the list of errors it is read from.
    def __init__(self, errors):
        self.errors, self.span, self.line, self.message = errors, (0, 1), 1, "m"

    @property
    def column(self):
        self.errors.clear()
        return 1


class Result:
    def __init__(self, real):
        self.real = real
        self.errors = []
        self.errors.extend(ClearingColumn(self.errors) for _ in range(40))

    def __getattr__(self, name):
        return getattr(self.real, name)


class ErrorsCleared(Passing):
    def parse_tree(self, text, start=None, recover=False):
        return Result(REAL.parse_tree(text, recover=recover))


class Flag:
    # A label's list flag whose truth empties every list the parser handed over.
    def __init__(self, lists):
        self.lists = lists

    def __bool__(self):
        for each in self.lists:
            each.clear()
        return False


class GrammarCleared(Passing):
    def __init__(self):
        self.lists = []

    def keep(self, items):
        self.lists.append(items)
        return items

    def rules(self):
        return self.keep(REAL.rules())

    def actions(self):
        return self.keep(REAL.actions())

    def fields(self):
        return self.keep(REAL.fields())

    def labels(self):
        outer = self.keep([])
        for pairs in REAL.labels():
            outer.append(self.keep([(name, Flag(self.lists)) for name, _ in pairs]))
        return outer


rt = wuna.Runtime()
'''

FIDDLING_CASES = [
    ("errors cleared while read", """
root, errors = rt.parse(ErrorsCleared(), "x a; x b;", recover=True)
print(root.kind, len(errors), errors[0])
""", "Program 40 (0, 1, 1, 'm')\n"),
    ("grammar lists cleared while read", """
root = rt.parse(GrammarCleared(), "x a; x b;")
print(root.kind, [s.kind for s in root.stmts], [s.text for s in root.children])
""", "Program ['Stmt', 'Stmt'] ['x a;', 'x b;']\n"),
]


def run_child(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60, env=env)


@pytest.mark.parametrize("case, code, output", FIDDLING_CASES,
                         ids=[case for case, _, _ in FIDDLING_CASES])
def test_lists_changed_while_read_are_read_as_given(case, code, output):
    done = run_child(FIDDLING_PARSERS + code)
    assert done.returncode == 0, done.stderr
    assert done.stdout == output


# ---- the grammar kept per parser --------------------------------------------------------------

class Watched:
    """A parser of a Python class (a weak reference can watch it), passing on to a pargo
    parser and counting the reads of its grammar."""

    def __init__(self, parser):
        self.parser = parser
        self.reads = 0

    def rules(self):
        self.reads += 1
        return self.parser.rules()

    def __getattr__(self, name):
        return getattr(self.parser, name)


def test_parsers_given_once_are_not_kept(rt, parser):
    watching = []
    for _ in range(500):
        given = Watched(parser)
        watching.append(weakref.ref(given))
        assert rt.parse(given, "let a = 1;").kind == "Program"
    del given
    gc.collect()
    alive = sum(1 for w in watching if w() is not None)
    # A few dead ones may wait for the next sweep; before, every one of them was kept.
    assert alive <= 100


def test_a_parser_in_use_keeps_its_grammar_read_once(rt, parser):
    kept = Watched(parser)
    for i in range(300):
        assert rt.parse(kept, "let a = 1;").kind == "Program"
        rt.parse(Watched(parser), "let b = 2;")   # others come and go around it
    assert kept.reads == 1


def test_a_tree_outlives_its_parser_and_the_sweeps(rt, parser):
    given = Watched(parser)
    watch = weakref.ref(given)
    root = rt.parse(given, "let x = 1;\nshow x, 2;")
    del given
    for _ in range(300):
        rt.parse(Watched(parser), "let b = 2;")
    gc.collect()
    assert watch() is not None   # the tree holds its parser, and the parser its grammar
    assign, show = root.stmts
    assert (assign.kind, assign.name, show.args, show.kind) == ("Assign", "x", ["x", 2], "Show")
    del root, assign, show
    for _ in range(300):
        rt.parse(Watched(parser), "let b = 2;")
    gc.collect()
    assert watch() is None


def test_parsers_compiled_for_each_parse(rt):
    for i in range(200):
        root = rt.parse(pargo.compile(GRAMMAR), f"let a{'b' * (i % 5)} = {i};")
        assert root.stmts[0].value == i
