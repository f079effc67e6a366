// struct.pack and struct.unpack of fixed-size numbers, bytes and padding, and the checksums
// of zlib. See lib.h.
#include <cmath>
#include <cstring>

#include "wuna/runtime/helpers/lib.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

using value::Value;

inline bool space(uint8_t c) { return c == ' ' || (c >= 9 && c <= 13); }
// Values an item stands for: one bytes for "s", none for "x", count for the others.
uint64_t valuesOf(const StructItem& item) {
    if (item.letter == 's') return 1;
    if (item.letter == 'x') return 0;
    return item.count;
}

constexpr size_t kMaxItems = 64;

// The whole format's items, on the stack; false when not served (or more than kMaxItems).
struct Format {
    StructItem items[kMaxItems];
    size_t count = 0;
    uint64_t size = 0;
    bool big = false;
    bool read(const uint8_t* text, size_t length) {
        return structItems(text, length, items, kMaxItems, &count, &size, &big) &&
               count <= kMaxItems;
    }
    uint64_t values() const {
        uint64_t n = 0;
        for (size_t i = 0; i < count; i++) n += valuesOf(items[i]);
        return n;
    }
};

uint64_t readUnsigned(const uint8_t* p, uint64_t size, bool big) {
    uint64_t v = 0;
    for (uint64_t i = 0; i < size; i++) {
        uint64_t byte = p[big ? i : size - 1 - i];
        v = (v << 8) | byte;
    }
    return v;
}

void writeUnsigned(uint8_t* p, uint64_t size, bool big, uint64_t v) {
    for (uint64_t i = 0; i < size; i++) p[big ? size - 1 - i : i] = uint8_t(v >> (8 * i));
}

bool signedLetter(uint8_t c) { return c == 'b' || c == 'h' || c == 'i' || c == 'l' || c == 'q'; }
bool unsignedLetter(uint8_t c) { return c == 'B' || c == 'H' || c == 'I' || c == 'L' || c == 'Q'; }

// One unpacked value of a number letter. False: out of memory.
bool unpackOne(uint8_t letter, uint64_t size, const uint8_t* p, bool big, Value* out) {
    if (letter == '?') {
        *out = Value::boolean(p[0] != 0);
        return true;
    }
    if (letter == 'c') {
        value::Bytes* b = value::newOwnedBytes(1);
        if (!b) return false;
        b->h.flags |= value::FlagImmutable;
        b->data[0] = p[0];
        *out = Value::of(value::TagBytes, b);
        return true;
    }
    uint64_t raw = readUnsigned(p, size, big);
    if (letter == 'f') {
        uint32_t bits = uint32_t(raw);
        float f;
        std::memcpy(&f, &bits, 4);
        *out = Value::real(double(f));
        return true;
    }
    if (letter == 'd') {
        double d;
        std::memcpy(&d, &raw, 8);
        *out = Value::real(d);
        return true;
    }
    if (signedLetter(letter)) {
        int64_t v = size == 8 ? int64_t(raw) : int64_t(raw << (64 - 8 * size)) >> (64 - 8 * size);
        *out = Value::pint(v);
        return true;
    }
    return value::intValue(value::i128(raw), out);
}

// The largest magnitude a 4-byte float holds; a finite double above it does not pack.
constexpr double kFloatMax = 3.4028234663852886e38;

// Whether a value fits its letter for packing.
bool packable(uint8_t letter, uint64_t size, uint64_t count, Value v) {
    switch (letter) {
    case 'c':
        return v.tag == value::TagBytes && (v.as<value::Bytes>()->h.flags & value::FlagImmutable) &&
               v.as<value::Bytes>()->length == 1;
    case 's':
        (void)count;
        return v.tag == value::TagBytes && (v.as<value::Bytes>()->h.flags & value::FlagImmutable);
    case 'd': return v.tag == value::TagFloat || value::smallIntTag(v.tag);
    case 'f': {
        if (value::smallIntTag(v.tag)) return std::fabs(double(int64_t(v.payload))) <= kFloatMax;
        if (v.tag != value::TagFloat) return false;
        double d = value::asDouble(v.payload);
        return !std::isfinite(d) || std::fabs(d) <= kFloatMax;
    }
    case '?': return value::smallIntTag(v.tag);
    default: break;
    }
    if (!value::smallIntTag(v.tag)) return false;
    int64_t x = int64_t(v.payload);
    if (unsignedLetter(letter))
        return x >= 0 && (size == 8 || uint64_t(x) < (uint64_t(1) << (8 * size)));
    if (size == 8) return true;
    int64_t half = int64_t(1) << (8 * size - 1);
    return x >= -half && x < half;
}

