// Numbers from text: the native parsers of int() and float() and the helpers int(text, base)
// compiles to. See numtext.h.
#include "wuna/runtime/helpers/numtext.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <charconv>
#include <cstring>
#include <system_error>

#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::i128;
using value::Value;
using u128 = unsigned __int128;

namespace {

constexpr gil::Location kIntBase{"helpers", "runtime/src/helpers/numtext.cpp", "wn_int_base", 0,
                                 0};
constexpr gil::Location kIntOfStr{"helpers", "runtime/src/helpers/numtext.cpp", "intOfStr", 0, 0};
constexpr gil::Location kFloatOfStr{"helpers", "runtime/src/helpers/numtext.cpp", "floatOfStr",
                                    0, 0};

constexpr char kNonStringText[] = "int() can't convert non-string with explicit base";

// ---- Characters ---------------------------------------------------------------------------

// int()'s whitespace: the ASCII bytes Python's Py_ISSPACE accepts.
constexpr bool asciiSpace(uint8_t c) { return c == ' ' || (c >= 9 && c <= 13); }

constexpr bool decimalDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// A digit's value in bases up to 36; 36 for anything that is no digit in any base.
struct DigitTable {
    uint8_t value[256];
    constexpr DigitTable() : value() {
        for (int c = 0; c < 256; c++) value[c] = 36;
        for (int c = '0'; c <= '9'; c++) value[c] = uint8_t(c - '0');
        for (int c = 'a'; c <= 'z'; c++) value[c] = uint8_t(c - 'a' + 10);
        for (int c = 'A'; c <= 'Z'; c++) value[c] = uint8_t(c - 'A' + 10);
    }
};
constexpr DigitTable kDigits;

// float()'s whitespace. Python copies the ASCII characters of a str as they are and then
// strips only the ASCII whitespace among them, so the separators 28 to 31 are not stripped;
// of the rest, the code points str.isspace() accepts.
constexpr uint32_t kWideSpaces[] = {0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
                                    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
                                    0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

bool floatSpace(uint32_t cp) {
    if (cp < 0x80) return asciiSpace(uint8_t(cp));
    for (uint32_t s : kWideSpaces)
        if (s == cp) return true;
    return false;
}

// The code point of the UTF-8 sequence at p (not past end): its byte count, or 0 when the
// bytes there are no complete, well-formed sequence.
size_t decodeAt(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    uint8_t lead = *p;
    size_t n = lead < 0x80          ? 1
               : (lead >> 5) == 6  ? 2
               : (lead >> 4) == 14 ? 3
               : (lead >> 3) == 30 ? 4
                                   : 0;
    if (n == 0 || size_t(end - p) < n) return 0;
    uint32_t c = n == 1 ? lead : lead & (0x7F >> n);
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = c << 6 | (p[i] & 0x3F);
    }
    // An overlong form is no code point: a space spelt in two bytes is not a space.
    static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[n]) return 0;
    *cp = c;
    return n;
}

// Strips float()'s whitespace from both ends of [*begin, *end). The last code point is found
// by stepping back over at most three continuation bytes, never before *begin.
void stripFloatSpace(const uint8_t** begin, const uint8_t** end) {
    const uint8_t* p = *begin;
    const uint8_t* e = *end;
    uint32_t cp = 0;
    while (p < e) {
        size_t n = decodeAt(p, e, &cp);
        if (!n || !floatSpace(cp)) break;
        p += n;
    }
    while (p < e) {
        const uint8_t* start = e - 1;
        while (start > p && e - start < 4 && (*start & 0xC0) == 0x80) start--;
        size_t n = decodeAt(start, e, &cp);
        if (!n || start + n != e || !floatSpace(cp)) break;
        e = start;
    }
    *begin = p;
    *end = e;
}

bool allAscii(const uint8_t* p, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (p[i] >= 0x80) return false;
    return true;
}

// ---- Decimal ints (int() without a base) ---------------------------------------------------

struct Decimal {
    bool wellFormed;
    bool fits;  // the value fits 64 bits (when well-formed)
    int64_t value;
};

