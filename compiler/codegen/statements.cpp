// Statement lowering (see lower.h): one IR statement at a time, in the function being emitted.
//
// What is known while compiling is folded: an if on a known condition compiles only its
// branch, an assert known true leaves no code, an assignment to a local outside run-time
// control flow emits nothing (the local keeps the shape). Everything else becomes run-time
// blocks. Loops, try and raise are the control group's (lowerWhile, lowerFor, lowerTry,
// lowerRaise); expressions and calls go through emitExpr.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/statements_flow.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

using front::Stmt;
using front::StmtKind;

const llvmapi::Table& T = llvmapi::table;

// A compile error of the statement: the location prefix, then the text.
Status statementError(Emitter* e, const char* text, front::Text name = front::Text{nullptr, 0},
                      const char* rest = nullptr) {
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    backend::List<char>* message = &e->compiler->message;
    Status err = appendText(message, text);
    if (err == Status::ok && name.data) err = appendText(message, name.data, size_t(name.length));
    if (err == Status::ok && rest) err = appendText(message, rest);
    return err == Status::ok ? Status::unsupported : err;
}

// --- assignments -----------------------------------------------------------------------------

Status lowerAssign(Emitter* e, Semantic* s, const Stmt* st) {
    Shape value;
    if (Status err = emitExpr(e, s, st->assign.value, &value); err != Status::ok) return err;
    const front::TargetList& targets = st->assign.targets;
    if (targets.count > 1 && value.kind == ShapeKind::dyn) {
        // a = b = v: one owned operand, one reference for each target (no shared borrow flag).
        Operand o;
        if (Status err = materialize(e, value, s->site, &o); err != Status::ok) return err;
        value = dynShape(o);
    }
    for (uint64_t i = 0; i < targets.count; i++) {
        Shape given = value;
        if (i + 1 < targets.count) {
            if (value.kind == ShapeKind::dyn) {
                if (!neverCounted(value.dyn.kind))
                    if (Status err =
                            refcount(e, RefMode::increment, value.dyn.tag, value.dyn.payload);
                        err != Status::ok)
                        return err;
            } else if (Status err = ownCopy(e, value, &given); err != Status::ok) {
                return err;
            }
        }
        // The reference the later targets receive stays on the live temporaries while this
        // target runs (an item or attribute target compiles expressions that may fail).
        bool more = i + 1 < targets.count && mayHoldReference(value);
        if (more && !e->temporaries.push(value)) return Status::outOfMemory;
        size_t mark = e->temporaries.count - (more ? 1 : 0);
        Status err = emitAssign(e, s, targets.items[i], &given, st->position);
        e->temporaries.cut(mark);
        if (err != Status::ok) return err;
    }
    return Status::ok;
}

// The right side of an augmented assignment, compiled while the current value is live: the
// current value stays on the live temporaries meanwhile, so that an error exit in the right
// side releases it; it leaves them before the operator, which consumes it.
Status augmentedRight(Emitter* e, Semantic* s, const Stmt* st, const Shape& current, Shape* right) {
    if (!e->temporaries.push(current)) return Status::outOfMemory;
    size_t mark = e->temporaries.count - 1;
    Status err = emitExpr(e, s, st->augAssign.value, right);
    e->temporaries.cut(mark);
    return err;
}

Status augmentLocalOrGlobal(Emitter* e, Semantic* s, const Stmt* st) {
    const front::Target& target = st->augAssign.target;
    Shape current, right, result;
    Status err = target.kind == front::TargetKind::local
                     ? emitLocalRead(e, s, target.local, st->position, &current)
                     : emitGlobal(e, s, target.global, st->position, &current);
    if (err != Status::ok) return err;
    if (Status err2 = augmentedRight(e, s, st, current, &right); err2 != Status::ok) return err2;
    if (Status err2 = emitInplace(e, s, st->augAssign.op, &current, &right, st->position, &result);
        err2 != Status::ok)
        return err2;
    return emitAssign(e, s, target, &result, st->position);
}

