// and, or, not and comparison chains (see expression_parts.h). Each is decided while
// compiling as far as the operands allow; the rest becomes explicit control flow. and/or
// evaluate each operand at most once, stop at the first that decides and yield that operand
// itself; a chain evaluates each comparand at most once and stops at its first false link,
// as Python does, so a later comparand (and its side effects, and its errors) is not reached.
#include "compiler/codegen/expression_parts.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using front::Expr;

// Raises the run-time control-flow depth of the body and the emitter while code that runs
// only on some paths is compiled (lists and dicts made then are inside run-time control flow).
struct ConditionalCode {
    Emitter* e;
    Semantic* s;
    bool raised = false;
    ConditionalCode(Emitter* emitter, Semantic* body) : e(emitter), s(body) {}
    ~ConditionalCode() { lower(); }
    void raise() {
        if (raised) return;
        raised = true;
        s->controlDepth++;
        e->controlDepth++;
    }
    void lower() {
        if (!raised) return;
        raised = false;
        s->controlDepth--;
        e->controlDepth--;
    }
};

// A value whose truth is known only when the code runs: a run-time value, or a Python object
// of a type whose truth may change.
Status truthAtRunTime(const Shape& shape, bool* out) {
    *out = shape.kind == ShapeKind::dyn;
    if (shape.kind != ShapeKind::py) return Status::ok;
    int stable = front::isStable(shape.py);
    if (stable < 0) return Status::pythonError;
    *out = stable == 0;
    return Status::ok;
}

// One run-time step of and/or: a holds the accumulated value (run-time); next is compiled
// only on the path where a does not decide. *a becomes the value that reaches the end.
Status runtimeStep(Emitter* e, Semantic* s, bool isAnd, const Expr* next, Shape* a) {
    Builder* b = &e->builder;
    Operand held;
    if (Status err = materialize(e, *a, s->site, &held); err != Status::ok) return err;
    KnownKind kind = held.kind;
    ValueRef slot = freshSlot(e);
    if (Status err = storeOperand(e, slot, &held); err != Status::ok) return err;
    // The slot keeps one reference, the truth test consumes the other.
    if (Status err = addReference(e, &held); err != Status::ok) return err;
    Truth t;
    if (Status err = emitTruthy(e, dynShape(held), s->site, &t); err != Status::ok) return err;
    BasicBlockRef more, end;
    if (Status err = newBlock(b, "boolop_next", &more); err != Status::ok) return err;
    if (Status err = newBlock(b, "boolop_end", &end); err != Status::ok) return err;
    ValueRef bit = t.isValue ? t.value : T.LLVMConstInt(e->compiler->module.i1, t.known & 1, 0);
    condBr(b, bit, isAnd ? more : end, isAnd ? end : more);
    enter(b, more);
    // The accumulated value is not the result on this path.
    if (Status err = release(e, dynShape(loadOperand(e, slot, kind))); err != Status::ok)
        return err;
    KnownKind nextKind;
    {
        ConditionalCode conditional(e, s);
        conditional.raise();
        Shape value;
        if (Status err = emitExpr(e, s, next, &value); err != Status::ok) return err;
        Operand o;
        if (Status err = materialize(e, value, s->site, &o); err != Status::ok) return err;
        nextKind = o.kind;
        if (Status err = storeOperand(e, slot, &o); err != Status::ok) return err;
    }
    br(b, end);
    enter(b, end);
    *a = dynShape(loadOperand(e, slot, nextKind == kind ? kind : KnownKind::unknown));
    return Status::ok;
}

// The right operand of a link that is also the left operand of the next one: a second holder
// (for run-time values a second reference, for tuples of run-time items a copy); a value that
// holds no reference is simply used twice. The second reference is held by a plain operand: a
// borrowed read's flag lets one release through, so it stays with the first holder alone.
Status secondHolder(Emitter* e, Semantic* s, Shape* value, Shape* copy) {
    if (!mayHoldReference(*value)) {
        *copy = *value;
        return Status::ok;
    }
    if (value->kind != ShapeKind::dyn) return ownCopy(e, *value, copy);
    Operand o;
    if (Status err = materialize(e, *value, s->site, &o); err != Status::ok) return err;
    if (Status err = addReference(e, &o); err != Status::ok) return err;
    *value = dynShape(o);
    *copy = *value;
    copy->dyn.borrowFlag = nullptr;
    copy->dyn.source = nullptr;
    return Status::ok;
}

Status storeBit(Emitter* e, ValueRef slot, bool value) {
    openBlock(&e->builder);
    storeWord(e, constI64(e, value ? 1 : 0), slotPayload(e, slot));
    return Status::ok;
}

}  // namespace

