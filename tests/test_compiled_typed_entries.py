"""Adaptation of compiled code while it runs: a program function called hot_calls times with the
same kinds of arguments gets a typed entry (Program.report()["speculated"]) that later calls
run, with the reference mode's results; a function given mixed kinds never gets one; and tail
calls run in constant depth, a million of them in a loop. The reference-mode halves check the
fixtures themselves."""
import pytest

from support.small_language import make_language
from support.toy import run, toy


ADD = "def add(a, b) {\n  return a + b;\n}\n"


def printed(source, mode, **options):
    out = []
    program = make_language(printed=out, **options).load(source)
    program.run(mode)
    return out, program


def calls(*pairs):
    return ADD + "".join(f"print add({a}, {b});\n" for a, b in pairs)


@pytest.mark.parametrize(
    "source, speculated",
    [
        # Calls 1 and 2 only count, call 3 asks for the typed entry, call 4 runs it.
        (calls((1, 2), (3, 4), (5, 6), (7, 8)), {"line 1": "int, int"}),
        # Below the threshold: nothing made yet.
        (calls((1, 2), (3, 4)), {}),
        # An int in one call and a str in another: no typed entry, ever.
        (calls((1, 2), ('"a"', '"b"'), (5, 6), (7, 8), (9, 10)), {}),
    ],
    ids=["hot", "cold", "mixed"],
)
def test_a_function_called_hot_calls_times_gets_a_typed_entry(source, speculated):
    expected, _ = printed(source, "python", hot_calls=3)
    out, program = printed(source, "compiled", hot_calls=3)
    assert out == expected
    assert program.report()["speculated"] == speculated


def test_the_reference_mode_adds_the_fixtures_calls():
    out, _ = printed(calls((1, 2), (3, 4), (5, 6), (7, 8)), "python", hot_calls=3)
    assert out == [3, 7, 11, 15]


LOOP = """
def loop(n, acc) {
  if n == 0 { return acc; }
  return loop(n - 1, acc + 1);
}
out(loop(%d, 0));
"""


def test_tail_calls_run_in_constant_depth_as_in_the_reference_mode():
    # Ten times max_depth: only constant depth gets through.
    results = {}
    for mode in ("python", "compiled"):
        lang = toy(max_depth=50)
        lang.load(LOOP % 500).run(mode)
        results[mode] = lang.printed
    assert results["compiled"] == results["python"]


def test_a_million_tail_calls_in_a_loop_run_in_constant_depth():
    lang = toy(max_depth=50)
    lang.load(LOOP % 1_000_000).run("compiled")
    assert lang.printed == [1_000_000]


def test_the_reference_mode_runs_the_tail_call_loop_in_constant_depth():
    lang = toy(max_depth=50)
    run(lang, LOOP % 500)
    assert lang.printed == [500]