Status augmentAttribute(Emitter* e, Semantic* s, const Stmt* st) {
    const front::Target& target = st->augAssign.target;
    Shape object, copy, current, right, result;
    if (Status err = emitExpr(e, s, target.attribute.object, &object); err != Status::ok)
        return err;
    if (Status err = ownCopy(e, object, &copy); err != Status::ok) return err;
    if (!e->temporaries.push(object)) return Status::outOfMemory;
    size_t mark = e->temporaries.count - 1;
    Status err = emitAttribute(e, s, &copy, target.attribute.name, st->position, &current);
    if (err == Status::ok) err = augmentedRight(e, s, st, current, &right);
    if (err == Status::ok)
        err = emitInplace(e, s, st->augAssign.op, &current, &right, st->position, &result);
    e->temporaries.cut(mark);
    if (err != Status::ok) return err;
    return emitSetAttr(e, s, &object, target.attribute.name, &result, st->position);
}

Status augmentItem(Emitter* e, Semantic* s, const Stmt* st) {
    const front::Target& target = st->augAssign.target;
    Shape object, index, objectCopy, indexCopy, current, right, result;
    size_t mark = e->temporaries.count;
    Status err = emitExpr(e, s, target.item.object, &object);
    if (err == Status::ok && !e->temporaries.push(object)) err = Status::outOfMemory;
    if (err == Status::ok) err = emitExpr(e, s, target.item.index, &index);
    if (err == Status::ok && !e->temporaries.push(index)) err = Status::outOfMemory;
    if (err == Status::ok) err = ownCopy(e, object, &objectCopy);
    if (err == Status::ok) err = ownCopy(e, index, &indexCopy);
    if (err == Status::ok)
        err = emitGetItem(e, s, &objectCopy, &indexCopy, st->position, &current);
    if (err == Status::ok) err = augmentedRight(e, s, st, current, &right);
    if (err == Status::ok)
        err = emitInplace(e, s, st->augAssign.op, &current, &right, st->position, &result);
    e->temporaries.cut(mark);
    if (err != Status::ok) return err;
    return emitSetItem(e, s, &object, &index, &result, st->position);
}

Status lowerAugAssign(Emitter* e, Semantic* s, const Stmt* st) {
    switch (st->augAssign.target.kind) {
    case front::TargetKind::local:
    case front::TargetKind::global: return augmentLocalOrGlobal(e, s, st);
    case front::TargetKind::tuple: return statementError(e, "augmented assignment to a tuple");
    case front::TargetKind::attribute: return augmentAttribute(e, s, st);
    case front::TargetKind::item: return augmentItem(e, s, st);
    }
    return refuseConstruct(e, "this augmented assignment");
}

Status lowerExprStatement(Emitter* e, Semantic* s, const Stmt* st) {
    Shape value;
    if (Status err = emitExpr(e, s, st->expr, &value); err != Status::ok) return err;
    return release(e, value);
}

// --- if ----------------------------------------------------------------------------------------

// The maybe-unset bits of the listed locals.
struct UnsetBits {
    backend::List<uint32_t> locals;
    backend::List<uint8_t> bits;
    void free() {
        locals.free();
        bits.free();
    }
};

Status saveBits(Semantic* s, const backend::U32Set& changed, UnsetBits* out) {
    Status err = Status::ok;
    changed.forEach([&](uint32_t local, uint8_t) {
        if (err != Status::ok || local >= s->localCount) return;
        if (!out->locals.push(local) ||
            !out->bits.push(uint8_t(s->locals[local].noRelease & kMaybeUnset)))
            err = Status::outOfMemory;
    });
    return err;
}

void readBits(const Semantic* s, UnsetBits* bits) {
    for (size_t i = 0; i < bits->locals.count; i++)
        bits->bits[i] = uint8_t(s->locals[bits->locals[i]].noRelease & kMaybeUnset);
}

