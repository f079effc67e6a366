// SHA-256 (FIPS 180-4), the digest behind compiled-code cache keys and the cache identity.
//
// A small streaming implementation: the only table is the algorithm's own 64 round
// constants, and the message schedule is computed in a 16-word window as the rounds go.
// Data is fed in any pieces; the digest is the same as of the pieces joined.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wuna::sha256 {

inline constexpr size_t kDigest = 32;

struct Hasher {
    uint32_t state[8];
    uint64_t total;  // bytes fed so far
    uint8_t block[64];
    uint32_t filled;  // bytes of block in use

    Hasher();
    void update(const void* data, size_t length);
    // Writes the 32-byte digest; the hasher is spent afterwards.
    void finish(uint8_t out[kDigest]);
};

// The digest of one piece of data.
void digest(const void* data, size_t length, uint8_t out[kDigest]);

// The 64 lowercase hexadecimal digits of a digest, high nibble first, and a NUL.
void hex(const uint8_t digest[kDigest], char out[2 * kDigest + 1]);

}  // namespace wuna::sha256
