// What the tests of the front end's compile-time knowledge share: fixture modules written to
// files and imported (so inspect reads their source as it reads a language's semantics), a
// stand-in for the wuna module's jump classes when the real module is not loaded, and a
// compiler with a front cache, as a compilation has.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "compiler/backend/compile.h"
#include "compiler/front/cache.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "tests/native/python_test_support.h"

namespace wuna::testing_support {

constexpr char kModuleLoader[] = R"PY(
import importlib.util
import itertools
import linecache
import os
import sys
import tempfile
import types

_dir = tempfile.gettempdir()
_count = itertools.count()
_run = f"{os.getpid()}_{id(_count)}"
sys.dont_write_bytecode = True  # nothing of a fixture outlives the test

if "wuna" not in sys.modules:
    stand_in = types.ModuleType("wuna")
    for name in ("Return", "Break", "Continue", "TailCall", "Throw"):
        setattr(stand_in, name, type(name, (Exception,), {"__module__": "wuna"}))
    sys.modules["wuna"] = stand_in


def module(src):
    name = f"wuna_front_fixture_{_run}_{next(_count)}"
    path = os.path.join(_dir, name + ".py")
    with open(path, "w") as f:
        f.write(src)
    spec = importlib.util.spec_from_file_location(name, path)
    loaded = importlib.util.module_from_spec(spec)
    sys.modules[name] = loaded
    spec.loader.exec_module(loaded)
    # The source stays readable from linecache (an entry without a time is never checked
    # against the file), so the file goes at once.
    linecache.cache[path] = (len(src), None, src.splitlines(True), path)
    os.remove(path)
    return loaded.__dict__
)PY";

// A test over one fixture module, holding the interpreter lock, with a compiler whose front
// cache reads the module's functions.
template <typename Base>
class WithModule : public WithHelpers<Base> {
protected:
    explicit WithModule(const char* source) : WithHelpers<Base>(kModuleLoader), source_(source) {}
    void SetUp() override {
        WithHelpers<Base>::SetUp();
        PyObject* src = PyUnicode_FromString(source_);
        module_ = this->call("module", src);
        Py_XDECREF(src);
        ASSERT_NE(module_, nullptr);
        compile::init(&compiler_, nullptr, "t", 1);
        compiler_.frontCache = &cache_;
    }
    void TearDown() override {
        front::clearFronts(cache_);
        compile::release(&compiler_);
        Py_XDECREF(module_);
        WithHelpers<Base>::TearDown();
    }
    // The module's global of that name, borrowed (the module keeps it).
    PyObject* global(const char* name) { return PyDict_GetItemString(module_, name); }
    // The reading of the module's function of that name, or null.
    front::FunctionIR* front(const char* name) {
        PyObject* fn = global(name);
        front::FunctionIR* ir = nullptr;
        if (!fn || front::frontOf(&compiler_, fn, &ir) != Status::ok) {
            if (PyErr_Occurred()) PyErr_Print();
            return nullptr;
        }
        return ir;
    }
    std::string message() const {
        return std::string(compiler_.message.items, compiler_.message.count);
    }

    const char* source_;
    PyObject* module_ = nullptr;  // the module's globals
    compile::Compiler compiler_;
    front::Cache cache_;
};

// A call of g with n expression nodes (n >= 2): the call, its callee, and n - 2 arguments
// named arg, for fixture helpers of known sizes.
inline std::string sizedCall(int n, const char* arg = "p") {
    std::string out = "g(";
    for (int i = 0; i < n - 2; i++) {
        if (i) out += ", ";
        out += arg;
    }
    return out + ")";
}

// A program tree of two nodes for tests that fold on a node's kind and text: node 0 an 'Add'
// over "1+2", node 1 a 'Mul' over "3*4". Needs the interpreter lock from attach to detach.
struct KindTree {
    void attach(compile::Compiler* c) {
        names[0] = PyUnicode_InternFromString("Add");
        names[1] = PyUnicode_InternFromString("Mul");
        grammar.kindCount = 2;
        grammar.pyNames = names;
        index.grammar = &grammar;
        index.nodes = nodes;
        index.count = 2;
        index.text = "1+2 3*4";
        index.textLength = 7;
        c->tree = &index;
    }
    void detach() {
        Py_CLEAR(names[0]);
        Py_CLEAR(names[1]);
    }

    PyObject* names[2] = {};
    ptree::GrammarInfo grammar{};
    ptree::NodeRecord nodes[2] = {{0, 3, 0, pargo::layout::makeWord(0, 0)},
                                  {4, 7, 0, pargo::layout::makeWord(1, 0)}};
    ptree::Index index{};
};

}  // namespace wuna::testing_support
