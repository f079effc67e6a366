// Binary, in-place and unary operators, comparison, sorting and min/max against the running
// interpreter: every operator over ints (small, 64-bit edges, wide, past 128 bits, checked),
// floats (nan, inf, -0.0), strs, bytes, lists, tuples, sets and mixed kinds gives Python's
// value (its repr, so floats to the sign of a zero and sets in iteration order) or Python's
// exception type and text. Also the in-place forms keeping their target, the texts of other
// interpreter versions, the crossings tally, and failures that leave the result slot alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/native/helper_outcomes.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/helpers/order.h"
#include "wuna/runtime/helpers/table.h"

namespace wuna {

namespace {

using helpers::Ctx;
using testing_support::eval;
using testing_support::fromPython;
using testing_support::run;
using value::Value;

const char* const kSymbols[] = {"+", "-", "*", "/", "//", "%", "**", "<<", ">>", "|", "^", "&"};
const char* const kCompareSymbols[] = {"==", "!=", "<", "<=", ">", ">=", "is", "is not", "in",
                                       "not in"};

// Operands of the binary and comparison tables, as Python expressions.
const char* const kOperands[] = {
    "0",        "1",         "-7",          "7",           "2",        "2**63-1",
    "-2**63",   "2**64",     "-2**100",     "2**126",      "2**53+1",  "True",
    "False",    "0.0",       "-0.0",        "2.0",         "-4.0",     "-7.5",
    "0.1",      "2.5",       "float('nan')", "float('inf')", "-float('inf')", "1e308",
    "'ab'",     "''",        "'é'",         "b'xy'",       "[1, 'a']", "(1, 2)",
    "{1, 2, 3}", "{3, 4, 2.0}", "None",     "-1",          "1.7e38",   "2**127-1",
};

// Operands whose power Python would spend its time on: a large exponent of a base beyond 1.
bool slowPower(const std::string& left, const std::string& right) {
    static const char* const big[] = {"2**62", "2**63-1", "2**64", "2**126", "2**53+1", "2**127-1"};
    bool bigExponent = false;
    for (const char* b : big) bigExponent = bigExponent || right == b;
    bool smallBase = left == "0" || left == "1" || left == "-1" || left == "True" ||
                     left == "False" || left.find('.') != std::string::npos ||
                     left.find("float") != std::string::npos;
    return bigExponent && !smallBase;
}

class Operators : public testing_support::WithPython {
protected:
    void SetUp() override {
        WithPython::SetUp();
        savedHooks = convert::hooks;
        convert::hooks.makeProxy = testing_support::copyProxy;
        helpers::findLibm();
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
    }
    void TearDown() override {
        helpers::endCtx(&ctx);
        convert::hooks = savedHooks;
        WithPython::TearDown();
    }

    convert::Hooks savedHooks;

    static std::string text(PyObject* o) { return testing_support::pyRepr(o); }

    static std::string strOf(PyObject* o) { return testing_support::pyStr(o); }

    // A native result as a Python object; lists are rebuilt here (their shared form needs the
    // module). New reference.
    PyObject* objectOf(Value v) {
        if (v.tag != value::TagList) return convert::toPython(v, &ctx.conversion);
        auto* l = v.as<value::List>();
        PyObject* list = PyList_New(Py_ssize_t(l->count));
        for (uint64_t i = 0; i < l->count; i++)
            PyList_SET_ITEM(list, Py_ssize_t(i), objectOf(l->items[i]));
        return list;
    }

    PyObject* failureObject() { return testing_support::failureObject(&ctx); }

    std::string failureMessage() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }

    // Python's outcome of an expression against the native one; checked: a tag-2 int took
    // part, so an int result must fit 64 bits or be "integer overflow". Releases out.
    void expectSame(const std::string& expression, bool ok, Value out, bool checked = false) {
        PyObject* expected = PyRun_String(expression.c_str(), Py_eval_input,
                                          testing_support::namespaceDict(),
                                          testing_support::namespaceDict());
        if (expected && checked && PyLong_CheckExact(expected)) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(expected, &overflow);
            if (overflow) {
                Py_DECREF(expected);
                EXPECT_FALSE(ok) << expression << ": expected integer overflow";
                if (ok) value::decref(out);
                EXPECT_TRUE(ctx.kindSet && ctx.kind == uint8_t(errors::Kind::IntegerOverflow))
                    << expression << ": " << failureMessage();
                EXPECT_EQ(failureMessage(), "integer overflow") << expression;
                helpers::clearError(&ctx);
                return;
            }
            EXPECT_TRUE(!ok || out.tag == value::TagInt) << expression << ": not a checked int";
        }
        if (!expected) {
            testing_support::expectPythonError(&ctx, expression + ": " + failureMessage(), ok,
                                               out);
            helpers::clearError(&ctx);
            return;
        }
        EXPECT_TRUE(ok) << expression << ": Python gave " << text(expected)
                        << ", native failed with " << failureMessage();
        if (ok) {
            PyObject* got = objectOf(out);
            ASSERT_NE(got, nullptr) << expression;
            EXPECT_EQ(Py_TYPE(got), Py_TYPE(expected)) << expression << ": " << text(got);
            EXPECT_EQ(text(got), text(expected)) << expression;
            Py_DECREF(got);
            value::decref(out);
        }
        helpers::clearError(&ctx);
        Py_DECREF(expected);
    }

    // The native value of a Python expression; "I(...)" makes a checked int (tag 2).
    Value operand(const std::string& expression) {
        bool checked = expression.rfind("I(", 0) == 0;
        std::string inner = checked ? expression.substr(2, expression.size() - 3) : expression;
        PyObject* o = eval(inner);
        Value v = fromPython(o);
        Py_DECREF(o);
        if (checked && v.tag == value::TagPint) v.tag = value::TagInt;
        return v;
    }

    static std::string plain(const std::string& expression) {
        return expression.rfind("I(", 0) == 0 ? expression.substr(2, expression.size() - 3)
                                              : expression;
    }

    void binaryCase(int op, const std::string& left, const std::string& right) {
        Value l = operand(left), r = operand(right);
        Value out{};
        bool ok = wn_binary(&ctx, 1, op, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                            int64_t(r.payload), &out);
        bool checked = l.tag == value::TagInt || r.tag == value::TagInt;
        std::string expression = "(";
        expression.append(plain(left)).append(") ").append(kSymbols[op]);
        expression.append(" (").append(plain(right)).append(")");
        expectSame(expression, ok, out, checked);
        value::decref(l);
        value::decref(r);
    }

    Ctx ctx{};
};

TEST_F(Operators, EveryBinaryOperatorOverEveryPairOfKinds) {
    for (int op = 0; op < 12; op++)
        for (const char* left : kOperands)
            for (const char* right : kOperands) {
                if (op == 6 && slowPower(left, right)) continue;
                binaryCase(op, left, right);
            }
}

TEST_F(Operators, CheckedIntsOverflowWhereOtherIntsWiden) {
    const char* ints[] = {"0", "1", "-1", "7", "-7", "3", "2**62", "2**63-1", "-2**63", "2**64",
                          "63", "64", "100", "200", "True"};
    for (int op = 0; op < 12; op++)
        for (const char* a : ints)
            for (const char* b : ints) {
                std::string left = std::string("I(") + a + ")";
                if (op == 6 && slowPower(a, b)) continue;
                if (std::string(a) != "True" && std::string(a) != "2**64") binaryCase(op, left, b);
                if (std::string(b) != "True" && std::string(b) != "2**64")
                    binaryCase(op, a, std::string("I(") + b + ")");
            }
}