void writeBits(Semantic* s, const UnsetBits& bits) {
    for (size_t i = 0; i < bits.locals.count; i++) {
        LocalRecord& local = s->locals[bits.locals[i]];
        local.noRelease = uint8_t((local.noRelease & ~kMaybeUnset) | bits.bits[i]);
    }
}

// Whether the builder's block already ends in a jump: the branch doesn't reach the join.
bool branchLeft(const Emitter* e) {
    const Builder* b = &e->builder;
    return b->current && T.LLVMGetBasicBlockTerminator(b->current);
}

// One branch of a run-time if: its statements at the raised depth, as one merging region.
Status lowerBranch(Emitter* e, Semantic* s, front::StmtList body, BasicBlockRef join,
                   bool* reaches) {
    BranchScope saved = currentBranch;
    currentBranch = BranchScope{s, s->controlDepth, s->tryDepth};
    Status err = lowerStatements(e, s, body);
    currentBranch = saved;
    if (err != Status::ok) return err;
    *reaches = !branchLeft(e) && !s->ended;
    br(&e->builder, join);
    return Status::ok;
}

Status runTimeIf(Emitter* e, Semantic* s, const Stmt* st, ValueRef truth) {
    backend::U32Set changed;
    UnsetBits before, afterThen, afterElse;
    Status err = changedVariables(st->if_.body.items, st->if_.body.count, &changed);
    if (err == Status::ok)
        err = changedVariables(st->if_.orelse.items, st->if_.orelse.count, &changed);
    // Every variable either branch assigns lives in its slot from here on, so the value after
    // the join is right on both paths.
    changed.forEach([&](uint32_t local, uint8_t) {
        if (err == Status::ok) err = materializeLocal(e, s, local);
    });
    if (err == Status::ok) err = saveBits(s, changed, &before);
    if (err == Status::ok) err = saveBits(s, changed, &afterThen);
    if (err == Status::ok) err = saveBits(s, changed, &afterElse);
    changed.free();
    BasicBlockRef then = nullptr, otherwise = nullptr, endif = nullptr;
    if (err == Status::ok) err = newBlock(&e->builder, "then", &then);
    if (err == Status::ok) err = newBlock(&e->builder, "else", &otherwise);
    if (err == Status::ok) err = newBlock(&e->builder, "endif", &endif);
    bool thenReaches = false, elseReaches = false;
    if (err == Status::ok) {
        condBr(&e->builder, truth, then, otherwise);
        s->controlDepth++;
        enter(&e->builder, then);
        err = lowerBranch(e, s, st->if_.body, endif, &thenReaches);
        if (err == Status::ok) {
            readBits(s, &afterThen);
            writeBits(s, before);
            enter(&e->builder, otherwise);
            err = lowerBranch(e, s, st->if_.orelse, endif, &elseReaches);
        }
        if (err == Status::ok) readBits(s, &afterElse);
        s->controlDepth--;
        if (err == Status::ok) enter(&e->builder, endif);
    }
    if (err == Status::ok) {
        // After the join a local may be unset when it may be on a path that reaches the join;
        // that is only settled here when this if runs on every path of its own region.
        for (size_t i = 0; i < before.locals.count; i++) {
            uint8_t merged = 0;
            if (thenReaches) merged |= afterThen.bits[i];
            if (elseReaches) merged |= afterElse.bits[i];
            if (!thenReaches && !elseReaches) merged = before.bits[i];
            afterThen.bits[i] = assignsOnEveryPath(s) ? merged : uint8_t(merged | before.bits[i]);
        }
        writeBits(s, afterThen);
    }
    before.free();
    afterThen.free();
    afterElse.free();
    return err;
}

