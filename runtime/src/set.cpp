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

bool lookup(Set* s, Value v, int64_t h) {
    for (;;) {
        Match found = Match::no;
        probe(s, h, [&](SetSlot* slot) {
            if (slot->key.tag == TagUnset) return true;
            if (slot->key.tag == TagDeleted) return false;
            found = matches(s, slot, v, h);
            return found != Match::no;
        });
        if (found != Match::restart) return found == Match::yes;
    }
}

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

bool merge(Set* s, Set* other) {
    if (other == s || other->used == 0) return true;
    if ((s->fill + other->used) * 5 >= s->mask * 3 && !resize(s, (s->used + other->used) * 2))
        return false;
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
    if (s->fill == 0) {
        // No equal keys can meet in an empty table: each goes to the first empty slot of its
        // walk, in other's order.
        for (uint64_t i = 0; i <= other->mask; i++) {
            const SetSlot& slot = other->table[i];
            if (!live(slot)) continue;
            SetSlot* free =
                probe(s, slot.hash, [](SetSlot* at) { return at->key.tag == TagUnset; });
            value::incref(slot.key);
            *free = slot;
        }
        s->fill = s->used = other->used;
        return true;
    }
    for (uint64_t i = 0; i <= other->mask; i++) {
        const SetSlot& slot = other->table[i];
        if (live(slot) && !addHashed(s, slot.key, slot.hash)) return false;
    }
    return true;
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

void freeTable(Set* s) {
    giveTable(s->table, s->mask + 1);
    s->table = nullptr;
}

}  // namespace wuna::set
