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
// iterates as CPython's. The set CPython builds is made here the same way, and its layout is
// read back from its iteration order: the items' slots are found by replaying CPython's probe
// (a run of linear probes from the home slot, then jumps stirred by the hash's high bits) so
// that each item's probe passes only slots that hold items; an item is then inserted after
// every item whose slot its probe passes. Neither the frozenset's iteration order nor the
// order it was filled in will do in general: a probe that jumps from near the table's end can
// put an item in a lower slot than the item it collided with, and the frozenset may have been
// filled more than once (the compiler refills it when merging the code's constants, a .pyc
// refills it in another order). Items equal across types (1 and 1.0) are matched by type too:
// the frozenset holds only the first of them, and the others go after the matched ones. When
// the layout can't be read (a table filled some other way) permutations of the frozenset's
// order are tried; when nothing is found the frozenset's order is the answer for more than
// four items (it is right for the items' order, if not for every later insertion), and there
// is none for fewer.
constexpr char kScript[] = R"PY(
import ast
import heapq
import inspect
import itertools
import linecache
import struct
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


_MOST_TRIED = 5040
_MOST_STEPS = 100000
_LINEAR_PROBES = 9
_PERTURB_SHIFT = 5
_WORD = (1 << sys.hash_info.width) - 1
_ENTRY = 2 * struct.calcsize("P")
_SMALL_TABLE = 8


def _mask(s):
    # The table of a set is its object's size beyond an empty set's, or the small table inside.
    extra = sys.getsizeof(s) - sys.getsizeof(set())
    return (extra // _ENTRY if extra else _SMALL_TABLE) - 1


def _probes(h, mask):
    # The slots CPython's set looks at for hash h, in order, without end.
    perturb = h & _WORD
    i = perturb & mask
    while True:
        if i + _LINEAR_PROBES <= mask:
            yield from range(i, i + _LINEAR_PROBES + 1)
        else:
            yield i
        perturb >>= _PERTURB_SHIFT
        i = (i * 5 + 1 + perturb) & mask


def _choices(h, mask, owner, need, last, left):
    # The slots above last an item of hash h can take when the slots up to last are filled as
    # owner says, need holds the slots above last later items must fill, and left items come
    # after it: each with the slots its probe passes first, all of which must hold items.
    bound = min(need) if need else mask + 1
    passed = []
    low = mask + 1
    found = []
    for s in _probes(h, mask):
        if s in owner:
            passed.append(s)
            continue
        if s <= last:
            return found  # this slot stays empty: the probe would end there
        if s < low and s <= bound:
            later = {t for t in passed if t not in owner}
            if len((later | need) - {s}) <= left:
                found.append((s, list(passed)))
        low = min(low, s)
        if low <= last + 1:
            return found  # every slot a later choice could take is passed
        passed.append(s)


def _before(passes, owner):
    # An insertion order in which each item comes after the items in the slots its probe
    # passes, items in slot order where free to; None when they wait on each other.
    n = len(passes)
    after = [[] for _ in range(n)]
    waits = [0] * n
    for k, passed in enumerate(passes):
        for j in {owner[s] for s in passed}:
            after[j].append(k)
            waits[k] += 1
    ready = [k for k in range(n) if not waits[k]]
    heapq.heapify(ready)
    order = []
    while ready:
        k = heapq.heappop(ready)
        order.append(k)
        for m in after[k]:
            waits[m] -= 1
            if not waits[m]:
                heapq.heappush(ready, m)
    return order if len(order) == n else None


def _filling(live, mask):
    # An order of indices into live (a table's items in slot order) whose insertion into an
    # empty table of mask + 1 slots lays the items out as that table, or None. The items get
    # rising slots in live's order, each on its probe, a search that backs up when a choice
    # leaves no slot for a later item; explicit frames keep a long display off the stack.
    n = len(live)
    hashes = [hash(x) for x in live]
    owner = {}
    need = set()
    passes = [None] * n
    undo = []
    frames = [iter(_choices(hashes[0], mask, owner, need, -1, n - 1))]
    steps = 0
    while frames:
        k = len(frames) - 1
        if len(undo) > k:
            s, added, needed = undo.pop()
            del owner[s]
            need -= added
            if needed:
                need.add(s)
        choice = next(frames[-1], None)
        if choice is None:
            frames.pop()
            continue
        steps += 1
        if steps > _MOST_STEPS:
            return None
        s, passed = choice
        added = {t for t in passed if t not in owner} - need
        needed = s in need
        need |= added
        need.discard(s)
        owner[s] = k
        passes[k] = passed
        undo.append((s, added, needed))
        if k + 1 < n:
            frames.append(iter(_choices(hashes[k + 1], mask, owner, need, s, n - k - 2)))
            continue
        if not need:
            order = _before(passes, owner)
            if order is not None:
                return order
    return None


def _candidates(vals, target, first):
    # The order read from the layout of the set CPython builds, then the fallbacks.
    built = list(target)
    inorder = _match(built, vals)
    if inorder is not None:
        order = _filling(built, _mask(target))
        if order is not None:
            yield [inorder[k] for k in order]
    yield first
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
        for t in _candidates(vals, target, first):
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
