// Indexing and item assignment, iteration, unpacking and dict views. See containers.h.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/containers.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using errors::Kind;
using value::Value;

namespace {

constexpr const char* kFile = "runtime/src/helpers/indexing.cpp";
constexpr gil::Location kGetItem{"helpers", kFile, "wn_getitem", 0, 0};

// From 3.14 the too-many message also says how many values there were.
constexpr int kCountedTooManyMinor = 14;

constexpr const char* kViewMethods[] = {"items", "keys", "values"};

constexpr char kStrRange[] = "string index out of range";
constexpr char kListRange[] = "list index out of range";
constexpr char kTupleRange[] = "tuple index out of range";
constexpr char kBytesRange[] = "index out of range";
constexpr char kListAssignRange[] = "list assignment index out of range";

// Both int tags dispatch alike.
inline Value readAsInt(Value v) {
    return v.tag == value::TagPint ? Value{value::TagInt, v.payload} : v;
}

inline bool integral(Value key) {
    return key.tag == value::TagBool || key.tag == value::TagInt || key.tag == value::TagPint;
}

// The key as a position below n: a negative one counts from the end. False when out of range.
inline bool normalise(Value key, uint64_t n, uint64_t* at) {
    int64_t i = int64_t(key.payload);
    uint64_t position = i < 0 ? uint64_t(i) + n : uint64_t(i);
    *at = position;
    return position < n;
}

inline void failText(Ctx* ctx, int32_t site, Kind kind, const char* text) {
    failKind(ctx, site, kind, text, std::strlen(text));
}

// A Python item read in place: exact ints that fit stay plain ints, anything else converted
// as it is (no copy of a list another object holds). The lock is held.
bool pythonItem(Ctx* ctx, int32_t site, PyObject* item, Value* out) {
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (!overflow && !(i == -1 && PyErr_Occurred())) {
            *out = Value::pint(i);
            return true;
        }
        PyErr_Clear();
    }
    if (convert::convert(item, false, out) == 0) return true;
    bridge::failFromPython(ctx, site);
    return false;
}

bool pythonGetItem(Ctx* ctx, int32_t site, Value container, Value key, Value* out) {
    if (bridge::reporting(ctx)) {
        char name[kCrossingNameMax];
        bridge::TallyText text;
        text.add("getitem ");
        text.add(name, crossingTypeName(container, name));
        text.add("[");
        text.add(name, crossingTypeName(key, name));
        text.add("]");
        bridge::countCrossing(ctx, text);
    }
    Value both[2] = {container, key};
    PyObject* objects[2] = {};
    if (!pythonArgs(ctx, site, both, 2, objects)) return false;
    PyObject* result = PyObject_GetItem(objects[0], objects[1]);
    Py_DECREF(objects[0]);
    Py_DECREF(objects[1]);
    return pythonResult(ctx, site, result, out);
}

bool pythonSetItem(Ctx* ctx, int32_t site, Value container, Value key, Value item) {
    Value all[3] = {container, key, item};
    PyObject* objects[3] = {};
    if (!pythonArgs(ctx, site, all, 3, objects)) return false;
    int status = PyObject_SetItem(objects[0], objects[1], objects[2]);
    for (PyObject* o : objects) Py_DECREF(o);
    if (status == 0) return true;
    bridge::failFromPython(ctx, site);
    return false;
}

bool pythonDelItem(Ctx* ctx, int32_t site, Value container, Value key) {
    Value both[2] = {container, key};
    PyObject* objects[2] = {};
    if (!pythonArgs(ctx, site, both, 2, objects)) return false;
    int status = PyObject_DelItem(objects[0], objects[1]);
    Py_DECREF(objects[0]);
    Py_DECREF(objects[1]);
    if (status == 0) return true;
    bridge::failFromPython(ctx, site);
    return false;
}

// x[k] on an exact Python list or tuple with an integral key, read in place; any other case
// (another type, out of range) answers handled = false for the Python path.
bool pythonSequenceItem(Ctx* ctx, int32_t site, PyObject* o, Value key, Value* out,
                        bool* handled) {
    *handled = false;
    value::claimLock(&kGetItem);
    bool list = PyList_CheckExact(o);
    if (!list && !PyTuple_CheckExact(o)) return false;
    uint64_t n = uint64_t(list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o));
    uint64_t at = 0;
    if (!normalise(key, n, &at)) return false;
    *handled = true;
    PyObject* item = list ? PyList_GET_ITEM(o, Py_ssize_t(at)) : PyTuple_GET_ITEM(o, Py_ssize_t(at));
    return pythonItem(ctx, site, item, out);
}

