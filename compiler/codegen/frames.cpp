// Frames and block scopes: how compiled code finds the frame holding a scope's variables, and
// opens and closes the frames of block scopes.
//
// Which node is whose scope, which frame has how many slots and which frames live on the heap
// is settled while compiling (the layouts of compile.h); at run time the code follows parent
// pointers, a fixed number of them. Only a frame-walking thunk (compiled for a node kind, its
// frame and scope given at run time) walks by the parent-scope table, and that walk is checked:
// a frame it cannot find fails the run at once rather than being read as another scope's.
//
// A block frame is owned by its stack slot from entry to leave; a jump out of open block
// scopes releases their frames on the way (releaseScopeFramesAbove) and leaves the compile-time
// stack for the fall-through path.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "host/tree/index.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Byte offset of the parent pointer in a frame block.
constexpr uint64_t kFrameParent = 16;

constexpr const char* kFrameTexts[3] = {
    "a function made outside the function or scope around it (node ",
    "a variable of another function isn't reachable from here (node ",
    "a block scope's frame isn't reachable from here (node ",
};

Status unreachable(Compiler* c, FrameMessage which, uint32_t scope) {
    c->message.clear();
    Status s = appendText(&c->message, kFrameTexts[int(which)]);
    if (s == Status::ok) s = appendDecimal(&c->message, uint64_t(scope));
    if (s == Status::ok) s = appendText(&c->message, ")");
    return s == Status::ok ? Status::unsupported : s;
}

// The own frame a function without one needs: recorded for the next attempt.
Status frameNeeded(Compiler* c, uint32_t scope) {
    c->frameNeeded = 1;
    c->frameNeededScope = scope;
    c->message.clear();
    Status s =
        appendText(&c->message, "code here needs the frame of a function without one (node ");
    if (s == Status::ok) s = appendDecimal(&c->message, uint64_t(scope));
    if (s == Status::ok) s = appendText(&c->message, "): compiled again with frames");
    return s == Status::ok ? Status::unsupported : s;
}

ValueRef loadPointer(Emitter* e, ValueRef address) {
    openBlock(&e->builder);
    ValueRef v = T.LLVMBuildLoad2(e->builder.builder, e->compiler->module.ptr, address, "");
    T.LLVMSetAlignment(v, 8);
    return v;
}

// The parent-scope table (one u64 per node, scopeOf widened), made once per compilation in the
// arena, and the key constant that hands its address to the code.
Status parentScopeTable(Emitter* e, ValueRef* out) {
    Compiler* c = e->compiler;
    const ptree::Index* tree = c->tree;
    uint32_t count = tree ? tree->count : 0;
    if (!c->parentScopes) {
        uint64_t* table = takeArray<uint64_t>(c, count ? count : 1);
        if (!table) return Status::outOfMemory;
        for (uint32_t i = 0; i < count; i++) table[i] = scopeOf(c, i);
        c->parentScopes = table;
    }
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(c->parentScopes));
    ValueRef constant;
    if (Status err = keyConstant(&c->module, key,
                                 KeyOrigin{{count, 0}, KeyOriginKind::words}, &constant);
        err != Status::ok)
        return err;
    openBlock(&e->builder);
    *out = T.LLVMBuildIntToPtr(e->builder.builder, constant, c->module.ptr, "");
    return Status::ok;
}

