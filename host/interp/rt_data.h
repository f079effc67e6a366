// The data operations of the reference Runtime: the byte readers (rt.u8 ... rt.i64be),
// rt.parse and the wrapping operations (rt.wrapping_add ...), as many as the runtime's tables
// (helpers::readers, helpers::wrappingOps) list.
//
// They are methods of wuna.Runtime, but none of them needs the run: each is a thin Python
// face over a body shared with compiled code (helpers::pyRead, bridge::rtParse,
// helpers::pyWrapping and helpers::wrap), so they live in a file of their own, whose rows the
// Runtime's method table (interp/rt.cpp) takes in as one block, between `text` and `span`. The
// readers and wrapping operations take exactly two positional arguments ("WrongArgumentCount"
// otherwise); parse takes keywords.
#pragma once
#include <cstddef>

#include "host/support/python.h"
#include "wuna/runtime/helpers/pyread.h"
#include "wuna/runtime/helpers/pywrapping.h"

namespace wuna::host {

// Readers, parse, wrapping operations, in that order.
inline constexpr size_t kRtDataMethods = helpers::kReaderCount + 1 + helpers::kWrappingCount;

// Writes the kRtDataMethods rows of the methods above at `at` (no terminating row) and
// returns the end of what it wrote. Reads constant data only, so it may run while the
// library loads. Never fails.
[[nodiscard]] PyMethodDef* appendRtDataMethods(PyMethodDef* at);

}  // namespace wuna::host
