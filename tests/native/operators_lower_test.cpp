// The operator emitters, compiled, loaded through the code engine and run against the running
// interpreter: binary operators on run-time operands of every kind (small ints overflowing
// into big ints or IntegerOverflow, floats, strs, mixes, division by zero with Python's text),
// the small-int fast paths' floor rules, unary operators, comparisons (str constants, ints
// beyond 64 bits, identity with None and bools, kinds that don't compare), augmented
// assignment changing lists in place, wrapping arithmetic, byte readers, the big-int check and
// type keys; and what is folded while compiling (errors left to run time). Every run also
// checks that the code drops exactly the references it was given (the pool's live blocks).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "tests/native/backend_test_support.h"
#include "tests/native/helper_outcomes.h"
#include "tests/native/python_values.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using compile::KnownKind;
using compile::Operand;
using compile::Shape;
using compile::ShapeKind;
using front::BinaryOp;
using front::CompareOp;
using front::UnaryOp;
using helpers::Ctx;
using value::Value;
const llvmapi::Table& T = llvmapi::table;

constexpr uint32_t kProgramFunction = 9;
constexpr int32_t kSite = 3;

const char* const kBinarySymbols[] = {"+", "-", "*", "/", "//", "%", "**", "<<", ">>", "|", "^", "&"};
const char* const kCompareSymbols[] = {"==", "!=", "<", "<=", ">", ">=", "is", "is not", "in",
                                       "not in"};

// A function <name>(ctx, left tag, left payload, right tag, right payload, out) -> i1: the
// test's body turns the two values into shapes and stores the result into out; a failure
// returns false.
struct Pair : Function {
    llvmapi::BasicBlockRef error;
    compile::Semantic* s;
    Pair(compile::Compiler* c, const char* name)
        : Function(c, name, kProgramFunction,
                   {c->module.ptr, c->module.i64, c->module.i64, c->module.i64, c->module.i64,
                    c->module.ptr}) {
        error = T.LLVMAppendBasicBlockInContext(m->context, fn, "error");
        llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(m->context);
        T.LLVMPositionBuilderAtEnd(b, error);
        T.LLVMBuildRet(b, T.LLVMConstInt(m->i1, 0, 0));
        T.LLVMDisposeBuilder(b);
        e.errorTarget = error;
        s = compile::newSemantic(c, nullptr, 0, kSite);
    }
    ~Pair() { compile::endSemantic(s); }
    Shape left(KnownKind kind = KnownKind::unknown) { return dyn(1, kind); }
    Shape right(KnownKind kind = KnownKind::unknown) { return dyn(3, kind); }
    Shape dyn(unsigned first, KnownKind kind) {
        Operand o{};
        o.tag = param(first);
        o.payload = param(first + 1);
        o.functionNode = compile::kNoFunctionNode;
        o.kind = kind;
        return compile::dynShape(o);
    }
    void store(const Shape& result) {
        Operand o;
        ASSERT_EQ(compile::materialize(&e, result, kSite, &o), Status::ok);
        compile::storeWord(&e, o.tag, param(5));
        compile::storeWord(&e, o.payload, compile::slotPayload(&e, param(5)));
    }
};

using Body = std::function<void(Pair&)>;
using Fn = bool (*)(void*, int64_t, int64_t, int64_t, int64_t, Value*);

Shape strShape(const char* text) {
    Shape s{};
    s.kind = ShapeKind::str;
    s.str = front::Text{text, strlen(text)};
    return s;
}

Shape intShape(int64_t v, ShapeKind kind = ShapeKind::pint) {
    Shape s{};
    s.kind = kind;
    s.int_ = v;
    return s;
}

// eval() prints and clears what it raised; the expected side needs the exception itself.
PyObject* evalRaising(const std::string& expression) {
    return PyRun_String(expression.c_str(), Py_eval_input, testing_support::namespaceDict(),
                        testing_support::namespaceDict());
}

Shape tupleShape(Shape* items, uint64_t count) {
    Shape s{};
    s.kind = ShapeKind::tuple;
    s.tuple.items = items;
    s.tuple.count = count;
    return s;
}

using ShapeOf = std::function<Shape(Pair&)>;

// A body comparing the shapes the two makers give, storing the result.
Body comparing(CompareOp op, ShapeOf left, ShapeOf right) {
    return [op, left, right](Pair& f) {
        Shape l = left(f), r = right(f), out;
        ASSERT_EQ(compile::emitCompare(&f.e, f.s, op, &l, &r, 0, &out), Status::ok);
        f.store(out);
    };
}