Decimal readDecimal(const char* text, size_t length) {
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    const uint8_t* end = p + length;
    while (p < end && asciiSpace(*p)) p++;
    while (end > p && asciiSpace(end[-1])) end--;
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) p++;
    Decimal d{false, true, 0};
    if (p == end || !decimalDigit(*p)) return d;
    const u128 limit = u128(1) << 63;
    u128 magnitude = 0;
    for (; p < end; p++) {
        if (*p == '_') {
            // Only between two digits: the previous byte is a digit (the loop starts on one).
            if (end - p < 2 || !decimalDigit(p[1])) return d;
            continue;
        }
        if (!decimalDigit(*p)) return d;
        if (d.fits) {
            magnitude = magnitude * 10 + (*p - '0');
            if (magnitude > limit) d.fits = false;
        }
    }
    d.wellFormed = true;
    if (d.fits && !negative && magnitude == limit) d.fits = false;
    if (d.fits) d.value = negative ? int64_t(u128(0) - magnitude) : int64_t(magnitude);
    return d;
}

// ---- int(text, base) -----------------------------------------------------------------------

int32_t prefixBase(uint8_t c) {
    switch (c) {
    case 'x':
    case 'X': return 16;
    case 'o':
    case 'O': return 8;
    case 'b':
    case 'B': return 2;
    default: return 0;
    }
}

// ---- Floats --------------------------------------------------------------------------------

bool equalsFolded(const uint8_t* p, const uint8_t* end, const char* word) {
    size_t n = std::strlen(word);
    if (size_t(end - p) != n) return false;
    for (size_t i = 0; i < n; i++)
        if ((p[i] | 0x20) != uint8_t(word[i])) return false;
    return true;
}

// The number text without underscores, as std::from_chars reads it.
struct FloatText {
    static constexpr size_t kCapacity = 128;
    char bytes[kCapacity];
    size_t length = 0;
    size_t mantissaEnd = 0;  // where the exponent's 'e' is (or the end)
    size_t point = 0;        // where the point is (mantissaEnd when there is none)
    int64_t exponent = 0;    // saturated: only its side of zero matters past the range
    bool overflowed = false;

    void put(uint8_t c) {
        if (length == kCapacity) {
            overflowed = true;
            return;
        }
        bytes[length++] = char(c);
    }
};

// Copies a run of digits with single underscores between digits; how many digits it had.
size_t digitRun(const uint8_t** at, const uint8_t* end, FloatText* out) {
    const uint8_t* p = *at;
    size_t digits = 0;
    while (p < end) {
        if (decimalDigit(*p)) {
            out->put(*p++);
            digits++;
        } else if (*p == '_' && digits && end - p >= 2 && decimalDigit(p[1])) {
            p++;
        } else {
            break;
        }
    }
    *at = p;
    return digits;
}

// The saturated value of the exponent's digits in text[from, to).
int64_t exponentOf(const char* text, size_t from, size_t to) {
    bool negative = from < to && text[from] == '-';
    if (from < to && (text[from] == '-' || text[from] == '+')) from++;
    int64_t e = 0;
    for (size_t i = from; i < to; i++) {
        e = e * 10 + (text[i] - '0');
        if (e > 100000000) e = 100000000;  // far past every double's decimal range
    }
    return negative ? -e : e;
}

// The result of a number text from_chars found out of range: infinity when its leading
// digit stands above the point (with the exponent applied), else zero.
double outOfRange(const FloatText& t) {
    size_t first = 0;
    while (first < t.mantissaEnd && (t.bytes[first] == '0' || t.bytes[first] == '.')) first++;
    // The power of ten just above the value: the leading digit's place counted from the point.
    int64_t place = first < t.point ? int64_t(t.point - first)
                                    : int64_t(t.point) - int64_t(first) + 1;
    return place + t.exponent > 0 ? __builtin_inf() : 0.0;
}

// ---- Messages ------------------------------------------------------------------------------

// Python's repr of an ASCII text, cut to max characters as "%.200R" cuts it. The bytes
// written. Texts longer than kLongNumberText go to Python before they get here; one that
// did would be quoted from its first kLongNumberText bytes.
size_t asciiRepr(char* out, size_t max, const uint8_t* text, size_t length) {
    char buf[4 * kLongNumberText + 2];
    if (length > kLongNumberText) length = kLongNumberText;
    std::string_view quoted;
    if (!pyRepr(reinterpret_cast<const char*>(text), length, buf, sizeof buf, &quoted))
        quoted = std::string_view(buf, 0);  // cannot happen: four bytes a character at most
    size_t n = quoted.size() < max ? quoted.size() : max;
    std::memcpy(out, quoted.data(), n);
    return n;
}

