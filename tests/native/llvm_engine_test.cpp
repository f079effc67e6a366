// pargo's LLVM capsule without Python: modules built through the C functions that the
// capsule's lookup gives (as compiled-code generators use them), emitted, loaded into the one
// JIT of this process, called, and released. Every test uses symbol names of its own, since
// all tests of a run share the JIT.
#include <gtest/gtest.h>

#include <llvm-c/Core.h>
#include <llvm-c/Object.h>
#include <llvm/Config/llvm-config.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "llvm/capsule.h"

namespace pargo {

namespace {

const llvmcapsule::Capsule* cap() { return llvmcapsule::capsule(); }

void* need(const char* name) {
    void* f = cap()->lookup(name);
    if (!f) ADD_FAILURE() << "lookup has no " << name;
    return f;
}

// The LLVM functions the tests build with, every one taken from the capsule's lookup.
#define API(name) decltype(&::name) name = reinterpret_cast<decltype(&::name)>(need(#name))
struct Api {
    API(LLVMContextCreate);
    API(LLVMModuleCreateWithNameInContext);
    API(LLVMInt1TypeInContext);
    API(LLVMInt8TypeInContext);
    API(LLVMInt64TypeInContext);
    API(LLVMDoubleTypeInContext);
    API(LLVMPointerTypeInContext);
    API(LLVMFunctionType);
    API(LLVMAddFunction);
    API(LLVMAddGlobal);
    API(LLVMSetInitializer);
    API(LLVMSetGlobalConstant);
    API(LLVMSetLinkage);
    API(LLVMGetParam);
    API(LLVMConstInt);
    API(LLVMGetEnumAttributeKindForName);
    API(LLVMCreateEnumAttribute);
    API(LLVMAddAttributeAtIndex);
    API(LLVMLookupIntrinsicID);
    API(LLVMGetIntrinsicDeclaration);
    API(LLVMAppendBasicBlockInContext);
    API(LLVMCreateBuilderInContext);
    API(LLVMDisposeBuilder);
    API(LLVMPositionBuilderAtEnd);
    API(LLVMBuildRet);
    API(LLVMBuildAdd);
    API(LLVMBuildMul);
    API(LLVMBuildCall2);
    API(LLVMBuildLoad2);
    API(LLVMBuildPtrToInt);
    API(LLVMBuildIntToPtr);
    API(LLVMVoidTypeInContext);
};
#undef API

const Api& api() {
    static Api a;
    return a;
}

// One module in a context of its own, with helpers for the shapes the tests need. The module
// and context go to the engine at emit(); a Module never emitted disposes nothing (the tests
// always emit).
struct Module {
    const Api& a = api();
    LLVMContextRef ctx;
    LLVMModuleRef mod;
    LLVMBuilderRef b;
    LLVMTypeRef i64, i8, ptr;
    explicit Module(const char* name) {
        ctx = a.LLVMContextCreate();
        mod = a.LLVMModuleCreateWithNameInContext(name, ctx);
        b = a.LLVMCreateBuilderInContext(ctx);
        i64 = a.LLVMInt64TypeInContext(ctx);
        i8 = a.LLVMInt8TypeInContext(ctx);
        ptr = a.LLVMPointerTypeInContext(ctx, 0);
    }
    ~Module() { a.LLVMDisposeBuilder(b); }

