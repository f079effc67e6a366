// The builtin lowering over calls of builtins known while compiling, compiled into a function
// of its own, loaded and run through the code engine, and compared with the running
// interpreter: the same value, or an exception of the same type and text. Arguments are either
// constants (the call folded while compiling, or compiled for run time when it raised) or
// values known only at run time (passed in). Also: what is folded and what is not (hash of a
// str, a huge pow), the containers made while compiling, small ranges, zip and enumerate only
// where iterated at once, the math table's argument counts, and native host functions called
// directly or through their Python call.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "compiler/codegen/calls_shared.h"
#include "host/language/native_host.h"
#include "tests/native/front_modules.h"
#include "tests/native/helper_outcomes.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/stubs.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

using namespace toolkit_testing;

constexpr char kFixture[] = R"PY(
import math
import os
import struct
import sys
import zlib


def caller():
    return 0
)PY";

constexpr int32_t kSite = 3;
const front::Position kAt = front::makePosition(4, 9);

// One argument: a Python expression, passed as a constant or as a run-time value of the known
// kind given.
struct Arg {
    const char* python;
    bool runTime;
    KnownKind kind = KnownKind::unknown;
};

class BuiltinLowering : public LoweringTest {
protected:
    BuiltinLowering() : LoweringTest(kFixture) {}
    void TearDown() override {
        for (PyObject* o : held_) Py_XDECREF(o);
        held_.clear();
        LoweringTest::TearDown();
    }

    PyObject* eval(const char* expression) {
        PyObject* r = PyRun_String(expression, Py_eval_input, module_, module_);
        EXPECT_NE(r, nullptr) << expression;
        if (!r) PyErr_Print();
        held_.push_back(r);
        return r;
    }

    // "value: <repr>" or "<Type>: <text>" of callee(*args) in the interpreter.
    std::string python(const char* callee, const std::vector<Arg>& args) {
        std::string text = std::string(callee) + "(";
        for (size_t i = 0; i < args.size(); i++) text += (i ? ", " : "") + std::string(args[i].python);
        text += ")";
        PyObject* r = PyRun_String(text.c_str(), Py_eval_input, module_, module_);
        if (r) {
            std::string out = "value: " + testing_support::pyRepr(r);
            Py_DECREF(r);
            return out;
        }
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyErr_NormalizeException(&type, &value, &trace);
        std::string out = std::string(reinterpret_cast<PyTypeObject*>(type)->tp_name) + ": " +
                          testing_support::pyStr(value);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        return out;
    }

