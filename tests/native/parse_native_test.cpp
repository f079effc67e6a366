// Compiled code's rt.parse natively: a parser prepared while compiling, wn_parse giving the
// root node of a counted tree (or the pair with the recovered errors), and every failure
// worded as the reference mode's parser words it, checked against the parser itself.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/tree/parsed.h"
#include "tests/native/python_test_support.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using value::Value;

// The grammar of the reference mode's tests (tests/support), and what the parser itself says
// of the texts.
constexpr char kScript[] = R"PY(
import sys
sys.path[:0] = [BUILD, TESTS]
import pargo
from support.parse_grammar import BROKEN, GRAMMAR
parser = pargo.compile(GRAMMAR)
other = pargo.compile(GRAMMAR)

def syntax_error(text):
    try:
        parser.parse_tree(text)
    except pargo.ParseError as e:
        return (str(e), (e.line, e.column, e.offset, e.message))

def recovered(text):
    return [(d.span[0], d.line, d.column, d.message) for d in parser.parse_tree(text, recover=True).errors]

class Old:
    # A parser of a package too old to carry its grammar capsule.
    def __init__(self, p):
        self.p = p
    def __getattr__(self, name):
        if name == "capsule":
            raise AttributeError(name)
        return getattr(self.p, name)

old = Old(parser)
)PY";

class ParseNative : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::needPython();
        record = gil::current();
        gil::ensure(record);
        saved = runtime::hostApi;
        savedRelease = value::services.treeRelease;
        runtime::hostApi.parseNative = ptree::parseNative;
        value::services.treeRelease = ptree::releaseParsed;
        std::string script = std::string("BUILD = '") + WUNA_BUILD_DIR + "'\nTESTS = '" + WUNA_SOURCE_DIR +
                             "/tests'\n" + kScript;
        globals = testing_support::runHelpers(script.c_str());
        ASSERT_NE(globals, nullptr);
        objects[0] = item("parser");
        objects[1] = item("other");
        objects[2] = item("old");
        table = objects;
        ctx.moduleObjects = &table;
        ASSERT_EQ(ptree::prepareParser(objects[0]), 0);
        start = pool::liveBlocks();
    }
    void TearDown() override {
        helpers::endCtx(&ctx);
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
        runtime::hostApi = saved;
        value::services.treeRelease = savedRelease;
        if (PyErr_Occurred()) {
            ADD_FAILURE() << "a Python error was left pending";
            PyErr_Print();
        }
        Py_XDECREF(globals);
        testing_support::endRun(record);
    }
    PyObject* item(const char* name) { return PyDict_GetItemString(globals, name); }
    // New reference to the script's function called with a str.
    PyObject* ask(const char* function, const std::string& text) {
        PyObject* result = PyObject_CallFunction(item(function), "s", text.c_str());
        if (!result) PyErr_Print();
        return result;
    }
    static Value str(const std::string& s) {
        return Value::of(value::TagStr, value::newStr(s.data(), s.size()));
    }
    bool parse(int64_t grammar, Value text, const value::Str* rule, bool recover, Value* out) {
        bool ok = wn_parse(&ctx, 7, grammar, int64_t(text.tag), int64_t(text.payload),
                           const_cast<value::Str*>(rule), recover ? 1 : 0, out);
        value::decref(text);
        return ok;
    }
    // The interned name of a rule, as compiled code passes it; it lives as long as the
    // process, so the count of live blocks starts after it.
    value::Str* rule(const std::string& name) {
        value::Str* s = value::literal(name.data(), name.size());
        start = pool::liveBlocks();
        return s;
    }
    std::string message() const {
        return std::string(reinterpret_cast<const char*>(ctx.message.data), ctx.message.length);
    }
    // The kind name of node n of a counted node's tree.
    static std::string kindOf(Value node, uint32_t n = 0) {
        nodes::NodeRef ref;
        if (!nodes::nodeRefOf(nullptr, 0, node, &ref)) return "<not a node>";
        const nodes::GrammarView* g = ref.view->grammar;
        uint32_t kind = pargo::layout::kindOf(ref.view->nodes[ref.node + n]);
        return std::string(g->kindNames[kind].data, g->kindNames[kind].length);
    }
    static std::string textOf(Value v) {
        return v.tag == value::TagStr ? std::string(v.as<value::Str>()->text()) : "<not a str>";
    }

    gil::Record* record = nullptr;
    runtime::HostApi saved;
    void (*savedRelease)(void*) = nullptr;
    PyObject* globals = nullptr;
    PyObject* objects[3] = {};
    PyObject** table = nullptr;
    helpers::Ctx ctx{};
    uint64_t start = 0;
};

