// Reads grammar text into a compiled grammar. A hand-written recursive descent over the text:
// rules are read one after another into the grammar's flat expression array, rule references
// are kept by name until every rule is known and then resolved, and the checks that need the
// whole grammar (unknown or doubled rules, the @fold shape, left recursion) run at the end.
// Every error stops the reading and reports the line and column in the grammar text.
#include "core/notation.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "core/labels.h"
#include "core/stack.h"
#include "core/utf8.h"

namespace pargo::notation {
namespace {

using grammar::Expr;
using grammar::Op;

// How deeply expressions may nest in one rule: parentheses, prefixes, labels and postfix
// operators all count. It bounds the depth of every rule body's expression tree (about twice
// this), which the recursive passes over a body (here, in labels.cpp and predict.cpp, and the
// parse machine) rely on.
constexpr int maxNesting = 200;
const char* const tooDeep = "expression nested too deeply";

struct FlagName {
    const char* name;
    uint32_t bit;
};
constexpr FlagName ruleFlags[] = {{"token", grammar::Token}, {"silent", grammar::Silent},
                                  {"lift", grammar::Lift},   {"fold", grammar::Fold},
                                  {"skip", grammar::Skip},   {"recover", grammar::Recover}};

bool isIdentStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isIdentChar(unsigned char c) { return isIdentStart(c) || (c >= '0' && c <= '9'); }
using utf8::hexValue;

struct Reader {
    const char* text;
    size_t len;
    size_t pos = 0;
    grammar::Grammar* g;
    Error* err;
    bool failed = false;
    int nesting = 0;
    uintptr_t stackFloor = stackroom::floor();  // a small thread stack ends the nesting sooner
    std::vector<std::string> refNames{};        // a Ref's `a` indexes this until resolution
    std::vector<uint32_t> refExprs{};
    std::unordered_map<std::string, uint32_t>
        literalIndex{};  // literal text -> index, so repeats cost no search

    unsigned char peek(size_t k = 0) const {
        return pos + k < len ? (unsigned char)text[pos + k] : 0;
    }
    bool atEnd() const { return pos >= len; }

    void where(size_t at, uint32_t* line, uint32_t* column) const {
        uint32_t l = 1;
        size_t lineStart = 0;
        for (size_t i = 0; i < at && i < len; i++)
            if (text[i] == '\n') {
                l++;
                lineStart = i + 1;
            }
        *line = l;
        *column = uint32_t(at - lineStart + 1);
    }

    bool fail(size_t at, std::string what) {
        if (!failed) {
            failed = true;
            where(at, &err->line, &err->column);
            err->what = std::move(what);
        }
        return false;
    }

    void space() {
        while (pos < len) {
            unsigned char c = peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                pos++;
            } else if (c == '#') {
                while (pos < len && text[pos] != '\n') pos++;
            } else {
                break;
            }
        }
    }

    std::string ident() {
        size_t s = pos;
        while (pos < len && isIdentChar(peek())) pos++;
        return std::string(text + s, pos - s);
    }

    // Is the next thing the start of a rule: flags, or `Name =`?
    bool atRuleStart() {
        if (peek() == '@') return true;
        if (!isIdentStart(peek())) return false;
        size_t save = pos;
        ident();
        space();
        bool r = peek() == '=';
        pos = save;
        return r;
    }

    uint32_t add(Op op, uint32_t a, uint32_t b, size_t at) {
        Expr e;
        e.op = op;
        e.a = a;
        e.b = b;
        e.at = uint32_t(at);
        g->exprs.push_back(e);
        return uint32_t(g->exprs.size() - 1);
    }

    uint32_t group(Op op, const std::vector<uint32_t>& items, size_t at) {
        if (items.size() == 1) return items[0];
        uint32_t first = uint32_t(g->kids.size());
        g->kids.insert(g->kids.end(), items.begin(), items.end());
        return add(op, first, uint32_t(items.size()), at);
    }

    // One escaped or plain character at pos, as a code point; `inClass` allows \] \- and \^.
    bool character(bool inClass, uint32_t* cp, bool* escapedByte) {
        size_t at = pos;
        unsigned char c = peek();
        *escapedByte = false;
        if (c == '\\') {
            unsigned char e = peek(1);
            pos += 2;
            switch (e) {
            case 'n': *cp = '\n'; return true;
            case 't': *cp = '\t'; return true;
            case 'r': *cp = '\r'; return true;
            case '0': *cp = 0; return true;
            case '\\': *cp = '\\'; return true;
            case '\'': *cp = '\''; return true;
            case '"': *cp = '"'; return true;
            case 'x': {
                int h = hexValue(peek()), l = hexValue(peek(1));
                if (h < 0 || l < 0) return fail(at, "\\x needs two hexadecimal digits");
                pos += 2;
                *cp = uint32_t(h * 16 + l);
                *escapedByte = true;
                return true;
            }
            default:
                if (inClass && (e == ']' || e == '-' || e == '^' || e == '[')) {
                    *cp = e;
                    return true;
                }
                if (e == 0 && at + 1 >= len) return fail(at, "unfinished escape");
                return fail(at, std::string("unknown escape \\") + char(e));
            }
        }
        // A plain UTF-8 code point.
        int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || pos + n > len) return fail(at, "the grammar is not valid UTF-8");
        uint32_t v = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (int i = 1; i < n; i++) {
            unsigned char d = peek(i);
            if ((d & 0xC0) != 0x80) return fail(at, "the grammar is not valid UTF-8");
            v = (v << 6) | (d & 0x3F);
        }
        pos += n;
        *cp = v;
        return true;
    }

