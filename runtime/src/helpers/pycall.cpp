// Calling a Python object with native values from a helper. See pycall.h.
#include "wuna/runtime/helpers/pycall.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"

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

bool objects(Ctx* ctx, const gil::Location* where, const value::Value* values, uint64_t n,
             PyObject** out) {
    value::claimLock(where);
    for (uint64_t i = 0; i < n; i++) {
        out[i] = convert::toPython(values[i], &ctx->conversion);
        if (out[i]) continue;
        // Py_CLEAR names its argument more than once: the index moves outside it.
        while (i > 0) {
            i--;
            Py_CLEAR(out[i]);
        }
        return false;
    }
    return true;
}

bool pythonResult(Ctx* ctx, int32_t site, PyObject* result, value::Value* out) {
    // A fresh container that only the result holds may be copied natively: nothing in Python
    // can see a later change to it.
    value::Value v{};
    bool done = result && convert::convert(result, Py_REFCNT(result) == 1, &v) == 0;
    Py_XDECREF(result);
    if (!done) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    *out = v;
    return true;
}

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
