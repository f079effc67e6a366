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

#include "compiler/backend/spec.h"
#include "compiler/codegen/emitter.h"
#include "compiler/front/ir.h"
#include "host/tree/function_kind.h"
#include "wuna/runtime/helpers/lib.h"
#include "wuna/runtime/helpers/profiles.h"

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

// The value behind an optional pointer of the function being emitted (rt.receiver and
// rt.varargs of a helper compiled out of line, which may receive null): the slot's value with a
// reference of its own, else the default materialised; an owned operand of unknown kind. ok,
// outOfMemory, or the errors of materialize.
[[nodiscard]] Status valueOrDefault(Emitter* e, llvmapi::ValueRef pointer, const Shape& fallback,
                                    Operand* out);

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
// The release both exits of a function perform.
[[nodiscard]] Status releaseLocals(Emitter* e);
// The function's parameter nodes (the children under the parameters label, or their "name"
// child where the analysis declares no symbol at the child): childWithLabel.
[[nodiscard]] Status parameterNodes(Emitter* e, uint32_t functionNode, uint8_t label,
                                    backend::List<uint32_t>* out);

// --- node kinds from the language's types (nodekinds.cpp) -------------------------------------

// The declared kind of a node from Language.types, remembered per node: unknown for a node
// without a declared type, or of a type that has no kind. Errors are not remembered. ok;
// pythonError with the exception (the mapping raised, or a dict mapping lacks a type that is
// no str: TypeError); outOfMemory when the memo can't grow.
[[nodiscard]] Status nodeKindMemo(Compiler* c, uint32_t node, KnownKind* out);
// The Python type the node's type maps to through Language.types (borrowed, identity only),
// or null (no types, no analysis, a type_of that raises, no entry). 0, or -1 with a Python
// exception (a dict mapping lacking a type that is no str: TypeError; a raising mapping).
[[nodiscard]] int typeOfNode(PyObject* types, PyObject* analysis, uint32_t node, PyObject** out);
// The declared parameter kinds of function node (one byte each: bool, int, float or list),
// remembered per function in the typed-entry kinds: *out null when a parameter is declared
// of another kind or not at all, when the function has no parameters, or without a types
// mapping or an analysis. ok; pythonError with the exception (typeOfNode's); outOfMemory.
[[nodiscard]] Status nodeKindFromTypes(Emitter* e, uint32_t node, const TypedEntry** out);
// Records kind bytes as the typed-entry kinds of function id (the typed entry's parameter
// list; copied); null kinds: none (no typed entry). ok, or outOfMemory.
[[nodiscard]] Status recordKinds(Compiler* c, uint32_t id, const uint8_t* kinds, uint32_t n);

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

// --- statements (statements.cpp, returns.cpp, locals.cpp, targets.cpp, analyses.cpp) ---------

// One open loop of a body (Semantic::loops, innermost last).
struct LoopEntry {
    llvmapi::BasicBlockRef breakBlock;
    llvmapi::BasicBlockRef continueBlock;
    uint64_t jumpDepth;     // the emitter's try-stack height when the loop began
    const void* unrollKey;  // an unrolled iteration: the loop's IR expression; else null
    uint32_t controlDepth;  // the body's run-time control-flow depth when pushed
    uint32_t tryDepth;      // the body's try depth when pushed
};

// Compiles one statement at the builder's current block; the builder is left where the next
// statement continues. The emitter's position is the statement's while it runs and is put
// back on every exit.
[[nodiscard]] Status lowerStatement(Emitter* e, Semantic* s, const front::Stmt* statement);
// Compiles a statement list in order, stopping once the body has ended or jumped; the dead
// compile-time containers are released after each statement.
[[nodiscard]] Status lowerStatements(Emitter* e, Semantic* s, front::StmtList statements);
// A return statement's value (consumed): the body's compile-time result when the return is
// straight-line, else stored into the body's result slot with a branch to its return block.
[[nodiscard]] Status returnValue(Emitter* e, Semantic* s, Shape* value);
// rt.Return(value) raised by semantic code: caught by an except of an open try, or a return
// of the value from the function being emitted (value consumed).
[[nodiscard]] Status lowerReturn(Emitter* e, Shape* value, int32_t site);
// rt.Break (RtMethod::break_) or rt.Continue raised by semantic code.
[[nodiscard]] Status lowerBreak(Emitter* e, RtMethod id, int32_t site);
// The wuna module's class of a jump (tail_call, Return, Break, Continue), borrowed; null for
// any other id or when the module isn't imported (no error pending).
PyObject* jumpClassOf(RtMethod id);
// Leaves the try statements above the target height: the finally code of each is compiled
// here; a handler of a try that still catches jumps may receive an rt jump (rtJump true,
// id its RtMethod, value the jump's operand or null). *caught: a handler received it.
[[nodiscard]] Status jumpOut(Emitter* e, uint64_t targetHeight, uint32_t id, bool rtJump,
                             const Operand* value, bool* caught);
// The run-time failure with a fixed text (wn_fail), then the error exit; the builder is left
// in a "dead" block.
[[nodiscard]] Status failWith(Emitter* e, int32_t site, const char* text, size_t length);
// The same failure at the call of the running function (its innermost call-stack entry),
// where a jump that leaves the function's body is reported, as the reference mode's call of
// the function reports it; at the site given when no call is running (the top level).
[[nodiscard]] Status failAtRunningCall(Emitter* e, int32_t site, const char* text, size_t length);
// The i32 site of the running function's call (progcalls.cpp, which knows the call-stack
// layout), or the fallback's when the call stack is empty. ok or outOfMemory.
[[nodiscard]] Status runningCallSite(Emitter* e, int32_t fallback, llvmapi::ValueRef* out);
// After a statement: releases the compile-time containers no variable holds any more.
[[nodiscard]] Status dropDeadContainers(Emitter* e, Semantic* s);
// Assigns the value to the target (consumed).
[[nodiscard]] Status emitAssign(Emitter* e, Semantic* s, const front::Target& target, Shape* value,
                                front::Position at);
