// Calls of callable values from compiled code: program functions, functions a semantic made,
// and any Python callable, with the program's call stack and the native stack floor.
//
// callOnce is the one call of a value. A program function (tag 9) is checked for its arity
// with the reference mode's texts, counted on the call stack against the language's depth
// limit, refused below the native stack floor, and called natively with missing arguments
// filled with None when its kind allows them. A function a semantic made (tag 15) is checked
// with Python's texts and called natively without a call-stack entry. A Python object is
// first offered to compiled code of it (pyfunc.h), else called under the interpreter lock
// with its arguments converted; outside a plain call a plain int crosses as the language's
// int both ways. A call may end in a pending tail call (the result's tag is TagTail):
// tailResolve runs such calls in a loop, so a chain of them takes no native stack.
//
// A host function that raised fails the run with "<name>: <class>: <text>"; the exception is
// consumed. hostCodeFailed words a failure of a host function's compiled code the same way.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// One call of any callable value with n borrowed arguments (the receiver, when not null,
// first). True with one reference in *out (possibly TagTail); false with the failure
// recorded and *out untouched. Reads and clears the plain-call flag.
[[nodiscard]] bool callOnce(Ctx* ctx, int32_t site, value::Value callee,
                            const value::Value* args, uint64_t n, const value::Value* receiver,
                            value::Value* out);

// While *result is a pending tail call, runs the call in the tail slot. True; or false with
// the failure recorded, the slot empty and *result holding nothing to release.
[[nodiscard]] bool tailResolve(Ctx* ctx, int32_t site, value::Value* result);

// The pending Python exception (consumed) as a failure of the host function callable:
// "<name>: <class>: <text>". Takes the lock. Cannot fail.
void failHostCall(Ctx* ctx, int32_t site, PyObject* callable);

// Rewords the recorded failure of a host function's compiled code as failHostCall words a
// raised one; a kind other than Throw becomes Error. Nothing without a failure. Cannot fail.
void hostCodeFailed(Ctx* ctx, PyObject* callable);
// The same for a callable of that name (UTF-8). Takes the lock. Cannot fail.
void rewordFailure(Ctx* ctx, const char* name, size_t nameLength);

// The Python callable of a function a semantic made (closure_python.cpp): calls its code
// on the run's thread while the run lasts. One count of the block taken. New reference, or
// null with the exception.
PyObject* closureObject(value::Closure* block, const ConversionContext* cx);

// The type name of a value for texts: a Python object's type __name__ (at most 64 bytes, "?"
// when it has none), else the value's own type name. The length written (at most capacity).
// The lock is held for a Python object. Cannot fail.
size_t typeNameOf(value::Value v, char* out, size_t capacity);

// callee(*args) as wn_call_python calls it: the lock claimed at where, the crossing counted
// as "call_python <name>(<first argument's type>)" when the run reports, the n borrowed
// values converted. True with one reference in *out; or false with the failure recorded (a
// null callee: "wuna: no Python callable (a wuna bug)").
[[nodiscard]] bool callPython(Ctx* ctx, int32_t site, const gil::Location* where,
                              PyObject* callee, const value::Value* args, uint64_t n,
                              value::Value* out);

// A Python object's __name__ as UTF-8 into out, cut at max bytes on a character boundary;
// the fallback text when it has none. Python errors cleared; the lock held. The length.
size_t pyName(PyObject* o, const char* attribute, char* out, size_t max, const char* fallback);

}  // namespace wuna::helpers
