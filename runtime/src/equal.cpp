// Equality and truth of values, the classification of Python objects, and the thread's fault
// record (see equal.h). Hashing is in hash.cpp, the set table in set.cpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include "wuna/runtime/equal.h"

#include "wuna/runtime/gil.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"

namespace wuna::value {

namespace {

thread_local Fault fault{};
thread_local uint32_t nesting = 0;
// The lowest stack address nesting may reach on this thread (its stack's end plus a margin
// for the Python code an item's __eq__ may run); 0 until first read.
thread_local uintptr_t stackFloor = 0;

// Room kept free below the deepest level followed.
constexpr uintptr_t kStackMargin = 128 * 1024;

uintptr_t readStackFloor() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
    void* low = nullptr;
    size_t size = 0;
    int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    // Without the stack's bounds only the level count limits nesting.
    if (failed) return 1;
    return uintptr_t(low) + kStackMargin;
}

constexpr gil::Location kHostEqual{"runtime", "runtime/src/equal.cpp", "hostEqual", 0, 0};
constexpr gil::Location kHostKind{"runtime", "runtime/src/equal.cpp", "hostKind", 0, 0};
constexpr gil::Location kTruthy{"runtime", "runtime/src/equal.cpp", "truthy", 0, 0};
constexpr gil::Location kRecordObject{"runtime", "runtime/src/equal.cpp", "valueRecordObject", 0,
                                      0};

// Rule of a float against a small int: equal only when the float is integral and inside the
// 64-bit range, so 2**63 - 1 is not equal to 2.0**63 (which lies just outside).
bool floatEqualsInt(double d, int64_t i) {
    int64_t n;
    return floatAsI64(d, &n) && n == i;
}

bool scalarsEqual(const Scalar& x, const Scalar& y) {
    if (x.kind == ScalarKind::integer && y.kind == ScalarKind::integer)
        return x.integer == y.integer;
    if (x.kind == ScalarKind::integer && y.kind == ScalarKind::real)
        return floatEqualsInt(y.real, x.integer);
    if (x.kind == ScalarKind::real && y.kind == ScalarKind::integer)
        return floatEqualsInt(x.real, y.integer);
    if (x.kind == ScalarKind::real && y.kind == ScalarKind::real) return x.real == y.real;
    if (x.kind == ScalarKind::text && y.kind == ScalarKind::text)
        return x.length == y.length && std::memcmp(x.text, y.text, x.length) == 0;
    return false;
}

// A side of a Python comparison as a Python object (new reference), or null when it has none
// (the pair is then unequal). The lock is held. A comparing record is offered as its proxy;
// a failure to make one is the run's failure, noted.
PyObject* comparable(Value v) {
    if (v.tag != TagRecord || !v.as<Record>()->cls->eq) return scalarObject(v);
    if (!services.recordObject) return nullptr;
    claimLock(&kRecordObject);
    PyObject* o = services.recordObject(v.as<Record>());
    if (!o) notePythonFault();
    return o;
}

bool itemsEqual(const Value* xs, const Value* ys, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (!equal(xs[i], ys[i])) return false;
    return true;
}

bool dictsEqual(Dict* x, Dict* y) {
    if (x->length != y->length) return false;
    for (uint64_t i = 0; i < x->used; i++) {
        DictEntry& e = x->entries[i];
        if (e.key.tag == TagDeleted) continue;
        Value other;
        if (!dictGet(y, e.key, &other) || !equal(e.value, other)) return false;
        // The comparison may have run Python that removed entries from x: its length and
        // entries are read again on the next round, and a fault ends the walk.
        if (faulted()) return false;
    }
    return true;
}

// Two containers of the same tag, one nesting level down.
bool contentsEqual(Value a, Value b) {
    switch (a.tag) {
    case TagList: {
        List *x = a.as<List>(), *y = b.as<List>();
        return x->count == y->count && itemsEqual(x->items, y->items, x->count);
    }
    case TagTuple: {
        Tuple *x = a.as<Tuple>(), *y = b.as<Tuple>();
        return x->count == y->count && itemsEqual(x->items(), y->items(), x->count);
    }
    case TagRecord: {
        Record *x = a.as<Record>(), *y = b.as<Record>();
        // A class without eq compares by identity (the same block was answered before).
        if (x->cls != y->cls || !x->cls->eq) return false;
        return itemsEqual(x->fields(), y->fields(), x->cls->fieldCount);
    }
    case TagSet: {
        Set *x = a.as<Set>(), *y = b.as<Set>();
        return x->used == y->used && set::isSubset(x, y);
    }
    case TagDict: return dictsEqual(a.as<Dict>(), b.as<Dict>());
    default: return false;
    }
}

// A native tuple or list against a Python object: equal to a Python tuple or list (exactly
// that type, as Python's own == of the two kinds) of equal items. Python's items are borrowed
// for the comparison; the lock is held.
bool sequenceEqual(Value native, PyObject* o) {
    bool isTuple = native.tag == TagTuple;
    if (isTuple ? !PyTuple_CheckExact(o) : !PyList_CheckExact(o)) return false;
    uint64_t n = isTuple ? native.as<Tuple>()->count : native.as<List>()->count;
    if (uint64_t(PySequence_Fast_GET_SIZE(o)) != n) return false;
    if (!enterNested(kCompareTooDeep)) return false;
    bool same = true;
    for (uint64_t i = 0; i < n && same; i++) {
        // A Python __eq__ run by an item may have shortened the list: its size is read again.
        if (uint64_t(PySequence_Fast_GET_SIZE(o)) <= i) {
            same = false;
            break;
        }
        Value mine = isTuple ? native.as<Tuple>()->items()[i] : native.as<List>()->items[i];
        PyObject* item = PySequence_Fast_GET_ITEM(o, Py_ssize_t(i));
        Py_INCREF(item);
        same = equal(mine, Value::of(TagPy, item));
        Py_DECREF(item);
    }
    leaveNested();
    return same;
}

bool isContainer(uint64_t tag) {
    return tag == TagList || tag == TagTuple || tag == TagRecord || tag == TagSet || tag == TagDict;
}

}  // namespace

