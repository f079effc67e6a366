"""Semantics that use each kind of Python expression run in 'python' and 'compiled' modes with
the same output and the same error text: constants and displays, and/or/not, comparison
chains (which stop at their first false link: a later comparand is not evaluated), truth and
conditional expressions, slices, f-strings (an invalid spec on a value fails when it runs, and
so does a module attribute that isn't there), type(x).__name__ and named expressions. Values
come from the program's variables, so that the compiled code meets them at run time, and from
the node, so that it folds them."""
import functools
import math

import nomos
import pargo
import pytest

import wuna

GRAMMAR = r"""
Program = stmts:Stmt*
@silent Stmt = Let | Show
Let = 'let' name:Name '=' value:Value ';'
Show = what:Word (args:Value)* ';'
@silent Value = Num | Text | Ref
Ref = name:Name
@token Num = '-'? [0-9]+ -> int
@token Text = '"' [^"]* '"' -> unquote
@token Word = [A-Z] [a-z]* -> str
@token Name = [a-z_] [a-z_0-9]*
@skip Space = [ \t\n]+
"""

@functools.lru_cache(maxsize=None)
def parser():
    return pargo.compile(GRAMMAR)


def make_language(printed):
    rules = nomos.Rules(parser(), names=["Name"], assign={"Let.name": "variable"},
                        undeclared="global")
    lang = wuna.Language(parser(), rules)

    def mark(value):
        printed.append(f"mark {value!r}")
        return value

    @lang.exec("Let")
    def let(node, rt):
        rt.store(node.name, rt.eval(node.value))

    @lang.eval("Ref")
    def ref(node, rt):
        return rt.load(node.name)

    @lang.exec("Show")
    def show(node, rt):
        args = [rt.eval(a) for a in node.args]
        what = node.what
        if what == "Bool":
            a, b = args
            printed.append(str((a and b, a or b, not a, a and b or "z")))
        elif what == "Chain":
            a, b, c = args
            printed.append(str(a < b < mark(c)))
            printed.append(str(a <= b == b < mark(c)))
        elif what == "Truth":
            printed.append("yes" if args[0] else "no")
        elif what == "Cond":
            printed.append(str("big" if args[0] > 3 else args[0]))
        elif what == "Displays":
            a, b = args
            printed.append(str([a, b, 1, "s"]))
            printed.append(str((a, (b, None))))
            printed.append(str({a: 1, "k": b, a: 3}))
            printed.append(str(sorted({1, 2, 3, a})))
            printed.append(str({1: "x", True: "y"}))
            printed.append(str([] or {} or ()))
        elif what == "Slice":
            s, lo, hi = args
            printed.append(str(s[lo:hi]))
            printed.append(str(s[::2]))
            printed.append(str(s[lo:]))
            printed.append(str([s, lo, hi][1:]))
            printed.append("abcdef"[1:4])
        elif what == "Zerostep":
            printed.append(str(args[0][::0]))
        elif what == "Fstring":
            v, w = args
            printed.append(f"<{v}|{v!r}|{v:>{w}}|{'é'!a}|{12:>4}>")
        elif what == "Badspec":
            printed.append(f"{args[0]:zz}")
        elif what == "Badconst":
            printed.append("before")
            printed.append(f"{1:zz}")
        elif what == "Badattr":
            # math has no such attribute: read while compiling, it fails when the run gets here.
            printed.append("before")
            printed.append(str(math.nope))
        elif what == "Typename":
            printed.append(type(args[0]).__name__)
        elif what == "Walrus":
            printed.append(str(((y := args[0]), y)))

    return lang


def outcome(program, printed, mode):
    """What a run printed and raised: (printed, exception type, its text)."""
    printed.clear()
    try:
        program.run(mode)
    except Exception as e:  # the error of the run itself is what is compared
        return list(printed), type(e), str(e)
    return list(printed), None, None


SOURCES = [
    # and, or, not over run-time values of each kind, and over constants of the node.
    'let a = 0; let b = "x"; Bool a b; Bool b a; Bool 1 2; Bool "" 0;',
    # A Chain stops at its first false link: mark is not called, -1 < "a" never compared.
    'let a = 0; let b = -1; Chain a b "a";',
    "let a = 1; let b = 2; Chain a b 3; Chain a b 0;",
    'Chain 0 -1 "a"; Chain 1 2 3;',
    # Truth of every kind, and conditional expressions.
    'let e = ""; let f = "f"; Truth e; Truth f; Truth 0; Truth 7; Cond 5; Cond 2;',
    # Displays made while compiling and at run time, repeated keys.
    'let a = 4; let b = "q"; Displays a b; Displays 1 "z";',
    # Slices folded, cut while compiling and at run time; a zero step fails when it runs.
    'let s = "abcdef"; let l = 1; let h = 4; Slice s l h; Slice "xyz" 0 2;',
    'let s = "abc"; Zerostep s;',
    # F-strings with run-time fields and a width from a variable; invalid specs.
    'let v = 42; let w = 6; Fstring v w; Fstring "ab" 3;',
    'let v = 42; Badspec v;',
    "Badconst;",
    'let a = 1; Truth a; Badattr; Truth a;',
    'let v = 1; Typename v; Typename "s"; let t = "t"; Typename t; Walrus v; Walrus 3;',
]


@pytest.mark.parametrize("source", SOURCES)
def test_a_compiled_semantic_prints_and_fails_as_the_reference_mode_does(source):
    printed = []
    program = make_language(printed).load(source)
    expected = outcome(program, printed, "python")
    assert outcome(program, printed, "compiled") == expected


def test_the_reference_mode_gives_what_python_gives():
    # The expectations the compiled runs are held to, written out once.
    printed = []
    program = make_language(printed).load('let a = 0; let b = -1; Chain a b "a"; Badconst;')
    got = outcome(program, printed, "python")
    assert got[0] == ["False", "False", "before"]
    assert got[1] is wuna.Error
    # The running Python's own words for the bad spec (3.10 words it otherwise than 3.11).
    with pytest.raises(ValueError) as caught:
        format(1, "zz")
    assert str(caught.value) in got[2]
    got = outcome(make_language(printed).load("let a = 1; Truth a; Badattr;"), printed, "python")
    assert got[0] == ["yes", "before"]
    assert got[1] is wuna.Error and "module 'math' has no attribute 'nope'" in got[2]


def test_the_semantics_compile_without_running_as_python():
    printed = []
    lang = make_language(printed)
    lang.load(SOURCES[0]).run("compiled")
    assert "show" not in lang.python_semantics()
