// Parsing a text with a compiled grammar into the native tree records of tree.h.
#pragma once
#include <cstdint>

#include "core/tree.h"

namespace engine {

// Rule calls nested deeper than this, or expressions nested deeper than maxFrames (rules
// with deeply nested expressions), are the syntax error "nesting too deep"; together they
// keep the machine's recursion far inside an 8 MiB stack.
inline constexpr uint32_t maxDepth = 4000;
inline constexpr uint32_t maxFrames = 12000;

// A flag of pargo's own: parse without first-byte prediction (the same trees, only slower);
// tests compare the two.
inline constexpr uint32_t noPrediction = 0x100;

// The parse behind pargo_parse: status codes and records as tree.h describes them.
int parse(const grammar::Grammar* g, const char* text, uint64_t len, const char* start, uint32_t flags,
          tree::TreeRecord* out, tree::ErrorRecord* err);
void freeTree(tree::TreeRecord* t);

}  // namespace engine
