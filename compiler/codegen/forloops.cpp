// for loops: over items known while compiling the body is unrolled, one copy per item with the
// target bound to that item (up to kForUnrollItems items; more run at run time); any other
// iterable runs as one native loop that walks a run-time list or tuple by index, or counts a
// range. There is no iterator protocol in compiled code: a value that is neither list nor
// tuple is turned once into a list of its items (wn_iter_items).
#include <initializer_list>
#include <utility>
#include "compiler/codegen/control_support.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// A range call's arguments, when the callee is the builtin range: *isRange set.
Status rangeCall(Emitter* e, Semantic* s, const front::Expr* iterable, bool* isRange) {
    *isRange = false;
    if (iterable->kind != front::ExprKind::call) return Status::ok;
    const auto& call = iterable->call;
    if (call.callee->kind != front::ExprKind::global ||
        !front::textIs(call.callee->global, "range"))
        return Status::ok;
    if (call.keywords.count || call.arguments.count < 1 || call.arguments.count > 3)
        return Status::ok;
    for (uint64_t i = 0; i < call.arguments.count; i++)
        if (call.arguments.items[i]->kind == front::ExprKind::starred) return Status::ok;
    Shape callee;
    if (Status err = emitGlobal(e, s, call.callee->global, call.callee->position, &callee);
        err != Status::ok)
        return err;
    *isRange =
        callee.kind == ShapeKind::py && callee.py == reinterpret_cast<PyObject*>(&PyRange_Type);
    return release(e, callee);
}

bool constantInt(const Shape& shape, int64_t* out) {
    switch (shape.kind) {
    case ShapeKind::int_:
    case ShapeKind::pint: *out = shape.int_; return true;
    case ShapeKind::bool_: *out = shape.bool_; return true;
    default: return false;
    }
}

// The items of range(args) when every argument is a constant and they are few enough to
// unroll: *done set.
Status constantRange(Emitter* e, const Shape* args, uint64_t n, ForItems* out, bool* done) {
    *done = false;
    int64_t bounds[3] = {0, 0, 1};
    for (uint64_t i = 0; i < n; i++) {
        int64_t v;
        if (!constantInt(args[i], &v)) return Status::ok;
        bounds[n == 1 ? 1 : i] = v;
    }
    int64_t start = bounds[0], stop = bounds[1], step = bounds[2];
    if (step == 0) return Status::ok;  // the run-time range fails with Python's words
    __int128 span = step > 0 ? __int128(stop) - start : __int128(start) - stop;
    __int128 stride = step > 0 ? __int128(step) : -__int128(step);
    __int128 count = span <= 0 ? 0 : (span + stride - 1) / stride;
    if (count > __int128(kForUnrollItems)) return Status::ok;
    Shape* items = takeArray<Shape>(e->compiler, size_t(count));
    if (!items) return Status::outOfMemory;
    for (int64_t i = 0; i < int64_t(count); i++) {
        items[i].kind = ShapeKind::pint;
        items[i].int_ = int64_t(start + __int128(i) * step);
    }
    out->iterable = noneShape();
    out->items = items;
    out->count = uint64_t(count);
    out->runTime = 0;
    *done = true;
    return Status::ok;
}

