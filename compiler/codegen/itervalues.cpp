// zip, enumerate and range as values. A small range of constant ints (16 items at most) is a
// list made while compiling; any other range is left to the general roads.
//
// zip() and enumerate() are lazy iterators in Python, and a program may rely on that: next()
// on one, a second pass that finds it spent, an endless input of which only a few items are
// ever read. A list gives the same items only where the value is iterated once, at once, and
// then dropped, and only when every input is a finite container that reading does not use up.
// So the call becomes a list only where a consumer marked it as iterated at once
// (IteratedAtOnce) and its inputs are lists, tuples, strs, bytes, dicts or sets; everywhere
// else it is refused and the semantic runs as Python. Inputs known while compiling give a
// list made while compiling; the others an emitted loop that builds a run-time list of tuples.
#include <initializer_list>

#include "compiler/codegen/builtins_shared.h"
#include "compiler/codegen/calls_shared.h"
#include "compiler/codegen/statements_flow.h"
#include "compiler/front/stable.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using llvmapi::BasicBlockRef;
using llvmapi::ValueRef;

// More than 16 items stay a run-time range: a list made while compiling would unroll them.
constexpr int64_t kRangeItems = 16;
// A zip of more arguments is never built while compiling.
constexpr uint64_t kZipArguments = 8;

// The expression a consumer is iterating at once, and the emitter compiling it. Only the
// compiling thread touches it, under the interpreter lock.
struct AtOnce {
    const Emitter* emitter;
    const front::Expr* expr;
};
AtOnce atOnce{nullptr, nullptr};

Shape pintShape(int64_t value) {
    Shape s{};
    s.kind = ShapeKind::pint;
    s.int_ = value;
    return s;
}

Status newList(Emitter* e, Semantic* s, Shape* out) {
    front::ListRecord* list = front::newListRecord(e->compiler);
    if (!list) return Status::outOfMemory;
    *out = Shape{};
    out->kind = ShapeKind::list;
    out->list = list;
    return trackContainer(s, *out);
}

// The items of a list made while compiling or of a tuple shape; false for other shapes.
bool knownItems(const Shape& shape, Shape** items, uint64_t* count) {
    if (shape.kind == ShapeKind::list && shape.list) {
        *items = shape.list->items;
        *count = shape.list->length;
        return true;
    }
    if (shape.kind == ShapeKind::tuple) {
        *items = shape.tuple.items;
        *count = shape.tuple.count;
        return true;
    }
    return false;
}

// Whether reading the value's items gives them all without using it up or running forever.
bool finiteContainer(const Shape& shape) {
    switch (shape.kind) {
    case ShapeKind::list:
    case ShapeKind::tuple:
    case ShapeKind::str:
    case ShapeKind::dict:
        return true;
    case ShapeKind::dyn:
        return shape.dyn.kind == KnownKind::list || shape.dyn.kind == KnownKind::tuple ||
               shape.dyn.kind == KnownKind::str || shape.dyn.kind == KnownKind::dict;
    case ShapeKind::py: {
        PyTypeObject* t = Py_TYPE(shape.py);
        return t == &PyList_Type || t == &PyTuple_Type || t == &PyUnicode_Type ||
               t == &PyBytes_Type || t == &PyDict_Type || t == &PySet_Type ||
               t == &PyFrozenSet_Type || t == &PyRange_Type;
    }
    default:
        return false;
    }
}

// zip or enumerate built while compiling: tuples of copies of the items.
Status buildKnown(Emitter* e, Semantic* s, bool zip, Shape* args, uint64_t count, Shape* out) {
    Compiler* c = e->compiler;
    uint64_t length = count ? UINT64_MAX : 0;
    for (uint64_t k = 0; k < count; k++) {
        Shape* items = nullptr;
        uint64_t n = 0;
        (void)knownItems(args[k], &items, &n);
        if (n < length) length = n;
    }
    if (Status err = newList(e, s, out); err != Status::ok) return err;
    uint64_t width = zip ? count : 2;
    for (uint64_t i = 0; i < length; i++) {
        Shape* tuple = takeArray<Shape>(c, width);
        if (!tuple) return Status::outOfMemory;
        if (!zip) tuple[0] = pintShape(int64_t(i));
        for (uint64_t k = 0; k < count; k++) {
            Shape* items = nullptr;
            uint64_t n = 0;
            (void)knownItems(args[k], &items, &n);
            if (Status err = ownCopy(e, items[i], &tuple[zip ? k : 1]); err != Status::ok)
                return err;
        }
        Shape item{};
        item.kind = ShapeKind::tuple;
        item.tuple.items = tuple;
        item.tuple.count = width;
        if (Status err = front::appendItem(c, out->list, item); err != Status::ok) return err;
    }
    // The arguments' own tuples give up their run-time items (the copies hold their own).
    for (uint64_t k = 0; k < count; k++)
        if (args[k].kind == ShapeKind::tuple)
            if (Status err = release(e, args[k]); err != Status::ok) return err;
    return Status::ok;
}

