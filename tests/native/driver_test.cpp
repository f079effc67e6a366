// Module states: prefixes never handed out twice, the runtime helpers registered once, and
// modules built through the table becoming loaded code (emitted at levels 0 and 2, called,
// released, their symbols then gone): a constant, a call of a runtime helper through its
// declaration, a helper not built yet failing the run with its name, a key global bound by
// defineSymbols, wn_dec inlined on blocks; load failures naming the undefined symbol; the
// code key, the disk cache and the in-memory store; code added to an optimized state made
// fast at once while its optimized object is emitted into the cache by a background job;
// emission from two threads at once; and the perf map.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <llvm-c/Core.h>
#include <llvm-c/TargetMachine.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "compiler/backend/cache.h"
#include "compiler/backend/compile.h"
#include "compiler/backend/driver.h"
#include "compiler/backend/messages.h"
#include "compiler/backend/modcache.h"
#include "compiler/backend/perfmap.h"
#include "compiler/backend/sha256.h"
#include "compiler/backend/tiers.h"
#include "tests/native/backend_test_support.h"
#include "tests/native/compile_test_support.h"
#include "wuna/runtime/helpers/stubs.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace backend_testing;
using compile::FunctionRef;
using driver::Compiled;
const llvmapi::Table& T = llvmapi::table;

using Driver = BackendTest;

// A module state for a fresh program key (one byte of it per call, so prefixes stay apart).
Compiled* newState(uint32_t level) {
    static uint8_t next = 0;
    uint8_t key[32] = {};
    key[0] = 0xB0;
    key[1] = ++next;
    Compiled* s = Compiled::create(nullptr, PyExc_RuntimeError, key, level, false);
    EXPECT_NE(s, nullptr) << takeError();
    return s;
}

std::string symbol(Compiled* s, const char* suffix) {
    return std::string(s->prefix, s->prefixLength) + suffix;
}

// The exported <prefix><suffix>() -> i64 returning value, alone in the current module: code
// added after the first, as a typed entry or a specialisation is (no top level of its own).
void buildLater(Compiled* s, const char* suffix, int64_t value) {
    compile::ModuleRecord* m = &s->compiler.module;
    std::string name = symbol(s, suffix);
    FunctionRef f;
    ASSERT_EQ(compile::declareFunction(m, name.data(), name.size(), m->i64, nullptr, 0,
                                       compile::DeclareExported, &f),
              Status::ok);
    Emit e(m, f.function);
    T.LLVMBuildRet(*e, i64c(m, value));
}

// <prefix>_main returning true, and an exported <prefix><suffix>() -> i64 returning value.
void buildConstant(Compiled* s, const char* suffix, int64_t value) {
    compile::ModuleRecord* m = &s->compiler.module;
    FunctionRef main;
    ASSERT_EQ(compile::llvmFunction(&s->compiler, compile::kTopLevel, &main), Status::ok);
    {
        Emit e(m, main.function);
        T.LLVMBuildRet(*e, T.LLVMConstInt(m->i1, 1, 0));
    }
    buildLater(s, suffix, value);
}

bool addMain(Compiled* s, uint64_t* entry) {
    const char* name = s->mainName();
    return s->add(name, strlen(name), entry) == 0;
}

int64_t callI64(Compiled* s, const char* suffix) {
    uint64_t address = s->engine->symbolAddress(symbol(s, suffix).c_str());
    EXPECT_NE(address, 0u) << suffix;
    return address ? reinterpret_cast<int64_t (*)()>(address)() : -1;
}

TEST_F(Driver, PrefixesAreNeverHandedOutTwice) {
    uint8_t key[32] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x99};
    Compiled* a = Compiled::create(nullptr, nullptr, key, 0, false);
    Compiled* b = Compiled::create(nullptr, nullptr, key, 0, false);
    Compiled* c = Compiled::create(nullptr, nullptr, key, 2, false);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(std::string(a->prefix), "wndeadbeef0102f");
    EXPECT_EQ(std::string(b->prefix), "wndeadbeef0102fx1");
    EXPECT_EQ(std::string(c->prefix), "wndeadbeef0102");
    EXPECT_EQ(b->moduleId, a->moduleId + 1);
    Compiled::free(a);
    Compiled* d = Compiled::create(nullptr, nullptr, key, 0, false);
    EXPECT_EQ(std::string(d->prefix), "wndeadbeef0102fx2") << "a freed prefix is not given again";
    Compiled* w = Compiled::create(nullptr, nullptr, key, 0, true);
    EXPECT_EQ(std::string(w->prefix), "wns");
    EXPECT_EQ(std::string(d->mainName()), "wndeadbeef0102fx2_main");
    EXPECT_EQ(d->globalSlots, 0u);
    for (Compiled* s : {b, c, d, w}) Compiled::free(s);
}

// ---- the module cache ---------------------------------------------------------------------

// A module key of its own per call.
std::array<uint8_t, 32> moduleKeyFor(uint8_t n) {
    std::array<uint8_t, 32> key{};
    key[0] = 0x3C;
    key[1] = n;
    return key;
}

TEST_F(Driver, TheModuleCacheFindsAStateByLevelAndKeyAndKeepsTheFirst) {
    auto key = moduleKeyFor(1);
    Compiled* a = newState(2);
    Compiled* b = newState(2);
    PyObject* objects[3] = {PyList_New(0), PyDict_New(), nullptr};
    Py_ssize_t before = Py_REFCNT(objects[0]);
    size_t cached = driver::cachedModuleCount();
    driver::cacheState(a, key.data(), objects);
    EXPECT_EQ(driver::findCached(2, key.data()), a);
    EXPECT_EQ(driver::findCached(0, key.data()), nullptr) << "another level";
    EXPECT_TRUE(a->cached);
    EXPECT_EQ(Py_REFCNT(objects[0]), before + 1) << "the cached state holds the program's objects";
    // The key is taken: a second state stays out, and holds nothing.
    driver::cacheState(b, key.data(), objects);
    EXPECT_FALSE(b->cached);
    EXPECT_EQ(driver::findCached(2, key.data()), a);
    EXPECT_EQ(driver::cachedModuleCount(), cached + 1);
    driver::dropUser(b);  // uncached, no users: freed
    // Its last user gone, a cached state idles, still found.
    size_t idle = driver::idleModuleCount();
    driver::dropUser(a);
    EXPECT_EQ(driver::idleModuleCount(), idle + 1);
    EXPECT_EQ(driver::findCached(2, key.data()), a);
    // Adopted again, it leaves the idle list.
    driver::addUser(a);
    EXPECT_EQ(a->users, 1u);
    EXPECT_EQ(driver::idleModuleCount(), idle);
    driver::dropUser(a);
    // Eight newer idle states push it out of the cache, and free it with its references.
    std::vector<std::array<uint8_t, 32>> keys;
    for (uint8_t n = 0; n < driver::kIdleModules; n++) {
        keys.push_back(moduleKeyFor(uint8_t(100 + n)));
        Compiled* s = newState(2);
        driver::cacheState(s, keys.back().data(), objects);
        driver::dropUser(s);
    }
    EXPECT_EQ(driver::findCached(2, key.data()), nullptr);
    EXPECT_EQ(driver::idleModuleCount(), driver::kIdleModules);
    EXPECT_NE(driver::findCached(2, keys[0].data()), nullptr);
    EXPECT_EQ(Py_REFCNT(objects[0]), before + Py_ssize_t(driver::kIdleModules));
    // Emptied for the tests after this one: newer idle states push these out in turn.
    for (uint8_t n = 0; n < driver::kIdleModules; n++) {
        auto k = moduleKeyFor(uint8_t(200 + n));
        Compiled* s = newState(2);
        driver::cacheState(s, k.data(), objects);
        driver::dropUser(s);
    }
    for (auto& k : keys) EXPECT_EQ(driver::findCached(2, k.data()), nullptr);
    Py_DECREF(objects[0]);
    Py_DECREF(objects[1]);
}

