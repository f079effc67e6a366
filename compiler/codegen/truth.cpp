// The truth of a value (see lower.h emitTruthy): known while compiling wherever the shape
// says it, so the caller can drop the branch not taken; otherwise an i1 from an inline test
// chosen by the operand's known kind (a length word, a payload, a float compare), or from
// wn_truthy. Then the conditional expression with a run-time condition (expression_parts.h).
#include <cstddef>

#include "compiler/codegen/expression_parts.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// The length word every sized block keeps right after its header: a str's byte length, a
// list's and a tuple's item count, a dict's live entries. Zero exactly when the value is
// empty, so one load answers the truth of each.
constexpr uint64_t kLengthWord = offsetof(value::Str, length);
static_assert(offsetof(value::List, count) == kLengthWord &&
              offsetof(value::Tuple, count) == kLengthWord &&
              offsetof(value::Dict, length) == kLengthWord);

// LLVM's fcmp une: unordered or not equal, so a NaN is true and -0.0 false, as in Python.
constexpr int kRealUnorderedOrNotEqual = 14;

// How the truth of a run-time value of each known kind is tested.
enum class TruthTest : uint8_t { never, always, payload, floatPayload, lengthWord, helper };

constexpr TruthTest kTests[] = {
    TruthTest::helper,        // unknown
    TruthTest::never,         // none
    TruthTest::payload,       // bool
    TruthTest::payload,       // int
    TruthTest::floatPayload,  // float
    TruthTest::lengthWord,    // str
    TruthTest::lengthWord,    // list
    TruthTest::lengthWord,    // tuple
    TruthTest::lengthWord,    // dict
    TruthTest::helper,        // record: its class may define __bool__ or __len__
    TruthTest::always,        // function
    TruthTest::helper,        // node
};
static_assert(sizeof kTests / sizeof kTests[0] == size_t(KnownKind::node) + 1);

Truth known(bool value) {
    Truth t{};
    t.known = value ? 1 : 0;
    return t;
}

Truth atRunTime(ValueRef bit) {
    Truth t{};
    t.value = bit;
    t.isValue = 1;
    return t;
}

ValueRef bitConstant(Emitter* e, bool value) {
    return T.LLVMConstInt(e->compiler->module.i1, value ? 1 : 0, 0);
}

ValueRef lengthOf(Emitter* e, ValueRef payload) {
    ModuleRecord* m = &e->compiler->module;
    openBlock(&e->builder);
    BuilderRef B = e->builder.builder;
    ValueRef block = T.LLVMBuildIntToPtr(B, payload, m->ptr, "");
    ValueRef offset = constI64(e, kLengthWord);
    ValueRef address = T.LLVMBuildInBoundsGEP2(B, m->i8, block, &offset, 1, "");
    return loadWord(e, address);
}

// The i1 of a run-time operand; the operand is consumed.
Status runtimeTruth(Emitter* e, const Operand& o, Truth* out) {
    uint8_t kind = uint8_t(o.kind) & 0xF;
    TruthTest test = kind < sizeof kTests / sizeof kTests[0] ? kTests[kind] : TruthTest::helper;
    ModuleRecord* m = &e->compiler->module;
    ValueRef bit = nullptr;
    switch (test) {
    case TruthTest::never: bit = bitConstant(e, false); break;
    case TruthTest::always: bit = bitConstant(e, true); break;
    case TruthTest::payload:
        bit = icmp(&e->builder, llvmapi::IntNE, o.payload, constI64(e, 0));
        break;
    case TruthTest::floatPayload: {
        openBlock(&e->builder);
        BuilderRef B = e->builder.builder;
        ValueRef number = T.LLVMBuildBitCast(B, o.payload, m->f64, "");
        bit = T.LLVMBuildFCmp(B, kRealUnorderedOrNotEqual, number, T.LLVMConstNull(m->f64), "");
        break;
    }
    case TruthTest::lengthWord:
        bit = icmp(&e->builder, llvmapi::IntNE, lengthOf(e, o.payload), constI64(e, 0));
        break;
    case TruthTest::helper: {
        ValueRef args[2] = {o.tag, o.payload};
        if (Status err = callHelper(e, "wn_truthy", args, 2, &bit); err != Status::ok) return err;
        break;
    }
    }
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    *out = atRunTime(bit);
    return Status::ok;
}

}  // namespace

