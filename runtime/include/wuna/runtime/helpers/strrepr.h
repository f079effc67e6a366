// str() and repr() of native values, written as Python writes the equivalent objects.
//
// One renderer (nativeStr) knows every value tag: scalars, strs, bytes, the containers with
// their recursion markers ([...] and {...}), records of classes without a Python class, and
// exception values. Whatever it cannot write (a Python object, a wuna.Bytes view, a record
// whose class is Python's, a character whose printability the running interpreter decides
// differently from the tables, nesting too deep for the native stack) makes the whole text
// NotNative, and the entry points reprInto and strInto then cut back what was written and
// ask Python for the whole value, so a text is never half native and half Python's.
//
// Writers append UTF-8 to a ByteList the caller owns (C heap). They never record a failure
// on the helper context: the writers answer with a Status, the entry points with a bool, and
// the caller chooses the message. Only pythonStr touches Python, claiming the interpreter
// lock through the thread's GIL record; everything else runs on any thread without it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/status.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// The blocks whose text is being written, innermost last (lists, dicts, sets and records;
// tuples and exceptions are not entered). Starts zeroed; freed with freeOpen.
struct OpenList {
    const void** items;
    uint64_t count;
    uint64_t capacity;
};
void freeOpen(OpenList* open);  // cannot fail

// Decoded code points, one u32 each (C heap); freed with freeCodepoints.
struct CodepointList {
    uint32_t* items;
    uint64_t count;
    uint64_t capacity;
};
void freeCodepoints(CodepointList* list);  // cannot fail

enum : uint8_t { TextRepr = 1 };

// Appends the text of a value (repr when flags has TextRepr; an element is always written as
// its repr). ok; outOfMemory; or notNative when the value, or one nested in it, has no native
// text (the buffer then holds a partial tail that the caller cuts off).
Status nativeStr(uint64_t tag, uint64_t payload, ByteList* out, uint8_t flags, OpenList* open);

// repr() and str() of a value: natively where nativeStr can, else the whole value through
// Python. False only when memory ran out or Python failed to give the text (no Python error
// is left pending); the buffer's contents are then unspecified. ctx may be null outside a run.
bool reprInto(Ctx* ctx, value::Value v, ByteList* out);
bool strInto(Ctx* ctx, value::Value v, ByteList* out);

// repr() or str() of the value's Python object, appended as UTF-8. False when the conversion
// or the call failed, or the text has no UTF-8 form (lone surrogates); no Python error is
// left pending. Claims the interpreter lock.
bool pythonStr(Ctx* ctx, value::Value v, ByteList* out, bool repr);

// The text of None, a bool, an int or a float (str and repr alike) as a new str in *out, or
// null in *out when memory ran out; true. False for every other value (nothing made).
bool plainText(value::Value v, value::Str** out);

// repr() of UTF-8 text (ill-formed bytes read as U+FFFD, as the text's Python form reads
// them). ok, outOfMemory, or notNative when a character's printability is the running
// interpreter's to decide.
Status strRepr(const uint8_t* text, size_t length, ByteList* out);

// repr() of bytes without the leading b. ok or outOfMemory.
Status bytesRepr(const uint8_t* data, size_t length, ByteList* out);

// The quoted text for messages: the quote rule and the escapes of backslash, the quote, tab,
// line feed and carriage return; other controls and 0x7F as \xNN; every other byte as it is.
// True with *out a view into buf (capacity bytes); false when buf is too small.
bool pyRepr(const char* text, size_t length, char* buf, size_t capacity, std::string_view* out);

// UTF-8 text to code points, ill-formed sequences read as U+FFFD and no byte read past the
// end. ok or outOfMemory (the list then holds a prefix).
Status codepoints(const uint8_t* text, size_t length, CodepointList* out);

// Appends the UTF-8 form of a code point (below 0x110000). ok or outOfMemory.
Status appendCodepoint(ByteList* out, uint32_t cp);

// Appends name and "=". ok or outOfMemory.
Status printFieldName(ByteList* out, std::string_view name);

// Appends "' codec can't decode byte 0x", the byte in two lowercase hex digits, " in position
// ", the position and ": ". ok or outOfMemory.
Status printDecodeError(ByteList* out, uint8_t byte, int64_t position);

}  // namespace wuna::helpers