    // fn(i64 params...) -> i64, positioned at its entry block.
    LLVMValueRef function(const char* name, unsigned params = 0) {
        LLVMValueRef f = a.LLVMAddFunction(mod, name, fnType(params));
        a.LLVMPositionBuilderAtEnd(b, a.LLVMAppendBasicBlockInContext(ctx, f, "entry"));
        return f;
    }
    LLVMTypeRef fnType(unsigned params) {
        std::vector<LLVMTypeRef> ps(params, i64);
        return a.LLVMFunctionType(i64, ps.data(), params, 0);
    }
    LLVMValueRef declare(const char* name, unsigned params) {
        return a.LLVMAddFunction(mod, name, fnType(params));
    }
    LLVMValueRef constant(int64_t v) { return a.LLVMConstInt(i64, static_cast<uint64_t>(v), 1); }
    LLVMValueRef call(LLVMValueRef f, std::vector<LLVMValueRef> args) {
        return a.LLVMBuildCall2(b, fnType(args.size()), f, args.data(), args.size(), "");
    }
    void attribute(LLVMValueRef f, const char* kind) {
        unsigned id = a.LLVMGetEnumAttributeKindForName(kind, std::strlen(kind));
        a.LLVMAddAttributeAtIndex(f, LLVMAttributeFunctionIndex,
                                  a.LLVMCreateEnumAttribute(ctx, id, 0));
    }

