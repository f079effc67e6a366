// Module variables taken over as native state: a semantic keeps its state in a module variable
// of its own module (a symbol table, a list of emitted items, a record instance), and compiled
// code that reads it takes the value over. The value, and every list, dict and record instance
// it holds, is converted into native values once; the blocks bound to module names become
// immortal (threads running compiled code never count them) yet stay writable (FlagShared),
// and their proxies (wuna.List, wuna.Dict, wuna.Record) replace the Python objects in every
// module that named them. From then on compiled code and Python share one native object, and
// a later compilation finds the proxy and takes its block at once.
//
// A conversion copies: were any Python code still holding one of the old objects, its changes
// would no longer reach compiled code, and compiled code's would not reach it. So before
// anything is converted, every list, dict and record instance reachable from the value (its
// component: the objects joined to it by references between tracked objects) has its
// references counted, and each must be accounted for by the containers of the component or by
// module names; otherwise the value is refused with the reason, and stays a Python object.
// Tuples, sets, strings, numbers and other objects are not tracked: they are converted by
// value where they sit.
//
// The walk holds a reference to every object it tracks, so Python code that runs while it
// reads fields (a property, a __getattr__) can't free one under it; the count check allows for
// that reference. Containers are read from snapshots for the same reason.
//
// Failures are Status codes: outOfMemory; pythonError with the exception pending. A refusal is
// no failure: it is an outcome with its reason. Needs the interpreter lock throughout.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compiler/backend/containers.h"
#include "host/support/idmap.h"
#include "wuna/runtime/status.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

struct Compiler;

enum class Adopted : uint8_t {
    no = 0,       // not a list, dict or record instance; or a proxy whose block is mortal
    yes = 1,      // taken over: the outcome's value
    refused = 2,  // the outcome's reason says why
};

struct AdoptOutcome {
    union {
        value::Value value;  // yes: the native value, one reference for the caller
        struct {
            const char* text;  // refused: UTF-8 in the compiler's arena, no NUL
            uint64_t length;
        } reason;
    };
    Adopted outcome;
    uint16_t error;  // the Status of the call: 0, 58 or 122
};
static_assert(sizeof(AdoptOutcome) == 24 && offsetof(AdoptOutcome, outcome) == 16 &&
              offsetof(AdoptOutcome, error) == 18);

enum class AdoptKind : uint8_t { record = 0, list = 1, dict = 2 };

inline constexpr uint64_t kUntracked = UINT64_MAX;

// One tracked Python object.
struct AdoptEntry {
    value::RecordClass* cls;  // a record instance's class, else null
    AdoptKind kind;
    uint64_t held;   // references from walked containers (items, keys, values, fields)
    uint64_t named;  // module-dict entries bound to the object
    uint64_t link;   // another entry of its component; itself at the component's root
    value::Value native;
    uint8_t made;      // native is made; the walk holds one reference to it
    uint8_t refused;   // a key no native dict can hash, or attributes beyond the fields
    PyObject* object;  // one reference held by the walk
};

// A module dict's entry bound to a tracked object (dict and key: one reference each).
struct ModuleReference {
    PyObject* dict;
    PyObject* key;
    uint64_t entry;
};

struct AdoptWalk {
    backend::List<AdoptEntry> entries;  // in the order they were tracked
    idmap::IdMap<uint64_t> index;       // object identity -> entry index + 1
    backend::List<ModuleReference> moduleReferences;
    idmap::IdMap<uint8_t> scanned;  // module dicts already read
};

// The object's entry index in *index, added when new; kUntracked for an object that is no
// exact list, exact dict or record instance. ok, outOfMemory, or pythonError (describing the
// object's class failed).
[[nodiscard]] Status track(AdoptWalk* walk, PyObject* object, uint64_t* index);

// Drops the walk's references to the native values it made and to the objects it tracked, and
// frees its tables. Cannot fail.
void freeWalk(AdoptWalk* walk);

// Takes the value of a module variable over, as above. value is borrowed from globals (the
// dict of the module whose variable it is): a reference of the caller's own would count as
// one from elsewhere. ok with *out filled (outcome no, yes or refused), or outOfMemory or
// pythonError (out->error the same). Whatever a failure leaves is consistent: blocks already
// handed over stay with their proxies in place.
[[nodiscard]] Status adoptModuleState(Compiler* c, PyObject* value, PyObject* globals,
                                      AdoptOutcome* out);

}  // namespace wuna::compile
