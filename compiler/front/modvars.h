// Module variables read while compiling: when compiled code reads a global of a semantic's
// module, the code generator asks whether the module's functions rebind it (then it changes at
// run time and is read then), whether it is a table the module only reads (then its value now
// is a constant of the code), and for such a table what shape stands for it.
//
// The answers come from the stored analyzer's scan (analyzer.h), which reads every function of
// the module and is far too slow to run at every read; the scan cache keeps its answer per
// globals dict for the process. An answer stays good while the dict keeps its size and the
// module keeps the very function objects it had when scanned: putting a new function in place
// of an old one (a reload, a test's patch, a decorator applied late) leaves the size as it was
// yet may add a `global` statement, so the function identities are part of the key. The cache
// holds a reference to each dict and to each function it keyed on, so that no identity it
// compares can be taken by another object meanwhile. Replacing a table's value keeps the
// answer: which names are rebound depends on the code, not on the values.
//
// Failures are Status codes: outOfMemory; unsupported with the text in the compiler's message
// buffer; pythonError with the exception pending. Needs the interpreter lock throughout.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compiler/backend/containers.h"
#include "compiler/front/shape.h"
#include "wuna/runtime/status.h"

namespace wuna::front {

// The analyzer's answer for one globals dict.
struct ScanEntry {
    uint64_t size;       // the dict's item count when it was scanned
    PyObject* rebound;   // frozenset of the names the module's functions rebind
    PyObject* onlyRead;  // frozenset of the module tables the module only reads
};

}  // namespace wuna::front

namespace wuna::compile {

// The scan of a globals dict, from the cache when the dict has the size and the functions it
// had at the last scan, else from the analyzer (and cached). ok with *out (its two sets
// borrowed from the cache, valid until the next scan of the same dict), or pythonError (the
// analyzer failed to load, the scan raised or answered something other than two frozensets,
// or the cache could not grow: MemoryError).
[[nodiscard]] Status scanGlobals(PyObject* globals, front::ScanEntry* out);

// How many times scanGlobals has called the analyzer in this process: what tells a cached
// answer from a fresh one. Cannot fail.
uint64_t scanCalls();

// What the code generator makes of containers the shapes can't hold: a read-only native
// constant container built once and referred to through a key global (constant), and the
// native set compiled code takes over for a Python set (adopted). Each gives a dyn shape in
// *out, or its error.
struct ContainerEmission {
    void* user;
    Status (*constant)(void* user, PyObject* container, Shape* out);
    Status (*adopted)(void* user, PyObject* set, Shape* out);
};

// The shape of the value of a table the module only reads. In a strict language an exact
// dict, list or set holding an item (a dict: a key or a value) that is no immutable constant
// becomes the emission's constant; otherwise an exact dict becomes a dict shape and an exact
// list a list shape (the container as its source, borrowed: the module keeps it; items by
// fromPython, in order), an exact set the emission's adopted set, and anything else
// fromPython's shape. ok, outOfMemory, pythonError, or the emission's error.
[[nodiscard]] Status walkPythonContainer(Compiler* c, const ContainerEmission& emission,
                                         PyObject* object, Shape* out);

// Appends "strict: reads the module variable <name>, which a function rebinds (`global
// <name>`) (it would run in Python)"; the caller clears the message first and returns
// unsupported with it. ok or outOfMemory.
[[nodiscard]] Status strictRebindMessage(backend::List<char>* message, const char* name,
                                         size_t length);

}  // namespace wuna::compile
