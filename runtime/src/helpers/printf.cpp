// Printf-style str % args (see printf.h).
#include "wuna/runtime/helpers/printf.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/floatfmt.h"
#include "wuna/runtime/helpers/format.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::i128;
using value::Value;

namespace {

// Widths and precisions taken natively; a larger one goes to Python, which pads it, runs out
// of memory or refuses it in its own words (a "*" width of 2**63 is its OverflowError, and the
// magnitude of -2**63 has no int64 at all).
inline constexpr uint64_t kNativeWidth = uint64_t(1) << 20;
// Room for one converted number: digits with their precision zeros, or a float's text.
inline constexpr size_t kNumberBuffer = 512;
// Floats of at least this magnitude are beyond a 128-bit int; their %d digits are the float's
// own integral digits.
inline constexpr double kWideFloat = 1.7e38;

// The arguments: the tuple's items or the one right operand, and the next one to use.
struct Args {
    const Value* items;
    uint64_t count;
    uint64_t next;
};

const Value* nextArg(Args* a) { return a->next < a->count ? &a->items[a->next++] : nullptr; }

struct Directive {
    bool left;  // "-"
    bool plus;  // "+"
    bool space;  // " "
    bool alternate;  // "#"
    bool zero;  // "0"
    uint64_t width;
    bool hasPrecision;
    uint64_t precision;
    char conversion;
};

// One flag character into the directive; false when c is not a flag.
bool takeFlag(uint8_t c, Directive* d) {
    switch (c) {
    case '-': d->left = true; return true;
    case '+': d->plus = true; return true;
    case ' ': d->space = true; return true;
    case '#': d->alternate = true; return true;
    case '0': d->zero = true; return true;
    default: return false;
    }
}

// Decimal digits at f[*i]; false when the number exceeds kNativeWidth.
bool decimal(const uint8_t* f, size_t n, size_t* i, uint64_t* out) {
    uint64_t v = 0;
    for (; *i < n && f[*i] >= '0' && f[*i] <= '9'; ++*i) {
        v = v * 10 + uint64_t(f[*i] - '0');
        if (v > kNativeWidth) return false;
    }
    *out = v;
    return true;
}

// The int-like argument a "*" takes; false declines.
bool starArg(Args* args, int64_t* out) {
    const Value* v = nextArg(args);
    if (!v || !value::smallIntTag(v->tag)) return false;
    *out = int64_t(v->payload);
    return true;
}

// The directive after its "%" at f[*i], up to and including its conversion letter, taking
// the "*" arguments. Python reads the flags, then either "*" or digits for the width, then
// "." with either "*" or digits, then at most one of h, l, L: any other order is its error
// ("unsupported format character"), so it is declined here. False declines.
bool parseDirective(const uint8_t* f, size_t n, size_t* i, Args* args, Directive* d) {
    *d = Directive{};
    while (*i < n && takeFlag(f[*i], d)) ++*i;
    if (*i < n && f[*i] == '*') {
        ++*i;
        int64_t w = 0;
        if (!starArg(args, &w)) return false;
        if (w < -int64_t(kNativeWidth) || w > int64_t(kNativeWidth)) return false;
        if (w < 0) d->left = true;
        d->width = uint64_t(w < 0 ? -w : w);
    } else if (!decimal(f, n, i, &d->width)) {
        return false;
    }
    if (*i < n && f[*i] == '.') {
        ++*i;
        d->hasPrecision = true;
        if (*i < n && f[*i] == '*') {
            ++*i;
            int64_t p = 0;
            if (!starArg(args, &p) || p < 0) return false;
            d->precision = uint64_t(p);
        } else if (!decimal(f, n, i, &d->precision)) {
            return false;
        }
    }
    if (*i < n && (f[*i] == 'h' || f[*i] == 'l' || f[*i] == 'L')) ++*i;
    if (*i >= n) return false;  // Python: "incomplete format"
    d->conversion = char(f[(*i)++]);
    return true;
}

// One converted field before padding: a sign and prefix, and the body with its length in
// code points.
struct Field {
    char prefix[3];
    size_t prefixLength;
    std::string_view body;
    uint64_t bodyChars;
    bool numeric;  // zero padding applies
};

void setSign(const Directive& d, bool negative, Field* field) {
    char sign = negative ? '-' : d.plus ? '+' : d.space ? ' ' : 0;
    if (sign) field->prefix[field->prefixLength++] = sign;
}

enum class Step : uint8_t { ok, declined, outOfMemory };

// e E f F g G: an int-like or float argument; buf holds kNumberBuffer bytes.
Step floatField(const Directive& d, const Value& v, char* buf, Field* field) {
    double x = 0;
    if (value::smallIntTag(v.tag)) x = double(int64_t(v.payload));
    else if (v.tag == value::TagFloat) x = value::asDouble(v.payload);
    else return Step::declined;
    std::string_view text;
    if (!floatfmt::format(buf, kNumberBuffer, d.conversion, d.hasPrecision ? d.precision : 6,
                          d.alternate, std::fabs(x), &text))
        return Step::declined;
    setSign(d, std::signbit(x) && !std::isnan(x), field);
    field->body = text;
    field->bodyChars = text.size();
    field->numeric = true;
    return Step::ok;
}

// d, i and u print decimal digits and take floats; x, X and o take ints only.
bool decimalConversion(char c) { return c == 'd' || c == 'i' || c == 'u'; }

// The magnitude's digits of d i u x X o into digits (kNumberBuffer bytes), with the sign;
// false declines.
bool integerDigits(const Directive& d, const Value& v, char* digits, std::string_view* out,
                   bool* negative) {
    bool decimalOnly = decimalConversion(d.conversion);
    i128 w = 0;
    if (value::smallIntTag(v.tag)) {
        w = int64_t(v.payload);
    } else if (v.tag == value::TagBig) {
        w = v.as<value::Big>()->get();
    } else if (v.tag == value::TagFloat && decimalOnly) {
        // Python takes int() of the float: truncated toward zero, exact however large.
        double x = value::asDouble(v.payload);
        if (!std::isfinite(x)) return false;
        if (std::fabs(x) >= kWideFloat) {
            *negative = x < 0;
            return floatfmt::format(digits, kNumberBuffer, 'f', 0, false, std::fabs(x), out);
        }
        w = i128(x);
    } else {
        return false;
    }
    *negative = w < 0;
    unsigned __int128 m = *negative ? (unsigned __int128)0 - (unsigned __int128)w
                                    : (unsigned __int128)w;
    unsigned base = decimalOnly ? 10 : d.conversion == 'o' ? 8 : 16;
    *out = {digits, magnitudeDigits(m, base, d.conversion == 'X', digits)};
    return true;
}

// d i u x X o; buf holds kNumberBuffer bytes.
Step intField(const Directive& d, const Value& v, char* buf, Field* field) {
    char digits[kNumberBuffer];
    std::string_view text;
    bool negative = false;
    if (!integerDigits(d, v, digits, &text, &negative)) return Step::declined;
    uint64_t zeros = d.hasPrecision && d.precision > text.size() ? d.precision - text.size() : 0;
    if (zeros + text.size() > kNumberBuffer - 1) return Step::declined;
    std::memset(buf, '0', size_t(zeros));
    std::memcpy(buf + zeros, text.data(), text.size());
    setSign(d, negative, field);
    if (d.alternate && !decimalConversion(d.conversion)) {
        field->prefix[field->prefixLength++] = '0';
        field->prefix[field->prefixLength++] = d.conversion;
    }
    field->body = {buf, size_t(zeros) + text.size()};
    field->bodyChars = field->body.size();
    field->numeric = true;
    return Step::ok;
}

// c: a str of one code point, or an int-like code point that is not a surrogate.
Step charField(const Value& v, char* buf, Field* field) {
    if (v.tag == value::TagStr) {
        auto* s = v.as<value::Str>();
        if (s->chars != 1 || !wellFormed(s)) return Step::declined;
        field->body = s->text();
    } else if (value::smallIntTag(v.tag)) {
        int64_t cp = int64_t(v.payload);
        if (cp < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return Step::declined;
        uint8_t bytes[4];
        size_t length = unicode::encode(uint32_t(cp), bytes);
        std::memcpy(buf, bytes, length);
        field->body = {buf, length};
    } else {
        return Step::declined;
    }
    field->bodyChars = 1;
    return Step::ok;
}

// The byte length of the first `chars` code points of UTF-8 text.
size_t prefixBytes(std::string_view text, uint64_t chars) {
    size_t i = 0;
    for (uint64_t k = 0; i < text.size(); i++) {
        if ((uint8_t(text[i]) & 0xC0) == 0x80) continue;
        if (k++ == chars) break;
    }
    return i;
}

bool pureAscii(const value::Str* s) {
    for (uint64_t i = 0; i < s->length; i++)
        if (s->bytes()[i] >= 0x80) return false;
    return true;
}

// s r: the text of None, a bool, an int, a float, or a str (its repr only when pure ASCII,
// where no character's printability is the interpreter's to decide). A repr is written to
// scratch, which the caller frees.
Step textField(const Directive& d, const Value& v, char* buf, ByteList* scratch, Field* field) {
    std::string_view text;
    uint64_t chars = 0;
    switch (v.tag) {
    case value::TagNone: text = "None"; break;
    case value::TagBool: text = v.payload ? "True" : "False"; break;
    case value::TagFloat: text = value::floatRepr(buf, value::asDouble(v.payload)); break;
    case value::TagBig: text = {buf, value::printWide(buf, v.as<value::Big>()->get())}; break;
    case value::TagStr: {
        auto* s = v.as<value::Str>();
        if (!wellFormed(s)) return Step::declined;
        if (d.conversion == 's') {
            text = s->text();
            chars = s->chars;
            break;
        }
        if (!pureAscii(s)) return Step::declined;
        Status st = strRepr(s->bytes(), size_t(s->length), scratch);
        if (st == Status::outOfMemory) return Step::outOfMemory;
        if (st != Status::ok) return Step::declined;
        text = {reinterpret_cast<const char*>(scratch->data), size_t(scratch->length)};
        break;
    }
    default:
        if (!value::smallIntTag(v.tag)) return Step::declined;
        text = {buf, value::printWide(buf, int64_t(v.payload))};
    }
    if (!chars) chars = text.size();  // every text but a str's is ASCII
    if (d.hasPrecision && d.precision < chars) {
        text = text.substr(0, prefixBytes(text, d.precision));
        chars = d.precision;
    }
    field->body = text;
    field->bodyChars = chars;
    return Step::ok;
}

// Appends n copies of one byte. False when memory ran out.
bool appendRepeated(ByteList* out, char c, uint64_t n) {
    char chunk[64];
    std::memset(chunk, c, sizeof chunk);
    for (; n; n -= n < sizeof chunk ? n : sizeof chunk)
        if (!appendBytes(out, chunk, n < sizeof chunk ? n : sizeof chunk)) return false;
    return true;
}

// The field padded to the directive's width: left-justified with spaces after; zero-padded
// between sign and digits for numbers; else spaces before. False when memory ran out.
bool appendField(ByteList* out, const Directive& d, const Field& f) {
    uint64_t length = f.prefixLength + f.bodyChars;
    uint64_t pad = d.width > length ? d.width - length : 0;
    bool zeros = !d.left && d.zero && f.numeric;
    if (!d.left && !zeros && !appendRepeated(out, ' ', pad)) return false;
    if (!appendBytes(out, f.prefix, f.prefixLength)) return false;
    if (zeros && !appendRepeated(out, '0', pad)) return false;
    if (!appendBytes(out, f.body.data(), f.body.size())) return false;
    return !d.left || appendRepeated(out, ' ', pad);
}

// One directive's conversion, appended to out.
Step convert(const Directive& d, Args* args, ByteList* out) {
    const Value* v = nextArg(args);
    if (!v) return Step::declined;
    char buf[kNumberBuffer];
    ByteList scratch{};
    Field field{};
    Step step = Step::declined;
    switch (d.conversion) {
    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
        step = floatField(d, *v, buf, &field);
        break;
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
        step = intField(d, *v, buf, &field);
        break;
    case 'c': step = charField(*v, buf, &field); break;
    case 's': case 'r': step = textField(d, *v, buf, &scratch, &field); break;
    default: break;
    }
    if (step == Step::ok && !appendField(out, d, field)) step = Step::outOfMemory;
    std::free(scratch.data);
    return step;
}

// The whole format into out.
Step formatInto(const value::Str* format, Args* args, ByteList* out) {
    const uint8_t* f = format->bytes();
    size_t n = size_t(format->length);
    size_t i = 0;
    while (i < n) {
        const void* found = std::memchr(f + i, '%', n - i);
        size_t at = found ? size_t(static_cast<const uint8_t*>(found) - f) : n;
        if (!appendBytes(out, f + i, at - i)) return Step::outOfMemory;
        if (at == n) break;
        i = at + 1;
        // A lone "%" at the end is Python's "incomplete format"; "%(" takes a mapping key.
        if (i == n || f[i] == '(') return Step::declined;
        // Only a "%" right after the "%" is a literal one: after flags, a width or a
        // precision Python reads it as a conversion and refuses it.
        if (f[i] == '%') {
            if (!appendBytes(out, "%", 1)) return Step::outOfMemory;
            i++;
            continue;
        }
        Directive d;
        if (!parseDirective(f, n, &i, args, &d)) return Step::declined;
        if (Step s = convert(d, args, out); s != Step::ok) return s;
    }
    // Arguments left over are Python's TypeError (or, for a mapping-like operand, its
    // success): Python decides.
    return args->next == args->count ? Step::ok : Step::declined;
}

}  // namespace

Printf percentFormat(Ctx* ctx, int32_t site, const value::Str* format, const Value& args,
                     Value* out) {
    if (args.tag == value::TagDict || args.tag == value::TagPy) return Printf::declined;
    Args a{&args, 1, 0};
    if (args.tag == value::TagTuple) {
        auto* t = args.as<value::Tuple>();
        a = Args{t->items(), t->count, 0};
    }
    ByteList text{};
    Step step = formatInto(format, &a, &text);
    value::Str* result = step == Step::ok ? value::newStr(text.data, size_t(text.length)) : nullptr;
    std::free(text.data);
    if (step == Step::declined) return Printf::declined;
    if (!result) {
        failOutOfMemory(ctx, site);
        return Printf::failed;
    }
    *out = Value::of(value::TagStr, result);
    return Printf::done;
}

}  // namespace wuna::helpers