TEST_F(ParseNative, GivesTheRootOfATreeOfItsOwn) {
    Value root;
    ASSERT_TRUE(parse(0, str("let x = 1 + y;\nshow x, 2;"), nullptr, false, &root)) << message();
    ASSERT_EQ(root.tag, value::TagNode);
    EXPECT_EQ(kindOf(root), "Program");
    EXPECT_EQ(kindOf(root, 1), "Assign");
    // The text is held by the tree, not by the caller: the node reads it after the text went.
    nodes::NodeRef ref;
    ASSERT_TRUE(nodes::nodeRefOf(&ctx, 0, root, &ref));
    EXPECT_EQ(std::string(ref.view->text, ref.view->textLength), "let x = 1 + y;\nshow x, 2;");
    EXPECT_EQ(ref.view->lineCount, 2u);
    EXPECT_EQ(ref.shared->holders.load(), 1u) << "the node alone holds the tree";
    value::decref(root);
}

TEST_F(ParseNative, BytesAreParsedAsTheReferenceModeParsesThem) {
    const char text[] = "let x = 1;";
    value::Bytes* b = value::newOwnedBytes(sizeof text - 1);
    ASSERT_NE(b, nullptr);
    std::memcpy(b->data, text, sizeof text - 1);
    Value root;
    ASSERT_TRUE(parse(0, Value::of(value::TagBytes, b), nullptr, false, &root)) << message();
    EXPECT_EQ(kindOf(root, 1), "Assign");
    value::decref(root);
}

TEST_F(ParseNative, AStartRuleIsPassedOn) {
    Value root;
    ASSERT_TRUE(parse(0, str("1 - b"), rule("Expr"), false, &root)) << message();
    EXPECT_EQ(kindOf(root), "Binary");
    value::decref(root);
}

struct FailureCase {
    const char* name;
    Value (*text)();
    std::string rule;  // empty: none
    errors::Kind kind;
    const char* message;
};

Value goodText() { return Value::of(value::TagStr, value::newStr("abc", 3)); }
Value quietText() { return Value::of(value::TagStr, value::newStr("q", 1)); }
Value intText() { return Value::pint(3); }
Value noneText() { return Value::none(); }

const FailureCase kFailures[] = {
    {"UnknownRule", goodText, "Nope", errors::Kind::ValueError, "unknown start rule"},
    {"LongRule", goodText, std::string(300, 'N'), errors::Kind::ValueError, "unknown start rule"},
    {"NulInRule", goodText, std::string("Name\0x", 6), errors::Kind::ValueError,
     "unknown start rule"},
    {"SilentRule", quietText, "Quiet", errors::Kind::ValueError,
     "the start rule matched but produced no nodes (is it @silent?)"},
    {"IntText", intText, "", errors::Kind::TypeError, "parse input must be str or bytes"},
    {"NoneText", noneText, "", errors::Kind::TypeError, "parse input must be str or bytes"},
};

class ParseFailures : public ParseNative, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ParseFailures, AreTheParsersOwn) {
    const FailureCase& c = GetParam();
    value::Str* name = c.rule.empty() ? nullptr : rule(c.rule);
    Value out = Value::none();
    EXPECT_FALSE(parse(0, c.text(), name, false, &out));
    EXPECT_TRUE(ctx.failing);
    EXPECT_EQ(message(), c.message);
    EXPECT_TRUE(ctx.kindSet);
    EXPECT_EQ(ctx.kind, uint8_t(c.kind));
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseFailures, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParseNative, ASyntaxErrorRaisesTheParsersParseError) {
    const std::string broken = "let a = 1;\nlet b = ;\nshow a, ;\nshow a + 2;\n";
    Value out = Value::none();
    EXPECT_FALSE(parse(0, str(broken), nullptr, false, &out));
    ASSERT_EQ(ctx.exc.tag, value::TagExc);
    value::Exc* e = ctx.exc.as<value::Exc>();
    EXPECT_EQ(e->kind, uint32_t(errors::Kind::ParseError));
    PyObject* expected = ask("syntax_error", broken);
    ASSERT_NE(expected, nullptr);
    ASSERT_EQ(e->args.tag, value::TagTuple);
    value::Tuple* args = e->args.as<value::Tuple>();
    ASSERT_EQ(args->count, 1u);
    EXPECT_EQ(textOf(args->items()[0]), PyUnicode_AsUTF8(PyTuple_GET_ITEM(expected, 0)));
    EXPECT_EQ(textOf(args->items()[0]).rfind("line 2, col 9: ", 0), 0u);
    ASSERT_EQ(e->value.tag, value::TagTuple);
    value::Tuple* detail = e->value.as<value::Tuple>();
    ASSERT_EQ(detail->count, 4u);
    PyObject* numbers = PyTuple_GET_ITEM(expected, 1);
    for (uint64_t i = 0; i < 3; i++) {
        EXPECT_EQ(detail->items()[i].tag, value::TagPint);
        EXPECT_EQ(int64_t(detail->items()[i].payload),
                  PyLong_AsLongLong(PyTuple_GET_ITEM(numbers, Py_ssize_t(i))));
    }
    EXPECT_EQ(textOf(detail->items()[3]), PyUnicode_AsUTF8(PyTuple_GET_ITEM(numbers, 3)));
    Py_DECREF(expected);
}

