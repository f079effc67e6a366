// Math functions, one-argument builtins and type questions against the running interpreter:
// every math function over ints (small, 64-bit edges, wide, beyond 128 bits), floats (nan,
// inf, -0.0, huge, tiny), bools, strs and None gives Python's float bit for bit, or Python's
// exception type and text; every builtin over the same values and strs, bytes and containers
// gives Python's value or exception; the cases that must stay native do not reach Python (the
// builtins are counting wrappers). Type tests answer as isinstance and type() do. Every test
// leaves the thread's live block count where it found it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/native/differential.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/builtins.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/helpers/mathfns.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/pool.h"

namespace wuna {

namespace {

using helpers::BuiltinCode;
using helpers::MathCode;
using helpers::TypeCode;
using testing_support::eval;
using testing_support::run;
using value::Value;

// The values every table runs over, as Python expressions.
constexpr const char* kNumbers =
    "[0, 1, -1, 2, 7, -7, 1000, 2**53 + 1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**64 + 3,"
    " 2**100, -2**100, 2**127 - 1, -2**127, 2**200, -2**200, True, False,"
    " 0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.0, 3.9, -3.9, 0.1, 10.0, 1e-300, 5e-324, 1e300, 1e308,"
    " -1e308, 1e19, -1e19, 9.2e18, -9.2e18, 710.0, -745.5, float('inf'), float('-inf'),"
    " float('nan'), -float('nan')]";
constexpr const char* kOthers =
    "[None, '', 'a', '1', ' 12 ', '-3', '1.5', 'nan', 'x', 'ab', 'h\\u00e9llo', '\\u00e9',"
    " '\\U0010ffff', '\\ud800', '\\x00', '\\n', b'', b'ab', [], [1, 'b'], (), (1, 2.5), {}, {1: 2, 'a': []},"
    " {1, 2}, set(), frozenset({3}), bytearray(b'x'), 1j, object(), range(3)]";

class Builtins : public testing_support::Differential {
protected:
    void SetUp() override {
        Differential::SetUp();
        helpers::findLibm();
        run("import math, os\n");
    }

    // One math call natively against math.<name>(*args), where the native path may reach
    // Python only through a counting wrapper: whether it did, and the native result's tag
    // (none when it failed).
    struct MathOutcome {
        bool wentToPython;
        uint64_t tag;
    };
    MathOutcome mathCase(int32_t code, PyObject* args);

    // The native value of a Python object: containers copied, so that the helpers meet native
    // lists and dicts and not Python objects (a new reference).
    static Value native(PyObject* o) {
        Value v = Value::none();
        EXPECT_EQ(convert::convert(o, true, &v), 0) << show(o);
        PyErr_Clear();
        return v;
    }
};

// ---- Math ----------------------------------------------------------------------------------------

const char* const kMathNames[] = {
    "sqrt", "fabs", "degrees", "radians", "isnan", "isinf", "isfinite", "copysign", "modf", "fmod",
    "exp",  "log",  "log2",    "log10",   "sin",   "cos",   "tan",      "asin",     "acos", "atan",
    "sinh", "cosh", "tanh",    "asinh",   "acosh", "atanh", "expm1",    "log1p",    "atan2", "pow"};
static_assert(sizeof kMathNames / sizeof kMathNames[0] == size_t(helpers::kMathCodes));

Builtins::MathOutcome Builtins::mathCase(int32_t code, PyObject* args) {
    std::string name = kMathNames[code];
    PyObject* fn = eval("math." + name);
    PyObject* wrapper = counting("math." + name);
    std::vector<Value> values;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); i++)
        values.push_back(native(PyTuple_GET_ITEM(args, i)));
    Value out{};
    bool ok = wn_math(&ctx, 5, code, int64_t(uintptr_t(wrapper)), int64_t(values.size()),
                      values.data(), &out);
    MathOutcome outcome{pythonCalls() != 0, ok ? out.tag : value::TagNone};
    expectSame("math." + name + show(args), ok, out, fn, args, true);
    for (Value v : values) value::decref(v);
    Py_DECREF(wrapper);
    Py_DECREF(fn);
    return outcome;
}

