// The C math library's functions, as the runtime and compiled code call them.
//
// The transcendental functions of Python's math module are computed with the C math library
// that the process has already loaded; nothing is ever loaded for it. helpers::findLibm looks
// the functions up once per process, all or nothing, and publishes them in libm_table with
// libm_ready set last. Readers test libm_ready before taking a pointer; while it is clear,
// the math operations go through Python (or are declined natively). No Python here: the
// standalone runtime has the same table.
#pragma once
#include <cstdint>

namespace wuna::helpers {

// The table's entries, in its fixed order; fmod, atan2 and pow take two arguments.
enum class Libm : uint8_t {
    fmod,
    exp,
    log,
    log2,
    log10,
    sin,
    cos,
    tan,
    asin,
    acos,
    atan,
    sinh,
    cosh,
    tanh,
    asinh,
    acosh,
    atanh,
    expm1,
    log1p,
    atan2,
    pow,
    count
};
inline constexpr int kLibmCount = int(Libm::count);

// The C names of the entries, in table order.
extern const char* const libm_names[kLibmCount];

using UnaryMath = double (*)(double);
using BinaryMath = double (*)(double, double);

// The functions' addresses, valid only once libm_ready is set.
extern void* libm_table[kLibmCount];
extern uint8_t libm_ready;

inline UnaryMath unaryMath(Libm f) { return reinterpret_cast<UnaryMath>(libm_table[int(f)]); }
inline BinaryMath binaryMath(Libm f) { return reinterpret_cast<BinaryMath>(libm_table[int(f)]); }

// Looks the functions up in the already loaded "libm.so.6". Tried once per process: every
// later call returns at once, also when the first attempt found nothing.
void findLibm();

}  // namespace wuna::helpers
