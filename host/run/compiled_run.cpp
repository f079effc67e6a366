// The compiled run of a program, Program.compiled_ir and the compiled Program.call (see
// compiled_run.h).
#include "host/run/compiled_run.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "compiler/backend/driver.h"
#include "compiler/backend/freeze.h"
#include "compiler/backend/inputs.h"
#include "compiler/backend/keys.h"
#include "compiler/backend/messages.h"
#include "compiler/driver/modules.h"
#include "host/interp/run_errors.h"
#include "host/language/language.h"
#include "host/module/exceptions.h"
#include "host/run/run_thread.h"
#include "host/tree/holder.h"
#include "host/tree/index.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/pyfunc.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/value.h"

namespace wuna::host {

namespace {

// Room a run on the calling thread needs below its stack position: this much per level of
// max_depth, plus the margin kept at the stack's end.
constexpr uint64_t kStackPerLevel = 4096;
constexpr uint64_t kRecursionCap = 2147483647;

ptree::TreeHolder* holderOf(const ProgramRecord* program) { return stateOf(program)->holder; }

CompiledRun* runOf(void* userData) { return static_cast<CompiledRun*>(userData); }

// driver.nodeObject: a wuna.Node of the program's tree.
PyObject* nodeObject(void* userData, int64_t index) {
    CompiledRun* r = runOf(userData);
    if (index < 0 || uint64_t(index) >= holderOf(r->program)->length) {
        PyErr_SetString(PyExc_IndexError, "wuna: a node index beyond the program's tree");
        return nullptr;
    }
    return newNode(r->program->state, holderOf(r->program), uint32_t(index));
}

// The Error of rt.error(..., code=): driver.runtimeErrorWithStack with the code (borrowed,
// or null) passed into the Error, innermost entry first.
PyObject* codedErrorWithStack(void* userData, int32_t site, const char* text, uint64_t length,
                              PyObject* code, const helpers::CallEntry* entries,
                              uint64_t count) {
    CompiledRun* r = runOf(userData);
    std::vector<CallEntry> stack;
    for (uint64_t i = 0; i < count; i++) {
        value::Str* name = entries[i].name;
        stack.push_back(CallEntry{name ? reinterpret_cast<const char*>(name->bytes()) : "?",
                                  name ? size_t(name->length) : 1, entries[i].site});
    }
    PyObject* message = PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "replace");
    if (!message) return nullptr;
    PyObject* error = buildRunError(r->program, site, message, code,
                                    std::span<const CallEntry>(stack.data(), stack.size()));
    Py_DECREF(message);
    return error;
}

// driver.runtimeErrorWithStack, innermost entry first.
PyObject* errorWithStack(void* userData, int32_t site, const char* text, uint64_t length,
                         const helpers::CallEntry* entries, uint64_t count) {
    return codedErrorWithStack(userData, site, text, length, nullptr, entries, count);
}

// driver.runtimeError: the same without a call stack.
PyObject* runtimeError(void* userData, int32_t site, const char* text, uint64_t length) {
    return errorWithStack(userData, site, text, length, nullptr, 0);
}

// driver.semanticOf: the node kind's semantic from the language's tables, borrowed.
PyObject* semanticOf(void* userData, uint32_t node, bool exec) {
    CompiledRun* r = runOf(userData);
    LanguageObject* language = languageOf(r->program->language);
    if (!language) return nullptr;
    const ptree::Index* index = holderOf(r->program)->index;
    if (node >= index->count) return nullptr;
    buildKindTables(language);
    uint32_t k = ptree::kindOf(index->nodes[node]);
    if (!language->grammar || k >= language->grammar->kindCount) return nullptr;
    PyObject** table = exec ? language->execPerKind : language->evalPerKind;
    return table ? table[k] : nullptr;
}

// The line and column of a node's start.
bool lineAndColumn(const ptree::Index* index, int64_t node, uint32_t* line, uint32_t* column) {
    if (node < 0 || uint64_t(node) >= index->count || !index->lineCount) return false;
    uint32_t start = index->nodes[node].start;
    uint32_t lo = 0, hi = index->lineCount;
    while (hi - lo > 1) {
        uint32_t mid = (lo + hi) / 2;
        if (index->lineStarts[mid] <= start) lo = mid; else hi = mid;
    }
    *line = lo + 1;
    *column = start - index->lineStarts[lo] + 1;
    return true;
}

struct RunWork {
    PyObject* programObject;
    ProgramRecord* program;
    bool report;
};

PyObject* runHere(PyObject* programObject, ProgramRecord* program, uint64_t floor, bool report);

PyObject* runOnThread(void* arg) {
    auto* work = static_cast<RunWork*>(arg);
    return runHere(work->programObject, work->program, 0, work->report);
}

// The run's crossings become the program's (a failure to take them leaves none); the run's
// own outcome is kept.
void keepCrossings(ProgramRecord* program, bridge::Tally* tally) {
    PendingError pending;
    pending.take();
    PyObject* crossings = bridge::takeTally(tally);
    if (!crossings) PyErr_Clear();
    Py_XSETREF(program->crossings, crossings);
    pending.restore();
}

PyObject* runHere(PyObject* programObject, ProgramRecord* program, uint64_t floor, bool report) {
    CompiledRun run;
    if (run.begin(programObject, program, nullptr, floor, report) < 0) return nullptr;
    driver::Compiled* state = run.state;
    value::Frame* frame = value::newFrame(nullptr, state->globalSlots);
    PyObject* result = nullptr;
    if (!frame) {
        PyErr_NoMemory();
    } else {
        bool crossed = false;
        auto entry = reinterpret_cast<bool (*)(helpers::Ctx*, void*)>(state->entry);
        bool ok = run.callNative(entry, frame, &crossed);
        if (crossed)
            run.reportStrict();
        else if (ok)
            result = Py_NewRef(Py_None);
        else
            run.raiseCtxFailure();
        value::releaseCaptured(&frame->h);
    }
    // Cycles the run's values left among themselves go now, not at some later run's turn.
    (void)gc::collect(gc::threadRecord(), true, true);
    if (report) keepCrossings(program, &run.tally);
    run.end();
    return result;
}

}  // namespace

