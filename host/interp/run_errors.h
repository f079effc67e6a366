// The errors of a run (wuna.Error, shown to users as runtime errors) and the call stack they
// carry.
//
// A runtime error reaches the host as a wuna.Error whose text is the rendered diagnostic
// followed by one line per active program function ("  in f(), called at file:3:5"),
// innermost first. Besides its text it keeps the pargo Diagnostic it was rendered from
// ("diagnostic") and the list of (name, note Diagnostic) pairs ("stack"). Every mode builds
// its errors here: the reference mode from the Runtime's call frames, compiled runs from
// their own call entries, so an error reads the same whichever mode ran the program.
//
// A Python exception that escapes a semantic or a host function becomes a runtime error
// once, at the innermost node whose semantic let it out (wrapError); the jumps of the
// interpreted language (Return, Break, Continue, TailCall) and wuna.Error itself pass
// through unchanged. So do the exceptions that are no Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit): they stop the run, and as no wuna.Error they are out of reach
// of a language's own error catching (which catches wuna.Error and rt.Throw). rt.Throw is the
// language-level exception: it travels as a Throw and carries the wuna.Error it will become
// (attribute _wuna_error) from the innermost node it escaped, which finishRunError substitutes when
// the Throw ends the run uncaught.
//
// Every operation reports its failure as the pending Python exception, under the
// interpreter lock on the run's thread.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace wuna::ptree {
struct Index;
}

namespace wuna::host {

struct ProgramRecord;
struct RunRecord;

// One active call: the function's name (UTF-8, not necessarily NUL-terminated) and the node
// it was called at (a node index; outside the tree stands for no place).
struct CallEntry {
    const char* name;
    size_t length;
    int64_t site;
};

// Where a node is: its byte range and the 1-based line and column (in bytes) of its start.
// A node index outside the tree (-1: no current node) gives (0, 0), line 1, column 1.
struct Position {
    uint32_t start;
    uint32_t end;
    uint32_t line;
    uint32_t column;
};
Position positionOf(const ptree::Index* index, int64_t node);

// A new wuna.Error (not raised) at node with message and code (both str; a null code is
// "runtime") and the call entries, innermost first. Null with the exception.
[[nodiscard]] PyObject* buildRunError(const ProgramRecord* program, int64_t node, PyObject* message,
                                      PyObject* code, std::span<const CallEntry> entries);

// The same with the Runtime's call stack, read from the innermost call frame out.
[[nodiscard]] PyObject* errorAtNode(RunRecord* rt, int64_t node, PyObject* message, PyObject* code);
// errorAtNode raised as the pending exception.
void raiseAtNode(RunRecord* rt, int64_t node, PyObject* message, PyObject* code);
// raiseAtNode with a UTF-8 message (malformed bytes replaced) and code "runtime".
void raiseAtNodeText(RunRecord* rt, int64_t node, const char* message, size_t length);

// After a semantic or host function failed at node: turns the pending exception into a
// runtime error there, gives a Throw its error, or leaves a jump, a wuna.Error or an
// exception that is no program failure as it is.
void wrapError(RunRecord* rt, int64_t node);

// Whether an exception of class kind is a failure a program may meet and handle (an
// Exception), rather than a request to stop the whole run (KeyboardInterrupt, SystemExit,
// any other BaseException that is no Exception). Cannot fail.
bool isProgramFailure(PyObject* kind);

// Gives the pending Throw its runtime error at node unless it has one. Never fails: its own
// failures are cleared, and the Throw stays pending.
void attachThrowError(RunRecord* rt, int64_t node);

// When a run ends in failure: an escaped Throw carrying its error is replaced by that
// wuna.Error; every other pending exception stays.
void finishRunError();

// The message a runtime error takes from the pending Python exception, which it consumes
// ("division by zero", "key not found: 'x'", "RuntimeError: boom"...). New str, or null
// with the exception of the failure.
[[nodiscard]] PyObject* exceptionMessage();

// Raises cls with "the program defines no function '<name>'".
void raiseNoSuchFunction(PyObject* cls, const char* name, size_t length);

}  // namespace wuna::host
