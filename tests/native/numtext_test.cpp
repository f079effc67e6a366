// Numbers from text against the running interpreter: int(text, base), int(text) and
// float(text) over generated valid and invalid texts give Python's value (floats bit for bit)
// or Python's exception type and message, natively wherever the text is within reach and
// through the Python builtin otherwise; the builtin is a counting wrapper, so a case that
// should be native and quietly went to Python is caught too. Also the parsers' own answers,
// the non-str values and odd bases of int(x, base), and float text under a comma locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "tests/native/helper_outcomes.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/numtext.h"
#include "wuna/runtime/helpers/table.h"

namespace wuna {

namespace {

using helpers::Ctx;
using testing_support::eval;
using testing_support::fromPython;
using testing_support::Generated;
using testing_support::run;
using value::Value;

// The shape of every case: Python's outcome of a call, and the native one, compared.
class NumbersFromText : public testing_support::WithPython {
protected:
    void SetUp() override {
        WithPython::SetUp();
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
        run("calls = []\n"
            "def counting(fn):\n"
            "    def call(*args):\n"
            "        calls.append(args)\n"
            "        return fn(*args)\n"
            "    return call\n"
            "count_int = counting(int)\n"
            "count_float = counting(float)\n");
        countInt = eval("count_int");
        countFloat = eval("count_float");
    }
    void TearDown() override {
        Py_XDECREF(countInt);
        Py_XDECREF(countFloat);
        helpers::endCtx(&ctx);
        WithPython::TearDown();
    }

    // How many times the counting builtins were called since the last look.
    size_t pythonCalls() {
        PyObject* calls = eval("calls");
        size_t n = size_t(PyList_GET_SIZE(calls));
        PyList_SetSlice(calls, 0, PY_SSIZE_T_MAX, nullptr);
        Py_DECREF(calls);
        return n;
    }

    static std::string show(PyObject* o) {
        PyObject* r = PyObject_Repr(o);
        std::string s = r ? PyUnicode_AsUTF8(r) : "<repr failed>";
        Py_XDECREF(r);
        PyErr_Clear();
        return s;
    }

    // Compares the native outcome (ok, *out) with Python's fn(*args); releases out.
    void expectSame(const std::string& shown, bool ok, Value out, PyObject* fn, PyObject* args,
                    bool bitExact) {
        testing_support::expectSameOutcome(&ctx, shown, ok, out, fn, args, bitExact);
    }

    // The value of a Python object as the module converts it (a str with lone surrogates
    // stays a Python object, as no native str can hold it).
    Value converted(PyObject* o) {
        Value v = Value::none();
        EXPECT_EQ(convert::convert(o, false, &v), 0) << show(o);
        return v;
    }

    // Runs body on each item of the list a Python expression gives.
    template <class Body>
    void eachCase(const char* expression, Body body) {
        PyObject* cases = eval(expression);
        ASSERT_NE(cases, nullptr);
        ASSERT_GT(PyList_GET_SIZE(cases), 0);
        pythonCalls();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cases); i++) body(PyList_GET_ITEM(cases, i));
        Py_DECREF(cases);
    }

    using StrHelper = bool (*)(Ctx*, int32_t, PyObject*, value::Str*, Value*);

    // One text through int() or float() of a str against the builtin; a native result has
    // nativeTag. A text the module keeps as a Python object (lone surrogates) is skipped:
    // wn_builtin hands such a value to Python without asking the str helpers.
    void strHelperCase(PyObject* text, StrHelper helper, PyObject* counting,
                       PyTypeObject* builtin, uint64_t nativeTag) {
        Value s = converted(text);
        if (s.tag != value::TagStr) {
            value::decref(s);
            return;
        }
        std::string shown = std::string(builtin->tp_name) + "(" + show(text) + ")";
        Value out{};
        bool ok = helper(&ctx, 2, counting, s.as<value::Str>(), &out);
        if (ok && pythonCalls() == 0) {
            EXPECT_EQ(out.tag, nativeTag) << shown;
        }
        PyObject* args = PyTuple_Pack(1, text);
        expectSame(shown, ok, out, reinterpret_cast<PyObject*>(builtin), args,
                   builtin == &PyFloat_Type);
        Py_DECREF(args);
        value::decref(s);
    }

