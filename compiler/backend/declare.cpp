// Every module's declarations of the runtime: the 94 helpers of the helper table, the
// overflow intrinsics, and the inline reference-count functions wn_inc and wn_dec (see
// compile.h; the table is runtime/helpers/table.h).
#include <cstdlib>
#include <cstring>

#include "compiler/backend/compile.h"
#include "wuna/runtime/helpers/table.h"

namespace wuna::compile {

using backend::Text;

namespace {

const llvmapi::Table& T = llvmapi::table;

TypeRef letterType(const ModuleRecord* m, char letter) {
    switch (letter) {
    case 'v': return m->voidType;
    case 'b': return m->i1;
    case 'p': return m->ptr;
    case 'i': return m->i32;
    default: return m->i64;  // 'l': the table holds no other letter
    }
}

// The 0xBE3F0 mask: bit t is set for exactly the tags whose payload points to a counted
// block (4 to 9, 13 to 17, 19); the Python object tag 10 is left to the helpers.
constexpr uint64_t kCountedTags = 0xBE3F0;
constexpr uint64_t kImmortal = 0x4000000000000000ull;
constexpr uint64_t kPythonTag = 10;

}  // namespace

Status declareHelpers(Compiler* c) {
    ModuleRecord* m = &c->module;
    m->keyCounter = &c->keyCounter;
    m->keyOrigins = c->keyOrigins;
    TypeRef params[16];
    for (const helpers::HelperSignature& h : helpers::helperSignatures) {
        size_t nameLength = strlen(h.name);
        if (m->functions.find(Text{h.name, nameLength})) continue;
        size_t letters = strlen(h.signature);
        for (size_t i = 1; i < letters; i++) params[i - 1] = letterType(m, h.signature[i]);
        TypeRef type =
            T.LLVMFunctionType(letterType(m, h.signature[0]), params, unsigned(letters - 1), 0);
        char* copy = backend::copyText(h.name, nameLength);
        if (!copy) return Status::outOfMemory;
        // External, no attributes, and not in the declared list: a roll-back never deletes them.
        ValueRef fn = T.LLVMAddFunction(m->module, copy, type);
        if (!m->functions.put(Text{copy, nameLength}, FunctionRef{fn, type})) {
            T.LLVMDeleteFunction(fn);
            free(copy);
            return Status::outOfMemory;
        }
    }
    static const char* const kOverflow[3] = {"llvm.sadd.with.overflow", "llvm.ssub.with.overflow",
                                             "llvm.smul.with.overflow"};
    for (int i = 0; i < 3; i++) {
        unsigned id = T.LLVMLookupIntrinsicID(kOverflow[i], strlen(kOverflow[i]));
        TypeRef overload = m->i64;
        ValueRef fn = T.LLVMGetIntrinsicDeclaration(m->module, id, &overload, 1);
        c->overflow[i] = FunctionRef{fn, T.LLVMGlobalGetValueType(fn)};
    }
    if (Status err = decrefBody(c, "wn_inc", "wn_incref", 0); err != Status::ok) return err;
    return decrefBody(c, "wn_dec", "wn_decref", 1);
}

void inlineCounting(Compiler* c) {
    ModuleRecord* m = &c->module;
    if (m->blockCount > kInlineCountingBlocks) return;
    static const char kInline[] = "alwaysinline";
    unsigned kind = T.LLVMGetEnumAttributeKindForName(kInline, sizeof kInline - 1);
    for (const char* name : {"wn_inc", "wn_dec"}) {
        const FunctionRef* f = m->functions.find(Text{name, strlen(name)});
        if (!f) continue;
        T.LLVMAddAttributeAtIndex(f->function, llvmapi::kFunctionIndex,
                                  T.LLVMCreateEnumAttribute(m->context, kind, 0));
    }
}

Status decrefBody(Compiler* c, const char* name, const char* helper, int mode) {
    ModuleRecord* m = &c->module;
    // Declaring the helpers again on the same module keeps the body made the first time.
    if (m->functions.find(Text{name, strlen(name)})) return Status::ok;
    TypeRef params[2] = {m->i64, m->i64};
    FunctionRef f;
    if (Status err = declareFunction(m, name, strlen(name), m->voidType, params, 2, 0, &f);
        err != Status::ok)
        return err;
    // "alwaysinline" comes when the module is finished and small (inlineCounting).

    Builder b{};
    b.module = m;
    b.function = f.function;
    BasicBlockRef entry = T.LLVMAppendBasicBlockInContext(m->context, f.function, "entry");
    BasicBlockRef start = T.LLVMAppendBasicBlockInContext(m->context, f.function, "start");
    b.entryBuilder = T.LLVMCreateBuilderInContext(m->context);
    b.builder = T.LLVMCreateBuilderInContext(m->context);
    T.LLVMPositionBuilderAtEnd(b.entryBuilder, entry);
    T.LLVMPositionBuilderAtEnd(b.builder, start);
    BasicBlockRef counted, change, other, python, done, freeBlock = nullptr;
    Status err = newBlock(&b, "counted", &counted);
    if (err == Status::ok) err = newBlock(&b, "change", &change);
    if (err == Status::ok) err = newBlock(&b, "other", &other);
    if (err == Status::ok) err = newBlock(&b, "python", &python);
    if (err == Status::ok) err = newBlock(&b, "done", &done);
    if (err == Status::ok && mode == 1) err = newBlock(&b, "free", &freeBlock);
    if (err != Status::ok) {
        T.LLVMDisposeBuilder(b.entryBuilder);
        T.LLVMDisposeBuilder(b.builder);
        b.blocks.free();
        return err;
    }

    BuilderRef B = b.builder;
    ValueRef tag = T.LLVMGetParam(f.function, 0);
    ValueRef payload = T.LLVMGetParam(f.function, 1);
    auto i64 = [&](uint64_t v) { return T.LLVMConstInt(m->i64, v, 0); };

    // start: is the tag one of the counted block tags?
    ValueRef small = T.LLVMBuildICmp(B, llvmapi::IntULT, tag, i64(32), "");
    ValueRef shift = T.LLVMBuildAnd(B, tag, i64(31), "");
    ValueRef bits = T.LLVMBuildLShr(B, i64(kCountedTags), shift, "");
    ValueRef bit = T.LLVMBuildAnd(B, bits, i64(1), "");
    ValueRef set = T.LLVMBuildICmp(B, llvmapi::IntNE, bit, i64(0), "");
    T.LLVMBuildCondBr(B, T.LLVMBuildAnd(B, small, set, ""), counted, other);

    // counted: immortal counts are never changed.
    T.LLVMPositionBuilderAtEnd(B, counted);
    ValueRef address = T.LLVMBuildIntToPtr(B, payload, m->ptr, "");
    ValueRef count = T.LLVMBuildLoad2(B, m->i64, address, "");
    T.LLVMSetAlignment(count, 8);
    T.LLVMBuildCondBr(B, T.LLVMBuildICmp(B, llvmapi::IntULT, count, i64(kImmortal), ""), change,
                      done);

    // change: one more, or one fewer and freed at zero.
    T.LLVMPositionBuilderAtEnd(B, change);
    ValueRef changed =
        mode == 0 ? T.LLVMBuildAdd(B, count, i64(1), "") : T.LLVMBuildSub(B, count, i64(1), "");
    T.LLVMSetAlignment(T.LLVMBuildStore(B, changed, address), 8);
    if (mode == 0) {
        T.LLVMBuildBr(B, done);
    } else {
        T.LLVMBuildCondBr(B, T.LLVMBuildICmp(B, llvmapi::IntEQ, changed, i64(0), ""), freeBlock,
                          done);
        T.LLVMPositionBuilderAtEnd(B, freeBlock);
        ValueRef args[2] = {tag, payload};
        call(&b, "wn_free", args, 2);
        T.LLVMBuildBr(B, done);
    }

    // other: a Python object goes to the helper; an ahead-of-time build has none.
    T.LLVMPositionBuilderAtEnd(B, other);
    if (!m->keyOrigins) {
        T.LLVMBuildCondBr(B, T.LLVMBuildICmp(B, llvmapi::IntEQ, tag, i64(kPythonTag), ""), python,
                          done);
        T.LLVMPositionBuilderAtEnd(B, python);
        ValueRef args[2] = {tag, payload};
        call(&b, helper, args, 2);
        T.LLVMBuildBr(B, done);
    } else {
        T.LLVMBuildBr(B, done);
    }

    T.LLVMPositionBuilderAtEnd(B, done);
    T.LLVMBuildRetVoid(B);
    T.LLVMBuildBr(b.entryBuilder, start);
    // Blocks left open (the empty "python" of an ahead-of-time build) end unreachable.
    BasicBlockRef fixed[2] = {entry, start};
    for (BasicBlockRef block : fixed)
        if (!T.LLVMGetBasicBlockTerminator(block)) {
            T.LLVMPositionBuilderAtEnd(B, block);
            T.LLVMBuildUnreachable(B);
        }
    for (size_t i = 0; i < b.blocks.count; i++)
        if (!T.LLVMGetBasicBlockTerminator(b.blocks[i])) {
            T.LLVMPositionBuilderAtEnd(B, b.blocks[i]);
            T.LLVMBuildUnreachable(B);
        }
    T.LLVMDisposeBuilder(b.entryBuilder);
    T.LLVMDisposeBuilder(b.builder);
    b.blocks.free();
    return Status::ok;
}

}  // namespace wuna::compile
