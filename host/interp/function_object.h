// wuna.Function: a function of the program, as values of the reference mode and as what
// compiled code's function values look like from Python.
//
// A function is its definition node in a program (the program's State, one reference, and
// the node's index), the frame current when it was made (its closure), its name, and, for a
// function of compiled code, the runtime function value it stands for (one count of it).
// Functions, their frames and the State form reference cycles, so the type is tracked by the
// collector; its clear releases the runtime value, the frame and the State.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "wuna/runtime/value.h"

namespace wuna::host {

struct FunctionObject {
    PyObject_HEAD PyObject* state;  // the wuna.State of the defining program; null once cleared
    uint32_t node;                  // the definition node
    PyObject* frame;                // the captured wuna.Frame, or null
    PyObject* name;                 // a str
    value::Value native;            // the runtime function value (one count), or None
};

extern PyType_Spec functionSpec;

// A new function with no runtime value; state and name get a reference, frame (may be null)
// too. Null with the exception.
[[nodiscard]] PyObject* newFunction(PyObject* state, uint32_t node, PyObject* frame,
                                    PyObject* name);

}  // namespace wuna::host
