// What the builtin lowering's files share among themselves (the entries other groups call are
// in lower.h): the steps of lowerBuiltin that live in their own files, and the helper call
// every one-argument builtin is emitted with.
//
// Every step returns as lowerBuiltin does: *handled false with nothing emitted and the shapes
// untouched, or handled with the shapes consumed; failure contract as in lower.h.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/codegen/lower.h"

namespace wuna::compile::builtins {

// A math function of the wn_math table called with its own argument count.
[[nodiscard]] Status lowerMathCall(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                                   uint64_t count, bool* handled, Shape* out);

// range() of at most 16 constant ints, as a list made while compiling.
[[nodiscard]] Status lowerConstantRange(Emitter* e, Semantic* s, Shape* args, uint64_t count,
                                        bool* handled, Shape* out);
// zip() or enumerate() where the value is iterated at once: a list made while compiling when
// every argument is known, else the emitted loop; refused anywhere else, and for an argument
// that may be an endless or one-pass iterator.
[[nodiscard]] Status lowerZipOrEnumerate(Emitter* e, Semantic* s, bool zip, Shape* args,
                                         uint64_t count, front::Position at, Shape* out);
// Whether the call at the position is the expression a consumer marked as iterated at once.
bool iteratedAtOnce(const Emitter* e, front::Position at);

// A pinned Python object's constant for helper calls. ok or outOfMemory.
[[nodiscard]] Status pinnedConstant(Emitter* e, PyObject* object, llvmapi::ValueRef* out);

}  // namespace wuna::compile::builtins
