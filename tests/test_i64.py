"""wuna.I64: an int whose arithmetic raises wuna.IntegerOverflow outside 64 bits."""
import operator
import os
import subprocess
import sys
import textwrap

import pytest

import wuna
from wuna import I64, IntegerOverflow

MAX = 2**63 - 1
MIN = -2**63


def same(result, expected):
    """Equal value and exactly the expected type (I64, int, float, bool)."""
    return type(result) is type(expected) and result == expected


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, 0),
    ((5,), {}, 5),
    ((2.9,), {}, 2),
    (("ff", 16), {}, 255),
    (("ff",), {"base": 16}, 255),
    ((" -12 ",), {}, -12),
    ((True,), {}, 1),
    ((MAX,), {}, MAX),
    ((MIN,), {}, MIN),
    ((I64(9),), {}, 9),
])
def test_construction_accepts_what_int_accepts(args, kwargs, expected):
    result = I64(*args, **kwargs)
    assert type(result) is I64 and result == expected


@pytest.mark.parametrize("args, error", [
    ((MAX + 1,), IntegerOverflow),
    ((MIN - 1,), IntegerOverflow),
    (("9" * 30,), IntegerOverflow),
    (("x",), ValueError),
    ((1.5j,), TypeError),
    ((float("inf"),), OverflowError),
])
def test_construction_errors(args, error):
    with pytest.raises(error) as caught:
        I64(*args)
    if error is IntegerOverflow:
        assert str(caught.value) == "integer overflow"


def test_the_type_shows_as_int_of_wuna():
    assert I64.__name__ == "int" and I64.__module__ == "wuna"
    assert issubclass(I64, int)
    assert type(I64(3)).__name__ == "int"
    assert I64.__doc__.startswith("A checked 64-bit integer")


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (I64,), {})


@pytest.mark.parametrize("value", [0, 3, -7, MAX, MIN])
def test_behaves_as_its_int_value(value):
    x = I64(value)
    assert x == value and hash(x) == hash(value)
    assert repr(x) == repr(value) and str(x) == str(value) and format(x, "x") == format(value, "x")
    assert bool(x) == bool(value) and operator.index(x) == value
    assert type(int(x)) is int and int(x) == value
    assert {x: 1}[value] == 1


ARITHMETIC = [
    (operator.add, I64(5), 3, I64(8)),
    (operator.add, 5, I64(3), I64(8)),
    (operator.add, I64(1), 0.5, 1.5),
    (operator.add, I64(1), True, I64(2)),
    (operator.sub, I64(MIN + 1), 1, I64(MIN)),
    (operator.mul, I64(2**62), 1, I64(2**62)),
    (operator.mul, -1, I64(MAX), I64(-MAX)),
    (operator.truediv, I64(7), 2, 3.5),
    (operator.floordiv, I64(7), 2, I64(3)),
    (operator.floordiv, I64(-7), 2, I64(-4)),
    (operator.floordiv, I64(MIN), 1, I64(MIN)),
    (operator.mod, I64(-7), 3, I64(2)),
    (operator.mod, I64(7), 2.0, 1.0),
    (operator.pow, I64(2), 62, I64(2**62)),
    (operator.pow, I64(-2), 63, I64(MIN)),
    (operator.pow, I64(2), -1, 0.5),
    (operator.lshift, I64(1), 62, I64(2**62)),
    (operator.rshift, I64(MIN), 63, I64(-1)),
    (operator.and_, I64(12), 10, I64(8)),
    (operator.or_, 12, I64(10), I64(14)),
    (operator.xor, I64(12), I64(10), I64(6)),
    (operator.neg, I64(MAX), None, I64(-MAX)),
    (operator.pos, I64(MIN), None, I64(MIN)),
    (abs, I64(-MAX), None, I64(MAX)),
    (operator.invert, I64(0), None, I64(-1)),
    (operator.invert, I64(MAX), None, I64(MIN)),
    (operator.eq, I64(3), 3, True),
    (operator.lt, I64(3), 2.5, False),
]


@pytest.mark.parametrize("op, a, b, expected", ARITHMETIC)
def test_arithmetic(op, a, b, expected):
    result = op(a) if b is None else op(a, b)
    assert same(result, expected), result


