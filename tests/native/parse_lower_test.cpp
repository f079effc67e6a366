// rt.parse's lowering: one wn_parse per call with the parser as a module object, its start
// rule as an interned literal and its recover flag as a constant; the parser registered once
// and listed once among the module's grammars however many calls use it; and the compile
// errors of what is known only at run time, at the call.
#include <gtest/gtest.h>

#include <string>

#include "compiler/codegen/lower.h"
#include "host/tree/parsed.h"
#include "tests/native/front_modules.h"
#include "tests/native/toolkit_support.h"

namespace wuna::compile {

namespace {

using toolkit_testing::countOf;
using toolkit_testing::verify;

constexpr char kSource[] = "import sys\nsys.path.insert(0, '" WUNA_BUILD_DIR "')\n" R"PY(
import pargo

P = pargo.compile(r"""
Program = items:Item*
@token Item = [a-z]+ -> str
@skip Space = [ ]+
""")


class Old:
    # A parser of a package without the grammar capsule.
    def __getattr__(self, name):
        if name == "capsule":
            raise AttributeError(name)
        return getattr(P, name)


old = Old()


def caller(node, rt):
    return rt.parse(P, "a b")
)PY";

constexpr uint32_t kScope = 7;
constexpr int32_t kSite = 5;

class ParseLowering : public toolkit_testing::LoweringTest {
protected:
    ParseLowering() : LoweringTest(kSource) {}
    static Shape pyShape(PyObject* o) {
        Shape s{};
        s.kind = ShapeKind::py;
        s.py = o;
        return s;
    }
    static Shape strShape(const char* text) {
        Shape s{};
        s.kind = ShapeKind::str;
        s.str = front::Text{text, strlen(text)};
        return s;
    }
    static Shape boolShape(bool b) {
        Shape s{};
        s.kind = ShapeKind::bool_;
        s.bool_ = b;
        return s;
    }
    std::string tail() const {
        std::string text = message();
        size_t at = text.find("(): ");
        return at == std::string::npos ? text : text.substr(at + 4);
    }
};

// An emitter over a new function (ctx, tag, payload) whose error target returns false.
struct Emitting {
    toolkit_testing::Function f;
    Semantic* s;
    Emitting(Compiler* c, front::FunctionIR* caller, const char* name)
        : f(c, name, kScope, {c->module.ptr, c->module.i64, c->module.i64}) {
        f.addErrorBlock();
        s = newSemantic(c, caller, 0, kSite);
        EXPECT_TRUE(f.e.semantics.push(s));
    }
    ~Emitting() { endSemantic(s); }
    Emitting(const Emitting&) = delete;
    Emitting& operator=(const Emitting&) = delete;
    Shape text() {
        Operand o{};
        o.tag = f.param(1);
        o.payload = f.param(2);
        o.functionNode = kNoFunctionNode;
        o.kind = KnownKind::unknown;
        return dynShape(o);
    }
};

TEST_F(ParseLowering, TwoCallsWithOneParserAreTwoHelperCallsAndOneGrammar) {
    Emitting em(&compiler_, front("caller"), "parse_twice");
    PyObject* parser = global("P");
    for (const char* start : {"Item", "Program"}) {
        Shape text = em.text();
        Shape out;
        ASSERT_EQ(emitRtParse(&em.f.e, em.s, pyShape(parser), &text, strShape(start),
                              boolShape(true), front::makePosition(3, 4), &out),
                  Status::ok)
            << message();
        EXPECT_EQ(out.kind, ShapeKind::dyn);
        ASSERT_EQ(release(&em.f.e, out), Status::ok);
    }
    std::string ir = em.f.ir();
    EXPECT_EQ(verify(em.f.m), "");
    EXPECT_EQ(countOf(ir, "call i1 @wn_parse("), 2u) << ir;
    EXPECT_EQ(countOf(ir, "i32 1, ptr"), 2u) << "recover is the constant 1: " << ir;
    ASSERT_EQ(compiler_.parseGrammars.count, 1u);
    EXPECT_EQ(compiler_.objects[compiler_.parseGrammars[0]], parser);
    EXPECT_NE(ptree::grammarOf(parser), nullptr) << "the parser is prepared while compiling";
}

TEST_F(ParseLowering, NoStartRuleIsANullPointer) {
    Emitting em(&compiler_, front("caller"), "parse_default");
    Shape text = em.text();
    Shape none{};
    none.kind = ShapeKind::none;
    Shape out;
    ASSERT_EQ(emitRtParse(&em.f.e, em.s, pyShape(global("P")), &text, none, boolShape(false),
                          front::makePosition(3, 4), &out),
              Status::ok)
        << message();
    ASSERT_EQ(release(&em.f.e, out), Status::ok);
    std::string ir = em.f.ir();
    EXPECT_EQ(verify(em.f.m), "");
    EXPECT_EQ(countOf(ir, "ptr null, i32 0, ptr"), 1u) << ir;
}

struct Unknown {
    const char* label;
    int which;  // the argument known only at run time: 0 grammar, 2 start, 3 recover
    const char* message;
};

const Unknown kUnknowns[] = {
    {"Grammar", 0, "rt.parse's grammar must be known when compiling (a module's pargo parser)"},
    {"Start", 2, "rt.parse's start rule must be known when compiling"},
    {"Recover", 3, "rt.parse's recover must be known when compiling"},
};

class ParseUnknowns : public ParseLowering, public ::testing::WithParamInterface<Unknown> {};

TEST_P(ParseUnknowns, AreCompileErrorsAtTheCall) {
    const Unknown& u = GetParam();
    Emitting em(&compiler_, front("caller"), "parse_unknown");
    Shape args[4] = {pyShape(global("P")), em.text(), strShape("Item"), boolShape(false)};
    if (u.which != 1) args[u.which] = em.text();
    Shape out;
    EXPECT_EQ(emitRtParse(&em.f.e, em.s, args[0], &args[1], args[2], args[3],
                          front::makePosition(11, 12), &out),
              Status::unsupported);
    EXPECT_EQ(tail(), u.message);
    EXPECT_NE(message().find(":11:12: in caller(): "), std::string::npos) << message();
}

INSTANTIATE_TEST_SUITE_P(Parse, ParseUnknowns, ::testing::ValuesIn(kUnknowns),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ParseLowering, AParserWithoutItsCapsuleIsAnImportError) {
    Emitting em(&compiler_, front("caller"), "parse_old");
    Shape text = em.text();
    Shape out;
    EXPECT_EQ(emitRtParse(&em.f.e, em.s, pyShape(global("old")), &text, strShape("Item"),
                          boolShape(false), front::makePosition(3, 4), &out),
              Status::pythonError);
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_ImportError));
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyObject* text_ = PyObject_Str(exc);
    EXPECT_STREQ(PyUnicode_AsUTF8(text_),
                 "rt.parse in compiled code needs pargo 0.6 or later (GrammarParser.capsule)");
    Py_XDECREF(text_);
    Py_XDECREF(type);
    Py_XDECREF(exc);
    Py_XDECREF(tb);
    EXPECT_EQ(compiler_.parseGrammars.count, 0u);
}

}  // namespace

}  // namespace wuna::compile
