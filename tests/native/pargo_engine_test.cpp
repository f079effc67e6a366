// The pargo engine without Python: grammar text compiled and run through the C entry points,
// checking the pre-order node records, the status codes, recovery records, the memo of rule
// results (against runs without it), the interrupt check, the nesting limits, and the scalar
// readers that the to_ast values use.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/notation.h"
#include "core/scalars.h"
#include "core/tree.h"
#include "core/utf8.h"

namespace pargo {

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
    Parse(const grammar::Grammar* g, const std::string& text, const char* start = nullptr,
          uint32_t flags = 0) {
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
        {0, 12, 8, 0, 0}, {0, 12, 7, 1, 1}, {0, 11, 6, 2, 2}, {0, 1, 0, 5, 3},  {2, 3, 0, 4, 4},
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
    EXPECT_EQ(p.rec.nodes[errorNodes[0]].end, 5u);  // to the end of its line
    EXPECT_EQ(errorNodes[1], p.rec.nodeCount - 1);  // unconsumed input: the root's last child
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

// The one UTF-8 writer both readers use, at each length's first and last code point.
TEST(PargoUtf8, PutWritesTheShortestFormAtEveryLengthBoundary) {
    const struct {
        uint32_t cp;
        std::string bytes;
    } cases[] = {
        {0x00, std::string(1, '\0')},
        {0x7F, "\x7f"},
        {0x80, "\xc2\x80"},
        {0x7FF, "\xdf\xbf"},
        {0x800, "\xe0\xa0\x80"},
        {0xFFFF, "\xef\xbf\xbf"},
        {0x10000, "\xf0\x90\x80\x80"},
        {0x10FFFF, "\xf4\x8f\xbf\xbf"},
    };
    for (const auto& c : cases) {
        char out[utf8::maxBytes];
        size_t n = utf8::putUtf8(out, c.cp);
        EXPECT_EQ(std::string(out, n), c.bytes) << std::hex << c.cp;
    }
}

TEST(PargoUtf8, HexValueTakesBothCasesAndNothingElse) {
    const std::string digits = "0123456789abcdefABCDEF";
    const int values[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                          11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (size_t i = 0; i < digits.size(); i++) EXPECT_EQ(utf8::hexValue(digits[i]), values[i]);
    for (unsigned char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\xff'})
        EXPECT_EQ(utf8::hexValue(c), -1) << int(c);
}

// Literals of a grammar go through the same writer: a \x escape is one byte, any other
// character its UTF-8 form, so both parse the text they spell.
TEST(PargoUtf8, GrammarLiteralsMatchTheirUtf8Text) {
    Compiled c("A = '\xc3\xa9' '\\x41' '\xf0\x9f\x98\x80'");
    ASSERT_NE(c.g, nullptr) << c.err.what;
    Parse ok(c.g,
             "\xc3\xa9"
             "A"
             "\xf0\x9f\x98\x80");
    EXPECT_EQ(ok.status, tree::parsed);
    Parse wrong(c.g,
                "\xe9"
                "A"
                "\xf0\x9f\x98\x80");
    EXPECT_EQ(wrong.status, tree::syntaxError);
}

// The node word as every reader decodes it: a label byte replaced keeps the kind.
TEST(PargoLayout, WithLabelKeepsTheKind) {
    for (uint32_t kind : {0u, 1u, 4094u, layout::maxKinds})
        for (uint32_t label : {0u, 1u, 254u, layout::maxLabels}) {
            tree::Node n{0, 0, 0, tree::withLabel(tree::makeWord(kind, 7), label)};
            EXPECT_EQ(tree::kindOf(n), kind);
            EXPECT_EQ(tree::labelOf(n), label);
        }
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
            int sb = engine::parse(c.g, text.data(), text.size(), nullptr,
                                   flags | engine::noPrediction, &b, &eb);
            ASSERT_EQ(sa, sb) << text;
            if (sa == tree::parsed) {
                ASSERT_EQ(a.nodeCount, b.nodeCount) << text;
                EXPECT_EQ(std::memcmp(a.nodes, b.nodes, a.nodeCount * sizeof(tree::Node)), 0)
                    << text;
                ASSERT_EQ(a.errorCount, b.errorCount) << text;
                if (a.errorCount) {
                    EXPECT_EQ(
                        std::memcmp(a.errors, b.errors, a.errorCount * sizeof(tree::ErrorRecord)),
                        0)
                        << text;
                }
            } else {
                EXPECT_EQ(std::memcmp(&ea, &eb, sizeof ea), 0) << text;
            }
            pargo_tree_free(&a);
            pargo_tree_free(&b);
        }
    }
}

namespace {

// Grammars that try rules again at the same position (so the memo records and replays them),
// with every flag: labels, @lift, @fold, tokens, lookahead, skipping and nested @recover rules,
// and a start rule that runs the whole recovering program up to three times.
const char* backtracking = R"(
Start = Lines '$' | Lines '%' | Lines
@recover Lines = lines:Line*
@lift Line = Assign | Call | Block | Bare
Assign = &(Target '=') target:Target '=' value:Sum ';'
Call = target:Target '(' (args:Sum (',' args:Sum)*)? ')' ';'
@recover Block = '{' body:Line* '}'
Bare = value:Sum ';'
@lift Target = Name | Index
Index = base:Name '[' at:Sum ']'
@fold Sum = left:Atom (op:Op right:Atom)*
@lift Atom = Num | Index | Name | '(' Sum ')' | '(' Sum ',' Sum ')'
@token Op = '+' | '-'
@token Num = [0-9]+ !'.'
@token Name = !'if' [a-z]+
@skip Space = [ \n]+
)";

// Each level tries B three times: without the memo, 3^depth steps.
const char* exponential = R"(
@recover A = (B 'x' | B 'y' | B) ('!' 'z')*
B = '(' A ')' | 'a'
)";

// A call tried again after the failed attempt of another (Q), where its own run consumed
// nothing: what it reaches is its own, not what the attempt before it reached.
const char* reaching = R"(
Top = Q 'x' | Q 'y' | P
Q = Long | X | N ':' N
Long = 'a' ';' 'b' '!'
X = 'c'
@recover P = items:It*
@lift It = X ';' | 'd' Pair
Pair = key:N '=' value:N | key:N '-' value:N | key:N ':'
@token N = [a-c]+
@skip S = ' '+
)";

