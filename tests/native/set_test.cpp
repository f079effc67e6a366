// The set table: iteration order equal to the interpreter's for the same adds and removes
// (scripted runs compared with real sets), growth, dummies reused, equal elements refused
// without a reference taken, membership, subsets and set equality.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/native/python_values.h"

namespace wuna {

namespace {

using namespace value;
using testing_support::eval;
using testing_support::fromPython;
using testing_support::itemsOf;
using testing_support::run;
using testing_support::WithPython;

class Sets : public WithPython {};

bool add(Set* s, Value v) { return set::addHashed(s, v, set::elementHash(v)); }

// What the removal of a later layer does to the table: the key's slot becomes a dummy.
bool removeKey(Set* s, Value v) {
    for (uint64_t i = 0; i <= s->mask; i++) {
        SetSlot& slot = s->table[i];
        if (slot.key.tag == TagUnset || slot.key.tag == TagDeleted) continue;
        if (!equal(slot.key, v)) continue;
        Value old = slot.key;
        slot = SetSlot{Value{TagDeleted, 0}, -1};
        s->used--;
        decref(old);
        return true;
    }
    return false;
}

// The keys in iteration order: table order, empties and dummies skipped.
std::vector<Value> walk(Set* s) {
    std::vector<Value> keys;
    for (uint64_t i = 0; i <= s->mask; i++) {
        const SetSlot& slot = s->table[i];
        if (slot.key.tag != TagUnset && slot.key.tag != TagDeleted) keys.push_back(slot.key);
    }
    return keys;
}

TEST_F(Sets, ANewSetHasAnEightSlotTableAndIsTracked) {
    Set* s = set::make();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->h.kind, uint32_t(TagSet));
    EXPECT_EQ(s->mask, 7u);
    EXPECT_EQ(s->fill, 0u);
    EXPECT_EQ(s->used, 0u);
    EXPECT_EQ(s->finger, 0u);
    EXPECT_NE(linkOf(&s->h)->next, nullptr);
    for (uint64_t i = 0; i <= s->mask; i++) EXPECT_EQ(s->table[i].key.tag, TagUnset);
    decref(Value::of(TagSet, s));
}

TEST_F(Sets, SmallIntsIterateInOrder) {
    Set* s = set::make();
    for (int64_t i : {3, 1, 2}) ASSERT_TRUE(add(s, Value::integer(i)));
    std::vector<Value> keys = walk(s);
    ASSERT_EQ(keys.size(), 3u);
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(int64_t(keys[i].payload), int64_t(i + 1));
    decref(Value::of(TagSet, s));
}

TEST_F(Sets, TheFifthElementGrowsTheTableToThirtyTwoSlots) {
    Set* s = set::make();
    for (int64_t i = 0; i < 4; i++) add(s, Value::integer(i));
    EXPECT_EQ(s->mask, 7u);
    add(s, Value::integer(4));
    EXPECT_EQ(s->mask, 31u);
    EXPECT_EQ(s->fill, 5u);
    EXPECT_EQ(s->used, 5u);
    // Past 16 slots the table comes from the C heap; freeing the set gives it back there.
    for (int64_t i = 5; i < 100; i++) add(s, Value::integer(i * 7919));
    EXPECT_EQ(s->used, 100u);
    decref(Value::of(TagSet, s));
}

TEST_F(Sets, AnEqualElementLeavesTheSetAsItWasAndTakesNoReference) {
    Set* s = set::make();
    Value first = Value::of(TagStr, newStr("x", 1)), again = Value::of(TagStr, newStr("x", 1));
    add(s, Value::integer(1));
    add(s, first);
    EXPECT_EQ(first.as<Str>()->h.count, 2u);
    for (Value v : {Value::real(1.0), Value::boolean(true), Value::pint(1), again})
        EXPECT_TRUE(add(s, v));
    EXPECT_EQ(s->used, 2u);
    EXPECT_EQ(s->fill, 2u);
    EXPECT_EQ(again.as<Str>()->h.count, 1u);
    // The first 1 stays, not the later 1.0 or True.
    for (Value key : walk(s)) {
        if (key.tag != TagStr) {
            EXPECT_EQ(key.tag, TagInt);
        }
    }
    decref(first);
    decref(again);
    decref(Value::of(TagSet, s));
}

TEST_F(Sets, ANewElementMeetingADummyTakesItsSlot) {
    Set* s = set::make();
    // 1 and 9 share slot 1 of eight; 9 goes on to slot 2.
    add(s, Value::integer(1));
    add(s, Value::integer(9));
    ASSERT_TRUE(removeKey(s, Value::integer(1)));
    EXPECT_EQ(s->fill, 2u);
    add(s, Value::integer(17));  // walks slot 1 (the dummy), slot 2 (9), slot 3 (empty)
    EXPECT_EQ(s->table[1].key.payload, 17u);
    EXPECT_EQ(s->fill, 2u);
    EXPECT_EQ(s->used, 2u);
    EXPECT_TRUE(set::contains(s, Value::real(9.0)));
    EXPECT_FALSE(set::contains(s, Value::integer(1)));
    decref(Value::of(TagSet, s));
}

TEST_F(Sets, ANanIsFoundByItsOwnWordsOnly) {
    Set* s = set::make();
    Value nan = Value::real(std::nan(""));
    Value other = Value{TagFloat, nan.payload ^ 1};  // another NaN's bits
    add(s, nan);
    EXPECT_TRUE(set::contains(s, nan));
    EXPECT_FALSE(set::contains(s, other));
    EXPECT_TRUE(add(s, nan));
    EXPECT_EQ(s->used, 1u);
    decref(Value::of(TagSet, s));
}

TEST_F(Sets, SubsetsAndEqualityAreBySameElements) {
    Set *a = set::make(), *b = set::make(), *c = set::make();
    for (int64_t i : {1, 2, 3}) add(a, Value::integer(i));
    for (double d : {3.0, 2.0, 1.0}) add(b, Value::real(d));
    for (int64_t i : {1, 2, 4}) add(c, Value::integer(i));
    EXPECT_TRUE(set::isSubset(a, b));
    EXPECT_TRUE(equal(Value::of(TagSet, a), Value::of(TagSet, b)));
    EXPECT_FALSE(equal(Value::of(TagSet, a), Value::of(TagSet, c)));
    add(c, Value::integer(3));
    EXPECT_TRUE(set::isSubset(a, c));
    EXPECT_FALSE(set::isSubset(c, a));
    EXPECT_FALSE(equal(Value::of(TagSet, a), Value::of(TagSet, c)));
    for (Set* s : {a, b, c}) decref(Value::of(TagSet, s));
}

// ---- Order against the interpreter's sets -------------------------------------------------------

struct Script {
    const char* name;
    const char* pool;  // the distinct elements to draw from
    int seed;
    int steps;
};

const Script scripts[] = {
    {"small_ints", "list(range(-20, 60))", 1, 300},
    {"wide_ints", "[2**k + d for k in (10, 61, 62, 63, 64, 100, 126) for d in (-1, 0, 1)]", 2, 200},
    {"strs", "['k%d' % i for i in range(200)] + ['é%d' % i for i in range(30)]", 3, 600},
    {"mixed",
     "[None, True, 0.5, -2.25, 'a', 'bb', b'x', b'', (), (1, 'a'), 2**70, -7, 1e300]"
     " + list(range(100, 140))",
     4, 400},
    {"many", "list(range(0, 100000, 7))", 5, 20000},
};

class Order : public Sets, public ::testing::WithParamInterface<Script> {};

TEST_P(Order, IterationOrderIsTheInterpretersForTheSameAddsAndRemoves) {
    const Script& script = GetParam();
    run("import random\n"
        "pool = " +
        std::string(script.pool) +
        "\n"
        "rng = random.Random(" +
        std::to_string(script.seed) +
        ")\n"
        "ops = []\n"
        "s = set()\n"
        "for _ in range(" +
        std::to_string(script.steps) +
        "):\n"
        "    i = rng.randrange(len(pool))\n"
        "    remove = bool(s) and rng.random() < 0.35\n"
        "    if remove:\n"
        "        i = pool.index(rng.choice(list(s)))\n"
        "        s.discard(pool[i])\n"
        "    else:\n"
        "        s.add(pool[i])\n"
        "    ops.append((remove, i))\n"
        "order = [pool.index(x) for x in s]\n");
    PyObject* poolObject = eval("pool");
    std::vector<Value> pool = itemsOf(poolObject);
    PyObject* ops = eval("ops");
    Set* s = set::make();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(ops); k++) {
        PyObject* op = PyList_GET_ITEM(ops, k);
        bool remove = PyTuple_GET_ITEM(op, 0) == Py_True;
        Value v = pool[size_t(PyLong_AsLong(PyTuple_GET_ITEM(op, 1)))];
        if (remove)
            ASSERT_TRUE(removeKey(s, v));
        else
            ASSERT_TRUE(add(s, v));
    }
    std::vector<Value> keys = walk(s);
    PyObject* order = eval("order");
    ASSERT_EQ(keys.size(), size_t(PyList_GET_SIZE(order)));
    for (size_t i = 0; i < keys.size(); i++) {
        Value expected = pool[size_t(PyLong_AsLong(PyList_GET_ITEM(order, Py_ssize_t(i))))];
        EXPECT_TRUE(keys[i].tag == expected.tag && keys[i].payload == expected.payload)
            << "position " << i;
        if (::testing::Test::HasFailure()) break;
    }
    PyObject* fill = eval("len(s)");
    EXPECT_EQ(s->used, uint64_t(PyLong_AsLong(fill)));
    Py_DECREF(fill);
    Py_DECREF(order);
    Py_DECREF(ops);
    Py_DECREF(poolObject);
    decref(Value::of(TagSet, s));
    for (Value v : pool) decref(v);
}

