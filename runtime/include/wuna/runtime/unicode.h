// Code points of UTF-8 text, and which of them repr() writes as themselves.
//
// Decoding never trusts its input: a runtime str is valid UTF-8 when it was made from Python
// text, but bytes decoded with errors ignored, or joined from parts, need not be. decode reads
// only the bytes it is given and turns every ill-formed sequence into U+FFFD the way Python's
// own "replace" decoding does (one U+FFFD per maximal ill-formed subpart), so a text shown
// natively reads the same as the same bytes shown through Python.
//
// Printability follows the running interpreter, not one Unicode version: Python 3.10 to 3.13
// carry Unicode 13.0 to 15.1, and each counts other code points as printable. The tables are
// generated from those interpreters (dev/unicode_tables.py). For an interpreter newer than
// the tables know, printable() answers "unknown" for code points whose answer may have
// changed, and the caller asks Python instead.
//
// Pure functions on read-only tables: no Python, no allocation, any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wuna::unicode {

inline constexpr uint32_t kReplacement = 0xFFFD;

// The code point at text (length bytes, at least 1) and the bytes it took (*used, 1 to 4).
// An ill-formed sequence gives kReplacement. Reads no byte at or past text + length.
// Cannot fail.
uint32_t decode(const uint8_t* text, size_t length, size_t* used);

// Writes the UTF-8 form of cp (below 0x110000) into out; the bytes written, 1 to 4.
// Cannot fail.
size_t encode(uint32_t cp, uint8_t out[4]);

enum class Printable : uint8_t { yes, no, unknown };

// Whether repr() of the running interpreter writes cp as itself. Cannot fail.
Printable printable(uint32_t cp);

// The same for the interpreter of minor version 3.<minor> (10 to 13 are known; any other
// minor answers as printable() does for an unknown interpreter). Cannot fail.
Printable printableIn(uint32_t cp, int32_t minor);

}  // namespace wuna::unicode
