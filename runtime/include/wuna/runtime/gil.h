// Each thread's GIL record: how runtime helpers take the interpreter lock at most once per
// native run, and where report mode notes the first place compiled code went through Python.
//
// Native code runs with the lock released. The first helper that needs Python takes it with
// PyGILState_Ensure and the thread keeps it until the run ends (the run's exit path releases
// it). Work that touches Python without being a crossing of the program raises the record's
// depth, so that only depth-0 crossings are recorded. The home pool's owner uses the static
// gil::home record, every other thread its thread-local one.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct _object PyObject;
typedef struct _ts PyThreadState;

namespace wuna::gil {

struct Record {
    uint64_t ensures;
    uint32_t state;  // what PyGILState_Ensure returned last
    uint32_t depth;
    uint8_t held;
    uint8_t ensured;
    uint8_t report;
    uint8_t recorded;
};

// Where in the runtime a crossing into Python happens.
struct Location {
    const char* root;
    const char* file;
    const char* function;
    uint32_t line;
    uint32_t column;
};

inline constexpr size_t kNameMax = 96;

// The thread's first crossing of a run in report mode.
struct Crossing {
    Location where;
    uint64_t nameLength;
    PyObject* callee;
    uint64_t value;
    char name[kNameMax];
    uint8_t flag;
};

extern Record home;
Record* mine();
Crossing* crossing();

// The calling thread's record, making it the home pool's owner when there is none yet.
Record* claimed(uintptr_t id);
// The record a Python operation of this thread uses.
Record* current();
// Takes the lock when the record does not hold it (it is then kept until the run ends). On a
// thread that holds the lock already, outside a native run, it only notes that it is held.
void ensure(Record* r);
// ensure, plus in report mode the run's first crossing at depth 0.
void slow(Record* r, const Location* where, uint64_t value, PyObject* callee);

// The usual frame of a Python operation: the lock taken, the depth raised while it runs.
inline Record* enter() {
    Record* r = current();
    ensure(r);
    r->depth++;
    return r;
}
inline void leave(Record* r) { r->depth--; }

// The native run protocol around compiled code: gives up the lock the caller holds;
// finish releases a lock taken during the run and takes the caller's state back.
PyThreadState* beginNative(Record* r, bool report);
void endNative(Record* r, PyThreadState* saved);

}  // namespace wuna::gil