// Random texts made of the grammars' tokens, so that most get some way in.
std::string tokenSoup(uint32_t& seed, int count) {
    static const char* const pieces[] = {
        "a",      "b",     "c",    "1",   "22", "=",   ";",      ":",  "(",
        ")",      "[",     "]",    "{",   "}",  ",",   "+",      "-",  "x",
        "y",      "!",     "z",    " ",   "\n", "if",  "1.",     "$",  "%",
        "a = 1;", "f(a);", "a;b!", "a;b", "d",  "(a)", "((a)x)", "!z", "{ a[1] = 2; }"};
    auto next = [&]() { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    std::string out;
    for (int i = 0; i < count; i++) {
        out += pieces[next() % (sizeof pieces / sizeof *pieces)];
        if (next() % 4 == 0) out += '\n';  // errors recovered from end at the end of their line
    }
    return out;
}

// Parses text both ways and expects the same status, nodes and error records.
void expectSameParse(const grammar::Grammar* g, const std::string& text, uint32_t flags,
                     uint32_t otherFlags) {
    tree::TreeRecord a{}, b{};
    tree::ErrorRecord ea{}, eb{};
    int sa = engine::parse(g, text.data(), text.size(), nullptr, flags, &a, &ea);
    int sb = engine::parse(g, text.data(), text.size(), nullptr, otherFlags, &b, &eb);
    ASSERT_EQ(sa, sb) << text;
    if (sa == tree::parsed) {
        ASSERT_EQ(a.nodeCount, b.nodeCount) << text;
        EXPECT_EQ(std::memcmp(a.nodes, b.nodes, a.nodeCount * sizeof(tree::Node)), 0) << text;
        ASSERT_EQ(a.errorCount, b.errorCount) << text;
        for (uint64_t i = 0; i < a.errorCount; i++) {
            EXPECT_EQ(a.errors[i].offset, b.errors[i].offset) << text;
            EXPECT_STREQ(a.errors[i].message, b.errors[i].message) << text;
        }
    } else if (sa == tree::syntaxError) {
        EXPECT_EQ(ea.offset, eb.offset) << text;
        EXPECT_STREQ(ea.message, eb.message) << text;
    }
    pargo_tree_free(&a);
    pargo_tree_free(&b);
}

}  // namespace

