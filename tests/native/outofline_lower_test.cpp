// Helpers compiled out of line and typed entries, emitted into modules of their own, loaded
// through the code engine and run: the typed-entry dispatch of a generic entry counting its
// calls and calling wn_speculate exactly at hot_calls, then running a linked typed entry only
// for the argument kinds it accepts; speculation itself (kinds read from the lanes, given up for
// mixed kinds); the statuses of an out-of-line call dispatched to their blocks; a frame made
// for one call whose changes come back into the stack slots; and the call sites: shared and
// separate specialisations, the hot-site record with its single wn_specialize, and the
// refusals with their texts.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "tests/native/differential.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/helpers/profiles.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using compile::KnownKind;
using compile::Shape;
using compile::ShapeKind;
const llvmapi::Table& T = llvmapi::table;

constexpr uint32_t kFunctionNode = 13;
constexpr uint64_t kGenericMarker = 777;

struct Pair {
    uint64_t tag;
    uint64_t payload;
};

// A generic entry: (ctx, outer, args, count, receiver, result) -> ok.
using Generic = bool (*)(helpers::Ctx*, void*, value::Value*, int64_t, value::Value*,
                         value::Value*);

// Typed entries of two int parameters standing in for compiled ones.
Pair typedSum(helpers::Ctx*, void*, void*, int64_t, int64_t a, int64_t b) {
    return Pair{value::TagInt, uint64_t(a + b)};
}
Pair typedFails(helpers::Ctx*, void*, void*, int64_t, int64_t, int64_t) {
    return Pair{0xFFFF0001u, 0};
}
Pair typedNone(helpers::Ctx*, void*, void*, int64_t) { return Pair{value::TagInt, 99}; }
Pair typedSum5(helpers::Ctx*, void*, void*, int64_t, int64_t a, int64_t b, int64_t c, int64_t d,
               int64_t f) {
    return Pair{value::TagInt, uint64_t(a + b + c + d + f)};
}

std::vector<int64_t> speculated;
void recordSpeculation(void*, int64_t id) { speculated.push_back(id); }

class OutOfLineLower : public toolkit_testing::EngineFixture<testing_support::Differential> {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        speculated.clear();
        ir.name = front::Text{"helper", 6};
        ir.fileName = front::Text{"t.py", 4};
        ir.firstLine = 3;
        ir.paramCount = 2;
    }

    std::string message(compile::Compiler* c) {
        return std::string(c->message.items, c->message.count);
    }

    front::FunctionIR ir{};
};

// ---- typed entries ----------------------------------------------------------------------------

// A generic entry of n parameters (two unless given) whose body stores the marker as its
// result.
struct GenericEntry {
    driver::Compiled* state = newState();
    driver::CompileInputs inputs{};
    helpers::EntryProfile* profile = nullptr;
    std::string ir;
    Generic fn = nullptr;

    explicit GenericEntry(uint64_t hotCalls, uint32_t n = 2) {
        compile::Compiler* c = &state->compiler;
        compile::ModuleRecord* m = &c->module;
        inputs.hotCalls = hotCalls;
        c->inputs = &inputs;
        std::string symbol = symbolOf(state, "_g13");
        {
            Function f(c, symbol.c_str(), kFunctionNode,
                       {m->ptr, m->ptr, m->ptr, m->i64, m->ptr, m->ptr});
            f.e.outerFrame = f.param(1);
            f.e.argumentArray = f.param(2);
            f.e.argumentCount = f.param(3);
            f.e.receiverPointer = f.param(4);
            f.e.resultSlot = f.param(5);
            llvmapi::BasicBlockRef generic;
            EXPECT_EQ(compile::emitTypedDispatch(&f.e, kFunctionNode, n, nullptr, &generic),
                      Status::ok);
            compile::storeWord(&f.e, compile::constI64(&f.e, value::TagInt), f.e.resultSlot);
            compile::storeWord(&f.e, compile::constI64(&f.e, kGenericMarker),
                               compile::slotPayload(&f.e, f.e.resultSlot));
            ir = f.ir();
        }
        c->inputs = nullptr;
        helpers::EntryProfile** found = c->profiles.find(kFunctionNode);
        profile = found ? *found : nullptr;
        fn = reinterpret_cast<Generic>(loadAndFind(state, symbol));
    }
    ~GenericEntry() { driver::Compiled::free(state); }

    // One call with these tags and payloads; ok, and the result in *out.
    bool call(helpers::Ctx* ctx, std::vector<value::Value> args, value::Value* out) {
        *out = value::Value::none();
        return fn(ctx, nullptr, args.data(), int64_t(args.size()), nullptr, out);
    }
};

value::Value ints(int64_t v) { return value::Value::integer(v); }

TEST_F(OutOfLineLower, AGenericEntryCountsItsCallsAndSpeculatesOnceAtHotCalls) {
    GenericEntry entry(3);
    ASSERT_NE(entry.fn, nullptr);
    ASSERT_NE(entry.profile, nullptr);
    EXPECT_EQ(countOf(entry.ir, "call void @wn_speculate"), 1u) << entry.ir;
    for (const char* block : {"entry_count", "entry_hot", "entry_check", "entry_count_ok",
                              "entry_typed", "entry_generic"})
        EXPECT_NE(entry.ir.find(block), std::string::npos) << block;
    helpers::RunRecord run{};
    run.module = entry.state;
    ctx.run = &run;
    bridge::compilerApi.speculate = recordSpeculation;
    value::Value out;
    for (int k = 1; k <= 5; k++) {
        ASSERT_TRUE(entry.call(&ctx, {ints(k), ints(10)}, &out));
        EXPECT_EQ(out.payload, kGenericMarker) << "call " << k;
        // Only the third call reaches the threshold; it still runs generically.
        EXPECT_EQ(speculated.size(), k >= 3 ? 1u : 0u) << "call " << k;
    }
    ctx.run = nullptr;
    EXPECT_EQ(speculated[0], int64_t(kFunctionNode));
    EXPECT_EQ(entry.profile->callCount, 5u);
    EXPECT_EQ(entry.profile->seenMask, 0x40004u);  // bit 2 (int) in lanes 0 and 1
    EXPECT_EQ(entry.profile->parameterCount, 2u);
}

