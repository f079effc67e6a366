// The crossings tally (see crossings.h).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/helpers/crossings.h"

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/value.h"

namespace wuna::bridge {

namespace {

struct Entry {
    char* text;  // owned; null: a free slot
    size_t length;
    uint64_t hash;
    uint64_t count;
};

struct Tally {
    Entry* slots;
    uint64_t mask;  // slots - 1; meaningless while slots is null
    uint64_t used;
};

Tally tally;

uint64_t textHash(const char* text, size_t length) {
    uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
    for (size_t i = 0; i < length; i++) h = (h ^ uint8_t(text[i])) * 0x100000001b3ull;
    return h;
}

Entry* find(const char* text, size_t length, uint64_t hash) {
    if (!tally.slots) return nullptr;
    for (uint64_t i = hash & tally.mask;; i = (i + 1) & tally.mask) {
        Entry& e = tally.slots[i];
        if (!e.text) return nullptr;
        if (e.hash == hash && e.length == length && memcmp(e.text, text, length) == 0) return &e;
    }
}

// Puts a complete entry into a table with room.
void place(Entry* slots, uint64_t mask, const Entry& entry) {
    uint64_t i = entry.hash & mask;
    while (slots[i].text) i = (i + 1) & mask;
    slots[i] = entry;
}

// Room for one more entry under 80% load. False: the map could not grow (it is unchanged).
bool roomForOne() {
    uint64_t capacity = tally.slots ? tally.mask + 1 : 0;
    if (tally.slots && (tally.used + 1) * 5 <= capacity * 4) return true;
    uint64_t grown = capacity ? capacity * 2 : 32;
    auto* slots = static_cast<Entry*>(calloc(grown, sizeof(Entry)));
    if (!slots) return false;
    for (uint64_t i = 0; i < capacity; i++)
        if (tally.slots[i].text) place(slots, grown - 1, tally.slots[i]);
    free(tally.slots);
    tally.slots = slots;
    tally.mask = grown - 1;
    return true;
}

}  // namespace

bool countingCrossings() { return gil::current()->report != 0; }

void countCrossing(const char* text, size_t length) {
    if (!countingCrossings() || length > kCrossingText) return;
    uint64_t hash = textHash(text, length);
    if (Entry* e = find(text, length, hash)) {
        e->count++;
        return;
    }
    // The entry's own copy is made first: an entry is never left pointing at the caller's
    // buffer, whatever fails after.
    char* copy = static_cast<char*>(malloc(length ? length : 1));
    if (!copy) return;
    memcpy(copy, text, length);
    if (!roomForOne()) {
        free(copy);
        return;
    }
    place(tally.slots, tally.mask, Entry{copy, length, hash, 1});
    tally.used++;
}

void countCrossingOf(const char* const* pieces, const size_t* lengths, size_t count) {
    if (!countingCrossings()) return;
    char text[kCrossingText];
    size_t length = 0;
    for (size_t i = 0; i < count; i++) {
        if (lengths[i] > sizeof text - length) return;  // does not fit: not counted
        memcpy(text + length, pieces[i], lengths[i]);
        length += lengths[i];
    }
    countCrossing(text, length);
}

uint64_t crossingCount(const char* text, size_t length) {
    Entry* e = find(text, length, textHash(text, length));
    return e ? e->count : 0;
}

void clearCrossings() {
    for (uint64_t i = 0; tally.slots && i <= tally.mask; i++) free(tally.slots[i].text);
    free(tally.slots);
    tally = Tally{};
}

PyObject* takeCrossings() {
    PyObject* dict = PyDict_New();
    for (uint64_t i = 0; dict && tally.slots && i <= tally.mask; i++) {
        const Entry& e = tally.slots[i];
        if (!e.text) continue;
        PyObject* key = PyUnicode_DecodeUTF8(e.text, Py_ssize_t(e.length), "replace");
        PyObject* count = key ? PyLong_FromUnsignedLongLong(e.count) : nullptr;
        if (!count || PyDict_SetItem(dict, key, count) < 0) Py_CLEAR(dict);
        Py_XDECREF(key);
        Py_XDECREF(count);
    }
    if (dict) clearCrossings();
    return dict;
}

}  // namespace wuna::bridge

namespace wuna::helpers {

NameText typeNameOf(value::Value v, char (&buffer)[kTypeNameMax]) {
    if (v.tag != value::TagPy) {
        std::string_view name = value::typeName(v);
        return {name.data(), name.size()};
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(v.as<PyObject>()));
    PyObject* name = PyObject_GetAttrString(type, "__name__");
    Py_ssize_t length = 0;
    const char* text = name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length)
                                                     : nullptr;
    if (!text) {
        PyErr_Clear();
        Py_XDECREF(name);
        return {"?", 1};
    }
    size_t kept = size_t(length) < kTypeNameMax ? size_t(length) : kTypeNameMax;
    memcpy(buffer, text, kept);
    Py_DECREF(name);
    return {buffer, kept};
}

}  // namespace wuna::helpers
