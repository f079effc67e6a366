// str() and repr() of native values (see strrepr.h).
#include "wuna/runtime/helpers/strrepr.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/floatfmt.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

// Containers nested deeper than this are written by Python, whose own recursion check then
// answers: the native writer recurses on the native stack and must not run off its end.
inline constexpr uint32_t kNativeDepth = 200;

inline constexpr char kHex[] = "0123456789abcdef";

Status put(ByteList* out, const void* text, size_t length) {
    return appendBytes(out, text, length) ? Status::ok : Status::outOfMemory;
}
Status put(ByteList* out, std::string_view text) { return put(out, text.data(), text.size()); }

// A backslash escape of cp with `digits` lowercase hex digits after the letter.
Status putEscape(ByteList* out, char letter, uint32_t cp, int digits) {
    char text[10] = {'\\', letter};
    for (int i = 0; i < digits; i++) text[2 + i] = kHex[cp >> (4 * (digits - 1 - i)) & 15];
    return put(out, text, size_t(2 + digits));
}

// The quote repr() puts around text: the double quote when the text holds a single quote
// and no double quote, else the single quote.
char quoteFor(const uint8_t* text, size_t length) {
    bool single = length && std::memchr(text, '\'', length);
    bool dbl = length && std::memchr(text, '"', length);
    return single && !dbl ? '"' : '\'';
}

// The escapes shared by strs, bytes and message texts: backslash, the quote, tab, line feed,
// carriage return. Null when c has none of them.
const char* commonEscape(uint8_t c, char quote) {
    switch (c) {
    case '\\': return "\\\\";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    default: break;
    }
    if (c == uint8_t(quote)) return quote == '\'' ? "\\'" : "\\\"";
    return nullptr;
}

// One ASCII character of a str or bytes repr.
Status putAscii(ByteList* out, uint8_t c, char quote) {
    if (const char* escape = commonEscape(c, quote)) return put(out, escape, 2);
    if (c < 0x20 || c >= 0x7F) return putEscape(out, 'x', c, 2);
    return put(out, &c, 1);
}

bool isOpen(const OpenList* open, const void* block) {
    for (uint64_t i = open->count; i > 0; i--)
        if (open->items[i - 1] == block) return true;
    return false;
}

bool push(OpenList* open, const void* block) {
    if (open->count == open->capacity) {
        uint64_t capacity = open->capacity ? open->capacity * 2 : 8;
        void* grown = std::realloc(open->items, capacity * sizeof(void*));
        if (!grown) return false;
        open->items = static_cast<const void**>(grown);
        open->capacity = capacity;
    }
    open->items[open->count++] = block;
    return true;
}

// The text of one value; depth counts the native levels entered so far.
struct Writer {
    ByteList* out;
    OpenList* open;
    uint32_t depth;

    Status text(Value v, bool repr);
    Status items(const Value* items, uint64_t n);
    Status list(value::List* l);
    Status tuple(value::Tuple* t);
    Status dict(value::Dict* d);
    Status set(value::Set* s);
    Status record(value::Record* r);
    Status exception(value::Exc* e, bool repr);
};

Status Writer::items(const Value* values, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) {
        if (i && put(out, ", ") != Status::ok) return Status::outOfMemory;
        if (Status s = text(values[i], true); s != Status::ok) return s;
    }
    return Status::ok;
}

Status Writer::list(value::List* l) {
    if (Status s = put(out, "["); s != Status::ok) return s;
    if (Status s = items(l->items, l->count); s != Status::ok) return s;
    return put(out, "]");
}

Status Writer::tuple(value::Tuple* t) {
    if (Status s = put(out, "("); s != Status::ok) return s;
    if (Status s = items(t->items(), t->count); s != Status::ok) return s;
    return put(out, t->count == 1 ? ",)" : ")");
}

Status Writer::dict(value::Dict* d) {
    if (Status s = put(out, "{"); s != Status::ok) return s;
    bool first = true;
    for (uint64_t i = 0; i < d->used; i++) {
        const value::DictEntry& entry = d->entries[i];
        if (entry.key.tag == value::TagDeleted) continue;
        if (!first && put(out, ", ") != Status::ok) return Status::outOfMemory;
        first = false;
        if (Status s = text(entry.key, true); s != Status::ok) return s;
        if (Status s = put(out, ": "); s != Status::ok) return s;
        if (Status s = text(entry.value, true); s != Status::ok) return s;
    }
    return put(out, "}");
}

