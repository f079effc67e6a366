// A map keyed by an object's identity (its address), for the host's tables of Python
// objects: a language's front cache and why map, the process-wide grammar tables.
//
// Open addressing with linear probing over a power-of-two slot array taken from the C heap;
// a null key marks a free slot. The table grows (doubling) before an insertion would put more
// than 80% of its slots in use, and a failed growth is reported, never thrown: callers turn
// it into MemoryError. Entries are never removed one by one; the whole map is freed at once.
// What a key or value owns is the caller's business (forEach lets it release them first).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "host/support/check.h"

namespace wuna::idmap {

template <typename V>
struct IdMap {
    struct Slot {
        const void* key;
        V value;
    };
    Slot* slots = nullptr;
    size_t capacity = 0;  // a power of two, or 0
    size_t used = 0;

    static size_t hashOf(const void* key) {
        uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(key)) * 0x9e3779b97f4a7c15ull;
        return size_t(h ^ (h >> 29));
    }

    // The slot holding key, or null.
    Slot* findSlot(const void* key) const {
        if (!capacity) return nullptr;
        // The masks need a power of two, and the probe ends only at a free slot.
        WUNA_CHECK((capacity & (capacity - 1)) == 0 && used < capacity);
        size_t mask = capacity - 1;
        for (size_t i = hashOf(key) & mask;; i = (i + 1) & mask) {
            if (slots[i].key == key) return &slots[i];
            if (!slots[i].key) return nullptr;
        }
    }

    V* find(const void* key) const {
        Slot* slot = findSlot(key);
        return slot ? &slot->value : nullptr;
    }

    // Inserts key or replaces its value. False when the table could not grow (then nothing
    // changed, unless the key was already there: its value is replaced all the same).
    bool put(const void* key, V value) {
        if (Slot* slot = findSlot(key)) {
            slot->value = value;
            return true;
        }
        if ((used + 1) * 5 > capacity * 4 && !grow()) return false;
        size_t mask = capacity - 1;
        size_t i = hashOf(key) & mask;
        while (slots[i].key) i = (i + 1) & mask;
        slots[i].key = key;
        slots[i].value = value;
        used++;
        return true;
    }

    template <typename F>
    void forEach(F f) const {
        for (size_t i = 0; i < capacity; i++)
            if (slots[i].key) f(slots[i].key, slots[i].value);
    }

    // Frees the slot array and leaves the map empty.
    void clear() {
        free(slots);
        slots = nullptr;
        capacity = 0;
        used = 0;
    }

private:
    bool grow() {
        size_t bigger = capacity ? capacity * 2 : 16;
        Slot* fresh = static_cast<Slot*>(calloc(bigger, sizeof(Slot)));
        if (!fresh) return false;
        for (size_t i = 0; i < capacity; i++) {
            if (!slots[i].key) continue;
            size_t j = hashOf(slots[i].key) & (bigger - 1);
            while (fresh[j].key) j = (j + 1) & (bigger - 1);
            fresh[j] = slots[i];
        }
        free(slots);
        slots = fresh;
        capacity = bigger;
        return true;
    }
};

}  // namespace wuna::idmap
