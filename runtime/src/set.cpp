// The set table (see set.h) and the hashing globals, which the module's start-up fills
// (host::setupStrHashing).
#include "wuna/runtime/set.h"

#include <cstdlib>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna::set {

int64_t noneHash = 0;
uint8_t hashKey[16] = {};
uint8_t sip_rounds = 0;

namespace {

using value::Set;
using value::SetSlot;
using value::TagDeleted;
using value::TagUnset;
using value::Value;

// Tables up to this many slots come from the pool, larger ones from the C heap.
constexpr uint64_t kPooledSlots = 16;

SetSlot* newTable(uint64_t size) {
    if (size > SIZE_MAX / sizeof(SetSlot)) return nullptr;
    size_t bytes = size_t(size) * sizeof(SetSlot);
    auto* table =
        static_cast<SetSlot*>(size <= kPooledSlots ? pool::take(bytes) : std::malloc(bytes));
    if (!table) return nullptr;
    for (uint64_t i = 0; i < size; i++) table[i] = SetSlot{Value{TagUnset, 0}, 0};
    return table;
}

void giveTable(SetSlot* table, uint64_t size) {
    if (size <= kPooledSlots)
        pool::give(table, size_t(size) * sizeof(SetSlot));
    else
        std::free(table);
}

inline bool live(const SetSlot& slot) {
    return slot.key.tag != TagUnset && slot.key.tag != TagDeleted;
}

inline bool sameWords(Value a, Value b) { return a.tag == b.tag && a.payload == b.payload; }

// The interpreter's probe sequence: from h & mask, each stop looks at its slot and, when
// they fit before the end of the table, the nine after it; then a perturbed jump. visit(slot)
// answers true to stop the walk; the slot it stopped at is returned.
template <class Visit>
SetSlot* probe(Set* s, int64_t h, Visit visit) {
    uint64_t mask = s->mask;
    uint64_t perturb = uint64_t(h);
    uint64_t i = uint64_t(h) & mask;
    for (;;) {
        SetSlot* slot = &s->table[i];
        int probes = i + kLinearProbes <= mask ? kLinearProbes : 0;
        for (int k = 0; k <= probes; k++, slot++)
            if (visit(slot)) return slot;
        perturb >>= kPerturbShift;
        i = (i * 5 + 1 + perturb) & mask;
    }
}

enum class Match { no, yes, restart };

// Whether a key stored under h in slot is the value v: the same words first, then Python's
// == (which may note a failure). Python's == may run any code, even code that changes this
// set: the key is held while it runs, and when the table or the slot changed meanwhile the
// walk starts again, as the interpreter's own set does.
Match matches(Set* s, SetSlot* slot, Value v, int64_t h) {
    if (slot->hash != h) return Match::no;
    if (sameWords(slot->key, v)) return Match::yes;
    Value held = slot->key;
    SetSlot* table = s->table;
    uint64_t mask = s->mask;
    value::incref(held);
    bool equal = value::equal(held, v);
    bool moved = s->table != table || s->mask != mask || !sameWords(slot->key, held);
    value::decref(held);
    if (moved) return Match::restart;
    return equal ? Match::yes : Match::no;
}

// The slot holding an element equal to v, or null.
SetSlot* findSlot(Set* s, Value v, int64_t h) {
    for (;;) {
        Match found = Match::no;
        SetSlot* stop = probe(s, h, [&](SetSlot* slot) {
            if (slot->key.tag == TagUnset) return true;
            if (slot->key.tag == TagDeleted) return false;
            found = matches(s, slot, v, h);
            return found != Match::no;
        });
        if (found != Match::restart) return found == Match::yes ? stop : nullptr;
    }
}

bool lookup(Set* s, Value v, int64_t h) { return findSlot(s, v, h) != nullptr; }

}  // namespace

Set* make() {
    gc::State* state = gc::threadRecord();
    if (gc::due(state)) gc::prepare(state);
    auto* link = static_cast<gc::Link*>(pool::take(sizeof(gc::Link) + sizeof(Set)));
    if (!link) return nullptr;
    Set* s = reinterpret_cast<Set*>(value::objOf(link));
    s->h.count = 1;
    s->h.kind = uint32_t(value::TagSet);
    s->h.flags = 0;
    s->fill = 0;
    s->used = 0;
    s->mask = kMinSize - 1;
    s->finger = 0;
    s->table = nullptr;
    gc::track(state, link);
    s->table = newTable(kMinSize);
    if (!s->table) {
        // freeBlock takes the block off the young list and gives it back; no table to give.
        value::freeBlock(&s->h);
        return nullptr;
    }
    return s;
}

Set* withTable(uint64_t size) {
    Set* s = make();
    if (!s || size == kMinSize) return s;
    SetSlot* table = newTable(size);
    if (!table) {
        value::decref(value::TagSet, uint64_t(uintptr_t(s)));
        return nullptr;
    }
    giveTable(s->table, s->mask + 1);
    s->table = table;
    s->mask = size - 1;
    return s;
}

