// _wuna_backend_test: the native back end behind a small test-only module, for the Python
// tests that need what a native test cannot give: the real import of pargo and fake capsules
// made with ctypes (llvmapi.load), fresh processes sharing a disk cache, and the perf map of a
// process. It carries its own copy of the back end and of the settings, so configure() here
// sets this module's settings (the back end reads them as it reads wuna's). Built with the
// native tests and never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>

#include "compiler/backend/cache.h"
#include "compiler/backend/compile.h"
#include "compiler/backend/driver.h"
#include "compiler/backend/llvmapi.h"
#include "compiler/backend/perfmap.h"
#include "compiler/backend/sha256.h"
#include "host/module/settings.h"
#include "wuna/runtime/helpers/stubs.h"

namespace wuna {
namespace {

const llvmapi::Table& T = llvmapi::table;

PyObject* address(const void* p) {
    if (!p) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(uint64_t(uintptr_t(p)));
}

PyObject* load(PyObject*, PyObject*) {
    const llvmapi::Capsule* c = llvmapi::load();
    return c ? address(c) : nullptr;
}

PyObject* loaded(PyObject*, PyObject*) { return address(llvmapi::loaded()); }

PyObject* slot(PyObject*, PyObject* arg) {
    long i = PyLong_AsLong(arg);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    return address(llvmapi::slot(uint32_t(i)));
}

PyObject* configure(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"cache", "cache_size", "perf_map", nullptr};
    PyObject *cache = nullptr, *size = nullptr, *perf = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO", const_cast<char**>(names), &cache, &size,
                                     &perf))
        return nullptr;
    if (size && size != Py_None) {
        unsigned long long n = PyLong_AsUnsignedLongLong(size);
        if (PyErr_Occurred()) return nullptr;
        settings::current.cacheSize = n;
    }
    if (cache == Py_True)
        settings::setCachePlace(settings::CachePlace::platform, nullptr);
    else if (cache == Py_False)
        settings::setCachePlace(settings::CachePlace::off, nullptr);
    else if (cache && cache != Py_None) {
        const char* text = PyUnicode_AsUTF8(cache);
        if (!text) return nullptr;
        settings::setCachePlace(settings::CachePlace::directory, strdup(text));
    }
    if (perf && perf != Py_None) settings::current.perfMap = uint8_t(PyObject_IsTrue(perf) == 1);
    Py_RETURN_NONE;
}

PyObject* cacheDirectory(PyObject*, PyObject*) {
    const char* dir = driver::cacheDirectory();
    if (!dir) Py_RETURN_NONE;
    return PyUnicode_FromString(dir);
}

PyObject* clearCache(PyObject*, PyObject*) {
    settings::clearCache();
    Py_RETURN_NONE;
}

PyObject* evict(PyObject*, PyObject* arg) {
    unsigned long long limit = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    settings::evictCache(limit);
    Py_RETURN_NONE;
}

PyObject* noteCacheWrite(PyObject*, PyObject* arg) {
    unsigned long long size = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    settings::noteCacheWrite(size);
    Py_RETURN_NONE;
}

PyObject* sha256(PyObject*, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    uint8_t digest[32];
    sha256::digest(view.buf, size_t(view.len), digest);
    PyBuffer_Release(&view);
    return PyBytes_FromStringAndSize(reinterpret_cast<char*>(digest), 32);
}

bool needTable() { return llvmapi::load() != nullptr; }

PyObject* cacheIdentity(PyObject*, PyObject*) {
    if (!needTable()) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(driver::cacheIdentity()), 32);
}

PyObject* cacheKey(PyObject*, PyObject* args) {
    const char* ir;
    Py_ssize_t irLength;
    unsigned level;
    const char* target = nullptr;
    Py_ssize_t targetLength = 0;
    if (!PyArg_ParseTuple(args, "y#I|z#", &ir, &irLength, &level, &target, &targetLength))
        return nullptr;
    if (!needTable()) return nullptr;
    uint8_t key[32];
    driver::cacheKey(key, ir, size_t(irLength), level, target, size_t(targetLength));
    return PyBytes_FromStringAndSize(reinterpret_cast<char*>(key), 32);
}

// Module states kept alive until free_states(), so their code stays loaded.
backend::List<driver::Compiled*> states;

