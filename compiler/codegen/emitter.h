// The emission toolkit: what every code generator emits LLVM code through.
//
// One Emitter is built on the stack for each LLVM function that code generation emits (a
// program function, a helper compiled out of line, a thunk) and lives until the function is
// finished (startFunction .. finishFunction). It carries the block builder, the function's
// parameters and exit blocks, its frame and scope bookkeeping, the open semantic bodies
// (Semantic) and try statements (TryEntry), and its modes. Nothing here keeps state between
// functions; everything module-wide lives in the Compiler (compiler/backend/compile.h).
//
// The open-block rule: before any instruction goes into the body, a current block that
// already ends in a terminator is left for a fresh block named "dead" that no branch reaches,
// so code after a jump is always well formed. Every operation here applies it; the entry
// builder (the allocas of the entry block) never does.
//
// Reference counts come in three grades (refcount): error paths call the exported helpers
// wn_incref/wn_decref; program functions and code inside run-time control flow call the
// always-inline wn_inc/wn_dec (an increment followed at once by the matching decrement is
// erased); straight-line top-level code tests the tag inline around blocks "rc"/"rc_done".
// Borrowed operands carry an i64 flag slot (BorrowFlag) that the emitted code moves between
// borrowed, owned and given up; the entry block initialises every flag to given up, so a path
// that never reaches the read has nothing to release.
//
// Every failure after a helper call goes through checkOk to errorExit, which builds (and
// caches, 64 entries) a chain of release blocks dropping exactly what the function holds at
// that point: live temporaries, the locals of open semantics, try-locals, and on the way out
// of a node's semantic inside a try the wn_exc_wrap call.
//
// Run-time addresses reach the module only as key globals ("<prefix>_k<N>", compile.h); a
// Python object is referred to by its index in the compiler's object list.
//
// Failure contract: operations return wuna::Status: ok; outOfMemory; unsupported with the
// compile-error text in the compiler's message buffer (a construct that can't be compiled, or
// a need recorded for the next attempt); pythonError with a Python exception pending. A helper
// name the module does not declare is a bug of the code generator and stops the process.
// Everything here runs under the Python interpreter lock, on the compiling thread.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compiler/backend/compile.h"
#include "compiler/backend/operand.h"
#include "compiler/front/planner.h"
#include "compiler/front/shape.h"

namespace wuna::front {
struct FunctionIR;
}

