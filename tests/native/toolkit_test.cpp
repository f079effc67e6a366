// The emission toolkit's builder, operands and reference counts: the open-block rule, block
// numbers, the three grades of counting (the "rc" block only in straight-line top-level
// code, wn_inc/wn_dec elsewhere, exported helpers on error paths), an increment cancelled by
// the decrement right after it, borrow flags moving between borrowed, owned and given up at
// run time, copies of borrows, borrows of globals made owners before calls that may run
// program code, and key globals that fail without stopping the process.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>

#include "compiler/codegen/emitter.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using backend_testing::Bare;
using compile::BorrowFlag;
using compile::KnownKind;
using compile::Operand;
using compile::RefMode;
using compile::Shape;
const llvmapi::Table& T = llvmapi::table;

using Toolkit = backend_testing::BackendTest;

constexpr uint32_t kProgramFunction = 7;

Operand paramOperand(Function& f, unsigned tag, unsigned payload, KnownKind kind) {
    Operand o{};
    o.tag = f.param(tag);
    o.payload = f.param(payload);
    o.functionNode = compile::kNoFunctionNode;
    o.kind = kind;
    return o;
}

TEST_F(Toolkit, CodeAfterAJumpLandsInAnUnnumberedDeadBlockAndTheFunctionVerifies) {
    Bare bare("t_dead");
    Function f(&bare.c, "t_dead_f", kProgramFunction, {bare.m()->ptr});
    compile::Builder* b = &f.e.builder;
    llvmapi::BasicBlockRef next;
    ASSERT_EQ(compile::newBlock(b, "then", &next), Status::ok);
    compile::br(b, next);
    // A statement after the jump: its call goes into "dead".
    llvmapi::ValueRef args[2] = {compile::constI64(&f.e, 0), compile::constI64(&f.e, 0)};
    compile::callNamed(b, "wn_decref", args, 2);
    compile::enter(b, next);
    uint64_t numbered = bare.m()->blockCount;
    std::string ir = f.ir();
    EXPECT_NE(ir.find("\ndead:"), std::string::npos) << ir;
    EXPECT_NE(ir.find("preds = %dead, %start"), std::string::npos) << "dead falls through:\n" << ir;
    EXPECT_EQ(bare.m()->blockCount, numbered) << "dead blocks are not counted";
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(Toolkit, EnterAfterABranchAddsNoSecondBranch) {
    Bare bare("t_enter");
    Function f(&bare.c, "t_enter_f", kProgramFunction);
    compile::Builder* b = &f.e.builder;
    llvmapi::BasicBlockRef next;
    ASSERT_EQ(compile::newBlock(b, "then", &next), Status::ok);
    compile::br(b, next);
    compile::enter(b, next);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "br label %then1"), 1u) << ir;
    EXPECT_EQ(ir.find("dead"), std::string::npos) << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(Toolkit, BlockNumbersRunAcrossBaseNamesWithinAFunction) {
    Bare bare("t_num");
    Function f(&bare.c, "t_num_f", kProgramFunction);
    compile::Builder* b = &f.e.builder;
    llvmapi::BasicBlockRef a, c, d;
    ASSERT_EQ(compile::newBlock(b, "ok", &a), Status::ok);
    ASSERT_EQ(compile::newBlock(b, "then", &c), Status::ok);
    ASSERT_EQ(compile::newBlock(b, "ok", &d), Status::ok);
    EXPECT_STREQ(LLVMGetBasicBlockName(reinterpret_cast<LLVMBasicBlockRef>(a)), "ok1");
    EXPECT_STREQ(LLVMGetBasicBlockName(reinterpret_cast<LLVMBasicBlockRef>(c)), "then2");
    EXPECT_STREQ(LLVMGetBasicBlockName(reinterpret_cast<LLVMBasicBlockRef>(d)), "ok3");
    std::string longName(70, 'x');
    llvmapi::BasicBlockRef tooLong;
    ASSERT_EQ(compile::newBlock(b, longName.c_str(), &tooLong), Status::ok);
    EXPECT_STREQ(LLVMGetBasicBlockName(reinterpret_cast<LLVMBasicBlockRef>(tooLong)), "b");
    compile::enter(b, a);
    compile::enter(b, c);
    compile::enter(b, d);
    compile::enter(b, tooLong);
    EXPECT_EQ(f.ir().find("dead"), std::string::npos);
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(Toolkit, LoadOperandReadsTagAndPayloadWithoutAFlag) {
    Bare bare("t_load");
    Function f(&bare.c, "t_load_f", kProgramFunction);
    llvmapi::ValueRef slot = compile::valueSlot(&f.e);
    Operand o = compile::loadOperand(&f.e, slot, KnownKind(0x13));
    EXPECT_EQ(o.borrowFlag, nullptr);
    EXPECT_EQ(o.source, nullptr);
    EXPECT_EQ(o.functionNode, compile::kNoFunctionNode);
    EXPECT_EQ(o.kind, KnownKind::int_) << "only the low 4 bits";
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "load i64"), 2u) << ir;
    EXPECT_NE(ir.find("getelementptr inbounds { i64, i64 }"), std::string::npos) << ir;
}

