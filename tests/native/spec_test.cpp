// Keys and names of helper specialisations: which argument shapes select the same
// specialisation, what the name hash looks at (four levels deep, contents not addresses), and
// the names themselves, numbered in this process and hashed in an ahead-of-time build.
#include <gtest/gtest.h>
#include "compiler/backend/spec.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "tests/native/python_test_support.h"
#include "wuna/runtime/wyhash.h"

namespace wuna::compile {

namespace {

constexpr char kObjects[] = R"PY(
def make_function():
    ns = {}
    exec(compile("def helper(a):\n    return a\n", "helpers.py", "exec"), ns)
    return ns["helper"]

def deep(leaf):
    return ((((((leaf,),),),),),)
)PY";

front::Text text(const char* s) { return front::Text{s, strlen(s)}; }

class Specs : public testing_support::WithHelpers<::testing::Test> {
protected:
    Specs() : WithHelpers(kObjects) {}
    void SetUp() override {
        WithHelpers::SetUp();
        init(&c_, nullptr, "m", 1);
        helper_.fileName = text("lang.py");
        helper_.qualname = text("Lang.helper");
        helper_.name = text("helper");
        helper_.firstLine = 12;
        helper_.paramCount = 2;
    }
    void TearDown() override {
        release(&c_);  // frees the specialisations of the helper list too
        WithHelpers::TearDown();
    }
    Shape of(PyObject* object) {
        Shape s{};
        EXPECT_EQ(fromPython(&c_, object, &s), Status::ok);
        Py_DECREF(object);
        return s;
    }
    Shape list(std::initializer_list<Shape> items) {
        front::ListRecord* record = front::newListRecord(&c_);
        for (const Shape& item : items) EXPECT_EQ(front::appendItem(&c_, record, item), Status::ok);
        Shape s{};
        s.kind = ShapeKind::list;
        s.list = record;
        return s;
    }
    Shape dict() {
        Shape s{};
        s.kind = ShapeKind::dict;
        s.dict = front::newDictRecord(&c_);
        return s;
    }
    // A named specialisation of helper_ for the shapes, kept in the helper list.
    std::string named(SpecLetter letter, std::initializer_list<Shape> shapes, uint8_t entryForm = 0,
                      uint8_t receiver = 0, const front::FunctionIR* function = nullptr) {
        auto* spec = static_cast<HelperSpec*>(calloc(1, sizeof(HelperSpec)));
        spec->function = function ? function : &helper_;
        spec->shapes = takeArray<Shape>(&c_, shapes.size());
        size_t i = 0;
        for (const Shape& s : shapes) spec->shapes[i++] = s;
        spec->argumentCount = shapes.size();
        spec->entryForm = entryForm;
        spec->receiver = receiver;
        EXPECT_EQ(helperName(&c_, letter, spec), Status::ok);
        EXPECT_TRUE(c_.helpers.push(spec));
        return std::string(spec->symbol, spec->symbolLength);
    }
    uint64_t hashOf(const Shape& s, uint32_t depth = 4) {
        SpecHash state;
        specHash(state, s, depth);
        EXPECT_FALSE(state.failed);
        return finishHash(state);
    }

