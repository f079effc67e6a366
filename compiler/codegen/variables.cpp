// Variables of the interpreted language: rt.load, rt.store and rt.function compiled.
//
// Everything the analysis knows of a variable is settled while compiling: its symbol, its
// scope and slot, whether it can be read before it is set, whether it is a builtin. The code
// reaches the slot by a fixed chain of loads (or a stack slot), tests the unset marker only
// where the variable can be unset, and moves reference counts; nothing is looked up by name
// at run time.
//
// Reads that need no reference of their own are borrowed: a read of the function's own stack
// variable, and a read of a global function value, which is marked so that a store replacing
// it hands it to the run's release list (wn_bury) instead of freeing it under the borrow. A
// store of a variable first makes its borrowed reads owners (ownBorrowsOf), and every call
// that may run program code does the same for the borrows of globals (callHelper).
//
// A name node the analysis bound to no symbol, a builtin without a host function, a store to
// a builtin and rt.function of a kind that is not a function kind compile to a failure at the
// node: the program fails when, and only when, that code runs, as in the reference mode.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

using value::kFrameSlots;
// The function block's header flags word and its read mark (set on a borrowed global read).
constexpr uint64_t kFunctionFlags = 12;
constexpr uint64_t kReadMark = 0x80000;

constexpr char kNeedRules[] = "variables need rules with a scopes() rule";
constexpr char kAnonymous[] = "<anonymous>";

// The node's source text, its byte range clamped to the text.
front::Text nodeText(const ptree::Index* tree, uint32_t node) {
    if (!tree || !tree->text || node >= tree->count) return front::Text{"", 0};
    const ptree::NodeRecord& record = tree->nodes[node];
    uint64_t length = tree->textLength;
    uint64_t start = record.start < length ? record.start : length;
    uint64_t end = record.end < length ? record.end : length;
    if (end < start) end = start;
    return front::Text{tree->text + start, end - start};
}

// The symbol the name node is bound to.
bool symbolAt(const Compiler* c, uint32_t node, uint32_t* symbol) {
    const ptree::Index* tree = c->tree;
    if (!tree || node >= tree->count || !tree->nodeSymbols) return false;
    uint32_t s = tree->nodeSymbols[node];
    if (s >= tree->symbolCount) return false;
    *symbol = s;
    return true;
}

uint32_t scopeOfSymbol(const Compiler* c, uint32_t symbol) {
    // symbolScope only fills the index's per-symbol cache.
    return uint32_t(ptree::symbolScope(const_cast<ptree::Index*>(c->tree), symbol));
}

const host::FunctionKind* kindRecords(const Compiler* c, uint64_t* count) {
    if (c->inputs && c->inputs->functionKinds) {
        *count = c->inputs->functionKindCount;
        return c->inputs->functionKinds;
    }
    *count = c->tree ? c->tree->functionKindCount : 0;
    return c->tree ? c->tree->functionKinds : nullptr;
}

// The failure of a name node without a symbol; the operation's value is None.
Status failNotVariable(Emitter* e, uint32_t node) {
    Compiler* c = e->compiler;
    bool rules = c->inputs ? c->inputs->analysis != nullptr : c->tree && c->tree->nodeSymbols;
    if (!rules) return failWith(e, int32_t(node), kNeedRules, sizeof kNeedRules - 1);
    front::Text text = nodeText(c->tree, node);
    backend::List<char> message;
    Status err = writeNotVariable(&message, text.data, text.length);
    if (err == Status::ok) err = failWith(e, int32_t(node), message.items, message.count);
    message.free();
    return err;
}

// The slot number of a symbol. A symbol the layouts left out is the compiler's own fault, and
// a compile error: reading slot 0 in its place would give another variable's value.
Status slotOf(Compiler* c, uint32_t symbol, uint32_t* k) {
    if (const uint32_t* there = c->slots.find(symbol)) {
        *k = *there;
        return Status::ok;
    }
    c->message.clear();
    const ptree::Symbol& s = c->tree->symbols[symbol];
    Status err = appendText(&c->message, "wuna: the variable '");
    if (err == Status::ok) err = appendText(&c->message, s.name, s.length);
    if (err == Status::ok) err = appendText(&c->message, "' has no frame slot (a wuna bug)");
    return err == Status::ok ? Status::unsupported : err;
}

