"""ctypes mirrors of the native records the tests read or hand-make in place: pargo's tree,
node, error and grammar records (pargo/tree_layout.h), its LLVM capsule record
(pargo/llvm_capsule.h), nomos's symbol and analysis records (nomos/analysis_layout.h), the
runtime's block headers (wuna/runtime/value_layout.h), and the record of wuna's one
introspection entry (wuna/runtime/introspect.h).

Each mirror's size and field offsets are checked against the header's numbers when this
module is imported, so a mirror that drifts from its header fails every test that imports
it, instead of reading the wrong bytes."""
import ctypes
import importlib.util

TREE_CAPSULE = b"pargo.tree.v1"
TREE_ABI = 1
GRAMMAR_CAPSULE = b"pargo.grammar.v1"
GRAMMAR_ABI = 1
ANALYSIS_CAPSULE = b"nomos.analysis.v2"
ANALYSIS_ABI = 2
LLVM_CAPSULE = b"pargo.llvm.v1"
LLVM_ABI = 2
NONE = 0xFFFFFFFF  # no node, no symbol

# A node's word: bits 12-23 the kind, 24-31 the label byte.
KIND_SHIFT, KIND_MASK, LABEL_SHIFT = 12, 0xFFF, 24
MAX_KINDS, MAX_LABELS = 4095, 255

# Bits of a symbol record's flags.
BUILTIN_FLAG, GLOBAL_FLAG, ASSIGNED_FLAG = 1, 2, 4


def make_word(kind, label=0):
    return (kind << KIND_SHIFT) | (label << LABEL_SHIFT)


def kind_of(word):
    return (word >> KIND_SHIFT) & KIND_MASK


def label_of(word):
    return (word >> LABEL_SHIFT) & 0xFF


_u32, _u64, _ptr = ctypes.c_uint32, ctypes.c_uint64, ctypes.c_void_p


class Node(ctypes.Structure):
    _fields_ = [("start", _u32), ("end", _u32), ("descendants", _u32), ("word", _u32)]


class ErrorRecord(ctypes.Structure):
    _fields_ = [("offset", _u32), ("line", _u32), ("column", _u32), ("message", ctypes.c_char * 256)]


class TreeRecord(ctypes.Structure):
    _fields_ = [("abi", _u32), ("nodeCount", _u32), ("nodes", _ptr), ("text", ctypes.c_char_p),
                ("textLength", _u64), ("errorCount", _u64), ("errors", _ptr)]


class GrammarRecord(ctypes.Structure):
    _fields_ = [("abi", _u32), ("pad", _u32), ("grammar", _ptr), ("parse", _ptr),
                ("reserved", _ptr), ("free", _ptr)]


class SymbolRecord(ctypes.Structure):
    _fields_ = [("name", _ptr), ("nameLength", _u64), ("kind", _ptr), ("kindLength", _u64),
                ("index", _u32), ("reserved", ctypes.c_uint8 * 52), ("declaringNode", _u32),
                ("reserved2", _u32 * 2), ("scopeNode", _u32), ("reserved3", _u32),
                ("firstReference", _u32), ("referenceCount", _u32), ("flags", _u32)]


class AnalysisRecord(ctypes.Structure):
    _fields_ = [("abi", _u32), ("symbolCount", _u32), ("symbols", _ptr), ("referenceTotal", _u64),
                ("references", _ptr), ("nodeCount", _u32), ("reserved", _u32),
                ("nodeSymbols", _ptr)]


# The LLVM capsule record's lookup: the address of the LLVM C function of a name, or null.
LLVM_LOOKUP = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_char_p)


class LlvmCapsule(ctypes.Structure):
    _fields_ = [("abi", _u32), ("pad", _u32), ("version", ctypes.c_char_p), ("lookup", LLVM_LOOKUP),
                ("unused24", _ptr), ("symbolAddress", _ptr), ("defineSymbols", _ptr), ("release", _ptr),
                ("emitObject", _ptr), ("freeBytes", _ptr), ("unused72", _ptr), ("unused80", _ptr),
                ("loadObject", _ptr)]


# The runtime's blocks: the header every block starts with, and the two blocks the tests read.
class Header(ctypes.Structure):
    _fields_ = [("count", _u64), ("kind", _u32), ("flags", _u32)]


class TupleBlock(ctypes.Structure):  # the items follow, at 24
    _fields_ = [("h", Header), ("length", _u64)]


class StrBlock(ctypes.Structure):  # the bytes follow, at 48
    _fields_ = [("h", Header), ("length", _u64), ("chars", _u64), ("hash", _u64), ("index", _ptr)]


IMMORTAL = 0x4000000000000000
TAG_STR, TAG_TUPLE = 4, 6

