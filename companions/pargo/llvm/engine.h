// pargo's code engine: LLVM modules become relocatable ELF objects for this machine, and
// objects are linked into this process by one ORC JIT (LLJIT, JITLink underneath).
//
// Emission touches no shared state: it uses a TargetMachine of the calling thread's own and
// works on a module whose LLVM context is its own, so any number of threads emit at once.
// Everything that touches the JIT (defining names, loading, looking up, releasing) takes one mutex.
// Loaded code resolves its undefined names, in this order, against the names given to
// defineSymbols and the code loaded before it, then the process's global symbols (libc, libm).
// The engine keeps its own tables of what it defined and what each loaded object defines, so
// a symbol lookup never asks the process and never makes the JIT define anything.
//
// Code is emitted position-independent (reaching absolute names through the GOT), for the
// host CPU with its features, so that an object loads at any address in any later process on
// the same machine. Level 0 still runs the always-inliner: small "alwaysinline" functions are
// inlined at every level.
//
// Every error text is written NUL-terminated into the caller's buffer, cut to its capacity
// on a UTF-8 boundary; a null buffer or capacity 0 gets nothing.
#pragma once
#include <llvm-c/Types.h>

#include <cstdint>

namespace pargo::codeengine {

// Readies LLVM's native target and notes the host CPU; runs once however often called.
void initialize();

// Object bytes (malloc'd, given back with freeBytes) and their size in *size, or null with
// text in err. The module and its context are disposed in every case. Level 0, 1 or 2;
// target is a triple, or null for this machine; cpu and features, when null, are the host's
// for this machine and the generic CPU for a named target.
uint8_t* emitObject(LLVMModuleRef module, uint32_t level, const char* target, const char* cpu,
                    const char* features, uint64_t* size, char* err, uint64_t cap);
void freeBytes(void* bytes);

// Makes later loaded code resolve names[i] to addresses[i]: 0, or -1 with text in err (then
// nothing of the batch is defined). A name already defined at the same address is accepted;
// at another address it is refused, naming it.
int defineSymbols(const char* const* names, const uint64_t* addresses, uint64_t count, char* err,
                  uint64_t cap);

// Copies the bytes and links them at once: a handle for release, or null with text in err
// (an undefined name is reported here, by name, and nothing of the object stays loaded).
void* loadObject(const void* bytes, uint64_t size, char* err, uint64_t cap);

// Unloads the code behind a handle of loadObject; its names are gone afterwards. Null: nothing.
void release(void* handle);

// The address a loaded object or defineSymbols gives the name, or 0.
uint64_t symbolAddress(const char* name);

}  // namespace pargo::codeengine

namespace pargo::llvmfunctions {

// The address of the LLVM C function of that name, or null when the table has none.
void* lookup(const char* name);

}  // namespace pargo::llvmfunctions