// The run-time walk of a frame-walking thunk: from its own frame at the scope it was given,
// parent by parent, until the scope is the target. A walk that runs out of frames or reaches
// the global scope first fails the run with a plain text instead of handing back a frame of
// another scope (whose slots would be read as this one's).
Status walkAtRunTime(Emitter* e, uint32_t target, ValueRef* out) {
    Builder* b = &e->builder;
    ModuleRecord* m = &e->compiler->module;
    ValueRef table;
    if (Status err = parentScopeTable(e, &table); err != Status::ok) return err;
    BasicBlockRef loop, check, step, done, lost;
    if (Status err = newBlock(b, "frame_walk", &loop); err != Status::ok) return err;
    if (Status err = newBlock(b, "frame_walk_check", &check); err != Status::ok) return err;
    if (Status err = newBlock(b, "frame_walk_up", &step); err != Status::ok) return err;
    if (Status err = newBlock(b, "frame_walk_done", &done); err != Status::ok) return err;
    if (Status err = newBlock(b, "frame_walk_lost", &lost); err != Status::ok) return err;
    openBlock(b);
    ValueRef startFrame = e->ownFrame;
    ValueRef startScope = T.LLVMBuildZExt(b->builder, e->callScope ? e->callScope
                                                                   : constI32(e, -1),
                                          m->i64, "");
    BasicBlockRef from = b->current;
    br(b, loop);
    enter(b, loop);
    ValueRef frame = T.LLVMBuildPhi(b->builder, m->ptr, "");
    ValueRef scope = T.LLVMBuildPhi(b->builder, m->i64, "");
    ValueRef null = T.LLVMConstNull(m->ptr);
    ValueRef there = icmp(b, llvmapi::IntEQ, scope, constI64(e, uint64_t(target)));
    ValueRef noFrame = icmp(b, llvmapi::IntEQ, frame, null);
    // A null frame is never the answer, even at the target scope.
    BasicBlockRef found;
    if (Status err = newBlock(b, "frame_walk_found", &found); err != Status::ok) return err;
    condBr(b, noFrame, lost, found);
    enter(b, found);
    condBr(b, there, done, check);
    enter(b, check);
    ValueRef atGlobal = icmp(b, llvmapi::IntEQ, scope, constI64(e, kGlobalScope));
    condBr(b, atGlobal, lost, step);
    enter(b, step);
    ValueRef parent = parentFrame(e, frame);
    ValueRef index[1] = {scope};
    ValueRef entryAt = T.LLVMBuildInBoundsGEP2(b->builder, m->i64, table, index, 1, "");
    ValueRef next = loadWord(e, entryAt);
    BasicBlockRef stepEnd = b->current;
    br(b, loop);
    ValueRef frames[2] = {startFrame, parent};
    ValueRef scopes[2] = {startScope, next};
    BasicBlockRef preds[2] = {from, stepEnd};
    T.LLVMAddIncoming(frame, frames, preds, 2);
    T.LLVMAddIncoming(scope, scopes, preds, 2);
    enter(b, lost);
    static constexpr char kLost[] =
        "wuna: a frame walk didn't reach the scope of a variable (a wuna bug)";
    if (Status err = failWith(e, kCallSiteSite, kLost, sizeof kLost - 1); err != Status::ok)
        return err;
    enter(b, done);
    *out = frame;
    return Status::ok;
}

// The frame of the scope for a function that isn't a thunk: up from the closure frame.
Status walkStatically(Emitter* e, uint32_t target, FrameMessage which, ValueRef* out) {
    Compiler* c = e->compiler;
    if (target == kGlobalScope && e->globalFrame) {
        *out = e->globalFrame;
        return Status::ok;
    }
    // A thunk run for a node has its scope's frame and no closure frame: that frame's parent
    // is the frame the closure frame would be (the parent invariant).
    bool fromOwn = !e->outerFrame && e->hasOwnFrame && e->ownFrame;
    if (!e->outerFrame && !fromOwn) return unreachable(c, which, target);
    ValueRef frame = fromOwn ? parentFrame(e, e->ownFrame) : e->outerFrame;
    for (uint32_t t = scopeOf(c, e->scopeId); t != target; t = scopeOf(c, t)) {
        if (t == kGlobalScope) return unreachable(c, which, target);
        frame = parentFrame(e, frame);
    }
    *out = frame;
    return Status::ok;
}

// A frame from wn_frame_new, or the failure when memory ran out: never a null frame used.
Status checkNewFrame(Emitter* e, ValueRef frame, uint32_t node) {
    Builder* b = &e->builder;
    ValueRef made = icmp(b, llvmapi::IntNE, frame, T.LLVMConstNull(e->compiler->module.ptr));
    BasicBlockRef ok, failed;
    if (Status err = newBlock(b, "frame_made", &ok); err != Status::ok) return err;
    if (Status err = newBlock(b, "frame_failed", &failed); err != Status::ok) return err;
    condBr(b, made, ok, failed);
    enter(b, failed);
    static constexpr char kNoMemory[] = "out of memory for a block scope's frame";
    if (Status err = failWith(e, int32_t(node), kNoMemory, sizeof kNoMemory - 1); err != Status::ok)
        return err;
    enter(b, ok);
    return Status::ok;
}

