// Program functions: the top level, a function's generic entry and its typed entry, and the
// thunk that runs one node from the bridge. Each becomes one LLVM function of the compiler's
// current module: its emitter is readied, its parameters bound (frame or stack slots,
// receiver, extra arguments, the parameters' variables), its body run the way rt.exec runs
// it, and its "return" and "error" exits completed. A generic entry starts with the typed-entry
// dispatch (typedentries.cpp); a typed entry takes its parameters as payloads of the kinds
// recorded for the function and returns its result (or the typed failure) as a value pair.
// The top level keeps the globals no function references in stack slots (typed locals).
// installEmission makes these the code generator's entries (backend/emit.h). See lower.h.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/emit.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/function_kind.h"
#include "host/tree/index.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"
#include "wuna/runtime/wyhash.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

using value::kFrameParent;
using value::kFrameSlots;

// The emitter's function identity: Wyhash of the little-endian words with a seed of their own
// per kind of emission (3 a program function's id, 2 a thunk's node, mode and scope), so that
// no thunk shares a function's identity and the containers marked as made at run time in one
// are never taken for another's.
constexpr uint64_t kFunctionIdentitySeed = 3;
constexpr uint64_t kThunkIdentitySeed = 2;

uint64_t identityOfWords(const uint32_t* words, size_t count, uint64_t seed) {
    uint8_t bytes[12];
    for (size_t i = 0; i < count && i < 3; i++)
        for (size_t k = 0; k < 4; k++) bytes[4 * i + k] = uint8_t(words[i] >> (8 * k));
    return wyhash::hash(bytes, 4 * (count < 3 ? count : 3), seed);
}

uint64_t identityOf(uint32_t id) { return identityOfWords(&id, 1, kFunctionIdentitySeed); }

