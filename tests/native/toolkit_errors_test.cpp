// Error exits and scope release: a failure with nothing to release goes straight to "error";
// release chains are shared only between points that release the very same operands (a
// local that holds another operand later gets a block of its own); try-locals released on
// the way to "except", wn_exc_wrap only where a node's semantic is left inside a try; the
// 65th chain evicting the oldest; and run through the code engine, the error path dropping
// exactly the references held. Then compile-time containers: frames asked for, containers
// escaping into run-time control flow, lists nested in themselves dropped once, scope
// release and typed locals spilled to the frame.
#include <gtest/gtest.h>

#include <string>

#include "compiler/codegen/emitter.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using backend_testing::Bare;
using compile::KnownKind;
using compile::LocalState;
using compile::Operand;
using compile::Semantic;
using compile::Shape;
const llvmapi::Table& T = llvmapi::table;

using ErrorExits = backend_testing::BackendTest;
using Containers = backend_testing::BackendTest;

constexpr uint32_t kProgramFunction = 11;

// A function (ctx, tag, payload, tag2, payload2, i1 ok) with an "error" block that returns
// false as its error target, and one open semantic of four locals.
struct Failing : Function {
    llvmapi::BasicBlockRef error;
    Semantic* s;
    Failing(compile::Compiler* c, const char* name, uint32_t scope)
        : Function(c, name, scope,
                   {c->module.ptr, c->module.i64, c->module.i64, c->module.i64, c->module.i64,
                    c->module.i1}) {
        error = T.LLVMAppendBasicBlockInContext(m->context, fn, "error");
        llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(m->context);
        T.LLVMPositionBuilderAtEnd(b, error);
        T.LLVMBuildRet(b, T.LLVMConstInt(m->i1, 0, 0));
        T.LLVMDisposeBuilder(b);
        e.errorTarget = error;
        s = compile::newSemantic(c, nullptr, 4, 3);
        EXPECT_NE(s, nullptr);
        EXPECT_TRUE(e.semantics.push(s));
    }
    ~Failing() { compile::endSemantic(s); }
    Operand value(unsigned first, KnownKind kind = KnownKind::str) {
        Operand o{};
        o.tag = param(first);
        o.payload = param(first + 1);
        o.functionNode = compile::kNoFunctionNode;
        o.kind = kind;
        return o;
    }
    void setLocal(uint32_t index, const Shape& shape) {
        s->locals[index].shape = shape;
        s->locals[index].state = LocalState::comptime;
    }
    void fail() { ASSERT_EQ(compile::checkOk(&e, param(5)), Status::ok); }
};

