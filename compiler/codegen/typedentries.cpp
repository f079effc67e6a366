// Typed entries and entry profiles (see lower.h): the dispatch at the start of a generic entry
// that runs the typed entry when the arguments fit it, the counting that makes wn_speculate
// compile one for the kinds a hot function is given, and the speculation itself.
//
// Calls on several threads at once update a profile (Program.map runs one module's functions
// on many workers): the count and the seen mask are updated by wuna_profile_count with atomic
// operations, and a typed entry is published with its accepted mask first and its address last
// with release order (profiles.h). The dispatch reads the address through wuna_profile_entry,
// an acquire load, and the mask after it, so a call that sees the address sees its mask.
//
// An int comes in two tags with different arithmetic: a checked int (tag 2, I64) fails on
// overflow, a plain int (tag 18: constants, ints from Python) widens. The profile's seen mask
// counts both as int; its int-tags word tells them apart, and speculation makes the typed
// entry of an int lane for the one tag it saw (kind byte 3, or kPlainIntKind for tag 18),
// none when it saw both. The dispatch's fit test gives a plain int the lane value 5 (bits 2
// and 0; a single tag never sets two bits), which only a plain-int parameter accepts: an int
// never enters a typed entry of the other tag, whose arithmetic would differ.
//
// Every function has a profile, also one without arguments (its typed entry takes none). The
// masks have four lanes: argument i counts into lane i mod 4, so arguments four apart get a
// typed entry only when both always had the same one tag, and beyond four arguments the
// dispatch holds each argument against its lane rather than the OR of them.
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

// The seen, accepted and fit masks have four 16-bit lanes: argument i has lane i mod 4, so
// arguments four apart share one and get a typed entry only when both had the same one tag.
constexpr uint32_t kLanes = 4;
constexpr uint64_t kLaneBits = 16;
constexpr uint64_t kOtherTagBit = 15;

// The typed kinds: kind byte, the tag a parameter of it has, and its lane value in an
// accepted mask.
struct TypedKind {
    uint8_t kind;
    uint64_t tag;
    uint64_t lane;
};
constexpr uint64_t kPlainIntLane = (uint64_t(1) << value::TagInt) | 1;
constexpr TypedKind kTypedKinds[] = {
    {uint8_t(KnownKind::bool_), value::TagBool, uint64_t(1) << value::TagBool},
    {uint8_t(KnownKind::int_), value::TagInt, uint64_t(1) << value::TagInt},
    {kPlainIntKind, value::TagPint, kPlainIntLane},
    {uint8_t(KnownKind::float_), value::TagFloat, uint64_t(1) << value::TagFloat},
    {uint8_t(KnownKind::list), value::TagList, uint64_t(1) << value::TagList},
};

const TypedKind* typedKindOf(uint8_t kind) {
    for (const TypedKind& k : kTypedKinds)
        if (k.kind == kind) return &k;
    return nullptr;
}

// The kind byte a lane of the seen mask stands for, the int's tag told by its two bits of the
// int-tags word (bit 0 a checked int seen, bit 1 a plain one); 0 for no typed kind.
uint8_t kindOfLane(uint64_t lane, uint64_t intTags) {
    if (lane == uint64_t(1) << value::TagInt) {
        if (intTags == 3) return 0;  // both tags: no one typed entry is right for both
        return intTags == 2 ? kPlainIntKind : uint8_t(KnownKind::int_);
    }
    for (const TypedKind& k : kTypedKinds)
        if (k.kind != kPlainIntKind && lane == k.lane) return k.kind;
    return 0;
}

uint64_t laneShift(uint32_t i) { return kLaneBits * (i % kLanes); }

ValueRef argumentWord(Emitter* e, uint32_t i, uint64_t word) {
    return loadWord(e, byteOffset(e, e->argumentArray, 16 * uint64_t(i) + 8 * word));
}