    // The call compiled through the call lowering of a Python object (which hands builtins to
    // lowerBuiltin first) and run. marked: the call is iterated at once.
    std::string run(const char* callee, const std::vector<Arg>& args, std::string* ir = nullptr,
                    bool marked = false) {
        OwnedState owned;
        driver::Compiled* state = owned.state;
        if (!state) return "<no state>";
        Compiler* c = &state->compiler;
        std::string name = symbolOf(state, "_b");
        PyObject* fn = eval(callee);
        std::vector<value::Value> values;
        std::string refused;
        {
            Function f(c, name.c_str(), 7, {c->module.ptr, c->module.ptr, c->module.ptr});
            f.addErrorBlock();
            Semantic* s = newSemantic(c, front("caller"), 0, kSite);
            EXPECT_TRUE(f.e.semantics.push(s));
            std::vector<Shape> shapes;
            for (size_t i = 0; i < args.size(); i++) {
                PyObject* o = eval(args[i].python);
                Shape shape;
                if (!args[i].runTime) {
                    EXPECT_EQ(pinObject(c, o, nullptr), Status::ok);
                    EXPECT_EQ(fromPython(c, o, &shape), Status::ok);
                } else {
                    value::Value v;
                    EXPECT_EQ(convert::convert(o, true, &v), 0);
                    values.push_back(v);
                    Operand x{};
                    x.tag = loadWord(&f.e, byteOffset(&f.e, f.param(2), i * 16));
                    x.payload = loadWord(&f.e, byteOffset(&f.e, f.param(2), i * 16 + 8));
                    x.functionNode = kNoFunctionNode;
                    x.kind = args[i].kind;
                    shape = dynShape(x);
                }
                shapes.push_back(shape);
            }
            front::Expr callee{}, call{};
            callee.kind = front::ExprKind::global;
            call.kind = front::ExprKind::call;
            call.position = kAt;
            call.call.callee = &callee;
            IteratedAtOnce mark(&f.e, marked ? &call : nullptr);
            Shape out;
            Status st = calls::lowerCall(&f.e, s, fn, shapes.data(), shapes.size(), kAt, &out);
            if (st == Status::ok) {
                Operand o;
                EXPECT_EQ(materialize(&f.e, out, kSite, &o), Status::ok);
                EXPECT_EQ(storeOperand(&f.e, f.param(1), &o), Status::ok);
            } else {
                refused = refusal(c);
                PyErr_Clear();
            }
            endSemantic(s);
            if (ir) *ir = f.ir();
            freeInlineState(&f.e.inlining);
        }
        if (!refused.empty()) {
            for (value::Value v : values) value::decref(v);
            return refused;
        }
        auto code =
            reinterpret_cast<bool (*)(void*, value::Value*, value::Value*)>(loadAndFind(state, name));
        if (!code) return "<not loaded>";
        RunContext run(c);
        helpers::Ctx& ctx = run.ctx;
        value::Value result = value::Value::none();
        helpers::clearUnavailable();
        std::string out;
        if (code(&ctx, &result, values.data())) {
            auto saved = convert::hooks;
            convert::hooks.makeProxy = testing_support::copyProxy;
            PyObject* py = convert::toPython(result, &ctx.conversion);
            convert::hooks = saved;
            out = "value: " + testing_support::pyRepr(py);
            Py_XDECREF(py);
            value::decref(result);
        } else if (const char* missing = helpers::unavailableHelper()) {
            out = std::string("<unavailable: ") + missing + ">";
        } else {
            PyObject* failure = testing_support::failureObject(&ctx);
            // A host call's failure is the run's message naming the host (no exception kind).
            out = failure ? std::string(Py_TYPE(failure)->tp_name) + ": " +
                                testing_support::pyStr(failure)
                          : "message: " + std::string(reinterpret_cast<const char*>(
                                                          ctx.message.data),
                                                      ctx.message.length);
            Py_XDECREF(failure);
        }
        PyErr_Clear();
        // The run-time arguments were handed to the code as owned operands: it released them.
        return out;
    }

    // lowerBuiltin alone over constant arguments: whether it handled the call and the shape.
    bool handledConstant(const char* callee, const std::vector<const char*>& args, Shape* out,
                         std::string* ir = nullptr) {
        Compiler* c = &compiler_;
        static int n = 0;
        std::string symbol = "fold_" + std::to_string(n++);
        Function f(c, symbol.c_str(), 7, {c->module.ptr});
        Semantic* s = newSemantic(c, front("caller"), 0, kSite);
        EXPECT_TRUE(f.e.semantics.push(s));
        std::vector<Shape> shapes;
        for (const char* a : args) {
            PyObject* o = eval(a);
            Shape shape;
            EXPECT_EQ(pinObject(c, o, nullptr), Status::ok);
            EXPECT_EQ(fromPython(c, o, &shape), Status::ok);
            shapes.push_back(shape);
        }
        bool handled = false;
        EXPECT_EQ(lowerBuiltin(&f.e, s, eval(callee), shapes.data(), shapes.size(), kAt, &handled,
                               out),
                  Status::ok)
            << message();
        endSemantic(s);
        if (ir) *ir = f.ir();
        return handled;
    }

    std::vector<PyObject*> held_;
};

// --- run against the interpreter ---------------------------------------------------------

struct Case {
    const char* label;
    const char* callee;
    std::vector<Arg> args;
    const char* helper;  // the helper the compiled call must name, or null
};