uint32_t borrowsOf(const Emitter* e, uint32_t symbol) {
    uint32_t n = 0;
    for (size_t i = 0; i < e->borrows.count; i++) n += e->borrows[i].symbol == symbol;
    return n;
}

// The label byte of the grammar's field "name" (0 when there is none).
uint8_t nameLabel(const Compiler* c) {
    const ptree::GrammarInfo* grammar = c->inputs && c->inputs->grammar ? c->inputs->grammar
                                        : c->tree                       ? c->tree->grammar
                                                                        : nullptr;
    if (!grammar || !grammar->fields) return 0;
    for (uint32_t i = 0; i < grammar->fieldCount && i < 255; i++)
        if (grammar->fields[i].length == 4 && memcmp(grammar->fields[i].data, "name", 4) == 0)
            return uint8_t(i + 1);
    return 0;
}

// Whether d is one of the parameter nodes of the function node f: a child of f under the
// parameters label that the analysis declares a symbol at, else that child's first child
// labelled "name", else the child.
bool isParameter(const Compiler* c, uint32_t f, const host::FunctionKind& kind, uint32_t d) {
    const ptree::Index* tree = c->tree;
    if (!kind.paramsLabel) return false;
    uint32_t end = f + tree->nodes[f].descendants + 1;
    if (end > tree->count) end = tree->count;
    uint8_t name = nameLabel(c);
    for (uint32_t child = f + 1; child < end; child += tree->nodes[child].descendants + 1) {
        if (ptree::labelByte(tree->nodes[child]) != kind.paramsLabel) continue;
        uint32_t declared = tree->nodeSymbols ? tree->nodeSymbols[child] : ptree::kNone;
        uint32_t parameter = child;
        if (!(declared < tree->symbolCount && tree->symbols[declared].declaring == child) && name) {
            int64_t named = ptree::childWithLabel(tree->nodes, tree->count, child, name);
            if (named >= 0) parameter = uint32_t(named);
        }
        if (parameter == d) return true;
    }
    return false;
}

bool isHoisted(const ptree::Index* tree, uint32_t f) {
    for (uint32_t n = tree->parents[f];; n = tree->parents[n]) {
        uint32_t count = 0;
        const uint32_t* list = ptree::hoisted(tree, n < tree->count ? int64_t(n) : -1, &count);
        for (uint32_t i = 0; i < count; i++)
            if (list[i] == f) return true;
        if (n >= tree->count) return false;
    }
}

// Whether the variable is set whenever it can be read: a parameter, or the name of a hoisted
// function (made and stored when its scope is entered).
bool computeSetBeforeRead(const Compiler* c, uint32_t symbol) {
    const ptree::Index* tree = c->tree;
    uint32_t d = tree->symbols[symbol].declaring;
    if (d >= tree->count) return false;
    uint32_t f = tree->parents[d];
    while (f < tree->count && !ptree::isFunctionNode(tree, f)) f = tree->parents[f];
    if (f >= tree->count) return false;
    const host::FunctionKind* kind = functionKindOf(c, f);
    if (!kind) return false;
    if (isParameter(c, f, *kind, d)) return true;
    if (tree->parents[d] != f || !kind->nameLabel) return false;
    if (ptree::childWithLabel(tree->nodes, tree->count, f, kind->nameLabel) != int64_t(d))
        return false;
    return isHoisted(tree, f);
}

Status setBeforeRead(Compiler* c, uint32_t symbol, bool* out) {
    if (const uint8_t* there = c->setBeforeRead.find(symbol)) {
        *out = *there != 0;
        return Status::ok;
    }
    *out = computeSetBeforeRead(c, symbol);
    return c->setBeforeRead.put(symbol, *out ? 1 : 0) ? Status::ok : Status::outOfMemory;
}