TEST_F(ErrorExits, AFailureWithNothingToReleaseBranchesStraightToError) {
    Bare bare("t_plain");
    Failing f(&bare.c, "t_plain_f", kProgramFunction);
    f.setLocal(0, compile::dynShape(f.value(1, KnownKind::int_)));
    f.fail();
    std::string ir = f.ir();
    EXPECT_NE(ir.find("br i1 %5, label %ok1, label %error"), std::string::npos) << ir;
    EXPECT_EQ(ir.find("error_release"), std::string::npos) << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(ErrorExits, PointsHoldingTheSameValuesShareOneReleaseBlock) {
    Bare bare("t_share");
    Failing f(&bare.c, "t_share_f", kProgramFunction);
    ASSERT_TRUE(f.e.temporaries.push(compile::dynShape(f.value(1))));
    f.fail();
    f.fail();
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "\nerror_release"), 1u) << ir;
    EXPECT_EQ(countOf(ir, "label %error_release"), 2u) << ir;
    EXPECT_NE(ir.find("call void @wn_decref(i64 %1, i64 %2)"), std::string::npos)
        << "error paths call the exported helper:\n"
        << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(ErrorExits, ALocalHoldingAnotherOperandLaterGetsABlockOfItsOwn) {
    Bare bare("t_rekey");
    Failing f(&bare.c, "t_rekey_f", kProgramFunction);
    f.setLocal(0, compile::dynShape(f.value(1)));
    f.fail();
    // The same local now holds another value: the first block would release the old one.
    f.setLocal(0, compile::dynShape(f.value(3)));
    f.fail();
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "\nerror_release"), 2u) << ir;
    EXPECT_NE(ir.find("call void @wn_decref(i64 %1, i64 %2)"), std::string::npos) << ir;
    EXPECT_NE(ir.find("call void @wn_decref(i64 %3, i64 %4)"), std::string::npos) << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(ErrorExits, TryLocalsAreKeyedByWhatTheyHoldToo) {
    Bare bare("t_trykey");
    Failing f(&bare.c, "t_trykey_f", kProgramFunction);
    llvmapi::BasicBlockRef except;
    ASSERT_EQ(compile::newBlock(&f.e.builder, "except", &except), Status::ok);
    compile::TryEntry* t = compile::newTry(&bare.c, f.s);
    ASSERT_NE(t, nullptr);
    t->exceptBlock = except;
    t->catchesJumps = 1;
    ASSERT_TRUE(t->tryLocals.push(1));
    ASSERT_TRUE(f.e.tries.push(t));
    f.e.errorTarget = except;
    f.e.errorSemanticDepth = 1;  // the semantic is the try's own: not left on the way
    f.setLocal(1, compile::dynShape(f.value(1)));
    f.fail();
    f.setLocal(1, compile::dynShape(f.value(3)));
    f.fail();
    // The compile-time state of the normal path is unchanged by the release blocks.
    EXPECT_EQ(f.s->locals[1].state, LocalState::comptime);
    compile::enter(&f.e.builder, except);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "\nerror_release"), 2u) << ir;
    EXPECT_NE(ir.find("call void @wn_decref(i64 %1, i64 %2)"), std::string::npos) << ir;
    EXPECT_NE(ir.find("call void @wn_decref(i64 %3, i64 %4)"), std::string::npos) << ir;
    EXPECT_EQ(ir.find("wn_exc_wrap"), std::string::npos) << ir;
    EXPECT_EQ(verify(bare.m()), "");
    compile::endTry(t);
}

struct WrapCase {
    bool inTry;
    bool semanticFlag;
    bool wraps;
};
class LeavingASemantic : public ErrorExits, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(LeavingASemantic, WrapsTheFailureOnlyOnItsWayToAnExcept) {
    Bare bare("t_wrap");
    Failing f(&bare.c, "t_wrap_f", kProgramFunction);
    f.s->semantic = GetParam().semanticFlag;
    compile::TryEntry* t = compile::newTry(&bare.c, f.s);
    if (GetParam().inTry) {
        llvmapi::BasicBlockRef except;
        ASSERT_EQ(compile::newBlock(&f.e.builder, "except", &except), Status::ok);
        t->exceptBlock = except;
        t->catchesJumps = 1;
        ASSERT_TRUE(f.e.tries.push(t));
        f.e.errorTarget = except;
    }
    f.fail();
    f.fail();
    if (GetParam().inTry) compile::enter(&f.e.builder, t->exceptBlock);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "call void @wn_exc_wrap(ptr %0)"), GetParam().wraps ? 1u : 0u) << ir;
    EXPECT_EQ(verify(bare.m()), "");
    compile::endTry(t);
}

INSTANTIATE_TEST_SUITE_P(Cases, LeavingASemantic,
                         ::testing::Values(WrapCase{true, true, true}, WrapCase{false, true, false},
                                           WrapCase{true, false, false}));

