// WUNA_TREE_CHECK(condition): an invariant the parse-tree code relies on and that no caller
// can break from outside (a hash table never full, a cache sized by the index it caches, a
// status with its reason). When one does not hold, the code is wrong and going on would read
// or write out of bounds, so the process stops at once with the file, line and condition on
// stderr. The checks stay in release builds, which the tests run: each is a comparison or two
// on a path that runs once per lookup or per build, never per node of a walk.
//
// No Python: the parse-tree index uses it too.
#pragma once
#include <cstdio>
#include <cstdlib>

#define WUNA_TREE_CHECK(condition)                                                         \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: wuna invariant broken: %s\n", __FILE__, __LINE__, \
                         #condition);                                                      \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)
