"""Parsing throughput of pargo: generates about 1 MB of a program for a small statement
language, parses it (tree only, then with values) and prints MB/s. No assertions on time.

    PYTHONPATH=<build dir> python bench/pargo_throughput.py [size in MB]
"""
import random
import sys
import time

import pargo

GRAMMAR = r"""
@recover Program = stmts:Stmt* -> Program
@lift Stmt = Assign | Print | While
Assign = name:Name '=' value:Expr ';' -> Assign
Print = 'print' args:Expr (',' args:Expr)* ';' -> Print
While = 'while' cond:Expr '{' body:Stmt* '}' -> While
@silent Expr = Compare
@fold Compare = left:Sum (op:CmpOp right:Sum)* -> Binary
@fold Sum = left:Product (op:AddOp right:Product)* -> Binary
@fold Product = left:Atom (op:MulOp right:Atom)* -> Binary
@lift Atom = Number | Text | Name | '(' Expr ')'
@token CmpOp = '<=' | '>=' | '<' | '>' | '==' -> str
@token AddOp = '+' | '-' -> str
@token MulOp = '*' | '/' -> str
@token Number = [0-9]+ -> int
@token Text = '"' [^"\n]* '"' -> unquote
@token Name = !(('print' | 'while') ![a-z_0-9]) [a-z_] [a-z_0-9]* -> str
@skip Space = ([ \t\n] | '#' [^\n]*)+
"""


def expr(rng, depth=0):
    if depth > 3 or rng.random() < 0.3:
        return rng.choice([str(rng.randrange(1000)), rng.choice(["a", "b", "count", "total_1"]), '"text"'])
    op = rng.choice(["+", "-", "*", "/", "<", "<=", "=="])
    e = f"{expr(rng, depth + 1)} {op} {expr(rng, depth + 1)}"
    return f"({e})" if rng.random() < 0.3 else e


def stmt(rng, depth=0):
    r = rng.random()
    if r < 0.5:
        return f"{rng.choice(['a', 'b', 'count'])} = {expr(rng)};"
    if r < 0.8 or depth > 2:
        return f"print {expr(rng)}, {expr(rng)};  # show"
    body = "\n  ".join(stmt(rng, depth + 1) for _ in range(3))
    return f"while {expr(rng)} {{\n  {body}\n}}"


def program(size):
    rng = random.Random(7)
    parts, total = [], 0
    while total < size:
        s = stmt(rng)
        parts.append(s)
        total += len(s) + 1
    return "\n".join(parts) + "\n"


def best_of(n, f):
    best = None
    for _ in range(n):
        t0 = time.perf_counter()
        f()
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    return best


def main():
    mb = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    p = pargo.compile(GRAMMAR)
    text = program(int(mb * 1_000_000))
    size = len(text.encode())
    tree = p.parse_tree(text)
    print(f"program: {size} bytes, {len(tree)} nodes")
    dt = best_of(5, lambda: p.parse_tree(text))
    print(f"parse_tree: {dt * 1000:.1f} ms, {size / dt / 1e6:.1f} MB/s")
    dt = best_of(3, lambda: p.parse(text))
    print(f"parse (values): {dt * 1000:.1f} ms, {size / dt / 1e6:.1f} MB/s")
    half = program(int(mb * 500_000))
    t_half = best_of(5, lambda: p.parse_tree(half))
    t_full = best_of(5, lambda: p.parse_tree(half + half))
    print(f"doubling the text multiplies the time by {t_full / t_half:.2f} (linear: about 2)")


if __name__ == "__main__":
    main()
