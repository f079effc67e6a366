// Program functions: the top level, a function's generic entry, and the thunk that runs one
// node from the bridge. Each becomes one LLVM function of the compiler's current module: its
// emitter is readied, its parameters bound (frame or stack slots, receiver, extra arguments,
// the parameters' variables), its body run the way rt.exec runs it, and its "return" and
// "error" exits completed. installEmission makes these the code generator's entries
// (backend/emit.h). See lower.h.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/emit.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/function_kind.h"
#include "host/tree/index.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

constexpr uint64_t kFrameParent = 16;  // a frame block's parent pointer
constexpr uint64_t kFrameSlots = 32;   // slot i at kFrameSlots + 16 * i
constexpr uint64_t kUnsetTag = 0xFFFF0000u;

// Any 64-bit mix of the id: the emitter's function identity.
uint64_t identityOf(uint32_t id) {
    uint64_t h = uint64_t(id) * 0x9E3779B97F4A7C15ull;
    return (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
}

Status refuse(Compiler* c, const char* text) {
    c->message.clear();
    Status s = appendText(&c->message, text);
    return s == Status::ok ? Status::unsupported : s;
}

const host::FunctionKind* functionKindOf(const Compiler* c, uint32_t node) {
    const driver::CompileInputs* in = c->inputs;
    if (!in || !in->functionKinds || node >= c->tree->count) return nullptr;
    uint32_t k = ptree::kindOf(c->tree->nodes[node]);
    if (k >= in->functionKindCount || !in->functionKinds[k].isFunction) return nullptr;
    return &in->functionKinds[k];
}

// The scope around a node: the nearest function node or captured block scope above it, or
// the global scope.
uint32_t scopeAround(const ptree::Index* tree, uint32_t node) {
    for (uint32_t n = tree->parents[node]; n < tree->count; n = tree->parents[n])
        if (ptree::isFunctionNode(tree, n) || ptree::isCaptured(tree, n)) return n;
    return kGlobalScope;
}

ValueRef byteAt(Emitter* e, ValueRef base, uint64_t offset) {
    ValueRef at = constI64(e, offset);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.i8, base, &at, 1, "");
}

ValueRef frameSlotAt(Emitter* e, ValueRef frame, uint64_t slot) {
    return byteAt(e, frame, kFrameSlots + 16 * slot);
}

// An unnumbered block of the function, listed so that finishing it closes it.
Status namedBlock(Emitter* e, const char* name, BasicBlockRef* out) {
    Builder* b = &e->builder;
    *out = T.LLVMAppendBasicBlockInContext(b->module->context, b->function, name);
    return b->blocks.push(*out) ? Status::ok : Status::outOfMemory;
}

// A 16-byte stack slot of the entry block holding tag and payload from the start.
ValueRef initialisedSlot(Emitter* e, uint64_t tag) {
    ModuleRecord* m = &e->compiler->module;
    BuilderRef entry = e->builder.entryBuilder;
    ValueRef slot = valueSlot(e);
    T.LLVMSetAlignment(T.LLVMBuildStore(entry, T.LLVMConstInt(m->i64, tag, 0), slot), 8);
    ValueRef eight = T.LLVMConstInt(m->i64, 8, 0);
    ValueRef payload = T.LLVMBuildInBoundsGEP2(entry, m->i8, slot, &eight, 1, "");
    T.LLVMSetAlignment(T.LLVMBuildStore(entry, T.LLVMConstInt(m->i64, 0, 0), payload), 8);
    return slot;
}

// The function's variables, receiver and extra arguments: frame slots of a new heap frame, or
// stack slots. lost: where a frame that can't be made goes (nothing to release yet).
Status makeStorage(Emitter* e, uint32_t scope, BasicBlockRef lost) {
    uint64_t n = e->layout->slots.count;
    if (e->layout->heapFrame) {
        ValueRef frame;
        if (Status s = newFrameChecked(e, e->outerFrame, n + 2, int32_t(scope), lost, &frame);
            s != Status::ok)
            return s;
        e->ownFrame = frame;
        e->hasOwnFrame = 1;
        e->receiverSlot = frameSlotAt(e, frame, n);
        e->extraArgumentsSlot = frameSlotAt(e, frame, n + 1);
        return Status::ok;
    }
    for (uint64_t i = 0; i < n; i++)
        if (!e->localSlots.push(initialisedSlot(e, kUnsetTag))) return Status::outOfMemory;
    e->receiverSlot = initialisedSlot(e, value::TagNone);
    e->extraArgumentsSlot = initialisedSlot(e, value::TagNone);
    if (!e->localSlots.push(e->receiverSlot) || !e->localSlots.push(e->extraArgumentsSlot))
        return Status::outOfMemory;
    return Status::ok;
}