uintptr_t stackBounds() {
    thread_local uintptr_t low = 0;
    if (low) return low;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* address = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &address, &size) == 0) low = uintptr_t(address);
    pthread_attr_destroy(&attr);
    return low;
}

uint64_t callingThreadFloor(uint32_t maxDepth, const driver::Compiled* state) {
    if (state->compiler.callsPython) return 0;
    uintptr_t low = stackBounds();
    if (!low) return 0;
    uintptr_t here = uintptr_t(__builtin_frame_address(0));
    uint64_t needed = uint64_t(maxDepth) * kStackPerLevel + runthread::kStackMargin;
    if (here <= low || here - low <= needed) return 0;
    return uint64_t(low) + runthread::kStackMargin;
}

int CompiledRun::begin(PyObject* object, ProgramRecord* record, PyObject* context,
                       uint64_t stackFloor, bool report) {
    memset(static_cast<void*>(this), 0, sizeof *this);
    LanguageObject* language = languageOf(record->language);
    if (!language) return -1;
    program = record;
    programObject = object;
    state = record->moduleState;
    run.userData = this;
    run.error = errorWithStack;
    run.codedError = codedErrorWithStack;
    run.module = state;
    run.tables = &state->tables;
    run.nodeCount = holderOf(record)->length;
    run.context = context;
    run.semantic = semanticOf;
    fillProgramView(this);
    run.tally = &tally;
    run.report = report ? 1 : 0;
    ctx.conversion.userData = this;
    ctx.conversion.node = nodeObject;
    ctx.conversion.owner = record->state;
    ctx.conversion.error = runtimeError;
    ctx.moduleObjects = &state->compiler.objects;
    ctx.moduleId = state->moduleId;
    ctx.stackFloor = stackFloor;
    ctx.run = &run;
    ctx.depthLimit = language->maxDepth;
    previous = helpers::setCurrentCtx(&ctx);
    recursionLimit = Py_GetRecursionLimit();
    uint64_t wanted = uint64_t(language->maxDepth) * 40 + 1000;
    if (wanted > kRecursionCap) wanted = kRecursionCap;
    if (uint64_t(recursionLimit) < wanted) Py_SetRecursionLimit(int(wanted));
    return 0;
}

bool CompiledRun::callNative(bool (*entry)(helpers::Ctx*, void*), void* frame, bool* crossed) {
    LanguageObject* language = languageOf(program->language);
    bool strict = language && language->strict;
    gil::Record* r = gil::current();
    // This thread may be inside another run's Python (a host function calling
    // Program.call): that run's claim of the lock, its count of lock takes, its report mode
    // and its crossing note wait here, so that this run's end releases only a lock this run
    // took and each program counts only its own takes.
    gil::Record outer = *r;
    gil::Crossing outerCrossing = *gil::crossing();
    r->ensured = 0;
    r->depth = 0;
    uint64_t before = r->ensures;
    PyThreadState* saved = gil::beginNative(r, strict);
    bool ok = entry(&ctx, frame);
    gil::endNative(r, saved);
    program->lockCount += r->ensures - before;
    *crossed = strict && r->recorded;
    if (*crossed) crossing = *gil::crossing();
    r->held = 1;
    r->ensures = outer.ensures;
    r->ensured = outer.ensured;
    r->state = outer.state;
    r->depth = outer.depth;
    r->report = outer.report;
    r->recorded = outer.recorded;
    *gil::crossing() = outerCrossing;
    return ok;
}