class MathFunctions : public Builtins, public ::testing::WithParamInterface<int32_t> {};

TEST_P(MathFunctions, MatchPythonsMathOverEveryKindOfNumber) {
    int32_t code = GetParam();
    int arity = helpers::mathArity(MathCode(code));
    std::string values = std::string(kNumbers) + " + ['x', None, [1.0]]";
    std::string cases = arity == 1 ? "[(x,) for x in " + values + "]"
                                   : "[(x, y) for x in " + values + " for y in " + values + "]";
    eachCase(cases.c_str(), [&](PyObject* args) {
        bool wentToPython = mathCase(code, args).wentToPython;
        // Python is asked only for what is not a number it knows, or for a NaN from no NaN
        // and an infinity from finite numbers (the C library's domain and range cases).
        bool numbers = true, nanGiven = false, allFinite = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); i++) {
            PyObject* a = PyTuple_GET_ITEM(args, i);
            if (!PyFloat_Check(a) && !PyLong_Check(a)) {
                numbers = false;
                continue;
            }
            value::i128 ignored;
            if (PyLong_Check(a) && convert::intBits(a, &ignored) != 1) numbers = false;
            PyErr_Clear();
            double d = PyFloat_Check(a) ? PyFloat_AS_DOUBLE(a) : 0.0;
            nanGiven = nanGiven || std::isnan(d);
            allFinite = allFinite && std::isfinite(d);
        }
        // Python makes its own NaN for atan2 of a NaN, and its own rules for pow of what is
        // not finite.
        bool own = (nanGiven && code == int32_t(MathCode::atan2)) ||
                   (!allFinite && code == int32_t(MathCode::pow));
        if (!numbers || own) {
            EXPECT_TRUE(wentToPython) << kMathNames[code] << show(args);
            return;
        }
        PyObject* fn = eval(std::string("math.") + kMathNames[code]);
        PyObject* expected = PyObject_Call(fn, args, nullptr);
        Py_DECREF(fn);
        bool special = false;
        if (!expected) {
            special = true;  // an error is always Python's
            PyErr_Clear();
        } else if (PyFloat_Check(expected)) {
            double r = PyFloat_AS_DOUBLE(expected);
            special = (std::isnan(r) && !nanGiven) || (std::isinf(r) && allFinite);
        }
        Py_XDECREF(expected);
        if (!special) {
            EXPECT_FALSE(wentToPython) << kMathNames[code] << show(args);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Codes, MathFunctions, ::testing::Range(0, helpers::kMathCodes),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                             return std::string(kMathNames[info.param]);
                         });

TEST_F(Builtins, MathEdgesNamedOneByOne) {
    struct Case {
        MathCode code;
        const char* args;
        bool python;  // whether only Python may answer it
    };
    const Case cases[] = {
        {MathCode::sqrt, "(-1.0,)", true},       {MathCode::log, "(0.0,)", true},
        {MathCode::log, "(-1.0,)", true},        {MathCode::acos, "(2.0,)", true},
        {MathCode::fmod, "(1.0, 0.0)", true},    {MathCode::pow, "(0.0, -1.0)", true},
        {MathCode::exp, "(1000.0,)", true},      {MathCode::sqrt, "(float('nan'),)", false},
        {MathCode::exp, "(float('nan'),)", false}, {MathCode::exp, "(float('inf'),)", false},
        {MathCode::degrees, "(1e308,)", true},   {MathCode::sqrt, "(True,)", false},
        {MathCode::sqrt, "(2**100,)", false},    {MathCode::sqrt, "('4',)", true},
        {MathCode::modf, "(2.5,)", false},       {MathCode::modf, "(-3.5,)", false},
        {MathCode::modf, "(float('-inf'),)", false}, {MathCode::modf, "(float('nan'),)", false},
        {MathCode::modf, "(-2.0,)", false},      {MathCode::copysign, "(3.0, -0.0)", false},
        {MathCode::isfinite, "(float('inf'),)", false}, {MathCode::isinf, "(float('-inf'),)", false},
        {MathCode::fmod, "(-4.0, 2.0)", false},  {MathCode::atan2, "(0.0, -0.0)", false},
        {MathCode::pow, "(0.0, float('-inf'))", true}, {MathCode::pow, "(2.0, 0.5)", false},
    };
    for (const Case& c : cases) {
        PyObject* args = eval(c.args);
        MathOutcome outcome = mathCase(int32_t(c.code), args);
        EXPECT_EQ(outcome.wentToPython, c.python) << kMathNames[int32_t(c.code)] << c.args;
        if (!c.python && c.code == MathCode::modf) {
            EXPECT_EQ(outcome.tag, value::TagTuple) << c.args;
        }
        Py_DECREF(args);
    }
}

