// What native tests that touch the interpreter share: starting it once, and giving back the
// lock a GIL record took as the end of a native run does.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/gil.h"

namespace wuna::testing_support {

// The interpreter for the tests that need it, started once with its lock released.
inline void needPython() {
    if (Py_IsInitialized()) return;
    Py_InitializeEx(0);
    PyEval_SaveThread();
}

// Gives back a lock a GIL record took, as the end of a native run does.
inline void endRun(gil::Record* r) {
    if (!r->ensured) return;
    r->held = 0;
    r->ensured = 0;
    PyGILState_Release(PyGILState_STATE(r->state));
}

}  // namespace wuna::testing_support
