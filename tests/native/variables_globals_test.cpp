// Python names a semantic reads that are not its locals, decided while compiling: a free
// variable of the enclosing function is its cell's content, a rebound module variable is read
// at run time (a compile error in a strict language), an only-read table a constant noted in
// the module-state report, a builtin the builtin object, anything else "not defined" at its
// place. A look at whether a global is a given object emits no code. Outer frames of nested
// functions are found by parent loads, and imports run while compiling.
#include <gtest/gtest.h>

#include <string>

#include "compiler/codegen/lower.h"
#include "tests/native/front_modules.h"
#include "tests/native/toolkit_support.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using compile::Shape;
using compile::ShapeKind;

constexpr char kModule[] = R"PY(
COUNT = 0
KINDS = {"a": 1, "b": 2}
LIMIT = 7

def bump():
    global COUNT
    COUNT += 1

def kind_of(k):
    return KINDS[k]

def make():
    LIMIT = 40
    def semantic(node, rt):
        return LIMIT + len(KINDS) + COUNT
    return semantic

semantic = make()
)PY";

class Globals : public testing_support::WithModule<backend_testing::BackendTest> {
protected:
    Globals() : WithModule(kModule) {}
    void SetUp() override {
        backend_testing::BackendTest::SetUp();
        WithModule::SetUp();
        state = newState();
        c = &state->compiler;
        ir.function = global("semantic");
        ir.name = front::Text{"semantic", 8};
        ir.fileName = front::Text{"m.py", 4};
        ir.firstLine = 14;
        s = compile::newSemantic(c, &ir, 0, 5);
        ASSERT_NE(s, nullptr);
    }
    void TearDown() override {
        driver::Compiled::free(state);
        PyErr_Clear();
        WithModule::TearDown();
    }

    std::string compileError() const { return std::string(c->message.items, c->message.count); }

    std::string report() const {
        std::string out;
        for (size_t i = 0; i < c->moduleState.count; i++) {
            const compile::ModuleStateNote& n = c->moduleState[i];
            out += std::string(n.name, n.nameLength) + "=";
            out += std::string(n.text, n.textLength) + ";";
        }
        return out;
    }

    Status read(Function& f, const char* name, Shape* out) {
        return compile::emitGlobal(&f.e, s, front::Text{name, strlen(name)},
                                   front::makePosition(16, 9), out);
    }

    driver::Compiled* state = nullptr;
    compile::Compiler* c = nullptr;
    front::FunctionIR ir{};
    compile::Semantic* s = nullptr;
};

TEST_F(Globals, AFreeVariableWinsOverTheModuleVariableOfItsName) {
    Function f(c, "t_free", 3, {c->module.ptr});
    Shape v;
    ASSERT_EQ(read(f, "LIMIT", &v), Status::ok);
    ASSERT_EQ(v.kind, ShapeKind::pint);
    EXPECT_EQ(v.int_, 40);
    EXPECT_EQ(report(), "") << "a cell is no module variable";
}

TEST_F(Globals, AnOnlyReadTableIsAConstantNotedInTheReport) {
    Function f(c, "t_table", 3, {c->module.ptr});
    Shape v;
    ASSERT_EQ(read(f, "KINDS", &v), Status::ok);
    EXPECT_EQ(v.kind, ShapeKind::dict);
    EXPECT_EQ(report(), "KINDS=constant (only read);");
    // Read again: the note keeps its place.
    ASSERT_EQ(read(f, "KINDS", &v), Status::ok);
    EXPECT_EQ(report(), "KINDS=constant (only read);");
}

TEST_F(Globals, AReboundVariableIsReadAtRunTimeEachTime) {
    Function f(c, "t_rebound", 3, {c->module.ptr});
    Shape v;
    ASSERT_EQ(read(f, "COUNT", &v), Status::ok);
    ASSERT_EQ(v.kind, ShapeKind::dyn);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "@wn_global(ptr %0, i32 5,"), 1u) << ir;
}

TEST_F(Globals, AReboundVariableInAStrictLanguageIsACompileError) {
    c->strict = 1;
    Function f(c, "t_strict", 3, {c->module.ptr});
    Shape v;
    EXPECT_EQ(read(f, "COUNT", &v), Status::unsupported);
    EXPECT_EQ(compileError(),
              "strict: reads the module variable COUNT, which a function rebinds (`global "
              "COUNT`) (it would run in Python)");
}

TEST_F(Globals, ABuiltinIsTheBuiltinObjectAndAnUnknownNameIsNotDefinedAtItsPlace) {
    Function f(c, "t_builtin", 3, {c->module.ptr});
    Shape v;
    ASSERT_EQ(read(f, "len", &v), Status::ok);
    ASSERT_EQ(v.kind, ShapeKind::py);
    PyObject* builtins = PyEval_GetBuiltins();
    EXPECT_EQ(v.py, PyDict_GetItemString(builtins, "len"));
    EXPECT_EQ(read(f, "nope", &v), Status::unsupported);
    EXPECT_EQ(compileError(), "m.py:16:9: in semantic(): name 'nope' is not defined");
}

