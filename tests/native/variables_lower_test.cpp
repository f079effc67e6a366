// VariablesLower of the interpreted language compiled: rt.load and rt.store of a global slot, of a
// function's own stack slot and of an outer scope through parent pointers; block scopes entered
// and left with their frames (a frame that can't be made fails the run, never read through a
// null pointer); a function without the frame its code needs recorded as a need for the next
// attempt; a symbol the layouts left out refused, never read as slot 0; kind checks against
// Language.types; the failures of names that are no variables, builtins and non-function kinds
// worded as the reference mode words them. The code is run through the code engine on a
// hand-made tree and frames made by the runtime.
#include <gtest/gtest.h>

#include <string>

#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/function_kind.h"
#include "host/tree/index.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/functions.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using compile::KnownKind;
using compile::Operand;
using compile::Shape;
using compile::ShapeKind;
const llvmapi::Table& T = llvmapi::table;

// The parse-tree index's hash of its open-addressed sets (its on-memory format).
uint32_t hashIndex(uint32_t key) { return (key * 0x9e3779b1u) ^ (key >> 15); }

constexpr uint32_t N = ptree::kNone;

// "f a b a g x x print 1+2":
// 0 root { 1 fun f(a) { 2 name f, 3 param a, 4 block* { 5 name b, 6 use a,
//   7 fun g() { 8 name g, 9 use x } } } 10 name x, 11 use print, 12 "1+2" }
// Symbols: 0 x (global), 1 f (global, hoisted), 2 a (of f), 3 b (of the block), 4 print
// (builtin), 5 g (of the block, hoisted). The block (4) is captured: it has a frame.
struct Tree {
    static constexpr const char* kText = "f a b a g x x print 1+2";
    ptree::NodeRecord nodes[13] = {
        {0, 23, 12, pargo::layout::makeWord(0, 0)}, {0, 13, 8, pargo::layout::makeWord(1, 0)},
        {0, 1, 0, pargo::layout::makeWord(2, 1)},   {2, 3, 0, pargo::layout::makeWord(2, 2)},
        {4, 13, 5, pargo::layout::makeWord(3, 0)},  {4, 5, 0, pargo::layout::makeWord(2, 0)},
        {6, 7, 0, pargo::layout::makeWord(2, 0)},   {8, 13, 2, pargo::layout::makeWord(1, 0)},
        {8, 9, 0, pargo::layout::makeWord(2, 1)},   {12, 13, 0, pargo::layout::makeWord(2, 0)},
        {10, 11, 0, pargo::layout::makeWord(2, 0)}, {14, 19, 0, pargo::layout::makeWord(2, 0)},
        {20, 23, 0, pargo::layout::makeWord(4, 0)},
    };
    uint32_t parents[13] = {N, 0, 1, 1, 1, 4, 4, 4, 7, 7, 0, 0, 0};
    uint32_t nodeSymbols[13] = {N, N, 1, 2, N, 3, 2, N, 5, 0, 0, 4, N};
    ptree::Symbol symbols[6] = {
        {"x", 1, 10, N, 0}, {"f", 1, 2, N, 0},     {"a", 1, 3, 1, 0},
        {"b", 1, 5, 4, 0},  {"print", 5, N, N, 1}, {"g", 1, 8, 4, 0},
    };
    int32_t scopes[6] = {-2, -2, -2, -2, -2, -2};
    host::FunctionKind kinds[5] = {};
    uint32_t captured[8];
    ptree::HoistSlot hoistSlots[8] = {};
    uint32_t hoistNodes[2] = {1, 7};
    ptree::Index index{};

    Tree() {
        kinds[1] = host::FunctionKind{host::kNoBodyRule, 2, 0, 1, true, host::MissingArgs::error,
                                      host::ExtraArgs::error, true};
        for (uint32_t& c : captured) c = N;
        captured[hashIndex(4) & 7] = 4;
        hoistSlots[hashIndex(N) & 7] = ptree::HoistSlot{N, 0, 1};
        hoistSlots[hashIndex(4) & 7] = ptree::HoistSlot{4, 1, 1};
        index.nodes = nodes;
        index.count = 13;
        index.text = kText;
        index.textLength = 23;
        index.parents = parents;
        index.symbols = symbols;
        index.symbolCount = 6;
        index.nodeSymbols = nodeSymbols;
        index.scopes = scopes;
        index.functionKinds = kinds;
        index.functionKindCount = 5;
        index.captured = captured;
        index.capturedMask = 7;
        index.hoistSlots = hoistSlots;
        index.hoistMask = 7;
        index.hoistNodes = hoistNodes;
    }
};