// Reference-count operations of uncounted kinds emit nothing, in every grade.
struct Uncounted {
    KnownKind kind;
    uint32_t scope;
};
class UncountedKinds : public Toolkit, public ::testing::WithParamInterface<Uncounted> {};

TEST_P(UncountedKinds, EmitNoCountInstruction) {
    Bare bare("t_unc");
    llvmapi::TypeRef i64 = bare.m()->i64;
    Function f(&bare.c, "t_unc_f", GetParam().scope, {bare.m()->ptr, i64, i64});
    Operand o = paramOperand(f, 1, 2, GetParam().kind);
    ASSERT_EQ(compile::addReference(&f.e, &o), Status::ok);
    ASSERT_EQ(compile::release(&f.e, compile::dynShape(o)), Status::ok);
    Shape copy;
    ASSERT_EQ(compile::ownCopy(&f.e, compile::dynShape(o), &copy), Status::ok);
    std::string ir = f.ir();
    EXPECT_EQ(ir.find("call"), std::string::npos) << ir;
}

INSTANTIATE_TEST_SUITE_P(Kinds, UncountedKinds,
                         ::testing::Values(Uncounted{KnownKind::none, kProgramFunction},
                                           Uncounted{KnownKind::bool_, compile::kNoFunctionScope},
                                           Uncounted{KnownKind::int_, kProgramFunction},
                                           Uncounted{KnownKind::float_, compile::kNoFunctionScope},
                                           Uncounted{KnownKind::node, kProgramFunction},
                                           Uncounted{KnownKind::node, compile::kNoFunctionScope}));

// Which grade of counting each kind of code gets.
struct Grade {
    const char* name;
    uint32_t scope;
    uint32_t controlDepth;
    uint32_t errorPath;
    const char* expected;  // in the IR
    bool rcBlock;
};
class Grades : public Toolkit, public ::testing::WithParamInterface<Grade> {};

