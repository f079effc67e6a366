// Byte spin locks for the runtime's few process-wide tables (the shared block pool, the
// orphaned blocks of exited threads, the interned strs). They are held for a handful of
// pointer moves, never across a call that could take another of them, so a byte swapped from
// 0 to 1 with a pause while busy is all the locking they need.
#pragma once
#include <sched.h>
#include <atomic>
#include <cstdint>

namespace wuna::spin {

struct Lock {
    std::atomic<uint8_t> byte{0};

    void lock() {
        unsigned spins = 0;
        for (;;) {
            uint8_t expected = 0;
            if (byte.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                           std::memory_order_relaxed))
                return;
            if (++spins < 64)
                __builtin_ia32_pause();
            else
                sched_yield();
        }
    }
    void unlock() { byte.store(0, std::memory_order_release); }
};

}  // namespace wuna::spin
