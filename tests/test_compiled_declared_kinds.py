"""Kinds declared through Language.types in compiled mode: a function whose parameters are all
declared bool, int, float or list gets a typed entry for those kinds before it ever runs
(Program.report()["speculated"]); any other declaration, no mapping or a mapping that answers
None leave it generic; a mapping that raises stops the compilation with its exception."""
import functools

import nomos
import pargo
import pytest

import wuna

GRAMMAR = r"""
Prog = stmts:Stmt*
@lift Stmt = Fn | Show
Fn = 'fn' name:Name '(' (params:Param (',' params:Param)*)? ')' '{' body:Ret '}'
Param = name:Name ':' type:Type
Ret = 'return' value:Expr ';'
Show = 'show' value:Expr ';'
@lift Expr = Call | Num | Name
Call = callee:Name '(' (args:Expr (',' args:Expr)*)? ')'
@token Num = [0-9]+ -> int
@token Type = [A-Za-z]+ ('[' [A-Za-z]+ ']')? -> str
@token Name = !(('fn' | 'return' | 'show') ![a-z]) [a-z]+
@skip Space = [ \n]*
"""


@functools.lru_cache(maxsize=None)
def rules():
    parser = pargo.compile(GRAMMAR)
    return parser, nomos.Rules(
        parser, names=["Name"], functions=["Fn"], blocks=[],
        declare={"Fn.name": "function enclosing hoist", "Fn.params.name": "parameter"},
        undeclared="error", builtins=[],
        types={"literals": {"Num": "int"}, "annotation": "type"})


class Typed(wuna.Language):
    """A Language with room for what its programs show."""


def language(types):
    parser, analysis_rules = rules()
    lang = Typed(parser, analysis_rules)
    lang.function("Fn")
    lang.shown = shown = []

    @lang.exec("Ret")
    def ret(node, rt):
        raise rt.Return(rt.eval(node.value))

    @lang.exec("Show")
    def show(node, rt):
        shown.append(rt.eval(node.value))

    @lang.eval("Call")
    def call(node, rt):
        return rt.call(rt.eval(node.callee), rt.eval(node.args))

    if types is not None:
        lang.types(types)
    return lang


def run(types, source, mode):
    lang = language(types)
    program = lang.load(source)
    program.run(mode)
    return lang.shown, program


BASIC = {"int": int, "float": float, "bool": bool, "str": str, "list": list}


@pytest.mark.parametrize("types, source, speculated", [
    (BASIC, "fn f(a: int, b: int) { return a; }\nshow f(1, 2);", {"line 1": "int, int"}),
    # A generic type is looked up by its head: list[int] is a list.
    (BASIC, "fn f(a: list[int], b: int) { return b; }\nshow f(nothing(), 2);\n"
            "fn nothing() { return 0; }", {"line 1": "list, int"}),
    (BASIC, "fn f(a: float, b: bool) { return 3; }\nshow f(1, 2);", {"line 1": "float, bool"}),
    # A str parameter has a kind of its own, but no typed entry takes one.
    (BASIC, "fn f(a: int, b: str) { return a; }\nshow f(1, 2);", {}),
    # A type the mapping does not know, and no parameters at all.
    (BASIC, "fn f(a: Point) { return a; }\nshow f(1);", {}),
    (BASIC, "fn f() { return 4; }\nshow f();", {}),
    # A mapping function is asked with the type's text; None declares nothing.
    (lambda text: int if text == "int" else None, "fn f(a: int) { return a; }\nshow f(1);",
     {"line 1": "int"}),
    (lambda text: None, "fn f(a: int) { return a; }\nshow f(1);", {}),
    # Without Language.types nothing is declared.
    (None, "fn f(a: int) { return a; }\nshow f(1);", {}),
])
def test_declared_kinds_give_a_typed_entry_before_any_call(types, source, speculated):
    expected, _ = run(types, source, "python")
    shown, program = run(types, source, "compiled")
    assert shown == expected
    assert program.report()["speculated"] == speculated


def test_a_raising_mapping_stops_the_compilation_with_its_exception():
    def lookup(text):
        raise LookupError("no types today")

    with pytest.raises(LookupError, match="no types today"):
        run(lookup, "fn f(a: int) { return a; }\nshow f(1);", "compiled")
