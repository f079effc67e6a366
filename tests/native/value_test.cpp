// Values and blocks: the constructors and their layouts, counting and immortality, the order
// and depth of releases, list summaries, dict growth and insertion order, str code points,
// interned literals, int helpers, type names, and native equality, hashing and truth.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/python_test_support.h"
#include "tests/native/test_names.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace value;

Value str(std::string_view s) { return Value::of(TagStr, newStr(s.data(), s.size())); }

using testing_support::caseName;
using testing_support::endRun;
using testing_support::needPython;

// Every test checks that it leaves the thread's live block count where it found it.
class Blocks : public ::testing::Test {
protected:
    void SetUp() override { start = pool::liveBlocks(); }
    void TearDown() override {
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
    }
    int64_t start = 0;
};

RecordClass pointClass(bool slots, bool eq) {
    static Text fields[] = {{"x", 1}, {"y", 1}};
    return RecordClass{{"Point", 5}, {"geo.Point", 9}, fields,         2, nullptr,
                       nullptr,      uint8_t(eq),      uint8_t(slots), 0};
}

// ---- Constructors ----------------------------------------------------------------------------

TEST_F(Blocks, EveryConstructorWritesItsHeaderAndFields) {
    Str* s = newStr("abc", 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->h.count, 1u);
    EXPECT_EQ(s->h.kind, TagStr);
    EXPECT_EQ(s->h.flags, 0u);
    EXPECT_EQ(s->text(), "abc");
    EXPECT_EQ(s->hash, 0u);
    EXPECT_EQ(s->index, nullptr);

    Big* b = newBig(i128(1) << 100);
    EXPECT_EQ(b->h.kind, TagBig);
    EXPECT_EQ(b->get(), i128(1) << 100);

    Tuple* t = newTuple(3);
    EXPECT_EQ(t->h.kind, TagTuple);
    EXPECT_NE(linkOf(&t->h)->next, nullptr);
    for (uint64_t i = 0; i < 3; i++) EXPECT_EQ(t->items()[i].tag, TagNone);

    List* l = newList(0);
    EXPECT_EQ(l->h.flags, uint32_t(SummaryAll));
    EXPECT_EQ(l->capacity, kListInline);
    EXPECT_EQ(l->items, l->inlineItems);
    EXPECT_EQ(linkOf(&l->h)->next, nullptr);
    List* wideList = newList(40);
    EXPECT_EQ(wideList->capacity, 40u);
    EXPECT_TRUE(wideList->outOfLine());

    Dict* d = newDict();
    EXPECT_EQ(d->length + d->used + d->capacity, 0u);
    EXPECT_EQ(d->entries, nullptr);
    EXPECT_EQ(d->index, nullptr);
    EXPECT_NE(linkOf(&d->h)->next, nullptr);

    RecordClass slots = pointClass(true, true), plain = pointClass(false, true);
    Record* rs = newRecord(&slots);
    Record* rp = newRecord(&plain);
    EXPECT_EQ(rs->fields()[1].tag, TagUnset);
    EXPECT_EQ(rp->fields()[1].tag, TagNone);

    Bytes* owned = newOwnedBytes(0);
    EXPECT_EQ(owned->h.flags, FlagOwnsData | FlagImmutable);
    EXPECT_NE(owned->data, nullptr);
    EXPECT_EQ(owned->owner, nullptr);

    Frame* parent = newFrame(nullptr, 2);
    Frame* child = newFrame(parent, 3);
    EXPECT_EQ(child->h.kind, KindFrame);
    EXPECT_EQ(parent->h.count, 2u);
    EXPECT_EQ(child->slots()[2].tag, TagUnset);

    Function* f = newFunction(nullptr, child, 7, s, 99, FlagBury | 2);
    EXPECT_EQ(f->h.flags, FlagBury | 2);
    EXPECT_EQ(child->h.count, 2u);
    EXPECT_EQ(s->h.count, 2u);
    EXPECT_EQ(f->index, 7u);

    Closure* c = newClosure(&parent->h, nullptr, 99, nullptr);
    EXPECT_EQ(c->h.kind, TagClosure);
    EXPECT_EQ(parent->h.count, 3u);

    Exc* e = newExc(24, Value::of(TagTuple, t), Value::none(), Value::of(TagStr, s), 5);
    EXPECT_EQ(e->cause.tag, TagNone);
    EXPECT_EQ(t->h.count, 2u);
    EXPECT_EQ(s->h.count, 3u);

    Node* n = newNode(nullptr, 4);
    EXPECT_EQ(n->h.kind, TagNode);

    for (Value v :
         {Value::of(TagExc, e), Value::of(TagClosure, c), Value::of(TagFunction, f),
          Value::of(TagStr, s), Value::of(TagBig, b), Value::of(TagTuple, t), Value::of(TagList, l),
          Value::of(TagList, wideList), Value::of(TagDict, d), Value::of(TagRecord, rs),
          Value::of(TagRecord, rp), Value::of(TagBytes, owned), Value::of(TagNode, n)})
        decref(v);
    releaseCaptured(&child->h);
    releaseCaptured(&parent->h);
}

TEST_F(Blocks, TheEmptyTupleIsTrackedWithNoItems) {
    gc::State* s = gc::threadRecord();
    int64_t young = s->youngCount;
    Tuple* t = newTuple(0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->count, 0u);
    EXPECT_EQ(s->youngCount, young + 1);
    decref(Value::of(TagTuple, t));
    EXPECT_EQ(s->youngCount, young);
}

