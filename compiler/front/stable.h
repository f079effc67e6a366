// Python objects the compiler may take as they are while compiling: the function and method
// types, the types whose objects cannot change while a program runs, and identity tests for
// the builtins and library functions that have a compiled form.
//
// The types come from a small stored script run once per process, on first use, and kept (a
// failed run is tried again by the next caller). An object of a stable type is one whose truth
// and attributes the code generators may read while compiling. The identity tests compare with
// the very object a module holds, not with a name: a module function called `len` is not len.
// All of it needs the interpreter lock.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/status.h"

namespace wuna::front {

struct StableTypes {
    PyObject* function;  // types.FunctionType
    PyObject* method;    // types.MethodType
    PyObject* stable;    // a tuple of types whose objects do not change while a program runs
};

// The three types, borrowed from the process-wide record. ok with *out filled, or pythonError
// (the script failed or lacks a name; the record stays unloaded, so the next call tries again).
[[nodiscard]] Status stableTypes(StableTypes* out);

// The function type, borrowed; or null with the Python error cleared.
PyObject* functionType();

// Whether o is exactly a Python function (not a subclass, not a builtin). 1, 0, or -1 with the
// Python error (the stable types could not be had).
int isPlainFunction(PyObject* o);

// Whether o is an instance of one of the stable types. 1, 0, or -1 with the Python error.
int isStable(PyObject* o);

// Whether o is builtins.<name> itself. Never fails: an import or attribute error is cleared
// and gives false.
bool isBuiltin(PyObject* o, const char* name);

// Whether o is <module>.<attribute> itself. Never fails, as isBuiltin.
bool isModuleAttr(PyObject* o, const char* module, const char* attribute);

// Whether o is int.from_bytes: the attribute itself, or a bound class method of int named
// from_bytes (reading the attribute makes a new object each time). Never fails.
bool isIntFromBytes(PyObject* o);

}  // namespace wuna::front
