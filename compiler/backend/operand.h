// A run-time value as emitted code holds it: the LLVM values of its tag and payload, the slot
// it was copied from, the slot of its borrow flag, the function node of a function value made
// by rt.function, and the run-time kind known of it. It is the payload of a dyn shape
// (compiler/front/shape.h): the compiler knows the value only at run time.
//
// Ownership: an operand without a borrow-flag slot either owns one reference or refers to a
// value that is never counted (its known kind says so); one with a borrow-flag slot owns a
// reference exactly when the flag reads BorrowFlag::owned at run time. The emission toolkit
// (compiler/codegen/emitter.h) is the only code that moves a flag between its states.
#pragma once
#include <cstdint>

#include "compiler/backend/llvmapi.h"

namespace wuna::compile {

// What is known of a value's run-time tag: for 1 to 10 the tag plus one (tags 0 to 9); node
// is the node tag 11. Values known as none, bool, int, float or node never carry a reference.
enum class KnownKind : uint8_t {
    unknown = 0,
    none = 1,
    bool_ = 2,
    int_ = 3,  // tag 2 or 18
    float_ = 4,
    str = 5,
    list = 6,
    tuple = 7,
    dict = 8,
    record = 9,
    function = 10,
    node = 11,
};

// The i64 in an operand's borrow-flag slot, kept by the emitted code at run time.
enum class BorrowFlag : int64_t { borrowed = 0, owned = 1, givenUp = 2 };

// The function node of every value but a function value made by rt.function.
inline constexpr int32_t kNoFunctionNode = -1;

struct Operand {
    llvmapi::ValueRef tag;
    llvmapi::ValueRef payload;
    llvmapi::ValueRef source;      // the 16-byte slot it was copied from, or null
    llvmapi::ValueRef borrowFlag;  // an i64 slot holding a BorrowFlag, or null
    int32_t functionNode;          // kNoFunctionNode, or the node of an rt.function value
    KnownKind kind;                // 4 bits used
};

// Whether a value of the kind never holds a reference. Cannot fail.
inline bool neverCounted(KnownKind kind) {
    return kind == KnownKind::none || kind == KnownKind::bool_ || kind == KnownKind::int_ ||
           kind == KnownKind::float_ || kind == KnownKind::node;
}

}  // namespace wuna::compile
