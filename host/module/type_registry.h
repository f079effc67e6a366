// The Python types of the system that start-up makes, and the process-wide globals that
// keep them.
//
// Every class and type is a heap type made from a type specification when the module starts
// and kept for the life of the process in one global here (the global holds its own
// reference). A type is described by a TypeDef row: where its global is, the module attribute
// it is added under (none for types Python code never names) and its specification. A type
// whose behaviour has not been written yet is made from its row's name, flags and docstring
// alone: an object with no fields of its own, so that the module's face (names, bases,
// flags) stands before the type's slots do. Writing a type means giving its row a spec.
#pragma once
#include "host/support/python.h"

#include <cstdint>
#include <span>

namespace wuna::host {

struct TypeDef {
    PyTypeObject** global;
    const char* attr;     // module attribute, or null when the type is not added
    const char* name;     // tp_name, "wuna.<Name>"
    unsigned long flags;  // beyond Py_TPFLAGS_DEFAULT
    const char* doc;      // null: none
    PyType_Spec* spec;    // the type's own specification; null: made from the fields above
};

extern PyTypeObject* languageType;
extern PyTypeObject* registrarType;
extern PyTypeObject* programType;
extern PyTypeObject* runtimeType;
extern PyTypeObject* sessionType;
extern PyTypeObject* stateType;
extern PyTypeObject* nodeType;
extern PyTypeObject* functionType;
extern PyTypeObject* frameType;
extern PyTypeObject* compiledRuntimeType;
extern PyTypeObject* nativeHostType;
extern PyTypeObject* programCallType;

// The system's classes, in the order start-up makes and adds them: Language, Registrar,
// Program, Runtime, Session.
extern const TypeDef classTypes[5];
// The types of a program's objects, in the order they are made: State, Node, Function, Frame.
extern const TypeDef programObjectTypes[4];
// The same four in the order they are added to the module: Node, Function, Frame, State.
extern const TypeDef* const programObjectTypesAdded[4];
extern const TypeDef compiledRuntimeDef;
extern const TypeDef programCallDef;

// Makes the type into its global. 0, or -1 with a Python exception.
[[nodiscard]] int makeType(const TypeDef& def);
// Adds a made type to the module under its attribute. 0, or -1 with a Python exception.
[[nodiscard]] int addType(PyObject* module, const TypeDef& def);
// Both, in that order.
[[nodiscard]] int makeAndAddType(PyObject* module, const TypeDef& def);

// The proxy types of runtime values (their globals are proxies::types): List, Dict and Record
// made in this order, then added.
// 0, or -1 with a Python exception; the same for the Bytes and NativeHost types.
[[nodiscard]] int addValueProxyTypes(PyObject* module);
[[nodiscard]] int addBytesType(PyObject* module);
[[nodiscard]] int addNativeHostType(PyObject* module);

}  // namespace wuna::host