// ---- from a module to loaded code ---------------------------------------------------------

// Emits the top level returning true, after failing once for want of a frame; function 9,
// asked for by the top level, returns true.
Status frameOnceFunction(void* user, compile::Compiler* c, uint32_t id) {
    int* attempts = static_cast<int*>(user);
    FunctionRef f;
    if (id == compile::kTopLevel && ++*attempts == 1) {
        c->frameNeeded = 1;
        c->frameNeededScope = 1234;
        return Status::unsupported;
    }
    if (id == compile::kTopLevel && compile::functionCode(c, 9, &f) != Status::ok)
        return Status::outOfMemory;
    if (compile::llvmFunction(c, id, &f) != Status::ok) return Status::outOfMemory;
    Emit e(&c->module, f.function);
    T.LLVMBuildRet(*e, T.LLVMConstInt(c->module.i1, 1, 0));
    return Status::ok;
}

TEST_F(Driver, TheCompileLoopEndsInLoadedCodeOrTheStatesCompileError) {
    Compiled* s = newState(0);
    int attempts = 0;
    compile::Emitters emitters{&attempts, nullptr, frameOnceFunction, nullptr};
    uint64_t entry = 0;
    ASSERT_EQ(driver::compileEntry(s, compile::kTopLevel, emitters, s->mainName(), &entry), 0)
        << takeError();
    EXPECT_EQ(attempts, 2);
    EXPECT_TRUE(reinterpret_cast<bool (*)(void*, void*)>(entry)(nullptr, nullptr));
    EXPECT_NE(s->engine->symbolAddress(symbol(s, "_f9").c_str()), 0u);
    Compiled::free(s);

    // Without a code generator a module cannot be made: the state's CompileError says why.
    uint8_t key[32] = {0xC0};
    s = Compiled::create(nullptr, PyExc_LookupError, key, 0, false);
    ASSERT_NE(s, nullptr);
    compile::Emitters none{nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(driver::compileEntry(s, compile::kTopLevel, none, s->mainName(), &entry), -1);
    PyObject* type;
    EXPECT_EQ(takeError(&type), "wuna: no code generator for this module (a wuna bug)");
    EXPECT_EQ(type, PyExc_LookupError);
    EXPECT_TRUE(driver::runtimeRegistered());
    Compiled::free(s);
}

TEST_F(Driver, AConstantFunctionLoadsRunsAndIsReleasedAtLevelsZeroAndTwo) {
    for (uint32_t level : {0u, 2u}) {
        Compiled* s = newState(level);
        ASSERT_NE(s, nullptr);
        buildConstant(s, "_answer", 42 + level);
        uint64_t entry = 0;
        ASSERT_TRUE(addMain(s, &entry)) << takeError();
        EXPECT_EQ(entry, s->engine->symbolAddress(s->mainName()));
        EXPECT_TRUE(reinterpret_cast<bool (*)(void*, void*)>(entry)(nullptr, nullptr));
        EXPECT_EQ(callI64(s, "_answer"), 42 + level);
        EXPECT_EQ(s->keys.count, 1u);
        EXPECT_EQ(s->handles.count, 1u);
        EXPECT_EQ(s->compiles, 0u) << "no cache directory: nothing counted";
        EXPECT_EQ(s->cacheLoads, 0u);
        // Without a cache directory the bytes are kept in memory under the key.
        driver::KeptCode* kept = s->codeStore.find(s->keys[0]);
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(memcmp(kept->bytes,
                         "\x7f"
                         "ELF",
                         4),
                  0);
        EXPECT_TRUE(s->compiler.module.handedOver);
        std::string name = symbol(s, "_answer");
        Compiled::free(s);
        EXPECT_EQ(engine()->symbolAddress(name.c_str()), 0u) << "released code keeps its symbol";
    }
}

TEST_F(Driver, CompiledCodeCallsARuntimeHelperThroughItsDeclaration) {
    Compiled* s = newState(0);
    compile::ModuleRecord* m = &s->compiler.module;
    // <prefix>_main(ctx, frame): wn_truthy(int tag, 7) and not wn_truthy(None).
    FunctionRef main;
    ASSERT_EQ(compile::llvmFunction(&s->compiler, compile::kTopLevel, &main), Status::ok);
    {
        Emit e(m, main.function);
        llvmapi::ValueRef seven[2] = {i64c(m, value::TagInt), i64c(m, 7)};
        llvmapi::ValueRef none[2] = {i64c(m, value::TagNone), i64c(m, 0)};
        llvmapi::ValueRef a = compile::call(&e.b, "wn_truthy", seven, 2);
        llvmapi::ValueRef b = compile::call(&e.b, "wn_truthy", none, 2);
        llvmapi::ValueRef notB = T.LLVMBuildXor(*e, b, T.LLVMConstInt(m->i1, 1, 0), "");
        T.LLVMBuildRet(*e, T.LLVMBuildAnd(*e, a, notB, ""));
    }
    uint64_t entry = 0;
    ASSERT_TRUE(addMain(s, &entry)) << takeError();
    EXPECT_TRUE(reinterpret_cast<bool (*)(void*, void*)>(entry)(nullptr, nullptr));
    Compiled::free(s);
}

struct Recorded {
    std::string text;
    int32_t site = 0;
    void* ctx = nullptr;
};
Recorded recorded;

// Stubs the test can call, found in the table: helpers get built one by one, and whichever
// stubs are left show the protocol. withContext(skip): the first stub after skip that reports
// on a helper context and a site (its letters begin "bpi"); contextless: one without a
// context whose result is an int, a pointer or a flag; plain: one with no result.
const helpers::HelperSignature* stubWhere(bool (*fits)(const char*),
                                          const helpers::HelperSignature* skip = nullptr) {
    for (uint32_t i = 0; i < helpers::kHelperCount; i++) {
        const helpers::HelperSignature& h = helpers::helperSignatures[i];
        if (!helpers::helperBuilt[i] && &h != skip && fits(h.signature)) return &h;
    }
    return nullptr;
}
bool withContext(const char* letters) { return strncmp(letters, "bpi", 3) == 0; }
bool contextless(const char* letters) {
    return (letters[0] == 'l' || letters[0] == 'p' || letters[0] == 'b') && letters[1] != 'p';
}
bool plain(const char* letters) { return letters[0] == 'v' && letters[1] == 'p'; }

// A call of the helper with arguments made from its letters: the context (when it takes
// one), the site, zeros, and for every further pointer a fresh value slot.
llvmapi::ValueRef callStub(Emit& e, compile::ModuleRecord* m, const helpers::HelperSignature& h,
                           llvmapi::ValueRef ctx, int32_t site) {
    llvmapi::ValueRef args[16];
    unsigned n = 0;
    for (const char* letter = h.signature + 1; *letter && n < 16; letter++, n++) {
        bool first = letter == h.signature + 1;
        if (*letter == 'p')
            args[n] = first && ctx ? ctx : T.LLVMBuildAlloca(*e, m->valuePair, "");
        else if (*letter == 'i')
            args[n] = T.LLVMConstInt(m->i32, uint64_t(n == 1 ? site : 0), 0);
        else
            args[n] = i64c(m, 0);
    }
    return compile::call(&e.b, h.name, args, n);
}

TEST_F(Driver, AHelperNotBuiltYetFailsTheRunNamingItself) {
    const helpers::HelperSignature* first = stubWhere(withContext);
    const helpers::HelperSignature* second = stubWhere(withContext, first);
    const helpers::HelperSignature* noContext = stubWhere(contextless);
    const helpers::HelperSignature* noResult = stubWhere(plain);
    // Helpers get built one by one: the contextless part is left out once every helper
    // without a context is built.
    if (!first || !noResult)
        GTEST_SKIP() << "no stub with a context, or none without a result, is left";
    if (!second) second = first;
    value::Services saved = value::services;
    value::services.fail = [](void* ctx, int32_t site, const uint8_t* text, size_t n) {
        recorded.text.assign(reinterpret_cast<const char*>(text), n);
        recorded.site = site;
        recorded.ctx = ctx;
        return true;
    };
    Compiled* s = newState(0);
    compile::ModuleRecord* m = &s->compiler.module;
    // <prefix>_main(ctx, frame) returns first(ctx, 12, ...)'s flag; <prefix>_other() calls
    // the contextless stub.
    FunctionRef main;
    ASSERT_EQ(compile::llvmFunction(&s->compiler, compile::kTopLevel, &main), Status::ok);
    {
        Emit e(m, main.function);
        T.LLVMBuildRet(*e, callStub(e, m, *first, T.LLVMGetParam(main.function, 0), 12));
    }
    std::string other = symbol(s, "_other");
    FunctionRef f;
    ASSERT_EQ(compile::declareFunction(m, other.data(), other.size(), m->i64, nullptr, 0,
                                       compile::DeclareExported, &f),
              Status::ok);
    {
        Emit e(m, f.function);
        llvmapi::ValueRef r = i64c(m, 0);
        if (noContext) {
            r = callStub(e, m, *noContext, nullptr, 0);
            if (noContext->signature[0] == 'p') r = T.LLVMBuildPtrToInt(*e, r, m->i64, "");
            if (noContext->signature[0] == 'b') r = T.LLVMBuildZExt(*e, r, m->i64, "");
        }
        T.LLVMBuildRet(*e, r);
    }
    // <prefix>_status(ctx): noResult(ctx, ...), then the flag of second(ctx, 31, ...).
    std::string statusName = symbol(s, "_status");
    llvmapi::TypeRef ptrParam[1] = {m->ptr};
    ASSERT_EQ(compile::declareFunction(m, statusName.data(), statusName.size(), m->i32, ptrParam, 1,
                                       compile::DeclareExported, &f),
              Status::ok);
    {
        Emit e(m, f.function);
        llvmapi::ValueRef ctx = T.LLVMGetParam(f.function, 0);
        callStub(e, m, *noResult, ctx, 0);
        llvmapi::ValueRef ok = callStub(e, m, *second, ctx, 31);
        T.LLVMBuildRet(*e, T.LLVMBuildZExt(*e, ok, m->i32, ""));
    }
    uint64_t entry = 0;
    ASSERT_TRUE(addMain(s, &entry)) << takeError();
    helpers::clearUnavailable();
    int context = 0;
    EXPECT_FALSE(reinterpret_cast<bool (*)(void*, void*)>(entry)(&context, nullptr));
    EXPECT_EQ(recorded.text,
              std::string("wuna: ") + first->name + " is not available in this build");
    EXPECT_EQ(recorded.site, 12);
    EXPECT_EQ(recorded.ctx, &context);
    EXPECT_STREQ(helpers::unavailableHelper(), first->name);
    helpers::clearUnavailable();
    EXPECT_EQ(callI64(s, "_other"), 0) << "an empty result, no crash";
    if (noContext) {
        EXPECT_STREQ(helpers::unavailableHelper(), noContext->name);
    }
    helpers::clearUnavailable();
    auto statusOf =
        reinterpret_cast<int32_t (*)(void*)>(engine()->symbolAddress(statusName.c_str()));
    ASSERT_NE(statusOf, nullptr);
    recorded = Recorded{};
    EXPECT_EQ(statusOf(&context), 0) << "false: failed";
    EXPECT_STREQ(helpers::unavailableHelper(), noResult->name) << "the first one of the thread";
    EXPECT_EQ(recorded.text,
              std::string("wuna: ") + second->name + " is not available in this build");
    EXPECT_EQ(recorded.site, 31);
    helpers::clearUnavailable();
    value::services = saved;
    Compiled::free(s);
}

uint64_t keyedWord = 0x5eed;

TEST_F(Driver, AKeyGlobalReadsTheAddressItWasDefinedAt) {
    for (uint32_t level : {0u, 2u}) {
        Compiled* s = newState(level);
        compile::ModuleRecord* m = &s->compiler.module;
        buildConstant(s, "_unused", 0);
        std::string name = symbol(s, "_read");
        FunctionRef f;
        ASSERT_EQ(compile::declareFunction(m, name.data(), name.size(), m->i64, nullptr, 0,
                                           compile::DeclareExported, &f),
                  Status::ok);
        {
            Emit e(m, f.function);
            uint64_t key = uint64_t(uintptr_t(&keyedWord));
            llvmapi::ValueRef g, constant;
            ASSERT_EQ(compile::keyGlobal(m, key, &g), Status::ok);
            ASSERT_EQ(
                compile::keyConstant(
                    m, key, compile::KeyOrigin{{0, 0}, compile::KeyOriginKind::words}, &constant),
                Status::ok);
            llvmapi::ValueRef word = T.LLVMBuildLoad2(*e, m->i64, g, "");
            llvmapi::ValueRef same = T.LLVMBuildICmp(*e, llvmapi::IntEQ, constant,
                                                     i64c(m, int64_t(uintptr_t(&keyedWord))), "");
            // The word, plus 1 when the key's constant is the word's address.
            T.LLVMBuildRet(*e, T.LLVMBuildAdd(*e, word, T.LLVMBuildZExt(*e, same, m->i64, ""), ""));
        }
        EXPECT_EQ(m->symbols.count, 1u);
        uint64_t entry;
        ASSERT_TRUE(addMain(s, &entry)) << takeError();
        EXPECT_EQ(callI64(s, "_read"), 0x5eed + 1);
        EXPECT_EQ(engine()->symbolAddress((symbol(s, "_k1")).c_str()),
                  uint64_t(uintptr_t(&keyedWord)));
        Compiled::free(s);
    }
}

TEST_F(Driver, WnDecInlinedLeavesFloatsAndImmortalsAndFreesTheLastReference) {
    for (uint32_t level : {0u, 2u}) {
        Compiled* s = newState(level);
        compile::ModuleRecord* m = &s->compiler.module;
        buildConstant(s, "_unused", 0);
        // <prefix>_dec(tag, payload) { wn_dec(tag, payload) }
        std::string name = symbol(s, "_dec");
        llvmapi::TypeRef params[2] = {m->i64, m->i64};
        FunctionRef f;
        ASSERT_EQ(compile::declareFunction(m, name.data(), name.size(), m->voidType, params, 2,
                                           compile::DeclareExported, &f),
                  Status::ok);
        {
            Emit e(m, f.function);
            llvmapi::ValueRef args[2] = {T.LLVMGetParam(f.function, 0),
                                         T.LLVMGetParam(f.function, 1)};
            compile::call(&e.b, "wn_dec", args, 2);
            T.LLVMBuildRetVoid(*e);
        }
        uint64_t entry;
        ASSERT_TRUE(addMain(s, &entry)) << takeError();
        auto dec =
            reinterpret_cast<void (*)(int64_t, int64_t)>(engine()->symbolAddress(name.c_str()));
        ASSERT_NE(dec, nullptr);
        // wn_dec was inlined: the object has no call of it left (it is internal).
        EXPECT_EQ(engine()->symbolAddress("wn_dec"), 0u);

        // A float whose bits look like a pointer to a counted header: untouched.
        value::Obj fake{5, value::TagStr, 0};
        dec(value::TagFloat, int64_t(uintptr_t(&fake)));
        EXPECT_EQ(fake.count, 5u);
        // A block with two references loses one; with one it is freed.
        int64_t live = pool::liveBlocks();
        value::Str* str = value::newStr("abc", 3);
        str->h.count = 2;
        dec(value::TagStr, int64_t(uintptr_t(str)));
        EXPECT_EQ(str->h.count, 1u);
        dec(value::TagStr, int64_t(uintptr_t(str)));
        EXPECT_EQ(pool::liveBlocks(), live) << "freed through wn_free";
        // Immortal blocks never change.
        value::Obj immortal{value::kImmortal, value::TagList, 0};
        dec(value::TagList, int64_t(uintptr_t(&immortal)));
        EXPECT_EQ(immortal.count, value::kImmortal);
        value::Obj above{value::kImmortal + 7, value::TagList, 0};
        dec(value::TagList, int64_t(uintptr_t(&above)));
        EXPECT_EQ(above.count, value::kImmortal + 7);
        // A Python object goes to wn_decref.
        PyObject* o = PyList_New(0);
        Py_INCREF(o);
        Py_ssize_t before = Py_REFCNT(o);
        dec(value::TagPy, int64_t(uintptr_t(o)));
        EXPECT_EQ(Py_REFCNT(o), before - 1);
        Py_DECREF(o);
        Compiled::free(s);
    }
}

TEST_F(Driver, AnObjectNamingAnUndefinedSymbolFailsToLoadWithTheName) {
    Compiled* s = newState(0);
    compile::ModuleRecord* m = &s->compiler.module;
    FunctionRef main, missing;
    ASSERT_EQ(compile::llvmFunction(&s->compiler, compile::kTopLevel, &main), Status::ok);
    ASSERT_EQ(compile::declareFunction(m, "wuna_test_nowhere", 17, m->i1, nullptr, 0,
                                       compile::DeclareExported, &missing),
              Status::ok);
    compile::FunctionRef queued;
    ASSERT_EQ(compile::functionCode(&s->compiler, 3, &queued), Status::ok);
    T.LLVMDeleteFunction(queued.function);  // asked for, never emitted: only the request stays
    {
        Emit e(m, main.function);
        T.LLVMBuildRet(*e, compile::call(&e.b, "wuna_test_nowhere", nullptr, 0));
    }
    uint64_t entry = 0;
    EXPECT_FALSE(addMain(s, &entry));
    PyObject* type;
    std::string text = takeError(&type);
    EXPECT_EQ(type, PyExc_RuntimeError);
    EXPECT_EQ(text.rfind("wuna: LLVM rejected the compiled program (a wuna bug): ", 0), 0u) << text;
    EXPECT_NE(text.find("wuna_test_nowhere"), std::string::npos) << text;
    EXPECT_EQ(s->keys.count, 1u) << "the key stays recorded";
    EXPECT_EQ(s->handles.count, 0u);
    EXPECT_EQ(s->compiler.requested.find(3), nullptr) << "rolled back";
    Compiled::free(s);
}

TEST_F(Driver, AMissingEntryPointIsReportedAndTheCodeStaysLoaded) {
    Compiled* s = newState(0);
    buildConstant(s, "_here", 1);
    uint64_t entry = 0;
    std::string wrong = symbol(s, "_elsewhere");
    EXPECT_EQ(s->add(wrong.c_str(), wrong.size(), &entry), -1);
    EXPECT_EQ(takeError(), "wuna: compiled code without its entry point " + wrong);
    EXPECT_EQ(s->handles.count, 1u);
    EXPECT_EQ(callI64(s, "_here"), 1);
    Compiled::free(s);
}

TEST_F(Driver, AModuleTheEngineTookIsNotGivenAgain) {
    Compiled* s = newState(0);
    buildConstant(s, "_once", 1);
    uint64_t entry;
    ASSERT_TRUE(addMain(s, &entry)) << takeError();
    EXPECT_FALSE(addMain(s, &entry));
    EXPECT_EQ(takeError(), "wuna: a module was given to the engine twice (a wuna bug)");
    EXPECT_EQ(s->keys.count, 1u);
    // A new module goes through.
    ASSERT_EQ(compile::newModule(&s->compiler), Status::ok);
    std::string name = symbol(s, "_later");
    FunctionRef f;
    compile::ModuleRecord* m = &s->compiler.module;
    ASSERT_EQ(compile::declareFunction(m, name.data(), name.size(), m->i64, nullptr, 0,
                                       compile::DeclareExported, &f),
              Status::ok);
    {
        Emit e(m, f.function);
        T.LLVMBuildRet(*e, i64c(m, 5));
    }
    ASSERT_EQ(s->add(name.c_str(), name.size(), &entry), 0) << takeError();
    EXPECT_EQ(reinterpret_cast<int64_t (*)()>(entry)(), 5);
    EXPECT_EQ(s->handles.count, 2u);
    EXPECT_EQ(s->keys.count, 2u);
    Compiled::free(s);
}

TEST_F(Driver, AnEmptySymbolTableMakesNoEngineCall) {
    Compiled* s = newState(0);
    char err[driver::kEngineError] = {};
    EXPECT_EQ(s->defineSymbols(err), 0);
    Compiled::free(s);
}

TEST_F(Driver, KeptCodeAndKeysHoldCopies) {
    Compiled* s = newState(0);
    uint8_t key[32] = {1};
    const uint8_t first[3] = {1, 2, 3}, second[2] = {9, 8};
    s->keepCode(key, first, 3);
    s->keepCode(key, second, 2);
    driver::Key k;
    memcpy(k.bytes, key, 32);
    driver::KeptCode* kept = s->codeStore.find(k);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->size, 2u);
    EXPECT_EQ(kept->bytes[0], 9);
    s->keepCode(key, second, 0);
    EXPECT_EQ(s->codeStore.find(k)->bytes, nullptr) << "an empty copy allocates nothing";
    for (int i = 0; i < 20; i++) Compiled::addKey(&s->keys, key);
    EXPECT_EQ(s->keys.count, 20u);
    EXPECT_EQ(s->keys.capacity, 25u) << "grown to n + 1 + (n + 1) / 2 + 4";
    Compiled::free(s);
}

