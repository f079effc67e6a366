// The attribute, subscript, record-field, type-test, len and method-call lowerings, compiled
// into one module, loaded through the code engine and run on native values against the
// running interpreter: x[i] on lists, tuples, strs and dicts with run-time and constant
// indexes (the inline list/tuple path and the helper behind it give Python's values and
// IndexError/KeyError/TypeError texts), item stores, record fields read and written by class
// tests, isinstance by tag tests and len by inline block words. Then what is decided while
// compiling: folded subscripts, rt.<unknown>, and to_bytes given one argument twice.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "compiler/codegen/lower.h"
#include "compiler/front/cache.h"
#include "tests/native/differential.h"
#include "tests/native/python_test_support.h"
#include "tests/native/toolkit_support.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using namespace toolkit_testing;
using compile::KnownKind;
using compile::Operand;
using compile::Semantic;
using compile::Shape;
using compile::ShapeKind;
using testing_support::eval;
using testing_support::run;

constexpr uint32_t kProgramFunction = 13;

// Every compiled case: (ctx, a tag, a payload, b tag, b payload, c tag, c payload, out) -> ok.
using Compiled = bool (*)(helpers::Ctx*, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t,
                          value::Value*);
using Body = std::function<Status(compile::Emitter*, Semantic*, Operand, Operand, Operand, Shape*)>;

constexpr const char* kScript =
    "from dataclasses import dataclass\n"
    "@dataclass\n"
    "class P:\n"
    "    x: object\n"
    "    y: object\n"
    "@dataclass\n"
    "class Q:\n"
    "    y: object\n"
    "    x: object\n"
    "@dataclass\n"
    "class R:\n"
    "    y: object\n"
    "@dataclass(frozen=True)\n"
    "class F:\n"
    "    x: object\n"
    "def sem(node, rt):\n"
    "    return node\n"
    "def setx(o, v):\n"
    "    o.x = v\n"
    "def setitem(c, i, v):\n"
    "    c[i] = v\n"
    "I64 = int\n"
    "def unset_x():\n"
    "    p = P(1, 2)\n"
    "    del p.x\n"
    "    return p\n";

Shape pint(int64_t v) {
    Shape s{};
    s.kind = ShapeKind::pint;
    s.int_ = v;
    return s;
}

Operand operandOf(Function& f, unsigned first) {
    Operand o{};
    o.tag = f.param(first);
    o.payload = f.param(first + 1);
    o.functionNode = compile::kNoFunctionNode;
    o.kind = KnownKind::unknown;
    return o;
}

// The module of every case, built and loaded once for the process.
struct Program {
    driver::Compiled* state = nullptr;
    front::FunctionIR ir{};
    std::vector<std::pair<std::string, Body>> cases;
    std::vector<std::pair<std::string, Compiled>> loaded;

    Compiled find(const std::string& name) {
        for (auto& [n, fn] : loaded)
            if (n == name) return fn;
        ADD_FAILURE() << "no case " << name;
        return nullptr;
    }

    void build() {
        state = newState();
        compile::Compiler* c = &state->compiler;
        compile::ModuleRecord* m = &c->module;
        ir.function = testing_support::eval("sem");
        ir.name = front::Text{"sem", 3};
        ir.fileName = front::Text{"t.py", 4};
        for (size_t k = 0; k < cases.size(); k++) {
            std::string symbol = symbolOf(state, ("_c" + std::to_string(k)).c_str());
            Function f(c, symbol.c_str(), kProgramFunction,
                       {m->ptr, m->i64, m->i64, m->i64, m->i64, m->i64, m->i64, m->ptr});
            f.addErrorBlock();
            Semantic* s = compile::newSemantic(c, &ir, 2, 0);
            ASSERT_NE(s, nullptr);
            ASSERT_TRUE(f.e.semantics.push(s));
            Shape result = compile::noneShape();
            Status st = cases[k].second(&f.e, s, operandOf(f, 1), operandOf(f, 3), operandOf(f, 5),
                                        &result);
            ASSERT_EQ(st, Status::ok) << cases[k].first << ": " << takeError()
                                      << std::string(c->message.items, c->message.count);
            Operand o;
            ASSERT_EQ(compile::materialize(&f.e, result, 0, &o), Status::ok);
            compile::storeWord(&f.e, o.tag, f.param(7));
            compile::storeWord(&f.e, o.payload, compile::slotPayload(&f.e, f.param(7)));
            compile::endSemantic(s);
        }
        std::string first = symbolOf(state, "_c0");
        uint64_t address = loadAndFind(state, first);
        ASSERT_NE(address, 0u);
        for (size_t k = 0; k < cases.size(); k++) {
            std::string symbol = symbolOf(state, ("_c" + std::to_string(k)).c_str());
            loaded.emplace_back(cases[k].first, reinterpret_cast<Compiled>(
                                                    state->engine->symbolAddress(symbol.c_str())));
        }
    }
};

