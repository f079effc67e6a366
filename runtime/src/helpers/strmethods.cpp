// The str methods of wn_call_method, on the UTF-8 bytes of a str block. See methods.h.
//
// Positions that the methods take and give count code points; the work is done on bytes and
// converted at the edges (value::charOffset one way, counting code points the other). The
// Unicode answers of non-ASCII text (case mappings, alphabetic and alphanumeric characters,
// the final-sigma rule) come from the tables of one Unicode version (str_tables.inc, made by
// dev/str_tables.py). The supported interpreters carry different Unicode versions, so a text
// holding a code point that the running interpreter answers differently for is declined and
// Python's own method gives the answer. Every call whose arguments are not served here, and
// every error Python words itself, is declined too.
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/methods.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

using value::Value;

struct CaseMapping {
    uint32_t cp;
    uint8_t count;
    uint32_t to[3];
};
struct StrRange {
    uint32_t first;
    uint32_t last;
};
struct StrVersionRange {
    uint32_t first;
    uint32_t last;
    uint32_t agrees;  // bit i: Python 3.(10 + i) answers as the tables do
};

#include "str_tables.inc"

constexpr uint32_t kFirstTableMinor = 10;
constexpr uint32_t kLastTableMinor = 13;
constexpr uint32_t kCapitalSigma = 0x3A3;
constexpr uint32_t kFinalSigma = 0x3C2;
constexpr uint32_t kSmallSigma = 0x3C3;

template <class R, size_t N>
const R* findRange(const R (&table)[N], uint32_t cp) {
    size_t lo = 0, hi = N;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (table[mid].last < cp) lo = mid + 1;
        else if (table[mid].first > cp) hi = mid;
        else return &table[mid];
    }
    return nullptr;
}

template <size_t N>
const CaseMapping* findMapping(const CaseMapping (&table)[N], uint32_t cp) {
    size_t lo = 0, hi = N;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (table[mid].cp < cp) lo = mid + 1;
        else if (table[mid].cp > cp) hi = mid;
        else return &table[mid];
    }
    return nullptr;
}

// Whether the running interpreter's answers for cp are the tables'.
bool tablesAgree(uint32_t cp) {
    const StrVersionRange* d = findRange(kStrVersionDiffs, cp);
    if (!d) return python_minor >= kFirstTableMinor && python_minor <= kLastTableMinor;
    if (python_minor < kFirstTableMinor || python_minor > kLastTableMinor) return false;
    return (d->agrees >> (python_minor - kFirstTableMinor)) & 1;
}

// The code points of a str, decoded once.
struct CodePoints {
    uint32_t* cps = nullptr;
    uint64_t n = 0;
    ~CodePoints() { std::free(cps); }
    bool read(const value::Str* s) {
        cps = static_cast<uint32_t*>(std::malloc((s->length + 1) * sizeof(uint32_t)));
        if (!cps) return false;
        size_t i = 0;
        while (i < s->length) {
            size_t used = 1;
            cps[n++] = unicode::decode(s->bytes() + i, s->length - i, &used);
            i += used;
        }
        return true;
    }
    bool agree() const {
        for (uint64_t i = 0; i < n; i++)
            if (cps[i] >= 0x80 && !tablesAgree(cps[i])) return false;
        return true;
    }
};

// A growing byte buffer of the C heap.
struct Buffer {
    uint8_t* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    ~Buffer() { std::free(data); }
    bool add(const void* bytes, size_t n) {
        if (length + n > capacity) {
            size_t want = capacity ? capacity * 2 : 64;
            while (want < length + n) want *= 2;
            auto* grown = static_cast<uint8_t*>(std::realloc(data, want));
            if (!grown) return false;
            data = grown;
            capacity = want;
        }
        if (n) std::memcpy(data + length, bytes, n);
        length += n;
        return true;
    }
    bool addCp(uint32_t cp) {
        uint8_t utf8[4];
        return add(utf8, unicode::encode(cp, utf8));
    }
};

inline bool isAscii(const value::Str* s) { return s->length == s->chars; }

bool cased(uint32_t cp) { return findRange(kCased, cp) != nullptr; }
bool caseIgnorable(uint32_t cp) { return findRange(kCaseIgnorable, cp) != nullptr; }

