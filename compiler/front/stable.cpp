// The stable types and the identity tests.
#include "compiler/front/stable.h"

#include <cstring>

#include "wuna/runtime/convert.h"

namespace wuna::front {

namespace {

// Types from `types` first, then the builtin types, then the types of the three singletons.
constexpr char kScript[] = R"PY(
import types

function = types.FunctionType
method = types.MethodType
stable = (
    type, types.ModuleType, types.FunctionType, types.BuiltinFunctionType, types.MethodType,
    types.MethodDescriptorType, types.WrapperDescriptorType, types.ClassMethodDescriptorType,
    types.MethodWrapperType, staticmethod, classmethod, property, frozenset, bytes, range,
    complex, type(None), type(Ellipsis), type(NotImplemented),
)
)PY";

// The record, loaded once and kept for the process.
StableTypes loaded{};

// The item of the namespace, a new reference; null with KeyError when it is missing.
PyObject* item(PyObject* names, const char* key) {
    PyObject* value = PyDict_GetItemString(names, key);
    if (!value) {
        PyErr_SetString(PyExc_KeyError, key);
        return nullptr;
    }
    return Py_NewRef(value);
}

}  // namespace

Status stableTypes(StableTypes* out) {
    if (!loaded.function) {
        PyObject* names = convert::runScript(kScript);
        if (!names) return Status::pythonError;
        PyObject* function = item(names, "function");
        PyObject* method = function ? item(names, "method") : nullptr;
        PyObject* stable = method ? item(names, "stable") : nullptr;
        Py_DECREF(names);
        if (!stable) {
            Py_XDECREF(function);
            Py_XDECREF(method);
            return Status::pythonError;
        }
        // Releasing the namespace ran no code of ours, but a concurrent load on another
        // thread cannot happen: every caller holds the interpreter lock throughout.
        loaded = StableTypes{function, method, stable};
    }
    *out = loaded;
    return Status::ok;
}

PyObject* functionType() {
    StableTypes types;
    if (stableTypes(&types) != Status::ok) {
        PyErr_Clear();
        return nullptr;
    }
    return types.function;
}

int isPlainFunction(PyObject* o) {
    StableTypes types;
    if (stableTypes(&types) != Status::ok) return -1;
    return reinterpret_cast<PyObject*>(Py_TYPE(o)) == types.function ? 1 : 0;
}

int isStable(PyObject* o) {
    StableTypes types;
    if (stableTypes(&types) != Status::ok) return -1;
    return PyObject_IsInstance(o, types.stable);
}

bool isModuleAttr(PyObject* o, const char* module, const char* attribute) {
    PyObject* m = PyImport_ImportModule(module);
    if (!m) {
        PyErr_Clear();
        return false;
    }
    PyObject* value = PyObject_GetAttrString(m, attribute);
    Py_DECREF(m);
    if (!value) {
        PyErr_Clear();
        return false;
    }
    bool same = value == o;
    Py_DECREF(value);
    return same;
}

bool isBuiltin(PyObject* o, const char* name) { return isModuleAttr(o, "builtins", name); }

bool isIntFromBytes(PyObject* o) {
    PyObject* attribute = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type),
                                                 "from_bytes");
    if (!attribute) {
        PyErr_Clear();
        return false;
    }
    bool same = attribute == o;
    Py_DECREF(attribute);
    if (same) return true;
    PyObject* self = PyObject_GetAttrString(o, "__self__");
    if (!self) {
        PyErr_Clear();
        return false;
    }
    bool ofInt = self == reinterpret_cast<PyObject*>(&PyLong_Type);
    Py_DECREF(self);
    if (!ofInt) return false;
    PyObject* name = PyObject_GetAttrString(o, "__name__");
    if (!name) {
        PyErr_Clear();
        return false;
    }
    bool named = PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "from_bytes") == 0;
    Py_DECREF(name);
    return named;
}

}  // namespace wuna::front