class Lowering : public toolkit_testing::EngineFixture<testing_support::WithPython> {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        savedHooks = convert::hooks;
        convert::hooks.makeProxy = testing_support::copyProxy;
        helpers::findLibm();
        ctx = Ctx{};
        ctx.conversion = *convert::defaultContext();
    }
    void TearDown() override {
        helpers::endCtx(&ctx);
        EXPECT_EQ(pool::liveBlocks(), start) << "the compiled code leaked or freed twice";
        for (driver::Compiled* s : states) driver::Compiled::free(s);
        convert::hooks = savedHooks;
        // Interned literals and module constants are the compiler's, not the run's.
        start = pool::liveBlocks();
        EngineFixture::TearDown();
    }

    // Compiles each body into one function of one module and loads it.
    std::vector<Fn> build(const std::vector<Body>& bodies, std::string* ir = nullptr) {
        driver::Compiled* s = newState();
        states.push_back(s);
        std::vector<std::string> names;
        for (size_t i = 0; i < bodies.size(); i++) {
            names.push_back(symbolOf(s, ("_op" + std::to_string(i)).c_str()));
            Pair f(&s->compiler, names.back().c_str());
            bodies[i](f);
            if (ir) *ir += f.ir();
        }
        std::vector<Fn> fns;
        uint64_t first = loadAndFind(s, names[0]);
        fns.push_back(reinterpret_cast<Fn>(first));
        for (size_t i = 1; i < names.size(); i++)
            fns.push_back(reinterpret_cast<Fn>(s->engine->symbolAddress(names[i].c_str())));
        for (Fn f : fns) EXPECT_NE(f, nullptr);
        // What the run itself leaves behind is what the leak check counts.
        start = pool::liveBlocks();
        return fns;
    }

    // The native value of a Python expression; "I(...)" makes a checked int (tag 2).
    static Value operand(const std::string& expression) {
        bool checked = expression.rfind("I(", 0) == 0;
        PyObject* o = testing_support::eval(plain(expression));
        Value v = testing_support::fromPython(o);
        Py_DECREF(o);
        if (checked && v.tag == value::TagPint) v.tag = value::TagInt;
        return v;
    }

    static std::string plain(const std::string& expression) {
        return expression.rfind("I(", 0) == 0 ? expression.substr(2, expression.size() - 3)
                                              : expression;
    }

    std::string failureMessage() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }

    // Runs fn on the two values (their references given to it) and compares with Python's
    // expression; checked: an int result beyond 64 bits must be "integer overflow".
    void expectRun(Fn fn, const std::string& left, const std::string& right,
                   const std::string& expression, bool checked = false) {
        Value l = operand(left), r = operand(right);
        Value out{};
        bool ok = fn(&ctx, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                     int64_t(r.payload), &out);
        expectSame(expression, ok, out, checked);
    }

    void expectSame(const std::string& expression, bool ok, Value out, bool checked) {
        PyObject* expected = evalRaising(expression);
        if (!expected) {
            testing_support::expectPythonError(&ctx, expression + ": " + failureMessage(), ok,
                                               out);
            helpers::clearError(&ctx);
            return;
        }
        if (checked && PyLong_CheckExact(expected)) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(expected, &overflow);
            if (overflow) {
                Py_DECREF(expected);
                EXPECT_FALSE(ok) << expression << ": expected integer overflow";
                if (ok) value::decref(out);
                EXPECT_EQ(failureMessage(), "integer overflow") << expression;
                EXPECT_TRUE(ctx.kindSet && ctx.kind == uint8_t(errors::Kind::IntegerOverflow));
                helpers::clearError(&ctx);
                return;
            }
        }
        testing_support::expectOutcome(&ctx, expression, ok, out, expected, true);
    }

    Ctx ctx{};
    convert::Hooks savedHooks;
    std::vector<driver::Compiled*> states;
};

std::string binaryText(BinaryOp op, const std::string& l, const std::string& r) {
    return "(" + l + ") " + kBinarySymbols[uint8_t(op)] + " (" + r + ")";
}

std::string compareText(CompareOp op, const std::string& l, const std::string& r) {
    return "(" + l + ") " + kCompareSymbols[uint8_t(op)] + " (" + r + ")";
}

// Operands whose power would take Python long: a big exponent of a base beyond 1.
bool slowPower(const std::string& left, const std::string& right) {
    bool bigExponent = right.find("**6") != std::string::npos;
    return bigExponent && left != "0" && left != "1" && left != "-1";
}

const char* const kValues[] = {
    "0",     "1",      "-7",         "7",     "2",      "-1",     "2**63-1", "-2**63",
    "2**62", "I(5)",   "I(2**63-1)", "I(-2**63)", "I(-1)", "2**64", "2.5",  "-0.0",
    "1e308", "'ab'",   "''",         "True",  "None",   "(1, 2)", "[1]",
};

// --- binary operators --------------------------------------------------------------------------

TEST_F(Lowering, EveryBinaryOperatorOnRunTimeValuesGivesPythonsValueOrError) {
    std::vector<Body> bodies;
    for (uint8_t op = 0; op < front::kBinaryOpCount; op++)
        bodies.push_back([op](Pair& f) {
            Shape l = f.left(), r = f.right(), out;
            ASSERT_EQ(compile::emitBinary(&f.e, f.s, BinaryOp(op), &l, &r, 0, &out), Status::ok);
            f.store(out);
        });
    std::vector<Fn> fns = build(bodies);
    for (uint8_t op = 0; op < front::kBinaryOpCount; op++)
        for (const char* a : kValues)
            for (const char* b : kValues) {
                if (op == uint8_t(BinaryOp::pow) && slowPower(plain(a), plain(b))) continue;
                // A checked int in a list or tuple repetition is Python's own business.
                bool checked = std::string(a).rfind("I(", 0) == 0 ||
                               std::string(b).rfind("I(", 0) == 0;
                if (checked && op == uint8_t(BinaryOp::pow)) continue;
                expectRun(fns[op], a, b, binaryText(BinaryOp(op), plain(a), plain(b)), checked);
            }
}

TEST_F(Lowering, KnownIntsTakeTheFastPathsWithPythonsFloorRulesAndOverflow) {
    const BinaryOp ops[] = {BinaryOp::add, BinaryOp::sub, BinaryOp::mul, BinaryOp::floordiv,
                            BinaryOp::mod};
    std::vector<Body> bodies;
    for (BinaryOp op : ops)
        bodies.push_back([op](Pair& f) {
            Shape l = f.left(KnownKind::int_), r = f.right(KnownKind::int_), out;
            ASSERT_EQ(compile::emitBinary(&f.e, f.s, op, &l, &r, 0, &out), Status::ok);
            // A plain int may grow: the joined result promises nothing.
            EXPECT_EQ(out.dyn.kind, KnownKind::unknown);
            f.store(out);
        });
    std::string ir;
    std::vector<Fn> fns = build(bodies, &ir);
    EXPECT_NE(ir.find("llvm.smul.with.overflow.i64"), std::string::npos);
    EXPECT_NE(ir.find("int_div"), std::string::npos);
    const char* ints[] = {"-7", "7", "2", "-2", "0", "1", "-1", "3", "2**63-1", "-2**63", "2**62",
                          "I(-7)", "I(2)", "I(-2**63)", "I(2**63-1)", "I(-1)", "I(0)"};
    for (size_t i = 0; i < std::size(ops); i++)
        for (const char* a : ints)
            for (const char* b : ints) {
                bool checked = std::string(a).rfind("I(", 0) == 0 ||
                               std::string(b).rfind("I(", 0) == 0;
                expectRun(fns[i], a, b, binaryText(ops[i], plain(a), plain(b)), checked);
            }
}

