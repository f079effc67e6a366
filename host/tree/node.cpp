// The Node type and node values (see tree/node.h).
//
// Kind numbers come from the parser's array and are checked against the grammar before any
// per-kind table is read: a kind the grammar does not have (the error nodes of a recovering
// parse, or a grammar that changed under a live program) reads as "<error>" with no labels,
// and stands for the node itself.
#include "host/tree/node.h"

#include <cstring>

#include "host/module/startup.h"
#include "host/module/type_registry.h"
#include "wuna/runtime/args.h"
#include "host/support/check.h"
#include "host/tree/state.h"
#include "wuna/runtime/helpers/bridge.h"

namespace wuna::host {

namespace {

constexpr char kGone[] = "this node's program is gone";
constexpr char kErrorKind[] = "<error>";
// Messages are written into a buffer of this size; a longer one is cut with "...".
constexpr size_t kMessageBytes = 1024;
constexpr size_t kMessageKept = 1020;
// Field names listed in a "has no field" message take at most this many bytes.
constexpr size_t kFieldListBytes = 509;
// A node's repr shows its whole text below this many bytes, else the first kReprKept.
constexpr size_t kReprWhole = 31;
constexpr size_t kReprKept = 27;

NodeObject* asNode(PyObject* self) { return reinterpret_cast<NodeObject*>(self); }

const ptree::NodeRecord& recordOf(const ptree::TreeHolder* holder, uint32_t n) {
    return holder->index->nodes[n];
}

// The node's kind when the grammar has it, else -1.
int64_t kindIn(const ptree::GrammarInfo* grammar, const ptree::TreeHolder* holder, uint32_t n) {
    uint32_t kind = ptree::kindOf(recordOf(holder, n));
    return grammar && kind < grammar->kindCount ? int64_t(kind) : -1;
}

// The interned kind name (a new reference).
PyObject* kindName(const ptree::GrammarInfo* grammar, int64_t kind) {
    if (kind < 0) return PyUnicode_InternFromString(kErrorKind);
    return Py_NewRef(grammar->pyNames[kind]);
}

ptree::Text kindText(const ptree::GrammarInfo* grammar, int64_t kind) {
    if (kind < 0) return {kErrorKind, uint32_t(sizeof kErrorKind - 1)};
    return grammar->kindNames[kind];
}

// The node's byte range clamped to the text.
struct Span {
    const char* data;
    size_t length;
};

Span textOf(const ptree::TreeHolder* holder, uint32_t n) {
    const ptree::Index* index = holder->index;
    const ptree::NodeRecord& node = recordOf(holder, n);
    uint64_t start = node.start < index->textLength ? node.start : index->textLength;
    uint64_t end = node.end < start ? start : node.end;
    if (end > index->textLength) end = index->textLength;
    return {index->text + start, size_t(end - start)};
}

PyObject* decode(const char* data, size_t length) {
    return PyUnicode_DecodeUTF8(data, Py_ssize_t(length), "replace");
}

// Calls f(j) for each direct child j of n, in order, until it returns false.
template <typename F>
bool eachChild(const ptree::TreeHolder* holder, uint32_t n, F f) {
    const ptree::Index* index = holder->index;
    uint64_t end = uint64_t(n) + index->nodes[n].descendants + 1;
    if (end > index->count) end = index->count;
    for (uint64_t j = uint64_t(n) + 1; j < end; j += uint64_t(index->nodes[j].descendants) + 1)
        if (!f(uint32_t(j))) return false;
    return true;
}

// The parser's value of a token node: tree.node(n).to_ast(), exact ints made I64.
PyObject* parserValue(ptree::TreeHolder* holder, uint32_t n) {
    PyObject* node = PyObject_CallMethod(holder->tree, "node", "I", unsigned(n));
    if (!node) return nullptr;
    PyObject* value = PyObject_CallMethod(node, "to_ast", nullptr);
    Py_DECREF(node);
    return bridge::checkedIntResult(value);
}

bool cachedAction(uint8_t action) {
    return (action >= ptree::ActionStr && action <= ptree::ActionNoneValue) ||
           action == ptree::ActionDrop;
}

PyObject* computeValue(PyObject* state, ptree::TreeHolder* holder, uint32_t n, uint8_t action) {
    switch (action) {
    case ptree::ActionStr:
    case ptree::ActionInt:
    case ptree::ActionFloat:
    case ptree::ActionUnquote: return parserValue(holder, n);
    case ptree::ActionTrue: Py_RETURN_TRUE;
    case ptree::ActionFalse: Py_RETURN_FALSE;
    case ptree::ActionNoneValue: Py_RETURN_NONE;
    case ptree::ActionDrop: return Py_NewRef(noValue);
    case ptree::ActionList: return childValues(state, holder, n);
    case ptree::ActionTuple: {
        PyObject* list = childValues(state, holder, n);
        if (!list) return nullptr;
        PyObject* tuple = PyList_AsTuple(list);
        Py_DECREF(list);
        return tuple;
    }
    case ptree::ActionDict: {
        PyObject* list = childValues(state, holder, n);
        PyObject* dict = list ? PyDict_New() : nullptr;
        for (Py_ssize_t i = 0; dict && i < PyList_GET_SIZE(list); i++) {
            PyObject* item = PyList_GET_ITEM(list, i);
            if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 &&
                PyDict_SetItem(dict, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0)
                Py_CLEAR(dict);
        }
        Py_XDECREF(list);
        return dict;
    }
    case ptree::ActionFirst: {
        PyObject* found = nullptr;
        bool failed = !eachChild(holder, n, [&](uint32_t j) {
            PyObject* value = nodeValue(state, holder, j);
            if (!value) return false;
            if (value == noValue) {
                Py_DECREF(value);
                return true;
            }
            found = value;
            return false;
        }) && !found;
        if (failed) return nullptr;
        return found ? found : Py_NewRef(Py_None);
    }
    default: return newNode(state, holder, n);
    }
}

// "<what> must be a str"
int needStr(PyObject* object, const char* what) {
    if (PyUnicode_Check(object)) return 0;
    PyErr_Format(PyExc_TypeError, "%s must be a str", what);
    return -1;
}

// Appends text to a message buffer, keeping the room the cut needs.
struct Message {
    char text[kMessageBytes];
    size_t length = 0;
    bool cut = false;

