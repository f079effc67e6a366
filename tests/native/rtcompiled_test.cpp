// Variables through compiled code's rt value (scope, load, store over compiled frames, the
// walk to enclosing frames, burial of global function values) and wuna.CompiledRuntime's
// methods and properties, each answering with the reference Runtime's result or its
// exception type and text. A small program stands behind them: its tree, a grammar with
// kind names, the variables as compiled code lays them out, and frames for the global
// scope, a function and a block. Every test leaves the thread's live block count where it
// found it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/helpers/rtobject.h"
#include "wuna/runtime/helpers/rtvars.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using helpers::Ctx;
using value::Value;

constexpr char kScript[] = R"py(
class Return(Exception): pass
class Break(Exception): pass
class Continue(Exception): pass
class TailCall(Exception): pass
class IntegerOverflow(ArithmeticError): pass
class Error(Exception):
    def __init__(self, message, site=None, code=None):
        super().__init__(message)
        self.site = site
        self.code = code
class N:
    def __init__(self, index): self.index = index
    def __repr__(self): return f"N({self.index})"
class Analysis:
    def resolve(self, i): return ("sym", i)
    def type_of(self, i): return "int" if i == 1 else None
def show(f):
    try:
        return repr(f())
    except Exception as e:
        return f"{type(e).__name__}: {e}"
def failure(f):
    try:
        f()
    except Error as e:
        return (str(e), e.site, e.code)
def host_print(*a): return "printed"
hosts = {"p": host_print}
def add(a, b): return a + b
def give5(node, rt): return 5
def brk(node, rt): raise Break()
def cont(node, rt): raise Continue()
def ret7(node, rt): raise Return(7)
def bad(node, rt): raise ValueError("bad value")
def big(node, rt): return 2**70
)py";

// The program: "x y p q w f(a){b} {c}".
//   0 program
//   1 x (a global)          2 y (f's local)         3 p (a builtin)
//   4 q (no symbol)         5 w (a symbol without a slot)
//   6 f(a){b} (a function)  7 a (f's parameter)     8 b (c's block variable, named in f)
//   9 {c} (a block scope)   10 c (the block's variable)
constexpr char kText[] = "x y p q w f(a){b} {c}";
enum Kind : uint32_t { KProgram, KName, KFunc, KBlock };
const nodes::NodeRecord kNodes[] = {
    {0, 21, 10, pargo::layout::makeWord(KProgram, 0)},
    {0, 1, 0, pargo::layout::makeWord(KName, 0)},
    {2, 3, 0, pargo::layout::makeWord(KName, 0)},
    {4, 5, 0, pargo::layout::makeWord(KName, 0)},
    {6, 7, 0, pargo::layout::makeWord(KName, 0)},
    {8, 9, 0, pargo::layout::makeWord(KName, 0)},
    {10, 17, 2, pargo::layout::makeWord(KFunc, 0)},
    {12, 13, 0, pargo::layout::makeWord(KName, 0)},
    {15, 16, 0, pargo::layout::makeWord(KName, 0)},
    {18, 21, 1, pargo::layout::makeWord(KBlock, 0)},
    {19, 20, 0, pargo::layout::makeWord(KName, 0)},
};
constexpr uint32_t kCount = sizeof kNodes / sizeof kNodes[0];
const nodes::Name kKindNames[] = {{"program", 7}, {"name", 4}, {"func", 4}, {"block", 5}};

// Per symbol: the scope whose frame holds it, the rules' scope node, builtin, slot.
struct SymbolRow {
    int32_t frameScope;
    int64_t declared;
    bool builtin;
    int64_t slot;
};
const SymbolRow kSymbols[] = {
    {-1, -1, false, 0},  // 0 x
    {6, 6, false, 0},    // 1 y
    {-1, -1, true, -1},  // 2 p
    {-1, -1, false, -1}, // 3 w: no slot
    {6, 6, false, 1},    // 4 a
    {9, 9, false, 0},    // 5 c
    {9, 9, false, 0},    // 6 b: the block's, named where the block isn't around
};
constexpr int64_t kNodeSymbols[kCount] = {-1, 0, 1, 2, -1, 3, -1, 4, 6, -1, 5};
constexpr int32_t kScopeOf[kCount] = {-1, -1, -1, -1, -1, -1, -1, 6, 6, -1, 9};

