// raise statements, and the jumps of the interpreted language raised as rt.Return, rt.Break
// and rt.Continue: resolved while compiling into branches, the finally code of the try
// statements left on the way compiled at the jump, and an except handler of the jump's class
// receiving it (see control_support.h).
#include <cstring>
#include <initializer_list>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/control_support.h"
#include "wuna/runtime/errors.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

constexpr const char kJumpOutOfHelper[] =
    "wuna: a jump (rt.Return, rt.Break, rt.Continue, rt.tail_call) out of a helper compiled as "
    "one that makes none";
constexpr const char kBreakOutsideLoop[] = "break or continue outside a loop";

// The RunStatus a helper that passes jumps to its caller returns for a break or continue.
enum class JumpStatus : int32_t { broke = 3, continued = 4 };

Status afterJump(Emitter* e) {
    llvmapi::BasicBlockRef after;
    if (Status err = newBlock(&e->builder, "after_jump", &after); err != Status::ok) return err;
    enter(&e->builder, after);
    return Status::ok;
}

// Releases the open semantics above count, innermost first.
Status releaseSemanticsAbove(Emitter* e, uint64_t count) {
    for (size_t i = e->semantics.count; i-- > count;)
        if (Status err = releaseScope(e, e->semantics[i]); err != Status::ok) return err;
    return Status::ok;
}

bool jumpClassIndex(RtMethod id, JumpClass* out) {
    switch (id) {
    case RtMethod::tailCall: *out = JumpClass::tailCall; return true;
    case RtMethod::return_: *out = JumpClass::return_; return true;
    case RtMethod::break_: *out = JumpClass::break_; return true;
    case RtMethod::continue_: *out = JumpClass::continue_; return true;
    default: return false;
    }
}

Status compileError(Emitter* e, const char* text) {
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    if (Status err = appendText(&e->compiler->message, text); err != Status::ok) return err;
    return Status::unsupported;
}

