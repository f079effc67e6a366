// The failure record and exceptions as values: error kinds and their parents, the first
// failure winning with its traceback, clearing, the Python exception of a failure, Python
// failures, raising, catching and matching exception values, and the texts a raised
// exception reports, checked against the running interpreter's own str().
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/exceptions.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using errors::Kind;
using helpers::Ctx;
using value::Value;

// A fresh Ctx per test, torn down as the end of a run does; every test leaves the thread's
// live block count where it found it and gives back the interpreter lock it took.
class Failures : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        start = pool::liveBlocks();
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
    }
    void TearDown() override {
        for (Value v : held) value::decref(v);
        helpers::endCtx(&ctx);
        for (value::Str* s : names) value::decref(Value::of(value::TagStr, s));
        gil::Record* r = gil::current();
        if (r->held && PyErr_Occurred()) {
            ADD_FAILURE() << "a Python error was left pending";
            PyErr_Clear();
        }
        testing_support::endRun(r);
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
    }
    std::string message() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }
    std::string kindMessage() const {
        return std::string(reinterpret_cast<const char*>(ctx.kindMessage.data),
                           ctx.kindMessage.length);
    }
    // Python, with the lock held until the test ends.
    PyObject* eval(const char* source) {
        gil::ensure(gil::current());
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        PyObject* o = PyRun_String(source, Py_eval_input, globals, globals);
        Py_DECREF(globals);
        if (!o) PyErr_Print();
        return o;
    }
    Value converted(const char* source) {
        PyObject* o = eval(source);
        Value v = Value::none();
        EXPECT_EQ(convert::convert(o, false, &v), 0) << source;
        Py_XDECREF(o);
        held.push_back(v);
        return v;
    }
    Value exception(Kind kind, std::vector<Value> args) {
        Value out{};
        EXPECT_TRUE(
            wn_new_exception(&ctx, 1, 0, int32_t(kind), args.data(), int64_t(args.size()), &out));
        held.push_back(out);
        return out;
    }
    void push(const char* name, int32_t site) {
        value::Str* s = value::newStr(name, strlen(name));
        names.push_back(s);
        if (ctx.depth == ctx.stackCapacity) {
            ctx.stackCapacity = 8;
            stackItems.resize(8);
            ctx.stack = stackItems.data();
        }
        ctx.stack[ctx.depth++] = {s, site};
    }
    Ctx ctx{};
    int64_t start = 0;
    std::vector<Value> held;
    std::vector<value::Str*> names;
    std::vector<helpers::CallEntry> stackItems;
};

// ---- Kinds ---------------------------------------------------------------------------------

struct IsACase {
    Kind kind, ancestor;
    bool expected;
};

class KindParents : public ::testing::TestWithParam<IsACase> {};

TEST_P(KindParents, IsAFollowsTheParentTable) {
    IsACase c = GetParam();
    EXPECT_EQ(errors::isA(c.kind, c.ancestor), c.expected)
        << errors::name(c.kind) << " / " << errors::name(c.ancestor);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KindParents,
    ::testing::Values(IsACase{Kind::UnboundLocalError, Kind::NameError, true},
                      IsACase{Kind::UnboundLocalError, Kind::Exception, true},
                      IsACase{Kind::UnboundLocalError, Kind::BaseException, true},
                      IsACase{Kind::NameError, Kind::UnboundLocalError, false},
                      IsACase{Kind::SystemExit, Kind::Exception, false},
                      IsACase{Kind::FrozenInstanceError, Kind::AttributeError, true},
                      IsACase{Kind::IntegerOverflow, Kind::ArithmeticError, true},
                      IsACase{Kind::ParseError, Kind::ValueError, true},
                      IsACase{Kind::PermissionError, Kind::OSError, true},
                      IsACase{Kind::KeyError, Kind::IndexError, false},
                      IsACase{Kind::Error, Kind::Error, true}));

