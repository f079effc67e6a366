// Module variables while compiling: the scan cache (one analyzer call per module until the
// module grows or a function is replaced), the shapes of tables the module only reads, the
// strict rebind text, and the adoption of module state as native values shared through
// proxies, with its refusals. Each test has a fresh fixture module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/front/adopt.h"
#include "compiler/front/analyzer.h"
#include "compiler/front/modvars.h"
#include "tests/native/front_modules.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/proxies.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

constexpr char kModule[] = R"PY(
import dataclasses

KINDS = {"add": 1, "sub": 2}
NAMES = [1, 2, 3]
GRID = [[1], [2]]
FROZEN = frozenset({1, 2})
PAIR = (1, "a")
TAGS = {3, 4}
counter = 0


def kind(k):
    return KINDS[k]


def names():
    return len(NAMES) + len(GRID) + (1 in FROZEN) + PAIR[0] + (3 in TAGS)


def bump():
    global counter
    counter += 1


def lookup(k):
    return KINDS.get(k)


def other():
    return 0


@dataclasses.dataclass
class Sym:
    name: str
    slot: int = 0


@dataclasses.dataclass(frozen=True)
class Key:
    a: int


SYMBOLS = {"x": 1, "y": 2}
STATE = Sym("s", 3)
TWICE = [[7]] * 2
LEFT = [[0]]
RIGHT = [LEFT[0]]
MIXED = [(1, 2), {3}, "t", 5]
BY_KEY = {Key(1): 1}
BY_TUPLE = {(1, 2): "a"}
STRAY = Sym("t")
STRAY.extra = 1
HOLDS_STRAY = [STRAY]
ALIAS_A = {"k": 1}
ALIAS_B = ALIAS_A
NUMBER = 5
NESTED = [0]


def symbol(k):
    return SYMBOLS[k]


def define(k, v):
    SYMBOLS[k] = v
)PY";

// The proxy types, made here as the module's start-up makes them when the binary has none.
void needProxyTypes() {
    struct Made {
        PyTypeObject** global;
        PyType_Spec* spec;
    };
    const Made types[] = {{&proxies::types.list, &proxies::listSpec},
                          {&proxies::types.dict, &proxies::dictSpec},
                          {&proxies::types.record, &proxies::recordSpec}};
    for (const Made& m : types)
        if (!*m.global) *m.global = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(m.spec));
}

std::string text(PyObject* o) {
    PyObject* r = o ? PyObject_Repr(o) : nullptr;
    std::string s = r ? PyUnicode_AsUTF8(r) : "<no repr>";
    Py_XDECREF(r);
    PyErr_Clear();
    return s;
}

class ModuleVariables : public testing_support::WithModule<::testing::Test> {
protected:
    ModuleVariables() : WithModule(kModule) {}
    void SetUp() override {
        WithModule::SetUp();
        needProxyTypes();
        ASSERT_NE(proxies::types.list, nullptr);
    }
    // Python's answer to expr with the module's names (and x, when given), as its repr.
    std::string eval(const char* expr, PyObject* x = nullptr) {
        PyObject* locals = PyDict_New();
        if (x) PyDict_SetItemString(locals, "x", x);
        PyObject* r = PyRun_String(expr, Py_eval_input, module_, locals);
        Py_DECREF(locals);
        if (!r) {
            PyErr_Print();
            return "<raised>";
        }
        std::string s = text(r);
        Py_DECREF(r);
        return s;
    }
    void exec(const char* source) {
        PyObject* r = PyRun_String(source, Py_file_input, module_, module_);
        if (!r) PyErr_Print();
        ASSERT_NE(r, nullptr);
        Py_DECREF(r);
    }
};

// ---- the scan cache ---------------------------------------------------------------------------