// Whether the capital sigma at i ends a word (Python's final-sigma rule).
bool finalSigma(const CodePoints& t, uint64_t i) {
    uint64_t j = i;
    while (j > 0 && caseIgnorable(t.cps[j - 1])) j--;
    if (j == 0 || !cased(t.cps[j - 1])) return false;
    uint64_t k = i + 1;
    while (k < t.n && caseIgnorable(t.cps[k])) k++;
    return k == t.n || !cased(t.cps[k]);
}

MethodAnswer caseMap(Ctx* ctx, int32_t site, value::Str* s, bool upper, Value* out) {
    if (isAscii(s)) {
        char* text = static_cast<char*>(std::malloc(s->length + 1));
        if (!text) {
            failOutOfMemory(ctx, site);
            return kFailed;
        }
        for (uint64_t i = 0; i < s->length; i++) {
            char c = char(s->bytes()[i]);
            if (upper && c >= 'a' && c <= 'z') c = char(c - 32);
            if (!upper && c >= 'A' && c <= 'Z') c = char(c + 32);
            text[i] = c;
        }
        bool ok = strResult(ctx, site, text, s->length, out);
        std::free(text);
        return ok ? kAnswered : kFailed;
    }
    CodePoints t;
    if (!t.read(s)) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    if (!t.agree()) return kDeclined;
    Buffer b;
    for (uint64_t i = 0; i < t.n; i++) {
        uint32_t cp = t.cps[i];
        bool ok;
        if (!upper && cp == kCapitalSigma) {
            ok = b.addCp(finalSigma(t, i) ? kFinalSigma : kSmallSigma);
        } else if (const CaseMapping* m =
                       upper ? findMapping(kUpper, cp) : findMapping(kLower, cp)) {
            ok = true;
            for (uint8_t k = 0; k < m->count && ok; k++) ok = b.addCp(m->to[k]);
        } else if (cp < 0x80) {
            char c = char(cp);
            if (upper && c >= 'a' && c <= 'z') c = char(c - 32);
            if (!upper && c >= 'A' && c <= 'Z') c = char(c + 32);
            ok = b.add(&c, 1);
        } else {
            ok = b.addCp(cp);
        }
        if (!ok) {
            failOutOfMemory(ctx, site);
            return kFailed;
        }
    }
    return strResult(ctx, site, b.data, b.length, out) ? kAnswered : kFailed;
}

