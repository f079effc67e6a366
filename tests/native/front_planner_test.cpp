// The call planner on a module of fixture helpers of known sizes: which road each call site
// takes and which step chose it (size, sites, cost, evaluation while compiling, guard, out of
// line), recursion told apart by nodes, helpers that always raise in ahead-of-time builds
// (not those that make jumps, nor through a helper the front end refuses), the guard body it
// builds, and the binding of arguments to parameters with its error texts.
#include <gtest/gtest.h>
#include "compiler/front/planner.h"

#include <initializer_list>
#include <string>

#include "compiler/front/cache.h"
#include "tests/native/front_modules.h"

namespace wuna::compile {

namespace {

using testing_support::sizedCall;

// The fixture module. Sizes are expression nodes; g(...) of n nodes comes from sizedCall.
std::string helpers() {
    std::string s = "from wuna import Return\n\n\ndef g(*a):\n    return a\n\n\n";
    auto def = [&](const char* head, const std::string& body) {
        s += std::string("def ") + head + ":\n" + body + "\n\n\n";
    };
    auto sum = [](int terms) {  // n*1 + n*2 + ...: 4 * terms - 1 nodes
        std::string out;
        for (int i = 1; i <= terms; i++) out += (i > 1 ? " + n*" : "n*") + std::to_string(i);
        return out;
    };
    def("small8(node, p)", "    return " + sizedCall(8));
    def("nine(node, p)", "    return " + sizedCall(9));
    def("forty(node, p)", "    return " + sizedCall(40));
    // 4 + 20 + 36 = 60 nodes: 24 with an 'Add' node, 40 with a 'Mul' node.
    def("by_kind(node, p)", "    if node.kind == 'Add':\n        return " + sizedCall(20) +
                                "\n    else:\n        return " + sizedCall(36));
    def("by_kind_wide(node, p)", "    if node.kind == 'Add':\n        return " + sizedCall(20) +
                                     "\n    else:\n        return " + sizedCall(37));
    def("walk(node, p)", "    return walk(node, p)");
    def("again()", "    return again()");
    // Pure, more than 40 nodes and as costly: evaluated when called with constants.
    def("table(n)", "    return " + sum(12));
    def("table_raises(n)", "    return (" + sum(12) + ") // n");
    def("table_list(n)", "    return [" + sum(12) + ", n]");
    def("table_big(n)", "    return (" + sum(12) + ") ** 40");
    def("total(n, *rest)", "    return " + sum(12) + " + len(rest) * 1000");
    def("stops(n)", "    if n * 1 == 0:\n        raise KeyboardInterrupt()\n    return " + sum(12));
    def("noisy_table(n)", "    print(n)\n    return " + sum(12));
    def("pure_test(x)", "    return x == 3");
    def("noisy(x)", "    print(x)\n    return x");
    def("guarded(x)", "    \"\"\"Doc.\"\"\"\n    if x is None:\n        return 0\n    return " +
                          sizedCall(45, "x"));
    def("guard_raises(x)", "    if len(x) > 3:\n        raise ValueError(x)\n    return " +
                               sizedCall(45, "x"));
    def("guard_pure_call(x)", "    if pure_test(x):\n        return 0\n    return " +
                                  sizedCall(45, "x"));
    def("guard_impure(x)", "    if noisy(x):\n        return 0\n    return " +
                               sizedCall(45, "x"));
    def("guard_abs(x)", "    if abs(x) > 3:\n        return 0\n    return " + sizedCall(45, "x"));
    def("guard_costly(x)", "    if x is None:\n        return " + sizedCall(45, "x") +
                               "\n    return " + sizedCall(45, "x"));
    def("guard_with_else(x)", "    if x is None:\n        return 0\n    else:\n        x = 1\n"
                                  "    return " + sizedCall(45, "x"));
    def("guard_alone(x)", "    if x is None:\n        return " + sizedCall(45, "x"));
    // Ahead-of-time builds: helpers that surely raise, and some that only look so.
    def("raiser(x)", "    raise ValueError(x, x, x, x, x, x, x, x)");
    def("raiser2(x, r)", "    raise ValueError(x, x, x, x, x, x, x, x)");
    def("both_branches(x)", "    if x:\n        raise ValueError(x, x, x)\n    else:\n"
                                "        raise TypeError(x, x, x)");
    def("via_raiser(x)", "    raiser(x + 1 + 2 + 3 + 4)");
    def("refused_raiser(x, **kw)", "    raise ValueError(x)");
    def("via_refused(x)", "    refused_raiser(x + 1 + 2 + 3 + 4)");
    def("jumper(x, rt)", "    raise rt.Return(" + sizedCall(9, "x") + ")");
    def("jump_imported(x)", "    raise Return(x, x, x, x, x, x, x, x)");
    def("maybe_raises(x)", "    if x:\n        return 1\n    raise ValueError(x, x, x, x, x, x, x)");
    def("ping(x)", "    pong(x + 1 + 2 + 3 + 4)");
    def("pong(x)", "    ping(x + 1 + 2 + 3 + 4)");
    def("binds(a, b=2)", "    return a");
    def("spreads(a, *rest)", "    return rest");
    def("pair(a, b)", "    return a");
    return s;
}

enum class A : uint8_t { add, mul, dyn, three, zero, none, rtMethod };

// The shape of each kind of argument, in the order of A: its variant, and its node or int.
constexpr struct {
    ShapeKind kind;
    int64_t value;
} kArgumentShapes[] = {{ShapeKind::node, 0}, {ShapeKind::node, 1}, {ShapeKind::dyn, 0},
                       {ShapeKind::pint, 3}, {ShapeKind::pint, 0}, {ShapeKind::none, 0},
                       {ShapeKind::rtMethod, 0}};

Shape shapeOf(A a) {
    Shape s{};
    s.kind = kArgumentShapes[size_t(a)].kind;
    if (s.kind == ShapeKind::node)
        s.node = uint32_t(kArgumentShapes[size_t(a)].value);
    else
        s.int_ = kArgumentShapes[size_t(a)].value;
    return s;
}

template <typename Base>
class PlannerTest : public testing_support::WithModule<Base> {
protected:
    PlannerTest() : testing_support::WithModule<Base>(source()) {}
    static const char* source() {
        static const std::string text = helpers();
        return text.c_str();
    }
    void SetUp() override {
        testing_support::WithModule<Base>::SetUp();
        tree_.attach(&this->compiler_);
    }
    void TearDown() override {
        freeInlineState(&state_);
        tree_.detach();
        testing_support::WithModule<Base>::TearDown();
    }
    // Plans a call of the named helper with the arguments; ok is expected.
    CallPlan plan(const char* name, std::initializer_list<Shape> arguments) {
        front::FunctionIR* ir = this->front(name);
        EXPECT_NE(ir, nullptr) << name << ": " << this->message();
        CallPlan out{};
        if (!ir) return out;
        Status s = callPythonFunction(&this->compiler_, &state_, ir, 7, arguments.begin(),
                                      arguments.size(), &out);
        EXPECT_EQ(s, Status::ok) << name << ": " << this->message();
        EXPECT_FALSE(PyErr_Occurred());
        return out;
    }
    Shape nodes(std::initializer_list<uint32_t> items) {
        Shape s{};
        s.kind = ShapeKind::tuple;
        s.tuple.items = takeArray<Shape>(&this->compiler_, items.size());
        s.tuple.count = items.size();
        uint64_t i = 0;
        for (uint32_t n : items) {
            s.tuple.items[i].kind = ShapeKind::node;
            s.tuple.items[i++].node = n;
        }
        return s;
    }

