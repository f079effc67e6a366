// What the statement files share about locals that may not have been assigned on every path.
//
// A local that gets its run-time slot before it has a value (an if assigns it in one branch, a
// loop in its body) holds the unset marker on the paths that skip the assignment. Reading it
// there would hand compiled code a value that isn't one, so such a slot carries the
// maybe-unset bit (LocalRecord::noRelease bit 1) and a read of it is refused while compiling
// ("'<x>' may be read before it is assigned": the semantic runs as Python, which raises what
// Python raises). An assignment clears the bit only where it runs on every path from the
// point that set it: at the body's top level, or in a branch of an if whose lowering merges
// the branches (both branches assigned: cleared after the join). Assignments inside loops and
// other run-time regions leave the bit as it is, and so do those inside a try body: an
// exception raised before the assignment reaches the code after the try through a handler.
//
// Only the compiling thread, under the interpreter lock, touches these.
#pragma once
#include <cstdint>

#include "compiler/codegen/emitter.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

// LocalRecord::noRelease bit 1: the slot may still hold the unset marker.
inline constexpr uint8_t kMaybeUnset = 2;
// LocalRecord::noRelease bit 2: a frame closure's captured variable, a slot of a frame further
// out. Its definer may assign it only after the closure runs, so each read tests it at run
// time (Python's NameError for a free variable without a value).
inline constexpr uint8_t kCapturedVariable = 4;

// The innermost if branch being compiled: its body, its run-time control-flow depth and its
// try depth.
struct BranchScope {
    const Semantic* semantic;
    uint32_t depth;
    uint32_t tryDepth;
};
extern BranchScope currentBranch;

// Whether an assignment compiled now runs on every path of the innermost merging region.
inline bool assignsOnEveryPath(const Semantic* s) {
    if (s->controlDepth == 0 && s->tryDepth == 0) return true;
    return currentBranch.semantic == s && s->controlDepth == currentBranch.depth &&
           s->tryDepth == currentBranch.tryDepth;
}

// A body that runs as a whole or not at all (a loop body compiled at run time, an except
// handler), as one merging region: an assignment at its top level runs on every path through
// it, so the reads after it in the same run of the body see the local set; after the body the
// maybe-unset bits are those from before it (it may not run, and an earlier read in the next
// iteration comes before the assignment). Errors of lowerStatements; outOfMemory.
[[nodiscard]] Status lowerRegion(Emitter* e, Semantic* s, front::StmtList body);

// The internal compile error of a local number the body doesn't have (the front end numbers
// every local of a function, so this is a bug, never a silent slot). Returns unsupported.
[[nodiscard]] Status unknownLocal(Emitter* e, uint32_t index);

// Puts a list or dict on the body's tracked containers once (released when dead after each
// statement). ok or outOfMemory.
[[nodiscard]] Status trackContainer(Semantic* s, const Shape& shape);

}  // namespace wuna::compile
