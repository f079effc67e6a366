// Frames, function values, calls of values and the tail-call slot. See functions.h.
#include "wuna/runtime/helpers/functions.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/pyfunc.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/rtvars.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kObject{"helpers", "runtime/src/helpers/functions.cpp", "wn_object", 0, 0};
constexpr char kEscapedJump[] =
    "rt.Return, rt.Break or rt.Continue raised out of a function called with rt.call";
constexpr char kNoHost[] = "wuna: no host function at that index (a wuna bug)";
// wn_call_site compiles a function for fewer arguments than this (siteCode).
constexpr int64_t kMaxSiteArguments = 64;

// The runtime's empty tuple, made immortal on first need when start-up has not made it. Two
// threads may both find it missing: one compare-and-swap publishes one of their tuples (the
// pointer is the last thing written, with release ordering) and the other is given back.
value::Tuple* emptyTuple() {
    std::atomic_ref<value::Tuple*> slot(empty_tuple);
    value::Tuple* shared = slot.load(std::memory_order_acquire);
    if (shared) return shared;
    value::Tuple* made = value::newTuple(0);
    if (!made) return nullptr;
    value::makeImmortal(&made->h);
    if (slot.compare_exchange_strong(shared, made, std::memory_order_acq_rel)) return made;
    // Immortal blocks are never freed by a count; this one was never seen by anyone else.
    made->h.count = 1;
    value::decref(value::TagTuple, uint64_t(uintptr_t(made)));
    return shared;
}

// Whether an argument is an rt: its call goes through callOnce, which compiles for the rt
// positions.
bool anyRuntime(const Value* args, int64_t count) {
    for (int64_t i = 0; i < count; i++)
        if (uint32_t(args[i].tag) == value::TagRuntime) return true;
    return false;
}

// wn_call_site's call of the function's compiled entry: ints cross as the language's ints,
// and a failure is worded as the host function's.
bool callSiteCode(Ctx* ctx, int32_t site, void* code, PyObject* callee, const Value* args,
                  int64_t count, Value* result) {
    Value copy[kMaxSiteArguments];
    for (int64_t i = 0; i < count; i++) {
        copy[i] = args[i];
        if (copy[i].tag == value::TagPint) copy[i].tag = value::TagInt;
    }
    Value got = Value::none();
    int32_t status = reinterpret_cast<bridge::PythonCode>(code)(ctx, nullptr, copy, site, 0,
                                                                 nullptr, nullptr, &got);
    if (status == int32_t(bridge::RunStatus::done)) {
        if (got.tag == value::TagPint) got.tag = value::TagInt;
        *result = got;
        return true;
    }
    if (status == int32_t(bridge::RunStatus::failed)) {
        hostCodeFailed(ctx, callee);
        return false;
    }
    fail(ctx, site, kEscapedJump, sizeof kEscapedJump - 1);
    return false;
}

}  // namespace

