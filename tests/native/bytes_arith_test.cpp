// The arithmetic under rt's byte readers and wrapping operations, as native code uses it:
// reading is checked against byte-order and sign identities over every offset of a buffer,
// wrapping against 128-bit arithmetic reduced to 64 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "wuna/runtime/helpers/pyread.h"
#include "wuna/runtime/helpers/pywrapping.h"

namespace wuna {

namespace {

using helpers::assemble;
using helpers::readers;
using helpers::wrap;

constexpr uint8_t kFF[1] = {0xff};
static_assert(assemble(0, kFF) == 0xff);
static_assert(assemble(1, kFF) == ~uint64_t(0));

constexpr uint8_t kData[] = {0x00, 0x7f, 0x80, 0xff, 0x01, 0xfe, 0x12, 0x34, 0x56,
                             0x78, 0x9a, 0xbc, 0xde, 0xf0, 0xff, 0xff, 0xff, 0x80};

TEST(ByteReaders, KnownValues) {
    const uint8_t two[] = {0x01, 0x02};
    EXPECT_EQ(assemble(2, two), 513u);  // u16le
    EXPECT_EQ(assemble(3, two), 258u);  // u16be
    const uint8_t ones[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(assemble(10, ones), UINT64_MAX);   // u64le
    EXPECT_EQ(int64_t(assemble(12, ones)), -1);  // i64le
    const uint8_t low[4] = {0x00, 0x00, 0x00, 0x80};
    EXPECT_EQ(int64_t(assemble(8, low)), INT32_MIN);  // i32le
    EXPECT_EQ(assemble(6, low), 0x80000000u);         // u32le
}

// Every reader at every offset: the little-endian reading of a slice equals the big-endian
// reading of its reversal, memcpy gives the little-endian value on this machine, and the
// signed value is the unsigned one less 2^(8 width) when its top bit is set.
TEST(ByteReaders, OrderAndSignIdentities) {
    for (uint32_t code = 0; code < helpers::kReaderCount; code++) {
        const helpers::Reader& r = readers[code];
        for (size_t at = 0; at + r.width <= sizeof kData; at++) {
            uint8_t reversed[8];
            for (uint32_t i = 0; i < r.width; i++) reversed[i] = kData[at + r.width - 1 - i];
            uint64_t little = 0;
            memcpy(&little, kData + at, r.width);
            uint64_t value = assemble(code, kData + at);
            uint64_t asLittle = r.bigEndian ? assemble(code, reversed) : value;
            uint32_t bits = 8 * r.width;
            uint64_t top = uint64_t(1) << (bits - 1);
            uint64_t expected = little;
            if (r.isSigned && (little & top) && bits < 64) expected = little - (top << 1);
            EXPECT_EQ(asLittle, expected) << r.name << " at " << at;
            if (r.width > 1 && r.bigEndian) {
                EXPECT_EQ(assemble(code - 1, reversed), value) << r.name << " at " << at;
            }
        }
    }
}

int64_t reference(uint32_t op, int64_t a, int64_t b) {
    __int128 x = a, y = b;
    unsigned n = unsigned(b & 63);
    __int128 r;
    switch (op) {
    case helpers::WrapAdd: r = x + y; break;
    case helpers::WrapSub: r = x - y; break;
    case helpers::WrapMul: r = x * y; break;
    case helpers::WrapShl: r = x << n; break;
    case helpers::WrapShr: r = x >> n; break;
    default: r = __int128(uint64_t(a)) >> n; break;
    }
    using U128 = unsigned __int128;
    return int64_t(uint64_t(U128(r)));
}

TEST(Wrapping, AgreesWith128BitArithmetic) {
    std::mt19937_64 rng(42);
    int64_t values[64] = {0,
                          1,
                          -1,
                          63,
                          64,
                          65,
                          -64,
                          INT64_MAX,
                          INT64_MIN,
                          INT64_MIN + 1,
                          int64_t(1) << 32,
                          -(int64_t(1) << 31)};
    for (size_t i = 12; i < 64; i++) values[i] = int64_t(rng());
    for (uint32_t op = 0; op < helpers::kWrappingCount; op++)
        for (int64_t a : values)
            for (int64_t b : values)
                ASSERT_EQ(wrap(op, a, b), reference(op, a, b))
                    << helpers::wrappingOps[op].op << " " << a << " " << b;
}

TEST(Wrapping, KnownValues) {
    EXPECT_EQ(wrap(helpers::WrapAdd, INT64_MAX, 1), INT64_MIN);
    EXPECT_EQ(wrap(helpers::WrapShl, 1, 64), 1);
    EXPECT_EQ(wrap(helpers::WrapUshr, -1, 60), 15);
    EXPECT_EQ(wrap(helpers::WrapShr, -16, 2), -4);
    EXPECT_EQ(wrap(helpers::WrapUshr, -1, 64), -1);
}

}  // namespace

}  // namespace wuna