// The receiver of the function around, found while compiling and read from its frame.
Status outerReceiver(Emitter* e, uint32_t node) {
    Compiler* c = e->compiler;
    const ptree::Index* tree = c->tree;
    uint32_t around = scopeAround(tree, node);
    uint32_t f = around;
    while (f != kGlobalScope && !ptree::isFunctionNode(tree, f)) f = scopeAround(tree, f);
    if (f == kGlobalScope) {
        Operand none = constantOperand(e, value::TagNone, 0, KnownKind::none);
        return storeOperand(e, e->receiverSlot, &none);
    }
    ValueRef frame = e->outerFrame;
    for (uint32_t s = around; s != f; s = scopeAround(tree, s)) {
        if (s == kGlobalScope) {
            c->message.clear();
            Status err = appendText(&c->message,
                                    "the receiver of the function around isn't reachable (node ");
            if (err == Status::ok) err = appendDecimal(&c->message, f);
            if (err == Status::ok) err = appendText(&c->message, ")");
            return err == Status::ok ? Status::unsupported : err;
        }
        ValueRef at = byteAt(e, frame, kFrameParent);
        frame = T.LLVMBuildLoad2(e->builder.builder, c->module.ptr, at, "");
    }
    Layout* layout;
    if (Status s = layoutOf(c, f, &layout); s != Status::ok) return s;
    Operand o = loadOperand(e, frameSlotAt(e, frame, layout->slots.count), KnownKind::unknown);
    ValueRef unset = icmp(&e->builder, llvmapi::IntEQ, o.tag, constI64(e, kUnsetTag));
    o.tag = T.LLVMBuildSelect(e->builder.builder, unset, constI64(e, 0), o.tag, "");
    o.payload = T.LLVMBuildSelect(e->builder.builder, unset, constI64(e, 0), o.payload, "");
    if (e->hasOwnFrame)
        if (Status s = addReference(e, &o); s != Status::ok) return s;
    return storeOperand(e, e->receiverSlot, &o);
}

Status bindReceiver(Emitter* e, uint32_t node) {
    Builder* b = &e->builder;
    BasicBlockRef given, outer, set;
    if (Status s = newBlock(b, "recv_given", &given); s != Status::ok) return s;
    if (Status s = newBlock(b, "recv_outer", &outer); s != Status::ok) return s;
    if (Status s = newBlock(b, "recv_set", &set); s != Status::ok) return s;
    ValueRef present = icmp(b, llvmapi::IntNE, e->receiverPointer,
                            T.LLVMConstNull(e->compiler->module.ptr));
    condBr(b, present, given, outer);
    enter(b, given);
    Operand o = loadOperand(e, e->receiverPointer, KnownKind::unknown);
    // Without a heap frame the receiver stays the caller's: borrowed, never released.
    if (e->hasOwnFrame)
        if (Status s = addReference(e, &o); s != Status::ok) return s;
    if (Status s = storeOperand(e, e->receiverSlot, &o); s != Status::ok) return s;
    br(b, set);
    enter(b, outer);
    if (Status s = outerReceiver(e, node); s != Status::ok) return s;
    br(b, set);
    enter(b, set);
    return Status::ok;
}

// The shared empty tuple as an operand of the tuple kind (its address a key global).
Status emptyTuple(Emitter* e, Operand* out) {
    Shape empty{};
    empty.kind = ShapeKind::tuple;
    return materialize(e, empty, int32_t(e->scopeId), out);
}

