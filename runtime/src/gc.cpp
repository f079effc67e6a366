// Collector lists and the collection pass: tracking and untracking blocks, the collection
// check of constructors, the orphans of exited threads, and trial deletion over the lists.
// See gc.h.
#include "wuna/runtime/gc.h"

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/gil.h"
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
    pool::Pool* p = pool::current();
    // The holder of the home pool got its exit hook when it claimed or borrowed the pool, and
    // reaching the home pool takes no thread-local lookup: only a thread on its own pool reads
    // its thread-local flag (every tracked block comes through here).
    if (p != &pool::home && !pool::minePool()->watched) pool::watch();
    return &p->gc;
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

namespace {

using value::Obj;
using value::Value;

// Whether a value's tag can point at a block that takes part in a cycle.
inline bool cyclicTag(uint64_t tag) {
    return (tag >= value::TagList && tag <= value::TagFunction) ||
           (tag >= value::TagBig && tag <= value::TagExc);
}

// Calls onValue(Value&) for each value the block holds and onBlock(Obj*) for each block it
// holds without a tag (a function's captured frame, a frame's parent, a closure's capture).
// Deleted dict entries and empty or dummy set slots are skipped.
template <class OnValue, class OnBlock>
void forEachReference(Obj* o, OnValue onValue, OnBlock onBlock) {
    switch (o->kind) {
    case value::TagList: {
        auto* l = reinterpret_cast<value::List*>(o);
        for (uint64_t i = 0; i < l->count; i++) onValue(l->items[i]);
        break;
    }
    case value::TagTuple: {
        auto* t = reinterpret_cast<value::Tuple*>(o);
        for (uint64_t i = 0; i < t->count; i++) onValue(t->items()[i]);
        break;
    }
    case value::TagDict: {
        auto* d = reinterpret_cast<value::Dict*>(o);
        for (uint64_t i = 0; i < d->used; i++) {
            value::DictEntry& e = d->entries[i];
            if (e.key.tag == value::TagDeleted) continue;
            onValue(e.key);
            onValue(e.value);
        }
        break;
    }
    case value::TagRecord: {
        auto* r = reinterpret_cast<value::Record*>(o);
        for (uint64_t i = 0; i < r->cls->fieldCount; i++) onValue(r->fields()[i]);
        break;
    }
    case value::TagSet: {
        auto* s = reinterpret_cast<value::Set*>(o);
        if (!s->table) break;
        for (uint64_t i = 0; i <= s->mask; i++) {
            Value& v = s->table[i].key;
            if (v.tag != value::TagDeleted && v.tag != value::TagUnset) onValue(v);
        }
        break;
    }
    case value::TagExc: {
        auto* e = reinterpret_cast<value::Exc*>(o);
        onValue(e->args);
        onValue(e->value);
        onValue(e->message);
        onValue(e->cause);
        break;
    }
    case value::TagFunction: {
        auto* f = reinterpret_cast<value::Function*>(o);
        if (f->frame) onBlock(reinterpret_cast<Obj*>(f->frame));
        break;
    }
    case value::TagClosure: {
        auto* c = reinterpret_cast<value::Closure*>(o);
        if (c->captured) onBlock(c->captured);
        break;
    }
    case value::KindFrame: {
        auto* f = reinterpret_cast<value::Frame*>(o);
        if (f->parent) onBlock(reinterpret_cast<Obj*>(f->parent));
        for (uint64_t i = 0; i < f->count; i++) onValue(f->slots()[i]);
        break;
    }
    default: break;
    }
}

// The block a value refers to when it can take part in a cycle, else null.
inline Obj* blockOf(const Value& v) { return cyclicTag(v.tag) ? v.as<Obj>() : nullptr; }

inline bool candidate(const Obj* o) {
    return o && !value::immortal(o) && (o->flags & value::FlagCandidate);
}

// The trial count of a candidate lives in the prev word of its link header while the working
// list is walked forward only.
inline int64_t trialCount(Obj* o) {
    int64_t n;
    std::memcpy(&n, &value::linkOf(o)->prev, sizeof n);
    return n;
}
inline void setTrialCount(Obj* o, int64_t n) { std::memcpy(&value::linkOf(o)->prev, &n, sizeof n); }

// A growable array from the C heap; push fails (remembered by the caller) when it can't grow.
template <class T>
struct Stack {
    T* items = nullptr;
    uint64_t count = 0;
    uint64_t capacity = 0;
    bool push(T item) {
        if (count == capacity) {
            uint64_t grown = capacity ? capacity * 2 : 256;
            auto* more = static_cast<T*>(std::realloc(items, grown * sizeof(T)));
            if (!more) return false;
            items = more;
            capacity = grown;
        }
        items[count++] = item;
        return true;
    }
    void release() {
        std::free(items);
        items = nullptr;
        count = capacity = 0;
    }
};

// A block pointer held without a tag, recorded among the outside references of garbage.
constexpr uint64_t kBlockMark = 0xfffffffeull;

// Whether a proxied block with no native reference left must stay: its proxy owns it or
// Python holds the proxy. Without the proxy layer every proxied block stays.
bool proxyKeeps(Obj* o) {
    if (!proxyInUse) return true;
    gil::ensure(gil::current());
    return proxyInUse(o);
}

// Marks the roots and everything reachable from them; false when the mark stack couldn't grow.
bool markReachable(Link* work, bool consultProxies) {
    Stack<Obj*> stack;
    bool ok = true;
    for (Link* l = work->next; l != work; l = l->next) {
        Obj* o = value::objOf(l);
        bool root = trialCount(o) > 0;
        if (!root && (o->flags & value::FlagProxy)) root = !consultProxies || proxyKeeps(o);
        if (!root) continue;
        o->flags |= value::FlagReachable;
        if (!stack.push(o)) ok = false;
    }
    auto reach = [&](Obj* target) {
        if (!candidate(target) || (target->flags & value::FlagReachable)) return;
        target->flags |= value::FlagReachable;
        if (!stack.push(target)) ok = false;
    };
    while (stack.count) {
        Obj* o = stack.items[--stack.count];
        forEachReference(o, [&](Value& v) { reach(blockOf(v)); }, reach);
    }
    stack.release();
    return ok;
}

// Records every value and untagged block that garbage block o holds and that is not garbage
// itself; false when the record list couldn't grow.
bool gatherOutside(Obj* o, Stack<Value>* outside) {
    bool ok = true;
    auto keepValue = [&](Value& v) {
        Obj* target = blockOf(v);
        if (target && (target->flags & value::FlagGarbage) && !value::immortal(target)) return;
        if (ok && !outside->push(v)) ok = false;
    };
    auto keepBlock = [&](Obj* target) {
        if ((target->flags & value::FlagGarbage) && !value::immortal(target)) return;
        if (ok && !outside->push(Value{kBlockMark, uint64_t(uintptr_t(target))})) ok = false;
    };
    forEachReference(o, keepValue, keepBlock);
    if (o->kind == value::TagFunction) {
        // A function's name is a str, which the walk above leaves out; it is still released.
        auto* f = reinterpret_cast<value::Function*>(o);
        if (f->name && ok && !outside->push(Value::of(value::TagStr, f->name))) ok = false;
    }
    return ok;
}

void releaseOutside(const Value& v) {
    if (v.tag != kBlockMark) {
        value::decref(v);
        return;
    }
    value::releaseCaptured(v.as<Obj>());
}

void adoptOrphans(State* s) {
    orphans_lock.lock();
    if (orphans.next) {
        for (Link* l = orphans.next; l != &orphans; l = l->next)
            value::objOf(l)->flags &= ~value::FlagOrphan;
        splice(&s->old, &orphans);
    }
    orphans_lock.unlock();
}

// Candidates of the working list: immortal blocks leave the lists for good; the rest are
// marked and counted.
uint64_t markCandidates(Link* work) {
    uint64_t n = 0;
    for (Link* l = work->next; l != work;) {
        Link* next = l->next;
        Obj* o = value::objOf(l);
        if (value::immortal(o)) {
            unlink(l);
        } else {
            o->flags |= value::FlagCandidate;
            n++;
        }
        l = next;
    }
    return n;
}

void subtractInternal(Link* work) {
    for (Link* l = work->next; l != work; l = l->next)
        setTrialCount(value::objOf(l), int64_t(value::objOf(l)->count));
    auto drop = [](Obj* target) {
        if (candidate(target)) setTrialCount(target, trialCount(target) - 1);
    };
    for (Link* l = work->next; l != work; l = l->next)
        forEachReference(value::objOf(l), [&](Value& v) { drop(blockOf(v)); }, drop);
}

void restorePrev(Link* head) {
    Link* prev = head;
    for (Link* l = head->next; l != head; l = l->next) {
        l->prev = prev;
        prev = l;
    }
    head->prev = prev;
}

// Frees the garbage list: memory first, then what it held outside itself. Answers how many
// blocks were freed, or 0 when the record list couldn't grow (the garbage then survives).
uint64_t freeGarbage(State* s, Link* garbage) {
    Stack<Value> outside;
    uint64_t n = 0;
    for (Link* l = garbage->next; l != garbage; l = l->next) {
        n++;
        if (gatherOutside(value::objOf(l), &outside)) continue;
        for (Link* g = garbage->next; g != garbage; g = g->next)
            value::objOf(g)->flags &=
                ~(value::FlagGarbage | value::FlagReachable | value::FlagCandidate);
        splice(&s->old, garbage);
        outside.release();
        return 0;
    }
    while (garbage->next != garbage) {
        Link* l = garbage->next;
        unlink(l);
        Obj* o = value::objOf(l);
        if ((o->flags & value::FlagProxy) && value::services.proxyReleased) {
            gil::Record* r = gil::enter();
            value::services.proxyReleased(o);
            gil::leave(r);
        }
        value::freeBlock(o);
    }
    for (uint64_t i = 0; i < outside.count; i++) releaseOutside(outside.items[i]);
    outside.release();
    return n;
}

}  // namespace