TEST_P(Grades, PickTheCallOfTheirGrade) {
    const Grade& g = GetParam();
    Bare bare("t_grade");
    llvmapi::TypeRef i64 = bare.m()->i64;
    Function f(&bare.c, "t_grade_f", g.scope, {bare.m()->ptr, i64, i64});
    f.e.controlDepth = g.controlDepth;
    f.e.errorPathDepth = g.errorPath;
    ASSERT_EQ(compile::refcount(&f.e, RefMode::increment, f.param(1), f.param(2)), Status::ok);
    std::string ir = f.ir();
    EXPECT_NE(ir.find(g.expected), std::string::npos) << ir;
    EXPECT_EQ(ir.find("\nrc") != std::string::npos, g.rcBlock) << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

INSTANTIATE_TEST_SUITE_P(
    Code, Grades,
    ::testing::Values(
        Grade{"topLevel", compile::kNoFunctionScope, 0, 0, "call void @wn_incref", true},
        Grade{"topLevelLoop", compile::kNoFunctionScope, 1, 0, "call void @wn_inc(", false},
        Grade{"programFunction", kProgramFunction, 0, 0, "call void @wn_inc(", false},
        Grade{"errorPath", kProgramFunction, 0, 1, "call void @wn_incref", false},
        Grade{"topLevelErrorPath", compile::kNoFunctionScope, 0, 1, "call void @wn_incref", false}),
    [](const ::testing::TestParamInfo<Grade>& info) { return std::string(info.param.name); });

TEST_F(Toolkit, AnIncrementAndTheDecrementRightAfterItCancel) {
    Bare bare("t_cancel");
    llvmapi::TypeRef i64 = bare.m()->i64;
    Function f(&bare.c, "t_cancel_f", kProgramFunction, {bare.m()->ptr, i64, i64});
    Operand o = paramOperand(f, 1, 2, KnownKind::unknown);
    ASSERT_EQ(compile::addReference(&f.e, &o), Status::ok);
    ASSERT_EQ(compile::release(&f.e, compile::dynShape(o)), Status::ok);
    std::string ir = f.ir();
    EXPECT_EQ(ir.find("@wn_inc("), std::string::npos) << ir;
    EXPECT_EQ(ir.find("@wn_dec("), std::string::npos) << ir;
}

TEST_F(Toolkit, AnIncrementWithCodeOrOtherValuesBeforeTheDecrementStays) {
    Bare bare("t_keep");
    llvmapi::TypeRef i64 = bare.m()->i64;
    Function f(&bare.c, "t_keep_f", kProgramFunction, {bare.m()->ptr, i64, i64, i64});
    ASSERT_EQ(compile::refcount(&f.e, RefMode::increment, f.param(1), f.param(2)), Status::ok);
    llvmapi::ValueRef slot = compile::valueSlot(&f.e);
    compile::storeWord(&f.e, f.param(1), slot);
    ASSERT_EQ(compile::refcount(&f.e, RefMode::decrement, f.param(1), f.param(2)), Status::ok);
    // Another payload right after an increment: no cancelling either.
    ASSERT_EQ(compile::refcount(&f.e, RefMode::increment, f.param(1), f.param(2)), Status::ok);
    ASSERT_EQ(compile::refcount(&f.e, RefMode::decrement, f.param(1), f.param(3)), Status::ok);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "@wn_inc("), 2u) << ir;
    EXPECT_EQ(countOf(ir, "@wn_dec("), 2u) << ir;
}

TEST_F(Toolkit, ReleasingAnOperandReleasesEveryTupleElementThatMayHoldAReference) {
    Bare bare("t_tuple");
    llvmapi::TypeRef i64 = bare.m()->i64;
    Function f(&bare.c, "t_tuple_f", kProgramFunction, {bare.m()->ptr, i64, i64});
    Shape items[3] = {compile::dynShape(paramOperand(f, 1, 2, KnownKind::str)),
                      compile::dynShape(paramOperand(f, 1, 2, KnownKind::int_)), Shape{}};
    items[2].kind = compile::ShapeKind::str;
    Shape tuple{};
    tuple.kind = compile::ShapeKind::tuple;
    tuple.tuple.items = items;
    tuple.tuple.count = 3;
    EXPECT_TRUE(compile::mayHoldReference(tuple));
    EXPECT_FALSE(compile::mayHoldReference(items[1]));
    EXPECT_FALSE(compile::mayHoldReference(items[2]));
    ASSERT_EQ(compile::release(&f.e, tuple), Status::ok);
    EXPECT_EQ(countOf(f.ir(), "@wn_dec("), 1u);
}

// --- run through the code engine -----------------------------------------------------------

// <prefix>_f(ctx, tag, payload, out flag): a borrow of the value, then the operation, then
// the flag stored to *out.
enum class BorrowStep { release, takeAndRelease, take };

void buildBorrowStep(driver::Compiled* s, BorrowStep step, uint32_t scope) {
    compile::ModuleRecord* m = &s->compiler.module;
    std::string name = symbolOf(s, "_f");
    Function f(&s->compiler, name.c_str(), scope, {m->ptr, m->i64, m->i64, m->ptr});
    Operand value = paramOperand(f, 1, 2, KnownKind::str);
    Operand borrowed;
    ASSERT_EQ(compile::borrowOperand(&f.e, value, 3, &borrowed), Status::ok);
    if (step != BorrowStep::release) {
        ASSERT_EQ(compile::takeOwnership(&f.e, &borrowed), Status::ok);
    }
    if (step != BorrowStep::take) {
        ASSERT_EQ(compile::release(&f.e, compile::dynShape(borrowed)), Status::ok);
    }
    compile::storeWord(&f.e, compile::loadWord(&f.e, borrowed.borrowFlag), f.param(3));
}