    // The object bytes, or an empty vector with the engine's text in *why.
    std::vector<uint8_t> emit(uint32_t level, std::string* why = nullptr,
                              const char* target = nullptr) {
        char err[2048] = "";
        uint64_t size = 0;
        uint8_t* bytes =
            cap()->emitObject(mod, level, target, nullptr, nullptr, &size, err, sizeof err);
        if (!bytes) {
            if (why)
                *why = err;
            else
                ADD_FAILURE() << "emitObject: " << err;
            return {};
        }
        std::vector<uint8_t> out(bytes, bytes + size);
        cap()->freeBytes(bytes);
        return out;
    }
};

void* load(const std::vector<uint8_t>& object, std::string* why = nullptr) {
    char err[2048] = "";
    void* h = cap()->loadObject(object.data(), object.size(), err, sizeof err);
    if (!h) {
        if (why)
            *why = err;
        else
            ADD_FAILURE() << "loadObject: " << err;
    }
    return h;
}

int define(std::vector<const char*> names, std::vector<uint64_t> addresses,
           std::string* why = nullptr) {
    char err[2048] = "";
    int rc = cap()->defineSymbols(names.data(), addresses.data(), names.size(), err, sizeof err);
    if (why) *why = err;
    return rc;
}

int64_t call0(const char* name) {
    uint64_t f = cap()->symbolAddress(name);
    EXPECT_NE(f, 0u) << name;
    return f ? reinterpret_cast<int64_t (*)()>(f)() : -1;
}

// The names of the symbols an object's symbol table holds (local ones too).
std::vector<std::string> objectSymbols(const std::vector<uint8_t>& object) {
    std::vector<std::string> names;
    LLVMMemoryBufferRef buf = LLVMCreateMemoryBufferWithMemoryRangeCopy(
        reinterpret_cast<const char*>(object.data()), object.size(), "object");
    char* msg = nullptr;
    LLVMBinaryRef bin = LLVMCreateBinary(buf, nullptr, &msg);
    if (!bin) {
        ADD_FAILURE() << msg;
        LLVMDisposeMessage(msg);
        LLVMDisposeMemoryBuffer(buf);
        return names;
    }
    LLVMSymbolIteratorRef it = LLVMObjectFileCopySymbolIterator(bin);
    for (; !LLVMObjectFileIsSymbolIteratorAtEnd(bin, it); LLVMMoveToNextSymbol(it))
        names.push_back(LLVMGetSymbolName(it));
    LLVMDisposeSymbolIterator(it);
    LLVMDisposeBinary(bin);
    LLVMDisposeMemoryBuffer(buf);
    return names;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
    for (const std::string& x : v)
        if (x == s) return true;
    return false;
}

extern "C" int64_t engineTestTwice(int64_t x) { return 2 * x; }

TEST(LlvmCapsule, RecordHasAbiAndTheLlvmVersion) {
    EXPECT_EQ(cap()->abi, 2u);
    // The version pargo was built with, which is the library's it runs with.
    unsigned major = 0, minor = 0, patch = 0;
    LLVMGetVersion(&major, &minor, &patch);
    EXPECT_EQ(std::string(cap()->version),
              std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch));
    EXPECT_STREQ(cap()->version, LLVM_VERSION_STRING);
    EXPECT_EQ(cap(), llvmcapsule::capsule());
}

// The functions compiled-code generation reaches by name, in its table's order.
const char* tableNames[] = {"LLVMContextCreate",
                            "LLVMContextDispose",
                            "LLVMModuleCreateWithNameInContext",
                            "LLVMDisposeModule",
                            "LLVMGetModuleContext",
                            "LLVMPrintModuleToString",
                            "LLVMWriteBitcodeToMemoryBuffer",
                            "LLVMParseBitcodeInContext2",
                            "LLVMDisposeMemoryBuffer",
                            "LLVMGetHostCPUName",
                            "LLVMGetHostCPUFeatures",
                            "LLVMDisposeMessage",
                            "LLVMInt1TypeInContext",
                            "LLVMInt8TypeInContext",
                            "LLVMIntTypeInContext",
                            "LLVMInt32TypeInContext",
                            "LLVMInt64TypeInContext",
                            "LLVMDoubleTypeInContext",
                            "LLVMVoidTypeInContext",
                            "LLVMPointerTypeInContext",
                            "LLVMStructTypeInContext",
                            "LLVMArrayType2",
                            "LLVMFunctionType",
                            "LLVMGlobalGetValueType",
                            "LLVMTypeOf",
                            "LLVMConstInt",
                            "LLVMConstNull",
                            "LLVMConstStringInContext2",
                            "LLVMConstStructInContext",
                            "LLVMConstArray2",
                            "LLVMConstInBoundsGEP2",
                            "LLVMConstIntToPtr",
                            "LLVMAddGlobal",
                            "LLVMConstPtrToInt",
                            "LLVMSetInitializer",
                            "LLVMSetGlobalConstant",
                            "LLVMSetLinkage",
                            "LLVMSetUnnamedAddress",
                            "LLVMSetAlignment",
                            "LLVMAddFunction",
                            "LLVMDeleteFunction",
                            "LLVMReplaceAllUsesWith",
                            "LLVMSetValueName2",
                            "LLVMGetPoison",
                            "LLVMGetParam",
                            "LLVMGetEnumAttributeKindForName",
                            "LLVMCreateEnumAttribute",
                            "LLVMAddAttributeAtIndex",
                            "LLVMLookupIntrinsicID",
                            "LLVMGetIntrinsicDeclaration",
                            "LLVMAppendBasicBlockInContext",
                            "LLVMGetBasicBlockTerminator",
                            "LLVMGetLastInstruction",
                            "LLVMInstructionEraseFromParent",
                            "LLVMCreateBuilderInContext",
                            "LLVMDisposeBuilder",
                            "LLVMPositionBuilderAtEnd",
                            "LLVMBuildRet",
                            "LLVMBuildRetVoid",
                            "LLVMBuildBr",
                            "LLVMBuildCondBr",
                            "LLVMBuildUnreachable",
                            "LLVMBuildAdd",
                            "LLVMBuildSub",
                            "LLVMBuildMul",
                            "LLVMBuildSDiv",
                            "LLVMBuildSRem",
                            "LLVMBuildAnd",
                            "LLVMBuildOr",
                            "LLVMBuildXor",
                            "LLVMBuildShl",
                            "LLVMBuildLShr",
                            "LLVMBuildAShr",
                            "LLVMBuildICmp",
                            "LLVMBuildFCmp",
                            "LLVMBuildAlloca",
                            "LLVMBuildLoad2",
                            "LLVMBuildStore",
                            "LLVMBuildInBoundsGEP2",
                            "LLVMBuildZExt",
                            "LLVMBuildSExt",
                            "LLVMBuildBitCast",
                            "LLVMBuildPtrToInt",
                            "LLVMBuildIntToPtr",
                            "LLVMBuildPhi",
                            "LLVMAddIncoming",
                            "LLVMBuildCall2",
                            "LLVMBuildSelect",
                            "LLVMBuildExtractValue"};
static_assert(sizeof tableNames / sizeof tableNames[0] == 89);

TEST(LlvmCapsule, LookupKnowsEveryTableFunction) {
    for (const char* name : tableNames) EXPECT_NE(cap()->lookup(name), nullptr) << name;
    EXPECT_NE(cap()->lookup("LLVMAddAlias2"), nullptr);
}

TEST(LlvmCapsule, LookupGivesTheFunctionItselfAndNullForOthers) {
    EXPECT_EQ(cap()->lookup("LLVMBuildSelect"), reinterpret_cast<void*>(&LLVMBuildSelect));
    EXPECT_EQ(cap()->lookup("LLVMAddAlias2"), reinterpret_cast<void*>(&LLVMAddAlias2));
    EXPECT_EQ(cap()->lookup("NoSuchFunction"), nullptr);
    EXPECT_EQ(cap()->lookup("LLVMBuildSelec"), nullptr);
    EXPECT_EQ(cap()->lookup(""), nullptr);
    EXPECT_EQ(cap()->lookup(nullptr), nullptr);
}

TEST(LlvmEngine, ConstantFunctionAtEveryLevelLoadsRunsAndIsReleased) {
    for (uint32_t level : {0u, 1u, 2u}) {
        std::string name = "t_const_" + std::to_string(level);
        Module m("constant");
        m.function(name.c_str());
        api().LLVMBuildRet(m.b, m.constant(42 + level));
        std::vector<uint8_t> object = m.emit(level);
        ASSERT_FALSE(object.empty());
        EXPECT_EQ(std::memcmp(object.data(),
                              "\x7f"
                              "ELF",
                              4),
                  0);
        void* h = load(object);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(call0(name.c_str()), 42 + level);
        cap()->release(h);
        EXPECT_EQ(cap()->symbolAddress(name.c_str()), 0u) << "released code keeps its symbol";
        // Its names are free again: the same object loads a second time.
        h = load(object);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(call0(name.c_str()), 42 + level);
        cap()->release(h);
    }
}

TEST(LlvmEngine, CallsAHelperGivenByDefineSymbols) {
    std::string why;
    ASSERT_EQ(define({"t_helper_twice"}, {reinterpret_cast<uint64_t>(&engineTestTwice)}, &why), 0)
        << why;
    EXPECT_EQ(cap()->symbolAddress("t_helper_twice"), reinterpret_cast<uint64_t>(&engineTestTwice));
    for (uint32_t level : {0u, 2u}) {
        std::string name = "t_helper_caller_" + std::to_string(level);
        Module m("helper");
        LLVMValueRef twice = m.declare("t_helper_twice", 1);
        LLVMValueRef f = m.function(name.c_str(), 1);
        LLVMValueRef r = m.call(twice, {api().LLVMGetParam(f, 0)});
        api().LLVMBuildRet(m.b, api().LLVMBuildAdd(m.b, r, m.constant(1), ""));
        void* h = load(m.emit(level));
        ASSERT_NE(h, nullptr);
        auto fn = reinterpret_cast<int64_t (*)(int64_t)>(cap()->symbolAddress(name.c_str()));
        ASSERT_NE(fn, nullptr);
        EXPECT_EQ(fn(20), 41);
        EXPECT_EQ(fn(-5), -9);
        cap()->release(h);
    }
}

// A key global: an external i8 whose address is the object's; the code must reach exactly
// that address, wherever the code and the object are.
TEST(LlvmEngine, ReadsAKeyGlobalAtTheDefinedAddress) {
    static int64_t cell = 0x1234567890;
    std::string why;
    ASSERT_EQ(define({"t_key_k1"}, {reinterpret_cast<uint64_t>(&cell)}, &why), 0) << why;
    for (uint32_t level : {0u, 2u}) {
        std::string addrName = "t_key_address_" + std::to_string(level);
        std::string loadName = "t_key_load_" + std::to_string(level);
        Module m("key");
        LLVMValueRef k = api().LLVMAddGlobal(m.mod, m.i8, "t_key_k1");
        m.function(addrName.c_str());
        api().LLVMBuildRet(m.b, api().LLVMBuildPtrToInt(m.b, k, m.i64, ""));
        m.function(loadName.c_str());
        api().LLVMBuildRet(m.b, api().LLVMBuildLoad2(m.b, m.i64, k, ""));
        void* h = load(m.emit(level));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(static_cast<uint64_t>(call0(addrName.c_str())),
                  reinterpret_cast<uint64_t>(&cell));
        EXPECT_EQ(call0(loadName.c_str()), 0x1234567890);
        cell = 7;
        EXPECT_EQ(call0(loadName.c_str()), 7);
        cell = 0x1234567890;
        cap()->release(h);
    }
}

// The module's own data (a private constant, as string literals are) is reached from code
// loaded far from the first 2 GiB, which only position-independent code does.
TEST(LlvmEngine, ReadsItsOwnPrivateConstant) {
    for (uint32_t level : {0u, 2u}) {
        std::string name = "t_private_read_" + std::to_string(level);
        Module m("private");
        LLVMValueRef g = api().LLVMAddGlobal(m.mod, m.i64, "t_private_cell");
        api().LLVMSetInitializer(g, m.constant(0x5eed));
        api().LLVMSetGlobalConstant(g, 1);
        api().LLVMSetLinkage(g, LLVMPrivateLinkage);
        m.function(name.c_str());
        api().LLVMBuildRet(m.b, api().LLVMBuildLoad2(m.b, m.i64, g, ""));
        void* h = load(m.emit(level));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(call0(name.c_str()), 0x5eed);
        cap()->release(h);
    }
}

TEST(LlvmEngine, LaterObjectsCallEarlierOnes) {
    Module first("first");
    first.function("t_chain_base");
    api().LLVMBuildRet(first.b, first.constant(5));
    void* h1 = load(first.emit(0));
    ASSERT_NE(h1, nullptr);
    Module second("second");
    LLVMValueRef base = second.declare("t_chain_base", 0);
    second.function("t_chain_top");
    api().LLVMBuildRet(second.b,
                       api().LLVMBuildMul(second.b, second.call(base, {}), second.constant(3), ""));
    void* h2 = load(second.emit(2));
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(call0("t_chain_top"), 15);
    cap()->release(h2);
    cap()->release(h1);
}

TEST(LlvmEngine, ProcessFunctionsResolve) {
    // cos from libm, and memset for a large llvm.memset.
    Module m("process");
    LLVMTypeRef dbl = api().LLVMDoubleTypeInContext(m.ctx);
    LLVMTypeRef cosType = api().LLVMFunctionType(dbl, &dbl, 1, 0);
    LLVMValueRef cosFn = api().LLVMAddFunction(m.mod, "cos", cosType);
    LLVMTypeRef fType = api().LLVMFunctionType(dbl, &dbl, 1, 0);
    LLVMValueRef f = api().LLVMAddFunction(m.mod, "t_process_cos", fType);
    api().LLVMPositionBuilderAtEnd(m.b, api().LLVMAppendBasicBlockInContext(m.ctx, f, "entry"));
    LLVMValueRef arg = api().LLVMGetParam(f, 0);
    api().LLVMBuildRet(m.b, api().LLVMBuildCall2(m.b, cosType, cosFn, &arg, 1, ""));

    // t_process_fill(p): memset(p, 7, 4096) through the intrinsic; returns 0.
    LLVMValueRef fill = m.function("t_process_fill", 1);
    const char* memsetName = "llvm.memset";
    unsigned id = api().LLVMLookupIntrinsicID(memsetName, std::strlen(memsetName));
    LLVMTypeRef overloads[] = {m.ptr, m.i64};
    LLVMValueRef memsetFn = api().LLVMGetIntrinsicDeclaration(m.mod, id, overloads, 2);
    LLVMTypeRef memsetArgs[] = {m.ptr, m.i8, m.i64, api().LLVMInt1TypeInContext(m.ctx)};
    LLVMTypeRef memsetType =
        api().LLVMFunctionType(api().LLVMVoidTypeInContext(m.ctx), memsetArgs, 4, 0);
    LLVMValueRef ptrArg = api().LLVMBuildIntToPtr(m.b, api().LLVMGetParam(fill, 0), m.ptr, "");
    LLVMValueRef args[] = {ptrArg, api().LLVMConstInt(m.i8, 7, 0), m.constant(4096),
                           api().LLVMConstInt(api().LLVMInt1TypeInContext(m.ctx), 0, 0)};
    api().LLVMBuildCall2(m.b, memsetType, memsetFn, args, 4, "");
    api().LLVMBuildRet(m.b, m.constant(0));

    void* h = load(m.emit(2));
    ASSERT_NE(h, nullptr);
    auto cosCall = reinterpret_cast<double (*)(double)>(cap()->symbolAddress("t_process_cos"));
    ASSERT_NE(cosCall, nullptr);
    EXPECT_DOUBLE_EQ(cosCall(0.5), std::cos(0.5));
    std::vector<uint8_t> block(4096, 0);
    reinterpret_cast<int64_t (*)(int64_t)>(cap()->symbolAddress("t_process_fill"))(
        static_cast<int64_t>(reinterpret_cast<uintptr_t>(block.data())));
    EXPECT_EQ(block.front(), 7);
    EXPECT_EQ(block.back(), 7);
    // The process's functions are not the engine's symbols.
    EXPECT_EQ(cap()->symbolAddress("cos"), 0u);
    cap()->release(h);
}

// A module with an internal helper f_inc called by f; `inline` makes f_inc alwaysinline.
std::vector<uint8_t> withInternalHelper(const char* prefix, bool alwaysInline, uint32_t level) {
    Module m("inline");
    std::string inc = std::string(prefix) + "_inc", top = std::string(prefix) + "_top";
    LLVMValueRef f = m.function(inc.c_str(), 1);
    api().LLVMSetLinkage(f, LLVMInternalLinkage);
    if (alwaysInline)
        m.attribute(f, "alwaysinline");
    else
        m.attribute(f, "noinline");
    api().LLVMBuildRet(m.b, api().LLVMBuildAdd(m.b, api().LLVMGetParam(f, 0), m.constant(1), ""));
    LLVMValueRef g = m.function(top.c_str(), 1);
    api().LLVMBuildRet(m.b, m.call(f, {m.call(f, {api().LLVMGetParam(g, 0)})}));
    return m.emit(level);
}

TEST(LlvmEngine, AlwaysInlineFunctionsAreInlinedAtLevelZero) {
    std::vector<uint8_t> inlined = withInternalHelper("t_ai", true, 0);
    std::vector<uint8_t> kept = withInternalHelper("t_ni", false, 0);
    ASSERT_FALSE(inlined.empty());
    ASSERT_FALSE(kept.empty());
    // Without the attribute level 0 keeps the helper as a (local) function; with it, no trace.
    EXPECT_TRUE(contains(objectSymbols(kept), "t_ni_inc"));
    EXPECT_TRUE(contains(objectSymbols(inlined), "t_ai_top"));
    EXPECT_FALSE(contains(objectSymbols(inlined), "t_ai_inc"));
    void* h = load(inlined);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reinterpret_cast<int64_t (*)(int64_t)>(cap()->symbolAddress("t_ai_top"))(40), 42);
    EXPECT_EQ(cap()->symbolAddress("t_ai_inc"), 0u);
    cap()->release(h);
}