// The function node a variable's value is known to come from, or kNoFunctionNode.
int32_t knownFunctionOf(const Compiler* c, uint32_t symbol) {
    const ptree::Index* tree = c->tree;
    uint32_t d = tree->symbols[symbol].declaring;
    if (d < tree->count) {
        uint32_t p = tree->parents[d];
        const host::FunctionKind* kind = p < tree->count ? functionKindOf(c, p) : nullptr;
        if (kind && kind->nameLabel &&
            ptree::childWithLabel(tree->nodes, tree->count, p, kind->nameLabel) == int64_t(d))
            return int32_t(p);
    }
    const int32_t* stored = c->storedFunctions.find(symbol);
    return stored ? *stored : kNoFunctionNode;
}

// rt.load of a builtin: the language's host function of that name, else a failure.
Status loadBuiltin(Emitter* e, uint32_t node, const ptree::Symbol& symbol, Shape* out) {
    Compiler* c = e->compiler;
    *out = noneShape();
    PyObject* hosts = c->inputs ? c->inputs->hosts : nullptr;
    PyObject* host = nullptr;
    if (hosts) {
        PyObject* name = PyUnicode_DecodeUTF8(symbol.name, Py_ssize_t(symbol.length), "replace");
        if (!name) return Status::pythonError;
        host = PyDict_GetItemWithError(hosts, name);
        Py_DECREF(name);
        if (!host && PyErr_Occurred()) return Status::pythonError;
    }
    if (host) {
        if (Status err = pinObject(c, host, nullptr); err != Status::ok) return err;
        out->kind = ShapeKind::py;
        out->py = host;
        return Status::ok;
    }
    backend::List<char> message;
    Status err = writeNoHostFunction(&message, symbol.name, symbol.length);
    if (err == Status::ok) err = failWith(e, int32_t(node), message.items, message.count);
    message.free();
    return err;
}

// The "unset" test of a read: the failure "'<name>' has no value yet" at the node.
Status checkSet(Emitter* e, uint32_t node, const ptree::Symbol& symbol, const Operand& value) {
    Builder* b = &e->builder;
    ValueRef name;
    if (Status err = literalGlobal(&e->compiler->module, symbol.name, symbol.length, &name);
        err != Status::ok)
        return err;
    BasicBlockRef unset, set;
    if (Status err = newBlock(b, "unset", &unset); err != Status::ok) return err;
    if (Status err = newBlock(b, "set", &set); err != Status::ok) return err;
    condBr(b, icmp(b, llvmapi::IntEQ, value.tag, constI64(e, value::TagUnset)), unset, set);
    enter(b, unset);
    ValueRef args[3] = {e->runContext, siteValue(e, int32_t(node)), name};
    if (Status err = callHelper(e, "wn_unset", args, 3, nullptr); err != Status::ok) return err;
    BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(b, exit);
    enter(b, set);
    return Status::ok;
}

