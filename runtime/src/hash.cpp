// The two hashes of values: value::hashOf, the runtime's own (seeded Wyhash, behind dict
// tables), and set::pyHash, the hash the interpreter gives the equivalent Python object
// (behind set tables, so that sets iterate in Python's order); and value::hashable. Equal
// values hash alike under each: every int, whatever carries it (a small int, a big int, an
// integral float, a Python int), hashes by its value, and a str by its UTF-8 bytes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"
#include "wuna/runtime/wyhash.h"

namespace wuna {

namespace {

using value::asDouble;
using value::i128;
using value::Value;

constexpr gil::Location kHashOf{"runtime", "runtime/src/hash.cpp", "hashOf", 0, 0};
constexpr gil::Location kHostHash{"runtime", "runtime/src/hash.cpp", "hostHash", 0, 0};
constexpr gil::Location kPyHash{"runtime", "runtime/src/hash.cpp", "pyHash", 0, 0};

// Seeds of the runtime hash, one per byte form, so that different forms of the same bytes
// (an int's eight bytes, a float's bit pattern) do not collide by construction.
enum Seed : uint64_t {
    SeedInt = 0,
    SeedFloatBits = 1,
    SeedText = 2,  // str bytes, and ints past 64 bits as 16 bytes
    SeedTuple = 3,
    SeedWord = 4,
    SeedPython = 5,
    SeedBytes = 6,
    SeedNode = 7,
};

// The multiplier of the runtime hash's fold over tuple items.
constexpr uint64_t kTupleStep = 0x100000001b3ull;

inline uint64_t hashI64(int64_t v) { return wyhash::hash(&v, 8, SeedInt); }
inline uint64_t hashI128(i128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) return hashI64(int64_t(v));
    uint64_t words[2] = {uint64_t(v), uint64_t((unsigned __int128)v >> 64)};
    return wyhash::hash(words, 16, SeedText);
}
inline uint64_t hashWord(uint64_t w, uint64_t seed) { return wyhash::hash(&w, 8, seed); }

// The same rule interned literals use (value.cpp): 0 is kept for "not computed".
inline uint64_t strHash(const void* bytes, size_t length) {
    uint64_t h = wyhash::hash(bytes, length, SeedText);
    return h ? h : 1;
}

uint64_t hashFloat(double d) {
    int64_t n;
    i128 w;
    if (value::floatAsI64(d, &n)) return hashI64(n);
    if (value::floatAsI128(d, &w)) return hashI128(w);
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return hashWord(bits, SeedFloatBits);
}

// ---- Python ints past 64 bits -------------------------------------------------------------------

// A Python int (or subclass) as an i128: true when it fits, false when it does not or a probe
// failed (any error cleared). The lock is held.
bool pyWide(PyObject* o, i128* out) {
    PyObject* exact = PyNumber_Index(o);
    if (!exact) {
        PyErr_Clear();
        return false;
    }
    bool fits = false;
    unsigned long long low = PyLong_AsUnsignedLongLongMask(exact);
    PyObject* shift = PyLong_FromLong(64);
    PyObject* top = shift ? PyNumber_Rshift(exact, shift) : nullptr;
    if (top && !PyErr_Occurred()) {
        int overflow = 0;
        long long high = PyLong_AsLongLongAndOverflow(top, &overflow);
        if (!overflow && !(high == -1 && PyErr_Occurred())) {
            *out = i128((unsigned __int128)uint64_t(high) << 64 | low);
            fits = true;
        }
    }
    PyErr_Clear();
    Py_XDECREF(top);
    Py_XDECREF(shift);
    Py_DECREF(exact);
    return fits;
}

// A Python int too wide for an i128 that a float holds exactly: true with that float. The
// lock is held; errors are cleared.
bool pyExactFloat(PyObject* o, double* out) {
    double d = PyLong_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    PyObject* f = PyFloat_FromDouble(d);
    int same = f ? PyObject_RichCompareBool(f, o, Py_EQ) : -1;
    Py_XDECREF(f);
    if (same < 0) PyErr_Clear();
    *out = d;
    return same == 1;
}

// The runtime hash of a Python str that has no UTF-8 (lone surrogates), as its str block
// holds it: the surrogates encoded as three bytes each.
bool pySurrogateHash(PyObject* o, uint64_t* out) {
    PyObject* bytes = PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass");
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    *out = strHash(PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return true;
}

// ---- CPython's numeric hashes -----------------------------------------------------------------

constexpr int kHashBits = 61;
constexpr uint64_t kModulus = (uint64_t(1) << kHashBits) - 1;
constexpr int64_t kInfHash = 314159;

int64_t pyIntHash(i128 v) {
    unsigned __int128 magnitude =
        v < 0 ? (unsigned __int128)0 - (unsigned __int128)v : (unsigned __int128)v;
    int64_t h = int64_t(uint64_t(magnitude % kModulus));
    if (v < 0) h = -h;
    return h == -1 ? -2 : h;
}

// The reduction modulo 2^61 - 1 of the mantissa in 28-bit steps, the exponent applied as a
// rotation; infinities have fixed hashes, a NaN has none here (Python hashes it by identity).
bool pyFloatHash(double v, int64_t* out) {
    if (std::isnan(v)) return false;
    if (std::isinf(v)) {
        *out = v > 0 ? kInfHash : -kInfHash;
        return true;
    }
    int e = 0;
    double m = std::frexp(v, &e);
    int sign = 1;
    if (m < 0) {
        sign = -1;
        m = -m;
    }
    uint64_t x = 0;
    while (m) {
        x = ((x << 28) & kModulus) | x >> (kHashBits - 28);
        m *= 268435456.0;
        e -= 28;
        uint64_t y = uint64_t(m);
        m -= double(y);
        x += y;
        if (x >= kModulus) x -= kModulus;
    }
    e = e >= 0 ? e % kHashBits : kHashBits - 1 - ((-1 - e) % kHashBits);
    x = ((x << e) & kModulus) | x >> (kHashBits - e);
    x = x * uint64_t(int64_t(sign));
    if (x == uint64_t(-1)) x = uint64_t(-2);
    *out = int64_t(x);
    return true;
}

// ---- SipHash ----------------------------------------------------------------------------------

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13) ^ v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotl(v1, 17) ^ v2;
        v2 = rotl(v2, 32);
    }
    void rounds(int n) {
        for (int i = 0; i < n; i++) round();
    }
};