int64_t symbolOf(void*, uint32_t node) { return node < kCount ? kNodeSymbols[node] : -1; }
int64_t declaredScope(void*, uint32_t s) { return kSymbols[s].declared; }
bool isBuiltin(void*, uint32_t s) { return kSymbols[s].builtin; }
int32_t frameScope(void*, uint32_t s) { return kSymbols[s].frameScope; }
int32_t scopeOf(void*, uint32_t node) { return node < kCount ? kScopeOf[node] : -1; }
int64_t slotOf(void*, uint32_t s) { return kSymbols[s].slot; }
int64_t layoutSlots(void*, int32_t scope) { return scope == -1 ? 1 : scope == 6 ? 2 : 1; }
bool isBlockScope(void*, uint32_t node) { return node == 9; }
bool isFunctionKind(void*, uint32_t node) { return node == 6; }
char someCode;
int functionOf(void*, uint32_t, bridge::FunctionParts* out) {
    *out = {&someCode, "f", 1, 1};
    return 0;
}
const bridge::ProgramVars kVars = {nullptr,      symbolOf,  declaredScope, isBuiltin,
                                   frameScope,   scopeOf,   slotOf,        layoutSlots,
                                   isBlockScope, isFunctionKind, functionOf};

PyObject* globalsOf = nullptr;

PyObject* script(const char* name) { return PyDict_GetItemString(globalsOf, name); }

PyObject* semanticOf(void*, uint32_t node, bool exec) {
    if (node == 8) return script(exec ? "brk" : "give5");
    if (node == 10) return script(exec ? "cont" : "ret7");
    if (node == 7) return script(exec ? "big" : "bad");
    if (node == 1 && !exec) return script("big");
    return nullptr;
}

PyObject* nodeObject(void*, int64_t index) {
    return PyObject_CallFunction(script("N"), "L", static_cast<long long>(index));
}

// The module's conversion of a node of the running program: the test's N objects.
int nodeValue(PyObject* o, Value* out) {
    if (Py_TYPE(o) != reinterpret_cast<PyTypeObject*>(script("N"))) return 0;
    PyObject* index = PyObject_GetAttrString(o, "index");
    if (!index) return -1;
    long long i = PyLong_AsLongLong(index);
    Py_DECREF(index);
    *out = Value{value::TagNodeIndex, uint64_t(i)};
    return 1;
}

// A function block as ("function", its node, its name); no count is kept.
PyObject* functionTuple(value::Function* f, const helpers::ConversionContext*) {
    return Py_BuildValue("(sKs#)", "function", static_cast<unsigned long long>(f->index),
                         reinterpret_cast<const char*>(f->name->bytes()),
                         Py_ssize_t(f->name->length));
}

PyObject* makeError(void*, int32_t site, const char* text, uint64_t length,
                    const helpers::CallEntry*, uint64_t) {
    return PyObject_CallFunction(script("Error"), "s#i", text, Py_ssize_t(length), site);
}

PyObject* makeCodedError(void*, int32_t site, const char* text, uint64_t length, PyObject* code,
                         const helpers::CallEntry*, uint64_t) {
    return PyObject_CallFunction(script("Error"), "s#iO", text, Py_ssize_t(length), site, code);
}

