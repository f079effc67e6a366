// raise statements: an exception raised at run time through the error exit, or a jump of the
// interpreted language (rt.Return, rt.Break, rt.Continue) handed to the statement lowering's
// jumps, which resolve it while compiling (see lower.h).
//
// A raise in an except handler may raise again a jump the handler received as its exception
// object (a broad handler that cleans up and re-raises): such a jump goes on as the jump, with
// the value it carries, as it does in Python; what the handler caught as a failure goes on as
// that failure.
#include <iterator>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/control_support.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/run.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

Status compileError(Emitter* e, const char* text) {
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    if (Status err = appendText(&e->compiler->message, text); err != Status::ok) return err;
    return Status::unsupported;
}

Status afterRaise(Emitter* e, Semantic* s) {
    if (s->controlDepth == 0) s->ended = 1;
    llvmapi::BasicBlockRef after;
    if (Status err = newBlock(&e->builder, "after_raise", &after); err != Status::ok) return err;
    enter(&e->builder, after);
    return Status::ok;
}

// The raised value: a builtin exception class known while compiling is called first.
Status raisedValue(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    if (Status err = emitExpr(e, s, expr, out); err != Status::ok) return err;
    if (out->kind == ShapeKind::py && exceptionCode(out->py) != errors::kPythonClass) {
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
        if (Status err = lowerBreak(e, id, s->site); err != Status::ok) return err;
    } else {
        return refuseConstruct(e, "a raise of this rt jump");
    }
    return afterRaise(e, s);
}

constexpr RtMethod kReissued[] = {RtMethod::return_, RtMethod::break_, RtMethod::continue_};
constexpr JumpClass kReissuedClasses[] = {JumpClass::return_, JumpClass::break_,
                                          JumpClass::continue_};

// The jump whose exception object is in slot issued again from here: a Return with the value
// the object carries, a Break or Continue as itself. With keep the slot keeps its reference to
// the object (a handler's slot); else the object goes here.
Status reissueJump(Emitter* e, Semantic* s, llvmapi::ValueRef slot, RtMethod id, bool keep) {
    if (id != RtMethod::return_) {
        if (!keep)
            if (Status err = releaseSlot(e, slot); err != Status::ok) return err;
        return lowerBreak(e, id, s->site);
    }
    // wn_control_value takes the object's reference.
    Operand object = loadOperand(e, slot, KnownKind::unknown);
    if (keep)
        if (Status err = addReference(e, &object); err != Status::ok) return err;
    llvmapi::ValueRef args[5] = {e->runContext, siteValue(e, s->site), object.tag, object.payload,
                                 e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_control_value", args, 5, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    Shape carried = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return lowerReturn(e, &carried, s->site);
}

// Code after a jump: never reached. The builder stays in a fresh block.
void endJumped(Builder* b) {
    openBlock(b);
    T.LLVMBuildUnreachable(b->builder);
}

// When the recorded failure is an object of the jump class of id, it is taken off the run's
// failure into a slot of its own (*held; the scratch slot is the carried value's) and the
// builder is left on that path; *next is the block where the other failures go on. *held is
// null when the class is unknown (nothing emitted).
Status takeJumpObject(Emitter* e, Semantic* s, RtMethod id, llvmapi::ValueRef* held,
                      llvmapi::BasicBlockRef* next) {
    *held = nullptr;
    Builder* b = &e->builder;
    PyObject* cls = jumpClassOf(id);
    if (!cls) return Status::ok;
    uint32_t index;
    if (Status err = pinObject(e->compiler, cls, &index); err != Status::ok) return err;
    llvmapi::ValueRef classValue;
    if (Status err = objectConstant(e, index, &classValue); err != Status::ok) return err;
    llvmapi::ValueRef matchArgs[3] = {e->runContext, classValue, constI64(e, exceptClassMask(cls))};
    llvmapi::ValueRef matches;
    if (Status err = callHelper(e, "wn_exc_matches", matchArgs, 3, &matches); err != Status::ok)
        return err;
    llvmapi::BasicBlockRef jump;
    if (Status err = newBlock(b, "raised_jump_object", &jump); err != Status::ok) return err;
    if (Status err = newBlock(b, "not_that_jump", next); err != Status::ok) return err;
    condBr(b, matches, jump, *next);
    enter(b, jump);
    llvmapi::ValueRef slot = valueSlot(e);
    llvmapi::ValueRef catchArgs[3] = {e->runContext, siteValue(e, s->site), slot};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_exc_catch", catchArgs, 3, &ok); err != Status::ok)
        return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *held = slot;
    return Status::ok;
}

// The jump of id issued from the object in held (consumed). A TailCall's call is the one
// rt.tail_call left in the run context, which the function around makes once this frame is
// gone (the bridge's tail status).
Status issueHeldJump(Emitter* e, Semantic* s, llvmapi::ValueRef held, RtMethod id) {
    if (id != RtMethod::tailCall) return reissueJump(e, s, held, id, false);
    if (Status err = releaseSlot(e, held); err != Status::ok) return err;
    return dispatchRunStatus(e, constI32(e, int32_t(bridge::RunStatus::tail)), s->site);
}

constexpr RtMethod kPending[] = {RtMethod::return_, RtMethod::break_, RtMethod::continue_,
                                 RtMethod::tailCall};
constexpr JumpClass kPendingClasses[] = {JumpClass::return_, JumpClass::break_,
                                         JumpClass::continue_, JumpClass::tailCall};

}  // namespace

