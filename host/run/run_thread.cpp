// Run threads (see run/run_thread.h).
//
// The record lives on the caller's stack for as long as the caller waits in pthread_join;
// the thread receives its address in a small heap block, which the thread frees. The
// alternate signal stack is the thread's own, allocated when it starts and given back when it
// ends, so threads that never run programs carry none.
//
// Python handles signals on its main thread only, and only when that thread runs. A thread
// waiting for a run therefore wakes every 100 ms to let Python handle them: an exception a
// handler raises (KeyboardInterrupt for Ctrl-C) is sent to the run thread as an asynchronous
// exception, which stops the semantics it is running, and is raised to the caller once the
// thread has ended, in place of the run's own outcome. Every interrupt is sent, not only the
// first: a program may catch one and go on (a semantic's bare except), and the next Ctrl-C
// must still reach it. A run thread that itself waits for a run (a semantic calling
// Program.call) runs no Python while it waits, so the interrupts sent to it are passed on to
// the run it waits for. Work of many steps asks stopRequested() between them.
//
// Each run thread notes the lowest address of its stack it lets the interpreter use: the
// stack's end plus a margin, found once when the thread starts.
#include "host/run/run_thread.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/status.h"

namespace wuna::runthread {

namespace {

struct Record {
    Work work;
    void* arg;
    uintptr_t caller;  // the caller's thread identity, for the home-pool hand-over
    PyObject* result;
    PendingError failure;  // the work's exception when it failed
    // The run thread's identity while it runs Python (0 before and after): only then can it
    // be sent an interrupt.
    std::atomic<unsigned long> pythonThread;
    std::atomic<bool> stop;  // the caller was interrupted
    uint64_t stackBytes;     // the run thread's stack
    // The interrupts sent to the run thread so far, and the kind of the last one (owned).
    // Written by the caller and read by a run the thread waits for, both under the
    // interpreter lock.
    std::atomic<uint32_t> interrupts;
    PyObject* interruptKind;
};

// The record of the run this thread executes, or null outside a run thread.
thread_local Record* current = nullptr;

// The lowest stack address the interpreter may go down to on this thread; 0: no check (not a
// run thread).
thread_local uintptr_t stackFloor = 0;

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

// Interpreters 3.12 and 3.13 bound the C recursion of every thread by a fixed count sized for
// a main thread's usual stack, whatever the thread's real stack; semantics that call rt.eval
// that calls semantics would meet it long before max_depth. This thread's stack is sized for
// max_depth, so its thread state (made for this thread alone) gets a count to match: one for
// every 2 KiB of stack. Later interpreters measure the stack itself.
void allowDeepCalls(uint64_t stackBytes) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
    PyThreadState* state = PyThreadState_Get();
    uint64_t count = stackBytes / 2048;
    if (count > uint64_t(INT32_MAX / 2)) count = INT32_MAX / 2;
    if (int(count) > state->c_recursion_remaining) state->c_recursion_remaining = int(count);
#else
    (void)stackBytes;
#endif
}

// The stack floor of this thread, a run thread whose stack was made stackBytes long. The
// stack's own bounds when the system gives them, else an estimate from where this function
// runs, with room to spare for what the thread library keeps at the stack's top.
uintptr_t floorOfThisStack(uint64_t stackBytes) {
    pthread_attr_t attributes;
    void* lowest = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        if (pthread_attr_getstack(&attributes, &lowest, &size) != 0) lowest = nullptr;
        pthread_attr_destroy(&attributes);
    }
    if (lowest) return uintptr_t(lowest) + kStackMargin;
    constexpr uint64_t kSlack = 1 << 20;
    uintptr_t here = uintptr_t(__builtin_frame_address(0));
    uint64_t kept = stackBytes > kSlack ? stackBytes - kSlack : 0;
    return here > kept ? here - kept + kStackMargin : 0;
}

void* threadMain(void* block) {
    Record* record = static_cast<Handoff*>(block)->record;
    free(block);
    stackFloor = floorOfThisStack(record->stackBytes);
    void* signalStack = installSignalStack();
    uintptr_t self = pool::threadId();
    uintptr_t expected = record->caller;
    bool borrowed =
        record->caller && self && pool::home_owner.compare_exchange_strong(expected, self);
    PyGILState_STATE gil = PyGILState_Ensure();
    allowDeepCalls(record->stackBytes);
    record->pythonThread.store(PyThread_get_thread_ident());
    current = record;
    record->result = record->work(record->arg);
    current = nullptr;
    if (!record->result) record->failure.take();
    // Under the lock, which the caller holds when it sends interrupts: none is sent from here
    // on to a thread state about to go (or to another thread given the same identity).
    record->pythonThread.store(0);
    PyGILState_Release(gil);
    if (borrowed) pool::home_owner.store(record->caller);
    removeSignalStack(signalStack);
    return nullptr;
}

