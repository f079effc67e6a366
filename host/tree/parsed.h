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

// value::services.treeRelease: one holder fewer of a ParsedTree; the last frees it. Cannot
// fail; runs no Python.
void releaseParsed(void* holder);

}  // namespace wuna::ptree