TEST_F(Lowering, ResultKindsPromiseOnlyWhatEveryValueIs) {
    struct Case {
        BinaryOp op;
        KnownKind left, right, result;
    };
    const Case cases[] = {
        {BinaryOp::bitor_, KnownKind::int_, KnownKind::int_, KnownKind::int_},
        {BinaryOp::rshift, KnownKind::int_, KnownKind::int_, KnownKind::int_},
        {BinaryOp::lshift, KnownKind::int_, KnownKind::int_, KnownKind::unknown},
        {BinaryOp::div, KnownKind::int_, KnownKind::int_, KnownKind::unknown},
        {BinaryOp::pow, KnownKind::int_, KnownKind::int_, KnownKind::unknown},
        {BinaryOp::mul, KnownKind::int_, KnownKind::float_, KnownKind::float_},
        {BinaryOp::mod, KnownKind::float_, KnownKind::float_, KnownKind::float_},
        // (-8.0) ** 0.5 is a complex number.
        {BinaryOp::pow, KnownKind::float_, KnownKind::float_, KnownKind::unknown},
        {BinaryOp::pow, KnownKind::int_, KnownKind::float_, KnownKind::unknown},
        {BinaryOp::add, KnownKind::str, KnownKind::str, KnownKind::unknown},
    };
    std::vector<Body> bodies;
    for (const Case& c : cases)
        bodies.push_back([c](Pair& f) {
            Shape l = f.left(c.left), r = f.right(c.right), out;
            ASSERT_EQ(compile::emitBinary(&f.e, f.s, c.op, &l, &r, 0, &out), Status::ok);
            EXPECT_EQ(out.dyn.kind, c.result) << kBinarySymbols[uint8_t(c.op)];
            f.store(out);
        });
    std::vector<Fn> fns = build(bodies);
    expectRun(fns[7], "-8.0", "0.5", "(-8.0) ** 0.5");
    expectRun(fns[8], "-8", "0.5", "(-8) ** 0.5");
}

TEST_F(Lowering, ConstantsFoldAndAFoldThatRaisesIsLeftToRunTime) {
    struct Case {
        Shape left, right;
        BinaryOp op;
        ShapeKind folded;  // dyn: compiled for run time
        const char* expression;
    };
    const Case cases[] = {
        {intShape(3), intShape(4), BinaryOp::add, ShapeKind::pint, "3 + 4"},
        {strShape("ab"), intShape(3), BinaryOp::mul, ShapeKind::str, "'ab' * 3"},
        {intShape(2), intShape(64), BinaryOp::pow, ShapeKind::py, "2 ** 64"},
        {intShape(1), intShape(0), BinaryOp::div, ShapeKind::dyn, "1 / 0"},
        {intShape(7), intShape(0), BinaryOp::mod, ShapeKind::dyn, "7 % 0"},
        {strShape("a"), intShape(1), BinaryOp::sub, ShapeKind::dyn, "'a' - 1"},
        {intShape(1), intShape(-1), BinaryOp::lshift, ShapeKind::dyn, "1 << -1"},
    };
    std::vector<Body> bodies;
    for (const Case& c : cases)
        bodies.push_back([c](Pair& f) {
            Shape l = c.left, r = c.right, out;
            ASSERT_EQ(compile::emitBinary(&f.e, f.s, c.op, &l, &r, 0, &out), Status::ok);
            EXPECT_EQ(out.kind, c.folded) << c.expression;
            EXPECT_EQ(PyErr_Occurred(), nullptr) << c.expression;
            f.store(out);
        });
    std::string ir;
    std::vector<Fn> fns = build(bodies, &ir);
    for (size_t i = 0; i < std::size(cases); i++) {
        Value out{};
        bool ok = fns[i](&ctx, 0, 0, 0, 0, &out);
        expectSame(cases[i].expression, ok, out, false);
    }
    EXPECT_EQ(countOf(ir, "call i1 @wn_binary"), 4u) << "only the folds that raised call it";
}

// A semantic that divides by zero fails the run with the reference mode's words, whatever
// Python calls the error; a handler reading the exception still finds Python's text.
TEST_F(Lowering, DivisionByZeroFailsTheRunWithTheReferenceModesWords) {
    struct Case {
        BinaryOp op;
        KnownKind kind;
        const char *left, *right;
    };
    const Case cases[] = {
        {BinaryOp::floordiv, KnownKind::unknown, "7", "0"},
        {BinaryOp::mod, KnownKind::int_, "7", "0"},
        {BinaryOp::floordiv, KnownKind::int_, "I(7)", "I(0)"},
        {BinaryOp::div, KnownKind::unknown, "1.5", "0"},
        {BinaryOp::mod, KnownKind::unknown, "2**100", "0"},
        {BinaryOp::floordiv, KnownKind::unknown, "1.0", "0.0"},
        {BinaryOp::pow, KnownKind::unknown, "0.0", "-1"},
    };
    std::vector<Body> bodies;
    for (const Case& c : cases)
        bodies.push_back([c](Pair& f) {
            Shape l = f.left(c.kind), r = f.right(c.kind), out;
            ASSERT_EQ(compile::emitBinary(&f.e, f.s, c.op, &l, &r, 0, &out), Status::ok);
            f.store(out);
        });
    std::vector<Fn> fns = build(bodies);
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case& c = cases[i];
        std::string expression = binaryText(c.op, plain(c.left), plain(c.right));
        Value l = operand(c.left), r = operand(c.right), out{};
        bool ok = fns[i](&ctx, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                         int64_t(r.payload), &out);
        EXPECT_EQ(failureMessage(), "division by zero") << expression;
        ASSERT_EQ(evalRaising(expression), nullptr) << expression;
        testing_support::expectPythonError(&ctx, expression, ok, out);
        helpers::clearError(&ctx);
    }
}

