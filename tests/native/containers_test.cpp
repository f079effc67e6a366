// Frames, function values, calls and the tail-call slot; constructors of lists, tuples,
// dicts, records and sets; indexing, item assignment, iteration, unpacking and dict views -
// the helpers compiled code calls, each against the running interpreter where Python has an
// answer: the same value, or the same exception type and text. Every test ends with the
// thread's block count where it began.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/helper_outcomes.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/containers.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/functions.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna {

namespace {

using helpers::Ctx;
using testing_support::eval;
using testing_support::fromPython;
using testing_support::run;
using value::Value;

// The native value of a Python expression (one reference).
Value native(const char* expression) {
    PyObject* o = eval(expression);
    Value v = fromPython(o);
    Py_XDECREF(o);
    return v;
}
uint64_t countOf(Value v) { return v.as<value::Obj>()->count; }

using testing_support::pyRepr;
using testing_support::pyStr;

// A stand-in for the proxies, which this test binary has not: a Python list or dict copied
// from the native one, so that results can be compared and the Python paths' answers (their
// exceptions) are the interpreter's own list's and dict's.
PyObject* copyProxy(Value v, const helpers::ConversionContext* cx) {
    if (v.tag == value::TagList) {
        auto* l = v.as<value::List>();
        PyObject* copy = PyList_New(Py_ssize_t(l->count));
        for (uint64_t i = 0; copy && i < l->count; i++)
            PyList_SET_ITEM(copy, Py_ssize_t(i), convert::toPython(l->items[i], cx));
        return copy;
    }
    if (v.tag == value::TagDict) {
        auto* d = v.as<value::Dict>();
        PyObject* copy = PyDict_New();
        for (uint64_t i = 0; copy && i < d->used; i++) {
            if (d->entries[i].key.tag == value::TagDeleted) continue;
            PyObject* key = convert::toPython(d->entries[i].key, cx);
            PyObject* item = convert::toPython(d->entries[i].value, cx);
            PyDict_SetItem(copy, key, item);
            Py_DECREF(key);
            Py_DECREF(item);
        }
        return copy;
    }
    PyErr_SetString(PyExc_TypeError, "no proxy in this test");
    return nullptr;
}

class Helpers : public testing_support::WithPython {
protected:
    void SetUp() override {
        // Start-up makes the shared one-character strs for good; so does this, before the
        // block count is taken.
        for (int c = 0; c < helpers::kAsciiChars; c++) {
            if (helpers::ascii_chars[c]) continue;
            char one = char(c);
            helpers::ascii_chars[c] = value::newStr(&one, 1);
            value::makeImmortal(&helpers::ascii_chars[c]->h);
        }
        WithPython::SetUp();
        savedProxy = convert::hooks.makeProxy;
        convert::hooks.makeProxy = copyProxy;
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
        run("def get(c, k):\n    return c[k]\n"
            "def put(c, k, v):\n    c[k] = v\n"
            "def unpack_into(x, n):\n"
            "    exec(('() = x' if n == 0 else ', '.join('a%d' % i for i in range(n)) + ', = x'),"
            " {'x': x})\n");
    }
    void TearDown() override {
        convert::hooks.makeProxy = savedProxy;
        helpers::endCtx(&ctx);
        WithPython::TearDown();
    }

    std::string message() {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }

    PyObject* failureObject() { return testing_support::failureObject(&ctx); }

    // Expects the recorded failure to be an exception of the type and text Python raised for
    // a call of fn(*args); clears both.
    void expectPythonFailure(const std::string& shown, PyObject* fn, PyObject* args) {
        PyObject* expected = PyObject_Call(fn, args, nullptr);
        ASSERT_EQ(expected, nullptr) << shown << ": Python gave " << pyRepr(expected);
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        testing_support::expectFailureLike(&ctx, shown, type, value);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        helpers::clearError(&ctx);
    }

    void expectSame(const std::string& shown, bool ok, Value out, PyObject* fn, PyObject* args) {
        testing_support::expectSameOutcome(&ctx, shown, ok, out, fn, args);
    }

    PyObject* function(const char* name) {
        PyObject* f = eval(name);
        Py_XDECREF(f);  // the namespace keeps it
        return f;
    }

    Ctx ctx{};
    decltype(convert::hooks.makeProxy) savedProxy = nullptr;
};

Value pyValue(PyObject* o) {
    Py_INCREF(o);
    return Value::of(value::TagPy, o);
}

// The value of a container written as "py:<expression>" (kept a Python object), a dict
// display (a native dict of its entries) or any other expression (fromPython); *object is
// the Python object (new reference).
Value containerValue(const char* text, PyObject** object) {
    bool keepPython = std::string(text).rfind("py:", 0) == 0;
    PyObject* o = eval(keepPython ? text + 3 : text);
    *object = o;
    if (keepPython) return pyValue(o);
    if (!PyDict_CheckExact(o)) return fromPython(o);
    value::Dict* d = value::newDict();
    PyObject *key, *item;
    Py_ssize_t at = 0;
    while (PyDict_Next(o, &at, &key, &item)) {
        Value kv = fromPython(key), iv = fromPython(item);
        EXPECT_TRUE(value::dictSet(d, kv, iv));
        value::decref(kv);
        value::decref(iv);
    }
    return Value::of(value::TagDict, d);
}

// ---- Frames -----------------------------------------------------------------------------------

TEST_F(Helpers, AFrameWithoutSlotsOrParentIsAnEmptyBlock) {
    auto* f = static_cast<value::Frame*>(wn_frame_new(nullptr, 0));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->h.count, 1u);
    EXPECT_EQ(f->h.kind, value::KindFrame);
    EXPECT_EQ(f->h.flags, 0u);
    EXPECT_EQ(f->parent, nullptr);
    EXPECT_EQ(f->count, 0u);
    wn_frame_release(f);
}

TEST_F(Helpers, FramesOfEverySizeStartUnsetAndReleaseParentAndSetSlotsOnce) {
    for (int64_t n : {1, 4, 29, 30, 100}) {
        auto* parent = static_cast<value::Frame*>(wn_frame_new(nullptr, 1));
        auto* f = static_cast<value::Frame*>(wn_frame_new(parent, n));
        ASSERT_NE(f, nullptr) << n;
        EXPECT_EQ(parent->h.count, 2u) << "the child holds its parent";
        for (int64_t i = 0; i < n; i++) EXPECT_EQ(f->slots()[i].tag, value::TagUnset) << n;
        Value held = native("'held'");
        value::Str* s = held.as<value::Str>();
        value::incref(held);
        f->slots()[n - 1] = held;
        wn_frame_release(parent);
        EXPECT_EQ(parent->h.count, 1u);
        EXPECT_EQ(s->h.count, 2u);
        wn_frame_release(f);
        EXPECT_EQ(s->h.count, 1u) << "the set slot released once, unset ones skipped";
        value::decref(held);
    }
}

TEST_F(Helpers, ImmortalFramesAreUntouchedByRelease) {
    auto* f = static_cast<value::Frame*>(wn_frame_new(nullptr, 2));
    value::makeImmortal(&f->h);
    wn_frame_release(f);
    EXPECT_EQ(f->h.count, value::kImmortal);
    f->h.count = 1;
    wn_frame_release(f);
}