constexpr size_t kReprKept = 200;

void failInvalid(Ctx* ctx, int32_t site, const char* text, size_t length, int32_t base) {
    char message[kIntMessageMax];
    size_t n = invalidIntMessage(message, text, length, base);
    failKind(ctx, site, errors::Kind::ValueError, message, n);
}

bool storeInt(Ctx* ctx, int32_t site, i128 v, Value* out) {
    if (value::intValue(v, out)) return true;
    failOutOfMemory(ctx, site);
    return false;
}

bool validBase(int64_t base) { return base == 0 || (base >= 2 && base <= 36); }

bool isStr(Value v) { return v.tag == value::TagStr; }

// Python's int(value, base), for what only Python can answer.
bool pythonIntBase(Ctx* ctx, int32_t site, PyObject* callable, Value v, Value base, Value* out) {
    Value args[2] = {v, base};
    return callPythonObject(ctx, site, &kIntBase, callable, args, 2, out);
}

}  // namespace

bool parseInt(const char* text, size_t length, int64_t* out) {
    if (length > kLongNumberText) return false;
    Decimal d = readDecimal(text, length);
    if (!d.wellFormed || !d.fits) return false;
    *out = d.value;
    return true;
}

bool looksLikeInt(const char* text, size_t length) { return readDecimal(text, length).wellFormed; }

IntText intOfText(const char* text, size_t length, int32_t base, i128* out) {
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    const uint8_t* end = p + length;
    if (!validBase(base) || length > kLongNumberText || !allAscii(p, length))
        return IntText::python;
    while (p < end && asciiSpace(*p)) p++;
    while (end > p && asciiSpace(end[-1])) end--;
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) p++;
    // After a prefix one underscore may come before the first digit ("0x_1f").
    bool afterDigit = false;
    if (end - p >= 2 && p[0] == '0') {
        int32_t prefixed = prefixBase(p[1]);
        if (prefixed && (base == 0 || base == prefixed)) {
            base = prefixed;
            p += 2;
            afterDigit = true;
        }
    }
    // Base 0 without a prefix is decimal, where a leading zero allows no other digit: "010"
    // is no longer octal, but "000" is still zero.
    bool zerosOnly = false;
    if (base == 0) {
        base = 10;
        zerosOnly = p < end && *p == '0';
    }
    u128 magnitude = 0;
    bool overflow = false;
    bool nonzero = false;
    size_t digits = 0;
    const u128 top = ~u128(0);
    for (; p < end; p++) {
        if (*p == '_') {
            if (!afterDigit) return IntText::invalid;
            afterDigit = false;
            continue;
        }
        uint8_t d = kDigits.value[*p];
        if (d >= base) return IntText::invalid;
        if (!overflow && magnitude > (top - d) / u128(base))
            overflow = true;
        else if (!overflow)
            magnitude = magnitude * u128(base) + d;
        nonzero = nonzero || d != 0;
        digits++;
        afterDigit = true;
    }
    if (!digits || !afterDigit || (zerosOnly && nonzero)) return IntText::invalid;
    const u128 half = u128(1) << 127;
    if (overflow || (negative ? magnitude > half : magnitude >= half)) return IntText::python;
    *out = negative ? i128(u128(0) - magnitude) : i128(magnitude);
    return IntText::value;
}

bool pyFloat(const char* text, size_t length, double* out) {
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    const uint8_t* end = p + length;
    stripFloatSpace(&p, &end);
    if (p == end) return false;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    if (equalsFolded(p, end, "inf") || equalsFolded(p, end, "infinity")) {
        *out = negative ? -__builtin_inf() : __builtin_inf();
        return true;
    }
    if (equalsFolded(p, end, "nan")) {
        *out = negative ? -__builtin_nan("") : __builtin_nan("");
        return true;
    }
    FloatText t;
    size_t digits = digitRun(&p, end, &t);
    t.point = t.length;
    if (p < end && *p == '.') {
        t.put(*p++);
        digits += digitRun(&p, end, &t);
    }
    if (!digits) return false;
    t.mantissaEnd = t.length;
    if (p < end && (*p == 'e' || *p == 'E')) {
        t.put(*p++);
        size_t exponentStart = t.length;
        if (p < end && (*p == '+' || *p == '-')) t.put(*p++);
        if (!digitRun(&p, end, &t)) return false;
        if (!t.overflowed) t.exponent = exponentOf(t.bytes, exponentStart, t.length);
    }
    if (p != end || t.overflowed) return false;
    double d = 0;
    auto [last, error] =
        std::from_chars(t.bytes, t.bytes + t.length, d, std::chars_format::general);
    if (error == std::errc::result_out_of_range)
        d = outOfRange(t);
    else if (error != std::errc() || last != t.bytes + t.length)
        return false;
    *out = negative ? -d : d;
    return true;
}