// The run-time count of range(args): wn_range checks the arguments and gives start, stop and
// step.
Status rangeSource(Emitter* e, Semantic* s, const Shape* args, uint64_t n, ForItems* out) {
    ModuleRecord* m = &e->compiler->module;
    llvmapi::ValueRef array;
    if (Status err = valueArray(e, args, n, s->site, &array); err != Status::ok) return err;
    llvmapi::ValueRef answer =
        T.LLVMBuildAlloca(e->builder.entryBuilder, T.LLVMArrayType2(m->i64, 3), "");
    T.LLVMSetAlignment(answer, 8);
    storeLocation(e);
    llvmapi::ValueRef callArgs[5] = {e->runContext, siteValue(e, s->site), array, constI64(e, n),
                                     answer};
    llvmapi::ValueRef ok = callNamed(&e->builder, "wn_range", callArgs, 5);
    if (Status err = releaseSlots(e, array, n); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    LoopSource& source = out->source;
    source = LoopSource{};
    source.kind = LoopKind::range;
    llvmapi::ValueRef* slots[3] = {&source.index, &source.stop, &source.step};
    for (uint64_t i = 0; i < 3; i++) {
        llvmapi::ValueRef index = constI64(e, i);
        openBlock(&e->builder);
        llvmapi::ValueRef at =
            T.LLVMBuildInBoundsGEP2(e->builder.builder, m->i64, answer, &index, 1, "");
        *slots[i] = wordSlot(e);
        storeWord(e, loadWord(e, at), *slots[i]);
    }
    out->runTime = 1;
    return Status::ok;
}

Status emitRange(Emitter* e, Semantic* s, const front::Expr* iterable, ForItems* out) {
    const auto& call = iterable->call;
    uint64_t n = call.arguments.count;
    Shape args[3];
    for (uint64_t i = 0; i < n; i++) {
        if (Status err = emitExpr(e, s, call.arguments.items[i], &args[i]); err != Status::ok) {
            for (uint64_t k = 0; k < i; k++) (void)release(e, args[k]);
            return err;
        }
        if (!e->temporaries.push(args[i])) return Status::outOfMemory;
    }
    e->temporaries.cut(e->temporaries.count - n);
    bool done;
    if (Status err = constantRange(e, args, n, out, &done); err != Status::ok || done) return err;
    return rangeSource(e, s, args, n, out);
}

// A list or tuple operand made the walked sequence of a run-time loop.
Status sequenceSource(Emitter* e, Semantic* s, Operand value, ForItems* out) {
    llvmapi::ValueRef slot;
    if (Status err = newListedSlot(e, s, &slot); err != Status::ok) return err;
    if (value.kind != KnownKind::list && value.kind != KnownKind::tuple) {
        llvmapi::ValueRef args[5] = {e->runContext, siteValue(e, s->site), value.tag, value.payload,
                                     e->scratch};
        llvmapi::ValueRef ok;
        if (Status err = callHelper(e, "wn_iter_items", args, 5, &ok); err != Status::ok)
            return err;
        if (Status err = release(e, dynShape(value)); err != Status::ok) return err;
        if (Status err = checkOk(e, ok); err != Status::ok) return err;
        value = loadOperand(e, e->scratch, KnownKind::unknown);
    }
    // The slot may still hold the sequence of an earlier turn of an enclosing loop that was
    // left early (any() decided, a failure caught around the loop): dropped before the store.
    if (Status err = releaseSlot(e, slot); err != Status::ok) return err;
    if (Status err = storeOperand(e, slot, &value); err != Status::ok) return err;
    out->source = LoopSource{};
    out->source.kind = LoopKind::list;
    out->source.list = slot;
    out->runTime = 1;
    return Status::ok;
}

// The shape's item, as the run-time sequence of items is read from while unrolling.
Shape itemOf(const Shape& iterable, const Shape* items, uint64_t i) {
    if (iterable.kind == ShapeKind::list) return iterable.list->items[i];
    return items[i];
}

uint64_t itemCount(const ForItems& it) {
    // A list the body changes while it is unrolled is read at its length now, as Python's
    // iteration reads it at each step.
    return it.iterable.kind == ShapeKind::list ? it.iterable.list->length : it.count;
}

// The target variables and what the body and else statements change get their slots.
Status prepareLoopLocals(Emitter* e, Semantic* s, const front::Stmt* statement) {
    const auto& f = statement->for_;
    LocalSet set;
    Status err = targetVariables(f.target, &set);
    if (err == Status::ok) err = changedVariables(f.body.items, f.body.count, &set);
    if (err == Status::ok) err = changedVariables(f.orelse.items, f.orelse.count, &set);
    if (err == Status::ok) err = materializeSet(e, s, set);
    set.free();
    return err;
}

// The loop at run time over the source.
Status emitFor(Emitter* e, Semantic* s, const front::Stmt* statement, LoopSource source) {
    const auto& f = statement->for_;
    Builder* b = &e->builder;
    if (Status err = prepareLoopLocals(e, s, statement); err != Status::ok) return err;
    loopInit(e, &source);
    llvmapi::BasicBlockRef head, next, body, orelse, end;
    for (auto [block, name] :
         {std::pair{&head, "for"}, std::pair{&next, "for_next"}, std::pair{&body, "for_body"},
          std::pair{&orelse, "for_else"}, std::pair{&end, "endfor"}})
        if (Status err = newBlock(b, name, block); err != Status::ok) return err;
    enter(b, head);
    e->controlDepth++;
    llvmapi::ValueRef more;
    Status err = loopTest(e, source, &more);
    if (err == Status::ok) {
        condBr(b, more, body, orelse);
        enter(b, body);
        s->controlDepth++;
        err = loopItem(e, s, source, f.target, statement->position);
        TargetMarks marks;
        if (err == Status::ok) err = clearTargetMarks(s, f.target, &marks);
        LoopEntry entry{end, next, e->tries.count, nullptr, s->controlDepth, s->tryDepth};
        if (err == Status::ok) err = pushLoop(e, s, entry);
        if (err == Status::ok) {
            err = lowerRegion(e, s, f.body);
            popLoop(s);
        }
        restoreTargetMarks(s, &marks);
        if (err == Status::ok) {
            enter(b, next);
            err = loopStep(e, source);
        }
        if (err == Status::ok) {
            br(b, head);
            enter(b, orelse);
            err = lowerStatements(e, s, f.orelse);
        }
        s->controlDepth--;
    }
    if (err == Status::ok) {
        enter(b, end);
        err = loopRelease(e, source);
    }
    e->controlDepth--;
    return err;
}

// One copy of the body per item.
Status unrollFor(Emitter* e, Semantic* s, const front::Stmt* statement, const ForItems& it) {
    const auto& f = statement->for_;
    Builder* b = &e->builder;
    llvmapi::BasicBlockRef end;
    if (Status err = newBlock(b, "endfor", &end); err != Status::ok) return err;
    bool finished = true;
    for (uint64_t i = 0; i < itemCount(it); i++) {
        if (i >= kForUnrollItems)
            return refuseConstruct(e, "a for loop over a list that grows while it is unrolled");
        Shape copy;
        if (Status err = ownCopy(e, itemOf(it.iterable, it.items, i), &copy); err != Status::ok)
            return err;
        if (Status err = emitAssign(e, s, f.target, &copy, statement->position); err != Status::ok)
            return err;
        // Inside run-time control flow the target has a slot: assigned here for this copy.
        TargetMarks marks;
        bool stop = false;
        Status err = clearTargetMarks(s, f.target, &marks);
        if (err == Status::ok) err = unrolledIteration(e, s, f.body, end, f.iterable, &stop);
        restoreTargetMarks(s, &marks);
        if (err != Status::ok) return err;
        if (stop) {
            finished = false;
            break;
        }
    }
    if (finished)
        if (Status err = lowerStatements(e, s, f.orelse); err != Status::ok) return err;
    enter(b, end);
    return releaseIterated(e, s, it.iterable);
}

}  // namespace

