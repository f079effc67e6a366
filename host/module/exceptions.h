// The module's ten exception classes.
//
// Runtime errors of a program are wuna.Error, errors found before it runs LoadError,
// semantics that cannot be compiled CompileError (StrictError when a strict language's code
// goes into Python while it runs), and the jumps of the interpreted language travel through
// the reference mode as Return, Break, Continue, TailCall and Throw. Nine are made with the
// interpreter's new-exception facility from one table; Throw, which has an __init__ of its
// own, is a class written in Python, kept here as source and executed at start-up.
#pragma once
#include "host/support/python.h"

namespace wuna::host {

extern PyObject* integerOverflowClass;
extern PyObject* errorClass;
extern PyObject* loadErrorClass;
extern PyObject* compileErrorClass;
extern PyObject* strictErrorClass;
extern PyObject* returnClass;
extern PyObject* breakClass;
extern PyObject* continueClass;
extern PyObject* tailCallClass;
extern PyObject* throwClass;

// Makes the ten classes in order, adding each to the module as soon as it is made.
// 0, or -1 with a Python exception.
[[nodiscard]] int addExceptions(PyObject* module);

}  // namespace wuna::host
