// The with statement, built from plain IR: hidden locals, __enter__, a try whose handler
// calls __exit__ with the exception, and a finally that calls __exit__(None, None, None)
// when the body ended normally. __exit__ is looked up (and must exist) before __enter__ is
// called, as Python does: a manager without __exit__ fails before its __enter__ runs.
#include <cstdio>
#include <cstring>
#include <utility>

#include "compiler/front/lower.h"

namespace wuna::front {

namespace {

struct Builder {
    Lowering& lowering;
    Position position;
    Status status = Status::ok;

    Expr* expr(ExprKind kind) {
        Expr* node = nullptr;
        if (status == Status::ok) status = newExpr(lowering, kind, position, &node);
        return node;
    }
    template <typename T>
    T* array(size_t count) {
        T* items = status == Status::ok ? takeArray<T>(arenaOf(lowering), count) : nullptr;
        if (!items && status == Status::ok) status = Status::outOfMemory;
        return items;
    }
    Expr* local(uint32_t index) {
        Expr* node = expr(ExprKind::local);
        if (node) node->local = index;
        return node;
    }
    Expr* global(const char* name) {
        Expr* node = expr(ExprKind::global);
        if (node) node->global = Text{name, strlen(name)};
        return node;
    }
    Expr* attribute(Expr* object, const char* name) {
        Expr* node = expr(ExprKind::attribute);
        if (node) node->attribute = {object, Text{name, strlen(name)}};
        return node;
    }
    Expr* call(Expr* callee, std::initializer_list<Expr*> arguments) {
        Expr** items = array<Expr*>(arguments.size());
        Expr* node = expr(ExprKind::call);
        if (!node || !items) return nullptr;
        size_t i = 0;
        for (Expr* argument : arguments) items[i++] = argument;
        node->call.callee = callee;
        node->call.arguments = ExprList{items, arguments.size()};
        node->call.keywords = KeywordList{nullptr, 0};
        return node;
    }
    Expr* boolean(bool value) {
        Expr* node = expr(ExprKind::bool_);
        if (node) node->bool_ = value ? 1 : 0;
        return node;
    }
    StmtList stmts(size_t count) {
        Stmt* items = array<Stmt>(count);
        for (size_t i = 0; items && i < count; i++) items[i].position = position;
        return StmtList{items, items ? count : 0};
    }
    void assignLocal(Stmt& into, uint32_t local, Expr* value) {
        Target* target = array<Target>(1);
        if (!target) return;
        target->kind = TargetKind::local;
        target->local = local;
        into.kind = StmtKind::assign;
        into.assign.targets = TargetList{target, 1};
        into.assign.value = value;
    }
};

Status hiddenLocal(Lowering& lowering, uint32_t n, const char* suffix, uint32_t* out) {
    char name[48];
    int length = snprintf(name, sizeof name, "<with %u %s>", n, suffix);
    return localIndex(lowering, Text{name, size_t(length)}, out);
}

}  // namespace

Status lowerWith(Lowering& lowering, PyObject* items, Py_ssize_t index, PyObject* body,
                 Position position, StmtList* out) {
    *out = StmtList{nullptr, 0};
    if (!PyList_Check(items)) {
        PyErr_SetString(PyExc_TypeError, "items must be a list");
        return Status::pythonError;
    }
    if (index >= PyList_GET_SIZE(items)) return lowerStmts(lowering, body, out);
    PyObject* item = PyList_GET_ITEM(items, index);
    uint32_t n = lowering.locals.count, mgr, value, normal, exc;
    for (auto [suffix, local] : {std::pair{"mgr", &mgr}, std::pair{"value", &value},
                                 std::pair{"normal", &normal}, std::pair{"exc", &exc}})
        if (Status s = hiddenLocal(lowering, n, suffix, local); s != Status::ok) return s;

    Expr* manager;
    if (Status s = lowerExprAttr(lowering, item, "context_expr", &manager); s != Status::ok)
        return s;
    PyObject* vars = PyObject_GetAttrString(item, "optional_vars");
    if (!vars) return Status::pythonError;
    Target target{};
    Status s = vars == Py_None ? Status::ok : lowerTarget(lowering, vars, &target);
    bool hasTarget = vars != Py_None;
    Py_DECREF(vars);
    if (s != Status::ok) return s;
    StmtList inner;
    if ((s = lowerWith(lowering, items, index + 1, body, position, &inner)) != Status::ok) return s;

    Builder b{lowering, position};
    // The protected statements: the target's assignment, then the inner statements.
    StmtList tryBody = inner;
    if (hasTarget) {
        tryBody = b.stmts(inner.count + 1);
        if (tryBody.items) {
            Target* targets = b.array<Target>(1);
            if (targets) {
                *targets = target;
                tryBody.items[0].kind = StmtKind::assign;
                tryBody.items[0].assign.targets = TargetList{targets, 1};
                tryBody.items[0].assign.value = b.local(value);
            }
            for (uint64_t i = 0; i < inner.count; i++) tryBody.items[i + 1] = inner.items[i];
        }
    }
    // except BaseException as exc: normal = False; if not exit(type(exc), exc, tb): raise
    Handler* handler = b.array<Handler>(1);
    StmtList handlerBody = b.stmts(2);
    StmtList reraise = b.stmts(1);
    Expr* test = b.expr(ExprKind::unary);
    Expr* exitCall = b.call(b.attribute(b.local(mgr), "__exit__"),
                            {b.call(b.global("type"), {b.local(exc)}), b.local(exc),
                             b.attribute(b.local(exc), "__traceback__")});
    // mgr = C; mgr.__exit__ (read, so that a manager without it fails before __enter__ runs);
    // value = mgr.__enter__(); normal = True; try/finally.
    StmtList result = b.stmts(5);
    Expr* exitRead = b.attribute(b.local(mgr), "__exit__");
    StmtList outer = b.stmts(1);
    StmtList finally = b.stmts(1);
    StmtList finalBody = b.stmts(1);
    Expr* none = b.expr(ExprKind::none);
    Expr* finalExit = b.call(b.attribute(b.local(mgr), "__exit__"), {none, none, none});
    Expr* enter = b.call(b.attribute(b.local(mgr), "__enter__"), {});
    Expr* isFalse = b.boolean(false);
    Expr* isTrue = b.boolean(true);
    Expr* normalTest = b.local(normal);
    if (b.status != Status::ok) return b.status;

    b.assignLocal(handlerBody.items[0], normal, isFalse);
    test->unary = {exitCall, UnaryOp::not_};
    reraise.items[0].kind = StmtKind::raise;
    handlerBody.items[1].kind = StmtKind::if_;
    handlerBody.items[1].if_ = {test, reraise, StmtList{nullptr, 0}};
    *handler = Handler{b.global("BaseException"), handlerBody, position, exc, 1};
    outer.items[0].kind = StmtKind::try_;
    outer.items[0].try_ = {tryBody, HandlerList{handler, 1}, {nullptr, 0}, {nullptr, 0}};

    b.assignLocal(result.items[0], mgr, manager);
    result.items[1].kind = StmtKind::expr;
    result.items[1].expr = exitRead;
    b.assignLocal(result.items[2], value, enter);
    b.assignLocal(result.items[3], normal, isTrue);
    finalBody.items[0].kind = StmtKind::expr;
    finalBody.items[0].expr = finalExit;
    finally.items[0].kind = StmtKind::if_;
    finally.items[0].if_ = {normalTest, finalBody, StmtList{nullptr, 0}};
    result.items[4].kind = StmtKind::try_;
    result.items[4].try_ = {outer, HandlerList{nullptr, 0}, {nullptr, 0}, finally};
    if (b.status != Status::ok) return b.status;
    *out = result;
    return Status::ok;
}

}  // namespace wuna::front
