// Call expressions compiled, loaded and run through the code engine, where a later argument
// fails after earlier values were handed to a consumer (the run-time argument list, a spread
// tuple's copies, print's flush=) or while they wait for it (a record's fields while a later
// field's default factory runs): the failing run must release every value exactly once.
// The value is a Python object the test holds, so its reference count shows a value released
// twice (one reference short) or never (one too many). A run-time argument list may also fail
// at its own append or extend where list methods are not in the build: that failure comes
// after the values were handed over too.
#include <gtest/gtest.h>

#include <string>

#include "compiler/codegen/lower.h"
#include "tests/native/front_modules.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

using namespace toolkit_testing;

constexpr char kSource[] = R"PY(
import dataclasses


class Token:
    pass


token = Token()


class Picker:
    def __call__(self):
        return token


class Lister:
    def __call__(self):
        return [1, 2]


class Boomer:
    def __call__(self):
        raise ValueError("boom")


class Taker:
    def __call__(self, *args):
        return len(args)


picker = Picker()
taker = Taker()
lister = Lister()
boomer = Boomer()


@dataclasses.dataclass
class Defaulted:
    x: object
    y: object = dataclasses.field(default_factory=boomer)


def run_list_then_fail(): return taker(picker(), *lister(), boomer())
def run_list_append_then_fail(): return taker(*lister(), picker(), boomer())
def spread_tuple_then_fail(): return taker(*(picker(),), boomer())
def flush_then_fail(): return print(1, flush=picker(), end=boomer())
def run_list_fits(): return taker(picker(), *lister())
def field_then_failing_factory(): return Defaulted(picker())
)PY";

class CallsRun : public EngineFixture<testing_support::WithModule<::testing::Test>> {
protected:
    CallsRun() : EngineFixture(kSource) {}

    // The expression the function returns.
    const front::Expr* returned(const char* name) {
        front::FunctionIR* ir = front(name);
        EXPECT_NE(ir, nullptr) << name;
        if (!ir) return nullptr;
        for (uint64_t i = 0; i < ir->body.count; i++)
            if (ir->body.items[i].kind == front::StmtKind::return_)
                return ir->body.items[i].return_;
        return nullptr;
    }

    // Compiles the function's returned expression and runs it: "ok", "failed", or the
    // refusal's text.
    std::string run(const char* name) {
        OwnedState owned;
        driver::Compiled* state = owned.state;
        if (!state) return "<no state>";
        Compiler* c = &state->compiler;
        c->frontCache = &cache_;  // record classes are read through it
        std::string symbol = symbolOf(state, "_e");
        const front::Expr* expr = returned(name);
        if (!expr) return "<no expression>";
        {
            Function f(c, symbol.c_str(), 7, {c->module.ptr, c->module.ptr});
            f.addErrorBlock();
            Semantic* s = newSemantic(c, front(name), 0, 3);
            EXPECT_TRUE(f.e.semantics.push(s));
            Shape shape;
            Status st = emitExpr(&f.e, s, expr, &shape);
            EXPECT_EQ(f.e.temporaries.count, 0u) << "the live values are put back";
            if (st != Status::ok) {
                endSemantic(s);
                return refusal(c);
            }
            Operand o;
            EXPECT_EQ(materialize(&f.e, shape, 3, &o), Status::ok);
            EXPECT_EQ(storeOperand(&f.e, f.param(1), &o), Status::ok);
            endSemantic(s);
        }
        auto fn = reinterpret_cast<bool (*)(void*, value::Value*)>(loadAndFind(state, symbol));
        if (!fn) return "<not loaded>";
        RunContext run(c);
        value::Value v = value::Value::none();
        std::string out = fn(&run.ctx, &v) ? "ok" : "failed: ";
        if (out != "ok")
            out.append(reinterpret_cast<const char*>(run.ctx.message.data), run.ctx.message.length);
        if (out == "ok") value::decref(v);
        PyErr_Clear();
        return out;
    }
};

struct Handed {
    const char* function;
    const char* outcome;  // how the run begins: "ok" or "failed"; null when either is right
};

class HandedValues : public CallsRun, public ::testing::WithParamInterface<Handed> {};

TEST_P(HandedValues, AreReleasedOnceWhenALaterArgumentFails) {
    PyObject* token = global("token");
    Py_ssize_t before = Py_REFCNT(token);
    std::string outcome = run(GetParam().function);
    if (GetParam().outcome) {
        EXPECT_EQ(outcome.rfind(GetParam().outcome, 0), 0u) << outcome;
    }
    EXPECT_EQ(Py_REFCNT(token), before) << "the token's references after the run";
}

INSTANTIATE_TEST_SUITE_P(Calls, HandedValues,
                         ::testing::Values(Handed{"run_list_then_fail", "failed"},
                                           Handed{"run_list_append_then_fail", "failed"},
                                           Handed{"spread_tuple_then_fail", "failed"},
                                           Handed{"flush_then_fail", "failed"},
                                           Handed{"run_list_fits", nullptr},
                                           Handed{"field_then_failing_factory", "failed"}),
                         [](const auto& info) { return std::string(info.param.function); });

}  // namespace

}  // namespace wuna::compile
