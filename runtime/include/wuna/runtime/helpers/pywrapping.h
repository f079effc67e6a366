// The wrapping operations of rt (rt.wrapping_add ... rt.wrapping_ushr): 64-bit two's
// complement arithmetic on ints, the way a language with machine integers computes.
//
// An operation is named by its number, an index into `wrappingOps`. Callers check each
// operand with pyWrapping (the one check every caller shares: the reference Runtime, the rt
// of semantics compiled code runs as Python, and compiled code's wrapping helper), then
// compute with `wrap`, which is arithmetic only and computes in unsigned 64 bits so that no
// result is undefined.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace wuna::helpers {

enum WrappingOp : uint32_t { WrapAdd, WrapSub, WrapMul, WrapShl, WrapShr, WrapUshr };

struct WrappingInfo {
    const char* op;  // the method is "wrapping_" + op
    bool shift;      // the second operand is a shift count
};

// In operation-number order.
inline constexpr WrappingInfo wrappingOps[] = {
    {"add", false}, {"sub", false}, {"mul", false}, {"shl", true}, {"shr", true}, {"ushr", true},
};
inline constexpr uint32_t kWrappingCount = sizeof wrappingOps / sizeof wrappingOps[0];

// The operation on two 64-bit ints, modulo 2^64; shift counts use their low six bits.
constexpr int64_t wrap(uint32_t op, int64_t a, int64_t b) {
    uint64_t ua = uint64_t(a), ub = uint64_t(b);
    uint32_t n = uint32_t(ub & 63);
    switch (op) {
    case WrapAdd: return int64_t(ua + ub);
    case WrapSub: return int64_t(ua - ub);
    case WrapMul: return int64_t(ua * ub);
    case WrapShl: return int64_t(ua << n);
    case WrapShr: return a >> n;  // arithmetic: the sign is shifted in
    default: return int64_t(ua >> n);
    }
}

struct Operand {
    int64_t value;
    bool ok;
};

// The operand of operation op as a 64-bit int: an int or a subclass of int (I64 included)
// but not a bool, within signed 64 bits. Otherwise TypeError "rt.wrapping_<op>() takes ints
// of 64 bits" (any exception of the conversion is replaced) and ok is false.
Operand pyWrapping(uint32_t op, PyObject* x);

}  // namespace wuna::helpers
