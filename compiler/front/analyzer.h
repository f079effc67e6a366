// The stored analyzer: three questions about the Python code around the semantics, answered by
// a script the compiler keeps as plain source text and runs once per process.
//
// - pure(fn): may fn be called while compiling, its result standing for every call with the
//   same arguments? (The call planner evaluates pure helpers of constant arguments and
//   accepts pure calls in inlined guard tests.)
// - scan(g): which module variables do the module's functions rebind, and which module tables
//   does the module only read? (A rebound variable changes at run time; an only-read table is
//   a constant.)
// - readonly(fn): which positional parameters does fn only read? (A helper compiled out of
//   line may then be given a list known while compiling.)
//
// pure judges a function that calls itself, or a cycle of functions, by the rest of its body:
// a function still being checked counts as pure to the functions it calls. An answer that
// rested on that assumption about another function is kept only once that function's own
// answer is in, so a helper of an impure function's cycle is never remembered as pure. A
// function changes only what it made: storing into, deleting from, or calling a method other
// than the safe ones on a parameter, or on anything taken from a parameter, makes it impure.
//
// The answers are cached for the process (functions, and every globals dict scan has seen, are
// kept alive). All of it needs the interpreter lock.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/status.h"

namespace wuna::front {

// The script's scan, pure and readonly, borrowed and kept for the process.
struct Analyzer {
    PyObject* scan;
    PyObject* pure;
    PyObject* readonly;
};

// Runs the script on first use and keeps its three functions. ok, or pythonError with the
// exception pending (also for a missing function: nothing is kept, the next call tries again).
[[nodiscard]] Status loadAnalyzer();

// The kept functions; all null before a successful loadAnalyzer.
const Analyzer& analyzer();

// Whether pure(fn) is True itself. ok with *out, or pythonError (the script failed to load,
// or the call raised).
[[nodiscard]] Status isPure(PyObject* fn, bool* out);

}  // namespace wuna::front
