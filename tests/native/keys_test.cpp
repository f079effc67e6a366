// The keys that name compiled code: the definition hash (what changes it: the parser's
// answers, the semantics' code, the Python values compiled code folds in; what leaves it
// alone: moving the semantics' directory), the settings text, the program key and the module
// key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/backend/keys.h"
#include "compiler/backend/sha256.h"
#include "host/tree/function_kind.h"
#include "tests/native/python_test_support.h"

namespace wuna {

namespace {

constexpr const char* kScript = R"PY(
class Parser:
    def rules(self): return ["A = 'a'"]
    def actions(self): return {}
    def fields(self): return ["x"]
    def labels(self): return ["x"]
    def literals(self): return ["a"]

class NoLiterals(Parser):
    def literals(self): raise AttributeError("none")

class LiteralsNamed(Parser):
    def literals(self): return "literals"

TABLE = [1, 2]
LIMIT = 10

def uses_table(node, rt):
    return TABLE[0] + LIMIT

def with_default(node, rt, k=3):
    return k

def make_closure(v):
    def inner(node, rt):
        return v
    return inner

def helper(x):
    return x + 1

def uses_helper(node, rt):
    return helper(1)

def from_file(name):
    ns = {}
    exec(compile("def f(node, rt):\n    return 1\n", name, "exec"), ns)
    return ns["f"]

def change(what):
    global TABLE, LIMIT, helper
    if what == "table item":
        TABLE[0] = 9
    elif what == "global rebound":
        LIMIT = 11
    elif what == "default":
        with_default.__defaults__ = (4,)
    elif what == "helper":
        ns = {}
        exec("def helper(x):\n    return x + 2\n", ns)
        helper = ns["helper"]

def reset():
    global TABLE, LIMIT, helper
    TABLE = [1, 2]
    LIMIT = 10
    with_default.__defaults__ = (3,)
    ns = {}
    exec("def helper(x):\n    return x + 1\n", ns)
    helper = ns["helper"]
)PY";

class Keys : public testing_support::WithHelpers<::testing::Test> {
protected:
    Keys() : WithHelpers(kScript) {}

    PyObject* global(const char* name) { return PyDict_GetItemString(helpers_, name); }

    // The hash of a language whose exec dict maps "S" to fn, with the parser class given.
    std::string hashOf(PyObject* fn, const char* parserClass = "Parser",
                       const char* settings = "max_depth=1;hot_calls=2;strict=false") {
        PyObject* parser = PyObject_CallNoArgs(global(parserClass));
        PyObject* evals = PyDict_New();
        PyObject* execs = Py_BuildValue("{sO}", "S", fn);
        PyObject* hosts = PyDict_New();
        PyObject* text = PyUnicode_FromString(settings);
        uint8_t out[driver::kKeyBytes];
        int rc = driver::definitionHash(parser, evals, execs, hosts, text, nullptr, out);
        for (PyObject* o : {parser, evals, execs, hosts, text}) Py_XDECREF(o);
        EXPECT_EQ(rc, 0);
        if (rc < 0) {
            PyErr_Print();
            return "";
        }
        return std::string(reinterpret_cast<char*>(out), sizeof out);
    }