// Every built-in kind's parent is its Python class's base, as the interpreter has it.
TEST(KindTable, ParentsAndNamesAgreeWithTheInterpretersClasses) {
    testing_support::needPython();
    gil::Record* r = gil::enter();
    for (uint32_t k = 0; k < errors::kKindCount; k++) {
        Kind kind = Kind(k);
        if (kind == Kind::IntegerOverflow || kind == Kind::Error || kind == Kind::Throw ||
            kind == Kind::ParseError)
            continue;  // the module's and the parser package's, absent here
        PyObject* cls = errors::pyClass(kind);
        ASSERT_NE(cls, nullptr) << errors::name(kind);
        PyObject* name = PyObject_GetAttrString(cls, "__name__");
        EXPECT_EQ(std::string(PyUnicode_AsUTF8(name)), std::string(errors::name(kind)));
        Py_DECREF(name);
        Kind parent;
        if (!errors::parent(kind, &parent)) {
            EXPECT_EQ(kind, Kind::BaseException);
            continue;
        }
        PyObject* base = reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(cls)->tp_base);
        EXPECT_EQ(base, errors::pyClass(parent)) << errors::name(kind);
    }
    gil::leave(r);
    testing_support::endRun(r);
}

TEST(KindTable, AnExceptionValueIsNamedByItsKind) {
    value::Exc* e = value::newExc(uint32_t(Kind::UnboundLocalError), Value::none(), Value::none(),
                                  Value::none(), 0);
    EXPECT_EQ(value::typeName(Value::of(value::TagExc, e)), "UnboundLocalError");
    value::decref(Value::of(value::TagExc, e));
}

// ---- The failure record ---------------------------------------------------------------------

TEST_F(Failures, TheFirstFailureWinsWithItsTracebackInnermostFirst) {
    push("main", 1);
    push("f", 2);
    push("g", 3);
    helpers::failOverflow(&ctx, 10);
    push("h", 4);
    helpers::fail(&ctx, 11, "later", 5);
    helpers::failKind(&ctx, 12, Kind::TypeError, "later", 5);
    EXPECT_EQ(message(), "integer overflow");
    EXPECT_EQ(ctx.site, 10);
    EXPECT_EQ(ctx.kind, uint8_t(Kind::IntegerOverflow));
    ASSERT_EQ(ctx.traceback.count, 3u);
    EXPECT_EQ(ctx.traceback.items[0].name->text(), "g");
    EXPECT_EQ(ctx.traceback.items[2].name->text(), "main");
    EXPECT_EQ(ctx.traceback.items[0].name->h.count, 2u) << "the copy holds a reference";
}

TEST_F(Failures, AFailureAtDepthZeroHasNoTracebackAndClearingStartsAfresh) {
    helpers::fail(&ctx, 5, "first", 5);
    EXPECT_EQ(ctx.traceback.count, 0u);
    EXPECT_EQ(ctx.kindSet, 0);
    helpers::clearError(&ctx);
    EXPECT_EQ(ctx.failing, 0);
    EXPECT_EQ(ctx.site, 5) << "the site stays";
    push("f", 2);
    helpers::failDefault(&ctx, 6);
    EXPECT_EQ(message(), "error");
    EXPECT_EQ(ctx.traceback.count, 1u);
}

TEST_F(Failures, AFailureWithoutKindHasNoErrorObject) {
    helpers::failOutOfMemory(&ctx, 1);
    gil::ensure(gil::current());
    EXPECT_EQ(helpers::errorObject(&ctx), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Failures, AKindsErrorObjectIsItsClassCalledWithTheKindMessage) {
    static constexpr char text[] = "list index out of range";
    helpers::failAs<Kind::IndexError, text>(&ctx, 3);
    gil::ensure(gil::current());
    PyObject* o = helpers::errorObject(&ctx);
    ASSERT_NE(o, nullptr);
    EXPECT_TRUE(PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(PyExc_IndexError)));
    PyObject* s = PyObject_Str(o);
    EXPECT_STREQ(PyUnicode_AsUTF8(s), text);
    Py_DECREF(s);
    Py_DECREF(o);
}