// A read of a global in a program function: a function value is borrowed and marked (a store
// replacing it defers its release); anything else is owned at once.
Status borrowGlobal(Emitter* e, const Operand& value, uint32_t symbol, Operand* out) {
    Builder* b = &e->builder;
    ModuleRecord* m = &e->compiler->module;
    ValueRef flag = T.LLVMBuildAlloca(b->entryBuilder, m->i64, "");
    T.LLVMSetAlignment(flag, 8);
    T.LLVMSetAlignment(
        T.LLVMBuildStore(b->entryBuilder, constI64(e, uint64_t(BorrowFlag::givenUp)), flag), 8);
    ValueRef copy = valueSlot(e);
    storeWord(e, value.tag, copy);
    storeWord(e, value.payload, slotPayload(e, copy));
    BasicBlockRef readFn, readOther, done, mark, marked;
    if (Status err = newBlock(b, "read_fn", &readFn); err != Status::ok) return err;
    if (Status err = newBlock(b, "read_other", &readOther); err != Status::ok) return err;
    if (Status err = newBlock(b, "read_done", &done); err != Status::ok) return err;
    if (Status err = newBlock(b, "read_mark", &mark); err != Status::ok) return err;
    if (Status err = newBlock(b, "read_marked", &marked); err != Status::ok) return err;
    condBr(b, icmp(b, llvmapi::IntEQ, value.tag, constI64(e, value::TagFunction)), readFn,
           readOther);
    enter(b, readFn);
    openBlock(b);
    ValueRef block = T.LLVMBuildIntToPtr(b->builder, value.payload, m->ptr, "");
    ValueRef flagsAt = byteOffset(e, block, kFunctionFlags);
    ValueRef flags = T.LLVMBuildLoad2(b->builder, m->i32, flagsAt, "");
    T.LLVMSetAlignment(flags, 4);
    ValueRef markBit = T.LLVMConstInt(m->i32, kReadMark, 0);
    ValueRef bit = T.LLVMBuildAnd(b->builder, flags, markBit, "");
    condBr(b, icmp(b, llvmapi::IntEQ, bit, T.LLVMConstInt(m->i32, 0, 0)), mark, marked);
    enter(b, mark);
    openBlock(b);
    T.LLVMSetAlignment(
        T.LLVMBuildStore(b->builder, T.LLVMBuildOr(b->builder, flags, markBit, ""), flagsAt), 4);
    br(b, marked);
    enter(b, marked);
    storeWord(e, constI64(e, uint64_t(BorrowFlag::borrowed)), flag);
    br(b, done);
    enter(b, readOther);
    if (Status err = refcount(e, RefMode::increment, value.tag, value.payload); err != Status::ok)
        return err;
    storeWord(e, constI64(e, uint64_t(BorrowFlag::owned)), flag);
    br(b, done);
    enter(b, done);
    if (!e->borrows.push(BorrowRecord{flag, copy, symbol})) return Status::outOfMemory;
    *out = value;
    out->source = copy;
    out->borrowFlag = flag;
    return Status::ok;
}

// The emitter keeps this function's variables on its stack and reads them borrowed.
bool ownStackBorrows(const Emitter* e) {
    const EmitterModes& modes = e->modes;
    return e->scopeId != kNoFunctionScope && !e->hasOwnFrame && !modes.runtimeFrameLookup &&
           !modes.jumpsAsStatus && !modes.helperSpecialisation && !e->specialisationOrigin &&
           !e->hadTypedLocals && !e->typedLocals.count;
}

bool globalBorrows(const Emitter* e) {
    return e->scopeId != kNoFunctionScope && !e->modes.runtimeFrameLookup &&
           !e->modes.jumpsAsStatus;
}

bool isStackSlot(const Emitter* e, ValueRef slot) {
    for (size_t i = 0; i < e->localSlots.count; i++)
        if (e->localSlots[i] == slot) return true;
    return false;
}

// rt.store's value with an int made the language's checked int, as the reference mode's store
// makes it: a plain int becomes an int, one that needs more than 64 bits fails the run
// ("integer overflow"), and a run-time value is tested where its kind allows an int.
Status definiteInt(Emitter* e, uint32_t node, Shape* value) {
    return emitBigIntCheck(e, value, int32_t(node), value);
}

// The frame copy of a spilled typed local stays current with its stack slot.
void storeSpilled(Emitter* e, ValueRef slot, const Operand& value) {
    if (!e->modes.localsSpilled || !e->ownFrame) return;
    for (size_t i = 0; i < e->typedLocals.count; i++) {
        const TypedLocal& local = e->typedLocals[i];
        if (!local.live || local.slot != slot) continue;
        storeWord(e, value.tag, byteOffset(e, e->ownFrame, kFrameSlots + 16 * i));
        storeWord(e, value.payload, byteOffset(e, e->ownFrame, kFrameSlots + 16 * i + 8));
    }
}

