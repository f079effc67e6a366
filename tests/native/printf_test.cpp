// str % args against the running interpreter: generated formats (every flag, widths and
// precisions from digits and "*", every conversion) over ints small, 64-bit, wide and past 128
// bits, floats with nan, inf and -0.0, strs, None and bools, tuples of the wrong length and
// other right operands give Python's str, or Python's exception type and text. Also which
// cases stay native (no crossing into Python on the run's tally) and which are handed over,
// and the directives Python refuses that a lenient reader would format.
#include <gtest/gtest.h>

#include <string>

#include "tests/native/helper_outcomes.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"

namespace wuna {

namespace {

using helpers::Ctx;
using testing_support::eval;
using testing_support::fromPython;
using value::Value;

// The generated cases: (format, right operand) pairs.
constexpr char kGenerated[] = R"PY(
def printf_cases():
    flags = ['', '-', '+', ' ', '#', '0', '-0', '+0', ' #0', '+ ']
    widths = ['', '7', '*']
    precisions = ['', '.0', '.3', '.*']
    conversions = 'sradiuoxXeEfFgGc%'
    values = [0, 7, -7, 255, 2**63 - 1, -2**63, 2**64 + 5, -2**100, 2**127 - 1, -2**127,
              2**200, True, False, 3.14159, -2.5, 0.0, -0.0, float('nan'), float('inf'),
              -float('inf'), 1e40, -1.7e38, 1e-7, 1e300, 'abc', '', 'é', "it's", 'a"b\n',
              '\U0001F600', None, 65, 0x10FFFF, 0xD800, 0x110000, -1]
    cases = []
    for c in conversions:
        for f in flags:
            for w in widths:
                for p in precisions:
                    fmt = '<%' + f + w + p + c + '>'
                    stars = ((-9,) if w == '*' else ()) + ((2,) if p == '.*' else ())
                    if c == '%':
                        cases.append((fmt, stars))
                        cases.append((fmt, stars + (1,)))
                        continue
                    for v in values:
                        cases.append((fmt, stars + (v,) if stars else v))
    return cases

def whole_cases():
    return [
        ('%5.2f|%-4d|%04x|%#o', (3.14159, 7, 255, 8)),
        ('%s %r', ('a', 'b')), ('%.2s', 'abc'), ('%5s', 'é'), ('%c', 65), ('%c', 0xD800),
        ('%d', 3.9), ('%d', 1e40), ('%x', 3.9), ('%+d', 5), ('% d', 5), ('%-05d', 5),
        ('%#X', 255), ('%(name)s', {'name': 'x'}), ('%(a)d-%(b)s', {'a': 1, 'b': 'z'}),
        ('%(a)s', (1,)), ('%s', {'a': 1}), ('%%', ()), ('100%%', ()), ('%s%%', 5),
        ('a%', ()), ('%', ()), ('%s', ()), ('%s %s', (1,)), ('%s', (1, 2)), ('abc', 5),
        ('abc', ()), ('abc', [1]), ('abc', 'x'), ('%s', [1, 2]), ('%s', (1,)),
        ('%s', ((1, 2),)), ('%s', b'xy'), ('%s', {1, 2}), ('%r', 'é'), ('%a', 'é'),
        ('%5%', ()), ('%5%', (1,)), ('%*%', (5,)), ('%-%', ()), ('%.2%', ()), ('%l%', ()),
        ('%*-d', (5, 1)), ('%*5d', (5, 1)), ('%5*d', (5, 1)), ('%lld', 1), ('%hd', 3),
        ('%ld %Lf', (3, 1.0)), ('%l', 1), ('%5', 1), ('%.', 1), ('%y', 1), ('%.*d', (-1, 1)),
        ('%*d', (2**63, 1)), ('%*d', (-2**63, 1)), ('%*d', (2**40, 1)), ('%.*d', (2**40, 1)),
        ('%*d', (1.5, 1)), ('%*d', (True, 7)), ('%.*f', (True, 1.25)), ('%*.*f', (8, 2, 3.14159)),
        ('%0 +5d', 3), ('%#5.3x', 10), ('%010.3d', -5), ('%.600d', 1), ('%.511d', -1),
        ('%.510d', 2**127 - 1), ('%1048576d', 1), ('%1048577d', 1), ('%.1048577s', 'a'),
        ('%.400f', 1.0), ('%.400f', 1e300), ('%.*s', (3, 'ab\U0001F600cd')), ('%-5c|', 'é'),
        ('%c', 'ab'), ('%c', ''), ('%d', 'x'), ('%d', float('nan')), ('%i', -float('inf')),
        ('%u', -3.99), ('%d', -0.0), ('%f', -0.0), ('%e', 2**63 - 1), ('%f', 2**64),
        ('%d %s', (I64(5), I64(-6))), ('%r', 2**70), ('%s', -2**127), ('%o', -2**127),
        ('%x', 2**128 + 1), ('%d', 2**128), ('π=%.3f, %s!', (3.14159, 'ünï')), ('', ()),
        ('no directives', ()), ('%s', None), ('%r|%s', (True, False)), ('%5.1s|', 'éa'),
    ]
)PY";

// Some right operands are I64 (a checked int crosses as one): a stand-in subclass of int with
// the same text for the interpreter embedded here.
constexpr char kI64[] = "class I64(int):\n    pass\n";

class Printf : public testing_support::WithPython {
protected:
    void SetUp() override {
        WithPython::SetUp();
        savedHooks = convert::hooks;
        convert::hooks.makeProxy = testing_support::copyProxy;
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
        run.tally = &tally;
        run.report = 1;
        ctx.run = &run;
        testing_support::run(kI64);
        testing_support::run(kGenerated);
    }
    void TearDown() override {
        ctx.run = nullptr;
        bridge::freeTally(&tally);
        helpers::endCtx(&ctx);
        convert::hooks = savedHooks;
        WithPython::TearDown();
    }

