// Helper specialisation keys and names (see spec.h).
#include "compiler/backend/spec.h"

#include <cstring>

#include "compiler/backend/compile_error.h"
#include "host/support/check.h"
#include "wuna/runtime/wyhash.h"

namespace wuna::compile {

using backend::Text;

namespace {

// The depth of shapes the name hash looks into.
constexpr uint32_t kNameDepth = 4;

void feed(SpecHash& state, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length && !state.failed; i++)
        if (!state.bytes.push(bytes[i])) state.failed = true;
}

void feedByte(SpecHash& state, uint8_t byte) { feed(state, &byte, 1); }

void feedU64(SpecHash& state, uint64_t n) {
    uint8_t le[8];
    for (int i = 0; i < 8; i++) le[i] = uint8_t(n >> (8 * i));
    feed(state, le, 8);
}

void feedU32(SpecHash& state, uint32_t n) {
    uint8_t le[4];
    for (int i = 0; i < 4; i++) le[i] = uint8_t(n >> (8 * i));
    feed(state, le, 4);
}

// A text with its length first, so that consecutive texts can't run into each other.
void feedText(SpecHash& state, const char* data, size_t length) {
    feedU64(state, length);
    feed(state, data, length);
}

// A str object's UTF-8, or nothing for anything else (a failure to encode is cleared: the
// hash only loses detail, and collisions are numbered).
void feedStr(SpecHash& state, PyObject* text) {
    Py_ssize_t length = 0;
    const char* utf8 = text && PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &length)
                                                    : nullptr;
    if (!utf8) {
        PyErr_Clear();
        feedU64(state, ~uint64_t(0));
        return;
    }
    feedText(state, utf8, size_t(length));
}

// What identifies a Python object across processes, read without running Python code: its
// type's name, then for an int its value's hash, for bytes their contents, for a function its file,
// qualified name and first line, for a class its module and qualified name, for a module its
// name. Other objects stand for their type alone.
void feedObject(SpecHash& state, PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    feedText(state, type->tp_name, strlen(type->tp_name));
    if (PyLong_CheckExact(object)) {
        // Big ints are the common case. An int's hash is its value modulo 2**61 - 1, the same
        // in every process (unlike the hashes of strs), and never fails for an exact int.
        feedU64(state, uint64_t(PyObject_Hash(object)));
    } else if (PyBytes_CheckExact(object)) {
        feedText(state, PyBytes_AS_STRING(object), size_t(PyBytes_GET_SIZE(object)));
    } else if (PyFunction_Check(object)) {
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(object));
        feedStr(state, code->co_filename);
        feedStr(state, reinterpret_cast<PyFunctionObject*>(object)->func_qualname);
        feedU32(state, uint32_t(code->co_firstlineno));
    } else if (PyType_Check(object)) {
        auto* cls = reinterpret_cast<PyTypeObject*>(object);
        PyObject* module = cls->tp_dict ? PyDict_GetItemString(cls->tp_dict, "__module__")
                                        : nullptr;
        feedStr(state, module);
        feedText(state, cls->tp_name, strlen(cls->tp_name));
    } else if (PyModule_Check(object)) {
        PyObject* name = PyModule_GetNameObject(object);
        feedStr(state, name);
        Py_XDECREF(name);
    }
}

void feedShapes(SpecHash& state, const Shape* items, uint64_t count, uint32_t depth) {
    if (depth == 0) return;
    for (uint64_t i = 0; i < count; i++) specHash(state, items[i], depth - 1);
}

Status appendHex(backend::List<char>* out, uint64_t n) {
    char digits[16];
    int at = 16;
    do {
        digits[--at] = "0123456789abcdef"[n & 15];
        n >>= 4;
    } while (n);
    for (int i = at; i < 16; i++)
        if (!out->push(digits[i])) return Status::outOfMemory;
    return Status::ok;
}

// The hash of an ahead-of-time name: the function's identity texts, the argument shapes, the
// flag bytes and the two form bytes.
uint64_t nameHash(const HelperSpec& spec, bool plain, bool* failed) {
    SpecHash state;
    const front::FunctionIR* f = spec.function;
    feed(state, f->fileName.data, f->fileName.length);
    feedByte(state, 0);
    feed(state, f->qualname.data, f->qualname.length);
    feedByte(state, 0);
    feed(state, f->name.data, f->name.length);
    feedByte(state, 0);
    feedU32(state, f->firstLine);
    for (uint64_t i = 0; i < spec.argumentCount; i++)
        specHash(state, spec.shapes[i], kNameDepth);
    feed(state, spec.argumentFlags, size_t(spec.flagCount));
    feedByte(state, spec.entryForm && !plain);
    feedByte(state, spec.receiver);
    *failed = state.failed;
    return finishHash(state);
}

// "<prefix>_<letter><hex>" and "_<k>" for k >= 1.
Status candidateName(backend::List<char>* out, Text prefix, char letter, uint64_t hash,
                     uint64_t k) {
    out->clear();
    if (appendText(out, prefix.data, prefix.length) != Status::ok || !out->push('_') ||
        !out->push(letter) || appendHex(out, hash) != Status::ok)
        return Status::outOfMemory;
    if (k && (!out->push('_') || appendDecimal(out, k) != Status::ok)) return Status::outOfMemory;
    return Status::ok;
}

// Gives the spec the name in out (moved into an owned NUL-terminated text).
Status takeName(HelperSpec* spec, backend::List<char>* out) {
    if (!out->push(0)) return Status::outOfMemory;
    spec->symbol = out->items;
    spec->symbolLength = out->count - 1;
    *out = backend::List<char>{};
    return Status::ok;
}

}  // namespace

