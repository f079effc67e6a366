// Constructors of lists, tuples, dicts, records and sets, growing lists, and type tests.
// See containers.h.
#include "wuna/runtime/helpers/containers.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr const char* kFile = "runtime/src/helpers/containers.cpp";
constexpr gil::Location kIsRecord{"helpers", kFile, "wn_is_record", 0, 0};
constexpr gil::Location kFault{"helpers", kFile, "takeFault", 0, 0};

// From 3.14 the message names what the unhashable value was to be.
constexpr int kNamedUnhashableMinor = 14;

void releaseAll(const Value* values, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) value::decref(values[i]);
}

void unhashable(Ctx* ctx, int32_t site, Value v, const char* role) {
    // The type that has no hash is the part hashing stopped at: a tuple's list, say.
    char part[128];
    int partLength = int(typeNameOf(unhashablePart(v), part, sizeof part));
    if (pyhelp::servedMinor() >= kNamedUnhashableMinor) {
        char name[128];
        int length = int(typeNameOf(v, name, sizeof name));
        failKindFormat(ctx, site, errors::Kind::TypeError,
                       "cannot use '%.*s' as a %s (unhashable type: '%.*s')", length, name, role,
                       partLength, part);
    } else {
        failKindFormat(ctx, site, errors::Kind::TypeError, "unhashable type: '%.*s'", partLength,
                       part);
    }
}

// Room for n more items in a list, so that a run of appends cannot fail halfway. False when
// memory ran out (the list unchanged).
bool reserveItems(value::List* l, uint64_t n) {
    return n <= UINT64_MAX / 2 - l->count && value::listReserve(l, l->count + n);
}

// Appends n borrowed values (each gains a reference) to a list with room for them.
void appendReserved(value::List* l, const Value* values, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) {
        value::incref(values[i]);
        // reserveItems made the room: this cannot fail.
        (void)value::listAppend(l, values[i]);
    }
}

// Adds a hashable value to a set under the hash the interpreter would give it. False with the
// failure recorded (out of memory, or a Python __eq__ that raised).
bool addElement(Ctx* ctx, int32_t site, value::Set* s, Value v) {
    if (!value::hashable(v)) {
        if (!takeFault(ctx, site)) unhashableItem(ctx, site, v);
        return false;
    }
    bool added = set::addHashed(s, v, set::elementHash(v));
    if (takeFault(ctx, site)) return false;
    if (!added) failOutOfMemory(ctx, site);
    return added;
}

// Adds the items of a Python iterable to a set. The lock is claimed here.
bool addPythonItems(Ctx* ctx, int32_t site, value::Set* s, Value iterable) {
    PyObject* o = nullptr;
    if (!pythonArgs(ctx, site, &iterable, 1, &o)) return false;
    PyObject* it = PyObject_GetIter(o);
    Py_DECREF(o);
    if (!it) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    bool ok = true;
    while (ok) {
        PyObject* item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred()) {
                bridge::failFromPython(ctx, site);
                ok = false;
            }
            break;
        }
        Value v = Value::none();
        if (convert::convert(item, false, &v) < 0) {
            bridge::failFromPython(ctx, site);
            ok = false;
        } else {
            ok = addElement(ctx, site, s, v);
            value::decref(v);
        }
        Py_DECREF(item);
    }
    Py_DECREF(it);
    return ok;
}

}  // namespace

