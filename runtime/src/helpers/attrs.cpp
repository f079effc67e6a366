// Attribute reads and stores, closure cells and module globals of compiled code (see attrs.h).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/helpers/attrs.h"

#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using errors::Kind;
using value::Value;

// ---- Messages ---------------------------------------------------------------------------------

Message& Message::add(const void* data, size_t size) {
    size_t room = sizeof text - length;
    if (size > room) size = room;
    memcpy(text + length, data, size);
    length += size;
    return *this;
}

Message& Message::add(const char* data) { return add(data, strlen(data)); }

void Message::fail(Ctx* ctx, int32_t site, Kind kind) const {
    char cut[pyhelp::kMessageBuffer];
    failKind(ctx, site, kind, cut, pyhelp::cutText(cut, text, length));
}

void printNoAttribute(Message* m, const char* type, size_t typeLength, const char* name,
                      size_t nameLength) {
    m->add("'").add(type, typeLength).add("' object has no attribute '").add(name, nameLength);
    m->add("'");
}

void printNoAttributeNoDict(Message* m, const char* type, size_t typeLength, const char* name,
                            size_t nameLength) {
    printNoAttribute(m, type, typeLength, name, nameLength);
    m->add(" and no __dict__ for setting new attributes");
}

void printFrozenField(Message* m, const char* field, size_t length) {
    m->add("cannot assign to field '").add(field, length).add("'");
}

void printFreeVariable(Message* m) {
    m->add("free variable referenced before assignment in enclosing scope");
}

void failNameNotDefined(Ctx* ctx, int32_t site, const char* name, size_t length) {
    Message m;
    m.add("name '").add(name, length).add("' is not defined");
    m.fail(ctx, site, Kind::NameError);
}

