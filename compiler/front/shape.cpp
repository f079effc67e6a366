// Shapes of values (see shape.h): conversion from and to Python objects, the constant tests,
// and the records of compile-time lists and dicts.
#include "compiler/front/shape.h"

#include <cstring>
#include <initializer_list>

#include "compiler/backend/compile.h"
#include "compiler/front/cache.h"
#include "compiler/front/conversion.h"

namespace wuna::compile {

namespace {

constexpr const char* kKindNames[kShapeKindCount] = {
    "none", "bool", "int",  "pint", "float",      "str",    "node",   "list",
    "tuple", "dict", "rt",   "rt_method", "py",   "control", "method", "dyn",
};

// The shape of an object kept in the object list.
Status pinned(Compiler* c, PyObject* object, Shape* out) {
    if (Status s = pinObject(c, object, nullptr); s != Status::ok) return s;
    *out = Shape{};
    out->kind = ShapeKind::py;
    out->py = object;
    return Status::ok;
}

Status fromInt(Compiler* c, PyObject* object, bool checked, Shape* out) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) return Status::pythonError;
    if (overflow) return pinned(c, object, out);
    *out = Shape{};
    out->kind = checked ? ShapeKind::int_ : ShapeKind::pint;
    out->int_ = int64_t(value);
    return Status::ok;
}

Status fromStr(Compiler* c, PyObject* object, Shape* out) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &length);
    if (!utf8) {
        // Lone surrogates have no UTF-8, so no native str block: the constant stays the
        // Python str, kept in the object list, as value.convert keeps such a str at run time.
        // The helpers treat that object as the text it is (equality and hashing with native
        // strs, operators through Python), so every operation gives Python's result.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Status::pythonError;
        PyErr_Clear();
        return pinned(c, object, out);
    }
    char* copy = takeArray<char>(c, size_t(length));
    if (!copy) return Status::outOfMemory;
    memcpy(copy, utf8, size_t(length));
    *out = Shape{};
    out->kind = ShapeKind::str;
    out->str = front::Text{copy, uint64_t(length)};
    return Status::ok;
}

Status fromTuple(front::Conversion& cv, PyObject* object, Shape* out) {
    Py_ssize_t n = PyTuple_GET_SIZE(object);
    if (Status s = front::countItems(cv, uint64_t(n)); s != Status::ok) return s;
    Shape* items = takeArray<Shape>(cv.compiler, size_t(n));
    if (!items) return Status::outOfMemory;
    front::DepthGuard guard;
    if (!guard.entered()) return Status::pythonError;
    // Tuples cannot change, and converting an item runs no Python code: the size holds.
    for (Py_ssize_t i = 0; i < n; i++) {
        Status s = front::shapeOf(cv, PyTuple_GET_ITEM(object, i), &items[i]);
        if (s != Status::ok) return s;
    }
    *out = Shape{};
    out->kind = ShapeKind::tuple;
    out->tuple.items = items;
    out->tuple.count = uint64_t(n);
    return Status::ok;
}

Status refuse(Compiler* c, ShapeKind kind) {
    // "a <kind> where a value known when compiling is needed (a slice's bounds...)"
    static constexpr char kTail[] =
        " where a value known when compiling is needed (a slice's bounds...)";
    const char* word = kindName(kind);
    c->message.clear();
    bool ok = true;
    for (const char* piece : {"a ", word, kTail})
        for (const char* p = piece; *p && ok; p++) ok = c->message.push(*p);
    return ok ? Status::unsupported : Status::outOfMemory;
}

// isConstant (withBigInts) or isPlainConstant.
bool constant(const Shape& shape, bool withBigInts) {
    switch (shape.kind) {
    case ShapeKind::none:
    case ShapeKind::bool_:
    case ShapeKind::int_:
    case ShapeKind::pint:
    case ShapeKind::float_:
    case ShapeKind::str:
        return true;
    case ShapeKind::tuple:
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (!constant(shape.tuple.items[i], withBigInts)) return false;
        return true;
    case ShapeKind::py:
        return withBigInts && Py_IS_TYPE(shape.py, &PyLong_Type);
    default:
        return false;
    }
}

}  // namespace

const char* kindName(ShapeKind kind) {
    uint8_t n = uint8_t(kind);
    return n < kShapeKindCount ? kKindNames[n] : "?";
}

Status fromPython(Compiler* c, PyObject* object, Shape* out) {
    front::Conversion cv;
    cv.compiler = c;
    Status s = front::shapeOf(cv, object, out);
    front::endConversion(cv);
    return s;
}

Status toPython(Compiler* c, const Shape& shape, PyObject** out) {
    *out = nullptr;
    switch (shape.kind) {
    case ShapeKind::none:
        *out = Py_NewRef(Py_None);
        return Status::ok;
    case ShapeKind::bool_:
        *out = PyBool_FromLong(shape.bool_);
        return Status::ok;
    case ShapeKind::int_: {
        PyObject* plain = PyLong_FromLongLong(shape.int_);
        if (!plain || !c->i64Type) {
            *out = plain;
            return plain ? Status::ok : Status::pythonError;
        }
        *out = PyObject_CallOneArg(c->i64Type, plain);
        Py_DECREF(plain);
        return *out ? Status::ok : Status::pythonError;
    }
    case ShapeKind::pint:
        *out = PyLong_FromLongLong(shape.int_);
        return *out ? Status::ok : Status::pythonError;
    case ShapeKind::float_:
        *out = PyFloat_FromDouble(shape.float_);
        return *out ? Status::ok : Status::pythonError;
    case ShapeKind::str:
        *out = PyUnicode_DecodeUTF8(shape.str.data, Py_ssize_t(shape.str.length), "replace");
        return *out ? Status::ok : Status::pythonError;
    case ShapeKind::tuple:
        return front::tupleObject(c, shape, toPython, out);
    case ShapeKind::py:
        *out = Py_NewRef(shape.py);
        return Status::ok;
    default:
        return refuse(c, shape.kind);
    }
}

