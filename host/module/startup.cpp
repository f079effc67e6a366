// The module's entry and start-up (see module/startup.h).
//
// PyInit_wuna only hands the interpreter the module definition; the definition's one exec
// slot runs host::moduleExec, which makes the five classes and then hands over to
// host::initModule for the rest, step by step in a fixed order: later steps rely on earlier
// ones (I64 needs int's constructor slot, the small immortal values need the block pool).
// The first failing step fails the import with the exception it left; what was made before
// it stays made.
//
// Start-up runs once per process. When the module is executed again (imported anew after
// being dropped from sys.modules), the new module object is given the objects the first
// start-up made, so that there is still one I64, one Error, one Language class... in the
// process, and no runtime block is made twice.
#include "host/module/startup.h"
#include "host/run/compiled_view.h"

#include "compiler/backend/emit.h"
#include "host/module/exceptions.h"
#include "host/module/i64.h"
#include "host/module/module_functions.h"
#include "host/module/runtime_hooks.h"
#include "host/module/runtime_setup.h"
#include "host/module/str_hashing.h"
#include "host/module/type_registry.h"
#include "host/tree/holder.h"
#include "host/tree/parsed.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/introspect.h"
#include "wuna/runtime/value.h"

namespace wuna::host {

newfunc intNew = nullptr;
PyObject* diagnosticClass = nullptr;
PyObject* noValue = nullptr;
PyObject* programName = nullptr;

namespace {

// Records sys.version_info[1] for the runtime: 0, or -1 with a Python exception when it
// cannot be read.
int readPyMinor() {
    PyObject* sys = PyImport_ImportModule("sys");
    if (!sys) return -1;
    PyObject* info = PyObject_GetAttrString(sys, "version_info");
    Py_DECREF(sys);
    if (!info) return -1;
    PyObject* minor = PySequence_GetItem(info, 1);
    Py_DECREF(info);
    if (!minor) return -1;
    long value = PyLong_AsLong(minor);
    Py_DECREF(minor);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value < 0 || value > INT32_MAX) {
        PyErr_SetString(PyExc_SystemError, "wuna: sys.version_info[1] is out of range");
        return -1;
    }
    runtime::interpreterMinor = int32_t(value);
    return 0;
}

// The parser package must import; its Diagnostic describes runtime errors.
int takeFromParser() {
    PyObject* pargo = PyImport_ImportModule("pargo");
    if (!pargo) return -1;
    diagnosticClass = PyObject_GetAttrString(pargo, "Diagnostic");
    Py_DECREF(pargo);
    if (!diagnosticClass) return -1;
    noValue = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return noValue ? 0 : -1;
}

// What the first successful start-up added to its module, for any later module object.
PyObject* startupNames = nullptr;

// Adds to a newly executed module every name start-up gave the first one that it lacks (its
// own functions and import attributes it has already).
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

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(moduleExec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The types, exception classes and the runtime's tables are process-wide, shared by every
    // module object: another interpreter would see this one's objects.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Start-up's globals and the reference counts the runtime shares with Python rely on the
    // interpreter lock.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "wuna",
    .m_doc = "wuna - execution for languages defined with pargo and checked with nomos: "
             "semantics written as Python functions, run natively.",
    .m_size = 0,
    .m_methods = moduleMethods,
    .m_slots = moduleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

int moduleExec(PyObject* module) {
    if (startupNames) return shareStartup(module);
    for (const TypeDef& def : classTypes)
        if (makeAndAddType(module, def) < 0) return -1;
    if (initModule(module) < 0) return -1;
    startupNames = PyDict_Copy(PyModule_GetDict(module));
    return startupNames ? 0 : -1;
}

int initModule(PyObject* module) {
    if (readPyMinor() < 0) return -1;
    intNew = PyLong_Type.tp_new;
    if (!intNew) {
        PyErr_SetString(PyExc_SystemError, "wuna: int has no constructor slot");
        return -1;
    }
    if (addI64(module) < 0) return -1;
    if (addExceptions(module) < 0) return -1;
    for (const TypeDef& def : programObjectTypes)
        if (makeType(def) < 0) return -1;
    for (const TypeDef* def : programObjectTypesAdded)
        if (addType(module, *def) < 0) return -1;
    if (takeFromParser() < 0) return -1;
    if (makeAndAddType(module, compiledRuntimeDef) < 0) return -1;
    if (addValueProxyTypes(module) < 0) return -1;
    if (addBytesType(module) < 0) return -1;
    // The runtime names nothing of the module (it links alone); what it needs of it, it
    // reaches through this table. Filled before any program can run.
    runtime::hostApi = {newI64,
                        integerOverflowClass,
                        ptree::rtParseRoot,
                        i64Type,
                        compiledRuntimeType,
                        returnClass,
                        breakClass,
                        continueClass,
                        tailCallClass,
                        functionType,
                        nodeType,
                        ptree::parseNative};
    // Counted nodes of compiled code's rt.parse trees let go of their tree through this.
    value::services.treeRelease = ptree::releaseParsed;
    installRuntimeHooks();
    // Program generation reaches the code generator through its emission entries.
    compile::installEmission();
    // The bridge compiles thunks and functions of a running module through these.
    installCompiledHooks();
    if (addNativeHostType(module) < 0) return -1;
    // The block constructors set no exception when memory runs out; the import must fail
    // with one.
    if (internSmallValues() != Status::ok) {
        PyErr_NoMemory();
        return -1;
    }
    setupStrHashing();
    programName = PyUnicode_FromString("<program>");
    if (!programName) return -1;
    if (makeType(programCallDef) < 0) return -1;
    return 0;
}

}  // namespace wuna::host

PyMODINIT_FUNC PyInit_wuna(void) { return PyModuleDef_Init(&wuna::host::moduleDef); }
