// The fixture of a differential test of a runtime helper: a helper context, the helper's
// outcome compared with the running interpreter's (helper_outcomes.h), Python builtins wrapped
// in counting callables, so that a case that should be native and quietly went to Python is
// caught too, and native lists and dicts reaching Python as copies.
//
// The lock is held for the whole test as in a native run, and the fixture's base checks that
// the thread's live block count is back where it was.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/native/helper_outcomes.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/value.h"

namespace wuna::testing_support {

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

    std::string failureText() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }

    static std::string show(PyObject* o) { return pyRepr(o); }

    // Compares the native outcome (ok, out) with Python's fn(*args); releases out and clears
    // the failure. bitExact compares floats bit for bit (and tuples of them item by item).
    void expectSame(const std::string& shown, bool ok, value::Value out, PyObject* fn,
                    PyObject* args, bool bitExact) {
        expectSameOutcome(&ctx, shown, ok, out, fn, args, bitExact);
    }

    // The same against an outcome already taken: expected (a new reference, consumed) or
    // null with the exception pending.
    void expectOutcome(const std::string& shown, bool ok, value::Value out, PyObject* expected,
                       bool bitExact) {
        testing_support::expectOutcome(&ctx, shown, ok, out, expected, bitExact);
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
