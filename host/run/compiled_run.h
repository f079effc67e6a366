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
// The run happens on the calling thread when the module runs no semantic as Python and the
// thread's stack has room for max_depth levels; otherwise on a run thread (run_thread.h).
// Everything here needs the interpreter lock on entry and holds it on return.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/run/compiled_view.h"
#include "host/run/program.h"
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
    uint64_t ensuresBefore;
    CompiledView view;  // the program as the run record shows it to the runtime

    [[nodiscard]] int begin(PyObject* programObject, ProgramRecord* program, PyObject* context,
                            uint64_t stackFloor, bool report);
    // Calls entry(ctx, frame) with the lock released, counting the lock takes on the program
    // and, in a strict language, taking the first crossing into Python. ok: the entry's
    // answer; *crossed: whether a strict run went into Python (the crossing left in the
    // thread's record).
    bool callNative(bool (*entry)(helpers::Ctx*, void*), void* frame, bool* crossed);
    // The run's failure raised (-1 always): the exception it saved, else a wuna.Error.
    int raiseFailure();
    // StrictError naming where the run went into Python (-1 always).
    int raiseStrict();
    void end();
};

// Program.run in the 'compiled' mode (and 'auto' while it runs like it): the module made
// sure of, then the run on this thread or a run thread; report=True replaces the program's
// crossings by the run's. None, or null with the exception.
[[nodiscard]] PyObject* compiledRun(PyObject* programObject, ProgramRecord* program, bool report);

// Program.compiled_ir(): the program's LLVM IR before optimization, generated into a
// throwaway module state. A str, or null with the exception.
[[nodiscard]] PyObject* compiledIr(ProgramRecord* program);

// The 'compiled' Program.call: the top-level function name of the program called with the
// arguments (a tuple), the program's module made sure of first (waiting for it). The top
// level runs once, when no global frame exists yet; then the values the globals reach are
// frozen, once per program. New reference, or null with the exception (KeyError "the program
// defines no function '<name>'", the top level's failure, the call's, StrictError).
[[nodiscard]] PyObject* compiledCall(PyObject* programObject, ProgramRecord* program,
                                     PyObject* name, PyObject* args, PyObject* context);

}  // namespace wuna::host
