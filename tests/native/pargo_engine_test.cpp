// The pargo engine without Python: grammar text compiled and run through the C entry points,
// checking the pre-order node records, the status codes, recovery records and the scalar
// readers that the to_ast values use.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/notation.h"
#include "core/scalars.h"
#include "core/tree.h"

namespace {

const char* arithmetic = R"(
@recover Lines = lines:Line*
Line = value:Sum ';'
@fold Sum = left:Atom (op:Op right:Atom)*
@lift Atom = Num | '(' Sum ')'
@token Op = '+' | '-'
@token Num = [0-9]+
@skip Space = [ \n]+
)";

struct Compiled {
  grammar::Grammar* g = nullptr;
  notation::Error err;
  explicit Compiled(const char* text) { g = notation::compile(text, std::strlen(text), &err); }
  ~Compiled() { grammar::release(g); }
};

struct Parse {
  tree::TreeRecord rec{};
  tree::ErrorRecord err{};
  int status;
  Parse(const grammar::Grammar* g, const std::string& text, const char* start = nullptr, uint32_t flags = 0) {
    status = pargo_parse(g, text.data(), text.size(), start, flags, &rec, &err);
  }
  ~Parse() { pargo_tree_free(&rec); }
  // (start, end, descendants, kind, label) of every node
  std::vector<std::vector<uint32_t>> nodes() const {
    std::vector<std::vector<uint32_t>> out;
    for (uint32_t i = 0; i < rec.nodeCount; i++) {
      const tree::Node& n = rec.nodes[i];
      out.push_back({n.start, n.end, n.descendants, tree::kindOf(n), tree::labelOf(n)});
    }
    return out;
  }
};

TEST(PargoEngine, BuildsPreorderNodesWithKindsAndLabels) {
  Compiled c(arithmetic);
  ASSERT_NE(c.g, nullptr) << c.err.what;
  Parse p(c.g, "1 + (2 - 3);");
  ASSERT_EQ(p.status, tree::parsed);
  EXPECT_EQ(p.rec.abi, 1u);
  EXPECT_EQ(p.rec.textLength, 12u);
  // kinds: Lines 0, Line 1, Sum 2, Op 4, Num 5; labels: lines 1, value 2, left 3, op 4, right 5
  std::vector<std::vector<uint32_t>> want = {
      {0, 12, 8, 0, 0}, {0, 12, 7, 1, 1}, {0, 11, 6, 2, 2}, {0, 1, 0, 5, 3}, {2, 3, 0, 4, 4},
      {5, 10, 3, 2, 5}, {5, 6, 0, 5, 3},  {7, 8, 0, 4, 4},  {9, 10, 0, 5, 5},
  };
  EXPECT_EQ(p.nodes(), want);
}

TEST(PargoEngine, StatusCodes) {
  Compiled c(arithmetic);
  Parse unknown(c.g, "1;", "Nope");
  EXPECT_EQ(unknown.status, tree::unknownStart);
  Parse bad(c.g, "1;\n2 +;");
  ASSERT_EQ(bad.status, tree::syntaxError);
  EXPECT_EQ(bad.err.offset, 6u);
  EXPECT_EQ(bad.err.line, 2u);
  EXPECT_EQ(bad.err.column, 4u);
  EXPECT_STREQ(bad.err.message, "expected Num or '('");
  Parse fromSum(c.g, "1 + 2", "Sum");
  EXPECT_EQ(fromSum.status, tree::parsed);
  Compiled silent("@silent A = 'a'");
  Parse none(silent.g, "a");
  EXPECT_EQ(none.status, tree::noNodes);
}

TEST(PargoEngine, RecoveryRecordsErrorsAndErrorNodes) {
  Compiled c(arithmetic);
  Parse p(c.g, "1 +;\n2;\n)", nullptr, tree::recoverFlag);
  ASSERT_EQ(p.status, tree::parsed);
  ASSERT_EQ(p.rec.errorCount, 2u);
  const uint32_t errorKind = 7;  // one past the last rule
  EXPECT_EQ(p.rec.errors[0].offset, 3u);
  EXPECT_EQ(p.rec.errors[1].line, 3u);
  std::vector<uint32_t> errorNodes;
  for (uint32_t i = 0; i < p.rec.nodeCount; i++)
    if (tree::kindOf(p.rec.nodes[i]) == errorKind) errorNodes.push_back(i);
  ASSERT_EQ(errorNodes.size(), 2u);
  EXPECT_EQ(tree::labelOf(p.rec.nodes[errorNodes[0]]), 0u);
  EXPECT_EQ(p.rec.nodes[errorNodes[0]].end, 5u);          // to the end of its line
  EXPECT_EQ(errorNodes[1], p.rec.nodeCount - 1);          // unconsumed input: the root's last child
  EXPECT_EQ(p.rec.nodes[0].descendants, p.rec.nodeCount - 1);
}