namespace {


constexpr gil::Location kGlobal{"helpers", "helpers", "wn_global", 6278, 18};
constexpr gil::Location kSetGlobal{"helpers", "helpers", "wn_set_global", 6300, 18};

const char* textOf(const value::Str* s) { return reinterpret_cast<const char*>(s->bytes()); }

// The record field of that name (byte for byte, whole), or -1.
int64_t fieldIndex(const value::RecordClass* cls, const value::Str* name) {
    for (uint64_t i = 0; cls && i < cls->fieldCount; i++) {
        const value::Text& field = cls->fields[i];
        if (field.length == name->length && memcmp(field.data, textOf(name), name->length) == 0)
            return int64_t(i);
    }
    return -1;
}

// A new Python str of the name (UTF-8 decoded with "replace"), or null with the exception.
PyObject* nameObject(const value::Str* name) {
    return PyUnicode_DecodeUTF8(textOf(name), Py_ssize_t(name->length), "replace");
}

// ---- Exception attributes ---------------------------------------------------------------------

// Which exceptions a row serves.
enum class Family : uint8_t { ParseTuple, OSFamily, UnicodeDecode, SystemExit, Every, Error, Throw };

// What a row gives.
enum class Pick : uint8_t {
    Arg,       // args[index] when there are at least `least` args, else None
    NoneValue,
    Carried,   // item index of the carried tuple
    Code,      // SystemExit.code
    Args,
    Message,
    Itself,
    Value,
    Cause,
};

struct ExcRow {
    Family family;
    const char* name;
    Pick pick;
    uint8_t index;
    uint8_t least;
};

constexpr ExcRow kExcRows[] = {
    {Family::ParseTuple, "line", Pick::Carried, 0, 0},
    {Family::ParseTuple, "column", Pick::Carried, 1, 0},
    {Family::ParseTuple, "offset", Pick::Carried, 2, 0},
    {Family::ParseTuple, "message", Pick::Carried, 3, 0},
    {Family::OSFamily, "errno", Pick::Arg, 0, 2},
    {Family::OSFamily, "strerror", Pick::Arg, 1, 2},
    {Family::OSFamily, "filename", Pick::Arg, 2, 3},
    {Family::OSFamily, "filename2", Pick::Arg, 4, 5},
    {Family::OSFamily, "winerror", Pick::NoneValue, 0, 0},
    {Family::UnicodeDecode, "encoding", Pick::Arg, 0, 5},
    {Family::UnicodeDecode, "object", Pick::Arg, 1, 5},
    {Family::UnicodeDecode, "start", Pick::Arg, 2, 5},
    {Family::UnicodeDecode, "end", Pick::Arg, 3, 5},
    {Family::UnicodeDecode, "reason", Pick::Arg, 4, 5},
    {Family::SystemExit, "code", Pick::Code, 0, 0},
    {Family::Every, "args", Pick::Args, 0, 0},
    {Family::Error, "message", Pick::Message, 0, 0},
    {Family::Error, "diagnostic", Pick::Itself, 0, 0},
    {Family::Throw, "message", Pick::Message, 0, 0},
    {Family::Throw, "value", Pick::Value, 0, 0},
    {Family::Every, "__cause__", Pick::Cause, 0, 0},
};

uint64_t argCount(const value::Exc* e) {
    return e->args.tag == value::TagTuple ? e->args.as<value::Tuple>()->count : 0;
}

Value argAt(const value::Exc* e, uint64_t i) { return e->args.as<value::Tuple>()->items()[i]; }

bool serves(Family family, const value::Exc* e) {
    Kind kind = Kind(e->kind);
    switch (family) {
    case Family::ParseTuple:
        return kind == Kind::ParseError && e->value.tag == value::TagTuple &&
               e->value.as<value::Tuple>()->count >= 4;
    case Family::OSFamily: return errors::valid(e->kind) && errors::isA(kind, Kind::OSError);
    case Family::UnicodeDecode: return kind == Kind::UnicodeDecodeError && argCount(e) == 5;
    case Family::SystemExit: return kind == Kind::SystemExit;
    case Family::Every: return true;
    case Family::Error: return kind == Kind::Error;
    case Family::Throw: return kind == Kind::Throw;
    }
    return false;
}

// The attribute of an exception value (one reference in *out), or false: not answered here.
bool excAttribute(Value v, const value::Str* name, Value* out) {
    auto* e = v.as<value::Exc>();
    for (const ExcRow& row : kExcRows) {
        if (strlen(row.name) != name->length || memcmp(row.name, textOf(name), name->length))
            continue;
        if (!serves(row.family, e)) continue;
        uint64_t n = argCount(e);
        switch (row.pick) {
        case Pick::Arg: *out = n >= row.least ? argAt(e, row.index) : Value::none(); break;
        case Pick::NoneValue: *out = Value::none(); break;
        case Pick::Carried: *out = e->value.as<value::Tuple>()->items()[row.index]; break;
        case Pick::Code: *out = n == 0 ? Value::none() : n == 1 ? argAt(e, 0) : e->args; break;
        case Pick::Args: *out = e->args; break;
        case Pick::Message: *out = e->message; break;
        case Pick::Itself: *out = v; break;
        case Pick::Value: *out = e->value; break;
        case Pick::Cause: *out = e->cause; break;
        }
        // An exception made without one of these words holds None there.
        if (out->tag == value::TagUnset) *out = Value::none();
        value::incref(*out);
        return true;
    }
    return false;
}

// ---- The Python path --------------------------------------------------------------------------

// The value as a new Python object, the lock claimed. Null with the failure recorded.
PyObject* handOver(Ctx* ctx, int32_t site, Value v) {
    PyObject* o = nullptr;
    if (!objects(ctx, site, &v, 1, &o)) bridge::failFromPython(ctx, site);
    return o;
}

// "getattr <type>.<name>" on the run's tally; a text too long for the tally is not counted.
void countGetattr(Ctx* ctx, Value v, const value::Str* name) {
    if (!bridge::reporting(ctx)) return;
    char type[kCrossingNameMax];
    bridge::TallyText text;
    text.add("getattr ");
    text.add(type, crossingTypeName(v, type));
    text.add(".");
    text.add(reinterpret_cast<const char*>(textOf(name)), name->length);
    bridge::countCrossing(ctx, text);
}

bool pythonGetattr(Ctx* ctx, int32_t site, Value v, const value::Str* name, Value* out) {
    countGetattr(ctx, v, name);
    PyObject* o = handOver(ctx, site, v);
    if (!o) return false;
    PyObject* key = nameObject(name);
    PyObject* result = key ? PyObject_GetAttr(o, key) : nullptr;
    Py_XDECREF(key);
    Py_DECREF(o);
    return pythonResult(ctx, site, result, out);
}

bool recordGetattr(Ctx* ctx, int32_t site, Value v, const value::Str* name, Value* out,
                   bool* answered) {
    auto* r = v.as<value::Record>();
    int64_t i = fieldIndex(r->cls, name);
    *answered = i >= 0;
    if (i < 0) return false;
    Value field = r->fields()[i];
    if (field.tag == value::TagUnset) {
        Message m;
        const value::Text& cls = r->cls->fullName;
        printNoAttribute(&m, cls.data, cls.length, textOf(name), name->length);
        m.fail(ctx, site, Kind::AttributeError);
        return false;
    }
    value::incref(field);
    *out = field;
    return true;
}

// ---- Stores -----------------------------------------------------------------------------------

bool pythonSetattr(Ctx* ctx, int32_t site, Value x, const value::Str* name, Value v) {
    PyObject* object = x.as<PyObject>();
    PyObject* given = handOver(ctx, site, v);
    if (!given) return false;
    PyObject* key = nameObject(name);
    bool done = key && PyObject_SetAttr(object, key, given) == 0;
    Py_XDECREF(key);
    Py_DECREF(given);
    if (!done) bridge::failFromPython(ctx, site);
    return done;
}

void failNoSetattr(Ctx* ctx, int32_t site, Value x, const value::Str* name) {
    std::string_view type = value::typeName(x);
    Message m;
    // Python 3.13 added the second half for objects without a __dict__.
    if (python_minor >= 13)
        printNoAttributeNoDict(&m, type.data(), type.size(), textOf(name), name->length);
    else
        printNoAttribute(&m, type.data(), type.size(), textOf(name), name->length);
    m.fail(ctx, site, Kind::AttributeError);
}

// ---- Globals ----------------------------------------------------------------------------------

// The module's globals dict at index, borrowed; null with the Python exception.
PyObject* globalsAt(Ctx* ctx, int64_t index) {
    PyObject* g = moduleObject(ctx, index);
    if (g && PyDict_Check(g)) return g;
    PyErr_SetString(PyExc_SystemError, "wuna: the module's globals are not a dict (a wuna bug)");
    return nullptr;
}

}  // namespace

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;
namespace value = wuna::value;
namespace helpers = wuna::helpers;
namespace bridge = wuna::bridge;