TEST_F(ModuleVariables, ScanSeesRebindingsAndOnlyReadTables) {
    front::ScanEntry e{};
    ASSERT_EQ(scanGlobals(module_, &e), Status::ok);
    EXPECT_EQ(text(e.rebound), "frozenset({'counter'})");
    for (const char* table : {"KINDS", "NAMES", "GRID", "FROZEN", "PAIR", "TAGS"}) {
        PyObject* name = PyUnicode_FromString(table);
        EXPECT_EQ(PySet_Contains(e.onlyRead, name), 1) << table;
        Py_DECREF(name);
    }
    EXPECT_EQ(e.size, uint64_t(PyDict_Size(module_)));
}

TEST_F(ModuleVariables, ScanCallsTheAnalyzerOnceUntilTheModuleGrows) {
    front::ScanEntry first{};
    front::ScanEntry again{};
    uint64_t before = scanCalls();
    ASSERT_EQ(scanGlobals(module_, &first), Status::ok);
    ASSERT_EQ(scanGlobals(module_, &again), Status::ok);
    EXPECT_EQ(scanCalls(), before + 1);
    EXPECT_EQ(first.rebound, again.rebound);
    // A new value of the same variable: the dict keeps its size, the answer holds.
    exec("KINDS = {'mul': 3}");
    ASSERT_EQ(scanGlobals(module_, &again), Status::ok);
    EXPECT_EQ(scanCalls(), before + 1);
    // A new variable: scanned again.
    exec("EXTRA = 1");
    ASSERT_EQ(scanGlobals(module_, &again), Status::ok);
    EXPECT_EQ(scanCalls(), before + 2);
    EXPECT_EQ(again.size, uint64_t(PyDict_Size(module_)));
}

TEST_F(ModuleVariables, AReplacedFunctionThatRebindsATableUnfoldsIt) {
    front::ScanEntry e{};
    ASSERT_EQ(scanGlobals(module_, &e), Status::ok);
    PyObject* name = PyUnicode_FromString("KINDS");
    ASSERT_EQ(PySet_Contains(e.onlyRead, name), 1);
    uint64_t before = scanCalls();
    Py_ssize_t size = PyDict_Size(module_);
    // The same number of names, one function another: KINDS is now rebound at run time.
    exec("def kind(k):\n    global KINDS\n    KINDS = {}\n    return 0\n");
    ASSERT_EQ(PyDict_Size(module_), size);
    ASSERT_EQ(scanGlobals(module_, &e), Status::ok);
    EXPECT_EQ(scanCalls(), before + 1);
    EXPECT_EQ(PySet_Contains(e.rebound, name), 1);
    EXPECT_EQ(PySet_Contains(e.onlyRead, name), 0);
    Py_DECREF(name);
}

TEST_F(ModuleVariables, AReplacedMethodIsSeenToo) {
    front::ScanEntry e{};
    ASSERT_EQ(scanGlobals(module_, &e), Status::ok);
    uint64_t before = scanCalls();
    exec("def _reset(self):\n    global NAMES\n    NAMES = []\nSym.reset = _reset\ndel _reset\n");
    ASSERT_EQ(scanGlobals(module_, &e), Status::ok);
    EXPECT_EQ(scanCalls(), before + 1);
    PyObject* name = PyUnicode_FromString("NAMES");
    EXPECT_EQ(PySet_Contains(e.rebound, name), 1);
    Py_DECREF(name);
}

TEST_F(ModuleVariables, PureAsksAgainAfterAFunctionIsReplaced) {
    bool pure = false;
    ASSERT_EQ(front::isPure(global("lookup"), &pure), Status::ok);
    ASSERT_TRUE(pure);
    // Functions with readable sources, as a reload would define them.
    exec(
        "import linecache as _lc\n"
        "def _define(src, name):\n"
        "    _lc.cache[name] = (len(src), None, src.splitlines(True), name)\n"
        "    exec(compile(src, name, 'exec'), globals())\n"
        "_define('def other():\\n    global KINDS\\n    KINDS = {}\\n', '<other>')\n"
        "_define('def lookup_again(k):\\n    return KINDS.get(k)\\n', '<again>')\n"
        "del _lc, _define, NUMBER\n");  // the size as it was
    // A function judged from now on no longer reads KINDS as a constant.
    ASSERT_EQ(front::isPure(global("lookup_again"), &pure), Status::ok);
    EXPECT_FALSE(pure);
}

