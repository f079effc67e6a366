// Node reads of compiled code on hand-made trees: fields by label with their list flags, the
// node's own attributes (kind and rule names, cached text, offsets, line and column, parent,
// children), the values of token actions and their rules, node search on node index values
// and on counted nodes of a shared tree, and the caches filled by several threads at once.
// The block count is back at its start after each test.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using nodes::LabelEntry;
using nodes::Name;
using nodes::NodeRecord;
using value::Value;

NodeRecord node(uint32_t start, uint32_t end, uint32_t descendants, uint32_t kind,
                uint8_t label = 0) {
    return {start, end, descendants, pargo::layout::makeWord(kind, label)};
}

// Kinds of the test grammar, with their actions.
enum Kind : uint32_t { KProgram, KLet, KName, KInt, KSemi, KCall, KPair, KMap, KFirst, KFloat, KQuote, KCount };
const Name kRules[KCount] = {{"Program", 7}, {"Let", 3},   {"Name", 4},  {"Int", 3},
                             {"Semi", 4},    {"Call", 4},  {"Pair", 4},  {"Map", 3},
                             {"First", 5},   {"Float", 5}, {"Quote", 5}};
const Name kKinds[KCount] = {{"Program", 7}, {"LetStmt", 7}, {"Name", 4},  {"Int", 3},
                             {"Semi", 4},    {"Call", 4},    {"Pair", 4},  {"Map", 3},
                             {"First", 5},   {"Float", 5},   {"Quote", 5}};
const uint8_t kActions[KCount] = {
    nodes::ActionNone,  nodes::ActionClass, nodes::ActionStr,   nodes::ActionInt,
    nodes::ActionDrop,  nodes::ActionNone,  nodes::ActionTuple, nodes::ActionDict,
    nodes::ActionFirst, nodes::ActionFloat, nodes::ActionUnquote};

constexpr uint8_t LName = 1, LValue = 2, LArgs = 3;
LabelEntry letLabels[] = {{LName, 0}, {LValue, 0}};
LabelEntry callLabels[] = {{LName, 0}, {LArgs, 1}};
LabelEntry* const kLabels[KCount] = {nullptr, letLabels, nullptr, nullptr, nullptr, callLabels,
                                     nullptr, nullptr,   nullptr, nullptr, nullptr};
const uint32_t kLabelCounts[KCount] = {0, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0};
const Name kFields[] = {{"name", 4}, {"value", 5}, {"args", 4}, {"text", 4}};

nodes::GrammarView grammar(uint32_t fieldCount) {
    return {KCount, kRules, kKinds, kActions, kLabels, kLabelCounts, fieldCount, kFields};
}

// "let x = 1_000;\nf(a, b)": a Let with its name, value and a dropped semicolon, and a Call
// with a name and two labelled arguments.
const std::string kText = "let x = 1_000;\nf(a, b)";
const std::vector<NodeRecord> kNodes = {
    node(0, 22, 8, KProgram),    node(0, 14, 3, KLet),        node(4, 5, 0, KName, LName),
    node(8, 13, 0, KInt, LValue), node(13, 14, 0, KSemi),      node(15, 22, 3, KCall),
    node(15, 16, 0, KName, LName), node(17, 18, 0, KName, LArgs), node(20, 21, 0, KName, LArgs),
};

// A tree of nodes over a text with its parents and line starts, its grammar and cache.
struct Tree {
    std::string text;
    std::vector<NodeRecord> records;
    std::vector<uint32_t> parents;
    std::vector<uint32_t> lines{0};
    nodes::GrammarView g;
    nodes::NodeCache cache{};
    nodes::SharedTree shared{};

    Tree(std::string t, std::vector<NodeRecord> n, uint32_t fieldCount = 3)
        : text(std::move(t)), records(std::move(n)), g(grammar(fieldCount)) {
        parents.assign(records.size(), nodes::kNoParent);
        for (uint32_t i = 0; i < records.size(); i++)
            for (uint32_t j = i + 1; j <= i + records[i].descendants;
                 j += records[j].descendants + 1)
                parents[j] = i;
        for (uint32_t i = 0; i < text.size(); i++)
            if (text[i] == '\n') lines.push_back(i + 1);
        shared.view = {records.data(), uint32_t(records.size()), text.data(), text.size(),
                       parents.data(), lines.data(), uint32_t(lines.size()), &g, &cache};
        shared.holders = 1;
    }
    ~Tree() { nodes::freeCache(&cache, uint32_t(records.size())); }
};

