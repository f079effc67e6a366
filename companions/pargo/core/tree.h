// What a parse hands over: the C entry points that fill and free a tree record, their status
// codes and flags. The records themselves (the 16-byte pre-order node, the 48-byte tree record,
// the 268-byte error record) are read by other programs byte for byte, so they are defined once
// in pargo/tree_layout.h with their layout checked at compile time; pargo's code names them
// here. The parse itself lives in engine.cpp; this header is all a caller needs.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pargo/tree_layout.h"

namespace pargo::grammar {
struct Grammar;
}

namespace pargo::tree {

using layout::ErrorRecord;
using layout::kindOf;
using layout::labelOf;
using layout::makeWord;
using layout::Node;
using layout::TreeRecord;
using layout::withLabel;

// Status codes of a parse.
inline constexpr int parsed = 0;
inline constexpr int syntaxError = 1;
inline constexpr int unknownStart = -1;
inline constexpr int outOfMemory = -2;
inline constexpr int noNodes = -5;

// Flags of a parse.
inline constexpr uint32_t recoverFlag = 2;

}  // namespace pargo::tree

extern "C" {
// Parses `len` bytes of `text` with the grammar, from `start` (a rule name, or null for the
// first rule). Fills *out on status 0 (free it with pargo_tree_free) and *err on status 1.
__attribute__((visibility("default"))) int pargo_parse(const pargo::grammar::Grammar* g,
                                                       const char* text, uint64_t len,
                                                       const char* start, uint32_t flags,
                                                       pargo::tree::TreeRecord* out,
                                                       pargo::tree::ErrorRecord* err);
__attribute__((visibility("default"))) void pargo_tree_free(pargo::tree::TreeRecord* t);
}
