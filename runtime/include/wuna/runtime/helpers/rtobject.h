// wuna.CompiledRuntime's own work: the type's methods and properties (rtobject.cpp, the type
// spec bridge::compiledRuntimeSpec of run.h), and the two steps every method shares.
//
// Its objects are made by the bridge (run.h: newRuntime) for a semantic that compiled code
// runs as Python, or for an rt value handed to Python; each method answers as the reference
// Runtime's does, over the compiled program's frames.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/helpers/ctx.h"

namespace wuna::bridge {

// The context's recorded failure as the Python exception a semantic sees, the failure then
// cleared: a wuna.Error or wuna.Throw kept for raising again is raised as it is; a thrown
// language value is raised as its Python object carrying its runtime error (_wuna_error); any
// other failure, what a called Python function raised included, raises the Error the run's
// error maker makes of it at the failure's site, as the reference mode raises it. Always null,
// with the exception set. Lock held.
PyObject* raiseFailure(helpers::Ctx* ctx);

// 0 when the CompiledRuntime self is alive (the semantic it was made for is running), or -1
// with RuntimeError "this rt belongs to a semantic that has returned".
[[nodiscard]] int checkRtLive(PyObject* self);

// The index rt.node_at is given, checked against a tree of count nodes: the index, or -1 with
// TypeError "a node's index must be an int, not <type>", IndexError "no node <index>" or the
// int conversion's error. Both rt types answer so.
[[nodiscard]] int64_t nodeAtIndex(PyObject* given, uint64_t count);

// rt.symbol and rt.type_of: analysis.<method>(n), or None without an analysis. New
// reference, or null with the exception.
[[nodiscard]] PyObject* askAnalysis(PyObject* analysis, const char* method, uint32_t n);

// rt.error's arguments node, message and code=None, borrowed into given[0..3) (an absent
// code is None). 0, or -1 with the argument reader's TypeError.
[[nodiscard]] int errorArguments(PyObject* args, PyObject* kwargs, PyObject** given);

// rt.error's message, cut as every message is, once message and code are checked to be str
// (TypeError "message must be a str" / "code must be a str"); *code is the code, or null
// for None. New reference, or null with the exception.
[[nodiscard]] PyObject* errorMessage(PyObject* const* given, PyObject** code);

}  // namespace wuna::bridge
