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

#include <cstddef>

#include "compiler/codegen/calls_shared.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Places in runtime blocks the emitted code reads and writes (the runtime keeps them).
constexpr uint64_t kCtxEntries = 48;
constexpr uint64_t kCtxCapacity = 56;
constexpr uint64_t kCtxFloor = 72;
constexpr uint64_t kFunctionCode = 16;
constexpr uint64_t kFunctionClosure = 24;
constexpr uint64_t kFunctionName = 40;
constexpr uint64_t kCallEntrySize = 16;
constexpr uint64_t kCallEntrySite = 8;
static_assert(kCtxEntries == offsetof(helpers::Ctx, stack) &&
              kCtxCapacity == offsetof(helpers::Ctx, stackCapacity) &&
              kCtxFloor == offsetof(helpers::Ctx, stackFloor));
static_assert(kFunctionCode == offsetof(value::Function, code) &&
              kFunctionClosure == offsetof(value::Function, frame) &&
              kFunctionName == offsetof(value::Function, name));
static_assert(kCallEntrySize == sizeof(helpers::CallEntry) &&
              kCallEntrySite == offsetof(helpers::CallEntry, site));

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

// The declared parameter kinds of the function when a typed call is possible: recorded for
// it, one per argument, and no argument known to be of another kind. Null otherwise.
const uint8_t* typedKinds(Compiler* c, uint32_t node, const Operand* operands, uint64_t n) {
    TypedEntry* entry = c->typedEntries.find(node);
    if (!entry || entry->count != n) return nullptr;
    for (uint64_t i = 0; i < n; i++) {
        KnownKind k = operands[i].kind;
        if (k != KnownKind::unknown && k != typedKnownKind(entry->kinds[i])) return nullptr;
    }
    return entry->kinds;
}

// The run-time test that the argument's tag is the one of the declared kind (a checked and a
// plain int differ: the typed entry's arithmetic is that of its own tag).
ValueRef kindTest(Emitter* e, ValueRef tag, uint8_t kind) {
    uint64_t want = typedTagOf(kind);
    if (want == value::TagNone) return T.LLVMConstInt(e->compiler->module.i1, 0, 0);
    return icmp(&e->builder, llvmapi::IntEQ, tag, constI64(e, want));
}

// The generic entry called directly: the context's depth counts the call first when the
// running function has a location (a typed entry), the arguments are lent through the array
// (args[2]), and spilled typed locals are read back afterwards.
Status callGenericEntry(Emitter* e, const FunctionRef& fn, ValueRef* args, Operand* operands,
                        uint64_t n, ValueRef next, bool spilled, ValueRef* ok) {
    if (e->location) storeWord(e, next, at(e, e->runContext, helpers::kCtxDepthOffset));
    if (Status err = storeCallArguments(e, args[2], operands, n); err != Status::ok) return err;
    openBlock(&e->builder);
    *ok = T.LLVMBuildCall2(e->builder.builder, fn.type, fn.function, args, 6, "");
    if (spilled) reloadLocals(e);
    return Status::ok;
}

// What the typed call leaves for the join blocks.
struct Typed {
    ValueRef ok;          // the success of the paths that reach "call_entered"
    BasicBlockRef intEnd;  // "call_typed_int": an int result in registers
    ValueRef intPayload;
};

