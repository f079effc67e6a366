// rt.wrapping_add .. rt.wrapping_ushr: 64-bit two's-complement arithmetic that wraps instead
// of growing or failing. Folded for two int constants, one instruction after a two-tag test
// for small ints at run time, wn_wrapping for everything else (which accepts ints within 64
// bits only, as the reference mode does, and fails with its TypeError otherwise).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// The operation codes shared with wn_wrapping.
enum class WrappingOp : uint8_t { add = 0, sub = 1, mul = 2, shl = 3, shr = 4, ushr = 5 };
inline constexpr uint8_t kWrappingOpCount = 6;

bool intConstant(const Shape& s) { return s.kind == ShapeKind::int_ || s.kind == ShapeKind::pint; }

int64_t foldWrapping(WrappingOp op, int64_t a, int64_t b) {
    uint64_t x = uint64_t(a), y = uint64_t(b);
    unsigned count = unsigned(y & 63);
    switch (op) {
    case WrappingOp::add: return int64_t(x + y);
    case WrappingOp::sub: return int64_t(x - y);
    case WrappingOp::mul: return int64_t(x * y);
    case WrappingOp::shl: return int64_t(x << count);
    case WrappingOp::shr: return a >> count;  // arithmetic: the sign is kept
    case WrappingOp::ushr: return int64_t(x >> count);
    }
    return 0;
}

ValueRef inlineWrapping(Emitter* e, WrappingOp op, ValueRef a, ValueRef b) {
    openBlock(&e->builder);
    BuilderRef B = e->builder.builder;
    switch (op) {
    case WrappingOp::add: return T.LLVMBuildAdd(B, a, b, "");
    case WrappingOp::sub: return T.LLVMBuildSub(B, a, b, "");
    case WrappingOp::mul: return T.LLVMBuildMul(B, a, b, "");
    default: break;
    }
    ValueRef count = T.LLVMBuildAnd(B, b, constI64(e, 63), "");
    if (op == WrappingOp::shl) return T.LLVMBuildShl(B, a, count, "");
    if (op == WrappingOp::shr) return T.LLVMBuildAShr(B, a, count, "");
    return T.LLVMBuildLShr(B, a, count, "");
}

}  // namespace

Status emitWrapping(Emitter* e, Semantic* s, uint8_t operation, Shape* left, Shape* right,
                    Shape* out) {
    if (operation >= kWrappingOpCount) return refuseConstruct(e, "an unknown wrapping operation");
    auto op = WrappingOp(operation);
    if (intConstant(*left) && intConstant(*right)) {
        Shape folded{};
        folded.kind = ShapeKind::pint;
        folded.int_ = foldWrapping(op, left->int_, right->int_);
        *out = folded;
        return Status::ok;
    }
    int32_t site = ops::siteOf(s);
    Operand a, b;
    if (Status err = materialize(e, *left, site, &a); err != Status::ok) return err;
    if (Status err = ops::materializeAfter(e, *right, site, &a, &b); err != Status::ok) return err;
    Builder* bl = &e->builder;
    BasicBlockRef blocks[3];
    static const char* const kNames[] = {"wrap_ints", "wrap_other", "wrap_done"};
    if (Status err = ops::makeBlocks(e, kNames, 3, blocks); err != Status::ok) return err;
    auto [ints, other, done] = blocks;
    ValueRef both = T.LLVMBuildAnd(bl->builder, ops::isSmallInt(e, a.tag),
                                   ops::isSmallInt(e, b.tag), "");
    condBr(bl, both, ints, other);

    enter(bl, ints);
    ValueRef value = inlineWrapping(e, op, a.payload, b.payload);
    br(bl, done);

    enter(bl, other);
    Operand result;
    if (Status err = ops::joinHelperSide(e, "wn_wrapping", site, operation, a, b, KnownKind::int_,
                                         done, value, ints, &result);
        err != Status::ok)
        return err;
    *out = dynShape(result);
    return Status::ok;
}

}  // namespace wuna::compile
