// pargo's Python module (placeholder until the engine lands).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include "core/version.h"
#include "face_py.h"

static PyObject* pargoVersion(PyObject*, PyObject*) { return PyUnicode_FromString(version::pargo); }
static PyMethodDef methods[] = {{"version", pargoVersion, METH_NOARGS, "version()\n--\n\nThe package's version."},
                                {nullptr, nullptr, 0, nullptr}};
static PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "pargo", "A PEG parser generator.", -1, methods};
PyMODINIT_FUNC PyInit_pargo(void) { return PyModule_Create(&moduleDef); }
