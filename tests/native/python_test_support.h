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

// The globals of a helper script run with the interpreter's builtins: a new reference, or
// null with the Python error printed. For tests whose cases are easiest said in Python.
inline PyObject* runHelpers(const char* script) {
    PyObject* globals = PyDict_New();
    if (!globals || PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
        Py_XDECREF(globals);
        return nullptr;
    }
    PyObject* result = PyRun_String(script, Py_file_input, globals, globals);
    if (!result) {
        PyErr_Print();
        Py_DECREF(globals);
        return nullptr;
    }
    Py_DECREF(result);
    return globals;
}

// A helper script with load(src): the function f its source defines, compiled under a name
// of its own with the source in linecache, so the front end reads it as it reads a file's.
inline constexpr char kFunctionLoader[] = R"PY(
import itertools, linecache
_count = itertools.count()

def load(src):
    name = f"<case {next(_count)}>"
    linecache.cache[name] = (len(src), None, src.splitlines(True), name)
    ns = {}
    exec(compile(src, name, "exec"), ns)
    return ns["f"]
)PY";

// A test that holds the interpreter lock throughout and has a helper script's globals. The
// lock is taken through the thread's GIL record, as a native run takes it, so that runtime
// code the test calls (which claims the lock through that record) sees it held, and the
// record is left as the next test expects it.
template <typename Base>
class WithHelpers : public Base {
protected:
    explicit WithHelpers(const char* script) : script_(script) {}
    void SetUp() override {
        needPython();
        record_ = gil::current();
        gil::ensure(record_);
        helpers_ = runHelpers(script_);
        ASSERT_NE(helpers_, nullptr);
    }
    void TearDown() override {
        if (PyErr_Occurred()) PyErr_Print();
        Py_XDECREF(helpers_);
        endRun(record_);
    }
    // New reference to helpers_[name](args...), or null.
    PyObject* call(const char* name, PyObject* a = nullptr, PyObject* b = nullptr) {
        PyObject* f = PyDict_GetItemString(helpers_, name);
        return PyObject_CallFunctionObjArgs(f, a, b, nullptr);
    }

    const char* script_;
    gil::Record* record_ = nullptr;
    PyObject* helpers_ = nullptr;
};

}  // namespace wuna::testing_support