TEST_F(Driver, LlvmRejectionTextsAreCutToTheMessageBuffer) {
    std::string engineText(2048, 'e');
    driver::raiseLlvmRejected(PyExc_RuntimeError, engineText.data(), engineText.size());
    std::string text = takeError();
    EXPECT_EQ(text.size(), 1018u);
    EXPECT_EQ(text.rfind("wuna: LLVM rejected the compiled program (a wuna bug): eee", 0), 0u);
    EXPECT_EQ(text.substr(1015), "...");
    // A multi-byte character across the cut is left out whole.
    std::string wide = std::string(1014 - 55, 'a') + "\xc3\xa9" + std::string(100, 'b');
    driver::raiseLlvmRejected(PyExc_RuntimeError, wide.data(), wide.size());
    text = takeError();
    EXPECT_EQ(text.size(), 1014u + 3u);
    EXPECT_EQ(messages::engineTextLength("ab\0cd", 5), 2u);
    EXPECT_EQ(messages::engineTextLength("abcde", 5), 5u);
}

TEST_F(Driver, DecimalDigitsFitEveryU64) {
    struct Case {
        uint64_t n;
        const char* text;
    } cases[] = {{0, "0"}, {7, "7"}, {10, "10"}, {UINT64_MAX, "18446744073709551615"}};
    for (const Case& k : cases) {
        char digits[messages::kDecimalDigits];
        size_t at = messages::writeDecimal(k.n, digits);
        EXPECT_EQ(std::string(digits + at, sizeof digits - at), k.text);
    }
}

