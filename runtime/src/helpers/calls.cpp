// Calls of callable values (see calls.h).
#include "wuna/runtime/helpers/calls.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/pyfunc.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kCallOnceAt{"runtime", "helpers", "callOnce", 2945, 26};
constexpr gil::Location kCallPythonAt{"runtime", "helpers", "wn_call_python", 4694, 18};
constexpr gil::Location kCallSeqAt{"runtime", "helpers", "wn_call_seq", 0, 0};

constexpr char kOtherProgram[] = "a function of another program can't be called here";
constexpr char kNestTooDeep[] = "the semantics' calls nest too deep";
constexpr char kTooManyParameters[] = "a closure of more than 62 parameters can't be called";
constexpr char kClosureJump[] =
    "rt.Return, rt.Break or rt.Continue raised out of a function a semantic made";
constexpr char kTailArguments[] = "rt.tail_call's arguments must be a list or a tuple";

constexpr size_t kExceptionTextBytes = 512;
constexpr size_t kHostNameBytes = 128;
constexpr size_t kTypeNameBytes = 64;

using FunctionCode = bool (*)(Ctx* ctx, value::Frame* frame, const Value* args, uint64_t n,
                              const Value* receiver, Value* out);
using ClosureCode = int32_t (*)(Ctx* ctx, void* rt, Value* args, int32_t site, uint32_t detail,
                                void* unused1, void* unused2, Value* out);

// A message written piece by piece into the fixed buffer; what does not fit is cut.
struct Message {
    char text[1024];
    size_t length = 0;
    void add(const char* piece, size_t n) {
        size_t room = sizeof text - length;
        if (n > room) n = room;
        if (n == 0) return;  // an empty piece may come as a null pointer
        std::memcpy(text + length, piece, n);
        length += n;
    }
    void add(std::string_view piece) { add(piece.data(), piece.size()); }
    void number(uint64_t n) {
        char digits[24];
        size_t k = value::printWide(digits, value::i128(n));
        add(digits, k);
    }
};

// Cuts UTF-8 at most max bytes on a character boundary.
size_t cutUtf8(const char* text, size_t length, size_t max) {
    if (length <= max) return length;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    return n;
}

// Whether the current native frame lies below the floor.
bool belowFloor(const Ctx* ctx) { return uintptr_t(__builtin_frame_address(0)) < ctx->stackFloor; }

void recordMessage(Ctx* ctx, int32_t site, const Message& m) { fail(ctx, site, m.text, m.length); }

void failFixed(Ctx* ctx, int32_t site, const char* text) {
    fail(ctx, site, text, std::strlen(text));
}

// The pending exception as "<class>: <str>", cut at capacity bytes; consumed. The length.
size_t exceptionText(char* out, size_t capacity) {
    PendingError pending;
    pending.take();
    if (!pending.exception) return 0;
    size_t n = pyName(reinterpret_cast<PyObject*>(Py_TYPE(pending.exception)), "__name__", out,
                      capacity, "");
    PyObject* text = PyObject_Str(pending.exception);
    Py_ssize_t length = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text, &length) : nullptr;
    if (utf8 && n + 2 <= capacity) {
        std::memcpy(out + n, ": ", 2);
        n += 2;
        size_t k = cutUtf8(utf8, size_t(length), capacity - n);
        std::memcpy(out + n, utf8, k);
        n += k;
    }
    Py_XDECREF(text);
    PyErr_Clear();
    pending.drop();
    return n;
}

// ---- Program functions and functions a semantic made -----------------------------------------