// --- unary operators ---------------------------------------------------------------------------

TEST_F(Lowering, UnaryOperatorsOnRunTimeValuesAndTheNegationOfTheSmallestInt) {
    const UnaryOp ops[] = {UnaryOp::neg, UnaryOp::pos, UnaryOp::invert};
    const char* symbols[] = {"-", "+", "~"};
    std::vector<Body> bodies;
    for (UnaryOp op : ops) {
        bodies.push_back([op](Pair& f) {
            Shape v = f.left(), out;
            ASSERT_EQ(compile::emitUnary(&f.e, f.s, op, &v, 0, &out), Status::ok);
            f.store(out);
        });
        bodies.push_back([op](Pair& f) {
            Shape v = f.left(KnownKind::int_), out;
            ASSERT_EQ(compile::emitUnary(&f.e, f.s, op, &v, 0, &out), Status::ok);
            // -(-2**63) of a plain int is a big int.
            EXPECT_EQ(out.dyn.kind, op == UnaryOp::neg ? KnownKind::unknown : KnownKind::int_);
            f.store(out);
        });
    }
    std::vector<Fn> fns = build(bodies);
    const char* values[] = {"0", "5", "-2**63", "2**63-1", "I(-2**63)", "I(4)", "2**64",
                            "2.5", "-0.0", "'a'", "True", "None", "[1]"};
    const char* ints[] = {"0", "5", "-2**63", "2**63-1", "I(-2**63)", "I(4)"};
    for (size_t i = 0; i < std::size(ops); i++) {
        for (const char* v : values)
            expectRun(fns[2 * i], v, "0", std::string(symbols[i]) + "(" + plain(v) + ")",
                      std::string(v).rfind("I(", 0) == 0);
        for (const char* v : ints)
            expectRun(fns[2 * i + 1], v, "0", std::string(symbols[i]) + "(" + plain(v) + ")",
                      std::string(v).rfind("I(", 0) == 0);
    }
}

TEST_F(Lowering, UnaryConstantsFoldAndInvertingAFloatRaisesWhenRun) {
    std::vector<Body> bodies;
    bodies.push_back([](Pair& f) {
        Shape v = intShape(5), out;
        ASSERT_EQ(compile::emitUnary(&f.e, f.s, UnaryOp::neg, &v, 0, &out), Status::ok);
        ASSERT_EQ(out.kind, ShapeKind::pint);
        EXPECT_EQ(out.int_, -5);
        f.store(out);
    });
    bodies.push_back([](Pair& f) {
        Shape v{}, out;
        v.kind = ShapeKind::float_;
        v.float_ = 2.5;
        ASSERT_EQ(compile::emitUnary(&f.e, f.s, UnaryOp::invert, &v, 0, &out), Status::ok);
        EXPECT_EQ(out.kind, ShapeKind::dyn);
        EXPECT_EQ(PyErr_Occurred(), nullptr);
        f.store(out);
    });
    std::vector<Fn> fns = build(bodies);
    Value out{};
    expectSame("-5", fns[0](&ctx, 0, 0, 0, 0, &out), out, false);
    expectSame("~2.5", fns[1](&ctx, 0, 0, 0, 0, &out), out, false);
}

// --- comparisons -------------------------------------------------------------------------------

TEST_F(Lowering, ComparisonsOfRunTimeValuesIncludingKindsThatDontCompare) {
    std::vector<Body> bodies;
    for (uint8_t op = 0; op < front::kCompareOpCount; op++)
        bodies.push_back([op](Pair& f) {
            Shape l = f.left(), r = f.right(), out;
            ASSERT_EQ(compile::emitCompare(&f.e, f.s, CompareOp(op), &l, &r, 0, &out),
                      Status::ok);
            EXPECT_EQ(out.dyn.kind, KnownKind::bool_);
            f.store(out);
        });
    std::vector<Fn> fns = build(bodies);
    const char* values[] = {"0", "1", "-7", "2**63-1", "2**64", "2.5", "float('nan')", "'ab'",
                            "'b'", "True", "None", "(1, 2)", "[1]", "I(1)"};
    for (uint8_t op = 0; op < front::kCompareOpCount; op++) {
        if (op == uint8_t(CompareOp::is) || op == uint8_t(CompareOp::isNot)) continue;
        for (const char* a : values)
            for (const char* b : values)
                expectRun(fns[op], a, b, compareText(CompareOp(op), plain(a), plain(b)));
    }
}

TEST_F(Lowering, KnownSmallIntsCompareInOneInstruction) {
    std::string ir;
    std::vector<Fn> fns = build({[](Pair& f) {
                                    Shape l = f.left(KnownKind::int_),
                                          r = f.right(KnownKind::int_), out;
                                    ASSERT_EQ(compile::emitCompare(&f.e, f.s, CompareOp::lt, &l,
                                                                   &r, 0, &out),
                                              Status::ok);
                                    f.store(out);
                                }},
                                &ir);
    EXPECT_EQ(ir.find("wn_compare"), std::string::npos) << ir;
    EXPECT_NE(ir.find("icmp slt"), std::string::npos) << ir;
    expectRun(fns[0], "-3", "2", "-3 < 2");
    expectRun(fns[0], "I(5)", "2", "5 < 2");
}

