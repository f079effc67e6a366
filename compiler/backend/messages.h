// Messages of the back end: every text the back end raises is put together from pieces in one
// 1024-byte buffer. A text that does not fit whole (1023 bytes and the NUL) is cut on a UTF-8
// character boundary at most 1015 bytes in and ends with "...", so a long engine text or
// symbol name never grows a message without bound or splits a character.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace wuna::messages {

inline constexpr size_t kBuffer = 1024;
inline constexpr size_t kKept = 1015;

// Pieces appended in order; text() gives the finished, cut, NUL-terminated message.
class Message {
public:
    Message& add(const char* text);  // NUL-terminated; null adds nothing
    Message& add(const char* text, size_t length);
    Message& addUnsigned(uint64_t n);  // decimal
    const char* text();
    // Sets cls as the pending Python exception with the finished text (bytes that are not
    // UTF-8 shown as U+FFFD); should even that fail, the failure's exception is pending.
    void raise(PyObject* cls);

private:
    char buf[kBuffer];
    size_t length = 0;        // bytes held (at most kBuffer - 1)
    bool overflowed = false;  // some bytes did not fit
};

// Room for the decimal digits of any uint64_t (18446744073709551615 has 20).
inline constexpr size_t kDecimalDigits = 20;

// Writes n in decimal at the end of digits; returns where the digits start (they run to the
// end of the array). Never fails.
size_t writeDecimal(uint64_t n, char (&digits)[kDecimalDigits]);

// The length of an engine's error text: up to its first NUL, or the whole buffer when it has
// none.
size_t engineTextLength(const char* buffer, size_t capacity);

}  // namespace wuna::messages
