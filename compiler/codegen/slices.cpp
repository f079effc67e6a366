// object[lower:upper:step] (see expression_parts.h): folded with Python when everything is a
// constant, cut out of a list made while compiling when the bounds are constants, else one
// call of wn_slice, which slices strs by code point, bytes, lists, tuples and Python objects.
#include "compiler/codegen/expression_parts.h"
#include "compiler/codegen/statements_flow.h"

namespace wuna::compile {

namespace {

using front::Expr;

// The bound's shape; an absent bound is None.
Status compileBound(Emitter* e, Semantic* s, const Expr* bound, bool live, Shape* out) {
    if (!bound) {
        *out = noneShape();
        return Status::ok;
    }
    return live ? emitSubExpr(e, s, bound, out) : emitExpr(e, s, bound, out);
}

bool allConstant(const Shape* shapes, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (shapes[i].kind == ShapeKind::dyn || !isConstant(shapes[i])) return false;
    return true;
}

// The constant sliced now: *folded false (no Python error left) when Python raised.
Status foldSlice(Emitter* e, const Shape parts[4], Shape* out, bool* folded) {
    *folded = false;
    PyObject* object;
    if (Status err = toPython(e->compiler, parts[0], &object); err != Status::ok) return err;
    PyObject* slice;
    if (Status err = constantSlice(e, parts[1], parts[2], parts[3], &slice); err != Status::ok) {
        Py_DECREF(object);
        return err;
    }
    PyObject* item = PyObject_GetItem(object, slice);
    Py_DECREF(slice);
    Py_DECREF(object);
    if (!item) {
        // Raised again, with the reference mode's words, when the code runs.
        PyErr_Clear();
        return Status::ok;
    }
    Status err = fromPython(e->compiler, item, out);
    Py_DECREF(item);
    *folded = err == Status::ok;
    return err;
}

// The list made while compiling cut by constant bounds into a new one whose items own their
// own references; *cut false when the bounds don't make a slice (a zero step).
Status cutList(Emitter* e, Semantic* s, const Shape parts[4], Shape* out, bool* cut) {
    *cut = false;
    PyObject* slice;
    if (Status err = constantSlice(e, parts[1], parts[2], parts[3], &slice); err != Status::ok)
        return err;
    Py_ssize_t start, stop, step;
    int unpacked = PySlice_Unpack(slice, &start, &stop, &step);
    Py_DECREF(slice);
    if (unpacked < 0) {
        PyErr_Clear();
        return Status::ok;
    }
    front::ListRecord* from = parts[0].list;
    Py_ssize_t n = PySlice_AdjustIndices(Py_ssize_t(from->length), &start, &stop, step);
    front::ListRecord* list = front::newListRecord(e->compiler);
    if (!list) return Status::outOfMemory;
    for (Py_ssize_t k = 0; k < n; k++) {
        Shape item;
        if (Status err = ownCopy(e, from->items[start + k * step], &item); err != Status::ok)
            return err;
        if (Status err = front::appendItem(e->compiler, list, item); err != Status::ok) return err;
    }
    *out = scalarShape(ShapeKind::list);
    out->list = list;
    *cut = true;
    return trackContainer(s, *out);
}

Status runtimeSlice(Emitter* e, Semantic* s, const Shape parts[4], Shape* out) {
    Operand o[4];
    for (int i = 0; i < 4; i++)
        if (Status err = materialize(e, parts[i], s->site, &o[i]); err != Status::ok) return err;
    ValueRef args[11] = {e->runContext, siteValue(e, s->site), o[0].tag,  o[0].payload,
                         o[1].tag,      o[1].payload,          o[2].tag,  o[2].payload,
                         o[3].tag,      o[3].payload,          e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_slice", args, 11, &ok); err != Status::ok) return err;
    for (int i = 0; i < 4; i++)
        if (Status err = release(e, dynShape(o[i])); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

}  // namespace

Status constantSlice(Emitter* e, const Shape& lower, const Shape& upper, const Shape& step,
                     PyObject** out) {
    PyObject* bounds[3] = {};
    const Shape* shapes[3] = {&lower, &upper, &step};
    Status err = Status::ok;
    for (int i = 0; i < 3 && err == Status::ok; i++)
        err = toPython(e->compiler, *shapes[i], &bounds[i]);
    PyObject* slice = nullptr;
    if (err == Status::ok) {
        slice = PySlice_New(bounds[0], bounds[1], bounds[2]);
        if (!slice) err = Status::pythonError;
    }
    for (PyObject* bound : bounds) Py_XDECREF(bound);
    *out = slice;
    return err;
}

Status emitSlice(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    Shape parts[4];  // object, lower, upper, step
    {
        LiveMark mark(e);
        if (Status err = emitSubExpr(e, s, expr->slice.object, &parts[0]); err != Status::ok)
            return err;
        if (Status err = compileBound(e, s, expr->slice.lower, true, &parts[1]); err != Status::ok)
            return err;
        if (Status err = compileBound(e, s, expr->slice.upper, true, &parts[2]); err != Status::ok)
            return err;
        if (Status err = compileBound(e, s, expr->slice.step, false, &parts[3]); err != Status::ok)
            return err;
    }
    if (allConstant(parts, 4)) {
        bool folded;
        if (Status err = foldSlice(e, parts, out, &folded); err != Status::ok || folded) return err;
    }
    if (parts[0].kind == ShapeKind::list && allConstant(parts + 1, 3)) {
        bool cut;
        if (Status err = cutList(e, s, parts, out, &cut); err != Status::ok || cut) return err;
    }
    return runtimeSlice(e, s, parts, out);
}

}  // namespace wuna::compile