    bool literal(uint32_t* out) {
        size_t at = pos;
        unsigned char quote = peek();
        pos++;
        std::string s;
        while (true) {
            if (atEnd() || peek() == '\n') return fail(at, "unterminated literal");
            if (peek() == quote) break;
            uint32_t cp;
            bool byte;
            if (!character(false, &cp, &byte)) return false;
            char bytes[utf8::maxBytes];
            if (byte)
                s += char(cp);  // \xHH is one byte
            else
                s.append(bytes, utf8::putUtf8(bytes, cp));
        }
        pos++;
        auto [found, added] = literalIndex.emplace(s, uint32_t(g->literals.size()));
        if (added) {
            unsigned char last = s.empty() ? 0 : (unsigned char)s.back();
            g->literals.push_back(s);
            g->literalWordEnd.push_back(!s.empty() && isIdentChar(last));
        }
        *out = add(Op::Lit, found->second, 0, at);
        return true;
    }

    bool charClass(uint32_t* out) {
        size_t at = pos;
        pos++;
        grammar::CharClass cc;
        if (peek() == '^') {
            cc.negate = true;
            pos++;
        }
        auto put = [&](uint32_t lo, uint32_t hi) {
            for (uint32_t c = lo; c <= hi && c < 128; c++)
                cc.ascii[c >> 6] |= uint64_t(1) << (c & 63);
            if (hi >= 128) cc.ranges.push_back({lo < 128 ? 128 : lo, hi});
        };
        while (true) {
            if (atEnd() || peek() == '\n') return fail(at, "unterminated character class");
            if (peek() == ']') break;
            size_t itemAt = pos;
            uint32_t lo, hi;
            bool byte;
            if (!character(true, &lo, &byte)) return false;
            hi = lo;
            if (peek() == '-' && peek(1) != ']' && pos + 1 < len) {
                pos++;
                if (!character(true, &hi, &byte)) return false;
                if (hi < lo) return fail(itemAt, "a range must go upward");
            }
            put(lo, hi);
        }
        pos++;
        g->classes.push_back(std::move(cc));
        *out = add(Op::Class, uint32_t(g->classes.size() - 1), 0, at);
        return true;
    }

    bool choice(uint32_t* out);

    bool primary(uint32_t* out) {
        space();
        size_t at = pos;
        unsigned char c = peek();
        if (c == '(') {
            if (++nesting > maxNesting || stackroom::low(stackFloor)) return fail(at, tooDeep);
            pos++;
            if (!choice(out)) return false;
            space();
            if (peek() != ')') return fail(pos, "expected ')'");
            pos++;
            nesting--;
            return true;
        }
        if (c == '\'' || c == '"') return literal(out);
        if (c == '[') return charClass(out);
        if (c == '.') {
            pos++;
            *out = add(Op::Any, 0, 0, at);
            return true;
        }
        if (isIdentStart(c)) {
            std::string name = ident();
            refNames.push_back(name);
            *out = add(Op::Ref, uint32_t(refNames.size() - 1), 0, at);
            refExprs.push_back(*out);
            return true;
        }
        return fail(at, foundHere("expected an expression"));
    }

