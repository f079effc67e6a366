// The program view of a compiled run and the code generator's run-time hooks (see
// compiled_view.h).
#include "host/run/compiled_view.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/backend/driver.h"
#include "compiler/backend/emit.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/pyentry.h"
#include "compiler/front/comptime.h"
#include "compiler/front/cache.h"
#include "compiler/driver/modules.h"
#include "host/language/language.h"
#include "host/module/exceptions.h"
#include "host/run/compiled_run.h"
#include "host/tree/function_kind.h"
#include "host/tree/holder.h"
#include "host/tree/index.h"
#include "host/tree/state.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/run.h"

namespace wuna::host {

namespace {

constexpr int32_t kGlobal = -1;

CompiledRun* runOf(void* user) { return static_cast<CompiledRun*>(user); }
ptree::Index* indexOf(CompiledRun* run) { return stateOf(run->program)->holder->index; }

// The scope around a node: the nearest function node or captured block scope above it.
int32_t scopeAround(const ptree::Index* index, uint32_t node) {
    if (node >= index->count) return kGlobal;
    for (uint32_t n = index->parents[node]; n < index->count; n = index->parents[n])
        if (ptree::isFunctionNode(index, n) || ptree::isCaptured(index, n)) return int32_t(n);
    return kGlobal;
}

// ---- the variables table ---------------------------------------------------------------

int64_t symbolOf(void* user, uint32_t node) {
    const ptree::Index* index = indexOf(runOf(user));
    if (node >= index->count || !index->nodeSymbols) return -1;
    uint32_t symbol = index->nodeSymbols[node];
    return symbol == ptree::kNone || symbol >= index->symbolCount ? -1 : int64_t(symbol);
}

int64_t declaredScope(void* user, uint32_t symbol) {
    const ptree::Index* index = indexOf(runOf(user));
    if (symbol >= index->symbolCount) return -1;
    uint32_t scope = index->symbols[symbol].scope;
    return scope == ptree::kNone ? -1 : int64_t(scope);
}

bool isBuiltin(void* user, uint32_t symbol) {
    const ptree::Index* index = indexOf(runOf(user));
    return symbol < index->symbolCount && index->symbols[symbol].builtin;
}

int32_t frameScope(void* user, uint32_t symbol) {
    return ptree::symbolScope(indexOf(runOf(user)), symbol);
}

int32_t scopeOf(void* user, uint32_t node) { return scopeAround(indexOf(runOf(user)), node); }

int64_t slotOf(void* user, uint32_t symbol) {
    const uint32_t* slot = runOf(user)->state->compiler.slots.find(symbol);
    return slot ? int64_t(*slot) : -1;
}

int64_t layoutSlots(void* user, int32_t scope) {
    compile::Layout** layout = runOf(user)->state->compiler.layouts.find(uint32_t(scope));
    return layout ? int64_t((*layout)->slots.count) : -1;
}

bool isBlockScope(void* user, uint32_t node) {
    return ptree::isCaptured(indexOf(runOf(user)), node);
}

bool isFunctionKind(void* user, uint32_t node) {
    return ptree::isFunctionNode(indexOf(runOf(user)), node);
}

// ---- compiling on demand ---------------------------------------------------------------------

// A compile request of the run's module state: the top level's inputs again for the time of
// the request (generation's were on its stack).
struct Request {
    CompiledRun* run;
    uint32_t node;
    bool exec;
    int32_t scope;
    std::string name;
};

std::string symbolName(const driver::Compiled* state, const char* suffix, uint64_t n) {
    std::string name(state->prefix, state->prefixLength);
    name += suffix;
    name += std::to_string(n);
    return name;
}

// Each attempt takes the next number of the module state's thunk counter, which is never
// reset, so no two modules of the state declare the same thunk symbol.
compile::Status thunkEntry(void* user, compile::Compiler* c) {
    auto* r = static_cast<Request*>(user);
    driver::Compiled* state = r->run->state;
    state->compiler.thunkCounter++;
    r->name = symbolName(state, "_th", state->compiler.thunkCounter);
    return compile::emitThunk(c, r->node, r->exec, r->scope, r->name.c_str(), r->name.size());
}

compile::Status functionEntry(void*, compile::Compiler* c, uint32_t id) {
    return compile::emitFunction(c, id);
}

compile::Status helperEntry(void*, compile::Compiler* c, compile::HelperSpec* spec) {
    return compile::emitHelper(c, spec);
}

// What a refused semantic does to a request: moves to the language's Python semantics and
// the request is compiled again, or ends the request (a typed entry is only an attempt: its
// failure leaves the function on its generic entry and the language as it was).
enum class Refused : uint8_t { moveToPython, endRequest };

// The loaded address of the request's entry, compiled again while a refused semantic can
// move to the language's Python semantics. 0, or -1 with the exception.
int compileRequest(Request* r, bool thunk, Refused refused, uint64_t* address) {
    driver::Compiled* state = r->run->state;
    LanguageObject* language = languageOf(r->run->program->language);
    if (!language) return -1;
    compile::Compiler* c = &state->compiler;
    for (;;) {
        driver::CompileInputs inputs;
        if (driver::compileInputs(&inputs, r->run->program) < 0) return -1;
        c->inputs = &inputs;
        c->failingSemantic = nullptr;
        compile::Emitters emitters{r, thunk ? thunkEntry : nullptr, functionEntry, helperEntry};
        int rc = driver::compileEntry(state, r->node, emitters, r->name, address);
        PyObject* failing = c->failingSemantic;
        c->inputs = nullptr;
        c->failingSemantic = nullptr;
        if (rc == 0) return 0;
        if (refused == Refused::endRequest || !failing || inputs.strict ||
            !PyErr_ExceptionMatches(compileErrorClass) ||
            inputs.runsAsPython(inputs.pythonMap, failing))
            return -1;
        // The reason kept is the compile error's text, as generation keeps it.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject* text = value ? PyObject_Str(value) : nullptr;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        if (!text) return -1;
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
        int kept = utf8 ? keepWhy(language, failing, utf8, size_t(length)) : -1;
        Py_DECREF(text);
        if (kept < 0) return -1;
    }
}

CompiledRun* currentRun() {
    helpers::Ctx* ctx = helpers::currentCtx();
    return ctx && ctx->run ? static_cast<CompiledRun*>(ctx->run->userData) : nullptr;
}

int functionOf(void* user, uint32_t node, bridge::FunctionParts* out) {
    CompiledRun* run = runOf(user);
    const ptree::Index* index = indexOf(run);
    driver::Compiled* state = run->state;
    const FunctionKind* kind = nullptr;
    uint32_t k = ptree::kindOf(index->nodes[node]);
    if (index->functionKinds && k < index->functionKindCount) kind = &index->functionKinds[k];
    if (!kind || !kind->isFunction) {
        PyErr_SetString(PyExc_TypeError, "this node isn't a function kind (Language.function)");
        return -1;
    }
    Request r{run, node, false, 0, symbolName(state, "_f", node)};
    uint64_t address = 0;
    if (state->compiler.requested.find(node))
        address = state->engine->symbolAddress(r.name.c_str());
    if (!address) {
        // Compiling is no crossing of the program.
        gil::Record* g = gil::current();
        if (g) g->depth++;
        int rc = compileRequest(&r, false, Refused::moveToPython, &address);
        if (g) g->depth--;
        if (rc < 0) return -1;
    }
    uint32_t parameters = 0;
    if (kind->paramsLabel) {
        uint64_t end = uint64_t(node) + index->nodes[node].descendants + 1;
        if (end > index->count) end = index->count;
        for (uint32_t c = node + 1; c < end; c += index->nodes[c].descendants + 1)
            if (ptree::labelByte(index->nodes[c]) == kind->paramsLabel) parameters++;
    }
    out->code = reinterpret_cast<void*>(uintptr_t(address));
    out->name = nullptr;
    out->nameLength = 0;
    int64_t name = kind->nameLabel
                       ? ptree::childWithLabel(index->nodes, index->count, node, kind->nameLabel)
                       : -1;
    if (name >= 0) {
        uint64_t start = index->nodes[name].start, stop = index->nodes[name].end;
        if (stop > index->textLength) stop = index->textLength;
        if (start > stop) start = stop;
        out->name = index->text + start;
        out->nameLength = stop - start;
    }
    out->flags = parameters | uint32_t(kind->missing == MissingArgs::none) << 16 |
                 uint32_t(kind->extra) << 17;
    return 0;
}

// ---- the bridge's hooks ------------------------------------------------------------------------

bool runsAsPython(void* module, uint32_t node, bool exec) {
    CompiledRun* run = currentRun();
    if (!run || run->state != module) return true;
    LanguageObject* language = languageOf(run->program->language);
    if (!language) {
        PyErr_Clear();
        return true;
    }
    const ptree::Index* index = indexOf(run);
    if (node >= index->count || !language->grammar) return true;
    uint32_t k = ptree::kindOf(index->nodes[node]);
    if (k >= language->grammar->kindCount) return true;
    PyObject** table = exec ? language->execPerKind : language->evalPerKind;
    PyObject* fn = table ? table[k] : nullptr;
    if (!fn || language->why.find(fn)) return true;
    return front::cachedFront(language->frontCache, fn) == nullptr;
}

bool capturedScope(void* module, uint32_t node) {
    auto* state = static_cast<driver::Compiled*>(module);
    const ptree::Index* tree = state->compiler.tree;
    return tree && ptree::isCaptured(tree, node);
}

bridge::ThunkCode thunk(void* module, uint32_t node, bool exec, int32_t scope) {
    CompiledRun* run = currentRun();
    if (!run || run->state != module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "wuna: a thunk asked for outside the run of its module (a wuna bug)");
        return nullptr;
    }
    // thunkEntry names each attempt.
    Request r{run, node, exec, scope, std::string()};
    uint64_t address = 0;
    if (compileRequest(&r, true, Refused::moveToPython, &address) < 0) return nullptr;
    return reinterpret_cast<bridge::ThunkCode>(uintptr_t(address));
}

// The typed entry of a hot function compiled and loaded into the run's module state. 0 with
// *address, or -1 with the exception.
int compileTypedEntry(void* user, uint32_t typedId, uint64_t* address) {
    CompiledRun* run = runOf(user);
    Request r{run, typedId, false, 0,
              symbolName(run->state, "_t", typedId & ~compile::kTypedEntryBit)};
    // Compiling is no crossing of the program.
    gil::Record* g = gil::current();
    if (g) g->depth++;
    int rc = compileRequest(&r, false, Refused::endRequest, address);
    if (g) g->depth--;
    return rc;
}

void speculate(void* module, int64_t id) {
    CompiledRun* run = currentRun();
    if (!run || run->state != module || id < 0 || id >= int64_t(compile::kTypedEntryBit)) return;
    compile::speculate(&run->state->compiler, uint32_t(id), compileTypedEntry, run);
}

// ---- helper specialisations made at run time --------------------------------------------------

compile::Status siteSpecEntry(void* user, compile::Compiler* c) {
    auto* spec = static_cast<compile::HelperSpec*>(user);
    // Listed before the loop began: each attempt queues it again.
    return c->helperWorklist.push(spec) ? Status::ok : Status::outOfMemory;
}

// specializeSite's compile: the code of a listed specialisation, loaded already or compiled
// now by the compile loop into the run's module. 0 with *address; -1 with a Python exception,
// or with none when the specialisation is too big (the compiler's message says so).
int compileSiteSpec(void* user, compile::HelperSpec* spec, uint64_t* address) {
    CompiledRun* run = runOf(user);
    driver::Compiled* state = run->state;
    compile::Compiler* c = &state->compiler;
    backend::Text symbol{spec->symbol, spec->symbolLength};
    // Only names of loaded modules are in the name set: a name there has its address.
    if (c->nameSet.find(symbol)) {
        *address = state->engine->symbolAddress(spec->symbol);
        return *address ? 0 : -1;
    }
    driver::CompileInputs inputs;
    if (driver::compileInputs(&inputs, run->program) < 0) return -1;
    c->inputs = &inputs;
    c->failingSemantic = nullptr;
    c->retry = 0;
    compile::Emitters emitters{spec, siteSpecEntry, functionEntry, helperEntry};
    Status err = compile::runLoop(c, 0, emitters, state->compileError);
    int rc = -1;
    uint64_t blocks = c->module.blockCount;
    if (err == Status::ok && blocks >= compile::kSpecialisationBlockLimit) {
        // A hot site must not make the module grow without bound.
        c->message.clear();
        std::string text = std::to_string(blocks) + " blocks: too big to specialize";
        for (char ch : text)
            if (!c->message.push(ch)) break;
        compile::forgetModule(c);
    } else if (err == Status::ok) {
        rc = state->add(spec->symbol, spec->symbolLength, address);
    }
    c->inputs = nullptr;
    c->failingSemantic = nullptr;
    return rc;
}

void specialize(void* module, int64_t site) {
    CompiledRun* run = currentRun();
    if (!run || run->state != module) return;
    compile::specializeSite(&run->state->compiler, site, compileSiteSpec, run);
}

// ---- Python functions called from compiled code ---------------------------------------------

// The reason buffer of compilerApi.python: 256 bytes of text.
constexpr size_t kReasonBytes = 256;
constexpr char kNoRun[] = "no compiled run of this module is running";
constexpr char kOutOfMemory[] = "out of memory";

struct PythonRequest {
    PyObject* f;
    uint64_t n;
    uint64_t mask;
    bool closure;
    compile::HelperSpec* spec;  // the attempt's entry, once queued
};

compile::Status pythonEntry(void* user, compile::Compiler* c) {
    auto* r = static_cast<PythonRequest*>(user);
    return compile::queuePythonEntry(c, r->f, r->n, r->mask, r->closure, &r->spec);
}

size_t copyReason(char* reason, const char* text, size_t length) {
    size_t n = length < kReasonBytes ? length : kReasonBytes;
    if (n) memcpy(reason, text, n);
    return n;
}

// Why the compile ended with err (the pending exception consumed): the compiler's message for
// an unsupported construct, the exception's text, or "out of memory". The length.
size_t failureReason(compile::Compiler* c, Status err, char* reason) {
    if (err == Status::unsupported) return copyReason(reason, c->message.items, c->message.count);
    if (err == Status::pythonError && PyErr_Occurred())
        return front::exceptionText(reason, kReasonBytes);
    PyErr_Clear();
    return copyReason(reason, kOutOfMemory, sizeof kOutOfMemory - 1);
}

// compilerApi.python: f's entry compiled by the compile loop into the run's module and loaded
// as run-time specialisations are. The address, or null with the reason (no exception left).
void* python(void* module, PyObject* f, uint64_t n, uint64_t mask, bool closure, char* reason,
             size_t* length) {
    *length = 0;
    CompiledRun* run = currentRun();
    if (!run || run->state != module) {
        *length = copyReason(reason, kNoRun, sizeof kNoRun - 1);
        return nullptr;
    }
    driver::Compiled* state = run->state;
    compile::Compiler* c = &state->compiler;
    driver::CompileInputs inputs;
    if (driver::compileInputs(&inputs, run->program) < 0) {
        *length = failureReason(c, Status::pythonError, reason);
        return nullptr;
    }
    c->inputs = &inputs;
    c->failingSemantic = nullptr;
    c->retry = 0;
    PythonRequest r{f, n, mask, closure, nullptr};
    compile::Emitters emitters{&r, pythonEntry, functionEntry, helperEntry};
    // The loop compiles again when an attempt asked for it (a need recorded, frames wanted).
    Status err = compile::runLoop(c, 0, emitters, state->compileError);
    uint64_t address = 0;
    if (err == Status::ok && r.spec &&
        state->add(r.spec->symbol, r.spec->symbolLength, &address) < 0)
        err = Status::pythonError;
    c->inputs = nullptr;
    c->failingSemantic = nullptr;
    if (err == Status::ok && address) return reinterpret_cast<void*>(uintptr_t(address));
    *length = failureReason(c, err == Status::ok ? Status::outOfMemory : err, reason);
    PyErr_Clear();
    return nullptr;
}

}  // namespace