TEST_F(Failures, AKindWhoseClassIsMissingSaysSo) {
    helpers::failOverflow(&ctx, 3);  // the module is not imported in these tests
    gil::ensure(gil::current());
    EXPECT_EQ(helpers::errorObject(&ctx), nullptr);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    EXPECT_EQ(type, PyExc_RuntimeError);
    PyObject* s = value ? PyObject_Str(value) : nullptr;
    EXPECT_STREQ(s ? PyUnicode_AsUTF8(s) : "", "wuna: the class of IntegerOverflow wasn't found");
    Py_XDECREF(s);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

struct PythonFailureCase {
    const char* raise;
    const char* expected;
};

class PythonFailures : public Failures, public ::testing::WithParamInterface<PythonFailureCase> {};

TEST_P(PythonFailures, APendingExceptionIsRecordedAsTheReferenceModeWordsIt) {
    PythonFailureCase c = GetParam();
    PyObject* o = eval(c.raise);
    ASSERT_NE(o, nullptr);
    gil::ensure(gil::current());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(o)), o);
    bridge::pythonFailure(&ctx, 9);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(message(), c.expected);
    EXPECT_EQ(ctx.fetched, o) << "kept, so that the program catches the very object";
    EXPECT_EQ(ctx.kindSet, 0);
    Value caught{};
    ASSERT_TRUE(wn_exc_catch(&ctx, 9, &caught));
    EXPECT_EQ(caught.tag, value::TagPy);
    EXPECT_EQ(caught.as<PyObject>(), o);
    EXPECT_EQ(ctx.failing, 0);
    value::decref(caught);
    Py_DECREF(o);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PythonFailures,
    ::testing::Values(PythonFailureCase{"ZeroDivisionError('x')", "division by zero"},
                      PythonFailureCase{"RecursionError('deep')", "call stack too deep"},
                      PythonFailureCase{"KeyError('k')", "key not found: 'k'"},
                      PythonFailureCase{"KeyError()", "key not found"},
                      PythonFailureCase{"TypeError('bad operand')", "bad operand"},
                      PythonFailureCase{"UnicodeDecodeError('utf-8', b'\\xff', 0, 1, 'bad')",
                                        "'utf-8' codec can't decode byte 0xff in position 0: bad"},
                      PythonFailureCase{"RuntimeError('boom')", "RuntimeError: boom"},
                      PythonFailureCase{"OSError(2, 'gone')",
                                        "FileNotFoundError: [Errno 2] gone"}));

// The module's Throw and Error, as stand-ins named as the module names them (the module is
// not imported in these tests).
constexpr char kModuleStandIn[] = R"PY(
import sys, types
stand_in = types.ModuleType('wuna')
class Throw(Exception):
    def __init__(self, value, message=None):
        super().__init__(value, message)
        self.value = value
        self.message = message
class Error(Exception):
    pass
stand_in.Throw = Throw
stand_in.Error = Error
sys.modules['wuna'] = stand_in
)PY";

class Jumps : public Failures {
protected:
    void SetUp() override {
        Failures::SetUp();
        gil::ensure(gil::current());
        PyRun_SimpleString(kModuleStandIn);
        run.userData = this;
        run.error = [](void* user, int32_t site, const char* text, uint64_t length,
                       const helpers::CallEntry* entries, uint64_t count) -> PyObject* {
            auto* self = static_cast<Jumps*>(user);
            self->madeSite = site;
            self->madeCount = count;
            self->madeFirst = count ? std::string(entries[0].name->text()) : "";
            return PyUnicode_FromStringAndSize(text, Py_ssize_t(length));
        };
        ctx.run = &run;
    }
    void TearDown() override {
        helpers::clearError(&ctx);
        PyRun_SimpleString("import sys\ndel sys.modules['wuna']\n");
        Failures::TearDown();
    }
    void raisePython(const char* source) {
        PyObject* o = eval(source);
        ASSERT_NE(o, nullptr);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(o)), o);
        Py_DECREF(o);
    }
    std::string errorOf(PyObject* o) {
        PyObject* e = PyObject_GetAttrString(o, "_wuna_error");
        if (!e) {
            PyErr_Clear();
            return "<none>";
        }
        std::string text = PyUnicode_Check(e) ? PyUnicode_AsUTF8(e) : "<not a str>";
        Py_DECREF(e);
        return text;
    }
    helpers::RunRecord run{};
    int32_t madeSite = -1;
    uint64_t madeCount = 0;
    std::string madeFirst;
};

TEST_F(Jumps, AThrowIsKeptToRaiseAgainWithItsRuntimeError) {
    push("main", 1);
    push("inner", 2);
    raisePython("__import__('wuna').Throw(5, 'five')");
    bridge::failFromPython(&ctx, 8);
    EXPECT_FALSE(PyErr_Occurred());
    ASSERT_NE(ctx.reraise, nullptr);
    EXPECT_EQ(message(), "a Python exception");
    EXPECT_EQ(ctx.kindSet, 0);
    EXPECT_EQ(errorOf(ctx.reraise), "five");
    EXPECT_EQ(madeSite, 8);
    EXPECT_EQ(madeCount, 2u);
    EXPECT_EQ(madeFirst, "inner") << "innermost first";
    PyObject* o = helpers::errorObject(&ctx);
    EXPECT_EQ(o, ctx.reraise);
    Py_XDECREF(o);
}

