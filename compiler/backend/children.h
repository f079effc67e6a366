// The children of a program node that carry a label (a function node's parameters, its body),
// as code generation reads them from the tree known while compiling.
#pragma once
#include <cstdint>

#include "compiler/backend/containers.h"
#include "wuna/runtime/status.h"

namespace wuna::ptree {
struct Index;
}

namespace wuna::compile {

// Appends to out, in order, every direct child of node whose label byte is label (none for a
// leaf or a node past the tree). ok; or outOfMemory when out cannot grow, which is reported
// as such and never passes for a node without such children.
[[nodiscard]] Status childrenWithLabel(const ptree::Index* tree, uint32_t node, uint8_t label,
                                       backend::List<uint32_t>* out);

}  // namespace wuna::compile
