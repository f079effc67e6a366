// Background compile jobs and optimized builds (see tiers.h).
#include "compiler/backend/tiers.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "compiler/backend/cache.h"
#include "compiler/backend/messages.h"
#include "host/module/settings.h"

namespace wuna::driver {

namespace {

constexpr size_t kWorkerStack = 16777216;
constexpr size_t kWorkerGuard = 4096;
constexpr size_t kSignalStack = 262144;
constexpr size_t kTaskMapInserts = 8;
constexpr long kPendingPollNs = 2000000;
constexpr long kLinkPollNs = 1000000;

// ---- the job queue (one byte spin lock) ----------------------------------------------------

std::atomic_flag queueLock = ATOMIC_FLAG_INIT;
TierJob** queue = nullptr;
size_t queueHead = 0, queueCount = 0, queueCapacity = 0;
uint64_t pending = 0;
uint64_t workers = 0;
bool atExitRegistered = false;

// A worker thread and the flag it raises as its very last step. Workers are joined, never
// detached: one that has ended is joined when the next job is queued, and every one at exit,
// so none is still tearing down (its signal stack, its thread stack) when the process ends.
struct Worker {
    pthread_t thread;
    std::atomic<bool> ended;
};
// The workers started and not joined yet (under the queue lock).
Worker** started = nullptr;
size_t startedCount = 0, startedCapacity = 0;

void lockQueue() {
    while (queueLock.test_and_set(std::memory_order_acquire)) sched_yield();
}
void unlockQueue() { queueLock.clear(std::memory_order_release); }

bool append(TierJob* job) {
    if (queueHead + queueCount == queueCapacity) {
        if (queueHead) {
            memmove(queue, queue + queueHead, queueCount * sizeof *queue);
            queueHead = 0;
        } else {
            size_t capacity = queueCapacity ? queueCapacity * 2 : 16;
            auto* grown = static_cast<TierJob**>(realloc(queue, capacity * sizeof *queue));
            if (!grown) return false;
            queue = grown;
            queueCapacity = capacity;
        }
    }
    queue[queueHead + queueCount++] = job;
    return true;
}

void sleepNs(long ns) {
    timespec t{0, ns};
    nanosleep(&t, nullptr);
}

void freePath(TierJob* job) {
    if (job->path && job->pathLength) free(job->path);
    job->path = nullptr;
    job->pathLength = 0;
}

// Emits the job's module; writes the cache file; keeps or frees the bytes; marks it done (a
// keep job) or frees it.
void runTierJob(TierJob* job) {
    uint64_t size = 0;
    uint8_t* bytes = job->engine->emitObject(job->module, job->level, job->target, nullptr,
                                             nullptr, &size, job->error, sizeof job->error);
    job->module = nullptr;
    if (bytes && job->path) {
        if (writeCacheFile(job->path, job->pathLength, bytes, size) == 0 &&
            settings::current.cacheSize != 0)
            settings::noteCacheWrite(size);
    }
    freePath(job);
    if (!job->keep) {
        if (bytes) job->engine->freeBytes(bytes);
        free(job);
        return;
    }
    job->bytes = bytes;
    job->size = size;
    std::atomic_ref<uint8_t>(job->done).store(1, std::memory_order_release);
}

// The worker's alternate signal stack is allocated, not thread-local: static thread-local
// storage of this size would be taken from the stack of every thread of the process.
void* tierWorker(void* self) {
    stack_t stack{};
    stack.ss_sp = malloc(kSignalStack);
    stack.ss_size = kSignalStack;
    // A worker without one still works.
    if (stack.ss_sp && sigaltstack(&stack, nullptr) != 0) {
        free(stack.ss_sp);
        stack.ss_sp = nullptr;
    }
    for (;;) {
        lockQueue();
        if (!queueCount) {
            workers--;
            unlockQueue();
            break;
        }
        TierJob* job = queue[queueHead++];
        queueCount--;
        if (!queueCount) queueHead = 0;
        unlockQueue();
        runTierJob(job);
        lockQueue();
        pending--;
        unlockQueue();
    }
    if (stack.ss_sp) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        (void)sigaltstack(&off, nullptr);
        free(stack.ss_sp);
    }
    static_cast<Worker*>(self)->ended.store(true, std::memory_order_release);
    return nullptr;
}

// Room for one more started worker (under the queue lock): false when memory runs out.
bool workerRoom() {
    if (startedCount < startedCapacity) return true;
    size_t capacity = startedCapacity ? startedCapacity * 2 : 8;
    auto* grown = static_cast<Worker**>(realloc(started, capacity * sizeof *started));
    if (!grown) return false;
    started = grown;
    startedCapacity = capacity;
    return true;
}

// Joins the workers that have ended, or (all) every worker, waiting for each to end, and
// frees their records. Never from a worker, and without the queue lock, which a worker takes
// on its way out.
void joinWorkers(bool all) {
    for (;;) {
        Worker* worker = nullptr;
        lockQueue();
        for (size_t i = 0; i < startedCount && !worker; i++) {
            if (!all && !started[i]->ended.load(std::memory_order_acquire)) continue;
            worker = started[i];
            started[i] = started[--startedCount];
        }
        unlockQueue();
        if (!worker) return;
        pthread_join(worker->thread, nullptr);
        worker->~Worker();
        free(worker);
    }
}

void waitAtExit() { waitForTierJobs(); }

// How many workers may run: one fewer than the CPUs this thread may use, one when that can't
// be read.
uint64_t allowance() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    int cpus = CPU_COUNT(&set);
    return cpus > 0 ? uint64_t(cpus - 1) : 0;
}

