// wuna.Session: programs run one after another, each seeing what the ones before it defined.
//
// A session keeps its Language, the Program of every entry that loaded (in order; they keep
// their trees, frames and functions alive) and a dict of names: name (str) -> (wuna.Frame,
// int), the global frame of the entry that last defined the name and the name's symbol in
// that entry's program. An entry is loaded as a program of its own with those names given to
// the rules as builtins; its builtin names then reach the earlier entries' variables through
// the names dict (the interpreter's variable lookup), and calls of functions the earlier
// entries made run against their own entries' programs (the interpreter's calls find them in
// the programs list). Each entry runs in the reference mode on a thread of its own with a
// large stack while the caller waits without the interpreter lock; afterwards the names the
// entry's global frame gave a value are recorded, also when the entry failed.
//
// Each entry's Program record points back at its session (a borrowed pointer); the session
// clears those pointers when it goes, so a program that outlives it is no entry any more.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace wuna::host {

struct ProgramRecord;

struct SessionObject {
    PyObject_HEAD PyObject* language;  // the Language
    PyObject* programs;                // list of the entries' Program objects
    PyObject* names;                   // dict: name -> (wuna.Frame, int symbol index)
    bool initialised;                  // once Language.session() filled the fields
};

extern PyType_Spec sessionSpec;

// Language.session(): a new Session of the Language, or null with the exception.
[[nodiscard]] PyObject* languageSession(PyObject* self, PyObject* unused);

// The body of Session.run: the entry's value (new reference), or null with the exception.
[[nodiscard]] PyObject* sessionRun(PyObject* session, PyObject* source);

// The session a program record names (its session field), or null when it is no entry.
[[nodiscard]] SessionObject* sessionOfProgram(const ProgramRecord* record);

// The entry of the session whose wuna.State is state: its Program object (borrowed), or null
// (no exception) when no entry has it.
[[nodiscard]] PyObject* sessionEntryOf(const SessionObject* session, PyObject* state);

// The frame and symbol an earlier entry gave name. 1 found (*frame borrowed), 0 not found,
// -1 with the exception (a names entry that is not a (Frame, int) pair).
[[nodiscard]] int sessionName(const SessionObject* session, PyObject* name, PyObject** frame,
                              uint32_t* symbol);

}  // namespace wuna::host
