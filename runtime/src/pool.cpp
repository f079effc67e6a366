// The block pool: per-thread size-class free lists and carve regions, the home pool of the
// run's owning thread, the shared pool through which free memory passes between threads, the
// trim after many frees and the thread-exit hand-over. See pool.h for the design.
#include "wuna/runtime/pool.h"

#include <malloc.h>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"

namespace wuna::pool {

Pool home{};
std::atomic<uintptr_t> home_owner{0};
spin::Lock shared_lock;
bool have_hook = false;
pthread_key_t ExitHook::key;

namespace {

// Chains of whole free lists, one stack per class. A chain's first block links its list
// through its first word and the next chain through its second word.
void* shared[kClasses];

thread_local Pool mine{};

inline size_t classBytes(int k) { return size_t(k + 1) * 16; }
inline void*& nextOf(void* block) { return *static_cast<void**>(block); }
inline void*& chainOf(void* block) { return static_cast<void**>(block)[1]; }

void pushChain(int k, void* first) {
    shared_lock.lock();
    chainOf(first) = shared[k];
    shared[k] = first;
    shared_lock.unlock();
}

// Carves what is left of every class's region into its list and hands every non-empty list
// to the shared pool as one chain.
void handOverMemory(Pool* p) {
    for (int k = 0; k < kClasses; k++) {
        Region& r = p->regions[k];
        size_t size = classBytes(k);
        while (r.remaining >= size) {
            void* b = reinterpret_cast<void*>(uintptr_t(r.next));
            nextOf(b) = p->heads[k];
            p->heads[k] = b;
            r.next += size;
            r.remaining -= size;
        }
        r = Region{0, 0};
        if (p->heads[k]) {
            pushChain(k, p->heads[k]);
            p->heads[k] = nullptr;
        }
    }
}

void* carvedIn(Pool* p, int k) {
    if (!p->watched) watch();
    shared_lock.lock();
    void* chain = shared[k];
    if (chain) {
        shared[k] = chainOf(chain);
        shared_lock.unlock();
        p->heads[k] = nextOf(chain);
        return chain;
    }
    shared_lock.unlock();
    uint8_t* slab = static_cast<uint8_t*>(std::malloc(kSlab));
    if (!slab) return nullptr;
    size_t size = classBytes(k);
    p->regions[k] = Region{uint64_t(uintptr_t(slab + size)), kSlab - size};
    return slab;
}

}  // namespace

// The thread pointer (the base of the thread's own control block): nonzero and unique among
// running threads, read in one instruction. Every block taken or given asks for it, and the
// address of a thread-local would cost a __tls_get_addr call each time in a shared object.
Pool* minePool() { return &mine; }

Pool* mineLists() {
    uintptr_t id = threadId();
    if (id != 0 && home_owner.load(std::memory_order_acquire) == 0) {
        if (!mine.watched) watch();
        uintptr_t expected = 0;
        if (home_owner.compare_exchange_strong(expected, id, std::memory_order_acq_rel)) {
            home.live = mine.live;
            mine.live = 0;
            home.watched = 1;
            gil::home = *gil::mine();
            return &home;
        }
    }
    return &mine;
}

void* alloc(void*, size_t size, unsigned alignLog2) {
    Pool* p = current();
    void* b;
    int k = classOf(size, alignLog2);
    if (k >= 0) {
        b = p->heads[k];
        if (b) {
            p->heads[k] = nextOf(b);
        } else {
            Region& r = p->regions[k];
            size_t bytes = classBytes(k);
            if (r.remaining >= bytes) {
                b = reinterpret_cast<void*>(uintptr_t(r.next));
                r.next += bytes;
                r.remaining -= bytes;
            } else {
                b = carvedIn(p, k);
            }
        }
    } else if (alignLog2 <= 4) {
        b = std::malloc(size < 16 ? 16 : size);
    } else {
        size_t align = size_t(1) << alignLog2;
        if (align < 8) align = 8;
        if (posix_memalign(&b, align, size < 16 ? 16 : size) != 0) b = nullptr;
    }
    // Only blocks actually handed out are live.
    if (b) p->live++;
    return b;
}

void* carved(int k) { return carvedIn(current(), k); }

void free(void*, void* block, size_t size, unsigned alignLog2) {
    Pool* p = current();
    p->live--;
    int k = classOf(size, alignLog2);
    if (k < 0) {
        std::free(block);
        return;
    }
    nextOf(block) = p->heads[k];
    p->heads[k] = block;
    if (++p->freesSinceTrim >= kTrimEvery || !p->watched) freed(p);
}

void freed(Pool* p) {
    if (!p->watched) watch();
    if (p->freesSinceTrim < kTrimEvery) return;
    p->freesSinceTrim = 0;
    for (int k = 0; k < kClasses; k++) {
        void* head = p->heads[k];
        if (!head) continue;
        size_t keep = kKeepBytes / classBytes(k);
        void* last = head;
        for (size_t i = 1; i < keep && nextOf(last); i++) last = nextOf(last);
        void* rest = nextOf(last);
        if (!rest) continue;
        nextOf(last) = nullptr;
        pushChain(k, rest);
    }
}

bool resize(void*, void* block, size_t size, unsigned alignLog2, size_t newSize) {
    int from = classOf(size, alignLog2), to = classOf(newSize, alignLog2);
    if (from >= 0) return to == from;
    if (to >= 0) return false;
    return newSize <= size || newSize <= malloc_usable_size(block);
}

void* remap(void*, void* block, size_t size, unsigned alignLog2, size_t newSize) {
    int from = classOf(size, alignLog2), to = classOf(newSize, alignLog2);
    if (from >= 0) return to == from ? block : nullptr;
    if (to >= 0) return nullptr;
    if (newSize <= size || newSize <= malloc_usable_size(block)) return block;
    if (alignLog2 > 4) return nullptr;
    return std::realloc(block, newSize < 16 ? 16 : newSize);
}

const Interface interface = {alloc, resize, remap, free};

void watch() {
    mine.watched = 1;
    shared_lock.lock();
    if (!have_hook) {
        if (pthread_key_create(&ExitHook::key, ExitHook::gone) != 0) {
            shared_lock.unlock();
            return;
        }
        have_hook = true;
    }
    pthread_setspecific(ExitHook::key, reinterpret_cast<void*>(1));
    shared_lock.unlock();
}

void ExitHook::gone(void*) {
    gc::orphanAll(&mine.gc);
    handOverMemory(&mine);
    if (home_owner.load(std::memory_order_acquire) == threadId()) {
        gc::orphanAll(&home.gc);
        handOverMemory(&home);
        home.live = 0;
        home.watched = 0;
        home_owner.store(0, std::memory_order_release);
    }
    // Anything freed by later exit work (other thread-local destructors) registers the hook
    // again, so that memory too is handed over.
    mine.watched = 0;
}

bool borrowHome(uintptr_t owner) {
    // Borrowing counts as claiming: the thread gets its exit hook, so that if it exits still
    // holding the home pool, the pool is handed back to the process.
    if (!mine.watched) watch();
    uintptr_t expected = owner;
    return owner != 0 &&
           home_owner.compare_exchange_strong(expected, threadId(), std::memory_order_acq_rel);
}

void giveBack(uintptr_t owner) { home_owner.store(owner, std::memory_order_release); }

int64_t liveBlocks() { return int64_t(current()->live); }

uint64_t freeListLength(const Pool* p, int k) {
    uint64_t n = 0;
    for (void* b = p->heads[k]; b; b = nextOf(b)) n++;
    return n;
}

uint64_t sharedChains(int k) {
    shared_lock.lock();
    uint64_t n = 0;
    for (void* c = shared[k]; c; c = chainOf(c)) n++;
    shared_lock.unlock();
    return n;
}

}  // namespace wuna::pool
