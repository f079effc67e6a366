// Exceptions as values: making, raising, catching, matching and wrapping them, and the texts
// Python gives them. See exceptions.h.
#include "wuna/runtime/helpers/exceptions.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using errors::Kind;
using value::Value;

namespace {

bool appendText(ByteList* out, std::string_view text) {
    return appendBytes(out, text.data(), text.size());
}

// str() or repr() of a value as Python words it: natively where the writer can, else through
// Python. False when memory ran out or Python could not give the text (nothing is pending).
bool valueText(Ctx* ctx, Value v, bool repr, ByteList* out) {
    return repr ? reprInto(ctx, v, out) : strInto(ctx, v, out);
}

bool intOf(Value v, value::i128* out) {
    if (v.tag == value::TagBool) {
        *out = v.payload != 0;
        return true;
    }
    return value::wide(v, out);
}

bool decodeErrorText(Ctx* ctx, value::Tuple* args, ByteList* out) {
    Value* a = args->items();
    value::i128 start = 0, end = 0;
    intOf(a[2], &start);
    intOf(a[3], &end);
    value::Bytes* data = a[1].as<value::Bytes>();
    char number[value::kWideDigits];
    if (!appendText(out, "'") || !valueText(ctx, a[0], false, out)) return false;
    if (end == start + 1 && start >= 0 && start < value::i128(data->length)) {
        if (printDecodeError(out, data->data[size_t(start)], int64_t(start)) != Status::ok)
            return false;
    } else {
        if (!appendText(out, "' codec can't decode bytes in position ") ||
            !appendBytes(out, number, value::printWide(number, start)) || !appendText(out, "-") ||
            !appendBytes(out, number, value::printWide(number, end - 1)) ||
            !appendText(out, ": "))
            return false;
    }
    return valueText(ctx, a[4], false, out);
}

bool isDecodeError(value::Exc* e, value::Tuple* args) {
    if (Kind(e->kind) != Kind::UnicodeDecodeError || args->count != 5) return false;
    Value* a = args->items();
    value::i128 ignored;
    return a[1].tag == value::TagBytes && intOf(a[2], &ignored) && intOf(a[3], &ignored);
}

// The runtime error's text for a raised exception value whose kind message is km.
bool failureText(value::Exc* e, const ByteList& km, ByteList* out) {
    std::string_view kindMessage(reinterpret_cast<const char*>(km.data), km.length);
    Kind kind = Kind(e->kind);
    switch (kind) {
    case Kind::ZeroDivisionError: return appendText(out, "division by zero");
    case Kind::KeyError:
        if (!appendText(out, "key not found")) return false;
        return kindMessage.empty() || (appendText(out, ": ") && appendText(out, kindMessage));
    case Kind::RecursionError: return appendText(out, "call stack too deep");
    case Kind::IntegerOverflow: return appendText(out, "integer overflow");
    default: break;
    }
    if (errors::valid(e->kind) &&
        (errors::isA(kind, Kind::TypeError) || errors::isA(kind, Kind::IndexError) ||
         errors::isA(kind, Kind::ValueError) || errors::isA(kind, Kind::AttributeError)))
        return appendText(out, kindMessage);
    return appendText(out, errors::name(kind)) && appendText(out, ": ") &&
           appendText(out, kindMessage);
}

void freeList(ByteList* list) {
    std::free(list->data);
    *list = {};
}

}  // namespace

const char* (*nativeErrorText)(PyObject* fn, int32_t code) = nullptr;

bool excStr(Ctx* ctx, value::Exc* e, ByteList* out) {
    if (e->args.tag != value::TagTuple) return valueText(ctx, e->args, false, out);
    value::Tuple* args = e->args.as<value::Tuple>();
    uint64_t n = args->count;
    Value* a = args->items();
    if (n == 0) return true;
    bool os = errors::valid(e->kind) && errors::isA(Kind(e->kind), Kind::OSError);
    // As the interpreter does: two to five arguments are errno, text, file name, (a Windows
    // error code) and a second file name.
    if (os && n >= 2 && n <= 5) {
        if (!appendText(out, "[Errno ") || !valueText(ctx, a[0], false, out) ||
            !appendText(out, "] ") || !valueText(ctx, a[1], false, out))
            return false;
        if (n >= 3 && a[2].tag != value::TagNone &&
            (!appendText(out, ": ") || !valueText(ctx, a[2], true, out)))
            return false;
        if (n == 5 && a[4].tag != value::TagNone &&
            (!appendText(out, " -> ") || !valueText(ctx, a[4], true, out)))
            return false;
        return true;
    }
    if (isDecodeError(e, args)) return decodeErrorText(ctx, args, out);
    if (n == 1) return valueText(ctx, a[0], Kind(e->kind) == Kind::KeyError, out);
    return valueText(ctx, e->args, false, out);
}