TEST_F(Jumps, AThrowWithoutMessageReportsItsValue) {
    raisePython("__import__('wuna').Throw([1, 2])");
    bridge::failFromPython(&ctx, 8);
    EXPECT_EQ(errorOf(ctx.reraise), "[1, 2]");
}

TEST_F(Jumps, ALaterJumpReplacesTheOneToRaiseButNotTheFailure) {
    helpers::fail(&ctx, 3, "first", 5);
    raisePython("__import__('wuna').Error('one')");
    bridge::failFromPython(&ctx, 4);
    raisePython("__import__('wuna').Throw(2)");
    bridge::pythonFailure(&ctx, 5);
    EXPECT_EQ(message(), "first");
    EXPECT_EQ(ctx.site, 3);
    ASSERT_NE(ctx.reraise, nullptr);
    PyObject* value = PyObject_GetAttrString(ctx.reraise, "value");
    EXPECT_EQ(PyLong_AsLong(value), 2);
    Py_XDECREF(value);
    EXPECT_EQ(errorOf(ctx.reraise), "2");
}

TEST_F(Jumps, AJumpIsMatchedByItsClassAndSurvivesTheSemanticsBoundary) {
    raisePython("__import__('wuna').Error('e')");
    bridge::failFromPython(&ctx, 4);
    PyObject* errorClass = errors::pyClass(Kind::Error);
    PyObject* table[] = {errorClass, PyExc_KeyError};
    PyObject** objects = table;
    ctx.moduleObjects = &objects;
    EXPECT_TRUE(wn_exc_matches(&ctx, 0, 0));
    EXPECT_FALSE(wn_exc_matches(&ctx, 1, 0));
    wn_exc_wrap(&ctx);
    EXPECT_NE(ctx.reraise, nullptr);
    Value caught{};
    ASSERT_TRUE(wn_exc_catch(&ctx, 4, &caught));
    EXPECT_EQ(caught.tag, value::TagPy);
    EXPECT_EQ(ctx.reraise, nullptr);
    value::decref(caught);
    ctx.moduleObjects = nullptr;
}

TEST_F(Jumps, AnErrorValueWithAMessageBecomesTheRunsError) {
    ctx.conversion.error = [](void*, int32_t site, const char* text, uint64_t length) -> PyObject* {
        return PyUnicode_FromFormat("%d:%s", int(site), std::string(text, length).c_str());
    };
    helpers::fail(&ctx, 6, "went wrong", 10);
    Value caught{};
    ASSERT_TRUE(wn_exc_catch(&ctx, 7, &caught));
    held.push_back(caught);
    wn_raise(&ctx, 9, int64_t(caught.tag), int64_t(caught.payload));
    PyObject* o = helpers::errorObject(&ctx);
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ(PyUnicode_AsUTF8(o), "6:went wrong");
    Py_DECREF(o);
}