    void add(const char* data, size_t size) {
        size_t room = kMessageKept - length;
        if (size > room) {
            size = room;
            while (size > 0 && (uint8_t(data[size]) & 0xc0) == 0x80) size--;
            cut = true;
        }
        memcpy(text + length, data, size);
        length += size;
    }
    void add(const char* data) { add(data, strlen(data)); }
    void finish() {
        if (cut) {
            memcpy(text + length, "...", 3);
            length += 3;
        }
    }
};

PyObject* fieldNames(const ptree::GrammarInfo* grammar, int64_t kind) {
    PyObject* list = PyList_New(0);
    if (!list || kind < 0) return list;
    for (uint32_t i = 0; i < grammar->labelCounts[kind]; i++) {
        uint8_t label = grammar->labels[kind][i].label;
        if (!label || label > grammar->fieldCount) continue;
        const ptree::Text& name = grammar->fields[label - 1];
        PyObject* text = decode(name.data, name.length);
        if (!text || PyList_Append(list, text) < 0) {
            Py_XDECREF(text);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(text);
    }
    return list;
}

void raiseNoField(const ptree::GrammarInfo* grammar, int64_t kind, const char* name,
                  size_t nameLength) {
    // A name joins the list while the bytes written so far plus its own length stay within
    // kFieldListBytes; its ", " comes on top, hence the two bytes of room.
    char fields[kFieldListBytes + 2];
    size_t written = 0;
    if (kind >= 0) {
        for (uint32_t i = 0; i < grammar->labelCounts[kind]; i++) {
            uint8_t label = grammar->labels[kind][i].label;
            if (!label || label > grammar->fieldCount) continue;
            const ptree::Text& field = grammar->fields[label - 1];
            size_t separator = written ? 2 : 0;
            if (written + field.length > kFieldListBytes) break;
            memcpy(fields + written, ", ", separator);
            memcpy(fields + written + separator, field.data, field.length);
            written += separator + field.length;
        }
    }
    Message message;
    ptree::Text kindName = kindText(grammar, kind);
    message.add(kindName.data, kindName.length);
    message.add(" has no field '");
    message.add(name, nameLength);
    message.add("' (its fields: ");
    if (written)
        message.add(fields, written);
    else
        message.add("none");
    message.add(")");
    message.finish();
    PyObject* text = decode(message.text, message.length);
    if (text) {
        PyErr_SetObject(PyExc_AttributeError, text);
        Py_DECREF(text);
    }
}

// The node's own attributes, in the order its docstring lists them.
enum Attribute {
    AKind,
    ARule,
    AText,
    ASpan,
    AStart,
    AEnd,
    ALine,
    AColumn,
    AIndex,
    AChildren,
    AParent,
    AFields,
    AFind,
    ACount
};
constexpr const char* kAttributes[ACount] = {"kind",   "rule",   "text",   "span",  "start",
                                             "end",    "line",   "column", "index", "children",
                                             "parent", "fields", "find"};

// The attribute a name (compared with its length, so a NUL inside never matches) is, or ACount.
Attribute attributeOf(const char* name, size_t length) {
    for (int a = 0; a < ACount; a++)
        if (strlen(kAttributes[a]) == length && memcmp(kAttributes[a], name, length) == 0)
            return Attribute(a);
    return ACount;
}

PyObject* ownAttribute(NodeObject* node, const ptree::GrammarInfo* grammar, int64_t kind,
                       Attribute attribute) {
    ptree::TreeHolder* holder = node->holder;
    const ptree::NodeRecord& record = recordOf(holder, node->index);
    const ptree::Index* index = holder->index;
    switch (attribute) {
    case AKind: return kindName(grammar, kind);
    case ARule:
        if (kind < 0) return PyUnicode_FromString(kErrorKind);
        return decode(grammar->ruleNames[kind].data, grammar->ruleNames[kind].length);
    case AText: {
        Span span = textOf(holder, node->index);
        return decode(span.data, span.length);
    }
    case ASpan: return Py_BuildValue("(II)", record.start, record.end);
    case AStart: return PyLong_FromUnsignedLong(record.start);
    case AEnd: return PyLong_FromUnsignedLong(record.end);
    case ALine: return PyLong_FromUnsignedLong(ptree::lineOf(index, record.start));
    case AColumn: {
        uint32_t start = ptree::lineStart(index, ptree::lineOf(index, record.start));
        return PyLong_FromUnsignedLong(record.start - start + 1);
    }
    case AIndex: return PyLong_FromUnsignedLong(node->index);
    case AChildren: return childValues(node->state, holder, node->index);
    case AParent: {
        uint32_t parent = index->parents[node->index];
        if (parent == ptree::kNone) Py_RETURN_NONE;
        return newNode(node->state, holder, parent);
    }
    case AFields: return fieldNames(grammar, kind);
    case AFind:
    case ACount: break;
    }
    return nullptr;
}

// The grammar of a node's program, or null with RuntimeError when the program is gone.
const ptree::GrammarInfo* liveGrammar(NodeObject* node) {
    const ptree::GrammarInfo* grammar = nullptr;
    if (node->state && node->holder)
        grammar = stateGrammar(reinterpret_cast<StateObject*>(node->state));
    if (!grammar) PyErr_SetString(PyExc_RuntimeError, kGone);
    return grammar;
}

PyObject* nodeGetattro(PyObject* self, PyObject* name) {
    if (needStr(name, "an attribute name") < 0) return nullptr;
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (!text) return nullptr;
    if (length >= 2 && text[0] == '_' && text[1] == '_') return PyObject_GenericGetAttr(self, name);
    NodeObject* node = asNode(self);
    const ptree::GrammarInfo* grammar = liveGrammar(node);
    if (!grammar) return nullptr;
    // Fields come first: a field named text hides the text attribute.
    if (uint8_t label = ptree::fieldLabel(grammar, text, size_t(length)))
        return labelledValue(node->state, node->holder, node->index, label);
    int64_t kind = kindIn(grammar, node->holder, node->index);
    Attribute attribute = attributeOf(text, size_t(length));
    if (attribute == AFind) return PyObject_GenericGetAttr(self, name);
    if (attribute != ACount) return ownAttribute(node, grammar, kind, attribute);
    raiseNoField(grammar, kind, text, size_t(length));
    return nullptr;
}

PyObject* nodeFind(PyObject* self, PyObject* args, PyObject* kwargs) {
    // Positional only, as every such method of the system: a wrong count is
    // "WrongArgumentCount", not Python's own wording.
    if (args::exactly(args, kwargs, 1) < 0) return nullptr;
    PyObject* rule = PyTuple_GET_ITEM(args, 0);
    if (needStr(rule, "a rule name") < 0) return nullptr;
    NodeObject* node = asNode(self);
    const ptree::GrammarInfo* grammar = liveGrammar(node);
    if (!grammar) return nullptr;
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(rule, &length);
    if (!text) return nullptr;
    PyObject* found = PyList_New(0);
    if (!found) return nullptr;
    int64_t kind = -1;
    for (uint32_t k = 0; k < grammar->kindCount && kind < 0; k++) {
        const ptree::Text& ruleName = grammar->ruleNames[k];
        if (ruleName.length == size_t(length) && memcmp(ruleName.data, text, size_t(length)) == 0)
            kind = k;
    }
    if (kind < 0) return found;
    const ptree::Index* index = node->holder->index;
    uint64_t last = uint64_t(node->index) + index->nodes[node->index].descendants;
    for (uint64_t j = node->index; j <= last && j < index->count; j++) {
        if (ptree::kindOf(index->nodes[j]) != kind) continue;
        PyObject* item = newNode(node->state, node->holder, uint32_t(j));
        if (!item || PyList_Append(found, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(found);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return found;
}

PyObject* nodeRepr(PyObject* self) {
    NodeObject* node = asNode(self);
    if (!node->state || !node->holder)
        return PyUnicode_FromString("<node of a program that is gone>");
    const ptree::GrammarInfo* grammar = stateGrammar(reinterpret_cast<StateObject*>(node->state));
    Span span = textOf(node->holder, node->index);
    const char* suffix = "";
    if (span.length >= kReprWhole) {
        span.length = kReprKept;
        suffix = "...";
    }
    PyObject* kind = kindName(grammar, kindIn(grammar, node->holder, node->index));
    PyObject* text = kind ? decode(span.data, span.length) : nullptr;
    PyObject* repr = text ? PyUnicode_FromFormat("<%U %R%s>", kind, text, suffix) : nullptr;
    Py_XDECREF(kind);
    Py_XDECREF(text);
    return repr;
}

Py_hash_t nodeHash(PyObject* self) {
    NodeObject* node = asNode(self);
    uint64_t h = (uint64_t(node->index) * 0x1E3779B97F4A7C15ull) & 0x3FFFFFFFFFFFFFFFull;
    h ^= uint64_t(reinterpret_cast<uintptr_t>(node->holder)) >> 4;
    return Py_hash_t(h);
}

PyObject* nodeRichCompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != nodeType || Py_TYPE(b) != nodeType)
        Py_RETURN_NOTIMPLEMENTED;
    NodeObject* x = asNode(a);
    NodeObject* y = asNode(b);
    if (!x->state || !y->state) Py_RETURN_NOTIMPLEMENTED;
    bool same = x->holder == y->holder && x->index == y->index;
    return PyBool_FromLong(same == (op == Py_EQ));
}

int nodeTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(asNode(self)->state);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int nodeClear(PyObject* self) {
    NodeObject* node = asNode(self);
    node->holder = nullptr;
    Py_CLEAR(node->state);
    return 0;
}

void nodeDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    nodeClear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef nodeMethods[] = {
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nodeFind)),
     METH_VARARGS | METH_KEYWORDS,
     "find($self, rule, /)\n--\n\nfind(rule): this node and its descendants of that rule, in "
     "order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot nodeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(nodeDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(nodeTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(nodeClear)},
    {Py_tp_getattro, reinterpret_cast<void*>(nodeGetattro)},
    {Py_tp_repr, reinterpret_cast<void*>(nodeRepr)},
    {Py_tp_hash, reinterpret_cast<void*>(nodeHash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(nodeRichCompare)},
    {Py_tp_methods, nodeMethods},
    {Py_tp_doc,
     const_cast<char*>(
         "A node of the program. Its fields are its labelled children (node.cond), converted as "
         "the grammar's -> actions say; a label that repeats is a list. Also: kind (its action's "
         "class, else its rule), rule, text, span, start, end, index, children, parent, fields (a "
         "field of the same name comes first); find(rule): it and its descendants of that rule, "
         "in order.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec nodeSpec = {"wuna.Node", int(sizeof(NodeObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, nodeSlots};

PyObject* newNode(PyObject* state, ptree::TreeHolder* holder, uint32_t index) {
    NodeObject* node = PyObject_GC_New(NodeObject, nodeType);
    if (!node) return nullptr;
    node->state = Py_NewRef(state);
    node->holder = holder;
    node->index = index;
    PyObject_GC_Track(node);
    return reinterpret_cast<PyObject*>(node);
}

PyObject* nodeValue(PyObject* state, ptree::TreeHolder* holder, uint32_t n) {
    // The cache has a slot for every node of the index, so the bound below covers both.
    WUNA_CHECK(holder->length == holder->index->count);
    if (n >= holder->length) {
        PyErr_SetString(PyExc_IndexError, "node index out of range");
        return nullptr;
    }
    if (PyObject* cached = holder->values[n]) return Py_NewRef(cached);
    const ptree::GrammarInfo* grammar = stateGrammar(reinterpret_cast<StateObject*>(state));
    int64_t kind = kindIn(grammar, holder, n);
    uint8_t action = kind < 0 ? uint8_t(ptree::ActionNone) : grammar->actions[kind];
    PyObject* value = computeValue(state, holder, n, action);
    // Computing may have run Python code that filled the slot already.
    if (value && cachedAction(action) && !holder->values[n]) holder->values[n] = Py_NewRef(value);
    return value;
}

PyObject* childValues(PyObject* state, ptree::TreeHolder* holder, uint32_t n) {
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    bool done = eachChild(holder, n, [&](uint32_t j) {
        PyObject* value = nodeValue(state, holder, j);
        if (!value) return false;
        int added = value == noValue ? 0 : PyList_Append(list, value);
        Py_DECREF(value);
        return added == 0;
    });
    if (done) return list;
    Py_DECREF(list);
    return nullptr;
}

PyObject* labelledValue(PyObject* state, ptree::TreeHolder* holder, uint32_t n, uint8_t label) {
    const ptree::GrammarInfo* grammar = stateGrammar(reinterpret_cast<StateObject*>(state));
    int64_t kind = kindIn(grammar, holder, n);
    bool listed = false;
    if (kind >= 0)
        for (uint32_t i = 0; i < grammar->labelCounts[kind]; i++)
            if (grammar->labels[kind][i].label == label) {
                listed = grammar->labels[kind][i].list;
                break;
            }
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    bool done = eachChild(holder, n, [&](uint32_t j) {
        if (ptree::labelByte(recordOf(holder, j)) != label) return true;
        PyObject* value = nodeValue(state, holder, j);
        if (!value) return false;
        int added = value == noValue ? 0 : PyList_Append(list, value);
        Py_DECREF(value);
        return added == 0;
    });
    if (!done) {
        Py_DECREF(list);
        return nullptr;
    }
    if (listed || PyList_GET_SIZE(list) > 1) return list;
    PyObject* one =
        PyList_GET_SIZE(list) ? Py_NewRef(PyList_GET_ITEM(list, 0)) : Py_NewRef(Py_None);
    Py_DECREF(list);
    return one;
}

}  // namespace wuna::host
