// The records of pargo's capsules as other programs read them in place: a parse's nodes in
// pre-order with their packed word, the tree record behind a "pargo.tree.v1" capsule, the
// error records of a failed or recovering parse, and the grammar record behind a
// "pargo.grammar.v1" capsule. pargo writes them; nomos, wuna and the native tests read them
// through this header, and the tests' Python mirrors (tests/support/abi.py) check the same
// numbers. Every offset and size is fixed: the asserts below are the promise, and a change to
// any of them is a new ABI number.
//
// Only standard headers: no Python, no pargo internals, so that a reader without either
// (wuna's parse-tree index, compiled code) can include it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pargo::grammar {
struct Grammar;  // pargo's own; opaque to readers of the grammar record
}

namespace pargo::layout {

inline constexpr const char* treeCapsuleName = "pargo.tree.v1";
inline constexpr uint32_t treeAbi = 1;
inline constexpr const char* grammarCapsuleName = "pargo.grammar.v1";
inline constexpr uint32_t grammarAbi = 1;

// A node's word: bits 0-11 are pargo's own (unused), 12-23 the kind, 24-31 the label byte.
inline constexpr uint32_t kindShift = 12;
inline constexpr uint32_t kindMask = 0xFFF;
inline constexpr uint32_t labelShift = 24;
inline constexpr uint32_t labelMask = 0xFF;
inline constexpr uint32_t maxKinds = 4095;  // kinds of one tree: its rules, then the error kind
inline constexpr uint32_t maxLabels = 255;  // label bytes 1..255; 0 is no label

struct Node {
    uint32_t start;        // first byte in the text
    uint32_t end;          // one past the last byte
    uint32_t descendants;  // every node below this one; the subtree of i is i..i+descendants
    uint32_t word;         // kind and label byte
};

constexpr uint32_t kindOf(const Node& n) { return (n.word >> kindShift) & kindMask; }
constexpr uint8_t labelOf(const Node& n) { return uint8_t(n.word >> labelShift); }
constexpr uint32_t makeWord(uint32_t kind, uint32_t label) {
    return (kind << kindShift) | (label << labelShift);
}
// The word with its label byte replaced (0 takes the label away).
constexpr uint32_t withLabel(uint32_t word, uint32_t label) {
    return (word & ~(labelMask << labelShift)) | (label << labelShift);
}

struct ErrorRecord {
    uint32_t offset;
    uint32_t line;    // 1-based
    uint32_t column;  // 1-based, in bytes
    char message[256];
};

struct TreeRecord {
    uint32_t abi;  // treeAbi
    uint32_t nodeCount;
    Node* nodes;
    const char* text;  // the caller's text, not owned; null is an empty text
    uint64_t textLength;
    uint64_t errorCount;
    ErrorRecord* errors;
};

// The native parse behind a grammar capsule: pargo_parse and pargo_tree_free (core/tree.h).
using ParseFunction = int (*)(const grammar::Grammar* g, const char* text, uint64_t length,
                              const char* start, uint32_t flags, TreeRecord* out, ErrorRecord* err);
using FreeFunction = void (*)(TreeRecord* tree);

struct GrammarRecord {
    uint32_t abi;  // grammarAbi
    uint32_t pad;
    const grammar::Grammar* grammar;
    ParseFunction parse;
    void* reserved;
    FreeFunction free;
};

static_assert(sizeof(Node) == 16);
static_assert(offsetof(Node, start) == 0 && offsetof(Node, end) == 4);
static_assert(offsetof(Node, descendants) == 8 && offsetof(Node, word) == 12);
static_assert(kindOf(Node{0, 0, 0, makeWord(maxKinds, maxLabels)}) == maxKinds);
static_assert(labelOf(Node{0, 0, 0, makeWord(maxKinds, maxLabels)}) == maxLabels);
static_assert(withLabel(makeWord(maxKinds, maxLabels), 0) == makeWord(maxKinds, 0));

static_assert(sizeof(ErrorRecord) == 268);
static_assert(offsetof(ErrorRecord, offset) == 0 && offsetof(ErrorRecord, line) == 4);
static_assert(offsetof(ErrorRecord, column) == 8 && offsetof(ErrorRecord, message) == 12);

static_assert(sizeof(TreeRecord) == 48);
static_assert(offsetof(TreeRecord, abi) == 0 && offsetof(TreeRecord, nodeCount) == 4);
static_assert(offsetof(TreeRecord, nodes) == 8 && offsetof(TreeRecord, text) == 16);
static_assert(offsetof(TreeRecord, textLength) == 24 && offsetof(TreeRecord, errorCount) == 32);
static_assert(offsetof(TreeRecord, errors) == 40);

static_assert(sizeof(GrammarRecord) == 40);
static_assert(offsetof(GrammarRecord, abi) == 0 && offsetof(GrammarRecord, grammar) == 8);
static_assert(offsetof(GrammarRecord, parse) == 16 && offsetof(GrammarRecord, reserved) == 24);
static_assert(offsetof(GrammarRecord, free) == 32);

}  // namespace pargo::layout