Status refuse(Compiler* c, const char* text) {
    c->message.clear();
    Status s = appendText(&c->message, text);
    return s == Status::ok ? Status::unsupported : s;
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
        if (!e->localSlots.push(initialisedSlot(e, value::TagUnset))) return Status::outOfMemory;
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
    uint32_t around = scopeOf(c, node);
    uint32_t f = around;
    while (f != kGlobalScope && !ptree::isFunctionNode(tree, f)) f = scopeOf(c, f);
    if (f == kGlobalScope) {
        Operand none = constantOperand(e, value::TagNone, 0, KnownKind::none);
        return storeOperand(e, e->receiverSlot, &none);
    }
    ValueRef frame = e->outerFrame;
    for (uint32_t s = around; s != f; s = scopeOf(c, s)) {
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
    ValueRef unset = icmp(&e->builder, llvmapi::IntEQ, o.tag, constI64(e, value::TagUnset));
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
    ValueRef present =
        icmp(b, llvmapi::IntNE, e->receiverPointer, T.LLVMConstNull(e->compiler->module.ptr));
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
    ValueRef args[] = {e->runContext,    constI32(e, int32_t(node)), e->argumentArray,
                       e->argumentCount, constI64(e, parameters),    e->scratch};
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
        if (Status s = storeParameter(e, node, parameters[i], &argument); s != Status::ok) return s;
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
        if (ptree::kindOf(tree->nodes[k]) == kind->bodyRule)
            return nodeFieldWhenCompiling(e, k, out);
    *out = noneShape();
    return Status::ok;
}

// The exits: "return" gives true (the result slot holds the result), "error" false.
void finishExits(Emitter* e, BasicBlockRef returnBlock, BasicBlockRef errorBlock, Status* status) {
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

// Per symbol of the analysis: 1 when a node naming it lies inside a function (its own kind or
// an ancestor's is a function kind). Parents come before their children in the index, so one
// pass in index order decides every node. Null when memory runs out.
uint8_t* symbolsInFunctions(const ptree::Index* tree) {
    auto* symbols = static_cast<uint8_t*>(calloc(tree->symbolCount ? tree->symbolCount : 1, 1));
    auto* inside = static_cast<uint8_t*>(calloc(tree->count ? tree->count : 1, 1));
    if (!symbols || !inside) {
        free(symbols);
        free(inside);
        return nullptr;
    }
    for (uint32_t k = 0; k < tree->count; k++) {
        uint32_t parent = tree->parents[k];
        inside[k] = ptree::isFunctionNode(tree, k) || (parent < k && inside[parent]);
        uint32_t symbol = tree->nodeSymbols[k];
        if (inside[k] && symbol < tree->symbolCount) symbols[symbol] = 1;
    }
    free(inside);
    return symbols;
}

// The top level's typed locals: up to kTypedLocals globals that no function references live
// in stack slots, loaded from the global frame at entry and written back only where code
// reads variables through frames (spillLocals). The list has one entry per global slot.
Status setUpTypedLocals(Emitter* e) {
    constexpr uint32_t kTypedLocals = 32;
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    ptree::Index* tree = const_cast<ptree::Index*>(c->tree);
    size_t n = e->layout->slots.count;
    if (!n || !tree->nodeSymbols) return Status::ok;
    uint8_t* inFunctions = symbolsInFunctions(tree);
    if (!inFunctions) return Status::outOfMemory;
    Status s = Status::ok;
    for (size_t i = 0; i < n && s == Status::ok; i++)
        if (!e->typedLocals.push(TypedLocal{nullptr, 0})) s = Status::outOfMemory;
    BuilderRef entry = e->builder.entryBuilder;
    uint32_t made = 0;
    for (size_t i = 0; i < n && made < kTypedLocals && s == Status::ok; i++) {
        uint32_t symbol = e->layout->slots[i];
        if (symbol >= tree->symbolCount || inFunctions[symbol] ||
            ptree::symbolScope(tree, symbol) != -1)
            continue;
        ValueRef slot = valueSlot(e);
        for (uint64_t word = 0; word < 2; word++) {
            ValueRef from = T.LLVMConstInt(m->i64, kFrameSlots + 16 * i + 8 * word, 0);
            ValueRef to = T.LLVMConstInt(m->i64, 8 * word, 0);
            ValueRef source = T.LLVMBuildInBoundsGEP2(entry, m->i8, e->globalFrame, &from, 1, "");
            ValueRef target = T.LLVMBuildInBoundsGEP2(entry, m->i8, slot, &to, 1, "");
            ValueRef value = T.LLVMBuildLoad2(entry, m->i64, source, "");
            T.LLVMSetAlignment(value, 8);
            T.LLVMSetAlignment(T.LLVMBuildStore(entry, value, target), 8);
        }
        e->typedLocals[i] = TypedLocal{slot, 1};
        made++;
    }
    if (made) e->hadTypedLocals = 1;
    free(inFunctions);
    return s;
}

Status emitTopLevel(Emitter* e, Compiler* c) {
    FunctionRef fn;
    if (Status s = openEntry(e, c, kTopLevel, kNoFunctionScope, &fn); s != Status::ok) return s;
    e->globalFrame = T.LLVMGetParam(fn.function, 1);
    e->ownFrame = e->globalFrame;
    e->hasOwnFrame = 1;
    if (Status s = setUpTypedLocals(e); s != Status::ok) return s;
    if (Status s = makeHoistedFunctions(e, kGlobalScope); s != Status::ok) return s;
    if (Status s = emitExecKnown(e, 0); s != Status::ok) return s;
    Status s = Status::ok;
    finishExits(e, e->returnBlock, e->errorTarget, &s);
    return s;
}

// A typed entry's parameters: each payload comes as its own LLVM parameter, its kind fixed
// when the entry was compiled. A list's reference stays the caller's: the variable takes one
// of its own.
Status bindTypedParameters(Emitter* e, uint32_t node, const backend::List<uint32_t>& parameters,
                           const TypedEntry* kinds, ValueRef fn) {
    for (size_t i = 0; i < parameters.count; i++) {
        KnownKind kind = typedKnownKind(kinds->kinds[i]);
        Operand argument = constantOperand(e, typedTagOf(kinds->kinds[i]), 0, kind);
        argument.payload = T.LLVMGetParam(fn, unsigned(4 + i));
        if (kind == KnownKind::list)
            if (Status s = addReference(e, &argument); s != Status::ok) return s;
        if (Status s = storeParameter(e, node, parameters[i], &argument); s != Status::ok) return s;
    }
    return Status::ok;
}

// The typed failure, {0xFFFF0001, 0}, stored into the result slot and returned.
void returnTypedFailure(Emitter* e) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    storeWord(e, constI64(e, value::TagTypedFailure), e->resultSlot);
    storeWord(e, constI64(e, 0), slotPayload(e, e->resultSlot));
    openBlock(b);
    ValueRef result = T.LLVMBuildLoad2(b->builder, m->valuePair, e->resultSlot, "");
    T.LLVMSetAlignment(result, 8);
    T.LLVMBuildRet(b->builder, result);
}

// The exits of a typed entry: the result value itself, {0xFFFF0001, 0} after a failure.
void finishTypedExits(Emitter* e, Status* status) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    br(b, e->returnBlock);
    for (int which = 0; which < 2 && *status == Status::ok; which++) {
        enter(b, which == 0 ? e->returnBlock : e->errorTarget);
        spillLocals(e);
        *status = releaseLocals(e);
        if (*status != Status::ok) return;
        if (which == 1) {
            returnTypedFailure(e);
            return;
        }
        openBlock(b);
        ValueRef result = T.LLVMBuildLoad2(b->builder, m->valuePair, e->resultSlot, "");
        T.LLVMSetAlignment(result, 8);
        T.LLVMBuildRet(b->builder, result);
    }
}