TEST_F(Builtins, TranscendentalFunctionsGoToPythonWhileTheLibraryIsNotFound) {
    uint8_t saved = helpers::libm_ready;
    helpers::libm_ready = 0;
    PyObject* wrapper = counting("math.exp");
    Value one = Value::real(1.0);
    Value out{};
    ASSERT_TRUE(wn_math(&ctx, 1, int32_t(MathCode::exp), int64_t(uintptr_t(wrapper)), 1, &one, &out));
    EXPECT_EQ(pythonCalls(), 1u);
    EXPECT_EQ(value::asDouble(out.payload), std::exp(1.0));
    // The elementary ones need no library.
    ASSERT_TRUE(wn_math(&ctx, 1, int32_t(MathCode::sqrt), int64_t(uintptr_t(wrapper)), 1, &one, &out));
    EXPECT_EQ(pythonCalls(), 0u);
    helpers::libm_ready = saved;
    Py_DECREF(wrapper);
}

TEST_F(Builtins, HugeIntsAreBigIntsAndExactPythonInts) {
    run("class Sub(int): pass\n");
    struct Case {
        const char* expression;
        bool asObject;  // kept as a Python object instead of converted
        bool huge;
    };
    const Case cases[] = {
        {"2**100", false, true}, {"2**200", false, true}, {"2**200", true, true},
        {"5", false, false},     {"True", false, false},  {"True", true, false},
        {"Sub(2**200)", true, false}, {"1.5", false, false}, {"'9' * 30", false, false},
    };
    for (const Case& c : cases) {
        PyObject* o = eval(c.expression);
        Value v = c.asObject ? Value::of(value::TagPy, Py_NewRef(o)) : native(o);
        EXPECT_EQ(wn_huge_int(int64_t(v.tag), int64_t(v.payload)), c.huge) << c.expression;
        value::decref(v);
        Py_DECREF(o);
    }
    EXPECT_FALSE(wn_huge_int(int64_t(value::TagInt), -1));
    EXPECT_FALSE(wn_huge_int(int64_t(value::TagPint), 5));
}

// ---- One-argument builtins -----------------------------------------------------------------------

struct BuiltinCase {
    BuiltinCode code;
    const char* name;  // the Python callable
};
const BuiltinCase kBuiltins[] = {
    {BuiltinCode::int_, "int"},         {BuiltinCode::float_, "float"},
    {BuiltinCode::len, "len"},          {BuiltinCode::abs, "abs"},
    {BuiltinCode::str, "str"},          {BuiltinCode::bool_, "bool"},
    {BuiltinCode::list, "list"},        {BuiltinCode::floor, "math.floor"},
    {BuiltinCode::ceil, "math.ceil"},   {BuiltinCode::chr, "chr"},
    {BuiltinCode::ord, "ord"},          {BuiltinCode::fspath, "os.fspath"},
    {BuiltinCode::repr, "repr"},
};

class OneArgument : public Builtins, public ::testing::WithParamInterface<BuiltinCase> {};

TEST_P(OneArgument, MatchesThePythonBuiltin) {
    const BuiltinCase& b = GetParam();
    PyObject* fn = eval(b.name);
    PyObject* wrapper = counting(b.name);
    std::string values = std::string(kNumbers) + " + " + kOthers;
    eachCase(values.c_str(), [&](PyObject* o) {
        Value v = native(o);
        Value out{};
        bool ok = wn_builtin(&ctx, 9, int32_t(b.code), int64_t(uintptr_t(wrapper)),
                             int64_t(v.tag), int64_t(v.payload), &out);
        pythonCalls();
        PyObject* args = PyTuple_Pack(1, o);
        expectSame(std::string(b.name) + "(" + show(o) + ")", ok, out, fn, args, true);
        Py_DECREF(args);
        value::decref(v);
    });
    Py_DECREF(wrapper);
    Py_DECREF(fn);
}

