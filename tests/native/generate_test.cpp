// Program generation on a small hand-made tree with scripted emitters: the frame slots and
// heap frames of the layouts, and the retry rules (a scope needing its frame, then every scope;
// a need recorded outside the compiler; a semantic that can't be compiled running as Python
// with its reason, or CompileError in a strict language; never an attempt without something
// new).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "compiler/backend/children.h"
#include "compiler/backend/driver.h"
#include "compiler/backend/emit.h"
#include "compiler/backend/inputs.h"
#include "host/tree/function_kind.h"
#include "host/tree/index.h"
#include "tests/native/backend_test_support.h"
#include "tests/native/compile_test_support.h"

namespace wuna {

namespace {

using namespace backend_testing;
using compile::Compiler;
using driver::Compiled;
const llvmapi::Table& T = llvmapi::table;

// root 0 (kind 0) { function 1 (kind 1) { statement 2 (kind 2) } statement 3 (kind 2) }
struct Tree {
    ptree::NodeRecord nodes[4] = {
        {0, 10, 3, pargo::layout::makeWord(0, 0)},
        {0, 5, 1, pargo::layout::makeWord(1, 0)},
        {1, 4, 0, pargo::layout::makeWord(2, 0)},
        {6, 9, 0, pargo::layout::makeWord(2, 0)},
    };
    uint32_t parents[4] = {ptree::kNone, 0, 1, 0};
    host::FunctionKind kinds[3] = {};
    // A global, a variable of the function, a builtin, a second global.
    ptree::Symbol symbols[4] = {
        {"x", 1, 3, ptree::kNone, 0},
        {"a", 1, 2, 1, 0},
        {"print", 5, ptree::kNone, ptree::kNone, 1},
        {"y", 1, 3, ptree::kNone, 0},
    };
    int32_t scopes[4] = {-2, -2, -2, -2};
    ptree::Index index{};

    Tree() {
        kinds[1].isFunction = true;
        index.nodes = nodes;
        index.count = 4;
        index.parents = parents;
        index.symbols = symbols;
        index.symbolCount = 4;
        index.scopes = scopes;
        index.functionKinds = kinds;
        index.functionKindCount = 3;
    }
};

// What the scripted emitter does on each attempt (the last entry repeats).
enum class Step { ok, refuseSemantic, needFrame, retryFlag, retryWithNeed, refuse, oom, raise };

struct Script {
    std::vector<Step> steps;
    int attempts = 0;
    PyObject* semantic = nullptr;
    bool allFramesSeen = false;
    bool scopeHadFrame = false;
};
Script* script = nullptr;

Status scriptedFunction(Compiler* c, uint32_t id) {
    if (id != compile::kTopLevel) return Status::unsupported;
    Step step = script->steps[std::min<size_t>(size_t(script->attempts), script->steps.size() - 1)];
    script->attempts++;
    script->allFramesSeen = c->allFrames;
    compile::Layout** scope = c->layouts.find(1);
    script->scopeHadFrame = scope && (*scope)->heapFrame;
    auto message = [&](const char* text) {
        c->message.clear();
        for (const char* p = text; *p; p++) c->message.push(*p);
    };
    switch (step) {
    case Step::ok: {
        compile::FunctionRef main;
        if (compile::llvmFunction(c, compile::kTopLevel, &main) != Status::ok)
            return Status::outOfMemory;
        Emit e(&c->module, main.function);
        T.LLVMBuildRet(*e, T.LLVMConstInt(c->module.i1, 1, 0));
        return Status::ok;
    }
    case Step::refuseSemantic:
        c->failingSemantic = script->semantic;
        message("t.py:3:5: in s(): no");
        return Status::unsupported;
    case Step::needFrame:
        c->frameNeeded = 1;
        c->frameNeededScope = 1;
        message("t.py:1:1: in f(): a frame");
        return Status::unsupported;
    case Step::retryWithNeed: compile::recordNeed(c); [[fallthrough]];
    case Step::retryFlag:
        c->retry = 1;
        message("t.py:2:2: in g(): again");
        return Status::unsupported;
    case Step::refuse: message("t.py:4:4: in h(): never"); return Status::unsupported;
    case Step::oom: return Status::outOfMemory;
    case Step::raise: PyErr_SetString(PyExc_ValueError, "raised"); return Status::pythonError;
    }
    return Status::unsupported;
}

// The language's Python-semantics map of the tests.
std::map<PyObject*, std::string> pythonMap;
bool runsAsPython(void*, PyObject* fn) { return pythonMap.count(fn) != 0; }
int runAsPython(void*, PyObject* fn, const char* reason, size_t length) {
    pythonMap[fn] = std::string(reason, length);
    return 0;
}

class Generate : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        saved = compile::emission;
        compile::emission.function = scriptedFunction;
        pythonMap.clear();
        semantic = PyLong_FromLong(12345);  // any object stands for a semantic here
        script = &s;
        s.semantic = semantic;
        execs[2] = withSemantic ? semantic : nullptr;
        inputs.execs = execs;
        inputs.execCount = 3;
        inputs.functionKinds = tree.kinds;
        inputs.functionKindCount = 3;
        inputs.runsAsPython = runsAsPython;
        inputs.runAsPython = runAsPython;
    }
    void TearDown() override {
        compile::emission = saved;
        script = nullptr;
        Py_XDECREF(semantic);
        BackendTest::TearDown();
    }
    // The state, or null with the exception's text in error.
    Compiled* generate(std::vector<Step> steps, bool strict = false) {
        s.steps = std::move(steps);
        inputs.strict = strict;
        static uint8_t n = 0;
        uint8_t key[32] = {0x6e, ++n};
        Compiled* state =
            Compiled::generate(&tree.index, &inputs, PyExc_LookupError, key, 0);
        if (!state) error = takeError(&errorType);
        return state;
    }

