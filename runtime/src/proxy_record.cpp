// wuna.Record: a record block of compiled code seen from Python (see wuna/runtime/proxies.h).
//
// Fields are read and written in the block; everything else (methods, properties, class
// attributes) comes from the record's Python class, bound to the proxy, so a method of the
// class called through the proxy gets the proxy as self and sees the native fields.
#include <cstdio>
#include <cstring>

#include "proxy_common.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/introspect.h"

namespace wuna::proxies {

namespace {

using value::Record;
using value::RecordClass;
using value::Value;

Record* recordOf(PyObject* self) { return blockOf<Record>(self); }

std::string_view textOf(const value::Text& t) { return {t.data, size_t(t.length)}; }

// The field named name: its index, or -1.
int64_t fieldIndex(const RecordClass* cls, std::string_view name) {
    for (uint64_t i = 0; i < cls->fieldCount; i++)
        if (textOf(cls->fields[i]) == name) return int64_t(i);
    return -1;
}

void raiseNoAttribute(const value::Text& className, std::string_view name) {
    raiseJoined(PyExc_AttributeError,
                {"'", textOf(className), "' object has no attribute '", name, "'"});
}

// The attribute found on the class's __mro__, bound to the proxy when it is a descriptor.
// New reference, or null with the exception (AttributeError when nothing is found).
PyObject* classAttribute(PyObject* self, PyObject* pyClass, PyObject* name, std::string_view text) {
    PyObject* mro = PyObject_GetAttrString(pyClass, "__mro__");
    if (!mro) return nullptr;
    PyObject* fast = PySequence_Fast(mro, "__mro__ must be a sequence");
    Py_DECREF(mro);
    if (!fast) return nullptr;
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast) && !found; i++) {
        PyObject* dict = PyObject_GetAttrString(PySequence_Fast_GET_ITEM(fast, i), "__dict__");
        if (!dict) break;
        found = PyObject_GetItem(dict, name);
        Py_DECREF(dict);
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) break;
            PyErr_Clear();
        }
    }
    Py_DECREF(fast);
    if (!found) {
        if (!PyErr_Occurred()) raiseNoAttribute(recordOf(self)->cls->name, text);
        return nullptr;
    }
    if (PyType_Check(found) || !PyObject_HasAttrString(found, "__get__")) return found;
    PyObject* bound = PyObject_CallMethod(found, "__get__", "OO", self, pyClass);
    Py_DECREF(found);
    return bound;
}

PyObject* recordGetattro(PyObject* self, PyObject* name) {
    Py_ssize_t length = 0;
    const char* text = convert::strArg(name, "attribute", &length);
    if (!text) return nullptr;
    std::string_view key(text, size_t(length));
    Record* r = recordOf(self);
    int64_t i = fieldIndex(r->cls, key);
    if (i >= 0) {
        Value v = r->fields()[i];
        if (v.tag == value::TagUnset) {
            raiseNoAttribute(r->cls->fullName, key);
            return nullptr;
        }
        helpers::ConversionContext cx = contextOf(self);
        return convert::toPython(v, &cx);
    }
    PyObject* pyClass = r->cls->pyClass;
    if (!pyClass) return PyObject_GenericGetAttr(self, name);
    if (key == "__class__") return Py_NewRef(pyClass);
    return classAttribute(self, pyClass, name, key);
}

PyObject* frozenInstanceError() {
    PyObject* dataclasses = PyImport_ImportModule("dataclasses");
    if (!dataclasses) return nullptr;
    PyObject* cls = PyObject_GetAttrString(dataclasses, "FrozenInstanceError");
    Py_DECREF(dataclasses);
    return cls;
}

void raiseNotAField(const RecordClass* cls, std::string_view name) {
    if (runtime::interpreterMinor >= 13)
        raiseJoined(PyExc_AttributeError,
                    {"'", textOf(cls->name), "' object has no attribute '", name,
                     "' and no __dict__ for setting new attributes"});
    else
        raiseNoAttribute(cls->name, name);
}

int recordSetattro(PyObject* self, PyObject* name, PyObject* item) {
    Py_ssize_t length = 0;
    const char* text = convert::strArg(name, "attribute", &length);
    if (!text) return -1;
    std::string_view key(text, size_t(length));
    Record* r = recordOf(self);
    if (r->cls->frozen) {
        PyObject* error = frozenInstanceError();
        if (!error) return -1;
        raiseJoined(error, {"cannot assign to field '", key, "'"});
        Py_DECREF(error);
        return -1;
    }
    int64_t i = fieldIndex(r->cls, key);
    if (i < 0) {
        raiseNotAField(r->cls, key);
        return -1;
    }
    if (refuseReadOnly(self) < 0) return -1;
    if (item) {
        Value v;
        if (takeIn(item, &v) < 0) return -1;
        // Converting can run Python: the record is read again.
        r = recordOf(self);
        Value old = r->fields()[i];
        r->fields()[i] = v;
        value::decref(old);
        return 0;
    }
    Value old = r->fields()[i];
    if (!r->cls->slots) {
        raiseNoAttribute(r->cls->name, key);
        return -1;
    }
    if (old.tag == value::TagUnset) {
        // What a slot's own deletion raises in every version: the bare name.
        PyErr_SetObject(PyExc_AttributeError, name);
        return -1;
    }
    r->fields()[i] = Value::unset();
    value::decref(old);
    return 0;
}

