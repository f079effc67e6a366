"""Grammars shared by the pargo tests (no tests here): a small statement language with
arithmetic that uses every rule flag, compiled once per session."""
import functools

import pargo

STATEMENTS = r"""
# A program is statements; a statement that fails part-way is recovered from.
@recover Program = stmts:Stmt* -> Program
@lift Stmt = Assign | Print | Block
Assign = 'let' name:Name '=' value:Expr ';' -> Assign
Print = 'print' args:Expr (',' args:Expr)* ';' -> Print
@recover Block = '{' body:Stmt* '}' -> Block
@silent Expr = Sum
@fold Sum = left:Product (op:AddOp right:Product)* -> Binary
@fold Product = left:Unary (op:MulOp right:Unary)* -> Binary
@lift Unary = Neg | Atom
Neg = '-' operand:Unary
@lift Atom = Number | Float | Text | Name | '(' Expr ')' | List
List = '[' (Expr (',' Expr)*)? ']' -> list
@token AddOp = '+' | '-' -> str
@token MulOp = '*' | '/' -> str
@token Float = Digits '.' Digits -> float
@token Number = Digits !'.' -> int
@token @silent Digits = [0-9]+
@token Text = '"' ([^"\\\n] | '\\' .)* '"' -> unquote
@token Name = !Keyword [a-zA-Z_] [a-zA-Z_0-9]* -> str
@token @silent Keyword = ('let' | 'print') ![a-zA-Z_0-9]
@skip Space = ([ \t\r\n] | '#' [^\n]*)+
"""


@functools.lru_cache(maxsize=None)
def statements():
    return pargo.compile(STATEMENTS)
