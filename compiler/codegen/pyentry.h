// Python functions compiled for calls from compiled code (the bridge's code cache, pyfunc.h).
//
// A plain Python function that compiled code calls at run time - a host function, a helper
// reached through a call site's entry cell, a bound method's function - is compiled once per
// module for the number of arguments given and the positions of rt arguments (the rt mask):
// one helper specialisation in entry form, named with the letter "c", whose shapes are rt at
// each masked position and unknown run-time values elsewhere. The runtime calls its code with
// the entry ABI of a specialisation: (ctx, the rt argument's frame or null, the arguments
// without the rt ones, site, the rt argument's scope, null, null, result).
//
// A function with free variables is keyed by its code object, so one entry serves every
// closure of its def: the function object follows the arguments, and the entry reads the
// free variables from its cells at run time (wn_cell), never the cells seen while compiling.
//
// queuePythonEntry is the entry step of a compile loop (compile::runLoop): it makes and
// queues the specialisation, which the loop's drain then emits with the other worklists. A
// function whose call cannot be compiled is refused here with the reason in the compiler's
// message buffer: the bridge notes the reason and calls the function through Python.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/backend/spec.h"

namespace wuna::compile {

// Queues f's entry for n arguments and the rt mask (bit i: argument i is the rt). closure:
// f has free variables. ok with *out the new specialisation (named, in the compiler's list
// and helper worklist; f pinned in the object list); unsupported with the reason in the
// message buffer (the arity message "<name>() takes <min> to <max> arguments, called with
// <n>", the front end's reason, *args, or free variables the entry can't read from cells);
// outOfMemory; pythonError with the exception pending. Needs the interpreter lock.
[[nodiscard]] Status queuePythonEntry(Compiler* c, PyObject* f, uint64_t n, uint64_t mask,
                                      bool closure, HelperSpec** out);

// Empties the message buffer and writes "<name>() takes <minimum> to <maximum> arguments,
// called with <count>" (the same wording when minimum and maximum are equal). unsupported, or
// outOfMemory.
[[nodiscard]] Status arityMessage(Compiler* c, front::Text name, uint32_t minimum, uint32_t maximum,
                                  uint64_t count);

}  // namespace wuna::compile
