// Small helpers for raising Python exceptions with texts the runtime composes.
//
// Every message goes through one fixed 1024-byte buffer: a text that does not fit is cut on a
// UTF-8 character boundary, keeping at most 1020 bytes, and ends with "...". So no message,
// however long the names in it, grows without bound or splits a character.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace pyhelp {

inline constexpr size_t kMessageBuffer = 1024;
inline constexpr size_t kMessageKept = 1020;

// Copies text (length bytes) into buf (kMessageBuffer bytes) with a NUL, cut as above.
void cutText(char* buf, const char* text, uint64_t length);

// Sets cls as the pending exception with the text, cut as above.
void raiseText(PyObject* cls, const char* text, uint64_t length);

}  // namespace pyhelp
