// Attributes, module globals, the crossings tally, byte readers and wrapping arithmetic of
// compiled code, against the running interpreter: records and Python objects read and
// assigned (Python's texts for this version), exception attributes, globals through the
// module's dict and the builtins, the readers against int.from_bytes and the wrapping
// operations against Python's own arithmetic modulo 2^64, with the reference mode's texts.
// Every test ends with the block count back at its start.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/attrs.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/pyread.h"
#include "wuna/runtime/helpers/pywrapping.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using errors::Kind;
using helpers::Ctx;
using value::Value;

class Attrs : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        gil::ensure(gil::current());
        start = pool::liveBlocks();
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
        objectTable = objects;
        ctx.moduleObjects = &objectTable;
    }
    void TearDown() override {
        for (Value v : held) value::decref(v);
        helpers::endCtx(&ctx);
        for (PyObject*& o : objects) Py_CLEAR(o);
        bridge::freeTally(&tally);
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
    Kind kind() const { return Kind(ctx.kind); }
    void reset() { helpers::clearError(&ctx); }
    PyObject* eval(const std::string& source) {
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        PyObject* o = PyRun_String(source.c_str(), Py_eval_input, globals, globals);
        Py_DECREF(globals);
        if (!o) PyErr_Print();
        return o;
    }
    // A value of a Python expression, released when the test ends.
    Value converted(const std::string& source) {
        PyObject* o = eval(source);
        Value v = Value::none();
        EXPECT_EQ(convert::convert(o, false, &v), 0) << source;
        Py_XDECREF(o);
        held.push_back(v);
        return v;
    }
    // The text of str(e) for the exception a Python statement raises, "" when none.
    std::string pythonError(const std::string& statement) {
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        PyObject* r = PyRun_String(statement.c_str(), Py_file_input, globals, globals);
        Py_DECREF(globals);
        if (r) {
            Py_DECREF(r);
            return "";
        }
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyErr_NormalizeException(&type, &value, &trace);
        PyObject* text = PyObject_Str(value);
        std::string result = text ? PyUnicode_AsUTF8(text) : "?";
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        return result;
    }
    // A name block, released when the test ends (interned literals would outlive the count).
    value::Str* name(const std::string& text) {
        value::Str* s = value::newStr(text.data(), text.size());
        held.push_back(Value::of(value::TagStr, s));
        return s;
    }
    // The class of the Python exception that became the failure, or null.
    PyObject* fetchedType() const { return ctx.fetched ? PyObject_Type(ctx.fetched) : nullptr; }
    bool fetchedIs(PyObject* cls) {
        PyObject* type = fetchedType();
        bool is = type == cls;
        Py_XDECREF(type);
        return is;
    }
    // The Python object of a value (new reference).
    PyObject* py(Value v) { return convert::toPython(v, &ctx.conversion); }
    bool pyEqual(Value v, const std::string& expected) {
        PyObject* got = py(v);
        PyObject* want = eval(expected);
        int same = got && want ? PyObject_RichCompareBool(got, want, Py_EQ) : -1;
        Py_XDECREF(got);
        Py_XDECREF(want);
        return same == 1;
    }

    Ctx ctx{};
    bridge::Tally tally{};
    int64_t start = 0;
    std::vector<Value> held;
    PyObject* objects[2] = {};
    PyObject** objectTable = nullptr;
};

// ---- Records ------------------------------------------------------------------------------------

value::Text kFields[] = {{"ab", 2}, {"y", 1}};
value::RecordClass pointClass{{"Point", 5}, {"shapes.Point", 12}, kFields, 2, nullptr,
                              nullptr,      0,                    1,       0};
value::RecordClass frozenClass{{"Pin", 3}, {"shapes.Pin", 10}, kFields, 2, nullptr,
                               nullptr,    0,                  1,       1};

