// The variable analyses over the IR: which locals a statement list assigns or changes (they
// get run-time slots before a run-time branch or loop), which it reads, and the list of every
// use of a local in a statement, in source order (see lower.h). The walks are driven by the
// statement, target and expression kinds; none of them emits code.
#include <cstring>

#include "compiler/codegen/lower.h"

namespace wuna::compile {

namespace {

using front::Expr;
using front::ExprKind;
using front::Stmt;
using front::StmtKind;
using front::Target;
using front::TargetKind;

// The local whose reads of `.args` alone don't count as reads (collectUsedLocals' watched
// variable), or kNoLocal. Analyses run only on the compiling thread, under the interpreter
// lock, and put the previous value back.
uint32_t watchedLocal = kNoLocal;

Status add(backend::U32Set* set, uint32_t local) {
    return set->put(local, 1) ? Status::ok : Status::outOfMemory;
}

Status use(backend::List<LocalUse>* uses, const Expr* expr, uint32_t local, uint8_t flag,
           uint8_t assigns) {
    return uses->push(LocalUse{expr, local, flag, assigns}) ? Status::ok : Status::outOfMemory;
}

Status walkList(const front::ExprList& list, uint8_t flag, backend::List<LocalUse>* uses) {
    for (uint64_t i = 0; i < list.count; i++)
        if (Status err = noteExprLocals(list.items[i], flag, uses); err != Status::ok) return err;
    return Status::ok;
}

Status walkParts(const front::FStringPartList& parts, uint8_t flag, backend::List<LocalUse>* uses) {
    for (uint64_t i = 0; i < parts.count; i++) {
        const front::FStringPart& part = parts.items[i];
        if (part.tag != front::FStringTag::value) continue;
        if (Status err = noteExprLocals(part.value.value, flag, uses); err != Status::ok)
            return err;
        if (Status err = walkParts(part.value.spec, flag, uses); err != Status::ok) return err;
    }
    return Status::ok;
}

// A comprehension target's locals are assigned by it.
Status targetAssigns(const Target& target, uint8_t flag, backend::List<LocalUse>* uses) {
    if (target.kind == TargetKind::local) return use(uses, nullptr, target.local, flag, 1);
    if (target.kind != TargetKind::tuple) return noteTargetLocals(target, uses);
    for (uint64_t i = 0; i < target.tuple.count; i++)
        if (Status err = targetAssigns(target.tuple.items[i], flag, uses); err != Status::ok)
            return err;
    return Status::ok;
}

Status walkGenerators(const front::GeneratorList& generators, uint8_t flag,
                      backend::List<LocalUse>* uses) {
    for (uint64_t i = 0; i < generators.count; i++) {
        const front::Generator& g = generators.items[i];
        if (Status err = noteExprLocals(g.iterable, flag, uses); err != Status::ok) return err;
        if (Status err = targetAssigns(g.target, flag, uses); err != Status::ok) return err;
        if (Status err = walkList(g.conditions, flag, uses); err != Status::ok) return err;
    }
    return Status::ok;
}

// A nested function used as a value reads every local it captures, when it is made.
Status walkCaptures(const front::FunctionIR* function, const Expr* expr, uint8_t flag,
                    backend::List<LocalUse>* uses) {
    if (!function) return Status::ok;
    for (uint64_t i = 0; i < function->capturedSlots.count; i++)
        if (Status err = use(uses, expr, function->capturedSlots.items[i], flag, 0);
            err != Status::ok)
            return err;
    return Status::ok;
}

Status walkStatements(const front::StmtList& list, uint8_t flag, backend::List<LocalUse>* uses) {
    for (uint64_t i = 0; i < list.count; i++)
        if (Status err = noteStmtLocals(&list.items[i], flag, uses); err != Status::ok) return err;
    return Status::ok;
}

// The locals a := inside the expression assigns.
Status namedTargets(const Expr* expr, backend::U32Set* set) {
    if (!expr) return Status::ok;
    backend::List<LocalUse> uses;
    Status err = noteExprLocals(expr, 0, &uses);
    for (size_t i = 0; err == Status::ok && i < uses.count; i++)
        if (uses[i].assigns) err = add(set, uses[i].local);
    uses.free();
    return err;
}

// The locals the expression reads.
Status readsOf(const Expr* expr, backend::U32Set* set) {
    if (!expr) return Status::ok;
    backend::List<LocalUse> uses;
    Status err = noteExprLocals(expr, 0, &uses);
    for (size_t i = 0; err == Status::ok && i < uses.count; i++)
        if (!uses[i].assigns) err = add(set, uses[i].local);
    uses.free();
    return err;
}

// The methods that change their receiver in place, compared as whole names.
constexpr const char* kChangingMethods[] = {"append", "extend", "insert",     "pop",
                                            "remove", "clear",  "update",     "setdefault",
                                            "sort",   "reverse", "popitem"};

bool isChangingMethod(front::Text name) {
    for (const char* method : kChangingMethods)
        if (front::textIs(name, method)) return true;
    return false;
}

// x.append(...) and the like: the local x whose value the call changes.
bool changedReceiver(const Expr* expr, uint32_t* local) {
    if (expr->kind != ExprKind::call) return false;
    const Expr* callee = expr->call.callee;
    if (callee->kind != ExprKind::attribute) return false;
    if (callee->attribute.object->kind != ExprKind::local) return false;
    if (!isChangingMethod(callee->attribute.name)) return false;
    *local = callee->attribute.object->local;
    return true;
}

bool sameList(const front::StmtList& a, const front::StmtList& b) {
    return a.count == b.count && a.count > 0 && a.items == b.items;
}

Status collectReads(const Stmt* statements, uint64_t count, front::StmtList skipped,
                    backend::U32Set* set);

}  // namespace

Status noteExprLocals(const Expr* expr, uint8_t flag, backend::List<LocalUse>* uses) {
    if (!expr) return Status::ok;
    switch (expr->kind) {
    case ExprKind::int_:
    case ExprKind::bigInt:
    case ExprKind::object:
    case ExprKind::float_:
    case ExprKind::str:
    case ExprKind::bool_:
    case ExprKind::none:
    case ExprKind::global:
    case ExprKind::import_: return Status::ok;
    case ExprKind::local: return use(uses, expr, expr->local, flag, 0);
    case ExprKind::attribute:
        // e.args of the watched exception variable reads only what a compiled jump keeps.
        if (expr->attribute.object->kind == ExprKind::local &&
            expr->attribute.object->local == watchedLocal &&
            front::textIs(expr->attribute.name, "args"))
            return Status::ok;
        return noteExprLocals(expr->attribute.object, flag, uses);
    case ExprKind::subscript:
        if (Status err = noteExprLocals(expr->subscript.object, flag, uses); err != Status::ok)
            return err;
        return noteExprLocals(expr->subscript.index, flag, uses);
    case ExprKind::slice: {
        const Expr* parts[4] = {expr->slice.object, expr->slice.lower, expr->slice.upper,
                                expr->slice.step};
        for (const Expr* part : parts)
            if (Status err = noteExprLocals(part, flag, uses); err != Status::ok) return err;
        return Status::ok;
    }
    case ExprKind::call:
        if (Status err = noteExprLocals(expr->call.callee, flag, uses); err != Status::ok)
            return err;
        if (Status err = walkList(expr->call.arguments, flag, uses); err != Status::ok) return err;
        for (uint64_t i = 0; i < expr->call.keywords.count; i++)
            if (Status err = noteExprLocals(expr->call.keywords.items[i].value, flag, uses);
                err != Status::ok)
                return err;
        return Status::ok;
    case ExprKind::nestedCall: return walkList(expr->nestedCall.arguments, flag, uses);
    case ExprKind::outOfLine: return walkList(expr->call.arguments, flag, uses);
    case ExprKind::closure: return walkCaptures(expr->closure, expr, flag, uses);
    case ExprKind::namedExpr:
        if (Status err = noteExprLocals(expr->namedExpr.value, flag, uses); err != Status::ok)
            return err;
        return use(uses, expr, expr->namedExpr.local, flag, 1);
    case ExprKind::starred: return noteExprLocals(expr->starred, flag, uses);
    case ExprKind::binary:
        if (Status err = noteExprLocals(expr->binary.left, flag, uses); err != Status::ok)
            return err;
        return noteExprLocals(expr->binary.right, flag, uses);
    case ExprKind::unary: return noteExprLocals(expr->unary.operand, flag, uses);
    case ExprKind::and_: return walkList(expr->and_, flag, uses);
    case ExprKind::or_: return walkList(expr->or_, flag, uses);
    case ExprKind::compare:
        if (Status err = noteExprLocals(expr->compare.left, flag, uses); err != Status::ok)
            return err;
        return walkList(expr->compare.comparators, flag, uses);
    case ExprKind::ifExp: {
        const Expr* parts[3] = {expr->ifExp.test, expr->ifExp.body, expr->ifExp.orelse};
        for (const Expr* part : parts)
            if (Status err = noteExprLocals(part, flag, uses); err != Status::ok) return err;
        return Status::ok;
    }
    case ExprKind::list: return walkList(expr->list, flag, uses);
    case ExprKind::tuple: return walkList(expr->tuple, flag, uses);
    case ExprKind::set: return walkList(expr->set.elements, flag, uses);
    case ExprKind::dict:
        for (uint64_t i = 0; i < expr->dict.keys.count; i++) {
            if (Status err = noteExprLocals(expr->dict.keys.items[i], flag, uses);
                err != Status::ok)
                return err;
            if (Status err = noteExprLocals(expr->dict.values.items[i], flag, uses);
                err != Status::ok)
                return err;
        }
        return Status::ok;
    case ExprKind::setComp:
    case ExprKind::listComp:
    case ExprKind::generatorExp:
        if (Status err = walkGenerators(expr->listComp.generators, flag, uses); err != Status::ok)
            return err;
        return noteExprLocals(expr->listComp.element, flag, uses);
    case ExprKind::dictComp:
        if (Status err = walkGenerators(expr->dictComp.generators, flag, uses); err != Status::ok)
            return err;
        if (Status err = noteExprLocals(expr->dictComp.key, flag, uses); err != Status::ok)
            return err;
        return noteExprLocals(expr->dictComp.value, flag, uses);
    case ExprKind::fstring: return walkParts(expr->fstring, flag, uses);
    }
    return Status::ok;
}

Status noteTargetLocals(const Target& target, backend::List<LocalUse>* uses) {
    switch (target.kind) {
    case TargetKind::local:
    case TargetKind::global: return Status::ok;
    case TargetKind::tuple:
        for (uint64_t i = 0; i < target.tuple.count; i++)
            if (Status err = noteTargetLocals(target.tuple.items[i], uses); err != Status::ok)
                return err;
        return Status::ok;
    case TargetKind::attribute: return noteExprLocals(target.attribute.object, 0, uses);
    case TargetKind::item:
        if (Status err = noteExprLocals(target.item.object, 0, uses); err != Status::ok)
            return err;
        return noteExprLocals(target.item.index, 0, uses);
    }
    return Status::ok;
}

Status noteStmtLocals(const Stmt* st, uint8_t flag, backend::List<LocalUse>* uses) {
    switch (st->kind) {
    case StmtKind::assign:
        if (Status err = noteExprLocals(st->assign.value, flag, uses); err != Status::ok)
            return err;
        for (uint64_t i = 0; i < st->assign.targets.count; i++)
            if (Status err = noteTargetLocals(st->assign.targets.items[i], uses);
                err != Status::ok)
                return err;
        return Status::ok;
    case StmtKind::augAssign:
        if (Status err = noteTargetLocals(st->augAssign.target, uses); err != Status::ok)
            return err;
        if (st->augAssign.target.kind == TargetKind::local)
            if (Status err = use(uses, nullptr, st->augAssign.target.local, 0, 0);
                err != Status::ok)
                return err;
        return noteExprLocals(st->augAssign.value, 0, uses);
    case StmtKind::expr: return noteExprLocals(st->expr, flag, uses);
    case StmtKind::if_:
    case StmtKind::while_:
        if (Status err = noteExprLocals(st->if_.test, 0, uses); err != Status::ok) return err;
        if (Status err = walkStatements(st->if_.body, 0, uses); err != Status::ok) return err;
        return walkStatements(st->if_.orelse, 0, uses);
    case StmtKind::for_:
        if (Status err = noteTargetLocals(st->for_.target, uses); err != Status::ok) return err;
        if (Status err = noteExprLocals(st->for_.iterable, 0, uses); err != Status::ok)
            return err;
        if (Status err = walkStatements(st->for_.body, 0, uses); err != Status::ok) return err;
        return walkStatements(st->for_.orelse, 0, uses);
    case StmtKind::return_: return noteExprLocals(st->return_, flag, uses);
    case StmtKind::raise: return noteExprLocals(st->raise, flag, uses);
    case StmtKind::assert_:
        if (Status err = noteExprLocals(st->assert_.test, 0, uses); err != Status::ok) return err;
        return noteExprLocals(st->assert_.message, 0, uses);
    case StmtKind::try_:
        if (Status err = walkStatements(st->try_.body, 0, uses); err != Status::ok) return err;
        if (Status err = walkStatements(st->try_.orelse, 0, uses); err != Status::ok) return err;
        if (Status err = walkStatements(st->try_.finally, 0, uses); err != Status::ok) return err;
        for (uint64_t i = 0; i < st->try_.handlers.count; i++) {
            const front::Handler& h = st->try_.handlers.items[i];
            if (Status err = noteExprLocals(h.type, 0, uses); err != Status::ok) return err;
            if (Status err = walkStatements(h.body, 0, uses); err != Status::ok) return err;
        }
        return Status::ok;
    case StmtKind::break_:
    case StmtKind::continue_:
    case StmtKind::pass: return Status::ok;
    case StmtKind::delLocal: return use(uses, nullptr, st->delLocal, 0, 0);
    case StmtKind::delItem:
        if (Status err = noteExprLocals(st->delItem.object, 0, uses); err != Status::ok)
            return err;
        return noteExprLocals(st->delItem.index, 0, uses);
    case StmtKind::raiseFrom:
        if (Status err = noteExprLocals(st->raiseFrom.exception, flag, uses); err != Status::ok)
            return err;
        return noteExprLocals(st->raiseFrom.cause, flag, uses);
    case StmtKind::block: return walkStatements(st->block, flag, uses);
    }
    return Status::ok;
}

Status targetVariables(const Target& target, backend::U32Set* set) {
    switch (target.kind) {
    case TargetKind::local: return add(set, target.local);
    case TargetKind::global: return Status::ok;
    case TargetKind::tuple:
        for (uint64_t i = 0; i < target.tuple.count; i++)
            if (Status err = targetVariables(target.tuple.items[i], set); err != Status::ok)
                return err;
        return Status::ok;
    case TargetKind::attribute:
        if (target.attribute.object->kind == ExprKind::local)
            return add(set, target.attribute.object->local);
        return Status::ok;
    case TargetKind::item:
        if (target.item.object->kind == ExprKind::local) return add(set, target.item.object->local);
        return Status::ok;
    }
    return Status::ok;
}

Status targetReads(const Target& target, backend::U32Set* set) {
    switch (target.kind) {
    case TargetKind::local:
    case TargetKind::global: return Status::ok;
    case TargetKind::tuple:
        for (uint64_t i = 0; i < target.tuple.count; i++)
            if (Status err = targetReads(target.tuple.items[i], set); err != Status::ok)
                return err;
        return Status::ok;
    case TargetKind::attribute: return readsOf(target.attribute.object, set);
    case TargetKind::item:
        if (Status err = readsOf(target.item.object, set); err != Status::ok) return err;
        return readsOf(target.item.index, set);
    }
    return Status::ok;
}

Status changedVariables(const Stmt* statements, uint64_t count, backend::U32Set* set) {
    for (uint64_t i = 0; i < count; i++) {
        const Stmt* st = &statements[i];
        Status err = Status::ok;
        switch (st->kind) {
        case StmtKind::assign:
            for (uint64_t k = 0; err == Status::ok && k < st->assign.targets.count; k++)
                err = targetVariables(st->assign.targets.items[k], set);
            if (err == Status::ok) err = namedTargets(st->assign.value, set);
            break;
        case StmtKind::augAssign:
            err = targetVariables(st->augAssign.target, set);
            if (err == Status::ok) err = namedTargets(st->augAssign.value, set);
            break;
        case StmtKind::expr: {
            uint32_t local;
            if (changedReceiver(st->expr, &local)) err = add(set, local);
            if (err == Status::ok) err = namedTargets(st->expr, set);
            break;
        }
        case StmtKind::if_:
        case StmtKind::while_:
            err = namedTargets(st->if_.test, set);
            if (err == Status::ok) err = changedVariables(st->if_.body.items, st->if_.body.count, set);
            if (err == Status::ok)
                err = changedVariables(st->if_.orelse.items, st->if_.orelse.count, set);
            break;
        case StmtKind::for_:
            err = targetVariables(st->for_.target, set);
            if (err == Status::ok) err = namedTargets(st->for_.iterable, set);
            if (err == Status::ok)
                err = changedVariables(st->for_.body.items, st->for_.body.count, set);
            if (err == Status::ok)
                err = changedVariables(st->for_.orelse.items, st->for_.orelse.count, set);
            break;
        case StmtKind::return_: err = namedTargets(st->return_, set); break;
        case StmtKind::raise: err = namedTargets(st->raise, set); break;
        case StmtKind::try_:
            err = changedVariables(st->try_.body.items, st->try_.body.count, set);
            if (err == Status::ok)
                err = changedVariables(st->try_.orelse.items, st->try_.orelse.count, set);
            if (err == Status::ok)
                err = changedVariables(st->try_.finally.items, st->try_.finally.count, set);
            for (uint64_t k = 0; err == Status::ok && k < st->try_.handlers.count; k++) {
                const front::Handler& h = st->try_.handlers.items[k];
                if (h.binds) err = add(set, h.local);
                if (err == Status::ok) err = changedVariables(h.body.items, h.body.count, set);
            }
            break;
        case StmtKind::delLocal: err = add(set, st->delLocal); break;
        case StmtKind::block: err = changedVariables(st->block.items, st->block.count, set); break;
        case StmtKind::assert_:
        case StmtKind::break_:
        case StmtKind::continue_:
        case StmtKind::pass:
        case StmtKind::delItem:
        case StmtKind::raiseFrom: break;
        }
        if (err != Status::ok) return err;
    }
    return Status::ok;
}

Status collectUsedLocals(const Stmt* statements, uint64_t count, front::StmtList skipped,
                         backend::U32Set* set, uint32_t watched) {
    uint32_t saved = watchedLocal;
    watchedLocal = watched;
    Status err = collectReads(statements, count, skipped, set);
    watchedLocal = saved;
    return err;
}

namespace {

Status collectReads(const Stmt* statements, uint64_t count, front::StmtList skipped,
                    backend::U32Set* set) {
    if (count == 0 || sameList(front::StmtList{const_cast<Stmt*>(statements), count}, skipped))
        return Status::ok;
    auto list = [&](const front::StmtList& l) { return collectReads(l.items, l.count, skipped, set); };
    for (uint64_t i = 0; i < count; i++) {
        const Stmt* st = &statements[i];
        Status err = Status::ok;
        switch (st->kind) {
        case StmtKind::assign:
            for (uint64_t k = 0; err == Status::ok && k < st->assign.targets.count; k++)
                err = targetReads(st->assign.targets.items[k], set);
            if (err == Status::ok) err = readsOf(st->assign.value, set);
            break;
        case StmtKind::augAssign:
            err = targetReads(st->augAssign.target, set);
            if (err == Status::ok && st->augAssign.target.kind == TargetKind::local)
                err = add(set, st->augAssign.target.local);
            if (err == Status::ok) err = readsOf(st->augAssign.value, set);
            break;
        case StmtKind::expr: err = readsOf(st->expr, set); break;
        case StmtKind::if_:
        case StmtKind::while_:
            err = readsOf(st->if_.test, set);
            if (err == Status::ok) err = list(st->if_.body);
            if (err == Status::ok) err = list(st->if_.orelse);
            break;
        case StmtKind::for_:
            err = targetReads(st->for_.target, set);
            if (err == Status::ok) err = readsOf(st->for_.iterable, set);
            if (err == Status::ok) err = list(st->for_.body);
            if (err == Status::ok) err = list(st->for_.orelse);
            break;
        case StmtKind::return_: err = readsOf(st->return_, set); break;
        case StmtKind::raise: err = readsOf(st->raise, set); break;
        case StmtKind::assert_:
            err = readsOf(st->assert_.test, set);
            if (err == Status::ok) err = readsOf(st->assert_.message, set);
            break;
        case StmtKind::try_:
            err = list(st->try_.body);
            if (err == Status::ok) err = list(st->try_.orelse);
            if (err == Status::ok) err = list(st->try_.finally);
            for (uint64_t k = 0; err == Status::ok && k < st->try_.handlers.count; k++) {
                const front::Handler& h = st->try_.handlers.items[k];
                err = readsOf(h.type, set);
                if (err == Status::ok) err = list(h.body);
            }
            break;
        case StmtKind::delLocal: err = add(set, st->delLocal); break;
        case StmtKind::delItem:
            err = readsOf(st->delItem.object, set);
            if (err == Status::ok) err = readsOf(st->delItem.index, set);
            break;
        case StmtKind::raiseFrom:
            err = readsOf(st->raiseFrom.exception, set);
            if (err == Status::ok) err = readsOf(st->raiseFrom.cause, set);
            break;
        case StmtKind::block: err = list(st->block); break;
        case StmtKind::break_:
        case StmtKind::continue_:
        case StmtKind::pass: break;
        }
        if (err != Status::ok) return err;
    }
    return Status::ok;
}

}  // namespace

bool countStraightStatements(const Stmt* statements, uint64_t count, uint64_t* counter) {
    for (uint64_t i = 0; i < count; i++) {
        const Stmt* st = &statements[i];
        switch (st->kind) {
        case StmtKind::while_:
        case StmtKind::for_:
        case StmtKind::try_: return false;
        case StmtKind::if_:
            (*counter)++;
            if (!countStraightStatements(st->if_.body.items, st->if_.body.count, counter))
                return false;
            if (!countStraightStatements(st->if_.orelse.items, st->if_.orelse.count, counter))
                return false;
            break;
        case StmtKind::block:
            if (!countStraightStatements(st->block.items, st->block.count, counter)) return false;
            break;
        default: (*counter)++; break;
        }
    }
    return true;
}

}  // namespace wuna::compile
