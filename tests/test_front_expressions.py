"""The compiler front end reading expressions and calls: the IR text of Language.ir() for each
kind of expression, and the reasons (text and position) of the expressions it refuses."""
import gc
import pathlib
import subprocess
import sys
import textwrap

import pytest

import wuna
from support.front import body, load, parser, strict  # noqa: F401 (fixtures)


@pytest.mark.parametrize("source, text", [
    # Constants: typed by value; nothing is folded, so -5 is a minus over 5.
    (body("return 2.0, 0.1, 1e22, -0.0"),
     body("return (tuple 2, 0.1, 10000000000000000000000, (neg 0))")),
    (body("return 9223372036854775807, 9223372036854775808"),
     body("return (tuple 9223372036854775807, 9223372036854775808)")),
    (body("return -9223372036854775808, 10 ** 30"),
     body("return (tuple (neg 9223372036854775808), (pow 10 30))")),
    (body("return True, False, None, 1"), body("return (tuple True, False, None, 1)")),
    (body('return "s\\n", "é", b"\\x00b", ..., 1j'),
     body('return (tuple "s\n", "é", b\'\\x00b\', Ellipsis, 1j)')),
    # Names: parameters and assigned names are locals, the rest globals, even a builtin.
    (body("x = a", "return x, len"), body("x#2 = a#0", "return (tuple x#2, global len)")),
    (body("return len(len)", params="len"), body("return len#0(len#0)", params="len")),
    # Attributes, subscripts and slices.
    (body("return a.b.c"), body("return a#0.b.c")),
    (body("return a[1], a[b, 1]"), body("return (tuple a#0[1], a#0[(tuple b#1, 1)])")),
    (body("return a[1:2], a[::2], a[:], a[a:b:1]"),
     body("return (tuple a#0[1:2], a#0[::2], a#0[:], a#0[a#0:b#1:1])")),
    (body("return a.b(1)[2:]"), body("return a#0.b(1)[2:]")),
    # Operators, with their codes' names.
    (body("return a + b - a * b / a // b % a ** b"),
     body("return (sub (add a#0 b#1) (mod (floordiv (div (mul a#0 b#1) a#0) b#1) (pow a#0 b#1)))")),
    (body("return a << b >> a | b ^ a & b"),
     body("return (bitor (rshift (lshift a#0 b#1) a#0) (bitxor b#1 (bitand a#0 b#1)))")),
    (body("return -a, +a, not a, ~a"),
     body("return (tuple (neg a#0), (pos a#0), (not_ a#0), (invert a#0))")),
    (body("return a and b and 1 or not a"),
     body("return (or_ (and_ a#0, b#1, 1), (not_ a#0))")),
    # A compare chain is one node.
    (body("return a < b <= a is not None not in b"),
     body("return (compare a#0 lt b#1 le a#0 is_not None not_in b#1)")),
    (body("return a == b, a != b, a > b, a >= b, a is b, a in b"),
     body("return (tuple (compare a#0 eq b#1), (compare a#0 ne b#1), (compare a#0 gt b#1), "
          "(compare a#0 ge b#1), (compare a#0 is b#1), (compare a#0 in b#1))")),
    (body("return a if b else 1"), body("return (a#0 if b#1 else 1)")),
    # Displays; a set of three or more literals is in the order CPython builds it.
    (body("return [a, 1], (), (a,), {a: 1, 2: b}, {}, []"),
     body("return (tuple [a#0, 1], (tuple ), (tuple a#0), {a#0: 1, 2: b#1}, {}, [])")),
    (body("return {3, 1, 2}, {1, 2}, {3, 1, a}, {-1, 2.5, 7}"),
     body("return (tuple {1, 2, 3}, {1, 2}, {3, 1, a#0}, {2.5, (neg 1), 7})")),
    # Assignment expressions bind a local of the function.
    (body("return [x := a, x]"), body("return [(x#2 := a#0), x#2]")),
    # Calls: starred positional arguments and keywords, in source order.
    (body("return g(*a, 1, k=2, j=b)"), body("return global g(*a#0, 1, k=2, j=b#1)")),
    (body("return a(b, k=1)(), g()"), body("return (tuple a#0(b#1, k=1)(), global g())")),
    # Comprehensions: each variable is a new local, seen only by its clauses and element; the
    # first iterable is read before the variables exist.
    (body("return [b for b in a], b"), body("return (tuple [b#2 for b#2 in a#0], b#1)")),
    (body("return [y for x in a for y in x if y if b]"),
     body("return [y#3 for x#2 in a#0 for y#3 in x#2 if y#3 if b#1]")),
    (body("return [a for a in a]"), body("return [a#2 for a#2 in a#0]")),
    (body("return {k: v for k, (v, w) in a}, {x for [x] in a}, (x for x in b)"),
     body("return (tuple {k#2: v#3 for (k#2, (v#3, w#4)) in a#0}, {x#5 for (x#5) in a#0}, "
          "(x#6 for x#6 in b#1))")),
    # After the comprehension its variable is gone: the name is the global or the
    # function's own local again, never the comprehension's slot.
    (body("y = [x for x in a]", "return x, y"),
     body("y#2 = [x#3 for x#3 in a#0]", "return (tuple global x, y#2)")),
    (body("x = 1", "y = [x for x in a]", "return x"),
     body("x#2 = 1", "y#3 = [x#4 for x#4 in a#0]", "return x#2")),
    # := in a comprehension binds the function's variable.
    (body("return [n := x for x in a], n"),
     body("return (tuple [(n#2 := x#3) for x#3 in a#0], n#2)")),
    # F-strings: text parts, formatted parts with their conversions and nested format specs.
    (body("return f'x{a}y', f'{a!r:>{b}}', f'{a!s}{a!a}'"),
     body('return (tuple f"x{a#0}y", f"{a#0!r:>{b#1}}", f"{a#0!s}{a#0!a}")')),
])
def test_expressions_print_as_ir(parser, tmp_path, source, text):
    fn = load(tmp_path, source)
    lang = wuna.Language(parser)
    assert lang.ir(fn) == text
    assert lang.python_semantics() == {}