size_t invalidIntMessage(char* out, const char* text, size_t length, int32_t base) {
    static constexpr char head[] = "invalid literal for int() with base ";
    size_t n = sizeof head - 1;
    std::memcpy(out, head, n);
    n += value::printWide(out + n, base);
    out[n++] = ':';
    out[n++] = ' ';
    // An i32 takes at most 11 characters in decimal.
    static_assert(sizeof head - 1 + 11 + 2 + kReprKept <= kIntMessageMax);
    return n + asciiRepr(out + n, kReprKept, reinterpret_cast<const uint8_t*>(text), length);
}

bool intOfStr(Ctx* ctx, int32_t site, PyObject* callable, value::Str* s, Value* out) {
    const char* text = reinterpret_cast<const char*>(s->bytes());
    size_t length = size_t(s->length);
    int64_t small = 0;
    if (length <= kLongNumberText && allAscii(s->bytes(), length)) {
        if (parseInt(text, length, &small)) {
            *out = Value::pint(small);
            return true;
        }
        if (!looksLikeInt(text, length)) {
            failInvalid(ctx, site, text, length, 10);
            return false;
        }
    }
    Value arg = Value::of(value::TagStr, s);
    return callPythonObject(ctx, site, &kIntOfStr, callable, &arg, 1, out);
}

bool floatOfStr(Ctx* ctx, int32_t site, PyObject* callable, value::Str* s, Value* out) {
    double d = 0;
    if (pyFloat(reinterpret_cast<const char*>(s->bytes()), size_t(s->length), &d)) {
        *out = Value::real(d);
        return true;
    }
    Value arg = Value::of(value::TagStr, s);
    return callPythonObject(ctx, site, &kFloatOfStr, callable, &arg, 1, out);
}

extern "C" {

bool wn_int_base(void* c, int32_t site, int64_t callable, int64_t tag, int64_t payload,
                 int32_t base, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    auto* fn = reinterpret_cast<PyObject*>(uintptr_t(callable));
    Value v{uint64_t(tag), uint64_t(payload)};
    Value baseValue = Value::pint(base);
    // Above dict: records, Python objects, big ints, bytes and the rest. Python reads bytes
    // and str or bytearray objects and refuses the others in its own words.
    if (v.tag > value::TagDict) return pythonIntBase(ctx, site, fn, v, baseValue, result);
    if (!isStr(v)) {
        failAs<errors::Kind::TypeError, kNonStringText>(ctx, site);
        return false;
    }
    auto* s = v.as<value::Str>();
    const char* text = reinterpret_cast<const char*>(s->bytes());
    i128 parsed = 0;
    switch (intOfText(text, size_t(s->length), base, &parsed)) {
    case IntText::value: return storeInt(ctx, site, parsed, result);
    case IntText::invalid:
        failInvalid(ctx, site, text, size_t(s->length), base);
        return false;
    case IntText::python: break;
    }
    return pythonIntBase(ctx, site, fn, v, baseValue, result);
}

bool wn_int_base_of(void* c, int32_t site, int64_t callable, int64_t tag, int64_t payload,
                    int64_t baseTag, int64_t basePayload, void* out) {
    Value base{uint64_t(baseTag), uint64_t(basePayload)};
    bool intBase =
        base.tag == value::TagBool || base.tag == value::TagInt || base.tag == value::TagPint;
    if (intBase && validBase(int64_t(base.payload)))
        return wn_int_base(c, site, callable, tag, payload, int32_t(base.payload), out);
    // Python names what is wrong with the base (its range, its type) in its own words.
    return pythonIntBase(static_cast<Ctx*>(c), site,
                         reinterpret_cast<PyObject*>(uintptr_t(callable)),
                         Value{uint64_t(tag), uint64_t(payload)}, base, static_cast<Value*>(out));
}

}  // extern "C"

}  // namespace wuna::helpers
