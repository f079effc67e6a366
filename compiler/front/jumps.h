// The makes-jumps analysis: can running a function read by the front end make a jump of the
// interpreted language (rt.Return, rt.Break, rt.Continue, rt.tail_call, or rt.exec, rt.eval and
// rt.loop, whose semantics may make any of them)?
//
// Compiled code carries such jumps as status codes, which costs a test after every call that
// might produce one; a function answered false is compiled without that plumbing, and a jump
// that leaves it anyway fails at run time with kJumpOutOfJumpless. So the answer must be
// conservative: true whenever the IR leaves a way for a jump to come out. Besides what the IR
// shows (a jump name called on any object, a bare raise, raising a stored exception), that
// covers what it does not: raising an instance of one of the wuna module's jump classes under
// any name, and calling what is not known while compiling - a parameter or other local, a
// subscript, a call's result, a global not bound yet, a callable object, a function the front
// end cannot read (it runs as Python and may be handed rt).
//
// The walk follows calls: a global bound to a Python function (or a module attribute, or a
// bound method) is answered by analysing that function, a nested function called by name or
// a lambda called in place by analysing it, and a method call by analysing every method of
// that name on the classes of the module. Answers are memoised on the compiler. A cycle of
// calls is settled at its first function: a function still being analysed answers false to
// the functions inside it, which therefore keep their false answers provisional (not stored)
// until the cycle's first function is done; true answers are always final. The low mark is
// how a walk learns that it met such an open function.
//
// Every operation returns ok with its answer in *out, outOfMemory, or pythonError with the
// exception pending. All of it runs under the interpreter lock on the compiling thread.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compiler/front/ir.h"
#include "wuna/runtime/status.h"

namespace wuna::compile {
struct Compiler;
}

namespace wuna::front {

// The run-time failure of a jump out of a helper compiled as one that makes none.
inline constexpr char kJumpOutOfJumpless[] =
    "wuna: a jump (rt.Return, rt.Break, rt.Continue, rt.tail_call) out of a helper compiled "
    "as one that makes none";

// Whether running f can make a jump.
[[nodiscard]] Status makesJumps(compile::Compiler* c, const FunctionIR* f, bool* out);

// The same for a statement list, an expression, the expressions inside assignment targets,
// the formatted values of an f-string and the iterables and conditions of generators, all of
// f's IR.
[[nodiscard]] Status walkJumps(compile::Compiler* c, const FunctionIR* f, StmtList statements,
                               bool* out);
[[nodiscard]] Status exprJumps(compile::Compiler* c, const FunctionIR* f, const Expr* e,
                               bool* out);
[[nodiscard]] Status targetsJumps(compile::Compiler* c, const FunctionIR* f, TargetList targets,
                                  bool* out);
[[nodiscard]] Status fstringJumps(compile::Compiler* c, const FunctionIR* f,
                                  FStringPartList parts, bool* out);
[[nodiscard]] Status generatorsJumps(compile::Compiler* c, const FunctionIR* f,
                                     GeneratorList generators, bool* out);

// Whether raising the exception expression (of a raise or raise-from of f) counts as a jump.
[[nodiscard]] Status raiseJumps(compile::Compiler* c, const FunctionIR* f, const Expr* e,
                                bool* out);

// Whether some class of f's module has a plain-function method of that name that makes jumps.
[[nodiscard]] Status methodJumps(compile::Compiler* c, const FunctionIR* f, Text name,
                                 bool* out);

// Whether name is one of the jump names (exec, eval, loop, Break, Return, Continue,
// tail_call), byte for byte. Cannot fail.
bool isJumpName(Text name);

// Whether objects of the type are classes (Py_TPFLAGS_TYPE_SUBCLASS). Cannot fail.
bool isClass(PyTypeObject* type);

// Whether o is one of the wuna module's jump classes (Return, Break, Continue, TailCall) or a
// subclass of one. 1, 0, or -1 with the Python error. False when wuna is not imported.
int isJumpClass(PyObject* o);

// Whether a return statement stands in the list or in any list inside it (not in nested
// functions). Cannot fail.
bool containsReturn(StmtList statements);

}  // namespace wuna::front
