"""The small language of the session and REPL tests: statements (assignment, print, return,
function definitions) and expressions (sums, calls, names, numbers, strings), with nomos rules
for names and a host function double."""
import nomos
import pargo

import wuna

GRAMMAR = r"""
Program = stmts:Stmt*
@silent Stmt = FuncDef | Return | Print | Assign | Expr ';'
FuncDef = 'def' name:Name '(' (params:Name (',' params:Name)*)? ')' body:Block
Block = '{' stmts:Stmt* '}'
Return = 'return' value:Expr ';'
Print = 'print' value:Expr ';'
Assign = name:Name '=' value:Expr ';'
@silent Expr = Sum
@fold Sum = left:Atom (op:Op right:Atom)* -> Binary
@lift Atom = Call | Number | Quoted | Name | Paren
Call = callee:Name '(' (args:Expr (',' args:Expr)*)? ')'
Paren = '(' Expr ')'
@token Op = '+' | '-' | '/' -> str
@token Number = [0-9]+ -> int
@token Quoted = '"' [^"]* '"' -> unquote
@token Name = !Keyword [a-z_] [a-z_0-9]*
@token Keyword = ('def' | 'return' | 'print') ![a-z_0-9]
@skip Space = [ \t\n]+
"""


def make_session_language(printed=None, **options):
    """The small language; print statements append their value to printed."""
    parser = pargo.compile(GRAMMAR)
    rules = nomos.Rules(parser, names=["Name"], functions=["FuncDef"], blocks=["Block"],
                        declare={"FuncDef.name": "function enclosing",
                                 "FuncDef.params": "parameter"},
                        assign={"Assign.name": "variable"}, undeclared="global",
                        builtins=["double"])
    lang = wuna.Language(parser, rules, **options)
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

    @lang.exec("Assign")
    def assign(node, rt):
        rt.store(node.name, rt.eval(node.value))

    @lang.exec("Return")
    def return_(node, rt):
        raise rt.Return(rt.eval(node.value))

    @lang.exec("Print")
    def print_(node, rt):
        printed.append(rt.eval(node.value))

    @lang.host
    def double(x):
        return x * 2

    return lang
