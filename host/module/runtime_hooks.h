// What the runtime's conversion and exception helpers need of the module's own objects: a
// wuna.Node that converts to a node index of the running program's tree, function blocks
// shown as wuna.Function and taken back from it (convert::hooks), and the error text of a
// native host function (helpers::nativeErrorText).
//
// A node index means something only in the tree of the program that runs: converted from a
// node of another program, of a session's earlier entry or of an rt.parse tree, it would name
// an unrelated node of the running tree. So a wuna.Node converts natively only when its State
// is the running program's State; any other node stays the Python object it is.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace wuna::host {

// Fills the runtime's hooks; at start-up, under the interpreter lock. Cannot fail.
void installRuntimeHooks();

}  // namespace wuna::host