TEST_F(Globals, LookingWhetherAGlobalIsAnObjectEmitsNoCode) {
    Function f(c, "t_is", 3, {c->module.ptr});
    PyObject* len = PyDict_GetItemString(PyEval_GetBuiltins(), "len");
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
    struct Case {
        const char* name;
        PyObject* object;
        bool is;
    } cases[] = {{"len", len, true}, {"len", type, false}, {"COUNT", type, false},
                 {"KINDS", type, false}};
    for (const Case& k : cases) {
        bool is = !k.is;
        ASSERT_EQ(compile::globalIsObject(&f.e, s, front::Text{k.name, strlen(k.name)}, k.object,
                                          &is),
                  Status::ok);
        EXPECT_EQ(is, k.is) << k.name;
    }
    std::string ir = f.ir();
    EXPECT_EQ(ir.find("@wn_global"), std::string::npos) << ir;
    EXPECT_EQ(report(), "") << "a look decides nothing about a module variable";
}

// --- outer frames and imports ----------------------------------------------------------------

TEST_F(Globals, ANestedFunctionsEnvironmentIsOneParentLoadPerLevelOut) {
    // outer { middle { inner } }: compiling middle, inner's environment is middle's own
    // frame; compiling inner, a function defined in outer is one load up from its closure.
    front::FunctionIR outer{}, middle{}, inner{}, sibling{};
    middle.parent = &outer;
    inner.parent = &middle;
    sibling.parent = &outer;
    inner.frameClosure = sibling.frameClosure = true;
    inner.name = front::Text{"inner", 5};
    sibling.name = front::Text{"sibling", 7};
    middle.name = front::Text{"middle", 6};
    middle.fileName = front::Text{"m.py", 4};
    middle.firstLine = 3;
    Function f(c, "t_outer_frames", 3, {c->module.ptr, c->module.ptr, c->module.ptr});
    compile::Semantic* m = compile::newSemantic(c, &middle, 0, 1);
    m->hasFrame = 1;
    m->frame = f.param(1);
    m->environmentKnown = 1;
    m->environment = f.param(2);
    llvmapi::ValueRef frame;
    bool found;
    ASSERT_EQ(compile::emitOuterFrame(&f.e, m, &inner, &frame, &found), Status::ok);
    EXPECT_TRUE(found);
    EXPECT_EQ(frame, f.param(1));
    ASSERT_EQ(compile::emitOuterFrame(&f.e, m, &sibling, &frame, &found), Status::ok);
    EXPECT_TRUE(found);
    EXPECT_EQ(frame, f.param(2)) << "defined in the function around: the closure frame itself";
    // Without an environment the closure frame can't be reached.
    m->environmentKnown = 0;
    EXPECT_EQ(compile::emitOuterFrame(&f.e, m, &sibling, &frame, &found), Status::unsupported);
    EXPECT_EQ(compileError(), "m.py:3:0: in middle(): the variables of sibling aren't reachable "
                              "from here");
    // A function that needs no environment gets none, and no code.
    inner.frameClosure = false;
    Shape arg;
    ASSERT_EQ(compile::emitOuterFrameArg(&f.e, m, &inner, &arg), Status::ok);
    EXPECT_EQ(arg.kind, ShapeKind::none);
    compile::endSemantic(m);
}

TEST_F(Globals, ImportsRunWhileCompiling) {
    Function f(c, "t_import", 3, {c->module.ptr});
    struct Case {
        const char* module;
        const char* attribute;
        bool named;
        const char* expected;  // the repr's start
    } cases[] = {
        {"os.path", nullptr, false, "<module 'os'"},
        {"os.path", nullptr, true, "<module 'posixpath'"},
        {"os", "path", false, "<module 'posixpath'"},
        {"math", "pi", false, "3.14"},
    };
    for (const Case& k : cases) {
        Shape v;
        front::Text attribute{k.attribute, k.attribute ? strlen(k.attribute) : 0};
        ASSERT_EQ(compile::resolveImport(&f.e, s, front::Text{k.module, strlen(k.module)},
                                         k.attribute ? &attribute : nullptr, k.named, 0, &v),
                  Status::ok)
            << k.module;
        PyObject* object = nullptr;
        if (v.kind == ShapeKind::py) object = Py_NewRef(v.py);
        else ASSERT_EQ(compile::toPython(c, v, &object), Status::ok);
        PyObject* r = PyObject_Repr(object);
        std::string text = PyUnicode_AsUTF8(r);
        Py_DECREF(r);
        Py_DECREF(object);
        EXPECT_EQ(text.rfind(k.expected, 0), 0u) << text;
    }
    Shape v;
    EXPECT_EQ(compile::resolveImport(&f.e, s, front::Text{"..nowhere", 9}, nullptr, false,
                                     front::makePosition(2, 5), &v),
              Status::unsupported);
    EXPECT_EQ(compileError(), "m.py:2:5: in semantic(): the relative import of ..nowhere can't "
                              "be resolved here");
}

}  // namespace

}  // namespace wuna