Status releaseEntry(Emitter* e, const ScopeEntry& entry) {
    ValueRef frame = loadPointer(e, entry.frameSlot);
    return callHelper(e, "wn_frame_release", &frame, 1, nullptr);
}

}  // namespace

ValueRef byteOffset(Emitter* e, ValueRef base, uint64_t offset) {
    ValueRef index = constI64(e, offset);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.i8, base, &index, 1, "");
}

ValueRef parentFrame(Emitter* e, ValueRef frame) {
    return loadPointer(e, byteOffset(e, frame, kFrameParent));
}

uint32_t scopeOf(const Compiler* c, uint32_t node) {
    const ptree::Index* tree = c->tree;
    if (!tree || node >= tree->count) return kGlobalScope;
    for (uint32_t n = tree->parents[node]; n < tree->count; n = tree->parents[n])
        if (ptree::isFunctionNode(tree, n) || ptree::isCaptured(tree, n)) return n;
    return kGlobalScope;
}

Status frameOfScope(Emitter* e, uint32_t scope, FrameMessage which, ValueRef* out) {
    for (size_t i = e->scopes.count; i-- > 0;)
        if (e->scopes[i].scope == scope) {
            *out = loadPointer(e, e->scopes[i].frameSlot);
            return Status::ok;
        }
    if (e->modes.runtimeFrameLookup) return walkAtRunTime(e, scope, out);
    if (scope == e->scopeId) {
        if (e->hasOwnFrame) {
            *out = e->ownFrame;
            return Status::ok;
        }
        if (scope == kGlobalScope && e->globalFrame) {
            *out = e->globalFrame;
            return Status::ok;
        }
        if (scope == kGlobalScope) return unreachable(e->compiler, which, scope);
        return frameNeeded(e->compiler, scope);
    }
    if (e->scopeId == kNoFunctionScope) {
        if (scope == kGlobalScope && e->globalFrame) {
            *out = e->globalFrame;
            return Status::ok;
        }
        return unreachable(e->compiler, which, scope);
    }
    return walkStatically(e, scope, which, out);
}

Status enterBlockScope(Emitter* e, uint32_t node, bool* entered) {
    *entered = false;
    Compiler* c = e->compiler;
    if (!c->tree || !ptree::isCaptured(c->tree, node)) return Status::ok;
    ValueRef parent;
    if (Status err = frameOfScope(e, scopeOf(c, node), FrameMessage::blockFrame, &parent);
        err != Status::ok)
        return err;
    Layout* layout;
    if (Status err = layoutOf(c, node, &layout); err != Status::ok) return err;
    ValueRef args[2] = {parent, constI64(e, layout->slots.count)};
    ValueRef frame;
    if (Status err = callHelper(e, "wn_frame_new", args, 2, &frame); err != Status::ok) return err;
    if (Status err = checkNewFrame(e, frame, node); err != Status::ok) return err;
    ValueRef slot = T.LLVMBuildAlloca(e->builder.entryBuilder, c->module.ptr, "");
    T.LLVMSetAlignment(slot, 8);
    // Null until entered, so an error path that releases it before then has nothing to drop.
    T.LLVMSetAlignment(
        T.LLVMBuildStore(e->builder.entryBuilder, T.LLVMConstNull(c->module.ptr), slot), 8);
    openBlock(&e->builder);
    T.LLVMSetAlignment(T.LLVMBuildStore(e->builder.builder, frame, slot), 8);
    if (!e->scopes.push(ScopeEntry{slot, node})) return Status::outOfMemory;
    *entered = true;
    return makeHoistedFunctions(e, node);
}

Status leaveBlockScope(Emitter* e, uint32_t node) {
    if (!e->scopes.count || e->scopes.last().scope != node) return Status::ok;
    ScopeEntry entry = e->scopes.last();
    e->scopes.count--;
    return releaseEntry(e, entry);
}

Status releaseScopeFramesAbove(Emitter* e, uint64_t depth) {
    for (size_t i = e->scopes.count; i-- > depth;)
        if (Status err = releaseEntry(e, e->scopes[i]); err != Status::ok) return err;
    return Status::ok;
}

}  // namespace wuna::compile
