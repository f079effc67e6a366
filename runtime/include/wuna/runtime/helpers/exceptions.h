// Exceptions as values: the program's own exceptions travel as exception blocks (kind 17),
// raised, caught, matched and raised again without Python.
//
// An exception the program makes (a class of the language called like a function,
// rt.Throw(value, message)) is a value::Exc holding its errors::Kind, its site and four values
// (args, value, message, cause). Raising one records it on the helper context as the run's
// failure, with the text a runtime error reports for it; catching it moves it back out. An
// exception that came from Python stays the Python object (tag 10) and is caught and matched
// as that object. A failure of a helper that was never raised as a value becomes a value only
// when the program catches it.
//
// The exported wn_* helpers are declared by the helper table (table.h); this header adds the
// operations the other helpers share.
#pragma once
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"

typedef struct _object PyObject;
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// Records the raising of an exception value (borrowed; the Ctx takes its own reference).
// Nothing happens when a failure is recorded already. Cannot fail as a whole (short of
// memory, the texts are partial).
void raiseExc(Ctx* ctx, int32_t site, value::Value exc);

// Appends str() of the exception as Python words it. False when memory runs out or a value's
// text only Python could give and it failed to (no Python error is left pending).
bool excStr(Ctx* ctx, value::Exc* e, ByteList* out);

// The error text a native host function's capsule gives for a code (borrowed, NUL-ended), or
// null when it has none; fn is the module's object for the function. Filled by the module at
// start-up. Empty: every native host failure reads "failed".
extern const char* (*nativeErrorText)(PyObject* fn, int32_t code);

}  // namespace wuna::helpers
