// The LLVM capsule ("pargo.llvm.v1"): a record of 8-byte members through which other native
// code, which does not link LLVM itself, reaches LLVM's C functions by name and pargo's code
// engine (engine.h), which turns LLVM modules into relocatable objects and links objects into
// this process. The record's layout is an ABI read by other programs: a member only ever
// moves into one of the unused words, and the ABI number changes when a member changes its
// meaning. There is one record per process; it never moves and is never freed.
#pragma once
#include <llvm-c/Types.h>

#include <cstddef>
#include <cstdint>

namespace pargo::llvmcapsule {

inline constexpr uint32_t abi = 2;
inline constexpr const char* capsuleName = "pargo.llvm.v1";

struct Capsule {
    uint32_t abi;
    uint32_t pad;
    const char* llvmVersion;  // the LLVM pargo was built with, e.g. "19.1.7"
    // The address of the LLVM C function of that name, or null when the table has none.
    void* (*lookup)(const char* name);
    void* unused24;
    // The address loaded code or defined symbols give the name, or 0.
    uint64_t (*symbolAddress)(const char* name);
    // 0, or -1 with NUL-terminated text in err (cut to cap bytes).
    int (*defineSymbols)(const char* const* names, const uint64_t* addresses, uint64_t count,
                         char* err, uint64_t cap);
    void (*release)(void* handle);
    // Object bytes (free with freeBytes) and their size, or null with text in err. Takes the
    // module and its context in every case.
    uint8_t* (*emitObject)(LLVMModuleRef module, uint32_t level, const char* target,
                           const char* cpu, const char* features, uint64_t* size, char* err,
                           uint64_t cap);
    void (*freeBytes)(void* bytes);
    void* unused72;
    void* unused80;
    // A handle for release, or null with text in err.
    void* (*loadObject)(const void* bytes, uint64_t size, char* err, uint64_t cap);
};
static_assert(offsetof(Capsule, abi) == 0);
static_assert(offsetof(Capsule, llvmVersion) == 8);
static_assert(offsetof(Capsule, lookup) == 16);
static_assert(offsetof(Capsule, unused24) == 24);
static_assert(offsetof(Capsule, symbolAddress) == 32);
static_assert(offsetof(Capsule, defineSymbols) == 40);
static_assert(offsetof(Capsule, release) == 48);
static_assert(offsetof(Capsule, emitObject) == 56);
static_assert(offsetof(Capsule, freeBytes) == 64);
static_assert(offsetof(Capsule, unused72) == 72);
static_assert(offsetof(Capsule, unused80) == 80);
static_assert(offsetof(Capsule, loadObject) == 88);
static_assert(sizeof(Capsule) == 96);

// The process's record; the first call also readies LLVM's native target. Never null.
const Capsule* capsule();

}  // namespace pargo::llvmcapsule