void raiseExc(Ctx* ctx, int32_t site, Value exc) {
    if (ctx->failing) return;
    value::Exc* e = exc.as<value::Exc>();
    Kind kind = Kind(e->kind);
    ByteList km{}, failure{};
    if (kind == Kind::Error && e->message.tag == value::TagStr) {
        appendText(&failure, e->message.as<value::Str>()->text());
    } else if (kind == Kind::Throw) {
        Value shown = e->message.tag == value::TagNone ? e->value : e->message;
        // Short of a text (no memory, Python failed), the failure reads with what was written.
        (void)valueText(ctx, shown, false, &failure);
    } else {
        (void)excStr(ctx, e, &km);
        if (kind == Kind::Error) {
            appendText(&failure, "Error: ");
            appendBytes(&failure, km.data, km.length);
        } else {
            failureText(e, km, &failure);
        }
    }
    value::incref(exc);
    ctx->exc = exc;
    ctx->hasExc = 1;
    ctx->kind = uint8_t(e->kind);
    ctx->kindSet = 1;
    setKindMessage(ctx, km.data, km.length);
    // A runtime error caught and raised again keeps the node it failed at.
    failText(ctx, kind == Kind::Error ? e->site : site, failure.data, failure.length);
    freeList(&km);
    freeList(&failure);
}

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;
namespace errors = wuna::errors;
namespace gil = wuna::gil;
namespace helpers = wuna::helpers;
namespace value = wuna::value;
namespace convert = wuna::convert;

namespace {

// A Python exception object of o for raise: a class is called with no arguments when call
// is set (else given as the type with no value), an instance is itself. Sets the exception
// pending; false when o is neither (TypeError with text pending instead).
void setRaised(PyObject* o) {
    if (PyExceptionClass_Check(o)) {
        PyErr_SetNone(o);
    } else if (PyExceptionInstance_Check(o)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(o)), o);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// An exception instance of o: a class called with no arguments, an instance itself. New
// reference, or null with the exception (TypeError with text when o is neither).
PyObject* instanceOf(PyObject* o, const char* text) {
    if (PyExceptionClass_Check(o)) return PyObject_CallNoArgs(o);
    if (PyExceptionInstance_Check(o)) return Py_NewRef(o);
    PyErr_SetString(PyExc_TypeError, text);
    return nullptr;
}

}  // namespace