bool isConstant(const Shape& shape) { return constant(shape, true); }

bool isPlainConstant(const Shape& shape) { return constant(shape, false); }

}  // namespace wuna::compile

namespace wuna::front {

using compile::Compiler;
using compile::Shape;
using compile::ShapeKind;

Status tupleObject(Compiler* c, const Shape& shape, ItemObject item, PyObject** out) {
    DepthGuard guard;
    if (!guard.entered()) return Status::pythonError;
    PyObject* tuple = PyTuple_New(Py_ssize_t(shape.tuple.count));
    if (!tuple) return Status::pythonError;
    for (uint64_t i = 0; i < shape.tuple.count; i++) {
        PyObject* object = nullptr;
        if (Status s = item(c, shape.tuple.items[i], &object); s != Status::ok) {
            Py_DECREF(tuple);
            return s;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), object);
    }
    *out = tuple;
    return Status::ok;
}

Status countItems(Conversion& cv, uint64_t n) {
    if (n <= kConversionItems && cv.items <= kConversionItems - n) {
        cv.items += n;
        return Status::ok;
    }
    static constexpr char kTooLarge[] =
        "a value known when compiling can't have more than 1048576 items (counting the items "
        "of every tuple, list and dict in it, each time it is met)";
    static_assert(kConversionItems == 1048576);
    Status kept = keepReason(cv.compiler, kTooLarge, sizeof kTooLarge - 1);
    return kept == Status::ok ? Status::unsupported : kept;
}

void endConversion(Conversion& cv) { cv.active.clear(); }

Status shapeOf(Conversion& cv, PyObject* object, Shape* out) {
    Compiler* c = cv.compiler;
    if (object == Py_None) {
        *out = compile::noneShape();
        return Status::ok;
    }
    if (object == Py_True || object == Py_False) {
        *out = Shape{};
        out->kind = ShapeKind::bool_;
        out->bool_ = object == Py_True;
        return Status::ok;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (c->i64Type && type == reinterpret_cast<PyTypeObject*>(c->i64Type))
        return compile::fromInt(c, object, true, out);
    if (type == &PyLong_Type) return compile::fromInt(c, object, false, out);
    if (PyFloat_Check(object)) {
        *out = Shape{};
        out->kind = ShapeKind::float_;
        out->float_ = PyFloat_AS_DOUBLE(object);
        return Status::ok;
    }
    if (PyUnicode_Check(object)) return compile::fromStr(c, object, out);
    if (PyTuple_Check(object)) return compile::fromTuple(cv, object, out);
    return compile::pinned(c, object, out);
}

ListRecord* newListRecord(Compiler* c) {
    auto* record = compile::takeArray<ListRecord>(c, 1);
    if (record) record->word = kRecordWordUnset;
    return record;
}

DictRecord* newDictRecord(Compiler* c) {
    auto* record = compile::takeArray<DictRecord>(c, 1);
    if (record) record->word = kRecordWordUnset;
    return record;
}

namespace {

// Appends to an arena array of shapes, moving it to a larger piece when full.
bool pushShape(Compiler* c, Shape** items, uint64_t* length, uint64_t* capacity,
               const Shape& item) {
    if (*length == *capacity) {
        uint64_t grown = *capacity ? *capacity * 2 : 8;
        Shape* moved = compile::takeArray<Shape>(c, size_t(grown));
        if (!moved) return false;
        for (uint64_t i = 0; i < *length; i++) moved[i] = (*items)[i];
        *items = moved;
        *capacity = grown;
    }
    (*items)[(*length)++] = item;
    return true;
}

}  // namespace

Status appendItem(Compiler* c, ListRecord* list, const Shape& item) {
    return pushShape(c, &list->items, &list->length, &list->capacity, item) ? Status::ok
                                                                           : Status::outOfMemory;
}

Status appendEntry(Compiler* c, DictRecord* dict, const Shape& key, const Shape& value) {
    if (!pushShape(c, &dict->keys, &dict->keyLength, &dict->keyCapacity, key))
        return Status::outOfMemory;
    // The arrays keep one length: a value that can't be appended takes its key back.
    if (!pushShape(c, &dict->values, &dict->valueLength, &dict->valueCapacity, value)) {
        dict->keyLength--;
        return Status::outOfMemory;
    }
    return Status::ok;
}

namespace {

// isImmutableConstant within a budget of items looked at: a tuple too deep or too widely
// shared to look through is simply not known to be immutable.
bool immutable(PyObject* object, uint64_t* budget) {
    if (object == Py_None) return true;
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        type == &PyLong_Type)
        return true;
    if (type != &PyTuple_Type) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(object);
    if (uint64_t(n) > *budget) return false;
    *budget -= uint64_t(n);
    DepthGuard guard;
    if (!guard.entered()) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; i++)
        if (!immutable(PyTuple_GET_ITEM(object, i), budget)) return false;
    return true;
}

}  // namespace

bool isImmutableConstant(PyObject* object) {
    uint64_t budget = kConversionItems;
    return immutable(object, &budget);
}

}  // namespace wuna::front
