// What every Python-facing table of the module and the runtime writes the same way: the docstring shape that
// gives a method its text signature, the cast of a C function to the PyCFunction a
// PyMethodDef row holds, and the dealloc of a garbage-collected heap type.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// A docstring whose first line is the signature: "f(a, /)\n--\n\n" lets inspect.signature
// and help() read it.
#define WUNA_DOC(signature, text) signature "\n--\n\n" text

namespace wuna::pymethods {

// f as the PyCFunction of a method table row; the row's METH_ flags tell Python the real
// signature. Never fails.
template <typename F>
PyCFunction asPyCFunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// tp_dealloc of a garbage-collected heap type whose references are all dropped by Clear (its
// tp_clear): untracks the object, clears it, frees it, and releases the reference the object
// held on its type (heap types are reference counted by their instances). Never fails.
template <int (*Clear)(PyObject*)>
void heapDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    (void)Clear(self);  // tp_clear always returns 0
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace wuna::pymethods
