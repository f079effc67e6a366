// Out of memory where only a growing array can run out: the test binary is linked with every
// realloc of its own code (not of the shared libraries it loads) going through __wrap_realloc,
// which fails the calls this thread asks it to and passes every other call on.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "compiler/codegen/lower.h"
#include "host/tree/index.h"

extern "C" void* __real_realloc(void* p, size_t n);

namespace {

// Reallocs this thread lets through before it fails every one; -1: none fails.
thread_local long reallocsLeft = -1;

// Fails the reallocs of this thread after the first n, for as long as it lives.
struct FailingRealloc {
    explicit FailingRealloc(long n) { reallocsLeft = n; }
    FailingRealloc(const FailingRealloc&) = delete;
    FailingRealloc& operator=(const FailingRealloc&) = delete;
    ~FailingRealloc() { reallocsLeft = -1; }
};

}  // namespace

extern "C" void* __wrap_realloc(void* p, size_t n) {
    if (reallocsLeft == 0) return nullptr;
    if (reallocsLeft > 0) reallocsLeft--;
    return __real_realloc(p, n);
}

namespace wuna {

namespace {

// 0 a function node with two children labelled params (1, 2) and one labelled body (3).
constexpr uint8_t kParams = 1;
constexpr uint8_t kBody = 2;

struct Tree {
    ptree::NodeRecord nodes[4] = {
        {0, 20, 3, pargo::layout::makeWord(1, 0)},
        {1, 2, 0, pargo::layout::makeWord(2, kParams)},
        {3, 4, 0, pargo::layout::makeWord(2, kParams)},
        {5, 9, 0, pargo::layout::makeWord(3, kBody)},
    };
    uint32_t parents[4] = {ptree::kNone, 0, 0, 0};
    ptree::Index index{};
    Tree() {
        index.nodes = nodes;
        index.count = 4;
        index.parents = parents;
    }
};

TEST(ReallocFailure, ChildWithLabelOutOfMemoryIsOutOfMemoryWithNoList) {
    Tree tree;
    // The walk reads the compiler's tree alone.
    auto c = std::make_unique<compile::Compiler>();
    c->tree = &tree.index;
    compile::Emitter e{};
    e.compiler = c.get();
    backend::List<uint32_t> found;
    ASSERT_EQ(compile::childWithLabel(&e, 0, kParams, &found), Status::ok);
    EXPECT_EQ(found.count, 2u);
    found.free();
    {
        FailingRealloc failing(0);
        EXPECT_EQ(compile::childWithLabel(&e, 0, kParams, &found), Status::outOfMemory);
    }
    // Not an empty list that would compile the function without its parameters.
    EXPECT_EQ(found.items, nullptr);
    EXPECT_EQ(found.count, 0u);
    // Nothing to allocate for no match.
    {
        FailingRealloc failing(0);
        EXPECT_EQ(compile::childWithLabel(&e, 0, 7, &found), Status::ok);
    }
    EXPECT_EQ(found.count, 0u);
}

}  // namespace

}  // namespace wuna
