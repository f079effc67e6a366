"""Calls in compiled semantics, on the Toy language: each program runs in 'python' and in
'compiled' mode and must show the same values, write the same text and fail with the same
error. Recursion through rt.call of a program function (its direct path), a function
variable rebound at run time (the generic call), print, sorted, any and all at the call site,
helpers called with keywords and defaults, and a helper called with a keyword it does not
have (Python's TypeError in both modes)."""
import dataclasses

import pytest

import wuna
from support.toy import toy

def outcomes(lang, source, capfd):
    """{mode: (shown values, error text or None, stdout)} for both modes."""
    results = {}
    for mode in ("python", "compiled"):
        lang.printed.clear()
        capfd.readouterr()
        program = lang.load(source)
        try:
            program.run(mode)
            error = None
        except wuna.Error as caught:
            error = str(caught)
        results[mode] = (list(lang.printed), error, capfd.readouterr().out)
    return results


def plain_calls(lang):
    """Calls whose arguments are a list made while compiling (no tail calls)."""

    @lang.eval("Call")
    def call(node, rt):
        return rt.call(rt.eval(node.callee), [rt.eval(a) for a in node.args])

    return call


FIB = """
def fib(n) { if n < 2 { return n; } return fib(n - 1) + fib(n - 2); }
out(fib(20));
"""


def test_recursive_fib_gives_the_reference_result_through_the_direct_path(capfd):
    lang = toy(tail=False)
    plain_calls(lang)
    results = outcomes(lang, FIB, capfd)
    assert results["python"] == ([6765], None, "")
    assert results["compiled"] == results["python"]
    assert "call" not in lang.python_semantics()


REBOUND = """
def twice(n) { return n * 2; }
def thrice(n) { return n * 3; }
var f = twice;
out(f(7));
f = thrice;
out(f(7));
f = 5;
out(f(7));
"""


def test_a_rebound_function_variable_falls_back_to_the_generic_call(capfd):
    lang = toy(tail=False)
    plain_calls(lang)
    results = outcomes(lang, REBOUND, capfd)
    assert results["python"][0] == [14, 21]
    assert "not callable" in results["python"][1]
    assert results["compiled"] == results["python"]


@pytest.mark.parametrize("body, expected_out, expected_shown", [
    (lambda node, rt: print(rt.eval(node.value)), "12\n", []),
    (lambda node, rt: print(rt.eval(node.value), rt.eval(node.value), sep="-", end="!\n"),
     "12-12!\n", []),
    (lambda node, rt: sorted([rt.eval(node.value), 3, 1], reverse=True), "", [[12, 3, 1]]),
    (lambda node, rt: any(x > 10 for x in [1, rt.eval(node.value)]), "", [True]),
    (lambda node, rt: all(x > 10 for x in [1, rt.eval(node.value)]), "", [False]),
    (lambda node, rt: any(x > 100 for x in []), "", [False]),
])
def test_builtins_at_the_call_site(capfd, body, expected_out, expected_shown):
    lang = toy()
    shown = []

    @lang.exec("Shown")
    def shown_(node, rt):
        value = body(node, rt)
        if value is not None:
            shown.append(value)

    results = {}
    for mode in ("python", "compiled"):
        shown.clear()
        capfd.readouterr()
        lang.load("12;").run(mode)
        results[mode] = (list(shown), capfd.readouterr().out)
    assert results["python"] == (expected_shown, expected_out)
    assert results["compiled"] == results["python"]


def scale(x, factor=2, offset=0):
    return x * factor + offset


@pytest.mark.parametrize("body, expected", [
    (lambda node, rt: scale(rt.eval(node.value)), 24),
    (lambda node, rt: scale(rt.eval(node.value), offset=1), 25),
    (lambda node, rt: scale(offset=3, x=rt.eval(node.value)), 27),
    (lambda node, rt: scale(rt.eval(node.value), 3, offset=1), 37),
])
def test_keyword_arguments_bind_to_the_helpers_parameters(capfd, body, expected):
    lang = toy()
    shown = []

    @lang.exec("Shown")
    def shown_(node, rt):
        shown.append(body(node, rt))

    for mode in ("python", "compiled"):
        shown.clear()
        lang.load("12;").run(mode)
        assert shown == [expected], mode


@pytest.mark.parametrize("body", [
    lambda node, rt: scale(rt.eval(node.value), scale=1),
    lambda node, rt: scale(rt.eval(node.value), x=1),
    lambda node, rt: scale(factor=1),
    lambda node, rt: scale(1, 2, 3, 4),
])
def test_a_call_that_does_not_fit_fails_with_pythons_text_in_both_modes(capfd, body):
    lang = toy()

    @lang.exec("Shown")
    def shown_(node, rt):
        body(node, rt)

    errors = []
    for mode in ("python", "compiled"):
        with pytest.raises(wuna.Error) as caught:
            lang.load("12;").run(mode)
        errors.append(str(caught.value))
    assert "scale()" in errors[0]
    assert errors[1] == errors[0]


@dataclasses.dataclass
class Point:
    x: int
    y: int = 5


class Pair:
    __slots__ = ("left", "right")

    def __init__(self, left, right):
        self.left = left
        self.right = right * 2


@wuna.comptime
def tenfold(n):
    return n * 10


@pytest.mark.parametrize("body, expected", [
    (lambda node, rt: Point(rt.eval(node.value)).y + Point(rt.eval(node.value), 1).x, 17),
    (lambda node, rt: Pair(rt.eval(node.value), 3).right, 6),
    (lambda node, rt: tenfold(4) + rt.eval(node.value), 52),
])
def test_records_and_comptime_calls_give_the_reference_values(body, expected):
    lang = toy()
    shown = []

    @lang.exec("Shown")
    def shown_(node, rt):
        shown.append(body(node, rt))

    for mode in ("python", "compiled"):
        shown.clear()
        lang.load("12;").run(mode)
        assert shown == [expected], mode


def run_time_list_calls(lang):
    """Calls whose argument list is filled at run time: the callee gets it through wn_call_seq."""

    @lang.eval("Call")
    def call(node, rt):
        args = []
        for a in node.args:
            args.append(rt.eval(a))
        return rt.call(rt.eval(node.callee), args)

    return call


def spread_program(count, failing):
    names = ["p%d" % i for i in range(count)]
    total = " + ".join(names) if names else "0"
    body = "out(boom);" if failing else ""
    return """
def f(%s) { %s return %s; }
out(f(%s));
out(f(%s));
""" % (", ".join(names), body, total, ", ".join(str(i + 1) for i in range(count)),
       ", ".join(str(10 * (i + 1)) for i in range(count)))


# Short argument lists are copied on the stack, long ones on the heap: both sides of the
# boundary, and a callee that fails with its arguments still held.
@pytest.mark.parametrize("count", [0, 1, 2, 8, 9, 13])
@pytest.mark.parametrize("failing", [False, True], ids=["returns", "fails"])
def test_a_run_time_argument_list_reaches_the_callee_whole(capfd, count, failing):
    lang = toy(tail=False)
    run_time_list_calls(lang)
    source = spread_program(count, failing)
    results = outcomes(lang, source, capfd)
    assert "wn_call_seq" in lang.load(source).compiled_ir()
    assert results["compiled"] == results["python"]
    if not failing:
        n = count * (count + 1) // 2
        assert results["python"][0] == [n, 10 * n]
    else:
        assert results["python"][1] is not None