void fillProgramView(CompiledRun* run) {
    CompiledView* v = &run->view;
    const ptree::Index* index = indexOf(run);
    const ptree::GrammarInfo* g = index->grammar;
    if (g) {
        v->grammar = nodes::GrammarView{g->kindCount, g->ruleNames, g->kindNames, g->actions,
                                        g->labels,    g->labelCounts, g->fieldCount, g->fields};
    }
    v->tree = nodes::TreeView{index->nodes,   index->count,      index->text,
                              index->textLength, index->parents, index->lineStarts,
                              index->lineCount,  g ? &v->grammar : nullptr, &v->cache};
    v->vars = bridge::ProgramVars{run,       symbolOf,   declaredScope, isBuiltin,
                                  frameScope, scopeOf,   slotOf,        layoutSlots,
                                  isBlockScope, isFunctionKind, functionOf};
    helpers::RunRecord* record = &run->run;
    record->program = &v->tree;
    record->vars = &v->vars;
    StateObject* state = stateOf(run->program);
    record->analysis = state->analysis;
    LanguageObject* language = languageOf(run->program->language);
    if (!language) PyErr_Clear();
    record->hosts = language ? language->hosts : nullptr;
    record->path = run->program->path && run->program->path != Py_None ? run->program->path
                                                                         : nullptr;
}

void freeProgramView(CompiledRun* run) { nodes::freeCache(&run->view.cache, run->view.tree.count); }

void installCompiledHooks() {
    bridge::compilerApi.runsAsPython = runsAsPython;
    bridge::compilerApi.capturedScope = capturedScope;
    bridge::compilerApi.thunk = thunk;
    bridge::compilerApi.speculate = speculate;
    bridge::compilerApi.python = python;
    bridge::compilerApi.specialize = specialize;
}

}  // namespace wuna::host