// What a compiled test function is called with: the run context, a frame, an out slot.
using Entry = bool (*)(void* ctx, void* frame, value::Value* out);

class VariablesLower : public backend_testing::BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        gilState = PyGILState_Ensure();
        state = newState();
        c = &state->compiler;
        c->tree = &tree.index;
        // The driver's layout: every non-builtin symbol the next slot of its scope.
        for (uint32_t i = 0; i < tree.index.symbolCount; i++) {
            if (tree.symbols[i].builtin) continue;
            uint32_t scope = uint32_t(ptree::symbolScope(&tree.index, i));
            compile::Layout* layout;
            ASSERT_EQ(compile::layoutOf(c, scope, &layout), Status::ok);
            ASSERT_TRUE(c->slots.put(i, uint32_t(layout->slots.count)));
            ASSERT_TRUE(layout->slots.push(i));
        }
        hosts = PyDict_New();
        analysis = makeAnalysis("'Num'");
        inputs.hosts = hosts;
        inputs.analysis = analysis;
        inputs.functionKinds = tree.kinds;
        inputs.functionKindCount = 5;
        c->inputs = &inputs;
        ctx = helpers::Ctx{};
        ctx.conversion = *convert::defaultContext();
    }
    void TearDown() override {
        helpers::endCtx(&ctx);
        driver::Compiled::free(state);
        Py_XDECREF(hosts);
        Py_XDECREF(analysis);
        PyGILState_Release(gilState);
        BackendTest::TearDown();
    }

    // An object whose type_of(n) gives the value of the expression.
    static PyObject* makeAnalysis(const char* typeText) {
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        std::string code = "class A:\n    def type_of(self, n):\n        return " +
                           std::string(typeText) + "\nanalysis = A()\n";
        PyObject* r = PyRun_String(code.c_str(), Py_file_input, globals, globals);
        Py_XDECREF(r);
        PyObject* a = PyDict_GetItemString(globals, "analysis");
        Py_XINCREF(a);
        Py_DECREF(globals);
        return a;
    }

    // A function (ctx, frame, out) -> i1 of the scope with an error exit returning false.
    struct Fn {
        Function f;
        Fn(compile::Compiler* c, const char* name, uint32_t scope)
            : f(c, name, scope, {c->module.ptr, c->module.ptr, c->module.ptr}) {
            llvmapi::BasicBlockRef error;
            EXPECT_EQ(compile::newBlock(&f.e.builder, "error", &error), Status::ok);
            llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(c->module.context);
            T.LLVMPositionBuilderAtEnd(b, error);
            T.LLVMBuildRet(b, T.LLVMConstInt(c->module.i1, 0, 0));
            T.LLVMDisposeBuilder(b);
            f.e.errorTarget = error;
        }
        compile::Emitter* operator->() { return &f.e; }
        // The function's own frame is its second parameter.
        void useOwnFrame() {
            f.e.hasOwnFrame = 1;
            f.e.ownFrame = f.param(1);
        }
        // With its own frame, the function enters block 4, which gets a frame.
        void enterBlock() {
            useOwnFrame();
            bool entered;
            ASSERT_EQ(compile::enterBlockScope(&f.e, 4, &entered), Status::ok);
            ASSERT_TRUE(entered);
        }
        // Writes the value to the out parameter.
        void result(const Shape& shape) {
            Operand o;
            ASSERT_EQ(compile::materialize(&f.e, shape, -1, &o), Status::ok);
            compile::storeWord(&f.e, o.tag, f.param(2));
            compile::storeWord(&f.e, o.payload, compile::slotPayload(&f.e, f.param(2)));
        }
    };

    // The hoisted g's code as a stand-in that never runs (nothing compiles it).
    void stubHoistedG() {
        c->worklist.count = 0;
        compile::FunctionRef g;
        ASSERT_EQ(compile::llvmFunction(c, 7, &g), Status::ok);
        llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(c->module.context);
        T.LLVMPositionBuilderAtEnd(
            b, T.LLVMAppendBasicBlockInContext(c->module.context, g.function, "entry"));
        T.LLVMBuildUnreachable(b);
        T.LLVMDisposeBuilder(b);
    }

    // Emits with block 4's layout asking for more slots than any frame has: the frames the
    // emitted code makes for the block come out null, as when memory runs out.
    template <typename Emit>
    void withoutBlockFrames(Emit emit) {
        compile::Layout* layout;
        ASSERT_EQ(compile::layoutOf(c, 4, &layout), Status::ok);
        size_t saved = layout->slots.count;
        layout->slots.count = SIZE_MAX;
        emit();
        layout->slots.count = saved;
    }

    // Runs the function on an own frame of 3 slots: it fails for a block frame it can't make.
    void expectNoFrameFailure(const char* name) {
        Entry run = load(name);
        ASSERT_NE(run, nullptr);
        auto* own = static_cast<value::Frame*>(wn_frame_new(nullptr, 3));
        value::Value out{};
        EXPECT_FALSE(run(&ctx, own, &out));
        EXPECT_EQ(failure(), "out of memory for a block scope's frame");
        wn_frame_release(own);
    }

    Entry load(const char* name) {
        std::string symbol = name;
        return reinterpret_cast<Entry>(loadAndFind(state, symbol));
    }

    std::string failure() {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }

    // Runs the function over a fresh global frame: the text it fails with, or "(no failure)".
    std::string failureOf(const char* name) {
        Entry run = load(name);
        if (!run) return "(not loaded)";
        auto* frame = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
        value::Value out{};
        bool ran = run(&ctx, frame, &out);
        wn_frame_release(frame);
        return ran ? "(no failure)" : failure();
    }

    Shape pint(int64_t v) {
        Shape s{};
        s.kind = ShapeKind::pint;
        s.int_ = v;
        return s;
    }

    Tree tree;
    PyGILState_STATE gilState;
    driver::Compiled* state = nullptr;
    compile::Compiler* c = nullptr;
    driver::CompileInputs inputs{};
    PyObject* hosts = nullptr;
    PyObject* analysis = nullptr;
    helpers::Ctx ctx{};
};