Program* program = nullptr;

Status getItem(compile::Emitter* e, Semantic* s, Shape container, Shape index, Shape* out) {
    return compile::emitGetItem(e, s, &container, &index, 0, out);
}

// The cases, by name.
void addCases(Program* p) {
    auto add = [p](const std::string& name, Body body) { p->cases.emplace_back(name, body); };
    add("getitem", [](compile::Emitter* e, Semantic* s, Operand a, Operand b, Operand, Shape* out) {
        return getItem(e, s, compile::dynShape(a), compile::dynShape(b), out);
    });
    for (int64_t k : {0, 2, -1, -3, -4, 3}) {
        add("getitem_k" + std::to_string(k),
            [k](compile::Emitter* e, Semantic* s, Operand a, Operand, Operand, Shape* out) {
                return getItem(e, s, compile::dynShape(a), pint(k), out);
            });
    }
    add("getitem_key_a",
        [](compile::Emitter* e, Semantic* s, Operand a, Operand, Operand, Shape* out) {
            Shape key{};
            key.kind = ShapeKind::str;
            key.str = front::Text{"a", 1};
            return getItem(e, s, compile::dynShape(a), key, out);
        });
    add("setitem",
        [](compile::Emitter* e, Semantic* s, Operand a, Operand b, Operand c, Shape* out) {
            Shape container = compile::dynShape(a), index = compile::dynShape(b),
                  item = compile::dynShape(c);
            *out = compile::noneShape();
            return compile::emitSetItem(e, s, &container, &index, &item, 0);
        });
    add("field_x", [](compile::Emitter* e, Semantic* s, Operand a, Operand, Operand, Shape* out) {
        Shape object = compile::dynShape(a);
        return compile::emitAttribute(e, s, &object, front::Text{"x", 1}, 0, out);
    });
    add("setfield_x",
        [](compile::Emitter* e, Semantic* s, Operand a, Operand b, Operand, Shape* out) {
            Shape object = compile::dynShape(a), item = compile::dynShape(b);
            *out = compile::noneShape();
            return compile::emitSetAttr(e, s, &object, front::Text{"x", 1}, &item, 0);
        });
    for (const char* cls : {"int", "bool", "str", "float", "list", "tuple", "dict", "set", "bytes",
                            "P", "(int, str)", "()", "(float, P)"}) {
        add(std::string("isinstance ") + cls, [cls](compile::Emitter* e, Semantic* s, Operand a,
                                                    Operand, Operand, Shape* out) {
            PyObject* classes = testing_support::eval(cls);
            Shape shape;
            Status st = compile::fromPython(e->compiler, classes, &shape);
            if (st == Status::ok && shape.kind == ShapeKind::py)
                st = compile::pinObject(e->compiler, classes, nullptr);
            for (uint64_t i = 0;
                 st == Status::ok && shape.kind == ShapeKind::tuple && i < shape.tuple.count; i++)
                st = compile::pinObject(e->compiler, shape.tuple.items[i].py, nullptr);
            Py_DECREF(classes);
            if (st != Status::ok) return st;
            Shape x = compile::dynShape(a);
            return compile::emitIsinstance(e, s, &x, &shape, 0, out);
        });
    }
    // isinstance of two classes on a value read through a borrow (the caller keeps its
    // reference), and on a tuple known while compiling holding a run-time value (owned).
    auto twoClasses = [](compile::Emitter* e, Shape* x, Shape* out) {
        PyObject* classes = testing_support::eval("(int, tuple)");
        Shape shape;
        Status st = compile::fromPython(e->compiler, classes, &shape);
        Py_DECREF(classes);
        if (st != Status::ok) return st;
        return compile::emitIsinstance(e, nullptr, x, &shape, 0, out);
    };
    add("isinstance borrowed",
        [twoClasses](compile::Emitter* e, Semantic*, Operand a, Operand, Operand, Shape* out) {
            Operand borrowed;
            if (Status err = compile::borrowOperand(e, a, 0, &borrowed); err != Status::ok)
                return err;
            Shape x = compile::dynShape(borrowed);
            return twoClasses(e, &x, out);
        });
    add("isinstance tuple shape",
        [twoClasses](compile::Emitter* e, Semantic*, Operand a, Operand, Operand, Shape* out) {
            Shape* items = compile::takeArray<Shape>(e->compiler, 1);
            if (!items) return Status::outOfMemory;
            items[0] = compile::dynShape(a);
            Shape x{};
            x.kind = ShapeKind::tuple;
            x.tuple.items = items;
            x.tuple.count = 1;
            return twoClasses(e, &x, out);
        });
    add("len", [](compile::Emitter* e, Semantic* s, Operand a, Operand, Operand, Shape* out) {
        PyObject* len = testing_support::eval("len");
        Status st = compile::pinObject(e->compiler, len, nullptr);
        Py_DECREF(len);
        if (st != Status::ok) return st;
        Operand length;
        if (Status err = compile::emitLen(e, s, len, &a, &length); err != Status::ok) return err;
        *out = compile::dynShape(length);
        return Status::ok;
    });
}

