// The cycle collector: cycles through lists, dicts, records, sets, exceptions, functions and
// frames freed; blocks held from outside kept with everything they reach; immortal blocks
// dropped from the lists; proxied blocks kept; a nested collection refused; the due rule;
// the orphans of an exited thread adopted by a full collection.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <thread>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace value;

// Each test starts from an empty collection (whatever earlier tests left is collected first)
// and must leave the thread's live block count where it found it.
class Collector : public ::testing::Test {
protected:
    void SetUp() override {
        state = gc::threadRecord();
        gc::collect(state, true, false);
        start = pool::liveBlocks();
    }
    void TearDown() override {
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
    }
    uint64_t full() { return gc::collect(state, true, false); }
    gc::State* state = nullptr;
    int64_t start = 0;
};

RecordClass* pairClass() {
    static Text fields[] = {{"a", 1}, {"b", 1}};
    static RecordClass cls{{"Pair", 4}, {"Pair", 4}, fields, 2, nullptr, nullptr, 0, 1, 0};
    return &cls;
}

Value listValue(List* l) { return Value::of(TagList, l); }

TEST_F(Collector, AListHoldingItselfIsFreedOnceDropped) {
    List* l = newList(0);
    incref(listValue(l));
    ASSERT_TRUE(listAppend(l, listValue(l)));
    EXPECT_EQ(full(), 0u) << "still held from outside";
    decref(listValue(l));
    EXPECT_EQ(full(), 1u);
}

TEST_F(Collector, ACycleThroughAListADictAndARecordIsFreedWhole) {
    List* l = newList(0);
    Dict* d = newDict();
    Record* r = newRecord(pairClass());
    Value key = Value::of(TagStr, newStr("k", 1));
    ASSERT_TRUE(listAppend(l, Value::of(TagDict, d)));  // the list takes d's reference
    ASSERT_TRUE(dictSet(d, key, Value::of(TagRecord, r)));
    decref(Value::of(TagRecord, r));
    decref(key);
    r->fields()[0] = listValue(l);  // the record takes l's reference
    r->fields()[1] = Value::integer(7);
    EXPECT_EQ(full(), 3u);
}

TEST_F(Collector, ACycleHeldFromOutsideSurvivesWithAllItReaches) {
    Record* a = newRecord(pairClass());
    Record* b = newRecord(pairClass());
    a->fields()[0] = Value::of(TagRecord, b);  // a takes b's reference
    incref(Value::of(TagRecord, a));
    b->fields()[0] = Value::of(TagRecord, a);
    Str* s = newStr("outside", 7);
    b->fields()[1] = Value::of(TagStr, s);  // b takes s's reference
    EXPECT_EQ(full(), 0u);
    EXPECT_EQ(a->h.flags & (FlagCandidate | FlagReachable | FlagGarbage), 0u);
    EXPECT_EQ(gc::listLength(&state->old), 2u) << "survivors are promoted";
    decref(Value::of(TagRecord, a));
    EXPECT_EQ(full(), 2u);
}

TEST_F(Collector, GarbageReleasesWhatItHeldOutsideItself) {
    List* keep = newList(0);
    List* cycle = newList(0);
    incref(listValue(keep));
    ASSERT_TRUE(listAppend(cycle, listValue(keep)));
    incref(listValue(cycle));
    ASSERT_TRUE(listAppend(cycle, listValue(cycle)));
    decref(listValue(cycle));
    EXPECT_EQ(keep->h.count, 2u);
    EXPECT_EQ(full(), 1u);
    EXPECT_EQ(keep->h.count, 1u);
    decref(listValue(keep));
}

TEST_F(Collector, AFunctionAndTheFrameItCapturedAreFreedTogether) {
    Frame* frame = newFrame(nullptr, 1);
    Str* name = newStr("f", 1);
    Function* f = newFunction(nullptr, frame, 0, name, 0, 0);
    decref(Value::of(TagStr, name));
    frame->slots()[0] = Value::of(TagFunction, f);  // the frame takes f's reference
    releaseCaptured(&frame->h);                     // the function holds the frame now
    EXPECT_EQ(full(), 2u);
}

TEST_F(Collector, AnExceptionWhoseCauseIsItselfIsFreed) {
    Exc* e = newExc(9, Value::none(), Value::none(), Value::none(), 0);
    e->cause = Value::of(TagExc, e);
    incref(e->cause);
    decref(Value::of(TagExc, e));
    EXPECT_EQ(full(), 1u);
}

