// wuna.Frame: the variables of one run of a function, a captured block, or the program, in
// the reference mode.
//
// Frames chain from the innermost outwards through their parents; a variable lives in the
// first frame of the chain whose scope is its symbol's scope (ptree::symbolScope). A frame
// holds its parent, its name (the function's, or "<program>"), its variables by symbol index,
// and for a method call its receiver and for a function that keeps extra arguments their
// tuple. Functions hold the frame they were made in, and the program's State holds its global
// frame after a run, so frames take part in reference cycles: the collector's clear empties
// the variables (keeping their storage) and drops parent, receiver and varargs.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/support/u32map.h"

namespace wuna::host {

struct FrameObject {
    PyObject_HEAD int32_t scope;  // -1 the program; a function's definition node; a block node
    int32_t callSite;             // for a call frame the node the call was made at, else -1
    PyObject* parent;             // null: none
    PyObject* name;               // a str
    U32Map variables;             // symbol index -> value
    PyObject* receiver;           // null: none
    PyObject* varargs;            // a tuple, or null
};

extern PyType_Spec frameSpec;

// A new frame with no variables, no receiver and no varargs; parent may be null, name gets a
// reference. Null with the exception.
[[nodiscard]] PyObject* newFrame(int32_t scope, int32_t callSite, PyObject* parent, PyObject* name);

}  // namespace wuna::host