TEST_F(Blocks, ImpossibleSizesGiveNullAndCountNothing) {
    EXPECT_EQ(newTuple(UINT64_MAX / 8), nullptr);
    EXPECT_EQ(newList(UINT64_MAX / 8), nullptr);
    EXPECT_EQ(newFrame(nullptr, UINT64_MAX / 4), nullptr);
}

TEST_F(Blocks, BytesSlicesCopyOwnedDataAndShareViews) {
    needPython();
    Bytes* owned = newOwnedBytes(5);
    std::memcpy(owned->data, "hello", 5);
    Bytes* copy = bytesSlice(owned, 1, 4);
    EXPECT_NE(copy->data, owned->data + 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy->data), copy->length), "ell");
    EXPECT_EQ(copy->h.flags, FlagOwnsData | FlagImmutable);
    EXPECT_EQ(typeName(Value::of(TagBytes, copy)), "bytes");

    gil::Record* r = gil::enter();
    PyObject* owner = PyByteArray_FromStringAndSize("abcdef", 6);
    Py_ssize_t before = Py_REFCNT(owner);
    Bytes* view = newBytesView(reinterpret_cast<uint8_t*>(PyByteArray_AsString(owner)), 6, owner);
    gil::leave(r);
    EXPECT_EQ(Py_REFCNT(owner), before + 1);
    EXPECT_EQ(view->h.flags, 0u);
    EXPECT_EQ(typeName(Value::of(TagBytes, view)), "Bytes");
    Bytes* part = bytesSlice(view, 2, 5);
    EXPECT_EQ(part->data, view->data + 2);
    EXPECT_EQ(part->owner, owner);
    EXPECT_EQ(Py_REFCNT(owner), before + 2);
    for (Bytes* x : {owned, copy, view, part}) decref(Value::of(TagBytes, x));
    EXPECT_EQ(Py_REFCNT(owner), before);
    r = gil::enter();
    Py_DECREF(owner);
    gil::leave(r);
    endRun(r);
}

// ---- Counting ----------------------------------------------------------------------------------

struct TagCase {
    const char* name;
    uint64_t tag;
    friend void PrintTo(const TagCase& c, std::ostream* os) { *os << c.name; }
};

class ScalarCounting : public ::testing::TestWithParam<TagCase> {};

TEST_P(ScalarCounting, ChangesNothing) {
    // The payload points at a block-like word: counting must not touch it.
    Obj decoy{5, TagList, 0};
    int64_t live = pool::liveBlocks();
    int64_t tag = int64_t(GetParam().tag);
    wn_incref(tag, int64_t(uintptr_t(&decoy)));
    wn_decref(tag, int64_t(uintptr_t(&decoy)));
    wn_decref(tag, int64_t(uintptr_t(&decoy)));
    EXPECT_EQ(decoy.count, 5u);
    EXPECT_EQ(pool::liveBlocks(), live);
}

INSTANTIATE_TEST_SUITE_P(Values, ScalarCounting,
                         ::testing::Values(TagCase{"None", TagNone}, TagCase{"Bool", TagBool},
                                           TagCase{"Int", TagInt}, TagCase{"Float", TagFloat},
                                           TagCase{"NodeIndex", TagNodeIndex},
                                           TagCase{"Runtime", TagRuntime},
                                           TagCase{"RuntimeScope3",
                                                   TagRuntime | (uint64_t(3) << 32)},
                                           TagCase{"Pint", TagPint}, TagCase{"Unset", TagUnset},
                                           TagCase{"Tail", TagTail},
                                           TagCase{"Captured", TagCaptured},
                                           TagCase{"Deleted", TagDeleted}),
                         caseName<TagCase>);

TEST_F(Blocks, AnImmortalBlockIsNeverCountedOrFreed) {
    Str* s = newStr("forever", 7);
    makeImmortal(&s->h);
    for (int i = 0; i < 10; i++) wn_decref(TagStr, int64_t(uintptr_t(s)));
    wn_incref(TagStr, int64_t(uintptr_t(s)));
    EXPECT_EQ(s->h.count, kImmortal);
    EXPECT_EQ(s->text(), "forever");
    start += 1;  // it stays allocated for the process
}

TEST_F(Blocks, WnFreeFreesABlockCompiledCodeBroughtToZero) {
    Tuple* t = newTuple(1);
    t->items()[0] = str("inner");
    t->h.count = 0;  // compiled code's inline release
    wn_free(TagTuple, int64_t(uintptr_t(t)));
}

// ---- Releasing ------------------------------------------------------------------------------

TEST_F(Blocks, ANestedListAMillionDeepFreesWithoutRecursion) {
    List* inner = newList(0);
    for (int i = 0; i < 1000000; i++) {
        List* outer = newList(0);
        ASSERT_NE(outer, nullptr);
        ASSERT_TRUE(listAppend(outer, Value::of(TagList, inner)));
        inner = outer;
    }
    decref(Value::of(TagList, inner));
}

