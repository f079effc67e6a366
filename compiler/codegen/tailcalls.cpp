// rt.tail_call and rt.fresh.
//
// A tail call parks its callee, arguments and receiver on the run context (wn_tail_set) and
// leaves the function being run with the pending-tail-call marker as its result; the caller's
// trampoline (wn_tail_resolve) runs it, so a chain of tail calls takes no depth. At the top
// level, with no function to leave, the call is an ordinary call whose value is returned.
//
// rt.fresh(node) replaces the frame of the open block scope node by a new empty frame with the
// same parent: variables assigned from then on are new ones, while closures made earlier keep
// the old frame through their own references.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "compiler/front/jumps.h"
#include "host/tree/index.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

using value::kFrameParent;

// Whether a loop or try is open: leaving it needs the jump lowering's exits (finally code,
// loop-held values), which this file does not emit.
bool jumpConstructsOpen(const Emitter* e) {
    if (e->tries.count || e->rtLoops.count) return true;
    for (size_t i = 0; i < e->semantics.count; i++)
        if (e->semantics[i]->loops.count || e->semantics[i]->tryDepth) return true;
    return false;
}

// Releases what every open inlined semantic holds (innermost first) and the frames of the
// open block scopes, as a return does.
Status releaseOpenBodies(Emitter* e) {
    for (size_t i = e->semantics.count; i > 0; i--)
        if (Status err = releaseScope(e, e->semantics[i - 1]); err != Status::ok) return err;
    return releaseScopeFramesAbove(e, 0);
}

// Leaves the function being emitted with the tail call pending on the run context. From inside
// loops or try statements of a program function the way out is the jump lowering's
// (emitTailCall): finally code runs with the call parked, a handler of rt.TailCall receives it,
// and the open bodies and block frames are released on the way.
Status leaveWithTailCall(Emitter* e, int32_t site) {
    if (e->modes.jumpsAsFailures)
        return failWith(e, site, front::kJumpOutOfJumpless, sizeof front::kJumpOutOfJumpless - 1);
    Builder* b = &e->builder;
    if (e->modes.jumpsAsStatus) {
        if (jumpConstructsOpen(e)) return refuseConstruct(e, "rt.tail_call inside a loop or try");
        if (Status err = releaseOpenBodies(e); err != Status::ok) return err;
        openBlock(b);
        T.LLVMBuildRet(b->builder, constI32(e, 5));  // RunStatus: a pending tail call
        return Status::ok;
    }
    // A program function's result goes through its result pointer or, in its generic entry,
    // its result slot.
    ValueRef result = e->resultPointer ? e->resultPointer : e->resultSlot;
    if (e->modes.typedEntry || !result || !e->returnBlock)
        return refuseConstruct(e, "rt.tail_call in this function");
    if (jumpConstructsOpen(e)) {
        if (e->scopeId == kNoFunctionScope || !e->resultSlot)
            return refuseConstruct(e, "rt.tail_call inside a loop or try");
        return emitTailCall(e, site);
    }
    if (Status err = releaseOpenBodies(e); err != Status::ok) return err;
    storeWord(e, constI64(e, value::TagTail), result);
    storeWord(e, constI64(e, 0), slotPayload(e, result));
    br(b, e->returnBlock);
    return Status::ok;
}

// After the call: the statements after it are not compiled when no run-time loop is open,
// and code goes on in "after_tail_call".
Status afterTailCall(Emitter* e, Semantic* s) {
    if (s && s->controlDepth == 0) s->ended = 1;
    BasicBlockRef after;
    if (Status err = newBlock(&e->builder, "after_tail_call", &after); err != Status::ok)
        return err;
    enter(&e->builder, after);
    return Status::ok;
}

}  // namespace

