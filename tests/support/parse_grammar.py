"""The grammar that rt.parse's tests parse with at run time, and a text with two syntax errors
(at line 2, column 9 and line 3, column 9) that a recovering parse gets past."""

GRAMMAR = r"""
@recover Program = stmts:Stmt*
@lift Stmt = Assign | Show
Assign = 'let' name:Name '=' value:Expr ';' -> Assign
Show = 'show' args:Expr (',' args:Expr)* ';'
@fold Expr = left:Atom (op:Op right:Atom)* -> Binary
@lift Atom = Number | Name
@token Op = '+' | '-' -> str
@token Number = [0-9]+ -> int
@token Name = !(('let' | 'show') ![a-z]) [a-z]+ -> str
@silent Quiet = 'q'
@skip Space = [ \t\n]+
"""

BROKEN = "let a = 1;\nlet b = ;\nshow a, ;\nshow a + 2;\n"