bool callFunction(Ctx* ctx, int32_t site, value::Function* f, const Value* args, uint64_t n,
                  const Value* receiver, Value* out) {
    if (f->module != ctx->moduleId) {
        failFixed(ctx, site, kOtherProgram);
        return false;
    }
    uint32_t flags = f->h.flags;
    uint64_t p = flags & 0xffff;
    bool missing = flags & (1u << 16);
    bool extra = flags & (3u << 17);
    if ((n < p && !missing) || (n > p && !extra)) {
        Message m;
        m.add(f->name->text());
        m.add("() takes ");
        m.number(p);
        m.add(p == 1 ? " argument, " : " arguments, ");
        m.number(n);
        m.add(" given");
        recordMessage(ctx, site, m);
        return false;
    }
    if (ctx->depth >= ctx->depthLimit || belowFloor(ctx)) {
        Message m;
        m.add("call stack too deep (more than ");
        m.number(ctx->depthLimit);
        m.add(" calls)");
        recordMessage(ctx, site, m);
        return false;
    }
    if (!ctx->stackCapacity) {
        CallEntry* items = takeStack(ctx->depthLimit);
        if (!items) {
            failOutOfMemory(ctx, site);
            return false;
        }
        ctx->stack = items;
        ctx->stackCapacity = ctx->depthLimit;
        ctx->ownsStack = 1;
    }
    ctx->stack[ctx->depth++] = {f->name, site};
    auto code = reinterpret_cast<FunctionCode>(f->code);
    bool ok;
    if (n >= p) {
        ok = code(ctx, f->frame, args, n, receiver, out);
    } else {
        Value inlineArgs[16];
        Value* filled = p <= 16 ? inlineArgs : static_cast<Value*>(std::malloc(p * sizeof(Value)));
        if (!filled) {
            ctx->depth--;
            failOutOfMemory(ctx, site);
            return false;
        }
        for (uint64_t i = 0; i < p; i++) filled[i] = i < n ? args[i] : Value::none();
        ok = code(ctx, f->frame, filled, p, receiver, out);
        if (filled != inlineArgs) std::free(filled);
    }
    if (ok && out->tag == value::TagPint) out->tag = value::TagInt;
    ctx->depth--;
    return ok;
}

// The conversion layer gives Python a callable for a function a semantic made.
[[maybe_unused]] const bool installed = (convert::hooks.closure = closureObject, true);

void failArity(Ctx* ctx, int32_t site, const value::ClosureDescriptor* d, uint64_t n) {
    Message m;
    m.add(d->name.data, d->name.length);
    uint64_t p = d->paramCount;
    if (n > p) {
        m.add("() takes ");
        m.number(p);
        m.add(p == 1 ? " positional argument but " : " positional arguments but ");
        m.number(n);
        m.add(n == 1 ? " was given" : " were given");
    } else {
        uint64_t k = p - n;
        m.add("() missing ");
        m.number(k);
        m.add(k == 1 ? " required positional argument: " : " required positional arguments: ");
        for (uint64_t i = n; i < p; i++) {
            if (i > n) m.add(k == 2 ? " and " : (i + 1 == p ? ", and " : ", "));
            m.add("'");
            m.add(d->params[i].data, d->params[i].length);
            m.add("'");
        }
    }
    failKind(ctx, site, errors::Kind::TypeError, m.text, m.length);
}

bool callClosure(Ctx* ctx, int32_t site, value::Closure* f, const Value* args, uint64_t n,
                 Value* out) {
    if (f->module != ctx->moduleId) {
        failFixed(ctx, site, kOtherProgram);
        return false;
    }
    auto* d = static_cast<const value::ClosureDescriptor*>(f->descriptor);
    if (n != d->paramCount) {
        failArity(ctx, site, d, n);
        return false;
    }
    if (n >= 63) {
        failFixed(ctx, site, kTooManyParameters);
        return false;
    }
    if (belowFloor(ctx)) {
        failFixed(ctx, site, kNestTooDeep);
        return false;
    }
    Value array[64];
    for (uint64_t i = 0; i < n; i++) array[i] = args[i];
    array[n] = Value{value::TagCaptured, uint64_t(uintptr_t(f->captured))};
    int32_t result =
        reinterpret_cast<ClosureCode>(f->code)(ctx, nullptr, array, site, 0, nullptr, nullptr, out);
    if (result == 1) return true;
    if (result != 0) failFixed(ctx, site, kClosureJump);
    return false;
}

// ---- Python objects ---------------------------------------------------------------------------

