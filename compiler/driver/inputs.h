// What code generation is given of a language and a program (CompileInputs), taken once per
// generation by compileInputs and copied into the compiler; the pointers are borrowed from
// the Language and the program, which outlive the generation.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace wuna::ptree {
struct GrammarInfo;
}

namespace wuna::host {
struct FunctionKind;
struct LanguageObject;
struct ProgramRecord;
}  // namespace wuna::host

namespace wuna::front {
struct Cache;
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
    front::Cache* compiled;  // the language's readings: a semantic read is one compiled
    PyObject* hosts;         // the language's dict of host functions
    PyObject* analysis;      // the program's analysis, or null
    const char* path;        // the path's UTF-8, or null
    uint64_t pathLength;
    // The language: its map of semantics that run as Python (semantic -> reason), to which
    // generation adds the semantics it could not compile.
    host::LanguageObject* language;
    uint64_t hotCalls;
    PyObject* types;  // Language.types, or null
    uint8_t strict;
};

// Fills the inputs from the program and its language (the per-kind tables brought up to date
// first). 0, or -1 with the exception (a cleared Language, a path that is no str).
[[nodiscard]] int compileInputs(CompileInputs* out, const host::ProgramRecord* program);

}  // namespace wuna::driver
