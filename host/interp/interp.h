// The reference interpreter's core: making the Runtime of a run, running a program's top
// level, and the two operations every semantic rests on, exec (run a statement node) and eval
// (compute an expression node's value).
//
// Dispatch looks a node's kind up in the Language's per-kind tables (rebuilt from the eval and
// exec dicts after any registration) and calls the semantic as fn(node, rt). Kinds without a
// semantic fall back: a function definition binds its name, an exec runs the children, an
// eval of a name loads its variable and an eval of a single child is that child's value. A
// captured block scope (a block a nested function refers into) gets a frame of its own around
// its dispatch. A value an eval produces is checked against the type Language.types declares
// for the node. Everything here runs on the run's thread under the interpreter lock; failure
// is a pending Python exception with a -1 or null result.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/interp/rt.h"

namespace wuna::host {

// A new Runtime object for the Program object `program` (a loaded wuna.Program): no frame, no
// context, current node -1, depth 0; Python's recursion limit is saved and raised to
// min(max_depth * 40, 2147482647) + 1000 when lower. Whoever made it ends it with endRt.
// New reference, or null with the exception.
[[nodiscard]] PyObject* newRt(PyObject* program);

// Ends a run newRt began: the last of the active runs to end sets the recursion limit back to
// what it was before the first began; then drops the reference. An exception pending when it
// is called is pending again when it returns. Never fails; null is ignored.
void endRt(PyObject* object);

// Makes the program frame ("<program>", scope -1, no parent), makes it rt's frame and the
// program State's global frame (dropping an earlier one). 0, or -1 with the exception.
[[nodiscard]] int installProgramFrame(RunRecord* rt);

// Runs the program's top level: a Runtime, the program frame, the hoisted definitions, then
// the root node as a statement. New reference to None, or null with the exception (an escaped
// Throw replaced by its runtime error). The recursion limit is restored on every path.
[[nodiscard]] PyObject* runTopLevel(PyObject* program);

// Brings the language's kind tables up to date (language/language.h's buildKindTables); a Language
// that lost its grammar has none, and every kind then falls back as having no semantics.
inline void ensureKindTables(LanguageObject* language) {
    if (!language->kindTablesBuilt && language->grammar) buildKindTables(language);
}

// The run thread's stack is sized for max_depth, Python's recursion limit is not: the user
// may raise it past what the stack holds, and semantics that call rt.eval that calls
// semantics recurse in C as well as in Python. Every recursive path of the interpreter (exec
// and eval of a node, a call) asks first: 0 when there is room, or -1 with the depth-limit
// runtime error at the current node ("call stack too deep (more than <max_depth> calls)").
[[nodiscard]] int checkStackRoom(RunRecord* rt);

// Exec: 0, or -1 with the exception. execValue and evalValue walk lists (exec: and tuples)
// item by item; lists nested more than 10000 deep (or containing themselves) fail with a
// RecursionError.
[[nodiscard]] int execValue(RunRecord* rt, PyObject* x);
[[nodiscard]] int execNode(RunRecord* rt, uint32_t n);
[[nodiscard]] int execKind(RunRecord* rt, uint32_t n);

// Eval: a new reference, or null with the exception.
[[nodiscard]] PyObject* evalValue(RunRecord* rt, PyObject* x);
[[nodiscard]] PyObject* evalNode(RunRecord* rt, uint32_t n);
[[nodiscard]] PyObject* evalKind(RunRecord* rt, uint32_t n);

// Takes v's reference: returns it when it is what the node's declared type allows, else
// releases it and fails with the runtime error.
[[nodiscard]] PyObject* checkDeclaredType(RunRecord* rt, uint32_t n, PyObject* v);

// The node index of x when it is a wuna.Node (exactly) of rt's program, else -1.
[[nodiscard]] int64_t nodeOfProgram(RunRecord* rt, PyObject* x);

// A new wuna.Node of rt's program. Null with the exception.
[[nodiscard]] PyObject* programNode(RunRecord* rt, uint32_t n);

// The values of node n's direct children (node/node.h's childValues): a new list, or null
// with the failure made a runtime error at n.
[[nodiscard]] PyObject* childrenAt(RunRecord* rt, uint32_t n);

// The source text of node n of the index (borrowed from it), its range clamped to the source.
// Never fails.
[[nodiscard]] ptree::Text nodeSource(const ptree::Index* index, uint32_t n);

// The name of kind k of the run's grammar; "<error>" for -1 (no kind) or a kind the grammar
// does not have. Borrowed from the grammar or static. Never fails.
[[nodiscard]] ptree::Text kindNameOf(const RunRecord* rt, int64_t k);

// Raises the runtime error (code "runtime") at node n with a printf-formatted message. A
// message longer than the message buffer (wuna/runtime/pyhelp.h) keeps its first
// kFormattedKept bytes, cut on a character boundary, and ends with "...".
inline constexpr size_t kFormattedKept = 1015;
void raiseAt(RunRecord* rt, int64_t n, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// An exactly-int x made an I64 when it fits in 64 bits (IntegerOverflow "integer overflow"
// when not); any other object is returned as it is. Takes x's reference; null on failure.
[[nodiscard]] PyObject* toI64(PyObject* x);

}  // namespace wuna::host
