// A program's keys and compiled code (see modules.h).
#include "compiler/driver/modules.h"

#include <cstdlib>
#include <cstring>

#include "compiler/backend/driver.h"
#include "compiler/backend/keys.h"
#include "compiler/backend/modcache.h"
#include "compiler/backend/tiers.h"
#include "host/module/settings.h"
#include "compiler/codegen/emitter.h"
#include "compiler/backend/inputs.h"
#include "host/language/language.h"
#include "host/module/exceptions.h"
#include "host/tree/holder.h"
#include "host/tree/state.h"
#include "wuna/runtime/convert.h"

namespace wuna::driver {

namespace {

constexpr uint32_t kFast = 0;
constexpr uint32_t kOptimized = 2;

// The program's current module goes to its earlier ones, and state becomes current. false
// when the earlier list cannot grow (nothing changed).
bool makeCurrent(host::ProgramRecord* program, Compiled* state) {
    if (Compiled* previous = program->moduleState) {
        auto** grown = static_cast<Compiled**>(
            realloc(program->earlier, (program->earlierCount + 1) * sizeof(Compiled*)));
        if (!grown) return false;
        program->earlier = grown;
        grown[program->earlierCount++] = previous;
    }
    program->moduleState = state;
    return true;
}

// The cached state becomes the program's current module. 0, or -1 with MemoryError.
int adopt(host::ProgramRecord* program, Compiled* cached) {
    if (!makeCurrent(program, cached)) {
        PyErr_NoMemory();
        return -1;
    }
    addUser(cached);
    return 0;
}

// Generates the program at the level, loads its code and makes it current. 0, or -1.
int generateAndLoad(host::ProgramRecord* program, const uint8_t key[32], uint32_t level) {
    CompileInputs inputs;
    if (compileInputs(&inputs, program) < 0) return -1;
    ptree::Index* tree = host::stateOf(program)->holder->index;
    Compiled* state = Compiled::generate(tree, &inputs, host::compileErrorClass, key, level);
    if (!state) return -1;
    // The inputs live on this stack: nothing may read them once generation is over.
    state->compiler.inputs = nullptr;
    const char* name = state->mainName();
    if (!name) {
        Compiled::free(state);
        PyErr_NoMemory();
        return -1;
    }
    uint64_t entry = 0;
    if (state->add(name, strlen(name), &entry) < 0) {
        Compiled::free(state);
        return -1;
    }
    state->entry = entry;
    state->ready = 1;
    // Code added to the state from now on may take the background branch of add.
    state->hasCode = 1;
    if (!makeCurrent(program, state)) {
        Compiled::free(state);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

const front::FunctionIR* readingOf(const front::Cache* cache, PyObject* fn) {
    return front::cachedFront(*cache, fn);
}

bool runsAsPython(void* map, PyObject* fn) {
    return static_cast<host::LanguageObject*>(map)->why.find(fn) != nullptr;
}

int runAsPython(void* map, PyObject* fn, const char* reason, size_t length) {
    return host::keepWhy(static_cast<host::LanguageObject*>(map), fn, reason, length);
}

}  // namespace

int compileInputs(CompileInputs* out, const host::ProgramRecord* program) {
    *out = CompileInputs{};
    host::LanguageObject* language = host::languageOf(program->language);
    if (!language) return -1;
    host::buildKindTables(language);
    uint32_t kinds = language->grammar->kindCount;
    out->grammar = language->grammar;
    out->evals = language->evalPerKind;
    out->evalCount = language->evalPerKind ? kinds : 0;
    out->execs = language->execPerKind;
    out->execCount = language->execPerKind ? kinds : 0;
    out->functionKinds = language->functionKinds;
    out->functionKindCount = language->functionKinds ? kinds : 0;
    out->frontCache = &language->frontCache;
    out->readingOf = readingOf;
    out->hosts = language->hosts;
    out->analysis = host::stateOf(program)->analysis;
    out->treeObject = host::stateOf(program)->holder->tree;
    if (program->path && program->path != Py_None) {
        Py_ssize_t length = 0;
        out->path = convert::strArg(program->path, "path", &length);
        if (!out->path) return -1;
        out->pathLength = uint64_t(length);
    }
    if (!language->runTimeContainers) {
        language->runTimeContainers =
            static_cast<compile::EscapedSites*>(calloc(1, sizeof(compile::EscapedSites)));
        if (!language->runTimeContainers) {
            PyErr_NoMemory();
            return -1;
        }
    }
    out->escapedSites = language->runTimeContainers;
    out->pythonMap = language;
    out->runsAsPython = runsAsPython;
    out->runAsPython = runAsPython;
    out->hotCalls = uint64_t(language->hotCalls);
    out->types = language->types;
    out->strict = language->strict;
    return 0;
}

void freeRunTimeContainers(compile::EscapedSites* set) {
    if (!set) return;
    set->keys.free();
    free(set);
}

int languageHash(host::LanguageObject* language, uint8_t out[32]) {
    uint32_t kinds = language->grammar ? language->grammar->kindCount : 0;
    PyObject* settings = settingsText(language->functionKinds, kinds, language->maxDepth,
                                      uint64_t(language->hotCalls), language->strict != 0);
    if (!settings) return -1;
    // The call runs Python, which may change the language: what it is given is held.
    PyObject* held[] = {Py_NewRef(language->parser), Py_NewRef(language->evals),
                        Py_NewRef(language->execs), Py_NewRef(language->hosts),
                        Py_XNewRef(language->types)};
    int rc = definitionHash(held[0], held[1], held[2], held[3], settings, held[4], out);
    for (PyObject* o : held) Py_XDECREF(o);
    Py_DECREF(settings);
    return rc;
}

int programKeyOf(const host::ProgramRecord* program, uint8_t out[32]) {
    host::LanguageObject* language = host::languageOf(program->language);
    if (!language) return -1;
    uint8_t hash[kKeyBytes];
    if (languageHash(language, hash) < 0) return -1;
    return programKey(hash, program->source, out);
}

bool moduleKeyOf(const host::ProgramRecord* program, const uint8_t key[32], uint8_t out[32]) {
    if (program->session) return false;
    return moduleKey(key, program->language, program->path, out);
}

namespace {

// The keys of the program: its program key, and its module key when it has one. 0, or -1.
int keysOf(host::ProgramRecord* program, uint8_t key[kKeyBytes], uint8_t module[kKeyBytes],
           bool* hasModule) {
    if (programKeyOf(program, key) < 0) return -1;
    *hasModule = moduleKeyOf(program, key, module);
    return 0;
}

// Starts the program's optimized build. 0 with the task held by the program, or -1.
int startBuild(host::ProgramRecord* program, const uint8_t key[kKeyBytes],
               const uint8_t* module) {
    CompileInputs inputs;
    if (compileInputs(&inputs, program) < 0) return -1;
    ptree::Index* tree = host::stateOf(program)->holder->index;
    OptimizeTask* task = startOptimize(tree, &inputs, host::compileErrorClass, key, module);
    if (!task) return -1;
    program->optimizeTask = task;
    return 0;
}

// Whether the program's task has its code at hand (false without a task).
bool buildReady(const host::ProgramRecord* program) {
    return program->optimizeTask && optimizeReady(program->optimizeTask);
}

// Links the program's finished (or awaited) optimized build: its state becomes the current
// module and is cached under the module key. 0, or -1 with the exception; the program holds
// no task afterwards either way.
int linkOptimized(host::ProgramRecord* program) {
    OptimizeTask* task = program->optimizeTask;
    program->optimizeTask = nullptr;
    bool hasModule = task->hasModuleKey;
    uint8_t module[kKeyBytes];
    memcpy(module, task->moduleKey, kKeyBytes);
    Compiled* state;
    if (finishOptimize(task, &state) < 0) return -1;
    if (!makeCurrent(program, state)) {
        Compiled::free(state);
        PyErr_NoMemory();
        return -1;
    }
    if (hasModule) {
        PyObject* objects[3] = {program->state, program->language, program->path};
        cacheState(state, module, objects);
    }
    return 0;
}

// The start of a compiled run: with the optimized build at hand, it is linked; otherwise the
// fast code of the module cache or made now.
int ensureFast(host::ProgramRecord* program, const uint8_t key[kKeyBytes],
               const uint8_t module[kKeyBytes], bool hasModule) {
    if (!program->optimizeTask &&
        startBuild(program, key, hasModule ? module : nullptr) < 0)
        return -1;
    if (buildReady(program)) return linkOptimized(program);
    if (hasModule)
        if (Compiled* cached = findCached(kFast, module)) return adopt(program, cached);
    if (generateAndLoad(program, key, kFast) < 0) return -1;
    if (hasModule) {
        PyObject* objects[3] = {program->state, program->language, program->path};
        cacheState(program->moduleState, module, objects);
    }
    return 0;
}

}  // namespace

int chooseAutoMode(host::ProgramRecord* program, bool* compiled) {
    *compiled = false;
    if (program->stayInPython) return 0;
    Compiled* current = program->moduleState;
    if (current && (current->level != 0 || program->globalsFrame)) {
        *compiled = true;
    } else if (program->optimizeTask) {
        *compiled = buildReady(program);
    } else {
        uint8_t key[kKeyBytes], module[kKeyBytes];
        bool hasModule = false;
        if (keysOf(program, key, module, &hasModule) < 0) return -1;
        if (hasModule && findCached(kOptimized, module)) {
            *compiled = true;
        } else if (OptimizeTask* task = hasModule ? takeOptimizeTask(module) : nullptr) {
            program->optimizeTask = task;
            *compiled = buildReady(program);
        } else if (startBuild(program, key, hasModule ? module : nullptr) < 0) {
            // Code that can't be compiled: the program stays with Python, without raising.
            if (!PyErr_ExceptionMatches(host::compileErrorClass)) return -1;
            PyErr_Clear();
            program->stayInPython = true;
            return 0;
        } else {
            *compiled = buildReady(program);
        }
    }
    if (!*compiled) return 0;
    if (ensureCompiled(program, false) < 0) return -1;
    // Code that runs semantics as Python is no faster than the reference mode: 'auto' takes
    // compiled code only when it runs none.
    if (program->moduleState->compiler.callsPython) {
        program->stayInPython = true;
        *compiled = false;
    }
    return 0;
}

int ensureCompiled(host::ProgramRecord* program, bool wait) {
    if (program->optimizeTask && !program->globalsFrame && (wait || buildReady(program)))
        if (linkOptimized(program) < 0) return -1;
    Compiled* current = program->moduleState;
    if (current && current->ready &&
        !(wait && current->level == 0 && !program->globalsFrame))
        return 0;
    uint8_t key[kKeyBytes], module[kKeyBytes];
    bool hasModule = false;
    if (keysOf(program, key, module, &hasModule) < 0) return -1;
    if (hasModule && !program->optimizeTask) {
        if (Compiled* cached = findCached(kOptimized, module)) return adopt(program, cached);
        if (OptimizeTask* task = takeOptimizeTask(module)) {
            program->optimizeTask = task;
            if (wait || buildReady(program)) return linkOptimized(program);
        }
    }
    if (!wait && settings::current.tiers) return ensureFast(program, key, module, hasModule);
    if (program->optimizeTask) return linkOptimized(program);
    if (generateAndLoad(program, key, kOptimized) < 0) return -1;
    if (hasModule) {
        PyObject* objects[3] = {program->state, program->language, program->path};
        cacheState(program->moduleState, module, objects);
    }
    return 0;
}

void releaseModules(host::ProgramRecord* program) {
    if (OptimizeTask* task = program->optimizeTask) {
        program->optimizeTask = nullptr;
        PyObject* objects[3] = {program->state, program->language, program->path};
        giveUpOptimizeTask(task, objects);
    }
    Compiled* current = program->moduleState;
    Compiled** earlier = program->earlier;
    uint32_t count = program->earlierCount;
    program->moduleState = nullptr;
    program->earlier = nullptr;
    program->earlierCount = 0;
    if (current) dropUser(current);
    for (uint32_t i = 0; i < count; i++) dropUser(earlier[i]);
    free(earlier);
}

}  // namespace wuna::driver