// Starts the thread, without the interpreter lock (no exception is set): ok, or outOfMemory
// when the thread could not be had (no memory for its stack or its hand-over, or the system
// refused another thread).
Status start(uint32_t maxDepth, Record* record, pthread_t* thread) {
    auto* block = static_cast<Handoff*>(malloc(sizeof(Handoff)));
    if (!block) return Status::outOfMemory;
    block->record = record;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        free(block);
        return Status::outOfMemory;
    }
    bool started = pthread_attr_setstacksize(&attributes, size_t(stackSize(maxDepth))) == 0 &&
                   pthread_attr_setguardsize(&attributes, kGuard) == 0 &&
                   pthread_create(thread, &attributes, threadMain, block) == 0;
    pthread_attr_destroy(&attributes);
    if (started) return Status::ok;
    free(block);
    return Status::outOfMemory;
}

// Replaces the kept interrupt by a new one when there is one: on Python's
// main thread, what a signal handler raises; on a run thread, an interrupt its own caller sent
// it since *seen. Whether there was one. Handlers run on the main thread only (elsewhere the
// check does nothing), and the check does not ask which thread it is on: finding out runs
// Python code, where a handler could raise and its exception would be lost.
bool takeInterrupt(Record* outer, uint32_t* seen, PendingError* interrupt) {
    PendingError taken;
    if (outer && outer->interrupts.load() != *seen && outer->interruptKind) {
        *seen = outer->interrupts.load();
        // The caller sent it to this thread as well, to be raised when the thread next runs
        // Python; it is raised once, as the outcome of this wait, instead.
        PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), nullptr);
        PyErr_SetNone(outer->interruptKind);
        taken.take();
    } else if (PyErr_CheckSignals() < 0) {
        taken.take();
    } else {
        return false;
    }
    if (!taken.exception) return false;  // a failed check always leaves one
    interrupt->drop();
    *interrupt = taken;
    return true;
}

// Waits for the thread until it is joined, with the interpreter lock given up, waking every
// 100 ms to take interrupts; the last one taken is kept in *interrupt for the caller, and its
// class is sent to the run thread as soon as it runs Python. The thread writes into the record
// on the caller's stack to its last step, so nothing but the join ends the wait: a timed wait
// that fails for any other reason than its deadline gives way to a plain join.
void join(pthread_t thread, Record* record, PendingError* interrupt) {
    Record* outer = current;
    uint32_t seen = outer ? outer->interrupts.load() : 0;
    bool unsent = false;
    for (;;) {
        bool done;
        Py_BEGIN_ALLOW_THREADS timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 100 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000;
        }
        int waited = pthread_timedjoin_np(thread, nullptr, &deadline);
        if (waited != 0 && waited != ETIMEDOUT) waited = pthread_join(thread, nullptr);
        done = waited != ETIMEDOUT;
        Py_END_ALLOW_THREADS if (done) return;
        if (takeInterrupt(outer, &seen, interrupt)) {
            record->stop.store(true);
            unsent = true;
        }
        unsigned long id = record->pythonThread.load();
        if (unsent && id) {
            // An asynchronous exception is sent as its class.
            PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(interrupt->exception));
            PyThreadState_SetAsyncExc(id, kind);
            Py_XSETREF(record->interruptKind, Py_NewRef(kind));
            record->interrupts.fetch_add(1);
            unsent = false;
        }
    }
}

}  // namespace

uint64_t stackSize(uint32_t maxDepth) {
    uint64_t added = uint64_t(maxDepth) * kPerLevel;
    return kBaseStack + (added < kMaxAdded ? added : kMaxAdded);
}

PyObject* run(uint32_t maxDepth, Work work, void* arg) {
    Record record = {work, arg,     pool::threadId(),    nullptr, {},
                     {0},  {false}, stackSize(maxDepth), {0},     nullptr};
    pthread_t thread;
    Status started;
    Py_BEGIN_ALLOW_THREADS started = start(maxDepth, &record, &thread);
    Py_END_ALLOW_THREADS if (started != Status::ok) return PyErr_NoMemory();
    PendingError interrupt;
    join(thread, &record, &interrupt);
    Py_XDECREF(record.interruptKind);
    if (interrupt.exception) {
        Py_XDECREF(record.result);
        record.failure.drop();
        interrupt.restore();
        return nullptr;
    }
    if (record.result) return record.result;
    if (record.failure.exception) {
        record.failure.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

bool stopRequested() { return current && current->stop.load(); }

bool stackExhausted() { return stackFloor && uintptr_t(__builtin_frame_address(0)) < stackFloor; }

}  // namespace wuna::runthread