    testing_support::KindTree tree_;
    InlineState state_{};
};

using Planner = PlannerTest<::testing::Test>;

struct RoadCase {
    const char* helper;
    A args[2];
    uint8_t count;
    bool aheadOfTime;
    CallRoad road;
    PlanStep step;
};

constexpr RoadCase kRoads[] = {
    {"small8", {A::dyn, A::dyn}, 2, false, CallRoad::inlined, PlanStep::small},
    {"nine", {A::dyn, A::dyn}, 2, false, CallRoad::inlined, PlanStep::size},
    {"forty", {A::dyn, A::dyn}, 2, false, CallRoad::inlined, PlanStep::size},
    {"by_kind", {A::add, A::dyn}, 2, false, CallRoad::inlined, PlanStep::cost},
    {"by_kind", {A::mul, A::dyn}, 2, false, CallRoad::inlined, PlanStep::cost},
    {"by_kind_wide", {A::mul, A::dyn}, 2, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"by_kind", {A::dyn, A::dyn}, 2, false, CallRoad::outOfLine, PlanStep::noGuard},
    // Constants, a pure helper: called now.
    {"table", {A::three}, 1, false, CallRoad::evaluated, PlanStep::evaluation},
    // It raises, gives a list or a big int, or prints: compiled after all.
    {"table_raises", {A::zero}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"table_list", {A::three}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"table_big", {A::three}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"noisy_table", {A::three}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"table", {A::dyn}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    // Guards.
    {"guarded", {A::dyn}, 1, false, CallRoad::guarded, PlanStep::guard},
    {"guard_raises", {A::dyn}, 1, false, CallRoad::guarded, PlanStep::guard},
    {"guard_pure_call", {A::dyn}, 1, false, CallRoad::guarded, PlanStep::guard},
    {"guard_impure", {A::dyn}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"guard_abs", {A::dyn}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"guard_costly", {A::dyn}, 1, false, CallRoad::outOfLine, PlanStep::guardCost},
    {"guard_with_else", {A::dyn}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    {"guard_alone", {A::dyn}, 1, false, CallRoad::outOfLine, PlanStep::noGuard},
    // Ahead of time, a helper of more than 8 nodes that surely raises stays out of line.
    {"raiser", {A::dyn}, 1, true, CallRoad::outOfLine, PlanStep::raises},
    {"raiser", {A::dyn}, 1, false, CallRoad::inlined, PlanStep::size},
    {"raiser2", {A::dyn, A::rtMethod}, 2, true, CallRoad::inlined, PlanStep::size},
    {"both_branches", {A::dyn}, 1, true, CallRoad::outOfLine, PlanStep::raises},
    {"via_raiser", {A::dyn}, 1, true, CallRoad::outOfLine, PlanStep::raises},
    {"via_refused", {A::dyn}, 1, true, CallRoad::inlined, PlanStep::size},
    {"jumper", {A::dyn, A::dyn}, 2, true, CallRoad::inlined, PlanStep::size},
    {"jump_imported", {A::dyn}, 1, true, CallRoad::inlined, PlanStep::size},
    {"maybe_raises", {A::dyn}, 1, true, CallRoad::inlined, PlanStep::size},
    // A cycle is settled at its first function: not known to raise, so inlined.
    {"ping", {A::dyn}, 1, true, CallRoad::inlined, PlanStep::size},
};

class Roads : public PlannerTest<::testing::TestWithParam<RoadCase>> {};

TEST_P(Roads, Chosen) {
    const RoadCase& rc = GetParam();
    int marker = 0;
    if (rc.aheadOfTime) compiler_.keyOrigins = &marker;
    Shape args[2] = {shapeOf(rc.args[0]), shapeOf(rc.args[1])};
    front::FunctionIR* ir = front(rc.helper);
    ASSERT_NE(ir, nullptr) << message();
    CallPlan p{};
    ASSERT_EQ(callPythonFunction(&compiler_, &state_, ir, 7, args, rc.count, &p), Status::ok)
        << message();
    compiler_.keyOrigins = nullptr;
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(int(p.road), int(rc.road));
    EXPECT_EQ(int(p.step), int(rc.step));
    EXPECT_EQ(p.control, 7u);
    EXPECT_EQ(p.count, rc.count);
    bool keyed = p.road == CallRoad::outOfLine || p.road == CallRoad::guarded;
    EXPECT_EQ(p.key.function, keyed ? ir : nullptr);
    if (keyed) {
        ASSERT_EQ(p.key.argumentCount, rc.count);
        for (uint64_t i = 0; i < rc.count; i++)
            EXPECT_EQ(int(p.key.shapes[i].kind), int(args[i].kind));
    }
    if (p.road == CallRoad::inlined) {
        EXPECT_EQ(p.body.items, ir->body.items);
        EXPECT_EQ(p.body.count, ir->body.count);
    }
}

INSTANTIATE_TEST_SUITE_P(Helpers, Roads, ::testing::ValuesIn(kRoads), [](const auto& info) {
    return std::string(info.param.helper) + "_" + std::to_string(info.index);
});

// The sizes the cases above rest on.
TEST_F(Planner, FixtureSizes) {
    const std::pair<const char*, uint32_t> sizes[] = {
        {"small8", 8}, {"nine", 9}, {"forty", 40}, {"by_kind", 60}, {"table", 47}, {"raiser", 10}};
    for (const auto& [name, size] : sizes) {
        front::FunctionIR* ir = front(name);
        ASSERT_NE(ir, nullptr) << name;
        EXPECT_EQ(ir->exprCount, size) << name;
    }
}

TEST_F(Planner, EvaluatedResultIsPythons) {
    CallPlan p = plan("table", {shapeOf(A::three)});
    ASSERT_EQ(p.road, CallRoad::evaluated);
    PyObject* three = PyLong_FromLong(3);
    PyObject* expected = PyObject_CallOneArg(global("table"), three);
    Py_DECREF(three);
    ASSERT_NE(expected, nullptr);
    ASSERT_EQ(p.result.kind, ShapeKind::pint);
    EXPECT_EQ(p.result.int_, PyLong_AsLongLong(expected));
    Py_DECREF(expected);
}

// A helper with *args evaluated while compiling is given the extra arguments one by one.
TEST_F(Planner, EvaluationSpreadsRest) {
    front::FunctionIR* ir = front("total");
    ASSERT_NE(ir, nullptr);
    for (uint64_t given = 1; given <= 3; given++) {
        Shape args[3] = {shapeOf(A::three), shapeOf(A::three), shapeOf(A::zero)};
        CallPlan p{};
        ASSERT_EQ(callPythonFunction(&compiler_, &state_, ir, 0, args, given, &p), Status::ok);
        ASSERT_EQ(p.road, CallRoad::evaluated) << given;
        PyObject* py = PyTuple_New(Py_ssize_t(given));
        for (uint64_t i = 0; i < given; i++)
            PyTuple_SET_ITEM(py, Py_ssize_t(i), PyLong_FromLongLong(args[i].int_));
        PyObject* expected = PyObject_Call(global("total"), py, nullptr);
        Py_DECREF(py);
        ASSERT_NE(expected, nullptr);
        ASSERT_EQ(p.result.kind, ShapeKind::pint);
        EXPECT_EQ(p.result.int_, PyLong_AsLongLong(expected)) << given;
        Py_DECREF(expected);
    }
}

// An interrupt while a helper runs at compile time is not taken for the helper's exception.
TEST_F(Planner, InterruptWhileEvaluatingIsKept) {
    front::FunctionIR* ir = front("stops");
    ASSERT_NE(ir, nullptr);
    Shape zero = shapeOf(A::zero);
    CallPlan p{};
    EXPECT_EQ(callPythonFunction(&compiler_, &state_, ir, 0, &zero, 1, &p), Status::pythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyboardInterrupt));
    PyErr_Clear();
    // Called with another constant it returns, and is evaluated.
    Shape three = shapeOf(A::three);
    ASSERT_EQ(callPythonFunction(&compiler_, &state_, ir, 0, &three, 1, &p), Status::ok);
    EXPECT_EQ(p.road, CallRoad::evaluated);
}

TEST_F(Planner, SitesCountPerContext) {
    Shape args[2] = {shapeOf(A::dyn), shapeOf(A::dyn)};
    for (int i = 1; i <= 20; i++) {
        CallPlan small = plan("small8", {args[0], args[1]});
        EXPECT_EQ(small.road, CallRoad::inlined) << "small8 call " << i;
        CallPlan p = plan("nine", {args[0], args[1]});
        EXPECT_EQ(p.road, i <= 16 ? CallRoad::inlined : CallRoad::outOfLine) << "nine call " << i;
        EXPECT_EQ(p.step, i <= 16 ? PlanStep::size : PlanStep::sites) << "nine call " << i;
    }
    // A call with an rt method can't go out of line: it is inlined and not counted.
    CallPlan method = plan("nine", {shapeOf(A::rtMethod), args[1]});
    EXPECT_EQ(method.road, CallRoad::inlined);
    // The next compiled function counts afresh.
    freeInlineState(&state_);
    state_ = InlineState{};
    EXPECT_EQ(plan("nine", {args[0], args[1]}).road, CallRoad::inlined);
}

TEST_F(Planner, RecursionOnNodes) {
    front::FunctionIR* walk = front("walk");
    ASSERT_NE(walk, nullptr);
    struct Row {
        const char* what;
        Shape recorded;
        Shape called;
        CallRoad road;
        PlanStep step;
    };
    Shape three = shapeOf(A::three);
    Shape five = shapeOf(A::three);
    five.int_ = 5;
    const Row rows[] = {
        {"another node", shapeOf(A::add), shapeOf(A::mul), CallRoad::inlined, PlanStep::small},
        {"the same node", shapeOf(A::add), shapeOf(A::add), CallRoad::outOfLine,
         PlanStep::recursion},
        {"run-time values", shapeOf(A::dyn), shapeOf(A::dyn), CallRoad::outOfLine,
         PlanStep::recursion},
        {"different constants", three, five, CallRoad::outOfLine, PlanStep::recursion},
        {"node and run-time value", shapeOf(A::add), shapeOf(A::dyn), CallRoad::outOfLine,
         PlanStep::recursion},
        {"the same nodes", nodes({0, 1}), nodes({0, 1}), CallRoad::outOfLine,
         PlanStep::recursion},
        {"other nodes", nodes({0, 1}), nodes({0, 0}), CallRoad::inlined, PlanStep::small},
        {"fewer nodes", nodes({0, 1}), nodes({0}), CallRoad::inlined, PlanStep::small},
        {"no nodes", nodes({}), nodes({}), CallRoad::outOfLine, PlanStep::recursion},
    };
    for (const Row& row : rows) {
        Shape recorded[2] = {row.recorded, shapeOf(A::dyn)};
        ASSERT_EQ(pushInline(&state_, InlineRecord{walk, recorded, 2}), Status::ok);
        CallPlan p = plan("walk", {row.called, shapeOf(A::dyn)});
        EXPECT_EQ(p.road, row.road) << row.what;
        EXPECT_EQ(p.step, row.step) << row.what;
        popInline(&state_);
    }
}

TEST_F(Planner, RecursionOnADeepStack) {
    front::FunctionIR* walk = front("walk");
    front::FunctionIR* other = front("small8");
    ASSERT_TRUE(walk && other);
    Shape recorded[2] = {shapeOf(A::add), shapeOf(A::dyn)};
    ASSERT_EQ(pushInline(&state_, InlineRecord{walk, recorded, 2}), Status::ok);
    for (size_t i = 1; i < kInlineStackLimit - 1; i++)
        ASSERT_EQ(pushInline(&state_, InlineRecord{other, recorded, 2}), Status::ok);
    // 63 records: another node is still inlined.
    EXPECT_EQ(plan("walk", {shapeOf(A::mul), shapeOf(A::dyn)}).road, CallRoad::inlined);
    ASSERT_EQ(pushInline(&state_, InlineRecord{other, recorded, 2}), Status::ok);
    CallPlan p = plan("walk", {shapeOf(A::mul), shapeOf(A::dyn)});
    EXPECT_EQ(p.road, CallRoad::outOfLine);
    EXPECT_EQ(p.step, PlanStep::deepRecursion);
    // A helper not on the stack is inlined however deep it is.
    EXPECT_EQ(plan("nine", {shapeOf(A::mul), shapeOf(A::dyn)}).road, CallRoad::inlined);
}

TEST_F(Planner, RecursionWithoutArguments) {
    front::FunctionIR* again = front("again");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(plan("again", {}).road, CallRoad::inlined);
    ASSERT_EQ(pushInline(&state_, InlineRecord{again, nullptr, 0}), Status::ok);
    CallPlan p = plan("again", {});
    EXPECT_EQ(p.road, CallRoad::outOfLine);
    EXPECT_EQ(p.step, PlanStep::deepRecursion);
}

TEST_F(Planner, GuardBody) {
    front::FunctionIR* ir = front("guarded");
    ASSERT_NE(ir, nullptr);
    CallPlan p = plan("guarded", {shapeOf(A::dyn)});
    ASSERT_EQ(p.road, CallRoad::guarded);
    ASSERT_EQ(p.body.count, 1u);
    const front::Stmt& guard = p.body.items[0];
    // The callee's if after its docstring, with its own test and branch.
    const front::Stmt& test = ir->body.items[1];
    EXPECT_EQ(guard.kind, front::StmtKind::if_);
    EXPECT_EQ(guard.position, test.position);
    EXPECT_EQ(guard.if_.test, test.if_.test);
    EXPECT_EQ(guard.if_.body.items, test.if_.body.items);
    ASSERT_EQ(guard.if_.orelse.count, 1u);
    const front::Stmt& otherwise = guard.if_.orelse.items[0];
    EXPECT_EQ(otherwise.kind, front::StmtKind::return_);
    ASSERT_NE(otherwise.return_, nullptr);
    EXPECT_EQ(otherwise.return_->kind, front::ExprKind::outOfLine);
    // The callee's own reading is unchanged, and the guard is made once.
    EXPECT_EQ(test.if_.orelse.count, 0u);
    EXPECT_EQ(plan("guarded", {shapeOf(A::dyn)}).body.items, p.body.items);
    EXPECT_LE(p.cost, kInlineSize);
}

TEST_F(Planner, FrontOfARefusedGlobal) {
    front::FunctionIR* via = front("via_refused");
    ASSERT_NE(via, nullptr);
    const struct {
        const char* name;
        bool found;
    } rows[] = {{"raiser", true}, {"refused_raiser", false}, {"ValueError", false},
                {"Return", false}, {"not_bound", false}};
    for (const auto& row : rows) {
        front::FunctionIR* found = nullptr;
        front::Text name{row.name, strlen(row.name)};
        ASSERT_EQ(front::frontOfGlobal(&compiler_, via, name, &found), Status::ok) << row.name;
        EXPECT_EQ(found != nullptr, row.found) << row.name;
        EXPECT_EQ(compiler_.message.count, 0u) << row.name;
    }
}

// --- binding arguments ---------------------------------------------------------------------

TEST_F(Planner, BindsDefaultsAndRest) {
    front::FunctionIR* binds = front("binds");
    front::FunctionIR* spreads = front("spreads");
    ASSERT_TRUE(binds && spreads);
    Shape given[3] = {shapeOf(A::dyn), shapeOf(A::add), shapeOf(A::three)};
    const Shape* bound = nullptr;
    uint64_t n = 0;
    // Fits as given: the same array.
    ASSERT_EQ(checkArity(&compiler_, binds, given, 2, &bound, &n), Status::ok);
    EXPECT_EQ(bound, given);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(checkArity(&compiler_, binds, given, 1, &bound, &n), Status::ok);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(bound[0].kind, ShapeKind::dyn);
    ASSERT_EQ(bound[1].kind, ShapeKind::pint);
    EXPECT_EQ(bound[1].int_, 2);
    ASSERT_EQ(checkArity(&compiler_, spreads, given, 3, &bound, &n), Status::ok);
    ASSERT_EQ(n, 2u);
    ASSERT_EQ(bound[1].kind, ShapeKind::tuple);
    ASSERT_EQ(bound[1].tuple.count, 2u);
    EXPECT_EQ(bound[1].tuple.items[0].kind, ShapeKind::node);
    EXPECT_EQ(bound[1].tuple.items[1].kind, ShapeKind::pint);
    ASSERT_EQ(checkArity(&compiler_, spreads, given, 1, &bound, &n), Status::ok);
    ASSERT_EQ(bound[1].kind, ShapeKind::tuple);
    EXPECT_EQ(bound[1].tuple.count, 0u);
    // The planner hands the bound shapes on.
    CallPlan p = plan("binds", {shapeOf(A::dyn)});
    ASSERT_EQ(p.count, 2u);
    EXPECT_EQ(p.arguments[1].kind, ShapeKind::pint);
}

TEST_F(Planner, ArityErrors) {
    struct Row {
        const char* helper;
        uint64_t count;
        const char* before;  // Python run on the module first, or null
        const char* text;    // after the location prefix
    };
    const Row rows[] = {
        {"binds", 3, nullptr, "binds() called with 3 arguments, takes 1 to 2"},
        {"binds", 0, nullptr, "binds() called with 0 arguments, takes 1 to 2"},
        {"pair", 1, nullptr, "pair() called with 1 arguments, takes 2 to 2"},
        {"spreads", 0, nullptr, "spreads() called with 0 arguments, takes 1 to 2"},
        {"binds", 1, "binds.__defaults__ = None", "binds()'s defaults changed"},
        {"binds", 1, "binds.__defaults__ = (1, 2, 3)", "binds()'s defaults changed"},
        {"pair", 1, "pair.__defaults__ = ()", "pair() called with 1 arguments, takes 2 to 2"},
    };
    Shape given[3] = {shapeOf(A::dyn), shapeOf(A::dyn), shapeOf(A::dyn)};
    for (const Row& row : rows) {
        front::FunctionIR* ir = front(row.helper);
        ASSERT_NE(ir, nullptr);
        if (row.before) {
            PyObject* r = PyRun_String(row.before, Py_file_input, module_, module_);
            ASSERT_NE(r, nullptr);
            Py_DECREF(r);
        }
        CallPlan p{};
        EXPECT_EQ(callPythonFunction(&compiler_, &state_, ir, 0, given, row.count, &p),
                  Status::unsupported)
            << row.text;
        std::string text = message();
        std::string prefix = std::string(ir->fileName.data, ir->fileName.length) + ":" +
                             std::to_string(ir->firstLine) + ":0: in " + row.helper + "(): ";
        EXPECT_EQ(text, prefix + row.text);
        EXPECT_FALSE(PyErr_Occurred());
    }
}

TEST_F(Planner, MissingArgumentAfterDefaultsShrank) {
    front::FunctionIR* ir = front("binds");
    ASSERT_NE(ir, nullptr);
    PyObject* r = PyRun_String("binds.__defaults__ = ()", Py_file_input, module_, module_);
    ASSERT_NE(r, nullptr);
    Py_DECREF(r);
    Shape given[1] = {shapeOf(A::dyn)};
    CallPlan p{};
    EXPECT_EQ(callPythonFunction(&compiler_, &state_, ir, 0, given, 1, &p), Status::unsupported);
    std::string text = message();
    EXPECT_NE(text.find("binds() missing an argument"), std::string::npos) << text;
}

}  // namespace

}  // namespace wuna::compile
