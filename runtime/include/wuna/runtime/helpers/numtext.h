// Numbers from text: int() and float() of a str, and int(text, base), in compiled code.
//
// The common forms are parsed natively with Python's exact syntax: surrounding whitespace,
// a sign, underscores between digits, the 0x/0o/0b prefixes, "inf", "infinity" and "nan".
// Malformed ASCII text for int fails natively with Python's own message, the text quoted as
// Python quotes it (its repr cut to 200 characters). Whatever needs more is handed to the
// Python builtin the call site names (int or float, passed in as an object), so that the
// result or the error is Python's: non-ASCII text, an int beyond 64 bits (int()) or 128 bits
// (int(text, base)), a float text with no native value (Python then accepts it or raises its
// own ValueError), a value or base of another type, and any text longer than Python's
// digit-limit threshold, because past it Python's answer depends on the interpreter's
// int_max_str_digits setting (even "000...01" is refused there).
//
// Floats are converted correctly rounded (nearest, ties to even) by std::from_chars, which
// reads the text the same way under every C locale: a host that calls setlocale for a comma
// decimal separator still gets 1.5 from "1.5". The parsers below do not touch Python,
// allocate nothing and never fail: "no value" is an answer, not a failure.
//
// The exported helpers wn_int_base and wn_int_base_of are declared by the helper table
// (table.h); their failures are recorded on the helper context (first failure wins).
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

typedef struct _object PyObject;

namespace wuna::helpers {

// Python parses longer digit strings only within sys.get_int_max_str_digits(); a text longer
// than this (the least limit Python allows) always goes to Python.
inline constexpr size_t kLongNumberText = 640;

// The decimal int of text as int() reads it (ASCII whitespace around, a sign, underscores
// between digits), when it fits 64 bits and the text is at most kLongNumberText bytes. False:
// no value here (malformed, too large, or too long). Cannot fail.
[[nodiscard]] bool parseInt(const char* text, size_t length, int64_t* out);
// Whether text is a well-formed decimal int literal of any size, as int() reads it. Cannot
// fail.
[[nodiscard]] bool looksLikeInt(const char* text, size_t length);
// The float of text as float() reads it (Python whitespace around, a sign, inf and nan in any
// case, digits with single underscores between digits, a point, an exponent), correctly
// rounded. False: no native value (malformed, non-ASCII digits, over 128 characters of
// number). Cannot fail.
[[nodiscard]] bool pyFloat(const char* text, size_t length, double* out);

// What int(text, base) makes of a text natively.
enum class IntText : uint8_t {
    value = 0,    // *out holds the signed result
    invalid = 1,  // malformed: Python raises "invalid literal for int() with base ..."
    python = 2,   // only Python can answer (non-ASCII, beyond 128 bits, long text, bad base)
};
// int(text, base) of the UTF-8 text for a base of 0 or 2 to 36 (any other base: python).
// Cannot fail.
[[nodiscard]] IntText intOfText(const char* text, size_t length, int32_t base, value::i128* out);

// The message Python gives for a malformed int literal: "invalid literal for int() with base
// <base>: " and the repr of the ASCII text cut to 200 characters. Writes at most
// kIntMessageMax bytes into out; the byte count. Cannot fail.
inline constexpr size_t kIntMessageMax = 256;
size_t invalidIntMessage(char* out, const char* text, size_t length, int32_t base);

// int() and float() of a str block (borrowed), the str cases of wn_builtin: native where the
// text allows, else callable (the builtin the program named) called with the str. One
// reference in *out and true; or false with the failure recorded on ctx.
[[nodiscard]] bool intOfStr(Ctx* ctx, int32_t site, PyObject* callable, value::Str* s,
                            value::Value* out);
[[nodiscard]] bool floatOfStr(Ctx* ctx, int32_t site, PyObject* callable, value::Str* s,
                              value::Value* out);

}  // namespace wuna::helpers
