// The compiler core: the state of compiling one program into native code, one LLVM module at
// a time, and the operations every code generator and driver leans on.
//
// A Compiler lives inside a module state (driver::Compiled) for as long as it. It owns the
// current LLVM module (ModuleRecord: the context, the module, the basic types, every function
// declared in it, its key globals) until the driver hands that module to the code engine; from
// then on the engine owns module and context, and the handed-over flag keeps this side from
// disposing them. newModule starts the next module: a fresh context and module with the 94
// runtime helpers, the overflow intrinsics and the inline reference-count functions wn_inc and
// wn_dec declared (the helper table of runtime/helpers/table.h is the one source of the helper
// names and signatures).
//
// Program functions are named by u32 function ids (the index of their function node in the
// program's parse tree; kTopLevel for the top level; kTypedEntryBit set asks for the typed
// entry). functionCode queues a function for emission once per compiler, across modules: the
// requested set outlives modules, so a function compiled and loaded in an earlier module is
// called through its exported symbol instead of being compiled again. What an attempt added
// since the checkpoint (taken by newModule) is rolled back by forgetModule when the attempt
// fails.
//
// The compile loop (runLoop) is the fixed protocol by which a driver turns one request into a
// finished module: start a module, ask for the entry, drain the worklists, and on an
// unsupported construct compile again from the start when an emitter recorded what the next
// attempt must do differently (the retry flag) or when a function needs heap frames
// (retryWithFrames). An attempt that asks for a retry without recording anything new ends the
// loop with a CompileError at once: the next attempt would compile the same module again.
//
// Layouts (Layout) say which variables of a scope sit in which frame slot and whether the
// scope keeps them in a heap frame; markFrames gives a function and the block scopes inside it
// heap frames together.
//
// Results are wuna::Status: ok, outOfMemory, unsupported (the reason in the message buffer),
// pythonError (a Python exception pending). Nothing here takes a lock: a compiler is
// used only by the thread that holds the interpreter lock.
#pragma once
#include <cstddef>
#include <cstdint>

#include "compiler/backend/containers.h"
#include "compiler/backend/llvmapi.h"
#include "wuna/runtime/status.h"

namespace wuna::ptree {
struct Index;
}

namespace wuna::front {
struct Cache;
struct Stmt;
}  // namespace wuna::front

namespace wuna::arena {
struct Arena;
}

namespace wuna::driver {
struct CompileInputs;
}

namespace wuna::helpers {
struct EntryProfile;
}

