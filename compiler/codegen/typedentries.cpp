// Typed entries and entry profiles (see lower.h): the dispatch at the start of a generic entry
// that runs the typed entry when the arguments fit it, the counting that makes wn_speculate
// compile one for the kinds a hot function is given, and the speculation itself.
//
// Calls on several threads at once update a profile (Program.map runs one module's functions
// on many workers): the count and the seen mask are updated by wuna_profile_count with atomic
// operations, and a typed entry is published with its accepted mask first and its address last
// (profiles.h). The dispatch reads the address before the mask, so a call that sees a new
// address with the mask still 0 finds no fit (every lane of a real argument has a bit) and runs
// the generic entry: a plain load is enough there, and the typed entry runs only for arguments
// of the accepted mask.
#include <cstdlib>
#include <cstring>

#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

using llvmapi::BasicBlockRef;
using llvmapi::TypeRef;
using llvmapi::ValueRef;
const llvmapi::Table& T = llvmapi::table;

constexpr uint64_t kTypedFailureTag = value::TagTypedFailure;
constexpr uint32_t kMaxTypedParameters = 4;
constexpr uint64_t kLaneBits = 16;
constexpr uint64_t kOtherTagBit = 15;
constexpr uint64_t kCallDepthOffset = helpers::kCtxDepthOffset;

// The typed kinds, their value tags and their one-bit lanes.
struct TypedKind {
    KnownKind kind;
    uint64_t tag;
};
constexpr TypedKind kTypedKinds[] = {
    {KnownKind::bool_, value::TagBool},
    {KnownKind::int_, value::TagInt},
    {KnownKind::float_, value::TagFloat},
    {KnownKind::list, value::TagList},
};

// The lane value of a typed kind; 0 for any other kind.
uint64_t laneOf(KnownKind kind) {
    for (const TypedKind& k : kTypedKinds)
        if (k.kind == kind) return uint64_t(1) << k.tag;
    return 0;
}

// The typed kind a lane of exactly one accepted bit stands for; unknown otherwise.
KnownKind kindOfLane(uint64_t lane) {
    for (const TypedKind& k : kTypedKinds)
        if (lane == uint64_t(1) << k.tag) return k.kind;
    return KnownKind::unknown;
}

ValueRef argumentWord(Emitter* e, uint32_t i, uint64_t word) {
    return loadWord(e, byteOffset(e, e->argumentArray, 16 * uint64_t(i) + 8 * word));
}

// Records kinds as the typed-entry kinds of function id (the typed entry's parameter list).
Status recordKinds(Compiler* c, uint32_t id, const KnownKind* kinds, uint32_t n) {
    uint8_t* bytes = nullptr;
    if (kinds) {
        bytes = static_cast<uint8_t*>(malloc(n ? n : 1));
        if (!bytes) return Status::outOfMemory;
        for (uint32_t i = 0; i < n; i++) bytes[i] = uint8_t(kinds[i]);
    }
    TypedEntry entry{bytes, kinds ? n : 0};
    TypedEntry* old = c->typedEntries.find(id);
    if (old) {
        free(old->kinds);
        *old = entry;
        return Status::ok;
    }
    if (!c->typedEntries.put(id, entry)) {
        free(bytes);
        return Status::outOfMemory;
    }
    return Status::ok;
}

// "entry_count": the call counted into the profile, wn_speculate at the hot_calls-th call.
Status emitCounting(Emitter* e, uint32_t id, uint32_t n, ValueRef profile, BasicBlockRef generic) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    BasicBlockRef masked, counted, hot;
    if (Status s = newBlock(b, "entry_mask", &masked); s != Status::ok) return s;
    if (Status s = newBlock(b, "entry_counted", &counted); s != Status::ok) return s;
    BasicBlockRef from = b->current;
    // Items past the count are not the caller's: the mask is read only when they are there.
    condBr(b, icmp(b, llvmapi::IntEQ, e->argumentCount, constI64(e, n)), masked, counted);
    enter(b, masked);
    ValueRef mask = argumentKindMask(e, n);
    BasicBlockRef maskedEnd = b->current;
    br(b, counted);
    enter(b, counted);
    ValueRef seen = T.LLVMBuildPhi(b->builder, m->i64, "");
    ValueRef values[2] = {constI64(e, helpers::kCountMismatchMask), mask};
    BasicBlockRef blocks[2] = {from, maskedEnd};
    T.LLVMAddIncoming(seen, values, blocks, 2);
    TypeRef params[2] = {m->ptr, m->i64};
    TypeRef type = T.LLVMFunctionType(m->i64, params, 2, 0);
    ValueRef args[2] = {profile, seen};
    ValueRef count;
    if (Status s = callProcessFunction(e, reinterpret_cast<const void*>(&wuna_profile_count),
                                       type, args, 2, &count);
        s != Status::ok)
        return s;
    uint64_t hotCalls = c->inputs ? c->inputs->hotCalls : 0;
    if (Status s = newBlock(b, "entry_hot", &hot); s != Status::ok) return s;
    condBr(b, icmp(b, llvmapi::IntEQ, count, constI64(e, hotCalls)), hot, generic);
    enter(b, hot);
    ValueRef speculateArgs[2] = {e->runContext, constI64(e, id)};
    if (Status s = callHelper(e, "wn_speculate", speculateArgs, 2, nullptr); s != Status::ok)
        return s;
    br(b, generic);
    return Status::ok;
}