Status Writer::set(value::Set* s) {
    bool first = true;
    for (uint64_t i = 0; s->table && i <= s->mask; i++) {
        const value::SetSlot& slot = s->table[i];
        if (slot.key.tag == value::TagUnset || slot.key.tag == value::TagDeleted) continue;
        if (put(out, first ? "{" : ", ") != Status::ok) return Status::outOfMemory;
        first = false;
        if (Status st = text(slot.key, true); st != Status::ok) return st;
    }
    return put(out, first ? "set()" : "}");
}

Status Writer::record(value::Record* r) {
    const value::RecordClass* cls = r->cls;
    if (Status s = put(out, cls->name.data, size_t(cls->name.length)); s != Status::ok) return s;
    if (Status s = put(out, "("); s != Status::ok) return s;
    for (uint64_t i = 0; i < cls->fieldCount; i++) {
        if (i && put(out, ", ") != Status::ok) return Status::outOfMemory;
        const value::Text& name = cls->fields[i];
        if (Status s = printFieldName(out, {name.data, size_t(name.length)}); s != Status::ok)
            return s;
        if (Status s = text(r->fields()[i], true); s != Status::ok) return s;
    }
    return put(out, ")");
}

Status Writer::exception(value::Exc* e, bool repr) {
    if (!errors::valid(e->kind) || e->args.tag != value::TagTuple) return Status::notNative;
    errors::Kind kind = errors::Kind(e->kind);
    value::Tuple* args = e->args.as<value::Tuple>();
    if (repr) {
        if (Status s = put(out, errors::name(kind)); s != Status::ok) return s;
        if (Status s = put(out, "("); s != Status::ok) return s;
        if (Status s = items(args->items(), args->count); s != Status::ok) return s;
        return put(out, ")");
    }
    // Python words these families' str() from their arguments' meaning (errno and file
    // names, the codec's position and reason): only Python writes them.
    if ((errors::isA(kind, errors::Kind::OSError) && args->count >= 2) ||
        errors::isA(kind, errors::Kind::UnicodeDecodeError) ||
        errors::isA(kind, errors::Kind::UnicodeEncodeError))
        return Status::notNative;
    if (args->count == 0) return Status::ok;
    if (args->count == 1)
        return text(args->items()[0], errors::isA(kind, errors::Kind::KeyError));
    return tuple(args);
}

Status Writer::text(Value v, bool repr) {
    char digits[value::kWideDigits];
    switch (v.tag) {
    case value::TagNone: return put(out, "None");
    case value::TagBool: return put(out, v.payload ? "True" : "False");
    case value::TagInt:
    case value::TagPint: return put(out, digits, value::printWide(digits, int64_t(v.payload)));
    case value::TagBig:
        return put(out, digits, value::printWide(digits, v.as<value::Big>()->get()));
    case value::TagFloat: {
        char buf[value::kFloatReprBuffer];
        return put(out, value::floatRepr(buf, value::asDouble(v.payload)));
    }
    case value::TagStr: {
        value::Str* s = v.as<value::Str>();
        return repr ? strRepr(s->bytes(), size_t(s->length), out) : put(out, s->text());
    }
    case value::TagBytes: {
        value::Bytes* b = v.as<value::Bytes>();
        if (!(b->h.flags & value::FlagImmutable)) return Status::notNative;
        if (Status s = put(out, "b"); s != Status::ok) return s;
        return bytesRepr(b->data, size_t(b->length), out);
    }
    default: break;
    }
    if (depth >= kNativeDepth) return Status::notNative;
    depth++;
    Status s = Status::notNative;
    switch (v.tag) {
    case value::TagTuple: s = tuple(v.as<value::Tuple>()); break;
    case value::TagExc: s = exception(v.as<value::Exc>(), repr); break;
    case value::TagList:
    case value::TagDict:
    case value::TagSet:
    case value::TagRecord: {
        value::Obj* block = v.as<value::Obj>();
        if (v.tag == value::TagRecord && v.as<value::Record>()->cls->pyClass) break;
        if (isOpen(open, block)) {
            s = put(out, v.tag == value::TagList     ? "[...]"
                         : v.tag == value::TagRecord ? "..."
                                                     : "{...}");
            break;
        }
        if (!push(open, block)) {
            s = Status::outOfMemory;
            break;
        }
        s = v.tag == value::TagList   ? list(v.as<value::List>())
            : v.tag == value::TagDict ? dict(v.as<value::Dict>())
            : v.tag == value::TagSet  ? set(v.as<value::Set>())
                                      : record(v.as<value::Record>());
        open->count--;
        break;
    }
    default: break;
    }
    depth--;
    return s;
}

