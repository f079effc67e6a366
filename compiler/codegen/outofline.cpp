// Helpers compiled out of line (see lower.h): the LLVM function of a specialisation, the
// statuses its calls hand back turned into control flow at the call, tail calls, and the frame
// a call passes.
//
// A helper compiled out of line can't jump in its caller's code, so its jumps come back as the
// status it returns (RunStatus, or 5 for a tail call left in the run context), and the call
// site dispatches them as if the helper's body had been compiled there. The helper reads the
// program's variables through frames at run time, so every call passes a frame; a function
// that keeps its variables in stack slots builds one for that call alone and moves the values
// back afterwards.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/spec.h"
#include "compiler/codegen/lower.h"
#include "compiler/front/jumps.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

using llvmapi::BasicBlockRef;
using llvmapi::TypeRef;
using llvmapi::ValueRef;
const llvmapi::Table& T = llvmapi::table;

constexpr int32_t kTailStatus = int32_t(bridge::RunStatus::tail);

// The parameters of a specialisation's function, in order.
enum SpecParam : unsigned {
    specContext = 0,
    specFrame,
    specArguments,
    specSite,
    specScope,
    specReceiver,
    specExtra,
    specResult,
    specParamCount
};

// FNV-1a over the symbol: the function identity of a helper's emitter.
uint64_t identityOfSymbol(const char* text, size_t length) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < length; i++) h = (h ^ uint8_t(text[i])) * 0x100000001b3ull;
    return h;
}

ValueRef frameSlotAddress(Emitter* e, ValueRef frame, uint64_t slot) {
    return byteOffset(e, frame, value::kFrameSlots + 16 * slot);
}

Status retI32(Emitter* e, int32_t value) {
    openBlock(&e->builder);
    T.LLVMBuildRet(e->builder.builder, constI32(e, value));
    return Status::ok;
}

// The argument shapes of the specialisation bound to run-time values (the dyn ones read from
// the argument array, with a reference of their own). *out in the arena. The function object
// that follows the arguments of a function with free variables becomes the emitter's cell
// owner: borrowed, the caller holds it for the call.
Status bindArguments(Emitter* e, const HelperSpec* spec, ValueRef array, Shape** out) {
    Compiler* c = e->compiler;
    uint64_t n = spec->argumentCount - (spec->freeVariables ? 1 : 0);
    Shape* shapes = takeArray<Shape>(c, spec->argumentCount);
    if (!shapes) return Status::outOfMemory;
    uint64_t r = 0;
    for (uint64_t i = 0; i < n; i++) {
        const Shape& s = spec->shapes[i];
        bool atRunTime = spec->argumentFlags && i < spec->flagCount ? spec->argumentFlags[i] != 0
                                                                    : s.kind == ShapeKind::dyn;
        if (s.kind == ShapeKind::dyn) {
            Operand o = loadOperand(e, byteOffset(e, array, 16 * r), KnownKind::unknown);
            if (Status st = takeOwnership(e, &o); st != Status::ok) return st;
            if (Status st = refcount(e, RefMode::increment, o.tag, o.payload); st != Status::ok)
                return st;
            shapes[i] = dynShape(o);
        } else if (s.kind == ShapeKind::list) {
            // The helper may change its list while compiling: a copy of its own, the key
            // that call sites compare with stays as it was.
            if (Status st = copyListShape(c, s, &shapes[i]); st != Status::ok) return st;
        } else {
            shapes[i] = s;
        }
        if (atRunTime) r++;
    }
    if (spec->freeVariables) {
        Operand owner = loadOperand(e, byteOffset(e, array, 16 * r), KnownKind::unknown);
        e->cellOwner = owner.payload;
        e->cellFunction = spec->function->function;
    }
    *out = shapes;
    return Status::ok;
}

