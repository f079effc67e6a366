"""nomos analyses: symbols, scopes, references and flags read back from the
"nomos.analysis.v2" capsule with ctypes, for Lua programs and a small typed language with
hoisted functions; type_of; diagnostics; and clear errors for bad rules and bad trees."""
import ctypes
import gc

import pytest

import nomos
import pargo
from support.abi import ANALYSIS_ABI, ANALYSIS_CAPSULE, AnalysisRecord, Node, SymbolRecord, TreeRecord, \
    make_word, record_of
from support.lua import ROOT, lua_example

lua = lua_example()

NONE = 0xFFFFFFFF

# --- reading the capsule -----------------------------------------------------------------

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]


def u32(address):
    return ctypes.c_uint32.from_address(address).value


def read_capsule(capsule):
    """The symbols of an analysis capsule as dicts, read through the records' mirrors."""
    assert _get_name(capsule) == ANALYSIS_CAPSULE
    record = record_of(capsule, ANALYSIS_CAPSULE, AnalysisRecord)
    assert record.abi == ANALYSIS_ABI
    count, refs = record.symbolCount, record.references or 0
    records = (SymbolRecord * count).from_address(record.symbols) if count else []
    symbols = []
    for rec in records:
        name = ctypes.string_at(rec.name or 0, rec.nameLength).decode()
        first, n = rec.firstReference, rec.referenceCount
        symbols.append({"name": name, "decl": rec.declaringNode, "scope": rec.scopeNode,
                        "refs": [u32(refs + 4 * (first + i)) for i in range(n)],
                        "flags": rec.flags})
    return symbols


def describe(tree, symbols):
    """Symbols as 'name scope refs' texts: the scope as 0, the kind of its node, or -; the
    reference lines after the colon."""
    out = []
    for s in symbols:
        scope = s["scope"]
        where = "-" if scope == NONE else "0" if scope == 0 else tree.node(scope).kind
        lines = ",".join(str(line_of(tree, r)) for r in s["refs"])
        flag = " builtin" if s["flags"] & 1 else ""
        out.append(f"{s['name']} {where}{flag}:{lines}")
    return out


def line_of(tree, node):
    return tree.text.count("\n", 0, tree.node(node).start) + 1


def check_name_nodes(tree, symbols):
    """Every declaring and referring node is a Name node spelling the symbol's name."""
    for s in symbols:
        nodes = s["refs"] + ([] if s["decl"] == NONE else [s["decl"]])
        for i in nodes:
            node = tree.node(i)
            assert node.kind == "Name" and node.text == s["name"], (s, i)
        if s["flags"] & 1:
            assert (s["decl"], s["scope"]) == (NONE, NONE)


def analyse(source, rules=None, **kw):
    tree = lua.parser.parse_tree(source)
    analysis = (rules or lua.rules).analyze(tree, **kw)
    return tree, analysis, read_capsule(analysis.capsule)


# --- Lua programs -------------------------------------------------------------------------

