// A language's front cache: every Python function it has read, by identity, with its IR.
//
// Reading a function (its source, ast.parse, the lowering) is costly, and one helper is met at
// many call sites and in many compilations, so each function is read once per language. The
// cache holds no reference to a function object itself: its FunctionIR does, so the function
// stays alive, and its address unique, while it is cached. Refusals are not cached: asking
// again reads the function again and gives the same reason. A compiler reaches its language's
// cache through its frontCache field; the language frees the cache, with every FunctionIR in
// it, when it is released.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "compiler/front/ir.h"
#include "host/support/idmap.h"
#include "wuna/runtime/status.h"

namespace wuna::compile {
struct Compiler;
}

namespace wuna::front {

struct Cache {
    idmap::IdMap<FunctionIR*> map;
};

// The cached reading of fn, or null.
FunctionIR* cachedFront(const Cache& cache, PyObject* fn);

// Enters a new reading under fn (whose IR it is). ok; or outOfMemory when the cache cannot
// grow, and then ir is freed.
[[nodiscard]] Status enterFront(Cache& cache, PyObject* fn, FunctionIR* ir);

// Frees every FunctionIR and empties the cache. Needs the interpreter lock.
void clearFronts(Cache& cache);

// The IR of fn through the compiler's front cache, reading fn when it is not cached yet.
// ok with *out owned by the cache; unsupported with the reason in the compiler's message
// buffer; outOfMemory; pythonError with an exception pending.
[[nodiscard]] Status frontOf(compile::Compiler* c, PyObject* fn, FunctionIR** out);

// Empties the compiler's message buffer, then puts the text there. ok or outOfMemory.
[[nodiscard]] Status keepReason(compile::Compiler* c, const char* text, size_t length);

}  // namespace wuna::front