// The body of the specialisation's function, from "start" on.
Status emitSpecBody(Emitter* e, HelperSpec* spec, ValueRef array) {
    Compiler* c = e->compiler;
    front::FunctionIR* helper = const_cast<front::FunctionIR*>(spec->function);
    Shape* shapes = nullptr;
    if (Status s = bindArguments(e, spec, array, &shapes); s != Status::ok) return s;
    uint64_t n = spec->argumentCount - (spec->freeVariables ? 1 : 0);
    if ((!helper->hasVarargs || spec->entryForm) && n != helper->paramCount)
        return helperArityError(c, helper, n);
    Shape result = noneShape();
    if (Status s =
            inlineHelper(e, helper, helper->body, kCallSiteSite, shapes, uint32_t(n), &result);
        s != Status::ok)
        return s;
    Operand o;
    if (Status s = materialize(e, result, kCallSiteSite, &o); s != Status::ok) return s;
    if (Status s = storeOperand(e, e->resultPointer, &o); s != Status::ok) return s;
    return retI32(e, int32_t(bridge::RunStatus::done));
}

Status emitSpecFunction(Compiler* c, HelperSpec* spec, Emitter* e) {
    ModuleRecord* m = &c->module;
    TypeRef params[specParamCount] = {m->ptr, m->ptr, m->ptr, m->i32,
                                      m->i32, m->ptr, m->ptr, m->ptr};
    FunctionRef fn;
    if (Status s = declareFunction(m, spec->symbol, spec->symbolLength, m->i32, params,
                                   specParamCount, DeclareExported, &fn);
        s != Status::ok)
        return s;
    if (Status s = startFunction(e, c, fn.function, kNoFunctionScope); s != Status::ok) return s;
    auto param = [&](SpecParam p) { return T.LLVMGetParam(fn.function, p); };
    bool makesNoJumps = false;
    if (m->keyOrigins || c->keyOrigins) {
        bool jumps = true;
        if (Status s = front::makesJumps(c, spec->function, &jumps); s != Status::ok) return s;
        makesNoJumps = !jumps;
    }
    e->runContext = param(specContext);
    e->ownFrame = param(specFrame);
    e->hasOwnFrame = 1;
    e->callSite = param(specSite);
    e->callScope = param(specScope);
    e->receiverSlot = param(specReceiver);
    e->extraArgumentsSlot = param(specExtra);
    e->resultPointer = param(specResult);
    e->helperOrigin = spec->origin;
    e->functionIdentity = identityOfSymbol(spec->symbol, spec->symbolLength);
    e->modes.jumpsAsFailures = makesNoJumps ? 1 : 0;
    e->modes.jumpsAsStatus = 1;
    e->modes.runtimeFrameLookup = 1;
    e->modes.helperSpecialisation = spec->argumentFlags ? 1 : 0;
    if (Status s = layoutOf(c, kGlobalScope, &e->layout); s != Status::ok) return s;
    BasicBlockRef error, done;
    if (Status s = newBlock(&e->builder, "error", &error); s != Status::ok) return s;
    if (Status s = newBlock(&e->builder, "return", &done); s != Status::ok) return s;
    e->errorTarget = error;
    e->returnBlock = done;
    if (Status s = emitSpecBody(e, spec, param(specArguments)); s != Status::ok) return s;
    // A branch to "return" comes with the value already in the result slot.
    enter(&e->builder, done);
    if (Status s = retI32(e, int32_t(bridge::RunStatus::done)); s != Status::ok) return s;
    enter(&e->builder, error);
    return retI32(e, int32_t(bridge::RunStatus::failed));
}

}  // namespace

Status copyListShape(Compiler* c, const Shape& list, Shape* out) {
    front::ListRecord* copy = front::newListRecord(c);
    if (!copy) return Status::outOfMemory;
    const front::ListRecord* from = list.list;
    for (uint64_t i = 0; from && i < from->length; i++)
        if (Status s = front::appendItem(c, copy, from->items[i]); s != Status::ok) return s;
    *out = list;
    out->list = copy;
    return Status::ok;
}

Status helperArityError(Compiler* c, const front::FunctionIR* helper, uint64_t count) {
    c->message.count = 0;
    ErrorSite at{helper, front::makePosition(helper->firstLine, 0)};
    if (beginError(&c->message, at) != Status::ok ||
        appendText(&c->message, "called with ") != Status::ok ||
        appendDecimal(&c->message, count) != Status::ok ||
        appendText(&c->message, " arguments, takes ") != Status::ok ||
        appendDecimal(&c->message, helper->paramCount) != Status::ok)
        return Status::outOfMemory;
    return Status::unsupported;
}

