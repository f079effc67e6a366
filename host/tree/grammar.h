// The grammar that names a parse tree's kinds and labels, as the system knows it, and the
// process-wide grammar tables.
//
// A tree from the parser package names node kinds and labels by small numbers: a node's word
// holds its kind and its label byte (pargo/tree_layout.h). GrammarInfo is what those numbers
// mean, read once from a parser object through its rules(), actions(), fields() and labels()
// and kept: by a Language for its own parser, and in the process-wide grammar cache for
// parsers given to rt.parse (those get one more kind, "<error>", for the error nodes of a
// recovering parse). Every name of a GrammarInfo lives in one arena the record owns; the kind
// names are also interned Python strs, so lookups by name compare interned strings. A grammar
// whose numbers would not fit the node word (more than 255 fields, more than 4095 rules) is
// refused when it is read. The parser's lists are copied into tuples before they are read:
// reading them calls back into Python (a label flag's truth), and code run there must not
// change what is being read.
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
// The parse-tree index that reads a grammar needs no Python and has its own header
// (tree/index.h); trees as Python sees them are in tree/holder.h.
#pragma once
#include "host/support/python.h"

#include <cstddef>
#include <cstdint>

#include "host/support/arena.h"
#include "host/tree/index.h"
#include "pargo/tree_layout.h"
#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/status.h"

namespace wuna::ptree {

// Limits of the node word: an 8-bit label byte (0 = no field) and a 12-bit kind.
inline constexpr size_t kMaxFields = pargo::layout::maxLabels;
inline constexpr size_t kMaxRules = pargo::layout::maxKinds;

// What a rule's action makes of a node, a grammar's names and the labels of its kinds: the
// runtime's own types (wuna/runtime/helpers/nodes.h), so that compiled code's node reads
// point into a GrammarInfo's arrays instead of copying them.
using Action = nodes::Action;
using enum nodes::Action;
using Text = nodes::Name;
using LabelEntry = nodes::LabelEntry;

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
// holder: the caller. Calls the parser's methods (Python code). 0, or -1 with the Python
// exception (MemoryError when memory ran out); on failure *out holds nothing and has no
// holder (the caller frees the record). Needs the interpreter lock.
[[nodiscard]] int readGrammar(PyObject* parser, GrammarInfo* out);

// One more holder of a grammar (null is ignored). Cannot fail; needs the interpreter lock.
void holdGrammar(const GrammarInfo* grammar);

// One holder fewer (null is ignored); the last one drops the Python kind names, frees the
// arena and frees the record. Cannot fail; needs the interpreter lock.
void dropGrammar(const GrammarInfo* grammar);

// The parser's grammar for rt.parse (with the "<error>" kind), read on first use and cached
// while the parser is held elsewhere (the caller's reference keeps it for the call; a tree
// that borrows the grammar must hold the parser). Borrowed, or null with a Python exception.
// Needs the interpreter lock.
[[nodiscard]] GrammarInfo* parserGrammar(PyObject* parser);

// The label byte of a field name, 0 when the grammar has no such field. Cannot fail.
uint8_t fieldLabel(const GrammarInfo* grammar, const char* name, size_t length);

// Puts the parser's Grammar into the process-wide map, replacing an earlier one; the record
// then holds the parser (a reference taken unless it held it already), which keeps the key
// address this parser's for good. Status::ok or Status::outOfMemory; sets no exception and
// runs no Python; needs the interpreter lock (the reference).
Status registerGrammar(PyObject* parser, Grammar* grammar);

// The parser's Grammar, or null (none registered, or a record of another parser). Any thread,
// with or without the interpreter lock.
[[nodiscard]] Grammar* grammarOf(PyObject* parser);

}  // namespace wuna::ptree
