// A program's compiled code: its keys, the run modes' choice, and making sure a program has a
// current module state with loaded code.
//
// ensureCompiled finds a state in the module cache (backend/modcache.h) under the program's
// module key, or makes one. With tiers on (wuna.configure) a run that need not wait gets
// fast code (level 0) while the program's optimized build (backend/tiers.h) is emitted in the
// background, and links the build at the first run after it is done; a caller that waits
// (Program.call, map, save) or tiers off gets optimized code at once. 'auto' runs as Python
// until optimized code is at hand, never waiting for it.
//
// Everything here runs with the interpreter lock held.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/run/program.h"

namespace wuna::compile {
struct EscapedSites;
}

namespace wuna::driver {

struct CompileInputs;

// Fills the inputs from the program and its language (the per-kind tables brought up to date
// first). 0, or -1 with the exception (a cleared Language, a path that is no str).
[[nodiscard]] int compileInputs(CompileInputs* out, const host::ProgramRecord* program);

// Frees a language's set of containers made at run time (null is ignored). Cannot fail.
void freeRunTimeContainers(compile::EscapedSites* set);

// The definition hash of the program's language (backend/keys.h). 0, or -1 with the
// exception.
[[nodiscard]] int languageHash(host::LanguageObject* language, uint8_t out[32]);

// The program key: the language's definition hash and the source. 0, or -1.
[[nodiscard]] int programKeyOf(const host::ProgramRecord* program, uint8_t out[32]);

// The module key; false for a session entry or a path that is no str (no exception).
bool moduleKeyOf(const host::ProgramRecord* program, const uint8_t programKey[32],
                 uint8_t out[32]);

// Whether mode 'auto' runs compiled code now: when optimized code is at hand (the program's,
// the module cache's, or a finished build, which is linked), or a global frame holds the
// program to its module; otherwise the optimized build is started and the program runs as
// Python meanwhile. A program whose build raised CompileError, or whose code runs semantics
// as Python, stays with Python from then on, without raising. 0 with *compiled set, or -1
// with the exception of any other failure.
[[nodiscard]] int chooseAutoMode(host::ProgramRecord* program, bool* compiled);

// Makes sure the program has a current module state whose code is loaded. 0, or -1 with the
// exception (the program key's, generation's CompileError, loading's RuntimeError,
// MemoryError).
[[nodiscard]] int ensureCompiled(host::ProgramRecord* program, bool wait);

// Hands back every module state the program holds (current and earlier), each losing a user,
// and gives up its pending optimized build (kept for a later program of its module key).
// Never fails.
void releaseModules(host::ProgramRecord* program);

}  // namespace wuna::driver
