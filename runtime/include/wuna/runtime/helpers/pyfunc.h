// Python functions called from compiled code: compiled on their first call and called natively
// from then on.
//
// A plain Python function (or a bound method's function, its self first) called from compiled
// code is compiled for the number of arguments given and the positions of rt arguments (the
// rt mask), once per compiled module, and its code kept in the module's code cache keyed by
// (function, count, mask); a function with free variables is keyed by its code object, so
// that every closure of one def shares the code, and gets the function itself as one more
// argument to read its cells from. A function that cannot be compiled maps to no code (never
// tried again) and is listed, with the reason, in the process's registry of uncompiled
// functions; it is then called through Python.
//
// The cache is read without the interpreter lock (compiled code of one module runs on several
// threads) and written under it: its table and its entries are immutable once published, each
// pointer stored last with release ordering and read with acquire; a grown table replaces the
// old one, which stays readable until the module is freed. Every key object is held by the
// module, so that an address in the cache never names another object later.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::bridge {

// The answer of an offer: taken false means the caller calls through Python.
struct Offer {
    bool ok;
    bool taken;
};

// Compiled code of a function: i32 (ctx, rt payload or null, arguments, site, rt detail,
// null, null, out): 1 done, 0 failed, anything else a jump escaped.
using PythonCode = int32_t (*)(helpers::Ctx* ctx, void* rt, value::Value* args, int32_t site,
                               uint32_t rtDetail, void* unused1, void* unused2, value::Value* out);

// Offers the call of a Python function or bound method to compiled code. host: ints cross as
// the language's ints and a failure is reworded as a host function's. Cannot fail by itself.
Offer compiledMethod(helpers::Ctx* ctx, int32_t site, PyObject* f, const value::Value* args,
                     uint64_t n, bool host, value::Value* out);
// The same for a plain Python function.
Offer compiledCall(helpers::Ctx* ctx, int32_t site, PyObject* f, const value::Value* args,
                   uint64_t n, bool host, value::Value* out);

// The code of f for n arguments and the rt mask in the module's cache, compiled on a miss;
// null when it cannot be compiled. The lock held and the depth raised by the caller.
void* pythonCode(helpers::Ctx* ctx, PyObject* f, uint64_t n, uint64_t mask, bool closure);

// The compiled entry that wn_call_site keeps in its call site's cell: f's code for n
// arguments, none of them an rt (mask 0), from the module's cache or compiled on a miss (the
// lock taken, the depth raised). Null when f gets none this way: not exactly a plain Python
// function, a closure, 64 or more arguments, no run record, or a function that can't be
// compiled (then the cache says so and the caller's call through Python tallies it). Cannot
// fail.
void* siteCode(helpers::Ctx* ctx, PyObject* f, uint64_t n);

// Puts f with the reason into the registry of uncompiled functions. Lock held. Cannot fail.
void noteNotCompiled(PyObject* f, const char* reason, size_t length);
// The registry {function: reason}, borrowed; null while empty. Lock held.
PyObject* uncompiledFunctions();
// Why f was not compiled (a str, borrowed), or null when the registry has no entry for it.
// f is compared by identity alone and may name an object that is gone. Lock held; cannot fail.
PyObject* whyPython(const PyObject* f);

// The methods of record classes that wn_call_method calls (recordMethods): per module,
// (class description, method name block) -> the class's plain Python function of that name,
// or none. The entries share the code cache's table under a mask no call has, and are read
// as its entries are, without the lock; the name must be an immortal (interned) block, whose
// address is its text for good, and the function is held by the module.
//
// True with *f (borrowed, kept alive by the module; null: the class has no such function)
// when the pair is cached; false on a miss. Any thread, no lock.
bool cachedRecordMethod(ModuleTables* tables, const value::RecordClass* cls,
                        const value::Str* name, PyObject** f);
// Caches the pair's answer (f may be null). Lock held. Running out of memory only leaves the
// pair uncached (no exception).
void cacheRecordMethod(ModuleTables* tables, const value::RecordClass* cls,
                       const value::Str* name, PyObject* f);

// In report mode, one more "python function <name>" crossing. Cannot fail.
void tallyPythonFunction(helpers::Ctx* ctx, const char* name, size_t length);

}  // namespace wuna::bridge