TEST_F(ErrorExits, TheSixtyFifthChainEvictsTheOldestAndBothStillWork) {
    Bare bare("t_evict");
    Failing f(&bare.c, "t_evict_f", kProgramFunction);
    llvmapi::ValueRef slots[65];
    for (int i = 0; i < 65; i++) {
        slots[i] = compile::valueSlot(&f.e);
        Operand o = compile::loadOperand(&f.e, slots[i], KnownKind::list);
        f.e.temporaries.count = 0;
        ASSERT_TRUE(f.e.temporaries.push(compile::dynShape(o)));
        f.fail();
        if (i == 0) {
            // Again at once: the first chain is shared.
            f.fail();
        }
    }
    EXPECT_EQ(f.e.errorBlocks.count, compile::kErrorBlockCache);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "\nerror_release"), 65u);
    EXPECT_EQ(verify(bare.m()), "");
}

// <prefix>_f(ctx, tag, payload, tag2, payload2, ok): both values held as temporaries of a
// helper call that fails unless ok; on success they are released by the normal path.
TEST_F(ErrorExits, TheErrorPathDropsExactlyTheReferencesHeldAtRunTime) {
    driver::Compiled* s = newState();
    {
        std::string name = symbolOf(s, "_f");
        Failing f(&s->compiler, name.c_str(), kProgramFunction);
        Shape held[2] = {compile::dynShape(f.value(1)),
                         compile::dynShape(f.value(3, KnownKind::int_))};
        ASSERT_TRUE(f.e.temporaries.push(held[0]));
        ASSERT_TRUE(f.e.temporaries.push(held[1]));
        f.fail();
        f.e.temporaries.count = 0;
        ASSERT_EQ(compile::release(&f.e, held[0]), Status::ok);
    }
    auto fn = reinterpret_cast<bool (*)(void*, int64_t, int64_t, int64_t, int64_t, bool)>(
        loadAndFind(s, symbolOf(s, "_f")));
    ASSERT_NE(fn, nullptr);
    for (bool ok : {false, true}) {
        value::Obj block{5, value::TagStr, 0};
        EXPECT_EQ(fn(nullptr, value::TagStr, int64_t(uintptr_t(&block)), value::TagInt, 9, ok), ok);
        EXPECT_EQ(block.count, 4u) << "one reference dropped on either path";
    }
    driver::Compiled::free(s);
}

// --- compile-time containers, frames, scope release --------------------------------------------

TEST_F(Containers, CodeNeedingTheFrameOfAFunctionWithoutOneAsksForFrames) {
    Bare bare("t_frame");
    Function f(&bare.c, "t_frame_f", 42, {bare.m()->ptr});
    llvmapi::ValueRef frame = nullptr;
    EXPECT_EQ(compile::currentFrame(&f.e, &frame), Status::unsupported);
    EXPECT_EQ(std::string(bare.c.message.items, bare.c.message.count),
              "code here needs the frame of a function without one (node 42): compiled again "
              "with frames");
    EXPECT_EQ(bare.c.frameNeeded, 1);
    EXPECT_EQ(bare.c.frameNeededScope, 42u);
    // With its own frame, or an open block scope, the frame is at hand.
    f.e.hasOwnFrame = 1;
    f.e.ownFrame = f.param(0);
    ASSERT_EQ(compile::currentFrame(&f.e, &frame), Status::ok);
    EXPECT_EQ(frame, f.param(0));
    llvmapi::ValueRef slot = compile::valueSlot(&f.e);
    ASSERT_TRUE(f.e.scopes.push(compile::ScopeEntry{slot, 43}));
    ASSERT_EQ(compile::currentFrame(&f.e, &frame), Status::ok);
    EXPECT_NE(frame, f.param(0));
    EXPECT_NE(f.ir().find("load ptr"), std::string::npos);
}

// A list display made while compiling, held by local 0 of the function's semantic.
front::ListRecord* displayList(compile::Compiler* c, const front::Expr* site) {
    front::ListRecord* list = front::newListRecord(c);
    list->literal = site;
    list->word = 0;
    return list;
}

Shape listShape(front::ListRecord* list) {
    Shape s{};
    s.kind = compile::ShapeKind::list;
    s.list = list;
    return s;
}

