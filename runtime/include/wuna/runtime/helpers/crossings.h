// Texts of the crossings tally for operations handed to Python ("binary int add str",
// "compare list lt int", "items object" ...), counted on the run's own tally (tally.h).
// Counting never fails a run: a text that can't be counted is not. Texts are copied into the
// tally, so a caller may count a text in a stack buffer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// One more hand-over of text on the run's tally; nothing when its report is off. Cannot fail.
void countCrossing(Ctx* ctx, const char* text, size_t length);

// Counts "<what> <left type>", followed by " <op>" and " <right type>" when given. Nothing
// when the run's report is off. Cannot fail.
void countHandOver(Ctx* ctx, const char* what, const value::Value& left, const char* op,
                   const value::Value* right);

// The longest type name the texts of the tally keep; longer names are cut (on a character
// boundary).
inline constexpr size_t kCrossingNameMax = 96;

// The type name of a value for the tally's texts, written to out (at least kCrossingNameMax
// bytes): a Python object's type __name__, else the value's own type name. The bytes
// written. Takes the interpreter lock only for a Python object. Cannot fail (an unreadable
// name is "object").
size_t crossingTypeName(value::Value v, char* out);

// Python's list() of a value, as a value in *out (a native list: only the result held it),
// counted as "items <type>". True, or false with the failure recorded (Python's TypeError of
// a value that is not iterable).
[[nodiscard]] bool pythonItems(Ctx* ctx, int32_t site, value::Value v, value::Value* out);

}  // namespace wuna::helpers
