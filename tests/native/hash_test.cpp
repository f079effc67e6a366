// Equality, the two hashes, truth and hashability against the running interpreter: set::pyHash
// equals hash() over generated ints, floats, strs, bytes and nested tuples; value::equal
// answers what == answers, with equal values hashing alike under both hashes whatever carries
// them (native blocks or Python objects); a raising __eq__, __hash__ or __bool__ becomes a
// noted failure with nothing left pending; nesting past the limit fails with RecursionError's
// text instead of overflowing the native stack.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/native/python_values.h"

namespace wuna {

namespace {

using namespace value;
using testing_support::eval;
using testing_support::fromPython;
using testing_support::Generated;
using testing_support::itemsOf;
using testing_support::run;
using testing_support::WithPython;

class Hashing : public WithPython {};

// ---- pyHash against hash() ----------------------------------------------------------------------

const Generated generated[] = {
    {"ints near 2**61, 2**63, 2**64, 2**127 and their negatives",
     "[s * (b + d) for b in (0, 2**31, 2**61 - 1, 2**61, 2**62, 2**63, 2**64, 2**122, 2**126)"
     " for d in range(-3, 4) for s in (1, -1)] + [2**127 - 1, -(2**127), -(2**127) + 1,"
     " 2**127 - 2**61, -(2**63), -1, -2]"},
    {"random ints of every width up to 127 bits",
     "[__import__('random').Random(w).getrandbits(w) * s for w in range(1, 128)"
     " for s in (1, -1)]"},
    {"floats: signed zeros, infinities, huge, tiny and fractional",
     "[0.0, -0.0, float('inf'), float('-inf'), 1e308, -1e308, 5e-324, 2.0**63, -2.0**63,"
     " 2.0**127, 1.7e38, 2.0**200, 1.5, -2.5, 0.1, 1/3, 2.0**61, 2.0**61 - 1]"
     " + [__import__('random').Random(3).uniform(-1e6, 1e6) for _ in range(50)]"},
    {"strs: ASCII, Latin-1, two-byte, four-byte and long forms",
     "['', 'a', 'abc', 'hello world', 'é', 'ÿx', 'Ā', 'naïve €', '😀', 'a😀é', 'x' * 300,"
     " 'é' * 300, '€' * 100, '😀' * 70, ''.join(map(chr, range(32, 400)))]"},
    {"bytes", "[b'', b'x', b'\\x00', bytes(range(256)), b'abcdefgh', b'abcdefghi' * 7]"},
    {"nested tuples of every kind of item",
     "[(), (1,), (1, 2), (1, (2, 'a')), ((), ()), (1.5, b'x', None, True, 'é'), (-1,),"
     " (2**100, -(2**70)), ((((1,),),),), tuple(range(40))]"},
    {"None and the bools", "[None, True, False]"},
};

class PyHashMatches : public Hashing, public ::testing::WithParamInterface<Generated> {};

TEST_P(PyHashMatches, HashOfThePythonObject) {
    ASSERT_NE(set::sip_rounds, 0) << "the interpreter's string-hash key was not copied";
    PyObject* cases = eval(GetParam().expression);
    std::vector<Value> values = itemsOf(cases);
    for (size_t i = 0; i < values.size(); i++) {
        PyObject* o = PySequence_GetItem(cases, Py_ssize_t(i));
        PyObject* text = PyObject_Repr(o);
        std::string shown = PyUnicode_AsUTF8(text);
        Py_DECREF(text);
        int64_t native = 0;
        EXPECT_TRUE(set::pyHash(values[i], &native)) << shown;
        EXPECT_EQ(native, int64_t(PyObject_Hash(o))) << shown;
        EXPECT_EQ(set::elementHash(values[i]), int64_t(PyObject_Hash(o))) << shown;
        Py_DECREF(o);
        decref(values[i]);
    }
    Py_DECREF(cases);
}

INSTANTIATE_TEST_SUITE_P(Cases, PyHashMatches, ::testing::ValuesIn(generated),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(Hashing, TheEdgeHashesAreTheInterpretersFixedOnes) {
    struct {
        Value v;
        int64_t hash;
    } cases[] = {{Value::integer(-1), -2},        {Value::integer(INT64_MIN), -4},
                 {Value::real(INFINITY), 314159}, {Value::real(-INFINITY), -314159},
                 {Value::boolean(true), 1},       {Value::of(TagStr, newStr("", 0)), 0}};
    for (auto& c : cases) {
        int64_t h = 0;
        EXPECT_TRUE(set::pyHash(c.v, &h));
        EXPECT_EQ(h, c.hash);
        decref(c.v);
    }
}

TEST_F(Hashing, WithoutAHashHereTheRuntimeHashStandsIn) {
    PyObject* surrogate = eval("'a\\ud800'");
    Value cases[] = {Value::real(std::nan("")), fromPython(surrogate),
                     Value::of(TagList, newList(0))};
    for (Value v : cases) {
        int64_t h = 0;
        EXPECT_FALSE(set::pyHash(v, &h));
        int64_t fallback = int64_t(hashOf(v));
        EXPECT_EQ(set::elementHash(v), fallback == -1 ? -2 : fallback);
        decref(v);
    }
    Py_DECREF(surrogate);
}

TEST_F(Hashing, WithoutTheStringKeyStrAndBytesHaveNoHashHere) {
    uint8_t saved = set::sip_rounds;
    set::sip_rounds = 0;
    Value s = Value::of(TagStr, newStr("abc", 3));
    Value b = Value::of(TagBytes, newOwnedBytes(2));
    int64_t h = 0;
    EXPECT_FALSE(set::pyHash(s, &h));
    EXPECT_FALSE(set::pyHash(b, &h));
    set::sip_rounds = saved;
    decref(s);
    decref(b);
}

// ---- Equality against == ------------------------------------------------------------------------

struct Pair {
    const char* left;
    const char* right;
};

// Each pair is compared as native values both ways, and with each side in turn left as the
// Python object; == of the Python objects is the expected answer every time.
const Pair pairs[] = {
    {"1", "True"},
    {"0", "False"},
    {"1", "1.0"},
    {"2**63 - 1", "2.0**63"},
    {"-(2**63)", "-2.0**63"},
    {"2**70", "2.0**70"},
    {"2**100", "2**100"},
    {"2**127 - 1", "2**127 - 1"},
    {"2**70", "2**70 + 1"},
    {"2**200", "2.0**200"},
    {"0.0", "-0.0"},
    {"0.5", "0"},
    {"float('nan')", "float('nan')"},
    {"'é€😀'", "'é€😀'"},
    {"'a'", "b'a'"},
    {"'a\\ud800'", "'a\\ud800'"},
    {"'a\\ud800'", "'a\\ud801'"},
    {"'abc'", "'abd'"},
    {"b''", "b''"},
    {"b'xy'", "b'xy'"},
    {"None", "None"},
    {"None", "0"},
    {"()", "()"},
    {"(1, (2, 'x'))", "(1.0, (2, 'x'))"},
    {"(1, (2, 'x'))", "(1, (2, 'y'))"},
    {"(1, 2)", "(1, 2, 3)"},
    {"[1, (2, 'a'), [b'x']]", "[1.0, (2, 'a'), [b'x']]"},
    {"[1, 2]", "[1, 3]"},
    {"[1]", "(1,)"},
    {"[]", "[]"},
    {"Three()", "3"},
    {"Three()", "3.0"},
    {"Three()", "4"},
    {"Plain()", "Plain()"},
    {"Wide(2**90)", "2**90"},
    {"Wide(2**90 + 1)", "2**90 + 1"},
    {"-(2**100) - 3", "-(2**100) - 3"},
};

class Equality : public Hashing, public ::testing::WithParamInterface<Pair> {
protected:
    void SetUp() override {
        Hashing::SetUp();
        run("class Three:\n"
            "    def __eq__(self, other): return other == 3\n"
            "    def __hash__(self): return 3\n"
            "class Plain: pass\n"
            "class Wide(int): pass\n");
    }
};

TEST_P(Equality, AnswersWhatEqualsAnswersAndEqualValuesHashAlike) {
    const Pair& p = GetParam();
    PyObject* left = eval(p.left);
    PyObject* right = eval(p.right);
    int expected = PyObject_RichCompareBool(left, right, Py_EQ);
    ASSERT_GE(expected, 0);
    Value nativeLeft = fromPython(left), nativeRight = fromPython(right);
    Value asObjectLeft = Value::of(TagPy, left), asObjectRight = Value::of(TagPy, right);
    std::pair<Value, Value> forms[] = {{nativeLeft, nativeRight},
                                       {nativeRight, nativeLeft},
                                       {asObjectLeft, nativeRight},
                                       {nativeLeft, asObjectRight},
                                       {nativeRight, asObjectLeft}};
    // An object with its own __eq__ hashes by its own __hash__: the runtime hash cannot know
    // which native value it will equal, so only the CPython hashes are compared for it.
    bool custom = hostKind(left) == HostKind::custom || hostKind(right) == HostKind::custom;
    for (auto [a, b] : forms) {
        EXPECT_EQ(equal(a, b), expected == 1) << p.left << " == " << p.right;
        if (expected != 1 || !hashable(a) || !hashable(b)) continue;
        if (!custom) {
            EXPECT_EQ(hashOf(a), hashOf(b)) << p.left << " and " << p.right << " (runtime hash)";
        }
        int64_t ha = 0, hb = 0;
        if (set::pyHash(a, &ha) && set::pyHash(b, &hb)) {
            EXPECT_EQ(ha, hb) << p.left << " and " << p.right << " (CPython hash)";
        }
    }
    decref(nativeLeft);
    decref(nativeRight);
    Py_DECREF(left);
    Py_DECREF(right);
}

INSTANTIATE_TEST_SUITE_P(Pairs, Equality, ::testing::ValuesIn(pairs),
                         [](const auto& info) { return "pair" + std::to_string(info.index); });

TEST_F(Hashing, AStrAndAPythonStrOfTheSameTextHashAlike) {
    PyObject* text = eval("'naïve €'");
    Value native = fromPython(text), object = Value::of(TagPy, text);
    EXPECT_TRUE(equal(native, object));
    EXPECT_EQ(hashOf(native), hashOf(object));
    decref(native);
    Py_DECREF(text);
}

// ---- Python objects classified ------------------------------------------------------------------

TEST_F(Hashing, PythonObjectsAreClassifiedByType) {
    run("class Hashed:\n    def __hash__(self): return 1\n"
        "class Compared:\n    def __eq__(self, other): return True\n"
        "class Sub(float): pass\n");
    struct {
        const char* expression;
        HostKind kind;
        ScalarKind scalar;
    } cases[] = {{"True", HostKind::integer, ScalarKind::integer},
                 {"Wide(5)", HostKind::integer, ScalarKind::integer},
                 {"2**64", HostKind::integer, ScalarKind::other},
                 {"Sub(1.5)", HostKind::real, ScalarKind::real},
                 {"'é'", HostKind::text, ScalarKind::text},
                 {"'\\udc80'", HostKind::text, ScalarKind::other},
                 {"Hashed()", HostKind::custom, ScalarKind::other},
                 {"Compared()", HostKind::custom, ScalarKind::other},
                 {"object()", HostKind::plain, ScalarKind::other},
                 {"[1]", HostKind::custom, ScalarKind::other}};
    run("class Wide(int): pass\n");
    for (auto& c : cases) {
        PyObject* o = eval(c.expression);
        EXPECT_EQ(hostKind(o), c.kind) << c.expression;
        EXPECT_EQ(hostScalar(Value::of(TagPy, o)).kind, c.scalar) << c.expression;
        Py_DECREF(o);
    }
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST_F(Hashing, HashabilityIsPythons) {
    run("import dataclasses\nclass Plain: pass\n");
    static Text fields[] = {{"x", 1}};
    RecordClass byIdentity{{"P", 1}, {"m.P", 3}, fields, 1, nullptr, nullptr, 0, 0, 0};
    RecordClass mutableEq{{"P", 1}, {"m.P", 3}, fields, 1, nullptr, nullptr, 1, 0, 0};
    RecordClass frozenEq{{"P", 1}, {"m.P", 3}, fields, 1, nullptr, nullptr, 1, 0, 1};
    PyObject* list = eval("[1]");
    PyObject* plain = eval("Plain()");
    struct {
        Value v;
        bool hashable;
    } cases[] = {
        {Value::of(TagList, newList(0)), false},
        {Value::of(TagDict, newDict()), false},
        {Value::of(TagSet, set::make()), false},
        {Value::of(TagTuple, newTuple(0)), true},
        {Value::of(TagTuple, newTuple(3)), true},
        {Value::of(TagRecord, newRecord(&byIdentity)), true},
        {Value::of(TagRecord, newRecord(&mutableEq)), false},
        {Value::of(TagRecord, newRecord(&frozenEq)), true},
        {Value::of(TagPy, list), false},
        {Value::of(TagPy, plain), true},
    };
    Tuple* holding = newTuple(2);
    holding->items()[0] = Value::integer(1);
    holding->items()[1] = Value::of(TagList, newList(0));
    EXPECT_FALSE(hashable(Value::of(TagTuple, holding)));
    decref(Value::of(TagTuple, holding));
    for (auto& c : cases) {
        EXPECT_EQ(hashable(c.v), c.hashable);
        if (c.v.tag != TagPy) decref(c.v);
    }
    Py_DECREF(list);
    Py_DECREF(plain);
}

TEST_F(Hashing, AFrozenComparingRecordHashesLikeTheTupleOfItsFields) {
    static Text fields[] = {{"x", 1}, {"y", 1}};
    RecordClass frozenEq{{"P", 1}, {"m.P", 3}, fields, 2, nullptr, nullptr, 1, 0, 1};
    Record* r = newRecord(&frozenEq);
    r->fields()[0] = Value::integer(3);
    r->fields()[1] = Value::of(TagStr, newStr("é", 2));
    PyObject* tuple = eval("(3, 'é')");
    int64_t h = 0;
    EXPECT_TRUE(set::pyHash(Value::of(TagRecord, r), &h));
    EXPECT_EQ(h, int64_t(PyObject_Hash(tuple)));
    Py_DECREF(tuple);
    decref(Value::of(TagRecord, r));
}

// A comparing record meets Python objects through the object the conversion layer gives for
// it (its proxy; here a tuple of its fields stands in), and hashes through that layer's hash
// of its fields; a failure there is noted like a raising __eq__ or __hash__.
TEST_F(Hashing, AComparingRecordMeetsPythonThroughTheConversionLayer) {
    static Text fields[] = {{"x", 1}, {"y", 1}};
    RecordClass point{{"P", 1}, {"m.P", 3}, fields, 2, nullptr, nullptr, 1, 0, 1};
    Record* r = newRecord(&point);
    r->fields()[0] = Value::integer(3);
    r->fields()[1] = Value::integer(4);
    Value record = Value::of(TagRecord, r);
    PyObject* same = eval("(3, 4)");
    PyObject* other = eval("(3, 5)");
    EXPECT_FALSE(equal(record, Value::of(TagPy, same)));  // no conversion layer: no object
    Services saved = services;
    services.recordObject = [](Record* rec) -> PyObject* {
        return Py_BuildValue("(LL)", (long long)rec->fields()[0].payload,
                             (long long)rec->fields()[1].payload);
    };
    services.recordPyHash = [](Record*, int64_t* out) {
        *out = 77;
        return true;
    };
    EXPECT_TRUE(equal(record, Value::of(TagPy, same)));
    EXPECT_TRUE(equal(Value::of(TagPy, same), record));
    EXPECT_FALSE(equal(record, Value::of(TagPy, other)));
    Record* twin = newRecord(&point);
    twin->fields()[0] = Value::integer(3);
    twin->fields()[1] = Value::pint(4);
    EXPECT_EQ(hashOf(record), hashOf(Value::of(TagRecord, twin)));
    decref(Value::of(TagRecord, twin));
    services.recordObject = [](Record*) -> PyObject* {
        PyErr_SetString(PyExc_MemoryError, "no proxy");
        return nullptr;
    };
    services.recordPyHash = [](Record*, int64_t*) {
        PyErr_SetString(PyExc_TypeError, "unhashable field");
        return false;
    };
    EXPECT_FALSE(equal(record, Value::of(TagPy, same)));
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    EXPECT_EQ(takeFault().kind, FaultKind::python);
    hashOf(record);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    Fault f = takeFault();
    ASSERT_EQ(f.kind, FaultKind::python);
    EXPECT_TRUE(PyErr_GivenExceptionMatches(f.exception, PyExc_TypeError));
    Py_DECREF(f.exception);
    services = saved;
    Py_DECREF(same);
    Py_DECREF(other);
    decref(record);
}

// ---- Failures inside Python methods -------------------------------------------------------------

struct Raising {
    const char* name;
    const char* expression;
};

const Raising raising[] = {{"eq", "BadEq()"}, {"hash", "BadHash()"}, {"bool", "BadBool()"}};

class Failing : public Hashing, public ::testing::WithParamInterface<Raising> {
protected:
    void SetUp() override {
        Hashing::SetUp();
        run("class BadEq:\n"
            "    def __eq__(self, other): raise ValueError('eq boom')\n"
            "    __hash__ = object.__hash__\n"
            "class BadHash:\n"
            "    def __hash__(self): raise ValueError('hash boom')\n"
            "class BadBool:\n"
            "    def __bool__(self): raise ValueError('bool boom')\n");
    }
};

// The operation that meets the raising method answers a neutral value, notes the failure and
// leaves nothing pending; taking the fault gives the very exception back.
TEST_P(Failing, ARaisingMethodIsANotedFailureNeverAnAnswer) {
    PyObject* o = eval(GetParam().expression);
    Value v = Value::of(TagPy, o);
    std::string which = GetParam().name;
    int64_t h = 0;
    if (which == "eq") {
        EXPECT_FALSE(equal(v, Value::integer(1)));
    } else if (which == "hash") {
        hashOf(v);
        EXPECT_TRUE(faulted());
        clearFault();
        EXPECT_FALSE(set::pyHash(v, &h));
    } else {
        EXPECT_FALSE(truthy(v));
    }
    EXPECT_EQ(PyErr_Occurred(), nullptr) << "the exception was left pending";
    ASSERT_TRUE(faulted());
    EXPECT_TRUE(raiseFault());
    EXPECT_FALSE(faulted());
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* text = PyObject_Str(value);
    EXPECT_EQ(std::string(PyUnicode_AsUTF8(text)), which + " boom");
    Py_DECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    Py_DECREF(o);
}

INSTANTIATE_TEST_SUITE_P(Methods, Failing, ::testing::ValuesIn(raising),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hashing, TheFirstFailureWinsUntilTaken) {
    run("class BadBool:\n    def __bool__(self): raise KeyError('first')\n"
        "class Worse:\n    def __bool__(self): raise TypeError('second')\n");
    PyObject* first = eval("BadBool()");
    PyObject* second = eval("Worse()");
    truthy(Value::of(TagPy, first));
    truthy(Value::of(TagPy, second));
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    Fault f = takeFault();
    ASSERT_EQ(f.kind, FaultKind::python);
    EXPECT_TRUE(PyErr_GivenExceptionMatches(f.exception, PyExc_KeyError));
    Py_DECREF(f.exception);
    Py_DECREF(first);
    Py_DECREF(second);
}

// ---- Nesting ------------------------------------------------------------------------------------

// A list (or tuple) nested depth deep around an int.
Value nested(uint64_t tag, uint64_t depth) {
    Value v = Value::integer(7);
    for (uint64_t i = 0; i < depth; i++) {
        if (tag == TagList) {
            List* l = newList(0);
            listAppend(l, v);
            v = Value::of(TagList, l);
        } else {
            Tuple* t = newTuple(1);
            t->items()[0] = v;
            v = Value::of(TagTuple, t);
        }
    }
    return v;
}

TEST_F(Hashing, NestingBelowTheLimitIsFollowedToTheBottom) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's frames are several times larger: the stack's end, not the level limit,
    // then stops the walk first, as it must.
    GTEST_SKIP() << "frames under the address sanitizer are too large for the full depth";
#endif
    Value a = nested(TagList, kNestingLimit - 1), b = nested(TagList, kNestingLimit - 1);
    Value t = nested(TagTuple, kNestingLimit - 1), u = nested(TagTuple, kNestingLimit - 1);
    EXPECT_TRUE(equal(a, b));
    EXPECT_EQ(hashOf(t), hashOf(u));
    EXPECT_TRUE(hashable(t));
    int64_t h1 = 0, h2 = 0;
    EXPECT_TRUE(set::pyHash(t, &h1));
    EXPECT_TRUE(set::pyHash(u, &h2));
    EXPECT_EQ(h1, h2);
    EXPECT_FALSE(faulted());
    for (Value v : {a, b, t, u}) decref(v);
}

// A million levels would overflow the native stack if followed; each operation must instead
// give up at the limit with RecursionError's text. Run in a child process, so that a
// regression fails this test rather than killing the whole run.
TEST(Nesting, AMillionLevelsDeepFailWithRecursionErrorsText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto check = [] {
        constexpr uint64_t kDeep = 1000000;
        int wrong = 0;
        Value a = nested(TagList, kDeep), b = nested(TagList, kDeep);
        if (equal(a, b)) wrong |= 1;
        Fault f = takeFault();
        if (f.kind != FaultKind::tooDeep ||
            std::string(f.text) != "maximum recursion depth exceeded in comparison")
            wrong |= 2;
        Value t = nested(TagTuple, kDeep), u = nested(TagTuple, kDeep);
        hashOf(t);
        if (takeFault().kind != FaultKind::tooDeep) wrong |= 4;
        int64_t h = 0;
        if (set::pyHash(t, &h)) wrong |= 8;
        if (takeFault().kind != FaultKind::tooDeep) wrong |= 16;
        if (hashable(u)) wrong |= 32;
        if (takeFault().kind != FaultKind::tooDeep) wrong |= 64;
        if (equal(t, u)) wrong |= 128;
        if (takeFault().kind != FaultKind::tooDeep) wrong |= 256;
        for (Value v : {a, b, t, u}) decref(v);
        std::exit(wrong ? 1 : 0);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

// Below the level limit but on a thread whose stack is far too small to follow it: the walk
// must end at the stack's margin with the same failure. In a child process, as above.
TEST(Nesting, AThreadWithASmallStackStopsBeforeItsEnd) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto check = [] {
        struct Outcome {
            bool equalAnswered = true;
            FaultKind kind = FaultKind::none;
            FaultKind hashKind = FaultKind::none;
        } outcome;
        Value a = nested(TagList, kNestingLimit - 1), b = nested(TagList, kNestingLimit - 1);
        Value t = nested(TagTuple, kNestingLimit - 1);
        struct Work {
            Value a, b, t;
            Outcome* out;
        } work{a, b, t, &outcome};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 256 * 1024);
        pthread_t thread;
        auto body = [](void* p) -> void* {
            Work* w = static_cast<Work*>(p);
            w->out->equalAnswered = equal(w->a, w->b);
            w->out->kind = takeFault().kind;
            int64_t h = 0;
            set::pyHash(w->t, &h);
            w->out->hashKind = takeFault().kind;
            return nullptr;
        };
        if (pthread_create(&thread, &attr, body, &work) != 0) std::exit(3);
        pthread_join(thread, nullptr);
        for (Value v : {a, b, t}) decref(v);
        bool right = !outcome.equalAnswered && outcome.kind == FaultKind::tooDeep &&
                     outcome.hashKind == FaultKind::tooDeep;
        std::exit(right ? 0 : 1);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

// ---- Truth --------------------------------------------------------------------------------------

TEST_F(Hashing, PythonObjectsAreTrueAsPythonSays) {
    const char* cases[] = {"[]", "[0]", "0", "2**70", "''", "'x'", "None", "object()", "0.0"};
    for (const char* expression : cases) {
        PyObject* o = eval(expression);
        EXPECT_EQ(truthy(Value::of(TagPy, o)), PyObject_IsTrue(o) == 1) << expression;
        Py_DECREF(o);
    }
}

// The conversion layer hashes a comparing record through the tuple of its fields as Python
// objects: records with equal fields of Python objects hash alike, and a field whose
// __hash__ raises is a failure noted for the run, not a hash by class.
TEST_F(Hashing, AComparingRecordHashesThroughItsFieldsAsPythonObjects) {
    static Text fields[] = {{"x", 1}};
    static RecordClass box{{"B", 1}, {"m.B", 3}, fields, 1, nullptr, nullptr, 1, 0, 0};
    run("import fractions\n"
        "class Unhashable:\n"
        "    def __hash__(self): raise ValueError('no hash here')\n");
    auto make = [](const char* expression) {
        Record* r = newRecord(&box);
        r->fields()[0] = Value::of(TagPy, eval(expression));
        return Value::of(TagRecord, r);
    };
    Value half = make("fractions.Fraction(1, 2)"), alsoHalf = make("fractions.Fraction(2, 4)");
    Value third = make("fractions.Fraction(1, 3)"), bad = make("Unhashable()");
    EXPECT_EQ(hashOf(half), hashOf(alsoHalf));
    EXPECT_NE(hashOf(half), hashOf(third));  // by value, not one hash per class
    EXPECT_FALSE(faulted());
    hashOf(bad);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    Fault f = takeFault();
    ASSERT_EQ(f.kind, FaultKind::python);
    EXPECT_TRUE(PyErr_GivenExceptionMatches(f.exception, PyExc_ValueError));
    Py_DECREF(f.exception);
    for (Value v : {half, alsoHalf, third, bad}) decref(v);
}

}  // namespace

}  // namespace wuna
