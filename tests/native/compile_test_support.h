// What the tests of the compiler core and the driver share: a compiler of their own with its
// first module, a builder positioned in a new function's entry block, and i64 constants, all
// made through the LLVM table.
#pragma once
#include <cstdint>
#include <cstring>

#include "compiler/backend/compile.h"
#include "compiler/backend/llvmapi.h"

namespace wuna::backend_testing {

// A compiler with a symbol prefix of the test's and its first module.
struct Bare {
    compile::Compiler c;
    explicit Bare(const char* prefix, const ptree::Index* tree = nullptr) {
        compile::init(&c, tree, prefix, strlen(prefix));
        EXPECT_EQ(compile::newModule(&c), Status::ok);
    }
    ~Bare() { compile::release(&c); }
    compile::ModuleRecord* m() { return &c.module; }
};

// A builder positioned at a new "entry" block of fn.
struct Emit {
    compile::Builder b{};
    Emit(compile::ModuleRecord* m, llvmapi::ValueRef fn) {
        b.module = m;
        b.function = fn;
        b.builder = llvmapi::table.LLVMCreateBuilderInContext(m->context);
        llvmapi::table.LLVMPositionBuilderAtEnd(
            b.builder, llvmapi::table.LLVMAppendBasicBlockInContext(m->context, fn, "entry"));
    }
    ~Emit() {
        llvmapi::table.LLVMDisposeBuilder(b.builder);
        b.blocks.free();
    }
    llvmapi::BuilderRef operator*() { return b.builder; }
};

inline llvmapi::ValueRef i64c(compile::ModuleRecord* m, int64_t v) {
    return llvmapi::table.LLVMConstInt(m->i64, uint64_t(v), 1);
}

}  // namespace wuna::backend_testing
