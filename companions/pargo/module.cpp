// pargo's Python module: makes the native classes (GrammarParser, Tree, Node), runs the
// Python part of the face (face.py, embedded at build time) in the module's namespace, and
// picks the classes it defines for the native code. The parsing itself is the plain C++
// engine in core/, which needs no Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/version.h"
#include "face/face.h"
#include "face_py.h"
#include "llvm/capsule.h"

namespace pargo::face {
Classes classes;
unsigned long mainThread = 0;
}  // namespace pargo::face

namespace pargo {
namespace {

PyObject* pargoVersion(PyObject*, PyObject*) { return PyUnicode_FromString(version::pargo); }

// New reference to a capsule over the process's LLVM capsule record (which is never freed,
// so the capsule has no destructor), or null with a Python exception.
PyObject* llvmCapsule(PyObject*, PyObject*) {
    return PyCapsule_New(const_cast<llvmcapsule::Capsule*>(llvmcapsule::capsule()),
                         llvmcapsule::capsuleName, nullptr);
}

PyMethodDef methods[] = {
    {"version", pargoVersion, METH_NOARGS, "version()\n--\n\nThe package's version."},
    {"llvm_capsule", llvmCapsule, METH_NOARGS,
     "llvm_capsule()\n--\n\nA capsule named pargo.llvm.v1: LLVM's C functions by name and a code "
     "engine."},
    {"compile", parserobj::compile, METH_O,
     "compile(grammar_text)\n--\n\nCompiles grammar text into a GrammarParser; a bad grammar "
     "raises GrammarError."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "pargo",
                         "A PEG parser generator with native parsers.", -1, methods};

// Runs face.py in the module's namespace and takes the classes it made.
int runFace(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    if (PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    PyObject* code = Py_CompileString(pargo_face_py, "<pargo face>", Py_file_input);
    if (!code) return -1;
    PyObject* r = PyEval_EvalCode(code, ns, ns);
    Py_DECREF(code);
    if (!r) return -1;
    Py_DECREF(r);
    struct Wanted {
        const char* name;
        PyObject** slot;
    } wanted[] = {{"ParseError", &face::classes.parseError},
                  {"GrammarError", &face::classes.grammarError},
                  {"Diagnostic", &face::classes.diagnostic},
                  {"Ast", &face::classes.ast}};
    for (const Wanted& w : wanted) {
        PyObject* c = PyDict_GetItemString(ns, w.name);
        if (!c) {
            PyErr_Format(PyExc_ImportError, "pargo's face does not define %s", w.name);
            return -1;
        }
        *w.slot = Py_NewRef(c);
    }
    return 0;
}

// threading.main_thread().ident, or 0 (a parse then never stops for signal handlers). Never
// fails: an error is cleared.
unsigned long mainThreadIdent() {
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* main = threading ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
    PyObject* ident = main ? PyObject_GetAttrString(main, "ident") : nullptr;
    unsigned long id = ident && PyLong_Check(ident) ? PyLong_AsUnsignedLong(ident) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        id = 0;
    }
    Py_XDECREF(ident);
    Py_XDECREF(main);
    Py_XDECREF(threading);
    return id;
}

}  // namespace
}  // namespace pargo

PyMODINIT_FUNC PyInit_pargo(void) {
    PyObject* m = PyModule_Create(&pargo::moduleDef);
    if (!m) return nullptr;
    if (pargo::parserobj::ready(m) < 0 || pargo::treeobj::ready(m) < 0 || pargo::runFace(m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    pargo::face::mainThread = pargo::mainThreadIdent();
    return m;
}
