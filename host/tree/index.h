// The parse-tree index: the native view of one parsed tree that every later stage reads. The
// interpreter walks it, the code generator reads it while compiling, error texts take lines
// and columns from it.
//
// build() reads the parser package's tree record (its node array and text are used in place,
// never copied) and, when the language has rules, the rules package's analysis record (symbol
// names stay in the analysis' memory); both records are laid out as those packages' layout
// headers fix. It adds each node's parent, the symbols with a node-to-symbol map, the captured
// block scopes (block scopes a nested function refers into, which get frames of their own),
// the hoisted function definitions of every scope, and the line starts of the text. Every
// array of an index comes from one arena and is freed at once; after build only the
// per-symbol scope cache changes, filled lazily by symbolScope (every writer stores the same
// value, so threads need no lock). A record that is malformed (no node array, no nodes,
// descendant counts running past the array) is refused with a reason, never read out of
// bounds.
//
// Nothing here needs Python, directly or through a header: index.cpp is compiled without
// Python's include path (the wuna_tree_index objects), so any thread may build or read an
// index and the native tests link it alone. The grammar an index names kinds with is
// Python-facing (tree/grammar.h) and stays opaque here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/support/arena.h"
#include "host/tree/function_kind.h"
#include "nomos/analysis_layout.h"
#include "pargo/tree_layout.h"
#include "wuna/runtime/status.h"

namespace wuna::ptree {

using Arena = arena::Arena;

struct GrammarInfo;  // tree/grammar.h

inline constexpr uint32_t kNone = 0xFFFFFFFFu;
static_assert(kNone == nomos::layout::none);

// One node of the parser's array: nodes are in pre-order, the subtree of node i is nodes i to
// i + descendants; the word holds the kind and the label byte.
using NodeRecord = pargo::layout::Node;

using pargo::layout::kindOf;
constexpr uint8_t labelByte(const NodeRecord& node) { return pargo::layout::labelOf(node); }

// The record behind a "pargo.tree.v1" capsule, and behind a "nomos.analysis.v2" capsule.
using TreeCapsule = pargo::layout::TreeRecord;
using AnalysisCapsule = nomos::layout::AnalysisRecord;
using SymbolRecord = nomos::layout::SymbolRecord;

inline constexpr uint32_t kTreeAbi = pargo::layout::treeAbi;
inline constexpr uint32_t kAnalysisAbi = nomos::layout::analysisAbi;

struct Symbol {
    const char* name;  // in the analysis' memory, not NUL-terminated
    uint64_t length;
    uint32_t declaring;  // the declaring node, or kNone
    uint32_t scope;      // the node opening the symbol's scope, or kNone
    uint8_t builtin;
};

// The hoisted definitions of one scope: hoistNodes[first .. first + count).
struct HoistSlot {
    uint32_t scope;  // a node index, or kNone for the global scope
    uint32_t first;
    uint32_t count;  // 0: a free slot
};

struct Index {
    Arena* arena;
    const GrammarInfo* grammar;  // borrowed
    const NodeRecord* nodes;     // the capsule's, borrowed
    uint32_t count;
    const char* text;  // the capsule's, borrowed
    uint64_t textLength;
    uint32_t* parents;  // kNone for the root
    Symbol* symbols;
    uint32_t symbolCount;
    uint32_t* nodeSymbols;  // per node: the symbol it declares or names, or kNone
    int32_t* scopes;        // per symbol: symbolScope once known, -2 before
    HoistSlot* hoistSlots;  // hoistMask + 1 slots, or null
    uint32_t hoistMask;
    uint32_t* hoistNodes;
    const host::FunctionKind* functionKinds;  // a copy taken at build; null for rt.parse trees
    uint32_t functionKindCount;
    uint32_t* lineStarts;
    uint32_t lineCount;
    uint32_t* captured;  // hash set of captured block scopes (kNone: free)
    uint32_t capturedMask;
};

// Why build refused its records (Status::unsupported): a static text.
struct Refusal {
    const char* text = nullptr;
};

// Builds the index of a tree. kinds (kindCount records, may be null) says which kinds define
// functions; analysis may be null; grammar is only kept (borrowed) for the index's readers.
// Status::ok with *out set; Status::outOfMemory; or Status::unsupported with refusal->text
// (when refusal is not null) saying what is wrong with the records. *out is null on failure.
// Sets no Python exception, so any thread may build.
Status build(const GrammarInfo* grammar, const host::FunctionKind* kinds, uint32_t kindCount,
             const TreeCapsule* tree, const AnalysisCapsule* analysis, Index** out,
             Refusal* refusal);

// Frees the index and everything it allocated (null is ignored). Cannot fail.
void freeIndex(Index* index);

// The scope whose frame holds the symbol's variable: a captured block scope, else the nearest
// function-kind node around the symbol's scope node, else -1 (the global scope, also for a
// symbol index out of range). Cannot fail.
int32_t symbolScope(Index* index, uint32_t symbol);

// The first direct child of node whose label byte is label, or -1 (also for a node past the
// array). Cannot fail.
int64_t childWithLabel(const NodeRecord* nodes, uint32_t count, uint32_t node, uint8_t label);

// Whether the node is a captured block scope. Cannot fail.
bool isCaptured(const Index* index, uint32_t node);

// Whether the node's kind defines functions (false past the array). Cannot fail.
bool isFunctionNode(const Index* index, uint32_t node);

// The hoisted definitions of a scope (a node index, or -1 for the global scope) in node
// order; *count is set (0 when there are none, the result then null). Cannot fail.
const uint32_t* hoisted(const Index* index, int64_t scope, uint32_t* count);

// The 1-based line of a byte offset, and the byte offset its line starts at (0 for a line
// out of range). Cannot fail.
uint32_t lineOf(const Index* index, uint32_t offset);
uint32_t lineStart(const Index* index, uint32_t line);

}  // namespace wuna::ptree
