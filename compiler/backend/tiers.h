// Tiers: optimized code emitted by background workers while fast code runs.
//
// A TierJob is one emission of an LLVM module at a level, run by a detached worker thread
// taken from a first-in first-out queue (or inline when no worker can start). Workers never
// take the interpreter lock: a job's module lives in a context no other thread touches until
// the job is done, and its result (bytes, size, error text) is published by the done flag,
// written with release and read with acquire order. Waiting for pending jobs at exit keeps the
// process from ending under a worker.
//
// An OptimizeTask is a program's pending optimized build: a level-2 module state generated in
// the foreground whose emission is a job (or whose code the caches had already), linked into
// the program once done (compiler/driver/modules.cpp). A task whose program goes away first
// waits in the task map for a later program of the same module key, or, while its job still
// runs, in the abandoned list until a later sweep frees it.
//
// Everything but the job's run happens under the interpreter lock. The queue is guarded by a
// byte spin lock.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compiler/backend/driver.h"

namespace wuna::driver {

struct TierJob {
    const llvmapi::Capsule* engine;
    LLVMOpaqueModule* module;  // the job's alone until done; emitObject takes it
    const char* target;        // null: this machine
    char* path;                // cache file to write; owned, freed after the run
    size_t pathLength;
    uint8_t* bytes;  // keep jobs: the emitted object (engine's), null after a failure
    uint64_t size;
    uint32_t level;
    uint8_t keep;   // the producer owns the job and frees it after done
    uint8_t done;   // a keep job has run (release / acquire)
    char error[kEngineError];
};

// Queues the emission of module at level (path: the cache file to write, taken over, null
// for none). keep 1: the producer owns the returned job and frees it (freeTierJob) once done;
// keep 0: the job frees itself and the result is null. Null for keep 1 only when the job
// cannot be allocated (the path is freed then). Needs the interpreter lock.
TierJob* queueTierJob(const llvmapi::Capsule* engine, LLVMOpaqueModule* module, uint32_t level,
                      const char* target, char* path, size_t pathLength, bool keep);

// Whether a keep job has run (acquire). Cannot fail.
bool tierJobDone(const TierJob* job);

// Frees a done keep job and its bytes. Null is ignored. Cannot fail.
void freeTierJob(TierJob* job);

// Blocks until no job is pending (the at-exit handler; tests). Cannot fail.
void waitForTierJobs();

// A program's pending optimized build.
struct OptimizeTask {
    Compiled* state;         // level 2, owned
    const char* entryName;   // "<prefix>_main", in the state's arena
    void* handle;            // loaded engine handle when the code came from a cache
    uint8_t loaded;          // handle is set
    TierJob* job;            // the emission, or null
    uint8_t key[32];         // code key of the module (set when a job was queued)
    uint8_t hasPath;         // the job writes the code to the disk cache
    uint8_t hasModuleKey;    // moduleKey is set: the task may wait for a later program
    uint8_t moduleKey[32];
};

// Generates the program at level 2 and starts its emission, or finds its code in the caches.
// moduleKey: the program's module key, or null. The task, or null with a Python exception
// (generation's CompileError, the engine's RuntimeError, MemoryError).
OptimizeTask* startOptimize(ptree::Index* tree, const CompileInputs* inputs,
                            PyObject* compileError, const uint8_t programKey[32],
                            const uint8_t* moduleKey);

// Whether the task's code is at hand: loaded from a cache, or its job done. Cannot fail.
bool optimizeReady(const OptimizeTask* task);

// Waits for the task's job, loads its code and resolves its entry into the state (ready
// set). The task record is freed whatever happens; on success *out is the state (the
// caller's), on failure it is freed too. 0, or -1 with a Python exception.
[[nodiscard]] int finishOptimize(OptimizeTask* task, Compiled** out);

// The task the task map holds for the module key, taken out of it, or null.
OptimizeTask* takeOptimizeTask(const uint8_t moduleKey[32]);

// A task whose program was released before linking it: kept in the task map for a later
// program of its module key (its state taking the three objects when it holds none yet), or
// left to a later sweep while its job runs, or freed. Cannot fail.
void giveUpOptimizeTask(OptimizeTask* task, PyObject* const objects[3]);

// Releases the task, its handle, its job and its state. Null is ignored. Cannot fail.
void freeOptimizeTask(OptimizeTask* task);

}  // namespace wuna::driver
