// Assignment targets (see lower.h): a local keeps the value it is given as a compile-time
// shape while the assignment runs once per run of the code; inside run-time control flow the
// local gets its 16-byte slot. Globals go through wn_set_global, tuples unpack (while
// compiling when the value's items are known, else through wn_unpack), attributes and items
// through the attribute group's stores.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/statements_flow.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

bool inSlot(const LocalRecord& local) {
    return local.state == LocalState::slot || local.state == LocalState::typedSlot;
}

// Stores the value into the local's slot; the old value is released after the store, so
// x = x and aliasing values stay safe.
Status storeIntoSlot(Emitter* e, Semantic* s, LocalRecord& local, Shape* value) {
    Operand o;
    if (Status err = materialize(e, *value, s->site, &o); err != Status::ok) return err;
    Operand old = loadOperand(e, local.slot, KnownKind::unknown);
    if (Status err = storeOperand(e, local.slot, &o); err != Status::ok) return err;
    // A maybe-unset slot holds the unset marker, whose tag is never counted.
    if (Status err = release(e, dynShape(old)); err != Status::ok) return err;
    if (local.kind != o.kind) local.kind = KnownKind::unknown;
    if (assignsOnEveryPath(s)) local.noRelease &= uint8_t(~kMaybeUnset);
    return Status::ok;
}

Status assignLocal(Emitter* e, Semantic* s, uint32_t index, Shape* value) {
    if (index >= s->localCount) return unknownLocal(e, index);
    LocalRecord& local = s->locals[index];
    // The lowerings of if, loops, try and comprehension clauses give the locals they assign
    // their slots before their code, where the slot's first store runs on every path. A local
    // still without one here is assigned inside an expression's run-time branch or loop (a :=
    // in a conditional's arm, an and/or operand, a comprehension's element): a slot made now
    // would be filled only on this path (garbage read and released on the others) and refilled
    // on every turn of a loop, so the assignment is refused (the semantic runs as Python).
    if (!inSlot(local) && s->controlDepth > 0) {
        if (Status err = release(e, *value); err != Status::ok) return err;
        return refuseConstruct(e, "an assignment inside run-time control flow of an expression to "
                                  "a local without a run-time slot");
    }
    if (inSlot(local)) return storeIntoSlot(e, s, local, value);
    if (local.state == LocalState::comptime) {
        Shape old = local.shape;
        local.shape = *value;
        // The old value's run-time parts go; a list it was is dropped once nothing holds it.
        if (Status err = release(e, old); err != Status::ok) return err;
        if (Status err = trackContainer(s, old); err != Status::ok) return err;
        return Status::ok;
    }
    local = LocalRecord{};
    local.shape = *value;
    local.state = LocalState::comptime;
    return Status::ok;
}

Status strictGlobal(Emitter* e, front::Text name) {
    Compiler* c = e->compiler;
    // Without an open body the message stands alone.
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    Status err = appendText(&c->message, "strict: assigns the module variable ");
    if (err == Status::ok) err = appendText(&c->message, name.data, size_t(name.length));
    if (err == Status::ok) err = appendText(&c->message, " (`global ");
    if (err == Status::ok) err = appendText(&c->message, name.data, size_t(name.length));
    if (err == Status::ok) err = appendText(&c->message, "`) (it would run in Python)");
    return err == Status::ok ? Status::unsupported : err;
}

Status assignGlobal(Emitter* e, Semantic* s, front::Text name, Shape* value) {
    Compiler* c = e->compiler;
    if (c->strict && e->strictSuppressed == 0) return strictGlobal(e, name);
    PyObject* fn = s->function ? s->function->function : nullptr;
    if (!fn) return refuseConstruct(e, "an assignment to a module variable outside a function");
    PyObject* globals = PyObject_GetAttrString(fn, "__globals__");
    if (!globals) return Status::pythonError;
    uint32_t index;
    Status err = pinObject(c, globals, &index);
    Py_DECREF(globals);  // the object list keeps its own reference
    if (err != Status::ok) return err;
    ValueRef globalsValue, nameGlobal;
    if (Status err2 = objectConstant(e, index, &globalsValue); err2 != Status::ok) return err2;
    if (Status err2 = literalGlobal(&c->module, name.data, size_t(name.length), &nameGlobal);
        err2 != Status::ok)
        return err2;
    Operand o;
    if (Status err2 = materialize(e, *value, s->site, &o); err2 != Status::ok) return err2;
    ValueRef args[6] = {e->runContext, siteValue(e, s->site), globalsValue, nameGlobal, o.tag,
                        o.payload};
    ValueRef ok;
    if (Status err2 = callHelper(e, "wn_set_global", args, 6, &ok); err2 != Status::ok)
        return err2;
    if (Status err2 = release(e, dynShape(o)); err2 != Status::ok) return err2;
    return checkOk(e, ok);
}

