// wuna.Program: a loaded program, loading it (Language.load) and running it (Program.run).
//
// Loading parses the source with the language's parser (recovering from syntax errors, so
// that every error is reported at once), has the language's rules analyse the tree when it
// has rules, and stops with LoadError (every diagnostic rendered, the list kept as its
// "diagnostics") when any diagnostic is an error. Otherwise the tree capsule and the analysis
// capsule are read into the parse-tree index (tree/index.h), which a new wuna.State keeps with the
// parse result, the analysis and the diagnostics. The Program record holds the State with the
// Language, the source and the path; the fields after those belong to runs and to compiled
// code and start empty. A failed load leaves nothing behind: its partial record is released
// at once and the exception raised; load never returns None.
//
// Program.run in the 'python' mode runs the top level on a run thread (run/run_thread.h) with a
// stack sized for the language's max_depth while the caller waits without the interpreter
// lock; in the 'compiled' mode (and 'auto' once optimized code is at hand) the
// driver makes sure of the program's module state and the compiled top level runs
// (run/compiled_run.h). Every run records its mode and that the program has run, whatever
// its outcome. report() describes what compiled runs did, from the current module state;
// compiled_ir() prints the module the program generates into.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/language/language.h"
#include "host/support/u32map.h"
#include "wuna/runtime/value.h"

namespace wuna::driver {
struct Compiled;
struct OptimizeTask;
}  // namespace wuna::driver

namespace wuna::host {

struct StateObject;

// The run modes; their order is that of the mode names ('python', 'compiled', 'auto').
enum class RunMode : uint8_t { python, compiled, automatic };

struct ProgramRecord {
    PyObject* language;             // the Language
    PyObject* source;               // the program text, a str
    PyObject* path;                 // null: none
    PyObject* state;                // the wuna.State
    driver::Compiled* moduleState;  // the program's current compiled module, or null
    driver::OptimizeTask* optimizeTask;
    driver::Compiled** earlier;  // module states replaced while the program lived
    uint32_t earlierCount;
    PyObject* crossings;         // python_crossings of the last reported run, or null
    U32Map typeCache;            // node -> the Python type its declared type names
    value::Frame* globalsFrame;  // the top level's frame kept for Program.call
    uint64_t lockCount;          // times compiled code took the interpreter lock
    void* session;               // the Session the program is an entry of, or null
    bool stayInPython;
    bool frozen;  // the values the compiled globals reach are immortal (compiled calls)
    RunMode runMode;  // the mode of the last run; read only once hasRun
    bool hasRun;
};

struct ProgramObject {
    PyObject_HEAD ProgramRecord record;
    bool initialised;  // once a load filled the record
};

extern PyType_Spec programSpec;

// Language.load(source, path=None).
[[nodiscard]] PyObject* languageLoad(PyObject* self, PyObject* args, PyObject* kwargs);

// Fills *record from the source (path may be null or None, else it must be a str: TypeError
// "path must be a str"), or leaves it empty with the exception set. 0 or -1.
[[nodiscard]] int loadProgram(ProgramRecord* record, PyObject* languageObject, PyObject* source,
                              PyObject* path);

// parser.parse_tree(source, recover=True): a new reference, or null with the exception.
[[nodiscard]] PyObject* parseSource(PyObject* parser, PyObject* source);

// Analyses the parse result (taking over the caller's reference to it) with the language's
// rules (builtins passed on when not null), raises LoadError on errors, builds the index and
// sets record->state. record->language, source and path must be set; the language's grammar
// and function kinds are looked up again after the Python calls, which may change them.
// 0 or -1.
[[nodiscard]] int checkTree(ProgramRecord* record, LanguageObject* language, PyObject* result,
                            PyObject* builtins);

// Releases everything the record holds and empties it. An exception pending when it is called
// is pending again when it returns. Never fails.
void releaseProgram(ProgramRecord* record);

// The Program's record when a load filled it, else null with RuntimeError.
[[nodiscard]] ProgramRecord* programOf(PyObject* object);

// The wuna.State of a program record (borrowed): never null in a record a load filled.
inline StateObject* stateOf(const ProgramRecord* record) {
    return reinterpret_cast<StateObject*>(record->state);
}

// --- runs ----------------------------------------------------------------------------------

// A mode argument: None gives fallback; a str names one of 'python', 'compiled', 'auto'
// (exactly). 0 with *mode set, or -1 with TypeError "mode must be a str" or ValueError "mode
// must be 'python', 'compiled' or 'auto', not '<mode>'".
[[nodiscard]] int parseRunMode(PyObject* given, RunMode fallback, RunMode* mode);

// The Language's max_depth of a program, or -1 with the exception (a cleared Language).
[[nodiscard]] int64_t maxDepthOf(const ProgramRecord* record);

}  // namespace wuna::host
