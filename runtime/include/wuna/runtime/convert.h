// Conversion between native values and Python objects, and the Python-side tables it needs.
//
// Values cross into Python whenever compiled code runs a semantic as Python, calls a host
// function or returns a result; Python objects cross back as results and arguments.
// toPython makes a new Python object of a value: scalars converted, tuples and sets copied,
// lists, dicts and records shown through shared proxies, exceptions as instances of their
// kinds' classes. convert makes a value of a Python object: scalars and immutable data copied
// natively, a list or dict copied only when the caller holds the only reference (the deep
// flag), so that a mutation Python can still see is never lost; anything else stays a
// Python object (tag 10).
//
// Nested tuples, sets and exceptions are converted by recursion guarded by the interpreter's
// own recursion check: past its limit the conversion fails with Python's RecursionError
// ("maximum recursion depth exceeded while ..."), never with a native stack overflow.
//
// Python forms that belong to later layers (the proxy types, wuna.Function, CompiledRuntime,
// wuna.Bytes, wuna.Node) are reached through convert::hooks, which those layers fill at
// start-up; each member says what its empty value does.
//
// Everything here runs with the interpreter lock held, taken through the thread's GIL record.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::convert {

struct Hooks {
    // The proxy of a list, dict or record block (proxies.make). New reference, or null with
    // the exception. Empty: RuntimeError, as no proxy type exists yet.
    PyObject* (*makeProxy)(value::Value v, const helpers::ConversionContext* cx) = nullptr;
    // When o is a wuna.List, wuna.Dict or wuna.Record (exact types): its block as a value
    // with one reference for the caller, true. False when o is none of them. Empty: false.
    bool (*unwrapProxy)(PyObject* o, value::Value* out) = nullptr;
    // A new wuna.Function of a function block (one count taken). New reference, or null with
    // the exception. Empty: TypeError.
    PyObject* (*function)(value::Function* f, const helpers::ConversionContext* cx) = nullptr;
    // A new wuna.CompiledRuntime of the current run for a tag-12 value. New reference, or null
    // with the exception. Empty: RuntimeError "an rt outside the run it belongs to".
    PyObject* (*runtime)(value::Value v) = nullptr;
    // A wuna.Bytes over a view's memory. New reference, or null with the exception. Empty:
    // a bytes copy.
    PyObject* (*bytesView)(value::Bytes* b) = nullptr;
    // When o is exactly a wuna.Bytes: 1 with *out a runtime bytes view of its memory owned
    // by o (one reference), -1 with the exception; 0 when o is none. Empty: 0.
    int (*bytesValue)(PyObject* o, value::Value* out) = nullptr;
    // The Python node of a counted node block. New reference, or null with the exception.
    // Empty: TypeError.
    PyObject* (*treeNode)(value::Node* n) = nullptr;
    // The module's own objects that convert natively (rule 12: a CompiledRuntime of the
    // current run, a wuna.Node of the running program's tree, a wuna.Function holding a
    // block, a wuna.Bytes): 1 with *out filled (one reference), 0 when o is not one of them
    // (it stays a Python object), -1 with the exception. Empty: 0.
    int (*hostValue)(PyObject* o, value::Value* out) = nullptr;
    // The Python callable of a function a semantic made (one count taken). New reference, or
    // null with the exception. Empty: TypeError.
    PyObject* (*closure)(value::Closure* f, const helpers::ConversionContext* cx) = nullptr;
};
extern Hooks hooks;

// A value as a new Python object. New reference, or null with the exception.
PyObject* toPython(value::Value v, const helpers::ConversionContext* cx);
// A Python object as a value (one reference in *out). 0, or -1 with the exception.
int convert(PyObject* o, bool deep, value::Value* out);

// The context used where no run supplies one: no owner, no error callback; nodes go to the
// current run's node callback, or raise TypeError outside a run. Cannot fail.
const helpers::ConversionContext* defaultContext();

// A Python int of v. New reference, or null with the exception.
PyObject* bigObject(value::i128 v);
// The 128-bit value of an exact or derived int: 1 when it fits, 0 when it does not, -1 with
// the exception.
int intBits(PyObject* o, value::i128* out);

// Its UTF-8 (owned by o), or null with TypeError "<name> must be a str" or the encoding error.
const char* strArg(PyObject* o, const char* name, Py_ssize_t* length);

// Runs source as a module ("<wuna>") with the builtins; the dict of its globals. New
// reference, or null with the exception.
PyObject* runScript(const char* source);

enum class Described : uint8_t { Record, NotRecord, Failed };
// The native description of a class whose instances compiled code keeps as records (kept for
// the process in *out), NotRecord, or Failed with the exception (out of memory or Python's).
Described describeClass(PyObject* cls, value::RecordClass** out);

}  // namespace wuna::convert
