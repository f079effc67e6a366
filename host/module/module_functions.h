// The module-level functions of wuna: version(), _blocks(), the settings of compiled code
// (configure, which checks every setting before it applies any, and clear_cache, which
// empties the cache directory of compiled code, module/settings.h), the comptime mark the compiler
// front end looks for, and the functions whose work lives in later parts of the system
// (collect, build_native, build_executable), which raise NotImplementedError until that
// work exists.
#pragma once
#include "host/support/python.h"

namespace wuna::host {

// The module's method table, in its fixed order, ending with the null entry.
extern PyMethodDef moduleMethods[];

}  // namespace wuna::host
