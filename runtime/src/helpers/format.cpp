// Format specs, f-string joins and float.hex for compiled code (see format.h).
#include "wuna/runtime/helpers/format.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/floatfmt.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kFormatPython{"runtime", "runtime/src/helpers/format.cpp", "formatPython",
                                      0, 0};
constexpr gil::Location kFloatHexPython{"runtime", "runtime/src/helpers/format.cpp",
                                        "wn_float_hex", 0, 0};
constexpr gil::Location kConcatPython{"runtime", "runtime/src/helpers/format.cpp", "wn_concat",
                                      0, 0};

// Widths and precisions the native path takes; a larger one (and one with more digits than
// a u64 holds) goes to Python, which formats it or raises its own ValueError.
inline constexpr uint64_t kNativeWidth = uint64_t(1) << 20;

enum class Conversion : int32_t { none = 0, ascii = 'a', repr = 'r', str = 's' };

struct Spec {
    const uint8_t* fill;
    size_t fillLength;
    bool fillGiven;
    char align;  // 0 when none was given
    char sign;   // 0 when none was given
    bool alternate;
    bool zero;
    uint64_t width;
    char grouping;  // 0, ',' or '_'
    bool hasPrecision;
    uint64_t precision;
    char type;  // 0 when none was given
};

bool isAlign(uint8_t c) { return c == '<' || c == '>' || c == '=' || c == '^'; }

// Decimal digits at text[*i]; false when a number is too large for the native path.
bool number(const uint8_t* text, size_t length, size_t* i, uint64_t* out) {
    uint64_t n = 0;
    while (*i < length && text[*i] >= '0' && text[*i] <= '9') {
        n = n * 10 + (text[*i] - '0');
        if (n > kNativeWidth) return false;
        ++*i;
    }
    *out = n;
    return true;
}

// The spec as the native path reads it; false sends the value to Python.
bool parse(const uint8_t* text, size_t length, Spec* s) {
    static const uint8_t space = ' ';
    *s = Spec{&space, 1, false, 0, 0, false, false, 0, 0, false, 0, 0};
    size_t i = 0;
    size_t first = 0;
    if (length && unicode::decode(text, length, &first) == unicode::kReplacement &&
        !(first == 3 && text[0] == 0xEF))
        return false;  // an ill-formed fill: Python reads the spec with replacements
    if (length > first && isAlign(text[first])) {
        s->fill = text;
        s->fillLength = first;
        s->fillGiven = true;
        s->align = char(text[first]);
        i = first + 1;
    } else if (length && isAlign(text[0])) {
        s->align = char(text[0]);
        i = 1;
    }
    if (i < length && (text[i] == '+' || text[i] == '-' || text[i] == ' ')) s->sign = char(text[i++]);
    if (i < length && text[i] == '#') {
        s->alternate = true;
        i++;
    }
    if (i < length && text[i] == '0') {
        s->zero = true;
        if (!s->fillGiven) {
            static const uint8_t zero = '0';
            s->fill = &zero;
            s->fillLength = 1;
        }
        i++;
    }
    if (!number(text, length, &i, &s->width)) return false;
    if (i < length && (text[i] == ',' || text[i] == '_')) s->grouping = char(text[i++]);
    if (i < length && text[i] == '.') {
        size_t start = ++i;
        if (!number(text, length, &i, &s->precision) || i == start) return false;
        s->hasPrecision = true;
    }
    if (i < length) s->type = char(text[i++]);
    return i == length && uint8_t(s->type) < 0x80;
}

bool fillIsZero(const Spec& s) { return s.fillLength == 1 && s.fill[0] == '0'; }

