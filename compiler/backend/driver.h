// The driver's module state (Compiled): one compiled program module, from its compiler to its
// loaded code, and the one road by which a finished LLVM module becomes running native code.
//
// Compiled::create makes a state: it takes the LLVM capsule (llvmapi::load), gives the code
// engine the 94 runtime helpers once per process, picks a symbol prefix no other state of the
// process ever had (so symbols of every module loaded into the one JIT stay distinct, whatever
// was freed meanwhile), and readies the embedded compiler with its first module, which its
// caller builds into (the tests do) or fills through the compile loop with emitters of its
// own (compileEntry). Compiled::generate makes a state with the whole program generated into
// it (generateProgram, through the emission entries of emit.h).
//
// add() turns the compiler's current module into loaded code, deciding in this order: the
// code key (a SHA-256 of the module's IR text, cache.h); whether code for the key is loaded
// already in this process (code of compiled module files) or sits in the disk cache; for code
// added to an optimized state after its first (hasCode 1) with tiers on and a cache
// directory, the optimized emission of a copy of the module (made through bitcode in a
// context of its own) is queued as a background job writing the cache (tiers.h), and fast
// code is taken from the caches under the level-0 key or emitted at level 0; else emission at
// the state's level (one lower for a large optimized module); keeping the object bytes (in the
// disk cache, or in the state's in-memory code store when there is no cache directory or the
// write failed, so that saving the program later still finds every code entry), loading, and
// entry resolution (recording the handle, the perf map). Every call adds exactly one key to
// the state's key list: the key of the state's level, never the fast key.
//
// Everything here runs with the interpreter lock held; a state is afterwards read by run
// threads without a lock (its code and entry no longer change).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "compiler/backend/compile.h"
#include "compiler/backend/containers.h"
#include "compiler/backend/inputs.h"
#include "compiler/backend/llvmapi.h"
#include "host/support/arena.h"
#include "wuna/runtime/helpers/run.h"

namespace wuna::driver {

using Key = backend::Key32;

inline constexpr size_t kEngineError = 2048;   // every engine call's error buffer
inline constexpr size_t kRuntimeError = 512;   // the buffer of the runtime's registration
inline constexpr size_t kHelperNameSlot = 65;  // each helper name, NUL-terminated

// Object bytes kept in memory: an owned copy.
struct KeptCode {
    uint8_t* bytes;  // malloc'd; null for an empty copy
    uint64_t size;
};

struct Compiled {
    compile::Compiler compiler;
    const llvmapi::Capsule* engine;
    backend::List<void*> handles;  // every engine handle loaded for this module
    uint64_t entry;                // "<prefix>_main" once loaded; 0 before
    uint64_t globalSlots;          // slot count of the global scope's frame
    uint64_t moduleId;             // from the process-wide counter, first 1
    const char* prefix;            // in the arena
    size_t prefixLength;
    arena::Arena* arena;
    uint64_t cacheLoads;                  // code found loaded or in the disk cache
    uint64_t compiles;                    // objects emitted with a disk cache to write to
    backend::List<Key> keys;              // every key code of this state was made or found under
    backend::KeyMap<KeptCode> codeStore;  // key -> bytes kept in memory
    PyObject* compileError;               // wuna.CompileError, one reference
    PyObject* cacheObjects[3];            // State, Language, path: taken by the module cache
    uint64_t users;
    uint32_t level;   // 0 fast, 1 or 2 optimized
    uint8_t ready;    // the entry is resolved
    uint8_t hasCode;  // the first code was loaded (set by whoever loaded it)
    uint8_t cached;   // in the in-process module cache
    Key moduleKey;
    // The bridge's tables of this module (node code, thunks, compiled Python functions).
    bridge::ModuleTables tables;

