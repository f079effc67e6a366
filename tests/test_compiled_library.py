"""struct, the checksums, int.from_bytes, the os functions and files in compiled semantics:
each semantic runs over cases whose values are known at run time only, in the reference and
the compiled modes, and prints and raises the same, and compiles (it does not run as Python).
Also what compiled code must not fold while compiling (hash of a str, whose value depends on
the process) and what must stay an iterator (zip and enumerate not iterated at once)."""
import itertools
import os
import pathlib
import struct
import zlib

import pytest

from support.cases import assert_same_in_both_modes, failed, make_language, outcome

CASES = " ".join("case %d;" % n for n in range(6))


FORMATS = ["@bhilqBHILQ", "=bhilqBHILQ", "<bhilqBHILQ", ">bhilqBHILQ", "!bhilqBHILQ", "@cbi?d"]


def struct_sizes(node, rt):
    f = FORMATS[node.value]
    print(struct.calcsize(f), struct.calcsize(f[0] + "id"), struct.calcsize(f[0] + "3s2xH"))


def struct_round_trips(node, rt):
    n = node.value
    for f in ["<i", ">H", "!q", "@d", "<f", "=?", ">3s", "<2xb", "@b", "<e"]:
        value = b"ab" + bytes([n]) if f.endswith("s") else (n % 2 == 1 if "?" in f else -n)
        if f[-1] in "HBQ":
            value = n
        packed = struct.pack(f, value)
        print(f, packed, struct.unpack(f, packed), struct.unpack_from(f, packed + b"zz", 0))
    for f, values in [("<B", (256 + n,)), ("<i", ()), ("<h", (1.5,)), ("<bb", (n,))]:
        try:
            print(struct.pack(f, *values))
        except struct.error as e:
            print(failed(e))
    try:
        print(struct.unpack("<i", bytes(n)))
    except struct.error as e:
        print(failed(e))


def checksums(node, rt):
    data = bytes(range(node.value * 40)) * (node.value + 1)
    print(zlib.crc32(data), zlib.adler32(data), zlib.crc32(b"x", node.value),
          zlib.adler32(b"yz", 2 ** 33 + node.value), zlib.crc32(data[:3], zlib.crc32(data[3:])))


def from_bytes(node, rt):
    raw = bytes([node.value * 50, 255, 0, 128])[: node.value + 1]
    print(int.from_bytes(raw, "big"), int.from_bytes(raw, "little"),
          int.from_bytes(raw * 5, "little"), (node.value + 250).to_bytes(2, "big"))
    try:
        print(int.from_bytes(raw, "middle"))
    except ValueError as e:
        print(failed(e))


def os_operations(node, rt):
    base = os.getenv("WUNA_LIBRARY_TMP") + "/" + str(node.value)
    os.makedirs(base + "/sub/deeper", exist_ok=True)
    os.makedirs(base + "/sub", exist_ok=True)
    try:
        os.makedirs(base + "/sub")
    except FileExistsError as e:
        print(failed(e).replace(base, "<base>"))
    path = base + "/sub/f.txt"
    print(open(path, "w").write("a\r\nb\rc\n" * node.value))
    print(repr(open(path, encoding="utf-8").read()), open(path, "rb").read())
    print(os.path.isfile(path), os.path.isdir(base + "/sub"), os.path.exists(base + "/none"),
          os.path.getsize(path), os.path.realpath(base + "/none/../x") == base + "/x")
    os.replace(path, base + "/g.txt")
    print(os.path.exists(path), open(base + "/g.txt", encoding="utf-8").read() == "a\nb\nc\n" * node.value)
    for bad in [base + "/none.txt", base + "/sub"]:
        try:
            open(bad).read()
        except OSError as e:
            print(type(e).__name__, e.errno, e.strerror, e.filename == bad)


def decode_errors(node, rt):
    path = os.getenv("WUNA_LIBRARY_TMP") + "/bad%d.txt" % node.value
    open(path, "wb").write(b"ok" * node.value + [b"\xff", b"\xe2\x82", b"x\xe2\x28"][node.value % 3])
    try:
        print(open(path, encoding="utf-8").read())
    except UnicodeDecodeError as e:
        print(e.encoding, e.start, e.end, e.reason, e.object == open(path, "rb").read())


