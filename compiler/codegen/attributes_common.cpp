// Block words, tag tests, phis and located compile errors for the attribute emitters (see
// attributes_common.h).
#include "compiler/codegen/attributes_common.h"

#include <cstring>

#include "host/tree/grammar.h"

namespace wuna::compile::attrs {

namespace {

const llvmapi::Table& T = llvmapi::table;

}  // namespace

uint8_t fieldLabelOf(const ptree::GrammarInfo* grammar, front::Text name) {
    if (!grammar) return 0;
    for (uint32_t i = 0; i < grammar->fieldCount && i < 255; i++) {
        const ptree::Text& field = grammar->fields[i];
        if (field.length == name.length && memcmp(field.data, name.data, size_t(name.length)) == 0)
            return uint8_t(i + 1);
    }
    return 0;
}

llvmapi::ValueRef blockPointer(Emitter* e, llvmapi::ValueRef payload) {
    openBlock(&e->builder);
    return T.LLVMBuildIntToPtr(e->builder.builder, payload, e->compiler->module.ptr, "");
}

llvmapi::ValueRef byteAddress(Emitter* e, llvmapi::ValueRef base, uint64_t offset) {
    llvmapi::ValueRef index = constI64(e, offset);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.i8, base, &index, 1, "");
}

llvmapi::ValueRef blockWord(Emitter* e, llvmapi::ValueRef payload, uint64_t offset) {
    return loadWord(e, byteAddress(e, blockPointer(e, payload), offset));
}

llvmapi::ValueRef blockWord32(Emitter* e, llvmapi::ValueRef payload, uint64_t offset) {
    llvmapi::ValueRef address = byteAddress(e, blockPointer(e, payload), offset);
    openBlock(&e->builder);
    llvmapi::ValueRef v =
        T.LLVMBuildLoad2(e->builder.builder, e->compiler->module.i32, address, "");
    T.LLVMSetAlignment(v, 4);
    return v;
}

llvmapi::ValueRef tagIs(Emitter* e, llvmapi::ValueRef tag, uint64_t wanted) {
    return icmp(&e->builder, llvmapi::IntEQ, tag, constI64(e, wanted));
}

llvmapi::ValueRef orBits(Emitter* e, llvmapi::ValueRef left, llvmapi::ValueRef right) {
    openBlock(&e->builder);
    return T.LLVMBuildOr(e->builder.builder, left, right, "");
}

llvmapi::ValueRef andBits(Emitter* e, llvmapi::ValueRef left, llvmapi::ValueRef right) {
    openBlock(&e->builder);
    return T.LLVMBuildAnd(e->builder.builder, left, right, "");
}

llvmapi::ValueRef zext64(Emitter* e, llvmapi::ValueRef bit) {
    openBlock(&e->builder);
    return T.LLVMBuildZExt(e->builder.builder, bit, e->compiler->module.i64, "");
}

llvmapi::ValueRef constBit(Emitter* e, bool value) {
    return T.LLVMConstInt(e->compiler->module.i1, value ? 1 : 0, 0);
}

Status block(Emitter* e, const char* name, llvmapi::BasicBlockRef* out) {
    return newBlock(&e->builder, name, out);
}

llvmapi::ValueRef phi64(Emitter* e, const llvmapi::ValueRef* values,
                        const llvmapi::BasicBlockRef* blocks, unsigned count) {
    openBlock(&e->builder);
    llvmapi::ValueRef p = T.LLVMBuildPhi(e->builder.builder, e->compiler->module.i64, "");
    T.LLVMAddIncoming(p, const_cast<llvmapi::ValueRef*>(values),
                      const_cast<llvmapi::BasicBlockRef*>(blocks), count);
    return p;
}

Operand phiOperand(Emitter* e, const llvmapi::ValueRef* tags, const llvmapi::ValueRef* payloads,
                   const llvmapi::BasicBlockRef* blocks, unsigned count, KnownKind kind) {
    Operand o = constantOperand(e, 0, 0, kind);
    o.tag = phi64(e, tags, blocks, count);
    o.payload = phi64(e, payloads, blocks, count);
    return o;
}

Operand joinAt(Emitter* e, const Operand& last, llvmapi::ValueRef* tags,
               llvmapi::ValueRef* payloads, llvmapi::BasicBlockRef* blocks, unsigned count,
               llvmapi::BasicBlockRef got, KnownKind kind) {
    tags[count - 1] = last.tag;
    payloads[count - 1] = last.payload;
    blocks[count - 1] = e->builder.current;
    br(&e->builder, got);
    enter(&e->builder, got);
    return phiOperand(e, tags, payloads, blocks, count, kind);
}

llvmapi::ValueRef site(Emitter* e, const Semantic* s) { return siteValue(e, s ? s->site : 0); }

Operand boolOperand(Emitter* e, llvmapi::ValueRef payload) {
    Operand o = constantOperand(e, value::TagBool, 0, KnownKind::bool_);
    o.payload = payload;
    return o;
}

Shape boolShape(bool value) {
    Shape s{};
    s.kind = ShapeKind::bool_;
    s.bool_ = value ? 1 : 0;
    return s;
}

Status recordClassConstant(Emitter* e, const value::RecordClass* cls, llvmapi::ValueRef* out) {
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(cls));
    return keyConstant(&e->compiler->module, key, KeyOrigin{{key, 0}, KeyOriginKind::recordClass},
                       out);
}

Status beginAt(Emitter* e, const Semantic* s, front::Position at) {
    Compiler* c = e->compiler;
    c->message.clear();
    if (!s || !s->function) return Status::ok;
    return beginError(&c->message, ErrorSite{s->function, at});
}

Status compileError(Emitter* e, const Semantic* s, front::Position at, const char* a, front::Text b,
                    const char* c) {
    backend::List<char>* message = &e->compiler->message;
    Status err = beginAt(e, s, at);
    if (err == Status::ok) err = appendText(message, a);
    if (err == Status::ok) err = appendText(message, b.data, size_t(b.length));
    if (err == Status::ok) err = appendText(message, c);
    return err == Status::ok ? Status::unsupported : err;
}

bool integerIndex(const Shape& shape, int64_t* index) {
    switch (shape.kind) {
    case ShapeKind::bool_: *index = shape.bool_ ? 1 : 0; return true;
    case ShapeKind::int_:
    case ShapeKind::pint: *index = shape.int_; return true;
    default: return false;
    }
}

}  // namespace wuna::compile::attrs