Status pendingJumpOrExit(Emitter* e, Semantic* s, uint8_t jumps) {
    Builder* b = &e->builder;
    for (size_t i = 0; i < std::size(kPending); i++) {
        if (!(jumps & (1u << uint32_t(kPendingClasses[i])))) continue;
        llvmapi::ValueRef held;
        llvmapi::BasicBlockRef next;
        if (Status err = takeJumpObject(e, s, kPending[i], &held, &next); err != Status::ok)
            return err;
        if (!held) continue;
        if (Status err = issueHeldJump(e, s, held, kPending[i]); err != Status::ok) return err;
        endJumped(b);
        enter(b, next);
    }
    llvmapi::BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(b, exit);
    return Status::ok;
}

namespace {

// wn_raise of the operand (consumed); then, for each jump of jumps (JumpClass bits) whose
// exception object the raised value may be, a test of the recorded failure against the jump's
// class: such an object is taken off again and goes on as its jump. Else the error exit.
Status raiseMaybeJump(Emitter* e, Semantic* s, Operand* o, uint8_t jumps) {
    llvmapi::ValueRef args[4] = {e->runContext, siteValue(e, s->site), o->tag, o->payload};
    if (Status err = callHelper(e, "wn_raise", args, 4, nullptr); err != Status::ok) return err;
    if (Status err = release(e, dynShape(*o)); err != Status::ok) return err;
    // A TailCall object raised again by Python code carries no call the context still holds.
    return pendingJumpOrExit(e, s, jumps & kPlainJumps);
}

// A bare raise: what the innermost handler caught raised again. A handler that may have
// received an rt jump as its exception object tells at run time which jump it was; that jump
// goes on as the jump (to the loop, function or handler that receives it), a failure as the
// failure.
Status raiseCaught(Emitter* e, Semantic* s, const CaughtSlot& caught) {
    Builder* b = &e->builder;
    for (size_t i = 0; caught.jumpFlag && i < std::size(kReissued); i++) {
        if (!(caught.jumps & (1u << uint32_t(kReissuedClasses[i])))) continue;
        llvmapi::BasicBlockRef jump, next;
        if (Status err = newBlock(b, "reraise_jump", &jump); err != Status::ok) return err;
        if (Status err = newBlock(b, "reraise_next", &next); err != Status::ok) return err;
        llvmapi::ValueRef received = loadWord(e, caught.jumpFlag);
        condBr(b, icmp(b, llvmapi::IntEQ, received, constI64(e, uint64_t(kReissued[i]))), jump,
               next);
        enter(b, jump);
        if (Status err = reissueJump(e, s, caught.slot, kReissued[i], true); err != Status::ok)
            return err;
        endJumped(b);
        enter(b, next);
    }
    // A caught tail call waits in the handler's slots (emitTailCall parked it there).
    if (caught.jumpFlag && caught.tailSlots &&
        (caught.jumps & (1u << uint32_t(JumpClass::tailCall)))) {
        llvmapi::BasicBlockRef jump, next;
        if (Status err = newBlock(b, "reraise_tail_call", &jump); err != Status::ok) return err;
        if (Status err = newBlock(b, "reraise_next", &next); err != Status::ok) return err;
        llvmapi::ValueRef received = loadWord(e, caught.jumpFlag);
        condBr(b, icmp(b, llvmapi::IntEQ, received, constI64(e, uint64_t(RtMethod::tailCall))),
               jump, next);
        enter(b, jump);
        if (Status err = reissueTailCall(e, caught.tailSlots, s->site); err != Status::ok)
            return err;
        endJumped(b);
        enter(b, next);
    }
    Operand failure = loadOperand(e, caught.slot, KnownKind::unknown);
    if (Status err = addReference(e, &failure); err != Status::ok) return err;
    // A failure that is itself a jump's exception (raised by Python code) goes on as the jump,
    // as it does in Python.
    return raiseMaybeJump(e, s, &failure, caught.jumps);
}

// A raise of a local that holds the TailCall object an open handler caught: the call that
// handler parked goes on as the tail call, as a bare raise there would issue it. The object
// itself carries no call, so it is known by identity with what the handler received. The
// operand is released on that path; on the other it is left to the caller.
Status reissueNamedTailCall(Emitter* e, Semantic* s, const Operand& raised) {
    Builder* b = &e->builder;
    for (size_t i = e->caughtSlots.count; i > 0; i--) {
        const CaughtSlot& caught = e->caughtSlots[i - 1];
        if (!caught.jumpFlag || !caught.tailSlots ||
            !(caught.jumps & (1u << uint32_t(JumpClass::tailCall))))
            continue;
        llvmapi::BasicBlockRef same, jump, next;
        if (Status err = newBlock(b, "raised_caught", &same); err != Status::ok) return err;
        if (Status err = newBlock(b, "reraise_tail_call", &jump); err != Status::ok) return err;
        if (Status err = newBlock(b, "reraise_next", &next); err != Status::ok) return err;
        llvmapi::ValueRef received = loadWord(e, caught.jumpFlag);
        condBr(b, icmp(b, llvmapi::IntEQ, received, constI64(e, uint64_t(RtMethod::tailCall))),
               same, next);
        enter(b, same);
        Operand held = loadOperand(e, caught.slot, KnownKind::unknown);
        condBr(b, icmp(b, llvmapi::IntEQ, raised.payload, held.payload), jump, next);
        enter(b, jump);
        if (Status err = release(e, dynShape(raised)); err != Status::ok) return err;
        if (Status err = reissueTailCall(e, caught.tailSlots, s->site); err != Status::ok)
            return err;
        endJumped(b);
        enter(b, next);
    }
    return Status::ok;
}

// The jumps an open handler may have received as exception objects, which a raise of a local
// (the handler's name) may raise again.
uint8_t jumpsOfOpenHandlers(const Emitter* e) {
    uint8_t jumps = 0;
    for (size_t i = 0; i < e->caughtSlots.count; i++) jumps |= e->caughtSlots[i].jumps;
    return jumps;
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

Status lowerRaise(Emitter* e, Semantic* s, const front::Stmt* statement) {
    if (statement->kind == front::StmtKind::raiseFrom) return lowerRaiseFrom(e, s, statement);
    if (!statement->raise) {
        if (!e->caughtSlots.count)
            return compileError(e, "a bare `raise` outside an except can't be compiled");
        if (Status err = raiseCaught(e, s, e->caughtSlots.last()); err != Status::ok) return err;
        return afterRaise(e, s);
    }
    Shape value;
    if (Status err = raisedValue(e, s, statement->raise, &value); err != Status::ok) return err;
    if (value.kind == ShapeKind::control) return raiseControl(e, s, value);
    Operand o;
    if (Status err = materialize(e, value, s->site, &o); err != Status::ok) return err;
    uint8_t jumps = statement->raise->kind == front::ExprKind::local ? jumpsOfOpenHandlers(e) : 0;
    if (jumps & (1u << uint32_t(JumpClass::tailCall)))
        if (Status err = reissueNamedTailCall(e, s, o); err != Status::ok) return err;
    if (Status err = raiseMaybeJump(e, s, &o, jumps); err != Status::ok) return err;
    return afterRaise(e, s);
}

}  // namespace wuna::compile
