// Augmented assignment: the new value of x op= y. Python changes a list, set, dict or object
// in place, so a left operand that may be one is sent to wn_inplace at run time; every other
// value is combined as the plain binary operator (folding and fast paths included).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Run-time tags the in-place route takes, in the order they are tested.
constexpr uint64_t kInPlaceTags[] = {value::TagPy, value::TagList, value::TagSet, value::TagDict};

enum class Route : uint8_t { none, materialized, operand, comptimeContainer };

Route routeOf(const Shape& left) {
    switch (left.kind) {
    case ShapeKind::list:
    case ShapeKind::dict: return Route::comptimeContainer;
    case ShapeKind::py: return Route::materialized;
    case ShapeKind::dyn:
        switch (left.dyn.kind) {
        case KnownKind::unknown:
        case KnownKind::list:
        case KnownKind::dict:
        case KnownKind::record: return Route::operand;
        default: return Route::none;
        }
    default: return Route::none;
    }
}

ValueRef inPlaceTest(Emitter* e, ValueRef tag) {
    ValueRef any = nullptr;
    for (uint64_t t : kInPlaceTags) {
        ValueRef is = icmp(&e->builder, llvmapi::IntEQ, tag, constI64(e, t));
        any = any ? T.LLVMBuildOr(e->builder.builder, any, is, "") : is;
    }
    return any;
}

}  // namespace

Status emitInplace(Emitter* e, Semantic* s, front::BinaryOp op, Shape* current, Shape* right,
                   front::Position at, Shape* out) {
    Route route = routeOf(*current);
    if (route == Route::none) return emitBinary(e, s, op, current, right, at, out);
    int32_t site = ops::siteOf(s);
    Operand l, r;
    if (route == Route::comptimeContainer) {
        // A list or dict made while compiling is made at run time first, every variable
        // holding it told so (refused where that can't be done); the right side may hold it
        // too (xs += xs) and then reads the run-time one.
        const void* record = current->kind == ShapeKind::list
                                 ? static_cast<const void*>(current->list)
                                 : static_cast<const void*>(current->dict);
        if (Status err = changeComptime(e, current, site, &l); err != Status::ok) return err;
        if (Status err = substitute(e, right, record, l, kContainerDepth); err != Status::ok)
            return err;
    } else if (Status err = materialize(e, *current, site, &l); err != Status::ok) {
        return err;
    }
    if (Status err = ops::materializeAfter(e, *right, site, &l, &r); err != Status::ok) return err;

    Builder* b = &e->builder;
    ValueRef join = valueSlot(e);
    BasicBlockRef blocks[3];
    static const char* const kNames[] = {"inplace", "not_inplace", "inplace_done"};
    if (Status err = ops::makeBlocks(e, kNames, 3, blocks); err != Status::ok) return err;
    auto [inplace, notInplace, done] = blocks;
    condBr(b, inPlaceTest(e, l.tag), inplace, notInplace);

    enter(b, inplace);
    Operand changed;
    if (Status err = ops::callPairConsuming(e, "wn_inplace", site, int32_t(op), l, r,
                                            KnownKind::unknown, &changed);
        err != Status::ok)
        return err;
    if (Status err = storeOperand(e, join, &changed); err != Status::ok) return err;
    br(b, done);

    enter(b, notInplace);
    Shape leftShape = dynShape(l), rightShape = dynShape(r), combined;
    if (Status err = emitBinary(e, s, op, &leftShape, &rightShape, at, &combined);
        err != Status::ok)
        return err;
    Operand value;
    if (Status err = materialize(e, combined, site, &value); err != Status::ok) return err;
    if (Status err = storeOperand(e, join, &value); err != Status::ok) return err;
    br(b, done);

    enter(b, done);
    *out = dynShape(loadOperand(e, join, KnownKind::unknown));
    return Status::ok;
}

}  // namespace wuna::compile