inline bool asciiLetter(uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool asciiDigit(uint8_t c) { return c >= '0' && c <= '9'; }

MethodAnswer asciiTest(value::Str* s, MethodCode code, Value* out) {
    const uint8_t* p = s->bytes();
    uint64_t n = s->length;
    bool result = n > 0;
    bool upperSeen = false, lowerSeen = false;
    for (uint64_t i = 0; i < n && result; i++) {
        uint8_t c = p[i];
        switch (code) {
        case MethodCode::isdigit: result = asciiDigit(c); break;
        case MethodCode::isalpha: result = asciiLetter(c); break;
        case MethodCode::isalnum: result = asciiLetter(c) || asciiDigit(c); break;
        case MethodCode::isspace: result = isStripChar(c, nullptr, 0); break;
        default:
            upperSeen = upperSeen || (c >= 'A' && c <= 'Z');
            lowerSeen = lowerSeen || (c >= 'a' && c <= 'z');
        }
    }
    if (code == MethodCode::isupper) result = upperSeen && !lowerSeen;
    if (code == MethodCode::islower) result = lowerSeen && !upperSeen;
    *out = Value::boolean(result);
    return kAnswered;
}

MethodAnswer unicodeTest(Ctx* ctx, int32_t site, value::Str* s, bool alnum, Value* out) {
    CodePoints t;
    if (!t.read(s)) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    if (!t.agree()) return kDeclined;
    bool result = t.n > 0;
    for (uint64_t i = 0; i < t.n && result; i++)
        result = (alnum ? findRange(kAlnum, t.cps[i]) : findRange(kAlpha, t.cps[i])) != nullptr;
    *out = Value::boolean(result);
    return kAnswered;
}

// ---- positions ----------------------------------------------------------------------------

// The byte range of the code-point range that start and end arguments choose; false when an
// argument is not served (declined). *empty: a start beyond the length or the end.
struct Span {
    uint64_t startChar;
    uint64_t endChar;
    size_t from;
    size_t to;
    bool beyond;  // start beyond the length, or beyond the end
};

bool bound(Value v, int64_t length, int64_t fallback, int64_t* out) {
    if (v.tag == value::TagNone) {
        *out = fallback;
        return true;
    }
    if (!value::smallIntTag(v.tag)) return false;
    int64_t x = int64_t(v.payload);
    if (x < 0) {
        x += length;
        if (x < 0) x = 0;
    }
    *out = x;
    return true;
}

bool spanOf(value::Str* s, const Value* args, uint64_t count, Span* out) {
    int64_t length = int64_t(s->chars);
    int64_t start = 0, end = length;
    if (count >= 1 && !bound(args[0], length, 0, &start)) return false;
    if (count >= 2 && !bound(args[1], length, length, &end)) return false;
    if (end > length) end = length;
    out->beyond = start > length || start > end;
    if (out->beyond) return true;
    out->startChar = uint64_t(start);
    out->endChar = uint64_t(end);
    out->from = value::charOffset(s, uint64_t(start));
    out->to = value::charOffset(s, uint64_t(end));
    return true;
}

MethodAnswer findFamily(Ctx* ctx, int32_t site, value::Str* s, MethodCode code,
                        const Value* args, uint64_t count, Value* out) {
    if (count < 1 || count > 3 || args[0].tag != value::TagStr) return kDeclined;
    value::Str* sub = args[0].as<value::Str>();
    Span span{};
    if (!spanOf(s, args + 1, count - 1, &span)) return kDeclined;
    bool strict = code == MethodCode::index || code == MethodCode::rindex;
    if (code == MethodCode::count) {
        int64_t hits = 0;
        if (!span.beyond) {
            if (sub->length == 0) {
                hits = int64_t(span.endChar - span.startChar) + 1;
            } else {
                size_t at = span.from;
                while (const uint8_t* p =
                           findIn(s->bytes() + at, span.to - at, sub->bytes(), sub->length)) {
                    hits++;
                    at = size_t(p - s->bytes()) + sub->length;
                }
            }
        }
        *out = Value::pint(hits);
        return kAnswered;
    }
    const uint8_t* p = nullptr;
    if (!span.beyond) {
        bool back = code == MethodCode::rfind || code == MethodCode::rindex;
        const uint8_t* base = s->bytes() + span.from;
        size_t n = span.to - span.from;
        p = back ? findLastIn(base, n, sub->bytes(), sub->length)
                 : findIn(base, n, sub->bytes(), sub->length);
    }
    if (!p) {
        if (strict) {
            failSubstringNotFound(ctx, site);
            return kFailed;
        }
        *out = Value::pint(-1);
        return kAnswered;
    }
    size_t offset = size_t(p - s->bytes());
    *out = Value::pint(int64_t(isAscii(s) ? offset : value::countCodePoints(s->bytes(), offset)));
    return kAnswered;
}

MethodAnswer affix(value::Str* s, MethodCode code, const Value* args, uint64_t count,
                   Value* out) {
    if (count < 1 || count > 3) return kDeclined;
    const Value* options = &args[0];
    uint64_t n = 1;
    if (args[0].tag == value::TagTuple) {
        options = args[0].as<value::Tuple>()->items();
        n = args[0].as<value::Tuple>()->count;
    }
    for (uint64_t i = 0; i < n; i++)
        if (options[i].tag != value::TagStr) return kDeclined;
    Span span{};
    if (!spanOf(s, args + 1, count - 1, &span)) return kDeclined;
    bool any = false;
    for (uint64_t i = 0; i < n && !span.beyond && !any; i++) {
        value::Str* x = options[i].as<value::Str>();
        any = bytesHasAffix(s->bytes() + span.from, span.to - span.from, x->bytes(), x->length,
                            code == MethodCode::startswith);
    }
    *out = Value::boolean(any);
    return kAnswered;
}

// ---- pieces -------------------------------------------------------------------------------

MethodAnswer newList(Ctx* ctx, int32_t site, value::List** out) {
    *out = value::newList(0);
    if (*out) return kAnswered;
    failOutOfMemory(ctx, site);
    return kFailed;
}

MethodAnswer finishList(Ctx* ctx, int32_t site, value::List* l, bool ok, Value* out) {
    (void)ctx;
    (void)site;
    if (!ok) {
        value::decref(Value::of(value::TagList, l));
        return kFailed;
    }
    *out = Value::of(value::TagList, l);
    return kAnswered;
}

// The length of a line boundary at p (0: none).
size_t lineBreak(const uint8_t* p, size_t left) {
    uint8_t c = p[0];
    if (c == '\r') return left > 1 && p[1] == '\n' ? 2 : 1;
    if (c == '\n' || c == 0x0B || c == 0x0C || (c >= 0x1C && c <= 0x1E)) return 1;
    if (c == 0xC2 && left > 1 && p[1] == 0x85) return 2;
    if (c == 0xE2 && left > 2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) return 3;
    return 0;
}

MethodAnswer splitlines(Ctx* ctx, int32_t site, value::Str* s, const Value* args,
                        uint64_t count, Value* out) {
    if (count > 1) return kDeclined;
    bool keep = count == 1 && value::truthy(args[0]);
    if (value::faulted()) {
        value::clearFault();
        return kDeclined;
    }
    value::List* l = nullptr;
    if (!newList(ctx, site, &l).ok) return kFailed;
    const uint8_t* p = s->bytes();
    size_t n = s->length, start = 0, i = 0;
    bool ok = true;
    while (i < n && ok) {
        size_t br = lineBreak(p + i, n - i);
        if (!br) {
            i++;
            continue;
        }
        ok = appendNewStr(ctx, site, l, p + start, (keep ? i + br : i) - start);
        i += br;
        start = i;
    }
    if (ok && start < n) ok = appendNewStr(ctx, site, l, p + start, n - start);
    return finishList(ctx, site, l, ok, out);
}

void failMustBeStr(Ctx* ctx, int32_t site, Value v) {
    std::string_view type = value::typeName(v);
    failKindFormat(ctx, site, errors::Kind::TypeError, "must be str, not %.*s", int(type.size()),
                   type.data());
}

MethodAnswer partition(Ctx* ctx, int32_t site, value::Str* s, bool last, const Value* args,
                       uint64_t count, Value* out) {
    if (count != 1) return kDeclined;
    if (args[0].tag == value::TagPy) return kDeclined;
    if (args[0].tag != value::TagStr) {
        failMustBeStr(ctx, site, args[0]);
        return kFailed;
    }
    value::Str* sep = args[0].as<value::Str>();
    if (sep->length == 0) {
        failEmptySeparator(ctx, site);
        return kFailed;
    }
    const uint8_t* p = last ? findLastIn(s->bytes(), s->length, sep->bytes(), sep->length)
                            : findIn(s->bytes(), s->length, sep->bytes(), sep->length);
    value::Tuple* t = value::newTuple(3);
    if (!t) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    for (int i = 0; i < 3; i++) t->items()[i] = Value::none();
    size_t at = p ? size_t(p - s->bytes()) : (last ? 0 : s->length);
    struct Piece {
        const uint8_t* data;
        size_t length;
    } pieces[3];
    if (p) {
        pieces[0] = {s->bytes(), at};
        pieces[1] = {sep->bytes(), sep->length};
        pieces[2] = {p + sep->length, s->length - at - sep->length};
    } else if (last) {
        pieces[0] = {s->bytes(), 0};
        pieces[1] = {s->bytes(), 0};
        pieces[2] = {s->bytes(), s->length};
    } else {
        pieces[0] = {s->bytes(), s->length};
        pieces[1] = {s->bytes(), 0};
        pieces[2] = {s->bytes(), 0};
    }
    for (int i = 0; i < 3; i++) {
        if (strResult(ctx, site, pieces[i].data, pieces[i].length, &t->items()[i])) continue;
        value::decref(Value::of(value::TagTuple, t));
        return kFailed;
    }
    *out = Value::of(value::TagTuple, t);
    return kAnswered;
}

MethodAnswer replace(Ctx* ctx, int32_t site, value::Str* s, const Value* args, uint64_t count,
                     Value* out) {
    if (count != 2 || args[0].tag != value::TagStr || args[1].tag != value::TagStr)
        return kDeclined;
    value::Str* old = args[0].as<value::Str>();
    value::Str* with = args[1].as<value::Str>();
    Buffer b;
    const uint8_t* p = s->bytes();
    size_t n = s->length;
    bool ok = true;
    if (old->length == 0) {
        size_t i = 0;
        while (i < n && ok) {
            size_t used = 1;
            unicode::decode(p + i, n - i, &used);
            ok = b.add(with->bytes(), with->length) && b.add(p + i, used);
            i += used;
        }
        ok = ok && b.add(with->bytes(), with->length);
    } else {
        size_t at = 0;
        while (ok) {
            const uint8_t* hit = findIn(p + at, n - at, old->bytes(), old->length);
            size_t end = hit ? size_t(hit - p) : n;
            ok = b.add(p + at, end - at);
            if (!hit) break;
            ok = ok && b.add(with->bytes(), with->length);
            at = end + old->length;
        }
    }
    if (!ok) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    return strResult(ctx, site, b.data, b.length, out) ? kAnswered : kFailed;
}

// The code point ending at byte end (walking back over one UTF-8 sequence) and its start.
uint32_t codePointBefore(const uint8_t* p, size_t end, size_t* start) {
    size_t i = end - 1;
    while (i > 0 && (p[i] & 0xC0) == 0x80 && end - i < 4) i--;
    size_t used = 1;
    uint32_t cp = unicode::decode(p + i, end - i, &used);
    *start = i;
    return cp;
}

MethodAnswer strip(Ctx* ctx, int32_t site, value::Str* s, MethodCode code, const Value* args,
                   uint64_t count, Value* out) {
    if (count > 1) return kDeclined;
    const uint8_t* set = nullptr;
    size_t setLength = 0;
    if (count == 1 && args[0].tag != value::TagNone) {
        if (args[0].tag != value::TagStr) return kDeclined;
        set = args[0].as<value::Str>()->bytes();
        setLength = args[0].as<value::Str>()->length;
    }
    const uint8_t* p = s->bytes();
    size_t start = 0, end = s->length;
    if (code != MethodCode::rstrip) {
        while (start < end) {
            size_t used = 1;
            uint32_t cp = unicode::decode(p + start, end - start, &used);
            if (!isStripChar(cp, set, setLength)) break;
            start += used;
        }
    }
    if (code != MethodCode::lstrip) {
        while (end > start) {
            size_t from = 0;
            uint32_t cp = codePointBefore(p, end, &from);
            if (from < start || !isStripChar(cp, set, setLength)) break;
            end = from;
        }
    }
    return strResult(ctx, site, p + start, end - start, out) ? kAnswered : kFailed;
}

MethodAnswer split(Ctx* ctx, int32_t site, value::Str* s, const Value* args, uint64_t count,
                   Value* out) {
    if (count > 2) return kDeclined;
    int64_t maxsplit = -1;
    if (count == 2) {
        if (!value::smallIntTag(args[1].tag)) return kDeclined;
        maxsplit = int64_t(args[1].payload);
    }
    bool byWhitespace = count == 0 || args[0].tag == value::TagNone;
    if (!byWhitespace && args[0].tag != value::TagStr) return kDeclined;
    const uint8_t* p = s->bytes();
    size_t n = s->length;
    if (!byWhitespace) {
        value::Str* sep = args[0].as<value::Str>();
        if (sep->length == 0) {
            failEmptySeparator(ctx, site);
            return kFailed;
        }
        value::List* l = nullptr;
        if (!newList(ctx, site, &l).ok) return kFailed;
        size_t at = 0;
        bool ok = true;
        int64_t splits = 0;
        while (ok) {
            const uint8_t* hit = (maxsplit < 0 || splits < maxsplit)
                                     ? findIn(p + at, n - at, sep->bytes(), sep->length)
                                     : nullptr;
            size_t end = hit ? size_t(hit - p) : n;
            ok = appendNewStr(ctx, site, l, p + at, end - at);
            if (!hit) break;
            splits++;
            at = end + sep->length;
        }
        return finishList(ctx, site, l, ok, out);
    }
    value::List* l = nullptr;
    if (!newList(ctx, site, &l).ok) return kFailed;
    size_t i = 0;
    bool ok = true;
    int64_t splits = 0;
    while (ok) {
        // Skip the whitespace before the next piece.
        while (i < n) {
            size_t used = 1;
            uint32_t cp = unicode::decode(p + i, n - i, &used);
            if (!isStripChar(cp, nullptr, 0)) break;
            i += used;
        }
        if (i >= n) break;
        if (maxsplit >= 0 && splits >= maxsplit) {
            ok = appendNewStr(ctx, site, l, p + i, n - i);
            break;
        }
        size_t start = i;
        while (i < n) {
            size_t used = 1;
            uint32_t cp = unicode::decode(p + i, n - i, &used);
            if (isStripChar(cp, nullptr, 0)) break;
            i += used;
        }
        ok = appendNewStr(ctx, site, l, p + start, i - start);
        splits++;
    }
    return finishList(ctx, site, l, ok, out);
}

MethodAnswer join(Ctx* ctx, int32_t site, value::Str* s, const Value* args, uint64_t count,
                  Value* out) {
    if (count != 1) return kDeclined;
    const Value* items;
    uint64_t n;
    if (args[0].tag == value::TagList) {
        items = args[0].as<value::List>()->items;
        n = args[0].as<value::List>()->count;
    } else if (args[0].tag == value::TagTuple) {
        items = args[0].as<value::Tuple>()->items();
        n = args[0].as<value::Tuple>()->count;
    } else {
        return kDeclined;
    }
    size_t size = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (items[i].tag != value::TagStr) return kDeclined;
        size += items[i].as<value::Str>()->length + (i ? s->length : 0);
    }
    uint8_t* text = static_cast<uint8_t*>(std::malloc(size + 1));
    if (!text) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    size_t k = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (i && s->length) {
            std::memcpy(text + k, s->bytes(), s->length);
            k += s->length;
        }
        value::Str* piece = items[i].as<value::Str>();
        if (piece->length) std::memcpy(text + k, piece->bytes(), piece->length);
        k += piece->length;
    }
    bool ok = strResult(ctx, site, text, k, out);
    std::free(text);
    return ok ? kAnswered : kFailed;
}