Status bindExtraArguments(Emitter* e, uint32_t node, uint64_t parameters) {
    Builder* b = &e->builder;
    BasicBlockRef extra, none, done;
    if (Status s = newBlock(b, "varargs_extra", &extra); s != Status::ok) return s;
    if (Status s = newBlock(b, "varargs_none", &none); s != Status::ok) return s;
    if (Status s = newBlock(b, "varargs_done", &done); s != Status::ok) return s;
    condBr(b, icmp(b, llvmapi::IntUGT, e->argumentCount, constI64(e, parameters)), extra, none);
    enter(b, none);
    Operand empty;
    if (Status s = emptyTuple(e, &empty); s != Status::ok) return s;
    if (Status s = storeOperand(e, e->extraArgumentsSlot, &empty); s != Status::ok) return s;
    br(b, done);
    enter(b, extra);
    ValueRef args[] = {e->runContext, constI32(e, int32_t(node)), e->argumentArray,
                       e->argumentCount, constI64(e, parameters), e->scratch};
    ValueRef ok;
    if (Status s = callHelper(e, "wn_varargs", args, 6, &ok); s != Status::ok) return s;
    if (Status s = checkOk(e, ok); s != Status::ok) return s;
    Operand tuple = loadOperand(e, e->scratch, KnownKind::tuple);
    if (Status s = storeOperand(e, e->extraArgumentsSlot, &tuple); s != Status::ok) return s;
    br(b, done);
    enter(b, done);
    return Status::ok;
}

// A parameter's variable takes the operand (its reference): the slot of the symbol the
// parameter node declares in the function's own storage. A fresh frame's slots are unset, so
// nothing is released.
Status storeParameter(Emitter* e, uint32_t scope, uint32_t parameter, Operand* value) {
    Compiler* c = e->compiler;
    ptree::Index* tree = const_cast<ptree::Index*>(c->tree);
    uint32_t symbol = tree->nodeSymbols ? tree->nodeSymbols[parameter] : ptree::kNone;
    const uint32_t* slot = symbol != ptree::kNone ? c->slots.find(symbol) : nullptr;
    if (!slot || uint32_t(ptree::symbolScope(tree, symbol)) != scope) {
        // A parameter the rules gave no variable of this function: nothing holds the value.
        return release(e, dynShape(*value));
    }
    ValueRef at = e->hasOwnFrame ? frameSlotAt(e, e->ownFrame, *slot) : e->localSlots[*slot];
    return storeOperand(e, at, value);
}

Status bindParameters(Emitter* e, uint32_t node, const backend::List<uint32_t>& parameters) {
    ModuleRecord* m = &e->compiler->module;
    for (size_t i = 0; i < parameters.count; i++) {
        ValueRef index = constI64(e, i);
        openBlock(&e->builder);
        ValueRef at = T.LLVMBuildInBoundsGEP2(e->builder.builder, m->valuePair, e->argumentArray,
                                              &index, 1, "");
        Operand argument = loadOperand(e, at, KnownKind::unknown);
        if (Status s = addReference(e, &argument); s != Status::ok) return s;
        if (Status s = storeParameter(e, node, parameters[i], &argument); s != Status::ok)
            return s;
    }
    return Status::ok;
}

// What the function node's body is: its field under the body label, else its first child of
// the body rule's kind, else None (nothing runs).
Status bodyValue(Emitter* e, uint32_t node, const host::FunctionKind* kind, Shape* out) {
    if (kind->bodyLabel) return nodeFieldByName(e, node, kind->bodyLabel, out);
    const ptree::Index* tree = e->compiler->tree;
    uint64_t end = uint64_t(node) + tree->nodes[node].descendants + 1;
    if (end > tree->count) end = tree->count;
    for (uint32_t k = node + 1; k < end; k += tree->nodes[k].descendants + 1)
        if (ptree::kindOf(tree->nodes[k]) == kind->bodyRule) return nodeFieldWhenCompiling(e, k, out);
    *out = noneShape();
    return Status::ok;
}

// The exits: "return" gives true (the result slot holds the result), "error" false.
void finishExits(Emitter* e, BasicBlockRef returnBlock, BasicBlockRef errorBlock,
                 Status* status) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    br(b, returnBlock);
    for (int which = 0; which < 2 && *status == Status::ok; which++) {
        enter(b, which == 0 ? returnBlock : errorBlock);
        spillLocals(e);
        *status = releaseLocals(e);
        if (*status != Status::ok) return;
        openBlock(b);
        T.LLVMBuildRet(b->builder, T.LLVMConstInt(m->i1, which == 0 ? 1 : 0, 0));
    }
}

