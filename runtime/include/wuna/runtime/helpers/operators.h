// Binary and unary operators on native values: wn_binary, wn_inplace, wn_unary and
// wn_overflow (declared by the helper table, table.h), and the paths they share.
//
// Results equal the reference mode's Python results. The frequent cases run natively: int
// arithmetic on 64 bits widening to 128 bits, floats with CPython's rules (floor division and
// modulo signs, the power special cases), str, bytes, list and tuple concatenation and
// repetition, and the set algebra. Every case the native code cannot compute exactly is
// handed whole to Python's own operator on the converted operands (pythonBinary), so that the
// value or the exception is Python's; the hand-over is counted on the run's crossings tally.
//
// Int results follow one rule: when a checked int (tag 2, I64) takes part the result is a
// checked int or IntegerOverflow "integer overflow"; otherwise a plain int (tag 18) that
// widens to a big int (tag 13) and beyond 128 bits is computed by Python. Texts that changed
// between Python versions are worded by python_minor (helpers.h).
//
// Operands are borrowed; a stored result gives the caller one reference. On failure nothing
// is stored in *out and every block made on the way is released.
#pragma once
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// The shared binary operator codes.
enum class BinaryOp : uint32_t {
    add,
    sub,
    mul,
    div,
    floordiv,
    mod,
    pow,
    lshift,
    rshift,
    bitor_,
    bitxor,
    bitand_,
    count
};

// The shared unary operator codes.
enum class UnaryOp : uint32_t { negative, positive, not_, invert, count };

// What floatPow did.
struct PowOutcome {
    uint8_t ok;       // a result is stored
    uint8_t handled;  // decided here (ok, or failed with the failure recorded)
};

// x ** y on doubles with CPython's float power rules; not handled: a negative base with a
// non-integral exponent (a complex result) or no C math library.
PowOutcome floatPow(Ctx* ctx, int32_t site, value::Value* out, double x, double y);

// Both operands as 128-bit ints (tags 1, 2, 18, 13). A result the 128 bits cannot hold goes to
// pythonBinary. True with *out, or false with the failure recorded.
[[nodiscard]] bool wideBinary(Ctx* ctx, int32_t site, BinaryOp op, const value::Value* left,
                              const value::Value* right, value::Value* out);

// Python's operator on the converted operands (a checked int crosses as an I64). True with
// *out, or false with the failure recorded.
[[nodiscard]] bool pythonBinary(Ctx* ctx, int32_t site, BinaryOp op, const value::Value* left,
                                const value::Value* right, value::Value* out);

// A run of items of a list or tuple.
struct ItemRun {
    const value::Value* items;
    uint64_t count;
};

// A new list (kind TagList) or tuple (TagTuple) of the runs' items in order, the whole
// repeated n times, each item with a new reference. True with *out, or false with "out of
// memory" recorded.
[[nodiscard]] bool sequenceOf(Ctx* ctx, int32_t site, uint64_t kind, const ItemRun* runs,
                              uint32_t runCount, uint64_t n, value::Value* out);

}  // namespace wuna::helpers
