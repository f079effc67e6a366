// Calls of a callee value the compiler holds as a shape: a call expression's run-time callee,
// and rt.call / rt.tail_call compiled as plain calls. A run-time argument sequence goes
// through wn_call_seq; a plain Python function through the Python-function roads (inlined
// behind a boundary that names the function in failures, else through a per-site entry
// cell); a program function value whose node is known and whose parameter count matches
// through the direct path of progcalls.cpp; anything else through wn_call or wn_call_plain.
//
// The argument array lends the values to the callee for the duration of the call: every
// argument operand is released after the call, on the failing path too, before the success
// test.
#include <cstring>
#include <initializer_list>
#include <utility>

#include "compiler/codegen/calls_shared.h"
#include "compiler/front/cache.h"
#include "compiler/front/stable.h"
#include "host/tree/function_kind.h"
#include "host/tree/index.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Python-function roads: a function of at most this many expression nodes, whose arity fits
// and whose code names no jump, is compiled where it is called.
constexpr uint32_t kInlineNodes = 40;
constexpr const char* kJumpNames[4] = {"Return", "Break", "Continue", "tail_call"};

// The entry block's array of max(n, 1) value pairs.
ValueRef argumentArray(Emitter* e, uint64_t n) {
    ModuleRecord* m = &e->compiler->module;
    TypeRef type = T.LLVMArrayType2(m->valuePair, n ? n : 1);
    ValueRef array = T.LLVMBuildAlloca(e->builder.entryBuilder, type, "");
    T.LLVMSetAlignment(array, 8);
    return array;
}

// The address of element i of a value array.
ValueRef element(Emitter* e, ValueRef array, uint64_t i) {
    ValueRef index = constI64(e, i);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.valuePair, array,
                                   &index, 1, "");
}

// Whether the function's code names one of the jumps (it may raise rt.Return and the like,
// which a compiled boundary can't pass on). ok with *out, or pythonError.
Status mentionsJumps(PyObject* function, bool* out) {
    *out = false;
    PyObject* code = PyObject_GetAttrString(function, "__code__");
    PyObject* names = code ? PyObject_GetAttrString(code, "co_names") : nullptr;
    Py_XDECREF(code);
    if (!names) return Status::pythonError;
    Status err = Status::ok;
    for (const char* jump : kJumpNames) {
        PyObject* name = PyUnicode_FromString(jump);
        int found = name ? PySequence_Contains(names, name) : -1;
        Py_XDECREF(name);
        if (found < 0) err = Status::pythonError;
        if (found != 0) {
            *out = found == 1;
            break;
        }
    }
    Py_DECREF(names);
    return err;
}

// The inline road: the planner compiles the call; a failure inside it first passes
// "host_error", which names the function as the failing one.
Status inlineRoad(Emitter* e, Semantic* s, PyObject* function, front::FunctionIR* f, Shape* args,
                  uint64_t n, Shape* out) {
    Shape* prepared = takeArray<Shape>(e->compiler, n);
    if (!prepared) return Status::outOfMemory;
    for (uint64_t i = 0; i < n; i++) {
        Shape shape = args[i];
        ShapeKind k = shape.kind;
        if (!isConstant(shape) && k != ShapeKind::node && k != ShapeKind::py &&
            k != ShapeKind::dyn) {
            Operand o;
            if (Status err = materialize(e, shape, s->site, &o); err != Status::ok) return err;
            shape = dynShape(o);
        }
        prepared[i] = normalizeInt(e, shape);
    }
    uint32_t index = 0;
    if (Status err = pinObject(e->compiler, function, &index); err != Status::ok) return err;
    Builder* b = &e->builder;
    BasicBlockRef hostError, exit;
    if (Status err = newBlock(b, "host_error", &hostError); err != Status::ok) return err;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    BasicBlockRef savedTarget = e->errorTarget;
    uint64_t savedDepth = e->errorSemanticDepth;
    uint64_t savedMark = e->errorReleaseMark;
    e->errorTarget = hostError;
    e->errorSemanticDepth = e->semantics.count;
    e->errorReleaseMark = e->temporaries.count;
    Shape result;
    Status err = callPlanned(e, s, f, prepared, n, &result);
    e->errorTarget = savedTarget;
    e->errorSemanticDepth = savedDepth;
    e->errorReleaseMark = savedMark;
    if (err != Status::ok) return err;
    BasicBlockRef resume = b->current;
    T.LLVMPositionBuilderAtEnd(b->builder, hostError);
    b->current = hostError;
    ValueRef object;
    if ((err = objectConstant(e, index, &object)) != Status::ok) return err;
    ValueRef failed[3] = {e->runContext, siteValue(e, s->site), object};
    e->errorPathDepth++;
    err = callHelper(e, "wn_host_failed", failed, 3, nullptr);
    e->errorPathDepth--;
    if (err != Status::ok) return err;
    br(b, exit);
    T.LLVMPositionBuilderAtEnd(b->builder, resume);
    b->current = resume;
    *out = normalizeInt(e, result);
    return Status::ok;
}