struct BorrowCase {
    BorrowStep step;
    uint32_t scope;
    uint64_t count;  // the block's count after the call (it starts at 1)
    BorrowFlag flag;
};
class Borrows : public Toolkit, public ::testing::WithParamInterface<BorrowCase> {};

TEST_P(Borrows, MoveTheirFlagAndCountAtRunTime) {
    const BorrowCase& c = GetParam();
    driver::Compiled* s = newState();
    buildBorrowStep(s, c.step, c.scope);
    auto fn = reinterpret_cast<bool (*)(void*, int64_t, int64_t, int64_t*)>(
        loadAndFind(s, symbolOf(s, "_f")));
    ASSERT_NE(fn, nullptr);
    value::Str* str = value::newStr("abc", 3);
    str->h.count = 2;  // one for the test, one that the program's variable holds
    int64_t flag = -1;
    fn(nullptr, value::TagStr, int64_t(uintptr_t(str)), &flag);
    EXPECT_EQ(str->h.count, c.count + 1);
    EXPECT_EQ(flag, int64_t(c.flag));
    str->h.count = 1;
    value::decref(value::Value{value::TagStr, uint64_t(uintptr_t(str))});
    driver::Compiled::free(s);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, Borrows,
    ::testing::Values(
        // Released while borrowed: the count is unchanged, the flag given up.
        BorrowCase{BorrowStep::release, kProgramFunction, 1, BorrowFlag::givenUp},
        BorrowCase{BorrowStep::release, compile::kNoFunctionScope, 1, BorrowFlag::givenUp},
        // Owned: one more reference, dropped again by the release.
        BorrowCase{BorrowStep::takeAndRelease, kProgramFunction, 1, BorrowFlag::givenUp},
        BorrowCase{BorrowStep::takeAndRelease, compile::kNoFunctionScope, 1, BorrowFlag::givenUp},
        BorrowCase{BorrowStep::take, kProgramFunction, 2, BorrowFlag::owned},
        BorrowCase{BorrowStep::take, compile::kNoFunctionScope, 2, BorrowFlag::owned}));

TEST_F(Toolkit, TopLevelIncrementsTestTheTagInline) {
    driver::Compiled* s = newState();
    compile::ModuleRecord* m = &s->compiler.module;
    {
        std::string name = symbolOf(s, "_f");
        Function f(&s->compiler, name.c_str(), compile::kNoFunctionScope, {m->ptr, m->i64, m->i64});
        ASSERT_EQ(compile::refcount(&f.e, RefMode::increment, f.param(1), f.param(2)), Status::ok);
        EXPECT_NE(f.ir().find("rc_done"), std::string::npos);
    }
    auto fn =
        reinterpret_cast<bool (*)(void*, int64_t, int64_t)>(loadAndFind(s, symbolOf(s, "_f")));
    ASSERT_NE(fn, nullptr);
    value::Obj counted{3, value::TagStr, 0};
    fn(nullptr, value::TagStr, int64_t(uintptr_t(&counted)));
    EXPECT_EQ(counted.count, 4u);
    // A tag of 20 or more is never counted, whatever its payload points at.
    fn(nullptr, 20, int64_t(uintptr_t(&counted)));
    fn(nullptr, 36, int64_t(uintptr_t(&counted)));  // 36 & 31 is the str tag
    EXPECT_EQ(counted.count, 4u);
    value::Obj immortal{value::kImmortal, value::TagList, 0};
    fn(nullptr, value::TagList, int64_t(uintptr_t(&immortal)));
    EXPECT_EQ(immortal.count, value::kImmortal);
    driver::Compiled::free(s);
}

// --- copies of borrows ---------------------------------------------------------------------

// A program function (ctx, tag, payload) that has read its value into a borrow of symbol.
struct BorrowedRead {
    Function f;
    Operand read{};
    BorrowedRead(compile::Compiler* c, const char* name, KnownKind kind, uint32_t symbol)
        : f(c, name, kProgramFunction, {c->module.ptr, c->module.i64, c->module.i64}) {
        EXPECT_EQ(compile::borrowOperand(&f.e, paramOperand(f, 1, 2, kind), symbol, &read),
                  Status::ok);
    }
};

