// print(), sys.stdout.write() / sys.stderr.write(), sys.platform and os.name in compiled code:
// wn_print, wn_write and wn_platform (declared by the helper table, table.h).
//
// wn_print builds the whole line natively - the str() of every argument, the separators and
// the end - and hands it to Python's sys.stdout or sys.stderr in one write call, so that the
// output interleaves correctly with whatever Python code prints, honours any replacement of
// the stream, and is never partial: a failure before the write writes nothing. No flush is
// made, as Python's print makes none unless asked.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// Which stream a print or write goes to.
enum class StreamCode : int32_t { stderr_ = 0, stdout_ = 1 };  // any value but 1 is stderr
// Which platform name wn_platform gives.
enum class PlatformCode : int32_t { platform = 0, osName = 1 };  // any value but 1: platform

// Writes UTF-8 text to the stream with one call of its write method; the result is
// discarded. True, or false with the failure recorded (a missing stream as Python's
// RuntimeError "lost sys.stdout", an exception of the stream as itself). Claims the lock.
[[nodiscard]] bool emit(Ctx* ctx, int32_t site, int32_t stream, const uint8_t* text,
                        size_t length);

// Records TypeError "write() argument must be str, not " and the value's type name; the
// failure of every write of a non-str. Cannot fail.
void failWriteArgument(Ctx* ctx, int32_t site, value::Value v);

}  // namespace wuna::helpers
