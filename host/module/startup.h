// The module's start-up and the process-wide objects it leaves for the rest of the system.
//
// Python imports wuna once per process; the module definition's one exec slot
// (host::moduleExec) makes the system's classes, then host::initModule makes I64, the
// exceptions, the remaining types, takes what later code needs from the interpreter and the
// parser package, and prepares the runtime's immortal values and string hashing. Everything
// here is written once, on the importing thread under the interpreter lock, and only read
// afterwards, from any thread, without locks. There is no per-module state.
#pragma once
#include "host/support/python.h"

#include <cstdint>

#include "wuna/runtime/status.h"

namespace wuna::host {

// int's own tp_new: intNew(I64 type, (plain int,), null) makes an I64 of that value.
extern newfunc intNew;
// pargo.Diagnostic, with which runtime errors are described.
extern PyObject* diagnosticClass;
// The reference interpreter's marker for a node that gives no value.
extern PyObject* noValue;
// "<program>", the name of a program's top-level frame.
extern PyObject* programName;

// The exec slot: 0, or -1 with a Python exception pending (the import then fails).
[[nodiscard]] int moduleExec(PyObject* module);
// Every start-up step after the five classes; same contract. Called by moduleExec only.
[[nodiscard]] int initModule(PyObject* module);

}  // namespace wuna::host
