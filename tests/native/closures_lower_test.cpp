// Nested functions of a semantic compiled as values and as frame closures called by name:
// one out-of-line specialisation (letter "l") per function however often it is made a value,
// one wn_closure per value made, the definer's frame made once and handed to each; a frame
// closure called by name inlined with the frame as its last argument; the specialisation's
// body reading what it captures through the frame it receives.
#include <gtest/gtest.h>

#include <string>

#include "compiler/codegen/lower.h"
#include "tests/native/front_modules.h"
#include "tests/native/toolkit_support.h"

namespace wuna::compile {

namespace {

using toolkit_testing::countOf;
using toolkit_testing::irOf;
using toolkit_testing::verify;

constexpr char kSource[] = R"PY(
def pair(a):
    def add(x):
        return x + a
    return (add, add)


def bump(a):
    n = a
    def inc(by):
        nonlocal n
        n = n + by
    inc(1)
    return n


def keeps_rt(node, rt):
    return lambda: rt
)PY";

constexpr uint32_t kScope = 7;
constexpr int32_t kSite = 5;

class ClosuresLower : public toolkit_testing::LoweringTest {
protected:
    ClosuresLower() : LoweringTest(kSource) {}

    // The function read by the front end compiled inline into a new function (ctx, tag,
    // payload) with its one argument the run-time value of the parameters 1 and 2.
    Status compileInline(toolkit_testing::Function* fn, const char* name, Shape* out) {
        front::FunctionIR* f = front(name);
        EXPECT_NE(f, nullptr);
        if (!f) return Status::unsupported;
        fn->addErrorBlock();
        Operand o = constantOperand(&fn->e, 0, 0, KnownKind::unknown);
        o.tag = fn->param(1);
        o.payload = fn->param(2);
        Shape args[1] = {dynShape(o)};
        return inlineHelper(&fn->e, f, f->body, kSite, args, 1, out);
    }

    // The specialisations named with the letter for nested functions used as values.
    size_t valueSpecialisations() {
        size_t n = 0;
        for (size_t i = 0; i < compiler_.helpers.count; i++)
            if (std::string(compiler_.helpers[i]->symbol).rfind("t_l", 0) == 0) n++;
        return n;
    }

    // Compiles every queued specialisation; the IR text of the last one.
    std::string compileQueued() {
        std::string last;
        while (compiler_.helperWorklist.count) {
            HelperSpec* spec = compiler_.helperWorklist[compiler_.helperWorklist.count - 1];
            compiler_.helperWorklist.count--;
            EXPECT_EQ(emitHelperSpec(&compiler_, spec), Status::ok) << message();
            LLVMValueRef fn = LLVMGetNamedFunction(
                reinterpret_cast<LLVMModuleRef>(compiler_.module.module), spec->symbol);
            if (fn) last = irOf(reinterpret_cast<llvmapi::ValueRef>(fn));
        }
        return last;
    }
};

TEST_F(ClosuresLower, TwoValuesOfOneFunctionShareOneSpecialisation) {
    ModuleRecord* m = &compiler_.module;
    toolkit_testing::Function fn(&compiler_, "t_pair", kScope, {m->ptr, m->i64, m->i64});
    Shape out{};
    ASSERT_EQ(compileInline(&fn, "pair", &out), Status::ok) << message();
    ASSERT_EQ(release(&fn.e, out), Status::ok);
    std::string ir = fn.ir();
    EXPECT_EQ(countOf(ir, "call i1 @wn_closure("), 2u) << ir;
    EXPECT_EQ(countOf(ir, "@wn_frame_new("), 1u) << "the definer's frame, made once";
    EXPECT_EQ(countOf(ir, "@wn_closure(ptr %0, i32 5, i64 ptrtoint (ptr @t_k"), 2u)
        << "each value carries the function's descriptor: " << ir;
    EXPECT_EQ(valueSpecialisations(), 1u);
    // The specialisation takes its argument and the frame, and reads the captured parameter
    // through that frame: slot 0, 32 bytes into the frame block.
    std::string body = compileQueued();
    EXPECT_NE(body.find("inttoptr"), std::string::npos) << body;
    EXPECT_NE(body.find("i64 32"), std::string::npos) << body;
    EXPECT_EQ(verify(m), "");
}

TEST_F(ClosuresLower, AFrameClosureCalledByNameIsInlinedWithTheFrame) {
    ModuleRecord* m = &compiler_.module;
    toolkit_testing::Function fn(&compiler_, "t_bump", kScope, {m->ptr, m->i64, m->i64});
    Shape out{};
    ASSERT_EQ(compileInline(&fn, "bump", &out), Status::ok) << message();
    ASSERT_EQ(release(&fn.e, out), Status::ok);
    std::string ir = fn.ir();
    EXPECT_EQ(countOf(ir, "@wn_closure("), 0u) << "no value is made for a call by name";
    EXPECT_EQ(countOf(ir, "@wn_frame_new("), 1u) << ir;
    EXPECT_EQ(valueSpecialisations(), 0u);
    EXPECT_EQ(verify(m), "");
}

TEST_F(ClosuresLower, AFunctionValueKeepingRtIsRefused) {
    ModuleRecord* m = &compiler_.module;
    toolkit_testing::Function fn(&compiler_, "t_keeps_rt", kScope, {m->ptr, m->i64, m->i64});
    front::FunctionIR* f = front("keeps_rt");
    ASSERT_NE(f, nullptr);
    fn.addErrorBlock();
    Shape args[2]{};
    args[0].kind = ShapeKind::none;
    args[1].kind = ShapeKind::rt;
    Shape out{};
    EXPECT_EQ(inlineHelper(&fn.e, f, f->body, kSite, args, 2, &out), Status::unsupported);
    EXPECT_NE(message().find("rt read by a nested function isn't compiled yet"),
              std::string::npos)
        << message();
}

}  // namespace

}  // namespace wuna::compile