INSTANTIATE_TEST_SUITE_P(Scripts, Order, ::testing::ValuesIn(scripts),
                         [](const auto& info) { return std::string(info.param.name); });

// A table that can't be had leaves the set as it was: same table, same keys in the same order.
TEST_F(Sets, AGrowthWithoutMemoryChangesNothing) {
    Set* s = set::make();
    ASSERT_NE(s, nullptr);
    for (int64_t i : {5, 3, 9, 1}) ASSERT_TRUE(add(s, Value::integer(i)));
    removeKey(s, Value::integer(3));  // a dummy, which a real rebuild would drop
    std::vector<Value> before = walk(s);
    SetSlot* table = s->table;
    uint64_t mask = s->mask, fill = s->fill, used = s->used;
    for (uint64_t impossible : {uint64_t(1) << 60, UINT64_MAX}) {
        EXPECT_FALSE(set::resize(s, impossible));
        EXPECT_EQ(s->table, table);
        EXPECT_EQ(s->mask, mask);
        EXPECT_EQ(s->fill, fill);
        EXPECT_EQ(s->used, used);
        std::vector<Value> after = walk(s);
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); i++) EXPECT_EQ(after[i].payload, before[i].payload);
    }
    EXPECT_TRUE(set::contains(s, Value::integer(9)));
    decref(Value::of(TagSet, s));
}

