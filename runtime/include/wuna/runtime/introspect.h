// What the tests read of the process-wide state start-up prepares, through one exported C
// function, so that the module exports nothing else of its insides (every other symbol is
// hidden: see dev/exports.map).
//
// The record's layout is fixed: tests/support/abi.py mirrors it with ctypes and checks its
// offsets against the same numbers as the static_asserts below, so neither side drifts
// silently. A change of layout takes a new version number. The record and every pointer in it stay
// valid for the life of the process, and wn_introspect can be called before the module's start-up
// has run (the test that starves start-up of memory reads the pool through it before importing the
// module); what the pointers lead to is then still zero.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct _object PyObject;

namespace wuna::runtime {

// sys.version_info[1] of the running interpreter, written once by the module's start-up;
// 0 before it (and in a runtime linked without the module).
extern int32_t interpreterMinor;

// The record's layout version.
inline constexpr uint32_t kIntrospectionVersion = 2;

}  // namespace wuna::runtime

#ifndef WN_EXPORT
#define WN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

struct WnIntrospection {
    uint32_t version;                 // runtime::kIntrospectionVersion
    uint32_t reserved;                // 0
    const int32_t* interpreterMinor;  // runtime::interpreterMinor
    const uint8_t* sipRounds;         // set::sip_rounds
    const uint8_t* hashKey;           // set::hashKey, 16 bytes
    const int64_t* noneHash;          // set::noneHash
    const uint8_t* libmReady;         // helpers::libm_ready
    void* const* libmTable;           // helpers::libm_table, helpers::kLibmCount entries
    void* const* emptyTuple;          // &helpers::empty_tuple
    void* const* asciiChars;          // helpers::ascii_chars, helpers::kAsciiChars entries
    void* (*poolCurrent)();           // pool::current
    int64_t (*liveBlocks)();          // pool::liveBlocks
    // Native values for the tests of what Python sees of them (the proxies), until compiled
    // code makes them. Each needs the interpreter lock; each failure is -1 with a Python
    // exception. hold: o converted deeply (a list or dict copied natively; an instance of a
    // record class made a record of its fields), frozen (made immortal, as shared constants
    // are) when asked; the number of its holding slot. show: the held value converted to
    // Python, appended to the list out; 0. drop: the slot's value released (a frozen one
    // thawed first, so that the tests leave no block behind); 0.
    int (*testHold)(PyObject* o, int freeze);
    int (*testShow)(int slot, PyObject* out);
    int (*testDrop)(int slot);
};

// The process's one record. Never null; cannot fail.
WN_EXPORT const WnIntrospection* wn_introspect(void);

}  // extern "C"

// The layout tests/support/abi.py reads.
static_assert(sizeof(WnIntrospection) == 112);
static_assert(offsetof(WnIntrospection, version) == 0);
static_assert(offsetof(WnIntrospection, reserved) == 4);
static_assert(offsetof(WnIntrospection, interpreterMinor) == 8);
static_assert(offsetof(WnIntrospection, sipRounds) == 16);
static_assert(offsetof(WnIntrospection, hashKey) == 24);
static_assert(offsetof(WnIntrospection, noneHash) == 32);
static_assert(offsetof(WnIntrospection, libmReady) == 40);
static_assert(offsetof(WnIntrospection, libmTable) == 48);
static_assert(offsetof(WnIntrospection, emptyTuple) == 56);
static_assert(offsetof(WnIntrospection, asciiChars) == 64);
static_assert(offsetof(WnIntrospection, poolCurrent) == 72);
static_assert(offsetof(WnIntrospection, liveBlocks) == 80);
static_assert(offsetof(WnIntrospection, testHold) == 88);
static_assert(offsetof(WnIntrospection, testShow) == 96);
static_assert(offsetof(WnIntrospection, testDrop) == 104);