// The padded text of sign, prefix and body as a new str; null when memory ran out.
value::Str* padded(const Spec& s, char align, std::string_view sign, std::string_view prefix,
                   std::string_view body) {
    const auto* bodyBytes = reinterpret_cast<const uint8_t*>(body.data());
    uint64_t length = sign.size() + prefix.size() + value::countCodePoints(bodyBytes, body.size());
    uint64_t pad = s.width > length ? s.width - length : 0;
    uint64_t before = align == '>' ? pad : align == '^' ? pad / 2 : 0;
    uint64_t between = align == '=' ? pad : 0;
    uint64_t after = pad - before - between;
    ByteList out{};
    bool done = true;
    auto fill = [&](uint64_t n) {
        for (uint64_t k = 0; k < n && done; k++) done = appendBytes(&out, s.fill, s.fillLength);
    };
    fill(before);
    done = done && appendBytes(&out, sign.data(), sign.size()) &&
           appendBytes(&out, prefix.data(), prefix.size());
    fill(between);
    done = done && appendBytes(&out, body.data(), body.size());
    fill(after);
    value::Str* result = done ? value::newStr(out.data, out.length) : nullptr;
    std::free(out.data);
    return result;
}

std::string_view signText(const Spec& s, bool negative) {
    if (negative) return "-";
    if (s.sign == '+') return "+";
    if (s.sign == ' ') return " ";
    return "";
}

// The number's default align: = after the zero flag, else right.
char numberAlign(const Spec& s) { return s.align ? s.align : s.zero ? '=' : '>'; }

// The zero-padding width of the grouped digits: the rest of the width after the other parts
// when the fill is "0" and the align is =, else none.
int64_t groupMinimum(const Spec& s, char align, size_t others) {
    if (align != '=' || !fillIsZero(s)) return 0;
    return int64_t(s.width) - int64_t(others);
}

enum class Outcome { done, python };

// The types formatted as floats, an int converted first.
bool floatType(char type) { return type && std::strchr("eEfFgG%", type); }

Outcome formatFloat(const Spec& s, double x, value::Str** out);

Outcome formatInt(const Spec& s, value::i128 v, value::Str** out) {
    int base = 0;
    bool upperCase = false;
    const char* prefix = "";
    switch (s.type) {
    case 0:
    case 'd': base = 10; break;
    case 'x': base = 16, prefix = "0x"; break;
    case 'X': base = 16, prefix = "0X", upperCase = true; break;
    case 'o': base = 8, prefix = "0o"; break;
    case 'b': base = 2, prefix = "0b"; break;
    default: return floatType(s.type) ? formatFloat(s, double(v), out) : Outcome::python;
    }
    if (s.hasPrecision) return Outcome::python;
    if (base != 10 && s.grouping == ',') return Outcome::python;
    if (base == 10 || !s.alternate) prefix = "";
    bool negative = v < 0;
    unsigned __int128 m = negative ? (unsigned __int128)0 - (unsigned __int128)v
                                   : (unsigned __int128)v;
    char digits[kMagnitudeDigits];
    size_t n = magnitudeDigits(m, unsigned(base), upperCase, digits);
    char align = numberAlign(s);
    std::string_view sign = signText(s, negative);
    int64_t minimum = groupMinimum(s, align, std::strlen(prefix) + sign.size());
    char buf[kGroupBuffer];
    std::string_view body;
    if (!grouped(digits, n, s.grouping, base == 10 ? 3 : 4, minimum, buf, &body))
        return Outcome::python;
    *out = padded(s, align, sign, prefix, body);
    return *out ? Outcome::done : Outcome::python;
}