// "<prefix>enumerate() with a start isn't compiled yet".
Status enumerateStartError(Emitter* e, Semantic* s, front::Position at) {
    return calls::callError(e, s, at, "enumerate() with a start isn't compiled yet");
}

ValueRef element(Emitter* e, ValueRef array, ValueRef index) {
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.valuePair, array,
                                   &index, 1, "");
}

ValueRef loadI64(Emitter* e, ValueRef address) {
    openBlock(&e->builder);
    ValueRef v = T.LLVMBuildLoad2(e->builder.builder, e->compiler->module.i64, address, "");
    T.LLVMSetAlignment(v, 8);
    return v;
}

}  // namespace

IteratedAtOnce::IteratedAtOnce(Emitter* e, const front::Expr* expr)
    : savedEmitter_(atOnce.emitter), savedExpr_(atOnce.expr) {
    atOnce = AtOnce{e, expr};
}

IteratedAtOnce::~IteratedAtOnce() { atOnce = AtOnce{savedEmitter_, savedExpr_}; }

bool iteratesArgumentsAtOnce(const Emitter* e, PyObject* callee, uint64_t count,
                             front::Position at) {
    if (count == 1)
        for (const char* name : {"list", "tuple", "set", "frozenset", "dict", "sorted", "sum",
                                 "min", "max"})
            if (front::isBuiltin(callee, name)) return true;
    // A zip or enumerate made a list reads each input through once, there and then.
    return (front::isBuiltin(callee, "zip") || front::isBuiltin(callee, "enumerate")) &&
           builtins::iteratedAtOnce(e, at);
}

namespace builtins {

bool iteratedAtOnce(const Emitter* e, front::Position at) {
    const front::Expr* x = atOnce.expr;
    // The marked expression is this very call: a call at the same place whose callee is no
    // call itself (f(a)(b) starts where f(a) does).
    return atOnce.emitter == e && x && x->kind == front::ExprKind::call && x->position == at &&
           x->call.callee->kind != front::ExprKind::call;
}

Status lowerConstantRange(Emitter* e, Semantic* s, Shape* args, uint64_t count, bool* handled,
                          Shape* out) {
    *handled = false;
    if (count < 1 || count > 3) return Status::ok;
    for (uint64_t i = 0; i < count; i++)
        if (args[i].kind != ShapeKind::int_ && args[i].kind != ShapeKind::pint) return Status::ok;
    __int128 start = 0, stop, step = 1;
    if (count == 1) {
        stop = args[0].int_;
    } else {
        start = args[0].int_;
        stop = args[1].int_;
        if (count == 3) step = args[2].int_;
    }
    if (step == 0) return Status::ok;
    __int128 n = step > 0 ? (stop - start + step - 1) / step : (start - stop - step - 1) / -step;
    if (n < 0) n = 0;
    if (n > kRangeItems) return Status::ok;
    *handled = true;
    if (Status err = newList(e, s, out); err != Status::ok) return err;
    for (__int128 i = 0; i < n; i++)
        if (Status err = front::appendItem(e->compiler, out->list, pintShape(int64_t(start + i * step)));
            err != Status::ok)
            return err;
    return Status::ok;
}

Status lowerZipOrEnumerate(Emitter* e, Semantic* s, bool zip, Shape* args, uint64_t count,
                           front::Position at, Shape* out) {
    if (!zip && count != 1) return enumerateStartError(e, s, at);
    if (!iteratedAtOnce(e, at))
        return refuseConstruct(e, zip ? "zip() whose value is not iterated at once"
                                      : "enumerate() whose value is not iterated at once");
    for (uint64_t i = 0; i < count; i++)
        if (!finiteContainer(args[i]))
            return refuseConstruct(e, zip ? "zip() of a value that may be a one-pass iterator"
                                          : "enumerate() of a value that may be a one-pass "
                                            "iterator");
    bool known = count <= kZipArguments;
    for (uint64_t i = 0; i < count && known; i++) {
        Shape* items;
        uint64_t n;
        known = knownItems(args[i], &items, &n);
    }
    if (known) return buildKnown(e, s, zip, args, count, out);
    return lowerZipEnumerate(e, s, zip, args, count, at, out);
}

}  // namespace builtins

