// Node kinds from the language's types: the Python type a node's type maps to through
// Language.types, and the known kind that gives compiled code (see lower.h).
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"

namespace wuna::compile {

namespace {

// The mapping's answer for a type the analysis gave: the dict's item for the type, else for
// the text before its first "(" or "[" (the generic's name); or the function's result.
// Borrowed (compared by identity only), or null; -1 with a Python exception.
int mappedType(PyObject* types, PyObject* type, PyObject** out) {
    *out = nullptr;
    if (PyDict_Check(types)) {
        PyObject* found = PyDict_GetItemWithError(types, type);
        if (found || PyErr_Occurred()) {
            *out = found;
            return found ? 0 : -1;
        }
        if (!PyUnicode_Check(type)) {
            PyErr_SetString(PyExc_TypeError, "type must be a str");
            return -1;
        }
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(type, &length);
        if (!text) return -1;
        Py_ssize_t cut = 0;
        while (cut < length && text[cut] != '(' && text[cut] != '[') cut++;
        if (cut == length) return 0;
        PyObject* generic = PyUnicode_DecodeUTF8(text, cut, "replace");
        if (!generic) return -1;
        found = PyDict_GetItemWithError(types, generic);
        Py_DECREF(generic);
        *out = found;
        return found || !PyErr_Occurred() ? 0 : -1;
    }
    PyObject* result = PyObject_CallOneArg(types, type);
    if (!result) return -1;
    // Identity is all that is used of the answer.
    *out = result == Py_None ? nullptr : result;
    Py_DECREF(result);
    return 0;
}

}  // namespace

int typeOfNode(PyObject* types, PyObject* analysis, uint32_t node, PyObject** out) {
    *out = nullptr;
    if (!types || !analysis) return 0;
    PyObject* type = PyObject_CallMethod(analysis, "type_of", "I", unsigned(node));
    if (!type) {
        // Rules without types: no type.
        PyErr_Clear();
        return 0;
    }
    int rc = type == Py_None ? 0 : mappedType(types, type, out);
    Py_DECREF(type);
    return rc;
}

KnownKind nodeKindMemo(Compiler* c, uint32_t node) {
    const driver::CompileInputs* in = c->inputs;
    if (!in || !in->types || !in->analysis) return KnownKind::unknown;
    PyObject* type = nullptr;
    if (typeOfNode(in->types, in->analysis, node, &type) < 0) {
        // Nothing is claimed of a node whose type can't be found out.
        PyErr_Clear();
        return KnownKind::unknown;
    }
    if (type == reinterpret_cast<PyObject*>(&PyLong_Type)) return KnownKind::int_;
    if (type == reinterpret_cast<PyObject*>(&PyFloat_Type)) return KnownKind::float_;
    if (type == reinterpret_cast<PyObject*>(&PyBool_Type)) return KnownKind::bool_;
    if (type == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return KnownKind::str;
    if (type == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) return KnownKind::none;
    return KnownKind::unknown;
}

}  // namespace wuna::compile