// The owner of the home pool keeps its pending chain beside that pool, other threads their own:
// two threads freeing nested lists at once each free every block of theirs, in constant stack,
// whichever of them holds the home pool.
TEST_F(Blocks, NestedListsFreedOnTwoThreadsAtOnceFreeEveryBlock) {
    pool::current();  // the test's thread holds the home pool
    ASSERT_EQ(pool::home_owner.load(), pool::threadId());
    auto nestedAndFreed = [](int depth, int64_t* left) {
        int64_t before = pool::liveBlocks();
        List* inner = newList(0);
        for (int i = 0; i < depth; i++) {
            List* outer = newList(0);
            if (!outer || !listAppend(outer, Value::of(TagList, inner))) return;
            inner = outer;
        }
        decref(Value::of(TagList, inner));
        *left = pool::liveBlocks() - before;
    };
    int64_t leftHere = -1;
    int64_t leftThere = -1;
    std::thread other([&] { nestedAndFreed(200000, &leftThere); });
    nestedAndFreed(200000, &leftHere);
    other.join();
    EXPECT_EQ(leftHere, 0);
    EXPECT_EQ(leftThere, 0);
    EXPECT_EQ(pool::home_owner.load(), pool::threadId());
}

TEST_F(Blocks, AFrameChainAMillionDeepFreesWithoutRecursion) {
    Frame* f = nullptr;
    for (int i = 0; i < 1000000; i++) {
        Frame* next = newFrame(f, 1);
        ASSERT_NE(next, nullptr);
        releaseCaptured(reinterpret_cast<Obj*>(f));
        f = next;
    }
    releaseCaptured(&f->h);
}

// Builders of nested values; each returns one new reference.
struct Shape {
    const char* name;
    std::function<Value()> make;
    friend void PrintTo(const Shape& c, std::ostream* os) { *os << c.name; }
};

Value listOf(std::initializer_list<Value> items) {
    List* l = newList(0);
    for (Value v : items) listAppend(l, v);
    return Value::of(TagList, l);
}

Value tupleOf(std::initializer_list<Value> items) {
    Tuple* t = newTuple(items.size());
    uint64_t i = 0;
    for (Value v : items) t->items()[i++] = v;
    return Value::of(TagTuple, t);
}

Value dictOf(std::initializer_list<std::pair<Value, Value>> items) {
    Dict* d = newDict();
    for (auto [k, v] : items) {
        dictSet(d, k, v);
        decref(k);
        decref(v);
    }
    return Value::of(TagDict, d);
}

RecordClass shapeClass = pointClass(false, true);

const Shape shapes[] = {
    {"list of lists",
     [] { return listOf({listOf({str("a"), Value::integer(1)}), listOf({}), Value::real(2.5)}); }},
    {"long list",
     [] {
         List* l = newList(0);
         for (int i = 0; i < 100; i++)
             listAppend(l, i % 2 ? str(std::to_string(i)) : Value::pint(i));
         return Value::of(TagList, l);
     }},
    {"dict of str keys",
     [] { return dictOf({{str("k1"), listOf({str("v")})}, {str("k2"), tupleOf({str("w")})}}); }},
    {"dict grown past 8",
     [] {
         Dict* d = newDict();
         for (int i = 0; i < 50; i++) {
             Value k = str("key" + std::to_string(i)), v = listOf({Value::integer(i)});
             dictSet(d, k, v);
             decref(k);
             decref(v);
         }
         return Value::of(TagDict, d);
     }},
    {"tuple holding a list and a big int",
     [] {
         Value big;
         intValue(i128(1) << 90, &big);
         return tupleOf({listOf({str("x")}), big, Value::none()});
     }},
    {"record",
     [] {
         Record* r = newRecord(&shapeClass);
         r->fields()[0] = str("field");
         r->fields()[1] = dictOf({{Value::integer(1), str("one")}});
         return Value::of(TagRecord, r);
     }},
    {"function with frames",
     [] {
         Frame* outer = newFrame(nullptr, 1);
         outer->slots()[0] = listOf({str("captured")});
         Frame* inner = newFrame(outer, 2);
         releaseCaptured(&outer->h);
         Str* name = newStr("f", 1);
         Function* f = newFunction(nullptr, inner, 0, name, 0, 0);
         releaseCaptured(&inner->h);
         decref(Value::of(TagStr, name));
         return Value::of(TagFunction, f);
     }},
    {"closure",
     [] {
         Frame* frame = newFrame(nullptr, 1);
         frame->slots()[0] = str("x");
         Closure* c = newClosure(&frame->h, nullptr, 0, nullptr);
         releaseCaptured(&frame->h);
         return Value::of(TagClosure, c);
     }},
    {"exception with a cause",
     [] {
         Value args = tupleOf({str("boom")}), msg = str("boom");
         Exc* e = newExc(24, args, Value::none(), msg, 3);
         decref(args);
         decref(msg);
         Value causeArgs = tupleOf({});
         Exc* cause = newExc(5, causeArgs, Value::none(), Value::none(), 1);
         decref(causeArgs);
         e->cause = Value::of(TagExc, cause);  // the exception takes over this reference
         return Value::of(TagExc, e);
     }},
    {"non-ASCII str with its offset index",
     [] {
         std::string text;
         for (int i = 0; i < 300; i++) text += "é";
         Value v = str(text);
         charOffset(v.as<Str>(), 250);
         return v;
     }},
};

class Nested : public ::testing::TestWithParam<Shape> {};

TEST_P(Nested, BuildingAndFreeingReturnsTheBlockCountToItsStart) {
    int64_t start = pool::liveBlocks();
    Value v = GetParam().make();
    EXPECT_GT(pool::liveBlocks(), start);
    decref(v);
    EXPECT_EQ(pool::liveBlocks(), start);
}

INSTANTIATE_TEST_SUITE_P(Values, Nested, ::testing::ValuesIn(shapes),
                         caseName<Shape>);

