// Attribute reads x.name by what is known of x while compiling: a node of the program's tree
// answers from the tree, rt answers its methods as values and a few values of the run, a
// Python object of a stable type answers now, a caught jump answers .args; a run-time value
// is read as a record field or through wn_getattr (see lower.h).
#include <cstring>

#include "compiler/backend/inputs.h"
#include "compiler/codegen/attributes_common.h"
#include "compiler/front/stable.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "wuna/runtime/errors.h"

namespace wuna::compile {

namespace {

using attrs::compileError;

bool named(front::Text name, const char* word) {
    size_t length = strlen(word);
    return name.length == length && memcmp(name.data, word, length) == 0;
}

Shape pintShape(uint64_t value) {
    Shape s{};
    s.kind = ShapeKind::pint;
    s.int_ = int64_t(value);
    return s;
}

Shape strShape(const char* data, uint64_t length) {
    Shape s{};
    s.kind = ShapeKind::str;
    s.str = front::Text{data, length};
    return s;
}

// The kind of the node as the grammar numbers it, or -1 (an error node, or no grammar).
int64_t kindIn(const ptree::Index* tree, uint32_t node) {
    uint32_t kind = ptree::kindOf(tree->nodes[node]);
    return tree->grammar && kind < tree->grammar->kindCount ? int64_t(kind) : -1;
}

constexpr char kErrorKind[] = "<error>";

front::Text kindText(const ptree::Index* tree, uint32_t node) {
    int64_t kind = kindIn(tree, node);
    if (kind < 0) return front::Text{kErrorKind, sizeof kErrorKind - 1};
    const ptree::Text& t = tree->grammar->kindNames[kind];
    return front::Text{t.data, uint64_t(t.length)};
}

// The node's own attributes answered from the tree; *answered false for other names.
Status nodeAttribute(Emitter* e, uint32_t node, front::Text name, Shape* out, bool* answered) {
    const ptree::Index* tree = e->compiler->tree;
    const ptree::NodeRecord& record = tree->nodes[node];
    *answered = true;
    if (named(name, "kind")) {
        *out = strShape(kindText(tree, node).data, kindText(tree, node).length);
    } else if (named(name, "rule")) {
        int64_t kind = kindIn(tree, node);
        if (kind < 0) {
            *out = strShape(kErrorKind, sizeof kErrorKind - 1);
        } else {
            const ptree::Text& rule = tree->grammar->ruleNames[kind];
            *out = strShape(rule.data, rule.length);
        }
    } else if (named(name, "text")) {
        uint64_t n = tree->textLength;
        uint64_t start = record.start < n ? record.start : n;
        uint64_t end = record.end < start ? start : record.end;
        if (end > n) end = n;
        *out = strShape(tree->text + start, end - start);
    } else if (named(name, "start")) {
        *out = pintShape(record.start);
    } else if (named(name, "end")) {
        *out = pintShape(record.end);
    } else if (named(name, "line")) {
        *out = pintShape(ptree::lineOf(tree, record.start));
    } else if (named(name, "column")) {
        uint32_t start = ptree::lineStart(tree, ptree::lineOf(tree, record.start));
        *out = pintShape(uint64_t(record.start) - start + 1);
    } else if (named(name, "index")) {
        *out = pintShape(node);
    } else if (named(name, "span")) {
        Shape* items = takeArray<Shape>(e->compiler, 2);
        if (!items) return Status::outOfMemory;
        items[0] = pintShape(record.start);
        items[1] = pintShape(record.end);
        out->kind = ShapeKind::tuple;
        out->tuple.items = items;
        out->tuple.count = 2;
    } else if (named(name, "parent")) {
        uint32_t parent = tree->parents[node];
        if (parent == ptree::kNone) {
            *out = noneShape();
        } else {
            out->kind = ShapeKind::node;
            out->node = parent;
        }
    } else {
        *answered = false;
    }
    return Status::ok;
}

Status nodeRead(Emitter* e, Semantic* s, uint32_t node, front::Text name, front::Position at,
                Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    if (!tree || node >= tree->count) return refuseConstruct(e, "a field of a node of no tree");
    // Fields come first, as in the reference mode: a field named text hides the text.
    if (uint8_t label = attrs::fieldLabelOf(tree->grammar, name))
        return nodeFieldByName(e, node, label, out);
    bool answered;
    if (Status err = nodeAttribute(e, node, name, out, &answered); err != Status::ok) return err;
    if (answered) return Status::ok;
    // A new list at each read, as the reference mode's node.children is a new list each time.
    if (named(name, "children")) return nodeChildrenWhenCompiling(e, node, out);
    front::Text kind = kindText(tree, node);
    Status err = attrs::beginAt(e, s, at);
    backend::List<char>* message = &e->compiler->message;
    if (err == Status::ok) err = appendText(message, kind.data, size_t(kind.length));
    if (err == Status::ok) err = appendText(message, " has no field '");
    if (err == Status::ok) err = appendText(message, name.data, size_t(name.length));
    if (err == Status::ok) err = appendText(message, "'");
    return err == Status::ok ? Status::unsupported : err;
}

// The slot's value with a reference added, as a dyn of the kind.
Status slotValue(Emitter* e, llvmapi::ValueRef slot, KnownKind kind, Shape* out) {
    Operand o = loadOperand(e, slot, kind);
    if (Status err = refcount(e, RefMode::increment, o.tag, o.payload); err != Status::ok)
        return err;
    *out = dynShape(o);
    return Status::ok;
}

Shape emptyTuple() {
    Shape s{};
    s.kind = ShapeKind::tuple;
    return s;
}

// rt.Throw: the module's Throw class, kept among the module's objects, as a value known while
// compiling (called, raised and caught as any exception class is).
Status throwClass(Emitter* e, Shape* out) {
    PyObject* cls = errors::pyClass(errors::Kind::Throw);  // borrowed
    if (!cls) return refuseConstruct(e, "rt.Throw without the wuna module's Throw class");
    if (Status err = pinObject(e->compiler, cls, nullptr); err != Status::ok) return err;
    *out = Shape{};
    out->kind = ShapeKind::py;
    out->py = cls;
    return Status::ok;
}

Status rtRead(Emitter* e, Semantic* s, front::Text name, front::Position at, Shape* out) {
    uint8_t id;
    if (rtMethodByName(name.data, size_t(name.length), &id)) {
        *out = Shape{};
        out->kind = ShapeKind::rtMethod;
        out->rtMethod = id;
        return Status::ok;
    }
    if (named(name, "receiver") || named(name, "varargs")) {
        bool receiver = named(name, "receiver");
        llvmapi::ValueRef slot = receiver ? e->receiverSlot : e->extraArgumentsSlot;
        if (e->modes.runtimeFrameLookup && slot) {
            // A helper compiled out of line gets them as pointers that may be null.
            Operand o;
            if (Status err = valueOrDefault(e, slot, receiver ? noneShape() : emptyTuple(), &o);
                err != Status::ok)
                return err;
            *out = dynShape(o);
            return Status::ok;
        }
        if (!slot) {
            *out = receiver ? noneShape() : emptyTuple();
            return Status::ok;
        }
        return slotValue(e, slot, receiver ? KnownKind::unknown : KnownKind::tuple, out);
    }
    if (named(name, "path")) {
        const driver::CompileInputs* inputs = e->compiler->inputs;
        if (!inputs) return refuseConstruct(e, "rt.path without a program");
        *out = inputs->path ? strShape(inputs->path, inputs->pathLength) : noneShape();
        return Status::ok;
    }
    if (named(name, "context")) {
        llvmapi::ValueRef args[2] = {e->runContext, e->scratch};
        llvmapi::ValueRef ok;
        if (Status err = callHelper(e, "wn_context", args, 2, &ok); err != Status::ok) return err;
        if (Status err = checkOk(e, ok); err != Status::ok) return err;
        *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
        return Status::ok;
    }
    if (named(name, "Throw")) return throwClass(e, out);
    return compileError(e, s, at, "rt has no '", name, "' in compiled code");
}

Status controlRead(Emitter* e, Semantic* s, const Shape& control, front::Text name,
                   front::Position at, Shape* out) {
    if (!named(name, "args")) {
        front::Text kind{rtMethodName(control.control.method), 0};
        kind.length = strlen(kind.data);
        Status err = attrs::beginAt(e, s, at);
        backend::List<char>* message = &e->compiler->message;
        if (err == Status::ok) err = appendText(message, "'");
        if (err == Status::ok) err = appendText(message, name.data, size_t(name.length));
        if (err == Status::ok) err = appendText(message, "' of a caught rt.");
        if (err == Status::ok) err = appendText(message, kind.data, size_t(kind.length));
        if (err == Status::ok) err = appendText(message, " isn't compiled (`.args` is)");
        return err == Status::ok ? Status::unsupported : err;
    }
    if (!control.control.argument) {
        *out = emptyTuple();
        return Status::ok;
    }
    Shape* items = takeArray<Shape>(e->compiler, 1);
    if (!items) return Status::outOfMemory;
    if (Status err = ownCopy(e, *control.control.argument, &items[0]); err != Status::ok)
        return err;
    out->kind = ShapeKind::tuple;
    out->tuple.items = items;
    out->tuple.count = 1;
    return Status::ok;
}

// A run-time read: a record field when a record class of the module has the name, else
// wn_getattr (which answers node fields natively).
Status dynRead(Emitter* e, Semantic* s, Operand object, front::Text name, Shape* out) {
    FieldCandidate* candidates = nullptr;
    uint64_t count = 0;
    PyObject* fn = s && s->function ? s->function->function : nullptr;
    if (fn) {
        if (Status err = recordClassesWithField(e->compiler, fn, name, false, &candidates, &count);
            err != Status::ok)
            return err;
    }
    if (count) return emitRecordField(e, s, &object, name, candidates, count, false, out);
    Operand result;
    if (Status err = emitGetAttrGeneric(e, s, &object, name, &result); err != Status::ok)
        return err;
    *out = dynShape(result);
    return Status::ok;
}

// The attribute read from the object when the code runs.
Status atRunTime(Emitter* e, Semantic* s, const Shape& object, front::Text name, Shape* out) {
    Operand o;
    if (Status err = materialize(e, object, s ? s->site : 0, &o); err != Status::ok) return err;
    return dynRead(e, s, o, name, out);
}

// An attribute of a Python object known while compiling.
Status pyRead(Emitter* e, Semantic* s, const Shape& object, front::Text name, Shape* out) {
    Compiler* c = e->compiler;
    int stable = front::isStable(object.py);
    if (stable < 0) return Status::pythonError;
    if (stable) {
        PyObject* key = PyUnicode_DecodeUTF8(name.data, Py_ssize_t(name.length), "replace");
        if (!key) return Status::pythonError;
        PyObject* value = PyObject_GetAttr(object.py, key);
        Py_DECREF(key);
        // A failing read (a module attribute that isn't there) would stop the whole compiled
        // run before it starts: the read is left to run time instead, where it fails at the
        // node whose semantic reads it, if the run gets there, as in the reference mode.
        if (!value && !PyErr_ExceptionMatches(PyExc_Exception)) return Status::pythonError;
        if (!value) PyErr_Clear();
        if (!value) return atRunTime(e, s, object, name, out);
        Shape shape;
        Status err = fromPython(c, value, &shape);
        if (err == Status::ok && shape.kind != ShapeKind::py) {
            Py_DECREF(value);
            *out = shape;
            return Status::ok;
        }
        int keep = err == Status::ok ? (PyLong_Check(value) ? 1 : front::isStable(value)) : 0;
        if (keep == 1) err = pinObject(c, value, nullptr);
        Py_DECREF(value);
        if (err != Status::ok) return err;
        if (keep < 0) return Status::pythonError;
        if (keep) {
            *out = shape;
            return Status::ok;
        }
    }
    // It may change before the run: read from the object itself then.
    return atRunTime(e, s, object, name, out);
}

}  // namespace

Status emitGetAttrGeneric(Emitter* e, Semantic* s, Operand* object, front::Text name,
                          Operand* out) {
    llvmapi::ValueRef literal;
    if (Status err = literalGlobal(&e->compiler->module, name.data, size_t(name.length), &literal);
        err != Status::ok)
        return err;
    llvmapi::ValueRef args[6] = {e->runContext,   attrs::site(e, s), object->tag,
                                 object->payload, literal,           e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_getattr", args, 6, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(*object)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, KnownKind::unknown);
    return Status::ok;
}

Status emitAttribute(Emitter* e, Semantic* s, Shape* object, front::Text name, front::Position at,
                     Shape* out) {
    switch (object->kind) {
    case ShapeKind::node: return nodeRead(e, s, object->node, name, at, out);
    case ShapeKind::rt: return rtRead(e, s, name, at, out);
    case ShapeKind::py: return pyRead(e, s, *object, name, out);
    case ShapeKind::control: return controlRead(e, s, *object, name, at, out);
    case ShapeKind::dyn: return dynRead(e, s, object->dyn, name, out);
    default: {
        const char* kind = kindName(object->kind);
        Status err = attrs::beginAt(e, s, at);
        backend::List<char>* message = &e->compiler->message;
        if (err == Status::ok) err = appendText(message, "'");
        if (err == Status::ok) err = appendText(message, name.data, size_t(name.length));
        if (err == Status::ok) err = appendText(message, "' of a ");
        if (err == Status::ok) err = appendText(message, kind);
        if (err == Status::ok)
            err = appendText(message, " isn't compiled yet (only called, as a method)");
        return err == Status::ok ? Status::unsupported : err;
    }
    }
}

}  // namespace wuna::compile
