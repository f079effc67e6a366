// Outer frames and imports of semantic functions while compiling.
//
// A function nested in a semantic reads and writes the variables of the function it is
// defined in, which live in heap frames chained by their parent words: the environment a
// nested function needs is found while compiling as a fixed walk up that chain from the
// function being compiled. An import inside a semantic runs while compiling, through Python's
// import machinery, and the imported object becomes a value known while compiling; compiled
// code never imports. An import that fails then is refused, so the semantic runs as Python and
// fails there as the reference mode does.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

Status unreachableOuter(Compiler* c, const front::FunctionIR* compiling,
                        const front::FunctionIR* nested) {
    Status err = Status::ok;
    c->message.clear();
    if (compiling)
        err = beginError(&c->message,
                         ErrorSite{compiling, front::makePosition(compiling->firstLine, 0)});
    if (err == Status::ok) err = appendText(&c->message, "the variables of ");
    if (err == Status::ok) err = appendText(&c->message, nested->name.data, nested->name.length);
    if (err == Status::ok) err = appendText(&c->message, " aren't reachable from here");
    return err == Status::ok ? Status::unsupported : err;
}

// "the <what> of <module> <after>" at the position: the refusal of an import.
Status importRefused(Compiler* c, const front::FunctionIR* function, front::Position at,
                     const char* what, front::Text module, const char* after) {
    Status err = Status::ok;
    c->message.clear();
    if (function) err = beginError(&c->message, ErrorSite{function, at});
    if (err == Status::ok) err = appendText(&c->message, what);
    if (err == Status::ok) err = appendText(&c->message, module.data, module.length);
    if (err == Status::ok) err = appendText(&c->message, after);
    return err == Status::ok ? Status::unsupported : err;
}

// The absolute name of a relative import against the semantic's package: a new str, or null
// with *unresolved set (resolve_name refused it, its error cleared) or a Python error.
PyObject* resolveRelative(PyObject* function, PyObject* name, bool* unresolved) {
    *unresolved = false;
    PyObject* globals = function ? PyObject_GetAttrString(function, "__globals__") : nullptr;
    if (!globals) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "no package for a relative import");
        return nullptr;
    }
    PyObject* package = PyDict_Check(globals) ? PyDict_GetItemString(globals, "__package__")
                                              : nullptr;
    if (!package) package = Py_None;
    Py_INCREF(package);
    Py_DECREF(globals);
    PyObject* util = PyImport_ImportModule("importlib.util");
    if (!util) {
        Py_DECREF(package);
        return nullptr;
    }
    PyObject* resolved = PyObject_CallMethod(util, "resolve_name", "OO", name, package);
    Py_DECREF(util);
    Py_DECREF(package);
    if (!resolved) {
        PyErr_Clear();
        *unresolved = true;
    }
    return resolved;
}

// The object `from <resolved> import <attribute>` binds: the attribute, else the submodule.
PyObject* importedAttribute(PyObject* importlib, PyObject* module, PyObject* resolved,
                            front::Text attribute) {
    PyObject* name = PyUnicode_DecodeUTF8(attribute.data, Py_ssize_t(attribute.length), "replace");
    if (!name) return nullptr;
    PyObject* value = PyObject_GetAttr(module, name);
    if (!value) {
        PyErr_Clear();
        PyObject* dotted = PyUnicode_FromFormat("%U.%U", resolved, name);
        if (dotted) {
            value = PyObject_CallMethod(importlib, "import_module", "O", dotted);
            Py_DECREF(dotted);
        }
    }
    Py_DECREF(name);
    return value;
}

}  // namespace

Status writeDottedName(backend::List<char>* w, front::Text left, front::Text right) {
    Status err = appendText(w, left.data, left.length);
    if (err == Status::ok) err = appendText(w, ".", 1);
    if (err == Status::ok) err = appendText(w, right.data, right.length);
    return err;
}

