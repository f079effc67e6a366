// Constants from Python objects: comptime results and adopted Python containers converted
// once per process into immortal native blocks, referred to through key globals (see
// emitter.h).
//
// The two maps are process-wide and touched only under the interpreter lock, as all code
// generation is. An entry keeps one reference to its Python object, so the address that keys
// it can never be reused by another object.
#include <cstring>

#include "compiler/backend/messages.h"
#include "compiler/codegen/emitter.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

struct Converted {
    uint64_t tag;
    value::Obj* block;
};

backend::U64Map<Converted> adoptedMap;
backend::U64Map<Converted> comptimeMap;

uint64_t addressOf(const void* p) { return uint64_t(reinterpret_cast<uintptr_t>(p)); }

bool countedTag(uint64_t tag) { return tag < 32 && ((0xBE3F0ull >> tag) & 1); }

void makeImmortal(uint64_t tag, uint64_t payload) {
    if (countedTag(tag)) reinterpret_cast<value::Obj*>(payload)->count = value::kImmortal;
}

// Converts one item (borrowed) and hands its reference to put. 0, or an error.
template <typename Put>
Status convertItem(PyObject* item, Put put) {
    value::Value v;
    if (convert::convert(item, false, &v) != 0) return Status::pythonError;
    return put(v);
}

Status addToSet(value::Set* set, value::Value v) {
    bool added = set::addHashed(set, v, set::elementHash(v));
    value::decref(v);  // the set took a reference of its own
    return added ? Status::ok : Status::outOfMemory;
}

Status appendTo(value::List* list, value::Value v) {
    if (value::listAppend(list, v)) return Status::ok;
    value::decref(v);
    return Status::outOfMemory;
}

Status putInto(value::Dict* dict, value::Value k, value::Value v) {
    bool put = value::dictSet(dict, k, v);
    value::decref(k);
    value::decref(v);
    return put ? Status::ok : Status::outOfMemory;
}

// Adds the items of a Python set, each converted by convertOne (PyObject*, Value*) -> Status.
template <typename Convert>
Status fillSet(value::Set* set, PyObject* object, Convert convertOne) {
    PyObject* it = PyObject_GetIter(object);
    if (!it) return Status::pythonError;
    Status err = Status::ok;
    while (PyObject* item = PyIter_Next(it)) {
        value::Value v;
        if (err == Status::ok) err = convertOne(item, &v);
        if (err == Status::ok) err = addToSet(set, v);
        Py_DECREF(item);
    }
    Py_DECREF(it);
    if (err == Status::ok && PyErr_Occurred()) err = Status::pythonError;
    return err;
}

// A native list, set or dict of a Python one, one level deep (items by value::convert).
Status adopt(PyObject* object, Converted* out) {
    if (PyList_Check(object)) {
        Py_ssize_t n = PyList_GET_SIZE(object);
        value::List* list = value::newList(uint64_t(n));
        if (!list) return Status::outOfMemory;
        *out = Converted{value::TagList, &list->h};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); i++) {
            Status err = convertItem(PyList_GET_ITEM(object, i),
                                     [&](value::Value v) { return appendTo(list, v); });
            if (err != Status::ok) return err;
        }
        return Status::ok;
    }
    if (PySet_CheckExact(object)) {
        value::Set* set = set::make();
        if (!set) return Status::outOfMemory;
        *out = Converted{value::TagSet, &set->h};
        return fillSet(set, object, [](PyObject* item, value::Value* v) {
            return convert::convert(item, false, v) == 0 ? Status::ok : Status::pythonError;
        });
    }
    value::Dict* dict = value::newDict();
    if (!dict) return Status::outOfMemory;
    *out = Converted{value::TagDict, &dict->h};
    Py_ssize_t at = 0;
    PyObject *key, *item;
    while (PyDict_Next(object, &at, &key, &item)) {
        value::Value k;
        if (convert::convert(key, false, &k) != 0) return Status::pythonError;
        Status err = convertItem(item, [&](value::Value v) { return putInto(dict, k, v); });
        if (err != Status::ok) return err;
    }
    return Status::ok;
}

Status operandOf(Emitter* e, const Converted& c, KnownKind kind, Operand* out) {
    ValueRef payload;
    if (Status err = keyConstant(&e->compiler->module, addressOf(c.block),
                                 KeyOrigin{{c.tag, 0}, KeyOriginKind::constant}, &payload);
        err != Status::ok)
        return err;
    *out = constantOperand(e, c.tag, 0, KnownKind(uint8_t(kind) & 0xF));
    out->payload = payload;
    return Status::ok;
}

// Enters a converted object in a map, with its reference. ok or outOfMemory.
Status remember(backend::U64Map<Converted>* map, PyObject* object, const Converted& c) {
    if (!map->put(addressOf(object), c)) return Status::outOfMemory;
    Py_INCREF(object);
    return Status::ok;
}

Status recordOf(PyObject* object, value::RecordClass* cls, int depth, value::Value* out);

Status convertLevel(PyObject* object, int depth, value::Value* out);

// One level converted, then made immortal: the whole value, nested blocks included, is
// shared by every run and never freed. A container is filled before it becomes immortal
// (immortal blocks refuse changes).
Status convertDeep(PyObject* object, int depth, value::Value* out) {
    Status err = convertLevel(object, depth, out);
    if (err == Status::ok) makeImmortal(out->tag, out->payload);
    return err;
}