TEST_F(Attrs, RecordFieldStoredThenReadKeepsOneReferenceEach) {
    value::Record* r = value::newRecord(&pointClass);
    held.push_back(Value::of(value::TagRecord, r));
    value::Str* s = value::newStr("hello", 5);
    Value text = Value::of(value::TagStr, s);
    ASSERT_TRUE(wn_setattr(&ctx, 1, value::TagRecord, int64_t(uintptr_t(r)), name("ab"),
                           int64_t(text.tag), int64_t(text.payload)));
    EXPECT_EQ(s->h.count, 2u);
    // The same value again: the new reference is taken before the old one goes.
    ASSERT_TRUE(wn_setattr(&ctx, 1, value::TagRecord, int64_t(uintptr_t(r)), name("ab"),
                           int64_t(text.tag), int64_t(text.payload)));
    EXPECT_EQ(s->h.count, 2u);
    value::decref(text);
    Value got;
    ASSERT_TRUE(wn_getattr(&ctx, 1, value::TagRecord, int64_t(uintptr_t(r)), name("ab"), &got));
    EXPECT_EQ(got.payload, text.payload);
    EXPECT_EQ(s->h.count, 2u);
    value::decref(got);
    ASSERT_TRUE(wn_setattr(&ctx, 1, value::TagRecord, int64_t(uintptr_t(r)), name("y"),
                           value::TagInt, 7));
    EXPECT_EQ(r->fields()[1].payload, 7u);
}

TEST_F(Attrs, UnsetRecordFieldIsAnAttributeErrorWithTheFullClassName) {
    value::Record* r = value::newRecord(&pointClass);
    held.push_back(Value::of(value::TagRecord, r));
    Value out = Value::unset();
    EXPECT_FALSE(wn_getattr(&ctx, 3, value::TagRecord, int64_t(uintptr_t(r)), name("y"), &out));
    EXPECT_EQ(kind(), Kind::AttributeError);
    EXPECT_EQ(message(), "'shapes.Point' object has no attribute 'y'");
    EXPECT_EQ(out.tag, value::TagUnset) << "a failed read leaves *out as it was";
}

TEST_F(Attrs, FrozenRecordFieldRefusesTheStoreAndKeepsItsValue) {
    value::Record* r = value::newRecord(&frozenClass);
    held.push_back(Value::of(value::TagRecord, r));
    r->fields()[0] = Value::integer(1);
    EXPECT_FALSE(wn_setattr(&ctx, 2, value::TagRecord, int64_t(uintptr_t(r)), name("ab"),
                            value::TagInt, 9));
    EXPECT_EQ(kind(), Kind::FrozenInstanceError);
    EXPECT_EQ(message(), "cannot assign to field 'ab'");
    EXPECT_EQ(r->fields()[0].payload, 1u);
}

// Stores that Python refuses for objects without a __dict__, worded as this interpreter
// words them (the record's class stands in for a class with __slots__).
struct NoStore {
    const char* label;
    const char* python;  // the same store in Python
    const char* attribute;
};

const NoStore kNoStores[] = {
    {"Str", "setattr('', 'foo', 1)", "foo"},
    {"Int", "setattr(1, 'foo', 1)", "foo"},
    {"Float", "setattr(1.5, 'real', 1)", "real"},
    {"Tuple", "setattr((), 'x', 1)", "x"},
    {"NoneValue", "setattr(None, 'x', 1)", "x"},
};

TEST_F(Attrs, StoresPythonRefusesAreRefusedInPythonsWords) {
    for (const NoStore& c : kNoStores) {
        SCOPED_TRACE(c.label);
        std::string expression = std::string(c.python).substr(8);
        expression = expression.substr(0, expression.find(','));
        Value x = converted(expression);
        EXPECT_FALSE(wn_setattr(&ctx, 4, int64_t(x.tag), int64_t(x.payload), name(c.attribute),
                                value::TagInt, 1));
        EXPECT_EQ(kind(), Kind::AttributeError);
        std::string expected = pythonError(c.python);
        // float.real is a read-only descriptor, whose refusal Python words otherwise.
        if (expected.find("not writable") == std::string::npos) {
            EXPECT_EQ(message(), expected);
        }
        reset();
    }
}

