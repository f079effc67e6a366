// The exception classes and their making (see module/exceptions.h).
#include "host/module/exceptions.h"

namespace wuna::host {

PyObject* integerOverflowClass = nullptr;
PyObject* errorClass = nullptr;
PyObject* loadErrorClass = nullptr;
PyObject* compileErrorClass = nullptr;
PyObject* strictErrorClass = nullptr;
PyObject* returnClass = nullptr;
PyObject* breakClass = nullptr;
PyObject* continueClass = nullptr;
PyObject* tailCallClass = nullptr;
PyObject* throwClass = nullptr;

namespace {

// The classes are qualified by the module's name and added under the rest.
constexpr size_t kPrefix = sizeof("wuna.") - 1;

struct ExceptionDef {
    PyObject** global;
    const char* name;  // qualified: "wuna.<Name>"
    PyObject** base;   // the base's global, made before this class
    const char* doc;
};

// In the order they are made; a base is always made before the classes deriving from it.
const ExceptionDef exceptionDefs[] = {
    {&integerOverflowClass, "wuna.IntegerOverflow", &PyExc_ArithmeticError,
     "An integer result outside the 64-bit range."},
    {&errorClass, "wuna.Error", &PyExc_Exception,
     "A runtime error of the program. `diagnostic` is where (a pargo.Diagnostic at the failing "
     "node), `stack` the language's calls that led there (innermost first, (function, "
     "Diagnostic) pairs); str() renders it with the source."},
    {&loadErrorClass, "wuna.LoadError", &PyExc_Exception,
     "The program has errors found before it runs (syntax errors, the rules' errors): "
     "`diagnostics` lists them, warnings included."},
    {&compileErrorClass, "wuna.CompileError", &PyExc_Exception,
     "A semantic can't be compiled: it uses Python outside the compilable subset (`file`, "
     "`line` and `column` say where), or something it calls can't be. Mark it native=False to "
     "run it as Python."},
    {&strictErrorClass, "wuna.StrictError", &compileErrorClass,
     "A strict language's (Language(strict=True)) compiled code went into Python while it ran: "
     "the message says where, in wuna. (What the compiler sees is a CompileError before the "
     "program runs.)"},
    {&returnClass, "wuna.Return", &PyExc_Exception,
     "raise rt.Return(value): return from the function being run."},
    {&breakClass, "wuna.Break", &PyExc_Exception,
     "raise rt.Break(): leave the loop rt.loop() is running."},
    {&continueClass, "wuna.Continue", &PyExc_Exception,
     "raise rt.Continue(): go on with the loop's next iteration."},
    {&tailCallClass, "wuna.TailCall", &PyExc_Exception,
     "What rt.tail_call() raises, leaving the function being run: its caller makes the call. "
     "Not raised by semantics themselves."},
};

// Throw carries a value of the language, so it has an __init__ of its own; it is simplest
// written in Python.
const char throwSource[] =
    "class Throw(Exception):\n"
    "    \"\"\"raise rt.Throw(value, message=None): an error of the language,\n"
    "    carrying a value of it. It goes through semantics and calls until\n"
    "    a semantic catches it (`except rt.Throw as e: e.value`); uncaught,\n"
    "    it stops the program with a wuna.Error at the node whose semantic\n"
    "    raised it: `message`, or str(value).\"\"\"\n"
    "\n"
    "    def __init__(self, value=None, message=None):\n"
    "        Exception.__init__(self, value, message)\n"
    "        self.value = value\n"
    "        self.message = message\n";

// Names ns "wuna", gives it the builtins and runs the class source in it. 0, or -1 with the
// exception.
int runThrowSource(PyObject* ns) {
    PyObject* name = PyUnicode_FromString("wuna");
    int named = name ? PyDict_SetItemString(ns, "__name__", name) : -1;
    Py_XDECREF(name);
    if (named < 0) return -1;
    PyObject* builtins = PyEval_GetBuiltins();                                     // borrowed
    PyObject* exec = builtins ? PyDict_GetItemString(builtins, "exec") : nullptr;  // borrowed
    if (!exec) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: the builtin exec is missing (a wuna bug)");
        return -1;
    }
    if (PyDict_SetItemString(ns, "__builtins__", builtins) < 0) return -1;
    PyObject* source = PyUnicode_FromString(throwSource);
    PyObject* ran = source ? PyObject_CallFunctionObjArgs(exec, source, ns, nullptr) : nullptr;
    Py_XDECREF(source);
    if (!ran) return -1;
    Py_DECREF(ran);
    return 0;
}

// Runs the class source in a fresh namespace and takes Throw from it. New reference, or null
// with the exception.
PyObject* makeThrow() {
    PyObject* ns = PyDict_New();
    if (!ns) return nullptr;
    PyObject* result = nullptr;
    if (runThrowSource(ns) == 0) {
        result = Py_XNewRef(PyDict_GetItemString(ns, "Throw"));  // borrowed until then
        if (!result)
            PyErr_SetString(PyExc_RuntimeError,
                            "wuna: the Throw source made no Throw (a wuna bug)");
    }
    Py_DECREF(ns);
    return result;
}

}  // namespace

int addExceptions(PyObject* module) {
    for (const ExceptionDef& def : exceptionDefs) {
        *def.global = PyErr_NewExceptionWithDoc(def.name, def.doc, *def.base, nullptr);
        if (!*def.global) return -1;
        if (PyModule_AddObjectRef(module, def.name + kPrefix, *def.global) < 0) return -1;
    }
    throwClass = makeThrow();
    if (!throwClass) return -1;
    return PyModule_AddObjectRef(module, "Throw", throwClass);
}

}  // namespace wuna::host