Status emitHelperSpec(Compiler* c, HelperSpec* spec) {
    Emitter e;
    memset(static_cast<void*>(&e), 0, sizeof e);
    Status s = spec && spec->symbol && spec->function ? emitSpecFunction(c, spec, &e)
                                                      : Status::unsupported;
    if (e.compiler) {
        c->specialisationBlocks += e.builder.blockNumber;
        finishFunction(&e);
    }
    if (s != Status::ok && !c->failingSemantic && spec) c->failingSemantic = spec->origin;
    return s;
}

namespace {

// A program function's own code with no try open: a tail call leaves it as a return of the
// pending-call marker does (the same releases, then the function's return block), so the
// marker is put where a returned value arrives and the return's code is shared.
bool tailLeavesAsReturn(const Emitter* e) {
    return !e->modes.jumpsAsStatus && !e->modes.jumpsAsFailures && e->scopeId != kNoFunctionScope &&
           e->resultSlot && e->returnBlock && !e->tries.count;
}

// Break and continue leave the same things behind on the way to their loop when no try stands
// between: one release for both, then the loop's block the status names.
bool loopJumpsShareReleases(const Emitter* e) {
    return e->rtLoops.count && e->tries.count <= e->rtLoops[e->rtLoops.count - 1].tryHeight;
}

Status raisedLoopJump(Emitter* e, ValueRef status) {
    Builder* b = &e->builder;
    RtLoopEntry loop = e->rtLoops.last();
    if (Status s = releaseSemanticsAbove(e, loop.semantics); s != Status::ok) return s;
    if (Status s = releaseScopeFramesAbove(e, loop.scopeDepth); s != Status::ok) return s;
    condBr(b, icmp(b, llvmapi::IntEQ, status, constI32(e, int32_t(bridge::RunStatus::broke))),
           loop.breakBlock, loop.continueBlock);
    BasicBlockRef after;
    if (Status s = newBlock(b, "after_jump", &after); s != Status::ok) return s;
    enter(b, after);
    return Status::ok;
}

}  // namespace

Status emitRaisedControl(Emitter* e, ValueRef status, int32_t site) {
    Builder* b = &e->builder;
    BasicBlockRef done, notDone, raisedError, control, tail, jump, ret, loop, brk, cont, after;
    auto test = [&](int32_t value, BasicBlockRef yes, BasicBlockRef no) {
        condBr(b, icmp(b, llvmapi::IntEQ, status, constI32(e, value)), yes, no);
    };
    if (Status s = newBlock(b, "done", &done); s != Status::ok) return s;
    if (Status s = newBlock(b, "not_done", &notDone); s != Status::ok) return s;
    test(int32_t(bridge::RunStatus::done), done, notDone);
    enter(b, notDone);
    if (Status s = newBlock(b, "raised_error", &raisedError); s != Status::ok) return s;
    if (Status s = newBlock(b, "control", &control); s != Status::ok) return s;
    test(int32_t(bridge::RunStatus::failed), raisedError, control);
    enter(b, raisedError);
    BasicBlockRef exit;
    if (Status s = errorExit(e, &exit); s != Status::ok) return s;
    br(b, exit);
    enter(b, control);
    if (Status s = newBlock(b, "raised_tail_call", &tail); s != Status::ok) return s;
    if (Status s = newBlock(b, "raised_jump", &jump); s != Status::ok) return s;
    if (Status s = newBlock(b, "raised_return", &ret); s != Status::ok) return s;
    test(kTailStatus, tail, jump);
    enter(b, tail);
    if (tailLeavesAsReturn(e)) {
        Operand pending = constantOperand(e, value::TagTail, 0, KnownKind::unknown);
        if (Status s = storeOperand(e, e->scratch, &pending); s != Status::ok) return s;
        br(b, ret);
    } else if (Status s = emitTailCall(e, site); s != Status::ok) {
        return s;
    }
    if (Status s = newBlock(b, "after_tail", &after); s != Status::ok) return s;
    enter(b, after);
    br(b, done);
    enter(b, jump);
    if (Status s = newBlock(b, "raised_loop", &loop); s != Status::ok) return s;
    test(int32_t(bridge::RunStatus::returned), ret, loop);
    enter(b, ret);
    // The helper stored the returned value through its result pointer: the call's scratch.
    Shape returned = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    if (Status s = lowerReturn(e, &returned, site); s != Status::ok) return s;
    br(b, done);
    enter(b, loop);
    if (loopJumpsShareReleases(e)) {
        if (Status s = raisedLoopJump(e, status); s != Status::ok) return s;
        br(b, done);
        enter(b, done);
        return Status::ok;
    }
    if (Status s = newBlock(b, "raised_break", &brk); s != Status::ok) return s;
    if (Status s = newBlock(b, "raised_continue", &cont); s != Status::ok) return s;
    test(int32_t(bridge::RunStatus::broke), brk, cont);
    enter(b, brk);
    if (Status s = lowerBreak(e, RtMethod::break_, site); s != Status::ok) return s;
    br(b, done);
    enter(b, cont);
    if (Status s = lowerBreak(e, RtMethod::continue_, site); s != Status::ok) return s;
    br(b, done);
    enter(b, done);
    return Status::ok;
}