TEST_F(OutOfLineLower, ALinkedTypedEntryRunsOnlyForTheArgumentKindsItAccepts) {
    GenericEntry entry(3);
    ASSERT_NE(entry.fn, nullptr);
    helpers::publishTypedEntry(entry.profile, 0x40004u, uint64_t(uintptr_t(&typedSum)));
    struct Row {
        const char* what;
        std::vector<value::Value> args;
        uint64_t payload;
    } rows[] = {
        {"two ints", {ints(2), ints(40)}, 42},
        // A plain int would lose its widening in a typed entry of checked ints.
        {"an int from Python", {value::Value{value::TagPint, 5}, ints(1)}, kGenericMarker},
        {"a float", {value::Value::real(1.5), ints(1)}, kGenericMarker},
        {"None", {value::Value::none(), ints(1)}, kGenericMarker},
        {"three arguments", {ints(1), ints(2), ints(3)}, kGenericMarker},
        {"one argument", {ints(1)}, kGenericMarker},
    };
    for (const Row& row : rows) {
        value::Value out;
        ASSERT_TRUE(entry.call(&ctx, row.args, &out)) << row.what;
        EXPECT_EQ(out.tag, uint64_t(value::TagInt)) << row.what;
        EXPECT_EQ(out.payload, row.payload) << row.what;
    }
    // Linked: calls no longer count.
    EXPECT_EQ(entry.profile->callCount, 0u);
}

TEST_F(OutOfLineLower, AnIntEntersOnlyATypedEntryOfItsOwnTag) {
    GenericEntry entry(3);
    ASSERT_NE(entry.fn, nullptr);
    // Lane 0 a plain int (lane value 5), lane 1 a checked int.
    helpers::publishTypedEntry(entry.profile, 0x40005u, uint64_t(uintptr_t(&typedSum)));
    value::Value plain5{value::TagPint, 5}, plain1{value::TagPint, 1};
    struct Row {
        const char* what;
        std::vector<value::Value> args;
        uint64_t payload;
    } rows[] = {
        {"plain, checked", {plain5, ints(1)}, 6},
        {"checked, checked", {ints(5), ints(1)}, kGenericMarker},
        {"plain, plain", {plain5, plain1}, kGenericMarker},
        {"None, checked", {value::Value::none(), ints(1)}, kGenericMarker},
    };
    for (const Row& row : rows) {
        value::Value out;
        ASSERT_TRUE(entry.call(&ctx, row.args, &out)) << row.what;
        EXPECT_EQ(out.payload, row.payload) << row.what;
    }
}

TEST_F(OutOfLineLower, AFailingTypedEntryMakesTheGenericEntryFail) {
    GenericEntry entry(3);
    ASSERT_NE(entry.fn, nullptr);
    helpers::publishTypedEntry(entry.profile, 0x40004u, uint64_t(uintptr_t(&typedFails)));
    value::Value out;
    EXPECT_FALSE(entry.call(&ctx, {ints(1), ints(2)}, &out));
    EXPECT_EQ(out.tag, 0xFFFF0001u);
}

TEST_F(OutOfLineLower, NoParametersOrFiveGetTheDispatchAndAProfileToo) {
    for (uint32_t n : {0u, 5u}) {
        GenericEntry entry(3, n);
        ASSERT_NE(entry.fn, nullptr) << n;
        ASSERT_NE(entry.profile, nullptr) << n;
        EXPECT_EQ(entry.profile->parameterCount, n);
        EXPECT_EQ(countOf(entry.ir, "call void @wn_speculate"), 1u) << entry.ir;
        for (const char* block : {"entry_count", "entry_check", "entry_typed", "entry_generic"})
            EXPECT_NE(entry.ir.find(block), std::string::npos) << block << " " << n;
    }
}

TEST_F(OutOfLineLower, WithoutParametersTheTypedEntryTakesNoArguments) {
    GenericEntry entry(3, 0);
    ASSERT_NE(entry.fn, nullptr);
    value::Value out;
    ASSERT_TRUE(entry.call(&ctx, {}, &out));
    EXPECT_EQ(out.payload, kGenericMarker);
    helpers::publishTypedEntry(entry.profile, 0, uint64_t(uintptr_t(&typedNone)));
    ASSERT_TRUE(entry.call(&ctx, {}, &out));
    EXPECT_EQ(out.payload, 99u);
    ASSERT_TRUE(entry.call(&ctx, {ints(1)}, &out));
    EXPECT_EQ(out.payload, kGenericMarker) << "an argument too many";
}

// Arguments 0 and 4 share lane 0: each is held against it, so a checked int never rides in
// with a plain one (their lane values OR to the plain int's).
TEST_F(OutOfLineLower, FiveArgumentsShareTheLanesAndEachMustFitItsOwn) {
    const value::Value plain{value::TagPint, 1};
    struct Row {
        const char* what;
        uint64_t accepted;
        std::vector<value::Value> args;
        uint64_t payload;
    } rows[] = {
        {"five checked ints", 0x0004000400040004u, {ints(1), ints(2), ints(3), ints(4), ints(5)},
         15},
        {"a float fifth", 0x0004000400040004u,
         {ints(1), ints(2), ints(3), ints(4), value::Value::real(1.0)}, kGenericMarker},
        {"a plain int fifth", 0x0004000400040004u, {ints(1), ints(2), ints(3), ints(4), plain},
         kGenericMarker},
        {"plain first and fifth", 0x0004000400040005u, {plain, ints(2), ints(3), ints(4), plain},
         1 + 2 + 3 + 4 + 1},
        {"plain first, checked fifth", 0x0004000400040005u,
         {plain, ints(2), ints(3), ints(4), ints(5)}, kGenericMarker},
        {"four arguments", 0x0004000400040004u, {ints(1), ints(2), ints(3), ints(4)},
         kGenericMarker},
    };
    for (const Row& row : rows) {
        GenericEntry entry(3, 5);
        ASSERT_NE(entry.fn, nullptr);
        helpers::publishTypedEntry(entry.profile, row.accepted, uint64_t(uintptr_t(&typedSum5)));
        value::Value out;
        ASSERT_TRUE(entry.call(&ctx, row.args, &out)) << row.what;
        EXPECT_EQ(out.payload, row.payload) << row.what;
    }
}

