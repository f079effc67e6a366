// Frame layouts, heap frames for a function and its block scopes, and compiling again with
// frames (see compile.h).
#include <cstdlib>

#include "compiler/backend/compile.h"
#include "host/tree/index.h"

namespace wuna::compile {

namespace {

// The scope that owns a scope's frame: the scope itself when its node is a function, else
// the nearest function node above it (block scopes on the way are passed over); kNoScope
// when there is none.
uint32_t functionLevelScope(const Compiler* c, uint32_t scope) {
    const ptree::Index* tree = c->tree;
    if (!tree) return kNoScope;
    for (uint32_t node = scope; node < tree->count; node = tree->parents[node])
        if (ptree::isFunctionNode(tree, node)) return node;
    return kNoScope;
}

}  // namespace

Status layoutOf(Compiler* c, uint32_t scope, Layout** out) {
    if (Layout** there = c->layouts.find(scope)) {
        *out = *there;
        return Status::ok;
    }
    auto* layout = static_cast<Layout*>(calloc(1, sizeof(Layout)));
    if (!layout) return Status::outOfMemory;
    layout->heapFrame = c->allFrames;
    if (!c->layouts.put(scope, layout)) {
        free(layout);
        return Status::outOfMemory;
    }
    *out = layout;
    return Status::ok;
}

Status markFrames(Compiler* c, uint32_t scope) {
    Layout* own;
    if (Status err = layoutOf(c, scope, &own); err != Status::ok) return err;
    own->heapFrame = 1;
    c->layouts.forEach([&](uint32_t s, Layout* layout) {
        if (s == kGlobalScope || layout == own) return;
        if (functionLevelScope(c, s) == scope) layout->heapFrame = 1;
    });
    return Status::ok;
}

Status retryWithFrames(Compiler* c, bool* retry) {
    *retry = false;
    if (!c->frameNeeded) return Status::ok;
    c->frameNeeded = 0;
    uint32_t scope = c->frameNeededScope;
    if (scope == kNoScope) return Status::ok;
    // Asked for and still requested after the roll-back: compiled in an earlier module,
    // whose code cannot change any more.
    if (c->requested.find(scope)) return Status::ok;
    Layout* layout;
    if (Status err = layoutOf(c, scope, &layout); err != Status::ok) return err;
    if (layout->heapFrame) return Status::ok;
    if (Status err = markFrames(c, scope); err != Status::ok) return err;
    *retry = true;
    return Status::ok;
}

}  // namespace wuna::compile