// Counted nodes release their tree through the services; the tests' trees are not freed.
void dropHolder(void* holder) {
    static_cast<nodes::SharedTree*>(holder)->holders.fetch_sub(1, std::memory_order_relaxed);
}

class Nodes : public ::testing::Test {
protected:
    void SetUp() override {
        value::services.treeRelease = dropHolder;
        // The interned names live as long as the process: made before the count is taken.
        for (uint32_t k = 0; k < KCount; k++) {
            (void)value::literal(kRules[k].data, kRules[k].length);
            (void)value::literal(kKinds[k].data, kKinds[k].length);
        }
        start = pool::liveBlocks();
        run.program = &tree.shared.view;
        ctx.run = &run;
    }
    void TearDown() override {
        for (Value v : held) value::decref(v);
        helpers::endCtx(&ctx);
        names.clear();
        tree.~Tree();
        new (&tree) Tree(kText, kNodes);
        EXPECT_EQ(pool::liveBlocks(), start) << "blocks leaked or freed twice";
    }
    value::Str* name(const std::string& text) {
        value::Str* s = value::newStr(text.data(), text.size());
        held.push_back(Value::of(value::TagStr, s));
        return s;
    }
    // wn_getattr of node n (tag 11) of the running program; the value is released at the end.
    Value read(uint32_t n, const std::string& attribute) {
        Value out = Value::unset();
        EXPECT_TRUE(wn_getattr(&ctx, 0, value::TagNodeIndex, n, name(attribute), &out))
            << attribute;
        held.push_back(out);
        return out;
    }
    static std::string text(Value v) {
        if (v.tag != value::TagStr) return "<not a str>";
        return std::string(v.as<value::Str>()->text());
    }

    Tree tree{kText, kNodes};
    helpers::RunRecord run{};
    helpers::Ctx ctx{};
    int64_t start = 0;
    std::vector<Value> held;
    std::vector<value::Str*> names;
};

TEST_F(Nodes, KindAndRuleNamesAreInternedOnce) {
    Value kind = read(1, "kind");
    EXPECT_EQ(text(kind), "LetStmt");
    EXPECT_EQ(text(read(1, "rule")), "Let");
    EXPECT_EQ(read(1, "kind").payload, kind.payload) << "made once per tree";
    EXPECT_EQ(text(read(0, "kind")), "Program");
}

TEST_F(Nodes, TextIsTheSourceMadeOncePerNode) {
    Value t = read(1, "text");
    EXPECT_EQ(text(t), "let x = 1_000;");
    EXPECT_EQ(read(1, "text").payload, t.payload);
    EXPECT_EQ(text(read(5, "text")), "f(a, b)");
}

struct Position {
    uint32_t node;
    const char* attribute;
    int64_t expected;
};

const Position kPositions[] = {
    {3, "start", 8}, {3, "end", 13}, {3, "index", 3},  {0, "line", 1},   {0, "column", 1},
    {3, "line", 1},  {3, "column", 9}, {5, "line", 2}, {5, "column", 1}, {8, "column", 6},
};

TEST_F(Nodes, OffsetsLinesAndColumnsArePlainInts) {
    for (const Position& p : kPositions) {
        SCOPED_TRACE(std::string(p.attribute) + " of " + std::to_string(p.node));
        Value v = read(p.node, p.attribute);
        EXPECT_EQ(v.tag, value::TagPint);
        EXPECT_EQ(int64_t(v.payload), p.expected);
    }
}

TEST_F(Nodes, ParentOfTheRootIsNone) {
    EXPECT_EQ(read(0, "parent").tag, value::TagNone);
    Value p = read(3, "parent");
    EXPECT_EQ(p.tag, value::TagNodeIndex);
    EXPECT_EQ(p.payload, 1u);
}

