// Values of wuna.comptime calls: a function decorated with wuna.comptime is called while
// compiling when every argument of a call of it is known then, and its result replaces the
// call. This file converts around such a call: which shapes may be passed and how they become
// Python objects, how the result becomes a shape, and the texts used when the function raises.
//
// A result's lists and dicts become records that hold the very Python object they came from
// and carry the comptime mark (a constant compiled code may not change); passing such a value
// to another compile-time call passes that same object again. A result that holds itself (a
// list in itself, directly or through other containers) has no shape: it is refused with a
// message rather than followed for ever; so is one that would take more than the conversion's
// item budget (compiler/front/conversion.h).
//
// Failures are Status codes: outOfMemory; unsupported with the text in the compiler's message
// buffer; pythonError with the exception pending. Needs the interpreter lock throughout.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "compiler/backend/containers.h"
#include "compiler/front/shape.h"
#include "wuna/runtime/status.h"

namespace wuna::compile {

// None, bools, ints, plain ints, floats, strs and Python objects; tuples of such; lists and
// dicts that came from Python (their record has a source). Cannot fail.
bool isComptimeArgument(const Shape& shape);

// The Python object passed for an argument shape: a list's or dict's own source object, a new
// tuple of the items' arguments, else toPython's object (which refuses what has none). A new
// reference in *out, or an error.
Status toArgument(Compiler* c, const Shape& shape, PyObject** out);

}  // namespace wuna::compile

namespace wuna::front {

// The shape of a compile-time call's result: exact lists, dicts and tuples taken apart (dict
// keys by fromPython), anything else by fromPython. A result that contains itself: unsupported
// with "a wuna.comptime result can't contain itself (a list, dict or tuple that holds itself
// has no value known when compiling)".
Status comptimeResult(compile::Compiler* c, PyObject* object, compile::Shape* out);

// "<Name>: <message>" of the pending exception, cut to capacity bytes; the exception is
// consumed. What can't be read is left out. The length written. Cannot fail.
size_t exceptionText(char* buffer, size_t capacity);

// Appends "strict: the wuna.comptime function <name>() raised while compiling: <text> (it
// would run in Python)" to the message the caller prepared. ok or outOfMemory.
Status strictComptimeRaised(backend::List<char>* message, const char* name, size_t nameLength,
                            const char* text, size_t textLength);

}  // namespace wuna::front
