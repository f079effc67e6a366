"""The toy language of the interpreter tests (Toy): statements, functions that hoist (Def) or
not (Fn), anonymous Lambdas, tail calls, and out(x) collecting what a program shows; with the
helpers that run a Toy program and look at its errors."""
import nomos
import pargo
import pytest

import wuna

GRAMMAR = r"""
@recover Program = stmts:Stmt*
@lift Stmt = Def | Fn | Var | Return | If | While | Break | Continue | Block | Assign | Shown
Def = 'def' name:Name '(' Params? ')' body:Block
Fn = 'fn' name:Name '(' Params? ')' body:Block
@silent Params = params:Name (',' params:Name)*
Block = '{' stmts:Stmt* '}'
Var = 'var' name:Name '=' value:Expr ';'
Assign = target:Name '=' value:Expr ';'
Return = 'return' value:Expr? ';'
If = 'if' cond:Expr yes:Block ('else' no:Block)?
While = 'while' cond:Expr body:Block
Break = 'break' ';'
Continue = 'continue' ';'
Shown = value:Expr ';'
@silent Expr = Cmp
@fold Cmp = left:Sum (op:CmpOp right:Sum)* -> Binary
@fold Sum = left:Postfix (op:AddOp right:Postfix)* -> Binary
@lift Postfix = Call | Atom
Call = callee:Atom '(' (args:Expr (',' args:Expr)*)? ')'
@lift Atom = Number | Str | Lambda | Paren | Pair | Nothing | Name
Lambda = 'lambda' '(' Params? ')' body:Block
Paren = '(' inner:Expr ')'
Pair = '[' Expr ',' Expr ']'
Nothing = 'nothing' -> None
@token Number = [0-9]+ -> int
@token Str = '"' [^"]* '"' -> unquote
@token CmpOp = '<' | '==' -> str
@token AddOp = '+' | '-' | '*' | '/' -> str
@token Name = !Keyword [a-z_] [a-z0-9_]*
@token Keyword = ('def' | 'fn' | 'var' | 'return' | 'if' | 'else' | 'while' | 'break'
                 | 'continue' | 'lambda' | 'nothing') ![a-z0-9_]
@skip Space = ([ \t\r\n] | '#' [^\n]*)+
"""

BUILTINS = ["print", "out", "fail", "boom", "nohost", "throw", "count"]


def make_parser():
    return pargo.compile(GRAMMAR)


PARSER = make_parser()


def make_rules(parser=PARSER, types=None, declare=None):
    """The rules of Toy; declare adds the declarations of a grammar that extends Toy's."""
    return nomos.Rules(
        parser,
        names=["Name"],
        functions=["Def", "Fn", "Lambda"],
        blocks=["Block"],
        declare={
            "Var.name": "variable after",
            "Def.name": "function enclosing hoist",
            "Fn.name": "function enclosing",
            "Def.params": "parameter",
            "Fn.params": "parameter",
            "Lambda.params": "parameter",
            **(declare or {}),
        },
        assign={"Assign.target": "variable"},
        undeclared="global",
        builtins=BUILTINS,
        types=types,
    )


RULES = make_rules()

OPS = {
    "+": lambda a, b: a + b,
    "-": lambda a, b: a - b,
    "*": lambda a, b: a * b,
    "/": lambda a, b: a // b,
    "<": lambda a, b: a < b,
    "==": lambda a, b: a == b,
}


class Toy(wuna.Language):
    """A Language with room for what its host functions print."""


def toy(rules=RULES, max_depth=None, missing=None, extra=None, tail=True, parser=PARSER,
        **kwargs):
    """A Toy language: Def hoists, Fn does not, Lambda is anonymous; `return f(x);` is a tail
    call when tail is set; out(x) appends to the list `lang.printed`. parser: one of a grammar
    that extends Toy's (with rules made for it)."""
    args = {} if max_depth is None else {"max_depth": max_depth}
    lang = Toy(parser, rules, **args, **kwargs)
    for kind, hoist in (("Def", True), ("Fn", False), ("Lambda", False)):
        lang.function(kind, hoist=hoist, missing=missing, extra=extra)
    lang.printed = printed = []

    @lang.exec("Var")
    def var(node, rt):
        rt.store(node.name, rt.eval(node.value))

    @lang.exec("Assign")
    def assign(node, rt):
        rt.store(node.target, rt.eval(node.value))

    @lang.exec("Return")
    def ret(node, rt):
        value = node.value
        if tail and isinstance(value, wuna.Node) and rt.kind(value) == "Call":
            rt.tail_call(rt.eval(value.callee), rt.eval(value.args))
        raise rt.Return(None if value is None else rt.eval(value))

    @lang.exec("If")
    def if_(node, rt):
        if rt.eval(node.cond):
            rt.exec(node.yes)
        elif node.no is not None:
            rt.exec(node.no)

    @lang.exec("While")
    def while_(node, rt):
        while rt.eval(node.cond):
            if not rt.loop(node.body):
                break

    @lang.exec("Break")
    def break_(node, rt):
        raise rt.Break()

    @lang.exec("Continue")
    def continue_(node, rt):
        raise rt.Continue()

    @lang.exec("Shown")
    def shown(node, rt):
        rt.eval(node.value)

    @lang.eval("Binary")
    def binary(node, rt):
        return OPS[node.op](rt.eval(node.left), rt.eval(node.right))

    @lang.eval("Call")
    def call(node, rt):
        return rt.call(rt.eval(node.callee), rt.eval(node.args))

    @lang.eval("Lambda")
    def lambda_(node, rt):
        return rt.function(node)

    def out(*values):
        printed.append(values[0] if len(values) == 1 else values)

    lang.host(out)
    return lang


def run(lang, source, path=None):
    program = lang.load(source, path)
    program.run()
    return program


def error_of(lang, source, path=None):
    with pytest.raises(wuna.Error) as caught:
        run(lang, source, path)
    return caught.value


def message(error):
    return error.diagnostic.message


def where(source, error):
    start, end = error.diagnostic.span
    return source.encode()[start:end].decode()


def probe(lang, body):
    """Registers body(node, rt) as the semantic of Shown statements, collecting its results."""
    results = []

    @lang.exec("Shown")
    def shown(node, rt):
        results.append(body(node, rt))

    return results
