// Computing how each expression can start. The sets are conservative: a byte outside them
// means the expression fails at once, a byte inside means nothing. A sequence collects the
// starts of its elements up to the first one that must look at the byte; a choice unites its
// alternatives; repetitions that may run zero times, options and negative lookaheads are
// transparent. Rule starts are computed once per rule and context, callees first, without
// recursing from rule to rule (a chain of thousands of rules would otherwise run a small
// thread stack out): a rule whose body meets a rule not yet done is tried again once those
// are. Left recursion is refused when the grammar is read, so no rule waits on itself.
#include "core/predict.h"

#include <utility>
#include <vector>

#include "core/grammar.h"

namespace pargo::predict {
namespace {

using grammar::Expr;
using grammar::Op;

struct Computer {
    const grammar::Grammar& g;
    // Per rule and context (0 lexical, 1 syntactic): 0 not done, 1 begun, 2 done.
    std::vector<uint8_t> state[2];
    std::vector<Start> rule[2];
    // The rules (and contexts) not yet done that the body being computed met.
    std::vector<std::pair<uint32_t, bool>> waiting{};

    Start anything() {
        Start s;
        s.transparent = true;
        return s;
    }

    void addClass(Start& s, const grammar::CharClass& c) {
        for (uint32_t b = 0; b < 128; b++)
            if (c.has(b)) s.raw.add(b);
        // Code points from U+0080 (and stray bytes) start with a byte from 0x80: keep them all
        // when the class can hold any of them.
        if (c.negate || !c.ranges.empty())
            for (uint32_t b = 128; b < 256; b++) s.raw.add(b);
    }

    // A rule's start if it is done; otherwise it is noted as waited for (unless it is begun,
    // which only a cycle would meet) and anything stands in for it until then.
    Start ruleStart(uint32_t r, bool lexical) {
        int k = lexical ? 0 : 1;
        if (state[k][r] == 2) return rule[k][r];
        if (state[k][r] == 0) waiting.push_back({r, lexical});
        return anything();
    }

    // Computes the start of r in a context, with the rules it needs first.
    void computeRule(uint32_t r0, bool lexical0) {
        std::vector<std::pair<uint32_t, bool>> stack{{r0, lexical0}};
        while (!stack.empty()) {
            auto [r, lexical] = stack.back();
            int k = lexical ? 0 : 1;
            if (state[k][r] == 2) {
                stack.pop_back();
                continue;
            }
            state[k][r] = 1;
            waiting.clear();
            Start s = bodyStart(r, lexical);
            if (!waiting.empty()) {
                stack.insert(stack.end(), waiting.begin(), waiting.end());
                continue;
            }
            rule[k][r] = s;
            state[k][r] = 2;
            stack.pop_back();
        }
    }

    Start bodyStart(uint32_t r, bool lexical) {
        const grammar::Rule& R = g.rules[r];
        Start s;
        if (lexical || (R.flags & grammar::Skip)) {
            s = of(R.body, lexical);
        } else if (R.flags & grammar::Token) {
            Start body = of(R.body, true);
            s.skipped = body.raw;
            s.transparent = body.transparent;
        } else if (R.flags & grammar::Silent) {
            s = of(R.body, false);
        } else {
            // A node-making rule skips first, so everything its body starts with comes after
            // skipping.
            Start body = of(R.body, false);
            s.skipped = body.raw;
            s.skipped.addAll(body.skipped);
            s.transparent = body.transparent;
        }
        return s;
    }

    Start of(uint32_t e, bool lexical) {
        const Expr& x = g.exprs[e];
        Start s;
        switch (x.op) {
        case Op::Seq:
            s.transparent = true;
            for (uint32_t k = 0; k < x.b && s.transparent; k++) {
                Start p = of(g.kids[x.a + k], lexical);
                s.raw.addAll(p.raw);
                s.skipped.addAll(p.skipped);
                s.transparent = p.transparent;
            }
            return s;
        case Op::Choice:
            for (uint32_t k = 0; k < x.b; k++) {
                Start p = of(g.kids[x.a + k], lexical);
                s.raw.addAll(p.raw);
                s.skipped.addAll(p.skipped);
                s.transparent = s.transparent || p.transparent;
            }
            return s;
        case Op::Star:
        case Op::Opt:
            s = of(x.a, lexical);
            s.transparent = true;
            return s;
        case Op::Plus:
        case Op::And:
        case Op::Label: return of(x.a, lexical);
        case Op::Not: return anything();
        case Op::Lit: {
            const std::string& lit = g.literals[x.a];
            if (lit.empty()) return anything();
            (lexical ? s.raw : s.skipped).add((unsigned char)lit[0]);
            return s;
        }
        case Op::Class: addClass(s, g.classes[x.a]); return s;
        case Op::Any:
            for (uint32_t b = 0; b < 256; b++) s.raw.add(b);
            return s;
        case Op::Ref: return ruleStart(x.a, lexical);
        }
        return anything();
    }
};

}  // namespace

void compute(grammar::Grammar& g) {
    size_t n = g.rules.size();
    Computer c{g,
               {std::vector<uint8_t>(n, 0), std::vector<uint8_t>(n, 0)},
               {std::vector<Start>(n), std::vector<Start>(n)}};
    for (uint32_t r = 0; r < n; r++) {
        c.computeRule(r, true);
        c.computeRule(r, false);
    }
    g.startLexical.resize(g.exprs.size());
    g.startSyntactic.resize(g.exprs.size());
    for (size_t e = 0; e < g.exprs.size(); e++) {
        g.startLexical[e] = c.of(uint32_t(e), true);
        g.startSyntactic[e] = c.of(uint32_t(e), false);
    }
}

}  // namespace pargo::predict