namespace wuna::compile {

using llvmapi::BasicBlockRef;
using llvmapi::BuilderRef;
using llvmapi::ContextRef;
using llvmapi::ModuleRef;
using llvmapi::TypeRef;
using llvmapi::ValueRef;

using wuna::Status;

inline constexpr uint32_t kTopLevel = 0xFFFFFFFFu;
inline constexpr uint32_t kTypedEntryBit = 0x40000000u;
inline constexpr uint32_t kGlobalScope = 0xFFFFFFFFu;
inline constexpr uint32_t kNoScope = 0xFFFFFFFFu;

// Flags of declareFunction.
enum DeclareFlags : uint32_t { DeclareExported = 1u };

// The module-size measure above which an optimizing level is lowered by one.
inline constexpr uint64_t kLargeModule = 10000;

// The module-size measure above which wn_inc and wn_dec are left out of line (inlineCounting).
inline constexpr uint64_t kInlineCountingBlocks = 2000;

// A declared function and its type.
struct FunctionRef {
    ValueRef function;
    TypeRef type;
};

// An entry of the declared list: an owned copy of the name (no NUL) and the function.
struct Declared {
    char* name;
    size_t length;
    ValueRef function;
};

// An entry of a module's symbol table: a key global's name (owned, NUL-terminated) and the
// address the engine is to give it.
struct KeySymbol {
    char* name;
    size_t length;
    uint64_t address;
};

// The part of the compiler that belongs to the current LLVM module.
struct ModuleRecord {
    ContextRef context;
    ModuleRef module;  // named "wuna"
    TypeRef i1, i8, i32, i64, f64;
    TypeRef ptr;  // address space 0
    TypeRef voidType;
    TypeRef valuePair;     // {i64, i64}: a runtime value (tag, payload)
    TypeRef checkedPair;   // {i64, i1}: an overflow intrinsic's result
    backend::Text prefix;  // the module state's symbol prefix; kept across modules
    backend::TextMap<ValueRef> literals;
    // Every function declared in the module, the runtime helpers included. The key texts are
    // owned copies (no NUL); LLVM was given a second, NUL-terminated copy.
    backend::TextMap<FunctionRef> functions;
    uint64_t blockCount;               // numbered blocks made: the module's size measure
    backend::List<Declared> declared;  // declareFunction's functions, in order (not the helpers)
    backend::U64Map<ValueRef> keys;    // key -> its key global
    backend::List<KeySymbol> symbols;  // the key globals' names and addresses, in creation order
    uint32_t* keyCounter;              // the compiler's, so key names stay unique across modules
    void* keyOrigins;                  // the ahead-of-time build's origin map; null otherwise
    uint8_t handedOver;                // the engine owns module and context
};

struct HelperSpec;    // spec.h
struct HelperSite;    // compiler/codegen/lower.h
struct EscapedSites;  // compiler/codegen/emitter.h

// The argument kinds of a typed entry.
struct TypedEntry {
    uint8_t* kinds;  // owned
    uint32_t count;
};

// A Python function compiled out of line (a helper specialisation, a function compiled on
// demand), as the perf map labels it: its symbol, and when the front end read it, its
// __qualname__, its source file and first line.
struct OutOfLine {
    char* symbol;    // owned, NUL-terminated
    char* qualname;  // owned, or null when there is no front-end result
    char* file;      // owned (co_filename), or null
    uint32_t firstLine;
};

// What became of a module variable compiled code read: its name and the decision, both
// owned UTF-8 texts without NUL.
struct ModuleStateNote {
    char* name;
    size_t nameLength;
    char* text;
    size_t textLength;
};

// A module variable turned into native state: the tag and address of its run-time container.
struct NativeState {
    uint64_t tag;
    uint64_t key;
};

// A scope's frame layout.
struct Layout {
    backend::List<uint32_t> slots;  // the analysis' symbol index of the variable in each slot
    uint8_t heapFrame;              // the variables live in a heap frame
};

struct Compiler {
    const ptree::Index* tree;  // the program's tree (node kinds and parents); may be null
    ModuleRecord module;
    backend::U32Set requested;           // function ids whose code was asked for, in any module
    backend::List<uint32_t> worklist;    // asked for and not emitted yet; taken from the end
    FunctionRef overflow[3];             // llvm.sadd/ssub/smul.with.overflow on i64
    const void* failedHelper;            // origin of the first failed specialisation of an attempt
    backend::List<uint32_t> recent;      // ids added to the requested set since the checkpoint
    backend::List<HelperSpec*> helpers;  // every specialisation, in creation order
    uint64_t declaredCheckpoint;
    void* keyOrigins;  // ahead-of-time builds only
    backend::U32Map<TypedEntry> typedEntries;
    backend::U32Map<uint8_t> nodeKinds;  // node -> its kind from Language.types (0x80: known)
    backend::TextMap<HelperSpec*> helperNames;  // keys: the specs' own symbol texts
    backend::List<HelperSpec*> helperWorklist;
    uint64_t helperCheckpoint;
    uint32_t keyCounter;
    uint32_t thunkCounter;
    uint8_t retry;  // an emitter needs the module compiled again
    uint8_t keepModule;
    uint8_t keepCheckpoint;
    // Frames.
    backend::U32Map<Layout*> layouts;  // scope id -> layout; kGlobalScope the global scope
    uint8_t allFrames;                 // every new layout starts with a heap frame
    uint8_t frameNeeded;
    uint32_t frameNeededScope;
    // Every function name declared in any module of this compiler (owned texts, in the order
    // first declared), for the perf map.
    backend::TextMap<uint8_t> nameSet;
    backend::List<backend::Text> names;
    backend::List<OutOfLine> outOfLine;
    // Needs recorded by emitters for the next attempt; the compile loop's progress measure.
    uint64_t needs;
    // The compile-error text of the current attempt (UTF-8, no NUL).
    backend::List<char> message;
    // The language's readings of Python functions (front::frontOf); null when the compiler
    // serves no language.
    front::Cache* frontCache;
    // What the compiler knows of values (compiler/front/shape.h). The arena holds texts, shape
    // arrays and records for as long as the compiler (made on first use). The object list
    // holds one reference to each Python object compiled code refers to, without duplicates
    // (objectIndex: address -> index). held: the references that records of compile-time
    // containers keep to their Python sources.
    arena::Arena* arena;
    backend::List<PyObject*> objects;
    backend::U64Map<uint32_t> objectIndex;
    backend::List<PyObject*> held;
    // The grammars compiled code's rt.parse uses: object-list indexes, each once, for the
    // ahead-of-time build to give a standalone program their images.
    backend::List<uint32_t> parseGrammars;
    PyObject* i64Type;  // the module's I64 (borrowed: the module outlives compilers), or null
    uint8_t strict;     // the language is strict: compiled code never calls Python
    // The makes-jumps analysis (front/jumps.h): settled answers by the address of a reading,
    // the readings being analysed now with their markers (the depth at entry plus 1), settled
    // method searches by "<namespace address in hex>:<name>" (owned keys), how many analyses
    // run one inside another, and the lowest marker of an open reading the current walk met.
    backend::U64Map<uint8_t> jumpsDone;
    backend::U64Map<uint32_t> jumpsOpen;
    backend::TextMap<uint8_t> methodJumps;
    uint32_t jumpDepth;
    uint32_t jumpLow;
    // The call planner (front/planner.h), by the address of a reading: whether the function
    // surely raises (alwaysRaises), and its guard body (a one-statement if in the arena; null
    // when the function has none).
    backend::U64Map<uint8_t> raisesMemo;
    backend::U64Map<const front::Stmt*> guardMemo;
    // The language's containers made at run time (compiler/codegen/emitter.h), or null.
    EscapedSites* escapedSites;
    // Program generation (driver::generateProgram). inputs: what the language and the program
    // give (borrowed), null in a compiler that generates no program. failingSemantic: the
    // Python semantic being compiled when the attempt failed (borrowed; set when unset), for
    // the retry that runs it as Python. slots: analysis symbol -> its frame slot.
    // callsPython: the module's code runs semantics as Python (read by the runners).
    // allFramesAttempt: this attempt gives every scope a heap frame.
    const driver::CompileInputs* inputs;
    PyObject* failingSemantic;
    backend::U32Map<uint32_t> slots;
    uint8_t callsPython;
    uint8_t allFramesAttempt;
    // Variables (compiler/codegen/variables.cpp, frames.cpp, globals.cpp), for one module
    // compilation: per symbol, whether the variable is set before every read (1) or not (0);
    // per symbol, the function node of every value stored into it so far (-1 once two stores
    // disagree); the parent-scope table of frame-walking code (one u64 per node, in the
    // arena: the loaded code reads it); the module variables compiled code read and what
    // became of each (Program.report()["module_state"]); and the module variables turned
    // into native state.
    backend::U32Map<uint8_t> setBeforeRead;
    backend::U32Map<int32_t> storedFunctions;
    uint64_t* parentScopes;
    backend::List<ModuleStateNote> moduleState;
    backend::List<NativeState> nativeState;
    // Adaptation at run time (compiler/codegen/typedentries.cpp, outofline.cpp): the entry
    // profile of each function id (in the arena; a later emission replaces the entry), the
    // specialisable out-of-line call sites (in the arena; a site's index is its number for
    // wn_specialize), the blocks emitted for helper specialisations so far, and how many
    // specialisations wn_specialize made.
    backend::U32Map<helpers::EntryProfile*> profiles;
    backend::List<HelperSite*> sites;
    uint64_t specialisationBlocks;
    uint64_t runtimeSpecialisations;
};

// The block-building record of the function being emitted (as far as this core uses it).
struct Builder {
    ModuleRecord* module;
    ValueRef function;
    BuilderRef entryBuilder;
    BuilderRef builder;
    BasicBlockRef current;  // kept by the toolkit's builder operations; may be null here
    backend::List<BasicBlockRef> blocks;
    uint32_t blockNumber;
    BasicBlockRef entry;  // "entry": the allocas (the toolkit's functions)
    BasicBlockRef start;  // "start": the first body block
};

// Readies a compiler in place for a program tree (may be null) and a symbol prefix (copied
// by reference: the prefix must live as long as the compiler). No module yet: newModule
// makes the first.
void init(Compiler* c, const ptree::Index* tree, const char* prefix, size_t prefixLength);

// Frees everything the compiler owns: its module (unless handed over), names, layouts,
// specialisation records and tables, its arena, and the references of its object and held
// lists (then it needs the interpreter lock).
void release(Compiler* c);

// --- compile-time memory and objects (objects.cpp) -----------------------------------------

// size bytes of the compiler's arena, 8-aligned and zeroed; null when memory runs out.
void* take(Compiler* c, size_t size);

// count items of T from the arena (zeroed), or null.
template <typename T>
T* takeArray(Compiler* c, size_t count) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(take(c, count ? count * sizeof(T) : 1));
}