class RtCompiled : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        gil::ensure(gil::current());
        saved = runtime::hostApi;
        savedHooks = convert::hooks;
        if (!globalsOf) globalsOf = testing_support::runHelpers(kScript);
        ASSERT_NE(globalsOf, nullptr);
        static PyTypeObject* rtType =
            reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&bridge::compiledRuntimeSpec));
        ASSERT_NE(rtType, nullptr);
        runtime::hostApi.compiledRuntimeType = rtType;
        runtime::hostApi.returnClass = script("Return");
        runtime::hostApi.breakClass = script("Break");
        runtime::hostApi.continueClass = script("Continue");
        runtime::hostApi.tailCallClass = script("TailCall");
        runtime::hostApi.integerOverflow = script("IntegerOverflow");
        convert::hooks.hostValue = nodeValue;
        convert::hooks.function = functionTuple;
        // Interned names live for the process: made before the count is taken.
        ASSERT_NE(value::literal("f", 1), nullptr);
        ASSERT_NE(value::literal("g", 1), nullptr);
        start = pool::liveBlocks();

        grammar.kindCount = 4;
        grammar.kindNames = kKindNames;
        tree = nodes::TreeView{kNodes, kCount, kText, sizeof kText - 1, nullptr, nullptr, 0,
                               &grammar, nullptr};
        ctx.conversion = *convert::defaultContext();
        ctx.conversion.node = nodeObject;
        ctx.depthLimit = 5;
        run.tables = &tables;
        run.nodeCount = kCount;
        run.semantic = semanticOf;
        run.tally = &tally;
        run.program = &tree;
        run.vars = &kVars;
        run.error = makeError;
        run.codedError = makeCodedError;
        run.hosts = script("hosts");
        analysis = PyObject_CallNoArgs(script("Analysis"));
        run.analysis = analysis;
        path = PyUnicode_FromString("prog.x");
        run.path = path;
        context = PyUnicode_FromString("ctx!");
        run.context = context;
        ctx.run = &run;
        before = helpers::setCurrentCtx(&ctx);

        // Global frame: x = 1. f's frame: y unset, a = 5, receiver "self", varargs (1, 2).
        // The block's frame: c = [1].
        global = value::newFrame(nullptr, 1);
        global->slots()[0] = Value::integer(1);
        function = value::newFrame(global, 4);
        function->slots()[1] = Value::integer(5);
        function->slots()[2] = text("self");
        PyObject* pair = Py_BuildValue("(ii)", 1, 2);
        ASSERT_EQ(convert::convert(pair, false, &function->slots()[3]), 0);
        Py_DECREF(pair);
        block = value::newFrame(global, 1);
        PyObject* list = Py_BuildValue("[i]", 1);
        ASSERT_EQ(convert::convert(list, false, &block->slots()[0]), 0);
        Py_DECREF(list);
        rt = bridge::newRuntime(&ctx, &function, 6, 8, nullptr);
        ASSERT_NE(rt, nullptr);
    }
    void TearDown() override {
        Py_XDECREF(rt);
        release(function);
        release(block);
        release(global);
        helpers::endCtx(&ctx);
        helpers::setCurrentCtx(before);
        bridge::freeTables(&tables);
        bridge::freeTally(&tally);
        Py_XDECREF(analysis);
        Py_XDECREF(path);
        Py_XDECREF(context);
        runtime::hostApi = saved;
        convert::hooks = savedHooks;
        gil::Record* r = gil::current();
        if (PyErr_Occurred()) {
            ADD_FAILURE() << "a Python error was left pending";
            PyErr_Print();
        }
        testing_support::endRun(r);
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
    }
    static void release(value::Frame* f) {
        if (f) value::releaseCaptured(reinterpret_cast<value::Obj*>(f));
    }
    static Value text(const char* s) {
        return Value::of(value::TagStr, value::newStr(s, std::strlen(s)));
    }
    std::string message() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }
    // Python's text of an expression over rt (the script's show).
    std::string pyShow(const char* expression, const char* helper = "show") {
        PyObject* locals = PyDict_Copy(globalsOf);
        PyDict_SetItemString(locals, "rt", rt);
        std::string code = std::string(helper) + "(lambda: " + expression + ")";
        PyObject* result = PyRun_String(code.c_str(), Py_eval_input, locals, locals);
        Py_DECREF(locals);
        if (!result) {
            PyErr_Print();
            return "<the test's own code failed>";
        }
        PyObject* shown = PyObject_Str(result);
        Py_DECREF(result);
        std::string out = shown ? PyUnicode_AsUTF8(shown) : "?";
        Py_XDECREF(shown);
        return out;
    }
    bridge::RtCallResult rtCall(const char* name, const Value* args, uint64_t n, Value* out) {
        uint64_t tag = uint64_t(value::TagRuntime) | (uint64_t(6) << 32);
        return bridge::rtValueMethod(&ctx, 77, tag, function, name, std::strlen(name), args, n,
                                     out);
    }

    runtime::HostApi saved;
    convert::Hooks savedHooks;
    Ctx ctx{};
    Ctx* before = nullptr;
    helpers::RunRecord run{};
    bridge::ModuleTables tables{};
    bridge::Tally tally{};
    nodes::GrammarView grammar{};
    nodes::TreeView tree{};
    PyObject* analysis = nullptr;
    PyObject* path = nullptr;
    PyObject* context = nullptr;
    value::Frame* global = nullptr;
    value::Frame* function = nullptr;
    value::Frame* block = nullptr;
    PyObject* rt = nullptr;
    int64_t start = 0;
};

