// Comparisons: == != < <= > >= is, is not, in, not in of two shapes.
//
// Decided while compiling where the shapes allow (identity of constants and nodes, folding
// through CPython, a str constant in a container of str constants, membership in constant
// elements); otherwise inline code for the frequent run-time cases (identity with None and
// bools, a value against str constants by length and bytes, small ints, a small int against
// an int constant beyond 64 bits) with wn_compare behind every one of them.
//
// A folded comparison that raises (1 < 'a') is compiled for run time, where it raises with
// the reference mode's words. Every run-time result is a bool of tag 1.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using front::CompareOp;

constexpr uint64_t kStrLength = offsetof(value::Str, length);
constexpr uint64_t kStrBytes = sizeof(value::Str);

// CPython's rich-comparison code and the integer predicate of eq .. ge.
struct Ordering {
    int rich;
    llvmapi::IntPredicate predicate;
};
constexpr Ordering kOrderings[] = {
    {Py_EQ, llvmapi::IntEQ},  {Py_NE, llvmapi::IntNE},  {Py_LT, llvmapi::IntSLT},
    {Py_LE, llvmapi::IntSLE}, {Py_GT, llvmapi::IntSGT}, {Py_GE, llvmapi::IntSGE},
};

bool ordering(CompareOp op) { return uint8_t(op) <= uint8_t(CompareOp::ge); }
bool identity(CompareOp op) { return op == CompareOp::is || op == CompareOp::isNot; }
bool membership(CompareOp op) { return op == CompareOp::in || op == CompareOp::notIn; }
// Whether the operator's answer is the negation of the plain test (is not, not in, !=).
bool negated(CompareOp op) {
    return op == CompareOp::isNot || op == CompareOp::notIn || op == CompareOp::ne;
}

bool isDyn(const Shape& s) { return s.kind == ShapeKind::dyn; }

// --- while compiling --------------------------------------------------------------------------

// Identity of two shapes known while compiling: *decided false for pairs left to run time.
void identityOf(const Shape& l, const Shape& r, bool* same, bool* decided) {
    *decided = true;
    if (l.kind == ShapeKind::none || r.kind == ShapeKind::none) {
        *same = l.kind == r.kind;
    } else if (l.kind == ShapeKind::bool_ && r.kind == ShapeKind::bool_) {
        *same = l.bool_ == r.bool_;
    } else if (l.kind == ShapeKind::py && r.kind == ShapeKind::py && l.py == r.py) {
        *same = true;
    } else if (l.kind == ShapeKind::node && r.kind == ShapeKind::node && l.node == r.node) {
        *same = true;
    } else {
        *decided = false;
    }
}

// The elements of a list or tuple shape when every one is a constant; count 0 otherwise.
struct Elements {
    const Shape* items;
    uint64_t count;
};

Elements constantElements(const Shape& shape) {
    Elements none{nullptr, 0};
    Elements all = shape.kind == ShapeKind::tuple ? Elements{shape.tuple.items, shape.tuple.count}
                   : shape.kind == ShapeKind::list
                       ? Elements{shape.list->items, shape.list->length}
                       : none;
    for (uint64_t i = 0; i < all.count; i++)
        if (!isConstant(all.items[i])) return none;
    return all;
}

// The str constants a value is compared with: for == and != the shape itself when it is one;
// for the other operators the elements of a list or tuple, or the keys of a dict, when all
// are (an empty container is accepted). *accepted false for anything else.
struct Texts {
    const Shape* items;
    uint64_t count;
    bool accepted;
};

Texts strConstants(CompareOp op, const Shape& shape) {
    Texts no{nullptr, 0, false};
    if (op == CompareOp::eq || op == CompareOp::ne)
        return shape.kind == ShapeKind::str ? Texts{&shape, 1, true} : no;
    Texts all = no;
    if (shape.kind == ShapeKind::tuple) all = {shape.tuple.items, shape.tuple.count, true};
    if (shape.kind == ShapeKind::list) all = {shape.list->items, shape.list->length, true};
    if (shape.kind == ShapeKind::dict) all = {shape.dict->keys, shape.dict->keyLength, true};
    for (uint64_t i = 0; i < all.count; i++)
        if (all.items[i].kind != ShapeKind::str) return no;
    return all;
}

