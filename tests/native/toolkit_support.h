// What the emission toolkit's tests share: an emitter over a fresh function of a compiler of
// the test's own (a program function or the top level), the function's IR text, the module
// verified, and a module state whose code is loaded and called through the code engine with
// a run context of its own; the set-up of every test that compiles and loads code (the code
// engine, no cache or perf map, the run-time hooks restored), and the fixture of the lowering
// tests (that, a Python module of the test's own and a compiler over a new module).
#pragma once
#include <gtest/gtest.h>

#include <llvm-c/Analysis.h>
#include <llvm-c/Core.h>

#include <cstring>
#include <string>

#include "compiler/backend/driver.h"
#include "compiler/codegen/emitter.h"
#include "host/module/settings.h"
#include "tests/native/backend_test_support.h"
#include "tests/native/compile_test_support.h"
#include "tests/native/front_modules.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/run.h"

namespace wuna::toolkit_testing {

using backend_testing::takeError;

inline std::string irOf(llvmapi::ValueRef fn) {
    char* text = LLVMPrintValueToString(reinterpret_cast<LLVMValueRef>(fn));
    std::string s = text;
    LLVMDisposeMessage(text);
    return s;
}

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// "" when the module verifies, else LLVM's complaint.
inline std::string verify(compile::ModuleRecord* m) {
    char* message = nullptr;
    LLVMBool broken = LLVMVerifyModule(reinterpret_cast<LLVMModuleRef>(m->module),
                                       LLVMReturnStatusAction, &message);
    std::string text = broken && message ? message : "";
    if (message) LLVMDisposeMessage(message);
    return text;
}

// An emitter over a new function named name of the given parameters, returning i1; the run
// context is parameter 0 when the function has one.
struct Function {
    compile::Emitter e{};
    llvmapi::ValueRef fn = nullptr;
    compile::ModuleRecord* m;
    bool finished = false;
    Function(compile::Compiler* c, const char* name, uint32_t scopeId,
             std::initializer_list<llvmapi::TypeRef> params = {})
        : m(&c->module) {
        llvmapi::TypeRef types[8];
        unsigned n = 0;
        for (llvmapi::TypeRef t : params) types[n++] = t;
        compile::FunctionRef f;
        EXPECT_EQ(compile::declareFunction(m, name, strlen(name), m->i1, types, n,
                                           compile::DeclareExported, &f),
                  Status::ok);
        fn = f.function;
        EXPECT_EQ(compile::startFunction(&e, c, fn, scopeId), Status::ok);
        if (n) e.runContext = llvmapi::table.LLVMGetParam(fn, 0);
    }
    ~Function() { finish(); }
    llvmapi::ValueRef param(unsigned i) { return llvmapi::table.LLVMGetParam(fn, i); }
    // Gives the function an "error" block returning false as its error target.
    void addErrorBlock() {
        const llvmapi::Table& t = llvmapi::table;
        llvmapi::BasicBlockRef error = t.LLVMAppendBasicBlockInContext(m->context, fn, "error");
        llvmapi::BuilderRef b = t.LLVMCreateBuilderInContext(m->context);
        t.LLVMPositionBuilderAtEnd(b, error);
        t.LLVMBuildRet(b, t.LLVMConstInt(m->i1, 0, 0));
        t.LLVMDisposeBuilder(b);
        e.errorTarget = error;
    }
    // Returns true from the current point and finishes the function.
    void finish() {
        if (finished) return;
        finished = true;
        compile::openBlock(&e.builder);
        llvmapi::table.LLVMBuildRet(e.builder.builder, llvmapi::table.LLVMConstInt(m->i1, 1, 0));
        compile::finishFunction(&e);
    }
    std::string ir() {
        finish();
        return irOf(fn);
    }
};

// A module state for a fresh program key whose compiler emits straight into its module.
inline driver::Compiled* newState() {
    static uint8_t next = 0;
    uint8_t key[32] = {};
    key[0] = 0xC7;
    key[1] = ++next;
    driver::Compiled* s = driver::Compiled::create(nullptr, PyExc_RuntimeError, key, 0, false);
    EXPECT_NE(s, nullptr) << takeError();
    return s;
}

// A module state of the test's own (newState), freed when it goes: made before the functions
// emitted into it and the run context its code is called with, so it goes after them.
struct OwnedState {
    driver::Compiled* state = newState();
    OwnedState() = default;
    ~OwnedState() {
        if (state) driver::Compiled::free(state);
    }
    OwnedState(const OwnedState&) = delete;
    OwnedState& operator=(const OwnedState&) = delete;
};

// Adds a top level that returns true and loads the module; the address of symbol, or 0.
inline uint64_t loadAndFind(driver::Compiled* s, const std::string& symbol) {
    compile::ModuleRecord* m = &s->compiler.module;
    compile::FunctionRef main;
    EXPECT_EQ(compile::llvmFunction(&s->compiler, compile::kTopLevel, &main), Status::ok);
    {
        backend_testing::Emit e(m, main.function);
        llvmapi::table.LLVMBuildRet(*e, llvmapi::table.LLVMConstInt(m->i1, 1, 0));
    }
    EXPECT_EQ(verify(m), "");
    uint64_t entry = 0;
    const char* name = s->mainName();
    if (s->add(name, strlen(name), &entry) != 0) {
        ADD_FAILURE() << takeError();
        return 0;
    }
    return s->engine->symbolAddress(symbol.c_str());
}

inline std::string symbolOf(driver::Compiled* s, const char* suffix) {
    return std::string(s->prefix, s->prefixLength) + suffix;
}

// "<refused: the compiler's message>": what a lowering the compiler refused answers.
inline std::string refusal(const compile::Compiler* c) {
    return "<refused: " + std::string(c->message.items, c->message.count) + ">";
}

// The run context compiled code of the compiler's module is called with: the default
// conversion and the module's Python objects. Ended when it goes, so it goes before the
// module state is freed.
struct RunContext {
    helpers::Ctx ctx{};
    PyObject** objects;
    explicit RunContext(compile::Compiler* c) : objects(c->objects.items) {
        ctx.conversion = *convert::defaultContext();
        ctx.moduleObjects = &objects;
    }
    ~RunContext() { helpers::endCtx(&ctx); }
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;
};

// Adopts the parser package's code engine, once per process: whether it is there.
inline bool adoptEngine() {
    return llvmapi::loaded() || llvmapi::adopt(backend_testing::engine(), nullptr) != nullptr;
}

// What every test that compiles and loads code sets up over its own fixture Base: the code
// engine adopted, no disk cache and no perf map (a test's code must come from its own
// compilation and leave no files behind), and the compiler's run-time hooks given back after
// the test as they were before it, whatever the test pointed them at. The hooks are saved
// before anything can fail, so a failed set-up still restores what it found.
template <class Base>
class EngineFixture : public Base {
protected:
    using Base::Base;
    void SetUp() override {
        Base::SetUp();
        savedApi_ = bridge::compilerApi;
        settings::setCachePlace(settings::CachePlace::off, nullptr);
        settings::current.perfMap = 0;
        ASSERT_TRUE(adoptEngine());
    }
    void TearDown() override {
        bridge::compilerApi = savedApi_;
        Base::TearDown();
    }

private:
    bridge::CompilerApi savedApi_{};
};

// The fixture of the lowering tests: the Python module source read by the front end, the code
// engine as above, and the compiler over a new module.
class LoweringTest : public EngineFixture<testing_support::WithModule<::testing::Test>> {
protected:
    explicit LoweringTest(const char* source) : EngineFixture(source) {}
    void SetUp() override {
        EngineFixture::SetUp();
        ASSERT_EQ(compile::newModule(&compiler_), Status::ok);
    }
};

}  // namespace wuna::toolkit_testing
