// The insertion order of a folded set display.
//
// CPython compiles a set display of three or more constants into a frozenset constant of the
// function's code and builds the set at run time from that frozenset, so the set's table is
// laid out as the frozenset's, not as an insertion in source order would lay it out. The
// frozenset was made when the code was compiled, perhaps by another process (a .pyc file), so
// its layout can only be read back from the code object. The runtime's native sets fill their
// tables as CPython's do; the front end therefore stores a folded display's elements in an
// order whose insertion gives that same layout, which a small Python script finds by matching
// the display's values against the frozensets of the code.
//
// Everything here runs Python and needs the interpreter lock.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "wuna/runtime/status.h"

namespace wuna::front {

// Whether node (an ast node) is a literal a set display can be folded over: a Constant, a
// Tuple of literals, or a + or - applied to a Constant int, bool or float. Status::ok with
// *literal set, or Status::pythonError with the exception pending (a class or attribute that
// can't be read).
Status isLiteral(PyObject* node, bool* literal);

// Asks for the order of the n elements of a folded set display whose ast element nodes are the
// list elts, in the code of function. Status::ok with *found true and order[0..n) filled
// (element i of the reordered display is element order[i] of the source order), Status::ok
// with *found false when no order was found (the elements keep their source order), or
// Status::pythonError with the exception pending when the order-finding script could not be
// loaded. order must hold n entries.
Status foldedOrder(PyObject* function, PyObject* elts, uint64_t n, uint64_t* order, bool* found);

}  // namespace wuna::front
