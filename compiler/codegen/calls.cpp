// Call expressions: which road a call of a semantic takes, tried in a fixed order. Reads and
// writes of the standard streams and of open(...) calls first; then calls of an attribute
// look at the object: a node, rt, or a Python object gives the callee by
// attribute fetch, every other value is the receiver of a method call. Then the builtins
// compiled at the call site (len of an encoded str, all/any of a generator, print, sorted),
// the arguments gathered (starred ones spread while compiling when their items are known,
// else a run-time list and wn_call_seq), keywords bound, and the final dispatch on what the
// callee is: an rt method, a Python object, or a value known only at run time.
#include <cstring>
#include <string>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/attributes_common.h"
#include "compiler/codegen/calls_shared.h"
#include "compiler/front/stable.h"
#include "host/tree/index.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

using calls::callError;
using calls::Gathered;
using calls::keepLive;
using calls::LiveMark;

// Whether the object of an attribute call gives the callee by attribute fetch (a node, rt, or
// a Python object other than bytes) rather than being the receiver of a method call. A node's
// find is its one method (no field of that name hides it): the node is its receiver.
bool givesCallee(const Emitter* e, const Shape& object, front::Text name) {
    if (object.kind == ShapeKind::node) {
        const ptree::Index* tree = e->compiler->tree;
        return !front::textIs(name, "find") ||
               (tree && attrs::fieldLabelOf(tree->grammar, name) != 0);
    }
    if (object.kind == ShapeKind::rt) return true;
    return object.kind == ShapeKind::py && Py_TYPE(object.py) != &PyBytes_Type;
}

// A method call's keyword values, compiled in order and kept live (only to_bytes takes
// keywords; the method call binds them with Python's rules and texts).
Status keywordValues(Emitter* e, Semantic* s, const front::KeywordList& keywords,
                     backend::List<Shape>* out) {
    for (uint64_t k = 0; k < keywords.count; k++) {
        Shape value;
        if (Status err = emitExpr(e, s, keywords.items[k].value, &value); err != Status::ok)
            return err;
        if (Status err = keepLive(e, value); err != Status::ok) return err;
        if (!out->push(value)) return Status::outOfMemory;
    }
    return Status::ok;
}

// Rows 5 to 8: a method call on a value.
Status methodCall(Emitter* e, Semantic* s, Shape* receiver, front::Text name,
                  const front::Expr* call, const LiveMark& live, Shape* out) {
    const auto& c = call->call;
    front::Position at = call->position;
    if (front::textIs(name, "sort") && c.arguments.count == 0)
        return calls::lowerSortMethod(e, s, receiver, c.keywords, live, at, out);
    bool toBytes = front::textIs(name, "to_bytes");
    if (c.keywords.count && !toBytes)
        return callError(e, s, at, "keyword arguments to a method aren't compiled yet");
    if (Status err = keepLive(e, *receiver); err != Status::ok) return err;
    // Only a str's join is known to drain a generator: any other method might keep it.
    std::string method(name.data, name.length);
    bool onStr = receiver->kind == ShapeKind::str && c.arguments.count == 1;
    backend::List<Shape> args{};
    Status err = Status::ok;
    for (uint64_t i = 0; i < c.arguments.count && err == Status::ok; i++) {
        const front::Expr* argument = c.arguments.items[i];
        Shape value;
        if (argument->kind == front::ExprKind::generatorExp)
            err = calls::drainedGenerator(e, s, argument, nullptr, onStr ? method.c_str() : "",
                                          &value);
        else
            err = emitExpr(e, s, argument, &value);
        if (err == Status::ok) err = keepLive(e, value);
        if (err == Status::ok && !args.push(value)) err = Status::outOfMemory;
    }
    backend::List<Shape> keywords{};
    if (err == Status::ok) err = keywordValues(e, s, c.keywords, &keywords);
    if (err == Status::ok) {
        live.cut();
        err = emitMethodCall(e, s, receiver, name, args.items, uint32_t(args.count),
                             c.keywords.items, uint32_t(keywords.count), keywords.items, at, out);
    }
    keywords.free();
    args.free();
    return err;
}

// Step 6 of the call lowering: the arguments became a run-time list.
Status runTimeArguments(Emitter* e, Semantic* s, Shape* callee, Gathered* g,
                        const front::KeywordList& keywords, front::Position at, Shape* out) {
    if (keywords.count)
        return callError(e, s, at,
                         "keyword arguments with *args known only at run time aren't compiled");
    bool sequenceCall = callee->kind == ShapeKind::dyn;
    if (callee->kind == ShapeKind::py) {
        front::StableTypes types{};
        if (Status err = front::stableTypes(&types); err != Status::ok) return err;
        int function = PyObject_IsInstance(callee->py, types.function);
        if (function < 0) return Status::pythonError;
        sequenceCall = function == 0;
    }
    if (!sequenceCall)
        return callError(e, s, at,
                         "*args known only at run time to this function isn't compiled (its "
                         "arguments' count is needed when compiling)");
    Shape list = dynShape(g->list);
    return emitCallSeq(e, s, callee, &list, nullptr, out);
}