// The LLVM function of id readied for emission: its emitter, the run context, the layout of
// scope and the "error" and "return" exits.
Status openEntry(Emitter* e, Compiler* c, uint32_t id, uint32_t scope, FunctionRef* fn) {
    if (Status s = llvmFunction(c, id, fn); s != Status::ok) return s;
    if (Status s = startFunction(e, c, fn->function, scope); s != Status::ok) return s;
    e->functionIdentity = identityOf(id);
    e->runContext = T.LLVMGetParam(fn->function, 0);
    if (Status s = layoutOf(c, scope, &e->layout); s != Status::ok) return s;
    if (Status s = namedBlock(e, "error", &e->errorTarget); s != Status::ok) return s;
    return namedBlock(e, "return", &e->returnBlock);
}

Status emitTopLevel(Emitter* e, Compiler* c) {
    FunctionRef fn;
    if (Status s = openEntry(e, c, kTopLevel, kNoFunctionScope, &fn); s != Status::ok) return s;
    e->globalFrame = T.LLVMGetParam(fn.function, 1);
    e->ownFrame = e->globalFrame;
    e->hasOwnFrame = 1;
    if (Status s = emitHoistedFunctions(e, kGlobalScope); s != Status::ok) return s;
    if (Status s = emitExecKnown(e, 0); s != Status::ok) return s;
    Status s = Status::ok;
    finishExits(e, e->returnBlock, e->errorTarget, &s);
    return s;
}

Status emitGenericEntry(Emitter* e, Compiler* c, uint32_t id) {
    const host::FunctionKind* kind = functionKindOf(c, id);
    if (!kind) return refuse(c, "wuna: a function id that names no function node (a wuna bug)");
    FunctionRef fn;
    if (Status s = openEntry(e, c, id, id, &fn); s != Status::ok) return s;
    e->outerFrame = T.LLVMGetParam(fn.function, 1);
    e->argumentArray = T.LLVMGetParam(fn.function, 2);
    e->argumentCount = T.LLVMGetParam(fn.function, 3);
    e->receiverPointer = T.LLVMGetParam(fn.function, 4);
    e->resultSlot = T.LLVMGetParam(fn.function, 5);
    BasicBlockRef lost;
    if (Status s = newBlock(&e->builder, "frame_lost", &lost); s != Status::ok) return s;
    if (Status s = makeStorage(e, id, lost); s != Status::ok) return s;
    Operand none = constantOperand(e, value::TagNone, 0, KnownKind::none);
    if (Status s = storeOperand(e, e->resultSlot, &none); s != Status::ok) return s;
    if (Status s = bindReceiver(e, id); s != Status::ok) return s;
    backend::List<uint32_t> parameters;
    if (Status s = childWithLabel(e, id, kind->paramsLabel, &parameters); s != Status::ok)
        return s;
    Status s = Status::ok;
    if (kind->extra == host::ExtraArgs::keep) s = bindExtraArguments(e, id, parameters.count);
    if (s == Status::ok) s = emitHoistedFunctions(e, id);
    if (s == Status::ok) s = bindParameters(e, id, parameters);
    parameters.free();
    Shape body;
    if (s == Status::ok) s = bodyValue(e, id, kind, &body);
    if (s == Status::ok) s = emitRtExec(e, &body);
    if (s == Status::ok) finishExits(e, e->returnBlock, e->errorTarget, &s);
    if (s != Status::ok) return s;
    // Nothing was made yet when the frame could not be: the failure is already recorded.
    enter(&e->builder, lost);
    T.LLVMBuildRet(e->builder.builder, T.LLVMConstInt(c->module.i1, 0, 0));
    return Status::ok;
}

Status emitThunkBody(Emitter* e, uint32_t node, bool exec) {
    ModuleRecord* m = &e->compiler->module;
    if (exec) {
        if (Status s = emitExecKnown(e, node); s != Status::ok) return s;
    } else {
        Shape value;
        Shape known{};
        known.kind = ShapeKind::node;
        known.node = node;
        if (Status s = emitRtEval(e, nullptr, &known, &value); s != Status::ok) return s;
        Operand o;
        if (Status s = materialize(e, value, int32_t(node), &o); s != Status::ok) return s;
        if (Status s = storeOperand(e, e->resultSlot, &o); s != Status::ok) return s;
    }
    openBlock(&e->builder);
    T.LLVMBuildRet(e->builder.builder,
                   T.LLVMConstInt(m->i32, uint64_t(bridge::RunStatus::done), 0));
    return Status::ok;
}