class AttributesLower : public toolkit_testing::EngineFixture<testing_support::Differential> {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        if (!program) {
            // Once: the compiled class tests name these very classes.
            run(kScript);
            program = new Program();
            addCases(program);
            program->build();
        }
        // Compiling made the module's immortal literals: not the cases' blocks.
        start = pool::liveBlocks();
    }

    // The native value compiled code would hold for a Python value: records for instances of
    // record classes (fields missing on the object left unset), deep lists and dicts.
    static value::Value nativeOf(PyObject* o) {
        value::RecordClass* cls = nullptr;
        if (!PyType_Check(o) && convert::describeClass(reinterpret_cast<PyObject*>(Py_TYPE(o)),
                                                       &cls) == convert::Described::Record) {
            value::Record* r = value::newRecord(cls);
            for (uint64_t i = 0; i < cls->fieldCount; i++) {
                PyObject* field = PyObject_GetAttrString(o, cls->fields[i].data);
                if (!field) {
                    // A field the object lacks reads as the runtime's unset field.
                    PyErr_Clear();
                    r->fields()[i] = value::Value::unset();
                    continue;
                }
                r->fields()[i] = nativeOf(field);
                Py_DECREF(field);
            }
            return value::Value::of(value::TagRecord, r);
        }
        PyErr_Clear();
        value::Value v = value::Value::none();
        EXPECT_EQ(convert::convert(o, true, &v), 0) << show(o);
        return v;
    }

    // The field's value of a native record as Python sees it, or "<no field>".
    std::string fieldText(value::Value v, const char* name) {
        if (v.tag != value::TagRecord) return "<no record>";
        value::Record* r = v.as<value::Record>();
        for (uint64_t i = 0; i < r->cls->fieldCount; i++) {
            if (strcmp(r->cls->fields[i].data, name) != 0) continue;
            PyObject* o = convert::toPython(r->fields()[i], &ctx.conversion);
            std::string text = show(o);
            Py_XDECREF(o);
            return text;
        }
        return "<no field>";
    }

    // Runs a case on native copies of Python values (the case consumes them).
    bool call(const std::string& name, PyObject* a, PyObject* b, PyObject* c, value::Value* out) {
        Compiled fn = program->find(name);
        value::Value va = a ? nativeOf(a) : value::Value::none();
        value::Value vb = b ? nativeOf(b) : value::Value::none();
        value::Value vc = c ? nativeOf(c) : value::Value::none();
        *out = value::Value::none();
        if (!fn) return false;
        return fn(&ctx, va.tag, va.payload, vb.tag, vb.payload, vc.tag, vc.payload, out);
    }

    // The case's outcome against Python's expression over a and b.
    void expectLike(const std::string& name, const char* expression, PyObject* a, PyObject* b) {
        PyObject* ns = PyDict_New();
        PyDict_SetItemString(ns, "a", a);
        if (b) PyDict_SetItemString(ns, "b", b);
        PyObject* expected =
            PyRun_String(expression, Py_eval_input, testing_support::namespaceDict(), ns);
        Py_DECREF(ns);
        // Python's error waits while the case runs.
        PyObject *type, *error, *traceback;
        PyErr_Fetch(&type, &error, &traceback);
        value::Value out;
        bool ok = call(name, a, b, nullptr, &out);
        std::string shown = name + " of " + show(a) + (b ? ", " + show(b) : std::string());
        PyErr_Restore(type, error, traceback);
        expectOutcome(shown, ok, out, expected, false);
    }
};