// Rows 9 onward: the callee's shape is known.
Status callWithCallee(Emitter* e, Semantic* s, Shape* callee, const front::Expr* call,
                      const LiveMark& live, Shape* out) {
    const auto& c = call->call;
    front::Position at = call->position;
    if (Status err = keepLive(e, *callee); err != Status::ok) return err;
    if (callee->kind == ShapeKind::py && c.arguments.count == 1 && c.keywords.count == 0) {
        bool handled = false;
        Status err = calls::tryOneArgumentBuiltin(e, s, callee->py, c.arguments.items[0], live, at,
                                                  &handled, out);
        if (err != Status::ok || handled) return err;
    }
    Gathered g{};
    Status err = calls::gatherArguments(
        e, s, c.arguments, callee->kind == ShapeKind::py ? callee->py : nullptr, at, &g);
    if (err == Status::ok && callee->kind == ShapeKind::py &&
        calls::isBuiltinNamed(callee->py, "print")) {
        bool handled = false;
        err = calls::tryPrint(e, s, c.keywords, &g, live, &handled, out);
        if (err != Status::ok || handled) {
            g.free();
            return err;
        }
    }
    if (err == Status::ok && !g.runTime && g.shapes.count == 1 && callee->kind == ShapeKind::py &&
        calls::isBuiltinNamed(callee->py, "sorted")) {
        err = calls::lowerSortedCall(e, s, c.keywords, &g.shapes[0], live, at, out);
        g.free();
        return err;
    }
    if (err == Status::ok && g.runTime && (live.cut(), true))
        err = runTimeArguments(e, s, callee, &g, c.keywords, at, out);
    else if (err == Status::ok && c.keywords.count)
        err = calls::bindKeywords(e, s, callee, g.shapes.items, g.shapes.count, c.keywords, live,
                                  at, out);
    else if (err == Status::ok && (live.cut(), true))
        err = calls::dispatchCall(e, s, callee, g.shapes.items, g.shapes.count, nullptr, nullptr, 0,
                                  at, out);
    g.free();
    return err;
}

// rt.parse's four arguments placed: positional ones in slot order after the keywords.
Status rtParse(Emitter* e, Semantic* s, Shape* args, uint64_t count, Shape* slots, uint8_t set,
               front::Position at, Shape* out) {
    if (count > 4) return callError(e, s, at, "rt.parse() takes 4 arguments at most");
    Shape placed[4] = {noneShape(), noneShape(), noneShape(), noneShape()};
    placed[3].kind = ShapeKind::bool_;
    placed[3].bool_ = 0;
    for (int i = 0; i < 4; i++)
        if (set & (1u << i)) placed[i] = slots[i];
    for (uint64_t i = 0; i < count; i++) {
        if (set & (1u << i)) {
            const char* name = calls::kParseSlots[i];
            return callError(e, s, at, "rt.parse() given ",
                             front::Text{name, uint64_t(strlen(name))}, " twice");
        }
        placed[i] = args[i];
        set = uint8_t(set | (1u << i));
    }
    if ((set & 3u) != 3u) return callError(e, s, at, "rt.parse() needs a grammar and a text");
    return emitRtCall(e, s, RtMethod::parse, placed, 4, nullptr, at, out);
}

}  // namespace

