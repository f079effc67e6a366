// A map from u32 keys (symbol or node indexes) to owned Python references, for a frame's
// variables and a program's declared-type cache.
//
// Open addressing with linear probing over a power-of-two slot array from the C heap; a slot
// with a null value is free. Entries are never removed one by one: the map grows (doubling)
// before it would be more than half full, can be emptied while keeping its storage (the
// collector's clear of a frame), and is freed as a whole. A failed growth is reported, never
// thrown; the caller turns it into MemoryError.
#pragma once
#include "host/support/python.h"

#include <cstdint>
#include <cstdlib>

#include "host/support/check.h"

namespace wuna::host {

struct U32Map {
    struct Slot {
        uint32_t key;
        PyObject* value;  // owned; null: free
    };
    Slot* slots = nullptr;
    uint32_t capacity = 0;  // a power of two, or 0
    uint32_t used = 0;

    static uint32_t hashOf(uint32_t key) { return (key * 0x9e3779b1u) ^ (key >> 16); }

    // The value under key (borrowed), or null.
    PyObject* find(uint32_t key) const {
        if (!capacity) return nullptr;
        // The masks need a power of two, and the probe ends only at a free slot.
        WUNA_CHECK((capacity & (capacity - 1)) == 0 && used < capacity);
        for (uint32_t i = hashOf(key) & (capacity - 1);; i = (i + 1) & (capacity - 1)) {
            if (!slots[i].value) return nullptr;
            if (slots[i].key == key) return slots[i].value;
        }
    }

    // Stores a new reference to value under key, dropping the one it replaces. False when
    // the map could not grow (nothing changed).
    bool put(uint32_t key, PyObject* value) {
        if ((used + 1) * 2 > capacity && !grow()) return false;
        for (uint32_t i = hashOf(key) & (capacity - 1);; i = (i + 1) & (capacity - 1)) {
            Slot& slot = slots[i];
            if (slot.value && slot.key != key) continue;
            PyObject* old = slot.value;
            slot.key = key;
            slot.value = Py_NewRef(value);
            if (old)
                Py_DECREF(old);
            else
                used++;
            return true;
        }
    }

    template <typename F>
    void forEach(F f) const {
        for (uint32_t i = 0; i < capacity; i++)
            if (slots[i].value) f(slots[i].key, slots[i].value);
    }

    // Drops every value and keeps the storage. The storage is taken out first, since
    // dropping a value may run code that uses the map; it is given back when that code left
    // the map unused.
    void empty() {
        Slot* taken = slots;
        uint32_t count = capacity;
        slots = nullptr;
        capacity = used = 0;
        for (uint32_t i = 0; i < count; i++) {
            PyObject* value = taken[i].value;
            taken[i].value = nullptr;
            Py_XDECREF(value);
        }
        if (slots) {
            free(taken);
            return;
        }
        slots = taken;
        capacity = count;
    }

    // Drops every value and frees the storage.
    void release() {
        Slot* taken = slots;
        uint32_t count = capacity;
        slots = nullptr;
        capacity = used = 0;
        for (uint32_t i = 0; i < count; i++) Py_XDECREF(taken[i].value);
        free(taken);
    }

private:
    bool grow() {
        if (capacity >= (1u << 31)) return false;
        uint32_t bigger = capacity ? capacity * 2 : 8;
        Slot* fresh = static_cast<Slot*>(calloc(bigger, sizeof(Slot)));
        if (!fresh) return false;
        for (uint32_t i = 0; i < capacity; i++) {
            if (!slots[i].value) continue;
            uint32_t j = hashOf(slots[i].key) & (bigger - 1);
            while (fresh[j].value) j = (j + 1) & (bigger - 1);
            fresh[j] = slots[i];
        }
        free(slots);
        slots = fresh;
        capacity = bigger;
        return true;
    }
};

}  // namespace wuna::host