TEST_F(ModuleVariables, StrictRebindText) {
    backend::List<char> message;
    ASSERT_EQ(strictRebindMessage(&message, "counter", 7), Status::ok);
    EXPECT_EQ(std::string(message.items, message.count),
              "strict: reads the module variable counter, which a function rebinds (`global "
              "counter`) (it would run in Python)");
    message.free();
}

// ---- shapes of only-read tables ---------------------------------------------------------------

struct Emitted {
    int constants = 0;
    int sets = 0;
};

Status emitConstant(void* user, PyObject*, Shape* out) {
    static_cast<Emitted*>(user)->constants++;
    out->kind = ShapeKind::dyn;
    return Status::ok;
}

Status emitSet(void* user, PyObject*, Shape* out) {
    static_cast<Emitted*>(user)->sets++;
    out->kind = ShapeKind::dyn;
    return Status::ok;
}

struct TableCase {
    const char* name;
    bool strict;
    ShapeKind kind;
    int constants;  // the emission's constant containers asked for
    int sets;       // and adopted sets
};

class Tables : public testing_support::WithModule<::testing::TestWithParam<TableCase>> {
protected:
    Tables() : WithModule(kModule) {}
};

const TableCase kTables[] = {
    {"KINDS", false, ShapeKind::dict, 0, 0},
    {"KINDS", true, ShapeKind::dict, 0, 0},
    {"NAMES", true, ShapeKind::list, 0, 0},
    {"GRID", false, ShapeKind::list, 0, 0},  // items as Python objects: nothing refuses them
    {"GRID", true, ShapeKind::dyn, 1, 0},    // no shape for a list of lists in a strict language
    {"FROZEN", true, ShapeKind::py, 0, 0},
    {"PAIR", true, ShapeKind::tuple, 0, 0},
    {"TAGS", false, ShapeKind::dyn, 0, 1},
    {"TAGS", true, ShapeKind::dyn, 0, 1},
    {"MIXED", true, ShapeKind::dyn, 1, 0},
    {"NUMBER", true, ShapeKind::pint, 0, 0},
};

TEST_P(Tables, Shape) {
    const TableCase& t = GetParam();
    compiler_.strict = t.strict;
    Emitted emitted;
    ContainerEmission emission{&emitted, emitConstant, emitSet};
    Shape s{};
    ASSERT_EQ(walkPythonContainer(&compiler_, emission, global(t.name), &s), Status::ok);
    EXPECT_EQ(s.kind, t.kind);
    EXPECT_EQ(emitted.constants, t.constants);
    EXPECT_EQ(emitted.sets, t.sets);
}

INSTANTIATE_TEST_SUITE_P(OnlyRead, Tables, ::testing::ValuesIn(kTables), [](const auto& info) {
    return std::string(info.param.name) + (info.param.strict ? "_strict" : "");
});

TEST_F(ModuleVariables, AnOnlyReadDictBecomesConstantsThatFold) {
    Emitted emitted;
    Shape s{};
    ASSERT_EQ(
        walkPythonContainer(&compiler_, {&emitted, emitConstant, emitSet}, global("KINDS"), &s),
        Status::ok);
    ASSERT_EQ(s.kind, ShapeKind::dict);
    const front::DictRecord& d = *s.dict;
    EXPECT_EQ(d.source, global("KINDS"));
    EXPECT_EQ(d.literal, nullptr);
    EXPECT_EQ(d.comptime, 0);
    ASSERT_EQ(d.keyLength, 2u);
    ASSERT_EQ(d.valueLength, 2u);
    EXPECT_TRUE(front::textIs(d.keys[0].str, "add"));
    EXPECT_TRUE(front::textIs(d.keys[1].str, "sub"));
    EXPECT_EQ(d.values[0].kind, ShapeKind::pint);
    EXPECT_EQ(d.values[1].int_, 2);
    for (uint64_t i = 0; i < 2; i++) {
        EXPECT_TRUE(isConstant(d.keys[i]));
        EXPECT_TRUE(isConstant(d.values[i]));
    }
}

