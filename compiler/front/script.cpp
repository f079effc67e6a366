// The front end's stored script: the Python it runs while reading functions, loaded once per
// process and kept.
#include "compiler/front/script.h"

namespace wuna::front {

namespace {

// source_of(f) gives the source of a function, frozen modules included (inspect cannot read
// those by itself), or raises OSError or TypeError when there is none.
//
// folded_order(func, elts) gives a list of len(elts) indices, or None when no frozenset of
// func's code holds the display's values.
//
// With more than four items CPython copies the frozenset into a smaller table, inserting its
// items in the frozenset's iteration order, so that order is the answer. With up to four it
// copies the table slot for slot, so the answer must be an insertion order whose own frozenset
// iterates the same; the frozenset's order usually is one, else a permutation is looked for.
// Items equal across types (1 and 1.0) are matched by type too: the frozenset holds only the
// first of them, and the others go after the matched ones.
constexpr char kScript[] = R"PY(
import ast
import inspect
import itertools
import linecache
import sys


def source_of(f):
    try:
        return inspect.getsource(f)
    except OSError:
        code = getattr(f, '__code__', None)
        name = code.co_filename if code is not None else ''
        if name.startswith('<frozen ') and name.endswith('>'):
            module = sys.modules.get(name[8:-1])
            path = getattr(module, '__file__', None)
            lines = linecache.getlines(path) if path else []
            if len(lines) >= code.co_firstlineno:
                return ''.join(inspect.getblock(lines[code.co_firstlineno - 1:]))
        raise


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

PyObject* scriptGlobals = nullptr;  // kept for the life of the process

}  // namespace

PyObject* storedScript() {
    if (scriptGlobals) return scriptGlobals;
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
    // Running the script ran Python code, which may have read a function and so set the slot.
    if (scriptGlobals) {
        Py_DECREF(globals);
        return scriptGlobals;
    }
    scriptGlobals = globals;
    return scriptGlobals;
}

}  // namespace wuna::front
