// The runtime's error kinds: 36 kinds named after Python's exceptions plus the module's own
// IntegerOverflow, Error and Throw, each but BaseException with one parent kind.
//
// A failure of compiled code may carry a kind (an overflow, a raised exception value); an
// `except` clause matches it by walking the parents, exactly as Python walks the classes' MRO
// for the built-in hierarchy. The parent relation is a fixed table, so matching needs neither
// Python nor its lock. The Python class of each kind is looked up only when a failure becomes
// a Python exception: built-ins each time from the interpreter's builtins, the module's own
// classes from the imported wuna module, and the three library classes (frozen dataclass,
// struct, parser package) imported once on first use.
#pragma once
#include <cstdint>
#include <string_view>

typedef struct _object PyObject;

namespace wuna::errors {

enum class Kind : uint8_t {
    BaseException = 0,
    Exception = 1,
    ArithmeticError = 2,
    ZeroDivisionError = 3,
    OverflowError = 4,
    FloatingPointError = 5,
    LookupError = 6,
    IndexError = 7,
    KeyError = 8,
    ValueError = 9,
    UnicodeError = 10,
    UnicodeDecodeError = 11,
    UnicodeEncodeError = 12,
    TypeError = 13,
    AttributeError = 14,
    NameError = 15,
    UnboundLocalError = 16,
    RuntimeError = 17,
    RecursionError = 18,
    NotImplementedError = 19,
    AssertionError = 20,
    StopIteration = 21,
    BufferError = 22,
    IntegerOverflow = 23,
    Error = 24,
    Throw = 25,
    FrozenInstanceError = 26,
    StructError = 27,  // named "error", as the struct module names it
    ParseError = 28,
    OSError = 29,
    FileNotFoundError = 30,
    FileExistsError = 31,
    IsADirectoryError = 32,
    NotADirectoryError = 33,
    PermissionError = 34,
    SystemExit = 35,
};

inline constexpr uint32_t kKindCount = 36;
// The kind a wn_new_exception call gives to say "the class is a Python object".
inline constexpr uint32_t kPythonClass = 255;

// The kind's Python name; "BaseException" for a number outside the table. Cannot fail.
std::string_view name(Kind kind);
// Whether the kind has a parent, and which. Cannot fail.
bool parent(Kind kind, Kind* out);
// Whether kind is ancestor or descends from it. Cannot fail.
bool isA(Kind kind, Kind ancestor);
// Whether a u32 read from a block or a helper argument names a kind. Cannot fail.
inline bool valid(uint32_t kind) { return kind < kKindCount; }

// The kind's Python class, borrowed; BaseException for a number outside the table. Null,
// with no Python exception set, when the class is not available (the module not imported,
// an import failing: tried again next time). Needs the interpreter lock.
PyObject* pyClass(Kind kind);

// The text a runtime error reports for the pending Python exception, worded as the reference
// mode words it: "division by zero", "call stack too deep", "integer overflow", "key not
// found: " and the key's repr, a bare text for the type, index, value and attribute families,
// else the class name, ": " and the text. Clears the pending exception. New reference to a
// str, or null with a Python exception (when no exception was pending: the str "error").
// Needs the interpreter lock.
PyObject* pendingMessage();

}  // namespace wuna::errors