uint64_t sipHash(uint64_t k0, uint64_t k1, const uint8_t* p, size_t n, int compression,
                 int finalization) {
    SipState s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
               k1 ^ 0x7465646279746573ull};
    uint64_t last = uint64_t(n) << 56;
    size_t whole = n & ~size_t(7);
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m;
        std::memcpy(&m, p + i, 8);
        s.v3 ^= m;
        s.rounds(compression);
        s.v0 ^= m;
    }
    for (size_t i = whole; i < n; i++) last |= uint64_t(p[i]) << (8 * (i - whole));
    s.v3 ^= last;
    s.rounds(compression);
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.rounds(finalization);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// ---- str in the interpreter's form ------------------------------------------------------------

// The code points of valid UTF-8, written at width bytes each (little-endian).
void widen(const uint8_t* p, size_t length, int width, uint8_t* out) {
    size_t i = 0;
    while (i < length) {
        uint32_t c = p[i];
        if (c < 0x80) {
            i += 1;
        } else if (c < 0xE0) {
            c = (c & 0x1F) << 6 | (p[i + 1] & 0x3F);
            i += 2;
        } else if (c < 0xF0) {
            c = (c & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            c = (c & 0x07) << 18 | (p[i + 1] & 0x3F) << 12 | (p[i + 2] & 0x3F) << 6 |
                (p[i + 3] & 0x3F);
            i += 4;
        }
        std::memcpy(out, &c, size_t(width));
        out += width;
    }
}

// The widest code point's byte width in valid UTF-8: 1 below 256, 2 below 65536, else 4.
int widthOf(const uint8_t* p, size_t length) {
    int width = 1;
    for (size_t i = 0; i < length; i++) {
        uint8_t c = p[i];
        if (c >= 0xF0) return 4;
        if (c >= 0xE0 || (c >= 0xC4 && c < 0xE0)) width = 2;
    }
    return width;
}

bool pyStrHash(value::Str* s, int64_t* out) {
    if (set::sip_rounds == 0) return false;
    if (s->length == 0) {
        *out = 0;
        return true;
    }
    const uint8_t* p = s->bytes();
    size_t length = size_t(s->length);
    if (s->chars == s->length) {
        // As many code points as bytes: all ASCII, or bytes that are not valid UTF-8 (lone
        // surrogates), which have no hash here.
        for (size_t i = 0; i < length; i++)
            if (p[i] >= 0x80) return false;
        *out = set::sip(p, length);
        return true;
    }
    int width = widthOf(p, length);
    size_t size = size_t(s->chars) * size_t(width);
    constexpr size_t kOnStack = 256;
    uint8_t local[kOnStack];
    uint8_t* form = size <= kOnStack ? local : static_cast<uint8_t*>(pool::take(size));
    if (!form) return false;
    widen(p, length, width, form);
    *out = set::sip(form, size);
    if (form != local) pool::give(form, size);
    return true;
}

// CPython's tuple hash (xxHash-based) over hashes of the items.
constexpr uint64_t kPrime1 = 0x9e3779b185ebca87ull;
constexpr uint64_t kPrime2 = 0xc2b2ae3d27d4eb4full;
constexpr uint64_t kPrime5 = 0x27d4eb2f165667c5ull;

bool pyTupleHash(const Value* items, uint64_t n, int64_t* out) {
    if (!value::enterNested(value::kHashTooDeep)) return false;
    uint64_t acc = kPrime5;
    bool available = true;
    for (uint64_t i = 0; i < n && available; i++) {
        int64_t lane;
        available = set::pyHash(items[i], &lane);
        acc += uint64_t(lane) * kPrime2;
        acc = rotl(acc, 31);
        acc *= kPrime1;
    }
    value::leaveNested();
    if (!available) return false;
    acc += n ^ (kPrime5 ^ 3527539ull);
    *out = acc == uint64_t(-1) ? 1546275796 : int64_t(acc);
    return true;
}

// The runtime hash of a Python tuple, folded over its items as a native tuple's is. The lock
// is held; the tuple keeps its items alive.
uint64_t pyTupleRuntimeHash(PyObject* o) {
    if (!value::enterNested(value::kHashTooDeep)) return SeedTuple;
    uint64_t h = SeedTuple;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o) && !value::faulted(); i++)
        h = (h * kTupleStep) ^ value::hashOf(Value::of(value::TagPy, PyTuple_GET_ITEM(o, i)));
    value::leaveNested();
    return h;
}

}  // namespace