bool callObject(Ctx* ctx, int32_t site, PyObject* callee, const Value* args, uint64_t n,
                const Value* receiver, bool plain, Value* out) {
    if (!receiver) {
        bridge::Offer offer = bridge::compiledMethod(ctx, site, callee, args, n, !plain, out);
        if (offer.taken) return offer.ok;
    }
    claimAt(&kCallOnceAt, site, callee);
    if (bridge::reporting(ctx)) {
        bridge::TallyText text;
        char name[kTypeNameBytes];
        text.add("call host ");
        text.add(name, typeNameOf(Value::of(value::TagPy, callee), name, sizeof name));
        bridge::countCrossing(ctx, text);
    }
    Py_ssize_t shift = receiver ? 1 : 0;
    PyObject* tuple = PyTuple_New(Py_ssize_t(n) + shift);
    for (uint64_t i = 0; tuple && i < n + uint64_t(shift); i++) {
        Value v = receiver ? (i == 0 ? *receiver : args[i - 1]) : args[i];
        if (!plain && v.tag == value::TagPint) v.tag = value::TagInt;
        PyObject* item = convert::toPython(v, &ctx->conversion);
        if (!item) {
            Py_CLEAR(tuple);
            break;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    if (!tuple) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* result = PyObject_Call(callee, tuple, nullptr);
    Py_DECREF(tuple);
    if (!result) {
        if (plain)
            bridge::failFromPython(ctx, site);
        else
            failHostCall(ctx, site, callee);
        return false;
    }
    Value v = Value::none();
    int rc = convert::convert(result, Py_REFCNT(result) == 1, &v);
    Py_DECREF(result);
    if (rc < 0) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    if (!plain && v.tag == value::TagPint) v.tag = value::TagInt;
    *out = v;
    return true;
}

// Room for the items of a short spread call, on the caller's stack.
constexpr uint64_t kSpreadInline = 8;
struct SpreadBuffer {
    Value items[kSpreadInline];
};

// The items a call spreads (f(*xs)): a list's or tuple's own items, copied with a count each
// (the call may change the list); true with *items to give back with releaseItems. Up to
// kSpreadInline items are copied into the caller's buffer: most calls spread a short argument
// list, and a heap copy per call would cost more than the call itself.
// Hand-over: any other iterable is taken through Python's tuple() until wn_items exists.
bool spreadItems(Ctx* ctx, int32_t site, Value seq, SpreadBuffer* buffer, Value** items,
                 uint64_t* n) {
    const Value* source = nullptr;
    uint64_t count = 0;
    PyObject* tuple = nullptr;
    if (seq.tag == value::TagList) {
        source = seq.as<value::List>()->items;
        count = seq.as<value::List>()->count;
    } else if (seq.tag == value::TagTuple) {
        source = seq.as<value::Tuple>()->items();
        count = seq.as<value::Tuple>()->count;
    } else {
        claimAt(&kCallSeqAt, site, nullptr);
        PyObject* o = convert::toPython(seq, &ctx->conversion);
        tuple = o ? PySequence_Tuple(o) : nullptr;
        Py_XDECREF(o);
        if (!tuple) {
            bridge::failFromPython(ctx, site);
            return false;
        }
        count = uint64_t(PyTuple_GET_SIZE(tuple));
    }
    auto* copy = count <= kSpreadInline
                     ? buffer->items
                     : static_cast<Value*>(std::malloc(count * sizeof(Value)));
    if (!copy) {
        Py_XDECREF(tuple);
        failOutOfMemory(ctx, site);
        return false;
    }
    for (uint64_t i = 0; i < count; i++) {
        if (source) {
            copy[i] = source[i];
            value::incref(copy[i]);
            continue;
        }
        if (convert::convert(PyTuple_GET_ITEM(tuple, Py_ssize_t(i)), false, &copy[i]) == 0)
            continue;
        while (i > 0) value::decref(copy[--i]);
        if (copy != buffer->items) std::free(copy);
        Py_DECREF(tuple);
        bridge::failFromPython(ctx, site);
        return false;
    }
    Py_XDECREF(tuple);
    *items = copy;
    *n = count;
    return true;
}

void releaseItems(const SpreadBuffer* buffer, Value* items, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) value::decref(items[i]);
    if (items != buffer->items) std::free(items);
}

}  // namespace

size_t pyName(PyObject* o, const char* attribute, char* out, size_t max, const char* fallback) {
    PyObject* name = PyObject_GetAttrString(o, attribute);
    Py_ssize_t length = 0;
    const char* text =
        name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    PyErr_Clear();
    size_t n;
    if (text) {
        n = cutUtf8(text, size_t(length), max);
        std::memcpy(out, text, n);
    } else {
        n = std::strlen(fallback) < max ? std::strlen(fallback) : max;
        std::memcpy(out, fallback, n);
    }
    Py_XDECREF(name);
    return n;
}

size_t typeNameOf(Value v, char* out, size_t capacity) {
    if (v.tag == value::TagPy) {
        size_t max = capacity < kTypeNameBytes ? capacity : kTypeNameBytes;
        return pyName(reinterpret_cast<PyObject*>(Py_TYPE(v.as<PyObject>())), "__name__", out, max,
                      "?");
    }
    std::string_view name = value::typeName(v);
    size_t n = name.size() < capacity ? name.size() : capacity;
    std::memcpy(out, name.data(), n);
    return n;
}

