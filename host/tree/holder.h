// Trees as Python sees them: a TreeHolder is the parse-tree index of one tree (tree/index.h),
// the parser's tree object that owns the capsule memory, and one cache slot per node for the
// scalar values the interpreter computes once. A wuna.State owns its holder (tree/state.h).
//
// Here too the steps from a parse result to a holder: taking the tree capsule of a result,
// building the index and turning a refused build into the Python exception, and rt.parse's
// whole way from a parser and a text to the root wuna.Node.
#pragma once
#include "host/support/python.h"

#include <cstdint>

#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "wuna/runtime/status.h"

namespace wuna::ptree {

struct TreeHolder {
    Index* index;       // owned
    PyObject* tree;     // the parser's tree object, owning the capsule memory
    PyObject** values;  // per node: the cached value, or null; length slots
    uint32_t length;    // index->count
    // The capsule objects the index was read from, held as long as it: their owners promise
    // the memory lives with the tree and the analysis, and holding them too costs nothing.
    PyObject* capsules[2];
};

// A new holder taking over index and the references to the two capsule objects (the second
// may be null), with a new reference to tree and a hold on the index's grammar. Null with
// MemoryError (the index and the capsule references are then still the caller's). Needs the
// interpreter lock.
[[nodiscard]] TreeHolder* newTreeHolder(Index* index, PyObject* tree, PyObject* treeCapsule,
                                        PyObject* analysisCapsule);

// Drops the cached values, frees the index, lets go of its grammar, drops the tree and
// capsules, frees the holder (null is ignored). Cannot fail; may run Python (the dropped
// references); needs the interpreter lock.
void freeTreeHolder(TreeHolder* holder);

// The tree capsule of a parse result (its "capsule" attribute), ABI-checked; *capsule gets a
// new reference to the capsule object. Borrowed from the capsule, or null with the Python
// exception (ImportError for another ABI) and *capsule null.
[[nodiscard]] const TreeCapsule* treeCapsuleOf(PyObject* result, PyObject** capsule);

// Raises the Python exception for a failed build (status not Status::ok): MemoryError for
// Status::outOfMemory, ValueError with the refusal's text for Status::unsupported. Always
// leaves an exception set.
void raiseBuildFailure(Status status, const Refusal& refusal);

// parser.parse_tree(text, start=start, recover=True): start passed only when given and not
// None, recover only when set. New reference, or null with the exception.
[[nodiscard]] PyObject* parseTree(PyObject* parser, PyObject* text, PyObject* start, bool recover);

// The root wuna.Node of a new State holding the parse result (owner the parser, no
// analysis, diagnostics its errors). New reference, or null with the exception.
[[nodiscard]] PyObject* treeOf(PyObject* parser, const GrammarInfo* grammar, PyObject* result);

// rt.parse's tree, for the runtime (runtime::hostApi.parseRoot): parserGrammar, parseTree and
// treeOf in turn. The root (new reference) with *result the parse result (new reference, for
// its errors); or null with the Python exception and *result null.
[[nodiscard]] PyObject* rtParseRoot(PyObject* parser, PyObject* text, PyObject* start, bool recover,
                                    PyObject** result);

// Trees that compiled code's rt.parse makes (ParsedTree: counted, with a node cache for
// compiled node access) and their Python view (nodeToPython, release) are in tree/parsed.h;
// their Python view is a State made here (rtParseRoot's steps).

}  // namespace wuna::ptree