extern "C" {

// ---- Frames -----------------------------------------------------------------------------------

void* wn_frame_new(void* parent, int64_t n) {
    if (n < 0) return nullptr;
    return value::newFrame(static_cast<value::Frame*>(parent), uint64_t(n));
}

void wn_frame_release(void* frame) { value::releaseCaptured(static_cast<value::Obj*>(frame)); }

void* wn_frame_of(void* frame, int32_t scope, int32_t target, void* table) {
    auto* f = static_cast<value::Frame*>(frame);
    if (scope == target || scope == -1) return f;
    const auto* parents = static_cast<const uint64_t*>(table);
    uint64_t s = uint32_t(scope);
    for (;;) {
        if (!f->parent) return f;
        uint64_t entry = parents[s];
        f = f->parent;
        if (entry == 0xFFFFFFFFu || uint32_t(entry) == uint32_t(target)) return f;
        s = entry;
    }
}

bool wn_unset(void* c, int32_t site, void* name) {
    auto* s = static_cast<value::Str*>(name);
    failNoValueYet(static_cast<Ctx*>(c), site, reinterpret_cast<const char*>(s->bytes()),
                   s->length);
    return false;
}

// ---- Function values ----------------------------------------------------------------------------

bool wn_function(void* c, void* entry, void* frame, int32_t node, void* name, int64_t flags,
                 void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    value::Function* f =
        value::newFunction(entry, static_cast<value::Frame*>(frame), uint32_t(node),
                           static_cast<value::Str*>(name), ctx->moduleId, uint32_t(flags));
    if (!f) {
        failOutOfMemory(ctx, node);
        return false;
    }
    *static_cast<Value*>(out) = Value::of(value::TagFunction, f);
    return true;
}

bool wn_closure(void* c, int32_t site, int64_t description, void* frame, void* entry,
                void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    value::Closure* f =
        value::newClosure(static_cast<value::Obj*>(frame),
                          reinterpret_cast<const void*>(uintptr_t(description)), ctx->moduleId,
                          entry);
    if (!f) {
        failOutOfMemory(ctx, site);
        return false;
    }
    *static_cast<Value*>(out) = Value::of(value::TagClosure, f);
    return true;
}

bool wn_varargs(void* c, int32_t site, void* arguments, int64_t count, int64_t first,
                void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* args = static_cast<const Value*>(arguments);
    auto* result = static_cast<Value*>(out);
    if (first < 0) first = 0;
    if (first >= count) {
        value::Tuple* empty = emptyTuple();
        if (!empty) {
            failOutOfMemory(ctx, site);
            return false;
        }
        *result = Value::of(value::TagTuple, empty);
        return true;
    }
    value::Tuple* t = value::newTuple(uint64_t(count - first));
    if (!t) {
        failOutOfMemory(ctx, site);
        return false;
    }
    for (int64_t i = first; i < count; i++) {
        Value v = args[i];
        value::incref(v);
        // Extra arguments are the language's own ints from here on.
        if (v.tag == value::TagPint) v.tag = value::TagInt;
        t->items()[i - first] = v;
    }
    *result = Value::of(value::TagTuple, t);
    return true;
}

// ---- Calls -------------------------------------------------------------------------------------------

bool wn_call_plain(void* c, int32_t site, int64_t tag, int64_t payload, void* arguments,
                   int64_t count, void* receiver, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    // The flag lasts for exactly one call: callOnce reads and clears it.
    ctx->plainCall = 1;
    Value got = Value::none();
    if (!callOnce(ctx, site, Value::words(tag, payload), static_cast<const Value*>(arguments),
                  uint64_t(count), static_cast<const Value*>(receiver), &got))
        return false;
    if (!tailResolve(ctx, site, &got)) return false;
    *result = got;
    return true;
}

bool wn_call_site(void* c, int32_t site, void* codeSlot, int64_t hostIndex, void* arguments,
                  int64_t count, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    PyObject* callee = moduleObject(ctx, hostIndex);
    if (!callee) {
        fail(ctx, site, kNoHost, sizeof kNoHost - 1);
        return false;
    }
    Value got = Value::none();
    if (count >= 0 && !anyRuntime(static_cast<const Value*>(arguments), count))
        if (void* code = bridge::siteCode(ctx, callee, uint64_t(count))) {
            // Later calls of the site call the entry directly. Threads of one module may
            // store it together: the same address, stored whole.
            if (codeSlot)
                std::atomic_ref<uint64_t>(*static_cast<uint64_t*>(codeSlot))
                    .store(uint64_t(uintptr_t(code)), std::memory_order_relaxed);
            return callSiteCode(ctx, site, code, callee, static_cast<const Value*>(arguments),
                                count, result);
        }
    ctx->plainCall = 0;
    if (!callOnce(ctx, site, Value::of(value::TagPy, callee), static_cast<const Value*>(arguments),
                  uint64_t(count), nullptr, &got))
        return false;
    if (!tailResolve(ctx, site, &got)) return false;
    *result = got;
    return true;
}

void wn_object(void* c, int64_t index, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    PyObject* o = moduleObject(ctx, index);
    gil::Record* r = value::claimLock(&kObject);
    r->depth++;
    Py_XINCREF(o);
    r->depth--;
    *static_cast<Value*>(out) = o ? Value::of(value::TagPy, o) : Value::none();
}

bool wn_host_jump(void* c, int32_t site) {
    fail(static_cast<Ctx*>(c), site, kEscapedJump, sizeof kEscapedJump - 1);
    return false;
}

bool wn_host_failed(void* c, int32_t site, int64_t hostIndex) {
    (void)site;
    auto* ctx = static_cast<Ctx*>(c);
    hostCodeFailed(ctx, moduleObject(ctx, hostIndex));
    return false;
}

void wn_bury(void* c, int64_t tag, int64_t payload) {
    bury(static_cast<Ctx*>(c), Value::words(tag, payload));
}

// ---- The tail-call slot ----------------------------------------------------------------------------

void wn_tail_set(void* c, int64_t calleeTag, int64_t calleePayload, int64_t argsTag,
                 int64_t argsPayload, void* receiver) {
    auto* ctx = static_cast<Ctx*>(c);
    ctx->tailCallee = Value::words(calleeTag, calleePayload);
    ctx->tailArgs = Value::words(argsTag, argsPayload);
    value::incref(ctx->tailCallee);
    value::incref(ctx->tailArgs);
    if (receiver) {
        ctx->tailReceiver = *static_cast<const Value*>(receiver);
        value::incref(ctx->tailReceiver);
    } else {
        ctx->tailReceiver = Value::none();
    }
    ctx->tailHasReceiver = receiver ? 1 : 0;
}

void wn_tail_take(void* c, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* call = static_cast<TakenCall*>(out);
    call->callee = ctx->tailCallee;
    call->args = ctx->tailArgs;
    call->receiver = ctx->tailHasReceiver ? ctx->tailReceiver : Value{value::TagTail, 0};
    ctx->tailCallee = ctx->tailArgs = ctx->tailReceiver = Value::none();
    ctx->tailHasReceiver = 0;
}

void wn_tail_put(void* c, void* taken) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* call = static_cast<const TakenCall*>(taken);
    ctx->tailCallee = call->callee;
    ctx->tailArgs = call->args;
    ctx->tailHasReceiver = call->receiver.tag != value::TagTail ? 1 : 0;
    ctx->tailReceiver = ctx->tailHasReceiver ? call->receiver : Value::none();
}

void wn_tail_clear(void* c) {
    auto* ctx = static_cast<Ctx*>(c);
    TakenCall call;
    wn_tail_take(ctx, &call);
    value::decref(call.callee);
    value::decref(call.args);
    if (call.receiver.tag != value::TagTail) value::decref(call.receiver);
}

}  // extern "C"

}  // namespace wuna::helpers