// A program function's generic entry (id a function node) or its typed entry (id with
// kTypedEntryBit: the kinds recorded for the function fix its parameters).
Status emitProgramEntry(Emitter* e, Compiler* c, uint32_t id) {
    uint32_t node = id & ~kTypedEntryBit;
    bool typed = (id & kTypedEntryBit) != 0;
    const host::FunctionKind* kind = functionKindOf(c, node);
    if (!kind) return refuse(c, "wuna: a function id that names no function node (a wuna bug)");
    const TypedEntry* kinds = typed ? c->typedEntries.find(node) : nullptr;
    if (typed && (!kinds || !kinds->kinds))
        return refuse(c, "wuna: a typed entry of a function with no argument kinds (a wuna bug)");
    FunctionRef fn;
    if (Status s = openEntry(e, c, id, node, &fn); s != Status::ok) return s;
    e->outerFrame = T.LLVMGetParam(fn.function, 1);
    backend::List<uint32_t> parameters;
    if (Status s = childWithLabel(e, node, kind->paramsLabel, &parameters); s != Status::ok)
        return s;
    Status s = Status::ok;
    if (typed) {
        e->modes.typedEntry = 1;
        e->argumentArray = T.LLVMConstNull(c->module.ptr);
        e->argumentCount = constI64(e, kinds->count);
        e->receiverPointer = T.LLVMGetParam(fn.function, 2);
        e->location = T.LLVMGetParam(fn.function, 3);
        e->resultSlot = valueSlot(e);
        if (kinds->count != parameters.count)
            s = refuse(c,
                       "wuna: a typed entry whose kinds don't match its parameters (a wuna bug)");
    } else {
        e->argumentArray = T.LLVMGetParam(fn.function, 2);
        e->argumentCount = T.LLVMGetParam(fn.function, 3);
        e->receiverPointer = T.LLVMGetParam(fn.function, 4);
        e->resultSlot = T.LLVMGetParam(fn.function, 5);
        BasicBlockRef generic;
        // Declared kinds are copied out: the dispatch records them again, freeing the entry.
        const TypedEntry* declared = nullptr;
        KnownKind declaredKinds[4];
        s = nodeKindFromTypes(e, node, &declared);
        bool fits = declared && declared->count == parameters.count &&
                    declared->count <= std::size(declaredKinds);
        for (uint32_t i = 0; fits && i < declared->count; i++)
            declaredKinds[i] = KnownKind(declared->kinds[i]);
        if (s == Status::ok)
            s = emitTypedDispatch(e, id, uint32_t(parameters.count),
                                  fits ? declaredKinds : nullptr, &generic);
    }
    BasicBlockRef lost = nullptr;
    if (s == Status::ok) s = newBlock(&e->builder, "frame_lost", &lost);
    if (s == Status::ok) s = makeStorage(e, node, lost);
    // A function that keeps no extra arguments has none: its rt.varargs is the empty tuple.
    if (s == Status::ok && kind->extra != host::ExtraArgs::keep) e->extraArgumentsSlot = nullptr;
    Operand none = constantOperand(e, value::TagNone, 0, KnownKind::none);
    if (s == Status::ok) s = storeOperand(e, e->resultSlot, &none);
    if (s == Status::ok) s = bindReceiver(e, node);
    if (s == Status::ok && kind->extra == host::ExtraArgs::keep) {
        // A typed entry is called with exactly its parameters: no extra arguments.
        if (typed) {
            Operand empty;
            s = emptyTuple(e, &empty);
            if (s == Status::ok) s = storeOperand(e, e->extraArgumentsSlot, &empty);
        } else {
            s = bindExtraArguments(e, node, parameters.count);
        }
    }
    if (s == Status::ok) s = makeHoistedFunctions(e, node);
    if (s == Status::ok)
        s = typed ? bindTypedParameters(e, node, parameters, kinds, fn.function)
                  : bindParameters(e, node, parameters);
    parameters.free();
    Shape body;
    if (s == Status::ok) s = bodyValue(e, node, kind, &body);
    if (s == Status::ok) s = emitRtExec(e, &body);
    if (s == Status::ok) {
        if (typed)
            finishTypedExits(e, &s);
        else
            finishExits(e, e->returnBlock, e->errorTarget, &s);
    }
    if (s != Status::ok) return s;
    // Nothing was made yet when the frame could not be: the failure is already recorded.
    enter(&e->builder, lost);
    if (typed)
        returnTypedFailure(e);
    else
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
    Emitter e{};  // zeroed: a refusal before the emitter starts leaves nothing to finish
    Status s = id == kTopLevel ? emitTopLevel(&e, c) : emitProgramEntry(&e, c, id);
    if (e.compiler) finishFunction(&e);
    return s;
}

}  // namespace

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

Status emitProgramFunction(Compiler* c, uint32_t id) { return emitFunctionEntry(c, id); }

namespace {}  // namespace

// The receiver and extra arguments a thunk's code reads (rt.receiver, rt.varargs): the two
// slots after the variables in the frame of the function its scope is in (makeStorage and
// emitCallFrame lay them out so). At the top level there are none: None and the empty tuple.
Status bindThunkCallSlots(Emitter* e, uint32_t scope) {
    Compiler* c = e->compiler;
    uint32_t f = scope;
    while (f != kGlobalScope && !ptree::isFunctionNode(c->tree, f)) f = scopeOf(c, f);
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
    Emitter e{};  // zeroed: a refusal before the emitter starts leaves nothing to finish
    if (Status s = startFunction(&e, c, fn.function, uint32_t(scope)); s != Status::ok) return s;
    Status s = layoutOf(c, uint32_t(scope), &e.layout);
    const uint32_t key[3] = {node, exec ? 1u : 0u, uint32_t(scope)};
    e.functionIdentity = identityOfWords(key, 3, kThunkIdentitySeed);
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
