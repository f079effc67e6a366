// The local-variable walks of the loop and try lowering, value slots, the loop stack and the
// process-wide sets of unroll keys (see control_support.h).
#include <cstring>
#include <initializer_list>

#include "compiler/codegen/control_support.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Methods that change the list or dict they are called on, so the local holding it changes.
constexpr const char* kChangingMethods[] = {"append", "extend",  "insert", "pop",
                                            "remove", "clear",   "update", "setdefault",
                                            "sort",   "reverse", "popitem"};

bool isChangingMethod(front::Text name) {
    for (const char* m : kChangingMethods)
        if (front::textIs(name, m)) return true;
    return false;
}

Status add(LocalSet* set, uint32_t local) {
    return set->put(local, 1) ? Status::ok : Status::outOfMemory;
}

// What a walk collects: every read and := (reads), or only the locals an expression changes:
// := targets and the receivers of changing methods (changes).
enum class Walk : uint8_t { reads = 0, changes = 1 };

struct Walker {
    Walk walk;
    const WatchedLocal* watched;
    LocalSet* set;
};

Status walkExpr(const Walker& w, const front::Expr* x);

Status walkList(const Walker& w, front::ExprList list) {
    for (uint64_t i = 0; i < list.count; i++)
        if (Status err = walkExpr(w, list.items[i]); err != Status::ok) return err;
    return Status::ok;
}

Status walkGenerators(const Walker& w, front::GeneratorList generators) {
    for (uint64_t i = 0; i < generators.count; i++) {
        const front::Generator& g = generators.items[i];
        if (w.walk == Walk::changes) {
            if (Status err = targetLocals(g.target, w.set); err != Status::ok) return err;
        }
        if (Status err = walkExpr(w, g.iterable); err != Status::ok) return err;
        if (Status err = walkList(w, g.conditions); err != Status::ok) return err;
    }
    return Status::ok;
}

Status walkFString(const Walker& w, front::FStringPartList parts) {
    for (uint64_t i = 0; i < parts.count; i++) {
        const front::FStringPart& part = parts.items[i];
        if (part.tag != front::FStringTag::value) continue;
        if (Status err = walkExpr(w, part.value.value); err != Status::ok) return err;
        if (Status err = walkFString(w, part.value.spec); err != Status::ok) return err;
    }
    return Status::ok;
}

bool isWatchedArgs(const Walker& w, const front::Expr* x) {
    return w.watched && w.watched->active && x->attribute.object->kind == front::ExprKind::local &&
           x->attribute.object->local == w.watched->local &&
           front::textIs(x->attribute.name, "args");
}

Status walkCall(const Walker& w, const front::Expr* x) {
    const front::Expr* callee = x->call.callee;
    if (w.walk == Walk::changes && callee->kind == front::ExprKind::attribute &&
        callee->attribute.object->kind == front::ExprKind::local &&
        isChangingMethod(callee->attribute.name)) {
        if (Status err = add(w.set, callee->attribute.object->local); err != Status::ok) return err;
    }
    if (Status err = walkExpr(w, callee); err != Status::ok) return err;
    if (Status err = walkList(w, x->call.arguments); err != Status::ok) return err;
    for (uint64_t i = 0; i < x->call.keywords.count; i++)
        if (Status err = walkExpr(w, x->call.keywords.items[i].value); err != Status::ok)
            return err;
    return Status::ok;
}

Status walkExpr(const Walker& w, const front::Expr* x) {
    if (!x) return Status::ok;
    using K = front::ExprKind;
    switch (x->kind) {
    case K::local: return w.walk == Walk::reads ? add(w.set, x->local) : Status::ok;
    case K::attribute:
        if (isWatchedArgs(w, x)) return Status::ok;
        return walkExpr(w, x->attribute.object);
    case K::subscript:
        if (Status err = walkExpr(w, x->subscript.object); err != Status::ok) return err;
        return walkExpr(w, x->subscript.index);
    case K::slice:
        for (const front::Expr* part :
             {x->slice.object, x->slice.lower, x->slice.upper, x->slice.step})
            if (Status err = walkExpr(w, part); err != Status::ok) return err;
        return Status::ok;
    case K::call: return walkCall(w, x);
    case K::nestedCall: return walkList(w, x->nestedCall.arguments);
    case K::namedExpr:
        if (Status err = add(w.set, x->namedExpr.local); err != Status::ok) return err;
        return walkExpr(w, x->namedExpr.value);
    case K::starred: return walkExpr(w, x->starred);
    case K::binary:
        if (Status err = walkExpr(w, x->binary.left); err != Status::ok) return err;
        return walkExpr(w, x->binary.right);
    case K::unary: return walkExpr(w, x->unary.operand);
    case K::and_: return walkList(w, x->and_);
    case K::or_: return walkList(w, x->or_);
    case K::compare:
        if (Status err = walkExpr(w, x->compare.left); err != Status::ok) return err;
        return walkList(w, x->compare.comparators);
    case K::ifExp:
        for (const front::Expr* part : {x->ifExp.test, x->ifExp.body, x->ifExp.orelse})
            if (Status err = walkExpr(w, part); err != Status::ok) return err;
        return Status::ok;
    case K::list: return walkList(w, x->list);
    case K::tuple: return walkList(w, x->tuple);
    case K::set: return walkList(w, x->set.elements);
    case K::dict:
        if (Status err = walkList(w, x->dict.keys); err != Status::ok) return err;
        return walkList(w, x->dict.values);
    case K::setComp:
    case K::listComp:
    case K::generatorExp:
        if (Status err = walkExpr(w, x->listComp.element); err != Status::ok) return err;
        return walkGenerators(w, x->listComp.generators);
    case K::dictComp:
        if (Status err = walkExpr(w, x->dictComp.key); err != Status::ok) return err;
        if (Status err = walkExpr(w, x->dictComp.value); err != Status::ok) return err;
        return walkGenerators(w, x->dictComp.generators);
    case K::fstring: return walkFString(w, x->fstring);
    default: return Status::ok;  // constants, globals, closures, imports, out-of-line calls
    }
}