TEST_F(Helpers, FrameOfWalksTheScopeTableToTheTarget) {
    // Scopes 0 <- 1 <- 2 <- 3 (3's parent is 2, ...); 5 has no parent.
    const uint64_t parents[] = {0xFFFFFFFF, 0, 1, 2, 0xFFFFFFFF, 0xFFFFFFFF};
    auto* f0 = static_cast<value::Frame*>(wn_frame_new(nullptr, 0));
    auto* f1 = static_cast<value::Frame*>(wn_frame_new(f0, 0));
    auto* f2 = static_cast<value::Frame*>(wn_frame_new(f1, 0));
    auto* f3 = static_cast<value::Frame*>(wn_frame_new(f2, 0));
    struct Case {
        value::Frame* from;
        int32_t scope, target;
        value::Frame* expected;
    } cases[] = {
        {f3, 3, 3, f3},  {f3, -1, 0, f3},  // the same scope, or none: the frame itself
        {f3, 3, 2, f2},  {f3, 3, 1, f1},  {f3, 3, 0, f0},
        {f3, 3, 7, f0},                    // the table ends before the target
        {f1, 1, 9, f0},  {f0, 0, 3, f0},   // a frame without a parent stops the walk
    };
    for (const Case& k : cases)
        EXPECT_EQ(wn_frame_of(k.from, k.scope, k.target, const_cast<uint64_t*>(parents)),
                  k.expected)
            << k.scope << " to " << k.target;
    for (auto* f : {f3, f2, f1, f0}) wn_frame_release(f);
}

TEST_F(Helpers, AnUnsetVariableFailsWithItsNameAndTheFirstFailureWins) {
    Value name = native("'x'");
    EXPECT_FALSE(wn_unset(&ctx, 7, name.as<value::Str>()));
    EXPECT_EQ(message(), "'x' has no value yet");
    EXPECT_EQ(ctx.site, 7);
    EXPECT_FALSE(ctx.kindSet);
    Value other = native("'y'");
    EXPECT_FALSE(wn_unset(&ctx, 8, other.as<value::Str>()));
    EXPECT_EQ(message(), "'x' has no value yet");
    helpers::clearError(&ctx);
    value::decref(name);
    value::decref(other);
}

// ---- Function values ----------------------------------------------------------------------------

TEST_F(Helpers, FunctionValuesHoldTheirFrameAndNameUntilReleased) {
    auto* frame = static_cast<value::Frame*>(wn_frame_new(nullptr, 1));
    Value name = native("'f'");
    ctx.moduleId = 77;
    Value out{};
    int dummy = 0;
    ASSERT_TRUE(wn_function(&ctx, &dummy, frame, 12, name.as<value::Str>(), 2 | (1 << 16), &out));
    ASSERT_EQ(out.tag, value::TagFunction);
    auto* f = out.as<value::Function>();
    EXPECT_EQ(f->h.flags, 2u | (1u << 16));
    EXPECT_EQ(f->code, &dummy);
    EXPECT_EQ(f->frame, frame);
    EXPECT_EQ(f->index, 12u);
    EXPECT_EQ(f->name, name.as<value::Str>());
    EXPECT_EQ(f->module, 77u);
    EXPECT_EQ(frame->h.count, 2u);
    EXPECT_EQ(countOf(name), 2u);
    Value closure{};
    ASSERT_TRUE(wn_closure(&ctx, 3, 1234, frame, &dummy, &closure));
    ASSERT_EQ(closure.tag, value::TagClosure);
    EXPECT_EQ(closure.as<value::Closure>()->descriptor, reinterpret_cast<const void*>(1234));
    EXPECT_EQ(closure.as<value::Closure>()->module, 77u);
    EXPECT_EQ(frame->h.count, 3u);
    value::decref(out);
    value::decref(closure);
    EXPECT_EQ(frame->h.count, 1u);
    EXPECT_EQ(countOf(name), 1u);
    wn_frame_release(frame);
    value::decref(name);
}

TEST_F(Helpers, VarargsAreATupleOfCheckedIntsOrTheSharedEmptyTuple) {
    Value args[] = {Value::pint(1), Value::pint(2), native("'s'")};
    Value out{};
    ASSERT_TRUE(wn_varargs(&ctx, 1, args, 3, 1, &out));
    ASSERT_EQ(out.tag, value::TagTuple);
    auto* t = out.as<value::Tuple>();
    ASSERT_EQ(t->count, 2u);
    EXPECT_EQ(t->items()[0].tag, value::TagInt) << "an extra int is a checked int";
    EXPECT_EQ(t->items()[0].payload, 2u);
    EXPECT_EQ(t->items()[1].tag, value::TagStr);
    EXPECT_EQ(countOf(args[2]), 2u);
    value::decref(out);
    Value empty1{}, empty2{};
    // Made on first need when start-up has not made it, and kept for the process.
    if (!helpers::empty_tuple) start++;
    ASSERT_TRUE(wn_varargs(&ctx, 1, args, 3, 3, &empty1));
    ASSERT_TRUE(wn_varargs(&ctx, 1, args, 0, 0, &empty2));
    EXPECT_EQ(empty1.payload, empty2.payload) << "one empty tuple for every call";
    EXPECT_GE(countOf(empty1), value::kImmortal);
    value::decref(args[2]);
}

TEST_F(Helpers, BuryingDropsAValueParksAMarkedFunctionAndIgnoresUnset) {
    wn_bury(&ctx, int64_t(value::TagUnset), 0);
    Value list = native("[1]");
    value::incref(list);
    wn_bury(&ctx, int64_t(list.tag), int64_t(list.payload));
    EXPECT_EQ(countOf(list), 1u);
    value::decref(list);
    Value name = native("'g'");
    Value f{};
    ASSERT_TRUE(wn_function(&ctx, nullptr, nullptr, 1, name.as<value::Str>(), value::FlagBury, &f));
    wn_bury(&ctx, int64_t(f.tag), int64_t(f.payload));
    ASSERT_EQ(ctx.releases.count, 1u) << "kept until the run ends";
    EXPECT_EQ(countOf(f), 1u);
    value::decref(name);
}

TEST_F(Helpers, ModuleObjectsAreLoadedWithANewReference) {
    // Not a builtin: those are immortal from 3.12 and keep their count.
    PyObject* objects[] = {eval("len"), eval("[1]")};
    PyObject** table = objects;
    ctx.moduleObjects = &table;
    Py_ssize_t before = Py_REFCNT(objects[1]);
    Value out{};
    wn_object(&ctx, 1, &out);
    EXPECT_EQ(out.tag, value::TagPy);
    EXPECT_EQ(out.as<PyObject>(), objects[1]);
    EXPECT_EQ(Py_REFCNT(objects[1]), before + 1);
    value::decref(out);
    for (PyObject* o : objects) Py_DECREF(o);
}

// ---- Calls --------------------------------------------------------------------------------------

