// Items, ranges and slices for compiled code (see items.h).
#include "wuna/runtime/helpers/items.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kRangePython{"helpers", "runtime/src/helpers/items.cpp", "wn_range", 0, 0};

inline constexpr char kRangeBeyond[] = "range() beyond 64-bit ints isn't supported in compiled code";
inline constexpr char kRangeZeroStep[] = "range() arg 3 must not be zero";
inline constexpr char kSliceZeroStep[] = "slice step cannot be zero";
constexpr auto failRangeBeyond = failAs<errors::Kind::OverflowError, kRangeBeyond>;
constexpr auto failRangeZeroStep = failAs<errors::Kind::ValueError, kRangeZeroStep>;
constexpr auto failSliceZeroStep = failAs<errors::Kind::ValueError, kSliceZeroStep>;

// ---- wn_items ------------------------------------------------------------------------------------

// The immortal str of one ASCII character. An entry still empty (a runtime without the
// module's start-up) is made here and published by compare-and-swap; null when memory runs
// out.
value::Str* asciiChar(uint8_t c) {
    value::Str* s = __atomic_load_n(&ascii_chars[c], __ATOMIC_ACQUIRE);
    if (s) return s;
    value::Str* made = value::newStr(&c, 1);
    if (!made) return nullptr;
    value::makeImmortal(&made->h);
    value::Str* expected = nullptr;
    if (__atomic_compare_exchange_n(&ascii_chars[c], &expected, made, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
        return made;
    // Another thread published its own first; nobody has seen this one.
    made->h.count = 1;
    value::decref(Value::of(value::TagStr, made));
    return expected;
}

// One str per code point; false when memory runs out (the list then holds a prefix).
bool strItems(value::Str* s, value::List* l) {
    const uint8_t* bytes = s->bytes();
    size_t length = size_t(s->length);
    for (size_t at = 0; at < length;) {
        size_t used = 1;
        value::Str* item;
        if (bytes[at] < 0x80) {
            item = asciiChar(bytes[at]);
        } else {
            unicode::decode(bytes + at, length - at, &used);
            item = value::newStr(bytes + at, used);
        }
        if (!item) return false;
        if (!value::listAppend(l, Value::of(value::TagStr, item))) {
            value::decref(Value::of(value::TagStr, item));
            return false;
        }
        at += used;
    }
    return true;
}

// Appends v with one more reference; false when memory runs out (nothing appended).
bool appendCopy(value::List* l, Value v) {
    value::incref(v);
    if (value::listAppend(l, v)) return true;
    value::decref(v);
    return false;
}

bool tupleItems(value::Tuple* t, value::List* l) {
    for (uint64_t i = 0; i < t->count; i++)
        if (!appendCopy(l, t->items()[i])) return false;
    return true;
}

bool dictItems(value::Dict* d, value::List* l) {
    for (uint64_t i = 0; i < d->used; i++) {
        Value key = d->entries[i].key;
        if (key.tag == value::TagDeleted) continue;
        if (!appendCopy(l, key)) return false;
    }
    return true;
}

bool setItems(value::Set* s, value::List* l) {
    if (!s->table) return true;
    for (uint64_t i = 0; i <= s->mask; i++) {
        Value key = s->table[i].key;
        if (key.tag == value::TagUnset || key.tag == value::TagDeleted) continue;
        if (!appendCopy(l, key)) return false;
    }
    return true;
}

uint64_t itemCount(Value v) {
    switch (v.tag) {
    case value::TagStr: return v.as<value::Str>()->chars;
    case value::TagTuple: return v.as<value::Tuple>()->count;
    case value::TagDict: return v.as<value::Dict>()->length;
    case value::TagSet: return v.as<value::Set>()->used;
    default: return 0;
    }
}

// ---- wn_range ------------------------------------------------------------------------------------

// One argument of range() as a 64-bit int; false with the failure recorded.
bool rangeArgument(Ctx* ctx, int32_t site, Value v, int64_t* out) {
    switch (v.tag) {
    case value::TagBool:
    case value::TagInt:
    case value::TagPint: *out = int64_t(v.payload); return true;
    case value::TagBig: failRangeBeyond(ctx, site); return false;
    case value::TagPy: {
        value::claimLock(&kRangePython);
        PyObject* index = PyNumber_Index(v.as<PyObject>());
        if (!index) {
            bridge::failFromPython(ctx, site);
            return false;
        }
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (overflow) {
            failRangeBeyond(ctx, site);
            return false;
        }
        *out = int64_t(x);
        return true;
    }
    default: {
        std::string text = "'";
        text += value::typeName(v);
        text += "' object cannot be interpreted as an integer";
        failKind(ctx, site, errors::Kind::TypeError, text.data(), text.size());
        return false;
    }
    }
}

// ---- wn_slice ------------------------------------------------------------------------------------

bool sliceBound(Value v) {
    return v.tag == value::TagNone || v.tag == value::TagBool || v.tag == value::TagInt ||
           v.tag == value::TagPint;
}

int64_t clampBound(int64_t x, int64_t length, bool backwards) {
    if (x < 0) {
        x += length;
        if (x < 0) x = backwards ? -1 : 0;
    } else if (x >= length) {
        x = backwards ? length - 1 : length;
    }
    return x;
}

// The selected code points of a str that is not ASCII; null when memory runs out.
value::Str* strSliceWide(value::Str* s, int64_t start, int64_t count, int64_t step) {
    if (step == 1) {
        // One run of code points: its two ends from the str's own offset index.
        size_t from = value::charOffset(s, uint64_t(start));
        size_t to = value::charOffset(s, uint64_t(start + count));
        return value::newStr(s->bytes() + from, to - from);
    }
    const uint8_t* bytes = s->bytes();
    size_t length = size_t(s->length);
    auto* offsets = static_cast<size_t*>(std::malloc((size_t(s->chars) + 1) * sizeof(size_t)));
    if (!offsets) return nullptr;
    size_t n = 0;
    for (size_t at = 0; at < length && n < s->chars; n++) {
        size_t used = 1;
        offsets[n] = at;
        unicode::decode(bytes + at, length - at, &used);
        at += used;
    }
    offsets[n] = length;
    size_t total = 0;
    for (int64_t k = 0, i = start; k < count; k++, i += step)
        total += offsets[i + 1] - offsets[i];
    auto* buffer = static_cast<uint8_t*>(std::malloc(total ? total : 1));
    value::Str* result = nullptr;
    if (buffer) {
        size_t at = 0;
        for (int64_t k = 0, i = start; k < count; k++, i += step) {
            size_t width = offsets[i + 1] - offsets[i];
            std::memcpy(buffer + at, bytes + offsets[i], width);
            at += width;
        }
        result = value::newStr(buffer, total);
        std::free(buffer);
    }
    std::free(offsets);
    return result;
}

value::Str* strSlice(value::Str* s, int64_t start, int64_t count, int64_t step) {
    if (s->chars != s->length) return strSliceWide(s, start, count, step);
    if (step == 1) return value::newStr(s->bytes() + start, size_t(count));
    auto* buffer = static_cast<uint8_t*>(std::malloc(count ? size_t(count) : 1));
    if (!buffer) return nullptr;
    for (int64_t k = 0, i = start; k < count; k++, i += step) buffer[k] = s->bytes()[i];
    value::Str* result = value::newStr(buffer, size_t(count));
    std::free(buffer);
    return result;
}

value::Bytes* bytesSlice(value::Bytes* b, int64_t start, int64_t count, int64_t step) {
    // A view's slice is a view of the same owner; an empty one starts at 0.
    if (step == 1)
        return count ? value::bytesSlice(b, uint64_t(start), uint64_t(start + count))
                     : value::bytesSlice(b, 0, 0);
    value::Bytes* result = value::newOwnedBytes(uint64_t(count));
    if (!result) return nullptr;
    for (int64_t k = 0, i = start; k < count; k++, i += step) result->data[k] = b->data[i];
    return result;
}

value::List* listSlice(value::List* l, int64_t start, int64_t count, int64_t step) {
    value::List* result = value::newList(uint64_t(count));
    if (!result) return nullptr;
    for (int64_t k = 0, i = start; k < count; k++, i += step) {
        if (!appendCopy(result, l->items[i])) {
            value::decref(Value::of(value::TagList, result));
            return nullptr;
        }
    }
    return result;
}

value::Tuple* tupleSlice(value::Tuple* t, int64_t start, int64_t count, int64_t step) {
    value::Tuple* result = value::newTuple(uint64_t(count));
    if (!result) return nullptr;
    for (int64_t k = 0, i = start; k < count; k++, i += step) {
        Value item = t->items()[i];
        value::incref(item);
        result->items()[k] = item;
    }
    return result;
}

int64_t lengthOf(Value v) {
    switch (v.tag) {
    case value::TagStr: return int64_t(v.as<value::Str>()->chars);
    case value::TagBytes: return int64_t(v.as<value::Bytes>()->length);
    case value::TagList: return int64_t(v.as<value::List>()->count);
    default: return int64_t(v.as<value::Tuple>()->count);
    }
}

// container[start:stop:step] through Python.
bool pythonSlice(Ctx* ctx, int32_t site, Value container, const Value bounds[3], Value* out) {
    const Value values[4] = {container, bounds[0], bounds[1], bounds[2]};
    PyObject* objs[4] = {};
    if (!objects(ctx, site, values, 4, objs)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* slice = PySlice_New(objs[1], objs[2], objs[3]);
    PyObject* item = slice ? PyObject_GetItem(objs[0], slice) : nullptr;
    Py_XDECREF(slice);
    for (PyObject* o : objs) Py_DECREF(o);
    return pythonResult(ctx, site, item, out);
}

}  // namespace

SliceSpan sliceSpan(int64_t length, bool hasStart, int64_t start, bool hasStop, int64_t stop,
                    int64_t step) {
    bool backwards = step < 0;
    int64_t from = hasStart ? clampBound(start, length, backwards) : backwards ? length - 1 : 0;
    int64_t to = hasStop ? clampBound(stop, length, backwards) : backwards ? -1 : length;
    int64_t count = 0;
    if (!backwards && to > from) count = (to - from - 1) / step + 1;
    if (backwards && to < from) count = (from - to - 1) / -step + 1;
    return {from, count};
}

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;
namespace helpers = wuna::helpers;
namespace value = wuna::value;

extern "C" {

bool wn_items(void* c, int32_t site, int64_t tag, int64_t payload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    Value v{uint64_t(tag), uint64_t(payload)};
    if (v.tag == value::TagList) {
        value::incref(v);
        *result = v;
        return true;
    }
    bool native = v.tag == value::TagStr || v.tag == value::TagTuple || v.tag == value::TagDict ||
                  v.tag == value::TagSet;
    if (!native) return helpers::pythonItems(ctx, site, v, result);
    value::List* l = value::newList(helpers::itemCount(v));
    bool done = l != nullptr;
    if (done) {
        switch (v.tag) {
        case value::TagStr: done = helpers::strItems(v.as<value::Str>(), l); break;
        case value::TagTuple: done = helpers::tupleItems(v.as<value::Tuple>(), l); break;
        case value::TagDict: done = helpers::dictItems(v.as<value::Dict>(), l); break;
        default: done = helpers::setItems(v.as<value::Set>(), l); break;
        }
    }
    if (!done) {
        if (l) value::decref(Value::of(value::TagList, l));
        helpers::failOutOfMemory(ctx, site);
        return false;
    }
    *result = Value::of(value::TagList, l);
    return true;
}

bool wn_range(void* c, int32_t site, void* argsArg, int64_t count, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    const auto* args = static_cast<const Value*>(argsArg);
    if (count < 1 || count > 3) {
        // Python's own words for a call with the wrong number of arguments.
        char text[64];
        int n = count < 1 ? snprintf(text, sizeof text,
                                     "range expected at least 1 argument, got %lld", (long long)count)
                          : snprintf(text, sizeof text,
                                     "range expected at most 3 arguments, got %lld", (long long)count);
        helpers::failKind(ctx, site, wuna::errors::Kind::TypeError, text, uint64_t(n));
        return false;
    }
    int64_t numbers[3] = {0, 0, 1};
    for (int64_t i = 0; i < count; i++)
        if (!helpers::rangeArgument(ctx, site, args[i], &numbers[i])) return false;
    if (count == 3 && numbers[2] == 0) {
        helpers::failRangeZeroStep(ctx, site);
        return false;
    }
    helpers::RangeRecord r = count == 1 ? helpers::RangeRecord{0, numbers[0], 1}
                                        : helpers::RangeRecord{numbers[0], numbers[1], numbers[2]};
    *static_cast<helpers::RangeRecord*>(out) = r;
    return true;
}

bool wn_slice(void* c, int32_t site, int64_t tag, int64_t payload, int64_t startTag,
              int64_t startPayload, int64_t stopTag, int64_t stopPayload, int64_t stepTag,
              int64_t stepPayload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    Value v{uint64_t(tag), uint64_t(payload)};
    const Value bounds[3] = {{uint64_t(startTag), uint64_t(startPayload)},
                             {uint64_t(stopTag), uint64_t(stopPayload)},
                             {uint64_t(stepTag), uint64_t(stepPayload)}};
    bool container = v.tag == value::TagStr || v.tag == value::TagBytes ||
                     v.tag == value::TagList || v.tag == value::TagTuple;
    if (!container || !helpers::sliceBound(bounds[0]) || !helpers::sliceBound(bounds[1]) ||
        !helpers::sliceBound(bounds[2]))
        return helpers::pythonSlice(ctx, site, v, bounds, result);
    int64_t step = bounds[2].tag == value::TagNone ? 1 : int64_t(bounds[2].payload);
    if (step == 0) {
        helpers::failSliceZeroStep(ctx, site);
        return false;
    }
    // Python clamps the step so that its negation is still an index.
    if (step == INT64_MIN) step = -INT64_MAX;
    helpers::SliceSpan span = helpers::sliceSpan(
        helpers::lengthOf(v), bounds[0].tag != value::TagNone, int64_t(bounds[0].payload),
        bounds[1].tag != value::TagNone, int64_t(bounds[1].payload), step);
    void* block;
    switch (v.tag) {
    case value::TagStr: block = helpers::strSlice(v.as<value::Str>(), span.start, span.count, step); break;
    case value::TagBytes:
        block = helpers::bytesSlice(v.as<value::Bytes>(), span.start, span.count, step);
        break;
    case value::TagList: block = helpers::listSlice(v.as<value::List>(), span.start, span.count, step); break;
    default: block = helpers::tupleSlice(v.as<value::Tuple>(), span.start, span.count, step); break;
    }
    if (!block) {
        helpers::failOutOfMemory(ctx, site);
        return false;
    }
    *result = Value{v.tag, uint64_t(uintptr_t(block))};
    return true;
}

}  // extern "C"
