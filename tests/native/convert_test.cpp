// Conversion between values and Python objects, checked against the running interpreter:
// ints at the 64- and 128-bit edges, bools, floats, strs and their subclasses, bytes identity,
// tuples, lists and dicts with the deep flag, exceptions with their arguments and causes,
// nesting past the recursion limit, and the record descriptions of dataclasses and slots
// classes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using value::Value;

// Holds the interpreter lock for the test and checks the live block count and that no
// Python error is left pending.
class Conversion : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        start = pool::liveBlocks();
        gil::ensure(gil::current());
        globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    }
    void TearDown() override {
        if (PyErr_Occurred()) {
            ADD_FAILURE() << "a Python error was left pending";
            PyErr_Print();
        }
        Py_CLEAR(globals);
        testing_support::endRun(gil::current());
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
    }
    PyObject* eval(const std::string& source) {
        PyObject* o = PyRun_String(source.c_str(), Py_eval_input, globals, globals);
        if (!o) PyErr_Print();
        return o;
    }
    void exec(const char* source) {
        PyObject* o = PyRun_String(source, Py_file_input, globals, globals);
        if (!o) PyErr_Print();
        Py_XDECREF(o);
    }
    bool pyEqual(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ) == 1; }
    PyObject* globals = nullptr;
    int64_t start = 0;
};

struct ConvertCase {
    const char* source;
    uint64_t tag;
};

class ConvertTable : public Conversion, public ::testing::WithParamInterface<ConvertCase> {};

// Each object converts to the expected tag, and back to an equal object of the same type
// (a Python-object value back to the very object).
TEST_P(ConvertTable, ConvertsToItsTagAndBackToAnEqualObject) {
    ConvertCase c = GetParam();
    PyObject* o = eval(c.source);
    ASSERT_NE(o, nullptr);
    Value v{};
    ASSERT_EQ(convert::convert(o, false, &v), 0) << c.source;
    EXPECT_EQ(v.tag, c.tag) << c.source;
    PyObject* back = convert::toPython(v, nullptr);
    ASSERT_NE(back, nullptr) << c.source;
    EXPECT_TRUE(pyEqual(back, o)) << c.source;
    EXPECT_EQ(Py_TYPE(back), Py_TYPE(o)) << c.source;
    if (c.tag == value::TagPy) {
        EXPECT_EQ(back, o);
    }
    Py_DECREF(back);
    value::decref(v);
    Py_DECREF(o);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertTable,
    ::testing::Values(ConvertCase{"5", value::TagPint}, ConvertCase{"-2**63", value::TagPint},
                      ConvertCase{"2**63 - 1", value::TagPint}, ConvertCase{"2**63", value::TagBig},
                      ConvertCase{"-2**63 - 1", value::TagBig},
                      ConvertCase{"2**127 - 1", value::TagBig},
                      ConvertCase{"-2**127", value::TagBig}, ConvertCase{"2**127", value::TagPy},
                      ConvertCase{"-2**127 - 1", value::TagPy}, ConvertCase{"2**200", value::TagPy},
                      ConvertCase{"True", value::TagBool}, ConvertCase{"False", value::TagBool},
                      ConvertCase{"None", value::TagNone}, ConvertCase{"-0.0", value::TagFloat},
                      ConvertCase{"float('inf')", value::TagFloat},
                      ConvertCase{"'h\u00e9llo \U0001f600'", value::TagStr},
                      ConvertCase{"''", value::TagStr}, ConvertCase{"'\\ud800'", value::TagPy},
                      ConvertCase{"type('S', (str,), {})('x')", value::TagPy},
                      ConvertCase{"type('I', (int,), {})(3)", value::TagPy},
                      ConvertCase{"type('F', (float,), {})(3.5)", value::TagPy},
                      ConvertCase{"(1, 'a', (2.5, None, 2**100), ())", value::TagTuple},
                      ConvertCase{"b'\\x00bytes'", value::TagBytes},
                      ConvertCase{"[1, 2]", value::TagPy}, ConvertCase{"{'a': 1}", value::TagPy},
                      ConvertCase{"frozenset({1})", value::TagPy},
                      ConvertCase{"1j", value::TagPy}));

TEST_F(Conversion, BytesComeBackAsTheVeryObject) {
    PyObject* o = eval("b'shared'");
    Value v{};
    ASSERT_EQ(convert::convert(o, false, &v), 0);
    EXPECT_TRUE(v.as<value::Bytes>()->h.flags & value::FlagImmutable);
    PyObject* back = convert::toPython(v, nullptr);
    EXPECT_EQ(back, o);
    Py_XDECREF(back);
    value::decref(v);
    Py_DECREF(o);
}