// ---- The runtime hash -----------------------------------------------------------------------

namespace value {

uint64_t hostHash(Value v) {
    claimLock(&kHostHash);
    Scalar s = hostScalar(v);
    switch (s.kind) {
    case ScalarKind::integer: return hashI64(s.integer);
    case ScalarKind::real: return hashFloat(s.real);
    case ScalarKind::text: return strHash(s.text, s.length);
    case ScalarKind::other: break;
    }
    PyObject* o = v.as<PyObject>();
    // None, bytes and tuples hash as the native values they equal.
    if (o == Py_None) return hashOf(Value::none());
    if (PyBytes_CheckExact(o))
        return wyhash::hash(PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o)), SeedBytes);
    if (PyTuple_CheckExact(o)) return pyTupleRuntimeHash(o);
    HostKind kind = hostKind(o);
    if (kind == HostKind::plain) return hashWord(v.payload, SeedWord);
    uint64_t h = 0;
    // Ints too wide for 64 bits hash as the big int or the float they equal.
    if (kind == HostKind::integer) {
        i128 w;
        double d;
        if (pyWide(o, &w)) return hashI128(w);
        if (pyExactFloat(o, &d)) return hashFloat(d);
    }
    if (kind == HostKind::text && pySurrogateHash(o, &h)) return h;
    Py_hash_t ph = PyObject_Hash(o);
    // A raising __hash__ fails the run, as it does in the reference mode.
    if (ph == -1 && PyErr_Occurred()) notePythonFault();
    return hashWord(uint64_t(ph), SeedPython);
}