// The direct call through the typed entry when every argument's tag has its declared kind,
// else through the generic entry; both meet in "call_entered", except an int result of the
// typed entry, which goes on to the result without touching the scratch slot.
Status emitTypedCall(Emitter* e, uint32_t node, const uint8_t* kinds, const FunctionRef& fn,
                     ValueRef* genericArgs, Operand* operands, uint64_t n, ValueRef depth,
                     ValueRef next, bool spilled, BasicBlockRef result, Typed* out) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    ValueRef ok = T.LLVMConstInt(m->i1, 1, 0);
    // An operand known to be an int may still be a checked one: its tag is tested too.
    for (uint64_t i = 0; i < n; i++)
        if (uint8_t(operands[i].kind) != kinds[i] || typedKnownKind(kinds[i]) == KnownKind::int_)
            ok = both(e, ok, kindTest(e, operands[i].tag, kinds[i]));
    BasicBlockRef typed, entryBlock, entered, typedInt, typedOther;
    for (auto [name, block] : {std::pair{"call_typed", &typed}, {"call_entry", &entryBlock},
                               {"call_entered", &entered}})
        if (Status err = newBlock(b, name, block); err != Status::ok) return err;
    condBr(b, ok, typed, entryBlock);

    enter(b, typed);
    FunctionRef t;
    if (Status err = functionCode(c, node | kTypedEntryBit, &t); err != Status::ok) return err;
    backend::List<ValueRef> args{};
    bool pushed = args.push(e->runContext) && args.push(genericArgs[1]) &&
                  args.push(genericArgs[4]) && args.push(next);
    for (uint64_t i = 0; pushed && i < n; i++) pushed = args.push(operands[i].payload);
    if (!pushed) {
        args.free();
        return Status::outOfMemory;
    }
    openBlock(b);
    ValueRef pair = T.LLVMBuildCall2(b->builder, t.type, t.function, args.items,
                                     unsigned(args.count), "");
    args.free();
    ValueRef tag = T.LLVMBuildExtractValue(b->builder, pair, 0, "");
    ValueRef payload = T.LLVMBuildExtractValue(b->builder, pair, 1, "");
    // The typed entry runs program code as the generic one does: it may store into the frame
    // the locals were spilled to.
    if (spilled) reloadLocals(e);
    if (Status err = newBlock(b, "call_typed_int", &typedInt); err != Status::ok) return err;
    if (Status err = newBlock(b, "call_typed_other", &typedOther); err != Status::ok) return err;
    openBlock(b);
    ValueRef either = T.LLVMBuildOr(b->builder, tag, constI64(e, 16), "");
    condBr(b, icmp(b, llvmapi::IntEQ, either, constI64(e, 18)), typedInt, typedOther);

    enter(b, typedInt);
    if (!e->location) storeWord(e, depth, at(e, e->runContext, helpers::kCtxDepthOffset));
    BasicBlockRef intBlock = b->current;
    out->intPayload = payload;
    br(b, result);

    enter(b, typedOther);
    storeWord(e, tag, e->scratch);
    storeWord(e, payload, slotPayload(e, e->scratch));
    ValueRef typedOk = icmp(b, llvmapi::IntNE, tag, constI64(e, value::TagTypedFailure));
    BasicBlockRef otherEnd = b->current;
    br(b, entered);

    enter(b, entryBlock);
    ValueRef entryOk;
    if (Status err = callGenericEntry(e, fn, genericArgs, operands, n, next, spilled, &entryOk);
        err != Status::ok)
        return err;
    BasicBlockRef entryEnd = b->current;
    br(b, entered);

    enter(b, entered);
    ValueRef values[2] = {typedOk, entryOk};
    BasicBlockRef from[2] = {otherEnd, entryEnd};
    ValueRef success = calls::phiOf(e, m->i1, values, from, 2);
    if (!e->location) storeWord(e, depth, at(e, e->runContext, helpers::kCtxDepthOffset));
    out->ok = success;
    out->intEnd = intBlock;
    return Status::ok;
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
    // The entries are called without a helper, so nothing else makes the borrows of globals
    // owners first: the called function may rebind a global and drop the value a borrow (the
    // callee, an argument passed by payload alone, any value live here) still reads.
    if (e->errorPathDepth == 0)
        if (Status err = ownGlobalBorrows(e); err != Status::ok) return err;
    bool spilled = e->modes.localsSpilled != 0;
    const uint8_t* kinds = typedKinds(c, node, operands, n);
    BasicBlockRef isFn, direct, generic, done, tail, other, result;
    for (auto [name, block] : {std::pair{"call_is_fn", &isFn}, {"call_direct", &direct},
                               {"call_generic", &generic}, {"call_done", &done},
                               {"call_result", &result}})
        if (Status err = newBlock(b, name, block); err != Status::ok) return err;
    condBr(b, icmp(b, llvmapi::IntEQ, callee.tag, constI64(e, value::TagFunction)), isFn, generic);

    enter(b, isFn);
    ValueRef block = toPointer(e, callee.payload);
    ValueRef code = loadWord(e, at(e, block, kFunctionCode));
    ValueRef depth = e->location ? e->location
                                 : loadWord(e, at(e, e->runContext, helpers::kCtxDepthOffset));
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
    // A function without a location counts the call on the context now; a typed entry only
    // before the paths that run code reading the context's depth.
    if (!e->location) storeWord(e, next, at(e, e->runContext, helpers::kCtxDepthOffset));
    ValueRef environment = toPointer(e, loadWord(e, at(e, block, kFunctionClosure)));
    ValueRef args[6] = {e->runContext, environment, array, constI64(e, n), receiver, e->scratch};
    ValueRef directOk = nullptr;
    BasicBlockRef directEnd = nullptr;
    Typed typedCall{};
    if (kinds) {
        if (Status err = emitTypedCall(e, node, kinds, fn, args, operands, n, depth, next,
                                       spilled, result, &typedCall);
            err != Status::ok)
            return err;
        directOk = typedCall.ok;
    } else {
        if (Status err = callGenericEntry(e, fn, args, operands, n, next, spilled, &directOk);
            err != Status::ok)
            return err;
        // A typed entry passes its own depth to its callees and stores it before every
        // helper; any other function puts the context's depth back.
        if (!e->location) storeWord(e, depth, at(e, e->runContext, helpers::kCtxDepthOffset));
    }
    directEnd = b->current;
    br(b, done);

    enter(b, generic);
    if (Status err = storeCallArguments(e, array, operands, n); err != Status::ok) return err;
    ValueRef call[8] = {e->runContext, siteValue(e, s->site), callee.tag, callee.payload,
                        array,         constI64(e, n),        receiver,   e->scratch};
    ValueRef genericOk;
    BasicBlockRef genericEnd;
    if (Status err = calls::helperThen(e, "wn_call", call, 8, done, &genericOk, &genericEnd);
        err != Status::ok)
        return err;

    enter(b, done);
    ValueRef values[2] = {directOk, genericOk};
    BasicBlockRef from[2] = {directEnd, genericEnd};
    ValueRef ok1 = calls::phiOf(e, m->i1, values, from, 2);
    if (Status err = newBlock(b, "call_tail", &tail); err != Status::ok) return err;
    if (Status err = newBlock(b, "call_other_result", &other); err != Status::ok) return err;
    ValueRef resultTag = loadWord(e, e->scratch);
    ValueRef pending =
        both(e, ok1, icmp(b, llvmapi::IntEQ, resultTag, constI64(e, value::TagTail)));
    BasicBlockRef doneEnd = b->current;
    condBr(b, pending, tail, other);

    enter(b, tail);
    ValueRef resolve[3] = {e->runContext, siteValue(e, s->site), e->scratch};
    ValueRef ok2;
    BasicBlockRef tailEnd;
    // The tail-called function may store into the frame the locals were spilled to; the
    // generic path's helper call has cleared the mode by now, so callHelper would not reload.
    if (Status err = callHelper(e, "wn_tail_resolve", resolve, 3, &ok2); err != Status::ok)
        return err;
    if (spilled) reloadLocals(e);
    openBlock(b);
    tailEnd = b->current;
    br(b, other);

    enter(b, other);
    ValueRef okValues[2] = {ok1, ok2};
    BasicBlockRef okFrom[2] = {doneEnd, tailEnd};
    ValueRef okAll = calls::phiOf(e, m->i1, okValues, okFrom, 2);
    ValueRef plain = calls::plainIntTag(e, loadWord(e, e->scratch));
    ValueRef finalPayload = loadWord(e, slotPayload(e, e->scratch));
    BasicBlockRef otherEnd = b->current;
    br(b, result);
    enter(b, result);
    if (spilled) e->modes.localsSpilled = 0;
    if (!kinds) {
        *ok = okAll;
        *tag = plain;
        *payload = finalPayload;
        return Status::ok;
    }
    // The typed int result reaches here in registers, without the scratch slot.
    BasicBlockRef from2[2] = {typedCall.intEnd, otherEnd};
    ValueRef okIn[2] = {T.LLVMConstInt(m->i1, 1, 0), okAll};
    ValueRef tagIn[2] = {constI64(e, 2), plain};
    ValueRef payloadIn[2] = {typedCall.intPayload, finalPayload};
    *ok = calls::phiOf(e, m->i1, okIn, from2, 2);
    *tag = calls::phiOf(e, m->i64, tagIn, from2, 2);
    *payload = calls::phiOf(e, m->i64, payloadIn, from2, 2);
    return Status::ok;
}

