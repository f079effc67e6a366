// The crossings tally: how often a run's compiled code went through Python, per kind of place.
//
// A run with report=True counts each crossing under a short text naming the place ("call
// host function", "py_semantic", ...); Program.report() shows the counts. The tally and its
// report flag belong to the run (its RunRecord), not to the process: runs on other threads
// (Program.map workers, concurrent programs) count in their own tallies, so none sees or
// drains another's counts. Each text is composed in a 128-byte buffer (TallyText); a text
// that does not fit is not counted. An entry owns a copy of its text made before the entry
// is inserted, so an entry never points at a caller's buffer.
//
// A tally is touched only by its run's thread, with the interpreter lock held (the texts
// come from Python objects).
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"

namespace wuna::bridge {

struct TallyEntry {
    char* text;  // owned (C heap); null: a free slot
    uint64_t length;
    uint64_t count;
};

struct Tally {
    TallyEntry* slots;
    uint64_t capacity;  // a power of two, or 0
    uint64_t used;
};

inline constexpr size_t kTallyText = 128;

// A text composed piece by piece in the fixed buffer; once a piece does not fit the text is
// spoilt and counts nothing.
struct TallyText {
    char text[kTallyText];
    size_t length = 0;
    bool spoilt = false;
    void add(const char* piece, size_t n);
    void add(const char* piece);
};

// Whether the run counts its crossings. Cannot fail.
bool reporting(const helpers::Ctx* ctx);

// One more crossing under the text, when the run reports. Cannot fail: a text that cannot be
// stored is not counted.
void countCrossing(helpers::Ctx* ctx, const TallyText& text);

// The count of the text, 0 when absent. Cannot fail.
uint64_t tallyCount(const Tally* tally, const char* text, size_t length);

// The tally as a new dict {text: count} (texts decoded with "replace"), and the tally
// emptied. New reference, or null with the Python exception (the tally is left as it was).
[[nodiscard]] PyObject* takeTally(Tally* tally);

// Frees every entry and the table. Cannot fail.
void freeTally(Tally* tally);

}  // namespace wuna::bridge