INSTANTIATE_TEST_SUITE_P(Codes, OneArgument, ::testing::ValuesIn(kBuiltins),
                         [](const ::testing::TestParamInfo<BuiltinCase>& info) {
                             std::string n = info.param.name;
                             return n.substr(n.find('.') + 1);
                         });

// What must be answered without Python, and what must reach it.
TEST_F(Builtins, TheNativeCasesStayNative) {
    struct Case {
        BuiltinCode code;
        const char* name;
        const char* value;
        bool python;
    };
    const Case cases[] = {
        {BuiltinCode::int_, "int", "3.9", false},        {BuiltinCode::int_, "int", "-3.9", false},
        {BuiltinCode::int_, "int", "1e19", true},        {BuiltinCode::int_, "int", "float('nan')", true},
        {BuiltinCode::int_, "int", "True", false},       {BuiltinCode::int_, "int", "' 42 '", false},
        {BuiltinCode::int_, "int", "2**100", false},     {BuiltinCode::int_, "int", "None", true},
        {BuiltinCode::float_, "float", "2**100", false}, {BuiltinCode::float_, "float", "'1.5'", false},
        {BuiltinCode::len, "len", "'h\\u00e9llo'", false}, {BuiltinCode::len, "len", "{1: 2}", false},
        {BuiltinCode::len, "len", "b'abc'", false},      {BuiltinCode::len, "len", "5", true},
        {BuiltinCode::abs, "abs", "-0.0", false},        {BuiltinCode::abs, "abs", "-2**63", false},
        {BuiltinCode::abs, "abs", "-2**127", true},      {BuiltinCode::abs, "abs", "-2**100", false},
        {BuiltinCode::str, "str", "[1, 2]", true},       {BuiltinCode::repr, "repr", "[1, 'b']", false},
        {BuiltinCode::str, "str", "1.5", false},         {BuiltinCode::repr, "repr", "'a\\nb'", false},
        {BuiltinCode::bool_, "bool", "[]", false},       {BuiltinCode::bool_, "bool", "2**100", false},
        {BuiltinCode::list, "list", "(1, 2)", false},    {BuiltinCode::list, "list", "'ab'", false},
        {BuiltinCode::list, "list", "b'ab'", true},      {BuiltinCode::floor, "math.floor", "-0.5", false},
        {BuiltinCode::ceil, "math.ceil", "-0.5", false}, {BuiltinCode::floor, "math.floor", "1e300", true},
        {BuiltinCode::chr, "chr", "0x10FFFF", false},    {BuiltinCode::chr, "chr", "0xD800", true},
        {BuiltinCode::chr, "chr", "-1", true},           {BuiltinCode::ord, "ord", "'\\u00e9'", false},
        {BuiltinCode::ord, "ord", "'ab'", true},         {BuiltinCode::fspath, "os.fspath", "'p'", false},
    };
    for (const Case& c : cases) {
        int64_t before = pool::liveBlocks();
        std::string shown = std::string(c.name) + "(" + c.value + ")";
        PyObject* o = eval(c.value);
        PyObject* wrapper = counting(c.name);
        Value v = native(o);
        Value out{};
        bool ok = wn_builtin(&ctx, 9, int32_t(c.code), int64_t(uintptr_t(wrapper)),
                             int64_t(v.tag), int64_t(v.payload), &out);
        EXPECT_EQ(pythonCalls() != 0, c.python) << shown;
        if (ok && !c.python) {
            EXPECT_NE(out.tag, value::TagPy) << shown;
        }
        PyObject* args = PyTuple_Pack(1, o);
        PyObject* fn = eval(c.name);
        expectSame(shown, ok, out, fn, args, true);
        Py_DECREF(fn);
        Py_DECREF(args);
        value::decref(v);
        Py_DECREF(wrapper);
        Py_DECREF(o);
        EXPECT_EQ(pool::liveBlocks(), before) << shown;
    }
}

