// Error kinds: names, parents, the Python class of each, and the wording of a pending Python
// exception as a runtime error. See errors.h.
#include "wuna/runtime/errors.h"

#include "wuna/runtime/pending_error.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/value.h"

namespace wuna::errors {

namespace {

constexpr uint8_t kNoParent = 0xff;

struct KindInfo {
    const char* name;
    uint8_t parent;
};

// Indexed by kind.
constexpr KindInfo kinds[kKindCount] = {
    {"BaseException", kNoParent},
    {"Exception", 0},
    {"ArithmeticError", 1},
    {"ZeroDivisionError", 2},
    {"OverflowError", 2},
    {"FloatingPointError", 2},
    {"LookupError", 1},
    {"IndexError", 6},
    {"KeyError", 6},
    {"ValueError", 1},
    {"UnicodeError", 9},
    {"UnicodeDecodeError", 10},
    {"UnicodeEncodeError", 10},
    {"TypeError", 1},
    {"AttributeError", 1},
    {"NameError", 1},
    {"UnboundLocalError", 15},
    {"RuntimeError", 1},
    {"RecursionError", 17},
    {"NotImplementedError", 17},
    {"AssertionError", 1},
    {"StopIteration", 1},
    {"BufferError", 1},
    {"IntegerOverflow", 2},
    {"Error", 1},
    {"Throw", 1},
    {"FrozenInstanceError", 14},
    {"error", 1},
    {"ParseError", 9},
    {"OSError", 1},
    {"FileNotFoundError", 29},
    {"FileExistsError", 29},
    {"IsADirectoryError", 29},
    {"NotADirectoryError", 29},
    {"PermissionError", 29},
    {"SystemExit", 0},
};

// The library classes, imported once and kept for the process (one reference each).
struct Imported {
    const char* module;
    const char* attribute;
    PyObject* cls;
};
Imported imported[] = {
    {"dataclasses", "FrozenInstanceError", nullptr},
    {"struct", "error", nullptr},
    {"pargo", "ParseError", nullptr},
};

// The class from its module, kept; null with no exception when the import fails (cleared,
// so that the next call tries again).
PyObject* importedClass(Imported& entry) {
    if (entry.cls) return entry.cls;
    PyObject* module = PyImport_ImportModule(entry.module);
    PyObject* cls = module ? PyObject_GetAttrString(module, entry.attribute) : nullptr;
    Py_XDECREF(module);
    if (!cls) {
        PyErr_Clear();
        return nullptr;
    }
    entry.cls = cls;
    return cls;
}

// One of the module's own classes, from the imported wuna module; borrowed, or null with no
// exception set. The module keeps its classes for the life of the process.
PyObject* moduleClass(const char* attribute) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* wuna = modules ? PyDict_GetItemString(modules, "wuna") : nullptr;
    if (!wuna) return nullptr;
    PyObject* cls = PyObject_GetAttrString(wuna, attribute);
    if (!cls) {
        PyErr_Clear();
        return nullptr;
    }
    // Borrowed from the module, which keeps it; the reference taken here is given back.
    Py_DECREF(cls);
    return cls;
}

std::string_view serviceKindName(uint32_t kind) { return name(Kind(kind)); }

// Exception values are named by their kinds (type names in texts) from program start.
[[maybe_unused]] const bool installed = (value::services.kindName = serviceKindName, true);

PyObject* builtinClass(const char* name) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* cls = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    return cls;
}

}  // namespace

std::string_view name(Kind kind) {
    uint32_t k = uint32_t(kind);
    return valid(k) ? kinds[k].name : kinds[0].name;
}

bool parent(Kind kind, Kind* out) {
    uint32_t k = uint32_t(kind);
    if (!valid(k) || kinds[k].parent == kNoParent) return false;
    *out = Kind(kinds[k].parent);
    return true;
}

bool isA(Kind kind, Kind ancestor) {
    Kind k = kind;
    for (;;) {
        if (k == ancestor) return true;
        if (!parent(k, &k)) return false;
    }
}

PyObject* pyClass(Kind kind) {
    switch (kind) {
    case Kind::IntegerOverflow:
        return runtime::hostApi.integerOverflow ? runtime::hostApi.integerOverflow
                                                : moduleClass("IntegerOverflow");
    case Kind::Error: return moduleClass("Error");
    case Kind::Throw: return moduleClass("Throw");
    case Kind::FrozenInstanceError: return importedClass(imported[0]);
    case Kind::StructError: return importedClass(imported[1]);
    case Kind::ParseError: return importedClass(imported[2]);
    default: break;
    }
    uint32_t k = uint32_t(kind);
    return builtinClass(valid(k) ? kinds[k].name : "BaseException");
}

namespace {

enum class Wording : uint8_t { Fixed, KeyRepr, Str };

struct MessageRule {
    PyObject* cls;
    Wording wording;
    const char* text;
};

PyObject* keyMessage(PyObject* value, const char* bare) {
    PyObject* args = PyObject_GetAttrString(value, "args");
    if (!args) return nullptr;
    PyObject* text = !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0
                         ? PyUnicode_FromString(bare)
                         : PyUnicode_FromFormat("%s: %R", bare, PyTuple_GET_ITEM(args, 0));
    Py_DECREF(args);
    return text;
}

PyObject* otherMessage(PyObject* kind, PyObject* value) {
    PyObject* name = PyObject_GetAttrString(kind, "__name__");
    if (!name) return nullptr;
    PyObject* text = PyUnicode_Check(name) ? PyUnicode_FromFormat("%U: %S", name, value) : nullptr;
    if (!text && !PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "an exception's __name__ must be a str");
    Py_DECREF(name);
    return text;
}

}  // namespace

PyObject* pendingMessage() {
    PendingError failure;
    failure.take();
    PyObject* value = failure.exception;
    PyObject* kind = value ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : nullptr;
    PyObject* overflow = pyClass(Kind::IntegerOverflow);
    // Matched in order, subclasses included; anything else reads "<class name>: <str()>".
    const MessageRule rules[] = {
        {overflow, Wording::Fixed, "integer overflow"},
        {PyExc_ZeroDivisionError, Wording::Fixed, "division by zero"},
        {PyExc_RecursionError, Wording::Fixed, "call stack too deep"},
        {PyExc_KeyError, Wording::KeyRepr, "key not found"},
        {PyExc_TypeError, Wording::Str, nullptr},
        {PyExc_IndexError, Wording::Str, nullptr},
        {PyExc_ValueError, Wording::Str, nullptr},
        {PyExc_AttributeError, Wording::Str, nullptr},
    };
    PyObject* text = nullptr;
    const MessageRule* found = nullptr;
    if (kind && value) {
        for (const MessageRule& rule : rules)
            if (rule.cls && PyErr_GivenExceptionMatches(kind, rule.cls)) {
                found = &rule;
                break;
            }
    }
    if (!kind || !value)
        text = PyUnicode_FromString("error");
    else if (!found)
        text = otherMessage(kind, value);
    else if (found->wording == Wording::Fixed)
        text = PyUnicode_FromString(found->text);
    else if (found->wording == Wording::KeyRepr)
        text = keyMessage(value, found->text);
    else
        text = PyObject_Str(value);
    failure.drop();
    return text;
}

}  // namespace wuna::errors
