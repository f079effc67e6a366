// Python's math functions and the huge-int test for compiled code (see mathfns.h).
#include "wuna/runtime/helpers/mathfns.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstring>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kMathPython{"helpers", "runtime/src/helpers/mathfns.cpp", "wn_math", 0, 0};

inline constexpr double kRadiansToDegrees = 57.29577951308232;
inline constexpr double kDegreesToRadians = 0.017453292519943295;

bool twoArguments(MathCode code) {
    return code == MathCode::copysign || code == MathCode::fmod || code == MathCode::atan2 ||
           code == MathCode::pow;
}

// The double a math function reads of an argument: false for a value only Python converts.
bool asDouble(Value v, double* out) {
    switch (v.tag) {
    case value::TagBool:
    case value::TagInt:
    case value::TagPint: *out = double(int64_t(v.payload)); return true;
    // The conversion of an i128 rounds to nearest, ties to even, as Python's int to float.
    case value::TagBig: *out = double(v.as<value::Big>()->get()); return true;
    case value::TagFloat: *out = value::asDouble(v.payload); return true;
    default: return false;
    }
}

// The sign bit cleared or copied, without the C library.
double magnitudeWithSign(double magnitude, double sign) {
    uint64_t m, s;
    std::memcpy(&m, &magnitude, 8);
    std::memcpy(&s, &sign, 8);
    m = (m & ~(uint64_t(1) << 63)) | (s & (uint64_t(1) << 63));
    double out;
    std::memcpy(&out, &m, 8);
    return out;
}

bool finite(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, 8);
    return ((bits >> 52) & 0x7ff) != 0x7ff;
}

// math.modf as a new tuple of (fraction, integer part); false when memory runs out.
bool modfTuple(double x, Value* out) {
    double whole, fraction;
    if (std::isnan(x)) {
        whole = fraction = x;
    } else if (std::isinf(x)) {
        whole = x;
        fraction = magnitudeWithSign(0.0, x);
    } else {
        whole = std::trunc(x);
        fraction = magnitudeWithSign(x - whole, x);
    }
    value::Tuple* t = value::newTuple(2);
    if (!t) return false;
    t->items()[0] = Value::real(fraction);
    t->items()[1] = Value::real(whole);
    *out = Value::of(value::TagTuple, t);
    return true;
}

// The function of a code from sqrt to copysign (not the tests, not modf), on doubles.
double elementary(MathCode code, double x, double y) {
    switch (code) {
    case MathCode::sqrt: return __builtin_sqrt(x);
    case MathCode::fabs: return magnitudeWithSign(x, 0.0);
    case MathCode::degrees: return x * kRadiansToDegrees;
    case MathCode::radians: return x * kDegreesToRadians;
    case MathCode::copysign: return magnitudeWithSign(x, y);
    default: return __builtin_nan("");  // not reached: the caller passes these codes only
    }
}

}  // namespace

int mathArity(MathCode code) { return twoArguments(code) ? 2 : 1; }

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::helpers::MathCode;
using wuna::value::Value;
namespace helpers = wuna::helpers;
namespace value = wuna::value;

extern "C" {

bool wn_math(void* c, int32_t site, int32_t codeArg, int64_t callable, int64_t count, void* argsArg,
             void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    const auto* args = static_cast<const Value*>(argsArg);
    auto* result = static_cast<Value*>(out);
    auto* fn = reinterpret_cast<PyObject*>(uintptr_t(callable));
    auto python = [&] {
        return helpers::callPython(ctx, site, &helpers::kMathPython, fn, args,
                                         uint64_t(count < 0 ? 0 : count), result);
    };
    if (codeArg < 0 || codeArg >= helpers::kMathCodes) return python();
    auto code = MathCode(codeArg);
    // A call with the wrong number of arguments is Python's to refuse, in its own words.
    if (count != helpers::mathArity(code)) return python();
    double x = 0, y = 0;
    if (!helpers::asDouble(args[0], &x)) return python();
    if (count == 2 && !helpers::asDouble(args[1], &y)) return python();
    switch (code) {
    case MathCode::isnan: *result = Value::boolean(std::isnan(x)); return true;
    case MathCode::isinf: *result = Value::boolean(std::isinf(x)); return true;
    case MathCode::isfinite: *result = Value::boolean(helpers::finite(x)); return true;
    case MathCode::modf:
        if (helpers::modfTuple(x, result)) return true;
        helpers::failOutOfMemory(ctx, site);
        return false;
    default: break;
    }
    // Python gives its own NaN for atan2 of a NaN, whose sign and payload the C library need
    // not share; and pow of an infinity or a NaN follows rules of its own that changed between
    // versions (0.0 ** -inf was an error before 3.11).
    bool nanGiven = std::isnan(x) || (count == 2 && std::isnan(y));
    bool allFinite = helpers::finite(x) && (count == 1 || helpers::finite(y));
    if ((nanGiven && code == MathCode::atan2) || (!allFinite && code == MathCode::pow))
        return python();
    double r;
    if (codeArg < helpers::kFirstLibmCode) {
        r = helpers::elementary(code, x, y);
    } else {
        // Read once: the table is published whole with the flag set last.
        if (!__atomic_load_n(&helpers::libm_ready, __ATOMIC_ACQUIRE)) return python();
        helpers::Libm f = helpers::libmOf(code);
        r = count == 2 ? helpers::binaryMath(f)(x, y) : helpers::unaryMath(f)(x);
    }
    // The C library met a domain or range case: Python decides what it means.
    if ((std::isnan(r) && !nanGiven) || (std::isinf(r) && allFinite)) return python();
    *result = Value::real(r);
    return true;
}

bool wn_huge_int(int64_t tag, int64_t payload) {
    if (uint64_t(tag) == value::TagBig) return true;
    if (uint64_t(tag) != value::TagPy) return false;
    // The type word is read without the lock: it never changes for an int.
    auto* o = reinterpret_cast<PyObject*>(uintptr_t(payload));
    return Py_TYPE(o) == &PyLong_Type;
}

}  // extern "C"
