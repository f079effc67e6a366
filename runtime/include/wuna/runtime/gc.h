// The cycle collector's bookkeeping: the intrusive lists on which every tracked block sits.
// Tracked blocks (containers, functions, frames, node blocks) carry a two-pointer link header
// just before their value::Obj header. Each thread chains its tracked blocks on a young and an
// old list kept in its pool's gc::State; a block leaves them when it is freed. When a thread
// exits, its lists are handed to the process-wide orphan list for a later full collection.
//
// A collection works by trial deletion over a working list (the young list, or for a full
// collection both lists plus the adopted orphans): every candidate's count less the
// references candidates hold to one another is what outside holds; whatever is still held
// from outside, and everything reachable from it, survives and is promoted to the old list;
// the rest is cyclic garbage. Garbage blocks are freed before anything they held outside the
// garbage is released, so a release that cascades never reaches a garbage block again. A
// block whose proxy Python may still use survives (asked of the proxy layer through
// gc::proxyInUse when the collection consults proxies). The collection allocates only its
// mark stack and its record of outside references, from the C heap; when either can't grow
// it frees nothing.
#pragma once
#include <cstdint>
#include "wuna/runtime/spin.h"

namespace wuna::gc {

// The link header in front of a tracked block. A null next means "not tracked".
struct Link {
    Link* next;
    Link* prev;
};

// Young and old lists of one thread (or of the home pool), circular once set up; an all-zero
// head means the lists are not set up yet.
struct State {
    Link young;
    Link old;
    int64_t youngCount;  // tracked since the last collection, less those freed since
    uint64_t oldCount;   // promoted since the last full collection began
    uint64_t oldAtFull;  // old count at the end of the last full collection
    uint8_t collecting;
};

inline constexpr int64_t kYoungLimit = 2000;

// Blocks of exited threads, waiting for a full collection to adopt them.
extern Link orphans;
extern spin::Lock orphans_lock;

// Whether a constructor of a tracked block must call gc::prepare before it allocates.
inline bool due(const State* s) { return s->youngCount >= kYoungLimit || s->young.next == nullptr; }

void setUp(State* s);
void track(Link* link);            // onto the calling thread's young list
void track(State* s, Link* link);  // onto s's young list (s is the calling thread's)
void untrack(Link* link);          // off whichever list holds it (orphans included)
void prepare(State* s);
void collectDue(State* s);
// Runs a collection of s (the calling thread's state): the number of blocks freed; 0 at
// once when a collection of s is running. Cannot fail (short of memory it frees nothing).
uint64_t collect(State* s, bool full, bool consultProxies);
// The proxy layer's answer for a block with a proxy and no native reference left: whether
// its proxy owns the block or Python holds the proxy. Called with the interpreter lock held.
// Null (no proxy layer): every proxied block survives.
using ProxyInUse = bool (*)(void* block);
extern ProxyInUse proxyInUse;
void freeOrphan(Link* link);
State* threadRecord();
// Thread exit: every block on the state's lists becomes an orphan; the state is cleared.
void orphanAll(State* s);
// Number of blocks on a list (tests and diagnostics).
uint64_t listLength(const Link* head);

}  // namespace wuna::gc