// len() of a Python list, tuple or dict object is read from the object; any other object's
// is Python's.
TEST_F(Builtins, LenOfPythonContainersIsReadNatively) {
    PyObject* wrapper = counting("len");
    struct Case {
        const char* value;
        bool python;
    };
    const Case cases[] = {{"[1, 2, 3]", false}, {"()", false},         {"{1: 2}", false},
                          {"'abc'", true},      {"range(4)", true},    {"{5}", true},
                          {"type('L', (list,), {})([1])", true}};
    PyObject* lenFn = eval("len");
    for (const Case& c : cases) {
        PyObject* o = eval(c.value);
        Value v = Value::of(value::TagPy, Py_NewRef(o));
        Value out{};
        bool ok = wn_builtin(&ctx, 1, int32_t(BuiltinCode::len), int64_t(uintptr_t(wrapper)),
                             int64_t(v.tag), int64_t(v.payload), &out);
        EXPECT_EQ(pythonCalls() != 0, c.python) << c.value;
        PyObject* args = PyTuple_Pack(1, o);
        expectSame(std::string("len(") + c.value + ")", ok, out, lenFn, args, false);
        Py_DECREF(args);
        value::decref(v);
        Py_DECREF(o);
    }
    Py_DECREF(lenFn);
    Py_DECREF(wrapper);
}

TEST_F(Builtins, TheKindsOfNativeResults) {
    PyObject* intFn = eval("int");
    Value out{};
    ASSERT_TRUE(wn_builtin(&ctx, 1, int32_t(BuiltinCode::int_), int64_t(uintptr_t(intFn)),
                           int64_t(value::TagBool), 1, &out));
    EXPECT_EQ(out.tag, value::TagPint);
    EXPECT_EQ(out.payload, 1u);
    // abs keeps a checked int checked, and its most negative value overflows.
    PyObject* absFn = eval("abs");
    ASSERT_TRUE(wn_builtin(&ctx, 1, int32_t(BuiltinCode::abs), int64_t(uintptr_t(absFn)),
                           int64_t(value::TagInt), -5, &out));
    EXPECT_EQ(out.tag, value::TagInt);
    EXPECT_EQ(int64_t(out.payload), 5);
    EXPECT_FALSE(wn_builtin(&ctx, 33, int32_t(BuiltinCode::abs), int64_t(uintptr_t(absFn)),
                            int64_t(value::TagInt), INT64_MIN, &out));
    EXPECT_EQ(ctx.kind, uint8_t(errors::Kind::IntegerOverflow));
    EXPECT_EQ(ctx.site, 33);
    EXPECT_EQ(failureText(), "integer overflow");
    helpers::clearError(&ctx);
    // A plain int's most negative value has a magnitude as a big int.
    ASSERT_TRUE(wn_builtin(&ctx, 1, int32_t(BuiltinCode::abs), int64_t(uintptr_t(absFn)),
                           int64_t(value::TagPint), INT64_MIN, &out));
    EXPECT_EQ(out.tag, value::TagBig);
    value::decref(out);
    // list() of a list is a new list.
    PyObject* listFn = eval("list");
    PyObject* items = eval("[1, 2.5, 'x']");
    Value l = native(items);
    Py_DECREF(items);
    ASSERT_TRUE(wn_builtin(&ctx, 1, int32_t(BuiltinCode::list), int64_t(uintptr_t(listFn)),
                           int64_t(l.tag), int64_t(l.payload), &out));
    EXPECT_EQ(out.tag, value::TagList);
    EXPECT_NE(out.payload, l.payload);
    EXPECT_EQ(out.as<value::List>()->count, 3u);
    EXPECT_TRUE(value::equal(out, l));
    value::decref(out);
    value::decref(l);
    Py_DECREF(listFn);
    Py_DECREF(absFn);
    Py_DECREF(intFn);
}

