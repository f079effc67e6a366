// Semantic lookup while compiling, the inline call of a compiled semantic, a semantic run as
// Python through the bridge (wn_py_semantic), and what compiled code does with the status
// the bridge gives back (see lower.h).
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/index.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

using bridge::RunStatus;

constexpr char kStrictPython[] = "strict: runs a semantic as Python (it would run in Python)";
// A jump of the interpreted language that reached the top level, or left a function's body.
constexpr char kJumpAtTop[] = "rt.Return, rt.Break or rt.Continue outside of any function or loop";
constexpr char kJumpOutside[] = "break or continue outside a loop";

ValueRef statusIs(Emitter* e, ValueRef status, RunStatus which) {
    return icmp(&e->builder, llvmapi::IntEQ, status, constI32(e, int32_t(which)));
}

Status failHere(Emitter* e, int32_t site, const char* text) {
    return failWithText(e, site, text, strlen(text));
}

// Leaves the function with result (taken over) after releasing its open block frames: a
// thunk returns status, any other function goes to its "return" exit.
Status leaveWith(Emitter* e, Operand* result, RunStatus status) {
    if (Status s = releaseScopeFramesAbove(e, 0); s != Status::ok) return s;
    if (Status s = releaseFramesMadeAbove(e, 0); s != Status::ok) return s;
    if (Status s = storeOperand(e, e->resultSlot, result); s != Status::ok) return s;
    if (e->modes.jumpsAsStatus) {
        openBlock(&e->builder);
        T.LLVMBuildRet(e->builder.builder, constI32(e, int32_t(status)));
        return Status::ok;
    }
    br(&e->builder, e->returnBlock);
    return Status::ok;
}

// Whether a jump the bridge hands back must travel as a compiled raise of it does: through
// the semantics compiled inline around the call (their values released, their handlers of
// rt jumps given the chance to catch it) and the finally code of open try statements.
bool jumpCrossesCompiledCode(const Emitter* e) {
    return e->semantics.count > e->errorSemanticDepth || e->tries.count;
}

// rt.Return from the bridge: the value in the out slot becomes the function's result.
Status emitReturned(Emitter* e, int32_t site) {
    if (jumpCrossesCompiledCode(e)) {
        Shape returned = dynShape(loadOperand(e, outSlot(e), KnownKind::unknown));
        return lowerReturn(e, &returned, site);
    }
    if (e->scopeId == kNoFunctionScope && !e->modes.jumpsAsStatus) {
        if (Status s = releaseSlot(e, outSlot(e)); s != Status::ok) return s;
        return failHere(e, site, kJumpAtTop);
    }
    Operand value = loadOperand(e, outSlot(e), KnownKind::unknown);
    return leaveWith(e, &value, RunStatus::returned);
}

// rt.Break or rt.Continue from the bridge: to the innermost rt.loop, else a failure.
Status emitLoopJump(Emitter* e, int32_t site, bool isBreak) {
    if (jumpCrossesCompiledCode(e))
        return lowerBreak(e, isBreak ? RtMethod::break_ : RtMethod::continue_, site);
    if (e->rtLoops.count) {
        const RtLoopEntry& loop = e->rtLoops.last();
        if (loop.semantics != e->semantics.count || loop.tryHeight != e->tries.count)
            return refuseConstruct(e, "a jump out of a semantic run as Python across compiled code");
        if (Status s = releaseScopeFramesAbove(e, loop.scopeDepth); s != Status::ok) return s;
        if (Status s = releaseFramesMadeAbove(e, loop.scopeDepth); s != Status::ok) return s;
        br(&e->builder, isBreak ? loop.breakBlock : loop.continueBlock);
        return Status::ok;
    }
    if (e->modes.jumpsAsStatus) {
        // A thunk hands the jump to whoever ran the node.
        if (Status s = releaseScopeFramesAbove(e, 0); s != Status::ok) return s;
        if (Status s = releaseFramesMadeAbove(e, 0); s != Status::ok) return s;
        openBlock(&e->builder);
        RunStatus status = isBreak ? RunStatus::broke : RunStatus::continued;
        T.LLVMBuildRet(e->builder.builder, constI32(e, int32_t(status)));
        return Status::ok;
    }
    if (e->scopeId == kNoFunctionScope) return failHere(e, site, kJumpAtTop);
    return failAtRunningCall(e, site, kJumpOutside, sizeof kJumpOutside - 1);
}

