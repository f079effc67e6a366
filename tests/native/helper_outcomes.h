// What the native tests of helpers share: comparing a helper's outcome (its result, or the
// failure it recorded on the helper context) with what the running interpreter gives for the
// same operation - the same value, or an exception of the same type and text - and a run that
// reports its crossings, for the tests of what helpers count on the run's tally.
//
// Everything here runs with the interpreter lock held (the WithPython fixture holds it).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/tally.h"
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

// "<head>(<argument>, ...)": a call as a case's label shows it.
inline std::string callText(const std::string& head, const std::vector<const char*>& args) {
    std::string text = head + "(";
    for (size_t i = 0; i < args.size(); i++) text += (i ? ", " : "") + std::string(args[i]);
    return text + ")";
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

// Python's pending exception (taken here) against a helper's outcome: the helper must have
// failed with an exception of the same type and text, and, when untouched is given, left its
// result slot as it was. A native success is released.
inline void expectPythonError(helpers::Ctx* ctx, const std::string& shown, bool ok,
                              value::Value out, const value::Value* untouched = nullptr) {
    PyObject *type, *val, *tb;
    PyErr_Fetch(&type, &val, &tb);
    PyErr_NormalizeException(&type, &val, &tb);
    EXPECT_FALSE(ok) << shown << ": Python raised " << pyRepr(val);
    if (ok) value::decref(out);
    if (!ok) expectFailureLike(ctx, shown, type, val);
    if (!ok && untouched) {
        EXPECT_TRUE(out.tag == untouched->tag && out.payload == untouched->payload)
            << shown << ": a failure filled the result slot";
    }
    Py_XDECREF(type);
    Py_XDECREF(val);
    Py_XDECREF(tb);
}

// Whether two results are the same: floats bit for bit when bitExact (and tuples of them
// item by item), everything else by ==. Leaves no error pending.
inline bool sameResult(PyObject* a, PyObject* b, bool bitExact) {
    if (bitExact && PyFloat_Check(a) && PyFloat_Check(b)) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, 8) == 0;
    }
    if (bitExact && PyTuple_Check(a) && PyTuple_Check(b)) {
        if (PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); i++)
            if (!sameResult(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i), true)) return false;
        return true;
    }
    bool same = PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    PyErr_Clear();
    return same;
}

// Compares the native outcome (ok, out) with Python's outcome already taken: expected (a new
// reference, consumed), or null with Python's exception pending. The same value of the same
// type, or the same exception. Releases out and clears the failure.
inline void expectOutcome(helpers::Ctx* ctx, const std::string& shown, bool ok, value::Value out,
                          PyObject* expected, bool bitExact = false) {
    if (!expected) {
        expectPythonError(ctx, shown, ok, out);
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
            EXPECT_TRUE(sameResult(got, expected, bitExact))
                << shown << ": " << pyRepr(got) << " against " << pyRepr(expected);
        }
        PyErr_Clear();
        Py_XDECREF(got);
        value::decref(out);
    }
    Py_DECREF(expected);
    helpers::clearError(ctx);
}

// The same against Python's fn(*args), called once.
inline void expectSameOutcome(helpers::Ctx* ctx, const std::string& shown, bool ok,
                              value::Value out, PyObject* fn, PyObject* args,
                              bool bitExact = false) {
    expectOutcome(ctx, shown, ok, out, PyObject_Call(fn, args, nullptr), bitExact);
}

// A run that reports its crossings, on a helper context for as long as this lives: the
// tally the helpers count on, freed at the end.
struct ReportingRun {
    explicit ReportingRun(helpers::Ctx* c) : ctx(c), saved(c->run) {
        run.tally = &tally;
        run.report = 1;
        ctx->run = &run;
    }
    ~ReportingRun() {
        ctx->run = saved;
        bridge::freeTally(&tally);
    }
    uint64_t count(const std::string& text) const {
        return bridge::tallyCount(&tally, text.data(), text.size());
    }
    helpers::Ctx* ctx;
    helpers::RunRecord* saved;
    helpers::RunRecord run{};
    bridge::Tally tally{};
};

}  // namespace wuna::testing_support