bool wn_getattr(void* c, int32_t site, int64_t tag, int64_t payload, void* nameBlock, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* name = static_cast<value::Str*>(nameBlock);
    auto* result = static_cast<Value*>(out);
    Value v{uint64_t(tag), uint64_t(payload)};
    Value got;
    switch (v.tag) {
    case value::TagRecord: {
        bool answered = false;
        bool ok = helpers::recordGetattr(ctx, site, v, name, &got, &answered);
        if (answered) {
            if (ok) *result = got;
            return ok;
        }
        break;
    }
    case value::TagNodeIndex:
    case value::TagNode: {
        wuna::nodes::NodeRef ref;
        if (!wuna::nodes::nodeRefOf(ctx, site, v, &ref)) break;
        wuna::nodes::Answer answer = wuna::nodes::attrIn(ctx, ref, name, &got);
        if (!answer.handled) break;
        if (answer.ok) *result = got;
        return answer.ok;
    }
    case value::TagExc:
        if (helpers::excAttribute(v, name, &got)) {
            *result = got;
            return true;
        }
        break;
    default: break;
    }
    if (!helpers::pythonGetattr(ctx, site, v, name, &got)) return false;
    *result = got;
    return true;
}

bool wn_setattr(void* c, int32_t site, int64_t tag, int64_t payload, void* nameBlock,
                int64_t valueTag, int64_t valuePayload) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* name = static_cast<value::Str*>(nameBlock);
    Value x{uint64_t(tag), uint64_t(payload)};
    Value v{uint64_t(valueTag), uint64_t(valuePayload)};
    if (x.tag == value::TagPy) return helpers::pythonSetattr(ctx, site, x, name, v);
    if (x.tag == value::TagRecord) {
        auto* r = x.as<value::Record>();
        int64_t i = helpers::fieldIndex(r->cls, name);
        if (i >= 0 && r->cls->frozen) {
            helpers::Message m;
            const value::Text& field = r->cls->fields[i];
            helpers::printFrozenField(&m, field.data, field.length);
            m.fail(ctx, site, wuna::errors::Kind::FrozenInstanceError);
            return false;
        }
        if (i >= 0) {
            // The new reference first: storing the value the field already holds keeps it.
            value::incref(v);
            Value old = r->fields()[i];
            r->fields()[i] = v;
            value::decref(old);
            return true;
        }
    }
    helpers::failNoSetattr(ctx, site, x, name);
    return false;
}