namespace calls {

Status callError(Emitter* e, Semantic* s, front::Position at, const char* before, front::Text name,
                 const char* after) {
    Compiler* c = e->compiler;
    Status err = Status::ok;
    if (s && s->function)
        err = beginError(&c->message, ErrorSite{s->function, at});
    else
        c->message.clear();
    if (err == Status::ok) err = appendText(&c->message, before);
    if (err == Status::ok && name.length) err = appendText(&c->message, name.data, name.length);
    if (err == Status::ok && after) err = appendText(&c->message, after);
    return err == Status::ok ? Status::unsupported : err;
}

Status keepLive(Emitter* e, const Shape& shape) {
    return e->temporaries.push(shape) ? Status::ok : Status::outOfMemory;
}

bool isBuiltinNamed(PyObject* o, const char* name) { return front::isBuiltin(o, name); }

Status helperThen(Emitter* e, const char* name, ValueRef* args, unsigned count,
                  llvmapi::BasicBlockRef join, ValueRef* ok, llvmapi::BasicBlockRef* end) {
    if (Status err = callHelper(e, name, args, count, ok); err != Status::ok) return err;
    openBlock(&e->builder);
    *end = e->builder.current;
    br(&e->builder, join);
    return Status::ok;
}

ValueRef phiOf(Emitter* e, llvmapi::TypeRef type, ValueRef* values, llvmapi::BasicBlockRef* from,
               unsigned n) {
    openBlock(&e->builder);
    ValueRef phi = T.LLVMBuildPhi(e->builder.builder, type, "");
    T.LLVMAddIncoming(phi, values, from, n);
    return phi;
}

ValueRef plainIntTag(Emitter* e, ValueRef tag) {
    Builder* b = &e->builder;
    ValueRef isInt = icmp(b, llvmapi::IntEQ, tag, constI64(e, 18));
    openBlock(b);
    return T.LLVMBuildSelect(b->builder, isInt, constI64(e, 2), tag, "");
}

Status dispatchCall(Emitter* e, Semantic* s, Shape* callee, Shape* args, uint64_t count,
                    Shape* receiver, Shape* parseSlots, uint8_t parseSet, front::Position at,
                    Shape* out) {
    switch (callee->kind) {
    case ShapeKind::rtMethod: {
        auto method = RtMethod(callee->rtMethod & 63);
        if (method == RtMethod::parse)
            return rtParse(e, s, args, count, parseSlots, parseSet, at, out);
        return emitRtCall(e, s, method, args, uint32_t(count), receiver, at, out);
    }
    case ShapeKind::py:
        return callPython(e, s, callee->py, args, uint32_t(count), nullptr, 0, nullptr, at, out);
    case ShapeKind::dyn: {
        // The arguments as a list known while compiling: callKnown takes them one by one.
        front::ListRecord* list = front::newListRecord(e->compiler);
        if (!list) return Status::outOfMemory;
        for (uint64_t i = 0; i < count; i++)
            if (Status err = front::appendItem(e->compiler, list, args[i]); err != Status::ok)
                return err;
        Shape listShape{};
        listShape.kind = ShapeKind::list;
        listShape.list = list;
        return callKnown(e, s, callee, &listShape, nullptr, true, out);
    }
    default: break;
    }
    const char* kind = kindName(callee->kind);
    return callError(e, s, at, "calling a ", front::Text{kind, uint64_t(strlen(kind))},
                     " isn't compiled yet");
}

}  // namespace calls

Status lowerCallExpr(Emitter* e, Semantic* s, const front::Expr* call, Shape* out) {
    LiveMark mark(e);
    e->position = call->position;
    const front::Expr* callee = call->call.callee;
    bool handled = false;
    if (Status err = lowerStreamCall(e, s, call, &handled, out); err != Status::ok || handled)
        return err;
    Shape value;
    if (callee->kind == front::ExprKind::attribute) {
        Shape object;
        if (Status err = emitExpr(e, s, callee->attribute.object, &object); err != Status::ok)
            return err;
        if (!givesCallee(e, object, callee->attribute.name))
            return methodCall(e, s, &object, callee->attribute.name, call, mark, out);
        if (Status err =
                emitAttribute(e, s, &object, callee->attribute.name, call->position, &value);
            err != Status::ok)
            return err;
    } else if (Status err = emitExpr(e, s, callee, &value); err != Status::ok) {
        return err;
    }
    return callWithCallee(e, s, &value, call, mark, out);
}

Status emitCallSeq(Emitter* e, Semantic* s, Shape* callee, Shape* sequence, Shape* receiver,
                   Shape* out) {
    Operand function, items, held{};
    if (Status err = materialize(e, *callee, s->site, &function); err != Status::ok) return err;
    if (Status err = materialize(e, *sequence, s->site, &items); err != Status::ok) return err;
    ValueRef receiverSlot = T.LLVMConstNull(e->compiler->module.ptr);
    if (receiver) {
        if (Status err = materialize(e, *receiver, s->site, &held); err != Status::ok) return err;
        receiverSlot = valueSlot(e);
        if (Status err = storeOperand(e, receiverSlot, &held); err != Status::ok) return err;
    }
    ValueRef args[8] = {e->runContext, siteValue(e, s->site), function.tag, function.payload,
                        items.tag,     items.payload,         receiverSlot, e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_call_seq", args, 8, &ok); err != Status::ok) return err;
    if (receiver)
        if (Status err = release(e, dynShape(held)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(items)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(function)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

}  // namespace wuna::compile
