// Calling a Python object with native values from a helper. See pycall.h.
#include "wuna/runtime/helpers/pycall.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>


#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"

namespace wuna::helpers {

namespace {

// A plain int crossing into a host function is the language's checked int there.
inline value::Value checkedArgument(value::Value v, bool checked) {
    return checked && v.tag == value::TagPint ? value::Value{value::TagInt, v.payload} : v;
}

// The argument tuple, the receiver first when there is one; new reference, or null with the
// exception.
PyObject* argumentTuple(Ctx* ctx, const value::Value* receiver, const value::Value* args,
                        uint64_t n, bool checked) {
    uint64_t first = receiver ? 1 : 0;
    PyObject* tuple = PyTuple_New(Py_ssize_t(n + first));
    if (tuple && receiver) {
        PyObject* item = convert::toPython(*receiver, &ctx->conversion);
        if (!item) Py_CLEAR(tuple);
        else PyTuple_SET_ITEM(tuple, 0, item);
    }
    for (uint64_t i = 0; tuple && i < n; i++) {
        PyObject* item = convert::toPython(checkedArgument(args[i], checked), &ctx->conversion);
        if (!item) {
            Py_CLEAR(tuple);
            break;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(first + i), item);
    }
    return tuple;
}

// callee(*tuple) as a value in *out; the lock is held. False with the Python exception.
bool callWith(PyObject* callee, PyObject* tuple, bool checked, value::Value* out) {
    PyObject* result = PyObject_Call(callee, tuple, nullptr);
    // A fresh container that only the result holds may be copied natively: nothing in Python
    // can see a later change to it.
    bool done = result && convert::convert(result, Py_REFCNT(result) == 1, out) == 0;
    Py_XDECREF(result);
    if (done && checked && out->tag == value::TagPint) out->tag = value::TagInt;
    return done;
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
    PyObject* tuple = argumentTuple(ctx, nullptr, args, n, false);
    bool done = tuple && callWith(callee, tuple, false, out);
    Py_XDECREF(tuple);
    if (!done) bridge::failFromPython(ctx, site);
    return done;
}

bool callPythonValue(Ctx* ctx, int32_t site, const gil::Location* where, value::Value callee,
                     const value::Value* args, uint64_t n, const value::Value* receiver,
                     bool checked, value::Value* out) {
    value::claimLock(where);
    PyObject* fn = convert::toPython(callee, &ctx->conversion);
    PyObject* tuple = fn ? argumentTuple(ctx, receiver, args, n, checked) : nullptr;
    bool done = tuple && callWith(fn, tuple, checked, out);
    Py_XDECREF(tuple);
    Py_XDECREF(fn);
    if (!done) bridge::failFromPython(ctx, site);
    return done;
}

bool pythonObjects(Ctx* ctx, int32_t site, const gil::Location* where,
                   const value::Value* values, uint64_t n, PyObject** out) {
    value::claimLock(where);
    for (uint64_t i = 0; i < n; i++) {
        out[i] = convert::toPython(values[i], &ctx->conversion);
        if (out[i]) continue;
        while (i) Py_DECREF(out[--i]);
        bridge::failFromPython(ctx, site);
        return false;
    }
    return true;
}

}  // namespace wuna::helpers