TierJob* ranHere(TierJob* job) {
    bool keep = job->keep;
    runTierJob(job);
    return keep ? job : nullptr;
}

// ---- the task map and the abandoned list (under the interpreter lock) ------------------------

struct TaskSlot {
    uint8_t key[32];
    OptimizeTask* task;  // null: empty or taken
};
TaskSlot taskMap[kTaskMapInserts];
size_t taskMapInserted = 0;
OptimizeTask** abandoned = nullptr;
size_t abandonedCount = 0, abandonedCapacity = 0;

void sweepAbandoned() {
    for (size_t i = 0; i < abandonedCount;) {
        OptimizeTask* task = abandoned[i];
        if (task->job && !tierJobDone(task->job)) {
            i++;
            continue;
        }
        abandoned[i] = abandoned[--abandonedCount];
        freeOptimizeTask(task);
    }
}

void raiseJitRefused(const char* text) {
    messages::Message m;
    m.add("wuna: the JIT refused the compiled program (a wuna bug): ")
        .add(text, messages::engineTextLength(text, kEngineError));
    m.raise(PyExc_RuntimeError);
}

}  // namespace

TierJob* queueTierJob(const llvmapi::Capsule* engine, LLVMOpaqueModule* module, uint32_t level,
                      const char* target, char* path, size_t pathLength, bool keep) {
    auto* job = static_cast<TierJob*>(calloc(1, sizeof(TierJob)));
    if (!job) {
        if (path && pathLength) free(path);
        return nullptr;
    }
    job->engine = engine;
    job->module = module;
    job->target = target;
    job->path = path;
    job->pathLength = pathLength;
    job->level = level;
    job->keep = keep ? 1 : 0;
    if (!atExitRegistered) {
        if (Py_AtExit(waitAtExit) != 0) return ranHere(job);
        atExitRegistered = true;
    }
    joinWorkers(false);
    // Made before the lock is taken; freed again when no thread starts with it.
    void* memory = malloc(sizeof(Worker));
    auto* worker = memory ? new (memory) Worker{} : nullptr;
    lockQueue();
    if (!append(job)) {
        unlockQueue();
        if (worker) worker->~Worker();
        free(memory);
        return ranHere(job);
    }
    pending++;
    uint64_t allowed = allowance();
    if (workers >= allowed && workers != 0) {
        unlockQueue();
        if (worker) worker->~Worker();
        free(memory);
        return keep ? job : nullptr;
    }
    pthread_attr_t attributes;
    // A worker that could not be kept for its join is not started.
    bool made = worker && workerRoom() && pthread_attr_init(&attributes) == 0;
    if (made) {
        made = pthread_attr_setstacksize(&attributes, kWorkerStack) == 0 &&
               pthread_attr_setguardsize(&attributes, kWorkerGuard) == 0 &&
               pthread_create(&worker->thread, &attributes, tierWorker, worker) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (made) {
        started[startedCount++] = worker;
        workers++;
        unlockQueue();
        return keep ? job : nullptr;
    }
    if (worker) worker->~Worker();
    free(memory);
    if (workers != 0) {
        unlockQueue();  // a live worker takes it
        return keep ? job : nullptr;
    }
    queueCount--;
    pending--;
    unlockQueue();
    return ranHere(job);
}

bool tierJobDone(const TierJob* job) {
    return std::atomic_ref<uint8_t>(const_cast<TierJob*>(job)->done)
               .load(std::memory_order_acquire) != 0;
}

void freeTierJob(TierJob* job) {
    if (!job) return;
    if (job->bytes) job->engine->freeBytes(job->bytes);
    freePath(job);
    free(job);
}

void waitForTierJobs() {
    for (;;) {
        lockQueue();
        uint64_t left = pending;
        unlockQueue();
        if (!left) break;
        sleepNs(kPendingPollNs);
    }
    // With the queue empty every worker is on its way out.
    joinWorkers(true);
}

OptimizeTask* startOptimize(ptree::Index* tree, const CompileInputs* inputs,
                            PyObject* compileError, const uint8_t programKey[32],
                            const uint8_t* moduleKey) {
    sweepAbandoned();
    Compiled* state = Compiled::generate(tree, inputs, compileError, programKey, 2);
    if (!state) return nullptr;
    // The inputs live on the caller's stack: nothing may read them once generation is over.
    state->compiler.inputs = nullptr;
    auto* task = static_cast<OptimizeTask*>(calloc(1, sizeof(OptimizeTask)));
    const char* name = task ? state->mainName() : nullptr;
    if (!name) {
        free(task);
        Compiled::free(state);
        PyErr_NoMemory();
        return nullptr;
    }
    task->state = state;
    task->entryName = name;
    if (moduleKey) {
        task->hasModuleKey = 1;
        memcpy(task->moduleKey, moduleKey, 32);
    }
    char err[kEngineError];
    memset(err, 0, sizeof err);
    if (state->defineSymbols(err) < 0) {
        freeOptimizeTask(task);
        return nullptr;
    }
    const llvmapi::Table& T = llvmapi::table;
    compile::ModuleRecord* m = &state->compiler.module;
    compile::inlineCounting(&state->compiler);
    char* text = T.LLVMPrintModuleToString(m->module);
    uint8_t key[32];
    cacheKey(key, text, strlen(text), 2, nullptr, 0);
    T.LLVMDisposeMessage(text);
    Compiled::addKey(&state->keys, key);
    memset(err, 0, sizeof err);
    if (void* handle = lookupCode(state, key, err, sizeof err)) {
        task->handle = handle;
        task->loaded = 1;
        return task;
    }
    memcpy(task->key, key, 32);
    char* path = cachePath(key);
    task->hasPath = path ? 1 : 0;
    // From here the job owns the module and its context.
    m->handedOver = 1;
    uint32_t level = m->blockCount > compile::kLargeModule ? 1 : 2;
    task->job = queueTierJob(state->engine, m->module, level, nullptr, path,
                             path ? strlen(path) : 0, true);
    if (!task->job) {
        freeOptimizeTask(task);
        PyErr_NoMemory();
        return nullptr;
    }
    return task;
}

bool optimizeReady(const OptimizeTask* task) {
    return task->loaded || !task->job || tierJobDone(task->job);
}

int finishOptimize(OptimizeTask* task, Compiled** out) {
    *out = nullptr;
    Compiled* state = task->state;
    void* handle = task->handle;
    if (!task->loaded) {
        TierJob* job = task->job;
        while (!tierJobDone(job)) sleepNs(kLinkPollNs);  // the lock stays held: jobs never take it
        if (!job->bytes) {
            raiseLlvmRejected(PyExc_RuntimeError, job->error,
                              messages::engineTextLength(job->error, sizeof job->error));
            freeOptimizeTask(task);
            return -1;
        }
        if (task->hasPath)
            state->compiles++;
        else
            state->keepCode(task->key, job->bytes, job->size);
        char err[kEngineError];
        memset(err, 0, sizeof err);
        handle = state->engine->loadObject(job->bytes, job->size, err, sizeof err);
        if (!handle) {
            raiseJitRefused(err);
            freeOptimizeTask(task);
            return -1;
        }
        freeTierJob(job);
        task->job = nullptr;
    }
    task->handle = nullptr;
    task->loaded = 0;
    task->state = nullptr;
    const char* name = task->entryName;
    free(task);
    uint64_t entry = 0;
    if (state->resolveEntries(handle, name, strlen(name), &entry) < 0) {
        Compiled::free(state);
        return -1;
    }
    state->entry = entry;
    state->ready = 1;
    // Code added to the state from now on may take the background branch of add.
    state->hasCode = 1;
    *out = state;
    return 0;
}

OptimizeTask* takeOptimizeTask(const uint8_t moduleKey[32]) {
    for (TaskSlot& slot : taskMap) {
        if (!slot.task || memcmp(slot.key, moduleKey, 32) != 0) continue;
        OptimizeTask* task = slot.task;
        slot.task = nullptr;
        return task;
    }
    return nullptr;
}

void giveUpOptimizeTask(OptimizeTask* task, PyObject* const objects[3]) {
    if (!task) return;
    bool held = false;
    for (const TaskSlot& slot : taskMap)
        if (slot.task && memcmp(slot.key, task->moduleKey, 32) == 0) held = true;
    if (task->hasModuleKey && !held && taskMapInserted < kTaskMapInserts) {
        TaskSlot& slot = taskMap[taskMapInserted++];
        memcpy(slot.key, task->moduleKey, 32);
        slot.task = task;
        // The code points into these objects, as a cached module's does.
        Compiled* state = task->state;
        for (int i = 0; i < 3; i++)
            if (!state->cacheObjects[i]) state->cacheObjects[i] = Py_XNewRef(objects[i]);
        return;
    }
    if (task->job && !tierJobDone(task->job)) {
        if (abandonedCount == abandonedCapacity) {
            size_t capacity = abandonedCapacity ? abandonedCapacity * 2 : 8;
            auto* grown =
                static_cast<OptimizeTask**>(realloc(abandoned, capacity * sizeof *abandoned));
            if (!grown) {
                // Nowhere to keep it: waiting is the only safe way to free it.
                while (!tierJobDone(task->job)) sleepNs(kLinkPollNs);
                freeOptimizeTask(task);
                return;
            }
            abandoned = grown;
            abandonedCapacity = capacity;
        }
        abandoned[abandonedCount++] = task;
        return;
    }
    freeOptimizeTask(task);
}

void freeOptimizeTask(OptimizeTask* task) {
    if (!task) return;
    if (task->loaded && task->handle && task->state) task->state->engine->release(task->handle);
    freeTierJob(task->job);
    if (task->state) Compiled::free(task->state);
    free(task);
}

}  // namespace wuna::driver
