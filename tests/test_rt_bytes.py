"""rt's byte readers (rt.u8 ... rt.i64be) and wrapping operations (rt.wrapping_add ...):
every reader at every offset of a buffer against int.from_bytes, every operation against
Python's arithmetic masked to 64 bits, the data types a reader takes and refuses, the
offset and operand checks with their messages, and the argument count. The operations need
no program, so an inert wuna.Runtime() serves most tests; a program's rt is checked too."""
import array
import mmap
import random

import pytest

import wuna

READERS = [  # name, width, signed, byte order
    ("u8", 1, False, "little"), ("i8", 1, True, "little"),
    ("u16le", 2, False, "little"), ("u16be", 2, False, "big"),
    ("i16le", 2, True, "little"), ("i16be", 2, True, "big"),
    ("u32le", 4, False, "little"), ("u32be", 4, False, "big"),
    ("i32le", 4, True, "little"), ("i32be", 4, True, "big"),
    ("u64le", 8, False, "little"), ("u64be", 8, False, "big"),
    ("i64le", 8, True, "little"), ("i64be", 8, True, "big"),
]
READER_IDS = [r[0] for r in READERS]

MASK = (1 << 64) - 1


def signed64(x):
    x &= MASK
    return x - (1 << 64) if x >> 63 else x


WRAPPING = {  # op: what Python computes before the result is taken modulo 2^64
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "mul": lambda a, b: a * b,
    "shl": lambda a, n: a << (n & 63),
    "shr": lambda a, n: a >> (n & 63),
    "ushr": lambda a, n: (a & MASK) >> (n & 63),
}

EDGES = [0, 1, -1, 2, 63, 64, 65, -64, 127, 255, 2**31, -2**31, 2**32 + 7,
         2**63 - 1, -2**63, -2**63 + 1, 0x5555555555555555, -0x123456789abcdef]


@pytest.fixture(scope="module")
def rt():
    return wuna.Runtime()


# A buffer whose bytes cover 00, 7F, 80, FF and both signs at every width.
DATA = bytes([0x00, 0x7F, 0x80, 0xFF, 0x01, 0xFE, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC,
              0xDE, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x80, 0x00])


def holders():
    """The kinds of data a reader accepts, each over DATA."""
    anonymous = mmap.mmap(-1, len(DATA))
    anonymous.write(DATA)

    class mmap_like(bytearray):  # any type named "mmap" counts as one
        pass
    mmap_like.__name__ = "mmap"
    return [("bytes", DATA), ("bytearray", bytearray(DATA)), ("memoryview", memoryview(DATA)),
            ("memoryview slice", memoryview(b"xx" + DATA)[2:]), ("mmap", anonymous),
            ("named mmap", mmap_like(DATA))]


@pytest.mark.parametrize("name,width,signed,order", READERS, ids=READER_IDS)
@pytest.mark.parametrize("kind,data", holders(), ids=[h[0] for h in holders()])
def test_reader_matches_int_from_bytes_at_every_offset(rt, name, width, signed, order, kind, data):
    read = getattr(rt, name)
    for i in range(len(DATA) - width + 1):
        want = int.from_bytes(DATA[i:i + width], order, signed=signed)
        got = read(data, i)
        assert got == want and type(got) is int, (i, got, want)
    for i in (-1, len(DATA) - width + 1, len(DATA), len(DATA) + 1, 2**62):
        with pytest.raises(IndexError) as e:
            read(data, i)
        assert str(e.value) == f"rt.{name}(): offset {i} out of range"


@pytest.mark.parametrize("make", [
    lambda: wuna.Bytes(DATA),
    lambda: wuna.Bytes(b"xyz" + DATA + b"tail")[3:-4],   # a slice shares its memory
    lambda: wuna.Bytes(bytearray(DATA)),
], ids=["bytes", "slice", "bytearray"])
def test_reader_reads_wuna_bytes_in_place(rt, make):
    view = make()
    for name, width, signed, order in READERS:
        for i in range(len(DATA) - width + 1):
            assert getattr(rt, name)(view, i) == int.from_bytes(DATA[i:i + width], order,
                                                                signed=signed)
        with pytest.raises(IndexError) as e:
            getattr(rt, name)(view, len(DATA) - width + 1)
        assert str(e.value) == f"rt.{name}(): offset {len(DATA) - width + 1} out of range"


