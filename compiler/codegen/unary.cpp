// Unary operators: not through the truth test; - + ~ folded through CPython when the operand
// is known while compiling, else wn_unary.
//
// A folded operator that raises (~ of a float) is compiled for run time, where it raises with
// the reference mode's words. The negation of a plain int may leave 64 bits (-(-2**63) is a
// big int), so only + and ~ keep an int operand's known kind; every float result but ~'s
// (which fails) is a float.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <iterator>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using front::UnaryOp;

using PyUnary = PyObject* (*)(PyObject*);
// Python's operator by code; not is never folded here.
constexpr PyUnary kFold[] = {PyNumber_Negative, PyNumber_Positive, nullptr, PyNumber_Invert};
static_assert(std::size(kFold) == front::kUnaryOpCount);

KnownKind resultKind(UnaryOp op, KnownKind operand) {
    if (operand == KnownKind::float_) return KnownKind::float_;
    if (operand == KnownKind::int_ && op != UnaryOp::neg) return KnownKind::int_;
    return KnownKind::unknown;
}

Status emitNot(Emitter* e, Semantic* s, Shape* operand, Shape* out) {
    Truth t;
    if (Status err = emitTruthy(e, *operand, ops::siteOf(s), &t); err != Status::ok) return err;
    if (!t.isValue) {
        *out = ops::boolShape(!(t.known & 1));
        return Status::ok;
    }
    openBlock(&e->builder);
    ValueRef negated =
        T.LLVMBuildXor(e->builder.builder, t.value, T.LLVMConstInt(e->compiler->module.i1, 1, 0), "");
    *out = dynShape(ops::boolOperand(e, negated));
    return Status::ok;
}

// The fold of a constant: *folded false (nothing pending) when Python raised.
Status foldUnary(Emitter* e, UnaryOp op, const Shape& operand, Shape* out, bool* folded) {
    *folded = false;
    PyObject* object;
    if (Status err = toPython(e->compiler, operand, &object); err != Status::ok) return err;
    PyObject* result = kFold[uint8_t(op)](object);
    Status err = Status::ok;
    if (result) {
        err = fromPython(e->compiler, result, out);
        *folded = err == Status::ok;
        Py_DECREF(result);
    } else {
        PyErr_Clear();  // raised again by the run-time code, when it runs
    }
    Py_DECREF(object);
    return err;
}

}  // namespace

Status emitUnary(Emitter* e, Semantic* s, UnaryOp op, Shape* operand, front::Position,
                 Shape* out) {
    if (uint8_t(op) >= front::kUnaryOpCount) return refuseConstruct(e, "an unknown operator");
    if (op == UnaryOp::not_) return emitNot(e, s, operand, out);
    if (operand->kind != ShapeKind::dyn && isConstant(*operand)) {
        bool folded;
        if (Status err = foldUnary(e, op, *operand, out, &folded); err != Status::ok) return err;
        if (folded) return Status::ok;
    }
    int32_t site = ops::siteOf(s);
    Operand o;
    if (Status err = materialize(e, *operand, site, &o); err != Status::ok) return err;
    ValueRef args[6] = {e->runContext, siteValue(e, site), constI32(e, int32_t(op)),
                        o.tag,         o.payload,          e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_unary", args, 6, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, resultKind(op, o.kind)));
    return Status::ok;
}

}  // namespace wuna::compile