// The locals a target's object and index expressions read.
Status targetReads(const Walker& w, const front::Target& target) {
    switch (target.kind) {
    case front::TargetKind::tuple:
        for (uint64_t i = 0; i < target.tuple.count; i++)
            if (Status err = targetReads(w, target.tuple.items[i]); err != Status::ok) return err;
        return Status::ok;
    case front::TargetKind::attribute: return walkExpr(w, target.attribute.object);
    case front::TargetKind::item:
        if (Status err = walkExpr(w, target.item.object); err != Status::ok) return err;
        return walkExpr(w, target.item.index);
    default: return Status::ok;
    }
}

Status changedIn(const Walker& w, front::StmtList statements);

Status changedOne(const Walker& w, const front::Stmt& st) {
    using K = front::StmtKind;
    switch (st.kind) {
    case K::assign:
        for (uint64_t i = 0; i < st.assign.targets.count; i++)
            if (Status err = targetLocals(st.assign.targets.items[i], w.set); err != Status::ok)
                return err;
        return walkExpr(w, st.assign.value);
    case K::augAssign:
        if (Status err = targetLocals(st.augAssign.target, w.set); err != Status::ok) return err;
        return walkExpr(w, st.augAssign.value);
    case K::expr: return walkExpr(w, st.expr);
    case K::if_:
    case K::while_:
        if (Status err = walkExpr(w, st.if_.test); err != Status::ok) return err;
        if (Status err = changedIn(w, st.if_.body); err != Status::ok) return err;
        return changedIn(w, st.if_.orelse);
    case K::for_:
        if (Status err = targetLocals(st.for_.target, w.set); err != Status::ok) return err;
        if (Status err = walkExpr(w, st.for_.iterable); err != Status::ok) return err;
        if (Status err = changedIn(w, st.for_.body); err != Status::ok) return err;
        return changedIn(w, st.for_.orelse);
    case K::return_: return walkExpr(w, st.return_);
    case K::raise: return walkExpr(w, st.raise);
    case K::try_: {
        for (front::StmtList part : {st.try_.body, st.try_.orelse, st.try_.finally})
            if (Status err = changedIn(w, part); err != Status::ok) return err;
        for (uint64_t i = 0; i < st.try_.handlers.count; i++) {
            const front::Handler& h = st.try_.handlers.items[i];
            if (h.binds)
                if (Status err = add(w.set, h.local); err != Status::ok) return err;
            if (Status err = changedIn(w, h.body); err != Status::ok) return err;
        }
        return Status::ok;
    }
    case K::delLocal: return add(w.set, st.delLocal);
    case K::delItem:
        // The object changes in place: the local holding it is a changed variable too.
        if (st.delItem.object->kind == front::ExprKind::local)
            return add(w.set, st.delItem.object->local);
        return Status::ok;
    case K::block: return changedIn(w, st.block);
    default: return Status::ok;
    }
}

Status changedIn(const Walker& w, front::StmtList statements) {
    for (uint64_t i = 0; i < statements.count; i++)
        if (Status err = changedOne(w, statements.items[i]); err != Status::ok) return err;
    return Status::ok;
}

Status usedIn(const Walker& w, front::StmtList statements, const front::Stmt* skip);