// The results the native paths must reach without Python, and their exact forms.
TEST_F(Operators, EdgeCasesOfIntsAndFloats) {
    struct Case {
        const char* left;
        int op;
        const char* right;
    } cases[] = {
        {"-4.0", 5, "2.0"},     {"4.0", 5, "-2.0"},  {"-0.0", 5, "3.0"},    {"1", 4, "0.1"},
        {"-1.0", 4, "float('inf')"}, {"1.0", 4, "-float('inf')"}, {"-7.5", 5, "2.0"},
        {"7", 4, "-2"},         {"7", 5, "-2"},      {"-2**63", 4, "-1"},   {"-2**63", 5, "-1"},
        {"2**63-1", 0, "1"},    {"1", 7, "100"},     {"-5", 8, "200"},      {"2**53+1", 3, "3"},
        {"8499587867814150420", 3, "407721"}, {"2", 6, "-1"}, {"0", 6, "-1"},
        {"-8.0", 6, "1/3"},     {"10.0", 6, "400"},  {"-2.0", 6, "3"},      {"(-2.0)", 6, "-3"},
        {"float('inf')", 6, "-3"}, {"-float('inf')", 6, "3"}, {"0.0", 6, "3"}, {"-0.0", 6, "3"},
        {"float('nan')", 6, "0"}, {"1.0", 6, "float('nan')"}, {"-1.0", 6, "float('inf')"},
        {"2**100", 8, "3"},     {"-2**127", 4, "-1"}, {"2**126", 7, "1"},   {"True", 11, "False"},
        {"True", 0, "True"},    {"'ab'", 2, "3"},    {"3", 2, "'ab'"},      {"'ab'", 2, "-1"},
        {"'ab'", 2, "2**40"},   {"b'ab'", 2, "3"},   {"[1]", 2, "0"},       {"(1,)", 0, "(2,)"},
        {"{1, 2}", 10, "{2, 3}"}, {"{1, 2}", 11, "{2.0}"}, {"{1, 2, 3, 4, 5, 6, 7, 8, 9}", 1, "{1}"},
        {"'%s!'", 5, "'x'"},    {"2**127-1", 0, "1"}, {"-(2**127)", 1, "1"},
    };
    for (const Case& c : cases) binaryCase(c.op, c.left, c.right);
}

TEST_F(Operators, TextsOfOtherInterpreterVersions) {
    struct Case {
        uint32_t minor;
        const char* left;
        int op;
        const char* right;
        const char* message;
    } cases[] = {
        {12, "1.0", 5, "0.0", "float modulo"},
        {13, "1.0", 5, "0.0", "float modulo by zero"},
        {14, "1.0", 5, "0.0", "division by zero"},
        {10, "1", 5, "0", "integer division or modulo by zero"},
        {13, "1", 5, "0", "integer modulo by zero"},
        {13, "2**100", 5, "0", "integer modulo by zero"},
        {13, "1", 4, "0", "integer division or modulo by zero"},
        {14, "1", 4, "0", "division by zero"},
        {14, "2**100", 4, "0", "division by zero"},
        {13, "1.0", 3, "0.0", "float division by zero"},
        {14, "1.0", 4, "0.0", "division by zero"},
        {13, "1.0", 4, "0.0", "float floor division by zero"},
        {13, "0", 6, "-1", "0.0 cannot be raised to a negative power"},
        {14, "0.0", 6, "-2.0", "zero to a negative power"},
    };
    uint32_t saved = helpers::python_minor;
    for (const Case& c : cases) {
        helpers::python_minor = c.minor;
        Value l = operand(c.left), r = operand(c.right), out = Value::none();
        EXPECT_FALSE(wn_binary(&ctx, 1, c.op, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                               int64_t(r.payload), &out));
        EXPECT_EQ(ctx.kind, uint8_t(errors::Kind::ZeroDivisionError)) << c.message;
        // The exception keeps the version's text; the run's failure reads as the reference
        // mode words it.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ctx.kindMessage.data),
                              ctx.kindMessage.length),
                  c.message)
            << "3." << c.minor;
        EXPECT_EQ(failureMessage(), "division by zero") << "3." << c.minor;
        helpers::clearError(&ctx);
        value::decref(l);
        value::decref(r);
    }
    helpers::python_minor = saved;
}

