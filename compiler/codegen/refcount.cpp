// Ownership and reference counts: the three grades of counting, borrow flags, storing,
// releasing and copying operands (see emitter.h).
#include <cstring>

#include "compiler/codegen/emitter.h"
#include "host/tree/index.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// The exported helper and the module-local function of each mode.
constexpr const char* kHelperOf[2] = {"wn_incref", "wn_decref"};
constexpr const char* kInlineOf[2] = {"wn_inc", "wn_dec"};

// Module-local counting: every program function but the top level, code inside run-time
// control flow, and code that finds its frame at run time (helpers compiled out of line).
bool moduleLocalGrade(const Emitter* e) {
    return e->scopeId != kNoFunctionScope || e->controlDepth > 0 || e->modes.runtimeFrameLookup ||
           e->modes.helperSpecialisation;
}

Status inlineTest(Emitter* e, RefMode mode, ValueRef tag, ValueRef payload) {
    Builder* b = &e->builder;
    BasicBlockRef rc, done;
    if (Status err = newBlock(b, "rc", &rc); err != Status::ok) return err;
    if (Status err = newBlock(b, "rc_done", &done); err != Status::ok) return err;
    openBlock(b);
    BuilderRef B = b->builder;
    ValueRef shift = T.LLVMBuildAnd(B, tag, constI64(e, 31), "");
    ValueRef bits = T.LLVMBuildLShr(B, constI64(e, kCountedTagMask), shift, "");
    ValueRef bit = T.LLVMBuildAnd(B, bits, constI64(e, 1), "");
    ValueRef set = T.LLVMBuildICmp(B, llvmapi::IntEQ, bit, constI64(e, 1), "");
    ValueRef small = T.LLVMBuildICmp(B, llvmapi::IntULT, tag, constI64(e, 32), "");
    condBr(b, T.LLVMBuildAnd(B, set, small, ""), rc, done);
    enter(b, rc);
    ValueRef args[2] = {tag, payload};
    if (Status err = callHelper(e, kHelperOf[int(mode)], args, 2, nullptr); err != Status::ok)
        return err;
    br(b, done);
    enter(b, done);
    return Status::ok;
}

void moduleLocal(Emitter* e, RefMode mode, ValueRef tag, ValueRef payload) {
    Builder* b = &e->builder;
    ValueRef args[2] = {tag, payload};
    if (mode == RefMode::increment) {
        ValueRef call = callNamed(b, kInlineOf[0], args, 2);
        e->pending = PendingIncrement{call, tag, payload, 1};
        return;
    }
    if (e->pending.set) {
        PendingIncrement p = e->pending;
        e->pending = PendingIncrement{};
        // Nothing between the two: the increment and the decrement cancel.
        if (p.tag == tag && p.payload == payload && b->current &&
            T.LLVMGetLastInstruction(b->current) == p.call) {
            T.LLVMInstructionEraseFromParent(p.call);
            return;
        }
    }
    callNamed(b, kInlineOf[1], args, 2);
}

// The scope a symbol's variable lives in; -1 (global) when the compiler has no tree.
int32_t scopeOfSymbol(const Emitter* e, uint32_t symbol) {
    const ptree::Index* tree = e->compiler->tree;
    if (!tree) return -1;
    // symbolScope only fills the index's per-symbol cache.
    return ptree::symbolScope(const_cast<ptree::Index*>(tree), symbol);
}

const BorrowRecord* recordOfFlag(const Emitter* e, ValueRef flag) {
    for (size_t i = 0; i < e->borrows.count; i++)
        if (e->borrows[i].flag == flag) return &e->borrows[i];
    return nullptr;
}

uint32_t recordsOf(const Emitter* e, uint32_t symbol) {
    uint32_t n = 0;
    for (size_t i = 0; i < e->borrows.count; i++) n += e->borrows[i].symbol == symbol;
    return n;
}

// Whether a copy of a borrow of the symbol's variable may stay a borrow.
bool copyMayBorrow(const Emitter* e, uint32_t symbol) {
    if (recordsOf(e, symbol) >= kBorrowsPerSymbol) return false;
    const EmitterModes& modes = e->modes;
    if (modes.jumpsAsStatus || modes.runtimeFrameLookup) return false;
    int32_t scope = scopeOfSymbol(e, symbol);
    bool ownSlots =
        !e->hasOwnFrame && !e->specialisationOrigin && !e->hadTypedLocals && !e->typedLocals.count;
    if (ownSlots && uint32_t(scope) == e->scopeId) return true;
    return e->scopeId != kNoFunctionScope && scope == -1;
}