bool sameText(const front::Text& a, const front::Text& b) {
    return a.length == b.length && (a.length == 0 || memcmp(a.data, b.data, a.length) == 0);
}

// Folds eq .. ge of two constants: *decided false (nothing pending) when Python raised.
Status foldOrdering(Emitter* e, CompareOp op, const Shape& l, const Shape& r, bool* answer,
                    bool* decided) {
    *decided = false;
    PyObject *a, *b;
    if (Status err = toPython(e->compiler, l, &a); err != Status::ok) return err;
    if (Status err = toPython(e->compiler, r, &b); err != Status::ok) {
        Py_DECREF(a);
        return err;
    }
    int result = PyObject_RichCompareBool(a, b, kOrderings[uint8_t(op)].rich);
    Py_DECREF(b);
    Py_DECREF(a);
    if (result < 0) {
        PyErr_Clear();  // raised again by the run-time code, when it runs
        return Status::ok;
    }
    *answer = result == 1;
    *decided = true;
    return Status::ok;
}

// x in (constants...): *decided false (nothing pending) when Python raised.
Status foldMembership(Emitter* e, const Shape& l, Elements elements, bool* answer,
                      bool* decided) {
    *decided = false;
    PyObject* tuple = PyTuple_New(Py_ssize_t(elements.count));
    if (!tuple) return Status::pythonError;
    for (uint64_t i = 0; i < elements.count; i++) {
        PyObject* item;
        if (Status err = toPython(e->compiler, elements.items[i], &item); err != Status::ok) {
            Py_DECREF(tuple);
            return err;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    PyObject* needle;
    if (Status err = toPython(e->compiler, l, &needle); err != Status::ok) {
        Py_DECREF(tuple);
        return err;
    }
    int found = PySequence_Contains(tuple, needle);
    Py_DECREF(needle);
    Py_DECREF(tuple);
    if (found < 0) {
        PyErr_Clear();
        return Status::ok;
    }
    *answer = found == 1;
    *decided = true;
    return Status::ok;
}

// Steps that decide while compiling; *decided false when run-time code is needed.
Status decideNow(Emitter* e, CompareOp op, const Shape& l, const Shape& r, Shape* out,
                 bool* decided) {
    *decided = false;
    bool answer = false, known = false;
    if (identity(op)) {
        identityOf(l, r, &answer, &known);
    } else if (ordering(op) && isConstant(l) && isConstant(r)) {
        if (Status err = foldOrdering(e, op, l, r, &answer, &known); err != Status::ok) return err;
        if (known) {
            *out = ops::boolShape(answer);
            *decided = true;
            return Status::ok;
        }
    }
    if (!known && l.kind == ShapeKind::node && r.kind == ShapeKind::node &&
        (op == CompareOp::eq || op == CompareOp::ne)) {
        answer = l.node == r.node;
        known = true;
    }
    if (!known && membership(op) && l.kind == ShapeKind::str) {
        Texts texts = strConstants(op, r);
        if (texts.accepted) {
            for (uint64_t i = 0; i < texts.count && !answer; i++)
                answer = sameText(texts.items[i].str, l.str);
            known = true;
        }
    }
    if (!known && membership(op) && isConstant(l)) {
        Elements elements = constantElements(r);
        if (elements.count)
            if (Status err = foldMembership(e, l, elements, &answer, &known); err != Status::ok)
                return err;
    }
    if (!known) return Status::ok;
    *out = ops::boolShape(negated(op) ? !answer : answer);
    *decided = true;
    return Status::ok;
}

// --- at run time ------------------------------------------------------------------------------

Shape boolResult(Emitter* e, ValueRef payload) {
    Operand o = constantOperand(e, value::TagBool, 0, KnownKind::bool_);
    o.payload = payload;
    return dynShape(o);
}

ValueRef zext(Emitter* e, ValueRef bit) {
    openBlock(&e->builder);
    return T.LLVMBuildZExt(e->builder.builder, bit, e->compiler->module.i64, "");
}

// is / is not of a run-time value against None or a bool: *done false for other pairs.
Status identityAtRunTime(Emitter* e, CompareOp op, const Shape& l, const Shape& r, Shape* out,
                         bool* done) {
    *done = false;
    const Shape& other = isDyn(l) ? r : l;
    const Shape& value = isDyn(l) ? l : r;
    if (!isDyn(value) || isDyn(other)) return Status::ok;
    Builder* b = &e->builder;
    ValueRef bit;
    if (other.kind == ShapeKind::none) {
        bit = icmp(b, llvmapi::IntEQ, value.dyn.tag, constI64(e, value::TagNone));
    } else if (other.kind == ShapeKind::bool_) {
        ValueRef isBool = icmp(b, llvmapi::IntEQ, value.dyn.tag, constI64(e, value::TagBool));
        ValueRef same = icmp(b, llvmapi::IntEQ, value.dyn.payload, constI64(e, other.bool_));
        bit = T.LLVMBuildAnd(b->builder, isBool, same, "");
    } else {
        return Status::ok;
    }
    if (Status err = release(e, value); err != Status::ok) return err;
    if (op == CompareOp::isNot) {
        openBlock(b);
        bit = T.LLVMBuildXor(b->builder, bit, T.LLVMConstInt(e->compiler->module.i1, 1, 0), "");
    }
    *out = boolResult(e, zext(e, bit));
    *done = true;
    return Status::ok;
}

Status constantBigMessage(Emitter* e) {
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    if (Status err = appendText(&e->compiler->message, "an int constant of 64 bits as a Python object");
        err != Status::ok)
        return err;
    return Status::unsupported;
}

// Materializes both shapes, left first, and calls the generic comparison.
Status genericOf(Emitter* e, int32_t site, CompareOp op, const Shape& l, const Shape& r,
                 Operand* out) {
    Operand a, b;
    if (Status err = materialize(e, l, site, &a); err != Status::ok) return err;
    if (Status err = ops::materializeAfter(e, r, site, &a, &b); err != Status::ok) return err;
    return emitCompareGeneric(e, site, op, a, b, out);
}

// eq .. ge of a small int against an int constant beyond 64 bits: *done false otherwise.
Status bigIntCompare(Emitter* e, int32_t site, CompareOp op, const Shape& l, const Shape& r,
                     Shape* out, bool* done) {
    *done = false;
    if (!ordering(op)) return Status::ok;
    bool bigLeft = l.kind == ShapeKind::py;
    const Shape& big = bigLeft ? l : r;
    const Shape& value = bigLeft ? r : l;
    if (big.kind != ShapeKind::py || !Py_IS_TYPE(big.py, &PyLong_Type) || !isDyn(value) ||
        (value.dyn.kind != KnownKind::unknown && value.dyn.kind != KnownKind::int_))
        return Status::ok;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(big.py, &overflow);
    if (PyErr_Occurred()) return Status::pythonError;
    if (overflow == 0) return constantBigMessage(e);
    bool positive = overflow > 0;
    bool answer = false;
    switch (op) {
    case CompareOp::ne: answer = true; break;
    case CompareOp::lt:
    case CompareOp::le: answer = bigLeft ? !positive : positive; break;
    case CompareOp::gt:
    case CompareOp::ge: answer = bigLeft ? positive : !positive; break;
    default: answer = false; break;
    }
    Builder* b = &e->builder;
    BasicBlockRef blocks[3];
    static const char* const kNames[] = {"big_int", "big_other", "big_cmp"};
    if (Status err = ops::makeBlocks(e, kNames, 3, blocks); err != Status::ok) return err;
    auto [bigInt, bigOther, bigCmp] = blocks;
    ValueRef isInt = T.LLVMBuildOr(
        b->builder, icmp(b, llvmapi::IntEQ, value.dyn.tag, constI64(e, value::TagInt)),
        icmp(b, llvmapi::IntEQ, value.dyn.tag, constI64(e, value::TagPint)), "");
    condBr(b, isInt, bigInt, bigOther);
    enter(b, bigInt);
    // Nothing to drop for an int; the release settles a borrow flag.
    if (Status err = release(e, value); err != Status::ok) return err;
    BasicBlockRef intEnd = b->current;
    br(b, bigCmp);
    enter(b, bigOther);
    Operand generic;
    if (Status err = genericOf(e, site, op, l, r, &generic); err != Status::ok) return err;
    BasicBlockRef otherEnd = b->current;
    br(b, bigCmp);
    enter(b, bigCmp);
    *out = boolResult(e, ops::phi2(e, constI64(e, answer ? 1 : 0), intEnd, generic.payload,
                                   otherEnd));
    *done = true;
    return Status::ok;
}

// The little-endian integer of n (1..8) bytes.
uint64_t chunkOf(const char* bytes, uint64_t n) {
    uint64_t v = 0;
    for (uint64_t i = 0; i < n; i++) v |= uint64_t(uint8_t(bytes[i])) << (8 * i);
    return v;
}

// The i1 that the str block at pointer holds exactly the text's bytes (its length known
// equal).
ValueRef bytesEqual(Emitter* e, ValueRef pointer, const front::Text& text) {
    ModuleRecord* m = &e->compiler->module;
    BuilderRef B = e->builder.builder;
    openBlock(&e->builder);
    ValueRef all = T.LLVMConstInt(m->i1, 1, 0);
    for (uint64_t k = 0; k < text.length; k += 8) {
        uint64_t n = text.length - k < 8 ? text.length - k : 8;
        TypeRef type = T.LLVMIntTypeInContext(m->context, unsigned(8 * n));
        ValueRef index = constI64(e, kStrBytes + k);
        ValueRef at = T.LLVMBuildInBoundsGEP2(B, m->i8, pointer, &index, 1, "");
        ValueRef chunk = T.LLVMBuildLoad2(B, type, at, "");
        T.LLVMSetAlignment(chunk, 8);
        ValueRef same = T.LLVMBuildICmp(B, llvmapi::IntEQ, chunk,
                                        T.LLVMConstInt(type, chunkOf(text.data + k, n), 0), "");
        all = T.LLVMBuildAnd(B, all, same, "");
    }
    return all;
}

// A run-time value against str constants by length and bytes, wn_compare for other values.
Status strCompare(Emitter* e, int32_t site, CompareOp op, const Shape& l, const Shape& r,
                  const Shape& subject, Texts texts, Shape* out) {
    Builder* b = &e->builder;
    ModuleRecord* m = &e->compiler->module;
    BasicBlockRef blocks[6];
    static const char* const kNames[] = {"str_cmp",  "generic_cmp", "str_hit",
                                         "str_miss", "str_done",    "cmp_joined"};
    if (Status err = ops::makeBlocks(e, kNames, 6, blocks); err != Status::ok) return err;
    auto [strCmp, genericCmp, hit, miss, done, joined] = blocks;
    condBr(b, icmp(b, llvmapi::IntEQ, subject.dyn.tag, constI64(e, value::TagStr)), strCmp,
           genericCmp);

    enter(b, strCmp);
    BuilderRef B = b->builder;
    ValueRef pointer = T.LLVMBuildIntToPtr(B, subject.dyn.payload, m->ptr, "");
    ValueRef index = constI64(e, kStrLength);
    ValueRef length = loadWord(e, T.LLVMBuildInBoundsGEP2(B, m->i8, pointer, &index, 1, ""));
    for (uint64_t i = 0; i < texts.count; i++) {
        const front::Text& text = texts.items[i].str;
        BasicBlockRef bytes, next;
        if (Status err = newBlock(b, "str_bytes", &bytes); err != Status::ok) return err;
        if (Status err = newBlock(b, "str_next", &next); err != Status::ok) return err;
        condBr(b, icmp(b, llvmapi::IntEQ, length, constI64(e, text.length)), bytes, next);
        enter(b, bytes);
        condBr(b, bytesEqual(e, pointer, text), hit, next);
        enter(b, next);
    }
    br(b, miss);
    enter(b, hit);
    br(b, done);
    enter(b, miss);
    br(b, done);
    enter(b, done);
    bool found = !negated(op);
    ValueRef strAnswer =
        ops::phi2(e, constI64(e, found ? 1 : 0), hit, constI64(e, found ? 0 : 1), miss);
    if (Status err = release(e, subject); err != Status::ok) return err;
    BasicBlockRef strEnd = b->current;
    br(b, joined);

    enter(b, genericCmp);
    Operand generic;
    if (Status err = genericOf(e, site, op, l, r, &generic); err != Status::ok) return err;
    BasicBlockRef genericEnd = b->current;
    br(b, joined);

    enter(b, joined);
    *out = boolResult(e, ops::phi2(e, strAnswer, strEnd, generic.payload, genericEnd));
    return Status::ok;
}

// Small ints compared inline, anything else through wn_compare.
Status intCompare(Emitter* e, int32_t site, CompareOp op, const Operand& l, const Operand& r,
                  Shape* out) {
    Builder* b = &e->builder;
    llvmapi::IntPredicate predicate = kOrderings[uint8_t(op)].predicate;
    if (l.kind == KnownKind::int_ && r.kind == KnownKind::int_) {
        *out = boolResult(e, zext(e, icmp(b, predicate, l.payload, r.payload)));
        return Status::ok;
    }
    BasicBlockRef blocks[3];
    static const char* const kNames[] = {"int_cmp", "generic_cmp", "cmp_joined"};
    if (Status err = ops::makeBlocks(e, kNames, 3, blocks); err != Status::ok) return err;
    auto [intCmp, genericCmp, joined] = blocks;
    condBr(b, ops::smallIntTest(e, l, r), intCmp, genericCmp);
    enter(b, intCmp);
    ValueRef inlineAnswer = zext(e, icmp(b, predicate, l.payload, r.payload));
    br(b, joined);
    enter(b, genericCmp);
    Operand generic;
    if (Status err = emitCompareGeneric(e, site, op, l, r, &generic); err != Status::ok)
        return err;
    BasicBlockRef genericEnd = b->current;
    br(b, joined);
    enter(b, joined);
    *out = boolResult(e, ops::phi2(e, inlineAnswer, intCmp, generic.payload, genericEnd));
    return Status::ok;
}

}  // namespace

Status emitCompareGeneric(Emitter* e, int32_t site, CompareOp op, const Operand& left,
                          const Operand& right, Operand* out) {
    return ops::callPairConsuming(e, "wn_compare", site, int32_t(op), left, right,
                                  KnownKind::bool_, out);
}

Status emitCompare(Emitter* e, Semantic* s, CompareOp op, Shape* left, Shape* right,
                   front::Position, Shape* out) {
    if (uint8_t(op) >= front::kCompareOpCount) return refuseConstruct(e, "an unknown comparison");
    const Shape& l = *left;
    const Shape& r = *right;
    int32_t site = ops::siteOf(s);
    if (!isDyn(l) && !isDyn(r)) {
        bool decided;
        if (Status err = decideNow(e, op, l, r, out, &decided); err != Status::ok) return err;
        if (decided) return Status::ok;
    }
    bool done = false;
    if (identity(op))
        if (Status err = identityAtRunTime(e, op, l, r, out, &done); err != Status::ok || done)
            return err;
    if (Status err = bigIntCompare(e, site, op, l, r, out, &done); err != Status::ok || done)
        return err;
    if ((op == CompareOp::eq || op == CompareOp::ne) && (isDyn(l) || isDyn(r))) {
        const Shape& subject = isDyn(l) ? l : r;
        Texts texts = strConstants(op, isDyn(l) ? r : l);
        if (texts.accepted) return strCompare(e, site, op, l, r, subject, texts, out);
    }
    if (membership(op) && isDyn(l)) {
        Texts texts = strConstants(op, r);
        if (texts.accepted) return strCompare(e, site, op, l, r, l, texts, out);
    }
    Operand a, b;
    if (Status err = materialize(e, l, site, &a); err != Status::ok) return err;
    if (Status err = ops::materializeAfter(e, r, site, &a, &b); err != Status::ok) return err;
    bool intKinds = (a.kind == KnownKind::unknown || a.kind == KnownKind::int_) &&
                    (b.kind == KnownKind::unknown || b.kind == KnownKind::int_);
    if (ordering(op) && intKinds) return intCompare(e, site, op, a, b, out);
    Operand generic;
    if (Status err = emitCompareGeneric(e, site, op, a, b, &generic); err != Status::ok)
        return err;
    *out = boolResult(e, generic.payload);
    return Status::ok;
}

}  // namespace wuna::compile
