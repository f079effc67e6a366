// Module states and the road from a finished LLVM module to loaded code (see driver.h).
#include "compiler/backend/driver.h"

#include <cstdlib>
#include <cstring>

#include "compiler/backend/cache.h"
#include "compiler/backend/messages.h"
#include "compiler/backend/perfmap.h"
#include "compiler/backend/tiers.h"
#include "host/module/settings.h"
#include "wuna/runtime/helpers/table.h"

namespace wuna::driver {

namespace {

// Touched only under the interpreter lock.
bool helpersDefined = false;  // the engine accepted the runtime helpers
uint64_t moduleCounter = 0;
backend::TextMap<uint8_t> prefixSet;  // every prefix handed out; keys are heap copies

// Gives the engine the 94 runtime helpers under their table names. 0, or -1 with
// RuntimeError (the next state tries again).
int defineRuntime(const llvmapi::Capsule* engine) {
    static char names[helpers::kHelperCount][kHelperNameSlot];
    const char* pointers[helpers::kHelperCount];
    for (uint32_t i = 0; i < helpers::kHelperCount; i++) {
        strncpy(names[i], helpers::helperSignatures[i].name, kHelperNameSlot - 1);
        names[i][kHelperNameSlot - 1] = 0;
        pointers[i] = names[i];
    }
    char err[kRuntimeError] = {};
    if (engine->defineSymbols(pointers, helpers::helperAddresses, helpers::kHelperCount, err,
                              sizeof err) != 0) {
        messages::Message m;
        m.add("wuna: the JIT refused the runtime: ")
            .add(err, messages::engineTextLength(err, sizeof err));
        m.raise(PyExc_RuntimeError);
        return -1;
    }
    return 0;
}

// The first prefix of the form wn<12 hex>[f][x<try>] that no state of the process had,
// entered into prefixSet; in the arena. false when memory runs out.
bool choosePrefix(Compiled* state, const uint8_t key[32], bool standalone) {
    if (standalone) {
        char* text = static_cast<char*>(arena::take(state->arena, 4));
        if (!text) return false;
        memcpy(text, "wns", 4);
        state->prefix = text;
        state->prefixLength = 3;
        return true;
    }
    static const char digits[] = "0123456789abcdef";
    for (uint64_t attempt = 0;; attempt++) {
        char candidate[48];
        size_t n = 0;
        candidate[n++] = 'w';
        candidate[n++] = 'n';
        for (int i = 0; i < 6; i++) {
            candidate[n++] = digits[key[i] >> 4];
            candidate[n++] = digits[key[i] & 15];
        }
        if (state->level == 0) candidate[n++] = 'f';
        if (attempt)
            n += size_t(snprintf(candidate + n, sizeof candidate - n, "x%llu",
                                 (unsigned long long)attempt));
        char* text = static_cast<char*>(arena::take(state->arena, n + 1));
        if (!text) return false;
        memcpy(text, candidate, n);
        text[n] = 0;
        if (prefixSet.find(backend::Text{text, n})) continue;
        char* kept = backend::copyText(text, n);
        if (!kept) return false;
        if (!prefixSet.put(backend::Text{kept, n}, 1)) {
            free(kept);
            return false;
        }
        state->prefix = text;
        state->prefixLength = n;
        return true;
    }
}

void freeState(Compiled* state) {
    arena::freeArena(state->arena);
    ::free(state);
}

// Reports a failed compile attempt as the driver does: MemoryError, CompileError with the
// compiler's message, or the exception already pending.
void reportAttempt(Compiled* state, Status err) {
    if (err == Status::outOfMemory) {
        PyErr_NoMemory();
    } else if (err == Status::unsupported) {
        messages::Message m;
        m.add(state->compiler.message.items, state->compiler.message.count);
        m.raise(state->compileError ? state->compileError : PyExc_RuntimeError);
    } else if (!PyErr_Occurred()) {
        messages::Message m;
        m.add("wuna: compiling failed with error ")
            .addUnsigned(static_cast<uint16_t>(err))
            .add(" (a wuna bug)");
        m.raise(PyExc_RuntimeError);
    }
}

// A copy of module in a context of its own, made through bitcode, for a background job to
// emit while the foreground goes on with the module itself. Null when it cannot be made
// (nothing of the attempt is left allocated then).
llvmapi::ModuleRef copyModule(llvmapi::ModuleRef module) {
    const llvmapi::Table& T = llvmapi::table;
    llvmapi::MemoryBufferRef buffer = T.LLVMWriteBitcodeToMemoryBuffer(module);
    if (!buffer) return nullptr;
    llvmapi::ContextRef context = T.LLVMContextCreate();
    llvmapi::ModuleRef copy = nullptr;
    bool failed = T.LLVMParseBitcodeInContext2(context, buffer, &copy) != 0;
    // Parsing reads the whole module out of the buffer; the copy does not point into it.
    T.LLVMDisposeMemoryBuffer(buffer);
    if (failed || !copy) {
        if (copy) T.LLVMDisposeModule(copy);
        T.LLVMContextDispose(context);
        return nullptr;
    }
    return copy;
}

// Queues the optimizing emission of a copy of the state's current module at level, its
// object to be written to path (taken over). false when no copy could be made (path freed):
// the caller emits at level itself.
bool queueOptimizedCopy(Compiled* state, uint32_t level, char* path) {
    llvmapi::ModuleRef copy = copyModule(state->compiler.module.module);
    if (!copy) {
        ::free(path);
        return false;
    }
    // The result is never waited for: the job frees itself. A job that could not be queued
    // costs only the optimized object of this run.
    (void)queueTierJob(state->engine, copy, level, nullptr, path, strlen(path), false);
    return true;
}

}  // namespace

bool runtimeRegistered() { return helpersDefined; }

void raiseLlvmRejected(PyObject* cls, const char* text, size_t length) {
    messages::Message m;
    m.add("wuna: LLVM rejected the compiled program (a wuna bug): ").add(text, length);
    m.raise(cls);
}

Status readyCompiler(Compiled* state, const ptree::Index* tree) {
    compile::init(&state->compiler, tree, state->prefix, state->prefixLength);
    return compile::newModule(&state->compiler);
}

Compiled* Compiled::create(const ptree::Index* tree, PyObject* compileError,
                           const uint8_t programKey[32], uint32_t level, bool standalone) {
    const llvmapi::Capsule* engine = llvmapi::load();
    if (!engine) return nullptr;
    if (!helpersDefined) {
        if (defineRuntime(engine) < 0) return nullptr;
        helpersDefined = true;
    }
    auto* state = static_cast<Compiled*>(calloc(1, sizeof(Compiled)));
    if (!state) {
        PyErr_NoMemory();
        return nullptr;
    }
    state->arena = arena::newArena();
    if (!state->arena) {
        ::free(state);
        PyErr_NoMemory();
        return nullptr;
    }
    state->engine = engine;
    state->level = level;
    state->users = 1;
    state->moduleId = ++moduleCounter;
    if (!choosePrefix(state, programKey, standalone)) {
        freeState(state);
        PyErr_NoMemory();
        return nullptr;
    }
    state->compileError = Py_XNewRef(compileError);
    if (Status err = readyCompiler(state, tree); err != Status::ok) {
        reportAttempt(state, err);
        compile::release(&state->compiler);
        freeState(state);
        Py_XDECREF(compileError);
        return nullptr;
    }
    compile::Layout** global = state->compiler.layouts.find(compile::kGlobalScope);
    state->globalSlots = global ? (*global)->slots.count : 0;
    return state;
}

const char* Compiled::mainName() {
    char* name = static_cast<char*>(arena::take(arena, prefixLength + 6));
    if (!name) return nullptr;
    memcpy(name, prefix, prefixLength);
    memcpy(name + prefixLength, "_main", 6);
    return name;
}

void Compiled::free(Compiled* state) {
    if (!state) return;
    for (size_t i = 0; i < state->handles.count; i++) state->engine->release(state->handles[i]);
    state->handles.free();
    // The bridge's tables (thunks, compiled Python functions): nothing runs their code now.
    bridge::freeTables(&state->tables);
    state->keys.free();
    state->codeStore.forEach([](const Key&, KeptCode kept) { ::free(kept.bytes); });
    state->codeStore.free();
    compile::release(&state->compiler);
    PyObject* objects[3] = {state->cacheObjects[0], state->cacheObjects[1], state->cacheObjects[2]};
    PyObject* compileError = state->compileError;
    freeState(state);
    // Last: releasing a Python object may run Python code, which must not find a half-freed
    // state.
    for (PyObject* o : objects) Py_XDECREF(o);
    Py_XDECREF(compileError);
}

void Compiled::addKey(backend::List<Key>* keys, const uint8_t key[32]) {
    Key k;
    memcpy(k.bytes, key, 32);
    keys->push(k, 4);
}

void Compiled::keepCode(const uint8_t key[32], const uint8_t* bytes, uint64_t size) {
    uint8_t* copy = nullptr;
    if (size) {
        copy = static_cast<uint8_t*>(malloc(size));
        if (!copy) return;
        memcpy(copy, bytes, size);
    }
    Key k;
    memcpy(k.bytes, key, 32);
    KeptCode* there = codeStore.find(k);
    if (there) {
        ::free(there->bytes);
        *there = KeptCode{copy, size};
        return;
    }
    if (!codeStore.put(k, KeptCode{copy, size})) ::free(copy);
}

int Compiled::defineSymbols(char* err) {
    backend::List<compile::KeySymbol>& table = compiler.module.symbols;
    size_t n = table.count;
    if (n == 0) return 0;
    const char** names = static_cast<const char**>(malloc(n * sizeof(char*)));
    uint64_t* addresses = static_cast<uint64_t*>(malloc(n * sizeof(uint64_t)));
    if (!names || !addresses) {
        ::free(names);
        ::free(addresses);
        PyErr_NoMemory();
        return -1;
    }
    for (size_t i = 0; i < n; i++) {
        names[i] = table[i].name;
        addresses[i] = table[i].address;
    }
    int rc = engine->defineSymbols(names, addresses, n, err, kEngineError);
    ::free(names);
    ::free(addresses);
    if (rc == 0) return 0;
    messages::Message m;
    m.add("wuna: the JIT refused the compiled code's names (a wuna bug): ")
        .add(err, strnlen(err, kEngineError));
    m.raise(PyExc_RuntimeError);
    return -1;
}

int Compiled::resolveEntries(void* handle, const char* name, size_t length, uint64_t* address) {
    if (!handles.push(handle, 16)) {
        engine->release(handle);
        PyErr_NoMemory();
        return -1;
    }
    // The names of every module the compiler finished are kept whether or not the perf map
    // is on, so that a map turned on later still lists the code loaded before.
    if (settings::current.perfMap) {
        updatePerfMap(this);
    } else {
        // The names only label code in the perf map: running out of memory here loses a
        // label, not the code.
        (void)compile::noteDeclaredNames(&compiler);
    }
    uint64_t entryAddress = engine->symbolAddress(name);
    if (entryAddress) {
        *address = entryAddress;
        return 0;
    }
    messages::Message m;
    m.add("wuna: compiled code without its entry point ").add(name, length);
    m.raise(PyExc_RuntimeError);
    return -1;
}

int Compiled::add(const char* name, size_t length, uint64_t* address) {
    const llvmapi::Table& T = llvmapi::table;
    compile::ModuleRecord* m = &compiler.module;
    if (m->handedOver) {
        // The engine took this module with an earlier add; a new one must be started first.
        PyErr_SetString(PyExc_RuntimeError,
                        "wuna: a module was given to the engine twice (a wuna bug)");
        return -1;
    }
    char err[kEngineError];
    memset(err, 0, sizeof err);
    if (defineSymbols(err) < 0) {
        compile::forgetModule(&compiler);
        return -1;
    }
    compile::inlineCounting(&compiler);
    char* text = T.LLVMPrintModuleToString(m->module);
    size_t textLength = strlen(text);
    uint8_t key[32];
    cacheKey(key, text, textLength, level, nullptr, 0);

    void* handle = lookupCode(this, key, err, sizeof err);
    if (handle) {
        addKey(&keys, key);
        T.LLVMDisposeMessage(text);
        return resolveEntries(handle, name, length, address);
    }
    // Recorded before any emission, so it stands whatever happens next.
    addKey(&keys, key);
    uint32_t emitLevel = level >= 2 && m->blockCount > compile::kLargeModule ? level - 1 : level;
    // Code added to an optimized state after its first (typed entries, specialisations,
    // thunks, functions compiled on demand) is wanted now: fast code is made here while a
    // background job emits the optimized object into the cache, for the next run to find
    // under the key. Without a cache directory the optimized object would have nowhere to go.
    const uint8_t* writeKey = key;
    uint8_t fastKey[32];
    if (level != 0 && settings::current.tiers && hasCode == 1) {
        char* path = cachePath(key);
        if (path && queueOptimizedCopy(this, emitLevel, path)) {
            // The fast code has a key of its own, kept out of the key list: saving the
            // program asks for the code of the state's level.
            cacheKey(fastKey, text, textLength, 0, nullptr, 0);
            handle = lookupCode(this, fastKey, err, sizeof err);
            if (handle) {
                T.LLVMDisposeMessage(text);
                return resolveEntries(handle, name, length, address);
            }
            emitLevel = 0;
            writeKey = fastKey;
        }
    }

    // From here the engine owns the module and its context, whatever emitObject answers.
    m->handedOver = 1;
    memset(err, 0, sizeof err);
    uint64_t size = 0;
    uint8_t* bytes =
        engine->emitObject(m->module, emitLevel, nullptr, nullptr, nullptr, &size, err, sizeof err);
    if (!bytes) {
        T.LLVMDisposeMessage(text);
        compile::forgetModule(&compiler);
        raiseLlvmRejected(PyExc_RuntimeError, err, messages::engineTextLength(err, sizeof err));
        return -1;
    }
    char* path = cachePath(writeKey);
    if (path) {
        int rc = writeCacheFile(path, strlen(path), bytes, size);
        if (rc == 0 && settings::current.cacheSize != 0) settings::noteCacheWrite(size);
        // Bytes that did not reach the disk stay at hand for saving the program.
        if (rc != 0) keepCode(writeKey, bytes, size);
        compiles++;
        ::free(path);
    } else {
        keepCode(writeKey, bytes, size);
    }
    handle = engine->loadObject(bytes, size, err, sizeof err);
    engine->freeBytes(bytes);
    T.LLVMDisposeMessage(text);
    if (!handle) {
        compile::forgetModule(&compiler);
        raiseLlvmRejected(PyExc_RuntimeError, err, messages::engineTextLength(err, sizeof err));
        return -1;
    }
    return resolveEntries(handle, name, length, address);
}

int compileEntry(Compiled* state, uint32_t id, const compile::Emitters& emitters,
                 const std::string& entryName, uint64_t* address) {
    Status err = compile::runLoop(&state->compiler, id, emitters, state->compileError);
    if (err != Status::ok) {
        reportAttempt(state, err);
        return -1;
    }
    return state->add(entryName.data(), entryName.size(), address);
}

}  // namespace wuna::driver