// The exception object a handler that is not a compiled-jump one receives: the jump's class
// called through Python with the carried value (a Return's) as its one argument.
Status jumpException(Emitter* e, RtMethod id, const Operand* value, Operand* out) {
    Compiler* c = e->compiler;
    if (c->strict && e->strictSuppressed == 0) {
        if (Status err = beginConstructError(e); err != Status::ok) return err;
        Status err = appendText(&c->message, "strict: catches rt.");
        if (err == Status::ok) err = appendText(&c->message, rtMethodName(uint8_t(id)));
        if (err == Status::ok)
            err = appendText(&c->message, " as an exception (it would run in Python)");
        return err == Status::ok ? Status::unsupported : err;
    }
    PyObject* cls = jumpClassOf(id);
    if (!cls) return compileError(e, "the wuna module's jump classes aren't available");
    uint32_t index;
    if (Status err = pinObject(c, cls, &index); err != Status::ok) return err;
    ModuleRecord* m = &c->module;
    llvmapi::ValueRef array = T.LLVMBuildAlloca(e->builder.entryBuilder, m->valuePair, "");
    T.LLVMSetAlignment(array, 8);
    bool carries = id == RtMethod::return_;
    if (carries) {
        Operand item = value ? *value : constantOperand(e, 0, 0, KnownKind::none);
        storeWord(e, item.tag, array);
        storeWord(e, item.payload, slotPayload(e, array));
    }
    llvmapi::ValueRef classValue;
    if (Status err = objectConstant(e, index, &classValue); err != Status::ok) return err;
    llvmapi::ValueRef args[6] = {e->runContext, siteValue(e, currentSite(e)), classValue,
                                 array,         constI64(e, carries ? 1 : 0), e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_call_python", args, 6, &ok); err != Status::ok) return err;
    if (value)
        if (Status err = release(e, dynShape(*value)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, KnownKind::unknown);
    return Status::ok;
}

// The jump lands in handler h of try entry t.
Status catchJump(Emitter* e, TryEntry* t, uint64_t h, RtMethod id, const Operand* value) {
    llvmapi::ValueRef slot = t->handlerSlots[h];
    Operand caught;
    if (t->compiledJumps[h]) {
        if (id == RtMethod::return_) {
            caught = value ? *value : constantOperand(e, 0, 0, KnownKind::none);
        } else {
            caught = constantOperand(e, 0, 0, KnownKind::none);
            if (value)
                if (Status err = release(e, dynShape(*value)); err != Status::ok) return err;
        }
    } else if (Status err = jumpException(e, id, value, &caught); err != Status::ok) {
        return err;
    }
    if (Status err = releaseSemanticsAbove(e, t->semanticCount); err != Status::ok) return err;
    if (Status err = releaseScopeFramesAbove(e, t->blockScopeDepth); err != Status::ok) return err;
    if (Status err = releaseSlot(e, slot); err != Status::ok) return err;
    if (Status err = storeOperand(e, slot, &caught); err != Status::ok) return err;
    br(&e->builder, t->handlerBlocks[h]);
    return afterJump(e);
}

// The finally statements of entry index i, compiled at a jump with only the try statements
// below it open and the error target it had when it began.
Status finallyAtJump(Emitter* e, size_t i) {
    TryEntry* t = e->tries[i];
    backend::List<TryEntry*> saved;
    for (size_t k = i; k < e->tries.count; k++)
        if (!saved.push(e->tries[k])) {
            saved.free();
            return Status::outOfMemory;
        }
    e->tries.cut(i);
    llvmapi::BasicBlockRef target = e->errorTarget;
    uint64_t depth = e->errorSemanticDepth, mark = e->errorReleaseMark;
    e->errorTarget = t->savedErrorTarget;
    e->errorSemanticDepth = t->savedErrorSemanticDepth;
    e->errorReleaseMark = t->savedErrorReleaseMark;
    Semantic* owner = t->owner;
    Status err = Status::ok;
    for (uint64_t k = 0; err == Status::ok && k < t->finallyCount; k++) {
        if (owner->ended || owner->jumped) break;
        err = lowerStatement(e, owner, t->finallyStatements[k]);
        if (err == Status::ok) err = dropDeadContainers(e, owner);
        owner->tracked.clear();
    }
    e->errorTarget = target;
    e->errorSemanticDepth = depth;
    e->errorReleaseMark = mark;
    e->tries.cut(i);
    for (size_t k = 0; k < saved.count; k++)
        if (!e->tries.push(saved[k]) && err == Status::ok) err = Status::outOfMemory;
    saved.free();
    return err;
}

// raise of rt.Break or rt.Continue: to the handler that catches it, else the innermost rt.loop,
// else out of the helper or a run-time failure.
Status raiseBreak(Emitter* e, RtMethod id, int32_t site) {
    uint64_t height = e->rtLoops.count ? e->rtLoops.last().tryHeight : 0;
    bool caught = false;
    if (Status err = jumpOut(e, height, id, true, nullptr, &caught); err != Status::ok) return err;
    if (caught) return Status::ok;
    if (e->rtLoops.count) {
        RtLoopEntry loop = e->rtLoops.last();
        if (Status err = releaseSemanticsAbove(e, loop.semantics); err != Status::ok) return err;
        if (Status err = releaseScopeFramesAbove(e, loop.scopeDepth); err != Status::ok) return err;
        br(&e->builder, id == RtMethod::break_ ? loop.breakBlock : loop.continueBlock);
        return afterJump(e);
    }
    if (e->modes.jumpsAsFailures) return failWith(e, site, kJumpOutOfHelper);
    if (e->modes.jumpsAsStatus) {
        if (Status err = releaseSemanticsAbove(e, 0); err != Status::ok) return err;
        if (Status err = releaseScopeFramesAbove(e, e->helperScopeDepth); err != Status::ok)
            return err;
        JumpStatus status = id == RtMethod::break_ ? JumpStatus::broke : JumpStatus::continued;
        openBlock(&e->builder);
        T.LLVMBuildRet(e->builder.builder, constI32(e, int32_t(status)));
        return afterJump(e);
    }
    return failWith(e, site, kBreakOutsideLoop);
}

// Whether the object is the Python class of one of the runtime's error kinds.
bool isKnownExceptionClass(PyObject* object) {
    for (uint32_t k = 0; k < errors::kKindCount; k++)
        if (errors::pyClass(errors::Kind(k)) == object) return true;
    return false;
}

Status afterRaise(Emitter* e, Semantic* s) {
    if (s->controlDepth == 0) s->ended = 1;
    llvmapi::BasicBlockRef after;
    if (Status err = newBlock(&e->builder, "after_raise", &after); err != Status::ok) return err;
    enter(&e->builder, after);
    return Status::ok;
}

// wn_raise of the operand (consumed), then the error exit.
Status raiseOperand(Emitter* e, Semantic* s, Operand* o) {
    llvmapi::ValueRef args[4] = {e->runContext, siteValue(e, s->site), o->tag, o->payload};
    if (Status err = callHelper(e, "wn_raise", args, 4, nullptr); err != Status::ok) return err;
    if (Status err = release(e, dynShape(*o)); err != Status::ok) return err;
    llvmapi::BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(&e->builder, exit);
    return Status::ok;
}

// The raised value: a builtin exception class known while compiling is called first.
Status raisedValue(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    if (Status err = emitExpr(e, s, expr, out); err != Status::ok) return err;
    if (out->kind == ShapeKind::py && isKnownExceptionClass(out->py)) {
        PyObject* cls = out->py;
        return callPython(e, s, cls, nullptr, 0, nullptr, 0, nullptr, expr->position, out);
    }
    return Status::ok;
}

Status raiseControl(Emitter* e, Semantic* s, const Shape& control) {
    RtMethod id = RtMethod(control.control.method & 0x3F);
    if (id == RtMethod::return_) {
        Shape carried = control.control.argument ? *control.control.argument : noneShape();
        Operand o;
        if (Status err = materialize(e, carried, s->site, &o); err != Status::ok) return err;
        Shape value = dynShape(o);
        if (Status err = lowerReturn(e, &value, s->site); err != Status::ok) return err;
    } else if (id == RtMethod::break_ || id == RtMethod::continue_) {
        if (Status err = raiseBreak(e, id, s->site); err != Status::ok) return err;
    } else {
        return refuseConstruct(e, "a raise of this rt jump");
    }
    return afterRaise(e, s);
}

Status lowerRaiseFrom(Emitter* e, Semantic* s, const front::Stmt* statement) {
    Shape exception, cause;
    if (Status err = raisedValue(e, s, statement->raiseFrom.exception, &exception);
        err != Status::ok)
        return err;
    Operand x, c;
    if (Status err = materialize(e, exception, s->site, &x); err != Status::ok) return err;
    if (!e->temporaries.push(dynShape(x))) return Status::outOfMemory;
    Status err = emitExpr(e, s, statement->raiseFrom.cause, &cause);
    if (err == Status::ok) err = materialize(e, cause, s->site, &c);
    e->temporaries.cut(e->temporaries.count - 1);
    if (err != Status::ok) return err;
    llvmapi::ValueRef args[6] = {e->runContext, siteValue(e, s->site), x.tag, x.payload, c.tag,
                                 c.payload};
    if ((err = callHelper(e, "wn_raise_from", args, 6, nullptr)) != Status::ok) return err;
    if ((err = release(e, dynShape(c))) != Status::ok) return err;
    if ((err = release(e, dynShape(x))) != Status::ok) return err;
    llvmapi::BasicBlockRef exit;
    if ((err = errorExit(e, &exit)) != Status::ok) return err;
    br(&e->builder, exit);
    return afterRaise(e, s);
}

}  // namespace

Status failWith(Emitter* e, int32_t site, const char* text) {
    llvmapi::ValueRef literal;
    if (Status err = literalGlobal(&e->compiler->module, text, strlen(text), &literal);
        err != Status::ok)
        return err;
    llvmapi::ValueRef args[3] = {e->runContext, siteValue(e, site), literal};
    if (Status err = callHelper(e, "wn_fail", args, 3, nullptr); err != Status::ok) return err;
    llvmapi::BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(&e->builder, exit);
    openBlock(&e->builder);
    return Status::ok;
}

Status jumpOut(Emitter* e, uint64_t height, RtMethod id, bool rtJump, const Operand* value,
               bool* caught) {
    *caught = false;
    JumpClass jump{};
    bool catchable = rtJump && jumpClassIndex(id, &jump);
    for (size_t i = e->tries.count; i-- > height;) {
        TryEntry* t = e->tries[i];
        const JumpHandler& handler = t->jumpHandlers[uint8_t(jump)];
        if (catchable && t->catchesJumps && handler.present) {
            *caught = true;
            return catchJump(e, t, handler.index, id, value);
        }
        if (!t->finallyCount) continue;
        if (Status err = finallyAtJump(e, i); err != Status::ok) return err;
    }
    return Status::ok;
}

Status lowerRaise(Emitter* e, Semantic* s, const front::Stmt* statement) {
    if (statement->kind == front::StmtKind::raiseFrom) return lowerRaiseFrom(e, s, statement);
    if (!statement->raise) {
        if (!e->caughtSlots.count)
            return compileError(e, "a bare `raise` outside an except can't be compiled");
        Operand caught = loadOperand(e, e->caughtSlots.last(), KnownKind::unknown);
        if (Status err = addReference(e, &caught); err != Status::ok) return err;
        if (Status err = raiseOperand(e, s, &caught); err != Status::ok) return err;
        return afterRaise(e, s);
    }
    Shape value;
    if (Status err = raisedValue(e, s, statement->raise, &value); err != Status::ok) return err;
    if (value.kind == ShapeKind::control) return raiseControl(e, s, value);
    Operand o;
    if (Status err = materialize(e, value, s->site, &o); err != Status::ok) return err;
    if (Status err = raiseOperand(e, s, &o); err != Status::ok) return err;
    return afterRaise(e, s);
}

}  // namespace wuna::compile
