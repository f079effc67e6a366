// GrammarParser, the parser object that pargo.compile() returns. It owns the compiled grammar
// and answers the metadata methods from it; parse_tree() encodes the text once, runs the native
// parse with the interpreter lock released (taking it back now and then in the main thread, to
// run signal handlers, so that Ctrl-C stops a long parse), and hands the records to a tree
// object. The grammar capsule points at a record inside the object and holds a reference to the
// object, so the capsule never outlives what it points to.
#include <cstring>

#include "core/engine.h"
#include "core/notation.h"
#include "face/face.h"

namespace pargo::parserobj {
namespace {

using face::Parser;

struct ActionName {
    const char* name;
    face::Action code;
};
constexpr ActionName actionNames[] = {
    {"str", face::Str},         {"int", face::Int},     {"float", face::Float},
    {"unquote", face::Unquote}, {"True", face::True},   {"False", face::False},
    {"None", face::None},       {"list", face::List},   {"tuple", face::Tuple},
    {"dict", face::Dict},       {"first", face::First}, {"drop", face::Drop},
};

const char* const errorKindName = "<error>";

face::Action actionCode(const grammar::Rule& r) {
    if (!r.hasAction) return face::NoAction;
    for (const ActionName& a : actionNames)
        if (r.action == a.name) return a.code;
    return face::ClassName;
}

PyObject* strOf(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace");
}

void dealloc(PyObject* self) {
    Parser* p = reinterpret_cast<Parser*>(self);
    grammar::release(p->g);
    delete p->actions;
    Py_XDECREF(p->kindNames);
    Py_XDECREF(p->ruleNames);
    Py_XDECREF(p->fieldNames);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Fills the per-kind tables; -1 with an exception.
int tables(Parser* p) {
    const grammar::Grammar& g = *p->g;
    size_t kinds = g.rules.size() + 1;
    p->actions = new std::vector<uint8_t>(kinds, face::NoAction);
    p->kindNames = PyTuple_New(Py_ssize_t(kinds));
    p->ruleNames = PyTuple_New(Py_ssize_t(kinds));
    p->fieldNames = PyTuple_New(Py_ssize_t(g.fields.size()));
    if (!p->kindNames || !p->ruleNames || !p->fieldNames) return -1;
    for (size_t i = 0; i < kinds; i++) {
        bool error = i == g.rules.size();
        face::Action code = error ? face::NoAction : actionCode(g.rules[i]);
        (*p->actions)[i] = code;
        PyObject* rule = error ? PyUnicode_FromString(errorKindName) : strOf(g.rules[i].name);
        if (!rule) return -1;
        PyObject* kind = code == face::ClassName ? strOf(g.rules[i].action) : Py_NewRef(rule);
        if (!kind) {
            Py_DECREF(rule);
            return -1;
        }
        PyUnicode_InternInPlace(&rule);
        PyUnicode_InternInPlace(&kind);
        PyTuple_SET_ITEM(p->ruleNames, Py_ssize_t(i), rule);
        PyTuple_SET_ITEM(p->kindNames, Py_ssize_t(i), kind);
    }
    for (size_t i = 0; i < g.fields.size(); i++) {
        PyObject* f = strOf(g.fields[i]);
        if (!f) return -1;
        PyUnicode_InternInPlace(&f);
        PyTuple_SET_ITEM(p->fieldNames, Py_ssize_t(i), f);
    }
    return 0;
}

PyObject* listOfTuple(PyObject* t, Py_ssize_t n) {
    PyObject* l = PyList_New(n);
    if (!l) return nullptr;
    for (Py_ssize_t i = 0; i < n; i++) PyList_SET_ITEM(l, i, Py_NewRef(PyTuple_GET_ITEM(t, i)));
    return l;
}

PyObject* rulesList(PyObject* self, PyObject*) {
    Parser* p = reinterpret_cast<Parser*>(self);
    return listOfTuple(p->ruleNames, PyTuple_GET_SIZE(p->ruleNames) - 1);
}

PyObject* actions(PyObject* self, PyObject*) {
    Parser* p = reinterpret_cast<Parser*>(self);
    const auto& rs = p->g->rules;
    PyObject* l = PyList_New(Py_ssize_t(rs.size()));
    if (!l) return nullptr;
    for (size_t i = 0; i < rs.size(); i++) {
        PyObject* a = rs[i].hasAction ? strOf(rs[i].action) : Py_NewRef(Py_None);
        if (!a) {
            Py_DECREF(l);
            return nullptr;
        }
        PyList_SET_ITEM(l, Py_ssize_t(i), a);
    }
    return l;
}

PyObject* fields(PyObject* self, PyObject*) {
    Parser* p = reinterpret_cast<Parser*>(self);
    return listOfTuple(p->fieldNames, PyTuple_GET_SIZE(p->fieldNames));
}

PyObject* labels(PyObject* self, PyObject*) {
    Parser* p = reinterpret_cast<Parser*>(self);
    const auto& all = p->g->labels;
    PyObject* out = PyList_New(Py_ssize_t(all.size()));
    if (!out) return nullptr;
    for (size_t i = 0; i < all.size(); i++) {
        PyObject* l = PyList_New(Py_ssize_t(all[i].size()));
        if (!l) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, Py_ssize_t(i), l);
        for (size_t k = 0; k < all[i].size(); k++) {
            PyObject* pair = Py_BuildValue("(OO)", PyTuple_GET_ITEM(p->fieldNames, all[i][k].field),
                                           all[i][k].many ? Py_True : Py_False);
            if (!pair) {
                Py_DECREF(out);
                return nullptr;
            }
            PyList_SET_ITEM(l, Py_ssize_t(k), pair);
        }
    }
    return out;
}

PyObject* literals(PyObject* self, PyObject*) {
    Parser* p = reinterpret_cast<Parser*>(self);
    const auto& lits = p->g->literals;
    PyObject* l = PyList_New(Py_ssize_t(lits.size()));
    if (!l) return nullptr;
    for (size_t i = 0; i < lits.size(); i++) {
        PyObject* s = strOf(lits[i]);
        if (!s) {
            Py_DECREF(l);
            return nullptr;
        }
        PyList_SET_ITEM(l, Py_ssize_t(i), s);
    }
    return l;
}

PyObject* capsule(PyObject* self, void*) {
    Parser* p = reinterpret_cast<Parser*>(self);
    return face::ownedCapsule(&p->capsule, "pargo.grammar.v1", self);
}

// Raises the ParseError for a syntax error record.
void raiseSyntaxError(const tree::ErrorRecord& e) {
    PyObject* message = PyUnicode_DecodeUTF8(
        e.message, Py_ssize_t(strnlen(e.message, sizeof e.message)), "replace");
    if (!message) return;
    PyObject* text = PyUnicode_FromFormat("line %u, col %u: %U", e.line, e.column, message);
    PyObject* exc = text ? PyObject_CallOneArg(face::classes.parseError, text) : nullptr;
    Py_XDECREF(text);
    if (exc) {
        PyObject* offset = PyLong_FromUnsignedLong(e.offset);
        PyObject* line = PyLong_FromUnsignedLong(e.line);
        PyObject* column = PyLong_FromUnsignedLong(e.column);
        if (offset && line && column && PyObject_SetAttrString(exc, "offset", offset) == 0 &&
            PyObject_SetAttrString(exc, "line", line) == 0 &&
            PyObject_SetAttrString(exc, "column", column) == 0 &&
            PyObject_SetAttrString(exc, "message", message) == 0)
            PyErr_SetObject(face::classes.parseError, exc);
        Py_XDECREF(offset);
        Py_XDECREF(line);
        Py_XDECREF(column);
        Py_DECREF(exc);
    }
    Py_DECREF(message);
}

// The engine's interrupt check in the main thread: runs the signal handlers with the lock
// taken back; true (stop) when one raised, its exception then set in the thread.
struct SignalCheck {
    PyThreadState* saved;
};

bool runSignalHandlers(void* context) {
    SignalCheck* c = static_cast<SignalCheck*>(context);
    PyEval_RestoreThread(c->saved);
    bool stop = PyErr_CheckSignals() < 0;
    c->saved = PyEval_SaveThread();
    return stop;
}

// The parse behind parse_tree() and parse(): a tree object, or null with an exception.
PyObject* parseText(Parser* p, PyObject* text, PyObject* start, bool recover) {
    PyObject* bytes;
    if (PyUnicode_Check(text)) {
        bytes = PyUnicode_AsUTF8String(text);
        if (!bytes) return nullptr;
    } else if (PyBytes_Check(text)) {
        bytes = Py_NewRef(text);
    } else {
        // Worded as compiled code's parse words it, so that both ways of parsing fail alike.
        PyErr_SetString(PyExc_TypeError, "parse input must be str or bytes");
        return nullptr;
    }
    const char* startName = nullptr;
    if (start && start != Py_None) {
        if (!PyUnicode_Check(start)) {
            Py_DECREF(bytes);
            PyErr_Format(PyExc_TypeError, "start must be a rule name (str) or None, not %.100s",
                         Py_TYPE(start)->tp_name);
            return nullptr;
        }
        Py_ssize_t n;
        startName = PyUnicode_AsUTF8AndSize(start, &n);
        if (!startName) {
            Py_DECREF(bytes);
            return nullptr;
        }
        if (std::strlen(startName) != size_t(n)) startName = "\x01";  // a NUL inside names no rule
    }
    tree::TreeRecord record;
    tree::ErrorRecord err;
    const char* data = PyBytes_AS_STRING(bytes);
    uint64_t len = uint64_t(PyBytes_GET_SIZE(bytes));
    SignalCheck check;
    engine::Interrupt interrupt{runSignalHandlers, &check};
    bool mainThread = face::mainThread != 0 && PyThread_get_thread_ident() == face::mainThread;
    check.saved = PyEval_SaveThread();
    int status = engine::parse(p->g, data, len, startName, recover ? tree::recoverFlag : 0, &record,
                               &err, mainThread ? &interrupt : nullptr);
    PyEval_RestoreThread(check.saved);
    // Signal handlers may have run Python code meanwhile; what is used below cannot have
    // changed: the parser is held by the call, the bytes by their reference, and the compiled
    // grammar is never changed.
    if (status == tree::parsed) {
        PyObject* t = treeobj::make(p, text, bytes, &record);
        Py_DECREF(bytes);
        return t;
    }
    Py_DECREF(bytes);
    if (status == engine::interrupted) return nullptr;  // a signal handler's exception is set
    if (status == tree::syntaxError)
        raiseSyntaxError(err);
    else if (status == tree::unknownStart)
        PyErr_SetString(PyExc_ValueError, "unknown start rule");
    else if (status == tree::noNodes)
        PyErr_SetString(PyExc_ValueError,
                        "the start rule matched but produced no nodes (is it @silent?)");
    else
        PyErr_NoMemory();
    return nullptr;
}

PyObject* parseTree(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"text", "start", "recover", nullptr};
    PyObject* text;
    PyObject* start = Py_None;
    int recover = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op:parse_tree", const_cast<char**>(names),
                                     &text, &start, &recover))
        return nullptr;
    return parseText(reinterpret_cast<Parser*>(self), text, start, recover != 0);
}