    Ctx ctx{};
    PyObject* countInt = nullptr;
    PyObject* countFloat = nullptr;
};

// Group names of the generated tables.
std::string groupName(const ::testing::TestParamInfo<Generated>& info) {
    return "group" + std::to_string(info.index);
}

// ---- int(text, base) -----------------------------------------------------------------------

// Each case is (text, base); every text is tried with each base given.
const Generated intBaseCases[] = {
    {"signs, whitespace and underscores in every place",
     "[(t, b) for t in ['0', '1', '-1', '+1', ' 12 ', '\\t\\n\\x0b\\x0c\\r12\\r\\n', '- 1', '+ 5',"
     " '--1', '+-1', '-', '+', '', ' ', '   ', '1_000', '1__0', '_1', '1_', '_', '1_0_0',"
     " '-1_0', '-_1', '1 0', '12a', 'a12', '1.0', '1e3', '0_0', '00', '000', '0_7', '010',"
     " '1\\x00', '\\x005', '\\x1c5', '5\\x1f', '\\x7f', '\"1\"', \"'1'\", '\\\\1']"
     " for b in (0, 2, 8, 10, 16, 36)]"},
    {"prefixes with base 0 and with their own and other bases",
     "[(s + p + t, b) for s in ('', '-', '+') for p in ('0x', '0X', '0o', '0O', '0b', '0B')"
     " for t in ('', '1', '_1', '__1', '1_', '10', 'z', '_', '1_1', ' 1')"
     " for b in (0, 2, 8, 10, 16, 36)]"
     " + [('0x_1f', 0), ('0x10', 10), ('0b', 0), ('-0o17', 8), ('z', 36), ('0b1', 16),"
     " ('0x', 33), (' 0x1f ', 0), ('0 x1', 0), ('00x1', 0), ('0_x1', 0)]"},
    {"every base from 2 to 36 with each digit at and past the limit",
     "[(t, b) for b in range(2, 37) for t in ["
     " '0123456789abcdefghijklmnopqrstuvwxyz'[:b], '0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ'[:b],"
     " '0123456789abcdefghijklmnopqrstuvwxyz'[b - 1:b + 1], '-' + '10' * 5]]"},
    {"values near 2**63, 2**64, 2**127, 2**128 and beyond in several bases",
     "[(s + t, b) for e in (62, 63, 64, 65, 126, 127, 128, 129, 200)"
     " for d in (-2, -1, 0, 1, 2) for v in [2**e + d] for s in ('', '-')"
     " for b, t in [(2, bin(v)), (2, bin(v)[2:]), (8, oct(v)), (8, oct(v)[2:]), (16, hex(v)),"
     " (16, hex(v)[2:].upper()), (10, str(v)), (0, str(v)), (0, hex(v)), (0, oct(v)),"
     " (0, bin(v)), (10, '{:_}'.format(v)), (36, (lambda f: f(f, v))(lambda f, n:"
     " (f(f, n // 36) if n >= 36 else '') + '0123456789abcdefghijklmnopqrstuvwxyz'[n % 36]))]]"},
    {"huge, long and not ASCII",
     "[('9' * 40, 10), ('-' + '9' * 40, 10), ('1' * 640, 10), ('1' * 641, 10),"
     " ('0' * 700 + '1', 10), ('0' * 700 + '1', 16), ('1' * 5000 + 'x', 10),"
     " ('x' * 300, 10), ('x' * 300, 0), (\"'\" * 150 + '\"' * 150, 16), ('\\x01' * 100, 2),"
     " ('\\u0661\\u0662', 10), ('\\u00a012', 0), ('12\\u3000', 10), ('\\u00e9', 16),"
     " ('1\\u00e9', 10), ('\\ud800', 10), ('12' + '_3' * 300, 10), (' ' * 700 + '5', 10)]"},
};

class IntBase : public NumbersFromText, public ::testing::WithParamInterface<Generated> {};

