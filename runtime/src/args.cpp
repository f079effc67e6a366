// The argument reader (see wuna/runtime/args.h).
#include "wuna/runtime/args.h"

namespace wuna::args {

namespace {

// "Language() " for a named callable, "" for a module function.
struct Prefix {
    char text[64];
    explicit Prefix(const char* owner) {
        if (owner)
            PyOS_snprintf(text, sizeof text, "%s() ", owner);
        else
            text[0] = 0;
    }
};

}  // namespace

int parse(const char* owner, std::span<const Param> params, PyObject* args, PyObject* kwargs,
          PyObject** out, Check check, void* context) {
    Prefix prefix(owner);
    Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    if (given > Py_ssize_t(params.size())) {
        PyErr_Format(PyExc_TypeError, "%stakes at most %d positional arguments (%zd given)",
                     prefix.text, int(params.size()), given);
        return -1;
    }
    bool keywords = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    for (size_t i = 0; i < params.size(); i++) {
        PyObject* byName = nullptr;
        if (keywords) {
            byName = PyDict_GetItemString(kwargs, params[i].name);  // borrowed
        }
        PyObject* byPosition = Py_ssize_t(i) < given ? PyTuple_GET_ITEM(args, i) : nullptr;
        if (byName && byPosition) {
            PyErr_Format(PyExc_TypeError, "%sgot multiple values for argument '%s'", prefix.text,
                         params[i].name);
            return -1;
        }
        out[i] = byPosition ? byPosition : byName;
        if (!out[i] && params[i].required) {
            PyErr_Format(PyExc_TypeError, "%smissing required argument '%s'", prefix.text,
                         params[i].name);
            return -1;
        }
        if (out[i] && check && check(context, i, out[i]) < 0) return -1;
    }
    if (!keywords) return 0;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        bool known = false;
        if (PyUnicode_Check(key)) {
            for (const Param& param : params) {
                if (PyUnicode_CompareWithASCIIString(key, param.name) == 0) {
                    known = true;
                    break;
                }
            }
        }
        if (!known) {
            PyErr_Format(PyExc_TypeError, "%sgot an unexpected keyword argument '%U'", prefix.text,
                         key);
            return -1;
        }
    }
    return 0;
}

const char* strArg(PyObject* given, const char* typeError, Py_ssize_t* length) {
    if (!PyUnicode_Check(given)) {
        PyErr_SetString(PyExc_TypeError, typeError);
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(given, length);
}

int takesNothing(const char* owner, PyObject* args, PyObject* kwargs) {
    Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    if (given) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 0 arguments (%zd given)", owner, given);
        return -1;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", owner, key);
        return -1;
    }
    return 0;
}

int exactly(PyObject* args, PyObject* kwargs, Py_ssize_t n) {
    if ((args ? PyTuple_GET_SIZE(args) : 0) != n || (kwargs && PyDict_GET_SIZE(kwargs) > 0)) {
        PyErr_SetString(PyExc_TypeError, "WrongArgumentCount");
        return -1;
    }
    return 0;
}

}  // namespace wuna::args
