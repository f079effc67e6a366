// The parse tree as the system knows it: the grammar that names a tree's kinds and labels,
// and (with loading) the native index of one parsed tree.
//
// A tree from the parser package names node kinds and labels by small numbers: a node's word
// holds its kind in bits 12 to 23 and its label byte in bits 24 to 31. GrammarInfo is what
// those numbers mean, read once from a parser object through its rules(), actions(),
// fields() and labels() and kept: by a Language for its own parser, and in the process-wide
// grammar cache for parsers given to rt.parse (those get one more kind, "<error>", for the
// error nodes of a recovering parse). Every name of a GrammarInfo lives in one arena the
// record owns; the kind names are also interned Python strs, so lookups by name compare
// interned strings. A grammar whose numbers would not fit the node word (more than 255
// fields, more than 4095 rules) is refused when it is read. The parser's lists are copied
// into tuples before they are read: reading them calls back into Python (a label flag's
// truth), and code run there must not change what is being read.
//
// A GrammarInfo has holders: its Language (or the grammar cache) and every TreeHolder whose
// index reads it. A Language constructed again lets go of its old grammar, but the trees of
// programs already loaded from it keep reading that grammar, so the last holder frees it.
//
// Compiled code's rt.parse needs, besides the grammar, the parser's native parse operations:
// a Grammar record per parser in the process-wide map `grammars`, which run threads and
// compile threads read without the interpreter lock, so the map has its own byte spin lock.
// Entries of `grammars` live until the process ends; the grammar cache keeps a parser (and
// its grammar) only while something else holds the parser too, such as a tree rt.parse made
// with it, and drops it at a later sweep once nothing does.
//
// The parse-tree index (Index) is the native view of one parsed tree that every later stage
// reads: the interpreter walks it, the code generator reads it while compiling, error texts
// take lines and columns from it. build() reads the parser package's tree capsule (its node
// array and text are used in place, never copied) and, when the language has rules, the rules
// package's analysis capsule (symbol names stay in the analysis' memory); it adds each node's
// parent, the symbols with a node-to-symbol map, the captured block scopes (block scopes a
// nested function refers into, which get frames of their own), the hoisted function
// definitions of every scope, and the line starts of the text. Every array of an index comes
// from one arena and is freed at once; after build only the per-symbol scope cache changes,
// filled lazily by symbolScope (every writer stores the same value, so threads need no lock).
// A capsule that is malformed (no node array, no nodes, descendant counts running past the
// array) is refused with a reason, never read out of bounds.
//
// A TreeHolder is a tree as Python sees it: the index, the parser's tree object that owns the
// capsule memory, and one cache slot per node for the scalar values the interpreter computes
// once. A wuna.State owns its holder (tree/state.h).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "host/support/arena.h"

namespace wuna::host {
struct FunctionKind;
}