LUA_CASES = {
    "locals and a builtin": (
        "local x = 1\n"
        "local function f(a) return a + x end\n"
        "print(f(x))\n",
        ["x 0:2,3", "f 0:3", "a LocalFunction:2", "print - builtin:3"]),
    "globals are scope 0, declared at their first assignment": (
        "function show() print(count) end\n"
        "count = 1\n"
        "count = count + 1\n",
        ["show 0:", "print - builtin:1", "count 0:1,3,3"]),
    "shadowing in blocks, and local x = x sees the outer x": (
        "local x = 1\n"
        "do\n"
        "  local x = x + 1\n"
        "  print(x)\n"
        "end\n"
        "print(x)\n",
        ["x 0:3,6", "x Block:4", "print - builtin:4,6"]),
    "nested function capturing a loop block's variable": (
        "local fns = {}\n"
        "for i = 1, 3 do\n"
        "  local v = i * 2\n"
        "  fns[i] = function() return v end\n"
        "end\n"
        "while true do local w = 1; fns[4] = function() return w end; break end\n",
        ["fns 0:4,6", "i NumericFor:3,4", "v NumericFor:4", "w Block:6"]),
    "loop variables are seen in the body, not in the loop's own expressions": (
        "local i = 10\n"
        "for i = i, i + 1 do print(i) end\n"
        "for k, v in pairs({k = i}) do print(k, v) end\n",
        ["i 0:2,2,3", "i NumericFor:2", "print - builtin:2,3", "k GenericFor:3", "v GenericFor:3",
         "pairs - builtin:3"]),
    "local function sees itself, a local function value does not": (
        "local function fact(n) if n < 2 then return 1 end return n * fact(n - 1) end\n"
        "local loop = function() return loop() end\n",
        ["fact 0:1", "n LocalFunction:1,1,1", "loop 0:", "loop 0:2"]),
    "repeat's condition sees the body's locals": (
        "repeat local done = true until done\n",
        ["done Repeat:1"]),
    "parameters, and self declared by a method definition only": (
        "local t = {}\n"
        "function t.add(a, b) return a + b, self end\n"
        "function t:get(k) return self[k] end\n",
        ["t 0:2,3", "a FunctionStat:2", "b FunctionStat:2", "self 0:2", "self FunctionStat:3",
         "k FunctionStat:3"]),
}


@pytest.mark.parametrize("source, expected", LUA_CASES.values(), ids=LUA_CASES.keys())
def test_lua_symbols_from_the_capsule(source, expected):
    tree, analysis, symbols = analyse(source)
    assert analysis.diagnostics == []
    assert describe(tree, symbols) == expected
    check_name_nodes(tree, symbols)


def test_the_demo_binds_every_name_without_globals():
    source = (ROOT / "examples" / "lua" / "samples" / "demo.lua").read_text()
    tree = lua.parser.parse_tree(source, recover=True)
    analysis = lua.rules.analyze(tree)
    assert analysis.diagnostics == []
    names = [i for i in range(len(tree)) if tree.node(i).kind == "Name"]
    assert all(analysis.resolve(i) is not None for i in names)
    assert {s.name for s in analysis.symbols if s.scope == 0 and s.node is None} == set()
    assert {s.name for s in analysis.symbols if s.builtin} == {"print", "pairs", "ipairs"}


def test_symbols_in_the_capsule_agree_with_resolve():
    tree, analysis, symbols = analyse(LUA_CASES["nested function capturing a loop block's variable"][0])
    for k, s in enumerate(symbols):
        for node in s["refs"] + [s["decl"]]:
            sym = analysis.resolve(node)
            assert (sym.index, sym.name, sym.node, sym.scope) == (k, s["name"], s["decl"], s["scope"])
    assert analysis.resolve(0) is None
    assert analysis.resolve(10**6) is None
    v = analysis.resolve(symbols[2]["decl"])
    assert (v.kind, v.builtin) == ("variable", False)


def test_builtins_given_by_name_to_analyze():
    # A session passes the names earlier entries defined; they win over implicit globals.
    tree, analysis, symbols = analyse("total = total + step\nlocal step = 1\n", builtins=["total", "step"])
    assert describe(tree, symbols) == ["total - builtin:1,1", "step - builtin:1", "step 0:"]
    check_name_nodes(tree, symbols)


STRICT = nomos.Rules(
    lua.parser, names="Name", functions=["FunctionStat", "LocalFunction", "FunctionExpr"],
    blocks=["Block", "NumericFor", "GenericFor", "Repeat"],
    declare={"Local.names": "variable after", "LocalFunction.name": "function enclosing",
             "LocalFunction.params": "parameter"},
    undeclared="error", builtins=["print"])


