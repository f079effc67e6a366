// The shared byte reader (see pyread.h).
//
// Data is read through the buffer protocol (a simple request, released right after the
// read), except that only the listed types are accepted: a type that merely offers a buffer
// is not data. The offset is converted before the data is looked at, so a bad offset is
// reported first.
#include "wuna/runtime/helpers/pyread.h"

#include <cstring>

#include "wuna/runtime/proxies.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::helpers {

namespace {

// The type's __name__ as UTF-8, or "?" when it is not a str. A new reference to the name
// object goes to *holder (null for "?"); the text lives as long as it.
const char* typeName(PyTypeObject* type, PyObject** holder, Py_ssize_t* length) {
    *holder = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
    const char* text = nullptr;
    if (*holder && PyUnicode_Check(*holder)) text = PyUnicode_AsUTF8AndSize(*holder, length);
    if (!text) {
        PyErr_Clear();
        Py_CLEAR(*holder);
        *length = 1;
        return "?";
    }
    return text;
}

bool isMmap(PyTypeObject* type) {
    PyObject* holder;
    Py_ssize_t length;
    const char* name = typeName(type, &holder, &length);
    bool mmap = holder && length == 4 && memcmp(name, "mmap", 4) == 0;
    Py_XDECREF(holder);
    return mmap;
}

// Room for the fixed words and a type name long enough to be cut by raiseText.
constexpr size_t kComposed = pyhelp::kMessageBuffer + 128;

void raiseNotData(const Reader& reader, PyObject* data) {
    PyObject* holder;
    Py_ssize_t length;
    const char* name = typeName(Py_TYPE(data), &holder, &length);
    char text[kComposed];
    int head = PyOS_snprintf(text, sizeof text, "rt.%s() reads data (wuna.Bytes, bytes...), not '",
                             reader.name);
    size_t room = sizeof text - size_t(head) - 2;
    size_t kept = size_t(length) < room ? size_t(length) : room;
    memcpy(text + head, name, kept);
    text[head + kept] = '\'';
    pyhelp::raiseText(PyExc_TypeError, text, head + kept + 1);
    Py_XDECREF(holder);
}

}  // namespace

bool isData(PyObject* data) {
    PyTypeObject* type = Py_TYPE(data);
    return type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type ||
           proxies::isBytes(data) || isMmap(type);
}

PyObject* pyRead(uint32_t code, PyObject* data, PyObject* offsetObject) {
    const Reader& reader = readers[code];
    long long offset = PyLong_AsLongLong(offsetObject);
    if (offset == -1 && PyErr_Occurred()) return nullptr;
    if (!isData(data)) {
        raiseNotData(reader, data);
        return nullptr;
    }
    // A wuna.Bytes is read in place; any other data through its buffer, held for the read.
    Py_buffer view;
    bool held = false;
    const uint8_t* bytes;
    uint64_t length;
    if (proxies::isBytes(data)) {
        auto* b = reinterpret_cast<proxies::BytesObject*>(data);
        bytes = b->data;
        length = b->length;
    } else {
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
        held = true;
        bytes = static_cast<const uint8_t*>(view.buf);
        length = uint64_t(view.len);
    }
    if (offset < 0 || uint64_t(offset) > length || length - uint64_t(offset) < reader.width) {
        if (held) PyBuffer_Release(&view);
        PyErr_Format(PyExc_IndexError, "rt.%s(): offset %lld out of range", reader.name, offset);
        return nullptr;
    }
    uint64_t bits = assemble(code, bytes + offset);
    if (held) PyBuffer_Release(&view);
    if (!reader.isSigned && reader.width == 8 && (bits >> 63))
        return PyLong_FromUnsignedLongLong(bits);
    return PyLong_FromLongLong(int64_t(bits));
}

}  // namespace wuna::helpers