TEST_F(Lowering, AValueAgainstStrConstantsIsComparedByLengthAndBytes) {
    static Shape texts[3] = {strShape("a"), strShape("bc"), strShape("")};
    std::string ir;
    auto value = [](Pair& f) { return f.left(); };
    auto right = [](Pair& f) { return f.right(); };
    auto text = [](Pair&) { return strShape("abcdefghij"); };
    auto tuple = [](Pair&) { return tupleShape(texts, 3); };
    std::vector<Fn> fns = build({comparing(CompareOp::eq, value, text),
                                 comparing(CompareOp::ne, text, right),
                                 comparing(CompareOp::in, value, tuple),
                                 comparing(CompareOp::notIn, value, tuple)},
                                &ir);
    EXPECT_NE(ir.find("str_bytes"), std::string::npos);
    const char* values[] = {"'abcdefghij'", "'abcdefghiX'", "'Xbcdefghij'", "'abc'", "'a'",
                            "'bc'",         "''",           "'b'",          "1",     "[1]",
                            "None"};
    for (const char* v : values) {
        expectRun(fns[0], v, "0", std::string(v) + " == 'abcdefghij'");
        expectRun(fns[1], "0", v, std::string("'abcdefghij' != ") + v);
        expectRun(fns[2], v, "0", std::string(v) + " in ('a', 'bc', '')");
        expectRun(fns[3], v, "0", std::string(v) + " not in ('a', 'bc', '')");
    }
}

TEST_F(Lowering, SmallIntsAgainstAnIntBeyond64BitsNeedNoHelper) {
    PyObject* big = testing_support::eval("10**30");
    PyObject* negative = testing_support::eval("-10**30");
    struct Case {
        CompareOp op;
        bool bigLeft;
        PyObject* constant;
        const char* text;
    };
    const Case cases[] = {
        {CompareOp::lt, false, big, "10**30"},      {CompareOp::eq, false, big, "10**30"},
        {CompareOp::ne, false, big, "10**30"},      {CompareOp::gt, true, big, "10**30"},
        {CompareOp::ge, false, negative, "-10**30"}, {CompareOp::le, true, negative, "-10**30"},
    };
    std::vector<Body> bodies;
    for (const Case& c : cases)
        bodies.push_back([c](Pair& f) {
            Shape v = f.left(), k{}, out;
            k.kind = ShapeKind::py;
            k.py = c.constant;
            Shape* l = c.bigLeft ? &k : &v;
            Shape* r = c.bigLeft ? &v : &k;
            ASSERT_EQ(compile::emitCompare(&f.e, f.s, c.op, l, r, 0, &out), Status::ok);
            f.store(out);
        });
    std::string ir;
    std::vector<Fn> fns = build(bodies, &ir);
    EXPECT_NE(ir.find("big_int"), std::string::npos);
    for (size_t i = 0; i < std::size(cases); i++)
        for (const char* v : {"5", "-5", "I(7)", "2.5", "10**30", "'a'"}) {
            std::string n = plain(v), k = cases[i].text;
            std::string sym = kCompareSymbols[uint8_t(cases[i].op)];
            expectRun(fns[i], v, "0",
                      cases[i].bigLeft ? k + " " + sym + " " + n : n + " " + sym + " " + k);
        }
    Py_DECREF(big);
    Py_DECREF(negative);
}

TEST_F(Lowering, IdentityWithNoneAndBoolsIsATagTest) {
    std::string ir;
    std::vector<Fn> fns =
        build({comparing(CompareOp::is, [](Pair& f) { return f.left(); },
                         [](Pair&) { return compile::noneShape(); }),
               comparing(CompareOp::isNot, [](Pair&) { return compile::ops::boolShape(true); },
                         [](Pair& f) { return f.right(); })},
              &ir);
    EXPECT_EQ(ir.find("wn_compare"), std::string::npos) << ir;
    for (const char* v : {"None", "True", "False", "1", "0", "'a'", "[1]"}) {
        expectRun(fns[0], v, "0", std::string("(lambda x: x is None)(") + v + ")");
        expectRun(fns[1], "0", v, std::string("(lambda x: True is not x)(") + v + ")");
    }
}

TEST_F(Lowering, ComparisonsOfConstantsFoldAndOnesThatRaiseRunLater) {
    static Shape texts[2] = {strShape("x"), strShape("yz")};
    struct Case {
        Shape left, right;
        CompareOp op;
        ShapeKind kind;
        const char* expression;
    };
    Shape tuple{};
    tuple.kind = ShapeKind::tuple;
    tuple.tuple.items = texts;
    tuple.tuple.count = 2;
    const Case cases[] = {
        {intShape(3), intShape(5), CompareOp::lt, ShapeKind::bool_, "3 < 5"},
        {strShape("yz"), tuple, CompareOp::in, ShapeKind::bool_, "'yz' in ('x', 'yz')"},
        {intShape(1), tuple, CompareOp::notIn, ShapeKind::bool_, "1 not in ('x', 'yz')"},
        {compile::noneShape(), compile::noneShape(), CompareOp::is, ShapeKind::bool_,
         "None is None"},
        {intShape(1), strShape("a"), CompareOp::lt, ShapeKind::dyn, "1 < 'a'"},
        {tuple, intShape(2), CompareOp::ge, ShapeKind::dyn, "('x', 'yz') >= 2"},
    };
    std::vector<Body> bodies;
    for (const Case& c : cases)
        bodies.push_back([c](Pair& f) {
            Shape l = c.left, r = c.right, out;
            ASSERT_EQ(compile::emitCompare(&f.e, f.s, c.op, &l, &r, 0, &out), Status::ok);
            EXPECT_EQ(out.kind, c.kind) << c.expression;
            EXPECT_EQ(PyErr_Occurred(), nullptr);
            f.store(out);
        });
    std::vector<Fn> fns = build(bodies);
    for (size_t i = 0; i < std::size(cases); i++) {
        Value out{};
        bool ok = fns[i](&ctx, 0, 0, 0, 0, &out);
        expectSame(cases[i].expression, ok, out, false);
    }
}

// --- augmented assignment ----------------------------------------------------------------------

