// The order a folded set display's elements are stored in: inserting the display's values in
// that order into an empty set must give the set CPython builds from the frozenset it folded
// the display into, item for item. String hashes depend on the hash seed, so the Python test
// test_front_setorder.py runs these tests again under several PYTHONHASHSEED values.
#include "compiler/front/setorder.h"
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/python_test_support.h"

namespace wuna::front {

namespace {

// f() returns the set CPython builds; elts(src) the ast elements of the first set display in
// src; by_order(elts, order) the set made by inserting the values in that order into a table
// sized for all of them at once, as a folded display is built (a dict's keys update a set that
// way); same(a, b) whether two sets iterate as the same values of the same types.
constexpr char kHelpers[] = R"PY(
import ast

def load(src):
    ns = {}
    exec(compile(src, "<case>", "exec"), ns)
    return ns["f"]

def elts(src):
    return next(n for n in ast.walk(ast.parse(src)) if isinstance(n, ast.Set)).elts

def by_order(elts, order):
    vals = [ast.literal_eval(e) for e in elts]
    s = set()
    s.update(dict.fromkeys(vals[i] for i in order))
    return s

def same(a, b):
    return [(type(x), x) for x in a] == [(type(x), x) for x in b]
)PY";

class SetOrder : public testing_support::WithHelpers<::testing::TestWithParam<const char*>> {
protected:
    SetOrder() : WithHelpers(kHelpers) {}
};

// Displays CPython folds: strs (laid out by the seed), five to seven items (copied by CPython
// into a smaller table than the frozenset's), items equal across types, signed numbers and
// tuples, a display inside a nested function.
const char* const kFolded[] = {
    "def f():\n    return {'a', 'b', 'c'}\n",
    "def f():\n    return {'pear', 'fig', 'kiwi', 'plum'}\n",
    "def f():\n    return {'k0', 'k1', 'k2', 'k3', 'k4', 'k5', 'k6'}\n",
    "def f():\n    return {1, 1.0, 2}\n",
    "def f():\n    return {2, True, 1, 1.0, 'x'}\n",
    "def f():\n    return {-1, 2.5, 's'}\n",
    "def f():\n    return {(1, 'a'), -2, +3.5, 'q', b'z', ()}\n",
    "def f():\n    return {9, 17, 33, 65, 1}\n",
    "def f():\n    def g():\n        return {'u', 'v', 'w'}\n    return g()\n",
    // Eight items and more: CPython copies the frozenset's table slot for slot, and colliding
    // items are where the frozenset's own filling put them.
    "def f():\n    return {'k0', 'k1', 'k2', 'k3', 'k4', 'k5', 'k6', 'k7', 'k8', 'k9'}\n",
    "def f():\n    return {0, 32, 64, 96, 128, 1, 33, 65, 2}\n",
    "def f():\n    return {96, 64, 32, 0, 31, 63, 95, 127, 159}\n",
    "def f():\n    return {'a0', 'a1', 'a2', 'a3', 'a4', 'a5', 'a6', 'a7', 'a8', 'a9', 'b0', "
    "'b1', 'b2', 'b3', 'b4', 'b5', 'b6', 'b7', 'b8', 'b9', 'c0', 'c1'}\n",
};

TEST_P(SetOrder, InsertingInTheOrderBuildsCPythonsSet) {
    PyObject* src = PyUnicode_FromString(GetParam());
    PyObject* fn = call("load", src);
    ASSERT_NE(fn, nullptr);
    PyObject* elts = call("elts", src);
    ASSERT_NE(elts, nullptr);
    uint64_t n = static_cast<uint64_t>(PyList_GET_SIZE(elts));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elts); i++) {
        bool literal = false;
        ASSERT_EQ(isLiteral(PyList_GET_ITEM(elts, i), &literal), Status::ok);
        EXPECT_TRUE(literal) << "element " << i;
    }
    // The nested function's display lives in a code object among f's constants.
    std::vector<uint64_t> order(n);
    bool found = false;
    ASSERT_EQ(foldedOrder(fn, elts, n, order.data(), &found), Status::ok);
    ASSERT_TRUE(found);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    for (uint64_t i = 0; i < n; i++)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLongLong(order[i]));
    PyObject* built = call("by_order", elts, list);
    ASSERT_NE(built, nullptr);
    PyObject* expected = PyObject_CallNoArgs(fn);
    ASSERT_NE(expected, nullptr);
    PyObject* same = call("same", built, expected);
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(same, Py_True) << GetParam();
    Py_DECREF(same);
    Py_DECREF(expected);
    Py_DECREF(built);
    Py_DECREF(list);
    Py_DECREF(elts);
    Py_DECREF(fn);
    Py_DECREF(src);
}

INSTANTIATE_TEST_SUITE_P(Folded, SetOrder, ::testing::ValuesIn(kFolded));

// Elements that are not literals: a name, a sign over a sign, a complex written as a sum, a
// list, a sign over a str, a tuple holding a name.
const char* const kNotLiteral[] = {"x", "-(-1)", "1 + 2j", "[1]", "-'a'", "(1, x)", "not 1"};

class SetOrderLiteral : public SetOrder {};

TEST_P(SetOrderLiteral, IsNotALiteral) {
    std::string text = std::string("def f():\n    return {") + GetParam() + "}\n";
    PyObject* src = PyUnicode_FromString(text.c_str());
    PyObject* elts = call("elts", src);
    ASSERT_NE(elts, nullptr);
    bool literal = true;
    ASSERT_EQ(isLiteral(PyList_GET_ITEM(elts, 0), &literal), Status::ok);
    EXPECT_FALSE(literal) << GetParam();
    Py_DECREF(elts);
    Py_DECREF(src);
}

INSTANTIATE_TEST_SUITE_P(Elements, SetOrderLiteral, ::testing::ValuesIn(kNotLiteral));

// A function whose code holds no frozenset of the display's values (its source changed after
// it was compiled) gets no order, and so does a display the script can't evaluate.
TEST_F(SetOrder, NoMatchingFrozensetGivesNoOrder) {
    PyObject* fnSrc = PyUnicode_FromString("def f():\n    return {'a', 'b', 'c'}\n");
    PyObject* fn = call("load", fnSrc);
    ASSERT_NE(fn, nullptr);
    for (const char* other :
         {"def f():\n    return {'a', 'b', 'd'}\n", "def f():\n    return {'a', 'b', c}\n"}) {
        PyObject* src = PyUnicode_FromString(other);
        PyObject* elts = call("elts", src);
        ASSERT_NE(elts, nullptr);
        uint64_t order[3] = {};
        bool found = true;
        ASSERT_EQ(foldedOrder(fn, elts, 3, order, &found), Status::ok);
        EXPECT_FALSE(found) << other;
        EXPECT_FALSE(PyErr_Occurred());
        Py_DECREF(elts);
        Py_DECREF(src);
    }
    Py_DECREF(fn);
    Py_DECREF(fnSrc);
}

}  // namespace

}  // namespace wuna::front
