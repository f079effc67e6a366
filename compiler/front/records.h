// Record classes while compiling: a semantic may construct instances of its own record classes
// (dataclasses, and __slots__ classes the runtime holds as record values) by calling the
// class, and the call lowering compiles that into a native record. This file recognises a
// record class and keeps it alive for the compiled module, gives the value of a field the
// call leaves out (its dataclass default, or a call of its default factory), and writes the
// two compile errors of a construction: too many arguments, and a field without a value.
//
// Failures are Status codes: outOfMemory; unsupported with the text in the compiler's message
// buffer; pythonError with the exception pending. Needs the interpreter lock throughout.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/backend/compile_error.h"
#include "compiler/front/shape.h"
#include "wuna/runtime/status.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

// The class's record description in *out (kept for the process by the runtime), the class
// itself kept in the object list; or *out null when it is no record class (nothing kept). ok,
// outOfMemory, or pythonError.
Status recordClassOf(Compiler* c, PyObject* cls, value::RecordClass** out);

// How the code generator compiles a call of a field's default factory with no arguments at a
// position: the shape of the call's value in *out. Returns the call's Status.
struct FactoryCall {
    void* user;
    Status (*lower)(void* user, PyObject* factory, front::Position position, Shape* out);
};

// The shape of the value of field index of a record class's construction that leaves it out:
// fromPython of the dataclass field's default; else the compiled call of its default factory
// (kept in the object list); else the missing-field error at the site. ok, outOfMemory,
// unsupported (the message written), or pythonError (no __dataclass_fields__ included).
Status recordFieldDefault(Compiler* c, const FactoryCall& factoryCall, const ErrorSite& site,
                          PyObject* cls, const value::RecordClass& description, uint64_t index,
                          Shape* out);

// Writes "<site prefix><Class>() takes <n> fields, given <m>". unsupported (the error the
// caller passes on), or outOfMemory.
Status recordArityMessage(Compiler* c, const ErrorSite& site, const value::Text& className,
                          uint64_t fields, uint64_t given);

// Writes "<site prefix><Class>() missing its field <field>". unsupported or outOfMemory.
Status recordFieldMissing(Compiler* c, const ErrorSite& site, const value::Text& className,
                          const value::Text& field);

}  // namespace wuna::compile
