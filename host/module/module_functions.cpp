// The module's function table (see module/module_functions.h). Each docstring starts with the
// function's text signature, a "--" line and an empty line, which the interpreter turns into
// __text_signature__ and strips from __doc__.
#include "host/module/module_functions.h"

#include <cstdlib>
#include <cstring>

#include "host/module/runtime_setup.h"
#include "host/module/settings.h"
#include "wuna/runtime/args.h"
#include "host/support/pymethods.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/version.h"

namespace wuna::host {

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(version::wuna); }

PyObject* blocks(PyObject*, PyObject*) { return PyLong_FromLongLong(liveBlocks()); }

// A full collection of the calling thread's blocks, asking the proxies whether Python still
// uses the blocks they show.
PyObject* collect(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(gc::collect(gc::threadRecord(), true, true));
}

// The functions whose work is not written yet.
PyObject* notYet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "wuna.%s() is not available yet", name);
    return nullptr;
}
PyObject* buildExecutable(PyObject*, PyObject*, PyObject*) { return notYet("build_executable"); }
PyObject* buildNative(PyObject*, PyObject*, PyObject*) { return notYet("build_native"); }

PyObject* clearCache(PyObject*, PyObject*) {
    settings::clearCache();
    Py_RETURN_NONE;
}

PyObject* comptime(PyObject*, PyObject* fn) {
    if (!PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "wuna.comptime takes a function");
        return nullptr;
    }
    if (PyObject_SetAttrString(fn, "__wuna_comptime__", Py_True) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "wuna.comptime takes a function it can mark (a def or a lambda, not a "
                        "builtin)");
        return nullptr;
    }
    return Py_NewRef(fn);
}

// configure()'s settings as read and checked, before any is applied.
struct Configuration {
    bool hasCacheSize = false;
    uint64_t cacheSize = 0;
    bool hasCache = false;
    settings::CachePlace cachePlace = settings::CachePlace::platform;
    char* cacheText = nullptr;  // owned until applied
    int perfMap = -1;           // -1: not given
    int tiers = -1;
};

// Reads cache_size and cache; 0, or -1 with the exception.
int readCacheSettings(PyObject* cacheSize, PyObject* cache, Configuration& out) {
    if (cacheSize) {
        long long size = PyLong_AsLongLong(cacheSize);
        if (size == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "cache_size must be an int (bytes; 0: no limit)");
            return -1;
        }
        if (size < 0) {
            PyErr_Format(PyExc_ValueError,
                         "cache_size must be 0 (no limit) or more bytes, not -%llu",
                         0ull - static_cast<unsigned long long>(size));
            return -1;
        }
        out.hasCacheSize = true;
        out.cacheSize = uint64_t(size);
    }
    if (!cache) return 0;
    out.hasCache = true;
    if (cache == Py_True) {
        out.cachePlace = settings::CachePlace::platform;
    } else if (cache == Py_False) {
        out.cachePlace = settings::CachePlace::off;
    } else if (PyUnicode_Check(cache)) {
        Py_ssize_t length;
        const char* text = PyUnicode_AsUTF8AndSize(cache, &length);
        if (!text) return -1;
        // A path ends at its first NUL for the system: "a\0b" would quietly be "a".
        if (memchr(text, 0, size_t(length))) {
            PyErr_SetString(PyExc_ValueError, "cache: embedded null character in the directory");
            return -1;
        }
        out.cacheText = static_cast<char*>(malloc(size_t(length) + 1));
        if (!out.cacheText) {
            PyErr_NoMemory();
            return -1;
        }
        memcpy(out.cacheText, text, size_t(length) + 1);
        out.cachePlace = settings::CachePlace::directory;
    } else {
        PyErr_SetString(PyExc_TypeError, "cache must be True, False or a directory (str)");
        return -1;
    }
    return 0;
}

