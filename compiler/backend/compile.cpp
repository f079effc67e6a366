// The compiler core: modules, declarations, names, blocks, roll-back and the compile loop
// (see compile.h). Helper declarations and the inline reference-count functions are in
// declare.cpp, layouts and frames in layout.cpp.
#include "compiler/backend/compile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "compiler/backend/messages.h"
#include "compiler/backend/spec.h"
#include "host/support/arena.h"
#include "host/support/check.h"
#include "wuna/runtime/hostapi.h"

namespace wuna::compile {

using backend::List;
using backend::Text;

namespace {

const llvmapi::Table& T = llvmapi::table;

bool append(List<char>* writer, const char* text, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (!writer->push(text[i])) return false;
    return true;
}

bool appendDecimal(List<char>* writer, uint64_t n) {
    char digits[messages::kDecimalDigits];
    size_t at = messages::writeDecimal(n, digits);
    return append(writer, digits + at, sizeof digits - at);
}

// The symbol writers' growable buffer starts with room for 8 bytes.
bool startWriter(List<char>* writer) {
    writer->items = static_cast<char*>(malloc(8));
    if (!writer->items) return false;
    writer->capacity = 8;
    writer->count = 0;
    return true;
}

Status symbolWith(List<char>* writer, Text prefix, const char* suffix, uint64_t n) {
    if (!append(writer, prefix.data, prefix.length) || !append(writer, suffix, strlen(suffix)) ||
        !appendDecimal(writer, n))
        return Status::outOfMemory;
    return Status::ok;
}

void freeSpecialisation(HelperSpec* specialisation) {
    free(specialisation->symbol);
    free(specialisation);
}

}  // namespace

void init(Compiler* c, const ptree::Index* tree, const char* prefix, size_t prefixLength) {
    memset(static_cast<void*>(c), 0, sizeof *c);
    c->tree = tree;
    c->module.prefix = Text{prefix, prefixLength};
    c->frameNeededScope = kNoScope;
    c->i64Type = reinterpret_cast<PyObject*>(runtime::hostApi.i64Type);
}

void freeModuleState(ModuleRecord* m) {
    if (!m->handedOver) {
        if (m->module) T.LLVMDisposeModule(m->module);
        if (m->context) T.LLVMContextDispose(m->context);
    }
    m->literals.forEach([](Text key, ValueRef) { free(const_cast<char*>(key.data)); });
    m->literals.free();
    // The function map owns every name; the declared list points at the same texts.
    m->functions.forEach([](Text key, FunctionRef) { free(const_cast<char*>(key.data)); });
    m->functions.free();
    m->declared.free();
    m->keys.free();
    for (size_t i = 0; i < m->symbols.count; i++) free(m->symbols[i].name);
    m->symbols.free();
    Text prefix = m->prefix;
    memset(static_cast<void*>(m), 0, sizeof *m);
    m->prefix = prefix;
}

void release(Compiler* c) {
    freeModuleState(&c->module);
    c->requested.free();
    c->worklist.free();
    c->recent.free();
    for (size_t i = 0; i < c->helpers.count; i++) freeSpecialisation(c->helpers[i]);
    c->helpers.free();
    c->helperNames.free();
    c->helperWorklist.free();
    c->typedEntries.forEach([](uint32_t, TypedEntry entry) { free(entry.kinds); });
    c->typedEntries.free();
    c->nodeKinds.free();
    c->profiles.free();
    c->sites.free();
    c->layouts.forEach([](uint32_t, Layout* layout) {
        layout->slots.free();
        free(layout);
    });
    c->layouts.free();
    c->slots.free();
    for (size_t i = 0; i < c->names.count; i++) free(const_cast<char*>(c->names[i].data));
    c->names.free();
    c->nameSet.free();
    for (size_t i = 0; i < c->outOfLine.count; i++) {
        free(c->outOfLine[i].symbol);
        free(c->outOfLine[i].qualname);
        free(c->outOfLine[i].file);
    }
    c->outOfLine.free();
    c->message.free();
    c->jumpsDone.free();
    c->jumpsOpen.free();
    c->methodJumps.forEach([](Text key, uint8_t) { free(const_cast<char*>(key.data)); });
    c->methodJumps.free();
    c->raisesMemo.free();
    c->guardMemo.free();
    c->setBeforeRead.free();
    c->storedFunctions.free();
    for (size_t i = 0; i < c->moduleState.count; i++) {
        free(c->moduleState[i].name);
        free(c->moduleState[i].text);
    }
    c->moduleState.free();
    c->nativeState.free();
    // Shapes point into the arena and at the listed objects: both go together, last.
    arena::freeArena(c->arena);
    c->arena = nullptr;
    for (size_t i = 0; i < c->objects.count; i++) Py_DECREF(c->objects[i]);
    c->objects.free();
    c->objectIndex.free();
    c->parseGrammars.free();
    for (size_t i = 0; i < c->held.count; i++) Py_DECREF(c->held[i]);
    c->held.free();
}

Status newModule(Compiler* c) {
    ModuleRecord* m = &c->module;
    if (c->keepModule) {
        // One module for a whole ahead-of-time build: only the checkpoint moves.
        if (!c->keepCheckpoint) {
            c->recent.clear();
            c->helperCheckpoint = c->helpers.count;
        }
        c->declaredCheckpoint = m->declared.count;
        return Status::ok;
    }
    freeModuleState(m);
    m->context = T.LLVMContextCreate();
    m->module = T.LLVMModuleCreateWithNameInContext("wuna", m->context);
    m->i64 = T.LLVMInt64TypeInContext(m->context);
    m->i1 = T.LLVMInt1TypeInContext(m->context);
    m->i8 = T.LLVMInt8TypeInContext(m->context);
    m->i32 = T.LLVMInt32TypeInContext(m->context);
    m->f64 = T.LLVMDoubleTypeInContext(m->context);
    m->ptr = T.LLVMPointerTypeInContext(m->context, 0);
    m->voidType = T.LLVMVoidTypeInContext(m->context);
    TypeRef pair[2] = {m->i64, m->i64};
    m->valuePair = T.LLVMStructTypeInContext(m->context, pair, 2, 0);
    TypeRef checked[2] = {m->i64, m->i1};
    m->checkedPair = T.LLVMStructTypeInContext(m->context, checked, 2, 0);
    if (!c->keepCheckpoint) {
        c->recent.clear();
        c->helperCheckpoint = c->helpers.count;
    }
    if (Status err = declareHelpers(c); err != Status::ok) return err;
    // After the helpers, so the two inline reference-count functions are never rolled back.
    c->declaredCheckpoint = m->declared.count;
    return Status::ok;
}

Status declareFunction(ModuleRecord* m, const char* name, size_t length, TypeRef result,
                       TypeRef* params, unsigned count, uint32_t flags, FunctionRef* out) {
    if (FunctionRef* there = m->functions.find(Text{name, length})) {
        *out = *there;
        return Status::ok;
    }
    TypeRef type = T.LLVMFunctionType(result, params, count, 0);
    char* copy = backend::copyText(name, length);
    if (!copy) return Status::outOfMemory;
    ValueRef fn = T.LLVMAddFunction(m->module, copy, type);
    if (!(flags & DeclareExported)) T.LLVMSetLinkage(fn, llvmapi::InternalLinkage);
    static const char kNoFloat[] = "noimplicitfloat";
    unsigned kind = T.LLVMGetEnumAttributeKindForName(kNoFloat, sizeof kNoFloat - 1);
    T.LLVMAddAttributeAtIndex(fn, llvmapi::kFunctionIndex,
                              T.LLVMCreateEnumAttribute(m->context, kind, 0));
    if (!m->declared.push(Declared{copy, length, fn})) {
        T.LLVMDeleteFunction(fn);
        free(copy);
        return Status::outOfMemory;
    }
    if (!m->functions.put(Text{copy, length}, FunctionRef{fn, type})) {
        m->declared.count--;
        T.LLVMDeleteFunction(fn);
        free(copy);
        return Status::outOfMemory;
    }
    *out = FunctionRef{fn, type};
    return Status::ok;
}

Status functionSymbol(List<char>* writer, Text prefix, uint32_t id) {
    return symbolWith(writer, prefix, "_f", id);
}

Status typedEntrySymbol(List<char>* writer, Text prefix, uint32_t id) {
    return symbolWith(writer, prefix, "_t", id & ~kTypedEntryBit);
}

Status llvmFunction(Compiler* c, uint32_t id, FunctionRef* out) {
    ModuleRecord* m = &c->module;
    List<char> symbol;
    if (!startWriter(&symbol)) return Status::outOfMemory;
    Status err = Status::ok;
    TypeRef result;
    List<TypeRef> params;
    if (id == kTopLevel) {
        err = append(&symbol, m->prefix.data, m->prefix.length) && append(&symbol, "_main", 5)
                  ? Status::ok
                  : Status::outOfMemory;
        result = m->i1;
        for (TypeRef p : {m->ptr, m->ptr})
            if (err == Status::ok && !params.push(p)) err = Status::outOfMemory;
    } else if (!(id & kTypedEntryBit)) {
        err = functionSymbol(&symbol, m->prefix, id);
        result = m->i1;
        for (TypeRef p : {m->ptr, m->ptr, m->ptr, m->i64, m->ptr, m->ptr})
            if (err == Status::ok && !params.push(p)) err = Status::outOfMemory;
    } else {
        err = typedEntrySymbol(&symbol, m->prefix, id);
        result = m->valuePair;
        for (TypeRef p : {m->ptr, m->ptr, m->ptr, m->i64})
            if (err == Status::ok && !params.push(p)) err = Status::outOfMemory;
        // One i64 per argument kind recorded for the function; none when never recorded.
        TypedEntry* entry = c->typedEntries.find(id & ~kTypedEntryBit);
        for (uint32_t i = 0; err == Status::ok && entry && i < entry->count; i++)
            if (!params.push(m->i64)) err = Status::outOfMemory;
    }
    if (err == Status::ok)
        err = declareFunction(m, symbol.items, symbol.count, result, params.items,
                              unsigned(params.count), DeclareExported, out);
    symbol.free();
    params.free();
    return err;
}

Status functionCode(Compiler* c, uint32_t id, FunctionRef* out) {
    if (!c->requested.find(id)) {
        if (!c->requested.put(id, 1)) return Status::outOfMemory;
        // Only the recent list takes an id back out of the requested set on a roll-back: an
        // id it could not take would stay requested for good and never be compiled.
        if (!c->recent.push(id)) {
            c->requested.remove(id);
            return Status::outOfMemory;
        }
        if (!c->worklist.push(id)) return Status::outOfMemory;
    }
    return llvmFunction(c, id, out);
}

Status newBlock(Builder* b, const char* name, BasicBlockRef* out) {
    b->blockNumber++;
    b->module->blockCount++;
    char text[64];
    int length = snprintf(text, sizeof text, "%s%u", name, b->blockNumber);
    if (length < 0 || size_t(length) >= sizeof text) memcpy(text, "b", 2);
    BasicBlockRef block = T.LLVMAppendBasicBlockInContext(b->module->context, b->function, text);
    if (!b->blocks.push(block)) return Status::outOfMemory;
    *out = block;
    return Status::ok;
}

ValueRef call(Builder* b, const char* name, ValueRef* args, unsigned count) {
    FunctionRef* f = b->module->functions.find(Text{name, strlen(name)});
    // The code generator names only what it declared: anything else is its bug.
    if (!f) undeclaredStop(name);
    return T.LLVMBuildCall2(b->builder, f->type, f->function, args, count, "");
}

void forgetModule(Compiler* c) {
    ModuleRecord* m = &c->module;
    // A module the engine took is no longer ours to edit (it may be gone already).
    if (c->keepModule && !m->handedOver) {
        ValueRef poison = T.LLVMGetPoison(m->ptr);
        for (size_t i = c->declaredCheckpoint; i < m->declared.count; i++) {
            Declared d = m->declared[i];
            T.LLVMReplaceAllUsesWith(d.function, poison);
            T.LLVMDeleteFunction(d.function);
            Text key;
            if (m->functions.remove(Text{d.name, d.length}, &key))
                free(const_cast<char*>(key.data));
        }
        m->declared.cut(c->declaredCheckpoint);
    }
    for (size_t i = 0; i < c->recent.count; i++) c->requested.remove(c->recent[i]);
    c->recent.clear();
    c->worklist.clear();
    // The key-origin map exists only in an ahead-of-time build, whose image record owns its
    // entries (and drops those of rolled-back specialisations itself); there is none here.
    for (size_t i = c->helperCheckpoint; i < c->helpers.count; i++) {
        HelperSpec* specialisation = c->helpers[i];
        c->helperNames.remove(Text{specialisation->symbol, specialisation->symbolLength});
        freeSpecialisation(specialisation);
    }
    c->helpers.cut(c->helperCheckpoint);
    c->helperWorklist.clear();
}

Status keyName(Text prefix, uint32_t n, char** out, size_t* length) {
    List<char> name;
    if (symbolWith(&name, prefix, "_k", n) != Status::ok || !name.push(0)) {
        name.free();
        return Status::outOfMemory;
    }
    *out = name.items;
    *length = name.count - 1;
    return Status::ok;
}

Status keyGlobal(ModuleRecord* m, uint64_t key, ValueRef* out) {
    if (ValueRef* there = m->keys.find(key)) {
        *out = *there;
        return Status::ok;
    }
    if (!m->keyCounter) {
        fputs("wuna: a key global outside a started module (a wuna bug)\n", stderr);
        abort();
    }
    // Room first, so that a failure leaves the module, the table and the map unchanged (a
    // global added and then forgotten would bear a name the engine is never given).
    if (m->symbols.count == m->symbols.capacity) {
        KeySymbol probe{nullptr, 0, key};
        if (!m->symbols.push(probe)) return Status::outOfMemory;
        m->symbols.count--;
    }
    if (!m->keys.put(key, nullptr)) return Status::outOfMemory;
    uint32_t n = *m->keyCounter + 1;
    char* name;
    size_t length;
    if (keyName(m->prefix, n, &name, &length) != Status::ok) {
        m->keys.remove(key);
        return Status::outOfMemory;
    }
    *m->keyCounter = n;
    ValueRef global = T.LLVMAddGlobal(m->module, m->i8, name);
    bool pushed = m->symbols.push(KeySymbol{name, length, key});  // room was made above
    WUNA_CHECK(pushed);
    *m->keys.find(key) = global;
    *out = global;
    return Status::ok;
}

Status noteKeyOrigin(ModuleRecord* m, uint64_t key, const KeyOrigin& origin) {
    if (!m->keyOrigins) return Status::ok;
    auto* origins = static_cast<KeyOriginMap*>(m->keyOrigins);
    return origins->put(key, origin) ? Status::ok : Status::outOfMemory;
}

Status keyConstant(ModuleRecord* m, uint64_t key, const KeyOrigin& origin, ValueRef* out) {
    if (Status err = noteKeyOrigin(m, key, origin); err != Status::ok) return err;
    ValueRef global;
    if (Status err = keyGlobal(m, key, &global); err != Status::ok) return err;
    *out = T.LLVMConstPtrToInt(global, m->i64);
    return Status::ok;
}

void undeclaredStop(const char* name) {
    // A name that does not fit is cut and marked, never left out.
    constexpr size_t kRoom = 4096;
    char text[kRoom + sizeof "(msg truncated)"];
    int length = snprintf(text, kRoom + 1, "wuna: %s isn't declared", name);
    if (length < 0 || size_t(length) > kRoom) strcpy(text + kRoom, "(msg truncated)");
    fprintf(stderr, "%s\n", text);
    abort();
}

Status addOutOfLine(Compiler* c, const char* symbol, const char* qualname, const char* file,
                    uint32_t firstLine) {
    OutOfLine record{backend::copyText(symbol, strlen(symbol)),
                     qualname ? backend::copyText(qualname, strlen(qualname)) : nullptr,
                     file ? backend::copyText(file, strlen(file)) : nullptr, firstLine};
    bool copied = record.symbol && (!qualname || record.qualname) && (!file || record.file);
    if (copied && c->outOfLine.push(record)) return Status::ok;
    free(record.symbol);
    free(record.qualname);
    free(record.file);
    return Status::outOfMemory;
}

Status noteDeclaredNames(Compiler* c) {
    ModuleRecord* m = &c->module;
    for (size_t i = 0; i < m->declared.count; i++) {
        Text name{m->declared[i].name, m->declared[i].length};
        if (c->nameSet.find(name)) continue;
        char* copy = backend::copyText(name.data, name.length);
        if (!copy) return Status::outOfMemory;
        Text owned{copy, name.length};
        if (!c->names.push(owned)) {
            free(copy);
            return Status::outOfMemory;
        }
        if (!c->nameSet.put(owned, 1)) {
            c->names.count--;
            free(copy);
            return Status::outOfMemory;
        }
    }
    return Status::ok;
}

// --- the compile loop ----------------------------------------------------------------------

void recordNeed(Compiler* c) {
    c->needs++;
    c->retry = 1;
}

namespace {

Status noGenerator(Compiler* c) {
    static const char kText[] = "wuna: no code generator for this module (a wuna bug)";
    c->message.clear();
    return append(&c->message, kText, sizeof kText - 1) ? Status::unsupported : Status::outOfMemory;
}

// Emits what was asked for until both worklists are empty.
Status drain(Compiler* c, const Emitters& e) {
    for (;;) {
        if (c->worklist.count) {
            uint32_t id = c->worklist.last();
            c->worklist.count--;
            Status err = e.function ? e.function(e.user, c, id) : noGenerator(c);
            if (err != Status::ok) return err;
            continue;
        }
        // An ahead-of-time build drains its specialisations with its own driver.
        if (c->helperWorklist.count && !c->keyOrigins) {
            HelperSpec* specialisation = c->helperWorklist.last();
            c->helperWorklist.count--;
            Status err = e.helper ? e.helper(e.user, c, specialisation) : noGenerator(c);
            if (err != Status::ok) return err;
            continue;
        }
        return Status::ok;
    }
}

}  // namespace

Status runLoop(Compiler* c, uint32_t id, const Emitters& e, PyObject* compileError) {
    // Nothing guards a compiler but the interpreter lock.
    WUNA_CHECK(PyGILState_Check());
    c->failedHelper = nullptr;
    c->retry = 0;
    if (Status err = newModule(c); err != Status::ok) return err;
    for (;;) {
        uint64_t needsBefore = c->needs;
        c->message.clear();
        Status err;
        if (e.entry) {
            err = e.entry(e.user, c);
        } else {
            FunctionRef entry;
            err = functionCode(c, id, &entry);
        }
        if (err == Status::ok) err = drain(c, e);
        if (err == Status::ok) return Status::ok;
        forgetModule(c);
        if (err != Status::unsupported) return err;
        bool again = c->retry != 0;
        bool framesGiven = false;
        if (!again) {
            // An error here leaves no retry; the attempt's own error is what is reported.
            (void)retryWithFrames(c, &framesGiven);
            again = framesGiven;
        }
        if (!again) return err;
        // A frames retry always changes a layout; a plain retry must have recorded a need, or
        // the next attempt would compile the same module again, and so on without end.
        if (!framesGiven && c->needs == needsBefore) {
            messages::Message m;
            m.add(
                "wuna: compiling the module asked for another attempt with nothing new to do "
                "differently (a wuna bug)");
            m.raise(compileError ? compileError : PyExc_RuntimeError);
            return Status::pythonError;
        }
        c->failedHelper = nullptr;
        c->retry = 0;
        if (Status err2 = newModule(c); err2 != Status::ok) return err2;
    }
}

}  // namespace wuna::compile
