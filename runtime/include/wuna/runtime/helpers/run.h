// Running a node's semantic from compiled code, and the other crossings of a run into Python
// that every helper shares (the arguments of a Python call, its result, a pending exception
// becoming the run's failure).
//
// Compiled code runs a node through wn_run_value (rt.eval, rt.exec and rt.loop of a value
// known only at run time) or wn_py_semantic (a semantic that stays Python). runNode picks per
// node and mode either the node's thunk (compiled code of the node's kind, made the first
// time the node runs in a scope and kept for the module's life) or the Python semantic,
// which it calls as fn(node, rt) with a fresh CompiledRuntime as rt. What the semantic did
// (a value, rt.Return, rt.Break, rt.Continue, wuna.Throw, wuna.Error or any other exception)
// becomes a RunStatus and a value, or the run's failure.
//
// The node code table of a module is read without a lock by every thread that runs the
// module, while the one thread that compiles (under the interpreter lock) writes it. An
// entry therefore holds a pointer to an immutable thunk record {code, scope}, stored last
// with release ordering and read with acquire: a reader sees a whole record or none, never
// new code with an old scope. The table itself is published the same way.
//
// Compiling a thunk is the code generator's work, which the runtime reaches through
// bridge::compilerApi (filled by the back end, empty in a runtime linked alone: see each
// member).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::bridge {

// The result of running a node.
enum class RunStatus : int32_t {
    failed = 0,    // recorded on the helper context
    done = 1,      // in eval mode the out slot holds the node's value
    returned = 2,  // rt.Return(value): the out slot holds the value
    broke = 3,
    continued = 4,
    tail = 5,  // compiled code left a tail call in the slot (never a Python semantic)
};

// The modes of wn_run_value; wn_py_semantic takes eval or exec.
enum class RunMode : int32_t { eval = 0, exec = 1, loop = 2 };

// Which control exception is pending (pendingControl).
enum class Control : uint8_t { none = 0, returned = 1, broke = 2, continued = 3, tail = 252 };

// A thunk: compiled code of one node in one mode for one scope.
using ThunkCode = int32_t (*)(helpers::Ctx* ctx, value::Frame* frame, value::Value* out);

// Immutable once published: the node code table points at these.
struct ThunkRecord {
    ThunkCode code;
    int32_t scope;
};

struct NodeEntry {
    std::atomic<ThunkRecord*> code;  // null: none yet
    std::atomic<uint8_t> python;     // the node runs as Python; never cleared
};

struct ThunkSlot {
    uint32_t node;
    uint32_t exec;
    int32_t scope;
    uint32_t used;
    ThunkRecord* record;  // owned
};

// A compiled Python function's code, immutable once published (pyfunc.cpp).
struct CodeEntry;
struct CodeTable;

// The bridge's tables of one compiled module, owned by the driver's module state and freed
// with it (freeTables).
struct ModuleTables {
    std::atomic<NodeEntry*> nodes;  // 2 x node count entries, made on first use
    uint64_t nodeCount;
    // The thunk map (node, exec, scope) -> record; used under the interpreter lock only.
    ThunkSlot* thunks;
    uint64_t thunkCapacity;
    uint64_t thunkCount;
    // The Python-function code cache (pyfunc.h): read without a lock, written under it.
    std::atomic<CodeTable*> codes;
    CodeTable* retired;  // tables replaced by a bigger one, freed with the module
    // A list of the code objects used as keys and of the record methods cached, or null.
    // The code cache also holds the methods of record classes called from compiled code
    // (recordMethods, pyfunc.h).
    PyObject* kept;
};