TEST(LlvmEngine, NamedTargetTripleEmitsLoadableCode) {
    Module m("target");
    m.function("t_target_fn");
    api().LLVMBuildRet(m.b, m.constant(9));
    std::string why;
    std::vector<uint8_t> object = m.emit(2, &why, "x86_64-pc-linux-gnu");
    ASSERT_FALSE(object.empty()) << why;
    void* h = load(object);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(call0("t_target_fn"), 9);
    cap()->release(h);
}

TEST(LlvmEngine, ThreadsEmitAtOnceWhileAnotherLoads) {
    constexpr int threads = 4, perThread = 6;
    std::vector<std::vector<std::vector<uint8_t>>> objects(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([t, &objects] {
            for (int i = 0; i < perThread; i++) {
                std::string name = "t_thread_" + std::to_string(t) + "_" + std::to_string(i);
                Module m("thread");
                LLVMValueRef f = m.function(name.c_str(), 1);
                api().LLVMBuildRet(m.b, api().LLVMBuildMul(m.b, api().LLVMGetParam(f, 0),
                                                           m.constant(t * 100 + i), ""));
                objects[t].push_back(m.emit(i % 3));
            }
        });
    }
    // Meanwhile this thread loads, calls and releases code of its own.
    for (int i = 0; i < 20; i++) {
        std::string name = "t_thread_main_" + std::to_string(i);
        Module m("main");
        m.function(name.c_str());
        api().LLVMBuildRet(m.b, m.constant(i));
        void* h = load(m.emit(0));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(call0(name.c_str()), i);
        cap()->release(h);
    }
    for (std::thread& w : workers) w.join();
    for (int t = 0; t < threads; t++) {
        ASSERT_EQ(objects[t].size(), static_cast<size_t>(perThread));
        for (int i = 0; i < perThread; i++) {
            ASSERT_FALSE(objects[t][i].empty());
            void* h = load(objects[t][i]);
            ASSERT_NE(h, nullptr);
            std::string name = "t_thread_" + std::to_string(t) + "_" + std::to_string(i);
            EXPECT_EQ(reinterpret_cast<int64_t (*)(int64_t)>(cap()->symbolAddress(name.c_str()))(3),
                      3 * (t * 100 + i));
            cap()->release(h);
        }
    }
}

