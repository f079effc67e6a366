// The proxy registry, making and ending proxies, and what the proxy types share (see
// wuna/runtime/proxies.h and proxy_common.h).
#include <cstdlib>
#include <cstring>

#include "proxy_common.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::proxies {

Types types = {};

namespace {

// ---- The registry: block address -> proxy ----------------------------------------------------
//
// Open addressing with linear probing; a removed entry leaves a tombstone so that probes
// pass over it. The table holds one Python reference to each proxy whose block native code
// still holds (see released for the entry of an owning proxy).

struct Entry {
    value::Obj* block;  // null: empty; kTombstone: removed
    PyObject* proxy;
};

value::Obj* const kTombstone = reinterpret_cast<value::Obj*>(uintptr_t(1));

struct Registry {
    Entry* entries = nullptr;
    uint64_t capacity = 0;  // a power of two, or 0
    uint64_t used = 0;      // live entries and tombstones
};
Registry registry;

uint64_t slotOf(const value::Obj* block, uint64_t capacity) {
    return ((uint64_t(uintptr_t(block)) >> 4) * 0x9E3779B97F4A7C15ull) & (capacity - 1);
}

Entry* find(value::Obj* block) {
    if (!registry.capacity) return nullptr;
    uint64_t mask = registry.capacity - 1;
    for (uint64_t i = slotOf(block, registry.capacity);; i = (i + 1) & mask) {
        Entry* e = &registry.entries[i];
        if (e->block == block) return e;
        if (!e->block) return nullptr;
    }
}

// Room for one more entry: false when memory ran out (the table unchanged).
bool reserve() {
    if ((registry.used + 1) * 2 <= registry.capacity) return true;
    uint64_t capacity = registry.capacity ? registry.capacity * 2 : 64;
    auto* entries = static_cast<Entry*>(std::calloc(size_t(capacity), sizeof(Entry)));
    if (!entries) return false;
    uint64_t used = 0;
    for (uint64_t i = 0; i < registry.capacity; i++) {
        Entry& e = registry.entries[i];
        if (!e.block || e.block == kTombstone) continue;
        uint64_t at = slotOf(e.block, capacity);
        while (entries[at].block) at = (at + 1) & (capacity - 1);
        entries[at] = e;
        used++;
    }
    std::free(registry.entries);
    registry.entries = entries;
    registry.capacity = capacity;
    registry.used = used;
    return true;
}

void insert(value::Obj* block, PyObject* proxy) {
    uint64_t mask = registry.capacity - 1;
    uint64_t i = slotOf(block, registry.capacity);
    while (registry.entries[i].block && registry.entries[i].block != kTombstone) i = (i + 1) & mask;
    if (!registry.entries[i].block) registry.used++;
    registry.entries[i] = Entry{block, proxy};
}

void remove(Entry* e) {
    e->block = kTombstone;
    e->proxy = nullptr;
}

PyTypeObject* typeForTag(uint64_t tag) {
    switch (tag) {
    case value::TagList: return types.list;
    case value::TagDict: return types.dict;
    case value::TagRecord: return types.record;
    default: return nullptr;
    }
}

bool isProxyType(PyTypeObject* t) {
    return t && (t == types.list || t == types.dict || t == types.record);
}

// Conversion rule for the proxy types: the proxy's own block, with one reference. An owning
// proxy hands its block back to native code: from now on native code holds it again and the
// registry holds the proxy, as when the proxy was made.
bool unwrapProxy(PyObject* o, value::Value* out) {
    if (!isProxyType(Py_TYPE(o))) return false;
    ProxyObject* p = asProxy(o);
    if (p->ownsBlock) {
        p->ownsBlock = 0;
        Py_INCREF(o);  // the registry's, its entry still in place
        p->block->count = 1;
    } else {
        value::incref(p->block->kind, uint64_t(uintptr_t(p->block)));
    }
    uint64_t tag = Py_TYPE(o) == types.list   ? value::TagList
                   : Py_TYPE(o) == types.dict ? value::TagDict
                                              : value::TagRecord;
    *out = value::Value{tag, uint64_t(uintptr_t(p->block))};
    return true;
}

// The record's proxy for equality with Python objects.
PyObject* recordObject(value::Record* r) {
    return make(value::Value::of(value::TagRecord, r), convert::defaultContext());
}

// The layers below reach the proxies through their hooks.
[[maybe_unused]] const bool installed = [] {
    convert::hooks.makeProxy = make;
    convert::hooks.unwrapProxy = unwrapProxy;
    value::services.proxyReleased = released;
    value::services.recordObject = recordObject;
    gc::proxyInUse = inUse;
    return true;
}();

}  // namespace

