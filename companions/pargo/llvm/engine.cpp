// The code engine behind the LLVM capsule (see engine.h for the design).
#include "engine.h"

#include <llvm-c/Analysis.h>
#include <llvm-c/Core.h>
#include <llvm-c/Error.h>
#include <llvm-c/LLJIT.h>
#include <llvm-c/Orc.h>
#include <llvm-c/Target.h>
#include <llvm-c/TargetMachine.h>
#include <llvm-c/Transforms/PassBuilder.h>
#include <llvm/Object/ObjectFile.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pargo {
namespace {

// ---- error texts

void setError(char* err, uint64_t cap, std::string_view text) {
    if (!err || cap == 0) return;
    size_t n = text.size() < cap ? text.size() : cap - 1;
    // A cut text must stay valid UTF-8: never end inside a character.
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    std::memcpy(err, text.data(), n);
    err[n] = 0;
}

// Takes the error (LLVM requires every error to be consumed) and gives its text.
std::string takeError(LLVMErrorRef e) {
    char* m = LLVMGetErrorMessage(e);
    std::string text = m ? m : "unknown error";
    LLVMDisposeErrorMessage(m);
    return text;
}

std::string takeMessage(char* m) {
    std::string text = m ? m : "";
    LLVMDisposeMessage(m);
    return text;
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

// ---- the host

struct Host {
    std::string triple;
    std::string cpu;
    std::string features;
};
Host host;
std::once_flag hostOnce;

// ---- emission

enum class Level : uint32_t { Fast = 0, Less = 1, Full = 2 };

// default<O0> is the always-inliner (and nothing that costs time): the reference-count code
// relies on its small alwaysinline functions being inlined at every level.
const char* pipelines[] = {"default<O0>", "default<O1>", "default<O2>"};
const LLVMCodeGenOptLevel codegenLevels[] = {LLVMCodeGenLevelNone, LLVMCodeGenLevelLess,
                                             LLVMCodeGenLevelDefault};

// The module, its context and the target machine of one emission; the module and context
// are disposed on every exit.
struct Emission {
    LLVMModuleRef module;
    LLVMContextRef context;
    LLVMTargetMachineRef machine = nullptr;  // the thread's, see machineFor
    explicit Emission(LLVMModuleRef m)
        : module(m), context(m ? LLVMGetModuleContext(m) : nullptr) {}
    ~Emission() {
        if (module) LLVMDisposeModule(module);
        if (context) LLVMContextDispose(context);
    }
    Emission(const Emission&) = delete;
    Emission& operator=(const Emission&) = delete;
};

// A target machine must not be used by two threads at once, and making one costs about a
// sixth of a small module's emission at level 0; so each thread keeps the last one it made
// and uses it again for the same target, CPU, features and level.
struct ThreadMachine {
    std::string triple, cpu, features;
    Level level = Level::Fast;
    LLVMTargetMachineRef machine = nullptr;
    ThreadMachine() = default;
    ThreadMachine(const ThreadMachine&) = delete;
    ThreadMachine& operator=(const ThreadMachine&) = delete;
    ~ThreadMachine() {
        if (machine) LLVMDisposeTargetMachine(machine);
    }
};
thread_local ThreadMachine threadMachine;

// The thread's machine for the target: it, or null with the reason in *why.
LLVMTargetMachineRef machineFor(const char* triple, const char* cpu, const char* features,
                                Level level, std::string* why) {
    ThreadMachine& m = threadMachine;
    if (m.machine && m.level == level && m.triple == triple && m.cpu == cpu &&
        m.features == features)
        return m.machine;
    LLVMTargetRef t = nullptr;
    char* msg = nullptr;
    if (LLVMGetTargetFromTriple(triple, &t, &msg)) {
        *why = "no LLVM target for '" + std::string(triple) + "': " + takeMessage(msg);
        return nullptr;
    }
    LLVMTargetMachineRef made = LLVMCreateTargetMachine(t, triple, cpu, features,
                                                        codegenLevels[static_cast<uint32_t>(level)],
                                                        LLVMRelocPIC, LLVMCodeModelDefault);
    if (!made) {
        *why = "LLVM made no target machine for '" + std::string(triple) + "'";
        return nullptr;
    }
    if (m.machine) LLVMDisposeTargetMachine(m.machine);
    m.machine = made;
    m.triple = triple;
    m.cpu = cpu;
    m.features = features;
    m.level = level;
    return made;
}

// Takes the target machine and gives the module its triple and data layout: true, or false
// with the reason in *why.
bool prepareTarget(Emission& job, Level level, const char* target, const char* cpu,
                   const char* features, std::string* why) {
    const char* triple = target ? target : host.triple.c_str();
    // A named target may be another machine of the family: only the generic CPU is safe there.
    if (!cpu) cpu = target ? "generic" : host.cpu.c_str();
    if (!features) features = target ? "" : host.features.c_str();
    job.machine = machineFor(triple, cpu, features, level, why);
    if (!job.machine) return false;
    LLVMSetTarget(job.module, triple);
    LLVMTargetDataRef layout = LLVMCreateTargetDataLayout(job.machine);
    LLVMSetModuleDataLayout(job.module, layout);
    LLVMDisposeTargetData(layout);
    return true;
}

// Runs the level's pipeline: true, or false with the reason in *why.
bool optimize(Emission& job, Level level, std::string* why) {
    LLVMPassBuilderOptionsRef options = LLVMCreatePassBuilderOptions();
    LLVMErrorRef e =
        LLVMRunPasses(job.module, pipelines[static_cast<uint32_t>(level)], job.machine, options);
    LLVMDisposePassBuilderOptions(options);
    if (!e) return true;
    *why = "the optimiser failed: " + takeError(e);
    return false;
}

// ---- loading

// The names an object defines for others: what its load must make linkable, and what
// symbolAddress answers afterwards. The same choice as the JIT's own (defined, global, not a
// file symbol). True, or false with the reason in *why.
bool definedNames(LLVMMemoryBufferRef buffer, std::vector<std::string>* names, std::string* why) {
    llvm::MemoryBufferRef ref(
        llvm::StringRef(LLVMGetBufferStart(buffer), LLVMGetBufferSize(buffer)), "object");
    auto object = llvm::object::ObjectFile::createObjectFile(ref);
    if (!object) {
        *why = "not an object file: " + llvm::toString(object.takeError());
        return false;
    }
    for (const llvm::object::SymbolRef& sym : (*object)->symbols()) {
        auto flags = sym.getFlags();
        if (!flags) {
            *why = "a broken object file: " + llvm::toString(flags.takeError());
            return false;
        }
        if ((*flags & llvm::object::BasicSymbolRef::SF_Undefined) ||
            !(*flags & llvm::object::BasicSymbolRef::SF_Global))
            continue;
        auto type = sym.getType();
        if (!type) {
            *why = "a broken object file: " + llvm::toString(type.takeError());
            return false;
        }
        if (*type == llvm::object::SymbolRef::ST_File) continue;
        auto name = sym.getName();
        if (!name) {
            *why = "a broken object file: " + llvm::toString(name.takeError());
            return false;
        }
        names->emplace_back(name->data(), name->size());
    }
    return true;
}

struct Loaded {
    LLVMOrcResourceTrackerRef tracker;
    std::vector<std::string> names;
};

struct LoadedName {
    uint64_t address;
    const Loaded* owner;
};

// The JIT and the engine's own view of what it holds; made on first use, kept for the
// process (loaded code may run until the process ends). Guarded by jitMutex.
struct Jit {
    LLVMOrcLLJITRef lljit;
    LLVMOrcJITDylibRef main;
    std::unordered_map<std::string, uint64_t> defined;
    std::unordered_map<std::string, LoadedName> loaded;
};
std::mutex jitMutex;
Jit* jit = nullptr;

// Errors the JIT reports on the side: a failed link names its undefined symbols only here,
// while the lookup that started it gets a general "failed to materialize". Links run on the
// thread that asked (under jitMutex), but the reporter takes its own lock so it never relies
// on that.
std::mutex reportedMutex;
std::string reported;

void noteReport(void*, LLVMErrorRef e) {
    std::string text = takeError(e);
    std::lock_guard<std::mutex> lock(reportedMutex);
    if (!reported.empty()) reported += "; ";
    reported += text;
}

std::string takeReported() {
    std::lock_guard<std::mutex> lock(reportedMutex);
    std::string text = std::move(reported);
    reported.clear();
    return text;
}

// The JIT, made on first use: it, or null with text in err. Called under jitMutex.
Jit* ensureJit(char* err, uint64_t cap) {
    if (jit) return jit;
    codeengine::initialize();
    LLVMOrcLLJITRef lljit = nullptr;
    if (LLVMErrorRef e = LLVMOrcCreateLLJIT(&lljit, nullptr)) {
        setError(err, cap, "the JIT could not start: " + takeError(e));
        return nullptr;
    }
    LLVMOrcExecutionSessionSetErrorReporter(LLVMOrcLLJITGetExecutionSession(lljit), noteReport,
                                            nullptr);
    LLVMOrcJITDylibRef main = LLVMOrcLLJITGetMainJITDylib(lljit);
    // Names neither defined nor loaded come from the process: libc's memcpy and memset, libm.
    LLVMOrcDefinitionGeneratorRef process = nullptr;
    if (LLVMErrorRef e = LLVMOrcCreateDynamicLibrarySearchGeneratorForProcess(
            &process, LLVMOrcLLJITGetGlobalPrefix(lljit), nullptr, nullptr)) {
        setError(err, cap, "the JIT cannot see the process's symbols: " + takeError(e));
        if (LLVMErrorRef d = LLVMOrcDisposeLLJIT(lljit)) takeError(d);
        return nullptr;
    }
    LLVMOrcJITDylibAddGenerator(main, process);
    Jit* made = new (std::nothrow) Jit{lljit, main, {}, {}};
    if (!made) {
        setError(err, cap, "out of memory");
        if (LLVMErrorRef d = LLVMOrcDisposeLLJIT(lljit)) takeError(d);
        return nullptr;
    }
    jit = made;
    return jit;
}

// Removes what a tracker holds and drops it; a failure there has no one to tell.
void unload(LLVMOrcResourceTrackerRef tracker) {
    if (LLVMErrorRef e = LLVMOrcResourceTrackerRemove(tracker)) takeError(e);
    LLVMOrcReleaseResourceTracker(tracker);
    takeReported();
}

std::string joined(std::string first, const std::string& second) {
    if (first.empty()) return second;
    if (!second.empty()) first += "; " + second;
    return first;
}

}  // namespace
}  // namespace pargo

