// The code generator's program functions over a small hand-made tree: the top level and a
// function's generic entry (entry and start blocks, every block terminated, the receiver and
// extra-argument blocks, the heap frame's wn_frame_new checked), a node's semantic run as
// Python through wn_py_semantic, a thunk, and the names and argument counts of rt methods.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "compiler/backend/driver.h"
#include "compiler/backend/emit.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/function_kind.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "tests/native/backend_test_support.h"
#include "tests/native/toolkit_support.h"

namespace wuna {

namespace {

using namespace backend_testing;
using compile::Compiler;
using driver::Compiled;
using toolkit_testing::countOf;
using toolkit_testing::irOf;
using toolkit_testing::verify;

// root 0 (kind 0) {
//   function 1 (kind 1) { parameter 2 (kind 3, label 1), body 3 (kind 2, label 2) }
//   statement 4 (kind 2)
// }
struct Tree {
    ptree::NodeRecord nodes[5] = {
        {0, 20, 4, pargo::layout::makeWord(0, 0)}, {0, 10, 2, pargo::layout::makeWord(1, 0)},
        {1, 2, 0, pargo::layout::makeWord(3, 1)},  {3, 9, 0, pargo::layout::makeWord(2, 2)},
        {11, 19, 0, pargo::layout::makeWord(2, 0)},
    };
    uint32_t parents[5] = {ptree::kNone, 0, 1, 1, 0};
    host::FunctionKind kinds[4] = {};
    // The parameter's variable, declared by node 2 in the function's scope.
    ptree::Symbol symbols[1] = {{"a", 1, 2, 1, 0}};
    uint32_t nodeSymbols[5] = {ptree::kNone, ptree::kNone, 0, ptree::kNone, ptree::kNone};
    int32_t scopes[1] = {-2};
    ptree::Index index{};

    Tree() {
        kinds[1].isFunction = true;
        kinds[1].paramsLabel = 1;
        kinds[1].bodyLabel = 2;
        kinds[1].extra = host::ExtraArgs::keep;
        index.nodes = nodes;
        index.count = 5;
        index.parents = parents;
        index.symbols = symbols;
        index.symbolCount = 1;
        index.nodeSymbols = nodeSymbols;
        index.scopes = scopes;
        index.functionKinds = kinds;
        index.functionKindCount = 4;
    }
};

std::map<PyObject*, std::string> pythonMap;
bool runsAsPython(void*, PyObject* fn) { return pythonMap.count(fn) != 0; }
int runAsPython(void*, PyObject* fn, const char* reason, size_t length) {
    pythonMap[fn] = std::string(reason, length);
    return 0;
}

class CoreLower : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        saved = compile::emission;
        compile::installEmission();
        pythonMap.clear();
        semantic = PyLong_FromLong(777);  // any object stands for a Python semantic here
        pythonMap[semantic] = "runs as Python";
        execs[2] = semantic;
        inputs.execs = execs;
        inputs.execCount = 4;
        inputs.functionKinds = tree.kinds;
        inputs.functionKindCount = 4;
        inputs.runsAsPython = runsAsPython;
        inputs.runAsPython = runAsPython;
    }
    void TearDown() override {
        if (state) Compiled::free(state);
        compile::emission = saved;
        Py_XDECREF(semantic);
        BackendTest::TearDown();
    }
    // The whole program generated; the state's compiler keeps the inputs for more functions.
    Compiler* generate(bool strict = false) {
        inputs.strict = strict;
        static uint8_t n = 0;
        uint8_t key[32] = {0xc0, ++n};
        state = Compiled::generate(&tree.index, &inputs, PyExc_LookupError, key, 0);
        if (!state) {
            error = takeError();
            return nullptr;
        }
        state->compiler.inputs = &inputs;
        return &state->compiler;
    }
    std::string functionIr(Compiler* c, const std::string& suffix) {
        std::string name = std::string(state->prefix, state->prefixLength) + suffix;
        compile::FunctionRef* f = c->module.functions.find(backend::Text{name.c_str(), name.size()});
        return f ? irOf(f->function) : std::string();
    }

