// wuna.Node, a node of a parsed program as semantics see it, and the Python values a node and
// its children stand for.
//
// A Node is small and made anew at each request: its State (one reference, keeping the tree
// alive), the State's tree holder (borrowed) and the node's index. Its attributes are read by
// name: a field of the grammar (its labelled children's values) first, then the node's own
// attributes (kind, rule, text, span, line ...). What a node stands for follows its kind's
// action in the grammar: most kinds give the node itself, tokens give the parser's value of
// their text (computed once per node and kept in the holder's cache), lists and tuples their
// children's values. A node the collector cleared (to break a cycle through its State) says
// "this node's program is gone" to every question.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/tree/holder.h"

namespace wuna::host {

struct NodeObject {
    PyObject_HEAD PyObject* state;  // the wuna.State; null once cleared
    ptree::TreeHolder* holder;      // the State's, borrowed; null once cleared
    uint32_t index;
};

extern PyType_Spec nodeSpec;

// A new wuna.Node of the State (which gets a reference). Null with the exception.
[[nodiscard]] PyObject* newNode(PyObject* state, ptree::TreeHolder* holder, uint32_t index);

// The value node n stands for, by its kind's action (a new reference; the no-value marker
// host::noValue for a dropped node). Null with the exception.
[[nodiscard]] PyObject* nodeValue(PyObject* state, ptree::TreeHolder* holder, uint32_t n);

// A new list of the values of n's direct children, the no-value marker left out. New
// reference, or null with the exception.
[[nodiscard]] PyObject* childValues(PyObject* state, ptree::TreeHolder* holder, uint32_t n);

// The values of n's direct children labelled label: a list when the kind marks the label as a
// list, else None, the one value, or a list of several. New reference, or null.
[[nodiscard]] PyObject* labelledValue(PyObject* state, ptree::TreeHolder* holder, uint32_t n,
                                      uint8_t label);

}  // namespace wuna::host
