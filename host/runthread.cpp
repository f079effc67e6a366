// Run threads (see runthread.h).
//
// The record lives on the caller's stack for as long as the caller waits in pthread_join;
// the thread receives its address in a small heap block, which the thread frees. The
// alternate signal stack is the thread's own, allocated when it starts and given back when it
// ends, so threads that never run programs carry none.
#include "host/runthread.h"

#include <pthread.h>
#include <signal.h>

#include <cstdlib>

#include "runtime/pool.h"

namespace runthread {

namespace {

struct Record {
    Work work;
    void* arg;
    uintptr_t caller;          // the caller's thread identity, for the home-pool hand-over
    PyObject* result;
    PyObject* kind;
    PyObject* value;
    PyObject* traceback;
};

struct Handoff {
    Record* record;
};

// Installs a signal stack for this thread; the memory to give back, or null (ignored).
void* installSignalStack() {
    void* memory = malloc(kSignalStack);
    if (!memory) return nullptr;
    stack_t stack = {};
    stack.ss_sp = memory;
    stack.ss_size = kSignalStack;
    if (sigaltstack(&stack, nullptr) != 0) {
        free(memory);
        return nullptr;
    }
    return memory;
}

void removeSignalStack(void* memory) {
    if (!memory) return;
    stack_t stack = {};
    stack.ss_flags = SS_DISABLE;
    sigaltstack(&stack, nullptr);
    free(memory);
}

void* threadMain(void* block) {
    Record* record = static_cast<Handoff*>(block)->record;
    free(block);
    void* signalStack = installSignalStack();
    uintptr_t self = pool::threadId();
    uintptr_t expected = record->caller;
    bool borrowed = record->caller && self &&
                    pool::home_owner.compare_exchange_strong(expected, self);
    PyGILState_STATE gil = PyGILState_Ensure();
    record->result = record->work(record->arg);
    if (!record->result) PyErr_Fetch(&record->kind, &record->value, &record->traceback);
    PyGILState_Release(gil);
    if (borrowed) pool::home_owner.store(record->caller);
    removeSignalStack(signalStack);
    return nullptr;
}

// Starts the thread and joins it; false when it could not be started.
bool startAndJoin(uint32_t maxDepth, Record* record) {
    auto* block = static_cast<Handoff*>(malloc(sizeof(Handoff)));
    if (!block) return false;
    block->record = record;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        free(block);
        return false;
    }
    pthread_t thread;
    bool started = pthread_attr_setstacksize(&attributes, size_t(stackSize(maxDepth))) == 0 &&
                   pthread_attr_setguardsize(&attributes, kGuard) == 0 &&
                   pthread_create(&thread, &attributes, threadMain, block) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        free(block);
        return false;
    }
    pthread_join(thread, nullptr);
    return true;
}

}  // namespace

uint64_t stackSize(uint32_t maxDepth) {
    uint64_t added = uint64_t(maxDepth) * kPerLevel;
    return kBaseStack + (added < kMaxAdded ? added : kMaxAdded);
}

PyObject* run(uint32_t maxDepth, Work work, void* arg) {
    Record record = {work, arg, pool::threadId(), nullptr, nullptr, nullptr, nullptr};
    bool ran;
    Py_BEGIN_ALLOW_THREADS
    ran = startAndJoin(maxDepth, &record);
    Py_END_ALLOW_THREADS
    if (!ran) return PyErr_NoMemory();
    if (record.result) return record.result;
    if (record.kind) {
        PyErr_Restore(record.kind, record.value, record.traceback);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace runthread
