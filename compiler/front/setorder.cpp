// The order of a folded set display (see setorder.h): the literal test in C++, the search of
// the code's frozensets in a Python script kept for the life of the process.
#include "compiler/front/setorder.h"

#include <cstring>

#include "compiler/front/script.h"

namespace wuna::front {

namespace {

// Borrowed reference to the stored script's folded_order, or null with a Python exception.
PyObject* foldedOrderFunction() {
    PyObject* scriptGlobals = storedScript();
    if (!scriptGlobals) return nullptr;
    PyObject* function = PyDict_GetItemString(scriptGlobals, "folded_order");
    if (!function) PyErr_SetString(PyExc_KeyError, "folded_order");
    return function;
}

// Whether the class name of object is name. Status::ok, or Status::pythonError.
Status classIs(PyObject* object, const char* name, bool* is) {
    PyObject* text =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__");
    if (!text) return Status::pythonError;
    const char* utf8 = PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
    if (!utf8) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
        Py_DECREF(text);
        return Status::pythonError;
    }
    *is = strcmp(utf8, name) == 0;
    Py_DECREF(text);
    return Status::ok;
}

// A sign over a number: +1, -2.5, -True. Status::ok, or Status::pythonError.
Status isSignedNumber(PyObject* node, bool* literal) {
    *literal = false;
    PyObject* op = PyObject_GetAttrString(node, "op");
    if (!op) return Status::pythonError;
    bool plus = false, minus = false;
    Status status = classIs(op, "UAdd", &plus);
    if (status == Status::ok && !plus) status = classIs(op, "USub", &minus);
    Py_DECREF(op);
    if (status != Status::ok || !(plus || minus)) return status;
    PyObject* operand = PyObject_GetAttrString(node, "operand");
    if (!operand) return Status::pythonError;
    bool constant = false;
    status = classIs(operand, "Constant", &constant);
    if (status != Status::ok || !constant) {
        Py_DECREF(operand);
        return status;
    }
    PyObject* value = PyObject_GetAttrString(operand, "value");
    Py_DECREF(operand);
    if (!value) return Status::pythonError;
    *literal = PyLong_Check(value) || PyFloat_Check(value);
    Py_DECREF(value);
    return Status::ok;
}

// A tuple whose items are all literals (the empty tuple is one). Status::ok, or
// Status::pythonError.
Status isLiteralTuple(PyObject* node, bool* literal) {
    *literal = false;
    PyObject* elts = PyObject_GetAttrString(node, "elts");
    if (!elts) return Status::pythonError;
    if (!PyList_Check(elts)) {
        Py_DECREF(elts);
        PyErr_SetString(PyExc_TypeError, "elts must be a list");
        return Status::pythonError;
    }
    bool all = true;
    // The list is re-sized each turn: reading an item's attributes can run Python.
    for (Py_ssize_t i = 0; all && i < PyList_GET_SIZE(elts); i++) {
        PyObject* item = PyList_GET_ITEM(elts, i);
        Py_INCREF(item);
        Status status = isLiteral(item, &all);
        Py_DECREF(item);
        if (status != Status::ok) {
            Py_DECREF(elts);
            return status;
        }
    }
    Py_DECREF(elts);
    *literal = all;
    return Status::ok;
}

// Reads result into order when it is a list of n ints, each from 0 to n-1. false for anything
// else (an error raised on the way is cleared): the display then keeps its source order.
bool readOrder(PyObject* result, uint64_t n, uint64_t* order) {
    if (!PyList_Check(result) || static_cast<uint64_t>(PyList_GET_SIZE(result)) != n) return false;
    for (uint64_t i = 0; i < n; i++) {
        PyObject* item = PyList_GET_ITEM(result, static_cast<Py_ssize_t>(i));
        if (!PyLong_Check(item)) return false;
        long long index = PyLong_AsLongLong(item);
        if (index == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (index < 0 || static_cast<uint64_t>(index) >= n) return false;
        order[i] = static_cast<uint64_t>(index);
    }
    // Every element exactly once: an index twice would store one element twice and lose
    // another.
    for (uint64_t i = 0; i < n; i++)
        for (uint64_t j = i + 1; j < n; j++)
            if (order[i] == order[j]) return false;
    return true;
}

}  // namespace

Status isLiteral(PyObject* node, bool* literal) {
    *literal = false;
    bool is = false;
    Status status = classIs(node, "Constant", &is);
    if (status != Status::ok) return status;
    if (is) {
        *literal = true;
        return Status::ok;
    }
    status = classIs(node, "Tuple", &is);
    if (status != Status::ok) return status;
    if (is) return isLiteralTuple(node, literal);
    status = classIs(node, "UnaryOp", &is);
    if (status != Status::ok) return status;
    if (is) return isSignedNumber(node, literal);
    return Status::ok;
}

Status foldedOrder(PyObject* function, PyObject* elts, uint64_t n, uint64_t* order, bool* found) {
    *found = false;
    PyObject* script = foldedOrderFunction();
    if (!script) return Status::pythonError;
    // Held across the call: the script's dict is shared, and the call runs Python.
    Py_INCREF(script);
    // The script's failures only cost the order: the set then keeps its source order.
    PyObject* result = PyObject_CallFunctionObjArgs(script, function, elts, nullptr);
    Py_DECREF(script);
    if (!result) {
        PyErr_Clear();
        return Status::ok;
    }
    *found = readOrder(result, n, order);
    Py_DECREF(result);
    return Status::ok;
}

}  // namespace wuna::front