// The entry-cell road: the first call at run time goes through wn_call_site, which fills the
// cell with the function's compiled entry when it allows one; later calls call it directly.
Status entryCellRoad(Emitter* e, Semantic* s, PyObject* function, Shape* args, uint64_t n,
                     Shape* out) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    if (m->keyOrigins)
        return refuseConstruct(e, "a Python function called through its entry in an "
                                  "ahead-of-time build");
    ValueRef array = argumentArray(e, n);
    Operand* operands = n ? takeArray<Operand>(c, n) : nullptr;
    if (n && !operands) return Status::outOfMemory;
    for (uint64_t i = 0; i < n; i++)
        if (Status err = materialize(e, args[i], s->site, &operands[i]); err != Status::ok)
            return err;
    if (Status err = storeCallArguments(e, array, operands, n); err != Status::ok) return err;
    uint32_t index = 0;
    if (Status err = pinObject(c, function, &index); err != Status::ok) return err;
    auto* cell = static_cast<uint64_t*>(take(c, sizeof(uint64_t)));
    if (!cell) return Status::outOfMemory;
    *cell = 0;
    ValueRef cellGlobal;
    if (Status err = keyGlobal(m, uint64_t(reinterpret_cast<uintptr_t>(cell)), &cellGlobal);
        err != Status::ok)
        return err;
    // Ints made by Python code cross the boundary as the plain int tag.
    for (uint64_t i = 0; i < n; i++) {
        ValueRef item = element(e, array, i);
        storeWord(e, calls::plainIntTag(e, loadWord(e, item)), item);
    }
    ValueRef object;
    if (Status err = objectConstant(e, index, &object); err != Status::ok) return err;
    // The compiled entry is called without a helper: borrows of globals become owners first,
    // as before any call that may run program code.
    if (e->errorPathDepth == 0)
        if (Status err = ownGlobalBorrows(e); err != Status::ok) return err;
    ValueRef entry = loadWord(e, cellGlobal);
    BasicBlockRef direct, first, jumped, done, notOk, failed;
    for (auto [name, block] : {std::pair{"host_direct", &direct}, {"host_first", &first},
                               {"host_jumped", &jumped}, {"host_done", &done}})
        if (Status err = newBlock(b, name, block); err != Status::ok) return err;
    condBr(b, icmp(b, llvmapi::IntNE, entry, constI64(e, 0)), direct, first);

    enter(b, direct);
    storeLocation(e);
    TypeRef params[8] = {m->ptr, m->ptr, m->ptr, m->i32, m->i32, m->ptr, m->ptr, m->ptr};
    TypeRef type = T.LLVMFunctionType(m->i32, params, 8, 0);
    ValueRef null = T.LLVMConstNull(m->ptr);
    ValueRef callArgs[8] = {e->runContext, null, array, siteValue(e, s->site), constI32(e, 0),
                            null, null, e->scratch};
    ValueRef target = T.LLVMBuildIntToPtr(b->builder, entry, m->ptr, "");
    ValueRef status = T.LLVMBuildCall2(b->builder, type, target, callArgs, 8, "");
    if (e->modes.localsSpilled) reloadLocals(e);
    ValueRef directOk = icmp(b, llvmapi::IntEQ, status, T.LLVMConstInt(m->i32, 1, 0));
    if (Status err = newBlock(b, "host_not_ok", &notOk); err != Status::ok) return err;
    if (Status err = newBlock(b, "host_failed", &failed); err != Status::ok) return err;
    BasicBlockRef directEnd = b->current;
    condBr(b, directOk, done, notOk);
    enter(b, notOk);
    condBr(b, icmp(b, llvmapi::IntEQ, status, T.LLVMConstInt(m->i32, 0, 0)), failed, jumped);

    ValueRef failedOk, jumpOk, firstOk;
    BasicBlockRef failedEnd, jumpEnd, firstEnd;
    enter(b, failed);
    ValueRef failedArgs[3] = {e->runContext, siteValue(e, s->site), object};
    if (Status err = calls::helperThen(e, "wn_host_failed", failedArgs, 3, done, &failedOk,
                                       &failedEnd);
        err != Status::ok)
        return err;
    enter(b, jumped);
    ValueRef jumpArgs[2] = {e->runContext, siteValue(e, s->site)};
    if (Status err = calls::helperThen(e, "wn_host_jump", jumpArgs, 2, done, &jumpOk, &jumpEnd);
        err != Status::ok)
        return err;
    enter(b, first);
    ValueRef siteArgs[7] = {e->runContext, siteValue(e, s->site), cellGlobal, object, array,
                            constI64(e, n), e->scratch};
    if (Status err = calls::helperThen(e, "wn_call_site", siteArgs, 7, done, &firstOk, &firstEnd);
        err != Status::ok)
        return err;

    enter(b, done);
    ValueRef values[4] = {directOk, failedOk, jumpOk, firstOk};
    BasicBlockRef from[4] = {directEnd, failedEnd, jumpEnd, firstEnd};
    ValueRef ok = calls::phiOf(e, m->i1, values, from, 4);
    for (uint64_t i = 0; i < n; i++)
        if (Status err = release(e, dynShape(operands[i])); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    storeWord(e, calls::plainIntTag(e, loadWord(e, e->scratch)), e->scratch);
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

// The Python-function roads of a plain function (no closure cells) called without receiver.
Status pythonFunctionRoads(Emitter* e, Semantic* s, PyObject* function, Shape* args, uint64_t n,
                           Shape* out) {
    front::FunctionIR* f = nullptr;
    Status err = front::frontOf(e->compiler, function, &f);
    if (err == Status::unsupported) {
        // A function the front end can't read is still callable: through Python, by its cell.
        e->compiler->message.clear();
        return entryCellRoad(e, s, function, args, n, out);
    }
    if (err != Status::ok) return err;
    bool fits = n >= f->requiredCount &&
                (f->hasVarargs || n <= f->paramCount);
    bool jumps = false;
    if (f->exprCount <= kInlineNodes && fits)
        if ((err = mentionsJumps(function, &jumps)) != Status::ok) return err;
    if (f->exprCount <= kInlineNodes && fits && !jumps)
        return inlineRoad(e, s, function, f, args, n, out);
    return entryCellRoad(e, s, function, args, n, out);
}

// Whether the callee is a program function value whose parameters number n (the direct road).
Status isProgramFunctionOf(Emitter* e, const Operand& callee, uint64_t n, bool* out) {
    *out = false;
    const ptree::Index* tree = e->compiler->tree;
    if (callee.functionNode < 0 || !tree) return Status::ok;
    auto node = uint32_t(callee.functionNode);
    if (node >= tree->count || !ptree::isFunctionNode(tree, node)) return Status::ok;
    uint32_t kind = ptree::kindOf(tree->nodes[node]);
    if (!tree->functionKinds || kind >= tree->functionKindCount) return Status::ok;
    uint8_t label = tree->functionKinds[kind].paramsLabel;
    backend::List<uint32_t> parameters{};
    Status err = parameterNodes(e, node, label, &parameters);
    if (err == Status::unsupported) {
        // Parameters not readable here: the generic call is right for every callee.
        e->compiler->message.clear();
        return Status::ok;
    }
    if (err != Status::ok) return err;
    *out = parameters.count == n;
    parameters.free();
    return Status::ok;
}

// The callee as the call uses it: a borrow of a global-scope variable stays a borrow for the
// whole call (callHelper makes it an owner before anything that may rebind the global);
// everything else is materialised.
Status calleeOperand(Emitter* e, Semantic* s, const Shape& callee, Operand* out) {
    if (callee.kind == ShapeKind::dyn && callee.dyn.borrowFlag && e->compiler->tree) {
        for (size_t i = 0; i < e->borrows.count; i++) {
            const BorrowRecord& r = e->borrows[i];
            if (r.flag != callee.dyn.borrowFlag) continue;
            auto* tree = const_cast<ptree::Index*>(e->compiler->tree);
            if (ptree::symbolScope(tree, r.symbol) == -1) {
                *out = callee.dyn;
                return Status::ok;
            }
            break;
        }
    }
    return materialize(e, callee, s->site, out);
}

}  // namespace