// --- subscripts --------------------------------------------------------------------------

constexpr const char* kContainers =
    "[[10, 20, 30], [I64(1), 2, I64(3)], [1, 'a', 2.5], [], (7, 8, 9), ('x',), 'h\\u00e9llo',"
    " {'a': 1, 2: 'b'}, {}, 5, None]";
constexpr const char* kIndexes = "[0, 2, -1, -3, -4, 3, True, False, 'a', 2.5, None, 2**70]";

TEST_F(AttributesLower, SubscriptsWithRunTimeIndexesGivePythonsValuesAndErrors) {
    eachCase(kContainers, [&](PyObject* container) {
        eachCase(kIndexes,
                 [&](PyObject* index) { expectLike("getitem", "a[b]", container, index); });
    });
}

TEST_F(AttributesLower, SubscriptsWithConstantIndexesGivePythonsValuesAndErrors) {
    for (int64_t k : {0, 2, -1, -3, -4, 3}) {
        std::string expression = "a[" + std::to_string(k) + "]";
        eachCase(kContainers, [&](PyObject* container) {
            expectLike("getitem_k" + std::to_string(k), expression.c_str(), container, nullptr);
        });
    }
    eachCase(kContainers, [&](PyObject* container) {
        expectLike("getitem_key_a", "a['a']", container, nullptr);
    });
}

TEST_F(AttributesLower, ANativeListChangedAfterConversionIsReadInlineWithItsSummary) {
    // A list of ints gets a str appended natively: its summary no longer vouches for ints.
    value::List* list = value::newList(4);
    ASSERT_NE(list, nullptr);
    for (uint64_t i = 1; i <= 3; i++)
        ASSERT_TRUE(value::listAppend(list, value::Value{value::TagPint, i}));
    EXPECT_EQ(list->h.flags & value::SummaryAll, uint32_t(value::SummaryPint));
    value::Value v = value::Value::of(value::TagList, list);
    value::Str* str = value::newStr("s", 1);
    ASSERT_TRUE(value::listAppend(list, value::Value::of(value::TagStr, str)));
    EXPECT_EQ(list->h.flags & value::SummaryAll, 0u);
    for (int64_t k : {-1, 3}) {
        value::incref(v);
        value::Value out;
        Compiled fn = program->find("getitem_k" + std::to_string(k));
        ASSERT_TRUE(fn(&ctx, v.tag, v.payload, 0, 0, 0, 0, &out));
        ASSERT_EQ(out.tag, uint64_t(value::TagStr));
        EXPECT_EQ(out.as<value::Str>()->text(), "s");
        value::decref(out);
    }
    value::Value out;
    value::incref(v);
    ASSERT_TRUE(program->find("getitem_k0")(&ctx, v.tag, v.payload, 0, 0, 0, 0, &out));
    EXPECT_EQ(out.tag, uint64_t(value::TagPint));
    EXPECT_EQ(out.payload, 1u);
    value::decref(v);
}

// Python's outcome (a new reference, or null with its exception kept aside) taken before the
// native case runs, and given back for the comparison.
struct Aside {
    PyObject* value;
    PyObject *type = nullptr, *error = nullptr, *traceback = nullptr;
    explicit Aside(PyObject* v) : value(v) {
        if (!v) PyErr_Fetch(&type, &error, &traceback);
    }
    PyObject* back() {
        if (!value) PyErr_Restore(type, error, traceback);
        return value;
    }
};

