// Method calls of compiled code: wn_call_method (declared by the helper table, table.h) and the
// pieces its receivers share.
//
// Compiled code calls receiver.name(arguments) through one helper with the method's code (a
// small number the code generator found for the name while compiling) and the interned name
// block. The common methods of bytes, int, float, list, tuple, dict, set, str, record, node and
// rt receivers are answered here on the native blocks, without converting the receiver and
// without the interpreter lock. A native answer is exactly Python's; a call whose outcome is an
// error worded by Python, or whose arguments a native path does not serve, is handed whole to
// Python (callMethodPython), where the receiver crosses as a Python object and Python's own
// method gives the result or the exception.
//
// A method answers in one of three ways (MethodAnswer): declined (nothing recorded, nothing
// written: the caller goes on to Python), answered with a result in *out (one reference), or
// answered with a failure recorded on the helper context (*out untouched).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// The code the code generator passes for a method name; other is any name without one.
enum class MethodCode : int32_t {
    other = 0,
    add = 1,
    discard = 2,
    remove = 3,
    pop = 4,
    clear = 5,
    copy = 6,
    update = 7,
    union_ = 8,
    intersection = 9,
    difference = 10,
    symmetric_difference = 11,
    intersection_update = 12,
    difference_update = 13,
    symmetric_difference_update = 14,
    issubset = 15,
    issuperset = 16,
    isdisjoint = 17,
    find = 18,
    rfind = 19,
    count = 20,
    index = 21,
    rindex = 22,
    startswith = 23,
    endswith = 24,
    partition = 25,
    rpartition = 26,
    replace = 27,
    split = 28,
    splitlines = 29,
    join = 30,
    strip = 31,
    lstrip = 32,
    rstrip = 33,
    lower = 34,
    upper = 35,
    isupper = 36,
    islower = 37,
    isdigit = 38,
    isalpha = 39,
    isalnum = 40,
    isspace = 41,
    encode = 42,
    decode = 43,
    hex = 44,
    get = 45,
    extend = 46,
    to_bytes = 47,
    is_integer = 48,
};
inline constexpr int32_t kMethodCodes = 49;

// The code of a method name (other for a name without one). Cannot fail.
MethodCode methodCode(const char* name, size_t length);

// How a receiver's native methods answered.
struct MethodAnswer {
    bool ok;        // answered with *out set (or, with answered, failed: the failure recorded)
    bool answered;  // false: declined, nothing recorded, *out untouched
};
inline constexpr MethodAnswer kDeclined{false, false};
inline constexpr MethodAnswer kAnswered{true, true};
inline constexpr MethodAnswer kFailed{false, true};

// The str methods of a str receiver (strmethods.cpp).
[[nodiscard]] MethodAnswer strMethod(Ctx* ctx, int32_t site, value::Str* s, MethodCode code,
                                     const value::Value* args, uint64_t count, value::Value* out);

// The set methods of a set receiver (setmethods.cpp).
[[nodiscard]] MethodAnswer setMethod(Ctx* ctx, int32_t site, value::Set* s, MethodCode code,
                                     const value::Value* args, uint64_t count, value::Value* out);

// receiver.name(*args) through Python: the receiver converted (lists, dicts and records as the
// proxies sharing their blocks), the attribute read, offered to compiled code when it is a
// bound Python function, else called with the converted arguments; counted as
// "method <type>.<name>" in report mode. True with one reference in *out; false with the
// failure recorded (Python's exception), *out untouched. Takes the interpreter lock.
[[nodiscard]] bool callMethodPython(Ctx* ctx, int32_t site, value::Value receiver,
                                    const value::Str* name, const value::Value* args,
                                    uint64_t count, value::Value* out);

// Python whitespace (str.isspace of one code point), and membership of a code point in the
// UTF-8 characters set[0..length) (null: whitespace). Cannot fail.
bool isStripChar(uint32_t cp, const uint8_t* set, size_t length);

// The number of code points of UTF-8 bytes; the byte length when they are not valid UTF-8.
// Cannot fail.
uint64_t codepointCount(const uint8_t* bytes, size_t length);

// The first (findIn) or last (findLastIn) occurrence of needle[0..m) in hay[0..n), or null;
// an empty needle is found at the start (findIn) or the end (findLastIn). Cannot fail.
const uint8_t* findIn(const uint8_t* hay, uint64_t n, const uint8_t* needle, uint64_t m);
const uint8_t* findLastIn(const uint8_t* hay, uint64_t n, const uint8_t* needle, uint64_t m);

// Whether a str is the lower-case ASCII name, its letters compared case-insensitively (the
// encoding names of encode and decode). Cannot fail.
bool sameAsciiName(const value::Str* s, std::string_view lower);

// The codecs encode and decode serve natively, by their names as Python spells them in any
// letter case ("utf-8", "utf8"; "ascii"; "latin-1", "latin1", "iso-8859-1"). Cannot fail.
enum class Codec : uint8_t { none, utf8, ascii, latin1 };
Codec codecOf(const value::Str* name);

// A new str of bytes (valid UTF-8) into *out: true; false with "out of memory" recorded.
[[nodiscard]] bool strResult(Ctx* ctx, int32_t site, const void* bytes, size_t length,
                             value::Value* out);

// A new str of bytes appended to a list block (the list grows and is tracked as list stores
// are): true; false with "out of memory" recorded (the list unchanged).
[[nodiscard]] bool appendNewStr(Ctx* ctx, int32_t site, value::List* list, const void* bytes,
                                size_t length);

// ValueError "substring not found" and "empty separator". Cannot fail.
void failSubstringNotFound(Ctx* ctx, int32_t site);
void failEmptySeparator(Ctx* ctx, int32_t site);

// The byte order argument of to_bytes and int.from_bytes: a str of exactly "big" or
// "little"; none for anything else. Cannot fail.
enum class ByteOrder : uint8_t { none = 0, big = 1, little = 2 };
ByteOrder byteOrder(value::Value v);

// A needle of the bytes methods: an immutable bytes gives its own bytes, a bool or int from 0
// to 255 the one byte written to one; anything else gives false. Cannot fail.
struct ByteSlice {
    const uint8_t* data;
    uint64_t length;
};
bool byteNeedle(value::Value v, uint8_t* one, ByteSlice* out);

// Whether bytes start (prefix) or end with the affix; an empty affix always matches.
bool bytesHasAffix(const uint8_t* data, uint64_t length, const uint8_t* affix,
                   uint64_t affixLength, bool prefix);

}  // namespace wuna::helpers
