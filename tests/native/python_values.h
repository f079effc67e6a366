// What the native tests of equality, hashing and sets share: Python expressions evaluated in
// the embedded interpreter, native values made from the Python objects they give (a small
// converter of scalars and tuples, so that each case is written once, as Python), and the
// interpreter's string-hash key copied as the module's start-up copies it.
//
// Everything here runs with the interpreter lock held through the thread's GIL record (the
// Python fixture below takes it and gives it back as a native run's end does).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"

namespace wuna::testing_support {

// Copies hash(None), the interpreter's SipHash variant and its key into the runtime's
// hashing globals, as the module's start-up does. The lock is held.
inline void copyHashKey() {
    set::noneHash = PyObject_Hash(Py_None);
    PyObject* info = PySys_GetObject("hash_info");
    PyObject* algorithm = info ? PyObject_GetAttrString(info, "algorithm") : nullptr;
    const char* name = algorithm ? PyUnicode_AsUTF8(algorithm) : nullptr;
    uint8_t rounds = !name                                 ? 0
                     : std::strcmp(name, "siphash13") == 0 ? 2
                     : std::strcmp(name, "siphash24") == 0 ? 1
                                                           : 0;
    Py_XDECREF(algorithm);
    PyErr_Clear();
    void* secret = dlsym(RTLD_DEFAULT, "_Py_HashSecret");
    if (!secret || !rounds) return;
    std::memcpy(set::hashKey, secret, sizeof set::hashKey);
    set::sip_rounds = rounds;
}

// The value of a Python expression (new reference); the test fails when it raises. Earlier
// statements given to run() are visible to it.
inline PyObject* namespaceDict() {
    static PyObject* globals = nullptr;
    if (!globals) {
        globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    }
    return globals;
}

inline PyObject* eval(const std::string& expression) {
    PyObject* o = PyRun_String(expression.c_str(), Py_eval_input, namespaceDict(), namespaceDict());
    if (!o) PyErr_Print();
    EXPECT_NE(o, nullptr) << expression;
    return o;
}

inline void run(const std::string& statements) {
    PyObject* o = PyRun_String(statements.c_str(), Py_file_input, namespaceDict(), namespaceDict());
    if (!o) PyErr_Print();
    EXPECT_NE(o, nullptr) << statements;
    Py_XDECREF(o);
}

// The native value of a Python scalar or a tuple or list of them (a new reference); anything else
// stays a Python object (tag 10). Ints of 64 bits are plain ints, wider ones up to 128 bits
// big ints; a str keeps lone surrogates as their three-byte forms.
inline value::Value fromPython(PyObject* o) {
    using namespace value;
    if (o == Py_None) return Value::none();
    if (PyBool_Check(o)) return Value::boolean(o == Py_True);
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) return Value::pint(x);
        // Wider: the low word by mask, the high word must then fit 64 bits.
        unsigned long long low = PyLong_AsUnsignedLongLongMask(o);
        PyObject* shift = PyLong_FromLong(64);
        PyObject* top = PyNumber_Rshift(o, shift);
        long long high = PyLong_AsLongLongAndOverflow(top, &overflow);
        Py_DECREF(top);
        Py_DECREF(shift);
        if (!overflow)
            return Value::of(TagBig, newBig(i128((unsigned __int128)uint64_t(high) << 64 | low)));
    }
    if (PyFloat_CheckExact(o)) return Value::real(PyFloat_AsDouble(o));
    if (PyUnicode_CheckExact(o)) {
        PyObject* utf8 = PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass");
        Value v =
            Value::of(TagStr, newStr(PyBytes_AS_STRING(utf8), size_t(PyBytes_GET_SIZE(utf8))));
        Py_DECREF(utf8);
        return v;
    }
    if (PyBytes_CheckExact(o)) {
        Bytes* b = newOwnedBytes(uint64_t(PyBytes_GET_SIZE(o)));
        if (PyBytes_GET_SIZE(o)) std::memcpy(b->data, PyBytes_AS_STRING(o), size_t(b->length));
        return Value::of(TagBytes, b);
    }
    if (PyTuple_CheckExact(o)) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        Tuple* t = newTuple(uint64_t(n));
        for (Py_ssize_t i = 0; i < n; i++) t->items()[i] = fromPython(PyTuple_GET_ITEM(o, i));
        return Value::of(TagTuple, t);
    }
    if (PyList_CheckExact(o)) {
        List* l = newList(0);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); i++)
            listAppend(l, fromPython(PyList_GET_ITEM(o, i)));
        return Value::of(TagList, l);
    }
    Py_INCREF(o);
    return Value::of(TagPy, o);
}

// One group of generated cases of a table test: a name, and a Python expression giving the
// list of its cases.
struct Generated {
    const char* name;
    const char* expression;
};

// Each item of a Python sequence, converted.
inline std::vector<value::Value> itemsOf(PyObject* sequence) {
    std::vector<value::Value> out;
    PyObject* fast = PySequence_Fast(sequence, "not a sequence");
    for (Py_ssize_t i = 0; fast && i < PySequence_Fast_GET_SIZE(fast); i++)
        out.push_back(fromPython(PySequence_Fast_GET_ITEM(fast, i)));
    Py_XDECREF(fast);
    return out;
}

// Tests that touch Python: the lock held for the whole test as in a native run, the hash key
// copied, the thread's block count and fault record checked at the end.
class WithPython : public ::testing::Test {
protected:
    void SetUp() override {
        needPython();
        record = gil::current();
        gil::ensure(record);
        static bool copied = false;
        if (!copied) copyHashKey();
        copied = true;
        start = pool::liveBlocks();
    }
    void TearDown() override {
        EXPECT_FALSE(value::faulted()) << "a failure was noted and never taken";
        value::clearFault();
        EXPECT_EQ(PyErr_Occurred(), nullptr) << "a Python exception was left pending";
        PyErr_Clear();
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
        endRun(record);
    }
    gil::Record* record = nullptr;
    int64_t start = 0;
};

}  // namespace wuna::testing_support