    // "<what>, found 'c'" naming the whole character at pos (or the end of the grammar).
    std::string foundHere(const char* what) const {
        std::string out(what);
        if (atEnd()) return out + ", found the end of the grammar";
        unsigned char c = peek();
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool whole = n > 0 && pos + n <= len;
        for (size_t i = 1; whole && i < n; i++) whole = (peek(i) & 0xC0) == 0x80;
        if (!whole) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            return out + ", found the byte " + hex;
        }
        return out + ", found '" + std::string(text + pos, n) + "'";
    }

    bool element(uint32_t* out) {
        space();
        size_t at = pos;
        if (++nesting > maxNesting || stackroom::low(stackFloor)) return fail(at, tooDeep);
        int postfix = 0;
        bool ok;
        unsigned char c = peek();
        if (c == '&' || c == '!') {
            pos++;
            uint32_t inner;
            ok = element(&inner);
            if (ok) *out = add(c == '&' ? Op::And : Op::Not, inner, 0, at);
        } else if (isIdentStart(c) && labelAhead()) {
            std::string name = ident();
            space();
            pos++;  // ':'
            uint32_t field = 0;
            while (field < g->fields.size() && g->fields[field] != name) field++;
            if (field == g->fields.size()) {
                if (field == grammar::maxFields) return fail(at, "more than 255 label names");
                g->fields.push_back(name);
            }
            uint32_t inner;
            ok = element(&inner);
            if (ok) *out = add(Op::Label, inner, field + 1, at);
        } else {
            ok = primary(out);
            while (ok) {
                space();
                unsigned char s = peek();
                Op op = s == '*' ? Op::Star : s == '+' ? Op::Plus : s == '?' ? Op::Opt : Op::Seq;
                if (op == Op::Seq) break;
                // Each operator wraps what came before, one level deeper for everything that walks
                // the expression, so it counts as nesting like a parenthesis.
                if (++nesting > maxNesting) return fail(pos, tooDeep);
                postfix++;
                pos++;
                *out = add(op, *out, 0, at);
            }
        }
        nesting -= 1 + postfix;
        return ok;
    }

    bool labelAhead() {
        size_t save = pos;
        ident();
        space();
        bool r = peek() == ':';
        pos = save;
        return r;
    }

    bool sequence(uint32_t* out) {
        std::vector<uint32_t> items;
        size_t at = pos;
        while (true) {
            space();
            unsigned char c = peek();
            if (atEnd() || c == '|' || c == ')' || (c == '-' && peek(1) == '>') || atRuleStart())
                break;
            uint32_t e;
            if (!element(&e)) return false;
            items.push_back(e);
        }
        if (items.empty()) return fail(pos, foundHere("expected an expression"));
        *out = group(Op::Seq, items, at);
        return true;
    }

    bool rule() {
        grammar::Rule r;
        while (peek() == '@') {
            size_t at = pos;
            pos++;
            std::string f = ident();
            uint32_t bit = 0;
            for (const auto& [name, value] : ruleFlags)
                if (f == name) bit = value;
            if (!bit) return fail(at, "unknown flag '@" + f + "'");
            r.flags |= bit;
            space();
        }
        if (!isIdentStart(peek())) return fail(pos, "expected a rule name");
        r.at = uint32_t(pos);
        r.name = ident();
        space();
        if (peek() != '=') return fail(pos, "expected '=' after the rule name '" + r.name + "'");
        pos++;
        if (!choice(&r.body)) return false;
        space();
        if (peek() == '-' && peek(1) == '>') {
            pos += 2;
            space();
            if (!isIdentStart(peek())) return fail(pos, "expected an action name after '->'");
            r.action = ident();
            r.hasAction = true;
            space();
            if (!atEnd() && !atRuleStart()) return fail(pos, "expected a rule after the action");
        }
        if (g->rules.size() == grammar::maxRules) return fail(r.at, "more than 4094 rules");
        g->rules.push_back(std::move(r));
        return true;
    }

    bool resolve() {
        std::unordered_map<std::string, uint32_t> byName;
        for (size_t i = 0; i < g->rules.size(); i++) {
            const grammar::Rule& r = g->rules[i];
            if (!byName.emplace(r.name, uint32_t(i)).second)
                return fail(r.at, "rule '" + r.name + "' is defined twice");
            if (r.flags & grammar::Skip) {
                if (g->skipRule >= 0) return fail(r.at, "only one rule can be @skip");
                g->skipRule = int32_t(i);
            }
        }
        for (uint32_t ref : refExprs) {
            Expr& e = g->exprs[ref];
            auto found = byName.find(refNames[e.a]);
            if (found == byName.end()) return fail(e.at, "unknown rule '" + refNames[e.a] + "'");
            e.a = found->second;
        }
        return true;
    }

    // Marks the repetitions written in a @recover rule's body.
    void markRecover(uint32_t e) {
        Expr& x = g->exprs[e];
        switch (x.op) {
        case Op::Seq:
        case Op::Choice:
            for (uint32_t k = 0; k < x.b; k++) markRecover(g->kids[x.a + k]);
            break;
        case Op::Star:
        case Op::Plus:
            x.flags |= grammar::exprRecovers;
            markRecover(x.a);
            break;
        case Op::Opt:
        case Op::And:
        case Op::Not:
        case Op::Label: markRecover(x.a); break;
        default: break;
        }
    }

    bool shapes() {
        for (auto& r : g->rules) {
            if (r.flags & grammar::Recover) markRecover(r.body);
            if (r.flags & grammar::Fold) {
                const Expr& b = g->exprs[r.body];
                if (b.op != Op::Seq || g->exprs[g->kids[b.a + b.b - 1]].op != Op::Star)
                    return fail(
                        r.at, "the body of the @fold rule '" + r.name + "' must be 'first rest*'");
                const Expr& first = g->exprs[g->kids[b.a]];
                if (first.op == Op::Label) r.foldLabel = uint8_t(first.b);
            }
        }
        return true;
    }

    // Whether e can match without consuming input, with `nullable` known for every rule.
    bool nullableExpr(uint32_t e, const std::vector<uint8_t>& nullable) const {
        const Expr& x = g->exprs[e];
        switch (x.op) {
        case Op::Seq:
            for (uint32_t k = 0; k < x.b; k++)
                if (!nullableExpr(g->kids[x.a + k], nullable)) return false;
            return true;
        case Op::Choice:
            for (uint32_t k = 0; k < x.b; k++)
                if (nullableExpr(g->kids[x.a + k], nullable)) return true;
            return false;
        case Op::Star:
        case Op::Opt:
        case Op::And:
        case Op::Not: return true;
        case Op::Plus:
        case Op::Label: return nullableExpr(x.a, nullable);
        case Op::Lit: return g->literals[x.a].empty();
        case Op::Class:
        case Op::Any: return false;
        case Op::Ref: return nullable[x.a];
        }
        return false;
    }

    // The rules e may call before consuming anything.
    void leftCalls(uint32_t e, const std::vector<uint8_t>& nullable,
                   std::vector<uint32_t>& out) const {
        const Expr& x = g->exprs[e];
        switch (x.op) {
        case Op::Seq:
            for (uint32_t k = 0; k < x.b; k++) {
                leftCalls(g->kids[x.a + k], nullable, out);
                if (!nullableExpr(g->kids[x.a + k], nullable)) break;
            }
            break;
        case Op::Choice:
            for (uint32_t k = 0; k < x.b; k++) leftCalls(g->kids[x.a + k], nullable, out);
            break;
        case Op::Star:
        case Op::Plus:
        case Op::Opt:
        case Op::And:
        case Op::Not:
        case Op::Label: leftCalls(x.a, nullable, out); break;
        case Op::Ref: out.push_back(x.a); break;
        default: break;
        }
    }

    bool leftRecursion() {
        size_t n = g->rules.size();
        std::vector<uint8_t> nullable(n, 0);
        for (bool changed = true; changed;) {
            changed = false;
            for (size_t i = 0; i < n; i++)
                if (!nullable[i] && nullableExpr(g->rules[i].body, nullable))
                    nullable[i] = changed = true;
        }
        std::vector<std::vector<uint32_t>> calls(n);
        for (size_t i = 0; i < n; i++) leftCalls(g->rules[i].body, nullable, calls[i]);
        // Depth-first search with colours; an edge to a rule on the stack closes a cycle.
        std::vector<uint8_t> colour(n, 0);
        std::vector<std::pair<uint32_t, size_t>> stack;
        for (size_t root = 0; root < n; root++) {
            if (colour[root]) continue;
            stack.push_back({uint32_t(root), 0});
            colour[root] = 1;
            while (!stack.empty()) {
                auto& [r, next] = stack.back();
                if (next == calls[r].size()) {
                    colour[r] = 2;
                    stack.pop_back();
                    continue;
                }
                uint32_t c = calls[r][next++];
                if (colour[c] == 1)
                    return fail(g->rules[c].at,
                                "the rule '" + g->rules[c].name + "' is left-recursive");
                if (colour[c] == 0) {
                    colour[c] = 1;
                    stack.push_back({c, 0});
                }
            }
        }
        return true;
    }
};

bool Reader::choice(uint32_t* out) {
    std::vector<uint32_t> alts;
    size_t at = pos;
    while (true) {
        uint32_t s;
        if (!sequence(&s)) return false;
        alts.push_back(s);
        space();
        if (peek() != '|') break;
        pos++;
    }
    *out = group(Op::Choice, alts, at);
    return true;
}

}  // namespace

grammar::Grammar* compile(const char* text, size_t len, Error* err) {
    auto* g = new grammar::Grammar();
    Reader rd{text, len, 0, g, err};
    rd.space();
    while (!rd.atEnd() && !rd.failed) {
        if (!rd.rule()) break;
        rd.space();
    }
    if (!rd.failed && g->rules.empty()) rd.fail(len, "the grammar has no rules");
    if (!rd.failed) rd.resolve() && rd.shapes() && rd.leftRecursion();
    if (!rd.failed) {
        uint32_t deep = 0;
        if (!labels::compute(*g, &deep))
            rd.fail(g->exprs[deep].at, "@silent rules nested too deeply");
    }
    if (!rd.failed) predict::compute(*g);
    if (rd.failed) {
        grammar::release(g);
        return nullptr;
    }
    return g;
}

}  // namespace pargo::notation
