"""The Lua example grammar: samples parse, operators nest by Lua's precedence and
associativity, suffix chains fold left, literals read as their actions say, syntax errors
point at the right place, and a broken statement inside a function is recovered from."""
import subprocess
import sys

import pytest

from support.lua import LUA_DIR, SAMPLES, lua_example
from support.processes import python_env

lua = lua_example()
parser = lua.parser


# Kinds shown as (Kind) even when they have no children; other leaves show their text.
STRUCTURAL = {"Block", "Call", "Table", "Break"}


def shape(node):
    """A node as an s-expression: token leaves as their text, others as (Kind child ...)."""
    children = node.children
    if not children and lua.kind_name(node) not in STRUCTURAL:
        return node.text
    return "(" + " ".join([lua.kind_name(node)] + [shape(c) for c in children]) + ")"


def expr_node(source):
    """The node of one expression, parsed as the value of a return statement."""
    tree = parser.parse_tree("return " + source)
    chunk = tree.node(0)
    block = chunk.children[0]
    ret = block.children[-1]
    assert lua.kind_name(ret) == "Return"
    assert len(ret.children) == 1, shape(ret)
    return tree, ret.children[0]


def stat_node(source):
    tree = parser.parse_tree(source)
    return tree, tree.node(0).children[0].children[0]


@pytest.mark.parametrize("path", SAMPLES, ids=[p.name for p in SAMPLES])
def test_every_sample_parses(path):
    source = path.read_text()
    tree = parser.parse_tree(source, recover=True)
    assert tree.errors == []
    parser.parse_tree(source)  # also without recovery


def test_demo_is_a_real_program():
    demo = (LUA_DIR / "samples" / "demo.lua").read_text()
    assert len(demo.splitlines()) >= 30


@pytest.mark.parametrize("source, expected", [
    # arithmetic levels and left associativity
    ("1+2*3", "(Binary 1 + (Binary 2 * 3))"),
    ("1-2-3", "(Binary (Binary 1 - 2) - 3)"),
    ("a // b % c * d", "(Binary (Binary (Binary a // b) % c) * d)"),
    # right associativity of ^ and .., and ^ above unary minus on its left
    ("2^3^2", "(Binary 2 ^ (Binary 3 ^ 2))"),
    ("-x^2", "(Unary - (Binary x ^ 2))"),
    ("2^-3", "(Binary 2 ^ (Unary - 3))"),
    ("a..b..c", "(Concat a (Concat b c))"),
    ("1 .. 2 + 3", "(Concat 1 (Binary 2 + 3))"),
    ("#t + 1", "(Binary (Unary # t) + 1)"),
    ("not a == b", "(Binary (Unary not a) == b)"),
    # logic: and above or, both left-associative
    ("a or b and c", "(Or a (And b c))"),
    ("a and b and c", "(And (And a b) c)"),
    ("a or b or c", "(Or (Or a b) c)"),
    # comparison chains fold left; ~= <= >= are single operators
    ("a < b == c", "(Binary (Binary a < b) == c)"),
    ("a <= b ~= c >= d", "(Binary (Binary (Binary a <= b) ~= c) >= d)"),
    # bitwise levels: | below ~ below & below shifts below ..
    ("a << 1 | b & c ~ d", "(Binary (Binary a << 1) | (Binary (Binary b & c) ~ d))"),
    ("a >> b .. c", "(Binary a >> (Concat b c))"),
    ("~a", "(Unary ~ a)"),
    # suffix chains fold left: each Suffixed holds the chain so far and one suffix
    ("a.b[c]:d(e)", "(Suffixed (Suffixed (Suffixed a (Field b)) (Index c)) (MethodCall d e))"),
    ("f(x)(y)", "(Suffixed (Suffixed f (Call x)) (Call y))"),
    ("f{1, x = 2; [k] = v}", "(Suffixed f (Call (Table (PosField 1) (NamedField x 2) (KeyField k v))))"),
    ('f"s"', '(Suffixed f (Call "s"))'),
    ("(f(x))", "(Paren (Suffixed f (Call x)))"),
    ("function(a, ...) return a end", "(FunctionExpr a ... (Block (Return a)))"),
    ("{}", "(Table)"),
])
def test_expression_shapes(source, expected):
    _, node = expr_node(source)
    assert shape(node) == expected


