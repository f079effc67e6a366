// Global names of a reading, looked up.
#include "compiler/front/lookup.h"

namespace wuna::front {

const FunctionIR* outermost(const FunctionIR* f) {
    while (f->parent) f = f->parent;
    return f;
}

PyObject* globalsOf(const FunctionIR* f) {
    return PyObject_GetAttrString(outermost(f)->function, "__globals__");
}

Status globalValue(PyObject* globals, Text name, PyObject** out) {
    *out = nullptr;
    PyObject* key = PyUnicode_DecodeUTF8(name.data, Py_ssize_t(name.length), nullptr);
    if (!key) return Status::pythonError;
    PyObject* value = PyDict_Check(globals) ? PyDict_GetItemWithError(globals, key)
                                            : PyObject_GetItem(globals, key);
    Py_DECREF(key);
    if (!value) {
        if (PyDict_Check(globals) ? PyErr_Occurred() != nullptr
                                  : !PyErr_ExceptionMatches(PyExc_KeyError))
            return Status::pythonError;
        PyErr_Clear();
        return Status::ok;
    }
    // GetItem gave a new reference already; the dict lookup a borrowed one.
    *out = PyDict_Check(globals) ? Py_NewRef(value) : value;
    return Status::ok;
}

Status builtinValue(Text name, PyObject** out) {
    *out = nullptr;
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return Status::pythonError;
    PyObject* names = PyModule_GetDict(builtins);  // borrowed: the module keeps it
    Status s = globalValue(names, name, out);
    Py_DECREF(builtins);
    return s;
}

}  // namespace wuna::front
