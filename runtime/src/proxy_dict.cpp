// wuna.Dict: a dict block of compiled code seen from Python (see wuna/runtime/proxies.h).
//
// Every operation that takes a key makes it a native key first (converted, and hashable by
// the runtime's rules, else the interpreter's unhashable-key TypeError of the running
// version). Lookups compare keys natively; a Python __eq__ or __hash__ that raised on the
// way is noted by the comparison and raised here, never taken for a missing key.
#include <cstdio>
#include <cstring>

#include "proxy_common.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/introspect.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::proxies {

namespace {

using value::Dict;
using value::Value;

Dict* dictOf(PyObject* self) { return blockOf<Dict>(self); }

// A key held for the length of one operation.
struct Key {
    Value v = Value::none();
    bool held = false;
    ~Key() {
        if (held) value::decref(v);
    }
};

void raiseUnhashable(PyObject* key) {
    char name[129];
    typeNameText(key, name);
    char text[400];
    int length = runtime::interpreterMinor >= 14
                     ? snprintf(text, sizeof text,
                                "cannot use '%s' as a dict key (unhashable type: '%s')", name, name)
                     : snprintf(text, sizeof text, "unhashable type: '%s'", name);
    pyhelp::raiseText(PyExc_TypeError, text, uint64_t(length));
}

// The native key of a key object. 0, or -1 with the exception.
int nativeKey(PyObject* key, Key* out) {
    if (takeIn(key, &out->v) < 0) return -1;
    out->held = true;
    if (value::hashable(out->v)) return 0;
    if (!raiseNoted()) raiseUnhashable(key);
    return -1;
}

// The key's value in the dict (borrowed): 1 found, 0 absent, -1 with the exception.
int lookup(PyObject* self, const Key& key, Value* out) {
    bool found = value::dictGet(dictOf(self), key.v, out);
    if (raiseNoted()) return -1;
    return found ? 1 : 0;
}

// The native key of a key object and its value in the dict (borrowed): 1 found, 0 absent, -1
// with the exception.
int find(PyObject* self, PyObject* key, Key* k, Value* out) {
    if (nativeKey(key, k) < 0) return -1;
    return lookup(self, *k, out);
}

PyObject* valueFor(PyObject* self, Value v) {
    helpers::ConversionContext cx = contextOf(self);
    // Held while converted: the conversion can run Python, which can take it out of the dict.
    value::incref(v);
    PyObject* o = convert::toPython(v, &cx);
    value::decref(v);
    return o;
}

void raiseKeyError(PyObject* key) {
    // A tuple key would be taken for the exception's arguments: it goes inside one.
    PyObject* args = PyTuple_Pack(1, key);
    if (!args) return;
    PyErr_SetObject(PyExc_KeyError, args);
    Py_DECREF(args);
}

// Stores the converted item under the key. 0, or -1 with the exception.
int store(PyObject* self, const Key& key, PyObject* item) {
    Value v;
    if (takeIn(item, &v) < 0) return -1;
    bool stored = value::dictSet(dictOf(self), key.v, v);
    value::decref(v);
    if (raiseNoted()) return -1;
    if (!stored) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// Deletes the key's entry: 1 deleted, 0 absent, -1 with the exception.
int erase(PyObject* self, const Key& key) {
    bool deleted = value::dictDelete(dictOf(self), key.v);
    if (raiseNoted()) return -1;
    return deleted ? 1 : 0;
}

// ---- Slots --------------------------------------------------------------------------------------

PyObject* dictSubscript(PyObject* self, PyObject* key) {
    Key k;
    Value v;
    int found = find(self, key, &k, &v);
    if (found < 0) return nullptr;
    if (!found) {
        raiseKeyError(key);
        return nullptr;
    }
    return valueFor(self, v);
}

int dictAssSubscript(PyObject* self, PyObject* key, PyObject* item) {
    if (refuseReadOnly(self) < 0) return -1;
    Key k;
    if (nativeKey(key, &k) < 0) return -1;
    if (item) return store(self, k, item);
    int deleted = erase(self, k);
    if (deleted == 0) raiseKeyError(key);
    return deleted > 0 ? 0 : -1;
}

int dictContains(PyObject* self, PyObject* key) {
    Key k;
    Value v;
    return find(self, key, &k, &v);
}

// What keys(), values() and items() list.
enum class Listing { keys, values, items };

PyObject* listing(PyObject* self, Listing what) {
    PyObject* out = PyList_New(0);
    if (!out) return nullptr;
    // Converting can run Python, which can change the dict: the entries are read anew each
    // step, and each one is held while it is converted.
    for (uint64_t i = 0; i < dictOf(self)->used; i++) {
        value::DictEntry e = dictOf(self)->entries[i];
        if (e.key.tag == value::TagDeleted) continue;
        PyObject* key = what != Listing::values ? valueFor(self, e.key) : nullptr;
        PyObject* item = what != Listing::keys ? valueFor(self, e.value) : nullptr;
        PyObject* entry = what == Listing::keys     ? key
                          : what == Listing::values ? item
                          : key && item             ? PyTuple_Pack(2, key, item)
                                                    : nullptr;
        if (what == Listing::items) {
            Py_XDECREF(key);
            Py_XDECREF(item);
        }
        if (!entry || PyList_Append(out, entry) < 0) {
            Py_XDECREF(entry);
            Py_DECREF(out);
            return nullptr;
        }
        Py_DECREF(entry);
    }
    return out;
}

PyObject* dictKeys(PyObject* self, PyObject*) { return listing(self, Listing::keys); }
PyObject* dictValues(PyObject* self, PyObject*) { return listing(self, Listing::values); }
PyObject* dictItems(PyObject* self, PyObject*) { return listing(self, Listing::items); }

PyObject* dictIter(PyObject* self) {
    PyObject* keys = listing(self, Listing::keys);
    if (!keys) return nullptr;
    PyObject* it = PyObject_GetIter(keys);
    Py_DECREF(keys);
    return it;
}

PyObject* dictRepr(PyObject* self) { return proxyRepr(self, value::TagDict, "{...}"); }

// ---- Methods ------------------------------------------------------------------------------------

PyObject* dictGetMethod(PyObject* self, PyObject* args) {
    PyObject *key, *fallback = Py_None;
    if (!PyArg_UnpackTuple(args, "get", 1, 2, &key, &fallback)) return nullptr;
    Key k;
    Value v;
    int found = find(self, key, &k, &v);
    if (found < 0) return nullptr;
    return found ? valueFor(self, v) : Py_NewRef(fallback);
}

PyObject* dictPopMethod(PyObject* self, PyObject* args) {
    PyObject *key, *fallback = nullptr;
    if (!PyArg_UnpackTuple(args, "pop", 1, 2, &key, &fallback)) return nullptr;
    if (refuseReadOnly(self) < 0) return nullptr;
    Key k;
    Value v;
    int found = find(self, key, &k, &v);
    if (found < 0) return nullptr;
    if (!found) {
        if (fallback) return Py_NewRef(fallback);
        raiseKeyError(key);
        return nullptr;
    }
    PyObject* o = valueFor(self, v);
    if (!o) return nullptr;
    if (erase(self, k) < 0) {
        Py_DECREF(o);
        return nullptr;
    }
    return o;
}

PyObject* dictSetdefaultMethod(PyObject* self, PyObject* args) {
    PyObject *key, *fallback = Py_None;
    if (!PyArg_UnpackTuple(args, "setdefault", 1, 2, &key, &fallback)) return nullptr;
    Key k;
    Value v;
    int found = find(self, key, &k, &v);
    if (found < 0) return nullptr;
    if (found) return valueFor(self, v);
    if (refuseReadOnly(self) < 0 || store(self, k, fallback) < 0) return nullptr;
    if (lookup(self, k, &v) <= 0) {
        if (!PyErr_Occurred()) Py_RETURN_NONE;  // Python took it out again meanwhile
        return nullptr;
    }
    return valueFor(self, v);
}

PyObject* dictUpdateMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (refuseReadOnly(self) < 0) return nullptr;
    PyObject* staged = PyDict_New();
    if (!staged) return nullptr;
    PyObject* update = PyObject_GetAttrString(staged, "update");
    PyObject* done = update ? PyObject_Call(update, args, kwargs) : nullptr;
    Py_XDECREF(update);
    if (!done) {
        Py_DECREF(staged);
        return nullptr;
    }
    Py_DECREF(done);
    PyObject* items = PyDict_Items(staged);
    Py_DECREF(staged);
    if (!items) return nullptr;
    int result = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items) && result == 0; i++) {
        PyObject* pair = PyList_GET_ITEM(items, i);
        Key k;
        result = nativeKey(PyTuple_GET_ITEM(pair, 0), &k);
        if (result == 0) result = store(self, k, PyTuple_GET_ITEM(pair, 1));
    }
    Py_DECREF(items);
    if (result < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dictClearMethod(PyObject* self, PyObject*) {
    if (refuseReadOnly(self) < 0) return nullptr;
    // In insertion order, each entry dead before its key and value are released (as
    // dictDelete does it), so a release that runs Python finds the dict consistent.
    for (uint64_t i = 0; i < dictOf(self)->used; i++) {
        Dict* d = dictOf(self);
        value::DictEntry& e = d->entries[i];
        if (e.key.tag == value::TagDeleted) continue;
        Value key = e.key, item = e.value;
        e.key = Value{value::TagDeleted, 0};
        e.value = Value{0, 0};
        d->length--;
        value::decref(key);
        value::decref(item);
    }
    Py_RETURN_NONE;
}

PyObject* dictCopyMethod(PyObject* self, PyObject*) {
    Dict* c = value::newDict();
    if (!c) return PyErr_NoMemory();
    Value copy = Value::of(value::TagDict, c);
    for (uint64_t i = 0; i < dictOf(self)->used; i++) {
        value::DictEntry e = dictOf(self)->entries[i];
        if (e.key.tag == value::TagDeleted) continue;
        bool stored = value::dictSet(c, e.key, e.value);
        if (raiseNoted() || !stored) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            value::decref(copy);
            return nullptr;
        }
    }
    helpers::ConversionContext cx = contextOf(self);
    return owningProxy(copy, &cx);
}