TEST_F(Helpers, PlainCallsOfPythonCalleesGiveTheirResultOrTheirException) {
    run("def add(a, b):\n    return a + b\n"
        "def kind(a):\n    return type(a).__name__\n"
        "def boom(a):\n    raise ValueError('bad ' + str(a))\n");
    Value args[] = {Value::pint(40), Value::pint(2)};
    Value out{};
    Value add = pyValue(function("add"));
    ASSERT_TRUE(wn_call_plain(&ctx, 1, int64_t(add.tag), int64_t(add.payload), args, 2, nullptr, &out));
    EXPECT_EQ(out.tag, value::TagPint) << "a plain call keeps plain ints";
    EXPECT_EQ(out.payload, 42u);
    Value boom = pyValue(function("boom"));
    EXPECT_FALSE(wn_call_plain(&ctx, 1, int64_t(boom.tag), int64_t(boom.payload), args, 1, nullptr, &out));
    PyObject* error = failureObject();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(pyRepr(error), "ValueError('bad 40')");
    Py_DECREF(error);
    helpers::clearError(&ctx);
    // A receiver goes first.
    Value receiver = Value::pint(1);
    ASSERT_TRUE(wn_call_plain(&ctx, 1, int64_t(add.tag), int64_t(add.payload), args, 1, &receiver, &out));
    EXPECT_EQ(out.payload, 41u);
    // Something that is not callable is refused as the reference mode refuses it.
    Value notCallable = Value::pint(3);
    EXPECT_FALSE(wn_call_plain(&ctx, 1, int64_t(notCallable.tag), 3, args, 0, nullptr, &out));
    EXPECT_EQ(message(), "'int' value is not callable");
    EXPECT_EQ(ctx.plainCall, 0) << "the flag lasts one call";
    helpers::clearError(&ctx);
    value::decref(add);
    value::decref(boom);
}

TEST_F(Helpers, HostCallsTakeCheckedIntsAndNameTheHostInTheirFailure) {
    run("def kind(a):\n    return type(a).__name__\n"
        "def twice(a):\n    return int(a) * 2\n"
        "def boom(a):\n    raise KeyError('k')\n");
    PyObject* objects[] = {function("kind"), function("twice"), function("boom")};
    PyObject** table = objects;
    ctx.moduleObjects = &table;
    Value args[] = {Value::pint(5)};
    Value out{};
    ASSERT_TRUE(wn_call_site(&ctx, 1, nullptr, 0, args, 1, &out));
    PyObject* kind = convert::toPython(out, &ctx.conversion);
    EXPECT_EQ(pyStr(kind), "int");
    Py_DECREF(kind);
    value::decref(out);
    ASSERT_TRUE(wn_call_site(&ctx, 1, nullptr, 1, args, 1, &out));
    EXPECT_EQ(out.tag, value::TagInt) << "a host's plain int result is a checked int";
    EXPECT_EQ(out.payload, 10u);
    EXPECT_FALSE(wn_call_site(&ctx, 4, nullptr, 2, args, 1, &out));
    EXPECT_EQ(message(), "boom: KeyError: 'k'");
    EXPECT_EQ(ctx.site, 4);
    helpers::clearError(&ctx);
}

TEST_F(Helpers, HostFailuresAreRewordedForTheHostAndLoseTheirKind) {
    PyObject* objects[] = {function("len")};
    PyObject** table = objects;
    ctx.moduleObjects = &table;
    static constexpr char text[] = "list index out of range";
    helpers::failKind(&ctx, 3, errors::Kind::IndexError, text, sizeof text - 1);
    EXPECT_FALSE(wn_host_failed(&ctx, 3, 0));
    EXPECT_EQ(message(), "len: IndexError: list index out of range");
    EXPECT_EQ(errors::Kind(ctx.kind), errors::Kind::Error);
    helpers::clearError(&ctx);
    EXPECT_FALSE(wn_host_jump(&ctx, 2));
    EXPECT_EQ(message(),
              "rt.Return, rt.Break or rt.Continue raised out of a function called with rt.call");
    helpers::clearError(&ctx);
}

// ---- The tail-call slot --------------------------------------------------------------------------

TEST_F(Helpers, TheTailSlotMovesReferencesAndLeavesCountsAsTheyWere) {
    Value callee = native("'callee'");
    Value args = native("(1, 2)");
    Value receiver = native("[3]");
    helpers::TakenCall taken{};
    wn_tail_take(&ctx, &taken);
    EXPECT_EQ(taken.callee.tag, value::TagNone) << "an empty slot";
    EXPECT_EQ(taken.args.tag, value::TagNone);
    EXPECT_EQ(taken.receiver.tag, value::TagTail);
    for (bool withReceiver : {false, true}) {
        wn_tail_set(&ctx, int64_t(callee.tag), int64_t(callee.payload), int64_t(args.tag),
                    int64_t(args.payload), withReceiver ? &receiver : nullptr);
        EXPECT_EQ(countOf(callee), 2u);
        EXPECT_EQ(countOf(args), 2u);
        EXPECT_EQ(countOf(receiver), withReceiver ? 2u : 1u);
        wn_tail_take(&ctx, &taken);
        EXPECT_EQ(taken.receiver.tag, withReceiver ? value::TagList : value::TagTail);
        EXPECT_EQ(ctx.tailCallee.tag, value::TagNone) << "the slot is zeroed";
        EXPECT_EQ(countOf(callee), 2u) << "references move with the values";
        wn_tail_put(&ctx, &taken);
        EXPECT_EQ(ctx.tailHasReceiver, withReceiver ? 1 : 0);
        wn_tail_clear(&ctx);
        EXPECT_EQ(countOf(callee), 1u);
        EXPECT_EQ(countOf(args), 1u);
        EXPECT_EQ(countOf(receiver), 1u);
        EXPECT_EQ(ctx.tailCallee.tag, value::TagNone);
    }
    value::decref(callee);
    value::decref(args);
    value::decref(receiver);
}

TEST_F(Helpers, APendingTailCallIsRunAndItsArgumentsMustBeAListOrTuple) {
    run("def add(a, b):\n    return a + b\n");
    Value add = pyValue(function("add"));
    Value args = native("(40, 2)");
    wn_tail_set(&ctx, int64_t(add.tag), int64_t(add.payload), int64_t(args.tag), int64_t(args.payload), nullptr);
    Value result{value::TagTail, 0};
    ASSERT_TRUE(wn_tail_resolve(&ctx, 1, &result));
    EXPECT_EQ(result.tag, value::TagInt);
    EXPECT_EQ(result.payload, 42u);
    EXPECT_EQ(countOf(args), 1u) << "the slot's references were released";
    Value notArgs = Value::pint(1);
    wn_tail_set(&ctx, int64_t(add.tag), int64_t(add.payload), int64_t(notArgs.tag), 1, nullptr);
    result = Value{value::TagTail, 0};
    EXPECT_FALSE(wn_tail_resolve(&ctx, 1, &result));
    EXPECT_EQ(message(), "rt.tail_call's arguments must be a list or a tuple");
    EXPECT_EQ(ctx.tailCallee.tag, value::TagNone);
    helpers::clearError(&ctx);
    value::decref(args);
    value::decref(add);
}

// ---- Constructors ------------------------------------------------------------------------------