Status emitFunctionEntry(Compiler* c, uint32_t id) {
    if (!c->inputs || !c->tree) return refuse(c, "code generation isn't built yet");
    if (id != kTopLevel && (id & kTypedEntryBit))
        return refuse(c, "typed entries aren't compiled yet");
    Emitter e;
    Status s = id == kTopLevel ? emitTopLevel(&e, c) : emitGenericEntry(&e, c, id);
    if (e.compiler) finishFunction(&e);
    return s;
}

// The frame of scope target, walked while compiling from the current frame outward. ok with
// *out; unsupported when target is no scope around the current one.
Status frameOfScope(Emitter* e, uint32_t target, ValueRef* out) {
    Compiler* c = e->compiler;
    const ptree::Index* tree = c->tree;
    uint32_t scope = e->scopes.count ? e->scopes.last().scope : e->scopeId;
    ValueRef frame;
    if (Status s = currentFrame(e, &frame); s != Status::ok) return s;
    while (scope != target) {
        if (scope == kGlobalScope)
            return refuseConstruct(e, "a variable of a scope the code isn't inside");
        ValueRef at = byteAt(e, frame, kFrameParent);
        frame = T.LLVMBuildLoad2(e->builder.builder, c->module.ptr, at, "");
        scope = scopeAround(tree, scope);
    }
    *out = frame;
    return Status::ok;
}

// The source text of a node as a literal str of the module.
Status nodeName(Emitter* e, uint32_t node, ValueRef* out) {
    const ptree::Index* tree = e->compiler->tree;
    uint64_t start = tree->nodes[node].start, end = tree->nodes[node].end;
    if (end > tree->textLength) end = tree->textLength;
    if (start > end) start = end;
    return literalGlobal(&e->compiler->module, tree->text + start, size_t(end - start), out);
}

uint32_t parameterCount(const ptree::Index* tree, uint32_t node, uint8_t label) {
    if (!label) return 0;
    uint32_t count = 0;
    uint64_t end = uint64_t(node) + tree->nodes[node].descendants + 1;
    if (end > tree->count) end = tree->count;
    for (uint32_t k = node + 1; k < end; k += tree->nodes[k].descendants + 1)
        if (ptree::labelByte(tree->nodes[k]) == label) count++;
    return count;
}

}  // namespace

Status defineFunctionHere(Emitter* e, uint32_t node, uint32_t name) {
    Compiler* c = e->compiler;
    ptree::Index* tree = const_cast<ptree::Index*>(c->tree);
    const host::FunctionKind* kind = functionKindOf(c, node);
    uint32_t symbol = tree->nodeSymbols ? tree->nodeSymbols[name] : ptree::kNone;
    const uint32_t* slot = symbol != ptree::kNone ? c->slots.find(symbol) : nullptr;
    if (!kind || !slot) return refuseConstruct(e, "a function defined under a name that is no variable");
    FunctionRef code;
    if (Status s = functionCode(c, node, &code); s != Status::ok) return s;
    ValueRef closure, text;
    if (Status s = frameOfScope(e, scopeAround(tree, node), &closure); s != Status::ok) return s;
    if (Status s = nodeName(e, name, &text); s != Status::ok) return s;
    uint64_t flags = parameterCount(tree, node, kind->paramsLabel) |
                     uint64_t(kind->missing == host::MissingArgs::none) << 16 |
                     uint64_t(kind->extra) << 17;
    ValueRef args[] = {e->runContext, code.function, closure, constI32(e, int32_t(node)), text,
                       constI64(e, flags), e->scratch};
    ValueRef ok;
    if (Status s = callHelper(e, "wn_function", args, 7, &ok); s != Status::ok) return s;
    if (Status s = checkOk(e, ok); s != Status::ok) return s;
    Operand function = loadOperand(e, e->scratch, KnownKind::function);
    uint32_t target = uint32_t(ptree::symbolScope(tree, symbol));
    ValueRef frame;
    if (Status s = frameOfScope(e, target, &frame); s != Status::ok) return s;
    ValueRef at = frameSlotAt(e, frame, *slot);
    Operand old = loadOperand(e, at, KnownKind::unknown);
    if (Status s = storeOperand(e, at, &function); s != Status::ok) return s;
    if (target != kGlobalScope) return refcount(e, RefMode::decrement, old.tag, old.payload);
    // A global's old function may still be running: it is buried, not freed.
    ValueRef buryArgs[] = {e->runContext, old.tag, old.payload};
    return callHelper(e, "wn_bury", buryArgs, 3, nullptr);
}