TEST_F(ModuleVariables, AnOnlyReadListOfIntsBecomesAListShape) {
    compiler_.strict = 1;
    Emitted emitted;
    Shape s{};
    ASSERT_EQ(
        walkPythonContainer(&compiler_, {&emitted, emitConstant, emitSet}, global("NAMES"), &s),
        Status::ok);
    ASSERT_EQ(s.kind, ShapeKind::list);
    ASSERT_EQ(s.list->length, 3u);
    EXPECT_EQ(s.list->source, global("NAMES"));
    EXPECT_EQ(s.list->items[2].int_, 3);
}

// ---- adoption ---------------------------------------------------------------------------------

// Makes a value and all it holds immortal, as a run does with shared state before threads
// share it.
void freeze(value::Value v) {
    if (!value::counted(v.tag)) return;
    auto* o = v.as<value::Obj>();
    // Frozen already (shared state loses its flag here, which marks it visited).
    if (value::immortal(o) && !(o->flags & value::FlagShared)) return;
    value::makeImmortal(o);
    o->flags &= ~uint32_t(value::FlagShared);
    if (v.tag == value::TagList)
        for (uint64_t i = 0; i < v.as<value::List>()->count; i++)
            freeze(v.as<value::List>()->items[i]);
    if (v.tag == value::TagTuple)
        for (uint64_t i = 0; i < v.as<value::Tuple>()->count; i++)
            freeze(v.as<value::Tuple>()->items()[i]);
    if (v.tag == value::TagDict)
        for (uint64_t i = 0; i < v.as<value::Dict>()->used; i++) {
            freeze(v.as<value::Dict>()->entries[i].key);
            freeze(v.as<value::Dict>()->entries[i].value);
        }
    if (v.tag == value::TagRecord)
        for (uint64_t i = 0; i < v.as<value::Record>()->cls->fieldCount; i++)
            freeze(v.as<value::Record>()->fields()[i]);
}

class Adoption : public ModuleVariables {
protected:
    // The native state adopted lives for the process. What its blocks hold is frozen at the
    // end, and the thread's collector lists let go of it, so that no later test of the same
    // process finds blocks of this one on them.
    void TearDown() override {
        for (value::Value v : adopted_) freeze(v);
        gc::collect(gc::threadRecord(), true, false);
        ModuleVariables::TearDown();
    }
    // Adopts the module's variable, expecting ok.
    AdoptOutcome adopt(const char* name) {
        AdoptOutcome out{};
        Status s = adoptModuleState(&compiler_, global(name), module_, &out);
        EXPECT_EQ(s, Status::ok) << name;
        if (s != Status::ok) PyErr_Print();
        if (out.outcome == Adopted::yes) adopted_.push_back(out.value);
        return out;
    }
    std::vector<value::Value> adopted_;
    std::string reason(const AdoptOutcome& out) {
        if (out.outcome != Adopted::refused) return "<not refused>";
        return std::string(out.reason.text, out.reason.length);
    }
};

