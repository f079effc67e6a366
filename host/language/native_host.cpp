// Making and releasing wuna.NativeHost objects (see language/native_host.h).
#include "host/language/native_host.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include <structmember.h>

#include "host/module/type_registry.h"
#include "host/support/check.h"
#include "wuna/runtime/helpers/pyread.h"
#include "wuna/runtime/proxies.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::host {

namespace {

void nativeHostDealloc(PyObject* self) {
    auto* host = reinterpret_cast<NativeHostObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(host->capsule);
    Py_CLEAR(host->name);
    type->tp_free(self);
    Py_DECREF(type);
}

// The texts by which a call names an argument that does not fit its kind.
const char* kindText(char kind) {
    switch (kind) {
    case '?': return "a bool";
    case 'f': return "a float";
    case 'i': return "an int";
    default: return "data (wuna.Bytes, bytes...)";
    }
}

// One 16-byte argument slot of a native call.
struct Slot {
    uint64_t word;
    uint64_t length;
};

// The name for messages: the host's name when it has UTF-8 (the str itself, so that a NUL
// in it does not cut the text), else "native". New reference, or null with MemoryError.
PyObject* nameForMessages(const NativeHostObject* host) {
    if (host->name && PyUnicode_Check(host->name) && PyUnicode_AsUTF8(host->name))
        return Py_NewRef(host->name);
    PyErr_Clear();
    return PyUnicode_FromString("native");
}

// Raises the TypeError of a call that does not fit: the format's one %U is the name.
void raiseMisfit(const NativeHostObject* host, const char* format, ...) {
    PyObject* name = nameForMessages(host);
    if (!name) return;
    va_list rest;
    va_start(rest, format);
    PyObject* text = PyUnicode_FromFormatV(format, rest);
    va_end(rest);
    if (text) {
        PyObject* message = PyUnicode_Concat(name, text);
        if (message) PyErr_SetObject(PyExc_TypeError, message);
        Py_XDECREF(message);
        Py_DECREF(text);
    }
    Py_DECREF(name);
}

// Converts argument i into its slot by the signature. A data argument is passed as the memory
// of a wuna.Bytes (the argument itself, or a new view over its buffer), held in
// views[*viewCount] (the caller releases views[0 .. *viewCount) after the call). 0, or -1
// with the exception (TypeError naming the argument when it does not fit its kind).
int fillSlot(const NativeHostObject* host, uint32_t i, PyObject* arg, Slot* slot, PyObject** views,
             uint32_t* viewCount) {
    char kind = host->argKinds[i];
    const char* misfit = nullptr;
    if (kind == '?') {
        if (arg == Py_True || arg == Py_False)
            slot->word = arg == Py_True;
        else
            misfit = kindText(kind);
    } else if (kind == 'f') {
        if (Py_TYPE(arg) == &PyFloat_Type) {
            double d = PyFloat_AS_DOUBLE(arg);
            memcpy(&slot->word, &d, 8);
        } else {
            misfit = kindText(kind);
        }
    } else if (kind == 'i') {
        if (!PyLong_Check(arg) || PyBool_Check(arg)) {
            misfit = kindText(kind);
        } else {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(arg, &overflow);
            if (v == -1 && PyErr_Occurred()) return -1;
            if (overflow)
                misfit = "an int of 64 bits";
            else
                slot->word = uint64_t(v);
        }
    } else if (!helpers::isData(arg)) {
        misfit = kindText(kind);
    } else {
        PyObject* view = proxies::bytesOf(arg);
        if (!view) return -1;
        views[(*viewCount)++] = view;
        auto* bytes = reinterpret_cast<proxies::BytesObject*>(view);
        slot->word = uint64_t(reinterpret_cast<uintptr_t>(bytes->data));
        slot->length = bytes->length;
    }
    if (!misfit) return 0;
    raiseMisfit(host, "() takes %s as argument %u", misfit, i + 1);
    return -1;
}

// Calls the library's function on the filled slots and converts its result word by the
// signature. New reference, or null with the exception (RuntimeError with the library's text
// when it reports a failure).
PyObject* callRecord(const NativeHostObject* host, Slot* slots) {
    WUNA_CHECK(host->record->call);  // native_host refuses a record without one
    uint64_t word = 0;
    int32_t code = host->record->call(host->record->user, slots, host->argCount, &word);
    if (code != 0) {
        const char* text =
            host->record->error ? host->record->error(host->record->user, code) : nullptr;
        if (!text) text = "failed";
        pyhelp::raiseText(PyExc_RuntimeError, text, strlen(text));
        return nullptr;
    }
    switch (host->resultKind) {
    case '?': return PyBool_FromLong(word != 0);
    case 'f': {
        double d;
        memcpy(&d, &word, 8);
        return PyFloat_FromDouble(d);
    }
    case 'i': return PyLong_FromLongLong(int64_t(word));
    default: return Py_NewRef(Py_None);
    }
}

// Calls the library's function with the arguments converted by the signature. Data arguments
// are passed as the memory of wuna.Bytes views, held until the call returns.
PyObject* nativeHostCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* host = reinterpret_cast<NativeHostObject*>(self);
    if (!host->record) {
        PyErr_SetString(PyExc_TypeError,
                        "this NativeHost is bound to no native function: "
                        "Language.native_host(name, capsule) makes the ones that call");
        return nullptr;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        raiseMisfit(host, "() takes no keyword arguments");
        return nullptr;
    }
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != Py_ssize_t(host->argCount)) {
        raiseMisfit(host, "() takes %u arguments, %zd given", host->argCount, given);
        return nullptr;
    }
    Slot slots[kNativeMaxArgs] = {};
    PyObject* views[kNativeMaxArgs];
    uint32_t viewCount = 0;
    uint32_t filled = 0;
    while (filled < host->argCount && fillSlot(host, filled, PyTuple_GET_ITEM(args, filled),
                                               &slots[filled], views, &viewCount) == 0)
        filled++;
    PyObject* result = filled == host->argCount ? callRecord(host, slots) : nullptr;
    for (uint32_t v = 0; v < viewCount; v++) Py_DECREF(views[v]);
    return result;
}

PyMemberDef nativeHostMembers[] = {
    {"__name__", T_OBJECT, offsetof(NativeHostObject, name), READONLY, "The host function's name."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot nativeHostSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(nativeHostCall)},
    {Py_tp_members, nativeHostMembers},
    {Py_tp_dealloc, reinterpret_cast<void*>(nativeHostDealloc)},
    {Py_tp_doc, const_cast<char*>("A native library's function, a host function of a language "
                                  "(Language.native_host): called directly by compiled code.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec nativeHostSpec = {"wuna.NativeHost", int(sizeof(NativeHostObject)), 0,
                              Py_TPFLAGS_DEFAULT, nativeHostSlots};

PyObject* newNativeHost(PyObject* capsule, NativeRecord* record, PyObject* name, uint32_t argCount,
                        const char* argKinds, char resultKind) {
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

}  // namespace wuna::host
