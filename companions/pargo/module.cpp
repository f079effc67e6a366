// pargo's Python module: makes the native classes (GrammarParser, Tree, Node), runs the
// Python part of the face (face.py, embedded at build time) in the module's namespace, and
// picks the classes it defines for the native code. The parsing itself is the plain C++
// engine in core/, which needs no Python.
//
// PyInit_pargo only hands the interpreter the module definition; its exec slot does the
// start-up, once per process: the classes are process-wide (face::classes), so a module
// executed again (imported anew after being dropped from sys.modules) is given the objects the
// first start-up made rather than a second set of classes that the native code would not know.
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

// Runs face.py in the module's namespace: 0, or -1 with a Python exception.
int runFace(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);  // borrowed
    if (PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    PyObject* code = Py_CompileString(pargo_face_py, "<pargo face>", Py_file_input);
    if (!code) return -1;
    PyObject* r = PyEval_EvalCode(code, ns, ns);
    Py_DECREF(code);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Takes the classes face.py made for the native code: 0, or -1 with a Python exception.
int takeFaceClasses(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);  // borrowed
    struct Wanted {
        const char* name;
        PyObject** slot;
    } wanted[] = {{"ParseError", &face::classes.parseError},
                  {"GrammarError", &face::classes.grammarError},
                  {"Diagnostic", &face::classes.diagnostic},
                  {"Ast", &face::classes.ast}};
    for (const Wanted& w : wanted) {
        PyObject* c = PyDict_GetItemString(ns, w.name);  // borrowed
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

// What the first successful start-up put in its module, for any later module object.
PyObject* startupNames = nullptr;

// Adds to a newly executed module every name start-up gave the first one that it lacks (its
// own functions and import attributes it has already): 0, or -1 with a Python exception.
int shareStartup(PyObject* module) {
    PyObject* names = PyModule_GetDict(module);  // borrowed
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(startupNames, &pos, &key, &value)) {
        int has = PyDict_Contains(names, key);
        if (has < 0 || (!has && PyDict_SetItem(names, key, value) < 0)) return -1;
    }
    return 0;
}

// The exec slot: 0, or -1 with a Python exception (the import then fails; what was made
// before the failing step stays made, and the next import starts over).
int moduleExec(PyObject* module) {
    if (startupNames) return shareStartup(module);
    if (parserobj::ready(module) < 0 || treeobj::ready(module) < 0) return -1;
    if (runFace(module) < 0 || takeFaceClasses(module) < 0) return -1;
    face::mainThread = mainThreadIdent();
    startupNames = PyDict_Copy(PyModule_GetDict(module));
    return startupNames ? 0 : -1;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(moduleExec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The classes and the face's objects are process-wide, shared by every module object.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Start-up's globals and the objects' references have no locks of their own: they rely
    // on the interpreter lock (a parse lets go of it only while it reads its grammar and text).
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "pargo",
    .m_doc = "A PEG parser generator with native parsers.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = moduleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace pargo

PyMODINIT_FUNC PyInit_pargo(void) { return PyModuleDef_Init(&pargo::moduleDef); }
