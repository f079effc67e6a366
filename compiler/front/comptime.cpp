// Values of wuna.comptime calls (see comptime.h).
#include "compiler/front/comptime.h"

#include <cstring>

#include "compiler/backend/compile.h"
#include "compiler/front/cache.h"
#include "compiler/front/conversion.h"

namespace wuna::compile {

bool isComptimeArgument(const Shape& shape) {
    switch (shape.kind) {
    case ShapeKind::none:
    case ShapeKind::bool_:
    case ShapeKind::int_:
    case ShapeKind::pint:
    case ShapeKind::float_:
    case ShapeKind::str:
    case ShapeKind::py:
        return true;
    case ShapeKind::tuple:
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (!isComptimeArgument(shape.tuple.items[i])) return false;
        return true;
    case ShapeKind::list:
        return shape.list->source != nullptr;
    case ShapeKind::dict:
        return shape.dict->source != nullptr;
    default:
        return false;
    }
}

Status toArgument(Compiler* c, const Shape& shape, PyObject** out) {
    *out = nullptr;
    if (shape.kind == ShapeKind::list && shape.list->source) {
        *out = Py_NewRef(shape.list->source);
        return Status::ok;
    }
    if (shape.kind == ShapeKind::dict && shape.dict->source) {
        *out = Py_NewRef(shape.dict->source);
        return Status::ok;
    }
    if (shape.kind != ShapeKind::tuple) return toPython(c, shape, out);
    return front::tupleObject(c, shape, toArgument, out);
}

}  // namespace wuna::compile

namespace wuna::front {

using compile::Compiler;
using compile::Shape;
using compile::ShapeKind;

namespace {

enum : uint8_t { kOutside = 0, kInside = 1 };

Status containsItself(Compiler* c) {
    static constexpr char kText[] =
        "a wuna.comptime result can't contain itself (a list, dict or tuple that holds itself "
        "has no value known when compiling)";
    Status kept = keepReason(c, kText, sizeof kText - 1);
    return kept == Status::ok ? Status::unsupported : kept;
}

Status resultOf(Conversion& cv, PyObject* object, Shape* out);

Status listOf(Conversion& cv, PyObject* list, Shape* out) {
    Compiler* c = cv.compiler;
    ListRecord* record = newListRecord(c);
    if (!record) return Status::outOfMemory;
    if (Status s = compile::holdObject(c, list); s != Status::ok) return s;
    record->source = list;
    record->comptime = 1;
    // Converting an item runs no Python code, so the list keeps its length meanwhile; the
    // length is read again at each step all the same.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (Status s = countItems(cv, 1); s != Status::ok) return s;
        Shape item{};
        if (Status s = resultOf(cv, PyList_GET_ITEM(list, i), &item); s != Status::ok) return s;
        if (Status s = appendItem(c, record, item); s != Status::ok) return s;
    }
    *out = Shape{};
    out->kind = ShapeKind::list;
    out->list = record;
    return Status::ok;
}

Status dictOf(Conversion& cv, PyObject* dict, Shape* out) {
    Compiler* c = cv.compiler;
    DictRecord* record = newDictRecord(c);
    if (!record) return Status::outOfMemory;
    if (Status s = compile::holdObject(c, dict); s != Status::ok) return s;
    record->source = dict;
    record->comptime = 1;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    // No Python code runs while converting, so the dict does not change under PyDict_Next.
    while (PyDict_Next(dict, &at, &key, &value)) {
        if (Status s = countItems(cv, 2); s != Status::ok) return s;
        Shape k{}, v{};
        if (Status s = shapeOf(cv, key, &k); s != Status::ok) return s;
        if (Status s = resultOf(cv, value, &v); s != Status::ok) return s;
        if (Status s = appendEntry(c, record, k, v); s != Status::ok) return s;
    }
    *out = Shape{};
    out->kind = ShapeKind::dict;
    out->dict = record;
    return Status::ok;
}

Status tupleOf(Conversion& cv, PyObject* tuple, Shape* out) {
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    if (Status s = countItems(cv, uint64_t(n)); s != Status::ok) return s;
    Shape* items = compile::takeArray<Shape>(cv.compiler, size_t(n));
    if (!items) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < n; i++)
        if (Status s = resultOf(cv, PyTuple_GET_ITEM(tuple, i), &items[i]); s != Status::ok)
            return s;
    *out = Shape{};
    out->kind = ShapeKind::tuple;
    out->tuple.items = items;
    out->tuple.count = uint64_t(n);
    return Status::ok;
}

Status resultOf(Conversion& cv, PyObject* object, Shape* out) {
    PyTypeObject* type = Py_TYPE(object);
    bool list = type == &PyList_Type, dict = type == &PyDict_Type, tuple = type == &PyTuple_Type;
    if (!list && !dict && !tuple) return shapeOf(cv, object, out);
    // A container met again while it is being converted holds itself.
    if (uint8_t* state = cv.active.find(object); state && *state == kInside)
        return containsItself(cv.compiler);
    if (!cv.active.put(object, kInside)) return Status::outOfMemory;
    DepthGuard guard;
    if (!guard.entered()) return Status::pythonError;
    Status s = list   ? listOf(cv, object, out)
               : dict ? dictOf(cv, object, out)
                      : tupleOf(cv, object, out);
    // The entry exists (put above): marking it done cannot fail.
    *cv.active.find(object) = kOutside;
    return s;
}

// Appends up to the room left; the number of bytes appended.
size_t appendCut(char* buffer, size_t capacity, size_t at, const char* text, size_t length) {
    size_t room = capacity - at;
    size_t n = length < room ? length : room;
    memcpy(buffer + at, text, n);
    return n;
}

}  // namespace

Status comptimeResult(Compiler* c, PyObject* object, Shape* out) {
    Conversion cv;
    cv.compiler = c;
    Status s = resultOf(cv, object, out);
    endConversion(cv);
    return s;
}

size_t exceptionText(char* buffer, size_t capacity) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    size_t at = 0;
    if (type) {
        PyObject* name = PyObject_GetAttrString(type, "__name__");
        Py_ssize_t length = 0;
        const char* text = name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length)
                                                        : nullptr;
        if (text) at += appendCut(buffer, capacity, at, text, size_t(length));
        Py_XDECREF(name);
        PyErr_Clear();
    }
    if (value) {
        PyObject* str = PyObject_Str(value);
        Py_ssize_t length = 0;
        const char* text = str ? PyUnicode_AsUTF8AndSize(str, &length) : nullptr;
        if (text) {
            at += appendCut(buffer, capacity, at, ": ", 2);
            at += appendCut(buffer, capacity, at, text, size_t(length));
        }
        Py_XDECREF(str);
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return at;
}

Status strictComptimeRaised(backend::List<char>* message, const char* name, size_t nameLength,
                            const char* text, size_t textLength) {
    struct Piece {
        const char* data;
        size_t length;
    };
    static constexpr char kStart[] = "strict: the wuna.comptime function ";
    static constexpr char kRaised[] = "() raised while compiling: ";
    static constexpr char kEnd[] = " (it would run in Python)";
    const Piece pieces[] = {{kStart, sizeof kStart - 1},
                            {name, nameLength},
                            {kRaised, sizeof kRaised - 1},
                            {text, textLength},
                            {kEnd, sizeof kEnd - 1}};
    for (const Piece& piece : pieces)
        for (size_t i = 0; i < piece.length; i++)
            if (!message->push(piece.data[i])) return Status::outOfMemory;
    return Status::ok;
}

}  // namespace wuna::front
