// Collector lists: tracking and untracking blocks, the collection check of constructors, the
// orphans of exited threads. The trial-deletion pass is not written yet; gc::collect does the
// bookkeeping a collection that frees nothing would do (adopt orphans, drop immortal blocks
// from the lists, promote the young survivors) and answers 0. See gc.h.
#include "wuna/runtime/gc.h"

#include <cstring>

#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna::gc {

Link orphans{};
spin::Lock orphans_lock;

namespace {

void setUpHead(Link* head) { head->next = head->prev = head; }

void append(Link* head, Link* l) {
    l->prev = head->prev;
    l->next = head;
    head->prev->next = l;
    head->prev = l;
}

void unlink(Link* l) {
    l->prev->next = l->next;
    l->next->prev = l->prev;
    l->next = l->prev = nullptr;
}

// Moves every block of from to the end of to; from is left empty.
void splice(Link* to, Link* from) {
    if (from->next == from) return;
    Link* first = from->next;
    Link* last = from->prev;
    first->prev = to->prev;
    to->prev->next = first;
    last->next = to;
    to->prev = last;
    setUpHead(from);
}

}  // namespace

void setUp(State* s) {
    if (s->young.next) return;
    setUpHead(&s->young);
    setUpHead(&s->old);
}

State* threadRecord() {
    if (!pool::minePool()->watched) pool::watch();
    return &pool::current()->gc;
}

void track(Link* link) { track(threadRecord(), link); }

void track(State* s, Link* link) {
    setUp(s);
    append(&s->young, link);
    s->youngCount++;
}

void untrack(Link* link) {
    if (!link->next) return;
    if (value::objOf(link)->flags & value::FlagOrphan) {
        freeOrphan(link);
        return;
    }
    unlink(link);
    threadRecord()->youngCount--;
}

void prepare(State* s) {
    setUp(s);
    if (s->youngCount >= kYoungLimit) collectDue(s);
}

void collectDue(State* s) {
    if (s->collecting) return;
    bool full = (s->oldCount - s->oldAtFull) > s->oldAtFull / 4 + 2000;
    collect(s, full, false);
}

// consultProxies is for the pass over proxies that is not written yet; taken now so callers
// already say which collections need it.
uint64_t collect(State* s, bool full, [[maybe_unused]] bool consultProxies) {
    if (s->collecting) return 0;
    setUp(s);
    s->collecting = 1;
    if (full) {
        orphans_lock.lock();
        if (orphans.next) {
            for (Link* l = orphans.next; l != &orphans; l = l->next)
                value::objOf(l)->flags &= ~value::FlagOrphan;
            splice(&s->old, &orphans);
        }
        orphans_lock.unlock();
    }
    Link work;
    setUpHead(&work);
    splice(&work, &s->young);
    if (full) {
        splice(&work, &s->old);
        s->oldCount = 0;
    }
    s->youngCount = 0;
    uint64_t candidates = 0;
    for (Link* l = work.next; l != &work;) {
        Link* next = l->next;
        if (value::immortal(value::objOf(l)))
            unlink(l);
        else
            candidates++;
        l = next;
    }
    // Finding and freeing garbage among the candidates comes with the collection pass; until
    // then every candidate survives and is promoted.
    s->oldCount += candidates;
    splice(&s->old, &work);
    if (full) s->oldAtFull = s->oldCount;
    s->collecting = 0;
    return 0;
}

void freeOrphan(Link* link) {
    orphans_lock.lock();
    if (!orphans.next) setUpHead(&orphans);
    unlink(link);
    orphans_lock.unlock();
}

void orphanAll(State* s) {
    if (!s->young.next) return;
    splice(&s->old, &s->young);
    if (s->old.next != &s->old) {
        for (Link* l = s->old.next; l != &s->old; l = l->next)
            value::objOf(l)->flags |= value::FlagOrphan;
        orphans_lock.lock();
        if (!orphans.next) setUpHead(&orphans);
        splice(&orphans, &s->old);
        orphans_lock.unlock();
    }
    std::memset(s, 0, sizeof *s);
}

uint64_t listLength(const Link* head) {
    if (!head->next) return 0;
    uint64_t n = 0;
    for (const Link* l = head->next; l != head; l = l->next) n++;
    return n;
}

}  // namespace wuna::gc
