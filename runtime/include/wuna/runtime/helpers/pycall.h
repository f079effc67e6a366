// Calling a Python object from a helper with native values: the path a helper takes when only
// Python can give the answer (a builtin called in a native path's place, so that its result
// or its exception is exactly Python's).
//
// The interpreter lock is claimed through the thread's GIL record at the caller's location
// (with report mode on, a run's first crossing is noted there) and kept, as every helper keeps
// it until the run ends. The arguments cross as they are (no tag change) and so does the
// result; a Python exception becomes the run's failure through bridge::failFromPython.
#pragma once
#include <cstdint>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// callee(*args) with the n borrowed values converted; one reference in *out and true, or
// false with the failure recorded on ctx (a null callee reads "wuna: no Python callable
// (a wuna bug)").
[[nodiscard]] bool callPythonObject(Ctx* ctx, int32_t site, const gil::Location* where,
                                    PyObject* callee, const value::Value* args, uint64_t n,
                                    value::Value* out);

}  // namespace wuna::helpers