TEST_F(Attrs, UnknownOrPrefixNameOfARecordIsNoField) {
    value::Record* r = value::newRecord(&pointClass);
    held.push_back(Value::of(value::TagRecord, r));
    for (const char* n : {"a", "abc", "z"}) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(wn_setattr(&ctx, 4, value::TagRecord, int64_t(uintptr_t(r)), name(n),
                                value::TagInt, 1));
        std::string expected = std::string("'Point' object has no attribute '") + n + "'";
        if (PY_MINOR_VERSION >= 13) expected += " and no __dict__ for setting new attributes";
        EXPECT_EQ(message(), expected);
        EXPECT_EQ(r->fields()[0].tag, value::TagUnset) << "the record is unchanged";
        reset();
    }
}

// ---- Python objects ------------------------------------------------------------------------------

TEST_F(Attrs, PythonObjectsAnswerThroughPython) {
    Value f = converted("1.5");
    Value got;
    ASSERT_TRUE(wn_getattr(&ctx, 1, int64_t(f.tag), int64_t(f.payload), name("real"), &got));
    EXPECT_TRUE(pyEqual(got, "1.5"));
    value::decref(got);
    Value o = converted("__import__('types').SimpleNamespace(a=1)");
    ASSERT_TRUE(wn_setattr(&ctx, 1, int64_t(o.tag), int64_t(o.payload), name("b"),
                           value::TagInt, 5));
    ASSERT_TRUE(wn_getattr(&ctx, 1, int64_t(o.tag), int64_t(o.payload), name("b"), &got));
    EXPECT_TRUE(pyEqual(got, "5"));
    value::decref(got);
}

TEST_F(Attrs, PythonsOwnErrorsForReadsAndStores) {
    Value f = converted("1.5");
    Value got = Value::unset();
    EXPECT_FALSE(wn_getattr(&ctx, 1, int64_t(f.tag), int64_t(f.payload), name("nope"), &got));
    EXPECT_EQ(message(), pythonError("(1.5).nope"));
    EXPECT_TRUE(fetchedIs(PyExc_AttributeError));
    EXPECT_EQ(got.tag, value::TagUnset);
    reset();
    Value o = converted("object()");
    EXPECT_FALSE(wn_setattr(&ctx, 1, int64_t(o.tag), int64_t(o.payload), name("x"),
                            value::TagInt, 1));
    EXPECT_EQ(message(), pythonError("object().x = 1"));
}

// ---- Exception values ----------------------------------------------------------------------------

struct ExcCase {
    const char* label;
    Kind kind;
    const char* args;  // a Python tuple
    const char* attribute;
    const char* expected;  // a Python expression
};

const ExcCase kExcCases[] = {
    {"ErrnoOfOneArgument", Kind::OSError, "('boom',)", "errno", "None"},
    {"ErrnoOfTwo", Kind::OSError, "(2, 'gone')", "errno", "2"},
    {"StrerrorOfADescendant", Kind::FileNotFoundError, "(2, 'gone', 'f.txt')", "strerror",
     "'gone'"},
    {"FilenameOfADescendant", Kind::FileNotFoundError, "(2, 'gone', 'f.txt')", "filename",
     "'f.txt'"},
    {"Filename2Missing", Kind::PermissionError, "(13, 'no', 'a')", "filename2", "None"},
    {"Winerror", Kind::OSError, "(1, 'x')", "winerror", "None"},
    {"SystemExitNoArgs", Kind::SystemExit, "()", "code", "None"},
    {"SystemExitOne", Kind::SystemExit, "(3,)", "code", "3"},
    {"SystemExitTwo", Kind::SystemExit, "(1, 2)", "code", "(1, 2)"},
    {"UnicodeReason", Kind::UnicodeDecodeError, "('utf-8', b'\\xff', 0, 1, 'invalid')", "reason",
     "'invalid'"},
    {"Args", Kind::ValueError, "('bad', 1)", "args", "('bad', 1)"},
    {"Cause", Kind::ValueError, "('bad',)", "__cause__", "None"},
};

