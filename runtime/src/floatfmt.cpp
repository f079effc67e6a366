// Float text: repr, the fixed-precision format types and float.hex (see floatfmt.h).
#include "wuna/runtime/floatfmt.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace wuna {

namespace {

// Python's choice of form for repr: positional from 1e-4 up to, not including, 1e16.
inline constexpr int kReprLow = -4;
inline constexpr int kReprHigh = 16;

struct Digits {
    char digits[20];  // a double's shortest form has at most 17
    int count;
    int exponent;  // decimal exponent of the first digit
};

// The shortest round-trip digits of a finite, non-negative x, trailing zeros dropped.
Digits shortest(double x) {
    Digits d{};
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific);
    (void)ec;  // 32 bytes always hold a double's shortest scientific form
    const char* p = text;
    for (; p < end && *p != 'e'; p++)
        if (*p != '.') d.digits[d.count++] = *p;
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
    d.exponent = exponent;
    while (d.count > 1 && d.digits[d.count - 1] == '0') d.count--;
    return d;
}

// Appends |e| with at least two digits and its sign, as Python's exponent is written.
char* writeExponent(char* out, int e) {
    *out++ = e < 0 ? '-' : '+';
    unsigned m = unsigned(e < 0 ? -e : e);
    if (m >= 100) *out++ = char('0' + m / 100);
    *out++ = char('0' + m / 10 % 10);
    *out++ = char('0' + m % 10);
    return out;
}

std::string_view span(char* start, char* end) { return {start, size_t(end - start)}; }

// Upper-cases the ASCII letters of a text in place (the E, F and G types).
void upper(char* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] >= 'a' && p[i] <= 'z') p[i] = char(p[i] - 'a' + 'A');
}

// Drops the zeros that end the fraction of a text in e or f form, and the point when no digit
// is left after it (the g types without #).
size_t stripZeros(char* p, size_t n) {
    char* point = static_cast<char*>(std::memchr(p, '.', n));
    if (!point) return n;
    char* e = static_cast<char*>(std::memchr(p, 'e', n));
    char* mantissaEnd = e ? e : p + n;
    char* keep = mantissaEnd;
    while (keep > point + 1 && keep[-1] == '0') keep--;
    if (keep == point + 1) keep = point;
    size_t tail = size_t(p + n - mantissaEnd);
    std::memmove(keep, mantissaEnd, tail);
    return size_t(keep - p) + tail;
}

// Puts a point before the exponent, or at the end, when the text has none (the # flag).
bool ensurePoint(char* p, size_t* n, size_t size) {
    if (std::memchr(p, '.', *n)) return true;
    if (*n + 1 > size) return false;
    char* e = static_cast<char*>(std::memchr(p, 'e', *n));
    size_t at = e ? size_t(e - p) : *n;
    std::memmove(p + at + 1, p + at, *n - at);
    p[at] = '.';
    ++*n;
    return true;
}

bool fixedPrecision(char* buf, size_t size, double x, std::chars_format form, int precision,
                    size_t* n) {
    auto [end, ec] = std::to_chars(buf, buf + size, x, form, precision);
    if (ec != std::errc()) return false;
    *n = size_t(end - buf);
    return true;
}

}  // namespace

namespace value {

std::string_view floatRepr(char* buf, double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    char* out = buf;
    if (std::signbit(x)) *out++ = '-';
    Digits d = x == 0 ? Digits{{'0'}, 1, 0} : shortest(std::fabs(x));
    int e = d.exponent;
    if (e < kReprLow || e >= kReprHigh) {
        *out++ = d.digits[0];
        if (d.count > 1) {
            *out++ = '.';
            std::memcpy(out, d.digits + 1, size_t(d.count - 1));
            out += d.count - 1;
        }
        *out++ = 'e';
        return span(buf, writeExponent(out, e));
    }
    if (e < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -e - 1; i++) *out++ = '0';
        std::memcpy(out, d.digits, size_t(d.count));
        return span(buf, out + d.count);
    }
    if (d.count > e + 1) {
        std::memcpy(out, d.digits, size_t(e + 1));
        out += e + 1;
        *out++ = '.';
        std::memcpy(out, d.digits + e + 1, size_t(d.count - e - 1));
        return span(buf, out + d.count - e - 1);
    }
    std::memcpy(out, d.digits, size_t(d.count));
    out += d.count;
    for (int i = d.count; i < e + 1; i++) *out++ = '0';
    *out++ = '.';
    *out++ = '0';
    return span(buf, out);
}

}  // namespace value

namespace floatfmt {

bool format(char* buf, size_t size, char type, uint64_t precision, bool alternate, double x,
            std::string_view* out) {
    bool isUpper = type == 'E' || type == 'F' || type == 'G';
    char lower = isUpper ? char(type - 'A' + 'a') : type;
    if (lower != 'e' && lower != 'f' && lower != 'g') return false;
    // to_chars takes an int precision, and no text of a larger one fits a buffer anyway.
    if (precision >= size) return false;
    int p = int(precision);
    size_t n = 0;
    if (std::isnan(x) || std::isinf(x)) {
        const char* word = std::isnan(x) ? "nan" : x < 0 ? "-inf" : "inf";
        n = std::strlen(word);
        if (n > size) return false;
        std::memcpy(buf, word, n);
    } else if (lower == 'e' || lower == 'f') {
        auto form = lower == 'e' ? std::chars_format::scientific : std::chars_format::fixed;
        if (!fixedPrecision(buf, size, x, form, p, &n)) return false;
        if (alternate && !ensurePoint(buf, &n, size)) return false;
    } else {
        // The g rule: the exponent X the e form of precision P-1 shows picks the form;
        // -4 <= X < P is positional with P-1-X digits after the point, else the e form.
        int P = p == 0 ? 1 : p;
        if (!fixedPrecision(buf, size, x, std::chars_format::scientific, P - 1, &n)) return false;
        const char* e = static_cast<const char*>(std::memchr(buf, 'e', n));
        int X = 0;
        std::from_chars(e + 1 + (e[1] == '+'), buf + n, X);
        if (X >= -4 && X < P &&
            !fixedPrecision(buf, size, x, std::chars_format::fixed, P - 1 - X, &n))
            return false;
        if (!alternate) n = stripZeros(buf, n);
        if (alternate && !ensurePoint(buf, &n, size)) return false;
    }
    if (isUpper) upper(buf, n);
    *out = {buf, n};
    return true;
}

}  // namespace floatfmt

namespace helpers {

std::string_view floatHex(char* buf, double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    if (x == 0) return std::signbit(x) ? "-0x0.0p+0" : "0x0.0p+0";
    uint64_t bits;
    std::memcpy(&bits, &x, 8);
    int biased = int(bits >> 52 & 0x7FF);
    uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    char* out = buf;
    if (bits >> 63) *out++ = '-';
    *out++ = '0';
    *out++ = 'x';
    *out++ = biased ? '1' : '0';
    *out++ = '.';
    static constexpr char hex[] = "0123456789abcdef";
    for (int shift = 48; shift >= 0; shift -= 4) *out++ = hex[fraction >> shift & 15];
    *out++ = 'p';
    int e = biased ? biased - 1023 : -1022;
    *out++ = e < 0 ? '-' : '+';
    char digits[8];
    int k = 0;
    unsigned m = unsigned(e < 0 ? -e : e);
    do {
        digits[k++] = char('0' + m % 10);
        m /= 10;
    } while (m);
    while (k) *out++ = digits[--k];
    return {buf, size_t(out - buf)};
}

}  // namespace helpers

}  // namespace wuna