// --- slots and frames ----------------------------------------------------------------------

TEST_F(VariablesLower, AGlobalIsStoredAndReadThroughTheGlobalFrameWithAnUnsetTest) {
    {
        Fn f(c, "t_global", compile::kNoFunctionScope);
        f->globalFrame = f.f.param(1);
        Shape v = pint(42);
        ASSERT_EQ(compile::emitRtStore(&f.f.e, 10, &v), Status::ok);
        Shape read;
        ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 9, &read), Status::ok);
        f.result(read);
        std::string ir = f.f.ir();
        EXPECT_EQ(countOf(ir, "getelementptr inbounds i8, ptr %1, i64 32"), 2u) << ir;
        EXPECT_EQ(countOf(ir, "\nunset"), 1u) << "x may be read unset:\n" << ir;
        EXPECT_NE(ir.find("@wn_bury"), std::string::npos) << "a global's old value:\n" << ir;
    }
    Entry run = load("t_global");
    ASSERT_NE(run, nullptr);
    auto* frame = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
    value::Value out{};
    EXPECT_TRUE(run(&ctx, frame, &out)) << failure();
    EXPECT_EQ(out.payload, 42u);
    EXPECT_TRUE(out.tag == value::TagInt || out.tag == value::TagPint);
    EXPECT_EQ(frame->slots()[0].payload, 42u);
    wn_frame_release(frame);
}

// The reference mode's store makes a Python int the language's checked int: a plain int, known
// while compiling or arriving at run time (tag 18), is stored with tag 2, so the language's
// arithmetic on the variable overflows as it does there instead of growing a big int.
TEST_F(VariablesLower, AStoredPlainIntBecomesTheLanguagesInt) {
    {
        Fn f(c, "t_store_plain", compile::kNoFunctionScope);
        f->globalFrame = f.f.param(1);
        Shape known = pint(5);
        ASSERT_EQ(compile::emitRtStore(&f.f.e, 10, &known), Status::ok);
        // Then the run-time value the caller gives in the out slot.
        Shape given =
            compile::dynShape(compile::loadOperand(&f.f.e, f.f.param(2), KnownKind::unknown));
        ASSERT_EQ(compile::emitRtStore(&f.f.e, 10, &given), Status::ok);
        std::string ir = f.f.ir();
        EXPECT_NE(ir.find("\nmaybe_big"), std::string::npos) << ir;
        EXPECT_NE(ir.find("@wn_huge_int"), std::string::npos) << ir;
    }
    Entry run = load("t_store_plain");
    ASSERT_NE(run, nullptr);
    auto* frame = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
    value::Value given{value::TagPint, 7};
    EXPECT_TRUE(run(&ctx, frame, &given)) << failure();
    EXPECT_EQ(frame->slots()[0].tag, uint64_t(value::TagInt));
    EXPECT_EQ(frame->slots()[0].payload, 7u);
    wn_frame_release(frame);
}

