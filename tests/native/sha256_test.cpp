// SHA-256, the digest of the compiled-code cache: the standard's test vectors, and data fed in
// pieces hashing as the pieces joined.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/backend/sha256.h"

namespace wuna {

namespace {

std::string hexDigest(const std::string& data) {
    uint8_t d[32];
    sha256::digest(data.data(), data.size(), d);
    char out[65];
    sha256::hex(d, out);
    return out;
}

TEST(Sha256, KnownVectors) {
    EXPECT_EQ(hexDigest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexDigest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexDigest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hexDigest(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // 55, 56 and 64 bytes: where the length no longer fits the last block.
    EXPECT_EQ(hexDigest(std::string(55, 'x')).size(), 64u);
    EXPECT_NE(hexDigest(std::string(55, 'x')), hexDigest(std::string(56, 'x')));
}

TEST(Sha256, PiecesHashAsTheirJoin) {
    std::string data;
    for (int i = 0; i < 300; i++) data.push_back(char(i * 7));
    for (size_t cut : {0ul, 1ul, 63ul, 64ul, 65ul, 200ul, 300ul}) {
        sha256::Hasher h;
        h.update(data.data(), cut);
        h.update(data.data() + cut, data.size() - cut);
        uint8_t a[32], b[32];
        h.finish(a);
        sha256::digest(data.data(), data.size(), b);
        EXPECT_EQ(memcmp(a, b, 32), 0) << cut;
    }
}

}  // namespace

}  // namespace wuna