TEST_F(Helpers, ListsAndTuplesTakeOverTheirValuesAndNarrowTheListSummary) {
    struct Case {
        const char* values;
        uint32_t summary;
        bool tracked;
    } cases[] = {
        {"[]", value::SummaryAll, false},
        {"[1, 2]", value::SummaryPint, false},
        {"[1.5, 2.0]", value::SummaryFloat, false},
        {"[1, 2.0]", 0, true},
        {"[1, 'a']", 0, true},
    };
    for (const Case& k : cases) {
        PyObject* items = eval(k.values);
        std::vector<Value> values = testing_support::itemsOf(items);
        Py_DECREF(items);
        Value out{};
        ASSERT_TRUE(wn_list(&ctx, 1, values.data(), int64_t(values.size()), &out)) << k.values;
        auto* l = out.as<value::List>();
        EXPECT_EQ(l->count, values.size()) << k.values;
        EXPECT_EQ(l->h.flags & value::SummaryAll, k.summary) << k.values;
        EXPECT_EQ(value::linkOf(&l->h)->next != nullptr, k.tracked) << k.values;
        value::decref(out);
    }
    std::vector<Value> values = {native("'a'"), Value::pint(3)};
    Value out{};
    ASSERT_TRUE(wn_tuple(&ctx, 1, values.data(), 2, &out));
    EXPECT_EQ(out.as<value::Tuple>()->items()[0].payload, values[0].payload);
    EXPECT_EQ(countOf(values[0]), 1u) << "the reference moved into the tuple";
    value::decref(out);
}

TEST_F(Helpers, DictsKeepTheFirstKeysPlaceAndRefuseUnhashableKeysLeavingNothing) {
    Value keys[] = {native("'a'"), native("'b'"), native("'a'")};
    Value values[] = {Value::pint(1), Value::pint(2), Value::pint(3)};
    Value out{};
    ASSERT_TRUE(wn_dict(&ctx, 1, keys, values, 3, &out));
    PyObject* got = convert::toPython(out, &ctx.conversion);
    // No proxy type in this test: a dict shows only through its entries.
    auto* d = out.as<value::Dict>();
    ASSERT_EQ(d->length, 2u);
    EXPECT_EQ(d->entries[0].key.payload, keys[0].payload) << "the first key keeps its place";
    EXPECT_EQ(d->entries[0].value.payload, 3u) << "holding the last value";
    Py_XDECREF(got);
    PyErr_Clear();
    value::decref(out);
    Value bad[] = {native("'a'"), native("[1]")};
    Value kept{value::TagNone, 99};
    int64_t before = pool::liveBlocks();
    EXPECT_FALSE(wn_dict(&ctx, 1, bad, values, 2, &kept));
    EXPECT_EQ(pool::liveBlocks(), before) << "the half-built dict is released";
    EXPECT_EQ(kept.payload, 99u) << "the result slot is untouched";
    PyObject* error = failureObject();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(pyStr(error), pyhelp::servedMinor() >= 14
                              ? "cannot use 'list' as a dict key (unhashable type: 'list')"
                              : "unhashable type: 'list'");
    Py_DECREF(error);
    helpers::clearError(&ctx);
    for (Value v : keys) value::decref(v);
    for (Value v : bad) value::decref(v);
}

// The native set's elements in its table order, as iteration gives them.
std::vector<Value> tableOrder(Value set) {
    std::vector<Value> out;
    auto* s = set.as<value::Set>();
    for (uint64_t i = 0; i <= s->mask; i++)
        if (s->table[i].key.tag != value::TagUnset && s->table[i].key.tag != value::TagDeleted)
            out.push_back(s->table[i].key);
    return out;
}

TEST_F(Helpers, SetDisplaysIterateAsPythonsAndRefuseUnhashableValuesFirst) {
    for (const char* display : {"[]", "[1]", "[3, 1, 2]", "['a', 'b', 'c', 'd', 'e', 'f']",
                                "[1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2]", "[(1, 2), None, 1.5, 'x', 7]"}) {
        PyObject* items = eval(display);
        std::vector<Value> values = testing_support::itemsOf(items);
        PyObject* expected = PySequence_List(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PySet_Type), items));
        for (int32_t rebuild : {0, 1}) {
            Value out{};
            ASSERT_TRUE(wn_set(&ctx, 1, values.data(), int64_t(values.size()), rebuild, &out));
            std::vector<Value> order = tableOrder(out);
            if (rebuild) {
                // A rebuilt set holds the same elements; only their placement may differ.
                PyObject* got = convert::toPython(out, &ctx.conversion);
                PyObject* same = PySet_New(expected);
                EXPECT_EQ(PyObject_RichCompareBool(got, same, Py_EQ), 1) << display;
                Py_XDECREF(got);
                Py_XDECREF(same);
                value::decref(out);
                continue;
            }
            ASSERT_EQ(Py_ssize_t(order.size()), PyList_GET_SIZE(expected)) << display;
            for (size_t i = 0; i < order.size(); i++) {
                PyObject* got = convert::toPython(order[i], &ctx.conversion);
                EXPECT_EQ(PyObject_RichCompareBool(got, PyList_GET_ITEM(expected, Py_ssize_t(i)), Py_EQ), 1)
                    << display << " rebuild " << rebuild << " at " << i << ": " << pyRepr(got)
                    << " against " << pyRepr(expected);
                Py_DECREF(got);
            }
            value::decref(out);
        }
        Py_DECREF(expected);
        Py_DECREF(items);
        for (Value v : values) value::decref(v);
    }
    Value bad[] = {Value::pint(1), native("[1]")};
    Value kept{value::TagNone, 99};
    int64_t before = pool::liveBlocks();
    EXPECT_FALSE(wn_set(&ctx, 1, bad, 2, 0, &kept));
    EXPECT_EQ(pool::liveBlocks(), before) << "refused before any set is made";
    EXPECT_EQ(kept.payload, 99u);
    EXPECT_EQ(message(), pyhelp::servedMinor() >= 14
                             ? "cannot use 'list' as a set element (unhashable type: 'list')"
                             : "unhashable type: 'list'");
    helpers::clearError(&ctx);
    value::decref(bad[1]);
}

TEST_F(Helpers, SetOfAnIterableIsPythonsSet) {
    run("def gen():\n    yield 3\n    yield 'x'\n    yield 3\n");
    for (const char* iterable : {"'hello wörld'", "(1, 2, 2, 'a')", "[1.0, 1, True]", "gen()",
                                 "range(5)", "[[1]]", "5", "[{}]",
                                 "{'k': 1, 2: 'v'}", "{(1,): 1}"}) {
        PyObject* o = nullptr;
        Value v = containerValue(iterable, &o);
        Value out{};
        bool ok = wn_to_set(&ctx, 1, int64_t(v.tag), int64_t(v.payload), &out);
        // Python's own outcome with a fresh object (a generator runs once).
        PyObject* again = eval(iterable);
        PyObject* args = PyTuple_Pack(1, again);
        expectSame(iterable, ok, out, reinterpret_cast<PyObject*>(&PySet_Type), args);
        Py_DECREF(args);
        Py_DECREF(again);
        Py_DECREF(o);
        value::decref(v);
    }
}

