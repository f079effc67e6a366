// Out-of-line helper call sites (see lower.h): the specialisation a call selects, the
// arguments only known at run time passed in an array, and for a site with constants worth
// specialising on, a cell that counts the calls and asks wn_specialize for a version compiled
// for those constants at the hot_calls-th one.
//
// The cell is shared by every thread that runs the module: its count is updated by
// wuna_site_count with an atomic increment (profiles.h), and the count is compared for
// equality, so exactly one call asks; the version is published into the cell by address with
// release order, and each call reads it through wuna_site_entry with acquire order, so a call
// that sees the address sees the loaded code behind it.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "compiler/front/analyzer.h"
#include "compiler/front/jumps.h"
#include "wuna/runtime/helpers/run.h"

namespace wuna::compile {

namespace {

using llvmapi::BasicBlockRef;
using llvmapi::TypeRef;
using llvmapi::ValueRef;
const llvmapi::Table& T = llvmapi::table;

// How an argument shape reaches a helper compiled out of line.
enum class Passing : uint8_t { runTime, key, refused };
constexpr Passing kPassing[kShapeKindCount] = {
    Passing::key,      // none
    Passing::key,      // bool
    Passing::runTime,  // int
    Passing::runTime,  // pint
    Passing::runTime,  // float
    Passing::runTime,  // str
    Passing::runTime,  // node
    Passing::runTime,  // list
    Passing::runTime,  // tuple
    Passing::runTime,  // dict
    Passing::key,      // rt
    Passing::refused,  // rt_method
    Passing::key,      // py
    Passing::refused,  // control
    Passing::refused,  // method
    Passing::runTime,  // dyn
};

// The kind names of the refusal message.
const char* refusedName(ShapeKind kind) {
    switch (kind) {
    case ShapeKind::rtMethod: return "rt_method";
    case ShapeKind::control: return "control";
    default: return "method";
    }
}

Status refuseArgument(Compiler* c, const front::FunctionIR* helper, ShapeKind kind) {
    c->message.count = 0;
    ErrorSite at{helper, front::makePosition(helper->firstLine, 0)};
    if (beginError(&c->message, at) != Status::ok || appendText(&c->message, "a ") != Status::ok ||
        appendText(&c->message, refusedName(kind)) != Status::ok ||
        appendText(&c->message, " can't be given to a helper compiled out of line") != Status::ok)
        return Status::outOfMemory;
    return Status::unsupported;
}

// The specialisation for the key shapes: an equal one of the compiler's list, else a new one
// named and queued.
Status findOrMakeSpec(Emitter* e, front::FunctionIR* helper, Shape* keys, uint32_t count,
                      HelperSpec** out) {
    Compiler* c = e->compiler;
    for (size_t i = 0; i < c->helpers.count; i++) {
        HelperSpec* h = c->helpers[i];
        if (h->function != helper || h->argumentCount != count || h->argumentFlags) continue;
        bool directOk = !h->entryForm || (!compiledForThisProcess(c) && !helper->hasVarargs &&
                                          count == helper->paramCount);
        if (!directOk) continue;
        bool same = true;
        for (uint32_t k = 0; k < count && same; k++) same = sameSpec(h->shapes[k], keys[k]);
        if (same) {
            *out = h;
            return Status::ok;
        }
    }
    return queueSpecialisation(e, helper, keys, count, SpecLetter::helperSite, out);
}

// A list known while compiling whose items are all plain keys: a site may key on it when the
// helper only reads it. A Python list the compiled code adopts (not a wuna.comptime result)
// may be changed by others at run time: never.
bool listKeyCandidate(const Shape& shape) {
    if (shape.kind != ShapeKind::list || !shape.list || shape.list->released) return false;
    if (shape.list->source && !shape.list->comptime) return false;
    for (uint64_t k = 0; k < shape.list->length; k++)
        if (!isPlainKey(shape.list->items[k])) return false;
    return true;
}

// The analyzer's readonly answer for the helper: a tuple of one truth value per positional
// parameter (empty when the analyzer can't judge it). ok with a new reference in *out (null
// for a helper without its Python function), or pythonError.
Status readOnlyAnswer(const front::FunctionIR* helper, PyObject** out) {
    *out = nullptr;
    if (!helper->function) return Status::ok;
    if (Status s = front::loadAnalyzer(); s != Status::ok) return s;
    PyObject* answer = PyObject_CallOneArg(front::analyzer().readonly, helper->function);
    if (!answer) return Status::pythonError;
    *out = answer;
    return Status::ok;
}

// What a site keys argument i on: its value known while compiling when it is a plain key, or
// a list of plain keys the helper only reads; else nothing (*out left alone, false).
struct SiteKeys {
    const Shape* args;
    const Shape* keys;
    PyObject* readonly;  // the analyzer's answer, or null when no list asked for it
    bool keyed(uint32_t i) const {
        if (keys[i].kind != ShapeKind::dyn) return false;
        if (isPlainKey(args[i])) return true;
        return listKeyCandidate(args[i]) && readonly && PyTuple_Check(readonly) &&
               Py_ssize_t(i) < PyTuple_GET_SIZE(readonly) &&
               PyTuple_GET_ITEM(readonly, Py_ssize_t(i)) == Py_True;
    }
};

// A site record when some argument passed at run time has a key known while compiling;
// null otherwise.
Status makeSiteRecord(Emitter* e, front::FunctionIR* helper, const SiteKeys& at, uint32_t count,
                      PyObject* origin, HelperSite** out) {
    Compiler* c = e->compiler;
    bool worth = false;
    for (uint32_t i = 0; i < count; i++)
        if (at.keyed(i)) worth = true;
    if (!worth) return Status::ok;
    auto* site = static_cast<HelperSite*>(take(c, sizeof(HelperSite)));
    Shape* siteKeys = takeArray<Shape>(c, count);
    uint8_t* flags = takeArray<uint8_t>(c, count);
    auto* cell = static_cast<helpers::SiteCell*>(take(c, sizeof(helpers::SiteCell)));
    if (!site || !siteKeys || !flags || !cell) return Status::outOfMemory;
    for (uint32_t i = 0; i < count; i++) {
        flags[i] = at.keys[i].kind == ShapeKind::dyn ? 1 : 0;
        siteKeys[i] = at.keys[i];
        if (!at.keyed(i)) continue;
        // A list the caller may still change while compiling: the site keeps its own copy.
        if (at.args[i].kind == ShapeKind::list) {
            if (Status s = copyListShape(c, at.args[i], &siteKeys[i]); s != Status::ok) return s;
        } else {
            siteKeys[i] = at.args[i];
        }
    }
    *site = HelperSite{cell, helper, siteKeys, count, flags, origin};
    if (!c->sites.push(site)) return Status::outOfMemory;
    *out = site;
    return Status::ok;
}

Status makeSite(Emitter* e, front::FunctionIR* helper, const Shape* args, const Shape* keys,
                uint32_t count, PyObject* origin, HelperSite** out) {
    *out = nullptr;
    if (!compiledForThisProcess(e->compiler) || count == 0) return Status::ok;
    SiteKeys at{args, keys, nullptr};
    bool lists = false;
    for (uint32_t i = 0; i < count; i++)
        if (keys[i].kind == ShapeKind::dyn && listKeyCandidate(args[i])) lists = true;
    // The analyzer is asked only when a list could be keyed on.
    if (lists)
        if (Status s = readOnlyAnswer(helper, &at.readonly); s != Status::ok) return s;
    Status s = makeSiteRecord(e, helper, at, count, origin, out);
    Py_XDECREF(at.readonly);
    return s;
}

// The call through the site's cell: the specialised version once there is one, else the
// generic one after counting (wn_specialize at the hot_calls-th call). The status.
Status emitSiteCall(Emitter* e, uint64_t index, const HelperSite* site, FunctionRef fn,
                    ValueRef* args, ValueRef* status) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    ValueRef g;
    if (Status s = keyGlobal(m, uint64_t(uintptr_t(site->cell)), &g); s != Status::ok) return s;
    BasicBlockRef special, generic, hot, call, done;
    if (Status s = newBlock(b, "site_special", &special); s != Status::ok) return s;
    if (Status s = newBlock(b, "site_generic", &generic); s != Status::ok) return s;
    if (Status s = newBlock(b, "site_hot", &hot); s != Status::ok) return s;
    if (Status s = newBlock(b, "site_call", &call); s != Status::ok) return s;
    if (Status s = newBlock(b, "site_done", &done); s != Status::ok) return s;
    TypeRef countType = T.LLVMFunctionType(m->i64, &m->ptr, 1, 0);
    ValueRef entry;
    if (Status s = callProcessFunction(e, reinterpret_cast<const void*>(&wuna_site_entry),
                                       countType, &g, 1, &entry);
        s != Status::ok)
        return s;
    condBr(b, icmp(b, llvmapi::IntNE, entry, constI64(e, 0)), special, generic);
    enter(b, generic);
    ValueRef count;
    if (Status s = callProcessFunction(e, reinterpret_cast<const void*>(&wuna_site_count),
                                       countType, &g, 1, &count);
        s != Status::ok)
        return s;
    uint64_t hotCalls = c->inputs ? c->inputs->hotCalls : 0;
    condBr(b, icmp(b, llvmapi::IntEQ, count, constI64(e, hotCalls)), hot, call);
    enter(b, hot);
    ValueRef specializeArgs[2] = {e->runContext, constI64(e, index)};
    if (Status s = callHelper(e, "wn_specialize", specializeArgs, 2, nullptr); s != Status::ok)
        return s;
    br(b, call);
    enter(b, call);
    ValueRef plain = T.LLVMBuildCall2(b->builder, fn.type, fn.function, args, 8, "");
    BasicBlockRef plainEnd = b->current;
    br(b, done);
    enter(b, special);
    ValueRef code = T.LLVMBuildIntToPtr(b->builder, entry, m->ptr, "");
    ValueRef specialised = T.LLVMBuildCall2(b->builder, fn.type, code, args, 8, "");
    BasicBlockRef specialEnd = b->current;
    br(b, done);
    enter(b, done);
    ValueRef phi = T.LLVMBuildPhi(b->builder, m->i32, "");
    ValueRef values[2] = {plain, specialised};
    BasicBlockRef blocks[2] = {plainEnd, specialEnd};
    T.LLVMAddIncoming(phi, values, blocks, 2);
    *status = phi;
    return Status::ok;
}

// The scope number the helper finds variables from; -3 and -4 stand for the values the
// helper being emitted received, as sites do.
ValueRef scopeValue(Emitter* e) {
    if (e->scopes.count) return siteValue(e, int32_t(e->scopes.last().scope));
    if (e->modes.runtimeFrameLookup && e->callScope) return e->callScope;
    return siteValue(e, int32_t(e->scopeId));
}

// The call's status turned into control flow. Only a helper that can make a jump of the
// interpreted language gets the whole dispatch (return, break, continue, tail call): after
// the others a test of done and one of failed are enough. That is most out-of-line calls of
// a big language, and the dispatch, repeated after each, was much of a program
// function's code.
Status dispatchStatus(Emitter* e, const front::FunctionIR* helper, ValueRef status, int32_t site) {
    Compiler* c = e->compiler;
    bool jumps = true;
    if (Status s = front::makesJumps(c, helper, &jumps); s != Status::ok) return s;
    if (jumps) return emitRaisedControl(e, status, site);
    Builder* b = &e->builder;
    BasicBlockRef done, exit;
    if (Status s = newBlock(b, "done", &done); s != Status::ok) return s;
    ValueRef ok = icmp(b, llvmapi::IntEQ, status, constI32(e, int32_t(bridge::RunStatus::done)));
    if (!compiledForThisProcess(c) || c->strict) {
        if (Status s = errorExit(e, &exit); s != Status::ok) return s;
        condBr(b, ok, done, exit);
        enter(b, done);
        return Status::ok;
    }
    // Compiled for this process the helper still reports a jump as a status. The analysis is
    // conservative, but should one come anyway it fails as in a helper compiled without
    // jumps, instead of reaching the error exit with no failure recorded.
    BasicBlockRef notDone, failed, jumped;
    if (Status s = newBlock(b, "not_done", &notDone); s != Status::ok) return s;
    if (Status s = newBlock(b, "jumped", &jumped); s != Status::ok) return s;
    condBr(b, ok, done, notDone);
    enter(b, notDone);
    if (Status s = errorExit(e, &failed); s != Status::ok) return s;
    condBr(b, icmp(b, llvmapi::IntEQ, status, constI32(e, int32_t(bridge::RunStatus::failed))),
           failed, jumped);
    enter(b, jumped);
    if (Status s =
            failWith(e, site, front::kJumpOutOfJumpless, sizeof front::kJumpOutOfJumpless - 1);
        s != Status::ok)
        return s;
    enter(b, done);
    return Status::ok;
}

}  // namespace