    Compiler c_;
    front::FunctionIR helper_{};
};

Shape pint(int64_t v) {
    Shape s{};
    s.kind = ShapeKind::pint;
    s.int_ = v;
    return s;
}

Shape flt(double v) {
    Shape s{};
    s.kind = ShapeKind::float_;
    s.float_ = v;
    return s;
}

Shape bare(ShapeKind kind) {
    Shape s{};
    s.kind = kind;
    return s;
}

TEST_F(Specs, SameSpecByVariant) {
    double nan = std::numeric_limits<double>::quiet_NaN();
    Shape node7 = bare(ShapeKind::node), node8 = bare(ShapeKind::node);
    node7.node = 7;
    node8.node = 8;
    Shape str1 = of(PyUnicode_FromString("ab")), str2 = of(PyUnicode_FromString("ab")),
          str3 = of(PyUnicode_FromString("abc"));
    Shape d = dict();
    Shape method = bare(ShapeKind::rtMethod);
    PyObject* bytes = PyBytes_FromString("xyz");
    Shape py1 = of(Py_NewRef(bytes)), py2 = of(PyBytes_FromString("xyz"));
    Py_DECREF(bytes);
    struct Row {
        const char* what;
        Shape a, b;
        bool same;
    } rows[] = {
        {"none", bare(ShapeKind::none), bare(ShapeKind::none), true},
        {"rt", bare(ShapeKind::rt), bare(ShapeKind::rt), true},
        {"dyn", bare(ShapeKind::dyn), bare(ShapeKind::dyn), true},
        {"pint 1 / pint 1", pint(1), pint(1), true},
        {"pint 1 / pint 2", pint(1), pint(2), false},
        {"pint 1 / int 1", pint(1), of(PyLong_FromLong(1)), true},
        {"0.0 / -0.0", flt(0.0), flt(-0.0), false},
        {"nan / nan", flt(nan), flt(nan), true},
        {"str", str1, str2, true},
        {"str lengths", str1, str3, false},
        {"node", node7, node7, true},
        {"nodes", node7, node8, false},
        {"lists alike", list({pint(1), str1}), list({pint(1), str2}), true},
        {"lists unlike", list({pint(1)}), list({pint(1), pint(2)}), false},
        {"dict itself", d, d, false},
        {"rt method itself", method, method, false},
        {"control", bare(ShapeKind::control), bare(ShapeKind::control), false},
        {"method", bare(ShapeKind::method), bare(ShapeKind::method), false},
        {"py same object", py1, py1, true},
        {"py equal objects", py1, py2, false},
        {"variants differ", pint(0), flt(0.0), false},
    };
    for (const Row& row : rows) EXPECT_EQ(sameSpec(row.a, row.b), row.same) << row.what;
}

// sameSpec compares every level; the hash looks four levels into tuples.
TEST_F(Specs, DeepTuples) {
    auto deep = [&](long leaf) {
        PyObject* n = PyLong_FromLong(leaf);
        PyObject* t = call("deep", n);
        Py_DECREF(n);
        return of(t);
    };
    Shape one = deep(1), two = deep(2);
    EXPECT_FALSE(sameSpec(one, two));
    EXPECT_EQ(hashOf(one), hashOf(two));
    Shape shallowOne = *one.tuple.items[0].tuple.items;
    Shape shallowTwo = *two.tuple.items[0].tuple.items;
    EXPECT_NE(hashOf(shallowOne), hashOf(shallowTwo));
}

TEST_F(Specs, HashBytesOfAPint) {
    // The variant byte, then the payload little-endian.
    uint8_t bytes[9] = {uint8_t(ShapeKind::pint), 0x2a, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(hashOf(pint(42)), wyhash::hash(bytes, sizeof bytes, 0));
}

TEST_F(Specs, PlainKeys) {
    Shape node = bare(ShapeKind::node);
    struct Row {
        const char* what;
        Shape shape;
        bool plain;
    } rows[] = {
        {"pint", pint(1), true},
        {"float", flt(1.5), true},
        {"str", of(PyUnicode_FromString("s")), true},
        {"node", node, true},
        {"tuple of keys", of(Py_BuildValue("(i(sd))", 1, "a", 2.0)), true},
        {"empty tuple", of(PyTuple_New(0)), true},
        {"none", bare(ShapeKind::none), false},
        {"bool", of(Py_NewRef(Py_True)), false},
        {"tuple with None", of(Py_BuildValue("(iO)", 1, Py_None)), false},
        {"list", list({pint(1)}), false},
        {"dyn", bare(ShapeKind::dyn), false},
    };
    for (const Row& row : rows) EXPECT_EQ(isPlainKey(row.shape), row.plain) << row.what;
}

TEST_F(Specs, NamesInThisProcessAreNumbered) {
    EXPECT_EQ(named(SpecLetter::helperSite, {pint(1), pint(2)}), "m_h0");
    EXPECT_EQ(named(SpecLetter::lambda, {pint(1)}), "m_l1");
    EXPECT_EQ(named(SpecLetter::runtime, {}), "m_s2");
    EXPECT_EQ(c_.helperNames.used, 0u);
}

TEST_F(Specs, AheadOfTimeNamesAreHashed) {
    int origins = 0;
    c_.keyOrigins = &origins;
    std::string first = named(SpecLetter::helperSite, {pint(1), pint(2)});
    ASSERT_EQ(first.rfind("m_h", 0), 0u) << first;
    std::string hex = first.substr(3);
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(hex[0], '0');
    // The same key again collides and is numbered.
    EXPECT_EQ(named(SpecLetter::helperSite, {pint(1), pint(2)}), first + "_1");
    EXPECT_EQ(named(SpecLetter::helperSite, {pint(1), pint(2)}), first + "_2");
    // Another argument, another hash.
    EXPECT_NE(named(SpecLetter::helperSite, {pint(1), pint(3)}).substr(0, first.size()), first);
    // A plain specialisation is named with h whatever its caller.
    std::string plain = named(SpecLetter::call, {bare(ShapeKind::dyn), bare(ShapeKind::dyn)}, 1);
    EXPECT_EQ(plain.rfind("m_h", 0), 0u) << plain;
    // Not plain: with a receiver, or with fewer arguments than parameters.
    EXPECT_EQ(named(SpecLetter::call, {bare(ShapeKind::dyn), bare(ShapeKind::dyn)}, 1, 1)
                  .rfind("m_c", 0),
              0u);
    EXPECT_EQ(named(SpecLetter::call, {bare(ShapeKind::dyn)}, 1).rfind("m_c", 0), 0u);
    // The entry form counts when it does not make the specialisation plain.
    EXPECT_NE(named(SpecLetter::call, {bare(ShapeKind::dyn)}, 0),
              named(SpecLetter::call, {bare(ShapeKind::dyn)}, 1));
    EXPECT_EQ(c_.helperNames.used, c_.helpers.count);
    for (size_t i = 0; i < c_.helpers.count; i++) {
        HelperSpec** there = c_.helperNames.find(
            backend::Text{c_.helpers[i]->symbol, c_.helpers[i]->symbolLength});
        ASSERT_NE(there, nullptr);
        EXPECT_EQ(*there, c_.helpers[i]);
    }
}

// What another process compiling the same program would have: other objects at other
// addresses with the same contents. The names must not change.
TEST_F(Specs, AheadOfTimeNamesFollowContentsNotAddresses) {
    int origins = 0;
    c_.keyOrigins = &origins;
    auto build = [&]() {
        PyObject* fn = call("make_function");
        Shape function = of(fn);
        Shape items = list({pint(1), of(PyUnicode_FromString("x"))});
        Shape big = of(PyLong_FromString("123456789012345678901234567890", nullptr, 10));
        Shape table = dict();
        EXPECT_EQ(front::appendEntry(&c_, table.dict, pint(1), items), Status::ok);
        return named(SpecLetter::helperSite, {function, items, big, table});
    };
    std::string first = build();
    // The objects of the first build stay alive in the object list, so the second build's
    // cannot reuse their addresses: every address differs.
    std::string second = build();
    EXPECT_EQ(second, first + "_1");
}

TEST_F(Specs, FunctionIdentityTextsCount) {
    int origins = 0;
    c_.keyOrigins = &origins;
    front::FunctionIR other = helper_;
    other.firstLine = 13;
    std::string a = named(SpecLetter::helperSite, {pint(1)});
    std::string b = named(SpecLetter::helperSite, {pint(1)}, 0, 0, &other);
    EXPECT_NE(b, a + "_1");
    EXPECT_NE(b, a);
}

}  // namespace

}  // namespace wuna::compile
