// Call arguments: positional ones gathered in source order (starred ones spread while
// compiling when their items are known, else everything goes into a run-time list), and
// keywords bound while compiling to a Python function's parameters, or taken by the rt
// methods that have keywords (rt.call's receiver=, rt.error's code=, rt.parse's slots). Every
// other keyword is a compile error: the semantic then runs as Python, where the call does
// what Python does.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/calls_shared.h"
#include "compiler/front/cache.h"
#include "compiler/front/stable.h"

namespace wuna::compile {

namespace {

using calls::callError;
using calls::keepLive;
using calls::LiveMark;

// A spread of a list made while compiling (not one taken from a Python object) or of a tuple:
// its items, each made independent of the container.
bool spreadsWhileCompiling(const Shape& value, const Shape** items, uint64_t* count) {
    if (value.kind == ShapeKind::tuple) {
        *items = value.tuple.items;
        *count = value.tuple.count;
        return true;
    }
    if (value.kind == ShapeKind::list && value.list && !value.list->source) {
        *items = value.list->items;
        *count = value.list->length;
        return true;
    }
    return false;
}

// One more reference for a method call that consumes its receiver while the list keeps its
// own for the arguments still to come.
Status listMethod(Emitter* e, Semantic* s, const Operand& list, const char* name, Shape* argument,
                  front::Position at) {
    Operand receiver = list;
    if (Status err = addReference(e, &receiver); err != Status::ok) return err;
    Shape self = dynShape(receiver);
    Shape result;
    if (Status err = emitMethodCall(e, s, &self, front::Text{name, strlen(name)}, argument, 1,
                                    nullptr, 0, nullptr, at, &result);
        err != Status::ok)
        return err;
    return release(e, result);
}

// Entries from..to-1 of the live temporaries were handed to a consumer that releases them
// whether or not it succeeds: they leave the list (a later error exit must not release them
// again), except compile-time lists, whose records tell the error exits what is still theirs.
// The entries after them keep their order. Cannot fail.
void handOver(Emitter* e, uint64_t from, uint64_t to) {
    backend::List<Shape>& live = e->temporaries;
    uint64_t kept = from;
    for (uint64_t i = from; i < live.count; i++)
        if (i >= to || live[i].kind == ShapeKind::list) live[kept++] = live[i];
    live.count = kept;
}

// Entry index of the live temporaries was handed to a consumer: it leaves the list, the later
// entries keeping their order. Cannot fail.
void forgetLive(Emitter* e, uint64_t index) {
    backend::List<Shape>& live = e->temporaries;
    for (uint64_t i = index + 1; i < live.count; i++) live[i - 1] = live[i];
    live.count--;
}

// The run-time list from the shapes gathered so far; from then on they are held by it. The
// shapes were made live from entry `from` on; entries from `to` on are not among them.
Status startRunTimeList(Emitter* e, Semantic* s, calls::Gathered* g, uint64_t from, uint64_t to) {
    // wn_list takes the shapes over even when it fails.
    handOver(e, from, to);
    Operand list;
    if (Status err = buildContainer(e, "wn_list", g->shapes.items, g->shapes.count, s->site,
                                    KnownKind::list, &list);
        err != Status::ok)
        return err;
    g->shapes.clear();
    g->list = list;
    g->runTime = true;
    return keepLive(e, dynShape(list));
}

// The default of parameter index of f, a missing one worded at the call.
Status defaultOf(Emitter* e, Semantic* s, front::FunctionIR* f, uint64_t index, front::Position at,
                 Shape* out) {
    const char* why = nullptr;
    Status err = readDefault(e->compiler, f, index, out, &why);
    return why ? callError(e, s, at, "", f->name, why) : err;
}

// The index of the parameter named name among f's first paramCount locals, or -1.
int64_t parameterIndex(const front::FunctionIR* f, front::Text name) {
    uint64_t n = f->paramCount < f->locals.count ? f->paramCount : f->locals.count;
    for (uint64_t i = 0; i < n; i++) {
        const front::Text& local = f->locals.items[i];
        if (local.length == name.length && memcmp(local.data, name.data, name.length) == 0)
            return int64_t(i);
    }
    return -1;
}

}  // namespace

namespace calls {

Status gatherArguments(Emitter* e, Semantic* s, const front::ExprList& arguments, PyObject* callee,
                       front::Position at, Gathered* out) {
    *out = Gathered{};
    uint64_t mark = e->temporaries.count;  // the arguments' entries start here
    for (uint64_t i = 0; i < arguments.count; i++) {
        const front::Expr* argument = arguments.items[i];
        Shape value;
        if (argument->kind == front::ExprKind::starred) {
            if (Status err = emitExpr(e, s, argument->starred, &value); err != Status::ok)
                return err;
            const Shape* items = nullptr;
            uint64_t count = 0;
            if (!out->runTime && spreadsWhileCompiling(value, &items, &count)) {
                // A tuple is released once its items are copied, so it is never live: the
                // copies emit no code that can fail.
                bool tuple = value.kind == ShapeKind::tuple;
                if (!tuple)
                    if (Status err = keepLive(e, value); err != Status::ok) return err;
                for (uint64_t k = 0; k < count; k++) {
                    Shape copy;
                    if (Status err = ownCopy(e, items[k], &copy); err != Status::ok) return err;
                    if (Status err = keepLive(e, copy); err != Status::ok) return err;
                    if (!out->shapes.push(copy)) return Status::outOfMemory;
                }
                if (tuple)
                    if (Status err = release(e, value); err != Status::ok) return err;
                continue;
            }
            // Live while the list is made; off the live list before extend consumes it.
            uint64_t valueAt = e->temporaries.count;
            if (Status err = keepLive(e, value); err != Status::ok) return err;
            bool started = !out->runTime;
            if (started)
                if (Status err = startRunTimeList(e, s, out, mark, valueAt); err != Status::ok)
                    return err;
            // The value is the last entry, or the one before the list just made.
            forgetLive(e, e->temporaries.count - (started ? 2 : 1));
            if (Status err = listMethod(e, s, out->list, "extend", &value, at); err != Status::ok)
                return err;
            continue;
        }
        if (argument->kind == front::ExprKind::generatorExp) {
            if (Status err = drainedGenerator(e, s, argument, callee, nullptr, &value);
                err != Status::ok)
                return err;
        } else {
            // The one argument of list(), sorted() ... is iterated at once: a zip or an
            // enumerate there may become a list.
            bool atOnce = callee && iteratesArgumentsAtOnce(e, callee, arguments.count, at);
            IteratedAtOnce mark(e, atOnce ? argument : nullptr);
            if (Status err = emitExpr(e, s, argument, &value); err != Status::ok) return err;
        }
        // Appended at once to a run-time list, which consumes it: never live then.
        if (out->runTime) {
            if (Status err = listMethod(e, s, out->list, "append", &value, at); err != Status::ok)
                return err;
            continue;
        }
        if (Status err = keepLive(e, value); err != Status::ok) return err;
        if (!out->shapes.push(value)) return Status::outOfMemory;
    }
    return Status::ok;
}

Status bindFunction(Emitter* e, Semantic* s, front::FunctionIR* f, Shape* args, uint64_t count,
                    const front::Keyword* keywords, uint64_t keywordCount, Shape* values,
                    const LiveMark* live, front::Position at, Shape* out) {
    if (f->hasVarargs)
        return callError(e, s, at, "keyword arguments to ", f->name,
                         "(), which takes *args, aren't compiled");
    uint64_t p = f->paramCount;
    if (count > p) {
        Status err = callError(e, s, at, "", f->name, "() takes ");
        if (err == Status::unsupported) err = appendDecimal(&e->compiler->message, p);
        if (err == Status::ok) err = appendText(&e->compiler->message, " arguments");
        return err == Status::ok ? Status::unsupported : err;
    }
    backend::List<char>* message = &e->compiler->message;
    // "<f>() <middle><name>": the name after the function's.
    auto nameError = [&](const char* middle, front::Text name, const char* after) {
        Status err = callError(e, s, at, "", f->name, middle);
        if (err == Status::unsupported) err = appendText(message, name.data, name.length);
        if (err == Status::ok) err = appendText(message, after);
        return err == Status::ok ? Status::unsupported : err;
    };
    Shape* slots = takeArray<Shape>(e->compiler, p);
    bool* set = takeArray<bool>(e->compiler, p);
    if (!slots || !set) return Status::outOfMemory;
    for (uint64_t i = 0; i < count; i++) {
        slots[i] = args[i];
        set[i] = true;
    }
    for (uint64_t k = 0; k < keywordCount; k++) {
        front::Text name = keywords[k].name;
        int64_t index = parameterIndex(f, name);
        if (index < 0) return nameError("() has no parameter ", name, "");
        if (set[index]) return nameError("() given ", name, " twice");
        if (values) {
            slots[index] = values[k];
        } else if (Status err = emitSubExpr(e, s, keywords[k].value, &slots[index]);
                   err != Status::ok) {
            return err;
        }
        set[index] = true;
    }
    if (live) live->cut();
    for (uint64_t i = 0; i < p; i++) {
        if (set[i]) continue;
        if (i < f->requiredCount)
            return nameError("() missing its argument ",
                             i < f->locals.count ? f->locals.items[i] : front::Text{"?", 1}, "");
        if (Status err = defaultOf(e, s, f, i, at, &slots[i]); err != Status::ok) return err;
    }
    return callPlanned(e, s, f, slots, p, out);
}

Status bindKeywords(Emitter* e, Semantic* s, Shape* callee, Shape* args, uint64_t count,
                    const front::KeywordList& keywords, const LiveMark& live, front::Position at,
                    Shape* out) {
    if (callee->kind == ShapeKind::py) {
        if (front::isIntFromBytes(callee->py))
            return refuseConstruct(e, "int.from_bytes() with keyword arguments");
        front::StableTypes types{};
        if (Status err = front::stableTypes(&types); err != Status::ok) return err;
        int function = PyObject_IsInstance(callee->py, types.function);
        if (function < 0) return Status::pythonError;
        if (function == 1) {
            front::FunctionIR* f = nullptr;
            if (Status err = front::frontOf(e->compiler, callee->py, &f); err != Status::ok)
                return err;
            return bindFunction(e, s, f, args, count, keywords.items, keywords.count, nullptr,
                                &live, at, out);
        }
        // Record classes built with keywords wait for the record construction of calls;
        // until then they are refused rather than bound by a guess.
        if (PyType_Check(callee->py))
            return refuseConstruct(e, "a class called with keyword arguments");
    }
    bool rt = callee->kind == ShapeKind::rtMethod;
    auto method = RtMethod(rt ? callee->rtMethod & 63 : 0);
    Shape receiver = noneShape();
    bool hasReceiver = false;
    Shape slots[4] = {noneShape(), noneShape(), noneShape(), noneShape()};
    uint8_t set = 0;
    for (uint64_t k = 0; k < keywords.count; k++) {
        const front::Keyword& kw = keywords.items[k];
        if (rt && (method == RtMethod::call || method == RtMethod::tailCall) &&
            front::textIs(kw.name, "receiver")) {
            if (Status err = emitSubExpr(e, s, kw.value, &receiver); err != Status::ok) return err;
            hasReceiver = true;
            continue;
        }
        if (rt && method == RtMethod::error && front::textIs(kw.name, "code")) {
            Shape code;
            if (Status err = emitExpr(e, s, kw.value, &code); err != Status::ok) return err;
            if (Status err = release(e, code); err != Status::ok) return err;
            // The Error carries the code, which the compiled failure has no room for: such
            // a semantic runs as Python, whose Error has it.
            if (code.kind != ShapeKind::none) return refuseConstruct(e, "rt.error with a code");
            continue;
        }
        if (rt && method == RtMethod::parse) {
            int slot = -1;
            for (int i = 0; i < 4; i++)
                if (front::textIs(kw.name, kParseSlots[i])) slot = i;
            if (slot < 0) return callError(e, s, at, "rt.parse() has no argument ", kw.name);
            if (Status err = emitSubExpr(e, s, kw.value, &slots[slot]); err != Status::ok)
                return err;
            set = uint8_t(set | (1u << slot));
            continue;
        }
        return callError(e, s, at, "the keyword argument ", kw.name, "= isn't compiled");
    }
    live.cut();
    return dispatchCall(e, s, callee, args, count, hasReceiver ? &receiver : nullptr, slots, set,
                        at, out);
}

}  // namespace calls

Status callPython(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint32_t count,
                  const front::Keyword* keywords, uint32_t keywordCount, Shape* keywordValues,
                  front::Position at, Shape* out) {
    if (keywordCount == 0) return calls::lowerCall(e, s, callee, args, count, at, out);
    front::StableTypes types{};
    if (Status err = front::stableTypes(&types); err != Status::ok) return err;
    int function = PyObject_IsInstance(callee, types.function);
    if (function < 0) return Status::pythonError;
    if (function == 0) {
        if (keywords[0].name.length)
            return calls::callError(e, s, at, "the keyword argument ", keywords[0].name,
                                    "= isn't compiled");
        return refuseConstruct(e, "a keyword argument");
    }
    front::FunctionIR* f = nullptr;
    if (Status err = front::frontOf(e->compiler, callee, &f); err != Status::ok) return err;
    return calls::bindFunction(e, s, f, args, count, keywords, keywordCount, keywordValues, nullptr,
                               at, out);
}

}  // namespace wuna::compile
