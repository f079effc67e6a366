// The Registrar type and registration of a semantic or host function (see language/registrar.h).
#include "host/language/registrar.h"

#include "host/language/language.h"
#include "host/module/exceptions.h"
#include "host/module/type_registry.h"
#include "wuna/runtime/args.h"
#include "host/support/pymethods.h"
#include "wuna/runtime/pending_error.h"

namespace wuna::host {

namespace {

RegistrarObject* asRegistrar(PyObject* self) { return reinterpret_cast<RegistrarObject*>(self); }

// Registrar(): no arguments, bound to no language.
PyObject* registrarNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (args::takesNothing("Registrar", args, kwargs) < 0) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self) asRegistrar(self)->native = true;
    return self;
}

// A registrar kept by a semantic it registered (a closure, an attribute of the language)
// closes a cycle through its language, so the collector must see what it holds.
int registrarTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(asRegistrar(self)->language);
    Py_VISIT(asRegistrar(self)->kind);
    return 0;
}

int registrarClear(PyObject* self) {
    Py_CLEAR(asRegistrar(self)->language);
    Py_CLEAR(asRegistrar(self)->kind);
    return 0;
}

PyObject* registrarRepr(PyObject*) { return PyUnicode_FromString("Registrar()"); }

// Reads fn with the front end; a refusal in a language that is not strict becomes fn's
// reason to run as Python. 0, or -1 with the exception that stops the registration.
int readSemantic(LanguageObject* language, PyObject* fn) {
    if (frontCheck(language, fn) == 0) return 0;
    if (language->strict || !PyErr_ExceptionMatches(compileErrorClass)) return -1;
    PendingError refusal;
    refusal.take();
    PyObject* reason = refusal.exception ? PyObject_Str(refusal.exception) : nullptr;
    refusal.drop();
    if (!reason) return -1;
    // Making the error read fn's attributes, which may run code that emptied the language:
    // a reason kept there now would outlive the language's data.
    if (!languageOf(reinterpret_cast<PyObject*>(language))) {
        Py_DECREF(reason);
        return -1;
    }
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(reason, &length);
    int kept = text ? keepWhy(language, fn, text, size_t(length)) : -1;
    Py_DECREF(reason);
    return kept;
}

// The plain strs to store fn under: a tuple of its own (the caller's sequence may change
// while the dict hashes and compares, which may run Python code) of exactStr keys. The
// sequence was checked when the registrar was made, but it is the caller's and may have
// changed since: its items are checked again, so that a failed registration stores nothing.
// New reference, or null with the exception.
PyObject* kindKeys(PyObject* kind) {
    if (PyUnicode_Check(kind)) {
        PyObject* key = exactStr(kind);
        PyObject* keys = key ? PyTuple_Pack(1, key) : nullptr;
        Py_XDECREF(key);
        return keys;
    }
    PyObject* items = PySequence_Fast(kind, "a kind is a str or a list of them");
    if (!items) return nullptr;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
    PyObject* keys = PyTuple_New(count);
    // Nothing below runs Python code: the items are read while the sequence is unchanged.
    for (Py_ssize_t i = 0; keys && i < count; i++) {
        PyObject* item = PySequence_Fast_GET_ITEM(items, i);
        if (!PyUnicode_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "a kind is a str or a list of them");
            Py_CLEAR(keys);
            break;
        }
        PyObject* key = exactStr(item);
        if (!key)
            Py_CLEAR(keys);
        else
            PyTuple_SET_ITEM(keys, i, key);
    }
    Py_DECREF(items);
    return keys;
}

int storeSemantic(PyObject* dict, PyObject* kind, PyObject* fn) {
    PyObject* keys = kindKeys(kind);
    if (!keys) return -1;
    int result = 0;
    for (Py_ssize_t i = 0; result == 0 && i < PyTuple_GET_SIZE(keys); i++)
        result = PyDict_SetItem(dict, PyTuple_GET_ITEM(keys, i), fn);
    Py_DECREF(keys);
    return result;
}

PyObject* registrarCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    RegistrarObject* registrar = asRegistrar(self);
    if ((args ? PyTuple_GET_SIZE(args) : 0) != 1 || (kwargs && PyDict_GET_SIZE(kwargs))) {
        PyErr_SetString(PyExc_TypeError, "WrongArgumentCount");
        return nullptr;
    }
    PyObject* fn = PyTuple_GET_ITEM(args, 0);
    if (!registrar->language) {
        PyErr_SetString(PyExc_TypeError,
                        "this Registrar is bound to no language: lang.eval(kind), "
                        "lang.exec(kind) and lang.host(name) make the ones that register");
        return nullptr;
    }
    LanguageObject* language = languageOf(registrar->language);
    if (!language) return nullptr;
    if (registrar->table == RegistrarTable::host) {
        if (addHost(language, registrar->kind, fn) < 0) return nullptr;
        return Py_NewRef(fn);
    }
    if (!PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "semantics must be callable: fn(node, rt)");
        return nullptr;
    }
    if (registrar->native) {
        if (readSemantic(language, fn) < 0) return nullptr;
        // Reading the function runs Python code, which may have emptied the language.
        if (!(language = languageOf(registrar->language))) return nullptr;
    } else if (language->strict) {
        PyErr_SetString(compileErrorClass,
                        "strict: a semantic marked native=False (it would run in Python)");
        return nullptr;
    } else {
        static constexpr char kMarked[] = "native=False";
        if (keepWhy(language, fn, kMarked, sizeof kMarked - 1) < 0) return nullptr;
    }
    // The kind tables are marked out of date before the stores (one failing part way leaves
    // the dict changed) and after them (code a store runs, a kind sequence's own, may have
    // rebuilt them, or emptied the language: hence the dict is held).
    language->kindTablesBuilt = 0;
    PyObject* dict =
        Py_NewRef(registrar->table == RegistrarTable::eval ? language->evals : language->execs);
    int stored = storeSemantic(dict, registrar->kind, fn);
    Py_DECREF(dict);
    language->kindTablesBuilt = 0;
    return stored < 0 ? nullptr : Py_NewRef(fn);
}

PyType_Slot registrarSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(registrarNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(heapDealloc<registrarClear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(registrarTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(registrarClear)},
    {Py_tp_call, reinterpret_cast<void*>(registrarCall)},
    {Py_tp_repr, reinterpret_cast<void*>(registrarRepr)},
    {Py_tp_doc, const_cast<char*>("A decorator registering the function it decorates.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec registrarSpec = {"wuna.Registrar", int(sizeof(RegistrarObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                             registrarSlots};

PyObject* newRegistrar(PyObject* language, PyObject* kind, RegistrarTable table, bool native) {
    PyObject* self = registrarType->tp_alloc(registrarType, 0);
    if (!self) return nullptr;
    RegistrarObject* registrar = asRegistrar(self);
    registrar->language = Py_NewRef(language);
    registrar->kind = Py_NewRef(kind);
    registrar->table = table;
    registrar->native = native;
    return self;
}

}  // namespace wuna::host