TEST_F(Lowering, AugmentedAssignmentChangesAListInPlaceAndAddsInts) {
    std::vector<Fn> fns = build({[](Pair& f) {
        Shape l = f.left(), r = f.right(), out;
        ASSERT_EQ(compile::emitInplace(&f.e, f.s, BinaryOp::add, &l, &r, 0, &out), Status::ok);
        EXPECT_EQ(out.dyn.kind, KnownKind::unknown);
        f.store(out);
    }});
    Value list = operand("[1, 2]");
    value::incref(list);  // the test keeps its own
    Value more = operand("[3]");
    Value out{};
    ASSERT_TRUE(fns[0](&ctx, int64_t(list.tag), int64_t(list.payload), int64_t(more.tag),
                       int64_t(more.payload), &out));
    EXPECT_EQ(out.payload, list.payload) << "the same list";
    EXPECT_EQ(list.as<value::List>()->count, 3u);
    value::decref(out);
    value::decref(list);
    for (const char* a : {"2**63-1", "I(2**63-1)", "1", "2.5", "'a'", "(1,)"})
        for (const char* b : {"1", "2.5", "'b'", "(2,)"})
            expectRun(fns[0], a, b, "(" + plain(a) + ") + (" + plain(b) + ")",
                      std::string(a).rfind("I(", 0) == 0);
    // A Python object changes in place too (its own __iadd__).
    testing_support::run("class Acc:\n    def __init__(self): self.n = 0\n"
                         "    def __iadd__(self, k):\n        self.n += k\n        return self\n"
                         "acc = Acc()\n");
    Value acc = operand("acc");
    Value one = operand("1");
    ASSERT_TRUE(fns[0](&ctx, int64_t(acc.tag), int64_t(acc.payload), int64_t(one.tag),
                       int64_t(one.payload), &out));
    EXPECT_EQ(out.payload, acc.payload);
    value::decref(out);
    PyObject* n = testing_support::eval("acc.n");
    EXPECT_EQ(PyLong_AsLong(n), 1);
    Py_DECREF(n);
}

TEST_F(Lowering, KnownTuplesAndIntsTakeNoInPlaceRoute) {
    std::string ir;
    build({[](Pair& f) {
              Shape l = f.left(KnownKind::int_), r = f.right(), out;
              ASSERT_EQ(compile::emitInplace(&f.e, f.s, BinaryOp::add, &l, &r, 0, &out),
                        Status::ok);
              f.store(out);
          },
          [](Pair& f) {
              Shape l = f.left(KnownKind::tuple), r = f.right(), out;
              ASSERT_EQ(compile::emitInplace(&f.e, f.s, BinaryOp::add, &l, &r, 0, &out),
                        Status::ok);
              f.store(out);
          }},
          &ir);
    EXPECT_EQ(ir.find("wn_inplace"), std::string::npos);
}

// --- wrapping arithmetic, byte readers ---------------------------------------------------------

TEST_F(Lowering, WrappingArithmeticWrapsInlineAndFailsForOtherValuesWithItsTypeError) {
    std::vector<Body> bodies;
    for (uint8_t op = 0; op < 6; op++)
        bodies.push_back([op](Pair& f) {
            Shape l = f.left(), r = f.right(), out;
            ASSERT_EQ(compile::emitWrapping(&f.e, f.s, op, &l, &r, &out), Status::ok);
            f.store(out);
        });
    std::vector<Fn> fns = build(bodies);
    testing_support::run(
        "def wrap(v):\n    v &= (1 << 64) - 1\n    return v - (1 << 64) if v >> 63 else v\n"
        "wrappings = [lambda a, b: wrap(a + b), lambda a, b: wrap(a - b),\n"
        "             lambda a, b: wrap(a * b), lambda a, b: wrap(a << (b & 63)),\n"
        "             lambda a, b: a >> (b & 63), lambda a, b: wrap((a % (1 << 64)) >> (b & 63))]\n");
    const char* ints[] = {"2**63-1", "1", "-2**63", "-8", "-1", "60", "64", "65", "I(3)", "0"};
    for (uint8_t op = 0; op < 6; op++)
        for (const char* a : ints)
            for (const char* b : ints)
                expectRun(fns[op], a, b,
                          "wrappings[" + std::to_string(op) + "](" + plain(a) + ", " + plain(b) +
                              ")");
    // Not an int of 64 bits: the helper's TypeError, and both operands dropped.
    for (const char* other : {"2.5", "'a'", "True", "2**64"}) {
        Value l = operand(other), r = operand("1");
        Value out{};
        EXPECT_FALSE(fns[0](&ctx, int64_t(l.tag), int64_t(l.payload), int64_t(r.tag),
                            int64_t(r.payload), &out))
            << other;
        EXPECT_EQ(failureMessage(), "rt.wrapping_add() takes ints of 64 bits") << other;
        helpers::clearError(&ctx);
    }
}

TEST_F(Lowering, WrappingConstantsFoldButABoolDoesNot) {
    Shape out;
    std::vector<Fn> fns = build({[&out](Pair& f) {
        Shape l = intShape(INT64_MAX), r = intShape(1);
        ASSERT_EQ(compile::emitWrapping(&f.e, f.s, 0, &l, &r, &out), Status::ok);
        Shape b = compile::ops::boolShape(true), one = intShape(1), notFolded;
        ASSERT_EQ(compile::emitWrapping(&f.e, f.s, 0, &b, &one, &notFolded), Status::ok);
        EXPECT_EQ(notFolded.kind, ShapeKind::dyn);
        f.store(notFolded);
    }});
    ASSERT_EQ(out.kind, ShapeKind::pint);
    EXPECT_EQ(out.int_, INT64_MIN);
    Value v{};
    EXPECT_FALSE(fns[0](&ctx, 0, 0, 0, 0, &v));
    EXPECT_EQ(failureMessage(), "rt.wrapping_add() takes ints of 64 bits");
    helpers::clearError(&ctx);
}