    compile::Emission saved{};
    Tree tree;
    PyObject* execs[4] = {};
    driver::CompileInputs inputs{};
    PyObject* semantic = nullptr;
    Compiled* state = nullptr;
    std::string error;
};

TEST_F(CoreLower, TheTopLevelRunsEachStatementsSemanticAsPythonInItsGlobalFrame) {
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    EXPECT_EQ(verify(&c->module), "");
    std::string ir = functionIr(c, "_main");
    ASSERT_NE(ir, "");
    EXPECT_NE(ir.find("entry:"), std::string::npos);
    EXPECT_NE(ir.find("start:"), std::string::npos);
    // The function node defines nothing (no name) and its body is not run at the top level;
    // statement 4 is.
    EXPECT_EQ(countOf(ir, "call i32 @wn_py_semantic("), 1u);
    EXPECT_NE(ir.find("i32 1, i32 4,"), std::string::npos);  // exec mode, node 4
    EXPECT_TRUE(c->callsPython);
    // A semantic runs as Python: every scope has a heap frame.
    EXPECT_TRUE((*c->layouts.find(1))->heapFrame);
}

TEST_F(CoreLower, AGenericEntryBindsItsFrameReceiverExtraArgumentsAndParameters) {
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    ASSERT_EQ(compile::emitProgramFunction(c, 1), Status::ok)
        << std::string(c->message.items ? c->message.items : "", c->message.count);
    EXPECT_EQ(verify(&c->module), "");
    std::string ir = functionIr(c, "_f1");
    ASSERT_NE(ir, "");
    EXPECT_NE(ir.find("define i1 @"), std::string::npos);
    // The blocks of the entry, each ended by a terminator (the module verifies).
    for (const char* block : {"entry:", "start:", "error:", "return:", "recv_given", "recv_outer",
                              "recv_set", "varargs_extra", "varargs_none", "varargs_done",
                              "frame_made", "frame_failed", "frame_lost"})
        EXPECT_NE(ir.find(block), std::string::npos) << block;
    // The heap frame of 1 variable + receiver + extra arguments, checked before any use.
    EXPECT_NE(ir.find("call ptr @wn_frame_new(ptr %1, i64 3)"), std::string::npos) << ir;
    EXPECT_NE(ir.find("icmp eq ptr"), std::string::npos);
    EXPECT_EQ(countOf(ir, "call void @wn_frame_release("), 2u);  // both exits
    EXPECT_NE(ir.find("call i1 @wn_varargs("), std::string::npos);
    // The body node's semantic, through the bridge.
    EXPECT_EQ(countOf(ir, "call i32 @wn_py_semantic("), 1u);
    EXPECT_NE(ir.find("i32 1, i32 3,"), std::string::npos);
}

TEST_F(CoreLower, AGenericEntryStartsWithTheTypedDispatchAndCountsItsCalls) {
    inputs.hotCalls = 7;
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    ASSERT_EQ(compile::emitProgramFunction(c, 1), Status::ok);
    EXPECT_EQ(verify(&c->module), "");
    std::string ir = functionIr(c, "_f1");
    for (const char* block : {"entry_count", "entry_hot", "entry_check", "entry_count_ok",
                              "entry_typed", "entry_generic"})
        EXPECT_NE(ir.find(block), std::string::npos) << block << "\n" << ir;
    EXPECT_EQ(countOf(ir, "call void @wn_speculate(ptr %0, i64 1)"), 1u) << ir;
    EXPECT_NE(ir.find("icmp eq i64 %"), std::string::npos);
    EXPECT_NE(c->profiles.find(1), nullptr);
}

