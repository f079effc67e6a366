// The one way the host includes Python's API: PY_SSIZE_T_CLEAN must be defined before the
// first include of Python.h in a translation unit (the "#" formats then take Py_ssize_t
// lengths), so every host file includes this header instead of Python.h, first among its
// includes.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