void packOne(uint8_t letter, uint64_t size, uint8_t* p, bool big, Value v) {
    switch (letter) {
    case '?': p[0] = value::truthy(v) ? 1 : 0; return;
    case 'c': p[0] = v.as<value::Bytes>()->data[0]; return;
    case 'd':
    case 'f': {
        double d =
            v.tag == value::TagFloat ? value::asDouble(v.payload) : double(int64_t(v.payload));
        uint64_t bits = 0;
        if (letter == 'd') {
            std::memcpy(&bits, &d, 8);
        } else {
            float f = float(d);
            uint32_t b32;
            std::memcpy(&b32, &f, 4);
            bits = b32;
        }
        writeUnsigned(p, size, big, bits);
        return;
    }
    default: writeUnsigned(p, size, big, v.payload); return;
    }
}

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

struct CrcTable {
    uint32_t entries[256];
};
constexpr CrcTable crcTable() {
    CrcTable t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
        t.entries[i] = c;
    }
    return t;
}
constexpr CrcTable kCrc = crcTable();
static_assert(kCrc.entries[1] == 0x77073096u && kCrc.entries[255] == 0x2D02EF8Du);

constexpr uint32_t kAdlerModulus = 65521;
// The most bytes summed before the sums must be reduced (zlib's NMAX).
constexpr size_t kAdlerRun = 5552;

}  // namespace

uint64_t structSize(uint8_t letter, bool native) {
    switch (letter) {
    case '?':
    case 'B':
    case 'b':
    case 'c':
    case 's':
    case 'x': return 1;
    case 'H':
    case 'h': return 2;
    case 'I':
    case 'i':
    case 'f': return 4;
    case 'L':
    case 'l': return native ? 8 : 4;
    case 'Q':
    case 'q':
    case 'd': return 8;
    default: return 0;
    }
}

bool structItems(const uint8_t* format, size_t length, StructItem* items, size_t capacity,
                 size_t* itemCount, uint64_t* size, bool* bigEndian) {
    size_t i = 0;
    bool native = true;
    *bigEndian = false;
    if (length > 0) {
        uint8_t c = format[0];
        if (c == '@' || c == '=' || c == '<' || c == '>' || c == '!') {
            native = c == '@';
            *bigEndian = c == '>' || c == '!';
            i = 1;
        }
    }
    uint64_t offset = 0;
    size_t n = 0;
    while (i < length) {
        if (space(format[i])) {
            i++;
            continue;
        }
        uint64_t count = 1;
        if (format[i] >= '0' && format[i] <= '9') {
            count = 0;
            while (i < length && format[i] >= '0' && format[i] <= '9') {
                if (count > (UINT64_MAX - 9) / 10) return false;
                count = count * 10 + uint64_t(format[i] - '0');
                i++;
            }
            if (i == length) return false;
        }
        uint8_t letter = format[i++];
        uint64_t one = structSize(letter, native);
        if (one == 0) return false;
        if (native && letter != 's' && letter != 'x' && one >= 2)
            offset = (offset + one - 1) / one * one;
        if (items && n < capacity) items[n] = StructItem{count, offset, letter};
        n++;
        if (count && one > (UINT64_MAX - offset) / count) return false;
        offset += one * count;
    }
    *itemCount = n;
    *size = offset;
    return true;
}

