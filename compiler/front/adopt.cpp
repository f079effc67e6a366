// Taking module variables over as native state (see adopt.h).
#include "compiler/front/adopt.h"

#include <cstdio>
#include <cstring>

#include "compiler/backend/compile.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/proxies.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

// A field name is looked up as a NUL-terminated copy of at most this many bytes.
constexpr size_t kFieldName = 256;

// The record class of an object's type, or null. Only classes made by Python code can be
// record classes: the rest is passed by without asking the description script. ok or
// pythonError.
Status recordClass(PyObject* object, value::RecordClass** out) {
    *out = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return Status::ok;
    convert::Described d = convert::describeClass(reinterpret_cast<PyObject*>(type), out);
    if (d == convert::Described::Failed) return Status::pythonError;
    if (d == convert::Described::NotRecord) *out = nullptr;
    return Status::ok;
}

uint64_t rootOf(AdoptWalk* walk, uint64_t i) {
    uint64_t root = i;
    while (walk->entries[root].link != root) root = walk->entries[root].link;
    // Path compression: every entry on the way now links to the root directly.
    while (walk->entries[i].link != root) {
        uint64_t next = walk->entries[i].link;
        walk->entries[i].link = root;
        i = next;
    }
    return root;
}

// Joins two components, the later root under the earlier, so that roots stay first-tracked.
void unite(AdoptWalk* walk, uint64_t a, uint64_t b) {
    uint64_t ra = rootOf(walk, a);
    uint64_t rb = rootOf(walk, b);
    if (ra == rb) return;
    if (ra < rb)
        walk->entries[rb].link = ra;
    else
        walk->entries[ra].link = rb;
}

// One reference from the entry being expanded to an object.
Status visit(AdoptWalk* walk, uint64_t from, PyObject* object) {
    uint64_t j = kUntracked;
    if (Status s = track(walk, object, &j); s != Status::ok) return s;
    if (j == kUntracked) return Status::ok;
    walk->entries[j].held++;
    unite(walk, from, j);
    return Status::ok;
}

// Whether a dict key is one a native dict can't hold as Python does: a list or a dict (they
// are unhashable, a mutable key), or a record whose class compares by fields. ok with *out.
Status badKey(PyObject* key, bool* out) {
    *out = PyList_CheckExact(key) || PyDict_CheckExact(key);
    if (*out) return Status::ok;
    value::RecordClass* cls = nullptr;
    if (Status s = recordClass(key, &cls); s != Status::ok) return s;
    *out = cls && cls->eq;
    return Status::ok;
}

Status expandDict(AdoptWalk* walk, uint64_t i, PyObject* dict) {
    // A snapshot: describing a class can run Python, which could change the dict.
    PyObject* items = PyDict_Items(dict);
    if (!items) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t k = 0; s == Status::ok && k < PyList_GET_SIZE(items); k++) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items, k), 0);
        PyObject* v = PyTuple_GET_ITEM(PyList_GET_ITEM(items, k), 1);
        bool bad = false;
        s = badKey(key, &bad);
        if (bad) walk->entries[i].refused = 1;
        if (s == Status::ok) s = visit(walk, i, key);
        if (s == Status::ok) s = visit(walk, i, v);
    }
    Py_DECREF(items);
    return s;
}

Status expandList(AdoptWalk* walk, uint64_t i, PyObject* list) {
    PyObject* items = PyList_GetSlice(list, 0, PY_SSIZE_T_MAX);
    if (!items) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t k = 0; s == Status::ok && k < PyList_GET_SIZE(items); k++)
        s = visit(walk, i, PyList_GET_ITEM(items, k));
    Py_DECREF(items);
    return s;
}

bool isField(const value::RecordClass* cls, const char* name, Py_ssize_t length) {
    for (uint64_t f = 0; f < cls->fieldCount; f++) {
        const value::Text& field = cls->fields[f];
        if (field.length == uint64_t(length) && std::memcmp(field.data, name, field.length) == 0)
            return true;
    }
    return false;
}

