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

// Only the first iterable is evaluated once; all else runs once per item of an outer clause.
Status walkGenerators(const front::GeneratorList& generators, uint8_t flag,
                      backend::List<LocalUse>* uses) {
    for (uint64_t i = 0; i < generators.count; i++) {
        const front::Generator& g = generators.items[i];
        auto repeated = uint8_t(flag | kRepeatedUse);
        if (Status err = noteExprLocals(g.iterable, i == 0 ? flag : repeated, uses);
            err != Status::ok)
            return err;
        if (Status err = targetAssigns(g.target, repeated, uses); err != Status::ok) return err;
        if (Status err = walkList(g.conditions, repeated, uses); err != Status::ok) return err;
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
        return noteExprLocals(expr->listComp.element, uint8_t(flag | kRepeatedUse), uses);
    case ExprKind::dictComp:
        if (Status err = walkGenerators(expr->dictComp.generators, flag, uses); err != Status::ok)
            return err;
        if (Status err = noteExprLocals(expr->dictComp.key, uint8_t(flag | kRepeatedUse), uses);
            err != Status::ok)
            return err;
        return noteExprLocals(expr->dictComp.value, uint8_t(flag | kRepeatedUse), uses);
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

namespace {

// One of the two analyses over statement lists: what a target and an expression contribute,
// and whether it collects reads (else assignments and changes). The statement walk is shared.
struct Analysis {
    Status (*target)(const Target& target, backend::U32Set* set);
    Status (*expr)(const Expr* expr, backend::U32Set* set);
    bool reads;
    front::StmtList skipped;
};

Status analyse(const Analysis& a, const Stmt* statements, uint64_t count, backend::U32Set* set);

Status analyseList(const Analysis& a, const front::StmtList& list, backend::U32Set* set) {
    return analyse(a, list.items, list.count, set);
}

Status analyseStatement(const Analysis& a, const Stmt* st, backend::U32Set* set) {
    switch (st->kind) {
    case StmtKind::assign:
        for (uint64_t k = 0; k < st->assign.targets.count; k++)
            if (Status err = a.target(st->assign.targets.items[k], set); err != Status::ok)
                return err;
        return a.expr(st->assign.value, set);
    case StmtKind::augAssign:
        if (Status err = a.target(st->augAssign.target, set); err != Status::ok) return err;
        // x += v reads x as well as assigning it.
        if (a.reads && st->augAssign.target.kind == TargetKind::local)
            if (Status err = add(set, st->augAssign.target.local); err != Status::ok) return err;
        return a.expr(st->augAssign.value, set);
    case StmtKind::expr: {
        uint32_t local;
        if (!a.reads && changedReceiver(st->expr, &local))
            if (Status err = add(set, local); err != Status::ok) return err;
        return a.expr(st->expr, set);
    }
    case StmtKind::if_:
    case StmtKind::while_:
        if (Status err = a.expr(st->if_.test, set); err != Status::ok) return err;
        if (Status err = analyseList(a, st->if_.body, set); err != Status::ok) return err;
        return analyseList(a, st->if_.orelse, set);
    case StmtKind::for_:
        if (Status err = a.target(st->for_.target, set); err != Status::ok) return err;
        if (Status err = a.expr(st->for_.iterable, set); err != Status::ok) return err;
        if (Status err = analyseList(a, st->for_.body, set); err != Status::ok) return err;
        return analyseList(a, st->for_.orelse, set);
    case StmtKind::return_: return a.expr(st->return_, set);
    case StmtKind::raise: return a.expr(st->raise, set);
    case StmtKind::try_:
        if (Status err = analyseList(a, st->try_.body, set); err != Status::ok) return err;
        if (Status err = analyseList(a, st->try_.orelse, set); err != Status::ok) return err;
        if (Status err = analyseList(a, st->try_.finally, set); err != Status::ok) return err;
        for (uint64_t k = 0; k < st->try_.handlers.count; k++) {
            const front::Handler& h = st->try_.handlers.items[k];
            Status err = a.reads ? a.expr(h.type, set)
                                 : (h.binds ? add(set, h.local) : Status::ok);
            if (err != Status::ok) return err;
            if (Status err2 = analyseList(a, h.body, set); err2 != Status::ok) return err2;
        }
        return Status::ok;
    case StmtKind::delLocal: return add(set, st->delLocal);
    case StmtKind::block: return analyseList(a, st->block, set);
    case StmtKind::assert_:
        if (!a.reads) return Status::ok;
        if (Status err = a.expr(st->assert_.test, set); err != Status::ok) return err;
        return a.expr(st->assert_.message, set);
    case StmtKind::delItem:
        if (!a.reads) return Status::ok;
        if (Status err = a.expr(st->delItem.object, set); err != Status::ok) return err;
        return a.expr(st->delItem.index, set);
    case StmtKind::raiseFrom:
        if (!a.reads) return Status::ok;
        if (Status err = a.expr(st->raiseFrom.exception, set); err != Status::ok) return err;
        return a.expr(st->raiseFrom.cause, set);
    case StmtKind::break_:
    case StmtKind::continue_:
    case StmtKind::pass: return Status::ok;
    }
    return Status::ok;
}

Status analyse(const Analysis& a, const Stmt* statements, uint64_t count, backend::U32Set* set) {
    if (count == 0) return Status::ok;
    if (a.reads && sameList(front::StmtList{const_cast<Stmt*>(statements), count}, a.skipped))
        return Status::ok;
    for (uint64_t i = 0; i < count; i++)
        if (Status err = analyseStatement(a, &statements[i], set); err != Status::ok) return err;
    return Status::ok;
}

}  // namespace

Status changedVariables(const Stmt* statements, uint64_t count, backend::U32Set* set) {
    Analysis a{targetVariables, namedTargets, false, front::StmtList{nullptr, 0}};
    return analyse(a, statements, count, set);
}

Status collectUsedLocals(const Stmt* statements, uint64_t count, front::StmtList skipped,
                         backend::U32Set* set, uint32_t watched) {
    uint32_t saved = watchedLocal;
    watchedLocal = watched;
    Analysis a{targetReads, readsOf, true, skipped};
    Status err = analyse(a, statements, count, set);
    watchedLocal = saved;
    return err;
}

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