@pytest.mark.parametrize("data,name,i,want", [
    (b"\x01\x02", "u16be", 0, 258),
    (b"\x01\x02", "u16le", 0, 513),
    (b"\xff", "i8", 0, -1),
    (b"\xff", "u8", 0, 255),
    (b"\xff" * 8, "u64le", 0, 2**64 - 1),
    (b"\xff" * 8, "u64be", 0, 2**64 - 1),
    (b"\xff" * 8, "i64le", 0, -1),
    (b"\x00" * 7 + b"\x80", "u64le", 0, 2**63),
    (b"\x00" * 7 + b"\x80", "i64le", 0, -2**63),
    (b"\x80\x00", "i16be", 0, -32768),
    (b"\x7f\xff\xff\xff", "i32be", 0, 2**31 - 1),
])
def test_reader_known_values(rt, data, name, i, want):
    assert getattr(rt, name)(data, i) == want


@pytest.mark.parametrize("name,width", [(r[0], r[1]) for r in READERS], ids=READER_IDS)
def test_reader_bounds_on_short_and_empty_data(rt, name, width):
    read = getattr(rt, name)
    for data in (b"", b"\x01" * (width - 1)):
        with pytest.raises(IndexError, match=rf"^rt\.{name}\(\): offset 0 out of range$"):
            read(data, 0)
    assert read(b"\x00" * width, 0) == 0


class Index:
    def __index__(self):
        return 1

    def __repr__(self):  # a stable test id
        return "Index()"


class Meta(type):
    __name__ = property(lambda cls: 42)  # a type whose __name__ is not a str


class Nameless(metaclass=Meta):
    pass


def test_reader_offset_conversion(rt):
    data = b"\x00\x05\x06"
    assert rt.u8(data, Index()) == 5
    assert rt.u8(data, wuna.I64(2)) == 6
    assert rt.u8(data, True) == 5
    with pytest.raises(TypeError):
        rt.u8(data, 1.0)
    with pytest.raises(TypeError):
        rt.u8(data, "1")
    with pytest.raises(OverflowError):
        rt.u8(data, 2**64)
    # The offset is converted before the data is looked at.
    with pytest.raises(OverflowError):
        rt.u8("not data", -2**70)


@pytest.mark.parametrize("data,type_name", [
    ("\x01\x02", "str"),
    ([1, 2], "list"),
    (None, "NoneType"),
    (7, "int"),
    (array.array("B", [1, 2]), "array"),   # a buffer, but not one of the data types
    (type("Blob", (bytes,), {})(b"\x01\x02"), "Blob"),   # subclasses do not count
    (Nameless(), "?"),
])
@pytest.mark.parametrize("name", ["u8", "i64be"])
def test_reader_refuses_other_data(rt, data, type_name, name):
    with pytest.raises(TypeError) as e:
        getattr(rt, name)(data, 0)
    assert str(e.value) == f"rt.{name}() reads data (wuna.Bytes, bytes...), not '{type_name}'"


def test_reader_message_with_a_huge_type_name_is_cut(rt):
    name = "T" + "é" * 1000
    with pytest.raises(TypeError) as e:
        rt.u32le(type(name, (), {})(), 0)
    text = str(e.value)
    assert text.startswith("rt.u32le() reads data (wuna.Bytes, bytes...), not 'Tééé")
    assert text.endswith("é...") and len(text.encode()) <= 1023


def test_reader_passes_buffer_errors_on(rt):
    with pytest.raises(BufferError):
        rt.u8(memoryview(b"abcdef")[::2], 0)   # not contiguous
    released = memoryview(b"ab")
    released.release()
    with pytest.raises(ValueError):
        rt.u8(released, 0)


def test_reader_sees_changes_to_mutable_data(rt):
    data = bytearray(4)
    assert rt.u32le(data, 0) == 0
    data[3] = 0x80
    assert rt.u32le(data, 0) == 2**31 and rt.i32le(data, 0) == -2**31


@pytest.mark.parametrize("op", list(WRAPPING))
def test_wrapping_matches_masked_python(rt, op):
    method = getattr(rt, f"wrapping_{op}")
    rng = random.Random(op)
    values = EDGES + [rng.randrange(-2**63, 2**63) for _ in range(40)]
    for a in values:
        for b in values:
            got = method(a, b)
            assert got == signed64(WRAPPING[op](a, b)) and type(got) is int, (a, b)


@pytest.mark.parametrize("op,a,b,want", [
    ("add", 2**63 - 1, 1, -2**63),
    ("sub", -2**63, 1, 2**63 - 1),
    ("mul", 2**32, 2**32, 0),
    ("mul", -1, -2**63, -2**63),
    ("ushr", -1, 1, 2**63 - 1),
    ("ushr", -1, 64, -1),
    ("ushr", -1, 60, 15),
    ("shl", 1, 65, 2),
    ("shl", 1, 64, 1),
    ("shl", 1, 63, -2**63),
    ("shl", 1, -1, -2**63),   # the count's low six bits: 63
    ("shr", -16, 2, -4),
    ("shr", -2**63, 63, -1),
])
def test_wrapping_known_values(rt, op, a, b, want):
    assert getattr(rt, f"wrapping_{op}")(a, b) == want