PyObject* shallowCopy(PyObject* o) {
    PyObject* copier = eval("__import__('copy').copy");
    PyObject* copy = PyObject_CallFunctionObjArgs(copier, o, nullptr);
    Py_DECREF(copier);
    return copy;
}

TEST_F(AttributesLower, ItemStoresChangeTheContainerOrFailAsPythonDoes) {
    eachCase(
        "[([1, 2, 3], 1, 9), ([1, 2, 3], -1, 'z'), ([1, 2, 3], 5, 0), ([1], 'a', 0),"
        " ((1, 2), 0, 5), ({'a': 1}, 'b', [2]), ({'a': 1}, [1], 2), ('abc', 0, 'x')]",
        [&](PyObject* item) {
            PyObject* container = PyTuple_GET_ITEM(item, 0);
            PyObject* index = PyTuple_GET_ITEM(item, 1);
            PyObject* newValue = PyTuple_GET_ITEM(item, 2);
            std::string shown = "setitem " + show(item);
            PyObject* copy = shallowCopy(container);
            ASSERT_NE(copy, nullptr);
            PyObject* setter = eval("setitem");
            Aside expected(PyObject_CallFunctionObjArgs(setter, copy, index, newValue, nullptr));
            Py_DECREF(setter);
            value::Value native = nativeOf(container);
            value::incref(native);
            value::Value vi = nativeOf(index), vv = nativeOf(newValue), out;
            bool ok = program->find("setitem")(&ctx, native.tag, native.payload, vi.tag, vi.payload,
                                               vv.tag, vv.payload, &out);
            PyObject* after = convert::toPython(native, &ctx.conversion);
            std::string afterText = show(after), copyText = show(copy);
            Py_XDECREF(after);
            expectOutcome(shown, ok, out, expected.back(), false);
            EXPECT_EQ(afterText, copyText) << shown;
            Py_DECREF(copy);
            value::decref(native);
        });
}

// --- record fields -----------------------------------------------------------------------

TEST_F(AttributesLower, RecordFieldsAreReadByTheirClassAndEverythingElseAsPythonReadsIt) {
    eachCase("[P(1, 2), Q('y', 'qx'), F(7), 5, 'str', [1], unset_x()]",
             [&](PyObject* object) { expectLike("field_x", "a.x", object, nullptr); });
}

TEST_F(AttributesLower, RecordFieldsAreWrittenAndFrozenOrForeignObjectsFailAsInPython) {
    eachCase("[P(1, 2), Q('y', 'qx'), F(7), 5]", [&](PyObject* object) {
        std::string shown = "setfield_x " + show(object);
        PyObject* copy = shallowCopy(object);
        ASSERT_NE(copy, nullptr);
        PyObject* setter = eval("setx");
        PyObject* text = PyUnicode_FromString("new");
        Aside expected(PyObject_CallFunctionObjArgs(setter, copy, text, nullptr));
        Py_DECREF(setter);
        value::Value native = nativeOf(object);
        value::incref(native);
        value::Value vv = nativeOf(text);
        Py_DECREF(text);
        value::Value out;
        bool ok = program->find("setfield_x")(&ctx, native.tag, native.payload, vv.tag, vv.payload,
                                              0, 0, &out);
        std::string x = ok ? fieldText(native, "x") : "";
        expectOutcome(shown, ok, out, expected.back(), false);
        if (ok) {
            EXPECT_EQ(x, "'new'") << shown;
        }
        Py_DECREF(copy);
        value::decref(native);
    });
}

// --- isinstance and len ------------------------------------------------------------------

TEST_F(AttributesLower, IsinstanceOfBuiltinAndRecordClassesByTagTests) {
    const char* classes[] = {"int", "bool",  "str", "float",      "list", "tuple",     "dict",
                             "set", "bytes", "P",   "(int, str)", "()",   "(float, P)"};
    for (const char* cls : classes) {
        std::string expression = std::string("isinstance(a, ") + cls + ")";
        eachCase("[1, True, I64(2), 2**70, 1.5, 's', [1], (1,), {1: 2}, {1}, b'x', P(1, 2), None]",
                 [&](PyObject* x) {
                     expectLike(std::string("isinstance ") + cls, expression.c_str(), x, nullptr);
                 });
    }
}