MethodAnswer encode(Ctx* ctx, int32_t site, value::Str* s, const Value* args, uint64_t count,
                    Value* out) {
    if (count > 1) return kDeclined;
    Codec codec = Codec::utf8;
    if (count == 1) {
        if (args[0].tag != value::TagStr) return kDeclined;
        codec = codecOf(args[0].as<value::Str>());
    }
    bool utf8 = codec == Codec::utf8, ascii = codec == Codec::ascii;
    bool latin1 = codec == Codec::latin1;
    if (ascii && !isAscii(s)) return kDeclined;
    if (!utf8 && !ascii && !latin1) return kDeclined;
    uint64_t n = (utf8 || ascii) ? s->length : s->chars;
    value::Bytes* b = value::newOwnedBytes(n);
    if (!b) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    b->h.flags |= value::FlagImmutable;
    if (utf8 || ascii) {
        if (n) std::memcpy(b->data, s->bytes(), n);
    } else {
        size_t i = 0, k = 0;
        while (i < s->length) {
            size_t used = 1;
            uint32_t cp = unicode::decode(s->bytes() + i, s->length - i, &used);
            if (cp > 0xFF) {
                value::decref(Value::of(value::TagBytes, b));
                return kDeclined;
            }
            b->data[k++] = uint8_t(cp);
            i += used;
        }
    }
    *out = Value::of(value::TagBytes, b);
    return kAnswered;
}

}  // namespace

