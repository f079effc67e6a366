// Helper specialisations and their keys.
//
// A Python function that compiled code calls without inlining it is compiled out of line as
// a specialisation: one LLVM function for one Python function, one list of argument shapes
// (what the compiler knows of each argument) and one calling form. HelperSpec is that record;
// the compiler keeps every one in its helper list and queues new ones on its helper worklist.
// Call sites find an existing specialisation by comparing argument shapes with sameSpec, and
// name a new one with helperName.
//
// Names. Code compiled to be loaded in this process names specialisations by their number in
// the helper list. An ahead-of-time build compiles modules separately, maybe in separate
// processes, and their symbols must agree: there a name is a Wyhash of what the
// specialisation is - the function's identity texts, its argument shapes, its flags - written
// in hexadecimal, with "_1", "_2" ... after it when two specialisations' hashes collide. The
// hash takes nothing from where objects happen to sit in memory: a compile-time list or dict
// contributes its items, a Python object its type and the names that identify it (a
// function's file, qualified name and first line; a class's or module's name), so two
// processes compiling the same program name its specialisations alike.
//
// Failures: only out of memory (58), from helperName and the hash state. Needs the
// interpreter lock (names of Python objects are read, without running Python code).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compiler/backend/compile.h"
#include "compiler/front/ir.h"
#include "compiler/front/shape.h"

namespace wuna::compile {

// The kind of caller a name's letter stands for.
enum class SpecLetter : char {
    helperSite = 'h',  // helper call sites, and every plain specialisation
    lambda = 'l',      // lambdas compiled in expressions
    call = 'c',        // compiled calls of known functions, functions compiled on demand
    runtime = 's',     // specialisations made at run time (wn_specialize)
};

struct HelperSpec {
    char* symbol;  // owned, NUL-terminated; null until helperName names it
    size_t symbolLength;
    const front::FunctionIR* function;
    Shape* shapes;  // one per argument, in the compiler's arena
    uint64_t argumentCount;
    PyObject* origin;        // the Python function whose compilation asked for it, or null
    uint8_t* argumentFlags;  // one per argument, in the arena; only for on-demand compilation
    uint64_t flagCount;
    uint8_t receiver;   // called with a receiver (a method)
    uint8_t entryForm;  // compiled as a function value callable at run time
    // The function has free variables: its last argument is the function object itself, from
    // whose cells the code reads them at run time (the compiled entries of pyentry.h).
    uint8_t freeVariables;
};

// Whether two argument shapes select the same specialisation: the same variant and, for
// constants, nodes, lists and tuples, the same contents (floats by their bits); dicts, rt
// methods, controls and methods never; none, rt and dyn always; py the same object. Cannot
// fail.
bool sameSpec(const Shape& a, const Shape& b);

// The one generic compiled version of a function: entry form, no receiver, no *args, as many
// arguments as parameters, no argument flags. Cannot fail.
bool isPlain(const HelperSpec& spec);

// Int, pint, float, str and node shapes, and tuples of such (to any depth). Cannot fail.
bool isPlainKey(const Shape& shape);

// The bytes of a hash being fed; hashed with Wyhash (seed 0) when finished.
struct SpecHash {
    backend::List<uint8_t> bytes;
    bool failed = false;  // memory ran out while feeding
};

// Feeds a shape: its variant byte, then its contents; tuples, lists and dicts feed their items
// while depth lasts (each level one less). Out of memory leaves state.failed set.
void specHash(SpecHash& state, const Shape& shape, uint32_t depth);

// The hash of what was fed, and the bytes freed. Cannot fail.
uint64_t finishHash(SpecHash& state);

// Names the specialisation (spec.symbol, owned by it): without a key-origin map the prefix,
// "_", the letter and the number of specialisations in the helper list; with one (an
// ahead-of-time build) the prefix, "_", the letter ("h" for a plain one), the hash in
// hexadecimal and for the k-th collision "_k", entered in the helper names map. ok or
// outOfMemory (nothing named).
Status helperName(Compiler* c, SpecLetter letter, HelperSpec* spec);

}  // namespace wuna::compile