TEST(LlvmEngine, UndefinedSymbolFailsTheLoadByName) {
    Module m("undefined");
    LLVMValueRef missing = m.declare("t_undef_missing_helper", 0);
    m.function("t_undef_user");
    api().LLVMBuildRet(m.b, m.call(missing, {}));
    std::vector<uint8_t> object = m.emit(0);
    ASSERT_FALSE(object.empty());
    std::string why;
    EXPECT_EQ(load(object, &why), nullptr);
    EXPECT_NE(why.find("t_undef_missing_helper"), std::string::npos) << why;
    EXPECT_EQ(cap()->symbolAddress("t_undef_user"), 0u);
    // Nothing of the failed load stays: once the name is given, the same object loads.
    ASSERT_EQ(define({"t_undef_missing_helper"},
                     {reinterpret_cast<uint64_t>(+[]() -> int64_t { return 77; })}),
              0);
    void* h = load(object, &why);
    ASSERT_NE(h, nullptr) << why;
    EXPECT_EQ(call0("t_undef_user"), 77);
    cap()->release(h);
}

TEST(LlvmEngine, DefineSymbolsAcceptsTheSameAddressAndRefusesAnother) {
    static char a, b, c;
    auto at = [](const char& x) { return reinterpret_cast<uint64_t>(&x); };
    std::string why;
    ASSERT_EQ(define({"t_def_a", "t_def_b"}, {at(a), at(b)}, &why), 0) << why;
    // The runtime's helpers are given once per process, and a failed first attempt retried.
    EXPECT_EQ(define({"t_def_a", "t_def_b"}, {at(a), at(b)}, &why), 0) << why;
    EXPECT_EQ(define({"t_def_b", "t_def_c"}, {at(b), at(c)}, &why), 0) << why;
    EXPECT_EQ(cap()->symbolAddress("t_def_c"), at(c));

    EXPECT_NE(define({"t_def_d", "t_def_a"}, {at(c), at(b)}, &why), 0);
    EXPECT_NE(why.find("t_def_a"), std::string::npos) << why;
    EXPECT_EQ(cap()->symbolAddress("t_def_a"), at(a));
    EXPECT_EQ(cap()->symbolAddress("t_def_d"), 0u) << "a refused batch defined part of itself";

    EXPECT_NE(define({"t_def_e", "t_def_e"}, {at(a), at(b)}, &why), 0);
    EXPECT_NE(why.find("t_def_e"), std::string::npos) << why;
    EXPECT_EQ(define({"t_def_f", "t_def_f"}, {at(a), at(a)}, &why), 0) << why;

    EXPECT_NE(define({"t_def_g", ""}, {at(a), at(b)}, &why), 0);
    EXPECT_EQ(define({}, {}, &why), 0);
}