// The module's I64 converts to the checked int (tag 2), a plain int to tag 18. The module is
// not imported in these tests: a stand-in named as the module names it takes its place.
TEST_F(Conversion, AnI64IsTheCheckedIntAndAPlainIntThePlainOne) {
    exec(
        "import sys, types\n"
        "stand_in = types.ModuleType('wuna')\n"
        "class I64(int): pass\n"
        "I64.__name__ = 'int'\n"
        "stand_in.I64 = I64\n"
        "sys.modules['wuna'] = stand_in\n");
    struct Case {
        const char* source;
        uint64_t tag;
    };
    const Case cases[] = {{"I64(5)", value::TagInt},      {"5", value::TagPint},
                          {"I64(-2**63)", value::TagInt}, {"I64(2**63)", value::TagBig},
                          {"I64(2**200)", value::TagPy},  {"True", value::TagBool}};
    for (const Case& c : cases) {
        PyObject* o = eval(c.source);
        Value v{};
        ASSERT_EQ(convert::convert(o, false, &v), 0) << c.source;
        EXPECT_EQ(v.tag, c.tag) << c.source;
        value::decref(v);
        Py_DECREF(o);
    }
    // The conversion keeps the type it found for the process: it must outlive the stand-in.
    Py_INCREF(PyDict_GetItemString(globals, "I64"));
    exec("del sys.modules['wuna']\n");
}

TEST_F(Conversion, CheckedAndPlainIntsBothBecomeInts) {
    for (Value v : {Value::integer(-7), Value::pint(-7)}) {
        PyObject* o = convert::toPython(v, nullptr);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(PyLong_AsLong(o), -7);
        Py_DECREF(o);
    }
}

TEST_F(Conversion, AListOrDictOnlyTheCallerHoldsIsCopiedDeep) {
    PyObject* list = eval("[1, 'two', [3.0], {'k': (4,)}]");
    ASSERT_EQ(Py_REFCNT(list), 1);
    Value v{};
    ASSERT_EQ(convert::convert(list, true, &v), 0);
    ASSERT_EQ(v.tag, value::TagList);
    value::List* l = v.as<value::List>();
    ASSERT_EQ(l->count, 4u);
    EXPECT_EQ(l->items[0].tag, value::TagPint);
    EXPECT_EQ(l->items[1].tag, value::TagStr);
    EXPECT_EQ(l->items[2].tag, value::TagList) << "held by the list alone: deep too";
    ASSERT_EQ(l->items[3].tag, value::TagDict);
    value::Dict* d = l->items[3].as<value::Dict>();
    EXPECT_EQ(d->length, 1u);
    value::decref(v);
    // Referenced from elsewhere, the inner list stays Python's: mutations stay visible.
    exec("inner = [1]\nouter = [inner]");
    PyObject* outer = Py_NewRef(PyDict_GetItemString(globals, "outer"));
    PyDict_DelItemString(globals, "outer");  // held by this test alone now
    ASSERT_EQ(Py_REFCNT(outer), 1);
    ASSERT_EQ(convert::convert(outer, true, &v), 0);
    EXPECT_EQ(v.as<value::List>()->items[0].tag, value::TagPy);
    value::decref(v);
    Py_DECREF(outer);
    Py_DECREF(list);
}

TEST_F(Conversion, AnExceptionValueBecomesItsClassWithArgsAndCause) {
    value::Tuple* args = value::newTuple(2);
    args->items()[0] = Value::of(value::TagStr, value::newStr("bad", 3));
    args->items()[1] = Value::integer(3);
    Value a = Value::of(value::TagTuple, args);
    value::Exc* e =
        value::newExc(uint32_t(errors::Kind::ValueError), a, Value::none(), Value::none(), 1);
    value::Exc* cause =
        value::newExc(uint32_t(errors::Kind::KeyError), a, Value::none(), Value::none(), 1);
    value::decref(a);
    e->cause = Value::of(value::TagExc, cause);
    PyObject* o = convert::toPython(Value::of(value::TagExc, e), nullptr);
    ASSERT_NE(o, nullptr);
    PyObject* expected = eval("ValueError('bad', 3)");
    EXPECT_EQ(Py_TYPE(o), Py_TYPE(expected));
    PyObject* got = PyObject_GetAttrString(o, "args");
    PyObject* want = PyObject_GetAttrString(expected, "args");
    EXPECT_TRUE(pyEqual(got, want));
    PyObject* c = PyException_GetCause(o);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(PyObject_TypeCheck(c, reinterpret_cast<PyTypeObject*>(PyExc_KeyError)));
    Py_XDECREF(c);
    Py_XDECREF(got);
    Py_XDECREF(want);
    Py_DECREF(expected);
    Py_DECREF(o);
    value::decref(Value::of(value::TagExc, e));
}

