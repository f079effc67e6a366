// The helper context's failure record: recording the first failure with its traceback,
// clearing it, and turning it into a Python exception. See ctx.h.
#include "wuna/runtime/helpers/ctx.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

thread_local Ctx* current = nullptr;

// The call-stack buffer a finished run left for the thread's next run.
struct SpareStack {
    CallEntry* items = nullptr;
    uint64_t capacity = 0;
    ~SpareStack() { std::free(items); }
};
thread_local SpareStack spare;

// Room for n more bytes; false when memory runs out (the list is left as it was).
bool reserve(ByteList* list, uint64_t n) {
    if (list->capacity - list->length >= n) return true;
    uint64_t capacity = list->capacity ? list->capacity : 64;
    while (capacity - list->length < n) capacity *= 2;
    auto* data = static_cast<uint8_t*>(std::realloc(list->data, capacity));
    if (!data) return false;
    list->data = data;
    list->capacity = capacity;
    return true;
}

// Appends what fits: all of text, or (short of memory) nothing.
void append(ByteList* list, const void* text, uint64_t length) {
    if (!length || !reserve(list, length)) return;
    std::memcpy(list->data + list->length, text, length);
    list->length += length;
}

bool appendEntry(EntryList* list, CallEntry entry) {
    if (list->count == list->capacity) {
        uint64_t capacity = list->capacity ? list->capacity * 2 : 8;
        auto* items =
            static_cast<CallEntry*>(std::realloc(list->items, capacity * sizeof(CallEntry)));
        if (!items) return false;
        list->items = items;
        list->capacity = capacity;
    }
    list->items[list->count++] = entry;
    return true;
}

// The call stack, innermost first, each copy holding a reference to its name. An entry that
// cannot be appended is left out and the copy goes on.
void copyTraceback(Ctx* ctx) {
    for (uint64_t i = 0; i < ctx->depth; i++) {
        CallEntry entry = ctx->stack[ctx->depth - 1 - i];
        if (!appendEntry(&ctx->traceback, entry)) continue;
        value::incref(value::TagStr, uint64_t(uintptr_t(entry.name)));
    }
}

void record(Ctx* ctx, int32_t site, const void* text, uint64_t length) {
    ctx->failing = 1;
    ctx->site = site;
    ctx->message.length = 0;
    append(&ctx->message, text, length);
    copyTraceback(ctx);
}

void dropPython(Ctx* ctx) {
    if (!ctx->reraise && !ctx->fetched) return;
    gil::ensure(gil::current());
    Py_CLEAR(ctx->reraise);
    Py_CLEAR(ctx->fetched);
}

// The services hook through which value.cpp's wn_fail records (a null Ctx: no run to record
// on, as before any run exists).
bool serviceFail(void* ctx, int32_t site, const uint8_t* text, size_t length) {
    if (ctx) fail(static_cast<Ctx*>(ctx), site, text, length);
    return false;
}

// Installed while the program starts, before any run: wn_fail records through it.
[[maybe_unused]] const bool installed = (value::services.fail = serviceFail, true);

}  // namespace

Ctx* currentCtx() { return current; }

Ctx* setCurrentCtx(Ctx* ctx) {
    Ctx* previous = current;
    current = ctx;
    return previous;
}

PyObject* moduleObject(Ctx* ctx, int64_t index) {
    if (!ctx->moduleObjects || index < 0) return nullptr;
    PyObject** objects = *static_cast<PyObject***>(ctx->moduleObjects);
    return objects ? objects[index] : nullptr;
}

void fail(Ctx* ctx, int32_t site, const void* text, uint64_t length) {
    if (ctx->failing) return;
    record(ctx, site, text, length);
}

void failText(Ctx* ctx, int32_t site, const void* text, uint64_t length) {
    fail(ctx, site, text, length);
}

void failDefault(Ctx* ctx, int32_t site) { fail(ctx, site, "error", 5); }

void failOutOfMemory(Ctx* ctx, int32_t site) { fail(ctx, site, "out of memory", 13); }

bool setKindMessage(Ctx* ctx, const void* text, uint64_t length) {
    ctx->kindMessage.length = 0;
    if (!length) return true;
    if (!reserve(&ctx->kindMessage, length)) return false;
    append(&ctx->kindMessage, text, length);
    return true;
}

void failKind(Ctx* ctx, int32_t site, errors::Kind kind, const char* text, uint64_t length) {
    if (ctx->failing) return;
    ctx->kind = uint8_t(kind);
    ctx->kindSet = 1;
    setKindMessage(ctx, text, length);
    record(ctx, site, text, length);
}