bool resize(Set* s, uint64_t minUsed) {
    uint64_t size = kMinSize;
    while (size <= minUsed) {
        if (size > (UINT64_MAX >> 1)) return false;
        size <<= 1;
    }
    SetSlot* table = newTable(size);
    if (!table) return false;
    uint64_t mask = size - 1;
    Set rebuilt = *s;
    rebuilt.table = table;
    rebuilt.mask = mask;
    // The new table has no dummies and no equal keys: each key goes to the first empty slot
    // of its walk, in the old table's order, without comparisons.
    for (uint64_t i = 0; i <= s->mask; i++) {
        const SetSlot& old = s->table[i];
        if (!live(old)) continue;
        SetSlot* free =
            probe(&rebuilt, old.hash, [](SetSlot* slot) { return slot->key.tag == TagUnset; });
        *free = old;
    }
    giveTable(s->table, s->mask + 1);
    s->table = table;
    s->mask = mask;
    s->fill = s->used;
    return true;
}

bool addHashed(Set* s, Value key, int64_t h) {
    SetSlot* freeSlot;
    bool present;
    SetSlot* stop;
    Match found;
    do {
        freeSlot = nullptr;
        present = false;
        found = Match::no;
        stop = probe(s, h, [&](SetSlot* slot) {
            if (slot->key.tag == TagUnset) return true;
            if (slot->key.tag == TagDeleted) {
                freeSlot = slot;
                return false;
            }
            found = matches(s, slot, key, h);
            present = found == Match::yes;
            return found != Match::no;
        });
    } while (found == Match::restart);
    if (present) return true;
    value::incref(key);
    if (freeSlot) {
        *freeSlot = SetSlot{key, h};
        s->used++;
        return true;
    }
    *stop = SetSlot{key, h};
    s->fill++;
    s->used++;
    if (s->fill * 5 < s->mask * 3) return true;
    return resize(s, s->used > 50000 ? s->used * 2 : s->used * 4);
}

bool contains(Set* s, Value v) { return lookup(s, v, elementHash(v)); }

bool isSubset(Set* a, Set* b) {
    if (a->used > b->used) return false;
    for (uint64_t i = 0; i <= a->mask; i++) {
        const SetSlot& slot = a->table[i];
        if (!live(slot)) continue;
        if (!lookup(b, slot.key, elementHash(slot.key))) return false;
    }
    return true;
}

// ---- Set algebra ---------------------------------------------------------------------------

namespace {

// The elements of a table, in table order; visit(slot) answers false to stop (the walk then
// answers false too).
template <class Visit>
bool eachLive(Set* s, Visit visit) {
    for (uint64_t i = 0; i <= s->mask; i++)
        if (live(s->table[i]) && !visit(s->table[i])) return false;
    return true;
}

// Resizes dummies away once they are more than a quarter of the table, as a difference does.
bool shedDummies(Set* s) {
    if (s->fill - s->used <= s->mask / 4) return true;
    return resize(s, s->used > 50000 ? s->used * 2 : s->used * 4);
}

// Exchanges the tables of two sets (never their headers, nor the pop fingers: the
// interpreter's swap leaves each set's finger where it was), as an in-place intersection
// takes its result's table.
}  // namespace

void swapTables(Set* a, Set* b) {
    Set t = *a;
    a->fill = b->fill;
    a->used = b->used;
    a->mask = b->mask;
    a->table = b->table;
    b->fill = t.fill;
    b->used = t.used;
    b->mask = t.mask;
    b->table = t.table;
}

namespace {

}  // namespace

bool discardHashed(Set* s, Value v, int64_t h) {
    SetSlot* found = findSlot(s, v, h);
    if (!found) return false;
    Value old = found->key;
    *found = SetSlot{Value{TagDeleted, 0}, -1};
    s->used--;
    // Released once the table is consistent: what the release sets off sees a valid set.
    value::decref(old);
    return true;
}

bool clear(Set* s) {
    SetSlot* table = newTable(kMinSize);
    if (!table) return false;
    SetSlot* old = s->table;
    uint64_t oldMask = s->mask;
    s->table = table;
    s->mask = kMinSize - 1;
    s->fill = 0;
    s->used = 0;
    for (uint64_t i = 0; i <= oldMask; i++)
        if (live(old[i])) value::decref(old[i].key);
    giveTable(old, oldMask + 1);
    return true;
}

