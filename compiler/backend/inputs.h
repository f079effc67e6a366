// What code generation is given of a language and a program (CompileInputs), taken once per
// generation by compileInputs and copied into the compiler; the pointers are borrowed from
// the Language and the program, which outlive the generation.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace wuna::ptree {
struct GrammarInfo;
}

namespace wuna::host {
struct FunctionKind;
}

namespace wuna::front {
struct Cache;
struct FunctionIR;
}  // namespace wuna::front

namespace wuna::compile {
struct EscapedSites;
}

namespace wuna::driver {

struct CompileInputs {
    const ptree::GrammarInfo* grammar;
    PyObject* const* evals;  // per node kind: the eval semantic, or null
    uint64_t evalCount;
    PyObject* const* execs;  // per node kind: the exec semantic, or null
    uint64_t execCount;
    const host::FunctionKind* functionKinds;
    uint64_t functionKindCount;
    // The language's readings of its semantics (the front end's cache), and the reading of a
    // semantic in it, or null when the front end has not read it (it is not compiled).
    front::Cache* frontCache;
    const front::FunctionIR* (*readingOf)(const front::Cache* cache, PyObject* fn);
    PyObject* hosts;         // the language's dict of host functions
    PyObject* analysis;      // the program's analysis, or null
    PyObject* treeObject;    // the parser's tree object of the program (token values), or null
    const char* path;        // the path's UTF-8, or null
    uint64_t pathLength;
    // The language's map of semantics that run as Python (semantic -> reason): whether a
    // semantic is in it, and adding one with the reason generation found (0, or -1 with
    // MemoryError).
    void* pythonMap;
    bool (*runsAsPython)(void* map, PyObject* fn);
    int (*runAsPython)(void* map, PyObject* fn, const char* reason, size_t length);
    // The language's containers that must be made at run time (grown by the emitters, kept
    // across generations), or null.
    compile::EscapedSites* escapedSites;
    uint64_t hotCalls;
    PyObject* types;  // Language.types, or null
    uint8_t strict;
};


}  // namespace wuna::driver