    // A state for the program key (32 bytes) at a level (0, 1 or 2), its compiler readied
    // for the program tree (may be null) with its first module started; standalone (an
    // ahead-of-time build) gives the prefix "wns". Null with a Python exception: the
    // capsule's, RuntimeError "wuna: the JIT refused the runtime: ..." or MemoryError.
    static Compiled* create(const ptree::Index* tree, PyObject* compileError,
                            const uint8_t programKey[32], uint32_t level, bool standalone);

    // A state for the program key at a level with the whole program generated into its
    // compiler (generateProgram). A prefix given (NUL-terminated) replaces the state's own,
    // for a module that is printed and never loaded. Null with a Python exception: create's,
    // or generation's.
    static Compiled* generate(ptree::Index* tree, const CompileInputs* inputs,
                              PyObject* compileError, const uint8_t programKey[32],
                              uint32_t level, const char* prefix = nullptr);

    // Releases everything the state holds, its loaded code first.
    static void free(Compiled* state);

    // "<prefix>_main" in the state's arena, or null when the arena is out of memory.
    const char* mainName();

    // The compiler's current module as loaded code: 0 with *address the entry symbol's
    // address; -1 with a Python exception (the compiler then rolled back, unless the entry
    // symbol alone was missing). name is NUL-terminated.
    [[nodiscard]] int add(const char* name, size_t length, uint64_t* address);

    // Hands the compiler's symbol table (key globals) to the engine. 0, or -1 with a Python
    // exception.
    [[nodiscard]] int defineSymbols(char* err);

    // Appends a copy of the key; a key the list cannot take is silently not recorded.
    static void addKey(backend::List<Key>* keys, const uint8_t key[32]);

    // Keeps a copy of the object bytes under the key (replacing an earlier copy). Out of
    // memory: nothing is kept and nothing is reported.
    void keepCode(const uint8_t key[32], const uint8_t* bytes, uint64_t size);

    // Records a loaded handle, updates the perf map when it is on, and resolves the entry
    // name. 0 with *address; -1 with a Python exception (the handle is released when it
    // could not be recorded, else it stays recorded).
    [[nodiscard]] int resolveEntries(void* handle, const char* name, size_t length,
                                     uint64_t* address);
};

// RuntimeError "wuna: LLVM rejected the compiled program (a wuna bug): " + the engine text.
void raiseLlvmRejected(PyObject* cls, const char* text, size_t length);

// Readies the state's compiler for a program tree and starts its first module, for callers
// that build into it themselves. ok, or outOfMemory.
Status readyCompiler(Compiled* state, const ptree::Index* tree);

// Generates the whole program into the state's compiler, attempt after attempt: each
// attempt starts a fresh module, lays out the frame slots of every symbol, gives heap frames
// to the scopes that need them (a function's definer, the global scope, captured block
// scopes and the scopes around them, scopes earlier attempts needed, and every scope when a
// semantic runs as Python), emits the top level and drains the worklists (emit.h). An
// unsupported construct makes a new attempt only when something grew that makes it differ:
// a scope needing its frame, the all-frames decision, a need an emitter recorded, or the
// failing semantic added to the language's Python semantics with the message as its reason
// (not in a strict language). Otherwise CompileError (compileError) with the message. true
// with the module in the compiler, or false with a Python exception (the compiler empty).
[[nodiscard]] bool generateProgram(Compiled* state, ptree::Index* tree,
                                   const CompileInputs* inputs, PyObject* compileError);

// The compile loop for one request followed by add() with the entry's symbol: 0 with
// *address; -1 with a Python exception (MemoryError, CompileError with the compiler's
// message for an unsupported construct, or the pending one). entryName is read after the
// loop: an entry emitter names its entry anew on each attempt (a thunk takes a new number).
[[nodiscard]] int compileEntry(Compiled* state, uint32_t id, const compile::Emitters& emitters,
                               const std::string& entryName, uint64_t* address);

// Whether the engine accepted the runtime helpers in this process.
bool runtimeRegistered();

}  // namespace wuna::driver