TEST_F(Operators, FloatPowerOverflowReadsAsPythonWordsIt) {
    Value out = Value::none();
    EXPECT_FALSE(wn_binary(&ctx, 1, 6, value::TagFloat, int64_t(Value::real(10.0).payload),
                           value::TagPint, 400, &out));
    EXPECT_EQ(failureMessage(), "OverflowError: (34, 'Numerical result out of range')");
    PyObject* e = failureObject();
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(PyErr_GivenExceptionMatches(e, PyExc_OverflowError));
    EXPECT_EQ(strOf(e), "(34, 'Numerical result out of range')");
    Py_DECREF(e);
    EXPECT_EQ(out.tag, value::TagNone);
}

TEST_F(Operators, HandOversAreCountedOnTheRunsTally) {
    testing_support::ReportingRun reporting(&ctx);
    const bridge::Tally& tally = reporting.tally;
    Value one = Value::pint(1), a = operand("'a'"), out{};
    for (int i = 0; i < 2; i++) {
        EXPECT_FALSE(wn_binary(&ctx, 1, 0, int64_t(one.tag), int64_t(one.payload),
                               int64_t(a.tag), int64_t(a.payload), &out));
        helpers::clearError(&ctx);
    }
    EXPECT_FALSE(wn_compare(&ctx, 1, 2, int64_t(one.tag), int64_t(one.payload), int64_t(a.tag),
                            int64_t(a.payload), &out));
    helpers::clearError(&ctx);
    // Native paths count nothing.
    ASSERT_TRUE(wn_binary(&ctx, 1, 0, int64_t(one.tag), int64_t(one.payload), int64_t(one.tag),
                          int64_t(one.payload), &out));
    EXPECT_EQ(tally.used, 2u);
    EXPECT_EQ(bridge::tallyCount(&tally, "binary int add str", 18), 2u);
    EXPECT_EQ(bridge::tallyCount(&tally, "compare int lt str", 18), 1u);
    value::decref(a);
}

// A failing operator stores nothing: the slot keeps what the caller had there.
TEST_F(Operators, FailuresLeaveTheResultSlotAlone) {
    struct Case {
        const char* left;
        int op;
        const char* right;
    } cases[] = {{"'a'", 1, "1"},  {"1", 3, "0"},     {"I(2**62)", 2, "4"}, {"[1]", 1, "(1,)"},
                 {"{1}", 0, "{2}"}, {"1", 7, "-1"},    {"[1]", 0, "5"},      {"{1}", 9, "[2]"}};
    for (const Case& c : cases) {
        Value l = operand(c.left), r = operand(c.right);
        Value out{0x1234, 0x5678};
        EXPECT_FALSE(wn_binary(&ctx, 1, c.op, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                               int64_t(r.payload), &out))
            << c.left << " " << c.right;
        EXPECT_EQ(out.tag, 0x1234u);
        EXPECT_EQ(out.payload, 0x5678u);
        helpers::clearError(&ctx);
        Value again{0x1234, 0x5678};
        EXPECT_FALSE(wn_inplace(&ctx, 1, c.op, int64_t(l.tag), int64_t(l.payload),
                                int64_t(r.tag), int64_t(r.payload), &again));
        EXPECT_EQ(again.tag, 0x1234u);
        helpers::clearError(&ctx);
        value::decref(l);
        value::decref(r);
    }
}

// ---- In place -------------------------------------------------------------------------------

