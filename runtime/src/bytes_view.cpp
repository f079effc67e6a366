// wuna.Bytes: a read-only view of memory that Python owns (see wuna/runtime/proxies.h).
//
// A view holds either the buffer it took (Bytes(data)) or an owner that keeps the memory
// valid (a slice holds the view it was cut from, or that view's owner), so a chain of slices
// never copies. Memory that can change under the view (a bytearray, a writable mmap) gives a
// view without a hash, as a memoryview of writable memory has none: a hash taken while the
// bytes were one thing would be wrong once they are another.
#include <cstdio>
#include <cstring>

#include "proxy_common.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/pyread.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::proxies {

namespace {

BytesObject* asBytes(PyObject* o) { return reinterpret_cast<BytesObject*>(o); }

// Where an empty buffer's data points: never null.
const uint8_t* const kNoData = reinterpret_cast<const uint8_t*>(uintptr_t(1));

// A new empty view (all fields zero). New reference, or null with the exception.
PyObject* newView() {
    if (!types.bytes) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: wuna.Bytes is not made yet");
        return nullptr;
    }
    return types.bytes->tp_alloc(types.bytes, 0);
}

PyObject* bytesNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "Bytes() takes no keyword arguments");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(args) != 1) {
        PyErr_SetString(PyExc_TypeError,
                        "Bytes(data) takes one argument (bytes, bytearray, memoryview, mmap...)");
        return nullptr;
    }
    return bytesOf(PyTuple_GET_ITEM(args, 0));
}

void bytesDealloc(PyObject* self) {
    BytesObject* b = asBytes(self);
    PyTypeObject* type = Py_TYPE(self);
    if (b->owner)
        Py_CLEAR(b->owner);
    else if (b->view.obj)
        PyBuffer_Release(&b->view);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t bytesLength(PyObject* self) { return Py_ssize_t(asBytes(self)->length); }

PyObject* bytesItem(PyObject* self, Py_ssize_t i) {
    BytesObject* b = asBytes(self);
    if (i < 0) i += Py_ssize_t(b->length);
    if (i < 0 || uint64_t(i) >= b->length) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return nullptr;
    }
    return PyLong_FromLong(b->data[i]);
}

PyObject* bytesSubscript(PyObject* self, PyObject* key) {
    BytesObject* b = asBytes(self);
    if (!PySlice_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        return bytesItem(self, i);
    }
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    Py_ssize_t n = PySlice_AdjustIndices(Py_ssize_t(b->length), &start, &stop, step);
    if (step == 1)
        return bytesOver(b->owner ? b->owner : self, b->data + start, uint64_t(n), b->writable);
    PyObject* copy = PyBytes_FromStringAndSize(nullptr, n);
    if (!copy) return nullptr;
    char* out = PyBytes_AS_STRING(copy);
    for (Py_ssize_t k = 0; k < n; k++) out[k] = char(b->data[start + k * step]);
    PyObject* view = bytesOf(copy);
    Py_DECREF(copy);
    return view;
}

// Whether o is compared by its bytes: exactly wuna.Bytes, memoryview, bytes or bytearray,
// or an mmap.
bool comparedByBytes(PyObject* o) { return helpers::isData(o); }

PyObject* bytesRichCompare(PyObject* a, PyObject* b, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    if (!comparedByBytes(b)) return PyBool_FromLong(op == Py_NE);
    Py_buffer other;
    if (PyObject_GetBuffer(b, &other, PyBUF_SIMPLE) < 0) return nullptr;
    BytesObject* self = asBytes(a);
    bool same = uint64_t(other.len) == self->length &&
                (!self->length || std::memcmp(other.buf, self->data, self->length) == 0);
    PyBuffer_Release(&other);
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

Py_hash_t bytesHash(PyObject* self) {
    BytesObject* b = asBytes(self);
    if (b->writable) {
        PyErr_SetString(PyExc_ValueError, "cannot hash a wuna.Bytes of writable memory");
        return -1;
    }
    PyObject* copy =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data), Py_ssize_t(b->length));
    if (!copy) return -1;
    Py_hash_t h = PyObject_Hash(copy);
    Py_DECREF(copy);
    return h;
}

PyObject* bytesRepr(PyObject* self) {
    BytesObject* b = asBytes(self);
    uint64_t shown = b->length < 32 ? b->length : 32;
    PyObject* head =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data), Py_ssize_t(shown));
    PyObject* text = head ? PyObject_Repr(head) : nullptr;
    Py_XDECREF(head);
    if (!text) return nullptr;
    PyObject* repr =
        PyUnicode_FromFormat("wuna.Bytes(%U%s)", text, b->length > 32 ? "..." : "");
    Py_DECREF(text);
    return repr;
}

PyObject* bytesBytes(PyObject* self, PyObject*) {
    BytesObject* b = asBytes(self);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data),
                                     Py_ssize_t(b->length));
}

// What an exported buffer's strides point at: one byte per item. Its shape points at the
// view's own length (a u64, the width of Py_ssize_t here).
const Py_ssize_t kStride = 1;

