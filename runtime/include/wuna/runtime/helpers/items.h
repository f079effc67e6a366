// Items, ranges and slices for compiled code: wn_items, wn_range and wn_slice (declared by the
// helper table, table.h).
//
// wn_items turns an iterable into a list that compiled code walks by index (for loops over
// containers, list(), unpacking, extend); wn_range checks range()'s arguments and normalises
// them into three 64-bit numbers for a native counting loop; wn_slice is x[a:b:c] of strs,
// bytes, lists and tuples with Python's index rules. What they do not cover natively - other
// iterables, bounds that are not small ints, other containers - goes to Python, so results
// and errors are Python's.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wuna::helpers {

// What wn_range writes for a native counting loop.
struct RangeRecord {
    int64_t start;
    int64_t stop;
    int64_t step;
};
static_assert(sizeof(RangeRecord) == 24 && offsetof(RangeRecord, start) == 0 &&
              offsetof(RangeRecord, stop) == 8 && offsetof(RangeRecord, step) == 16);

// Python's slice bounds for a sequence of length n: the first index taken and the count
// taken (step is not 0 and above INT64_MIN). Cannot fail.
struct SliceSpan {
    int64_t start;
    int64_t count;
};
SliceSpan sliceSpan(int64_t length, bool hasStart, int64_t start, bool hasStop, int64_t stop,
                    int64_t step);

}  // namespace wuna::helpers