class MyInt(int):
    pass


@pytest.mark.parametrize("op", list(WRAPPING))
def test_wrapping_takes_int_subclasses(rt, op):
    method = getattr(rt, f"wrapping_{op}")
    assert method(wuna.I64(6), MyInt(3)) == signed64(WRAPPING[op](6, 3))


@pytest.mark.parametrize("bad", [True, False, 2**64, 2**63, -2**63 - 1, 1.0, "1", None, Index()],
                         ids=repr)
@pytest.mark.parametrize("op", list(WRAPPING))
def test_wrapping_refuses_other_operands(rt, op, bad):
    method = getattr(rt, f"wrapping_{op}")
    message = rf"^rt\.wrapping_{op}\(\) takes ints of 64 bits$"
    with pytest.raises(TypeError, match=message):
        method(bad, 1)
    with pytest.raises(TypeError, match=message):
        method(1, bad)


@pytest.mark.parametrize("name", READER_IDS + [f"wrapping_{op}" for op in WRAPPING])
def test_two_positional_arguments_exactly(rt, name):
    method = getattr(rt, name)
    for call in (lambda: method(b"\x00"), lambda: method(b"\x00", 0, 0), lambda: method(),
                 lambda: method(b"\x00", i=0), lambda: method(b"\x00", 0, x=1)):
        with pytest.raises(TypeError, match="^WrongArgumentCount$"):
            call()


def test_docstrings_and_signatures():
    rt = wuna.Runtime
    assert rt.u8.__text_signature__ == "($self, data, i, /)"
    assert rt.u8.__doc__ == ("The unsigned byte at offset i of data (a wuna.Bytes, bytes, or any "
                             "buffer); IndexError past the end.")
    assert rt.i8.__doc__ == "The signed byte at offset i of data; IndexError past the end."
    assert rt.u16be.__doc__ == ("The unsigned 16-bit big-endian int at offset i of data; "
                                "IndexError past the end.")
    assert rt.i64le.__doc__ == ("The signed 64-bit little-endian int at offset i of data; "
                                "IndexError past the end.")
    assert rt.wrapping_mul.__text_signature__ == "($self, a, b, /)"
    assert rt.wrapping_ushr.__text_signature__ == "($self, a, n, /)"
    assert rt.wrapping_shr.__doc__ == ("a >> n in 64 bits, the sign kept (arithmetic shift); n "
                                       "modulo 64.")


# ---- through a program's run --------------------------------------------------------------

PROGRAM_GRAMMAR = r"""
Program = stmts:Stmt*
@lift Stmt = Read | Wrap
Read = 'read' op:Name at:Int ';'
Wrap = 'wrap' op:Name a:Arg b:Arg ';'
@lift Arg = Int | Yes
Yes = 'yes' -> True
@token Int = '-'? [0-9]+ -> int
@token Name = [a-z0-9]+ -> str
@skip Space = [ \t\n]+
"""


@pytest.fixture(scope="module")
def language():
    import pargo
    language = wuna.Language(pargo.compile(PROGRAM_GRAMMAR))
    out = []

    @language.exec("Read")
    def read(node, rt):
        out.append(getattr(rt, node.op)(DATA, node.at))

    @language.exec("Wrap")
    def wrapping(node, rt):
        out.append(getattr(rt, "wrapping_" + node.op)(node.a, node.b))

    return language, out


def test_a_programs_rt_reads_and_wraps(language):
    language, out = language
    out.clear()
    language.load("read u8 3; read i8 3; read u64be 14; read i32le 20;\n"
                  "wrap add 9223372036854775807 1; wrap ushr -1 60; wrap shl 1 65;").run()
    assert out == [255, -1, int.from_bytes(DATA[14:22], "big"),
                            int.from_bytes(DATA[20:24], "little", signed=True),
                            -2**63, 15, 2]


@pytest.mark.parametrize("source,message", [
    ("read u16le 23;", "rt.u16le(): offset 23 out of range"),
    ("read i8 -1;", "rt.i8(): offset -1 out of range"),
    ("wrap mul 1 yes;", "rt.wrapping_mul() takes ints of 64 bits"),
])
def test_a_programs_rt_errors_are_runtime_errors(language, source, message):
    with pytest.raises(wuna.Error) as caught:
        language[0].load(source).run()
    assert message in str(caught.value)