    std::string settings(const host::FunctionKind* kinds, uint32_t count, uint32_t depth,
                         uint64_t hot, bool strict) {
        PyObject* text = driver::settingsText(kinds, count, depth, hot, strict);
        EXPECT_NE(text, nullptr);
        std::string s = text ? PyUnicode_AsUTF8(text) : "";
        Py_XDECREF(text);
        return s;
    }
};

TEST_F(Keys, TheSameDefinitionHashesTheSame) {
    EXPECT_EQ(hashOf(global("uses_table")), hashOf(global("uses_table")));
    EXPECT_NE(hashOf(global("uses_table")), hashOf(global("with_default")));
    EXPECT_NE(hashOf(global("uses_table")),
              hashOf(global("uses_table"), "Parser", "max_depth=2;hot_calls=2;strict=false"));
}

// Python values compiled code folds in while compiling: changing one never serves code
// built with the old value.
TEST_F(Keys, FoldedPythonValuesChangeTheHash) {
    struct Case {
        const char* change;
        const char* semantic;
    } cases[] = {
        {"table item", "uses_table"},
        {"global rebound", "uses_table"},
        {"default", "with_default"},
        {"helper", "uses_helper"},
    };
    for (const Case& k : cases) {
        Py_XDECREF(call("reset"));
        std::string before = hashOf(global(k.semantic));
        PyObject* what = PyUnicode_FromString(k.change);
        Py_XDECREF(call("change", what));
        Py_DECREF(what);
        // Looked up again: the helper case rebinds the module global.
        EXPECT_NE(hashOf(global(k.semantic)), before) << k.change;
    }
    Py_XDECREF(call("reset"));
}

TEST_F(Keys, ClosureCellsChangeTheHash) {
    PyObject* one = PyLong_FromLong(1);
    PyObject* two = PyLong_FromLong(2);
    PyObject* a = call("make_closure", one);
    PyObject* b = call("make_closure", one);
    PyObject* c = call("make_closure", two);
    EXPECT_EQ(hashOf(a), hashOf(b));
    EXPECT_NE(hashOf(a), hashOf(c));
    for (PyObject* o : {one, two, a, b, c}) Py_XDECREF(o);
}

TEST_F(Keys, MovingTheSemanticsDirectoryKeepsTheHashRenamingTheFileDoesNot) {
    auto at = [&](const char* name) {
        PyObject* text = PyUnicode_FromString(name);
        PyObject* f = call("from_file", text);
        Py_DECREF(text);
        std::string h = hashOf(f);
        Py_XDECREF(f);
        return h;
    };
    EXPECT_EQ(at("/one/place/sem.py"), at("/another/sem.py"));
    EXPECT_EQ(at("/one/place/sem.py"), at("C:\\win\\sem.py"));
    EXPECT_NE(at("/one/place/sem.py"), at("/one/place/other.py"));
}

TEST_F(Keys, AParserMethodThatRaisesHashesAsItsName) {
    EXPECT_EQ(hashOf(global("uses_table"), "NoLiterals"),
              hashOf(global("uses_table"), "LiteralsNamed"));
    EXPECT_NE(hashOf(global("uses_table"), "NoLiterals"), hashOf(global("uses_table")));
}

TEST_F(Keys, TheSettingsTextListsFunctionKindsThenTheLimits) {
    EXPECT_EQ(settings(nullptr, 0, 1000, 5000, false),
              "max_depth=1000;hot_calls=5000;strict=false");
    host::FunctionKind kinds[4] = {};
    kinds[1] = {host::kNoBodyRule, 3, 4, 0, true, host::MissingArgs::none, host::ExtraArgs::keep,
                true};
    kinds[3] = {7, 1, 0, 2, false, host::MissingArgs::error, host::ExtraArgs::drop, true};
    EXPECT_EQ(settings(kinds, 4, 5, 6, true),
              "1:.{ .params = 3, .body = 4, .body_rule = 65535, .name = 0, .hoist = true, "
              ".missing = .none, .extra = .keep };"
              "3:.{ .params = 1, .body = 0, .body_rule = 7, .name = 2, .hoist = false, "
              ".missing = .error, .extra = .drop };"
              "max_depth=5;hot_calls=6;strict=true");
}

TEST_F(Keys, TheProgramKeyHashesTheDefinitionAndTheSource) {
    uint8_t hash[32];
    for (int i = 0; i < 32; i++) hash[i] = uint8_t(i);
    PyObject* source = PyUnicode_FromString("print 1;");
    uint8_t key[32];
    ASSERT_EQ(driver::programKey(hash, source, key), 0);
    std::string joined(reinterpret_cast<char*>(hash), 32);
    joined += "print 1;";
    uint8_t expected[32];
    sha256::digest(joined.data(), joined.size(), expected);
    EXPECT_EQ(memcmp(key, expected, 32), 0);
    Py_DECREF(source);

    PyObject* notText = PyLong_FromLong(3);
    EXPECT_EQ(driver::programKey(hash, notText, key), -1);
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* text = PyObject_Str(value);
    EXPECT_STREQ(PyUnicode_AsUTF8(text), "source must be a str");
    for (PyObject* o : {type, value, tb, text, notText}) Py_XDECREF(o);
}

TEST_F(Keys, TheModuleKeyAddsTheLanguageObjectAndThePath) {
    uint8_t key[32] = {1, 2, 3};
    PyObject* path = PyUnicode_FromString("prog.x");
    PyObject* other = PyUnicode_FromString("other.x");
    PyObject* notText = PyLong_FromLong(1);
    int a = 0, b = 0;
    auto keyOf = [&](const void* language, PyObject* p) {
        uint8_t out[32];
        EXPECT_TRUE(driver::moduleKey(key, language, p, out));
        return std::string(reinterpret_cast<char*>(out), 32);
    };
    EXPECT_EQ(keyOf(&a, path), keyOf(&a, path));
    EXPECT_NE(keyOf(&a, path), keyOf(&b, path));
    EXPECT_NE(keyOf(&a, path), keyOf(&a, other));
    EXPECT_EQ(keyOf(&a, nullptr), keyOf(&a, Py_None));
    EXPECT_NE(keyOf(&a, nullptr), keyOf(&a, path));
    // Without a path: the program key and the address alone.
    uint8_t joined[40];
    memcpy(joined, key, 32);
    uint64_t address = uint64_t(reinterpret_cast<uintptr_t>(&a));
    for (int i = 0; i < 8; i++) joined[32 + i] = uint8_t(address >> (8 * i));
    uint8_t expected[32];
    sha256::digest(joined, sizeof joined, expected);
    EXPECT_EQ(keyOf(&a, nullptr), std::string(reinterpret_cast<char*>(expected), 32));
    // A path that is no str: no module key, and no exception left.
    uint8_t out[32];
    EXPECT_FALSE(driver::moduleKey(key, &a, notText, out));
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    for (PyObject* o : {path, other, notText}) Py_DECREF(o);
}

}  // namespace

}  // namespace wuna