Status lowerIf(Emitter* e, Semantic* s, const Stmt* st) {
    Shape condition;
    if (Status err = emitExpr(e, s, st->if_.test, &condition); err != Status::ok) return err;
    Truth truth;
    if (Status err = emitTruthy(e, condition, s->site, &truth); err != Status::ok) return err;
    if (!truth.isValue)
        return lowerStatements(e, s, (truth.known & 1) ? st->if_.body : st->if_.orelse);
    return runTimeIf(e, s, st, truth.value);
}

// --- return, assert ----------------------------------------------------------------------------

Status lowerReturnStatement(Emitter* e, Semantic* s, const Stmt* st) {
    Shape value = noneShape();
    if (st->return_)
        if (Status err = emitExpr(e, s, st->return_, &value); err != Status::ok) return err;
    if (s->controlDepth > 0) s->runTimeReturns++;
    return returnValue(e, s, &value);
}

// A failed assert raises AssertionError, which the semantic's own except AssertionError
// catches, and whose failure reads "AssertionError: <message>" as in the reference mode.
Status assertionFails(Emitter* e, Semantic* s, const Shape* message) {
    uint64_t n = message ? 1 : 0;
    ValueRef arguments;
    if (Status err = valueArray(e, message, n, s->site, &arguments); err != Status::ok) return err;
    ValueRef made[7] = {e->runContext,
                        siteValue(e, s->site),
                        constI64(e, uint64_t(int64_t(-1))),
                        constI32(e, int32_t(errors::Kind::AssertionError)),
                        arguments,
                        constI64(e, n),
                        e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_new_exception", made, 7, &ok); err != Status::ok) return err;
    if (n)
        if (Status err = releaseSlots(e, arguments, n); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    Operand exception = loadOperand(e, e->scratch, KnownKind::unknown);
    ValueRef raised[4] = {e->runContext, siteValue(e, s->site), exception.tag, exception.payload};
    if (Status err = callHelper(e, "wn_raise", raised, 4, nullptr); err != Status::ok) return err;
    if (Status err = release(e, dynShape(exception)); err != Status::ok) return err;
    BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(&e->builder, exit);
    openBlock(&e->builder);
    return Status::ok;
}

Status lowerAssert(Emitter* e, Semantic* s, const Stmt* st) {
    Shape condition;
    if (Status err = emitExpr(e, s, st->assert_.test, &condition); err != Status::ok) return err;
    Truth truth;
    if (Status err = emitTruthy(e, condition, s->site, &truth); err != Status::ok) return err;
    Shape message;
    bool hasMessage = st->assert_.message != nullptr;
    if (hasMessage) {
        if (Status err = emitExpr(e, s, st->assert_.message, &message); err != Status::ok)
            return err;
        if (message.kind != ShapeKind::str) {
            (void)release(e, message);
            return statementError(e, "an assert's message must be a string known when compiling");
        }
    }
    const Shape* text = hasMessage ? &message : nullptr;
    if (!truth.isValue) {
        if (truth.known & 1) return Status::ok;
        return assertionFails(e, s, text);
    }
    BasicBlockRef failed, ok;
    if (Status err = newBlock(&e->builder, "assert_failed", &failed); err != Status::ok) return err;
    if (Status err = newBlock(&e->builder, "assert_ok", &ok); err != Status::ok) return err;
    condBr(&e->builder, truth.value, ok, failed);
    enter(&e->builder, failed);
    // The failing path is run-time control flow of its own.
    s->controlDepth++;
    Status err = assertionFails(e, s, text);
    s->controlDepth--;
    if (err != Status::ok) return err;
    br(&e->builder, ok);
    enter(&e->builder, ok);
    return Status::ok;
}

// --- break, continue ---------------------------------------------------------------------------

Status lowerLoopJump(Emitter* e, Semantic* s, const Stmt* st) {
    if (s->loops.count == 0) return statementError(e, "this break or continue can't be compiled");
    LoopEntry* loop = s->loops.last();
    bool isContinue = st->kind == StmtKind::continue_;
    if (loop->unrollKey) {
        if (s->controlDepth != loop->controlDepth || s->tryDepth != loop->tryDepth) {
            // The next attempt compiles that loop at run time.
            if (Status err = noteLoopAtRunTime(loop->unrollKey); err != Status::ok) return err;
            recordNeed(e->compiler);
            return statementError(e,
                                  "a break or continue in run-time control flow of a loop "
                                  "unrolled: compiled again, a loop at run time");
        }
        s->jumped = 1;
        s->unrolledContinue = isContinue ? 1 : 0;
    }
    bool caught = false;
    if (Status err = jumpOut(e, loop->jumpDepth, 0, false, nullptr, &caught); err != Status::ok)
        return err;
    br(&e->builder, isContinue ? loop->continueBlock : loop->breakBlock);
    BasicBlockRef after;
    if (Status err = newBlock(&e->builder, "after_jump", &after); err != Status::ok) return err;
    enter(&e->builder, after);
    return Status::ok;
}

// --- del -----------------------------------------------------------------------------------------

Status lowerDelLocal(Emitter* e, Semantic* s, const Stmt* st) {
    uint32_t index = st->delLocal;
    front::Text name{"?", 1};
    if (s->function && index < s->function->locals.count) name = s->function->locals.items[index];
    if (index >= s->localCount) return unknownLocal(e, index);
    if (s->locals[index].state == LocalState::empty)
        return statementError(e, "`del` of ", name, ", which has no value here");
    if (s->locals[index].state != LocalState::comptime)
        return statementError(e, "`del` of a variable assigned in run-time control flow isn't "
                                 "compiled");
    return releaseLocal(e, s, index);
}

Status lowerDelItem(Emitter* e, Semantic* s, const Stmt* st) {
    Shape object, index;
    if (Status err = emitExpr(e, s, st->delItem.object, &object); err != Status::ok) return err;
    Operand container, key;
    if (Status err = changeComptime(e, &object, s->site, &container); err != Status::ok)
        return err;
    if (!e->temporaries.push(dynShape(container))) return Status::outOfMemory;
    size_t mark = e->temporaries.count - 1;
    Status err = emitExpr(e, s, st->delItem.index, &index);
    if (err == Status::ok) err = materialize(e, index, s->site, &key);
    e->temporaries.cut(mark);
    if (err != Status::ok) return err;
    ValueRef args[6] = {e->runContext, siteValue(e, s->site), container.tag, container.payload,
                        key.tag, key.payload};
    ValueRef ok;
    if (Status err2 = callHelper(e, "wn_delitem", args, 6, &ok); err2 != Status::ok) return err2;
    if (Status err2 = release(e, dynShape(key)); err2 != Status::ok) return err2;
    if (Status err2 = release(e, dynShape(container)); err2 != Status::ok) return err2;
    return checkOk(e, ok);
}

// --- the dispatcher ------------------------------------------------------------------------------

Status lowerPass(Emitter*, Semantic*, const Stmt*) { return Status::ok; }
Status lowerBlockStatement(Emitter* e, Semantic* s, const Stmt* st) {
    return lowerStatements(e, s, st->block);
}
Status lowerWhileStatement(Emitter* e, Semantic* s, const Stmt* st) { return lowerWhile(e, s, st); }
Status lowerForStatement(Emitter* e, Semantic* s, const Stmt* st) { return lowerFor(e, s, st); }
Status lowerTryStatement(Emitter* e, Semantic* s, const Stmt* st) { return lowerTry(e, s, st); }
Status lowerRaiseStatement(Emitter* e, Semantic* s, const Stmt* st) { return lowerRaise(e, s, st); }

using Lowering = Status (*)(Emitter*, Semantic*, const Stmt*);

// By statement kind (the IR's fixed numbers).
constexpr Lowering kLowerings[front::kStmtKindCount] = {
    lowerAssign,           // assign
    lowerAugAssign,        // augAssign
    lowerExprStatement,    // expr
    lowerIf,               // if_
    lowerWhileStatement,   // while_
    lowerForStatement,     // for_
    lowerReturnStatement,  // return_
    lowerRaiseStatement,   // raise
    lowerAssert,           // assert_
    lowerTryStatement,     // try_
    lowerLoopJump,         // break_
    lowerLoopJump,         // continue_
    lowerPass,             // pass
    lowerDelLocal,         // delLocal
    lowerDelItem,          // delItem
    lowerRaiseStatement,   // raiseFrom
    lowerBlockStatement,   // block
};
static_assert(sizeof kLowerings / sizeof kLowerings[0] == front::kStmtKindCount);

// --- changes to compile-time containers ------------------------------------------------------

bool anyRunTimeState(const Emitter* e, size_t first) {
    for (size_t i = first; i < e->semantics.count; i++) {
        const Semantic* s = e->semantics[i];
        if (s->controlDepth > 0 || s->resultSlotMade || s->tryDepth > 0) return true;
    }
    return false;
}

Status refuseChange(Emitter* e) {
    Compiler* c = e->compiler;
    c->message.clear();
    Status err = appendText(&c->message,
                            "a list or dict made when compiling (not by a literal) changed inside "
                            "run-time control flow isn't compiled yet");
    return err == Status::ok ? Status::unsupported : err;
}

}  // namespace

Status lowerRegion(Emitter* e, Semantic* s, front::StmtList body) {
    backend::U32Set changed;
    UnsetBits before;
    Status err = changedVariables(body.items, body.count, &changed);
    if (err == Status::ok) err = saveBits(s, changed, &before);
    changed.free();
    if (err == Status::ok) {
        BranchScope saved = currentBranch;
        currentBranch = BranchScope{s, s->controlDepth, s->tryDepth};
        err = lowerStatements(e, s, body);
        currentBranch = saved;
        // The loop may run no iteration: after it, a local is unset where it was before.
        writeBits(s, before);
    }
    before.free();
    return err;
}

Status lowerStatement(Emitter* e, Semantic* s, const Stmt* statement) {
    front::Position saved = e->position;
    e->position = statement->position;
    uint8_t kind = uint8_t(statement->kind) & 0x1F;
    Status err = kind < front::kStmtKindCount ? kLowerings[kind](e, s, statement)
                                              : refuseConstruct(e, "this statement");
    e->position = saved;
    return err;
}

Status changeComptime(Emitter* e, Shape* value, int32_t site, Operand* out) {
    const void* record = nullptr;
    uint8_t readOnly = 0;
    const front::Expr* literal = nullptr;
    if (value->kind == ShapeKind::list) {
        record = value->list;
        readOnly = value->list->comptime;
        literal = value->list->literal;
    } else if (value->kind == ShapeKind::dict) {
        record = value->dict;
        readOnly = value->dict->comptime;
        literal = value->dict->literal;
    }
    if (!record) return materialize(e, *value, site, out);
    if (readOnly) {
        Compiler* c = e->compiler;
        // Without an open body the message stands alone.
        if (Status err = beginConstructError(e); err != Status::ok) return err;
        Status err = appendText(&c->message,
                                "a change to a wuna.comptime function's result: a constant, the "
                                "same for every call");
        return err == Status::ok ? Status::unsupported : err;
    }
    if (literal || !walkHeld(e->semantics.items, e->semantics.count, record))
        return materialize(e, *value, site, out);
    if (e->controlDepth == 0 && !anyRunTimeState(e, 0)) return materialize(e, *value, site, out);
    size_t first = 0;
    while (first < e->semantics.count && !walkHeld(&e->semantics[first], 1, record)) first++;
    if (first == e->semantics.count) return materialize(e, *value, site, out);
    if (e->controlDepth != e->semantics[first]->openedAtControlDepth) return refuseChange(e);
    if (anyRunTimeState(e, first)) return refuseChange(e);
    return materialize(e, *value, site, out);
}

}  // namespace wuna::compile
