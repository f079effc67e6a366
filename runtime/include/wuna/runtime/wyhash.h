// Wyhash (final version 4.2, default secret): the runtime's own fast hash of byte strings,
// behind dict tables and interned literals. Nothing stored depends on its values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wuna::wyhash {

inline constexpr uint64_t secret[4] = {0x2d358dccaa6c78a5ull, 0x8bb84b93962eacc9ull,
                                       0x4b33a62ed433d4a3ull, 0x4d5a2da51de1aa47ull};

inline void mum(uint64_t* a, uint64_t* b) {
    unsigned __int128 r = (unsigned __int128)*a * *b;
    *a = uint64_t(r);
    *b = uint64_t(r >> 64);
}
inline uint64_t mix(uint64_t a, uint64_t b) {
    mum(&a, &b);
    return a ^ b;
}
inline uint64_t r8(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline uint64_t r4(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t r3(const uint8_t* p, size_t k) {
    return (uint64_t(p[0]) << 16) | (uint64_t(p[k >> 1]) << 8) | p[k - 1];
}

inline uint64_t hash(const void* key, size_t len, uint64_t seed) {
    const uint8_t* p = static_cast<const uint8_t*>(key);
    seed ^= mix(seed ^ secret[0], secret[1]);
    uint64_t a, b;
    if (len <= 16) {
        if (len >= 4) {
            a = (r4(p) << 32) | r4(p + ((len >> 3) << 2));
            b = (r4(p + len - 4) << 32) | r4(p + len - 4 - ((len >> 3) << 2));
        } else if (len > 0) {
            a = r3(p, len);
            b = 0;
        } else {
            a = b = 0;
        }
    } else {
        size_t i = len;
        if (i >= 48) {
            uint64_t see1 = seed, see2 = seed;
            do {
                seed = mix(r8(p) ^ secret[1], r8(p + 8) ^ seed);
                see1 = mix(r8(p + 16) ^ secret[2], r8(p + 24) ^ see1);
                see2 = mix(r8(p + 32) ^ secret[3], r8(p + 40) ^ see2);
                p += 48;
                i -= 48;
            } while (i >= 48);
            seed ^= see1 ^ see2;
        }
        while (i > 16) {
            seed = mix(r8(p) ^ secret[1], r8(p + 8) ^ seed);
            i -= 16;
            p += 16;
        }
        a = r8(p + i - 16);
        b = r8(p + i - 8);
    }
    a ^= secret[1];
    b ^= seed;
    mum(&a, &b);
    return mix(a ^ secret[0] ^ len, b ^ secret[1]);
}

}  // namespace wuna::wyhash