OVERFLOWS = [
    (operator.add, I64(MAX), 1),
    (operator.add, 1, I64(MAX)),
    (operator.sub, I64(MIN), 1),
    (operator.mul, I64(2**62), 2),
    (operator.floordiv, I64(MIN), -1),
    (operator.pow, I64(2), 63),
    (operator.lshift, I64(1), 63),
    (operator.neg, I64(MIN), None),
    (abs, I64(MIN), None),
    (divmod, I64(MIN), -1),
]


@pytest.mark.parametrize("op, a, b", OVERFLOWS)
def test_overflow(op, a, b):
    with pytest.raises(IntegerOverflow, match="^integer overflow$") as caught:
        op(a) if b is None else op(a, b)
    assert isinstance(caught.value, ArithmeticError)


@pytest.mark.parametrize("op", [operator.iadd, operator.imul, operator.ilshift])
def test_in_place_operators_are_checked_too(op):
    x = I64(MAX)
    with pytest.raises(IntegerOverflow):
        op(x, 2)
    y = I64(1)
    y = op(y, 2)
    assert type(y) is I64


@pytest.mark.parametrize("a, b, expected", [
    (I64(7), 2, (I64(3), I64(1))),
    (7, I64(2), (I64(3), I64(1))),
    (I64(-7), 2, (I64(-4), I64(1))),
    (I64(MIN), 1, (I64(MIN), I64(0))),
    (I64(7), 2.0, (3.0, 1.0)),
])
def test_divmod_checks_each_item(a, b, expected):
    result = divmod(a, b)
    assert type(result) is tuple and len(result) == 2
    assert all(same(r, e) for r, e in zip(result, expected)), result


@pytest.mark.parametrize("base, exp, mod, expected", [
    (I64(2), 10, 7, I64(2)),
    (2, I64(10), 7, I64(2)),
    (2, 10, I64(7), 2),            # int's own pow answers first: only the modulus is an I64
    (I64(3), 200, 1000, I64(1)),
    (I64(3), 39, 2**70, I64(3**39)),
    (I64(3), -1, 7, I64(5)),
])
def test_pow_with_modulus(base, exp, mod, expected):
    assert same(pow(base, exp, mod), expected)


def test_pow_with_modulus_beyond_64_bits_overflows():
    with pytest.raises(IntegerOverflow):
        pow(I64(3), 100, 2**80)


@pytest.mark.parametrize("op, b, error", [
    (operator.floordiv, 0, ZeroDivisionError),
    (operator.mod, 0, ZeroDivisionError),
    (divmod, 0, ZeroDivisionError),
    (operator.add, "x", TypeError),
    (operator.lshift, -1, ValueError),
    (operator.and_, 1.0, TypeError),
])
def test_errors_are_the_interpreters(op, b, error):
    with pytest.raises(error):
        op(I64(1), b)


@pytest.mark.parametrize("value", [-2**63, 2**63 - 1, 0, 5])
@pytest.mark.parametrize("other", [-2.0**63, -1e19, 2.0**63, 1e19, 0.5, float("nan"),
                                   float("inf"), -float("inf"), 2**70, -2**63])
def test_comparisons_are_ints_even_with_floats_far_out(value, other):
    a = I64(value)
    for op in (operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge):
        assert op(a, other) == op(value, other)
        # A float on the left compares by the float's own rules, which negate a negative int
        # of 64 bits: for the smallest I64 that negation overflows, as I64 arithmetic must.
        if not (value == -2**63 and isinstance(other, float) and -2.0**64 < other <= -2.0**63):
            assert op(other, a) == op(other, value)


def test_sequences_repeat_by_an_i64():
    assert [0] * I64(3) == [0, 0, 0]
    assert I64(2) * "ab" == "abab"


def test_other_types_reflected_operators_still_run():
    class Money:
        def __radd__(self, other):
            return ("radd", other)

    assert I64(4) + Money() == ("radd", 4)


def test_operations_do_not_leak():
    import gc
    import tracemalloc

    a, b = I64(10**12 + 7), I64(10**6 + 3)

    def work():
        for _ in range(2000):
            a + b, a - b, a * b, a // b, a % b, a / b, divmod(a, b), pow(b, 2, a), -a, abs(a)
            a << 3, a >> 3, a & b, a | b, a ^ b, ~a, I64("123456789012"), b * 2.5
            try:
                a * a
            except IntegerOverflow:
                pass

    work()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    work()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 20_000, grown


