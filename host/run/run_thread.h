// Run threads: where a reference-mode run (a program's top level, a Program.call, a session
// entry) executes, on a fresh thread whose stack is big enough for the language's max_depth.
//
// The caller fills a record with the work (a function and its argument), gives up the
// interpreter lock and joins the thread: no run thread outlives its run, whatever its outcome,
// so none is left when the process exits (a leak checker walking the threads at exit finds
// only the process's own), and its stack goes back to the thread library. The thread installs an alternate signal stack of its
// own, borrows the home block pool from the caller for the length of the run (a
// compare-and-swap of the pool's owner word from the caller's identity to its own, given back
// by a plain store; when the caller did not own the pool nothing changes), takes the
// interpreter lock, runs the work, and carries its result or its pending exception back in the
// record. The caller then returns the result or raises the exception as if the work had run
// on its own thread.
//
// The stack is sized for max_depth, but Python's recursion limit (which the user may raise at
// will) does not follow it, so the interpreter's recursive paths ask stackExhausted() before
// going deeper and stop with the depth-limit error instead of running off the stack's end.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace wuna::runthread {

// 16 MiB plus 64 KiB per level of max_depth, the per-level part capped so the whole is at
// most 8 GiB.
inline constexpr uint64_t kBaseStack = 16ull << 20;
inline constexpr uint64_t kPerLevel = 64ull << 10;
inline constexpr uint64_t kMaxAdded = 0x1FF000000ull;
inline constexpr size_t kGuard = 4096;
inline constexpr size_t kSignalStack = 256 << 10;
// What a run thread keeps free at the low end of its stack: room for a failure to be made
// into a runtime error and handled by the semantics at the deepest point.
inline constexpr uintptr_t kStackMargin = 256 << 10;

uint64_t stackSize(uint32_t maxDepth);

// The work of a run thread: called with the interpreter lock held; a new reference, or null
// with the exception pending.
using Work = PyObject* (*)(void* arg);

// Runs work(arg) on a run thread for a language of max_depth and waits for it. Called with
// the interpreter lock held, which is given up while the thread runs. The work's result, or
// null with its exception (MemoryError when the thread cannot be had).
[[nodiscard]] PyObject* run(uint32_t maxDepth, Work work, void* arg);

// Whether the caller waiting for this run thread has been interrupted (Ctrl-C). The interrupt
// replaces the run's outcome, so work made of many independent steps (a map's items) checks
// this between steps and stops instead of running the rest. False on any other thread.
bool stopRequested();

// Whether the calling thread is a run thread that has used its stack down to kStackMargin
// from the end. False on any other thread (their depth is Python's recursion limit's
// business). Cannot fail.
bool stackExhausted();

}  // namespace wuna::runthread