TEST_F(Operators, InPlaceFormsChangeTheirTargetAsPythonDoes) {
    struct Case {
        const char* target;
        int op;
        const char* right;
        bool same;  // the target itself is the result
    } cases[] = {
        {"[1, 2]", 0, "[3]", true},
        {"[1, 2]", 0, "(3, 4)", true},
        {"[1]", 0, "'ab'", true},
        {"[1]", 0, "b'ab'", true},
        {"[1]", 0, "{5, 6}", true},
        {"[1, 2]", 2, "2", false},
        {"[1]", 0, "5", false},
        {"{1, 2, 3}", 9, "{3, 4}", true},
        {"{1, 2, 3}", 1, "{3, 4}", true},
        {"{1, 2, 3}", 10, "{3, 4}", true},
        {"{1, 2, 3}", 11, "{3, 4, 2.0}", true},
        {"{1, 2, 3}", 9, "frozenset({3, 4, 'a'})", true},
        {"{1, 2, 3}", 1, "frozenset({3, 4})", true},
        {"{1, 2, 3}", 10, "frozenset({3, 4})", true},
        {"{1, 2, 3}", 11, "frozenset({3, 4, 2.0})", true},
        {"{1, 2, 3}", 9, "set(range(100))", true},
        {"set(range(40))", 1, "set(range(0, 400, 2))", true},
        {"{1, 2, 3}", 9, "[4]", false},
        {"{1, 2, 3}", 10, "{1: 2}", false},
        {"{1, 2, 3}", 11, "(1,)", false},
        {"{1, 2, 3}", 1, "{}.keys()", false},
        {"{1}", 0, "{2}", false},
        {"(1,)", 0, "(2,)", false},
        {"'a'", 0, "'b'", false},
        {"7", 4, "2", false},
    };
    for (const Case& c : cases) {
        run(std::string("target = ") + c.target + "\nright = " + c.right + "\n");
        Value target = operand("target"), right = operand("right");
        Value out{};
        bool ok = wn_inplace(&ctx, 1, c.op, int64_t(target.tag), int64_t(target.payload),
                             int64_t(right.tag), int64_t(right.payload), &out);
        if (ok && c.same) {
            EXPECT_EQ(out.payload, target.payload) << c.target << " " << kSymbols[c.op] << "=";
        }
        std::string python = std::string("target ") + kSymbols[c.op] + "= right";
        PyObject* outcome = nullptr;
        PyObject* statement = PyRun_String(python.c_str(), Py_file_input,
                                           testing_support::namespaceDict(),
                                           testing_support::namespaceDict());
        if (statement) {
            Py_DECREF(statement);
            outcome = eval("target");
        }
        if (!outcome) {
            testing_support::expectPythonError(
                &ctx, std::string(c.target) + " " + python + ": " + failureMessage(), ok, out);
        } else {
            EXPECT_TRUE(ok) << c.target << " " << python << ": " << failureMessage();
            if (ok) {
                PyObject* got = objectOf(out);
                EXPECT_EQ(text(got), text(outcome)) << c.target << " " << python;
                // The target itself holds the result when Python changed it in place.
                if (c.same) {
                    PyObject* held = objectOf(target);
                    EXPECT_EQ(text(held), text(outcome));
                    Py_XDECREF(held);
                }
                Py_XDECREF(got);
                value::decref(out);
            }
            Py_DECREF(outcome);
        }
        helpers::clearError(&ctx);
        value::decref(target);
        value::decref(right);
    }
}

TEST_F(Operators, ListPlusEqualsItselfDoublesIt) {
    Value list = operand("[1, 'a']");
    Value out{};
    ASSERT_TRUE(wn_inplace(&ctx, 1, 0, int64_t(list.tag), int64_t(list.payload), int64_t(list.tag),
                           int64_t(list.payload), &out));
    EXPECT_EQ(out.payload, list.payload);
    PyObject* got = objectOf(list);
    EXPECT_EQ(text(got), "[1, 'a', 1, 'a']");
    Py_DECREF(got);
    value::decref(out);
    value::decref(list);
}