// ---- The fault record ---------------------------------------------------------------------------

bool faulted() { return fault.kind != FaultKind::none; }

void notePythonFault() {
    PendingError pending;
    pending.take();
    if (fault.kind != FaultKind::none || !pending.exception) {
        pending.drop();
        return;
    }
    fault = Fault{FaultKind::python, pending.exception, nullptr};
}

void noteTooDeep(const char* text) {
    if (fault.kind != FaultKind::none) return;
    fault = Fault{FaultKind::tooDeep, nullptr, text};
}

Fault takeFault() {
    Fault taken = fault;
    fault = Fault{};
    return taken;
}

bool raiseFault() {
    Fault taken = takeFault();
    switch (taken.kind) {
    case FaultKind::python: {
        PendingError pending{taken.exception};
        pending.restore();
        return true;
    }
    case FaultKind::tooDeep: PyErr_SetString(PyExc_RecursionError, taken.text); return true;
    case FaultKind::none: return false;
    }
    return false;
}

void clearFault() {
    Fault taken = takeFault();
    if (!taken.exception) return;
    gil::Record* r = gil::enter();
    Py_DECREF(taken.exception);
    gil::leave(r);
}

bool enterNested(const char* text) {
    // A thread with a small stack (a worker, a run that stayed on its caller's thread) meets
    // its stack's end before the level limit; both end the walk the same way.
    if (!stackFloor) stackFloor = readStackFloor();
    // The frame's address, not a local's: under the address sanitizer locals may live in
    // frames on the heap, far from the thread's stack.
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (nesting >= kNestingLimit || here < stackFloor) {
        noteTooDeep(text);
        return false;
    }
    nesting++;
    return true;
}

void leaveNested() { nesting--; }

gil::Record* claimLock(const gil::Location* where) {
    gil::Record* r = gil::current();
    if (!r->held || r->report) gil::slow(r, where, 0, nullptr);
    return r;
}

// ---- Python objects ---------------------------------------------------------------------------

