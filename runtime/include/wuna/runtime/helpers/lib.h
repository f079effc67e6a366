// Library operations of compiled code: wn_lib and wn_utf8_len (declared by the helper table,
// table.h), struct packing, and the checksums.
//
// The code generator lowers a call of one of a handful of Python library functions (bytes(),
// bytes.fromhex, int.from_bytes, struct.pack and unpack, zlib.crc32 and adler32, the os and
// os.path functions, whole-file reads and writes, sys.stdin.read(), time.time()) to one wn_lib
// call with the operation's LibCode and the index of the real Python function among the
// module's objects. The operation is done natively when its arguments are of the kinds it
// serves; any other call, and any text the system gives that is not UTF-8, goes to that Python
// function, so results and exceptions are Python's. File and path operations raise the
// OSError family themselves (osio.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/methods.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

enum class LibCode : int32_t {
    bytes = 0,
    bytesFromhex = 1,
    intFromBytes = 2,
    structUnpack = 3,
    structUnpackFrom = 4,
    structPack = 5,
    crc32 = 6,
    adler32 = 7,
    pythonOnly = 8,
    getenv = 9,
    getcwd = 10,
    isfile = 11,
    isdir = 12,
    exists = 13,
    realpath = 14,
    readText = 15,
    readBytes = 16,
    stdinRead = 17,
    writeText = 18,
    makedirs = 19,
    chmod = 20,
    getsize = 21,
    replace = 22,
    time = 23,
};
inline constexpr int32_t kLibCodes = 24;

// The flag of a call without a signed= keyword.
inline constexpr int32_t kNoSignedKeyword = 2;

// One item of a struct format: count, byte offset and letter.
struct StructItem {
    uint64_t count;
    uint64_t offset;
    uint8_t letter;
};
static_assert(sizeof(StructItem) == 24);

// The size of one value of a format letter in native or standard mode; 0 for a letter this
// runtime leaves to Python. Cannot fail.
uint64_t structSize(uint8_t letter, bool native);

// A format's items (at most capacity written to items, which may be null) with their offsets,
// and its total size in *size; *itemCount the number of items. False: the format is not one
// served here (another letter, a bad count). Cannot fail.
bool structItems(const uint8_t* format, size_t length, StructItem* items, size_t capacity,
                 size_t* itemCount, uint64_t* size, bool* bigEndian);

// struct.unpack of data (at least the format's size) and struct.pack of values: answered with
// a new tuple or bytes in *out, or declined (another format, a value that does not fit), or
// failed (out of memory recorded; *out untouched, nothing left behind).
[[nodiscard]] MethodAnswer structUnpack(Ctx* ctx, int32_t site, const uint8_t* format,
                                        size_t length, const uint8_t* data, value::Value* out);
[[nodiscard]] MethodAnswer structPack(Ctx* ctx, int32_t site, const uint8_t* format,
                                      size_t length, const value::Value* values, uint64_t count,
                                      value::Value* out);

// zlib's checksums over data, continuing from start. Cannot fail.
uint32_t crc32(uint32_t start, const uint8_t* data, size_t n);
uint32_t adler32(uint32_t start, const uint8_t* data, size_t n);

}  // namespace wuna::helpers
