// Statement lists, returns and jumps (see lower.h): a list stops once its body has ended; a
// return is a compile-time result when it is straight-line and otherwise goes through the
// body's result slot; jumps leave the try statements they cross with those statements'
// finally code compiled at the jump, and the jumps of the interpreted language (rt.Return,
// rt.Break, rt.Continue) travel to the except handler, loop or function that receives them.
// Everything is decided while compiling: at run time a jump is a branch, or the status code a
// helper compiled out of line returns.
#include <cstring>
#include <iterator>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/statements_flow.h"
#include "compiler/front/jumps.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

constexpr char kBreakOutsideLoop[] = "break or continue outside a loop";
constexpr char kReturnOutsideFunction[] = "return outside a function";

// The jump class of an rt method id, and the name of its class in the wuna module.
struct JumpKind {
    RtMethod id;
    JumpClass cls;
    const char* className;
};
constexpr JumpKind kJumpKinds[] = {
    {RtMethod::tailCall, JumpClass::tailCall, "TailCall"},
    {RtMethod::return_, JumpClass::return_, "Return"},
    {RtMethod::break_, JumpClass::break_, "Break"},
    {RtMethod::continue_, JumpClass::continue_, "Continue"},
};

const JumpKind* jumpKindOf(uint32_t id) {
    for (const JumpKind& k : kJumpKinds)
        if (uint32_t(k.id) == id) return &k;
    return nullptr;
}

// The classes found by jumpClassOf, in the order of kJumpKinds, kept for the life of the
// process (one reference each).
PyObject* jumpClasses[std::size(kJumpKinds)];

// The site jumps compiled outside any body report: the innermost body's, else the scope's.
int32_t jumpSite(const Emitter* e) {
    if (e->semantics.count) return e->semantics[e->semantics.count - 1]->site;
    return e->scopeId == kNoFunctionScope ? 0 : int32_t(e->scopeId);
}

Operand noneOperand(Emitter* e) { return constantOperand(e, value::TagNone, 0, KnownKind::none); }

// The finally statements of one try compiled at a jump that leaves it: the try stack cut to
// the entries below it and the error exit of the try's start, both put back afterwards.
Status runFinally(Emitter* e, size_t at) {
    TryEntry* t = e->tries[at];
    size_t savedCount = e->tries.count;
    BasicBlockRef savedTarget = e->errorTarget;
    uint64_t savedDepth = e->errorSemanticDepth;
    uint64_t savedMark = e->errorReleaseMark;
    // Entries above the cut stay in the list's memory; restoring the count brings them back.
    e->tries.cut(at);
    e->errorTarget = t->savedErrorTarget;
    e->errorSemanticDepth = t->savedErrorSemanticDepth;
    e->errorReleaseMark = t->savedErrorReleaseMark;
    Semantic* owner = t->owner;
    Status err = Status::ok;
    for (uint64_t i = 0; err == Status::ok && i < t->finallyCount; i++) {
        if (owner->ended || owner->jumped) break;
        err = lowerStatement(e, owner, t->finallyStatements[i]);
        if (err == Status::ok) err = dropDeadContainers(e, owner);
    }
    // What the finally code tracked belongs to this path alone.
    owner->tracked.clear();
    e->tries.cut(savedCount);
    e->errorTarget = savedTarget;
    e->errorSemanticDepth = savedDepth;
    e->errorReleaseMark = savedMark;
    return err;
}

}  // namespace

// Releases the open bodies above count, innermost first (code only: their records stay, for
// the paths that go on).
Status releaseSemanticsAbove(Emitter* e, uint64_t count) {
    for (size_t i = e->semantics.count; i > count; i--)
        if (Status err = releaseScope(e, e->semantics[i - 1]); err != Status::ok) return err;
    return Status::ok;
}

PyObject* jumpClassOf(RtMethod id) {
    const JumpKind* kind = jumpKindOf(uint32_t(id));
    if (!kind) return nullptr;
    PyObject*& known = jumpClasses[kind - kJumpKinds];
    if (known) return known;
    PyObject* name = PyUnicode_FromString("wuna");
    PyObject* module = name ? PyImport_GetModule(name) : nullptr;
    Py_XDECREF(name);
    PyObject* cls = module ? PyObject_GetAttrString(module, kind->className) : nullptr;
    Py_XDECREF(module);
    // Not imported, or no such class: no program of this process can raise it.
    if (!cls || !PyType_Check(cls)) {
        Py_XDECREF(cls);
        PyErr_Clear();
        return nullptr;
    }
    known = cls;
    return cls;
}