def test_undeclared_name_is_an_error_or_a_global():
    source = "local a = 1\nprint(a + b)\n"
    tree, analysis, symbols = analyse(source, STRICT)
    assert [(d.severity, d.code, d.message, d.line, d.column) for d in analysis.diagnostics] == [
        ("error", "undeclared", "'b' is not declared", 2, 11)]
    assert isinstance(analysis.diagnostics[0], pargo.Diagnostic)
    assert "2 | " in analysis.diagnostics[0].render(source) or "print(a + b)" in analysis.diagnostics[0].render(source)
    assert [s["name"] for s in symbols] == ["a", "print"]
    tree, analysis, symbols = analyse(source)
    assert analysis.diagnostics == []
    assert describe(tree, symbols) == ["a 0:2", "print - builtin:2", "b 0:2"]


def test_redeclaration_can_be_an_error():
    rules = nomos.Rules(lua.parser, declare={"Local.names": "variable after"}, redeclare="error",
                        blocks=["Block"])
    tree = lua.parser.parse_tree("local a = 1\nlocal a = 2\ndo local a = 3 end\n")
    diags = rules.analyze(tree).diagnostics
    assert [(d.code, d.message, d.line) for d in diags] == [
        ("redeclared", "'a' is already declared in this scope", 2)]


def test_syntax_errors_of_the_tree_come_first():
    tree = lua.parser.parse_tree("local a = = 1\nprint(a)\n", recover=True)
    assert tree.errors
    analysis = STRICT.analyze(tree)
    assert analysis.diagnostics[:len(tree.errors)] == list(tree.errors)


def test_capsule_outlives_the_analysis_object():
    tree, analysis, _ = analyse("local x = 1\nprint(x)\n")
    capsule = analysis.capsule
    del analysis
    gc.collect()
    assert [s["name"] for s in read_capsule(capsule)] == ["x", "print"]


def test_empty_program_has_no_symbols():
    _, analysis, symbols = analyse("")
    assert symbols == [] and analysis.symbols == []
    record = record_of(analysis.capsule, ANALYSIS_CAPSULE, AnalysisRecord)
    assert (record.symbolCount, record.symbols, record.references) == (0, None, None)


# --- types --------------------------------------------------------------------------------

def nodes_with_text(tree, text, kind="Name"):
    return [i for i in range(len(tree)) if tree.node(i).kind == kind and tree.node(i).text == text]


@pytest.mark.parametrize("source, name, expected", [
    ("local n = 1\nprint(n)", "n", "int"),
    ("local f = 1.5\nprint(f)", "f", "float"),
    ("local s = 'a'\nprint(s)", "s", "str"),
    ("local b = false\nprint(b)", "b", "bool"),
    ("local z = nil\nprint(z)", "z", "None"),
    ("local a = 1\nlocal b = a\nprint(b)", "b", "int"),          # through a declared variable
    ("local a, b = 1, 'x'\nprint(b)", "b", "str"),               # by position
    ("local n = 1\nn = n + 1", "n", None),                        # assigned again: unknown
    ("local n = 1\nlocal function f() n = 2 end", "n", None),     # also from a nested function
    ("local a, b = 1\nprint(b)", "b", None),                      # no value for it
    ("local t = {}\nprint(t)", "t", None),
    ("g = 1\nprint(g)", "g", None),                                # globals are never inferred
    ("print(1)", "print", None),
])
def test_lua_type_of_names(source, name, expected):
    tree = lua.parser.parse_tree(source)
    analysis = lua.rules.analyze(tree)
    nodes = nodes_with_text(tree, name)
    assert nodes
    assert [analysis.type_of(i) for i in nodes] == [expected] * len(nodes)


@pytest.mark.parametrize("literal, expected", [
    ("1", "int"), ("1.0", "float"), ('"s"', "str"), ("true", "bool"), ("nil", "None"), ("{}", None),
    ("0x10", None), ("1 + 2", None),
])
def test_lua_type_of_literals(literal, expected):
    tree = lua.parser.parse_tree("return " + literal)
    analysis = lua.rules.analyze(tree)
    value = tree.node(0).children[0].children[0].children[0]
    assert analysis.type_of(value.index) == expected
    assert analysis.type_of(value) == expected  # a node object works too


