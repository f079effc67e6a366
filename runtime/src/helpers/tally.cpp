// The crossings tally of a run (see tally.h).
#include "wuna/runtime/helpers/tally.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/wyhash.h"

namespace wuna::bridge {

namespace {

uint64_t hashText(const char* text, size_t length) { return wyhash::hash(text, length, 0); }

// The slot of the text, or the free slot where it goes; the table has room.
TallyEntry* slotOf(TallyEntry* slots, uint64_t capacity, const char* text, size_t length) {
    uint64_t mask = capacity - 1;
    for (uint64_t i = hashText(text, length) & mask;; i = (i + 1) & mask) {
        TallyEntry* e = &slots[i];
        if (!e->text) return e;
        if (e->length == length && std::memcmp(e->text, text, length) == 0) return e;
    }
}

// Room for one more entry (grown at 80% load); false when memory runs out.
bool makeRoom(Tally* t) {
    if (t->capacity && (t->used + 1) * 5 <= t->capacity * 4) return true;
    uint64_t capacity = t->capacity ? t->capacity * 2 : 16;
    auto* slots = static_cast<TallyEntry*>(std::calloc(capacity, sizeof(TallyEntry)));
    if (!slots) return false;
    for (uint64_t i = 0; i < t->capacity; i++) {
        TallyEntry& e = t->slots[i];
        if (e.text) *slotOf(slots, capacity, e.text, e.length) = e;
    }
    std::free(t->slots);
    t->slots = slots;
    t->capacity = capacity;
    return true;
}

}  // namespace

void TallyText::add(const char* piece, size_t n) {
    if (spoilt || n > kTallyText - length) {
        spoilt = true;
        return;
    }
    std::memcpy(text + length, piece, n);
    length += n;
}

void TallyText::add(const char* piece) { add(piece, std::strlen(piece)); }

bool reporting(const helpers::Ctx* ctx) {
    return ctx->run && ctx->run->report && ctx->run->tally;
}

void countCrossing(helpers::Ctx* ctx, const TallyText& text) {
    if (!reporting(ctx) || text.spoilt) return;
    Tally* t = ctx->run->tally;
    if (t->capacity) {
        TallyEntry* e = slotOf(t->slots, t->capacity, text.text, text.length);
        if (e->text) {
            e->count++;
            return;
        }
    }
    // The copy is made before the entry exists: a failed copy leaves the tally as it was.
    auto* copy = static_cast<char*>(std::malloc(text.length ? text.length : 1));
    if (!copy) return;
    std::memcpy(copy, text.text, text.length);
    if (!makeRoom(t)) {
        std::free(copy);
        return;
    }
    TallyEntry* e = slotOf(t->slots, t->capacity, text.text, text.length);
    *e = {copy, text.length, 1};
    t->used++;
}

uint64_t tallyCount(const Tally* tally, const char* text, size_t length) {
    if (!tally->capacity) return 0;
    TallyEntry* e = slotOf(tally->slots, tally->capacity, text, length);
    return e->text ? e->count : 0;
}

PyObject* takeTally(Tally* tally) {
    PyObject* dict = PyDict_New();
    for (uint64_t i = 0; dict && i < tally->capacity; i++) {
        TallyEntry& e = tally->slots[i];
        if (!e.text) continue;
        PyObject* key = PyUnicode_DecodeUTF8(e.text, Py_ssize_t(e.length), "replace");
        PyObject* count = key ? PyLong_FromUnsignedLongLong(e.count) : nullptr;
        if (!count || PyDict_SetItem(dict, key, count) < 0) Py_CLEAR(dict);
        Py_XDECREF(key);
        Py_XDECREF(count);
    }
    if (dict) freeTally(tally);
    return dict;
}

void freeTally(Tally* tally) {
    for (uint64_t i = 0; i < tally->capacity; i++) std::free(tally->slots[i].text);
    std::free(tally->slots);
    *tally = {};
}

}  // namespace wuna::bridge
