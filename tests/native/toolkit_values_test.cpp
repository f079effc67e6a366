// Values in emitted code: every shape materialized (constants, interned literals shared per
// module, Python objects pinned once, 128-bit ints as constant blocks, containers built by
// their helpers with their references dropped when the helper fails), comptime results and
// adopted containers converted once per process, helper calls (the call-stack depth of typed
// entries, typed locals reloaded after calls that may change them), object constants, the
// words of 128-bit ints, and the strict refusals with their display names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/codegen/emitter.h"
#include "compiler/front/ir.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using backend_testing::Bare;
using compile::KnownKind;
using compile::Operand;
using compile::Shape;
using compile::ShapeKind;
const llvmapi::Table& T = llvmapi::table;

using Values = backend_testing::BackendTest;

constexpr uint32_t kProgramFunction = 5;

// A new reference to the value of a Python expression.
PyObject* evaluate(const char* source) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* result = PyRun_String(source, Py_eval_input, globals, globals);
    Py_DECREF(globals);
    EXPECT_NE(result, nullptr) << takeError();
    return result;
}

// Runs statements and gives a new reference to the name's value.
PyObject* define(const char* source, const char* name) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* done = PyRun_String(source, Py_file_input, globals, globals);
    EXPECT_NE(done, nullptr) << takeError();
    Py_XDECREF(done);
    PyObject* value = PyDict_GetItemString(globals, name);
    Py_XINCREF(value);
    Py_DECREF(globals);
    return value;
}

uint64_t constantOf(llvmapi::ValueRef v) {
    return LLVMConstIntGetZExtValue(reinterpret_cast<LLVMValueRef>(v));
}

Shape scalar(ShapeKind kind) {
    Shape s{};
    s.kind = kind;
    return s;
}

std::string message(compile::Compiler* c) {
    return std::string(c->message.items, c->message.count);
}

struct Scalar {
    const char* name;
    Shape shape;
    uint64_t tag;
    uint64_t payload;
    KnownKind kind;
};

Shape withInt(ShapeKind kind, int64_t v) {
    Shape s = scalar(kind);
    s.int_ = v;
    return s;
}

class Scalars : public Values, public ::testing::WithParamInterface<Scalar> {};

TEST_P(Scalars, BecomeConstantOperandsOfTheirKind) {
    Bare bare("t_scalar");
    Function f(&bare.c, "t_scalar_f", kProgramFunction, {bare.m()->ptr});
    Operand o;
    ASSERT_EQ(compile::materialize(&f.e, GetParam().shape, 3, &o), Status::ok);
    EXPECT_EQ(constantOf(o.tag), GetParam().tag);
    EXPECT_EQ(constantOf(o.payload), GetParam().payload);
    EXPECT_EQ(o.kind, GetParam().kind);
    EXPECT_EQ(o.borrowFlag, nullptr);
    EXPECT_EQ(o.functionNode, compile::kNoFunctionNode);
}

Shape trueShape() {
    Shape s = scalar(ShapeKind::bool_);
    s.bool_ = 1;
    return s;
}
Shape floatShape() {
    Shape s = scalar(ShapeKind::float_);
    s.float_ = 1.5;
    return s;
}
Shape nodeShape() {
    Shape s = scalar(ShapeKind::node);
    s.node = 77;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Scalars,
    ::testing::Values(Scalar{"none", scalar(ShapeKind::none), 0, 0, KnownKind::none},
                      Scalar{"true", trueShape(), 1, 1, KnownKind::bool_},
                      Scalar{"int", withInt(ShapeKind::int_, -4), 2, uint64_t(-4), KnownKind::int_},
                      Scalar{"pint", withInt(ShapeKind::pint, 9), 18, 9, KnownKind::int_},
                      Scalar{"float", floatShape(), 3, 0x3FF8000000000000ull, KnownKind::float_},
                      Scalar{"node", nodeShape(), 11, 77, KnownKind::node}),
    [](const ::testing::TestParamInfo<Scalar>& info) { return std::string(info.param.name); });

