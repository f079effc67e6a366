// Program generation: the whole program into the module state's compiler, attempt after
// attempt until no emitter asks for more (see driver.h).
#include <cstring>

#include "compiler/backend/driver.h"
#include "compiler/backend/emit.h"
#include "compiler/backend/inputs.h"
#include "compiler/backend/messages.h"
#include "host/tree/index.h"

namespace wuna::driver {

namespace {

using compile::Compiler;
using compile::kGlobalScope;
using compile::Layout;

// The nearest scope node above node (a function node or a block scope), or kGlobalScope.
uint32_t enclosingScope(const ptree::Index* tree, uint32_t node) {
    for (uint32_t n = tree->parents[node]; n < tree->count; n = tree->parents[n])
        if (ptree::isFunctionNode(tree, n) || ptree::isCaptured(tree, n)) return n;
    return kGlobalScope;
}

// The nearest function node above node, or kGlobalScope.
uint32_t enclosingFunction(const ptree::Index* tree, uint32_t node) {
    for (uint32_t n = tree->parents[node]; n < tree->count; n = tree->parents[n])
        if (ptree::isFunctionNode(tree, n)) return n;
    return kGlobalScope;
}

Status giveHeapFrame(Compiler* c, uint32_t scope) {
    Layout* layout;
    if (Status s = compile::layoutOf(c, scope, &layout); s != Status::ok) return s;
    layout->heapFrame = 1;
    return Status::ok;
}

// Every symbol of the analysis gets the next slot of its scope's layout.
Status layOutSlots(Compiler* c, ptree::Index* tree) {
    for (uint32_t i = 0; i < tree->symbolCount; i++) {
        if (tree->symbols[i].builtin) continue;
        uint32_t scope = uint32_t(ptree::symbolScope(tree, i));
        Layout* layout;
        if (Status s = compile::layoutOf(c, scope, &layout); s != Status::ok) return s;
        if (!c->slots.put(i, uint32_t(layout->slots.count)) || !layout->slots.push(i))
            return Status::outOfMemory;
    }
    return Status::ok;
}

// The frames the program's structure asks for: a function's definer, the global scope, and
// every captured block scope with each scope around it.
Status structuralFrames(Compiler* c, const ptree::Index* tree) {
    if (Status s = giveHeapFrame(c, kGlobalScope); s != Status::ok) return s;
    for (uint32_t n = 0; n < tree->count; n++) {
        Status s = Status::ok;
        if (ptree::isFunctionNode(tree, n)) s = giveHeapFrame(c, enclosingFunction(tree, n));
        if (s == Status::ok && ptree::isCaptured(tree, n)) {
            for (uint32_t scope = n; s == Status::ok && scope != kGlobalScope;
                 scope = enclosingScope(tree, scope))
                s = giveHeapFrame(c, scope);
        }
        if (s != Status::ok) return s;
    }
    return Status::ok;
}

// Whether some semantic of the language runs as Python or was never read by the front end.
bool anySemanticInPython(const CompileInputs* in) {
    for (int table = 0; table < 2; table++) {
        PyObject* const* semantics = table == 0 ? in->evals : in->execs;
        uint64_t count = table == 0 ? in->evalCount : in->execCount;
        for (uint64_t k = 0; k < count; k++) {
            PyObject* fn = semantics[k];
            if (!fn) continue;
            if (in->runsAsPython(in->pythonMap, fn)) return true;
            if (!in->readingOf || !in->readingOf(in->frontCache, fn)) return true;
        }
    }
    return false;
}

Status allFrames(Compiler* c, const ptree::Index* tree) {
    for (uint32_t n = 0; n < tree->count; n++)
        if (ptree::isFunctionNode(tree, n))
            if (Status s = giveHeapFrame(c, n); s != Status::ok) return s;
    c->layouts.forEach([](uint32_t, Layout* layout) { layout->heapFrame = 1; });
    c->allFrames = 1;
    return Status::ok;
}

// What generation carries from one attempt to the next.
struct Carried {
    backend::List<uint32_t> frameScopes;  // scopes an emitter needed the frame of
    bool allFrames;
};

// One attempt: a fresh compiler and module, the layouts, the top level and the worklists.
Status attempt(Compiled* state, ptree::Index* tree, const CompileInputs* in,
               const Carried& carried) {
    Compiler* c = &state->compiler;
    compile::init(c, tree, state->prefix, state->prefixLength);
    c->inputs = in;
    c->frontCache = in->frontCache;
    c->strict = in->strict;
    c->allFramesAttempt = carried.allFrames;
    c->escapedSites = in->escapedSites;
    if (Status s = compile::newModule(c); s != Status::ok) return s;
    if (Status s = layOutSlots(c, tree); s != Status::ok) return s;
    if (Status s = structuralFrames(c, tree); s != Status::ok) return s;
    for (size_t i = 0; i < carried.frameScopes.count; i++)
        if (Status s = compile::markFrames(c, carried.frameScopes[i]); s != Status::ok) return s;
    if (carried.allFrames || anySemanticInPython(in))
        if (Status s = allFrames(c, tree); s != Status::ok) return s;
    if (Status s = compile::emitFunction(c, compile::kTopLevel); s != Status::ok) return s;
    for (;;) {
        if (c->worklist.count) {
            uint32_t id = c->worklist[c->worklist.count - 1];
            c->worklist.count--;
            if (Status s = compile::emitFunction(c, id); s != Status::ok) return s;
            continue;
        }
        if (!c->helperWorklist.count) return Status::ok;
        compile::HelperSpec* spec = c->helperWorklist[c->helperWorklist.count - 1];
        c->helperWorklist.count--;
        if (Status s = compile::emitHelper(c, spec); s != Status::ok) return s;
    }
}

bool contains(const backend::List<uint32_t>& list, uint32_t x) {
    for (size_t i = 0; i < list.count; i++)
        if (list[i] == x) return true;
    return false;
}

void raiseMessage(PyObject* cls, const backend::List<char>& text) {
    messages::Message m;
    m.add(text.items, text.count);
    m.raise(cls ? cls : PyExc_RuntimeError);
}

}  // namespace

bool generateProgram(Compiled* state, ptree::Index* tree, const CompileInputs* in,
                     PyObject* compileError) {
    Carried carried{};
    Compiler* c = &state->compiler;
    for (;;) {
        Status err = attempt(state, tree, in, carried);
        if (err == Status::ok) {
            carried.frameScopes.free();
            return true;
        }
        // What the attempt found out survives the roll-back; the rest goes with it.
        PyObject* failing = c->failingSemantic;
        bool frameNeeded = c->frameNeeded != 0;
        uint32_t scope = c->frameNeededScope;
        bool again = c->retry != 0 && c->needs != 0;
        bool wasAllFrames = c->allFramesAttempt != 0;
        backend::List<char> message = c->message;
        c->message = backend::List<char>{};
        compile::release(c);
        bool retry = false;
        if (err == Status::unsupported) {
            if (frameNeeded && scope != kGlobalScope && !contains(carried.frameScopes, scope)) {
                if (!carried.frameScopes.push(scope)) err = Status::outOfMemory;
                retry = err == Status::unsupported;
            } else if (again || (frameNeeded && !wasAllFrames && !carried.allFrames)) {
                // Something new each time: the all-frames decision, or a need an emitter
                // recorded outside the compiler.
                carried.allFrames = carried.allFrames || frameNeeded;
                retry = true;
            } else if (failing && !in->strict && !in->runsAsPython(in->pythonMap, failing)) {
                if (in->runAsPython(in->pythonMap, failing, message.items ? message.items : "",
                                    message.count) < 0) {
                    message.free();
                    carried.frameScopes.free();
                    return false;
                }
                retry = true;
            } else {
                raiseMessage(compileError, message);
            }
        }
        if (err == Status::outOfMemory) PyErr_NoMemory();
        if (err != Status::unsupported && err != Status::outOfMemory && !PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "wuna: compiling failed (a wuna bug)");
        message.free();
        if (!retry) {
            // The compiler is left readied and empty, so that freeing the state finds
            // nothing twice.
            compile::init(c, tree, state->prefix, state->prefixLength);
            carried.frameScopes.free();
            return false;
        }
    }
}

Compiled* Compiled::generate(ptree::Index* tree, const CompileInputs* inputs,
                             PyObject* compileError, const uint8_t programKey[32],
                             uint32_t level, const char* prefix) {
    // A fixed prefix takes the place of the standalone one, which no other state competes
    // for: the module is never loaded, so its prefix need not be the process's only one.
    Compiled* state = create(tree, compileError, programKey, level, prefix != nullptr);
    if (!state) return nullptr;
    if (prefix) {
        size_t length = strlen(prefix);
        char* copy = static_cast<char*>(arena::take(state->arena, length + 1));
        if (!copy) {
            free(state);
            PyErr_NoMemory();
            return nullptr;
        }
        memcpy(copy, prefix, length + 1);
        state->prefix = copy;
        state->prefixLength = length;
    }
    // create readied the compiler with a module of its own; generation makes its own.
    compile::release(&state->compiler);
    if (!generateProgram(state, tree, inputs, compileError)) {
        free(state);
        return nullptr;
    }
    compile::Layout** global = state->compiler.layouts.find(compile::kGlobalScope);
    state->globalSlots = global ? (*global)->slots.count : 0;
    return state;
}

}  // namespace wuna::driver