Status releaseIterated(Emitter* e, Semantic* s, const Shape& iterable) {
    if (iterable.kind == ShapeKind::tuple) return release(e, iterable);
    if (iterable.kind != ShapeKind::list || walkHeld(&s, 1, iterable.list)) return Status::ok;
    if (iterable.list->madeAtRunTime || iterable.list->source || iterable.list->released)
        return Status::ok;
    bool dropped;
    if (Status err = dropContainer(e, s, iterable.list, &dropped); err != Status::ok) return err;
    if (dropped) iterable.list->released = 1;
    return Status::ok;
}

Status toLoopSource(Emitter* e, Semantic* s, const Shape& value, ForItems* out) {
    *out = ForItems{};
    if (value.kind == ShapeKind::list && !value.list->madeAtRunTime) {
        out->iterable = value;
        out->items = value.list->items;
        out->count = value.list->length;
        return Status::ok;
    }
    if (value.kind == ShapeKind::tuple) {
        out->iterable = value;
        out->items = value.tuple.items;
        out->count = value.tuple.count;
        return Status::ok;
    }
    Operand o;
    if (Status err = materialize(e, value, s->site, &o); err != Status::ok) return err;
    return sequenceSource(e, s, o, out);
}

Status emitForBuiltin(Emitter* e, Semantic* s, const front::Expr* iterable, ForItems* out) {
    *out = ForItems{};
    bool isRange;
    if (Status err = rangeCall(e, s, iterable, &isRange); err != Status::ok) return err;
    if (isRange) return emitRange(e, s, iterable, out);
    Shape value;
    {
        // Iterated at once and never seen again: a zip or an enumerate here may be a list.
        IteratedAtOnce mark(e, iterable);
        if (Status err = emitExpr(e, s, iterable, &value); err != Status::ok) return err;
    }
    return toLoopSource(e, s, value, out);
}

