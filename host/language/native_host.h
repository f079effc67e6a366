// wuna.NativeHost as Language.native_host makes it: a host function a native library provides
// through a "wuna.native.v1" capsule.
//
// The capsule points at a record (NativeRecord) that the library owns: the ABI version, the
// signature text (argument kinds, ':', result kind), the call function with its user data and
// an optional error-text function. native_host checks the record and the signature and keeps,
// in the object, the capsule (which keeps the record valid), the record, the name and the
// signature taken apart. Compiled code calls the record's call function directly; calling the
// object from Python (the type's call slot) converts the arguments by the signature into
// 16-byte slots, data arguments as the memory of wuna.Bytes views (the argument itself when it
// is one, else a new view over its buffer), held until the call returns.
// native_host refuses a record without a call function. An object made by calling the class
// itself has no capsule, no record and no name: calling it raises a TypeError.
#pragma once
#include "host/support/python.h"

#include <cstdint>

namespace wuna::host {

inline constexpr uint32_t kNativeAbi = 1;
inline constexpr uint32_t kNativeMaxArgs = 8;

// The capsule's record, little-endian, 64-bit pointers.
struct NativeRecord {
    uint32_t abi;
    uint32_t unused;
    const char* signature;
    int32_t (*call)(void* user, void* args, uint32_t count, void* result);
    void* user;
    const char* (*error)(void* user, int32_t code);
};

struct NativeHostObject {
    PyObject_HEAD PyObject* capsule;  // null, with the record and name, when made bare
    NativeRecord* record;             // its call function is never null
    PyObject* name;
    uint32_t argCount;
    char argKinds[kNativeMaxArgs];  // 'i', 'f', '?' or 'b'
    char resultKind;                // 'i', 'f', '?' or 'n'
};

// The type's specification: the fields above, the call, the __name__ attribute and release.
extern PyType_Spec nativeHostSpec;

// A new wuna.NativeHost; takes its own references to capsule and name. Null with an
// exception.
[[nodiscard]] PyObject* newNativeHost(PyObject* capsule, NativeRecord* record, PyObject* name,
                                      uint32_t argCount, const char* argKinds, char resultKind);

}  // namespace wuna::host