HostKind hostKind(PyObject* o) {
    claimLock(&kHostKind);
    PyTypeObject* t = Py_TYPE(o);
    if (PyType_IsSubtype(t, &PyLong_Type)) return HostKind::integer;
    if (PyType_IsSubtype(t, &PyFloat_Type)) return HostKind::real;
    if (PyType_IsSubtype(t, &PyUnicode_Type)) return HostKind::text;
    if (t->tp_hash != PyBaseObject_Type.tp_hash) return HostKind::custom;
    if (t->tp_richcompare != PyBaseObject_Type.tp_richcompare) return HostKind::custom;
    return HostKind::plain;
}

Scalar hostScalar(Value v) {
    Scalar s{ScalarKind::other, 0, 0.0, nullptr, 0};
    switch (v.tag) {
    case TagBool:
    case TagInt:
    case TagPint:
        s.kind = ScalarKind::integer;
        s.integer = int64_t(v.payload);
        return s;
    case TagFloat:
        s.kind = ScalarKind::real;
        s.real = asDouble(v.payload);
        return s;
    case TagStr:
        s.kind = ScalarKind::text;
        s.text = v.as<Str>()->bytes();
        s.length = size_t(v.as<Str>()->length);
        return s;
    case TagPy: break;
    default: return s;
    }
    PyObject* o = v.as<PyObject>();
    switch (hostKind(o)) {
    case HostKind::integer: {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (x == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return s;
        }
        if (overflow) return s;
        s.kind = ScalarKind::integer;
        s.integer = x;
        return s;
    }
    case HostKind::real: {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return s;
        }
        s.kind = ScalarKind::real;
        s.real = d;
        return s;
    }
    case HostKind::text: {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(o, &length);
        if (!text) {
            // Lone surrogates have no UTF-8: the object is compared by Python instead.
            PyErr_Clear();
            return s;
        }
        s.kind = ScalarKind::text;
        s.text = reinterpret_cast<const uint8_t*>(text);
        s.length = size_t(length);
        return s;
    }
    default: return s;
    }
}

namespace {
// A Python int of an i128 (new reference), or null with an exception.
PyObject* wideObject(i128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) return PyLong_FromLongLong((long long)v);
    PyObject* high = PyLong_FromLongLong((long long)(v >> 64));
    PyObject* shift = high ? PyLong_FromLong(64) : nullptr;
    PyObject* shifted = shift ? PyNumber_Lshift(high, shift) : nullptr;
    PyObject* low =
        shifted ? PyLong_FromUnsignedLongLong((unsigned long long)uint64_t(v)) : nullptr;
    PyObject* whole = low ? PyNumber_Or(shifted, low) : nullptr;
    Py_XDECREF(low);
    Py_XDECREF(shifted);
    Py_XDECREF(shift);
    Py_XDECREF(high);
    return whole;
}
}  // namespace

PyObject* scalarObject(Value v) {
    PyObject* o = nullptr;
    switch (v.tag) {
    case TagNone: return Py_NewRef(Py_None);
    case TagBool: return Py_NewRef(v.payload ? Py_True : Py_False);
    case TagInt:
    case TagPint: o = PyLong_FromLongLong((long long)int64_t(v.payload)); break;
    case TagBig: o = wideObject(v.as<Big>()->get()); break;
    case TagFloat: o = PyFloat_FromDouble(asDouble(v.payload)); break;
    case TagStr: {
        // A str block holding surrogates (from a Python str that had them) keeps them.
        Str* s = v.as<Str>();
        o = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s->bytes()), Py_ssize_t(s->length),
                                 "surrogatepass");
        break;
    }
    case TagBytes: {
        // Bytes compare by contents with Python's bytes, as with each other.
        Bytes* b = v.as<Bytes>();
        o = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data),
                                      Py_ssize_t(b->length));
        break;
    }
    case TagPy: return Py_NewRef(v.as<PyObject>());
    default: return nullptr;
    }
    if (!o) PyErr_Clear();
    return o;
}