Status runningCallSite(Emitter* e, int32_t fallback, ValueRef* out) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    // A typed entry keeps its depth in a register and writes it to the context lazily.
    ValueRef depth = e->location ? e->location
                                 : loadWord(e, at(e, e->runContext, helpers::kCtxDepthOffset));
    ValueRef none = siteValue(e, fallback);
    BasicBlockRef called, join;
    if (Status err = newBlock(b, "running_call", &called); err != Status::ok) return err;
    if (Status err = newBlock(b, "running_call_site", &join); err != Status::ok) return err;
    ValueRef empty = icmp(b, llvmapi::IntEQ, depth, constI64(e, 0));
    BasicBlockRef from[2] = {b->current, nullptr};
    condBr(b, empty, join, called);
    enter(b, called);
    // The innermost entry, at depth - 1, is the running function's own call.
    ValueRef entries = toPointer(e, loadWord(e, at(e, e->runContext, kCtxEntries)));
    openBlock(b);
    ValueRef last = T.LLVMBuildSub(b->builder, depth, constI64(e, 1), "");
    ValueRef offset = T.LLVMBuildMul(b->builder, last, constI64(e, kCallEntrySize), "");
    ValueRef entry = T.LLVMBuildInBoundsGEP2(b->builder, m->i8, entries, &offset, 1, "");
    ValueRef site = T.LLVMBuildLoad2(b->builder, m->i32, at(e, entry, kCallEntrySite), "");
    T.LLVMSetAlignment(site, 8);
    from[1] = b->current;
    br(b, join);
    enter(b, join);
    ValueRef sites[2] = {none, site};
    *out = calls::phiOf(e, m->i32, sites, from, 2);
    return Status::ok;
}

}  // namespace wuna::compile