Outcome formatFloat(const Spec& s, double x, value::Str** out) {
    bool negative = std::signbit(x) && !std::isnan(x);
    double magnitude = std::fabs(x);
    char text[floatfmt::kFormatBuffer + 1];
    std::string_view body;
    if (s.type == 0) {
        if (s.hasPrecision) return Outcome::python;
        body = value::floatRepr(text, magnitude);
        size_t e = body.find('e');
        if (s.alternate && body.find('.') == std::string_view::npos &&
            e != std::string_view::npos) {
            // body points into text (finite values), which has room for one more byte.
            char* p = text;
            std::memmove(p + e + 1, p + e, body.size() - e);
            p[e] = '.';
            body = {p, body.size() + 1};
        }
    } else {
        bool percent = s.type == '%';
        char type = percent ? 'f' : s.type;
        uint64_t precision = s.hasPrecision ? s.precision : 6;
        if (!floatfmt::format(text, floatfmt::kFormatBuffer - 1, type, precision, s.alternate,
                              percent ? magnitude * 100 : magnitude, &body))
            return Outcome::python;
        if (percent) {
            text[body.size()] = '%';
            body = {text, body.size() + 1};
        }
    }
    char align = numberAlign(s);
    std::string_view sign = signText(s, negative);
    char buf[kGroupBuffer];
    char joined[kGroupBuffer];
    if (s.grouping) {
        size_t whole = body.find_first_of(".eE%");
        if (whole == std::string_view::npos) whole = body.size();
        for (size_t k = 0; k < whole; k++)
            if (body[k] < '0' || body[k] > '9') return Outcome::python;
        std::string_view rest = body.substr(whole);
        int64_t minimum = groupMinimum(s, align, sign.size() + rest.size());
        std::string_view digits;
        if (!grouped(body.data(), whole, s.grouping, 3, minimum, buf, &digits) ||
            digits.size() + rest.size() > kGroupBuffer)
            return Outcome::python;
        std::memcpy(joined, digits.data(), digits.size());
        std::memcpy(joined + digits.size(), rest.data(), rest.size());
        body = {joined, digits.size() + rest.size()};
    }
    *out = padded(s, align, sign, "", body);
    return *out ? Outcome::done : Outcome::python;
}


Outcome formatStr(const Spec& s, value::Str* v, value::Str** out) {
    if ((s.type && s.type != 's') || s.alternate || s.align == '=' || s.sign || s.grouping ||
        !wellFormed(v))
        return Outcome::python;
    std::string_view body = v->text();
    if (s.hasPrecision && s.precision < v->chars) body = body.substr(0, value::charOffset(v, s.precision));
    *out = padded(s, s.align ? s.align : '<', "", "", body);
    return *out ? Outcome::done : Outcome::python;
}

// The native text of a value with a spec, when there is one.
Outcome formatNative(Value v, const value::Str* specStr, value::Str** out) {
    Spec s;
    if (!parse(specStr->bytes(), size_t(specStr->length), &s)) return Outcome::python;
    switch (v.tag) {
    case value::TagInt:
    case value::TagPint: return formatInt(s, int64_t(v.payload), out);
    case value::TagBig: return formatInt(s, v.as<value::Big>()->get(), out);
    case value::TagFloat:
        return s.type == 0 || floatType(s.type) ? formatFloat(s, value::asDouble(v.payload), out)
                                                : Outcome::python;
    case value::TagStr: return formatStr(s, v.as<value::Str>(), out);
    default: return Outcome::python;
    }
}

// A new str of a Python result in *out; the lock is held. False with the exception.
bool strResult(PyObject* result, Value* out) {
    if (!result) return false;
    int converted = convert::convert(result, true, out);
    Py_DECREF(result);
    return converted == 0;
}

// Python's format() of the value after the conversion, as the fallback of every case the
// native path leaves. The lock is kept, as every helper that reaches Python keeps it.
bool formatPython(Ctx* ctx, int32_t site, Value v, Conversion conversion, const value::Str* spec,
                  Value* out) {
    gil::Record* r = gil::current();
    gil::slow(r, &kFormatPython, v.tag, nullptr);
    r->depth++;
    PyObject* o = convert::toPython(v, &ctx->conversion);
    PyObject* converted = !o                                ? nullptr
                          : conversion == Conversion::repr  ? PyObject_Repr(o)
                          : conversion == Conversion::ascii ? PyObject_ASCII(o)
                          : conversion == Conversion::str   ? PyObject_Str(o)
                                                            : Py_NewRef(o);
    Py_XDECREF(o);
    PyObject* specObject =
        !converted ? nullptr
        : spec     ? PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(spec->bytes()),
                                          Py_ssize_t(spec->length), "replace")
                   : PyUnicode_FromStringAndSize("", 0);
    PyObject* result = specObject ? PyObject_Format(converted, specObject) : nullptr;
    Py_XDECREF(specObject);
    Py_XDECREF(converted);
    bool done = strResult(result, out);
    if (!done) bridge::failFromPython(ctx, site);
    r->depth--;
    return done;
}

}  // namespace