// The class's own __repr__ or __str__, when it has one that is not object's. New reference;
// null, with no exception, when there is none.
PyObject* ownMethod(PyObject* pyClass, const char* name) {
    if (!PyObject_HasAttrString(pyClass, "__dict__")) return nullptr;
    PyObject* mine = PyObject_GetAttrString(pyClass, name);
    PyObject* base = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name);
    PyErr_Clear();
    if (mine && mine != base) {
        Py_XDECREF(base);
        return mine;
    }
    Py_XDECREF(mine);
    Py_XDECREF(base);
    return nullptr;
}

PyObject* defaultRepr(PyObject* self) {
    const RecordClass* cls = recordOf(self)->cls;
    if (!cls->pyClass) {
        char address[32];
        int n = snprintf(address, sizeof address, " object at %p>", static_cast<void*>(self));
        std::string_view name = textOf(cls->name);
        PyObject* head = PyUnicode_DecodeUTF8(name.data(), Py_ssize_t(name.size()), "replace");
        PyObject* text = head ? PyUnicode_FromFormat("<%U%s", head, address) : nullptr;
        Py_XDECREF(head);
        if (!text || n < 0) {
            Py_XDECREF(text);
            PyErr_Clear();
            return PyUnicode_FromString("<object>");
        }
        return text;
    }
    PyObject* module = PyObject_GetAttrString(cls->pyClass, "__module__");
    PyObject* qualname = module ? PyObject_GetAttrString(cls->pyClass, "__qualname__") : nullptr;
    PyObject* text = qualname ? PyUnicode_FromFormat("<%S.%S object at %p>", module, qualname, self)
                              : nullptr;
    Py_XDECREF(module);
    Py_XDECREF(qualname);
    return text;
}

// The class's own method of that name called with the proxy; null with no exception when
// the class has none of its own.
PyObject* callOwn(PyObject* self, const char* method) {
    PyObject* pyClass = recordOf(self)->cls->pyClass;
    PyObject* own = pyClass ? ownMethod(pyClass, method) : nullptr;
    if (!own) return nullptr;
    PyObject* text = PyObject_CallOneArg(own, self);
    Py_DECREF(own);
    return text;
}

PyObject* recordRepr(PyObject* self) {
    PyObject* text = callOwn(self, "__repr__");
    if (text || PyErr_Occurred()) return text;
    return defaultRepr(self);
}

PyObject* recordStr(PyObject* self) {
    PyObject* text = callOwn(self, "__str__");
    if (text || PyErr_Occurred()) return text;
    return recordRepr(self);
}

PyObject* recordRichCompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != types.record) Py_RETURN_NOTIMPLEMENTED;
    bool same;
    if (Py_TYPE(b) == types.record) {
        same = value::equal(Value::of(value::TagRecord, recordOf(a)),
                            Value::of(value::TagRecord, recordOf(b)));
        if (raiseNoted()) return nullptr;
    } else {
        if (recordOf(a)->cls->eq) Py_RETURN_NOTIMPLEMENTED;
        same = false;
    }
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

Py_hash_t recordHash(PyObject* self) {
    Record* r = recordOf(self);
    if (!r->cls->eq) {
        Py_hash_t h = Py_hash_t(uint64_t(uintptr_t(r)) >> 4);
        return h == -1 ? -2 : h;
    }
    if (!r->cls->frozen || !value::services.recordPyHash) return PyObject_HashNotImplemented(self);
    int64_t h = 0;
    if (!value::services.recordPyHash(r, &h)) return -1;
    return Py_hash_t(h);
}

PyType_Slot recordSlots[] = {
    {Py_tp_dealloc, slot(proxyDealloc)},
    {Py_tp_getattro, slot(recordGetattro)},
    {Py_tp_setattro, slot(recordSetattro)},
    {Py_tp_repr, slot(recordRepr)},
    {Py_tp_str, slot(recordStr)},
    {Py_tp_richcompare, slot(recordRichCompare)},
    {Py_tp_hash, slot(recordHash)},
    {Py_tp_doc,
     const_cast<char*>("An object of compiled code (a record of a class), shared with it: its "
                       "fields, its class's methods; isinstance() with its class is true.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec recordSpec = {"wuna.Record", int(sizeof(ProxyObject)), 0, Py_TPFLAGS_DEFAULT,
                          recordSlots};

}  // namespace wuna::proxies