// ---- the cache ------------------------------------------------------------------------------

TEST_F(Driver, CacheKeysDependOnLevelTargetAndText) {
    uint8_t a[32], b[32], c[32], d[32];
    driver::cacheKey(a, "ir", 2, 0, nullptr, 0);
    driver::cacheKey(b, "ir", 2, 2, nullptr, 0);
    driver::cacheKey(c, "ir", 2, 0, "x86_64-linux", 12);
    driver::cacheKey(d, "ir", 2, 0, nullptr, 0);
    EXPECT_NE(memcmp(a, b, 32), 0);
    EXPECT_NE(memcmp(a, c, 32), 0);
    EXPECT_EQ(memcmp(a, d, 32), 0);
    // The key is the digest of identity, level, target line and text.
    std::string joined(reinterpret_cast<const char*>(driver::cacheIdentity()), 32);
    joined += std::string("\0\0\0\0", 4) + "target x86_64-linux\nir";
    uint8_t expect[32];
    sha256::digest(joined.data(), joined.size(), expect);
    EXPECT_EQ(memcmp(c, expect, 32), 0);
    // The identity: "wuna-cache-1", the LLVM version, the host CPU's name and features.
    char* cpu = LLVMGetHostCPUName();
    char* features = LLVMGetHostCPUFeatures();
    std::string id = std::string("wuna-cache-119.1.7") + cpu + features;
    LLVMDisposeMessage(cpu);
    LLVMDisposeMessage(features);
    sha256::digest(id.data(), id.size(), expect);
    EXPECT_EQ(memcmp(driver::cacheIdentity(), expect, 32), 0);
}

