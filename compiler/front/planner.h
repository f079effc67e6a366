// The call planner: how compiled code is to make one call of a Python helper whose IR the
// front end could read.
//
// Four roads, tried in a fixed order at each call site:
// - inline: the helper's body is compiled into the caller, where the call's known arguments
//   (a node, a kind name) fold its branches;
// - evaluate: a pure helper whose arguments are all plain constants is called now, in Python,
//   and its result stands for the call;
// - guard: a helper that begins with a cheap pure test ending in return or raise has only that
//   test and its branch inlined; the other path calls the helper compiled out of line;
// - out of line: a call of a helper specialisation (compiler/backend/spec.h).
//
// Inlining is bounded three ways: by size (at most 8 expression nodes always; at most 40, or a
// cost estimate of at most 40, otherwise), by sites (a helper of more than 8 nodes is inlined
// at most 16 times per compiled function), and by recursion (a call that can't be told apart
// from one already being inlined further out goes out of line, so recursion on different nodes
// unrolls while compiling and anything else stops).
//
// The planner decides; it does not emit. Its answer is a CallPlan naming the road and what the
// emitter needs to take it: the arguments matched to the parameters, the statements to inline
// (the body, or the guard body), the constant result, or the specialisation key. The emitter
// keeps an InlineState per compiled function or helper specialisation, pushes a record on its
// stack around each body it inlines, and hands the state to every call it plans.
//
// Memos on the compiler (compile.h): whether a reading surely raises, and its guard body (made
// once, in the compiler's arena, pointing at the reading's own nodes, which stay unchanged).
//
// Failures are Status codes: outOfMemory; unsupported with the text in the compiler's message
// buffer (the arity errors); pythonError with the exception pending. Needs the interpreter lock
// throughout: the analyzer and a helper evaluated while compiling run Python.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/backend/compile.h"
#include "compiler/backend/containers.h"
#include "compiler/backend/spec.h"
#include "compiler/front/ir.h"
#include "compiler/front/shape.h"
#include "wuna/runtime/status.h"