// A tail call the bridge left pending (rt.tail_call from a Python semantic): the function
// returns the pending-call marker, and its caller makes the call after this frame is gone.
Status emitTailPending(Emitter* e, int32_t site) {
    if (jumpCrossesCompiledCode(e)) return emitTailCall(e, site);
    if (e->scopeId == kNoFunctionScope && !e->modes.jumpsAsStatus)
        return failHere(e, site, kJumpAtTop);
    Operand pending = constantOperand(e, value::TagTail, 0, KnownKind::unknown);
    return leaveWith(e, &pending, RunStatus::tail);
}

}  // namespace

Status failWithText(Emitter* e, int32_t site, const char* text, size_t length) {
    ValueRef at;
    if (Status s = literalGlobal(&e->compiler->module, text, length, &at); s != Status::ok)
        return s;
    ValueRef args[] = {e->runContext, siteValue(e, site), at};
    if (Status s = callHelper(e, "wn_fail", args, 3, nullptr); s != Status::ok) return s;
    BasicBlockRef exit;
    if (Status s = errorExit(e, &exit); s != Status::ok) return s;
    br(&e->builder, exit);
    return Status::ok;
}

ValueRef outSlot(Emitter* e) {
    // Made once per function: the bridge writes a semantic's value or a returned value here.
    if (!e->pyOut) {
        e->pyOut = valueSlot(e);
        T.LLVMBuildStore(e->builder.entryBuilder, T.LLVMConstNull(e->compiler->module.valuePair),
                         e->pyOut);
    }
    return e->pyOut;
}

SemanticRef semanticOf(Compiler* c, uint32_t node, bool exec) {
    SemanticRef ref{SemanticForm::none, nullptr, nullptr};
    const driver::CompileInputs* in = c->inputs;
    if (!in || !c->tree || node >= c->tree->count) return ref;
    uint32_t k = ptree::kindOf(c->tree->nodes[node]);
    PyObject* const* table = exec ? in->execs : in->evals;
    uint64_t count = exec ? in->execCount : in->evalCount;
    if (!table || k >= count || !table[k]) return ref;
    ref.function = table[k];
    ref.form = SemanticForm::python;
    if (in->runsAsPython(in->pythonMap, ref.function)) return ref;
    const front::FunctionIR* reading =
        in->readingOf ? in->readingOf(in->frontCache, ref.function) : nullptr;
    if (reading) {
        ref.form = SemanticForm::compiled;
        ref.reading = const_cast<front::FunctionIR*>(reading);
    }
    return ref;
}

Status callCompiledSemantic(Emitter* e, const SemanticRef& ref, uint32_t node, Shape* out) {
    Shape args[2]{};
    args[0].kind = ShapeKind::node;
    args[0].node = node;
    args[1].kind = ShapeKind::rt;
    e->modes.semanticFlag = 1;
    Status s = inlineHelper(e, ref.reading, ref.reading->body, int32_t(node), args, 2, out);
    e->modes.semanticFlag = 0;
    // The first semantic that could not be compiled is the one generation runs as Python.
    if (s == Status::unsupported && !e->compiler->failingSemantic)
        e->compiler->failingSemantic = ref.function;
    return s;
}

