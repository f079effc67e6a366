// Statement lowering: one IR statement per Python statement, in order; what the compiler does
// not accept is refused here with its words.
#include <cstring>

#include "compiler/front/lower.h"

namespace wuna::front {

namespace {

Status makeStmts(Lowering& lowering, size_t count, StmtList* out) {
    Stmt* items = takeArray<Stmt>(arenaOf(lowering), count);
    if (!items) return Status::outOfMemory;
    *out = StmtList{items, count};
    return Status::ok;
}

bool declared(const Lowering& lowering, Text name) {
    return hasName(lowering.globals, name) || hasName(lowering.nonlocals, name);
}

// A name that a statement binds as a local; one declared global or nonlocal would be bound
// in the wrong place, so it is refused with what.
Status bindLocal(Lowering& lowering, Text name, Position position, std::string_view what,
                 uint32_t* out) {
    if (declared(lowering, name))
        return refuse(lowering, position,
                      {what, " a `global` or `nonlocal` name can't be compiled"});
    if (findLocal(lowering, name, out)) return Status::ok;
    return localIndex(lowering, name, out);
}

Status attr(PyObject* node, const char* name, PyObject** out) {
    *out = PyObject_GetAttrString(node, name);
    return *out ? Status::ok : Status::pythonError;
}

Status lowerTargetAttr(Lowering& lowering, PyObject* node, const char* name, Target* out) {
    PyObject* target;
    if (Status s = attr(node, name, &target); s != Status::ok) return s;
    Status s = lowerTarget(lowering, target, out);
    Py_DECREF(target);
    return s;
}

Status lowerAssign(Lowering& lowering, PyObject* node, Stmt* out) {
    PyObject* targets;
    if (Status s = attr(node, "targets", &targets); s != Status::ok) return s;
    Status s = Status::ok;
    Py_ssize_t count = PyList_Check(targets) ? PyList_GET_SIZE(targets) : -1;
    Target* items = count >= 0 ? takeArray<Target>(arenaOf(lowering), size_t(count)) : nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_TypeError, "targets must be a list");
        s = Status::pythonError;
    } else if (!items) {
        s = Status::outOfMemory;
    }
    for (Py_ssize_t i = 0; s == Status::ok && i < count; i++)
        s = lowerTarget(lowering, PyList_GET_ITEM(targets, i), &items[i]);
    Py_DECREF(targets);
    if (s != Status::ok) return s;
    out->kind = StmtKind::assign;
    out->assign.targets = TargetList{items, uint64_t(count)};
    return lowerExprAttr(lowering, node, "value", &out->assign.value);
}

Status lowerAnnAssign(Lowering& lowering, PyObject* node, Stmt* out) {
    PyObject* value;
    if (Status s = attr(node, "value", &value); s != Status::ok) return s;
    bool none = value == Py_None;
    Py_DECREF(value);
    if (none) {
        out->kind = StmtKind::pass;
        return Status::ok;
    }
    Target* target = takeArray<Target>(arenaOf(lowering), 1);
    if (!target) return Status::outOfMemory;
    out->kind = StmtKind::assign;
    out->assign.targets = TargetList{target, 1};
    if (Status s = lowerTargetAttr(lowering, node, "target", target); s != Status::ok) return s;
    return lowerExprAttr(lowering, node, "value", &out->assign.value);
}

Status lowerAugAssign(Lowering& lowering, PyObject* node, Stmt* out) {
    out->kind = StmtKind::augAssign;
    if (Status s = lowerTargetAttr(lowering, node, "target", &out->augAssign.target);
        s != Status::ok)
        return s;
    PyObject* op;
    if (Status s = attr(node, "op", &op); s != Status::ok) return s;
    Status s = binaryOpCode(lowering, op, out->position, &out->augAssign.op);
    Py_DECREF(op);
    if (s != Status::ok) return s;
    return lowerExprAttr(lowering, node, "value", &out->augAssign.value);
}

