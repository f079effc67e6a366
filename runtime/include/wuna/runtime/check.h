// Checks of invariants that the code relies on and that no caller can be told about: a table
// that must never fill, a size that must stay a power of two. WUNA_CHECK(condition) stops the
// process with the condition and its place when it is false, in builds that define
// WUNA_CHECKS (the test builds: the tests run every check); other builds compile it to
// nothing and never evaluate the condition. Release builds define NDEBUG, which is why this is
// not assert. For every layer: no Python, no allocation.
#pragma once
#include <cstdio>
#include <cstdlib>

namespace wuna::check {

// Reports a failed check on stderr and aborts. Never returns.
[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
    fprintf(stderr, "wuna: check failed: %s (%s:%d, a wuna bug)\n", condition, file, line);
    fflush(stderr);
    abort();
}

}  // namespace wuna::check

#ifdef WUNA_CHECKS
#define WUNA_CHECK(condition) \
    ((condition) ? (void)0 : ::wuna::check::fail(#condition, __FILE__, __LINE__))
#else
// Still compiled (so a check cannot rot), never evaluated.
#define WUNA_CHECK(condition) ((void)sizeof(!(condition)))
#endif
