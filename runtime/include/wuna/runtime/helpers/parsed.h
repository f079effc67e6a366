// What compiled code's rt.parse (wn_parse) asks of the module: a native parse of a text with a
// parser prepared while compiling, answered as a tree the runtime reads (nodes::SharedTree).
//
// The runtime cannot see the module's grammar registry, its parse-tree index or the parser
// package's grammar record, so the module does those steps behind runtime::hostApi.parseNative
// and hands back one of these outcomes; wn_parse turns the outcome into values (the root
// node, the recovered errors) or a failure with the reference mode's texts. The module's hook
// runs no Python and takes no interpreter lock: a run thread calls it as it is.
//
// A parsed tree's holder count starts at 1, the caller's; counted node blocks hold one more
// each, and value::services.treeRelease drops one (the last frees the tree, its parse result
// and its text). The recovered errors live in the tree's parse result: readable while the
// caller's count is held.
#pragma once
#include <cstdint>

#include "pargo/tree_layout.h"
#include "wuna/runtime/helpers/nodes.h"

namespace wuna::parsed {

using ErrorRecord = pargo::layout::ErrorRecord;

// The parser's statuses (kept as it numbers them) and the module's own.
enum class ParseStatus : int32_t {
    parsed = 0,
    syntaxError = 1,
    unknownStart = -1,
    noNodes = -5,
    notPrepared = 2,  // no native grammar registered for the parser
    outOfMemory = 3,  // memory ran out, or the parser failed otherwise
};

struct Outcome {
    nodes::SharedTree* tree;    // parsed: the new tree, one holder for the caller
    const ErrorRecord* errors;  // parsed: the errors recovered from, in the parser's order
    uint64_t errorCount;
    ErrorRecord error;  // syntaxError: where and why
};

}  // namespace wuna::parsed