// The text of a value natively, else (cut back) through Python.
bool textInto(Ctx* ctx, Value v, ByteList* out, uint8_t flags) {
    uint64_t saved = out->length;
    OpenList open{};
    Status s = nativeStr(v.tag, v.payload, out, flags, &open);
    freeOpen(&open);
    if (s == Status::ok) return true;
    if (s == Status::outOfMemory) return false;
    out->length = saved;
    return pythonStr(ctx, v, out, flags & TextRepr);
}

}  // namespace

void freeOpen(OpenList* open) {
    std::free(open->items);
    *open = {};
}

void freeCodepoints(CodepointList* list) {
    std::free(list->items);
    *list = {};
}

Status nativeStr(uint64_t tag, uint64_t payload, ByteList* out, uint8_t flags, OpenList* open) {
    Writer w{out, open, 0};
    return w.text(Value{tag, payload}, flags & TextRepr);
}

bool reprInto(Ctx* ctx, Value v, ByteList* out) {
    char digits[value::kWideDigits];
    switch (v.tag) {
    case value::TagInt:
    case value::TagPint:
        return appendBytes(out, digits, value::printWide(digits, int64_t(v.payload)));
    case value::TagBig:
        return appendBytes(out, digits, value::printWide(digits, v.as<value::Big>()->get()));
    default: return textInto(ctx, v, out, TextRepr);
    }
}

bool strInto(Ctx* ctx, Value v, ByteList* out) {
    switch (v.tag) {
    case value::TagStr: return appendBytes(out, v.as<value::Str>()->bytes(), v.as<value::Str>()->length);
    default: return textInto(ctx, v, out, 0);
    }
}

bool pythonStr(Ctx* ctx, Value v, ByteList* out, bool repr) {
    gil::Record* r = gil::enter();
    const ConversionContext* cx = ctx ? &ctx->conversion : convert::defaultContext();
    PyObject* o = convert::toPython(v, cx);
    PyObject* text = o ? (repr ? PyObject_Repr(o) : PyObject_Str(o)) : nullptr;
    Py_XDECREF(o);
    Py_ssize_t length = 0;
    // A text with lone surrogates has no UTF-8 form: that is a failure to give the text, not
    // an empty one.
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text, &length) : nullptr;
    bool done = utf8 && appendBytes(out, utf8, uint64_t(length));
    if (PyErr_Occurred()) PyErr_Clear();
    Py_XDECREF(text);
    gil::leave(r);
    return done;
}

bool plainText(Value v, value::Str** out) {
    char digits[value::kWideDigits];
    char buf[value::kFloatReprBuffer];
    std::string_view text;
    switch (v.tag) {
    case value::TagNone: text = "None"; break;
    case value::TagBool: text = v.payload ? "True" : "False"; break;
    case value::TagInt:
    case value::TagPint: text = {digits, value::printWide(digits, int64_t(v.payload))}; break;
    case value::TagBig: text = {digits, value::printWide(digits, v.as<value::Big>()->get())}; break;
    case value::TagFloat: text = value::floatRepr(buf, value::asDouble(v.payload)); break;
    default: return false;
    }
    *out = value::newStr(text.data(), text.size());
    return true;
}