TEST_F(Helpers, AppendAndExtendGrowNativeListsAndCallPythonsMethodsOnOthers) {
    Value list = native("[]");
    Value items[] = {Value::pint(1), Value::pint(2), native("'s'")};
    for (int i = 0; i < 20; i++) ASSERT_TRUE(wn_append(&ctx, 1, int64_t(list.tag), int64_t(list.payload), 2, 7));
    ASSERT_TRUE(wn_extend_items(&ctx, 1, int64_t(list.tag), int64_t(list.payload), items, 3));
    auto* l = list.as<value::List>();
    EXPECT_EQ(l->count, 23u);
    EXPECT_EQ(l->items[19].tag, value::TagInt);
    EXPECT_EQ(l->items[22].payload, items[2].payload);
    EXPECT_EQ(countOf(items[2]), 2u);
    EXPECT_EQ(l->h.flags & value::SummaryAll, 0u);
    value::decref(list);
    PyObject* pyList = eval("[0]");
    Value py = pyValue(pyList);
    ASSERT_TRUE(wn_append(&ctx, 1, int64_t(py.tag), int64_t(py.payload), 18, 5));
    ASSERT_TRUE(wn_extend_items(&ctx, 1, int64_t(py.tag), int64_t(py.payload), items, 3));
    EXPECT_EQ(pyRepr(pyList), "[0, 5, 1, 2, 's']");
    value::decref(py);
    Py_DECREF(pyList);
    Value tuple = pyValue(eval("(1,)"));
    Py_DECREF(tuple.as<PyObject>());
    EXPECT_FALSE(wn_append(&ctx, 1, int64_t(tuple.tag), int64_t(tuple.payload), 18, 5));
    PyObject* error = failureObject();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(pyStr(error), "'tuple' object has no attribute 'append'");
    Py_DECREF(error);
    helpers::clearError(&ctx);
    value::decref(tuple);
    value::decref(items[2]);
}

TEST_F(Helpers, TypeTestsFollowRecordBasesAndPythonsIsinstance) {
    static value::Text fields[] = {{"a", 1}};
    value::RecordClass base{{"Base", 4}, {"Base", 4}, fields, 1, nullptr, nullptr, 0, 1, 0};
    value::RecordClass derived{{"Derived", 7}, {"Derived", 7}, fields, 1, nullptr, &base, 0, 1, 0};
    value::RecordClass other{{"Other", 5}, {"Other", 5}, fields, 1, nullptr, nullptr, 0, 1, 0};
    Value out{};
    ASSERT_TRUE(wn_record_new(&ctx, 1, &derived, &out));
    EXPECT_EQ(out.as<value::Record>()->fields()[0].tag, value::TagUnset);
    EXPECT_TRUE(wn_is_record(int64_t(out.tag), int64_t(out.payload), &base));
    EXPECT_TRUE(wn_is_record(int64_t(out.tag), int64_t(out.payload), &derived));
    EXPECT_FALSE(wn_is_record(int64_t(out.tag), int64_t(out.payload), &other));
    EXPECT_FALSE(wn_is_record(2, 5, &base));
    value::decref(out);
    Value field = native("'f'");
    ASSERT_TRUE(wn_record(&ctx, 1, &other, &field, &out));
    EXPECT_EQ(out.as<value::Record>()->fields()[0].payload, field.payload);
    value::decref(out);
    run("class P:\n    pass\nclass Q(P):\n    pass\n");
    PyObject* objects[] = {eval("P"), eval("int")};
    PyObject** table = objects;
    ctx.moduleObjects = &table;
    other.pyClass = objects[0];
    Value q = pyValue(eval("Q()"));
    Py_DECREF(q.as<PyObject>());
    EXPECT_TRUE(wn_is_record(int64_t(q.tag), int64_t(q.payload), &other));
    struct Case {
        Value v;
        int64_t cls;
        bool expected;
    } cases[] = {{q, 0, true}, {q, 1, false}, {Value::pint(3), 1, true}, {Value::boolean(true), 1, true}};
    for (const Case& k : cases) {
        ASSERT_TRUE(wn_isinstance(&ctx, 1, int64_t(k.v.tag), int64_t(k.v.payload), k.cls, &out));
        EXPECT_EQ(out.tag, value::TagBool);
        EXPECT_EQ(out.payload, k.expected ? 1u : 0u);
    }
    value::decref(q);
    for (PyObject* o : objects) Py_DECREF(o);
}

// ---- Indexing ----------------------------------------------------------------------------------

// x[k] for every container and key of a group, natively, against Python's x[k]. Containers
// written as "py:<expression>" stay Python objects; the others become native values.
struct IndexGroup {
    const char* name;
    std::vector<const char*> containers;
    const char* keys;  // a Python expression giving the list of keys
};

const char kIntegralKeys[] =
    "list(range(-5, 6)) + [True, False, 2**63 - 1, -2**63, 2**64, 2**70, -2**70]";
const char kSliceKeys[] =
    "[slice(a, b, c) for a in (None, 0, 1, -1, 5) for b in (None, 2, -2, 10)"
    " for c in (None, 1, 2, -1, -3)]";

const IndexGroup indexGroups[] = {
    {"str", {"'abc'", "''", "'héllo wörld'", "'a€𝄞b'", "'é' * 200 + 'xyz' + '𝄞' * 70"},
     kIntegralKeys},
    {"str slices", {"'abc'", "'héllo'"}, kSliceKeys},
    {"tuple and bytes", {"(10, 'b', 2.5)", "()", "b'ab\\xff'", "b''"}, kIntegralKeys},
    {"tuple and bytes slices", {"(1, 2, 3)", "b'xyz'"}, kSliceKeys},
    {"native list", {"[10, 'b', 2.5]", "[]"}, "list(range(-4, 5)) + [True, False]"},
    {"python list and tuple",
     {"py:[10, 'b', 2**70]", "py:(1, 2)", "py:[]"},
     "list(range(-4, 5)) + [True, 2**70, 1.0, 'a', slice(None, None, -1), slice(1, None, 2)]"},
    {"other keys on str and tuple", {"'abc'", "(1, 2)"}, "[1.0, 'a', None, (1,)]"},
    {"native dict", {"{1: 'one', 'b': 2, (1, 2): 3.5, 2.5: None}", "{}"},
     "[1, True, 1.0, 'b', (1, 2), 2.5, 'missing', 3, [1], (1, [2])]"},
    {"python dict", {"py:{1: 'one', 'b': 2}"}, "[1, True, 'b', 'missing', [1]]"},
    {"not subscriptable", {"5", "None", "1.5"}, "[0, 'a']"},
};

class Indexing : public Helpers, public ::testing::WithParamInterface<IndexGroup> {};

