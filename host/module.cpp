// The wuna module (placeholder until start-up lands): imports pargo and answers version().
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include "runtime/version.h"

static PyObject* wunaVersion(PyObject*, PyObject*) { return PyUnicode_FromString(version::wuna); }
static PyMethodDef methods[] = {{"version", wunaVersion, METH_NOARGS, "version()\n--\n\nThe module's version."},
                                {nullptr, nullptr, 0, nullptr}};
static int exec(PyObject* m) {
    PyObject* pargo = PyImport_ImportModule("pargo");
    if (!pargo) return -1;
    Py_DECREF(pargo);
    return 0;
}
static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void*)exec}, {0, nullptr}};
static PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "wuna", "Define a language in Python and run it fast.", 0, methods, slots};
PyMODINIT_FUNC PyInit_wuna(void) { return PyModuleDef_Init(&moduleDef); }