Status loadVariableHere(Emitter* e, uint32_t node, Shape* out) {
    Compiler* c = e->compiler;
    ptree::Index* tree = const_cast<ptree::Index*>(c->tree);
    uint32_t symbol = tree->nodeSymbols ? tree->nodeSymbols[node] : ptree::kNone;
    const uint32_t* slot = symbol != ptree::kNone ? c->slots.find(symbol) : nullptr;
    // A builtin's name is rt.load's: its host function, or the failure the reference mode
    // gives when the language has none of that name.
    bool builtin =
        symbol != ptree::kNone && symbol < tree->symbolCount && tree->symbols[symbol].builtin;
    if (builtin || !slot) {
        Semantic* s = e->semantics.count ? e->semantics.last() : nullptr;
        return emitRtLoad(e, s, node, out);
    }
    ValueRef frame;
    if (Status s = frameOfScope(e, uint32_t(ptree::symbolScope(tree, symbol)), &frame);
        s != Status::ok)
        return s;
    Operand value = loadOperand(e, frameSlotAt(e, frame, *slot), KnownKind::unknown);
    Builder* b = &e->builder;
    BasicBlockRef unset, set;
    if (Status s = newBlock(b, "var_unset", &unset); s != Status::ok) return s;
    if (Status s = newBlock(b, "var_set", &set); s != Status::ok) return s;
    condBr(b, icmp(b, llvmapi::IntEQ, value.tag, constI64(e, kUnsetTag)), unset, set);
    enter(b, unset);
    ValueRef name;
    if (Status s = nodeName(e, node, &name); s != Status::ok) return s;
    ValueRef args[] = {e->runContext, siteValue(e, int32_t(node)), name};
    if (Status s = callHelper(e, "wn_unset", args, 3, nullptr); s != Status::ok) return s;
    BasicBlockRef exit;
    if (Status s = errorExit(e, &exit); s != Status::ok) return s;
    br(b, exit);
    enter(b, set);
    // The value read has a reference of its own: the frame may drop its copy.
    if (Status s = addReference(e, &value); s != Status::ok) return s;
    *out = dynShape(value);
    return Status::ok;
}

Status releaseLocals(Emitter* e) {
    if (e->scopeId == kNoFunctionScope) return Status::ok;
    if (e->hasOwnFrame) {
        ValueRef frame = e->ownFrame;
        return callHelper(e, "wn_frame_release", &frame, 1, nullptr);
    }
    for (size_t i = 0; i < e->localSlots.count; i++) {
        ValueRef slot = e->localSlots[i];
        if (slot == e->receiverSlot) continue;  // borrowed without a heap frame
        Operand held = loadOperand(e, slot, KnownKind::unknown);
        ValueRef flag = nullptr;
        for (size_t k = 0; k < e->borrowedParameters.count; k++)
            if (e->borrowedParameters[k].slot == slot) flag = e->borrowedParameters[k].flag;
        if (!flag) {
            if (Status s = refcount(e, RefMode::decrement, held.tag, held.payload); s != Status::ok)
                return s;
            continue;
        }
        Builder* b = &e->builder;
        BasicBlockRef release, released;
        if (Status s = newBlock(b, "param_release", &release); s != Status::ok) return s;
        if (Status s = newBlock(b, "param_released", &released); s != Status::ok) return s;
        ValueRef stillTheCallers = icmp(b, llvmapi::IntEQ, loadWord(e, flag), constI64(e, 0));
        condBr(b, stillTheCallers, released, release);
        enter(b, release);
        if (Status s = refcount(e, RefMode::decrement, held.tag, held.payload); s != Status::ok)
            return s;
        br(b, released);
        enter(b, released);
    }
    return Status::ok;
}