TEST(LlvmEngine, DefineSymbolsRefusesANameLoadedCodeDefines) {
    Module m("clash");
    m.function("t_clash_fn");
    api().LLVMBuildRet(m.b, m.constant(1));
    void* h = load(m.emit(0));
    ASSERT_NE(h, nullptr);
    std::string why;
    EXPECT_NE(define({"t_clash_fn"}, {reinterpret_cast<uint64_t>(&engineTestTwice)}, &why), 0);
    EXPECT_NE(why.find("t_clash_fn"), std::string::npos) << why;
    EXPECT_EQ(call0("t_clash_fn"), 1);
    cap()->release(h);
}

TEST(LlvmEngine, BrokenModulesAndBadRequestsFailWithText) {
    std::string why;
    {
        Module m("broken");  // a block without a terminator
        m.function("t_broken_fn");
        EXPECT_TRUE(m.emit(0, &why).empty());
        EXPECT_NE(why.find("broken"), std::string::npos) << why;
    }
    {
        Module m("level");
        m.function("t_level_fn");
        api().LLVMBuildRet(m.b, m.constant(1));
        EXPECT_TRUE(m.emit(3, &why).empty());
        EXPECT_NE(why.find("level 3"), std::string::npos) << why;
    }
    {
        Module m("triple");
        m.function("t_triple_fn");
        api().LLVMBuildRet(m.b, m.constant(1));
        EXPECT_TRUE(m.emit(0, &why, "nonsense-machine-none").empty());
        EXPECT_NE(why.find("nonsense-machine-none"), std::string::npos) << why;
    }
    char err[2048] = "";
    uint64_t size = 0;
    EXPECT_EQ(cap()->emitObject(nullptr, 0, nullptr, nullptr, nullptr, &size, err, sizeof err),
              nullptr);
    EXPECT_NE(err[0], 0);
}

