"""A Lua 5.4 subset defined with wuna: its grammar (lua.peg beside this file) and its name rules.

Module attributes:
  parser  the compiled grammar (a pargo GrammarParser);
  rules   the nomos rules: scopes, declarations and the builtin library names.

As a command, `python lua.py [--mode python|compiled|auto] [--tree] FILE.lua` parses FILE and
prints its tree, one node per line, indented by depth: the kind, the label under which the
parent holds it, and the text of leaves. A syntax error prints the rendered diagnostics and
exits with status 2.
"""
import argparse
import os
import sys

import pargo

HERE = os.path.dirname(os.path.abspath(__file__))

with open(os.path.join(HERE, "lua.peg"), encoding="utf-8") as _f:
    parser = pargo.compile(_f.read())

# The library functions a Lua program reaches without declaring them.
BUILTINS = ["print", "pairs", "ipairs", "tostring", "tonumber", "type", "error", "assert",
            "select", "next", "rawget", "rawset", "rawequal", "rawlen", "setmetatable",
            "getmetatable", "pcall", "unpack", "string", "table", "math", "os", "io"]

try:
    import nomos
except ImportError:  # the grammar alone is usable without the rules package
    nomos = None

if nomos is not None:
    rules = nomos.Rules(
        parser,
        names=["Name"],
        functions=["FunctionStat", "LocalFunction", "FunctionExpr"],
        # A loop's own variables and a repeat body (whose locals the until condition sees)
        # live in the loop's scope; every other block is a scope of its own.
        blocks=["Block", "NumericFor", "GenericFor", "Repeat"],
        declare={
            "Local.names": "variable after",
            "LocalFunction.name": "function enclosing",
            "FunctionStat.params": "parameter",
            "LocalFunction.params": "parameter",
            "FunctionExpr.params": "parameter",
            "NumericFor.var": "variable from body",
            "GenericFor.names": "variable from body",
        },
        assign={"Assign.targets": "variable", "FunctionStat.name": "function"},
        # function t:m() has the hidden first parameter self.
        implicit={"FunctionStat.method": "self parameter"},
        undeclared="global",
        builtins=BUILTINS,
        types={"literals": {"Int": "int", "Float": "float", "String": "str", "True": "bool",
                            "False": "bool", "Nil": "None"},
               "infer": "values"},
    )


def kind_name(node):
    """The kind name of a node: its action when that is a class name, else its rule name."""
    return node.kind if isinstance(node.kind, str) else node.rule


def print_tree(tree, out):
    """Print the tree below its root, one node a line, indented by depth."""
    def walk(node, depth):
        label = f" {node.label}:" if node.label else ""
        children = node.children
        leaf = "" if children else f" {node.text!r}"
        out.write(f"{'  ' * depth}{kind_name(node)}{label}{leaf}\n")
        for child in children:
            walk(child, depth + 1)
    walk(tree.node(0), 0)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="lua.py", description="Parse a Lua program and print its tree.")
    ap.add_argument("--mode", choices=["python", "compiled", "auto"], default="python",
                    help="how to run the program (running comes with the semantics)")
    ap.add_argument("--tree", action="store_true", help="print the parse tree")
    ap.add_argument("file")
    args = ap.parse_args(argv)
    try:
        with open(args.file, encoding="utf-8") as f:
            source = f.read()
    except OSError as e:
        print(f"lua.py: {e}", file=sys.stderr)
        return 1
    tree = parser.parse_tree(source, recover=True)
    if tree.errors:
        for d in tree.errors:
            print(d.render(source, args.file), file=sys.stderr)
        return 2
    try:
        print_tree(tree, sys.stdout)
    except BrokenPipeError:  # the reader stopped early (| head)
        sys.stderr.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
