// Shapes of values known while compiling: which shape a Python object becomes (ints that fit
// 64 bits by their exact type, bools before ints, str and float subclasses, tuples item by
// item, everything else kept as an object), which object a shape becomes again, which
// variants have no Python form, and the constant tests. One row: a Python expression and the
// shape written as text; then the way back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/backend/compile.h"
#include "compiler/front/shape.h"
#include "tests/native/python_test_support.h"

namespace wuna::compile {

namespace {

// I64 stands in for the module's checked int: a subclass of int of its own.
constexpr char kValues[] = R"PY(
import enum

class I64(int):
    pass

class Name(str):
    pass

class Ratio(float):
    pass

class Pair(tuple):
    pass

class Color(enum.IntEnum):
    RED = 1

def value(src):
    return eval(src)

def deep(n):
    t = ()
    for _ in range(n):
        t = (t,)
    return t

def shared(n):
    t = ()
    for _ in range(n):
        t = (t, t)
    return t
)PY";

// "pint 5", "int 5", "str 'a'", "tuple(pint 1,float 2.5)", "py bytes".
std::string describe(const Shape& s) {
    switch (s.kind) {
    case ShapeKind::bool_:
        return s.bool_ ? "bool True" : "bool False";
    case ShapeKind::int_:
    case ShapeKind::pint:
        return std::string(kindName(s.kind)) + " " + std::to_string(s.int_);
    case ShapeKind::float_: {
        char text[64];
        snprintf(text, sizeof text, "float %g", s.float_);
        return text;
    }
    case ShapeKind::str:
        return "str '" + std::string(s.str.data, s.str.length) + "'";
    case ShapeKind::tuple: {
        std::string out = "tuple(";
        for (uint64_t i = 0; i < s.tuple.count; i++) {
            if (i) out += ",";
            out += describe(s.tuple.items[i]);
        }
        return out + ")";
    }
    case ShapeKind::py:
        return std::string("py ") + Py_TYPE(s.py)->tp_name;
    default:
        return kindName(s.kind);
    }
}

class Shapes : public testing_support::WithHelpers<::testing::Test> {
protected:
    Shapes() : WithHelpers(kValues) {}
    void SetUp() override {
        WithHelpers::SetUp();
        init(&c_, nullptr, "t", 1);
        c_.i64Type = PyDict_GetItemString(helpers_, "I64");
    }
    void TearDown() override {
        release(&c_);
        WithHelpers::TearDown();
    }
    PyObject* value(const char* src) {
        PyObject* text = PyUnicode_FromString(src);
        PyObject* v = call("value", text);
        Py_DECREF(text);
        EXPECT_NE(v, nullptr) << src;
        return v;
    }
    // The shape of the value of src as text, or "error <status>".
    std::string shapeText(const char* src, Shape* shape = nullptr) {
        PyObject* v = value(src);
        if (!v) return "no value";
        Shape s{};
        Status status = fromPython(&c_, v, &s);
        Py_DECREF(v);
        if (shape) *shape = s;
        if (status != Status::ok) return "error " + std::to_string(int(status));
        return describe(s);
    }
    std::string message() const { return std::string(c_.message.items, c_.message.count); }