TEST_F(Attrs, ExceptionAttributesAsPythonGivesThem) {
    for (const ExcCase& c : kExcCases) {
        SCOPED_TRACE(c.label);
        Value args = converted(c.args);
        value::Exc* e =
            value::newExc(uint32_t(c.kind), args, Value::none(), Value::none(), 1);
        held.push_back(Value::of(value::TagExc, e));
        Value got;
        ASSERT_TRUE(wn_getattr(&ctx, 1, value::TagExc, int64_t(uintptr_t(e)), name(c.attribute),
                               &got));
        EXPECT_TRUE(pyEqual(got, c.expected));
        value::decref(got);
    }
}

// ---- Globals and the tally -----------------------------------------------------------------------

TEST_F(Attrs, GlobalsReadTheModuleThenTheBuiltins) {
    objects[0] = eval("{'x': 5, 'len': 'shadowed'}");
    objects[1] = eval("{'x': 6}");
    Value got;
    ASSERT_TRUE(wn_global(&ctx, 1, 0, name("x"), &got));
    EXPECT_TRUE(pyEqual(got, "5"));
    ASSERT_TRUE(wn_global(&ctx, 1, 0, name("len"), &got));
    EXPECT_TRUE(pyEqual(got, "'shadowed'"));
    value::decref(got);
    ASSERT_TRUE(wn_global(&ctx, 1, 1, name("len"), &got));
    EXPECT_TRUE(pyEqual(got, "len"));
    value::decref(got);
    got = Value::unset();
    EXPECT_FALSE(wn_global(&ctx, 7, 1, name("nowhere"), &got));
    EXPECT_EQ(kind(), Kind::NameError);
    EXPECT_EQ(message(), pythonError("nowhere"));
    EXPECT_EQ(got.tag, value::TagUnset);
}

TEST_F(Attrs, AGlobalAssignedIsThePythonObjectInTheModulesDict) {
    objects[0] = eval("{}");
    Value list = converted("[1, 'two']");
    ASSERT_TRUE(wn_set_global(&ctx, 1, 0, name("y"), int64_t(list.tag), int64_t(list.payload)));
    PyObject* y = PyDict_GetItemString(objects[0], "y");
    ASSERT_NE(y, nullptr);
    PyObject* want = eval("[1, 'two']");
    EXPECT_EQ(PyObject_RichCompareBool(y, want, Py_EQ), 1);
    Py_DECREF(want);
    Value got;
    ASSERT_TRUE(wn_global(&ctx, 1, 0, name("y"), &got));
    EXPECT_TRUE(pyEqual(got, "[1, 'two']"));
    value::decref(got);
}

TEST_F(Attrs, ReadsThroughPythonAreTalliedOnlyInReportModeAndWhenTheyFit) {
    Value f = converted("2.5");
    Value got;
    helpers::RunRecord run{};
    run.tally = &tally;
    ctx.run = &run;
    ASSERT_TRUE(wn_getattr(&ctx, 1, int64_t(f.tag), int64_t(f.payload), name("real"), &got));
    EXPECT_EQ(tally.used, 0u) << "nothing counted while the report was off";
    run.report = 1;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(wn_getattr(&ctx, 1, int64_t(f.tag), int64_t(f.payload), name("real"), &got));
    }
    EXPECT_EQ(bridge::tallyCount(&tally, "getattr float.real", 18), 3u);
    // "getattr float." and 115 bytes of name: 129 bytes, one too many.
    std::string longName(115, 'n');
    EXPECT_FALSE(
        wn_getattr(&ctx, 1, int64_t(f.tag), int64_t(f.payload), name(longName), &got));
    reset();
    std::string shorter = "getattr float." + longName.substr(1);
    EXPECT_FALSE(wn_getattr(&ctx, 1, int64_t(f.tag), int64_t(f.payload),
                            name(longName.substr(1)), &got));
    reset();
    EXPECT_EQ(bridge::tallyCount(&tally, shorter.data(), shorter.size()), 1u);
    EXPECT_EQ(tally.used, 2u) << "the text one byte too long was not counted";
    ctx.run = nullptr;
}