Status usedOne(const Walker& w, const front::Stmt& st, const front::Stmt* skip) {
    using K = front::StmtKind;
    switch (st.kind) {
    case K::assign:
        for (uint64_t i = 0; i < st.assign.targets.count; i++)
            if (Status err = targetReads(w, st.assign.targets.items[i]); err != Status::ok)
                return err;
        return walkExpr(w, st.assign.value);
    case K::augAssign:
        if (st.augAssign.target.kind == front::TargetKind::local)
            if (Status err = add(w.set, st.augAssign.target.local); err != Status::ok) return err;
        if (Status err = targetReads(w, st.augAssign.target); err != Status::ok) return err;
        return walkExpr(w, st.augAssign.value);
    case K::expr: return walkExpr(w, st.expr);
    case K::if_:
    case K::while_:
        if (Status err = walkExpr(w, st.if_.test); err != Status::ok) return err;
        if (Status err = usedIn(w, st.if_.body, skip); err != Status::ok) return err;
        return usedIn(w, st.if_.orelse, skip);
    case K::for_:
        if (Status err = targetReads(w, st.for_.target); err != Status::ok) return err;
        if (Status err = walkExpr(w, st.for_.iterable); err != Status::ok) return err;
        if (Status err = usedIn(w, st.for_.body, skip); err != Status::ok) return err;
        return usedIn(w, st.for_.orelse, skip);
    case K::return_: return walkExpr(w, st.return_);
    case K::raise: return walkExpr(w, st.raise);
    case K::assert_:
        if (Status err = walkExpr(w, st.assert_.test); err != Status::ok) return err;
        return walkExpr(w, st.assert_.message);
    case K::try_: {
        for (front::StmtList part : {st.try_.body, st.try_.orelse, st.try_.finally})
            if (Status err = usedIn(w, part, skip); err != Status::ok) return err;
        for (uint64_t i = 0; i < st.try_.handlers.count; i++) {
            const front::Handler& h = st.try_.handlers.items[i];
            if (Status err = walkExpr(w, h.type); err != Status::ok) return err;
            if (Status err = usedIn(w, h.body, skip); err != Status::ok) return err;
        }
        return Status::ok;
    }
    case K::delLocal: return add(w.set, st.delLocal);
    case K::delItem:
        if (Status err = walkExpr(w, st.delItem.object); err != Status::ok) return err;
        return walkExpr(w, st.delItem.index);
    case K::raiseFrom:
        if (Status err = walkExpr(w, st.raiseFrom.exception); err != Status::ok) return err;
        return walkExpr(w, st.raiseFrom.cause);
    case K::block: return usedIn(w, st.block, skip);
    default: return Status::ok;
    }
}

Status usedIn(const Walker& w, front::StmtList statements, const front::Stmt* skip) {
    if (skip && statements.count && statements.items == skip) return Status::ok;
    for (uint64_t i = 0; i < statements.count; i++)
        if (Status err = usedOne(w, statements.items[i], skip); err != Status::ok) return err;
    return Status::ok;
}

// A process-wide set of unroll keys: the IR of a semantic lives as long as the process, so
// its address names the same loop in every later compilation.
struct KeySet {
    backend::U64Map<uint8_t> keys;
};
KeySet notUnrolled;
KeySet atRunTime;

uint64_t keyWord(const void* key) { return uint64_t(reinterpret_cast<uintptr_t>(key)); }

}  // namespace

Status targetLocals(const front::Target& target, LocalSet* set) {
    switch (target.kind) {
    case front::TargetKind::local: return add(set, target.local);
    case front::TargetKind::tuple:
        for (uint64_t i = 0; i < target.tuple.count; i++)
            if (Status err = targetLocals(target.tuple.items[i], set); err != Status::ok)
                return err;
        return Status::ok;
    case front::TargetKind::attribute:
        if (target.attribute.object->kind == front::ExprKind::local)
            return add(set, target.attribute.object->local);
        return Status::ok;
    case front::TargetKind::item:
        if (target.item.object->kind == front::ExprKind::local)
            return add(set, target.item.object->local);
        return Status::ok;
    default: return Status::ok;
    }
}

Status changedLocals(front::StmtList statements, LocalSet* set) {
    return changedIn(Walker{Walk::changes, nullptr, set}, statements);
}

Status exprLocals(const front::Expr* expr, const WatchedLocal* watched, LocalSet* set) {
    return walkExpr(Walker{Walk::reads, watched, set}, expr);
}

Status usedLocals(front::StmtList statements, const front::Stmt* skip, const WatchedLocal* watched,
                  LocalSet* set) {
    return usedIn(Walker{Walk::reads, watched, set}, statements, skip);
}

Status exceptVarUsed(front::StmtList body, uint32_t local, bool* used) {
    LocalSet set;
    WatchedLocal watched{local, 1};
    Status err = usedLocals(body, nullptr, &watched, &set);
    *used = err == Status::ok && set.find(local) != nullptr;
    set.free();
    return err;
}