Status emitTruthy(Emitter* e, const Shape& value, int32_t site, Truth* out) {
    switch (value.kind) {
    case ShapeKind::none: *out = known(false); return Status::ok;
    case ShapeKind::bool_: *out = known(value.bool_ & 1); return Status::ok;
    case ShapeKind::int_:
    case ShapeKind::pint: *out = known(value.int_ != 0); return Status::ok;
    case ShapeKind::float_: *out = known(value.float_ != 0.0); return Status::ok;
    case ShapeKind::str: *out = known(value.str.length != 0); return Status::ok;
    case ShapeKind::tuple: *out = known(value.tuple.count != 0); return Status::ok;
    case ShapeKind::list: *out = known(value.list->length != 0); return Status::ok;
    case ShapeKind::dict: *out = known(value.dict->keyLength != 0); return Status::ok;
    case ShapeKind::node:
    case ShapeKind::rt:
    case ShapeKind::rtMethod:
    case ShapeKind::control:
    case ShapeKind::method: *out = known(true); return Status::ok;
    case ShapeKind::py: {
        int stable = front::isStable(value.py);
        if (stable < 0) return Status::pythonError;
        if (stable) {
            int truth = PyObject_IsTrue(value.py);
            if (truth < 0) return Status::pythonError;
            *out = known(truth != 0);
            return Status::ok;
        }
        // Its truth may change while the program runs: asked each time the code runs.
        Operand o;
        if (Status err = materialize(e, value, site, &o); err != Status::ok) return err;
        return runtimeTruth(e, o, out);
    }
    case ShapeKind::dyn: {
        Operand o;
        if (Status err = materialize(e, value, site, &o); err != Status::ok) return err;
        return runtimeTruth(e, o, out);
    }
    }
    return refuseConstruct(e, "a truth test of this value");
}

Status emitIfExp(Emitter* e, Semantic* s, ValueRef condition, const front::Expr* then,
                 const front::Expr* otherwise, Shape* out) {
    Builder* b = &e->builder;
    ValueRef slot = valueSlot(e);
    BasicBlockRef thenBlock, elseBlock, end;
    if (Status err = newBlock(b, "ifexp_then", &thenBlock); err != Status::ok) return err;
    if (Status err = newBlock(b, "ifexp_else", &elseBlock); err != Status::ok) return err;
    if (Status err = newBlock(b, "ifexp_end", &end); err != Status::ok) return err;
    condBr(b, condition, thenBlock, elseBlock);
    // Inside the branches, lists and dicts made while compiling are inside run-time control
    // flow.
    s->controlDepth++;
    e->controlDepth++;
    KnownKind kinds[2] = {KnownKind::unknown, KnownKind::unknown};
    const front::Expr* branches[2] = {then, otherwise};
    BasicBlockRef blocks[2] = {thenBlock, elseBlock};
    Status err = Status::ok;
    for (int i = 0; i < 2 && err == Status::ok; i++) {
        enter(b, blocks[i]);
        Shape shape;
        Operand o;
        err = emitExpr(e, s, branches[i], &shape);
        if (err == Status::ok) err = materialize(e, shape, s->site, &o);
        if (err == Status::ok) err = storeOperand(e, slot, &o);
        if (err == Status::ok) {
            kinds[i] = o.kind;
            br(b, end);
        }
    }
    s->controlDepth--;
    e->controlDepth--;
    if (err != Status::ok) return err;
    enter(b, end);
    *out = dynShape(loadOperand(e, slot, kinds[0] == kinds[1] ? kinds[0] : KnownKind::unknown));
    return Status::ok;
}

}  // namespace wuna::compile
