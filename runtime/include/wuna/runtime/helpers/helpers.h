// The runtime helpers' shared immortal values.
//
// Helpers and compiled code make empty tuples and one-character strs constantly (the items
// of a str, empty argument lists). Instead of allocating each time they use one shared empty
// tuple and a table of the 128 one-character ASCII strs, made at module start-up with the
// immortal count, so any thread may hand them out without touching a reference count.
//
// python_minor is the running interpreter's minor version (3.<minor>), by which helpers word
// the messages Python words differently from version to version.
#pragma once
#include <cstdint>

namespace wuna::value {
struct Tuple;
struct Str;
}  // namespace wuna::value

namespace wuna::helpers {

inline constexpr int kAsciiChars = 128;

// The runtime's one empty tuple (immortal); null until start-up made it.
extern value::Tuple* empty_tuple;
// Entry c is the immortal str of the one character c; all 128 are made at start-up.
extern value::Str* ascii_chars[kAsciiChars];

// The interpreter's minor version: the one the runtime was built for, which is the one that
// loads it (a standalone runtime keeps the version of its build).
extern uint32_t python_minor;

}  // namespace wuna::helpers
