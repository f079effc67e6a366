// Value slots: 16-byte entry-block slots that start as None, so a path that never assigns one
// releases nothing, optionally listed on the body so that its end and every error exit release
// them (see lower.h).
#include "compiler/codegen/attributes_common.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

}  // namespace

llvmapi::ValueRef newValueSlot(Emitter* e) {
    llvmapi::ValueRef slot = valueSlot(e);
    ModuleRecord* m = &e->compiler->module;
    // In the entry block: the slot holds None on every path, also one that never assigns it.
    T.LLVMSetAlignment(
        T.LLVMBuildStore(e->builder.entryBuilder, T.LLVMConstNull(m->valuePair), slot), 8);
    return slot;
}

Status newListedSlot(Emitter* e, Semantic* s, llvmapi::ValueRef* out) {
    llvmapi::ValueRef slot = newValueSlot(e);
    if (!s->extraSlots.push(slot)) return Status::outOfMemory;
    *out = slot;
    return Status::ok;
}

}  // namespace wuna::compile