// A state for the 32-byte program key whose module has <prefix>_main returning true and
// <prefix>_value returning value; added. A dict of what happened.
PyObject* compileConstant(PyObject*, PyObject* args) {
    const char* key;
    Py_ssize_t keyLength;
    long long value;
    unsigned level;
    if (!PyArg_ParseTuple(args, "y#LI", &key, &keyLength, &value, &level)) return nullptr;
    if (keyLength != 32) {
        PyErr_SetString(PyExc_ValueError, "a program key is 32 bytes");
        return nullptr;
    }
    driver::Compiled* s = driver::Compiled::create(
        nullptr, PyExc_RuntimeError, reinterpret_cast<const uint8_t*>(key), level, false);
    if (!s) return nullptr;
    if (!states.push(s)) {
        driver::Compiled::free(s);
        return PyErr_NoMemory();
    }
    compile::ModuleRecord* m = &s->compiler.module;
    compile::FunctionRef main, f;
    std::string name = std::string(s->prefix, s->prefixLength) + "_value";
    if (compile::llvmFunction(&s->compiler, compile::kTopLevel, &main) != Status::ok ||
        compile::declareFunction(m, name.data(), name.size(), m->i64, nullptr, 0,
                                 compile::DeclareExported, &f) != Status::ok)
        return PyErr_NoMemory();
    llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(m->context);
    T.LLVMPositionBuilderAtEnd(b,
                               T.LLVMAppendBasicBlockInContext(m->context, main.function, "entry"));
    T.LLVMBuildRet(b, T.LLVMConstInt(m->i1, 1, 0));
    T.LLVMPositionBuilderAtEnd(b, T.LLVMAppendBasicBlockInContext(m->context, f.function, "entry"));
    T.LLVMBuildRet(b, T.LLVMConstInt(m->i64, uint64_t(value), 1));
    T.LLVMDisposeBuilder(b);
    uint64_t entry = 0;
    const char* mainName = s->mainName();
    if (s->add(mainName, strlen(mainName), &entry) < 0) return nullptr;
    uint64_t at = s->engine->symbolAddress(name.c_str());
    long long result = at ? reinterpret_cast<int64_t (*)()>(at)() : -1;
    PyObject* keys = PyList_New(0);
    if (!keys) return nullptr;
    for (size_t i = 0; i < s->keys.count; i++) {
        PyObject* k =
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s->keys[i].bytes), 32);
        if (!k || PyList_Append(keys, k) < 0) {
            Py_XDECREF(k);
            Py_DECREF(keys);
            return nullptr;
        }
        Py_DECREF(k);
    }
    return Py_BuildValue("{s:L,s:K,s:K,s:N,s:n,s:s,s:s,s:K}", "value", result, "loads",
                         (unsigned long long)s->cacheLoads, "compiles",
                         (unsigned long long)s->compiles, "keys", keys, "kept",
                         Py_ssize_t(s->codeStore.used), "prefix", s->prefix, "main", mainName,
                         "entry", (unsigned long long)entry);
}

PyObject* freeStates(PyObject*, PyObject*) {
    for (size_t i = 0; i < states.count; i++) driver::Compiled::free(states[i]);
    states.clear();
    Py_RETURN_NONE;
}

PyObject* perfMapPath(PyObject*, PyObject*) {
    char path[64];
    driver::perfMapPath(path, sizeof path);
    return PyUnicode_FromString(path);
}

PyObject* symbolAddress(PyObject*, PyObject* arg) {
    const char* name = PyUnicode_AsUTF8(arg);
    if (!name || !needTable()) return nullptr;
    return PyLong_FromUnsignedLongLong(llvmapi::loaded()->symbolAddress(name));
}

PyMethodDef methods[] = {
    {"load", load, METH_NOARGS, nullptr},
    {"loaded", loaded, METH_NOARGS, nullptr},
    {"slot", slot, METH_O, nullptr},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"cache_directory", cacheDirectory, METH_NOARGS, nullptr},
    {"clear_cache", clearCache, METH_NOARGS, nullptr},
    {"evict", evict, METH_O, nullptr},
    {"note_cache_write", noteCacheWrite, METH_O, nullptr},
    {"sha256", sha256, METH_O, nullptr},
    {"cache_identity", cacheIdentity, METH_NOARGS, nullptr},
    {"cache_key", cacheKey, METH_VARARGS, nullptr},
    {"compile_constant", compileConstant, METH_VARARGS, nullptr},
    {"free_states", freeStates, METH_NOARGS, nullptr},
    {"perf_map_path", perfMapPath, METH_NOARGS, nullptr},
    {"symbol_address", symbolAddress, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "_wuna_backend_test",
    nullptr,
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace wuna

PyMODINIT_FUNC PyInit__wuna_backend_test() { return PyModule_Create(&wuna::moduleDef); }
