// The stored analyzer over a module of helpers: which functions are pure (may run while
// compiling), which module variables the module rebinds and which tables it only reads, and
// which parameters a function only reads. Asked in the order a compilation might ask, on a
// fresh module each test (the analyzer's caches live as long as the process).
#include <gtest/gtest.h>
#include "compiler/front/analyzer.h"

#include <string>

#include "tests/native/front_modules.h"

namespace wuna::front {

namespace {

constexpr char kHelpers[] = R"PY(
import math

TABLE = {"a": 1}
SEEN = {}
NAMES = ("x", "y")
counter = 0


def double(x):
    return x * 2


def shout(x):
    print(x)
    return x


def bump():
    global counter
    counter += 1


def add_to(xs):
    xs.append(1)
    return xs


def add_through_alias(xs):
    ys = xs
    ys.append(1)


def add_to_item(xs):
    for x in xs:
        x.append(1)


def call_parameter(fn):
    return fn(1)


def build(n):
    out = []
    out.append(n)
    return out


def store_item(xs):
    xs[0] = 1


def store_own(n):
    out = [0]
    out[0] = n
    return out


def lookup(k):
    return TABLE.get(k)


def remember(k):
    return SEEN.get(k)


def fill(k, v):
    SEEN[k] = v


def member(k):
    return k in NAMES


def root(x):
    return math.sqrt(x)


def fail(x):
    raise ValueError(x)


def safe_method(d, k):
    return d.get(k, 0) + len(d.keys())


def even(n):
    return True if n == 0 else odd(n - 1)


def odd(n):
    return False if n == 0 else even(n - 1)


def cycle_head(n):
    x = cycle_tail(n)
    print(x)
    return x


def cycle_tail(n):
    return cycle_head(n - 1) if n else 0


def with_default(x, k=(1, "a")):
    return x + k[0]


def with_list_default(x, k=[1]):
    return x + k[0]


def ro(a, b):
    return a[0] + len(b)


def ro_copy(a, b):
    a.copy()
    return a[0] + len(b)


def ro_append(a, b):
    b.append(1)
    return a[0]


class Keeper:
    def reset(self):
        global NAMES
        NAMES = ()
)PY";

struct PureCase {
    const char* name;
    bool pure;
};

class Analyzed : public testing_support::WithModule<::testing::TestWithParam<PureCase>> {
protected:
    Analyzed() : WithModule(kHelpers) {}
};

const PureCase kPure[] = {
    {"double", true},
    {"shout", false},           // print is no safe builtin
    {"bump", false},            // a global statement
    {"add_to", false},          // append on a parameter
    {"add_through_alias", false},
    {"add_to_item", false},     // append on an item of a parameter
    {"call_parameter", false},  // calling what the caller gave runs anything
    {"build", true},            // a list the function made
    {"store_item", false},
    {"store_own", true},
    {"lookup", true},           // TABLE is only read by the module
    {"remember", false},        // SEEN is written by fill
    {"member", false},          // NAMES is rebound by Keeper.reset
    {"root", true},
    {"fail", true},
    {"safe_method", true},
    {"even", true},
    {"with_default", true},
    {"with_list_default", false},
};

TEST_P(Analyzed, Pure) {
    bool pure = !GetParam().pure;
    ASSERT_EQ(isPure(global(GetParam().name), &pure), Status::ok);
    EXPECT_EQ(pure, GetParam().pure);
}

INSTANTIATE_TEST_SUITE_P(Helpers, Analyzed, ::testing::ValuesIn(kPure),
                         [](const auto& info) { return std::string(info.param.name); });

class Analyzer : public testing_support::WithModule<::testing::Test> {
protected:
    Analyzer() : WithModule(kHelpers) {}
    // The result of the analyzer's function on the object, as its repr.
    std::string answer(PyObject* function, PyObject* argument) {
        PyObject* result = PyObject_CallOneArg(function, argument);
        if (!result) {
            PyErr_Print();
            return "<raised>";
        }
        PyObject* text = PyObject_Repr(result);
        Py_DECREF(result);
        std::string out = text ? PyUnicode_AsUTF8(text) : "<repr failed>";
        Py_XDECREF(text);
        return out;
    }
};

TEST_F(Analyzer, TwoFunctionsCallingEachOtherArePureTogether) {
    bool pure = false;
    ASSERT_EQ(isPure(global("odd"), &pure), Status::ok);
    EXPECT_TRUE(pure);
    ASSERT_EQ(isPure(global("even"), &pure), Status::ok);
    EXPECT_TRUE(pure);
}

TEST_F(Analyzer, AFunctionJudgedWhileItsImpureCallerWasOpenIsNotRememberedPure) {
    bool pure = true;
    ASSERT_EQ(isPure(global("cycle_head"), &pure), Status::ok);
    EXPECT_FALSE(pure);
    // cycle_tail was checked while cycle_head counted as pure; asked now, it is checked again.
    ASSERT_EQ(isPure(global("cycle_tail"), &pure), Status::ok);
    EXPECT_FALSE(pure);
}

TEST_F(Analyzer, ASourcelessFunctionIsNotPureAndReadsNothing) {
    PyObject* globals = testing_support::runHelpers("def f(a):\n    return a\n");
    ASSERT_NE(globals, nullptr);
    PyObject* f = PyDict_GetItemString(globals, "f");
    bool pure = true;
    ASSERT_EQ(isPure(f, &pure), Status::ok);
    EXPECT_FALSE(pure);
    EXPECT_EQ(answer(analyzer().readonly, f), "()");
    Py_DECREF(globals);
}

TEST_F(Analyzer, ScanFindsRebindingsAndOnlyReadTables) {
    ASSERT_EQ(loadAnalyzer(), Status::ok);
    PyObject* result = PyObject_CallOneArg(analyzer().scan, module_);
    ASSERT_NE(result, nullptr);
    // The module's own names only: __builtins__ is a dict no source line touches.
    PyObject* locals = Py_BuildValue("{s:O}", "r", result);
    PyObject* sorted = PyRun_String(
        "(sorted(r[0]), sorted(n for n in r[1] if not n.startswith('__')))", Py_eval_input,
        PyEval_GetBuiltins(), locals);
    ASSERT_NE(sorted, nullptr);
    PyObject* text = PyObject_Repr(sorted);
    // counter and NAMES are rebound (NAMES in a method); SEEN is written by fill.
    EXPECT_STREQ(PyUnicode_AsUTF8(text), "(['NAMES', 'counter'], ['TABLE'])");
    Py_XDECREF(text);
    Py_DECREF(sorted);
    Py_DECREF(locals);
    Py_DECREF(result);
}

TEST_F(Analyzer, ReadonlyTellsWhichParametersAreOnlyRead) {
    ASSERT_EQ(loadAnalyzer(), Status::ok);
    EXPECT_EQ(answer(analyzer().readonly, global("ro")), "(True, True)");
    EXPECT_EQ(answer(analyzer().readonly, global("ro_copy")), "(False, True)");
    EXPECT_EQ(answer(analyzer().readonly, global("ro_append")), "(True, False)");
}

TEST_F(Analyzer, IsLoadedOnceAndKept) {
    ASSERT_EQ(loadAnalyzer(), Status::ok);
    PyObject* pure = analyzer().pure;
    ASSERT_EQ(loadAnalyzer(), Status::ok);
    EXPECT_EQ(analyzer().pure, pure);
}

}  // namespace

}  // namespace wuna::front