TEST_F(Operators, DictOrEqualsADictUpdatesItInPlace) {
    Value e{};
    // Dicts are built natively here: fromPython keeps them as Python objects.
    value::Dict* left = value::newDict();
    value::Dict* right = value::newDict();
    ASSERT_TRUE(value::dictSet(left, Value::pint(1), Value::pint(10)));
    ASSERT_TRUE(value::dictSet(left, Value::pint(2), Value::pint(20)));
    ASSERT_TRUE(value::dictSet(right, Value::pint(2), Value::pint(99)));
    ASSERT_TRUE(value::dictSet(right, Value::pint(3), Value::pint(30)));
    Value l = Value::of(value::TagDict, left), r = Value::of(value::TagDict, right);
    ASSERT_TRUE(wn_inplace(&ctx, 1, 9, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                           int64_t(r.payload), &e));
    EXPECT_EQ(e.payload, l.payload);
    EXPECT_EQ(left->length, 3u);
    Value v{};
    ASSERT_TRUE(value::dictGet(left, Value::pint(2), &v));
    EXPECT_EQ(int64_t(v.payload), 99);
    EXPECT_EQ(int64_t(left->entries[2].key.payload), 3);
    value::decref(e);
    value::decref(l);
    value::decref(r);
}

// ---- Unary ----------------------------------------------------------------------------------

TEST_F(Operators, UnaryOperatorsAgainstPython) {
    const char* symbols[] = {"-", "+", "not ", "~"};
    for (int op = 0; op < 4; op++)
        for (const char* operandText : kOperands) {
            Value v = operand(operandText), out{};
            bool ok = wn_unary(&ctx, 1, op, int64_t(v.tag), int64_t(v.payload), &out);
            expectSame(std::string(symbols[op]) + "(" + operandText + ")", ok, out);
            value::decref(v);
        }
}

TEST_F(Operators, UnaryEdgesOfCheckedAndWideInts) {
    Value out{};
    EXPECT_FALSE(wn_unary(&ctx, 1, 0, value::TagInt, INT64_MIN, &out));
    EXPECT_EQ(failureMessage(), "integer overflow");
    helpers::clearError(&ctx);
    ASSERT_TRUE(wn_unary(&ctx, 1, 0, value::TagPint, INT64_MIN, &out));
    expectSame("2**63", true, out);
    ASSERT_TRUE(wn_unary(&ctx, 1, 0, value::TagInt, 5, &out));
    EXPECT_EQ(out.tag, value::TagInt);
    ASSERT_TRUE(wn_unary(&ctx, 1, 1, value::TagBool, 1, &out));
    EXPECT_EQ(out.tag, value::TagPint);
    Value least = operand("-(2**127)");
    ASSERT_TRUE(wn_unary(&ctx, 1, 0, int64_t(least.tag), int64_t(least.payload), &out));
    expectSame("2**127", true, out);
    value::decref(least);
}

// ---- Comparison ------------------------------------------------------------------------------

TEST_F(Operators, ComparisonsOverEveryPairOfKinds) {
    for (int op = 0; op < 10; op++) {
        if (op == 6 || op == 7) continue;
        for (const char* left : kOperands)
            for (const char* right : kOperands) {
                Value l = operand(left), r = operand(right), out{};
                bool ok = wn_compare(&ctx, 1, op, int64_t(l.tag), int64_t(l.payload),
                                     int64_t(r.tag), int64_t(r.payload), &out);
                expectSame(std::string("(") + left + ") " + kCompareSymbols[op] + " (" + right +
                               ")",
                           ok, out);
                value::decref(l);
                value::decref(r);
            }
    }
}

