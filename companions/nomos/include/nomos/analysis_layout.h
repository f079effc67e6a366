// The records behind nomos's "nomos.analysis.v2" capsule as other programs read them in place:
// one 120-byte record per symbol, and the capsule record that points at them, at the symbols'
// references and at the node-to-symbol map. nomos writes them (analyze.cpp's layout()); wuna's
// parse-tree index and the native tests read them through this header, and the tests' Python
// mirrors (tests/support/abi.py) check the same numbers. Every offset and size is fixed: the
// asserts below are the promise, and a change to any of them is a new ABI number.
//
// Only standard headers: no Python, so that a reader without it can include it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace nomos::layout {

inline constexpr const char* analysisCapsuleName = "nomos.analysis.v2";
inline constexpr uint32_t analysisAbi = 2;
inline constexpr uint32_t none = 0xFFFFFFFFu;  // no node, no symbol

// Bits of a symbol record's flags.
enum SymbolFlag : uint32_t {
    builtinFlag = 1,
    globalFlag = 2,    // undeclared, taken as a global
    assignedFlag = 4,  // assigned after its declaration
};

struct SymbolRecord {
    const char* name;  // not NUL-terminated
    uint64_t nameLength;
    const char* kind;  // the symbol kind text ("variable", "parameter", ...)
    uint64_t kindLength;
    uint32_t index;  // the symbol's own index
    uint8_t reserved[52];
    uint32_t declaringNode;  // or none
    uint32_t reserved2[2];
    uint32_t scopeNode;  // the node opening the symbol's scope, or none
    uint32_t reserved3;
    uint32_t firstReference;  // into the capsule record's references
    uint32_t referenceCount;
    uint32_t flags;  // SymbolFlag bits
};

struct AnalysisRecord {
    uint32_t abi;  // analysisAbi
    uint32_t symbolCount;
    const SymbolRecord* symbols;
    uint64_t referenceTotal;
    const uint32_t* references;  // node indexes; null when there are none
    uint32_t nodeCount;
    uint32_t reserved;
    const uint32_t* nodeSymbols;  // per node: the symbol it declares or names, or none
};

static_assert(sizeof(SymbolRecord) == 120);
static_assert(offsetof(SymbolRecord, name) == 0 && offsetof(SymbolRecord, nameLength) == 8);
static_assert(offsetof(SymbolRecord, kind) == 16 && offsetof(SymbolRecord, kindLength) == 24);
static_assert(offsetof(SymbolRecord, index) == 32 && offsetof(SymbolRecord, reserved) == 36);
static_assert(offsetof(SymbolRecord, declaringNode) == 88);
static_assert(offsetof(SymbolRecord, reserved2) == 92 && offsetof(SymbolRecord, scopeNode) == 100);
static_assert(offsetof(SymbolRecord, reserved3) == 104);
static_assert(offsetof(SymbolRecord, firstReference) == 108);
static_assert(offsetof(SymbolRecord, referenceCount) == 112);
static_assert(offsetof(SymbolRecord, flags) == 116);

static_assert(sizeof(AnalysisRecord) == 48);
static_assert(offsetof(AnalysisRecord, abi) == 0 && offsetof(AnalysisRecord, symbolCount) == 4);
static_assert(offsetof(AnalysisRecord, symbols) == 8);
static_assert(offsetof(AnalysisRecord, referenceTotal) == 16);
static_assert(offsetof(AnalysisRecord, references) == 24);
static_assert(offsetof(AnalysisRecord, nodeCount) == 32);
static_assert(offsetof(AnalysisRecord, reserved) == 36);
static_assert(offsetof(AnalysisRecord, nodeSymbols) == 40);

}  // namespace nomos::layout
