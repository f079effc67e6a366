// The name analysis of nomos, plain C++ (no Python): given a pargo tree's node array and text
// and a language's rules as numeric tables, it binds every name node to a symbol, records the
// references of every symbol, reports undeclared and redeclared names, and lays the result out
// as the records of the "nomos.analysis.v2" capsule. Types of nodes are answered on demand from
// the same result (literal kinds, annotations, and values of variables never reassigned).
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "nomos/analysis_layout.h"
#include "pargo/tree_layout.h"

namespace nomos::analyze {

using layout::none;

// One pargo node as the tree capsule lays it out.
using pargo::layout::kindOf;
using pargo::layout::labelOf;
using pargo::layout::Node;

// Per-kind flags of the rules.
enum KindFlag : uint8_t { nameKind = 1, functionKind = 2, blockKind = 4 };

// When a declared name becomes visible.
enum class Visible : uint8_t { now, after, from };

// A position that declares a name: the name is the child labelled `label` of a node of kind
// `kind` (or, when `sub` is not 0, that child's own child labelled `sub`).
struct Decl {
    uint32_t kind = 0, label = 0, sub = 0;
    std::string symbolKind;
    bool enclosing = false;  // into the scope around the one the declaring node opens
    bool hoist = false;      // visible throughout its scope, before its own position
    Visible visible = Visible::now;
    uint32_t fromLabel =
        0;  // for Visible::from: visible from the declaring node's child so labelled
};

// A position that assigns a name: resolved like a reference; an undeclared name assigned
// there becomes a global whose declaring node is the first such position.
struct Assign {
    uint32_t kind = 0, label = 0, sub = 0;
    std::string symbolKind;
};

// A name a node declares without spelling it: when a node of kind `kind` has a child labelled
// `label` (any child when label is 0), `name` is declared in the scope the node opens (or the
// current one), with no declaring node. Lua's method definitions declare self this way.
struct Implicit {
    uint32_t kind = 0, label = 0;
    std::string name, symbolKind;
};

struct Config {
    uint32_t kindCount = 0;          // kinds of the grammar; kindCount is the error kind
    uint32_t fieldCount = 0;         // label bytes 1..fieldCount are valid
    std::vector<uint8_t> kindFlags;  // kindCount entries
    std::vector<std::vector<uint8_t>> labelsOf;  // per kind, the label bytes its nodes may hold
    std::vector<Decl> decls;
    std::vector<Assign> assigns;
    std::vector<Implicit> implicits;
    std::vector<std::string> builtins;
    bool undeclaredIsError = false;
    bool redeclareIsError = false;
    std::vector<std::string> literalTypes;  // per kind, "" for none
    uint32_t annotationLabel = 0;           // 0: no annotations
    uint32_t inferLabel = 0;                // 0: no inference from initial values
};

// The capsule's records (nomos/analysis_layout.h).
using CapsuleRecord = layout::AnalysisRecord;
using layout::assignedFlag;
using layout::builtinFlag;
using layout::globalFlag;
using layout::SymbolFlag;
using layout::SymbolRecord;

struct Symbol {
    std::string name, kind;
    uint32_t declaringNode = none, scopeNode = none, flags = 0;
    std::vector<uint32_t> references;
};

struct Problem {
    uint32_t node;
    std::string code, message;
};

struct Result {
    std::string text;  // a copy of the tree's text (names and annotations point into it)
    std::vector<Node> nodes;
    std::vector<uint32_t> parents;
    std::vector<Symbol> symbols;
    std::vector<uint32_t> nodeSymbols;
    std::vector<Problem> problems;
    // The capsule's memory, filled by layout().
    std::vector<SymbolRecord> records;
    std::vector<uint32_t> references;
    CapsuleRecord capsule{};
    // Types, answered on demand.
    std::vector<std::string> literalTypes;
    uint32_t annotationLabel = 0, inferLabel = 0;
    std::vector<int8_t> typeState;  // per symbol: 0 not computed, 1 computing, 2 done
    std::vector<std::string> symbolTypes;
    std::vector<uint8_t> symbolHasType;
};

// Status of run(): 0 done; otherwise the tree does not fit the rules' grammar.
enum Status : int { ok = 0, badShape = 1, badKind = 2, badLabel = 3, badSpan = 4 };

// Analyses the tree: fills `out` (including the capsule records) or returns a failure status
// with `detail` naming the offending node.
int run(const Config& config, const Node* nodes, uint32_t count, const char* text, uint64_t length,
        const std::vector<std::string>& extraBuiltins, Result& out, std::string& detail);

// The type text of a node: true and `type` set, or false when it has none.
bool typeOf(Result& result, uint32_t node, std::string& type);

// 1-based line and byte column of a byte offset of the result's text.
void lineColumn(const Result& result, uint32_t offset, uint32_t& line, uint32_t& column);

}  // namespace nomos::analyze