TEST_F(Toolkit, ACopyOfABorrowBorrowsUntilSixteenRecordsOfTheVariable) {
    Bare bare("t_copy");
    // Without a tree every symbol is a global one: a program function may borrow it.
    BorrowedRead r(&bare.c, "t_copy_f", KnownKind::list, 9);
    Function& f = r.f;
    Operand read = r.read;
    Shape copies[compile::kBorrowsPerSymbol];
    for (uint32_t i = 0; i + 1 < compile::kBorrowsPerSymbol; i++) {
        ASSERT_EQ(compile::ownCopy(&f.e, compile::dynShape(read), &copies[i]), Status::ok);
        EXPECT_NE(copies[i].dyn.borrowFlag, read.borrowFlag);
        EXPECT_NE(copies[i].dyn.borrowFlag, nullptr);
    }
    EXPECT_EQ(f.e.borrows.count, compile::kBorrowsPerSymbol);
    // The seventeenth takes a reference of its own, sharing the read's flag.
    Shape owned;
    ASSERT_EQ(compile::ownCopy(&f.e, compile::dynShape(read), &owned), Status::ok);
    EXPECT_EQ(owned.dyn.borrowFlag, read.borrowFlag);
    EXPECT_EQ(f.e.borrows.count, compile::kBorrowsPerSymbol);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "\nborrow_again"), compile::kBorrowsPerSymbol - 1);
    EXPECT_EQ(countOf(ir, "\nborrow_taken"), 1u);
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(Toolkit, TheTopLevelCopiesABorrowOfAGlobalWithAReferenceOfItsOwn) {
    Bare bare("t_topcopy");
    llvmapi::TypeRef i64 = bare.m()->i64;
    Function f(&bare.c, "t_topcopy_f", compile::kNoFunctionScope, {bare.m()->ptr, i64, i64});
    f.e.hasOwnFrame = 1;  // its variables live in a frame
    Operand read;
    ASSERT_EQ(compile::borrowOperand(&f.e, paramOperand(f, 1, 2, KnownKind::str), 4, &read),
              Status::ok);
    Shape copy;
    ASSERT_EQ(compile::ownCopy(&f.e, compile::dynShape(read), &copy), Status::ok);
    EXPECT_EQ(copy.dyn.borrowFlag, read.borrowFlag);
    EXPECT_EQ(f.e.borrows.count, 1u);
}

// --- borrows of globals across calls that may run program code -----------------------------

struct CallCase {
    const char* helper;
    bool owns;
};
class GlobalBorrowsAcrossCalls : public Toolkit, public ::testing::WithParamInterface<CallCase> {};

TEST_P(GlobalBorrowsAcrossCalls, TakeAReferenceBeforeCallsThatMayRunProgramCode) {
    Bare bare("t_glob");
    BorrowedRead r(&bare.c, "t_glob_f", KnownKind::str, 2);
    Function& f = r.f;
    // Arguments of the helper's letters, all zero.
    const helpers::HelperSignature* h = nullptr;
    for (const auto& sig : helpers::helperSignatures)
        if (strcmp(sig.name, GetParam().helper) == 0) h = &sig;
    ASSERT_NE(h, nullptr);
    llvmapi::ValueRef args[16];
    unsigned n = 0;
    for (const char* l = h->signature + 1; *l; l++, n++)
        args[n] = *l == 'p'   ? T.LLVMConstNull(bare.m()->ptr)
                  : *l == 'i' ? compile::constI32(&f.e, 0)
                              : compile::constI64(&f.e, 0);
    ASSERT_EQ(compile::callHelper(&f.e, h->name, args, n, nullptr), Status::ok);
    std::string ir = f.ir();
    size_t take = ir.find("\nborrow_taken");
    EXPECT_EQ(take != std::string::npos, GetParam().owns) << ir;
    if (GetParam().owns) {
        EXPECT_LT(take, ir.find(std::string("@") + h->name + "(")) << ir;
    }
    EXPECT_EQ(verify(bare.m()), "");
}

