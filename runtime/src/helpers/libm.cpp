// Finding the C math library's functions once per process (see libm.h).
#include "wuna/runtime/helpers/libm.h"

#include <dlfcn.h>

namespace wuna::helpers {

const char* const libm_names[kLibmCount] = {
    "fmod", "exp",  "log",  "log2",  "log10", "sin",   "cos",   "tan",   "asin",  "acos", "atan",
    "sinh", "cosh", "tanh", "asinh", "acosh", "atanh", "expm1", "log1p", "atan2", "pow",
};

void* libm_table[kLibmCount] = {};
uint8_t libm_ready = 0;

namespace {
// Set on the first call, so a failed attempt is never repeated.
uint8_t libm_tried = 0;
}  // namespace

void findLibm() {
    if (libm_tried) return;
    libm_tried = 1;
    // RTLD_NOLOAD: only a library the process already has; the handle is kept for good.
    void* lib = dlopen("libm.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (!lib) return;
    void* found[kLibmCount];
    for (int i = 0; i < kLibmCount; i++) {
        found[i] = dlsym(lib, libm_names[i]);
        if (!found[i]) return;  // all or nothing
    }
    for (int i = 0; i < kLibmCount; i++) libm_table[i] = found[i];
    libm_ready = 1;
}

}  // namespace wuna::helpers