TEST_F(Operators, ExactOrderOfIntsAgainstFloatsAndMembership) {
    struct Case {
        const char* left;
        int op;
        const char* right;
    } cases[] = {
        {"2**53+1", 4, "2.0**53"}, {"2**100", 2, "1e300"}, {"2**127-1", 4, "1.7e38"},
        {"-(2**127)", 2, "-1.7e38"}, {"1", 0, "1.0"},     {"1", 2, "float('nan')"},
        {"1", 4, "float('nan')"},  {"'b'", 8, "'abc'"},   {"1", 8, "'abc'"},
        {"256", 8, "b'ab'"},       {"97", 8, "b'ab'"},    {"-159", 8, "b'a'"},
        {"b'b'", 8, "b'ab'"},      {"[1]", 8, "{1, 2}"},  {"{1}", 2, "{1, 2}"},
        {"{1, 2}", 2, "{1, 2}"},   {"{1, 2}", 3, "{1, 2}"}, {"{1, 2}", 5, "{2}"},
        {"2.0", 8, "[1, 2]"},      {"'é'", 4, "'z'"},     {"'ab'", 2, "'abc'"},
        {"(1, 2)", 2, "(1, 3)"},   {"[1, 'a']", 2, "[1, 2]"}, {"None", 0, "None"},
        {"(1, [2])", 8, "{(1, 2): 3}"},
    };
    for (const Case& c : cases) {
        Value l = operand(c.left), r = operand(c.right), out{};
        bool ok = wn_compare(&ctx, 1, c.op, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                             int64_t(r.payload), &out);
        expectSame(std::string("(") + c.left + ") " + kCompareSymbols[c.op] + " (" + c.right + ")",
                   ok, out);
        value::decref(l);
        value::decref(r);
    }
}

TEST_F(Operators, UnhashableDictKeyFailsAsPythonWordsIt) {
    value::Dict* d = value::newDict();
    ASSERT_TRUE(value::dictSet(d, Value::pint(1), Value::pint(2)));
    Value key = operand("[1]"), out = Value::none();
    EXPECT_FALSE(wn_compare(&ctx, 1, 8, int64_t(key.tag), int64_t(key.payload), value::TagDict,
                            int64_t(uintptr_t(d)), &out));
    PyObject* e = failureObject();
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(PyErr_GivenExceptionMatches(e, PyExc_TypeError));
    // The interpreter's own wording of the same lookup.
    run("try:\n    [1] in {1: 2}\nexcept TypeError as e:\n    unhashable = str(e)\n");
    PyObject* expected = eval("unhashable");
    EXPECT_EQ(strOf(e), strOf(expected));
    Py_DECREF(expected);
    Py_DECREF(e);
    EXPECT_EQ(out.tag, value::TagNone);
    value::decref(key);
    value::decref(value::TagDict, uint64_t(uintptr_t(d)));
}

TEST_F(Operators, IdentityNeedsNoPython) {
    Value a = operand("[1]"), b = operand("[1]"), out{};
    ASSERT_TRUE(wn_compare(&ctx, 1, 6, int64_t(a.tag), int64_t(a.payload), int64_t(b.tag),
                           int64_t(b.payload), &out));
    EXPECT_EQ(out.payload, 0u);
    ASSERT_TRUE(wn_compare(&ctx, 1, 6, int64_t(a.tag), int64_t(a.payload), int64_t(a.tag),
                           int64_t(a.payload), &out));
    EXPECT_EQ(out.payload, 1u);
    ASSERT_TRUE(wn_compare(&ctx, 1, 7, value::TagNone, 0, value::TagNone, 99, &out));
    EXPECT_EQ(out.payload, 0u);
    ASSERT_TRUE(wn_compare(&ctx, 1, 6, value::TagPint, 5, value::TagPint, 5, &out));
    EXPECT_EQ(out.payload, 1u);
    value::decref(a);
    value::decref(b);
}

// ---- Sorting and min/max -----------------------------------------------------------------

