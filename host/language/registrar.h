// wuna.Registrar: the decorator that lang.eval(kind), lang.exec(kind) and lang.host(name)
// return.
//
// A registrar holds the language it registers into, the kind argument as given (a str or a
// sequence of strs; for a host registrar the host function's name) and which table it writes
// (eval semantics, exec semantics or host functions). Calling it with a function registers the
// function there and gives it back: a semantic is first read by the compiler front end
// (host::frontCheck), and a function the front end refuses still registers in a language that
// is not strict, its reason kept in the language's why map. One made by calling the class
// directly is bound to no language and refuses to be called.
#pragma once
#include "host/support/python.h"

#include <cstdint>

namespace wuna::host {

// The table a registrar writes: eval semantics, exec semantics or host functions.
enum class RegistrarTable : uint8_t { eval, exec, host };

struct RegistrarObject {
    PyObject_HEAD PyObject* language;  // null: bound to no language
    PyObject* kind;                    // the kind argument, or the host function's name
    RegistrarTable table;
    bool native;  // false when made with native=False
};

extern PyType_Spec registrarSpec;

// A new registrar bound to language (a constructed Language); null with an exception.
[[nodiscard]] PyObject* newRegistrar(PyObject* language, PyObject* kind, RegistrarTable table,
                                     bool native);

}  // namespace wuna::host
