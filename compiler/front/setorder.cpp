// The order of a folded set display (see setorder.h): the literal test in C++, the search of
// the code's frozensets in a Python script kept for the life of the process.
#include "compiler/front/setorder.h"

#include <cstring>

namespace wuna::front {

namespace {

// Run once per process into a fresh module dict. folded_order(func, elts) gives a list of
// len(elts) indices, or None when no frozenset of func's code holds the display's values.
//
// With more than four items CPython copies the frozenset into a smaller table, inserting its
// items in the frozenset's iteration order, so that order is the answer. With up to four it
// copies the table slot for slot, so the answer must be an insertion order whose own frozenset
// iterates the same; the frozenset's order usually is one, else a permutation is looked for.
// Items equal across types (1 and 1.0) are matched by type too: the frozenset holds only the
// first of them, and the others go after the matched ones.
constexpr char kScript[] = R"PY(
import ast
import itertools


def _frozensets(code):
    for c in code.co_consts:
        if isinstance(c, frozenset):
            yield c
        elif hasattr(c, "co_consts"):
            yield from _frozensets(c)


def _same(a, b):
    return len(a) == len(b) and all(type(x) is type(y) and x == y for x, y in zip(a, b))


def _match(live, vals):
    used = set()
    first = []
    for x in live:
        for i, v in enumerate(vals):
            if i not in used and type(v) is type(x) and v == x:
                used.add(i)
                first.append(i)
                break
        else:
            return None
    return first


def folded_order(func, elts):
    vals = [ast.literal_eval(e) for e in elts]
    want = frozenset(vals)
    for c in _frozensets(func.__code__):
        if c != want:
            continue
        live = list(c)
        first = _match(live, vals)
        if first is None:
            continue
        rest = [i for i in range(len(vals)) if i not in first]
        if len(first) > 4:
            return first + rest
        for t in itertools.chain([tuple(first)], itertools.permutations(first)):
            if _same(list(frozenset(vals[i] for i in t)), live):
                return list(t) + rest
    return None
)PY";

// The script's globals, kept once loaded; empty until a load succeeds, so a failed load is
// tried again by the next display.
PyObject* scriptGlobals = nullptr;

// Borrowed reference to folded_order, or null with a Python exception.
PyObject* foldedOrderFunction() {
    if (!scriptGlobals) {
        PyObject* globals = PyDict_New();
        if (!globals) return nullptr;
        if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
            Py_DECREF(globals);
            return nullptr;
        }
        PyObject* result = PyRun_String(kScript, Py_file_input, globals, globals);
        if (!result) {
            Py_DECREF(globals);
            return nullptr;
        }
        Py_DECREF(result);
        // Running the script imported modules, which can run Python; another display may have
        // loaded the script meanwhile, so keep the first dict and drop this one.
        if (scriptGlobals) {
            Py_DECREF(globals);
        } else {
            scriptGlobals = globals;
        }
    }
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
