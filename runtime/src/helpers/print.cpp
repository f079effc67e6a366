// Printing and the platform names for compiled code (see print.h).
#include "wuna/runtime/helpers/print.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kEmit{"helpers", "runtime/src/helpers/print.cpp", "emit", 0, 0};

constexpr gil::Location kTypeName{"helpers", "runtime/src/helpers/print.cpp", "typeNameOf", 0, 0};

bool toStdout(int32_t stream) { return StreamCode(stream) == StreamCode::stdout_; }

// The type name a message gives: a Python object's own type's, as Python's messages name it
// (the runtime's table knows it only as an object), else the runtime's name of the tag.
std::string typeNameOf(Value v) {
    if (v.tag != value::TagPy) return std::string(value::typeName(v));
    // A class's name can be reassigned from Python: read under the lock.
    value::claimLock(&kTypeName);
    return Py_TYPE(v.as<PyObject>())->tp_name;
}

// Records TypeError: the text, then the value's type name.
void failNaming(Ctx* ctx, int32_t site, std::string_view text, Value v) {
    std::string message(text);
    message += typeNameOf(v);
    failKind(ctx, site, errors::Kind::TypeError, message.data(), message.size());
}

enum class Missing : uint8_t { fail, quiet };

// stream.write(text) with the lock held; the stream's answer (new reference) in *answer when
// asked for. With Missing::quiet a stream set to None takes nothing and reports success, as
// print() does when the process has no stdout. False with the failure recorded.
bool writeText(Ctx* ctx, int32_t site, int32_t stream, PyObject* text, Missing missing,
               PyObject** answer) {
    const char* name = toStdout(stream) ? "stdout" : "stderr";
    PyObject* file = PySys_GetObject(name);  // borrowed
    if (!file) {
        std::string message = std::string("lost sys.") + name;
        failKind(ctx, site, errors::Kind::RuntimeError, message.data(), message.size());
        return false;
    }
    if (file == Py_None && missing == Missing::quiet) return true;
    // The stream is held while its write runs: the write may replace sys.stdout.
    Py_INCREF(file);
    PyObject* write = PyObject_GetAttrString(file, "write");
    PyObject* result = write ? PyObject_CallOneArg(write, text) : nullptr;
    Py_XDECREF(write);
    Py_DECREF(file);
    if (!result) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    if (answer)
        *answer = result;
    else
        Py_DECREF(result);
    return true;
}

// The text as one str to the stream; see writeText.
bool emitText(Ctx* ctx, int32_t site, int32_t stream, const uint8_t* bytes, size_t length,
              Missing missing) {
    gil::Record* r = gil::current();
    gil::slow(r, &kEmit, 0, nullptr);
    r->depth++;
    PyObject* text =
        PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes), Py_ssize_t(length), "strict");
    bool done = false;
    if (!text)
        bridge::failFromPython(ctx, site);
    else
        done = writeText(ctx, site, stream, text, missing, nullptr);
    Py_XDECREF(text);
    r->depth--;
    return done;
}

// The sep or end of a print: its text, or fallback for None; false for any other value.
bool printText(Value v, std::string_view fallback, std::string_view* out) {
    if (v.tag == value::TagNone) {
        *out = fallback;
        return true;
    }
    if (v.tag != value::TagStr) return false;
    *out = v.as<value::Str>()->text();
    return true;
}

// What making a print's line came to.
enum class Line : uint8_t { made, failed, python };

// The whole line of a print into line: made; failed with the failure recorded; or python, for
// an argument whose text compiled code cannot make (its str() raises, or gives a text with
// lone surrogates, which has no UTF-8), nothing recorded.
Line printLine(Ctx* ctx, int32_t site, const Value* args, int64_t count, Value further,
               std::string_view sep, std::string_view end, ByteList* line) {
    value::List* more = further.tag == value::TagList ? further.as<value::List>() : nullptr;
    uint64_t total = uint64_t(count) + (more ? more->count : 0);
    for (uint64_t i = 0; i < total; i++) {
        // A str() through Python may change the list being printed: read it afresh each time.
        if (i >= uint64_t(count) && (!more || i - uint64_t(count) >= more->count)) break;
        Value v = i < uint64_t(count) ? args[i] : more->items[i - uint64_t(count)];
        if (i > 0 && !appendBytes(line, sep.data(), sep.size())) {
            failOutOfMemory(ctx, site);
            return Line::failed;
        }
        if (!strInto(ctx, v, line)) return Line::python;
    }
    if (!appendBytes(line, end.data(), end.size())) {
        failOutOfMemory(ctx, site);
        return Line::failed;
    }
    return Line::made;
}