// Stores into a list slot: the new value gains its reference before the old one goes, so
// lst[0] = lst[0] never frees the item; the element summary follows the new value.
void storeItem(value::List* l, uint64_t at, Value item) {
    value::incref(item);
    Value old = l->items[at];
    l->items[at] = item;
    value::noteItem(l, item.tag);
    value::decref(old);
}

// The items of a runtime container copied into a new list (each item gains a reference).
// Null when memory ran out.
value::List* copyItems(const Value* items, uint64_t n) {
    value::List* l = value::newList(n);
    if (!l) return nullptr;
    for (uint64_t i = 0; i < n; i++) {
        value::incref(items[i]);
        l->items[i] = items[i];
        value::noteItem(l, items[i].tag);
    }
    l->count = n;
    return l;
}

// Appends a new item (taking its reference) to a list made with room for it.
inline void appendMade(value::List* l, Value item) {
    // The list was made with its final capacity: appending cannot fail.
    (void)value::listAppend(l, item);
}

// A new list of the str's one-character strs, or null when memory ran out.
value::List* strItems(value::Str* s) {
    value::List* l = value::newList(s->chars);
    for (uint64_t i = 0; l && i < s->chars; i++) {
        Value c = Value::none();
        if (!charAt(s, i, &c)) {
            value::decref(value::TagList, uint64_t(uintptr_t(l)));
            return nullptr;
        }
        appendMade(l, c);
    }
    return l;
}

// A new list of a dict's live entries by view, or null when memory ran out.
value::List* dictItems(value::Dict* d, DictView view) {
    value::List* l = value::newList(d->length);
    for (uint64_t i = 0; l && i < d->used; i++) {
        const value::DictEntry& e = d->entries[i];
        if (e.key.tag == value::TagDeleted) continue;
        if (view == DictView::items) {
            value::Tuple* pair = value::newTuple(2);
            if (!pair) {
                value::decref(value::TagList, uint64_t(uintptr_t(l)));
                return nullptr;
            }
            value::incref(e.key);
            value::incref(e.value);
            pair->items()[0] = e.key;
            pair->items()[1] = e.value;
            appendMade(l, Value::of(value::TagTuple, pair));
            continue;
        }
        Value item = view == DictView::keys ? e.key : e.value;
        value::incref(item);
        appendMade(l, item);
    }
    return l;
}

// A new list of a set's elements in table order, or null when memory ran out.
value::List* setItems(value::Set* s) {
    value::List* l = value::newList(s->used);
    for (uint64_t i = 0; l && i <= s->mask; i++) {
        Value key = s->table[i].key;
        if (key.tag == value::TagUnset || key.tag == value::TagDeleted) continue;
        value::incref(key);
        appendMade(l, key);
    }
    return l;
}

// The process's generated unpack functions by target count; made and used under the lock.
PyObject* unpackFunctions = nullptr;

// def unpack(x): a0, a1, = x; return (a0, a1, ) - and for no targets `() = x`, the one
// spelling of an empty target list Python accepts.
bool unpackSource(uint64_t n, ByteList* text) {
    static constexpr char head[] = "def unpack(x):\n    ";
    bool ok = appendBytes(text, head, sizeof head - 1);
    if (n == 0) return ok && appendBytes(text, "() = x\n    return ()\n", 21);
    char name[32];
    for (int round = 0; round < 2 && ok; round++) {
        ok = round == 0 || appendBytes(text, "= x\n    return (", 16);
        for (uint64_t i = 0; i < n && ok; i++) {
            int length = std::snprintf(name, sizeof name, "a%llu, ", (unsigned long long)i);
            ok = length > 0 && appendBytes(text, name, uint64_t(length));
        }
    }
    return ok && appendBytes(text, ")\n", 2);
}