// A new i64 flag slot in the entry block holding given-up, and a 16-byte copy slot.
void newBorrowSlots(Emitter* e, ValueRef* flag, ValueRef* copy) {
    BuilderRef entry = e->builder.entryBuilder;
    *flag = T.LLVMBuildAlloca(entry, e->compiler->module.i64, "");
    T.LLVMSetAlignment(*flag, 8);
    T.LLVMSetAlignment(T.LLVMBuildStore(entry, constI64(e, uint64_t(BorrowFlag::givenUp)), *flag),
                       8);
    *copy = valueSlot(e);
}

void storePair(Emitter* e, ValueRef slot, ValueRef tag, ValueRef payload) {
    storeWord(e, tag, slot);
    storeWord(e, payload, slotPayload(e, slot));
}

// Blocks yes and join (no is join when null) made, then a branch on whether the flag reads
// when: to yes, else to no. out: yes, no, join.
Status branchOnFlag(Emitter* e, ValueRef flag, BorrowFlag when, const char* yes, const char* no,
                    const char* join, BasicBlockRef out[3]) {
    Builder* b = &e->builder;
    if (Status err = newBlock(b, yes, &out[0]); err != Status::ok) return err;
    if (no) {
        if (Status err = newBlock(b, no, &out[1]); err != Status::ok) return err;
    }
    if (Status err = newBlock(b, join, &out[2]); err != Status::ok) return err;
    if (!no) out[1] = out[2];
    ValueRef state = loadWord(e, flag);
    condBr(b, icmp(b, llvmapi::IntEQ, state, constI64(e, uint64_t(when))), out[0], out[1]);
    return Status::ok;
}

Status borrowCopy(Emitter* e, const Operand& source, uint32_t symbol, Shape* out) {
    ValueRef flag, copy;
    newBorrowSlots(e, &flag, &copy);
    storePair(e, copy, source.tag, source.payload);
    Builder* b = &e->builder;
    BasicBlockRef blocks[3];
    if (Status err = branchOnFlag(e, source.borrowFlag, BorrowFlag::borrowed, "borrow_again",
                                  "borrow_own", "borrow_copied", blocks);
        err != Status::ok)
        return err;
    auto [again, own, copied] = blocks;
    enter(b, again);
    storeWord(e, constI64(e, uint64_t(BorrowFlag::borrowed)), flag);
    br(b, copied);
    enter(b, own);
    if (Status err = refcount(e, RefMode::increment, source.tag, source.payload); err != Status::ok)
        return err;
    storeWord(e, constI64(e, uint64_t(BorrowFlag::owned)), flag);
    br(b, copied);
    enter(b, copied);
    if (!e->borrows.push(BorrowRecord{flag, copy, symbol})) return Status::outOfMemory;
    Operand o = source;
    o.borrowFlag = flag;
    *out = dynShape(o);
    return Status::ok;
}

}  // namespace

Status refcount(Emitter* e, RefMode mode, ValueRef tag, ValueRef payload) {
    if (e->errorPathDepth > 0) {
        // Cold code: a plain call of the exported helper.
        ValueRef args[2] = {tag, payload};
        return callHelper(e, kHelperOf[int(mode)], args, 2, nullptr);
    }
    if (moduleLocalGrade(e)) {
        moduleLocal(e, mode, tag, payload);
        return Status::ok;
    }
    return inlineTest(e, mode, tag, payload);
}

Status takeOwnership(Emitter* e, Operand* o) {
    if (!o->borrowFlag) return Status::ok;
    Builder* b = &e->builder;
    BasicBlockRef blocks[3];
    if (Status err = branchOnFlag(e, o->borrowFlag, BorrowFlag::borrowed, "borrow_take", nullptr,
                                  "borrow_taken", blocks);
        err != Status::ok)
        return err;
    auto [take, unused, taken] = blocks;
    (void)unused;
    enter(b, take);
    if (Status err = refcount(e, RefMode::increment, o->tag, o->payload); err != Status::ok)
        return err;
    storeWord(e, constI64(e, uint64_t(BorrowFlag::owned)), o->borrowFlag);
    br(b, taken);
    enter(b, taken);
    return Status::ok;
}

Status storeOperand(Emitter* e, ValueRef slot, Operand* o) {
    if (Status err = takeOwnership(e, o); err != Status::ok) return err;
    storePair(e, slot, o->tag, o->payload);
    return Status::ok;
}