namespace pargo::codeengine {

void initialize() {
    std::call_once(hostOnce, [] {
        LLVMInitializeNativeTarget();
        LLVMInitializeNativeAsmPrinter();
        char* triple = LLVMGetDefaultTargetTriple();
        host.triple = takeMessage(LLVMNormalizeTargetTriple(triple));
        LLVMDisposeMessage(triple);
        host.cpu = takeMessage(LLVMGetHostCPUName());
        host.features = takeMessage(LLVMGetHostCPUFeatures());
    });
}

uint8_t* emitObject(LLVMModuleRef module, uint32_t level, const char* target, const char* cpu,
                    const char* features, uint64_t* size, char* err, uint64_t cap) {
    Emission job(module);
    if (!module) {
        setError(err, cap, "no module to emit");
        return nullptr;
    }
    if (level > static_cast<uint32_t>(Level::Full)) {
        setError(err, cap, "optimisation level " + std::to_string(level) + " is not 0, 1 or 2");
        return nullptr;
    }
    if (!size) {
        setError(err, cap, "no place for the object's size");
        return nullptr;
    }
    initialize();
    // Broken IR can crash the code generator; it must be an error text instead.
    char* msg = nullptr;
    if (LLVMVerifyModule(module, LLVMReturnStatusAction, &msg)) {
        setError(err, cap, "the module is broken: " + takeMessage(msg));
        return nullptr;
    }
    LLVMDisposeMessage(msg);
    std::string why;
    Level l = static_cast<Level>(level);
    if (!prepareTarget(job, l, target, cpu, features, &why) || !optimize(job, l, &why)) {
        setError(err, cap, why);
        return nullptr;
    }
    LLVMMemoryBufferRef buffer = nullptr;
    if (LLVMTargetMachineEmitToMemoryBuffer(job.machine, module, LLVMObjectFile, &msg, &buffer)) {
        setError(err, cap, "the code generator failed: " + takeMessage(msg));
        return nullptr;
    }
    size_t n = LLVMGetBufferSize(buffer);
    auto* bytes = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (bytes) std::memcpy(bytes, LLVMGetBufferStart(buffer), n);
    LLVMDisposeMemoryBuffer(buffer);
    if (!bytes) {
        setError(err, cap, "out of memory for the object's " + std::to_string(n) + " bytes");
        return nullptr;
    }
    *size = n;
    return bytes;
}

void freeBytes(void* bytes) { std::free(bytes); }

int defineSymbols(const char* const* names, const uint64_t* addresses, uint64_t count, char* err,
                  uint64_t cap) {
    if (count == 0) return 0;
    if (!names || !addresses) {
        setError(err, cap, "no names or no addresses to define");
        return -1;
    }
    std::lock_guard<std::mutex> lock(jitMutex);
    Jit* j = ensureJit(err, cap);
    if (!j) return -1;
    // Everything is checked before anything is defined, so a refused batch defines nothing.
    std::unordered_map<std::string_view, uint64_t> batch;
    std::vector<uint64_t> fresh;
    for (uint64_t i = 0; i < count; i++) {
        if (!names[i] || !names[i][0]) {
            setError(err, cap, "name " + std::to_string(i) + " of the symbols to define is empty");
            return -1;
        }
        std::string_view name = names[i];
        if (auto it = j->defined.find(std::string(name)); it != j->defined.end()) {
            if (it->second == addresses[i]) continue;
            setError(err, cap,
                     "the symbol '" + std::string(name) + "' is already defined at " +
                         hex(it->second) + " and cannot move to " + hex(addresses[i]));
            return -1;
        }
        auto [at, added] = batch.emplace(name, addresses[i]);
        if (added) {
            fresh.push_back(i);
        } else if (at->second != addresses[i]) {
            setError(err, cap,
                     "the symbol '" + std::string(name) + "' is given two addresses, " +
                         hex(at->second) + " and " + hex(addresses[i]));
            return -1;
        }
    }
    if (fresh.empty()) return 0;
    std::vector<LLVMOrcCSymbolMapPair> pairs(fresh.size());
    for (size_t k = 0; k < fresh.size(); k++) {
        uint64_t i = fresh[k];
        pairs[k].Name = LLVMOrcLLJITMangleAndIntern(j->lljit, names[i]);
        pairs[k].Sym.Address = addresses[i];
        pairs[k].Sym.Flags.GenericFlags = LLVMJITSymbolGenericFlagsExported;
        pairs[k].Sym.Flags.TargetFlags = 0;
    }
    LLVMOrcMaterializationUnitRef unit = LLVMOrcAbsoluteSymbols(pairs.data(), pairs.size());
    if (LLVMErrorRef e = LLVMOrcJITDylibDefine(j->main, unit)) {
        LLVMOrcDisposeMaterializationUnit(unit);
        setError(err, cap, "cannot define the symbols: " + takeError(e));
        return -1;
    }
    for (uint64_t i : fresh) j->defined.emplace(names[i], addresses[i]);
    return 0;
}

void* loadObject(const void* bytes, uint64_t size, char* err, uint64_t cap) {
    if (!bytes || size == 0) {
        setError(err, cap, "no object bytes to load");
        return nullptr;
    }
    // The caller frees its bytes right after the call; the JIT keeps this copy.
    LLVMMemoryBufferRef buffer = LLVMCreateMemoryBufferWithMemoryRangeCopy(
        static_cast<const char*>(bytes), size, "pargo object");
    auto* handle = new (std::nothrow) Loaded{nullptr, {}};
    if (!buffer || !handle) {
        if (buffer) LLVMDisposeMemoryBuffer(buffer);
        delete handle;
        setError(err, cap, "out of memory");
        return nullptr;
    }
    std::string why;
    if (!definedNames(buffer, &handle->names, &why)) {
        LLVMDisposeMemoryBuffer(buffer);
        delete handle;
        setError(err, cap, why);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(jitMutex);
    Jit* j = ensureJit(err, cap);
    if (!j) {
        LLVMDisposeMemoryBuffer(buffer);
        delete handle;
        return nullptr;
    }
    takeReported();  // nothing earlier may be blamed on this object
    handle->tracker = LLVMOrcJITDylibCreateResourceTracker(j->main);
    // The JIT takes the buffer whatever happens.
    if (LLVMErrorRef e = LLVMOrcLLJITAddObjectFileWithRT(j->lljit, handle->tracker, buffer)) {
        setError(err, cap, "cannot load the object: " + joined(takeReported(), takeError(e)));
        unload(handle->tracker);
        delete handle;
        return nullptr;
    }
    // The JIT links an object on the first lookup of one of its names; asking for all of them
    // now links it at once, so an undefined name is this call's error and not a crash later.
    std::vector<uint64_t> addresses(handle->names.size());
    for (size_t i = 0; i < handle->names.size(); i++) {
        LLVMOrcExecutorAddress address = 0;
        if (LLVMErrorRef e = LLVMOrcLLJITLookup(j->lljit, &address, handle->names[i].c_str())) {
            setError(err, cap, "cannot link the object: " + joined(takeReported(), takeError(e)));
            unload(handle->tracker);
            delete handle;
            return nullptr;
        }
        addresses[i] = address;
    }
    for (size_t i = 0; i < handle->names.size(); i++) {
        // A weak name another object already gave stays that object's.
        j->loaded.emplace(handle->names[i], LoadedName{addresses[i], handle});
    }
    return handle;
}

void release(void* handle) {
    if (!handle) return;
    auto* h = static_cast<Loaded*>(handle);
    std::lock_guard<std::mutex> lock(jitMutex);
    unload(h->tracker);
    if (jit) {
        for (const std::string& name : h->names) {
            auto it = jit->loaded.find(name);
            if (it != jit->loaded.end() && it->second.owner == h) jit->loaded.erase(it);
        }
    }
    delete h;
}

uint64_t symbolAddress(const char* name) {
    if (!name) return 0;
    std::lock_guard<std::mutex> lock(jitMutex);
    if (!jit) return 0;
    std::string key(name);
    if (auto it = jit->loaded.find(key); it != jit->loaded.end()) return it->second.address;
    if (auto it = jit->defined.find(key); it != jit->defined.end()) return it->second;
    return 0;
}

}  // namespace pargo::codeengine
