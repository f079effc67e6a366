// rt.parse's body (see rtparse.h).
#include "wuna/runtime/helpers/rtparse.h"

#include "wuna/runtime/hostapi.h"

namespace wuna::bridge {

namespace {

// (error.span[0], error.line, error.column, error.message): new tuple, or null.
PyObject* errorEntry(PyObject* error) {
    PyObject* span = PyObject_GetAttrString(error, "span");
    PyObject* start = span ? PySequence_GetItem(span, 0) : nullptr;
    PyObject* line = start ? PyObject_GetAttrString(error, "line") : nullptr;
    PyObject* column = line ? PyObject_GetAttrString(error, "column") : nullptr;
    PyObject* message = column ? PyObject_GetAttrString(error, "message") : nullptr;
    PyObject* entry = message ? PyTuple_Pack(4, start, line, column, message) : nullptr;
    Py_XDECREF(span);
    Py_XDECREF(start);
    Py_XDECREF(line);
    Py_XDECREF(column);
    Py_XDECREF(message);
    return entry;
}

// The list of entries of the parse result's errors: new list, or null.
PyObject* errorList(PyObject* result) {
    PyObject* errors = PyObject_GetAttrString(result, "errors");
    PyObject* fast =
        errors ? PySequence_Fast(errors, "the parse result's errors must be a list") : nullptr;
    Py_XDECREF(errors);
    // Reading an error's attributes can run Python that changes the parser's list (a property
    // clearing it, say): the entries are read from a tuple of our own, whose items it holds.
    PyObject* items = fast ? PySequence_Tuple(fast) : nullptr;
    Py_XDECREF(fast);
    if (!items) return nullptr;
    Py_ssize_t count = PyTuple_GET_SIZE(items);
    PyObject* list = PyList_New(count);
    for (Py_ssize_t i = 0; list && i < count; i++) {
        PyObject* entry = errorEntry(PyTuple_GET_ITEM(items, i));
        if (!entry)
            Py_CLEAR(list);
        else
            PyList_SET_ITEM(list, i, entry);
    }
    Py_DECREF(items);
    return list;
}

}  // namespace

PyObject* rtParse(PyObject* grammar, PyObject* text, PyObject* start, bool recover) {
    // The trees are the module's (wuna.Node, its State and index); the runtime alone has none.
    if (!runtime::hostApi.parseRoot) {
        PyErr_SetString(PyExc_RuntimeError, "rt.parse needs the wuna module");
        return nullptr;
    }
    PyObject* result = nullptr;
    PyObject* root = runtime::hostApi.parseRoot(grammar, text, start, recover, &result);
    if (!root) return nullptr;  // *result is null with it
    PyObject* answer = root;
    if (recover) {
        PyObject* errors = errorList(result);
        answer = errors ? PyTuple_Pack(2, root, errors) : nullptr;
        Py_XDECREF(errors);
        Py_DECREF(root);
    }
    Py_DECREF(result);
    return answer;
}

}  // namespace wuna::bridge
