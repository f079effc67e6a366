// Displays and constants made while compiling (see expression_parts.h): Python constants as
// pinned objects, tuples of shapes, lists and dicts made while compiling (built at run time
// only where a run-time value is needed, or from the start when an earlier attempt saw them
// escape run-time control flow), dicts with run-time keys and sets built by their helpers,
// and comprehensions handed to the loop lowering.
#include "compiler/codegen/expression_parts.h"
#include "compiler/codegen/statements_flow.h"

namespace wuna::compile {

namespace {

using front::Expr;

// Compiles the expressions left to right into an arena array, each kept live while the later
// ones compile (the caller's mark resets the list).
Status compileItems(Emitter* e, Semantic* s, front::ExprList items, Shape** out) {
    Shape* shapes = takeArray<Shape>(e->compiler, items.count);
    if (!shapes) return Status::outOfMemory;
    for (uint64_t i = 0; i < items.count; i++)
        if (Status err = emitSubExpr(e, s, items.items[i], &shapes[i]); err != Status::ok)
            return err;
    *out = shapes;
    return Status::ok;
}

// The dict takes the entry: an equal key keeps its first place and takes the new value (the
// old one released), as a dict display does; a new key goes at the end. pythonKeys holds the
// Python objects of the keys already in the dict (new references; the caller releases them).
Status putEntry(Emitter* e, front::DictRecord* dict, PyObject** pythonKeys, const Shape& key,
                const Shape& value) {
    PyObject* candidate;
    if (Status err = toPython(e->compiler, key, &candidate); err != Status::ok) return err;
    for (uint64_t i = 0; i < dict->keyLength; i++) {
        int equal = PyObject_RichCompareBool(pythonKeys[i], candidate, Py_EQ);
        if (equal < 0) {
            Py_DECREF(candidate);
            return Status::pythonError;
        }
        if (!equal) continue;
        Py_DECREF(candidate);
        if (Status err = release(e, dict->values[i]); err != Status::ok) return err;
        dict->values[i] = value;
        return Status::ok;
    }
    uint64_t at = dict->keyLength;
    if (Status err = front::appendEntry(e->compiler, dict, key, value); err != Status::ok) {
        Py_DECREF(candidate);
        return err;
    }
    pythonKeys[at] = candidate;
    return Status::ok;
}

Status comptimeDict(Emitter* e, const Shape* keys, const Shape* values, uint64_t n,
                    front::DictRecord* dict) {
    PyObject** pythonKeys = takeArray<PyObject*>(e->compiler, n);
    if (!pythonKeys) return Status::outOfMemory;
    Status err = Status::ok;
    for (uint64_t i = 0; i < n && err == Status::ok; i++)
        err = putEntry(e, dict, pythonKeys, keys[i], values[i]);
    for (uint64_t i = 0; i < dict->keyLength; i++) Py_XDECREF(pythonKeys[i]);
    return err;
}

// wn_dict over the compiled keys and values, in order: an equal key is the dict's to settle
// when it runs, as Python's display does.
Status runtimeDict(Emitter* e, Semantic* s, front::DictRecord* dict, const Shape* keys,
                   const Shape* values, uint64_t n, Shape* out) {
    for (uint64_t i = 0; i < n; i++)
        if (Status err = front::appendEntry(e->compiler, dict, keys[i], values[i]);
            err != Status::ok)
            return err;
    Operand o;
    if (Status err = dictLiteral(e, dict, s->site, &o); err != Status::ok) return err;
    *out = dynShape(o);
    return Status::ok;
}

}  // namespace

Status emitObjectConstant(Emitter* e, PyObject* object, Shape* out) {
    if (Status err = pinObject(e->compiler, object, nullptr); err != Status::ok) return err;
    Shape s{};
    s.kind = ShapeKind::py;
    s.py = object;
    *out = s;
    return Status::ok;
}

Status emitTupleDisplay(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    LiveMark mark(e);
    Shape* items;
    if (Status err = compileItems(e, s, expr->tuple, &items); err != Status::ok) return err;
    Shape t{};
    t.kind = ShapeKind::tuple;
    t.tuple.items = items;
    t.tuple.count = expr->tuple.count;
    *out = t;
    return Status::ok;
}

Status emitListDisplay(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    front::ListRecord* list = front::newListRecord(e->compiler);
    if (!list) return Status::outOfMemory;
    list->literal = expr;
    {
        LiveMark mark(e);
        Shape* items;
        if (Status err = compileItems(e, s, expr->list, &items); err != Status::ok) return err;
        for (uint64_t i = 0; i < expr->list.count; i++)
            if (Status err = front::appendItem(e->compiler, list, items[i]); err != Status::ok)
                return err;
    }
    Shape shape{};
    shape.kind = ShapeKind::list;
    shape.list = list;
    if (Status err = placeDisplay(e, expr, s->site, &shape); err != Status::ok) return err;
    // Dropped after the statement when nothing took it (its run-time items released).
    if (Status err = trackContainer(s, shape); err != Status::ok) return err;
    *out = shape;
    return Status::ok;
}

Status emitDictDisplay(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    uint64_t n = expr->dict.keys.count;
    front::DictRecord* dict = front::newDictRecord(e->compiler);
    Shape* keys = takeArray<Shape>(e->compiler, n);
    Shape* values = takeArray<Shape>(e->compiler, n);
    if (!dict || !keys || !values) return Status::outOfMemory;
    dict->literal = expr;
    bool atRunTime = false;
    {
        // Python evaluates key, value, key, value ... before anything is stored.
        LiveMark mark(e);
        for (uint64_t i = 0; i < n; i++) {
            if (Status err = emitSubExpr(e, s, expr->dict.keys.items[i], &keys[i]);
                err != Status::ok)
                return err;
            if (Status err = emitSubExpr(e, s, expr->dict.values.items[i], &values[i]);
                err != Status::ok)
                return err;
            atRunTime = atRunTime || keys[i].kind == ShapeKind::dyn || !isConstant(keys[i]);
        }
    }
    if (atRunTime) return runtimeDict(e, s, dict, keys, values, n, out);
    if (Status err = comptimeDict(e, keys, values, n, dict); err != Status::ok) return err;
    Shape shape{};
    shape.kind = ShapeKind::dict;
    shape.dict = dict;
    if (Status err = placeDisplay(e, expr, s->site, &shape); err != Status::ok) return err;
    // Dropped after the statement when nothing took it (its run-time items released).
    if (Status err = trackContainer(s, shape); err != Status::ok) return err;
    *out = shape;
    return Status::ok;
}

Status emitSetDisplay(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    uint64_t n = expr->set.elements.count;
    Shape* items;
    {
        LiveMark mark(e);
        if (Status err = compileItems(e, s, expr->set.elements, &items); err != Status::ok)
            return err;
    }
    ValueRef array;
    if (Status err = valueArray(e, items, n, s->site, &array); err != Status::ok) return err;
    ValueRef args[6] = {e->runContext,
                        siteValue(e, s->site),
                        array,
                        constI64(e, n),
                        constI32(e, expr->set.folded & 1),
                        e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_set", args, 6, &ok); err != Status::ok) return err;
    if (Status err = releaseSlots(e, array, n); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

Status emitComprehensionExpr(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    Shape result;
    if (Status err = emitComprehension(e, s, expr, &result); err != Status::ok) return err;
    if (expr->kind == front::ExprKind::listComp || expr->kind == front::ExprKind::generatorExp) {
        if (Status err = placeDisplay(e, expr, s->site, &result); err != Status::ok) return err;
        if (Status err = trackContainer(s, result); err != Status::ok) return err;
    }
    *out = result;
    return Status::ok;
}

Status placeDisplay(Emitter* e, const Expr* display, int32_t site, Shape* shape) {
    if (shape->kind != ShapeKind::list && shape->kind != ShapeKind::dict) return Status::ok;
    if (shape->kind == ShapeKind::list) {
        shape->list->literal = display;
        shape->list->word = uint32_t(site);
    } else {
        shape->dict->literal = display;
        shape->dict->word = uint32_t(site);
    }
    const EscapedSites* escaped = e->compiler->escapedSites;
    if (!escaped || escaped->keys.count == 0) return Status::ok;
    EscapedSite key{display, e->functionIdentity, site};
    if (escapedSiteIndex(escaped, key) == kNotEscaped) return Status::ok;
    Operand o;
    if (Status err = materialize(e, *shape, site, &o); err != Status::ok) return err;
    *shape = dynShape(o);
    return Status::ok;
}

}  // namespace wuna::compile