// Refuses an instance whose __dict__ has a name that is none of its class's fields: the native
// record has nowhere to keep it. ok, or pythonError (a name that is no str).
Status checkAttributes(AdoptWalk* walk, uint64_t i, PyObject* object,
                       const value::RecordClass* cls) {
    PyObject* attributes = PyObject_GetAttrString(object, "__dict__");
    if (!attributes) {
        PyErr_Clear();
        return Status::ok;
    }
    PyObject* keys = PyDict_Check(attributes) ? PyDict_Keys(attributes) : nullptr;
    Py_DECREF(attributes);
    if (!keys) {
        PyErr_Clear();
        return Status::ok;
    }
    Status s = Status::ok;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys); k++) {
        Py_ssize_t length = 0;
        const char* name = convert::strArg(PyList_GET_ITEM(keys, k), "attribute name", &length);
        if (!name) {
            s = Status::pythonError;
            break;
        }
        if (!isField(cls, name, length)) {
            walk->entries[i].refused = 1;
            break;
        }
    }
    Py_DECREF(keys);
    return s;
}

// The field's value (new reference) in *out, or null when the instance has none. ok,
// outOfMemory (a name of kFieldName bytes or more), or pythonError.
Status fieldValue(PyObject* object, const value::Text& field, PyObject** out) {
    *out = nullptr;
    char name[kFieldName];
    if (field.length >= kFieldName) return Status::outOfMemory;
    std::memcpy(name, field.data, field.length);
    name[field.length] = '\0';
    *out = PyObject_GetAttrString(object, name);
    if (*out) return Status::ok;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::pythonError;
    PyErr_Clear();
    return Status::ok;
}

Status expandRecord(AdoptWalk* walk, uint64_t i, PyObject* object, value::RecordClass* cls) {
    if (!cls->slots)
        if (Status s = checkAttributes(walk, i, object, cls); s != Status::ok) return s;
    for (uint64_t f = 0; f < cls->fieldCount; f++) {
        PyObject* v = nullptr;
        if (Status s = fieldValue(object, cls->fields[f], &v); s != Status::ok) return s;
        if (!v) continue;
        Status s = visit(walk, i, v);
        Py_DECREF(v);
        if (s != Status::ok) return s;
    }
    return Status::ok;
}

Status expand(AdoptWalk* walk, uint64_t i) {
    // The entry is read by value: tracking new objects may move the entries.
    AdoptEntry e = walk->entries[i];
    switch (e.kind) {
    case AdoptKind::dict: return expandDict(walk, i, e.object);
    case AdoptKind::list: return expandList(walk, i, e.object);
    case AdoptKind::record: return expandRecord(walk, i, e.object, e.cls);
    }
    return Status::ok;
}

// Counts the entries of one module dict bound to tracked objects, once per dict.
Status readModuleDict(AdoptWalk* walk, PyObject* dict) {
    if (walk->scanned.find(dict)) return Status::ok;
    if (!walk->scanned.put(dict, 1)) return Status::outOfMemory;
    Py_ssize_t at = 0;
    PyObject* key;
    PyObject* v;
    // Nothing below runs Python: the dict can't change while it is read.
    while (PyDict_Next(dict, &at, &key, &v)) {
        uint64_t* found = walk->index.find(v);
        if (!found) continue;
        if (!walk->moduleReferences.push(ModuleReference{dict, key, *found - 1}))
            return Status::outOfMemory;
        Py_INCREF(dict);
        Py_INCREF(key);
        walk->entries[*found - 1].named++;
    }
    return Status::ok;
}

// The names of every loaded module, and of the variable's own globals even when its module
// is not in sys.modules (a semantic defined in a dict of its own names its state there).
Status readModuleNames(AdoptWalk* walk, PyObject* globals) {
    if (Status s = readModuleDict(walk, globals); s != Status::ok) return s;
    PyObject* modules = PyImport_GetModuleDict();
    Py_ssize_t at = 0;
    PyObject* key;
    PyObject* module;
    while (PyDict_Next(modules, &at, &key, &module)) {
        if (!PyModule_Check(module)) continue;
        PyObject* dict = PyModule_GetDict(module);
        if (!dict) continue;
        if (Status s = readModuleDict(walk, dict); s != Status::ok) return s;
    }
    return Status::ok;
}