TEST(PargoEngine, NestingTooDeepIsASyntaxError) {
  Compiled c(arithmetic);
  std::string text = std::string(50000, '(') + "1" + std::string(50000, ')') + ";";
  Parse p(c.g, text);
  ASSERT_EQ(p.status, tree::syntaxError);
  EXPECT_STREQ(p.err.message, "nesting too deep");
}

TEST(PargoEngine, GrammarErrorsNameTheirPlace) {
  Compiled c("A = 'a'\nB = 'b' Missing");
  EXPECT_EQ(c.g, nullptr);
  EXPECT_EQ(c.err.line, 2u);
  EXPECT_EQ(c.err.column, 9u);
  EXPECT_EQ(c.err.what, "unknown rule 'Missing'");
}

TEST(PargoScalars, IntRule) {
  int64_t v = 0;
  EXPECT_TRUE(scalars::readInt(" 1_000\n", 7, &v));
  EXPECT_EQ(v, 1000);
  EXPECT_TRUE(scalars::readInt("-9223372036854775808", 20, &v));
  EXPECT_EQ(v, INT64_MIN);
  for (const char* bad : {"9223372036854775808", "1__0", "_1", "1_", "+", ""})
    EXPECT_FALSE(scalars::readInt(bad, std::strlen(bad), &v)) << bad;
}

TEST(PargoScalars, FloatRule) {
  double d = 0;
  EXPECT_TRUE(scalars::readFloat("1e3", 3, &d));
  EXPECT_EQ(d, 1000.0);
  EXPECT_TRUE(scalars::readFloat("-Infinity", 9, &d));
  EXPECT_TRUE(std::isinf(d) && d < 0);
  EXPECT_TRUE(scalars::readFloat("-nan", 4, &d));
  EXPECT_TRUE(std::isnan(d) && !std::signbit(d));
  EXPECT_FALSE(scalars::readFloat("1_0.5", 5, &d));
  EXPECT_FALSE(scalars::readFloat("0x10", 4, &d));
}

TEST(PargoScalars, UnquoteRule) {
  const std::string in = "\"a\\u00e9\\ud83d\\ude00\\q\"";
  std::vector<char> out(in.size());
  int64_t n = scalars::unquote(in.data(), in.size(), out.data());
  EXPECT_EQ(std::string(out.data(), size_t(n)), "a\xc3\xa9\xf0\x9f\x98\x80q");
  const std::string lone = "\"\\ud83d\"";
  EXPECT_EQ(scalars::unquote(lone.data(), lone.size(), out.data()), -1);
  EXPECT_EQ(scalars::unquote("\"\"", 2, out.data()), 0);
}

}  // namespace

namespace {

// Random programs of the arithmetic grammar, mostly well-formed.
std::string randomProgram(uint32_t& seed, int lines) {
  auto next = [&]() { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  std::string out;
  for (int l = 0; l < lines; l++) {
    int depth = 0, terms = 1 + next() % 6;
    for (int k = 0; k < terms; k++) {
      if (k) out += next() % 2 ? " + " : "-";
      while (next() % 4 == 0) out += "(", depth++;
      out += std::to_string(next() % 1000);
      while (depth && next() % 3 == 0) out += ")", depth--;
    }
    while (depth--) out += ")";
    out += next() % 3 ? ";\n" : " ; ";
  }
  return out;
}

}  // namespace

TEST(PargoEngine, PredictionGivesTheSameTreesAndErrors) {
  Compiled c(arithmetic);
  uint32_t seed = 42;
  for (int round = 0; round < 300; round++) {
    std::string text = randomProgram(seed, 1 + round % 7);
    if (round % 3 == 0 && !text.empty()) text.erase(seed % text.size(), 1);  // sometimes broken
    for (uint32_t flags : {0u, tree::recoverFlag}) {
      tree::TreeRecord a{}, b{};
      tree::ErrorRecord ea{}, eb{};
      int sa = engine::parse(c.g, text.data(), text.size(), nullptr, flags, &a, &ea);
      int sb = engine::parse(c.g, text.data(), text.size(), nullptr, flags | engine::noPrediction, &b, &eb);
      ASSERT_EQ(sa, sb) << text;
      if (sa == tree::parsed) {
        ASSERT_EQ(a.nodeCount, b.nodeCount) << text;
        EXPECT_EQ(std::memcmp(a.nodes, b.nodes, a.nodeCount * sizeof(tree::Node)), 0) << text;
        ASSERT_EQ(a.errorCount, b.errorCount) << text;
        if (a.errorCount) {
          EXPECT_EQ(std::memcmp(a.errors, b.errors, a.errorCount * sizeof(tree::ErrorRecord)), 0) << text;
        }
      } else {
        EXPECT_EQ(std::memcmp(&ea, &eb, sizeof ea), 0) << text;
      }
      pargo_tree_free(&a);
      pargo_tree_free(&b);
    }
  }
}
