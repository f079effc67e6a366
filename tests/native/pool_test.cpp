// The block pool and the thread records: size classes, the live count, resizing, blocks that
// cross threads, the trim, the hand-over at thread exit, the home pool's owner, and the GIL
// record's once-per-run lock and first-crossing note.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/python_test_support.h"
#include "tests/native/test_names.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

// Runs fn on a fresh thread and waits for it (and its exit hook) to finish.
template <class F>
void onThread(F fn) {
    std::thread t(fn);
    t.join();
}

using testing_support::caseName;
using testing_support::endRun;
using testing_support::needPython;

struct Case {
    const char* name;
    size_t size;
    unsigned align;
    int cls;  // -1: the C heap
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class SizeClass : public ::testing::TestWithParam<Case> {};

TEST_P(SizeClass, BlockComesFromItsClassOrTheHeap) {
    Case c = GetParam();
    EXPECT_EQ(pool::classOf(c.size, c.align), c.cls);
    pool::Pool* p = pool::current();
    int64_t live = pool::liveBlocks();
    void* b = pool::alloc(nullptr, c.size, c.align);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(pool::liveBlocks(), live + 1);
    if (c.align > 3) {
        EXPECT_EQ(uintptr_t(b) % (uintptr_t(1) << c.align), 0u);
    }
    std::vector<uint64_t> before(pool::kClasses);
    for (int k = 0; k < pool::kClasses; k++) before[k] = pool::freeListLength(p, k);
    pool::free(nullptr, b, c.size, c.align);
    EXPECT_EQ(pool::liveBlocks(), live);
    for (int k = 0; k < pool::kClasses; k++)
        EXPECT_EQ(pool::freeListLength(p, k), before[k] + (k == c.cls ? 1 : 0)) << "class " << k;
    if (c.cls >= 0) {
        // The freed block is the next one its class hands out.
        void* again = pool::alloc(nullptr, c.size, c.align);
        EXPECT_EQ(again, b);
        pool::free(nullptr, again, c.size, c.align);
    }
}

INSTANTIATE_TEST_SUITE_P(Pool, SizeClass,
                         ::testing::Values(Case{"Size0GoesToTheHeap", 0, 3, -1},
                                           Case{"Size1Align8", 1, 3, 0},
                                           Case{"Size16Align8", 16, 3, 0},
                                           Case{"Size17Align8", 17, 3, 1},
                                           Case{"Size100Align1", 100, 0, 6},
                                           Case{"Size512Align8", 512, 3, 31},
                                           Case{"Size513GoesToTheHeap", 513, 3, -1},
                                           Case{"Size64Align16", 64, 4, 3},
                                           Case{"Size64Align64GoesToTheHeap", 64, 6, -1},
                                           Case{"Size4096Align4096GoesToTheHeap", 4096, 12, -1}),
                         caseName<Case>);

TEST(Pool, FailedAllocationIsNotCountedLive) {
    int64_t live = pool::liveBlocks();
    EXPECT_EQ(pool::alloc(nullptr, SIZE_MAX / 2, 3), nullptr);
    EXPECT_EQ(pool::alloc(nullptr, SIZE_MAX / 2, 8), nullptr);
    EXPECT_EQ(pool::liveBlocks(), live);
}

TEST(Pool, ClassesCarveDistinctBlocksAcrossSlabs) {
    // More than a slab's worth of one class: every block distinct, all returned.
    std::vector<void*> blocks;
    int64_t live = pool::liveBlocks();
    for (int i = 0; i < 3000; i++) {
        void* b = pool::alloc(nullptr, 48, 3);
        ASSERT_NE(b, nullptr);
        std::memset(b, 0xab, 48);
        blocks.push_back(b);
    }
    std::vector<void*> sorted = blocks;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    for (void* b : blocks) pool::free(nullptr, b, 48, 3);
    EXPECT_EQ(pool::liveBlocks(), live);
}

struct ResizeCase {
    const char* name;
    size_t size;
    unsigned align;
    size_t newSize;
    bool resizes;
    friend void PrintTo(const ResizeCase& c, std::ostream* os) { *os << c.name; }
};

class Resize : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(Resize, KeepsItsPlaceOnlyWithinItsClassOrHeapBlock) {
    ResizeCase c = GetParam();
    void* b = pool::alloc(nullptr, c.size, c.align);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(pool::resize(nullptr, b, c.size, c.align, c.newSize), c.resizes);
    void* moved = pool::remap(nullptr, b, c.size, c.align, c.newSize);
    if (c.resizes) {
        EXPECT_EQ(moved, b);
    }
    if (moved)
        pool::free(nullptr, moved, c.newSize, c.align);
    else
        pool::free(nullptr, b, c.size, c.align);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, Resize,
    ::testing::Values(ResizeCase{"From20To30SameClass", 20, 3, 30, true},
                      ResizeCase{"From20To40AnotherClass", 20, 3, 40, false},
                      ResizeCase{"From20To2000ToTheHeap", 20, 3, 2000, false},
                      ResizeCase{"From2000To20FromTheHeap", 2000, 3, 20, false},
                      ResizeCase{"From2000To1000HeapShrinks", 2000, 3, 1000, true},
                      ResizeCase{"From2000To2000HeapSameSize", 2000, 3, 2000, true}),
    caseName<ResizeCase>);

TEST(Pool, RemapOfAGrowingHeapBlockMovesItsContents) {
    char* b = static_cast<char*>(pool::alloc(nullptr, 1000, 3));
    ASSERT_NE(b, nullptr);
    std::memset(b, 7, 1000);
    char* moved = static_cast<char*>(pool::remap(nullptr, b, 1000, 3, 1 << 20));
    ASSERT_NE(moved, nullptr);
    for (int i = 0; i < 1000; i++) ASSERT_EQ(moved[i], 7);
    pool::free(nullptr, moved, 1 << 20, 3);
    // Over-aligned heap blocks are not moved by remap: the caller copies.
    void* aligned = pool::alloc(nullptr, 1000, 6);
    EXPECT_EQ(pool::remap(nullptr, aligned, 1000, 6, 1 << 20), nullptr);
    pool::free(nullptr, aligned, 1000, 6);
}

TEST(Pool, TheInterfaceTableIsTheFourOperationsInOrder) {
    EXPECT_EQ(pool::interface.alloc, &pool::alloc);
    EXPECT_EQ(pool::interface.resize, &pool::resize);
    EXPECT_EQ(pool::interface.remap, &pool::remap);
    EXPECT_EQ(pool::interface.free, &pool::free);
}

// The home pool's owner is told apart by this word: zero would read as "no owner", and two
// threads with one word would share a pool's lists without a lock.
TEST(Pool, EachThreadHasItsOwnNonzeroIdentity) {
    uintptr_t mine = pool::threadId();
    uintptr_t again = pool::threadId();
    uintptr_t other = 0;
    onThread([&] { other = pool::threadId(); });
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(mine, again);
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(Pool, ABlockFreedOnAnotherThreadJoinsThatThreadsList) {
    void* b = pool::alloc(nullptr, 48, 3);
    ASSERT_NE(b, nullptr);
    int64_t mainLive = pool::liveBlocks();
    uint64_t grew = 0;
    int64_t otherLive = 0;
    onThread([&] {
        pool::Pool* p = pool::current();
        uint64_t before = pool::freeListLength(p, 2);
        pool::free(nullptr, b, 48, 3);
        grew = pool::freeListLength(p, 2) - before;
        otherLive = pool::liveBlocks();
        // The next block of that class on this thread is the one just freed.
        void* again = pool::alloc(nullptr, 48, 3);
        EXPECT_EQ(again, b);
        pool::free(nullptr, again, 48, 3);
    });
    EXPECT_EQ(grew, 1u);
    EXPECT_EQ(otherLive, -1);
    EXPECT_EQ(pool::liveBlocks(), mainLive);
}

TEST(Pool, TrimKeepsSixtyFourKiBPerClassAndSharesTheRest) {
    constexpr size_t size = 64;
    constexpr int k = 3;
    constexpr uint64_t keep = pool::kKeepBytes / size;
    uint64_t chains = 0, afterTrim = 0, atEnd = 0, sharedAfter = 0;
    onThread([&] {
        std::vector<void*> blocks;
        for (int i = 0; i < 20000; i++) blocks.push_back(pool::alloc(nullptr, size, 3));
        pool::Pool* p = pool::current();
        chains = pool::sharedChains(k);
        for (uint32_t i = 0; i < pool::kTrimEvery; i++) pool::free(nullptr, blocks[i], size, 3);
        afterTrim = pool::freeListLength(p, k);
        sharedAfter = pool::sharedChains(k);
        for (size_t i = pool::kTrimEvery; i < blocks.size(); i++)
            pool::free(nullptr, blocks[i], size, 3);
        atEnd = pool::freeListLength(p, k);
    });
    EXPECT_LE(afterTrim, keep);
    EXPECT_GT(sharedAfter, chains);
    // Frees after the trim gather again until the next one.
    EXPECT_EQ(atEnd, afterTrim + (20000 - pool::kTrimEvery));
}

TEST(Pool, AnExitingThreadHandsItsFreeMemoryToTheSharedPool) {
    constexpr int k = 9;  // 160-byte blocks
    void* a = nullptr;
    void* b = nullptr;
    onThread([&] {
        a = pool::alloc(nullptr, 160, 3);
        b = pool::alloc(nullptr, 160, 3);
        pool::free(nullptr, a, 160, 3);
        pool::free(nullptr, b, 160, 3);
    });
    EXPECT_GE(pool::sharedChains(k), 1u);
    // The next thread that needs that class takes the dead thread's list whole: the blocks it
    // freed and the rest of its slab.
    bool foundA = false, foundB = false;
    uint64_t listed = 0;
    onThread([&] {
        std::vector<void*> blocks{pool::alloc(nullptr, 160, 3)};
        listed = pool::freeListLength(pool::current(), k);
        for (uint64_t i = 0; i < listed; i++) blocks.push_back(pool::alloc(nullptr, 160, 3));
        for (void* x : blocks) {
            foundA |= x == a;
            foundB |= x == b;
            pool::free(nullptr, x, 160, 3);
        }
    });
    EXPECT_GT(listed, 100u);
    EXPECT_TRUE(foundA);
    EXPECT_TRUE(foundB);
}

TEST(Pool, AnExitingThreadOrphansItsTrackedBlocks) {
    value::Tuple* kept = nullptr;
    uint64_t orphans = gc::listLength(&gc::orphans);
    onThread([&] { kept = value::newTuple(2); });
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(kept->h.flags & value::FlagOrphan);
    EXPECT_EQ(gc::listLength(&gc::orphans), orphans + 1);
    // Freeing it later, on any thread, takes it off the orphan list.
    int64_t live = pool::liveBlocks();
    value::decref(value::Value::of(value::TagTuple, kept));
    EXPECT_EQ(gc::listLength(&gc::orphans), orphans);
    EXPECT_EQ(pool::liveBlocks(), live - 1);
}

TEST(Pool, TheFirstThreadToAllocateOwnsTheHomePool) {
    pool::free(nullptr, pool::alloc(nullptr, 16, 3), 16, 3);
    uintptr_t owner = pool::home_owner.load();
    ASSERT_EQ(owner, pool::threadId());
    EXPECT_EQ(pool::current(), &pool::home);
    bool usedHome = true;
    onThread([&] { usedHome = pool::current() == &pool::home; });
    EXPECT_FALSE(usedHome);
    EXPECT_EQ(pool::home_owner.load(), owner);
}

TEST(Pool, ARunThreadBorrowsTheHomePoolAndGivesItBack) {
    pool::current();  // the test's thread claims the home pool if nobody has yet
    uintptr_t owner = pool::home_owner.load();
    ASSERT_EQ(owner, pool::threadId());
    int64_t live = pool::liveBlocks();
    value::List* made = nullptr;
    bool borrowed = false;
    onThread([&] {
        borrowed = pool::borrowHome(owner);
        made = value::newList(0);  // counted in the home pool
        pool::giveBack(owner);
    });
    ASSERT_TRUE(borrowed);
    EXPECT_EQ(pool::home_owner.load(), owner);
    EXPECT_EQ(pool::liveBlocks(), live + 1);
    value::decref(value::Value::of(value::TagList, made));
    EXPECT_EQ(pool::liveBlocks(), live);
    // A swap from an identity that is not the owner's fails.
    bool stolen = true;
    onThread([&] { stolen = pool::borrowHome(owner + 1); });
    EXPECT_FALSE(stolen);
}

TEST(Pool, AThreadExitingAsHomeOwnerLeavesItUnownedForTheNextThread) {
    pool::current();
    uintptr_t owner = pool::home_owner.load();
    ASSERT_EQ(owner, pool::threadId());
    onThread([&] {
        ASSERT_TRUE(pool::borrowHome(owner));
        void* b = pool::alloc(nullptr, 32, 3);
        pool::free(nullptr, b, 32, 3);
        // exits without giving the pool back
    });
    EXPECT_EQ(pool::home_owner.load(), 0u);
    bool claimed = false;
    int64_t claimedLive = -1;
    onThread([&] {
        void* b = pool::alloc(nullptr, 32, 3);
        claimed = pool::home_owner.load() == pool::threadId() && pool::current() == &pool::home;
        claimedLive = pool::liveBlocks();  // its own count went with it into the home pool
        pool::free(nullptr, b, 32, 3);
        pool::giveBack(owner);  // hand it to the test's thread again
    });
    EXPECT_TRUE(claimed);
    EXPECT_EQ(claimedLive, 1);
    EXPECT_EQ(pool::home_owner.load(), owner);
}

TEST(Gil, TheLockIsTakenOnceAndKeptUntilTheRunEnds) {
    needPython();
    pool::current();  // the test's thread owns the home pool and its record
    uint64_t ensures = 0;
    bool heldAfter = false;
    onThread([&] {
        PyObject* o = nullptr;
        gil::Record* r = gil::enter();
        o = PyList_New(0);
        gil::leave(r);
        value::incref(value::TagPy, uint64_t(uintptr_t(o)));
        value::decref(value::TagPy, uint64_t(uintptr_t(o)));
        value::decref(value::TagPy, uint64_t(uintptr_t(o)));
        ensures = r->ensures;
        heldAfter = r->held && r->depth == 0;
        EXPECT_EQ(r, gil::mine());
        endRun(r);
    });
    EXPECT_EQ(ensures, 1u);
    EXPECT_TRUE(heldAfter);
}

TEST(Gil, ANativeRunGivesUpTheLockAndReleasesWhatItTook) {
    needPython();
    bool heldInside = true, heldAfterRun = true, callerHasLock = false;
    uint64_t ensures = 0;
    onThread([&] {
        PyGILState_STATE caller = PyGILState_Ensure();
        gil::Record* r = gil::current();
        r->held = 1;  // the caller holds the lock as it enters the run
        uint64_t before = r->ensures;
        PyThreadState* saved = gil::beginNative(r, false);
        heldInside = r->held;
        PyObject* none = Py_None;
        EXPECT_FALSE(value::truthy(value::Value::of(value::TagPy, none)));  // takes the lock
        ensures = r->ensures - before;
        gil::endNative(r, saved);
        heldAfterRun = r->ensured;
        callerHasLock = PyGILState_Check();
        r->held = 0;
        PyGILState_Release(caller);
    });
    EXPECT_FALSE(heldInside);
    EXPECT_EQ(ensures, 1u);
    EXPECT_FALSE(heldAfterRun);
    EXPECT_TRUE(callerHasLock);
}

TEST(Gil, PythonWorkBeforeARunLeavesTheRunNothingToRelease) {
    // Python code holding the lock calls into the runtime (a Python object's count changes),
    // then starts a native run that never needs Python. The run's end must not release a lock
    // it does not hold (the interpreter would abort).
    needPython();
    bool ensuredBefore = true, callerHasLock = false;
    onThread([&] {
        PyGILState_STATE caller = PyGILState_Ensure();
        gil::Record* r = gil::current();
        PyObject* o = PyList_New(0);
        value::incref(value::TagPy, uint64_t(uintptr_t(o)));
        value::decref(value::TagPy, uint64_t(uintptr_t(o)));
        ensuredBefore = r->ensured;
        PyThreadState* saved = gil::beginNative(r, false);
        gil::endNative(r, saved);
        callerHasLock = PyGILState_Check();
        Py_DECREF(o);
        r->held = 0;
        PyGILState_Release(caller);
    });
    EXPECT_FALSE(ensuredBefore);
    EXPECT_TRUE(callerHasLock);
}

TEST(Gil, ReportModeNotesOnlyTheFirstCrossingWithItsNameCut) {
    needPython();
    std::string name(120, 'f');
    gil::Crossing seen{};
    uint8_t recorded = 0;
    onThread([&] {
        gil::Record* r = gil::current();
        gil::ensure(r);
        PyObject* globals = PyDict_New();
        std::string src = "def " + name + "(): pass\n";
        PyObject* res = PyRun_String(src.c_str(), Py_file_input, globals, globals);
        Py_XDECREF(res);
        PyObject* fn = PyDict_GetItemString(globals, name.c_str());
        ASSERT_NE(fn, nullptr);
        r->report = 1;
        r->recorded = 0;
        gil::Location inner{"root", "value.cpp", "inner", 1, 2};
        gil::Location first{"root", "bridge.cpp", "call", 10, 20};
        gil::Location second{"root", "bridge.cpp", "again", 11, 21};
        r->depth++;  // Python work that is no crossing of the program
        gil::slow(r, &inner, 0, nullptr);
        r->depth--;
        gil::slow(r, &first, 42, fn);
        gil::slow(r, &second, 43, nullptr);
        seen = *gil::crossing();
        recorded = r->recorded;
        EXPECT_FALSE(PyErr_Occurred());
        Py_DECREF(globals);
        r->report = 0;
        endRun(r);
    });
    EXPECT_EQ(recorded, 1);
    EXPECT_STREQ(seen.where.function, "call");
    EXPECT_EQ(seen.value, 42u);
    EXPECT_EQ(seen.nameLength, gil::kNameMax);
    EXPECT_EQ(std::string(seen.name, seen.nameLength), name.substr(0, gil::kNameMax));
}

}  // namespace

}  // namespace wuna