// The typed entry of function 1 for each kind its parameter can have: the payload alone comes
// in, the parameter's variable gets the kind's tag, and both exits return a value pair, the
// error exit the typed failure.
TEST_F(CoreLower, ATypedEntryTakesPayloadsAndReturnsTheResultOrTheTypedFailure) {
    struct Row {
        uint8_t kind;
        const char* tagStore;  // the parameter's tag stored into its frame slot
    } rows[] = {
        {uint8_t(compile::KnownKind::bool_), "store i64 1, ptr"},
        {uint8_t(compile::KnownKind::int_), "store i64 2, ptr"},
        {compile::kPlainIntKind, "store i64 18, ptr"},
        {uint8_t(compile::KnownKind::float_), "store i64 3, ptr"},
        {uint8_t(compile::KnownKind::list), "store i64 5, ptr"},
    };
    for (const Row& row : rows) {
        Compiler* c = generate();
        ASSERT_NE(c, nullptr) << error;
        auto* kinds = static_cast<uint8_t*>(malloc(1));
        kinds[0] = row.kind;
        ASSERT_NE(c->typedEntries.put(1, compile::TypedEntry{kinds, 1}), nullptr);
        ASSERT_EQ(compile::emitProgramFunction(c, 1 | compile::kTypedEntryBit), Status::ok)
            << std::string(c->message.items ? c->message.items : "", c->message.count);
        EXPECT_EQ(verify(&c->module), "") << int(row.kind);
        std::string ir = functionIr(c, "_t1");
        ASSERT_NE(ir, "") << int(row.kind);
        EXPECT_NE(ir.find("define { i64, i64 } @"), std::string::npos) << ir;
        EXPECT_NE(ir.find("(ptr %0, ptr %1, ptr %2, i64 %3, i64 %4)"), std::string::npos) << ir;
        EXPECT_NE(ir.find(row.tagStore), std::string::npos) << int(row.kind) << "\n" << ir;
        EXPECT_NE(ir.find("4294901761"), std::string::npos) << "the typed failure\n" << ir;
        EXPECT_EQ(countOf(ir, "ret { i64, i64 }"), 3u) << ir;  // return, error, frame lost
        // No argument array: never more arguments than parameters, no dispatch.
        EXPECT_EQ(ir.find("call i1 @wn_varargs("), std::string::npos) << ir;
        EXPECT_EQ(ir.find("entry_typed"), std::string::npos) << ir;
        Compiled::free(state);
        state = nullptr;
    }
}

TEST_F(CoreLower, ATypedEntryWithoutRecordedKindsIsRefused) {
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    EXPECT_EQ(compile::emitProgramFunction(c, 1 | compile::kTypedEntryBit), Status::unsupported);
}

TEST_F(CoreLower, AFrameThatCantBeMadeRaisesMemoryErrorAndNeverStoresThroughNull) {
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    ASSERT_EQ(compile::emitProgramFunction(c, 1), Status::ok);
    std::string ir = functionIr(c, "_f1");
    size_t failed = ir.find("\nframe_failed");
    ASSERT_NE(failed, std::string::npos);
    size_t next = ir.find("\n\n", failed);
    std::string block = ir.substr(failed, next - failed);
    EXPECT_NE(block.find("call i1 @wn_raise("), std::string::npos) << block;
    EXPECT_NE(block.find("br label %frame_lost"), std::string::npos) << block;
    EXPECT_EQ(block.find("store"), std::string::npos) << block;
}

TEST_F(CoreLower, AStrictLanguageRefusesASemanticRunAsPython) {
    Compiler* c = generate(true);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(error.find("strict: runs a semantic as Python (it would run in Python)"),
              std::string::npos)
        << error;
}

TEST_F(CoreLower, AThunkRunsItsNodeAndReturnsTheBridgesStatus) {
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    const char name[] = "wn_test_th1";
    ASSERT_EQ(compile::emitThunk(c, 4, true, -1, name, sizeof name - 1), Status::ok);
    EXPECT_EQ(verify(&c->module), "");
    compile::FunctionRef* f = c->module.functions.find(backend::Text{name, sizeof name - 1});
    ASSERT_NE(f, nullptr);
    std::string ir = irOf(f->function);
    EXPECT_NE(ir.find("define i32 @wn_test_th1(ptr"), std::string::npos) << ir;
    EXPECT_EQ(countOf(ir, "call i32 @wn_py_semantic("), 1u);
    EXPECT_NE(ir.find("ret i32 1"), std::string::npos);  // done
    EXPECT_NE(ir.find("ret i32 0"), std::string::npos);  // failed
    // A jump the semantic makes goes back to the bridge as the thunk's own status.
    EXPECT_NE(ir.find("ret i32 3"), std::string::npos);
    EXPECT_NE(ir.find("ret i32 4"), std::string::npos);
}