const Case kCases[] = {
    {"int_of_str", "int", {{"'42'", true}}, "wn_builtin"},
    {"int_of_bad_str", "int", {{"'4x'", true}}, "wn_builtin"},
    {"int_of_bad_constant", "int", {{"'4x'", false}}, "wn_builtin"},
    {"int_base_known", "int", {{"'ff'", true}, {"16", false}}, "wn_int_base"},
    {"int_base_zero", "int", {{"'0x1f'", true}, {"0", false}}, "wn_int_base"},
    {"int_base_run_time", "int", {{"'ff'", true}, {"16", true}}, "wn_int_base_of"},
    {"int_base_bad", "int", {{"'19'", true}, {"8", false}}, "wn_int_base"},
    {"int_base_out_of_range", "int", {{"'1'", true}, {"37", false}}, "wn_call_python"},
    {"float_of_str", "float", {{"'1e3'", true}}, "wn_builtin"},
    {"float_of_bad_str", "float", {{"'x'", true}}, "wn_builtin"},
    {"str_of_float", "str", {{"3.5", true}}, "wn_builtin"},
    {"abs_of_int", "abs", {{"-7", true}}, "wn_builtin"},
    {"abs_of_float", "abs", {{"-2.5", true}}, "wn_builtin"},
    {"abs_of_str", "abs", {{"'a'", true}}, "wn_builtin"},
    {"bool_of_empty_str", "bool", {{"''", true}}, "wn_builtin"},
    {"bool_of_int", "bool", {{"3", true}}, "wn_builtin"},
    {"chr_of_int", "chr", {{"955", true}}, "wn_builtin"},
    {"chr_out_of_range", "chr", {{"-1", true}}, "wn_builtin"},
    {"ord_of_char", "ord", {{"'λ'", true}}, "wn_builtin"},
    {"ord_of_two_chars", "ord", {{"'ab'", true}}, "wn_builtin"},
    {"repr_of_str", "repr", {{"'a\\'b'", true}}, "wn_builtin"},
    {"min_of_ints", "min", {{"3", true}, {"1", true}, {"2", false}}, "wn_min_max"},
    {"max_of_strs", "max", {{"'a'", true}, {"'b'", true}}, "wn_min_max"},
    {"min_of_mixed", "min", {{"1", true}, {"'a'", true}}, "wn_min_max"},
    {"sum_of_tuple", "sum", {{"(1, 2, 3)", true}}, "wn_call_python"},
    {"round_to_places", "round", {{"2.675", true}, {"2", true}}, "wn_call_python"},
    {"round_of_float", "round", {{"2.5", true}}, "wn_call_python"},
    {"hash_of_str", "hash", {{"'abc'", false}}, "wn_call_python"},
    {"float_hex", "float.hex", {{"1.5", true}}, "wn_float_hex"},
    {"set_of_str", "set", {{"'aa'", true}}, "wn_to_set"},
    {"math_sqrt", "math.sqrt", {{"2.0", true}}, "wn_math"},
    {"math_sqrt_domain", "math.sqrt", {{"-1.0", true}}, "wn_math"},
    {"math_sqrt_of_str", "math.sqrt", {{"'x'", true}}, "wn_math"},
    {"math_log_domain", "math.log", {{"0.0", false}}, "wn_math"},
    {"math_isnan", "math.isnan", {{"float('nan')", true}}, "wn_math"},
    {"math_modf", "math.modf", {{"2.5", true}}, "wn_math"},
    {"math_pow", "math.pow", {{"2.0", true}, {"10", true}}, "wn_math"},
    {"math_atan2", "math.atan2", {{"1.0", true}, {"-1.0", true}}, "wn_math"},
    {"math_log_base", "math.log", {{"8.0", true}, {"2", false}}, "wn_call_python"},
    {"math_floor", "math.floor", {{"2.5", true}}, "wn_builtin"},
    {"math_ceil_of_int", "math.ceil", {{"-3", true}}, "wn_builtin"},
    {"type_of_run_time_value", "type", {{"2.5", true}}, "wn_type"},
    {"from_bytes", "int.from_bytes", {{"b'\\x01\\x00'", true}, {"'big'", false}}, "wn_lib"},
    {"struct_pack", "struct.pack", {{"'<hI'", true}, {"1", false}, {"2", false}}, "wn_lib"},
    {"crc32", "zlib.crc32", {{"b'abc'", true}}, "wn_lib"},
};

class Against : public BuiltinLowering, public ::testing::WithParamInterface<Case> {};

TEST_P(Against, GivesWhatTheInterpreterGives) {
    const Case& k = GetParam();
    std::string ir;
    std::string got = run(k.callee, k.args, &ir);
    if (k.helper) {
        EXPECT_NE(ir.find(std::string("@") + k.helper + "("), std::string::npos) << ir;
    }
    EXPECT_EQ(got, python(k.callee, k.args)) << ir;
}

