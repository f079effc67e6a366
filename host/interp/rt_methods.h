// The method table of wuna.Runtime, put together from three parts: the run's own operations
// before the data operations (eval ... text), the data operations of interp/rt_data.h (readers,
// parse, wrapping), and the run's operations after them (span ... node_at).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "host/interp/rt_data.h"

namespace wuna::host {

inline constexpr size_t kRuntimeMethodsBefore = 12;
inline constexpr size_t kRuntimeMethodsAfter = 5;

extern const PyMethodDef runtimeMethodsBefore[kRuntimeMethodsBefore];
extern const PyMethodDef runtimeMethodsAfter[kRuntimeMethodsAfter];

// The whole table, null-terminated; filled by fillRuntimeMethods.
extern PyMethodDef
    runtimeMethods[kRuntimeMethodsBefore + kRuntimeDataMethods + kRuntimeMethodsAfter + 1];

// Copies the parts into runtimeMethods; called when the module starts, before the Runtime
// type is made.
void fillRuntimeMethods();

}  // namespace wuna::host