// The reason text, formatted into the compiler's arena.
Status refuse(Compiler* c, AdoptOutcome* out, const char* text, int length) {
    if (length < 0) return Status::outOfMemory;
    char* copy = static_cast<char*>(take(c, size_t(length) + 1));
    if (!copy) return Status::outOfMemory;
    std::memcpy(copy, text, size_t(length));
    out->outcome = Adopted::refused;
    out->reason.text = copy;
    out->reason.length = uint64_t(length);
    return Status::ok;
}

// Checks the value's component; on the first entry that fails, the refusal in *out. ok (with
// or without a refusal) or outOfMemory.
Status checkComponent(Compiler* c, AdoptWalk* walk, AdoptOutcome* out) {
    uint64_t root = rootOf(walk, 0);
    for (uint64_t i = 0; i < walk->entries.count; i++) {
        if (rootOf(walk, i) != root) continue;
        const AdoptEntry& e = walk->entries[i];
        // The walk's own reference is not one the object has from elsewhere.
        int64_t count = int64_t(Py_REFCNT(e.object)) - 1;
        int64_t accounted = int64_t(e.held + e.named);
        if (!e.refused && count == accounted) continue;
        char type[kFieldName];
        size_t typeLength = helpers::pyName(reinterpret_cast<PyObject*>(Py_TYPE(e.object)),
                                            "__name__", type, sizeof type - 1, "?");
        type[typeLength] = '\0';
        char text[2 * kFieldName];
        int length =
            e.refused ? std::snprintf(text, sizeof text,
                                      "a %s in it has a key compiled code's dicts can't hash, or "
                                      "attributes beyond its fields",
                                      type)
                      : std::snprintf(
                            text, sizeof text,
                            "a %s in it is referred to from somewhere besides it and module "
                            "names (%lld references, %lld of them those)",
                            type, static_cast<long long>(count), static_cast<long long>(accounted));
        if (length >= int(sizeof text)) length = int(sizeof text) - 1;
        return refuse(c, out, text, length);
    }
    return Status::ok;
}

// The value an object of the component is stored as: its entry's native value (one more
// reference) when it has one made, else its conversion. extra: the references the caller's
// snapshot holds, which don't make the object any less the component's own.
Status storedValue(AdoptWalk* walk, PyObject* object, Py_ssize_t extra, value::Value* out) {
    if (uint64_t* found = walk->index.find(object)) {
        const AdoptEntry& e = walk->entries[*found - 1];
        if (e.made) {
            value::incref(e.native);
            *out = e.native;
            return Status::ok;
        }
    }
    bool only = Py_REFCNT(object) - extra == 1;
    return convert::convert(object, only, out) < 0 ? Status::pythonError : Status::ok;
}

Status makeBlock(AdoptEntry* e) {
    value::Obj* block = nullptr;
    uint64_t tag = 0;
    switch (e->kind) {
    case AdoptKind::record:
        block = &value::newRecord(e->cls)->h;
        tag = value::TagRecord;
        break;
    case AdoptKind::dict:
        block = reinterpret_cast<value::Obj*>(value::newDict());
        tag = value::TagDict;
        break;
    case AdoptKind::list:
        block = reinterpret_cast<value::Obj*>(value::newList(0));
        tag = value::TagList;
        break;
    }
    if (!block) return Status::outOfMemory;
    e->native = value::Value::of(tag, block);
    e->made = 1;
    return Status::ok;
}

// A failed store into a native container: the noted failure raised when there is one (a key's
// __hash__ or __eq__ raised), else memory ran out.
Status storeFailed() { return value::raiseFault() ? Status::pythonError : Status::outOfMemory; }

Status fillRecord(AdoptWalk* walk, const AdoptEntry& e) {
    auto* record = e.native.as<value::Record>();
    for (uint64_t f = 0; f < e.cls->fieldCount; f++) {
        PyObject* v = nullptr;
        if (Status s = fieldValue(e.object, e.cls->fields[f], &v); s != Status::ok) return s;
        if (!v) continue;
        value::Value stored{};
        Status s = storedValue(walk, v, 1, &stored);
        Py_DECREF(v);
        if (s != Status::ok) return s;
        value::Value old = record->fields()[f];
        record->fields()[f] = stored;
        value::decref(old);
    }
    return Status::ok;
}

