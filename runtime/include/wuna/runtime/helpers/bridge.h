// The bridge between native values and Python: the checks applied to what crosses.
//
// checkedIntResult is the one rule for exact ints that reach a program's semantics: a plain
// int that fits 64 bits becomes an I64, one that does not raises IntegerOverflow. I64's own
// arithmetic applies it to every result, and conversion of native ints to Python uses it.
// I64 and IntegerOverflow are the module's, reached through runtime::hostApi; a runtime
// linked without the module keeps plain ints and raises OverflowError instead.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace wuna::bridge {

// Given a new reference to a result (or null when the operation raised): an exact int
// becomes a new I64, or IntegerOverflow "integer overflow" when it is outside 64 bits; any
// other result (float, bool, NotImplemented, anything else) is returned as it is. Consumes
// the reference it is given. New reference, or null with the Python exception.
[[nodiscard]] PyObject* checkedIntResult(PyObject* result);

}  // namespace wuna::bridge