Status emitHoistedFunctions(Emitter* e, uint32_t scope) {
    uint32_t count = 0;
    const uint32_t* nodes = ptree::hoisted(e->compiler->tree, scope == kGlobalScope ? -1 : scope,
                                           &count);
    for (uint32_t i = 0; i < count; i++) {
        const host::FunctionKind* kind = functionKindOf(e->compiler, nodes[i]);
        if (!kind || !kind->nameLabel) continue;
        const ptree::Index* tree = e->compiler->tree;
        int64_t name = ptree::childWithLabel(tree->nodes, tree->count, nodes[i], kind->nameLabel);
        if (name < 0) continue;
        if (Status s = defineFunctionHere(e, nodes[i], uint32_t(name)); s != Status::ok) return s;
    }
    return Status::ok;
}

Status emitProgramFunction(Compiler* c, uint32_t id) { return emitFunctionEntry(c, id); }

// The receiver and extra arguments a thunk's code reads (rt.receiver, rt.varargs): the two
// slots after the variables in the frame of the function its scope is in (makeStorage and
// emitCallFrame lay them out so). At the top level there are none: None and the empty tuple.
Status bindThunkCallSlots(Emitter* e, uint32_t scope) {
    Compiler* c = e->compiler;
    uint32_t f = scope;
    while (f != kGlobalScope && !ptree::isFunctionNode(c->tree, f)) f = scopeAround(c->tree, f);
    if (f == kGlobalScope) return Status::ok;
    ValueRef frame = e->ownFrame;
    if (f != scope)
        if (Status s = frameOfScope(e, f, FrameMessage::variableUnreachable, &frame);
            s != Status::ok)
            return s;
    Layout* layout;
    if (Status s = layoutOf(c, f, &layout); s != Status::ok) return s;
    uint64_t n = layout->slots.count;
    e->receiverSlot = frameSlotAt(e, frame, n);
    // The slot of the extra arguments is filled only for a kind that keeps them.
    const host::FunctionKind* kind = functionKindOf(c, f);
    if (kind && kind->extra == host::ExtraArgs::keep)
        e->extraArgumentsSlot = frameSlotAt(e, frame, n + 1);
    return Status::ok;
}

Status emitThunk(Compiler* c, uint32_t node, bool exec, int32_t scope, const char* name,
                 size_t length) {
    if (!c->inputs || !c->tree || node >= c->tree->count)
        return refuse(c, "wuna: a thunk of a node beyond the program (a wuna bug)");
    ModuleRecord* m = &c->module;
    TypeRef params[3] = {m->ptr, m->ptr, m->ptr};
    FunctionRef fn;
    if (Status s = declareFunction(m, name, length, m->i32, params, 3, DeclareExported, &fn);
        s != Status::ok)
        return s;
    Emitter e;
    if (Status s = startFunction(&e, c, fn.function, uint32_t(scope)); s != Status::ok) return s;
    Status s = layoutOf(c, uint32_t(scope), &e.layout);
    e.functionIdentity = identityOf(node) ^ (uint64_t(uint32_t(scope)) << 1 | (exec ? 1 : 0));
    e.runContext = T.LLVMGetParam(fn.function, 0);
    e.ownFrame = T.LLVMGetParam(fn.function, 1);
    e.hasOwnFrame = 1;
    e.resultSlot = T.LLVMGetParam(fn.function, 2);
    // A return raised by a helper compiled out of line leaves its value through the result
    // pointer: for a thunk that is the slot the bridge reads.
    e.resultPointer = e.resultSlot;
    // Jumps the node makes go back to the bridge as the thunk's status.
    e.modes.jumpsAsStatus = 1;
    BasicBlockRef error;
    if (s == Status::ok) s = namedBlock(&e, "error", &error);
    if (s == Status::ok) {
        e.errorTarget = error;
        e.returnBlock = error;
        s = bindThunkCallSlots(&e, uint32_t(scope));
    }
    if (s == Status::ok) {
        s = emitThunkBody(&e, node, exec);
    }
    if (s == Status::ok) {
        enter(&e.builder, error);
        T.LLVMBuildRet(e.builder.builder,
                       T.LLVMConstInt(m->i32, uint64_t(bridge::RunStatus::failed), 0));
    }
    finishFunction(&e);
    return s;
}

void installEmission() { emission = Emission{emitFunctionEntry, emitHelperSpec}; }

}  // namespace wuna::compile