// "entry_typed": the typed entry at t called with the payloads, its result the generic
// entry's.
void emitTypedCall(Emitter* e, uint32_t n, ValueRef t) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    TypeRef params[4 + kMaxTypedParameters] = {m->ptr, m->ptr, m->ptr, m->i64};
    for (uint32_t i = 0; i < n; i++) params[4 + i] = m->i64;
    TypeRef type = T.LLVMFunctionType(m->valuePair, params, 4 + n, 0);
    ValueRef depth = loadWord(e, byteOffset(e, e->runContext, kCallDepthOffset));
    ValueRef receiver = e->receiverPointer ? e->receiverPointer : T.LLVMConstNull(m->ptr);
    ValueRef outer = e->outerFrame ? e->outerFrame : T.LLVMConstNull(m->ptr);
    ValueRef args[4 + kMaxTypedParameters] = {e->runContext, outer, receiver, depth};
    for (uint32_t i = 0; i < n; i++) args[4 + i] = argumentWord(e, i, 1);
    openBlock(b);
    ValueRef code = T.LLVMBuildIntToPtr(b->builder, t, m->ptr, "");
    ValueRef result = T.LLVMBuildCall2(b->builder, type, code, args, 4 + n, "");
    ValueRef tag = T.LLVMBuildExtractValue(b->builder, result, 0, "");
    ValueRef payload = T.LLVMBuildExtractValue(b->builder, result, 1, "");
    storeWord(e, tag, e->resultSlot);
    storeWord(e, payload, slotPayload(e, e->resultSlot));
    ValueRef ok = icmp(b, llvmapi::IntNE, tag, constI64(e, kTypedFailureTag));
    openBlock(b);
    T.LLVMBuildRet(b->builder, ok);
}

}  // namespace

bool compiledForThisProcess(const Compiler* c) { return !c->keyOrigins && !c->module.keyOrigins; }

Status callProcessFunction(Emitter* e, const void* function, TypeRef type, ValueRef* args,
                           unsigned count, ValueRef* out) {
    ValueRef g;
    if (Status s = keyGlobal(&e->compiler->module, uint64_t(uintptr_t(function)), &g);
        s != Status::ok)
        return s;
    openBlock(&e->builder);
    *out = T.LLVMBuildCall2(e->builder.builder, type, g, args, count, "");
    return Status::ok;
}

ValueRef argumentKindMask(Emitter* e, uint32_t n) {
    Builder* b = &e->builder;
    ModuleRecord* m = &e->compiler->module;
    ValueRef mask = constI64(e, 0);
    for (uint32_t i = 0; i < n && i < kMaxTypedParameters; i++) {
        ValueRef tag = argumentWord(e, i, 0);
        ValueRef small = icmp(b, llvmapi::IntULT, tag, constI64(e, kLaneBits));
        ValueRef pint = icmp(b, llvmapi::IntEQ, tag, constI64(e, value::TagPint));
        openBlock(b);
        ValueRef other = T.LLVMBuildSelect(b->builder, pint, constI64(e, value::TagInt),
                                           constI64(e, kOtherTagBit), "");
        ValueRef bit = T.LLVMBuildSelect(b->builder, small, tag, other, "");
        ValueRef lane = T.LLVMBuildShl(b->builder, constI64(e, 1), bit, "");
        ValueRef placed = T.LLVMBuildShl(b->builder, lane, constI64(e, kLaneBits * i), "");
        mask = T.LLVMBuildOr(b->builder, mask, placed, "");
    }
    (void)m;
    return mask;
}

