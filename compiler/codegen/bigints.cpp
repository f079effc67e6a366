// Ints that may be big: a value that came from Python (a semantic run as Python, a field of
// the parser's tree, a value stored through rt) becomes the language's checked int when it
// fits 64 bits, and the run-time failure "integer overflow" when it does not. The test costs
// one or two tag compares on the common path; the helper is reached only for big ints and
// Python objects, behind a branch marked unlikely.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

constexpr char kOverflow[] = "integer overflow";

// llvm.expect.i1(bit, false), declared once per module.
Status unlikely(Emitter* e, ValueRef bit, ValueRef* out) {
    ModuleRecord* m = &e->compiler->module;
    static const char kName[] = "llvm.expect";
    unsigned id = T.LLVMLookupIntrinsicID(kName, strlen(kName));
    TypeRef overload = m->i1;
    ValueRef fn = T.LLVMGetIntrinsicDeclaration(m->module, id, &overload, 1);
    ValueRef args[2] = {bit, T.LLVMConstInt(m->i1, 0, 0)};
    openBlock(&e->builder);
    *out = T.LLVMBuildCall2(e->builder.builder, T.LLVMGlobalGetValueType(fn), fn, args, 2, "");
    return Status::ok;
}

// The site of a failure known while compiling: the innermost body's, else the given one.
int32_t failureSite(const Emitter* e, int32_t site) {
    return e->semantics.count ? e->semantics[e->semantics.count - 1]->site : site;
}

}  // namespace

Status emitBigIntCheck(Emitter* e, Shape* value, int32_t site, Shape* out) {
    const Shape& v = *value;
    if (v.kind == ShapeKind::pint) {
        *out = v;
        out->kind = ShapeKind::int_;
        return Status::ok;
    }
    if (v.kind == ShapeKind::py && Py_IS_TYPE(v.py, &PyLong_Type)) {
        if (Status err = failWith(e, failureSite(e, site), kOverflow, sizeof kOverflow - 1);
            err != Status::ok)
            return err;
        *out = noneShape();
        return Status::ok;
    }
    if (v.kind != ShapeKind::dyn ||
        (v.dyn.kind != KnownKind::unknown && v.dyn.kind != KnownKind::int_)) {
        *out = v;
        return Status::ok;
    }
    Operand o = v.dyn;
    Builder* b = &e->builder;
    if (o.kind == KnownKind::unknown) {
        BasicBlockRef blocks[3];
        static const char* const kNames[] = {"maybe_big", "big_int", "not_big"};
        if (Status err = ops::makeBlocks(e, kNames, 3, blocks); err != Status::ok) return err;
        auto [maybeBig, bigInt, notBig] = blocks;
        ValueRef isBig = icmp(b, llvmapi::IntEQ, o.tag, constI64(e, value::TagBig));
        ValueRef isPy = icmp(b, llvmapi::IntEQ, o.tag, constI64(e, value::TagPy));
        ValueRef either = T.LLVMBuildOr(b->builder, isBig, isPy, "");
        if (Status err = unlikely(e, either, &either); err != Status::ok) return err;
        condBr(b, either, maybeBig, notBig);
        enter(b, maybeBig);
        ValueRef args[2] = {o.tag, o.payload};
        ValueRef huge;
        if (Status err = callHelper(e, "wn_huge_int", args, 2, &huge); err != Status::ok)
            return err;
        condBr(b, huge, bigInt, notBig);
        enter(b, bigInt);
        // The value is still held here: the error exit must drop it.
        size_t mark = e->temporaries.count;
        if (!e->temporaries.push(v)) return Status::outOfMemory;
        Status err = failWith(e, site, kOverflow, sizeof kOverflow - 1);
        e->temporaries.cut(mark);
        if (err != Status::ok) return err;
        br(b, notBig);
        enter(b, notBig);
    }
    openBlock(b);
    ValueRef plain = icmp(b, llvmapi::IntEQ, o.tag, constI64(e, value::TagPint));
    o.tag = T.LLVMBuildSelect(b->builder, plain, constI64(e, value::TagInt), o.tag, "");
    *out = dynShape(o);
    return Status::ok;
}

}  // namespace wuna::compile