TEST_F(Driver, WithACacheDirectoryTheObjectIsWrittenUnderItsKeyAndCounted) {
    TempDir dir;
    useCacheDirectory(dir.path);
    Compiled* s = newState(0);
    buildConstant(s, "_cached", 7);
    uint64_t entry;
    ASSERT_TRUE(addMain(s, &entry)) << takeError();
    EXPECT_EQ(s->compiles, 1u);
    EXPECT_EQ(s->codeStore.used, 0u) << "written, so not kept in memory";
    char hex[65];
    sha256::hex(s->keys[0].bytes, hex);
    EXPECT_EQ(dir.files(), std::vector<std::string>{std::string(hex) + ".o"});
    std::string bytes = readFile(dir.path + "/" + hex + ".o");
    uint8_t* copy;
    uint64_t size;
    ASSERT_TRUE(driver::codeBytes(s->keys[0].bytes, &copy, &size));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy), size), bytes);
    free(copy);
    Compiled::free(s);
}

TEST_F(Driver, AFailedCacheWriteKeepsTheBytesInMemory) {
    TempDir dir;
    std::string gone = dir.path + "/gone";
    useCacheDirectory(gone);
    Compiled* s = newState(0);
    ASSERT_STREQ(driver::cacheDirectory(), gone.c_str());
    ASSERT_EQ(rmdir(gone.c_str()), 0);  // the directory vanishes after it was computed
    buildConstant(s, "_unwritten", 3);
    uint64_t entry;
    ASSERT_TRUE(addMain(s, &entry)) << takeError();
    EXPECT_EQ(callI64(s, "_unwritten"), 3);
    EXPECT_EQ(s->compiles, 1u) << "counted whether or not written";
    driver::KeptCode* kept = s->codeStore.find(s->keys[0]);
    ASSERT_NE(kept, nullptr) << "the bytes stay at hand for saving the program";
    EXPECT_EQ(memcmp(kept->bytes,
                     "\x7f"
                     "ELF",
                     4),
              0);
    uint8_t* copy;
    uint64_t size;
    EXPECT_FALSE(driver::codeBytes(s->keys[0].bytes, &copy, &size)) << "neither loaded nor on disk";
    Compiled::free(s);
}

// Finishes the current module as Compiled::add does before taking its key, gives its key at
// the state's level (and at level 0 when fast is given), emits it at level 0 into *object when
// that is given, and starts a new module.
void finishForKeys(Compiled* s, uint8_t key[32], uint8_t* fast, std::vector<uint8_t>* object) {
    compile::ModuleRecord* m = &s->compiler.module;
    compile::inlineCounting(&s->compiler);
    char* text = T.LLVMPrintModuleToString(m->module);
    driver::cacheKey(key, text, strlen(text), s->level, nullptr, 0);
    if (fast) driver::cacheKey(fast, text, strlen(text), 0, nullptr, 0);
    T.LLVMDisposeMessage(text);
    if (object) {
        char err[2048] = {};
        uint64_t size = 0;
        m->handedOver = 1;
        uint8_t* bytes =
            engine()->emitObject(m->module, 0, nullptr, nullptr, nullptr, &size, err, sizeof err);
        EXPECT_NE(bytes, nullptr) << err;
        if (bytes) object->assign(bytes, bytes + size);
        engine()->freeBytes(bytes);
    }
    EXPECT_EQ(compile::newModule(&s->compiler), Status::ok);
}