TEST_F(Containers, AContainerEscapingIntoRunTimeControlFlowIsMadeAtRunTimeNextTime) {
    Bare bare("t_escape");
    compile::EscapedSites sites;
    bare.c.escapedSites = &sites;
    Failing f(&bare.c, "t_escape_f", kProgramFunction);
    front::Expr display{};
    front::ListRecord* list = displayList(&bare.c, &display);
    f.setLocal(0, listShape(list));
    f.e.controlDepth = 1;  // inside a run-time loop the list was not made in
    uint64_t needs = bare.c.needs;
    Operand made = f.value(1, KnownKind::list);
    EXPECT_EQ(compile::escape(&f.e, listShape(list), made), Status::unsupported);
    EXPECT_EQ(std::string(bare.c.message.items, bare.c.message.count),
              "a list or dict escapes inside run-time control flow: compiled again, made at run "
              "time");
    ASSERT_EQ(sites.keys.count, 1u);
    EXPECT_EQ(compile::escapedSiteIndex(&sites, compile::EscapedSite{&display, 0, 0}), 0);
    EXPECT_EQ(bare.c.needs, needs + 1);
    EXPECT_EQ(bare.c.retry, 1);
    // Outside run-time control flow every variable holding it now holds the run-time list.
    f.e.controlDepth = 0;
    ASSERT_EQ(compile::escape(&f.e, listShape(list), made), Status::ok);
    EXPECT_EQ(f.s->locals[0].shape.kind, compile::ShapeKind::dyn);
    EXPECT_EQ(f.s->locals[0].shape.dyn.payload, made.payload);
    EXPECT_EQ(countOf(f.ir(), "@wn_inc("), 1u) << "the variable took its own reference";
    sites.keys.free();
}

TEST_F(Containers, AListNestedInItselfIsDroppedOnceAndASettledListNeverAgain) {
    Bare bare("t_nest");
    Failing f(&bare.c, "t_nest_f", kProgramFunction);
    front::ListRecord* list = displayList(&bare.c, nullptr);
    ASSERT_EQ(front::appendItem(&bare.c, list, compile::dynShape(f.value(1))), Status::ok);
    ASSERT_EQ(front::appendItem(&bare.c, list, listShape(list)), Status::ok);
    f.s->locals[0].shape = listShape(list);
    f.s->locals[0].state = compile::LocalState::comptime;
    // A return's path gives the items back once, however the list nests; the other paths
    // still hold them.
    ASSERT_EQ(compile::releaseScope(&f.e, f.s), Status::ok);
    EXPECT_FALSE(list->released);
    bool dropped = false;
    ASSERT_EQ(compile::dropContainer(&f.e, f.s, list, &dropped), Status::ok);
    EXPECT_TRUE(dropped);
    // The scope's end on every path settles the list: neither a later drop nor another
    // settling gives the items back again.
    ASSERT_EQ(compile::endScope(&f.e, f.s), Status::ok);
    EXPECT_TRUE(list->released);
    ASSERT_EQ(compile::dropContainer(&f.e, f.s, list, &dropped), Status::ok);
    EXPECT_FALSE(dropped);
    ASSERT_EQ(compile::settleScope(&f.e, f.s), Status::ok);
    // Once for the return's walk, once for the other path's drop, once for the end.
    EXPECT_EQ(countOf(f.ir(), "@wn_dec("), 3u);
}

TEST_F(Containers, ASettledScopeEmitsNoCodeButMarksItsLists) {
    Bare bare("t_settle");
    Failing f(&bare.c, "t_settle_f", kProgramFunction);
    front::ListRecord* list = displayList(&bare.c, nullptr);
    ASSERT_EQ(front::appendItem(&bare.c, list, compile::dynShape(f.value(1))), Status::ok);
    f.s->locals[0].shape = listShape(list);
    f.s->locals[0].state = compile::LocalState::comptime;
    ASSERT_EQ(compile::settleScope(&f.e, f.s), Status::ok);
    EXPECT_EQ(countOf(f.ir(), "@wn_dec("), 0u);
    EXPECT_TRUE(list->released);
    bool dropped = true;
    ASSERT_EQ(compile::dropContainer(&f.e, f.s, list, &dropped), Status::ok);
    EXPECT_FALSE(dropped);
}