MethodAnswer strMethod(Ctx* ctx, int32_t site, value::Str* s, MethodCode code, const Value* args,
                       uint64_t count, Value* out) {
    switch (code) {
    case MethodCode::encode: return encode(ctx, site, s, args, count, out);
    case MethodCode::lower:
    case MethodCode::upper:
        if (count != 0) return kDeclined;
        return caseMap(ctx, site, s, code == MethodCode::upper, out);
    case MethodCode::isalpha:
    case MethodCode::isalnum:
        if (count != 0) return kDeclined;
        if (!isAscii(s)) return unicodeTest(ctx, site, s, code == MethodCode::isalnum, out);
        return asciiTest(s, code, out);
    case MethodCode::isupper:
    case MethodCode::islower:
    case MethodCode::isdigit:
    case MethodCode::isspace:
        if (count != 0 || !isAscii(s)) return kDeclined;
        return asciiTest(s, code, out);
    case MethodCode::splitlines: return splitlines(ctx, site, s, args, count, out);
    case MethodCode::partition:
    case MethodCode::rpartition:
        return partition(ctx, site, s, code == MethodCode::rpartition, args, count, out);
    case MethodCode::find:
    case MethodCode::index:
    case MethodCode::rfind:
    case MethodCode::rindex:
    case MethodCode::count: return findFamily(ctx, site, s, code, args, count, out);
    case MethodCode::startswith:
    case MethodCode::endswith: return affix(s, code, args, count, out);
    case MethodCode::replace: return replace(ctx, site, s, args, count, out);
    case MethodCode::strip:
    case MethodCode::lstrip:
    case MethodCode::rstrip: return strip(ctx, site, s, code, args, count, out);
    case MethodCode::split: return split(ctx, site, s, args, count, out);
    case MethodCode::join: return join(ctx, site, s, args, count, out);
    default: return kDeclined;
    }
}

}  // namespace wuna::helpers
