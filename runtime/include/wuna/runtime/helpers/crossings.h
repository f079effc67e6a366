// The crossings tally: how often compiled code went through Python at each kind of place, for
// a run with report=True, keyed by a short text naming the place ("getattr float.real",
// "call host Foo"). Every helper that goes through Python counts itself with countCrossing;
// after the run the driver takes the tally as the "python_crossings" dict of
// Program.report() with takeCrossings, which empties it.
//
// Nothing is counted unless the thread's GIL record is in report mode (gil::Record::report,
// set for the length of a run with report=True). A text is composed by its counter in a
// 128-byte buffer (kCrossingText); a text that does not fit is not counted. The tally is one
// map for the process, read and written only under the interpreter lock; each entry owns a
// copy of its text from the C heap, made before the entry is inserted, so no entry ever
// points at its counter's buffer, and a copy that cannot be made counts nothing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/value_layout.h"

typedef struct _object PyObject;

namespace wuna::bridge {

inline constexpr size_t kCrossingText = 128;

// Whether crossings are being counted on this thread. Cannot fail.
[[nodiscard]] bool countingCrossings();

// Counts one crossing of the text (interpreter lock held). Nothing when counting is off, the
// text is longer than kCrossingText, or memory runs out. Cannot fail.
void countCrossing(const char* text, size_t length);

// Counts the crossing whose text is the pieces joined, under the same conditions.
void countCrossingOf(const char* const* pieces, const size_t* lengths, size_t count);

// The count of a text, 0 when it has none. Cannot fail.
[[nodiscard]] uint64_t crossingCount(const char* text, size_t length);

// The tally as a new dict {text (decoded as UTF-8 with "replace"): count}, emptied; the
// interpreter lock held. New reference, or null with the Python exception (the tally is then
// left as it was).
[[nodiscard]] PyObject* takeCrossings();

// Empties the tally and frees its texts. Cannot fail.
void clearCrossings();

}  // namespace wuna::bridge

namespace wuna::helpers {

inline constexpr size_t kTypeNameMax = 64;

// The type name of a value for crossing texts and messages: a Python object's type __name__
// cut to kTypeNameMax bytes and copied into buffer ("?" when it has none or it is no str, the
// error cleared; interpreter lock held), else value::typeName. Cannot fail.
struct NameText {
    const char* data;
    size_t length;
};
NameText typeNameOf(value::Value v, char (&buffer)[kTypeNameMax]);

}  // namespace wuna::helpers
