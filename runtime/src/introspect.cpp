// The tests' one way into the process-wide state (see introspect.h).
#include "wuna/runtime/introspect.h"

#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/value.h"

namespace wuna::runtime {

int32_t interpreterMinor = 0;

namespace {

// The Python mirror reads exactly this many entries of each table.
static_assert(helpers::kLibmCount == 21);
static_assert(helpers::kAsciiChars == 128);

// ---- Held values of the tests --------------------------------------------------------------

constexpr int kHeldSlots = 64;
value::Value held[kHeldSlots];
bool inUse[kHeldSlots];

// A record of an instance of a record class: its fields read by name (an unset slot stays
// unset). 1 with *out, 0 when o is no record, -1 with the exception.
int recordOf(PyObject* o, value::Value* out) {
    value::RecordClass* cls = nullptr;
    convert::Described d = convert::describeClass(reinterpret_cast<PyObject*>(Py_TYPE(o)), &cls);
    if (d == convert::Described::Failed) return -1;
    if (d == convert::Described::NotRecord) return 0;
    value::Record* r = value::newRecord(cls);
    if (!r) {
        PyErr_NoMemory();
        return -1;
    }
    value::Value record = value::Value::of(value::TagRecord, r);
    for (uint64_t i = 0; i < cls->fieldCount; i++) {
        PyObject* field = PyObject_GetAttrString(o, cls->fields[i].data);
        if (!field) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                continue;
            }
            value::decref(record);
            return -1;
        }
        value::Value v;
        int converted = convert::convert(field, true, &v);
        Py_DECREF(field);
        if (converted < 0) {
            value::decref(record);
            return -1;
        }
        value::Value old = r->fields()[i];
        r->fields()[i] = v;
        value::decref(old);
    }
    *out = record;
    return 1;
}

int testHold(PyObject* o, int freeze) {
    int slot = 0;
    while (slot < kHeldSlots && inUse[slot]) slot++;
    if (slot == kHeldSlots) {
        PyErr_SetString(PyExc_RuntimeError, "no free slot for a held value");
        return -1;
    }
    value::Value v;
    int made = recordOf(o, &v);
    if (made < 0 || (made == 0 && convert::convert(o, true, &v) < 0)) return -1;
    if (freeze && value::counted(v.tag)) value::makeImmortal(v.as<value::Obj>());
    held[slot] = v;
    inUse[slot] = true;
    return slot;
}

bool heldSlot(int slot) {
    if (slot >= 0 && slot < kHeldSlots && inUse[slot]) return true;
    PyErr_SetString(PyExc_IndexError, "no value is held in that slot");
    return false;
}

int testShow(int slot, PyObject* out) {
    if (!heldSlot(slot)) return -1;
    PyObject* o = convert::toPython(held[slot], convert::defaultContext());
    if (!o) return -1;
    int appended = PyList_Append(out, o);
    Py_DECREF(o);
    return appended;
}

int testDrop(int slot) {
    if (!heldSlot(slot)) return -1;
    value::Value v = held[slot];
    inUse[slot] = false;
    if (value::counted(v.tag) && value::immortal(v.as<value::Obj>())) v.as<value::Obj>()->count = 1;
    value::decref(v);
    return 0;
}

// Built on the first call, which may come before start-up: only addresses go in, and those
// are fixed when the library is loaded.
const WnIntrospection* record() {
    static const WnIntrospection made = {
        .version = kIntrospectionVersion,
        .reserved = 0,
        .interpreterMinor = &interpreterMinor,
        .sipRounds = &set::sip_rounds,
        .hashKey = set::hashKey,
        .noneHash = &set::noneHash,
        .libmReady = &helpers::libm_ready,
        .libmTable = helpers::libm_table,
        .emptyTuple = reinterpret_cast<void* const*>(&helpers::empty_tuple),
        .asciiChars = reinterpret_cast<void* const*>(helpers::ascii_chars),
        .poolCurrent = [] { return static_cast<void*>(pool::current()); },
        .liveBlocks = pool::liveBlocks,
        .testHold = testHold,
        .testShow = testShow,
        .testDrop = testDrop,
    };
    return &made;
}

}  // namespace

}  // namespace wuna::runtime

extern "C" const WnIntrospection* wn_introspect(void) { return wuna::runtime::record(); }
