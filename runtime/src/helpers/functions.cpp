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
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kObject{"helpers", "runtime/src/helpers/functions.cpp", "wn_object", 0, 0};
constexpr char kEscapedJump[] =
    "rt.Return, rt.Break or rt.Continue raised out of a function called with rt.call";
constexpr char kNoHost[] = "wuna: no host function at that index (a wuna bug)";

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

// A function value to keep until the run ends; false when memory ran out.
bool appendRelease(ValueList* list, Value v) {
    if (list->count == list->capacity) {
        uint64_t capacity = list->capacity ? list->capacity * 2 : 8;
        auto* items = static_cast<Value*>(std::realloc(list->items, capacity * sizeof(Value)));
        if (!items) return false;
        list->items = items;
        list->capacity = capacity;
    }
    list->items[list->count++] = v;
    return true;
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
    auto* ctx = static_cast<Ctx*>(c);
    auto* s = static_cast<value::Str*>(name);
    if (ctx->failing) return false;
    ByteList text{};
    appendBytes(&text, "'", 1);
    appendBytes(&text, s->bytes(), s->length);
    static constexpr char tail[] = "' has no value yet";
    appendBytes(&text, tail, sizeof tail - 1);
    fail(ctx, site, text.data, text.length);
    std::free(text.data);
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
    // callOnce offers a Python function to compiled code of it itself; the slot of the call
    // site is not needed for that.
    (void)codeSlot;
    PyObject* callee = moduleObject(ctx, hostIndex);
    if (!callee) {
        fail(ctx, site, kNoHost, sizeof kNoHost - 1);
        return false;
    }
    Value got = Value::none();
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
    auto* ctx = static_cast<Ctx*>(c);
    Value v = Value::words(tag, payload);
    if (v.tag == value::TagUnset) return;
    bool buried = v.tag == value::TagFunction && (v.as<value::Obj>()->flags & value::FlagBury);
    // Code of the function may still be running below: it is released when the run ends.
    // Short of memory to keep it there, its reference stays taken (a leak, never a free too
    // early).
    if (buried) {
        (void)appendRelease(&ctx->releases, v);
        return;
    }
    value::decref(v);
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
