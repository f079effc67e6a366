// Binary operators: folded through CPython when both operands are known while compiling, the
// small-int fast paths for + - * (overflow intrinsics) and // % (floor rules) guarded by tag
// tests, and wn_binary for everything else.
//
// A folded operation that raises (1 / 0, an I64 overflow, str - int) is not a compile error:
// the Python error is cleared and the operator is compiled for run time, so the program fails
// when and where the reference mode fails, with the helper's (Python's) words.
//
// Known kinds of results are promises later code leaves tag tests out for, so a result is
// marked only where every value it can have is of that kind: the joined result of a fast path
// is unknown (a plain int grows into a big int), so is a power (a negative base with a
// fractional exponent gives a complex).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <iterator>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using front::BinaryOp;

using PyBinary = PyObject* (*)(PyObject*, PyObject*);

PyObject* power(PyObject* a, PyObject* b) { return PyNumber_Power(a, b, Py_None); }

// Python's operator by code, for folding.
constexpr PyBinary kFold[] = {
    PyNumber_Add,    PyNumber_Subtract, PyNumber_Multiply, PyNumber_TrueDivide,
    PyNumber_FloorDivide, PyNumber_Remainder, power,       PyNumber_Lshift,
    PyNumber_Rshift, PyNumber_Or,       PyNumber_Xor,      PyNumber_And,
};
static_assert(std::size(kFold) == front::kBinaryOpCount);

bool isOneOf(BinaryOp op, std::initializer_list<BinaryOp> ops) {
    for (BinaryOp o : ops)
        if (o == op) return true;
    return false;
}

// The fold of two constants: *folded false (nothing pending) when Python raised.
Status foldBinary(Emitter* e, BinaryOp op, const Shape& left, const Shape& right, Shape* out,
                  bool* folded) {
    *folded = false;
    Compiler* c = e->compiler;
    PyObject *l, *r;
    if (Status err = toPython(c, left, &l); err != Status::ok) return err;
    if (Status err = toPython(c, right, &r); err != Status::ok) {
        Py_DECREF(l);
        return err;
    }
    PyObject* result = kFold[uint8_t(op)](l, r);
    Status err = Status::ok;
    if (result) {
        err = fromPython(c, result, out);
        *folded = err == Status::ok;
        Py_DECREF(result);
    } else {
        PyErr_Clear();  // raised again by the run-time code, when it runs
    }
    Py_DECREF(r);
    Py_DECREF(l);
    return err;
}

// What the generic helper's result is sure to be.
KnownKind genericKind(BinaryOp op, KnownKind left, KnownKind right) {
    bool ints = left == KnownKind::int_ && right == KnownKind::int_;
    // Shifts right and bit operations of two 64-bit ints stay within 64 bits.
    if (ints && isOneOf(op, {BinaryOp::rshift, BinaryOp::bitor_, BinaryOp::bitxor,
                             BinaryOp::bitand_}))
        return KnownKind::int_;
    bool numbers = (left == KnownKind::int_ || left == KnownKind::float_) &&
                   (right == KnownKind::int_ || right == KnownKind::float_);
    bool anyFloat = left == KnownKind::float_ || right == KnownKind::float_;
    if (numbers && anyFloat &&
        isOneOf(op, {BinaryOp::add, BinaryOp::sub, BinaryOp::mul, BinaryOp::div,
                     BinaryOp::floordiv, BinaryOp::mod}))
        return KnownKind::float_;
    return KnownKind::unknown;
}

bool intKind(KnownKind k) { return k == KnownKind::unknown || k == KnownKind::int_; }

// The overflow intrinsic of + - *.
const FunctionRef& overflowIntrinsic(Compiler* c, BinaryOp op) {
    return c->overflow[op == BinaryOp::add ? 0 : op == BinaryOp::sub ? 1 : 2];
}

// The inline result of a fast path and the block it ends in.
struct InlineSide {
    ValueRef tag;
    ValueRef payload;
    BasicBlockRef end;
};

// The generic side of a fast path (its block, then the helper), and the join: phis of the
// inline values and the helper's result. Known kind unknown: a plain int may have grown.
Status joinGeneric(Emitter* e, int32_t site, BinaryOp op, const Operand& left,
                   const Operand& right, BasicBlockRef generic, BasicBlockRef joined,
                   const InlineSide& inlined, Operand* out) {
    Builder* b = &e->builder;
    enter(b, generic);
    Operand result;
    if (Status err = emitBinaryGeneric(e, site, op, left, right, &result); err != Status::ok)
        return err;
    BasicBlockRef genericEnd = b->current;
    br(b, joined);
    enter(b, joined);
    Operand o{};
    o.tag = ops::phi2(e, inlined.tag, inlined.end, result.tag, genericEnd);
    o.payload = ops::phi2(e, inlined.payload, inlined.end, result.payload, genericEnd);
    o.functionNode = kNoFunctionNode;
    o.kind = KnownKind::unknown;
    *out = o;
    return Status::ok;
}

