// Frames, function values, calls of values and the tail-call slot: the helpers compiled code
// uses to keep variables that outlive the native stack, to make values of its functions, to
// call values, and to park a tail call for its caller to run.
//
// A frame is the one counted block that is no value: compiled code passes it as a pointer.
// It holds its parent frame and its slots, each created unset; the last release drops all of
// them. Function values (kind 9 of the program's own functions, kind 15 of functions a
// semantic made) hold the frame they captured. A tail call does not call: the callee parks
// it in the Ctx's tail slot and answers the pending-tail-call tag, and whoever receives that
// tag runs the parked calls in a loop (tailResolve), so a chain of tail calls takes constant
// native stack. The slot holds one reference to each value parked in it.
//
// Calls here run the callee through Python (callPythonValue): the native call of a program's
// function, with its arity messages and the call stack, belongs to the general call
// machinery, which takes over callValue's place once it exists. So a call's result or
// exception is Python's in every case the Python path can give one.
//
// The exported wn_* helpers are declared by the helper table (table.h); this header adds
// what other helpers share.
#pragma once
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// A parked call moved out of the tail slot: a receiver tag of TagTail means there is none.
struct TakenCall {
    value::Value callee;
    value::Value args;
    value::Value receiver;
};
static_assert(sizeof(TakenCall) == 48 && offsetof(TakenCall, args) == 16 &&
              offsetof(TakenCall, receiver) == 32);

// One call of any callable value with n borrowed arguments (and the receiver, when not null,
// before them). plain: ints cross as they are and a Python exception becomes the failure as
// Python words it; otherwise plain ints cross as checked ints, as host calls take them. One
// reference in *out (possibly the pending-tail-call tag) and true, or false with the failure
// recorded.
[[nodiscard]] bool callValue(Ctx* ctx, int32_t site, value::Value callee,
                             const value::Value* args, uint64_t n, const value::Value* receiver,
                             bool plain, value::Value* out);

// While *result is a pending tail call, runs the parked call (its arguments must be a list or
// a tuple) and puts its result in *result. True; or false with the failure recorded, the
// slot empty and *result holding nothing to release.
[[nodiscard]] bool tailResolve(Ctx* ctx, int32_t site, value::Value* result);

}  // namespace wuna::helpers
