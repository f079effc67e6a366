// Variables, frames and functions of the reference mode.
//
// The rules package binds each name node to a symbol; a symbol's variable lives in the first
// frame of the chain (current frame, then parents) whose scope is the symbol's scope
// (ptree::symbolScope). Builtins (names the rules found no declaration for) reach the names
// an earlier session entry defined, then the Language's host functions. Frames are made for
// the program, for each run of a captured block scope, for each call, and by rt.fresh for a
// loop iteration. Functions capture the frame they were made in; hoisted definitions are bound
// when their scope begins. Errors are runtime errors at the name node.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/interp/rt.h"

namespace wuna::host {

// The value of the variable name node n refers to: new reference, or null.
[[nodiscard]] PyObject* loadVariable(RunRecord* rt, uint32_t n);
// Sets the variable name node n refers to (v not consumed). 0, or -1.
[[nodiscard]] int storeVariable(RunRecord* rt, uint32_t n, PyObject* v);
// The frame (borrowed) holding symbol s, searched from the current frame; null with the error
// "'<name>' isn't reachable from here" at n.
[[nodiscard]] FrameObject* frameOfSymbol(RunRecord* rt, uint32_t s, uint32_t n);
// Raises the error for a node that is not a variable. Always -1.
int raiseNotVariable(RunRecord* rt, uint32_t n);
// Makes a block frame for captured scope n current and hoists its definitions; returns the
// frame current before (the caller now holds it and makes it current again afterwards).
// Null with the exception (nothing changed).
[[nodiscard]] PyObject* pushBlockFrame(RunRecord* rt, uint32_t n);
// Makes the frame before current again and releases the block frame (or what replaced it).
void popBlockFrame(RunRecord* rt, PyObject* before);
// A new call frame: scope the function node, call site, parent (may be null), name.
[[nodiscard]] PyObject* newCallFrame(uint32_t function, int32_t callSite, PyObject* parent,
                                     PyObject* name);
// A new wuna.Function for definition node n, capturing the current frame. Null on failure.
[[nodiscard]] PyObject* makeFunction(RunRecord* rt, uint32_t n);
// The function-kind record of the node d defines a function with; null with the error
// "<kind> isn't a function kind (Language.function)" at site when its kind is none.
[[nodiscard]] const FunctionKind* functionKindOf(RunRecord* rt, uint32_t d, int64_t site);
// Binds the hoisted definitions of a scope (a node, or -1 for the program). 0, or -1.
[[nodiscard]] int hoist(RunRecord* rt, int64_t scope);
// rt.fresh(node): new variables for the captured block scope n being run. 0, or -1.
[[nodiscard]] int freshFrame(RunRecord* rt, uint32_t n);

}  // namespace wuna::host