bool hostEqual(Value a, Value b) {
    if (a.tag == TagPy && b.tag == TagPy && a.payload == b.payload) return true;
    claimLock(&kHostEqual);
    Scalar x = hostScalar(a), y = hostScalar(b);
    if (x.kind != ScalarKind::other && y.kind != ScalarKind::other) return scalarsEqual(x, y);
    bool aSequence = a.tag == TagTuple || a.tag == TagList;
    bool bSequence = b.tag == TagTuple || b.tag == TagList;
    if (aSequence && b.tag == TagPy) return sequenceEqual(a, b.as<PyObject>());
    if (bSequence && a.tag == TagPy) return sequenceEqual(b, a.as<PyObject>());
    PyObject* left = comparable(a);
    PyObject* right = left ? comparable(b) : nullptr;
    int answer = 0;
    if (left && right) {
        answer = PyObject_RichCompareBool(left, right, Py_EQ);
        // A raising __eq__ fails the run, as it does in the reference mode.
        if (answer < 0) notePythonFault();
    }
    Py_XDECREF(right);
    Py_XDECREF(left);
    return answer == 1;
}

// ---- Equality and truth ---------------------------------------------------------------------

bool equal(Value a, Value b) {
    if (smallIntTag(a.tag) && smallIntTag(b.tag)) return a.payload == b.payload;
    if (a.tag == TagBig || b.tag == TagBig) {
        Value big = a.tag == TagBig ? a : b, other = a.tag == TagBig ? b : a;
        i128 x = big.as<Big>()->get(), y;
        if (wide(other, &y)) return x == y;
        if (other.tag == TagFloat) return floatAsI128(asDouble(other.payload), &y) && x == y;
        if (other.tag == TagPy) return hostEqual(a, b);
        return false;
    }
    if (a.tag == TagFloat && smallIntTag(b.tag))
        return floatEqualsInt(asDouble(a.payload), b.payload);
    if (b.tag == TagFloat && smallIntTag(a.tag))
        return floatEqualsInt(asDouble(b.payload), a.payload);
    if (a.tag == TagFloat && b.tag == TagFloat) return asDouble(a.payload) == asDouble(b.payload);
    if (a.tag == TagPy || b.tag == TagPy) return hostEqual(a, b);
    if (a.tag != b.tag) return false;
    switch (a.tag) {
    case TagNone: return true;
    case TagStr: {
        Str *x = a.as<Str>(), *y = b.as<Str>();
        return x == y ||
               (x->length == y->length && std::memcmp(x->bytes(), y->bytes(), x->length) == 0);
    }
    case TagBytes: {
        Bytes *x = a.as<Bytes>(), *y = b.as<Bytes>();
        return x == y || (x->length == y->length &&
                          (x->length == 0 || std::memcmp(x->data, y->data, x->length) == 0));
    }
    case TagNode: {
        Node *x = a.as<Node>(), *y = b.as<Node>();
        return x->holder == y->holder && x->index == y->index;
    }
    default: break;
    }
    if (!isContainer(a.tag)) return a.payload == b.payload;
    // The same container is equal to itself, as Python's identity shortcut makes it.
    if (a.payload == b.payload) return true;
    if (!enterNested(kCompareTooDeep)) return false;
    bool same = contentsEqual(a, b);
    leaveNested();
    return same;
}

bool truthy(Value v) {
    switch (v.tag) {
    case TagNone: return false;
    case TagBool:
    case TagInt:
    case TagPint: return v.payload != 0;
    case TagFloat: return asDouble(v.payload) != 0.0;
    case TagStr: return v.as<Str>()->length != 0;
    case TagList: return v.as<List>()->count != 0;
    case TagTuple: return v.as<Tuple>()->count != 0;
    case TagDict: return v.as<Dict>()->length != 0;
    case TagSet: return v.as<Set>()->used != 0;
    case TagBytes: return v.as<Bytes>()->length != 0;
    case TagPy: {
        claimLock(&kTruthy);
        int answer = PyObject_IsTrue(v.as<PyObject>());
        // A raising __bool__ (or __len__) fails the run instead of counting as false.
        if (answer < 0) notePythonFault();
        return answer == 1;
    }
    default: return true;
    }
}

}  // namespace wuna::value
