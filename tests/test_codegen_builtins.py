"""Builtins, math and library calls in compiled semantics, on the Toy language: each body runs
in 'python' and in 'compiled' mode on the value 12 and must show the same value, write the
same text to stdout and stderr, and fail with the same error. zip and enumerate iterated at
once are lists; used as iterators they keep Python's behaviour (the semantic runs as Python)."""
import math
import struct
import sys
import zlib

import pytest

import wuna
from support.toy import toy


def both_modes(body, capfd, source="12;"):
    """{mode: (shown values, error text or None, stdout, stderr)}."""
    lang = toy()
    shown = []

    @lang.exec("Shown")
    def shown_(node, rt):
        shown.append(body(node, rt))

    results = {}
    for mode in ("python", "compiled"):
        shown.clear()
        capfd.readouterr()
        try:
            lang.load(source).run(mode)
            error = None
        except wuna.Error as caught:
            error = str(caught)
        captured = capfd.readouterr()
        results[mode] = (list(shown), error, captured.out, captured.err)
    return results


def int_of_str(node, rt):
    return int(str(rt.eval(node.value))) + 1


def int_with_base(node, rt):
    return int("f" + str(rt.eval(node.value)), 16)


def float_of_int(node, rt):
    return float(rt.eval(node.value)) / 8


def abs_of_int(node, rt):
    return abs(-rt.eval(node.value))


def min_and_max(node, rt):
    return min(rt.eval(node.value), 3, 7), max(rt.eval(node.value), 20)


def sum_of_list(node, rt):
    return sum([rt.eval(node.value), 1])


def round_to_places(node, rt):
    return round(rt.eval(node.value) / 7, 2)


def chr_and_ord(node, rt):
    return ord(chr(rt.eval(node.value) + 53))


def bool_of_int(node, rt):
    return bool(rt.eval(node.value) - 12)


def hash_of_tuple(node, rt):
    return hash((rt.eval(node.value), 1.5)) == hash((12, 1.5))


def hash_folded(node, rt):
    return hash((1, 2.5)) + rt.eval(node.value)


def range_16(node, rt):
    return list(range(16))[rt.eval(node.value)]


def range_17(node, rt):
    return list(range(17))[rt.eval(node.value)]


def sqrt(node, rt):
    return math.sqrt(rt.eval(node.value) * 3)


def floor(node, rt):
    return math.floor(rt.eval(node.value) / 5)


def isnan(node, rt):
    return math.isnan(rt.eval(node.value) * 1.0)


def math_pow(node, rt):
    return math.pow(rt.eval(node.value), 2)


def log_base(node, rt):
    return math.log(rt.eval(node.value) - 4, 2)


def from_bytes(node, rt):
    return int.from_bytes(bytes([rt.eval(node.value), 1]), "little")


def struct_round_trip(node, rt):
    return struct.unpack("<h", struct.pack("<h", -rt.eval(node.value)))


def crc32(node, rt):
    return zlib.crc32(bytes([rt.eval(node.value)]))


def utf8_length(node, rt):
    return len((str(rt.eval(node.value)) + "é").encode())


def zip_listed(node, rt):
    return list(zip([rt.eval(node.value), 2], "ab"))


def enumerate_listed(node, rt):
    return list(enumerate([rt.eval(node.value), 3]))


def zip_as_dict(node, rt):
    return dict(zip("ab", [rt.eval(node.value), 1]))


def zip_in_a_loop(node, rt):
    total = 0
    for i, (a, b) in enumerate(zip([rt.eval(node.value), 2], (3, 4))):
        total += i * a * b
    return total


def zip_as_iterator(node, rt):
    return next(zip([rt.eval(node.value)], "x"))


def type_name(node, rt):
    return type(rt.eval(node.value)).__name__