// Every setting is checked before any is applied: a bad one leaves all of them as they were.
PyObject* configure(PyObject*, PyObject* args, PyObject* kwargs) {
    enum { Cache, CacheSize, PerfMap, Tiers, Count };
    static constexpr args::Param params[Count] = {
        {"cache", false}, {"cache_size", false}, {"perf_map", false}, {"tiers", false}};
    PyObject* values[Count];
    if (args::parse(nullptr, params, args, kwargs, values) < 0) return nullptr;
    for (PyObject*& value : values)
        if (value == Py_None) value = nullptr;
    Configuration given;
    bool valid = readCacheSettings(values[CacheSize], values[Cache], given) == 0;
    if (valid && values[PerfMap]) valid = (given.perfMap = PyObject_IsTrue(values[PerfMap])) >= 0;
    if (valid && values[Tiers]) valid = (given.tiers = PyObject_IsTrue(values[Tiers])) >= 0;
    if (!valid) {
        free(given.cacheText);
        return nullptr;
    }
    if (given.hasCacheSize) settings::current.cacheSize = given.cacheSize;
    if (given.hasCache) settings::setCachePlace(given.cachePlace, given.cacheText);
    if (given.perfMap >= 0) settings::current.perfMap = uint8_t(given.perfMap);
    if (given.tiers >= 0) settings::current.tiers = uint8_t(given.tiers);
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef moduleMethods[] = {
    {"version", WUNA_NO_ARGUMENTS(version),
     WUNA_DOC("version($module, /)", "Return the wuna version string")},
    {"_blocks", WUNA_NO_ARGUMENTS(blocks),
     WUNA_DOC("_blocks($module, /)", "The values' blocks allocated and not freed (for tests)")},
    {"collect", WUNA_NO_ARGUMENTS(collect),
     WUNA_DOC("collect($module, /)",
              "collect(): free the compiled code's values that only reference one another "
              "(reference cycles); how many were freed. Runs by itself as values are made, and "
              "at the end of a run.")},
    {"clear_cache", WUNA_NO_ARGUMENTS(clearCache),
     WUNA_DOC("clear_cache($module, /)",
              "clear_cache(): delete the compiled code kept in the cache.")},
    {"comptime", WUNA_ONE_ARGUMENT(comptime),
     WUNA_DOC("comptime($module, arg0, /)",
              "@wuna.comptime: a function whose result depends only on its arguments (its "
              "author says so: any Python, the subset or not). Compiled code calling it with "
              "values known when compiling (the program's tree's, constants, other such "
              "results) calls it then, once for those values in the process: its result is a "
              "constant of the code (lists, dicts and tuples in it native, read-only). With "
              "values known only at run time it's called as any function is. The reference "
              "mode calls it as ever.")},
    {"build_executable", asPyCFunction(buildExecutable), METH_VARARGS | METH_KEYWORDS,
     WUNA_DOC("build_executable($module, /, language, source, output, target=None, path=None, "
              "python=None, setup=None)",
              "build_executable(language, source, output, target=None, path=None, "
              "python=None, setup=None): one executable file running the program: a Python "
              "runtime, wuna and its packages, the language's module (and the modules beside "
              "it), the program and its compiled code. language: the Language, or "
              "'module:attribute'; source: the program's text or its file; target: "
              "'x86_64-linux' or 'x86_64-windows' (default: this machine's); python: '3.10' "
              "... '3.14' (default: this one's); setup: 'module:function', a function of a "
              "module beside the language's called with the program's path and its arguments "
              "before it runs (Lua's `arg`).Needs the ziglang package (pip install "
              "wuna-py[exe]); downloads the runtime (python-build-standalone's) once. Returns "
              "the executable's path.")},
    {"build_native", asPyCFunction(buildNative), METH_VARARGS | METH_KEYWORDS,
     WUNA_DOC("build_native($module, /, language, source, output, path=None, prune=None, "
              "left_out=None, setup=None, target=None, shared=None)",
              "build_native(language, source, output, path=None, prune=False, left_out=None, "
              "setup=None, target=None, shared=False): a standalone program (shared: a "
              "library, .so or .dll, with a C API in a header beside it: wuna_init, wuna_call, "
              "wuna_error): a strict language's program compiled ahead of time, all of it, and "
              "linked with wuna's runtime into one executable with no Python in it (for this "
              "machine; target: 'x86_64-linux' or 'x86_64-windows', any machine of that "
              "system, from either: a Windows program's name ends in .exe). language: the "
              "Language, or 'module:attribute'; source: the program's text or its file; path: "
              "the name its errors give it; prune: only the library functions the program can "
              "name compiled (smaller, faster to build; one reached anyway stops the program "
              "with an error naming it); left_out: a list, the names of those left out "
              "appended; setup: a function (or 'module:function', a function of a module "
              "beside the language's), compiled too, called with the program's path and its "
              "arguments (a list of strs) before it runs: 'lua:set_args' makes Lua's `arg`. "
              "Needs the ziglang package (pip install wuna-py[exe]). Its runtime errors are "
              "written as the reference mode words them, exiting with 1. Returns the "
              "executable's path.")},
    {"configure", asPyCFunction(configure), METH_VARARGS | METH_KEYWORDS,
     WUNA_DOC("configure($module, /, cache=None, cache_size=None, perf_map=None, tiers=None)",
              "configure(cache=None, cache_size=None, perf_map=None, tiers=None): process-wide "
              "settings (those not given stay). cache: True (the platform's place for caches: "
              "%LOCALAPPDATA%\\wuna\\Cache on Windows, ~/Library/Caches/wuna on macOS, "
              "$XDG_CACHE_HOME/wuna or ~/.cache/wuna elsewhere), False (no cache), or a "
              "directory; cache_size: the most the cache takes, in bytes (default 1 GiB; 0: no "
              "limit): past it, the least recently used compiled code is deleted, down to 80% "
              "of it; perf_map: name compiled functions for Linux's perf "
              "(/tmp/perf-<pid>.map); tiers: True (default: a program run compiled whose "
              "optimized code isn't cached is compiled fast first, optimized in the "
              "background, the optimized code running from the run after it's done) or False "
              "(optimized at once).")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wuna::host
