// Scope analysis: which names a function declares global or nonlocal, which its defs bind,
// and its locals table, whose order numbers the locals.
#include <cstring>

#include "compiler/front/lower.h"

namespace wuna::front {

Status localIndex(Lowering& lowering, Text name, uint32_t* out) {
    for (uint32_t i = 0; i < lowering.locals.count; i++) {
        const Text& local = lowering.locals.items[i];
        if (local.length == name.length &&
            (name.length == 0 || memcmp(local.data, name.data, name.length) == 0)) {
            *out = i;
            return Status::ok;
        }
    }
    Text copy;
    Arena& arena = arenaOf(lowering);
    if (!copyText(arena, name.data, name.length, &copy) || !lowering.locals.push(arena, copy))
        return Status::outOfMemory;
    *out = lowering.locals.count - 1;
    return Status::ok;
}

namespace {

// An attribute that must be a list: a new reference, or null with a Python exception. A
// missing attribute gives an empty answer through *absent when absent is given.
PyObject* listAttr(PyObject* node, const char* name, bool* absent = nullptr) {
    if (absent) {
        *absent = false;
        if (!PyObject_HasAttrString(node, name)) {
            *absent = true;
            return nullptr;
        }
    }
    PyObject* value = PyObject_GetAttrString(node, name);
    if (value && !PyList_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list", name);
        Py_CLEAR(value);
    }
    return value;
}

bool isDeclared(const Lowering& lowering, Text name) {
    return hasName(lowering.globals, name) || hasName(lowering.nonlocals, name);
}

// For each list attribute of the node that exists among body, orelse, finalbody: walk(list).
template <typename Walk>
Status walkBlocks(PyObject* node, Walk walk) {
    for (const char* name : {"body", "orelse", "finalbody"}) {
        bool absent;
        PyObject* list = listAttr(node, name, &absent);
        if (absent) continue;
        if (!list) return Status::pythonError;
        Status s = walk(list);
        Py_DECREF(list);
        if (s != Status::ok) return s;
    }
    return Status::ok;
}

Status declare(Lowering& lowering, PyObject* node, Growing<Text>& into) {
    PyObject* names = listAttr(node, "names");
    if (!names) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyList_GET_SIZE(names); i++) {
        Text name;
        s = strText(lowering, PyList_GET_ITEM(names, i), "a name", &name);
        if (s == Status::ok && !into.push(arenaOf(lowering), name)) s = Status::outOfMemory;
    }
    Py_DECREF(names);
    return s;
}

// The name an import alias binds: asname, else the name (for import, up to its first dot).
Status boundName(Lowering& lowering, PyObject* alias, bool cutAtDot, Text* out) {
    PyObject* asname = PyObject_GetAttrString(alias, "asname");
    if (!asname) return Status::pythonError;
    Status s;
    if (asname != Py_None) {
        s = strText(lowering, asname, "asname", out);
    } else {
        s = nameAttr(lowering, alias, "name", out);
        if (s == Status::ok && cutAtDot) {
            const void* dot = memchr(out->data, '.', out->length);
            if (dot) out->length = uint64_t(static_cast<const char*>(dot) - out->data);
        }
    }
    Py_DECREF(asname);
    return s;
}

Status localsOfImport(Lowering& lowering, PyObject* statement, bool cutAtDot) {
    PyObject* names = listAttr(statement, "names");
    if (!names) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyList_GET_SIZE(names); i++) {
        Text name;
        uint32_t local;
        s = boundName(lowering, PyList_GET_ITEM(names, i), cutAtDot, &name);
        if (s == Status::ok) s = localIndex(lowering, name, &local);
    }
    Py_DECREF(names);
    return s;
}

// Target names of each item of a list attribute (or of one item's attribute).
Status targetsOfList(Lowering& lowering, PyObject* node, const char* name, const char* inner) {
    PyObject* list = listAttr(node, name);
    if (!list) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyList_GET_SIZE(list); i++) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!inner) {
            s = collectTargetNames(lowering, item);
            continue;
        }
        PyObject* target = PyObject_GetAttrString(item, inner);
        if (!target) {
            s = Status::pythonError;
        } else {
            if (target != Py_None) s = collectTargetNames(lowering, target);
            Py_DECREF(target);
        }
    }
    Py_DECREF(list);
    return s;
}

Status targetOfAttr(Lowering& lowering, PyObject* node, const char* name) {
    PyObject* target = PyObject_GetAttrString(node, name);
    if (!target) return Status::pythonError;
    Status s = collectTargetNames(lowering, target);
    Py_DECREF(target);
    return s;
}

Status localsOfHandlers(Lowering& lowering, PyObject* statement) {
    PyObject* handlers = listAttr(statement, "handlers");
    if (!handlers) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyList_GET_SIZE(handlers); i++) {
        PyObject* handler = PyList_GET_ITEM(handlers, i);
        PyObject* name = PyObject_GetAttrString(handler, "name");
        if (!name) {
            s = Status::pythonError;
            break;
        }
        if (name != Py_None) {
            Text text;
            uint32_t local;
            s = strText(lowering, name, "a name", &text);
            if (s == Status::ok && !findLocal(lowering, text, &local))
                s = localIndex(lowering, text, &local);
        }
        Py_DECREF(name);
        if (s != Status::ok) break;
        PyObject* body = listAttr(handler, "body");
        if (!body) {
            s = Status::pythonError;
            break;
        }
        s = collectLocals(lowering, body);
        Py_DECREF(body);
    }
    Py_DECREF(handlers);
    return s;
}