ProxyInUse proxyInUse = nullptr;

uint64_t collect(State* s, bool full, bool consultProxies) {
    if (s->collecting) return 0;
    setUp(s);
    s->collecting = 1;
    if (full) adoptOrphans(s);
    Link work;
    setUpHead(&work);
    splice(&work, &s->young);
    if (full) {
        splice(&work, &s->old);
        s->oldCount = 0;
    }
    s->youngCount = 0;
    uint64_t candidates = markCandidates(&work);
    bool marked = true;
    if (work.next != &work) {
        subtractInternal(&work);
        marked = markReachable(&work, consultProxies);
        restorePrev(&work);
    }
    Link garbage;
    setUpHead(&garbage);
    uint64_t garbageCount = 0;
    for (Link* l = work.next; l != &work;) {
        Link* next = l->next;
        Obj* o = value::objOf(l);
        if (!marked || (o->flags & value::FlagReachable)) {
            o->flags &= ~(value::FlagReachable | value::FlagCandidate);
        } else {
            l->prev->next = l->next;
            l->next->prev = l->prev;
            append(&garbage, l);
            o->flags |= value::FlagGarbage;
            garbageCount++;
        }
        l = next;
    }
    s->oldCount += candidates - garbageCount;
    splice(&s->old, &work);
    if (full) s->oldAtFull = s->oldCount;
    uint64_t freed = garbageCount ? freeGarbage(s, &garbage) : 0;
    s->collecting = 0;
    return freed;
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
