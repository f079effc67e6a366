// Value slots and the walks that find which locals code uses: entry-block slots that start as
// None (so a path that never assigns them releases nothing), a local moved into a slot when it
// must live at run time, and the local-use walks over the front end's expressions that the
// try, loop and assignment lowerings ask (see lower.h).
#include "compiler/codegen/attributes_common.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Calls f(sub-expression, flag) for each sub-expression of expr, with the flag the
// note walk passes it under (flag: the caller's).
template <typename F>
Status eachPart(const front::Expr* expr, uint8_t flag, F f) {
    using front::ExprKind;
    auto list = [&](const front::ExprList& items, uint8_t itemFlag) -> Status {
        for (uint64_t i = 0; i < items.count; i++)
            if (Status err = f(items.items[i], itemFlag); err != Status::ok) return err;
        return Status::ok;
    };
    auto optional = [&](const front::Expr* part, uint8_t partFlag) -> Status {
        return part ? f(part, partFlag) : Status::ok;
    };
    auto generators = [&](const front::GeneratorList& gens) -> Status {
        for (uint64_t i = 0; i < gens.count; i++) {
            if (Status err = f(gens.items[i].iterable, 0); err != Status::ok) return err;
            if (Status err = list(gens.items[i].conditions, 0); err != Status::ok) return err;
        }
        return Status::ok;
    };
    switch (expr->kind) {
    case ExprKind::attribute: return f(expr->attribute.object, flag);
    case ExprKind::starred: return f(expr->starred, 0);
    case ExprKind::unary: return f(expr->unary.operand, flag);
    case ExprKind::subscript:
        if (Status err = f(expr->subscript.object, flag); err != Status::ok) return err;
        return f(expr->subscript.index, flag);
    case ExprKind::binary:
        if (Status err = f(expr->binary.left, flag); err != Status::ok) return err;
        return f(expr->binary.right, flag);
    case ExprKind::slice:
        if (Status err = f(expr->slice.object, flag); err != Status::ok) return err;
        if (Status err = optional(expr->slice.lower, flag); err != Status::ok) return err;
        if (Status err = optional(expr->slice.upper, flag); err != Status::ok) return err;
        return optional(expr->slice.step, flag);
    case ExprKind::call:
        if (Status err = f(expr->call.callee, flag); err != Status::ok) return err;
        if (Status err = list(expr->call.arguments, flag); err != Status::ok) return err;
        for (uint64_t i = 0; i < expr->call.keywords.count; i++)
            if (Status err = f(expr->call.keywords.items[i].value, flag); err != Status::ok)
                return err;
        return Status::ok;
    case ExprKind::nestedCall: return list(expr->nestedCall.arguments, flag);
    case ExprKind::and_: return list(expr->and_, 0);
    case ExprKind::or_: return list(expr->or_, 0);
    case ExprKind::list: return list(expr->list, flag);
    case ExprKind::tuple: return list(expr->tuple, flag);
    case ExprKind::set: return list(expr->set.elements, flag);
    case ExprKind::compare:
        if (Status err = f(expr->compare.left, flag); err != Status::ok) return err;
        return list(expr->compare.comparators, 0);
    case ExprKind::ifExp:
        if (Status err = f(expr->ifExp.test, 0); err != Status::ok) return err;
        if (Status err = f(expr->ifExp.body, 0); err != Status::ok) return err;
        return f(expr->ifExp.orelse, 0);
    case ExprKind::dict:
        for (uint64_t i = 0; i < expr->dict.keys.count; i++) {
            if (Status err = optional(expr->dict.keys.items[i], flag); err != Status::ok)
                return err;
            if (Status err = f(expr->dict.values.items[i], flag); err != Status::ok) return err;
        }
        return Status::ok;
    case ExprKind::setComp:
    case ExprKind::listComp:
    case ExprKind::generatorExp:
        // One layout for the three element comprehensions.
        if (Status err = f(expr->listComp.element, 0); err != Status::ok) return err;
        return generators(expr->listComp.generators);
    case ExprKind::dictComp:
        if (Status err = f(expr->dictComp.key, 0); err != Status::ok) return err;
        if (Status err = f(expr->dictComp.value, 0); err != Status::ok) return err;
        return generators(expr->dictComp.generators);
    default: return Status::ok;
    }
}

// The expressions of f-string parts, format specifications included.
template <typename F>
Status eachFStringValue(const front::FStringPartList& parts, F f) {
    for (uint64_t i = 0; i < parts.count; i++) {
        const front::FStringPart& part = parts.items[i];
        if (part.tag != front::FStringTag::value) continue;
        if (Status err = f(part.value.value); err != Status::ok) return err;
        if (Status err = eachFStringValue(part.value.spec, f); err != Status::ok) return err;
    }
    return Status::ok;
}

}  // namespace

