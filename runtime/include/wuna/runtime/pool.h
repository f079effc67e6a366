// The block pool: where every runtime value block comes from.
//
// Small blocks (1 to 512 bytes, alignment at most 16) come from 32 size classes of 16-byte
// steps. Each thread has its own pool (pool::mine) with a free list and a carve region per
// class, so allocation and free are a pop, a push or a pointer bump with no lock. One static
// pool (pool::home) belongs to the thread named by pool::home_owner, the thread that owns the
// program's run; run threads borrow it by compare-and-swap. Free memory moves between threads
// only through pool::shared: whole free lists ("chains") handed over by the trim after many
// frees and by the thread-exit hook, and taken back by refills. Slabs are never returned to
// the system. Large and over-aligned blocks go straight to the C heap.
//
// Each pool also counts the blocks it handed out and took back (pool::liveBlocks, what
// wuna._blocks() reports) and holds the thread's collector lists (gc::State).
#pragma once
#include <pthread.h>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include "wuna/runtime/gc.h"
#include "wuna/runtime/spin.h"

namespace wuna::pool {

inline constexpr int kClasses = 32;
inline constexpr size_t kMaxSmall = 512;
inline constexpr size_t kSlab = 65536;
inline constexpr uint32_t kTrimEvery = 16384;
inline constexpr size_t kKeepBytes = 65536;  // what a class keeps after a trim

struct Region {
    uint64_t next;
    uint64_t remaining;
};

struct Pool {
    void* heads[kClasses];
    Region regions[kClasses];
    uint64_t live;  // blocks handed out minus blocks taken back through this pool
    gc::State gc;
    uint32_t freesSinceTrim;
    uint8_t watched;
};

// The thread-exit key and its destructor: hands a dying thread's memory and tracked blocks
// to the process.
struct ExitHook {
    static pthread_key_t key;
    static void gone(void* marker);
};

extern Pool home;
extern std::atomic<uintptr_t> home_owner;
extern spin::Lock shared_lock;
extern bool have_hook;

// A nonzero word unique to the calling thread.
inline uintptr_t threadId() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }
// The calling thread's own pool (thread-local), whether or not it owns the home pool.
Pool* minePool();
// The calling thread's pool when it does not own the home pool (claiming it when nobody does).
Pool* mineLists();
// The pool the calling thread allocates from now: the home pool for its owner, else
// pool::mineLists(). Inline: every allocation and free asks, and the owner's answer is one
// load and a compare with the thread pointer.
inline Pool* current() {
    if (home_owner.load(std::memory_order_acquire) == threadId()) return &home;
    return mineLists();
}

// The general allocator interface; the context argument is ignored.
void* alloc(void* ctx, size_t size, unsigned alignLog2);
bool resize(void* ctx, void* block, size_t size, unsigned alignLog2, size_t newSize);
void* remap(void* ctx, void* block, size_t size, unsigned alignLog2, size_t newSize);
void free(void* ctx, void* block, size_t size, unsigned alignLog2);

struct Interface {
    void* (*alloc)(void*, size_t, unsigned);
    bool (*resize)(void*, void*, size_t, unsigned, size_t);
    void* (*remap)(void*, void*, size_t, unsigned, size_t);
    void (*free)(void*, void*, size_t, unsigned);
};
extern const Interface interface;

// Shorthands for the runtime's own blocks (8-byte aligned, no context).
inline void* take(size_t size) { return alloc(nullptr, size, 3); }
inline void give(void* block, size_t size) { free(nullptr, block, size, 3); }

void* carved(int k);
void freed(Pool* p);
void watch();

// Hand-over of the home pool to a run thread working for its owner: true when the calling
// thread now uses the home pool; giveBack stores the owner's identity back.
bool borrowHome(uintptr_t owner);
void giveBack(uintptr_t owner);

// What wuna._blocks() reports: the calling thread's pool's live count (signed: a thread that
// frees blocks another thread made counts below zero).
int64_t liveBlocks();

// Size class of a small block (0 to 31), or -1 when it goes to the C heap.
inline int classOf(size_t size, unsigned alignLog2) {
    if (size < 1 || size > kMaxSmall || alignLog2 > 4) return -1;
    return int((size + 15) / 16) - 1;
}

// Tests and diagnostics: blocks on the calling pool's free list of a class, and chains of a
// class waiting in pool::shared.
uint64_t freeListLength(const Pool* p, int k);
uint64_t sharedChains(int k);

}  // namespace wuna::pool