// The object's index in the object list, appended with one new reference when absent. ok with
// *index set (index may be null), or outOfMemory (nothing kept).
Status pinObject(Compiler* c, PyObject* object, uint32_t* index);

// Keeps one new reference to the object until the compiler is released. ok or outOfMemory
// (nothing kept).
Status holdObject(Compiler* c, PyObject* object);

// Starts the next attempt's module. ok or outOfMemory.
Status newModule(Compiler* c);

// Declares a function by name once per module: the entry already there (whatever types are
// given now), else a new function of that type, internal unless flags has DeclareExported,
// with "noimplicitfloat". ok with *out set, or outOfMemory.
Status declareFunction(ModuleRecord* m, const char* name, size_t length, TypeRef result,
                       TypeRef* params, unsigned count, uint32_t flags, FunctionRef* out);

// The LLVM function of a program function, typed entry or the top level, declared (exported)
// on first use. ok with *out set, or outOfMemory.
Status llvmFunction(Compiler* c, uint32_t id, FunctionRef* out);

// llvmFunction, with the function's code asked for (queued once per compiler).
Status functionCode(Compiler* c, uint32_t id, FunctionRef* out);

// Appends prefix, "_f" (functionSymbol) or "_t" (typedEntrySymbol) and the id (bit 30 left
// out) in decimal. ok or outOfMemory.
Status functionSymbol(backend::List<char>* writer, backend::Text prefix, uint32_t id);
Status typedEntrySymbol(backend::List<char>* writer, backend::Text prefix, uint32_t id);