TEST_F(VariablesLower, AStoredIntBeyond64BitsFailsWithIntegerOverflow) {
    {
        Fn f(c, "t_store_huge", compile::kNoFunctionScope);
        f->globalFrame = f.f.param(1);
        PyObject* huge = PyLong_FromString("100000000000000000000000", nullptr, 10);
        ASSERT_NE(huge, nullptr);
        Shape v;
        ASSERT_EQ(compile::fromPython(c, huge, &v), Status::ok);
        ASSERT_EQ(compile::pinObject(c, huge, nullptr), Status::ok);
        Py_DECREF(huge);
        ASSERT_EQ(v.kind, ShapeKind::py);
        ASSERT_EQ(compile::emitRtStore(&f.f.e, 10, &v), Status::ok);
    }
    EXPECT_EQ(failureOf("t_store_huge"), "integer overflow");
}

TEST_F(VariablesLower, AVariableReadBeforeItIsSetFailsWithTheReferenceText) {
    {
        Fn f(c, "t_unset", compile::kNoFunctionScope);
        f->globalFrame = f.f.param(1);
        Shape read;
        ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 10, &read), Status::ok);
        f.result(read);
    }
    Entry run = load("t_unset");
    ASSERT_NE(run, nullptr);
    auto* frame = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
    value::Value out{};
    EXPECT_FALSE(run(&ctx, frame, &out));
    EXPECT_EQ(failure(), "'x' has no value yet");
    EXPECT_EQ(ctx.site, 10);
    wn_frame_release(frame);
}

TEST_F(VariablesLower, AParameterAndAHoistedNameAreReadWithoutAnUnsetTest) {
    Fn f(c, "t_noset", 1);
    llvmapi::ValueRef slot = compile::valueSlot(&f.f.e);
    ASSERT_TRUE(f->localSlots.push(slot));
    f->outerFrame = f.f.param(1);
    Shape a, fn;
    ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 6, &a), Status::ok);
    ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 2, &fn), Status::ok);
    std::string ir = f.f.ir();
    EXPECT_EQ(ir.find("\nunset"), std::string::npos) << ir;
    // The own stack variable is read borrowed; the global function value is marked.
    ASSERT_EQ(a.kind, ShapeKind::dyn);
    EXPECT_NE(a.dyn.borrowFlag, nullptr);
    EXPECT_NE(ir.find("\nread_mark"), std::string::npos) << ir;
    // f names the function node 1 defines: its value is known to be that function.
    EXPECT_EQ(fn.dyn.functionNode, 1);
    EXPECT_EQ(verify(&c->module), "");
}

TEST_F(VariablesLower, AnOuterScopeIsReachedThroughParentPointers) {
    {
        // g (node 7) runs with the block's frame as its closure frame: a is one parent up
        // (f's frame), x two (the global frame).
        Fn f(c, "t_outer", 7);
        f->outerFrame = f.f.param(1);
        Shape a, x;
        ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 6, &a), Status::ok);
        ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 9, &x), Status::ok);
        f.result(x);
        std::string ir = f.f.ir();
        EXPECT_EQ(countOf(ir, "getelementptr inbounds i8, ptr %1, i64 16"), 2u) << ir;
    }
    Entry run = load("t_outer");
    ASSERT_NE(run, nullptr);
    auto* global = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
    auto* fFrame = static_cast<value::Frame*>(wn_frame_new(global, 3));
    auto* block = static_cast<value::Frame*>(wn_frame_new(fFrame, 2));
    global->slots()[0] = value::Value::integer(7);
    fFrame->slots()[0] = value::Value::integer(5);
    value::Value out{};
    EXPECT_TRUE(run(&ctx, block, &out)) << failure();
    EXPECT_EQ(out.payload, 7u);
    wn_frame_release(block);
    wn_frame_release(fFrame);
    wn_frame_release(global);
}

// A frame-walking thunk finds a variable's frame at run time from its own frame and scope.
struct WalkCase {
    const char* name;
    int32_t scope;    // the thunk's scope at run time
    uint32_t node;    // the name node read
    int chain;        // the thunk's frame: 0 the block's (under f's, under the global one),
                      // 1 f's alone (no parent), 2 f's under the global one
    bool reaches;
    uint64_t value;   // what the read gives when it does
};

