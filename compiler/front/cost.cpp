// The inline cost estimate.
#include "compiler/front/cost.h"

#include <cstdlib>
#include <cstring>

#include "compiler/backend/compile.h"
#include "compiler/front/lookup.h"
#include "compiler/front/shape.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"

namespace wuna::front {

namespace {

uint64_t listCost(ExprList list) {
    uint64_t cost = 0;
    for (uint64_t i = 0; i < list.count; i++) cost += exprCost(list.items[i]);
    return cost;
}

uint64_t optionalCost(const Expr* e) { return e ? exprCost(e) : 0; }

uint64_t generatorsCost(GeneratorList generators) {
    uint64_t cost = 0;
    for (uint64_t i = 0; i < generators.count; i++)
        cost += exprCost(generators.items[i].iterable) + listCost(generators.items[i].conditions);
    return cost;
}

uint64_t fstringCost(FStringPartList parts) {
    uint64_t cost = 0;
    for (uint64_t i = 0; i < parts.count; i++)
        if (parts.items[i].tag == FStringTag::value) cost += exprCost(parts.items[i].value.value);
    return cost;
}

uint64_t stmtsCost(StmtList statements) {
    uint64_t cost = 0;
    for (uint64_t i = 0; i < statements.count; i++) cost += stmtCost(statements.items[i]);
    return cost;
}

// Truth of a known value: 1, 0, or -1 when unknown (a Python error there is cleared).
int truthOf(EvalValue v) {
    if (v.kind == EvalKind::node) return 1;
    if (v.kind != EvalKind::object) return -1;
    int truth = PyObject_IsTrue(objectOf(v));
    if (truth < 0) PyErr_Clear();
    return truth;
}

EvalValue boolValue(bool b) { return objectValue(b ? Py_True : Py_False); }

// A node's kind name, as rt.kind gives it.
EvalValue kindValue(EvalContext* cx, uint32_t node) {
    const ptree::GrammarInfo* grammar = cx->tree->grammar;
    uint32_t kind = ptree::kindOf(cx->tree->nodes[node]);
    if (!grammar || kind >= grammar->kindCount || !grammar->pyNames[kind])
        return keepEvalObject(cx, PyUnicode_InternFromString("<error>"));
    return keepEvalObject(cx, Py_NewRef(grammar->pyNames[kind]));
}

// A node's source text, its byte range clamped to the text.
EvalValue textValue(EvalContext* cx, uint32_t node) {
    const ptree::NodeRecord& record = cx->tree->nodes[node];
    uint64_t length = cx->tree->textLength;
    uint64_t start = record.start < length ? record.start : length;
    uint64_t end = record.end < length ? record.end : length;
    if (end < start) end = start;
    return keepEvalObject(
        cx, PyUnicode_DecodeUTF8(cx->tree->text + start, Py_ssize_t(end - start), "replace"));
}

EvalValue attributeValue(EvalContext* cx, const Expr* e) {
    EvalValue object = evalExpr(cx, e->attribute.object);
    if (object.kind != EvalKind::node || !cx->tree || object.payload >= cx->tree->count)
        return unknownValue();
    uint32_t node = uint32_t(object.payload);
    if (textIs(e->attribute.name, "kind")) return kindValue(cx, node);
    if (textIs(e->attribute.name, "text")) return textValue(cx, node);
    return unknownValue();
}

// and (stopAt false) and or (stopAt true): a bool once every operand's truth is known.
EvalValue logicValue(EvalContext* cx, ExprList operands, bool stopAt) {
    for (uint64_t i = 0; i < operands.count; i++) {
        int truth = truthOf(evalExpr(cx, operands.items[i]));
        if (truth < 0) return unknownValue();
        if ((truth == 1) == stopAt) return boolValue(stopAt);
    }
    return boolValue(!stopAt);
}

EvalValue compareValue(EvalContext* cx, const Expr* e) {
    if (e->compare.ops.count != 1) return unknownValue();
    EvalValue left = evalExpr(cx, e->compare.left);
    EvalValue right = evalExpr(cx, e->compare.comparators.items[0]);
    if (left.kind != EvalKind::object || right.kind != EvalKind::object) return unknownValue();
    PyObject* a = objectOf(left);
    PyObject* b = objectOf(right);
    int result = -1;
    switch (e->compare.ops.items[0]) {
    case CompareOp::eq:
        result = PyObject_RichCompareBool(a, b, Py_EQ);
        break;
    case CompareOp::ne:
        result = PyObject_RichCompareBool(a, b, Py_NE);
        break;
    case CompareOp::is:
        result = a == b;
        break;
    case CompareOp::isNot:
        result = a != b;
        break;
    case CompareOp::in:
    case CompareOp::notIn:
        result = PySequence_Contains(b, a);
        if (result >= 0 && e->compare.ops.items[0] == CompareOp::notIn) result = !result;
        break;
    default:
        // An order comparison is left to run time.
        return unknownValue();
    }
    if (result < 0) {
        PyErr_Clear();
        return unknownValue();
    }
    return boolValue(result == 1);
}

void forgetLocal(EvalContext* cx, uint32_t local) {
    if (local < cx->localCount) cx->locals[local] = unknownValue();
}

void forgetTargets(EvalContext* cx, TargetList targets) {
    for (uint64_t i = 0; i < targets.count; i++) forgetTarget(cx, targets.items[i]);
}

void forgetInStmts(EvalContext* cx, StmtList statements);

// Locals an expression changes: assignment expressions, comprehension variables, and any local
// a method is called on (append, update, ... change it; a kept value would be stale).
void forgetInExpr(EvalContext* cx, const Expr* e) {
    if (!e) return;
    auto all = [&](ExprList list) {
        for (uint64_t i = 0; i < list.count; i++) forgetInExpr(cx, list.items[i]);
    };
    auto generators = [&](GeneratorList list) {
        for (uint64_t i = 0; i < list.count; i++) {
            forgetTarget(cx, list.items[i].target);
            forgetInExpr(cx, list.items[i].iterable);
            all(list.items[i].conditions);
        }
    };
    switch (e->kind) {
    case ExprKind::attribute:
        return forgetInExpr(cx, e->attribute.object);
    case ExprKind::subscript:
        forgetInExpr(cx, e->subscript.object);
        return forgetInExpr(cx, e->subscript.index);
    case ExprKind::slice:
        forgetInExpr(cx, e->slice.object);
        forgetInExpr(cx, e->slice.lower);
        forgetInExpr(cx, e->slice.upper);
        return forgetInExpr(cx, e->slice.step);
    case ExprKind::call: {
        const Expr* callee = e->call.callee;
        if (callee->kind == ExprKind::attribute && callee->attribute.object->kind == ExprKind::local)
            forgetLocal(cx, callee->attribute.object->local);
        forgetInExpr(cx, callee);
        all(e->call.arguments);
        for (uint64_t i = 0; i < e->call.keywords.count; i++)
            forgetInExpr(cx, e->call.keywords.items[i].value);
        return;
    }
    case ExprKind::nestedCall:
        return all(e->nestedCall.arguments);
    case ExprKind::namedExpr:
        forgetLocal(cx, e->namedExpr.local);
        return forgetInExpr(cx, e->namedExpr.value);
    case ExprKind::starred:
        return forgetInExpr(cx, e->starred);
    case ExprKind::binary:
        forgetInExpr(cx, e->binary.left);
        return forgetInExpr(cx, e->binary.right);
    case ExprKind::unary:
        return forgetInExpr(cx, e->unary.operand);
    case ExprKind::and_:
    case ExprKind::or_:
        return all(e->and_);
    case ExprKind::compare:
        forgetInExpr(cx, e->compare.left);
        return all(e->compare.comparators);
    case ExprKind::ifExp:
        forgetInExpr(cx, e->ifExp.test);
        forgetInExpr(cx, e->ifExp.body);
        return forgetInExpr(cx, e->ifExp.orelse);
    case ExprKind::list:
    case ExprKind::tuple:
        return all(e->list);
    case ExprKind::set:
        return all(e->set.elements);
    case ExprKind::dict:
        all(e->dict.keys);
        return all(e->dict.values);
    case ExprKind::setComp:
    case ExprKind::listComp:
    case ExprKind::generatorExp:
        forgetInExpr(cx, e->listComp.element);
        return generators(e->listComp.generators);
    case ExprKind::dictComp:
        forgetInExpr(cx, e->dictComp.key);
        forgetInExpr(cx, e->dictComp.value);
        return generators(e->dictComp.generators);
    case ExprKind::fstring:
        for (uint64_t i = 0; i < e->fstring.count; i++)
            if (e->fstring.items[i].tag == FStringTag::value)
                forgetInExpr(cx, e->fstring.items[i].value.value);
        return;
    default:
        return;
    }
}

// Makes every local the statement assigns or changes unknown.
void forgetInStmt(EvalContext* cx, const Stmt& s) {
    switch (s.kind) {
    case StmtKind::assign:
        forgetTargets(cx, s.assign.targets);
        return forgetInExpr(cx, s.assign.value);
    case StmtKind::augAssign:
        forgetTarget(cx, s.augAssign.target);
        return forgetInExpr(cx, s.augAssign.value);
    case StmtKind::expr:
        return forgetInExpr(cx, s.expr);
    case StmtKind::if_:
    case StmtKind::while_:
        forgetInExpr(cx, s.if_.test);
        forgetInStmts(cx, s.if_.body);
        return forgetInStmts(cx, s.if_.orelse);
    case StmtKind::for_:
        forgetTarget(cx, s.for_.target);
        forgetInExpr(cx, s.for_.iterable);
        forgetInStmts(cx, s.for_.body);
        return forgetInStmts(cx, s.for_.orelse);
    case StmtKind::return_:
        return forgetInExpr(cx, s.return_);
    case StmtKind::raise:
        return forgetInExpr(cx, s.raise);
    case StmtKind::assert_:
        forgetInExpr(cx, s.assert_.test);
        return forgetInExpr(cx, s.assert_.message);
    case StmtKind::try_:
        forgetInStmts(cx, s.try_.body);
        for (uint64_t i = 0; i < s.try_.handlers.count; i++) {
            const Handler& h = s.try_.handlers.items[i];
            if (h.binds) forgetLocal(cx, h.local);
            forgetInStmts(cx, h.body);
        }
        forgetInStmts(cx, s.try_.orelse);
        return forgetInStmts(cx, s.try_.finally);
    case StmtKind::delLocal:
        return forgetLocal(cx, s.delLocal);
    case StmtKind::delItem:
        forgetInExpr(cx, s.delItem.object);
        return forgetInExpr(cx, s.delItem.index);
    case StmtKind::raiseFrom:
        forgetInExpr(cx, s.raiseFrom.exception);
        return forgetInExpr(cx, s.raiseFrom.cause);
    case StmtKind::block:
        return forgetInStmts(cx, s.block);
    case StmtKind::break_:
    case StmtKind::continue_:
    case StmtKind::pass:
        return;
    }
}

void forgetInStmts(EvalContext* cx, StmtList statements) {
    for (uint64_t i = 0; i < statements.count; i++) forgetInStmt(cx, statements.items[i]);
}

// An if statement: one branch when the test's truth is known, else both from the same locals.
Status ifCost(EvalContext* cx, const Stmt& s, bool* ends) {
    cx->cost += exprCost(s.if_.test);
    int truth = truthOf(evalExpr(cx, s.if_.test));
    if (truth >= 0) return walkCost(cx, truth ? s.if_.body : s.if_.orelse, ends);
    size_t bytes = size_t(cx->localCount) * sizeof(EvalValue);
    EvalValue* saved = static_cast<EvalValue*>(malloc(bytes ? bytes : 1));
    if (!saved) return Status::outOfMemory;
    if (bytes) memcpy(saved, cx->locals, bytes);
    bool bodyEnds = false;
    bool elseEnds = false;
    Status st = walkCost(cx, s.if_.body, &bodyEnds);
    if (bytes) memcpy(cx->locals, saved, bytes);
    if (st == Status::ok) st = walkCost(cx, s.if_.orelse, &elseEnds);
    if (bytes) memcpy(cx->locals, saved, bytes);
    free(saved);
    if (st != Status::ok) return st;
    forgetInStmt(cx, s);
    *ends = bodyEnds && elseEnds;
    return Status::ok;
}

void releaseContext(EvalContext* cx) {
    // Taken out first: releasing an object may run Python code.
    backend::List<PyObject*> made = cx->made;
    cx->made = {};
    for (size_t i = 0; i < made.count; i++) Py_DECREF(made[i]);
    made.free();
    free(cx->locals);
    cx->locals = nullptr;
    Py_CLEAR(cx->globals);
}

}  // namespace

uint64_t exprCost(const Expr* e) {
    uint64_t cost = 1;
    switch (e->kind) {
    case ExprKind::attribute:
        return cost + exprCost(e->attribute.object);
    case ExprKind::subscript:
        return cost + exprCost(e->subscript.object) + exprCost(e->subscript.index);
    case ExprKind::slice:
        return cost + exprCost(e->slice.object) + optionalCost(e->slice.lower) +
               optionalCost(e->slice.upper) + optionalCost(e->slice.step);
    case ExprKind::call: {
        cost += exprCost(e->call.callee) + listCost(e->call.arguments);
        for (uint64_t i = 0; i < e->call.keywords.count; i++)
            cost += exprCost(e->call.keywords.items[i].value);
        return cost;
    }
    case ExprKind::nestedCall:
        return cost + listCost(e->nestedCall.arguments);
    case ExprKind::namedExpr:
        return cost + exprCost(e->namedExpr.value);
    case ExprKind::starred:
        return cost + exprCost(e->starred);
    case ExprKind::binary:
        return cost + exprCost(e->binary.left) + exprCost(e->binary.right);
    case ExprKind::unary:
        return cost + exprCost(e->unary.operand);
    case ExprKind::and_:
    case ExprKind::or_:
        return cost + listCost(e->and_);
    case ExprKind::compare:
        return cost + exprCost(e->compare.left) + listCost(e->compare.comparators);
    case ExprKind::ifExp:
        return cost + exprCost(e->ifExp.test) + exprCost(e->ifExp.body) +
               exprCost(e->ifExp.orelse);
    case ExprKind::list:
    case ExprKind::tuple:
        return cost + listCost(e->list);
    case ExprKind::set:
        return cost + listCost(e->set.elements);
    case ExprKind::dict:
        return cost + listCost(e->dict.keys) + listCost(e->dict.values);
    case ExprKind::setComp:
    case ExprKind::listComp:
    case ExprKind::generatorExp:
        return cost + exprCost(e->listComp.element) + generatorsCost(e->listComp.generators);
    case ExprKind::dictComp:
        return cost + exprCost(e->dictComp.key) + exprCost(e->dictComp.value) +
               generatorsCost(e->dictComp.generators);
    case ExprKind::fstring:
        return cost + fstringCost(e->fstring);
    default:
        // Constants, locals, globals, closures, imports, the out-of-line call: the node alone.
        return cost;
    }
}

uint64_t stmtCost(const Stmt& s) {
    switch (s.kind) {
    case StmtKind::assign:
        return exprCost(s.assign.value);
    case StmtKind::augAssign:
        return exprCost(s.augAssign.value);
    case StmtKind::expr:
        return exprCost(s.expr);
    case StmtKind::assert_:
        return exprCost(s.assert_.test);
    case StmtKind::if_:
    case StmtKind::while_:
        return exprCost(s.if_.test) + stmtsCost(s.if_.body) + stmtsCost(s.if_.orelse);
    case StmtKind::for_:
        return exprCost(s.for_.iterable) + stmtsCost(s.for_.body) + stmtsCost(s.for_.orelse);
    case StmtKind::return_:
        return optionalCost(s.return_);
    case StmtKind::raise:
        return optionalCost(s.raise);
    case StmtKind::try_: {
        uint64_t cost = stmtsCost(s.try_.body) + stmtsCost(s.try_.orelse) +
                        stmtsCost(s.try_.finally);
        for (uint64_t i = 0; i < s.try_.handlers.count; i++)
            cost += stmtsCost(s.try_.handlers.items[i].body);
        return cost;
    }
    case StmtKind::delItem:
        return exprCost(s.delItem.object) + exprCost(s.delItem.index);
    case StmtKind::raiseFrom:
        return exprCost(s.raiseFrom.exception) + exprCost(s.raiseFrom.cause);
    case StmtKind::block:
        return stmtsCost(s.block);
    case StmtKind::break_:
    case StmtKind::continue_:
    case StmtKind::pass:
    case StmtKind::delLocal:
        return 0;
    }
    return 0;
}

EvalValue keepEvalObject(EvalContext* cx, PyObject* o) {
    if (!o) {
        PyErr_Clear();
        return unknownValue();
    }
    if (!cx->made.push(o)) {
        Py_DECREF(o);
        return unknownValue();
    }
    return objectValue(o);
}

void forgetTarget(EvalContext* cx, const Target& t) {
    if (t.kind == TargetKind::local) forgetLocal(cx, t.local);
    else if (t.kind == TargetKind::tuple) forgetTargets(cx, t.tuple);
}

EvalValue evalExpr(EvalContext* cx, const Expr* e) {
    switch (e->kind) {
    case ExprKind::int_:
        return keepEvalObject(cx, PyLong_FromLongLong(e->int_));
    case ExprKind::str:
        return keepEvalObject(
            cx, PyUnicode_DecodeUTF8(e->str.data, Py_ssize_t(e->str.length), "replace"));
    case ExprKind::bool_:
        return boolValue(e->bool_ != 0);
    case ExprKind::none:
        return objectValue(Py_None);
    case ExprKind::local:
        return e->local < cx->localCount ? cx->locals[e->local] : unknownValue();
    case ExprKind::global: {
        PyObject* value = nullptr;
        if (globalValue(cx->globals, e->global, &value) != Status::ok) {
            PyErr_Clear();
            return unknownValue();
        }
        // A builtin is not in the namespace: unknown, so a test calling it never folds.
        return value ? keepEvalObject(cx, value) : unknownValue();
    }
    case ExprKind::attribute:
        return attributeValue(cx, e);
    case ExprKind::unary: {
        if (e->unary.op != UnaryOp::not_) return unknownValue();
        int truth = truthOf(evalExpr(cx, e->unary.operand));
        return truth < 0 ? unknownValue() : boolValue(truth == 0);
    }
    case ExprKind::and_:
        return logicValue(cx, e->and_, false);
    case ExprKind::or_:
        return logicValue(cx, e->or_, true);
    case ExprKind::compare:
        return compareValue(cx, e);
    default:
        return unknownValue();
    }
}

Status walkCost(EvalContext* cx, StmtList statements, bool* ends) {
    *ends = false;
    for (uint64_t i = 0; i < statements.count; i++) {
        const Stmt& s = statements.items[i];
        switch (s.kind) {
        case StmtKind::assign: {
            cx->cost += exprCost(s.assign.value);
            EvalValue value = evalExpr(cx, s.assign.value);
            forgetTargets(cx, s.assign.targets);
            forgetInExpr(cx, s.assign.value);
            const TargetList& targets = s.assign.targets;
            if (targets.count == 1 && targets.items[0].kind == TargetKind::local &&
                targets.items[0].local < cx->localCount)
                cx->locals[targets.items[0].local] = value;
            break;
        }
        case StmtKind::augAssign:
            cx->cost += exprCost(s.augAssign.value);
            forgetInStmt(cx, s);
            break;
        case StmtKind::expr:
            cx->cost += exprCost(s.expr);
            forgetInExpr(cx, s.expr);
            break;
        case StmtKind::if_:
            if (Status st = ifCost(cx, s, ends); st != Status::ok || *ends) return st;
            break;
        case StmtKind::return_:
            cx->cost += optionalCost(s.return_);
            *ends = true;
            return Status::ok;
        case StmtKind::raise:
            cx->cost += optionalCost(s.raise);
            *ends = true;
            return Status::ok;
        default:
            cx->cost += stmtCost(s);
            forgetInStmt(cx, s);
            break;
        }
    }
    return Status::ok;
}

Status inlineCost(const compile::Compiler* c, const FunctionIR* callee, StmtList statements,
                  const EvalValue* arguments, size_t count, uint64_t* out) {
    *out = 0;
    EvalContext cx{};
    cx.tree = c ? c->tree : nullptr;
    cx.globals = globalsOf(callee);
    if (!cx.globals) return Status::pythonError;
    cx.localCount = callee->locals.count;
    cx.locals = static_cast<EvalValue*>(calloc(cx.localCount ? cx.localCount : 1, sizeof(EvalValue)));
    if (!cx.locals) {
        releaseContext(&cx);
        return Status::outOfMemory;
    }
    for (size_t i = 0; i < count && i < cx.localCount; i++) cx.locals[i] = arguments[i];
    bool ends = false;
    Status s = walkCost(&cx, statements, &ends);
    *out = cx.cost;
    releaseContext(&cx);
    return s;
}

namespace {

// What the estimate knows of one argument shape. An int or str is made here and kept in made
// (one reference), since the estimate borrows its arguments. ok, or outOfMemory when made
// cannot grow (the object released).
Status shapeValue(const compile::Shape& shape, backend::List<PyObject*>* made, EvalValue* out) {
    using compile::ShapeKind;
    *out = unknownValue();
    PyObject* o = nullptr;
    switch (shape.kind) {
    case ShapeKind::none:
        *out = objectValue(Py_None);
        return Status::ok;
    case ShapeKind::bool_:
        *out = objectValue(shape.bool_ ? Py_True : Py_False);
        return Status::ok;
    case ShapeKind::node:
        *out = nodeValue(shape.node);
        return Status::ok;
    case ShapeKind::py:
        *out = objectValue(shape.py);
        return Status::ok;
    case ShapeKind::int_:
    case ShapeKind::pint:
        o = PyLong_FromLongLong(shape.int_);
        break;
    case ShapeKind::str:
        o = PyUnicode_DecodeUTF8(shape.str.data, Py_ssize_t(shape.str.length), "replace");
        break;
    default:
        return Status::ok;
    }
    if (!o) {
        // Only an estimate: a constant that can't be made is a value not known.
        PyErr_Clear();
        return Status::ok;
    }
    if (!made->push(o)) {
        Py_DECREF(o);
        return Status::outOfMemory;
    }
    *out = objectValue(o);
    return Status::ok;
}

}  // namespace

Status inlineCostOf(const compile::Compiler* c, const FunctionIR* callee, StmtList statements,
                    const compile::Shape* arguments, size_t count, uint64_t* out) {
    *out = 0;
    backend::List<PyObject*> made;
    EvalValue* values = static_cast<EvalValue*>(calloc(count ? count : 1, sizeof(EvalValue)));
    Status s = values ? Status::ok : Status::outOfMemory;
    for (size_t i = 0; s == Status::ok && i < count; i++)
        s = shapeValue(arguments[i], &made, &values[i]);
    if (s == Status::ok) s = inlineCost(c, callee, statements, values, count, out);
    free(values);
    for (size_t i = 0; i < made.count; i++) Py_DECREF(made[i]);
    made.free();
    return s;
}

}  // namespace wuna::front
