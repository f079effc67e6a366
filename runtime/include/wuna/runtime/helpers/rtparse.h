// rt.parse: a text parsed at run time with a parser of the parser package, as a tree of
// wuna.Node objects of its own.
//
// The body is shared by the reference Runtime and the rt of semantics that compiled code
// runs as Python. The trees are the module's, reached through runtime::hostApi.parseRoot: the
// parser's grammar metadata is read once per parser and kept while the parser lives (which
// also refuses what is not a parser; the trees hold their parser, so their grammar stays with
// them); the text goes through the parser's parse_tree, and the result becomes the root node
// of a new State that owns it, so the nodes stay valid as long as any of them lives. With
// recovery the errors the parser collected come along as plain tuples, in the order it
// reported them, read from a copy of the parser's list since reading an error can run Python.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace wuna::bridge {

// The root node of text parsed with grammar from rule start (null or None: the parser's
// default start rule). With recover: the pair (root, [(start offset, line, column, message),
// ...]) and a syntax error no longer raises. A new reference, or null with the exception: the
// parser's own (ParseError, "unknown start rule", "parse input must be str or bytes"...),
// TypeError "rt.parse: the grammar must be a pargo parser (pargo.compile()'s)", or the
// ImportError of a tree of another ABI; RuntimeError "rt.parse needs the wuna module" in a
// runtime linked without the module. Needs the interpreter lock.
[[nodiscard]] PyObject* rtParse(PyObject* grammar, PyObject* text, PyObject* start, bool recover);

}  // namespace wuna::bridge
