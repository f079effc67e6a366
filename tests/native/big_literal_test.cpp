// Interned big literals: threads interning the same values at once while the table grows all
// get the one immortal block of each value.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using value::Big;
using value::i128;

TEST(BigLiterals, ThreadsInterningAtOnceShareOneBlockPerValue) {
    constexpr int kThreads = 8;
    constexpr int kValues = 3001;  // prime: each thread's order visits every value
    std::vector<std::vector<Big*>> seen(kThreads, std::vector<Big*>(kValues));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kValues; i++) {
                // Each thread walks the values in its own order, so that lookups meet growth.
                int k = (i * (2 * t + 1)) % kValues;
                seen[t][k] = value::bigLiteral((i128(1) << 100) + i128(k) * 7919 + 0x5eed);
            }
        });
    for (std::thread& th : threads) th.join();
    for (int k = 0; k < kValues; k++) {
        ASSERT_NE(seen[0][k], nullptr);
        EXPECT_EQ(seen[0][k]->get(), (i128(1) << 100) + i128(k) * 7919 + 0x5eed);
        EXPECT_TRUE(value::immortal(&seen[0][k]->h));
        for (int t = 1; t < kThreads; t++) ASSERT_EQ(seen[t][k], seen[0][k]) << k;
    }
}

}  // namespace

}  // namespace wuna
