// The label tables of a compiled grammar: for each rule the labels one of its nodes can carry
// on its children, in order of first appearance, and whether one node can have several
// children with the same label (then the label's value is a list).
#pragma once
#include "core/grammar.h"

namespace pargo::labels {

// Fills g.labels (one list per rule). Needs resolved rule references. The counting follows
// references to @silent rules recursively, so a long enough chain of them runs out of stack:
// true, or false with *deepExpr the expression where the thread's stack ran low.
bool compute(grammar::Grammar& g, uint32_t* deepExpr);

}  // namespace pargo::labels