TEST_F(Attrs, EmptyCellIsTheFreeVariableNameError) {
    PyObject* globals = testing_support::runHelpers(
        "def outer():\n"
        "    def inner():\n"
        "        return v\n"
        "    f = inner\n"
        "    if False:\n"
        "        v = 1\n"
        "    return f\n"
        "def outer2():\n"
        "    v = [3]\n"
        "    def inner():\n"
        "        return v\n"
        "    return inner\n"
        "empty = outer()\n"
        "full = outer2()\n");
    ASSERT_NE(globals, nullptr);
    PyObject* empty = PyDict_GetItemString(globals, "empty");
    PyObject* full = PyDict_GetItemString(globals, "full");
    Value got;
    ASSERT_TRUE(wn_cell(&ctx, 1, value::TagPy, int64_t(uintptr_t(full)), 0, &got));
    EXPECT_TRUE(pyEqual(got, "[3]"));
    value::decref(got);
    EXPECT_FALSE(wn_cell(&ctx, 2, value::TagPy, int64_t(uintptr_t(empty)), 0, &got));
    EXPECT_EQ(kind(), Kind::NameError);
    EXPECT_EQ(message(), "free variable referenced before assignment in enclosing scope");
    reset();
    EXPECT_FALSE(wn_cell(&ctx, 2, value::TagPy, int64_t(uintptr_t(full)), 5, &got));
    EXPECT_TRUE(ctx.failing);
    Py_DECREF(globals);
}

// ---- Byte readers and wrapping arithmetic --------------------------------------------------------

struct ReadCase {
    uint32_t code;
    const char* data;  // a Python bytes expression
    int64_t offset;
};

const ReadCase kReads[] = {
    {0, "b'\\xff'", 0},       {1, "b'\\xff'", 0},        {2, "b'\\x01\\x02'", 0},
    {3, "b'\\x01\\x02'", 0},  {2, "b'\\x01\\x02'", 1},   {0, "b'\\x01'", 1},
    {0, "b'\\x01'", -1},      {10, "b'\\xff' * 8", 0},   {12, "b'\\xff' * 8", 0},
    {11, "b'\\x80' + bytes(7)", 0}, {13, "b'\\x80' + bytes(7)", 0}, {8, "bytes(3) + b'\\x80'", 0},
    {9, "b'\\x80\\x00\\x00\\x01'", 0}, {7, "b'\\x00\\x00\\x00\\x00\\xff'", 1},
};

// What the reference mode gives: int.from_bytes of the slice, or its error text.
std::string referenceRead(const ReadCase& c) {
    const helpers::Reader& r = helpers::readers[c.code];
    char text[512];
    snprintf(text, sizeof text,
             "d = %s\n"
             "if %lld < 0 or %lld + %d > len(d):\n"
             "    raise IndexError('rt.%s(): offset %lld out of range')\n"
             "result = int.from_bytes(d[%lld:%lld + %d], '%s', signed=%s)\n",
             c.data, (long long)c.offset, (long long)c.offset, r.width, r.name,
             (long long)c.offset, (long long)c.offset, (long long)c.offset, r.width,
             r.bigEndian ? "big" : "little", r.isSigned ? "True" : "False");
    return text;
}

