// The front cache as a compiler uses it: a function is read once and its IR shared; a refusal
// is not kept, so asking again gives the same reason again; every function object is an entry
// of its own, even two made by running one definition twice.
#include <gtest/gtest.h>
#include "compiler/front/cache.h"

#include <string>

#include "compiler/backend/compile.h"
#include "compiler/front/front.h"
#include "tests/native/python_test_support.h"

namespace wuna::front {

namespace {

constexpr char kLoader[] = R"PY(
import linecache

def make(src, name="<front cache case>"):
    linecache.cache[name] = (len(src), None, src.splitlines(True), name)
    ns = {}
    exec(compile(src, name, "exec"), ns)
    return ns["f"]

def sourceless():
    ns = {}
    exec("def f(a):\n    return a\n", ns)
    return ns["f"]
)PY";

class FrontCache : public testing_support::WithHelpers<::testing::Test> {
protected:
    FrontCache() : WithHelpers(kLoader) {}
    void SetUp() override {
        WithHelpers::SetUp();
        compile::init(&compiler_, nullptr, "t", 1);
        compiler_.frontCache = &cache_;
    }
    void TearDown() override {
        clearFronts(cache_);
        compile::release(&compiler_);
        WithHelpers::TearDown();
    }
    // New reference to the helper's result for a source text (none: no argument), or null.
    PyObject* callWith(const char* name, const char* source = nullptr) {
        if (!source) return call(name);
        PyObject* src = PyUnicode_FromString(source);
        PyObject* result = call(name, src);
        Py_DECREF(src);
        return result;
    }
    std::string message() const {
        return std::string(compiler_.message.items, compiler_.message.count);
    }

    compile::Compiler compiler_;
    Cache cache_;
};

constexpr char kSource[] = "def f(a):\n    return a + 1\n";

TEST_F(FrontCache, AFunctionIsReadOnce) {
    PyObject* fn = callWith("make", kSource);
    ASSERT_NE(fn, nullptr);
    FunctionIR* first = nullptr;
    FunctionIR* second = nullptr;
    ASSERT_EQ(frontOf(&compiler_, fn, &first), Status::ok);
    ASSERT_EQ(frontOf(&compiler_, fn, &second), Status::ok);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->function, fn);  // the reading holds the function alive
    Py_DECREF(fn);
}

TEST_F(FrontCache, ARefusalIsGivenEveryTimeAndNotKept) {
    PyObject* fn = callWith("sourceless");
    ASSERT_NE(fn, nullptr);
    for (int attempt = 0; attempt < 2; attempt++) {
        FunctionIR* ir = nullptr;
        compiler_.message.clear();
        ASSERT_EQ(frontOf(&compiler_, fn, &ir), Status::unsupported);
        EXPECT_EQ(ir, nullptr);
        EXPECT_EQ(message(), "the source of f() isn't available");
    }
    EXPECT_EQ(cachedFront(cache_, fn), nullptr);
    Py_DECREF(fn);
}

TEST_F(FrontCache, TwoFunctionObjectsOfOneDefinitionAreTwoEntries) {
    PyObject* one = callWith("make", kSource);
    PyObject* two = callWith("make", kSource);
    ASSERT_TRUE(one && two);
    FunctionIR* a = nullptr;
    FunctionIR* b = nullptr;
    ASSERT_EQ(frontOf(&compiler_, one, &a), Status::ok);
    ASSERT_EQ(frontOf(&compiler_, two, &b), Status::ok);
    EXPECT_NE(a, b);
    EXPECT_EQ(cachedFront(cache_, one), a);
    EXPECT_EQ(cachedFront(cache_, two), b);
    Py_DECREF(one);
    Py_DECREF(two);
}

TEST_F(FrontCache, KeepReasonReplacesTheMessage) {
    ASSERT_EQ(keepReason(&compiler_, "first reason", 12), Status::ok);
    ASSERT_EQ(keepReason(&compiler_, "second", 6), Status::ok);
    EXPECT_EQ(message(), "second");
}

}  // namespace

}  // namespace wuna::front