TEST_F(Lowering, ByteReadersReadInlineAndLeaveTheRestToTheHelper) {
    std::vector<Body> bodies;
    for (uint8_t reader = 0; reader < 14; reader++)
        bodies.push_back([reader](Pair& f) {
            Shape d = f.left(), o = f.right(), out;
            ASSERT_EQ(compile::emitByteRead(&f.e, f.s, reader, &d, &o, &out), Status::ok);
            f.store(out);
        });
    std::string ir;
    std::vector<Fn> fns = build(bodies, &ir);
    EXPECT_NE(ir.find("llvm.bswap.i16"), std::string::npos);
    const char* formats[] = {"<B", "<b", "<H", ">H", "<h", ">h", "<I", ">I",
                             "<i", ">i", "<Q", ">Q", "<q", ">q"};
    testing_support::run("import struct\n"
                         "def reads(fmt, data, i):\n"
                         "    if type(i) is not int: raise TypeError('offset')\n"
                         "    if i < 0 or i + struct.calcsize(fmt) > len(data): raise IndexError\n"
                         "    return struct.unpack_from(fmt, data, i)[0]\n");
    const char* data = "b'\\x12\\x34\\xff\\x80\\x01\\x02\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff'";
    for (uint8_t reader = 0; reader < 14; reader++)
        for (const char* offset : {"0", "1", "2", "5", "6", "12", "13", "14", "-1", "I(2)"}) {
            Value d = operand(data), o = operand(offset);
            Value out{};
            bool ok = fns[reader](&ctx, int64_t(d.tag), int64_t(d.payload), int64_t(o.tag),
                                  int64_t(o.payload), &out);
            PyObject* expected = evalRaising(std::string("reads('") + formats[reader] + "', " +
                                             data + ", " + plain(offset) + ")");
            std::string shown = std::string(formats[reader]) + " at " + offset;
            if (expected) {
                testing_support::expectOutcome(&ctx, shown, ok, out, expected);
            } else {
                PyErr_Clear();
                EXPECT_FALSE(ok) << shown << ": expected a failure";
                if (ok) value::decref(out);
                helpers::clearError(&ctx);
            }
        }
    // A value that is no buffer: the helper's error, the operands dropped.
    Value s = operand("'abc'"), zero = operand("0");
    Value out{};
    EXPECT_FALSE(fns[0](&ctx, int64_t(s.tag), int64_t(s.payload), int64_t(zero.tag),
                        int64_t(zero.payload), &out));
    helpers::clearError(&ctx);
}

// --- ints that may be big, type keys -----------------------------------------------------------

TEST_F(Lowering, IntsFromPythonBecomeCheckedIntsOrFailWithIntegerOverflow) {
    std::vector<Fn> fns = build({[](Pair& f) {
        Shape v = f.left(), out;
        ASSERT_EQ(compile::emitBigIntCheck(&f.e, &v, kSite, &out), Status::ok);
        f.store(out);
    }});
    for (const char* v : {"5", "2**63-1", "-2**63", "I(3)", "2.5", "True", "'a'"}) {
        Value x = operand(v);
        Value out{};
        ASSERT_TRUE(fns[0](&ctx, int64_t(x.tag), int64_t(x.payload), 0, 0, &out)) << v;
        uint64_t expectedTag = x.tag == value::TagPint ? value::TagInt : x.tag;
        EXPECT_EQ(out.tag, expectedTag) << v;
        EXPECT_EQ(out.payload, x.payload) << v;
        value::decref(out);
    }
    for (const char* v : {"2**63", "-2**63-1", "2**100"}) {
        Value x = operand(v);
        Value out{};
        EXPECT_FALSE(fns[0](&ctx, int64_t(x.tag), int64_t(x.payload), 0, 0, &out)) << v;
        EXPECT_EQ(failureMessage(), "integer overflow") << v;
        helpers::clearError(&ctx);
    }
}

TEST_F(Lowering, KnownIntsAreCheckedWithoutCodeAndABigConstantFailsWhereItRuns) {
    PyObject* big = testing_support::eval("2**64");
    std::string ir;
    Shape small;
    std::vector<Fn> fns = build({[&](Pair& f) {
                                    Shape five = intShape(5), known{};
                                    ASSERT_EQ(compile::emitBigIntCheck(&f.e, &five, kSite, &small),
                                              Status::ok);
                                    known.kind = ShapeKind::py;
                                    known.py = big;
                                    Shape out;
                                    ASSERT_EQ(compile::emitBigIntCheck(&f.e, &known, kSite, &out),
                                              Status::ok);
                                    EXPECT_EQ(out.kind, ShapeKind::none);
                                    f.store(out);
                                }},
                                &ir);
    EXPECT_EQ(small.kind, ShapeKind::int_);
    EXPECT_EQ(small.int_, 5);
    Value out{};
    EXPECT_FALSE(fns[0](&ctx, 0, 0, 0, 0, &out));
    EXPECT_EQ(failureMessage(), "integer overflow");
    helpers::clearError(&ctx);
    Py_DECREF(big);
}

TEST_F(Lowering, TypeKeysTellIntsFromCheckedIntsAndBigIntsAreInts) {
    std::vector<Fn> fns = build({[](Pair& f) {
        Shape v = f.left();
        llvmapi::ValueRef key, python;
        ASSERT_EQ(compile::ops::emitTypeKey(&f.e, v.dyn, &key, &python), Status::ok);
        Operand k = compile::constantOperand(&f.e, value::TagPint, 0, KnownKind::int_);
        k.payload = key;
        f.store(compile::dynShape(k));
        ASSERT_EQ(compile::release(&f.e, v), Status::ok);
    }});
    struct Case {
        const char* value;
        uint64_t key;
    };
    const Case cases[] = {{"5", value::TagPint},      {"I(5)", value::TagInt},
                          {"2**64", value::TagPint},  {"True", value::TagBool},
                          {"2.5", value::TagFloat},   {"'a'", value::TagStr},
                          {"None", value::TagNone},   {"(1,)", value::TagTuple},
                          {"[1]", value::TagList},    {"b'x'", 0x10000000Eull}};
    for (const Case& c : cases) {
        Value x = operand(c.value);
        if (x.tag == value::TagBytes) x.as<value::Bytes>()->h.flags |= value::FlagImmutable;
        Value out{};
        ASSERT_TRUE(fns[0](&ctx, int64_t(x.tag), int64_t(x.payload), 0, 0, &out));
        EXPECT_EQ(out.payload, c.key) << c.value;
    }
}