// Appends a numbered block ("<name><n>", or "b" when that does not fit 64 bytes). ok with
// *out set, or outOfMemory.
Status newBlock(Builder* b, const char* name, BasicBlockRef* out);

// Calls a function of the module's function map by name with args. A name the module does
// not know is a bug of the code generator: the process stops.
ValueRef call(Builder* b, const char* name, ValueRef* args, unsigned count);

// Rolls the current attempt back to the checkpoint.
void forgetModule(Compiler* c);

// Disposes the module and its context unless handed over, and frees the module's tables.
void freeModuleState(ModuleRecord* m);

// Declares the 94 runtime helpers, the overflow intrinsics, wn_inc and wn_dec. ok or
// outOfMemory.
Status declareHelpers(Compiler* c);

// Defines the inline reference-count function name (wn_inc: mode 0, through helper
// wn_incref; wn_dec: mode 1, through wn_decref). ok or outOfMemory.
Status decrefBody(Compiler* c, const char* name, const char* helper, int mode);

// Marks wn_inc and wn_dec "alwaysinline" when the finished module is small (at most
// kInlineCountingBlocks blocks). A large module leaves them to the optimizer: inlined at every one
// of its thousands of releases they make the module several times bigger, and emitting it takes
// that much longer, fast code and optimized alike. Once per module, before its text is hashed
// for the cache key. Cannot fail (adding an attribute allocates nothing of ours).
void inlineCounting(Compiler* c);

