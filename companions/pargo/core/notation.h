// Reading grammar text into a compiled grammar (see README.md for the notation).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/grammar.h"

namespace pargo::notation {

struct Error {
    uint32_t line = 0, column = 0;  // 1-based, in the grammar text
    std::string what;
};

// The compiled grammar (free it with grammar::release), or null with *err filled.
grammar::Grammar* compile(const char* text, size_t len, Error* err);

}  // namespace pargo::notation