llvmapi::ValueRef newValueSlot(Emitter* e) {
    llvmapi::ValueRef slot = valueSlot(e);
    ModuleRecord* m = &e->compiler->module;
    // In the entry block: the slot holds None on every path, also one that never assigns it.
    T.LLVMSetAlignment(
        T.LLVMBuildStore(e->builder.entryBuilder, T.LLVMConstNull(m->valuePair), slot), 8);
    return slot;
}

Status newListedSlot(Emitter* e, Semantic* s, llvmapi::ValueRef* out) {
    llvmapi::ValueRef slot = newValueSlot(e);
    if (!s->extraSlots.push(slot)) return Status::outOfMemory;
    *out = slot;
    return Status::ok;
}

Status materializeLocal(Emitter* e, Semantic* s, uint32_t local) {
    LocalRecord* record = &s->locals[local];
    if (record->state == LocalState::empty) {
        record->slot = newValueSlot(e);
        record->kind = KnownKind::unknown;
        record->state = LocalState::slot;
        return Status::ok;
    }
    if (record->state != LocalState::comptime) return Status::ok;
    bool wasRunTime = record->shape.kind == ShapeKind::dyn;
    Operand o;
    if (Status err = materialize(e, record->shape, s->site, &o); err != Status::ok) return err;
    llvmapi::ValueRef slot = newValueSlot(e);
    if (!wasRunTime && record->shape.kind == ShapeKind::dyn) {
        // Making the container at run time gave the local a reference of its own, which the
        // slot now takes over: the materialized operand's one is one too many.
        if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    }
    if (Status err = storeOperand(e, slot, &o); err != Status::ok) return err;
    record->slot = slot;
    record->kind = KnownKind::unknown;
    record->state = LocalState::slot;
    return Status::ok;
}

Status markUsedLocals(const front::Expr* expr, backend::U32Set* used) {
    if (!expr) return Status::ok;
    switch (expr->kind) {
    case front::ExprKind::local:
        return used->put(expr->local, 1) ? Status::ok : Status::outOfMemory;
    case front::ExprKind::namedExpr:
        if (!used->put(expr->namedExpr.local, 1)) return Status::outOfMemory;
        return markUsedLocals(expr->namedExpr.value, used);
    case front::ExprKind::fstring:
        return eachFStringValue(
            expr->fstring, [&](const front::Expr* part) { return markUsedLocals(part, used); });
    default:
        return eachPart(
            expr, 0, [&](const front::Expr* part, uint8_t) { return markUsedLocals(part, used); });
    }
}

Status noteExprLocals(const front::Expr* expr, uint8_t flag, backend::List<LocalRead>* out) {
    if (!expr) return Status::ok;
    switch (expr->kind) {
    case front::ExprKind::local:
        return out->push(LocalRead{expr, expr->local, flag}) ? Status::ok : Status::outOfMemory;
    case front::ExprKind::namedExpr:
        if (Status err = noteExprLocals(expr->namedExpr.value, 0, out); err != Status::ok)
            return err;
        return out->push(LocalRead{nullptr, expr->namedExpr.local, 0}) ? Status::ok
                                                                       : Status::outOfMemory;
    case front::ExprKind::fstring:
        return eachFStringValue(
            expr->fstring, [&](const front::Expr* part) { return noteExprLocals(part, 0, out); });
    default:
        return eachPart(expr, flag, [&](const front::Expr* part, uint8_t partFlag) {
            return noteExprLocals(part, partFlag, out);
        });
    }
}

bool countStraightStatements(const front::Stmt* statements, uint64_t count, uint64_t* counter) {
    for (uint64_t i = 0; i < count; i++) {
        const front::Stmt& statement = statements[i];
        ++*counter;
        switch (statement.kind) {
        case front::StmtKind::while_:
        case front::StmtKind::for_:
        case front::StmtKind::try_: return false;
        case front::StmtKind::if_:
            if (!countStraightStatements(statement.if_.body.items, statement.if_.body.count,
                                         counter) ||
                !countStraightStatements(statement.if_.orelse.items, statement.if_.orelse.count,
                                         counter))
                return false;
            break;
        case front::StmtKind::block:
            // A with or a group of deletions may hold a loop or a try of its own.
            if (!countStraightStatements(statement.block.items, statement.block.count, counter))
                return false;
            break;
        default: break;
        }
    }
    return true;
}

}  // namespace wuna::compile