bool sameSpec(const Shape& a, const Shape& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case ShapeKind::none:
    case ShapeKind::rt:
    case ShapeKind::dyn:
        return true;
    case ShapeKind::bool_:
        return a.bool_ == b.bool_;
    case ShapeKind::int_:
    case ShapeKind::pint:
        return a.int_ == b.int_;
    case ShapeKind::float_:
        // By the bits: 0.0 and -0.0 differ, a NaN equals the same NaN.
        return memcmp(&a.float_, &b.float_, sizeof(double)) == 0;
    case ShapeKind::str:
        return a.str.length == b.str.length &&
               (a.str.length == 0 || memcmp(a.str.data, b.str.data, a.str.length) == 0);
    case ShapeKind::node:
        return a.node == b.node;
    case ShapeKind::list:
        if (a.list->length != b.list->length) return false;
        for (uint64_t i = 0; i < a.list->length; i++)
            if (!sameSpec(a.list->items[i], b.list->items[i])) return false;
        return true;
    case ShapeKind::tuple:
        if (a.tuple.count != b.tuple.count) return false;
        for (uint64_t i = 0; i < a.tuple.count; i++)
            if (!sameSpec(a.tuple.items[i], b.tuple.items[i])) return false;
        return true;
    case ShapeKind::py:
        return a.py == b.py;
    case ShapeKind::dict:
    case ShapeKind::rtMethod:
    case ShapeKind::control:
    case ShapeKind::method:
        return false;
    }
    return false;
}

bool isPlain(const HelperSpec& spec) {
    return spec.entryForm && !spec.receiver && !spec.function->hasVarargs &&
           spec.argumentCount == spec.function->paramCount && spec.flagCount == 0;
}

bool isPlainKey(const Shape& shape) {
    switch (shape.kind) {
    case ShapeKind::int_:
    case ShapeKind::pint:
    case ShapeKind::float_:
    case ShapeKind::str:
    case ShapeKind::node:
        return true;
    case ShapeKind::tuple:
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (!isPlainKey(shape.tuple.items[i])) return false;
        return true;
    default:
        return false;
    }
}

void specHash(SpecHash& state, const Shape& shape, uint32_t depth) {
    feedByte(state, uint8_t(shape.kind));
    switch (shape.kind) {
    case ShapeKind::bool_:
        feedByte(state, shape.bool_);
        return;
    case ShapeKind::int_:
    case ShapeKind::pint:
        feedU64(state, uint64_t(shape.int_));
        return;
    case ShapeKind::float_: {
        uint64_t bits;
        memcpy(&bits, &shape.float_, 8);
        feedU64(state, bits);
        return;
    }
    case ShapeKind::str:
        feedU64(state, shape.str.length);
        feed(state, shape.str.data, size_t(shape.str.length));
        return;
    case ShapeKind::node:
        feedU32(state, shape.node);
        return;
    case ShapeKind::list:
        feedU64(state, shape.list->length);
        feedShapes(state, shape.list->items, shape.list->length, depth);
        return;
    case ShapeKind::tuple:
        feedShapes(state, shape.tuple.items, shape.tuple.count, depth);
        return;
    case ShapeKind::dict:
        feedU64(state, shape.dict->keyLength);
        feedShapes(state, shape.dict->keys, shape.dict->keyLength, depth);
        feedShapes(state, shape.dict->values, shape.dict->valueLength, depth);
        return;
    case ShapeKind::rtMethod:
        feedByte(state, shape.rtMethod & 0x3F);
        return;
    case ShapeKind::py:
        feedObject(state, shape.py);
        return;
    case ShapeKind::none:
    case ShapeKind::rt:
    case ShapeKind::control:
    case ShapeKind::method:
    case ShapeKind::dyn:
        return;
    }
}

uint64_t finishHash(SpecHash& state) {
    uint64_t h = wyhash::hash(state.bytes.items, state.bytes.count, 0);
    state.bytes.free();
    return h;
}

Status helperName(Compiler* c, SpecLetter letter, HelperSpec* spec) {
    Text prefix = c->module.prefix;
    backend::List<char> name;
    if (!c->keyOrigins) {
        // Loaded in this process only: the number in the helper list is unique here.
        if (appendText(&name, prefix.data, prefix.length) != Status::ok || !name.push('_') ||
            !name.push(char(letter)) || appendDecimal(&name, c->helpers.count) != Status::ok ||
            takeName(spec, &name) != Status::ok) {
            name.free();
            return Status::outOfMemory;
        }
        return Status::ok;
    }
    bool plain = isPlain(*spec);
    bool failed = false;
    uint64_t hash = nameHash(*spec, plain, &failed);
    if (failed) return Status::outOfMemory;
    char shown = plain ? char(SpecLetter::helperSite) : char(letter);
    for (uint64_t k = 0;; k++) {
        if (candidateName(&name, prefix, shown, hash, k) != Status::ok) {
            name.free();
            return Status::outOfMemory;
        }
        if (c->helperNames.find(Text{name.items, name.count})) continue;
        if (takeName(spec, &name) != Status::ok) {
            name.free();
            return Status::outOfMemory;
        }
        if (!c->helperNames.put(Text{spec->symbol, spec->symbolLength}, spec)) {
            free(spec->symbol);
            spec->symbol = nullptr;
            spec->symbolLength = 0;
            return Status::outOfMemory;
        }
        return Status::ok;
    }
}

}  // namespace wuna::compile