class FrameWalks : public VariablesLower, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(FrameWalks, ReachTheScopeOrFailTheRunRatherThanReadAnotherScopesFrame) {
    const WalkCase& k = GetParam();
    std::string name = std::string("t_walk_") + k.name;
    {
        Fn f(c, name.c_str(), compile::kNoFunctionScope);
        f->modes.runtimeFrameLookup = 1;
        f->ownFrame = f.f.param(1);
        f->callScope = compile::constI32(&f.f.e, k.scope);
        Shape read;
        ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, k.node, &read), Status::ok);
        f.result(read);
    }
    Entry run = load(name.c_str());
    ASSERT_NE(run, nullptr);
    auto* global = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
    auto* fFrame = static_cast<value::Frame*>(wn_frame_new(k.chain == 1 ? nullptr : global, 3));
    auto* block = static_cast<value::Frame*>(wn_frame_new(fFrame, 2));
    global->slots()[0] = value::Value::integer(70);
    fFrame->slots()[0] = value::Value::integer(50);
    block->slots()[0] = value::Value::integer(90);
    value::Value out{};
    bool ok = run(&ctx, k.chain == 0 ? block : fFrame, &out);
    EXPECT_EQ(ok, k.reaches) << failure();
    if (k.reaches) {
        EXPECT_EQ(out.payload, k.value);
    } else {
        EXPECT_EQ(failure(),
                  "wuna: a frame walk didn't reach the scope of a variable (a wuna bug)");
    }
    wn_frame_release(block);
    wn_frame_release(fFrame);
    wn_frame_release(global);
}

INSTANTIATE_TEST_SUITE_P(
    Thunks, FrameWalks,
    ::testing::Values(WalkCase{"own_scope", 4, 5, 0, true, 90},
                      WalkCase{"one_up", 4, 6, 0, true, 50},
                      WalkCase{"global", 4, 9, 0, true, 70},
                      WalkCase{"no_parent", 1, 5, 1, false, 0},
                      WalkCase{"not_an_ancestor", 1, 5, 2, false, 0}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST_F(VariablesLower, ABlockScopeGetsAFrameOfItsOwnAndReleasesItOnLeaving) {
    {
        Fn f(c, "t_block", 1);
        f.enterBlock();
        EXPECT_EQ(f->scopes.count, 1u);
        Shape v = pint(9);
        ASSERT_EQ(compile::emitRtStore(&f.f.e, 5, &v), Status::ok);
        Shape b;
        ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 5, &b), Status::ok);
        f.result(b);
        ASSERT_EQ(compile::releaseScopeFramesAbove(&f.f.e, 0), Status::ok);
        EXPECT_EQ(f->scopes.count, 1u) << "a jump keeps the stack for the code after it";
        f->scopes.count = 1;
        ASSERT_EQ(compile::leaveBlockScope(&f.f.e, 4), Status::ok);
        EXPECT_EQ(f->scopes.count, 0u);
        // A node that opens no scope enters nothing.
        bool entered = true;
        ASSERT_EQ(compile::enterBlockScope(&f.f.e, 6, &entered), Status::ok);
        EXPECT_FALSE(entered);
        std::string ir = f.f.ir();
        EXPECT_EQ(countOf(ir, "@wn_frame_new(ptr %1, i64 2)"), 1u) << ir;
        EXPECT_EQ(countOf(ir, "@wn_frame_release("), 2u) << ir;
        // The hoisted g is made as the scope is entered.
        EXPECT_NE(ir.find("@wn_function("), std::string::npos) << ir;
    }
    EXPECT_EQ(verify(&c->module), "");
}

TEST_F(VariablesLower, AFrameThatCantBeMadeFailsTheRunInsteadOfBeingUsed) {
    {
        Fn f(c, "t_noframe", 1);
        f.useOwnFrame();
        // The hoisted g: its code is asked for and its name stored; none of it runs.
        withoutBlockFrames([&] {
            bool entered;
            ASSERT_EQ(compile::enterBlockScope(&f.f.e, 4, &entered), Status::ok);
        });
        f.result(compile::noneShape());
    }
    // The run never reaches wn_function (the failure comes first): g's code is a stand-in.
    stubHoistedG();
    expectNoFrameFailure("t_noframe");
}

// rt.fresh renews the block's frame: when the new one can't be made the run fails there, and
// the scope keeps the frame it had (never a null frame stored for later reads).
TEST_F(VariablesLower, AFreshFrameThatCantBeMadeFailsTheRunInsteadOfBeingStored) {
    {
        Fn f(c, "t_nofresh", 1);
        f.enterBlock();
        withoutBlockFrames(
            [&] { ASSERT_EQ(compile::emitRtFresh(&f.f.e, nullptr, 4), Status::ok); });
        ASSERT_EQ(compile::leaveBlockScope(&f.f.e, 4), Status::ok);
        f.result(compile::noneShape());
        std::string ir = f.f.ir();
        EXPECT_EQ(countOf(ir, "@wn_frame_new("), 2u) << ir;
        EXPECT_NE(ir.find("frame_failed"), std::string::npos) << ir;
    }
    // The hoisted g is made as the scope is entered; it never runs: its code is a stand-in.
    stubHoistedG();
    EXPECT_EQ(verify(&c->module), "");
    expectNoFrameFailure("t_nofresh");
}

