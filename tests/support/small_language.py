"""The small language of the error, run and call tests: functions, return, print, assignment,
throw/try, `fail e;` which raises the Python exception the test chose, `error m, code;`
(rt.error), sums and divisions, calls, names, numbers, strings and `context` (rt.context)."""
import nomos
import pargo
import pytest

import wuna

GRAMMAR = r"""
Program = stmts:Stmt*
@silent Stmt = FuncDef | Return | Print | Assign | Throw | Try | Fail | Error | Expr ';'
FuncDef = 'def' name:Name '(' (params:Name (',' params:Name)*)? ')' body:Block
Block = '{' stmts:Stmt* '}'
Return = 'return' value:Expr ';'
Print = 'print' value:Expr ';'
Assign = name:Name '=' value:Expr ';'
Throw = 'throw' value:Expr (',' message:Expr)? ';'
Try = 'try' body:Block 'catch' handler:Block
Fail = 'fail' value:Expr ';'
Error = 'error' value:Expr (',' code:Expr)? ';'
@silent Expr = Sum
@fold Sum = left:Atom (op:Op right:Atom)* -> Binary
@lift Atom = Call | Number | Quoted | Context | Name | Paren
Call = callee:Name '(' (args:Expr (',' args:Expr)*)? ')'
Context = 'context'
Paren = '(' Expr ')'
@token Op = '+' | '-' | '/' -> str
@token Number = [0-9]+ -> int
@token Quoted = '"' [^"]* '"' -> unquote
@token Name = !Keyword [a-z_] [a-z_0-9]*
@token Keyword = ('def' | 'return' | 'print' | 'throw' | 'try' | 'catch' | 'fail' | 'error'
                 | 'context') ![a-z_0-9]
@skip Space = [ \t\n]+
"""

_PARSER = []


def parser():
    if not _PARSER:
        _PARSER.append(pargo.compile(GRAMMAR))
    return _PARSER[0]


def make_language(printed=None, fail=None, hosts=(), python_print=False, **options):
    """The small language. print appends to printed; `fail v;` calls fail(v), which raises;
    hosts are registered as host functions (and known to the rules as builtins). With
    python_print, print's semantic has no compiled form: it runs as Python in compiled code."""
    rules = nomos.Rules(parser(), names=["Name"], functions=["FuncDef"], blocks=["Block"],
                        declare={"FuncDef.name": "function enclosing hoist",
                                 "FuncDef.params": "parameter"},
                        assign={"Assign.name": "variable"}, undeclared="global",
                        builtins=[h.__name__ for h in hosts])
    lang = wuna.Language(parser(), rules, **options)
    lang.function("FuncDef", params="params", body="body", name="name")
    printed = [] if printed is None else printed

    @lang.eval("Binary")
    def binary(node, rt):
        a, b = rt.eval(node.left), rt.eval(node.right)
        if node.op == "+":
            return a + b
        if node.op == "-":
            return a - b
        return a // b

    @lang.eval("Call")
    def call(node, rt):
        return rt.call(rt.eval(node.callee), [rt.eval(a) for a in node.args])

    @lang.eval("Context")
    def context(node, rt):
        return rt.context

    @lang.exec("Assign")
    def assign(node, rt):
        rt.store(node.name, rt.eval(node.value))

    @lang.exec("Return")
    def return_(node, rt):
        raise rt.Return(rt.eval(node.value))

    if python_print:
        @lang.exec("Print")
        def print_(node, rt):
            del printed[len(printed):]  # deleting a slice has no compiled form
            printed.append(rt.eval(node.value))
    else:
        @lang.exec("Print")
        def print_(node, rt):
            printed.append(rt.eval(node.value))

    @lang.exec("Throw")
    def throw(node, rt):
        message = rt.eval(node.message) if node.message is not None else None
        raise rt.Throw(rt.eval(node.value), message)

    @lang.exec("Try")
    def try_(node, rt):
        try:
            rt.exec(node.body)
        except rt.Throw:
            rt.exec(node.handler)

    @lang.exec("Fail")
    def fail_(node, rt):
        fail(rt.eval(node.value))

    @lang.exec("Error")
    def error(node, rt):
        code = rt.eval(node.code) if node.code is not None else None
        rt.error(node, rt.eval(node.value), code)

    for host in hosts:
        lang.host(host)
    return lang


def where(source, fragment, occurrence=0):
    """(start, end, line, column) of the occurrence-th fragment of source (ASCII sources)."""
    start = -1
    for _ in range(occurrence + 1):
        start = source.index(fragment, start + 1)
    line = source.count("\n", 0, start) + 1
    column = start - (source.rfind("\n", 0, start) + 1) + 1
    return start, start + len(fragment), line, column


def failure(source, path=None, **language):
    """The wuna.Error (or other exception) a run of source raises."""
    program = make_language(**language).load(source, path)
    with pytest.raises(BaseException) as caught:
        program.run()
    return caught.value
