// Making and releasing wuna.NativeHost objects (see nativehost.h).
#include "host/nativehost.h"

#include <cstddef>
#include <cstring>

#include <structmember.h>

#include "host/types.h"

namespace host {

namespace {

void nativeHostDealloc(PyObject* self) {
    auto* host = reinterpret_cast<NativeHostObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(host->capsule);
    Py_CLEAR(host->name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef nativeHostMembers[] = {
    {"__name__", T_OBJECT, offsetof(NativeHostObject, name), READONLY,
     "The host function's name."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot nativeHostSlots[] = {
    {Py_tp_members, nativeHostMembers},
    {Py_tp_dealloc, reinterpret_cast<void*>(nativeHostDealloc)},
    {Py_tp_doc, const_cast<char*>(
                    "A native library's function, a host function of a language "
                    "(Language.native_host): called directly by compiled code.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec nativeHostSpec = {"wuna.NativeHost", int(sizeof(NativeHostObject)), 0,
                              Py_TPFLAGS_DEFAULT, nativeHostSlots};

PyObject* newNativeHost(PyObject* capsule, NativeRecord* record, PyObject* name,
                        uint32_t argCount, const char* argKinds, char resultKind) {
    // Until the type is made from nativeHostSpec with its call slot, it can hold none of this.
    if (!nativeHostType || !nativeHostType->tp_call ||
        nativeHostType->tp_basicsize < Py_ssize_t(sizeof(NativeHostObject))) {
        PyErr_SetString(PyExc_NotImplementedError,
                        "wuna.NativeHost is not built yet (its type has no fields or call)");
        return nullptr;
    }
    PyObject* self = nativeHostType->tp_alloc(nativeHostType, 0);
    if (!self) return nullptr;
    auto* host = reinterpret_cast<NativeHostObject*>(self);
    host->capsule = Py_NewRef(capsule);
    host->record = record;
    host->name = Py_NewRef(name);
    host->argCount = argCount;
    memcpy(host->argKinds, argKinds, argCount);
    host->resultKind = resultKind;
    return self;
}

}  // namespace host
