// Kind checks against Language.types and the texts of the variable operations' failures.
//
// A language that declares with Language.types what Python type its types' values have lets
// compiled code know a value's kind from its node's type, once the value has been checked
// where it is made: a variable read, a node evaluated by kind. The check is two compares and a
// branch to a failure at the node; a value whose kind is already known is never checked again.
//
// The message writers are the one place the variable failures are worded, so that compiled
// code, the reference mode and the runtime helpers read alike.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

// The runtime tag a declared kind other than int is tested against (the kind code less 1).
uint64_t tagOfKind(KnownKind kind) { return uint64_t(kind) - 1; }

Status writeAround(backend::List<char>* w, const char* before, const char* x, size_t length,
                   const char* after) {
    Status s = appendText(w, before);
    if (s == Status::ok) s = appendText(w, x, length);
    if (s == Status::ok) s = appendText(w, after);
    return s;
}

// Whether a value known while compiling is of the declared kind.
bool comptimeMatches(KnownKind declared, const Shape& v) {
    switch (declared) {
    case KnownKind::none: return v.kind == ShapeKind::none;
    case KnownKind::bool_: return v.kind == ShapeKind::bool_;
    case KnownKind::int_: return v.kind == ShapeKind::int_ || v.kind == ShapeKind::pint;
    case KnownKind::float_: return v.kind == ShapeKind::float_;
    case KnownKind::str: return v.kind == ShapeKind::str;
    case KnownKind::function: {
        if (v.kind != ShapeKind::py) return false;
        PyTypeObject* functionType = runtime::hostApi.functionType;
        return functionType && Py_TYPE(v.py) == functionType;
    }
    default: return true;
    }
}

// The analysis' text of the node's type: a new str, or "?" when type_of gives no str. null
// with the Python exception when the call fails.
PyObject* typeText(Compiler* c, uint32_t node) {
    PyObject* analysis = c->inputs ? c->inputs->analysis : nullptr;
    if (!analysis) return PyUnicode_FromString("?");
    PyObject* result = PyObject_CallMethod(analysis, "type_of", "I", unsigned(node));
    if (!result) return nullptr;
    if (PyUnicode_Check(result)) return result;
    Py_DECREF(result);
    return PyUnicode_FromString("?");
}

}  // namespace

Status writeTypesMismatch(backend::List<char>* w, const char* x, size_t length) {
    return writeAround(w, "the value isn't what types() says the type ", x, length, " is");
}

Status writeNoHostFunction(backend::List<char>* w, const char* x, size_t length) {
    return writeAround(w, "no host function for the builtin '", x, length, "'");
}

Status writeCantAssignBuiltin(backend::List<char>* w, const char* x, size_t length) {
    return writeAround(w, "can't assign to the builtin '", x, length, "'");
}

Status writeNotVariable(backend::List<char>* w, const char* x, size_t length) {
    return writeAround(w, "'", x, length, "' is not a variable");
}

Status writeNameNotDefined(backend::List<char>* w, const char* x, size_t length) {
    return writeAround(w, "name '", x, length, "' is not defined");
}

Status emitKindMismatch(Emitter* e, uint32_t node) {
    Compiler* c = e->compiler;
    PyObject* type = typeText(c, node);
    if (!type) return Status::pythonError;
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(type, &length);
    if (!text) {
        Py_DECREF(type);
        return Status::pythonError;
    }
    backend::List<char> message;
    Status err = writeTypesMismatch(&message, text, size_t(length));
    Py_DECREF(type);
    if (err == Status::ok) err = failWith(e, int32_t(node), message.items, message.count);
    message.free();
    return err;
}

Status emitKindCheckAs(Emitter* e, uint32_t node, KnownKind declared, Shape* value, Shape* out) {
    Shape v = *value;
    *out = v;
    if (declared == KnownKind::unknown) return Status::ok;
    if (v.kind != ShapeKind::dyn) {
        if (comptimeMatches(declared, v)) return Status::ok;
        // The code fails when it gets here; what follows is dead but stays well formed.
        return emitKindMismatch(e, node);
    }
    if (v.dyn.kind != KnownKind::unknown) return Status::ok;
    Builder* b = &e->builder;
    ValueRef test;
    if (declared == KnownKind::int_) {
        ValueRef small = icmp(b, llvmapi::IntEQ, v.dyn.tag, constI64(e, value::TagInt));
        ValueRef big = icmp(b, llvmapi::IntEQ, v.dyn.tag, constI64(e, value::TagPint));
        test = llvmapi::table.LLVMBuildOr(b->builder, small, big, "");
    } else {
        test = icmp(b, llvmapi::IntEQ, v.dyn.tag, constI64(e, tagOfKind(declared)));
    }
    BasicBlockRef ok, wrong;
    if (Status err = newBlock(b, "kind_ok", &ok); err != Status::ok) return err;
    if (Status err = newBlock(b, "kind_wrong", &wrong); err != Status::ok) return err;
    condBr(b, test, ok, wrong);
    enter(b, wrong);
    if (Status err = emitKindMismatch(e, node); err != Status::ok) return err;
    enter(b, ok);
    out->dyn.kind = declared;
    if (declared != KnownKind::int_) out->dyn.tag = constI64(e, tagOfKind(declared));
    return Status::ok;
}

Status emitKindCheck(Emitter* e, uint32_t node, Shape* value, Shape* out) {
    if (value->kind == ShapeKind::dyn && value->dyn.kind != KnownKind::unknown) {
        *out = *value;
        return Status::ok;
    }
    KnownKind declared = KnownKind::unknown;
    if (Status s = nodeKindMemo(e->compiler, node, &declared); s != Status::ok) return s;
    return emitKindCheckAs(e, node, declared, value, out);
}

}  // namespace wuna::compile
