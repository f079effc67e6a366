// Assignment targets: where an assignment, a for loop or a with item stores its value.
#include "compiler/front/lower.h"

namespace wuna::front {

namespace {

Status lowerElements(Lowering& lowering, PyObject* node, Target* out) {
    PyObject* elts = PyObject_GetAttrString(node, "elts");
    if (!elts) return Status::pythonError;
    Status s = Status::ok;
    Py_ssize_t count = PyList_Check(elts) ? PyList_GET_SIZE(elts) : -1;
    Target* items = count >= 0 ? takeArray<Target>(arenaOf(lowering), size_t(count)) : nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_TypeError, "elts must be a list");
        s = Status::pythonError;
    } else if (!items) {
        s = Status::outOfMemory;
    }
    for (Py_ssize_t i = 0; s == Status::ok && i < count; i++)
        s = lowerTarget(lowering, PyList_GET_ITEM(elts, i), &items[i]);
    Py_DECREF(elts);
    if (s != Status::ok) return s;
    out->kind = TargetKind::tuple;
    out->tuple = TargetList{items, uint64_t(count)};
    return Status::ok;
}

}  // namespace

Status lowerTarget(Lowering& lowering, PyObject* node, Target* out) {
    *out = Target{};
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    ClassName kind;
    if (Status s = className(node, &kind); s != Status::ok) return s;
    if (kind.is("Name")) {
        Text name;
        if (Status s = nameAttr(lowering, node, "id", &name); s != Status::ok) return s;
        if (hasName(lowering.globals, name)) {
            out->kind = TargetKind::global;
            out->global = name;
            return Status::ok;
        }
        out->kind = TargetKind::local;
        if (findLocal(lowering, name, &out->local)) return Status::ok;
        return localIndex(lowering, name, &out->local);
    }
    if (kind.is("Attribute")) {
        out->kind = TargetKind::attribute;
        if (Status s = lowerExprAttr(lowering, node, "value", &out->attribute.object);
            s != Status::ok)
            return s;
        return nameAttr(lowering, node, "attr", &out->attribute.name);
    }
    if (kind.is("Subscript")) {
        PyObject* slice = PyObject_GetAttrString(node, "slice");
        if (!slice) return Status::pythonError;
        ClassName sliceKind;
        Status s = className(slice, &sliceKind);
        if (s == Status::ok && sliceKind.is("Slice"))
            s = refuse(lowering, position, "assigning to a slice can't be compiled");
        out->kind = TargetKind::item;
        if (s == Status::ok) s = lowerExprAttr(lowering, node, "value", &out->item.object);
        if (s == Status::ok) s = lowerExpr(lowering, slice, &out->item.index);
        Py_DECREF(slice);
        return s;
    }
    if (kind.is("Tuple") || kind.is("List")) return lowerElements(lowering, node, out);
    return refuse(lowering, position, {"assigning to ", kind.view(), " can't be compiled"});
}

}  // namespace wuna::front
