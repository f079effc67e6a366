// The makes-jumps analysis over a module of helpers: which helpers can make a jump of the
// interpreted language, through rt, another helper, a jump class under another name, a
// parameter, a method of the module's classes; that cycles are settled at their first
// function; and that raising an ordinary exception or calling a builtin makes none.
#include <gtest/gtest.h>
#include "compiler/front/jumps.h"

#include <string>

#include "tests/native/front_modules.h"

namespace wuna::front {

namespace {

constexpr char kHelpers[] = R"PY(
import wuna
from wuna import Return
from wuna import Break as Leave


class Walker:
    def step(self, node, rt):
        rt.exec(node)

    def quiet(self, x):
        return x


class Fail(Exception):
    pass


def direct(node, rt):
    raise rt.Return(1)


def through(node, rt):
    return direct(node, rt)


def imported(node, v):
    raise Return(v)


def renamed(node):
    raise Leave()


def module_class(node):
    raise wuna.Continue()


def by_parameter(node, fn):
    return fn(node)


def by_table(table, node):
    return table[node](node)


def unbound(x):
    return not_defined_anywhere(x)


def plain(node, rt):
    return rt.kind(node)


def ordinary(node):
    raise ValueError("bad")


def own_class(node):
    raise Fail("bad")


def error_of(v):
    return ValueError(v)


def made(v):
    raise error_of(v)


def stored(e):
    raise e


def bare():
    try:
        return 1
    except ValueError:
        raise


def in_keyword(rt):
    raise ValueError(rt.eval(1))


def builtin(xs):
    return len(xs)


def constructs(x):
    return Walker()


def steps(obj, node, rt):
    obj.step(node, rt)


def quiet(obj):
    return obj.quiet(1)


def calls_step(node, rt):
    return Walker().step(node, rt)


def self_recursive(n):
    return self_recursive(n - 1) if n else 0


def ping(n):
    return pong(n - 1) if n else 0


def pong(n):
    return ping(n - 1) if n else 0


def tick(n, rt):
    return tock(n - 1, rt) if n else 0


def tock(n, rt):
    if n:
        return tick(n - 1, rt)
    raise rt.Break()


def nested_by_name(node, rt):
    def inner():
        rt.exec(node)
    inner()


def nested_as_value(node, rt):
    g = lambda: rt.exec(node)
    return g


def lambda_in_place(node, rt):
    return (lambda: rt.loop(node))()


def keyword_only(*, a):
    return a


def calls_refused():
    return keyword_only(a=1)


def target_item(rt, d):
    d[rt.eval(1)] = 2


def with_tail(node, rt):
    return rt.tail_call(node)
)PY";

struct Case {
    const char* name;
    bool jumps;
};

class Jumps : public testing_support::WithModule<::testing::TestWithParam<Case>> {
protected:
    Jumps() : WithModule(kHelpers) {}
};

const Case kCases[] = {
    {"direct", true},
    {"through", true},
    {"imported", true},       // from wuna import Return; raise Return(v)
    {"renamed", true},        // a jump class under another name
    {"module_class", true},   // wuna.Continue: the attribute names a jump class of wuna
    {"by_parameter", true},   // a parameter callee is not known while compiling
    {"by_table", true},       // nor is a handler taken from a table
    {"unbound", true},        // nor a global bound neither now nor among the builtins
    {"plain", false},         // rt.kind is no jump, and no class has a kind method
    {"ordinary", false},      // raise ValueError(...)
    {"own_class", false},     // a class of the module that is no jump class
    {"made", true},           // an exception a function made may be a jump
    {"stored", true},         // raise e
    {"bare", true},           // a bare raise may re-raise a caught jump
    {"in_keyword", true},     // the raised call's arguments are walked
    {"builtin", false},
    {"constructs", false},
    {"steps", true},          // Walker.step runs rt.exec
    {"quiet", false},
    {"calls_step", true},
    {"self_recursive", false},
    {"ping", false},
    {"tick", true},
    {"nested_by_name", true},
    {"nested_as_value", false},  // a closure made, not called, runs nothing
    {"lambda_in_place", true},
    {"calls_refused", true},     // a function the front end refuses runs as Python
    {"target_item", true},       // expressions inside assignment targets
    {"with_tail", true},
};

TEST_P(Jumps, Answers) {
    FunctionIR* ir = front(GetParam().name);
    ASSERT_NE(ir, nullptr) << message();
    bool jumps = !GetParam().jumps;
    ASSERT_EQ(makesJumps(&compiler_, ir, &jumps), Status::ok);
    EXPECT_EQ(jumps, GetParam().jumps);
    EXPECT_EQ(compiler_.jumpDepth, 0u);
    EXPECT_EQ(compiler_.jumpsOpen.used, 0u);
}

INSTANTIATE_TEST_SUITE_P(Helpers, Jumps, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

class JumpCycles : public testing_support::WithModule<::testing::Test> {
protected:
    JumpCycles() : WithModule(kHelpers) {}
    bool settled(const FunctionIR* ir) {
        return compiler_.jumpsDone.find(uint64_t(reinterpret_cast<uintptr_t>(ir))) != nullptr;
    }
};

TEST_F(JumpCycles, PlainRecursionIsSettledAtOnce) {
    FunctionIR* f = front("self_recursive");
    ASSERT_NE(f, nullptr);
    bool jumps = true;
    ASSERT_EQ(makesJumps(&compiler_, f, &jumps), Status::ok);
    EXPECT_FALSE(jumps);
    EXPECT_TRUE(settled(f));
}

TEST_F(JumpCycles, AFalseAnswerInsideACycleWaitsForTheCyclesFirstFunction) {
    FunctionIR* ping = front("ping");
    FunctionIR* pong = front("pong");
    ASSERT_TRUE(ping && pong);
    bool jumps = true;
    ASSERT_EQ(makesJumps(&compiler_, ping, &jumps), Status::ok);
    EXPECT_FALSE(jumps);
    EXPECT_TRUE(settled(ping));
    EXPECT_FALSE(settled(pong));
    jumps = true;
    ASSERT_EQ(makesJumps(&compiler_, pong, &jumps), Status::ok);
    EXPECT_FALSE(jumps);
    EXPECT_TRUE(settled(pong));
}

TEST_F(JumpCycles, ATrueAnswerInsideACycleIsFinal) {
    FunctionIR* tick = front("tick");
    FunctionIR* tock = front("tock");
    ASSERT_TRUE(tick && tock);
    bool jumps = false;
    ASSERT_EQ(makesJumps(&compiler_, tick, &jumps), Status::ok);
    EXPECT_TRUE(jumps);
    EXPECT_TRUE(settled(tick));
    EXPECT_TRUE(settled(tock));
}

TEST_F(JumpCycles, AMethodSearchIsKeptPerNamespaceAndName) {
    FunctionIR* f = front("steps");
    ASSERT_NE(f, nullptr);
    bool jumps = false;
    ASSERT_EQ(methodJumps(&compiler_, f, Text{"step", 4}, &jumps), Status::ok);
    EXPECT_TRUE(jumps);
    ASSERT_EQ(methodJumps(&compiler_, f, Text{"nothing_has_this", 16}, &jumps), Status::ok);
    EXPECT_FALSE(jumps);
    EXPECT_EQ(compiler_.methodJumps.used, 2u);
}

TEST(JumpNames, AreComparedByteForByte) {
    EXPECT_TRUE(isJumpName(Text{"tail_call", 9}));
    EXPECT_TRUE(isJumpName(Text{"Return", 6}));
    EXPECT_FALSE(isJumpName(Text{"return", 6}));
    EXPECT_FALSE(isJumpName(Text{"Returns", 7}));
    EXPECT_FALSE(isJumpName(Text{"Throw", 5}));
}

constexpr char kReturns[] = R"PY(
def in_handler(x):
    try:
        pass
    except ValueError:
        return 1


def in_else(x):
    for i in x:
        pass
    else:
        return 2


def in_nested_only(x):
    def g():
        return 3
    g()


def none(x):
    raise ValueError(x)
)PY";

class Returns : public testing_support::WithModule<::testing::Test> {
protected:
    Returns() : WithModule(kReturns) {}
};

TEST_F(Returns, AreFoundInHandlersAndElseListsButNotInNestedFunctions) {
    const std::pair<const char*, bool> cases[] = {
        {"in_handler", true}, {"in_else", true}, {"in_nested_only", false}, {"none", false}};
    for (auto [name, expected] : cases) {
        FunctionIR* ir = front(name);
        ASSERT_NE(ir, nullptr) << name;
        EXPECT_EQ(containsReturn(ir->body), expected) << name;
    }
}

}  // namespace

}  // namespace wuna::front
