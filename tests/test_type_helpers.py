"""The type questions compiled code asks (wn_type, wn_is_type, wn_huge_int), called in the
imported module through ctypes, so that the module's own types are the answers: a checked
int is wuna.I64, a function wuna.Function, a node index and a counted node wuna.Node, an rt
wuna.CompiledRuntime, a mutable bytes block wuna.Bytes."""
import ctypes
import importlib.util

import pytest

import wuna

TAG_NONE, TAG_BOOL, TAG_INT, TAG_FLOAT, TAG_STR = 0, 1, 2, 3, 4
TAG_FUNCTION, TAG_PY, TAG_NODE_INDEX, TAG_RUNTIME = 9, 10, 11, 12
TAG_BIG, TAG_BYTES, TAG_CLOSURE, TAG_PINT, TAG_NODE = 13, 14, 15, 18, 19
FLAG_IMMUTABLE = 1 << 20
CODE_INT, CODE_BOOL, CODE_FUNCTION = 0, 3, 8


class Value(ctypes.Structure):
    _fields_ = [("tag", ctypes.c_uint64), ("payload", ctypes.c_uint64)]


class BytesBlock(ctypes.Structure):
    # The header (count, kind, flags) and the fields of a bytes block (value_layout.h).
    _fields_ = [("count", ctypes.c_uint64), ("kind", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("data", ctypes.c_void_p), ("length", ctypes.c_uint64), ("owner", ctypes.c_void_p)]


@pytest.fixture(scope="module")
def lib():
    # PyDLL keeps the interpreter lock across the call, as a helper called from Python needs.
    lib = ctypes.PyDLL(importlib.util.find_spec("wuna").origin)
    lib.wn_type.argtypes = [ctypes.c_int64, ctypes.c_int64, ctypes.POINTER(Value)]
    lib.wn_type.restype = None
    lib.wn_is_type.argtypes = [ctypes.c_int64, ctypes.c_int64, ctypes.c_int32]
    lib.wn_is_type.restype = ctypes.c_bool
    lib.wn_huge_int.argtypes = [ctypes.c_int64, ctypes.c_int64]
    lib.wn_huge_int.restype = ctypes.c_bool
    return lib


def type_of(lib, tag, payload=0):
    out = Value()
    lib.wn_type(tag, payload, ctypes.byref(out))
    assert out.tag == TAG_PY
    obj = ctypes.cast(out.payload, ctypes.py_object).value
    ctypes.pythonapi.Py_DecRef(ctypes.py_object(obj))  # the reference wn_type gave
    return obj


@pytest.mark.parametrize("tag, expected", [
    (TAG_NONE, type(None)), (TAG_BOOL, bool), (TAG_INT, wuna.I64), (TAG_PINT, int),
    (TAG_FLOAT, float), (TAG_FUNCTION, wuna.Function), (TAG_NODE_INDEX, wuna.Node),
    (TAG_NODE, wuna.Node), (TAG_RUNTIME, wuna.CompiledRuntime),
    (TAG_RUNTIME | (5 << 32), wuna.CompiledRuntime), (TAG_CLOSURE, type(lambda: 0)),
    (0xFFFF0000, type(None)),
])
def test_type_of_a_value_is_the_modules_type(lib, tag, expected):
    assert type_of(lib, tag) is expected


@pytest.mark.parametrize("flags, expected", [(FLAG_IMMUTABLE, bytes), (0, wuna.Bytes)])
def test_type_of_bytes_tells_bytes_from_wuna_bytes(lib, flags, expected):
    block = BytesBlock(count=1, kind=TAG_BYTES, flags=flags)
    assert type_of(lib, TAG_BYTES, ctypes.addressof(block)) is expected


def test_type_of_a_python_object_is_its_type(lib):
    obj = wuna.I64(3)
    assert type_of(lib, TAG_PY, id(obj)) is wuna.I64


@pytest.mark.parametrize("obj, code, expected", [
    (True, CODE_INT, True), (True, CODE_BOOL, True), (5, CODE_BOOL, False),
    (wuna.I64(5), CODE_INT, True), (wuna.I64(5), CODE_BOOL, False),
    (len, CODE_FUNCTION, False), (object(), CODE_INT, False),
])
def test_is_type_of_python_objects(lib, obj, code, expected):
    assert lib.wn_is_type(TAG_PY, id(obj), code) is expected


@pytest.mark.parametrize("obj, expected", [
    (2**200, True), (-2**100, True), (True, False), (wuna.I64(2**62), False), (7, True),
])
def test_huge_int_is_an_exact_python_int(lib, obj, expected):
    # Ints that fit 128 bits arrive natively; a Python object of exactly int stands for a
    # larger one, whatever its value.
    assert lib.wn_huge_int(TAG_PY, id(obj)) is expected


def test_huge_int_of_native_ints(lib):
    assert lib.wn_huge_int(TAG_BIG, 0) is True
    assert lib.wn_huge_int(TAG_INT, -1) is False
    assert lib.wn_huge_int(TAG_PINT, 2**62) is False
