// Frames, function values, calls and the tail-call slot; constructors of lists, tuples,
// dicts, records and sets; indexing, item assignment, iteration, unpacking and dict views -
// the helpers compiled code calls, each against the running interpreter where Python has an
// answer: the same value, or the same exception type and text. Every test ends with the
// thread's block count where it began.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/containers.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/functions.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/table.h"

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

std::string str(PyObject* o) {
    PyObject* s = PyObject_Str(o);
    std::string text = s ? PyUnicode_AsUTF8(s) : "<str failed>";
    Py_XDECREF(s);
    PyErr_Clear();
    return text;
}

std::string repr(PyObject* o) {
    PyObject* s = PyObject_Repr(o);
    std::string text = s ? PyUnicode_AsUTF8(s) : "<repr failed>";
    Py_XDECREF(s);
    PyErr_Clear();
    return text;
}

class Helpers : public testing_support::WithPython {
protected:
    void SetUp() override {
        WithPython::SetUp();
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
        run("def get(c, k):\n    return c[k]\n"
            "def put(c, k, v):\n    c[k] = v\n"
            "def unpack_into(x, n):\n"
            "    exec(('() = x' if n == 0 else ', '.join('a%d' % i for i in range(n)) + ', = x'),"
            " {'x': x})\n");
    }
    void TearDown() override {
        helpers::endCtx(&ctx);
        WithPython::TearDown();
    }

    std::string message() {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }

    // The exception object of the recorded failure (new reference), or null.
    PyObject* failureObject() {
        PyObject* o = helpers::errorObject(&ctx);
        if (!o) PyErr_Clear();
        return o;
    }

    // Expects the recorded failure to be an exception of the type and text Python raised for
    // a call of fn(*args); clears both.
    void expectPythonFailure(const std::string& shown, PyObject* fn, PyObject* args) {
        PyObject* expected = PyObject_Call(fn, args, nullptr);
        ASSERT_EQ(expected, nullptr) << shown << ": Python gave " << repr(expected);
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyObject* got = failureObject();
        ASSERT_NE(got, nullptr) << shown << ": " << message();
        EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(got)), type) << shown << ": " << repr(got);
        EXPECT_EQ(str(got), str(value)) << shown;
        Py_DECREF(got);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        helpers::clearError(&ctx);
    }

    // Expects the native outcome (ok, out) to be what Python gives for fn(*args): the same
    // value (out released), or the same exception.
    void expectSame(const std::string& shown, bool ok, Value out, PyObject* fn, PyObject* args) {
        PyObject* expected = PyObject_Call(fn, args, nullptr);
        if (!expected) {
            PyErr_Clear();
            EXPECT_FALSE(ok) << shown;
            if (!ok) expectPythonFailure(shown, fn, args);
            return;
        }
        EXPECT_TRUE(ok) << shown << ": Python gave " << repr(expected) << ", native failed with "
                        << message();
        if (ok) {
            PyObject* got = convert::toPython(out, &ctx.conversion);
            ASSERT_NE(got, nullptr) << shown;
            EXPECT_EQ(Py_TYPE(got), Py_TYPE(expected)) << shown;
            EXPECT_EQ(PyObject_RichCompareBool(got, expected, Py_EQ), 1)
                << shown << ": " << repr(got) << " against " << repr(expected);
            Py_DECREF(got);
            value::decref(out);
        }
        Py_DECREF(expected);
        helpers::clearError(&ctx);
    }

    PyObject* function(const char* name) {
        PyObject* f = eval(name);
        Py_XDECREF(f);  // the namespace keeps it
        return f;
    }

    Ctx ctx{};
};

Value pyValue(PyObject* o) {
    Py_INCREF(o);
    return Value::of(value::TagPy, o);
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
    PyObject* objects[] = {eval("len"), eval("int")};
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
    EXPECT_EQ(repr(error), "ValueError('bad 40')");
    Py_DECREF(error);
    helpers::clearError(&ctx);
    // A receiver goes first.
    Value receiver = Value::pint(1);
    ASSERT_TRUE(wn_call_plain(&ctx, 1, int64_t(add.tag), int64_t(add.payload), args, 1, &receiver, &out));
    EXPECT_EQ(out.payload, 41u);
    // Something that is not callable is refused in Python's words.
    Value notCallable = Value::pint(3);
    EXPECT_FALSE(wn_call_plain(&ctx, 1, int64_t(notCallable.tag), 3, args, 0, nullptr, &out));
    PyObject* refused = failureObject();
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(str(refused), "'int' object is not callable");
    Py_DECREF(refused);
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
    EXPECT_EQ(str(kind), std::string(Py_TYPE(objects[0]) ? "int" : ""));
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

}  // namespace

}  // namespace wuna
