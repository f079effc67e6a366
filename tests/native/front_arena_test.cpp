// The arena of a front-end reading gives back the Python references its constants hold when
// it is freed, so reading functions again and again leaks nothing.
#include <gtest/gtest.h>

#include "compiler/front/front.h"
#include "tests/native/python_test_support.h"

namespace wuna::front {

namespace {

class FrontArena : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        gil_ = PyGILState_Ensure();
    }
    void TearDown() override { PyGILState_Release(gil_); }
    PyGILState_STATE gil_;
};

TEST_F(FrontArena, FreeingGivesBackEveryHeldReference) {
    PyObject* big = PyLong_FromString("123456789012345678901234567890", nullptr, 10);
    ASSERT_NE(big, nullptr);
    Py_ssize_t before = Py_REFCNT(big);
    Arena arena;
    for (int i = 0; i < 5000; i++) {  // more than one chunk of the arena
        Py_INCREF(big);
        ASSERT_TRUE(hold(arena, big));
        ASSERT_NE(takeArray<Expr>(arena, 3), nullptr);
    }
    EXPECT_EQ(Py_REFCNT(big), before + 5000);
    freeArena(arena);
    EXPECT_EQ(Py_REFCNT(big), before);
    EXPECT_EQ(arena.held, nullptr);
    freeArena(arena);  // an emptied arena frees again harmlessly
    Py_DECREF(big);
}

TEST_F(FrontArena, FreeingAResultReleasesItsFunctionAndConstants) {
    PyObject* function = PyDict_New();  // any object stands for the function here
    PyObject* constant = PyBytes_FromString("kept by a constant");
    ASSERT_TRUE(function && constant);
    Py_ssize_t functionBefore = Py_REFCNT(function), constantBefore = Py_REFCNT(constant);
    auto* ir = static_cast<FunctionIR*>(calloc(1, sizeof(FunctionIR)));
    ASSERT_NE(ir, nullptr);
    Py_INCREF(function);
    ir->function = function;
    Py_INCREF(constant);
    ASSERT_TRUE(hold(ir->arena, constant));
    freeFunction(ir);
    EXPECT_EQ(Py_REFCNT(function), functionBefore);
    EXPECT_EQ(Py_REFCNT(constant), constantBefore);
    Py_DECREF(function);
    Py_DECREF(constant);
}

}  // namespace

}  // namespace wuna::front
