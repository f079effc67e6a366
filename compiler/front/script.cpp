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
// At run time CPython builds the display by updating an empty set from the frozenset; the
// runtime builds it by inserting the items in the given order into a table sized for all of
// them at once. An order is right when the set it builds has the same size of table and
// iterates as CPython's. With five to seven items CPython's copy is a smaller table than the
// frozenset's, filled in the frozenset's iteration order, so that order is right. With up to
// four, or eight and more, the copy is the frozenset's table slot for slot, and the order must
// lay the table out as the frozenset's was: the frozenset's order usually does (when no two
// items collide); else the order the frozenset was filled in is replayed, growth included
// (each growth refills the table in its order then, and the compiler may fill a second
// frozenset from the first one's order); else permutations are tried. Items equal
// across types (1 and 1.0) are matched by type too: the frozenset holds only the first of
// them, and the others go after the matched ones. When nothing is found the frozenset's order
// is the answer for more than four items (it is right for the items' order, if not for every
// later insertion), and there is none for fewer.
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


def _built(vals, order):
    s = set()
    s.update(dict.fromkeys(vals[i] for i in order))
    return s


def _replayed(vals, order):
    table = set()
    size = sys.getsizeof(table)
    filled = []
    for i in order:
        before = len(table)
        table.add(vals[i])
        if len(table) == before:
            continue
        filled.append(i)
        if sys.getsizeof(table) != size:
            size = sys.getsizeof(table)
            again = _match(list(table), [vals[j] for j in filled])
            filled = [filled[k] for k in again]
    return filled


_MOST_TRIED = 5040


def _refills(vals):
    # CPython's compiler fills the frozenset in source order, and may fill it again from the
    # first one's iteration order when it merges the code's constants.
    order = list(range(len(vals)))
    for _ in range(3):
        yield _replayed(vals, order)
        order = _match(list(frozenset(vals[i] for i in order)), vals)
        if order is None:
            return


def _candidates(vals, first):
    yield first
    yield from _refills(vals)
    yield from itertools.islice(itertools.permutations(first), _MOST_TRIED)


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
        target = set()
        target.update(c)
        built = list(target)
        for t in _candidates(vals, first):
            s = _built(vals, list(t) + rest)
            if _same(list(s), built) and sys.getsizeof(s) == sys.getsizeof(target):
                return list(t) + rest
        if len(first) > 4:
            return first + rest
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