Status convertLevel(PyObject* object, int depth, value::Value* out) {
    if (depth > kComptimeDepth) {
        comptimeDepthError(PyExc_ValueError);
        return Status::pythonError;
    }
    if (PyList_CheckExact(object)) {
        value::List* list = value::newList(uint64_t(PyList_GET_SIZE(object)));
        if (!list) return Status::outOfMemory;
        *out = value::Value{value::TagList, addressOf(list)};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); i++) {
            value::Value v;
            if (Status err = convertDeep(PyList_GET_ITEM(object, i), depth + 1, &v);
                err != Status::ok)
                return err;
            if (Status err = appendTo(list, v); err != Status::ok) return err;
        }
        return Status::ok;
    }
    if (PyDict_CheckExact(object)) {
        value::Dict* dict = value::newDict();
        if (!dict) return Status::outOfMemory;
        *out = value::Value{value::TagDict, addressOf(dict)};
        Py_ssize_t at = 0;
        PyObject *key, *item;
        while (PyDict_Next(object, &at, &key, &item)) {
            value::Value k, v;
            if (Status err = convertDeep(key, depth + 1, &k); err != Status::ok) return err;
            if (Status err = convertDeep(item, depth + 1, &v); err != Status::ok) {
                value::decref(k);
                return err;
            }
            if (Status err = putInto(dict, k, v); err != Status::ok) return err;
        }
        return Status::ok;
    }
    if (PyTuple_CheckExact(object)) {
        Py_ssize_t n = PyTuple_GET_SIZE(object);
        value::Tuple* tuple = value::newTuple(uint64_t(n));
        if (!tuple) return Status::outOfMemory;
        *out = value::Value{value::TagTuple, addressOf(tuple)};
        for (Py_ssize_t i = 0; i < n; i++) {
            if (Status err =
                    convertDeep(PyTuple_GET_ITEM(object, i), depth + 1, &tuple->items()[i]);
                err != Status::ok)
                return err;
        }
        return Status::ok;
    }
    if (PySet_CheckExact(object)) {
        value::Set* set = set::make();
        if (!set) return Status::outOfMemory;
        *out = value::Value{value::TagSet, addressOf(set)};
        return fillSet(set, object, [depth](PyObject* item, value::Value* v) {
            return convertDeep(item, depth + 1, v);
        });
    }
    value::RecordClass* cls = nullptr;
    switch (convert::describeClass(reinterpret_cast<PyObject*>(Py_TYPE(object)), &cls)) {
    case convert::Described::Record: return recordOf(object, cls, depth, out);
    case convert::Described::Failed: return Status::pythonError;
    case convert::Described::NotRecord: break;
    }
    if (convert::convert(object, false, out) != 0) return Status::pythonError;
    return Status::ok;
}

Status recordOf(PyObject* object, value::RecordClass* cls, int depth, value::Value* out) {
    value::Record* record = value::newRecord(cls);
    if (!record) return Status::outOfMemory;
    *out = value::Value{value::TagRecord, addressOf(record)};
    for (uint64_t i = 0; i < cls->fieldCount; i++) {
        PyObject* name =
            PyUnicode_DecodeUTF8(cls->fields[i].data, Py_ssize_t(cls->fields[i].length), "replace");
        if (!name) return Status::pythonError;
        PyObject* field = PyObject_GetAttr(object, name);
        Py_DECREF(name);
        if (!field) {
            // A field the instance lacks stays unset.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::pythonError;
            PyErr_Clear();
            continue;
        }
        value::Value v;
        Status err = convertDeep(field, depth + 1, &v);
        Py_DECREF(field);
        if (err != Status::ok) return err;
        record->fields()[i] = v;
    }
    return Status::ok;
}

}  // namespace

Status adoptedContainer(Emitter* e, PyObject* object, KnownKind kind, Operand* out) {
    Converted c;
    if (Converted* there = adoptedMap.find(addressOf(object))) {
        c = *there;
    } else {
        c = Converted{0, nullptr};
        Status err = adopt(object, &c);
        if (err != Status::ok) {
            // A block made before the failure goes again; its items with it.
            if (c.block) value::decref(value::Value{c.tag, addressOf(c.block)});
            return err;
        }
        c.block->count = value::kImmortal;
        if (Status err2 = remember(&adoptedMap, object, c); err2 != Status::ok) return err2;
    }
    return operandOf(e, c, kind, out);
}

Status comptimeResult(Emitter* e, PyObject* object, KnownKind kind, Operand* out) {
    Converted c;
    if (Converted* there = comptimeMap.find(addressOf(object))) {
        c = *there;
    } else {
        uint64_t tag, payload;
        if (Status err = comptimeConstant(object, 0, &tag, &payload); err != Status::ok) return err;
        c = Converted{tag, reinterpret_cast<value::Obj*>(payload)};
        if (Status err = remember(&comptimeMap, object, c); err != Status::ok) return err;
    }
    if (!countedTag(c.tag)) {
        // A scalar result: its payload is the value itself.
        *out = constantOperand(e, c.tag, addressOf(c.block), KnownKind(uint8_t(kind) & 0xF));
        return Status::ok;
    }
    return operandOf(e, c, kind, out);
}

Status comptimeConstant(PyObject* object, int depth, uint64_t* tag, uint64_t* payload) {
    value::Value v{value::TagNone, 0};
    Status err = convertDeep(object, depth, &v);
    if (err != Status::ok) {
        if (countedTag(v.tag) && v.payload) value::decref(v);
        return err;
    }
    *tag = v.tag;
    *payload = v.payload;
    return Status::ok;
}

void comptimeDepthError(PyObject* cls) {
    messages::Message m;
    m.add("a wuna.comptime result nested more than 64 deep (or holding itself)");
    m.raise(cls);
}

}  // namespace wuna::compile
