// One-argument builtins and type questions for compiled code (see builtins.h).
#include "wuna/runtime/helpers/builtins.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/exceptions.h"
#include "wuna/runtime/helpers/numtext.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/proxies.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::Value;

namespace {

constexpr gil::Location kBuiltinPython{"helpers", "runtime/src/helpers/builtins.cpp",
                                       "wn_builtin", 0, 0};
constexpr gil::Location kLenPython{"helpers", "runtime/src/helpers/builtins.cpp", "len", 0, 0};
constexpr gil::Location kTypePython{"helpers", "runtime/src/helpers/builtins.cpp", "wn_type", 0, 0};

// Floats whose magnitude is below this convert to a 64-bit int natively; past it the int is
// Python's to make (a big int, or its OverflowError for an infinity).
inline constexpr double kNativeIntFloat = 9.2e18;

// What a native answer came to: a result in *out, a recorded failure, or the Python builtin.
enum class Answer : uint8_t { done, failed, python };

// The tag a builtin reads: a plain int counts as a checked one.
uint64_t kindOf(Value v) { return v.tag == value::TagPint ? value::TagInt : v.tag; }

bool smallInt(uint64_t tag) { return tag == value::TagBool || tag == value::TagInt; }

Answer same(Value v, Value* out) {
    value::incref(v);
    *out = v;
    return Answer::done;
}

Answer made(Ctx* ctx, int32_t site, value::Str* s, Value* out) {
    if (!s) {
        failOutOfMemory(ctx, site);
        return Answer::failed;
    }
    *out = Value::of(value::TagStr, s);
    return Answer::done;
}

Answer newText(Ctx* ctx, int32_t site, const void* text, size_t length, Value* out) {
    return made(ctx, site, value::newStr(text, length), out);
}

// A written text as a new str; the buffer is freed either way.
Answer fromBuffer(Ctx* ctx, int32_t site, ByteList* buffer, Value* out) {
    Answer a = newText(ctx, site, buffer->data ? buffer->data : reinterpret_cast<const uint8_t*>(""),
                       size_t(buffer->length), out);
    std::free(buffer->data);
    *buffer = {};
    return a;
}

// ---- int, float, math.floor, math.ceil --------------------------------------------------------

Answer intOf(Ctx* ctx, int32_t site, PyObject* fn, Value v, Value* out) {
    switch (kindOf(v)) {
    case value::TagBool:
    case value::TagInt: *out = Value::pint(int64_t(v.payload)); return Answer::done;
    case value::TagFloat: {
        double d = value::asDouble(v.payload);
        if (!(std::fabs(d) < kNativeIntFloat)) return Answer::python;  // NaN included
        *out = Value::pint(int64_t(d));
        return Answer::done;
    }
    case value::TagStr:
        return intOfStr(ctx, site, fn, v.as<value::Str>(), out) ? Answer::done : Answer::failed;
    case value::TagBig: return same(v, out);
    default: return Answer::python;
    }
}

Answer floatOf(Ctx* ctx, int32_t site, PyObject* fn, Value v, Value* out) {
    switch (kindOf(v)) {
    case value::TagBool:
    case value::TagInt: *out = Value::real(double(int64_t(v.payload))); return Answer::done;
    case value::TagFloat: *out = v; return Answer::done;
    case value::TagStr:
        return floatOfStr(ctx, site, fn, v.as<value::Str>(), out) ? Answer::done : Answer::failed;
    // Rounded to nearest, ties to even, as Python's int to float.
    case value::TagBig: *out = Value::real(double(v.as<value::Big>()->get())); return Answer::done;
    default: return Answer::python;
    }
}

Answer rounded(Value v, Value* out, double (*round)(double)) {
    switch (kindOf(v)) {
    case value::TagBool:
    case value::TagInt: *out = Value::pint(int64_t(v.payload)); return Answer::done;
    case value::TagFloat: {
        double d = round(value::asDouble(v.payload));
        if (!(std::fabs(d) < kNativeIntFloat)) return Answer::python;
        *out = Value::pint(int64_t(d));
        return Answer::done;
    }
    case value::TagBig: return same(v, out);
    default: return Answer::python;
    }
}

Answer floorOf(Ctx*, int32_t, PyObject*, Value v, Value* out) { return rounded(v, out, std::floor); }
Answer ceilOf(Ctx*, int32_t, PyObject*, Value v, Value* out) { return rounded(v, out, std::ceil); }

// ---- len, abs, bool ------------------------------------------------------------------------------

// len() of a Python object whose type is exactly list, tuple or dict, from the C API.
Answer pythonLen(Value v, Value* out) {
    value::claimLock(&kLenPython);
    auto* o = v.as<PyObject>();
    Py_ssize_t n = PyList_CheckExact(o)    ? PyList_GET_SIZE(o)
                   : PyTuple_CheckExact(o) ? PyTuple_GET_SIZE(o)
                   : PyDict_CheckExact(o)  ? PyDict_GET_SIZE(o)
                                           : -1;
    if (n < 0) return Answer::python;
    *out = Value::pint(int64_t(n));
    return Answer::done;
}

Answer lenOf(Ctx*, int32_t, PyObject*, Value v, Value* out) {
    uint64_t n = 0;
    switch (kindOf(v)) {
    case value::TagStr: n = v.as<value::Str>()->chars; break;
    case value::TagList: n = v.as<value::List>()->count; break;
    case value::TagTuple: n = v.as<value::Tuple>()->count; break;
    case value::TagDict: n = v.as<value::Dict>()->length; break;
    case value::TagSet: n = v.as<value::Set>()->used; break;
    case value::TagBytes: n = v.as<value::Bytes>()->length; break;
    case value::TagPy: return pythonLen(v, out);
    default: return Answer::python;
    }
    *out = Value::pint(int64_t(n));
    return Answer::done;
}

Answer absOf(Ctx* ctx, int32_t site, PyObject*, Value v, Value* out) {
    auto x = int64_t(v.payload);
    switch (v.tag) {
    case value::TagInt:
        // The checked int keeps its kind, so its one magnitude without a 64-bit form overflows.
        if (x == INT64_MIN) {
            failOverflow(ctx, site);
            return Answer::failed;
        }
        *out = Value::integer(x < 0 ? -x : x);
        return Answer::done;
    case value::TagBool:
    case value::TagPint: {
        value::i128 wide = x;
        if (value::intValue(wide < 0 ? -wide : wide, out)) return Answer::done;
        failOutOfMemory(ctx, site);
        return Answer::failed;
    }
    case value::TagFloat: {
        uint64_t bits = v.payload & ~(uint64_t(1) << 63);
        *out = Value{value::TagFloat, bits};
        return Answer::done;
    }
    case value::TagBig: {
        value::i128 b = v.as<value::Big>()->get();
        // -2^127 has no 128-bit magnitude: Python makes it.
        if (b == value::i128((unsigned __int128)1 << 127)) return Answer::python;
        if (value::intValue(b < 0 ? -b : b, out)) return Answer::done;
        failOutOfMemory(ctx, site);
        return Answer::failed;
    }
    default: return Answer::python;
    }
}

Answer boolOf(Ctx*, int32_t, PyObject*, Value v, Value* out) {
    switch (kindOf(v)) {
    case value::TagNone:
    case value::TagBool:
    case value::TagInt:
    case value::TagFloat:
    case value::TagStr:
    case value::TagList:
    case value::TagTuple:
    case value::TagDict:
    case value::TagSet: *out = Value::boolean(value::truthy(v)); return Answer::done;
    case value::TagBig: *out = Value::boolean(true); return Answer::done;
    default: return Answer::python;
    }
}

// ---- str, repr, os.fspath ------------------------------------------------------------------------

// str() and repr() of the scalars and big ints, which read alike; python for the rest.
Answer plain(Ctx* ctx, int32_t site, Value v, Value* out) {
    value::Str* s = nullptr;
    if (!plainText(v, &s)) return Answer::python;
    return made(ctx, site, s, out);
}

Answer strOf(Ctx* ctx, int32_t site, PyObject*, Value v, Value* out) {
    switch (kindOf(v)) {
    case value::TagStr: return same(v, out);
    case value::TagExc: {
        auto* e = v.as<value::Exc>();
        // An Error's text is the runtime error's, which only Python renders.
        if (errors::Kind(e->kind) == errors::Kind::Error) return Answer::python;
        ByteList buffer{};
        if (!excStr(ctx, e, &buffer)) {
            std::free(buffer.data);
            return Answer::python;
        }
        return fromBuffer(ctx, site, &buffer, out);
    }
    default: return plain(ctx, site, v, out);
    }
}

Answer reprOf(Ctx* ctx, int32_t site, PyObject*, Value v, Value* out) {
    ByteList buffer{};
    Status written;
    switch (kindOf(v)) {
    case value::TagStr: {
        auto* s = v.as<value::Str>();
        written = strRepr(s->bytes(), size_t(s->length), &buffer);
        break;
    }
    case value::TagList:
    case value::TagTuple:
    case value::TagDict:
    case value::TagSet: {
        OpenList open{};
        written = nativeStr(v.tag, v.payload, &buffer, TextRepr, &open);
        freeOpen(&open);
        break;
    }
    default: return plain(ctx, site, v, out);
    }
    if (written == Status::ok) return fromBuffer(ctx, site, &buffer, out);
    std::free(buffer.data);
    if (written == Status::outOfMemory) {
        failOutOfMemory(ctx, site);
        return Answer::failed;
    }
    return Answer::python;
}

Answer fspathOf(Ctx*, int32_t, PyObject*, Value v, Value* out) {
    return v.tag == value::TagStr ? same(v, out) : Answer::python;
}

// ---- list, chr, ord, id --------------------------------------------------------------------------

// A new list of the items of a list, each with one more reference.
Answer listCopy(Ctx* ctx, int32_t site, value::List* from, Value* out) {
    value::List* l = value::newList(from->count);
    bool done = l != nullptr;
    for (uint64_t i = 0; done && i < from->count; i++) {
        value::incref(from->items[i]);
        done = value::listAppend(l, from->items[i]);
        if (!done) value::decref(from->items[i]);
    }
    if (!done) {
        if (l) value::decref(Value::of(value::TagList, l));
        failOutOfMemory(ctx, site);
        return Answer::failed;
    }
    *out = Value::of(value::TagList, l);
    return Answer::done;
}

Answer listOf(Ctx* ctx, int32_t site, PyObject*, Value v, Value* out) {
    switch (kindOf(v)) {
    case value::TagList: return listCopy(ctx, site, v.as<value::List>(), out);
    case value::TagStr:
    case value::TagTuple:
    case value::TagDict:
    case value::TagSet:
        return wn_items(ctx, site, int64_t(v.tag), int64_t(v.payload), out) ? Answer::done
                                                                             : Answer::failed;
    default: return Answer::python;
    }
}

Answer chrOf(Ctx* ctx, int32_t site, PyObject*, Value v, Value* out) {
    if (!smallInt(kindOf(v))) return Answer::python;
    auto cp = int64_t(v.payload);
    // Python raises for the rest, and makes the lone surrogates, which have no UTF-8 form.
    if (cp < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return Answer::python;
    uint8_t bytes[4];
    size_t n = unicode::encode(uint32_t(cp), bytes);
    return newText(ctx, site, bytes, n, out);
}

Answer ordOf(Ctx*, int32_t, PyObject*, Value v, Value* out) {
    if (v.tag != value::TagStr) return Answer::python;
    auto* s = v.as<value::Str>();
    if (s->chars != 1 || s->length == 0) return Answer::python;
    size_t used = 0;
    uint32_t cp = unicode::decode(s->bytes(), size_t(s->length), &used);
    // Ill-formed bytes read as U+FFFD only through Python's form of the text.
    if (used != s->length || (cp == unicode::kReplacement && used != 3)) return Answer::python;
    *out = Value::pint(int64_t(cp));
    return Answer::done;
}

Answer idOf(Ctx*, int32_t, PyObject*, Value v, Value* out) {
    uint64_t id;
    switch (kindOf(v)) {
    case value::TagNone: id = uint64_t(uintptr_t(Py_None)); break;
    case value::TagBool: id = uint64_t(uintptr_t(v.payload ? Py_True : Py_False)); break;
    case value::TagInt:
    case value::TagFloat:
    case value::TagNodeIndex: {
        // A value without a block has no address: a fixed mix of tag and payload stands for
        // one, odd so that it is never a real (aligned) object's.
        uint64_t mixed = ((kindOf(v) * 0xd6e8feb86659fd93ull) ^ v.payload) * 0x9e3779b97f4a7c15ull;
        id = (mixed >> 1) | 1;
        break;
    }
    case value::TagPy: id = v.payload; break;
    default:
        if (!value::counted(v.tag)) return Answer::python;
        id = v.payload;
        break;
    }
    *out = Value::pint(int64_t(id));
    return Answer::done;
}

using Native = Answer (*)(Ctx* ctx, int32_t site, PyObject* fn, Value v, Value* out);

// The native path of each builtin, in BuiltinCode order.
constexpr Native kNative[] = {intOf, floatOf, lenOf, absOf,  strOf,  boolOf,   listOf,
                              floorOf, ceilOf, chrOf, ordOf, idOf, fspathOf, reprOf};
static_assert(sizeof kNative / sizeof kNative[0] == size_t(BuiltinCode::count));

// ---- Type questions ------------------------------------------------------------------------------

// The builtin class of each TypeCode, for Python objects; null where no Python object is one.
PyTypeObject* classOf(TypeCode code) {
    switch (code) {
    case TypeCode::int_: return &PyLong_Type;
    case TypeCode::float_: return &PyFloat_Type;
    case TypeCode::str: return &PyUnicode_Type;
    case TypeCode::bool_: return &PyBool_Type;
    case TypeCode::list: return &PyList_Type;
    case TypeCode::tuple: return &PyTuple_Type;
    case TypeCode::dict: return &PyDict_Type;
    case TypeCode::bytes: return &PyBytes_Type;
    case TypeCode::bytearray: return &PyByteArray_Type;
    case TypeCode::complex: return &PyComplex_Type;
    case TypeCode::set: return &PySet_Type;
    case TypeCode::frozenset: return &PyFrozenSet_Type;
    default: return nullptr;
    }
}

// The tag whose values are of a TypeCode's class (ints and bytes are told apart elsewhere).
bool nativeIsType(Value v, TypeCode code) {
    uint64_t tag = kindOf(v);
    switch (code) {
    case TypeCode::int_: return tag == value::TagBool || tag == value::TagInt || tag == value::TagBig;
    case TypeCode::float_: return tag == value::TagFloat;
    case TypeCode::str: return tag == value::TagStr;
    case TypeCode::bool_: return tag == value::TagBool;
    case TypeCode::list: return tag == value::TagList;
    case TypeCode::tuple: return tag == value::TagTuple;
    case TypeCode::dict: return tag == value::TagDict;
    case TypeCode::none: return tag == value::TagNone;
    case TypeCode::function: return tag == value::TagFunction;
    case TypeCode::bytes:
        return tag == value::TagBytes && (v.as<value::Bytes>()->h.flags & value::FlagImmutable);
    case TypeCode::set: return tag == value::TagSet;
    default: return false;
    }
}

PyTypeObject* orNone(PyTypeObject* t) { return t ? t : Py_TYPE(Py_None); }

// type() of a value, borrowed; the lock is held.
PyObject* typeOf(Value v) {
    const runtime::HostApi& host = runtime::hostApi;
    PyTypeObject* t;
    uint64_t tag = (v.tag & 0xffffffffull) == value::TagRuntime ? value::TagRuntime : v.tag;
    switch (tag) {
    case value::TagBool: t = &PyBool_Type; break;
    case value::TagInt: t = host.i64Type ? host.i64Type : &PyLong_Type; break;
    case value::TagPint:
    case value::TagBig: t = &PyLong_Type; break;
    case value::TagFloat: t = &PyFloat_Type; break;
    case value::TagStr: t = &PyUnicode_Type; break;
    case value::TagList: t = &PyList_Type; break;
    case value::TagTuple: t = &PyTuple_Type; break;
    case value::TagDict: t = &PyDict_Type; break;
    case value::TagSet: t = &PySet_Type; break;
    case value::TagRecord: {
        PyObject* cls = v.as<value::Record>()->cls->pyClass;
        if (cls) return cls;
        t = orNone(proxies::types.record);
        break;
    }
    case value::TagFunction: t = orNone(host.functionType); break;
    case value::TagPy: t = Py_TYPE(v.as<PyObject>()); break;
    case value::TagNodeIndex:
    case value::TagNode: t = orNone(host.nodeType); break;
    case value::TagRuntime: t = orNone(host.compiledRuntimeType); break;
    case value::TagBytes:
        t = (v.as<value::Bytes>()->h.flags & value::FlagImmutable) ? &PyBytes_Type
                                                                    : orNone(proxies::types.bytes);
        break;
    case value::TagClosure: t = &PyFunction_Type; break;
    case value::TagExc: {
        PyObject* cls = errors::pyClass(errors::Kind(v.as<value::Exc>()->kind));
        if (cls) return cls;
        t = Py_TYPE(Py_None);
        break;
    }
    default: t = Py_TYPE(Py_None); break;
    }
    return reinterpret_cast<PyObject*>(t);
}

}  // namespace

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;
namespace helpers = wuna::helpers;
namespace value = wuna::value;

extern "C" {

bool wn_builtin(void* c, int32_t site, int32_t code, int64_t callable, int64_t tag, int64_t payload,
                void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    auto* fn = reinterpret_cast<PyObject*>(uintptr_t(callable));
    Value v{uint64_t(tag), uint64_t(payload)};
    if (code >= 0 && code < int32_t(helpers::BuiltinCode::count)) {
        switch (helpers::kNative[code](ctx, site, fn, v, result)) {
        case helpers::Answer::done: return true;
        case helpers::Answer::failed: return false;
        case helpers::Answer::python: break;
        }
    }
    return helpers::callPython(ctx, site, &helpers::kBuiltinPython, fn, &v, 1, result);
}

bool wn_is_type(int64_t tag, int64_t payload, int32_t code) {
    Value v{uint64_t(tag), uint64_t(payload)};
    auto typeCode = helpers::TypeCode(code);
    if (v.tag != value::TagPy) return helpers::nativeIsType(v, typeCode);
    PyTypeObject* type = Py_TYPE(v.as<PyObject>());
    if (typeCode == helpers::TypeCode::function)
        return wuna::runtime::hostApi.functionType && type == wuna::runtime::hostApi.functionType;
    PyTypeObject* cls = helpers::classOf(typeCode);
    // The subtype test reads the type's MRO, which a class never changes once it is made.
    return cls && (type == cls || PyType_IsSubtype(type, cls));
}

void wn_type(int64_t tag, int64_t payload, void* out) {
    value::claimLock(&helpers::kTypePython);
    PyObject* type = helpers::typeOf(Value{uint64_t(tag), uint64_t(payload)});
    Py_INCREF(type);
    *static_cast<Value*>(out) = Value::of(value::TagPy, type);
}

bool wn_type_name(void* c, int32_t site, int64_t tag, int64_t payload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    Value v{uint64_t(tag), uint64_t(payload)};
    uint64_t low = v.tag & 0xffffffffull;
    if (v.tag == value::TagInt || v.tag == value::TagPint)
        return helpers::newText(ctx, site, "int", 3, result) == helpers::Answer::done;
    if (low < value::TagRecord || low > value::TagRuntime) {
        std::string_view name = value::typeName(v);
        return helpers::newText(ctx, site, name.data(), name.size(), result) ==
               helpers::Answer::done;
    }
    // Records, functions, Python objects, nodes and rt: the name the type object gives.
    Value type{};
    wn_type(tag, payload, &type);
    PyObject* name = PyObject_GetAttrString(type.as<PyObject>(), "__name__");
    Py_DECREF(type.as<PyObject>());
    return helpers::pythonResult(ctx, site, name, result);
}

}  // extern "C"
