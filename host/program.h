// wuna.Program: a loaded program, and loading it (Language.load).
//
// Loading parses the source with the language's parser (recovering from syntax errors, so
// that every error is reported at once), has the language's rules analyse the tree when it
// has rules, and stops with LoadError (every diagnostic rendered, the list kept as its
// "diagnostics") when any diagnostic is an error. Otherwise the tree capsule and the analysis
// capsule are read into the parse-tree index (ptree.h), which a new wuna.State keeps with the
// parse result, the analysis and the diagnostics. The Program record holds the State with the
// Language, the source and the path; the fields after those belong to runs and to compiled
// code and start empty. A failed load leaves nothing behind: its partial record is released
// at once and the exception raised; load never returns None.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/language.h"
#include "host/u32map.h"
#include "runtime/value.h"

namespace driver {
struct Compiled;
struct OptimizeTask;
}  // namespace driver

namespace host {

struct ProgramRecord {
    PyObject* language;                // the Language
    PyObject* source;                  // the program text, a str
    PyObject* path;                    // null: none
    PyObject* state;                   // the wuna.State
    driver::Compiled* moduleState;     // the program's current compiled module, or null
    driver::OptimizeTask* optimizeTask;
    driver::Compiled** earlier;        // module states replaced while the program lived
    uint32_t earlierCount;
    PyObject* crossings;               // python_crossings of the last reported run, or null
    U32Map typeCache;                  // node -> the Python type its declared type names
    value::Frame* globalsFrame;        // the top level's frame kept for Program.call
    uint64_t lockCount;                // times compiled code took the interpreter lock
    void* session;                     // the Session the program is an entry of, or null
    uint8_t stayInPython;
    uint8_t runMode;                   // 0 'python', 1 'compiled', 2 'auto'
    uint8_t hasRun;
};

struct ProgramObject {
    PyObject_HEAD
    ProgramRecord record;
    uint8_t initialised;               // 1 once a load filled the record
};

extern PyType_Spec programSpec;

// Language.load(source, path=None).
PyObject* languageLoad(PyObject* self, PyObject* args, PyObject* kwargs);

// Fills *record from the source (path may be null), or leaves it empty with the exception
// set. 0 or -1.
int loadProgram(ProgramRecord* record, PyObject* languageObject, PyObject* source,
                PyObject* path);

// parser.parse_tree(source, recover=True): a new reference, or null with the exception.
PyObject* parseSource(PyObject* parser, PyObject* source);

// Analyses the parse result (taking over the caller's reference to it) with the language's
// rules (builtins passed on when not null), raises LoadError on errors, builds the index and
// sets record->state. record->language, source and path must be set; the language's grammar
// and function kinds are looked up again after the Python calls, which may change them.
// 0 or -1.
int checkTree(ProgramRecord* record, LanguageObject* language, PyObject* result,
              PyObject* builtins);

// Releases everything the record holds and empties it.
void releaseProgram(ProgramRecord* record);

// The Program's record when a load filled it, else null with RuntimeError.
ProgramRecord* programOf(PyObject* object);

}  // namespace host
