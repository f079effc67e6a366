// Small helpers for raising Python exceptions with texts the runtime composes.
//
// Every message goes through one fixed 1024-byte buffer: a text that does not fit is cut on a
// UTF-8 character boundary, keeping at most 1020 bytes, and ends with "...". So no message,
// however long the names in it, grows without bound or splits a character. Texts are passed
// with their lengths and kept whole up to the cut: a NUL inside one (a name given as
// "add\x00") is a character of the message like any other, never its end.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace wuna::pyhelp {

// The minor version (3.<minor>) of the interpreter the runtime serves: the one the module
// found at start-up, else the one the runtime was built for (it is built per interpreter).
// Messages whose wording changed between Python versions choose by it. Cannot fail.
int32_t servedMinor();

inline constexpr size_t kMessageBuffer = 1024;
inline constexpr size_t kMessageKept = 1020;

// Copies text (length bytes) into buf (kMessageBuffer bytes) with a NUL, cut as above. The
// count of bytes written before that NUL (the text may hold NULs of its own).
size_t cutText(char* buf, const char* text, uint64_t length);

// Sets cls as the pending exception with the text, cut as above; malformed UTF-8 in it is
// replaced.
void raiseText(PyObject* cls, const char* text, uint64_t length);

// The str of a recorded message: UTF-8 in which a lone surrogate stands as its three bytes
// (as a failure records the text of a Python str that has them) gives the surrogate back;
// malformed bytes are replaced. New reference, or null with the exception.
PyObject* messageStr(const char* text, uint64_t length);

// A str cut as above: text itself when it fits (a new reference to it), else a new str. Null
// with the exception (a str with lone surrogates keeps them when it fits; cut, they are
// replaced).
PyObject* cutStr(PyObject* text);

}  // namespace wuna::pyhelp