uint64_t hashOf(Value v) {
    switch (v.tag) {
    case TagBool:
    case TagInt:
    case TagPint: return hashI64(int64_t(v.payload));
    case TagFloat: return hashFloat(asDouble(v.payload));
    case TagStr: {
        Str* s = v.as<Str>();
        if (!s->hash) s->hash = strHash(s->bytes(), s->length);
        return s->hash;
    }
    case TagBig: return hashI128(v.as<Big>()->get());
    case TagBytes: {
        Bytes* b = v.as<Bytes>();
        return wyhash::hash(b->data, b->length, SeedBytes);
    }
    case TagTuple: {
        Tuple* t = v.as<Tuple>();
        if (!enterNested(kHashTooDeep)) return SeedTuple;
        uint64_t h = SeedTuple;
        for (uint64_t i = 0; i < t->count && !faulted(); i++)
            h = (h * kTupleStep) ^ hashOf(t->items()[i]);
        leaveNested();
        return h;
    }
    case TagRecord: {
        Record* r = v.as<Record>();
        if (!r->cls->eq) break;
        // Without the conversion layer records that compare are equal only within one class.
        if (!services.recordPyHash) return hashWord(uint64_t(uintptr_t(r->cls)), SeedPython);
        claimLock(&kHashOf);
        int64_t h = 0;
        if (!services.recordPyHash(r, &h)) notePythonFault();
        return hashWord(uint64_t(h), SeedPython);
    }
    case TagNode: {
        Node* n = v.as<Node>();
        uint64_t words[2] = {uint64_t(uintptr_t(n->holder)), n->index};
        return wyhash::hash(words, 16, SeedNode);
    }
    case TagPy: return hostHash(v);
    default: break;
    }
    return hashWord(v.payload, SeedWord);
}

bool hashable(Value v) {
    switch (v.tag) {
    case TagList:
    case TagDict:
    case TagSet: return false;
    case TagTuple: {
        Tuple* t = v.as<Tuple>();
        if (!enterNested(kHashTooDeep)) return false;
        bool every = true;
        for (uint64_t i = 0; i < t->count && every; i++) every = hashable(t->items()[i]);
        leaveNested();
        return every;
    }
    case TagRecord: {
        RecordClass* cls = v.as<Record>()->cls;
        return !cls->eq || cls->frozen;
    }
    case TagPy: return Py_TYPE(v.as<PyObject>())->tp_hash != PyObject_HashNotImplemented;
    default: return true;
    }
}

}  // namespace value

// ---- CPython's hash -----------------------------------------------------------------------------

namespace set {

int64_t sip(const uint8_t* bytes, size_t n) {
    uint64_t k0, k1;
    std::memcpy(&k0, hashKey, 8);
    std::memcpy(&k1, hashKey + 8, 8);
    uint64_t h =
        sip_rounds == 2 ? sipHash(k0, k1, bytes, n, 1, 3) : sipHash(k0, k1, bytes, n, 2, 4);
    return int64_t(h) == -1 ? -2 : int64_t(h);
}

bool pyHash(Value v, int64_t* out) {
    using namespace value;
    switch (v.tag) {
    case TagNone: *out = noneHash; return true;
    case TagBool:
    case TagInt:
    case TagPint: *out = pyIntHash(int64_t(v.payload)); return true;
    case TagBig: *out = pyIntHash(v.as<Big>()->get()); return true;
    case TagFloat: return pyFloatHash(asDouble(v.payload), out);
    case TagStr: return pyStrHash(v.as<Str>(), out);
    case TagBytes: {
        Bytes* b = v.as<Bytes>();
        if (sip_rounds == 0) return false;
        *out = b->length ? sip(b->data, size_t(b->length)) : 0;
        return true;
    }
    case TagTuple: {
        Tuple* t = v.as<Tuple>();
        return pyTupleHash(t->items(), t->count, out);
    }
    case TagRecord: {
        Record* r = v.as<Record>();
        if (!r->cls->eq || !r->cls->frozen) return false;
        return pyTupleHash(r->fields(), r->cls->fieldCount, out);
    }
    case TagPy: {
        claimLock(&kPyHash);
        Py_hash_t h = PyObject_Hash(v.as<PyObject>());
        if (h == -1 && PyErr_Occurred()) {
            // A raising __hash__ fails the run, as it does in the reference mode.
            notePythonFault();
            return false;
        }
        *out = int64_t(h);
        return true;
    }
    default: return false;
    }
}

int64_t elementHash(Value v) {
    int64_t h;
    if (pyHash(v, &h)) return h;
    h = int64_t(value::hashOf(v));
    return h == -1 ? -2 : h;
}

}  // namespace set

}  // namespace wuna