TEST_F(Builtins, StrOfAnExceptionValueIsPythons) {
    struct Case {
        errors::Kind kind;
        const char* args;
        const char* python;
    };
    const Case cases[] = {
        {errors::Kind::ValueError, "('boom',)", "ValueError('boom')"},
        {errors::Kind::KeyError, "('k',)", "KeyError('k')"},
        {errors::Kind::TypeError, "(1, 'two')", "TypeError(1, 'two')"},
        {errors::Kind::IndexError, "()", "IndexError()"},
    };
    PyObject* strFn = eval("str");
    for (const Case& c : cases) {
        PyObject* argsObject = eval(c.args);
        Value args = native(argsObject);
        Py_DECREF(argsObject);
        Value exc = Value::of(value::TagExc, value::newExc(uint32_t(c.kind), args, Value::none(),
                                                            Value::none(), 0));
        Value out{};
        bool ok = wn_builtin(&ctx, 1, int32_t(BuiltinCode::str), int64_t(uintptr_t(strFn)),
                             int64_t(exc.tag), int64_t(exc.payload), &out);
        PyObject* call = eval(std::string("(") + c.python + ",)");
        expectSame(std::string("str(") + c.python + ")", ok, out, strFn, call, false);
        Py_DECREF(call);
        value::decref(exc);
        value::decref(args);
    }
    Py_DECREF(strFn);
}

TEST_F(Builtins, IdIsStableForValuesAndTheAddressForObjects) {
    PyObject* idFn = eval("id");
    auto id = [&](Value v) {
        Value out{};
        EXPECT_TRUE(wn_builtin(&ctx, 1, int32_t(BuiltinCode::id), int64_t(uintptr_t(idFn)),
                               int64_t(v.tag), int64_t(v.payload), &out));
        EXPECT_EQ(out.tag, value::TagPint);
        return int64_t(out.payload);
    };
    EXPECT_EQ(id(Value::none()), int64_t(uintptr_t(Py_None)));
    EXPECT_EQ(id(Value::boolean(true)), int64_t(uintptr_t(Py_True)));
    EXPECT_EQ(id(Value::boolean(false)), int64_t(uintptr_t(Py_False)));
    // The same int is the same number whatever its kind; different values differ.
    EXPECT_EQ(id(Value::pint(12345)), id(Value::integer(12345)));
    EXPECT_NE(id(Value::pint(12345)), id(Value::pint(12346)));
    EXPECT_NE(id(Value::pint(1)), id(Value::real(1.0)));
    EXPECT_EQ(id(Value::real(2.5)), id(Value::real(2.5)));
    EXPECT_EQ(id(Value::pint(7)) & 1, 1);
    EXPECT_GT(id(Value::pint(-1)), 0);
    PyObject* one = eval("[1]");
    Value l = native(one);
    Py_DECREF(one);
    EXPECT_EQ(id(l), int64_t(l.payload));
    value::decref(l);
    PyObject* o = eval("object()");
    EXPECT_EQ(id(Value::of(value::TagPy, o)), int64_t(uintptr_t(o)));
    Py_DECREF(o);
    Py_DECREF(idFn);
}

// ---- Type questions ------------------------------------------------------------------------------

const char* const kTypeClasses[] = {"int",   "float",     "str",     "bool",  "list",
                                    "tuple", "dict",      "None",    "Function", "bytes",
                                    "bytearray", "complex", "set",   "frozenset"};
static_assert(sizeof kTypeClasses / sizeof kTypeClasses[0] == size_t(TypeCode::count));