Status emitRtTailCall(Emitter* e, Semantic* s, Shape* callee, Shape* args, Shape* receiver) {
    int32_t site = ops::siteOf(s);
    if (e->scopeId == kNoFunctionScope && !e->modes.jumpsAsStatus) {
        // The top level: an ordinary call whose value is returned.
        Shape result;
        if (Status err = callKnown(e, s, callee, args, receiver, false, &result);
            err != Status::ok)
            return err;
        Operand value;
        if (Status err = materialize(e, result, site, &value); err != Status::ok) return err;
        Shape returned = dynShape(value);
        if (Status err = lowerReturn(e, &returned, site); err != Status::ok) return err;
        return afterTailCall(e, s);
    }
    Operand f, a, r{};
    if (Status err = materialize(e, *callee, site, &f); err != Status::ok) return err;
    if (Status err = ops::materializeAfter(e, *args, site, &f, &a); err != Status::ok) return err;
    ValueRef receiverSlot = T.LLVMConstNull(e->compiler->module.ptr);
    if (receiver) {
        Shape held[2] = {dynShape(f), dynShape(a)};
        size_t mark = e->temporaries.count;
        if (!e->temporaries.push(held[0]) || !e->temporaries.push(held[1]))
            return Status::outOfMemory;
        Status err = materialize(e, *receiver, site, &r);
        e->temporaries.cut(mark);
        if (err != Status::ok) return err;
        receiverSlot = valueSlot(e);
        // The slot takes the reference; the helper takes its own, and the slot's is dropped.
        if (Status err2 = storeOperand(e, receiverSlot, &r); err2 != Status::ok) return err2;
    }
    ValueRef setArgs[6] = {e->runContext, f.tag, f.payload, a.tag, a.payload, receiverSlot};
    if (Status err = callHelper(e, "wn_tail_set", setArgs, 6, nullptr); err != Status::ok)
        return err;
    if (receiver)
        if (Status err = releaseSlot(e, receiverSlot); err != Status::ok) return err;
    if (Status err = release(e, dynShape(a)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(f)); err != Status::ok) return err;
    if (Status err = leaveWithTailCall(e, site); err != Status::ok) return err;
    return afterTailCall(e, s);
}

Status emitRtFresh(Emitter* e, Semantic*, uint32_t node) {
    Compiler* c = e->compiler;
    // Only block scopes have frames of their own to renew; anything else does nothing, as in
    // the reference mode.
    if (!c->tree || !ptree::isCaptured(c->tree, node)) return Status::ok;
    const ScopeEntry* scope = nullptr;
    for (size_t i = e->scopes.count; i > 0 && !scope; i--)
        if (e->scopes[i - 1].scope == node) scope = &e->scopes[i - 1];
    if (!scope) {
        c->message.clear();
        Status err = appendText(&c->message, "rt.fresh(): node ");
        if (err == Status::ok) err = appendDecimal(&c->message, node);
        if (err == Status::ok) err = appendText(&c->message, " isn't a scope being run");
        return err == Status::ok ? Status::unsupported : err;
    }
    Layout* layout;
    if (Status err = layoutOf(c, node, &layout); err != Status::ok) return err;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    openBlock(b);
    ValueRef old = T.LLVMBuildLoad2(b->builder, m->ptr, scope->frameSlot, "");
    T.LLVMSetAlignment(old, 8);
    ValueRef index = constI64(e, kFrameParent);
    ValueRef parentAt = T.LLVMBuildInBoundsGEP2(b->builder, m->i8, old, &index, 1, "");
    ValueRef parent = T.LLVMBuildLoad2(b->builder, m->ptr, parentAt, "");
    T.LLVMSetAlignment(parent, 8);
    ValueRef newArgs[2] = {parent, constI64(e, layout->slots.count)};
    ValueRef fresh;
    if (Status err = callHelper(e, "wn_frame_new", newArgs, 2, &fresh); err != Status::ok)
        return err;
    // The old frame stays the scope's until the new one exists: the error path releases it.
    if (Status err = checkNewFrame(e, fresh, node); err != Status::ok) return err;
    if (Status err = callHelper(e, "wn_frame_release", &old, 1, nullptr); err != Status::ok)
        return err;
    openBlock(b);
    T.LLVMSetAlignment(T.LLVMBuildStore(b->builder, fresh, scope->frameSlot), 8);
    return Status::ok;
}

}  // namespace wuna::compile
