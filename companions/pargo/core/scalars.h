// Reading node text as a value: the int, float and unquote rules that the "int", "float" and
// "unquote" actions use. Plain functions over bytes; a refused text returns false.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pargo::scalars {

// Surrounding bytes 9-13 and spaces are ignored; an optional sign, then decimal digits with
// single '_' between digits; the value must fit in 64 signed bits.
bool readInt(const char* s, size_t len, int64_t* out);

// Surrounding whitespace ignored, no '_' anywhere; a decimal number correctly rounded, or
// inf / infinity / nan in any letter case after an optional sign (nan ignores its sign).
bool readFloat(const char* s, size_t len, double* out);

// Drops the first and last byte and decodes backslash escapes between them into `out`, which
// must hold `len` bytes (the result is never longer). Gives the result's length, or -1 when
// the text is refused (a surrogate code point that is not part of a pair).
int64_t unquote(const char* s, size_t len, char* out);

}  // namespace pargo::scalars