TEST_F(Values, OneStringLiteralIsOneKeyGlobalPerModuleBoundToTheInternedString) {
    driver::Compiled* s = newState();
    compile::ModuleRecord* m = &s->compiler.module;
    {
        std::string name = symbolOf(s, "_f");
        Function f(&s->compiler, name.c_str(), kProgramFunction, {m->ptr, m->ptr});
        Shape str = scalar(ShapeKind::str);
        str.str = front::Text{"abc", 3};
        Operand a, b;
        ASSERT_EQ(compile::materialize(&f.e, str, 1, &a), Status::ok);
        ASSERT_EQ(compile::materialize(&f.e, str, 1, &b), Status::ok);
        EXPECT_EQ(a.payload, b.payload);
        EXPECT_EQ(a.kind, KnownKind::str);
        EXPECT_EQ(m->symbols.count, 1u);
        ASSERT_EQ(compile::storeOperand(&f.e, f.param(1), &a), Status::ok);
    }
    auto fn = reinterpret_cast<bool (*)(void*, value::Value*)>(loadAndFind(s, symbolOf(s, "_f")));
    ASSERT_NE(fn, nullptr);
    value::Value out{};
    fn(nullptr, &out);
    EXPECT_EQ(out.tag, value::TagStr);
    EXPECT_EQ(out.payload, uint64_t(uintptr_t(value::literal("abc", 3))));
    driver::Compiled::free(s);
}

TEST_F(Values, APythonObjectIsPinnedOnceAndFetchedByIndex) {
    Bare bare("t_pin");
    Function f(&bare.c, "t_pin_f", kProgramFunction, {bare.m()->ptr});
    PyObject* object = evaluate("object()");
    Shape py = scalar(ShapeKind::py);
    py.py = object;
    Operand a, b;
    ASSERT_EQ(compile::materialize(&f.e, py, 1, &a), Status::ok);
    ASSERT_EQ(compile::materialize(&f.e, py, 1, &b), Status::ok);
    EXPECT_EQ(bare.c.objects.count, 1u);
    EXPECT_EQ(a.kind, KnownKind::unknown);
    std::string ir = f.ir();
    EXPECT_EQ(countOf(ir, "call void @wn_object(ptr %0, i64 0, ptr %1)"), 2u) << ir;
    Py_DECREF(object);
}

TEST_F(Values, IntsOfUpTo128BitsAreConstantBlocksAndWiderOnesPythonObjects) {
    Bare bare("t_big");
    Function f(&bare.c, "t_big_f", kProgramFunction, {bare.m()->ptr});
    PyObject* narrow = evaluate("2**100");
    PyObject* wide = evaluate("2**200");
    Shape py = scalar(ShapeKind::py);
    py.py = narrow;
    Operand a, b;
    ASSERT_EQ(compile::materialize(&f.e, py, 1, &a), Status::ok);
    EXPECT_EQ(constantOf(a.tag), value::TagBig);
    EXPECT_EQ(bare.m()->symbols.count, 1u);
    EXPECT_EQ(bare.m()->symbols[0].address,
              uint64_t(uintptr_t(value::bigLiteral(value::i128(1) << 100))));
    py.py = wide;
    ASSERT_EQ(compile::materialize(&f.e, py, 1, &b), Status::ok);
    EXPECT_NE(f.ir().find("@wn_object("), std::string::npos);
    Py_DECREF(narrow);
    Py_DECREF(wide);
}

struct NotAValue {
    ShapeKind kind;
    const char* text;
};
class NotValues : public Values, public ::testing::WithParamInterface<NotAValue> {};