TEST_P(Indexing, GetItemIsPythons) {
    const IndexGroup& group = GetParam();
    PyObject* get = function("get");
    PyObject* keys = eval(group.keys);
    ASSERT_NE(keys, nullptr);
    for (const char* text : group.containers) {
        PyObject* container = nullptr;
        Value c = containerValue(text, &container);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); i++) {
            PyObject* key = PyList_GET_ITEM(keys, i);
            Value k = fromPython(key);
            std::string shown = pyRepr(container) + "[" + pyRepr(key) + "]";
            Value out{value::TagNone, 99};
            bool ok = wn_getitem(&ctx, 1, int64_t(c.tag), int64_t(c.payload), int64_t(k.tag),
                                 int64_t(k.payload), &out);
            if (!ok) { EXPECT_EQ(out.payload, 99u) << shown << ": a failure leaves out untouched"; }
            PyObject* args = PyTuple_Pack(2, container, key);
            expectSame(shown, ok, out, get, args);
            Py_DECREF(args);
            value::decref(k);
        }
        value::decref(c);
        Py_DECREF(container);
    }
    Py_DECREF(keys);
}

INSTANTIATE_TEST_SUITE_P(Groups, Indexing, ::testing::ValuesIn(indexGroups),
                         [](const ::testing::TestParamInfo<IndexGroup>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; p++)
                                 name += std::isalnum(uint8_t(*p)) ? *p : '_';
                             return name;
                         });

TEST_F(Helpers, ASecondIndexingOfALongNonAsciiStrReusesItsOffsetIndex) {
    Value s = native("'é' * 300");
    Value out{};
    ASSERT_TRUE(wn_getitem(&ctx, 1, int64_t(s.tag), int64_t(s.payload), 18, 250, &out));
    uint32_t* index = s.as<value::Str>()->index;
    ASSERT_NE(index, nullptr);
    value::decref(out);
    ASSERT_TRUE(wn_getitem(&ctx, 1, int64_t(s.tag), int64_t(s.payload), 18, 130, &out));
    EXPECT_EQ(s.as<value::Str>()->index, index);
    EXPECT_EQ(out.as<value::Str>()->text(), "é");
    value::decref(out);
    Value ascii = native("'abc'");
    ASSERT_TRUE(wn_getitem(&ctx, 1, int64_t(ascii.tag), int64_t(ascii.payload), 18, -1, &out));
    EXPECT_GE(countOf(out), value::kImmortal) << "ASCII characters are shared immortal strs";
    value::decref(s);
    value::decref(ascii);
}

TEST_F(Helpers, ListStoresWithKeysThatAreNotPlainIntsArePythonsToJudge) {
    run("class Two:\n    def __index__(self):\n        return 2\n");
    PyObject* put = function("put");
    Value list = native("[1, 2, 3]");
    PyObject* pyList = eval("[1, 2, 3]");
    for (const char* key : {"2**70", "-2**64", "0.5", "'a'", "None", "Two()", "slice(0, 1)"}) {
        PyObject* k = eval(key);
        Value kv = fromPython(k);
        bool ok = wn_setitem(&ctx, 1, int64_t(list.tag), int64_t(list.payload), int64_t(kv.tag),
                             int64_t(kv.payload), 18, 0);
        PyObject* zero = PyLong_FromLong(0);
        PyObject* args = PyTuple_Pack(3, pyList, k, zero);
        PyObject* expected = PyObject_Call(put, args, nullptr);
        if (expected) {
            EXPECT_TRUE(ok) << key << ": " << message();
            Py_DECREF(expected);
        } else {
            PyErr_Clear();
            EXPECT_FALSE(ok) << key;
            if (!ok) expectPythonFailure(std::string("lst[") + key + "] = 0", put, args);
        }
        Py_DECREF(args);
        Py_DECREF(zero);
        Py_DECREF(k);
        value::decref(kv);
        helpers::clearError(&ctx);
    }
    Py_DECREF(pyList);
    value::decref(list);
}

TEST_F(Helpers, ItemAssignmentStoresNativelyAndFailsInPythonsWords) {
    Value list = native("[1, 2, 3]");
    Value text = native("'s'");
    auto* l = list.as<value::List>();
    // A checked int keeps no flag of a plain int: the summary only narrows.
    ASSERT_TRUE(wn_setitem(&ctx, 1, int64_t(list.tag), int64_t(list.payload), 18, -1, 2, 9));
    EXPECT_EQ(l->items[2].tag, value::TagInt);
    EXPECT_EQ(l->h.flags & value::SummaryAll, 0u);
    Value one = native("[1]");
    auto* single = one.as<value::List>();
    ASSERT_TRUE(wn_setitem(&ctx, 1, int64_t(one.tag), int64_t(one.payload), 1, 0,
                           int64_t(text.tag), int64_t(text.payload)));
    EXPECT_EQ(single->h.flags & value::SummaryAll, 0u);
    EXPECT_NE(value::linkOf(&single->h)->next, nullptr) << "a list of blocks is tracked";
    ASSERT_TRUE(wn_setitem(&ctx, 1, int64_t(one.tag), int64_t(one.payload), 1, 0, 18, 4));
    EXPECT_EQ(single->h.flags & value::SummaryAll, 0u) << "no flag comes back";
    // lst[0] = lst[0]: the item's only reference is the list's.
    Value item = native("'only'");
    ASSERT_TRUE(wn_setitem(&ctx, 1, int64_t(one.tag), int64_t(one.payload), 18, 0,
                           int64_t(item.tag), int64_t(item.payload)));
    value::decref(item);
    Value same = single->items[0];
    ASSERT_TRUE(wn_setitem(&ctx, 1, int64_t(one.tag), int64_t(one.payload), 18, 0,
                           int64_t(same.tag), int64_t(same.payload)));
    EXPECT_EQ(single->items[0].as<value::Str>()->text(), "only");
    struct Case {
        Value container;
        Value key;
        const char* type;
        const char* message;
    } cases[] = {
        {list, Value::pint(5), "IndexError", "list assignment index out of range"},
        {list, Value::pint(-4), "IndexError", "list assignment index out of range"},
        {native("(1, 2)"), Value::pint(0), "TypeError", "'tuple' object does not support item assignment"},
        {text, Value::pint(0), "TypeError", "'str' object does not support item assignment"},
        {Value::pint(3), Value::pint(0), "TypeError", "'int' object does not support item assignment"},
    };
    for (const Case& k : cases) {
        EXPECT_FALSE(wn_setitem(&ctx, 1, int64_t(k.container.tag), int64_t(k.container.payload),
                                int64_t(k.key.tag), int64_t(k.key.payload), 18, 0));
        PyObject* error = failureObject();
        ASSERT_NE(error, nullptr) << k.message;
        EXPECT_STREQ(Py_TYPE(error)->tp_name, k.type);
        EXPECT_EQ(pyStr(error), k.message);
        Py_DECREF(error);
        helpers::clearError(&ctx);
    }
    value::decref(cases[2].container);
    Value dict = native("1");
    value::Dict* d = value::newDict();
    dict = Value::of(value::TagDict, d);
    Value listKey = native("[1]");
    EXPECT_FALSE(wn_setitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), int64_t(listKey.tag),
                            int64_t(listKey.payload), 18, 0));
    EXPECT_EQ(message(), pyhelp::servedMinor() >= 14
                             ? "cannot use 'list' as a dict key (unhashable type: 'list')"
                             : "unhashable type: 'list'");
    helpers::clearError(&ctx);
    ASSERT_TRUE(wn_setitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), int64_t(text.tag),
                           int64_t(text.payload), 18, 1));
    EXPECT_EQ(d->length, 1u);
    for (Value v : {list, text, one, dict, listKey}) value::decref(v);
}