// Builds the same module as buildConstant does for the state's prefix in a module of its
// own, and emits it: the object another process would have left in the cache.
std::vector<uint8_t> objectOfTheSameModule(Compiled* s, const char* suffix, int64_t value,
                                           uint8_t key[32]) {
    buildConstant(s, suffix, value);
    std::vector<uint8_t> object;
    finishForKeys(s, key, nullptr, &object);
    return object;
}

TEST_F(Driver, CodeAtHandForTheKeyIsLoadedWithoutEmitting) {
    // From the code entries of a loaded compiled module file.
    Compiled* s = newState(0);
    uint8_t key[32];
    std::vector<uint8_t> object = objectOfTheSameModule(s, "_known", 11, key);
    ASSERT_EQ(driver::putLoadedCode(key, object.data(), object.size()), Status::ok);
    buildConstant(s, "_known", 11);
    uint64_t entry;
    ASSERT_TRUE(addMain(s, &entry)) << takeError();
    EXPECT_EQ(s->cacheLoads, 1u);
    EXPECT_EQ(s->codeStore.used, 0u) << "nothing emitted";
    EXPECT_FALSE(s->compiler.module.handedOver) << "the module was never given to the engine";
    EXPECT_EQ(memcmp(s->keys[0].bytes, key, 32), 0);
    EXPECT_EQ(callI64(s, "_known"), 11);
    Compiled::free(s);

    // From the disk cache; the file's times are set to now.
    TempDir dir;
    useCacheDirectory(dir.path);
    s = newState(0);
    object = objectOfTheSameModule(s, "_ondisk", 12, key);
    char* path = driver::cachePath(key);
    ASSERT_EQ(driver::writeCacheFile(path, strlen(path), object.data(), object.size()), 0);
    struct timespec old[2] = {{1000, 0}, {1000, 0}};
    utimensat(AT_FDCWD, path, old, 0);
    buildConstant(s, "_ondisk", 12);
    ASSERT_TRUE(addMain(s, &entry)) << takeError();
    EXPECT_EQ(s->cacheLoads, 1u);
    EXPECT_EQ(s->compiles, 0u);
    EXPECT_EQ(callI64(s, "_ondisk"), 12);
    struct stat info;
    ASSERT_EQ(stat(path, &info), 0);
    EXPECT_GT(info.st_mtim.tv_sec, 1000) << "touched on a hit";
    free(path);
    Compiled::free(s);
}

TEST_F(Driver, ACacheFileThatCannotBeReadIsAMiss) {
    // A file without read permission (not for root, who reads anyway), and a directory in
    // place of the file.
    for (bool permissions : {true, false}) {
        if (permissions && geteuid() == 0) continue;
        TempDir dir;
        useCacheDirectory(dir.path);
        Compiled* s = newState(0);
        uint8_t key[32];
        std::vector<uint8_t> object = objectOfTheSameModule(s, "_locked", 13, key);
        char* path = driver::cachePath(key);
        if (permissions) {
            ASSERT_EQ(driver::writeCacheFile(path, strlen(path), object.data(), object.size()), 0);
            chmod(path, 0);
        } else {
            ASSERT_EQ(mkdir(path, 0700), 0);
        }
        buildConstant(s, "_locked", 13);
        uint64_t entry;
        ASSERT_TRUE(addMain(s, &entry)) << takeError();
        EXPECT_EQ(s->cacheLoads, 0u);
        EXPECT_EQ(s->compiles, 1u);
        EXPECT_EQ(callI64(s, "_locked"), 13);
        free(path);
        Compiled::free(s);
    }
}

TEST(CacheFiles, ThreadsWritingOneKeyLeaveOneCompleteFileAndNoTemporaries) {
    TempDir dir;
    std::string path = dir.path + "/" + std::string(64, 'a') + ".o";
    std::vector<uint8_t> bytes(1 << 20);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i * 31);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; i++)
                if (driver::writeCacheFile(path.c_str(), path.size(), bytes.data(), bytes.size()) !=
                    0)
                    failures++;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(dir.files(), std::vector<std::string>{std::string(64, 'a') + ".o"});
    EXPECT_EQ(readFile(path), std::string(bytes.begin(), bytes.end()));
}

TEST(CacheFiles, AWriteThatCannotCreateItsFileLeavesNothing) {
    TempDir dir;
    std::string path = dir.path + "/missing/" + std::string(64, 'b') + ".o";
    EXPECT_NE(
        driver::writeCacheFile(path.c_str(), path.size(), reinterpret_cast<const uint8_t*>("x"), 1),
        0);
    std::string tooLong = dir.path + "/" + std::string(5000, 'c') + ".o";
    EXPECT_EQ(driver::writeCacheFile(tooLong.c_str(), tooLong.size(),
                                     reinterpret_cast<const uint8_t*>("x"), 1),
              ENAMETOOLONG);
    EXPECT_TRUE(dir.files().empty());
}

// ---- emission from two threads ------------------------------------------------------------

// i64 <name>() { return value * 3 } in a context of its own, through the table only.
llvmapi::ModuleRef tripleModule(const char* name, int64_t value) {
    llvmapi::ContextRef ctx = T.LLVMContextCreate();
    llvmapi::ModuleRef mod = T.LLVMModuleCreateWithNameInContext("wuna", ctx);
    llvmapi::TypeRef i64 = T.LLVMInt64TypeInContext(ctx);
    llvmapi::ValueRef fn = T.LLVMAddFunction(mod, name, T.LLVMFunctionType(i64, nullptr, 0, 0));
    llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(ctx);
    T.LLVMPositionBuilderAtEnd(b, T.LLVMAppendBasicBlockInContext(ctx, fn, "entry"));
    T.LLVMBuildRet(b, T.LLVMBuildMul(b, T.LLVMConstInt(i64, uint64_t(value), 1),
                                     T.LLVMConstInt(i64, 3, 1), ""));
    T.LLVMDisposeBuilder(b);
    return mod;
}

TEST_F(Driver, TwoThreadsEmitAtOnce) {
    // Modules are made under the lock, emitted by two threads at the same time, loaded here.
    const int rounds = 8;
    std::vector<llvmapi::ModuleRef> modules;
    std::vector<std::string> names;
    for (int i = 0; i < 2 * rounds; i++) {
        names.push_back("t_backend_thread_" + std::to_string(i));
        modules.push_back(tripleModule(names.back().c_str(), i));
    }
    std::vector<std::vector<uint8_t>> objects(modules.size());
    std::atomic<int> ready{0};
    auto emit = [&](int parity) {
        ready++;
        while (ready < 2) std::this_thread::yield();
        for (size_t i = size_t(parity); i < modules.size(); i += 2) {
            char err[2048] = {};
            uint64_t size = 0;
            uint8_t* bytes = engine()->emitObject(modules[i], 2, nullptr, nullptr, nullptr, &size,
                                                  err, sizeof err);
            if (bytes) objects[i].assign(bytes, bytes + size);
            engine()->freeBytes(bytes);
        }
    };
    std::thread a(emit, 0), b(emit, 1);
    a.join();
    b.join();
    for (size_t i = 0; i < modules.size(); i++) {
        ASSERT_FALSE(objects[i].empty()) << i;
        char err[2048] = {};
        void* h = engine()->loadObject(objects[i].data(), objects[i].size(), err, sizeof err);
        ASSERT_NE(h, nullptr) << err;
        auto f = reinterpret_cast<int64_t (*)()>(engine()->symbolAddress(names[i].c_str()));
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f(), int64_t(i) * 3);
        engine()->release(h);
    }
}