TEST_F(Nodes, FieldsByLabelAndListFlag) {
    EXPECT_EQ(text(read(1, "name")), "x");
    Value v = read(1, "value");
    EXPECT_EQ(v.tag, value::TagInt);
    EXPECT_EQ(v.payload, 1000u);
    Value args = read(5, "args");
    ASSERT_EQ(args.tag, value::TagList);
    auto* list = args.as<value::List>();
    ASSERT_EQ(list->count, 2u);
    EXPECT_EQ(text(list->items[0]), "a");
    EXPECT_EQ(text(list->items[1]), "b");
    EXPECT_EQ(read(5, "value").tag, value::TagNone) << "a label the kind never has";
}

TEST_F(Nodes, ChildrenLeaveDroppedNodesOut) {
    Value children = read(1, "children");
    ASSERT_EQ(children.tag, value::TagList);
    auto* list = children.as<value::List>();
    ASSERT_EQ(list->count, 2u);
    EXPECT_EQ(text(list->items[0]), "x");
    EXPECT_EQ(list->items[1].payload, 1000u);
}

TEST_F(Nodes, AFieldNamedTextHidesTheText) {
    Tree withText(kText, kNodes, 4);
    run.program = &withText.shared.view;
    EXPECT_EQ(read(1, "text").tag, value::TagNone);
    run.program = &tree.shared.view;
}

TEST_F(Nodes, OtherNamesAreNotAnsweredNatively) {
    nodes::NodeRef ref{&tree.shared.view, nullptr, 1, 1};
    for (const char* n : {"field", "other", "fields", "span", "texts", ""}) {
        Value out = Value::unset();
        nodes::Answer a = nodes::attrIn(&ctx, ref, name(n), &out);
        EXPECT_FALSE(a.handled) << n;
        EXPECT_EQ(out.tag, value::TagUnset);
    }
}

// Values of container actions: a Map of two Pairs, a First of nothing and of a Name.
TEST_F(Nodes, DictTupleAndFirstActions) {
    // "(k,1)(j,2)[]z"
    Tree t("(k,1)(j,2)[]z", {
                                node(0, 13, 10, KProgram),
                                node(0, 10, 6, KMap),
                                node(0, 5, 2, KPair),
                                node(1, 2, 0, KName),
                                node(3, 4, 0, KInt),
                                node(5, 10, 2, KPair),
                                node(6, 7, 0, KName),
                                node(8, 9, 0, KInt),
                                node(10, 12, 0, KFirst),
                                node(12, 13, 1, KFirst),
                                node(12, 13, 0, KName),
                            });
    nodes::NodeRef ref{&t.shared.view, nullptr, 0, 0};
    value::List* list = nodes::childList(ref, 0, 0, false);
    ASSERT_NE(list, nullptr);
    held.push_back(Value::of(value::TagList, list));
    ASSERT_EQ(list->count, 3u);
    ASSERT_EQ(list->items[0].tag, value::TagDict);
    auto* d = list->items[0].as<value::Dict>();
    EXPECT_EQ(d->length, 2u);
    Value one;
    value::Str* k = name("k");
    ASSERT_TRUE(value::dictGet(d, Value::of(value::TagStr, k), &one));
    EXPECT_EQ(one.payload, 1u);
    EXPECT_EQ(list->items[1].tag, value::TagNone) << "first of nothing";
    EXPECT_EQ(text(list->items[2]), "z");
}

// A child text the int rule refuses: the list cannot be built natively (the read then goes
// through Python), and nothing is left behind.
TEST_F(Nodes, ARefusedTokenIsNotAnsweredNatively) {
    Tree t("1__0", {node(0, 4, 1, KProgram), node(0, 4, 0, KInt)});
    nodes::NodeRef ref{&t.shared.view, nullptr, 0, 0};
    EXPECT_EQ(nodes::childList(ref, 0, 0, false), nullptr);
    Value out = Value::unset();
    EXPECT_FALSE(nodes::attrIn(&ctx, ref, name("children"), &out).handled);
}

struct IntCase {
    const char* text;
    bool ok;
    int64_t value;
};