TEST_F(Operators, SortedAgainstPython) {
    struct Case {
        const char* items;
        const char* key;  // a Python expression, or null for no key
    } cases[] = {
        {"[3, 1, 2]", nullptr},
        {"[3, 1.5, 2**100, -2**70, True]", nullptr},
        {"[(1, 'b'), (1, 'a'), (0, 'z')]", nullptr},
        {"['b', 'a', 'é', '', 'ab']", nullptr},
        {"[b'b', b'a', b'ab']", nullptr},
        {"[[2], [1, 2], [1]]", nullptr},
        {"[3.0, float('nan'), 1.0]", nullptr},
        {"[1, 'a']", nullptr},
        {"[(1, 2), (1, 'a')]", nullptr},
        {"[]", nullptr},
        {"(5, 4, 4.0, 3)", nullptr},
        {"{3, 1, 2}", nullptr},
        {"'cab'", nullptr},
        {"[(1, 'b'), (0, 'a'), (1, 'a'), (0, 'b')]", "lambda p: p[0]"},
        {"['bb', 'a', 'cc', 'd']", "len"},
        {"[1, 2, 3]", "lambda x: 'a' if x == 2 else 1"},
        {"[1, 2, 3]", "lambda x: 1 / (x - 2)"},
    };
    for (const Case& c : cases)
        for (int reverse = 0; reverse < 2; reverse++) {
            run(std::string("items = ") + c.items + "\nkey = " + (c.key ? c.key : "None") + "\n");
            Value items = operand("items"), key = operand("key"), out{};
            bool ok = wn_sorted(&ctx, 1, int64_t(items.tag), int64_t(items.payload),
                                int64_t(key.tag), int64_t(key.payload), value::TagBool, reverse, 0,
                                &out);
            expectSame(std::string("sorted(items, key=key, reverse=") + (reverse ? "True" : "False") +
                           ")",
                       ok, out);
            value::decref(items);
            value::decref(key);
        }
}

TEST_F(Operators, EqualKeysKeepTheirOrderWithAndWithoutReverse) {
    Value items = operand("[(2, 'a'), (1, 'b'), (2, 'c'), (1, 'd'), (2, 'e')]");
    run("first = lambda p: p[0]\n");
    Value key = operand("first");
    for (int reverse = 0; reverse < 2; reverse++) {
        Value out = Value::none();
        ASSERT_TRUE(wn_sorted(&ctx, 1, int64_t(items.tag), int64_t(items.payload),
                              int64_t(key.tag), int64_t(key.payload), value::TagBool, reverse, 1,
                              &out));
        EXPECT_EQ(out.tag, value::TagNone);
        PyObject* got = objectOf(items);
        EXPECT_EQ(text(got), reverse ? "[(2, 'a'), (2, 'c'), (2, 'e'), (1, 'b'), (1, 'd')]"
                                     : "[(1, 'b'), (1, 'd'), (2, 'a'), (2, 'c'), (2, 'e')]");
        Py_DECREF(got);
    }
    value::decref(items);
    value::decref(key);
}

TEST_F(Operators, SortingAPythonListInPlace) {
    run("plist = [3, 1, 2]\n");
    Value receiver = Value::of(value::TagPy, eval("plist")), out{};
    ASSERT_EQ(receiver.tag, value::TagPy);
    ASSERT_TRUE(wn_sorted(&ctx, 1, int64_t(receiver.tag), int64_t(receiver.payload),
                          value::TagNone, 0, value::TagBool, 1, 1, &out));
    EXPECT_EQ(out.tag, value::TagNone);
    PyObject* after = eval("plist");
    EXPECT_EQ(text(after), "[3, 2, 1]");
    Py_DECREF(after);
    value::decref(receiver);
}

TEST_F(Operators, MinAndMaxAgainstPython) {
    const char* cases[] = {"1, 1.0", "1.0, 1", "'b', 'a'", "3, 2**100, -1.5", "float('nan'), 1",
                           "1, float('nan')", "[1], [0]", "1, 'a'", "True, 1", "2, 2.0, 1"};
    PyObject* builtins = PyEval_GetBuiltins();
    for (int which = 0; which < 2; which++)
        for (const char* args : cases) {
            PyObject* tuple = eval(std::string("(") + args + ",)");
            std::vector<Value> values = testing_support::itemsOf(tuple);
            Py_DECREF(tuple);
            PyObject* fn = PyDict_GetItemString(builtins, which ? "max" : "min");
            Value out{};
            bool ok = wn_min_max(&ctx, 1, which, int64_t(uintptr_t(fn)), values.data(),
                                 int64_t(values.size()), &out);
            expectSame(std::string(which ? "max(" : "min(") + args + ")", ok, out);
            for (Value v : values) value::decref(v);
        }
}

}  // namespace

}  // namespace wuna