Status emitOuterFrame(Emitter* e, Semantic* s, const front::FunctionIR* nested, ValueRef* frame,
                      bool* found) {
    *found = false;
    // Only a frame closure is given its definer's frame (a function called by name alone
    // receives the values it captures as arguments).
    if (!nested->frameClosure) return Status::ok;
    const front::FunctionIR* definer = nested->parent;
    const front::FunctionIR* compiling = s ? s->function : nullptr;
    if (compiling && definer == compiling && s->hasFrame) {
        *frame = s->frame;
        *found = true;
        return Status::ok;
    }
    if (!compiling || !s->environmentKnown || !s->environment)
        return unreachableOuter(e->compiler, compiling, nested);
    ValueRef current = s->environment;
    for (const front::FunctionIR* f = compiling->parent; f; f = f->parent) {
        if (f == definer) {
            *frame = current;
            *found = true;
            return Status::ok;
        }
        current = parentFrame(e, current);
    }
    return unreachableOuter(e->compiler, compiling, nested);
}

Status emitOuterFrameArg(Emitter* e, Semantic* s, const front::FunctionIR* nested, Shape* out) {
    *out = noneShape();
    ValueRef frame;
    bool found;
    if (Status err = emitOuterFrame(e, s, nested, &frame, &found); err != Status::ok) return err;
    if (!found) return Status::ok;
    openBlock(&e->builder);
    Operand o = constantOperand(e, value::TagCaptured, 0, KnownKind::unknown);
    o.payload = T.LLVMBuildPtrToInt(e->builder.builder, frame, e->compiler->module.i64, "");
    *out = dynShape(o);
    return Status::ok;
}

Status resolveImport(Emitter* e, Semantic* s, front::Text module, const front::Text* attribute,
                     bool named, front::Position at, Shape* out) {
    Compiler* c = e->compiler;
    *out = noneShape();
    if (!s && e->semantics.count) s = e->semantics.last();
    const front::FunctionIR* reading = s ? s->function : nullptr;
    PyObject* importlib = PyImport_ImportModule("importlib");
    if (!importlib) return Status::pythonError;
    PyObject* resolved = PyUnicode_DecodeUTF8(module.data, Py_ssize_t(module.length), "replace");
    if (resolved && module.length && module.data[0] == '.') {
        bool unresolved;
        PyObject* absolute =
            resolveRelative(reading ? reading->function : nullptr, resolved, &unresolved);
        Py_DECREF(resolved);
        resolved = absolute;
        if (unresolved) {
            Py_DECREF(importlib);
            return importRefused(c, reading, at, "the relative import of ", module,
                                 " can't be resolved here");
        }
    }
    PyObject* imported = resolved ? PyObject_CallMethod(importlib, "import_module", "O", resolved)
                                  : nullptr;
    PyObject* value = nullptr;
    if (imported && attribute && attribute->data) {
        value = importedAttribute(importlib, imported, resolved, *attribute);
    } else if (imported && named) {
        value = Py_NewRef(imported);
    } else if (imported) {
        // `import a.b` binds the top-level package a.
        Py_ssize_t length = PyUnicode_GetLength(resolved);
        Py_ssize_t dot = PyUnicode_FindChar(resolved, '.', 0, length, 1);
        PyObject* top = dot >= 0 ? PyUnicode_Substring(resolved, 0, dot) : Py_NewRef(resolved);
        if (top) {
            value = PyImport_Import(top);
            Py_DECREF(top);
        }
    }
    Py_XDECREF(imported);
    Py_XDECREF(resolved);
    Py_DECREF(importlib);
    if (!value) {
        PyErr_Clear();
        return importRefused(c, reading, at, "the import of ", module, " fails while compiling");
    }
    Status err = fromPython(c, value, out);
    if (err == Status::ok && out->kind == ShapeKind::py) err = pinObject(c, out->py, nullptr);
    Py_DECREF(value);
    return err;
}

}  // namespace wuna::compile