TEST_F(Builtins, IsTypeAnswersAsIsinstance) {
    run("class IntSub(int): pass\nclass StrSub(str): pass\nclass DictSub(dict): pass\n");
    std::string values = std::string(kNumbers) + " + " + kOthers +
                         " + [IntSub(3), StrSub('s'), DictSub(), frozenset()]";
    eachCase(values.c_str(), [&](PyObject* o) {
        Value v = native(o);
        Value asObject = Value::of(value::TagPy, Py_NewRef(o));
        for (int32_t code = 0; code < int32_t(TypeCode::count); code++) {
            auto typeCode = TypeCode(code);
            std::string cls = kTypeClasses[code];
            bool expected = false;
            if (typeCode == TypeCode::none) {
                expected = o == Py_None;
            } else if (typeCode != TypeCode::function) {
                PyObject* klass = eval(cls);
                expected = PyObject_IsInstance(o, klass) == 1;
                Py_DECREF(klass);
            }
            std::string shown = "isinstance(" + show(o) + ", " + cls + ")";
            // A Python object is asked of its class; None as an object is never None's.
            bool objectExpected = typeCode == TypeCode::none ? false : expected;
            EXPECT_EQ(wn_is_type(int64_t(asObject.tag), int64_t(asObject.payload), code),
                      objectExpected)
                << shown << " of the Python object";
            // Natively, mutable bytes, complex numbers and frozensets have no tag of their own.
            if (v.tag != value::TagPy && typeCode != TypeCode::bytearray &&
                typeCode != TypeCode::complex && typeCode != TypeCode::frozenset &&
                !PyFrozenSet_CheckExact(o) && !PyByteArray_Check(o)) {
                EXPECT_EQ(wn_is_type(int64_t(v.tag), int64_t(v.payload), code), expected)
                    << shown << " of the native value";
            }
        }
        value::decref(asObject);
        value::decref(v);
    });
}

TEST_F(Builtins, TypeAndItsNameAnswerAsPython) {
    std::string values = std::string(kNumbers) + " + " + kOthers;
    eachCase(values.c_str(), [&](PyObject* o) {
        Value v = native(o);
        if (v.tag == value::TagBytes && !(v.as<value::Bytes>()->h.flags & value::FlagImmutable)) {
            value::decref(v);  // a mutable bytes block is wuna.Bytes, which needs the module
            return;
        }
        Value type{};
        wn_type(int64_t(v.tag), int64_t(v.payload), &type);
        ASSERT_EQ(type.tag, value::TagPy);
        PyObject* expected = reinterpret_cast<PyObject*>(Py_TYPE(o));
        EXPECT_EQ(type.as<PyObject>(), expected) << "type(" << show(o) << ")";
        Value name{};
        ASSERT_TRUE(wn_type_name(&ctx, 1, int64_t(v.tag), int64_t(v.payload), &name)) << show(o);
        ASSERT_EQ(name.tag, value::TagStr);
        EXPECT_EQ(std::string(name.as<value::Str>()->text()),
                  std::string(reinterpret_cast<PyTypeObject*>(expected)->tp_name))
            << show(o);
        value::decref(name);
        value::decref(type);
        value::decref(v);
    });
}

TEST_F(Builtins, TypeOfTheRuntimesOwnKinds) {
    struct Case {
        Value v;
        PyTypeObject* type;
        const char* name;
    };
    value::Bytes* mutableBytes = value::newOwnedBytes(2);
    mutableBytes->h.flags &= ~value::FlagImmutable;
    const Case cases[] = {
        {Value::integer(5), &PyLong_Type, "int"},  // I64 where the module is loaded
        {Value::of(value::TagExc, value::newExc(uint32_t(errors::Kind::KeyError), Value::none(),
                                                 Value::none(), Value::none(), 0)),
         reinterpret_cast<PyTypeObject*>(PyExc_KeyError), "KeyError"},
        {Value::of(value::TagBytes, mutableBytes), Py_TYPE(Py_None), "Bytes"},
        {Value{value::TagUnset, 0}, Py_TYPE(Py_None), nullptr},
    };
    // wuna.Bytes is not bytes.
    EXPECT_FALSE(wn_is_type(int64_t(value::TagBytes), int64_t(uintptr_t(mutableBytes)),
                            int32_t(TypeCode::bytes)));
    for (const Case& c : cases) {
        Value type{};
        wn_type(int64_t(c.v.tag), int64_t(c.v.payload), &type);
        EXPECT_EQ(type.as<PyObject>(), reinterpret_cast<PyObject*>(c.type)) << c.type->tp_name;
        value::decref(type);
        if (c.name) {
            Value name{};
            ASSERT_TRUE(wn_type_name(&ctx, 1, int64_t(c.v.tag), int64_t(c.v.payload), &name));
            EXPECT_EQ(std::string(name.as<value::Str>()->text()), c.name);
            value::decref(name);
        }
        value::decref(c.v);
    }
}

