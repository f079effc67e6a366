// The call lowering over functions read by the front end: the compile errors of calls that
// do not fit their callee (each beside the TypeError Python raises for the same call, which is
// what the semantic then gives, run as Python), a fitting call bound rather than reported,
// the direct path of a program function value (its run-time test, the call-stack entry, the
// generic entry, the fallback to wn_call and the tail-call resolution), the generic wn_call
// and wn_call_plain roads with the array lent and released, wn_call_seq, print at the call
// site, and calls of Python objects at run time (refused in a strict language, exception
// classes built by the runtime with their kind).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/codegen/calls_shared.h"
#include "compiler/front/cache.h"
#include "tests/native/front_modules.h"
#include "tests/native/toolkit_support.h"

namespace wuna::compile {

namespace {

using toolkit_testing::countOf;
using toolkit_testing::verify;
const llvmapi::Table& T = llvmapi::table;

constexpr char kSource[] = R"PY(
import dataclasses


@dataclasses.dataclass
class R:
    x: int
    y: int = 2


def f(a, b):
    return a


def g(a, b=2):
    return a


def caller(node, rt):
    return f(node, rt)


seen = []


def table(n):
    seen.append(n)
    return n * 10


table.__wuna_comptime__ = True


def generated(n):
    yield n


generated.__wuna_comptime__ = True
)PY";

constexpr uint32_t kScope = 7;
constexpr int32_t kSite = 5;

class CallsTest : public testing_support::WithModule<::testing::Test> {
protected:
    CallsTest() : WithModule(kSource) {}
    void SetUp() override {
        WithModule::SetUp();
        if (!llvmapi::loaded()) {
            ASSERT_NE(llvmapi::adopt(backend_testing::engine(), nullptr), nullptr);
        }
        ASSERT_EQ(newModule(&compiler_), Status::ok);
    }
    static Shape intShape(int64_t v) {
        Shape s{};
        s.kind = ShapeKind::int_;
        s.int_ = v;
        return s;
    }
public:
    // An emitter over a new function (ctx, tag, payload, tag, payload) whose error target
    // returns false, with the caller's semantic open.
    struct Emitting {
        toolkit_testing::Function f;
        Semantic* s;
        Emitting(Compiler* c, front::FunctionIR* caller, const char* name)
            : f(c, name, kScope,
                {c->module.ptr, c->module.i64, c->module.i64, c->module.i64, c->module.i64}) {
            llvmapi::BasicBlockRef error =
                T.LLVMAppendBasicBlockInContext(f.m->context, f.fn, "error");
            llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(f.m->context);
            T.LLVMPositionBuilderAtEnd(b, error);
            T.LLVMBuildRet(b, T.LLVMConstInt(f.m->i1, 0, 0));
            T.LLVMDisposeBuilder(b);
            f.e.errorTarget = error;
            s = newSemantic(c, caller, 0, kSite);
            EXPECT_TRUE(f.e.semantics.push(s));
        }
        ~Emitting() { endSemantic(s); }
        Emitting(const Emitting&) = delete;
        Emitting& operator=(const Emitting&) = delete;
        Operand param(unsigned first, int32_t node = kNoFunctionNode) {
            Operand o{};
            o.tag = f.param(first);
            o.payload = f.param(first + 1);
            o.functionNode = node;
            o.kind = KnownKind::unknown;
            return o;
        }
    };
protected:
    std::string tail() const {
        std::string text = message();
        size_t at = text.find("(): ");
        return at == std::string::npos ? text : text.substr(at + 4);
    }
    // The text of the TypeError Python raises for f(*args, **keywords).
    std::string pythonText(const char* name, std::vector<int> args,
                           std::vector<std::pair<const char*, int>> keywords) {
        PyObject* tuple = PyTuple_New(Py_ssize_t(args.size()));
        for (size_t i = 0; i < args.size(); i++)
            PyTuple_SET_ITEM(tuple, Py_ssize_t(i), PyLong_FromLong(args[i]));
        PyObject* kw = PyDict_New();
        for (auto& [k, v] : keywords) {
            PyObject* value = PyLong_FromLong(v);
            PyDict_SetItemString(kw, k, value);
            Py_DECREF(value);
        }
        PyObject* result = PyObject_Call(global(name), tuple, kw);
        Py_DECREF(tuple);
        Py_DECREF(kw);
        EXPECT_EQ(result, nullptr);
        Py_XDECREF(result);
        EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
        return backend_testing::takeError();
    }
};

// One call that does not fit f(a, b): what compiling it writes after the location prefix, and
// what Python raises when the semantic runs as Python.
struct Misfit {
    const char* label;
    std::vector<int> args;
    std::vector<std::pair<const char*, int>> keywords;
    const char* compiled;
    const char* python;
};

const Misfit kMisfits[] = {
    {"too_many_with_keyword", {1, 2, 3}, {{"b", 4}}, "f() takes 2 arguments",
     "f() got multiple values for argument 'b'"},
    {"too_many", {1, 2, 3}, {}, "f() called with 3 arguments, takes 2 to 2",
     "f() takes 2 positional arguments but 3 were given"},
    {"too_few", {1}, {}, "f() called with 1 arguments, takes 2 to 2",
     "f() missing 1 required positional argument: 'b'"},
    {"too_few_by_keyword", {}, {{"b", 2}}, "f() missing its argument a",
     "f() missing 1 required positional argument: 'a'"},
    {"unknown_keyword", {1}, {{"c", 3}}, "f() has no parameter c",
     "f() got an unexpected keyword argument 'c'"},
    {"duplicate_argument", {1}, {{"a", 2}}, "f() given a twice",
     "f() got multiple values for argument 'a'"},
};

class CallErrors : public CallsTest, public ::testing::WithParamInterface<Misfit> {};

TEST_P(CallErrors, AreCompileErrorsAndPythonRaisesItsOwnText) {
    const Misfit& m = GetParam();
    Emitter e{};
    e.compiler = &compiler_;
    Semantic* s = newSemantic(&compiler_, front("caller"), 0, kSite);
    ASSERT_NE(s, nullptr);
    std::vector<Shape> args;
    for (int v : m.args) args.push_back(intShape(v));
    std::vector<front::Keyword> keywords;
    std::vector<Shape> values;
    for (auto& [name, v] : m.keywords) {
        keywords.push_back(front::Keyword{front::Text{name, strlen(name)}, nullptr});
        values.push_back(intShape(v));
    }
    Shape out;
    Status status = callPython(&e, s, global("f"), args.data(), uint32_t(args.size()),
                               keywords.data(), uint32_t(keywords.size()), values.data(),
                               front::makePosition(11, 12), &out);
    EXPECT_EQ(status, Status::unsupported) << message();
    EXPECT_EQ(tail(), m.compiled) << message();
    EXPECT_EQ(pythonText("f", m.args, m.keywords), m.python);
    endSemantic(s);
    freeInlineState(&e.inlining);
}

INSTANTIATE_TEST_SUITE_P(Calls, CallErrors, ::testing::ValuesIn(kMisfits),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(CallsTest, KeywordErrorsAreReportedAtTheCallInTheCallingFunction) {
    Emitter e{};
    e.compiler = &compiler_;
    Semantic* s = newSemantic(&compiler_, front("caller"), 0, kSite);
    Shape one = intShape(1);
    front::Keyword c{front::Text{"c", 1}, nullptr};
    Shape three = intShape(3);
    Shape out;
    ASSERT_EQ(callPython(&e, s, global("f"), &one, 1, &c, 1, &three, front::makePosition(11, 12),
                         &out),
              Status::unsupported);
    std::string text = message();
    EXPECT_NE(text.find(":11:12: in caller(): f() has no parameter c"), std::string::npos) << text;
    endSemantic(s);
}

// A call that fits binds its arguments, defaults filled in from __defaults__; only a misfit
// reports the arity error.
TEST_F(CallsTest, AFittingCallBindsItsArgumentsAndTheDefaults) {
    InlineState state{};
    Shape one = intShape(1);
    CallPlan plan{};
    ASSERT_EQ(callPythonFunction(&compiler_, &state, front("g"), 0, &one, 1, &plan), Status::ok)
        << message();
    ASSERT_EQ(plan.count, 2u);
    EXPECT_EQ(plan.arguments[0].kind, ShapeKind::int_);
    EXPECT_EQ(plan.arguments[1].kind, ShapeKind::pint);
    EXPECT_EQ(plan.arguments[1].int_, 2);
    Shape two[2] = {intShape(1), intShape(2)};
    ASSERT_EQ(callPythonFunction(&compiler_, &state, front("f"), 0, two, 2, &plan), Status::ok)
        << message();
    EXPECT_EQ(plan.count, 2u);
    EXPECT_EQ(plan.arguments, two) << "a call that fits as given keeps its array";
    freeInlineState(&state);
}

TEST_F(CallsTest, AProgramFunctionValueIsCalledDirectlyBehindARunTimeTest) {
    Emitting em(&compiler_, front("caller"), "t_direct");
    Operand callee = em.param(1, 5);
    Operand argument = em.param(3);
    llvmapi::ValueRef array = valueSlot(&em.f.e);
    llvmapi::ValueRef ok, tag, payload;
    ASSERT_EQ(emitFunctionValueCall(&em.f.e, em.s, callee, array, &argument, 1,
                                    T.LLVMConstNull(compiler_.module.ptr), &ok, &tag, &payload),
              Status::ok);
    std::string ir = em.f.ir();
    for (const char* block : {"call_is_fn", "call_direct", "call_generic", "call_done",
                              "call_tail", "call_other_result", "call_result"})
        EXPECT_NE(ir.find(block), std::string::npos) << block << "\n" << ir;
    EXPECT_NE(ir.find("icmp eq i64 %1, 9"), std::string::npos) << "the function tag\n" << ir;
    EXPECT_NE(ir.find("@llvm.frameaddress"), std::string::npos) << ir;
    EXPECT_NE(ir.find("call i1 @t_f5("), std::string::npos) << "the generic entry\n" << ir;
    EXPECT_EQ(countOf(ir, "call i1 @wn_call("), 1u) << "the fallback\n" << ir;
    EXPECT_EQ(ir.find("wn_call_plain"), std::string::npos) << ir;
    EXPECT_NE(ir.find("@wn_tail_resolve("), std::string::npos) << ir;
    EXPECT_NE(ir.find(", 4294901762"), std::string::npos) << "the pending tail call\n" << ir;
    EXPECT_NE(ir.find("store i32 5"), std::string::npos) << "the call-stack entry's site\n" << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
}

// A function whose parameter is declared an int: an argument of unknown kind is tested at run
// time, and takes the typed entry (payloads only, an int result in registers) or the generic
// one.
// The IR of a direct call of node 5, declared to take one int, with an argument of the kind.
std::string typedCallIr(Compiler* c, front::FunctionIR* caller, KnownKind kind) {
    auto* kinds = static_cast<uint8_t*>(malloc(1));
    kinds[0] = uint8_t(KnownKind::int_);
    EXPECT_NE(c->typedEntries.put(5, TypedEntry{kinds, 1}), nullptr);
    CallsTest::Emitting em(c, caller, "t_typed");
    Operand callee = em.param(1, 5);
    Operand argument = em.param(3);
    argument.kind = kind;
    llvmapi::ValueRef array = valueSlot(&em.f.e);
    llvmapi::ValueRef ok, tag, payload;
    EXPECT_EQ(emitFunctionValueCall(&em.f.e, em.s, callee, array, &argument, 1,
                                    T.LLVMConstNull(c->module.ptr), &ok, &tag, &payload),
              Status::ok);
    std::string ir = em.f.ir();
    EXPECT_EQ(verify(&c->module), "");
    return ir;
}

// A function whose parameter is declared an int: an argument of unknown kind is tested at run
// time, and takes the typed entry (payloads only, an int result in registers) or the generic
// one.
TEST_F(CallsTest, ADeclaredIntParameterTakesTheTypedEntryWhenTheTagAgrees) {
    std::string ir = typedCallIr(&compiler_, front("caller"), KnownKind::unknown);
    for (const char* block : {"call_typed", "call_entry", "call_entered", "call_typed_int",
                              "call_typed_other"})
        EXPECT_NE(ir.find(block), std::string::npos) << block << "\n" << ir;
    // A checked int's tag: a plain int (18) would lose its widening in the typed entry.
    EXPECT_NE(ir.find("icmp eq i64 %3, 2\n"), std::string::npos) << "the argument's int test\n"
                                                                << ir;
    EXPECT_NE(ir.find("@t_t5(ptr %0, ptr "), std::string::npos) << ir;
    EXPECT_NE(ir.find(", i64 %4)"), std::string::npos) << "the payload alone\n" << ir;
    EXPECT_NE(ir.find("call i1 @t_f5("), std::string::npos) << ir;
    EXPECT_NE(ir.find(", 4294901761"), std::string::npos) << "the typed failure\n" << ir;
}

TEST_F(CallsTest, AnArgumentKnownToBeOfAnotherKindTakesNoTypedEntry) {
    std::string ir = typedCallIr(&compiler_, front("caller"), KnownKind::str);
    EXPECT_EQ(ir.find("call_typed"), std::string::npos) << ir;
    EXPECT_NE(ir.find("call i1 @t_f5("), std::string::npos) << ir;
}

// A value borrowed from a global (no tree: every symbol is a global) stays live across a call
// that runs the program's code without a helper; the callee may rebind the global, so the
// borrow must own its value before the call. The IR before the call's instruction.
std::string beforeCall(const std::string& ir, const char* call) {
    size_t at = ir.find(call);
    EXPECT_NE(at, std::string::npos) << call << "\n" << ir;
    return ir.substr(0, at);
}

TEST_F(CallsTest, ADirectCallMakesTheBorrowsOfGlobalsOwnersFirst) {
    for (bool typed : {false, true}) {
        if (typed) {
            auto* kinds = static_cast<uint8_t*>(malloc(1));
            kinds[0] = uint8_t(KnownKind::int_);
            ASSERT_NE(compiler_.typedEntries.put(5, TypedEntry{kinds, 1}), nullptr);
        }
        Emitting em(&compiler_, front("caller"), typed ? "t_owns_typed" : "t_owns");
        Operand live;
        ASSERT_EQ(borrowOperand(&em.f.e, em.param(3), 3, &live), Status::ok);
        Operand callee = em.param(1, 5);
        Operand argument = constantOperand(&em.f.e, 2, 7, KnownKind::int_);
        llvmapi::ValueRef array = valueSlot(&em.f.e);
        llvmapi::ValueRef ok, tag, payload;
        ASSERT_EQ(emitFunctionValueCall(&em.f.e, em.s, callee, array, &argument, 1,
                                        T.LLVMConstNull(compiler_.module.ptr), &ok, &tag,
                                        &payload),
                  Status::ok);
        std::string ir = em.f.ir();
        const char* call = typed ? "@t_t5(" : "call i1 @t_f5(";
        EXPECT_NE(beforeCall(ir, call).find("borrow_take"), std::string::npos) << ir;
        EXPECT_EQ(verify(&compiler_.module), "");
    }
}

TEST_F(CallsTest, AnEntryCellCallMakesTheBorrowsOfGlobalsOwnersFirst) {
    Emitting em(&compiler_, front("caller"), "t_cell_owns");
    Operand live;
    ASSERT_EQ(borrowOperand(&em.f.e, em.param(3), 3, &live), Status::ok);
    Shape callee{};
    callee.kind = ShapeKind::py;
    callee.py = global("f");
    // Three arguments to f(a, b): a misfit, so never inlined; its entry cell is called.
    Shape items[3] = {intShape(1), intShape(2), intShape(3)};
    Shape args{};
    args.kind = ShapeKind::tuple;
    args.tuple.items = items;
    args.tuple.count = 3;
    Shape out;
    ASSERT_EQ(callKnown(&em.f.e, em.s, &callee, &args, nullptr, true, &out), Status::ok)
        << message();
    std::string ir = em.f.ir();
    EXPECT_NE(beforeCall(ir, "call i32 %").find("borrow_take"), std::string::npos) << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
}

// Locals spilled to the frame (the rt value handed out reads and writes them there) are read
// back after every call that runs program code: the typed entry and the tail call resolved
// after a direct call too. The IR from the call to the end of its block.
std::string afterCall(const std::string& ir, const char* call, const char* next) {
    size_t at = ir.find(call);
    EXPECT_NE(at, std::string::npos) << call << "\n" << ir;
    if (at == std::string::npos) return "";
    return ir.substr(at, ir.find(next, at) - at);
}

TEST_F(CallsTest, SpilledLocalsAreReadBackAfterTheTypedEntryAndTheTailCall) {
    auto* kinds = static_cast<uint8_t*>(malloc(1));
    kinds[0] = uint8_t(KnownKind::int_);
    ASSERT_NE(compiler_.typedEntries.put(5, TypedEntry{kinds, 1}), nullptr);
    Emitting em(&compiler_, front("caller"), "t_spilled");
    Emitter* e = &em.f.e;
    e->ownFrame = valueSlot(e);
    llvmapi::ValueRef local = valueSlot(e);
    ASSERT_TRUE(e->typedLocals.push(TypedLocal{local, 1}));
    e->modes.localsSpilled = 1;
    Operand callee = em.param(1, 5);
    Operand argument = em.param(3);
    llvmapi::ValueRef array = valueSlot(e);
    llvmapi::ValueRef ok, tag, payload;
    ASSERT_EQ(emitFunctionValueCall(e, em.s, callee, array, &argument, 1,
                                    T.LLVMConstNull(compiler_.module.ptr), &ok, &tag, &payload),
              Status::ok);
    EXPECT_EQ(e->modes.localsSpilled, 0u);
    std::string ir = em.f.ir();
    EXPECT_NE(afterCall(ir, "@t_t5(", "\n\n").find("load i64"), std::string::npos)
        << ir;
    EXPECT_NE(afterCall(ir, "@wn_tail_resolve(", "\n\n").find("load i64"),
              std::string::npos)
        << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
}

struct Generic {
    bool plain;
    const char* helper;
};

class GenericCalls : public CallsTest, public ::testing::WithParamInterface<Generic> {};

TEST_P(GenericCalls, LendTheArgumentsAndReleaseThemBeforeTheTest) {
    Emitting em(&compiler_, front("caller"), "t_generic");
    Shape callee = dynShape(em.param(1, 5));  // no tree: the node can't be checked
    Shape items[2] = {dynShape(em.param(3)), intShape(7)};
    Shape args{};
    args.kind = ShapeKind::tuple;
    args.tuple.items = items;
    args.tuple.count = 2;
    Shape out;
    ASSERT_EQ(callKnown(&em.f.e, em.s, &callee, &args, nullptr, GetParam().plain, &out),
              Status::ok)
        << message();
    EXPECT_EQ(out.kind, ShapeKind::dyn);
    std::string ir = em.f.ir();
    std::string call = std::string("call i1 @") + GetParam().helper + "(ptr %0, i32 5, i64 %1, i64 %2, ptr ";
    EXPECT_NE(ir.find(call), std::string::npos) << ir;
    EXPECT_NE(ir.find(", i64 2, ptr null, ptr"), std::string::npos) << "two arguments, no receiver\n" << ir;
    EXPECT_EQ(ir.find("call_direct"), std::string::npos) << ir;
    // The run-time argument and the callee are released after the call, before the test.
    size_t helper = ir.find(call);
    size_t test = ir.find("br i1", helper);
    EXPECT_GE(countOf(ir.substr(helper, test - helper), "@wn_dec("), 2u) << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
}

INSTANTIATE_TEST_SUITE_P(Calls, GenericCalls,
                         ::testing::Values(Generic{true, "wn_call_plain"}, Generic{false, "wn_call"}),
                         [](const auto& info) { return std::string(info.param.helper); });

TEST_F(CallsTest, ARunTimeArgumentSequenceGoesThroughCallSeq) {
    Emitting em(&compiler_, front("caller"), "t_seq");
    Shape callee = dynShape(em.param(1));
    Shape sequence = dynShape(em.param(3));
    Shape out;
    ASSERT_EQ(callKnown(&em.f.e, em.s, &callee, &sequence, nullptr, true, &out), Status::ok)
        << message();
    std::string ir = em.f.ir();
    EXPECT_NE(ir.find("call i1 @wn_call_seq(ptr %0, i32 5, i64 %1, i64 %2, i64 %3, i64 %4, ptr null"),
              std::string::npos)
        << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
}

TEST_F(CallsTest, PrintWithoutArgumentsWritesTheLineThroughOneHelper) {
    Emitting em(&compiler_, front("caller"), "t_print");
    calls::Gathered args{};
    calls::LiveMark live(&em.f.e);
    front::KeywordList none{nullptr, 0};
    bool handled = false;
    Shape out;
    ASSERT_EQ(calls::tryPrint(&em.f.e, em.s, none, &args, live, &handled, &out), Status::ok)
        << message();
    EXPECT_TRUE(handled);
    std::string ir = em.f.ir();
    EXPECT_NE(ir.find("call i1 @wn_print(ptr %0, i32 5, i32 1, ptr "), std::string::npos) << ir;
    EXPECT_NE(ir.find(", i64 0, i64 0, i64 0, i64 0, i64 0, i64 0, i64 0, ptr"), std::string::npos)
        << "count 0, no list, None for sep and end\n"
        << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
}

TEST_F(CallsTest, AStrictLanguageRefusesAPythonCallButBuildsAnExceptionWithItsKind) {
    Emitting em(&compiler_, front("caller"), "t_strict");
    compiler_.strict = 1;
    Shape out;
    Shape one = intShape(1);
    EXPECT_EQ(callPythonObject(&em.f.e, em.s, global("g"), &one, 1, &out), Status::unsupported);
    EXPECT_NE(message().find("strict: calls the Python function g() (it would run in Python)"),
              std::string::npos)
        << message();
    ASSERT_EQ(callPythonObject(&em.f.e, em.s, PyExc_ZeroDivisionError, &one, 1, &out), Status::ok)
        << message();
    compiler_.strict = 0;
    std::string ir = em.f.ir();
    EXPECT_NE(ir.find("@wn_new_exception(ptr %0, i32 5, i64 "), std::string::npos) << ir;
    EXPECT_NE(ir.find(", i32 3, ptr "), std::string::npos) << "ZeroDivisionError's kind\n" << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
}

TEST_F(CallsTest, ADataclassIsBuiltFromItsFieldsAndTheDefaultsOfThoseLeftOut) {
    Emitting em(&compiler_, front("caller"), "t_record");
    Shape one = intShape(1);
    Shape out;
    ASSERT_EQ(callPython(&em.f.e, em.s, global("R"), &one, 1, nullptr, 0, nullptr,
                         front::makePosition(11, 12), &out),
              Status::ok)
        << message();
    EXPECT_EQ(out.kind, ShapeKind::dyn);
    EXPECT_EQ(out.dyn.kind, KnownKind::record);
    std::string ir = em.f.ir();
    EXPECT_NE(ir.find("call i1 @wn_record(ptr %0, i32 5, ptr @t_k"), std::string::npos) << ir;
    EXPECT_EQ(countOf(ir, "store i64 2, ptr"), 2u) << "x's int tag and the default y = 2\n"
                                                   << ir;
    EXPECT_EQ(verify(&compiler_.module), "");
    Shape three[3] = {intShape(1), intShape(2), intShape(3)};
    EXPECT_EQ(callPython(&em.f.e, em.s, global("R"), three, 3, nullptr, 0, nullptr,
                         front::makePosition(11, 12), &out),
              Status::unsupported);
    EXPECT_EQ(tail(), "R() takes 2 fields, given 3");
}

TEST_F(CallsTest, AComptimeFunctionRunsWhileCompilingOncePerArguments) {
    Emitter e{};
    e.compiler = &compiler_;
    Semantic* s = newSemantic(&compiler_, front("caller"), 0, kSite);
    for (int round = 0; round < 2; round++) {
        Shape four = intShape(4);
        Shape out{};
        ASSERT_EQ(callPython(&e, s, global("table"), &four, 1, nullptr, 0, nullptr,
                             front::makePosition(11, 12), &out),
                  Status::ok)
            << message();
        ASSERT_TRUE(out.kind == ShapeKind::int_ || out.kind == ShapeKind::pint);
        EXPECT_EQ(out.int_, 40);
    }
    EXPECT_EQ(PyList_GET_SIZE(global("seen")), 1) << "the second call comes from the cache";
    endSemantic(s);
}

// A strict language compiles a wuna.comptime function called with a value known only at run
// time as any Python function; one the front end can't read is refused at the call, with the
// front end's reason after the strict text.
TEST_F(CallsTest, AStrictCallOfAComptimeFunctionThatCantBeCompiledSaysWhy) {
    Emitting em(&compiler_, front("caller"), "t_strict_comptime");
    compiler_.strict = 1;
    Shape argument = dynShape(em.param(3));
    Shape out;
    Status status = callPython(&em.f.e, em.s, global("generated"), &argument, 1, nullptr, 0,
                               nullptr, front::makePosition(11, 12), &out);
    compiler_.strict = 0;
    EXPECT_EQ(status, Status::unsupported);
    std::string text = message();
    const char* strict = ":11:12: in caller(): strict: calls the wuna.comptime function "
                         "generated() with values known only at run time, and it can't be "
                         "compiled: ";
    size_t at = text.find(strict);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_GT(text.size(), at + strlen(strict)) << "the front end's reason follows\n" << text;
}

TEST_F(CallsTest, OnlyConsumersThatDrainAGeneratorAtOnceTakeItAsAList) {
    using calls::GeneratorUse;
    PyObject* builtins = PyEval_GetBuiltins();
    for (const char* name : {"list", "tuple", "set", "sum", "sorted", "min", "max"})
        EXPECT_EQ(calls::generatorUse(PyDict_GetItemString(builtins, name), nullptr),
                  GeneratorUse::list)
            << name;
    EXPECT_EQ(calls::generatorUse(PyDict_GetItemString(builtins, "any"), nullptr),
              GeneratorUse::any);
    EXPECT_EQ(calls::generatorUse(PyDict_GetItemString(builtins, "all"), nullptr),
              GeneratorUse::all);
    for (const char* name : {"next", "iter", "zip", "enumerate", "map", "print"})
        EXPECT_EQ(calls::generatorUse(PyDict_GetItemString(builtins, name), nullptr),
                  GeneratorUse::kept)
            << name;
    EXPECT_EQ(calls::generatorUse(global("f"), nullptr), GeneratorUse::kept);
    EXPECT_EQ(calls::generatorUse(nullptr, "join"), GeneratorUse::list);
    EXPECT_EQ(calls::generatorUse(nullptr, "extend"), GeneratorUse::kept);
    EXPECT_EQ(calls::generatorUse(nullptr, nullptr), GeneratorUse::kept);
}

}  // namespace

}  // namespace wuna::compile