TEST_F(Blocks, AFrameReleasesItsSlotsBeforeItsParent) {
    // Slot values and the parent are released in that order: watch it through a proxy
    // registry that records which blocks reached zero.
    needPython();
    static std::vector<Obj*> order;
    order.clear();
    Services saved = services;
    services.proxyReleased = [](Obj* o) {
        order.push_back(o);
        o->flags &= ~FlagProxy;
        return true;
    };
    Frame* parent = newFrame(nullptr, 0);
    parent->h.flags |= FlagProxy;  // never for real frames; here only to observe
    Frame* f = newFrame(parent, 2);
    releaseCaptured(&parent->h);
    Value a = str("a"), b = str("b");
    a.as<Str>()->h.flags |= FlagProxy;
    b.as<Str>()->h.flags |= FlagProxy;
    f->slots()[0] = a;
    f->slots()[1] = b;
    releaseCaptured(&f->h);
    services = saved;
    // Strs pass through the registry; the parent frame (a captured block) never does.
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], &a.as<Str>()->h);
    EXPECT_EQ(order[1], &b.as<Str>()->h);
    endRun(gil::current());
}

TEST_F(Blocks, AProxyHoldingTheBlockKeepsItAliveAndReadable) {
    needPython();
    static Obj* kept = nullptr;
    Services saved = services;
    services.proxyReleased = [](Obj* o) {
        kept = o;
        return false;  // the proxy owns it now
    };
    List* l = newList(0);
    listAppend(l, str("still here"));
    l->h.flags |= FlagProxy;
    decref(Value::of(TagList, l));
    services = saved;
    ASSERT_EQ(kept, &l->h);
    EXPECT_EQ(l->h.count, 0u);
    EXPECT_EQ(l->items[0].as<Str>()->text(), "still here");
    // The proxy's own release frees it later.
    l->h.flags &= ~FlagProxy;
    wn_free(TagList, int64_t(uintptr_t(l)));
    endRun(gil::current());
}

TEST_F(Blocks, ABlockCountedAgainByPythonDuringAFreeStaysAlive) {
    // Releasing a list's first item runs Python (here: its proxy's release) that takes a new
    // reference to the list's second item through that item's proxy. The second item must then
    // survive the list, with its count intact.
    needPython();
    static Str* revived = nullptr;
    Services saved = services;
    services.proxyReleased = [](Obj* o) {
        if (o != &revived->h) incref(Value::of(TagStr, revived));
        o->flags &= ~FlagProxy;
        return true;
    };
    Value first = str("first"), second = str("second");
    revived = second.as<Str>();
    first.as<Str>()->h.flags |= FlagProxy;
    revived->h.flags |= FlagProxy;
    Value l = listOf({first, second});
    decref(l);
    EXPECT_EQ(revived->h.count, 1u);
    EXPECT_EQ(revived->text(), "second");
    decref(second);
    services = saved;
    endRun(gil::current());
}

TEST_F(Blocks, WithoutAProxyRegistryAProxyFlagIsClearedAndTheBlockFreed) {
    // The proxy layer linked into this program installs its registry when it starts: take it
    // away for this test.
    auto released = services.proxyReleased;
    services.proxyReleased = nullptr;
    Tuple* t = newTuple(1);
    t->h.flags |= FlagProxy;
    decref(Value::of(TagTuple, t));
    services.proxyReleased = released;
}

// ---- Lists --------------------------------------------------------------------------------------

struct SummaryCase {
    const char* name;
    std::vector<uint64_t> tags;
    uint32_t summary;
    friend void PrintTo(const SummaryCase& c, std::ostream* os) { *os << c.name; }
};

class ListSummary : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(ListSummary, NarrowsByTagAndTracksWhenEmpty) {
    List* l = newList(0);
    for (uint64_t tag : GetParam().tags)
        listAppend(
            l, tag == TagStr ? str("s") : Value{tag, tag == TagFloat ? 0x3ff0000000000000ull : 1});
    EXPECT_EQ(l->h.flags & SummaryAll, GetParam().summary);
    EXPECT_EQ(linkOf(&l->h)->next != nullptr, GetParam().summary == 0);
    decref(Value::of(TagList, l));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ListSummary,
    ::testing::Values(SummaryCase{"Empty", {}, SummaryAll},
                      SummaryCase{"IntInt", {TagInt, TagInt}, SummaryInt},
                      SummaryCase{"Pint", {TagPint}, SummaryPint},
                      SummaryCase{"Float", {TagFloat}, SummaryFloat},
                      SummaryCase{"IntFloat", {TagInt, TagFloat}, 0},
                      SummaryCase{"IntPint", {TagInt, TagPint}, 0},
                      SummaryCase{"FloatStr", {TagFloat, TagStr}, 0},
                      SummaryCase{"None", {TagNone}, 0}),
    caseName<SummaryCase>);

TEST_F(Blocks, AListGrowsPastItsInlineSlotsKeepingOrder) {
    List* l = newList(0);
    for (int i = 0; i < 100; i++) ASSERT_TRUE(listAppend(l, Value::integer(i)));
    EXPECT_TRUE(l->outOfLine());
    EXPECT_GE(l->capacity, 100u);
    for (int i = 0; i < 100; i++) EXPECT_EQ(int64_t(l->items[i].payload), i);
    decref(Value::of(TagList, l));
}

// ---- Dicts
// ---------------------------------------------------------------------------------------

// Deletes a key as the dict methods do: the entry keeps its place, marked deleted.
void deleteKey(Dict* d, uint64_t position) {
    DictEntry& e = d->entries[position];
    decref(e.key);
    decref(e.value);
    e.key.tag = TagDeleted;
    d->length--;
}

