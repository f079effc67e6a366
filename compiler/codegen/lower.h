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
[[nodiscard]] Status emitRtCall(Emitter* e, Semantic* s, RtMethod method, Shape* args,
                                uint32_t count, Shape* receiver, front::Position at, Shape* out);

// --- program functions (functions.cpp) -------------------------------------------------------

// The code of function id (kTopLevel, a function node, or a typed entry) in the compiler's
// current module: what `emission.function` is.
[[nodiscard]] Status emitProgramFunction(Compiler* c, uint32_t id);
// The release both exits of a function perform.
[[nodiscard]] Status releaseLocals(Emitter* e);
// Defines the functions hoisted into the scope (function values made and stored).
[[nodiscard]] Status emitHoistedFunctions(Emitter* e, uint32_t scope);
// The function's parameter nodes (the children under the parameters label, or their "name"
// child where the analysis declares no symbol at the child). Arena list in *out.
[[nodiscard]] Status parameterNodes(Emitter* e, uint32_t functionNode, uint8_t label,
                                    backend::List<uint32_t>* out);

// --- node kinds from the language's types (nodekinds.cpp) -------------------------------------

// The declared kind of a node from Language.types, memoised per node: none for a node
// without a declared type, or of a type that has no kind.
KnownKind nodeKindMemo(Compiler* c, uint32_t node);

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
// Compiles a semantic or helper inline with its arguments bound to its parameters; more than
// 200 nested inline calls is a compile error.
[[nodiscard]] Status inlineHelper(Emitter* e, front::FunctionIR* function, front::StmtList body,
                                  int32_t site, Shape* args, uint32_t count, Shape* out);

// --- node fields and kinds (nodes.cpp) --------------------------------------------------------

[[nodiscard]] Status nodeFieldByName(Emitter* e, uint32_t node, uint8_t label, Shape* out);
[[nodiscard]] Status nodeFieldWhenCompiling(Emitter* e, uint32_t node, Shape* out);
// Runs out of memory -> outOfMemory (code 58), never an empty list.
[[nodiscard]] Status childWithLabel(Emitter* e, uint32_t node, uint8_t label,
                                    backend::List<uint32_t>* out);

// --- statements (statements.cpp, returns.cpp, locals.cpp, targets.cpp, analyses.cpp) ---------

// One open loop of a body (Semantic::loops, innermost last).
struct LoopEntry {
    llvmapi::BasicBlockRef breakBlock;
    llvmapi::BasicBlockRef continueBlock;
    uint64_t jumpDepth;       // the emitter's try-stack height when the loop began
    const void* unrollKey;    // an unrolled iteration: the loop's IR expression; else null
    uint32_t controlDepth;    // the body's run-time control-flow depth when pushed
    uint32_t tryDepth;        // the body's try depth when pushed
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
// Leaves the try statements above the target height: the finally code of each is compiled
// here; a handler of a try that still catches jumps may receive an rt jump (rtJump true,
// id its RtMethod, value the jump's operand or null). *caught: a handler received it.
[[nodiscard]] Status jumpOut(Emitter* e, uint64_t targetHeight, uint32_t id, bool rtJump,
                             const Operand* value, bool* caught);
// The run-time failure with a fixed text (wn_fail), then the error exit; the builder is left
// in a "dead" block.
[[nodiscard]] Status failWith(Emitter* e, int32_t site, const char* text, size_t length);
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
// The wuna module's class of a jump (tail_call, Return, Break, Continue), borrowed; null for
// any other id or when the module isn't imported (no error pending).
PyObject* jumpClassOf(RtMethod id);

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
// An import of a semantic executed while compiling; the imported object as a shape.
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
[[nodiscard]] Status emitGetItemGeneric(Emitter* e, Semantic* s, Operand* container,
                                        Operand* index, Operand* out);
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
                                    uint32_t keywordCount, Shape* keywordValues,
                                    front::Position at, Shape* out);
// wn_call_method with the method's code; the receiver and the arguments consumed.
[[nodiscard]] Status emitCallMethod(Emitter* e, Semantic* s, Operand* receiver, front::Text name,
                                    Shape* args, uint32_t count, Operand* out);
// The method names compiled code passes to wn_call_method by number; other is any other name.
enum class MethodCode : int32_t {
    other = 0, add, discard, remove, pop, clear, copy, update, union_, intersection, difference,
    symmetricDifference, intersectionUpdate, differenceUpdate, symmetricDifferenceUpdate,
    issubset, issuperset, isdisjoint, find, rfind, count, index, rindex, startswith, endswith,
    partition, rpartition, replace, split, splitlines, join, strip, lstrip, rstrip, lower, upper,
    isupper, islower, isdigit, isalpha, isalnum, isspace, encode, decode, hex, get, extend,
    toBytes, isInteger
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