Status emitHelperCall(Emitter* e, front::FunctionIR* helper, int32_t site, Shape* args,
                      uint32_t count, Shape* out) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    if (count != helper->paramCount) return helperArityError(c, helper, count);
    Shape* keys = takeArray<Shape>(c, count);
    if (!keys) return Status::outOfMemory;
    uint32_t ndyn = 0;
    for (uint32_t i = 0; i < count; i++) {
        Passing how = kPassing[uint8_t(args[i].kind) % kShapeKindCount];
        if (how == Passing::refused) return refuseArgument(c, helper, args[i].kind);
        if (how == Passing::key) {
            keys[i] = args[i];
            continue;
        }
        keys[i] = Shape{};
        keys[i].kind = ShapeKind::dyn;
        keys[i].dyn.functionNode = kNoFunctionNode;
        ndyn++;
    }
    HelperSpec* spec;
    if (Status s = findOrMakeSpec(e, helper, keys, count, &spec); s != Status::ok) return s;
    openBlock(b);
    TypeRef arrayType = T.LLVMArrayType2(m->valuePair, ndyn ? ndyn : 1);
    ValueRef array = T.LLVMBuildAlloca(b->entryBuilder, arrayType, "");
    T.LLVMSetAlignment(array, 8);
    Operand* operands = takeArray<Operand>(c, ndyn);
    if (!operands) return Status::outOfMemory;
    for (uint32_t i = 0, k = 0; i < count; i++) {
        if (keys[i].kind != ShapeKind::dyn) continue;
        if (Status s = materialize(e, args[i], site, &operands[k]); s != Status::ok) return s;
        ValueRef item = byteOffset(e, array, 16 * uint64_t(k));
        storeWord(e, operands[k].tag, item);
        storeWord(e, operands[k].payload, slotPayload(e, item));
        k++;
    }
    ValueRef nullPointer = T.LLVMConstNull(m->ptr);
    ValueRef receiver = nullPointer, extra = nullPointer;
    if (e->modes.runtimeFrameLookup || e->scopeId != kNoFunctionScope) {
        if (e->receiverSlot) receiver = e->receiverSlot;
        if (e->extraArgumentsSlot) extra = e->extraArgumentsSlot;
    }
    TypeRef params[8] = {m->ptr, m->ptr, m->ptr, m->i32, m->i32, m->ptr, m->ptr, m->ptr};
    FunctionRef fn;
    if (Status s = declareFunction(m, spec->symbol, spec->symbolLength, m->i32, params, 8,
                                   DeclareExported, &fn);
        s != Status::ok)
        return s;
    CallFrame frame;
    if (Status s = emitCallFrame(e, site, &frame); s != Status::ok) return s;
    ValueRef callArgs[8] = {e->runContext, frame.frame, array, siteValue(e, site),
                            scopeValue(e), receiver,    extra, e->scratch};
    storeLocation(e);
    spillLocals(e);
    HelperSite* record = nullptr;
    if (Status s = makeSite(e, helper, args, keys, count, spec->origin, &record); s != Status::ok)
        return s;
    ValueRef status;
    if (record) {
        if (Status s = emitSiteCall(e, c->sites.count - 1, record, fn, callArgs, &status);
            s != Status::ok)
            return s;
    } else {
        openBlock(b);
        status = T.LLVMBuildCall2(b->builder, fn.type, fn.function, callArgs, 8, "");
    }
    reloadLocals(e);
    if (frame.made)
        if (Status s = emitCallFrameRelease(e, frame.frame); s != Status::ok) return s;
    for (uint32_t k = 0; k < ndyn; k++)
        if (Status s = release(e, dynShape(operands[k])); s != Status::ok) return s;
    if (Status s = dispatchStatus(e, helper, status, site); s != Status::ok) return s;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