TEST(RaiseText, CutsLongTextsOnACharacterBoundary) {
    testing_support::needPython();
    gil::Record* r = gil::enter();
    struct Case {
        std::string text, expected;
    };
    std::string ascii(2000, 'a');
    std::string straddle = std::string(1019, 'a') + "\xc3\xa9" + std::string(10, 'b');
    const Case cases[] = {
        {std::string(1019, 'x'), std::string(1019, 'x')},
        {ascii, std::string(1020, 'a') + "..."},
        {straddle, std::string(1019, 'a') + "..."},
    };
    for (const Case& c : cases) {
        pyhelp::raiseText(PyExc_ValueError, c.text.data(), c.text.size());
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* s = PyObject_Str(value);
        EXPECT_EQ(std::string(PyUnicode_AsUTF8(s)), c.expected);
        Py_DECREF(s);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
    gil::leave(r);
    testing_support::endRun(r);
}

// ---- Exceptions as values ------------------------------------------------------------------

struct TextCase {
    Kind kind;
    const char* args;      // a Python tuple
    const char* reported;  // the runtime error's text when raised
};

class ExceptionTexts : public Failures, public ::testing::WithParamInterface<TextCase> {};

// The kind message is the interpreter's own str() of the same exception; the reported text
// is the reference mode's wording.
TEST_P(ExceptionTexts, RaisedValuesReportWhatTheReferenceModeReports) {
    TextCase c = GetParam();
    Value args = converted(c.args);
    ASSERT_EQ(args.tag, value::TagTuple);
    value::Tuple* t = args.as<value::Tuple>();
    Value e = exception(c.kind, std::vector<Value>(t->items(), t->items() + t->count));
    EXPECT_FALSE(wn_raise(&ctx, 4, int64_t(e.tag), int64_t(e.payload)));
    EXPECT_EQ(message(), c.reported);
    EXPECT_EQ(ctx.kind, uint8_t(c.kind));
    if (c.kind == Kind::Throw) return;
    PyObject* cls = errors::pyClass(c.kind);
    ASSERT_NE(cls, nullptr);
    std::string source =
        std::string("str(") + std::string(errors::name(c.kind)) + "(*" + c.args + "))";
    PyObject* expected = eval(source.c_str());
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(kindMessage(), PyUnicode_AsUTF8(expected)) << source;
    Py_DECREF(expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExceptionTexts,
    ::testing::Values(
        TextCase{Kind::ZeroDivisionError, "('anything',)", "division by zero"},
        TextCase{Kind::ValueError, "('bad',)", "bad"},
        TextCase{Kind::RuntimeError, "('x',)", "RuntimeError: x"},
        TextCase{Kind::RuntimeError, "()", "RuntimeError: "},
        TextCase{Kind::KeyError, "('k',)", "key not found: 'k'"},
        TextCase{Kind::KeyError, "()", "key not found"},
        TextCase{Kind::KeyError, "('a', 2)", "key not found: ('a', 2)"},
        TextCase{Kind::TypeError, "(1, None, True)", "(1, None, True)"},
        TextCase{Kind::RecursionError, "('x',)", "call stack too deep"},
        TextCase{Kind::IndexError, "(2**100,)", "1267650600228229401496703205376"},
        TextCase{Kind::OSError, "(2, 'T', 'F')", "OSError: [Errno 2] T: 'F'"},
        TextCase{Kind::FileNotFoundError, "(2, 'T')", "FileNotFoundError: [Errno 2] T"},
        TextCase{Kind::OSError, "(2, 'T', 'F', None, 'G')", "OSError: [Errno 2] T: 'F' -> 'G'"},
        TextCase{Kind::OSError, "(2, 'T', None)", "OSError: [Errno 2] T"},
        TextCase{Kind::OSError, "('a', 'b', 'c', 'd')", "OSError: [Errno a] b: 'c'"},
        TextCase{Kind::OSError, "('a', 'b', 'c', 'd', 'e', 'f')",
                 "OSError: ('a', 'b', 'c', 'd', 'e', 'f')"},
        TextCase{Kind::OSError, "('a',)", "OSError: a"},
        TextCase{Kind::UnicodeDecodeError, "('utf-8', b'\\xff', 0, 1, 'R')",
                 "'utf-8' codec can't decode byte 0xff in position 0: R"},
        TextCase{Kind::UnicodeDecodeError, "('utf-8', b'abc', 0, 3, 'R')",
                 "'utf-8' codec can't decode bytes in position 0-2: R"},
        TextCase{Kind::UnicodeDecodeError, "('utf-8', b'a', True, 2, 'R')",
                 "'utf-8' codec can't decode bytes in position 1-1: R"},
        TextCase{Kind::AssertionError, "('é',)", "AssertionError: é"},
        TextCase{Kind::Throw, "(5,)", "5"}, TextCase{Kind::Throw, "(5, 'five')", "five"},
        TextCase{Kind::Throw, "(5, None)", "5"}));

TEST_F(Failures, RaisingWhileFailingChangesNothing) {
    helpers::fail(&ctx, 1, "first", 5);
    Value e = exception(Kind::ValueError, {converted("'bad'")});
    EXPECT_FALSE(wn_raise(&ctx, 2, int64_t(e.tag), int64_t(e.payload)));
    EXPECT_EQ(message(), "first");
    EXPECT_EQ(ctx.hasExc, 0);
}

TEST_F(Failures, ARaisedValueIsCaughtAsTheSameBlock) {
    Value e = exception(Kind::ValueError, {converted("'bad'")});
    wn_raise(&ctx, 2, int64_t(e.tag), int64_t(e.payload));
    EXPECT_EQ(e.as<value::Obj>()->count, 2u) << "the Ctx holds one reference";
    Value caught{};
    ASSERT_TRUE(wn_exc_catch(&ctx, 3, &caught));
    EXPECT_EQ(caught.payload, e.payload);
    EXPECT_EQ(ctx.failing, 0);
    EXPECT_EQ(ctx.hasExc, 0);
    held.push_back(caught);
}

struct MatchCase {
    const char* name;
    void (*fail)(Ctx*);
    std::vector<Kind> matching;
    std::vector<Kind> notMatching;
};

class Matching : public Failures, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(Matching, AnExceptClauseMatchesTheKindOrAnAncestor) {
    const MatchCase& c = GetParam();
    c.fail(&ctx);
    for (Kind k : c.matching)
        EXPECT_TRUE(wn_exc_matches(&ctx, 0, int64_t(1ull << uint32_t(k)))) << errors::name(k);
    for (Kind k : c.notMatching)
        EXPECT_FALSE(wn_exc_matches(&ctx, 0, int64_t(1ull << uint32_t(k)))) << errors::name(k);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Matching,
    ::testing::Values(MatchCase{"no kind",
                                [](Ctx* c) { helpers::fail(c, 1, "oops", 4); },
                                {Kind::Error, Kind::Exception, Kind::BaseException},
                                {Kind::TypeError, Kind::ValueError, Kind::Throw}},
                      MatchCase{"overflow",
                                [](Ctx* c) { helpers::failOverflow(c, 1); },
                                {Kind::IntegerOverflow, Kind::ArithmeticError, Kind::Exception},
                                {Kind::OverflowError, Kind::Error}}),
    [](const auto& info) {
        return std::string(info.param.name == std::string("no kind") ? "NoKind" : "Overflow");
    });

TEST_F(Failures, AHelperFailureIsCaughtAsAnErrorCarryingItsMessage) {
    push("f", 2);
    helpers::fail(&ctx, 7, "oops", 4);
    Value caught{};
    ASSERT_TRUE(wn_exc_catch(&ctx, 8, &caught));
    held.push_back(caught);
    ASSERT_EQ(caught.tag, value::TagExc);
    value::Exc* e = caught.as<value::Exc>();
    EXPECT_EQ(e->kind, uint32_t(Kind::Error));
    EXPECT_EQ(e->site, 7);
    ASSERT_EQ(e->args.tag, value::TagTuple);
    EXPECT_EQ(e->args.as<value::Tuple>()->items()[0].as<value::Str>()->text(), "oops");
    EXPECT_EQ(e->message.as<value::Str>()->text(), "oops");
    // Raised again, it reports the node of the failure, not the node of the raise.
    wn_raise(&ctx, 99, int64_t(caught.tag), int64_t(caught.payload));
    EXPECT_EQ(ctx.site, 7);
    EXPECT_EQ(message(), "oops");
}

TEST_F(Failures, ACaughtOverflowKeepsItsKindAndKindMessage) {
    helpers::failOverflow(&ctx, 7);
    Value caught{};
    ASSERT_TRUE(wn_exc_catch(&ctx, 8, &caught));
    held.push_back(caught);
    value::Exc* e = caught.as<value::Exc>();
    EXPECT_EQ(e->kind, uint32_t(Kind::IntegerOverflow));
    EXPECT_EQ(e->message.tag, value::TagNone);
}

TEST_F(Failures, WrappingStripsTheKindButKeepsTheFailure) {
    Value e = exception(Kind::ValueError, {converted("'bad'")});
    wn_raise(&ctx, 2, int64_t(e.tag), int64_t(e.payload));
    wn_exc_wrap(&ctx);
    EXPECT_EQ(ctx.failing, 1);
    EXPECT_EQ(ctx.kindSet, 0);
    EXPECT_EQ(ctx.hasExc, 0);
    EXPECT_EQ(message(), "bad");
    EXPECT_TRUE(wn_exc_matches(&ctx, 0, int64_t(1ull << uint32_t(Kind::Error))));
    EXPECT_FALSE(wn_exc_matches(&ctx, 0, int64_t(1ull << uint32_t(Kind::ValueError))));
}

// What is no Exception is never a runtime error of the program: a SystemExit value keeps its
// kind across a semantic's boundary (a ValueError there becomes an Error, above), and a
// KeyboardInterrupt raised by Python code is kept to be raised again as it is, with its text as
// the failure's message; an except of Exception matches neither.
TEST_F(Failures, WhatIsNoExceptionPassesTheSemanticsBoundaryUnchanged) {
    Value e = exception(Kind::SystemExit, {converted("'bye'")});
    wn_raise(&ctx, 2, int64_t(e.tag), int64_t(e.payload));
    EXPECT_TRUE(helpers::passesThrough(&ctx));
    wn_exc_wrap(&ctx);
    EXPECT_EQ(ctx.kindSet, 1);
    EXPECT_EQ(ctx.hasExc, 1);
    EXPECT_FALSE(wn_exc_matches(&ctx, 0, int64_t(1ull << uint32_t(Kind::Exception))));
    EXPECT_TRUE(wn_exc_matches(&ctx, 0, int64_t(1ull << uint32_t(Kind::BaseException))));
    gil::ensure(gil::current());
    PyObject* o = helpers::errorObject(&ctx);
    ASSERT_NE(o, nullptr);
    EXPECT_TRUE(PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(PyExc_SystemExit)));
    Py_DECREF(o);
    helpers::clearError(&ctx);

    PyObject* interrupt = PyObject_CallFunction(PyExc_KeyboardInterrupt, "s", "stop");
    ASSERT_NE(interrupt, nullptr);
    PyErr_SetObject(PyExc_KeyboardInterrupt, interrupt);
    bridge::failFromPython(&ctx, 4);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(ctx.reraise, interrupt);
    EXPECT_EQ(message(), "KeyboardInterrupt: stop");
    EXPECT_FALSE(helpers::passesThrough(&ctx)) << "no kind: kept as the object to raise";
    wn_exc_wrap(&ctx);
    EXPECT_EQ(ctx.reraise, interrupt);
    PyObject* table[] = {PyExc_Exception, PyExc_BaseException};
    PyObject** objects = table;
    ctx.moduleObjects = &objects;
    EXPECT_FALSE(wn_exc_matches(&ctx, 0, 0));
    EXPECT_TRUE(wn_exc_matches(&ctx, 1, 0));
    ctx.moduleObjects = nullptr;
    helpers::clearError(&ctx);
    Py_DECREF(interrupt);
}

TEST_F(Failures, RaiseFromStoresTheCauseAndFromNoneStoresNone) {
    Value e = exception(Kind::ValueError, {converted("'bad'")});
    Value cause = exception(Kind::KeyError, {converted("'k'")});
    wn_raise_from(&ctx, 2, int64_t(e.tag), int64_t(e.payload), int64_t(cause.tag),
                  int64_t(cause.payload));
    EXPECT_EQ(e.as<value::Exc>()->cause.payload, cause.payload);
    gil::ensure(gil::current());
    PyObject* o = helpers::errorObject(&ctx);
    ASSERT_NE(o, nullptr);
    PyObject* c = PyException_GetCause(o);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(PyObject_TypeCheck(c, reinterpret_cast<PyTypeObject*>(PyExc_KeyError)));
    Py_DECREF(c);
    Py_DECREF(o);
    helpers::clearError(&ctx);
    wn_raise_from(&ctx, 2, int64_t(e.tag), int64_t(e.payload), 0, 0);
    EXPECT_EQ(e.as<value::Exc>()->cause.tag, value::TagNone);
}

TEST_F(Failures, RaiseFromNoneOnAPythonExceptionSuppressesTheContext) {
    PyObject* o = eval("ValueError('x')");
    wn_raise_from(&ctx, 2, value::TagPy, int64_t(uintptr_t(o)), 0, 0);
    Py_DECREF(o);
    ASSERT_NE(ctx.fetched, nullptr);
    PyObject* suppressed = PyObject_GetAttrString(ctx.fetched, "__suppress_context__");
    EXPECT_EQ(suppressed, Py_True);
    Py_XDECREF(suppressed);
    EXPECT_EQ(message(), "x");
}

struct BadRaise {
    const char* value;
    const char* cause;  // null: a plain raise
    const char* expected;
};

class BadRaises : public Failures, public ::testing::WithParamInterface<BadRaise> {};

TEST_P(BadRaises, RaisingWhatIsNoExceptionIsATypeError) {
    BadRaise c = GetParam();
    Value v = converted(c.value);
    if (!c.cause) {
        wn_raise(&ctx, 1, int64_t(v.tag), int64_t(v.payload));
    } else {
        Value cause = converted(c.cause);
        wn_raise_from(&ctx, 1, int64_t(v.tag), int64_t(v.payload), int64_t(cause.tag),
                      int64_t(cause.payload));
    }
    EXPECT_EQ(message(), c.expected);
    ASSERT_NE(ctx.fetched, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadRaises,
    ::testing::Values(BadRaise{"5", nullptr, "exceptions must derive from BaseException"},
                      BadRaise{"'x'", "None", "exceptions must derive from BaseException"},
                      BadRaise{"ValueError", "5",
                               "exception causes must derive from BaseException"},
                      BadRaise{"ValueError", nullptr, ""},
                      BadRaise{"RuntimeError", nullptr, "RuntimeError: "},
                      BadRaise{"ValueError('v')", "KeyError", "v"}));

TEST_F(Failures, AParseErrorValueBecomesTheParsersErrorWithItsPosition) {
    Value e = exception(Kind::ParseError, {converted("'unexpected'")});
    value::Tuple* where = value::newTuple(4);
    where->items()[0] = Value::integer(3);
    where->items()[1] = Value::integer(7);
    where->items()[2] = Value::integer(12);
    where->items()[3] = converted("'unexpected'");
    value::incref(where->items()[3]);
    value::Exc* x = e.as<value::Exc>();
    value::decref(x->value);
    x->value = Value::of(value::TagTuple, where);
    gil::ensure(gil::current());
    PyRun_SimpleString(
        "import sys\nif "
        "'" WUNA_BUILD_DIR
        "'"
        " not in sys.path: sys.path.insert(0, '" WUNA_BUILD_DIR "')");
    ASSERT_NE(errors::pyClass(Kind::ParseError), nullptr);
    PyObject* o = convert::toPython(e, &ctx.conversion);
    ASSERT_NE(o, nullptr);
    const char* attributes[] = {"line", "column", "offset"};
    long expected[] = {3, 7, 12};
    for (int i = 0; i < 3; i++) {
        PyObject* a = PyObject_GetAttrString(o, attributes[i]);
        EXPECT_EQ(a ? PyLong_AsLong(a) : -1, expected[i]) << attributes[i];
        Py_XDECREF(a);
    }
    Py_DECREF(o);
}

TEST_F(Failures, APythonClassAsKindMakesItsInstanceThroughPython) {
    PyObject* cls = eval("type('Custom', (Exception,), {})");
    PyObject* table[] = {cls};
    PyObject** objects = table;
    ctx.moduleObjects = &objects;
    Value arg = converted("'x'");
    Value out{};
    ASSERT_TRUE(wn_new_exception(&ctx, 1, 0, int32_t(errors::kPythonClass), &arg, 1, &out));
    held.push_back(out);
    ASSERT_EQ(out.tag, value::TagPy);
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(out.as<PyObject>())), cls);
    wn_raise(&ctx, 1, int64_t(out.tag), int64_t(out.payload));
    EXPECT_TRUE(wn_exc_matches(&ctx, 0, 0));
    EXPECT_EQ(message(), "Custom: x");
    helpers::clearError(&ctx);
    ctx.moduleObjects = nullptr;
    Py_DECREF(cls);
}

