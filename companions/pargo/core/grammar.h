// A compiled grammar: the rules, their expressions as one flat array (children by index), the
// distinct literals and character classes, and the metadata the Python face reports (fields,
// per-rule labels with list flags). notation.cpp builds it from grammar text, labels.cpp
// fills the label tables, engine.cpp runs it. Once built it is never changed, so any number
// of threads may parse with it at once.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/predict.h"
#include "pargo/tree_layout.h"

namespace pargo::grammar {

enum class Op : uint8_t {
    Seq,     // kids[a .. a+b)
    Choice,  // kids[a .. a+b), ordered
    Star,    // a = child
    Plus,    // a = child
    Opt,     // a = child
    And,     // a = child, lookahead
    Not,     // a = child, negative lookahead
    Lit,     // a = literal index
    Class,   // a = class index
    Any,     // one UTF-8 code point
    Ref,     // a = rule index
    Label,   // a = child, b = label byte (field index + 1)
};

// Star and Plus inside a @recover rule recover from a failed iteration.
inline constexpr uint8_t exprRecovers = 1;

struct Expr {
    Op op;
    uint8_t flags = 0;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t at = 0;  // byte offset in the grammar text, for grammar errors
};

struct CharClass {
    bool negate = false;
    uint64_t ascii[2] = {0, 0};                         // bitmap of the code points 0-127
    std::vector<std::pair<uint32_t, uint32_t>> ranges;  // code points from 128 up, inclusive
    bool has(uint32_t cp) const {
        bool in = false;
        if (cp < 128) {
            in = (ascii[cp >> 6] >> (cp & 63)) & 1;
        } else {
            for (auto& r : ranges)
                if (cp >= r.first && cp <= r.second) {
                    in = true;
                    break;
                }
        }
        return in != negate;
    }
};

enum RuleFlag : uint32_t {
    Token = 1,
    Silent = 2,
    Lift = 4,
    Fold = 8,
    Skip = 16,
    Recover = 32,
};

struct Rule {
    std::string name;
    uint32_t flags = 0;
    uint32_t body = 0;
    bool hasAction = false;
    std::string action;
    uint8_t foldLabel = 0;  // @fold: the label of the first operand, given to each previous result
    uint32_t at = 0;        // byte offset of its name in the grammar text
};

struct LabelEntry {
    uint32_t field;  // index into fields
    bool many;
};

struct Grammar {
    std::vector<Rule> rules;
    std::vector<Expr> exprs;
    std::vector<uint32_t> kids;
    std::vector<std::string> literals;
    std::vector<uint8_t> literalWordEnd;  // the literal ends in a letter, digit or '_'
    std::vector<CharClass> classes;
    std::vector<std::string> fields;
    std::vector<std::vector<LabelEntry>> labels;  // per rule
    int32_t skipRule = -1;
    // How each expression can start, inside tokens and outside them (see predict.h).
    std::vector<predict::Start> startLexical, startSyntactic;
};

// The largest number of rules and of fields, so that every kind and label fits the node word:
// the error kind comes after the rules.
inline constexpr uint32_t maxRules = layout::maxKinds - 1;
inline constexpr uint32_t maxFields = layout::maxLabels;
static_assert(maxRules == 4094 && maxFields == 255);  // the texts of notation.cpp's refusals

int32_t findRule(const Grammar& g, const char* name, size_t len);

// Frees a grammar made by notation::compile.
void release(Grammar* g);

}  // namespace pargo::grammar
