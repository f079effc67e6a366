// What the loop, try and comprehension lowering share among its files: the slots of the
// locals a run-time loop or try changes (found by the statement lowering's analyses), the
// loop stack and an unrolled iteration, the truth of a condition, the marks of loop targets,
// and the sources of for loops.
//
// A local that changes inside run-time control flow must live in a run-time slot before the
// flow begins, so that every path reads the same place.
//
// Failure contract: as lower.h (ok; outOfMemory; unsupported with the message written;
// pythonError with an exception pending).
#pragma once
#include "compiler/codegen/lower.h"
#include "compiler/codegen/statements_flow.h"

namespace wuna::compile {

using LocalSet = backend::U32Set;

// Gives each local of the set its run-time slot.
[[nodiscard]] Status materializeSet(Emitter* e, Semantic* s, const LocalSet& set);
// Whether a handler body uses its variable other than for its args. ok with *used.
[[nodiscard]] Status exceptVarUsed(front::StmtList body, uint32_t local, bool* used);

// An i64 slot in the entry block.
llvmapi::ValueRef wordSlot(Emitter* e);

// A loop's target is assigned at the top of every turn, so inside the body its slot holds a
// value although it carries the statement lowering's maybe-unset mark (kMaybeUnset); after the
// loop (which may not have turned at all) the mark it had before comes back.
struct TargetMarks {
    backend::List<uint32_t> locals;  // the targets whose mark was cleared
};
// Clears the mark of the target's locals, noting which had it. ok or outOfMemory.
[[nodiscard]] Status clearTargetMarks(Semantic* s, const front::Target& target, TargetMarks* marks);
// Sets the noted marks again and frees the record. Cannot fail.
void restoreTargetMarks(Semantic* s, TargetMarks* marks);

// Pushes a loop entry (arena) on the semantic's loop stack; pop takes the innermost off.
[[nodiscard]] Status pushLoop(Emitter* e, Semantic* s, const LoopEntry& entry);
void popLoop(Semantic* s);

// The failure just recorded, when it is the exception object of one of jumps (JumpClass bits),
// taken off and issued as that jump: a Return with the value it carries, a Break or Continue
// as itself, a TailCall as the call rt.tail_call left in the run context (the bridge's tail
// status); any other failure goes to the error exit. The builder is left in a block of its
// own that nothing reaches. Errors of the emitters called.
[[nodiscard]] Status pendingJumpOrExit(Emitter* e, Semantic* s, uint8_t jumps);
// The bits of pendingJumpOrExit for rt.Return, rt.Break and rt.Continue.
inline constexpr uint8_t kPlainJumps = (1u << uint32_t(JumpClass::return_)) |
                                       (1u << uint32_t(JumpClass::break_)) |
                                       (1u << uint32_t(JumpClass::continue_));

// One iteration of an unrolled loop: the body compiled with a loop entry whose unroll key is
// the loop's expression (break to end, continue to a new block "next", which the builder is
// left in). *stop: the body ended the semantic or broke out of the loop.
[[nodiscard]] Status unrolledIteration(Emitter* e, Semantic* s, front::StmtList body,
                                       llvmapi::BasicBlockRef end, const void* key, bool* stop);

// The truth of an expression (emitTruthy with the semantic's site, which consumes the value).
[[nodiscard]] Status exprTruth(Emitter* e, Semantic* s, const front::Expr* expr, Truth* out);

// --- for loops and their sources (forloops.cpp) ---------------------------------------------

// How a run-time loop walks: by index over one run-time list or tuple, or counting a range.
enum class LoopKind : uint8_t { list = 0, range = 3 };

// The run-time source of a loop: the value slot of the walked list (listed with the semantic,
// released at the loop's end) and the i64 slots of the index, or of a range's current value,
// stop and step.
struct LoopSource {
    llvmapi::ValueRef list;
    llvmapi::ValueRef index;
    llvmapi::ValueRef stop;
    llvmapi::ValueRef step;
    LoopKind kind;
};

// What a for loop iterates: the items known while compiling (unrolled), with the iterable's
// own shape, or a run-time source.
struct ForItems {
    Shape iterable;  // items known: the list or tuple shape (none for items made here)
    const Shape* items;
    uint64_t count;
    LoopSource source;
    uint8_t runTime;
};

// The iteration of a for loop's or a comprehension clause's iterable expression.
[[nodiscard]] Status emitForBuiltin(Emitter* e, Semantic* s, const front::Expr* iterable,
                                    ForItems* out);
// The iteration of a compiled value (consumed).
[[nodiscard]] Status toLoopSource(Emitter* e, Semantic* s, const Shape& value, ForItems* out);
// Turns items known while compiling into a run-time source (the iterable's list or tuple
// made at run time).
[[nodiscard]] Status itemsAtRunTime(Emitter* e, Semantic* s, ForItems* items);
// The loop steps: the index set to its start, the i1 test, the target assigned this turn's
// item, the index advanced; and the release of the source's list at the loop's end.
void loopInit(Emitter* e, LoopSource* source);
[[nodiscard]] Status loopTest(Emitter* e, const LoopSource& source, llvmapi::ValueRef* out);
[[nodiscard]] Status loopItem(Emitter* e, Semantic* s, const LoopSource& source,
                              const front::Target& target, front::Position at);
[[nodiscard]] Status loopStep(Emitter* e, const LoopSource& source);
[[nodiscard]] Status loopRelease(Emitter* e, const LoopSource& source);
// The iterable's shape after its items were unrolled: a tuple released, a list made while
// compiling that no local holds dropped.
[[nodiscard]] Status releaseIterated(Emitter* e, Semantic* s, const Shape& iterable);

}  // namespace wuna::compile