int CompiledRun::raiseCtxFailure() {
    // A wuna.Throw or wuna.Error that Python code raised is raised as it is (a wuna.Throw
    // becoming the wuna.Error it carries); any other failure is a runtime error of the
    // program, at its site with its call stack. The fetched exception (a KeyError a helper
    // met in Python) is kept only so that the program's handlers can catch that very object:
    // raised here it would leave the run as a bare Python exception, where the reference mode
    // raises the runtime error worded from it.
    if (ctx.reraise) {
        PyObject* saved = ctx.reraise;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(saved)), saved);
        finishRunError();
        return -1;
    }
    // A raised SystemExit (no Exception) leaves the run as it was raised, as in the reference
    // mode.
    if (helpers::passesThrough(&ctx)) {
        PyObject* raised = helpers::errorObject(&ctx);
        if (!raised) return -1;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised)), raised);
        Py_DECREF(raised);
        return -1;
    }
    PyErr_Clear();
    PyObject* built = errorWithStack(this, ctx.site, reinterpret_cast<const char*>(ctx.message.data),
                                     ctx.message.length, ctx.traceback.items, ctx.traceback.count);
    if (!built) return -1;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(built)), built);
    Py_DECREF(built);
    return -1;
}

int CompiledRun::reportStrict() {
    const gil::Crossing* c = &crossing;
    messages::Message m;
    m.add("strict: ");
    uint32_t line = 0, column = 0;
    int64_t node = c->value <= 0x7fffffff ? int64_t(c->value) : -1;
    if (lineAndColumn(holderOf(program)->index, node, &line, &column)) {
        Py_ssize_t length = 0;
        const char* path = program->path ? PyUnicode_AsUTF8AndSize(program->path, &length) : nullptr;
        if (!path) {
            PyErr_Clear();
            path = "<program>";
            length = 9;
        }
        m.add(path, size_t(length)).add(":").addUnsigned(line).add(":").addUnsigned(column);
        m.add(": ");
    }
    m.add("the compiled code went into Python while it ran");
    if (c->flag && c->nameLength) {
        m.add(": ").add(c->name, c->nameLength);
    } else if (c->nameLength) {
        m.add(", calling ").add(c->name, c->nameLength).add("()");
    }
    if (PyObject* why = bridge::whyPython(c->callee)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(why, &length);
        if (text)
            m.add(", which isn't compiled: ").add(text, size_t(length));
        else
            PyErr_Clear();
    }
    m.add(" (").add(c->where.function).add(", ").add(c->where.file).add(":");
    m.addUnsigned(c->where.line).add(" in wuna)");
    m.raise(strictErrorClass);
    return -1;
}

void CompiledRun::end() {
    helpers::endCtx(&ctx);
    freeProgramView(this);
    bridge::freeTally(&tally);
    helpers::setCurrentCtx(previous);
    Py_SetRecursionLimit(recursionLimit);
}

PyObject* compiledRun(PyObject* programObject, ProgramRecord* program, bool report) {
    if (driver::ensureCompiled(program, false) < 0) return nullptr;
    LanguageObject* language = languageOf(program->language);
    if (!language) return nullptr;
    uint64_t floor = callingThreadFloor(language->maxDepth, program->moduleState);
    // The run thread reaches the program through these while the caller waits.
    Py_INCREF(programObject);
    RunWork work{programObject, program, report};
    PyObject* result = floor ? runHere(programObject, program, floor, report)
                             : runthread::run(language->maxDepth, runOnThread, &work);
    Py_DECREF(programObject);
    return result;
}

PyObject* compiledIr(ProgramRecord* program) {
    driver::CompileInputs inputs;
    if (driver::compileInputs(&inputs, program) < 0) return nullptr;
    static const uint8_t noKey[driver::kKeyBytes] = {};
    driver::Compiled* state = driver::Compiled::generate(holderOf(program)->index, &inputs,
                                                         compileErrorClass, noKey, 2, "wn_ir");
    if (!state) return nullptr;
    compile::inlineCounting(&state->compiler);
    char* text = llvmapi::table.LLVMPrintModuleToString(state->compiler.module.module);
    PyObject* ir = PyUnicode_DecodeUTF8(text, Py_ssize_t(strlen(text)), "replace");
    llvmapi::table.LLVMDisposeMessage(text);
    driver::Compiled::free(state);
    return ir;
}

