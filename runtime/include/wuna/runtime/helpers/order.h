// Order and comparison of native values: wn_compare, wn_sorted and wn_min_max (declared by the
// helper table, table.h), and the one ordering they share.
//
// orderOf decides the order of numbers and strs exactly as Python does (an int against a
// float compares the exact values, never a rounded double); sortLess extends it to lists,
// tuples and bytes for sorting. Whenever the native code cannot decide - a Python object, a
// pair of kinds it does not order, a NaN in a sort - the operation is handed to Python as a
// whole, so that results and errors (the TypeError of unorderable types) are Python's. Sorting
// moves indexes, not values: keys are computed once per item and a stable sort orders 0..n-1
// by them, so equal keys keep their input order with and without reverse.
//
// Operands are borrowed; results give the caller one reference; on failure nothing is stored.
#pragma once
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// The shared comparison codes.
enum class CompareOp : uint32_t { eq, ne, lt, le, gt, ge, is, isNot, in, notIn, count };

enum class Order : uint8_t { less, equal, greater, unordered };

// An order, or none when the native code cannot decide (known 0).
struct OrderOf {
    Order order;
    uint8_t known;
};
// The order of a relative to b: ints (any tags, big ints), floats (unordered with a NaN),
// strs; undecided for every other pair. Cannot fail.
OrderOf orderOf(value::Value a, value::Value b);

// Whether a sorts before b, or undecided (known 0): orderOf, plus lists with lists and tuples
// with tuples item by item, and immutable bytes. A NaN, a Python object item or a pair of
// other kinds is undecided. An item comparison that raises leaves its failure noted
// (equal.h).
struct SortLess {
    uint8_t less;
    uint8_t known;
};
SortLess sortLess(value::Value a, value::Value b);

// Orders index[0..count) by the keys through Python's sorted() (ties in input order, reverse
// kept stable as Python keeps it). True, or false with the failure recorded (Python's
// TypeError of unorderable keys).
[[nodiscard]] bool pythonsOrder(Ctx* ctx, int32_t site, const value::Value* keys,
                                uint64_t count, bool reverse, uint64_t* index);

}  // namespace wuna::helpers
