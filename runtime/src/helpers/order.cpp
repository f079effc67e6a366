// Order and comparison of native values (see order.h).
#include "wuna/runtime/helpers/order.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::i128;
using value::Value;

namespace {

constexpr gil::Location kPythonCompare{"helpers", "runtime/src/helpers/order.cpp",
                                       "wn_compare", 0, 0};
constexpr gil::Location kPythonsOrder{"helpers", "runtime/src/helpers/order.cpp",
                                      "pythonsOrder", 0, 0};
constexpr gil::Location kSortKey{"helpers", "runtime/src/helpers/order.cpp", "wn_sorted", 0, 0};
constexpr gil::Location kMinMax{"helpers", "runtime/src/helpers/order.cpp", "wn_min_max", 0, 0};

constexpr char kBadCompare[] = "wuna: a comparison code out of range (a wuna bug)";
constexpr char kModifiedDuringSort[] = "list modified during sort";

struct CompareInfo {
    const char* name;  // in crossing texts
    int python;        // Python's rich-comparison operator; -1 for the membership tests
};

constexpr CompareInfo kCompare[] = {
    {"eq", Py_EQ}, {"ne", Py_NE}, {"lt", Py_LT},    {"le", Py_LE},    {"gt", Py_GT},
    {"ge", Py_GE}, {"is", -1},    {"is_not", -1},   {"in", -1},       {"not_in", -1},
};
static_assert(std::size(kCompare) == size_t(CompareOp::count));

constexpr OrderOf kUndecided{Order::unordered, 0};

inline OrderOf known(Order o) { return {o, 1}; }

template <class T>
OrderOf compareScalars(T a, T b) {
    return known(a < b ? Order::less : a > b ? Order::greater : Order::equal);
}

inline bool intOrWide(const Value& v) { return value::smallIntTag(v.tag) || v.tag == value::TagBig; }

inline Order mirrored(Order o) {
    return o == Order::less ? Order::greater : o == Order::greater ? Order::less : o;
}

// 2^127, exactly a double: a float at least this large in magnitude lies beyond every int of
// 128 bits, and a smaller one truncates to such an int exactly.
constexpr double kTwo127 = 170141183460469231731687303715884105728.0;

// The exact order of an int of up to 128 bits against a float.
Order intAgainstFloat(i128 n, double f) {
    if (std::isnan(f)) return Order::unordered;
    if (std::fabs(f) >= kTwo127) return f > 0 ? Order::less : Order::greater;
    double t = std::trunc(f);
    i128 whole = i128(t);
    if (n != whole) return n < whole ? Order::less : Order::greater;
    double fraction = f - t;
    return fraction > 0 ? Order::less : fraction < 0 ? Order::greater : Order::equal;
}

inline bool immutableBytes(const Value& v) {
    return v.tag == value::TagBytes && (v.as<value::Bytes>()->h.flags & value::FlagImmutable);
}

// Bytewise over the shorter length, then the shorter is less.
Order bytewise(const uint8_t* a, uint64_t na, const uint8_t* b, uint64_t nb) {
    uint64_t n = std::min(na, nb);
    int c = n ? std::memcmp(a, b, size_t(n)) : 0;
    if (c) return c < 0 ? Order::less : Order::greater;
    return na < nb ? Order::less : na > nb ? Order::greater : Order::equal;
}

// The items of a list or tuple.
void itemsOf(const Value& v, const Value** items, uint64_t* count) {
    if (v.tag == value::TagList) {
        *items = v.as<value::List>()->items;
        *count = v.as<value::List>()->count;
    } else {
        *items = v.as<value::Tuple>()->items();
        *count = v.as<value::Tuple>()->count;
    }
}

bool badCompare(Ctx* ctx, int32_t site) {
    fail(ctx, site, kBadCompare, sizeof kBadCompare - 1);
    return false;
}

// ---- Membership ------------------------------------------------------------------------------

enum class Found : uint8_t { no, yes, python, failed };

Found found(bool b) { return b ? Found::yes : Found::no; }

// The unhashable-key TypeError of a dict lookup, worded by the interpreter's version.
void failUnhashableKey(Ctx* ctx, int32_t site, const Value& key) {
    char name[kCrossingNameMax];
    size_t n = crossingTypeName(key, name);
    char text[2 * kCrossingNameMax + 64];
    size_t k = 0;
    auto put = [&](const char* s, size_t len) {
        std::memcpy(text + k, s, len);
        k += len;
    };
    if (python_minor >= 14) {
        put("cannot use '", 12);
        put(name, n);
        put("' as a dict key (", 17);
    }
    put("unhashable type: '", 18);
    put(name, n);
    put("'", 1);
    if (python_minor >= 14) put(")", 1);
    failKind(ctx, site, errors::Kind::TypeError, text, k);
}

Found contains(Ctx* ctx, int32_t site, const Value& item, const Value& container) {
    if (item.tag == value::TagPy) return Found::python;
    switch (container.tag) {
    case value::TagStr: {
        if (item.tag != value::TagStr) return Found::python;
        auto *hay = container.as<value::Str>(), *needle = item.as<value::Str>();
        if (!needle->length) return Found::yes;
        return found(memmem(hay->bytes(), size_t(hay->length), needle->bytes(),
                            size_t(needle->length)) != nullptr);
    }
    case value::TagList:
    case value::TagTuple: {
        const Value* items = nullptr;
        uint64_t n = 0;
        itemsOf(container, &items, &n);
        for (uint64_t i = 0; i < n; i++) {
            if (items[i].tag == value::TagPy) return Found::python;
            bool same = value::equal(item, items[i]);
            if (bridge::failFromFault(ctx, site)) return Found::failed;
            if (same) return Found::yes;
            // An equality test may have changed the list (a record's __eq__): read it again.
            itemsOf(container, &items, &n);
        }
        return Found::no;
    }
    case value::TagDict: {
        bool hashable = value::hashable(item);
        if (bridge::failFromFault(ctx, site)) return Found::failed;
        if (!hashable) {
            failUnhashableKey(ctx, site, item);
            return Found::failed;
        }
        Value ignored{};
        bool present = value::dictGet(container.as<value::Dict>(), item, &ignored);
        if (bridge::failFromFault(ctx, site)) return Found::failed;
        return found(present);
    }
    case value::TagSet: {
        bool hashable = value::hashable(item);
        if (bridge::failFromFault(ctx, site)) return Found::failed;
        if (!hashable) return Found::python;
        bool present = set::contains(container.as<value::Set>(), item);
        if (bridge::failFromFault(ctx, site)) return Found::failed;
        return found(present);
    }
    default: break;
    }
    if (!immutableBytes(container)) return Found::python;
    auto* hay = container.as<value::Bytes>();
    if (immutableBytes(item)) {
        auto* needle = item.as<value::Bytes>();
        if (!needle->length) return Found::yes;
        return found(memmem(hay->data, size_t(hay->length), needle->data,
                            size_t(needle->length)) != nullptr);
    }
    if (value::smallIntTag(item.tag) && item.payload <= 255)
        return found(hay->length && std::memchr(hay->data, int(item.payload), size_t(hay->length)));
    return Found::python;
}

// ---- Python's comparison ----------------------------------------------------------------------

void countCompare(Ctx* ctx, CompareOp op, const Value& left, const Value& right) {
    countHandOver(ctx, "compare", left, kCompare[uint32_t(op)].name, &right);
}

bool pythonCompare(Ctx* ctx, int32_t site, CompareOp op, const Value& left, const Value& right,
                   Value* out) {
    countCompare(ctx, op, left, right);
    Value operands[2] = {left, right};
    PyObject* objs[2] = {nullptr, nullptr};
    if (!objects(ctx, site, operands, 2, objs)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    bool membership = op == CompareOp::in || op == CompareOp::notIn;
    int answer = membership ? PySequence_Contains(objs[1], objs[0])
                            : PyObject_RichCompareBool(objs[0], objs[1], kCompare[uint32_t(op)].python);
    Py_DECREF(objs[0]);
    Py_DECREF(objs[1]);
    if (answer < 0) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    *out = Value::boolean(op == CompareOp::notIn ? answer == 0 : answer == 1);
    return true;
}

// The answer of an order for lt, le, gt, ge.
bool answerOf(CompareOp op, Order o) {
    switch (op) {
    case CompareOp::lt: return o == Order::less;
    case CompareOp::le: return o == Order::less || o == Order::equal;
    case CompareOp::gt: return o == Order::greater;
    default: return o == Order::greater || o == Order::equal;
    }
}

// Inclusion of two sets for lt, le, gt, ge.
bool setInclusion(CompareOp op, value::Set* a, value::Set* b) {
    switch (op) {
    case CompareOp::le: return set::isSubset(a, b);
    case CompareOp::ge: return set::isSubset(b, a);
    case CompareOp::lt: return a->used < b->used && set::isSubset(a, b);
    default: return b->used < a->used && set::isSubset(b, a);
    }
}

// ---- Sorting ------------------------------------------------------------------------------

// One key: the key function's result for an item. A Python callable is called through
// Python; any other callable value through wn_call (which resolves a pending tail call).
bool keyOf(Ctx* ctx, int32_t site, const Value& fn, const Value& item, Value* out) {
    if (fn.tag == value::TagPy)
        return callPythonObject(ctx, site, &kSortKey, fn.as<PyObject>(), &item, 1, out);
    // Through the helper table: the call of function values is a helper of its own, which may
    // still be a stub in this build (its failure then says so).
    constexpr uint32_t kWnCall = 14;
    constexpr uint32_t kWnCallPlain = 72;
    static_assert(kWnCall < kHelperCount && kWnCallPlain < kHelperCount);
    // A function a semantic made is the Python function the reference mode's sort calls: what
    // it raises comes out as it is, not as a host function's failure.
    uint32_t helper = fn.tag == value::TagClosure ? kWnCallPlain : kWnCall;
    auto call = reinterpret_cast<HelperFn<"bpillplpp">*>(helperAddresses[helper]);
    Value arg = item;
    return call(ctx, site, int64_t(fn.tag), int64_t(fn.payload), &arg, 1, nullptr, out);
}

// Owned values in a C-heap array, released together.
struct Owned {
    Value* items = nullptr;
    uint64_t count = 0;
    ~Owned() {
        for (uint64_t i = 0; i < count; i++) value::decref(items[i]);
        std::free(items);
    }
};

bool allocate(Ctx* ctx, int32_t site, uint64_t n, size_t size, void** out) {
    if (n > SIZE_MAX / size) {
        failOutOfMemory(ctx, site);
        return false;
    }
    *out = std::malloc(size_t(n ? n : 1) * size);
    if (!*out) failOutOfMemory(ctx, site);
    return *out != nullptr;
}

// Copies the items of a list or tuple, or of any other iterable through Python's list(), each
// with a reference.
bool copyItems(Ctx* ctx, int32_t site, const Value& iterable, Owned* out) {
    Value owned = Value::none();
    const Value* source = &iterable;
    if (iterable.tag != value::TagList && iterable.tag != value::TagTuple) {
        if (!pythonItems(ctx, site, iterable, &owned)) return false;
        source = &owned;
    }
    const Value* items = nullptr;
    uint64_t n = 0;
    if (source->tag == value::TagList || source->tag == value::TagTuple) itemsOf(*source, &items, &n);
    void* memory = nullptr;
    bool ok = allocate(ctx, site, n, sizeof(Value), &memory);
    if (ok) {
        out->items = static_cast<Value*>(memory);
        for (uint64_t i = 0; i < n; i++) {
            value::incref(items[i]);
            out->items[i] = items[i];
        }
        out->count = n;
    }
    value::decref(owned);
    return ok;
}

// wn_sorted on a receiver that is not a native list: a plain Python list is sorted natively and
// its contents replaced; anything else is asked to sort itself.
bool sortPythonReceiver(Ctx* ctx, int32_t site, const Value& receiver, const Value& key,
                        const Value& reverse, Value* out) {
    value::claimLock(&kSortKey);
    PyObject* list = receiver.tag == value::TagPy ? receiver.as<PyObject>() : nullptr;
    if (list && PyList_CheckExact(list)) {
        Value sorted{};
        if (!wn_sorted(ctx, site, int64_t(receiver.tag), int64_t(receiver.payload), int64_t(key.tag),
                       int64_t(key.payload), int64_t(reverse.tag), int64_t(reverse.payload), 0,
                       &sorted))
            return false;
        auto* l = sorted.as<value::List>();
        PyObject* items = PyList_New(Py_ssize_t(l->count));
        for (uint64_t i = 0; items && i < l->count; i++) {
            PyObject* o = convert::toPython(l->items[i], &ctx->conversion);
            if (!o) Py_CLEAR(items);
            else PyList_SET_ITEM(items, Py_ssize_t(i), o);
        }
        value::decref(sorted);
        bool ok = items && PyList_SetSlice(list, 0, PyList_GET_SIZE(list), items) == 0;
        Py_XDECREF(items);
        if (!ok) {
            bridge::failFromPython(ctx, site);
            return false;
        }
        *out = Value::none();
        return true;
    }
    Value values[3] = {receiver, key, reverse};
    PyObject* objs[3] = {};
    if (!objects(ctx, site, values, 3, objs)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* method = PyObject_GetAttrString(objs[0], "sort");
    PyObject* args = PyTuple_New(0);
    PyObject* kwargs = Py_BuildValue("{sOsO}", "key", objs[1], "reverse", objs[2]);
    PyObject* result = method && args && kwargs ? PyObject_Call(method, args, kwargs) : nullptr;
    Py_XDECREF(method);
    Py_XDECREF(args);
    Py_XDECREF(kwargs);
    for (PyObject* o : objs) Py_DECREF(o);
    return pythonResult(ctx, site, result, out);
}

}  // namespace

// ---- Shared ordering ------------------------------------------------------------------------

OrderOf orderOf(Value a, Value b) {
    using value::asDouble;
    if (value::smallIntTag(a.tag) && value::smallIntTag(b.tag))
        return compareScalars(int64_t(a.payload), int64_t(b.payload));
    if (intOrWide(a) && intOrWide(b)) {
        i128 x = 0, y = 0;
        (void)value::wide(a, &x);
        (void)value::wide(b, &y);
        return compareScalars(x, y);
    }
    if (intOrWide(a) && b.tag == value::TagFloat) {
        i128 x = 0;
        (void)value::wide(a, &x);
        return known(intAgainstFloat(x, asDouble(b.payload)));
    }
    if (a.tag == value::TagFloat && intOrWide(b)) {
        i128 y = 0;
        (void)value::wide(b, &y);
        return known(mirrored(intAgainstFloat(y, asDouble(a.payload))));
    }
    if (a.tag == value::TagFloat && b.tag == value::TagFloat) {
        double x = asDouble(a.payload), y = asDouble(b.payload);
        if (std::isnan(x) || std::isnan(y)) return known(Order::unordered);
        return compareScalars(x, y);
    }
    if (a.tag == value::TagStr && b.tag == value::TagStr) {
        if (a.payload == b.payload) return known(Order::equal);
        auto *x = a.as<value::Str>(), *y = b.as<value::Str>();
        return known(bytewise(x->bytes(), x->length, y->bytes(), y->length));
    }
    return kUndecided;
}

SortLess sortLess(Value a, Value b) {
    constexpr SortLess kNot{0, 0};
    OrderOf o = orderOf(a, b);
    if (o.known) {
        if (o.order == Order::unordered) return kNot;
        return {uint8_t(o.order == Order::less), 1};
    }
    if (immutableBytes(a) && immutableBytes(b)) {
        auto *x = a.as<value::Bytes>(), *y = b.as<value::Bytes>();
        return {uint8_t(bytewise(x->data, x->length, y->data, y->length) == Order::less), 1};
    }
    bool sequences = (a.tag == value::TagList || a.tag == value::TagTuple) && a.tag == b.tag;
    if (!sequences) return kNot;
    const Value *x = nullptr, *y = nullptr;
    uint64_t nx = 0, ny = 0;
    itemsOf(a, &x, &nx);
    itemsOf(b, &y, &ny);
    uint64_t n = std::min(nx, ny);
    for (uint64_t i = 0; i < n; i++) {
        if (x[i].tag == value::TagPy || y[i].tag == value::TagPy) return kNot;
        if (value::equal(x[i], y[i])) continue;
        if (value::faulted()) return kNot;
        if (!value::enterNested(value::kCompareTooDeep)) return kNot;
        SortLess inner = sortLess(x[i], y[i]);
        value::leaveNested();
        return inner;
    }
    return {uint8_t(nx < ny), 1};
}

bool pythonsOrder(Ctx* ctx, int32_t site, const Value* keys, uint64_t count, bool reverse,
                  uint64_t* index) {
    gil::Record* r = gil::enter();
    bool ok = false;
    PyObject* list = PyList_New(Py_ssize_t(count));
    for (uint64_t i = 0; list && i < count; i++) {
        PyObject* o = convert::toPython(keys[i], &ctx->conversion);
        if (!o) Py_CLEAR(list);
        else PyList_SET_ITEM(list, Py_ssize_t(i), o);
    }
    PyObject* sorted = nullptr;
    if (list) {
        PyObject* getter = PyObject_GetAttrString(list, "__getitem__");
        PyObject* range = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyRange_Type), "K",
                                                (unsigned long long)count);
        PyObject* fn = PyDict_GetItemString(PyEval_GetBuiltins(), "sorted");
        PyObject* args = range ? PyTuple_Pack(1, range) : nullptr;
        PyObject* kwargs = getter ? Py_BuildValue("{sOsO}", "key", getter, "reverse",
                                                  reverse ? Py_True : Py_False)
                                  : nullptr;
        sorted = fn && args && kwargs ? PyObject_Call(fn, args, kwargs) : nullptr;
        Py_XDECREF(getter);
        Py_XDECREF(range);
        Py_XDECREF(args);
        Py_XDECREF(kwargs);
    }
    if (sorted && PyList_Check(sorted) && uint64_t(PyList_GET_SIZE(sorted)) == count) {
        ok = true;
        for (uint64_t i = 0; i < count; i++)
            index[i] = uint64_t(PyLong_AsUnsignedLongLong(PyList_GET_ITEM(sorted, Py_ssize_t(i))));
    }
    Py_XDECREF(sorted);
    Py_XDECREF(list);
    if (!ok) bridge::failFromPython(ctx, site);
    gil::leave(r);
    return ok;
}

