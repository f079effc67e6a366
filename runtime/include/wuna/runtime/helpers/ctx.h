// The helper context of one run of compiled code, and the failure record it carries.
//
// Compiled code never raises a Python exception itself. Every helper that can fail takes the
// Ctx first and the site (the program node it was called at) second; on failure it records
// the failure here and returns false, and compiled code branches to its error path. The first
// failure of a run wins: a later one changes nothing, so the error a run reports is the one
// that stopped it, however much cleanup code fails after it. A failure may carry an error
// kind (an overflow, a raised exception value); one recorded with a message alone has none
// and is caught by the program as Error.
//
// The Ctx is laid out field by field because compiled code and the driver read it in place;
// the order and widths below are its interface. It belongs to the one thread that runs its
// code and is never shared; its Python object fields are touched only under the interpreter
// lock, taken through the thread's GIL record (so that native paths that never fail never
// take the lock). Buffers come from the C heap and keep their capacity across failures.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/errors.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::bridge {
struct ModuleTables;
struct ProgramVars;
struct Tally;
}  // namespace wuna::bridge

namespace wuna::nodes {
struct TreeView;
}

namespace wuna::helpers {

// What value conversion needs of the run (handed as it is to the conversion layer).
struct ConversionContext {
    void* userData;  // the running program's object
    // Node index to its Python node object: new reference, or null with the exception.
    PyObject* (*node)(void* userData, int64_t index);
    PyObject* owner;  // what Python-side forms of values keep alive, or null
    // Site and message to the Python error object of a runtime error: new reference, or null
    // with the exception.
    PyObject* (*error)(void* userData, int32_t site, const char* text, uint64_t length);
};

struct CallEntry {
    value::Str* name;
    int32_t site;
};

struct ByteList {
    uint8_t* data;
    uint64_t length;
    uint64_t capacity;
};

struct EntryList {
    CallEntry* items;
    uint64_t count;
    uint64_t capacity;
};

struct ValueList {
    value::Value* items;
    uint64_t count;
    uint64_t capacity;
};

// The run's record: what the failure record and the bridge to Python (helpers/run.h) use of
// it; the driver's record starts so. It lives as long as the run, on the run's thread.
struct RunRecord {
    void* userData;
    // The Python error object of a runtime error with its call stack (innermost first): new
    // reference, or null with the exception.
    PyObject* (*error)(void* userData, int32_t site, const char* text, uint64_t length,
                       const CallEntry* entries, uint64_t count);
    // The compiled module that runs (the driver's state, opaque here), and the bridge's
    // tables of that module (node code, thunks, compiled Python functions); null before the
    // module has any.
    void* module;
    bridge::ModuleTables* tables;
    uint64_t nodeCount;  // nodes of the program's tree
    PyObject* context;   // borrowed: what the host passed as context=, or null
    // The Python semantic of a node's kind in a mode: borrowed, or null when the kind has
    // none (no exception set). Needs the interpreter lock.
    PyObject* (*semantic)(void* userData, uint32_t node, bool exec);
    // Report mode: the crossings of this run into Python are counted in its own tally, so
    // that runs on other threads neither see nor drain these counts.
    bridge::Tally* tally;
    uint8_t report;
    // The running program's tree, whose nodes compiled code holds as node index values
    // (tag 11); null when the run has none.
    const nodes::TreeView* program;
    // What the CompiledRuntime reads of the program: its variables as compiled code lays
    // them out (rtvars.h), the rules' analysis, the language's host functions by name and
    // the program's path; each null when the run has none (all borrowed).
    const bridge::ProgramVars* vars;
    PyObject* analysis;
    PyObject* hosts;
    PyObject* path;
    // The error maker of rt.error(..., code=): as error, with the code (a str) passed into
    // the Error it makes. Null: the code is dropped and error makes the Error.
    PyObject* (*codedError)(void* userData, int32_t site, const char* text, uint64_t length,
                            PyObject* code, const CallEntry* entries, uint64_t count);
};

struct Ctx {
    ConversionContext conversion;
    void* moduleObjects;  // first word: the array of the module's Python objects
    uint64_t moduleId;
    CallEntry* stack;
    uint64_t stackCapacity;
    uint64_t depth;
    uint64_t stackFloor;
    ByteList message;
    EntryList traceback;
    RunRecord* run;
    PyObject* reraise;  // a wuna.Throw or wuna.Error to raise again as it is
    PyObject* fetched;  // any other Python exception that became the failure
    value::Value exc;   // the exception value being raised
    uint8_t hasExc;
    ByteList kindMessage;
    ValueList releases;
    value::Value tailCallee;
    value::Value tailArgs;
    value::Value tailReceiver;
    uint8_t tailHasReceiver;
    uint32_t depthLimit;
    int32_t site;
    uint8_t plainCall;
    uint8_t failing;
    uint8_t kind;  // errors::Kind, valid when kindSet
    uint8_t kindSet;
    uint8_t ownsStack;  // the call stack's storage was made by the run's first call
};
// Where compiled code finds the call stack's depth word, which a typed entry is given.
inline constexpr uint64_t kCtxDepthOffset = offsetof(Ctx, depth);

// The calling thread's current Ctx (the run it is inside), or null. Cannot fail.
Ctx* currentCtx();
// Makes ctx the thread's current one; the previous one. Cannot fail.
Ctx* setCurrentCtx(Ctx* ctx);

// The module's Python object at index, borrowed, or null when the module has none there.
PyObject* moduleObject(Ctx* ctx, int64_t index);

// Recording. None of these fails as a whole: short of memory, the failure is recorded with
// a partial message or traceback.
void fail(Ctx* ctx, int32_t site, const void* text, uint64_t length);
void failText(Ctx* ctx, int32_t site, const void* text, uint64_t length);
void failDefault(Ctx* ctx, int32_t site);
void failOutOfMemory(Ctx* ctx, int32_t site);
// A fixed message with a fixed kind; the instantiations are named by their callers.
void failKind(Ctx* ctx, int32_t site, errors::Kind kind, const char* text, uint64_t length);
// The same with a message formatted as printf does (cut as pyhelp::cutText cuts).
void failKindFormat(Ctx* ctx, int32_t site, errors::Kind kind, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
template <errors::Kind K, const char* Text>
void failAs(Ctx* ctx, int32_t site) {
    failKind(ctx, site, K, Text, __builtin_strlen(Text));
}
inline constexpr char kIntegerOverflowText[] = "integer overflow";
inline constexpr auto failOverflow = failAs<errors::Kind::IntegerOverflow, kIntegerOverflowText>;

// Forgets the recorded failure (site kept, buffers keep their capacity). Cannot fail.
void clearError(Ctx* ctx);
// The Python exception object for the recorded failure; interpreter lock held. New reference;
// or null with a Python exception (a conversion, str or class call failed), or null with no
// exception when the failure has no kind, no exception value and no Python exception.
PyObject* errorObject(Ctx* ctx);
// Whether the kind is ancestor or descends from it. Cannot fail.
inline bool isA(errors::Kind kind, errors::Kind ancestor) { return errors::isA(kind, ancestor); }
// Whether the recorded failure is a raised exception value of a kind that is no Exception (a
// SystemExit): like a KeyboardInterrupt raised by Python code it leaves every semantic and the
// run as it was raised, never becoming a runtime error of the program. Cannot fail.
inline bool passesThrough(const Ctx* ctx) {
    return ctx->failing && ctx->kindSet &&
           !errors::isA(errors::Kind(ctx->kind), errors::Kind::Exception);
}

// Replaces the kind message with text. False when memory runs out (the message is then
// empty).
bool setKindMessage(Ctx* ctx, const void* text, uint64_t length);

// Appends to a byte list (C heap); false when memory runs out (the list is left as it was).
bool appendBytes(ByteList* list, const void* text, uint64_t length);

// Storage for the call stack of a run with this depth limit: the thread's spare buffer when it
// has exactly that room, else a new one (C heap). Null when memory runs out.
CallEntry* takeStack(uint64_t capacity);

// Frees the Ctx's buffers and clears its failure, as the end of a run does; a call stack the
// run made is kept as the thread's spare buffer when that slot is free. Cannot fail.
void endCtx(Ctx* ctx);

}  // namespace wuna::helpers

namespace wuna::bridge {

// The pending Python exception becomes the failure; interpreter lock held. A wuna.Throw or
// wuna.Error becomes the exception to re-raise whether or not a failure is recorded (the
// newer one is what the run raises), a throw first getting its runtime error with the call
// stack ("_wuna_error") from the run record; the failure it records reads "a Python
// exception". Any other exception is kept as the fetched exception when no failure is
// recorded yet, and recorded with the reference mode's wording. Leaves no exception pending.
// Cannot fail.
void failFromPython(helpers::Ctx* ctx, int32_t site);
// Whether the exception class is the module's Throw or Error (or a subclass), which a run
// raises again as they are. Interpreter lock held. Cannot fail.
bool isModuleJump(PyObject* kind);
// The same, claiming the interpreter lock through the thread's GIL record. Cannot fail.
void pythonFailure(helpers::Ctx* ctx, int32_t site);
// When the thread's fault record holds a failure (a Python __eq__ or __hash__ that raised
// inside equality or hashing, nesting too deep; equal.h), it becomes the run's failure as
// failFromPython records it, and the answer is true; false when nothing was noted. Claims the
// lock only when there is a failure. Cannot fail.
bool failFromFault(helpers::Ctx* ctx, int32_t site);

}  // namespace wuna::bridge
