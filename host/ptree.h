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
// fields, more than 4095 rules) is refused when it is read.
//
// Compiled code's rt.parse needs, besides the grammar, the parser's native parse operations:
// a Grammar record per parser in the process-wide map `grammars`, which run threads and
// compile threads read without the interpreter lock, so the map has its own byte spin lock.
// Entries of both process-wide tables live until the process ends.
//
// The parse-tree index of a loaded program (nodes, parents, symbols, line starts) is built
// from a tree and its GrammarInfo; it joins this file with program loading.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace ptree {

// Limits of the node word: an 8-bit label byte (0 = no field) and a 12-bit kind.
inline constexpr size_t kMaxFields = 255;
inline constexpr size_t kMaxRules = 4095;

// What a rule's action makes of a node (the reference mode's value of such a node).
enum Action : uint8_t {
    ActionNone = 0,   // no action: the node itself
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
    ActionClass = 13,   // any other name: a class, which names the kind
};

// A name copied into a grammar's arena: UTF-8, NUL-terminated.
struct Text {
    const char* data;
    uint32_t length;
};

// One label a kind's nodes carry.
struct LabelEntry {
    uint8_t label;   // the field's 1-based index; 0 when the name is no field
    uint8_t list;    // 1 when the label's value is a list of children
};

struct Arena;

struct GrammarInfo {
    Arena* arena;
    uint32_t kindCount;        // the count of each per-kind array below
    Text* ruleNames;
    uint8_t* actions;          // Action codes
    PyObject** pyNames;        // interned kind names, one reference each
    Text* kindNames;           // the class name for ActionClass, else the rule name
    LabelEntry** labels;       // per kind: its label entries
    uint32_t* labelCounts;
    uint32_t fieldCount;
    Text* fields;              // in the parser's order; field i has label byte i + 1
    uint8_t* fieldSlots;       // hash table of label bytes (0 = free), fieldMask + 1 slots
    uint32_t fieldMask;
};

// A parser prepared for compiled code's rt.parse.
struct Grammar {
    const void* parse[2];      // the native parse operations of the "pargo.grammar.v1" capsule
    const void* release;       // releases a native parse result
    GrammarInfo* info;         // the parser's, from parserGrammar
    PyObject* parser;
};

// Reads the parser's grammar into *out (which the caller allocated). 0, kOutOfMemory (no
// exception set), or kPythonError with the exception pending; on failure *out holds nothing.
uint16_t readGrammar(PyObject* parser, GrammarInfo* out);

// Drops the Python kind names and frees the arena; the record itself is its owner's.
void freeGrammar(GrammarInfo* grammar);

// The parser's grammar for rt.parse (with the "<error>" kind), read on first use and cached
// for the process. Null with a Python exception on failure. Needs the interpreter lock.
GrammarInfo* parserGrammar(PyObject* parser);

// The label byte of a field name, 0 when the grammar has no such field.
uint8_t fieldLabel(const GrammarInfo* grammar, const char* name, size_t length);

// Puts the parser's Grammar into the process-wide map, replacing an earlier one. 0 or
// kOutOfMemory.
uint16_t registerGrammar(PyObject* parser, Grammar* grammar);

// The parser's Grammar, or null. Any thread, with or without the interpreter lock.
Grammar* grammarOf(PyObject* parser);

}  // namespace ptree
