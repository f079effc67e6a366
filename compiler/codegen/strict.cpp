// Compile-error messages and the refusals of a strict language, whose compiled code must never
// call into Python; the display names of Python objects in messages (see emitter.h).
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/emitter.h"

namespace wuna::compile {

namespace {

// "<before><name><after>" appended; a buffer that can't grow leaves the text cut.
Status writeAround(backend::List<char>* message, const char* before, const char* name,
                   size_t length, const char* after) {
    Status s = appendText(message, before);
    if (s == Status::ok) s = appendText(message, name, length);
    if (s == Status::ok) s = appendText(message, after);
    return s;
}

// The str attribute's UTF-8 copied into the arena: ok with *found, or outOfMemory. A missing
// attribute, or one that is not a str, is not found (its error cleared).
Status strAttribute(Compiler* c, PyObject* object, const char* attribute, front::Text* out,
                    bool* found) {
    *found = false;
    PyObject* value = PyObject_GetAttrString(object, attribute);
    if (!value || !PyUnicode_Check(value)) {
        Py_XDECREF(value);
        PyErr_Clear();
        return Status::ok;
    }
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (!text) {
        Py_DECREF(value);
        PyErr_Clear();
        return Status::ok;
    }
    char* copy = takeArray<char>(c, size_t(length));
    if (!copy) {
        Py_DECREF(value);
        return Status::outOfMemory;
    }
    memcpy(copy, text, size_t(length));
    Py_DECREF(value);
    *out = front::Text{copy, uint64_t(length)};
    *found = true;
    return Status::ok;
}

}  // namespace

Status beginConstructError(Emitter* e) {
    Compiler* c = e->compiler;
    c->message.clear();
    if (!e->semantics.count) return Status::ok;
    const Semantic* s = e->semantics.last();
    if (!s->function) return Status::ok;
    return beginError(&c->message, ErrorSite{s->function, e->position});
}

Status writeStrictUsesValue(backend::List<char>* message, const char* name, size_t length) {
    return writeAround(message, "strict: uses ", name, length,
                       ", a Python object, as a value (it would run in Python)");
}

Status writeStrictPythonCall(backend::List<char>* message, const char* name, size_t length) {
    return writeAround(message, "strict: calls the Python function ", name, length,
                       "() (it would run in Python)");
}

Status writeStrictHostCall(backend::List<char>* message, const char* name, size_t length) {
    return writeAround(message, "strict: calls the host function ", name, length,
                       "() (it would run in Python)");
}

Status checkStrictValue(Emitter* e, const char* name, size_t length) {
    Compiler* c = e->compiler;
    if (!c->strict || e->strictSuppressed > 0) return Status::ok;
    // A message cut short by memory still refuses the construct.
    (void)beginConstructError(e);
    (void)writeStrictUsesValue(&c->message, name, length);
    return Status::unsupported;
}

Status pyName(Compiler* c, PyObject* object, front::Text* out) {
    bool found;
    if (Status err = strAttribute(c, object, "__name__", out, &found); err != Status::ok)
        return err;
    if (!found) *out = front::Text{"", 0};
    return Status::ok;
}

Status objectName(Emitter* e, PyObject* object, front::Text* out) {
    Compiler* c = e->compiler;
    bool found;
    if (Status err = strAttribute(c, object, "__qualname__", out, &found); err != Status::ok)
        return err;
    if (found) return Status::ok;
    if (Status err = strAttribute(c, object, "__name__", out, &found); err != Status::ok)
        return err;
    if (found) return Status::ok;
    front::Text type;
    if (Status err = pyName(c, reinterpret_cast<PyObject*>(Py_TYPE(object)), &type);
        err != Status::ok)
        return err;
    char* text = takeArray<char>(c, size_t(type.length) + 2);
    if (!text) return Status::outOfMemory;
    memcpy(text, "a ", 2);
    memcpy(text + 2, type.data, size_t(type.length));
    *out = front::Text{text, type.length + 2};
    return Status::ok;
}

}  // namespace wuna::compile
