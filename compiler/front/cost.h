// The inline cost estimate: how many expression nodes compiling a helper's body would really
// compile once what the call knows has folded away the branches it decides.
//
// The call planner inlines a helper of more than 40 expression nodes only when this estimate,
// with the call's arguments, is at most 40: a chain of tests on a node's kind, called with a
// known node, costs only the branch that kind takes. The estimate is a small abstract
// interpreter over the IR: each local holds a node, a Python object, or nothing known; a test
// whose truth comes out known walks one branch only; statements after a return or raise on
// every path are not counted. It evaluates only what cannot run user code in the program
// (constants, globals, a node's kind and text, not, and, or, one equality, identity or
// membership test), so estimating never changes anything; a Python error on the way only makes
// a value unknown.
//
// Objects the estimate makes (ints and strs of constants, kind names, texts) and the values of
// globals it reads are held by its context, one reference each, and released when it ends.
// Needs the interpreter lock.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compiler/backend/containers.h"
#include "compiler/front/ir.h"
#include "wuna/runtime/status.h"

namespace wuna::compile {
struct Compiler;
struct Shape;
}

namespace wuna::ptree {
struct Index;
}

namespace wuna::front {

enum class EvalKind : uint8_t { unknown = 0, node = 1, object = 2 };

// What the estimate knows of one value: a node index or a Python object (borrowed from the
// context's held objects, or from the caller for arguments).
struct EvalValue {
    uint64_t payload;
    EvalKind kind;
};

inline EvalValue unknownValue() { return EvalValue{0, EvalKind::unknown}; }
inline EvalValue nodeValue(uint32_t node) { return EvalValue{node, EvalKind::node}; }
inline EvalValue objectValue(PyObject* o) {
    return EvalValue{uint64_t(reinterpret_cast<uintptr_t>(o)), EvalKind::object};
}
inline PyObject* objectOf(EvalValue v) { return reinterpret_cast<PyObject*>(uintptr_t(v.payload)); }

struct EvalContext {
    const ptree::Index* tree;  // for a node's kind and text; may be null
    PyObject* globals;         // the callee's namespace, one reference
    EvalValue* locals;         // one per local of the callee
    uint64_t localCount;
    backend::List<PyObject*> made;  // one reference each, released at the end
    uint64_t cost;
};

// The estimate of walking statements (the callee's body, or a one-statement guard) with the
// arguments given to the callee's first parameters (objects borrowed from the caller, who
// keeps them alive for the call). ok with *out, outOfMemory, or pythonError (the callee's
// __globals__ could not be read).
[[nodiscard]] Status inlineCost(const compile::Compiler* c, const FunctionIR* callee,
                                StmtList statements, const EvalValue* arguments, size_t count,
                                uint64_t* out);

// inlineCost with a call's argument shapes: a parameter holds None, True or False, a new int
// (int and pint) or str (errors replaced), a node, or a py shape's object (borrowed); any other
// shape, and a constant CPython fails to make (the error cleared), leaves it unknown. ok with
// *out, outOfMemory, or pythonError (as inlineCost).
[[nodiscard]] Status inlineCostOf(const compile::Compiler* c, const FunctionIR* callee,
                                  StmtList statements, const compile::Shape* arguments,
                                  size_t count, uint64_t* out);

// Walks the list, adding to the context's cost: ok with *ends whether a return or raise ends
// it on every path, or outOfMemory.
[[nodiscard]] Status walkCost(EvalContext* cx, StmtList statements, bool* ends);

// The number of expression nodes of the expression, in the positions that compile. Cannot
// fail.
uint64_t exprCost(const Expr* e);

// The cost of a statement compiled whole (both branches, whole loop bodies). Cannot fail.
uint64_t stmtCost(const Stmt& s);

// What the estimate knows of an expression's value now. Cannot fail: a Python error on the way
// is cleared and gives unknown.
EvalValue evalExpr(EvalContext* cx, const Expr* e);

// Makes every local the target binds unknown. Cannot fail.
void forgetTarget(EvalContext* cx, const Target& t);

// A known value holding a new object, which the context keeps; a null object (a failed
// CPython call) clears the Python error and gives unknown. Cannot fail: when the context cannot
// keep the object it is released and the value is unknown.
EvalValue keepEvalObject(EvalContext* cx, PyObject* o);

}  // namespace wuna::front