bool setUpdate(Ctx* ctx, int32_t site, value::Set* s, Value iterable) {
    Value v = iterable.tag == value::TagPint ? Value{value::TagInt, iterable.payload} : iterable;
    switch (v.tag) {
    case value::TagList: {
        auto* l = v.as<value::List>();
        // An item's __eq__ may run Python and change the list: read the count each time.
        for (uint64_t i = 0; i < l->count; i++)
            if (!addElement(ctx, site, s, l->items[i])) return false;
        return true;
    }
    case value::TagTuple: {
        auto* t = v.as<value::Tuple>();
        for (uint64_t i = 0; i < t->count; i++)
            if (!addElement(ctx, site, s, t->items()[i])) return false;
        return true;
    }
    case value::TagDict: {
        auto* d = v.as<value::Dict>();
        // One resize ahead of the keys, as the interpreter sizes a set for a dict's keys
        // (expecting few of them to be there already): the table, and so the order, is its.
        bool grow = (s->fill + d->length) * 5 >= s->mask * 3;
        if (grow && !set::resize(s, (s->used + d->length) * 2)) {
            failOutOfMemory(ctx, site);
            return false;
        }
        // A key's __eq__ may run Python and change the dict: read its size each time.
        for (uint64_t i = 0; i < d->used; i++)
            if (d->entries[i].key.tag != value::TagDeleted &&
                !addElement(ctx, site, s, d->entries[i].key))
                return false;
        return true;
    }
    case value::TagSet:
        if (set::merge(s, v.as<value::Set>())) return true;
        failOutOfMemory(ctx, site);
        return false;
    case value::TagStr: {
        auto* str = v.as<value::Str>();
        for (uint64_t i = 0; i < str->chars; i++) {
            Value c = Value::none();
            if (!charAt(str, i, &c)) {
                failOutOfMemory(ctx, site);
                return false;
            }
            bool ok = addElement(ctx, site, s, c);
            value::decref(c);
            if (!ok) return false;
        }
        return true;
    }
    default: return addPythonItems(ctx, site, s, v);
    }
}

namespace {

// A set of the n values, added in order. New set, or null with the failure recorded.
value::Set* setOf(Ctx* ctx, int32_t site, const Value* values, uint64_t n) {
    value::Set* s = set::make();
    if (!s) {
        failOutOfMemory(ctx, site);
        return nullptr;
    }
    for (uint64_t i = 0; i < n; i++) {
        if (addElement(ctx, site, s, values[i])) continue;
        value::decref(value::TagSet, uint64_t(uintptr_t(s)));
        return nullptr;
    }
    return s;
}

// The interpreter rebuilds a set display from a first set: a big one by adding the values
// again into a table sized for them, a small one by merging. New set, or null with the
// failure recorded.
value::Set* rebuiltSet(Ctx* ctx, int32_t site, value::Set* first, const Value* values,
                       uint64_t n) {
    value::Set* second = set::make();
    if (!second) {
        failOutOfMemory(ctx, site);
        return nullptr;
    }
    bool ok = true;
    if (first->used > 4) {
        if ((first->used + second->fill) * 5 >= second->mask * 3)
            ok = set::resize(second, (first->used + second->used) * 2);
        if (!ok) failOutOfMemory(ctx, site);
        for (uint64_t i = 0; ok && i < n; i++) ok = addElement(ctx, site, second, values[i]);
    } else if (!set::merge(second, first)) {
        failOutOfMemory(ctx, site);
        ok = false;
    }
    if (ok) return second;
    value::decref(value::TagSet, uint64_t(uintptr_t(second)));
    return nullptr;
}

}  // namespace

void refuseReadOnly(Ctx* ctx, int32_t site, const value::Obj* block) {
    const char* text = value::readOnlyText(block->kind);
    failKind(ctx, site, errors::Kind::TypeError, text, std::strlen(text));
}

bool pythonArgs(Ctx* ctx, int32_t site, const Value* values, uint64_t n, PyObject** out) {
    if (objects(ctx, site, values, n, out)) return true;
    bridge::failFromPython(ctx, site);
    return false;
}

Value unhashablePart(Value v) {
    while (v.tag == value::TagTuple) {
        value::Tuple* t = v.as<value::Tuple>();
        uint64_t i = 0;
        while (i < t->count && value::hashable(t->items()[i])) i++;
        if (i == t->count) break;
        v = t->items()[i];
    }
    return v;
}

void unhashableKey(Ctx* ctx, int32_t site, Value key) { unhashable(ctx, site, key, "dict key"); }

void unhashableItem(Ctx* ctx, int32_t site, Value item) {
    unhashable(ctx, site, item, "set element");
}

bool takeFault(Ctx* ctx, int32_t site) {
    if (!value::faulted()) return false;
    value::claimLock(&kFault);
    value::raiseFault();
    bridge::failFromPython(ctx, site);
    return true;
}