bool callOnce(Ctx* ctx, int32_t site, Value callee, const Value* args, uint64_t n,
              const Value* receiver, Value* out) {
    bool plain = ctx->plainCall;
    ctx->plainCall = 0;
    switch (callee.tag) {
    case value::TagFunction:
        return callFunction(ctx, site, callee.as<value::Function>(), args, n, receiver, out);
    case value::TagClosure: {
        auto* f = callee.as<value::Closure>();
        if (callClosure(ctx, site, f, args, n, out)) {
            // Called as a host function is (rt.call), it gives the language's int.
            if (!plain && out->tag == value::TagPint) out->tag = value::TagInt;
            return true;
        }
        // Through rt.call a failure reads as a host function's does in the reference mode,
        // named by the function's own name: the last part of its qualified name. A thrown
        // value and a wuna.Error raised again pass unchanged, as they leave a host.
        bool passes =
            ctx->reraise || (ctx->kindSet && errors::Kind(ctx->kind) == errors::Kind::Throw);
        if (!plain && !passes && f->module == ctx->moduleId) {
            auto* d = static_cast<const value::ClosureDescriptor*>(f->descriptor);
            std::string_view name(d->name.data, d->name.length);
            size_t dot = name.rfind('.');
            if (dot != std::string_view::npos) name.remove_prefix(dot + 1);
            rewordFailure(ctx, name.data(), name.size());
        }
        return false;
    }
    case value::TagPy:
        return callObject(ctx, site, callee.as<PyObject>(), args, n, receiver, plain, out);
    default: break;
    }
    Message m;
    m.add("'");
    m.add(value::typeName(callee));
    m.add("' value is not callable");
    recordMessage(ctx, site, m);
    return false;
}

bool tailResolve(Ctx* ctx, int32_t site, Value* result) {
    while (result->tag == value::TagTail) {
        Value callee = ctx->tailCallee;
        Value args = ctx->tailArgs;
        Value receiver = ctx->tailReceiver;
        bool hasReceiver = ctx->tailHasReceiver;
        ctx->tailCallee = ctx->tailArgs = ctx->tailReceiver = Value{0, 0};
        ctx->tailHasReceiver = 0;
        *result = Value::none();
        bool ok = false;
        if (args.tag == value::TagList) {
            ok = callOnce(ctx, site, callee, args.as<value::List>()->items,
                          args.as<value::List>()->count, hasReceiver ? &receiver : nullptr, result);
        } else if (args.tag == value::TagTuple) {
            ok =
                callOnce(ctx, site, callee, args.as<value::Tuple>()->items(),
                         args.as<value::Tuple>()->count, hasReceiver ? &receiver : nullptr, result);
        } else {
            failFixed(ctx, site, kTailArguments);
        }
        value::decref(callee);
        value::decref(args);
        if (hasReceiver) value::decref(receiver);
        if (!ok) {
            *result = Value::none();
            return false;
        }
    }
    return true;
}

void failHostCall(Ctx* ctx, int32_t site, PyObject* callable) {
    gil::Record* r = gil::enter();
    // The class is looked at with nothing pending: the lookups of the module's classes must
    // not run with an exception set.
    PendingError pending;
    pending.take();
    bool jump = pending.exception &&
                bridge::isModuleJump(reinterpret_cast<PyObject*>(Py_TYPE(pending.exception)));
    pending.restore();
    if (jump) {
        // A host's wuna.Throw or wuna.Error passes unchanged, as in the reference mode: a
        // semantic that called the host through rt.call catches it as it was raised.
        bridge::failFromPython(ctx, site);
        gil::leave(r);
        return;
    }
    char text[kExceptionTextBytes];
    size_t textLength = exceptionText(text, sizeof text);
    char name[kHostNameBytes];
    size_t nameLength = pyName(callable, "__name__", name, sizeof name, "host function");
    if (!ctx->failing) {
        Message m;
        m.add(name, nameLength);
        m.add(": ");
        m.add(text, textLength);
        recordMessage(ctx, site, m);
    }
    gil::leave(r);
}

void hostCodeFailed(Ctx* ctx, PyObject* callable) {
    if (!ctx->failing) return;
    gil::Record* r = gil::enter();
    char name[kHostNameBytes];
    size_t nameLength = pyName(callable, "__name__", name, sizeof name, "host function");
    rewordFailure(ctx, name, nameLength);
    gil::leave(r);
}