extern "C" {

bool wn_compare(void* c, int32_t site, int32_t op, int64_t leftTag, int64_t leftPayload,
                int64_t rightTag, int64_t rightPayload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    if (uint32_t(op) >= uint32_t(CompareOp::count)) return badCompare(ctx, site);
    auto code = CompareOp(op);
    Value left{uint64_t(leftTag), uint64_t(leftPayload)};
    Value right{uint64_t(rightTag), uint64_t(rightPayload)};
    switch (code) {
    case CompareOp::eq:
    case CompareOp::ne: {
        if (left.tag == value::TagPy || right.tag == value::TagPy) break;
        bool same = value::equal(left, right);
        if (bridge::failFromFault(ctx, site)) return false;
        *result = Value::boolean(same == (code == CompareOp::eq));
        return true;
    }
    case CompareOp::is:
    case CompareOp::isNot: {
        bool identical = left.tag == right.tag &&
                         (left.payload == right.payload || left.tag == value::TagNone);
        *result = Value::boolean(identical == (code == CompareOp::is));
        return true;
    }
    case CompareOp::in:
    case CompareOp::notIn:
        switch (contains(ctx, site, left, right)) {
        case Found::failed: return false;
        case Found::python: break;
        case Found::yes: *result = Value::boolean(code == CompareOp::in); return true;
        case Found::no: *result = Value::boolean(code == CompareOp::notIn); return true;
        }
        break;
    default: {
        if (left.tag == value::TagSet && right.tag == value::TagSet) {
            bool answer = setInclusion(code, left.as<value::Set>(), right.as<value::Set>());
            if (bridge::failFromFault(ctx, site)) return false;
            *result = Value::boolean(answer);
            return true;
        }
        OrderOf o = orderOf(left, right);
        if (!o.known) break;
        *result = Value::boolean(answerOf(code, o.order));
        return true;
    }
    }
    return pythonCompare(ctx, site, code, left, right, result);
}

bool wn_sorted(void* c, int32_t site, int64_t tag, int64_t payload, int64_t keyTag,
               int64_t keyPayload, int64_t reverseTag, int64_t reversePayload, int32_t inPlace,
               void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    Value iterable{uint64_t(tag), uint64_t(payload)};
    Value key{uint64_t(keyTag), uint64_t(keyPayload)};
    Value reverseValue{uint64_t(reverseTag), uint64_t(reversePayload)};
    if (inPlace && iterable.tag != value::TagList)
        return sortPythonReceiver(ctx, site, iterable, key, reverseValue, result);
    bool reverse = value::truthy(reverseValue);
    if (bridge::failFromFault(ctx, site)) return false;
    // The receiver is held while keys are computed: a key function may drop the last other
    // reference to it.
    if (inPlace) value::incref(iterable);
    struct Held {
        Value v;
        bool held;
        ~Held() {
            if (held) value::decref(v);
        }
    } hold{iterable, inPlace != 0};
    Owned items;
    if (!copyItems(ctx, site, iterable, &items)) return false;
    uint64_t n = items.count;
    Owned keys;
    const Value* sortKeys = items.items;
    if (key.tag != value::TagNone) {
        void* memory = nullptr;
        if (!allocate(ctx, site, n, sizeof(Value), &memory)) return false;
        keys.items = static_cast<Value*>(memory);
        for (uint64_t i = 0; i < n; i++) {
            if (!keyOf(ctx, site, key, items.items[i], &keys.items[i])) return false;
            keys.count = i + 1;
        }
        sortKeys = keys.items;
    }
    void* memory = nullptr;
    if (!allocate(ctx, site, n, sizeof(uint64_t), &memory)) return false;
    auto* index = static_cast<uint64_t*>(memory);
    for (uint64_t i = 0; i < n; i++) index[i] = i;
    bool undecided = false;
    std::stable_sort(index, index + n, [&](uint64_t i, uint64_t j) {
        SortLess s = reverse ? sortLess(sortKeys[j], sortKeys[i]) : sortLess(sortKeys[i], sortKeys[j]);
        if (!s.known) undecided = true;
        return s.less != 0;
    });
    bool ok = !bridge::failFromFault(ctx, site);
    if (ok && undecided) ok = pythonsOrder(ctx, site, sortKeys, n, reverse, index);
    if (ok && inPlace) {
        auto* list = iterable.as<value::List>();
        // A key function that changed the list's length leaves no slots to rewrite in order.
        if (list->count != n) {
            failAs<errors::Kind::ValueError, kModifiedDuringSort>(ctx, site);
            ok = false;
        }
        for (uint64_t i = 0; ok && i < n; i++) {
            Value old = list->items[i];
            value::incref(items.items[index[i]]);
            list->items[i] = items.items[index[i]];
            value::decref(old);
        }
        if (ok) *result = Value::none();
    } else if (ok) {
        value::List* sorted = value::newList(n);
        for (uint64_t i = 0; sorted && i < n; i++) {
            value::incref(items.items[index[i]]);
            if (!value::listAppend(sorted, items.items[index[i]])) {
                value::decref(items.items[index[i]]);
                value::decref(value::TagList, uint64_t(uintptr_t(sorted)));
                sorted = nullptr;
            }
        }
        if (!sorted) failOutOfMemory(ctx, site);
        else *result = Value::of(value::TagList, sorted);
        ok = sorted != nullptr;
    }
    std::free(index);
    return ok;
}

bool wn_min_max(void* c, int32_t site, int32_t which, int64_t callable, void* values,
                int64_t count, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* items = static_cast<const Value*>(values);
    if (count < 1) return badCompare(ctx, site);
    Order wanted = which == 0 ? Order::less : Order::greater;
    const Value* best = &items[0];
    for (int64_t i = 1; i < count; i++) {
        OrderOf o = orderOf(items[i], *best);
        if (!o.known)
            return callPythonObject(ctx, site, &kMinMax,
                                    reinterpret_cast<PyObject*>(uintptr_t(callable)), items,
                                    uint64_t(count), static_cast<Value*>(out));
        if (o.order == wanted) best = &items[i];
    }
    value::incref(*best);
    *static_cast<Value*>(out) = *best;
    return true;
}

}  // extern "C"

}  // namespace wuna::helpers
