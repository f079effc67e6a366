// The record behind pargo's LLVM capsule ("pargo.llvm.v1"): 8-byte members through which other
// native code, which does not link LLVM itself, reaches LLVM's C functions by name and pargo's
// code engine, which turns LLVM modules into relocatable objects and links objects into this
// process. pargo fills it (llvm/capsule.cpp); wuna's back end and the tests read it through
// this header. The layout is an ABI read by other programs: a member only ever moves into one
// of the unused words, and the ABI number changes when a member changes its meaning. The
// asserts below are the promise.
//
// Only standard headers: LLVM's module type is named by its opaque struct, the same type as
// LLVM's own LLVMModuleRef, so a reader needs no LLVM header.
#pragma once
#include <cstddef>
#include <cstdint>

struct LLVMOpaqueModule;

namespace pargo::llvmcapsule {

inline constexpr uint32_t abi = 2;
inline constexpr const char* capsuleName = "pargo.llvm.v1";

struct Capsule {
    uint32_t abi;
    uint32_t pad;
    const char* version;  // the LLVM pargo was built with, e.g. "19.1.7"
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
    uint8_t* (*emitObject)(LLVMOpaqueModule* module, uint32_t level, const char* target,
                           const char* cpu, const char* features, uint64_t* size, char* err,
                           uint64_t cap);
    void (*freeBytes)(void* bytes);
    void* unused72;
    void* unused80;
    // A handle for release, or null with text in err.
    void* (*loadObject)(const void* bytes, uint64_t size, char* err, uint64_t cap);
};
static_assert(offsetof(Capsule, abi) == 0 && offsetof(Capsule, pad) == 4);
static_assert(offsetof(Capsule, version) == 8);
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

}  // namespace pargo::llvmcapsule
