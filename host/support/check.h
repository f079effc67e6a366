// Checks of invariants the code relies on and no caller can break from Python: a failed check
// is a fault of this module, not a user's error, so it stops the process at once, naming the
// place, rather than run on with a broken state. The checks are compiled in when WUNA_CHECKS is
// defined (the build with the native tests defines it, and the test suite runs that build);
// elsewhere WUNA_CHECK compiles to nothing and its condition is never evaluated, so a condition
// must do nothing of its own.
#pragma once

#ifdef WUNA_CHECKS

#include <cstdio>
#include <cstdlib>

namespace wuna {

// Reports the failed condition with its place on standard error and aborts. Never returns.
[[noreturn]] inline void checkFailed(const char* condition, const char* file, int line) {
    fprintf(stderr, "wuna: check failed at %s:%d: %s\n", file, line, condition);
    abort();
}

}  // namespace wuna

#define WUNA_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::wuna::checkFailed(#condition, __FILE__, __LINE__))

#else

// Compiled but not evaluated: the names in the condition stay checked by the compiler.
#define WUNA_CHECK(condition) static_cast<void>(sizeof(!(condition)))

#endif