    uint64_t crossings() const {
        uint64_t n = 0;
        for (uint64_t i = 0; i < tally.capacity; i++)
            if (tally.slots[i].text) n += tally.slots[i].count;
        return n;
    }

    static std::string text(PyObject* o) { return testing_support::pyRepr(o); }

    // The native value of a right operand: I64 instances become checked ints (tag 2).
    static Value operand(PyObject* o) {
        PyObject* i64 = PyDict_GetItemString(testing_support::namespaceDict(), "I64");
        if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(i64)))
            return Value::integer(PyLong_AsLongLong(o));
        if (!PyTuple_CheckExact(o)) return fromPython(o);
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        value::Tuple* t = value::newTuple(uint64_t(n));
        for (Py_ssize_t i = 0; i < n; i++) t->items()[i] = operand(PyTuple_GET_ITEM(o, i));
        return Value::of(value::TagTuple, t);
    }

    // fmt % args natively and in Python: the same str, or the same exception type and text.
    // Answers whether the native side went through Python.
    bool expectSame(PyObject* format, PyObject* args) {
        std::string label = text(format) + " % " + text(args);
        Value f = fromPython(format), a = operand(args);
        uint64_t before = crossings();
        Value out{0x1234, 0x5678};
        bool ok = wn_binary(&ctx, 1, 5, int64_t(f.tag), int64_t(f.payload), int64_t(a.tag),
                            int64_t(a.payload), &out);
        bool crossed = crossings() != before;
        PyObject* expected = PyNumber_Remainder(format, args);
        if (!expected) {
            Value untouched{0x1234, 0x5678};
            testing_support::expectPythonError(&ctx, label, ok, out, &untouched);
        } else {
            EXPECT_TRUE(ok) << label << ": Python gave " << text(expected);
            if (ok) {
                PyObject* got = convert::toPython(out, &ctx.conversion);
                // A str with a lone surrogate has no native form and stays Python's.
                EXPECT_TRUE(out.tag == value::TagStr || (got && PyUnicode_CheckExact(got)))
                    << label;
                EXPECT_EQ(text(got), text(expected)) << label;
                Py_XDECREF(got);
                value::decref(out);
            }
            Py_DECREF(expected);
        }
        helpers::clearError(&ctx);
        value::decref(f);
        value::decref(a);
        return crossed;
    }

    // Every case of a list of (format, args) pairs; the number that crossed into Python.
    size_t expectAllSame(const char* expression) {
        PyObject* cases = eval(expression);
        size_t crossed = 0;
        for (Py_ssize_t i = 0; cases && i < PyList_GET_SIZE(cases); i++) {
            PyObject* c = PyList_GET_ITEM(cases, i);
            crossed += expectSame(PyTuple_GET_ITEM(c, 0), PyTuple_GET_ITEM(c, 1));
        }
        Py_XDECREF(cases);
        return crossed;
    }

    // One case, and whether it crossed.
    bool crossesFor(const char* format, const char* args) {
        PyObject* f = eval(std::string("'") + format + "'");
        PyObject* a = eval(args);
        bool crossed = expectSame(f, a);
        Py_XDECREF(f);
        Py_XDECREF(a);
        return crossed;
    }

    convert::Hooks savedHooks{};
    helpers::RunRecord run{};
    bridge::Tally tally{};
    Ctx ctx{};
};

