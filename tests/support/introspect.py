"""The process-wide state wuna's start-up prepares, read through the one C function the module
exports for it (wn_introspect). The record below mirrors its C layout; everything else of the
module is hidden from ctypes."""
import ctypes
import importlib.util

LIBM_COUNT = 21
ASCII_CHARS = 128
VERSION = 1


class Introspection(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
        ("interpreter_minor", ctypes.POINTER(ctypes.c_int32)),
        ("sip_rounds", ctypes.POINTER(ctypes.c_uint8)),
        ("hash_key", ctypes.POINTER(ctypes.c_uint8 * 16)),
        ("none_hash", ctypes.POINTER(ctypes.c_int64)),
        ("libm_ready", ctypes.POINTER(ctypes.c_uint8)),
        ("libm_table", ctypes.POINTER(ctypes.c_void_p * LIBM_COUNT)),
        ("empty_tuple", ctypes.POINTER(ctypes.c_void_p)),
        ("ascii_chars", ctypes.POINTER(ctypes.c_void_p * ASCII_CHARS)),
        ("pool_current", ctypes.CFUNCTYPE(ctypes.c_void_p)),
        ("live_blocks", ctypes.CFUNCTYPE(ctypes.c_int64)),
    ]


assert ctypes.sizeof(Introspection) == 88


def introspection():
    """wuna's record. The library is loaded by path, without importing the module, so this
    also works before start-up has run (the record's values are then still zero)."""
    lib = ctypes.CDLL(importlib.util.find_spec("wuna").origin)
    lib.wn_introspect.restype = ctypes.POINTER(Introspection)
    lib.wn_introspect.argtypes = []
    record = lib.wn_introspect().contents
    assert record.version == VERSION, record.version
    return record