Status materializeSet(Emitter* e, Semantic* s, const LocalSet& set) {
    Status err = Status::ok;
    set.forEach([&](uint32_t local, uint8_t) {
        if (err == Status::ok && local < s->localCount) err = materializeLocal(e, s, local);
    });
    return err;
}

llvmapi::ValueRef zeroedSlot(Emitter* e) {
    ModuleRecord* m = &e->compiler->module;
    llvmapi::ValueRef slot = valueSlot(e);
    llvmapi::ValueRef zero = T.LLVMConstNull(m->valuePair);
    T.LLVMSetAlignment(T.LLVMBuildStore(e->builder.entryBuilder, zero, slot), 8);
    return slot;
}

Status listedSlot(Emitter* e, Semantic* s, llvmapi::ValueRef* out) {
    llvmapi::ValueRef slot = zeroedSlot(e);
    if (!s->extraSlots.push(slot)) return Status::outOfMemory;
    *out = slot;
    return Status::ok;
}

llvmapi::ValueRef wordSlot(Emitter* e) {
    llvmapi::ValueRef slot =
        T.LLVMBuildAlloca(e->builder.entryBuilder, e->compiler->module.i64, "");
    T.LLVMSetAlignment(slot, 8);
    return slot;
}

Status exprTruth(Emitter* e, Semantic* s, const front::Expr* expr, Truth* out) {
    Shape value;
    if (Status err = emitExpr(e, s, expr, &value); err != Status::ok) return err;
    // The value is consumed by its truth test, as every shape given to the lowering is.
    return emitTruthy(e, value, s->site, out);
}

Status clearTargetMarks(Semantic* s, const front::Target& target, TargetMarks* marks) {
    LocalSet set;
    Status err = targetLocals(target, &set);
    set.forEach([&](uint32_t local, uint8_t) {
        if (err != Status::ok || local >= s->localCount) return;
        LocalRecord& record = s->locals[local];
        if (record.state != LocalState::slot && record.state != LocalState::typedSlot) return;
        if (!(record.noRelease & kSlotMaybeUnset)) return;
        if (!marks->locals.push(local)) {
            err = Status::outOfMemory;
            return;
        }
        record.noRelease &= uint8_t(~kSlotMaybeUnset);
    });
    set.free();
    return err;
}

void restoreTargetMarks(Semantic* s, TargetMarks* marks) {
    for (size_t i = 0; i < marks->locals.count; i++) {
        LocalRecord& record = s->locals[marks->locals[i]];
        if (record.state == LocalState::slot || record.state == LocalState::typedSlot)
            record.noRelease |= kSlotMaybeUnset;
    }
    marks->locals.free();
}

Status pushLoop(Emitter* e, Semantic* s, const LoopEntry& entry) {
    auto* record = takeArray<LoopEntry>(e->compiler, 1);
    if (!record) return Status::outOfMemory;
    *record = entry;
    return s->loops.push(record) ? Status::ok : Status::outOfMemory;
}

void popLoop(Semantic* s) { s->loops.cut(s->loops.count - 1); }

Status unrolledIteration(Emitter* e, Semantic* s, front::StmtList body, llvmapi::BasicBlockRef end,
                         const void* key, bool* stop) {
    llvmapi::BasicBlockRef next;
    if (Status err = newBlock(&e->builder, "next", &next); err != Status::ok) return err;
    LoopEntry entry{end, next, e->tries.count, key, s->controlDepth, s->tryDepth};
    if (Status err = pushLoop(e, s, entry); err != Status::ok) return err;
    Status err = lowerStatements(e, s, body);
    popLoop(s);
    // A break or continue of the iteration left its mark on the semantic; it is read once.
    bool continued = s->unrolledContinue, jumped = s->jumped;
    s->unrolledContinue = s->jumped = 0;
    if (err != Status::ok) return err;
    enter(&e->builder, next);
    *stop = s->ended || (jumped && !continued);
    return Status::ok;
}

bool blockTerminated(Emitter* e) {
    llvmapi::BasicBlockRef current = e->builder.current;
    return current && T.LLVMGetBasicBlockTerminator(current) != nullptr;
}

int32_t currentSite(const Emitter* e) {
    if (e->semantics.count) return e->semantics[e->semantics.count - 1]->site;
    return e->scopeId == kNoFunctionScope ? 0 : int32_t(e->scopeId);
}

Status noteLoopNotUnrolled(const void* key) {
    return notUnrolled.keys.put(keyWord(key), 1) ? Status::ok : Status::outOfMemory;
}
Status noteLoopAtRunTime(const void* key) {
    return atRunTime.keys.put(keyWord(key), 1) ? Status::ok : Status::outOfMemory;
}
bool loopNotUnrolled(const void* key) { return notUnrolled.keys.find(keyWord(key)) != nullptr; }
bool loopAtRunTime(const void* key) { return atRunTime.keys.find(keyWord(key)) != nullptr; }

}  // namespace wuna::compile
