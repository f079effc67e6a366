// The back end's growable arrays and hash maps: plain records on the C heap whose growth
// failure is a false result, never an exception, so that every caller can turn running out
// of memory into its own error code (58 in the compiler, MemoryError at the Python boundary).
//
// List<T> holds trivially copyable items; it grows to n + 1 + (n + 1) / 2 + extra items, the
// extra being the caller's (the module state's key list adds 4, its handle list 16).
//
// HashMap<K, V, Traits> is open addressing with linear probing over a power-of-two slot
// array, grown (doubling) before it would be more than half full. Removal shifts the
// following entries of a probe run back, so lookups never meet tombstones and a map that
// grows and shrinks (a compiler's function names across roll-backs) stays dense. Keys and
// values are copied in and out whole; what they point to is the caller's to own and free
// (forEach lets it do so before free()).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "host/support/check.h"

namespace wuna::backend {

template <typename T>
struct List {
    static_assert(std::is_trivially_copyable_v<T>);
    T* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    // Appends a copy of item; false when the array could not grow (nothing changed).
    bool push(const T& item, size_t extra = 4) {
        if (count == capacity) {
            size_t n = count;
            size_t bigger = n + 1 + (n + 1) / 2 + extra;
            if (bigger > SIZE_MAX / sizeof(T)) return false;
            T* grown = static_cast<T*>(realloc(items, bigger * sizeof(T)));
            if (!grown) return false;
            items = grown;
            capacity = bigger;
        }
        items[count++] = item;
        return true;
    }
    T& operator[](size_t i) { return items[i]; }
    const T& operator[](size_t i) const { return items[i]; }
    T& last() { return items[count - 1]; }
    // Keeps the first n items (n <= count).
    void cut(size_t n) { count = n; }
    void clear() { count = 0; }
    // Frees the storage; the items' own memory is the caller's.
    void free() {
        ::free(items);
        items = nullptr;
        count = capacity = 0;
    }
};

// A text key: data need not be NUL-terminated; its memory is the map owner's.
struct Text {
    const char* data;
    size_t length;
};

inline uint64_t mixBits(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

struct IntTraits {
    template <typename K>
    static uint64_t hash(K key) {
        return mixBits(uint64_t(key));
    }
    template <typename K>
    static bool equal(K a, K b) {
        return a == b;
    }
};

struct TextTraits {
    static uint64_t hash(Text key) {
        uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
        for (size_t i = 0; i < key.length; i++) h = (h ^ uint8_t(key.data[i])) * 0x100000001b3ull;
        return mixBits(h);
    }
    static bool equal(Text a, Text b) {
        return a.length == b.length && memcmp(a.data, b.data, a.length) == 0;
    }
};

// A 32-byte code key.
struct Key32 {
    uint8_t bytes[32];
};

struct Key32Traits {
    static uint64_t hash(const Key32& key) {
        uint64_t h;
        memcpy(&h, key.bytes, 8);  // a digest: any 8 of its bytes are well spread
        return mixBits(h);
    }
    static bool equal(const Key32& a, const Key32& b) { return memcmp(a.bytes, b.bytes, 32) == 0; }
};

template <typename K, typename V, typename Traits>
struct HashMap {
    struct Slot {
        K key;
        V value;
        uint8_t used;
    };
    Slot* slots = nullptr;
    size_t capacity = 0;  // a power of two, or 0
    size_t used = 0;

    V* find(const K& key) const {
        if (!capacity) return nullptr;
        // The masks need a power of two, and the probe ends only at a free slot.
        WUNA_CHECK((capacity & (capacity - 1)) == 0 && used < capacity);
        size_t mask = capacity - 1;
        for (size_t i = Traits::hash(key) & mask;; i = (i + 1) & mask) {
            if (!slots[i].used) return nullptr;
            if (Traits::equal(slots[i].key, key)) return &slots[i].value;
        }
    }

    // Stores value under key, replacing the value there (the key kept is the first one).
    // Null when the map could not grow (nothing changed); else the stored value, and
    // *replaced (when given) tells whether the key was there already.
    V* put(const K& key, const V& value, bool* replaced = nullptr) {
        if ((used + 1) * 2 > capacity && !grow()) {
            // A full table may still hold the key itself.
            V* there = find(key);
            if (there) {
                *there = value;
                if (replaced) *replaced = true;
            }
            return there;
        }
        size_t mask = capacity - 1;
        for (size_t i = Traits::hash(key) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots[i];
            if (slot.used && !Traits::equal(slot.key, key)) continue;
            if (replaced) *replaced = slot.used != 0;
            if (!slot.used) {
                slot.key = key;
                slot.used = 1;
                used++;
            }
            slot.value = value;
            return &slot.value;
        }
    }

    // Removes key; false when it was not there. *oldKey and *oldValue (when given) receive
    // what the map held, for the caller to free.
    bool remove(const K& key, K* oldKey = nullptr, V* oldValue = nullptr) {
        if (!capacity) return false;
        size_t mask = capacity - 1;
        size_t i = Traits::hash(key) & mask;
        for (;; i = (i + 1) & mask) {
            if (!slots[i].used) return false;
            if (Traits::equal(slots[i].key, key)) break;
        }
        if (oldKey) *oldKey = slots[i].key;
        if (oldValue) *oldValue = slots[i].value;
        // Backward shift: move later entries of the run into the hole when their home
        // position does not lie cyclically between the hole and themselves.
        size_t hole = i;
        for (size_t j = (i + 1) & mask; slots[j].used; j = (j + 1) & mask) {
            size_t home = Traits::hash(slots[j].key) & mask;
            bool between = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (between) continue;
            slots[hole] = slots[j];
            hole = j;
        }
        slots[hole].used = 0;
        used--;
        return true;
    }

    template <typename F>
    void forEach(F f) const {
        for (size_t i = 0; i < capacity; i++)
            if (slots[i].used) f(slots[i].key, slots[i].value);
    }

    // Forgets every entry and keeps the storage.
    void clear() {
        for (size_t i = 0; i < capacity; i++) slots[i].used = 0;
        used = 0;
    }

    void free() {
        ::free(slots);
        slots = nullptr;
        capacity = used = 0;
    }

private:
    bool grow() {
        if (capacity > (SIZE_MAX / sizeof(Slot)) / 2) return false;
        size_t bigger = capacity ? capacity * 2 : 16;
        Slot* fresh = static_cast<Slot*>(calloc(bigger, sizeof(Slot)));
        if (!fresh) return false;
        for (size_t i = 0; i < capacity; i++) {
            if (!slots[i].used) continue;
            size_t j = Traits::hash(slots[i].key) & (bigger - 1);
            while (fresh[j].used) j = (j + 1) & (bigger - 1);
            fresh[j] = slots[i];
        }
        ::free(slots);
        slots = fresh;
        capacity = bigger;
        return true;
    }
};

template <typename V>
using U32Map = HashMap<uint32_t, V, IntTraits>;
template <typename V>
using U64Map = HashMap<uint64_t, V, IntTraits>;
template <typename V>
using TextMap = HashMap<Text, V, TextTraits>;
template <typename V>
using KeyMap = HashMap<Key32, V, Key32Traits>;

// A set is a map whose values are one byte.
using U32Set = U32Map<uint8_t>;

// A copy of length bytes with a NUL after them, on the C heap; null when memory runs out.
inline char* copyText(const char* data, size_t length) {
    char* copy = static_cast<char*>(malloc(length + 1));
    if (!copy) return nullptr;
    memcpy(copy, data, length);
    copy[length] = 0;
    return copy;
}

}  // namespace wuna::backend