bool merge(Set* s, Set* other) {
    if (s == other || other->used == 0) return true;
    if ((s->fill + other->used) * 5 >= s->mask * 3 && !resize(s, (s->used + other->used) * 2))
        return false;
    // An empty table of the other's size, with no dummies to drop there: the same slots.
    if (s->fill == 0 && s->mask == other->mask && other->fill == other->used) {
        for (uint64_t i = 0; i <= other->mask; i++) {
            if (!live(other->table[i])) continue;
            value::incref(other->table[i].key);
            s->table[i] = other->table[i];
        }
        s->fill = other->fill;
        s->used = other->used;
        return true;
    }
    // An empty table: each key to the first free slot of its walk, no comparisons.
    if (s->fill == 0) {
        eachLive(other, [&](const SetSlot& slot) {
            SetSlot* free = probe(s, slot.hash, [](SetSlot* x) { return x->key.tag == TagUnset; });
            value::incref(slot.key);
            *free = slot;
            return true;
        });
        s->fill = other->used;
        s->used = other->used;
        return true;
    }
    return eachLive(other, [&](const SetSlot& slot) { return addHashed(s, slot.key, slot.hash); });
}

Set* copy(Set* s) {
    Set* result = make();
    if (result && !merge(result, s)) {
        value::decref(value::TagSet, uint64_t(uintptr_t(result)));
        return nullptr;
    }
    return result;
}

bool differenceUpdate(Set* s, Set* other) {
    if (s == other) return clear(s);
    // A much larger other set is first cut down to the common elements.
    Set* walked = other;
    if ((other->used >> 3) > s->used) {
        walked = intersection(s, other);
        if (!walked) return false;
    }
    // A key stays alive while it is discarded even when the walked set is the target's own.
    eachLive(walked, [&](const SetSlot& slot) {
        discardHashed(s, slot.key, slot.hash);
        return true;
    });
    if (walked != other) value::decref(value::TagSet, uint64_t(uintptr_t(walked)));
    return shedDummies(s);
}

Set* difference(Set* a, Set* b) {
    // Much larger than the other: a copy with the common elements taken out.
    if ((a->used >> 2) > b->used) {
        Set* result = copy(a);
        if (result && !differenceUpdate(result, b)) {
            value::decref(value::TagSet, uint64_t(uintptr_t(result)));
            return nullptr;
        }
        return result;
    }
    Set* result = make();
    if (!result) return nullptr;
    bool ok = eachLive(a, [&](const SetSlot& slot) {
        return lookup(b, slot.key, slot.hash) || addHashed(result, slot.key, slot.hash);
    });
    if (ok) return result;
    value::decref(value::TagSet, uint64_t(uintptr_t(result)));
    return nullptr;
}

Set* intersection(Set* a, Set* b) {
    if (a == b) return copy(a);
    Set* result = make();
    if (!result) return nullptr;
    // The smaller set is walked, and its elements are the ones kept.
    Set* big = a;
    Set* small = b;
    if (b->used > a->used) {
        big = b;
        small = a;
    }
    bool ok = eachLive(small, [&](const SetSlot& slot) {
        return !lookup(big, slot.key, slot.hash) || addHashed(result, slot.key, slot.hash);
    });
    if (ok) return result;
    value::decref(value::TagSet, uint64_t(uintptr_t(result)));
    return nullptr;
}

bool intersectionUpdate(Set* s, Set* other) {
    Set* result = intersection(s, other);
    if (!result) return false;
    swapTables(s, result);
    value::decref(value::TagSet, uint64_t(uintptr_t(result)));
    return true;
}

bool symmetricUpdate(Set* s, Set* other) {
    if (s == other) return clear(s);
    return eachLive(other, [&](const SetSlot& slot) {
        // The key is the other set's: it lives on while the target discards its equal.
        return discardHashed(s, slot.key, slot.hash) || addHashed(s, slot.key, slot.hash);
    });
}

Set* symmetricDifference(Set* a, Set* b) {
    Set* result = copy(b);
    if (result && !symmetricUpdate(result, a)) {
        value::decref(value::TagSet, uint64_t(uintptr_t(result)));
        return nullptr;
    }
    return result;
}

Set* intersectionItems(Set* s, const Value* items, uint64_t n) {
    Set* result = make();
    if (!result) return nullptr;
    for (uint64_t i = 0; i < n; i++) {
        int64_t h = elementHash(items[i]);
        // The item itself is kept, not the set's equal element.
        if (lookup(s, items[i], h) && !addHashed(result, items[i], h)) {
            value::decref(value::TagSet, uint64_t(uintptr_t(result)));
            return nullptr;
        }
    }
    return result;
}

bool intersectionUpdateItems(Set* s, const Value* items, uint64_t n) {
    Set* result = intersectionItems(s, items, n);
    if (!result) return false;
    swapTables(s, result);
    value::decref(value::TagSet, uint64_t(uintptr_t(result)));
    return true;
}

bool differenceUpdateItems(Set* s, const Value* items, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) discardHashed(s, items[i], elementHash(items[i]));
    return shedDummies(s);
}

void freeTable(Set* s) {
    giveTable(s->table, s->mask + 1);
    s->table = nullptr;
}

}  // namespace wuna::set
