// How the nodes of one kind define functions (Language.function): where the parameters, the
// body and the name are, whether the name is hoisted, and what a call with too few or too many
// arguments does. One record per kind of the grammar, all zero (no function kind) until
// declared. The language writes the records; the parse-tree index, the interpreter and the
// compiler read them, and the index keeps a copy of them byte for byte, so the record holds
// plain fields only and no Python.
#pragma once
#include <cstdint>

namespace wuna::host {

inline constexpr uint16_t kNoBodyRule = 0xffff;

// What a call given fewer arguments than parameters does (missing=).
enum class MissingArgs : uint8_t {
    error,  // raises
    none,   // the missing parameters are None
};

// What a call given more arguments than parameters does (extra=).
enum class ExtraArgs : uint8_t {
    error,  // raises
    drop,   // the extra arguments are ignored
    keep,   // the extra arguments are kept for the function (a vararg tail)
};

struct FunctionKind {
    uint16_t bodyRule;    // kind index of the body's rule, or kNoBodyRule when found by label
    uint8_t paramsLabel;  // 0: none
    uint8_t bodyLabel;    // 0: the body is given by a rule
    uint8_t nameLabel;    // 0: anonymous
    bool hoist;           // the name is bound when its scope starts, not when the node runs
    MissingArgs missing;
    ExtraArgs extra;
    bool isFunction;  // false: the kind defines no functions (the other fields are zero)
};

// Copied per kind into every parse-tree index: kept small.
static_assert(sizeof(FunctionKind) <= 12);

}  // namespace wuna::host