compile::Shape strShape(const char* text) {
    compile::Shape s{};
    s.kind = compile::ShapeKind::str;
    s.str.data = text;
    s.str.length = strlen(text);
    return s;
}

compile::Shape nodeShape(uint32_t node) {
    compile::Shape s{};
    s.kind = compile::ShapeKind::node;
    s.node = node;
    return s;
}

std::string messageOf(Compiler* c) {
    return std::string(c->message.items ? c->message.items : "", c->message.count);
}

TEST_F(CoreLower, RtCallsCheckTheirArgumentCountsAndFoldKnownNodes) {
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    toolkit_testing::Function f(c, "rt_calls", 1, {c->module.ptr});
    compile::Shape out{};
    compile::Shape args[2] = {nodeShape(4), nodeShape(3)};
    EXPECT_EQ(compile::emitRtCall(&f.e, nullptr, compile::RtMethod::eval, args, 2, nullptr, 0, &out),
              Status::unsupported);
    EXPECT_EQ(messageOf(c), "rt.eval() takes 1 arguments here");
    EXPECT_EQ(compile::emitRtCall(&f.e, nullptr, compile::RtMethod::break_, args, 1, nullptr, 0,
                                  &out),
              Status::unsupported);
    EXPECT_EQ(messageOf(c), "rt.Break() takes 0 arguments here");
    // rt.Return(value) is a jump made while compiling, with a copy of its value.
    ASSERT_EQ(compile::emitRtCall(&f.e, nullptr, compile::RtMethod::return_, args, 1, nullptr, 0,
                                  &out),
              Status::ok);
    EXPECT_EQ(out.kind, compile::ShapeKind::control);
    ASSERT_NE(out.control.argument, nullptr);
    EXPECT_EQ(out.control.argument->node, 4u);
    // A known node's span is a constant of its stored offsets.
    ASSERT_EQ(compile::emitRtCall(&f.e, nullptr, compile::RtMethod::span, args, 1, nullptr, 0, &out),
              Status::ok);
    ASSERT_EQ(out.kind, compile::ShapeKind::tuple);
    EXPECT_EQ(out.tuple.items[0].int_, 11);
    EXPECT_EQ(out.tuple.items[1].int_, 19);
    // An int is no node known while compiling.
    compile::Shape five{};
    five.kind = compile::ShapeKind::int_;
    five.int_ = 5;
    EXPECT_EQ(compile::emitRtCall(&f.e, nullptr, compile::RtMethod::kind, &five, 1, nullptr, 0, &out),
              Status::unsupported);
    EXPECT_EQ(messageOf(c), "a node only known at run time can't be used here");
}

TEST_F(CoreLower, RtErrorFailsAtItsNodeAndAnErrorWithACodeIsLeftToPython) {
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    toolkit_testing::Function f(c, "rt_error", 1, {c->module.ptr});
    f.e.errorTarget = nullptr;
    compile::Shape out{};
    compile::Shape args[2] = {nodeShape(4), strShape("no good")};
    compile::Shape code = strShape("E42");
    // wn_fail carries no code: the reference mode's Error would have it.
    EXPECT_EQ(compile::emitRtCall(&f.e, nullptr, compile::RtMethod::error, args, 2, nullptr, 0,
                                  &out, &code),
              Status::unsupported);
    EXPECT_NE(messageOf(c).find("rt.error with a code"), std::string::npos) << messageOf(c);
    llvmapi::BasicBlockRef exit =
        llvmapi::table.LLVMAppendBasicBlockInContext(c->module.context, f.fn, "exit");
    f.e.errorTarget = exit;
    ASSERT_EQ(compile::emitRtCall(&f.e, nullptr, compile::RtMethod::error, args, 2, nullptr, 0,
                                  &out),
              Status::ok);
    std::string ir = f.ir();
    EXPECT_NE(ir.find("call i1 @wn_fail(ptr %0, i32 4,"), std::string::npos) << ir;
    compile::Shape runTime = strShape("x");
    runTime.kind = compile::ShapeKind::py;
    runTime.py = Py_None;
    compile::Shape late[2] = {nodeShape(4), runTime};
    toolkit_testing::Function g(c, "rt_error_late", 1, {c->module.ptr});
    EXPECT_EQ(compile::emitRtCall(&g.e, nullptr, compile::RtMethod::error, late, 2, nullptr, 0,
                                  &out),
              Status::unsupported);
    EXPECT_EQ(messageOf(c), "rt.error's message must be known when compiling (for now)");
}