namespace wuna::compile {

// A helper of at most this many expression nodes is inlined wherever the recursion and raise
// tests let it.
inline constexpr uint32_t kSmallHelper = 8;
// A helper of at most this many nodes, or whose cost estimate is at most this, is inlined.
inline constexpr uint64_t kInlineSize = 40;
// A helper of more than kSmallHelper nodes is inlined at this many call sites per compiled
// function; from the next one on it goes out of line.
inline constexpr uint32_t kInlineSites = 16;
// From this many open inlined calls on, any recursive call goes out of line.
inline constexpr size_t kInlineStackLimit = 64;

// The road of a call.
enum class CallRoad : uint8_t {
    inlined = 0,    // compile body into the caller
    evaluated = 1,  // the call is the constant result
    guarded = 2,    // inline body (the guard), whose other path calls key out of line
    outOfLine = 3,  // call the specialisation key
};

// The step of the plan that chose the road.
enum class PlanStep : uint8_t {
    recursion = 0,     // the call repeats one being inlined further out
    deepRecursion = 1, // a recursive call on a deep inline stack, or with no arguments
    raises = 2,        // an ahead-of-time build, and the helper surely raises
    small = 3,         // at most kSmallHelper nodes
    sites = 4,         // kInlineSites call sites inlined already
    size = 5,          // at most kInlineSize nodes
    cost = 6,          // a cost estimate of at most kInlineSize
    evaluation = 7,    // a pure helper called with constants
    guard = 8,         // the guard's estimate is at most kInlineSize
    guardCost = 9,     // the guard's estimate is above it
    noGuard = 10,      // nothing else applies
};

// One call being inlined: the callee and the shapes bound to its parameters (the emitter's).
struct InlineRecord {
    const front::FunctionIR* function;
    const Shape* arguments;
    uint64_t count;
};

// The planner's part of an emission context, one per program function or helper
// specialisation compiled: the calls being inlined, innermost last, and the number of calls
// of each helper (by the address of its reading) planned past the small-size test.
struct InlineState {
    backend::List<InlineRecord> stack;
    backend::U64Map<uint32_t> counts;
};

// Enters a call being inlined. ok or outOfMemory (nothing entered).
[[nodiscard]] Status pushInline(InlineState* state, const InlineRecord& record);
// Leaves the innermost one. Cannot fail.
void popInline(InlineState* state);
// Frees the stack and the counts. Cannot fail.
void freeInlineState(InlineState* state);

// How to make one call.
struct CallPlan {
    CallRoad road;
    PlanStep step;
    uint32_t control;           // the calling context's word, passed on to the emitter as given
    const Shape* arguments;     // matched to the parameters, defaults filled in: the caller's
                                // array when it fitted as given, else one in the arena
    uint64_t count;             // their number
    front::StmtList body;       // inlined: the callee's body; guarded: the one-statement guard
    Shape result;               // evaluated: the constant the call stands for
    HelperSpec key;             // guarded and out of line: callee and argument shapes (arena)
    uint64_t cost;              // the last cost estimate taken; 0 when none was
};

// Plans a call of callee with the argument shapes, in the emission context state. ok with *out
// filled, or the first failing step's error: arity (unsupported with its message), the
// estimate, the analyzer (pythonError), conversions, the guard.
[[nodiscard]] Status callPythonFunction(Compiler* c, InlineState* state,
                                        const front::FunctionIR* callee, uint32_t control,
                                        const Shape* arguments, uint64_t count, CallPlan* out);

// Binds argument shapes to the callee's parameters: the given array when the count is the
// parameter count and there is no *args; else a new array (arena) of one shape per parameter,
// left-out parameters taking the shapes of their defaults (read from __defaults__ now, pinned
// in the object list) and *args a tuple of the extra shapes. ok with *shapes and *n; or
// unsupported with "<file>:<line>:0: in <f>(): " and "<f>() called with <n> arguments, takes
// <R> to <P>", "<f>() missing an argument" or "<f>()'s defaults changed"; outOfMemory;
// pythonError (__defaults__ unreadable, a default without a shape).
[[nodiscard]] Status checkArity(Compiler* c, const front::FunctionIR* callee,
                                const Shape* given, uint64_t count, const Shape** shapes,
                                uint64_t* n);

// The shape of the default of parameter index of callee, read from __defaults__ now (it may
// have been replaced since the function was read) and pinned in the object list. ok with
// *out; unsupported with nothing written and *why the text that follows the callee's name in
// the error, for the caller to word at its own site: "() missing an argument" (a nested
// reading, which has no defaults of its own, or a parameter without one) or "()'s defaults
// changed" (not a tuple, or more defaults than parameters); outOfMemory; pythonError
// (__defaults__ unreadable, a default without a shape).
[[nodiscard]] Status readDefault(Compiler* c, const front::FunctionIR* callee, uint64_t index,
                                 Shape* out, const char** why);

}  // namespace wuna::compile

namespace wuna::front {

// Whether running f surely raises an ordinary exception (never returns): memoised on the
// compiler. A function still being judged counts as not raising, so a cycle of functions
// ends. ok with *out, outOfMemory, or pythonError.
[[nodiscard]] Status alwaysRaises(compile::Compiler* c, const FunctionIR* f, bool* out);

// Whether one of the statements (of f) surely raises: a raise that is no jump, a call of a
// module function that always raises, an if both of whose branches surely raise, a block that
// does. ok with *out, outOfMemory, or pythonError.
[[nodiscard]] Status statementsRaise(compile::Compiler* c, const FunctionIR* f,
                                     StmtList statements, bool* out);

// The reading of the module function f's global name is bound to: ok with *out, or null when
// the name is unbound, not exactly a Python function, or a function the front end refuses (the
// refusal text is dropped). pythonError (__globals__ unreadable, the lookup raised), or
// outOfMemory.
[[nodiscard]] Status frontOfGlobal(compile::Compiler* c, const FunctionIR* f, Text name,
                                   FunctionIR** out);

// Whether the expression gives the same value evaluated inline and again in an out-of-line
// call of its function: constants, names, attributes, subscripts, operators, displays, and
// calls of pure module functions or of isinstance, type, len and callable. ok with *out, or
// pythonError (the analyzer or the stable types failed).
[[nodiscard]] Status isPureTest(const Expr* e, PyObject* globals, bool* out);

// The guard body of f (memoised): an if with f's first test and branch, whose else returns a
// call of f compiled out of line; null when f has none. ok with *out, outOfMemory (nothing
// kept), or pythonError.
[[nodiscard]] Status guardOf(compile::Compiler* c, const FunctionIR* f, const Stmt** out);

}  // namespace wuna::front
