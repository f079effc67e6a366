// wn_call_method: method calls of compiled code on any runtime value. See methods.h.
#include "wuna/runtime/helpers/methods.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstring>
#include <string_view>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/floatfmt.h"
#include "wuna/runtime/helpers/attrs.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/containers.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/helpers/osio.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/pyfunc.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/rtvars.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

using value::Value;

constexpr gil::Location kMethodAt{"runtime", "helpers", "wn_call_method", 0, 0};
constexpr gil::Location kRecordMethodAt{"runtime", "helpers", "recordMethod", 0, 0};

constexpr char kSubstringNotFound[] = "substring not found";
constexpr char kEmptySeparator[] = "empty separator";
constexpr char kPopEmpty[] = "pop from empty list";
constexpr char kPopRange[] = "pop index out of range";

// The names with codes, sorted by length and then by bytes; kFirstOfLength[n] is the first
// entry at least n bytes long.
struct NamedCode {
    std::string_view name;
    MethodCode code;
};
constexpr NamedCode kNames[] = {
    {"add", MethodCode::add},
    {"get", MethodCode::get},
    {"hex", MethodCode::hex},
    {"pop", MethodCode::pop},
    {"copy", MethodCode::copy},
    {"find", MethodCode::find},
    {"join", MethodCode::join},
    {"clear", MethodCode::clear},
    {"count", MethodCode::count},
    {"index", MethodCode::index},
    {"lower", MethodCode::lower},
    {"other", MethodCode::other},
    {"rfind", MethodCode::rfind},
    {"split", MethodCode::split},
    {"strip", MethodCode::strip},
    {"union", MethodCode::union_},
    {"upper", MethodCode::upper},
    {"decode", MethodCode::decode},
    {"encode", MethodCode::encode},
    {"extend", MethodCode::extend},
    {"lstrip", MethodCode::lstrip},
    {"remove", MethodCode::remove},
    {"rindex", MethodCode::rindex},
    {"rstrip", MethodCode::rstrip},
    {"update", MethodCode::update},
    {"discard", MethodCode::discard},
    {"isalnum", MethodCode::isalnum},
    {"isalpha", MethodCode::isalpha},
    {"isdigit", MethodCode::isdigit},
    {"islower", MethodCode::islower},
    {"isspace", MethodCode::isspace},
    {"isupper", MethodCode::isupper},
    {"replace", MethodCode::replace},
    {"endswith", MethodCode::endswith},
    {"issubset", MethodCode::issubset},
    {"to_bytes", MethodCode::to_bytes},
    {"partition", MethodCode::partition},
    {"isdisjoint", MethodCode::isdisjoint},
    {"difference", MethodCode::difference},
    {"is_integer", MethodCode::is_integer},
    {"issuperset", MethodCode::issuperset},
    {"rpartition", MethodCode::rpartition},
    {"splitlines", MethodCode::splitlines},
    {"startswith", MethodCode::startswith},
    {"intersection", MethodCode::intersection},
    {"difference_update", MethodCode::difference_update},
    {"intersection_update", MethodCode::intersection_update},
    {"symmetric_difference", MethodCode::symmetric_difference},
    {"symmetric_difference_update", MethodCode::symmetric_difference_update},
};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];
constexpr size_t kShortestName = 3;
constexpr size_t kLongestName = 27;
static_assert(kNameCount == size_t(kMethodCodes));

struct LengthIndex {
    uint8_t first[kLongestName + 2];
};
constexpr LengthIndex lengthIndex() {
    LengthIndex index{};
    for (size_t n = 0; n <= kLongestName + 1; n++) {
        size_t i = 0;
        while (i < kNameCount && kNames[i].name.size() < n) i++;
        index.first[n] = uint8_t(i);
    }
    return index;
}
constexpr LengthIndex kFirstOfLength = lengthIndex();

constexpr bool namesSorted() {
    for (size_t i = 1; i < kNameCount; i++)
        if (kNames[i - 1].name.size() > kNames[i].name.size()) return false;
    for (size_t i = 0; i < kNameCount; i++)
        if (kNames[i].name.size() < kShortestName || kNames[i].name.size() > kLongestName)
            return false;
    return true;
}
static_assert(namesSorted());

inline bool immutableBytes(Value v) {
    return v.tag == value::TagBytes && (v.as<value::Bytes>()->h.flags & value::FlagImmutable);
}

bool newBytes(Ctx* ctx, int32_t site, const uint8_t* data, uint64_t n, Value* out) {
    value::Bytes* b = value::newOwnedBytes(n);
    if (!b) {
        failOutOfMemory(ctx, site);
        return false;
    }
    if (n) std::memcpy(b->data, data, n);
    b->h.flags |= value::FlagImmutable;
    *out = Value::of(value::TagBytes, b);
    return true;
}