namespace wuna::ptree {

using Arena = arena::Arena;

// Limits of the node word: an 8-bit label byte (0 = no field) and a 12-bit kind.
inline constexpr size_t kMaxFields = 255;
inline constexpr size_t kMaxRules = 4095;

// What a rule's action makes of a node (the reference mode's value of such a node).
enum Action : uint8_t {
    ActionNone = 0,  // no action: the node itself
    ActionStr = 1,
    ActionInt = 2,
    ActionFloat = 3,
    ActionUnquote = 4,
    ActionTrue = 5,
    ActionFalse = 6,
    ActionNoneValue = 7,
    ActionList = 8,
    ActionTuple = 9,
    ActionDict = 10,
    ActionFirst = 11,
    ActionDrop = 12,
    ActionClass = 13,  // any other name: a class, which names the kind
};

// A name copied into a grammar's arena: UTF-8, NUL-terminated.
struct Text {
    const char* data;
    uint32_t length;
};

// One label a kind's nodes carry.
struct LabelEntry {
    uint8_t label;  // the field's 1-based index; 0 when the name is no field
    uint8_t list;   // 1 when the label's value is a list of children
};

struct GrammarInfo {
    Arena* arena;
    mutable uint32_t holders;  // who keeps the record: its owner, and each tree holder
    uint32_t kindCount;        // the count of each per-kind array below
    Text* ruleNames;
    uint8_t* actions;     // Action codes
    PyObject** pyNames;   // interned kind names, one reference each
    Text* kindNames;      // the class name for ActionClass, else the rule name
    LabelEntry** labels;  // per kind: its label entries
    uint32_t* labelCounts;
    uint32_t fieldCount;
    Text* fields;         // in the parser's order; field i has label byte i + 1
    uint8_t* fieldSlots;  // hash table of label bytes (0 = free), fieldMask + 1 slots
    uint32_t fieldMask;
};

// A parser prepared for compiled code's rt.parse.
struct Grammar {
    const void* parse[2];  // the native parse operations of the "pargo.grammar.v1" capsule
    const void* release;   // releases a native parse result
    GrammarInfo* info;     // the parser's, from parserGrammar
    PyObject* parser;      // one reference, which also keeps info in the grammar cache
};

// Reads the parser's grammar into *out (which the caller allocated with calloc), with one
// holder: the caller. 0, kOutOfMemory (no exception set), or kPythonError with the exception
// pending; on failure *out holds nothing and has no holder (the caller frees the record).
uint16_t readGrammar(PyObject* parser, GrammarInfo* out);

// One more holder of a grammar (null is ignored). Cannot fail; needs the interpreter lock.
void holdGrammar(const GrammarInfo* grammar);

// One holder fewer (null is ignored); the last one drops the Python kind names, frees the
// arena and frees the record. Cannot fail; needs the interpreter lock.
void dropGrammar(const GrammarInfo* grammar);

// The parser's grammar for rt.parse (with the "<error>" kind), read on first use and cached
// while the parser is held elsewhere (the caller's reference keeps it for the call; a tree
// that borrows the grammar must hold the parser). Null with a Python exception on failure.
// Needs the interpreter lock.
GrammarInfo* parserGrammar(PyObject* parser);

// The label byte of a field name, 0 when the grammar has no such field.
uint8_t fieldLabel(const GrammarInfo* grammar, const char* name, size_t length);

// Puts the parser's Grammar into the process-wide map, replacing an earlier one. 0 or
// kOutOfMemory.
uint16_t registerGrammar(PyObject* parser, Grammar* grammar);

// The parser's Grammar, or null. Any thread, with or without the interpreter lock.
Grammar* grammarOf(PyObject* parser);

// --- the parse-tree index ------------------------------------------------------------------

inline constexpr uint32_t kNone = 0xFFFFFFFFu;

// One node of the parser's array: nodes are in pre-order, the subtree of node i is nodes i to
// i + descendants.
struct NodeRecord {
    uint32_t start;  // byte offsets into the text
    uint32_t end;
    uint32_t descendants;  // all nodes below it
    uint32_t word;         // bits 12-23 the kind, 24-31 the label byte
};

inline uint32_t kindOf(const NodeRecord& node) { return (node.word >> 12) & 0xfff; }
inline uint8_t labelByte(const NodeRecord& node) { return uint8_t(node.word >> 24); }

// The record behind a "pargo.tree.v1" capsule (only these fields are read).
struct TreeCapsule {
    uint32_t abi;  // 1
    uint32_t count;
    const NodeRecord* nodes;
    const char* text;  // UTF-8; null is an empty text
    uint64_t length;
};

// The record behind a "nomos.analysis.v2" capsule (only these fields are read).
struct AnalysisCapsule {
    uint32_t abi;  // 2
    uint32_t symbolCount;
    const unsigned char* symbols;  // symbolCount records of kSymbolRecord bytes
    uint64_t referenceCount;
    const uint32_t* references;  // node indexes; null when there are none
};

inline constexpr uint32_t kTreeAbi = 1;
inline constexpr uint32_t kAnalysisAbi = 2;
inline constexpr size_t kSymbolRecord = 120;

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

// Why build refused a capsule (code kPythonError with no exception set): a static text.
struct Refusal {
    const char* text = nullptr;
};

// Builds the index of a tree. kinds (kindCount records, may be null) says which kinds define
// functions; analysis may be null. 0 with *out set, kOutOfMemory, or kPythonError with
// refusal->text saying what is wrong with the capsules (no Python exception is set, so any
// thread may build).
uint16_t build(const GrammarInfo* grammar, const host::FunctionKind* kinds, uint32_t kindCount,
               const TreeCapsule* tree, const AnalysisCapsule* analysis, Index** out,
               Refusal* refusal);

// Frees the index and everything it allocated.
void freeIndex(Index* index);

// The scope whose frame holds the symbol's variable: a captured block scope, else the nearest
// function-kind node around the symbol's scope node, else -1 (the global scope).
int32_t symbolScope(Index* index, uint32_t symbol);

// The first direct child of node whose label byte is label, or -1.
int64_t childWithLabel(const NodeRecord* nodes, uint32_t count, uint32_t node, uint8_t label);

// Whether the node is a captured block scope.
bool isCaptured(const Index* index, uint32_t node);

// Whether the node's kind defines functions.
bool isFunctionNode(const Index* index, uint32_t node);

// The hoisted definitions of a scope (a node index, or -1 for the global scope) in node
// order; *count is set (0 when there are none).
const uint32_t* hoisted(const Index* index, int64_t scope, uint32_t* count);

// The 1-based line of a byte offset, and the byte offset its line starts at.
uint32_t lineOf(const Index* index, uint32_t offset);
uint32_t lineStart(const Index* index, uint32_t line);

// --- trees seen from Python ----------------------------------------------------------------

struct TreeHolder {
    Index* index;       // owned
    PyObject* tree;     // the parser's tree object, owning the capsule memory
    PyObject** values;  // per node: the cached value, or null
    uint32_t length;
    // The capsule objects the index was read from, held as long as it: their owners promise
    // the memory lives with the tree and the analysis, and holding them too costs nothing.
    PyObject* capsules[2];
};

// A new holder taking over index and the references to the two capsule objects (the second
// may be null), with a new reference to tree and a hold on the index's grammar. Null with
// MemoryError (the index and the capsule references are then still the caller's).
TreeHolder* newTreeHolder(Index* index, PyObject* tree, PyObject* treeCapsule,
                          PyObject* analysisCapsule);

// Drops the cached values, frees the index, lets go of its grammar, drops the tree and
// capsules, frees the holder.
void freeTreeHolder(TreeHolder* holder);

// The tree capsule of a parse result (its "capsule" attribute), ABI-checked; *capsule gets a
// new reference to the capsule object. Null with the Python exception (ImportError for
// another ABI).
const TreeCapsule* treeCapsuleOf(PyObject* result, PyObject** capsule);

// Raises the Python exception for a failed build: MemoryError, or ValueError with the
// refusal's text.
void raiseBuildFailure(uint16_t code, const Refusal& refusal);

// parser.parse_tree(text, start=start, recover=True): start passed only when given and not
// None, recover only when set. New reference, or null with the exception.
PyObject* parseTree(PyObject* parser, PyObject* text, PyObject* start, bool recover);

// The root wuna.Node of a new State holding the parse result (owner the parser, no
// analysis, diagnostics its errors). New reference, or null with the exception.
PyObject* treeOf(PyObject* parser, const GrammarInfo* grammar, PyObject* result);

// rt.parse's tree, for the runtime (runtime::hostApi.parseRoot): parserGrammar, parseTree and
// treeOf in turn. The root (new reference) with *result the parse result (new reference, for
// its errors); or null with the Python exception and *result null.
PyObject* rtParseRoot(PyObject* parser, PyObject* text, PyObject* start, bool recover,
                      PyObject** result);

// Trees that compiled code's rt.parse makes (ParsedTree: counted, with a node cache for
// compiled node access) and their Python view (nodeToPython, release) come with compiled
// rt.parse; their records will join the index here.

}  // namespace wuna::ptree
