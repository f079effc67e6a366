// Variables through rt in compiled code: rt.scope, rt.load and rt.store on compiled code's own
// rt value (tag 12), and the walk from a running frame to the frame of a variable's scope that
// the CompiledRuntime's methods share.
//
// A semantic compiled to native code knows its rt as a value whose tag word carries the scope
// of the running code in its high half and whose payload is the running frame. A name node it
// only knows at run time is looked up as the rules resolved it: its symbol, the scope whose
// frame holds the symbol, and the slot the compiler gave the symbol in that frame. The frames
// of enclosing scopes are reached through the parent links, one per scope between the running
// code and the variable's scope.
//
// The runtime cannot see the tree index nor the compiler, so the run record carries a
// ProgramVars table, filled by the driver from the module state of the run: each member
// answers one question about the program (and never fails). A run without the table treats
// every name as no variable.
//
// Failures of the lookup are the program's, recorded on the helper context without an error
// kind (they surface as runtime errors), and a failed load or store changes no slot. The
// texts are the reference mode's: "'<name>' is not a variable", "'<name>' isn't reachable
// from here", "'<name>' has no value yet", the name being the name node's source text.
//
// Only the running thread's frames are touched; no lock is taken.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::bridge {

inline constexpr int32_t kGlobalScope = -1;

// What the driver hands over for rt.function: the code of the node's function (compiled and
// loaded on demand), its name (borrowed UTF-8, valid while the module lives) and its flags
// word for wn_function (parameter count | fewer-arguments bit << 16 | extra mode << 17).
struct FunctionParts {
    void* code;
    const char* name;
    uint64_t nameLength;
    uint32_t flags;
};

// The program's variables as compiled code lays them out; user is the driver's module state.
// Answers about an index past the tree are "none".
struct ProgramVars {
    void* user;
    // The rules' symbol of a node, or -1 when it has none.
    int64_t (*symbolOf)(void* user, uint32_t node);
    // The node opening the symbol's scope as the rules recorded it (rt.scope), or -1.
    int64_t (*declaredScope)(void* user, uint32_t symbol);
    // Whether the symbol is a builtin's (its value is no frame slot).
    bool (*isBuiltin)(void* user, uint32_t symbol);
    // The scope whose frame holds the symbol's variable, kGlobalScope for the global one.
    int32_t (*frameScope)(void* user, uint32_t symbol);
    // The scope around a node (or around a scope node), kGlobalScope at the top.
    int32_t (*scopeOf)(void* user, uint32_t node);
    // The symbol's slot in its scope's frame, or -1 when the compiler gave it none.
    int64_t (*slotOf)(void* user, uint32_t symbol);
    // The slot count of the scope's frame layout, or -1 when the scope has no layout.
    int64_t (*layoutSlots)(void* user, int32_t scope);
    // Whether the node is a block scope that keeps a frame of its own (rt.fresh).
    bool (*isBlockScope)(void* user, uint32_t node);
    // Whether the node's kind is a function kind (Language.function).
    bool (*isFunctionKind)(void* user, uint32_t node);
    // rt.function's parts for a node of a function kind: 0 with *out, or -1 with the Python
    // exception (CompileError, MemoryError). Needs the interpreter lock.
    int (*functionOf)(void* user, uint32_t node, FunctionParts* out);
};

// The answer of rtValueMethod.
struct RtCallResult {
    bool ok;       // the call succeeded: *out holds the result
    bool handled;  // the call was one answered here and has been dealt with
};

// rt.kind(node), rt.scope(name), rt.load(name) and rt.store(name, value) on compiled code's rt
// value (the tag word rtTag, the frame rtFrame), name being the method's name. Not handled for
// any other name or argument count, a first argument that is no node index value of the
// running program, or a builtin's name in load or store (nothing changed). Handled and ok with the result in *out (one reference
// for the caller); handled and not ok with the failure recorded and *out untouched.
[[nodiscard]] RtCallResult rtValueMethod(helpers::Ctx* ctx, int32_t site, uint64_t rtTag,
                                         value::Frame* rtFrame, const char* name,
                                         uint64_t nameLength, const value::Value* args,
                                         uint64_t count, value::Value* out);

// The node's source text, its offsets clamped to the text (empty without a program tree).
struct NodeText {
    const char* data;
    uint64_t length;
};
NodeText nodeText(const helpers::Ctx* ctx, uint32_t node);

// The name of the node's kind (the grammar's), empty for a node past the tree or a kind past
// the grammar. Cannot fail.
NodeText kindText(const helpers::Ctx* ctx, uint32_t node);

// The scope node of the symbol the node names, as the rules recorded it; -1 when the node
// has no symbol or the symbol no scope node (builtins, the global scope). Cannot fail.
int64_t scopeNodeOf(const helpers::Ctx* ctx, uint32_t node);

// The program's variable table of the run, or null. Cannot fail.
const ProgramVars* varsOf(const helpers::Ctx* ctx);

// The slot of the variable the name node refers to, walking from frame (of scope) outward.
// A builtin's name is answered with *builtin set and null (nothing recorded). Otherwise the
// slot; or null with the failure recorded at site ("is not a variable" at the name node).
// *global tells whether the variable is one of the global scope.
value::Value* variableSlot(helpers::Ctx* ctx, int32_t site, value::Frame* frame, int32_t scope,
                           uint32_t name, bool* builtin, bool* global);

// The frame of scope target reached from frame (of scope) through parents and enclosing
// scopes; null when the walk reaches the global scope first (target not kGlobalScope) or
// runs out of frames. Cannot fail.
value::Frame* frameOfScope(const helpers::Ctx* ctx, value::Frame* frame, int32_t scope,
                           int32_t target);

// Stores v (its reference taken over) in the slot and releases what the slot held: buried
// (helpers::bury) for a global variable, dropped otherwise. Cannot fail.
void replaceSlot(helpers::Ctx* ctx, value::Value* slot, value::Value v, bool global);

// The two slots past a function's variables in its frame.
enum class FrameExtra : uint8_t { receiver = 0, varargs = 1 };

// The receiver or the extra arguments of the running function: walking from frame (of scope)
// outward to the first scope that is a function's, the slot after its layout's variables
// (receiver) or the one after that (varargs), borrowed into *out. False when that slot is
// unset, the scope has no layout, or the walk reaches the global scope. Cannot fail.
bool frameSlotValue(const helpers::Ctx* ctx, value::Frame* frame, int32_t scope,
                    FrameExtra which, value::Value* out);

}  // namespace wuna::bridge

namespace wuna::helpers {

// Releases a value as a store of a global variable releases what it overwrites: the unset
// marker is ignored; a function value flagged for burial (FlagBury) joins the run's burial
// list with its reference (released when the run's context ends); anything else is released.
// Short of memory for the list, the reference stays taken (a leak, never a free too early).
// Cannot fail.
void bury(Ctx* ctx, value::Value v);

// "'<name>' has no value yet" at site, without an error kind. Cannot fail.
void failNoValueYet(Ctx* ctx, int32_t site, const char* name, uint64_t length);

// "'<name>' isn't reachable from here" at site, without an error kind. Cannot fail.
void failUnreachable(Ctx* ctx, int32_t site, const char* name, uint64_t length);

// "'<name>' is not a variable" at site, without an error kind. Cannot fail.
void failNotVariable(Ctx* ctx, int32_t site, const char* name, uint64_t length);

}  // namespace wuna::helpers
