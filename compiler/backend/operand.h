// A run-time value as emitted code holds it: the LLVM values of its tag and payload, where it
// may be kept, whether this code owns a reference to it, the local it was read from, and the
// run-time kind known of it. It is the payload of a dyn shape (compiler/front/shape.h): the
// compiler knows the value only at run time.
//
// The code generator makes and reads operands; the compile-time layers only carry them.
#pragma once
#include <cstdint>

#include "compiler/backend/llvmapi.h"

namespace wuna::compile {

// Whether the code holding an operand owns a reference to it.
enum class Borrow : uint8_t { borrowed = 0, owned = 1, givenUp = 2 };

inline constexpr uint32_t kNoLocal = 0xFFFFFFFFu;
// The known run-time kind when nothing is known of it.
inline constexpr uint8_t kAnyKind = 0xFF;

struct Operand {
    llvmapi::ValueRef tag;
    llvmapi::ValueRef payload;
    llvmapi::ValueRef source;      // the slot the value sits in, or null
    llvmapi::ValueRef borrowFlag;  // a slot holding a Borrow at run time, or null
    uint32_t local;                // the local it came from, or kNoLocal
    uint8_t kind;                  // a value.Value tag, or kAnyKind
};

}  // namespace wuna::compile
