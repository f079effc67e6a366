// Python's one-argument builtins and type questions in compiled code: wn_builtin, wn_is_type,
// wn_type and wn_type_name (declared by the helper table, table.h).
//
// wn_builtin answers natively for the value tags it knows (the int of a float, the length of
// a str, the repr of a list ...) and otherwise calls the very builtin object the program
// named, which the call site passes in, so that an answer or an error is always Python's.
// Natively it records only "out of memory" and the overflow of abs() of a checked int; every
// other failure is the Python builtin's. The type questions never fail: wn_is_type answers
// from the tag (a Python object's type read without the lock), wn_type gives a type object.
#pragma once
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// The builtin a wn_builtin call stands for.
enum class BuiltinCode : int32_t {
    int_ = 0,
    float_ = 1,
    len = 2,
    abs = 3,
    str = 4,
    bool_ = 5,
    list = 6,
    floor = 7,  // math.floor
    ceil = 8,   // math.ceil
    chr = 9,
    ord = 10,
    id = 11,
    fspath = 12,  // os.fspath
    repr = 13,
    count = 14
};

// The class a wn_is_type call asks about.
enum class TypeCode : int32_t {
    int_ = 0,
    float_ = 1,
    str = 2,
    bool_ = 3,
    list = 4,
    tuple = 5,
    dict = 6,
    none = 7,
    function = 8,  // wuna.Function
    bytes = 9,
    bytearray = 10,
    complex = 11,
    set = 12,
    frozenset = 13,
    count = 14
};

}  // namespace wuna::helpers