def paths_of_every_kind(node, rt):
    base = os.getenv("WUNA_LIBRARY_TMP")
    name = base + "/kinds%d.txt" % node.value
    open(name, "w").write("x" * node.value)
    print(os.path.isfile(pathlib.Path(name)), os.path.getsize(name.encode()),
          open(pathlib.Path(name)).read(), open(name.encode(), "rb").read(),
          os.path.exists(pathlib.PurePosixPath(name)), os.path.isdir(base.encode()))


class Shown:
    """A value whose str() Python gives: a text with a lone surrogate, or an error."""

    def __init__(self, n):
        self.n = n

    def __str__(self):
        if self.n % 2:
            raise ValueError("no text for " + str(self.n))
        return "s\udcff" + str(self.n)


def print_through_python(node, rt):
    print("before", Shown(node.value * 2), sep="|", end="!\n")
    try:
        print("first", Shown(node.value), "never")
    except ValueError as e:
        print(failed(e))


def environment(node, rt):
    print(os.getenv("WUNA_LIBRARY_TEXT"), os.getenv("WUNA_LIBRARY_BYTES"),
          os.getenv("WUNA_LIBRARY_UNSET" + str(node.value), node.value),
          os.getcwd() == os.getenv("WUNA_LIBRARY_CWD"))


LIBRARY = [struct_sizes, struct_round_trips, checksums, from_bytes, os_operations,
           decode_errors, paths_of_every_kind, environment, print_through_python]


@pytest.fixture
def library_env(tmp_path, monkeypatch):
    monkeypatch.setenv("WUNA_LIBRARY_TMP", str(tmp_path))
    monkeypatch.setenv("WUNA_LIBRARY_TEXT", "v\u00e9")
    monkeypatch.setenv("WUNA_LIBRARY_CWD", os.getcwd())
    # Not UTF-8: the text from the system goes through Python's own getenv (surrogate escapes).
    os.environb[b"WUNA_LIBRARY_BYTES"] = b"a\xffb"
    yield tmp_path
    del os.environb[b"WUNA_LIBRARY_BYTES"]


@pytest.mark.parametrize("semantic", LIBRARY, ids=lambda f: f.__name__)
def test_library_calls_give_the_reference_results_and_errors(semantic, capfd, library_env):
    assert_same_in_both_modes(semantic, capfd, CASES)


def hashes(node, rt):
    text = "wuna-" + "salt"[: node.value]
    print(hash("wuna-salt") == hash(text), hash((1, 2.5, None, True)) - node.value,
          hash(b"xy") == hash(bytes([120, 121])), hash(("a", node.value)) == hash(("a", 3)))


def test_hashes_are_the_running_processes(capfd):
    # A str's hash depends on the process's hash secret: compiled code, cached on disk for
    # other processes, computes it at run time (folded only for ints, floats, None, tuples).
    _, program = assert_same_in_both_modes(hashes, capfd, CASES)
    assert str(hash("wuna-salt")) not in program.compiled_ir()


# zip and enumerate used as iterators (next, read twice, an endless input) stay Python's.
def iterators(node, rt):
    z = zip([1, 2, 3], "abc")
    print(next(z), list(z), list(z))
    e = enumerate(itertools.count(node.value))
    for i, v in e:
        if i > 2:
            break
        print(i, v)
    print(next(e))
    pairs = enumerate("xy", node.value)
    print(list(pairs), list(pairs))


def test_zip_and_enumerate_as_iterators_keep_pythons_behaviour(capfd):
    lang = make_language(iterators)
    program = lang.load(CASES)
    expected = outcome(program, "python", capfd)
    assert expected[1] is None and "(4, " in expected[0]
    assert outcome(program, "compiled", capfd) == expected
    assert "not iterated at once" in lang.python_semantics()["iterators"]
