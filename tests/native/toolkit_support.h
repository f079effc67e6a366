// What the emission toolkit's tests share: an emitter over a fresh function of a compiler of
// the test's own (a program function or the top level), the function's IR text, the module
// verified, and a module state whose code is loaded and called through the code engine.
#pragma once
#include <gtest/gtest.h>

#include <llvm-c/Analysis.h>
#include <llvm-c/Core.h>

#include <cstring>
#include <string>

#include "compiler/backend/driver.h"
#include "compiler/codegen/emitter.h"
#include "tests/native/backend_test_support.h"
#include "tests/native/compile_test_support.h"

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

}  // namespace wuna::toolkit_testing