Status storeCallArguments(Emitter* e, ValueRef array, Operand* operands, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (Status err = storeOperand(e, element(e, array, i), &operands[i]); err != Status::ok)
            return err;
    return Status::ok;
}

Status callKnown(Emitter* e, Semantic* s, Shape* callee, Shape* args, Shape* receiver, bool plain,
                 Shape* out) {
    Compiler* c = e->compiler;
    Shape* items = nullptr;
    uint64_t n = 0;
    if (args->kind == ShapeKind::list && args->list) {
        // The call releases the items: neither error exits nor the list's scope do it again.
        args->list->released = 1;
        items = args->list->items;
        n = args->list->length;
    } else if (args->kind == ShapeKind::tuple) {
        items = args->tuple.items;
        n = args->tuple.count;
    } else {
        return emitCallSeq(e, s, callee, args, receiver, out);
    }
    if (callee->kind == ShapeKind::py && !receiver && isNativeHost(callee->py))
        return lowerNativeHostCall(e, s, callee->py, items, n, out);
    if (callee->kind == ShapeKind::py && !receiver) {
        front::StableTypes types{};
        if (Status err = front::stableTypes(&types); err != Status::ok) return err;
        int function = PyObject_IsInstance(callee->py, types.function);
        if (function < 0) return Status::pythonError;
        if (function == 1) {
            PyObject* closure = PyObject_GetAttrString(callee->py, "__closure__");
            if (!closure) return Status::pythonError;
            bool plainFunction = closure == Py_None;
            Py_DECREF(closure);
            if (plainFunction) return pythonFunctionRoads(e, s, callee->py, items, n, out);
        }
    }
    Operand function;
    if (Status err = calleeOperand(e, s, *callee, &function); err != Status::ok) return err;
    ValueRef array = argumentArray(e, n);
    Operand* operands = n ? takeArray<Operand>(c, n) : nullptr;
    if (n && !operands) return Status::outOfMemory;
    for (uint64_t i = 0; i < n; i++) {
        if (items[i].kind == ShapeKind::dyn) {
            operands[i] = items[i].dyn;
        } else if (Status err = materialize(e, items[i], s->site, &operands[i]);
                   err != Status::ok) {
            return err;
        }
    }
    bool direct = false;
    if (Status err = isProgramFunctionOf(e, function, n, &direct); err != Status::ok) return err;
    if (!direct)
        if (Status err = storeCallArguments(e, array, operands, n); err != Status::ok) return err;
    ValueRef receiverPointer = T.LLVMConstNull(c->module.ptr);
    Operand held{};
    if (receiver) {
        if (Status err = materialize(e, *receiver, s->site, &held); err != Status::ok) return err;
        receiverPointer = valueSlot(e);
        if (Status err = storeOperand(e, receiverPointer, &held); err != Status::ok) return err;
    }
    ValueRef ok, tag = nullptr, payload = nullptr;
    if (direct) {
        if (Status err = emitFunctionValueCall(e, s, function, array, operands, n, receiverPointer,
                                               &ok, &tag, &payload);
            err != Status::ok)
            return err;
    } else {
        ValueRef call[8] = {e->runContext,    siteValue(e, s->site), function.tag, function.payload,
                            array,            constI64(e, n),        receiverPointer, e->scratch};
        if (Status err = callHelper(e, plain ? "wn_call_plain" : "wn_call", call, 8, &ok);
            err != Status::ok)
            return err;
    }
    for (uint64_t i = 0; i < n; i++)
        if (Status err = release(e, dynShape(operands[i])); err != Status::ok) return err;
    if (receiver)
        if (Status err = release(e, dynShape(held)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(function)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    if (direct) {
        Operand result{};
        result.tag = tag;
        result.payload = payload;
        result.functionNode = kNoFunctionNode;
        result.kind = KnownKind::unknown;
        *out = dynShape(result);
    } else {
        *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    }
    return Status::ok;
}

}  // namespace wuna::compile
