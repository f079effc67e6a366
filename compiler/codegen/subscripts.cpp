// Subscripts and item stores: x[i] folded while compiling when both are known, read inline
// from a list or tuple with an int index (tag tests, a bounds test, one load; no reference
// count touched for lists whose summary says all items are ints of one tag), else wn_getitem;
// x[i] = v done in the compiler's own records of a list or dict made while compiling, else
// wn_setitem (see lower.h).
#include <cstring>

#include "compiler/codegen/attributes_common.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using attrs::block;
using attrs::tagIs;

constexpr const char* kComptimeItemSet =
    "an item set in a wuna.comptime function's result: a constant, the same for every call";

// The operand of a shape: its own for dyn, else materialized at the body's site.
Status operandOf(Emitter* e, Semantic* s, const Shape& shape, Operand* out) {
    if (shape.kind == ShapeKind::dyn) {
        *out = shape.dyn;
        return Status::ok;
    }
    return materialize(e, shape, s ? s->site : 0, out);
}

// j for index i of a sequence of count items (negative counted from the end), or false.
bool position(int64_t index, uint64_t count, uint64_t* j) {
    uint64_t adjusted = index < 0 ? uint64_t(index) + count : uint64_t(index);
    if (adjusted >= count) return false;
    *j = adjusted;
    return true;
}

// The fold of x[i] with both known; *folded false when the read is left for run time.
Status foldGetItem(Emitter* e, Shape* object, const Shape& index, Shape* out, bool* folded) {
    *folded = false;
    Compiler* c = e->compiler;
    int64_t i;
    uint64_t j;
    switch (object->kind) {
    case ShapeKind::str: {
        PyObject* container = nullptr;
        PyObject* key = nullptr;
        if (Status err = toPython(c, *object, &container); err != Status::ok) return err;
        if (Status err = toPython(c, index, &key); err != Status::ok) {
            Py_DECREF(container);
            return err;
        }
        PyObject* item = PyObject_GetItem(container, key);
        Py_DECREF(container);
        Py_DECREF(key);
        if (!item) {
            // The run-time read raises the same error where Python would.
            PyErr_Clear();
            return Status::ok;
        }
        Status err = fromPython(c, item, out);
        Py_DECREF(item);
        if (err == Status::ok) *folded = true;
        return err;
    }
    case ShapeKind::list:
        if (!attrs::integerIndex(index, &i) || !position(i, object->list->length, &j))
            return Status::ok;
        *folded = true;
        return ownCopy(e, object->list->items[j], out);
    case ShapeKind::tuple: {
        if (!attrs::integerIndex(index, &i) || !position(i, object->tuple.count, &j))
            return Status::ok;
        if (Status err = ownCopy(e, object->tuple.items[j], out); err != Status::ok) return err;
        *folded = true;
        return release(e, *object);
    }
    case ShapeKind::dict: {
        bool found;
        front::DictRecord* dict = object->dict;
        if (Status err = comptimeKeyIndex(dict->keys, dict->keyLength, index, &j, &found);
            err != Status::ok)
            return err;
        if (!found) return Status::ok;
        *folded = true;
        return ownCopy(e, dict->values[j], out);
    }
    default: return Status::ok;
    }
}

// The item address of {i64, i64} pair j of an item array.
llvmapi::ValueRef itemAddress(Emitter* e, llvmapi::ValueRef items, llvmapi::ValueRef j) {
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.valuePair, items, &j, 1,
                                   "");
}

