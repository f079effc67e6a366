// Values around wuna.comptime calls: which shapes may be passed and what object a function
// receives for each, the shapes of results (lists and dicts as records holding the returned
// object itself, with the comptime mark), results that contain themselves, and the texts of
// an exception a compile-time call raised.
#include <gtest/gtest.h>
#include "compiler/front/comptime.h"

#include <cstring>
#include <string>

#include "compiler/backend/compile.h"
#include "tests/native/python_test_support.h"

namespace wuna::compile {

namespace {

constexpr char kResults[] = R"PY(
class Items(list):
    pass

def value(src):
    return eval(src)

def cyclic(kind):
    if kind == "list":
        a = [1]
        a.append(a)
        return a
    if kind == "through dict":
        a = []
        a.append({"k": (1, a)})
        return a
    if kind == "dict":
        d = {}
        d["self"] = [d]
        return d

def shared():
    a = [1]
    return [a, a, (a,)]

def raiser(kind):
    if kind == "value":
        raise ValueError("bad value")
    if kind == "empty":
        raise KeyError
    if kind == "empty str":
        raise RuntimeError("")
    class BadStr(Exception):
        def __str__(self):
            raise TypeError("no text")
    raise BadStr()
)PY";

// A shape as text: lists and dicts show their mark and whether they hold their source.
std::string describe(const Shape& s) {
    switch (s.kind) {
    case ShapeKind::int_:
    case ShapeKind::pint:
        return std::string(kindName(s.kind)) + " " + std::to_string(s.int_);
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
    case ShapeKind::list: {
        std::string out = s.list->comptime ? "list*[" : "list[";
        for (uint64_t i = 0; i < s.list->length; i++) {
            if (i) out += ",";
            out += describe(s.list->items[i]);
        }
        return out + "]";
    }
    case ShapeKind::dict: {
        std::string out = s.dict->comptime ? "dict*{" : "dict{";
        for (uint64_t i = 0; i < s.dict->keyLength; i++) {
            if (i) out += ",";
            out += describe(s.dict->keys[i]);
            out += ":";
            out += describe(s.dict->values[i]);
        }
        return out + "}";
    }
    case ShapeKind::py:
        return std::string("py ") + Py_TYPE(s.py)->tp_name;
    default:
        return kindName(s.kind);
    }
}

class Comptime : public testing_support::WithHelpers<::testing::Test> {
protected:
    Comptime() : WithHelpers(kResults) {}
    void SetUp() override {
        WithHelpers::SetUp();
        init(&c_, nullptr, "t", 1);
    }
    void TearDown() override {
        release(&c_);
        WithHelpers::TearDown();
    }
    PyObject* callText(const char* name, const char* arg) {
        PyObject* text = PyUnicode_FromString(arg);
        PyObject* v = call(name, text);
        Py_DECREF(text);
        EXPECT_NE(v, nullptr) << arg;
        return v;
    }
    std::string message() const { return std::string(c_.message.items, c_.message.count); }