TEST_F(AttributesLower, IsinstanceOfSeveralClassesReleasesTheValueExactlyOnce) {
    value::List* list = value::newList(2);
    ASSERT_NE(list, nullptr);
    value::Value v = value::Value::of(value::TagList, list);
    value::Value out;
    // A borrowed read: the caller's reference is all there is, before and after.
    ASSERT_TRUE(program->find("isinstance borrowed")(&ctx, v.tag, v.payload, 0, 0, 0, 0, &out));
    EXPECT_EQ(out.tag, uint64_t(value::TagBool));
    EXPECT_EQ(out.payload, 0u) << "a list is neither an int nor a tuple";
    EXPECT_EQ(list->h.count, 1u) << "each class test drops the reference it was given";
    value::decref(v);
    // (list,) is a tuple: the tuple's item is handed over once, dropped once.
    list = value::newList(2);
    ASSERT_NE(list, nullptr);
    v = value::Value::of(value::TagList, list);
    value::incref(v);
    ASSERT_TRUE(
        program->find("isinstance tuple shape")(&ctx, v.tag, v.payload, 0, 0, 0, 0, &out));
    EXPECT_EQ(out.tag, uint64_t(value::TagBool));
    EXPECT_EQ(out.payload, 1u);
    ASSERT_EQ(list->h.count, 1u) << "the item released once, not once per class";
    value::decref(v);
}

TEST_F(AttributesLower, LenReadsTheBlocksCountsAndAsksTheHelperForOthers) {
    eachCase("['h\\u00e9llo', '', [1, 2, 3], (), {1: 2, 3: 4}, b'abc', {1, 2}, 5, None]",
             [&](PyObject* x) { expectLike("len", "len(a)", x, nullptr); });
}

// --- decided while compiling ---------------------------------------------------------------

// Compiling alone, with the lock held as a compile holds it.
class AttributesFold : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        r = gil::current();
        gil::ensure(r);
        ASSERT_TRUE(toolkit_testing::adoptEngine());
    }
    void TearDown() override {
        PyErr_Clear();
        testing_support::endRun(r);
    }
    gil::Record* r = nullptr;
};

struct Folded {
    const char* container;  // a Python expression of a constant
    int64_t index;
    const char* expected;  // repr, or "" for a read left to run time
};

TEST_F(AttributesFold, ConstantSubscriptsFoldAndOutOfRangeOnesAreLeftToRunTime) {
    const Folded cases[] = {{"(1, 2, 3)", -1, "3"}, {"(1, 2, 3)", 3, ""},     {"'abc'", 1, "'b'"},
                            {"'abc'", 5, ""},       {"('a', 'b')", 1, "'b'"}, {"(1, 2)", -3, ""}};
    for (const Folded& c : cases) {
        backend_testing::Bare bare("t_fold");
        Function f(&bare.c, "t_fold_f", kProgramFunction, {bare.m()->ptr});
        f.addErrorBlock();
        PyObject* object = testing_support::eval(c.container);
        Shape container, out;
        ASSERT_EQ(compile::fromPython(&bare.c, object, &container), Status::ok);
        Py_DECREF(object);
        Shape index = pint(c.index);
        ASSERT_EQ(compile::emitGetItem(&f.e, nullptr, &container, &index, 0, &out), Status::ok);
        std::string ir = f.ir();
        if (!*c.expected) {
            EXPECT_EQ(out.kind, ShapeKind::dyn) << c.container << "[" << c.index << "]";
            EXPECT_NE(ir.find("@wn_getitem"), std::string::npos) << ir;
            continue;
        }
        PyObject* value = nullptr;
        ASSERT_EQ(compile::toPython(&bare.c, out, &value), Status::ok);
        EXPECT_EQ(testing_support::pyRepr(value), c.expected)
            << c.container << "[" << c.index << "]";
        Py_DECREF(value);
        EXPECT_EQ(ir.find("@wn_getitem"), std::string::npos) << "folded: no helper\n" << ir;
    }
}