TEST_F(Helpers, DeletingFromANativeListMovesTheRestDown) {
    Value list = native("['a', 'b', 'c']");
    auto* l = list.as<value::List>();
    ASSERT_TRUE(wn_delitem(&ctx, 1, int64_t(list.tag), int64_t(list.payload), 18, -1));
    ASSERT_TRUE(wn_delitem(&ctx, 1, int64_t(list.tag), int64_t(list.payload), 1, 0));
    ASSERT_EQ(l->count, 1u);
    EXPECT_EQ(l->items[0].as<value::Str>()->text(), "b");
    PyObject* pyList = eval("[1, 2]");
    Value py = pyValue(pyList);
    EXPECT_FALSE(wn_delitem(&ctx, 1, int64_t(py.tag), int64_t(py.payload), 18, 10));
    PyObject* error = failureObject();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(pyStr(error), "list assignment index out of range");
    Py_DECREF(error);
    helpers::clearError(&ctx);
    run("def remove(c, k):\n    del c[k]\n");
    Value s = native("'abc'");
    EXPECT_FALSE(wn_delitem(&ctx, 1, int64_t(s.tag), int64_t(s.payload), 18, 0));
    PyObject* args = Py_BuildValue("(si)", "abc", 0);
    expectPythonFailure("del 'abc'[0]", function("remove"), args);
    Py_DECREF(args);
    // A native dict deletes through Python: here its stand-in's KeyError.
    PyObject* dictObject = nullptr;
    Value dict = containerValue("{1: 2}", &dictObject);
    EXPECT_FALSE(wn_delitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), 18, 5));
    args = Py_BuildValue("(Oi)", dictObject, 5);
    expectPythonFailure("del d[5]", function("remove"), args);
    Py_DECREF(args);
    Py_DECREF(dictObject);
    value::decref(dict);
    Py_DECREF(pyList);
    for (Value v : {list, py, s}) value::decref(v);
}

TEST_F(Helpers, ADictDeletesNativelyAndAMissingKeyGetsPythonsKeyError) {
    PyObject* dictObject = nullptr;
    Value dict = containerValue("{'a': 1, 'b': [2], 3: 'c'}", &dictObject);
    auto* d = dict.as<value::Dict>();
    Value key = native("'b'");
    ASSERT_TRUE(wn_delitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), int64_t(key.tag),
                           int64_t(key.payload)));
    EXPECT_EQ(d->length, 2u);
    Value out{};
    EXPECT_FALSE(wn_getitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), int64_t(key.tag),
                            int64_t(key.payload), &out));
    PyObject* error = failureObject();
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(Py_TYPE(error)->tp_name, "KeyError");
    EXPECT_EQ(pyStr(error), "'b'");
    Py_DECREF(error);
    helpers::clearError(&ctx);
    Py_DECREF(dictObject);
    value::decref(key);
    value::decref(dict);
}

TEST_F(Helpers, SharedContainersRefuseEveryChange) {
    Value list = native("[1, 2]");
    value::Dict* d = value::newDict();
    Value dict = Value::of(value::TagDict, d);
    value::makeImmortal(list.as<value::Obj>());
    value::makeImmortal(&d->h);
    Value item = Value::pint(9);
    struct Case {
        const char* what;
        bool ok;
    } cases[] = {
        {"lst[0] = 9", wn_setitem(&ctx, 1, int64_t(list.tag), int64_t(list.payload), 18, 0, 18, 9)},
        {"del lst[0]", wn_delitem(&ctx, 1, int64_t(list.tag), int64_t(list.payload), 18, 0)},
        {"lst.append(9)", wn_append(&ctx, 1, int64_t(list.tag), int64_t(list.payload), 18, 9)},
        {"lst.extend([9])", wn_extend_items(&ctx, 1, int64_t(list.tag), int64_t(list.payload), &item, 1)},
        {"d[0] = 9", wn_setitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), 18, 0, 18, 9)},
        {"del d[0]", wn_delitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), 18, 0)},
    };
    // Each case was recorded in turn; the first failure stands, and the later calls failed too.
    for (const Case& k : cases) EXPECT_FALSE(k.ok) << k.what;
    EXPECT_EQ(message(), value::readOnlyText(value::TagList));
    EXPECT_EQ(errors::Kind(ctx.kind), errors::Kind::TypeError);
    helpers::clearError(&ctx);
    EXPECT_FALSE(wn_delitem(&ctx, 1, int64_t(dict.tag), int64_t(dict.payload), 18, 0));
    EXPECT_EQ(message(), value::readOnlyText(value::TagDict));
    helpers::clearError(&ctx);
    EXPECT_EQ(list.as<value::List>()->count, 2u) << "nothing changed";
    EXPECT_EQ(list.as<value::List>()->items[0].payload, 1u);
    EXPECT_EQ(d->length, 0u);
    list.as<value::Obj>()->count = 1;
    d->h.count = 1;
    value::decref(list);
    value::decref(dict);
}

TEST_F(Helpers, IndexingThroughPythonIsCountedWhenTheRunReports) {
    bridge::Tally tally{};
    helpers::RunRecord run{};
    run.tally = &tally;
    run.report = 1;
    ctx.run = &run;
    Value s = native("'abc'");
    Value slice = pyValue(eval("slice(1, None)"));
    Py_DECREF(slice.as<PyObject>());
    Value out{};
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(wn_getitem(&ctx, 1, int64_t(s.tag), int64_t(s.payload), int64_t(slice.tag),
                               int64_t(slice.payload), &out));
        value::decref(out);
    }
    ASSERT_TRUE(wn_getitem(&ctx, 1, int64_t(s.tag), int64_t(s.payload), 18, 0, &out));
    value::decref(out);
    static constexpr char text[] = "getitem str[slice]";
    EXPECT_EQ(bridge::tallyCount(&tally, text, sizeof text - 1), 2u) << "native indexing counts nothing";
    EXPECT_EQ(tally.used, 1u);
    bridge::freeTally(&tally);
    ctx.run = nullptr;
    value::decref(s);
    value::decref(slice);
}

// ---- Iteration, unpacking and dict views ---------------------------------------------------------