TEST_F(Adoption, ADictOfStrsBecomesSharedState) {
    PyObject* before = global("SYMBOLS");
    AdoptOutcome out = adopt("SYMBOLS");
    ASSERT_EQ(out.outcome, Adopted::yes);
    ASSERT_EQ(out.value.tag, value::TagDict);
    auto* d = out.value.as<value::Dict>();
    EXPECT_TRUE(value::immortal(&d->h));
    EXPECT_FALSE(value::readOnly(&d->h));
    // The module's name now holds the proxy in place of the dict.
    PyObject* proxy = global("SYMBOLS");
    ASSERT_NE(proxy, before);
    ASSERT_EQ(Py_TYPE(proxy), proxies::types.dict);
    EXPECT_EQ(eval("symbol('y')"), "2");
    // Python's change through the proxy is seen natively...
    exec("SYMBOLS['z'] = 3");
    value::Value v{};
    value::Str* z = value::newStr("z", 1);
    ASSERT_TRUE(value::dictGet(d, value::Value::of(value::TagStr, z), &v));
    EXPECT_EQ(v.payload, 3u);
    value::decref(value::Value::of(value::TagStr, z));
    // ...and compiled code's change is seen by Python.
    value::Str* w = value::newStr("w", 1);
    ASSERT_TRUE(
        value::dictSet(d, value::Value::of(value::TagStr, w), value::Value{value::TagPint, 4}));
    value::decref(value::Value::of(value::TagStr, w));
    EXPECT_EQ(eval("symbol('w')"), "4");
    // The next compilation finds the proxy and takes its block at once.
    AdoptOutcome again = adopt("SYMBOLS");
    ASSERT_EQ(again.outcome, Adopted::yes);
    EXPECT_EQ(again.value.payload, out.value.payload);
}

TEST_F(Adoption, ATableAHelperChangesIsNeitherFoldedNorRebound) {
    front::ScanEntry e{};
    ASSERT_EQ(scanGlobals(module_, &e), Status::ok);
    PyObject* name = PyUnicode_FromString("SYMBOLS");
    EXPECT_EQ(PySet_Contains(e.rebound, name), 0);
    EXPECT_EQ(PySet_Contains(e.onlyRead, name), 0);
    Py_DECREF(name);
    AdoptOutcome out = adopt("SYMBOLS");
    ASSERT_EQ(out.outcome, Adopted::yes) << reason(out);
    // The helper, run as Python, changes the native dict through the proxy it now finds.
    EXPECT_EQ(eval("define('q', 5)"), "None");
    value::Str* q = value::newStr("q", 1);
    value::Value v{};
    EXPECT_TRUE(
        value::dictGet(out.value.as<value::Dict>(), value::Value::of(value::TagStr, q), &v));
    EXPECT_EQ(v.payload, 5u);
    value::decref(value::Value::of(value::TagStr, q));
}

TEST_F(Adoption, ARecordInstanceBecomesARecordProxy) {
    AdoptOutcome out = adopt("STATE");
    ASSERT_EQ(out.outcome, Adopted::yes);
    ASSERT_EQ(out.value.tag, value::TagRecord);
    ASSERT_EQ(Py_TYPE(global("STATE")), proxies::types.record);
    auto* r = out.value.as<value::Record>();
    EXPECT_EQ(r->fields()[1].payload, 3u);
    exec("STATE.slot = 9");
    EXPECT_EQ(r->fields()[1].payload, 9u);
    EXPECT_EQ(eval("STATE.name"), "'s'");
}

TEST_F(Adoption, TheSameDictUnderTwoNamesAndInAnotherModuleIsOneProxy) {
    PyObject* src = PyUnicode_FromString("X = 1\n");
    PyObject* other = call("module", src);
    Py_DECREF(src);
    ASSERT_NE(other, nullptr);
    PyDict_SetItemString(other, "BORROWED", global("ALIAS_A"));
    AdoptOutcome out = adopt("ALIAS_A");
    ASSERT_EQ(out.outcome, Adopted::yes) << reason(out);
    PyObject* proxy = global("ALIAS_A");
    EXPECT_EQ(Py_TYPE(proxy), proxies::types.dict);
    EXPECT_EQ(global("ALIAS_B"), proxy);
    EXPECT_EQ(PyDict_GetItemString(other, "BORROWED"), proxy);
    Py_DECREF(other);
}