Status emitOutOfLineSelfCall(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    front::FunctionIR* f = s->function;
    if (!f) return refuseConstruct(e, "a call of the function compiled out of line");
    e->position = expr->position;
    uint32_t n = f->paramCount;
    if (n > s->localCount) return refuseConstruct(e, "a call of the function compiled out of line");
    Shape* args = takeArray<Shape>(e->compiler, n);
    if (n && !args) return Status::outOfMemory;
    // The values read so far are released by the error exits until the call takes them.
    uint64_t live = e->temporaries.count;
    Status err = Status::ok;
    for (uint32_t i = 0; i < n && err == Status::ok; i++) {
        LocalRecord* local = &s->locals[i];
        if (local->state == LocalState::comptime) {
            // The call takes the value over: the local no longer holds it.
            args[i] = local->shape;
            local->shape = Shape{};
            local->state = LocalState::empty;
            continue;
        }
        err = emitLocalRead(e, s, i, expr->position, &args[i]);
        if (err == Status::ok && args[i].kind == ShapeKind::dyn && !e->temporaries.push(args[i]))
            err = Status::outOfMemory;
    }
    if (err == Status::ok) {
        e->temporaries.count = live;
        e->outOfLineNesting++;
        err = emitHelperCall(e, f, s->site, args, n, out);
        e->outOfLineNesting--;
    }
    if (e->temporaries.count > live) e->temporaries.count = live;
    return err;
}

