// Parsing a text with a compiled grammar into the native tree records of tree.h.
#pragma once
#include <cstdint>

#include "core/tree.h"

namespace pargo::engine {

// Rule calls nested deeper than this, or expressions nested deeper than maxFrames (rules
// with deeply nested expressions), or deeper than the running thread's stack holds (see
// stack.h), are the syntax error "nesting too deep", so no text can run the stack out.
inline constexpr uint32_t maxDepth = 4000;
inline constexpr uint32_t maxFrames = 12000;

// Flags of pargo's own, for tests that compare the shortcuts with plain runs (the same trees
// and errors, only slower): parse without first-byte prediction, without the memo of rule
// results.
inline constexpr uint32_t noPrediction = 0x100;
inline constexpr uint32_t noMemo = 0x200;

// A check that a long parse makes every million or so steps, when the stack has room for it
// (the Python face runs the interpreter's signal handlers in it): true stops the parse, which
// then gives the status `interrupted`.
struct Interrupt {
    bool (*stop)(void* context);
    void* context;
};
inline constexpr int interrupted = -6;

// The parse behind pargo_parse: status codes and records as tree.h describes them, plus
// `interrupted` when the interrupt (or null) stopped it.
int parse(const grammar::Grammar* g, const char* text, uint64_t len, const char* start,
          uint32_t flags, tree::TreeRecord* out, tree::ErrorRecord* err,
          const Interrupt* interrupt = nullptr);
void freeTree(tree::TreeRecord* t);

}  // namespace pargo::engine