// ---- bytes --------------------------------------------------------------------------------

uint64_t countBytes(const uint8_t* hay, uint64_t n, const uint8_t* needle, uint64_t m) {
    if (m == 0) return n + 1;
    uint64_t found = 0;
    uint64_t at = 0;
    while (at + m <= n) {
        const uint8_t* p = findIn(hay + at, n - at, needle, m);
        if (!p) break;
        found++;
        at = uint64_t(p - hay) + m;
    }
    return found;
}

inline bool asciiSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool inByteSet(uint8_t c, const ByteSlice* set) {
    if (!set) return asciiSpace(c);
    return std::memchr(set->data, c, set->length) != nullptr;
}

// Strict UTF-8 as Python's decoder takes it.
bool validUtf8(const uint8_t* s, uint64_t n) {
    Utf8Error bad{};
    return checkUtf8(s, n, &bad);
}

MethodAnswer bytesDecode(Ctx* ctx, int32_t site, value::Bytes* b, const Value* args,
                         uint64_t count, Value* out) {
    Codec codec = Codec::utf8;
    if (count > 1) return kDeclined;
    if (count == 1) {
        if (args[0].tag != value::TagStr) return kDeclined;
        codec = codecOf(args[0].as<value::Str>());
    }
    const uint8_t* data = b->data;
    uint64_t n = b->length;
    switch (codec) {
    case Codec::none: return kDeclined;
    case Codec::utf8:
        if (!validUtf8(data, n)) return kDeclined;
        return strResult(ctx, site, data, n, out) ? kAnswered : kFailed;
    case Codec::ascii:
        for (uint64_t i = 0; i < n; i++)
            if (data[i] >= 0x80) return kDeclined;
        return strResult(ctx, site, data, n, out) ? kAnswered : kFailed;
    case Codec::latin1: {
        uint64_t wide = 0;
        for (uint64_t i = 0; i < n; i++) wide += data[i] >= 0x80;
        uint8_t* text = static_cast<uint8_t*>(std::malloc(n + wide + 1));
        if (!text) {
            failOutOfMemory(ctx, site);
            return kFailed;
        }
        uint64_t k = 0;
        for (uint64_t i = 0; i < n; i++) {
            uint8_t c = data[i];
            if (c < 0x80) {
                text[k++] = c;
            } else {
                text[k++] = uint8_t(0xC0 | (c >> 6));
                text[k++] = uint8_t(0x80 | (c & 0x3F));
            }
        }
        bool ok = strResult(ctx, site, text, k, out);
        std::free(text);
        return ok ? kAnswered : kFailed;
    }
    }
    return kDeclined;
}

MethodAnswer bytesSplit(Ctx* ctx, int32_t site, value::Bytes* b, const ByteSlice& sep,
                        Value* out) {
    value::List* list = value::newList(0);
    if (!list) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    uint64_t at = 0;
    for (;;) {
        const uint8_t* p = findIn(b->data + at, b->length - at, sep.data, sep.length);
        uint64_t end = p ? uint64_t(p - b->data) : b->length;
        value::Bytes* piece = value::bytesSlice(b, at, end);
        if (!piece || !value::listAppend(list, Value::of(value::TagBytes, piece))) {
            if (piece) value::decref(Value::of(value::TagBytes, piece));
            value::decref(Value::of(value::TagList, list));
            failOutOfMemory(ctx, site);
            return kFailed;
        }
        if (!p) break;
        at = end + sep.length;
    }
    *out = Value::of(value::TagList, list);
    return kAnswered;
}

MethodAnswer bytesReplace(Ctx* ctx, int32_t site, value::Bytes* b, const ByteSlice& old,
                          const ByteSlice& with, Value* out) {
    uint64_t hits = countBytes(b->data, b->length, old.data, old.length);
    uint64_t size = b->length - hits * old.length + hits * with.length;
    value::Bytes* r = value::newOwnedBytes(size);
    if (!r) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    r->h.flags |= value::FlagImmutable;
    uint64_t at = 0, k = 0;
    while (at < b->length) {
        const uint8_t* p = findIn(b->data + at, b->length - at, old.data, old.length);
        uint64_t end = p ? uint64_t(p - b->data) : b->length;
        std::memcpy(r->data + k, b->data + at, end - at);
        k += end - at;
        if (!p) break;
        std::memcpy(r->data + k, with.data, with.length);
        k += with.length;
        at = end + old.length;
    }
    *out = Value::of(value::TagBytes, r);
    return kAnswered;
}