# A small typed language of our own: annotations, hoisted functions, undeclared names are errors.
TYPED = pargo.compile(r"""
Prog = (items:Item)*
@silent
Item = Fn | Let | Use
Fn = 'fn' name:Name '(' (params:Param (',' params:Param)*)? ')' '{' body:Body '}'
Body = (items:Item)*
Param = name:Name ':' type:Type
Let = 'let' name:Name (':' type:Type)? '=' value:Expr ';'
Use = 'use' value:Expr ';'
@silent
Expr = Call | Num | Name
Call = callee:Name '(' ')'
@token
Num = [0-9]+ -> int
@token
Type = [A-Za-z]+ ('[' [A-Za-z]+ ']')? '?'? -> str
@token
Name = !('fn' | 'let' | 'use') [a-z]+
@skip
Space = [ \n]*
""")

TYPED_RULES = nomos.Rules(
    TYPED, functions=["Fn"], blocks=[],
    declare={"Fn.name": "function enclosing hoist", "Fn.params.name": "parameter",
             "Let.name": "variable after"},
    undeclared="error", builtins=["out"],
    types={"literals": {"Num": "int"}, "annotation": "type", "infer": "value"})


def test_hoisted_functions_and_annotations():
    source = "use main();\nfn main(xs: list[int], p: Point?) { let n: int = 1; use helper(); use xs; use p; }\n" \
             "fn helper() { let k = 2; use k; use out; }\n"
    tree = TYPED.parse_tree(source)
    analysis = TYPED_RULES.analyze(tree)
    assert analysis.diagnostics == []
    symbols = read_capsule(analysis.capsule)
    assert describe(tree, symbols) == ["main 0:1", "helper 0:2", "xs Fn:2", "p Fn:2", "n Fn:", "k Fn:3",
                                       "out - builtin:3"]
    check_name_nodes(tree, symbols)
    types = {tree.node(i).text: analysis.type_of(i) for i in range(len(tree)) if tree.node(i).kind == "Name"}
    assert types == {"main": None, "helper": None, "xs": "list[int]", "p": "Point?", "n": "int", "k": "int",
                     "out": None}


def test_without_hoisting_a_use_before_the_declaration_is_undeclared():
    rules = nomos.Rules(TYPED, functions=["Fn"], declare={"Fn.name": "function enclosing"},
                        undeclared="error")
    analysis = rules.analyze(TYPED.parse_tree("use f();\nfn f() { use f(); }\n"))
    assert [(d.message, d.line) for d in analysis.diagnostics] == [("'f' is not declared", 1)]


@pytest.mark.parametrize("action", ["Binding", "binding", "let_stmt"])
def test_kinds_are_named_by_any_class_action(action):
    # any action that makes no value is a class name, whatever its case, and names the kind
    p = pargo.compile(f"P = (items:L)*\nL = 'let' name:N ';' -> {action}\n@token N = [a-z]+\n@skip S = ' '*")
    rules = nomos.Rules(p, names=["N"], declare={f"{action}.name": "variable"})
    analysis = rules.analyze(p.parse_tree("let a; let b;"))
    assert [(s.name, s.kind, s.node) for s in analysis.symbols] == [("a", "variable", 2), ("b", "variable", 4)]
    with pytest.raises(ValueError, match="no rule 'list'"):
        nomos.Rules(pargo.compile("P = 'x' -> list"), names=["P"], functions=["list"])


