// Trees that compiled code's rt.parse makes, and the preparation of a parser for it.
//
// While compiling, prepareParser registers the parser's native parse operations (from its
// "pargo.grammar.v1" capsule) in the process-wide grammar registry (tree/grammar.h), with the
// grammar metadata read once per parser. At run time parseNative, the module's answer to
// runtime::hostApi.parseNative, finds that record, runs the parser package's native parse on
// the text, builds the parse-tree index over the result and wraps both in a ParsedTree: the
// runtime reads it as a nodes::SharedTree (its first member), and counted node blocks hold it.
// None of the run-time steps runs Python, so run threads call them without the interpreter
// lock; the registry's spin lock is the only lock taken.
//
// A counted node that goes to Python (a semantic run as Python, a program result) becomes a
// wuna.Node: the first such request parses the tree's text again with the parser in Python
// and keeps the root Node of that tree in the ParsedTree, so that every node of one parsed
// tree shows as a node of one State; the node asked for is the one at the same index. The
// last release drops that root, taking the interpreter lock for it when the releasing thread
// does not hold it.
#pragma once
#include "host/support/python.h"

#include <cstdint>

#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "wuna/runtime/helpers/parsed.h"

namespace wuna::ptree {

struct ParsedTree {
    nodes::SharedTree shared;  // first: the runtime's holder pointer is the record's address
    nodes::GrammarView grammarView;
    nodes::NodeCache cache;
    Index* index;
    TreeCapsule result;      // the parser's parse result, released with the grammar's release
    const Grammar* grammar;  // registry records live as long as the process
    value::Value text;       // the str or bytes parsed, one reference (the nodes point into it)
    char* start;             // the start rule's name, NUL-terminated, or null
    uint32_t startLength;
    PyObject* root;  // the tree as Python: its root wuna.Node, made on first demand, or null
    uint8_t recover;
};
static_assert(offsetof(ParsedTree, shared) == 0);

// Registers the parser for compiled code's rt.parse unless it is registered already. 0, or
// -1 with the Python exception: parserGrammar's TypeError for what is no pargo parser,
// ImportError for a parser without a grammar capsule or of another ABI, the capsule's own
// error, MemoryError. Runs the parser's methods (Python); needs the interpreter lock.
[[nodiscard]] int prepareParser(PyObject* parser);

// runtime::hostApi.parseNative (see hostapi.h): runs no Python, any thread.
parsed::ParseStatus parseNative(PyObject* parser, value::Value text, const char* data,
                                uint64_t length, const char* start, bool recover,
                                parsed::Outcome* out);

// The wuna.Node of node index of the tree (ptree.nodeToPython). New reference, or null with
// the exception: RuntimeError when the tree's grammar has no parser or the parse in Python
// gives a tree without that node, the parser's own exceptions. Runs the parser in Python the
// first time; needs the interpreter lock.
[[nodiscard]] PyObject* nodeToPython(ParsedTree* tree, uint32_t index);

// convert::hooks.treeNode: nodeToPython of a counted node block's tree and index.
[[nodiscard]] PyObject* treeNodeObject(value::Node* node);

// value::services.treeRelease: one holder fewer of a ParsedTree; the last frees it. Cannot
// fail; runs no Python unless the tree went to Python (its root Node is dropped then, under
// the interpreter lock, taken when the thread does not hold it).
void releaseParsed(void* holder);

}  // namespace wuna::ptree