TEST_F(VariablesLower, AFunctionWithoutTheFrameItsCodeNeedsIsANeedForTheNextAttempt) {
    Fn f(c, "t_need", 1);
    Shape a;
    EXPECT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 6, &a), Status::unsupported);
    std::string message(c->message.items, c->message.count);
    EXPECT_EQ(message,
              "code here needs the frame of a function without one (node 1): compiled again "
              "with frames");
    EXPECT_EQ(c->frameNeeded, 1);
    EXPECT_EQ(c->frameNeededScope, 1u);
}

TEST_F(VariablesLower, AVariableOfAnotherFunctionOutOfReachIsACompileError) {
    // The top level can't reach f's frame.
    Fn f(c, "t_unreach", compile::kNoFunctionScope);
    Shape a;
    EXPECT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 6, &a), Status::unsupported);
    EXPECT_EQ(std::string(c->message.items, c->message.count),
              "a variable of another function isn't reachable from here (node 1)");
    EXPECT_EQ(c->frameNeeded, 0);
}

TEST_F(VariablesLower, ASymbolMissingFromTheSlotMapIsAnInternalErrorNotSlotZero) {
    Fn f(c, "t_noslot", compile::kNoFunctionScope);
    f->globalFrame = f.f.param(1);
    ASSERT_TRUE(c->slots.remove(0));
    Shape read;
    EXPECT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 9, &read), Status::unsupported);
    EXPECT_EQ(std::string(c->message.items, c->message.count),
              "wuna: the variable 'x' has no frame slot (a wuna bug)");
}

TEST_F(VariablesLower, AGlobalReadBorrowedInAFunctionBecomesOwnedBeforeACallThatMayRebindIt) {
    Fn f(c, "t_rebind", 1);
    f->outerFrame = f.f.param(1);
    Shape x;
    ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 9, &x), Status::ok);
    ASSERT_NE(x.dyn.borrowFlag, nullptr);
    std::string before = irOf(f.f.fn);
    EXPECT_EQ(countOf(before, "borrow_take"), 0u);
    // wn_call(ctx, site, callee tag, callee payload, arguments, count, receiver, out)
    llvmapi::ValueRef args[8] = {
        f->runContext,          compile::constI32(&f.f.e, 0), compile::constI64(&f.f.e, 0),
        compile::constI64(&f.f.e, 0), f.f.param(2),                compile::constI64(&f.f.e, 0),
        f.f.param(2),           f.f.param(2)};
    ASSERT_EQ(compile::callHelper(&f.f.e, "wn_call", args, 8, nullptr), Status::ok);
    std::string ir = irOf(f.f.fn);
    EXPECT_GE(countOf(ir, "\nborrow_take"), 1u) << ir;
}

TEST_F(VariablesLower, TheSeventeenthBorrowedReadOfAVariableTakesItsOwnReference) {
    Fn f(c, "t_borrows", 1);
    ASSERT_TRUE(f->localSlots.push(compile::valueSlot(&f.f.e)));
    for (uint32_t i = 0; i < compile::kBorrowsPerSymbol; i++) {
        Shape a;
        ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 6, &a), Status::ok);
        EXPECT_NE(a.dyn.borrowFlag, nullptr) << i;
    }
    Shape owned;
    ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 6, &owned), Status::ok);
    EXPECT_EQ(owned.dyn.borrowFlag, nullptr);
    EXPECT_EQ(f->borrows.count, compile::kBorrowsPerSymbol);
    // A store of the variable makes every borrowed read an owner first.
    Shape v = pint(1);
    ASSERT_EQ(compile::emitRtStore(&f.f.e, 3, &v), Status::ok);
    std::string ir = f.f.ir();
    EXPECT_EQ(countOf(ir, "\nborrow_taken"), compile::kBorrowsPerSymbol) << ir;
    EXPECT_EQ(verify(&c->module), "");
}