bool wn_cell(void* c, int32_t site, int64_t, int64_t function, int64_t index, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    auto* f = reinterpret_cast<PyObject*>(uintptr_t(function));
    // Not a crossing of the program: the depth keeps it out of the first-crossing record.
    wuna::gil::Record* r = wuna::gil::enter();
    PyObject* closure = PyObject_GetAttrString(f, "__closure__");
    PyObject* cell = closure ? PyTuple_GetItem(closure, Py_ssize_t(index)) : nullptr;
    PyObject* contents = cell ? PyObject_GetAttrString(cell, "cell_contents") : nullptr;
    bool ok = false;
    if (cell && !contents) {
        PyErr_Clear();
        helpers::Message m;
        helpers::printFreeVariable(&m);
        m.fail(ctx, site, wuna::errors::Kind::NameError);
    } else {
        Value got;
        ok = contents && wuna::convert::convert(contents, false, &got) == 0;
        if (ok)
            *result = got;
        else
            bridge::failFromPython(ctx, site);
    }
    Py_XDECREF(contents);
    Py_XDECREF(closure);
    wuna::gil::leave(r);
    return ok;
}

bool wn_global(void* c, int32_t site, int64_t index, void* nameBlock, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* name = static_cast<value::Str*>(nameBlock);
    auto* result = static_cast<Value*>(out);
    value::claimLock(&helpers::kGlobal);
    PyObject* g = helpers::globalsAt(ctx, index);
    PyObject* key = g ? helpers::nameObject(name) : nullptr;
    PyObject* found = key ? PyDict_GetItemWithError(g, key) : nullptr;
    if (key && !found && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins)
            found = PyDict_GetItemWithError(builtins, key);
        else
            PyErr_SetString(PyExc_SystemError, "wuna: no builtins (a wuna bug)");
    }
    Py_XINCREF(found);
    Py_XDECREF(key);
    bool missing = key && !found && !PyErr_Occurred();
    Value got;
    bool ok = found && wuna::convert::convert(found, false, &got) == 0;
    Py_XDECREF(found);
    if (missing)
        helpers::failNameNotDefined(ctx, site, helpers::textOf(name), name->length);
    else if (!ok)
        bridge::failFromPython(ctx, site);
    if (ok) *result = got;
    return ok;
}

bool wn_set_global(void* c, int32_t site, int64_t index, void* nameBlock, int64_t tag,
                   int64_t payload) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* name = static_cast<value::Str*>(nameBlock);
    value::claimLock(&helpers::kSetGlobal);
    PyObject* g = helpers::globalsAt(ctx, index);
    PyObject* object = g ? wuna::convert::toPython(Value{uint64_t(tag), uint64_t(payload)},
                                                   &ctx->conversion)
                         : nullptr;
    PyObject* key = object ? helpers::nameObject(name) : nullptr;
    bool ok = key && PyDict_SetItem(g, key, object) == 0;
    Py_XDECREF(key);
    Py_XDECREF(object);
    if (!ok) bridge::failFromPython(ctx, site);
    return ok;
}