void rewordFailure(Ctx* ctx, const char* name, size_t nameLength) {
    if (!ctx->failing) return;
    gil::Record* r = gil::enter();
    Message m;
    m.add(name, nameLength);
    m.add(": ");
    PyObject* exc = ctx->reraise ? ctx->reraise : ctx->fetched;
    std::string_view own(reinterpret_cast<const char*>(ctx->message.data), ctx->message.length);
    if (exc) {
        char cls[kHostNameBytes];
        m.add(cls, pyName(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__name__", cls, sizeof cls,
                          "Error"));
        m.add(": ");
        PyObject* text = PyObject_Str(exc);
        Py_ssize_t length = 0;
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text, &length) : nullptr;
        if (utf8)
            m.add(utf8, size_t(length));
        else
            m.add(own);
        Py_XDECREF(text);
        PyErr_Clear();
    } else if (ctx->kindSet) {
        m.add(errors::name(errors::Kind(ctx->kind)));
        m.add(": ");
        m.add(reinterpret_cast<const char*>(ctx->kindMessage.data), ctx->kindMessage.length);
    } else {
        m.add("Error: ");
        m.add(own);
    }
    ctx->message.length = 0;
    appendBytes(&ctx->message, m.text, m.length);
    if (ctx->kindSet && errors::Kind(ctx->kind) != errors::Kind::Throw && !exc) {
        // A host function's error reaches the program as a plain runtime error.
        ctx->kind = uint8_t(errors::Kind::Error);
        setKindMessage(ctx, m.text, m.length);
        if (ctx->hasExc) {
            Value raised = ctx->exc;
            ctx->exc = Value::none();
            ctx->hasExc = 0;
            value::decref(raised);
        }
    }
    gil::leave(r);
}

bool callPython(Ctx* ctx, int32_t site, const gil::Location* where, PyObject* callee,
                const Value* args, uint64_t n, Value* out) {
    claimAt(where, site, callee);
    if (callee && bridge::reporting(ctx)) {
        bridge::TallyText text;
        char name[kTypeNameBytes];
        text.add("call_python ");
        text.add(name, pyName(callee, "__name__", name, sizeof name, "?"));
        text.add("(");
        if (n > 0) text.add(name, typeNameOf(args[0], name, sizeof name));
        text.add(")");
        bridge::countCrossing(ctx, text);
    }
    return callPythonObject(ctx, site, where, callee, args, n, out);
}

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;

extern "C" {

bool wn_call(void* c, int32_t site, int64_t tag, int64_t payload, void* args, int64_t n,
             void* receiver, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    Value got = Value::none();
    if (!wuna::helpers::callOnce(ctx, site, Value{uint64_t(tag), uint64_t(payload)},
                                 static_cast<const Value*>(args), uint64_t(n),
                                 static_cast<const Value*>(receiver), &got))
        return false;
    if (!wuna::helpers::tailResolve(ctx, site, &got)) return false;
    *result = got;
    return true;
}

bool wn_call_seq(void* c, int32_t site, int64_t tag, int64_t payload, int64_t seqTag,
                 int64_t seqPayload, void* receiver, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    wuna::helpers::SpreadBuffer buffer;
    Value* items = nullptr;
    uint64_t n = 0;
    if (!wuna::helpers::spreadItems(ctx, site, Value{uint64_t(seqTag), uint64_t(seqPayload)},
                                    &buffer, &items, &n))
        return false;
    // The plain-call flag belongs to this call, not to the taking of the items.
    Value got = Value::none();
    bool ok = wuna::helpers::callOnce(ctx, site, Value{uint64_t(tag), uint64_t(payload)}, items, n,
                                      static_cast<const Value*>(receiver), &got) &&
              wuna::helpers::tailResolve(ctx, site, &got);
    wuna::helpers::releaseItems(&buffer, items, n);
    if (ok) *static_cast<Value*>(out) = got;
    return ok;
}

bool wn_tail_resolve(void* c, int32_t site, void* result) {
    return wuna::helpers::tailResolve(static_cast<Ctx*>(c), site, static_cast<Value*>(result));
}

bool wn_call_python(void* c, int32_t site, int64_t index, void* args, int64_t n, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    PyObject* callee = wuna::helpers::moduleObject(ctx, index);
    Value got = Value::none();
    if (!wuna::helpers::callPython(ctx, site, &wuna::helpers::kCallPythonAt, callee,
                                   static_cast<const Value*>(args), uint64_t(n), &got))
        return false;
    *static_cast<Value*>(out) = got;
    return true;
}

}  // extern "C"