Status strRepr(const uint8_t* text, size_t length, ByteList* out) {
    char quote = quoteFor(text, length);
    if (Status s = put(out, &quote, 1); s != Status::ok) return s;
    size_t i = 0;
    while (i < length) {
        // A run of characters written as they are goes out in one copy.
        size_t run = i;
        while (run < length && text[run] >= 0x20 && text[run] < 0x7F && text[run] != '\\' &&
               text[run] != uint8_t(quote))
            run++;
        if (run > i && put(out, text + i, run - i) != Status::ok) return Status::outOfMemory;
        i = run;
        if (i == length) break;
        if (text[i] < 0x80) {
            if (Status s = putAscii(out, text[i], quote); s != Status::ok) return s;
            i++;
            continue;
        }
        size_t used = 0;
        uint32_t cp = unicode::decode(text + i, length - i, &used);
        Status s = Status::ok;
        switch (unicode::printable(cp)) {
        case unicode::Printable::yes: s = appendCodepoint(out, cp); break;
        case unicode::Printable::unknown: return Status::notNative;
        case unicode::Printable::no:
            s = cp < 0x100     ? putEscape(out, 'x', cp, 2)
                : cp < 0x10000 ? putEscape(out, 'u', cp, 4)
                               : putEscape(out, 'U', cp, 8);
            break;
        }
        if (s != Status::ok) return s;
        i += used;
    }
    return put(out, &quote, 1);
}

Status bytesRepr(const uint8_t* data, size_t length, ByteList* out) {
    char quote = quoteFor(data, length);
    if (Status s = put(out, &quote, 1); s != Status::ok) return s;
    for (size_t i = 0; i < length; i++)
        if (Status s = putAscii(out, data[i], quote); s != Status::ok) return s;
    return put(out, &quote, 1);
}

bool pyRepr(const char* text, size_t length, char* buf, size_t capacity, std::string_view* out) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text);
    char quote = quoteFor(bytes, length);
    size_t n = 0;
    auto room = [&](size_t k) { return capacity - n >= k; };
    if (!room(1)) return false;
    buf[n++] = quote;
    for (size_t i = 0; i < length; i++) {
        uint8_t c = bytes[i];
        if (const char* escape = commonEscape(c, quote)) {
            if (!room(2)) return false;
            buf[n++] = escape[0];
            buf[n++] = escape[1];
        } else if (c < 0x20 || c == 0x7F) {
            if (!room(4)) return false;
            buf[n++] = '\\';
            buf[n++] = 'x';
            buf[n++] = kHex[c >> 4];
            buf[n++] = kHex[c & 15];
        } else {
            if (!room(1)) return false;
            buf[n++] = char(c);
        }
    }
    if (!room(1)) return false;
    buf[n++] = quote;
    *out = {buf, n};
    return true;
}

Status codepoints(const uint8_t* text, size_t length, CodepointList* out) {
    size_t i = 0;
    while (i < length) {
        if (out->count == out->capacity) {
            uint64_t capacity = out->capacity ? out->capacity * 2 : 16;
            void* grown = std::realloc(out->items, capacity * sizeof(uint32_t));
            if (!grown) return Status::outOfMemory;
            out->items = static_cast<uint32_t*>(grown);
            out->capacity = capacity;
        }
        size_t used = 0;
        out->items[out->count++] = unicode::decode(text + i, length - i, &used);
        i += used;
    }
    return Status::ok;
}

Status appendCodepoint(ByteList* out, uint32_t cp) {
    uint8_t bytes[4];
    return put(out, bytes, unicode::encode(cp, bytes));
}

Status printFieldName(ByteList* out, std::string_view name) {
    if (Status s = put(out, name); s != Status::ok) return s;
    return put(out, "=");
}

Status printDecodeError(ByteList* out, uint8_t byte, int64_t position) {
    char pair[2] = {kHex[byte >> 4], kHex[byte & 15]};
    char number[value::kWideDigits];
    if (Status s = put(out, "' codec can't decode byte 0x"); s != Status::ok) return s;
    if (Status s = put(out, pair, 2); s != Status::ok) return s;
    if (Status s = put(out, " in position "); s != Status::ok) return s;
    if (Status s = put(out, number, value::printWide(number, position)); s != Status::ok) return s;
    return put(out, ": ");
}

}  // namespace wuna::helpers
