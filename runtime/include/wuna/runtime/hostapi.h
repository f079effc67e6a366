// What the runtime needs of the module that embeds it: the checked-int type, the class its
// overflow raises, the trees of rt.parse, the I64 type for the compiler, the CompiledRuntime
// type, the jump classes, and the module's types that type() of a native value names.
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
#include <cstdint>

#include "wuna/runtime/helpers/parsed.h"
#include "wuna/runtime/value_layout.h"

typedef struct _object PyObject;
typedef struct _typeobject PyTypeObject;

namespace wuna::runtime {

struct HostApi {
    // An I64 of an exact int that fits 64 bits; the int is borrowed. New reference, or null
    // with the Python exception. Empty: the int itself (new reference).
    PyObject* (*newI64)(PyObject* exactInt) = nullptr;
    // The class raised when a checked result leaves 64 bits. Empty: OverflowError.
    PyObject* integerOverflow = nullptr;
    // rt.parse's tree: checks that parser is a pargo parser (its grammar read once and
    // kept), parses text from start (null or None: the first rule), with recovery when asked,
    // and makes the root wuna.Node of a new State owning the result. The root (new
    // reference) with *result the parse result (new reference, for its errors); or null
    // with the Python exception and *result null. Needs the interpreter lock.
    // Empty: the runtime raises RuntimeError "rt.parse needs the wuna module".
    PyObject* (*parseRoot)(PyObject* parser, PyObject* text, PyObject* start, bool recover,
                           PyObject** result) = nullptr;
    // The I64 type itself, for the compiler's shapes of values. Empty: no object is an I64,
    // and the compiler's I64 constants come back as plain ints.
    PyTypeObject* i64Type = nullptr;
    // wuna.CompiledRuntime, made from bridge::compiledRuntimeSpec. Empty: no rt object can
    // be made (RuntimeError).
    PyTypeObject* compiledRuntimeType = nullptr;
    // The jumps of the interpreted language: rt.Return, rt.Break, rt.Continue, rt.TailCall.
    // Empty: none is ever pending (every exception is a failure).
    PyObject* returnClass = nullptr;
    PyObject* breakClass = nullptr;
    PyObject* continueClass = nullptr;
    PyObject* tailCallClass = nullptr;
    // The module's types that type() of a native value answers with besides those above:
    // wuna.Function, and wuna.Node for node indexes and counted nodes. Empty: the type of
    // None.
    PyTypeObject* functionType = nullptr;
    PyTypeObject* nodeType = nullptr;
    // Compiled code's rt.parse: the native parse of data (length bytes of UTF-8, or of the
    // bytes given) with the parser's registered grammar, from the NUL-terminated rule start
    // (null: the grammar's own), recovering when asked. text is the str or bytes value data
    // belongs to: a parsed tree takes one reference to it (the nodes point into it). Fills
    // *out as parsed::Outcome says; runs no Python, needs no interpreter lock. Empty: every
    // parse answers ParseStatus::notPrepared.
    parsed::ParseStatus (*parseNative)(PyObject* parser, value::Value text, const char* data,
                                       uint64_t length, const char* start, bool recover,
                                       parsed::Outcome* out) = nullptr;
};

// The table; assigned whole by the module's start-up, read only afterwards. Cannot fail.
extern HostApi hostApi;

}  // namespace wuna::runtime
