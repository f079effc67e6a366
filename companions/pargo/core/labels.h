// The label tables of a compiled grammar: for each rule the labels one of its nodes can carry
// on its children, in order of first appearance, and whether one node can have several
// children with the same label (then the label's value is a list).
#pragma once
#include "core/grammar.h"

namespace labels {

// Fills g.labels (one list per rule). Needs resolved rule references.
void compute(grammar::Grammar& g);

}  // namespace labels