    Compiler c_;
};

struct Row {
    const char* source;
    const char* shape;
};

TEST_F(Comptime, ResultShapes) {
    static const Row rows[] = {
        {"[1, (2, 'a')]", "list*[pint 1,tuple(pint 2,str 'a')]"},
        {"{(1, 2): [3]}", "dict*{tuple(pint 1,pint 2):list*[pint 3]}"},
        {"([1], {'k': None})", "tuple(list*[pint 1],dict*{str 'k':none})"},
        {"{'k': ([2],)}", "dict*{str 'k':tuple(list*[pint 2])}"},
        {"Items([1])", "py Items"},
        {"7", "pint 7"},
        {"b'xyz'", "py bytes"},
        {"[]", "list*[]"},
    };
    for (const Row& row : rows) {
        PyObject* v = callText("value", row.source);
        Shape s{};
        ASSERT_EQ(front::comptimeResult(&c_, v, &s), Status::ok) << row.source;
        EXPECT_EQ(describe(s), row.shape) << row.source;
        Py_DECREF(v);
    }
}

// The record holds the returned list itself, alive after the caller lets go of it.
TEST_F(Comptime, RecordsHoldTheirSource) {
    PyObject* v = callText("value", "[1, [2]]");
    Shape s{};
    ASSERT_EQ(front::comptimeResult(&c_, v, &s), Status::ok);
    EXPECT_EQ(s.list->source, v);
    EXPECT_EQ(s.list->literal, nullptr);
    EXPECT_EQ(s.list->word, 0xFFFFFFFFu);
    EXPECT_EQ(s.list->released, 0);
    EXPECT_EQ(s.list->items[1].list->source, PyList_GET_ITEM(v, 1));
    Py_ssize_t before = Py_REFCNT(v);
    Py_DECREF(v);
    EXPECT_EQ(Py_REFCNT(s.list->source), before - 1);
    // Passed on to another compile-time call, it is that same object.
    PyObject* argument = nullptr;
    ASSERT_EQ(toArgument(&c_, s, &argument), Status::ok);
    EXPECT_EQ(argument, s.list->source);
    Py_DECREF(argument);
}

TEST_F(Comptime, SharedPartsAreNotCycles) {
    PyObject* v = call("shared");
    Shape s{};
    ASSERT_EQ(front::comptimeResult(&c_, v, &s), Status::ok);
    EXPECT_EQ(describe(s), "list*[list*[pint 1],list*[pint 1],tuple(list*[pint 1])]");
    Py_DECREF(v);
}

TEST_F(Comptime, ResultsThatContainThemselvesAreRefused) {
    for (const char* kind : {"list", "through dict", "dict"}) {
        PyObject* v = callText("cyclic", kind);
        Shape s{};
        c_.message.clear();
        EXPECT_EQ(front::comptimeResult(&c_, v, &s), Status::unsupported) << kind;
        EXPECT_EQ(message(),
                  "a wuna.comptime result can't contain itself (a list, dict or tuple that holds "
                  "itself has no value known when compiling)")
            << kind;
        EXPECT_FALSE(PyErr_Occurred());
        Py_DECREF(v);
    }
}

TEST_F(Comptime, Arguments) {
    Shape fromDisplay{};
    fromDisplay.kind = ShapeKind::list;
    fromDisplay.list = front::newListRecord(&c_);
    Shape node{};
    node.kind = ShapeKind::node;
    Shape tupleWithNode{};
    tupleWithNode.kind = ShapeKind::tuple;
    tupleWithNode.tuple.items = &node;
    tupleWithNode.tuple.count = 1;
    EXPECT_FALSE(isComptimeArgument(fromDisplay));
    EXPECT_FALSE(isComptimeArgument(node));
    EXPECT_FALSE(isComptimeArgument(tupleWithNode));
    for (ShapeKind kind : {ShapeKind::rt, ShapeKind::rtMethod, ShapeKind::control,
                           ShapeKind::method, ShapeKind::dyn}) {
        Shape s{};
        s.kind = kind;
        EXPECT_FALSE(isComptimeArgument(s)) << kindName(kind);
    }
    // A display's list has no Python form to pass.
    PyObject* out = nullptr;
    EXPECT_EQ(toArgument(&c_, fromDisplay, &out), Status::unsupported);
    EXPECT_EQ(message(),
              "a list where a value known when compiling is needed (a slice's bounds...)");

    PyObject* v = callText("value", "(1, [2], {'a': 1}, 'x', None, 2**70, b'xyz')");
    Shape s{};
    ASSERT_EQ(front::comptimeResult(&c_, v, &s), Status::ok);
    EXPECT_TRUE(isComptimeArgument(s));
    ASSERT_EQ(toArgument(&c_, s, &out), Status::ok);
    EXPECT_EQ(PyObject_RichCompareBool(out, v, Py_EQ), 1);
    EXPECT_NE(out, v);  // a new tuple
    EXPECT_EQ(PyTuple_GET_ITEM(out, 1), PyTuple_GET_ITEM(v, 1));  // the list itself
    EXPECT_EQ(PyTuple_GET_ITEM(out, 2), PyTuple_GET_ITEM(v, 2));  // the dict itself
    Py_DECREF(out);
    Py_DECREF(v);
}

struct TextRow {
    const char* kind;
    size_t capacity;
    const char* text;
};

TEST_F(Comptime, ExceptionTexts) {
    static const TextRow rows[] = {
        {"value", 200, "ValueError: bad value"},
        {"empty", 200, "KeyError: "},  // raised as a class: normalised, its str is ''
        {"empty str", 200, "RuntimeError: "},
        {"bad str", 200, "BadStr"},
        {"value", 5, "Value"},
        {"value", 12, "ValueError: "},
        {"value", 14, "ValueError: ba"},
    };
    for (const TextRow& row : rows) {
        PyObject* kind = PyUnicode_FromString(row.kind);
        PyObject* result = call("raiser", kind);
        Py_DECREF(kind);
        ASSERT_EQ(result, nullptr);
        ASSERT_TRUE(PyErr_Occurred());
        char buffer[200];
        size_t n = front::exceptionText(buffer, row.capacity);
        EXPECT_EQ(std::string(buffer, n), row.text) << row.kind << " " << row.capacity;
        EXPECT_FALSE(PyErr_Occurred());
    }
}

TEST_F(Comptime, StrictMessage) {
    backend::List<char> message;
    const char prefix[] = "lang.py:3:5: in f(): ";
    for (const char* p = prefix; *p; p++) ASSERT_TRUE(message.push(*p));
    const char name[] = "Lang.table";
    const char text[] = "ValueError: bad value";
    ASSERT_EQ(front::strictComptimeRaised(&message, name, sizeof name - 1, text, sizeof text - 1),
              Status::ok);
    EXPECT_EQ(std::string(message.items, message.count),
              "lang.py:3:5: in f(): strict: the wuna.comptime function Lang.table() raised while "
              "compiling: ValueError: bad value (it would run in Python)");
    message.free();
}

}  // namespace

}  // namespace wuna::compile