Status lowerTry(Lowering& lowering, PyObject* node, Stmt* out) {
    out->kind = StmtKind::try_;
    PyObject* handlers;
    if (Status s = attr(node, "handlers", &handlers); s != Status::ok) return s;
    Status s = Status::ok;
    Py_ssize_t count = PyList_Check(handlers) ? PyList_GET_SIZE(handlers) : -1;
    Handler* items = count >= 0 ? takeArray<Handler>(arenaOf(lowering), size_t(count)) : nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_TypeError, "handlers must be a list");
        s = Status::pythonError;
    } else if (!items) {
        s = Status::outOfMemory;
    }
    for (Py_ssize_t i = 0; s == Status::ok && i < count; i++) {
        PyObject* handler = PyList_GET_ITEM(handlers, i);
        Handler& h = items[i];
        PyObject* name;
        if ((s = attr(handler, "name", &name)) != Status::ok) break;
        Text text;
        if (name != Py_None) s = strText(lowering, name, "a name", &text);
        if (s == Status::ok) s = nodePosition(lowering, handler, &h.position);
        if (s == Status::ok && name != Py_None) {
            s = bindLocal(lowering, text, h.position, "`except ... as`", &h.local);
            h.binds = 1;
        }
        Py_DECREF(name);
        if (s == Status::ok) s = optionalExprAttr(lowering, handler, "type", &h.type);
        if (s == Status::ok) s = lowerStmtsAttr(lowering, handler, "body", &h.body);
    }
    Py_DECREF(handlers);
    if (s != Status::ok) return s;
    out->try_.handlers = HandlerList{items, uint64_t(count)};
    if ((s = lowerStmtsAttr(lowering, node, "body", &out->try_.body)) != Status::ok) return s;
    if ((s = lowerStmtsAttr(lowering, node, "orelse", &out->try_.orelse)) != Status::ok) return s;
    return lowerStmtsAttr(lowering, node, "finalbody", &out->try_.finally);
}

Status lowerDeleteTarget(Lowering& lowering, PyObject* target, Stmt* out) {
    if (Status s = nodePosition(lowering, target, &out->position); s != Status::ok) return s;
    ClassName kind;
    if (Status s = className(target, &kind); s != Status::ok) return s;
    if (kind.is("Name")) {
        Text name;
        if (Status s = nameAttr(lowering, target, "id", &name); s != Status::ok) return s;
        out->kind = StmtKind::delLocal;
        return bindLocal(lowering, name, out->position, "`del` of", &out->delLocal);
    }
    if (!kind.is("Subscript"))
        return refuse(lowering, out->position, {"`del` of ", kind.view(), " can't be compiled"});
    PyObject* slice;
    if (Status s = attr(target, "slice", &slice); s != Status::ok) return s;
    ClassName sliceKind;
    Status s = className(slice, &sliceKind);
    if (s == Status::ok && sliceKind.is("Slice"))
        s = refuse(lowering, out->position, "`del` of a slice can't be compiled");
    out->kind = StmtKind::delItem;
    if (s == Status::ok) s = lowerExprAttr(lowering, target, "value", &out->delItem.object);
    if (s == Status::ok) s = lowerExpr(lowering, slice, &out->delItem.index);
    Py_DECREF(slice);
    return s;
}

// One statement, or a block of several at the statement's position, from count parts.
template <typename Part>
Status lowerParts(Lowering& lowering, PyObject* list, Stmt* out, Part part) {
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "a statement's names must be a list");
        return Status::pythonError;
    }
    Py_ssize_t count = PyList_GET_SIZE(list);
    if (count == 1) return part(PyList_GET_ITEM(list, 0), out);
    StmtList block;
    if (Status s = makeStmts(lowering, size_t(count), &block); s != Status::ok) return s;
    out->kind = StmtKind::block;
    out->block = block;
    for (Py_ssize_t i = 0; i < count; i++) {
        block.items[i].position = out->position;
        if (Status s = part(PyList_GET_ITEM(list, i), &block.items[i]); s != Status::ok) return s;
    }
    return Status::ok;
}

Status lowerDelete(Lowering& lowering, PyObject* node, Stmt* out) {
    PyObject* targets;
    if (Status s = attr(node, "targets", &targets); s != Status::ok) return s;
    Position position = out->position;
    Status s = lowerParts(lowering, targets, out, [&](PyObject* target, Stmt* into) {
        Status result = lowerDeleteTarget(lowering, target, into);
        if (into == out) out->position = position;  // one target: the statement's position
        return result;
    });
    Py_DECREF(targets);
    return s;
}

