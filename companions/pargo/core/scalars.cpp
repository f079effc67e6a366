// The int, float and unquote rules. They must give exactly what the runtime computes for the
// same node text, so each follows its rule byte by byte rather than leaning on a library
// parser with its own ideas (Python's int() and float() accept more, strtod alone accepts hex).
#include "core/scalars.h"

#include <locale.h>
#include <cstdlib>
#include <cstring>

#include "core/utf8.h"

namespace pargo::scalars {
namespace {

using utf8::hexValue;
using utf8::putUtf8;

bool isSpace(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

void trim(const char*& s, size_t& len) {
    while (len && isSpace((unsigned char)s[0])) {
        s++;
        len--;
    }
    while (len && isSpace((unsigned char)s[len - 1])) len--;
}

bool equalsNoCase(const char* s, size_t len, const char* word) {
    size_t w = std::strlen(word);
    if (len != w) return false;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
        if (c != (unsigned char)word[i]) return false;
    }
    return true;
}

// The decimal form: sign? digits ('.' digits)? (e sign? digits)?, at least one mantissa digit.
bool decimalForm(const char* s, size_t len) {
    size_t i = 0, digits = 0;
    if (i < len && (s[i] == '+' || s[i] == '-')) i++;
    while (i < len && isDigit(s[i])) i++, digits++;
    if (i < len && s[i] == '.') {
        i++;
        while (i < len && isDigit(s[i])) i++, digits++;
    }
    if (digits == 0) return false;
    if (i < len && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < len && (s[i] == '+' || s[i] == '-')) i++;
        size_t exp = 0;
        while (i < len && isDigit(s[i])) i++, exp++;
        if (exp == 0) return false;
    }
    return i == len;
}

locale_t cLocale() {
    static locale_t c = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    return c;
}

// A hexadecimal number of exactly `len` bytes: optional '+', digits with single '_' between.
bool hexNumber(const char* s, size_t len, uint32_t* out) {
    size_t i = 0;
    if (i < len && s[i] == '+') i++;
    uint32_t v = 0;
    bool any = false, lastDigit = false;
    for (; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c == '_') {
            if (!lastDigit) return false;
            lastDigit = false;
            continue;
        }
        int h = hexValue(c);
        if (h < 0) return false;
        v = v * 16 + uint32_t(h);
        any = lastDigit = true;
    }
    if (!any || !lastDigit) return false;
    *out = v;
    return true;
}

}  // namespace

bool readInt(const char* s, size_t len, int64_t* out) {
    trim(s, len);
    if (len == 0) return false;
    size_t i = 0;
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == len) return false;
    uint64_t v = 0;
    const uint64_t limit = negative ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
    bool lastDigit = false;
    for (; i < len; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c == '_') {
            if (!lastDigit) return false;
            lastDigit = false;
            continue;
        }
        if (!isDigit(c)) return false;
        uint64_t d = c - '0';
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
        lastDigit = true;
    }
    if (!lastDigit) return false;
    *out = negative ? int64_t(0 - v) : int64_t(v);
    return true;
}

bool readFloat(const char* s, size_t len, double* out) {
    trim(s, len);
    if (len == 0 || std::memchr(s, '_', len)) return false;
    bool plain = true;
    for (size_t i = 0; i < len && plain; i++) {
        unsigned char c = (unsigned char)s[i];
        plain = isDigit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
    }
    if (plain) {
        if (!decimalForm(s, len)) return false;
        char small[64];
        char* buf = len < sizeof small ? small : static_cast<char*>(std::malloc(len + 1));
        if (!buf) return false;
        std::memcpy(buf, s, len);
        buf[len] = 0;
        locale_t c = cLocale();
        char* end = nullptr;
        *out = c ? strtod_l(buf, &end, c) : std::strtod(buf, &end);
        bool ok = end == buf + len;
        if (buf != small) std::free(buf);
        return ok;
    }
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        s++;
        len--;
    }
    if (equalsNoCase(s, len, "inf") || equalsNoCase(s, len, "infinity")) {
        *out = negative ? -__builtin_inf() : __builtin_inf();
        return true;
    }
    if (equalsNoCase(s, len, "nan")) {
        *out = __builtin_nan("");
        return true;
    }
    return false;
}

int64_t unquote(const char* s, size_t len, char* out) {
    if (len < 3) return 0;
    const char* p = s + 1;
    size_t n = len - 2;  // the bytes between the first and the last
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        unsigned char c = (unsigned char)p[i];
        if (c != '\\' || i + 1 >= n) {  // a backslash just before the closing byte stays
            out[o++] = char(c);
            i++;
            continue;
        }
        unsigned char e = (unsigned char)p[i + 1];
        i += 2;
        switch (e) {
        case '0': out[o++] = 0; continue;
        case 'b': out[o++] = 8; continue;
        case 'f': out[o++] = 12; continue;
        case 'n': out[o++] = 10; continue;
        case 'r': out[o++] = 13; continue;
        case 't': out[o++] = 9; continue;
        default: break;
        }
        if (e != 'u' && e != 'x') {
            out[o++] = char(e);
            continue;
        }
        size_t digits = e == 'u' ? 4 : 2;
        uint32_t cp;
        if (i + digits > n || !hexNumber(p + i, digits, &cp)) {
            out[o++] = char(e);  // not an escape after all: the letter, then ordinary bytes
            continue;
        }
        i += digits;
        if (e == 'u' && cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low;
            if (i + 6 <= n && p[i] == '\\' && p[i + 1] == 'u' && hexNumber(p + i + 2, 4, &low) &&
                low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) return -1;
        o += putUtf8(out + o, cp);
    }
    return int64_t(o);
}

}  // namespace pargo::scalars