TEST_F(VariablesLower, AVariableRemembersTheFunctionStoredIntoItUntilTwoStoresDisagree) {
    Fn f(c, "t_stored", compile::kNoFunctionScope);
    f->globalFrame = f.f.param(1);
    auto storeFunctionOf = [&](int32_t node) {
        Operand o = compile::constantOperand(&f.f.e, value::TagNone, 0, KnownKind::none);
        o.functionNode = node;
        Shape v = compile::dynShape(o);
        ASSERT_EQ(compile::emitRtStore(&f.f.e, 10, &v), Status::ok);
    };
    auto knownOf = [&]() {
        Shape x;
        EXPECT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 9, &x), Status::ok);
        return x.dyn.functionNode;
    };
    storeFunctionOf(7);
    EXPECT_EQ(knownOf(), 7);
    storeFunctionOf(7);
    EXPECT_EQ(knownOf(), 7);
    storeFunctionOf(1);
    EXPECT_EQ(knownOf(), compile::kNoFunctionNode);
    storeFunctionOf(7);
    EXPECT_EQ(knownOf(), compile::kNoFunctionNode) << "once they disagreed, never known again";
}

TEST_F(VariablesLower, RtFunctionMakesAFunctionValueInTheFrameOfItsScope) {
    Fn f(c, "t_function", compile::kNoFunctionScope);
    f->globalFrame = f.f.param(1);
    Shape made;
    ASSERT_EQ(compile::emitRtFunction(&f.f.e, nullptr, 1, &made), Status::ok);
    ASSERT_EQ(made.kind, ShapeKind::dyn);
    EXPECT_EQ(made.dyn.kind, KnownKind::function);
    EXPECT_EQ(made.dyn.functionNode, 1);
    EXPECT_NE(c->module.literals.find(backend::Text{"f", 1}), nullptr);
    // Without a name child the function is "<anonymous>".
    tree.kinds[1].nameLabel = 9;
    ASSERT_EQ(compile::emitRtFunction(&f.f.e, nullptr, 1, &made), Status::ok);
    EXPECT_NE(c->module.literals.find(backend::Text{"<anonymous>", 11}), nullptr);
    // g is made in the block's frame, which the top level can't reach.
    EXPECT_EQ(compile::emitRtFunction(&f.f.e, nullptr, 7, &made), Status::unsupported);
    EXPECT_EQ(std::string(c->message.items, c->message.count),
              "a function made outside the function or scope around it (node 4)");
    std::string ir = f.f.ir();
    // f(a) in the global frame: one parameter, the error modes of its kind.
    EXPECT_NE(ir.find("i32 1, ptr"), std::string::npos) << ir;
    EXPECT_NE(ir.find(", i64 1, ptr"), std::string::npos) << ir;
    EXPECT_EQ(countOf(ir, "@wn_function(ptr %0"), 2u) << ir;
}

TEST_F(VariablesLower, ANodeKnownAtRunTimeOnlyIsRefusedSoTheSemanticRunsAsPython) {
    Fn f(c, "t_runtime_node", compile::kNoFunctionScope);
    Shape out;
    uint32_t node = uint32_t(compile::kCallScopeSite);
    EXPECT_EQ(compile::emitRtLoad(&f.f.e, nullptr, node, &out), Status::unsupported);
    EXPECT_EQ(std::string(c->message.items, c->message.count),
              "rt.load of a node known at run time only isn't compiled yet");
    Shape v = pint(1);
    EXPECT_EQ(compile::emitRtStore(&f.f.e, node, &v), Status::unsupported);
    EXPECT_EQ(compile::emitRtFunction(&f.f.e, nullptr, node, &out), Status::unsupported);
}

// --- failures at run time ------------------------------------------------------------------

struct FailureCase {
    const char* name;
    int operation;  // 0 load, 1 store, 2 function
    uint32_t node;
    bool rules;
    const char* message;
};

class VariableFailures : public VariablesLower,
                         public ::testing::WithParamInterface<FailureCase> {};