TEST(PargoEngine, MemoGivesTheSameTreesAndErrors) {
    for (const char* text : {arithmetic, backtracking, exponential, reaching}) {
        Compiled c(text);
        ASSERT_NE(c.g, nullptr) << c.err.what;
        uint32_t seed = 7;
        for (int round = 0; round < 600; round++) {
            std::string input = tokenSoup(seed, 1 + round % 23);
            if (text == exponential)
                input = std::string(round % 9, '(') + input + std::string(round % 7, ')');
            for (uint32_t flags : {0u, tree::recoverFlag, engine::noPrediction,
                                   tree::recoverFlag | engine::noPrediction})
                expectSameParse(c.g, input, flags, flags | engine::noMemo);
        }
    }
}

TEST(PargoEngine, MemoKeepsNodeEndsWhereSpacesWereSkipped) {
    // Z runs three times at 2 right after Tok consumed "a " (the last byte consumed ends at
    // 2), then once more at 2 after R skipped the space (it ends at 1): there the result of
    // the first runs would end Second at 2, over the space.
    Compiled c(R"(
Top = First | Second
First = Tok Z Z Z 'x'
Second = name:Name rest:R
R = Z
@silent Z = 'q'?
@token Tok = [a-z]+ ' '+
@token Name = [a-z]+
@skip S = ' '+
)");
    ASSERT_NE(c.g, nullptr) << c.err.what;
    Parse p(c.g, "a ");
    ASSERT_EQ(p.status, tree::parsed);
    // Top, Second, Name, R
    std::vector<std::vector<uint32_t>> want = {
        {0, 1, 3, 0, 0}, {0, 1, 2, 2, 0}, {0, 1, 0, 6, 1}, {2, 2, 0, 3, 2}};
    EXPECT_EQ(p.nodes(), want);
    expectSameParse(c.g, "a ", 0, engine::noMemo);
}

TEST(PargoEngine, MemoKeepsBacktrackingLinear) {
    // Without the memo each level tries B three times: 3^200 steps.
    Compiled c("A = B 'x' | B 'y' | B\nB = '(' A ')' | 'a'");
    for (int depth = 0; depth < 8; depth++) {
        std::string nested = std::string(depth, '(') + "a" + std::string(depth, ')');
        for (const std::string& text : {nested, nested + ")", nested + "x", "(" + nested + "y)"})
            for (uint32_t flags : {0u, tree::recoverFlag})
                expectSameParse(c.g, text, flags, flags | engine::noMemo);
    }
    std::string text = std::string(200, '(') + "a" + std::string(200, ')');
    Parse ok(c.g, text);
    EXPECT_EQ(ok.status, tree::parsed);
    EXPECT_EQ(ok.rec.nodeCount, 402u);
    Parse bad(c.g, text + ")");
    ASSERT_EQ(bad.status, tree::syntaxError);
    EXPECT_STREQ(bad.err.message, "expected 'x', 'y' or end of input");
}

namespace {

struct Stopper {
    int calls = 0;
    int stopAt;  // the call that says stop; 0: never
    static bool stop(void* self) {
        Stopper* s = static_cast<Stopper*>(self);
        return ++s->calls == s->stopAt;
    }
};

}  // namespace

TEST(PargoEngine, InterruptCheckStopsALongParse) {
    Compiled c(exponential);
    std::string text = std::string(40, '(') + "a" + std::string(40, ')');
    Stopper s{0, 2};
    engine::Interrupt check{Stopper::stop, &s};
    tree::TreeRecord rec{};
    tree::ErrorRecord err{};
    // Without the memo this would take 3^40 steps.
    int status =
        engine::parse(c.g, text.data(), text.size(), nullptr, engine::noMemo, &rec, &err, &check);
    EXPECT_EQ(status, engine::interrupted);
    EXPECT_EQ(s.calls, 2);
    pargo_tree_free(&rec);
}