TEST_F(AttributesFold, AListMadeWhileCompilingFoldsTrueAsItemOneAndChangesInPlace) {
    backend_testing::Bare bare("t_list");
    Function f(&bare.c, "t_list_f", kProgramFunction, {bare.m()->ptr});
    f.addErrorBlock();
    front::ListRecord* list = front::newListRecord(&bare.c);
    ASSERT_NE(list, nullptr);
    for (int64_t v : {10, 20, 30}) ASSERT_EQ(front::appendItem(&bare.c, list, pint(v)), Status::ok);
    Shape container{};
    container.kind = ShapeKind::list;
    container.list = list;
    Semantic* s = compile::newSemantic(&bare.c, nullptr, 1, 0);
    ASSERT_TRUE(f.e.semantics.push(s));
    Shape index{}, out;
    index.kind = ShapeKind::bool_;
    index.bool_ = 1;
    ASSERT_EQ(compile::emitGetItem(&f.e, s, &container, &index, 0, &out), Status::ok);
    EXPECT_EQ(out.kind, ShapeKind::pint);
    EXPECT_EQ(out.int_, 20);
    // x[-1] = 99 in straight-line code changes the compiler's record; no code.
    Shape last = pint(-1), value = pint(99);
    ASSERT_EQ(compile::emitSetItem(&f.e, s, &container, &last, &value, 0), Status::ok);
    EXPECT_EQ(list->items[2].int_, 99);
    // Inside run-time control flow it is compiled for run time instead.
    s->controlDepth = 1;
    Shape first = pint(0), other = pint(5);
    EXPECT_EQ(compile::emitSetItem(&f.e, s, &container, &first, &other, 0), Status::ok);
    EXPECT_EQ(list->items[0].int_, 10);
    EXPECT_NE(f.ir().find("@wn_setitem"), std::string::npos);
    compile::endSemantic(s);
}

// A tuple shape of the shapes (an arena array).
Shape tupleOf(compile::Compiler* c, std::initializer_list<Shape> items) {
    Shape* array = compile::takeArray<Shape>(c, items.size());
    size_t i = 0;
    for (const Shape& item : items) array[i++] = item;
    Shape t{};
    t.kind = ShapeKind::tuple;
    t.tuple.items = array;
    t.tuple.count = items.size();
    return t;
}

Shape trueShape() {
    Shape s{};
    s.kind = ShapeKind::bool_;
    s.bool_ = 1;
    return s;
}

Shape strOf(const char* text) {
    Shape s{};
    s.kind = ShapeKind::str;
    s.str = front::Text{text, strlen(text)};
    return s;
}

TEST_F(AttributesFold, TupleKeysOfADictMadeWhileCompilingAreFoundAsPythonFindsThem) {
    backend_testing::Bare bare("t_tuplekeys");
    Function f(&bare.c, "t_tuplekeys_f", kProgramFunction,
               {bare.m()->ptr, bare.m()->i64, bare.m()->i64});
    f.addErrorBlock();
    Semantic* s = compile::newSemantic(&bare.c, nullptr, 1, 0);
    ASSERT_TRUE(f.e.semantics.push(s));
    front::DictRecord* dict = front::newDictRecord(&bare.c);
    ASSERT_NE(dict, nullptr);
    ASSERT_EQ(front::appendEntry(&bare.c, dict, tupleOf(&bare.c, {pint(1), strOf("k")}),
                                 strOf("a")),
              Status::ok);
    Shape d{};
    d.kind = ShapeKind::dict;
    d.dict = dict;
    // {(1, 'k'): 'a'}.get((True, 'k')) is 'a': equal tuples are one key.
    Shape args[1] = {tupleOf(&bare.c, {trueShape(), strOf("k")})};
    Shape out;
    ASSERT_EQ(compile::emitMethodCall(&f.e, s, &d, front::Text{"get", 3}, args, 1, nullptr, 0,
                                      nullptr, 0, &out),
              Status::ok);
    ASSERT_EQ(out.kind, ShapeKind::str);
    EXPECT_EQ(std::string(out.str.data, out.str.length), "a");
    // d[(1.0, 'k')] = 'b' changes that entry: the dict keeps one key.
    Shape one{};
    one.kind = ShapeKind::float_;
    one.float_ = 1.0;
    Shape key = tupleOf(&bare.c, {one, strOf("k")});
    Shape value = strOf("b");
    ASSERT_EQ(compile::emitSetItem(&f.e, s, &d, &key, &value, 0), Status::ok);
    EXPECT_EQ(dict->keyLength, 1u);
    EXPECT_EQ(std::string(dict->values[0].str.data, dict->values[0].str.length), "b");
    // A key holding a run-time value is looked up when the code runs, never answered with the
    // default while compiling.
    Operand runtime = operandOf(f, 1);
    Shape unknown[1] = {tupleOf(&bare.c, {compile::dynShape(runtime), strOf("k")})};
    ASSERT_EQ(compile::emitMethodCall(&f.e, s, &d, front::Text{"get", 3}, unknown, 1, nullptr, 0,
                                      nullptr, 0, &out),
              Status::ok)
        << std::string(bare.c.message.items, bare.c.message.count);
    EXPECT_EQ(out.kind, ShapeKind::dyn);
    EXPECT_NE(f.ir().find("@wn_call_method"), std::string::npos);
    compile::endSemantic(s);
}

