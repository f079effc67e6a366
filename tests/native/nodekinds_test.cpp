// Node kinds from Language.types: each node's kind is asked of the Python objects once per
// compiler and remembered; a mapping that raises is the compilation's Python error and is
// asked again next time; wuna.Function is the function kind.
#include <Python.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "tests/native/python_test_support.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/hostapi.h"

namespace wuna {

namespace {

using compile::KnownKind;

// type_of gives node n the n-th text; the mapping counts its questions and raises for "boom"
// until told not to.
constexpr char kScript[] = R"(
class Function: pass
class Analysis:
    texts = ["int", "float", "bool", "str", "None", "fn", "list[int]", "Point", "boom"]
    def type_of(self, n):
        return self.texts[n]
asked = []
raising = [True]
def mapping(text):
    asked.append(text)
    if text == "boom" and raising[0]:
        raise LookupError("no types today")
    return {"int": int, "float": float, "bool": bool, "str": str, "None": type(None),
            "fn": Function, "list[int]": list}.get(text)
analysis = Analysis()
)";

class NodeKinds : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        gil::ensure(gil::current());
        if (!globals) globals = testing_support::runHelpers(kScript);
        ASSERT_NE(globals, nullptr);
        saved = runtime::hostApi;
        runtime::hostApi.functionType =
            reinterpret_cast<PyTypeObject*>(PyDict_GetItemString(globals, "Function"));
        PyList_SetSlice(PyDict_GetItemString(globals, "asked"), 0, PY_SSIZE_T_MAX, nullptr);
        PyList_SetItem(PyDict_GetItemString(globals, "raising"), 0, Py_NewRef(Py_True));
        inputs.analysis = PyDict_GetItemString(globals, "analysis");
        inputs.types = PyDict_GetItemString(globals, "mapping");
        c = std::make_unique<compile::Compiler>();
        c->inputs = &inputs;
    }
    void TearDown() override {
        c->nodeKinds.free();
        runtime::hostApi = saved;
        PyErr_Clear();
        testing_support::endRun(gil::current());
    }
    Py_ssize_t asked() { return PyList_Size(PyDict_GetItemString(globals, "asked")); }

    static inline PyObject* globals = nullptr;
    runtime::HostApi saved;
    driver::CompileInputs inputs{};
    std::unique_ptr<compile::Compiler> c;
};

struct KindCase {
    uint32_t node;
    KnownKind kind;
};

class NodeKindTable : public NodeKinds, public ::testing::WithParamInterface<KindCase> {};

TEST_P(NodeKindTable, IsAskedOnceAndRemembered) {
    for (int round = 0; round < 2; round++) {
        KnownKind k = KnownKind::node;
        ASSERT_EQ(compile::nodeKindMemo(c.get(), GetParam().node, &k), Status::ok);
        EXPECT_EQ(k, GetParam().kind);
        EXPECT_EQ(asked(), 1) << "round " << round;
    }
}

// A list has no kind of its own node, nor has a type the mapping doesn't know.
INSTANTIATE_TEST_SUITE_P(Table, NodeKindTable,
                         ::testing::Values(KindCase{0, KnownKind::int_},
                                           KindCase{1, KnownKind::float_},
                                           KindCase{2, KnownKind::bool_},
                                           KindCase{3, KnownKind::str},
                                           KindCase{4, KnownKind::none},
                                           KindCase{5, KnownKind::function},
                                           KindCase{6, KnownKind::unknown},
                                           KindCase{7, KnownKind::unknown}),
                         [](const ::testing::TestParamInfo<KindCase>& info) {
                             return "node" + std::to_string(info.param.node);
                         });

TEST_F(NodeKinds, ARaisingMappingIsAPythonErrorAndIsAskedAgain) {
    KnownKind k = KnownKind::node;
    EXPECT_EQ(compile::nodeKindMemo(c.get(), 8, &k), Status::pythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_LookupError));
    PyErr_Clear();
    EXPECT_EQ(k, KnownKind::unknown);
    PyList_SetItem(PyDict_GetItemString(globals, "raising"), 0, Py_NewRef(Py_False));
    EXPECT_EQ(compile::nodeKindMemo(c.get(), 8, &k), Status::ok);
    EXPECT_EQ(k, KnownKind::unknown);
    EXPECT_EQ(asked(), 2) << "the error was not remembered";
}

TEST_F(NodeKinds, WithoutTypesOrAnalysisNothingIsAskedOrRemembered) {
    for (auto clear : {&driver::CompileInputs::types, &driver::CompileInputs::analysis}) {
        driver::CompileInputs without = inputs;
        without.*clear = nullptr;
        c->inputs = &without;
        KnownKind k = KnownKind::node;
        EXPECT_EQ(compile::nodeKindMemo(c.get(), 0, &k), Status::ok);
        EXPECT_EQ(k, KnownKind::unknown);
        EXPECT_EQ(c->nodeKinds.used, 0u);
    }
    EXPECT_EQ(asked(), 0);
}

}  // namespace

}  // namespace wuna