extern "C" {

bool wn_list(void* c, int32_t site, void* values, int64_t n, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* given = static_cast<const Value*>(values);
    value::List* l = value::newList(uint64_t(n));
    if (!l) {
        // The values were handed over: with no list to hold them they are released here.
        releaseAll(given, uint64_t(n));
        failOutOfMemory(ctx, site);
        return false;
    }
    for (int64_t i = 0; i < n; i++) {
        l->items[i] = given[i];
        value::noteItem(l, given[i].tag);
    }
    l->count = uint64_t(n);
    *static_cast<Value*>(out) = Value::of(value::TagList, l);
    return true;
}

bool wn_tuple(void* c, int32_t site, void* values, int64_t n, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* given = static_cast<const Value*>(values);
    value::Tuple* t = value::newTuple(uint64_t(n));
    if (!t) {
        releaseAll(given, uint64_t(n));
        failOutOfMemory(ctx, site);
        return false;
    }
    for (int64_t i = 0; i < n; i++) t->items()[i] = given[i];
    *static_cast<Value*>(out) = Value::of(value::TagTuple, t);
    return true;
}

bool wn_dict(void* c, int32_t site, void* keys, void* values, int64_t n, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* k = static_cast<const Value*>(keys);
    auto* v = static_cast<const Value*>(values);
    value::Dict* d = value::newDict();
    if (!d) {
        failOutOfMemory(ctx, site);
        return false;
    }
    for (int64_t i = 0; i < n; i++) {
        bool ok = value::hashable(k[i]);
        if (!ok && !takeFault(ctx, site)) unhashableKey(ctx, site, k[i]);
        if (ok) {
            ok = value::dictSet(d, k[i], v[i]);
            // A key's __eq__ that raised makes the failure; memory running out is the other.
            if (!takeFault(ctx, site) && !ok) failOutOfMemory(ctx, site);
            ok = ok && !ctx->failing;
        }
        if (ok) continue;
        value::decref(value::TagDict, uint64_t(uintptr_t(d)));
        return false;
    }
    *static_cast<Value*>(out) = Value::of(value::TagDict, d);
    return true;
}

bool wn_record_new(void* c, int32_t site, void* cls, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* description = static_cast<value::RecordClass*>(cls);
    value::Record* r = value::newRecord(description);
    if (!r) {
        failOutOfMemory(ctx, site);
        return false;
    }
    for (uint64_t i = 0; i < description->fieldCount; i++) r->fields()[i] = Value::unset();
    *static_cast<Value*>(out) = Value::of(value::TagRecord, r);
    return true;
}

bool wn_record(void* c, int32_t site, void* cls, void* values, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* description = static_cast<value::RecordClass*>(cls);
    auto* given = static_cast<const Value*>(values);
    value::Record* r = value::newRecord(description);
    if (!r) {
        releaseAll(given, description->fieldCount);
        failOutOfMemory(ctx, site);
        return false;
    }
    for (uint64_t i = 0; i < description->fieldCount; i++) r->fields()[i] = given[i];
    *static_cast<Value*>(out) = Value::of(value::TagRecord, r);
    return true;
}

bool wn_append(void* c, int32_t site, int64_t listTag, int64_t listPayload, int64_t itemTag,
               int64_t itemPayload) {
    auto* ctx = static_cast<Ctx*>(c);
    Value list = Value::words(listTag, listPayload);
    Value item = Value::words(itemTag, itemPayload);
    if (list.tag == value::TagList) {
        auto* l = list.as<value::List>();
        if (value::readOnly(&l->h)) {
            refuseReadOnly(ctx, site, &l->h);
            return false;
        }
        if (!reserveItems(l, 1)) {
            failOutOfMemory(ctx, site);
            return false;
        }
        appendReserved(l, &item, 1);
        return true;
    }
    Value both[2] = {list, item};
    PyObject* objects[2] = {};
    if (!pythonArgs(ctx, site, both, 2, objects)) return false;
    PyObject* result = PyObject_CallMethod(objects[0], "append", "(O)", objects[1]);
    Py_DECREF(objects[0]);
    Py_DECREF(objects[1]);
    if (!result) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    Py_DECREF(result);
    return true;
}

bool wn_extend_items(void* c, int32_t site, int64_t listTag, int64_t listPayload, void* items,
                     int64_t count) {
    auto* ctx = static_cast<Ctx*>(c);
    Value list = Value::words(listTag, listPayload);
    auto* given = static_cast<const Value*>(items);
    uint64_t n = count > 0 ? uint64_t(count) : 0;
    if (list.tag == value::TagList) {
        auto* l = list.as<value::List>();
        if (value::readOnly(&l->h)) {
            refuseReadOnly(ctx, site, &l->h);
            return false;
        }
        if (!reserveItems(l, n)) {
            failOutOfMemory(ctx, site);
            return false;
        }
        appendReserved(l, given, n);
        return true;
    }
    // Anything else extends itself with the items as a Python list, through its own method.
    PyObject* receiver = nullptr;
    if (!pythonArgs(ctx, site, &list, 1, &receiver)) return false;
    PyObject* pyItems = PyList_New(Py_ssize_t(n));
    for (uint64_t i = 0; pyItems && i < n; i++) {
        PyObject* item = convert::toPython(given[i], &ctx->conversion);
        if (!item) Py_CLEAR(pyItems);
        else PyList_SET_ITEM(pyItems, Py_ssize_t(i), item);
    }
    PyObject* result =
        pyItems ? PyObject_CallMethod(receiver, "extend", "(O)", pyItems) : nullptr;
    Py_XDECREF(pyItems);
    Py_DECREF(receiver);
    if (!result) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    Py_DECREF(result);
    return true;
}

bool wn_set(void* c, int32_t site, void* values, int64_t n, int32_t rebuild, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* given = static_cast<const Value*>(values);
    uint64_t count = n > 0 ? uint64_t(n) : 0;
    // Every value is checked before any set is made, so a refusal allocates nothing.
    for (uint64_t i = 0; i < count; i++) {
        if (value::hashable(given[i])) continue;
        if (!takeFault(ctx, site)) unhashableItem(ctx, site, given[i]);
        return false;
    }
    value::Set* s = setOf(ctx, site, given, count);
    if (!s) return false;
    if (rebuild) {
        value::Set* second = rebuiltSet(ctx, site, s, given, count);
        value::decref(value::TagSet, uint64_t(uintptr_t(s)));
        if (!second) return false;
        s = second;
    }
    *static_cast<Value*>(out) = Value::of(value::TagSet, s);
    return true;
}

bool wn_to_set(void* c, int32_t site, int64_t tag, int64_t payload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    value::Set* s = set::make();
    if (!s) {
        failOutOfMemory(ctx, site);
        return false;
    }
    if (!setUpdate(ctx, site, s, Value::words(tag, payload))) {
        value::decref(value::TagSet, uint64_t(uintptr_t(s)));
        return false;
    }
    *static_cast<Value*>(out) = Value::of(value::TagSet, s);
    return true;
}

bool wn_isinstance(void* c, int32_t site, int64_t tag, int64_t payload, int64_t classIndex,
                   void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    PyObject* cls = moduleObject(ctx, classIndex);
    Value v = Value::words(tag, payload);
    PyObject* o = nullptr;
    if (!pythonArgs(ctx, site, &v, 1, &o)) return false;
    int is = cls ? PyObject_IsInstance(o, cls) : -1;
    Py_DECREF(o);
    if (!cls && !PyErr_Occurred()) {
        static constexpr char text[] = "wuna: no class at that index (a wuna bug)";
        fail(ctx, site, text, sizeof text - 1);
        return false;
    }
    if (is < 0) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    *static_cast<Value*>(out) = Value::boolean(is == 1);
    return true;
}

bool wn_is_record(int64_t tag, int64_t payload, void* cls) {
    auto* description = static_cast<value::RecordClass*>(cls);
    Value v = Value::words(tag, payload);
    if (v.tag == value::TagRecord) {
        for (value::RecordClass* k = v.as<value::Record>()->cls; k; k = k->base)
            if (k == description) return true;
        return false;
    }
    if (v.tag != value::TagPy || !description->pyClass) return false;
    gil::Record* r = value::claimLock(&kIsRecord);
    r->depth++;
    int is = PyObject_IsInstance(v.as<PyObject>(), description->pyClass);
    if (is < 0) PyErr_Clear();
    r->depth--;
    return is == 1;
}

}  // extern "C"

}  // namespace wuna::helpers
