// The pieces the operator emitters share (see operators.h).
#include "compiler/codegen/operators.h"

#include "wuna/runtime/value_layout.h"

namespace wuna::compile::ops {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Bit 4 is all that tells a checked int (tag 2) from a plain one (tag 18).
constexpr uint64_t kIntTagBit = value::TagPint ^ value::TagInt;
static_assert(kIntTagBit == 16);

}  // namespace

ValueRef smallIntSide(Emitter* e, ValueRef tag, KnownKind kind) {
    if (kind == KnownKind::int_) return T.LLVMConstInt(e->compiler->module.i1, 1, 0);
    openBlock(&e->builder);
    ValueRef cleared = T.LLVMBuildAnd(e->builder.builder, tag, constI64(e, ~kIntTagBit), "");
    return icmp(&e->builder, llvmapi::IntEQ, cleared, constI64(e, value::TagInt));
}

ValueRef smallIntTest(Emitter* e, const Operand& left, const Operand& right) {
    ValueRef l = smallIntSide(e, left.tag, left.kind);
    ValueRef r = smallIntSide(e, right.tag, right.kind);
    openBlock(&e->builder);
    return T.LLVMBuildAnd(e->builder.builder, l, r, "");
}

ValueRef isSmallInt(Emitter* e, ValueRef tag) {
    openBlock(&e->builder);
    ValueRef set = T.LLVMBuildOr(e->builder.builder, tag, constI64(e, kIntTagBit), "");
    return icmp(&e->builder, llvmapi::IntEQ, set, constI64(e, value::TagPint));
}

Status makeBlocks(Emitter* e, const char* const* names, unsigned count, BasicBlockRef* out) {
    for (unsigned i = 0; i < count; i++)
        if (Status err = newBlock(&e->builder, names[i], &out[i]); err != Status::ok) return err;
    return Status::ok;
}

ValueRef phi2(Emitter* e, ValueRef a, BasicBlockRef fromA, ValueRef b, BasicBlockRef fromB) {
    openBlock(&e->builder);
    ValueRef phi = T.LLVMBuildPhi(e->builder.builder, e->compiler->module.i64, "");
    ValueRef values[2] = {a, b};
    BasicBlockRef blocks[2] = {fromA, fromB};
    T.LLVMAddIncoming(phi, values, blocks, 2);
    return phi;
}

Status callPairHelper(Emitter* e, const char* helper, int32_t site, int32_t code,
                      const Operand& left, const Operand& right, ValueRef* ok) {
    ValueRef args[8] = {e->runContext, siteValue(e, site), constI32(e, code), left.tag,
                        left.payload,  right.tag,          right.payload,     e->scratch};
    return callHelper(e, helper, args, 8, ok);
}

Status callPairConsuming(Emitter* e, const char* helper, int32_t site, int32_t code,
                         const Operand& left, const Operand& right, KnownKind kind, Operand* out) {
    ValueRef ok;
    if (Status err = callPairHelper(e, helper, site, code, left, right, &ok); err != Status::ok)
        return err;
    // Released before the test, so the failure branch owes nothing for them.
    if (Status err = release(e, dynShape(left)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(right)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, kind);
    return Status::ok;
}

Status joinHelperSide(Emitter* e, const char* helper, int32_t site, int32_t code,
                      const Operand& left, const Operand& right, KnownKind kind,
                      BasicBlockRef done, ValueRef inlineValue, BasicBlockRef inlineEnd,
                      Operand* out) {
    ValueRef ok;
    if (Status err = callPairHelper(e, helper, site, code, left, right, &ok); err != Status::ok)
        return err;
    // Released after the join; the failure branch drops them itself.
    Shape held[2] = {dynShape(left), dynShape(right)};
    if (Status err = checkOkHolding(e, ok, held, 2); err != Status::ok) return err;
    Operand loaded = loadOperand(e, e->scratch, kind);
    BasicBlockRef helperEnd = e->builder.current;
    br(&e->builder, done);
    enter(&e->builder, done);
    Operand result = constantOperand(e, value::TagPint, 0, kind);
    result.tag = phi2(e, constI64(e, value::TagPint), inlineEnd, loaded.tag, helperEnd);
    result.payload = phi2(e, inlineValue, inlineEnd, loaded.payload, helperEnd);
    if (Status err = release(e, held[0]); err != Status::ok) return err;
    if (Status err = release(e, held[1]); err != Status::ok) return err;
    *out = result;
    return Status::ok;
}

Status checkOkHolding(Emitter* e, ValueRef ok, const Shape* held, unsigned count) {
    size_t mark = e->temporaries.count;
    for (unsigned i = 0; i < count; i++)
        if (!e->temporaries.push(held[i])) {
            e->temporaries.cut(mark);
            return Status::outOfMemory;
        }
    Status err = checkOk(e, ok);
    e->temporaries.cut(mark);
    return err;
}

Operand boolOperand(Emitter* e, ValueRef bit) {
    openBlock(&e->builder);
    Operand o = constantOperand(e, value::TagBool, 0, KnownKind::bool_);
    o.payload = T.LLVMBuildZExt(e->builder.builder, bit, e->compiler->module.i64, "");
    return o;
}

Status materializeAfter(Emitter* e, const Shape& shape, int32_t site, const Operand* held,
                        Operand* out) {
    size_t mark = e->temporaries.count;
    if (held && !neverCounted(held->kind) && !e->temporaries.push(dynShape(*held)))
        return Status::outOfMemory;
    Status err = materialize(e, shape, site, out);
    e->temporaries.cut(mark);
    return err;
}

}  // namespace wuna::compile::ops