TEST(LlvmEngine, LoadObjectRefusesWhatIsNotAnObject) {
    std::string why;
    std::vector<uint8_t> junk(64, 0xab);
    EXPECT_EQ(load(junk, &why), nullptr);
    EXPECT_FALSE(why.empty());
    char err[16] = "x";
    EXPECT_EQ(cap()->loadObject(nullptr, 0, err, sizeof err), nullptr);
    EXPECT_NE(err[0], 0);
    cap()->release(nullptr);
}

TEST(LlvmEngine, ErrorTextIsCutToTheBuffer) {
    std::vector<uint8_t> junk(64, 0xab);
    char err[8];
    std::memset(err, 'z', sizeof err);
    EXPECT_EQ(cap()->loadObject(junk.data(), junk.size(), err, sizeof err), nullptr);
    EXPECT_EQ(std::strlen(err), 7u);
    char untouched = 'q';
    EXPECT_EQ(cap()->loadObject(junk.data(), junk.size(), &untouched, 0), nullptr);
    EXPECT_EQ(untouched, 'q');
    EXPECT_EQ(cap()->symbolAddress(nullptr), 0u);
    EXPECT_EQ(cap()->symbolAddress("t_never_defined_anywhere"), 0u);
}

}  // namespace

}  // namespace pargo
