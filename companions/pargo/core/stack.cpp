// Reading the running thread's stack bounds (see stack.h). pthread_getattr_np is cheap for
// threads that pthread created, but for the process's first thread it reads /proc/self/maps,
// so the bounds are kept per thread once read.
#include "core/stack.h"

#include <pthread.h>

namespace pargo::stackroom {
namespace {

struct Bounds {
    bool read = false;
    uintptr_t low = 0, high = 0;  // [low, high) is the stack; both 0 when unknown
};

thread_local Bounds bounds;

void readBounds(Bounds* b) {
    b->read = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* addr = nullptr;
    size_t size = 0;
    int r = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (r != 0 || !addr || size == 0) return;
    b->low = reinterpret_cast<uintptr_t>(addr);
    b->high = b->low + size;
}

}  // namespace

uintptr_t floor() {
    Bounds& b = bounds;
    if (!b.read) readBounds(&b);
    uintptr_t at = here();
    // Code running on another stack than the thread's own (a coroutine's) is not measured.
    if (b.low == 0 || at <= b.low || at >= b.high) return 0;
    size_t size = b.high - b.low;
    size_t keep = margin < size / 4 ? margin : size / 4;
    return b.low + keep;
}

}  // namespace pargo::stackroom