Status itemsAtRunTime(Emitter* e, Semantic* s, ForItems* items) {
    Shape sequence = items->iterable;
    if (sequence.kind != ShapeKind::list && sequence.kind != ShapeKind::tuple) {
        // Items made while compiling (a range's): a tuple of them.
        sequence.kind = ShapeKind::tuple;
        sequence.tuple.items = const_cast<Shape*>(items->items);
        sequence.tuple.count = items->count;
    }
    Operand o;
    if (Status err = materialize(e, sequence, s->site, &o); err != Status::ok) return err;
    return sequenceSource(e, s, o, items);
}

void loopInit(Emitter* e, LoopSource* source) {
    if (source->kind == LoopKind::range) return;
    source->index = wordSlot(e);
    storeWord(e, constI64(e, 0), source->index);
}

Status loopTest(Emitter* e, const LoopSource& source, llvmapi::ValueRef* out) {
    Builder* b = &e->builder;
    llvmapi::ValueRef current = loadWord(e, source.index);
    if (source.kind == LoopKind::range) {
        llvmapi::ValueRef stop = loadWord(e, source.stop), step = loadWord(e, source.step);
        llvmapi::ValueRef up = icmp(b, llvmapi::IntSGT, step, constI64(e, 0));
        llvmapi::ValueRef below = icmp(b, llvmapi::IntSLT, current, stop);
        llvmapi::ValueRef above = icmp(b, llvmapi::IntSGT, current, stop);
        openBlock(b);
        *out = T.LLVMBuildSelect(b->builder, up, below, above, "");
        return Status::ok;
    }
    Operand list = loadOperand(e, source.list, KnownKind::list);
    llvmapi::ValueRef args[2] = {list.tag, list.payload};
    llvmapi::ValueRef length = callNamed(b, "wn_list_len", args, 2);
    *out = icmp(b, llvmapi::IntSLT, current, length);
    return Status::ok;
}

Status loopItem(Emitter* e, Semantic* s, const LoopSource& source, const front::Target& target,
                front::Position at) {
    llvmapi::ValueRef current = loadWord(e, source.index);
    Operand item;
    if (source.kind == LoopKind::range) {
        item = constantOperand(e, value::TagPint, 0, KnownKind::int_);
        item.payload = current;
    } else {
        Operand list = loadOperand(e, source.list, KnownKind::list);
        llvmapi::ValueRef args[4] = {list.tag, list.payload, current, e->scratch};
        callNamed(&e->builder, "wn_list_at", args, 4);
        item = loadOperand(e, e->scratch, KnownKind::unknown);
    }
    Shape value = dynShape(item);
    return emitAssign(e, s, target, &value, at);
}

Status loopStep(Emitter* e, const LoopSource& source) {
    Builder* b = &e->builder;
    llvmapi::ValueRef current = loadWord(e, source.index);
    if (source.kind != LoopKind::range) {
        openBlock(b);
        storeWord(e, T.LLVMBuildAdd(b->builder, current, constI64(e, 1), ""), source.index);
        return Status::ok;
    }
    // A step past the 64-bit bounds ends the range instead of wrapping.
    llvmapi::ValueRef step = loadWord(e, source.step), stop = loadWord(e, source.stop);
    FunctionRef add = e->compiler->overflow[0];
    llvmapi::ValueRef args[2] = {current, step};
    openBlock(b);
    llvmapi::ValueRef sum = T.LLVMBuildCall2(b->builder, add.type, add.function, args, 2, "");
    llvmapi::ValueRef value = T.LLVMBuildExtractValue(b->builder, sum, 0, "");
    llvmapi::ValueRef overflowed = T.LLVMBuildExtractValue(b->builder, sum, 1, "");
    storeWord(e, T.LLVMBuildSelect(b->builder, overflowed, stop, value, ""), source.index);
    return Status::ok;
}

Status loopRelease(Emitter* e, const LoopSource& source) {
    if (source.kind == LoopKind::range) return Status::ok;
    return releaseSlot(e, source.list);
}

Status lowerFor(Emitter* e, Semantic* s, const front::Stmt* statement) {
    ForItems it;
    if (Status err = emitForBuiltin(e, s, statement->for_.iterable, &it); err != Status::ok)
        return err;
    if (!it.runTime && (loopAtRunTime(statement->for_.iterable) || it.count > kForUnrollItems))
        if (Status err = itemsAtRunTime(e, s, &it); err != Status::ok) return err;
    if (it.runTime) return emitFor(e, s, statement, it.source);
    return unrollFor(e, s, statement, it);
}

}  // namespace wuna::compile