extern "C" {

bool wn_new_exception(void* c, int32_t site, int64_t index, int32_t kind, void* argv, int64_t n,
                      void* out) {
    Ctx* ctx = static_cast<Ctx*>(c);
    Value* args = static_cast<Value*>(argv);
    Value* result = static_cast<Value*>(out);
    if (uint32_t(kind) == errors::kPythonClass) {
        // The class is a Python object: calling it is an ordinary Python call.
        gil::Record* r = gil::enter();
        PyObject* cls = helpers::moduleObject(ctx, index);
        PyObject* tuple = cls ? PyTuple_New(Py_ssize_t(n)) : nullptr;
        if (!cls && !PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "wuna: the exception class wasn't found");
        for (int64_t i = 0; tuple && i < n; i++) {
            PyObject* item = convert::toPython(args[i], &ctx->conversion);
            if (!item)
                Py_CLEAR(tuple);
            else
                PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
        }
        PyObject* made = tuple ? PyObject_Call(cls, tuple, nullptr) : nullptr;
        Py_XDECREF(tuple);
        bool done = made && convert::convert(made, Py_REFCNT(made) == 1, result) == 0;
        Py_XDECREF(made);
        if (!done) wuna::bridge::failFromPython(ctx, site);
        gil::leave(r);
        return done;
    }
    value::Tuple* tuple = value::newTuple(uint64_t(n));
    if (!tuple) {
        helpers::failOutOfMemory(ctx, site);
        return false;
    }
    for (int64_t i = 0; i < n; i++) {
        value::incref(args[i]);
        tuple->items()[i] = args[i];
    }
    bool isThrow = errors::Kind(kind) == errors::Kind::Throw;
    Value thrown = isThrow && n >= 1 ? args[0] : Value::none();
    Value message = isThrow && n >= 2 ? args[1] : Value::none();
    Value argsValue = Value::of(value::TagTuple, tuple);
    value::Exc* e = value::newExc(uint32_t(kind), argsValue, thrown, message, site);
    value::decref(argsValue);
    if (!e) {
        helpers::failOutOfMemory(ctx, site);
        return false;
    }
    *result = Value::of(value::TagExc, e);
    return true;
}

bool wn_raise(void* c, int32_t site, int64_t tag, int64_t payload) {
    Ctx* ctx = static_cast<Ctx*>(c);
    Value v{uint64_t(tag), uint64_t(payload)};
    if (v.tag == value::TagExc) {
        helpers::raiseExc(ctx, site, v);
        return false;
    }
    gil::Record* r = gil::enter();
    PyObject* o = convert::toPython(v, &ctx->conversion);
    if (o) setRaised(o);
    Py_XDECREF(o);
    wuna::bridge::failFromPython(ctx, site);
    gil::leave(r);
    return false;
}

bool wn_raise_from(void* c, int32_t site, int64_t tag, int64_t payload, int64_t causeTag,
                   int64_t causePayload) {
    Ctx* ctx = static_cast<Ctx*>(c);
    Value v{uint64_t(tag), uint64_t(payload)};
    Value cause{uint64_t(causeTag), uint64_t(causePayload)};
    if (v.tag == value::TagExc && (cause.tag == value::TagNone || cause.tag == value::TagExc)) {
        value::Exc* e = v.as<value::Exc>();
        value::incref(cause);
        Value old = e->cause;
        e->cause = cause;
        value::decref(old);
        helpers::raiseExc(ctx, site, v);
        return false;
    }
    gil::Record* r = gil::enter();
    PyObject* o = convert::toPython(v, &ctx->conversion);
    PyObject* exc = o ? instanceOf(o, "exceptions must derive from BaseException") : nullptr;
    Py_XDECREF(o);
    PyObject* causeObject = exc ? convert::toPython(cause, &ctx->conversion) : nullptr;
    if (causeObject) {
        if (causeObject == Py_None) {
            // `from None`: no cause, and the context is not shown.
            PyException_SetCause(exc, nullptr);
        } else {
            PyObject* instance =
                instanceOf(causeObject, "exception causes must derive from BaseException");
            if (instance) PyException_SetCause(exc, instance);  // takes the reference
        }
        Py_DECREF(causeObject);
    }
    if (exc && !PyErr_Occurred()) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_XDECREF(exc);
    wuna::bridge::failFromPython(ctx, site);
    gil::leave(r);
    return false;
}

bool wn_exc_catch(void* c, int32_t site, void* out) {
    Ctx* ctx = static_cast<Ctx*>(c);
    Value* result = static_cast<Value*>(out);
    if (ctx->reraise || ctx->fetched) {
        gil::Record* r = gil::enter();
        PyObject* o = helpers::errorObject(ctx);
        if (!o) PyErr_Clear();
        gil::leave(r);
        helpers::clearError(ctx);
        if (!o) {
            helpers::failOutOfMemory(ctx, site);
            return false;
        }
        *result = Value::of(value::TagPy, o);
        return true;
    }
    if (ctx->hasExc) {
        *result = ctx->exc;
        ctx->exc = Value::none();
        ctx->hasExc = 0;
        helpers::clearError(ctx);
        return true;
    }
    errors::Kind kind = ctx->kindSet ? errors::Kind(ctx->kind) : errors::Kind::Error;
    const helpers::ByteList& text = ctx->kindSet ? ctx->kindMessage : ctx->message;
    value::Str* s = value::newStr(text.data, text.length);
    value::Tuple* args = s ? value::newTuple(1) : nullptr;
    if (!args) {
        if (s) value::decref(Value::of(value::TagStr, s));
        return false;
    }
    args->items()[0] = Value::of(value::TagStr, s);  // the tuple takes the str's reference
    Value argsValue = Value::of(value::TagTuple, args);
    Value message = kind == errors::Kind::Error ? args->items()[0] : Value::none();
    value::Exc* e = value::newExc(uint32_t(kind), argsValue, Value::none(), message, ctx->site);
    value::decref(argsValue);
    if (!e) return false;
    helpers::clearError(ctx);
    *result = Value::of(value::TagExc, e);
    return true;
}

bool wn_exc_matches(void* c, int64_t index, int64_t mask) {
    Ctx* ctx = static_cast<Ctx*>(c);
    if (ctx->reraise || ctx->fetched) {
        gil::Record* r = gil::enter();
        PyObject* held = ctx->reraise ? ctx->reraise : ctx->fetched;
        PyObject* cls = helpers::moduleObject(ctx, index);
        int matched = cls ? PyObject_IsInstance(held, cls) : 0;
        if (matched < 0) PyErr_Clear();
        gil::leave(r);
        return matched > 0;
    }
    errors::Kind kind = ctx->kindSet ? errors::Kind(ctx->kind) : errors::Kind::Error;
    for (;;) {
        if (uint32_t(kind) < 64 && (uint64_t(mask) >> uint32_t(kind) & 1)) return true;
        if (!errors::parent(kind, &kind)) return false;
    }
}

void wn_exc_wrap(void* c) {
    Ctx* ctx = static_cast<Ctx*>(c);
    if (!ctx->failing || ctx->reraise || helpers::passesThrough(ctx)) return;
    if (ctx->kindSet &&
        (ctx->kind == uint8_t(errors::Kind::Error) || ctx->kind == uint8_t(errors::Kind::Throw)))
        return;
    if (ctx->fetched) {
        gil::Record* r = gil::enter();
        Py_CLEAR(ctx->fetched);
        gil::leave(r);
    }
    if (ctx->hasExc) {
        Value exc = ctx->exc;
        ctx->exc = Value::none();
        ctx->hasExc = 0;
        value::decref(exc);
    }
    ctx->kind = 0;
    ctx->kindSet = 0;
    ctx->kindMessage.length = 0;
}

bool wn_native_fail(void* c, int32_t site, int64_t index, int32_t code) {
    Ctx* ctx = static_cast<Ctx*>(c);
    gil::Record* r = gil::enter();
    PyObject* fn = helpers::moduleObject(ctx, index);
    const char* text =
        fn && helpers::nativeErrorText ? helpers::nativeErrorText(fn, code) : nullptr;
    if (!text) text = "failed";
    wuna::pyhelp::raiseText(PyExc_RuntimeError, text, strlen(text));
    wuna::bridge::failFromPython(ctx, site);
    gil::leave(r);
    return false;
}

bool wn_control_value(void* c, int32_t site, [[maybe_unused]] int64_t tag, int64_t payload,
                      void* out) {
    Ctx* ctx = static_cast<Ctx*>(c);
    Value* result = static_cast<Value*>(out);
    PyObject* o = reinterpret_cast<PyObject*>(uintptr_t(payload));
    gil::Record* r = gil::enter();
    PyObject* args = PyObject_GetAttrString(o, "args");
    bool done = false;
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) >= 1) {
        PyObject* item = PyTuple_GET_ITEM(args, 0);
        done = convert::convert(item, Py_REFCNT(item) == 1, result) == 0;
    } else if (args && PyTuple_Check(args)) {
        *result = Value::none();
        done = true;
    } else if (args) {
        PyErr_SetString(PyExc_TypeError, "args must be a tuple");
    }
    Py_XDECREF(args);
    if (!done) wuna::bridge::failFromPython(ctx, site);
    Py_DECREF(o);
    gil::leave(r);
    return done;
}

}  // extern "C"