// The generated unpack function for n targets, borrowed; null with the Python exception.
// The lock is held.
PyObject* unpackFunction(uint64_t n) {
    if (!unpackFunctions && !(unpackFunctions = PyDict_New())) return nullptr;
    PyObject* key = PyLong_FromUnsignedLongLong(n);
    if (!key) return nullptr;
    PyObject* fn = PyDict_GetItemWithError(unpackFunctions, key);
    if (fn || PyErr_Occurred()) {
        Py_DECREF(key);
        return fn;
    }
    ByteList text{};
    PyObject* source = unpackSource(n, &text)
                           ? PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text.data),
                                                  Py_ssize_t(text.length), "replace")
                           : PyErr_NoMemory();
    std::free(text.data);
    PyObject* globals = source ? PyDict_New() : nullptr;
    PyObject* code = globals ? Py_CompileString(PyUnicode_AsUTF8(source), "<wuna>", Py_file_input)
                             : nullptr;
    if (code && PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
        Py_CLEAR(code);
    PyObject* ran = code ? PyEval_EvalCode(code, globals, globals) : nullptr;
    fn = ran ? PyDict_GetItemString(globals, "unpack") : nullptr;
    if (ran && !fn) PyErr_SetString(PyExc_RuntimeError, "wuna: the unpack function is missing");
    if (fn && PyDict_SetItem(unpackFunctions, key, fn) < 0) fn = nullptr;
    Py_XDECREF(ran);
    Py_XDECREF(code);
    Py_XDECREF(globals);
    Py_XDECREF(source);
    Py_DECREF(key);
    // The dict of the process keeps the function alive from here on.
    return fn;
}

// Unpacking of anything that is neither list nor tuple, by Python's own unpacking. Fills
// out[0..n) and true; false with the failure recorded and nothing left in out.
bool pythonUnpack(Ctx* ctx, int32_t site, Value v, uint64_t n, Value* out) {
    PyObject* o = nullptr;
    if (!pythonArgs(ctx, site, &v, 1, &o)) return false;
    PyObject* fn = unpackFunction(n);
    PyObject* result = fn ? PyObject_CallFunctionObjArgs(fn, o, nullptr) : nullptr;
    Py_DECREF(o);
    if (!result) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    // The items are converted aside and reach out only all together, so a failure halfway
    // leaves the caller's slots as they were.
    auto* items = static_cast<Value*>(std::malloc((n ? n : 1) * sizeof(Value)));
    if (!items) {
        Py_DECREF(result);
        failOutOfMemory(ctx, site);
        return false;
    }
    for (uint64_t k = 0; k < n; k++) {
        PyObject* item = PyTuple_GET_ITEM(result, Py_ssize_t(k));
        if (convert::convert(item, Py_REFCNT(item) == 1, &items[k]) == 0) continue;
        while (k) value::decref(items[--k]);
        std::free(items);
        Py_DECREF(result);
        bridge::failFromPython(ctx, site);
        return false;
    }
    if (n) std::memcpy(out, items, n * sizeof(Value));
    std::free(items);
    Py_DECREF(result);
    return true;
}

}  // namespace

bool charAt(value::Str* s, uint64_t i, Value* out) {
    size_t offset = value::charOffset(s, i);
    const uint8_t* p = s->bytes() + offset;
    uint8_t lead = p[0];
    if (lead < 0x80) {
        // Start-up fills the table; a runtime without the module fills it on use, and threads
        // may meet there: the str is whole and immortal before one compare-and-swap publishes
        // it, and a thread that lost gives its own back.
        std::atomic_ref<value::Str*> slot(ascii_chars[lead]);
        value::Str* shared = slot.load(std::memory_order_acquire);
        if (!shared) {
            value::Str* made = value::newStr(p, 1);
            if (!made) return false;
            value::makeImmortal(&made->h);
            if (slot.compare_exchange_strong(shared, made, std::memory_order_acq_rel)) {
                shared = made;
            } else {
                made->h.count = 1;
                value::decref(value::TagStr, uint64_t(uintptr_t(made)));
            }
        }
        *out = Value::of(value::TagStr, shared);
        return true;
    }
    size_t length = lead >= 0xF0 && lead < 0xF8   ? 4
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xC0 && lead < 0xE0 ? 2
                                                  : 1;
    value::Str* one = value::newStr(p, length);
    if (!one) return false;
    *out = Value::of(value::TagStr, one);
    return true;
}

bool itemsList(Ctx* ctx, int32_t site, Value v, Value* out) {
    value::List* made = nullptr;
    switch (v.tag) {
    case value::TagList:
        value::incref(v);
        *out = v;
        return true;
    case value::TagTuple:
        made = copyItems(v.as<value::Tuple>()->items(), v.as<value::Tuple>()->count);
        break;
    case value::TagStr: made = strItems(v.as<value::Str>()); break;
    case value::TagDict: made = dictItems(v.as<value::Dict>(), DictView::keys); break;
    case value::TagSet: made = setItems(v.as<value::Set>()); break;
    default: return pythonItems(ctx, site, v, out);
    }
    if (!made) {
        failOutOfMemory(ctx, site);
        return false;
    }
    *out = Value::of(value::TagList, made);
    return true;
}