TEST_F(OutOfLineLower, DeclaredKindsCallTheTypedEntryWithoutAProfile) {
    driver::Compiled* state = newState();
    compile::Compiler* c = &state->compiler;
    compile::ModuleRecord* m = &c->module;
    Function f(c, "t_d", kFunctionNode, {m->ptr, m->ptr, m->ptr, m->i64, m->ptr, m->ptr});
    f.e.argumentArray = f.param(2);
    f.e.argumentCount = f.param(3);
    f.e.receiverPointer = f.param(4);
    f.e.resultSlot = f.param(5);
    KnownKind kinds[2] = {KnownKind::float_, KnownKind::list};
    llvmapi::BasicBlockRef generic;
    ASSERT_EQ(compile::emitTypedDispatch(&f.e, kFunctionNode, 2, kinds, &generic), Status::ok);
    std::string text = f.ir();
    EXPECT_EQ(c->profiles.find(kFunctionNode), nullptr);
    EXPECT_EQ(text.find("wn_speculate"), std::string::npos);
    // The accepted mask: float (bit 3) in lane 0, list (bit 5) in lane 1.
    EXPECT_NE(text.find(std::to_string(0x200008)), std::string::npos) << text;
    compile::TypedEntry* recorded = c->typedEntries.find(kFunctionNode);
    ASSERT_NE(recorded, nullptr);
    ASSERT_EQ(recorded->count, 2u);
    EXPECT_EQ(recorded->kinds[0], uint8_t(KnownKind::float_));
    EXPECT_EQ(recorded->kinds[1], uint8_t(KnownKind::list));
    EXPECT_NE(c->requested.find(kFunctionNode | compile::kTypedEntryBit), nullptr);
    EXPECT_EQ(verify(m), "");
    driver::Compiled::free(state);
}

// ---- speculation ------------------------------------------------------------------------------

struct CompileProbe {
    std::vector<uint32_t> ids;
    uint64_t address;
};
int probeCompile(void* user, uint32_t id, uint64_t* address) {
    auto* probe = static_cast<CompileProbe*>(user);
    probe->ids.push_back(id);
    *address = probe->address;
    return probe->address ? 0 : -1;
}

TEST_F(OutOfLineLower, SpeculationCompilesForSingleKindLanesAndGivesUpOnOthers) {
    struct Row {
        const char* what;
        uint64_t seen;
        uint32_t n;
        bool compiled;
        std::vector<uint8_t> kinds;
    } rows[] = {
        {"int, float", 0x80004, 2, true, {3, 4}},
        {"bool, list", 0x200002, 2, true, {2, 6}},
        {"int then float in one lane", 0x0000C, 1, false, {}},
        {"another argument count", 0x8004 | helpers::kCountMismatchMask, 1, false, {}},
        {"a str", 0x10, 1, false, {}},
        {"never called", 0, 1, false, {}},
        {"no parameters", 0, 0, true, {}},
        {"five ints, lanes shared", 0x0004000400040004u, 5, true, {3, 3, 3, 3, 3}},
        {"five: int first, float fifth (lane 0 is 12)", 0x000400040004000Cu, 5, false, {}},
        {"six: bool second and sixth", 0x0004000400020004u, 6, true, {3, 2, 3, 3, 3, 2}},
    };
    for (const Row& row : rows) {
        compile::Compiler c;
        compile::init(&c, nullptr, "t", 1);
        helpers::EntryProfile profile{0, 3, row.seen, 0, row.n, 0};
        ASSERT_TRUE(c.profiles.put(kFunctionNode, &profile));
        CompileProbe probe{{}, 0x1000};
        compile::speculate(&c, kFunctionNode, probeCompile, &probe);
        EXPECT_EQ(profile.callCount, helpers::kParkedCount) << row.what;
        EXPECT_EQ(probe.ids.size(), row.compiled ? 1u : 0u) << row.what;
        if (row.compiled) {
            EXPECT_EQ(probe.ids[0], kFunctionNode | compile::kTypedEntryBit) << row.what;
            EXPECT_EQ(profile.typedEntry, 0x1000u) << row.what;
            EXPECT_EQ(profile.acceptedMask, row.seen) << row.what;
            compile::TypedEntry* kinds = c.typedEntries.find(kFunctionNode);
            ASSERT_NE(kinds, nullptr) << row.what;
            EXPECT_EQ(std::vector<uint8_t>(kinds->kinds, kinds->kinds + kinds->count), row.kinds)
                << row.what;
        } else {
            EXPECT_EQ(profile.typedEntry, 0u) << row.what;
        }
        compile::release(&c);
    }
}