const IntCase kInts[] = {
    {" 1_000 ", true, 1000},  {"1__0", false, 0}, {"_1", false, 0},   {"1_", false, 0},
    {"+", false, 0},          {"", false, 0},     {"-_1", false, 0},  {"+7", true, 7},
    {"9223372036854775807", true, INT64_MAX},     {"9223372036854775808", false, 0},
    {"-9223372036854775808", true, INT64_MIN},    {"1 2", false, 0},  {"\t-12\n", true, -12},
};

TEST(NodeRules, IntRule) {
    for (const IntCase& c : kInts) {
        int64_t v = 0;
        EXPECT_EQ(nodes::intRule(c.text, strlen(c.text), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

struct FloatCase {
    const char* text;
    bool ok;
    double value;
};

const FloatCase kFloats[] = {
    {"1_0.5", false, 0},      {"-Infinity", true, -HUGE_VAL}, {"inF", true, HUGE_VAL},
    {"1e3", true, 1000.0},    {" .5 ", true, 0.5},            {"5.", true, 5.0},
    {"1e", false, 0},         {".", false, 0},                {"0x10", false, 0},
    {"", false, 0},           {"-0.0", true, -0.0},           {"infinit", false, 0},
};

TEST(NodeRules, FloatRule) {
    for (const FloatCase& c : kFloats) {
        double v = 0;
        EXPECT_EQ(nodes::floatRule(c.text, strlen(c.text), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
            EXPECT_EQ(std::signbit(v), std::signbit(c.value)) << c.text;
        }
    }
    double nan = 0;
    ASSERT_TRUE(nodes::floatRule("-NaN", 4, &nan));
    EXPECT_TRUE(std::isnan(nan));
    EXPECT_FALSE(std::signbit(nan)) << "the sign is not applied to nan";
}

struct QuoteCase {
    const char* text;
    bool ok;
    const char* value;
};

const QuoteCase kQuotes[] = {
    {"\"a\\u00e9\\ud83d\\ude00\"", true, "a\xc3\xa9\xf0\x9f\x98\x80"},
    {"\"\\ud83d\"", false, ""},
    {"\"\\q\"", true, "q"},
    {"\"\"", true, ""},
    {"'a\\n\\t\\\\b'", true, "a\n\t\\b"},
    {"'\\x41\\x4'", true, "Ax4"},
    {"'\\u0_41'", true, "A"},
    {"'\\u+041'", true, "A"},
    {"'\\u_041'", true, "u_041"},
    {"'ab\\'", true, "ab\\"},
};

TEST(NodeRules, UnquoteRule) {
    int64_t before = pool::liveBlocks();
    for (const QuoteCase& c : kQuotes) {
        bool refused = false;
        value::Str* s = nodes::unquoteRule(c.text, strlen(c.text), &refused);
        EXPECT_EQ(s != nullptr, c.ok) << c.text;
        EXPECT_EQ(refused, !c.ok) << c.text;
        if (s) {
            EXPECT_EQ(std::string(s->text()), c.value) << c.text;
            value::decref(Value::of(value::TagStr, s));
        }
    }
    EXPECT_EQ(pool::liveBlocks(), before);
}

// ---- Search --------------------------------------------------------------------------------------

std::vector<uint64_t> indexes(Value list) {
    std::vector<uint64_t> out;
    auto* l = list.as<value::List>();
    for (uint64_t i = 0; i < l->count; i++)
        out.push_back(l->items[i].tag == value::TagNode ? l->items[i].as<value::Node>()->index
                                                        : l->items[i].payload);
    return out;
}

TEST_F(Nodes, FindListsTheKindInTreeOrderTheReceiverIncluded) {
    struct Case {
        uint32_t receiver;
        const char* rule;
        std::vector<uint64_t> expected;
    };
    const Case cases[] = {{0, "Name", {2, 6, 7, 8}}, {5, "Name", {6, 7, 8}}, {1, "Let", {1}},
                          {0, "LetStmt", {}},        {0, "nothing", {}},     {2, "Name", {2}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rule) + " under " + std::to_string(c.receiver));
        Value out = Value::unset();
        Value rule = Value::of(value::TagStr, name(c.rule));
        nodes::Answer a =
            nodes::nodeFind(&ctx, 0, Value{value::TagNodeIndex, c.receiver}, rule, &out);
        ASSERT_TRUE(a.handled && a.ok);
        held.push_back(out);
        EXPECT_EQ(indexes(out), c.expected);
        for (uint64_t i = 0; i < out.as<value::List>()->count; i++)
            EXPECT_EQ(out.as<value::List>()->items[i].tag, value::TagNodeIndex);
    }
}

TEST_F(Nodes, FindDeclinesOtherReceiversAndArguments) {
    Value out = Value::unset();
    Value rule = Value::of(value::TagStr, name("Name"));
    EXPECT_FALSE(nodes::nodeFind(&ctx, 0, Value::integer(0), rule, &out).handled);
    EXPECT_FALSE(
        nodes::nodeFind(&ctx, 0, Value{value::TagNodeIndex, 0}, Value::integer(1), &out).handled);
    EXPECT_FALSE(nodes::nodeFind(&ctx, 0, Value{value::TagRuntime, 0}, rule, &out).handled);
    EXPECT_EQ(out.tag, value::TagUnset);
}

TEST_F(Nodes, CountedNodesFindCountedNodesThatHoldTheirTree) {
    Value root;
    ASSERT_TRUE(nodes::newTreeNode(&tree.shared, 0, &root));
    EXPECT_EQ(tree.shared.holders.load(), 2u);
    Value out;
    nodes::Answer a =
        nodes::nodeFind(&ctx, 0, root, Value::of(value::TagStr, name("Name")), &out);
    ASSERT_TRUE(a.handled && a.ok);
    EXPECT_EQ(indexes(out), (std::vector<uint64_t>{2, 6, 7, 8}));
    EXPECT_EQ(out.as<value::List>()->items[0].tag, value::TagNode);
    EXPECT_EQ(tree.shared.holders.load(), 6u);
    // Reads of a counted node answer from its own tree, outside any run.
    ctx.run = nullptr;
    Value parent = Value::unset();
    Value second = out.as<value::List>()->items[1];
    ASSERT_TRUE(wn_getattr(&ctx, 0, int64_t(second.tag), int64_t(second.payload),
                           name("parent"), &parent));
    EXPECT_EQ(parent.tag, value::TagNode);
    EXPECT_EQ(parent.as<value::Node>()->index, 5u);
    value::decref(parent);
    value::decref(out);
    value::decref(root);
    EXPECT_EQ(tree.shared.holders.load(), 1u);
}

// Several threads fill one tree's caches at once; every thread sees the same blocks, and
// nothing is leaked or freed twice.
TEST_F(Nodes, CachesFilledByManyThreadsPublishOneEntryEach) {
    constexpr int kThreads = 8;
    std::vector<std::vector<uint64_t>> seen(kThreads);
    // Block counts are kept per thread: what the workers made and what this thread frees
    // must come to nothing together.
    std::vector<int64_t> made(kThreads);
    std::vector<value::Str*> attributes = {name("text"), name("kind"), name("rule"),
                                           name("name")};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            helpers::Ctx local{};
            local.run = &run;
            int64_t before = pool::liveBlocks();
            for (uint32_t n = 0; n < kNodes.size(); n++)
                for (value::Str* a : {attributes[0], attributes[1], attributes[2]}) {
                    Value out = Value::unset();
                    if (!wn_getattr(&local, 0, value::TagNodeIndex, n, a, &out)) continue;
                    seen[size_t(t)].push_back(out.payload);
                    value::decref(out);
                }
            helpers::endCtx(&local);
            made[size_t(t)] = pool::liveBlocks() - before;
        });
    for (std::thread& th : threads) th.join();
    for (int t = 1; t < kThreads; t++) EXPECT_EQ(seen[size_t(t)], seen[0]);
    int64_t here = pool::liveBlocks();
    nodes::freeCache(&tree.cache, uint32_t(kNodes.size()));
    int64_t total = pool::liveBlocks() - here;
    for (int64_t m : made) total += m;
    EXPECT_EQ(total, 0) << "texts made by the threads leaked or freed twice";
    // The attribute names, made here, go when the test ends.
    start = pool::liveBlocks() - int64_t(held.size());
}

}  // namespace

}  // namespace wuna
