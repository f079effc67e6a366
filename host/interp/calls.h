// Calls of the reference mode: program functions, functions of earlier session entries, host
// functions and any other Python callable, through one entry, callValue.
//
// A program-function call makes a call frame over the function's captured frame, checks arity
// and depth, binds the parameters as the function kind says, runs the body, and reads its
// result from rt.Return (a Break or Continue escaping the body is an error). A tail call
// travels as the TailCall exception out of the body of the function that asked for it, whose
// frame is then gone, and the callValue loop that was waiting for that function makes the new
// call: a chain of tail calls holds one frame at a time. Host calls convert exact ints to I64
// both ways and word a host's exception as "<host name>: <class>: <text>".
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/interp/rt.h"
#include "host/tree/index.h"

namespace wuna::host {

// Calls f with the argument tuple (borrowed) and receiver (borrowed, null for none). New
// reference, or null with the exception.
[[nodiscard]] PyObject* callValue(RunRecord* rt, PyObject* f, PyObject* args, PyObject* receiver);
// A call of a wuna.Function; same contract.
[[nodiscard]] PyObject* callProgramFunction(RunRecord* rt, PyObject* f, PyObject* args,
                                            PyObject* receiver);
// The node declaring parameter p: >= 0, or -1 with TypeError.
[[nodiscard]] int64_t parameterNode(const ptree::Index* index, PyObject* p);

// Runtime errors at the current node; each returns null.
PyObject* raiseArity(RunRecord* rt, PyObject* name, Py_ssize_t n, Py_ssize_t m);
PyObject* raiseTooDeep(RunRecord* rt);
PyObject* raiseOtherProgram(RunRecord* rt);
PyObject* raiseJumpOutsideLoop(RunRecord* rt);

}  // namespace wuna::host