TEST_F(OutOfLineLower, SpeculationMakesAnIntParameterOfTheOneIntTagItSaw) {
    struct Row {
        const char* what;
        uint64_t intTags;
        bool compiled;
        std::vector<uint8_t> kinds;
        uint64_t accepted;
    } rows[] = {
        {"plain ints only", 0x20002, true, {compile::kPlainIntKind, compile::kPlainIntKind},
         0x50005},
        {"checked ints only", 0x10001, true, {3, 3}, 0x40004},
        {"plain, then checked", 0x10002, true, {compile::kPlainIntKind, 3}, 0x40005},
        {"both tags in one lane", 0x10003, false, {}, 0},
    };
    for (const Row& row : rows) {
        compile::Compiler c;
        compile::init(&c, nullptr, "t", 1);
        helpers::EntryProfile profile{0, 3, 0x40004, 0, 2, row.intTags};
        ASSERT_TRUE(c.profiles.put(kFunctionNode, &profile));
        CompileProbe probe{{}, 0x1000};
        compile::speculate(&c, kFunctionNode, probeCompile, &probe);
        EXPECT_EQ(probe.ids.size(), row.compiled ? 1u : 0u) << row.what;
        EXPECT_EQ(profile.acceptedMask, row.accepted) << row.what;
        if (row.compiled) {
            compile::TypedEntry* kinds = c.typedEntries.find(kFunctionNode);
            ASSERT_NE(kinds, nullptr) << row.what;
            EXPECT_EQ(std::vector<uint8_t>(kinds->kinds, kinds->kinds + kinds->count), row.kinds)
                << row.what;
        }
        compile::release(&c);
    }
}

// Arguments 0 and 4 share lane 0 of the int-tags word too: a checked int in one and a plain
// one in the other is both tags in one lane.
TEST_F(OutOfLineLower, SpeculationGivesUpOnBothIntTagsInASharedLane) {
    for (uint64_t intTags : {uint64_t(0x3), uint64_t(0x1), uint64_t(0x2)}) {
        compile::Compiler c;
        compile::init(&c, nullptr, "t", 1);
        helpers::EntryProfile profile{0, 3, 0x0004000400040004u, 0, 5, intTags | 0x0001000100010000u};
        ASSERT_TRUE(c.profiles.put(kFunctionNode, &profile));
        CompileProbe probe{{}, 0x1000};
        compile::speculate(&c, kFunctionNode, probeCompile, &probe);
        EXPECT_EQ(probe.ids.size(), intTags == 3 ? 0u : 1u) << intTags;
        if (intTags == 2) {
            compile::TypedEntry* kinds = c.typedEntries.find(kFunctionNode);
            ASSERT_NE(kinds, nullptr);
            ASSERT_EQ(kinds->count, 5u);
            EXPECT_EQ(kinds->kinds[0], compile::kPlainIntKind);
            EXPECT_EQ(kinds->kinds[4], compile::kPlainIntKind);
            EXPECT_EQ(profile.acceptedMask, 0x0004000400040005u);
        }
        compile::release(&c);
    }
}

TEST_F(OutOfLineLower, AFailedSpeculationLeavesNoTypedEntryAndNoKinds) {
    compile::Compiler c;
    compile::init(&c, nullptr, "t", 1);
    helpers::EntryProfile profile{0, 3, 0x40004, 0, 2, 0};
    ASSERT_TRUE(c.profiles.put(kFunctionNode, &profile));
    CompileProbe probe{{}, 0};
    PyErr_SetString(PyExc_RuntimeError, "compile failed");
    compile::speculate(&c, kFunctionNode, probeCompile, &probe);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(profile.typedEntry, 0u);
    compile::TypedEntry* kinds = c.typedEntries.find(kFunctionNode);
    ASSERT_NE(kinds, nullptr);
    EXPECT_EQ(kinds->count, 0u);
    compile::release(&c);
}

// ---- raised control -----------------------------------------------------------------------------

// A program function (ctx, status, result) -> ok that dispatches status after a call whose
// returned value sits in the scratch slot (42); "done" stores 1.
using Dispatch = bool (*)(helpers::Ctx*, int32_t, value::Value*);

TEST_F(OutOfLineLower, RaisedStatusesReachTheirBlocks) {
    driver::Compiled* state = newState();
    compile::Compiler* c = &state->compiler;
    compile::ModuleRecord* m = &c->module;
    std::string symbol = symbolOf(state, "_raised");
    std::string text;
    {
        Function f(c, symbol.c_str(), kFunctionNode, {m->ptr, m->i32, m->ptr});
        f.e.resultSlot = f.param(2);
        llvmapi::BasicBlockRef error = T.LLVMAppendBasicBlockInContext(m->context, f.fn, "error");
        llvmapi::BasicBlockRef ret = T.LLVMAppendBasicBlockInContext(m->context, f.fn, "return");
        llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(m->context);
        T.LLVMPositionBuilderAtEnd(b, error);
        T.LLVMBuildRet(b, T.LLVMConstInt(m->i1, 0, 0));
        T.LLVMPositionBuilderAtEnd(b, ret);
        T.LLVMBuildRet(b, T.LLVMConstInt(m->i1, 1, 0));
        T.LLVMDisposeBuilder(b);
        f.e.errorTarget = error;
        f.e.returnBlock = ret;
        compile::storeWord(&f.e, compile::constI64(&f.e, value::TagInt), f.e.scratch);
        compile::storeWord(&f.e, compile::constI64(&f.e, 42), compile::slotPayload(&f.e, f.e.scratch));
        ASSERT_EQ(compile::emitRaisedControl(&f.e, f.param(1), 7), Status::ok) << message(c);
        compile::storeWord(&f.e, compile::constI64(&f.e, value::TagInt), f.e.resultSlot);
        compile::storeWord(&f.e, compile::constI64(&f.e, 1), compile::slotPayload(&f.e, f.e.resultSlot));
        text = f.ir();
    }
    for (const char* block : {"done", "not_done", "raised_error", "control", "raised_tail_call",
                              "raised_jump", "raised_return", "raised_loop", "raised_break",
                              "raised_continue", "after_tail"})
        EXPECT_NE(text.find(std::string("\n").append(block)), std::string::npos) << block << text;
    auto fn = reinterpret_cast<Dispatch>(loadAndFind(state, symbol));
    ASSERT_NE(fn, nullptr);
    start = pool::liveBlocks();  // the module's literals live as long as it
    struct Row {
        int32_t status;
        bool ok;
        uint64_t tag;
        uint64_t payload;
    } rows[] = {
        {1, true, value::TagInt, 1},         // done: on after the call
        {0, false, value::TagNone, 0},       // failed: the error exit
        {2, true, value::TagInt, 42},        // returned: the helper's value returned
        {5, true, 0xFFFF0002u, 0},           // a tail call left for the caller
        {3, false, value::TagNone, 0},       // break outside a loop fails
        {4, false, value::TagNone, 0},       // continue outside a loop fails
    };
    for (const Row& row : rows) {
        value::Value out = value::Value::none();
        EXPECT_EQ(fn(&ctx, row.status, &out), row.ok) << row.status;
        EXPECT_EQ(out.tag, row.tag) << row.status;
        EXPECT_EQ(out.payload, row.payload) << row.status;
        helpers::endCtx(&ctx);
        ctx = helpers::Ctx{};
        ctx.conversion = *convert::defaultContext();
    }
    driver::Compiled::free(state);
}