TEST_F(Printf, GeneratedFormatsOverEveryKindOfArgument) {
    size_t crossed = expectAllSame("printf_cases()");
    // Most directives of the table are native; a native path that declined everything would
    // still pass the comparisons above.
    PyObject* n = eval("len(printf_cases())");
    size_t total = size_t(PyLong_AsSsize_t(n));
    Py_XDECREF(n);
    EXPECT_LT(crossed, total / 2) << crossed << " of " << total << " went through Python";
}

TEST_F(Printf, WholeFormatsAndTheirErrors) { expectAllSame("whole_cases()"); }

// The common cases never touch Python; everything the native subset leaves out goes there
// whole.
TEST_F(Printf, NativeCasesStayNativeAndTheRestCrossOnce) {
    struct Case {
        const char* format;
        const char* args;
        bool crosses;
    } cases[] = {
        {"%5.2f|%-4d|%04x|%#o", "(3.14159, 7, 255, 8)", false},
        {"%s %r", "('a', 'b')", false},
        {"%.2s|%5s|%c|%c", "('abc', 'é', 65, 'é')", false},
        {"%d %i %u", "(3.9, -1e40, 2**100)", false},
        {"%+d % d %-05d %#X %%", "(5, 5, 5, 255)", false},
        {"%*d|%-*d|%.*f", "(-4, 1, 3, 2, 2, 1.0)", false},
        {"%s %s %s %s %r", "(None, True, 2**90, -0.0, float('nan'))", false},
        {"%hd %ld %Lf", "(1, 2, 3.0)", false},
        {"%(name)s", "{'name': 'x'}", true},
        {"%s", "{'name': 'x'}", true},
        {"%s %s", "(1, 2, 3)", true},
        {"%s %s", "(1,)", true},
        {"%", "()", true},
        {"%5%", "()", true},
        {"%*-d", "(5, 1)", true},
        {"%lld", "1", true},
        {"%c", "0xD800", true},
        {"%x", "3.9", true},
        {"%r", "'é'", true},
        {"%a", "'a'", true},
        {"%s", "[1]", true},
        {"%d", "2**130", true},
        {"%*d", "(2**40, 1)", true},
        {"%*d", "(-2**63, 1)", true},
        {"%.600d", "1", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(crossesFor(c.format, c.args), c.crosses) << c.format << " % " << c.args;
}

}  // namespace

}  // namespace wuna