    Compiler c_;
};

struct Row {
    const char* source;
    const char* shape;
};

TEST_F(Shapes, FromPythonByExactType) {
    static const Row rows[] = {
        {"None", "none"},
        {"True", "bool True"},
        {"False", "bool False"},
        {"5", "pint 5"},
        {"-5", "pint -5"},
        {"I64(5)", "int 5"},
        {"I64(-9223372036854775808)", "int -9223372036854775808"},
        {"9223372036854775807", "pint 9223372036854775807"},
        {"9223372036854775808", "py int"},
        {"-9223372036854775809", "py int"},
        {"I64(9223372036854775808)", "py I64"},
        {"Color.RED", "py Color"},
        {"2.5", "float 2.5"},
        {"Ratio(0.5)", "float 0.5"},
        {"''", "str ''"},
        {"'héllo'", "str 'héllo'"},
        {"Name('n')", "str 'n'"},
        {"()", "tuple()"},
        {"(1, (2.5, 'a'))", "tuple(pint 1,tuple(float 2.5,str 'a'))"},
        {"Pair((True, None))", "tuple(bool True,none)"},
        {"(1, [2])", "tuple(pint 1,py list)"},
        {"[1, 2]", "py list"},
        {"{'a': 1}", "py dict"},
        {"b'x'", "py bytes"},
        {"frozenset()", "py frozenset"},
        {"len", "py builtin_function_or_method"},
    };
    for (const Row& row : rows) EXPECT_EQ(shapeText(row.source), row.shape) << row.source;
}

TEST_F(Shapes, ObjectsAreKeptOnceEach) {
    PyObject* big = value("2**64");
    Shape a{}, b{};
    ASSERT_EQ(fromPython(&c_, big, &a), Status::ok);
    ASSERT_EQ(fromPython(&c_, big, &b), Status::ok);
    EXPECT_EQ(a.py, big);
    EXPECT_EQ(c_.objects.count, 1u);
    // The compiler's reference keeps the object alive after ours is gone.
    Py_ssize_t before = Py_REFCNT(big);
    Py_DECREF(big);
    EXPECT_EQ(Py_REFCNT(a.py), before - 1);
    // Constants of the shape's own kinds keep nothing.
    EXPECT_EQ(shapeText("(1, 'a', 2.5)"), "tuple(pint 1,str 'a',float 2.5)");
    EXPECT_EQ(c_.objects.count, 1u);
}

// A str with lone surrogates has no UTF-8, so no native str block: it stays the Python str,
// kept in the object list (as a run-time conversion keeps it), with no exception left pending;
// inside a tuple too.
TEST_F(Shapes, StrWithoutUtf8StaysThePythonStr) {
    Shape s{};
    EXPECT_EQ(shapeText("'a\\udcff'", &s), "py str");
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(c_.objects.count, 1u);
    EXPECT_EQ(PyUnicode_GetLength(s.py), 2);
    EXPECT_EQ(shapeText("('x', '\\ud800')"), "tuple(str 'x',py str)");
    EXPECT_FALSE(PyErr_Occurred());
}

// Back to Python: the exact type and value of the object, or the refusal.
struct BackRow {
    const char* source;
    const char* repr;  // repr of (type name, value)
};

TEST_F(Shapes, ToPythonGivesTheTypesBack) {
    static const BackRow rows[] = {
        {"None", "('NoneType', None)"},
        {"True", "('bool', True)"},
        {"I64(5)", "('I64', 5)"},
        {"5", "('int', 5)"},
        {"Ratio(0.5)", "('float', 0.5)"},
        {"Name('n')", "('str', 'n')"},
        {"(1, (2.5, 'a'))", "('tuple', (1, (2.5, 'a')))"},
        {"Pair((1,))", "('tuple', (1,))"},
        {"2**70", "('int', 1180591620717411303424)"},
        {"b'x'", "('bytes', b'x')"},
    };
    for (const BackRow& row : rows) {
        Shape s{};
        ASSERT_EQ(shapeText(row.source, &s).rfind("error", 0), std::string::npos) << row.source;
        PyObject* back = nullptr;
        ASSERT_EQ(toPython(&c_, s, &back), Status::ok) << row.source;
        PyObject* pair = Py_BuildValue("(sO)", Py_TYPE(back)->tp_name, back);
        PyObject* repr = PyObject_Repr(pair);
        EXPECT_STREQ(PyUnicode_AsUTF8(repr), row.repr) << row.source;
        Py_DECREF(repr);
        Py_DECREF(pair);
        Py_DECREF(back);
    }
    // The tuple's items are plain ints, whatever I64 is.
    Shape s{};
    shapeText("(1,)", &s);
    PyObject* back = nullptr;
    ASSERT_EQ(toPython(&c_, s, &back), Status::ok);
    EXPECT_TRUE(PyLong_CheckExact(PyTuple_GET_ITEM(back, 0)));
    Py_DECREF(back);
}

TEST_F(Shapes, VariantsWithoutAPythonFormAreRefused) {
    static const ShapeKind kinds[] = {ShapeKind::node,    ShapeKind::list,   ShapeKind::dict,
                                      ShapeKind::rt,      ShapeKind::rtMethod, ShapeKind::control,
                                      ShapeKind::method,  ShapeKind::dyn};
    for (ShapeKind kind : kinds) {
        Shape inner{};
        inner.kind = kind;
        Shape outer{};
        outer.kind = ShapeKind::tuple;
        outer.tuple.items = &inner;
        outer.tuple.count = 1;
        c_.message.clear();
        (void)c_.message.push('x');  // replaced, not appended to
        PyObject* back = nullptr;
        EXPECT_EQ(toPython(&c_, outer, &back), Status::unsupported);
        EXPECT_EQ(back, nullptr);
        EXPECT_EQ(message(), std::string("a ") + kindName(kind) +
                                 " where a value known when compiling is needed (a slice's "
                                 "bounds...)");
    }
}

struct ConstantRow {
    const char* source;
    bool constant;
    bool plain;
};

TEST_F(Shapes, ConstantTests) {
    static const ConstantRow rows[] = {
        {"None", true, true},        {"True", true, true},       {"I64(3)", true, true},
        {"3", true, true},           {"1.5", true, true},        {"'s'", true, true},
        {"()", true, true},          {"(1, ('a', None))", true, true},
        {"2**64", true, false},      {"(1, 2**64)", true, false}, {"b'x'", false, false},
        {"(1, b'x')", false, false}, {"Color.RED", false, false}, {"[1]", false, false},
    };
    for (const ConstantRow& row : rows) {
        Shape s{};
        ASSERT_EQ(shapeText(row.source, &s).rfind("error", 0), std::string::npos);
        EXPECT_EQ(isConstant(s), row.constant) << row.source;
        EXPECT_EQ(isPlainConstant(s), row.plain) << row.source;
    }
    front::ListRecord* list = front::newListRecord(&c_);
    ASSERT_NE(list, nullptr);
    Shape l{};
    l.kind = ShapeKind::list;
    l.list = list;
    EXPECT_FALSE(isConstant(l));
    EXPECT_FALSE(isPlainConstant(l));
}

TEST_F(Shapes, ImmutableConstants) {
    static const ConstantRow rows[] = {
        {"None", true, true},          {"'a'", true, true},          {"1.5", true, true},
        {"False", true, true},         {"2**80", true, true},        {"(1, 'a', None)", true, true},
        {"()", true, true},            {"(1, [2])", false, false},   {"frozenset()", false, false},
        {"Name('a')", false, false},   {"I64(1)", false, false},     {"Pair(())", false, false},
        {"b'x'", false, false},
    };
    for (const ConstantRow& row : rows) {
        PyObject* v = value(row.source);
        EXPECT_EQ(front::isImmutableConstant(v), row.constant) << row.source;
        Py_DECREF(v);
    }
}

TEST_F(Shapes, RecordsStartEmptyWithTheirWordSet) {
    front::ListRecord* list = front::newListRecord(&c_);
    front::DictRecord* dict = front::newDictRecord(&c_);
    ASSERT_TRUE(list && dict);
    EXPECT_EQ(list->word, 0xFFFFFFFFu);
    EXPECT_EQ(dict->word, 0xFFFFFFFFu);
    EXPECT_EQ(list->comptime | list->released | dict->comptime, 0);
    for (int i = 0; i < 100; i++) {
        Shape item{};
        item.kind = ShapeKind::pint;
        item.int_ = i;
        ASSERT_EQ(front::appendItem(&c_, list, item), Status::ok);
        ASSERT_EQ(front::appendEntry(&c_, dict, item, item), Status::ok);
    }
    ASSERT_EQ(list->length, 100u);
    ASSERT_EQ(dict->keyLength, 100u);
    ASSERT_EQ(dict->valueLength, 100u);
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(list->items[i].int_, i);
        EXPECT_EQ(dict->values[i].int_, i);
    }
}

// A tuple nested past the recursion limit is Python's RecursionError, not a crash; one that
// shares its parts at every level is refused by the item budget, not converted for ever.
TEST_F(Shapes, DeepAndSharedTuplesEnd) {
    PyObject* n = PyLong_FromLong(200000);
    PyObject* deep = call("deep", n);
    Py_DECREF(n);
    ASSERT_NE(deep, nullptr);
    Shape s{};
    EXPECT_EQ(fromPython(&c_, deep, &s), Status::pythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RecursionError));
    PyErr_Clear();
    EXPECT_FALSE(front::isImmutableConstant(deep));
    EXPECT_FALSE(PyErr_Occurred());
    Py_DECREF(deep);

    n = PyLong_FromLong(60);
    PyObject* shared = call("shared", n);
    Py_DECREF(n);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(fromPython(&c_, shared, &s), Status::unsupported);
    EXPECT_FALSE(front::isImmutableConstant(shared));
    EXPECT_NE(message().find("more than 1048576 items"), std::string::npos) << message();
    Py_DECREF(shared);
    // A conversion's budget is its own: the next one starts afresh.
    EXPECT_EQ(shapeText("(1, 2)"), "tuple(pint 1,pint 2)");
}

}  // namespace

}  // namespace wuna::compile