Status assignTupleKnown(Emitter* e, Semantic* s, const front::TargetList& targets, Shape* value,
                        front::Position at) {
    const Shape* items =
        value->kind == ShapeKind::tuple ? value->tuple.items : value->list->items;
    for (uint64_t i = 0; i < targets.count; i++) {
        // Each target gets a value of its own; the container keeps its items.
        Shape item;
        if (Status err = ownCopy(e, items[i], &item); err != Status::ok) return err;
        if (Status err = emitAssign(e, s, targets.items[i], &item, at); err != Status::ok)
            return err;
    }
    if (value->kind == ShapeKind::tuple) return release(e, *value);
    return Status::ok;
}

Status assignTuple(Emitter* e, Semantic* s, const front::TargetList& targets, Shape* value,
                   front::Position at) {
    uint64_t n = targets.count;
    if ((value->kind == ShapeKind::tuple && value->tuple.count == n) ||
        (value->kind == ShapeKind::list && value->list->length == n))
        return assignTupleKnown(e, s, targets, value, at);
    ModuleRecord* m = &e->compiler->module;
    Operand o;
    if (Status err = materialize(e, *value, s->site, &o); err != Status::ok) return err;
    TypeRef arrayType = T.LLVMArrayType2(m->valuePair, n ? n : 1);
    ValueRef array = T.LLVMBuildAlloca(e->builder.entryBuilder, arrayType, "");
    T.LLVMSetAlignment(array, 8);
    ValueRef args[6] = {e->runContext, siteValue(e, s->site), o.tag, o.payload, constI64(e, n),
                        array};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_unpack", args, 6, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    for (uint64_t i = 0; i < n; i++) {
        ValueRef indices[2] = {T.LLVMConstInt(m->i32, 0, 0), T.LLVMConstInt(m->i32, i, 0)};
        openBlock(&e->builder);
        ValueRef at_i =
            T.LLVMBuildInBoundsGEP2(e->builder.builder, arrayType, array, indices, 2, "");
        Shape item = dynShape(loadOperand(e, at_i, KnownKind::unknown));
        if (Status err = emitAssign(e, s, targets.items[i], &item, at); err != Status::ok)
            return err;
    }
    return Status::ok;
}

// The value stays on the live temporaries while the object (and index) are compiled, so an
// error exit on the way releases it.
Status assignAttribute(Emitter* e, Semantic* s, const front::Target& target, Shape* value,
                       front::Position at) {
    if (!e->temporaries.push(*value)) return Status::outOfMemory;
    size_t mark = e->temporaries.count - 1;
    Shape object;
    Status err = emitExpr(e, s, target.attribute.object, &object);
    e->temporaries.cut(mark);
    if (err != Status::ok) return err;
    return emitSetAttr(e, s, &object, target.attribute.name, value, at);
}

Status assignItem(Emitter* e, Semantic* s, const front::Target& target, Shape* value,
                  front::Position at) {
    if (!e->temporaries.push(*value)) return Status::outOfMemory;
    size_t mark = e->temporaries.count - 1;
    Shape object, index;
    Status err = emitExpr(e, s, target.item.object, &object);
    if (err == Status::ok && !e->temporaries.push(object)) err = Status::outOfMemory;
    if (err == Status::ok) err = emitExpr(e, s, target.item.index, &index);
    e->temporaries.cut(mark);
    if (err != Status::ok) return err;
    return emitSetItem(e, s, &object, &index, value, at);
}

}  // namespace

Status emitAssign(Emitter* e, Semantic* s, const front::Target& target, Shape* value,
                  front::Position at) {
    switch (target.kind) {
    case front::TargetKind::local: return assignLocal(e, s, target.local, value);
    case front::TargetKind::global: return assignGlobal(e, s, target.global, value);
    case front::TargetKind::tuple: return assignTuple(e, s, target.tuple, value, at);
    case front::TargetKind::attribute: return assignAttribute(e, s, target, value, at);
    case front::TargetKind::item: return assignItem(e, s, target, value, at);
    }
    return refuseConstruct(e, "an assignment to this target");
}

}  // namespace wuna::compile
