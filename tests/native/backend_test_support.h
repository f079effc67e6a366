// What the native back end's tests share: the interpreter lock held for the test's thread
// (exceptions are raised and read), the LLVM table filled once from the pargo engine linked
// into the test binary (no import of pargo), the settings of compiled code reset around each
// test, and small file helpers.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/backend/llvmapi.h"
#include "host/module/settings.h"
#include "llvm/capsule.h"
#include "tests/native/python_test_support.h"
#include "wuna/runtime/gil.h"

namespace wuna::backend_testing {

// The engine linked into this binary, read through the back end's own record layout.
inline const llvmapi::Capsule* engine() {
    return reinterpret_cast<const llvmapi::Capsule*>(pargo::llvmcapsule::capsule());
}

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        r = gil::enter();
        gil::leave(r);
        if (!llvmapi::loaded()) {
            ASSERT_NE(llvmapi::adopt(engine(), nullptr), nullptr);
        }
        settings::setCachePlace(settings::CachePlace::off, nullptr);
        settings::current.perfMap = 0;
    }
    void TearDown() override {
        PyErr_Clear();
        settings::setCachePlace(settings::CachePlace::off, nullptr);
        settings::current.perfMap = 0;
        testing_support::endRun(r);
    }
    gil::Record* r = nullptr;
};

// The pending exception's text (cleared), or "" when none is pending; *type gets its class
// (borrowed: exception classes live for the process).
inline std::string takeError(PyObject** type = nullptr) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (type) *type = t;
    std::string text;
    if (v) {
        PyObject* s = PyObject_Str(v);
        if (s) text = PyUnicode_AsUTF8(s);
        Py_XDECREF(s);
    }
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return text;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// A fresh directory under /tmp, removed with its files at the end of the test.
struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/wuna-backend-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path, ignored);
    }
    // The names in the directory, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(path, ignored))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

inline void useCacheDirectory(const std::string& dir) {
    settings::setCachePlace(settings::CachePlace::directory, strdup(dir.c_str()));
}

}  // namespace wuna::backend_testing
