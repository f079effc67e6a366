// Trees seen from Python (see tree/holder.h): the holder of an index and its node value
// cache, and the steps from a parse result to a wuna.State and its root node.
#include "host/tree/holder.h"

#include <cstdlib>

#include "host/support/check.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "pargo/tree_layout.h"

namespace wuna::ptree {

TreeHolder* newTreeHolder(Index* index, PyObject* tree, PyObject* treeCapsule,
                          PyObject* analysisCapsule) {
    auto* holder = static_cast<TreeHolder*>(calloc(1, sizeof(TreeHolder)));
    PyObject** values = static_cast<PyObject**>(calloc(index->count, sizeof(PyObject*)));
    if (!holder || !values) {
        free(holder);
        free(values);
        PyErr_NoMemory();
        return nullptr;
    }
    holder->index = index;
    // The index reads its grammar as long as it lives, whatever becomes of the grammar's
    // Language (constructed again, it lets go of the grammar).
    holdGrammar(index->grammar);
    holder->tree = Py_NewRef(tree);
    holder->values = values;
    holder->length = index->count;
    holder->capsules[0] = treeCapsule;
    holder->capsules[1] = analysisCapsule;
    return holder;
}

void freeTreeHolder(TreeHolder* holder) {
    if (!holder) return;
    PyObject** values = holder->values;
    PyObject* tree = holder->tree;
    holder->values = nullptr;
    holder->tree = nullptr;
    if (values) {
        for (uint32_t i = 0; i < holder->length; i++) Py_XDECREF(values[i]);
        free(values);
    }
    // The index points into the capsules' memory and reads the grammar: it goes first.
    const GrammarInfo* grammar = holder->index ? holder->index->grammar : nullptr;
    freeIndex(holder->index);
    dropGrammar(grammar);
    Py_XDECREF(holder->capsules[0]);
    Py_XDECREF(holder->capsules[1]);
    Py_XDECREF(tree);
    free(holder);
}

const TreeCapsule* treeCapsuleOf(PyObject* result, PyObject** capsule) {
    *capsule = PyObject_GetAttrString(result, "capsule");
    if (!*capsule) return nullptr;
    auto* tree = static_cast<const TreeCapsule*>(
        PyCapsule_GetPointer(*capsule, pargo::layout::treeCapsuleName));
    if (tree && tree->abi != kTreeAbi) {
        PyErr_Format(PyExc_ImportError, "wuna reads pargo trees with ABI 1, this pargo has %u",
                     unsigned(tree->abi));
        tree = nullptr;
    }
    if (!tree) Py_CLEAR(*capsule);
    return tree;
}

void raiseBuildFailure(Status status, const Refusal& refusal) {
    // build refuses only with a reason, and answers nothing else but out of memory: a status
    // without either is a fault here, still reported as an exception.
    WUNA_CHECK(status == Status::outOfMemory ||
                    (status == Status::unsupported && refusal.text));
    if (status == Status::unsupported && refusal.text) {
        PyErr_SetString(PyExc_ValueError, refusal.text);
        return;
    }
    PyErr_NoMemory();
}

PyObject* parseTree(PyObject* parser, PyObject* text, PyObject* start, bool recover) {
    PyObject* method = PyObject_GetAttrString(parser, "parse_tree");
    if (!method) return nullptr;
    PyObject* positional = PyTuple_Pack(1, text);
    PyObject* keywords = PyDict_New();
    PyObject* result = nullptr;
    if (positional && keywords &&
        (!start || start == Py_None || PyDict_SetItemString(keywords, "start", start) == 0) &&
        (!recover || PyDict_SetItemString(keywords, "recover", Py_True) == 0))
        result = PyObject_Call(method, positional, keywords);
    Py_DECREF(method);
    Py_XDECREF(positional);
    Py_XDECREF(keywords);
    return result;
}

PyObject* treeOf(PyObject* parser, const GrammarInfo* grammar, PyObject* result) {
    PyObject* capsule;
    const TreeCapsule* tree = treeCapsuleOf(result, &capsule);
    if (!tree) return nullptr;
    Index* index = nullptr;
    Refusal refusal;
    TreeHolder* holder = nullptr;
    Status status = build(grammar, nullptr, 0, tree, nullptr, &index, &refusal);
    if (status != Status::ok)
        raiseBuildFailure(status, refusal);
    else if (!(holder = newTreeHolder(index, result, capsule, nullptr)))
        freeIndex(index);
    if (!holder) {
        Py_DECREF(capsule);
        return nullptr;
    }
    PyObject* errors = PyObject_GetAttrString(result, "errors");
    if (!errors) {
        freeTreeHolder(holder);
        return nullptr;
    }
    PyObject* state = host::newState(holder, parser, nullptr, errors);
    Py_DECREF(errors);
    if (!state) return nullptr;  // the holder went with the failed State
    PyObject* root = host::newNode(state, holder, 0);
    Py_DECREF(state);
    return root;
}

PyObject* rtParseRoot(PyObject* parser, PyObject* text, PyObject* start, bool recover,
                      PyObject** result) {
    *result = nullptr;
    GrammarInfo* info = parserGrammar(parser);
    if (!info) return nullptr;
    PyObject* parsed = parseTree(parser, text, start, recover);
    if (!parsed) return nullptr;
    PyObject* root = treeOf(parser, info, parsed);
    if (!root) {
        Py_DECREF(parsed);
        return nullptr;
    }
    *result = parsed;
    return root;
}

}  // namespace wuna::ptree