Status fillList(AdoptWalk* walk, const AdoptEntry& e) {
    auto* list = e.native.as<value::List>();
    PyObject* items = PyList_GetSlice(e.object, 0, PY_SSIZE_T_MAX);
    if (!items) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t k = 0; s == Status::ok && k < PyList_GET_SIZE(items); k++) {
        value::Value stored{};
        s = storedValue(walk, PyList_GET_ITEM(items, k), 1, &stored);
        if (s == Status::ok && !value::listAppend(list, stored)) {
            value::decref(stored);
            s = Status::outOfMemory;
        }
    }
    Py_DECREF(items);
    return s;
}

Status fillDict(AdoptWalk* walk, const AdoptEntry& e) {
    auto* dict = e.native.as<value::Dict>();
    PyObject* items = PyDict_Items(e.object);
    if (!items) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t k = 0; s == Status::ok && k < PyList_GET_SIZE(items); k++) {
        PyObject* pair = PyList_GET_ITEM(items, k);
        value::Value key{};
        value::Value v{};
        // The pair's tuple holds one reference to each, besides the snapshot list.
        s = storedValue(walk, PyTuple_GET_ITEM(pair, 0), 1, &key);
        if (s != Status::ok) break;
        s = storedValue(walk, PyTuple_GET_ITEM(pair, 1), 1, &v);
        if (s == Status::ok && !value::dictSet(dict, key, v)) s = storeFailed();
        // dictSet took references of its own; a value not made is None, released for nothing.
        value::decref(key);
        value::decref(v);
    }
    Py_DECREF(items);
    return s;
}

Status fill(AdoptWalk* walk, uint64_t i) {
    AdoptEntry e = walk->entries[i];
    switch (e.kind) {
    case AdoptKind::record: return fillRecord(walk, e);
    case AdoptKind::list: return fillList(walk, e);
    case AdoptKind::dict: return fillDict(walk, e);
    }
    return Status::ok;
}

// Makes and fills the native blocks of the component: all are made before any is filled, so
// that an object of the component met while filling is stored as its own block.
Status convertComponent(AdoptWalk* walk) {
    uint64_t root = rootOf(walk, 0);
    for (uint64_t i = 0; i < walk->entries.count; i++)
        if (rootOf(walk, i) == root)
            if (Status s = makeBlock(&walk->entries[i]); s != Status::ok) return s;
    for (uint64_t i = 0; i < walk->entries.count; i++)
        if (rootOf(walk, i) == root)
            if (Status s = fill(walk, i); s != Status::ok) return s;
    return Status::ok;
}

// Puts the proxies in place of the module names' objects. Each block handed over becomes
// shared state: immortal, and writable from both sides.
Status handOver(AdoptWalk* walk) {
    uint64_t root = rootOf(walk, 0);
    for (size_t r = 0; r < walk->moduleReferences.count; r++) {
        ModuleReference ref = walk->moduleReferences[r];
        if (rootOf(walk, ref.entry) != root) continue;
        value::Value native = walk->entries[ref.entry].native;
        auto* block = native.as<value::Obj>();
        value::makeImmortal(block);
        block->flags |= value::FlagShared;
        PyObject* proxy = proxies::make(native, convert::defaultContext());
        if (!proxy) return Status::pythonError;
        int stored = PyDict_SetItem(ref.dict, ref.key, proxy);
        Py_DECREF(proxy);
        if (stored < 0) return Status::pythonError;
    }
    return Status::ok;
}

// A proxy of a block handed over before: that block, taken at once.
bool adoptedBefore(PyObject* object, AdoptOutcome* out) {
    PyTypeObject* type = Py_TYPE(object);
    uint64_t tag = type == proxies::types.list     ? uint64_t(value::TagList)
                   : type == proxies::types.dict   ? uint64_t(value::TagDict)
                   : type == proxies::types.record ? uint64_t(value::TagRecord)
                                                   : 0;
    if (!tag) return false;
    value::Obj* block = reinterpret_cast<proxies::ProxyObject*>(object)->block;
    if (value::immortal(block)) {
        out->outcome = Adopted::yes;
        out->value = value::Value{tag, uint64_t(uintptr_t(block))};
    }
    return true;
}