TEST_P(IntBase, MatchesPythonsIntWithABase) {
    PyObject* pyInt = reinterpret_cast<PyObject*>(&PyLong_Type);
    eachCase(GetParam().expression, [&](PyObject* args) {
        PyObject* text = PyTuple_GET_ITEM(args, 0);
        int32_t base = int32_t(PyLong_AsLong(PyTuple_GET_ITEM(args, 1)));
        std::string shown = "int(" + show(text) + ", " + std::to_string(base) + ")";
        Value s = converted(text);
        Value out{};
        bool ok = wn_int_base(&ctx, 7, int64_t(uintptr_t(countInt)), int64_t(s.tag),
                              int64_t(s.payload), base, &out);
        bool wentToPython = pythonCalls() != 0;
        // Native unless the text is not ASCII, long, or its value is past 128 bits.
        PyObject* expected = PyObject_Call(pyInt, args, nullptr);
        value::i128 ignored;
        int fits = expected ? convert::intBits(expected, &ignored) : 1;
        PyErr_Clear();
        Py_XDECREF(expected);
        bool shouldBeNative =
            PyUnicode_IS_ASCII(text) && PyUnicode_GET_LENGTH(text) <= 640 && fits == 1;
        EXPECT_EQ(wentToPython, !shouldBeNative) << shown;
        value::i128 wide = 0;
        if (ok && fits == 1 && value::wide(out, &wide)) {
            bool small = wide >= INT64_MIN && wide <= INT64_MAX;
            EXPECT_EQ(out.tag, small ? value::TagPint : value::TagBig) << shown;
        }
        expectSame(shown, ok, out, pyInt, args, false);
        value::decref(s);
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, IntBase, ::testing::ValuesIn(intBaseCases), groupName);

// ---- int(x, base) of what is not a str, and bases that are not small ints -----------------

const char* const notStrValues =
    "[5, None, True, 1.5, [1], (1,), b'10', bytearray(b'10'), 2**100, type('S', (str,), {})('7'),"
    " object()]";

TEST_F(NumbersFromText, IntOfANonStrWithABaseIsPythonsTypeErrorOrItsValue) {
    PyObject* values = eval(notStrValues);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); i++) {
        PyObject* x = PyList_GET_ITEM(values, i);
        std::string shown = "int(" + show(x) + ", 2)";
        Value v = fromPython(x);
        Value out{};
        bool ok = wn_int_base(&ctx, 3, int64_t(uintptr_t(countInt)), int64_t(v.tag),
                              int64_t(v.payload), 2, &out);
        // The scalars and containers are refused natively; the rest is Python's to judge.
        EXPECT_EQ(pythonCalls() != 0, v.tag > value::TagDict) << shown;
        PyObject* args = Py_BuildValue("(Oi)", x, 2);
        expectSame(shown, ok, out, reinterpret_cast<PyObject*>(&PyLong_Type), args, false);
        Py_DECREF(args);
        value::decref(v);
    }
    Py_DECREF(values);
}

TEST_F(NumbersFromText, AnyBaseIsPythonsToJudgeUnlessASmallIntInRange) {
    PyObject* bases = eval("[0, 2, 10, 36, 1, 37, -1, -2**63, 2**70, True, False, 1.5, None, '10',"
                           " 2.0]");
    PyObject* texts = eval("['10', '-0x1f', 'z', 5, b'11']");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bases); i++) {
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(texts); j++) {
            PyObject* base = PyList_GET_ITEM(bases, i);
            PyObject* text = PyList_GET_ITEM(texts, j);
            std::string shown = "int(" + show(text) + ", " + show(base) + ")";
            Value b = fromPython(base);
            Value t = fromPython(text);
            Value out{};
            bool ok = wn_int_base_of(&ctx, 4, int64_t(uintptr_t(countInt)), int64_t(t.tag),
                                     int64_t(t.payload), int64_t(b.tag), int64_t(b.payload), &out);
            bool smallBase = (b.tag == value::TagPint || b.tag == value::TagBool) &&
                             (b.payload == 0 || (b.payload >= 2 && b.payload <= 36));
            EXPECT_EQ(pythonCalls() != 0, !smallBase || t.tag > value::TagDict) << shown;
            PyObject* args = PyTuple_Pack(2, text, base);
            expectSame(shown, ok, out, reinterpret_cast<PyObject*>(&PyLong_Type), args, false);
            Py_DECREF(args);
            value::decref(b);
            value::decref(t);
        }
    }
    Py_DECREF(bases);
    Py_DECREF(texts);
}

