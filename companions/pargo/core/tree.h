// The native records a parse hands over: the 16-byte pre-order node, the 48-byte tree record
// and the 268-byte error record, plus the C entry points that fill and free them. These are
// read by other programs byte for byte, so their layout is fixed and checked at compile time.
// The parse itself lives in engine.cpp; this header is all a caller needs.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pargo::grammar {
struct Grammar;
}

namespace pargo::tree {

// Bits of a node's packed word: 0-11 are pargo's own (unused), 12-23 the kind, 24-31 the label.
inline constexpr uint32_t kindShift = 12;
inline constexpr uint32_t kindMask = 0xFFF;
inline constexpr uint32_t labelShift = 24;
inline constexpr uint32_t maxKinds = 4095;  // 12 bits; the last one is the error kind at most

struct Node {
    uint32_t start;        // first byte in the text
    uint32_t end;          // one past the last byte
    uint32_t descendants;  // every node below this one; the subtree of i is i..i+descendants
    uint32_t word;         // kind and label byte
};

inline uint32_t kindOf(const Node& n) { return (n.word >> kindShift) & kindMask; }
inline uint32_t labelOf(const Node& n) { return n.word >> labelShift; }
inline uint32_t makeWord(uint32_t kind, uint32_t label) {
    return (kind << kindShift) | (label << labelShift);
}

struct ErrorRecord {
    uint32_t offset;
    uint32_t line;    // 1-based
    uint32_t column;  // 1-based, in bytes
    char message[256];
};

struct TreeRecord {
    uint32_t abi;  // 1
    uint32_t nodeCount;
    Node* nodes;
    const char* text;  // the caller's text; not owned
    uint64_t textLength;
    uint64_t errorCount;
    ErrorRecord* errors;
};

static_assert(sizeof(Node) == 16);
static_assert(sizeof(ErrorRecord) == 268);
static_assert(sizeof(TreeRecord) == 48);
static_assert(offsetof(TreeRecord, nodes) == 8 && offsetof(TreeRecord, text) == 16);
static_assert(offsetof(TreeRecord, textLength) == 24 && offsetof(TreeRecord, errors) == 40);

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