TEST_F(Helpers, IterationGivesTuplesAndListsThemselvesAndEveryOtherIterablesItems) {
    for (const char* text : {"(1, 'a')", "[1, 'a']"}) {
        Value v = native(text);
        Value out{};
        ASSERT_TRUE(wn_iter_items(&ctx, 1, int64_t(v.tag), int64_t(v.payload), &out));
        EXPECT_EQ(out.payload, v.payload) << text << " is not copied";
        EXPECT_EQ(countOf(v), 2u);
        value::decref(out);
        value::decref(v);
    }
    PyObject* listType = reinterpret_cast<PyObject*>(&PyList_Type);
    for (const char* text : {"'hé𝄞'", "b'ab'", "range(3)", "{3: 1, 1: 2}", "{1, 2, 'x'}",
                             "py:{'k': 1, 'j': 2}", "5", "None"}) {
        PyObject* o = nullptr;
        Value v = containerValue(text, &o);
        if (PyAnySet_Check(o)) {
            value::decref(v);
            std::vector<Value> values = testing_support::itemsOf(o);
            ASSERT_TRUE(wn_set(&ctx, 1, values.data(), int64_t(values.size()), 0, &v));
            for (Value e : values) value::decref(e);
        }
        Value out{value::TagNone, 99};
        bool ok = wn_iter_items(&ctx, 1, int64_t(v.tag), int64_t(v.payload), &out);
        if (ok) {
            EXPECT_EQ(out.tag, value::TagList) << text;
            EXPECT_EQ(wn_list_len(int64_t(out.tag), int64_t(out.payload)),
                      int64_t(out.as<value::List>()->count));
        }
        PyObject* args = PyTuple_Pack(1, o);
        expectSame(text, ok, out, listType, args);
        Py_DECREF(args);
        Py_DECREF(o);
        value::decref(v);
    }
    Value t = native("(7, 'x')");
    Value item{};
    wn_list_at(int64_t(t.tag), int64_t(t.payload), 1, &item);
    EXPECT_EQ(countOf(item), 2u);
    EXPECT_EQ(wn_list_len(int64_t(t.tag), int64_t(t.payload)), 2);
    value::decref(item);
    value::decref(t);
}

TEST_F(Helpers, UnpackingCountsAreCheckedInPythonsWords) {
    PyObject* unpackInto = function("unpack_into");
    struct Case {
        const char* value;
        int64_t targets;
    } cases[] = {
        {"[1, 2]", 2}, {"(1,)", 2}, {"(1, 2, 3)", 2}, {"[]", 0}, {"[1]", 0}, {"()", 3},
        {"'xy'", 2}, {"'xyz'", 2}, {"'x'", 2}, {"''", 0}, {"'ab'", 0}, {"5", 2}, {"5", 0},
        {"py:[1, 'b']", 2}, {"range(3)", 3}, {"py:{1: 2}", 1}, {"(x for x in 'ab')", 2},
    };
    for (const Case& k : cases) {
        bool keepPython = std::string(k.value).rfind("py:", 0) == 0;
        PyObject* o = eval(keepPython ? k.value + 3 : k.value);
        Value v = keepPython ? pyValue(o) : fromPython(o);
        std::vector<Value> out(size_t(k.targets) + 1, Value{value::TagNone, 99});
        bool ok = wn_unpack(&ctx, 1, int64_t(v.tag), int64_t(v.payload), k.targets, out.data());
        std::string shown = std::string(k.value) + " into " + std::to_string(k.targets);
        PyObject* n = PyLong_FromLongLong(k.targets);
        PyObject* fresh = eval(keepPython ? k.value + 3 : k.value);
        PyObject* args = PyTuple_Pack(2, fresh, n);
        PyObject* expected = PyObject_Call(unpackInto, args, nullptr);
        if (expected) {
            EXPECT_TRUE(ok) << shown << ": " << message();
            Py_DECREF(expected);
            PyObject* again = eval(keepPython ? k.value + 3 : k.value);
            PyObject* items = PySequence_Tuple(again);
            Py_DECREF(again);
            PyErr_Clear();
            for (int64_t i = 0; ok && items && i < k.targets; i++) {
                PyObject* got = convert::toPython(out[size_t(i)], &ctx.conversion);
                EXPECT_EQ(PyObject_RichCompareBool(got, PyTuple_GET_ITEM(items, i), Py_EQ), 1) << shown;
                Py_DECREF(got);
            }
            Py_XDECREF(items);
            for (int64_t i = 0; ok && i < k.targets; i++) value::decref(out[size_t(i)]);
        } else {
            PyErr_Clear();
            EXPECT_FALSE(ok) << shown;
            for (const Value& left : out) EXPECT_EQ(left.payload, 99u) << shown << ": out untouched";
            if (!ok) expectPythonFailure(shown, unpackInto, args);
        }
        if (ok) { EXPECT_EQ(out[size_t(k.targets)].payload, 99u) << shown; }
        helpers::clearError(&ctx);
        Py_DECREF(args);
        Py_DECREF(fresh);
        Py_DECREF(n);
        Py_DECREF(o);
        value::decref(v);
    }
}

TEST_F(Helpers, DictViewsListTheLiveEntriesInOrder) {
    Value keys[] = {Value::pint(3), Value::pint(1), Value::pint(2)};
    Value values[] = {native("'c'"), native("'a'"), native("'b'")};
    Value dict{};
    ASSERT_TRUE(wn_dict(&ctx, 1, keys, values, 3, &dict));
    // The middle entry removed as a deletion leaves it.
    auto* d = dict.as<value::Dict>();
    value::decref(d->entries[1].value);
    d->entries[1].key.tag = value::TagDeleted;
    d->length--;
    const char* expected[] = {"[(3, 'c'), (2, 'b')]", "[3, 2]", "['c', 'b']"};
    for (int32_t view : {0, 1, 2}) {
        Value out{};
        ASSERT_TRUE(wn_dict_view(&ctx, 1, view, int64_t(dict.tag), int64_t(dict.payload), &out));
        auto* l = out.as<value::List>();
        std::string shown = "[";
        for (uint64_t i = 0; i < l->count; i++) {
            PyObject* item = convert::toPython(l->items[i], &ctx.conversion);
            shown += (i ? ", " : "") + pyRepr(item);
            Py_DECREF(item);
        }
        EXPECT_EQ(shown + "]", expected[view]);
        EXPECT_EQ(value::linkOf(&l->h)->next != nullptr, view != 1)
            << "pairs and strs are tracked, ints not";
        if (view == 1) { EXPECT_EQ(l->h.flags & value::SummaryAll, value::SummaryPint); }
        value::decref(out);
    }
    value::Dict* empty = value::newDict();
    Value out{};
    ASSERT_TRUE(wn_dict_view(&ctx, 1, 1, int64_t(value::TagDict), int64_t(uintptr_t(empty)), &out));
    EXPECT_EQ(out.as<value::List>()->count, 0u);
    value::decref(out);
    value::decref(value::TagDict, uint64_t(uintptr_t(empty)));
    PyObject* pyDict = eval("{'k': 1, 'j': [2]}");
    Value py = pyValue(pyDict);
    ASSERT_TRUE(wn_dict_view(&ctx, 1, 2, int64_t(py.tag), int64_t(py.payload), &out));
    PyObject* got = convert::toPython(out, &ctx.conversion);
    PyErr_Clear();
    EXPECT_EQ(out.tag, value::TagList);
    EXPECT_EQ(out.as<value::List>()->count, 2u);
    Py_XDECREF(got);
    value::decref(out);
    Value five = Value::pint(5);
    EXPECT_FALSE(wn_dict_view(&ctx, 1, 0, int64_t(five.tag), 5, &out));
    PyObject* error = failureObject();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(pyStr(error), "'int' object has no attribute 'items'");
    Py_DECREF(error);
    helpers::clearError(&ctx);
    Py_DECREF(pyDict);
    value::decref(py);
    value::decref(dict);
    for (Value v : values) value::decref(v);
}

}  // namespace

}  // namespace wuna