TEST_F(Collector, AYoungCollectionSeesOnlyWhatWasTrackedSinceTheLast) {
    List* old = newList(0);
    incref(listValue(old));
    ASSERT_TRUE(listAppend(old, listValue(old)));
    EXPECT_EQ(gc::collect(state, false, false), 0u);  // promoted while still held
    decref(listValue(old));
    List* young = newList(0);
    incref(listValue(young));
    ASSERT_TRUE(listAppend(young, listValue(young)));
    decref(listValue(young));
    EXPECT_EQ(gc::collect(state, false, false), 1u) << "only the young cycle";
    EXPECT_EQ(full(), 1u) << "the old one waits for a full collection";
}

TEST_F(Collector, AnImmortalBlockLeavesTheListsAndIsNeverACandidate) {
    Tuple* t = newTuple(1);
    makeImmortal(&t->h);
    EXPECT_EQ(full(), 0u);
    EXPECT_EQ(linkOf(&t->h)->next, nullptr);
    EXPECT_EQ(t->h.flags & FlagCandidate, 0u);
    t->h.count = 1;  // given back so that the test leaves no block behind
    decref(Value::of(TagTuple, t));
}

TEST_F(Collector, AProxiedCycleStaysWhileNoProxyLayerCanSayItIsUnused) {
    // The proxy layer linked into this program installs its hook when it starts: take it
    // away for this test.
    auto inUse = gc::proxyInUse;
    gc::proxyInUse = nullptr;
    List* l = newList(0);
    incref(listValue(l));
    ASSERT_TRUE(listAppend(l, listValue(l)));
    decref(listValue(l));
    l->h.flags |= FlagProxy;
    EXPECT_EQ(gc::collect(state, true, true), 0u);
    EXPECT_EQ(gc::collect(state, true, false), 0u);
    l->h.flags &= ~FlagProxy;
    EXPECT_EQ(full(), 1u);
    gc::proxyInUse = inUse;
}

TEST_F(Collector, AProxyLayerThatAnswersUnusedLetsTheCycleGo) {
    testing_support::needPython();
    List* l = newList(0);
    incref(listValue(l));
    ASSERT_TRUE(listAppend(l, listValue(l)));
    decref(listValue(l));
    l->h.flags |= FlagProxy;
    static int asked = 0;
    asked = 0;
    gc::proxyInUse = [](void*) {
        asked++;
        return false;
    };
    auto released = services.proxyReleased;
    services.proxyReleased = [](Obj* o) {
        o->flags &= ~FlagProxy;
        return true;
    };
    EXPECT_EQ(gc::collect(state, true, false), 0u) << "not consulted: kept";
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(gc::collect(state, true, true), 1u);
    EXPECT_EQ(asked, 1);
    gc::proxyInUse = nullptr;
    services.proxyReleased = released;
    testing_support::endRun(gil::current());
}

TEST_F(Collector, ACollectionStartedDuringAnotherAnswersZero) {
    List* l = newList(0);
    incref(listValue(l));
    ASSERT_TRUE(listAppend(l, listValue(l)));
    decref(listValue(l));
    state->collecting = 1;
    EXPECT_EQ(full(), 0u);
    state->collecting = 0;
    EXPECT_EQ(full(), 1u);
}

TEST_F(Collector, TwoThousandTrackedBlocksStartAYoungCollection) {
    std::vector<Tuple*> kept;
    for (int i = 0; i < 2000; i++) kept.push_back(newTuple(0));
    EXPECT_EQ(state->youngCount, 2000);
    kept.push_back(newTuple(0));
    EXPECT_EQ(state->youngCount, 1) << "collected before the 2001st was tracked";
    EXPECT_EQ(gc::listLength(&state->old), 2000u);
    for (Tuple* t : kept) decref(Value::of(TagTuple, t));
}

TEST_F(Collector, AFullCollectionIsDueWhenTheOldGenerationGrewByAQuarterAnd2000) {
    state->oldAtFull = 8000;
    state->oldCount = 8000 + 4000;
    List* l = newList(0);
    incref(listValue(l));
    ASSERT_TRUE(listAppend(l, listValue(l)));
    EXPECT_EQ(gc::collect(state, false, false), 0u);  // promoted
    decref(listValue(l));
    gc::collectDue(state);  // 12001 - 8000 > 2000 + 2000: full, so the old cycle goes
    EXPECT_EQ(state->oldAtFull, state->oldCount);
    EXPECT_EQ(gc::listLength(&state->old), 0u);
}

TEST(CollectorOrphans, ACycleOfAnExitedThreadIsFreedByTheNextFullCollection) {
    gc::State* state = gc::threadRecord();
    gc::collect(state, true, false);
    std::thread([] {
        List* l = newList(0);
        incref(listValue(l));
        ASSERT_TRUE(listAppend(l, listValue(l)));
        decref(listValue(l));
        gc::threadRecord();  // watched, so that its exit hands the cycle over
    }).join();
    EXPECT_EQ(gc::collect(state, true, false), 1u);
}

}  // namespace

}  // namespace wuna
