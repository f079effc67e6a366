// The call planner.
#include "compiler/front/planner.h"

#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/front/analyzer.h"
#include "compiler/front/cache.h"
#include "compiler/front/cost.h"
#include "compiler/front/jumps.h"
#include "compiler/front/lookup.h"
#include "compiler/front/stable.h"

namespace wuna::compile {

namespace {

uint64_t keyOf(const front::FunctionIR* f) { return uint64_t(reinterpret_cast<uintptr_t>(f)); }

// The Python function a reading is of, or null for a nested one: its function field names the
// outermost function (borrowed), whose call or defaults would answer for another function.
PyObject* ownFunction(const front::FunctionIR* f) { return f->parent ? nullptr : f->function; }

// --- arity ---------------------------------------------------------------------------------

// Clears the message and writes "<file>:<def line>:0: in <f>(): <f>" for an arity error.
Status beginArity(Compiler* c, const front::FunctionIR* callee) {
    Status s = beginError(&c->message, ErrorSite{callee, front::makePosition(callee->firstLine, 0)});
    if (s == Status::ok) s = appendText(&c->message, callee->name.data, size_t(callee->name.length));
    return s;
}

// An arity error with a text after the callee's name: unsupported, or outOfMemory.
Status arityError(Compiler* c, const front::FunctionIR* callee, const char* text) {
    Status s = beginArity(c, callee);
    if (s == Status::ok) s = appendText(&c->message, text);
    return s == Status::ok ? Status::unsupported : s;
}

Status countError(Compiler* c, const front::FunctionIR* callee, uint64_t n) {
    Status s = beginArity(c, callee);
    if (s == Status::ok) s = appendText(&c->message, "() called with ");
    if (s == Status::ok) s = appendDecimal(&c->message, n);
    if (s == Status::ok) s = appendText(&c->message, " arguments, takes ");
    if (s == Status::ok) s = appendDecimal(&c->message, callee->requiredCount);
    if (s == Status::ok) s = appendText(&c->message, " to ");
    if (s == Status::ok) s = appendDecimal(&c->message, callee->paramCount);
    return s == Status::ok ? Status::unsupported : s;
}

// The default of parameter index as an arity error at the callee's definition.
Status defaultArgument(Compiler* c, const front::FunctionIR* callee, uint64_t index, Shape* out) {
    const char* why = nullptr;
    Status s = readDefault(c, callee, index, out, &why);
    return why ? arityError(c, callee, why) : s;
}

// --- recursion -----------------------------------------------------------------------------

// The items of a non-empty tuple or list of nodes; false for any other shape.
bool nodeItems(const Shape& s, const Shape** items, uint64_t* count) {
    if (s.kind == ShapeKind::tuple) {
        *items = s.tuple.items;
        *count = s.tuple.count;
    } else if (s.kind == ShapeKind::list && s.list) {
        *items = s.list->items;
        *count = s.list->length;
    } else {
        return false;
    }
    if (*count == 0) return false;
    for (uint64_t i = 0; i < *count; i++)
        if ((*items)[i].kind != ShapeKind::node) return false;
    return true;
}

// Whether two argument shapes tell two calls apart: different nodes, or node sequences that
// differ. Anything else (equal constants, two run-time values) does not.
bool differ(const Shape& a, const Shape& b) {
    if (a.kind == ShapeKind::node && b.kind == ShapeKind::node) return a.node != b.node;
    const Shape* x = nullptr;
    const Shape* y = nullptr;
    uint64_t n = 0;
    uint64_t m = 0;
    if (!nodeItems(a, &x, &n) || !nodeItems(b, &y, &m)) return false;
    if (n != m) return true;
    for (uint64_t i = 0; i < n; i++)
        if (x[i].node != y[i].node) return true;
    return false;
}

bool callDiffers(const Shape* arguments, uint64_t n, const InlineRecord& record) {
    for (uint64_t i = 0; i < n && i < record.count; i++)
        if (differ(arguments[i], record.arguments[i])) return true;
    return false;
}

// The step that sends a recursive call out of line, or false when the call may be inlined.
bool recursionStep(const InlineState& state, const front::FunctionIR* callee,
                   const Shape* arguments, uint64_t n, PlanStep* step) {
    bool deep = state.stack.count >= kInlineStackLimit || n == 0;
    for (size_t i = 0; i < state.stack.count; i++) {
        const InlineRecord& record = state.stack[i];
        if (record.function != callee) continue;
        if (deep) {
            *step = PlanStep::deepRecursion;
            return true;
        }
        if (!callDiffers(arguments, n, record)) {
            *step = PlanStep::recursion;
            return true;
        }
    }
    return false;
}

// An rt method, a jump not raised yet, or a method not called yet: values that exist only
// while compiling, so they can't be passed to a helper compiled out of line.
bool hasCompileOnly(const Shape* arguments, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) {
        ShapeKind k = arguments[i].kind;
        if (k == ShapeKind::rtMethod || k == ShapeKind::control || k == ShapeKind::method)
            return true;
    }
    return false;
}

// --- evaluation while compiling ------------------------------------------------------------

// The positional arguments of a Python call of the callee for bound argument shapes: a new
// tuple in *out. The *args parameter is bound to a tuple of the extra shapes; its items are
// passed one by one, as the call gave them (passed as one tuple, *args would hold a tuple in a
// tuple, and the helper would answer for another call).
Status callArguments(Compiler* c, const front::FunctionIR* callee, const Shape* arguments,
                     uint64_t n, PyObject** out) {
    *out = nullptr;
    const Shape* rest = nullptr;
    uint64_t extra = 0;
    if (callee->hasVarargs && n && arguments[n - 1].kind == ShapeKind::tuple) {
        rest = &arguments[--n];
        extra = rest->tuple.count;
    }
    PyObject* tuple = PyTuple_New(Py_ssize_t(n + extra));
    if (!tuple) return Status::pythonError;
    for (uint64_t i = 0; i < n + extra; i++) {
        PyObject* item = nullptr;
        const Shape& shape = i < n ? arguments[i] : rest->tuple.items[i - n];
        if (Status s = toPython(c, shape, &item); s != Status::ok) {
            Py_DECREF(tuple);
            return s;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    *out = tuple;
    return Status::ok;
}

// Calls a pure callee with constant arguments. ok with *done set when the result is a plain
// constant (in *result); *done false when the call is to be compiled after all.
Status evaluate(Compiler* c, const front::FunctionIR* callee, const Shape* arguments,
                uint64_t n, Shape* result, bool* done) {
    *done = false;
    // A nested reading has no function of its own to call.
    PyObject* function = ownFunction(callee);
    if (!function) return Status::ok;
    if (front::loadAnalyzer() != Status::ok) return Status::pythonError;
    bool pure = false;
    if (front::isPure(function, &pure) != Status::ok) return Status::pythonError;
    if (!pure) return Status::ok;
    PyObject* tuple = nullptr;
    if (Status s = callArguments(c, callee, arguments, n, &tuple); s != Status::ok) return s;
    PyObject* value = PyObject_Call(function, tuple, nullptr);
    Py_DECREF(tuple);
    // The call ran Python, but nothing the plan holds can have changed under it: the callee's
    // reading is kept by the front cache (which only the language clears, not a pure helper),
    // and the argument shapes live in the compiler's arena.
    if (!value) {
        // An interrupt or an exit asked for while compiling is the user's, not the helper's
        // answer: it goes on up rather than being lost.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Status::pythonError;
        // The call raises: it raises at run time too, where the compiled call reports it.
        PyErr_Clear();
        return Status::ok;
    }
    Status s = fromPython(c, value, result);
    Py_DECREF(value);
    if (s != Status::ok) return s;
    *done = isPlainConstant(*result);
    return Status::ok;
}

// --- the plan ------------------------------------------------------------------------------

void decide(CallPlan* plan, CallRoad road, PlanStep step) {
    plan->road = road;
    plan->step = step;
}

// Out of line, or guarded: the specialisation key, its shapes copied into the arena.
Status keyed(Compiler* c, const front::FunctionIR* callee, CallPlan* plan, CallRoad road,
             PlanStep step) {
    Shape* shapes = takeArray<Shape>(c, plan->count);
    if (!shapes) return Status::outOfMemory;
    if (plan->count) memcpy(static_cast<void*>(shapes), plan->arguments, plan->count * sizeof(Shape));
    plan->key.function = callee;
    plan->key.shapes = shapes;
    plan->key.argumentCount = plan->count;
    decide(plan, road, step);
    return Status::ok;
}

// What the size steps found: inline, out of line (sites used up), or ask the later steps.
enum class SizeOutcome : uint8_t { inlined, outOfLine, later };

// Steps 4 to 6: the callee's size, its inlined sites in this context, its cost estimate.
Status sizeStep(Compiler* c, InlineState* state, const front::FunctionIR* callee,
                CallPlan* plan, SizeOutcome* outcome) {
    *outcome = SizeOutcome::inlined;
    if (callee->exprCount <= kSmallHelper) {
        plan->step = PlanStep::small;
        return Status::ok;
    }
    // Calls with compile-time-only arguments can't go out of line, so their sites aren't
    // counted against the helper.
    if (!hasCompileOnly(plan->arguments, plan->count)) {
        uint64_t key = keyOf(callee);
        uint32_t* count = state->counts.find(key);
        uint32_t seen = count ? *count : 0;
        if (seen >= kInlineSites) {
            *outcome = SizeOutcome::outOfLine;
            return Status::ok;
        }
        if (!state->counts.put(key, seen + 1)) return Status::outOfMemory;
    }
    if (callee->exprCount <= kInlineSize) {
        plan->step = PlanStep::size;
        return Status::ok;
    }
    uint64_t cost = 0;
    Status s = front::inlineCostOf(c, callee, callee->body, plan->arguments, plan->count, &cost);
    if (s != Status::ok) return s;
    plan->cost = cost;
    plan->step = PlanStep::cost;
    if (cost > kInlineSize) *outcome = SizeOutcome::later;
    return Status::ok;
}

// Step 8: the guard inlined when there is one and its estimate allows, else out of line.
Status guardStep(Compiler* c, const front::FunctionIR* callee, CallPlan* plan) {
    const front::Stmt* guard = nullptr;
    if (Status s = front::guardOf(c, callee, &guard); s != Status::ok) return s;
    if (!guard) return keyed(c, callee, plan, CallRoad::outOfLine, PlanStep::noGuard);
    front::StmtList body{const_cast<front::Stmt*>(guard), 1};
    uint64_t cost = 0;
    Status s = front::inlineCostOf(c, callee, body, plan->arguments, plan->count, &cost);
    if (s != Status::ok) return s;
    plan->cost = cost;
    if (cost > kInlineSize) return keyed(c, callee, plan, CallRoad::outOfLine, PlanStep::guardCost);
    plan->body = body;
    return keyed(c, callee, plan, CallRoad::guarded, PlanStep::guard);
}

bool allPlainConstants(const Shape* arguments, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (!isPlainConstant(arguments[i])) return false;
    return true;
}

}  // namespace

Status pushInline(InlineState* state, const InlineRecord& record) {
    return state->stack.push(record) ? Status::ok : Status::outOfMemory;
}

void popInline(InlineState* state) {
    if (state->stack.count) state->stack.count--;
}

void freeInlineState(InlineState* state) {
    state->stack.free();
    state->counts.free();
}

Status readDefault(Compiler* c, const front::FunctionIR* callee, uint64_t index, Shape* out,
                   const char** why) {
    static constexpr char kMissing[] = "() missing an argument";
    static constexpr char kChanged[] = "()'s defaults changed";
    *why = nullptr;
    PyObject* function = ownFunction(callee);
    if (!function) {
        *why = kMissing;
        return Status::unsupported;
    }
    PyObject* defaults = PyObject_GetAttrString(function, "__defaults__");
    if (!defaults) return Status::pythonError;
    uint64_t positional = callee->paramCount - (callee->hasVarargs ? 1 : 0);
    uint64_t count = PyTuple_Check(defaults) ? uint64_t(PyTuple_GET_SIZE(defaults)) : 0;
    uint64_t first = positional >= count ? positional - count : 0;
    // More defaults than parameters: not the tuple the function was read with.
    if (!PyTuple_Check(defaults) || count > positional)
        *why = kChanged;
    else if (index < first)
        *why = kMissing;
    if (*why) {
        Py_DECREF(defaults);
        return Status::unsupported;
    }
    PyObject* value = PyTuple_GET_ITEM(defaults, Py_ssize_t(index - first));
    // Pinned: compiled code may refer to the default, which the tuple alone would not keep.
    Status s = pinObject(c, value, nullptr);
    if (s == Status::ok) s = fromPython(c, value, out);
    Py_DECREF(defaults);
    return s;
}

Status checkArity(Compiler* c, const front::FunctionIR* callee, const Shape* given,
                  uint64_t count, const Shape** shapes, uint64_t* n) {
    uint64_t p = callee->paramCount;
    uint64_t r = callee->requiredCount;
    uint64_t v = callee->hasVarargs ? 1 : 0;
    *shapes = given;
    *n = count;
    if (!v && count == p) return Status::ok;
    bool fits = v ? count >= r : (r <= count && count <= p);
    if (!fits) return countError(c, callee, count);
    Shape* bound = takeArray<Shape>(c, p);
    if (!bound) return Status::outOfMemory;
    uint64_t positional = p - v;
    uint64_t copied = count < positional ? count : positional;
    for (uint64_t i = 0; i < copied; i++) bound[i] = given[i];
    for (uint64_t i = count; i < positional; i++)
        if (Status s = defaultArgument(c, callee, i, &bound[i]); s != Status::ok) return s;
    if (v) {
        uint64_t extra = count > positional ? count - positional : 0;
        Shape* items = takeArray<Shape>(c, extra);
        if (!items) return Status::outOfMemory;
        for (uint64_t i = 0; i < extra; i++) items[i] = given[positional + i];
        Shape rest{};
        rest.kind = ShapeKind::tuple;
        rest.tuple.items = items;
        rest.tuple.count = extra;
        bound[p - 1] = rest;
    }
    *shapes = bound;
    *n = p;
    return Status::ok;
}

Status callPythonFunction(Compiler* c, InlineState* state, const front::FunctionIR* callee,
                          uint32_t control, const Shape* arguments, uint64_t count,
                          CallPlan* out) {
    memset(static_cast<void*>(out), 0, sizeof *out);
    out->control = control;
    out->result = noneShape();
    // 1. Arity.
    Status s = checkArity(c, callee, arguments, count, &out->arguments, &out->count);
    if (s != Status::ok) return s;
    const Shape* args = out->arguments;
    uint64_t n = out->count;
    // 2. Recursion.
    PlanStep step = PlanStep::recursion;
    if (recursionStep(*state, callee, args, n, &step))
        return keyed(c, callee, out, CallRoad::outOfLine, step);
    // 3. A helper that surely raises, in an ahead-of-time build, stays one out-of-line copy.
    if (c->keyOrigins && callee->exprCount > kSmallHelper && !hasCompileOnly(args, n)) {
        bool raises = false;
        if (s = front::alwaysRaises(c, callee, &raises); s != Status::ok) return s;
        if (raises) return keyed(c, callee, out, CallRoad::outOfLine, PlanStep::raises);
    }
    // 4 to 6. Size, sites, cost.
    SizeOutcome outcome = SizeOutcome::later;
    if (s = sizeStep(c, state, callee, out, &outcome); s != Status::ok) return s;
    if (outcome == SizeOutcome::inlined) {
        out->road = CallRoad::inlined;
        out->body = callee->body;
        return Status::ok;
    }
    if (outcome == SizeOutcome::outOfLine)
        return keyed(c, callee, out, CallRoad::outOfLine, PlanStep::sites);
    // 7. Evaluation while compiling.
    if (allPlainConstants(args, n)) {
        bool done = false;
        if (s = evaluate(c, callee, args, n, &out->result, &done); s != Status::ok) return s;
        if (done) {
            decide(out, CallRoad::evaluated, PlanStep::evaluation);
            return Status::ok;
        }
        out->result = noneShape();
    }
    // 8. Guard, else out of line.
    return guardStep(c, callee, out);
}

}  // namespace wuna::compile

namespace wuna::front {

using compile::Compiler;

namespace {

// The first of the body's statements after a docstring.
uint64_t afterDocstring(StmtList body) {
    if (body.count && body.items[0].kind == StmtKind::expr && body.items[0].expr->kind == ExprKind::str)
        return 1;
    return 0;
}

// The if a guard is made from: the first statement (after a docstring) of a body of at least
// two, an if without else whose body ends in return or raise. Null when there is none.
const Stmt* guardCandidate(StmtList body) {
    uint64_t first = afterDocstring(body);
    if (body.count < first + 2) return nullptr;
    const Stmt& test = body.items[first];
    if (test.kind != StmtKind::if_ || test.if_.orelse.count || !test.if_.body.count) return nullptr;
    StmtKind last = test.if_.body.items[test.if_.body.count - 1].kind;
    if (last != StmtKind::return_ && last != StmtKind::raise) return nullptr;
    return &test;
}

// A new guard body in the compiler's arena for the if: the same test and branch, and an else
// that returns the out-of-line call. Null when memory runs out.
const Stmt* makeGuard(Compiler* c, const Stmt& test) {
    Stmt* guard = compile::takeArray<Stmt>(c, 1);
    Stmt* otherwise = compile::takeArray<Stmt>(c, 1);
    Expr* call = compile::takeArray<Expr>(c, 1);
    if (!guard || !otherwise || !call) return nullptr;
    call->kind = ExprKind::outOfLine;
    call->position = test.position;
    otherwise->kind = StmtKind::return_;
    otherwise->position = test.position;
    otherwise->return_ = call;
    guard->kind = StmtKind::if_;
    guard->position = test.position;
    guard->if_.test = test.if_.test;
    guard->if_.body = test.if_.body;
    guard->if_.orelse = StmtList{otherwise, 1};
    return guard;
}

Status allPure(ExprList list, PyObject* globals, bool* out) {
    *out = true;
    for (uint64_t i = 0; i < list.count && *out; i++)
        if (Status s = isPureTest(list.items[i], globals, out); s != Status::ok) return s;
    return Status::ok;
}

// The builtins a pure test may call when the module does not rebind them.
bool isPureBuiltinName(Text name) {
    return textIs(name, "isinstance") || textIs(name, "type") || textIs(name, "len") ||
           textIs(name, "callable");
}

// A call in a pure test: of a global name, without keywords, on pure arguments, of a module
// function the analyzer finds pure or of one of the pure builtins.
Status callIsPure(const Expr* e, PyObject* globals, bool* out) {
    *out = false;
    if (e->call.keywords.count || e->call.callee->kind != ExprKind::global) return Status::ok;
    if (Status s = allPure(e->call.arguments, globals, out); s != Status::ok || !*out) return s;
    *out = false;
    Text name = e->call.callee->global;
    PyObject* value = nullptr;
    if (Status s = globalValue(globals, name, &value); s != Status::ok) return s;
    if (!value) {
        *out = isPureBuiltinName(name);
        return Status::ok;
    }
    StableTypes types{};
    Status s = stableTypes(&types);
    int function = s == Status::ok ? PyObject_IsInstance(value, types.function) : -1;
    if (function < 0) s = Status::pythonError;
    if (function == 1) s = isPure(value, out);
    Py_DECREF(value);
    return s;
}

}  // namespace

Status isPureTest(const Expr* e, PyObject* globals, bool* out) {
    // Constants, locals and globals (the kinds up to global) read the same every time.
    *out = e->kind <= ExprKind::global;
    if (*out) return Status::ok;
    switch (e->kind) {
    case ExprKind::attribute:
        return isPureTest(e->attribute.object, globals, out);
    case ExprKind::unary:
        return isPureTest(e->unary.operand, globals, out);
    case ExprKind::subscript: {
        Status s = isPureTest(e->subscript.object, globals, out);
        if (s != Status::ok || !*out) return s;
        return isPureTest(e->subscript.index, globals, out);
    }
    case ExprKind::binary: {
        Status s = isPureTest(e->binary.left, globals, out);
        if (s != Status::ok || !*out) return s;
        return isPureTest(e->binary.right, globals, out);
    }
    case ExprKind::and_:
    case ExprKind::or_:
        return allPure(e->and_, globals, out);
    case ExprKind::list:
    case ExprKind::tuple:
        return allPure(e->list, globals, out);
    case ExprKind::compare: {
        Status s = isPureTest(e->compare.left, globals, out);
        if (s != Status::ok || !*out) return s;
        return allPure(e->compare.comparators, globals, out);
    }
    case ExprKind::call:
        return callIsPure(e, globals, out);
    default:
        // Slices, nested calls, closures, assignment expressions, starred, imports,
        // if-expressions, sets, comprehensions, f-strings, out-of-line calls.
        return Status::ok;
    }
}

Status frontOfGlobal(Compiler* c, const FunctionIR* f, Text name, FunctionIR** out) {
    *out = nullptr;
    PyObject* globals = globalsOf(f);
    if (!globals) return Status::pythonError;
    PyObject* value = nullptr;
    Status s = globalValue(globals, name, &value);
    Py_DECREF(globals);
    if (s != Status::ok || !value) return s;
    int plain = isPlainFunction(value);
    if (plain < 0) PyErr_Clear();  // no stable types: the name counts as unbound
    if (plain == 1) {
        s = frontOf(c, value, out);
        if (s == Status::unsupported) {
            // A function that runs as Python: nothing is known of it, and its reason is not
            // this compilation's error.
            c->message.clear();
            *out = nullptr;
            s = Status::ok;
        }
    }
    Py_DECREF(value);
    return s;
}

Status statementsRaise(Compiler* c, const FunctionIR* f, StmtList statements, bool* out) {
    *out = false;
    for (uint64_t i = 0; i < statements.count && !*out; i++) {
        const Stmt& st = statements.items[i];
        Status s = Status::ok;
        switch (st.kind) {
        case StmtKind::expr: {
            const Expr* e = st.expr;
            if (e->kind != ExprKind::call || e->call.callee->kind != ExprKind::global) break;
            FunctionIR* callee = nullptr;
            s = frontOfGlobal(c, f, e->call.callee->global, &callee);
            if (s == Status::ok && callee) s = alwaysRaises(c, callee, out);
            break;
        }
        case StmtKind::raise:
        case StmtKind::raiseFrom: {
            const Expr* e = st.kind == StmtKind::raise ? st.raise : st.raiseFrom.exception;
            if (!e) break;  // a bare raise re-raises what was caught, maybe a jump
            bool jumps = true;
            s = raiseJumps(c, f, e, &jumps);
            *out = s == Status::ok && !jumps;
            break;
        }
        case StmtKind::if_: {
            if (!st.if_.orelse.count) break;
            bool body = false;
            s = statementsRaise(c, f, st.if_.body, &body);
            if (s == Status::ok && body) s = statementsRaise(c, f, st.if_.orelse, out);
            break;
        }
        case StmtKind::block:
            s = statementsRaise(c, f, st.block, out);
            break;
        default:
            break;
        }
        if (s != Status::ok) {
            *out = false;
            return s;
        }
    }
    return Status::ok;
}

Status alwaysRaises(Compiler* c, const FunctionIR* f, bool* out) {
    *out = false;
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(f));
    if (uint8_t* known = c->raisesMemo.find(key)) {
        *out = *known != 0;
        return Status::ok;
    }
    // Entered as not raising first, so that functions calling each other end.
    if (!c->raisesMemo.put(key, 0)) return Status::outOfMemory;
    bool raises = false;
    Status s = containsReturn(f->body) ? Status::ok : statementsRaise(c, f, f->body, &raises);
    if (s != Status::ok) {
        // Not settled: the next question asks again.
        c->raisesMemo.remove(key);
        return s;
    }
    if (!c->raisesMemo.put(key, raises ? 1 : 0)) return Status::outOfMemory;
    *out = raises;
    return Status::ok;
}

Status guardOf(Compiler* c, const FunctionIR* f, const Stmt** out) {
    *out = nullptr;
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(f));
    if (const Stmt** known = c->guardMemo.find(key)) {
        *out = *known;
        return Status::ok;
    }
    const Stmt* guard = nullptr;
    if (const Stmt* test = guardCandidate(f->body)) {
        PyObject* globals = globalsOf(f);
        if (!globals) return Status::pythonError;
        bool pure = false;
        Status s = isPureTest(test->if_.test, globals, &pure);
        Py_DECREF(globals);
        if (s != Status::ok) return s;
        if (pure) {
            guard = makeGuard(c, *test);
            if (!guard) return Status::outOfMemory;
        }
    }
    if (!c->guardMemo.put(key, guard)) return Status::outOfMemory;
    *out = guard;
    return Status::ok;
}

}  // namespace wuna::front
