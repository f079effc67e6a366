// The parse-tree index: refusing malformed tree capsules, parents and direct children, line
// starts, the node-to-symbol map, captured block scopes, symbol scopes and hoisted
// definitions, on hand-made trees and on trees of the Lua example (parsed and analysed through
// an embedded interpreter importing pargo and nomos from the build directory).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/tree/function_kind.h"
#include "host/tree/index.h"
#include "nomos/analysis_layout.h"
#include "pargo/tree_layout.h"
#include "tests/native/test_names.h"

namespace wuna {

namespace {

using ptree::kNone;
using ptree::NodeRecord;
using testing_support::caseName;

NodeRecord node(uint32_t start, uint32_t end, uint32_t descendants, uint32_t kind,
                uint8_t label = 0) {
    return {start, end, descendants, pargo::layout::makeWord(kind, label)};
}

// One symbol of a hand-made analysis.
struct Sym {
    std::string name;
    uint32_t declaring;
    uint32_t scope;
    std::vector<uint32_t> references;
    bool builtin = false;
};

// A hand-made "nomos.analysis.v2" record and the memory it points into, laid out as nomos
// lays it out.
struct Analysis {
    std::vector<nomos::layout::SymbolRecord> records;
    std::vector<uint32_t> references;
    std::vector<std::string> names;
    ptree::AnalysisCapsule capsule{};