// ---- code added to an optimized state: fast now, optimized in the background --------------

// Sets the tiers setting for one test and puts the earlier value back.
struct TiersSetting {
    uint8_t saved = settings::current.tiers;
    explicit TiersSetting(bool on) { settings::current.tiers = on ? 1 : 0; }
    ~TiersSetting() { settings::current.tiers = saved; }
    TiersSetting(const TiersSetting&) = delete;
    TiersSetting& operator=(const TiersSetting&) = delete;
};

// The keys of the module buildLater makes: at the state's level and at level 0; with
// fastObject, also its object emitted at level 0 (the fast code an earlier run left).
struct LaterModule {
    driver::Key nominal, fast;
    std::vector<uint8_t> fastObject;
};
LaterModule laterModule(Compiled* s, const char* suffix, int64_t value, bool fastObject) {
    LaterModule out;
    buildLater(s, suffix, value);
    finishForKeys(s, out.nominal.bytes, out.fast.bytes, fastObject ? &out.fastObject : nullptr);
    return out;
}

std::string fileOf(const driver::Key& key) {
    char hex[65];
    sha256::hex(key.bytes, hex);
    return std::string(hex) + ".o";
}

bool sameKey(const driver::Key& a, const driver::Key& b) { return memcmp(a.bytes, b.bytes, 32) == 0; }

// A level-2 state with its first code loaded and a new module started, as the optimized build
// of a program leaves it (hasCode given).
Compiled* optimizedWithCode(const char* suffix, uint8_t hasCode) {
    Compiled* s = newState(2);
    buildConstant(s, suffix, 1);
    uint64_t entry = 0;
    EXPECT_TRUE(addMain(s, &entry)) << takeError();
    s->hasCode = hasCode;
    EXPECT_EQ(compile::newModule(&s->compiler), Status::ok);
    return s;
}

TEST_F(Driver, CodeAddedToAnOptimizedStateIsFastNowAndOptimizedIntoTheCacheForTheNextRun) {
    TiersSetting tiers(true);
    TempDir dir;
    useCacheDirectory(dir.path);
    Compiled* s = optimizedWithCode("_firstA", 1);
    ASSERT_EQ(s->compiles, 1u);
    std::string first = fileOf(s->keys[0]);
    EXPECT_EQ(dir.files(), std::vector<std::string>{first}) << "the first code: in the foreground";
    LaterModule later = laterModule(s, "_laterA", 5, false);
    buildLater(s, "_laterA", 5);
    std::string name = symbol(s, "_laterA");
    uint64_t entry = 0;
    ASSERT_EQ(s->add(name.c_str(), name.size(), &entry), 0) << takeError();
    EXPECT_EQ(reinterpret_cast<int64_t (*)()>(entry)(), 5);
    // The fast code was made here and written under its own key, which the list leaves out.
    ASSERT_EQ(s->keys.count, 2u);
    EXPECT_TRUE(sameKey(s->keys[1], later.nominal));
    EXPECT_EQ(s->compiles, 2u);
    EXPECT_EQ(s->codeStore.used, 0u);
    std::vector<std::string> now = dir.files();
    EXPECT_NE(std::find(now.begin(), now.end(), fileOf(later.fast)), now.end());
    // The job writes the optimized object under the key of the state's level.
    driver::waitForTierJobs();
    std::vector<std::string> all = {first, fileOf(later.fast), fileOf(later.nominal)};
    std::sort(all.begin(), all.end());
    EXPECT_EQ(dir.files(), all);
    // The next run of the program asks for that key first, and loads the optimized object.
    Compiled::free(s);
    EXPECT_EQ(engine()->symbolAddress(name.c_str()), 0u);
    Compiled* next = newState(2);
    char err[2048] = {};
    void* handle = driver::lookupCode(next, later.nominal.bytes, err, sizeof err);
    ASSERT_NE(handle, nullptr) << err;
    EXPECT_EQ(next->cacheLoads, 1u);
    auto f = reinterpret_cast<int64_t (*)()>(engine()->symbolAddress(name.c_str()));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f(), 5);
    engine()->release(handle);
    Compiled::free(next);
}

TEST_F(Driver, FastCodeAlreadyCachedIsLoadedAndTheOptimizedEmissionStillQueued) {
    TiersSetting tiers(true);
    TempDir dir;
    useCacheDirectory(dir.path);
    Compiled* s = optimizedWithCode("_firstB", 1);
    LaterModule later = laterModule(s, "_laterB", 6, true);
    char* path = driver::cachePath(later.fast.bytes);
    ASSERT_EQ(driver::writeCacheFile(path, strlen(path), later.fastObject.data(),
                                     later.fastObject.size()),
              0);
    free(path);
    buildLater(s, "_laterB", 6);
    std::string name = symbol(s, "_laterB");
    uint64_t entry = 0;
    ASSERT_EQ(s->add(name.c_str(), name.size(), &entry), 0) << takeError();
    EXPECT_EQ(reinterpret_cast<int64_t (*)()>(entry)(), 6);
    EXPECT_EQ(s->cacheLoads, 1u);
    EXPECT_EQ(s->compiles, 1u) << "nothing emitted in the foreground";
    EXPECT_FALSE(s->compiler.module.handedOver) << "the foreground never gave its module away";
    ASSERT_EQ(s->keys.count, 2u);
    EXPECT_TRUE(sameKey(s->keys[1], later.nominal)) << "only the key of the state's level";
    driver::waitForTierJobs();
    std::vector<std::string> files = dir.files();
    EXPECT_NE(std::find(files.begin(), files.end(), fileOf(later.nominal)), files.end());
    Compiled::free(s);
}

// Where an optimized state emits added code at its own level at once, and queues nothing.
struct AtOnce {
    const char* why;
    bool tiers;
    bool cache;
    uint8_t hasCode;
};