namespace {

// The slot of the global symbol name, or -1 with KeyError: the first symbol of that name
// the analysis puts in the global scope, when the module gave it a slot.
int64_t globalSlot(ProgramRecord* program, const char* name, size_t length) {
    ptree::Index* index = holderOf(program)->index;
    const driver::Compiled* state = program->moduleState;
    for (uint32_t i = 0; i < index->symbolCount; i++) {
        const ptree::Symbol& symbol = index->symbols[i];
        if (symbol.builtin || symbol.length != length) continue;
        if (memcmp(symbol.name, name, length) != 0 || ptree::symbolScope(index, i) != -1) continue;
        const uint32_t* slot = state->compiler.slots.find(i);
        if (slot && *slot < state->globalSlots) return *slot;
        break;
    }
    raiseNoSuchFunction(PyExc_KeyError, name, length);
    return -1;
}

// The program's global frame, running the top level into a new one the first time. 0, or -1
// with the exception.
int globalFrame(CompiledRun* run) {
    ProgramRecord* program = run->program;
    if (program->globalsFrame) return 0;
    value::Frame* frame = value::newFrame(nullptr, run->state->globalSlots);
    if (!frame) {
        PyErr_NoMemory();
        return -1;
    }
    bool crossed = false;
    auto entry = reinterpret_cast<bool (*)(helpers::Ctx*, void*)>(run->state->entry);
    bool ok = run->callNative(entry, frame, &crossed);
    if (crossed || !ok) {
        value::releaseCaptured(&frame->h);
        return crossed ? run->reportStrict() : run->raiseCtxFailure();
    }
    program->globalsFrame = frame;
    return 0;
}

// The values the global frame reaches made immortal, once per program. 0, or -1 with
// MemoryError.
int freezeGlobals(ProgramRecord* program) {
    if (program->frozen) return 0;
    driver::Visited visited{};
    Status s = driver::freezeFrame(&visited, program->globalsFrame);
    visited.free();
    if (s != Status::ok) {
        PyErr_NoMemory();
        return -1;
    }
    program->frozen = true;
    return 0;
}

// The value of the program's global function name, borrowed from the global frame: the top
// level run first when there is no global frame yet, and the values the globals reach frozen
// once, before any code of the call runs. 0 with *function, or -1 with the exception.
int findFunction(CompiledRun* run, const char* name, size_t length, value::Value* function) {
    int64_t slot = globalSlot(run->program, name, length);
    if (slot < 0 || globalFrame(run) < 0) return -1;
    *function = run->program->globalsFrame->slots()[slot];
    if (function->tag == value::TagUnset) {
        raiseNoSuchFunction(PyExc_KeyError, name, length);
        return -1;
    }
    return freezeGlobals(run->program);
}

// The arguments as native values: 0 with values[0..n) owned, or -1 with the exception and
// nothing left.
int convertArguments(PyObject* args, value::Value* values, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        if (convert::convert(a, Py_REFCNT(a) == 1, &values[i]) == 0) continue;
        while (i > 0) value::decref(values[--i]);
        return -1;
    }
    return 0;
}

// The call itself with the lock released: the result as a Python object, or null with the
// exception.
PyObject* callFunction(CompiledRun* run, value::Value function, PyObject* args) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    // One more than the count: an empty call still has an array to point at.
    auto* values = static_cast<value::Value*>(malloc((size_t(n) + 1) * sizeof(value::Value)));
    if (!values) return PyErr_NoMemory();
    if (convertArguments(args, values, n) < 0) {
        free(values);
        return nullptr;
    }
    struct Call {
        CompiledRun* run;
        value::Value function;
        value::Value* values;
        uint64_t n;
        value::Value result;
    } call{run, function, values, uint64_t(n), value::Value::none()};
    auto entry = [](helpers::Ctx*, void* c) -> bool {
        auto* k = static_cast<Call*>(c);
        helpers::Ctx* ctx = &k->run->ctx;
        if (!helpers::callOnce(ctx, 0, k->function, k->values, k->n, nullptr, &k->result))
            return false;
        return k->result.tag != value::TagTail || helpers::tailResolve(ctx, 0, &k->result);
    };
    bool crossed = false;
    bool ok = run->callNative(entry, &call, &crossed);
    PyObject* result = nullptr;
    if (crossed) {
        if (ok) value::decref(call.result);
        run->reportStrict();
    } else if (ok) {
        result = convert::toPython(call.result, &run->ctx.conversion);
        value::decref(call.result);
    } else {
        run->raiseCtxFailure();
    }
    for (Py_ssize_t i = 0; i < n; i++) value::decref(values[i]);
    free(values);
    return result;
}

}  // namespace

PyObject* compiledCall(PyObject* programObject, ProgramRecord* program, const char* name,
                       size_t length, PyObject* args, PyObject* context, uint64_t stackFloor) {
    CompiledRun run;
    if (run.begin(programObject, program, context == Py_None ? nullptr : context, stackFloor,
                  false) < 0)
        return nullptr;
    PyObject* result = nullptr;
    value::Value function;
    if (findFunction(&run, name, length, &function) == 0)
        result = callFunction(&run, function, args);
    run.end();
    return result;
}

}  // namespace wuna::host
