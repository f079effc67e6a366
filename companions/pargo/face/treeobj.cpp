// The tree and node objects of pargo's face. A tree owns the native records of one parse and
// the UTF-8 bytes they point into; its capsule points at the record and holds a reference to
// the tree. Node objects are made on demand (never while parsing) and only name a tree and an
// index. Values (to_ast) are built recursively from the pre-order node array by the actions
// of the nodes' rules, as deep as the interpreter's recursion limit and the thread's stack
// allow.
#include <cstring>

#include "core/scalars.h"
#include "core/stack.h"
#include "face/face.h"

namespace pargo::treeobj {
namespace {

using face::Node;
using face::Parser;
using face::Tree;

uint32_t errorKind(const Tree* t) { return uint32_t(t->parser->g->rules.size()); }

const tree::Node& at(const Tree* t, uint32_t i) { return t->record.nodes[i]; }

uint32_t kindAt(const Tree* t, uint32_t i) {
    uint32_t k = tree::kindOf(at(t, i));
    return k <= errorKind(t) ? k : errorKind(t);
}

uint8_t actionAt(const Tree* t, uint32_t i) { return (*t->parser->actions)[kindAt(t, i)]; }

// The node's bytes, cut to the text.
void span(const Tree* t, uint32_t i, const char** data, size_t* len) {
    uint64_t n = t->record.textLength;
    uint64_t s = at(t, i).start, e = at(t, i).end;
    if (s > n) s = n;
    if (e < s) e = s;
    if (e > n) e = n;
    *data = PyBytes_AS_STRING(t->bytes) + s;
    *len = size_t(e - s);
}

PyObject* textOf(const Tree* t, uint32_t i) {
    const char* d;
    size_t len;
    span(t, i, &d, &len);
    return PyUnicode_DecodeUTF8(d, Py_ssize_t(len), "replace");
}

// Iterates the direct children of node i.
template <class F>
bool eachChild(const Tree* t, uint32_t i, F f) {
    uint64_t count = t->record.nodeCount;
    uint64_t end = uint64_t(i) + 1 + at(t, i).descendants;
    if (end > count) end = count;
    for (uint64_t j = uint64_t(i) + 1; j < end; j += uint64_t(at(t, uint32_t(j)).descendants) + 1)
        if (!f(uint32_t(j))) return false;
    return true;
}

PyObject* valueIn(Tree* t, uint32_t i);
PyObject* valueOf(Tree* t, uint32_t i);

// The values of node i's children (those with `label` when label > 0), "drop" ones left out.
PyObject* childValues(Tree* t, uint32_t i, uint32_t label) {
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    bool ok = eachChild(t, i, [&](uint32_t j) {
        if (label && tree::labelOf(at(t, j)) != label) return true;
        if (actionAt(t, j) == face::Drop) return true;
        PyObject* v = valueIn(t, j);
        if (!v) return false;
        int r = PyList_Append(list, v);
        Py_DECREF(v);
        return r == 0;
    });
    if (!ok) Py_CLEAR(list);
    return list;
}

PyObject* refused(const char* rule, const Tree* t, uint32_t i) {
    PyObject* text = textOf(t, i);
    if (text) {
        PyErr_Format(PyExc_ValueError, "the %s rule refuses the text %R", rule, text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyObject* astOf(Tree* t, uint32_t i) {
    uint32_t kind = kindAt(t, i);
    PyObject* fields = PyDict_New();
    if (!fields) return nullptr;
    if (kind < errorKind(t)) {
        for (const grammar::LabelEntry& e : t->parser->g->labels[kind]) {
            PyObject* items = childValues(t, i, e.field + 1);
            if (!items) {
                Py_DECREF(fields);
                return nullptr;
            }
            PyObject* v = items;
            Py_ssize_t n = PyList_GET_SIZE(items);
            if (!e.many && n < 2) {
                v = Py_NewRef(n == 1 ? PyList_GET_ITEM(items, 0) : Py_None);
                Py_DECREF(items);
            }
            int r = PyDict_SetItem(fields, PyTuple_GET_ITEM(t->parser->fieldNames, e.field), v);
            Py_DECREF(v);
            if (r < 0) {
                Py_DECREF(fields);
                return nullptr;
            }
        }
    }
    PyObject* a = PyObject_CallFunction(face::classes.ast, "OIIO",
                                        PyTuple_GET_ITEM(t->parser->kindNames, kind),
                                        at(t, i).start, at(t, i).end, fields);
    Py_DECREF(fields);
    return a;
}

PyObject* valueIn(Tree* t, uint32_t i) {
    // The recursion limit counts calls, not bytes: a thread with a small stack could run out
    // first.
    if (stackroom::low(stackroom::floor())) {
        PyErr_SetString(PyExc_RecursionError, "nesting too deep while making a node's value");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while making a node's value")) return nullptr;
    PyObject* v = valueOf(t, i);
    Py_LeaveRecursiveCall();
    return v;
}

PyObject* valueOf(Tree* t, uint32_t i) {
    switch (actionAt(t, i)) {
    case face::Str: return textOf(t, i);
    case face::Int: {
        const char* d;
        size_t len;
        span(t, i, &d, &len);
        int64_t v;
        if (!scalars::readInt(d, len, &v)) return refused("int", t, i);
        return PyLong_FromLongLong(v);
    }
    case face::Float: {
        const char* d;
        size_t len;
        span(t, i, &d, &len);
        double v;
        if (!scalars::readFloat(d, len, &v)) return refused("float", t, i);
        return PyFloat_FromDouble(v);
    }
    case face::Unquote: {
        const char* d;
        size_t len;
        span(t, i, &d, &len);
        char* out = static_cast<char*>(PyMem_Malloc(len ? len : 1));
        if (!out) return PyErr_NoMemory();
        int64_t n = scalars::unquote(d, len, out);
        PyObject* s =
            n < 0 ? refused("unquote", t, i) : PyUnicode_DecodeUTF8(out, Py_ssize_t(n), "replace");
        PyMem_Free(out);
        return s;
    }
    case face::True: Py_RETURN_TRUE;
    case face::False: Py_RETURN_FALSE;
    case face::None:
    case face::Drop: Py_RETURN_NONE;
    case face::List: return childValues(t, i, 0);
    case face::Tuple: {
        PyObject* l = childValues(t, i, 0);
        if (!l) return nullptr;
        PyObject* r = PyList_AsTuple(l);
        Py_DECREF(l);
        return r;
    }
    case face::Dict: {
        PyObject* l = childValues(t, i, 0);
        if (!l) return nullptr;
        PyObject* d = PyDict_New();
        for (Py_ssize_t k = 0; d && k < PyList_GET_SIZE(l); k++) {
            PyObject* item = PyList_GET_ITEM(l, k);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) continue;
            if (PyDict_SetItem(d, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0)
                Py_CLEAR(d);
        }
        Py_DECREF(l);
        return d;
    }
    case face::First: {
        PyObject* l = childValues(t, i, 0);
        if (!l) return nullptr;
        PyObject* r = Py_NewRef(PyList_GET_SIZE(l) ? PyList_GET_ITEM(l, 0) : Py_None);
        Py_DECREF(l);
        return r;
    }
    default: return astOf(t, i);
    }
}

// ---- Tree ----

void treeDealloc(PyObject* self) {
    Tree* t = reinterpret_cast<Tree*>(self);
    pargo_tree_free(&t->record);
    Py_XDECREF(t->parser);
    Py_XDECREF(t->source);
    Py_XDECREF(t->bytes);
    Py_XDECREF(t->errors);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The Diagnostic of each error record; the k-th error goes with the k-th error node, whose
// end closes its span.
PyObject* diagnostics(Tree* t) {
    const tree::TreeRecord& r = t->record;
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    uint32_t node = 0;
    uint32_t ek = errorKind(t);
    for (uint64_t k = 0; k < r.errorCount; k++) {
        const tree::ErrorRecord& e = r.errors[k];
        while (node < r.nodeCount && tree::kindOf(r.nodes[node]) != ek) node++;
        uint32_t end = e.offset;
        if (node < r.nodeCount) {
            if (r.nodes[node].end > end) end = r.nodes[node].end;
            node++;
        }
        PyObject* message = PyUnicode_DecodeUTF8(
            e.message, Py_ssize_t(strnlen(e.message, sizeof e.message)), "replace");
        PyObject* d =
            message ? PyObject_CallFunction(face::classes.diagnostic, "ssO(II)II", "error",
                                            "syntax", message, e.offset, end, e.line, e.column)
                    : nullptr;
        Py_XDECREF(message);
        if (!d || PyList_Append(list, d) < 0) {
            Py_XDECREF(d);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(d);
    }
    return list;
}

PyObject* treeNode(PyObject* self, PyObject* arg) {
    Tree* t = reinterpret_cast<Tree*>(self);
    if (!PyLong_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "node() needs an int index, not %.100s",
                     Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    Py_ssize_t i = PyLong_AsSsize_t(arg);
    if (i == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
        PyErr_Clear();
    }
    if (i < 0 || i >= Py_ssize_t(t->record.nodeCount)) {
        PyErr_SetString(PyExc_IndexError, "node index out of range");
        return nullptr;
    }
    return node(t, uint32_t(i));
}

Py_ssize_t treeLength(PyObject* self) {
    return Py_ssize_t(reinterpret_cast<Tree*>(self)->record.nodeCount);
}

PyObject* treeCapsule(PyObject* self, void*) {
    Tree* t = reinterpret_cast<Tree*>(self);
    return face::ownedCapsule(&t->record, "pargo.tree.v1", self);
}

PyObject* treeErrors(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Tree*>(self)->errors);
}
PyObject* treeText(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Tree*>(self)->source);
}
PyObject* treeParser(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(reinterpret_cast<Tree*>(self)->parser));
}
PyObject* treeRoot(PyObject* self, void*) { return node(reinterpret_cast<Tree*>(self), 0); }

PyObject* treeRepr(PyObject* self) {
    Tree* t = reinterpret_cast<Tree*>(self);
    return PyUnicode_FromFormat("<pargo.Tree of %u nodes, %zd errors>", t->record.nodeCount,
                                PyList_GET_SIZE(t->errors));
}

PyMethodDef treeMethods[] = {
    {"node", treeNode, METH_O, "node(i)\n--\n\nThe node at pre-order index i."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef treeGetset[] = {
    {"capsule", treeCapsule, nullptr, "The native tree (a capsule named \"pargo.tree.v1\").",
     nullptr},
    {"errors", treeErrors, nullptr, "The Diagnostics of the errors recovered from.", nullptr},
    {"text", treeText, nullptr, "The text as it was given.", nullptr},
    {"parser", treeParser, nullptr, "The parser that made the tree.", nullptr},
    {"root", treeRoot, nullptr, "Node 0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot treeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(treeDealloc)},
    {Py_tp_methods, treeMethods},
    {Py_tp_getset, treeGetset},
    {Py_tp_repr, reinterpret_cast<void*>(treeRepr)},
    {Py_sq_length, reinterpret_cast<void*>(treeLength)},
    {Py_tp_doc, const_cast<char*>("A parsed tree: nodes in pre-order, node 0 the root.")},
    {0, nullptr}};

PyType_Spec treeSpec = {"pargo.Tree", sizeof(Tree), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, treeSlots};

// ---- Node ----

void nodeDealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<Node*>(self)->tree);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Node* asNode(PyObject* self) { return reinterpret_cast<Node*>(self); }

PyObject* nodeIndex(PyObject* self, void*) { return PyLong_FromUnsignedLong(asNode(self)->index); }
PyObject* nodeStart(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(at(asNode(self)->tree, asNode(self)->index).start);
}
PyObject* nodeEnd(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(at(asNode(self)->tree, asNode(self)->index).end);
}
PyObject* nodeKind(PyObject* self, void*) {
    Node* n = asNode(self);
    return Py_NewRef(PyTuple_GET_ITEM(n->tree->parser->kindNames, kindAt(n->tree, n->index)));
}
PyObject* nodeRule(PyObject* self, void*) {
    Node* n = asNode(self);
    return Py_NewRef(PyTuple_GET_ITEM(n->tree->parser->ruleNames, kindAt(n->tree, n->index)));
}
PyObject* nodeLabel(PyObject* self, void*) {
    Node* n = asNode(self);
    uint32_t l = tree::labelOf(at(n->tree, n->index));
    if (l == 0 || l > uint32_t(PyTuple_GET_SIZE(n->tree->parser->fieldNames))) Py_RETURN_NONE;
    return Py_NewRef(PyTuple_GET_ITEM(n->tree->parser->fieldNames, l - 1));
}
PyObject* nodeText(PyObject* self, void*) {
    return textOf(asNode(self)->tree, asNode(self)->index);
}
PyObject* nodeChildren(PyObject* self, void*) {
    Node* n = asNode(self);
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    bool ok = eachChild(n->tree, n->index, [&](uint32_t j) {
        PyObject* c = node(n->tree, j);
        int r = c ? PyList_Append(list, c) : -1;
        Py_XDECREF(c);
        return r == 0;
    });
    if (!ok) Py_CLEAR(list);
    return list;
}
PyObject* nodeTree(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(asNode(self)->tree));
}

PyObject* nodeToAst(PyObject* self, PyObject*) {
    return value(asNode(self)->tree, asNode(self)->index);
}

PyObject* nodeRepr(PyObject* self) {
    Node* n = asNode(self);
    const tree::Node& nd = at(n->tree, n->index);
    return PyUnicode_FromFormat(
        "<pargo.Node %u %S %u..%u>", n->index,
        PyTuple_GET_ITEM(n->tree->parser->kindNames, kindAt(n->tree, n->index)), nd.start, nd.end);
}

PyObject* nodeCompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != Py_TYPE(a)) Py_RETURN_NOTIMPLEMENTED;
    bool same = asNode(a)->tree == asNode(b)->tree && asNode(a)->index == asNode(b)->index;
    return PyBool_FromLong(same == (op == Py_EQ));
}

Py_hash_t nodeHash(PyObject* self) {
    Py_hash_t h = Py_hash_t(reinterpret_cast<uintptr_t>(asNode(self)->tree) >> 4) * 1000003 +
                  asNode(self)->index;
    return h == -1 ? -2 : h;
}

PyMethodDef nodeMethods[] = {{"to_ast", nodeToAst, METH_NOARGS,
                              "to_ast()\n--\n\nThe node's value as its rule's action makes it."},
                             {nullptr, nullptr, 0, nullptr}};

PyGetSetDef nodeGetset[] = {
    {"index", nodeIndex, nullptr, "The pre-order index.", nullptr},
    {"kind", nodeKind, nullptr, "The kind name (an action's class name, else the rule).", nullptr},
    {"rule", nodeRule, nullptr, "The rule name.", nullptr},
    {"label", nodeLabel, nullptr, "The label's field name, or None.", nullptr},
    {"start", nodeStart, nullptr, "The byte offset of the first byte.", nullptr},
    {"end", nodeEnd, nullptr, "The byte offset just past the last byte.", nullptr},
    {"text", nodeText, nullptr, "The node's source text.", nullptr},
    {"children", nodeChildren, nullptr, "The direct children.", nullptr},
    {"tree", nodeTree, nullptr, "The tree the node belongs to.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot nodeSlots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(nodeDealloc)},
                           {Py_tp_methods, nodeMethods},
                           {Py_tp_getset, nodeGetset},
                           {Py_tp_repr, reinterpret_cast<void*>(nodeRepr)},
                           {Py_tp_richcompare, reinterpret_cast<void*>(nodeCompare)},
                           {Py_tp_hash, reinterpret_cast<void*>(nodeHash)},
                           {Py_tp_doc, const_cast<char*>("One node of a parsed tree.")},
                           {0, nullptr}};

PyType_Spec nodeSpec = {"pargo.Node", sizeof(Node), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, nodeSlots};

}  // namespace

int ready(PyObject* module) {
    PyObject* tt = PyType_FromSpec(&treeSpec);
    if (!tt) return -1;
    face::classes.tree = reinterpret_cast<PyTypeObject*>(tt);
    if (PyModule_AddObjectRef(module, "Tree", tt) < 0) return -1;
    PyObject* nt = PyType_FromSpec(&nodeSpec);
    if (!nt) return -1;
    face::classes.node = reinterpret_cast<PyTypeObject*>(nt);
    return PyModule_AddObjectRef(module, "Node", nt);
}

PyObject* make(Parser* p, PyObject* source, PyObject* bytes, tree::TreeRecord* record) {
    Tree* t = PyObject_New(Tree, face::classes.tree);
    if (!t) {
        pargo_tree_free(record);
        return nullptr;
    }
    t->parser = reinterpret_cast<Parser*>(Py_NewRef(reinterpret_cast<PyObject*>(p)));
    t->source = Py_NewRef(source);
    t->bytes = Py_NewRef(bytes);
    t->errors = nullptr;
    t->record = *record;
    t->errors = diagnostics(t);
    if (!t->errors) {
        Py_DECREF(t);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(t);
}

PyObject* node(Tree* t, uint32_t i) {
    Node* n = PyObject_New(Node, face::classes.node);
    if (!n) return nullptr;
    n->tree = reinterpret_cast<Tree*>(Py_NewRef(reinterpret_cast<PyObject*>(t)));
    n->index = i;
    return reinterpret_cast<PyObject*>(n);
}

PyObject* value(Tree* t, uint32_t i) {
    if (i >= t->record.nodeCount) {
        PyErr_SetString(PyExc_IndexError, "node index out of range");
        return nullptr;
    }
    // A value is a fresh tree of objects with no cycles: the cyclic collector, which would
    // otherwise run again and again over the growing value, has nothing to find in it.
    int collecting = PyGC_Disable();
    PyObject* v = valueIn(t, i);
    if (collecting) PyGC_Enable();
    return v;
}

}  // namespace pargo::treeobj