TEST(PargoEngine, InterruptCheckThatLetsGoChangesNothing) {
    Compiled c(arithmetic);
    std::string text;
    for (int i = 0; i < 40000; i++) text += "1 + (2 - 3);\n";
    Stopper s{0, 0};
    engine::Interrupt check{Stopper::stop, &s};
    tree::TreeRecord rec{};
    tree::ErrorRecord err{};
    int status = engine::parse(c.g, text.data(), text.size(), nullptr, 0, &rec, &err, &check);
    EXPECT_EQ(status, tree::parsed);
    EXPECT_GE(s.calls, 1);
    Parse plain(c.g, text);
    ASSERT_EQ(plain.rec.nodeCount, rec.nodeCount);
    EXPECT_EQ(std::memcmp(plain.rec.nodes, rec.nodes, rec.nodeCount * sizeof(tree::Node)), 0);
    pargo_tree_free(&rec);
}

TEST(PargoEngine, ChoicesOfManyLiteralsCompileAndFail) {
    std::string text = "A = 'w0'";
    for (int i = 1; i < 200000; i++) text += " | 'w" + std::to_string(i) + "'";
    Compiled c(text.c_str());
    ASSERT_NE(c.g, nullptr) << c.err.what;
    EXPECT_EQ(c.g->literals.size(), 200000u);
    Parse bad(c.g, "w200000");
    ASSERT_EQ(bad.status, tree::syntaxError);
    EXPECT_EQ(std::string(bad.err.message).rfind("expected 'w0', 'w1', 'w2', ", 0), 0u)
        << bad.err.message;
    Parse last(c.g, "w199999");
    EXPECT_EQ(last.status, tree::parsed);
}

namespace {

// A parse on a thread of its own with the given stack size.
struct ThreadParse {
    const grammar::Grammar* g;
    std::string text;
    int status = 0;
    std::string message = {};

    static void* run(void* self) {
        ThreadParse* job = static_cast<ThreadParse*>(self);
        Parse p(job->g, job->text);
        job->status = p.status;
        job->message = p.status == tree::syntaxError ? p.err.message : "";
        return nullptr;
    }

    void runWithStack(size_t bytes) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, bytes);
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr, run, this), 0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
    }
};

}  // namespace

TEST(PargoEngine, NestingStopsBeforeASmallThreadStackEnds) {
    // 1500 levels are 3000 rule calls, within the fixed limits: an 8 MiB stack holds them,
    // 256 KiB do not.
    Compiled c(arithmetic);
    std::string deep = std::string(1500, '(') + "1" + std::string(1500, ')') + ";";
    ThreadParse big{c.g, deep};
    big.runWithStack(size_t(8) << 20);
    EXPECT_EQ(big.status, tree::parsed);
    ThreadParse small{c.g, deep};
    small.runWithStack(size_t(256) << 10);
    EXPECT_EQ(small.status, tree::syntaxError);
    EXPECT_EQ(small.message, "nesting too deep");
    ThreadParse shallow{c.g, std::string(20, '(') + "1" + std::string(20, ')') + ";"};
    shallow.runWithStack(size_t(256) << 10);
    EXPECT_EQ(shallow.status, tree::parsed);
}

TEST(PargoEngine, PostfixOperatorsCountAsNesting) {
    Compiled ok(("A = 'a'" + std::string(199, '*')).c_str());
    EXPECT_NE(ok.g, nullptr) << ok.err.what;
    Compiled bad(("A = 'a'" + std::string(30000, '+')).c_str());
    ASSERT_EQ(bad.g, nullptr);
    EXPECT_EQ(bad.err.what, "expression nested too deeply");
    EXPECT_EQ(bad.err.line, 1u);
    EXPECT_EQ(bad.err.column, 207u);
}

}  // namespace pargo