namespace {

Status strictCatch(Emitter* e, uint32_t id) {
    Compiler* c = e->compiler;
    // Without an open body the message stands alone.
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    Status err = appendText(&c->message, "strict: catches rt.");
    if (err == Status::ok) err = appendText(&c->message, rtMethodName(uint8_t(id)));
    if (err == Status::ok)
        err = appendText(&c->message, " as an exception (it would run in Python)");
    return err == Status::ok ? Status::unsupported : err;
}

// The exception object of the jump, made at run time by calling its wuna class (with the
// carried value for a Return), into *out.
Status jumpException(Emitter* e, const JumpKind& kind, const Operand* value, Operand* out) {
    Compiler* c = e->compiler;
    PyObject* module = PyImport_ImportModule("wuna");
    PyObject* cls = module ? PyObject_GetAttrString(module, kind.className) : nullptr;
    Py_XDECREF(module);
    if (!cls) return Status::pythonError;
    uint32_t index;
    Status err = pinObject(c, cls, &index);
    Py_DECREF(cls);
    if (err != Status::ok) return err;
    ValueRef classValue;
    if (Status err2 = objectConstant(e, index, &classValue); err2 != Status::ok) return err2;
    ValueRef array = valueSlot(e);
    bool carries = kind.id == RtMethod::return_;
    if (carries) {
        Operand carried = value ? *value : noneOperand(e);
        if (Status err2 = storeOperand(e, array, &carried); err2 != Status::ok) return err2;
    }
    ValueRef args[6] = {e->runContext, siteValue(e, jumpSite(e)),    classValue,
                        array,         constI64(e, carries ? 1 : 0), e->scratch};
    ValueRef ok;
    if (Status err2 = callHelper(e, "wn_call_python", args, 6, &ok); err2 != Status::ok)
        return err2;
    if (carries) {
        if (Status err2 = releaseSlot(e, array); err2 != Status::ok) return err2;
    } else if (value) {
        if (Status err2 = release(e, dynShape(*value)); err2 != Status::ok) return err2;
    }
    if (Status err2 = checkOk(e, ok); err2 != Status::ok) return err2;
    *out = loadOperand(e, e->scratch, KnownKind::unknown);
    return Status::ok;
}

// The jump received by handler h of try entry t.
Status catchJump(Emitter* e, TryEntry* t, uint64_t h, const JumpKind& kind, const Operand* value) {
    bool compiled = h < t->compiledJumps.count && t->compiledJumps[h];
    ValueRef flag = h < t->jumpFlags.count ? t->jumpFlags[h] : nullptr;
    Operand held;
    if (compiled) {
        if (kind.id == RtMethod::return_) {
            held = value ? *value : noneOperand(e);
        } else {
            if (value)
                if (Status err = release(e, dynShape(*value)); err != Status::ok) return err;
            held = noneOperand(e);
        }
    } else {
        if (e->compiler->strict && e->strictSuppressed == 0)
            return strictCatch(e, uint32_t(kind.id));
        if (Status err = jumpException(e, kind, value, &held); err != Status::ok) return err;
    }
    if (Status err = releaseSemanticsAbove(e, t->semanticCount); err != Status::ok) return err;
    if (Status err = releaseScopeFramesAbove(e, t->blockScopeDepth); err != Status::ok) return err;
    ValueRef slot = t->handlerSlots[h];
    if (Status err = releaseSlot(e, slot); err != Status::ok) return err;
    if (Status err = storeOperand(e, slot, &held); err != Status::ok) return err;
    // A bare raise in the handler issues this jump again, not the object as a failure.
    if (flag) storeWord(e, constI64(e, uint64_t(kind.id)), flag);
    br(&e->builder, t->handlerBlocks[h]);
    BasicBlockRef after;
    if (Status err = newBlock(&e->builder, "after_jump", &after); err != Status::ok) return err;
    enter(&e->builder, after);
    return Status::ok;
}

// Status codes of a helper that passes jumps to its caller.
Status returnStatus(Emitter* e, bridge::RunStatus status) {
    openBlock(&e->builder);
    T.LLVMBuildRet(e->builder.builder, constI32(e, int32_t(status)));
    return Status::ok;
}

void storeThrough(Emitter* e, ValueRef pointer, const Operand& o) {
    storeWord(e, o.tag, pointer);
    storeWord(e, o.payload, slotPayload(e, pointer));
}

}  // namespace