Status release(Emitter* e, const Shape& shape) {
    if (shape.kind == ShapeKind::tuple) {
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (Status err = release(e, shape.tuple.items[i]); err != Status::ok) return err;
        return Status::ok;
    }
    if (shape.kind != ShapeKind::dyn) return Status::ok;  // known while compiling: no reference
    const Operand& o = shape.dyn;
    if (neverCounted(o.kind)) return Status::ok;
    if (!o.borrowFlag) return refcount(e, RefMode::decrement, o.tag, o.payload);
    Builder* b = &e->builder;
    BasicBlockRef blocks[3];
    if (Status err = branchOnFlag(e, o.borrowFlag, BorrowFlag::owned, "borrow_owned",
                                  "borrow_given", "borrow_dropped", blocks);
        err != Status::ok)
        return err;
    auto [owned, given, dropped] = blocks;
    enter(b, owned);
    if (Status err = refcount(e, RefMode::decrement, o.tag, o.payload); err != Status::ok)
        return err;
    // Given up after the drop too, so that a later release of the same flag (an error path
    // that still lists the operand) finds nothing left to drop.
    storeWord(e, constI64(e, uint64_t(BorrowFlag::givenUp)), o.borrowFlag);
    br(b, dropped);
    enter(b, given);
    storeWord(e, constI64(e, uint64_t(BorrowFlag::givenUp)), o.borrowFlag);
    br(b, dropped);
    enter(b, dropped);
    return Status::ok;
}

Status releaseSlot(Emitter* e, ValueRef slot) {
    Operand held = loadOperand(e, slot, KnownKind::unknown);
    if (Status err = release(e, dynShape(held)); err != Status::ok) return err;
    Operand none = constantOperand(e, 0, 0, KnownKind::none);
    return storeOperand(e, slot, &none);
}

Status releaseSlots(Emitter* e, ValueRef array, uint64_t n) {
    ModuleRecord* m = &e->compiler->module;
    for (uint64_t i = 0; i < n; i++) {
        ValueRef index = constI64(e, i);
        openBlock(&e->builder);
        ValueRef at =
            T.LLVMBuildInBoundsGEP2(e->builder.builder, m->valuePair, array, &index, 1, "");
        Operand item = loadOperand(e, at, KnownKind::unknown);
        if (Status err = refcount(e, RefMode::decrement, item.tag, item.payload); err != Status::ok)
            return err;
    }
    return Status::ok;
}

bool mayHoldReference(const Shape& shape) {
    if (shape.kind == ShapeKind::dyn) return !neverCounted(shape.dyn.kind);
    if (shape.kind != ShapeKind::tuple) return false;
    for (uint64_t i = 0; i < shape.tuple.count; i++)
        if (mayHoldReference(shape.tuple.items[i])) return true;
    return false;
}

Status ownCopy(Emitter* e, const Shape& shape, Shape* out) {
    if (shape.kind == ShapeKind::tuple) {
        if (!mayHoldReference(shape)) {
            *out = shape;
            return Status::ok;
        }
        Shape* items = takeArray<Shape>(e->compiler, shape.tuple.count);
        if (!items) return Status::outOfMemory;
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (Status err = ownCopy(e, shape.tuple.items[i], &items[i]); err != Status::ok)
                return err;
        *out = shape;
        out->tuple.items = items;
        return Status::ok;
    }
    *out = shape;
    if (shape.kind != ShapeKind::dyn || neverCounted(shape.dyn.kind)) return Status::ok;
    Operand o = shape.dyn;
    if (o.borrowFlag) {
        const BorrowRecord* record = recordOfFlag(e, o.borrowFlag);
        if (record && copyMayBorrow(e, record->symbol))
            return borrowCopy(e, o, record->symbol, out);
    }
    if (Status err = takeOwnership(e, &o); err != Status::ok) return err;
    return refcount(e, RefMode::increment, o.tag, o.payload);
}

Status borrowOperand(Emitter* e, const Operand& value, uint32_t symbol, Operand* out) {
    ValueRef flag, copy;
    newBorrowSlots(e, &flag, &copy);
    storePair(e, copy, value.tag, value.payload);
    storeWord(e, constI64(e, uint64_t(BorrowFlag::borrowed)), flag);
    if (!e->borrows.push(BorrowRecord{flag, copy, symbol})) return Status::outOfMemory;
    *out = value;
    out->source = copy;
    out->borrowFlag = flag;
    return Status::ok;
}

Status ownBorrowsOf(Emitter* e, uint32_t symbol) {
    // The list does not change below: takeOwnership adds no record.
    for (size_t i = 0; i < e->borrows.count; i++) {
        BorrowRecord r = e->borrows[i];
        if (r.symbol != symbol) continue;
        Operand held = loadOperand(e, r.copy, KnownKind::unknown);
        held.borrowFlag = r.flag;
        if (Status err = takeOwnership(e, &held); err != Status::ok) return err;
    }
    return Status::ok;
}

Status ownGlobalBorrows(Emitter* e) {
    for (size_t i = 0; i < e->borrows.count; i++) {
        BorrowRecord r = e->borrows[i];
        if (scopeOfSymbol(e, r.symbol) != -1) continue;
        Operand held = loadOperand(e, r.copy, KnownKind::unknown);
        held.borrowFlag = r.flag;
        if (Status err = takeOwnership(e, &held); err != Status::ok) return err;
    }
    return Status::ok;
}

}  // namespace wuna::compile
