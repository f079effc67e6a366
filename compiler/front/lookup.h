// Where a reading's global names lead: the module namespace of the function read, and the
// value a global name has there now. The analyses that follow calls while compiling (makes-
// jumps, the inline cost, the call planner) look names up through these, so a nested function
// finds the globals of the function it was read with.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compiler/front/ir.h"
#include "wuna/runtime/status.h"

namespace wuna::front {

// The outermost reading around f (f itself when it is not nested). Cannot fail.
const FunctionIR* outermost(const FunctionIR* f);

// __globals__ of the Python function f was read from. New reference, or null with the Python
// error (no such attribute: a callable object read as a function).
PyObject* globalsOf(const FunctionIR* f);

// The value of name in a namespace dict: ok with *out a new reference, or null when the name is
// not bound there; pythonError when the name is not UTF-8 or the lookup raised.
[[nodiscard]] Status globalValue(PyObject* globals, Text name, PyObject** out);

// The value of name among the builtins: as globalValue.
[[nodiscard]] Status builtinValue(Text name, PyObject** out);

}  // namespace wuna::front