TEST_P(VariableFailures, CompileToAFailureAtTheNodeWithTheReferenceText) {
    const FailureCase& k = GetParam();
    if (!k.rules) inputs.analysis = nullptr;
    std::string name = std::string("t_fail_") + k.name;
    {
        Fn f(c, name.c_str(), compile::kNoFunctionScope);
        f->globalFrame = f.f.param(1);
        Shape out = compile::noneShape();
        if (k.operation == 0) {
            ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, k.node, &out), Status::ok);
        } else if (k.operation == 1) {
            Shape v = pint(1);
            ASSERT_EQ(compile::emitRtStore(&f.f.e, k.node, &v), Status::ok);
        } else {
            ASSERT_EQ(compile::emitRtFunction(&f.f.e, nullptr, k.node, &out), Status::ok);
        }
        EXPECT_EQ(out.kind, ShapeKind::none);
        f.result(out);
    }
    Entry run = load(name.c_str());
    ASSERT_NE(run, nullptr);
    auto* frame = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
    value::Value out{};
    EXPECT_FALSE(run(&ctx, frame, &out));
    EXPECT_EQ(failure(), k.message);
    EXPECT_EQ(ctx.site, int32_t(k.node));
    wn_frame_release(frame);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, VariableFailures,
    ::testing::Values(
        FailureCase{"notvar", 0, 12, true, "'1+2' is not a variable"},
        FailureCase{"notvar_store", 1, 12, true, "'1+2' is not a variable"},
        FailureCase{"norules", 0, 12, false, "variables need rules with a scopes() rule"},
        FailureCase{"nohost", 0, 11, true, "no host function for the builtin 'print'"},
        FailureCase{"builtin_store", 1, 11, true, "can't assign to the builtin 'print'"},
        FailureCase{"notkind", 2, 5, true, "? isn't a function kind (Language.function)"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(VariablesLower, ABuiltinWithAHostFunctionIsThatFunction) {
    PyObject* host = PyLong_FromLong(123456789);
    PyDict_SetItemString(hosts, "print", host);
    Fn f(c, "t_host", compile::kNoFunctionScope);
    Shape read;
    ASSERT_EQ(compile::emitRtLoad(&f.f.e, nullptr, 11, &read), Status::ok);
    ASSERT_EQ(read.kind, ShapeKind::py);
    EXPECT_EQ(read.py, host);
    Py_DECREF(host);
}

// --- kind checks ---------------------------------------------------------------------------

struct KindCase {
    const char* name;
    KnownKind declared;
    uint64_t tag;
    bool passes;
};

class KindChecks : public VariablesLower, public ::testing::WithParamInterface<KindCase> {};

TEST_P(KindChecks, PassTheDeclaredKindAndFailAnyOtherWithTheTypesText) {
    const KindCase& k = GetParam();
    std::string name = std::string("t_kind_") + k.name;
    {
        Fn f(c, name.c_str(), compile::kNoFunctionScope);
        Operand o = compile::loadOperand(&f.f.e, f.f.param(1), KnownKind::unknown);
        Shape v = compile::dynShape(o), checked;
        ASSERT_EQ(compile::emitKindCheckAs(&f.f.e, 3, k.declared, &v, &checked), Status::ok);
        EXPECT_EQ(checked.dyn.kind, k.declared);
        // Checked once: a value of known kind is never tested again.
        Shape again;
        size_t blocks = c->module.blockCount;
        ASSERT_EQ(compile::emitKindCheckAs(&f.f.e, 3, k.declared, &checked, &again), Status::ok);
        EXPECT_EQ(c->module.blockCount, blocks);
        f.result(checked);
    }
    Entry run = load(name.c_str());
    ASSERT_NE(run, nullptr);
    value::Value in{k.tag, 0}, out{};
    EXPECT_EQ(run(&ctx, &in, &out), k.passes) << failure();
    if (k.passes) {
        EXPECT_EQ(out.tag, k.tag) << "an int keeps its run-time tag";
    } else {
        EXPECT_EQ(failure(), "the value isn't what types() says the type Num is");
        EXPECT_EQ(ctx.site, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KindChecks,
    ::testing::Values(KindCase{"int_small", KnownKind::int_, value::TagInt, true},
                      KindCase{"int_pint", KnownKind::int_, value::TagPint, true},
                      KindCase{"int_float", KnownKind::int_, value::TagFloat, false},
                      KindCase{"float_int", KnownKind::float_, value::TagInt, false},
                      KindCase{"bool_bool", KnownKind::bool_, value::TagBool, true},
                      KindCase{"none_int", KnownKind::none, value::TagInt, false}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

TEST_F(VariablesLower, AConstantOfTheWrongKindFailsAndATypeWithoutTextIsQuestioned) {
    Py_DECREF(analysis);
    analysis = makeAnalysis("None");
    inputs.analysis = analysis;
    {
        Fn f(c, "t_kind_const", compile::kNoFunctionScope);
        Shape truth{};
        truth.kind = ShapeKind::bool_;
        truth.bool_ = 1;
        Shape checked;
        ASSERT_EQ(compile::emitKindCheckAs(&f.f.e, 4, KnownKind::int_, &truth, &checked),
                  Status::ok);
        EXPECT_EQ(checked.kind, ShapeKind::bool_);
        f.result(checked);
    }
    Entry run = load("t_kind_const");
    ASSERT_NE(run, nullptr);
    value::Value out{};
    EXPECT_FALSE(run(&ctx, nullptr, &out));
    EXPECT_EQ(failure(), "the value isn't what types() says the type ? is");
}

}  // namespace

}  // namespace wuna
