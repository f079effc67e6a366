// What a compiled run hands the runtime about its program: the tree as the runtime reads it
// (nodes::TreeView with the grammar's names and a node cache), the program's variables as the
// module lays them out (bridge::ProgramVars), and the code generator's hooks the bridge calls
// while the program runs (bridge::compilerApi): whether a node's semantic runs as Python,
// whether a node is a captured block scope, a node's thunk, a function's code for rt.function.
//
// The hooks compile on demand with the run's module state: each request is one compile loop
// ending in loaded code (driver::compileEntry). A semantic refused while compiling joins the
// language's Python semantics with its reason and the request is compiled again, as program
// generation does; a strict language's refusal is the CompileError.
//
// Everything runs with the interpreter lock held, on the run's thread; the view lives as long
// as the run (the run record points into it).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/helpers/rtvars.h"

namespace wuna::host {

struct CompiledRun;

struct CompiledView {
    nodes::GrammarView grammar;
    nodes::TreeView tree;
    nodes::NodeCache cache;
    bridge::ProgramVars vars;
};

// Fills the run's record with the view of its program (tree, variables, analysis, hosts,
// path). Cannot fail.
void fillProgramView(CompiledRun* run);

// Frees what the view's node cache made. Cannot fail; needs the interpreter lock.
void freeProgramView(CompiledRun* run);

// Fills bridge::compilerApi. Once at start-up. Cannot fail.
void installCompiledHooks();

}  // namespace wuna::host