struct RecoverCase {
    const char* name;
    const char* text;
    size_t errors;
};

const RecoverCase kRecovers[] = {
    {"Broken", "let a = 1;\nlet b = ;\nshow a, ;\nshow a + 2;\n", 2},
    {"Clean", "let a = 1;", 0},
};

class ParseRecovers : public ParseNative, public ::testing::WithParamInterface<RecoverCase> {};

TEST_P(ParseRecovers, GiveThePairOfRootAndTheParsersErrors) {
    const RecoverCase& c = GetParam();
    Value pair;
    ASSERT_TRUE(parse(0, str(c.text), nullptr, true, &pair)) << message();
    ASSERT_EQ(pair.tag, value::TagTuple);
    value::Tuple* t = pair.as<value::Tuple>();
    ASSERT_EQ(t->count, 2u);
    EXPECT_EQ(kindOf(t->items()[0]), "Program");
    ASSERT_EQ(t->items()[1].tag, value::TagList);
    value::List* list = t->items()[1].as<value::List>();
    PyObject* expected = ask("recovered", c.text);
    ASSERT_NE(expected, nullptr);
    ASSERT_EQ(list->count, c.errors);
    ASSERT_EQ(size_t(PyList_GET_SIZE(expected)), c.errors);
    for (uint64_t i = 0; i < list->count; i++) {
        ASSERT_EQ(list->items[i].tag, value::TagTuple);
        value::Tuple* entry = list->items[i].as<value::Tuple>();
        PyObject* want = PyList_GET_ITEM(expected, Py_ssize_t(i));
        ASSERT_EQ(entry->count, 4u);
        for (uint64_t k = 0; k < 3; k++)
            EXPECT_EQ(int64_t(entry->items()[k].payload),
                      PyLong_AsLongLong(PyTuple_GET_ITEM(want, Py_ssize_t(k))))
                << "error " << i << " item " << k;
        EXPECT_EQ(textOf(entry->items()[3]), PyUnicode_AsUTF8(PyTuple_GET_ITEM(want, 3)));
    }
    Py_DECREF(expected);
    value::decref(pair);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseRecovers, ::testing::ValuesIn(kRecovers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParseNative, AParserNotPreparedIsRefused) {
    Value out = Value::none();
    EXPECT_FALSE(parse(1, str("let a = 1;"), nullptr, false, &out));
    EXPECT_EQ(message(), "rt.parse: the grammar wasn't prepared for compiled code");
}

TEST_F(ParseNative, PreparingTwiceRegistersOnce) {
    ptree::Grammar* first = ptree::grammarOf(objects[0]);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(ptree::prepareParser(objects[0]), 0);
    EXPECT_EQ(ptree::grammarOf(objects[0]), first);
}

TEST_F(ParseNative, PreparingRefusesWhatCannotParseNatively) {
    struct Case {
        PyObject* object;
        PyObject* type;
        const char* message;
    } cases[] = {
        {objects[2], PyExc_ImportError,
         "rt.parse in compiled code needs pargo 0.6 or later (GrammarParser.capsule)"},
        {Py_None, PyExc_TypeError,
         "rt.parse: the grammar must be a pargo parser (pargo.compile()'s)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ptree::prepareParser(c.object), -1);
        ASSERT_TRUE(PyErr_ExceptionMatches(c.type)) << c.message;
        PyObject *type, *exc, *tb;
        PyErr_Fetch(&type, &exc, &tb);
        PyObject* text = PyObject_Str(exc);
        EXPECT_STREQ(PyUnicode_AsUTF8(text), c.message);
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(exc);
        Py_XDECREF(tb);
        EXPECT_EQ(ptree::grammarOf(c.object), nullptr);
    }
}

}  // namespace

}  // namespace wuna