Value node(uint32_t n) { return Value{value::TagNodeIndex, n}; }

// ---- rt.scope, rt.load and rt.store on compiled code's rt value ----------------------------

struct VariableCase {
    const char* name;
    uint32_t node;
    bool handled;
    bool ok;
    Value value;          // the result (ok)
    const char* message;  // the failure (handled, not ok)
    int32_t site;
};

class RtValueMethods : public RtCompiled, public ::testing::WithParamInterface<VariableCase> {};

TEST_P(RtValueMethods, AnswerResultAndFailure) {
    const VariableCase& c = GetParam();
    Value args[1] = {node(c.node)};
    Value out{99, 99};
    bridge::RtCallResult answer = rtCall(c.name, args, 1, &out);
    EXPECT_EQ(answer.handled, c.handled);
    EXPECT_EQ(answer.ok, c.ok);
    if (answer.ok) {
        EXPECT_EQ(out.tag, c.value.tag);
        EXPECT_EQ(out.payload, c.value.payload);
        value::decref(out);
    } else {
        EXPECT_EQ(out.tag, 99u) << "a failed or unhandled call leaves the result slot alone";
    }
    if (c.message) {
        EXPECT_EQ(message(), c.message);
        EXPECT_EQ(ctx.site, c.site);
        EXPECT_FALSE(ctx.kindSet) << "the lookup's failures carry no error kind";
    } else {
        EXPECT_FALSE(ctx.failing) << message();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RtValueMethods,
    ::testing::Values(
        VariableCase{"scope", 2, true, true, node(6), nullptr, 0},
        VariableCase{"scope", 1, true, true, Value::none(), nullptr, 0},  // global
        VariableCase{"scope", 3, true, true, Value::none(), nullptr, 0},  // builtin
        VariableCase{"scope", 4, true, true, Value::none(), nullptr, 0},  // no symbol
        VariableCase{"scope", 99, true, true, Value::none(), nullptr, 0}, // past the tree
        // A local of the running function, then a global through the parent link.
        VariableCase{"load", 7, true, true, Value::integer(5), nullptr, 0},
        VariableCase{"load", 1, true, true, Value::integer(1), nullptr, 0},
        VariableCase{"load", 2, true, false, Value::none(), "'y' has no value yet", 2},
        VariableCase{"load", 4, true, false, Value::none(), "'q' is not a variable", 4},
        // A symbol the compiler gave no slot never reads slot 0 in its place.
        VariableCase{"load", 5, true, false, Value::none(), "'w' is not a variable", 5},
        VariableCase{"load", 8, true, false, Value::none(), "'b' isn't reachable from here", 77},
        VariableCase{"load", 3, false, false, Value::none(), nullptr, 0},  // builtin
        VariableCase{"call", 3, false, false, Value::none(), nullptr, 0},
        VariableCase{"store", 1, false, false, Value::none(), nullptr, 0}));  // one argument

TEST_F(RtCompiled, ScopeWithTwoArgumentsOrANonNodeIsNotHandled) {
    Value args[2] = {node(2), node(2)};
    Value out{99, 99};
    EXPECT_FALSE(rtCall("scope", args, 2, &out).handled);
    Value notNode[1] = {Value::integer(2)};
    EXPECT_FALSE(rtCall("load", notNode, 1, &out).handled);
    EXPECT_EQ(out.tag, 99u);
}

TEST_F(RtCompiled, StoreReplacesTheSlotAndReleasesTheOldLocal) {
    PyObject* list = Py_BuildValue("[i]", 1);
    Value held = Value::none();
    ASSERT_EQ(convert::convert(list, false, &held), 0);
    Py_DECREF(list);
    Value args[2] = {node(2), held};
    Value out{};
    ASSERT_TRUE(rtCall("store", args, 2, &out).ok);
    EXPECT_EQ(held.as<value::Obj>()->count, 2u);
    Value next[2] = {node(2), Value::pint(3)};
    ASSERT_TRUE(rtCall("store", next, 2, &out).ok);
    EXPECT_EQ(held.as<value::Obj>()->count, 1u) << "overwriting a local releases the list";
    EXPECT_EQ(function->slots()[0].tag, value::TagInt) << "a plain int is stored as the int";
    value::decref(held);
}

TEST_F(RtCompiled, StoreToAGlobalBuriesAFlaggedFunctionUntilTheRunEnds) {
    value::Function* f = value::newFunction(&someCode, global, 6, value::literal("g", 1), 0, 0);
    ASSERT_NE(f, nullptr);
    f->h.flags |= value::FlagBury;
    global->slots()[0] = Value::of(value::TagFunction, f);  // the slot's reference
    Value args[2] = {node(1), Value::integer(4)};
    Value out{};
    ASSERT_TRUE(rtCall("store", args, 2, &out).ok);
    EXPECT_EQ(f->h.count, 1u) << "code of the function may still run below";
    ASSERT_EQ(ctx.releases.count, 1u);
    EXPECT_EQ(ctx.releases.items[0].payload, uint64_t(uintptr_t(f)));
    // Overwriting the int releases nothing.
    ASSERT_TRUE(rtCall("store", args, 2, &out).ok);
    EXPECT_EQ(ctx.releases.count, 1u);
}

TEST_F(RtCompiled, AFailedStoreChangesNoSlot) {
    Value before = block->slots()[0];
    Value args[2] = {node(8), Value::integer(4)};
    Value out{99, 99};
    EXPECT_FALSE(rtCall("store", args, 2, &out).ok);
    EXPECT_EQ(block->slots()[0].tag, before.tag);
    EXPECT_EQ(block->slots()[0].payload, before.payload);
    EXPECT_EQ(out.tag, 99u);
}

// ---- wuna.CompiledRuntime ---------------------------------------------------------------------

struct MethodCase {
    const char* expression;
    const char* shown;  // repr of the result, or "<class>: <text>" of the exception
};

class RtMethods : public RtCompiled, public ::testing::WithParamInterface<MethodCase> {};

TEST_P(RtMethods, TheReferenceResultOrException) {
    EXPECT_EQ(pyShow(GetParam().expression), GetParam().shown);
    EXPECT_FALSE(ctx.failing) << "a raised failure is cleared from the context: " << message();
}

// The texts are the reference Runtime's (host/interp), for the same program.
INSTANTIATE_TEST_SUITE_P(
    Nodes, RtMethods,
    ::testing::Values(
        MethodCase{"rt.text(N(1))", "'x'"}, MethodCase{"rt.text(N(6))", "'f(a){b}'"},
        MethodCase{"rt.kind(N(6))", "'func'"}, MethodCase{"rt.kind(N(0))", "'program'"},
        MethodCase{"rt.span(N(7))", "(12, 13)"},
        MethodCase{"rt.kind(3)", "TypeError: node must be a node of the program"},
        MethodCase{"rt.kind(N(40))", "TypeError: node must be a node of the program"},
        MethodCase{"rt.kind()", "TypeError: WrongArgumentCount"},
        MethodCase{"rt.text(N(1), N(2))", "TypeError: WrongArgumentCount"},
        MethodCase{"rt.node_at(3)", "N(3)"}, MethodCase{"rt.node_at(-1)", "IndexError: no node -1"},
        MethodCase{"rt.node_at(11)", "IndexError: no node 11"},
        MethodCase{"rt.node_at('3')", "TypeError: a node's index must be an int, not str"},
        MethodCase{"rt.scope(N(2))", "N(6)"}, MethodCase{"rt.scope(N(1))", "None"},
        MethodCase{"rt.scope(N(3))", "None"}, MethodCase{"rt.scope(N(4))", "None"},
        MethodCase{"rt.symbol(N(1))", "('sym', 1)"}, MethodCase{"rt.type_of(N(1))", "'int'"},
        MethodCase{"rt.type_of(N(2))", "None"}));

INSTANTIATE_TEST_SUITE_P(
    Variables, RtMethods,
    ::testing::Values(
        MethodCase{"rt.load(N(7))", "5"}, MethodCase{"rt.load(N(1))", "1"},
        MethodCase{"type(rt.load(N(7))).__name__", "'int'"},
        MethodCase{"rt.load(N(2))", "Error: 'y' has no value yet"},
        MethodCase{"rt.load(N(4))", "Error: 'q' is not a variable"},
        MethodCase{"rt.load(N(5))", "Error: 'w' is not a variable"},
        MethodCase{"rt.load(N(8))", "Error: 'b' isn't reachable from here"},
        MethodCase{"rt.load(N(3)) is host_print", "True"},
        MethodCase{"rt.load('x')", "TypeError: a variable's name must be a node of the program"},
        MethodCase{"(rt.store(N(2), 9), rt.load(N(2)))", "(None, 9)"},
        MethodCase{"(rt.store(N(1), [1, 'a']), rt.load(N(1)))", "(None, [1, 'a'])"},
        MethodCase{"rt.store(N(3), 1)", "Error: can't assign to the builtin 'p'"},
        MethodCase{"rt.store(N(4), 1)", "Error: 'q' is not a variable"},
        MethodCase{"rt.store(N(2))", "TypeError: WrongArgumentCount"}));

INSTANTIATE_TEST_SUITE_P(
    Running, RtMethods,
    ::testing::Values(
        MethodCase{"rt.eval(7)", "7"}, MethodCase{"rt.eval('s')", "'s'"},
        MethodCase{"rt.exec(7)", "None"}, MethodCase{"rt.loop(7)", "True"},
        MethodCase{"rt.eval(N(8))", "5"}, MethodCase{"rt.eval([N(8), 2, (N(8),)])", "[5, 2, [5]]"},
        MethodCase{"rt.exec([N(7)] * 0)", "None"},
        MethodCase{"rt.exec(N(8))", "Break: "}, MethodCase{"rt.exec(N(10))", "Continue: "},
        MethodCase{"rt.eval(N(10))", "Return: 7"},
        MethodCase{"rt.loop(N(8))", "False"}, MethodCase{"rt.loop(N(10))", "True"},
        MethodCase{"rt.loop([N(8), N(10)])", "False"}, MethodCase{"rt.loop([N(10), N(8)])", "True"},
        MethodCase{"rt.loop([7, 8])", "True"},
        // A semantic's exception reaches the semantic above as the run's Error, and a big
        // int its value can't be, as in the reference mode.
        MethodCase{"rt.eval(N(7))", "Error: bad value"},
        MethodCase{"rt.eval([N(8), N(7)])", "Error: bad value"},
        MethodCase{"rt.exec(N(7))", "None"},
        MethodCase{"rt.eval(N(1))", "Error: integer overflow"}));

INSTANTIATE_TEST_SUITE_P(
    Calls, RtMethods,
    ::testing::Values(
        MethodCase{"rt.call(add, [1, 2])", "3"}, MethodCase{"rt.call(add, (1, 2))", "3"},
        MethodCase{"rt.call(f=add, args=['a', 'b'])", "'ab'"},
        MethodCase{"rt.call(add, [1])",
                   "Error: add: TypeError: add() missing 1 required positional argument: 'b'"},
        MethodCase{"rt.call(3, [1])", "Error: 'int' value is not callable"},
        MethodCase{"rt.call(add, 5)", "TypeError: 'int' object is not iterable"},
        MethodCase{"rt.call()", "TypeError: call() missing required argument 'f'"},
        MethodCase{"rt.call(add, [], x=1)", "TypeError: call() got an unexpected keyword argument 'x'"},
        MethodCase{"rt.tail_call(add, [1, 2])", "Return: 3"},
        // The receiver is the first argument a host function sees; None is no receiver.
        MethodCase{"rt.call(add, ['b'], receiver='a')", "'ab'"},
        MethodCase{"rt.call(add, ['a', 'b'], receiver=None)", "'ab'"},
        MethodCase{"rt.tail_call(add, [2], 1)", "Return: 3"},
        MethodCase{"rt.function(N(1))", "Error: name isn't a function kind (Language.function)"},
        MethodCase{"rt.function(N(6))", "('function', 6, 'f')"},
        MethodCase{"rt.fresh(N(9))", "Error: rt.fresh(): this scope isn't the one being run"},
        MethodCase{"rt.fresh(N(6))", "None"}));

INSTANTIATE_TEST_SUITE_P(
    Errors, RtMethods,
    ::testing::Values(
        MethodCase{"rt.error(N(1), 'boom')", "Error: boom"},
        MethodCase{"rt.error(N(1), 5)", "TypeError: message must be a str"},
        MethodCase{"rt.error(N(1), 'm', 5)", "TypeError: code must be a str"},
        MethodCase{"rt.error('x', 'm')", "TypeError: node must be a node of the program"},
        MethodCase{"rt.error(N(1))", "TypeError: error() missing required argument 'message'"}));

INSTANTIATE_TEST_SUITE_P(
    Data, RtMethods,
    ::testing::Values(
        MethodCase{"rt.wrapping_add(2**63 - 1, 1)", "-9223372036854775808"},
        MethodCase{"rt.wrapping_ushr(-1, 60)", "15"},
        MethodCase{"rt.wrapping_add(1)", "TypeError: WrongArgumentCount"},
        MethodCase{"rt.wrapping_mul(1.5, 2)", "TypeError: rt.wrapping_mul() takes ints of 64 bits"},
        MethodCase{"rt.u16be(b'\\x01\\x02', 0)", "258"}, MethodCase{"rt.i8(b'\\xff', 0)", "-1"},
        MethodCase{"rt.parse(1, 'x')",
                   "RuntimeError: rt.parse needs the wuna module"}));

INSTANTIATE_TEST_SUITE_P(
    Properties, RtMethods,
    ::testing::Values(MethodCase{"rt.receiver", "'self'"}, MethodCase{"rt.varargs", "(1, 2)"},
                      MethodCase{"rt.path", "'prog.x'"}, MethodCase{"rt.context", "'ctx!'"},
                      MethodCase{"rt.Return is Return", "True"},
                      MethodCase{"rt.Break is Break and rt.Continue is Continue", "True"},
                      MethodCase{"type(rt).__name__", "'CompiledRuntime'"},
                      MethodCase{"type(rt).__module__", "'wuna'"}));

// The failure of rt.error is at its node (None: the rt's own), and the Error carries the
// code as the reference mode's does.
TEST_F(RtCompiled, ErrorIsAtItsNodeAndPassesItsCodeOn) {
    EXPECT_EQ(pyShow("rt.error(N(1), 'boom', code='E1')", "failure"), "('boom', 1, 'E1')");
    EXPECT_EQ(pyShow("rt.error(None, 'boom')", "failure"), "('boom', 8, None)");
    EXPECT_EQ(pyShow("rt.error(node=N(2), message='m', code=None)", "failure"), "('m', 2, None)");
}

// As in the reference mode, a variable's failures are at its name, not at the rt's node.
TEST_F(RtCompiled, VariableFailuresAreAtTheName) {
    EXPECT_EQ(pyShow("rt.load(N(8))", "failure"), "(\"'b' isn't reachable from here\", 8, None)");
    EXPECT_EQ(pyShow("rt.store(N(4), 1)", "failure"), "(\"'q' is not a variable\", 4, None)");
    EXPECT_EQ(pyShow("rt.load(N(2))", "failure"), "(\"'y' has no value yet\", 2, None)");
}

TEST_F(RtCompiled, AnErrorRecordedFirstWinsOverALaterOne) {
    helpers::fail(&ctx, 3, "first", 5);
    EXPECT_EQ(pyShow("rt.error(N(1), 'second', code='E')", "failure"), "('first', 3, None)");
}

// type() of compiled code's rt value names the CompiledRuntime, whatever scope its tag
// word carries in its high half.
TEST_F(RtCompiled, AnRtValueIsNamedCompiledRuntime) {
    for (uint64_t scope : {uint64_t(0), uint64_t(6), uint64_t(0xFFFFFFFFu)}) {
        Value v{uint64_t(value::TagRuntime) | (scope << 32), uint64_t(uintptr_t(function))};
        EXPECT_EQ(value::typeName(v), "CompiledRuntime") << scope;
    }
    EXPECT_EQ(pyShow("type(rt) is not type(None)"), "True");
}

TEST_F(RtCompiled, ReceiverAndVarargsAreAbsentOutsideAFunction) {
    Py_DECREF(rt);
    rt = bridge::newRuntime(&ctx, &block, 9, 10, nullptr);
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(pyShow("(rt.receiver, rt.varargs)"), "(None, ())");
    EXPECT_EQ(pyShow("rt.load(N(10))"), "[1]");
}

// rt.fresh on the block being run: later closures get a new frame (same parent, slots
// unset), and what was made before keeps the old one.
TEST_F(RtCompiled, FreshGivesTheBlockANewFrame) {
    Py_DECREF(rt);
    rt = bridge::newRuntime(&ctx, &block, 9, 10, nullptr);
    ASSERT_NE(rt, nullptr);
    value::Frame* old = block;
    old->h.count++;  // as a closure made before would hold it
    EXPECT_EQ(pyShow("rt.fresh(N(9))"), "None");
    EXPECT_NE(block, old);
    EXPECT_EQ(block->parent, global);
    EXPECT_EQ(block->slots()[0].tag, value::TagUnset);
    EXPECT_EQ(old->h.count, 1u);
    EXPECT_EQ(pyShow("rt.load(N(10))"), "Error: 'c' has no value yet");
    release(old);
}

TEST_F(RtCompiled, AnRtWhoseSemanticReturnedRefusesAllButTheJumpClasses) {
    reinterpret_cast<bridge::RuntimeObject*>(rt)->ctx = nullptr;
    const char* dead = "RuntimeError: this rt belongs to a semantic that has returned";
    for (const char* e : {"rt.text(N(1))", "rt.load(N(1))", "rt.u8(b'a', 0)", "rt.parse(1, 'x')",
                          "rt.wrapping_add(1, 2)", "rt.call(add, [1, 2])", "rt.receiver",
                          "rt.path", "rt.error(None, 'm')"})
        EXPECT_EQ(pyShow(e), dead) << e;
    EXPECT_EQ(pyShow("(rt.Return, rt.Break, rt.Continue) == (Return, Break, Continue)"), "True");
}

TEST_F(RtCompiled, MethodsAndPropertiesAreTheReferenceRuntimes) {
    EXPECT_EQ(
        pyShow("sorted(n for n in dir(rt) if not n.startswith('_'))"),
        "['Break', 'Continue', 'Return', 'Throw', 'call', 'context', 'error', 'eval', 'exec', "
        "'fresh', 'function', 'i16be', 'i16le', 'i32be', 'i32le', 'i64be', 'i64le', 'i8', "
        "'kind', 'load', 'loop', 'node_at', 'parse', 'path', 'receiver', 'scope', 'span', "
        "'store', 'symbol', 'tail_call', 'text', 'type_of', 'u16be', 'u16le', 'u32be', 'u32le', "
        "'u64be', 'u64le', 'u8', 'varargs', 'wrapping_add', 'wrapping_mul', 'wrapping_shl', "
        "'wrapping_shr', 'wrapping_sub', 'wrapping_ushr']");
}

}  // namespace

}  // namespace wuna
