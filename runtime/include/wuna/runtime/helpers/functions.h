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
// Calls go through the one call of a value (calls.h: callOnce and tailResolve).
//
// The exported wn_* helpers are declared by the helper table (table.h); this header adds
// what other helpers share.
#pragma once
#include <cstdint>

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

}  // namespace wuna::helpers