std::vector<int64_t> liveKeys(Dict* d) {
    std::vector<int64_t> keys;
    for (uint64_t i = 0; i < d->used; i++)
        if (d->entries[i].key.tag != TagDeleted) keys.push_back(int64_t(d->entries[i].key.payload));
    return keys;
}

TEST_F(Blocks, TheFirstInsertionMakesCapacityEight) {
    Dict* d = newDict();
    ASSERT_TRUE(dictSet(d, Value::integer(1), Value::integer(2)));
    EXPECT_EQ(d->capacity, 8u);
    EXPECT_EQ(d->length, 1u);
    Value got;
    ASSERT_TRUE(dictGet(d, Value::pint(1), &got));  // tags 2 and 18 are the same key
    EXPECT_EQ(got.payload, 2u);
    EXPECT_TRUE(dictGet(d, Value::real(1.0), &got));
    EXPECT_FALSE(dictGet(d, Value::integer(3), &got));
    decref(Value::of(TagDict, d));
}

// Sets a key to a new str, giving up the maker's reference.
bool setStr(Dict* d, Value key, std::string_view text) {
    Value v = str(text);
    bool done = dictSet(d, key, v);
    decref(v);
    return done;
}

TEST_F(Blocks, ADictFullOfUsedEntriesGrowsToSixteenKeepingInsertionOrder) {
    Dict* d = newDict();
    for (int i = 0; i < 8; i++) ASSERT_TRUE(setStr(d, Value::integer(i * 10), "v"));
    EXPECT_EQ(d->capacity, 8u);
    deleteKey(d, 2);
    deleteKey(d, 5);
    EXPECT_EQ(d->used, 8u);
    ASSERT_TRUE(setStr(d, Value::integer(99), "new"));
    EXPECT_EQ(d->capacity, 16u);
    EXPECT_EQ(d->length, 7u);
    EXPECT_EQ(d->used, 7u);
    EXPECT_EQ(liveKeys(d), (std::vector<int64_t>{0, 10, 30, 40, 60, 70, 99}));
    for (int64_t k : {0, 10, 30, 40, 60, 70, 99}) {
        Value got;
        EXPECT_TRUE(dictGet(d, Value::integer(k), &got)) << k;
    }
    Value got;
    EXPECT_FALSE(dictGet(d, Value::integer(20), &got));
    decref(Value::of(TagDict, d));
}

TEST_F(Blocks, SettingAnExistingKeyReplacesTheValueInPlace) {
    Dict* d = newDict();
    Value first = str("key"), again = str("key"), other = str("other");
    dictSet(d, first, Value::integer(1));
    dictSet(d, other, Value::integer(2));
    ASSERT_TRUE(dictSet(d, again, Value::integer(3)));
    EXPECT_EQ(d->length, 2u);
    EXPECT_EQ(d->entries[0].key.payload, first.payload);  // the key it already held
    EXPECT_EQ(d->entries[0].value.payload, 3u);
    EXPECT_EQ(again.as<Str>()->h.count, 1u);
    for (Value v : {first, again, other}) decref(v);
    decref(Value::of(TagDict, d));
}

TEST_F(Blocks, DeletingAKeyMarksItsEntryAndKeepsTheOthersInOrder) {
    Dict* d = newDict();
    Value a = str("a"), b = str("b"), c = str("c"), absent = str("z");
    for (Value k : {a, b, c}) ASSERT_TRUE(dictSet(d, k, str("v")));
    for (uint64_t i = 0; i < 3; i++) decref(d->entries[i].value);  // the dict's are the only
    Value lookupB = str("b");
    ASSERT_TRUE(dictDelete(d, lookupB));
    EXPECT_FALSE(dictDelete(d, lookupB));
    EXPECT_FALSE(dictDelete(d, absent));
    EXPECT_EQ(d->length, 2u);
    EXPECT_EQ(d->used, 3u);
    EXPECT_EQ(d->entries[1].key.tag, TagDeleted);
    EXPECT_EQ(d->entries[1].key.payload, 0u);
    EXPECT_EQ(d->entries[1].value.tag, 0u);
    EXPECT_EQ(b.as<Str>()->h.count, 1u);  // the dict's reference to the key is gone
    Value got;
    EXPECT_FALSE(dictGet(d, lookupB, &got));
    EXPECT_TRUE(dictGet(d, c, &got));
    // A key set again after its deletion goes to the end.
    ASSERT_TRUE(dictSet(d, lookupB, Value::integer(7)));
    EXPECT_EQ(d->entries[3].key.payload, lookupB.payload);
    for (Value v : {a, b, c, absent, lookupB}) decref(v);
    decref(Value::of(TagDict, d));
}

TEST_F(Blocks, AnImmortalListOrDictRefusesEveryNativeChange) {
    List* l = newList(0);
    ASSERT_TRUE(listAppend(l, Value::integer(1)));
    Dict* d = newDict();
    Value key = str("k");
    ASSERT_TRUE(dictSet(d, key, Value::integer(1)));
    makeImmortal(&l->h);
    makeImmortal(&d->h);
    EXPECT_FALSE(listAppend(l, Value::integer(2)));
    EXPECT_FALSE(listInsert(l, 0, Value::integer(2)));
    EXPECT_FALSE(dictSet(d, key, Value::integer(2)));
    EXPECT_FALSE(dictSet(d, Value::integer(5), Value::integer(2)));
    EXPECT_FALSE(dictDelete(d, key));
    EXPECT_EQ(l->count, 1u);
    EXPECT_EQ(d->length, 1u);
    Value got;
    ASSERT_TRUE(dictGet(d, key, &got));
    EXPECT_EQ(got.payload, 1u);
    EXPECT_NE(std::string(readOnlyText(TagList)).find("can't be changed"), std::string::npos);
    // Thawed, so that the test leaves no block behind.
    l->h.count = 1;
    d->h.count = 1;
    decref(Value::of(TagList, l));
    decref(Value::of(TagDict, d));
    decref(key);
}