# What wn_introspect gives: where start-up's process-wide state lives in the wuna module.
INTROSPECTION_VERSION = 2
LIBM_COUNT, ASCII_CHARS = 21, 128


class Introspection(ctypes.Structure):
    _fields_ = [("version", _u32), ("reserved", _u32),
                ("interpreterMinor", ctypes.POINTER(ctypes.c_int32)),
                ("sipRounds", ctypes.POINTER(ctypes.c_uint8)),
                ("hashKey", ctypes.POINTER(ctypes.c_uint8 * 16)),
                ("noneHash", ctypes.POINTER(ctypes.c_int64)),
                ("libmReady", ctypes.POINTER(ctypes.c_uint8)),
                ("libmTable", ctypes.POINTER(_ptr * LIBM_COUNT)),
                ("emptyTuple", ctypes.POINTER(_ptr)),
                ("asciiChars", ctypes.POINTER(_ptr * ASCII_CHARS)),
                ("poolCurrent", ctypes.CFUNCTYPE(_ptr)),
                ("liveBlocks", ctypes.CFUNCTYPE(ctypes.c_int64)),
                # Called with the interpreter lock held; a -1 result raises its exception.
                ("testHold", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int)),
                ("testShow", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object)),
                ("testDrop", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int))]


def _check(record, size, offsets):
    assert ctypes.sizeof(record) == size, (record.__name__, ctypes.sizeof(record), size)
    for name, offset in offsets.items():
        assert getattr(record, name).offset == offset, (record.__name__, name, offset)


_check(Node, 16, {"start": 0, "end": 4, "descendants": 8, "word": 12})
_check(ErrorRecord, 268, {"offset": 0, "line": 4, "column": 8, "message": 12})
_check(TreeRecord, 48, {"abi": 0, "nodeCount": 4, "nodes": 8, "text": 16, "textLength": 24,
                        "errorCount": 32, "errors": 40})
_check(GrammarRecord, 40, {"abi": 0, "grammar": 8, "parse": 16, "reserved": 24, "free": 32})
_check(SymbolRecord, 120, {"name": 0, "nameLength": 8, "kind": 16, "kindLength": 24, "index": 32,
                           "declaringNode": 88, "scopeNode": 100, "firstReference": 108,
                           "referenceCount": 112, "flags": 116})
_check(AnalysisRecord, 48, {"abi": 0, "symbolCount": 4, "symbols": 8, "referenceTotal": 16,
                            "references": 24, "nodeCount": 32, "nodeSymbols": 40})
_check(LlvmCapsule, 96, {"abi": 0, "version": 8, "lookup": 16, "unused24": 24, "symbolAddress": 32,
                        "defineSymbols": 40, "release": 48, "emitObject": 56, "freeBytes": 64,
                        "unused72": 72, "unused80": 80, "loadObject": 88})
_check(Header, 16, {"count": 0, "kind": 8, "flags": 12})
_check(TupleBlock, 24, {"length": 16})
_check(StrBlock, 48, {"length": 16, "chars": 24, "hash": 32, "index": 40})
_check(Introspection, 112, {"version": 0, "reserved": 4, "interpreterMinor": 8, "sipRounds": 16,
                           "hashKey": 24, "noneHash": 32, "libmReady": 40, "libmTable": 48,
                           "emptyTuple": 56, "asciiChars": 64, "poolCurrent": 72,
                           "liveBlocks": 80, "testHold": 88, "testShow": 96, "testDrop": 104})
assert kind_of(make_word(MAX_KINDS, MAX_LABELS)) == MAX_KINDS
assert label_of(make_word(MAX_KINDS, MAX_LABELS)) == MAX_LABELS

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def record_of(capsule, name, record):
    """The record of the given mirror behind a capsule of that name (PyCapsule_GetPointer: a
    ValueError for another name)."""
    return record.from_address(_get_pointer(capsule, name))


def tree_nodes(tree):
    """The node array of a TreeRecord."""
    return (Node * tree.nodeCount).from_address(tree.nodes) if tree.nodeCount else []


def tree_errors(tree):
    """The error records of a TreeRecord."""
    return (ErrorRecord * tree.errorCount).from_address(tree.errors) if tree.errorCount else []


def introspection():
    """wuna's introspection record. The library is loaded by path, without importing the
    module, so this works before start-up has run too (what the record points at is then still
    zero)."""
    lib = ctypes.CDLL(importlib.util.find_spec("wuna").origin)
    lib.wn_introspect.restype = ctypes.POINTER(Introspection)
    lib.wn_introspect.argtypes = []
    record = lib.wn_introspect().contents
    assert record.version == INTROSPECTION_VERSION, record.version
    return record
