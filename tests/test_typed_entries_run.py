"""Typed entries while a compiled program runs: a function called hot_calls times with one
kind per argument gets a typed entry that the later calls run, with the reference mode's
results and errors: calls whose arguments don't fit run the generic entry, a rebound name
calls what it names now, and a checked int keeps its overflow failure on either road. (Which
int tag enters which typed entry is tested natively, in outofline_lower_test.cpp.)"""
import pytest

import wuna
from support.small_language import make_language
from support.toy import toy

ADD = "def add(a, b) {\n  return a + b;\n}\n"
BIG = 4611686018427387904  # 2**62: two of them overflow 64 bits


def half():
    return 0.5


def small(source, mode, **options):
    out = []
    program = make_language(printed=out, hosts=[half], **options).load(source)
    try:
        program.run(mode)
        error = None
    except wuna.Error as e:
        error = str(e)
    return out, error, program


def prints(*calls):
    return ADD + "".join(f"print add({a}, {b});\n" for a, b in calls)


@pytest.mark.parametrize(
    "source, speculated",
    [
        # Call 3 asks for the typed entry; calls 4 and on run it.
        (prints((1, 2), (3, 4), (5, 6), (7, 8)), {"line 1": "int, int"}),
        # The program's own ints are checked: the typed entry's sum fails on overflow.
        (prints((1, 2), (3, 4), (5, 6), (BIG, BIG)), {"line 1": "int, int"}),
        # After the typed entry, strs don't fit it: the generic entry adds them.
        (prints((1, 2), (3, 4), (5, 6), ('"a"', '"b"'), (7, 8)), {"line 1": "int, int"}),
        # A failure inside the typed entry is the generic entry's failure, word for word.
        (prints((1, 2), (3, 4), (5, 6), (1, '"b"')), {"line 1": "int, int"}),
        # Exactly hot_calls calls: the entry is made but never run.
        (prints((1, 2), (3, 4), (5, 6)), {"line 1": "int, int"}),
        # Two kinds in one argument: no typed entry, ever.
        (prints((1, 2), ('"a"', 2), (5, 6), (7, 8)), {}),
    ],
    ids=["hot", "checked-overflows", "other-kinds", "failure", "threshold", "mixed"],
)
def test_typed_entries_give_the_reference_modes_results(source, speculated):
    expected = small(source, "python", hot_calls=3)[:2]
    out, error, program = small(source, "compiled", hot_calls=3)
    assert (out, error) == expected
    assert program.report()["speculated"] == speculated


SEVEN = "def seven() {\n  return 7;\n}\n"
ADD5 = "def add5(a, b, c, d, e) {\n  return a + b + c + d + e;\n}\n"


@pytest.mark.parametrize(
    "source, speculated",
    [
        # No arguments: a typed entry that takes none.
        (SEVEN + "print seven();\n" * 5, {"line 1": ""}),
        # Arguments 0 and 4 share a lane; all five always ints.
        (ADD5 + "print add5(1, 2, 3, 4, 5);\n" * 3 + 'print add5(1, 2, 3, 4, "e");\n'
         + "print add5(6, 7, 8, 9, 10);\n", {"line 1": "int, int, int, int, int"}),
        # The first argument an int, the fifth a float: one lane saw two kinds, no typed entry.
        (ADD5 + "print add5(1, 2, 3, 4, half());\n" * 4, {}),
        # A typed entry for all ints, then a float fifth: the generic entry adds it.
        (ADD5 + "print add5(1, 2, 3, 4, 5);\n" * 3 + "print add5(1, 2, 3, 4, half());\n",
         {"line 1": "int, int, int, int, int"}),
    ],
    ids=["no-arguments", "five-ints", "five-int-and-float", "five-then-float"],
)
def test_typed_entries_of_no_or_more_than_four_arguments(source, speculated):
    expected = small(source, "python", hot_calls=3)[:2]
    out, error, program = small(source, "compiled", hot_calls=3)
    assert (out, error) == expected
    assert program.report()["speculated"] == speculated


FIB = """
def fib(n) { if n < 2 { return n; } return fib(n - 1) + fib(n - 2); }
out(fib(15));
"""

REBIND = """
def add(a, b) { return a + b; }
out(add(1, 2)); out(add(3, 4)); out(add(5, 6)); out(add(7, 8));
add = lambda(a, b) { return a - b; };
out(add(1, 2)); out(add(10, 2));
"""

# Toy's ints are checked: the typed entry keeps their overflow failure.
OVERFLOW = """
def add(a, b) { return a + b; }
out(add(1, 2)); out(add(3, 4)); out(add(5, 6)); out(add(7, 8));
out(add(9223372036854775807, 1));
"""


def toy_run(source, mode, **options):
    lang = toy(**options)
    try:
        lang.load(source).run(mode)
        return lang.printed, None
    except wuna.Error as e:
        return lang.printed, str(e)


@pytest.mark.parametrize("source", [FIB, REBIND, OVERFLOW], ids=["fib", "rebind", "overflow"])
@pytest.mark.parametrize("mode", ["compiled", "auto"])
def test_toy_programs_through_typed_entries(source, mode):
    assert toy_run(source, mode, hot_calls=3) == toy_run(source, "python", hot_calls=3)


def test_a_typed_entry_that_cant_be_compiled_leaves_the_language_as_it_was():
    # The Toy's return makes a tail call, which a typed entry doesn't compile: the function
    # stays on its generic entry, and the return's semantic is not moved to Python for it.
    source = """
def loop(n, acc) {
  if n == 0 { return acc; }
  return loop(n - 1, acc + 1);
}
out(loop(500, 0));
"""
    cold = toy(max_depth=50, hot_calls=10_000)
    cold.load(source).run("compiled")
    lang = toy(max_depth=50, hot_calls=3)
    program = lang.load(source)
    program.run("compiled")
    assert lang.printed == toy_run(source, "python", max_depth=50)[0] == [500]
    assert program.report()["speculated"] == {}
    assert lang.python_semantics() == cold.python_semantics()
    assert "ret" not in lang.python_semantics()


def test_a_recursive_function_gets_its_typed_entry():
    lang = toy(hot_calls=3)
    program = lang.load(FIB)
    program.run("compiled")
    assert lang.printed == [610]
    assert program.report()["speculated"] == {"line 2": "int"}


def test_a_second_run_uses_the_typed_entry_made_in_the_first():
    source = prints((1, 2), (3, 4), (5, 6), (7, 8), ('"a"', '"b"'))
    out = []
    program = make_language(printed=out, hot_calls=3).load(source)
    program.run("compiled")
    program.run("compiled")
    assert out == [3, 7, 11, 15, "ab"] * 2
    assert program.report()["speculated"] == {"line 1": "int, int"}
