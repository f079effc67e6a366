// Nested functions, lambdas and the closure analysis as the code generator reads them: each
// function's qualname, parameter counts, locals (own parameters, the unnamed slot, captured
// names, then the body's), which locals live in its frame and at which slot, and how a frame
// closure reaches what it captures. One row: a semantic's source and every function of its
// reading, in pre-order, written as one line each.
#include <gtest/gtest.h>

#include <string>

#include "compiler/front/front.h"
#include "tests/native/python_test_support.h"

namespace wuna::front {

namespace {

std::string text(Text t) { return std::string(t.data, t.length); }

// Appends the items joined by commas.
template <typename Item>
void joined(std::string& out, uint64_t count, Item item) {
    for (uint64_t i = 0; i < count; i++) {
        if (i) out += ',';
        out += item(i);
    }
}

// "<qualname> params=P/R locals=a,b,,k captured=k frame=k#3:0/1 needs closure refs=0.0":
// frame lists each local in the frame with its index and frame slot.
std::string describe(const FunctionIR& f) {
    std::string out = text(f.qualname);
    out += " params=";
    out += std::to_string(f.paramCount);
    out += '/';
    out += std::to_string(f.requiredCount);
    out += " locals=";
    joined(out, f.locals.count, [&](uint64_t i) { return text(f.locals.items[i]); });
    if (f.captured.count) {
        out += " captured=";
        joined(out, f.captured.count, [&](uint64_t i) { return text(f.captured.items[i]); });
    }
    if (f.frameSlotCount) {
        out += " frame=";
        std::string slots;
        for (uint64_t i = 0; i < f.frameSlots.count; i++) {
            if (!f.frameSlots.items[i].inFrame) continue;
            if (!slots.empty()) slots += ',';
            slots += text(f.locals.items[i]);
            slots += '#';
            slots += std::to_string(i);
            slots += ':';
            slots += std::to_string(f.frameSlots.items[i].index);
        }
        out += slots;
        out += '/';
        out += std::to_string(f.frameSlotCount);
    }
    if (f.needsFrame) out += " needs";
    if (f.frameClosure) out += " closure refs=";
    joined(out, f.captureRefs.count, [&](uint64_t i) {
        const CaptureRef& ref = f.captureRefs.items[i];
        return std::to_string(ref.depth) + "." + std::to_string(ref.slot);
    });
    return out;
}

void describeAll(const FunctionIR& f, std::string* out) {
    *out += describe(f);
    *out += '\n';
    for (uint64_t i = 0; i < f.nested.count; i++) describeAll(*f.nested.items[i], out);
}

struct Case {
    const char* name;
    const char* source;
    const char* expected;
};

class FrontClosures : public testing_support::WithHelpers<::testing::TestWithParam<Case>> {
protected:
    FrontClosures() : WithHelpers(testing_support::kFunctionLoader) {}
    // The reading of f in source: ok with *out, else the status (failure filled).
    Status read(const char* source, FunctionIR** out, Failure* failure) {
        PyObject* src = PyUnicode_FromString(source);
        PyObject* fn = call("load", src);
        Py_DECREF(src);
        if (!fn) return Status::pythonError;
        Status s = lowerFunction(out, fn, failure);
        Py_DECREF(fn);
        return s;
    }
};

const Case kCases[] = {
    {"LambdaIsAFrameClosure",
     "def f(node, rt):\n    k = 2\n    g = lambda x: x * k\n    return g(1)\n",
     "f params=2/2 locals=node,rt,k,g frame=k#2:0/1 needs\n"
     "f.<locals>.<lambda> params=2/2 locals=x,,k captured=k closure refs=0.0\n"},
    {"DefCalledByNameTakesArguments",
     "def f(node, rt):\n    k = 2\n    def h(x):\n        return x + k\n    return h(1)\n",
     "f params=2/2 locals=node,rt,k\n"
     "f.<locals>.h params=3/3 locals=x,,k captured=k\n"},
    {"ALambdaOnTheSameVariableMakesTheDefAFrameClosureToo",
     "def f(node, rt):\n    k = 2\n    def h(x):\n        return x + k\n"
     "    g = lambda: k\n    return h(1) + g()\n",
     "f params=2/2 locals=node,rt,k,g frame=k#2:0/1 needs\n"
     "f.<locals>.h params=2/2 locals=x,,k captured=k closure refs=0.0\n"
     "f.<locals>.<lambda> params=1/1 locals=,k captured=k closure refs=0.0\n"},
    {"NonlocalMakesAFrameClosure",
     "def f(node, rt):\n    n = 0\n    def inc():\n        nonlocal n\n        n += 1\n"
     "    inc()\n    return n\n",
     "f params=2/2 locals=node,rt,n frame=n#2:0/1 needs\n"
     "f.<locals>.inc params=1/1 locals=,n captured=n closure refs=0.0\n"},
    {"ALambdaInsideANestedDefReachesTwoFramesOut",
     "def f(node, rt):\n    x = 1\n    def g():\n        lam = lambda: x\n        return lam()\n"
     "    return g()\n",
     "f params=2/2 locals=node,rt,x frame=x#2:0/1 needs\n"
     "f.<locals>.g params=1/1 locals=,x,lam captured=x needs closure refs=0.0\n"
     "f.<locals>.g.<locals>.<lambda> params=1/1 locals=,x captured=x closure refs=1.0\n"},
    {"ADefTakesOverWhatTheDefItCallsCaptures",
     "def f(node, rt):\n    k = 1\n    def g(a):\n        return a + k\n"
     "    def h():\n        return g(1)\n    return h()\n",
     "f params=2/2 locals=node,rt,k\n"
     "f.<locals>.g params=3/3 locals=a,,k captured=k\n"
     "f.<locals>.h params=2/2 locals=,k captured=k\n"},
    {"ANameDefinedAfterTheDefIsStillCaptured",
     "def f(node, rt):\n    def g():\n        return late\n    late = 3\n    return g()\n",
     "f params=2/2 locals=node,rt,late\n"
     "f.<locals>.g params=2/2 locals=,late captured=late\n"},
    {"AssigningWithoutNonlocalMakesAnOwnLocal",
     "def f(node, rt):\n    k = 1\n    def g():\n        k = 2\n        return k\n"
     "    return g()\n",
     "f params=2/2 locals=node,rt,k\n"
     "f.<locals>.g params=1/1 locals=,k\n"},
    {"AMiddleFunctionCapturesForItsInnerOne",
     "def f(node, rt):\n    v = 1\n    def g():\n        def h():\n            return v\n"
     "        return h()\n    return g()\n",
     "f params=2/2 locals=node,rt,v\n"
     "f.<locals>.g params=2/2 locals=,v captured=v\n"
     "f.<locals>.g.<locals>.h params=2/2 locals=,v captured=v\n"},
    {"ARecursiveDefDoesNotCaptureItself",
     "def f(node, rt):\n    def g(n):\n        return g(n - 1) if n else 0\n    return g(3)\n",
     "f params=2/2 locals=node,rt\n"
     "f.<locals>.g params=2/2 locals=n,\n"},
    {"ADefReadAsAValueIsAFrameClosure",
     "def f(node, rt):\n    k = 1\n    def g():\n        return k\n    return g\n",
     "f params=2/2 locals=node,rt,k frame=k#2:0/1 needs\n"
     "f.<locals>.g params=1/1 locals=,k captured=k closure refs=0.0\n"},
    {"SlotsInPreOrderAndCaptureOrder",
     "def f(node, rt):\n    a = b = 1\n    g = lambda: b + a\n    h = lambda: a\n"
     "    return g, h\n",
     "f params=2/2 locals=node,rt,a,b,g,h frame=a#2:1,b#3:0/2 needs\n"
     "f.<locals>.<lambda> params=1/1 locals=,b,a captured=b,a closure refs=0.0,0.1\n"
     "f.<locals>.<lambda> params=1/1 locals=,a captured=a closure refs=0.1\n"},
    // A lambda in a comprehension captures the comprehension's variable, not the function's
    // variable of the same name: its own slot goes into the frame.
    {"ALambdaInAComprehensionCapturesItsVariable",
     "def f(node, rt):\n    x = 5\n    fs = [lambda: x for x in range(3)]\n    return fs\n",
     "f params=2/2 locals=node,rt,x,fs,x frame=x#4:0/1 needs\n"
     "f.<locals>.<lambda> params=1/1 locals=,x captured=x closure refs=0.0\n"},
    // A name declared global in a function between the def and its caller is not taken
    // over: the inner function reads the global, and captures nothing.
    {"AGlobalInBetweenIsNotTakenOver",
     "def f(node, rt):\n    k = 1\n    def g():\n        return k\n    def h():\n"
     "        global k\n        def m():\n            return (g, k)\n        return m\n"
     "    return h\n",
     "f params=2/2 locals=node,rt,k frame=k#2:0/1 needs\n"
     "f.<locals>.g params=1/1 locals=,k captured=k closure refs=0.0\n"
     "f.<locals>.h params=1/1 locals= needs closure refs=\n"
     "f.<locals>.h.<locals>.m params=1/1 locals= closure refs=\n"},
    {"NoNestedFunctionsNoFrame", "def f(node, rt):\n    x = 1\n    return x\n",
     "f params=2/2 locals=node,rt,x\n"},
};

TEST_P(FrontClosures, ReadsAsExpected) {
    FunctionIR* ir = nullptr;
    Failure failure{};
    Status s = read(GetParam().source, &ir, &failure);
    ASSERT_EQ(s, Status::ok) << std::string(failure.text, failure.length);
    std::string out;
    describeAll(*ir, &out);
    EXPECT_EQ(out, GetParam().expected);
    freeFunction(ir);
}

INSTANTIATE_TEST_SUITE_P(Functions, FrontClosures, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

}  // namespace wuna::front