TEST_F(NumbersFromText, AnI64BaseIsASmallInt) {
    Value s = Value::of(value::TagStr, value::newStr("ff", 2));
    Value out{};
    ASSERT_TRUE(wn_int_base_of(&ctx, 1, int64_t(uintptr_t(countInt)), int64_t(s.tag),
                               int64_t(s.payload), int64_t(value::TagInt), 16, &out));
    EXPECT_EQ(out.tag, value::TagPint);
    EXPECT_EQ(int64_t(out.payload), 255);
    EXPECT_EQ(pythonCalls(), 0u);
    value::decref(s);
}

TEST_F(NumbersFromText, AnInvalidLiteralIsAValueErrorAtItsSiteAndTheFirstFailureWins) {
    Value s = Value::of(value::TagStr, value::newStr(" 12x ", 5));
    Value out{};
    EXPECT_FALSE(wn_int_base(&ctx, 42, int64_t(uintptr_t(countInt)), int64_t(s.tag),
                             int64_t(s.payload), 0, &out));
    EXPECT_EQ(ctx.failing, 1);
    EXPECT_EQ(ctx.site, 42);
    EXPECT_EQ(ctx.kind, uint8_t(errors::Kind::ValueError));
    std::string message(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    EXPECT_EQ(message, "invalid literal for int() with base 0: ' 12x '");
    EXPECT_FALSE(wn_int_base(&ctx, 43, int64_t(uintptr_t(countInt)), int64_t(value::TagNone), 0,
                             10, &out));
    EXPECT_EQ(ctx.site, 42) << "a later failure changes nothing";
    EXPECT_EQ(ctx.kind, uint8_t(errors::Kind::ValueError));
    helpers::clearError(&ctx);
    value::decref(s);
}

// ---- int(text) -----------------------------------------------------------------------------

const Generated intCases[] = {
    {"the forms int() reads and refuses",
     "[' 12 ', '1_000', '1__0', '_1', '1_', '+ 5', '-5', '+5', '', ' ', '\\x1c5', '12.5',"
     " '0x10', '010', '0_0', '\\u0661\\u0662', 'x' * 300, '\\u00e9' * 10, '0' * 700 + '1',"
     " '1' * 5000 + 'x']"},
    {"near 2**63 and past it",
     "[s + str(2**63 + d) for s in ('', '-', '+') for d in range(-3, 4)]"
     " + [str(2**64), str(-2**127), str(10**40), '-' + '1_0' * 30]"},
};

class IntOfText : public NumbersFromText, public ::testing::WithParamInterface<Generated> {};

TEST_P(IntOfText, MatchesPythonsInt) {
    eachCase(GetParam().expression, [&](PyObject* text) {
        strHelperCase(text, helpers::intOfStr, countInt, &PyLong_Type, value::TagPint);
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, IntOfText, ::testing::ValuesIn(intCases), groupName);

// ---- float(text) ---------------------------------------------------------------------------

const Generated floatCases[] = {
    {"inf, nan, signs, exponents, underscores and whitespace",
     "[s + t for s in ('', '-', '+') for t in ('inf', 'INF', 'iNfInItY', 'infinity', 'nan',"
     " 'NaN', 'infin', 'nanx', 'in f', '1', '1.5', '.5', '5.', '.', 'e5', '1e5', '1E5',"
     " '1e+5', '1e-5', '1e', '1e+', '1.5e', '1_000.000_1', '1_e5', '1e_5', '1._5', '1_.5',"
     " '._5', '1__0', '_1', '1_', '1e1_0', '0x1p3', '1,5', '1.5.5', '--1', '00001', '0', '0.0',"
     " '1e5000', '1e-5000', '0e99999999999999999999', '1e99999999999999999999',"
     " '1e-99999999999999999999', '')]"
     " + [' 1.5 ', '\\t1.5\\n', '\\x0b1.5\\x0c', '\\x1c5', '5\\x1f', '\\x855', '\\u00a01.5\\u3000',"
     " '5\\u2028', '\\u20051\\u205f', '\\u00a0\\x1c5', '\\u0661.\\u0665', '1.5\\x00', ' ',"
     " '\\u00a0',"
     " '\\ud8005', 'x' * 300]"},
    {"limits, subnormals and halfway cases",
     "['1e309', '1e-400', '-1e-400', '5e-324', '2.4703282292062327e-324',"
     " '2.4703282292062328e-324', '4.9406564584124654e-324', '2.2250738585072011e-308',"
     " '2.2250738585072012e-308', '2.225073858507201136057409796709131975934819546351645648e-308',"
     " '1.7976931348623157e308', '1.7976931348623158e308', '1.7976931348623159e308',"
     " '9007199254740993', '9007199254740993.000000000000000000001', '9007199254740995',"
     " '1.00000000000000011102230246251565404236316680908203125',"
     " '1.00000000000000011102230246251565404236316680908203125000000001',"
     " '1.00000000000000011102230246251565404236316680908203124999999999',"
     " '1e16', '1e22', '1e23', '8.98846567431158e307', '0.1', '0.3',"
     " '123456789012345678901234567890',"
     " '0.' + '0' * 120 + '1', '1' * 200, '1' * 126, '1' * 128, '1' * 129, '1.' + '1' * 126]"},
    {"random doubles written shortest, with 17 and with 25 digits",
     "[f.format(x) for r in [__import__('random').Random(11)]"
     " for x in [r.uniform(-1, 1) * 10.0 ** r.randint(-320, 308) for _ in range(400)]"
     "   + [__import__('struct').unpack('<d', r.getrandbits(64).to_bytes(8, 'little'))[0]"
     "      for _ in range(400)]"
     " for f in ('{!r}', '{:.17e}', '{:.25g}')]"},
    {"exact midpoints between neighbouring doubles, and just either side",
     "[t for r in [__import__('random').Random(5)] for D in [__import__('decimal')]"
     " for c in [D.Context(prec=2000)]"
     " for x in [r.uniform(1, 2) * 2.0 ** r.randint(-60, 100) for _ in range(300)]"
     " for m in [c.divide(c.add(D.Decimal(x),"
     "                          D.Decimal(__import__('math').nextafter(x, 1e309))), 2)]"
     " for t in [str(m), str(c.add(m, D.Decimal('1e-80'))), str(c.subtract(m, D.Decimal('1e-80')))]"
     " if len(t) <= 128]"},
};

class FloatOfText : public NumbersFromText, public ::testing::WithParamInterface<Generated> {};

TEST_P(FloatOfText, MatchesPythonsFloatBitForBit) {
    eachCase(GetParam().expression, [&](PyObject* text) {
        strHelperCase(text, helpers::floatOfStr, countFloat, &PyFloat_Type, value::TagFloat);
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, FloatOfText, ::testing::ValuesIn(floatCases), groupName);

// ---- The parsers on their own --------------------------------------------------------------

struct IntParse {
    const char* text;
    bool parses;
    int64_t value;
    bool looksLikeInt;
};

const IntParse intParses[] = {
    {" 12 ", true, 12, true},
    {"1_000", true, 1000, true},
    {"-9223372036854775808", true, INT64_MIN, true},
    {"9223372036854775807", true, INT64_MAX, true},
    {"9223372036854775808", false, 0, true},
    {"-9223372036854775809", false, 0, true},
    {"99999999999999999999999999999999999999999", false, 0, true},
    {"1__0", false, 0, false},
    {"_1", false, 0, false},
    {"1_", false, 0, false},
    {"+ 5", false, 0, false},
    {"", false, 0, false},
    {"-", false, 0, false},
    {"\x1c" "5", false, 0, false},
    {"0x10", false, 0, false},
};

class ParseIntTable : public ::testing::TestWithParam<IntParse> {};

TEST_P(ParseIntTable, ReadsDecimalIntsAsIntDoes) {
    IntParse c = GetParam();
    int64_t v = 0;
    EXPECT_EQ(helpers::parseInt(c.text, std::strlen(c.text), &v), c.parses) << c.text;
    if (c.parses) {
        EXPECT_EQ(v, c.value) << c.text;
    }
    EXPECT_EQ(helpers::looksLikeInt(c.text, std::strlen(c.text)), c.looksLikeInt) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, ParseIntTable, ::testing::ValuesIn(intParses));

TEST(ParseInt, ALongTextOfLeadingZerosHasNoNativeValue) {
    // Python refuses past its digit limit even when the value is small.
    std::string text(700, '0');
    text += '1';
    int64_t v = 0;
    EXPECT_FALSE(helpers::parseInt(text.data(), text.size(), &v));
    EXPECT_TRUE(helpers::looksLikeInt(text.data(), text.size()));
}

struct FloatParse {
    const char* text;
    bool parses;
};

// What the native parser takes on itself and what it leaves to Python.
const FloatParse floatParses[] = {
    {"1e5", true},       {".5", true},          {"5.", true},   {"-inf", true},
    {"InFiNiTy", true},  {"+nan", true},        {"1e", false},  {".", false},
    {"e5", false},       {"1_e5", false},       {"1e_5", false}, {"\x1c" "5", false},
    {"\xc2\xa0" "5", true}, {"5\xe3\x80\x80", true}, {"\xc0\xa0" "5", false},
    {"\xe2\x80", false}, {"5\x80", false},      {"", false},
    {"1e+5", true},      {"-0", true},          {"1_000.000_1e-1_0", true},
};

class PyFloatTable : public ::testing::TestWithParam<FloatParse> {};

TEST_P(PyFloatTable, TakesThePlainFormsAndLeavesTheRest) {
    FloatParse c = GetParam();
    double d = 0;
    EXPECT_EQ(helpers::pyFloat(c.text, std::strlen(c.text), &d), c.parses) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, PyFloatTable, ::testing::ValuesIn(floatParses));

TEST(PyFloat, ANumberOfMoreThan128CharactersIsLeftToPython) {
    std::string text(128, '1');
    double d = 0;
    EXPECT_TRUE(helpers::pyFloat(text.data(), text.size(), &d));
    text += '1';
    EXPECT_FALSE(helpers::pyFloat(text.data(), text.size(), &d));
}

TEST(PyFloat, ReadsAPointWhateverTheCLocaleSays) {
    const char* commaLocales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                                  "ru_RU.UTF-8", "nl_NL.UTF-8", "de_DE", "fr_FR"};
    std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    const char* chosen = nullptr;
    for (const char* name : commaLocales)
        if (std::setlocale(LC_NUMERIC, name)) {
            chosen = name;
            break;
        }
    if (chosen && std::strcmp(std::localeconv()->decimal_point, ",") != 0) chosen = nullptr;
    if (!chosen) {
        std::setlocale(LC_NUMERIC, saved.c_str());
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    double d = 0;
    bool point = helpers::pyFloat("1.5", 3, &d);
    bool comma = helpers::pyFloat("1,5", 3, &d) && d == 1.5;
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_TRUE(point) << chosen;
    EXPECT_FALSE(comma) << chosen;
}

TEST(InvalidIntMessage, QuotesAsPythonsReprCutTo200Characters) {
    char out[helpers::kIntMessageMax];
    std::string text(300, 'x');
    size_t n = helpers::invalidIntMessage(out, text.data(), text.size(), 10);
    EXPECT_EQ(std::string(out, n),
              "invalid literal for int() with base 10: '" + text.substr(0, 199));
    n = helpers::invalidIntMessage(out, "it's", 4, 0);
    EXPECT_EQ(std::string(out, n), "invalid literal for int() with base 0: \"it's\"");
    n = helpers::invalidIntMessage(out, "'\"\\\t\x7f", 5, 36);
    EXPECT_EQ(std::string(out, n), "invalid literal for int() with base 36: '\\'\"\\\\\\t\\x7f'");
}

}  // namespace

}  // namespace wuna
