// Scope analysis: the locals table and its numbering, declarations (being built).
#include <cstring>

#include "compiler/front/lower.h"

namespace wuna::front {

Status localIndex(Lowering& lowering, Text name, uint32_t* out) {
    for (uint32_t i = 0; i < lowering.locals.count; i++) {
        const Text& local = lowering.locals.items[i];
        if (local.length == name.length &&
            (name.length == 0 || memcmp(local.data, name.data, name.length) == 0)) {
            *out = i;
            return Status::ok;
        }
    }
    Text copy;
    Arena& arena = arenaOf(lowering);
    if (!copyText(arena, name.data, name.length, &copy) || !lowering.locals.push(arena, copy))
        return Status::outOfMemory;
    *out = lowering.locals.count - 1;
    return Status::ok;
}

Status collectDeclarations(Lowering& lowering, PyObject* statements) {
    (void)lowering;
    (void)statements;
    return Status::ok;
}

Status collectLocals(Lowering& lowering, PyObject* statements) {
    (void)lowering;
    (void)statements;
    return Status::ok;
}

Status collectTargetNames(Lowering& lowering, PyObject* target) {
    (void)lowering;
    (void)target;
    return Status::ok;
}

Status collectWalrusTargets(Lowering& lowering, PyObject* node) {
    (void)lowering;
    (void)node;
    return Status::ok;
}

}  // namespace wuna::front