@pytest.mark.parametrize("source, kind, value", [
    ("42", "Int", 42),
    ("007", "Int", 7),
    ("9223372036854775807", "Int", 9223372036854775807),
    ("9300000000000000000", "Float", 9.3e18),        # too long for 64 bits: a float, as in Lua
    ("12345678901234567890", "Float", 12345678901234567890.0),
    ("1.5", "Float", 1.5),
    ("3.", "Float", 3.0),
    (".5e1", "Float", 5.0),
    ("1e2", "Float", 100.0),
    ("0x1F", "Hex", "0x1F"),
    ("0xA.8p1", "Hex", "0xA.8p1"),
    ("0x.8p1", "Hex", "0x.8p1"),                      # no digit before the point
    ('"a\\z\n  b"', "String", '"a\\z\n  b"'),          # \z skips the line break after it
    ('"a\\\nb"', "String", '"a\\\nb"'),                # an escaped line break
    ('"a\\"b"', "String", '"a\\"b"'),
    ("'it\\'s'", "String", "'it\\'s'"),
    ("[[long\nstring]]", "String", "[[long\nstring]]"),
    ("[==[a]]b]==]", "String", "[==[a]]b]==]"),
    ("nil", "Nil", None),
    ("true", "True", True),
    ("false", "False", False),
    ("...", "Vararg", None),
])
def test_literal_kinds_and_values(source, kind, value):
    _, node = expr_node(source)
    assert lua.kind_name(node) == kind
    if kind != "Vararg":
        assert node.to_ast() == value


def test_names_are_nodes_and_field_names_are_text():
    _, node = expr_node("a.b:c()")
    inner, call = node.children
    assert lua.kind_name(inner.children[0]) == "Name"
    assert inner.children[0].label == "target"
    field = inner.children[1]
    assert (lua.kind_name(field), field.label) == ("Field", "suffix")
    assert field.children[0].to_ast() == "b"
    assert call.children[0].to_ast() == "c"


@pytest.mark.parametrize("source, expected", [
    ("local a, b = 1, 2", "(Local a b 1 2)"),
    ("local x", "(Local x)"),
    ("a, t.k, t[1] = 1, 2, 3", "(Assign a (Suffixed t (Field k)) (Suffixed t (Index 1)) 1 2 3)"),
    ("f(1)", "(CallStat (Suffixed f (Call 1)))"),
    ("o:m()", "(CallStat (Suffixed o (MethodCall m)))"),
    ("function t.a.b:m(x, ...) return x end", "(FunctionStat t a b m x ... (Block (Return x)))"),
    ("local function f() end", "(LocalFunction f (Block))"),
    ("for i = 1, 10, 2 do end", "(Loop (NumericFor i 1 10 2 (Block)))"),
    ("for k, v in pairs(t) do break end", "(Loop (GenericFor k v (Suffixed pairs (Call t)) (Block (Break))))"),
    ("repeat x = x - 1 until x < 0", "(Loop (Repeat (Block (Assign x (Binary x - 1))) (Binary x < 0)))"),
    ("while x do end", "(While x (Block))"),
    ("if a then elseif b then x() else end", "(If a (Block) (ElseIf b (Block (CallStat (Suffixed x (Call))))) (Block))"),
    ("do ; end", "(Do (Block))"),
    # a label holds the rest of its block, the scope a goto back to it makes anew
    ("::a:: f() ::b:: local x", "(Label a (LabelScope (CallStat (Suffixed f (Call))) "
                                "(Label b (LabelScope (Local x)))))"),
    # in a repeat body the until condition sees what follows a label: it ends the label's rest
    ("repeat ::a:: local x until x", "(Loop (Repeat (LabelBlock (Label a (LabelScope (Local x) x)))))"),
    ("repeat f() local c <close> = v until c",
     "(Loop (Repeat (LabelBlock (CallStat (Suffixed f (Call))) (CloseLocal c (Attrib close) v c))))"),
])
def test_statement_shapes(source, expected):
    _, node = stat_node(source)
    assert shape(node) == expected


