// Bytes and code points as both readers of escaped text need them (notation.cpp reading a
// grammar's literals, scalars.cpp unquoting node text): the value of a hexadecimal digit and
// the UTF-8 form of a code point. One copy, so that the two cannot come to disagree.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pargo::utf8 {

// The longest UTF-8 form of a code point.
inline constexpr size_t maxBytes = 4;

// The value of a hexadecimal digit in either case, or -1 for any other byte.
constexpr int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Writes the UTF-8 form of cp (below 0x110000; the callers have refused anything larger, and a
// lone surrogate is written as its 3 bytes) into out, which has room for maxBytes. Gives the
// number of bytes written.
constexpr size_t putUtf8(char* out, uint32_t cp) {
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace pargo::utf8