@pytest.mark.parametrize("source, reason, line, column", [
    # The operator is read first: its refusal wins over that of an operand.
    (body("return a @ b"), "the operator MatMult can't be compiled", 2, 12),
    (body("return a @ (yield)"), "the operator MatMult can't be compiled", 2, 12),
    (body("return [*a, 1]"), "*unpacking can't be compiled", 2, 13),
    (body("return (1, *a)"), "*unpacking can't be compiled", 2, 16),
    (body("return {**a}"), "**unpacking can't be compiled", 2, 12),
    (body("return {1: 2, **a}"), "**unpacking can't be compiled", 2, 12),
    (body("return g(**a)"), "**unpacking can't be compiled", 2, 12),
    (body("return g(k=1, **a)"), "**unpacking can't be compiled", 2, 12),
    (body("return a[1:2, 3]"), "Slice can't be compiled", 2, 14),
    (body("return await a"), "`await` can't be compiled", 2, 12),
    (body("x = yield a"), "`yield` can't be compiled", 2, 9),
    (body("yield from a"), "`yield from` can't be compiled", 2, 5),
    (body("global n", "return (n := 1)"), "`:=` to a `global` name can't be compiled", 3, 13),
    (body("x = g(1)", "def g(c):", "    return c"),
     "the nested function g used before its def can't be compiled", 2, 9),
    (body("return g", "def g(c):", "    return c"),
     "the nested function g used before its def can't be compiled", 2, 12),
    # A comprehension's variable that is not a plain name.
    (body("return [1 for a.b in a]"),
     "a comprehension's variable must be a name or a tuple of names", 2, 19),
    (body("return [1 for (x, a[0]) in a]"),
     "a comprehension's variable must be a name or a tuple of names", 2, 23),
    (body("return [1 for x in a for y in x async for z in y]"),
     "async comprehensions can't be compiled", 2, 12),
    (body("return [x for x in a if (*x,)]"), "*unpacking can't be compiled", 2, 30),
    (body("return f'{a @ b}'"), "the operator MatMult can't be compiled", 2, 15),
])
def test_refusals_give_reason_and_position(strict, tmp_path, source, reason, line, column):
    fn = load(tmp_path, source)
    with pytest.raises(wuna.CompileError) as caught:
        strict.eval("Print")(fn)
    error = caught.value
    assert (error.reason, error.line, error.column) == (reason, line, column)


_DEEP = textwrap.dedent("""\
    import sys
    sys.path.insert(0, {tests!r})
    import wuna
    from support.parsers import small_parser
    source = "def f(a):\\n    return " + {expression!r} + "\\n"
    path = {path!r}
    with open(path, "w") as file:
        file.write(source)
    scope = {{}}
    exec(compile(source, path, "exec"), scope)
    lang = wuna.Language(small_parser())
    try:
        lang.ir(scope["f"])
    except wuna.CompileError as error:
        print(error.reason)
    """)


@pytest.mark.parametrize("expression", [
    "-" * 1500 + "a",
    "a" + " + a" * 1500,
    "not " * 1500 + "a",
])
def test_deep_expressions_are_refused_not_overflowed(tmp_path, expression):
    script = _DEEP.format(tests=str(pathlib.Path(__file__).parent),
                          expression=expression, path=str(tmp_path / "deep.py"))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert "an expression nested this deeply can't be compiled" in done.stdout


def test_a_shallow_chain_still_compiles(parser, tmp_path):
    fn = load(tmp_path, body("return " + "-" * 100 + "a"))
    lang = wuna.Language(parser)
    assert lang.ir(fn) == body("return " + "(neg " * 100 + "a#0" + ")" * 100)


@pytest.mark.parametrize("source", [
    body("return ..., ..., 10 ** 30"),
    # The references taken before a refusal are given back with the rest of the reading.
    body("return ..., a @ b"),
])
def test_constants_keep_no_reference_after_the_reading(parser, tmp_path, source):
    # Ellipsis is one object however often it is parsed, so a reference kept per reading adds
    # up on it; a few come and go with the parse trees of the last readings.
    fn = load(tmp_path, source)

    def read(times):
        for _ in range(times):
            lang = wuna.Language(parser)
            try:
                lang.ir(fn)
            except wuna.CompileError:
                pass
            del lang
        gc.collect()

    read(5)
    before = sys.getrefcount(...)
    read(200)
    assert sys.getrefcount(...) - before < 50
