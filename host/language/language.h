// wuna.Language: the Python object that defines a programming language, and the operations
// that write its definition.
//
// A Language is made from a parser object (whose grammar it reads once, ptree::readGrammar)
// and optional rules, with two limits and a strictness flag; then it grows: semantics per
// node kind (eval and exec dicts, filled through Registrar objects, language/registrar.h), function
// kinds (one FunctionKind record per kind of the grammar), host functions (a dict by name)
// and a mapping of type names. Every semantic registered is read by the compiler front end
// at once (frontCheck); its result is kept in the front cache, and the reason a function
// cannot be compiled is kept in the why map, which holds a reference to each function it
// names so that a reason never outlives its function. The per-kind semantic tables mirror
// the dicts for fast dispatch and are rebuilt (buildKindTables) after any registration. The
// three dicts are keyed by plain strs (a str subclass given is copied), so that looking a
// name up in them never runs Python code.
// Loading, runs and the compiler read the record; everything here runs under the
// interpreter lock.
//
// The object records whether its constructor completed. One made by Language.__new__ alone,
// or emptied by the garbage collector's clear, has no grammar: its methods raise instead of
// reading it (languageOf).
#pragma once
#include "host/support/python.h"

#include <cstddef>
#include <cstdint>

#include "compiler/front/cache.h"
#include "compiler/front/front.h"
#include "host/support/idmap.h"
#include "host/tree/function_kind.h"
#include "host/tree/grammar.h"

namespace wuna::compile {
struct EscapedSites;
}

namespace wuna::host {

// A reason a function runs as Python: owned UTF-8 (not NUL-terminated).
struct Why {
    char* text;
    size_t length;
};

struct LanguageObject {
    PyObject_HEAD PyObject* parser;
    PyObject* rules;              // null: none
    ptree::GrammarInfo* grammar;  // null until constructed
    PyObject* evals;              // dict: kind name -> function
    PyObject* execs;
    PyObject* hosts;              // dict: name -> callable or wuna.NativeHost
    FunctionKind* functionKinds;  // grammar->kindCount entries
    PyObject** evalPerKind;       // borrowed from evals
    PyObject** execPerKind;       // borrowed from execs
    int64_t hotCalls;
    PyObject* types;                  // null: none
    front::Cache frontCache;          // each IR holds its function
    idmap::IdMap<Why> why;            // each key holds a reference to its function
    idmap::IdMap<void*> compilerMap;  // the compiler's; owns nothing
    // The containers compiled code makes at run time, found by generating its programs; made
    // on first use, owned.
    compile::EscapedSites* runTimeContainers;
    uint32_t maxDepth;
    uint8_t kindTablesBuilt;
    uint8_t strict;
    uint8_t constructed;
};

extern PyType_Spec languageSpec;

// The language data of a constructed Language, or null with a RuntimeError (an object whose
// constructor never ran or whose data was cleared) or TypeError (not a Language).
[[nodiscard]] LanguageObject* languageOf(PyObject* object);

// Releases the language data (references, grammar, arrays, maps), leaving each field empty.
void releaseLanguage(LanguageObject* language);

// Brings the per-kind semantic tables up to date with the dicts. Cannot fail.
void buildKindTables(LanguageObject* language);

// The first kind index whose rule name or "-> class" name is name, or -1.
int32_t kindIndex(const ptree::GrammarInfo* grammar, const char* name, size_t length);

// Checks a kind argument (a str, or a sequence of strs) against the grammar. 0, or -1 with
// a Python exception.
[[nodiscard]] int checkKinds(LanguageObject* language, PyObject* kind);

// The label number of a label argument given (a str naming a field), or, when it is absent or
// None, of the default label (0 when the grammar lacks it and optional is set). 0, or -1 with
// a TypeError or ValueError.
[[nodiscard]] int labelOf(const ptree::GrammarInfo* grammar, PyObject* given, const char* fallback,
                          bool optional, uint8_t* out);

// Raises the CompileError of a function the front end refused: "<file>:<line>:<column>: in
// <name>(): <reason>", with those four as its attributes.
void compileErrorOf(PyObject* fn, const front::Failure& failure);

// Makes sure fn is in the front cache. 0, or -1 with the exception (a CompileError when the
// front end refused fn).
int frontCheck(LanguageObject* language, PyObject* fn);

// Records the reason fn runs as Python unless it has one. 0, or -1 with MemoryError.
[[nodiscard]] int keepWhy(LanguageObject* language, PyObject* fn, const char* text, size_t length);

// A plain str of a str's text (the str itself when it is no subclass), the key under which
// the language's dicts keep a name. New reference, or null with MemoryError.
[[nodiscard]] PyObject* exactStr(PyObject* text);

// Registers fn as the host function name. 0, or -1 with a TypeError (or MemoryError).
[[nodiscard]] int addHost(LanguageObject* language, PyObject* name, PyObject* fn);

}  // namespace wuna::host