@pytest.mark.parametrize("source, labels", [
    ("function t.a:m(x, y) end", [("name", "t"), ("fields", "a"), ("method", "m"), ("params", "x"),
                                  ("params", "y"), ("body", "")]),
    ("for i = 1, 2 do end", [("var", "i"), ("start", "1"), ("stop", "2"), ("body", "")]),
    ("if a then else end", [("cond", "a"), ("body", ""), ("orelse", "")]),
    ("x, y = 1, 2", [("targets", "x"), ("targets", "y"), ("values", "1"), ("values", "2")]),
])
def test_statement_labels(source, labels):
    _, node = stat_node(source)
    if lua.kind_name(node) == "Loop":
        node = node.children[0]
    assert [(c.label, c.text) for c in node.children] == labels


def test_comments_and_shebang_are_skipped():
    source = ("#!/usr/bin/lua\n-- line\nlocal x --[[ long\n comment ]] = 1 --[=[ x ]=]\n"
              "--[==[ a ]] ]=] b ]==]\n")
    _, node = stat_node(source)
    assert shape(node) == "(Local x 1)"


@pytest.mark.parametrize("source, line, column", [
    ("x = = 1", 1, 5),
    ("local 1 = 2", 1, 7),
    ("x", 1, 2),
    ("f(", 1, 3),
    ("if x then\n  y = 1\n", 3, 1),
    ("local t = {1, 2\nprint(t)", 2, 1),
    ("return 1\nx = 2", 2, 1),
    ("f() = 1", 1, 5),
    ("local end = 1", 1, 7),
    ('s = "open\nx = 1', 1, 5),
    ("x = 1 +", 1, 8),
])
def test_syntax_error_positions(source, line, column):
    import pargo
    with pytest.raises(pargo.ParseError) as info:
        parser.parse_tree(source)
    assert (info.value.line, info.value.column) == (line, column)


def test_recovery_inside_a_function_body():
    source = ("local function f(a)\n"
              "  local b = a +\n"
              "  local c = 2\n"
              "  x = = 3\n"
              "  return c\n"
              "end\n"
              "print(f(1))\n")
    tree = parser.parse_tree(source, recover=True)
    # The unfinished expression is found missing where line 3 begins; the error node runs
    # from its statement to the end of that line. Line 4 is an error of its own.
    assert [(e.line, e.column) for e in tree.errors] == [(3, 3), (4, 7)]
    fn = tree.node(0).children[0].children[0]
    assert lua.kind_name(fn) == "LocalFunction"
    body = fn.children[-1]
    assert [lua.kind_name(c) for c in body.children] == ["<error>", "<error>", "Return"]
    assert [c.text.rstrip() for c in body.children[:2]] == ["local b = a +\n  local c = 2", "x = = 3"]
    assert all(c.label is None for c in body.children[:2])
    # the program goes on after the function
    assert lua.kind_name(tree.node(0).children[0].children[1]) == "CallStat"


@pytest.mark.parametrize("source, where", [
    ("print(function() f() ~= nil end)\n", (1, 22)),
    ("local t = {function() return = end}\nprint(t)\n", (1, 30)),
])
def test_an_error_in_a_block_closed_on_the_same_line_is_reported_where_it_is(source, where):
    tree = parser.parse_tree(source, recover=True)
    assert (tree.errors[0].line, tree.errors[0].column) == where


def test_command_prints_the_tree_and_fails_on_syntax_errors(tmp_path):
    # The child finds pargo and nomos where this interpreter found them.
    env = python_env()
    good = tmp_path / "good.lua"
    good.write_text("local x = 1 + 2\n")
    out = subprocess.run([sys.executable, str(LUA_DIR / "lua.py"), "--tree", str(good)],
                         capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "Chunk"
    assert "    Local stmts:" in lines
    assert "      Name names: 'x'" in lines
    bad = tmp_path / "bad.lua"
    bad.write_text("local x = = 1\n")
    out = subprocess.run([sys.executable, str(LUA_DIR / "lua.py"), str(bad)], capture_output=True, text=True,
                         env=env)
    assert out.returncode == 2
    assert f"{bad}:1:11: error[syntax]" in out.stderr
    assert "^" in out.stderr
