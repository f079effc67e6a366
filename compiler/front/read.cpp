// Reading a function: the context's shared operations on syntax nodes, refusals, and the
// front entry.
#include <cstdlib>
#include <cstring>

#include "compiler/front/front.h"
#include "compiler/front/lower.h"

namespace wuna::front {

Arena& arenaOf(Lowering& lowering) {
    Lowering* outermost = &lowering;
    while (outermost->parent) outermost = outermost->parent;
    return outermost->arena;
}

Status newExpr(Lowering& lowering, ExprKind kind, Position position, Expr** out) {
    *out = static_cast<Expr*>(take(arenaOf(lowering), sizeof(Expr)));
    if (!*out) return Status::outOfMemory;
    (*out)->kind = kind;
    (*out)->position = position;
    lowering.exprCount++;
    return Status::ok;
}

Status intAttr(PyObject* node, const char* name, int64_t fallback, int64_t* out) {
    *out = fallback;
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::pythonError;
        PyErr_Clear();
        return Status::ok;
    }
    if (value != Py_None) {
        long long number = PyLong_AsLongLong(value);
        if (number == -1 && PyErr_Occurred()) {
            Py_DECREF(value);
            return Status::pythonError;
        }
        *out = number;
    }
    Py_DECREF(value);
    return Status::ok;
}

Status nodePosition(Lowering& lowering, PyObject* node, Position* out) {
    int64_t line, column;
    if (Status s = intAttr(node, "lineno", 0, &line); s != Status::ok) return s;
    if (Status s = intAttr(node, "col_offset", 0, &column); s != Status::ok) return s;
    if (line < 0) line = 0;
    if (column < 0) column = 0;
    *out = makePosition(uint32_t(line + lowering.lineBase),
                        uint32_t(column + lowering.columnBase + 1));
    return Status::ok;
}

namespace {

bool same(Text a, Text b) {
    return a.length == b.length && (a.length == 0 || memcmp(a.data, b.data, a.length) == 0);
}

}  // namespace

bool hasName(List<Text> names, Text name) {
    for (uint64_t i = 0; i < names.count; i++)
        if (same(names.items[i], name)) return true;
    return false;
}

bool findLocal(const Lowering& lowering, Text name, uint32_t* out) {
    for (uint32_t i = lowering.scoped.count; i > 0; i--) {
        if (same(lowering.scoped.items[i - 1].name, name)) {
            *out = lowering.scoped.items[i - 1].local;
            return true;
        }
    }
    for (uint32_t i = 0; i < lowering.locals.count; i++) {
        if (same(lowering.locals.items[i], name)) {
            *out = i;
            return true;
        }
    }
    return false;
}

Status strText(Lowering& lowering, PyObject* value, const char* what, Text* out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str", what);
        return Status::pythonError;
    }
    Py_ssize_t length;
    const char* bytes = PyUnicode_AsUTF8AndSize(value, &length);
    if (!bytes) return Status::pythonError;
    return copyText(arenaOf(lowering), bytes, size_t(length), out) ? Status::ok
                                                                   : Status::outOfMemory;
}

Status nameAttr(Lowering& lowering, PyObject* node, const char* name, Text* out) {
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    Status s = strText(lowering, value, name, out);
    Py_DECREF(value);
    return s;
}

Status className(PyObject* node, ClassName* out) {
    out->length = 0;
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(node)), "__name__");
    if (!name) return Status::pythonError;
    Py_ssize_t length;
    const char* bytes = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (!bytes) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a class name must be a str");
        Py_DECREF(name);
        return Status::pythonError;
    }
    size_t kept = size_t(length) < sizeof out->text ? size_t(length) : sizeof out->text;
    memcpy(out->text, bytes, kept);
    out->length = kept;
    Py_DECREF(name);
    return Status::ok;
}

Status optionalExprAttr(Lowering& lowering, PyObject* node, const char* name, Expr** out) {
    *out = nullptr;
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    Status s = value == Py_None ? Status::ok : lowerExpr(lowering, value, out);
    Py_DECREF(value);
    return s;
}

Status lowerStmtsAttr(Lowering& lowering, PyObject* node, const char* name, StmtList* out) {
    *out = StmtList{nullptr, 0};
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    Status s = lowerStmts(lowering, value, out);
    Py_DECREF(value);
    return s;
}

Status refuse(Lowering& lowering, Position position,
              std::initializer_list<std::string_view> parts) {
    Failure* failure = lowering.failure;
    if (failure->length) return Status::unsupported;  // the first refusal stands
    size_t length = 0;
    for (std::string_view part : parts) {
        size_t room = kFailureText - length;
        size_t kept = part.size() < room ? part.size() : room;
        memcpy(failure->text + length, part.data(), kept);
        length += kept;
    }
    // A cut inside a UTF-8 character drops the character's first bytes too.
    if (length == kFailureText) {
        size_t end = length;
        while (end > 0 && (uint8_t(failure->text[end - 1]) & 0xC0) == 0x80) end--;
        if (end > 0 && uint8_t(failure->text[end - 1]) >= 0xC0) {
            size_t need = uint8_t(failure->text[end - 1]) >= 0xF0   ? 4
                          : uint8_t(failure->text[end - 1]) >= 0xE0 ? 3
                                                                    : 2;
            if (length - (end - 1) < need) length = end - 1;
        }
    }
    failure->length = length;
    failure->position = position;
    return Status::unsupported;
}

Status refuse(Lowering& lowering, Position position, std::string_view text) {
    return refuse(lowering, position, {text});
}

Status constructRefused(Lowering& lowering, Position position, std::string_view words) {
    return refuse(lowering, position, {words, " can't be compiled"});
}

Status lowerFunction(FunctionIR** out, PyObject* fn, Failure* failure) {
    // Not built yet: every function is refused, so every semantic runs as Python.
    static constexpr char kNotBuilt[] = "the compiler front end is not built yet";
    (void)fn;
    *out = nullptr;
    size_t length = sizeof kNotBuilt - 1;
    memcpy(failure->text, kNotBuilt, length);
    failure->length = length;
    failure->position = 0;
    return Status::unsupported;
}

}  // namespace wuna::front
