// Counting labels. Each expression gives an ordered list of (field, how many) where how many
// is 1 or "many": a sequence adds the counts of its parts, a choice takes the larger count of
// its alternatives, a repetition makes every count "many", and a labelled expression counts
// once (many when what it labels can make several nodes at its own level). Unlabelled
// references to @silent rules add that rule's counts, since its nodes land in the caller.
// A @fold rule is counted per folded node: its leading part once and one iteration of its
// final repetition once. References to @silent rules are followed by recursion; a thread
// stack too small for a chain of them stops the counting (the grammar is then refused).
#include "core/labels.h"

#include "core/stack.h"

namespace pargo::labels {
namespace {

using grammar::Expr;
using grammar::Op;

constexpr uint8_t many = 2;

struct Count {
    uint32_t field;
    uint8_t n;  // 1 or many
};
using Counts = std::vector<Count>;

void addInto(Counts& into, const Counts& from, bool max) {
    for (const Count& c : from) {
        bool found = false;
        for (Count& d : into)
            if (d.field == c.field) {
                d.n = max ? (d.n > c.n ? d.n : c.n) : many;
                found = true;
                break;
            }
        if (!found) into.push_back(c);
    }
}

struct Counter {
    const grammar::Grammar& g;
    std::vector<uint8_t> state;  // per rule: 0 not done, 1 in progress, 2 done
    std::vector<Counts> silentCounts;
    std::vector<uint8_t> recursive;
    std::vector<uint8_t> nodesState;
    std::vector<uint8_t> nodesMemo;
    uintptr_t stackFloor = stackroom::floor();
    bool tooDeep = false;
    uint32_t deepAt = 0;  // the expression where the stack ran low

    // Whether the stack is too low to go on into e (then everything stops, refusing the grammar).
    bool stop(uint32_t e) {
        if (!tooDeep && stackroom::low(stackFloor)) {
            tooDeep = true;
            deepAt = e;
        }
        return tooDeep;
    }

    bool makesNode(const grammar::Rule& r) const {
        return !(r.flags & (grammar::Silent | grammar::Skip));
    }

    // How many nodes e can make at its own level: 0, 1 or many.
    uint8_t nodes(uint32_t e) {
        if (stop(e)) return 0;
        const Expr& x = g.exprs[e];
        uint8_t r = 0;
        switch (x.op) {
        case Op::Seq:
            for (uint32_t k = 0; k < x.b && r < many; k++) r += nodes(g.kids[x.a + k]);
            break;
        case Op::Choice:
            for (uint32_t k = 0; k < x.b; k++) {
                uint8_t n = nodes(g.kids[x.a + k]);
                if (n > r) r = n;
            }
            break;
        case Op::Star:
        case Op::Plus: r = nodes(x.a) ? many : 0; break;
        case Op::Opt:
        case Op::Label: r = nodes(x.a); break;
        case Op::Ref: {
            const grammar::Rule& rule = g.rules[x.a];
            if (makesNode(rule)) {
                r = 1;
            } else if (rule.flags & (grammar::Token | grammar::Skip)) {
                r = 0;
            } else if (nodesState[x.a] == 2) {
                r = nodesMemo[x.a];
            } else if (nodesState[x.a] == 1) {
                r = many;  // a recursive @silent rule can repeat
            } else {
                nodesState[x.a] = 1;
                r = nodes(rule.body);
                nodesState[x.a] = 2;
                nodesMemo[x.a] = r;
            }
            break;
        }
        default: break;
        }
        return r > many ? many : r;
    }

    Counts silent(uint32_t rule) {
        if (state[rule] == 2) return silentCounts[rule];
        if (state[rule] == 1) {
            recursive[rule] = 1;
            return {};
        }
        state[rule] = 1;
        Counts c = count(g.rules[rule].body);
        if (recursive[rule])
            for (Count& k : c) k.n = many;
        state[rule] = 2;
        silentCounts[rule] = c;
        return c;
    }

    Counts count(uint32_t e) {
        Counts out;
        if (stop(e)) return out;
        const Expr& x = g.exprs[e];
        switch (x.op) {
        case Op::Seq:
            for (uint32_t k = 0; k < x.b; k++) addInto(out, count(g.kids[x.a + k]), false);
            break;
        case Op::Choice:
            for (uint32_t k = 0; k < x.b; k++) addInto(out, count(g.kids[x.a + k]), true);
            break;
        case Op::Star:
        case Op::Plus:
            out = count(x.a);
            for (Count& c : out) c.n = many;
            break;
        case Op::Opt: out = count(x.a); break;
        case Op::Label: out.push_back({x.b - 1, uint8_t(nodes(x.a) == many ? many : 1)}); break;
        case Op::Ref: {
            const grammar::Rule& r = g.rules[x.a];
            if (!makesNode(r) && !(r.flags & (grammar::Token | grammar::Skip))) out = silent(x.a);
            break;
        }
        default: break;
        }
        return out;
    }

    Counts ruleCounts(const grammar::Rule& r) {
        if (r.flags & (grammar::Token | grammar::Skip)) return {};
        if (!(r.flags & grammar::Fold)) return count(r.body);
        const Expr& b = g.exprs[r.body];
        Counts out;
        for (uint32_t k = 0; k + 1 < b.b; k++) addInto(out, count(g.kids[b.a + k]), false);
        addInto(out, count(g.exprs[g.kids[b.a + b.b - 1]].a), false);
        return out;
    }
};

}  // namespace

bool compute(grammar::Grammar& g, uint32_t* deepExpr) {
    size_t n = g.rules.size();
    Counter c{g,
              std::vector<uint8_t>(n, 0),
              std::vector<Counts>(n),
              std::vector<uint8_t>(n, 0),
              std::vector<uint8_t>(n, 0),
              std::vector<uint8_t>(n, 0)};
    g.labels.assign(n, {});
    for (size_t i = 0; i < n; i++) {
        Counts k = c.ruleCounts(g.rules[i]);
        if (c.tooDeep) {
            *deepExpr = c.deepAt;
            return false;
        }
        for (const Count& e : k) g.labels[i].push_back({e.field, e.n == many});
    }
    return true;
}

}  // namespace pargo::labels