TEST_F(Containers, AContainerHeldByTheResultOrAnotherBodyIsNotDropped) {
    Bare bare("t_held");
    Failing f(&bare.c, "t_held_f", kProgramFunction);
    front::ListRecord* list = displayList(&bare.c, nullptr);
    ASSERT_EQ(front::appendItem(&bare.c, list, compile::dynShape(f.value(1))), Status::ok);
    f.s->result = listShape(list);
    f.s->resultSet = 1;
    bool dropped = true;
    ASSERT_EQ(compile::dropContainer(&f.e, f.s, list, &dropped), Status::ok);
    EXPECT_FALSE(dropped);
    f.s->resultSet = 0;
    Semantic* inner = compile::newSemantic(&bare.c, nullptr, 1, 3);
    inner->locals[0].shape = listShape(list);
    inner->locals[0].state = LocalState::comptime;
    ASSERT_TRUE(f.e.semantics.push(inner));
    ASSERT_EQ(compile::dropContainer(&f.e, f.s, list, &dropped), Status::ok);
    EXPECT_FALSE(dropped);
    EXPECT_FALSE(compile::containerUnheld(&f.e, list));
    f.e.semantics.count = 1;
    EXPECT_TRUE(compile::containerUnheld(&f.e, list));
    list->madeAtRunTime = 1;
    EXPECT_FALSE(compile::containerUnheld(&f.e, list));
    EXPECT_EQ(f.ir().find("@wn_dec("), std::string::npos);
}

TEST_F(Containers, ReleasingAScopeReleasesItsSlotsExtraSlotsAndFrame) {
    Bare bare("t_scope");
    Failing f(&bare.c, "t_scope_f", kProgramFunction);
    f.s->locals[0].state = LocalState::slot;
    f.s->locals[0].slot = compile::valueSlot(&f.e);
    f.s->locals[1].state = LocalState::slot;
    f.s->locals[1].slot = compile::valueSlot(&f.e);
    f.s->locals[1].noRelease = 1;
    f.setLocal(2, compile::dynShape(f.value(1)));
    ASSERT_TRUE(f.s->extraSlots.push(compile::valueSlot(&f.e)));
    f.s->hasFrame = 1;
    f.s->frame = f.param(0);
    ASSERT_EQ(compile::releaseScope(&f.e, f.s), Status::ok);
    std::string ir = f.ir();
    // Local 0's slot and the extra slot: loaded, dropped, None stored back.
    EXPECT_EQ(countOf(ir, "store i64 0, ptr %"), 4u) << ir;
    EXPECT_EQ(countOf(ir, "@wn_dec("), 3u) << ir;
    EXPECT_NE(ir.find("call void @wn_frame_release(ptr %0)"), std::string::npos) << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(Containers, OnlyLiveTypedLocalsAreSpilledToTheirFrameSlots) {
    Bare bare("t_spill");
    Function f(&bare.c, "t_spill_f", kProgramFunction, {bare.m()->ptr, bare.m()->ptr});
    f.e.hasOwnFrame = 1;
    f.e.ownFrame = f.param(1);
    for (uint8_t live : {1, 0, 1})
        ASSERT_TRUE(f.e.typedLocals.push(compile::TypedLocal{compile::valueSlot(&f.e), live}));
    compile::spillLocals(&f.e);
    std::string ir = f.ir();
    for (const char* offset : {"i64 32", "i64 40", "i64 64", "i64 72"})
        EXPECT_NE(ir.find(std::string("getelementptr inbounds i8, ptr %1, ") + offset),
                  std::string::npos)
            << offset << "\n"
            << ir;
    EXPECT_EQ(ir.find("i64 48"), std::string::npos) << ir;
    EXPECT_EQ(ir.find("i64 56"), std::string::npos) << ir;
}

}  // namespace

}  // namespace wuna