Status overflowPath(Emitter* e, int32_t site, BinaryOp op, const Operand& left,
                    const Operand& right, Operand* out) {
    Builder* b = &e->builder;
    BasicBlockRef blocks[6];
    static const char* const kNames[] = {"int",      "generic",     "joined",
                                         "overflow", "no_overflow", "i64_overflow"};
    if (Status err = ops::makeBlocks(e, kNames, 6, blocks); err != Status::ok) return err;
    auto [intBlock, generic, joined, overflow, noOverflow, i64Overflow] = blocks;
    condBr(b, ops::smallIntTest(e, left, right), intBlock, generic);

    enter(b, intBlock);
    BuilderRef B = b->builder;
    ValueRef tag = T.LLVMBuildAnd(B, left.tag, right.tag, "");
    const FunctionRef& intrinsic = overflowIntrinsic(e->compiler, op);
    ValueRef args[2] = {left.payload, right.payload};
    ValueRef pair = T.LLVMBuildCall2(B, intrinsic.type, intrinsic.function, args, 2, "");
    ValueRef result = T.LLVMBuildExtractValue(B, pair, 0, "");
    ValueRef overflowed = T.LLVMBuildExtractValue(B, pair, 1, "");
    condBr(b, overflowed, overflow, noOverflow);

    // Two plain ints go on to the helper, which gives the exact big int; an I64 fails.
    enter(b, overflow);
    condBr(b, icmp(b, llvmapi::IntEQ, tag, constI64(e, value::TagPint)), generic, i64Overflow);
    enter(b, i64Overflow);
    ValueRef failArgs[2] = {e->runContext, siteValue(e, site)};
    if (Status err = callHelper(e, "wn_overflow", failArgs, 2, nullptr); err != Status::ok)
        return err;
    BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(b, exit);

    enter(b, noOverflow);
    br(b, joined);
    return joinGeneric(e, site, op, left, right, generic, joined,
                       InlineSide{tag, result, noOverflow}, out);
}

Status floorPath(Emitter* e, int32_t site, BinaryOp op, const Operand& left, const Operand& right,
                 Operand* out) {
    Builder* b = &e->builder;
    BasicBlockRef blocks[3];
    static const char* const kNames[] = {"int_div", "generic", "joined"};
    if (Status err = ops::makeBlocks(e, kNames, 3, blocks); err != Status::ok) return err;
    auto [intDiv, generic, joined] = blocks;
    // 0 and -1 go to the helper: its division error, and the smallest i64 divided by -1.
    ValueRef notZero = icmp(b, llvmapi::IntNE, right.payload, constI64(e, 0));
    ValueRef notMinusOne = icmp(b, llvmapi::IntNE, right.payload, constI64(e, ~uint64_t(0)));
    ValueRef ints = ops::smallIntTest(e, left, right);
    BuilderRef B = b->builder;
    ValueRef guard = T.LLVMBuildAnd(B, notZero, notMinusOne, "");
    condBr(b, T.LLVMBuildAnd(B, ints, guard, ""), intDiv, generic);

    enter(b, intDiv);
    ValueRef tag = T.LLVMBuildAnd(B, left.tag, right.tag, "");
    ValueRef q = T.LLVMBuildSDiv(B, left.payload, right.payload, "");
    ValueRef r = T.LLVMBuildSRem(B, left.payload, right.payload, "");
    // A nonzero remainder whose sign differs from the divisor's moves the result one down.
    ValueRef signs = T.LLVMBuildXor(B, r, right.payload, "");
    ValueRef adjust = T.LLVMBuildAnd(B, icmp(b, llvmapi::IntNE, r, constI64(e, 0)),
                                     icmp(b, llvmapi::IntSLT, signs, constI64(e, 0)), "");
    ValueRef value =
        op == BinaryOp::floordiv
            ? T.LLVMBuildSelect(B, adjust, T.LLVMBuildSub(B, q, constI64(e, 1), ""), q, "")
            : T.LLVMBuildSelect(B, adjust, T.LLVMBuildAdd(B, r, right.payload, ""), r, "");
    BasicBlockRef intEnd = b->current;
    br(b, joined);
    return joinGeneric(e, site, op, left, right, generic, joined, InlineSide{tag, value, intEnd},
                       out);
}

}  // namespace

Status emitBinaryGeneric(Emitter* e, int32_t site, BinaryOp op, const Operand& left,
                         const Operand& right, Operand* out) {
    return ops::callPairConsuming(e, "wn_binary", site, int32_t(op), left, right,
                                  genericKind(op, left.kind, right.kind), out);
}

Status emitBinary(Emitter* e, Semantic* s, BinaryOp op, Shape* left, Shape* right,
                  front::Position, Shape* out) {
    if (uint8_t(op) >= front::kBinaryOpCount) return refuseConstruct(e, "an unknown operator");
    if (left->kind != ShapeKind::dyn && right->kind != ShapeKind::dyn && isConstant(*left) &&
        isConstant(*right)) {
        bool folded;
        if (Status err = foldBinary(e, op, *left, *right, out, &folded); err != Status::ok)
            return err;
        if (folded) return Status::ok;
    }
    int32_t site = ops::siteOf(s);
    Operand l, r;
    if (Status err = materialize(e, *left, site, &l); err != Status::ok) return err;
    if (Status err = ops::materializeAfter(e, *right, site, &l, &r); err != Status::ok) return err;
    Operand result;
    Status err;
    if (intKind(l.kind) && intKind(r.kind) &&
        isOneOf(op, {BinaryOp::add, BinaryOp::sub, BinaryOp::mul}))
        err = overflowPath(e, site, op, l, r, &result);
    else if (intKind(l.kind) && intKind(r.kind) &&
             isOneOf(op, {BinaryOp::floordiv, BinaryOp::mod}))
        err = floorPath(e, site, op, l, r, &result);
    else
        err = emitBinaryGeneric(e, site, op, l, r, &result);
    if (err != Status::ok) return err;
    *out = dynShape(result);
    return Status::ok;
}

}  // namespace wuna::compile