namespace {

// The three words of a taken call, in the order wn_tail_take writes them.
constexpr uint64_t kTakenWords = 3;

ValueRef takenArray(Emitter* e) {
    openBlock(&e->builder);
    ValueRef array = T.LLVMBuildAlloca(
        e->builder.entryBuilder, T.LLVMArrayType2(e->compiler->module.valuePair, kTakenWords), "");
    T.LLVMSetAlignment(array, 8);
    return array;
}

ValueRef takenAt(Emitter* e, ValueRef array, uint64_t i) {
    ValueRef index = constI64(e, i);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.valuePair, array, &index,
                                   1, "");
}

// The pending call moves into the slots (their old values dropped first: a handler run again
// in a loop may still hold the last one). The receiver's absence stays an uncounted tag.
Status parkTailCall(Emitter* e, const ValueRef* slots) {
    ValueRef array = takenArray(e);
    ValueRef args[2] = {e->runContext, array};
    if (Status s = callHelper(e, "wn_tail_take", args, 2, nullptr); s != Status::ok) return s;
    for (uint64_t i = 0; i < kTakenWords; i++) {
        if (Status s = releaseSlot(e, slots[i]); s != Status::ok) return s;
        Operand word = loadOperand(e, takenAt(e, array, i), KnownKind::unknown);
        if (Status s = storeOperand(e, slots[i], &word); s != Status::ok) return s;
    }
    return Status::ok;
}

}  // namespace

Status reissueTailCall(Emitter* e, const ValueRef* slots, int32_t site) {
    ValueRef array = takenArray(e);
    Operand none = constantOperand(e, value::TagNone, 0, KnownKind::none);
    for (uint64_t i = 0; i < kTakenWords; i++) {
        Operand word = loadOperand(e, slots[i], KnownKind::unknown);
        if (Status s = storeOperand(e, takenAt(e, array, i), &word); s != Status::ok) return s;
        // The references move to the run context with the call.
        if (Status s = storeOperand(e, slots[i], &none); s != Status::ok) return s;
    }
    ValueRef args[2] = {e->runContext, array};
    if (Status s = callHelper(e, "wn_tail_put", args, 2, nullptr); s != Status::ok) return s;
    return emitTailCall(e, site);
}