TEST_P(NotValues, CannotBeMaterialized) {
    Bare bare("t_notval");
    Function f(&bare.c, "t_notval_f", kProgramFunction, {bare.m()->ptr});
    Operand o;
    EXPECT_EQ(compile::materialize(&f.e, scalar(GetParam().kind), 12, &o), Status::unsupported);
    EXPECT_EQ(message(&bare.c), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NotValues,
    ::testing::Values(
        NotAValue{ShapeKind::rtMethod,
                  "a rt_method can't be kept in a variable or passed as a value (node 12)"},
        NotAValue{ShapeKind::control,
                  "a control can't be kept in a variable or passed as a value (node 12)"},
        NotAValue{ShapeKind::method,
                  "a method can't be kept in a variable or passed as a value (node 12)"}));

TEST_F(Values, TheRuntimeObjectCarriesItsScopeAndTheCurrentFrame) {
    Bare bare("t_rt");
    Function f(&bare.c, "t_rt_f", 42, {bare.m()->ptr, bare.m()->ptr});
    Operand o;
    // Without a frame the function must be compiled again with one.
    EXPECT_EQ(compile::materialize(&f.e, scalar(ShapeKind::rt), 1, &o), Status::unsupported);
    EXPECT_EQ(bare.c.frameNeededScope, 42u);
    f.e.hasOwnFrame = 1;
    f.e.ownFrame = f.param(1);
    ASSERT_TRUE(f.e.typedLocals.push(compile::TypedLocal{compile::valueSlot(&f.e), 1}));
    ASSERT_EQ(compile::materialize(&f.e, scalar(ShapeKind::rt), 1, &o), Status::ok);
    EXPECT_EQ(constantOf(o.tag), (uint64_t(42) << 32) | value::TagRuntime);
    EXPECT_EQ(o.kind, KnownKind::unknown);
    EXPECT_EQ(f.e.modes.localsSpilled, 1) << "the typed locals were written to the frame first";
    // In an open block scope, its id.
    ASSERT_TRUE(f.e.scopes.push(compile::ScopeEntry{compile::valueSlot(&f.e), 43}));
    ASSERT_EQ(compile::materialize(&f.e, scalar(ShapeKind::rt), 1, &o), Status::ok);
    EXPECT_EQ(constantOf(o.tag), (uint64_t(43) << 32) | value::TagRuntime);
    std::string ir = f.ir();
    EXPECT_NE(ir.find("ptrtoint ptr %1 to i64"), std::string::npos) << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(Values, AnEmptyListLiteralIsBuiltFromAOneSlotArray) {
    Bare bare("t_empty");
    Function f(&bare.c, "t_empty_f", kProgramFunction, {bare.m()->ptr});
    f.e.errorTarget = f.e.builder.start;
    front::ListRecord* list = front::newListRecord(&bare.c);
    Shape shape = scalar(ShapeKind::list);
    shape.list = list;
    Operand o;
    ASSERT_EQ(compile::materialize(&f.e, shape, 4, &o), Status::ok);
    EXPECT_EQ(o.kind, KnownKind::list);
    EXPECT_TRUE(list->madeAtRunTime);
    std::string ir = f.ir();
    EXPECT_NE(ir.find("alloca [1 x { i64, i64 }]"), std::string::npos) << ir;
    EXPECT_NE(ir.find("call i1 @wn_list(ptr %0, i32 4, ptr %"), std::string::npos) << ir;
    EXPECT_NE(ir.find(", i64 0, ptr %"), std::string::npos) << ir;
}

TEST_F(Values, AFailedContainerBuildLeavesTheArraysReferencesToTheConstructor) {
    Bare bare("t_fail");
    Function f(&bare.c, "t_fail_f", kProgramFunction,
               {bare.m()->ptr, bare.m()->i64, bare.m()->i64});
    llvmapi::BasicBlockRef error =
        T.LLVMAppendBasicBlockInContext(bare.m()->context, f.fn, "error");
    f.e.errorTarget = error;
    Operand item{};
    item.tag = f.param(1);
    item.payload = f.param(2);
    item.functionNode = compile::kNoFunctionNode;
    item.kind = KnownKind::str;
    Shape items[2] = {compile::dynShape(item), scalar(ShapeKind::none)};
    Operand tuple;
    ASSERT_EQ(compile::buildContainer(&f.e, "wn_tuple", items, 2, 6, KnownKind::tuple, &tuple),
              Status::ok);
    llvmapi::BuilderRef b = T.LLVMCreateBuilderInContext(bare.m()->context);
    T.LLVMPositionBuilderAtEnd(b, error);
    T.LLVMBuildRet(b, T.LLVMConstInt(bare.m()->i1, 0, 0));
    T.LLVMDisposeBuilder(b);
    std::string ir = f.ir();
    // wn_tuple releases the values it was given when it fails: a second release here would
    // free the str the caller still counts on.
    EXPECT_EQ(ir.find("build_failed"), std::string::npos) << ir;
    EXPECT_EQ(countOf(ir, "@wn_decref"), 0u) << ir;
    EXPECT_EQ(countOf(ir, "@wn_dec("), 0u) << ir;
    EXPECT_NE(ir.find("br i1 %"), std::string::npos) << "the failure still leaves:\n" << ir;
    EXPECT_EQ(verify(bare.m()), "");
}

TEST_F(Values, ADictLiteralReleasesItsArraysBeforeTestingTheResult) {
    Bare bare("t_dict");
    Function f(&bare.c, "t_dict_f", kProgramFunction,
               {bare.m()->ptr, bare.m()->i64, bare.m()->i64});
    f.e.errorTarget = f.e.builder.start;
    front::DictRecord* dict = front::newDictRecord(&bare.c);
    Operand value{};
    value.tag = f.param(1);
    value.payload = f.param(2);
    value.functionNode = compile::kNoFunctionNode;
    value.kind = KnownKind::list;
    Shape key = scalar(ShapeKind::str);
    key.str = front::Text{"k", 1};
    ASSERT_EQ(front::appendEntry(&bare.c, dict, key, compile::dynShape(value)), Status::ok);
    Shape shape = scalar(ShapeKind::dict);
    shape.dict = dict;
    Operand o;
    ASSERT_EQ(compile::materialize(&f.e, shape, 8, &o), Status::ok);
    EXPECT_EQ(o.kind, KnownKind::dict);
    std::string ir = f.ir();
    size_t call = ir.find("@wn_dict(");
    size_t test = ir.find("label %ok");
    ASSERT_NE(call, std::string::npos);
    EXPECT_EQ(countOf(ir.substr(call, test - call), "@wn_dec("), 2u) << ir;
}

// --- comptime results and adopted containers --------------------------------------------------

TEST_F(Values, AComptimeListHoldingItselfIsRefused) {
    uint64_t tag, payload;
    PyObject* list = evaluate("[1]");
    PyList_Append(list, list);
    EXPECT_EQ(compile::comptimeConstant(list, 0, &tag, &payload), Status::pythonError);
    PyObject* type;
    EXPECT_EQ(takeError(&type),
              "a wuna.comptime result nested more than 64 deep (or holding itself)");
    EXPECT_EQ(type, PyExc_ValueError);
    PyList_SetSlice(list, 0, 2, nullptr);
    Py_DECREF(list);
}

TEST_F(Values, SixtyFourLevelsBelowTheTopAreAccepted) {
    uint64_t tag, payload;
    PyObject* deep = evaluate("eval('[' * 65 + ']' * 65)");
    EXPECT_EQ(compile::comptimeConstant(deep, 0, &tag, &payload), Status::ok) << takeError();
    EXPECT_EQ(tag, value::TagList);
    EXPECT_EQ(reinterpret_cast<value::Obj*>(payload)->count, value::kImmortal);
    PyObject* deeper = evaluate("eval('[' * 66 + ']' * 66)");
    EXPECT_EQ(compile::comptimeConstant(deeper, 0, &tag, &payload), Status::pythonError);
    takeError();
    Py_DECREF(deep);
    Py_DECREF(deeper);
}

TEST_F(Values, OneComptimeResultIsOneNativeBlockForEveryFunction) {
    Bare bare("t_once");
    PyObject* result = evaluate("[1, 2, 3]");
    Operand a, b;
    {
        Function f(&bare.c, "t_once_f", kProgramFunction, {bare.m()->ptr});
        ASSERT_EQ(compile::comptimeResult(&f.e, result, KnownKind::list, &a), Status::ok);
    }
    {
        Function g(&bare.c, "t_once_g", kProgramFunction, {bare.m()->ptr});
        ASSERT_EQ(compile::comptimeResult(&g.e, result, KnownKind::list, &b), Status::ok);
    }
    EXPECT_EQ(a.payload, b.payload);
    ASSERT_EQ(bare.m()->symbols.count, 1u);
    auto* list = reinterpret_cast<value::List*>(bare.m()->symbols[0].address);
    EXPECT_EQ(list->h.count, value::kImmortal);
    EXPECT_EQ(list->count, 3u);
    EXPECT_EQ(list->h.flags & value::SummaryAll, uint32_t(value::SummaryPint))
        << "three Python ints, every one a plain int";
    Py_DECREF(result);
}

TEST_F(Values, AComptimeRecordKeepsTheFieldsItsInstanceHas) {
    PyObject* instance = define(
        "class P:\n"
        "    __slots__ = ('x', 'y')\n"
        "    def __init__(self): self.x = 4\n"
        "p = P()\n",
        "p");
    ASSERT_NE(instance, nullptr);
    uint64_t tag, payload;
    Status s = compile::comptimeConstant(instance, 0, &tag, &payload);
    ASSERT_EQ(s, Status::ok) << takeError();
    ASSERT_EQ(tag, value::TagRecord);
    {
        auto* record = reinterpret_cast<value::Record*>(payload);
        EXPECT_EQ(record->fields()[0].tag, value::TagPint);
        EXPECT_EQ(record->fields()[0].payload, 4u);
        EXPECT_EQ(record->fields()[1].tag, value::TagUnset);
    }
    Py_DECREF(instance);
}

TEST_F(Values, AnAdoptedSetIsANativeSetWhateverKindTheCallerSays) {
    Bare bare("t_adopt");
    Function f(&bare.c, "t_adopt_f", kProgramFunction, {bare.m()->ptr});
    PyObject* set = evaluate("{1, 2}");
    Operand o, again;
    ASSERT_EQ(compile::adoptedContainer(&f.e, set, KnownKind::list, &o), Status::ok);
    EXPECT_EQ(constantOf(o.tag), value::TagSet);
    EXPECT_EQ(o.kind, KnownKind::list);
    ASSERT_EQ(compile::adoptedContainer(&f.e, set, KnownKind::list, &again), Status::ok);
    EXPECT_EQ(again.payload, o.payload);
    EXPECT_EQ(bare.m()->symbols.count, 1u);
    Py_DECREF(set);
}

// --- helper calls -----------------------------------------------------------------------------

// Zero arguments of a helper's declared types.
std::vector<llvmapi::ValueRef> zeroArguments(compile::ModuleRecord* m, const char* name) {
    compile::FunctionRef* h = m->functions.find(backend::Text{name, strlen(name)});
    EXPECT_NE(h, nullptr) << name;
    unsigned n = LLVMCountParamTypes(reinterpret_cast<LLVMTypeRef>(h->type));
    std::vector<LLVMTypeRef> types(n);
    LLVMGetParamTypes(reinterpret_cast<LLVMTypeRef>(h->type), types.data());
    std::vector<llvmapi::ValueRef> argv(n);
    for (unsigned i = 0; i < n; i++)
        argv[i] = T.LLVMConstNull(reinterpret_cast<llvmapi::TypeRef>(types[i]));
    return argv;
}

TEST_F(Values, TypedEntriesStoreTheirDepthBeforeHelpersThatMayFailOnly) {
    Bare bare("t_depth");
    Function f(&bare.c, "t_depth_f", kProgramFunction, {bare.m()->ptr, bare.m()->i64});
    f.e.location = f.param(1);
    llvmapi::ValueRef two[2] = {compile::constI64(&f.e, 0), compile::constI64(&f.e, 0)};
    for (const char* name : {"wn_incref", "wn_decref"})
        ASSERT_EQ(compile::callHelper(&f.e, name, two, 2, nullptr), Status::ok);
    llvmapi::ValueRef frameArgs[2] = {T.LLVMConstNull(bare.m()->ptr), compile::constI64(&f.e, 2)};
    ASSERT_EQ(compile::callHelper(&f.e, "wn_frame_new", frameArgs, 2, nullptr), Status::ok);
    EXPECT_EQ(f.ir().find("store i64 %1"), std::string::npos);
}

TEST_F(Values, AGetattrCallStoresTheDepthIntoTheContext) {
    Bare bare("t_depth2");
    Function f(&bare.c, "t_depth2_f", kProgramFunction, {bare.m()->ptr, bare.m()->i64});
    f.e.location = f.param(1);
    std::vector<llvmapi::ValueRef> argv = zeroArguments(bare.m(), "wn_getattr");
    unsigned n = unsigned(argv.size());
    ASSERT_EQ(compile::callHelper(&f.e, "wn_getattr", argv.data(), n, nullptr), Status::ok);
    std::string ir = f.ir();
    EXPECT_NE(ir.find("getelementptr inbounds i8, ptr %0, i64 64"), std::string::npos) << ir;
    EXPECT_NE(ir.find("store i64 %1"), std::string::npos) << ir;
}

TEST_F(Values, WithoutADepthNoHelperCallWritesTheContext) {
    Bare bare("t_nodepth");
    Function f(&bare.c, "t_nodepth_f", kProgramFunction, {bare.m()->ptr});
    llvmapi::ValueRef args[4] = {f.param(0), compile::constI64(&f.e, 0),
                                 T.LLVMConstNull(bare.m()->ptr)};
    ASSERT_EQ(compile::callHelper(&f.e, "wn_object", args, 3, nullptr), Status::ok);
    EXPECT_EQ(f.ir().find("store"), std::string::npos);
}

TEST_F(Values, SpilledTypedLocalsAreReloadedAfterCallsThatMayChangeThem) {
    Bare bare("t_reload");
    Function f(&bare.c, "t_reload_f", kProgramFunction, {bare.m()->ptr, bare.m()->ptr});
    f.e.hasOwnFrame = 1;
    f.e.ownFrame = f.param(1);
    for (uint8_t live : {1, 0})
        ASSERT_TRUE(f.e.typedLocals.push(compile::TypedLocal{compile::valueSlot(&f.e), live}));
    struct Step {
        const char* helper;
        bool spilled;
        size_t reloads;  // loads from the frame after the step
    };
    const Step steps[] = {{"wn_call_method", true, 2},
                          {"wn_call", false, 0},
                          {"wn_builtin", true, 2},
                          {"wn_bury", true, 0}};
    for (const Step& step : steps) {
        f.e.modes.localsSpilled = step.spilled;
        std::string before = irOf(f.fn);
        std::vector<llvmapi::ValueRef> argv = zeroArguments(bare.m(), step.helper);
        ASSERT_EQ(
            compile::callHelper(&f.e, step.helper, argv.data(), unsigned(argv.size()), nullptr),
            Status::ok);
        std::string after = irOf(f.fn);
        EXPECT_EQ(countOf(after, "getelementptr inbounds i8, ptr %1") -
                      countOf(before, "getelementptr inbounds i8, ptr %1"),
                  step.reloads)
            << step.helper;
        if (step.reloads) {
            EXPECT_EQ(f.e.modes.localsSpilled, 0) << step.helper;
        }
    }
    EXPECT_EQ(f.e.modes.localsSpilled, 1) << "wn_bury leaves the locals spilled";
}

TEST_F(Values, ObjectConstantsArePlainIndexesOutsideAheadOfTimeBuilds) {
    Bare bare("t_objc");
    Function f(&bare.c, "t_objc_f", kProgramFunction, {bare.m()->ptr});
    for (const char* source : {"1.5", "'x'", "object()", "[]"}) {
        PyObject* o = evaluate(source);
        ASSERT_EQ(compile::pinObject(&bare.c, o, nullptr), Status::ok);
        Py_DECREF(o);
    }
    llvmapi::ValueRef c;
    ASSERT_EQ(compile::objectConstant(&f.e, 3, &c), Status::ok);
    EXPECT_EQ(constantOf(c), 3u);
    EXPECT_EQ(bare.m()->symbols.count, 0u);
    compile::KeyOriginMap origins;
    bare.m()->keyOrigins = &origins;
    ASSERT_EQ(compile::objectConstant(&f.e, 3, &c), Status::ok);
    uint64_t key = uint64_t(uintptr_t(bare.c.objects[3])) | 1;
    ASSERT_NE(origins.find(key), nullptr);
    EXPECT_EQ(origins.find(key)->kind, compile::KeyOriginKind::moduleObject);
    EXPECT_EQ(origins.find(key)->words[0], 3u);
    EXPECT_EQ(bare.m()->symbols.count, 1u);
    bare.m()->keyOrigins = nullptr;
    origins.free();
}

struct Bits {
    const char* source;
    bool ok;
    uint64_t low;
    int64_t high;
};
class IntWords : public Values, public ::testing::WithParamInterface<Bits> {};

TEST_P(IntWords, SplitIntsOfUpTo128Bits) {
    PyObject* n = evaluate(GetParam().source);
    compile::IntBits bits = compile::intBits(n);
    Py_DECREF(n);
    EXPECT_EQ(bits.ok, GetParam().ok);
    EXPECT_EQ(bits.low, GetParam().low);
    EXPECT_EQ(bits.high, GetParam().high);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Ints, IntWords,
                         ::testing::Values(Bits{"2**127 - 1", true, ~0ull, INT64_MAX},
                                           Bits{"2**127", false, 0, 0}, Bits{"-1", true, ~0ull, -1},
                                           Bits{"-2**127", true, 0, INT64_MIN},
                                           Bits{"5", true, 5, 0}, Bits{"'5'", false, 0, 0}));

// --- strict refusals and names -------------------------------------------------------------------

TEST_F(Values, AStrictLanguageRefusesAPythonObjectAsAValue) {
    Bare bare("t_strict");
    bare.c.strict = 1;
    Function f(&bare.c, "t_strict_f", kProgramFunction, {bare.m()->ptr});
    PyObject* fn = define("def walk(): pass\n", "walk");
    Shape py = scalar(ShapeKind::py);
    py.py = fn;
    Operand o;
    EXPECT_EQ(compile::materialize(&f.e, py, 1, &o), Status::unsupported);
    EXPECT_EQ(message(&bare.c),
              "strict: uses walk, a Python object, as a value (it would run in Python)");
    // With a body open the message has its location.
    front::FunctionIR ir{};
    ir.name = front::Text{"walk", 4};
    ir.fileName = front::Text{"sem.py", 6};
    compile::Semantic* s = compile::newSemantic(&bare.c, &ir, 0, 1);
    ASSERT_TRUE(f.e.semantics.push(s));
    f.e.position = front::makePosition(12, 5);
    EXPECT_EQ(compile::materialize(&f.e, py, 1, &o), Status::unsupported);
    EXPECT_EQ(message(&bare.c),
              "sem.py:12:5: in walk(): strict: uses walk, a Python object, as a value (it would "
              "run in Python)");
    // Suppressed: the Python fallback is compiled.
    bare.c.message.clear();
    f.e.strictSuppressed = 1;
    ASSERT_EQ(compile::materialize(&f.e, py, 1, &o), Status::ok);
    EXPECT_EQ(bare.c.message.count, 0u);
    f.e.strictSuppressed = 0;
    // Exception classes are values a strict language may hold.
    py.py = PyExc_KeyError;
    ASSERT_EQ(compile::materialize(&f.e, py, 1, &o), Status::ok);
    // And a language that is not strict never writes a strict message.
    bare.c.strict = 0;
    bare.c.message.clear();
    py.py = fn;
    ASSERT_EQ(compile::materialize(&f.e, py, 1, &o), Status::ok);
    EXPECT_EQ(bare.c.message.count, 0u);
    Py_DECREF(fn);
}

TEST_F(Values, TheStrictCallTextsNameTheirCallee) {
    backend::List<char> m;
    ASSERT_EQ(compile::writeStrictPythonCall(&m, "f", 1), Status::ok);
    EXPECT_EQ(std::string(m.items, m.count),
              "strict: calls the Python function f() (it would run in Python)");
    m.clear();
    ASSERT_EQ(compile::writeStrictHostCall(&m, "h", 1), Status::ok);
    EXPECT_EQ(std::string(m.items, m.count),
              "strict: calls the host function h() (it would run in Python)");
    m.free();
}

struct Named {
    const char* source;
    const char* objectName;
    const char* pyName;
};
class DisplayNames : public Values, public ::testing::WithParamInterface<Named> {};

TEST_P(DisplayNames, FollowQualnameThenNameThenTheClass) {
    Bare bare("t_names");
    Function f(&bare.c, "t_names_f", kProgramFunction);
    PyObject* o = define(GetParam().source, "o");
    ASSERT_NE(o, nullptr);
    front::Text name;
    ASSERT_EQ(compile::objectName(&f.e, o, &name), Status::ok);
    EXPECT_EQ(std::string(name.data, name.length), GetParam().objectName);
    ASSERT_EQ(compile::pyName(&bare.c, o, &name), Status::ok);
    EXPECT_EQ(std::string(name.data, name.length), GetParam().pyName);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    Py_DECREF(o);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, DisplayNames,
    ::testing::Values(
        Named{"class A:\n  class B: pass\no = A.B\n", "A.B", "B"},
        Named{"class Foo: pass\no = Foo()\n", "a Foo", ""},
        Named{"class N:\n  __name__ = 5\no = N()\n", "a N", ""},
        Named{"class Q:\n  __qualname__ = 'q'\n  @property\n  def __name__(self): raise KeyError\n"
              "o = Q()\n",
              "a Q", ""}));

}  // namespace

}  // namespace wuna