VALUES = [
    (int_of_str, 13),
    (int_with_base, 0xF12),
    (float_of_int, 1.5),
    (abs_of_int, 12),
    (min_and_max, (3, 20)),
    (sum_of_list, 13),
    (round_to_places, 1.71),
    (chr_and_ord, 65),
    (bool_of_int, False),
    (hash_of_tuple, True),
    (hash_folded, hash((1, 2.5)) + 12),
    (range_16, 12),
    (range_17, 12),
    (sqrt, 6.0),
    (floor, 2),
    (isnan, False),
    (math_pow, 144.0),
    (log_base, 3.0),
    (from_bytes, 268),
    (struct_round_trip, (-12,)),
    (crc32, zlib.crc32(b"\x0c")),
    (utf8_length, 4),
    (zip_listed, [(12, "a"), (2, "b")]),
    (enumerate_listed, [(0, 12), (1, 3)]),
    (zip_as_dict, {"a": 12, "b": 1}),
    (zip_in_a_loop, 8),
    (zip_as_iterator, (12, "x")),
    (type_name, "int"),
]


@pytest.mark.parametrize("body, expected", VALUES, ids=[v[0].__name__ for v in VALUES])
def test_builtin_values_are_the_reference_modes(capfd, body, expected):
    results = both_modes(body, capfd)
    assert results["python"] == ([expected], None, "", "")
    assert results["compiled"] == results["python"]


def spent_zip(node, rt):
    pairs = zip([rt.eval(node.value)], "x")
    first = list(pairs)
    return first, list(pairs)


def int_of_bad_str(node, rt):
    return int("x" + str(rt.eval(node.value)))


def chr_out_of_range(node, rt):
    return chr(-rt.eval(node.value))


def sqrt_domain(node, rt):
    return math.sqrt(-rt.eval(node.value))


def min_of_mixed(node, rt):
    return min(rt.eval(node.value), "a")


def from_bytes_bad_order(node, rt):
    return int.from_bytes(b"\x01", str(rt.eval(node.value)))


FAILURES = [
    (int_of_bad_str, "invalid literal for int() with base 10: 'x12'"),
    (chr_out_of_range, "chr() arg not in range"),
    (sqrt_domain, "math domain error"),
    (min_of_mixed, "not supported between"),
    (from_bytes_bad_order, "byteorder"),
]


@pytest.mark.parametrize("body, text", FAILURES, ids=[f[0].__name__ for f in FAILURES])
def test_a_failing_builtin_fails_with_the_same_text_in_both_modes(capfd, body, text):
    results = both_modes(body, capfd)
    assert text in results["python"][1]
    assert results["compiled"] == results["python"]


def test_a_zip_read_twice_is_spent_the_second_time_in_both_modes(capfd):
    results = both_modes(spent_zip, capfd)
    assert results["python"][0] == [([(12, "x")], [])]
    assert results["compiled"] == results["python"]


def stdout_write(node, rt):
    return sys.stdout.write(str(rt.eval(node.value)))


def stderr_write(node, rt):
    return sys.stderr.write(str(rt.eval(node.value)) + "\n")


def print_to_stderr(node, rt):
    return print(rt.eval(node.value), file=sys.stderr)


@pytest.mark.parametrize("body, out, err", [
    (stdout_write, "12", ""),
    (stderr_write, "", "12\n"),
    (print_to_stderr, "", "12\n"),
])
def test_the_standard_streams_get_the_same_text_in_both_modes(capfd, body, out, err):
    results = both_modes(body, capfd)
    assert results["python"][2:] == (out, err)
    assert results["compiled"] == results["python"]


def test_a_file_written_and_read_back_is_the_same_in_both_modes(capfd, tmp_path):
    path = str(tmp_path / "out.txt")

    def body(node, rt):
        written = open(path, "w", encoding="utf-8").write("é" * rt.eval(node.value))
        return written, open(path, encoding="utf-8").read(), open(path, "rb").read()[:2]

    results = both_modes(body, capfd)
    assert results["python"][0] == [(12, "é" * 12, "é".encode())]
    assert results["compiled"] == results["python"]