extern "C" {

// ---- Indexing ----------------------------------------------------------------------------------

bool wn_getitem(void* c, int32_t site, int64_t tag, int64_t payload, int64_t keyTag,
                int64_t keyPayload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    Value container = readAsInt(Value::words(tag, payload));
    Value key = Value::words(keyTag, keyPayload);
    uint64_t at = 0;
    bool keyIsIndex = integral(key);
    switch (container.tag) {
    case value::TagStr: {
        if (!keyIsIndex) break;
        auto* s = container.as<value::Str>();
        if (!normalise(key, s->chars, &at)) {
            failText(ctx, site, Kind::IndexError, kStrRange);
            return false;
        }
        if (charAt(s, at, result)) return true;
        failOutOfMemory(ctx, site);
        return false;
    }
    case value::TagList:
    case value::TagTuple: {
        if (!keyIsIndex) break;
        bool list = container.tag == value::TagList;
        const Value* items = list ? container.as<value::List>()->items
                                  : container.as<value::Tuple>()->items();
        uint64_t n = list ? container.as<value::List>()->count : container.as<value::Tuple>()->count;
        if (!normalise(key, n, &at)) {
            failText(ctx, site, Kind::IndexError, list ? kListRange : kTupleRange);
            return false;
        }
        value::incref(items[at]);
        *result = items[at];
        return true;
    }
    case value::TagDict: {
        // An unhashable key, or one that is missing, gets Python's own TypeError or KeyError.
        Value found = Value::none();
        bool hit = value::hashable(key) &&
                   value::dictGet(container.as<value::Dict>(), key, &found);
        if (takeFault(ctx, site)) return false;
        if (!hit) break;
        value::incref(found);
        *result = found;
        return true;
    }
    case value::TagBytes: {
        if (!keyIsIndex) break;
        auto* b = container.as<value::Bytes>();
        if (!normalise(key, b->length, &at)) {
            failText(ctx, site, Kind::IndexError, kBytesRange);
            return false;
        }
        *result = Value::pint(b->data[at]);
        return true;
    }
    case value::TagPy: {
        if (!keyIsIndex) break;
        bool handled = false;
        bool ok = pythonSequenceItem(ctx, site, container.as<PyObject>(), key, result, &handled);
        if (handled) return ok;
        break;
    }
    default: break;
    }
    return pythonGetItem(ctx, site, container, key, result);
}

bool wn_setitem(void* c, int32_t site, int64_t tag, int64_t payload, int64_t keyTag,
                int64_t keyPayload, int64_t itemTag, int64_t itemPayload) {
    auto* ctx = static_cast<Ctx*>(c);
    Value container = readAsInt(Value::words(tag, payload));
    Value key = Value::words(keyTag, keyPayload);
    Value item = Value::words(itemTag, itemPayload);
    switch (container.tag) {
    case value::TagPy: return pythonSetItem(ctx, site, container, key, item);
    case value::TagDict: {
        if (value::readOnly(container.as<value::Obj>())) {
            refuseReadOnly(ctx, site, container.as<value::Obj>());
            return false;
        }
        if (!value::hashable(key)) {
            if (!takeFault(ctx, site)) unhashableKey(ctx, site, key);
            return false;
        }
        bool stored = value::dictSet(container.as<value::Dict>(), key, item);
        if (takeFault(ctx, site)) return false;
        if (!stored) failOutOfMemory(ctx, site);
        return stored;
    }
    case value::TagList: {
        // Big ints, objects with __index__ and slices are Python's to judge, as for reading.
        if (!integral(key)) return pythonSetItem(ctx, site, container, key, item);
        auto* l = container.as<value::List>();
        uint64_t at = 0;
        if (!normalise(key, l->count, &at)) {
            failText(ctx, site, Kind::IndexError, kListAssignRange);
            return false;
        }
        if (value::readOnly(&l->h)) {
            refuseReadOnly(ctx, site, &l->h);
            return false;
        }
        storeItem(l, at, item);
        return true;
    }
    default: {
        std::string_view name = value::typeName(container);
        failKindFormat(ctx, site, Kind::TypeError, "'%.*s' object does not support item assignment",
                       int(name.size()), name.data());
        return false;
    }
    }
}

bool wn_delitem(void* c, int32_t site, int64_t tag, int64_t payload, int64_t keyTag,
                int64_t keyPayload) {
    auto* ctx = static_cast<Ctx*>(c);
    Value container = readAsInt(Value::words(tag, payload));
    Value key = Value::words(keyTag, keyPayload);
    uint64_t at = 0;
    bool changeable = container.tag != value::TagList && container.tag != value::TagDict;
    if (!changeable && value::readOnly(container.as<value::Obj>())) {
        refuseReadOnly(ctx, site, container.as<value::Obj>());
        return false;
    }
    if (container.tag == value::TagDict && value::hashable(key)) {
        bool removed = value::dictDelete(container.as<value::Dict>(), key);
        if (takeFault(ctx, site)) return false;
        if (removed) return true;
    }
    if (takeFault(ctx, site)) return false;
    if (container.tag == value::TagList && integral(key) &&
        normalise(key, container.as<value::List>()->count, &at)) {
        auto* l = container.as<value::List>();
        Value removed = l->items[at];
        std::memmove(l->items + at, l->items + at + 1, (l->count - at - 1) * sizeof(Value));
        l->count--;
        // Released after the move: whatever its release sets off sees a whole list.
        value::decref(removed);
        return true;
    }
    // A missing or unhashable dict key, every other container and every refusal: Python's
    // own deletion and words.
    return pythonDelItem(ctx, site, container, key);
}

// ---- Iteration, unpacking and dict views -------------------------------------------------

bool wn_iter_items(void* c, int32_t site, int64_t tag, int64_t payload, void* out) {
    Value v = Value::words(tag, payload);
    if (v.tag == value::TagTuple) {
        value::incref(v);
        *static_cast<Value*>(out) = v;
        return true;
    }
    return itemsList(static_cast<Ctx*>(c), site, v, static_cast<Value*>(out));
}

int64_t wn_list_len(int64_t tag, int64_t payload) {
    Value v = Value::words(tag, payload);
    return int64_t(v.tag == value::TagTuple ? v.as<value::Tuple>()->count
                                            : v.as<value::List>()->count);
}

void wn_list_at(int64_t tag, int64_t payload, int64_t index, void* out) {
    Value v = Value::words(tag, payload);
    Value item = v.tag == value::TagTuple ? v.as<value::Tuple>()->items()[index]
                                          : v.as<value::List>()->items[index];
    value::incref(item);
    *static_cast<Value*>(out) = item;
}

bool wn_unpack(void* c, int32_t site, int64_t tag, int64_t payload, int64_t count, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* targets = static_cast<Value*>(out);
    Value v = readAsInt(Value::words(tag, payload));
    uint64_t n = count > 0 ? uint64_t(count) : 0;
    if (v.tag != value::TagList && v.tag != value::TagTuple)
        return pythonUnpack(ctx, site, v, n, targets);
    bool list = v.tag == value::TagList;
    const Value* items = list ? v.as<value::List>()->items : v.as<value::Tuple>()->items();
    uint64_t m = list ? v.as<value::List>()->count : v.as<value::Tuple>()->count;
    if (m < n) {
        failKindFormat(ctx, site, Kind::ValueError,
                       "not enough values to unpack (expected %llu, got %llu)",
                       (unsigned long long)n, (unsigned long long)m);
        return false;
    }
    if (m > n) {
        if (pyhelp::servedMinor() >= kCountedTooManyMinor)
            failKindFormat(ctx, site, Kind::ValueError,
                           "too many values to unpack (expected %llu, got %llu)",
                           (unsigned long long)n, (unsigned long long)m);
        else
            failKindFormat(ctx, site, Kind::ValueError, "too many values to unpack (expected %llu)",
                           (unsigned long long)n);
        return false;
    }
    for (uint64_t i = 0; i < n; i++) {
        value::incref(items[i]);
        targets[i] = items[i];
    }
    return true;
}

bool wn_dict_view(void* c, int32_t site, int32_t view, int64_t tag, int64_t payload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    Value v = Value::words(tag, payload);
    if (view < 0 || view > int32_t(DictView::values)) {
        static constexpr char text[] = "wuna: no such dict view (a wuna bug)";
        fail(ctx, site, text, sizeof text - 1);
        return false;
    }
    if (v.tag == value::TagDict) {
        value::List* l = dictItems(v.as<value::Dict>(), DictView(view));
        if (!l) {
            failOutOfMemory(ctx, site);
            return false;
        }
        *static_cast<Value*>(out) = Value::of(value::TagList, l);
        return true;
    }
    PyObject* o = nullptr;
    if (!pythonArgs(ctx, site, &v, 1, &o)) return false;
    PyObject* viewed = PyObject_CallMethod(o, kViewMethods[view], nullptr);
    Py_DECREF(o);
    PyObject* list = viewed ? PySequence_List(viewed) : nullptr;
    Py_XDECREF(viewed);
    return pythonResult(ctx, site, list, static_cast<Value*>(out));
}

}  // extern "C"

}  // namespace wuna::helpers
