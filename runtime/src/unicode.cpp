// UTF-8 decoding with Python's replacement rule, and the printable tables (see unicode.h).
#include "wuna/runtime/unicode.h"

#include "wuna/runtime/pyhelp.h"

#include <patchlevel.h>

#include <algorithm>
#include <iterator>

#include "wuna/runtime/introspect.h"

namespace wuna::unicode {

namespace {

struct Range {
    uint32_t first;
    uint32_t last;
};

struct VersionRange {
    uint32_t first;
    uint32_t last;
    uint32_t printableIn;  // bit i: Python 3.(kFirstMinor + i) prints the range
};

#include "unicode_tables.inc"

inline constexpr int32_t kFirstMinor = 10;
inline constexpr int32_t kLastMinor = 13;

// Sorted and disjoint, so that a binary search finds the one candidate.
template <class R, size_t N>
constexpr bool sortedDisjoint(const R (&table)[N]) {
    for (size_t i = 0; i < N; i++) {
        if (table[i].first > table[i].last) return false;
        if (i && table[i - 1].last >= table[i].first) return false;
    }
    return true;
}
static_assert(sortedDisjoint(kNonPrintable) && sortedDisjoint(kVersionDiffs));
static_assert(std::size(kNonPrintable) == 712);

// The entry holding cp, or null.
template <class R, size_t N>
const R* find(const R (&table)[N], uint32_t cp) {
    const R* end = table + N;
    const R* at = std::upper_bound(table, end, cp, [](uint32_t c, const R& r) { return c < r.first; });
    if (at == table) return nullptr;
    --at;
    return cp <= at->last ? at : nullptr;
}

// Code points that no Unicode version will make printable: controls and the Latin-1 spaces,
// surrogates, private use, noncharacters. Everything else that 15.0 leaves unprintable may be
// assigned by a later version.
bool neverPrintable(uint32_t cp) {
    return cp < 0x100 || (cp >= 0xD800 && cp <= 0xF8FF) || (cp >= 0xFDD0 && cp <= 0xFDEF) ||
           (cp & 0xFFFE) == 0xFFFE || cp >= 0xF0000;
}


// The second byte's range after a lead byte, as the UTF-8 definition restricts it (no
// overlong forms, no surrogates, nothing above U+10FFFF).
bool secondFits(uint8_t lead, uint8_t second) {
    switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return (second & 0xC0) == 0x80;
    }
}

}  // namespace

uint32_t decode(const uint8_t* text, size_t length, size_t* used) {
    uint8_t lead = text[0];
    *used = 1;
    if (lead < 0x80) return lead;
    size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
               : lead >= 0xE0 && lead <= 0xEF ? 3
               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                              : 0;
    if (n == 0) return kReplacement;
    uint32_t cp = lead & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    // A sequence cut short, or broken by a byte that cannot continue it, is one replacement
    // for the bytes read so far; the breaking byte starts the next code point.
    for (size_t i = 1; i < n; i++) {
        if (i >= length) return kReplacement;
        uint8_t c = text[i];
        if (i == 1 ? !secondFits(lead, c) : (c & 0xC0) != 0x80) return kReplacement;
        cp = cp << 6 | (c & 0x3F);
        *used = i + 1;
    }
    return cp;
}

size_t encode(uint32_t cp, uint8_t out[4]) {
    if (cp < 0x80) {
        out[0] = uint8_t(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = uint8_t(0xC0 | cp >> 6);
        out[1] = uint8_t(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = uint8_t(0xE0 | cp >> 12);
        out[1] = uint8_t(0x80 | (cp >> 6 & 0x3F));
        out[2] = uint8_t(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = uint8_t(0xF0 | cp >> 18);
    out[1] = uint8_t(0x80 | (cp >> 12 & 0x3F));
    out[2] = uint8_t(0x80 | (cp >> 6 & 0x3F));
    out[3] = uint8_t(0x80 | (cp & 0x3F));
    return 4;
}

Printable printableIn(uint32_t cp, int32_t minor) {
    bool base = !find(kNonPrintable, cp);
    bool known = minor >= kFirstMinor && minor <= kLastMinor;
    if (const VersionRange* d = find(kVersionDiffs, cp)) {
        if (!known) return Printable::unknown;
        return (d->printableIn >> (minor - kFirstMinor) & 1) ? Printable::yes : Printable::no;
    }
    if (base) return Printable::yes;
    if (known || neverPrintable(cp)) return Printable::no;
    return Printable::unknown;
}

Printable printable(uint32_t cp) { return printableIn(cp, pyhelp::servedMinor()); }

}  // namespace wuna::unicode