TEST_F(OutOfLineLower, ATailCallInsideAnOutOfLineHelperIsItsStatus) {
    driver::Compiled* state = newState();
    compile::Compiler* c = &state->compiler;
    compile::ModuleRecord* m = &c->module;
    Function f(c, "t_tail", compile::kNoFunctionScope, {m->ptr});
    f.e.modes.jumpsAsStatus = 1;
    ASSERT_EQ(compile::emitTailCall(&f.e, -3), Status::ok);
    EXPECT_NE(f.ir().find("ret i32 5"), std::string::npos);
    driver::Compiled::free(state);
}

// ---- call frames ------------------------------------------------------------------------------

// (ctx, out) -> ok: two stack slots holding 5 and 6, a frame made for a call, slot 0 of the
// frame changed to 9 as a helper would, the frame released; out = stack slot 0.
using FrameCase = bool (*)(helpers::Ctx*, value::Value*);

TEST_F(OutOfLineLower, AFrameMadeForACallMovesItsChangesBackIntoTheStackSlots) {
    driver::Compiled* state = newState();
    compile::Compiler* c = &state->compiler;
    compile::ModuleRecord* m = &c->module;
    std::string symbol = symbolOf(state, "_frame");
    compile::Layout layout{};
    ASSERT_TRUE(layout.slots.push(0));
    {
        Function f(c, symbol.c_str(), kFunctionNode, {m->ptr, m->ptr});
        f.e.layout = &layout;
        f.e.outOfLineNesting = 1;
        // Where a frame that can't be made fails the run: the run returns false.
        f.addErrorBlock();
        for (int64_t v : {5, 6}) {
            llvmapi::ValueRef slot = compile::valueSlot(&f.e);
            compile::storeWord(&f.e, compile::constI64(&f.e, value::TagInt), slot);
            compile::storeWord(&f.e, compile::constI64(&f.e, uint64_t(v)),
                               compile::slotPayload(&f.e, slot));
            ASSERT_TRUE(f.e.localSlots.push(slot));
        }
        compile::CallFrame frame{};
        ASSERT_EQ(compile::emitCallFrame(&f.e, 0, &frame), Status::ok) << message(c);
        ASSERT_TRUE(frame.made);
        llvmapi::ValueRef slot0 = compile::byteOffset(&f.e, frame.frame, 32);
        compile::storeWord(&f.e, compile::constI64(&f.e, 9), compile::slotPayload(&f.e, slot0));
        ASSERT_EQ(compile::emitCallFrameRelease(&f.e, frame.frame), Status::ok);
        llvmapi::ValueRef local = f.e.localSlots[0];
        compile::storeWord(&f.e, compile::loadWord(&f.e, local), f.param(1));
        compile::storeWord(&f.e, compile::loadWord(&f.e, compile::slotPayload(&f.e, local)),
                           compile::slotPayload(&f.e, f.param(1)));
        std::string text = f.ir();
        EXPECT_EQ(countOf(text, "@wn_frame_new"), 1u);
        EXPECT_EQ(countOf(text, "@wn_frame_release"), 1u);
        // A null frame (memory ran out) goes to the error exit before any store through it.
        EXPECT_NE(text.find("frame_failed"), std::string::npos) << text;
    }
    auto fn = reinterpret_cast<FrameCase>(loadAndFind(state, symbol));
    ASSERT_NE(fn, nullptr);
    value::Value out;
    ASSERT_TRUE(fn(&ctx, &out));
    EXPECT_EQ(out.tag, uint64_t(value::TagInt));
    EXPECT_EQ(out.payload, 9u);
    layout.slots.free();
    driver::Compiled::free(state);
}

TEST_F(OutOfLineLower, OutsideAnExpressionAFunctionWithoutAFrameIsCompiledAgainWithOne) {
    driver::Compiled* state = newState();
    compile::Compiler* c = &state->compiler;
    Function f(c, "t_noframe", kFunctionNode, {c->module.ptr});
    compile::CallFrame frame{};
    EXPECT_EQ(compile::emitCallFrame(&f.e, 0, &frame), Status::unsupported);
    EXPECT_EQ(c->frameNeeded, 1);
    EXPECT_EQ(c->frameNeededScope, kFunctionNode);
    EXPECT_NE(message(c).find("compiled again with frames"), std::string::npos);
    f.finish();
    driver::Compiled::free(state);
}

// ---- call sites --------------------------------------------------------------------------------

Shape constant(ShapeKind kind, int64_t v = 0) {
    Shape s{};
    s.kind = kind;
    if (kind == ShapeKind::pint) s.int_ = v;
    if (kind == ShapeKind::bool_) s.bool_ = uint8_t(v);
    return s;
}