Status dispatchRunStatus(Emitter* e, ValueRef status, int32_t site) {
    Builder* b = &e->builder;
    BasicBlockRef done, other, jump, returned, looped, broke, goesOn, continued, tail, exit;
    const char* names[] = {"run_done",  "run_other",   "run_jump",     "run_returned", "run_loop",
                           "run_break", "run_goes_on", "run_continue", "run_tail"};
    BasicBlockRef* blocks[] = {&done,  &other,  &jump,      &returned, &looped,
                               &broke, &goesOn, &continued, &tail};
    for (size_t i = 0; i < 9; i++)
        if (Status s = newBlock(b, names[i], blocks[i]); s != Status::ok) return s;
    condBr(b, statusIs(e, status, RunStatus::done), done, other);
    enter(b, other);
    if (Status s = errorExit(e, &exit); s != Status::ok) return s;
    condBr(b, statusIs(e, status, RunStatus::failed), exit, jump);
    enter(b, jump);
    condBr(b, statusIs(e, status, RunStatus::returned), returned, looped);
    enter(b, returned);
    if (Status s = emitReturned(e, site); s != Status::ok) return s;
    enter(b, looped);
    condBr(b, statusIs(e, status, RunStatus::broke), broke, goesOn);
    enter(b, broke);
    if (Status s = emitLoopJump(e, site, true); s != Status::ok) return s;
    enter(b, goesOn);
    condBr(b, statusIs(e, status, RunStatus::continued), continued, tail);
    enter(b, continued);
    if (Status s = emitLoopJump(e, site, false); s != Status::ok) return s;
    enter(b, tail);
    if (Status s = emitTailPending(e, site); s != Status::ok) return s;
    enter(b, done);
    return Status::ok;
}

int32_t currentSite(const Emitter* e) {
    if (e->semantics.count) return e->semantics[e->semantics.count - 1]->site;
    return e->scopeId == kNoFunctionScope ? 0 : int32_t(e->scopeId);
}

int32_t currentScope(const Emitter* e) {
    if (e->scopes.count) return int32_t(e->scopes[e->scopes.count - 1].scope);
    if (e->modes.runtimeFrameLookup) return kCallScopeSite;
    return int32_t(e->scopeId);
}

Status frameSlotForBridge(Emitter* e, ValueRef* out) {
    if (e->scopes.count) {
        *out = e->scopes.last().frameSlot;
        return Status::ok;
    }
    ValueRef frame;
    if (Status s = currentFrame(e, &frame); s != Status::ok) return s;
    ModuleRecord* m = &e->compiler->module;
    ValueRef slot = T.LLVMBuildAlloca(e->builder.entryBuilder, m->ptr, "");
    T.LLVMSetAlignment(slot, 8);
    openBlock(&e->builder);
    T.LLVMSetAlignment(T.LLVMBuildStore(e->builder.builder, frame, slot), 8);
    *out = slot;
    return Status::ok;
}

Status emitPySemantic(Emitter* e, uint32_t node, bool exec, Shape* out) {
    Compiler* c = e->compiler;
    if (c->strict && e->strictSuppressed == 0) {
        Status s = Status::ok;
        if (e->semantics.count && e->semantics.last()->function)
            s = beginConstructError(e);
        else
            c->message.clear();
        if (s == Status::ok) s = appendText(&c->message, kStrictPython);
        return s == Status::ok ? Status::unsupported : s;
    }
    c->callsPython = 1;
    ValueRef frameSlot;
    if (Status s = frameSlotForBridge(e, &frameSlot); s != Status::ok) return s;
    spillLocals(e);
    ValueRef args[] = {e->runContext,    constI32(e, exec ? 1 : 0),
                       constI32(e, int32_t(node)), frameSlot,
                       siteValue(e, currentScope(e)), outSlot(e)};
    ValueRef status;
    if (Status s = callHelper(e, "wn_py_semantic", args, 6, &status); s != Status::ok) return s;
    reloadLocals(e);
    if (Status s = dispatchRunStatus(e, status, int32_t(node)); s != Status::ok) return s;
    *out = dynShape(loadOperand(e, outSlot(e), KnownKind::unknown));
    return Status::ok;
}

}  // namespace wuna::compile
