// nomos's Python module (placeholder until the rules engine lands).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* nomosVersion(PyObject*, PyObject*) { return PyUnicode_FromString("0.1.5"); }
static PyMethodDef methods[] = {{"version", nomosVersion, METH_NOARGS, "version()\n--\n\nThe package's version."},
                                {nullptr, nullptr, 0, nullptr}};
static PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "nomos", "Scope, symbol and type rules over pargo trees.", -1, methods};
PyMODINIT_FUNC PyInit_nomos(void) { return PyModule_Create(&moduleDef); }
