// The shape of a differential test of a runtime helper: the helper's outcome (a value, or a
// failure recorded on a helper context) against the running interpreter's outcome of the same
// operation (a value, or an exception), compared by type and value or by exception type and
// text. Python builtins may be wrapped in counting callables, so that a case that should be
// native and quietly went to Python is caught too.
//
// The lock is held for the whole test as in a native run, and the fixture's base checks that
// the thread's live block count is back where it was.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"

namespace wuna::testing_support {

class Differential : public WithPython {
protected:
    void SetUp() override {
        WithPython::SetUp();
        ctx = helpers::Ctx{};
        ctx.conversion = *convert::defaultContext();
        run("calls = []\n"
            "def counting(fn):\n"
            "    def call(*args):\n"
            "        calls.append(args)\n"
            "        return fn(*args)\n"
            "    return call\n");
    }
    void TearDown() override {
        helpers::endCtx(&ctx);
        WithPython::TearDown();
    }

    // A counting wrapper of a Python expression's callable (new reference).
    static PyObject* counting(const std::string& callable) {
        return eval("counting(" + callable + ")");
    }

    // How many times the counting wrappers were called since the last look.
    static size_t pythonCalls() {
        PyObject* calls = eval("calls");
        size_t n = size_t(PyList_GET_SIZE(calls));
        PyList_SetSlice(calls, 0, PY_SSIZE_T_MAX, nullptr);
        Py_DECREF(calls);
        return n;
    }

    // The exception object of the recorded failure (new reference): the Python exception
    // kept as it was raised, or the one the failure's kind makes.
    PyObject* failureObject() {
        if (ctx.fetched) return Py_NewRef(ctx.fetched);
        PyObject* o = helpers::errorObject(&ctx);
        if (!o) PyErr_Clear();
        return o;
    }

    std::string failureText() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }

    static std::string show(PyObject* o) {
        PyObject* r = PyObject_Repr(o);
        std::string s = r ? PyUnicode_AsUTF8(r) : "<repr failed>";
        Py_XDECREF(r);
        PyErr_Clear();
        return s;
    }

    static std::string str(PyObject* o) {
        PyObject* s = PyObject_Str(o);
        std::string text = s ? PyUnicode_AsUTF8(s) : "<str failed>";
        Py_XDECREF(s);
        PyErr_Clear();
        return text;
    }

    // Compares the native outcome (ok, *out) with Python's fn(*args); releases out and clears
    // the failure. bitExact compares floats bit for bit (and tuples of them item by item).
    void expectSame(const std::string& shown, bool ok, value::Value out, PyObject* fn,
                    PyObject* args, bool bitExact) {
        PyObject* expected = PyObject_Call(fn, args, nullptr);
        expectOutcome(shown, ok, out, expected, bitExact);
    }

    // The same against an outcome already taken: expected (a new reference, consumed) or
    // null with the exception pending.
    void expectOutcome(const std::string& shown, bool ok, value::Value out, PyObject* expected,
                       bool bitExact) {
        if (!expected) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            EXPECT_FALSE(ok) << shown << ": Python raised " << show(value);
            if (!ok) {
                PyObject* got = failureObject();
                EXPECT_NE(got, nullptr) << shown << ": " << failureText();
                if (got) {
                    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(got)), type)
                        << shown << ": " << show(got) << " against " << show(value);
                    EXPECT_EQ(str(got), str(value)) << shown;
                    Py_DECREF(got);
                }
            } else {
                value::decref(out);
            }
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            helpers::clearError(&ctx);
            return;
        }
        EXPECT_TRUE(ok) << shown << ": Python gave " << show(expected) << ", native failed with "
                        << failureText();
        if (ok) {
            PyObject* got = convert::toPython(out, &ctx.conversion);
            EXPECT_NE(got, nullptr) << shown;
            if (got) {
                EXPECT_EQ(Py_TYPE(got), Py_TYPE(expected)) << shown;
                EXPECT_TRUE(sameValue(got, expected, bitExact))
                    << shown << ": " << show(got) << " against " << show(expected);
                Py_DECREF(got);
            }
            PyErr_Clear();
            value::decref(out);
        }
        Py_DECREF(expected);
        helpers::clearError(&ctx);
    }

    static bool sameValue(PyObject* a, PyObject* b, bool bitExact) {
        if (bitExact && PyFloat_Check(a) && PyFloat_Check(b)) {
            double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
            return std::memcmp(&x, &y, 8) == 0;
        }
        if (bitExact && PyTuple_Check(a) && PyTuple_Check(b)) {
            if (PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return false;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); i++)
                if (!sameValue(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i), true)) return false;
            return true;
        }
        return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    }

    // The value of a Python object as the module converts it (a str with lone surrogates
    // stays a Python object, as no native str can hold it).
    static value::Value converted(PyObject* o) {
        value::Value v = value::Value::none();
        EXPECT_EQ(convert::convert(o, false, &v), 0) << show(o);
        return v;
    }

    // Runs body on each item of the list a Python expression gives.
    template <class Body>
    void eachCase(const char* expression, Body body) {
        PyObject* cases = eval(expression);
        ASSERT_NE(cases, nullptr);
        ASSERT_GT(PyList_GET_SIZE(cases), 0);
        pythonCalls();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cases); i++) body(PyList_GET_ITEM(cases, i));
        Py_DECREF(cases);
    }

    helpers::Ctx ctx{};
};

}  // namespace wuna::testing_support
