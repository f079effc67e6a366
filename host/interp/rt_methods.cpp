// The method table of wuna.Runtime (see interp/rt_methods.h).
//
// The three parts are tables filled while the library loads (their entries hold function
// pointers converted to PyCFunction, which the compiler may initialise at load time). The
// order of that initialisation between files is not to be relied on, so the parts are copied
// into the whole table when the module starts, before the type is made from it.
#include "host/interp/rt_methods.h"

#include <algorithm>

namespace wuna::host {

PyMethodDef runtimeMethods[kRuntimeMethodsBefore + kRuntimeDataMethods + kRuntimeMethodsAfter + 1] =
    {};

void fillRuntimeMethods() {
    PyMethodDef* at = std::copy(runtimeMethodsBefore, runtimeMethodsBefore + kRuntimeMethodsBefore,
                                runtimeMethods);
    at = std::copy(runtimeDataMethods, runtimeDataMethods + kRuntimeDataMethods, at);
    at = std::copy(runtimeMethodsAfter, runtimeMethodsAfter + kRuntimeMethodsAfter, at);
    *at = {nullptr, nullptr, 0, nullptr};
}

}  // namespace wuna::host
