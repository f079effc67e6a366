// The lowering of semantics: how the code generator turns the front end's reading of a
// semantic (compiler/front/ir.h) and the rt operations it performs into LLVM code, on top of
// the emission toolkit (emitter.h).
//
// The road of one program: emitProgramFunction emits the top level or a program function;
// its body runs the function node's body the way rt.exec would (emitRtExec), which runs each
// node known while compiling through its semantic (emitExecKnown -> semantic lookup ->
// inlineHelper, or the semantic run as Python through the bridge). inlineHelper compiles a
// semantic statement by statement (lowerStatements), expressions go through emitExpr, calls
// through lowerCallExpr, rt.<m>(...) through emitRtCall. Everything known while compiling is
// folded; the rest becomes run-time blocks with helper calls.
//
// The lowering is split by what it lowers, one group of files each (the file named beside
// each section below). A construct a group does not compile yet is refused with
// refuseConstruct: the semantic then runs as Python with that reason (or, in a strict
// language, the program fails to compile with it).
//
// Failure contract (every function below unless it says otherwise): ok; outOfMemory;
// unsupported with the compile-error text in the compiler's message buffer (a construct that
// can't be compiled, or a need recorded for the next attempt); pythonError with a Python
// exception pending. An error is returned at once; what was emitted before it stays (the
// caller abandons the module). Everything runs under the interpreter lock, on the compiling
// thread. Shapes given to a function are consumed by it unless it says otherwise.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/codegen/emitter.h"
#include "compiler/front/ir.h"