    compile::Emission saved{};
    Tree tree;
    PyObject* execs[3] = {};
    driver::CompileInputs inputs{};
    PyObject* semantic = nullptr;
    bool withSemantic = false;
    Script s;
    std::string error;
    PyObject* errorType = nullptr;
};

TEST_F(Generate, OneAttemptLaysOutSlotsAndTheFramesTheTreeNeeds) {
    Compiled* state = generate({Step::ok});
    ASSERT_NE(state, nullptr) << error;
    EXPECT_EQ(s.attempts, 1);
    Compiler* c = &state->compiler;
    // Globals x and y in slots 0 and 1 of the global scope, a in the function's, the builtin
    // nowhere.
    EXPECT_EQ(state->globalSlots, 2u);
    ASSERT_NE(c->slots.find(0), nullptr);
    EXPECT_EQ(*c->slots.find(0), 0u);
    EXPECT_EQ(*c->slots.find(3), 1u);
    EXPECT_EQ(*c->slots.find(1), 0u);
    EXPECT_EQ(c->slots.find(2), nullptr);
    // The global scope has a heap frame (it defines a function); the function does not.
    EXPECT_TRUE((*c->layouts.find(compile::kGlobalScope))->heapFrame);
    EXPECT_FALSE((*c->layouts.find(1))->heapFrame);
    EXPECT_FALSE(c->allFrames);
    Compiled::free(state);
}

TEST_F(Generate, AScopeNeedingItsFrameIsMarkedThenEveryScopeGetsOne) {
    Compiled* state = generate({Step::needFrame, Step::ok});
    ASSERT_NE(state, nullptr) << error;
    EXPECT_EQ(s.attempts, 2);
    EXPECT_TRUE(s.scopeHadFrame);
    EXPECT_FALSE(s.allFramesSeen);
    Compiled::free(state);

    s = Script{};
    s.semantic = semantic;
    state = generate({Step::needFrame, Step::needFrame, Step::ok});
    ASSERT_NE(state, nullptr) << error;
    EXPECT_EQ(s.attempts, 3) << "a second request for the same scope: all frames";
    EXPECT_TRUE(s.allFramesSeen);
    EXPECT_TRUE(state->compiler.allFramesAttempt);
    Compiled::free(state);
}

