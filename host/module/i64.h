// I64, the checked 64-bit integer: an int (same layout, same value) whose arithmetic raises
// wuna.IntegerOverflow when a result leaves the signed 64-bit range. The reference mode hands
// semantics such ints so that Python arithmetic behaves as compiled code's 64-bit arithmetic.
//
// Its type is named "int" (so messages and type names read as for ints) with __module__
// "wuna". Each of its operations converts exact-I64 operands to plain ints, applies the
// interpreter's own operation and passes the result through bridge::checkedIntResult; all
// else (comparison, hashing, text, truth, the in-place operators) is int's. A power (without a
// modulus) or a left shift whose result is certain to leave the range raises at once, never
// computing a result that could take minutes or all the memory to make.
#pragma once
#include "host/support/python.h"

namespace wuna::host {

extern PyTypeObject* i64Type;

// An I64 of the exact int value (borrowed), which must fit 64 bits: int's own constructor
// applied to the I64 type. New reference, or null with the Python exception. Needs addI64 and
// host::intNew. The runtime's checkedIntResult reaches it through runtime::hostApi.newI64.
[[nodiscard]] PyObject* newI64(PyObject* value);

// Makes the type (with DeprecationWarnings silenced while it is made, the caller's warning
// filters restored after) and adds it to the module as I64. 0, or -1 with a Python exception.
// Needs host::intNew.
[[nodiscard]] int addI64(PyObject* module);

}  // namespace wuna::host