void failKindFormat(Ctx* ctx, int32_t site, errors::Kind kind, const char* format, ...) {
    if (ctx->failing) return;
    char whole[2 * pyhelp::kMessageBuffer];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(whole, sizeof whole, format, args);
    va_end(args);
    if (length < 0) length = 0;
    if (size_t(length) >= sizeof whole) length = int(sizeof whole - 1);
    char text[pyhelp::kMessageBuffer];
    failKind(ctx, site, kind, text, pyhelp::cutText(text, whole, uint64_t(length)));
}

void clearError(Ctx* ctx) {
    ctx->failing = 0;
    ctx->message.length = 0;
    for (uint64_t i = 0; i < ctx->traceback.count; i++)
        value::decref(value::TagStr, uint64_t(uintptr_t(ctx->traceback.items[i].name)));
    ctx->traceback.count = 0;
    dropPython(ctx);
    ctx->kind = 0;
    ctx->kindSet = 0;
    ctx->kindMessage.length = 0;
    if (ctx->hasExc) {
        value::Value exc = ctx->exc;
        ctx->exc = value::Value::none();
        ctx->hasExc = 0;
        value::decref(exc);
    }
}

PyObject* errorObject(Ctx* ctx) {
    if (ctx->reraise) return Py_NewRef(ctx->reraise);
    if (ctx->fetched) return Py_NewRef(ctx->fetched);
    if (ctx->hasExc) return convert::toPython(ctx->exc, &ctx->conversion);
    if (!ctx->kindSet) return nullptr;
    errors::Kind kind = errors::Kind(ctx->kind);
    PyObject* cls = errors::pyClass(kind);
    if (!cls) {
        static constexpr char head[] = "wuna: the class of ";
        static constexpr char tail[] = " wasn't found";
        char text[128];
        std::string_view name = errors::name(kind);
        size_t n = 0;
        std::memcpy(text, head, sizeof head - 1);
        n += sizeof head - 1;
        std::memcpy(text + n, name.data(), name.size());
        n += name.size();
        std::memcpy(text + n, tail, sizeof tail - 1);
        n += sizeof tail - 1;
        pyhelp::raiseText(PyExc_RuntimeError, text, n);
        return nullptr;
    }
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(ctx->kindMessage.data),
                                          Py_ssize_t(ctx->kindMessage.length), "replace");
    if (!text) return nullptr;
    PyObject* error = PyObject_CallOneArg(cls, text);
    Py_DECREF(text);
    return error;
}

bool appendBytes(ByteList* list, const void* text, uint64_t length) {
    if (!length) return true;
    if (!reserve(list, length)) return false;
    append(list, text, length);
    return true;
}

CallEntry* takeStack(uint64_t capacity) {
    if (spare.items && spare.capacity == capacity) {
        CallEntry* items = spare.items;
        spare.items = nullptr;
        spare.capacity = 0;
        return items;
    }
    return capacity <= SIZE_MAX / sizeof(CallEntry)
               ? static_cast<CallEntry*>(std::malloc(capacity ? capacity * sizeof(CallEntry) : 1))
               : nullptr;
}

void endCtx(Ctx* ctx) {
    if (ctx->ownsStack) {
        if (!spare.items) {
            spare.items = ctx->stack;
            spare.capacity = ctx->stackCapacity;
        } else {
            std::free(ctx->stack);
        }
        ctx->stack = nullptr;
        ctx->stackCapacity = 0;
        ctx->depth = 0;
        ctx->ownsStack = 0;
    }
    while (ctx->releases.count) value::decref(ctx->releases.items[--ctx->releases.count]);
    std::free(ctx->releases.items);
    ctx->releases = {};
    clearError(ctx);
    std::free(ctx->kindMessage.data);
    std::free(ctx->message.data);
    std::free(ctx->traceback.items);
    ctx->kindMessage = {};
    ctx->message = {};
    ctx->traceback = {};
}

}  // namespace wuna::helpers