PyObject* dictPopitemMethod(PyObject* self, PyObject*) {
    if (refuseReadOnly(self) < 0) return nullptr;
    Dict* d = dictOf(self);
    uint64_t i = d->used;
    while (i > 0 && d->entries[i - 1].key.tag == value::TagDeleted) i--;
    if (!d->length || i == 0) {
        PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
        return nullptr;
    }
    value::DictEntry& e = d->entries[i - 1];
    Value key = e.key, item = e.value;
    e.key = Value{value::TagDeleted, 0};
    e.value = Value{0, 0};
    d->length--;
    // The dict's references now belong to this call; they go once the pair is made.
    helpers::ConversionContext cx = contextOf(self);
    PyObject* k = convert::toPython(key, &cx);
    PyObject* v = k ? convert::toPython(item, &cx) : nullptr;
    PyObject* pair = v ? PyTuple_Pack(2, k, v) : nullptr;
    Py_XDECREF(k);
    Py_XDECREF(v);
    value::decref(key);
    value::decref(item);
    return pair;
}

Py_hash_t dictHash(PyObject*) {
    PyErr_SetString(PyExc_TypeError, "unhashable type: 'dict'");
    return -1;
}

PyObject* dictClass(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyDict_Type)); }

PyMethodDef dictMethods[] = {
    {"keys", dictKeys, METH_NOARGS, nullptr},
    {"values", dictValues, METH_NOARGS, nullptr},
    {"items", dictItems, METH_NOARGS, nullptr},
    {"get", dictGetMethod, METH_VARARGS, nullptr},
    {"pop", dictPopMethod, METH_VARARGS, nullptr},
    {"setdefault", dictSetdefaultMethod, METH_VARARGS, nullptr},
    {"update", withKeywords(dictUpdateMethod),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"clear", dictClearMethod, METH_NOARGS, nullptr},
    {"copy", dictCopyMethod, METH_NOARGS, nullptr},
    {"popitem", dictPopitemMethod, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef dictGetSet[] = {
    {"__class__", dictClass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot dictSlots[] = {
    {Py_tp_dealloc, slot(proxyDealloc)},
    {Py_mp_length, slot(sharedLength)},
    {Py_mp_subscript, slot(dictSubscript)},
    {Py_mp_ass_subscript, slot(dictAssSubscript)},
    {Py_sq_contains, slot(dictContains)},
    {Py_tp_iter, slot(dictIter)},
    {Py_tp_repr, slot(dictRepr)},
    {Py_tp_richcompare, slot(sharedRichCompare)},
    {Py_tp_hash, slot(dictHash)},
    {Py_tp_methods, dictMethods},
    {Py_tp_getset, dictGetSet},
    {Py_tp_doc,
     const_cast<char*>("A dict of compiled code, shared with it (isinstance(x, dict) is true).")},
    {0, nullptr},
};

}  // namespace

PyType_Spec dictSpec = {"wuna.Dict", int(sizeof(ProxyObject)), 0, Py_TPFLAGS_DEFAULT, dictSlots};

}  // namespace wuna::proxies