struct SiteModule {
    driver::Compiled* state = newState();
    compile::Compiler* c = &state->compiler;
    driver::CompileInputs inputs{};
    Function* f;
    explicit SiteModule(uint64_t hotCalls) {
        inputs.hotCalls = hotCalls;
        c->inputs = &inputs;
        compile::ModuleRecord* m = &c->module;
        f = new Function(c, "t_sites", compile::kNoFunctionScope, {m->ptr, m->ptr, m->i64, m->i64});
        f->e.ownFrame = f->param(1);
        f->e.hasOwnFrame = 1;
        f->addErrorBlock();
    }
    ~SiteModule() {
        delete f;
        c->inputs = nullptr;
        driver::Compiled::free(state);
    }
    Shape dyn() {
        compile::Operand o{};
        o.tag = f->param(2);
        o.payload = f->param(3);
        o.functionNode = compile::kNoFunctionNode;
        return compile::dynShape(o);
    }
    Status call(front::FunctionIR* helper, std::vector<Shape> args) {
        Shape out;
        Status s = compile::emitHelperCall(&f->e, helper, 7, args.data(), uint32_t(args.size()),
                                           &out);
        if (s == Status::ok) s = compile::release(&f->e, out);
        return s;
    }
};

TEST_F(OutOfLineLower, CallsWithTheSameKeyShareASpecialisationAndOthersGetTheirOwn) {
    SiteModule site(2);
    ASSERT_EQ(site.call(&ir, {constant(ShapeKind::none), site.dyn()}), Status::ok);
    ASSERT_EQ(site.call(&ir, {constant(ShapeKind::none), site.dyn()}), Status::ok);
    EXPECT_EQ(site.c->helpers.count, 1u);
    ASSERT_EQ(site.call(&ir, {constant(ShapeKind::bool_, 1), site.dyn()}), Status::ok);
    EXPECT_EQ(site.c->helpers.count, 2u);
    EXPECT_EQ(site.c->helperWorklist.count, 2u);
    std::string h0 = symbolOf(site.state, "_h0"), h1 = symbolOf(site.state, "_h1");
    EXPECT_EQ(std::string(site.c->helpers[0]->symbol), h0);
    EXPECT_EQ(std::string(site.c->helpers[1]->symbol), h1);
    // Only dyn values and constants compiled in: nothing to specialise on at run time.
    EXPECT_EQ(site.c->sites.count, 0u);
    std::string text = site.f->ir();
    EXPECT_EQ(countOf(text, "call i32 @" + h0 + "("), 2u) << text;
    EXPECT_EQ(countOf(text, "call i32 @" + h1 + "("), 1u) << text;
    EXPECT_EQ(text.find("wn_specialize"), std::string::npos);
    EXPECT_EQ(verify(&site.c->module), "");
    start = pool::liveBlocks();  // the module's literals (the jump texts) live as long as it
}

TEST_F(OutOfLineLower, AConstantPassedAtRunTimeGetsASiteThatSpecialisesOnceWhenHot) {
    SiteModule site(2);
    ASSERT_EQ(site.call(&ir, {constant(ShapeKind::pint, 5), site.dyn()}), Status::ok)
        << message(site.c);
    ASSERT_EQ(site.c->sites.count, 1u);
    compile::HelperSite* record = site.c->sites[0];
    EXPECT_EQ(record->keys[0].kind, ShapeKind::pint);
    EXPECT_EQ(record->keys[0].int_, 5);
    EXPECT_EQ(record->keys[1].kind, ShapeKind::dyn);
    EXPECT_EQ(record->flags[0], 1);
    EXPECT_EQ(record->flags[1], 1);
    // The specialisation takes both at run time.
    ASSERT_EQ(site.c->helpers.count, 1u);
    EXPECT_EQ(site.c->helpers[0]->shapes[0].kind, ShapeKind::dyn);
    std::string text = site.f->ir();
    EXPECT_EQ(countOf(text, "call void @wn_specialize"), 1u) << text;
    for (const char* block : {"site_special", "site_generic", "site_hot", "site_call", "site_done"})
        EXPECT_NE(text.find(block), std::string::npos) << block;
    EXPECT_NE(text.find(" 2\n"), std::string::npos);  // compared with hot_calls
    // The cell is read only through the process's functions: its version with acquire order
    // (a plain load could see the address before the code behind it), its count atomically.
    std::string cell;
    for (size_t i = 0; i < site.c->module.symbols.count; i++) {
        const compile::KeySymbol& k = site.c->module.symbols[i];
        if (k.address == uint64_t(uintptr_t(record->cell))) cell = std::string(k.name, k.length);
    }
    ASSERT_NE(cell, "");
    EXPECT_EQ(text.find("load i64, ptr @" + cell), std::string::npos) << text;
    EXPECT_EQ(countOf(text, "(ptr @" + cell + ")"), 2u) << text;
    EXPECT_EQ(verify(&site.c->module), "");
    start = pool::liveBlocks();
}

struct SpecializeProbe {
    std::vector<compile::HelperSpec*> specs;
    uint64_t address;
};
int probeSpecialize(void* user, compile::HelperSpec* spec, uint64_t* address) {
    auto* probe = static_cast<SpecializeProbe*>(user);
    probe->specs.push_back(spec);
    *address = probe->address;
    if (!probe->address) PyErr_SetString(PyExc_RuntimeError, "compile failed");
    return probe->address ? 0 : -1;
}

TEST_F(OutOfLineLower, AHotSiteGetsAVersionForItsConstantsPublishedInItsCell) {
    for (uint64_t address : {uint64_t(0x3000), uint64_t(0)}) {
        SiteModule site(2);
        ASSERT_EQ(site.call(&ir, {constant(ShapeKind::pint, 5), site.dyn()}), Status::ok);
        ASSERT_EQ(site.c->sites.count, 1u);
        SpecializeProbe probe{{}, address};
        compile::specializeSite(site.c, 0, probeSpecialize, &probe);
        compile::specializeSite(site.c, 1, probeSpecialize, &probe);  // no such site
        ASSERT_EQ(probe.specs.size(), 1u);
        compile::HelperSpec* spec = probe.specs[0];
        EXPECT_EQ(std::string(spec->symbol), symbolOf(site.state, "_s1"));
        EXPECT_EQ(spec->shapes[0].kind, ShapeKind::pint);
        EXPECT_EQ(spec->shapes[1].kind, ShapeKind::dyn);
        ASSERT_NE(spec->argumentFlags, nullptr);
        EXPECT_EQ(spec->argumentFlags[0], 1);  // still in the argument array
        EXPECT_EQ(helpers::siteEntryOf(site.c->sites[0]->cell), address);
        EXPECT_FALSE(PyErr_Occurred());
        start = pool::liveBlocks();
    }
}