Status emitBoolOp(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    bool isAnd = expr->kind == front::ExprKind::and_;
    front::ExprList operands = isAnd ? expr->and_ : expr->or_;
    Shape a;
    if (Status err = emitExpr(e, s, operands.items[0], &a); err != Status::ok) return err;
    for (uint64_t i = 1; i < operands.count; i++) {
        bool runTime;
        if (Status err = truthAtRunTime(a, &runTime); err != Status::ok) return err;
        if (runTime) {
            if (Status err = runtimeStep(e, s, isAnd, operands.items[i], &a); err != Status::ok)
                return err;
            continue;
        }
        Truth t;
        if (Status err = emitTruthy(e, a, s->site, &t); err != Status::ok) return err;
        if ((t.known & 1) != isAnd) break;  // a decides: the rest is never compiled
        // Not the result: a tuple's run-time items are dropped with it.
        if (Status err = release(e, a); err != Status::ok) return err;
        if (Status err = emitExpr(e, s, operands.items[i], &a); err != Status::ok) return err;
    }
    *out = a;
    return Status::ok;
}

Status emitNot(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    Shape operand;
    if (Status err = emitExpr(e, s, expr->unary.operand, &operand); err != Status::ok) return err;
    Truth t;
    if (Status err = emitTruthy(e, operand, s->site, &t); err != Status::ok) return err;
    if (!t.isValue) {
        // A known truth leaves the operand to its holder; a tuple's run-time items go here.
        if (Status err = release(e, operand); err != Status::ok) return err;
        *out = scalarShape(ShapeKind::bool_);
        out->bool_ = (t.known & 1) ? 0 : 1;
        return Status::ok;
    }
    openBlock(&e->builder);
    ValueRef flipped = T.LLVMBuildXor(e->builder.builder, t.value,
                                      T.LLVMConstInt(e->compiler->module.i1, 1, 0), "");
    *out = runtimeBool(e, flipped);
    return Status::ok;
}

Status emitCompareChain(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    Builder* b = &e->builder;
    uint64_t n = expr->compare.ops.count;
    ConditionalCode conditional(e, s);
    ValueRef result = nullptr;  // the bool's payload slot once a link is decided at run time
    BasicBlockRef end = nullptr;
    bool knownFalse = false;
    Shape left;
    if (Status err = emitExpr(e, s, expr->compare.left, &left); err != Status::ok) return err;
    for (uint64_t i = 0; i < n; i++) {
        bool last = i + 1 == n;
        Shape right, next;
        {
            LiveMark mark(e);
            if (Status err = keepLive(e, left); err != Status::ok) return err;
            if (Status err = emitExpr(e, s, expr->compare.comparators.items[i], &right);
                err != Status::ok)
                return err;
        }
        next = right;
        if (!last) {
            if (Status err = secondHolder(e, s, &right, &next); err != Status::ok) return err;
        }
        Shape link;
        {
            // The next link's left operand is released by an error exit of this comparison.
            LiveMark mark(e);
            if (!last) {
                if (Status err = keepLive(e, next); err != Status::ok) return err;
            }
            if (Status err = emitCompare(e, s, expr->compare.ops.items[i], &left, &right,
                                         expr->position, &link);
                err != Status::ok)
                return err;
        }
        Truth t;
        if (Status err = emitTruthy(e, link, s->site, &t); err != Status::ok) return err;
        if (!t.isValue) {
            if (t.known & 1) {
                left = next;
                continue;
            }
            // A false link ends the chain: the later comparands are never evaluated.
            if (!last) {
                if (Status err = release(e, next); err != Status::ok) return err;
            }
            knownFalse = true;
            break;
        }
        if (!result) {
            result = freshSlot(e);
            if (Status err = newBlock(b, "chain_end", &end); err != Status::ok) return err;
        }
        BasicBlockRef holds, fails;
        if (Status err = newBlock(b, "chain_next", &holds); err != Status::ok) return err;
        if (Status err = newBlock(b, "chain_false", &fails); err != Status::ok) return err;
        condBr(b, t.value, holds, fails);
        enter(b, fails);
        if (!last) {
            if (Status err = release(e, next); err != Status::ok) return err;
        }
        if (Status err = storeBit(e, result, false); err != Status::ok) return err;
        br(b, end);
        enter(b, holds);
        // What follows runs only when every link so far held.
        conditional.raise();
        left = next;
    }
    if (!result) {
        *out = scalarShape(ShapeKind::bool_);
        out->bool_ = knownFalse ? 0 : 1;
        return Status::ok;
    }
    if (Status err = storeBit(e, result, !knownFalse); err != Status::ok) return err;
    br(b, end);
    enter(b, end);
    Operand o = constantOperand(e, value::TagBool, 0, KnownKind::bool_);
    o.payload = loadWord(e, slotPayload(e, result));
    *out = dynShape(o);
    return Status::ok;
}

}  // namespace wuna::compile
