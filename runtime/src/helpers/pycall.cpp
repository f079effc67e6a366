// Calling a Python object with native values from a helper. See pycall.h.
#include "wuna/runtime/helpers/pycall.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/run.h"

namespace wuna::helpers {

namespace {

// The argument tuple; new reference, or null with the exception.
PyObject* argumentTuple(Ctx* ctx, const value::Value* args, uint64_t n) {
    PyObject* tuple = PyTuple_New(Py_ssize_t(n));
    for (uint64_t i = 0; tuple && i < n; i++) {
        PyObject* item = convert::toPython(args[i], &ctx->conversion);
        if (!item) {
            Py_CLEAR(tuple);
            break;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    return tuple;
}

}  // namespace

bool callPythonObject(Ctx* ctx, int32_t site, const gil::Location* where, PyObject* callee,
                      const value::Value* args, uint64_t n, value::Value* out) {
    if (!callee) {
        static constexpr char text[] = "wuna: no Python callable (a wuna bug)";
        fail(ctx, site, text, sizeof text - 1);
        return false;
    }
    value::claimLock(where);
    PyObject* tuple = argumentTuple(ctx, args, n);
    PyObject* result = tuple ? PyObject_Call(callee, tuple, nullptr) : nullptr;
    Py_XDECREF(tuple);
    return pythonResult(ctx, site, result, out);
}

}  // namespace wuna::helpers
