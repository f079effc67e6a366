// Containers from compiled code: constructors of lists, tuples, dicts, records and sets,
// growing lists, type tests, indexing and item assignment, iteration, unpacking and dict
// views.
//
// Each helper does the common cases natively on the runtime's own blocks and hands every
// other case, whole, to Python's own operation on converted operands, so that a program sees
// exactly Python's result or exception. Messages whose wording changed between Python
// versions are worded as the running interpreter words them (pyhelp::servedMinor).
//
// Results follow one rule: a helper that fails leaves its result slot as it found it (a
// container it had started is released first), so compiled code never releases a half-built
// value. wn_list, wn_tuple and wn_record take over the references of the values they are
// given, also when they fail; every other helper borrows its arguments.
//
// The exported wn_* helpers are declared by the helper table (table.h); this header adds
// what the helpers share.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

typedef struct _object PyObject;

namespace wuna::helpers {

// Which list a dict view gives (wn_dict_view).
enum class DictView : int32_t { items = 0, keys = 1, values = 2 };

// Records TypeError for an unhashable dict key or set element, worded per Python version and
// naming the value hashing stopped at (unhashablePart). Cannot fail.
void unhashableKey(Ctx* ctx, int32_t site, value::Value key);
void unhashableItem(Ctx* ctx, int32_t site, value::Value item);

// The part of an unhashable value that hashing fails on, as the interpreter hashes a tuple
// (its items in order, into the first unhashable one); the value itself otherwise. Cannot
// fail.
[[nodiscard]] value::Value unhashablePart(value::Value v);

// Records the TypeError of a change to a read-only (shared) container block.
void refuseReadOnly(Ctx* ctx, int32_t site, const value::Obj* block);

// The n borrowed values as new Python objects in out[0..n) (helpers::objects); false with the
// failure recorded and nothing left in out.
[[nodiscard]] bool pythonArgs(Ctx* ctx, int32_t site, const value::Value* values, uint64_t n,
                              PyObject** out);

// The one-character str at code point i (below the str's count) of s: an immortal shared str
// for ASCII, else a new str. One reference in *out (none needed for immortal ones) and true;
// false when memory ran out.
[[nodiscard]] bool charAt(value::Str* s, uint64_t i, value::Value* out);

// Adds the items of any iterable to a set (set.update, set(x)) as the interpreter does:
// natively for the runtime's own containers, through Python's iteration otherwise. True; or
// false with the failure recorded (an unhashable item: the items before it stay added).
[[nodiscard]] bool setUpdate(Ctx* ctx, int32_t site, value::Set* s, value::Value iterable);
// The items of any iterable as a list value: a list itself with one reference added, the
// items of a tuple, str, dict (keys) or set in a new list, anything else through Python's
// list(x) (pythonItems). True with one reference in *out; false with the failure recorded,
// *out untouched.
[[nodiscard]] bool itemsList(Ctx* ctx, int32_t site, value::Value v, value::Value* out);

// When the thread's fault record holds a failure (a Python __eq__ or __hash__ that raised
// inside a table operation), makes it the run's failure: true. False when there is none.
bool takeFault(Ctx* ctx, int32_t site);

}  // namespace wuna::helpers