// The module text of from ... import: level dots, then the module (None: nothing).
Status fromModule(Lowering& lowering, PyObject* node, Text* out) {
    int64_t level;
    if (Status s = intAttr(node, "level", 0, &level); s != Status::ok) return s;
    if (level < 0) level = 0;
    PyObject* module;
    if (Status s = attr(node, "module", &module); s != Status::ok) return s;
    Text name{"", 0};
    Status s = module == Py_None ? Status::ok : strText(lowering, module, "module", &name);
    Py_DECREF(module);
    if (s != Status::ok) return s;
    size_t length = size_t(level) + name.length;
    char* text = takeArray<char>(arenaOf(lowering), length);
    if (!text) return Status::outOfMemory;
    memset(text, '.', size_t(level));
    if (name.length) memcpy(text + level, name.data, name.length);
    *out = Text{text, length};
    return Status::ok;
}

Status lowerAlias(Lowering& lowering, PyObject* alias, bool from, Text module, Position position,
                  Stmt* out) {
    Text name;
    if (Status s = nameAttr(lowering, alias, "name", &name); s != Status::ok) return s;
    if (from && name.length == 1 && name.data[0] == '*')
        return refuse(lowering, position, "`from ... import *` can't be compiled");
    PyObject* asname;
    if (Status s = attr(alias, "asname", &asname); s != Status::ok) return s;
    Text bound = name;
    Status s = Status::ok;
    bool exact = from || asname != Py_None;
    if (asname != Py_None) {
        s = strText(lowering, asname, "asname", &bound);
    } else if (!from) {
        const void* dot = memchr(name.data, '.', name.length);
        if (dot) bound.length = uint64_t(static_cast<const char*>(dot) - name.data);
    }
    Py_DECREF(asname);
    if (s != Status::ok) return s;
    Expr* value;
    if ((s = newExpr(lowering, ExprKind::import_, position, &value)) != Status::ok) return s;
    value->import_.module = from ? module : name;
    value->import_.name = from ? name : Text{nullptr, 0};
    value->import_.exact = exact ? 1 : 0;
    Target* target = takeArray<Target>(arenaOf(lowering), 1);
    if (!target) return Status::outOfMemory;
    target->kind = TargetKind::local;
    if ((s = bindLocal(lowering, bound, position, "`import` as", &target->local)) != Status::ok)
        return s;
    out->kind = StmtKind::assign;
    out->position = position;
    out->assign.targets = TargetList{target, 1};
    out->assign.value = value;
    return Status::ok;
}

Status lowerImport(Lowering& lowering, PyObject* node, bool from, Stmt* out) {
    Text module{"", 0};
    if (from)
        if (Status s = fromModule(lowering, node, &module); s != Status::ok) return s;
    PyObject* names;
    if (Status s = attr(node, "names", &names); s != Status::ok) return s;
    Position position = out->position;
    Status s = lowerParts(lowering, names, out, [&](PyObject* alias, Stmt* into) {
        return lowerAlias(lowering, alias, from, module, position, into);
    });
    Py_DECREF(names);
    return s;
}

Status lowerWithStmt(Lowering& lowering, PyObject* node, Stmt* out) {
    PyObject* items;
    if (Status s = attr(node, "items", &items); s != Status::ok) return s;
    PyObject* body;
    Status s = attr(node, "body", &body);
    if (s == Status::ok) {
        out->kind = StmtKind::block;
        s = lowerWith(lowering, items, 0, body, out->position, &out->block);
        Py_DECREF(body);
    }
    Py_DECREF(items);
    return s;
}

Status lowerRaise(Lowering& lowering, PyObject* node, Stmt* out) {
    PyObject* cause;
    if (Status s = attr(node, "cause", &cause); s != Status::ok) return s;
    bool hasCause = cause != Py_None;
    Py_DECREF(cause);
    if (!hasCause) {
        out->kind = StmtKind::raise;
        return optionalExprAttr(lowering, node, "exc", &out->raise);
    }
    out->kind = StmtKind::raiseFrom;
    if (Status s = optionalExprAttr(lowering, node, "exc", &out->raiseFrom.exception);
        s != Status::ok)
        return s;
    return lowerExprAttr(lowering, node, "cause", &out->raiseFrom.cause);
}

Status lowerNested(Lowering& lowering, PyObject* node, Stmt* out) {
    out->kind = StmtKind::pass;
    return lowerNestedDef(lowering, node, out->position);
}