Status lowerStatements(Emitter* e, Semantic* s, front::StmtList statements) {
    for (uint64_t i = 0; i < statements.count; i++) {
        if (s->ended || s->jumped) break;
        if (Status err = lowerStatement(e, s, &statements.items[i]); err != Status::ok) return err;
        if (Status err = dropDeadContainers(e, s); err != Status::ok) return err;
    }
    return Status::ok;
}

Status dropDeadContainers(Emitter* e, Semantic* s) {
    size_t kept = 0;
    for (size_t i = 0; i < s->tracked.count; i++) {
        Shape t = s->tracked[i];
        bool dropped = false;
        if (t.kind == ShapeKind::list && !t.list->released &&
            !walkHeld(e->semantics.items, e->semantics.count, t.list)) {
            if (Status err = dropContainer(e, s, t.list, &dropped); err != Status::ok) {
                s->tracked.clear();
                return err;
            }
            if (dropped) t.list->released = 1;
        }
        if (t.kind == ShapeKind::list && t.list->released) continue;
        s->tracked[kept++] = t;
    }
    s->tracked.cut(kept);
    return Status::ok;
}

Status returnValue(Emitter* e, Semantic* s, Shape* value) {
    if (s->controlDepth == 0 && s->tryDepth == 0 && !s->resultSlotMade) {
        s->result = *value;
        s->resultSet = 1;
        s->ended = 1;
        return Status::ok;
    }
    if (!s->returnBlock) return refuseConstruct(e, "a return inside run-time control flow here");
    if (!s->resultSlotMade) {
        s->resultSlot = valueSlot(e);
        s->resultSlotMade = 1;
    }
    Operand o;
    if (Status err = materialize(e, *value, s->site, &o); err != Status::ok) return err;
    if (Status err = storeOperand(e, s->resultSlot, &o); err != Status::ok) return err;
    // The try statements this body opened, innermost first, run their finally code.
    size_t height = e->tries.count;
    while (height > 0 && e->tries[height - 1]->owner == s) height--;
    bool caught = false;
    if (Status err = jumpOut(e, height, 0, false, nullptr, &caught); err != Status::ok) return err;
    if (Status err = releaseScope(e, s); err != Status::ok) return err;
    br(&e->builder, s->returnBlock);
    if (s->controlDepth == 0 && s->tryDepth == 0) {
        s->ended = 1;
        return Status::ok;
    }
    BasicBlockRef after;
    if (Status err = newBlock(&e->builder, "after_return", &after); err != Status::ok) return err;
    enter(&e->builder, after);
    return Status::ok;
}

Status jumpOut(Emitter* e, uint64_t targetHeight, uint32_t id, bool rtJump, const Operand* value,
               bool* caught) {
    *caught = false;
    const JumpKind* kind = rtJump ? jumpKindOf(id) : nullptr;
    for (size_t i = e->tries.count; i > targetHeight; i--) {
        TryEntry* t = e->tries[i - 1];
        if (kind && t->catchesJumps) {
            const JumpHandler& handler = t->jumpHandlers[uint32_t(kind->cls)];
            if (handler.present) {
                *caught = true;
                return catchJump(e, t, handler.index, *kind, value);
            }
        }
        if (t->finallyCount == 0) continue;
        if (Status err = runFinally(e, i - 1); err != Status::ok) return err;
    }
    return Status::ok;
}