TEST_F(Conversion, AnErrorWithAMessageGoesThroughTheRunsErrorCallback) {
    static int32_t seenSite = 0;
    static std::string seenText;
    helpers::ConversionContext cx = *convert::defaultContext();
    cx.error = [](void*, int32_t site, const char* text, uint64_t length) -> PyObject* {
        seenSite = site;
        seenText.assign(text, length);
        return PyUnicode_FromString("the run's error");
    };
    Value message = Value::of(value::TagStr, value::newStr("it broke", 8));
    value::Tuple* args = value::newTuple(1);
    args->items()[0] = message;
    value::incref(message);
    Value a = Value::of(value::TagTuple, args);
    value::Exc* e = value::newExc(uint32_t(errors::Kind::Error), a, Value::none(), message, 42);
    value::decref(a);
    value::decref(message);
    PyObject* o = convert::toPython(Value::of(value::TagExc, e), &cx);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(seenSite, 42);
    EXPECT_EQ(seenText, "it broke");
    Py_DECREF(o);
    value::decref(Value::of(value::TagExc, e));
}

TEST_F(Conversion, UnprovidedFormsFailWithAnError) {
    value::List* l = value::newList(0);
    EXPECT_EQ(convert::toPython(Value::of(value::TagList, l), nullptr), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
    PyErr_Clear();
    value::decref(Value::of(value::TagList, l));
    EXPECT_EQ(convert::toPython(Value{value::TagNodeIndex, 3}, nullptr), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError)) << "a node outside its run";
    PyErr_Clear();
    EXPECT_EQ(convert::toPython(Value{77, 0}, nullptr), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyErr_Clear();
}

// Nesting deeper than the interpreter allows fails with Python's RecursionError instead of
// exhausting the native stack; run in a child process, so that a regression fails the test.
TEST(ConversionDepth, DeepNestingFailsWithRecursionErrorNotACrash) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            testing_support::needPython();
            gil::enter();
            PyObject* globals = PyDict_New();
            PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
            PyObject* nested =
                PyRun_String("(lambda: [t := (), [t := (t,) for _ in range(300000)], t][2])()",
                             Py_eval_input, globals, globals);
            Value v{};
            bool refused = nested && convert::convert(nested, false, &v) < 0 &&
                           PyErr_ExceptionMatches(PyExc_RecursionError);
            PyErr_Clear();
            // A native tuple nested as deep: to Python fails the same way, freeing is flat.
            Value chain = Value::none();
            for (int i = 0; i < 300000; i++) {
                value::Tuple* t = value::newTuple(1);
                t->items()[0] = chain;
                chain = Value::of(value::TagTuple, t);
            }
            PyObject* o = convert::toPython(chain, nullptr);
            bool refusedBack = !o && PyErr_ExceptionMatches(PyExc_RecursionError);
            PyErr_Clear();
            value::decref(chain);
            std::_Exit(refused && refusedBack ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- Record descriptions --------------------------------------------------------------------

struct DescribeCase {
    const char* name;
    bool record;
    std::vector<std::string> fields;
};

class Describe : public Conversion, public ::testing::WithParamInterface<DescribeCase> {};

constexpr char kClasses[] = R"PY(
import dataclasses

@dataclasses.dataclass
class Plain:
    x: int
    y: int = 0

@dataclasses.dataclass(frozen=True)
class Frozen:
    a: int

@dataclasses.dataclass
class Child(Plain):
    z: int = 1

@dataclasses.dataclass(order=True)
class Ordered:
    a: int

@dataclasses.dataclass
class PostInit:
    a: int
    def __post_init__(self): pass

@dataclasses.dataclass
class OwnEq:
    a: int
    def __eq__(self, other): return True

@dataclasses.dataclass(eq=False)
class OwnHash:
    a: int
    def __hash__(self): return 1

@dataclasses.dataclass
class OwnBool:
    a: int
    def __bool__(self): return False

@dataclasses.dataclass
class OwnLen:
    a: int
    def __len__(self): return 0

class Slots:
    __slots__ = ('a', '__secret')
    def __init__(self): pass

class _Under:
    __slots__ = '__hidden'

class SlotsChild(Slots):
    __slots__ = ('b',)

class SlotsEq:
    __slots__ = ('a',)
    def __eq__(self, other): return True

class NoSlotsBase:
    pass

class SlotsOnPlain(NoSlotsBase):
    __slots__ = ('a',)

class WithDict:
    __slots__ = ('a', '__dict__')

class Plainest:
    pass
)PY";

TEST_P(Describe, ClassesAreRecordsOnlyWhenNativeEqualityHashAndTruthHold) {
    const DescribeCase& c = GetParam();
    exec(kClasses);
    PyObject* cls = PyDict_GetItemString(globals, c.name);
    ASSERT_NE(cls, nullptr) << c.name;
    value::RecordClass* d = nullptr;
    convert::Described got = convert::describeClass(cls, &d);
    ASSERT_NE(got, convert::Described::Failed) << c.name;
    EXPECT_EQ(got == convert::Described::Record, c.record) << c.name;
    if (got != convert::Described::Record) return;
    EXPECT_EQ(std::string(d->name.data, d->name.length), c.name);
    std::vector<std::string> fields;
    for (uint64_t i = 0; i < d->fieldCount; i++)
        fields.emplace_back(d->fields[i].data, d->fields[i].length);
    EXPECT_EQ(fields, c.fields);
    EXPECT_EQ(d->pyClass, cls);
    value::RecordClass* again = nullptr;
    EXPECT_EQ(convert::describeClass(cls, &again), convert::Described::Record);
    EXPECT_EQ(again, d) << "cached";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Describe,
    ::testing::Values(DescribeCase{"Plain", true, {"x", "y"}}, DescribeCase{"Frozen", true, {"a"}},
                      DescribeCase{"Child", true, {"x", "y", "z"}},
                      DescribeCase{"Ordered", false, {}}, DescribeCase{"PostInit", false, {}},
                      DescribeCase{"OwnEq", false, {}}, DescribeCase{"OwnHash", false, {}},
                      DescribeCase{"OwnBool", false, {}}, DescribeCase{"OwnLen", false, {}},
                      DescribeCase{"Slots", true, {"a", "_Slots__secret"}},
                      DescribeCase{"_Under", true, {"_Under__hidden"}},
                      DescribeCase{"SlotsChild", true, {"a", "_Slots__secret", "b"}},
                      DescribeCase{"SlotsEq", false, {}}, DescribeCase{"SlotsOnPlain", false, {}},
                      DescribeCase{"WithDict", false, {}}, DescribeCase{"Plainest", false, {}}),
    [](const auto& info) {
        return std::string(info.param.name[0] == '_' ? "Under" : info.param.name);
    });

TEST_F(Conversion, RecordFlagsFollowTheDataclassParameters) {
    exec(kClasses);
    value::RecordClass* plain = nullptr;
    value::RecordClass* frozen = nullptr;
    value::RecordClass* child = nullptr;
    ASSERT_EQ(convert::describeClass(PyDict_GetItemString(globals, "Plain"), &plain),
              convert::Described::Record);
    ASSERT_EQ(convert::describeClass(PyDict_GetItemString(globals, "Frozen"), &frozen),
              convert::Described::Record);
    ASSERT_EQ(convert::describeClass(PyDict_GetItemString(globals, "Child"), &child),
              convert::Described::Record);
    EXPECT_EQ(plain->eq, 1);
    EXPECT_EQ(plain->frozen, 0);
    EXPECT_EQ(plain->slots, 0);
    EXPECT_EQ(frozen->frozen, 1);
    EXPECT_EQ(child->base, plain);
}

TEST_F(Conversion, RunScriptGivesItsGlobalsOrTheError) {
    PyObject* g = convert::runScript("x = 6 * 7\n");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(PyLong_AsLong(PyDict_GetItemString(g, "x")), 42);
    Py_DECREF(g);
    EXPECT_EQ(convert::runScript("raise KeyError('k')\n"), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    PyErr_Clear();
}

TEST_F(Conversion, StrArgRefusesWhatIsNoStr) {
    Py_ssize_t n = 0;
    PyObject* five = PyLong_FromLong(5);
    EXPECT_EQ(convert::strArg(five, "field", &n), nullptr);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    EXPECT_EQ(type, PyExc_TypeError);
    PyObject* s = PyObject_Str(value);
    EXPECT_STREQ(PyUnicode_AsUTF8(s), "field must be a str");
    Py_DECREF(s);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    Py_DECREF(five);
}

}  // namespace

}  // namespace wuna