INSTANTIATE_TEST_SUITE_P(Lowering, Against, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

// --- what is folded while compiling --------------------------------------------------------

struct Fold {
    const char* label;
    const char* callee;
    std::vector<const char*> args;
    bool folded;
};

const Fold kFolds[] = {
    {"len_of_str", "len", {"'abc'"}, true},
    {"int_of_str", "int", {"'42'"}, true},
    {"int_of_bad_str", "int", {"'4x'"}, false},
    {"divmod", "divmod", {"7", "-2"}, true},
    {"pow_small", "pow", {"2", "100"}, true},
    // A result of millions of digits would be made by the compiler, at every compile.
    {"pow_huge", "pow", {"3", "10000000"}, false},
    {"factorial_huge", "math.factorial", {"100000000"}, false},
    {"math_any_function", "math.gcd", {"12", "18"}, true},
    {"hash_of_int", "hash", {"-1"}, true},
    {"hash_of_float", "hash", {"2.5"}, true},
    {"hash_of_tuple", "hash", {"(1, (2.5, True))"}, true},
    // Hashes that differ between processes: never written into cached code.
    {"hash_of_str", "hash", {"'abc'"}, false},
    {"hash_of_bytes", "hash", {"b'abc'"}, false},
    {"hash_of_tuple_with_str", "hash", {"(1, 'a')"}, false},
    {"hash_of_nan", "hash", {"float('nan')"}, false},
    {"print_never", "print", {"1"}, false},
    {"fspath", "os.fspath", {"'a/b'"}, true},
};

class Folding : public BuiltinLowering, public ::testing::WithParamInterface<Fold> {};

TEST_P(Folding, HappensOnlyWhereTheResultIsTheSameInEveryProcess) {
    const Fold& k = GetParam();
    Shape out;
    std::string ir;
    bool handled = handledConstant(k.callee, k.args, &out, &ir);
    bool constant = handled && isConstant(out);
    EXPECT_EQ(constant, k.folded) << ir;
    if (!constant) return;
    PyObject* value = nullptr;
    ASSERT_EQ(toPython(&compiler_, out, &value), Status::ok);
    std::vector<Arg> args;
    for (const char* a : k.args) args.push_back({a, false});
    EXPECT_EQ("value: " + testing_support::pyRepr(value), python(k.callee, args));
    Py_DECREF(value);
    EXPECT_EQ(countOf(ir, "call "), 0u) << ir;
}

INSTANTIATE_TEST_SUITE_P(Lowering, Folding, ::testing::ValuesIn(kFolds),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(BuiltinLowering, HashOfNoneFoldsOnlyWhereItIsAConstant) {
    Shape out;
    bool handled = handledConstant("hash", {"None"}, &out);
    EXPECT_EQ(handled, PY_VERSION_HEX >= 0x030C0000);
}

// --- ranges, containers, zip and enumerate --------------------------------------------------

TEST_F(BuiltinLowering, SmallConstantRangesAreListsMadeWhileCompiling) {
    struct RangeCase {
        std::vector<const char*> args;
        std::vector<int64_t> items;
        bool handled;
    };
    std::vector<int64_t> sixteen;
    for (int64_t i = 0; i < 16; i++) sixteen.push_back(i);
    const RangeCase cases[] = {
        {{"5"}, {0, 1, 2, 3, 4}, true},
        {{"10", "0", "-3"}, {10, 7, 4, 1}, true},
        {{"3", "3"}, {}, true},
        {{"16"}, sixteen, true},
        {{"17"}, {}, false},
        {{"0", "10", "0"}, {}, false},
        {{"True"}, {}, false},
    };
    for (const RangeCase& k : cases) {
        Shape out;
        std::string ir;
        bool handled = handledConstant("range", k.args, &out, &ir);
        ASSERT_EQ(handled, k.handled) << k.args[0];
        if (!handled) continue;
        ASSERT_EQ(out.kind, ShapeKind::list);
        ASSERT_EQ(out.list->length, k.items.size());
        for (size_t i = 0; i < k.items.size(); i++) {
            EXPECT_EQ(out.list->items[i].kind, ShapeKind::pint);
            EXPECT_EQ(out.list->items[i].int_, k.items[i]);
        }
        EXPECT_EQ(countOf(ir, "call "), 0u);
    }
}

TEST_F(BuiltinLowering, EmptyContainersAreMadeWhileCompilingAndSetIsBuiltAtRunTime) {
    Shape out;
    std::string ir;
    ASSERT_TRUE(handledConstant("list", {}, &out, &ir));
    EXPECT_EQ(out.kind, ShapeKind::list);
    ASSERT_TRUE(handledConstant("dict", {}, &out, &ir));
    EXPECT_EQ(out.kind, ShapeKind::dict);
    ASSERT_TRUE(handledConstant("tuple", {}, &out, &ir));
    EXPECT_EQ(out.kind, ShapeKind::tuple);
    EXPECT_EQ(countOf(ir, "call "), 0u);
    EXPECT_EQ(run("set", {}, &ir), "value: set()");
    EXPECT_NE(ir.find("@wn_set("), std::string::npos);
}

TEST_F(BuiltinLowering, TypeOfAConstantIsTheTypeObjectAndIsinstanceNeedsTwoArguments) {
    Shape out;
    ASSERT_TRUE(handledConstant("type", {"2.5"}, &out));
    ASSERT_EQ(out.kind, ShapeKind::py);
    EXPECT_EQ(out.py, reinterpret_cast<PyObject*>(&PyFloat_Type));
    std::string got = run("isinstance", {{"1", true}});
    EXPECT_NE(got.find(".py:4:9: in caller(): isinstance() takes 2 arguments>"), std::string::npos)
        << got;
}

TEST_F(BuiltinLowering, ZipAndEnumerateAreListsOnlyWhereIteratedAtOnce) {
    // Used as a value (next(), a second pass): Python's iterator, so the semantic runs as
    // Python.
    std::string got = run("zip", {{"(1, 2)", false}, {"(3, 4)", false}});
    EXPECT_NE(got.find("zip() whose value is not iterated at once isn't compiled yet"),
              std::string::npos)
        << got;
    // Known while compiling: built while compiling, the shorter input deciding.
    EXPECT_EQ(run("zip", {{"(1, 2, 3)", false}, {"('a', 'b')", false}}, nullptr, true),
              "value: [(1, 'a'), (2, 'b')]");
    EXPECT_EQ(run("enumerate", {{"('x', 'y')", false}}, nullptr, true),
              "value: [(0, 'x'), (1, 'y')]");
    EXPECT_EQ(run("zip", {}, nullptr, true), "value: []");
    // Known only at run time: the emitted loop.
    std::string ir;
    EXPECT_EQ(run("zip",
                  {{"(1, 2, 3, 4)", true, KnownKind::tuple}, {"'ab'", true, KnownKind::str}}, &ir,
                  true),
              "value: [(1, 'a'), (2, 'b')]");
    EXPECT_NE(ir.find("zip_body"), std::string::npos) << ir;
    EXPECT_EQ(run("enumerate", {{"(5, 6)", true, KnownKind::tuple}}, nullptr, true),
              "value: [(0, 5), (1, 6)]");
    // An input that may be endless or spent by reading is never drained into a list.
    got = run("zip", {{"(1, 2)", true}}, nullptr, true);
    EXPECT_NE(got.find("one-pass iterator"), std::string::npos) << got;
    got = run("enumerate", {{"(1, 2)", false}, {"1", false}}, nullptr, true);
    EXPECT_NE(got.find("enumerate() with a start isn't compiled yet"), std::string::npos) << got;
}

TEST_F(BuiltinLowering, LenOfAContainerKnownWhileCompilingIsAConstant) {
    Shape out;
    std::string ir;
    ASSERT_TRUE(handledConstant("len", {"(1, 2, 3)"}, &out, &ir));
    EXPECT_EQ(out.kind, ShapeKind::pint);
    EXPECT_EQ(out.int_, 3);
    EXPECT_EQ(run("len", {{"'abcd'", true, KnownKind::str}}), "value: 4");
}

TEST_F(BuiltinLowering, LenOfAStrEncodedAsUtf8CountsWithoutMakingTheBytes) {
    struct Encode {
        const char* name;  // null: encode()
        bool keyword;
        bool counted;
    };
    const Encode cases[] = {{nullptr, false, true},  {"utf-8", false, true},
                            {"UTF8", false, true},   {"utf_8", false, true},
                            {"latin-1", false, false}, {"Utf-8", false, false},
                            {"utf-8", true, false}};
    int n = 0;
    for (const Encode& k : cases) {
        Compiler* c = &compiler_;
        std::string symbol = "utf8_" + std::to_string(n++);
        Function f(c, symbol.c_str(), 7, {c->module.ptr});
        Semantic* s = newSemantic(c, front("caller"), 0, kSite);
        ASSERT_TRUE(f.e.semantics.push(s));
        front::Expr text{}, attribute{}, name{}, call{};
        text.kind = front::ExprKind::str;
        text.str = front::Text{"h\xc3\xa9", 3};
        attribute.kind = front::ExprKind::attribute;
        attribute.attribute.object = &text;
        attribute.attribute.name = front::Text{"encode", 6};
        name.kind = front::ExprKind::str;
        if (k.name) name.str = front::Text{k.name, strlen(k.name)};
        front::Expr* given[1] = {&name};
        front::Keyword keyword{front::Text{"encoding", 8}, &name};
        call.kind = front::ExprKind::call;
        call.call.callee = &attribute;
        if (k.name && !k.keyword) call.call.arguments = front::ExprList{given, 1};
        if (k.keyword) call.call.keywords = front::KeywordList{&keyword, 1};
        bool handled = false;
        Shape out;
        ASSERT_EQ(lowerUtf8Len(&f.e, s, &call, &handled, &out), Status::ok) << message();
        endSemantic(s);
        std::string ir = f.ir();
        EXPECT_EQ(handled, k.counted) << (k.name ? k.name : "encode()");
        EXPECT_EQ(countOf(ir, "@wn_utf8_len("), k.counted ? 1u : 0u) << ir;
        if (k.counted) {
            EXPECT_EQ(out.kind, ShapeKind::dyn);
            EXPECT_EQ(out.dyn.kind, KnownKind::int_);
        }
    }
}

// --- standard streams and whole files --------------------------------------------------------

// Expression trees of X.read() and X.write(v), built by hand.
class Streams : public BuiltinLowering {
protected:
    front::Expr* node(front::ExprKind kind) {
        nodes_.push_back(std::make_unique<front::Expr>());
        front::Expr* x = nodes_.back().get();
        x->kind = kind;
        x->position = kAt;
        return x;
    }
    front::Expr* str(const char* text) {
        front::Expr* x = node(front::ExprKind::str);
        x->str = front::Text{text, strlen(text)};
        return x;
    }
    front::Expr* global(const char* name) {
        front::Expr* x = node(front::ExprKind::global);
        x->global = front::Text{name, strlen(name)};
        return x;
    }
    front::Expr* attribute(front::Expr* object, const char* name) {
        front::Expr* x = node(front::ExprKind::attribute);
        x->attribute.object = object;
        x->attribute.name = front::Text{name, strlen(name)};
        return x;
    }
    front::Expr* call(front::Expr* callee, std::vector<front::Expr*> args,
                      std::vector<std::pair<const char*, front::Expr*>> keywords = {}) {
        front::Expr* x = node(front::ExprKind::call);
        x->call.callee = callee;
        lists_.push_back(args);
        x->call.arguments = front::ExprList{lists_.back().data(), args.size()};
        std::vector<front::Keyword> k;
        for (auto& [name, value] : keywords) k.push_back({front::Text{name, strlen(name)}, value});
        keywords_.push_back(k);
        x->call.keywords = front::KeywordList{keywords_.back().data(), k.size()};
        return x;
    }
    // open(path, *rest, **keywords)
    front::Expr* open(std::vector<const char*> rest,
                      std::vector<std::pair<const char*, front::Expr*>> keywords = {}) {
        std::vector<front::Expr*> args = {str("/no/such/file")};
        for (const char* r : rest) args.push_back(str(r));
        return call(global("open"), args, keywords);
    }
    // The wn_lib or wn_write call the road emitted ("" when the call was not recognised).
    std::string lowered(front::Expr* object, const char* method) {
        Compiler* c = &compiler_;
        std::string symbol = "stream_" + std::to_string(count_++);
        Function f(c, symbol.c_str(), 7, {c->module.ptr});
        Semantic* s = newSemantic(c, front("caller"), 0, kSite);
        EXPECT_TRUE(f.e.semantics.push(s));
        bool write = strcmp(method, "write") == 0;
        front::Expr* x = call(attribute(object, method), write ? std::vector<front::Expr*>{str("t")}
                                                               : std::vector<front::Expr*>{});
        bool handled = false;
        Shape out;
        EXPECT_EQ(lowerStreamCall(&f.e, s, x, &handled, &out), Status::ok) << message();
        endSemantic(s);
        std::string ir = f.ir();
        if (!handled) return "";
        for (const char* helper : {"@wn_lib(", "@wn_write("}) {
            size_t at = ir.find(helper);
            if (at != std::string::npos) return ir.substr(at, ir.find('\n', at) - at);
        }
        return "<no helper>";
    }
    std::vector<std::unique_ptr<front::Expr>> nodes_;
    std::vector<std::vector<front::Expr*>> lists_;
    std::vector<std::vector<front::Keyword>> keywords_;
    int count_ = 0;
};

TEST_F(Streams, FileReadsAndWritesAreLibraryCallsWithTheirCodeAndFlags) {
    lists_.reserve(64);
    keywords_.reserve(64);
    auto utf8 = [&](const char* name) { return std::pair<const char*, front::Expr*>{"encoding", str(name)}; };
    auto newline = [&](front::Expr* v) { return std::pair<const char*, front::Expr*>{"newline", v}; };
    front::Expr* none = node(front::ExprKind::none);
    struct Case {
        front::Expr* object;
        const char* method;
        const char* code;   // "i32 <code>, " of wn_lib, or the stream of wn_write; null: none
        const char* flags;  // ", i32 <flags>, ptr"
    };
    const Case cases[] = {
        {open({}, {utf8("utf-8")}), "read", "i32 15, ", ", i32 0, ptr"},
        {open({"r"}, {utf8("UTF-8")}), "read", "i32 15, ", ", i32 0, ptr"},
        {open({}, {utf8("utf8"), newline(str(""))}), "read", "i32 15, ", ", i32 1, ptr"},
        {open({}, {utf8("utf8"), newline(none)}), "read", "i32 15, ", ", i32 0, ptr"},
        {open({}), "read", nullptr, nullptr},
        {open({}, {utf8("latin-1")}), "read", nullptr, nullptr},
        {open({}, {utf8("utf_8")}), "read", nullptr, nullptr},
        {open({"rb"}), "read", "i32 16, ", ", i32 0, ptr"},
        {open({"rb"}, {{"buffering", str("1")}}), "read", nullptr, nullptr},
        {open({}, {{"mode", str("r")}, utf8("utf-8")}), "read", nullptr, nullptr},
        {open({"w"}, {utf8("utf8")}), "write", "i32 18, ", ", i32 0, ptr"},
        {open({"a"}, {utf8("utf8")}), "write", "i32 18, ", ", i32 1, ptr"},
        {open({"w"}, {utf8("utf8"), newline(str(""))}), "write", "i32 18, ", ", i32 2, ptr"},
        {open({"at"}, {utf8("utf8"), newline(str(""))}), "write", "i32 18, ", ", i32 3, ptr"},
        {open({"x"}, {utf8("utf8")}), "write", nullptr, nullptr},
        {open({}, {utf8("utf8")}), "write", nullptr, nullptr},
        {attribute(global("sys"), "stdin"), "read", "i32 17, ", ", i32 2, ptr"},
        {attribute(global("sys"), "stdout"), "read", nullptr, nullptr},
        {attribute(global("sys"), "stdout"), "write", "i32 1, ", nullptr},
        {attribute(global("sys"), "stderr"), "write", "i32 2, ", nullptr},
        {attribute(global("sys"), "stdin"), "write", nullptr, nullptr},
        // A global named sys that is some other object is not the sys module.
        {attribute(global("os"), "stdout"), "write", nullptr, nullptr},
    };
    int i = 0;
    for (const Case& k : cases) {
        std::string line = lowered(k.object, k.method);
        SCOPED_TRACE("case " + std::to_string(i++) + ": " + line);
        if (!k.code) {
            EXPECT_EQ(line, "");
            continue;
        }
        EXPECT_NE(line.find(k.code), std::string::npos);
        if (k.flags) {
            EXPECT_NE(line.find(k.flags), std::string::npos);
        }
    }
}

// --- native host functions ------------------------------------------------------------------

// A stand-in of the module's NativeHost type with the same name and layout; its Python call
// raises, so a test sees which road a call took.
PyObject* fakeHostCall(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "the host's own call: bad arguments");
    return nullptr;
}
PyType_Slot kFakeSlots[] = {{Py_tp_call, reinterpret_cast<void*>(fakeHostCall)}, {0, nullptr}};
PyType_Spec kFakeSpec = {"wuna.NativeHost", int(sizeof(host::NativeHostObject)), 0,
                         Py_TPFLAGS_DEFAULT, kFakeSlots};

int32_t addInts(void* user, void* args, uint32_t count, void* result) {
    auto* cells = static_cast<int64_t*>(args);
    if (count != 2 || user != &kFakeSpec) return 9;
    if (cells[0] < 0) return 7;
    static_cast<int64_t*>(result)[0] = cells[0] + cells[2];
    return 0;
}

int32_t byteCount(void* user, void* args, uint32_t, void* result) {
    auto* cells = static_cast<uint64_t*>(args);
    const auto* data = reinterpret_cast<const uint8_t*>(cells[1]);
    uint64_t sum = 0;
    for (uint64_t i = 0; i < cells[0]; i++) sum += data[i];
    (void)user;
    static_cast<uint64_t*>(result)[0] = cells[0] * 1000 + sum;
    return 0;
}

class NativeHosts : public BuiltinLowering {
protected:
    void SetUp() override {
        BuiltinLowering::SetUp();
        type_ = PyType_FromSpec(&kFakeSpec);
        ASSERT_NE(type_, nullptr);
        add_ = make(&addRecord_, "ii", 'i', reinterpret_cast<void*>(addInts), &kFakeSpec);
        bytes_ = make(&bytesRecord_, "b", 'i', reinterpret_cast<void*>(byteCount), nullptr);
        PyDict_SetItemString(module_, "host_add", add_);
        PyDict_SetItemString(module_, "host_bytes", bytes_);
    }
    void TearDown() override {
        Py_XDECREF(add_);
        Py_XDECREF(bytes_);
        Py_XDECREF(type_);
        BuiltinLowering::TearDown();
    }
    PyObject* make(host::NativeRecord* record, const char* kinds, char result, void* call,
                   void* user) {
        auto* o = PyObject_New(host::NativeHostObject, reinterpret_cast<PyTypeObject*>(type_));
        record->abi = 1;
        record->call = reinterpret_cast<decltype(record->call)>(call);
        record->user = user;
        record->error = nullptr;
        o->capsule = nullptr;
        o->record = record;
        o->name = nullptr;
        o->argCount = uint32_t(strlen(kinds));
        memcpy(o->argKinds, kinds, strlen(kinds));
        o->resultKind = result;
        return reinterpret_cast<PyObject*>(o);
    }
    PyObject* type_ = nullptr;
    PyObject* add_ = nullptr;
    PyObject* bytes_ = nullptr;
    host::NativeRecord addRecord_{};
    host::NativeRecord bytesRecord_{};
};

TEST_F(NativeHosts, FittingArgumentsCallTheFunctionDirectlyAndOthersItsPythonCall) {
    ASSERT_TRUE(isNativeHost(add_));
    std::string ir;
    EXPECT_EQ(run("host_add", {{"2", true}, {"3", true}}, &ir), "value: 5");
    for (const char* block : {"native_call", "native_failed", "native_done", "native_python",
                              "native_joined"})
        EXPECT_NE(ir.find(block), std::string::npos) << block;
    const std::string python = "message: host function: TypeError: the host's own call: bad arguments";
    EXPECT_EQ(run("host_add", {{"2", true}, {"3.5", true}}), python);
    EXPECT_EQ(run("host_add", {{"-2", true}, {"3", true}}), "RuntimeError: failed");
    EXPECT_EQ(run("host_bytes", {{"b'ab'", true}}), "value: 2195");
    EXPECT_EQ(run("host_bytes", {{"'ab'", true}}), python);
    // Another argument count is the object's own call, never the C function.
    EXPECT_EQ(run("host_add", {{"2", true}}, &ir).substr(0, 5), "TypeE");
    EXPECT_EQ(ir.find("native_call"), std::string::npos);
}

TEST_F(NativeHosts, AStrictLanguageRefusesTheCall) {
    // The whole road: a strict compiler refuses before anything is emitted.
    OwnedState owned;
    ASSERT_NE(owned.state, nullptr);
    Compiler* c = &owned.state->compiler;
    c->strict = 1;
    {
        Function f(c, "strict_host", 7, {c->module.ptr});
        Semantic* s = newSemantic(c, front("caller"), 0, kSite);
        ASSERT_TRUE(f.e.semantics.push(s));
        Shape args[2];
        for (Shape& a : args) {
            a = Shape{};
            a.kind = ShapeKind::pint;
            a.int_ = 1;
        }
        Shape out;
        EXPECT_EQ(lowerNativeHostCall(&f.e, s, add_, args, 2, &out), Status::unsupported);
        std::string text(c->message.items, c->message.count);
        EXPECT_NE(text.find("strict: calls the host function"), std::string::npos) << text;
        endSemantic(s);
    }
}

}  // namespace

}  // namespace wuna::compile