TEST_F(Generate, ARetryNeedsSomethingNew) {
    struct Case {
        const char* what;
        std::vector<Step> steps;
        int attempts;
        const char* error;
    } cases[] = {
        {"a need recorded", {Step::retryWithNeed, Step::retryWithNeed, Step::ok}, 3, nullptr},
        {"the retry flag alone", {Step::retryFlag}, 1, "t.py:2:2: in g(): again"},
        {"nothing to retry", {Step::refuse}, 1, "t.py:4:4: in h(): never"},
        {"frames, then all frames, then nothing new",
         {Step::needFrame, Step::needFrame, Step::needFrame},
         3,
         "t.py:1:1: in f(): a frame"},
    };
    for (Case& k : cases) {
        s = Script{};
        Compiled* state = generate(k.steps);
        EXPECT_EQ(s.attempts, k.attempts) << k.what;
        if (!k.error) {
            EXPECT_NE(state, nullptr) << k.what << ": " << error;
            Compiled::free(state);
            continue;
        }
        EXPECT_EQ(state, nullptr) << k.what;
        EXPECT_EQ(error, k.error) << k.what;
        EXPECT_EQ(errorType, PyExc_LookupError) << "the CompileError class given: " << k.what;
    }
}

TEST_F(Generate, OutOfMemoryAndPythonErrorsEndGeneration) {
    EXPECT_EQ(generate({Step::oom}), nullptr);
    EXPECT_EQ(errorType, PyExc_MemoryError);
    EXPECT_EQ(generate({Step::raise}), nullptr);
    EXPECT_EQ(errorType, PyExc_ValueError);
    EXPECT_EQ(error, "raised");
}

class GenerateWithSemantic : public Generate {
protected:
    GenerateWithSemantic() { withSemantic = true; }
};

TEST_F(GenerateWithSemantic, AnUncompilableSemanticRunsAsPythonWithItsReason) {
    Compiled* state = generate({Step::refuseSemantic, Step::ok});
    ASSERT_NE(state, nullptr) << error;
    EXPECT_EQ(s.attempts, 2);
    ASSERT_EQ(pythonMap.count(semantic), 1u);
    EXPECT_EQ(pythonMap[semantic], "t.py:3:5: in s(): no");
    // A semantic running as Python gives every scope a heap frame from the first attempt.
    EXPECT_TRUE(s.allFramesSeen);
    Compiled::free(state);
}

TEST_F(GenerateWithSemantic, AStrictLanguageRaisesCompileErrorAndKeepsNoReason) {
    EXPECT_EQ(generate({Step::refuseSemantic, Step::ok}, true), nullptr);
    EXPECT_EQ(s.attempts, 1);
    EXPECT_EQ(error, "t.py:3:5: in s(): no");
    EXPECT_EQ(errorType, PyExc_LookupError);
    EXPECT_TRUE(pythonMap.empty());
}

TEST_F(GenerateWithSemantic, ASemanticAlreadyRunningAsPythonIsNotRetried) {
    pythonMap[semantic] = "earlier";
    EXPECT_EQ(generate({Step::refuseSemantic}), nullptr);
    EXPECT_EQ(s.attempts, 1);
    EXPECT_EQ(error, "t.py:3:5: in s(): no");
    EXPECT_EQ(pythonMap[semantic], "earlier");
}

TEST(Children, OnlyDirectChildrenWithTheLabelInOrder) {
    // 0 { 1:p { 2:p } 3:b 4:p }
    ptree::NodeRecord nodes[5] = {
        {0, 9, 4, pargo::layout::makeWord(0, 0)}, {0, 3, 1, pargo::layout::makeWord(1, 7)},
        {1, 2, 0, pargo::layout::makeWord(1, 7)}, {4, 5, 0, pargo::layout::makeWord(1, 8)},
        {6, 8, 0, pargo::layout::makeWord(1, 7)},
    };
    ptree::Index index{};
    index.nodes = nodes;
    index.count = 5;
    struct Case {
        uint32_t node;
        uint8_t label;
        std::vector<uint32_t> children;
    } cases[] = {
        {0, 7, {1, 4}}, {0, 8, {3}}, {0, 9, {}}, {1, 7, {2}}, {2, 7, {}}, {9, 7, {}},
    };
    for (const Case& k : cases) {
        backend::List<uint32_t> out{};
        ASSERT_EQ(compile::childrenWithLabel(&index, k.node, k.label, &out), Status::ok);
        EXPECT_EQ(std::vector<uint32_t>(out.items, out.items + out.count), k.children)
            << k.node << "/" << int(k.label);
        out.free();
    }
}

}  // namespace

}  // namespace wuna