MethodAnswer bytesJoin(Ctx* ctx, int32_t site, value::Bytes* b, Value iterable, Value* out) {
    Value items = Value::none();
    if (!itemsList(ctx, site, iterable, &items)) return kFailed;
    value::List* l = items.as<value::List>();
    uint64_t size = 0;
    for (uint64_t i = 0; i < l->count; i++) {
        if (!immutableBytes(l->items[i])) {
            value::decref(items);
            return kDeclined;
        }
        size += l->items[i].as<value::Bytes>()->length + (i ? b->length : 0);
    }
    value::Bytes* r = value::newOwnedBytes(size);
    if (!r) {
        value::decref(items);
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    r->h.flags |= value::FlagImmutable;
    uint64_t k = 0;
    for (uint64_t i = 0; i < l->count; i++) {
        if (i && b->length) {
            std::memcpy(r->data + k, b->data, b->length);
            k += b->length;
        }
        value::Bytes* piece = l->items[i].as<value::Bytes>();
        if (piece->length) std::memcpy(r->data + k, piece->data, piece->length);
        k += piece->length;
    }
    value::decref(items);
    *out = Value::of(value::TagBytes, r);
    return kAnswered;
}

MethodAnswer bytesMethod(Ctx* ctx, int32_t site, value::Bytes* b, MethodCode code,
                         const Value* args, uint64_t count, Value* out) {
    uint8_t one = 0;
    ByteSlice needle{};
    const uint8_t* data = b->data;
    uint64_t n = b->length;
    switch (code) {
    case MethodCode::find:
    case MethodCode::index: {
        if (count != 1 || !byteNeedle(args[0], &one, &needle)) return kDeclined;
        const uint8_t* p = findIn(data, n, needle.data, needle.length);
        if (!p && code == MethodCode::index) return kDeclined;
        *out = Value::pint(p ? int64_t(p - data) : -1);
        return kAnswered;
    }
    case MethodCode::rfind:
    case MethodCode::rindex: {
        if (count != 1 || !byteNeedle(args[0], &one, &needle)) return kDeclined;
        const uint8_t* last = findLastIn(data, n, needle.data, needle.length);
        int64_t at = last ? int64_t(last - data) : -1;
        if (at < 0 && code == MethodCode::rindex) return kDeclined;
        *out = Value::pint(at);
        return kAnswered;
    }
    case MethodCode::count:
        if (count != 1 || !byteNeedle(args[0], &one, &needle)) return kDeclined;
        *out = Value::pint(int64_t(countBytes(data, n, needle.data, needle.length)));
        return kAnswered;
    case MethodCode::startswith:
    case MethodCode::endswith: {
        if (count != 1) return kDeclined;
        bool prefix = code == MethodCode::startswith;
        if (immutableBytes(args[0])) {
            value::Bytes* a = args[0].as<value::Bytes>();
            *out = Value::boolean(bytesHasAffix(data, n, a->data, a->length, prefix));
            return kAnswered;
        }
        if (args[0].tag != value::TagTuple) return kDeclined;
        value::Tuple* t = args[0].as<value::Tuple>();
        bool any = false;
        for (uint64_t i = 0; i < t->count; i++) {
            if (!immutableBytes(t->items()[i])) return kDeclined;
            value::Bytes* a = t->items()[i].as<value::Bytes>();
            any = any || bytesHasAffix(data, n, a->data, a->length, prefix);
        }
        *out = Value::boolean(any);
        return kAnswered;
    }
    case MethodCode::decode: return bytesDecode(ctx, site, b, args, count, out);
    case MethodCode::hex: {
        if (count != 0) return kDeclined;
        static constexpr char digits[] = "0123456789abcdef";
        char* text = static_cast<char*>(std::malloc(2 * n + 1));
        if (!text) {
            failOutOfMemory(ctx, site);
            return kFailed;
        }
        for (uint64_t i = 0; i < n; i++) {
            text[2 * i] = digits[data[i] >> 4];
            text[2 * i + 1] = digits[data[i] & 15];
        }
        bool ok = strResult(ctx, site, text, 2 * n, out);
        std::free(text);
        return ok ? kAnswered : kFailed;
    }
    case MethodCode::lower:
    case MethodCode::upper: {
        if (count != 0) return kDeclined;
        if (!newBytes(ctx, site, data, n, out)) return kFailed;
        uint8_t* w = out->as<value::Bytes>()->data;
        bool up = code == MethodCode::upper;
        for (uint64_t i = 0; i < n; i++) {
            if (up && w[i] >= 'a' && w[i] <= 'z') w[i] = uint8_t(w[i] - 32);
            if (!up && w[i] >= 'A' && w[i] <= 'Z') w[i] = uint8_t(w[i] + 32);
        }
        return kAnswered;
    }
    case MethodCode::strip:
    case MethodCode::lstrip:
    case MethodCode::rstrip: {
        if (count > 1) return kDeclined;
        ByteSlice chars{};
        const ByteSlice* set = nullptr;
        if (count == 1 && args[0].tag != value::TagNone) {
            if (!immutableBytes(args[0])) return kDeclined;
            chars = {args[0].as<value::Bytes>()->data, args[0].as<value::Bytes>()->length};
            set = &chars;
        }
        uint64_t start = 0, end = n;
        if (code != MethodCode::rstrip)
            while (start < end && inByteSet(data[start], set)) start++;
        if (code != MethodCode::lstrip)
            while (end > start && inByteSet(data[end - 1], set)) end--;
        value::Bytes* r = value::bytesSlice(b, start, end);
        if (!r) {
            failOutOfMemory(ctx, site);
            return kFailed;
        }
        *out = Value::of(value::TagBytes, r);
        return kAnswered;
    }
    case MethodCode::split: {
        if (count != 1 || !immutableBytes(args[0])) return kDeclined;
        value::Bytes* sep = args[0].as<value::Bytes>();
        if (sep->length == 0) return kDeclined;
        return bytesSplit(ctx, site, b, {sep->data, sep->length}, out);
    }
    case MethodCode::replace: {
        if (count != 2 || !immutableBytes(args[0]) || !immutableBytes(args[1])) return kDeclined;
        value::Bytes* old = args[0].as<value::Bytes>();
        value::Bytes* with = args[1].as<value::Bytes>();
        if (old->length == 0) return kDeclined;
        return bytesReplace(ctx, site, b, {old->data, old->length}, {with->data, with->length},
                            out);
    }
    case MethodCode::join:
        if (count != 1) return kDeclined;
        return bytesJoin(ctx, site, b, args[0], out);
    default: return kDeclined;
    }
}

// ---- int, float ---------------------------------------------------------------------------

// int.to_bytes with its keyword signed= as the third argument, through Python.
bool toBytesPython(Ctx* ctx, int32_t site, Value receiver, const Value* args, Value* out) {
    Value given[3] = {receiver, args[0], args[1]};
    PyObject* objs[3] = {};
    if (!objects(ctx, site, given, 3, objs)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    int sign = value::truthy(args[2]);
    PyObject* method = PyObject_GetAttrString(objs[0], "to_bytes");
    PyObject* positional = method ? PyTuple_Pack(2, objs[1], objs[2]) : nullptr;
    PyObject* keywords = positional ? Py_BuildValue("{s:O}", "signed", sign ? Py_True : Py_False)
                                    : nullptr;
    PyObject* result = keywords ? PyObject_Call(method, positional, keywords) : nullptr;
    Py_XDECREF(keywords);
    Py_XDECREF(positional);
    Py_XDECREF(method);
    for (PyObject* o : objs) Py_XDECREF(o);
    return pythonResult(ctx, site, result, out);
}

MethodAnswer intToBytes(Ctx* ctx, int32_t site, Value receiver, const Value* args,
                        uint64_t count, Value* out) {
    if (count != 2 && count != 3) return kDeclined;
    value::i128 v = 0;
    if (!value::wide(receiver, &v)) return kDeclined;
    if (!value::smallIntTag(args[0].tag)) return kDeclined;
    int64_t length = int64_t(args[0].payload);
    if (length < 0 || length > 16) return kDeclined;
    ByteOrder order = byteOrder(args[1]);
    if (order == ByteOrder::none) return kDeclined;
    bool sign = count == 3 && value::truthy(args[2]);
    if (value::faulted()) return kDeclined;
    bool fits;
    if (length == 16) {
        fits = sign || v >= 0;
    } else if (sign) {
        value::i128 half = length == 0 ? 0 : value::i128(1) << (8 * length - 1);
        fits = length == 0 ? v == 0 : (v >= -half && v < half);
    } else {
        fits = v >= 0 && v < (value::i128(1) << (8 * length));
    }
    if (!fits) return kDeclined;
    value::Bytes* r = value::newOwnedBytes(uint64_t(length));
    if (!r) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    r->h.flags |= value::FlagImmutable;
    unsigned __int128 u = (unsigned __int128)v;
    for (int64_t i = 0; i < length; i++) {
        uint8_t byte = uint8_t(u >> (8 * i));
        r->data[order == ByteOrder::little ? i : length - 1 - i] = byte;
    }
    *out = Value::of(value::TagBytes, r);
    return kAnswered;
}

MethodAnswer floatMethod(Ctx* ctx, int32_t site, double d, MethodCode code, uint64_t count,
                         Value* out) {
    if (count != 0) return kDeclined;
    if (code == MethodCode::is_integer) {
        *out = Value::boolean(std::isfinite(d) && d == std::floor(d));
        return kAnswered;
    }
    if (code == MethodCode::hex) {
        char buf[kFloatHexBuffer];
        std::string_view text = floatHex(buf, d);
        return strResult(ctx, site, text.data(), text.size(), out) ? kAnswered : kFailed;
    }
    return kDeclined;
}

// ---- dict, list, tuple --------------------------------------------------------------------

MethodAnswer dictMethod(Ctx* ctx, int32_t site, value::Dict* d, MethodCode code,
                        const Value* args, uint64_t count, Value* out) {
    if (code != MethodCode::get && code != MethodCode::pop) return kDeclined;
    if (count != 1 && count != 2) return kDeclined;
    if (!value::hashable(args[0])) {
        if (takeFault(ctx, site)) return kFailed;
        // Python's error names the value hashing stopped at (a tuple's first unhashable item,
        // depth first). A native one is named here: on the Python path it would cross as a
        // proxy and be named after the proxy's type. A Python object keeps Python's own text.
        if (unhashablePart(args[0]).tag == value::TagPy) return kDeclined;
        unhashableKey(ctx, site, args[0]);
        return kFailed;
    }
    Value found = Value::none();
    bool present = value::dictGet(d, args[0], &found);
    if (takeFault(ctx, site)) return kFailed;
    if (code == MethodCode::get) {
        *out = present ? found : (count == 2 ? args[1] : Value::none());
        value::incref(*out);
        return kAnswered;
    }
    if (!present) {
        if (count == 1) return kDeclined;
        *out = args[1];
        value::incref(*out);
        return kAnswered;
    }
    if (value::readOnly(&d->h)) return kDeclined;
    value::incref(found);
    value::dictDelete(d, args[0]);
    if (takeFault(ctx, site)) {
        value::decref(found);
        return kFailed;
    }
    *out = found;
    return kAnswered;
}

MethodAnswer seqSearch(Ctx* ctx, int32_t site, const Value* items, const uint64_t* countOf,
                       MethodCode code, Value x, Value* out) {
    if (x.tag == value::TagPy) return kDeclined;
    for (uint64_t i = 0; i < *countOf; i++)
        if (items[i].tag == value::TagPy) return kDeclined;
    int64_t hits = 0;
    // An item's __eq__ may run Python and change a list: read its count each time.
    for (uint64_t i = 0; i < *countOf; i++) {
        bool same = value::equal(items[i], x);
        if (takeFault(ctx, site)) return kFailed;
        if (!same) continue;
        if (code == MethodCode::index) {
            *out = Value::pint(int64_t(i));
            return kAnswered;
        }
        hits++;
    }
    if (code == MethodCode::index) return kDeclined;
    *out = Value::pint(hits);
    return kAnswered;
}

MethodAnswer listMethod(Ctx* ctx, int32_t site, value::List* l, MethodCode code,
                        const Value* args, uint64_t count, Value* out) {
    switch (code) {
    case MethodCode::count:
    case MethodCode::index:
        if (count != 1) return kDeclined;
        return seqSearch(ctx, site, l->items, &l->count, code, args[0], out);
    case MethodCode::extend: {
        if (count != 1) return kDeclined;
        if (args[0].tag != value::TagList && args[0].tag != value::TagTuple) return kDeclined;
        if (value::readOnly(&l->h)) return kDeclined;
        bool isList = args[0].tag == value::TagList;
        uint64_t n = isList ? args[0].as<value::List>()->count : args[0].as<value::Tuple>()->count;
        for (uint64_t i = 0; i < n; i++) {
            // The list may be the argument itself: its storage moves as it grows.
            Value item = isList ? args[0].as<value::List>()->items[i]
                                : args[0].as<value::Tuple>()->items()[i];
            value::incref(item);
            if (!value::listAppend(l, item)) {
                value::decref(item);
                failOutOfMemory(ctx, site);
                return kFailed;
            }
        }
        *out = Value::none();
        return kAnswered;
    }
    case MethodCode::pop: {
        if (count > 1) return kDeclined;
        if (count == 1 && !value::smallIntTag(args[0].tag)) return kDeclined;
        if (value::readOnly(&l->h)) return kDeclined;
        if (l->count == 0) {
            failAs<errors::Kind::IndexError, kPopEmpty>(ctx, site);
            return kFailed;
        }
        int64_t i = count ? int64_t(args[0].payload) : -1;
        if (i < 0) i += int64_t(l->count);
        if (i < 0 || uint64_t(i) >= l->count) {
            failAs<errors::Kind::IndexError, kPopRange>(ctx, site);
            return kFailed;
        }
        *out = value::listTake(l, uint64_t(i));
        return kAnswered;
    }
    default: return kDeclined;
    }
}

// ---- records ------------------------------------------------------------------------------

// The plain Python function of that name along the class's MRO (the first __dict__ entry of
// the name), borrowed; null when the first entry is anything else or there is none. Lock held.
PyObject* methodOfClass(PyObject* cls, PyObject* name) {
    PyObject* mro = PyType_Check(cls) ? reinterpret_cast<PyTypeObject*>(cls)->tp_mro : nullptr;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (!dict) continue;
        PyObject* entry = PyDict_GetItemWithError(dict, name);
        if (entry) return PyFunction_Check(entry) ? entry : nullptr;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

// The plain Python function of the name along the record class's MRO, or null; borrowed,
// from the module's cache or from the class (the caller holds it while it runs Python). A pair met before is answered from
// the module's cache without the lock; a miss searches the class under the lock and caches the
// answer when the name block is immortal (an interned name: its address never names another
// text). *locked tells whether the lock was taken here.
PyObject* recordMethodOf(Ctx* ctx, const value::RecordClass* cls, const value::Str* name,
                         bool* locked) {
    bridge::ModuleTables* tables = ctx->run->tables;
    bool cacheable = tables && value::immortal(&name->h);
    PyObject* f = nullptr;
    *locked = false;
    if (cacheable && bridge::cachedRecordMethod(tables, cls, name, &f)) return f;
    value::claimLock(&kRecordMethodAt);
    *locked = true;
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(name->bytes()),
                                          Py_ssize_t(name->length), "replace");
    if (!text) {
        PyErr_Clear();
        return nullptr;
    }
    f = methodOfClass(cls->pyClass, text);
    Py_DECREF(text);
    if (cacheable) bridge::cacheRecordMethod(tables, cls, name, f);
    return f;
}

MethodAnswer recordMethod(Ctx* ctx, int32_t site, Value receiver, const value::Str* name,
                          const Value* args, uint64_t count, Value* out) {
    value::Record* r = receiver.as<value::Record>();
    value::RecordClass* cls = r->cls;
    for (uint64_t i = 0; cls && i < cls->fieldCount; i++) {
        const value::Text& field = cls->fields[i];
        if (field.length != name->length || std::memcmp(field.data, name->bytes(), name->length))
            continue;
        Value slot = r->fields()[i];
        if (slot.tag == value::TagUnset) break;
        Value result = Value::none();
        if (!callOnce(ctx, site, slot, args, count, nullptr, &result)) return kFailed;
        if (result.tag == value::TagTail && !tailResolve(ctx, site, &result)) return kFailed;
        *out = result;
        return kAnswered;
    }
    // A description without its class has no methods to search: nothing is cached.
    if (!cls || !cls->pyClass || !ctx->run || count > 62) return kDeclined;
    bool locked;
    PyObject* f = recordMethodOf(ctx, cls, name, &locked);
    if (!f) return kDeclined;
    // Found under the lock: the cache may not hold it (a name that is no interned block, a
    // cache out of memory), and the call may run Python that takes it off its class.
    bool held = locked;
    if (held) Py_INCREF(f);
    Value array[63];
    array[0] = receiver;
    for (uint64_t i = 0; i < count; i++) array[i + 1] = args[i];
    bridge::Offer offer = bridge::compiledCall(ctx, site, f, array, count + 1, false, out);
    // The lock is the thread's from the search on (a helper keeps it until the run ends).
    if (held) Py_DECREF(f);
    if (!offer.taken) return kDeclined;
    return offer.ok ? kAnswered : kFailed;
}

// "method <type>.<name>" on the run's tally.
void countMethod(Ctx* ctx, Value receiver, const value::Str* name) {
    if (!bridge::reporting(ctx)) return;
    char type[kCrossingNameMax];
    bridge::TallyText text;
    text.add("method ");
    text.add(type, crossingTypeName(receiver, type));
    text.add(".");
    text.add(reinterpret_cast<const char*>(name->bytes()), name->length);
    bridge::countCrossing(ctx, text);
}

// The native answer for the receiver, or declined.
MethodAnswer nativeMethod(Ctx* ctx, int32_t site, Value receiver, const value::Str* name,
                          MethodCode code, const Value* args, uint64_t count, Value* out) {
    uint64_t tag = receiver.tag == value::TagPint ? value::TagInt : receiver.tag;
    switch (uint32_t(tag)) {
    case value::TagBytes:
        if (!immutableBytes(receiver)) return kDeclined;
        return bytesMethod(ctx, site, receiver.as<value::Bytes>(), code, args, count, out);
    case value::TagSet:
        return setMethod(ctx, site, receiver.as<value::Set>(), code, args, count, out);
    case value::TagBool:
    case value::TagInt:
    case value::TagBig:
        if (code != MethodCode::to_bytes) return kDeclined;
        if (count == 3) {
            MethodAnswer a = intToBytes(ctx, site, receiver, args, count, out);
            if (a.answered) return a;
            return toBytesPython(ctx, site, receiver, args, out) ? kAnswered : kFailed;
        }
        return intToBytes(ctx, site, receiver, args, count, out);
    case value::TagDict:
        return dictMethod(ctx, site, receiver.as<value::Dict>(), code, args, count, out);
    case value::TagRecord: return recordMethod(ctx, site, receiver, name, args, count, out);
    case value::TagList:
        return listMethod(ctx, site, receiver.as<value::List>(), code, args, count, out);
    case value::TagTuple: {
        bool search = code == MethodCode::count || code == MethodCode::index;
        if (!search || count != 1) return kDeclined;
        value::Tuple* t = receiver.as<value::Tuple>();
        return seqSearch(ctx, site, t->items(), &t->count, code, args[0], out);
    }
    case value::TagFloat:
        return floatMethod(ctx, site, value::asDouble(receiver.payload), code, count, out);
    case value::TagNodeIndex:
    case value::TagNode: {
        if (code != MethodCode::find || count != 1) return kDeclined;
        nodes::Answer a = nodes::nodeFind(ctx, site, receiver, args[0], out);
        return {a.ok, a.handled};
    }
    case value::TagStr:
        return strMethod(ctx, site, receiver.as<value::Str>(), code, args, count, out);
    case value::TagRuntime: {
        bridge::RtCallResult r = bridge::rtValueMethod(
            ctx, site, receiver.tag, reinterpret_cast<value::Frame*>(uintptr_t(receiver.payload)),
            reinterpret_cast<const char*>(name->bytes()), name->length, args, count, out);
        return {r.ok, r.handled};
    }
    default: return kDeclined;
    }
}

}  // namespace

MethodCode methodCode(const char* name, size_t length) {
    if (length < kShortestName || length > kLongestName) return MethodCode::other;
    std::string_view text(name, length);
    for (size_t i = kFirstOfLength.first[length]; i < kFirstOfLength.first[length + 1]; i++)
        if (kNames[i].name == text) return kNames[i].code;
    return MethodCode::other;
}

bool callMethodPython(Ctx* ctx, int32_t site, Value receiver, const value::Str* name,
                      const Value* args, uint64_t count, Value* out) {
    countMethod(ctx, receiver, name);
    claimAt(&kMethodAt, site, nullptr);
    PyObject* self = nullptr;
    if (!objects(ctx, site, &receiver, 1, &self)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(name->bytes()),
                                          Py_ssize_t(name->length), "replace");
    PyObject* method = text ? PyObject_GetAttr(self, text) : nullptr;
    Py_XDECREF(text);
    Py_DECREF(self);
    if (!method) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    bridge::Offer offer = bridge::compiledMethod(ctx, site, method, args, count, false, out);
    if (offer.taken) {
        Py_DECREF(method);
        return offer.ok;
    }
    bool ok = callPythonObject(ctx, site, &kMethodAt, method, args, count, out);
    Py_DECREF(method);
    return ok;
}

const uint8_t* findIn(const uint8_t* hay, uint64_t n, const uint8_t* needle, uint64_t m) {
    if (m == 0) return hay;
    if (m > n) return nullptr;
    if (m == 1) return static_cast<const uint8_t*>(std::memchr(hay, needle[0], n));
    return static_cast<const uint8_t*>(memmem(hay, n, needle, m));
}

const uint8_t* findLastIn(const uint8_t* hay, uint64_t n, const uint8_t* needle, uint64_t m) {
    if (m > n) return nullptr;
    for (uint64_t i = n - m + 1; i-- > 0;)
        if (std::memcmp(hay + i, needle, m) == 0) return hay + i;
    return nullptr;
}

Codec codecOf(const value::Str* name) {
    if (sameAsciiName(name, "utf-8") || sameAsciiName(name, "utf8")) return Codec::utf8;
    if (sameAsciiName(name, "ascii")) return Codec::ascii;
    for (std::string_view latin : {"latin-1", "latin1", "iso-8859-1"})
        if (sameAsciiName(name, latin)) return Codec::latin1;
    return Codec::none;
}

bool sameAsciiName(const value::Str* s, std::string_view lower) {
    if (s->length != lower.size()) return false;
    for (size_t i = 0; i < lower.size(); i++) {
        uint8_t c = s->bytes()[i];
        if (c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
        if (c != uint8_t(lower[i])) return false;
    }
    return true;
}

bool strResult(Ctx* ctx, int32_t site, const void* bytes, size_t length, Value* out) {
    value::Str* s = value::newStr(bytes, length);
    if (!s) {
        failOutOfMemory(ctx, site);
        return false;
    }
    *out = Value::of(value::TagStr, s);
    return true;
}

bool appendNewStr(Ctx* ctx, int32_t site, value::List* list, const void* bytes, size_t length) {
    value::Str* s = value::newStr(bytes, length);
    if (s && value::listAppend(list, Value::of(value::TagStr, s))) return true;
    if (s) value::decref(Value::of(value::TagStr, s));
    failOutOfMemory(ctx, site);
    return false;
}

void failSubstringNotFound(Ctx* ctx, int32_t site) {
    failAs<errors::Kind::ValueError, kSubstringNotFound>(ctx, site);
}

void failEmptySeparator(Ctx* ctx, int32_t site) {
    failAs<errors::Kind::ValueError, kEmptySeparator>(ctx, site);
}

bool isStripChar(uint32_t cp, const uint8_t* set, size_t length) {
    if (!set) {
        return (cp >= 9 && cp <= 13) || (cp >= 28 && cp <= 32) || cp == 0x85 || cp == 0xA0 ||
               cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
               cp == 0x202F || cp == 0x205F || cp == 0x3000;
    }
    size_t i = 0;
    while (i < length) {
        size_t used = 1;
        uint32_t c = unicode::decode(set + i, length - i, &used);
        if (c == cp) return true;
        i += used;
    }
    return false;
}

uint64_t codepointCount(const uint8_t* bytes, size_t length) {
    if (!validUtf8(bytes, length)) return length;
    return value::countCodePoints(bytes, length);
}

ByteOrder byteOrder(Value v) {
    if (v.tag != value::TagStr) return ByteOrder::none;
    std::string_view text = v.as<value::Str>()->text();
    if (text == "big") return ByteOrder::big;
    if (text == "little") return ByteOrder::little;
    return ByteOrder::none;
}

bool byteNeedle(Value v, uint8_t* one, ByteSlice* out) {
    if (immutableBytes(v)) {
        *out = {v.as<value::Bytes>()->data, v.as<value::Bytes>()->length};
        return true;
    }
    if (!value::smallIntTag(v.tag) || v.payload >= 256) return false;
    *one = uint8_t(v.payload);
    *out = {one, 1};
    return true;
}

bool bytesHasAffix(const uint8_t* data, uint64_t length, const uint8_t* affix,
                   uint64_t affixLength, bool prefix) {
    if (affixLength > length) return false;
    if (affixLength == 0) return true;
    const uint8_t* at = prefix ? data : data + length - affixLength;
    return std::memcmp(at, affix, affixLength) == 0;
}

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::helpers::MethodAnswer;
using wuna::helpers::MethodCode;
using wuna::value::Value;

extern "C" {

bool wn_call_method(void* c, int32_t site, int64_t tag, int64_t payload, void* name,
                    int32_t code, void* args, int64_t count, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    Value receiver = Value::words(tag, payload);
    if (receiver.tag == wuna::value::TagPint) receiver.tag = wuna::value::TagInt;
    auto* methodName = static_cast<const wuna::value::Str*>(name);
    auto* given = static_cast<const Value*>(args);
    auto* result = static_cast<Value*>(out);
    MethodCode mc = code > 0 && code < wuna::helpers::kMethodCodes ? MethodCode(code)
                                                                   : MethodCode::other;
    MethodAnswer a = wuna::helpers::nativeMethod(ctx, site, receiver, methodName, mc, given,
                                                 uint64_t(count), result);
    if (a.answered) return a.ok;
    return wuna::helpers::callMethodPython(ctx, site, receiver, methodName, given,
                                           uint64_t(count), result);
}

}  // extern "C"