    explicit Analysis(const std::vector<Sym>& symbols) {
        names.reserve(symbols.size());
        records.assign(symbols.size(), nomos::layout::SymbolRecord{});
        for (const Sym& s : symbols)
            references.insert(references.end(), s.references.begin(), s.references.end());
        uint32_t first = 0;
        for (size_t k = 0; k < symbols.size(); k++) {
            const Sym& s = symbols[k];
            names.push_back(s.name);
            nomos::layout::SymbolRecord& r = records[k];
            r.name = names.back().data();
            r.nameLength = s.name.size();
            r.index = uint32_t(k);
            r.declaringNode = s.declaring;
            r.scopeNode = s.scope;
            r.firstReference = first;
            r.referenceCount = uint32_t(s.references.size());
            r.flags = s.builtin ? uint32_t(nomos::layout::builtinFlag) : 0u;
            first += r.referenceCount;
        }
        capsule.abi = ptree::kAnalysisAbi;
        capsule.symbolCount = uint32_t(symbols.size());
        capsule.symbols = symbols.empty() ? nullptr : records.data();
        capsule.referenceTotal = references.size();
        capsule.references = references.empty() ? nullptr : references.data();
    }
};

// Kinds of the hand-made trees: 0 a block, 1 a name, 2 a function definition.
constexpr uint32_t kBlock = 0, kName = 1, kFunction = 2;
constexpr uint8_t kNameLabel = 1, kBodyLabel = 2;

std::vector<host::FunctionKind> functionKinds(uint8_t nameLabel = kNameLabel, bool hoist = true) {
    std::vector<host::FunctionKind> kinds(3);
    kinds[kFunction].isFunction = true;
    kinds[kFunction].nameLabel = nameLabel;
    kinds[kFunction].hoist = hoist;
    return kinds;
}

// An index that frees itself.
struct Built {
    ptree::Index* index = nullptr;
    Status code = Status::ok;
    ptree::Refusal refusal;
    Built(const ptree::TreeCapsule& tree, const ptree::AnalysisCapsule* analysis = nullptr,
          const std::vector<host::FunctionKind>& kinds = {}) {
        code = ptree::build(nullptr, kinds.empty() ? nullptr : kinds.data(), uint32_t(kinds.size()),
                            &tree, analysis, &index, &refusal);
    }
    ~Built() { ptree::freeIndex(index); }
};

// A tree record over the nodes and text, as pargo fills one. Its node pointer is not const
// (pargo writes through it); the index only reads.
ptree::TreeCapsule capsuleOf(const std::vector<NodeRecord>& nodes, const std::string& text) {
    ptree::TreeCapsule tree{};
    tree.abi = ptree::kTreeAbi;
    tree.nodeCount = uint32_t(nodes.size());
    tree.nodes = const_cast<NodeRecord*>(nodes.data());
    tree.text = text.data();
    tree.textLength = text.size();
    return tree;
}

std::vector<uint32_t> hoistedIn(const ptree::Index* index, int64_t scope) {
    uint32_t count;
    const uint32_t* items = ptree::hoisted(index, scope, &count);
    return std::vector<uint32_t>(items, items + count);
}

// ---- refusals -----------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    std::vector<NodeRecord> nodes;
    bool nullNodes;
    const char* reason;
    bool noCount = false;  // the node array is there, its count 0
    friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class Refused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refused, IsAValueWithAReasonNeverARead) {
    const RefusalCase& c = GetParam();
    ptree::TreeCapsule tree = capsuleOf(c.nodes, "text");
    if (c.nullNodes) tree.nodes = nullptr;
    if (c.noCount) tree.nodeCount = 0;
    Built built(tree);
    EXPECT_EQ(built.code, Status::unsupported);
    EXPECT_EQ(built.index, nullptr);
    ASSERT_NE(built.refusal.text, nullptr);
    EXPECT_NE(std::string(built.refusal.text).find(c.reason), std::string::npos)
        << built.refusal.text;
}

INSTANTIATE_TEST_SUITE_P(
    Capsules, Refused,
    ::testing::Values(RefusalCase{"NullNodeArray", {node(0, 4, 0, kBlock)}, true, "no node array"},
                      RefusalCase{"NoNodes", {node(0, 4, 0, kBlock)}, false, "no nodes", true},
                      RefusalCase{"RootRunsPast",
                                  {node(0, 4, 2, kBlock), node(0, 1, 0, kName)},
                                  false,
                                  "run past"},
                      // 1 + 0xFFFFFFFF wraps to 0 in 32 bits.
                      RefusalCase{"DescendantsWrapIn32Bits",
                                  {node(0, 4, 1, kBlock), node(0, 1, 0xFFFFFFFFu, kName)},
                                  false,
                                  "run past"}),
    caseName<RefusalCase>);

TEST(PtreeIndex, RefusesATextWhoseOffsetsWouldNotFit32Bits) {
    // Node offsets and line starts are u32: the length alone is refused, the text never read.
    std::vector<NodeRecord> nodes = {node(0, 1, 0, kBlock)};
    ptree::TreeCapsule tree = capsuleOf(nodes, "x");
    tree.textLength = 0xFFFFFFFFull;
    Built built(tree);
    EXPECT_EQ(built.code, Status::unsupported);
    EXPECT_EQ(built.index, nullptr);
    ASSERT_NE(built.refusal.text, nullptr);
    EXPECT_NE(std::string(built.refusal.text).find("4 GiB"), std::string::npos);
}

TEST(PtreeIndex, RefusesSymbolsWithoutRecords) {
    std::vector<NodeRecord> nodes = {node(0, 1, 0, kBlock)};
    ptree::AnalysisCapsule analysis{};
    analysis.abi = ptree::kAnalysisAbi;
    analysis.symbolCount = 3;
    Built built(capsuleOf(nodes, "x"), &analysis);
    EXPECT_EQ(built.code, Status::unsupported);
    EXPECT_EQ(built.index, nullptr);
    ASSERT_NE(built.refusal.text, nullptr);
    EXPECT_NE(std::string(built.refusal.text).find("no symbol records"), std::string::npos);
}

// ---- shape: parents, children, lines ------------------------------------------------------

TEST(PtreeIndex, OneNodeTree) {
    std::vector<NodeRecord> nodes = {node(0, 1, 0, kFunction)};
    Built built(capsuleOf(nodes, "x"), nullptr, functionKinds());
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_EQ(built.index->parents[0], kNone);
    EXPECT_TRUE(hoistedIn(built.index, -1).empty());
    EXPECT_EQ(ptree::childWithLabel(built.index->nodes, 1, 0, kNameLabel), -1);
}

TEST(PtreeIndex, ParentsAndDirectChildrenOnly) {
    // 0 block { 1 name:block { 2 body:name }, 3 body:block { 4 name:name } }
    std::vector<NodeRecord> nodes = {
        node(0, 9, 4, kBlock), node(0, 4, 1, kBlock, kNameLabel), node(1, 2, 0, kName, kBodyLabel),
        node(5, 9, 1, kBlock, kBodyLabel), node(6, 7, 0, kName, kNameLabel)};
    Built built(capsuleOf(nodes, "abcdefghi"));
    ASSERT_EQ(built.code, Status::ok);
    std::vector<uint32_t> parents(built.index->parents, built.index->parents + 5);
    EXPECT_EQ(parents, (std::vector<uint32_t>{kNone, 0, 1, 0, 3}));
    // Node 2 is a grandchild labelled body: the direct child 3 is found instead.
    EXPECT_EQ(ptree::childWithLabel(nodes.data(), 5, 0, kBodyLabel), 3);
    EXPECT_EQ(ptree::childWithLabel(nodes.data(), 5, 0, kNameLabel), 1);
    EXPECT_EQ(ptree::childWithLabel(nodes.data(), 5, 4, kNameLabel), -1);  // a leaf
    EXPECT_EQ(ptree::childWithLabel(nodes.data(), 5, 1, kNameLabel), -1);  // 4 is no child of 1
    EXPECT_EQ(ptree::childWithLabel(nodes.data(), 5, 7, kNameLabel), -1);  // past the array
}

struct LinesCase {
    const char* name;
    std::string text;
    std::vector<uint32_t> starts;
    friend void PrintTo(const LinesCase& c, std::ostream* os) { *os << c.name; }
};

class LineStarts : public ::testing::TestWithParam<LinesCase> {};

TEST_P(LineStarts, OnePlusOneAfterEachNewline) {
    const LinesCase& c = GetParam();
    std::vector<NodeRecord> nodes = {node(0, uint32_t(c.text.size()), 0, kBlock)};
    Built built(capsuleOf(nodes, c.text));
    ASSERT_EQ(built.code, Status::ok);
    std::vector<uint32_t> starts(built.index->lineStarts,
                                 built.index->lineStarts + built.index->lineCount);
    EXPECT_EQ(starts, c.starts);
    for (uint32_t line = 1; line <= starts.size(); line++) {
        EXPECT_EQ(ptree::lineOf(built.index, starts[line - 1]), line);
        EXPECT_EQ(ptree::lineStart(built.index, line), starts[line - 1]);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, LineStarts,
                         ::testing::Values(LinesCase{"Empty", "", {0}},
                                           LinesCase{"TwoLines", "a\nb\n", {0, 2, 4}},
                                           LinesCase{"OnlyNewlines", "\n\n", {0, 1, 2}},
                                           LinesCase{"OneLine", "one line", {0}}),
                         caseName<LinesCase>);

TEST(PtreeIndex, NullTextIsEmpty) {
    std::vector<NodeRecord> nodes = {node(0, 0, 0, kBlock)};
    ptree::TreeCapsule tree = capsuleOf(nodes, "");
    tree.text = nullptr;
    tree.textLength = 99;  // not read without a text
    Built built(tree);
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_EQ(built.index->textLength, 0u);
    EXPECT_EQ(built.index->lineCount, 1u);
    EXPECT_EQ(ptree::lineOf(built.index, 5), 1u);
}

// ---- symbols ------------------------------------------------------------------------------

TEST(PtreeIndex, NodeSymbolsSkipWhatLiesOutsideTheTree) {
    // 0 block { 1 name, 2 name }
    std::vector<NodeRecord> nodes = {node(0, 3, 2, kBlock), node(0, 1, 0, kName),
                                     node(2, 3, 0, kName)};
    Analysis analysis({
        {"a", 1, 0, {7, 2}},  // a reference past the tree is skipped
        {"b", kNone, kNone, {}, true},
        {"c", 9, 0, {}},  // declared past the tree: nothing set
        {"", 2, 0, {}},   // a later symbol takes node 2 over
    });
    Built built(capsuleOf(nodes, "a b"), &analysis.capsule);
    ASSERT_EQ(built.code, Status::ok);
    std::vector<uint32_t> bound(built.index->nodeSymbols, built.index->nodeSymbols + 3);
    EXPECT_EQ(bound, (std::vector<uint32_t>{kNone, 0, 3}));
    ASSERT_EQ(built.index->symbolCount, 4u);
    EXPECT_EQ(std::string(built.index->symbols[0].name, built.index->symbols[0].length), "a");
    EXPECT_EQ(built.index->symbols[1].builtin, 1);
    EXPECT_EQ(ptree::symbolScope(built.index, 1), -1);  // a builtin: the global scope
}

TEST(PtreeIndex, ReferencesPastTheArrayAreNotRead) {
    std::vector<NodeRecord> nodes = {node(0, 3, 2, kBlock), node(0, 1, 0, kName),
                                     node(2, 3, 0, kName)};
    Analysis analysis({{"a", 1, 0, {2}}});
    // The record claims more references than the array holds.
    analysis.records[0].referenceCount = 1000;
    Built built(capsuleOf(nodes, "a b"), &analysis.capsule);
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_EQ(built.index->nodeSymbols[2], 0u);
}

// A program: 0 block { 1 block { 2 name (declares v), 3 function { 4 name (uses v) } } }
// The function kind (2) encloses node 4; node 1 is a block scope.
std::vector<NodeRecord> closureTree() {
    return {node(0, 9, 4, kBlock), node(0, 9, 3, kBlock), node(1, 2, 0, kName),
            node(3, 9, 1, kFunction), node(5, 6, 0, kName, kBodyLabel)};
}

TEST(PtreeIndex, BlockNamedFromANestedFunctionIsCaptured) {
    std::vector<NodeRecord> nodes = closureTree();
    Analysis analysis({{"v", 2, 1, {4}}});
    Built built(capsuleOf(nodes, "xxxxxxxxx"), &analysis.capsule, functionKinds());
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_TRUE(ptree::isCaptured(built.index, 1));
    EXPECT_EQ(ptree::symbolScope(built.index, 0), 1);
    EXPECT_EQ(built.index->scopes[0], 1);  // cached
}

TEST(PtreeIndex, BlockNamedOnlyFromItsOwnFunctionIsNotCaptured) {
    std::vector<NodeRecord> nodes = closureTree();
    Analysis analysis({{"v", 2, 1, {2}}});  // used at its own node only
    Built built(capsuleOf(nodes, "xxxxxxxxx"), &analysis.capsule, functionKinds());
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_FALSE(ptree::isCaptured(built.index, 1));
    EXPECT_EQ(ptree::symbolScope(built.index, 0), -1);  // no function around: the global scope
}

TEST(PtreeIndex, RootAndFunctionScopesAreNeverCaptured) {
    std::vector<NodeRecord> nodes = closureTree();
    Analysis analysis({{"g", 2, 0, {4}}, {"p", 4, 3, {4}}});
    Built built(capsuleOf(nodes, "xxxxxxxxx"), &analysis.capsule, functionKinds());
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_FALSE(ptree::isCaptured(built.index, 0));
    EXPECT_FALSE(ptree::isCaptured(built.index, 3));
    EXPECT_EQ(ptree::symbolScope(built.index, 0), -1);
    EXPECT_EQ(ptree::symbolScope(built.index, 1), 3);  // the function itself
}

TEST(PtreeIndex, WithoutFunctionKindsNothingIsAFunction) {
    std::vector<NodeRecord> nodes = closureTree();
    Analysis analysis({{"v", 2, 1, {4}}});
    Built built(capsuleOf(nodes, "xxxxxxxxx"), &analysis.capsule);
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_FALSE(ptree::isFunctionNode(built.index, 3));
    EXPECT_FALSE(ptree::isCaptured(built.index, 1));
}

// ---- hoisting -----------------------------------------------------------------------------

// 0 block { 1 function { 2 name:name (declares f, scope 0) 3 body:block { 4 function { 5 name:name
// (declares h, scope 1) } } } 6 function (no name child) }
std::vector<NodeRecord> hoistTree() {
    return {node(0, 20, 6, kBlock),           node(0, 15, 4, kFunction),
            node(1, 2, 0, kName, kNameLabel), node(3, 15, 2, kBlock, kBodyLabel),
            node(4, 14, 1, kFunction),        node(5, 6, 0, kName, kNameLabel),
            node(16, 20, 0, kFunction)};
}

TEST(PtreeIndex, NamedDefinitionsHoistIntoTheirNamesScope) {
    std::vector<NodeRecord> nodes = hoistTree();
    Analysis analysis({{"f", 2, 0, {}}, {"h", 5, 1, {}}});
    Built built(capsuleOf(nodes, std::string(20, 'x')), &analysis.capsule, functionKinds());
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_EQ(hoistedIn(built.index, -1), (std::vector<uint32_t>{1}));
    EXPECT_EQ(hoistedIn(built.index, 1), (std::vector<uint32_t>{4}));
    EXPECT_TRUE(hoistedIn(built.index, 4).empty());
}

struct NoHoistCase {
    const char* name;
    uint8_t nameLabel;
    uint8_t hoist;
    friend void PrintTo(const NoHoistCase& c, std::ostream* os) { *os << c.name; }
};

class NoHoist : public ::testing::TestWithParam<NoHoistCase> {};

TEST_P(NoHoist, HoistsNothing) {
    std::vector<NodeRecord> nodes = hoistTree();
    Analysis analysis({{"f", 2, 0, {}}, {"h", 5, 1, {}}});
    Built built(capsuleOf(nodes, std::string(20, 'x')), &analysis.capsule,
                functionKinds(GetParam().nameLabel, GetParam().hoist));
    ASSERT_EQ(built.code, Status::ok);
    EXPECT_TRUE(hoistedIn(built.index, -1).empty());
    EXPECT_TRUE(hoistedIn(built.index, 1).empty());
}

INSTANTIATE_TEST_SUITE_P(FunctionKinds, NoHoist,
                         ::testing::Values(NoHoistCase{"NoNameLabel", 0, 1},
                                           NoHoistCase{"HoistOff", kNameLabel, 0},
                                           NoHoistCase{"AnotherNameLabel", kBodyLabel, 1}),
                         caseName<NoHoistCase>);

// ---- the Lua example ----------------------------------------------------------------------

// The interpreter, started once with its lock released (as the other native tests do).
void needPython() {
    if (Py_IsInitialized()) return;
    Py_InitializeEx(0);
    PyEval_SaveThread();
}

// A Lua program parsed and analysed by the example's parser and rules, and its index built
// with the example's three function kinds (named by their "name" label, hoisted).
class LuaProgram {
public:
    explicit LuaProgram(const std::string& source) {
        needPython();
        PyGILState_STATE gil = PyGILState_Ensure();
        scope_ = PyDict_New();
        PyObject* text = PyUnicode_FromString(source.c_str());
        PyDict_SetItemString(scope_, "source", text);
        Py_XDECREF(text);
        PyObject* result = PyRun_String(
            "import sys\n"
            "sys.path[:0] = ["
            "'" WUNA_BUILD_DIR "', '" WUNA_SOURCE_DIR
            "/examples/lua']\n"
            "import lua\n"
            "tree = lua.parser.parse_tree(source)\n"
            "analysis = lua.rules.analyze(tree)\n"
            "rules = lua.parser.rules()\n"
            "name_label = lua.parser.fields().index('name') + 1\n"
            "kinds = [rules.index(k) for k in ('FunctionStat', 'LocalFunction', 'FunctionExpr')]\n",
            Py_file_input, scope_, scope_);
        if (!result) {
            PyErr_Print();
            PyGILState_Release(gil);
            return;
        }
        Py_DECREF(result);
        auto* tree = static_cast<const ptree::TreeCapsule*>(
            PyCapsule_GetPointer(item("tree", "capsule"), pargo::layout::treeCapsuleName));
        auto* analysis = static_cast<const ptree::AnalysisCapsule*>(
            PyCapsule_GetPointer(item("analysis", "capsule"), nomos::layout::analysisCapsuleName));
        PyObject* rules = PyDict_GetItemString(scope_, "rules");
        kinds_.assign(size_t(PyList_GET_SIZE(rules)), host::FunctionKind{});
        uint8_t nameLabel = uint8_t(PyLong_AsLong(PyDict_GetItemString(scope_, "name_label")));
        PyObject* functionKinds = PyDict_GetItemString(scope_, "kinds");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(functionKinds); i++) {
            host::FunctionKind& kind = kinds_[PyLong_AsSize_t(PyList_GET_ITEM(functionKinds, i))];
            kind.isFunction = true;
            kind.hoist = true;
            kind.nameLabel = nameLabel;
        }
        code_ = ptree::build(nullptr, kinds_.data(), uint32_t(kinds_.size()), tree, analysis,
                             &index_, nullptr);
        PyGILState_Release(gil);
    }
    ~LuaProgram() {
        PyGILState_STATE gil = PyGILState_Ensure();
        ptree::freeIndex(index_);
        for (PyObject* o : kept_) Py_DECREF(o);
        Py_XDECREF(scope_);
        PyGILState_Release(gil);
    }

    bool ok() const { return index_ && code_ == Status::ok; }
    ptree::Index* index() const { return index_; }

    // The kind number of a rule.
    uint32_t kind(const char* rule) {
        PyGILState_STATE gil = PyGILState_Ensure();
        PyObject* rules = PyDict_GetItemString(scope_, "rules");
        uint32_t found = kNone;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rules); i++)
            if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(rules, i), rule) == 0)
                found = uint32_t(i);
        PyGILState_Release(gil);
        return found;
    }

    // The first node of a rule that starts on a line.
    uint32_t nodeAt(const char* rule, uint32_t line) {
        uint32_t k = kind(rule);
        for (uint32_t i = 0; i < index_->count; i++)
            if (ptree::kindOf(index_->nodes[i]) == k &&
                ptree::lineOf(index_, index_->nodes[i].start) == line)
                return i;
        return kNone;
    }

    // The first symbol of a name.
    uint32_t symbol(const std::string& name) {
        for (uint32_t k = 0; k < index_->symbolCount; k++)
            if (std::string(index_->symbols[k].name, index_->symbols[k].length) == name) return k;
        return kNone;
    }

    int32_t scopeOf(const std::string& name) { return ptree::symbolScope(index_, symbol(name)); }

