// Comprehensions: the for and if clauses walked clause by clause, each element put where the
// comprehension's sink says. Over iterables and filters known while compiling the loop is
// unrolled and the elements gather in a list made while compiling; at the first run-time
// iteration or filter the elements gathered so far become a run-time list and the rest of the
// loop runs at run time. any()/all() over a generator leave at the first deciding element.
//
// A generator expression is evaluated at once, into a list: right only where its consumer
// drains it at once (the call lowering's generator use). Anywhere else (a generator kept,
// passed to a function that may stop early, next()) it is refused, so the semantic runs as
// Python.
#include <cstring>
#include <initializer_list>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/control_support.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

constexpr const char kUndrainedGenerator[] =
    "a generator expression that its consumer doesn't drain at once (list, tuple, sum, sorted, "
    "any, all, min, max, set, \"\".join) runs as Python";

// Where the elements go.
enum class SinkMode : uint8_t { comptimeList = 0, runTimeList = 1, runTimeDict = 2, decide = 3 };

struct Sink {
    front::ListRecord* list;  // comptimeList
    llvmapi::ValueRef slot;   // the run-time list or dict, or decide's answer
    llvmapi::BasicBlockRef exit;
    const front::Expr* element;  // or the key
    const front::Expr* value;    // runTimeDict
    SinkMode mode;
    uint8_t deciding;  // decide: the truth that decides (1 for any, 0 for all)
};

struct Comprehension {
    front::GeneratorList clauses;
    front::Position at;
};

Status clause(Emitter* e, Semantic* s, const Comprehension& c, uint64_t k, Sink* sink);

// The elements gathered while compiling become a run-time list in a listed slot.
Status toRunTimeList(Emitter* e, Semantic* s, Sink* sink) {
    if (sink->mode != SinkMode::comptimeList) return Status::ok;
    Shape list{};
    list.kind = ShapeKind::list;
    list.list = sink->list;
    Operand o;
    if (Status err = materialize(e, list, s->site, &o); err != Status::ok) return err;
    if (Status err = newListedSlot(e, s, &sink->slot); err != Status::ok) return err;
    if (Status err = storeOperand(e, sink->slot, &o); err != Status::ok) return err;
    sink->mode = SinkMode::runTimeList;
    return Status::ok;
}

// Compiles an expression and makes it a run-time operand.
Status operandOf(Emitter* e, Semantic* s, const front::Expr* x, Operand* out) {
    Shape shape;
    if (Status err = emitExpr(e, s, x, &shape); err != Status::ok) return err;
    return materialize(e, shape, s->site, out);
}

Status decide(Emitter* e, Semantic* s, Sink* sink) {
    Builder* b = &e->builder;
    Truth t;
    Status err = exprTruth(e, s, sink->element, &t);
    if (err != Status::ok) return err;
    ModuleRecord* m = &e->compiler->module;
    llvmapi::ValueRef test;
    if (!t.isValue) {
        test = T.LLVMConstInt(m->i1, (t.known & 1) == sink->deciding ? 1 : 0, 0);
    } else if (sink->deciding) {
        test = t.value;
    } else {
        openBlock(b);
        test = T.LLVMBuildXor(b->builder, t.value, T.LLVMConstInt(m->i1, 1, 0), "");
    }
    llvmapi::BasicBlockRef decides, undecided;
    if ((err = newBlock(b, "decides", &decides)) != Status::ok) return err;
    if ((err = newBlock(b, "undecided", &undecided)) != Status::ok) return err;
    condBr(b, test, decides, undecided);
    enter(b, decides);
    Operand answer = constantOperand(e, value::TagBool, sink->deciding, KnownKind::bool_);
    if ((err = storeOperand(e, sink->slot, &answer)) != Status::ok) return err;
    br(b, sink->exit);
    enter(b, undecided);
    return Status::ok;
}

// One element into the sink.
Status element(Emitter* e, Semantic* s, Sink* sink) {
    switch (sink->mode) {
    case SinkMode::comptimeList: {
        Shape shape;
        if (Status err = emitExpr(e, s, sink->element, &shape); err != Status::ok) return err;
        return front::appendItem(e->compiler, sink->list, shape);
    }
    case SinkMode::runTimeList: {
        Operand item;
        if (Status err = operandOf(e, s, sink->element, &item); err != Status::ok) return err;
        Operand list = loadOperand(e, sink->slot, KnownKind::list);
        llvmapi::ValueRef args[6] = {e->runContext, siteValue(e, s->site), list.tag, list.payload,
                                     item.tag,      item.payload};
        llvmapi::ValueRef ok;
        if (Status err = callHelper(e, "wn_append", args, 6, &ok); err != Status::ok) return err;
        if (Status err = release(e, dynShape(item)); err != Status::ok) return err;
        return checkOk(e, ok);
    }
    case SinkMode::runTimeDict: {
        Operand key, value;
        if (Status err = operandOf(e, s, sink->element, &key); err != Status::ok) return err;
        if (!e->temporaries.push(dynShape(key))) return Status::outOfMemory;
        Status err = operandOf(e, s, sink->value, &value);
        e->temporaries.cut(e->temporaries.count - 1);
        if (err != Status::ok) return err;
        Operand dict = loadOperand(e, sink->slot, KnownKind::dict);
        llvmapi::ValueRef args[8] = {
            e->runContext, siteValue(e, s->site), dict.tag,  dict.payload,
            key.tag,       key.payload,           value.tag, value.payload};
        llvmapi::ValueRef ok;
        if ((err = callHelper(e, "wn_setitem", args, 8, &ok)) != Status::ok) return err;
        if ((err = release(e, dynShape(key))) != Status::ok) return err;
        if ((err = release(e, dynShape(value))) != Status::ok) return err;
        return checkOk(e, ok);
    }
    case SinkMode::decide: return decide(e, s, sink);
    }
    return Status::ok;
}