namespace wuna::compile {

struct LoopEntry;  // the statement lowering's

// --- body and try records ------------------------------------------------------------------

// The state of one local of a body being compiled.
enum class LocalState : uint8_t {
    empty = 0,     // no value yet
    comptime = 1,  // a value known while compiling: the shape
    slot = 2,      // a run-time value in a 16-byte value slot
    typedSlot = 3  // a run-time value in a slot of a typed local
};

struct LocalRecord {
    Shape shape;             // state comptime: the value
    llvmapi::ValueRef slot;  // states slot and typedSlot: the 16-byte value slot
    KnownKind kind;          // states slot and typedSlot: what is known of the value
    LocalState state;
    uint8_t noRelease;  // bit 0: the slot is not this body's to release
};

// The compile-time state of one function body being compiled: a program function's
// semantic, a helper compiled out of line, or a Python function inlined at its call.
struct Semantic {
    front::FunctionIR* function;  // the front result
    Shape* arguments;
    uint32_t argumentCount;
    LocalRecord* locals;
    uint32_t localCount;
    Shape result;  // the compile-time result, when resultSet
    uint8_t resultSet;
    uint8_t resultSlotMade;
    llvmapi::ValueRef resultSlot;        // made for a return inside run-time control flow
    llvmapi::BasicBlockRef returnBlock;  // "ret"
    backend::List<LoopEntry*> loops;
    backend::List<llvmapi::ValueRef> handlers;    // slots of the open except handlers
    backend::List<Shape> tracked;                 // lists and dicts this body may have to release
    backend::List<llvmapi::ValueRef> extraSlots;  // value slots released with the body
    llvmapi::ValueRef frame;                      // the body's heap frame, when hasFrame
    uint8_t hasFrame;
    uint8_t environmentKnown;
    llvmapi::ValueRef environment;
    int32_t site;                   // the site argument of every helper the body's code calls
    uint32_t controlDepth;          // run-time control-flow depth inside the body
    uint32_t openedAtControlDepth;  // the emitter's run-time control-flow depth at the start
    uint32_t tryDepth;
    uint32_t runTimeReturns;
    uint8_t ended;  // a top-level return or raise was compiled
    uint8_t unrolledContinue;
    uint8_t jumped;    // the body must stop
    uint8_t semantic;  // the body is a node's semantic
};

// A new body record in the compiler's arena with localCount empty locals and the site. Null
// when memory runs out.
Semantic* newSemantic(Compiler* c, front::FunctionIR* function, uint32_t localCount, int32_t site);
// Frees the body's growable lists (the record itself stays in the arena). Cannot fail.
void endSemantic(Semantic* s);

// Jumps of the interpreted language a try can catch, in the order of TryEntry::jumpHandlers.
enum class JumpClass : uint8_t { return_ = 0, break_ = 1, continue_ = 2, tailCall = 3 };
inline constexpr uint32_t kJumpClassCount = 4;

struct JumpHandler {
    uint64_t index;  // the first handler that catches the jump
    uint8_t present;
};

// One try statement being compiled.
struct TryEntry {
    Semantic* owner;
    uint64_t semanticCount;    // open semantics when the try began
    uint64_t blockScopeDepth;  // scope-stack height when the try began
    const front::Stmt* const* finallyStatements;
    uint64_t finallyCount;
    backend::List<uint32_t> tryLocals;  // locals changed only inside the body
    llvmapi::BasicBlockRef exceptBlock;
    llvmapi::BasicBlockRef savedErrorTarget;
    uint64_t savedErrorSemanticDepth;
    uint64_t savedErrorReleaseMark;
    backend::List<llvmapi::BasicBlockRef> handlerBlocks;
    backend::List<llvmapi::ValueRef> handlerSlots;
    backend::List<uint8_t> compiledJumps;
    // Per handler: null, or the i64 slot that says which rt jump the handler received as an
    // exception object (its RtMethod id; 0 for a failure), read by a bare raise in its body.
    backend::List<llvmapi::ValueRef> jumpFlags;
    JumpHandler jumpHandlers[kJumpClassCount];
    // Null, or (the handler catching TailCall has a bare raise) three value slots listed with
    // the owner where the caught pending call waits (callee, args, receiver) until the raise
    // issues it again; the handler's end and the owner's exits drop what they still hold.
    llvmapi::ValueRef tailSlots[3];
    uint8_t catchesJumps;  // 1 while the body is compiled
};

// A handler whose body is being compiled, for a bare raise in it: the slot of the exception it
// caught, and, when it may have received an rt jump as an exception object, the slot of that
// jump's RtMethod id (TryEntry::jumpFlags) and the JumpClass bits of the jumps it catches, so
// that the raise issues such a jump again as the jump it is.
struct CaughtSlot {
    llvmapi::ValueRef slot;
    llvmapi::ValueRef jumpFlag;          // null: the slot holds a failure
    uint8_t jumps;                       // bit k: JumpClass k
    const llvmapi::ValueRef* tailSlots;  // TryEntry::tailSlots of a TailCall handler, or null
};

// A new try record in the compiler's arena, or null. endTry frees its lists.
TryEntry* newTry(Compiler* c, Semantic* owner);
void endTry(TryEntry* t);

// --- the emitter ---------------------------------------------------------------------------

// A read of a program variable into a borrowed operand.
struct BorrowRecord {
    llvmapi::ValueRef flag;  // i64 slot holding a BorrowFlag
    llvmapi::ValueRef copy;  // 16-byte slot holding the value as read
    uint32_t symbol;         // the analysis' symbol of the variable
};

struct BorrowedParameter {
    llvmapi::ValueRef slot;
    llvmapi::ValueRef flag;
};

struct TypedLocal {
    llvmapi::ValueRef slot;  // 16-byte value slot; entry k mirrors own-frame slot k
    uint8_t live;
};

struct RtLoopEntry {
    llvmapi::BasicBlockRef breakBlock;
    llvmapi::BasicBlockRef continueBlock;
    uint64_t semantics;
    uint64_t scopeDepth;
    uint64_t tryHeight;
};

struct ScopeEntry {
    llvmapi::ValueRef frameSlot;  // the slot holding the block scope's frame pointer
    uint32_t scope;
};

// A cached error-release block: the key words (owned) and the block.
struct ErrorBlock {
    uint64_t* key;
    size_t length;
    llvmapi::BasicBlockRef block;
};
inline constexpr size_t kErrorBlockCache = 64;

// The mode bytes of an emitter.
struct EmitterModes {
    uint8_t jumpsAsFailures;
    uint8_t jumpsAsStatus;
    uint8_t runtimeFrameLookup;
    uint8_t typedEntry;
    uint8_t localsSpilled;
    uint8_t semanticFlag;  // copied into the next Semantic opened, then cleared
    uint8_t helperSpecialisation;
};

// The last wn_inc call emitted, for cancelling against an immediately following wn_dec.
struct PendingIncrement {
    llvmapi::ValueRef call;
    llvmapi::ValueRef tag;
    llvmapi::ValueRef payload;
    uint8_t set;
};

// Reserved site and scope numbers: values a helper compiled out of line receives.
inline constexpr int32_t kCallScopeSite = -4;
inline constexpr int32_t kCallSiteSite = -3;

// The function id (scope id) of the top level and of helpers compiled out of line.
inline constexpr uint32_t kNoFunctionScope = 0xFFFFFFFFu;

struct Emitter {
    uint64_t errorSemanticDepth;
    uint64_t functionIdentity;  // hash of the function id, or of a helper's symbol
    Layout* layout;
    uint64_t helperScopeDepth;
    llvmapi::ValueRef resultPointer;
    llvmapi::ValueRef runContext;  // parameter 0
    PendingIncrement pending;
    llvmapi::ValueRef outerFrame;
    llvmapi::ValueRef argumentArray;
    llvmapi::ValueRef receiverPointer;
    llvmapi::ValueRef resultSlot;
    llvmapi::ValueRef ownFrame;
    uint8_t hasOwnFrame;
    backend::List<llvmapi::ValueRef> localSlots;
    llvmapi::ValueRef argumentCount;
    backend::U64Map<llvmapi::BasicBlockRef> leavesSemantic;  // next block -> its wrap block
    backend::List<BorrowRecord> borrows;
    backend::List<BorrowedParameter> borrowedParameters;
    backend::List<TypedLocal> typedLocals;
    uint8_t hadTypedLocals;
    backend::List<Shape> temporaries;  // live temporaries
    llvmapi::ValueRef location;        // the call-stack depth of a typed entry, or null
    llvmapi::ValueRef receiverSlot;
    llvmapi::ValueRef extraArgumentsSlot;
    llvmapi::ValueRef scratch;  // 16-byte value slot for helper results
    llvmapi::BasicBlockRef errorTarget;
    Builder builder;
    Compiler* compiler;
    llvmapi::ValueRef globalFrame;
    llvmapi::ValueRef callScope;  // what site/scope -4 stands for
    uint64_t errorReleaseMark;
    llvmapi::BasicBlockRef returnBlock;
    backend::List<RtLoopEntry> rtLoops;
    backend::List<TryEntry*> tries;
    backend::List<CaughtSlot> caughtSlots;
    backend::List<Semantic*> semantics;  // outermost first
    backend::List<ErrorBlock> errorBlocks;
    backend::List<ScopeEntry> scopes;
    llvmapi::ValueRef callSite;  // what site -3 stands for
    const Semantic* specialisationOrigin;
    uint32_t controlDepth;      // run-time control-flow depth
    uint32_t errorPathDepth;    // above 0 while error-release code is emitted
    uint32_t strictSuppressed;  // strict refusals are suspended while above 0
    front::Position position;
    uint32_t unrollDepth;
    uint32_t scopeId;  // kNoFunctionScope for the top level and out-of-line helpers
    EmitterModes modes;
    // The call planner's record of the calls being inlined into this function (innermost
    // last) and of the helpers' inlined sites; freed by finishFunction.
    InlineState inlining;
    // The value slot the bridge writes a semantic's value (or a returned value) into, made
    // on first use; kept apart from the result slot, whose content is the function's result.
    llvmapi::ValueRef pyOut;
    // Bit i: scopes[i] is a captured block scope whose frame the node-running code made itself
    // (and releases on every way out).
    uint64_t frameScopesMade;
    // Raised by the expression lowering around each out-of-line helper call it makes (the
    // call then gets a frame of its own when the function has none); 0 everywhere else.
    uint32_t outOfLineNesting;
    // The emitter of a helper compiled out of line: the Python function on whose behalf its
    // specialisation was made (borrowed), the origin of the specialisations it asks for.
    PyObject* helperOrigin;
    // The compiled entry of a Python function with free variables: the function (borrowed)
    // and the payload of the function object the entry was given, from whose cells the
    // entry's reading reads its free variables at run time (wn_cell). Null elsewhere.
    PyObject* cellFunction;
    llvmapi::ValueRef cellOwner;
};

// Readies e for emitting into fn: blocks "entry" and "start" (unnumbered), an entry builder
// in "entry", the body builder in "start" (the current block), the scratch slot. The creator
// then sets the run context, the other parameters, the error target and the return block.
// scopeId: the function's scope node, or kNoFunctionScope. ok or outOfMemory.
Status startFunction(Emitter* e, Compiler* c, llvmapi::ValueRef fn, uint32_t scopeId);
// Ends the entry block with its branch to "start", ends every open block with unreachable,
// disposes the builders and frees the emitter's lists. Cannot fail.
void finishFunction(Emitter* e);

// --- builder (open-block rule applied before every instruction) ------------------------------

// Moves to a fresh "dead" block when the current one already ends in a terminator.
void openBlock(Builder* b);
void br(Builder* b, llvmapi::BasicBlockRef target);
void condBr(Builder* b, llvmapi::ValueRef condition, llvmapi::BasicBlockRef then,
            llvmapi::BasicBlockRef otherwise);
llvmapi::ValueRef icmp(Builder* b, llvmapi::IntPredicate predicate, llvmapi::ValueRef left,
                       llvmapi::ValueRef right);
// Falls through into block (a branch unless the current block is terminated), then emits
// there.
void enter(Builder* b, llvmapi::BasicBlockRef block);
// The call of a helper or module-local function by name (open-block rule, then compile::call).
llvmapi::ValueRef callNamed(Builder* b, const char* name, llvmapi::ValueRef* args, unsigned count);

// i64 / i32 constants of the module.
llvmapi::ValueRef constI64(const Emitter* e, uint64_t value);
llvmapi::ValueRef constI32(const Emitter* e, int32_t value);
// The run-time site value of a site number (-4, -3 or a constant).
llvmapi::ValueRef siteValue(const Emitter* e, int32_t site);
// A new 16-byte value slot in the entry block (not initialised).
llvmapi::ValueRef valueSlot(Emitter* e);
// An i64 load and store at an address (alignment 8), and the address of a value slot's
// payload word.
llvmapi::ValueRef loadWord(Emitter* e, llvmapi::ValueRef address);
void storeWord(Emitter* e, llvmapi::ValueRef value, llvmapi::ValueRef address);
llvmapi::ValueRef slotPayload(Emitter* e, llvmapi::ValueRef slot);

// --- operands (6.101) ----------------------------------------------------------------------

// Loads a 16-byte value slot as an operand without a borrow flag. Cannot fail.
Operand loadOperand(Emitter* e, llvmapi::ValueRef slot, KnownKind kind);
// An operand of constants, no slot, no flag.
Operand constantOperand(Emitter* e, uint64_t tag, uint64_t payload, KnownKind kind);
Shape dynShape(const Operand& o);
// One more reference for a consumer that keeps the value while the operand keeps its own.
Status addReference(Emitter* e, Operand* o);

// --- ownership and reference counts (6.102) -------------------------------------------------

enum class RefMode : uint8_t { increment = 0, decrement = 1 };

// Counted tags: below 32 with their bit set here (4-10, 13-17, 19).
inline constexpr uint64_t kCountedTagMask = 0xBE7F0;
// A symbol gets at most this many borrow records in one function.
inline constexpr uint32_t kBorrowsPerSymbol = 16;

Status refcount(Emitter* e, RefMode mode, llvmapi::ValueRef tag, llvmapi::ValueRef payload);
Status takeOwnership(Emitter* e, Operand* o);
Status storeOperand(Emitter* e, llvmapi::ValueRef slot, Operand* o);
Status release(Emitter* e, const Shape& shape);
Status releaseSlot(Emitter* e, llvmapi::ValueRef slot);
Status releaseSlots(Emitter* e, llvmapi::ValueRef array, uint64_t n);
Status ownCopy(Emitter* e, const Shape& shape, Shape* out);
// True for a dyn shape whose kind may be counted, and a tuple holding one. Cannot fail.
bool mayHoldReference(const Shape& shape);
// A borrowed operand of a program variable's value as read now: a flag slot (given up in the
// entry block, borrowed here), a copy slot holding the value, and a borrow record. ok or
// outOfMemory.
Status borrowOperand(Emitter* e, const Operand& value, uint32_t symbol, Operand* out);
// The symbol's borrow records take their own references (before the variable is stored).
Status ownBorrowsOf(Emitter* e, uint32_t symbol);
// Every borrow record of a global-scope variable takes its own reference.
Status ownGlobalBorrows(Emitter* e);

// --- materializing compile-time values (6.103) ---------------------------------------------

Status materialize(Emitter* e, const Shape& shape, int32_t node, Operand* out);
Status literalGlobal(ModuleRecord* m, const char* text, size_t length, llvmapi::ValueRef* out);
// An entry-block array of max(n, 1) value pairs holding the materialized shapes (owned).
Status valueArray(Emitter* e, const Shape* shapes, uint64_t n, int32_t node,
                  llvmapi::ValueRef* out);
Status buildContainer(Emitter* e, const char* helper, const Shape* shapes, uint64_t n, int32_t node,
                      KnownKind kind, Operand* out);
Status dictLiteral(Emitter* e, front::DictRecord* dict, int32_t node, Operand* out);

// --- error exits (6.104) -------------------------------------------------------------------

// Branches to a new "ok" block when ok is true, else to this point's error exit.
Status checkOk(Emitter* e, llvmapi::ValueRef ok);
// The first block of the error path of the current point; the builder stays where it is.
Status errorExit(Emitter* e, llvmapi::BasicBlockRef* out);
// A release block for the semantic's locals (all, or the listed ones) leading to next.
Status scopeErrorBlock(Emitter* e, Semantic* s, const uint32_t* list, size_t listCount,
                       llvmapi::BasicBlockRef next, llvmapi::BasicBlockRef* out);
// Appends the release description of a shape to a key (depth levels). ok or outOfMemory.
Status appendReleaseKey(Emitter* e, backend::List<uint64_t>* key, const Semantic* s,
                        const Shape& shape, uint32_t depth);
// Whether nothing still holds the compile-time list (it may be dropped). Cannot fail.
bool containerUnheld(const Emitter* e, const front::ListRecord* list);

// --- compile-time containers, scope release, recompilation signals (6.105) ------------------

// The key of a container made at run time: where it is created, in which function.
struct EscapedSite {
    const void* site;
    uint64_t function;
    int32_t index;
};
// The language's set of containers made at run time (owned by its compile inputs).
struct EscapedSites {
    backend::List<EscapedSite> keys;
};
inline constexpr uint32_t kContainerDepth = 4;
inline constexpr int64_t kNotEscaped = -1;

// A list's run-time mark and a dict's (the records' made-at-run-time bytes).
bool madeAtRunTime(const Shape& container);

bool contains(const Shape& shape, const void* record, uint32_t depth);
bool walkHeld(Semantic* const* semantics, size_t count, const void* record);
Status dropContainer(Emitter* e, Semantic* s, front::ListRecord* list, bool* dropped);
Status substitute(Emitter* e, Shape* shape, const void* record, const Operand& o, uint32_t depth);
Status escape(Emitter* e, const Shape& container, const Operand& o);
Status currentFrame(Emitter* e, llvmapi::ValueRef* out);
void spillLocals(Emitter* e);
// Releases what the scope's locals hold on the path being compiled (a return, a jump, an
// error exit): the lists its locals hold stay the other paths' to give back.
Status releaseScope(Emitter* e, Semantic* s);
// The same where the scope ends on every path at once (a helper inlined without returns in
// run-time control flow): its lists are settled, never given back again.
Status endScope(Emitter* e, Semantic* s);
// Settles the scope's lists without code, once every path out of it released them.
Status settleScope(Emitter* e, Semantic* s);
Status releaseLocal(Emitter* e, Semantic* s, uint32_t index);
// The key's index in the set, or kNotEscaped. Cannot fail.
int64_t escapedSiteIndex(const EscapedSites* set, const EscapedSite& key);

// --- constants from Python objects (6.106) ---------------------------------------------------

inline constexpr int kComptimeDepth = 64;

Status adoptedContainer(Emitter* e, PyObject* object, KnownKind kind, Operand* out);
Status comptimeResult(Emitter* e, PyObject* object, KnownKind kind, Operand* out);
// The native value of a comptime result, immortal. ok with *tag/*payload, outOfMemory, or
// pythonError.
Status comptimeConstant(PyObject* object, int depth, uint64_t* tag, uint64_t* payload);
void comptimeDepthError(PyObject* cls);

// --- runtime helper calls and key globals (6.150) ---------------------------------------------

// The call of a runtime helper: the call-stack depth stored first; before a helper that may
// run program code, every live borrow of a global-scope variable takes its own reference (the
// program may rebind the global and drop the value the borrow reads); after calls that may
// have changed the typed locals through the frame, the locals reloaded. ok with *out (may be
// null) the call's value, or outOfMemory.
Status callHelper(Emitter* e, const char* name, llvmapi::ValueRef* args, unsigned count,
                  llvmapi::ValueRef* out);
void storeLocation(Emitter* e);
void reloadLocals(Emitter* e);
// The i64 that helpers receive for object #index. ok or outOfMemory.
Status objectConstant(Emitter* e, uint32_t index, llvmapi::ValueRef* out);
// Whether the helper may run program code (a call of a value, a Python function, a semantic).
bool mayRunProgramCode(const char* name);

struct IntBits {
    uint64_t low;
    int64_t high;
    bool ok;
};
// The low and high words of a Python int of up to 128 bits; ok false otherwise (no error).
IntBits intBits(PyObject* object);

// --- compile-error messages and strict refusals (6.151) --------------------------------------

// 0, or unsupported with the "strict: uses" text written (strict language, not suppressed).
Status checkStrictValue(Emitter* e, const char* name, size_t length);
Status writeStrictUsesValue(backend::List<char>* message, const char* name, size_t length);
Status writeStrictPythonCall(backend::List<char>* message, const char* name, size_t length);
Status writeStrictHostCall(backend::List<char>* message, const char* name, size_t length);
// The message prefix of the construct being compiled (innermost body, current position);
// clears the buffer. ok or outOfMemory.
Status beginConstructError(Emitter* e);
// Display names: __qualname__, else __name__, else "a " and the type's __name__ (objectName);
// __name__ or "" (pyName). Texts in the compiler's arena; ok or outOfMemory.
Status objectName(Emitter* e, PyObject* object, front::Text* out);
Status pyName(Compiler* c, PyObject* object, front::Text* out);

}  // namespace wuna::compile
