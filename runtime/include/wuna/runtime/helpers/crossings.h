// The crossings tally: how often a run's compiled code handed an operation to Python, by
// what was handed ("binary int add str", "compare list lt int", "items object" ...), for
// Program.report().
//
// The tally belongs to the run: its helper context points at it while the run's report is
// on and is null otherwise, so that a run counts only its own hand-overs and runs on other
// threads never drain or grow each other's counts. Counting never fails a run: when the tally
// cannot grow, the hand-over is simply not counted. Texts are copied into the tally, so a
// caller may count a text in a stack buffer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

struct CrossingEntry {
    char* text;  // owned copy (C heap), not NUL-ended
    uint64_t length;
    uint64_t count;
};

struct CrossingTally {
    CrossingEntry* entries;  // in first-counted order
    uint64_t count;
    uint64_t capacity;
};

// A new empty tally (C heap), or null when memory ran out.
[[nodiscard]] CrossingTally* newTally();
// Frees a tally and its texts; null is allowed. Cannot fail.
void freeTally(CrossingTally* tally);

// The entry of text, inserted with a count of 0 when absent; null when the tally could not
// grow (nothing changed then).
CrossingEntry* tallyCrossing(CrossingTally* tally, const char* text, size_t length);

// One more hand-over of text on the run's tally; nothing when its report is off. Cannot fail.
void countCrossing(Ctx* ctx, const char* text, size_t length);

// The longest type name the texts of the tally keep; longer names are cut (on a character
// boundary).
inline constexpr size_t kCrossingNameMax = 96;

// The type name of a value for the tally's texts, written to out (at least kCrossingNameMax
// bytes): a Python object's type __name__, else the value's own type name. The bytes
// written. Takes the interpreter lock only for a Python object. Cannot fail (an unreadable
// name is "object").
size_t crossingTypeName(value::Value v, char* out);

// Python's list() of a value, as a value in *out (a native list: only the result held it),
// counted as "items <type>"; the lock is claimed at where. True, or false with the failure
// recorded (Python's TypeError of a value that is not iterable).
[[nodiscard]] bool pythonItems(Ctx* ctx, int32_t site, const gil::Location* where,
                               value::Value v, value::Value* out);

}  // namespace wuna::helpers
