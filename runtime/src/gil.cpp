// GIL records: taking the interpreter lock once per native run, the depth of Python work that
// is no crossing of the program, and the report-mode note of a run's first crossing.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/gil.h"

#include <cstring>

#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/pool.h"

namespace wuna::gil {

Record home{};

namespace {
thread_local Record mineRecord{};
thread_local Crossing mineCrossing{};

// Cuts a UTF-8 text to at most max bytes without splitting a character.
size_t cutUtf8(const char* text, size_t length, size_t max) {
    if (length <= max) return length;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    return n;
}

void noteCallee(Crossing* c, PyObject* callee) {
    // Reading the name must not disturb an exception on its way to the caller.
    PendingError pending;
    pending.take();
    PyObject* name = PyObject_GetAttrString(callee, "__qualname__");
    if (!name || !PyUnicode_Check(name)) {
        Py_XDECREF(name);
        PyErr_Clear();
        name = PyObject_GetAttrString(callee, "__name__");
    }
    if (name && PyUnicode_Check(name)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &length);
        if (text) {
            size_t n = cutUtf8(text, size_t(length), kNameMax);
            std::memcpy(c->name, text, n);
            c->nameLength = n;
        }
    }
    Py_XDECREF(name);
    PyErr_Clear();
    pending.restore();
}
}  // namespace

Record* mine() { return &mineRecord; }
Crossing* crossing() { return &mineCrossing; }

Record* claimed(uintptr_t id) {
    pool::mineLists();
    return id != 0 && id == pool::home_owner.load(std::memory_order_acquire) ? &home : &mineRecord;
}

Record* current() {
    uintptr_t id = pool::threadId();
    uintptr_t owner = pool::home_owner.load(std::memory_order_acquire);
    if (owner == id) return &home;
    if (owner != 0) return &mineRecord;
    return claimed(id);
}

void ensure(Record* r) {
    if (r->held) return;
    PyGILState_STATE state = PyGILState_Ensure();
    r->held = 1;
    r->ensures++;
    if (state == PyGILState_LOCKED) {
        // The thread held the lock already (Python calling into the runtime outside a native
        // run): nothing was taken, so nothing is left for a run's end to release, which could
        // only do so without holding the lock. The interpreter's count is given back at once.
        PyGILState_Release(state);
        return;
    }
    r->state = uint32_t(state);
    r->ensured = 1;
}

void slow(Record* r, const Location* where, uint64_t value, PyObject* callee) {
    ensure(r);
    if (!r->report || r->depth != 0 || r->recorded) return;
    Crossing* c = crossing();
    c->where = *where;
    c->value = value;
    c->callee = callee;
    c->nameLength = 0;
    c->flag = 0;
    if (callee) noteCallee(c, callee);
    r->recorded = 1;
}

PyThreadState* beginNative(Record* r, bool report) {
    r->report = report ? 1 : 0;
    r->recorded = 0;
    PyThreadState* saved = PyEval_SaveThread();
    r->held = 0;
    return saved;
}

void endNative(Record* r, PyThreadState* saved) {
    if (r->ensured) {
        r->held = 0;
        r->ensured = 0;
        PyGILState_Release(PyGILState_STATE(r->state));
    }
    PyEval_RestoreThread(saved);
}

}  // namespace wuna::gil