int bytesGetBuffer(PyObject* self, Py_buffer* view, int flags) {
    if (flags & PyBUF_WRITABLE) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "wuna.Bytes is read-only");
        return -1;
    }
    BytesObject* b = asBytes(self);
    static_assert(sizeof(Py_ssize_t) == sizeof(uint64_t));
    view->buf = const_cast<uint8_t*>(b->data);
    view->obj = Py_NewRef(self);
    view->len = Py_ssize_t(b->length);
    view->itemsize = 1;
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? reinterpret_cast<Py_ssize_t*>(&b->length)
                                                  : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(&kStride)
                                                              : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyMethodDef bytesMethods[] = {
    {"__bytes__", bytesBytes, METH_NOARGS, "Its bytes, copied."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot bytesSlots[] = {
    {Py_tp_new, slot(bytesNew)},
    {Py_tp_dealloc, slot(bytesDealloc)},
    {Py_mp_length, slot(bytesLength)},
    {Py_sq_length, slot(bytesLength)},
    {Py_sq_item, slot(bytesItem)},
    {Py_mp_subscript, slot(bytesSubscript)},
    {Py_tp_richcompare, slot(bytesRichCompare)},
    {Py_tp_hash, slot(bytesHash)},
    {Py_tp_repr, slot(bytesRepr)},
    {Py_tp_methods, bytesMethods},
    {Py_bf_getbuffer, slot(bytesGetBuffer)},
    {Py_tp_doc, const_cast<char*>("Bytes(data): a read-only view of data's memory (bytes, "
                                  "bytearray, memoryview, mmap), not copied; slices share it.")},
    {0, nullptr},
};

// A runtime bytes view as Python sees it: the wuna.Bytes that owns it when that shows
// exactly this memory, else a new view that keeps the same memory alive.
PyObject* bytesViewObject(value::Bytes* v) {
    PyObject* owner = v->owner;
    if (owner && isBytes(owner) && asBytes(owner)->data == v->data &&
        asBytes(owner)->length == v->length)
        return Py_NewRef(owner);
    if (!types.bytes || !owner)
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v->data),
                                         Py_ssize_t(v->length));
    bool writable = isBytes(owner) ? asBytes(owner)->writable : !PyBytes_CheckExact(owner);
    PyObject* keeper = isBytes(owner) && asBytes(owner)->owner ? asBytes(owner)->owner : owner;
    return bytesOver(keeper, v->data, v->length, writable);
}

// Conversion rule for a wuna.Bytes: a runtime bytes view of its memory, owned by it.
int bytesValue(PyObject* o, value::Value* out) {
    if (!isBytes(o)) return 0;
    BytesObject* b = asBytes(o);
    value::Bytes* v = value::newBytesView(b->data, b->length, o);
    if (!v) {
        PyErr_NoMemory();
        return -1;
    }
    *out = value::Value::of(value::TagBytes, v);
    return 1;
}

[[maybe_unused]] const bool installed = [] {
    convert::hooks.bytesView = bytesViewObject;
    convert::hooks.bytesValue = bytesValue;
    return true;
}();

}  // namespace

PyType_Spec bytesSpec = {"wuna.Bytes", int(sizeof(BytesObject)), 0, Py_TPFLAGS_DEFAULT,
                         bytesSlots};

PyObject* bytesOf(PyObject* data) {
    if (isBytes(data)) return Py_NewRef(data);
    PyObject* o = newView();
    if (!o) return nullptr;
    BytesObject* b = asBytes(o);
    if (PyObject_GetBuffer(data, &b->view, PyBUF_SIMPLE) < 0) {
        std::memset(&b->view, 0, sizeof b->view);
        Py_DECREF(o);
        return nullptr;
    }
    b->data = b->view.buf ? static_cast<const uint8_t*>(b->view.buf) : kNoData;
    b->length = uint64_t(b->view.len);
    b->writable = b->view.readonly ? 0 : 1;
    return o;
}

PyObject* bytesOver(PyObject* owner, const uint8_t* data, uint64_t length, bool writable) {
    PyObject* o = newView();
    if (!o) return nullptr;
    BytesObject* b = asBytes(o);
    b->owner = Py_NewRef(owner);
    b->data = data ? data : kNoData;
    b->length = length;
    b->writable = writable ? 1 : 0;
    return o;
}

PyObject* wrapData(PyObject* arguments) {
    Py_ssize_t n = PyTuple_GET_SIZE(arguments);
    PyObject* wrapped = PyTuple_New(n);
    if (!wrapped) return nullptr;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* arg = PyTuple_GET_ITEM(arguments, i);
        PyObject* item = helpers::isData(arg) ? bytesOf(arg) : Py_NewRef(arg);
        if (!item) {
            Py_DECREF(wrapped);
            return nullptr;
        }
        PyTuple_SET_ITEM(wrapped, i, item);
    }
    return wrapped;
}

}  // namespace wuna::proxies