// A read of the local as an expression of kind local (the value moves out of the local at its
// last use), and a named expression (name := value).
[[nodiscard]] Status emitLocalExpr(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
[[nodiscard]] Status emitNamedExpr(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// A read of the local that leaves its value in place: a copy of a compile-time value, or the
// slot's value with a reference of its own; "'<x>' may be read before it is assigned" when the
// local has no value here (or a run-time slot that may not have been assigned yet).
[[nodiscard]] Status emitLocalRead(Emitter* e, Semantic* s, uint32_t local, front::Position at,
                                   Shape* out);
// Gives the local its run-time slot now, holding the value it has so far.
[[nodiscard]] Status materializeLocal(Emitter* e, Semantic* s, uint32_t local);
// A local held in a run-time slot, or holding a run-time operand without a borrow flag, as an
// operand without a new reference; *found false otherwise.
[[nodiscard]] Status borrowLocal(Emitter* e, Semantic* s, const front::Expr* expr, Operand* out,
                                 bool* found);
// Whether the read of a local (an expression of kind local) is the last use of that local in
// the function. ok with *last, or outOfMemory.
[[nodiscard]] Status isLastUse(Compiler* c, const front::FunctionIR* function,
                               const front::Expr* read, bool* last);
// The value about to be changed in place, as an operand; refuses a change to a wuna.comptime
// result, and a change inside run-time control flow to a container made while compiling by
// anything but a literal.
[[nodiscard]] Status changeComptime(Emitter* e, Shape* value, int32_t site, Operand* out);
// false when a while, for or try occurs (both branches of every if looked into).
bool countStraightStatements(const front::Stmt* statements, uint64_t count, uint64_t* counter);

// The variable analyses: locals into the caller's set (ok, or outOfMemory when the set can't
// grow). changedVariables: the locals a list assigns or changes in place; collectUsedLocals:
// the locals it reads (the skipped list, wherever it occurs, not looked into; a read of
// `<watched>.args` is not a read of the watched local).
inline constexpr uint32_t kNoLocal = 0xFFFFFFFFu;
[[nodiscard]] Status targetVariables(const front::Target& target, backend::U32Set* set);
[[nodiscard]] Status targetReads(const front::Target& target, backend::U32Set* set);
[[nodiscard]] Status changedVariables(const front::Stmt* statements, uint64_t count,
                                      backend::U32Set* set);
[[nodiscard]] Status collectUsedLocals(const front::Stmt* statements, uint64_t count,
                                       front::StmtList skipped, backend::U32Set* set,
                                       uint32_t watched = kNoLocal);

// One use of a local found by the walks below: the reading expression (null for the target of
// an augmented assignment and for del), the local, the walk's flag, and whether the use
// assigns the local (a := target) rather than reads it.
// The walks add kRepeatedUse to the flag of a use that one evaluation of its statement may
// make several times: inside a comprehension's element, filters, targets and every iterable
// but the first (an unrolled comprehension compiles them once per item).
inline constexpr uint8_t kRepeatedUse = 0x80;
struct LocalUse {
    const front::Expr* expr;
    uint32_t local;
    uint8_t flag;
    uint8_t assigns;
};
// Every use of a local in the statement (nested statements included), the expression or the
// target, appended in source order. ok or outOfMemory.
[[nodiscard]] Status noteStmtLocals(const front::Stmt* statement, uint8_t flag,
                                    backend::List<LocalUse>* uses);
[[nodiscard]] Status noteExprLocals(const front::Expr* expr, uint8_t flag,
                                    backend::List<LocalUse>* uses);
[[nodiscard]] Status noteTargetLocals(const front::Target& target, backend::List<LocalUse>* uses);

// --- loops, try, comprehensions (loops.cpp, forloops.cpp, try.cpp, handlers.cpp, raise.cpp,
//     comprehensions.cpp, controlvars.cpp) ---------------------------------------------------

// Unrolling's bounds: while loops nest at most this deep when unrolled, with bodies of at most
// this many statements, for at most this many iterations; a for over items known while
// compiling is unrolled only up to kForUnrollItems items, past that it runs at run time.
inline constexpr uint32_t kWhileUnrollDepth = 3;
inline constexpr uint64_t kWhileUnrollStatements = 12;
inline constexpr uint32_t kWhileUnrollIterations = 8;
inline constexpr uint64_t kForUnrollItems = 64;

[[nodiscard]] Status lowerWhile(Emitter* e, Semantic* s, const front::Stmt* statement);
[[nodiscard]] Status lowerFor(Emitter* e, Semantic* s, const front::Stmt* statement);
[[nodiscard]] Status lowerTry(Emitter* e, Semantic* s, const front::Stmt* statement);
// A raise of a control shape (rt.Return/Break/Continue) or of an exception value.
[[nodiscard]] Status lowerRaise(Emitter* e, Semantic* s, const front::Stmt* statement);
// A list, set or dict comprehension, or a generator expression. A generator expression
// compiles only as the argument its consumer drains at once (emitDrainedGenerator); met
// anywhere else it is refused, so the semantic runs as Python with that reason.
[[nodiscard]] Status emitComprehension(Emitter* e, Semantic* s, const front::Expr* expr,
                                       Shape* out);
// What a consumer does with a generator expression it is given, as the call lowering finds
// (calls::generatorUse): drains it into a list (list, tuple, set, sum, sorted, min, max,
// str.join), or reads it up to the first deciding element (any, all).
enum class Drain : uint8_t { list = 1, any = 2, all = 3 };
// The generator expression as its consumer uses it: the list of its elements (made while
// compiling, or at run time), or the bool of any()/all(), the loop left at the first deciding
// element.
[[nodiscard]] Status emitDrainedGenerator(Emitter* e, Semantic* s, const front::Expr* generator,
                                          Drain drain, Shape* out);

// The process-wide sets of unroll keys (never emptied; used under the interpreter lock):
// loops whose unrolling gave up, and loops whose iteration met a break or continue in
// run-time control flow (they are compiled as loops at run time from then on). ok or
// outOfMemory.
[[nodiscard]] Status noteLoopNotUnrolled(const void* key);
[[nodiscard]] Status noteLoopAtRunTime(const void* key);
bool loopNotUnrolled(const void* key);
bool loopAtRunTime(const void* key);

// The error kinds an except's class (or tuple of classes, nested tuples too) matches: bit k
// for the kind k whose Python class is the class itself, bit 63 for a class of no kind.
// Cannot fail (a lookup that finds nothing gives bit 63).
uint64_t exceptClassMask(PyObject* classes);

// --- expressions (expressions.cpp, displays.cpp, boolops.cpp, truth.cpp, fstrings.cpp, slices.cpp)

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

// `then if condition else otherwise` with a run-time condition (an i1): both branches compiled
// into one value slot; the result a run-time value whose known kind is the branches' when
// they agree.
[[nodiscard]] Status emitIfExp(Emitter* e, Semantic* s, llvmapi::ValueRef condition,
                               const front::Expr* then, const front::Expr* otherwise, Shape* out);
// An f-string's parts (a format spec's too) as a str: a constant when every piece is one.
[[nodiscard]] Status emitFString(Emitter* e, Semantic* s, front::FStringPartList parts, Shape* out);
// A list or dict made while compiling takes its origin (the display and the site); when that
// origin escaped run-time control flow in an earlier attempt it is built at run time here.
[[nodiscard]] Status placeDisplay(Emitter* e, const front::Expr* display, int32_t site,
                                  Shape* shape);
// A new reference to slice(lower, upper, step) of three constant shapes (consumed: none
// need releasing), or an error.
[[nodiscard]] Status constantSlice(Emitter* e, const Shape& lower, const Shape& upper,
                                   const Shape& step, PyObject** out);

// --- operators (binary.cpp, unary.cpp, inplace.cpp, compare.cpp, typecompare.cpp, bigints.cpp,
//     wrapping.cpp, readers.cpp) -------------------------------------------------------------

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
// wn_binary on two run-time operands (released after the call) and its result, of the kind
// the helper is sure to give.
[[nodiscard]] Status emitBinaryGeneric(Emitter* e, int32_t site, front::BinaryOp op,
                                       const Operand& left, const Operand& right, Operand* out);
// wn_compare on two run-time operands (released after the call); a bool operand.
[[nodiscard]] Status emitCompareGeneric(Emitter* e, int32_t site, front::CompareOp op,
                                        const Operand& left, const Operand& right, Operand* out);
// type(x) is T, type(x) is not T, type(x) is type(y) by type keys: *handled false (nothing
// emitted, nothing compiled) when the comparison is not of that form.
[[nodiscard]] Status emitTypeCompare(Emitter* e, Semantic* s, front::CompareOp op,
                                     const front::Expr* left, const front::Expr* right,
                                     front::Position at, Shape* out, bool* handled);
// A value that came from Python as the language's int: an int within 64 bits becomes a
// checked int (tag 2), a bigger one the run-time failure "integer overflow" at the site.
[[nodiscard]] Status emitBigIntCheck(Emitter* e, Shape* value, int32_t site, Shape* out);

// --- calls (calls.cpp, callargs.cpp, builtincalls.cpp, known.cpp, progcalls.cpp, pycalls.cpp,
//     closures.cpp) ------------------------------------------------------------------------

[[nodiscard]] Status lowerCallExpr(Emitter* e, Semantic* s, const front::Expr* call, Shape* out);
// The runtime's error kind whose Python class is cls (the builtins BaseException to
// FloatingPointError by name, the other kinds through their class), or errors::kPythonClass
// for a class of no kind (called as a Python object; an except matches it by isinstance).
// Cannot fail.
uint32_t exceptionCode(PyObject* cls);
// A call of a callee value (program function, host function, Python callable). args: a list
// or tuple known while compiling (its items are the arguments), or any other shape (a
// run-time sequence, called through wn_call_seq). receiver may be null. plain: a call
// expression of a semantic (wn_call_plain) rather than rt.call (wn_call).
[[nodiscard]] Status callKnown(Emitter* e, Semantic* s, Shape* callee, Shape* args, Shape* receiver,
                               bool plain, Shape* out);
// A call of a Python object known while compiling (a helper function inlined, a class...).
// keywordValues: one compiled value per keyword (consumed), bound by name to a Python
// function's parameters; null when keywordCount is 0.
[[nodiscard]] Status callPython(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                                uint32_t count, const front::Keyword* keywords,
                                uint32_t keywordCount, Shape* keywordValues, front::Position at,
                                Shape* out);
// A nested function of the semantic as a value, or called by name (kinds nestedCall, closure
// and outOfLine).
[[nodiscard]] Status emitClosure(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// A new specialisation of the helper for the key shapes (kept, not copied; count of them) and
// the per-argument flags (kept, or null), on behalf of origin, named with the letter and put in
// the compiler's list (which owns it), not queued. ok or outOfMemory (nothing listed).
[[nodiscard]] Status listSpecialisation(Compiler* c, const front::FunctionIR* helper, Shape* keys,
                                        uint64_t count, uint8_t* flags, PyObject* origin,
                                        SpecLetter letter, HelperSpec** out);
// A new specialisation of the helper for the key shapes (kept, not copied; count of them):
// made on behalf of the emitter's helper origin, else of the outermost open semantic's
// function, named with the letter, listed and queued for compiling. ok or outOfMemory.
[[nodiscard]] Status queueSpecialisation(Emitter* e, const front::FunctionIR* helper, Shape* keys,
                                         uint64_t count, SpecLetter letter, HelperSpec** out);
// The call of a callee with a run-time argument sequence (wn_call_seq); receiver may be null.
[[nodiscard]] Status emitCallSeq(Emitter* e, Semantic* s, Shape* callee, Shape* sequence,
                                 Shape* receiver, Shape* out);
// Stores the operands into the elements 0..n-1 of a {i64, i64} array; each takes its own
// reference first when it is borrowed (the array lends the values to the callee).
[[nodiscard]] Status storeCallArguments(Emitter* e, llvmapi::ValueRef array, Operand* operands,
                                        uint64_t n);
// The direct call of a program function value whose node is known (the callee operand's
// functionNode): a run-time test that the value is that function's code with room on both
// stacks, then its generic or typed entry; else wn_call. The argument array is still empty;
// the caller releases the operands and tests *ok. receiver: a value slot's address or null.
[[nodiscard]] Status emitFunctionValueCall(Emitter* e, Semantic* s, const Operand& callee,
                                           llvmapi::ValueRef array, Operand* operands, uint64_t n,
                                           llvmapi::ValueRef receiver, llvmapi::ValueRef* ok,
                                           llvmapi::ValueRef* tag, llvmapi::ValueRef* payload);
// A call of a Python object at run time (wn_call_python, or wn_new_exception for an exception
// class); refused in a strict language except for exception classes. The shapes are consumed.
[[nodiscard]] Status callPythonObject(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                                      uint64_t count, Shape* out);
// The call of a Python function the front end read, as the call planner plans it: bound to
// its parameters (defaults filled in; a misfit is the planner's arity error), then inlined,
// or its value known while compiling. Calls the planner sends out of line are refused until
// out-of-line helpers are built.
[[nodiscard]] Status callPlanned(Emitter* e, Semantic* s, front::FunctionIR* callee, Shape* args,
                                 uint64_t count, Shape* out);
// sorted(items, key=, reverse=) (inPlace 0) or items.sort(...) (inPlace 1) through wn_sorted.
[[nodiscard]] Status emitSorted(Emitter* e, Semantic* s, Shape* items, Shape* key, Shape* reverse,
                                uint32_t inPlace, Shape* out);
// An int of tag 18 (or a pint) as the plain int tag 2; every other shape unchanged. Cannot
// fail.
Shape normalizeInt(Emitter* e, const Shape& shape);

// --- builtins and library calls compiled at the call site (builtins.cpp, mathcalls.cpp,
//     itervalues.cpp, libcalls.cpp, hostcalls.cpp, streams.cpp) ----------------------------

// A call of a builtin or library function known while compiling: folded when its arguments are
// constants, a runtime helper on native values, a container made while compiling, or not
// handled (*handled false: nothing emitted, the shapes untouched, and the caller goes on with
// its general roads). print and input are never handled. Handled: the shapes are consumed.
[[nodiscard]] Status lowerBuiltin(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                                  uint64_t count, front::Position at, bool* handled, Shape* out);
// len(s.encode()) with no argument or a UTF-8 name: the length counted by wn_utf8_len, the
// bytes never made. *handled false for any other argument (nothing compiled then).
[[nodiscard]] Status lowerUtf8Len(Emitter* e, Semantic* s, const front::Expr* argument,
                                  bool* handled, Shape* out);
// "<name>() takes no arguments" appended. ok or outOfMemory.
[[nodiscard]] Status noArgumentsMessage(backend::List<char>* w, const char* name, size_t length);

// The operation wn_lib performs is a helpers::LibCode (wuna/runtime/helpers/lib.h).
using LibCall = helpers::LibCode;
// wn_lib's flag word when the operation takes no modifier.
inline constexpr int32_t kLibNoFlag = 2;
// The call of wn_lib for a library function (callee borrowed; the argument shapes consumed);
// *out a dyn shape of unknown kind.
[[nodiscard]] Status emitLibCall(Emitter* e, Semantic* s, LibCall code, PyObject* callee,
                                 Shape* args, uint64_t count, int32_t flag, Shape* out);
// os.getenv, os.getcwd, os.path.isfile ... os.replace and time.time through wn_lib;
// *handled false for any other callee (nothing emitted).
[[nodiscard]] Status lowerLibraryFunction(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                                          uint64_t count, bool* handled, Shape* out);

// zip (zip true) or enumerate of the arguments as a run-time list of tuples built by an
// emitted loop; enumerate takes exactly one argument.
[[nodiscard]] Status lowerZipEnumerate(Emitter* e, Semantic* s, bool zip, Shape* args,
                                       uint64_t count, front::Position at, Shape* out);
// A run-time list of the value's items (the value consumed; a list is used in place).
[[nodiscard]] Status lowerItems(Emitter* e, Semantic* s, const Shape& value, Operand* out);
// zip() and enumerate() give lists only where their value is iterated at once and then
// dropped; anywhere else Python's iterator is what the program may rely on (next(), a second
// pass that finds it spent). A consumer that iterates the value of an expression at once (a
// for loop, a comprehension, list(), sorted() ...) marks that expression while it compiles it.
class IteratedAtOnce {
public:
    IteratedAtOnce(Emitter* e, const front::Expr* expr);
    ~IteratedAtOnce();
    IteratedAtOnce(const IteratedAtOnce&) = delete;
    IteratedAtOnce& operator=(const IteratedAtOnce&) = delete;

private:
    const Emitter* savedEmitter_;
    const front::Expr* savedExpr_;
};
// Whether a call of this callee at the position iterates its positional arguments at once,
// keeping none of them: the one argument of list, tuple, set, frozenset, dict, sorted, sum, min
// and max, and every argument of a zip or enumerate that is itself iterated at once. Cannot
// fail.
bool iteratesArgumentsAtOnce(const Emitter* e, PyObject* callee, uint64_t count,
                             front::Position at);

// X.read() and X.write(v) on the standard streams or an open(...) call recognised while
// compiling (streams.cpp): wn_lib or wn_write. *handled false when the call is not of those
// forms (what was compiled to look at X, a global read, is released again).
[[nodiscard]] Status lowerStreamCall(Emitter* e, Semantic* s, const front::Expr* call,
                                     bool* handled, Shape* out);

// Whether the object is a native host function (its type exactly wuna.NativeHost).
bool isNativeHost(PyObject* object);
// The call of a native host function: its C function called directly when the arguments'
// tags fit its signature, else the object's Python call; joined into one dyn value.
[[nodiscard]] Status lowerNativeHostCall(Emitter* e, Semantic* s, PyObject* host, Shape* args,
                                         uint64_t count, Shape* out);

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
// Goes on where the block scope's frame from wn_frame_new was made; a null frame (memory ran
// out) fails the run at the node instead of being used. ok, or an emission error.
[[nodiscard]] Status checkNewFrame(Emitter* e, llvmapi::ValueRef frame, uint32_t node);
// Releases the frame of every open block scope above the depth, innermost first (the scope
// stack itself unchanged).
[[nodiscard]] Status releaseScopeFramesAbove(Emitter* e, uint64_t depth);
// The values held by the open inlined bodies above count, released innermost first (code
// only: their records stay, for the paths that go on).
[[nodiscard]] Status releaseSemanticsAbove(Emitter* e, uint64_t count);
// A module global (or builtin) of the semantic's module read while compiling or at run time.
// A dyn result holds a reference (a read at run time): a caller that does not use the value
// releases it.
[[nodiscard]] Status emitGlobal(Emitter* e, Semantic* s, front::Text name, front::Position at,
                                Shape* out);
// Whether the global is, while compiling, the very object: false without emitting any code
// when the name is read at run time (a rebound module variable) or is something else; so a
// look at a callee (is it `type`?) leaves nothing behind to release.
[[nodiscard]] Status globalIsObject(Emitter* e, Semantic* s, front::Text name, PyObject* object,
                                    bool* is);

// The nearest scope strictly above the node: a function node or a captured block scope, or
// kGlobalScope. Cannot fail.
uint32_t scopeOf(const Compiler* c, uint32_t node);
// Which text an unreachable frame gives (frames.cpp).
enum class FrameMessage : uint8_t { functionOutside = 0, variableUnreachable = 1, blockFrame = 2 };
// The frame of the scope as seen from the current point (open block scopes, the run-time
// walk of a thunk, the own frame, the walk up from the closure frame). unsupported with the
// message chosen when the scope can't be reached; with a need recorded ("compiled again with
// frames") when it is the function's own scope and the function has no heap frame.
[[nodiscard]] Status frameOfScope(Emitter* e, uint32_t scope, FrameMessage which,
                                  llvmapi::ValueRef* out);
// The address offset bytes into a block (a frame slot's word, a header field), and a frame's
// parent frame loaded from it. Cannot fail.
llvmapi::ValueRef byteOffset(Emitter* e, llvmapi::ValueRef base, uint64_t offset);
llvmapi::ValueRef parentFrame(Emitter* e, llvmapi::ValueRef frame);
// Makes each function hoisted into the scope and stores it into its name's variable, in the
// order of the hoist list.
[[nodiscard]] Status makeHoistedFunctions(Emitter* e, uint32_t scope);
// Defines a function as the reference mode does when its node runs: the function of the node
// (rt.function's) stored into the variable the name node declares (rt.store's).
[[nodiscard]] Status defineFunctionHere(Emitter* e, uint32_t node, uint32_t name);
// The function-kind record of the node's kind (the compile inputs', else the tree's), or null.
const host::FunctionKind* functionKindOf(const Compiler* c, uint32_t node);

// --- kind checks and variable messages (kindchecks.cpp) ---------------------------------------

// The value checked against the node's declared kind (Language.types); consumes value.
[[nodiscard]] Status emitKindCheck(Emitter* e, uint32_t node, Shape* value, Shape* out);
// The same against a kind the caller knows (unknown: no check).
[[nodiscard]] Status emitKindCheckAs(Emitter* e, uint32_t node, KnownKind declared, Shape* value,
                                     Shape* out);
// The run-time failure "the value isn't what types() says the type T is" at the node.
[[nodiscard]] Status emitKindMismatch(Emitter* e, uint32_t node);
// The variable messages, shared with the reference mode and the runtime helpers: each appends
// its text around x. ok or outOfMemory.
[[nodiscard]] Status writeTypesMismatch(backend::List<char>* w, const char* x, size_t length);
[[nodiscard]] Status writeNoHostFunction(backend::List<char>* w, const char* x, size_t length);
[[nodiscard]] Status writeCantAssignBuiltin(backend::List<char>* w, const char* x, size_t length);
[[nodiscard]] Status writeNotVariable(backend::List<char>* w, const char* x, size_t length);
[[nodiscard]] Status writeNameNotDefined(backend::List<char>* w, const char* x, size_t length);

// --- outer frames and imports (outer.cpp) ------------------------------------------------------

// The environment frame of a nested function: *found false when it needs none.
[[nodiscard]] Status emitOuterFrame(Emitter* e, Semantic* s, const front::FunctionIR* nested,
                                    llvmapi::ValueRef* frame, bool* found);
// The environment argument of a call of a nested function (a none shape when none is needed).
[[nodiscard]] Status emitOuterFrameArg(Emitter* e, Semantic* s, const front::FunctionIR* nested,
                                       Shape* out);
// What an import of a semantic binds, run while compiling as the semantic's own module would
// run it (a relative import from its package), as a shape: the module itself when named
// (`import a.b as c`), else the top-level package of `import a.b`, or the attribute taken from
// the module (a submodule when the module has no such attribute). A relative import that
// can't be resolved ("the relative import of <module> can't be resolved here") and an import
// that fails ("the import of <module> fails while compiling") are refused (unsupported) with
// the message at the position: the semantic then runs as Python and fails there as the
// reference mode does. outOfMemory; pythonError.
[[nodiscard]] Status resolveImport(Emitter* e, Semantic* s, front::Text module,
                                   const front::Text* attribute, bool named, front::Position at,
                                   Shape* out);
// "<left>.<right>" appended. ok or outOfMemory.
[[nodiscard]] Status writeDottedName(backend::List<char>* w, front::Text left, front::Text right);

// --- attributes, subscripts, methods, type tests, value slots (attributes.cpp, subscripts.cpp,
//     records.cpp, methods.cpp, typetests.cpp, valueslots.cpp) ---------------------------------

// x.name: a node field, an rt method or value, a Python object's attribute known while
// compiling, a record field or any attribute read at run time.
[[nodiscard]] Status emitAttribute(Emitter* e, Semantic* s, Shape* object, front::Text name,
                                   front::Position at, Shape* out);
// wn_getattr of the object (consumed); *out an owned operand of unknown kind.
[[nodiscard]] Status emitGetAttrGeneric(Emitter* e, Semantic* s, Operand* object, front::Text name,
                                        Operand* out);
// x.name = v. The object is consumed too (kept when only borrowed from a module variable: use
// emitSetAttrBorrowed).
[[nodiscard]] Status emitSetAttr(Emitter* e, Semantic* s, Shape* object, front::Text name,
                                 Shape* value, front::Position at);
[[nodiscard]] Status emitSetAttrBorrowed(Emitter* e, Semantic* s, Shape* object, front::Text name,
                                         Shape* value, front::Position at, bool borrowed);

// --- out-of-line helpers and typed entries (outofline.cpp, outofline_calls.cpp,
//     typedentries.cpp) -----------------------------------------------------------------------

// A specialisable out-of-line call site (only in modules compiled for the running process),
// in the compiler's arena; its index in the compiler's site list names it to wn_specialize.
struct HelperSite {
    helpers::SiteCell* cell;  // the run-time cell, in the arena, reached through a key global
    front::FunctionIR* helper;
    Shape* keys;  // per argument: the value known while compiling when it is a plain key, else
                  // the specialisation's shape
    uint64_t count;
    uint8_t* flags;  // per argument: 1 when it is passed at run time
    PyObject* origin;
};

// The LLVM function of a helper specialisation, i32 <symbol> (ctx, frame, arguments, i32 site,
// i32 scope, receiver slot, extra-arguments slot, result slot) giving a RunStatus (or 5, a
// pending tail call): what `emission.helper` is. On an error the specialisation's origin
// becomes the compiler's failing semantic unless one is recorded already.
[[nodiscard]] Status emitHelperSpec(Compiler* c, HelperSpec* spec);
// One call of a Python helper compiled out of line: its specialisation found or made, the
// run-time arguments passed in an array, the status turned into control flow. args are
// consumed; *out is the call's value (dyn, unknown kind, owned). site: a node, or -3/-4.
[[nodiscard]] Status emitHelperCall(Emitter* e, front::FunctionIR* helper, int32_t site,
                                    Shape* args, uint32_t count, Shape* out);
// The out-of-line call of the function whose guard is inlined (expression kind 33, which only
// the call planner makes): the callee is the body's own function, its arguments the
// parameters' current values (a value known while compiling is taken out of its local). *out
// as emitHelperCall's.
[[nodiscard]] Status emitOutOfLineSelfCall(Emitter* e, Semantic* s, const front::Expr* expr,
                                           Shape* out);
// wn_specialize's work for the hot site of that index, run under the interpreter lock: the
// site's count is parked (it never asks again); an equal version the module lists already
// (same helper, count, run-time flags and shapes) is handed to compile as it is (compile gives
// its loaded code, or compiles it when it has none); else, unless the module made
// kMaxRuntimeSpecialisations already, a specialisation made for the constants the site saw
// (the 's' letter; its arguments all still passed at run time, flagged) is listed and handed
// to compile (0 with *address, or -1 with a Python exception or none). The address is
// published in the site's cell. Nothing is reported: on any failure the site keeps calling
// its generic version.
inline constexpr uint64_t kMaxRuntimeSpecialisations = 256;
// A specialisation compiled at run time that adds this many blocks or more is given up.
inline constexpr uint64_t kSpecialisationBlockLimit = 1501;
void specializeSite(Compiler* c, int64_t index,
                    int (*compile)(void* user, HelperSpec* spec, uint64_t* address), void* user);
// Whether the module is compiled for the running process (it keeps no key origins): only such
// modules count calls and specialise at run time. Cannot fail.
bool compiledForThisProcess(const Compiler* c);
// A call of a C function of this process (an address no module of another process could
// have) through its key global; *out the call's value. ok or outOfMemory.
[[nodiscard]] Status callProcessFunction(Emitter* e, const void* function, llvmapi::TypeRef type,
                                         llvmapi::ValueRef* args, unsigned count,
                                         llvmapi::ValueRef* out);
// A list known while compiling copied into a new record with a new item array (items copied
// in order), so that a helper changing its list while compiling leaves the original alone.
// ok, or outOfMemory.
[[nodiscard]] Status copyListShape(Compiler* c, const Shape& list, Shape* out);
// "<location prefix>called with <count> arguments, takes <P>" for the helper (P its parameter
// count, a * parameter counted as one): unsupported, or outOfMemory.
[[nodiscard]] Status helperArityError(Compiler* c, const front::FunctionIR* helper, uint64_t count);
// The RunStatus (or 5) of an out-of-line call turned into control flow at the call: done goes
// on (emission continues in "done"), failed to the error exit, returned/broke/continued as the
// statements would, 5 through emitTailCall.
[[nodiscard]] Status emitRaisedControl(Emitter* e, llvmapi::ValueRef status, int32_t site);
// The pending tail call in the run context leaves the current code as its place demands (a
// try catching TailCall, a helper compiled out of line, the top level, a program function);
// the current block is terminated.
[[nodiscard]] Status emitTailCall(Emitter* e, int32_t site);
// The pending call parked in a handler's three slots (TryEntry::tailSlots) becomes the pending
// tail call again, the slots hold None, and it leaves as emitTailCall does: the raise of a
// handler that caught it. ok, or a Status of the emission.
[[nodiscard]] Status reissueTailCall(Emitter* e, const llvmapi::ValueRef* slots, int32_t site);
// The frame an out-of-line call passes: the current frame, or (a function without a heap
// frame, called from an expression) a frame made for the call from the stack slots; when
// memory for it runs out the run fails with MemoryError at the site.
struct CallFrame {
    llvmapi::ValueRef frame;
    uint8_t made;  // made for the call: emitCallFrameRelease after it
};
[[nodiscard]] Status emitCallFrame(Emitter* e, int32_t site, CallFrame* out);
// Moves the values of a frame made for a call back into the stack slots and releases it.
[[nodiscard]] Status emitCallFrameRelease(Emitter* e, llvmapi::ValueRef frame);

// The argument kind mask of the n items of the argument array: per argument, in lane i mod 4
// (16 bits each), bit t for a tag t below 16, bit 2 for a Python int (18), bit 15 else; the
// arguments that share a lane OR into it. Cannot fail.
llvmapi::ValueRef argumentKindMask(Emitter* e, uint32_t n);
// The kind byte of a typed entry's int parameter that is a plain int (tag 18); kind byte 3
// (KnownKind::int_) is a checked int (tag 2). The low 4 bits are the known kind.
inline constexpr uint8_t kPlainIntKind = uint8_t(KnownKind::int_) | 0x10;
// The tag a typed entry's parameter of that kind byte has: bool 1, int 2, plain int 18,
// float 3, list 5; 0 for any other kind. Cannot fail.
uint64_t typedTagOf(uint8_t kind);
// The known kind of a typed entry's parameter of that kind byte. Cannot fail.
KnownKind typedKnownKind(uint8_t kind);
// The mask a typed entry of these n parameter kind bytes (bool, int, float, list) accepts in
// *mask: its lanes are those of the argument kind mask, but 5 for a plain int (kind byte
// kPlainIntKind). False when a kind has no typed form, or two arguments sharing a lane have
// different kinds. Cannot fail.
bool acceptedMask(const uint8_t* kinds, uint32_t n, uint64_t* mask);
// The mask the dispatch compares with the accepted one when n is at most 4: per argument the
// lane of its tag, 5 for a plain int (tag 18), so that an int fits only a parameter of its own
// tag. Cannot fail.
llvmapi::ValueRef fitMask(Emitter* e, uint32_t n);
// The typed-entry dispatch at the end of the current block ("start") of the generic entry of
// function id with n parameters; declared: the parameter kinds Language.types gives (null
// when none). Emitted when either the module is compiled for the running process (a profile
// counts the calls and calls wn_speculate at hot_calls; also for no parameters, whose typed
// entry takes no arguments) or the kinds are declared (the typed entry is asked for). Beyond
// four parameters the dispatch tests each argument against its lane. *generic: the block the
// generic entry continues in ("entry_generic", the builder is left there), or the current block
// when nothing was emitted. Needs the emitter's run context, outer frame, argument array and count,
// receiver pointer and result slot.
[[nodiscard]] Status emitTypedDispatch(Emitter* e, uint32_t id, uint32_t n,
                                       const KnownKind* declared, llvmapi::BasicBlockRef* generic);
// wn_speculate's work for function id, run under the interpreter lock: the profile parked,
// the kinds seen read and recorded as the function's typed-entry kinds, the typed entry
// compiled and loaded by compile (0 with *address, or -1 with a Python exception), then linked
// into the profile. Nothing is reported: any failure leaves the function on its generic
// entry for good (the Python exception cleared).
void speculate(Compiler* c, uint32_t id,
               int (*compile)(void* user, uint32_t typedId, uint64_t* address), void* user);

}  // namespace wuna::compile
namespace wuna::value {
struct RecordClass;
}
namespace wuna::compile {

// A record class of the semantic's module with a field of the name: the class description and
// the field's index.
struct FieldCandidate {
    value::RecordClass* cls;
    uint64_t index;
};
// The record classes among the values of fn.__globals__, in its order, with a field of the
// name (frozen ones left out when excludeFrozen). *out is an arena array of *count entries.
[[nodiscard]] Status recordClassesWithField(Compiler* c, PyObject* fn, front::Text name,
                                            bool excludeFrozen, FieldCandidate** out,
                                            uint64_t* count);
// The field read with class tests per candidate, wn_getattr behind them; *out dyn. The object
// is consumed unless borrowed.
[[nodiscard]] Status emitRecordField(Emitter* e, Semantic* s, Operand* object, front::Text name,
                                     const FieldCandidate* candidates, uint64_t count,
                                     bool borrowed, Shape* out);
// The address of field index of the record the payload points to. Cannot fail.
llvmapi::ValueRef recordFieldSlot(Emitter* e, llvmapi::ValueRef payload, uint64_t index);
// The class-description word of the record the payload points to. Cannot fail.
llvmapi::ValueRef loadRecordClass(Emitter* e, llvmapi::ValueRef payload);

// x[i]: folded when both are known, inline for lists and tuples with int indexes, else
// wn_getitem.
[[nodiscard]] Status emitGetItem(Emitter* e, Semantic* s, Shape* object, Shape* index,
                                 front::Position at, Shape* out);
// wn_getitem of the operands (both consumed); *out owned, unknown kind.
[[nodiscard]] Status emitGetItemGeneric(Emitter* e, Semantic* s, Operand* container, Operand* index,
                                        Operand* out);
// (flags & mask) != 0 for an i32 flags word. Cannot fail.
llvmapi::ValueRef emitFlagTest(Emitter* e, llvmapi::ValueRef flags, uint32_t mask);
[[nodiscard]] Status emitSetItem(Emitter* e, Semantic* s, Shape* object, Shape* index, Shape* value,
                                 front::Position at);
// Sets a key of a dict made while compiling (the old value released; a new key appended).
[[nodiscard]] Status setComptimeDictItem(Emitter* e, front::DictRecord* dict, Shape* key,
                                         Shape* value);
// "augmented assignment to a tuple" at the position; unsupported (outOfMemory when the text
// can't be written).
[[nodiscard]] Status augAssignTupleError(Compiler* c, const front::FunctionIR* f,
                                         front::Position at);
// The first key of keys equal to key as Python's dict would find it (ints, bools and integral
// floats across kinds; strs by bytes; nodes by index; Python objects by identity or ==).
// ok with *found, or pythonError (a failing ==).
[[nodiscard]] Status comptimeKeyIndex(const Shape* keys, uint64_t count, const Shape& key,
                                      uint64_t* index, bool* found);
// Whether a list or dict made while compiling may still be changed while compiling here
// (straight-line code since the body that holds it). Cannot fail.
bool mayChangeWhileCompiling(Emitter* e, Semantic* s, const Shape& container);
// Whether the value refers to the list (depth above 64 answers yes). Cannot fail.
bool refersTo(const Shape& value, const front::ListRecord* list, uint32_t depth);

// receiver.name(args, keywords). keywords/keywordValues may be null with keywordCount 0; every
// shape given is consumed.
[[nodiscard]] Status emitMethodCall(Emitter* e, Semantic* s, Shape* receiver, front::Text name,
                                    Shape* args, uint32_t count, const front::Keyword* keywords,
                                    uint32_t keywordCount, Shape* keywordValues, front::Position at,
                                    Shape* out);
// wn_call_method with the method's code; the receiver and the arguments consumed.
[[nodiscard]] Status emitCallMethod(Emitter* e, Semantic* s, Operand* receiver, front::Text name,
                                    Shape* args, uint32_t count, Operand* out);
// The method names compiled code passes to wn_call_method by number; other is any other name.
enum class MethodCode : int32_t {
    other = 0,
    add,
    discard,
    remove,
    pop,
    clear,
    copy,
    update,
    union_,
    intersection,
    difference,
    symmetricDifference,
    intersectionUpdate,
    differenceUpdate,
    symmetricDifferenceUpdate,
    issubset,
    issuperset,
    isdisjoint,
    find,
    rfind,
    count,
    index,
    rindex,
    startswith,
    endswith,
    partition,
    rpartition,
    replace,
    split,
    splitlines,
    join,
    strip,
    lstrip,
    rstrip,
    lower,
    upper,
    isupper,
    islower,
    isdigit,
    isalpha,
    isalnum,
    isspace,
    encode,
    decode,
    hex,
    get,
    extend,
    toBytes,
    isInteger
};
inline constexpr int32_t kMethodCodeCount = 49;
// The code of a method name (other for names not in the table). Cannot fail.
MethodCode methodCode(const char* name, size_t length);
// The plain Python function the class's MRO gives for the name (borrowed), or null (errors
// cleared).
PyObject* methodOfClass(PyObject* cls, const char* name, size_t length);

// isinstance(value, classes), value consumed.
[[nodiscard]] Status emitIsinstance(Emitter* e, Semantic* s, Shape* value, Shape* type,
                                    front::Position at, Shape* out);
// "isinstance() takes 2 arguments" at the position: unsupported or outOfMemory.
[[nodiscard]] Status isinstanceArityError(Emitter* e, Semantic* s, front::Position at);
// The bool of a run-time value tested against one builtin type (code of helpers::TypeCode);
// the operand consumed.
[[nodiscard]] Status emitTypeTest(Emitter* e, Operand* value, int32_t typeCode, Shape* out);
// len() inline for strs, bytes, lists, tuples and dicts; the operand is released.
[[nodiscard]] Status emitLen(Emitter* e, Semantic* s, PyObject* lenBuiltin, Operand* argument,
                             Operand* out);

// A 16-byte value slot in the entry block holding None. Cannot fail.
llvmapi::ValueRef newValueSlot(Emitter* e);
// The same, listed on the body so that its end and every error exit release it.
[[nodiscard]] Status newListedSlot(Emitter* e, Semantic* s, llvmapi::ValueRef* out);

// --- rt.parse (parsecall.cpp) ------------------------------------------------------------------

// rt.parse(grammar, text, start, recover) at its site, the four arguments placed (start None
// and recover False when not given). The grammar must be a parser known while compiling (a
// py shape), which is registered for wn_parse once per process and listed among the module's
// grammars; start a str constant or None; recover a bool constant. The text is consumed. The
// result is a dyn shape. ok; outOfMemory; unsupported with the compile error at the call;
// pythonError when preparing the parser failed (not a pargo parser, no grammar capsule, a
// capsule of another ABI).
[[nodiscard]] Status emitRtParse(Emitter* e, Semantic* s, const Shape& grammar, Shape* text,
                                 const Shape& start, const Shape& recover, front::Position at,
                                 Shape* out);

}  // namespace wuna::compile
