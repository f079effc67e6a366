// The labelled children of a node (see children.h).
#include "compiler/backend/children.h"

#include "host/tree/index.h"

namespace wuna::compile {

Status childrenWithLabel(const ptree::Index* tree, uint32_t node, uint8_t label,
                         backend::List<uint32_t>* out) {
    if (node >= tree->count) return Status::ok;
    uint64_t end = uint64_t(node) + tree->nodes[node].descendants + 1;
    if (end > tree->count) end = tree->count;
    for (uint64_t j = uint64_t(node) + 1; j < end; j += uint64_t(tree->nodes[j].descendants) + 1) {
        if (ptree::labelByte(tree->nodes[j]) != label) continue;
        if (!out->push(uint32_t(j))) return Status::outOfMemory;
    }
    return Status::ok;
}

}  // namespace wuna::compile