TEST_F(OutOfLineLower, ASiteEqualToAnEarlierOneGetsItsVersionAndEverySiteAsksOnce) {
    SiteModule site(2);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(site.call(&ir, {constant(ShapeKind::pint, i == 2 ? 6 : 5), site.dyn()}),
                  Status::ok);
    ASSERT_EQ(site.c->sites.count, 3u);
    SpecializeProbe probe{{}, 0x3000};
    for (int64_t i = 0; i < 3; i++) compile::specializeSite(site.c, i, probeSpecialize, &probe);
    // Sites 0 and 1 saw the same constant: one version, handed over twice; site 2 its own.
    ASSERT_EQ(probe.specs.size(), 3u);
    EXPECT_EQ(probe.specs[1], probe.specs[0]);
    EXPECT_NE(probe.specs[2], probe.specs[0]);
    EXPECT_EQ(site.c->runtimeSpecialisations, 2u);
    for (int64_t i = 0; i < 3; i++) {
        EXPECT_EQ(helpers::siteEntryOf(site.c->sites[size_t(i)]->cell), 0x3000u);
        EXPECT_EQ(site.c->sites[size_t(i)]->cell->callCount, helpers::kParkedCount);
    }
    start = pool::liveBlocks();
}

TEST_F(OutOfLineLower, TheModuleMakesNoMoreThan256SpecialisationsAtRunTime) {
    SiteModule site(2);
    ASSERT_EQ(site.call(&ir, {constant(ShapeKind::pint, 5), site.dyn()}), Status::ok);
    ASSERT_EQ(site.call(&ir, {constant(ShapeKind::pint, 6), site.dyn()}), Status::ok);
    SpecializeProbe probe{{}, 0x3000};
    site.c->runtimeSpecialisations = 255;
    compile::specializeSite(site.c, 0, probeSpecialize, &probe);  // the 256th
    compile::specializeSite(site.c, 1, probeSpecialize, &probe);  // the 257th is not made
    EXPECT_EQ(probe.specs.size(), 1u);
    EXPECT_EQ(site.c->runtimeSpecialisations, 256u);
    EXPECT_EQ(helpers::siteEntryOf(site.c->sites[1]->cell), 0u);
    EXPECT_EQ(site.c->sites[1]->cell->callCount, helpers::kParkedCount);
    start = pool::liveBlocks();
}

TEST_F(OutOfLineLower, SiteCountsAreAtomicAndTheEntryIsPublishedWithRelease) {
    helpers::SiteCell cell{};
    for (uint64_t k = 1; k <= 3; k++) EXPECT_EQ(wuna_site_count(&cell), k);
    EXPECT_EQ(wuna_site_entry(&cell), 0u);
    helpers::publishSiteEntry(&cell, 0x2000);
    EXPECT_EQ(helpers::siteEntryOf(&cell), 0x2000u);
    EXPECT_EQ(wuna_site_entry(&cell), 0x2000u);
    helpers::EntryProfile profile{};
    EXPECT_EQ(wuna_profile_count(&profile, 0x4, 0), 1u);
    EXPECT_EQ(wuna_profile_count(&profile, 0x80000, 0), 2u);
    EXPECT_EQ(profile.seenMask, 0x80004u);
}

