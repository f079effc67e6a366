// raise statements: an exception raised at run time through the error exit, or a jump of the
// interpreted language (rt.Return, rt.Break, rt.Continue) handed to the statement lowering's
// jumps, which resolve it while compiling (see lower.h).
#include "compiler/backend/compile_error.h"
#include "compiler/codegen/control_support.h"
#include "wuna/runtime/errors.h"

namespace wuna::compile {

namespace {

Status compileError(Emitter* e, const char* text) {
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    if (Status err = appendText(&e->compiler->message, text); err != Status::ok) return err;
    return Status::unsupported;
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
        if (Status err = lowerBreak(e, id, s->site); err != Status::ok) return err;
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
