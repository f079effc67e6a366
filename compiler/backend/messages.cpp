// Back-end messages under the 1024-byte rule (see messages.h).
#include "compiler/backend/messages.h"

#include <cstring>

#include "host/support/check.h"
#include "wuna/runtime/text.h"

namespace wuna::messages {

Message& Message::add(const char* text) { return text ? add(text, strlen(text)) : *this; }

Message& Message::add(const char* text, size_t n) {
    WUNA_CHECK(length < kBuffer);  // the NUL's byte stays free
    size_t room = kBuffer - 1 - length;
    if (n > room) {
        overflowed = true;
        n = room;
    }
    memcpy(buf + length, text, n);
    length += n;
    return *this;
}

Message& Message::addUnsigned(uint64_t n) {
    char digits[kDecimalDigits];
    size_t at = writeDecimal(n, digits);
    return add(digits + at, sizeof digits - at);
}

const char* Message::text() {
    if (overflowed) {
        // Back up to the start of a character so none is split, then mark the cut.
        size_t at = text::utf8Prefix(buf, length, kKept);
        memcpy(buf + at, "...", 3);
        length = at + 3;
        overflowed = false;
    }
    buf[length] = 0;
    return buf;
}

void Message::raise(PyObject* cls) {
    // Engine texts and names are not checked UTF-8: a bad byte becomes U+FFFD rather than
    // a decoding error in place of the message.
    const char* finished = text();
    PyObject* str = PyUnicode_DecodeUTF8(finished, Py_ssize_t(length), "replace");
    if (!str) return;
    PyErr_SetObject(cls, str);
    Py_DECREF(str);
}

size_t writeDecimal(uint64_t n, char (&digits)[kDecimalDigits]) {
    size_t at = kDecimalDigits;
    do {
        digits[--at] = char('0' + n % 10);
        n /= 10;
    } while (n);
    return at;
}

size_t engineTextLength(const char* buffer, size_t capacity) {
    const void* nul = memchr(buffer, 0, capacity);
    return nul ? size_t(static_cast<const char*>(nul) - buffer) : capacity;
}

}  // namespace wuna::messages