private:
    // scope[name].attribute, kept alive for the test.
    PyObject* item(const char* name, const char* attribute) {
        PyObject* value = PyObject_GetAttrString(PyDict_GetItemString(scope_, name), attribute);
        kept_.push_back(value);
        return value;
    }

    PyObject* scope_ = nullptr;
    std::vector<PyObject*> kept_;
    std::vector<host::FunctionKind> kinds_;
    ptree::Index* index_ = nullptr;
    Status code_ = Status::ok;
};

std::string readSample(const char* name) {
    std::string path = std::string(WUNA_SOURCE_DIR "/examples/lua/samples/") + name;
    FILE* f = fopen(path.c_str(), "rb");
    std::string text;
    if (!f) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
}

TEST(PtreeLua, ClosuresInLoopsCaptureTheirBlocks) {
    LuaProgram lua(readSample("closures.lua"));
    if (!lua.ok()) GTEST_SKIP() << "pargo, nomos or the Lua example did not load";
    ptree::Index* index = lua.index();
    // for i = 1, 3 do local twice ... function() return i + twice end end
    uint32_t loop = lua.nodeAt("NumericFor", 4);
    ASSERT_NE(loop, kNone);
    EXPECT_TRUE(ptree::isCaptured(index, loop));
    EXPECT_EQ(lua.scopeOf("i"), int32_t(loop));
    EXPECT_EQ(lua.scopeOf("twice"), int32_t(loop));
    // while ... do local seen = k; acc[k] = function() return seen end end: the body block.
    uint32_t body = lua.nodeAt("Block", 24);
    ASSERT_NE(body, kNone);
    EXPECT_TRUE(ptree::isCaptured(index, body));
    EXPECT_EQ(lua.scopeOf("seen"), int32_t(body));
    // n is pair's local, named from inc and get: a function scope, never captured.
    uint32_t pair = lua.nodeAt("LocalFunction", 11);
    EXPECT_FALSE(ptree::isCaptured(index, pair));
    EXPECT_EQ(lua.scopeOf("n"), int32_t(pair));
    EXPECT_EQ(lua.scopeOf("makers"), -1);
    EXPECT_EQ(lua.scopeOf("print"), -1);
    // local function pair() hoists into the top level, inc and get into pair.
    EXPECT_EQ(hoistedIn(index, -1), (std::vector<uint32_t>{pair}));
    EXPECT_EQ(hoistedIn(index, pair), (std::vector<uint32_t>{lua.nodeAt("LocalFunction", 13),
                                                             lua.nodeAt("LocalFunction", 14)}));
}

TEST(PtreeLua, LoopVariablesUsedOnlyInTheirFunctionLiveInIt) {
    LuaProgram lua(
        "local total = 0\n"
        "for i = 1, 3 do local sq = i * i total = total + sq end\n"
        "local function f() for j = 1, 2 do local t = j end end\n");
    if (!lua.ok()) GTEST_SKIP() << "pargo, nomos or the Lua example did not load";
    EXPECT_FALSE(ptree::isCaptured(lua.index(), lua.nodeAt("NumericFor", 2)));
    EXPECT_EQ(lua.scopeOf("sq"), -1);
    uint32_t f = lua.nodeAt("LocalFunction", 3);
    EXPECT_FALSE(ptree::isCaptured(lua.index(), lua.nodeAt("NumericFor", 3)));
    EXPECT_EQ(lua.scopeOf("t"), int32_t(f));
    EXPECT_EQ(lua.scopeOf("j"), int32_t(f));
}

}  // namespace

}  // namespace wuna