// What the runtime needs of the code generator; filled by the back end at start-up.
struct CompilerApi {
    // Whether the compiler's own lookup of the node's semantic runs it as Python. Empty:
    // every semantic that has a Python function runs as Python.
    bool (*runsAsPython)(void* module, uint32_t node, bool exec) = nullptr;
    // Whether the node is a block scope whose variables a nested function captures (it
    // always runs through compiled code, which makes the block's frame). Empty: none is.
    bool (*capturedScope)(void* module, uint32_t node) = nullptr;
    // Compiles and loads the thunk of (node, exec, scope), the compile retried as the module
    // compile retries it. The code, or null with a Python exception (CompileError with the
    // compiler's message, MemoryError, or another). Needs the lock. Empty: RuntimeError
    // "wuna: compiled code of a node is not available in this build".
    ThunkCode (*thunk)(void* module, uint32_t node, bool exec, int32_t scope) = nullptr;
    // Compiles and loads a Python function for n arguments with the rt positions of mask
    // (and its closure as one more argument). The code; or null with the reason it was not
    // compiled in reason (at most 256 bytes, *length set), no Python exception left. Needs
    // the lock, depth raised. Empty: no function is compiled and none is noted.
    void* (*python)(void* module, PyObject* f, uint64_t n, uint64_t mask, bool closure,
                    char* reason, size_t* length) = nullptr;
    // wn_specialize's work for a hot out-of-line call site. Never fails. Empty: the site
    // keeps calling the generic entry.
    void (*specialize)(void* module, int64_t site) = nullptr;
    // wn_speculate's work for a program function whose call count reached hot_calls: a typed
    // entry compiled for the argument kinds seen and linked into its profile. Never fails.
    // Empty: the function keeps its generic entry.
    void (*speculate)(void* module, int64_t id) = nullptr;
};
extern CompilerApi compilerApi;

// The CompiledRuntime object: the rt of a semantic run as Python from compiled code. Its
// methods and properties are the type's own work (rtobject.h); these are its fields.
struct RuntimeObject {
    PyObject_HEAD
    helpers::Ctx* ctx;         // null once the semantic that got it returned
    value::Frame** frameSlot;  // where the current frame block pointer is held
    int32_t scope;
    int32_t node;         // the node it runs for; the site of its methods' failures
    value::Frame* frame;  // held with a count; set only for objects of wn_runtime
};

// The type's specification (rtobject.cpp); start-up makes the type from it
// (runtime::hostApi's compiledRuntimeType). Freeing an object releases the frame it holds.
extern PyType_Spec compiledRuntimeSpec;

// A new CompiledRuntime with its fields set. Given a frame, the object holds it with a new
// count and its frame slot points at its own frame field (frameSlot is then not used).
// New reference, or null with the Python exception (RuntimeError when the module has not
// made the type). Needs the lock.
[[nodiscard]] PyObject* newRuntime(helpers::Ctx* ctx, value::Frame** frameSlot, int32_t scope,
                                   int32_t node, value::Frame* frame);

// One node of the program's tree in eval or exec mode.
RunStatus runNode(helpers::Ctx* ctx, bool exec, uint32_t node, value::Frame** frameSlot,
                  int32_t scope, value::Value* out);

// After a Python call failed: the pending exception as a status (failed, returned with the
// value in *out, broke, continued); failed records the failure. Lock held.
RunStatus pythonStatus(helpers::Ctx* ctx, int32_t site, value::Value* out);

// The pending control exception taken: the value it carries (None without one; an exact int
// checked as the language's int: I64, or IntegerOverflow "integer overflow"). New
// reference, or null with the exception. Lock held.
[[nodiscard]] PyObject* takeControlValue();
// Which control exception is pending, without taking it. Lock held. Cannot fail.
Control pendingControl();

// Frees the tables and everything they own; the lock held when kept objects exist.
void freeTables(ModuleTables* tables);
// The Python-function part of that (pyfunc.cpp).
void freeCodes(ModuleTables* tables);

}  // namespace wuna::bridge

namespace wuna::helpers {

// The interpreter lock for a crossing at where for the site (and the callee, named in the
// run's first-crossing record in report mode), kept until the run ends. Cannot fail.
gil::Record* claimAt(const gil::Location* where, int32_t site, PyObject* callee);

// The n values as new Python objects in out[0..n), for a call into Python; the lock claimed
// (report mode: the run's first crossing named by the values' type names). True; or false
// with the Python exception pending and nothing left in out.
[[nodiscard]] bool objects(Ctx* ctx, int32_t site, const value::Value* values, uint64_t n,
                           PyObject** out);

// The value of a Python call's result (obj consumed; null: the call raised). True with one
// reference in *out; or false with the failure recorded.
[[nodiscard]] bool pythonResult(Ctx* ctx, int32_t site, PyObject* obj, value::Value* out);

}  // namespace wuna::helpers