TEST_F(CoreLower, AFieldOfANodeKnownAtRunTimeIsATableLoadWithTheGenericReadBeside) {
    nodes::Name fields[2] = {{"params", 6}, {"body", 4}};
    nodes::Name kindNames[4] = {{"Root", 4}, {"Fn", 2}, {"Stmt", 4}, {"Param", 5}};
    uint8_t actions[4] = {};
    ptree::GrammarInfo grammar{};
    grammar.kindCount = 4;
    grammar.kindNames = kindNames;
    grammar.actions = actions;
    grammar.fieldCount = 2;
    grammar.fields = fields;
    tree.index.grammar = &grammar;
    Compiler* c = generate();
    ASSERT_NE(c, nullptr) << error;
    toolkit_testing::Function f(c, "node_fields", 1, {c->module.ptr, c->module.ptr});
    llvmapi::BasicBlockRef exit =
        llvmapi::table.LLVMAppendBasicBlockInContext(c->module.context, f.fn, "exit");
    ASSERT_EQ(f.e.builder.blocks.push(exit), true);
    f.e.errorTarget = exit;
    compile::Operand node = compile::loadOperand(&f.e, f.param(1), compile::KnownKind::unknown);
    compile::Operand got{};
    ASSERT_EQ(compile::emitNodeField(&f.e, 4, node, front::Text{"body", 4}, &got), Status::ok);
    ASSERT_EQ(compile::emitNodeField(&f.e, 4, node, front::Text{"kind", 4}, &got), Status::ok);
    ASSERT_EQ(compile::emitNodeField(&f.e, 4, node, front::Text{"other", 5}, &got), Status::ok);
    std::string ir = f.ir();
    for (const char* block : {"field_node", "field_known", "field_other", "field_got", "kind_node",
                              "kind_other", "kind_got"})
        EXPECT_NE(ir.find(block), std::string::npos) << block;
    EXPECT_EQ(countOf(ir, "phi i64"), 4u);
    // One generic read behind each fast path, and the name that is no label has only that.
    EXPECT_EQ(countOf(ir, "call i1 @wn_getattr("), 3u);
    EXPECT_EQ(verify(&c->module), "");
    tree.index.grammar = nullptr;
}

struct RtName {
    uint8_t id;
    const char* name;
};

TEST(RtMethods, NamesAndIdsGoBothWays) {
    const RtName table[] = {{0, "eval"},   {7, "tail_call"},     {17, "parse"},
                            {23, "wrapping_ushr"}, {37, "i64be"}, {38, "Return"},
                            {40, "Continue"}};
    for (const RtName& row : table) {
        EXPECT_STREQ(compile::rtMethodName(row.id), row.name);
        uint8_t id = 255;
        EXPECT_TRUE(compile::rtMethodByName(row.name, strlen(row.name), &id)) << row.name;
        EXPECT_EQ(id, row.id);
    }
    uint8_t id = 0;
    EXPECT_FALSE(compile::rtMethodByName("receiver", 8, &id));
    EXPECT_FALSE(compile::rtMethodByName("eva", 3, &id));
    // Only the low 6 bits count.
    EXPECT_STREQ(compile::rtMethodName(64 + 9), "kind");
    EXPECT_STREQ(compile::rtMethodName(41), "?");
}

}  // namespace

}  // namespace wuna