PyObject* parse(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"text", "start", nullptr};
    PyObject* text;
    PyObject* start = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:parse", const_cast<char**>(names), &text,
                                     &start))
        return nullptr;
    PyObject* t = parseText(reinterpret_cast<Parser*>(self), text, start, false);
    if (!t) return nullptr;
    PyObject* v = treeobj::value(reinterpret_cast<face::Tree*>(t), 0);
    Py_DECREF(t);
    return v;
}

PyObject* repr(PyObject* self) {
    Parser* p = reinterpret_cast<Parser*>(self);
    return PyUnicode_FromFormat("<pargo.GrammarParser of %zd rules>",
                                Py_ssize_t(p->g->rules.size()));
}

PyMethodDef methods[] = {
    {"rules", rulesList, METH_NOARGS,
     "rules()\n--\n\nThe rule names; a rule's index is its kind number."},
    {"actions", actions, METH_NOARGS, "actions()\n--\n\nPer rule, its action name or None."},
    {"fields", fields, METH_NOARGS,
     "fields()\n--\n\nThe label names; a label byte is its index + 1."},
    {"labels", labels, METH_NOARGS, "labels()\n--\n\nPer rule, its (label name, list flag) pairs."},
    {"literals", literals, METH_NOARGS, "literals()\n--\n\nEvery distinct literal of the grammar."},
    {"parse_tree", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parseTree)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_tree(text, start=None, recover=False)\n--\n\nParses a text into a tree."},
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)),
     METH_VARARGS | METH_KEYWORDS,
     "parse(text, start=None)\n--\n\nParses a text and gives the root's value as the actions make "
     "it."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef getset[] = {{"capsule", capsule, nullptr,
                         "The native grammar (a capsule named \"pargo.grammar.v1\").", nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc, const_cast<char*>("A parser compiled from grammar text by pargo.compile().")},
    {0, nullptr}};

PyType_Spec spec = {"pargo.GrammarParser", sizeof(Parser), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

int ready(PyObject* module) {
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return -1;
    face::classes.parser = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "GrammarParser", type);
}

PyObject* compile(PyObject*, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "compile() needs the grammar as a str, not %.100s",
                     Py_TYPE(text)->tp_name);
        return nullptr;
    }
    Py_ssize_t len;
    const char* data = PyUnicode_AsUTF8AndSize(text, &len);
    if (!data) return nullptr;
    notation::Error err;
    grammar::Grammar* g = notation::compile(data, size_t(len), &err);
    if (!g) {
        PyErr_Format(face::classes.grammarError, "line %u, column %u: %s", err.line, err.column,
                     err.what.c_str());
        return nullptr;
    }
    Parser* p = PyObject_New(Parser, face::classes.parser);
    if (!p) {
        grammar::release(g);
        return nullptr;
    }
    p->g = g;
    p->capsule = {1, 0, g, &pargo_parse, nullptr, &pargo_tree_free};
    p->actions = nullptr;
    p->kindNames = p->ruleNames = p->fieldNames = nullptr;
    if (tables(p) < 0) {
        Py_DECREF(p);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(p);
}

}  // namespace pargo::parserobj