// The lane value of a tag for the fit test of the dispatch: bit t for a tag below 16, 5 for
// a plain int, bit 15 for any other tag.
ValueRef fitLane(Emitter* e, ValueRef tag) {
    Builder* b = &e->builder;
    ValueRef small = icmp(b, llvmapi::IntULT, tag, constI64(e, kLaneBits));
    ValueRef pint = icmp(b, llvmapi::IntEQ, tag, constI64(e, value::TagPint));
    openBlock(b);
    ValueRef bit = T.LLVMBuildSelect(b->builder, small, tag, constI64(e, kOtherTagBit), "");
    ValueRef lane = T.LLVMBuildShl(b->builder, constI64(e, 1), bit, "");
    return T.LLVMBuildSelect(b->builder, pint, constI64(e, kPlainIntLane), lane, "");
}

// The int-tags word of the n arguments: per lane, bit 0 for a checked int, bit 1 for a plain
// one.
ValueRef intTagsOf(Emitter* e, uint32_t n) {
    Builder* b = &e->builder;
    ValueRef word = constI64(e, 0);
    for (uint32_t i = 0; i < n; i++) {
        ValueRef tag = argumentWord(e, i, 0);
        ValueRef checked = icmp(b, llvmapi::IntEQ, tag, constI64(e, value::TagInt));
        ValueRef pint = icmp(b, llvmapi::IntEQ, tag, constI64(e, value::TagPint));
        openBlock(b);
        ValueRef bits = T.LLVMBuildSelect(
            b->builder, checked, constI64(e, uint64_t(1) << laneShift(i)),
            T.LLVMBuildSelect(b->builder, pint, constI64(e, uint64_t(2) << laneShift(i)),
                              constI64(e, 0), ""),
            "");
        word = T.LLVMBuildOr(b->builder, word, bits, "");
    }
    return word;
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
    ValueRef ints = intTagsOf(e, n);
    BasicBlockRef maskedEnd = b->current;
    br(b, counted);
    enter(b, counted);
    ValueRef seen = T.LLVMBuildPhi(b->builder, m->i64, "");
    ValueRef values[2] = {constI64(e, helpers::kCountMismatchMask), mask};
    BasicBlockRef blocks[2] = {from, maskedEnd};
    T.LLVMAddIncoming(seen, values, blocks, 2);
    ValueRef seenInts = T.LLVMBuildPhi(b->builder, m->i64, "");
    ValueRef intValues[2] = {constI64(e, 0), ints};
    T.LLVMAddIncoming(seenInts, intValues, blocks, 2);
    TypeRef params[3] = {m->ptr, m->i64, m->i64};
    TypeRef type = T.LLVMFunctionType(m->i64, params, 3, 0);
    ValueRef args[3] = {profile, seen, seenInts};
    ValueRef count;
    if (Status s = callProcessFunction(e, reinterpret_cast<const void*>(&wuna_profile_count),
                                       type, args, 3, &count);
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
Status emitTypedCall(Emitter* e, uint32_t n, ValueRef t) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    backend::List<TypeRef> params{};
    backend::List<ValueRef> args{};
    ValueRef depth = loadWord(e, byteOffset(e, e->runContext, helpers::kCtxDepthOffset));
    ValueRef receiver = e->receiverPointer ? e->receiverPointer : T.LLVMConstNull(m->ptr);
    ValueRef outer = e->outerFrame ? e->outerFrame : T.LLVMConstNull(m->ptr);
    bool pushed = params.push(m->ptr) && params.push(m->ptr) && params.push(m->ptr) &&
                  params.push(m->i64) && args.push(e->runContext) && args.push(outer) &&
                  args.push(receiver) && args.push(depth);
    for (uint32_t i = 0; pushed && i < n; i++)
        pushed = params.push(m->i64) && args.push(argumentWord(e, i, 1));
    if (!pushed) {
        params.free();
        args.free();
        return Status::outOfMemory;
    }
    TypeRef type = T.LLVMFunctionType(m->valuePair, params.items, unsigned(params.count), 0);
    openBlock(b);
    ValueRef code = T.LLVMBuildIntToPtr(b->builder, t, m->ptr, "");
    ValueRef result =
        T.LLVMBuildCall2(b->builder, type, code, args.items, unsigned(args.count), "");
    params.free();
    args.free();
    ValueRef tag = T.LLVMBuildExtractValue(b->builder, result, 0, "");
    ValueRef payload = T.LLVMBuildExtractValue(b->builder, result, 1, "");
    storeWord(e, tag, e->resultSlot);
    storeWord(e, payload, slotPayload(e, e->resultSlot));
    ValueRef ok = icmp(b, llvmapi::IntNE, tag, constI64(e, value::TagTypedFailure));
    openBlock(b);
    T.LLVMBuildRet(b->builder, ok);
    return Status::ok;
}

}  // namespace