TEST_F(AttributesFold, AConstantStrSplitGivesAListOfItsOwnNotASharedPythonList) {
    backend_testing::Bare bare("t_split");
    Function f(&bare.c, "t_split_f", kProgramFunction, {bare.m()->ptr});
    f.addErrorBlock();
    Semantic* s = compile::newSemantic(&bare.c, nullptr, 1, 0);
    ASSERT_TRUE(f.e.semantics.push(s));
    Shape receiver = strOf("a b"), out;
    ASSERT_EQ(compile::emitMethodCall(&f.e, s, &receiver, front::Text{"split", 5}, nullptr, 0,
                                      nullptr, 0, nullptr, 0, &out),
              Status::ok);
    // A Python list kept as a constant would be the same list in every run, changed by each.
    ASSERT_EQ(out.kind, ShapeKind::list);
    ASSERT_EQ(out.list->length, 2u);
    EXPECT_EQ(std::string(out.list->items[1].str.data, out.list->items[1].str.length), "b");
    EXPECT_EQ(f.ir().find("call "), std::string::npos) << "computed while compiling";
    compile::endSemantic(s);
}

TEST_F(AttributesFold, UnknownRtNamesAndToBytesGivenAnArgumentTwiceAreCompileErrors) {
    backend_testing::Bare bare("t_err");
    Function f(&bare.c, "t_err_f", kProgramFunction, {bare.m()->ptr, bare.m()->i64, bare.m()->i64});
    f.addErrorBlock();
    Shape rt{}, out;
    rt.kind = ShapeKind::rt;
    EXPECT_EQ(compile::emitAttribute(&f.e, nullptr, &rt, front::Text{"nosuch", 6}, 0, &out),
              Status::unsupported);
    EXPECT_EQ(std::string(bare.c.message.items, bare.c.message.count),
              "rt has no 'nosuch' in compiled code");

    // (5).to_bytes(4, length=4): both values released, Python's TypeError text.
    Operand counted = operandOf(f, 1);
    counted.kind = KnownKind::str;
    Shape receiver = pint(5);
    Shape args[1] = {compile::dynShape(counted)};
    front::Keyword keywords[1] = {{front::Text{"length", 6}, nullptr}};
    Shape keywordValues[1] = {compile::dynShape(counted)};
    EXPECT_EQ(compile::emitMethodCall(&f.e, nullptr, &receiver, front::Text{"to_bytes", 8}, args, 1,
                                      keywords, 1, keywordValues, 0, &out),
              Status::unsupported);
    std::string message(bare.c.message.items, bare.c.message.count);
    EXPECT_EQ(countOf(f.ir(), "call void @wn_dec("), 2u) << "the positional and the keyword value";
    if (PY_VERSION_HEX >= 0x030B0000) {
        EXPECT_EQ(message, "argument for to_bytes() given by name ('length') and position (1)");
    } else {
        EXPECT_NE(message.find("to_bytes"), std::string::npos) << message;
    }
}

}  // namespace

}  // namespace wuna
