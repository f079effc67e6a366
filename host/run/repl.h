// Language.repl: an interactive session on Python's input().
//
// The loop reads an entry line by line: blank lines before an entry are skipped, and each
// further line is appended to the entry's text (as the bytes typed, malformed UTF-8 replaced
// as in a file), which the language's parser then checks with parse_tree. A ParseError at the
// very end of the text (past its trailing blanks) means the entry is not finished yet, so
// another line is read with the "more" prompt; a successful parse, a ParseError earlier in the
// text, or an empty line finishes it, and the entry runs in the REPL's Session (run/session.h).
// Past a few kilobytes, lines indented deeper than the entry's first are checked only now and
// then (run/repl.cpp), so a long pasted entry costs time in proportion to its length. A value that
// is not None is shown. Errors are printed to standard error and the loop goes on; end of input
// (Ctrl-D) ends it with None, SystemExit and failures of the printing itself end it with their
// exception. input, print and show are whatever Python callables are in force, so tests drive the
// loop by patching builtins.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace wuna::host {

// Language.repl(prompt=None, more=None, show=None): None at end of input, or null with the
// exception that ended it.
[[nodiscard]] PyObject* languageRepl(PyObject* self, PyObject* args, PyObject* kwargs);

// Prints the pending exception for the REPL with print (to sys.stderr when there is one).
// 0 when printed (the exception taken); -1 when the REPL must end: SystemExit (left pending)
// or a failure while printing (its exception pending).
[[nodiscard]] int replPrintError(PyObject* print);

}  // namespace wuna::host