Status declarationsOfHandlers(Lowering& lowering, PyObject* statement) {
    PyObject* handlers = listAttr(statement, "handlers");
    if (!handlers) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyList_GET_SIZE(handlers); i++) {
        PyObject* body = listAttr(PyList_GET_ITEM(handlers, i), "body");
        if (!body) {
            s = Status::pythonError;
            break;
        }
        s = collectDeclarations(lowering, body);
        Py_DECREF(body);
    }
    Py_DECREF(handlers);
    return s;
}

Status localsOfStatement(Lowering& lowering, PyObject* statement) {
    ClassName kind;
    if (Status s = className(statement, &kind); s != Status::ok) return s;
    if (kind.is("FunctionDef")) {
        Text name;
        if (Status s = nameAttr(lowering, statement, "name", &name); s != Status::ok) return s;
        return lowering.defNames.push(arenaOf(lowering), name) ? Status::ok : Status::outOfMemory;
    }
    if (Status s = collectWalrusTargets(lowering, statement); s != Status::ok) return s;
    Status s = Status::ok;
    if (kind.is("For"))
        s = targetOfAttr(lowering, statement, "target");
    else if (kind.is("With"))
        s = targetsOfList(lowering, statement, "items", "optional_vars");
    else if (kind.is("Assign") || kind.is("Delete"))
        s = targetsOfList(lowering, statement, "targets", nullptr);
    else if (kind.is("AugAssign") || kind.is("AnnAssign"))
        s = targetOfAttr(lowering, statement, "target");
    else if (kind.is("Import") || kind.is("ImportFrom"))
        s = localsOfImport(lowering, statement, kind.is("Import"));
    if (s != Status::ok) return s;
    if (kind.is("Import") || kind.is("ImportFrom") || kind.is("Delete")) return Status::ok;
    s = walkBlocks(statement, [&](PyObject* list) { return collectLocals(lowering, list); });
    if (s != Status::ok || !kind.is("Try")) return s;
    return localsOfHandlers(lowering, statement);
}

}  // namespace

Status collectDeclarations(Lowering& lowering, PyObject* statements) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements); i++) {
        PyObject* statement = PyList_GET_ITEM(statements, i);
        ClassName kind;
        if (Status s = className(statement, &kind); s != Status::ok) return s;
        Status s = Status::ok;
        if (kind.is("Global")) {
            s = declare(lowering, statement, lowering.globals);
        } else if (kind.is("Nonlocal")) {
            s = declare(lowering, statement, lowering.nonlocals);
        } else if (kind.is("FunctionDef") || kind.is("AsyncFunctionDef") || kind.is("ClassDef")) {
            continue;
        } else {
            s = walkBlocks(statement,
                           [&](PyObject* list) { return collectDeclarations(lowering, list); });
            if (s == Status::ok && kind.is("Try")) s = declarationsOfHandlers(lowering, statement);
        }
        if (s != Status::ok) return s;
    }
    return Status::ok;
}

Status collectLocals(Lowering& lowering, PyObject* statements) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(statements); i++)
        if (Status s = localsOfStatement(lowering, PyList_GET_ITEM(statements, i)); s != Status::ok)
            return s;
    return Status::ok;
}

Status collectTargetNames(Lowering& lowering, PyObject* target) {
    ClassName kind;
    if (Status s = className(target, &kind); s != Status::ok) return s;
    if (kind.is("Name")) {
        Text name;
        uint32_t local;
        if (Status s = nameAttr(lowering, target, "id", &name); s != Status::ok) return s;
        if (isDeclared(lowering, name)) return Status::ok;
        return localIndex(lowering, name, &local);
    }
    if (kind.is("Tuple") || kind.is("List"))
        return targetsOfList(lowering, target, "elts", nullptr);
    return Status::ok;
}

Status collectWalrusTargets(Lowering& lowering, PyObject* node) {
    static constexpr std::string_view kSkipped[] = {"Lambda",    "FunctionDef", "AsyncFunctionDef",
                                                    "ClassDef",  "Expr",        "Assign",
                                                    "AugAssign", "AnnAssign",   "If",
                                                    "While",     "For",         "Return",
                                                    "Raise",     "Assert",      "Try",
                                                    "Break",     "Continue",    "Pass",
                                                    "Delete",    "Import",      "ImportFrom",
                                                    "With",      "Global",      "Nonlocal",
                                                    "Match",     "AsyncFor",    "AsyncWith",
                                                    "TryStar"};
    PyObject* ast = PyImport_ImportModule("ast");
    PyObject* children = ast ? PyObject_CallMethod(ast, "iter_child_nodes", "(O)", node) : nullptr;
    Py_XDECREF(ast);
    PyObject* list = children ? PySequence_List(children) : nullptr;
    Py_XDECREF(children);
    if (!list) return Status::pythonError;
    Status s = Status::ok;
    for (Py_ssize_t i = 0; s == Status::ok && i < PyList_GET_SIZE(list); i++) {
        PyObject* child = PyList_GET_ITEM(list, i);
        ClassName kind;
        if ((s = className(child, &kind)) != Status::ok) break;
        bool skipped = false;
        for (std::string_view name : kSkipped) skipped = skipped || kind.is(name);
        if (skipped) continue;
        if (kind.is("NamedExpr")) {
            PyObject* target = PyObject_GetAttrString(child, "target");
            Text name;
            s = target ? nameAttr(lowering, target, "id", &name) : Status::pythonError;
            Py_XDECREF(target);
            uint32_t local;
            if (s == Status::ok && !isDeclared(lowering, name))
                s = localIndex(lowering, name, &local);
            if (s != Status::ok) break;
        }
        s = collectWalrusTargets(lowering, child);
    }
    Py_DECREF(list);
    return s;
}

}  // namespace wuna::front
