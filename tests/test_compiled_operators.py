"""Operators in compiled semantics against the reference mode: arithmetic on ints of the
language (checked: IntegerOverflow), floats, strs and mixes, division by zero and operands
that don't go together with Python's texts, comparisons of every kind, unary minus, augmented
assignment, and powers that give complex numbers. Each program prints the repr of what its
lines compute; both modes must print the same and fail with the same error."""
import functools

import pargo
import pytest

import wuna

GRAMMAR = r"""
Program = stmts:Stmt*
@silent Stmt = Show | Grow
Show = 'show' value:Expr ';'
Grow = 'grow' value:Expr ';'
@silent Expr = Cmp
@fold Cmp = left:Sum (op:CmpOp right:Sum)* -> Compare
@fold Sum = left:Atom (op:Op right:Atom)* -> Binary
@lift Atom = Float | Number | Quoted | Neg | Paren
Neg = '-' value:Atom
Paren = '(' Expr ')'
@token CmpOp = '==' | '!=' | '<=' | '>=' | '<' | '>' | 'in' | 'is' -> str
@token Op = '+' | '-' | '**' | '*' | '//' | '/' | '%' | '&' | '|' | '^' -> str
@token Float = [0-9]+ '.' [0-9]+ -> float
@token Number = [0-9]+ -> int
@token Quoted = '"' [^"]* '"' -> unquote
@skip Space = [ \t\n]+
"""


@functools.lru_cache(maxsize=None)
def parser():
    return pargo.compile(GRAMMAR)


def make_language(printed):
    lang = wuna.Language(parser())

    @lang.eval("Binary")
    def binary(node, rt):
        a = rt.eval(node.left)
        b = rt.eval(node.right)
        op = node.op
        if op == "+":
            return a + b
        if op == "-":
            return a - b
        if op == "*":
            return a * b
        if op == "/":
            return a / b
        if op == "//":
            return a // b
        if op == "%":
            return a % b
        if op == "**":
            return a ** b
        if op == "&":
            return a & b
        if op == "|":
            return a | b
        return a ^ b

    @lang.eval("Compare")
    def compare(node, rt):
        a = rt.eval(node.left)
        b = rt.eval(node.right)
        op = node.op
        if op == "==":
            return a == b
        if op == "!=":
            return a != b
        if op == "<":
            return a < b
        if op == "<=":
            return a <= b
        if op == ">":
            return a > b
        if op == ">=":
            return a >= b
        if op == "in":
            return a in (b, "x", "yz")
        return a is None

    @lang.eval("Neg")
    def neg(node, rt):
        return -rt.eval(node.value)

    @lang.exec("Show")
    def show(node, rt):
        printed.append(repr(rt.eval(node.value)))

    @lang.exec("Grow")
    def grow(node, rt):
        items = [rt.eval(node.value)]
        alias = items
        items += [1]
        items += items
        table = {"k": rt.eval(node.value)}
        table |= {"j": 2}
        total = rt.eval(node.value)
        total += 1
        printed.append(repr((items, alias is items, alias, table, total)))

    return lang


def outcome(program, printed, mode):
    printed.clear()
    try:
        program.run(mode)
    except Exception as e:
        return list(printed), type(e), str(e)
    return list(printed), None, None


# An augmented assignment to a list the semantic made compiles: grow runs natively too.
GROWS_AS_PYTHON = set()


@pytest.mark.parametrize("source", [
    "show 3 + 4; show 7 - 10; show 6 * 7; show 7 // 2; show 7 % 3; show 7 / 2;",
    "show 9223372036854775807 + 1;",
    "show 9223372036854775807 * 2;",
    "show 0 - 9223372036854775807 - 2;",
    "show 7 // 0;",
    "show 7 % 0;",
    "show 1 / 0;",
    "show 1.5 / 0;",
    "show -7 // 2; show -7 % 2; show 7 % -2; show 7 // -2; show -8 // 2;",
    "show 2.5 * 2; show 1 + 0.5; show 7.5 // 2; show 7.5 % 2;",
    "show \"ab\" * 3; show \"ab\" + \"cd\";",
    "show \"a\" + 1;",
    "show \"a\" - \"b\";",
    "show 2 ** 10; show 2 ** 0.5; show (-8.0) ** 0.5; show (-8) ** 0.5;",
    "show 6 & 3; show 6 | 3; show 6 ^ 3;",
    "show 1.5 & 1;",
    "show 1 < 2; show 2 <= 2; show 3 > 4; show 3 >= 3; show 1 == 1.0; show 1 != 2;",
    "show \"abc\" == \"abc\"; show \"abc\" == \"abd\"; show \"abc\" != 1; show \"b\" < \"a\";",
    "show 1 < \"a\";",
    "show \"yz\" in \"q\"; show \"q\" in \"q\"; show 1 in 2;",
    "show 3 is 3;",
    "show -5; show -2.5; show -(0 - 9223372036854775807 - 1);",
    "show -\"a\";",
    "grow 5; grow 2.5; grow \"s\";",
    "grow 9223372036854775807;",
])
def test_operators_give_the_reference_modes_values_and_errors(source):
    printed = []
    lang = make_language(printed)
    program = lang.load(source)
    expected = outcome(program, printed, "python")
    got = outcome(program, printed, "compiled")
    assert got == expected
    as_python = GROWS_AS_PYTHON if source.startswith("grow") else set()
    assert set(lang.python_semantics()) == as_python