// --- tail calls, fresh frames, type comparisons -------------------------------------------------

// A program function's exits as its emitter knows them: the result slot (parameter 5) and a
// "return" block that returns true.
void programExits(Pair& f) {
    f.e.resultPointer = f.param(5);
    f.e.returnBlock = T.LLVMAppendBasicBlockInContext(f.m->context, f.fn, "return");
    llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(f.m->context);
    T.LLVMPositionBuilderAtEnd(b, f.e.returnBlock);
    T.LLVMBuildRet(b, T.LLVMConstInt(f.m->i1, 1, 0));
    T.LLVMDisposeBuilder(b);
}

TEST_F(Lowering, ATailCallParksTheCallAndLeavesWithTheMarker) {
    bool ended = false;
    std::string ir;
    std::vector<Fn> fns = build({[&ended](Pair& f) {
                                    programExits(f);
                                    Shape callee = f.left(), args = f.right(), receiver = intShape(7);
                                    ASSERT_EQ(compile::emitRtTailCall(&f.e, f.s, &callee, &args,
                                                                      &receiver),
                                              Status::ok);
                                    ended = f.s->ended;
                                    // Code after the call is unreachable: it would fail.
                                    Shape one = intShape(1), zero = intShape(0), out;
                                    ASSERT_EQ(compile::emitBinary(&f.e, f.s, BinaryOp::div, &one,
                                                                  &zero, 0, &out),
                                              Status::ok);
                                    f.store(out);
                                }},
                                &ir);
    EXPECT_TRUE(ended) << "the statements after it are not compiled";
    EXPECT_NE(ir.find("after_tail_call"), std::string::npos);
    Value callee = operand("'f'"), args = operand("[1, 2]");
    Value out{};
    ASSERT_TRUE(fns[0](&ctx, int64_t(callee.tag), int64_t(callee.payload), int64_t(args.tag),
                       int64_t(args.payload), &out));
    EXPECT_EQ(out.tag, value::TagTail);
    EXPECT_EQ(ctx.tailCallee.payload, callee.payload);
    EXPECT_EQ(ctx.tailArgs.payload, args.payload);
    EXPECT_EQ(ctx.tailHasReceiver, 1);
    EXPECT_EQ(ctx.tailReceiver.payload, 7u);
    // The run context holds the only references left.
    EXPECT_EQ(callee.as<value::Str>()->h.count, 1u);
    wn_tail_clear(&ctx);
}

TEST_F(Lowering, ATailCallOutOfAHelperThatMakesNoJumpsFailsWhenItRuns) {
    std::vector<Fn> fns = build({[](Pair& f) {
        f.e.modes.jumpsAsFailures = 1;
        Shape callee = f.left(), args = f.right();
        ASSERT_EQ(compile::emitRtTailCall(&f.e, f.s, &callee, &args, nullptr), Status::ok);
    }});
    Value callee = operand("'f'"), args = operand("()");
    Value out{};
    EXPECT_FALSE(fns[0](&ctx, int64_t(callee.tag), int64_t(callee.payload), int64_t(args.tag),
                        int64_t(args.payload), &out));
    EXPECT_EQ(failureMessage(), "wuna: a jump (rt.Return, rt.Break, rt.Continue, rt.tail_call) "
                                "out of a helper compiled as one that makes none");
    helpers::clearError(&ctx);
    wn_tail_clear(&ctx);
}

TEST_F(Lowering, ATailCallInsideARunTimeLoopIsRefused) {
    backend_testing::Bare bare("t_tail_loop");
    Pair f(&bare.c, "t_tail_loop_f");
    programExits(f);
    ASSERT_TRUE(f.e.rtLoops.push(compile::RtLoopEntry{}));
    Shape callee = f.left(), args = f.right();
    EXPECT_EQ(compile::emitRtTailCall(&f.e, f.s, &callee, &args, nullptr), Status::unsupported);
    std::string message(bare.c.message.items, bare.c.message.count);
    EXPECT_NE(message.find("rt.tail_call inside a loop or try isn't compiled yet"),
              std::string::npos)
        << message;
}

TEST_F(Lowering, FreshOnANodeThatIsNoBlockScopeDoesNothing) {
    backend_testing::Bare bare("t_fresh");
    Pair f(&bare.c, "t_fresh_f");
    EXPECT_EQ(compile::emitRtFresh(&f.e, f.s, 5), Status::ok);
    EXPECT_EQ(f.ir().find("wn_frame_new"), std::string::npos);
}

TEST_F(Lowering, OnlyIsAndIsNotOfATypeCallAreTypeComparisons) {
    backend_testing::Bare bare("t_type_cmp");
    Pair f(&bare.c, "t_type_cmp_f");
    front::Expr none{}, local{};
    none.kind = front::ExprKind::none;
    local.kind = front::ExprKind::local;
    Shape out;
    bool handled = true;
    ASSERT_EQ(compile::emitTypeCompare(&f.e, f.s, CompareOp::eq, &local, &none, 0, &out,
                                       &handled),
              Status::ok);
    EXPECT_FALSE(handled);
    handled = true;
    ASSERT_EQ(compile::emitTypeCompare(&f.e, f.s, CompareOp::is, &local, &none, 0, &out,
                                       &handled),
              Status::ok);
    EXPECT_FALSE(handled) << "no type(...) on either side";
    EXPECT_EQ(f.ir().find("call"), std::string::npos) << "nothing emitted";
}

}  // namespace
}  // namespace wuna