size_t magnitudeDigits(unsigned __int128 m, unsigned base, bool upper, char* out) {
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    size_t n = 0;
    do {
        out[n++] = alphabet[unsigned(m % base)];
        m /= base;
    } while (m);
    std::reverse(out, out + n);
    return n;
}

bool wellFormed(const value::Str* s) {
    if (s->chars != s->length) return true;
    for (uint64_t i = 0; i < s->length; i++)
        if (s->bytes()[i] >= 0x80) return false;
    return true;
}

bool grouped(const char* digits, size_t length, char grouping, size_t groupSize, int64_t minWidth,
             char* buf, std::string_view* out) {
    if (!grouping) {
        if (length > kGroupBuffer) return false;
        std::memcpy(buf, digits, length);
        *out = {buf, length};
        return true;
    }
    size_t at = kGroupBuffer;
    size_t left = length;
    int64_t minimum = minWidth;
    for (bool firstGroup = true;; firstGroup = false) {
        if (!firstGroup) {
            if (left == 0 && minimum <= 0) break;
            if (at == 0) return false;
            buf[--at] = grouping;
            minimum--;
        }
        int64_t wanted = std::max<int64_t>({int64_t(left), minimum, 1});
        size_t l = std::min<size_t>(groupSize, size_t(wanted));
        if (l > at) return false;
        size_t taken = std::min(l, left);
        at -= l;
        std::memset(buf + at, '0', l - taken);
        std::memcpy(buf + at + (l - taken), digits + left - taken, taken);
        left -= taken;
        minimum -= int64_t(l);
    }
    size_t n = kGroupBuffer - at;
    std::memmove(buf, buf + at, n);
    *out = {buf, n};
    return true;
}

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;
namespace helpers = wuna::helpers;
namespace value = wuna::value;
namespace gil = wuna::gil;
namespace convert = wuna::convert;