// The replaced value of a global goes to the run's release list when it is a function (code
// may still read it borrowed); any other is released at once.
Status releaseOld(Emitter* e, uint32_t scope, const Operand& old) {
    if (scope != kGlobalScope) return refcount(e, RefMode::decrement, old.tag, old.payload);
    Builder* b = &e->builder;
    BasicBlockRef bury, releaseBlock, stored;
    if (Status err = newBlock(b, "bury", &bury); err != Status::ok) return err;
    if (Status err = newBlock(b, "release_old", &releaseBlock); err != Status::ok) return err;
    if (Status err = newBlock(b, "stored", &stored); err != Status::ok) return err;
    condBr(b, icmp(b, llvmapi::IntEQ, old.tag, constI64(e, value::TagFunction)), bury,
           releaseBlock);
    enter(b, bury);
    ValueRef args[3] = {e->runContext, old.tag, old.payload};
    if (Status err = callHelper(e, "wn_bury", args, 3, nullptr); err != Status::ok) return err;
    br(b, stored);
    enter(b, releaseBlock);
    if (Status err = refcount(e, RefMode::decrement, old.tag, old.payload); err != Status::ok)
        return err;
    br(b, stored);
    enter(b, stored);
    return Status::ok;
}

Status noteStoredFunction(Compiler* c, uint32_t symbol, const Shape& value) {
    int32_t f = value.kind == ShapeKind::dyn ? value.dyn.functionNode : kNoFunctionNode;
    const int32_t* there = c->storedFunctions.find(symbol);
    if (there && *there == f) return Status::ok;
    return c->storedFunctions.put(symbol, there ? kNoFunctionNode : f) ? Status::ok
                                                                       : Status::outOfMemory;
}

// The name of a function value: its name child's source text, or "<anonymous>".
front::Text functionName(const Compiler* c, uint32_t node, const host::FunctionKind& kind) {
    const ptree::Index* tree = c->tree;
    int64_t child =
        kind.nameLabel ? ptree::childWithLabel(tree->nodes, tree->count, node, kind.nameLabel) : -1;
    if (child < 0) return front::Text{kAnonymous, sizeof kAnonymous - 1};
    return nodeText(tree, uint32_t(child));
}

uint64_t parameterCount(const ptree::Index* tree, uint32_t node, uint8_t label) {
    if (!label) return 0;
    uint64_t n = 0;
    uint32_t end = node + tree->nodes[node].descendants + 1;
    if (end > tree->count) end = tree->count;
    for (uint32_t child = node + 1; child < end; child += tree->nodes[child].descendants + 1)
        n += ptree::labelByte(tree->nodes[child]) == label;
    return n;
}

// "<kind> isn't a function kind (Language.function)" at the node.
Status failNotFunctionKind(Emitter* e, uint32_t node) {
    Compiler* c = e->compiler;
    const ptree::GrammarInfo* grammar =
        c->inputs && c->inputs->grammar ? c->inputs->grammar : c->tree->grammar;
    uint32_t k = node < c->tree->count ? ptree::kindOf(c->tree->nodes[node]) : ptree::kNone;
    const char* kind = "?";
    Py_ssize_t length = 1;
    if (grammar && k < grammar->kindCount && grammar->pyNames && grammar->pyNames[k]) {
        kind = PyUnicode_AsUTF8AndSize(grammar->pyNames[k], &length);
        if (!kind) return Status::pythonError;
    }
    backend::List<char> message;
    Status err = appendText(&message, kind, size_t(length));
    if (err == Status::ok) err = appendText(&message, " isn't a function kind (Language.function)");
    if (err == Status::ok) err = failWith(e, int32_t(node), message.items, message.count);
    message.free();
    return err;
}

// A node known at run time only (a helper compiled out of line receives its nodes as
// values): its variable can't be settled while compiling, so the semantic runs as Python.
bool runTimeNode(uint32_t node) {
    return int32_t(node) == kCallScopeSite || int32_t(node) == kCallSiteSite;
}

}  // namespace

const host::FunctionKind* functionKindOf(const Compiler* c, uint32_t node) {
    const ptree::Index* tree = c->tree;
    if (!tree || node >= tree->count) return nullptr;
    uint64_t count;
    const host::FunctionKind* kinds = kindRecords(c, &count);
    uint32_t k = ptree::kindOf(tree->nodes[node]);
    if (!kinds || k >= count || !kinds[k].isFunction) return nullptr;
    return &kinds[k];
}