// What goes to Python is counted on the run's tally as wn_call_python counts its calls, and
// list() of what is not a native container as "items <type>"; native answers count nothing.
TEST_F(Builtins, HandOversAreCountedOnTheRunsTally) {
    testing_support::ReportingRun reporting(&ctx);
    PyObject* lenFn = eval("len");
    PyObject* sqrtFn = eval("math.sqrt");
    PyObject* o = eval("range(3)");
    Value r = Value::of(value::TagPy, Py_NewRef(o));
    Value out{};
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(wn_builtin(&ctx, 1, int32_t(BuiltinCode::len), int64_t(uintptr_t(lenFn)),
                               int64_t(r.tag), int64_t(r.payload), &out));
    }
    Value minusOne = Value::real(-1.0);
    EXPECT_FALSE(wn_math(&ctx, 1, int32_t(MathCode::sqrt), int64_t(uintptr_t(sqrtFn)), 1,
                         &minusOne, &out));
    helpers::clearError(&ctx);
    ASSERT_TRUE(wn_items(&ctx, 1, int64_t(r.tag), int64_t(r.payload), &out));
    value::decref(out);
    // Native answers count nothing.
    Value two = Value::real(2.0);
    ASSERT_TRUE(wn_math(&ctx, 1, int32_t(MathCode::sqrt), int64_t(uintptr_t(sqrtFn)), 1, &two,
                        &out));
    ASSERT_TRUE(wn_builtin(&ctx, 1, int32_t(BuiltinCode::abs), int64_t(uintptr_t(lenFn)),
                           int64_t(two.tag), int64_t(two.payload), &out));
    EXPECT_EQ(reporting.tally.used, 3u);
    EXPECT_EQ(reporting.count("call_python len(range)"), 2u);
    EXPECT_EQ(reporting.count("call_python sqrt(float)"), 1u);
    EXPECT_EQ(reporting.count("items range"), 1u);
    value::decref(r);
    Py_DECREF(o);
    Py_DECREF(sqrtFn);
    Py_DECREF(lenFn);
}

// type() of the module's own kinds names the module's types, which start-up hands over (stand-in
// types here): a checked int is I64, a node index and a counted node are wuna.Node, an rt is
// wuna.CompiledRuntime whatever scope its tag carries, a record without a Python class is
// wuna.Record.
TEST_F(Builtins, TypeOfTheModulesKindsIsTheModulesTypes) {
    runtime::HostApi saved = runtime::hostApi;
    runtime::hostApi.i64Type = &PyBool_Type;
    runtime::hostApi.nodeType = &PyRange_Type;
    runtime::hostApi.compiledRuntimeType = &PySlice_Type;
    runtime::hostApi.functionType = &PyCell_Type;
    struct Case {
        uint64_t tag;
        PyTypeObject* type;
        const char* name;
    };
    const Case cases[] = {
        {value::TagInt, &PyBool_Type, "int"},
        {value::TagPint, &PyLong_Type, "int"},
        {value::TagNodeIndex, &PyRange_Type, "range"},
        {value::TagNode, &PyRange_Type, nullptr},  // no block to name
        {value::TagRuntime, &PySlice_Type, "slice"},
        {value::TagRuntime | (uint64_t(3) << 32), &PySlice_Type, "slice"},
    };
    for (const Case& c : cases) {
        Value type{};
        wn_type(int64_t(c.tag), 0, &type);
        EXPECT_EQ(type.as<PyObject>(), reinterpret_cast<PyObject*>(c.type)) << c.tag;
        value::decref(type);
        if (!c.name) continue;
        Value name{};
        ASSERT_TRUE(wn_type_name(&ctx, 1, int64_t(c.tag), 0, &name)) << c.tag;
        EXPECT_EQ(std::string(name.as<value::Str>()->text()), c.name) << c.tag;
        value::decref(name);
    }
    runtime::hostApi = saved;
}

}  // namespace

}  // namespace wuna