Status lowerReturn(Emitter* e, Shape* value, int32_t site) {
    Operand o;
    if (Status err = materialize(e, *value, site, &o); err != Status::ok) return err;
    bool caught = false;
    if (Status err = jumpOut(e, 0, uint32_t(RtMethod::return_), true, &o, &caught);
        err != Status::ok)
        return err;
    if (caught) return Status::ok;
    if (e->modes.jumpsAsFailures) {
        if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
        return failWith(e, site, front::kJumpOutOfJumpless, sizeof front::kJumpOutOfJumpless - 1);
    }
    if (e->modes.jumpsAsStatus) {
        if (Status err = releaseSemanticsAbove(e, 0); err != Status::ok) return err;
        if (Status err = releaseScopeFramesAbove(e, e->helperScopeDepth); err != Status::ok)
            return err;
        storeThrough(e, e->resultPointer, o);
        return returnStatus(e, bridge::RunStatus::returned);
    }
    if (e->scopeId != kNoFunctionScope && e->resultSlot && e->returnBlock) {
        if (Status err = releaseSemanticsAbove(e, 0); err != Status::ok) return err;
        if (Status err = releaseScopeFramesAbove(e, 0); err != Status::ok) return err;
        if (Status err = storeOperand(e, e->resultSlot, &o); err != Status::ok) return err;
        br(&e->builder, e->returnBlock);
        BasicBlockRef after;
        if (Status err = newBlock(&e->builder, "after_return", &after); err != Status::ok)
            return err;
        enter(&e->builder, after);
        return Status::ok;
    }
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    return failWith(e, site, kReturnOutsideFunction, sizeof kReturnOutsideFunction - 1);
}

Status lowerBreak(Emitter* e, RtMethod id, int32_t site) {
    bool hasLoop = e->rtLoops.count > 0;
    uint64_t height = hasLoop ? e->rtLoops.last().tryHeight : 0;
    bool caught = false;
    if (Status err = jumpOut(e, height, uint32_t(id), true, nullptr, &caught); err != Status::ok)
        return err;
    if (caught) return Status::ok;
    if (hasLoop) {
        RtLoopEntry loop = e->rtLoops.last();
        if (Status err = releaseSemanticsAbove(e, loop.semantics); err != Status::ok) return err;
        if (Status err = releaseScopeFramesAbove(e, loop.scopeDepth); err != Status::ok) return err;
        br(&e->builder, id == RtMethod::break_ ? loop.breakBlock : loop.continueBlock);
        BasicBlockRef after;
        if (Status err = newBlock(&e->builder, "after_jump", &after); err != Status::ok) return err;
        enter(&e->builder, after);
        return Status::ok;
    }
    if (e->modes.jumpsAsFailures)
        return failWith(e, site, front::kJumpOutOfJumpless, sizeof front::kJumpOutOfJumpless - 1);
    if (e->modes.jumpsAsStatus) {
        if (Status err = releaseSemanticsAbove(e, 0); err != Status::ok) return err;
        if (Status err = releaseScopeFramesAbove(e, e->helperScopeDepth); err != Status::ok)
            return err;
        return returnStatus(
            e, id == RtMethod::break_ ? bridge::RunStatus::broke : bridge::RunStatus::continued);
    }
    return failAtRunningCall(e, site, kBreakOutsideLoop, sizeof kBreakOutsideLoop - 1);
}

namespace {

// failWith at a run-time site value.
Status failAtValue(Emitter* e, ValueRef site, const char* text, size_t length) {
    ValueRef literal;
    if (Status err = literalGlobal(&e->compiler->module, text, length, &literal); err != Status::ok)
        return err;
    ValueRef args[3] = {e->runContext, site, literal};
    if (Status err = callHelper(e, "wn_fail", args, 3, nullptr); err != Status::ok) return err;
    BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(&e->builder, exit);
    openBlock(&e->builder);  // the "dead" block the code after the failure lands in
    return Status::ok;
}

}  // namespace

Status failWith(Emitter* e, int32_t site, const char* text, size_t length) {
    return failAtValue(e, siteValue(e, site), text, length);
}

Status failAtRunningCall(Emitter* e, int32_t site, const char* text, size_t length) {
    ValueRef call;
    if (Status err = runningCallSite(e, site, &call); err != Status::ok) return err;
    return failAtValue(e, call, text, length);
}

}  // namespace wuna::compile