Status emitFrameOf(Emitter* e, uint32_t symbol, ValueRef* out) {
    Compiler* c = e->compiler;
    uint32_t k;
    if (Status err = slotOf(c, symbol, &k); err != Status::ok) return err;
    uint32_t scope = scopeOfSymbol(c, symbol);
    if (scope == e->scopeId && !e->hasOwnFrame && k < e->localSlots.count && e->localSlots[k]) {
        *out = e->localSlots[k];
        return Status::ok;
    }
    if (scope == kGlobalScope && e->scopeId == kNoFunctionScope && k < e->typedLocals.count &&
        e->typedLocals[k].live) {
        *out = e->typedLocals[k].slot;
        return Status::ok;
    }
    ValueRef frame;
    if (Status err = frameOfScope(e, scope, FrameMessage::variableUnreachable, &frame);
        err != Status::ok)
        return err;
    *out = byteOffset(e, frame, kFrameSlots + 16 * uint64_t(k));
    return Status::ok;
}

Status emitRtLoad(Emitter* e, Semantic*, uint32_t node, Shape* out) {
    Compiler* c = e->compiler;
    *out = noneShape();
    if (runTimeNode(node)) return refuseConstruct(e, "rt.load of a node known at run time only");
    uint32_t symbol;
    if (!symbolAt(c, node, &symbol)) return failNotVariable(e, node);
    const ptree::Symbol& declared = c->tree->symbols[symbol];
    if (declared.builtin) return loadBuiltin(e, node, declared, out);
    ValueRef slot;
    if (Status err = emitFrameOf(e, symbol, &slot); err != Status::ok) return err;
    Operand read = loadOperand(e, slot, KnownKind::unknown);
    bool alwaysSet;
    if (Status err = setBeforeRead(c, symbol, &alwaysSet); err != Status::ok) return err;
    if (!alwaysSet)
        if (Status err = checkSet(e, node, declared, read); err != Status::ok) return err;
    Shape loaded = dynShape(read), checked;
    if (Status err = emitKindCheck(e, node, &loaded, &checked); err != Status::ok) return err;
    Operand value = checked.dyn;
    // Both int tags mean the same: the one the code knows is enough.
    if (value.kind == KnownKind::int_) value.tag = constI64(e, value::TagInt);
    value.functionNode = knownFunctionOf(c, symbol);
    if (neverCounted(value.kind)) {
        *out = dynShape(value);
        return Status::ok;
    }
    uint32_t scope = scopeOfSymbol(c, symbol);
    bool fewBorrows = borrowsOf(e, symbol) < kBorrowsPerSymbol;
    if (fewBorrows && scope == e->scopeId && ownStackBorrows(e) && isStackSlot(e, slot)) {
        Operand borrowed;
        if (Status err = borrowOperand(e, value, symbol, &borrowed); err != Status::ok) return err;
        *out = dynShape(borrowed);
        return Status::ok;
    }
    if (fewBorrows && scope == kGlobalScope && globalBorrows(e)) {
        Operand borrowed;
        if (Status err = borrowGlobal(e, value, symbol, &borrowed); err != Status::ok) return err;
        *out = dynShape(borrowed);
        return Status::ok;
    }
    if (Status err = refcount(e, RefMode::increment, value.tag, value.payload); err != Status::ok)
        return err;
    *out = dynShape(value);
    return Status::ok;
}