TEST_F(Attrs, ReadersGiveWhatIntFromBytesGivesAndTheReferenceTexts) {
    for (const ReadCase& c : kReads) {
        std::string source = referenceRead(c);
        SCOPED_TRACE(source);
        PyObject* globals = testing_support::runHelpers("");
        PyObject* r = PyRun_String(source.c_str(), Py_file_input, globals, globals);
        std::string expectedError;
        if (!r) {
            PyObject *type, *value, *trace;
            PyErr_Fetch(&type, &value, &trace);
            PyObject* text = PyObject_Str(value);
            expectedError = PyUnicode_AsUTF8(text);
            Py_DECREF(text);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(trace);
        }
        Py_XDECREF(r);
        Value data = converted(c.data);
        Value got = Value::unset();
        bool ok = wn_read(&ctx, 1, int32_t(c.code), int64_t(data.tag), int64_t(data.payload),
                          value::TagInt, c.offset, &got);
        if (expectedError.empty()) {
            ASSERT_TRUE(ok) << message();
            PyObject* got_ = py(got);
            PyObject* want = PyDict_GetItemString(globals, "result");
            EXPECT_EQ(PyObject_RichCompareBool(got_, want, Py_EQ), 1);
            Py_XDECREF(got_);
            value::decref(got);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_TRUE(fetchedIs(PyExc_IndexError));
            EXPECT_EQ(message(), expectedError);
            EXPECT_EQ(got.tag, value::TagUnset);
            reset();
        }
        Py_DECREF(globals);
    }
}

TEST_F(Attrs, ReadersRefuseAStrNamingItsType) {
    Value text = converted("'ab'");
    Value got;
    EXPECT_FALSE(wn_read(&ctx, 1, 3, int64_t(text.tag), int64_t(text.payload), value::TagInt, 0,
                         &got));
    EXPECT_EQ(message(), "rt.u16be() reads data (wuna.Bytes, bytes...), not 'str'");
}

struct WrapCase {
    uint32_t op;
    const char* a;
    const char* b;
};

const WrapCase kWraps[] = {
    {0, "2**63 - 1", "1"}, {1, "-2**63", "1"},  {2, "2**62", "4"},  {2, "-3", "5"},
    {3, "1", "64"},        {3, "1", "63"},      {4, "-16", "2"},    {5, "-1", "60"},
    {5, "-1", "0"},        {4, "5", "-1"},      {0, "True", "1"},   {0, "2**64", "1"},
    {1, "1", "1.0"},       {3, "1", "2**63"},
};

TEST_F(Attrs, WrappingOperationsAreArithmeticModuloTwoToTheSixtyFour) {
    const char* ops[] = {"(a + b)", "(a - b)", "(a * b)", "(a << (b & 63))", "(a >> (b & 63))",
                         "((a % 2**64) >> (b & 63))"};
    for (const WrapCase& c : kWraps) {
        SCOPED_TRACE(std::string(c.a) + " " + helpers::wrappingOps[c.op].op + " " + c.b);
        Value a = converted(c.a);
        Value b = converted(c.b);
        Value got = Value::unset();
        bool ok = wn_wrapping(&ctx, 1, int32_t(c.op), int64_t(a.tag), int64_t(a.payload),
                              int64_t(b.tag), int64_t(b.payload), &got);
        std::string check = std::string("type(a) is int and type(b) is int and -2**63 <= a < 2**63"
                                        " and -2**63 <= b < 2**63");
        std::string values = std::string("(lambda a, b: ") + check + ")(" + c.a + ", " + c.b + ")";
        PyObject* valid = eval(values);
        if (valid == Py_True) {
            ASSERT_TRUE(ok) << message();
            std::string expected = std::string("(lambda a, b: (") + ops[c.op] +
                                   " + 2**63) % 2**64 - 2**63)(" + c.a + ", " + c.b + ")";
            EXPECT_TRUE(pyEqual(got, expected));
        } else {
            EXPECT_FALSE(ok);
            EXPECT_TRUE(fetchedIs(PyExc_TypeError));
            EXPECT_EQ(message(), std::string("rt.wrapping_") + helpers::wrappingOps[c.op].op +
                                     "() takes ints of 64 bits");
            EXPECT_EQ(got.tag, value::TagUnset);
            reset();
        }
        Py_XDECREF(valid);
    }
}

}  // namespace

}  // namespace wuna