namespace wuna::compile {

// --- refusals (pending.cpp) ------------------------------------------------------------------

// Writes "<location prefix><what> isn't compiled yet" (the innermost open semantic and the
// emitter's position give the prefix) and returns unsupported (outOfMemory when the text
// can't be written).
[[nodiscard]] Status refuseConstruct(Emitter* e, const char* what);

// --- rt methods and jump classes (rtcall.cpp) ------------------------------------------------

// The id of an rt method (6 bits); the order is the id.
enum class RtMethod : uint8_t {
    eval = 0,
    exec = 1,
    loop = 2,
    load = 3,
    store = 4,
    function = 5,
    call = 6,
    tailCall = 7,
    error = 8,
    kind = 9,
    text = 10,
    span = 11,
    scope = 12,
    symbol = 13,
    typeOf = 14,
    nodeAt = 15,
    fresh = 16,
    parse = 17,
    wrappingAdd = 18,
    wrappingSub = 19,
    wrappingMul = 20,
    wrappingShl = 21,
    wrappingShr = 22,
    wrappingUshr = 23,
    u8 = 24,
    i8 = 25,
    u16le = 26,
    u16be = 27,
    i16le = 28,
    i16be = 29,
    u32le = 30,
    u32be = 31,
    i32le = 32,
    i32be = 33,
    u64le = 34,
    u64be = 35,
    i64le = 36,
    i64be = 37,
    return_ = 38,
    break_ = 39,
    continue_ = 40,
};
inline constexpr uint8_t kRtMethodCount = 41;

// The rt name of an id ("eval", ..., "Return"); "?" out of range. Cannot fail.
const char* rtMethodName(uint8_t id);
// The id of an rt attribute name; false when compiled code doesn't know the name.
bool rtMethodByName(const char* name, size_t length, uint8_t* id);

// rt.<m>(...) at its site. receiver: the receiver= keyword of rt.call/rt.tail_call, or null.
// code: the code= keyword of rt.error, or null; an rt.error with a code is refused (the
// semantic runs as Python, whose Error carries the code, as the reference mode's does).
[[nodiscard]] Status emitRtCall(Emitter* e, Semantic* s, RtMethod method, Shape* args,
                                uint32_t count, Shape* receiver, front::Position at, Shape* out,
                                const Shape* code = nullptr);

// --- program functions (functions.cpp) -------------------------------------------------------

// The code of function id (kTopLevel, a function node, or a typed entry) in the compiler's
// current module: what `emission.function` is.
[[nodiscard]] Status emitProgramFunction(Compiler* c, uint32_t id);
// wn_frame_new(parent, slots), checked: a frame that can't be made is the run's MemoryError
// at site, then lost (when given) or the error exit; never a store through null.
[[nodiscard]] Status newFrameChecked(Emitter* e, llvmapi::ValueRef parent, uint64_t slots,
                                     int32_t site, llvmapi::BasicBlockRef lost,
                                     llvmapi::ValueRef* out);
// The thunk of (node, mode, scope) named name: i32 (ctx, frame, out) giving a RunStatus,
// into the compiler's current module.
[[nodiscard]] Status emitThunk(Compiler* c, uint32_t node, bool exec, int32_t scope,
                               const char* name, size_t length);
// Makes the function of a function node (wn_function over its generic entry, which is asked
// for) with the frame of the scope around it, and stores it into the variable the name node
// declares, releasing the old value (a global's as wn_bury does). The frames are found while
// compiling from the current scope outward.
[[nodiscard]] Status defineFunctionHere(Emitter* e, uint32_t node, uint32_t name);
// The value of the variable a name node refers to (a new reference), read from its frame
// found while compiling; an unset variable fails "'<name>' has no value yet" at the node. A
// builtin's name, or a symbol without a slot, is rt.load's (emitRtLoad).
[[nodiscard]] Status loadVariableHere(Emitter* e, uint32_t node, Shape* out);
// The release both exits of a function perform.
[[nodiscard]] Status releaseLocals(Emitter* e);
// Defines the functions hoisted into the scope (function values made and stored).
[[nodiscard]] Status emitHoistedFunctions(Emitter* e, uint32_t scope);
// The function's parameter nodes (the children under the parameters label, or their "name"
// child where the analysis declares no symbol at the child): childWithLabel.
[[nodiscard]] Status parameterNodes(Emitter* e, uint32_t functionNode, uint8_t label,
                                    backend::List<uint32_t>* out);

// --- node kinds from the language's types (nodekinds.cpp) -------------------------------------

// The declared kind of a node from Language.types, memoised per node: none for a node
// without a declared type, or of a type that has no kind.
KnownKind nodeKindMemo(Compiler* c, uint32_t node);
// The Python type the node's type maps to through Language.types (borrowed, identity only),
// or null (no types, no analysis, a type_of that raises, no entry). 0, or -1 with a Python
// exception (a dict mapping lacking a type that is no str: TypeError; a raising mapping).
[[nodiscard]] int typeOfNode(PyObject* types, PyObject* analysis, uint32_t node, PyObject** out);

// --- rt.eval, rt.exec, rt.loop and semantic lookup (eval.cpp, semantics.cpp) ------------------

// The node index of a node shape; unsupported with "a node only known at run time can't be
// used here" for any other shape.
[[nodiscard]] Status knownNode(Emitter* e, const Shape& shape, uint32_t* node);
[[nodiscard]] Status emitRtEval(Emitter* e, Semantic* s, Shape* value, Shape* out);
// What rt.exec does with the value: a node executed, a list or tuple item by item, a run-time
// value through the runtime; anything else nothing.
[[nodiscard]] Status emitRtExec(Emitter* e, Shape* value);
[[nodiscard]] Status emitRtLoop(Emitter* e, Semantic* s, Shape* body, Shape* out);
// Executes a node whose semantic is known while compiling (its block scope entered, the
// semantic run, the scope left).
[[nodiscard]] Status emitExecKnown(Emitter* e, uint32_t node);
// Runs a known node by kind without its block scope: exec semantic, function definition,
// eval semantic with its value dropped, or each child. emitEvalNode: the node's value (eval
// semantic; else a name's variable, an only child's value, or the run-time failure "no
// semantics to evaluate <kind>").
[[nodiscard]] Status emitExecNode(Emitter* e, uint32_t node);
[[nodiscard]] Status emitEvalNode(Emitter* e, uint32_t node, Shape* out);
// rt.eval/rt.exec of a value known at run time only, through wn_run_value (mode 0 eval, 1
// exec): a dyn shape of the value (None in exec mode).
[[nodiscard]] Status emitRunValue(Emitter* e, int32_t mode, Shape* value, int32_t site, Shape* out);

// How a node's semantic runs: not at all, compiled inline (its reading), or as Python.
enum class SemanticForm : uint8_t { none = 0, compiled = 1, python = 2 };
struct SemanticRef {
    SemanticForm form;
    front::FunctionIR* reading;  // compiled
    PyObject* function;          // compiled and python: the registered function (borrowed)
};
// The node's eval (exec false) or exec semantic. No Python call is made. Cannot fail.
SemanticRef semanticOf(Compiler* c, uint32_t node, bool exec);
// fn(node, rt) of a compiled semantic, inline; a refusal names the semantic as the failing one
// (the first stays).
[[nodiscard]] Status callCompiledSemantic(Emitter* e, const SemanticRef& ref, uint32_t node,
                                          Shape* out);
// The node's semantic run as Python through wn_py_semantic with the current frame; the value
// (a dyn shape; None in exec mode) in *out. A strict language refuses: "strict: runs a
// semantic as Python (it would run in Python)".
[[nodiscard]] Status emitPySemantic(Emitter* e, uint32_t node, bool exec, Shape* out);
// What a RunStatus of the bridge does: done goes on, failed to the error exit, returned
// returns the out slot's value from the function, broke/continued jump to the innermost
// rt.loop (a function's body fails "break or continue outside a loop"). A thunk hands
// every jump back as its own status.
[[nodiscard]] Status dispatchRunStatus(Emitter* e, llvmapi::ValueRef status, int32_t site);
// The run's failure with exactly the text at site (wn_fail), then the error exit; the block
// ends there.
[[nodiscard]] Status failWithText(Emitter* e, int32_t site, const char* text, size_t length);
// Releases the frames of the captured block scopes above depth that the node-running code
// made itself (innermost first); the scope stack is unchanged.
[[nodiscard]] Status releaseFramesMadeAbove(Emitter* e, uint64_t depth);
// The bridge's out slot of the function (made on first use). Cannot fail.
llvmapi::ValueRef outSlot(Emitter* e);
// The site and scope numbers run-time dispatch passes (innermost semantic's site, the
// function's scope id, 0 at the top level; innermost block scope, -4 in a thunk, the
// function's scope id). Cannot fail.
int32_t currentSite(const Emitter* e);
int32_t currentScope(const Emitter* e);
// A stack slot holding the current frame, for the bridge (an open block scope's own slot).
[[nodiscard]] Status frameSlotForBridge(Emitter* e, llvmapi::ValueRef* out);

// Compiles a semantic or helper inline with its arguments bound to its parameters (bound first
// with checkArity, compiler/front/planner.h); more than 200 nested inline calls is a compile
// error.
[[nodiscard]] Status inlineHelper(Emitter* e, front::FunctionIR* function, front::StmtList body,
                                  int32_t site, Shape* args, uint32_t count, Shape* out);

// --- node fields and kinds (nodes.cpp) --------------------------------------------------------

[[nodiscard]] Status nodeFieldByName(Emitter* e, uint32_t node, uint8_t label, Shape* out);
// The value a node stands for as a field, by its kind's action: the node itself (a rule),
// True/False/None, a compile-time list or tuple of its children's values, the first of them.
[[nodiscard]] Status nodeFieldWhenCompiling(Emitter* e, uint32_t node, Shape* out);
// node.children: the values of the direct children that are not drop kinds, in a new
// compile-time list.
[[nodiscard]] Status nodeChildrenWhenCompiling(Emitter* e, uint32_t node, Shape* out);
// node.<name> of an object known at run time only: for a node value (tag 11), the word of a
// table made while compiling (the field's only child, None, or the generic read when its
// value is made at run time; node.kind the kind's name when the grammar has no label "kind");
// anything else, and a name that is no label, through wn_getattr. The object is consumed; the
// result has a reference of its own (known kind unknown).
[[nodiscard]] Status emitNodeField(Emitter* e, int32_t site, const Operand& object,
                                   front::Text name, Operand* out);
// The children under the label (or their "name" child where the child declares no symbol),
// in a growable list the caller frees. Runs out of memory -> outOfMemory (code 58), never an
// empty list.
[[nodiscard]] Status childWithLabel(Emitter* e, uint32_t node, uint8_t label,
                                    backend::List<uint32_t>* out);

// --- statements (statements.cpp, locals.cpp, targets.cpp) --------------------------------------

[[nodiscard]] Status lowerStatement(Emitter* e, Semantic* s, const front::Stmt* statement);
[[nodiscard]] Status lowerStatements(Emitter* e, Semantic* s, front::StmtList statements);
// A return of the value from the function being emitted.
[[nodiscard]] Status lowerReturn(Emitter* e, Shape* value, int32_t site);
// After a statement: releases the compile-time containers no variable holds any more.
[[nodiscard]] Status dropDeadContainers(Emitter* e, Semantic* s);
// Assigns the value to the target (consumed).
[[nodiscard]] Status emitAssign(Emitter* e, Semantic* s, const front::Target& target, Shape* value,
                                front::Position at);
[[nodiscard]] Status emitLocalRead(Emitter* e, Semantic* s, uint32_t local, front::Position at,
                                   Shape* out);
[[nodiscard]] Status materializeLocal(Emitter* e, Semantic* s, uint32_t local);
// A local held in a run-time slot as an operand without a new reference; *found false
// otherwise.
[[nodiscard]] Status borrowLocal(Emitter* e, Semantic* s, const front::Expr* expr, Operand* out,
                                 bool* found);
// false when a while, for or try occurs (both branches of every if looked into).
bool countStraightStatements(const front::Stmt* statements, uint64_t count, uint64_t* counter);

// --- loops, try, comprehensions (loops.cpp, try.cpp, comprehensions.cpp) ----------------------

[[nodiscard]] Status lowerWhile(Emitter* e, Semantic* s, const front::Stmt* statement);
[[nodiscard]] Status lowerFor(Emitter* e, Semantic* s, const front::Stmt* statement);
[[nodiscard]] Status lowerTry(Emitter* e, Semantic* s, const front::Stmt* statement);
// A raise of a control shape (rt.Return/Break/Continue) or of an exception value.
[[nodiscard]] Status lowerRaise(Emitter* e, Semantic* s, const front::Stmt* statement);
[[nodiscard]] Status emitComprehension(Emitter* e, Semantic* s, const front::Expr* expr,
                                       Shape* out);

// --- expressions (expressions.cpp, displays.cpp, truth.cpp, fstrings.cpp, slices.cpp) ---------

[[nodiscard]] Status emitExpr(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// emitExpr, then the result on the live temporaries.
[[nodiscard]] Status emitSubExpr(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);

// The truth of a value: known while compiling (known true, bit 0 of truth) or an i1.
struct Truth {
    llvmapi::ValueRef value;  // the i1 when isValue
    uint8_t known;            // when !isValue
    uint8_t isValue;
};
[[nodiscard]] Status emitTruthy(Emitter* e, const Shape& value, int32_t site, Truth* out);

// --- operators (binary.cpp, compare.cpp, typecompare.cpp, wrapping.cpp, readers.cpp) ----------

[[nodiscard]] Status emitBinary(Emitter* e, Semantic* s, front::BinaryOp op, Shape* left,
                                Shape* right, front::Position at, Shape* out);
[[nodiscard]] Status emitUnary(Emitter* e, Semantic* s, front::UnaryOp op, Shape* operand,
                               front::Position at, Shape* out);
// The augmented operator (in place for lists, sets, dicts and Python objects).
[[nodiscard]] Status emitInplace(Emitter* e, Semantic* s, front::BinaryOp op, Shape* current,
                                 Shape* right, front::Position at, Shape* out);
[[nodiscard]] Status emitCompare(Emitter* e, Semantic* s, front::CompareOp op, Shape* left,
                                 Shape* right, front::Position at, Shape* out);
[[nodiscard]] Status emitWrapping(Emitter* e, Semantic* s, uint8_t operation, Shape* left,
                                  Shape* right, Shape* out);
[[nodiscard]] Status emitByteRead(Emitter* e, Semantic* s, uint8_t reader, Shape* data,
                                  Shape* offset, Shape* out);
[[nodiscard]] Status emitRtTailCall(Emitter* e, Semantic* s, Shape* callee, Shape* args,
                                    Shape* receiver);
[[nodiscard]] Status emitRtFresh(Emitter* e, Semantic* s, uint32_t node);

// --- calls (calls.cpp, callargs.cpp, known.cpp, pycalls.cpp) -----------------------------------

[[nodiscard]] Status lowerCallExpr(Emitter* e, Semantic* s, const front::Expr* call, Shape* out);
// A call of a callee value (program function, host function, Python callable).
[[nodiscard]] Status callKnown(Emitter* e, Semantic* s, Shape* callee, Shape* args, Shape* receiver,
                               bool plain, Shape* out);
// A call of a Python object known while compiling (a helper function inlined, a class...).
[[nodiscard]] Status callPython(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                                uint32_t count, const front::Keyword* keywords,
                                uint32_t keywordCount, Shape* keywordValues, front::Position at,
                                Shape* out);
// A nested function of the semantic as a value, or called by name.
[[nodiscard]] Status emitClosure(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);

// --- variables of the interpreted language (variables.cpp, frames.cpp, globals.cpp) -----------

[[nodiscard]] Status emitRtLoad(Emitter* e, Semantic* s, uint32_t node, Shape* out);
// Stores the value into the variable the node declares, releasing the old value.
[[nodiscard]] Status emitRtStore(Emitter* e, uint32_t node, Shape* value);
[[nodiscard]] Status emitRtFunction(Emitter* e, Semantic* s, uint32_t node, Shape* out);
// The address of the 16-byte slot holding the variable of the symbol.
[[nodiscard]] Status emitFrameOf(Emitter* e, uint32_t symbol, llvmapi::ValueRef* out);
// Enters the block scope of the node when it opens one (frame made, *entered true); leave
// releases it.
[[nodiscard]] Status enterBlockScope(Emitter* e, uint32_t node, bool* entered);
[[nodiscard]] Status leaveBlockScope(Emitter* e, uint32_t node);
// Releases the frame of every open block scope above the depth, innermost first (the scope
// stack itself unchanged).
[[nodiscard]] Status releaseScopeFramesAbove(Emitter* e, uint64_t depth);
// A module global (or builtin) of the semantic's module read while compiling or at run time.
[[nodiscard]] Status emitGlobal(Emitter* e, Semantic* s, front::Text name, front::Position at,
                                Shape* out);

// --- attributes, subscripts, methods, type tests (attributes.cpp, subscripts.cpp, methods.cpp,
//     typetests.cpp) ------------------------------------------------------------------------

[[nodiscard]] Status emitAttribute(Emitter* e, Semantic* s, Shape* object, front::Text name,
                                   front::Position at, Shape* out);
[[nodiscard]] Status emitSetAttr(Emitter* e, Semantic* s, Shape* object, front::Text name,
                                 Shape* value, front::Position at);
[[nodiscard]] Status emitGetItem(Emitter* e, Semantic* s, Shape* object, Shape* index,
                                 front::Position at, Shape* out);
[[nodiscard]] Status emitSetItem(Emitter* e, Semantic* s, Shape* object, Shape* index, Shape* value,
                                 front::Position at);
[[nodiscard]] Status emitMethodCall(Emitter* e, Semantic* s, Shape* receiver, front::Text name,
                                    Shape* args, uint32_t count, front::Position at, Shape* out);
[[nodiscard]] Status emitIsinstance(Emitter* e, Semantic* s, Shape* value, Shape* type,
                                    front::Position at, Shape* out);
// len() inline for strs, bytes, lists, tuples and dicts; the operand is released.
[[nodiscard]] Status emitLen(Emitter* e, Semantic* s, PyObject* lenBuiltin, Operand* argument,
                             Operand* out);

}  // namespace wuna::compile