Status emitTailCall(Emitter* e, int32_t site) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    if (e->tries.count) {
        TryEntry* catcher = nullptr;
        for (size_t i = e->tries.count; i > 0 && !catcher; i--) {
            TryEntry* t = e->tries[i - 1];
            if (t->catchesJumps && t->jumpHandlers[uint32_t(JumpClass::tailCall)].present)
                catcher = t;
        }
        Operand none = constantOperand(e, value::TagNone, 0, KnownKind::none);
        bool caught = false;
        if (catcher) {
            // A handler that may raise what it caught keeps the call for that raise; else the
            // call is dropped here.
            Status s = catcher->tailSlots[0]
                           ? parkTailCall(e, catcher->tailSlots)
                           : callHelper(e, "wn_tail_clear", &e->runContext, 1, nullptr);
            if (s != Status::ok) return s;
            return jumpOut(e, 0, uint32_t(RtMethod::tailCall), true, &none, &caught);
        }
        // The finally code on the way out may make calls of its own: the pending call waits
        // in a slot meanwhile.
        openBlock(b);
        TypeRef held = T.LLVMArrayType2(m->valuePair, 3);
        ValueRef slot = T.LLVMBuildAlloca(b->entryBuilder, held, "");
        T.LLVMSetAlignment(slot, 8);
        ValueRef args[2] = {e->runContext, slot};
        if (Status s = callHelper(e, "wn_tail_take", args, 2, nullptr); s != Status::ok) return s;
        if (Status s = jumpOut(e, 0, uint32_t(RtMethod::tailCall), true, &none, &caught);
            s != Status::ok)
            return s;
        if (caught) return Status::ok;
        if (Status s = callHelper(e, "wn_tail_put", args, 2, nullptr); s != Status::ok) return s;
    }
    if (e->modes.jumpsAsFailures)
        return failWith(e, site, front::kJumpOutOfJumpless, sizeof front::kJumpOutOfJumpless - 1);
    if (e->modes.jumpsAsStatus) {
        for (size_t i = e->semantics.count; i > 0; i--)
            if (Status s = releaseScope(e, e->semantics[i - 1]); s != Status::ok) return s;
        if (Status s = releaseScopeFramesAbove(e, e->helperScopeDepth); s != Status::ok) return s;
        return retI32(e, kTailStatus);
    }
    if (e->scopeId == kNoFunctionScope) {
        storeWord(e, constI64(e, value::TagTail), e->scratch);
        ValueRef args[3] = {e->runContext, siteValue(e, site), e->scratch};
        ValueRef ok;
        if (Status s = callHelper(e, "wn_tail_resolve", args, 3, &ok); s != Status::ok) return s;
        if (Status s = checkOk(e, ok); s != Status::ok) return s;
        Shape result = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
        return lowerReturn(e, &result, site);
    }
    for (size_t i = e->semantics.count; i > 0; i--)
        if (Status s = releaseScope(e, e->semantics[i - 1]); s != Status::ok) return s;
    if (Status s = releaseScopeFramesAbove(e, 0); s != Status::ok) return s;
    Operand pending = constantOperand(e, value::TagTail, 0, KnownKind::unknown);
    if (Status s = storeOperand(e, e->resultSlot, &pending); s != Status::ok) return s;
    br(b, e->returnBlock);
    return Status::ok;
}

Status emitCallFrame(Emitter* e, int32_t site, CallFrame* out) {
    Compiler* c = e->compiler;
    out->made = 0;
    if (e->scopes.count || e->hasOwnFrame || e->scopeId == kNoFunctionScope ||
        e->modes.jumpsAsStatus || e->modes.runtimeFrameLookup || e->outOfLineNesting == 0)
        return currentFrame(e, &out->frame);
    // The helper may replace a variable through the frame: what the function still borrows
    // becomes its own first.
    for (size_t i = 0; i < e->borrows.count; i++) {
        BorrowRecord record = e->borrows[i];
        Operand o = loadOperand(e, record.copy, KnownKind::unknown);
        o.source = record.copy;
        o.borrowFlag = record.flag;
        if (Status s = takeOwnership(e, &o); s != Status::ok) return s;
    }
    uint64_t n = e->layout ? e->layout->slots.count : 0;
    ValueRef outer = e->outerFrame ? e->outerFrame : T.LLVMConstNull(c->module.ptr);
    ValueRef frame;
    // Memory running out fails the run before the frame is used: never a store through null.
    if (Status s = newFrameChecked(e, outer, n + 2, site, nullptr, &frame); s != Status::ok)
        return s;
    // The frame takes over the references the stack slots held.
    for (size_t i = 0; i < e->localSlots.count; i++) {
        ValueRef local = e->localSlots[i];
        ValueRef at = frameSlotAddress(e, frame, i);
        storeWord(e, loadWord(e, local), at);
        storeWord(e, loadWord(e, slotPayload(e, local)), slotPayload(e, at));
    }
    out->frame = frame;
    out->made = 1;
    return Status::ok;
}

Status emitCallFrameRelease(Emitter* e, ValueRef frame) {
    for (size_t i = 0; i < e->localSlots.count; i++) {
        ValueRef local = e->localSlots[i];
        ValueRef at = frameSlotAddress(e, frame, i);
        storeWord(e, loadWord(e, at), local);
        storeWord(e, loadWord(e, slotPayload(e, at)), slotPayload(e, local));
        storeWord(e, constI64(e, value::TagUnset), at);
    }
    return callHelper(e, "wn_frame_release", &frame, 1, nullptr);
}

}  // namespace wuna::compile