PyObject* make(value::Value v, const helpers::ConversionContext* cx) {
    auto* block = v.as<value::Obj>();
    if (block->flags & value::FlagProxy) {
        Entry* e = find(block);
        if (e) return Py_NewRef(e->proxy);
    }
    PyTypeObject* type = typeForTag(v.tag);
    if (!type) {
        PyErr_SetString(PyExc_RuntimeError,
                        "wuna: lists, dicts and records can't be shown to Python in this build");
        return nullptr;
    }
    if (!reserve()) return PyErr_NoMemory();
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    ProxyObject* p = asProxy(o);
    p->block = block;
    p->userData = cx ? cx->userData : nullptr;
    p->node = cx ? cx->node : nullptr;
    p->owner = cx && cx->owner ? Py_NewRef(cx->owner) : nullptr;
    p->ownsBlock = 0;
    // tp_alloc may have run Python (a collection): the room reserved above is checked again.
    if (!reserve()) {
        Py_DECREF(o);
        return PyErr_NoMemory();
    }
    insert(block, o);
    block->flags |= value::FlagProxy;
    return Py_NewRef(o);
}

bool released(value::Obj* block) {
    Entry* e = find(block);
    if (!e) {
        block->flags &= ~value::FlagProxy;
        return true;
    }
    PyObject* proxy = e->proxy;
    if (Py_REFCNT(proxy) == 1) {
        remove(e);
        block->flags &= ~value::FlagProxy;
        Py_DECREF(proxy);
        return true;
    }
    asProxy(proxy)->ownsBlock = 1;
    Py_DECREF(proxy);  // the registry's; Python holds others, so the proxy lives on
    return false;
}

bool inUse(void* block) {
    Entry* e = find(static_cast<value::Obj*>(block));
    if (!e) return false;
    return asProxy(e->proxy)->ownsBlock || Py_REFCNT(e->proxy) >= 2;
}

