// The direct call of a program function value. The compiler knows which function the value
// stood for when the code was built, but at run time the variable may hold another one, so
// the emitted code tests that the value is a function whose code is the emitted entry of that
// node, that the call stack has room and that the native stack is above its floor; then it
// writes the call-stack entry an error report shows and calls the generic entry without a
// runtime helper. When the test fails the call goes through wn_call, which does all of that
// itself. A pending tail call returned by the direct call is resolved here, as wn_call would.
#include <cstring>
#include <initializer_list>
#include <utility>

#include "compiler/codegen/calls_shared.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Places in runtime blocks the emitted code reads and writes (the runtime keeps them).
constexpr uint64_t kCtxEntries = 48;
constexpr uint64_t kCtxCapacity = 56;
constexpr uint64_t kCtxDepth = 64;
constexpr uint64_t kCtxFloor = 72;
constexpr uint64_t kFunctionCode = 16;
constexpr uint64_t kFunctionClosure = 24;
constexpr uint64_t kFunctionName = 40;
constexpr uint64_t kCallEntrySize = 16;
constexpr uint64_t kCallEntrySite = 8;
constexpr uint64_t kFunctionTag = 9;
constexpr uint64_t kTailCallTag = 0xFFFF0002u;

ValueRef at(Emitter* e, ValueRef base, uint64_t offset) {
    ValueRef index = constI64(e, offset);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.i8, base, &index, 1, "");
}

ValueRef toPointer(Emitter* e, ValueRef word) {
    openBlock(&e->builder);
    return T.LLVMBuildIntToPtr(e->builder.builder, word, e->compiler->module.ptr, "");
}

ValueRef toWord(Emitter* e, ValueRef pointer) {
    openBlock(&e->builder);
    return T.LLVMBuildPtrToInt(e->builder.builder, pointer, e->compiler->module.i64, "");
}

ValueRef both(Emitter* e, ValueRef a, ValueRef b) {
    openBlock(&e->builder);
    return T.LLVMBuildAnd(e->builder.builder, a, b, "");
}

// The address of the running function's frame, as an i64.
ValueRef frameAddress(Emitter* e) {
    ModuleRecord* m = &e->compiler->module;
    static constexpr char kName[] = "llvm.frameaddress";
    unsigned id = T.LLVMLookupIntrinsicID(kName, sizeof kName - 1);
    TypeRef overload = m->ptr;
    ValueRef fn = T.LLVMGetIntrinsicDeclaration(m->module, id, &overload, 1);
    ValueRef zero = T.LLVMConstInt(m->i32, 0, 0);
    openBlock(&e->builder);
    ValueRef frame =
        T.LLVMBuildCall2(e->builder.builder, T.LLVMGlobalGetValueType(fn), fn, &zero, 1, "");
    return toWord(e, frame);
}

}  // namespace

