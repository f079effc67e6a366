// The type globals and how start-up makes the system's types (see module/type_registry.h).
#include "host/module/type_registry.h"

#include "host/interp/frame_object.h"
#include "host/interp/function_object.h"
#include "host/interp/rt.h"
#include "host/language/language.h"
#include "host/language/native_host.h"
#include "host/language/registrar.h"
#include "host/module/startup.h"
#include "host/run/program.h"
#include "host/run/program_call.h"
#include "host/run/session.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/proxies.h"

namespace wuna::host {

PyTypeObject* languageType = nullptr;
PyTypeObject* registrarType = nullptr;
PyTypeObject* programType = nullptr;
PyTypeObject* runtimeType = nullptr;
PyTypeObject* sessionType = nullptr;
PyTypeObject* stateType = nullptr;
PyTypeObject* nodeType = nullptr;
PyTypeObject* functionType = nullptr;
PyTypeObject* frameType = nullptr;
PyTypeObject* compiledRuntimeType = nullptr;
PyTypeObject* nativeHostType = nullptr;
PyTypeObject* programCallType = nullptr;

namespace {

constexpr unsigned long kTracked = Py_TPFLAGS_HAVE_GC;
constexpr unsigned long kSubclassable = Py_TPFLAGS_BASETYPE;

// Instances of a type without fields of its own: heap-type instances hold their type.
void bareDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int bareTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

}  // namespace

const TypeDef classTypes[5] = {
    {&languageType, "Language", "wuna.Language", kTracked | kSubclassable, nullptr, &languageSpec},
    {&registrarType, "Registrar", "wuna.Registrar", kTracked | kSubclassable, nullptr,
     &registrarSpec},
    {&programType, "Program", "wuna.Program", kTracked | kSubclassable, nullptr, &programSpec},
    {&runtimeType, "Runtime", "wuna.Runtime", kTracked | kSubclassable, nullptr, &rtSpec},
    {&sessionType, "Session", "wuna.Session", kTracked | kSubclassable, nullptr, &sessionSpec},
};

const TypeDef programObjectTypes[4] = {
    {&stateType, "State", "wuna.State", kTracked, nullptr, &stateSpec},
    {&nodeType, "Node", "wuna.Node", kTracked, nullptr, &nodeSpec},
    {&functionType, "Function", "wuna.Function", kTracked, nullptr, &functionSpec},
    {&frameType, "Frame", "wuna.Frame", kTracked, nullptr, &frameSpec},
};

const TypeDef* const programObjectTypesAdded[4] = {&programObjectTypes[1], &programObjectTypes[2],
                                                   &programObjectTypes[3], &programObjectTypes[0]};

const TypeDef compiledRuntimeDef = {&compiledRuntimeType, "CompiledRuntime",
                                    "wuna.CompiledRuntime", 0, nullptr,
                                    &bridge::compiledRuntimeSpec};

const TypeDef programCallDef = {&programCallType, nullptr,         "wuna.ProgramCall", 0,
                                nullptr,          &programCallSpec};

namespace {

// The runtime's types: their globals and specifications are the runtime's own.
const TypeDef valueProxyTypes[3] = {
    {&proxies::types.list, "List", "wuna.List", 0, nullptr, &proxies::listSpec},
    {&proxies::types.dict, "Dict", "wuna.Dict", 0, nullptr, &proxies::dictSpec},
    {&proxies::types.record, "Record", "wuna.Record", 0, nullptr, &proxies::recordSpec},
};

const TypeDef bytesDef = {&proxies::types.bytes, "Bytes", "wuna.Bytes", 0, nullptr,
                          &proxies::bytesSpec};

const TypeDef nativeHostDef = {
    &nativeHostType,
    "NativeHost",
    "wuna.NativeHost",
    0,
    "A native library's function, a host function of a language (Language.native_host): called "
    "directly by compiled code.",
    &nativeHostSpec};

}  // namespace

int makeType(const TypeDef& def) {
    PyObject* type;
    if (def.spec) {
        type = PyType_FromSpec(def.spec);
    } else {
        bool tracked = def.flags & Py_TPFLAGS_HAVE_GC;
        PyType_Slot slots[4] = {};
        int n = 0;
        slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(bareDealloc)};
        if (tracked) slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(bareTraverse)};
        if (def.doc) slots[n++] = {Py_tp_doc, const_cast<char*>(def.doc)};
        PyType_Spec spec = {def.name, int(sizeof(PyObject)), 0,
                            unsigned(Py_TPFLAGS_DEFAULT | def.flags), slots};
        type = PyType_FromSpec(&spec);
    }
    if (!type) return -1;
    *def.global = reinterpret_cast<PyTypeObject*>(type);
    return 0;
}

int addType(PyObject* module, const TypeDef& def) {
    return PyModule_AddObjectRef(module, def.attr, reinterpret_cast<PyObject*>(*def.global));
}

int makeAndAddType(PyObject* module, const TypeDef& def) {
    if (makeType(def) < 0) return -1;
    return addType(module, def);
}

int addValueProxyTypes(PyObject* module) {
    for (const TypeDef& def : valueProxyTypes)
        if (makeType(def) < 0) return -1;
    for (const TypeDef& def : valueProxyTypes)
        if (addType(module, def) < 0) return -1;
    return 0;
}

int addBytesType(PyObject* module) { return makeAndAddType(module, bytesDef); }

int addNativeHostType(PyObject* module) { return makeAndAddType(module, nativeHostDef); }

}  // namespace wuna::host