TEST_F(OutOfLineLower, CallsOnSeveralThreadsLoseNoCountAndNoKind) {
    helpers::EntryProfile profile{};
    helpers::SiteCell cell{};
    constexpr uint64_t kThreads = 4, kCalls = 20000;
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (uint64_t k = 0; k < kCalls; k++) {
                (void)wuna_profile_count(&profile, uint64_t(1) << (16 * t + 2), 0);
                (void)wuna_site_count(&cell);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(profile.callCount, kThreads * kCalls);
    EXPECT_EQ(profile.seenMask, 0x0004000400040004u);
    EXPECT_EQ(cell.callCount, kThreads * kCalls);
}

TEST_F(OutOfLineLower, TheGuardsOtherPathCallsTheHelperWithItsParametersCurrentValues) {
    // The guard of a helper of two parameters is inlined; its else calls the helper out of
    // line (expression kind 33). The parameters hold a constant 5 and None, both known while
    // compiling: the call takes them out of the locals, 5 at run time (and worth a site
    // record), None compiled into the specialisation.
    SiteModule site(2);
    compile::Semantic* body = compile::newSemantic(site.c, &ir, 3, 7);
    ASSERT_NE(body, nullptr);
    body->locals[0].state = compile::LocalState::comptime;
    body->locals[0].shape = constant(ShapeKind::pint, 5);
    body->locals[1].state = compile::LocalState::comptime;
    body->locals[1].shape = constant(ShapeKind::none);
    front::Expr call{};
    call.kind = front::ExprKind::outOfLine;
    call.position = front::makePosition(4, 2);
    Shape out;
    ASSERT_EQ(compile::emitClosure(&site.f->e, body, &call, &out), Status::ok) << message(site.c);
    ASSERT_EQ(compile::release(&site.f->e, out), Status::ok);
    EXPECT_EQ(site.f->e.outOfLineNesting, 0u);
    for (uint32_t i = 0; i < 2; i++) EXPECT_EQ(body->locals[i].state, compile::LocalState::empty);
    ASSERT_EQ(site.c->helpers.count, 1u);
    compile::HelperSpec* spec = site.c->helpers[0];
    EXPECT_EQ(spec->function, &ir);
    ASSERT_EQ(spec->argumentCount, 2u);
    EXPECT_EQ(spec->shapes[0].kind, ShapeKind::dyn);
    EXPECT_EQ(spec->shapes[1].kind, ShapeKind::none);
    ASSERT_EQ(site.c->sites.count, 1u);
    EXPECT_EQ(site.c->sites[0]->keys[0].int_, 5);
    std::string text = site.f->ir();
    EXPECT_NE(text.find("@" + std::string(spec->symbol) + "("), std::string::npos) << text;
    EXPECT_EQ(verify(&site.c->module), "");
    compile::endSemantic(body);
    start = pool::liveBlocks();
}

TEST_F(OutOfLineLower, AListTheHelperOnlyReadsIsKeyedOnWithACopyOfItsOwn) {
    // The analyzer reads the helpers' source: they live in a file of their own.
    std::string path = testing::TempDir() + "outofline_readonly.py";
    {
        std::ofstream file(path);
        file << "def reads(xs, y):\n    return len(xs) + y\n\n\n"
                "def writes(xs, y):\n    xs.append(y)\n    return y\n";
    }
    PyObject* module = testing_support::eval("__import__('runpy').run_path('" + path + "')");
    ASSERT_NE(module, nullptr);
    struct Row {
        const char* helper;
        bool keyed;
    } rows[] = {{"reads", true}, {"writes", false}};
    for (const Row& row : rows) {
        SiteModule site(2);
        ir.function = PyDict_GetItemString(module, row.helper);
        ASSERT_NE(ir.function, nullptr);
        front::ListRecord* items = front::newListRecord(site.c);
        ASSERT_NE(items, nullptr);
        ASSERT_EQ(front::appendItem(site.c, items, constant(ShapeKind::pint, 1)), Status::ok);
        ASSERT_EQ(front::appendItem(site.c, items, constant(ShapeKind::pint, 2)), Status::ok);
        Shape list{};
        list.kind = ShapeKind::list;
        list.list = items;
        ASSERT_EQ(site.call(&ir, {list, constant(ShapeKind::none)}), Status::ok)
            << message(site.c);
        EXPECT_FALSE(PyErr_Occurred());
        // The specialisation takes the list at run time either way.
        ASSERT_EQ(site.c->helpers.count, 1u);
        EXPECT_EQ(site.c->helpers[0]->shapes[0].kind, ShapeKind::dyn);
        ASSERT_EQ(site.c->sites.count, row.keyed ? 1u : 0u) << row.helper;
        if (row.keyed) {
            const Shape& key = site.c->sites[0]->keys[0];
            ASSERT_EQ(key.kind, ShapeKind::list);
            EXPECT_NE(key.list, items);  // the caller may still change its own
            ASSERT_EQ(key.list->length, 2u);
            EXPECT_EQ(key.list->items[1].int_, 2);
            EXPECT_EQ(site.c->sites[0]->flags[0], 1);
        }
        (void)site.f->ir();  // finishes the function
        EXPECT_EQ(verify(&site.c->module), "");
        start = pool::liveBlocks();
    }
    ir.function = nullptr;
    Py_DECREF(module);
}

TEST_F(OutOfLineLower, ArgumentsThatCantBeGivenAndWrongCountsFailToCompile) {
    struct Row {
        ShapeKind kind;
        const char* text;
    } rows[] = {
        {ShapeKind::rtMethod, "a rt_method can't be given to a helper compiled out of line"},
        {ShapeKind::control, "a control can't be given to a helper compiled out of line"},
        {ShapeKind::method, "a method can't be given to a helper compiled out of line"},
    };
    for (const Row& row : rows) {
        SiteModule site(2);
        EXPECT_EQ(site.call(&ir, {constant(row.kind), constant(ShapeKind::none)}),
                  Status::unsupported);
        std::string text = message(site.c);
        EXPECT_NE(text.find("t.py:3:"), std::string::npos) << text;
        EXPECT_EQ(text.substr(text.size() - strlen(row.text)), row.text);
        EXPECT_EQ(site.c->helpers.count, 0u);
    }
    SiteModule site(2);
    EXPECT_EQ(site.call(&ir, {constant(ShapeKind::none), constant(ShapeKind::none),
                              constant(ShapeKind::none)}),
              Status::unsupported);
    std::string text = message(site.c);
    EXPECT_NE(text.find("called with 3 arguments, takes 2"), std::string::npos) << text;
}

// ---- the function of a specialisation -------------------------------------------------------------

TEST_F(OutOfLineLower, ASpecialisationsFunctionHasItsSymbolAndSignature) {
    driver::Compiled* state = newState();
    compile::Compiler* c = &state->compiler;
    ir.function = testing_support::eval("len");
    Shape shapes[2] = {constant(ShapeKind::none), constant(ShapeKind::none)};
    compile::HelperSpec spec{};
    spec.function = &ir;
    spec.shapes = shapes;
    spec.argumentCount = 2;
    spec.origin = ir.function;
    ASSERT_EQ(compile::helperName(c, compile::SpecLetter::helperSite, &spec), Status::ok);
    Status s = compile::emitHelperSpec(c, &spec);
    compile::FunctionRef* fn = c->module.functions.find(backend::Text{spec.symbol, spec.symbolLength});
    ASSERT_NE(fn, nullptr);
    std::string text = irOf(fn->function);
    EXPECT_NE(text.find("define i32 @" + std::string(spec.symbol) +
                        "(ptr %0, ptr %1, ptr %2, i32 %3, i32 %4, ptr %5, ptr %6, ptr %7)"),
              std::string::npos)
        << text;
    ASSERT_EQ(s, Status::ok) << message(c);
    // An empty body: None stored through the result pointer, status done; "error" gives failed.
    EXPECT_NE(text.find("\nerror"), std::string::npos) << text;
    EXPECT_NE(text.find("ret i32 1"), std::string::npos) << text;
    EXPECT_NE(text.find("ret i32 0"), std::string::npos) << text;
    EXPECT_EQ(verify(&c->module), "");
    EXPECT_GT(c->specialisationBlocks, 0u);
    free(spec.symbol);
    Py_DECREF(ir.function);
    ir.function = nullptr;
    driver::Compiled::free(state);
}

}  // namespace

}  // namespace wuna
