// Python's math functions in compiled code (wn_math) and the question whether an int is
// beyond 64 bits (wn_huge_int); both are declared by the helper table (table.h).
//
// The code generator names the math function with a MathCode and passes the Python function
// object itself. The helper computes natively on doubles: the elementary operations itself,
// the transcendental ones with the C math library looked up at start-up (libm.h). It never
// judges an error case: a result that is NaN from arguments without one, or infinite from
// finite arguments, is the C library meeting a domain or range case, and the Python function
// is then called with the same arguments, so its result or its exception is the outcome.
// Arguments that are not numbers the helper knows, and every transcendental function while
// the library table is not ready, go to the Python function the same way.
#pragma once
#include <cstdint>

#include "wuna/runtime/helpers/libm.h"

namespace wuna::helpers {

// The math function a call stands for; each names the Python function of the same name.
enum class MathCode : int32_t {
    sqrt = 0,
    fabs = 1,
    degrees = 2,
    radians = 3,
    isnan = 4,
    isinf = 5,
    isfinite = 6,
    copysign = 7,
    modf = 8,
    fmod = 9,  // from here on: the C library's function of the same name, in table order
    exp = 10,
    log = 11,
    log2 = 12,
    log10 = 13,
    sin = 14,
    cos = 15,
    tan = 16,
    asin = 17,
    acos = 18,
    atan = 19,
    sinh = 20,
    cosh = 21,
    tanh = 22,
    asinh = 23,
    acosh = 24,
    atanh = 25,
    expm1 = 26,
    log1p = 27,
    atan2 = 28,
    pow = 29,
    count = 30
};
inline constexpr int32_t kMathCodes = int32_t(MathCode::count);
inline constexpr int32_t kFirstLibmCode = int32_t(MathCode::fmod);

// The C library entry of a code from fmod on: the two tables share their order.
inline Libm libmOf(MathCode code) { return Libm(int32_t(code) - kFirstLibmCode); }
static_assert(int32_t(MathCode::pow) - kFirstLibmCode == int32_t(Libm::pow) &&
              int32_t(MathCode::atan2) - kFirstLibmCode == int32_t(Libm::atan2) &&
              int32_t(MathCode::log1p) - kFirstLibmCode == int32_t(Libm::log1p) &&
              kMathCodes - kFirstLibmCode == kLibmCount);

// How many arguments the Python function of a code takes (1 or 2). Cannot fail.
int mathArity(MathCode code);

}  // namespace wuna::helpers