TEST_F(Driver, CodeAddedToAnOptimizedStateIsEmittedAtItsLevelAtOnceOtherwise) {
    const AtOnce cases[] = {
        {"tiers off", false, true, 1},
        {"no cache directory", true, false, 1},
        {"the first code", true, true, 0},
        {"a has-code flag other than 1", true, true, 2},
    };
    uint8_t n = 0;
    for (const AtOnce& c : cases) {
        SCOPED_TRACE(c.why);
        TiersSetting tiers(c.tiers);
        TempDir dir;
        if (c.cache)
            useCacheDirectory(dir.path);
        else
            settings::setCachePlace(settings::CachePlace::off, nullptr);
        std::string suffix = "_firstC" + std::to_string(n);
        Compiled* s = optimizedWithCode(suffix.c_str(), c.hasCode);
        std::string laterSuffix = "_laterC" + std::to_string(n++);
        LaterModule later = laterModule(s, laterSuffix.c_str(), 7, false);
        buildLater(s, laterSuffix.c_str(), 7);
        std::string name = symbol(s, laterSuffix.c_str());
        uint64_t entry = 0;
        ASSERT_EQ(s->add(name.c_str(), name.size(), &entry), 0) << takeError();
        EXPECT_EQ(reinterpret_cast<int64_t (*)()>(entry)(), 7);
        ASSERT_EQ(s->keys.count, 2u);
        EXPECT_TRUE(sameKey(s->keys[1], later.nominal));
        EXPECT_TRUE(s->compiler.module.handedOver);
        driver::waitForTierJobs();
        if (c.cache) {
            EXPECT_EQ(s->compiles, 2u);
            std::vector<std::string> both = {fileOf(s->keys[0]), fileOf(later.nominal)};
            std::sort(both.begin(), both.end());
            EXPECT_EQ(dir.files(), both) << "no fast code, no job";
        } else {
            EXPECT_EQ(s->compiles, 0u);
            EXPECT_NE(s->codeStore.find(later.nominal), nullptr);
            EXPECT_EQ(s->codeStore.find(later.fast), nullptr);
            EXPECT_TRUE(dir.files().empty());
        }
        Compiled::free(s);
    }
}

// ---- the perf map ----------------------------------------------------------------------------

std::string perfPath() {
    char path[64];
    driver::perfMapPath(path, sizeof path);
    return path;
}

TEST(PerfMap, LabelsOfFunctionsCompiledOutOfLine) {
    char* label = driver::perfLabel("S", "Lang.add", "mod/rules.py", 12);
    EXPECT_STREQ(label, "S Lang.add (rules.py:12)");
    free(label);
    label = driver::perfLabel("S", "f", "/", 1);
    EXPECT_STREQ(label, "S f (:1)");
    free(label);
    label = driver::perfLabel("S", "f", "dir/", 2);
    EXPECT_STREQ(label, "S f (dir:2)");
    free(label);
    label = driver::perfLabel("S", nullptr, nullptr, 0);
    EXPECT_STREQ(label, "S");
    free(label);
}

TEST_F(Driver, ThePerfMapListsEveryLoadedSymbolInAddressOrder) {
    std::string path = perfPath();
    std::remove(path.c_str());
    Compiled* off = newState(0);
    buildConstant(off, "_quiet", 1);
    uint64_t entry;
    ASSERT_TRUE(addMain(off, &entry));
    struct stat info;
    EXPECT_NE(stat(path.c_str(), &info), 0) << "perf_map off: no file";

    settings::current.perfMap = 1;
    Compiled* a = newState(0);
    buildConstant(a, "_first", 1);
    ASSERT_TRUE(addMain(a, &entry));
    Compiled* b = newState(2);
    buildConstant(b, "_second", 2);
    ASSERT_EQ(compile::addOutOfLine(&b->compiler, symbol(b, "_second").c_str(), "Lang.add",
                                    "mod/rules.py", 12),
              Status::ok);
    ASSERT_TRUE(addMain(b, &entry));
    std::ifstream in(path);
    std::vector<std::pair<uint64_t, std::string>> lines;
    std::vector<uint64_t> sizes;
    for (std::string line; std::getline(in, line);) {
        unsigned long long address, size;
        int used = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%llx %llx %n", &address, &size, &used), 2) << line;
        lines.push_back({address, line.substr(size_t(used))});
        sizes.push_back(size);
    }
    std::vector<std::string> labels;
    for (size_t i = 0; i < lines.size(); i++) {
        labels.push_back(lines[i].second);
        if (i) {
            EXPECT_LT(lines[i - 1].first, lines[i].first);
        }
        if (i + 1 < lines.size()) {
            uint64_t gap = lines[i + 1].first - lines[i].first;
            EXPECT_EQ(sizes[i], gap < 0x100000 ? gap : 0x100000);
        }
    }
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.back(), 0x1000u);
    auto has = [&](const std::string& label) {
        for (auto& l : labels)
            if (l == label) return true;
        return false;
    };
    EXPECT_TRUE(has(symbol(a, "_main")));
    EXPECT_TRUE(has(symbol(a, "_first")));
    EXPECT_TRUE(has(symbol(b, "_main")));
    EXPECT_TRUE(has(symbol(b, "_second") + " Lang.add (rules.py:12)"));
    EXPECT_FALSE(has(symbol(off, "_quiet"))) << "loaded while the map was off";
    EXPECT_FALSE(has("wn_dec"));
    for (Compiled* s : {off, a, b}) Compiled::free(s);
    std::remove(path.c_str());
}

TEST_F(Driver, ThePerfMapTurnedOnLaterListsTheStatesEarlierModules) {
    std::string path = perfPath();
    std::remove(path.c_str());
    Compiled* s = newState(0);
    buildConstant(s, "_early", 1);
    uint64_t entry;
    ASSERT_TRUE(addMain(s, &entry));
    settings::current.perfMap = 1;
    // A later module of the same state (as a typed entry would be), loaded with the map on.
    ASSERT_EQ(compile::newModule(&s->compiler), Status::ok);
    compile::ModuleRecord* m = &s->compiler.module;
    std::string late = symbol(s, "_late");
    FunctionRef f;
    ASSERT_EQ(compile::declareFunction(m, late.data(), late.size(), m->i64, nullptr, 0,
                                       compile::DeclareExported, &f),
              Status::ok);
    {
        Emit e(m, f.function);
        T.LLVMBuildRet(*e, i64c(m, 2));
    }
    uint64_t lateAddress;
    ASSERT_EQ(s->add(late.c_str(), late.size(), &lateAddress), 0) << takeError();
    std::string map = readFile(path);
    EXPECT_NE(map.find(" " + symbol(s, "_early") + "\n"), std::string::npos) << map;
    EXPECT_NE(map.find(" " + symbol(s, "_main") + "\n"), std::string::npos) << map;
    EXPECT_NE(map.find(" " + late + "\n"), std::string::npos) << map;
    Compiled::free(s);
    std::remove(path.c_str());
}

TEST_F(Driver, ThePerfMapNeverWritesThroughAPlantedLink) {
    std::string path = perfPath();
    TempDir dir;
    std::string victim = dir.path + "/victim";
    {
        std::ofstream(victim) << "precious\n";
    }
    std::remove(path.c_str());
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    settings::current.perfMap = 1;
    Compiled* s = newState(0);
    buildConstant(s, "_linked", 1);
    uint64_t entry;
    ASSERT_TRUE(addMain(s, &entry));
    EXPECT_EQ(readFile(victim), "precious\n");
    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "the link was replaced by the map";
    EXPECT_NE(readFile(path).find(symbol(s, "_linked")), std::string::npos);
    Compiled::free(s);
    std::remove(path.c_str());
}

}  // namespace

}  // namespace wuna
