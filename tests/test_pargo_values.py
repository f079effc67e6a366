"""Values of node text read by the int, float and unquote actions: what the runtime computes
natively for the same text, case by case, including the texts it refuses."""
import math

import pytest

import pargo

READERS = pargo.compile(r"""
@token Int = .* -> int
@token Float = .* -> float
@token Unquote = .* -> unquote
""")


def read(rule, text):
    return READERS.parse(text, start=rule)


@pytest.mark.parametrize(
    "text, value",
    [
        ("0", 0),
        ("007", 7),
        ("+7", 7),
        ("-0", 0),
        (" 1_000 ", 1000),
        ("\t\n1_000\r\x0b\x0c", 1000),
        ("1_2_3", 123),
        ("9223372036854775807", 2**63 - 1),
        ("-9223372036854775808", -(2**63)),
    ],
)
def test_int_values(text, value):
    assert read("Int", text) == value


@pytest.mark.parametrize(
    "text",
    ["", "   ", "+", "-", "1__0", "_1", "1_", "+_1", "-_1", "1 2", "0x10", "1.0", "١", "9223372036854775808",
     "-9223372036854775809", "99999999999999999999", "++1", "1e3"],
)
def test_int_refusals(text):
    with pytest.raises(ValueError, match="int rule refuses"):
        read("Int", text)


@pytest.mark.parametrize(
    "text, value",
    [
        ("1e3", 1000.0),
        ("1E+3", 1000.0),
        (" 2.5 ", 2.5),
        ("0.1", 0.1),
        (".5", 0.5),
        ("5.", 5.0),
        ("-1.5e-3", -0.0015),
        ("2.2250738585072011e-308", float("2.2250738585072011e-308")),
        ("4.9e-324", 5e-324),
        ("1e400", math.inf),
        ("-1e400", -math.inf),
        ("1e-400", 0.0),
        ("179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096"
         "330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730"
         "270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497"
         "791.9999", float("1.7976931348623157e308")),
        ("-Infinity", -math.inf),
        ("+inf", math.inf),
        ("iNfInItY", math.inf),
        ("7", 7.0),
    ],
)
def test_float_values(text, value):
    got = read("Float", text)
    assert got == value and math.copysign(1, got) == math.copysign(1, value)


@pytest.mark.parametrize("text", ["NaN", "nan", "-nan", " +NAN "])
def test_float_nan_is_positive(text):
    got = read("Float", text)
    assert math.isnan(got) and math.copysign(1, got) == 1


@pytest.mark.parametrize(
    "text",
    ["", " ", "1_0.5", "1_000", ".", "e5", "1e", "1e+", "1.2.3", "--1", "+-1", "1-", "infinit", "in f", "0x1p3",
     "nana", "1,5", "∞", "inf_"],
)
def test_float_refusals(text):
    with pytest.raises(ValueError, match="float rule refuses"):
        read("Float", text)


@pytest.mark.parametrize(
    "text, value",
    [
        ('"a\\u00e9\\ud83d\\ude00"', "a\u00e9\U0001F600"),
        ('"\\q"', "q"),
        ('""', ""),
        ('"', ""),
        ("'ab'", "ab"),
        ("xaby", "ab"),  # the first and last bytes go whatever they are
        ('"\\0\\b\\f\\n\\r\\t"', "\0\b\f\n\r\t"),
        ('"\\x41\\xe9"', "A\u00e9"),
        ('"\\x4"', "x4"),  # fewer bytes than the escape needs: the letter, then the bytes
        ('"\\u12"', "u12"),
        ('"\\uzzzz"', "uzzzz"),
        ('"\\u+0e9"', "\u00e9"),  # a leading '+' is accepted
        ('"\\u0_e9"', "\u00e9"),  # and a single '_' between digits
        ('"\\u__e9"', "u__e9"),
        ('"\\x_4"', "x_4"),
        ('"a\\"', "a\\"),  # a backslash just before the closing byte stays
        ('"\\\\"', "\\"),
        ('"\\""', '"'),
        ('"\\\'"', "'"),
        ('"é€"', "é€"),
        ('"\\u20AC\\U0041"', "€U0041"),
    ],
)
def test_unquote_values(text, value):
    assert read("Unquote", text) == value


@pytest.mark.parametrize("text", ['"\\ud83d"', '"\\ude00"', '"\\ude00\\ud83d"', '"\\ud83dx"', '"\\ud83d\\u0041"'])
def test_unquote_refuses_lone_surrogates(text):
    with pytest.raises(ValueError, match="unquote rule refuses"):
        read("Unquote", text)


def test_refused_child_value_fails_the_whole_value():
    p = pargo.compile("L = N (',' N)* -> list\n@token N = [0-9_]+ -> int")
    assert p.parse("1,2_0") == [1, 20]
    with pytest.raises(ValueError, match="int rule refuses the text '1__0'"):
        p.parse("1,1__0")