def test_readme_worked_example():
    readme = (ROOT / "companions" / "nomos" / "README.md").read_text()
    source = readme.split("For the program\n\n```lua\n")[1].split("```")[0]
    tree = lua.parser.parse_tree(source)
    analysis = lua.rules.analyze(tree)
    line = lambda n: source.count("\n", 0, tree.node(n).start) + 1
    kind = lambda s: s.scope if s.scope in (0, None) else tree.node(s.scope).kind
    assert [(s.name, s.kind, kind(s), [line(r) for r in s.references]) for s in analysis.symbols] == [
        ("x", "variable", 0, [2, 5, 7]), ("f", "function", 0, [7]), ("a", "parameter", "LocalFunction", [2]),
        ("i", "variable", "NumericFor", [4]), ("v", "variable", "NumericFor", [5]), ("g", "variable", 0, [7]),
        ("print", "builtin", None, [7])]
    names = [i for i in range(len(tree)) if tree.node(i).kind == "Name"]
    assert {tree.node(i).text: analysis.type_of(i) for i in names if tree.node(i).text in "xvg"} == \
        {"x": "int", "v": None, "g": None}


# --- bad input ----------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, error, text", [
    ({"functions": ["Nope"]}, ValueError, "the grammar has no rule 'Nope'"),
    ({"declare": {"Local.nams": "variable"}}, ValueError, "'Local' has no label 'nams'"),
    ({"declare": {"Local": "variable"}}, ValueError, "must be 'Kind.label'"),
    ({"declare": {"Local.names": "variable sideways"}}, ValueError, "unknown word 'sideways'"),
    ({"declare": {"Local.names": "variable from"}}, ValueError, "'from' needs a label"),
    ({"declare": {"Local.names": "variable from nobody"}}, ValueError, "'Local' has no label 'nobody'"),
    ({"declare": {"Local.names": ""}}, ValueError, "names no symbol kind"),
    ({"declare": {"Local.names": 3}}, TypeError, "must be a str"),
    ({"assign": {"Ghost.x": "variable"}}, ValueError, "no rule 'Ghost'"),
    ({"implicit": {"FunctionStat.method": "self"}}, ValueError, "must be 'name symbolkind'"),
    ({"implicit": {"FunctionStat.nolabel": "self parameter"}}, ValueError, "has no label 'nolabel'"),
    ({"undeclared": "ignore"}, ValueError, "undeclared must be 'global' or 'error'"),
    ({"builtins": [1]}, TypeError, "builtins must be a list of names"),
    ({"types": {"literals": {"Int": "int"}, "annotaton": "t"}}, ValueError, "types has no entry 'annotaton'"),
    ({"types": {"annotation": "nolabel"}}, ValueError, "the grammar has no label 'nolabel'"),
    ({"types": {"literals": {"Nope": "int"}}}, ValueError, "no rule 'Nope'"),
])
def test_bad_rules_descriptions(kwargs, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(").replace("[", r"\[")):
        nomos.Rules(lua.parser, **kwargs)


def test_rules_need_a_pargo_parser():
    with pytest.raises(TypeError, match="pargo parser"):
        nomos.Rules(object())


def test_a_tree_of_another_parser_is_refused():
    tree = TYPED.parse_tree("fn f(x: int) { use x; }")
    with pytest.raises(ValueError, match="another parser|doesn't fit"):
        lua.rules.analyze(tree)
    with pytest.raises(ValueError, match="another parser|doesn't fit"):
        TYPED_RULES.analyze(lua.parser.parse_tree("local function f(a, b) return a end"))


def test_a_tree_of_another_compile_of_the_same_grammar_is_accepted():
    again = pargo.compile((ROOT / "examples" / "lua" / "lua.peg").read_text())
    analysis = lua.rules.analyze(again.parse_tree("local x = 1\nprint(x)"))
    assert [s.name for s in analysis.symbols] == ["x", "print"]


@pytest.mark.parametrize("tree", [object(), 3, None])
def test_analyze_needs_a_tree(tree):
    with pytest.raises(TypeError, match="pargo tree"):
        lua.rules.analyze(tree)


# Hand-made tree capsules: wrong ABI and malformed node arrays give errors, never a crash.
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class FakeTree:
    def __init__(self, text, nodes, abi=1, name=b"pargo.tree.v1"):
        data = text.encode()
        self._text = ctypes.create_string_buffer(data, len(data) + 1)
        self._nodes = (Node * max(len(nodes), 1))(*[Node(*n) for n in nodes])
        self._record = TreeRecord(abi, len(nodes), ctypes.addressof(self._nodes),
                                  ctypes.cast(self._text, ctypes.c_char_p), len(data), 0, None)
        self.capsule = _capsule_new(ctypes.addressof(self._record), name, None)
        self.errors = []


def word(kind, label=0):
    return make_word(kind, label)


def lua_kind(name):
    return lua.parser.rules().index(name)


@pytest.mark.parametrize("make, error", [
    (lambda: FakeTree("x", [(0, 1, 0, word(0))], abi=2), "ABI 1, this tree has 2"),
    (lambda: FakeTree("x", []), "no nodes"),
    (lambda: FakeTree("x", [(0, 1, 5, word(0))]), "more descendants"),
    (lambda: FakeTree("xy", [(0, 2, 1, word(0)), (0, 1, 1, word(0))]), "more descendants"),
    (lambda: FakeTree("xy", [(0, 2, 2, word(0)), (0, 1, 0, word(0)), (3, 1, 0, word(0))]), "outside the text"),
    (lambda: FakeTree("x", [(0, 1, 0, word(4000))]), "has kind 4000"),
    (lambda: FakeTree("x", [(0, 1, 1, word(0)), (0, 1, 0, word(lua_kind("Name"), 250))]), "has label 250"),
    (lambda: FakeTree("x", [(0, 1, 1, word(lua_kind("Name"))),
                            (0, 1, 0, word(lua_kind("Name"), lua.parser.fields().index("body") + 1))]),
     "label its parent's rule doesn't have"),
])
def test_malformed_trees_are_refused(make, error):
    with pytest.raises(ValueError, match=error):
        lua.rules.analyze(make())


def test_random_node_arrays_never_crash():
    import random
    rng = random.Random(7)
    kinds, fields = len(lua.parser.rules()), len(lua.parser.fields())
    for _ in range(300):
        n = rng.randint(1, 12)
        nodes = [(rng.randint(0, 4), rng.randint(0, 5), rng.randint(0, n - i),
                  word(rng.randint(0, kinds), rng.choice([0, 0, rng.randint(1, fields)])))
                 for i in range(n)]
        try:
            analysis = lua.rules.analyze(FakeTree("local", nodes))
        except ValueError:
            continue
        read_capsule(analysis.capsule)
        for i in range(n):
            analysis.resolve(i), analysis.type_of(i)


def test_every_truncated_demo_analyses():
    source = (ROOT / "examples" / "lua" / "samples" / "demo.lua").read_text()
    for end in range(0, len(source), 3):
        tree = lua.parser.parse_tree(source[:end], recover=True)
        analysis = lua.rules.analyze(tree)
        assert analysis.diagnostics[:len(tree.errors)] == list(tree.errors)
        read_capsule(analysis.capsule)


def test_a_capsule_of_another_name_is_refused():
    with pytest.raises(TypeError, match="pargo tree"):
        lua.rules.analyze(FakeTree("x", [(0, 1, 0, word(0))], name=b"other.v1"))


def test_long_chains_and_deep_trees_do_not_overflow():
    # type_of follows local b = a chains only so far; the walk itself is not recursive.
    n = 5000
    source = "local v0 = 1\n" + "".join(f"local v{i} = v{i - 1}\n" for i in range(1, n))
    tree = lua.parser.parse_tree(source)
    analysis = lua.rules.analyze(tree)
    last = max(i for i in range(len(tree)) if tree.node(i).kind == "Name")
    assert analysis.type_of(last) in (None, "int")
    assert analysis.type_of(nodes_with_text(tree, "v1")[0]) == "int"
    depth = 100_000
    nodes = [(0, 1, depth - 1 - i, word(0)) for i in range(depth)]
    analysis = lua.rules.analyze(FakeTree("x", nodes))
    assert analysis.symbols == []


def test_version():
    assert nomos.version() >= "0.1.5"