# ---- results decided before they are computed ----------------------------------------------
#
# A power or a left shift of a few digits can stand for a number of a billion bits: the range
# is decided from the operands, so these fail at once instead of computing for minutes or
# running out of memory. Each runs in a child interpreter with a timeout, so that a
# regression fails the test rather than hanging the suite.

HUGE_RESULTS = [
    "I64(3) ** (10**9)",
    "3 ** I64(10**9)",
    "I64(-2) ** (10**18)",
    "I64(2) ** (10**100)",
    "(2**100) ** I64(3)",
    "I64(1) << (2**63 - 1)",
    "1 << I64(2**62)",
    "I64(-1) << (10**30)",
    "x = I64(7); x **= 10**12",
    "x = I64(7); x <<= 2**40",
]


@pytest.mark.parametrize("expression", HUGE_RESULTS)
def test_a_result_far_out_of_range_overflows_at_once(expression):
    code = textwrap.dedent(f"""
        from wuna import I64, IntegerOverflow
        try:
            {expression}
        except IntegerOverflow as e:
            print("overflow:", e)
        """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr
    assert done.stdout == "overflow: integer overflow\n"


# Operands where the early decision could go wrong: the edges of the range, bases and values
# that stay small whatever the exponent or count, negative exponents (a float) and counts
# (int's ValueError), and huge counts that still give a small result.
EDGE_VALUES = [0, 1, -1, 2, -2, 3, -3, 62, 63, 64, 65, 2**31, -2**32 - 1, 2**62, -2**62,
               MAX, MIN, -5, -64]


def int_outcome(op, a, b):
    """What int gives, as an I64 operation should give it."""
    try:
        result = op(a, b)
    except (ValueError, ZeroDivisionError, OverflowError) as e:
        return type(e)
    if type(result) is int:
        return I64(result) if MIN <= result <= MAX else IntegerOverflow
    return result


def i64_outcome(op, a, b):
    try:
        return op(a, b)
    except (ValueError, ZeroDivisionError, OverflowError, IntegerOverflow) as e:
        return type(e)


@pytest.mark.parametrize("op", [operator.pow, operator.lshift, operator.rshift, operator.mul])
def test_results_that_fit_are_ints(op):
    for a in EDGE_VALUES:
        for b in EDGE_VALUES:
            # int itself would take too long or too much memory for these.
            if op is operator.pow and b > 64 and a not in (0, 1, -1):
                expected = IntegerOverflow
            elif op is operator.lshift and b > 64:
                expected = IntegerOverflow if a else I64(0)
            else:
                expected = int_outcome(op, a, b)
            for x, y in ((I64(a), b), (a, I64(b)), (I64(a), I64(b))):
                got = i64_outcome(op, x, y)
                if isinstance(expected, type):
                    assert got is expected, (op, x, y, got)
                else:
                    assert same(got, expected), (op, x, y, got)


@pytest.mark.parametrize("a, b, expected", [
    (I64(1), 10**100, I64(1)),
    (I64(-1), 10**100 + 1, I64(-1)),
    (I64(0), 10**100, I64(0)),
    (I64(2), -1, 0.5),
    (I64(2), -(10**9), 0.0),
    (I64(5), 0, I64(1)),
    (2**100, I64(0), I64(1)),
    (I64(2), 0.5, 2 ** 0.5),
])
def test_powers_that_stay_small_are_computed(a, b, expected):
    assert same(a ** b, expected)


@pytest.mark.parametrize("a, b, expected", [
    (I64(0), 10**30, I64(0)),
    (I64(5), 10**30, None),
    (I64(5), -1, ValueError),
])
def test_shifts_by_huge_counts(a, b, expected):
    if expected is ValueError:
        with pytest.raises(ValueError, match="negative shift count"):
            a << b
        return
    if expected is None:
        assert same(a >> b, I64(0)) and same(-a >> b, I64(-1))
        return
    assert same(a << b, expected)


def test_an_int_subclass_with_its_own_power_still_answers():
    class Exponent(int):
        def __rpow__(self, base):
            return ("rpow", base)

    assert I64(3) ** Exponent(10**9) == ("rpow", 3)
    assert pow(I64(3), 10**9, 1000) == pow(3, 10**9, 1000)
