// The one entry through which program generation has code emitted: a program function (the
// top level, a function's generic entry, a typed entry) or a helper specialisation compiled
// out of line, into the compiler's current module.
//
// Program generation (driver/generate.cpp) emits the top level, then drains the worklists
// through these two. Each returns ok, outOfMemory, pythonError (an exception pending) or
// unsupported with the compile-error text in the compiler's message buffer and, when a
// semantic was being compiled, that semantic in the compiler's failingSemantic (generation
// then runs it as Python, or raises CompileError in a strict language).
#pragma once
#include <cstdint>

#include "compiler/backend/compile.h"

namespace wuna::compile {

// The emitters behind the two entries below: the code generator's, installed at start-up
// (installEmission). Tests put scripted emitters in their place (and put these back). An
// entry without an emitter refuses: "wuna: no code generator in this build (a wuna bug)".
struct Emission {
    Status (*function)(Compiler* c, uint32_t id);
    Status (*helper)(Compiler* c, HelperSpec* specialisation);
};
extern Emission emission;

// Installs the code generator's emitters (compiler/codegen). Cannot fail.
void installEmission();

// The code of the program function id (kTopLevel, a function node, or a function node with
// kTypedEntryBit: its typed entry).
[[nodiscard]] Status emitFunction(Compiler* c, uint32_t id);

// The code of a helper specialisation taken from the helper worklist.
[[nodiscard]] Status emitHelper(Compiler* c, HelperSpec* specialisation);

}  // namespace wuna::compile