// What a key stands for, for an ahead-of-time build's image: two payload words and a kind.
enum class KeyOriginKind : uint8_t {
    literal = 0,
    bigInt = 1,
    constant = 2,  // word 0: the value's tag
    recordClass = 3,
    closureCode = 4,
    words = 5,      // word 0: the count; byte 0 of word 1: 1 when all are string literals
    entryCell = 6,  // words 0 and 1: the entry symbol's pointer and length
    pythonCallable = 7,
    moduleObject = 8,  // word 0: the index
};
struct KeyOrigin {
    uint64_t words[2];
    KeyOriginKind kind;
};
// The origin map of an ahead-of-time build (ModuleRecord::keyOrigins points at one).
using KeyOriginMap = backend::U64Map<KeyOrigin>;

// The key global standing for a run-time address: one per key and module, named
// "<prefix>_k<N>" with N from the compiler's key counter, entered in the module's symbol
// table for the engine. ok with *out set, or outOfMemory (nothing added: the key map, the
// symbol table and the module stay as they were).
[[nodiscard]] Status keyGlobal(ModuleRecord* m, uint64_t key, ValueRef* out);
// The key global's name for N: ok with *out an owned NUL-terminated text, or outOfMemory.
Status keyName(backend::Text prefix, uint32_t n, char** out, size_t* length);
// Notes the key's origin (ahead-of-time builds only; a later note replaces an earlier one),
// then ptrtoint of its key global as an i64 constant. ok or outOfMemory.
[[nodiscard]] Status keyConstant(ModuleRecord* m, uint64_t key, const KeyOrigin& origin,
                                 ValueRef* out);
// Notes the key's origin in an ahead-of-time build's map; nothing otherwise. ok or
// outOfMemory.
[[nodiscard]] Status noteKeyOrigin(ModuleRecord* m, uint64_t key, const KeyOrigin& origin);

// Stops the process: "wuna: <name> isn't declared", a helper name the code generator used
// without declaring it.
[[noreturn]] void undeclaredStop(const char* name);

// Records a Python function compiled out of line for the perf map's labels (qualname and
// file may be null). ok, or outOfMemory (nothing recorded).
Status addOutOfLine(Compiler* c, const char* symbol, const char* qualname, const char* file,
                    uint32_t firstLine);

// Notes every name of the current module's declared list in the compiler's name set (the
// names of every module it finished). ok, or outOfMemory (the names noted so far stay).
Status noteDeclaredNames(Compiler* c);

// --- layouts and frames -------------------------------------------------------------------

// The scope's layout, made on first use. ok with *out set, or outOfMemory.
Status layoutOf(Compiler* c, uint32_t scope, Layout** out);

// Gives the scope a heap frame, and every other layout whose function-level scope is this
// one. ok or outOfMemory.
Status markFrames(Compiler* c, uint32_t scope);

// After a failed attempt (error 100): whether a function needing its frame makes a new
// attempt worthwhile. ok with *retry set, or an error code (then *retry is false).
Status retryWithFrames(Compiler* c, bool* retry);

// --- the compile loop ----------------------------------------------------------------------

// What a driver emits; each returns an error code. entry is called in place of
// functionCode(id) when set (a thunk is emitted rather than asked for).
struct Emitters {
    void* user;
    Status (*entry)(void* user, Compiler* c);
    Status (*function)(void* user, Compiler* c, uint32_t id);
    Status (*helper)(void* user, Compiler* c, HelperSpec* specialisation);
};

// Records that an emitter found something the next attempt must do differently (and sets
// the retry flag).
void recordNeed(Compiler* c);

// Runs the compile loop up to a finished module for the function id (or the emitters'
// entry). ok when the module is ready for the driver; otherwise the error code of the failed
// attempt, the module rolled back. An attempt that asks for a retry and records nothing new
// ends the loop: pythonError with compileError raised.
Status runLoop(Compiler* c, uint32_t id, const Emitters& emitters, PyObject* compileError);

}  // namespace wuna::compile