TEST_F(Blocks, InsertingMovesTheLaterItemsUpAndGrowsOnce) {
    List* l = newList(0);
    for (int64_t i = 0; i < 4; i++) ASSERT_TRUE(listAppend(l, Value::integer(i)));
    ASSERT_TRUE(listReserve(l, 20));
    EXPECT_EQ(l->capacity, 20u);
    ASSERT_TRUE(listInsert(l, 1, Value::real(0.5)));
    ASSERT_TRUE(listInsert(l, 5, Value::integer(9)));
    EXPECT_FALSE(listInsert(l, 7, Value::integer(9)));  // past the end
    std::vector<uint64_t> tags;
    for (uint64_t i = 0; i < l->count; i++) tags.push_back(l->items[i].tag);
    EXPECT_EQ(tags, (std::vector<uint64_t>{TagInt, TagFloat, TagInt, TagInt, TagInt, TagInt}));
    EXPECT_EQ(l->h.flags & SummaryAll, 0u);  // an int and a float: no summary left
    Value taken = listTake(l, 1);
    EXPECT_EQ(taken.tag, TagFloat);
    EXPECT_EQ(l->count, 5u);
    EXPECT_EQ(l->items[4].payload, 9u);
    decref(Value::of(TagList, l));
}

// "k<i>". Built by appending: GCC 12 warns falsely (-Wrestrict) about an overlapping copy
// inside "k" + std::to_string(i) once it is inlined here.
std::string numberedKey(int i) {
    std::string key = "k";
    key += std::to_string(i);
    return key;
}

TEST_F(Blocks, ManyKeysStayFindableAndOrdered) {
    Dict* d = newDict();
    for (int i = 0; i < 1000; i++) {
        Value k = str(numberedKey(i));
        ASSERT_TRUE(dictSet(d, k, Value::integer(i)));
        decref(k);
    }
    EXPECT_EQ(d->length, 1000u);
    for (int i = 0; i < 1000; i += 37) {
        Value k = str(numberedKey(i)), got;
        ASSERT_TRUE(dictGet(d, k, &got));
        EXPECT_EQ(int64_t(got.payload), i);
        EXPECT_EQ(d->entries[i].key.as<Str>()->text(), k.as<Str>()->text());
        decref(k);
    }
    decref(Value::of(TagDict, d));
}

// ---- Strs
// ----------------------------------------------------------------------------------------

struct TextCase {
    const char* name;
    std::string bytes;
    uint64_t chars;
    friend void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }
};

class CodePoints : public ::testing::TestWithParam<TextCase> {};

TEST_P(CodePoints, AreCountedOrTheByteLengthWhenNotUtf8) {
    Str* s = newStr(GetParam().bytes.data(), GetParam().bytes.size());
    EXPECT_EQ(s->chars, GetParam().chars);
    decref(Value::of(TagStr, s));
}

INSTANTIATE_TEST_SUITE_P(Values, CodePoints,
                         ::testing::Values(TextCase{"Empty", "", 0},
                                           TextCase{"Ascii", "plain ascii text, longer than 8", 31},
                                           TextCase{"TwoByte", "h\xc3\xa9llo", 5},
                                           TextCase{"ThreeByte", "\xe2\x82\xac", 1},
                                           TextCase{"FourByte", "abcdefgh\xf0\x9f\x98\x80xyz", 12},
                                           TextCase{"InvalidLead", "\xff", 1},
                                           TextCase{"RunsPastTheEnd", "ab\xc3", 3},
                                           TextCase{"BadContinuation", "\xc3\x28xx", 4},
                                           TextCase{"Overlong", "\xc0\xafz", 3},
                                           TextCase{"Surrogate", "\xed\xa0\x80", 3},
                                           TextCase{"AboveMax", "\xf4\x90\x80\x80", 4}),
                         caseName<TextCase>);

TEST_F(Blocks, CharOffsetsWalkFromTheIndexOfEvery64thCodePoint) {
    std::string text;
    std::vector<size_t> offsets;
    const char* pieces[] = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    for (int i = 0; i < 500; i++) {
        offsets.push_back(text.size());
        text += pieces[i % 4];
    }
    offsets.push_back(text.size());
    Str* s = newStr(text.data(), text.size());
    ASSERT_EQ(s->chars, 500u);
    for (uint64_t cp : {0, 1, 63, 64, 65, 200, 499, 500})
        EXPECT_EQ(charOffset(s, cp), offsets[cp]) << cp;
    EXPECT_NE(s->index, nullptr);
    Str* ascii = newStr("abcdef", 6);
    EXPECT_EQ(charOffset(ascii, 4), 4u);
    EXPECT_EQ(ascii->index, nullptr);
    decref(Value::of(TagStr, s));
    decref(Value::of(TagStr, ascii));
}