TEST_F(Adoption, AListHoldingAListTwiceHoldsOneNativeListTwice) {
    AdoptOutcome out = adopt("TWICE");
    ASSERT_EQ(out.outcome, Adopted::yes) << reason(out);
    auto* l = out.value.as<value::List>();
    ASSERT_EQ(l->count, 2u);
    EXPECT_EQ(l->items[0].tag, value::TagList);
    EXPECT_EQ(l->items[0].payload, l->items[1].payload);
    EXPECT_EQ(l->items[0].as<value::Obj>()->count, 2u);
}

TEST_F(Adoption, TwoListsSharingAnItemAreTakenOverTogether) {
    AdoptOutcome out = adopt("LEFT");
    ASSERT_EQ(out.outcome, Adopted::yes) << reason(out);
    ASSERT_EQ(Py_TYPE(global("RIGHT")), proxies::types.list);
    auto* left = out.value.as<value::List>();
    auto* right = reinterpret_cast<proxies::ProxyObject*>(global("RIGHT"))->block;
    EXPECT_EQ(reinterpret_cast<value::List*>(right)->items[0].payload, left->items[0].payload);
    exec("RIGHT[0].append(1)");
    EXPECT_EQ(eval("LEFT"), "[[0, 1]]");
}

TEST_F(Adoption, TuplesAndSetsInsideAreConvertedByValue) {
    // A reference to the tuple from elsewhere is no reason to refuse: it is copied.
    PyObject* tuple = Py_NewRef(PyList_GET_ITEM(global("MIXED"), 0));
    AdoptOutcome out = adopt("MIXED");
    Py_DECREF(tuple);
    ASSERT_EQ(out.outcome, Adopted::yes) << reason(out);
    auto* l = out.value.as<value::List>();
    ASSERT_EQ(l->count, 4u);
    EXPECT_EQ(l->items[0].tag, value::TagTuple);
    EXPECT_EQ(eval("MIXED"), "[(1, 2), {3}, 't', 5]");
}

TEST_F(Adoption, ADictKeyedByTuplesIsAdopted) {
    AdoptOutcome out = adopt("BY_TUPLE");
    EXPECT_EQ(out.outcome, Adopted::yes) << reason(out);
}

struct RefusalCase {
    const char* name;
    const char* reason;
};

class Refusals : public testing_support::WithModule<::testing::TestWithParam<RefusalCase>> {
protected:
    Refusals() : WithModule(kModule) {}
    void SetUp() override {
        WithModule::SetUp();
        needProxyTypes();
    }
};

const RefusalCase kRefusals[] = {
    {"BY_KEY",
     "a dict in it has a key compiled code's dicts can't hash, or attributes beyond its "
     "fields"},
    {"STRAY",
     "a Sym in it has a key compiled code's dicts can't hash, or attributes beyond its "
     "fields"},
    {"HOLDS_STRAY",
     "a Sym in it has a key compiled code's dicts can't hash, or attributes "
     "beyond its fields"},
};

TEST_P(Refusals, TextAndNothingChanged) {
    const RefusalCase& t = GetParam();
    PyObject* before = global(t.name);
    int64_t blocks = pool::liveBlocks();
    AdoptOutcome out{};
    ASSERT_EQ(adoptModuleState(&compiler_, before, module_, &out), Status::ok);
    ASSERT_EQ(out.outcome, Adopted::refused);
    EXPECT_EQ(std::string(out.reason.text, out.reason.length), t.reason);
    EXPECT_EQ(global(t.name), before);
    EXPECT_EQ(pool::liveBlocks(), blocks);
}

INSTANTIATE_TEST_SUITE_P(Module, Refusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Adoption, ADictAlsoHeldByALocalIsRefused) {
    PyObject* local = Py_NewRef(global("SYMBOLS"));  // as a running function's local holds it
    int64_t blocks = pool::liveBlocks();
    AdoptOutcome out = adopt("SYMBOLS");
    EXPECT_EQ(reason(out),
              "a dict in it is referred to from somewhere besides it and module names (2 "
              "references, 1 of them those)");
    EXPECT_EQ(global("SYMBOLS"), local);
    EXPECT_EQ(pool::liveBlocks(), blocks);
    Py_DECREF(local);
}