// The filters of clause k from filter f on, then the next clause.
Status filters(Emitter* e, Semantic* s, const Comprehension& c, uint64_t k, uint64_t f,
               Sink* sink) {
    const front::Generator& g = c.clauses.items[k];
    if (f == g.conditions.count) return clause(e, s, c, k + 1, sink);
    Truth t;
    Status err = exprTruth(e, s, g.conditions.items[f], &t);
    if (err != Status::ok) return err;
    if (!t.isValue) return (t.known & 1) ? filters(e, s, c, k, f + 1, sink) : Status::ok;
    if ((err = toRunTimeList(e, s, sink)) != Status::ok) return err;
    Builder* b = &e->builder;
    llvmapi::BasicBlockRef keep, skip;
    if ((err = newBlock(b, "comp_keep", &keep)) != Status::ok) return err;
    if ((err = newBlock(b, "comp_skip", &skip)) != Status::ok) return err;
    condBr(b, t.value, keep, skip);
    enter(b, keep);
    s->controlDepth++;
    err = filters(e, s, c, k, f + 1, sink);
    s->controlDepth--;
    if (err != Status::ok) return err;
    enter(b, skip);
    return Status::ok;
}

// The targets of clauses k to the last change at every turn of a run-time loop.
Status clauseTargetSlots(Emitter* e, Semantic* s, const Comprehension& c, uint64_t k) {
    LocalSet set;
    Status err = Status::ok;
    for (uint64_t i = k; err == Status::ok && i < c.clauses.count; i++)
        err = targetVariables(c.clauses.items[i].target, &set);
    if (err == Status::ok) err = materializeSet(e, s, set);
    set.free();
    return err;
}

Status runTimeClause(Emitter* e, Semantic* s, const Comprehension& c, uint64_t k, LoopSource source,
                     Sink* sink) {
    Builder* b = &e->builder;
    if (Status err = toRunTimeList(e, s, sink); err != Status::ok) return err;
    if (Status err = clauseTargetSlots(e, s, c, k); err != Status::ok) return err;
    loopInit(e, &source);
    llvmapi::BasicBlockRef head, body, done;
    if (Status err = newBlock(b, "comp", &head); err != Status::ok) return err;
    if (Status err = newBlock(b, "comp_body", &body); err != Status::ok) return err;
    if (Status err = newBlock(b, "comp_done", &done); err != Status::ok) return err;
    enter(b, head);
    e->controlDepth++;
    llvmapi::ValueRef more;
    Status err = loopTest(e, source, &more);
    if (err == Status::ok) {
        condBr(b, more, body, done);
        enter(b, body);
        s->controlDepth++;
        err = loopItem(e, s, source, c.clauses.items[k].target, c.at);
        TargetMarks marks;
        if (err == Status::ok) err = clearTargetMarks(s, c.clauses.items[k].target, &marks);
        if (err == Status::ok) err = filters(e, s, c, k, 0, sink);
        restoreTargetMarks(s, &marks);
        s->controlDepth--;
    }
    if (err == Status::ok) err = loopStep(e, source);
    if (err == Status::ok) {
        br(b, head);
        enter(b, done);
        err = loopRelease(e, source);
    }
    e->controlDepth--;
    return err;
}

Status clause(Emitter* e, Semantic* s, const Comprehension& c, uint64_t k, Sink* sink) {
    if (k == c.clauses.count) return element(e, s, sink);
    const front::Generator& g = c.clauses.items[k];
    ForItems it;
    if (Status err = emitForBuiltin(e, s, g.iterable, &it); err != Status::ok) return err;
    if (!it.runTime && it.count > kForUnrollItems)
        if (Status err = itemsAtRunTime(e, s, &it); err != Status::ok) return err;
    if (it.runTime) return runTimeClause(e, s, c, k, it.source, sink);
    for (uint64_t i = 0; i < it.count; i++) {
        Shape copy;
        if (Status err = ownCopy(e, it.items[i], &copy); err != Status::ok) return err;
        if (Status err = emitAssign(e, s, g.target, &copy, c.at); err != Status::ok) return err;
        // Inside a run-time loop of an outer clause the target has a slot: assigned here.
        TargetMarks marks;
        Status err = clearTargetMarks(s, g.target, &marks);
        if (err == Status::ok) err = filters(e, s, c, k, 0, sink);
        restoreTargetMarks(s, &marks);
        if (err != Status::ok) return err;
    }
    return releaseIterated(e, s, it.iterable);
}