TEST(Literals, TheSameTextGivesTheSameImmortalBlock) {
    Str* a = literal("interned", 8);
    Str* b = literal("interned", 8);
    Str* c = literal("interned!", 9);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GE(a->h.count, kImmortal);
    Value same = str("interned");
    EXPECT_EQ(a->hash, hashOf(same));  // carried from birth, as computed later
    decref(same);
    Big* x = bigLiteral(i128(1) << 80);
    EXPECT_EQ(x, bigLiteral(i128(1) << 80));
    EXPECT_GE(x->h.count, kImmortal);
    // Many literals: the table grows and keeps them all.
    std::vector<Str*> many;
    for (int i = 0; i < 500; i++)
        many.push_back(literal(("lit" + std::to_string(i)).data(), 3 + std::to_string(i).size()));
    for (int i = 0; i < 500; i++)
        EXPECT_EQ(literal(("lit" + std::to_string(i)).data(), 3 + std::to_string(i).size()),
                  many[i]);
}

TEST(Literals, ThreadsInterningTheSameTextsAgree) {
    std::vector<Str*> seen[4];
    std::vector<std::thread> threads;
    for (auto& out : seen)
        threads.emplace_back([&out] {
            for (int i = 0; i < 200; i++)
                out.push_back(
                    literal(("shared" + std::to_string(i)).data(), 6 + std::to_string(i).size()));
        });
    for (auto& t : threads) t.join();
    for (int i = 1; i < 4; i++) EXPECT_EQ(seen[i], seen[0]);
}

// ---- Ints and text
// -------------------------------------------------------------------------------

TEST_F(Blocks, IntValueGivesPlainIntsUntilTheyNeedABigBlock) {
    Value v;
    ASSERT_TRUE(intValue(INT64_MAX, &v));
    EXPECT_EQ(v.tag, TagPint);
    ASSERT_TRUE(intValue(i128(INT64_MIN), &v));
    EXPECT_EQ(v.tag, TagPint);
    ASSERT_TRUE(intValue(i128(INT64_MAX) + 1, &v));
    EXPECT_EQ(v.tag, TagBig);
    i128 back;
    ASSERT_TRUE(wide(v, &back));
    EXPECT_TRUE(back == i128(INT64_MAX) + 1);
    decref(v);
    EXPECT_TRUE(wide(Value::boolean(true), &back) && back == 1);
    Value s = str("1");
    for (Value no : {Value::real(1.0), s, Value::none()}) EXPECT_FALSE(wide(no, &back));
    decref(s);
}

TEST(Text, PrintWideWritesDecimal) {
    struct {
        i128 v;
        const char* text;
    } cases[] = {{0, "0"},
                 {7, "7"},
                 {-1, "-1"},
                 {100, "100"},
                 {INT64_MIN, "-9223372036854775808"},
                 {i128(UINT64_MAX) * 1000, "18446744073709551615000"},
                 {~(i128(1) << 127), "170141183460469231731687303715884105727"},
                 {i128(1) << 127, "-170141183460469231731687303715884105728"}};
    for (auto& c : cases) {
        char out[kWideDigits];
        EXPECT_EQ(std::string(out, printWide(out, c.v)), c.text);
    }
}

TEST_F(Blocks, TypeNamesAreTheNamesPythonShows) {
    RecordClass cls = pointClass(false, false);
    Record* r = newRecord(&cls);
    Value s = str("x");
    struct {
        Value v;
        const char* name;
    } cases[] = {{Value::none(), "NoneType"},
                 {Value::boolean(true), "bool"},
                 {Value::integer(1), "int"},
                 {Value::pint(1), "int"},
                 {Value::real(1.0), "float"},
                 {s, "str"},
                 {Value::of(TagRecord, r), "Point"},
                 {Value{TagNodeIndex, 3}, "Node"},
                 {Value{TagRuntime | (uint64_t(5) << 32), 0}, "CompiledRuntime"},
                 {Value{TagUnset, 0}, "object"}};
    for (auto& c : cases) EXPECT_EQ(typeName(c.v), c.name);
    decref(s);
    decref(Value::of(TagRecord, r));
}

// ---- Equality, hashing, truth
// --------------------------------------------------------------------

TEST_F(Blocks, EqualValuesHashAlikeAcrossTags) {
    Value big70, big5;
    ASSERT_TRUE(intValue(i128(1) << 70, &big70));
    Big* five = newBig(5);
    big5 = Value::of(TagBig, five);
    Value a = str("same"), b = str("same");
    std::pair<Value, Value> equalPairs[] = {{Value::boolean(true), Value::integer(1)},
                                            {Value::integer(1), Value::real(1.0)},
                                            {Value::pint(-3), Value::integer(-3)},
                                            {big70, Value::real(std::ldexp(1.0, 70))},
                                            {big5, Value::integer(5)},
                                            {Value::real(0.0), Value::real(-0.0)},
                                            {a, b},
                                            {Value::none(), Value::none()}};
    for (auto [x, y] : equalPairs) {
        EXPECT_TRUE(equal(x, y));
        EXPECT_TRUE(equal(y, x));
        EXPECT_EQ(hashOf(x), hashOf(y));
    }
    double nan = std::nan("");
    std::pair<Value, Value> unequal[] = {
        {Value::integer(INT64_MAX), Value::real(std::ldexp(1.0, 63))},
        {Value::real(nan), Value::real(nan)},
        {Value::integer(1), a},
        {Value::real(0.5), Value::integer(0)}};
    for (auto [x, y] : unequal) EXPECT_FALSE(equal(x, y));
    Value t1 = tupleOf({str("p"), Value::integer(1)}), t2 = tupleOf({str("p"), Value::real(1.0)});
    EXPECT_TRUE(equal(t1, t2));
    EXPECT_EQ(hashOf(t1), hashOf(t2));
    for (Value v : {big70, big5, a, b, t1, t2}) decref(v);
}