INSTANTIATE_TEST_SUITE_P(Helpers, GlobalBorrowsAcrossCalls,
                         ::testing::Values(CallCase{"wn_call", true},
                                           CallCase{"wn_call_python", true},
                                           CallCase{"wn_builtin", true},
                                           CallCase{"wn_list_len", false},
                                           CallCase{"wn_frame_release", false}));

TEST_F(Toolkit, ABorrowedGlobalStaysAliveWhenACallDropsTheGlobalsReference) {
    // The function borrows the global's value, calls a helper that may run program code,
    // and then the program rebinds the global (its reference dropped): the borrow took its
    // own reference before the call.
    driver::Compiled* s = newState();
    compile::ModuleRecord* m = &s->compiler.module;
    {
        std::string name = symbolOf(s, "_f");
        Function f(&s->compiler, name.c_str(), kProgramFunction, {m->ptr, m->i64, m->i64, m->ptr});
        Operand read;
        ASSERT_EQ(compile::borrowOperand(&f.e, paramOperand(f, 1, 2, KnownKind::str), 2, &read),
                  Status::ok);
        ASSERT_EQ(compile::ownGlobalBorrows(&f.e), Status::ok);
        compile::storeWord(&f.e, compile::loadWord(&f.e, read.borrowFlag), f.param(3));
    }
    auto fn = reinterpret_cast<bool (*)(void*, int64_t, int64_t, int64_t*)>(
        loadAndFind(s, symbolOf(s, "_f")));
    ASSERT_NE(fn, nullptr);
    value::Obj block{1, value::TagStr, 0};
    int64_t flag = -1;
    fn(nullptr, value::TagStr, int64_t(uintptr_t(&block)), &flag);
    EXPECT_EQ(flag, int64_t(BorrowFlag::owned));
    EXPECT_EQ(block.count, 2u) << "the global's reference can go; the borrow's stays";
    driver::Compiled::free(s);
}

// --- key globals ----------------------------------------------------------------------------

TEST_F(Toolkit, AKeyGlobalThatCannotBeListedIsOutOfMemoryAndChangesNothing) {
    Bare bare("t_keyoom");
    compile::ModuleRecord* m = bare.m();
    llvmapi::ValueRef first;
    ASSERT_EQ(compile::keyGlobal(m, 0x10, &first), Status::ok);
    // A symbol table that can't grow.
    backend::List<compile::KeySymbol> saved = m->symbols;
    m->symbols.capacity = m->symbols.count = SIZE_MAX / sizeof(compile::KeySymbol);
    llvmapi::ValueRef second = nullptr;
    EXPECT_EQ(compile::keyGlobal(m, 0x20, &second), Status::outOfMemory);
    m->symbols = saved;
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(m->keys.find(0x20), nullptr);
    EXPECT_EQ(bare.c.keyCounter, 1u);
    EXPECT_EQ(LLVMGetNamedGlobal(reinterpret_cast<LLVMModuleRef>(m->module), "t_keyoom_k2"),
              nullptr);
    // And the next key gets the next number.
    ASSERT_EQ(compile::keyGlobal(m, 0x20, &second), Status::ok);
    EXPECT_STREQ(LLVMGetValueName(reinterpret_cast<LLVMValueRef>(second)), "t_keyoom_k2");
}

// A map that can't grow, for as long as it lives: its table claims 2^41 slots, more than
// growing can allocate twice over, half of them in use; the slots are untouched zero pages
// reserved without backing, which a lookup reads as free. Restores the map when it ends.
template <typename Map>
struct UngrowableMap {
    static constexpr size_t kSlots = size_t(1) << 41;
    Map* map;
    Map saved;
    size_t bytes = kSlots * sizeof(typename Map::Slot);
    void* region;
    explicit UngrowableMap(Map* m) : map(m), saved(*m) {
        region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (region == MAP_FAILED) {
            region = nullptr;
            return;
        }
        map->slots = static_cast<typename Map::Slot*>(region);
        map->capacity = kSlots;
        map->used = kSlots / 2;
    }
    UngrowableMap(const UngrowableMap&) = delete;
    UngrowableMap& operator=(const UngrowableMap&) = delete;
    ~UngrowableMap() {
        *map = saved;
        if (region) munmap(region, bytes);
    }
};

