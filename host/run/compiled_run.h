// The compiled run of a program's top level, and what a run of compiled code sets up for the
// runtime helpers it calls.
//
// A compiled run sets up the run record (run.h's RunRecord: the program, the module state,
// its bridge tables, the semantic lookup, the error builders) and the helper context on the
// running thread's stack, makes the top-level frame, and calls the module's entry with the
// interpreter lock released. The outcome, in this order: a strict language whose code went
// into Python raises StrictError (even when the run succeeded); a successful entry gives None;
// a failure becomes the Python exception it saved, or a wuna.Error with code "runtime" and the
// call stack, worded as the reference mode words it.
//
// A run or a compiled Program.call happens on the calling thread when the module's code runs
// no semantic or value through Python and the thread's stack has room for max_depth levels;
// otherwise on a run thread (run_thread.h). A run may start on a thread where another run's
// compiled code is waiting for Python code it called (a host function calling Program.call):
// the inner run puts the outer one's claim of the interpreter lock and its crossing note aside
// and gives them back when it ends, so each run releases only what it took.
// Everything here needs the interpreter lock on entry and holds it on return.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/run/compiled_view.h"
#include "host/run/program.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/tally.h"

namespace wuna::driver {
struct Compiled;
}

namespace wuna::host {

// The record and context of one run of compiled code on this thread. begin fills both and
// makes the context the thread's current one; end tears them down and restores the previous
// context and the recursion limit. begin: 0, or -1 with MemoryError (nothing to end).
struct CompiledRun {
    helpers::RunRecord run;
    helpers::Ctx ctx;
    bridge::Tally tally;
    ProgramRecord* program;
    PyObject* programObject;
    driver::Compiled* state;
    helpers::Ctx* previous;
    int recursionLimit;  // the limit before the run raised it
    CompiledView view;  // the program as the run record shows it to the runtime
    // A strict run's first crossing into Python, copied from the thread's note when the
    // native call ends (a later run on this thread may write the note again).
    gil::Crossing crossing;

    [[nodiscard]] int begin(PyObject* programObject, ProgramRecord* program, PyObject* context,
                            uint64_t stackFloor, bool report);
    // Calls entry(ctx, frame) with the lock released, counting the lock takes on the program
    // and, in a strict language, taking the first crossing into Python. ok: the entry's
    // answer; *crossed: whether a strict run went into Python (the crossing copied into
    // crossing). The thread's lock record is as it was before, the lock held.
    bool callNative(bool (*entry)(helpers::Ctx*, void*), void* frame, bool* crossed);
    // The run's failure raised (-1 always): the exception it saved, else a wuna.Error.
    int raiseCtxFailure();
    // StrictError naming where the run went into Python (-1 always).
    int reportStrict();
    void end();
};

// Program.run in the 'compiled' mode (and 'auto' while it runs like it): the module made
// sure of, then the run on this thread or a run thread; report=True replaces the program's
// crossings by the run's. None, or null with the exception.
[[nodiscard]] PyObject* compiledRun(PyObject* programObject, ProgramRecord* program, bool report);

// Program.compiled_ir(): the program's LLVM IR before optimization, generated into a
// throwaway module state. A str, or null with the exception.
[[nodiscard]] PyObject* compiledIr(ProgramRecord* program);

// The lowest address of the calling thread's stack, kept per thread after the first answer;
// 0 when the thread's attributes cannot tell. Cannot fail.
uintptr_t stackBounds();

// Where compiled code of the program's module state may run: the native stack floor for a
// run on this thread (the stack's lowest address plus run_thread.h's margin), or 0 for a run
// thread: when the module's code can run a semantic or a value through Python (Python needs
// the stack a run thread is sized with), when the stack's bounds are unknown, or when less
// than max_depth x 4096 bytes plus the margin lies below the current position. Cannot fail.
uint64_t callingThreadFloor(uint32_t maxDepth, const driver::Compiled* state);

// The 'compiled' Program.call once the program's module is made (driver::ensureCompiled):
// the top-level function name (UTF-8, length bytes) of the program called with the arguments
// (a tuple), with the native stack floor (0: none, on a run thread). The top level runs once,
// when no global frame exists yet; then the values the globals reach are frozen, once per
// program. New reference, or null with the exception (KeyError "the program defines no
// function '<name>'", the top level's failure, the call's, StrictError).
[[nodiscard]] PyObject* compiledCall(PyObject* programObject, ProgramRecord* program,
                                     const char* name, size_t length, PyObject* args,
                                     PyObject* context, uint64_t stackFloor);

}  // namespace wuna::host
