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
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/value.h"

namespace wuna::testing_support {

// Python list and dict copies of native lists and dicts, standing in for the proxies of
// another layer, so that containers reach Python in these tests. New reference, or null with
// the exception.
inline PyObject* copyProxy(value::Value v, const helpers::ConversionContext* cx) {
    if (v.tag == value::TagList) {
        value::List* l = v.as<value::List>();
        PyObject* list = PyList_New(Py_ssize_t(l->count));
        for (uint64_t i = 0; list && i < l->count; i++) {
            PyObject* item = convert::toPython(l->items[i], cx);
            if (!item) {
                Py_CLEAR(list);
                break;
            }
            PyList_SET_ITEM(list, Py_ssize_t(i), item);
        }
        return list;
    }
    if (v.tag == value::TagDict) {
        value::Dict* d = v.as<value::Dict>();
        PyObject* dict = PyDict_New();
        for (uint64_t i = 0; dict && i < d->used; i++) {
            const value::DictEntry& e = d->entries[i];
            if (e.key.tag == value::TagDeleted) continue;
            PyObject* key = convert::toPython(e.key, cx);
            PyObject* item = key ? convert::toPython(e.value, cx) : nullptr;
            if (!item || PyDict_SetItem(dict, key, item) < 0) Py_CLEAR(dict);
            Py_XDECREF(key);
            Py_XDECREF(item);
        }
        return dict;
    }
    PyErr_SetString(PyExc_TypeError, "no proxy in this test");
    return nullptr;
}

// The runtime's shared immortal values that the module's start-up makes once per process (the
// empty tuple, the one-character strs), made before a test takes its block count.
inline void internStartupValues() {
    if (!helpers::empty_tuple) {
        helpers::empty_tuple = value::newTuple(0);
        value::makeImmortal(&helpers::empty_tuple->h);
    }
    for (int c = 0; c < helpers::kAsciiChars; c++) {
        if (helpers::ascii_chars[c]) continue;
        char byte = char(c);
        helpers::ascii_chars[c] = value::newStr(&byte, 1);
        value::makeImmortal(&helpers::ascii_chars[c]->h);
    }
}

class Differential : public WithPython {
protected:
    void SetUp() override {
        internStartupValues();
        WithPython::SetUp();
        ctx = helpers::Ctx{};
        ctx.conversion = *convert::defaultContext();
        savedHooks = convert::hooks;
        convert::hooks.makeProxy = copyProxy;
        run("calls = []\n"
            "def counting(fn):\n"
            "    def call(*args):\n"
            "        calls.append(args)\n"
            "        return fn(*args)\n"
            "    return call\n");
    }
    void TearDown() override {
        helpers::endCtx(&ctx);
        convert::hooks = savedHooks;
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
    convert::Hooks savedHooks{};
};

}  // namespace wuna::testing_support