TEST_F(Failures, ANativeHostFailureIsARuntimeErrorWithTheCapsulesText) {
    PyObject* fn = eval("len");
    PyObject* table[] = {fn};
    PyObject** objects = table;
    ctx.moduleObjects = &objects;
    auto saved = helpers::nativeErrorText;
    EXPECT_FALSE(wn_native_fail(&ctx, 5, 0, 3));
    EXPECT_EQ(message(), "RuntimeError: failed");
    helpers::clearError(&ctx);
    helpers::nativeErrorText = [](PyObject*, int32_t code) -> const char* {
        return code == 3 ? "disk on fire" : nullptr;
    };
    EXPECT_FALSE(wn_native_fail(&ctx, 5, 0, 3));
    EXPECT_EQ(message(), "RuntimeError: disk on fire");
    EXPECT_EQ(ctx.site, 5);
    helpers::clearError(&ctx);
    EXPECT_FALSE(wn_native_fail(&ctx, 5, 0, 4));
    EXPECT_EQ(message(), "RuntimeError: failed");
    helpers::nativeErrorText = saved;
    ctx.moduleObjects = nullptr;
    Py_DECREF(fn);
}

TEST_F(Failures, AControlValueGivesTheFirstArgumentConverted) {
    PyObject* o = eval("Exception(41, 'ignored')");
    Value out{};
    ASSERT_TRUE(wn_control_value(&ctx, 1, value::TagPy, int64_t(uintptr_t(o)), &out));
    EXPECT_EQ(out.tag, value::TagPint);
    EXPECT_EQ(int64_t(out.payload), 41);
    PyObject* bare = eval("Exception()");
    ASSERT_TRUE(wn_control_value(&ctx, 1, value::TagPy, int64_t(uintptr_t(bare)), &out));
    EXPECT_EQ(out.tag, value::TagNone);
}

}  // namespace

}  // namespace wuna