Status recordKinds(Compiler* c, uint32_t id, const uint8_t* kinds, uint32_t n) {
    uint8_t* bytes = nullptr;
    if (kinds) {
        bytes = static_cast<uint8_t*>(malloc(n ? n : 1));
        if (!bytes) return Status::outOfMemory;
        for (uint32_t i = 0; i < n; i++) bytes[i] = kinds[i];
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

uint64_t typedTagOf(uint8_t kind) {
    const TypedKind* k = typedKindOf(kind);
    return k ? k->tag : value::TagNone;
}

KnownKind typedKnownKind(uint8_t kind) { return KnownKind(kind & 0xF); }

ValueRef fitMask(Emitter* e, uint32_t n) {
    Builder* b = &e->builder;
    ValueRef mask = constI64(e, 0);
    for (uint32_t i = 0; i < n; i++) {
        ValueRef lane = fitLane(e, argumentWord(e, i, 0));
        openBlock(b);
        ValueRef placed = T.LLVMBuildShl(b->builder, lane, constI64(e, laneShift(i)), "");
        mask = T.LLVMBuildOr(b->builder, mask, placed, "");
    }
    return mask;
}

ValueRef argumentKindMask(Emitter* e, uint32_t n) {
    Builder* b = &e->builder;
    ValueRef mask = constI64(e, 0);
    for (uint32_t i = 0; i < n; i++) {
        ValueRef tag = argumentWord(e, i, 0);
        ValueRef small = icmp(b, llvmapi::IntULT, tag, constI64(e, kLaneBits));
        ValueRef pint = icmp(b, llvmapi::IntEQ, tag, constI64(e, value::TagPint));
        openBlock(b);
        ValueRef other = T.LLVMBuildSelect(b->builder, pint, constI64(e, value::TagInt),
                                           constI64(e, kOtherTagBit), "");
        ValueRef bit = T.LLVMBuildSelect(b->builder, small, tag, other, "");
        ValueRef lane = T.LLVMBuildShl(b->builder, constI64(e, 1), bit, "");
        ValueRef placed = T.LLVMBuildShl(b->builder, lane, constI64(e, laneShift(i)), "");
        mask = T.LLVMBuildOr(b->builder, mask, placed, "");
    }
    return mask;
}

bool acceptedMask(const uint8_t* kinds, uint32_t n, uint64_t* mask) {
    *mask = 0;
    for (uint32_t i = 0; i < n; i++) {
        const TypedKind* k = typedKindOf(kinds[i]);
        if (!k) return false;
        // Arguments that share a lane must share their kind: one lane value stands for both.
        uint64_t lane = (*mask >> laneShift(i)) & 0xFFFF;
        if (lane && lane != k->lane) return false;
        *mask |= k->lane << laneShift(i);
    }
    return true;
}

namespace {

ValueRef argumentsFit(Emitter* e, uint32_t n, ValueRef expected) {
    Builder* b = &e->builder;
    if (n <= kLanes) return icmp(b, llvmapi::IntEQ, fitMask(e, n), expected);
    // Lanes shared by several arguments: the OR of their lanes would let a checked int pass
    // with a plain one (4 | 5 is 5), so each argument is held against its own lane.
    ValueRef all = T.LLVMConstInt(e->compiler->module.i1, 1, 0);
    for (uint32_t i = 0; i < n; i++) {
        ValueRef lane = fitLane(e, argumentWord(e, i, 0));
        openBlock(b);
        ValueRef shifted = T.LLVMBuildLShr(b->builder, expected, constI64(e, laneShift(i)), "");
        ValueRef want = T.LLVMBuildAnd(b->builder, shifted, constI64(e, 0xFFFF), "");
        ValueRef same = icmp(b, llvmapi::IntEQ, lane, want);
        openBlock(b);
        all = T.LLVMBuildAnd(b->builder, all, same, "");
    }
    return all;
}

// The dispatch itself: declared holds the declared parameter kinds with their accepted mask,
// or is null for a profile that speculation fills.
Status emitDispatch(Emitter* e, uint32_t id, uint32_t n, const uint8_t* declared,
                    uint64_t accepted, BasicBlockRef* generic) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
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
        expected = constI64(e, accepted);
        br(b, check);
    } else {
        auto* profile = static_cast<helpers::EntryProfile*>(take(c, sizeof(helpers::EntryProfile)));
        if (!profile) return Status::outOfMemory;
        profile->parameterCount = n;
        if (!c->profiles.put(id, profile)) return Status::outOfMemory;
        ValueRef g;
        if (Status s = keyGlobal(m, uint64_t(uintptr_t(profile)), &g); s != Status::ok) return s;
        // The address with acquire order, then the mask published before it.
        TypeRef params[1] = {m->ptr};
        TypeRef type = T.LLVMFunctionType(m->i64, params, 1, 0);
        if (Status s = callProcessFunction(e, reinterpret_cast<const void*>(&wuna_profile_entry),
                                           type, &g, 1, &t);
            s != Status::ok)
            return s;
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
    condBr(b, argumentsFit(e, n, expected), typed, entryGeneric);
    enter(b, typed);
    if (Status s = emitTypedCall(e, n, t); s != Status::ok) return s;
    enter(b, entryGeneric);
    *generic = entryGeneric;
    return Status::ok;
}

}  // namespace

Status emitTypedDispatch(Emitter* e, uint32_t id, uint32_t n, const KnownKind* declared,
                         BasicBlockRef* generic) {
    *generic = e->builder.current;
    backend::List<uint8_t> bytes{};
    uint64_t accepted = 0;
    if (declared) {
        for (uint32_t i = 0; i < n; i++)
            if (!bytes.push(uint8_t(declared[i]))) {
                bytes.free();
                return Status::outOfMemory;
            }
        // Declared kinds without a typed form (or two kinds in one lane) declare nothing.
        if (n == 0 || !acceptedMask(bytes.items, n, &accepted)) declared = nullptr;
    }
    Status s = Status::ok;
    if (declared)
        s = emitDispatch(e, id, n, bytes.items, accepted, generic);
    else if (compiledForThisProcess(e->compiler))
        s = emitDispatch(e, id, n, nullptr, 0, generic);
    bytes.free();
    return s;
}

void speculate(Compiler* c, uint32_t id, int (*compile)(void* user, uint32_t typedId,
                                                       uint64_t* address),
               void* user) {
    helpers::EntryProfile** found = c->profiles.find(id);
    if (!found || !*found) return;
    helpers::EntryProfile* profile = *found;
    uint64_t ints = 0;
    uint64_t seen = helpers::parkProfile(profile, &ints);
    uint32_t n = uint32_t(profile->parameterCount);
    // Without arguments there are no kinds, and the typed entry takes none.
    auto* kinds = static_cast<uint8_t*>(malloc(n ? n : 1));
    if (!kinds) return;
    for (uint32_t i = 0; i < n; i++) {
        kinds[i] = kindOfLane((seen >> laneShift(i)) & 0xFFFF, (ints >> laneShift(i)) & 3);
        if (!kinds[i]) {  // given up for good
            free(kinds);
            return;
        }
    }
    uint64_t accepted = 0;
    bool recorded = acceptedMask(kinds, n, &accepted) && recordKinds(c, id, kinds, n) == Status::ok;
    free(kinds);
    if (!recorded) return;
    uint64_t address = 0;
    if (compile(user, id | kTypedEntryBit, &address) == 0 && address) {
        helpers::publishTypedEntry(profile, accepted, address);
        return;
    }
    // The typed entry could not be made: the function keeps its generic entry.
    if (recordKinds(c, id, nullptr, 0) != Status::ok) {
        // Nothing more to undo: the stale kinds only shape a typed entry never asked for.
    }
    PyErr_Clear();
}

}  // namespace wuna::compile