// The result of a list sink: the list made while compiling, or the run-time list taken out of
// its slot (the slot left holding None, so the scope's release finds nothing there).
Status listResult(Emitter* e, const Sink& sink, Shape* out) {
    if (sink.mode == SinkMode::comptimeList) {
        *out = Shape{};
        out->kind = ShapeKind::list;
        out->list = sink.list;
        return Status::ok;
    }
    *out = dynShape(loadOperand(e, sink.slot, KnownKind::list));
    storeWord(e, constI64(e, value::TagNone), sink.slot);
    return Status::ok;
}

Status listComprehension(Emitter* e, Semantic* s, const front::Expr* element,
                         front::GeneratorList clauses, front::Position at, Shape* out) {
    Sink sink{};
    sink.list = front::newListRecord(e->compiler);
    if (!sink.list) return Status::outOfMemory;
    sink.element = element;
    sink.mode = SinkMode::comptimeList;
    if (Status err = clause(e, s, Comprehension{clauses, at}, 0, &sink); err != Status::ok)
        return err;
    return listResult(e, sink, out);
}

Status setComprehension(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    Shape list;
    if (Status err = listComprehension(e, s, expr->setComp.element, expr->setComp.generators,
                                       expr->position, &list);
        err != Status::ok)
        return err;
    Operand o;
    if (Status err = materialize(e, list, s->site, &o); err != Status::ok) return err;
    llvmapi::ValueRef args[5] = {e->runContext, siteValue(e, s->site), o.tag, o.payload,
                                 e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_to_set", args, 5, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

Status dictComprehension(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    front::DictRecord* empty = front::newDictRecord(e->compiler);
    if (!empty) return Status::outOfMemory;
    Operand dict;
    if (Status err = dictLiteral(e, empty, s->site, &dict); err != Status::ok) return err;
    empty->madeAtRunTime = 1;
    Sink sink{};
    if (Status err = newListedSlot(e, s, &sink.slot); err != Status::ok) return err;
    if (Status err = storeOperand(e, sink.slot, &dict); err != Status::ok) return err;
    sink.element = expr->dictComp.key;
    sink.value = expr->dictComp.value;
    sink.mode = SinkMode::runTimeDict;
    Comprehension c{expr->dictComp.generators, expr->position};
    if (Status err = clause(e, s, c, 0, &sink); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, sink.slot, KnownKind::dict));
    storeWord(e, constI64(e, value::TagNone), sink.slot);
    return Status::ok;
}

// any()/all(): the answer slot holds the bool that no element decided; the first deciding
// element stores the other and leaves.
Status decidingGenerator(Emitter* e, Semantic* s, const front::Expr* generator, bool any,
                         Shape* out) {
    Builder* b = &e->builder;
    Sink sink{};
    sink.slot = newValueSlot(e);
    sink.element = generator->generatorExp.element;
    sink.mode = SinkMode::decide;
    sink.deciding = any ? 1 : 0;
    Operand initial = constantOperand(e, value::TagBool, any ? 0 : 1, KnownKind::bool_);
    if (Status err = storeOperand(e, sink.slot, &initial); err != Status::ok) return err;
    if (Status err = newBlock(b, "decided", &sink.exit); err != Status::ok) return err;
    Comprehension c{generator->generatorExp.generators, generator->position};
    s->controlDepth++;
    Status err = clause(e, s, c, 0, &sink);
    s->controlDepth--;
    if (err != Status::ok) return err;
    br(b, sink.exit);
    enter(b, sink.exit);
    *out = dynShape(loadOperand(e, sink.slot, KnownKind::bool_));
    return Status::ok;
}

}  // namespace

Status emitDrainedGenerator(Emitter* e, Semantic* s, const front::Expr* generator, Drain drain,
                            Shape* out) {
    if (generator->kind != front::ExprKind::generatorExp)
        return emitComprehension(e, s, generator, out);
    if (drain == Drain::any || drain == Drain::all)
        return decidingGenerator(e, s, generator, drain == Drain::any, out);
    if (Status err =
            listComprehension(e, s, generator->generatorExp.element,
                              generator->generatorExp.generators, generator->position, out);
        err != Status::ok)
        return err;
    // As a list comprehension's list: placed at its expression, released once dead.
    if (Status err = placeDisplay(e, generator, s->site, out); err != Status::ok) return err;
    return trackContainer(s, *out);
}

Status emitComprehension(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    switch (expr->kind) {
    case front::ExprKind::listComp:
        return listComprehension(e, s, expr->listComp.element, expr->listComp.generators,
                                 expr->position, out);
    case front::ExprKind::setComp: return setComprehension(e, s, expr, out);
    case front::ExprKind::dictComp: return dictComprehension(e, s, expr, out);
    case front::ExprKind::generatorExp: {
        if (Status err = beginConstructError(e); err != Status::ok) return err;
        Status err = appendText(&e->compiler->message, kUndrainedGenerator);
        return err == Status::ok ? Status::unsupported : err;
    }
    default: return refuseConstruct(e, "this comprehension");
    }
}

}  // namespace wuna::compile