// The print by Python's own print(*args, sep=sep, end=end, file=the stream), for a line
// printLine leaves to Python: Python writes the arguments one by one, with its stream's error
// handler for lone surrogates, and raises what the argument's str() raises, as the reference
// mode's print does. False with the failure recorded.
bool printByPython(Ctx* ctx, int32_t site, int32_t stream, const Value* args, uint64_t count,
                   Value further, Value sep, Value end) {
    gil::slow(gil::current(), &kEmit, 0, nullptr);
    value::List* more = further.tag == value::TagList ? further.as<value::List>() : nullptr;
    // The arguments as a list first: converting one may run Python that changes the further
    // list, as the native line reads it afresh.
    PyObject* items = PyList_New(0);
    for (uint64_t i = 0; items && (i < count || (more && i - count < more->count)); i++) {
        Value v = i < count ? args[i] : more->items[i - count];
        PyObject* o = nullptr;
        if (!objects(ctx, site, &v, 1, &o) || PyList_Append(items, o) < 0) Py_CLEAR(items);
        Py_XDECREF(o);
    }
    Value ends[2] = {sep, end};
    PyObject* texts[2] = {};
    const char* name = toStdout(stream) ? "stdout" : "stderr";
    PyObject* print = PyDict_GetItemString(PyEval_GetBuiltins(), "print");  // borrowed
    PyObject* file = PySys_GetObject(name);                                  // borrowed
    PyObject* positional = items && objects(ctx, site, ends, 2, texts) ? PyList_AsTuple(items)
                                                                        : nullptr;
    PyObject* keywords =
        positional && print && file
            ? Py_BuildValue("{s:O,s:O,s:O}", "sep", texts[0], "end", texts[1], "file", file)
            : nullptr;
    if (positional && !file) {
        std::string message = std::string("lost sys.") + name;
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
    } else if (positional && !print) {
        PyErr_SetString(PyExc_RuntimeError, "lost builtins.print");
    }
    // A stream set to None takes nothing, as the native print's does (print itself would
    // write a None file= to sys.stdout).
    PyObject* result = file == Py_None && keywords ? Py_NewRef(Py_None)
                       : keywords                  ? PyObject_Call(print, positional, keywords)
                                                   : nullptr;
    Py_XDECREF(keywords);
    Py_XDECREF(positional);
    Py_XDECREF(texts[0]);
    Py_XDECREF(texts[1]);
    Py_XDECREF(items);
    if (!result) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    Py_DECREF(result);
    return true;
}

}  // namespace

bool emit(Ctx* ctx, int32_t site, int32_t stream, const uint8_t* text, size_t length) {
    return emitText(ctx, site, stream, text, length, Missing::fail);
}

void failWriteArgument(Ctx* ctx, int32_t site, Value v) {
    // Python's argument check names None by itself, every other value by its type.
    if (v.tag == value::TagNone) {
        static constexpr char text[] = "write() argument must be str, not None";
        failKind(ctx, site, errors::Kind::TypeError, text, sizeof text - 1);
        return;
    }
    failNaming(ctx, site, "write() argument must be str, not ", v);
}

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;
namespace helpers = wuna::helpers;
namespace value = wuna::value;
namespace gil = wuna::gil;

extern "C" {

bool wn_print(void* c, int32_t site, int32_t stream, void* argsArg, int64_t count,
              int64_t furtherTag, int64_t furtherPayload, int64_t sepTag, int64_t sepPayload,
              int64_t endTag, int64_t endPayload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    const auto* args = static_cast<const Value*>(argsArg);
    Value sepValue{uint64_t(sepTag), uint64_t(sepPayload)};
    Value endValue{uint64_t(endTag), uint64_t(endPayload)};
    std::string_view sep, end;
    if (!helpers::printText(sepValue, " ", &sep)) {
        helpers::failNaming(ctx, site, "sep must be None or a string, not ", sepValue);
        return false;
    }
    if (!helpers::printText(endValue, "\n", &end)) {
        helpers::failNaming(ctx, site, "end must be None or a string, not ", endValue);
        return false;
    }
    helpers::ByteList line{};
    Value further{uint64_t(furtherTag), uint64_t(furtherPayload)};
    uint64_t n = count < 0 ? 0 : uint64_t(count);
    helpers::Line made = helpers::printLine(ctx, site, args, int64_t(n), further, sep, end, &line);
    bool done = made == helpers::Line::made
                    ? helpers::emitText(ctx, site, stream, line.data, size_t(line.length),
                                        helpers::Missing::quiet)
                    : made == helpers::Line::python &&
                          helpers::printByPython(ctx, site, stream, args, n, further, sepValue,
                                                 endValue);
    std::free(line.data);
    if (done) *static_cast<Value*>(out) = Value::none();
    return done;
}

bool wn_write(void* c, int32_t site, int32_t stream, int64_t tag, int64_t payload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    Value v{uint64_t(tag), uint64_t(payload)};
    if (v.tag == value::TagStr) {
        auto* s = v.as<value::Str>();
        if (!helpers::emit(ctx, site, stream, s->bytes(), size_t(s->length))) return false;
        *result = Value::pint(int64_t(s->chars));
        return true;
    }
    if (v.tag != value::TagPy) {
        helpers::failWriteArgument(ctx, site, v);
        return false;
    }
    // A Python object (a str that has no UTF-8 form, anything else): the stream judges it
    // and answers, as it does in Python.
    gil::Record* r = gil::current();
    gil::slow(r, &helpers::kEmit, v.tag, nullptr);
    r->depth++;
    PyObject* answer = nullptr;
    bool done = helpers::writeText(ctx, site, stream, v.as<PyObject>(), helpers::Missing::fail,
                                   &answer) &&
                helpers::pythonResult(ctx, site, answer, result);
    r->depth--;
    return done;
}

bool wn_platform(void* c, int32_t site, int32_t code, void* out) {
    std::string_view text = helpers::PlatformCode(code) == helpers::PlatformCode::osName ? "posix"
                                                                                         : "linux";
    value::Str* s = value::literal(text.data(), text.size());
    if (!s) {
        helpers::failOutOfMemory(static_cast<Ctx*>(c), site);
        return false;
    }
    *static_cast<Value*>(out) = Value::of(value::TagStr, s);
    return true;
}

}  // extern "C"