// The inline read of a list or tuple item with an int index, wn_getitem behind it.
Status inlineGetItem(Emitter* e, Semantic* s, Operand container, Operand index, Operand* out) {
    Builder* b = &e->builder;
    llvmapi::BasicBlockRef fast, found, other, got;
    if (Status err = block(e, "index_fast", &fast); err != Status::ok) return err;
    if (Status err = block(e, "index_found", &found); err != Status::ok) return err;
    if (Status err = block(e, "index_other", &other); err != Status::ok) return err;
    if (Status err = block(e, "index_got", &got); err != Status::ok) return err;
    bool knownList = container.kind == KnownKind::list;
    llvmapi::ValueRef isList =
        knownList ? attrs::constBit(e, true) : tagIs(e, container.tag, value::TagList);
    llvmapi::ValueRef isTuple =
        knownList ? attrs::constBit(e, false) : tagIs(e, container.tag, value::TagTuple);
    llvmapi::ValueRef isInt =
        attrs::orBits(e, tagIs(e, index.tag, value::TagInt), tagIs(e, index.tag, value::TagPint));
    condBr(b, attrs::andBits(e, attrs::orBits(e, isList, isTuple), isInt), fast, other);

    enter(b, fast);
    llvmapi::ValueRef length = attrs::blockWord(e, container.payload, offsetof(value::List, count));
    llvmapi::BasicBlockRef listBlock, tupleBlock, itemsBlock;
    if (Status err = block(e, "index_list", &listBlock); err != Status::ok) return err;
    if (Status err = block(e, "index_tuple", &tupleBlock); err != Status::ok) return err;
    if (Status err = block(e, "index_items", &itemsBlock); err != Status::ok) return err;
    condBr(b, isList, listBlock, tupleBlock);
    enter(b, listBlock);
    llvmapi::ValueRef listItems;
    {
        llvmapi::ValueRef address = attrs::byteAddress(e, attrs::blockPointer(e, container.payload),
                                                       offsetof(value::List, items));
        openBlock(b);
        listItems = T.LLVMBuildLoad2(b->builder, e->compiler->module.ptr, address, "");
        T.LLVMSetAlignment(listItems, 8);
    }
    llvmapi::BasicBlockRef listEnd = b->current;
    br(b, itemsBlock);
    enter(b, tupleBlock);
    llvmapi::ValueRef tupleItems =
        attrs::byteAddress(e, attrs::blockPointer(e, container.payload), sizeof(value::Tuple));
    llvmapi::BasicBlockRef tupleEnd = b->current;
    br(b, itemsBlock);
    enter(b, itemsBlock);
    openBlock(b);
    llvmapi::ValueRef items = T.LLVMBuildPhi(b->builder, e->compiler->module.ptr, "");
    {
        llvmapi::ValueRef values[2] = {listItems, tupleItems};
        llvmapi::BasicBlockRef blocks[2] = {listEnd, tupleEnd};
        T.LLVMAddIncoming(items, values, blocks, 2);
    }
    llvmapi::ValueRef negative = icmp(b, llvmapi::IntSLT, index.payload, constI64(e, 0));
    openBlock(b);
    llvmapi::ValueRef sum = T.LLVMBuildAdd(b->builder, index.payload, length, "");
    llvmapi::ValueRef j = T.LLVMBuildSelect(b->builder, negative, sum, index.payload, "");
    condBr(b, icmp(b, llvmapi::IntULT, j, length), found, other);

    llvmapi::BasicBlockRef ints, notInts, pints, any;
    if (Status err = block(e, "index_ints", &ints); err != Status::ok) return err;
    if (Status err = block(e, "index_not_ints", &notInts); err != Status::ok) return err;
    if (Status err = block(e, "index_pints", &pints); err != Status::ok) return err;
    if (Status err = block(e, "index_any", &any); err != Status::ok) return err;
    enter(b, found);
    llvmapi::ValueRef flags = attrs::blockWord32(e, container.payload, offsetof(value::Obj, flags));
    condBr(b, attrs::andBits(e, isList, emitFlagTest(e, flags, value::SummaryInt)), ints, notInts);
    enter(b, notInts);
    condBr(b, attrs::andBits(e, isList, emitFlagTest(e, flags, value::SummaryPint)), pints, any);

    Shape containerShape = dynShape(container);
    llvmapi::ValueRef tags[4], payloads[4];
    llvmapi::BasicBlockRef ends[4];
    // Ints of a list whose summary vouches for their tag: no count to touch.
    enter(b, ints);
    llvmapi::ValueRef address = itemAddress(e, items, j);
    payloads[0] = loadWord(e, slotPayload(e, address));
    tags[0] = constI64(e, value::TagInt);
    if (Status err = release(e, containerShape); err != Status::ok) return err;
    ends[0] = b->current;
    br(b, got);
    enter(b, pints);
    address = itemAddress(e, items, j);
    payloads[1] = loadWord(e, slotPayload(e, address));
    tags[1] = constI64(e, value::TagPint);
    if (Status err = release(e, containerShape); err != Status::ok) return err;
    ends[1] = b->current;
    br(b, got);
    enter(b, any);
    address = itemAddress(e, items, j);
    tags[2] = loadWord(e, address);
    payloads[2] = loadWord(e, slotPayload(e, address));
    // The item's reference first: releasing the container may free it.
    if (Status err = refcount(e, RefMode::increment, tags[2], payloads[2]); err != Status::ok)
        return err;
    if (Status err = release(e, containerShape); err != Status::ok) return err;
    ends[2] = b->current;
    br(b, got);
    enter(b, other);
    Operand generic;
    if (Status err = emitGetItemGeneric(e, s, &container, &index, &generic); err != Status::ok)
        return err;
    *out = attrs::joinAt(e, generic, tags, payloads, ends, 4, got, KnownKind::unknown);
    return Status::ok;
}

// Whether the kind is one the inline read may meet.
bool inlineContainer(KnownKind kind) {
    return kind == KnownKind::unknown || kind == KnownKind::list || kind == KnownKind::tuple;
}

bool inlineIndex(KnownKind kind) { return kind == KnownKind::unknown || kind == KnownKind::int_; }

// A list or dict made while compiling that a wuna.comptime function gave.
bool comptimeResultContainer(const Shape& shape) {
    if (shape.kind == ShapeKind::list) return shape.list->comptime != 0;
    if (shape.kind == ShapeKind::dict) return shape.dict->comptime != 0;
    return false;
}