Status emitFunctionValueCall(Emitter* e, Semantic* s, const Operand& callee, ValueRef array,
                             Operand* operands, uint64_t n, ValueRef receiver, ValueRef* ok,
                             ValueRef* tag, ValueRef* payload) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    auto node = uint32_t(callee.functionNode);
    FunctionRef fn;
    if (Status err = functionCode(c, node, &fn); err != Status::ok) return err;
    bool spilled = e->modes.localsSpilled != 0;
    BasicBlockRef isFn, direct, generic, done, tail, other, result;
    for (auto [name, block] : {std::pair{"call_is_fn", &isFn}, {"call_direct", &direct},
                               {"call_generic", &generic}, {"call_done", &done},
                               {"call_result", &result}})
        if (Status err = newBlock(b, name, block); err != Status::ok) return err;
    condBr(b, icmp(b, llvmapi::IntEQ, callee.tag, constI64(e, kFunctionTag)), isFn, generic);

    enter(b, isFn);
    ValueRef block = toPointer(e, callee.payload);
    ValueRef code = loadWord(e, at(e, block, kFunctionCode));
    ValueRef depth = e->location ? e->location : loadWord(e, at(e, e->runContext, kCtxDepth));
    ValueRef capacity = loadWord(e, at(e, e->runContext, kCtxCapacity));
    ValueRef floor = loadWord(e, at(e, e->runContext, kCtxFloor));
    ValueRef frame = frameAddress(e);
    ValueRef test = icmp(b, llvmapi::IntEQ, code, toWord(e, fn.function));
    test = both(e, test, icmp(b, llvmapi::IntULT, depth, capacity));
    test = both(e, test, icmp(b, llvmapi::IntUGT, frame, floor));
    condBr(b, test, direct, generic);

    enter(b, direct);
    // The call-stack entry that error reports show: the function's name word, then the site.
    ValueRef entries = toPointer(e, loadWord(e, at(e, e->runContext, kCtxEntries)));
    openBlock(b);
    ValueRef offset = T.LLVMBuildMul(b->builder, depth, constI64(e, kCallEntrySize), "");
    openBlock(b);
    ValueRef entry = T.LLVMBuildInBoundsGEP2(b->builder, m->i8, entries, &offset, 1, "");
    storeWord(e, loadWord(e, at(e, block, kFunctionName)), entry);
    openBlock(b);
    T.LLVMSetAlignment(T.LLVMBuildStore(b->builder, siteValue(e, s->site),
                                        at(e, entry, kCallEntrySite)),
                       8);
    openBlock(b);
    ValueRef next = T.LLVMBuildAdd(b->builder, depth, constI64(e, 1), "");
    ValueRef depthSlot = at(e, e->runContext, kCtxDepth);
    storeWord(e, next, depthSlot);
    ValueRef environment = toPointer(e, loadWord(e, at(e, block, kFunctionClosure)));
    if (Status err = storeCallArguments(e, array, operands, n); err != Status::ok) return err;
    ValueRef args[6] = {e->runContext, environment, array, constI64(e, n), receiver, e->scratch};
    openBlock(b);
    ValueRef directOk = T.LLVMBuildCall2(b->builder, fn.type, fn.function, args, 6, "");
    if (spilled) reloadLocals(e);
    // A typed entry passes its own depth to its callees and stores it before every helper;
    // any other function puts the context's depth back.
    if (!e->location) storeWord(e, depth, at(e, e->runContext, kCtxDepth));
    BasicBlockRef directEnd = b->current;
    br(b, done);

    enter(b, generic);
    if (Status err = storeCallArguments(e, array, operands, n); err != Status::ok) return err;
    ValueRef call[8] = {e->runContext, siteValue(e, s->site), callee.tag, callee.payload,
                        array,         constI64(e, n),        receiver,   e->scratch};
    ValueRef genericOk;
    if (Status err = callHelper(e, "wn_call", call, 8, &genericOk); err != Status::ok) return err;
    BasicBlockRef genericEnd = b->current;
    br(b, done);

    enter(b, done);
    ValueRef ok1 = T.LLVMBuildPhi(b->builder, m->i1, "");
    ValueRef values[2] = {directOk, genericOk};
    BasicBlockRef from[2] = {directEnd, genericEnd};
    T.LLVMAddIncoming(ok1, values, from, 2);
    if (Status err = newBlock(b, "call_tail", &tail); err != Status::ok) return err;
    if (Status err = newBlock(b, "call_other_result", &other); err != Status::ok) return err;
    ValueRef resultTag = loadWord(e, e->scratch);
    ValueRef pending = both(e, ok1, icmp(b, llvmapi::IntEQ, resultTag, constI64(e, kTailCallTag)));
    BasicBlockRef doneEnd = b->current;
    condBr(b, pending, tail, other);

    enter(b, tail);
    ValueRef resolve[3] = {e->runContext, siteValue(e, s->site), e->scratch};
    ValueRef ok2;
    if (Status err = callHelper(e, "wn_tail_resolve", resolve, 3, &ok2); err != Status::ok)
        return err;
    BasicBlockRef tailEnd = b->current;
    br(b, other);

    enter(b, other);
    ValueRef okAll = T.LLVMBuildPhi(b->builder, m->i1, "");
    ValueRef okValues[2] = {ok1, ok2};
    BasicBlockRef okFrom[2] = {doneEnd, tailEnd};
    T.LLVMAddIncoming(okAll, okValues, okFrom, 2);
    ValueRef finalTag = loadWord(e, e->scratch);
    ValueRef plain = T.LLVMBuildSelect(b->builder,
                                       icmp(b, llvmapi::IntEQ, finalTag, constI64(e, 18)),
                                       constI64(e, 2), finalTag, "");
    ValueRef finalPayload = loadWord(e, slotPayload(e, e->scratch));
    br(b, result);
    enter(b, result);
    if (spilled) e->modes.localsSpilled = 0;
    *ok = okAll;
    *tag = plain;
    *payload = finalPayload;
    return Status::ok;
}

}  // namespace wuna::compile
