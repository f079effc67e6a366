// format() and f-strings in compiled code: wn_format formats one replacement field, wn_concat
// joins an f-string's parts, wn_float_hex is float.hex() (all three declared by table.h).
//
// Ints, floats and strs with the common spec options are formatted natively, with exactly
// the text Python's format() gives; everything else, every spec Python would refuse, and
// every spec whose numbers are too large for the native buffers (a width or precision of
// millions) is handed to Python's own format() with the value converted, so the result or
// the error is Python's. The native path never reads the C locale (floatfmt.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

inline constexpr size_t kGroupBuffer = 512;

// digits (ASCII, length bytes) with the grouping character (0: none) every groupSize digits
// from the right, zero-filled on the left up to minWidth characters when minWidth is larger,
// as Python groups with the zero flag. True with *out a view into buf (kGroupBuffer bytes);
// false when the text does not fit. Cannot fail otherwise.
bool grouped(const char* digits, size_t length, char grouping, size_t groupSize, int64_t minWidth,
             char* buf, std::string_view* out);

// The digits of m in base 2, 8, 10 or 16 (upper: A to F), most significant first, written to
// out (kMagnitudeDigits bytes, room for 128 binary digits); the count. Cannot fail.
inline constexpr size_t kMagnitudeDigits = 128;
size_t magnitudeDigits(unsigned __int128 m, unsigned base, bool upper, char* out);

// Whether a str is valid UTF-8: an ill-formed one reads differently once Python replaces its
// bytes, so its text is Python's to lay out. Cannot fail.
bool wellFormed(const value::Str* s);

}  // namespace wuna::helpers
