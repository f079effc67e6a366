// Counted nodes of compiled code's rt.parse trees shown to Python (see tree/parsed.h): the
// tree's text parsed again by the parser in Python, its root Node kept in the ParsedTree.
#include "host/tree/holder.h"
#include "host/tree/node.h"
#include "host/tree/parsed.h"
#include "wuna/runtime/value.h"

namespace wuna::ptree {

namespace {

// The tree's text as parse_tree takes it: a bytes text as the same bytes (the reference mode
// parses bytes as they are), a str as its UTF-8 decoded with errors replaced. New reference,
// or null with the exception.
PyObject* textObject(const ParsedTree* tree) {
    if (tree->text.tag == value::TagBytes) {
        auto* b = tree->text.as<value::Bytes>();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data),
                                         Py_ssize_t(b->length));
    }
    auto* s = tree->text.as<value::Str>();
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s->bytes()), Py_ssize_t(s->length),
                                "replace");
}

// The root wuna.Node of the tree parsed again in Python: parse_tree with the tree's start
// rule and recover flag, then a State over the result. New reference, or null with the
// exception.
PyObject* parsedRoot(const ParsedTree* tree) {
    PyObject* parser = tree->grammar ? tree->grammar->parser : nullptr;
    if (!parser) {
        PyErr_SetString(PyExc_RuntimeError, "a node of a parsed tree can't go to Python here");
        return nullptr;
    }
    // The registry holds the parser for the process; this reference covers the Python run
    // below all the same, as it may do anything.
    Py_INCREF(parser);
    GrammarInfo* info = parserGrammar(parser);
    PyObject* text = info ? textObject(tree) : nullptr;
    PyObject* start = text && tree->start
                          ? PyUnicode_DecodeUTF8(tree->start, Py_ssize_t(tree->startLength),
                                                 "replace")
                          : nullptr;
    PyObject* result = text && (start || !tree->start)
                           ? parseTree(parser, text, start, tree->recover != 0)
                           : nullptr;
    PyObject* root = result ? treeOf(parser, info, result) : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(start);
    Py_XDECREF(text);
    Py_DECREF(parser);
    return root;
}

}  // namespace

PyObject* nodeToPython(ParsedTree* tree, uint32_t index) {
    if (!tree->root) {
        PyObject* root = parsedRoot(tree);
        if (!root) return nullptr;
        // Making the root ran Python, which may have converted a node of this tree already:
        // the root kept first stays, so that the tree's nodes share one State.
        if (tree->root)
            Py_DECREF(root);
        else
            tree->root = root;
    }
    if (index == 0) return Py_NewRef(tree->root);
    auto* root = reinterpret_cast<host::NodeObject*>(tree->root);
    // The parser in Python gave the tree the native parse gave (same parser, text, start and
    // flags); a tree without the node is refused rather than read out of bounds.
    if (!root->state || !root->holder || index >= root->holder->length) {
        PyErr_SetString(PyExc_RuntimeError,
                        "a node of a parsed tree can't go to Python here (its text parsed "
                        "again in Python gave another tree)");
        return nullptr;
    }
    return host::newNode(root->state, root->holder, index);
}

PyObject* treeNodeObject(value::Node* node) {
    // A node block's holder is the head of its ParsedTree (the record's first member).
    return nodeToPython(static_cast<ParsedTree*>(node->holder), uint32_t(node->index));
}

}  // namespace wuna::ptree
