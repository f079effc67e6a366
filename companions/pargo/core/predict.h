// First-byte prediction: for every expression, which bytes it can start with, so that the
// parse machine can pass over alternatives and iterations that cannot match at the current
// byte without running them. Computed once per grammar.
#pragma once
#include <cstdint>

namespace pargo::grammar {
struct Grammar;
}

namespace pargo::predict {

struct ByteSet {
    uint64_t bits[4] = {0, 0, 0, 0};
    void add(uint32_t b) { bits[b >> 6] |= uint64_t(1) << (b & 63); }
    bool has(uint32_t b) const { return (bits[b >> 6] >> (b & 63)) & 1; }
    void addAll(const ByteSet& o) {
        for (int i = 0; i < 4; i++) bits[i] |= o.bits[i];
    }
    bool empty() const { return !(bits[0] | bits[1] | bits[2] | bits[3]); }
};

// How an expression can start. `raw` holds the bytes it can start with at the current
// position; `skipped` those it can start with after whitespace skipping (for elements that
// skip first: literals, token and node-making rules); `transparent` means it can succeed
// without looking at the next byte at all (it can match empty, or is a lookahead we do not
// predict), so it can never be passed over.
struct Start {
    ByteSet raw;
    ByteSet skipped;
    bool transparent = false;
};

// Fills g.startLexical and g.startSyntactic, one entry per expression: inside tokens (no
// skipping) and outside them.
void compute(grammar::Grammar& g);

}  // namespace pargo::predict