Status emitRtStore(Emitter* e, uint32_t node, Shape* value) {
    Compiler* c = e->compiler;
    Shape v = *value;
    if (runTimeNode(node)) {
        if (Status err = release(e, v); err != Status::ok) return err;
        return refuseConstruct(e, "rt.store of a node known at run time only");
    }
    uint32_t symbol;
    if (!symbolAt(c, node, &symbol)) {
        if (Status err = release(e, v); err != Status::ok) return err;
        return failNotVariable(e, node);
    }
    const ptree::Symbol& declared = c->tree->symbols[symbol];
    if (declared.builtin) {
        if (Status err = release(e, v); err != Status::ok) return err;
        backend::List<char> message;
        Status err = writeCantAssignBuiltin(&message, declared.name, declared.length);
        if (err == Status::ok) err = failWith(e, int32_t(node), message.items, message.count);
        message.free();
        return err;
    }
    if (Status err = noteStoredFunction(c, symbol, v); err != Status::ok) return err;
    if (Status err = ownBorrowsOf(e, symbol); err != Status::ok) return err;
    if (Status err = definiteInt(e, node, &v); err != Status::ok) return err;
    Operand operand;
    if (Status err = materialize(e, v, int32_t(node), &operand); err != Status::ok) return err;
    ValueRef slot;
    if (Status err = emitFrameOf(e, symbol, &slot); err != Status::ok) return err;
    Operand old = loadOperand(e, slot, KnownKind::unknown);
    if (Status err = storeOperand(e, slot, &operand); err != Status::ok) return err;
    storeSpilled(e, slot, operand);
    return releaseOld(e, scopeOfSymbol(c, symbol), old);
}

Status emitRtFunction(Emitter* e, Semantic*, uint32_t node, Shape* out) {
    Compiler* c = e->compiler;
    *out = noneShape();
    if (runTimeNode(node))
        return refuseConstruct(e, "rt.function of a node known at run time only");
    const host::FunctionKind* kind = functionKindOf(c, node);
    if (!kind) return failNotFunctionKind(e, node);
    FunctionRef code;
    if (Status err = functionCode(c, node, &code); err != Status::ok) return err;
    ValueRef frame;
    if (Status err = frameOfScope(e, scopeOf(c, node), FrameMessage::functionOutside, &frame);
        err != Status::ok)
        return err;
    front::Text name = functionName(c, node, *kind);
    ValueRef nameLiteral;
    if (Status err = literalGlobal(&c->module, name.data, name.length, &nameLiteral);
        err != Status::ok)
        return err;
    uint64_t arity = parameterCount(c->tree, node, kind->paramsLabel) |
                     (uint64_t(uint8_t(kind->missing) & 1) << 16) |
                     (uint64_t(uint8_t(kind->extra) & 3) << 17);
    ValueRef args[7] = {e->runContext, code.function,      frame,     siteValue(e, int32_t(node)),
                        nameLiteral,   constI64(e, arity), e->scratch};
    ValueRef made;
    if (Status err = callHelper(e, "wn_function", args, 7, &made); err != Status::ok) return err;
    if (Status err = checkOk(e, made); err != Status::ok) return err;
    Operand result = loadOperand(e, e->scratch, KnownKind::function);
    result.functionNode = int32_t(node);
    *out = dynShape(result);
    return Status::ok;
}

Status defineFunctionHere(Emitter* e, uint32_t node, uint32_t name) {
    Shape made;
    if (Status err = emitRtFunction(e, nullptr, node, &made); err != Status::ok) return err;
    return emitRtStore(e, name, &made);
}

Status makeHoistedFunctions(Emitter* e, uint32_t scope) {
    Compiler* c = e->compiler;
    const ptree::Index* tree = c->tree;
    if (!tree) return Status::ok;
    uint32_t count = 0;
    const uint32_t* list =
        ptree::hoisted(tree, scope == kGlobalScope ? -1 : int64_t(scope), &count);
    for (uint32_t i = 0; i < count; i++) {
        uint32_t f = list[i];
        const host::FunctionKind* kind = functionKindOf(c, f);
        uint8_t label = kind ? kind->nameLabel : 0;
        int64_t child = label ? ptree::childWithLabel(tree->nodes, tree->count, f, label) : -1;
        if (child < 0) continue;
        if (Status err = defineFunctionHere(e, f, uint32_t(child)); err != Status::ok) return err;
    }
    return Status::ok;
}

}  // namespace wuna::compile