TEST_F(Blocks, ContainersCompareByContents) {
    needPython();  // comparing records hash through their fields as Python objects
    Value d1 = dictOf({{str("a"), Value::integer(1)}, {str("b"), listOf({Value::integer(2)})}});
    Value d2 = dictOf({{str("b"), listOf({Value::real(2.0)})}, {str("a"), Value::pint(1)}});
    Value d3 = dictOf({{str("a"), Value::integer(1)}, {str("b"), listOf({Value::integer(3)})}});
    EXPECT_TRUE(equal(d1, d2));
    EXPECT_FALSE(equal(d1, d3));
    RecordClass eqClass = pointClass(false, true), idClass = pointClass(false, false);
    Record *r1 = newRecord(&eqClass), *r2 = newRecord(&eqClass), *r3 = newRecord(&idClass),
           *r4 = newRecord(&idClass);
    EXPECT_TRUE(equal(Value::of(TagRecord, r1), Value::of(TagRecord, r2)));
    EXPECT_EQ(hashOf(Value::of(TagRecord, r1)), hashOf(Value::of(TagRecord, r2)));
    EXPECT_FALSE(equal(Value::of(TagRecord, r3), Value::of(TagRecord, r4)));
    for (Value v : {d1, d2, d3, Value::of(TagRecord, r1), Value::of(TagRecord, r2),
                    Value::of(TagRecord, r3), Value::of(TagRecord, r4)})
        decref(v);
    endRun(gil::current());
}

TEST_F(Blocks, TruthIsPythons) {
    Value empty = str(""), full = str("x");
    Bytes* none = newOwnedBytes(0);
    Bytes* one = newOwnedBytes(1);
    Value el = listOf({}), fl = listOf({Value::none()});
    struct {
        Value v;
        bool truth;
    } cases[] = {{Value::none(), false},
                 {Value::boolean(false), false},
                 {Value::integer(0), false},
                 {Value::pint(-1), true},
                 {Value::real(-0.0), false},
                 {Value::real(std::nan("")), true},
                 {empty, false},
                 {full, true},
                 {Value::of(TagBytes, none), false},
                 {Value::of(TagBytes, one), true},
                 {el, false},
                 {fl, true},
                 {Value{TagNodeIndex, 0}, true}};
    for (auto& c : cases) EXPECT_EQ(wn_truthy(int64_t(c.v.tag), int64_t(c.v.payload)), c.truth);
    for (Value v : {empty, full, Value::of(TagBytes, none), Value::of(TagBytes, one), el, fl})
        decref(v);
}

TEST(Python, ObjectsAreCountedAndJudgedUnderTheLock) {
    needPython();
    gil::Record* r = gil::enter();
    PyObject* empty = PyList_New(0);
    PyObject* full = Py_BuildValue("[i]", 1);
    gil::leave(r);
    Py_ssize_t before = Py_REFCNT(full);
    wn_incref(TagPy, int64_t(uintptr_t(full)));
    EXPECT_EQ(Py_REFCNT(full), before + 1);
    wn_decref(TagPy, int64_t(uintptr_t(full)));
    EXPECT_EQ(Py_REFCNT(full), before);
    EXPECT_FALSE(wn_truthy(TagPy, int64_t(uintptr_t(empty))));
    EXPECT_TRUE(wn_truthy(TagPy, int64_t(uintptr_t(full))));
    EXPECT_EQ(r->depth, 0u);
    r = gil::enter();
    Py_DECREF(empty);
    Py_DECREF(full);
    gil::leave(r);
    endRun(r);
}

TEST_F(Blocks, WnFailHandsTheTextToTheFailureRecord) {
    static std::string recorded;
    static int32_t site = 0;
    Services saved = services;
    Value msg = str("it broke");
    EXPECT_FALSE(wn_fail(nullptr, 3, msg.as<Str>()));  // no failure record yet: still false
    services.fail = [](void*, int32_t s, const uint8_t* text, size_t n) {
        recorded.assign(reinterpret_cast<const char*>(text), n);
        site = s;
        return true;
    };
    EXPECT_FALSE(wn_fail(nullptr, 7, msg.as<Str>()));
    services = saved;
    EXPECT_EQ(recorded, "it broke");
    EXPECT_EQ(site, 7);
    decref(msg);
}

// ---- Collector hooks
// -------------------------------------------------------------------------------

TEST_F(Blocks, TrackedBlocksCountAsYoungUntilACollectionIsDue) {
    gc::State* s = gc::threadRecord();
    std::vector<Value> made;
    // Fill the young generation; the 2001st constructor finds a collection due first.
    while (s->youngCount < gc::kYoungLimit) made.push_back(Value::of(TagTuple, newTuple(0)));
    made.push_back(Value::of(TagTuple, newTuple(0)));
    EXPECT_EQ(s->youngCount, 1);
    EXPECT_GE(gc::listLength(&s->old), uint64_t(gc::kYoungLimit));  // the survivors were promoted
    EXPECT_EQ(gc::listLength(&s->young), 1u);
    for (Value v : made) decref(v);
}

TEST_F(Blocks, ACollectionDropsImmortalBlocksFromTheLists) {
    gc::State* s = gc::threadRecord();
    Tuple* t = newTuple(0);
    makeImmortal(&t->h);
    gc::collect(s, false, false);
    EXPECT_EQ(linkOf(&t->h)->next, nullptr);
    start += 1;  // immortal: stays allocated
}

}  // namespace

}  // namespace wuna