TEST_F(Adoption, WhatIsNoListDictOrRecordIsNotAdopted) {
    for (const char* name : {"PAIR", "NUMBER", "TAGS", "FROZEN"}) {
        PyObject* before = global(name);
        AdoptOutcome out = adopt(name);
        EXPECT_EQ(out.outcome, Adopted::no) << name;
        EXPECT_EQ(global(name), before) << name;
    }
}

TEST_F(Adoption, AFailedConversionLeavesTheModuleAndTheBlocksAsTheyWere) {
    // Too deep to convert: the failure comes after the check, while blocks are being filled.
    exec("t = ()\nfor _ in range(100000):\n    t = (t,)\nNESTED.append(t)\ndel t, _\n");
    int64_t blocks = pool::liveBlocks();
    PyObject* before = global("NESTED");
    AdoptOutcome out{};
    EXPECT_EQ(adoptModuleState(&compiler_, before, module_, &out), Status::pythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RecursionError));
    PyErr_Clear();
    EXPECT_EQ(out.error, uint16_t(Status::pythonError));
    EXPECT_EQ(global("NESTED"), before);
    EXPECT_EQ(pool::liveBlocks(), blocks);
}

TEST_F(Adoption, StateInGlobalsOfNoLoadedModuleIsNamedThere) {
    PyObject* g = testing_support::runHelpers("STATE = {'a': [1]}\n");
    ASSERT_NE(g, nullptr);
    AdoptOutcome out{};
    ASSERT_EQ(adoptModuleState(&compiler_, PyDict_GetItemString(g, "STATE"), g, &out), Status::ok);
    ASSERT_EQ(out.outcome, Adopted::yes) << reason(out);
    EXPECT_EQ(Py_TYPE(PyDict_GetItemString(g, "STATE")), proxies::types.dict);
    Py_DECREF(g);
}

struct FailureCase {
    const char* setup;  // run in the module; binds BAD
    Status status;
    PyObject** exception;  // the pending exception's class, or null
};

class AdoptionFailures : public testing_support::WithModule<::testing::TestWithParam<FailureCase>> {
protected:
    AdoptionFailures() : WithModule(kModule) {}
};

const FailureCase kFailures[] = {
    // A field name too long for the lookup buffer.
    {"BAD = dataclasses.make_dataclass('Long', ['f' * 300])(1)", Status::outOfMemory, nullptr},
    // An instance attribute whose name is no str.
    {"BAD = Sym('n')\nBAD.__dict__[1] = 2", Status::pythonError, &PyExc_TypeError},
};

TEST_P(AdoptionFailures, NothingIsHandedOver) {
    PyObject* r = PyRun_String(GetParam().setup, Py_file_input, module_, module_);
    ASSERT_NE(r, nullptr);
    Py_DECREF(r);
    PyObject* before = global("BAD");
    int64_t blocks = pool::liveBlocks();
    AdoptOutcome out{};
    EXPECT_EQ(adoptModuleState(&compiler_, before, module_, &out), GetParam().status);
    EXPECT_EQ(out.error, uint16_t(GetParam().status));
    if (GetParam().exception)
        EXPECT_TRUE(PyErr_ExceptionMatches(*GetParam().exception));
    else
        EXPECT_FALSE(PyErr_Occurred());
    PyErr_Clear();
    EXPECT_EQ(global("BAD"), before);
    EXPECT_EQ(pool::liveBlocks(), blocks);
}

INSTANTIATE_TEST_SUITE_P(Module, AdoptionFailures, ::testing::ValuesIn(kFailures));

}  // namespace

}  // namespace wuna::compile
