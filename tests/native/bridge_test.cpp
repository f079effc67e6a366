// Semantics run as Python from native code (values, jumps, exceptions and their texts, a kept
// rt found dead), nodes run through thunks per scope, calls of program functions, functions
// a semantic made and Python callables with their failures, the call stack at its capacity
// and at the native stack floor, tail calls, and the crossings tally of each run on its own.
// Every test leaves the thread's live block count where it found it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/pyfunc.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using bridge::RunStatus;
using helpers::Ctx;
using value::Value;

constexpr char kScript[] = R"(
class Return(Exception): pass
class Break(Exception): pass
class Continue(Exception): pass
class TailCall(Exception): pass
class IntegerOverflow(ArithmeticError): pass
kept = []
def give5(node, rt): return 5
def give_big(node, rt): return 2**70
def give_true(node, rt): return True
def ret7(node, rt): raise Return(7)
def ret_big(node, rt): raise Return(2**70)
def ret_none(node, rt): raise Return()
def ret_true(node, rt): raise Return(True)
def brk(node, rt): raise Break()
def cont(node, rt): raise Continue()
def bad(node, rt): raise ValueError("bad value")
def key(node, rt): return {}[node]
def keep(node, rt):
    kept.append(rt)
    return node
def add(a, b): return a + b
def refused(a): return a + 1
def fails(x): raise KeyError(x)
class Nameless:
    def __call__(self, x): raise ValueError("no")
nameless = Nameless()
def kinds(*args): return ",".join(type(a).__name__ for a in args)
)";

// Node semantics of the tests: (node, exec) -> the script's function of that name.
struct SemanticRow {
    uint32_t node;
    bool exec;
    const char* name;
};
constexpr SemanticRow kSemantics[] = {
    {1, false, "give5"},   {2, false, "give_big"}, {3, false, "ret7"},  {4, false, "ret_big"},
    {5, false, "ret_none"}, {6, false, "ret_true"}, {7, true, "brk"},   {8, true, "cont"},
    {9, false, "bad"},     {10, false, "key"},     {11, false, "keep"}, {12, false, "give_true"},
    {1, true, "give5"},    {3, true, "ret7"},
};
constexpr uint32_t kNodes = 32;

PyObject* globalsOf = nullptr;

PyObject* semanticOf(void*, uint32_t node, bool exec) {
    for (const SemanticRow& row : kSemantics)
        if (row.node == node && row.exec == exec) return PyDict_GetItemString(globalsOf, row.name);
    return nullptr;
}

PyObject* nodeObject(void*, int64_t index) { return PyLong_FromLongLong(index); }

class Bridge : public ::testing::Test {
public:
    Value keepValue(Value v) {
        held.push_back(v);
        return v;
    }

protected:
    void SetUp() override {
        testing_support::needPython();
        gil::ensure(gil::current());
        saved = runtime::hostApi;
        if (!globalsOf) globalsOf = testing_support::runHelpers(kScript);
        ASSERT_NE(globalsOf, nullptr);
        {
            static PyTypeObject* rtType =
                reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&bridge::compiledRuntimeSpec));
            runtime::hostApi.compiledRuntimeType = rtType;
            runtime::hostApi.returnClass = PyDict_GetItemString(globalsOf, "Return");
            runtime::hostApi.breakClass = PyDict_GetItemString(globalsOf, "Break");
            runtime::hostApi.continueClass = PyDict_GetItemString(globalsOf, "Continue");
            runtime::hostApi.tailCallClass = PyDict_GetItemString(globalsOf, "TailCall");
            runtime::hostApi.integerOverflow = PyDict_GetItemString(globalsOf, "IntegerOverflow");
        }
        start = pool::liveBlocks();
        reset(ctx, run, tables, tally);
    }
    void reset(Ctx& c, helpers::RunRecord& r, bridge::ModuleTables& t, bridge::Tally& y) {
        c = Ctx{};
        c.conversion = *convert::defaultContext();
        c.conversion.node = nodeObject;
        c.moduleObjects = &objectTable;
        c.moduleId = 7;
        c.depthLimit = 5;
        r = helpers::RunRecord{};
        r.tables = &t;
        r.nodeCount = kNodes;
        r.semantic = semanticOf;
        r.tally = &y;
        c.run = &r;
    }
    void TearDown() override {
        for (Value v : held) value::decref(v);
        helpers::endCtx(&ctx);
        bridge::freeTables(&tables);
        bridge::freeTally(&tally);
        bridge::compilerApi = {};
        runtime::hostApi = saved;
        gil::Record* r = gil::current();
        if (PyErr_Occurred()) {
            ADD_FAILURE() << "a Python error was left pending";
            PyErr_Clear();
        }
        testing_support::endRun(r);
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
    }
    std::string message() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }
    Value pyValue(const char* name) {
        return Value::of(value::TagPy, PyDict_GetItemString(globalsOf, name));
    }
    Value str(const char* text) { return keepValue(Value::of(value::TagStr, value::newStr(text, strlen(text)))); }

    runtime::HostApi saved;
    Ctx ctx{};
    helpers::RunRecord run{};
    bridge::ModuleTables tables{};
    bridge::Tally tally{};
    PyObject** objectTable = nullptr;
    int64_t start = 0;
    std::vector<Value> held;
};