namespace wuna::bridge {

bool isModuleJump(PyObject* kind) {
    PyObject* throwClass = errors::pyClass(errors::Kind::Throw);
    PyObject* errorClass = errors::pyClass(errors::Kind::Error);
    return (throwClass && PyErr_GivenExceptionMatches(kind, throwClass)) ||
           (errorClass && PyErr_GivenExceptionMatches(kind, errorClass));
}

namespace {

// A wuna.Throw carries the runtime error it stands for, made once with the call stack of the
// place it left a semantic ("_wuna_error"), so that an uncaught throw reports where it was
// thrown. Every failure here is cleared and leaves the throw without it.
void attachThrowError(helpers::Ctx* ctx, int32_t site, PyObject* value) {
    PyObject* throwClass = errors::pyClass(errors::Kind::Throw);
    if (!throwClass || !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(throwClass)))
        return;
    if (!ctx->run || !ctx->run->error) return;
    int has = PyObject_HasAttrString(value, "_wuna_error");
    if (has) return;
    PyObject* message = PyObject_GetAttrString(value, "message");
    PyObject* shown = message;
    if (message == Py_None) {
        Py_DECREF(message);
        PyObject* thrown = PyObject_GetAttrString(value, "value");
        shown = thrown ? PyObject_Str(thrown) : nullptr;
        Py_XDECREF(thrown);
    } else if (message && !PyUnicode_Check(message)) {
        shown = PyObject_Str(message);
        Py_DECREF(message);
    }
    Py_ssize_t length = 0;
    const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown, &length) : nullptr;
    helpers::CallEntry* entries = nullptr;
    uint64_t n = ctx->depth;
    if (utf8 && n) {
        entries = static_cast<helpers::CallEntry*>(std::malloc(n * sizeof *entries));
        for (uint64_t i = 0; entries && i < n; i++) entries[i] = ctx->stack[n - 1 - i];
    }
    PyObject* error = utf8 && (entries || !n)
                          ? ctx->run->error(ctx->run->userData, site, utf8, uint64_t(length),
                                            entries, entries ? n : 0)
                          : nullptr;
    std::free(entries);
    Py_XDECREF(shown);
    if (error) PyObject_SetAttrString(value, "_wuna_error", error);
    Py_XDECREF(error);
    PyErr_Clear();
}

// Records the UTF-8 of text, a lone surrogate in it as its three bytes (pyhelp::messageStr
// gives it back), or "error" when there is no text; text is consumed.
void recordText(helpers::Ctx* ctx, int32_t site, PyObject* text) {
    PyObject* bytes = text ? PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass") : nullptr;
    if (bytes)
        helpers::fail(ctx, site, PyBytes_AS_STRING(bytes), uint64_t(PyBytes_GET_SIZE(bytes)));
    else {
        PyErr_Clear();
        helpers::failDefault(ctx, site);
    }
    Py_XDECREF(bytes);
    Py_XDECREF(text);
}

}  // namespace

void failFromPython(helpers::Ctx* ctx, int32_t site) {
    PendingError pending;
    pending.take();  // normalised: the exception object, its traceback attached
    PyObject* value = pending.exception;
    if (!value) {
        helpers::failDefault(ctx, site);
        return;
    }
    if (isModuleJump(reinterpret_cast<PyObject*>(Py_TYPE(value)))) {
        attachThrowError(ctx, site, value);
        // The newer jump is the one the run raises, first failure or not; the driver raises
        // it as it is, so the host sees what the semantic raised.
        Py_XSETREF(ctx->reraise, value);  // the record's reference moves there
        pending.exception = nullptr;
        static constexpr char text[] = "a Python exception";
        helpers::fail(ctx, site, text, sizeof text - 1);
        return;
    }
    if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                     PyExc_Exception)) {
        // No Exception (a KeyboardInterrupt, a SystemExit): never a runtime error of the
        // program, in the reference mode as here. It leaves every semantic as it is and the
        // driver raises it unchanged; the newer one wins, as a Python raise replaces the one
        // being handled.
        Py_XSETREF(ctx->reraise, Py_NewRef(value));
        pending.restore();
        PyObject* text = errors::pendingMessage();
        PyErr_Clear();
        recordText(ctx, site, text);
        return;
    }
    if (!ctx->failing) Py_XSETREF(ctx->fetched, Py_NewRef(value));
    pending.restore();
    PyObject* text = errors::pendingMessage();
    PyErr_Clear();
    recordText(ctx, site, text);
}

bool failFromFault(helpers::Ctx* ctx, int32_t site) {
    if (!value::faulted()) return false;
    gil::Record* r = gil::enter();
    if (value::raiseFault()) failFromPython(ctx, site);
    gil::leave(r);
    return true;
}

void pythonFailure(helpers::Ctx* ctx, int32_t site) {
    gil::Record* r = gil::enter();
    failFromPython(ctx, site);
    gil::leave(r);
}

}  // namespace wuna::bridge
