// Printf-style formatting of str % args, the native half of wn_binary's op 5 with a str on the
// left (operators.h).
//
// The common directives are formatted natively with Python's exact text: the flags "-+ #0",
// widths and precisions (digits or "*"), one length modifier, and the conversions d i u x X o
// e E f F g G c s r and "%%", over None, bools, ints up to 128 bits, floats and strs. Anything
// else (a mapping key, a dict or Python object on the right, another conversion or argument
// kind, a width or precision beyond the native buffers, a malformed directive, arguments left
// over) is declined whole, and the caller hands the operation to Python's own %, which gives
// the result or Python's exception. So the native path never words an error of its own and
// never gives a text where Python would raise.
//
// No Python object is made and the interpreter lock is never taken: any thread may format.
#pragma once
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// What percentFormat did.
enum class Printf : uint8_t {
    done,      // *out holds the new str
    failed,    // out of memory, recorded on ctx; *out untouched
    declined,  // nothing recorded, *out untouched: Python decides
};

// format % args for a str format (borrowed) and any right operand (borrowed): a tuple gives
// its items, any other value is the one argument.
[[nodiscard]] Printf percentFormat(Ctx* ctx, int32_t site, const value::Str* format,
                                   const value::Value& args, value::Value* out);

}  // namespace wuna::helpers
