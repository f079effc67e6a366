// Nested functions of a semantic. A direct call of one by name is planned like any helper
// call: its arguments are the call's own, the unnamed closure slot and the captured locals'
// current values, so a function that only reads what it captured is inlined with those
// values. A nested function that shares its enclosing frame (it assigns a captured name, or
// the front end gave it a frame closure) and a nested function used as a value need helpers
// compiled out of line with a frame of their own, which are not built yet: they refuse. The
// out-of-line call of the function whose guard is inlined is the out-of-line lowering's.
#include "compiler/codegen/calls_shared.h"

namespace wuna::compile {

namespace {

using calls::keepLive;
using calls::LiveMark;

Status nestedCall(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    front::FunctionIR* f = expr->nestedCall.function;
    if (f->frameClosure || f->declaresNonlocal)
        return refuseConstruct(e, "a call of a nested function that shares its enclosing frame");
    const front::ExprList& arguments = expr->nestedCall.arguments;
    Shape* args = takeArray<Shape>(e->compiler, arguments.count);
    if (!args) return Status::outOfMemory;
    LiveMark live(e);
    for (uint64_t i = 0; i < arguments.count; i++) {
        if (arguments.items[i]->kind == front::ExprKind::starred)
            return refuseConstruct(e, "a starred argument to a nested function");
        if (Status err = emitExpr(e, s, arguments.items[i], &args[i]); err != Status::ok)
            return err;
        if (Status err = keepLive(e, args[i]); err != Status::ok) return err;
    }
    live.cut();
    return callPlanned(e, s, f, args, arguments.count, out);
}

}  // namespace

Status emitClosure(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    e->position = expr->position;
    switch (expr->kind) {
    case front::ExprKind::nestedCall:
        return nestedCall(e, s, expr, out);
    case front::ExprKind::closure:
        return refuseConstruct(e, "a nested function used as a value");
    case front::ExprKind::outOfLine:
        return emitOutOfLineSelfCall(e, s, expr, out);
    default:
        return refuseConstruct(e, "this expression as a nested function");
    }
}

}  // namespace wuna::compile