uint64_t acceptedMask(const KnownKind* kinds, uint32_t n) {
    uint64_t mask = 0;
    for (uint32_t i = 0; i < n && i < kMaxTypedParameters; i++) {
        uint64_t lane = laneOf(kinds[i]);
        if (!lane) return 0;
        mask |= lane << (kLaneBits * i);
    }
    return mask;
}

Status emitTypedDispatch(Emitter* e, uint32_t id, uint32_t n, const KnownKind* declared,
                         BasicBlockRef* generic) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    *generic = b->current;
    if (declared && !acceptedMask(declared, n)) declared = nullptr;
    if (n < 1 || n > kMaxTypedParameters || (!compiledForThisProcess(c) && !declared))
        return Status::ok;
    BasicBlockRef entryGeneric, check, typed, countOk;
    if (Status s = newBlock(b, "entry_generic", &entryGeneric); s != Status::ok) return s;
    if (Status s = newBlock(b, "entry_check", &check); s != Status::ok) return s;
    if (Status s = newBlock(b, "entry_typed", &typed); s != Status::ok) return s;
    ValueRef t, expected;
    if (declared) {
        if (Status s = recordKinds(c, id, declared, n); s != Status::ok) return s;
        FunctionRef code;
        if (Status s = functionCode(c, id | kTypedEntryBit, &code); s != Status::ok) return s;
        openBlock(b);
        t = T.LLVMBuildPtrToInt(b->builder, code.function, m->i64, "");
        expected = constI64(e, acceptedMask(declared, n));
        br(b, check);
    } else {
        auto* profile = static_cast<helpers::EntryProfile*>(take(c, sizeof(helpers::EntryProfile)));
        if (!profile) return Status::outOfMemory;
        profile->parameterCount = n;
        if (!c->profiles.put(id, profile)) return Status::outOfMemory;
        ValueRef g;
        if (Status s = keyGlobal(m, uint64_t(uintptr_t(profile)), &g); s != Status::ok) return s;
        t = loadWord(e, g);
        expected = loadWord(e, byteOffset(e, g, offsetof(helpers::EntryProfile, acceptedMask)));
        BasicBlockRef counting;
        if (Status s = newBlock(b, "entry_count", &counting); s != Status::ok) return s;
        condBr(b, icmp(b, llvmapi::IntNE, t, constI64(e, 0)), check, counting);
        enter(b, counting);
        if (Status s = emitCounting(e, id, n, g, entryGeneric); s != Status::ok) return s;
    }
    enter(b, check);
    if (Status s = newBlock(b, "entry_count_ok", &countOk); s != Status::ok) return s;
    condBr(b, icmp(b, llvmapi::IntEQ, e->argumentCount, constI64(e, n)), countOk, entryGeneric);
    enter(b, countOk);
    condBr(b, icmp(b, llvmapi::IntEQ, argumentKindMask(e, n), expected), typed, entryGeneric);
    enter(b, typed);
    emitTypedCall(e, n, t);
    enter(b, entryGeneric);
    *generic = entryGeneric;
    return Status::ok;
}

void speculate(Compiler* c, uint32_t id, int (*compile)(void* user, uint32_t typedId,
                                                       uint64_t* address),
               void* user) {
    helpers::EntryProfile** found = c->profiles.find(id);
    if (!found || !*found) return;
    helpers::EntryProfile* profile = *found;
    uint64_t seen = helpers::parkProfile(profile);
    uint32_t n = uint32_t(profile->parameterCount);
    if (n > kMaxTypedParameters) return;
    KnownKind kinds[kMaxTypedParameters];
    for (uint32_t i = 0; i < n; i++) {
        kinds[i] = kindOfLane((seen >> (kLaneBits * i)) & 0xFFFF);
        if (kinds[i] == KnownKind::unknown) return;  // given up for good
    }
    if (recordKinds(c, id, kinds, n) != Status::ok) return;
    uint64_t address = 0;
    if (compile(user, id | kTypedEntryBit, &address) == 0 && address) {
        helpers::publishTypedEntry(profile, seen, address);
        return;
    }
    // The typed entry could not be made: the function keeps its generic entry.
    if (recordKinds(c, id, nullptr, 0) != Status::ok) {
        // Nothing more to undo: the stale kinds only shape a typed entry never asked for.
    }
    PyErr_Clear();
}

}  // namespace wuna::compile
