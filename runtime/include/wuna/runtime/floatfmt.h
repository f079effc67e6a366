// The text of floats as Python writes it: repr() (shortest round-trip digits with Python's
// choice between positional and exponent form), the fixed-precision types of format specs
// (e, E, f, F, g, G) and float.hex().
//
// Nothing here reads the C locale: digits come from std::to_chars, which is defined to write
// as the "C" locale does whatever locale the process set, so a host application that calls
// setlocale still gets "1.5" and never "1,5". Every writer fills a buffer its caller provides
// and returns the written part; none allocates, none needs Python, any thread may call them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wuna::value {

inline constexpr size_t kFloatReprBuffer = 40;

// repr(x): the text, a view into buf (kFloatReprBuffer bytes). Cannot fail.
std::string_view floatRepr(char* buf, double x);

}  // namespace wuna::value

namespace wuna::floatfmt {

inline constexpr size_t kFormatBuffer = 399;

// x formatted with the type (e, E, f, F, g or G), precision and alternate form (#) of a
// format spec, as Python's format() writes it (inf and nan in the type's case). True with
// *out a view into buf (size bytes); false when the type is none of these, or the precision or
// the text is too large for buf (the caller then asks Python).
bool format(char* buf, size_t size, char type, uint64_t precision, bool alternate, double x,
            std::string_view* out);

}  // namespace wuna::floatfmt

namespace wuna::helpers {

inline constexpr size_t kFloatHexBuffer = 32;

// float.hex(x): the text, a view into buf (kFloatHexBuffer bytes). Cannot fail.
std::string_view floatHex(char* buf, double x);

}  // namespace wuna::helpers
