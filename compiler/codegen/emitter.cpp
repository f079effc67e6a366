// The emission context and its builder: starting and finishing a function, the open-block
// rule, operands, body and try records (see emitter.h).
#include "compiler/codegen/emitter.h"

#include <cstring>

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

template <typename V>
void freeList(backend::List<V>& list) {
    list.free();
}

}  // namespace

// --- records -------------------------------------------------------------------------------

Semantic* newSemantic(Compiler* c, front::FunctionIR* function, uint32_t localCount, int32_t site) {
    auto* s = takeArray<Semantic>(c, 1);
    if (!s) return nullptr;
    s->locals = takeArray<LocalRecord>(c, localCount);
    if (!s->locals) return nullptr;
    s->function = function;
    s->localCount = localCount;
    s->site = site;
    return s;
}

void endSemantic(Semantic* s) {
    s->loops.free();
    s->handlers.free();
    s->tracked.free();
    s->extraSlots.free();
}

TryEntry* newTry(Compiler* c, Semantic* owner) {
    auto* t = takeArray<TryEntry>(c, 1);
    if (t) t->owner = owner;
    return t;
}

void endTry(TryEntry* t) {
    t->tryLocals.free();
    t->handlerBlocks.free();
    t->handlerSlots.free();
    t->compiledJumps.free();
    t->jumpFlags.free();
}

// --- the emitter ---------------------------------------------------------------------------

Status startFunction(Emitter* e, Compiler* c, llvmapi::ValueRef fn, uint32_t scopeId) {
    memset(static_cast<void*>(e), 0, sizeof *e);
    ModuleRecord* m = &c->module;
    e->compiler = c;
    e->scopeId = scopeId;
    Builder* b = &e->builder;
    b->module = m;
    b->function = fn;
    b->entry = T.LLVMAppendBasicBlockInContext(m->context, fn, "entry");
    b->start = T.LLVMAppendBasicBlockInContext(m->context, fn, "start");
    b->entryBuilder = T.LLVMCreateBuilderInContext(m->context);
    b->builder = T.LLVMCreateBuilderInContext(m->context);
    T.LLVMPositionBuilderAtEnd(b->entryBuilder, b->entry);
    T.LLVMPositionBuilderAtEnd(b->builder, b->start);
    b->current = b->start;
    e->scratch = valueSlot(e);
    return Status::ok;
}

void finishFunction(Emitter* e) {
    Builder* b = &e->builder;
    T.LLVMBuildBr(b->entryBuilder, b->start);
    // Blocks nothing terminated (a "dead" block left empty) end unreachable.
    BasicBlockRef fixed[2] = {b->entry, b->start};
    for (BasicBlockRef block : fixed)
        if (!T.LLVMGetBasicBlockTerminator(block)) {
            T.LLVMPositionBuilderAtEnd(b->builder, block);
            T.LLVMBuildUnreachable(b->builder);
        }
    for (size_t i = 0; i < b->blocks.count; i++)
        if (!T.LLVMGetBasicBlockTerminator(b->blocks[i])) {
            T.LLVMPositionBuilderAtEnd(b->builder, b->blocks[i]);
            T.LLVMBuildUnreachable(b->builder);
        }
    T.LLVMDisposeBuilder(b->entryBuilder);
    T.LLVMDisposeBuilder(b->builder);
    b->blocks.free();
    for (size_t i = 0; i < e->errorBlocks.count; i++) free(e->errorBlocks[i].key);
    freeList(e->errorBlocks);
    freeList(e->localSlots);
    e->leavesSemantic.free();
    freeList(e->borrows);
    freeList(e->borrowedParameters);
    freeList(e->typedLocals);
    freeList(e->temporaries);
    freeInlineState(&e->inlining);
    freeList(e->rtLoops);
    freeList(e->tries);
    freeList(e->caughtSlots);
    freeList(e->semantics);
    freeList(e->scopes);
}

// --- builder -------------------------------------------------------------------------------

void openBlock(Builder* b) {
    if (b->current && !T.LLVMGetBasicBlockTerminator(b->current)) return;
    if (!b->current) return;
    // Unnumbered and not counted: no branch ever reaches it.
    BasicBlockRef dead = T.LLVMAppendBasicBlockInContext(b->module->context, b->function, "dead");
    (void)b->blocks.push(dead);  // a failure to list it is harmless: it exists in the function
    T.LLVMPositionBuilderAtEnd(b->builder, dead);
    b->current = dead;
}

