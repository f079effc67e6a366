// The slots of loops and try statements, the loop stack, unrolled iterations, loop targets'
// marks and the process-wide sets of unroll keys (see control_support.h).
#include "compiler/codegen/control_support.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// A process-wide set of unroll keys: the IR of a semantic lives as long as the process, so
// its address names the same loop in every later compilation.
struct KeySet {
    backend::U64Map<uint8_t> keys;
};
KeySet notUnrolled;
KeySet atRunTime;

uint64_t keyWord(const void* key) { return uint64_t(reinterpret_cast<uintptr_t>(key)); }

}  // namespace

Status exceptVarUsed(front::StmtList body, uint32_t local, bool* used) {
    LocalSet set;
    Status err =
        collectUsedLocals(body.items, body.count, front::StmtList{nullptr, 0}, &set, local);
    *used = err == Status::ok && set.find(local) != nullptr;
    set.free();
    return err;
}

Status materializeSet(Emitter* e, Semantic* s, const LocalSet& set) {
    Status err = Status::ok;
    set.forEach([&](uint32_t local, uint8_t) {
        if (err == Status::ok && local < s->localCount) err = materializeLocal(e, s, local);
    });
    return err;
}

llvmapi::ValueRef wordSlot(Emitter* e) {
    llvmapi::ValueRef slot =
        T.LLVMBuildAlloca(e->builder.entryBuilder, e->compiler->module.i64, "");
    T.LLVMSetAlignment(slot, 8);
    return slot;
}

Status pushLoop(Emitter* e, Semantic* s, const LoopEntry& entry) {
    auto* record = takeArray<LoopEntry>(e->compiler, 1);
    if (!record) return Status::outOfMemory;
    *record = entry;
    return s->loops.push(record) ? Status::ok : Status::outOfMemory;
}

void popLoop(Semantic* s) { s->loops.cut(s->loops.count - 1); }

Status unrolledIteration(Emitter* e, Semantic* s, front::StmtList body, llvmapi::BasicBlockRef end,
                         const void* key, bool* stop) {
    llvmapi::BasicBlockRef next;
    if (Status err = newBlock(&e->builder, "next", &next); err != Status::ok) return err;
    LoopEntry entry{end, next, e->tries.count, key, s->controlDepth, s->tryDepth};
    if (Status err = pushLoop(e, s, entry); err != Status::ok) return err;
    Status err = lowerStatements(e, s, body);
    popLoop(s);
    // A break or continue of the iteration left its mark on the semantic; it is read once.
    bool continued = s->unrolledContinue, jumped = s->jumped;
    s->unrolledContinue = s->jumped = 0;
    if (err != Status::ok) return err;
    enter(&e->builder, next);
    *stop = s->ended || (jumped && !continued);
    return Status::ok;
}

Status exprTruth(Emitter* e, Semantic* s, const front::Expr* expr, Truth* out) {
    Shape value;
    if (Status err = emitExpr(e, s, expr, &value); err != Status::ok) return err;
    // The value is consumed by its truth test, as every shape given to the lowering is.
    return emitTruthy(e, value, s->site, out);
}

Status clearTargetMarks(Semantic* s, const front::Target& target, TargetMarks* marks) {
    LocalSet set;
    Status err = targetVariables(target, &set);
    set.forEach([&](uint32_t local, uint8_t) {
        if (err != Status::ok || local >= s->localCount) return;
        LocalRecord& record = s->locals[local];
        if (record.state != LocalState::slot && record.state != LocalState::typedSlot) return;
        if (!(record.noRelease & kMaybeUnset)) return;
        if (!marks->locals.push(local)) {
            err = Status::outOfMemory;
            return;
        }
        record.noRelease &= uint8_t(~kMaybeUnset);
    });
    set.free();
    return err;
}

void restoreTargetMarks(Semantic* s, TargetMarks* marks) {
    for (size_t i = 0; i < marks->locals.count; i++) {
        LocalRecord& record = s->locals[marks->locals[i]];
        if (record.state == LocalState::slot || record.state == LocalState::typedSlot)
            record.noRelease |= kMaybeUnset;
    }
    marks->locals.free();
}

Status noteLoopNotUnrolled(const void* key) {
    return notUnrolled.keys.put(keyWord(key), 1) ? Status::ok : Status::outOfMemory;
}
Status noteLoopAtRunTime(const void* key) {
    return atRunTime.keys.put(keyWord(key), 1) ? Status::ok : Status::outOfMemory;
}
bool loopNotUnrolled(const void* key) { return notUnrolled.keys.find(keyWord(key)) != nullptr; }
bool loopAtRunTime(const void* key) { return atRunTime.keys.find(keyWord(key)) != nullptr; }

}  // namespace wuna::compile
