// The inline cost estimate on fixture helpers: a test of a known node's kind costs only the
// branch it takes, statements after a return count nothing, a local known to be a constant
// folds a test until something changes it, and what cannot be known (builtins, order
// comparisons, tuple displays, floats) keeps both branches.
#include <gtest/gtest.h>
#include "compiler/front/cost.h"

#include <string>

#include "tests/native/front_modules.h"

namespace wuna::front {

namespace {

std::string callOf(int n) { return testing_support::sizedCall(n); }

// The fixture module: the helpers by name, each made of calls of known sizes.
std::string helpers() {
    std::string s = "KINDS = ('Add',)\nLIMIT = 3\n\n\ndef g(*a):\n    return a\n\n\n";
    s += "def by_kind(node, p):\n    if node.kind == 'Add':\n        return " + callOf(20) +
         "\n    else:\n        return " + callOf(30) + "\n\n\n";
    s += "def after_return(node, p):\n    return " + callOf(5) + "\n    " + callOf(50) +
         "\n\n\n";
    s += "def taken_branch_returns(node, p):\n    if node.kind == 'Mul':\n        return " +
         callOf(6) + "\n    " + callOf(40) + "\n\n\n";
    s += "def local_constant(node, p):\n    x = 3\n    if x == 3:\n        " + callOf(10) +
         "\n    else:\n        " + callOf(30) + "\n\n\n";
    s += "def changed_local(node, p):\n    x = 3\n    x += 1\n    if x == 3:\n        " +
         callOf(10) + "\n    else:\n        " + callOf(30) + "\n\n\n";
    s += "def loop(node, p):\n    x = 3\n    for x in p:\n        " + callOf(7) +
         "\n    if x == 3:\n        " + callOf(10) + "\n\n\n";
    s += "def global_constant(node, p):\n    if LIMIT == 3:\n        " + callOf(10) +
         "\n    else:\n        " + callOf(30) + "\n\n\n";
    s += "def builtin_test(node, p):\n    if len(p):\n        " + callOf(10) +
         "\n    else:\n        " + callOf(30) + "\n\n\n";
    s += "def order(node, p):\n    if LIMIT < 4:\n        " + callOf(10) + "\n\n\n";
    s += "def in_display(node, p):\n    if node.kind in ('Add', 'Mul'):\n        " +
         callOf(10) + "\n\n\n";
    s += "def in_global(node, p):\n    if node.kind in KINDS:\n        " + callOf(10) +
         "\n\n\n";
    s += "def on_text(node, p):\n    if node.text == '1+2' and not p:\n        " + callOf(10) +
         "\n\n\n";
    s += "def on_parameter(node, p):\n    if p == 'x':\n        " + callOf(10) + "\n\n\n";
    return s;
}

enum class Arg : uint8_t { addNode, mulNode, unknown };

struct Case {
    const char* name;
    Arg node;
    const char* p;  // Python expression for the second argument; null: unknown
    uint64_t cost;
};

class Cost : public testing_support::WithModule<::testing::TestWithParam<Case>> {
protected:
    Cost() : WithModule(source()) {}
    // Made once; the base keeps only the pointer.
    static const char* source() {
        static const std::string text = helpers();
        return text.c_str();
    }
    void SetUp() override {
        WithModule::SetUp();
        tree_.attach(&compiler_);
    }
    void TearDown() override {
        tree_.detach();
        WithModule::TearDown();
    }

    testing_support::KindTree tree_;
};

// Tested 'Add' node: test (4) + body (20); 'Mul': 4 + 30; a run-time node: all 54.
const Case kCases[] = {
    {"by_kind", Arg::addNode, nullptr, 24},
    {"by_kind", Arg::mulNode, nullptr, 34},
    {"by_kind", Arg::unknown, nullptr, 54},
    {"after_return", Arg::unknown, nullptr, 5},
    {"taken_branch_returns", Arg::mulNode, nullptr, 10},
    {"taken_branch_returns", Arg::addNode, nullptr, 44},
    {"taken_branch_returns", Arg::unknown, nullptr, 50},
    {"local_constant", Arg::unknown, nullptr, 1 + 3 + 10},
    {"changed_local", Arg::unknown, nullptr, 1 + 1 + 3 + 10 + 30},
    {"loop", Arg::unknown, nullptr, 1 + 1 + 7 + 3 + 10},
    {"global_constant", Arg::unknown, nullptr, 3 + 10},
    {"builtin_test", Arg::unknown, "[1]", 3 + 10 + 30},
    {"order", Arg::unknown, nullptr, 3 + 10},
    {"in_display", Arg::addNode, nullptr, 6 + 10},
    {"in_global", Arg::addNode, nullptr, 4 + 10},
    {"in_global", Arg::mulNode, nullptr, 4},
    {"in_global", Arg::unknown, nullptr, 4 + 10},
    {"on_text", Arg::addNode, "''", 7 + 10},
    {"on_text", Arg::addNode, "'q'", 7},
    {"on_text", Arg::mulNode, "''", 7},
    {"on_parameter", Arg::unknown, "'x'", 3 + 10},
    {"on_parameter", Arg::unknown, "'y'", 3},
    {"on_parameter", Arg::unknown, "2.5", 3 + 10},
    {"on_parameter", Arg::unknown, "('x',)", 3 + 10},
};

TEST_P(Cost, Estimate) {
    const Case& c = GetParam();
    FunctionIR* ir = front(c.name);
    ASSERT_NE(ir, nullptr) << message();
    PyObject* p = nullptr;
    EvalValue args[2] = {unknownValue(), unknownValue()};
    if (c.node != Arg::unknown) args[0] = nodeValue(c.node == Arg::addNode ? 0 : 1);
    if (c.p) {
        p = PyRun_String(c.p, Py_eval_input, module_, module_);
        ASSERT_NE(p, nullptr);
        // Floats and tuples are not known to the estimate: their shapes give unknown.
        if (!PyFloat_Check(p) && !PyTuple_Check(p)) args[1] = objectValue(p);
    }
    uint64_t cost = 0;
    ASSERT_EQ(inlineCost(&compiler_, ir, ir->body, args, 2, &cost), Status::ok);
    EXPECT_EQ(cost, c.cost);
    EXPECT_FALSE(PyErr_Occurred());
    Py_XDECREF(p);
}

INSTANTIATE_TEST_SUITE_P(Helpers, Cost, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             return std::string(info.param.name) + "_" +
                                    std::to_string(info.index);
                         });

}  // namespace

}  // namespace wuna::front