extern "C" {

bool wn_format(void* c, int32_t site, int64_t tag, int64_t payload, int32_t conversion, void* spec,
               void* out) {
    Ctx* ctx = static_cast<Ctx*>(c);
    Value v{uint64_t(tag), uint64_t(payload)};
    Value* result = static_cast<Value*>(out);
    auto* specStr = static_cast<const value::Str*>(spec);
    bool specEmpty = !specStr || specStr->length == 0;
    auto conv = helpers::Conversion(conversion);
    bool plainConversion = conv == helpers::Conversion::none || conv == helpers::Conversion::str;
    bool isInt = v.tag == value::TagInt || v.tag == value::TagPint || v.tag == value::TagBig;
    if (specEmpty && plainConversion && v.tag == value::TagStr) {
        value::incref(v);
        *result = v;
        return true;
    }
    bool decimal = specStr && specStr->length == 1 && specStr->bytes()[0] == 'd';
    bool native = specEmpty && (plainConversion || conv == helpers::Conversion::repr);
    if ((isInt && ((specEmpty && plainConversion) || (conv == helpers::Conversion::none && decimal))) ||
        (native && !isInt)) {
        value::Str* s = nullptr;
        if (helpers::plainText(v, &s)) {
            if (!s) {
                helpers::failOutOfMemory(ctx, site);
                return false;
            }
            *result = Value::of(value::TagStr, s);
            return true;
        }
    }
    if (!specEmpty && conv == helpers::Conversion::none) {
        value::Str* s = nullptr;
        if (helpers::formatNative(v, specStr, &s) == helpers::Outcome::done) {
            *result = Value::of(value::TagStr, s);
            return true;
        }
    }
    return helpers::formatPython(ctx, site, v, conv, specStr, result);
}

bool wn_concat(void* c, int32_t site, void* partsArg, int64_t count, void* out) {
    Ctx* ctx = static_cast<Ctx*>(c);
    const Value* parts = static_cast<const Value*>(partsArg);
    Value* result = static_cast<Value*>(out);
    uint64_t total = 0;
    bool allStr = true;
    for (int64_t i = 0; i < count; i++) {
        if (parts[i].tag != value::TagStr) {
            allStr = false;
            break;
        }
        total += parts[i].as<value::Str>()->length;
    }
    if (!allStr) {
        // A part Python formatted into a str with no UTF-8 form (lone surrogates) stays a
        // Python object; Python joins such parts.
        gil::Record* r = gil::current();
        gil::slow(r, &helpers::kConcatPython, 0, nullptr);
        r->depth++;
        PyObject* list = PyList_New(Py_ssize_t(count));
        for (int64_t i = 0; list && i < count; i++) {
            PyObject* item = convert::toPython(parts[i], &ctx->conversion);
            if (!item) {
                Py_CLEAR(list);
                break;
            }
            PyList_SET_ITEM(list, Py_ssize_t(i), item);
        }
        PyObject* empty = list ? PyUnicode_FromStringAndSize("", 0) : nullptr;
        PyObject* joined = empty ? PyUnicode_Join(empty, list) : nullptr;
        Py_XDECREF(empty);
        Py_XDECREF(list);
        bool done = helpers::strResult(joined, result);
        if (!done) wuna::bridge::failFromPython(ctx, site);
        r->depth--;
        return done;
    }
    auto* buffer = static_cast<uint8_t*>(std::malloc(total ? total : 1));
    value::Str* s = nullptr;
    if (buffer) {
        uint64_t at = 0;
        for (int64_t i = 0; i < count; i++) {
            const value::Str* part = parts[i].as<value::Str>();
            if (part->length) std::memcpy(buffer + at, part->bytes(), part->length);
            at += part->length;
        }
        s = value::newStr(buffer, total);
        std::free(buffer);
    }
    if (!s) {
        helpers::failOutOfMemory(ctx, site);
        return false;
    }
    *result = Value::of(value::TagStr, s);
    return true;
}

bool wn_float_hex(void* c, int32_t site, int64_t callable, int64_t tag, int64_t payload,
                  void* out) {
    Ctx* ctx = static_cast<Ctx*>(c);
    Value v{uint64_t(tag), uint64_t(payload)};
    Value* result = static_cast<Value*>(out);
    if (v.tag == value::TagFloat) {
        char buf[helpers::kFloatHexBuffer];
        std::string_view text = helpers::floatHex(buf, value::asDouble(v.payload));
        value::Str* s = value::newStr(text.data(), text.size());
        if (!s) {
            helpers::failOutOfMemory(ctx, site);
            return false;
        }
        *result = Value::of(value::TagStr, s);
        return true;
    }
    // Anything else is float.hex's to answer (its TypeError for a non-float).
    gil::Record* r = gil::current();
    PyObject* fn = nullptr;
    gil::slow(r, &helpers::kFloatHexPython, v.tag, nullptr);
    r->depth++;
    fn = helpers::moduleObject(ctx, callable);
    if (!fn && !PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError, "wuna: float.hex wasn't found (a wuna bug)");
    PyObject* arg = fn ? convert::toPython(v, &ctx->conversion) : nullptr;
    PyObject* called = arg ? PyObject_CallOneArg(fn, arg) : nullptr;
    Py_XDECREF(arg);
    bool done = helpers::strResult(called, result);
    if (!done) wuna::bridge::failFromPython(ctx, site);
    r->depth--;
    return done;
}

}  // extern "C"