TEST_F(Toolkit, AKeyThatCannotEnterTheKeyMapIsOutOfMemoryAndChangesNothing) {
    Bare bare("t_keymap");
    compile::ModuleRecord* m = bare.m();
    llvmapi::ValueRef first;
    ASSERT_EQ(compile::keyGlobal(m, 0x10, &first), Status::ok);
    llvmapi::ValueRef second = nullptr;
    {
        UngrowableMap full(&m->keys);
        if (!full.region) GTEST_SKIP() << "no address space to reserve";
        EXPECT_EQ(compile::keyGlobal(m, 0x20, &second), Status::outOfMemory);
    }
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(m->keys.find(0x20), nullptr);
    EXPECT_EQ(m->symbols.count, 1u);
    EXPECT_EQ(bare.c.keyCounter, 1u);
    EXPECT_EQ(LLVMGetNamedGlobal(reinterpret_cast<LLVMModuleRef>(m->module), "t_keymap_k2"),
              nullptr);
    ASSERT_EQ(compile::keyGlobal(m, 0x20, &second), Status::ok);
    EXPECT_STREQ(LLVMGetValueName(reinterpret_cast<LLVMValueRef>(second)), "t_keymap_k2");
}

TEST_F(Toolkit, AnOriginThatCannotEnterTheOriginMapIsOutOfMemoryBeforeAnyKey) {
    Bare bare("t_originmap");
    compile::ModuleRecord* m = bare.m();
    compile::KeyOriginMap origins;
    m->keyOrigins = &origins;
    compile::KeyOrigin origin{{5, 0}, compile::KeyOriginKind::constant};
    llvmapi::ValueRef constant = nullptr;
    {
        UngrowableMap full(&origins);
        if (!full.region) {
            m->keyOrigins = nullptr;
            GTEST_SKIP() << "no address space to reserve";
        }
        EXPECT_EQ(compile::noteKeyOrigin(m, 0x40, origin), Status::outOfMemory);
        EXPECT_EQ(compile::keyConstant(m, 0x40, origin, &constant), Status::outOfMemory);
    }
    EXPECT_EQ(constant, nullptr);
    EXPECT_EQ(origins.find(0x40), nullptr);
    EXPECT_EQ(m->keys.find(0x40), nullptr) << "no key global for an origin not noted";
    EXPECT_EQ(m->symbols.count, 0u);
    ASSERT_EQ(compile::keyConstant(m, 0x40, origin, &constant), Status::ok);
    EXPECT_NE(origins.find(0x40), nullptr);
    m->keyOrigins = nullptr;
    origins.free();
}

TEST_F(Toolkit, KeyOriginsAreNotedOnlyInAnAheadOfTimeBuild) {
    Bare bare("t_origin");
    compile::ModuleRecord* m = bare.m();
    llvmapi::ValueRef constant;
    compile::KeyOrigin origin{{5, 0}, compile::KeyOriginKind::constant};
    ASSERT_EQ(compile::keyConstant(m, 0x40, origin, &constant), Status::ok);
    compile::KeyOriginMap origins;
    m->keyOrigins = &origins;
    ASSERT_EQ(compile::keyConstant(m, 0x40, origin, &constant), Status::ok);
    ASSERT_EQ(compile::noteKeyOrigin(m, 0x40,
                                     compile::KeyOrigin{{6, 0}, compile::KeyOriginKind::constant}),
              Status::ok);
    ASSERT_NE(origins.find(0x40), nullptr);
    EXPECT_EQ(origins.find(0x40)->words[0], 6u) << "a later note replaces the earlier";
    EXPECT_EQ(m->symbols.count, 1u);
    m->keyOrigins = nullptr;
    origins.free();
}

TEST_F(Toolkit, AnUndeclaredHelperStopsTheProcessNamingIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Bare bare("t_undecl");
    Function f(&bare.c, "t_undecl_f", kProgramFunction);
    EXPECT_DEATH(compile::callNamed(&f.e.builder, "wn_nothing", nullptr, 0),
                 "^wuna: wn_nothing isn't declared\n");
}

}  // namespace

}  // namespace wuna
