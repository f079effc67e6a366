// A function a semantic made (tag 15) as Python sees it: a builtin-function object that calls
// the compiled code, so that a host function handed a lambda or a nested def (a sort key, a
// callback) calls it as the reference mode's host calls the Python function.
//
// The object holds one count of the function block (released with the object) and a method
// record of its own whose name is the function's own name. It can be called only on the
// thread of the run of the module that made it, while that run lasts: the code and the
// frames it reads belong to that run. A call converts the arguments, calls the block as a
// semantic's code calls it, and converts the result back; a failure of the code is cleared
// from the run and raised as the Python exception it stands for (the exception a Python
// function raised, an error kind's class with its text, or the run's Error), so the host
// sees what the reference mode's host sees and the run records only what the host lets out.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/rtobject.h"
#include "wuna/runtime/pymethods.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

using value::Value;

constexpr char kCapsuleName[] = "wuna.closure";
constexpr char kOutsideRun[] =
    "a function compiled code made (a lambda, a nested def) can only be called during its run";
constexpr size_t kInlineArguments = 16;

// What the capsule behind one object owns: the method record (its name points into name)
// and one count of the block.
struct Held {
    PyMethodDef def;
    Value closure;
    char name[128];
};

void dropHeld(PyObject* capsule) {
    auto* held = static_cast<Held*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!held) {
        PyErr_Clear();
        return;
    }
    value::decref(held->closure);
    std::free(held);
}

// The run's failure raised as the Python exception it stands for, the failure cleared.
// Always null.
PyObject* raiseRunFailure(Ctx* ctx) {
    bool thrown = ctx->kindSet && errors::Kind(ctx->kind) == errors::Kind::Throw;
    if (!thrown && (ctx->reraise || ctx->fetched || ctx->kindSet)) {
        PyObject* error = errorObject(ctx);
        if (error && PyExceptionInstance_Check(error)) {
            clearError(ctx);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
            Py_DECREF(error);
            return nullptr;
        }
        Py_XDECREF(error);
        PyErr_Clear();
    }
    return bridge::raiseFailure(ctx);
}

PyObject* callHeld(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* held = static_cast<Held*>(PyCapsule_GetPointer(self, kCapsuleName));
    if (!held) return nullptr;
    Ctx* ctx = currentCtx();
    auto* block = held->closure.as<value::Closure>();
    if (!ctx || ctx->moduleId != block->module) {
        PyErr_SetString(PyExc_RuntimeError, kOutsideRun);
        return nullptr;
    }
    Value inlineValues[kInlineArguments];
    auto n = size_t(nargs);
    Value* values = n <= kInlineArguments
                        ? inlineValues
                        : static_cast<Value*>(std::malloc(n * sizeof(Value)));
    if (!values) return PyErr_NoMemory();
    size_t converted = 0;
    PyObject* result = nullptr;
    for (; converted < n; converted++)
        if (convert::convert(args[converted], false, &values[converted]) < 0) break;
    if (converted == n) {
        Value out = Value::none();
        // Called as Python calls it: the exception it raises is the one to see.
        ctx->plainCall = 1;
        if (callOnce(ctx, ctx->site, held->closure, values, n, nullptr, &out)) {
            result = convert::toPython(out, &ctx->conversion);
            value::decref(out);
        } else {
            raiseRunFailure(ctx);
        }
    }
    for (size_t i = 0; i < converted; i++) value::decref(values[i]);
    if (values != inlineValues) std::free(values);
    return result;
}

}  // namespace

PyObject* closureObject(value::Closure* block, const ConversionContext*) {
    auto* held = static_cast<Held*>(std::calloc(1, sizeof(Held)));
    if (!held) return PyErr_NoMemory();
    // Its name is the last part of the qualified name the descriptor keeps.
    auto* d = static_cast<const value::ClosureDescriptor*>(block->descriptor);
    const char* name = d ? d->name.data : nullptr;
    size_t length = d ? d->name.length : 0;
    for (size_t i = length; name && i > 0; i--) {
        if (name[i - 1] != '.') continue;
        name += i;
        length -= i;
        break;
    }
    if (length >= sizeof held->name) length = sizeof held->name - 1;
    if (length) std::memcpy(held->name, name, length);
    held->def = PyMethodDef{held->name, pymethods::asPyCFunction(callHeld), METH_FASTCALL,
                            nullptr};
    held->closure = Value::of(value::TagClosure, block);
    value::incref(held->closure);
    PyObject* capsule = PyCapsule_New(held, kCapsuleName, dropHeld);
    if (!capsule) {
        value::decref(held->closure);
        std::free(held);
        return nullptr;
    }
    PyObject* function = PyCFunction_New(&held->def, capsule);
    Py_DECREF(capsule);
    return function;
}

}  // namespace wuna::helpers