Value node(uint32_t n) { return Value{value::TagNodeIndex, n}; }

// ---- Semantics run as Python ------------------------------------------------------------------

struct SemanticCase {
    uint32_t node;
    int32_t mode;
    RunStatus status;
    Value value;          // the out slot's value (status done or returned)
    const char* message;  // the failure (status failed)
};

class SemanticRuns : public Bridge, public ::testing::WithParamInterface<SemanticCase> {};

TEST_P(SemanticRuns, StatusValueAndFailure) {
    SemanticCase c = GetParam();
    value::Frame* frame = nullptr;
    Value out{99, 99};
    auto status = RunStatus(wn_py_semantic(&ctx, c.mode, int32_t(c.node), &frame, 0, &out));
    EXPECT_EQ(status, c.status);
    if (status == RunStatus::failed) {
        EXPECT_EQ(message(), c.message);
        EXPECT_EQ(ctx.site, int32_t(c.node));
        EXPECT_EQ(out.tag, value::TagNone) << "a failed run leaves no value";
    } else {
        EXPECT_FALSE(ctx.failing) << message();
        EXPECT_EQ(out.tag, c.value.tag);
        EXPECT_EQ(out.payload, c.value.payload);
    }
    value::decref(out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SemanticRuns,
    ::testing::Values(
        SemanticCase{1, 0, RunStatus::done, Value::integer(5), nullptr},
        // The checked-int rule of the reference mode: no big int leaves a semantic.
        SemanticCase{2, 0, RunStatus::failed, Value::none(), "integer overflow"},
        SemanticCase{12, 0, RunStatus::done, Value::boolean(true), nullptr},
        SemanticCase{3, 0, RunStatus::returned, Value::integer(7), nullptr},
        SemanticCase{4, 0, RunStatus::failed, Value::none(), "integer overflow"},
        SemanticCase{5, 0, RunStatus::returned, Value::none(), nullptr},
        SemanticCase{6, 0, RunStatus::returned, Value::boolean(true), nullptr},
        SemanticCase{7, 1, RunStatus::broke, Value::none(), nullptr},
        SemanticCase{8, 1, RunStatus::continued, Value::none(), nullptr},
        SemanticCase{1, 1, RunStatus::done, Value::none(), nullptr},
        SemanticCase{9, 0, RunStatus::failed, Value::none(), "bad value"},
        SemanticCase{10, 0, RunStatus::failed, Value::none(), "key not found: 10"},
        SemanticCase{20, 0, RunStatus::failed, Value::none(), "no semantics for this node"}));

TEST_F(Bridge, AnRtKeptPastItsSemanticIsDead) {
    value::Frame* frame = nullptr;
    Value out{};
    ASSERT_EQ(RunStatus(wn_py_semantic(&ctx, 0, 11, &frame, 3, &out)), RunStatus::done);
    PyObject* kept = PyDict_GetItemString(globalsOf, "kept");
    ASSERT_EQ(PyList_GET_SIZE(kept), 1);
    auto* rt = reinterpret_cast<bridge::RuntimeObject*>(PyList_GET_ITEM(kept, 0));
    EXPECT_EQ(rt->ctx, nullptr);
    EXPECT_EQ(rt->scope, 3);
    EXPECT_EQ(rt->node, 11);
    PyList_SetSlice(kept, 0, 1, nullptr);
    value::decref(out);
}

TEST_F(Bridge, WnRuntimeHoldsItsFrame) {
    value::Frame* frame = value::newFrame(nullptr, 2);
    ASSERT_NE(frame, nullptr);
    Value out{};
    ASSERT_TRUE(wn_runtime(&ctx, 4, frame, 9, &out));
    EXPECT_EQ(frame->h.count, 2u);
    auto* rt = out.as<bridge::RuntimeObject>();
    EXPECT_EQ(*rt->frameSlot, frame);
    EXPECT_EQ(rt->ctx, &ctx);
    value::decref(out);
    EXPECT_EQ(frame->h.count, 1u);
    value::releaseCaptured(reinterpret_cast<value::Obj*>(frame));
}

// An rt value (tag 12: the scope in the high half, the frame) crosses into Python as a
// CompiledRuntime of the current run over that frame; outside a run it can't.
TEST_F(Bridge, AnRtValueCrossesAsACompiledRuntimeOfTheCurrentRun) {
    value::Frame* frame = value::newFrame(nullptr, 2);
    ASSERT_NE(frame, nullptr);
    Value rt{uint64_t(value::TagRuntime) | (uint64_t(5) << 32), uint64_t(uintptr_t(frame))};
    helpers::Ctx* before = helpers::setCurrentCtx(nullptr);
    EXPECT_EQ(convert::toPython(rt, &ctx.conversion), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
    PyErr_Clear();
    helpers::setCurrentCtx(&ctx);
    PyObject* o = convert::toPython(rt, &ctx.conversion);
    ASSERT_NE(o, nullptr);
    auto* made = reinterpret_cast<bridge::RuntimeObject*>(o);
    EXPECT_EQ(made->ctx, &ctx);
    EXPECT_EQ(made->scope, 5);
    EXPECT_EQ(made->frame, frame);
    EXPECT_EQ(frame->h.count, 2u) << "the object holds the frame";
    Py_DECREF(o);
    EXPECT_EQ(frame->h.count, 1u);
    helpers::setCurrentCtx(before);
    value::releaseCaptured(reinterpret_cast<value::Obj*>(frame));
}

TEST_F(Bridge, ContextIsTheRunsObject) {
    Value out{};
    ASSERT_TRUE(wn_context(&ctx, &out));
    EXPECT_EQ(out.tag, value::TagNone);
    PyObject* given = PyUnicode_FromString("the context");
    run.context = given;
    ASSERT_TRUE(wn_context(&ctx, &out));
    EXPECT_EQ(out.tag, value::TagStr);
    EXPECT_EQ(out.as<value::Str>()->text(), "the context");
    value::decref(out);
    Py_DECREF(given);
}

// ---- Running values ---------------------------------------------------------------------------

TEST_F(Bridge, PlainValuesRunAsThemselves) {
    value::Frame* frame = nullptr;
    Value out{};
    EXPECT_EQ(wn_run_value(&ctx, 0, 0, value::TagInt, 5, &frame, 0, &out), 1);
    EXPECT_EQ(out.payload, 5u);
    Value s = str("text");
    EXPECT_EQ(wn_run_value(&ctx, 1, 0, int64_t(s.tag), int64_t(s.payload), &frame, 0, &out), 1);
    EXPECT_EQ(out.tag, value::TagNone);
    EXPECT_EQ(wn_run_value(&ctx, 2, 0, value::TagNone, 0, &frame, 0, &out), 1);
    EXPECT_EQ(out.tag, value::TagBool);
    EXPECT_EQ(out.payload, 1u);
}

// Runs a list of the nodes in the mode.
int32_t runList(Ctx* ctx, std::vector<uint32_t> nodes, int32_t mode, Value* out) {
    value::List* l = value::newList(nodes.size());
    for (uint32_t n : nodes) EXPECT_TRUE(value::listAppend(l, node(n)));
    Value list = Value::of(value::TagList, l);
    value::Frame* frame = nullptr;
    int32_t status = wn_run_value(ctx, mode, 0, int64_t(list.tag), int64_t(list.payload), &frame,
                                  0, out);
    value::decref(list);
    return status;
}

TEST_F(Bridge, EvalOfAListGivesANewListOfTheValues) {
    Value out{};
    ASSERT_EQ(runList(&ctx, {1, 12}, 0, &out), 1);
    ASSERT_EQ(out.tag, value::TagList);
    auto* l = out.as<value::List>();
    ASSERT_EQ(l->count, 2u);
    EXPECT_EQ(l->items[0].payload, 5u);
    EXPECT_EQ(l->items[1].tag, value::TagBool);
    value::decref(out);
    ASSERT_EQ(runList(&ctx, {}, 0, &out), 1);
    EXPECT_EQ(out.as<value::List>()->count, 0u);
    value::decref(out);
}

TEST_F(Bridge, AReturnInAListPassesOnAndDropsThePartialList) {
    Value out{};
    ASSERT_EQ(runList(&ctx, {1, 3}, 0, &out), 2);
    EXPECT_EQ(out.tag, value::TagInt);
    EXPECT_EQ(out.payload, 7u);
}

TEST_F(Bridge, AFailingItemLeavesNoPartialResult) {
    Value out{};
    ASSERT_EQ(runList(&ctx, {1, 9}, 0, &out), 0);
    EXPECT_EQ(out.tag, value::TagNone);
    EXPECT_EQ(message(), "bad value");
}

struct LoopCase {
    std::vector<uint32_t> nodes;
    int32_t status;
    Value value;
};

class Loops : public Bridge, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(Loops, BreakContinueAndReturn) {
    const LoopCase& c = GetParam();
    Value out{};
    value::Frame* frame = nullptr;
    int32_t status;
    if (c.nodes.size() == 1)
        status = wn_run_value(&ctx, 2, 0, value::TagNodeIndex, c.nodes[0], &frame, 0, &out);
    else
        status = runList(&ctx, c.nodes, 2, &out);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out.tag, c.value.tag);
    EXPECT_EQ(out.payload, c.value.payload);
}

INSTANTIATE_TEST_SUITE_P(Table, Loops,
                         ::testing::Values(LoopCase{{7}, 1, Value::boolean(false)},
                                           LoopCase{{8}, 1, Value::boolean(true)},
                                           LoopCase{{1}, 1, Value::boolean(true)},
                                           LoopCase{{3}, 2, Value::integer(7)},
                                           // A break inside a list passes on as a break.
                                           LoopCase{{1, 7}, 3, Value::none()},
                                           LoopCase{{1, 1}, 1, Value::boolean(true)}));

// ---- Thunks -----------------------------------------------------------------------------------

int thunkCompiles = 0;
int32_t thunkOfScope(Ctx*, value::Frame*, Value* out) {
    *out = Value::integer(40);
    return 1;
}

TEST_F(Bridge, ANodeIsCompiledOncePerScope) {
    thunkCompiles = 0;
    bridge::compilerApi.thunk = [](void*, uint32_t, bool, int32_t) -> bridge::ThunkCode {
        thunkCompiles++;
        return thunkOfScope;
    };
    value::Frame* frame = nullptr;
    Value out{};
    for (int32_t scope : {3, 4, 4, 3})
        ASSERT_EQ(wn_run_value(&ctx, 0, 0, value::TagNodeIndex, 20, &frame, scope, &out), 1);
    EXPECT_EQ(out.payload, 40u);
    EXPECT_EQ(thunkCompiles, 2) << "scopes 3 and 4 each compile once, then the map answers";
}

TEST_F(Bridge, ANodeWithoutCodeOrSemanticFails) {
    value::Frame* frame = nullptr;
    Value out{};
    EXPECT_EQ(wn_run_value(&ctx, 0, 0, value::TagNodeIndex, 21, &frame, 0, &out), 0);
    EXPECT_EQ(message(), "RuntimeError: wuna: compiled code of a node is not available in this build");
}

// ---- Calls of program functions ---------------------------------------------------------------


Value recursive{};
std::vector<Value> seen;

bool countArguments(Ctx*, value::Frame*, const Value* args, uint64_t n, const Value*, Value* out) {
    seen.assign(args, args + n);
    *out = Value::pint(int64_t(n));
    return true;
}

bool recurse(Ctx* ctx, value::Frame*, const Value*, uint64_t, const Value*, Value* out) {
    return helpers::callOnce(ctx, 3, recursive, nullptr, 0, nullptr, out);
}

Value function(Bridge* t, const char* name, void* code, uint32_t flags, uint64_t module = 7) {
    value::Str* s = value::newStr(name, strlen(name));
    Value f = Value::of(value::TagFunction, value::newFunction(code, nullptr, 0, s, module, flags));
    value::decref(Value::of(value::TagStr, s));
    return t->keepValue(f);
}

struct ArityCase {
    uint32_t flags;
    uint64_t n;
    const char* message;  // null: the call succeeds with max(n, params) arguments
};

class Arity : public Bridge, public ::testing::WithParamInterface<ArityCase> {};

TEST_P(Arity, ProgramFunctionsCheckTheirArguments) {
    const ArityCase& c = GetParam();
    Value f = function(this, "f", reinterpret_cast<void*>(countArguments), c.flags);
    std::vector<Value> args(c.n, Value::integer(1));
    Value out{};
    bool ok = wn_call(&ctx, 2, int64_t(f.tag), int64_t(f.payload), args.data(), int64_t(c.n),
                      nullptr, &out);
    EXPECT_EQ(ctx.depth, 0u);
    if (!c.message) {
        ASSERT_TRUE(ok) << message();
        uint64_t p = c.flags & 0xffff;
        EXPECT_EQ(out.tag, value::TagInt) << "a plain int comes back as the language's int";
        EXPECT_EQ(out.payload, c.n > p ? c.n : p);
        for (uint64_t i = c.n; i < seen.size(); i++) EXPECT_EQ(seen[i].tag, value::TagNone);
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(message(), c.message);
    EXPECT_FALSE(ctx.kindSet);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Arity,
    ::testing::Values(ArityCase{2, 1, "f() takes 2 arguments, 1 given"},
                      ArityCase{2, 3, "f() takes 2 arguments, 3 given"},
                      ArityCase{1, 0, "f() takes 1 argument, 0 given"},
                      ArityCase{2 | 1u << 16, 1, nullptr},
                      ArityCase{2 | 1u << 17, 3, nullptr},
                      // 20 parameters: the filled array does not fit on the stack.
                      ArityCase{20 | 1u << 16, 3, nullptr}, ArityCase{2, 2, nullptr}));

TEST_F(Bridge, TheCallStackStopsAtItsCapacity) {
    recursive = function(this, "deep", reinterpret_cast<void*>(recurse), 0);
    Value out{};
    EXPECT_FALSE(wn_call(&ctx, 1, int64_t(recursive.tag), int64_t(recursive.payload), nullptr, 0,
                         nullptr, &out));
    EXPECT_EQ(message(), "call stack too deep (more than 5 calls)");
    EXPECT_EQ(ctx.depth, 0u) << "every failed call popped its entry";
    ASSERT_EQ(ctx.traceback.count, 5u);
    EXPECT_EQ(ctx.traceback.items[0].site, 3);
    EXPECT_EQ(ctx.traceback.items[4].site, 1);
}

TEST_F(Bridge, TheCallStackStopsAtTheNativeFloor) {
    recursive = function(this, "deep", reinterpret_cast<void*>(recurse), 0);
    ctx.depthLimit = 1000;
    // The floor just below this frame: the first nested call already lies beneath it.
    ctx.stackFloor = uintptr_t(__builtin_frame_address(0)) - 64;
    Value out{};
    EXPECT_FALSE(wn_call(&ctx, 1, int64_t(recursive.tag), int64_t(recursive.payload), nullptr, 0,
                         nullptr, &out));
    EXPECT_EQ(message(), "call stack too deep (more than 1000 calls)");
    EXPECT_EQ(ctx.depth, 0u);
}

TEST_F(Bridge, AFunctionOfAnotherProgramIsRefused) {
    Value f = function(this, "f", reinterpret_cast<void*>(countArguments), 0, 8);
    Value out{};
    EXPECT_FALSE(helpers::callOnce(&ctx, 1, f, nullptr, 0, nullptr, &out));
    EXPECT_EQ(message(), "a function of another program can't be called here");
}

TEST_F(Bridge, AnIntIsNotCallable) {
    Value out{};
    EXPECT_FALSE(helpers::callOnce(&ctx, 1, Value::integer(3), nullptr, 0, nullptr, &out));
    EXPECT_EQ(message(), "'int' value is not callable");
}

// ---- Functions a semantic made ----------------------------------------------------------------

int32_t closureCode(Ctx*, void*, Value* args, int32_t, uint32_t, void*, void*, Value* out) {
    EXPECT_EQ(args[3].tag, value::TagCaptured);
    *out = Value::integer(1);
    return 1;
}

struct ClosureCase {
    uint64_t n;
    uint32_t params;
    const char* message;
};

class ClosureArity : public Bridge, public ::testing::WithParamInterface<ClosureCase> {
protected:
    // A call of a function g of the case's parameter count, named qualname, with the case's
    // arguments: plain (a semantic's own call) or through rt.call.
    bool callG(value::Text qualname, bool plain) {
        static const value::Text names[] = {{"a", 1}, {"b", 1}, {"c", 1}, {"d", 1}};
        const ClosureCase& c = GetParam();
        descriptor = value::ClosureDescriptor{qualname, names, c.params};
        Value f = keepValue(Value::of(
            value::TagClosure,
            value::newClosure(nullptr, &descriptor, 7, reinterpret_cast<void*>(closureCode))));
        std::vector<Value> args(c.n, Value::integer(0));
        Value out{};
        ctx.plainCall = plain ? 1 : 0;
        return helpers::callOnce(&ctx, 1, f, args.data(), c.n, nullptr, &out);
    }
    value::ClosureDescriptor descriptor{};
};

TEST_P(ClosureArity, PythonsTexts) {
    const ClosureCase& c = GetParam();
    // A semantic's own call (a plain one) sees Python's texts as they are.
    bool ok = callG({"g", 1}, true);
    if (!c.message) {
        EXPECT_TRUE(ok) << message();
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(message(), c.message);
    EXPECT_TRUE(ctx.kindSet);
    EXPECT_EQ(errors::Kind(ctx.kind), errors::Kind::TypeError);
}

// Through rt.call the failure reads as the reference mode's host call of the Python function
// reads: its own name (the last part of the qualified one), the class, the text; a plain
// runtime error for the program.
TEST_P(ClosureArity, ThroughRtCallAsAHostFunctionsFailure) {
    const ClosureCase& c = GetParam();
    bool ok = callG({"f.<locals>.g", 12}, false);
    if (!c.message) {
        EXPECT_TRUE(ok) << message();
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(message(), std::string("g: TypeError: f.<locals>.") + c.message);
    EXPECT_TRUE(ctx.kindSet);
    EXPECT_EQ(errors::Kind(ctx.kind), errors::Kind::Error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClosureArity,
    ::testing::Values(
        ClosureCase{1, 3, "g() missing 2 required positional arguments: 'b' and 'c'"},
        ClosureCase{1, 4, "g() missing 3 required positional arguments: 'b', 'c', and 'd'"},
        ClosureCase{0, 1, "g() missing 1 required positional argument: 'a'"},
        ClosureCase{4, 3, "g() takes 3 positional arguments but 4 were given"},
        ClosureCase{1, 0, "g() takes 0 positional arguments but 1 was given"},
        ClosureCase{3, 3, nullptr}));

// Code of a function a semantic made that fails with the kind its first argument names.
int32_t failingCode(Ctx* ctx, void*, Value* args, int32_t site, uint32_t, void*, void*, Value*) {
    helpers::failKind(ctx, site, errors::Kind(args[0].payload), "boom", 4);
    return 0;
}

// Through rt.call a failure of the code is a host function's: named, and a plain runtime
// error; a thrown value passes unchanged, as it leaves a host in the reference mode.
TEST_F(Bridge, AFailureOfAFunctionASemanticMadeThroughRtCall) {
    static const value::Text names[] = {{"a", 1}};
    value::ClosureDescriptor d{{"f.<locals>.h", 12}, names, 1};
    Value f = keepValue(Value::of(
        value::TagClosure,
        value::newClosure(nullptr, &d, 7, reinterpret_cast<void*>(failingCode))));
    struct Case {
        errors::Kind raised;
        const char* message;
        errors::Kind seen;
    } cases[] = {{errors::Kind::ValueError, "h: ValueError: boom", errors::Kind::Error},
                 {errors::Kind::Throw, "boom", errors::Kind::Throw}};
    for (const Case& c : cases) {
        Value arg = Value::integer(int64_t(c.raised));
        Value out{};
        EXPECT_FALSE(helpers::callOnce(&ctx, 1, f, &arg, 1, nullptr, &out));
        EXPECT_EQ(message(), c.message);
        EXPECT_EQ(errors::Kind(ctx.kind), c.seen) << c.message;
        helpers::clearError(&ctx);
    }
}

// ---- Python callables -------------------------------------------------------------------------

TEST_F(Bridge, AHostFunctionGetsAndGivesTheLanguagesInts) {
    Value args[] = {Value::pint(2), Value::integer(3)};
    Value out{};
    Value f = pyValue("add");
    ASSERT_TRUE(wn_call(&ctx, 1, int64_t(f.tag), int64_t(f.payload), args, 2, nullptr, &out));
    EXPECT_EQ(out.tag, value::TagInt);
    EXPECT_EQ(out.payload, 5u);
}

struct HostFailure {
    const char* callee;
    const char* message;
};

class HostFailures : public Bridge, public ::testing::WithParamInterface<HostFailure> {};

TEST_P(HostFailures, NameClassAndText) {
    Value args[] = {Value::integer(3)};
    Value f = pyValue(GetParam().callee);
    Value out{Value::integer(77)};
    EXPECT_FALSE(wn_call(&ctx, 1, int64_t(f.tag), int64_t(f.payload), args, 1, nullptr, &out));
    EXPECT_EQ(message(), GetParam().message);
    EXPECT_EQ(out.payload, 77u) << "a failed call leaves the result slot alone";
    EXPECT_FALSE(PyErr_Occurred());
}

INSTANTIATE_TEST_SUITE_P(Table, HostFailures,
                         ::testing::Values(HostFailure{"fails", "fails: KeyError: 3"},
                                           HostFailure{"nameless", "host function: ValueError: no"},
                                           HostFailure{"add", "add: TypeError: add() missing 1 "
                                                              "required positional argument: 'b'"}));

// A compiler that compiles nothing, with its reason.
void* refuseToCompile(void*, PyObject*, uint64_t, uint64_t, bool, char* reason, size_t* length) {
    static constexpr char kWhy[] = "no compiled form";
    std::memcpy(reason, kWhy, sizeof kWhy - 1);
    *length = sizeof kWhy - 1;
    return nullptr;
}

TEST_F(Bridge, AFunctionThatCannotBeCompiledIsCalledThroughPythonAndRegisteredWithItsReason) {
    bridge::compilerApi.python = refuseToCompile;
    Value f = pyValue("refused");
    PyObject* function = reinterpret_cast<PyObject*>(uintptr_t(f.payload));
    Value args[] = {Value::integer(4)};
    Value out{};
    ASSERT_TRUE(wn_call(&ctx, 1, int64_t(f.tag), int64_t(f.payload), args, 1, nullptr, &out));
    EXPECT_EQ(out.payload, 5u);
    PyObject* registry = bridge::uncompiledFunctions();
    ASSERT_NE(registry, nullptr);
    PyObject* why = PyDict_GetItem(registry, function);
    ASSERT_NE(why, nullptr);
    EXPECT_STREQ(PyUnicode_AsUTF8(why), "no compiled form");
    EXPECT_EQ(bridge::whyPython(function), why);
}

// ---- Call sites' entry cells ------------------------------------------------------------------

// A compiled entry standing for add's: its first argument picks the outcome - 0 fails (a
// recorded failure), 3 lets a jump escape, anything else gives it plus one as a plain int. It
// keeps the tag it was given.
uint64_t entryArgumentTag = 0;
int entryCalls = 0;

int32_t fakeEntry(Ctx* ctx, void*, Value* args, int32_t site, uint32_t, void*, void*, Value* out) {
    entryCalls++;
    entryArgumentTag = args[0].tag;
    if (args[0].payload == 0) {
        helpers::fail(ctx, site, "boom", 4);
        return int32_t(RunStatus::failed);
    }
    if (args[0].payload == 3) return int32_t(RunStatus::broke);
    *out = Value::pint(int64_t(args[0].payload) + 1);
    return int32_t(RunStatus::done);
}

int compiles = 0;
void* compileToFake(void*, PyObject*, uint64_t, uint64_t mask, bool closure, char*, size_t*) {
    compiles++;
    EXPECT_EQ(mask, 0u);
    EXPECT_FALSE(closure);
    return reinterpret_cast<void*>(fakeEntry);
}

struct SiteCase {
    int64_t argument;
    bool ok;
    const char* message;  // the failure when not ok
};

class SiteCells : public Bridge, public ::testing::WithParamInterface<SiteCase> {};

TEST_P(SiteCells, TheEntryFillsTheCellAndIsCalledWithLanguageInts) {
    bridge::compilerApi.python = compileToFake;
    compiles = entryCalls = 0;
    PyObject* table[] = {PyDict_GetItemString(globalsOf, "add")};
    objectTable = table;
    uint64_t cell = 0;
    Value args[] = {Value::pint(GetParam().argument), Value::integer(1)};
    Value out{Value::integer(77)};
    EXPECT_EQ(wn_call_site(&ctx, 2, &cell, 0, args, 2, &out), GetParam().ok);
    EXPECT_EQ(cell, uint64_t(uintptr_t(reinterpret_cast<void*>(fakeEntry))));
    EXPECT_EQ(compiles, 1);
    EXPECT_EQ(entryCalls, 1) << "called natively";
    EXPECT_EQ(entryArgumentTag, value::TagInt) << "a plain int crosses as the language's";
    if (GetParam().ok) {
        EXPECT_EQ(out.tag, value::TagInt);
        EXPECT_EQ(out.payload, uint64_t(GetParam().argument + 1));
    } else {
        EXPECT_EQ(message(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SiteCells,
    ::testing::Values(SiteCase{5, true, nullptr}, SiteCase{0, false, "add: Error: boom"},
                      SiteCase{3, false, "rt.Return, rt.Break or rt.Continue raised out of a "
                                         "function called with rt.call"}));

TEST_F(Bridge, ASiteCallsACachedEntryWithoutCompilingAgain) {
    bridge::compilerApi.python = compileToFake;
    compiles = entryCalls = 0;
    PyObject* table[] = {PyDict_GetItemString(globalsOf, "add")};
    objectTable = table;
    uint64_t first = 0, second = 0;
    Value args[] = {Value::integer(1), Value::integer(1)};
    Value out{};
    ASSERT_TRUE(wn_call_site(&ctx, 2, &first, 0, args, 2, &out)) << message();
    ASSERT_TRUE(wn_call_site(&ctx, 3, &second, 0, args, 2, &out)) << message();
    EXPECT_EQ(compiles, 1);
    EXPECT_EQ(entryCalls, 2);
    EXPECT_EQ(second, first);
}

TEST_F(Bridge, ASiteOfAFunctionThatCannotBeCompiledKeepsItsCellEmpty) {
    bridge::compilerApi.python = refuseToCompile;
    PyObject* table[] = {PyDict_GetItemString(globalsOf, "add")};
    objectTable = table;
    uint64_t cell = 0;
    Value args[] = {Value::integer(2), Value::integer(3)};
    Value out{};
    ASSERT_TRUE(wn_call_site(&ctx, 2, &cell, 0, args, 2, &out)) << message();
    EXPECT_EQ(out.payload, 5u);
    EXPECT_EQ(cell, 0u);
}

TEST_F(Bridge, WhyPythonAnswersOnlyForRegisteredObjectsAndNeverReadsTheAddress) {
    bridge::noteNotCompiled(PyDict_GetItemString(globalsOf, "fails"), "first", 5);
    bridge::noteNotCompiled(PyDict_GetItemString(globalsOf, "fails"), "second", 6);
    EXPECT_STREQ(PyUnicode_AsUTF8(bridge::whyPython(PyDict_GetItemString(globalsOf, "fails"))),
                 "second");
    EXPECT_EQ(bridge::whyPython(PyDict_GetItemString(globalsOf, "kinds")), nullptr);
    EXPECT_EQ(bridge::whyPython(nullptr), nullptr);
    // An address that is no object (a crossing's callee may be gone): compared, not read.
    alignas(16) static const char notAnObject[16] = {};
    EXPECT_EQ(bridge::whyPython(reinterpret_cast<const PyObject*>(notAnObject)), nullptr);
}

TEST_F(Bridge, CallPythonPassesValuesAsTheyAre) {
    PyObject* table[] = {PyDict_GetItemString(globalsOf, "kinds")};
    objectTable = table;
    Value args[] = {Value::pint(2), str("s")};
    Value out{};
    ASSERT_TRUE(wn_call_python(&ctx, 1, 0, args, 2, &out));
    EXPECT_EQ(keepValue(out).as<value::Str>()->text(), "int,str");
}

// ---- Tail calls -------------------------------------------------------------------------------

uint64_t tailsLeft = 0;

bool tailAgain(Ctx* ctx, value::Frame*, const Value*, uint64_t, const Value*, Value* out) {
    if (tailsLeft == 0) {
        *out = Value::integer(42);
        return true;
    }
    tailsLeft--;
    // Parks the call as rt.tail_call does: the slot holds a count of each value.
    value::incref(recursive);
    ctx->tailCallee = recursive;
    ctx->tailArgs = Value::of(value::TagTuple, value::newTuple(0));
    *out = Value{value::TagTail, 0};
    return true;
}

TEST_F(Bridge, AChainOfTailCallsTakesNoStack) {
    recursive = function(this, "loop", reinterpret_cast<void*>(tailAgain), 0);
    tailsLeft = 200000;
    ctx.tailCallee = recursive;
    value::incref(recursive);
    ctx.tailArgs = Value::of(value::TagTuple, value::newTuple(0));
    Value pending{value::TagTail, 0};
    ASSERT_TRUE(wn_tail_resolve(&ctx, 1, &pending)) << message();
    EXPECT_EQ(pending.payload, 42u);
    EXPECT_EQ(ctx.depth, 0u);
}

TEST_F(Bridge, TailCallArgumentsMustBeAListOrTuple) {
    recursive = function(this, "loop", reinterpret_cast<void*>(tailAgain), 0);
    ctx.tailCallee = recursive;
    value::incref(recursive);
    ctx.tailArgs = Value::of(value::TagDict, value::newDict());
    Value pending{value::TagTail, 0};
    EXPECT_FALSE(wn_tail_resolve(&ctx, 1, &pending));
    EXPECT_EQ(message(), "rt.tail_call's arguments must be a list or a tuple");
    EXPECT_EQ(ctx.tailCallee.tag, value::TagNone) << "the slot is empty";
}

// ---- The crossings tally ----------------------------------------------------------------------

TEST_F(Bridge, EachRunCountsItsOwnCrossings) {
    Ctx other{};
    helpers::RunRecord otherRun{};
    bridge::ModuleTables otherTables{};
    bridge::Tally otherTally{};
    reset(other, otherRun, otherTables, otherTally);
    run.report = 1;
    otherRun.report = 1;
    Value args[] = {Value::integer(1), Value::integer(2)};
    Value f = pyValue("add");
    Value out{};
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(helpers::callOnce(&ctx, 1, f, args, 2, nullptr, &out));
    value::Frame* frame = nullptr;
    ASSERT_EQ(wn_py_semantic(&other, 0, 1, &frame, 0, &out), 1);
    EXPECT_EQ(bridge::tallyCount(&tally, "call host function", 18), 3u);
    // Without compiled code of it, each call also goes through Python as a function.
    EXPECT_EQ(bridge::tallyCount(&tally, "python function add", 19), 3u);
    EXPECT_EQ(bridge::tallyCount(&tally, "py_semantic", 11), 0u);
    EXPECT_EQ(bridge::tallyCount(&otherTally, "py_semantic", 11), 1u);
    EXPECT_EQ(bridge::tallyCount(&otherTally, "call host function", 18), 0u);
    PyObject* taken = bridge::takeTally(&tally);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(PyDict_Size(taken), 2);
    EXPECT_EQ(tally.used, 0u) << "taking the counts empties the tally";
    Py_DECREF(taken);
    helpers::endCtx(&other);
    bridge::freeTables(&otherTables);
    bridge::freeTally(&otherTally);
}

// A strict run's first crossing: values handed to Python are named by their types, with the
// flag that makes StrictError show that text as it is; a call of a Python function is named
// by the function, flag clear. Only the first crossing of the run is noted.
TEST_F(Bridge, TheFirstCrossingOfAReportingRunIsNotedWithItsKind) {
    gil::Record* r = gil::current();
    r->report = 1;
    r->recorded = 0;
    Value values[] = {Value::integer(1), str("a")};
    PyObject* objects[2] = {};
    ASSERT_TRUE(helpers::objects(&ctx, 9, values, 2, objects));
    Py_XDECREF(objects[0]);
    Py_XDECREF(objects[1]);
    Value args[] = {Value::integer(1), Value::integer(2)};
    Value out{};
    ASSERT_TRUE(helpers::callOnce(&ctx, 1, pyValue("add"), args, 2, nullptr, &out));
    value::decref(out);
    const gil::Crossing* c = gil::crossing();
    EXPECT_EQ(r->recorded, 1);
    EXPECT_EQ(std::string(c->name, c->nameLength), "int, str handed to Python");
    EXPECT_EQ(c->flag, 1) << "the name is the values' text";
    EXPECT_EQ(c->value, 9u);
    r->recorded = 0;
    ASSERT_TRUE(helpers::callOnce(&ctx, 1, pyValue("add"), args, 2, nullptr, &out));
    value::decref(out);
    EXPECT_EQ(r->recorded, 1);
    EXPECT_EQ(std::string(c->name, c->nameLength), "add");
    EXPECT_EQ(c->flag, 0) << "the name is the callee's";
    r->report = 0;
    r->recorded = 0;
}

TEST_F(Bridge, WithoutReportNothingIsCounted) {
    Value args[] = {Value::integer(1), Value::integer(2)};
    Value out{};
    ASSERT_TRUE(helpers::callOnce(&ctx, 1, pyValue("add"), args, 2, nullptr, &out));
    EXPECT_EQ(tally.used, 0u);
}

}  // namespace

}  // namespace wuna
