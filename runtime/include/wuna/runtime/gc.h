// The cycle collector's bookkeeping: the intrusive lists on which every tracked block sits.
// Tracked blocks (containers, functions, frames, node blocks) carry a two-pointer link header
// just before their value::Obj header. Each thread chains its tracked blocks on a young and an
// old list kept in its pool's gc::State; a block leaves them when it is freed. When a thread
// exits, its lists are handed to the process-wide orphan list for a later full collection.
//
// This file owns the lists and the hooks that constructors, list stores, value::freeBlock and
// the thread-exit hook call. The collection pass itself (trial deletion over the lists) is not
// here yet: gc::collect answers 0 and frees nothing, so cycles live until it lands.
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
uint64_t collect(State* s, bool full, bool consultProxies);
void freeOrphan(Link* link);
State* threadRecord();
// Thread exit: every block on the state's lists becomes an orphan; the state is cleared.
void orphanAll(State* s);
// Number of blocks on a list (tests and diagnostics).
uint64_t listLength(const Link* head);

}  // namespace wuna::gc