Status registerGlobals(AdoptWalk* walk, PyObject* globals) {
    PyObject* values = PyDict_Values(globals);
    if (!values) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t k = 0; s == Status::ok && k < PyList_GET_SIZE(values); k++) {
        uint64_t ignored = 0;
        s = track(walk, PyList_GET_ITEM(values, k), &ignored);
    }
    Py_DECREF(values);
    return s;
}

Status adopt(Compiler* c, AdoptWalk* walk, PyObject* object, PyObject* globals, AdoptOutcome* out) {
    uint64_t first = kUntracked;
    if (Status s = track(walk, object, &first); s != Status::ok) return s;
    if (first == kUntracked) return Status::ok;
    if (Status s = registerGlobals(walk, globals); s != Status::ok) return s;
    // The entries are read by count at each step: expanding one adds those it reaches.
    for (uint64_t i = 0; i < walk->entries.count; i++)
        if (Status s = expand(walk, i); s != Status::ok) return s;
    if (Status s = readModuleNames(walk, globals); s != Status::ok) return s;
    if (Status s = checkComponent(c, walk, out); s != Status::ok || out->outcome != Adopted::no)
        return s;
    if (Status s = convertComponent(walk); s != Status::ok) return s;
    if (Status s = handOver(walk); s != Status::ok) return s;
    value::Value native = walk->entries[0].native;
    // The caller's own reference: a value no module names is not immortal, and the walk's
    // reference goes with the walk.
    value::incref(native);
    out->outcome = Adopted::yes;
    out->value = native;
    return Status::ok;
}

}  // namespace

Status track(AdoptWalk* walk, PyObject* object, uint64_t* index) {
    *index = kUntracked;
    if (uint64_t* found = walk->index.find(object)) {
        *index = *found - 1;
        return Status::ok;
    }
    AdoptEntry e{};
    if (PyList_CheckExact(object)) {
        e.kind = AdoptKind::list;
    } else if (PyDict_CheckExact(object)) {
        e.kind = AdoptKind::dict;
    } else {
        if (Status s = recordClass(object, &e.cls); s != Status::ok) return s;
        if (!e.cls) return Status::ok;
        e.kind = AdoptKind::record;
    }
    uint64_t at = walk->entries.count;
    e.link = at;
    e.native = value::Value::unset();
    e.object = object;
    if (!walk->entries.push(e)) return Status::outOfMemory;
    if (!walk->index.put(object, at + 1)) {
        walk->entries.cut(at);
        return Status::outOfMemory;
    }
    Py_INCREF(object);
    *index = at;
    return Status::ok;
}

void freeWalk(AdoptWalk* walk) {
    for (size_t i = 0; i < walk->entries.count; i++) {
        AdoptEntry& e = walk->entries[i];
        if (e.made) value::decref(e.native);
        e.made = 0;
    }
    for (size_t r = 0; r < walk->moduleReferences.count; r++) {
        Py_DECREF(walk->moduleReferences[r].dict);
        Py_DECREF(walk->moduleReferences[r].key);
    }
    // The objects go last: freeing one may run Python (a __del__), which must find the native
    // side finished.
    backend::List<AdoptEntry> entries = walk->entries;
    walk->entries = {};
    walk->moduleReferences.free();
    walk->index.clear();
    walk->scanned.clear();
    for (size_t i = 0; i < entries.count; i++) Py_DECREF(entries[i].object);
    entries.free();
}

Status adoptModuleState(Compiler* c, PyObject* object, PyObject* globals, AdoptOutcome* out) {
    *out = AdoptOutcome{};
    out->outcome = Adopted::no;
    Status s = Status::ok;
    if (!adoptedBefore(object, out)) {
        AdoptWalk walk;
        s = adopt(c, &walk, object, globals, out);
        freeWalk(&walk);
        if (s != Status::ok) *out = AdoptOutcome{};
    }
    out->error = uint16_t(s);
    return s;
}

}  // namespace wuna::compile