namespace {

// A version of the module equal to what the site would make: same helper, argument count and
// run-time flags, equal shapes. Null when there is none.
HelperSpec* sameSiteSpec(Compiler* c, const HelperSite* site) {
    for (size_t i = 0; i < c->helpers.count; i++) {
        HelperSpec* h = c->helpers[i];
        if (h->function != site->helper || h->argumentCount != site->count || !h->argumentFlags ||
            h->flagCount != site->count || !h->symbol)
            continue;
        bool same = true;
        for (uint64_t k = 0; k < site->count && same; k++)
            same = (h->argumentFlags[k] & 1) == (site->flags[k] & 1) &&
                   sameSpec(h->shapes[k], site->keys[k]);
        if (same) return h;
    }
    return nullptr;
}

}  // namespace

void specializeSite(Compiler* c, int64_t index,
                    int (*compile)(void* user, HelperSpec* spec, uint64_t* address), void* user) {
    if (index < 0 || uint64_t(index) >= c->sites.count) return;
    HelperSite* site = c->sites[size_t(index)];
    // A site asks once, whatever comes of it.
    std::atomic_ref<uint64_t>(site->cell->callCount)
        .store(helpers::kParkedCount, std::memory_order_relaxed);
    uint64_t address = 0;
    if (HelperSpec* same = sameSiteSpec(c, site)) {
        if (compile(user, same, &address) == 0 && address)
            helpers::publishSiteEntry(site->cell, address);
        else
            PyErr_Clear();
        return;
    }
    // The module stops growing at run time after this many.
    if (c->runtimeSpecialisations >= kMaxRuntimeSpecialisations) return;
    c->runtimeSpecialisations++;
    HelperSpec* spec;
    if (listSpecialisation(c, site->helper, site->keys, site->count, site->flags, site->origin,
                           SpecLetter::runtime, &spec) != Status::ok)
        return;
    if (compile(user, spec, &address) == 0 && address)
        helpers::publishSiteEntry(site->cell, address);
    else
        PyErr_Clear();
}

}  // namespace wuna::compile