void br(Builder* b, BasicBlockRef target) {
    openBlock(b);
    T.LLVMBuildBr(b->builder, target);
}

void condBr(Builder* b, ValueRef condition, BasicBlockRef then, BasicBlockRef otherwise) {
    openBlock(b);
    T.LLVMBuildCondBr(b->builder, condition, then, otherwise);
}

ValueRef icmp(Builder* b, llvmapi::IntPredicate predicate, ValueRef left, ValueRef right) {
    openBlock(b);
    return T.LLVMBuildICmp(b->builder, predicate, left, right, "");
}

void enter(Builder* b, BasicBlockRef block) {
    if (b->current && !T.LLVMGetBasicBlockTerminator(b->current)) T.LLVMBuildBr(b->builder, block);
    T.LLVMPositionBuilderAtEnd(b->builder, block);
    b->current = block;
}

ValueRef callNamed(Builder* b, const char* name, ValueRef* args, unsigned count) {
    openBlock(b);
    return call(b, name, args, count);
}

ValueRef constI64(const Emitter* e, uint64_t value) {
    return T.LLVMConstInt(e->compiler->module.i64, value, 0);
}

ValueRef constI32(const Emitter* e, int32_t value) {
    return T.LLVMConstInt(e->compiler->module.i32, uint64_t(uint32_t(value)), 0);
}

ValueRef siteValue(const Emitter* e, int32_t site) {
    if (site == kCallScopeSite && e->callScope) return e->callScope;
    if (site == kCallSiteSite && e->callSite) return e->callSite;
    return constI32(e, site);
}

ValueRef valueSlot(Emitter* e) {
    ValueRef slot = T.LLVMBuildAlloca(e->builder.entryBuilder, e->compiler->module.valuePair, "");
    T.LLVMSetAlignment(slot, 8);
    return slot;
}

// --- operands ------------------------------------------------------------------------------

namespace {

// The address of a value slot's payload word.
ValueRef payloadAddress(Emitter* e, ValueRef slot) {
    ModuleRecord* m = &e->compiler->module;
    ValueRef indices[2] = {T.LLVMConstInt(m->i32, 0, 0), T.LLVMConstInt(m->i32, 1, 0)};
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, m->valuePair, slot, indices, 2, "");
}

}  // namespace

ValueRef loadWord(Emitter* e, ValueRef address) {
    openBlock(&e->builder);
    ValueRef v = T.LLVMBuildLoad2(e->builder.builder, e->compiler->module.i64, address, "");
    T.LLVMSetAlignment(v, 8);
    return v;
}

void storeWord(Emitter* e, ValueRef value, ValueRef address) {
    openBlock(&e->builder);
    T.LLVMSetAlignment(T.LLVMBuildStore(e->builder.builder, value, address), 8);
}

ValueRef slotPayload(Emitter* e, ValueRef slot) { return payloadAddress(e, slot); }

Operand loadOperand(Emitter* e, ValueRef slot, KnownKind kind) {
    Operand o{};
    o.tag = loadWord(e, slot);
    o.payload = loadWord(e, payloadAddress(e, slot));
    o.functionNode = kNoFunctionNode;
    o.kind = KnownKind(uint8_t(kind) & 0xF);
    return o;
}

Operand constantOperand(Emitter* e, uint64_t tag, uint64_t payload, KnownKind kind) {
    Operand o{};
    o.tag = constI64(e, tag);
    o.payload = constI64(e, payload);
    o.functionNode = kNoFunctionNode;
    o.kind = kind;
    return o;
}

Shape dynShape(const Operand& o) {
    Shape s{};
    s.kind = ShapeKind::dyn;
    s.dyn = o;
    return s;
}

Status addReference(Emitter* e, Operand* o) {
    if (neverCounted(o->kind)) return Status::ok;
    if (Status err = takeOwnership(e, o); err != Status::ok) return err;
    return refcount(e, RefMode::increment, o->tag, o->payload);
}

}  // namespace wuna::compile
