// Reading the arguments of the system's Python-facing callables (the module's and the
// runtime's own, such as the CompiledRuntime's methods).
//
// Every such callable reports argument errors as TypeErrors in one wording, named after it
// ("Language() takes at most 5 positional arguments (6 given)", "function() missing required
// argument 'kind'"), or unnamed for the module functions ("got an unexpected keyword argument
// 'x'"). A callable describes its parameters as a table in signature order; args::parse walks
// it once, taking each parameter from its position or its keyword, and stops at the first
// problem. A caller whose parameters need converting gives a check that runs on each
// parameter as soon as it is read, so that its error comes before the problems of the
// parameters after it. Unknown keywords are reported last. Callables taking a fixed count of
// positional arguments only report any other count as TypeError "WrongArgumentCount"
// (exactly, and the method-table wrappers below for those written as METH_NOARGS or METH_O).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace wuna::args {

struct Param {
    const char* name;
    bool required;
};

// Runs on a parameter that was given (value not null): 0, or -1 with a Python exception.
using Check = int (*)(void* context, size_t index, PyObject* value);

// Fills out[i] with parameter i's value (borrowed) or null when it is absent. owner names
// the callable in messages ("Language" gives "Language() ..."); null leaves the name out.
// 0, or -1 with a TypeError (or the check's exception).
[[nodiscard]] int parse(const char* owner, std::span<const Param> params, PyObject* args,
                        PyObject* kwargs, PyObject** out, Check check = nullptr,
                        void* context = nullptr);

// The UTF-8 text of an argument that must be a str, its length in *length (the text may hold
// NULs; it lives as long as given). Null with TypeError typeError (the whole message) when
// given is no str, or with the encoding error (a lone surrogate).
[[nodiscard]] const char* strArg(PyObject* given, const char* typeError, Py_ssize_t* length);

// For a class called with no arguments (its objects are made elsewhere, bound to nothing):
// 0, or -1 with TypeError "<owner>() takes at most 0 arguments (n given)" or, for keywords,
// "<owner>() got an unexpected keyword argument '<the first>'".
[[nodiscard]] int takesNothing(const char* owner, PyObject* args, PyObject* kwargs);

// For methods that take positional arguments only: raises TypeError "WrongArgumentCount"
// unless exactly n positional arguments and no keywords were given. 0, or -1.
[[nodiscard]] int exactly(PyObject* args, PyObject* kwargs, Py_ssize_t n);

// The function a method table gives for a callable with a fixed count of positional
// arguments, written as a METH_NOARGS f(self, unused) or a METH_O f(self, arg): the count is
// checked the system's way (TypeError "WrongArgumentCount") where the interpreter's own check
// would say "takes no arguments (1 given)". f's result, or null with the exception.
template <PyObject* (*f)(PyObject*, PyObject*)>
[[nodiscard]] PyObject* noArguments(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (exactly(args, kwargs, 0) < 0) return nullptr;
    return f(self, nullptr);
}

template <PyObject* (*f)(PyObject*, PyObject*)>
[[nodiscard]] PyObject* oneArgument(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (exactly(args, kwargs, 1) < 0) return nullptr;
    return f(self, PyTuple_GET_ITEM(args, 0));
}

}  // namespace wuna::args

// The function and flags of a method table row for such a callable:
// {"name", WUNA_NO_ARGUMENTS(f), doc} and {"name", WUNA_ONE_ARGUMENT(f), doc}.
#define WUNA_NO_ARGUMENTS(f)                                                                  \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&wuna::args::noArguments<f>)), \
        METH_VARARGS | METH_KEYWORDS
#define WUNA_ONE_ARGUMENT(f)                                                                  \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&wuna::args::oneArgument<f>)), \
        METH_VARARGS | METH_KEYWORDS