// A key's __eq__ is Python code, which may change the set it is being compared in: here it
// grows the table (freeing the one being walked, a heap table the sanitizers watch) the first
// time it runs. The walk must start again on the new table - not read the freed one - and
// still find the key or add it once.
Set* grownByEq = nullptr;
int64_t growBase = 0;  // new ints each time: removed ones would come back into their dummies

PyObject* growSet(PyObject*, PyObject*) {
    Set* s = grownByEq;
    grownByEq = nullptr;  // once
    if (s)
        for (int64_t i = growBase; i < growBase + 400; i++) add(s, Value::integer(i));
    Py_RETURN_NONE;
}

PyMethodDef growDef = {"grow", growSet, METH_NOARGS, nullptr};

TEST_F(Sets, AnEqThatGrowsTheSetRestartsTheWalk) {
    PyObject* grow = PyCFunction_New(&growDef, nullptr);
    ASSERT_NE(grow, nullptr);
    PyObject* globals = testing_support::namespaceDict();
    ASSERT_EQ(PyDict_SetItemString(globals, "grow", grow), 0);
    run("class Key:\n"
        "    def __init__(self, n): self.n = n\n"
        "    def __hash__(self): return 7\n"
        "    def __eq__(self, other):\n"
        "        grow()\n"
        "        return isinstance(other, Key) and other.n == self.n\n"
        "first, same, other = Key(1), Key(1), Key(2)\n");
    PyObject* first = eval("first");
    PyObject* same = eval("same");
    PyObject* other = eval("other");
    Set* s = set::make();
    ASSERT_NE(s, nullptr);
    for (int64_t i = 100; i < 140; i++) add(s, Value::integer(i));
    ASSERT_GT(s->mask + 1, 16u) << "a heap table";
    ASSERT_TRUE(add(s, Value::of(TagPy, first)));
    // Not equal first: its walk goes on past the compared slot, into the freed table.
    for (PyObject* key : {other, same}) {
        growBase += 1000;
        grownByEq = s;
        uint64_t before = s->used;
        ASSERT_TRUE(add(s, Value::of(TagPy, key)));
        EXPECT_EQ(grownByEq, nullptr) << "__eq__ ran";
        // 400 ints came in while comparing; the key itself only when it was not equal.
        EXPECT_EQ(s->used, before + 400 + (key == other ? 1 : 0));
        for (int64_t i = growBase; i < growBase + 400; i++) removeKey(s, Value::integer(i));
    }
    EXPECT_TRUE(set::contains(s, Value::of(TagPy, same)));
    EXPECT_TRUE(set::contains(s, Value::of(TagPy, other)));
    EXPECT_EQ(s->used, 42u);
    EXPECT_EQ(walk(s).size(), 42u) << "a key went into a table the set no longer has";
    decref(Value::of(TagSet, s));
    Py_DECREF(first);
    Py_DECREF(same);
    Py_DECREF(other);
    Py_DECREF(grow);
}

}  // namespace

}  // namespace wuna
