// What the native tests of helpers share: comparing a helper's outcome (its result, or the
// failure it recorded on the helper context) with what the running interpreter gives for the
// same operation - the same value, or an exception of the same type and text.
//
// Everything here runs with the interpreter lock held (the WithPython fixture holds it).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value.h"

namespace wuna::testing_support {

// str() and repr() of an object for messages; never leave an error pending.
inline std::string pyStr(PyObject* o) {
    PyObject* s = o ? PyObject_Str(o) : nullptr;
    std::string text = s ? PyUnicode_AsUTF8(s) : "<str failed>";
    Py_XDECREF(s);
    PyErr_Clear();
    return text;
}

inline std::string pyRepr(PyObject* o) {
    PyObject* s = o ? PyObject_Repr(o) : nullptr;
    std::string text = s ? PyUnicode_AsUTF8(s) : "<repr failed>";
    Py_XDECREF(s);
    PyErr_Clear();
    return text;
}

// The exception object of the failure recorded on ctx (new reference): the Python exception
// kept as it was raised, or the one the failure's kind makes; null when there is none.
inline PyObject* failureObject(helpers::Ctx* ctx) {
    PyObject* o = helpers::errorObject(ctx);
    if (!o) PyErr_Clear();
    return o;
}

// Expects the failure recorded on ctx to be an exception of Python's type and text.
inline void expectFailureLike(helpers::Ctx* ctx, const std::string& shown, PyObject* type,
                              PyObject* value) {
    PyObject* got = failureObject(ctx);
    ASSERT_NE(got, nullptr) << shown;
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(got)), type) << shown << ": " << pyRepr(got);
    EXPECT_EQ(pyStr(got), pyStr(value)) << shown;
    Py_DECREF(got);
}

// Compares the native outcome (ok, out) with Python's fn(*args), called once: the same value
// of the same type (floats bit for bit when bitExact), or the same exception. Releases out
// and clears the failure.
inline void expectSameOutcome(helpers::Ctx* ctx, const std::string& shown, bool ok,
                              value::Value out, PyObject* fn, PyObject* args,
                              bool bitExact = false) {
    PyObject* expected = PyObject_Call(fn, args, nullptr);
    if (!expected) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        EXPECT_FALSE(ok) << shown << ": Python raised " << pyRepr(value);
        if (!ok) expectFailureLike(ctx, shown, type, value);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        helpers::clearError(ctx);
        return;
    }
    EXPECT_TRUE(ok) << shown << ": Python gave " << pyRepr(expected) << ", native failed with "
                    << std::string(reinterpret_cast<const char*>(ctx->message.data),
                                   ctx->message.length);
    if (ok) {
        PyObject* got = convert::toPython(out, &ctx->conversion);
        EXPECT_NE(got, nullptr) << shown;
        if (got) {
            EXPECT_EQ(Py_TYPE(got), Py_TYPE(expected)) << shown;
            if (bitExact) {
                double a = PyFloat_AsDouble(got), b = PyFloat_AsDouble(expected);
                EXPECT_EQ(std::memcmp(&a, &b, 8), 0)
                    << shown << ": " << pyRepr(got) << " against " << pyRepr(expected);
            } else {
                EXPECT_EQ(PyObject_RichCompareBool(got, expected, Py_EQ), 1)
                    << shown << ": " << pyRepr(got) << " against " << pyRepr(expected);
            }
        }
        PyErr_Clear();
        Py_XDECREF(got);
        value::decref(out);
    }
    Py_DECREF(expected);
    helpers::clearError(ctx);
}

}  // namespace wuna::testing_support
