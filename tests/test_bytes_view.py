"""wuna.Bytes: a read-only view of memory Python owns, shared without copying, with the
buffer protocol, hashing and comparison of the equal bytes."""
import ctypes
import mmap

import pytest

import wuna


DATA = b"abcdef"


@pytest.mark.parametrize("make", [bytes, bytearray, lambda d: memoryview(bytes(d))],
                         ids=["bytes", "bytearray", "memoryview"])
def test_a_view_shows_its_data(make):
    view = wuna.Bytes(make(DATA))
    assert (len(view), bytes(view), view[0], view[-1], list(view)) == (6, DATA, 97, 102,
                                                                        list(DATA))
    assert view == DATA and DATA == view and view == bytearray(DATA)
    assert view != b"abc" and view != "abcdef" and not (view == "abcdef")


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "Bytes(data) takes one argument (bytes, bytearray, memoryview, mmap...)"),
    ((b"a", b"b"), {}, "Bytes(data) takes one argument (bytes, bytearray, memoryview, mmap...)"),
    ((b"a",), {"x": 1}, "Bytes() takes no keyword arguments"),
    ((5,), {}, "a bytes-like object is required, not 'int'"),
])
def test_making_a_view_refuses_what_is_not_one_buffer(args, kwargs, text):
    with pytest.raises(TypeError) as caught:
        wuna.Bytes(*args, **kwargs)
    assert str(caught.value) == text


def test_a_view_of_a_view_is_the_same_view():
    view = wuna.Bytes(DATA)
    assert wuna.Bytes(view) is view


def test_an_empty_view_has_data():
    view = wuna.Bytes(b"")
    assert len(view) == 0 and bytes(view) == b"" and memoryview(view).tobytes() == b""


def test_slices_with_step_one_share_memory_and_others_copy():
    data = bytearray(DATA)
    view = wuna.Bytes(data)
    shared, copied = view[1:4], view[::2]
    data[1] = ord("X")
    assert bytes(shared) == b"Xcd" and bytes(copied) == b"ace"
    assert bytes(shared[1:]) == b"cd"          # a slice of a slice still shares
    data[2] = ord("Y")
    assert bytes(shared[1:]) == b"Yd"
    assert bytes(view[4:1]) == b"" and view[-2:] == b"ef"


@pytest.mark.parametrize("index", [6, -7, 2**70])
def test_an_index_outside_the_view_is_refused(index):
    with pytest.raises(IndexError):
        wuna.Bytes(DATA)[index]


def test_index_out_of_range_text():
    with pytest.raises(IndexError, match="^index out of range$"):
        wuna.Bytes(DATA)[10]


@pytest.mark.parametrize("data, text", [
    (b"abc", "wuna.Bytes(b'abc')"),
    (bytes(range(40)), "wuna.Bytes(" + repr(bytes(range(32))) + "...)"),
    (b"x" * 32, "wuna.Bytes(" + repr(b"x" * 32) + ")"),
])
def test_repr_shows_at_most_32_bytes(data, text):
    assert repr(wuna.Bytes(data)) == text


def test_the_exported_buffer_is_read_only():
    view = wuna.Bytes(bytearray(DATA))
    exported = memoryview(view)
    assert exported.readonly and exported.format == "B" and exported.shape == (6,)
    assert exported.strides == (1,) and exported.tobytes() == DATA
    with pytest.raises(TypeError):
        exported[0] = 1


def test_a_writable_buffer_request_is_refused_and_names_no_object():
    get_buffer = ctypes.pythonapi.PyObject_GetBuffer
    get_buffer.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    record = (ctypes.c_void_p * 10)()      # a Py_buffer: buf, obj, ... (80 bytes)
    record[1] = 1
    writable = 1                           # PyBUF_WRITABLE
    with pytest.raises(BufferError, match="^wuna.Bytes is read-only$"):
        get_buffer(wuna.Bytes(DATA), record, writable)
    assert record[1] is None


def test_a_view_of_immutable_bytes_hashes_as_those_bytes():
    assert hash(wuna.Bytes(DATA)) == hash(DATA)
    assert hash(wuna.Bytes(memoryview(DATA))[1:3]) == hash(DATA[1:3])
    assert {wuna.Bytes(DATA): 1}[DATA] == 1


@pytest.mark.parametrize("make", [lambda: bytearray(DATA),
                                  lambda: memoryview(bytearray(DATA))],
                         ids=["bytearray", "memoryview of bytearray"])
def test_a_view_of_writable_memory_has_no_hash(make):
    view = wuna.Bytes(make())
    with pytest.raises(ValueError):
        hash(view)
    with pytest.raises(ValueError):
        hash(view[1:3])
    assert hash(view[::2]) == hash(DATA[::2])   # a stepped slice is a copy


def test_an_mmap_is_data():
    mem = mmap.mmap(-1, 6)
    mem.write(DATA)
    view = wuna.Bytes(mem)
    assert view == mem and bytes(view) == DATA
    with pytest.raises(ValueError):
        hash(view)
    del view
    mem.close()


def test_ordering_is_not_supported():
    with pytest.raises(TypeError):
        wuna.Bytes(DATA) < DATA


def test_the_view_keeps_its_buffer_and_gives_it_back():
    data = bytearray(DATA)
    view = wuna.Bytes(data)
    with pytest.raises(BufferError):
        data.append(0)     # exported while the view lives
    del view
    data.append(0)