void proxyDealloc(PyObject* self) {
    ProxyObject* p = asProxy(self);
    PyTypeObject* type = Py_TYPE(self);
    if (p->ownsBlock) {
        value::Obj* block = p->block;
        Entry* e = find(block);
        if (e) remove(e);
        block->flags &= ~value::FlagProxy;
        p->ownsBlock = 0;
        uint32_t kind = type == types.list   ? uint32_t(value::TagList)
                        : type == types.dict ? uint32_t(value::TagDict)
                                             : uint32_t(value::TagRecord);
        value::free(kind, block);
    }
    Py_CLEAR(p->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

helpers::ConversionContext contextOf(PyObject* proxy) {
    ProxyObject* p = asProxy(proxy);
    return helpers::ConversionContext{p->userData, p->node, p->owner, nullptr};
}

int takeIn(PyObject* o, value::Value* out) { return convert::convert(o, Py_REFCNT(o) == 1, out); }

PyObject* owningProxy(value::Value v, const helpers::ConversionContext* cx) {
    PyObject* o = make(v, cx);
    value::decref(v);
    return o;
}

PyObject* listCopy(value::List* l, const helpers::ConversionContext* cx) {
    PyObject* copy = PyList_New(0);
    if (!copy) return nullptr;
    // Converting can run Python, which can change the list: the count is read at each step.
    for (uint64_t i = 0; i < l->count; i++) {
        PyObject* item = convert::toPython(l->items[i], cx);
        if (!item || PyList_Append(copy, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(copy);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return copy;
}

PyObject* dictCopy(value::Dict* d, const helpers::ConversionContext* cx) {
    PyObject* copy = PyDict_New();
    if (!copy) return nullptr;
    for (uint64_t i = 0; i < d->used; i++) {
        value::DictEntry e = d->entries[i];
        if (e.key.tag == value::TagDeleted) continue;
        value::incref(e.key);
        value::incref(e.value);
        PyObject* key = convert::toPython(e.key, cx);
        PyObject* item = key ? convert::toPython(e.value, cx) : nullptr;
        value::decref(e.key);
        value::decref(e.value);
        int stored = item ? PyDict_SetItem(copy, key, item) : -1;
        Py_XDECREF(key);
        Py_XDECREF(item);
        if (stored < 0) {
            Py_DECREF(copy);
            return nullptr;
        }
    }
    return copy;
}

int refuseReadOnly(PyObject* proxy) {
    value::Obj* block = asProxy(proxy)->block;
    if (!value::readOnly(block)) return 0;
    PyErr_SetString(PyExc_TypeError, value::readOnlyText(block->kind));
    return -1;
}

size_t typeNameText(PyObject* o, char* buf) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__");
    Py_ssize_t length = 0;
    const char* text =
        name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (!text) {
        PyErr_Clear();
        text = "object";
        length = 6;
    }
    size_t n = size_t(length) < 128 ? size_t(length) : 128;
    // A cut inside a character keeps only whole characters.
    if (n < size_t(length))
        while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) n--;
    std::memcpy(buf, text, n);
    buf[n] = 0;
    Py_XDECREF(name);
    return n;
}

void raiseJoined(PyObject* cls, std::initializer_list<std::string_view> parts) {
    size_t total = 0;
    for (std::string_view part : parts) total += part.size();
    auto* text = static_cast<char*>(PyMem_Malloc(total ? total : 1));
    if (!text) {
        PyErr_NoMemory();
        return;
    }
    size_t at = 0;
    for (std::string_view part : parts) {
        std::memcpy(text + at, part.data(), part.size());
        at += part.size();
    }
    pyhelp::raiseText(cls, text, total);
    PyMem_Free(text);
}

bool raiseNoted() { return value::raiseFault(); }

Py_ssize_t sharedLength(PyObject* self) {
    value::Obj* block = asProxy(self)->block;
    if (Py_TYPE(self) == types.dict)
        return Py_ssize_t(reinterpret_cast<value::Dict*>(block)->length);
    return Py_ssize_t(reinterpret_cast<value::List*>(block)->count);
}

namespace {

// The operand as Python compares it: a list or dict proxy as its Python copy. New reference,
// or null with the exception.
PyObject* comparable(PyObject* o) {
    if (Py_TYPE(o) == types.list || Py_TYPE(o) == types.dict) {
        helpers::ConversionContext cx = contextOf(o);
        return Py_TYPE(o) == types.list ? listCopy(blockOf<value::List>(o), &cx)
                                        : dictCopy(blockOf<value::Dict>(o), &cx);
    }
    return Py_NewRef(o);
}

}  // namespace

PyObject* sharedRichCompare(PyObject* a, PyObject* b, int op) {
    PyObject* left = comparable(a);
    if (!left) return nullptr;
    PyObject* right = comparable(b);
    if (!right) {
        Py_DECREF(left);
        return nullptr;
    }
    PyObject* result = PyObject_RichCompare(left, right, op);
    Py_DECREF(left);
    Py_DECREF(right);
    return result;
}

PyObject* proxyRepr(PyObject* self, uint64_t tag, const char* marker) {
    int entered = Py_ReprEnter(self);
    if (entered < 0) return nullptr;
    if (entered > 0) return PyUnicode_FromString(marker);
    helpers::ConversionContext cx = contextOf(self);
    PyObject* text = reprOf(value::Value{tag, uint64_t(uintptr_t(asProxy(self)->block))}, &cx);
    Py_ReprLeave(self);
    return text;
}

PyObject* reprOf(value::Value v, const helpers::ConversionContext* cx) {
    // The runtime's own text when it has one: no copy of the value is made.
    helpers::ByteList written{};
    helpers::OpenList open{};
    Status s = helpers::nativeStr(v.tag, v.payload, &written, helpers::TextRepr, &open);
    helpers::freeOpen(&open);
    PyObject* native = s == Status::ok ? PyUnicode_DecodeUTF8(reinterpret_cast<char*>(written.data),
                                                              Py_ssize_t(written.length), "replace")
                                       : nullptr;
    std::free(written.data);
    if (s == Status::outOfMemory) return PyErr_NoMemory();
    if (s == Status::ok) return native;
    PyObject* o = v.tag == value::TagList   ? listCopy(v.as<value::List>(), cx)
                  : v.tag == value::TagDict ? dictCopy(v.as<value::Dict>(), cx)
                                            : convert::toPython(v, cx);
    if (!o) return nullptr;
    PyObject* text = PyObject_Repr(o);
    Py_DECREF(o);
    return text;
}

}  // namespace wuna::proxies
