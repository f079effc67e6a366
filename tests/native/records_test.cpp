// Record classes while compiling: which classes are records (and kept alive by the compiler),
// the values of fields a construction leaves out (a default folded as a constant, a factory
// called at the construction's place, a field without either refused), and the texts of the
// two construction errors with their location prefix.
#include <gtest/gtest.h>
#include "compiler/front/records.h"

#include <cstring>
#include <string>

#include "compiler/backend/compile.h"
#include "tests/native/python_test_support.h"

namespace wuna::compile {

namespace {

constexpr char kClasses[] = R"PY(
import dataclasses

@dataclasses.dataclass
class Point:
    x: int
    y: int = 0
    tags: list = dataclasses.field(default_factory=list)
    name: str = "origin"

class Slotted:
    __slots__ = ("a", "b")

class Plain:
    pass
)PY";

struct Factory {
    PyObject* factory = nullptr;
    front::Position position = 0;
    int calls = 0;
};

Status lowerFactory(void* user, PyObject* factory, front::Position position, Shape* out) {
    auto* seen = static_cast<Factory*>(user);
    seen->factory = factory;
    seen->position = position;
    seen->calls++;
    *out = Shape{};
    out->kind = ShapeKind::dyn;
    return Status::ok;
}

front::Text text(const char* s) { return front::Text{s, strlen(s)}; }

class Records : public testing_support::WithHelpers<::testing::Test> {
protected:
    Records() : WithHelpers(kClasses) {}
    void SetUp() override {
        WithHelpers::SetUp();
        init(&c_, nullptr, "t", 1);
        function_.fileName = text("lang.py");
        function_.name = text("build");
        site_ = ErrorSite{&function_, front::makePosition(7, 9)};
    }
    void TearDown() override {
        release(&c_);
        WithHelpers::TearDown();
    }
    PyObject* cls(const char* name) { return PyDict_GetItemString(helpers_, name); }
    value::RecordClass* describe(const char* name) {
        value::RecordClass* d = nullptr;
        EXPECT_EQ(recordClassOf(&c_, cls(name), &d), Status::ok) << name;
        return d;
    }
    std::string message() const { return std::string(c_.message.items, c_.message.count); }

    Compiler c_;
    front::FunctionIR function_{};
    ErrorSite site_{};
    Factory seen_;
    FactoryCall factoryCall_{&seen_, lowerFactory};
};

TEST_F(Records, RecognitionKeepsTheClass) {
    value::RecordClass* point = describe("Point");
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(std::string(point->name.data, point->name.length), "Point");
    EXPECT_EQ(point->fieldCount, 4u);
    ASSERT_EQ(c_.objects.count, 1u);
    EXPECT_EQ(c_.objects[0], cls("Point"));
    // Asked again, kept once.
    EXPECT_EQ(describe("Point"), point);
    EXPECT_EQ(c_.objects.count, 1u);
    EXPECT_NE(describe("Slotted"), nullptr);
    EXPECT_EQ(c_.objects.count, 2u);
    // Not a record class: nothing kept.
    EXPECT_EQ(describe("Plain"), nullptr);
    EXPECT_EQ(c_.objects.count, 2u);
}

TEST_F(Records, FieldDefaults) {
    value::RecordClass* point = describe("Point");
    ASSERT_NE(point, nullptr);
    Shape s{};
    ASSERT_EQ(recordFieldDefault(&c_, factoryCall_, site_, cls("Point"), *point, 1, &s),
              Status::ok);
    EXPECT_EQ(s.kind, ShapeKind::pint);
    EXPECT_EQ(s.int_, 0);
    ASSERT_EQ(recordFieldDefault(&c_, factoryCall_, site_, cls("Point"), *point, 3, &s),
              Status::ok);
    ASSERT_EQ(s.kind, ShapeKind::str);
    EXPECT_EQ(std::string(s.str.data, s.str.length), "origin");
    EXPECT_EQ(seen_.calls, 0);

    // The factory is called at the construction's place, and kept by the compiler.
    ASSERT_EQ(recordFieldDefault(&c_, factoryCall_, site_, cls("Point"), *point, 2, &s),
              Status::ok);
    EXPECT_EQ(s.kind, ShapeKind::dyn);
    EXPECT_EQ(seen_.calls, 1);
    EXPECT_EQ(seen_.factory, reinterpret_cast<PyObject*>(&PyList_Type));
    EXPECT_EQ(seen_.position, site_.position);
    bool kept = false;
    for (size_t i = 0; i < c_.objects.count; i++) kept |= c_.objects[i] == seen_.factory;
    EXPECT_TRUE(kept);

    // No default, no factory.
    EXPECT_EQ(recordFieldDefault(&c_, factoryCall_, site_, cls("Point"), *point, 0, &s),
              Status::unsupported);
    EXPECT_EQ(message(), "lang.py:7:9: in build(): Point() missing its field x");
}

TEST_F(Records, SlotsClassesHaveNoDefaults) {
    value::RecordClass* slotted = describe("Slotted");
    ASSERT_NE(slotted, nullptr);
    Shape s{};
    EXPECT_EQ(recordFieldDefault(&c_, factoryCall_, site_, cls("Slotted"), *slotted, 0, &s),
              Status::pythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError));
    PyErr_Clear();
}

TEST_F(Records, ConstructionTexts) {
    value::Text name{"Pair", 4}, field{"second", 6};
    EXPECT_EQ(recordArityMessage(&c_, site_, name, 2, 3), Status::unsupported);
    EXPECT_EQ(message(), "lang.py:7:9: in build(): Pair() takes 2 fields, given 3");
    EXPECT_EQ(recordFieldMissing(&c_, site_, name, field), Status::unsupported);
    EXPECT_EQ(message(), "lang.py:7:9: in build(): Pair() missing its field second");
}

}  // namespace

}  // namespace wuna::compile
