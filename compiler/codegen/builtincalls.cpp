// Builtins compiled at the call site, before any general road: print writes through one
// helper with its stream chosen while compiling, sorted and the method sort go to the sorting
// helper. A generator expression given to a call is compiled only as its consumer uses it:
// drained into a list by list, tuple, set, sum, sorted, min, max and str.join; all/any stop
// at the first deciding element, which a list made first would not (its items evaluated up
// front could raise where Python never looks): the comprehension lowering's deciding loop;
// any other consumer may keep the generator.
#include <cstring>
#include <initializer_list>

#include "compiler/codegen/calls_shared.h"

namespace wuna::compile {

namespace {

using calls::callError;
using calls::keepLive;
using calls::LiveMark;

// sys.stdout (1), sys.stderr (2), or 0 for any other file= expression: the attribute of the
// module global sys of the semantic's module, recognised without compiling it.
int standardStream(Semantic* s, const front::Expr* value) {
    if (value->kind != front::ExprKind::attribute) return 0;
    const front::Expr* object = value->attribute.object;
    if (object->kind != front::ExprKind::global || !front::textIs(object->global, "sys")) return 0;
    int stream = front::textIs(value->attribute.name, "stdout")   ? 1
                 : front::textIs(value->attribute.name, "stderr") ? 2
                                                                  : 0;
    if (!stream || !s->function || !s->function->function) return 0;
    PyObject* globals = PyObject_GetAttrString(s->function->function, "__globals__");
    PyObject* sys = PyImport_ImportModule("sys");
    PyObject* named = globals && PyDict_Check(globals) ? PyDict_GetItemString(globals, "sys")
                                                       : nullptr;
    bool same = sys && named == sys;
    Py_XDECREF(globals);
    Py_XDECREF(sys);
    PyErr_Clear();
    return same ? stream : 0;
}

}  // namespace

namespace calls {

Status tryPrint(Emitter* e, Semantic* s, const front::KeywordList& keywords, Gathered* args,
                const LiveMark& live, bool* handled, Shape* out) {
    *handled = false;
    int stream = 1;
    for (uint64_t k = 0; k < keywords.count; k++) {
        const front::Keyword& kw = keywords.items[k];
        if (front::textIs(kw.name, "file")) {
            stream = standardStream(s, kw.value);
            if (!stream) return Status::ok;
        } else if (!front::textIs(kw.name, "flush") && !front::textIs(kw.name, "sep") &&
                   !front::textIs(kw.name, "end")) {
            return Status::ok;
        }
    }
    *handled = true;
    Shape sep = noneShape(), end = noneShape();
    for (uint64_t k = 0; k < keywords.count; k++) {
        const front::Keyword& kw = keywords.items[k];
        if (front::textIs(kw.name, "file")) continue;
        Shape value;
        if (front::textIs(kw.name, "flush")) {
            // Dropped at once, so never live: an error exit further on must not release it
            // again.
            if (Status err = emitExpr(e, s, kw.value, &value); err != Status::ok) return err;
            if (Status err = release(e, value); err != Status::ok) return err;
            continue;
        }
        if (Status err = emitSubExpr(e, s, kw.value, &value); err != Status::ok) return err;
        if (front::textIs(kw.name, "sep")) {
            sep = value;
        } else {
            end = value;
        }
    }
    live.cut();
    uint64_t count = args->runTime ? 0 : args->shapes.count;
    ValueRef array;
    if (Status err = valueArray(e, args->shapes.items, count, s->site, &array); err != Status::ok)
        return err;
    Operand sepValue, endValue;
    if (Status err = materialize(e, sep, s->site, &sepValue); err != Status::ok) return err;
    if (Status err = materialize(e, end, s->site, &endValue); err != Status::ok) return err;
    ValueRef listTag = args->runTime ? args->list.tag : constI64(e, 0);
    ValueRef listPayload = args->runTime ? args->list.payload : constI64(e, 0);
    ValueRef call[12] = {e->runContext,   siteValue(e, s->site), constI32(e, stream), array,
                         constI64(e, count), listTag,           listPayload,         sepValue.tag,
                         sepValue.payload, endValue.tag,        endValue.payload,    e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_print", call, 12, &ok); err != Status::ok) return err;
    if (Status err = releaseSlots(e, array, count); err != Status::ok) return err;
    if (args->runTime)
        if (Status err = release(e, dynShape(args->list)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(sepValue)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(endValue)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::none));
    return Status::ok;
}

// key= and reverse= of sorted and sort; what names any other keyword.
static Status sortKeywords(Emitter* e, Semantic* s, const front::KeywordList& keywords,
                           const char* what, front::Position at, Shape* key, Shape* reverse) {
    *key = noneShape();
    *reverse = noneShape();
    reverse->kind = ShapeKind::bool_;
    reverse->bool_ = 0;
    for (uint64_t k = 0; k < keywords.count; k++) {
        const front::Keyword& kw = keywords.items[k];
        Shape* slot = front::textIs(kw.name, "key")       ? key
                      : front::textIs(kw.name, "reverse") ? reverse
                                                          : nullptr;
        if (!slot) return callError(e, s, at, what, kw.name);
        if (Status err = emitSubExpr(e, s, kw.value, slot); err != Status::ok) return err;
    }
    return Status::ok;
}

Status lowerSortedCall(Emitter* e, Semantic* s, const front::KeywordList& keywords, Shape* items,
                       const LiveMark& live, front::Position at, Shape* out) {
    Shape key, reverse;
    if (Status err = sortKeywords(e, s, keywords, "sorted() has no argument ", at, &key, &reverse);
        err != Status::ok)
        return err;
    live.cut();
    return emitSorted(e, s, items, &key, &reverse, 0, out);
}

Status lowerSortMethod(Emitter* e, Semantic* s, Shape* receiver, const front::KeywordList& keywords,
                       const LiveMark& live, front::Position at, Shape* out) {
    if (Status err = keepLive(e, *receiver); err != Status::ok) return err;
    Shape key, reverse;
    if (Status err = sortKeywords(e, s, keywords, "sort() has no argument ", at, &key, &reverse);
        err != Status::ok)
        return err;
    live.cut();
    return emitSorted(e, s, receiver, &key, &reverse, 1, out);
}

Status tryOneArgumentBuiltin(Emitter* e, Semantic* s, PyObject* callee,
                             const front::Expr* argument, const LiveMark& live, front::Position at,
                             bool* handled, Shape* out) {
    (void)at;
    *handled = false;
    // The callee (a Python object) stays on the live temporaries: it holds nothing to release.
    if (isBuiltinNamed(callee, "len")) return lowerUtf8Len(e, s, argument, handled, out);
    if (argument->kind != front::ExprKind::generatorExp) return Status::ok;
    GeneratorUse use = generatorUse(callee, nullptr);
    if (use != GeneratorUse::any && use != GeneratorUse::all) return Status::ok;
    *handled = true;
    live.cut();
    return drainedGenerator(e, s, argument, callee, nullptr, out);
}

GeneratorUse generatorUse(PyObject* callee, const char* method) {
    if (method) return strcmp(method, "join") == 0 ? GeneratorUse::list : GeneratorUse::kept;
    if (!callee) return GeneratorUse::kept;
    if (isBuiltinNamed(callee, "any")) return GeneratorUse::any;
    if (isBuiltinNamed(callee, "all")) return GeneratorUse::all;
    for (const char* name : {"list", "tuple", "set", "sum", "sorted", "min", "max"})
        if (isBuiltinNamed(callee, name)) return GeneratorUse::list;
    return GeneratorUse::kept;
}

Status drainedGenerator(Emitter* e, Semantic* s, const front::Expr* generator, PyObject* callee,
                        const char* method, Shape* out) {
    switch (generatorUse(callee, method)) {
    case GeneratorUse::kept:
        return refuseConstruct(e, "a generator expression its consumer doesn't drain at once");
    case GeneratorUse::any:
        // Its items are read only up to the deciding one: the comprehension lowering's
        // deciding loop, not a list made first.
        return emitDrainedGenerator(e, s, generator, Drain::any, out);
    case GeneratorUse::all: return emitDrainedGenerator(e, s, generator, Drain::all, out);
    case GeneratorUse::list: break;
    }
    return emitDrainedGenerator(e, s, generator, Drain::list, out);
}

}  // namespace calls

Status emitSorted(Emitter* e, Semantic* s, Shape* items, Shape* key, Shape* reverse,
                  uint32_t inPlace, Shape* out) {
    // Sorting a list made while compiling in place changes a compile-time container, which
    // the statement lowering tracks; not built here yet.
    if (inPlace && items->kind != ShapeKind::dyn)
        return refuseConstruct(e, "sorting a list known while compiling in place");
    Operand list, keyValue, reverseValue;
    if (Status err = materialize(e, *items, s->site, &list); err != Status::ok) return err;
    if (Status err = materialize(e, *key, s->site, &keyValue); err != Status::ok) return err;
    if (Status err = materialize(e, *reverse, s->site, &reverseValue); err != Status::ok)
        return err;
    ValueRef call[10] = {e->runContext,    siteValue(e, s->site), list.tag,
                         list.payload,     keyValue.tag,          keyValue.payload,
                         reverseValue.tag, reverseValue.payload,  constI32(e, int32_t(inPlace)),
                         e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_sorted", call, 10, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(reverseValue)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(keyValue)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(list)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, inPlace ? KnownKind::none : KnownKind::list));
    return Status::ok;
}

}  // namespace wuna::compile