Status lowerStatement(Lowering& lowering, PyObject* node, Stmt* out) {
    if (Status s = nodePosition(lowering, node, &out->position); s != Status::ok) return s;
    ClassName kind;
    if (Status s = className(node, &kind); s != Status::ok) return s;
    std::string_view k = kind.view();
    Status s;
    if (k == "Assign") return lowerAssign(lowering, node, out);
    if (k == "AnnAssign") return lowerAnnAssign(lowering, node, out);
    if (k == "AugAssign") return lowerAugAssign(lowering, node, out);
    if (k == "Expr") {
        out->kind = StmtKind::expr;
        return lowerExprAttr(lowering, node, "value", &out->expr);
    }
    if (k == "If" || k == "While") {
        out->kind = k == "If" ? StmtKind::if_ : StmtKind::while_;
        if ((s = lowerExprAttr(lowering, node, "test", &out->if_.test)) != Status::ok) return s;
        if ((s = lowerStmtsAttr(lowering, node, "body", &out->if_.body)) != Status::ok) return s;
        return lowerStmtsAttr(lowering, node, "orelse", &out->if_.orelse);
    }
    if (k == "For") {
        out->kind = StmtKind::for_;
        if ((s = lowerTargetAttr(lowering, node, "target", &out->for_.target)) != Status::ok)
            return s;
        if ((s = lowerExprAttr(lowering, node, "iter", &out->for_.iterable)) != Status::ok)
            return s;
        if ((s = lowerStmtsAttr(lowering, node, "body", &out->for_.body)) != Status::ok) return s;
        return lowerStmtsAttr(lowering, node, "orelse", &out->for_.orelse);
    }
    if (k == "Return") {
        out->kind = StmtKind::return_;
        return optionalExprAttr(lowering, node, "value", &out->return_);
    }
    if (k == "Raise") return lowerRaise(lowering, node, out);
    if (k == "Assert") {
        out->kind = StmtKind::assert_;
        if ((s = lowerExprAttr(lowering, node, "test", &out->assert_.test)) != Status::ok) return s;
        return optionalExprAttr(lowering, node, "msg", &out->assert_.message);
    }
    if (k == "Try") return lowerTry(lowering, node, out);
    if (k == "Break" || k == "Continue" || k == "Pass" || k == "Global" || k == "Nonlocal") {
        out->kind = k == "Break"      ? StmtKind::break_
                    : k == "Continue" ? StmtKind::continue_
                                      : StmtKind::pass;
        return Status::ok;
    }
    if (k == "FunctionDef") return lowerNested(lowering, node, out);
    if (k == "Delete") return lowerDelete(lowering, node, out);
    if (k == "Import" || k == "ImportFrom")
        return lowerImport(lowering, node, k == "ImportFrom", out);
    if (k == "With") return lowerWithStmt(lowering, node, out);
    return constructRefused(lowering, out->position, statementWord(k));
}

}  // namespace

std::string_view statementWord(std::string_view className) {
    static constexpr std::string_view kWords[][2] = {{"ClassDef", "a nested `class`"},
                                                     {"AsyncFunctionDef", "`async def`"},
                                                     {"AsyncWith", "`async with`"},
                                                     {"AsyncFor", "`async for`"},
                                                     {"TryStar", "`try`"},
                                                     {"Match", "`match`"}};
    for (const auto& word : kWords)
        if (className == word[0]) return word[1];
    return className;
}

Status lowerStmts(Lowering& lowering, PyObject* statements, StmtList* out) {
    *out = StmtList{nullptr, 0};
    if (!PyList_Check(statements)) {
        PyErr_SetString(PyExc_TypeError, "a statement list must be a list");
        return Status::pythonError;
    }
    Py_ssize_t count = PyList_GET_SIZE(statements);
    StmtList list;
    if (Status s = makeStmts(lowering, size_t(count), &list); s != Status::ok) return s;
    *out = list;
    // The list is read by index each time: lowering runs Python code that cannot reach the
    // syntax tree, but the count is checked again all the same.
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(statements); i++)
        if (Status s = lowerStatement(lowering, PyList_GET_ITEM(statements, i), &list.items[i]);
            s != Status::ok)
            return s;
    return Status::ok;
}

}  // namespace wuna::front
