// wuna.ProgramCall: what Program.call and Program.map return, and what calling it does.
//
// program.call(name, *args, mode=None, context=None) calls a function the program defines at
// its top level; program.map(name, items, threads=None, context=None) calls one over every
// item and gives the results in item order. The object holds its Program and whether it maps.
// Calling it checks the keywords and arguments, chooses the mode (a call's default is the
// mode of the program's last run, else 'compiled'), and in the 'python' mode runs the work on
// a run thread (run/run_thread.h) while the caller waits without the interpreter lock: the
// program's top level first when it has not run, then the function looked up among the
// program's global symbols in its global frame, called through the reference interpreter
// with a Runtime of its own. A failure is the runtime error (or exception) of the call; for a
// map, every item runs and the failure reported is that of the lowest failing item.
//
// In the 'compiled' mode (and 'auto' once optimized code is at hand) the program's module is
// made (or awaited) on the calling thread, then the call runs the program's compiled code
// (run/compiled_run.h) right there when the module's code runs no semantic or value through
// Python and the thread's stack has room for max_depth levels, else on a run thread. A map
// runs as Python.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace wuna::host {

// What a ProgramCall does when called: one call, or a call per item.
enum class CallShape : uint8_t { call, map };

struct ProgramCallObject {
    PyObject_HEAD PyObject* program;  // the Program
    CallShape shape;
};

extern PyType_Spec programCallSpec;

// A new ProgramCall of the Program object (the getters `call` and `map`). Null with the
// exception.
[[nodiscard]] PyObject* newProgramCall(PyObject* program, CallShape shape);

}  // namespace wuna::host
