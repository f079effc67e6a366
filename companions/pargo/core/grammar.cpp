// Lookups in a compiled grammar, and its end.
#include "core/grammar.h"

#include <cstring>

namespace pargo::grammar {

int32_t findRule(const Grammar& g, const char* name, size_t len) {
    for (size_t i = 0; i < g.rules.size(); i++) {
        const std::string& n = g.rules[i].name;
        if (n.size() == len && std::memcmp(n.data(), name, len) == 0) return int32_t(i);
    }
    return -1;
}

void release(Grammar* g) { delete g; }

}  // namespace pargo::grammar