MethodAnswer structUnpack(Ctx* ctx, int32_t site, const uint8_t* format, size_t length,
                          const uint8_t* data, Value* out) {
    Format f;
    if (!f.read(format, length)) return kDeclined;
    bool native = !(length && (format[0] == '=' || format[0] == '<' || format[0] == '>' ||
                               format[0] == '!'));
    uint64_t n = f.values();
    value::Tuple* t = value::newTuple(n);
    if (!t) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    for (uint64_t k = 0; k < n; k++) t->items()[k] = Value::none();
    uint64_t at = 0;
    for (size_t i = 0; i < f.count; i++) {
        const StructItem& item = f.items[i];
        uint64_t size = structSize(item.letter, native);
        const uint8_t* p = data + item.offset;
        if (item.letter == 'x') continue;
        bool ok = true;
        if (item.letter == 's') {
            value::Bytes* b = value::newOwnedBytes(item.count);
            ok = b != nullptr;
            if (b) {
                b->h.flags |= value::FlagImmutable;
                if (item.count) std::memcpy(b->data, p, item.count);
                t->items()[at++] = Value::of(value::TagBytes, b);
            }
        } else {
            for (uint64_t k = 0; k < item.count && ok; k++)
                ok = unpackOne(item.letter, size, p + k * size, f.big, &t->items()[at++]);
        }
        if (!ok) {
            // The partial tuple goes; the caller's slot stays as it was.
            value::decref(Value::of(value::TagTuple, t));
            failOutOfMemory(ctx, site);
            return kFailed;
        }
    }
    *out = Value::of(value::TagTuple, t);
    return kAnswered;
}

MethodAnswer structPack(Ctx* ctx, int32_t site, const uint8_t* format, size_t length,
                        const Value* values, uint64_t count, Value* out) {
    Format f;
    if (!f.read(format, length)) return kDeclined;
    if (f.values() != count) return kDeclined;
    bool native = !(length && (format[0] == '=' || format[0] == '<' || format[0] == '>' ||
                               format[0] == '!'));
    uint64_t at = 0;
    for (size_t i = 0; i < f.count; i++) {
        const StructItem& item = f.items[i];
        uint64_t size = structSize(item.letter, native);
        uint64_t n = valuesOf(item);
        for (uint64_t k = 0; k < n; k++, at++)
            if (!packable(item.letter, size, item.count, values[at])) return kDeclined;
    }
    value::Bytes* b = value::newOwnedBytes(f.size);
    if (!b) {
        failOutOfMemory(ctx, site);
        return kFailed;
    }
    b->h.flags |= value::FlagImmutable;
    if (f.size) std::memset(b->data, 0, f.size);
    at = 0;
    for (size_t i = 0; i < f.count; i++) {
        const StructItem& item = f.items[i];
        uint64_t size = structSize(item.letter, native);
        uint8_t* p = b->data + item.offset;
        if (item.letter == 'x') continue;
        if (item.letter == 's') {
            value::Bytes* v = values[at++].as<value::Bytes>();
            uint64_t m = v->length < item.count ? v->length : item.count;
            if (m) std::memcpy(p, v->data, m);
            continue;
        }
        for (uint64_t k = 0; k < item.count; k++)
            packOne(item.letter, size, p + k * size, f.big, values[at++]);
    }
    *out = Value::of(value::TagBytes, b);
    return kAnswered;
}

uint32_t crc32(uint32_t start, const uint8_t* data, size_t n) {
    uint32_t c = ~start;
    for (size_t i = 0; i < n; i++) c = kCrc.entries[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t adler32(uint32_t start, const uint8_t* data, size_t n) {
    uint32_t a = start & 0xFFFF, b = start >> 16;
    while (n > 0) {
        size_t run = n < kAdlerRun ? n : kAdlerRun;
        for (size_t i = 0; i < run; i++) {
            a += data[i];
            b += a;
        }
        a %= kAdlerModulus;
        b %= kAdlerModulus;
        data += run;
        n -= run;
    }
    return (b << 16) | a;
}

}  // namespace wuna::helpers
