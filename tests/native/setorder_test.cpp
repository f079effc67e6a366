// The order a folded set display's elements are stored in: inserting the display's values in
// that order into an empty set must give the set CPython builds from the frozenset it folded
// the display into, item for item. String hashes depend on the hash seed, so the Python test
// test_front_setorder.py runs these tests again under several PYTHONHASHSEED values; int
// hashes don't, so displays of ints lay out collisions the same way under every seed.
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
import random

def load(src):
    ns = {}
    exec(compile(src, "<case>", "exec"), ns)
    return ns["f"]

def load_refilled(src):
    # f with its frozenset refilled in reverse of its order, as a .pyc made by another process
    # (another seed, another order) holds it.
    f = load(src)
    consts = tuple(frozenset(reversed(list(c))) if isinstance(c, frozenset) else c
                   for c in f.__code__.co_consts)
    f.__code__ = f.__code__.replace(co_consts=consts)
    return f

def elts(src):
    return next(n for n in ast.walk(ast.parse(src)) if isinstance(n, ast.Set)).elts

def by_order(elts, order):
    vals = [ast.literal_eval(e) for e in elts]
    s = set()
    s.update(dict.fromkeys(vals[i] for i in order))
    return s

def same(a, b):
    return [(type(x), x) for x in a] == [(type(x), x) for x in b]

def patterns():
    # Displays of ints crowded onto a few home slots, many near the end of the table they
    # fill, where a colliding probe jumps instead of running on; high bits and signs vary where
    # it jumps to. A fixed generator keeps them the same from run to run.
    rng = random.Random(1211)
    sizes = [3, 4, 5, 7, 8, 9, 10, 11, 12, 15, 16, 20, 33]
    out = []
    for _ in range(600):
        n = rng.choice(sizes)
        vals = []
        while len(vals) < n:
            v = rng.choice([rng.randrange(64), 24 + 32 * rng.randrange(8),
                            rng.randrange(32) + (rng.randrange(1, 40) << 20)])
            v = -v if rng.random() < 0.1 else v
            if v not in vals:
                vals.append(v)
        out.append("def f():\n    return {%s}\n" % ", ".join(map(str, vals)))
    return out
)PY";

class SetOrder : public testing_support::WithHelpers<::testing::TestWithParam<const char*>> {
protected:
    SetOrder() : WithHelpers(kHelpers) {}
    bool buildsCPythonsSet(const char* text, const char* loader = "load");
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
    // An item whose home slot is near the table's end collides there, and its probe jumps
    // to a lower slot than the item it collided with: inserted in slot order it would take
    // that item's home slot.
    "def f():\n    return {33554447, 30, 248, 184, 56, 28, 47, 120}\n",
    "def f():\n    return {152, 88, 62, 55, 61, 6291482, 23, 46, 120, 24, 15}\n",
};

// Whether inserting the elements of the display in f (defined by the source text, loaded by the
// helper named loader) in the order found for it builds the set f() returns; a failed step is a test failure and counts as not
// built.
bool SetOrder::buildsCPythonsSet(const char* text, const char* loader) {
    PyObject* src = PyUnicode_FromString(text);
    PyObject* fn = call(loader, src);
    PyObject* elts = call("elts", src);
    Py_DECREF(src);
    EXPECT_NE(fn, nullptr);
    EXPECT_NE(elts, nullptr);
    if (!fn || !elts) {
        Py_XDECREF(fn);
        Py_XDECREF(elts);
        return false;
    }
    uint64_t n = static_cast<uint64_t>(PyList_GET_SIZE(elts));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elts); i++) {
        bool literal = false;
        EXPECT_EQ(isLiteral(PyList_GET_ITEM(elts, i), &literal), Status::ok);
        EXPECT_TRUE(literal) << "element " << i;
    }
    // The nested function's display lives in a code object among f's constants.
    std::vector<uint64_t> order(n);
    bool found = false;
    EXPECT_EQ(foldedOrder(fn, elts, n, order.data(), &found), Status::ok);
    bool same = false;
    if (found) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        for (uint64_t i = 0; i < n; i++)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i),
                            PyLong_FromUnsignedLongLong(order[i]));
        PyObject* built = call("by_order", elts, list);
        PyObject* expected = PyObject_CallNoArgs(fn);
        PyObject* result = built && expected ? call("same", built, expected) : nullptr;
        EXPECT_NE(result, nullptr);
        same = result == Py_True;
        Py_XDECREF(result);
        Py_XDECREF(expected);
        Py_XDECREF(built);
        Py_DECREF(list);
    }
    Py_DECREF(elts);
    Py_DECREF(fn);
    return found && same;
}

TEST_P(SetOrder, InsertingInTheOrderBuildsCPythonsSet) {
    EXPECT_TRUE(buildsCPythonsSet(GetParam())) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Folded, SetOrder, ::testing::ValuesIn(kFolded));

// A frozenset filled in another order than this process's compiler fills it (a .pyc written
// under another seed) has its own layout, which the order must follow.
TEST_F(SetOrder, FrozensetFilledElsewhereBuildsCPythonsSet) {
    for (const char* text : kFolded) EXPECT_TRUE(buildsCPythonsSet(text, "load_refilled")) << text;
}

// Many collision patterns in one process, as many hash seeds would give: each display's order
// must rebuild CPython's set. The failing displays are listed.
TEST_F(SetOrder, EveryCollisionPatternBuildsCPythonsSet) {
    PyObject* texts = call("patterns");
    ASSERT_NE(texts, nullptr);
    std::string failed;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts); i++) {
        const char* text = PyUnicode_AsUTF8(PyList_GET_ITEM(texts, i));
        ASSERT_NE(text, nullptr);
        if (!buildsCPythonsSet(text)) failed += text;
    }
    Py_DECREF(texts);
    EXPECT_EQ(failed, "");
}

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
