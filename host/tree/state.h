// wuna.State: a loaded program's data as Python sees it.
//
// A State owns the tree holder of its program (the parse-tree index, the parser's tree object
// and the per-node value cache, tree/holder.h) and holds the owner of the tree (the Language of a
// loaded program, or the parser of a tree rt.parse made), the rules' analysis (whose memory
// the index's symbol names point into), the diagnostics list, and the global wuna.Frame of
// the last reference-mode run. Nodes, functions and programs hold their State; freeing the
// State frees the holder before it drops the analysis and the tree's owner, since the index
// points into both.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "host/tree/holder.h"

namespace wuna::host {

struct StateObject {
    PyObject_HEAD ptree::TreeHolder* holder;  // owned; null only in a State Python made by itself
    PyObject* owner;                          // the Language, or the parser of an rt.parse tree
    PyObject* analysis;                       // null: none
    PyObject* diagnostics;
    PyObject* frame;  // the global wuna.Frame of the last run, or null
};

extern PyType_Spec stateSpec;

// A new State taking over holder (freed here when the State cannot be made) and a new
// reference to owner, analysis (may be null) and diagnostics. Null with the exception.
[[nodiscard]] PyObject* newState(ptree::TreeHolder* holder, PyObject* owner, PyObject* analysis,
                                 PyObject* diagnostics);

// The grammar the State's nodes are read with: its Language's while that Language has one,
// else the index's. Null when the program is gone (a Language cleared by the collector or
// State made empty); sets no exception.
[[nodiscard]] const ptree::GrammarInfo* stateGrammar(const StateObject* state);

}  // namespace wuna::host
