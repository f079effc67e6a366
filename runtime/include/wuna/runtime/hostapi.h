// What the runtime needs of the module that embeds it: the checked-int type, the class its
// overflow raises, the Bytes type, the trees of rt.parse, and the types type() names.
//
// The runtime sits beneath the module and must link without it (the wuna_runtime_alone check
// of the build links every runtime object with libpython and nothing else), so it includes no
// header of the module and names none of its symbols; what it needs comes through this table.
// The module fills it once at start-up, on the importing thread under the interpreter lock,
// before any program runs; every thread reads it afterwards without locks. A runtime linked
// without the module (the link check, standalone programs) finds the table empty, and each
// member says what its empty value does, so that the runtime behaves as if the module's
// refinements were absent instead of crashing.
#pragma once

typedef struct _object PyObject;
typedef struct _typeobject PyTypeObject;

namespace wuna::runtime {

struct HostApi {
    // An I64 of an exact int that fits 64 bits; the int is borrowed. New reference, or null
    // with the Python exception. Empty: the int itself (new reference).
    PyObject* (*newI64)(PyObject* exactInt) = nullptr;
    // The class raised when a checked result leaves 64 bits. Empty: OverflowError.
    PyObject* integerOverflow = nullptr;
    // Accepted as data besides bytes, bytearray, memoryview and mmap. Empty: none.
    PyTypeObject* bytesType = nullptr;
    // rt.parse's tree: checks that parser is a pargo parser (its grammar read once and
    // kept), parses text from start (null or None: the first rule), with recovery when asked,
    // and makes the root wuna.Node of a new State owning the result. The root (new
    // reference) with *result the parse result (new reference, for its errors); or null
    // with the Python exception and *result null. Needs the interpreter lock.
    // Empty: the runtime raises RuntimeError "rt.parse needs the wuna module".
    PyObject* (*parseRoot)(PyObject* parser, PyObject* text, PyObject* start, bool recover,
                           PyObject** result) = nullptr;
    // The module's types that type() of a native value answers with: I64 for a checked int,
    // wuna.Function, wuna.Node for node indexes and counted nodes, wuna.Record for a record
    // whose class has no Python class, wuna.CompiledRuntime. Empty: int for a checked int,
    // the type of None for the others.
    PyTypeObject* i64Type = nullptr;
    PyTypeObject* functionType = nullptr;
    PyTypeObject* nodeType = nullptr;
    PyTypeObject* recordType = nullptr;
    PyTypeObject* compiledRuntimeType = nullptr;
};

// The table; assigned whole by the module's start-up, read only afterwards. Cannot fail.
extern HostApi hostApi;

}  // namespace wuna::runtime
