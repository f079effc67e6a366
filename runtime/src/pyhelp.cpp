// Raising Python exceptions with cut texts (see pyhelp.h).
#include "wuna/runtime/pyhelp.h"

#include <cstring>

#include "wuna/runtime/introspect.h"

namespace wuna::pyhelp {

int32_t servedMinor() {
    return runtime::interpreterMinor ? runtime::interpreterMinor : PY_MINOR_VERSION;
}

size_t cutText(char* buf, const char* text, uint64_t length) {
    if (length < kMessageBuffer) {
        memcpy(buf, text, length);
        buf[length] = 0;
        return size_t(length);
    }
    size_t at = kMessageKept;
    while (at > 0 && (uint8_t(text[at]) & 0xC0) == 0x80) at--;
    memcpy(buf, text, at);
    memcpy(buf + at, "...", 4);
    return at + 3;
}

void raiseText(PyObject* cls, const char* text, uint64_t length) {
    char buf[kMessageBuffer];
    size_t kept = cutText(buf, text, length);
    PyObject* message = PyUnicode_DecodeUTF8(buf, Py_ssize_t(kept), "replace");
    if (!message) return;
    PyErr_SetObject(cls, message);
    Py_DECREF(message);
}

PyObject* messageStr(const char* text, uint64_t length) {
    PyObject* message = PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "surrogatepass");
    if (message || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return message;
    PyErr_Clear();
    return PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "replace");
}

PyObject* cutStr(PyObject* text) {
    // Fewer characters than a quarter of the buffer are fewer bytes than it.
    if (PyUnicode_GET_LENGTH(text) < Py_ssize_t(kMessageBuffer / 4)) return Py_NewRef(text);
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
    if (!bytes) return nullptr;
    PyObject* cut = nullptr;
    if (size_t(PyBytes_GET_SIZE(bytes)) < kMessageBuffer) {
        cut = Py_NewRef(text);
    } else {
        char buf[kMessageBuffer];
        size_t kept = cutText(buf, PyBytes_AS_STRING(bytes), uint64_t(PyBytes_GET_SIZE(bytes)));
        cut = PyUnicode_DecodeUTF8(buf, Py_ssize_t(kept), "replace");
    }
    Py_DECREF(bytes);
    return cut;
}

}  // namespace wuna::pyhelp