Status lowerItems(Emitter* e, Semantic* s, const Shape& value, Operand* out) {
    Operand x;
    if (Status err = materialize(e, value, s->site, &x); err != Status::ok) return err;
    if (x.kind == KnownKind::list) {
        *out = x;
        return Status::ok;
    }
    ValueRef call[5] = {e->runContext, siteValue(e, s->site), x.tag, x.payload, e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_items", call, 5, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(x)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, KnownKind::list);
    return Status::ok;
}

Status lowerZipEnumerate(Emitter* e, Semantic* s, bool zip, Shape* args, uint64_t count,
                         front::Position at, Shape* out) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Builder* b = &e->builder;
    if (!zip && count != 1) return enumerateStartError(e, s, at);
    Operand* lists = count ? takeArray<Operand>(c, count) : nullptr;
    if (count && !lists) return Status::outOfMemory;
    for (uint64_t k = 0; k < count; k++) {
        if (Status err = lowerItems(e, s, args[k], &lists[k]); err != Status::ok) return err;
        // Held while the rest is compiled: an error exit there releases them.
        if (!e->temporaries.push(dynShape(lists[k]))) return Status::outOfMemory;
    }
    uint64_t live = e->temporaries.count - count;
    ValueRef length = constI64(e, 0);
    for (uint64_t k = 0; k < count; k++) {
        ValueRef words[2] = {lists[k].tag, lists[k].payload};
        ValueRef l;
        if (Status err = callHelper(e, "wn_list_len", words, 2, &l); err != Status::ok) return err;
        if (k == 0) {
            length = l;
            continue;
        }
        ValueRef shorter = icmp(b, llvmapi::IntSLT, l, length);
        openBlock(b);
        length = T.LLVMBuildSelect(b->builder, shorter, l, length, "");
    }
    Operand result;
    if (Status err = buildContainer(e, "wn_list", nullptr, 0, s->site, KnownKind::list, &result);
        err != Status::ok)
        return err;
    ValueRef resultSlot = valueSlot(e);
    if (Status err = storeOperand(e, resultSlot, &result); err != Status::ok) return err;
    ValueRef indexSlot = T.LLVMBuildAlloca(b->entryBuilder, m->i64, "");
    T.LLVMSetAlignment(indexSlot, 8);
    storeWord(e, constI64(e, 0), indexSlot);
    BasicBlockRef head, body, done;
    if (Status err = newBlock(b, "zip", &head); err != Status::ok) return err;
    if (Status err = newBlock(b, "zip_body", &body); err != Status::ok) return err;
    if (Status err = newBlock(b, "zip_done", &done); err != Status::ok) return err;
    // The list being built is released by an error exit inside the loop.
    if (!e->temporaries.push(dynShape(loadOperand(e, resultSlot, KnownKind::list))))
        return Status::outOfMemory;
    br(b, head);
    enter(b, head);
    ValueRef index = loadI64(e, indexSlot);
    condBr(b, icmp(b, llvmapi::IntSLT, index, length), body, done);
    enter(b, body);
    uint64_t width = zip ? count : 2;
    ValueRef array = T.LLVMBuildAlloca(b->entryBuilder, T.LLVMArrayType2(m->valuePair, width ? width : 1), "");
    T.LLVMSetAlignment(array, 8);
    index = loadI64(e, indexSlot);
    for (uint64_t k = 0; k < width; k++) {
        ValueRef slot = element(e, array, constI64(e, k));
        if (!zip && k == 0) {
            Operand i{};
            i.tag = constI64(e, 18);
            i.payload = index;
            i.functionNode = kNoFunctionNode;
            i.kind = KnownKind::int_;
            if (Status err = storeOperand(e, slot, &i); err != Status::ok) return err;
            continue;
        }
        const Operand& list = lists[zip ? k : 0];
        ValueRef words[4] = {list.tag, list.payload, index, slot};
        if (Status err = callHelper(e, "wn_list_at", words, 4, nullptr); err != Status::ok)
            return err;
    }
    ValueRef call[5] = {e->runContext, siteValue(e, s->site), array, constI64(e, width),
                        e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_tuple", call, 5, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    Operand tuple = loadOperand(e, e->scratch, KnownKind::tuple);
    Operand built = loadOperand(e, resultSlot, KnownKind::list);
    ValueRef append[6] = {e->runContext, siteValue(e, s->site), built.tag, built.payload,
                          tuple.tag,     tuple.payload};
    if (Status err = callHelper(e, "wn_append", append, 6, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(tuple)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    openBlock(b);
    ValueRef next = T.LLVMBuildAdd(b->builder, loadI64(e, indexSlot), constI64(e, 1), "");
    storeWord(e, next, indexSlot);
    br(b, head);
    enter(b, done);
    e->temporaries.count = live;
    for (uint64_t k = 0; k < count; k++)
        if (Status err = release(e, dynShape(lists[k])); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, resultSlot, KnownKind::list));
    return Status::ok;
}

}  // namespace wuna::compile
