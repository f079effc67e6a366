// What the parts of pargo's Python face share: the module's classes (made by module.cpp and
// looked up from face.py) and the records behind the parser, tree and node objects.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/grammar.h"
#include "core/tree.h"

namespace pargo::face {

// The module's classes, set once at import.
struct Classes {
    PyTypeObject* parser = nullptr;
    PyTypeObject* tree = nullptr;
    PyTypeObject* node = nullptr;
    PyObject* parseError = nullptr;
    PyObject* grammarError = nullptr;
    PyObject* diagnostic = nullptr;
    PyObject* ast = nullptr;
};
extern Classes classes;

// The ident (PyThread_get_thread_ident) of the interpreter's main thread, the one that runs
// signal handlers, so that only its parses stop to run them; 0 when unknown. Set at import.
extern unsigned long mainThread;

// What an action makes of a node; code 0 is no action, 13 a class name.
enum Action : uint8_t {
    NoAction = 0,
    Str,
    Int,
    Float,
    Unquote,
    True,
    False,
    None,
    List,
    Tuple,
    Dict,
    First,
    Drop,
    ClassName
};

// The grammar capsule's record, read by other programs (pargo/tree_layout.h).
using GrammarCapsule = layout::GrammarRecord;

struct Parser {
    PyObject_HEAD grammar::Grammar* g;
    GrammarCapsule capsule;
    std::vector<uint8_t>* actions;  // per kind, the error kind included
    PyObject*
        kindNames;  // tuple of str per kind: the class name of a class action, else the rule name
    PyObject* ruleNames;   // tuple of str per kind, "<error>" last
    PyObject* fieldNames;  // tuple of str
};

struct Tree {
    PyObject_HEAD Parser* parser;  // strong
    PyObject* source;              // the text as given (str or bytes)
    PyObject* bytes;               // the UTF-8 bytes the records point into
    PyObject* errors;              // list of Diagnostic
    tree::TreeRecord record;
};

struct Node {
    PyObject_HEAD Tree* tree;  // strong
    uint32_t index;
};

// A capsule named name over memory that owner keeps alive: the capsule holds a reference to
// owner, so the memory lives as long as any capsule of it.
PyObject* ownedCapsule(void* pointer, const char* name, PyObject* owner);

}  // namespace pargo::face

namespace pargo::parserobj {
// Adds GrammarParser to the module; 0 or -1 with an exception.
int ready(PyObject* module);
// pargo.compile(grammar_text).
PyObject* compile(PyObject* module, PyObject* text);
}  // namespace pargo::parserobj

namespace pargo::treeobj {
// Adds the tree and node classes to the module; 0 or -1 with an exception.
int ready(PyObject* module);
// Takes over a parsed record (freed with the tree); the record points into `bytes`.
PyObject* make(face::Parser* p, PyObject* source, PyObject* bytes, tree::TreeRecord* record);
// A node object for index i of a tree.
PyObject* node(face::Tree* t, uint32_t i);
// The value of node i as its rule's action makes it.
PyObject* value(face::Tree* t, uint32_t i);
}  // namespace pargo::treeobj