// The store done while compiling; *done false when it must be compiled for run time.
Status storeWhileCompiling(Emitter* e, Semantic* s, Shape* object, Shape* index, Shape* value,
                           bool* done) {
    *done = false;
    if (object->kind != ShapeKind::list && object->kind != ShapeKind::dict) return Status::ok;
    if (value->kind == ShapeKind::dyn || !isConstant(*index)) return Status::ok;
    if (!mayChangeWhileCompiling(e, s, *object)) return Status::ok;
    if (object->kind == ShapeKind::dict) {
        *done = true;
        return setComptimeDictItem(e, object->dict, index, value);
    }
    int64_t i;
    uint64_t j;
    front::ListRecord* list = object->list;
    if (!attrs::integerIndex(*index, &i) || !position(i, list->length, &j)) return Status::ok;
    if (Status err = release(e, list->items[j]); err != Status::ok) return err;
    list->items[j] = *value;
    *done = true;
    return Status::ok;
}

}  // namespace

llvmapi::ValueRef emitFlagTest(Emitter* e, llvmapi::ValueRef flags, uint32_t mask) {
    openBlock(&e->builder);
    llvmapi::ValueRef bits =
        T.LLVMBuildAnd(e->builder.builder, flags, constI32(e, int32_t(mask)), "");
    return icmp(&e->builder, llvmapi::IntNE, bits, constI32(e, 0));
}

Status emitGetItemGeneric(Emitter* e, Semantic* s, Operand* container, Operand* index,
                          Operand* out) {
    llvmapi::ValueRef args[7] = {e->runContext,      attrs::site(e, s), container->tag,
                                 container->payload, index->tag,        index->payload,
                                 e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_getitem", args, 7, &ok); err != Status::ok) return err;
    // Released before the branch, so the failure path holds neither.
    if (Status err = release(e, dynShape(*container)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(*index)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, KnownKind::unknown);
    return Status::ok;
}

Status emitGetItem(Emitter* e, Semantic* s, Shape* object, Shape* index, front::Position,
                   Shape* out) {
    if (index->kind != ShapeKind::dyn && isConstant(*index)) {
        bool folded;
        if (Status err = foldGetItem(e, object, *index, out, &folded); err != Status::ok)
            return err;
        if (folded) return Status::ok;
    }
    Operand container, key;
    if (Status err = operandOf(e, s, *object, &container); err != Status::ok) return err;
    if (Status err = operandOf(e, s, *index, &key); err != Status::ok) return err;
    Operand result;
    Status err = inlineContainer(container.kind) && inlineIndex(key.kind)
                     ? inlineGetItem(e, s, container, key, &result)
                     : emitGetItemGeneric(e, s, &container, &key, &result);
    if (err != Status::ok) return err;
    *out = dynShape(result);
    return Status::ok;
}

Status setComptimeDictItem(Emitter* e, front::DictRecord* dict, Shape* key, Shape* value) {
    uint64_t j;
    bool found;
    if (Status err = comptimeKeyIndex(dict->keys, dict->keyLength, *key, &j, &found);
        err != Status::ok)
        return err;
    if (found) {
        // Python keeps the first key and its place; only the value changes.
        if (Status err = release(e, dict->values[j]); err != Status::ok) return err;
        dict->values[j] = *value;
        return release(e, *key);
    }
    return front::appendEntry(e->compiler, dict, *key, *value);
}

Status emitSetItem(Emitter* e, Semantic* s, Shape* object, Shape* index, Shape* value,
                   front::Position at) {
    if (comptimeResultContainer(*object)) {
        if (Status err = release(e, *value); err != Status::ok) return err;
        if (Status err = release(e, *index); err != Status::ok) return err;
        return attrs::compileError(e, e->semantics.count ? e->semantics.last() : s, at,
                                   kComptimeItemSet);
    }
    bool done;
    if (Status err = storeWhileCompiling(e, s, object, index, value, &done); err != Status::ok)
        return err;
    if (done) return Status::ok;
    Operand container, key, item;
    // Refuses the changes of a container made while compiling it can't compile.
    if (Status err = changeComptime(e, object, s ? s->site : 0, &container); err != Status::ok)
        return err;
    if (Status err = operandOf(e, s, *index, &key); err != Status::ok) return err;
    if (Status err = operandOf(e, s, *value, &item); err != Status::ok) return err;
    llvmapi::ValueRef args[8] = {e->runContext, attrs::site(e, s), container.tag, container.payload,
                                 key.tag,       key.payload,       item.tag,      item.payload};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_setitem", args, 8, &ok); err != Status::ok) return err;
    // The helper took its own reference to what it stored.
    if (Status err = release(e, dynShape(item)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(key)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(container)); err != Status::ok) return err;
    return checkOk(e, ok);
}

Status augAssignTupleError(Compiler* c, const front::FunctionIR* f, front::Position at) {
    Status err = beginError(&c->message, ErrorSite{f, at});
    if (err == Status::ok) err = appendText(&c->message, "augmented assignment to a tuple");
    return err == Status::ok ? Status::unsupported : err;
}

}  // namespace wuna::compile
