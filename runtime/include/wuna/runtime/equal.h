// Equality, hashing and truth where Python takes part, and the failures they can meet.
//
// value::equal, value::hashOf and value::truthy (value.h) answer Python's ==, a hash and
// Python's truth for native values without Python for scalars, str and containers. A Python
// object (tag 10), or a record whose class compares, is judged through the interpreter: the
// classification here (hostKind, hostScalar) keeps ints, floats and strs that live in Python
// objects on the native path, and anything else is compared with the interpreter's own ==.
//
// Those operations answer plain values because dict and set tables call them in their inner
// loops. When one cannot answer honestly - a Python __eq__, __hash__ or __bool__ raised, or
// containers nest deeper than the native stack may follow - it notes the failure in the
// calling thread's fault record and answers a neutral value (unequal, false, a fixed hash).
// The caller that reports failures (a helper with the run's context, a Python-facing entry)
// checks faulted() after the operation and takes the failure as the run's. Nothing is left
// pending in the interpreter meanwhile, so Python called in between never trips on it. The
// first failure wins; later ones are dropped until the record is taken or cleared.
//
// Everything that touches Python takes the lock through the thread's GIL record and keeps it
// until the native run ends (gil.h); with report mode on, the first such crossing of a run is
// noted under the operation's own location.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::value {

// How deep equality, hashing and the hashable test follow nested containers before they
// give up with Python's RecursionError. A thread whose stack ends sooner (less than its last
// 128 KiB left) gives up there instead.
inline constexpr uint32_t kNestingLimit = 10000;

// ---- The fault record -----------------------------------------------------------------------

enum class FaultKind : uint8_t {
    none,
    python,   // a Python exception, held in the record
    tooDeep,  // nesting past kNestingLimit; RecursionError with the record's text
};

struct Fault {
    FaultKind kind;
    PyObject* exception;  // owned; only for FaultKind::python
    const char* text;     // static; only for FaultKind::tooDeep
};

// Whether the calling thread has a failure noted and not yet taken. No lock needed.
bool faulted();
// Moves the pending Python exception into the record (dropped when one is noted already).
// The interpreter lock must be held; afterwards no exception is pending.
void notePythonFault();
// Notes a nesting failure with a static RecursionError text. No lock needed.
void noteTooDeep(const char* text);
// Takes the record's failure out, leaving it empty; the caller owns the exception.
Fault takeFault();
// Makes the noted failure the pending Python exception (a RecursionError for nesting) and
// empties the record. The interpreter lock must be held. True when there was a failure to
// raise; false with nothing pending otherwise.
bool raiseFault();
// Forgets a noted failure (takes the lock when an exception must be released).
void clearFault();

// One more level of nested containers for the calling thread: false, with the failure noted
// under the RecursionError text, when the level would pass kNestingLimit. Every true is
// matched by leaveNested.
bool enterNested(const char* text);
void leaveNested();

// The RecursionError texts of comparing and of hashing too deeply nested values.
inline constexpr const char* kCompareTooDeep = "maximum recursion depth exceeded in comparison";
inline constexpr const char* kHashTooDeep = "maximum recursion depth exceeded";

// The lock for a Python operation of this module, taken through the thread's GIL record and
// kept until the run ends; with report mode on, a run's first crossing is noted at where.
gil::Record* claimLock(const gil::Location* where);

// ---- Python objects ---------------------------------------------------------------------------

enum class HostKind : uint8_t {
    plain = 0,    // identity semantics: object's own == and hash
    integer = 1,  // an instance of (a subclass of) int
    real = 2,     // of float
    text = 3,     // of str
    custom = 4,   // its type has its own hash, or failing that its own rich comparison
};

// The kind of a Python object; takes the lock. Cannot fail.
HostKind hostKind(PyObject* o);

enum class ScalarKind : uint8_t { integer = 0, real = 1, text = 2, other = 3 };

struct Scalar {
    ScalarKind kind;
    int64_t integer;
    double real;
    const uint8_t* text;  // UTF-8, borrowed from the value (a str block or the Python str)
    size_t length;
};

// Classifies a value as an int that fits 64 bits, a float, a str, or other. Takes the lock for
// a Python object; cannot fail (errors of the probes are cleared: the object is then other).
Scalar hostScalar(Value v);

// A new Python object for None, bool, int, float, str, big int and Python-object values (new
// reference); null for any other value or when memory ran out, with no Python error left
// pending. The lock must be held.
PyObject* scalarObject(Value v);

// Python's == where a Python object takes part (the Python path of value::equal): scalars
// natively, a native tuple or list item by item against a Python one, anything else through
// the interpreter's == (a comparing record as its proxy). A failing __eq__ notes its failure
// and answers unequal.
bool hostEqual(Value a, Value b);

// The runtime hash of a Python object (the Python path of value::hashOf), consistent with the
// native hashes of equal native values; a failing __hash__ notes its failure.
uint64_t hostHash(Value v);

// Whether a value may be a set element or dict key (Python's hashability). Nesting past the
// limit notes its failure and answers false.
bool hashable(Value v);

// ---- Numbers shared by equality and hashing ----------------------------------------------------

inline bool smallIntTag(uint64_t tag) { return tag == TagBool || tag == TagInt || tag == TagPint; }

inline double asDouble(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

inline constexpr double kTwo63 = 9223372036854775808.0;
// Floats below this magnitude (a little under 2^127) are compared and hashed as i128 ints.
inline constexpr double kBigFloatLimit = 1.7e38;

// A float that is integral and inside the 64-bit range, as that int.
inline bool floatAsI64(double d, int64_t* out) {
    if (std::isnan(d) || d != std::trunc(d) || d < -kTwo63 || d >= kTwo63) return false;
    *out = int64_t(d);
    return true;
}
// A float that is integral and below kBigFloatLimit in magnitude, as that int.
inline bool floatAsI128(double d, i128* out) {
    if (std::isnan(d) || d != std::trunc(d) || std::fabs(d) >= kBigFloatLimit) return false;
    *out = i128(d);
    return true;
}

}  // namespace wuna::value
