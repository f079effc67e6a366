// The front end's stored script: source_of(f), the source of a function (frozen modules
// included), and folded_order(func, elts), the insertion order of a folded set display. Run
// once per process into a module dict of its own, kept for the life of the process; a failed
// run is tried again by the next caller.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace wuna::front {

// The script's globals: borrowed, kept for the process; null with a Python exception when the
// script can't be run.
PyObject* storedScript();

}  // namespace wuna::front
