// The parse-tree index (see tree/index.h): building it from the capsules' records and reading
// it.
//
// No Python here: it reads only the records' memory, through their layout headers. build checks the
// tree capsule first (node array present, every subtree inside the array, computed in 64 bits), so
// that every later walk stays inside the array; then fills, in order, parents, the node-to-symbol
// map, line starts, the captured set and the hoist map. The last two are open-addressing tables
// sized once from what was collected, so lookups during runs (one per block or call) are a
// probe or two.
#include "host/tree/index.h"

#include <cstdlib>
#include <cstring>

#include "host/support/check.h"

namespace wuna::ptree {

namespace {

using arena::freeArena;
using arena::newArena;
using arena::takeArray;

uint32_t hashIndex(uint32_t key) { return (key * 0x9e3779b1u) ^ (key >> 15); }

// Slots for count keys at most half full: a power of two.
// Slots of an open-addressed table for count entries (a power of two, at most half full);
// 0 when count is past what a 32-bit table holds (more than 2^30), which callers take as out
// of memory.
uint32_t slotsFor(uint32_t count) {
    if (count > (1u << 30)) return 0;
    uint32_t slots = 8;
    while (slots < count * 2u) slots *= 2;
    // A free slot always remains, so that the probe loops below end.
    WUNA_CHECK(count < slots && (slots & (slots - 1)) == 0);
    return slots;
}

// What the index keeps of a symbol record.
Symbol readSymbol(const SymbolRecord& record) {
    Symbol symbol{};
    symbol.name = record.name;
    symbol.length = record.name ? record.nameLength : 0;
    symbol.declaring = record.declaringNode;
    symbol.scope = record.scopeNode;
    symbol.builtin = uint8_t((record.flags & nomos::layout::builtinFlag) != 0);
    return symbol;
}

// The references of a symbol record that lie inside the reference array.
struct References {
    const uint32_t* items = nullptr;
    uint64_t count = 0;
};

References referencesOf(const AnalysisCapsule* analysis, const SymbolRecord& record) {
    References refs;
    if (!analysis->references) return refs;
    uint32_t first = record.firstReference;
    if (first >= analysis->referenceTotal) return refs;
    uint64_t room = analysis->referenceTotal - first;
    refs.items = analysis->references + first;
    refs.count = record.referenceCount < room ? record.referenceCount : room;
    return refs;
}

// The nearest function-kind node strictly above node, or kNone.
uint32_t enclosingFunction(const Index* index, uint32_t node) {
    for (uint32_t p = index->parents[node]; p != kNone && p < index->count; p = index->parents[p])
        if (isFunctionNode(index, p)) return p;
    return kNone;
}

const char* checkTree(const TreeCapsule* tree) {
    if (!tree->nodes) return "the parser's tree has no node array";
    if (tree->nodeCount == 0) return "the parser's tree has no nodes";
    if (tree->text && tree->textLength >= kNone)
        return "the parser's tree has a text of 4 GiB or more";
    for (uint32_t i = 0; i < tree->nodeCount; i++)
        if (uint64_t(i) + tree->nodes[i].descendants >= tree->nodeCount)
            return "the parser's tree is malformed: a node's descendants run past its node array";
    return nullptr;
}

bool fillParents(Index* index) {
    uint32_t n = index->count;
    index->parents = takeArray<uint32_t>(index->arena, n);
    if (!index->parents) return false;
    for (uint32_t i = 0; i < n; i++) index->parents[i] = kNone;
    for (uint32_t i = 0; i < n; i++) {
        uint64_t last = uint64_t(i) + index->nodes[i].descendants;
        for (uint64_t j = uint64_t(i) + 1; j <= last;
             j += uint64_t(index->nodes[j].descendants) + 1)
            index->parents[j] = i;
    }
    return true;
}

bool fillSymbols(Index* index, const AnalysisCapsule* analysis) {
    uint32_t n = index->count;
    index->nodeSymbols = takeArray<uint32_t>(index->arena, n);
    if (!index->nodeSymbols) return false;
    for (uint32_t i = 0; i < n; i++) index->nodeSymbols[i] = kNone;
    if (!analysis || analysis->symbolCount == 0) return true;
    uint32_t m = analysis->symbolCount;
    index->symbols = takeArray<Symbol>(index->arena, m);
    index->scopes = takeArray<int32_t>(index->arena, m);
    if (!index->symbols || !index->scopes) return false;
    for (uint32_t k = 0; k < m; k++) {
        const SymbolRecord& record = analysis->symbols[k];
        Symbol symbol = readSymbol(record);
        index->symbols[k] = symbol;
        index->scopes[k] = -2;
        if (symbol.declaring != kNone && symbol.declaring < n)
            index->nodeSymbols[symbol.declaring] = k;
        References refs = referencesOf(analysis, record);
        for (uint64_t r = 0; r < refs.count; r++)
            if (refs.items[r] < n) index->nodeSymbols[refs.items[r]] = k;
    }
    index->symbolCount = m;
    return true;
}

bool fillLineStarts(Index* index) {
    const char* text = index->text;
    uint64_t length = index->textLength;
    uint32_t lines = 1;
    for (const char* p = text;
         p && (p = static_cast<const char*>(memchr(p, '\n', text + length - p))); p++)
        lines++;
    index->lineStarts = takeArray<uint32_t>(index->arena, lines);
    if (!index->lineStarts) return false;
    uint32_t at = 0;
    index->lineStarts[at++] = 0;
    for (uint64_t p = 0; p < length; p++)
        if (text[p] == '\n') index->lineStarts[at++] = uint32_t(p + 1);
    index->lineCount = lines;
    return true;
}

bool addCaptured(uint32_t* set, uint32_t mask, uint32_t node) {
    for (uint32_t s = hashIndex(node) & mask;; s = (s + 1) & mask) {
        if (set[s] == node) return false;
        if (set[s] == kNone) {
            set[s] = node;
            return true;
        }
    }
}

// A block scope is captured when a variable of it is named from inside another function
// than the one the block is in.
bool fillCaptured(Index* index, const AnalysisCapsule* analysis) {
    if (!analysis || !analysis->references || index->symbolCount == 0) return true;
    uint32_t n = index->count;
    // At most one captured scope per symbol.
    uint32_t slots = slotsFor(index->symbolCount);
    if (!slots) return false;
    uint32_t mask = slots - 1;
    uint32_t* set = takeArray<uint32_t>(index->arena, size_t(mask) + 1);
    if (!set) return false;
    for (uint32_t s = 0; s <= mask; s++) set[s] = kNone;
    index->captured = set;
    index->capturedMask = mask;
    for (uint32_t k = 0; k < index->symbolCount; k++) {
        uint32_t scope = index->symbols[k].scope;
        if (scope == 0 || scope >= n || isFunctionNode(index, scope) || isCaptured(index, scope))
            continue;
        uint32_t home = enclosingFunction(index, scope);
        References refs = referencesOf(analysis, analysis->symbols[k]);
        for (uint64_t r = 0; r < refs.count; r++) {
            uint32_t node = refs.items[r];
            if (node < n && enclosingFunction(index, node) != home) {
                addCaptured(set, mask, scope);
                break;
            }
        }
    }
    return true;
}

HoistSlot* hoistSlot(HoistSlot* slots, uint32_t mask, uint32_t scope, bool add) {
    for (uint32_t s = hashIndex(scope) & mask;; s = (s + 1) & mask) {
        if (slots[s].count && slots[s].scope == scope) return &slots[s];
        if (!slots[s].count) {
            if (!add) return nullptr;
            slots[s].scope = scope;
            return &slots[s];
        }
    }
}

// The scope a function definition's name is hoisted into, or kNone + 1 when it hoists nothing.
constexpr uint64_t kNoHoist = uint64_t(kNone) + 1;

uint64_t hoistScope(Index* index, uint32_t node) {
    if (!isFunctionNode(index, node)) return kNoHoist;
    // isFunctionNode answered from the kind's record, so the kind is inside the table.
    uint32_t kindIndex = kindOf(index->nodes[node]);
    WUNA_CHECK(kindIndex < index->functionKindCount);
    const host::FunctionKind& kind = index->functionKinds[kindIndex];
    if (!kind.nameLabel || !kind.hoist) return kNoHoist;
    int64_t name = childWithLabel(index->nodes, index->count, node, kind.nameLabel);
    if (name < 0 || index->nodeSymbols[name] == kNone) return kNoHoist;
    int32_t scope = symbolScope(index, index->nodeSymbols[name]);
    return scope < 0 ? kNone : uint32_t(scope);
}

bool fillHoisted(Index* index) {
    if (!index->functionKinds) return true;
    uint32_t n = index->count;
    uint32_t total = 0;
    for (uint32_t i = 0; i < n; i++)
        if (hoistScope(index, i) != kNoHoist) total++;
    if (!total) return true;
    uint32_t slots = slotsFor(total);
    if (!slots) return false;
    uint32_t mask = slots - 1;
    index->hoistSlots = takeArray<HoistSlot>(index->arena, size_t(mask) + 1);
    index->hoistNodes = takeArray<uint32_t>(index->arena, total);
    uint32_t* scopes = takeArray<uint32_t>(index->arena, total);
    if (!index->hoistSlots || !index->hoistNodes || !scopes) return false;
    index->hoistMask = mask;
    // Count per scope, give each scope its run of the node array, then fill in node order.
    uint32_t at = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint64_t scope = hoistScope(index, i);
        if (scope == kNoHoist) continue;
        scopes[at++] = uint32_t(scope);
        hoistSlot(index->hoistSlots, mask, uint32_t(scope), true)->count++;
    }
    // first serves as each run's cursor while filling, and is moved back after.
    uint32_t next = 0;
    for (uint32_t s = 0; s <= mask; s++) {
        HoistSlot& slot = index->hoistSlots[s];
        if (!slot.count) continue;
        slot.first = next;
        next += slot.count;
    }
    at = 0;
    for (uint32_t i = 0; i < n && at < total; i++) {
        if (hoistScope(index, i) == kNoHoist) continue;
        HoistSlot* slot = hoistSlot(index->hoistSlots, mask, scopes[at++], false);
        // The first pass added a slot for every scope it saw, and this pass sees the same.
        WUNA_CHECK(slot && slot->first < total);
        index->hoistNodes[slot->first++] = i;
    }
    for (uint32_t s = 0; s <= mask; s++) index->hoistSlots[s].first -= index->hoistSlots[s].count;
    return true;
}

// Refusing the records for what is wrong with them. Not a Python error: the caller turns
// the text into its own exception (raiseBuildFailure) or report.
Status refuse(Refusal* refusal, const char* why) {
    if (refusal) refusal->text = why;
    return Status::unsupported;
}

}  // namespace

Status build(const GrammarInfo* grammar, const host::FunctionKind* kinds, uint32_t kindCount,
             const TreeCapsule* tree, const AnalysisCapsule* analysis, Index** out,
             Refusal* refusal) {
    *out = nullptr;
    if (const char* why = checkTree(tree)) return refuse(refusal, why);
    if (analysis && analysis->symbolCount && !analysis->symbols)
        return refuse(refusal, "the rules' analysis has symbols but no symbol records");
    Index* index = static_cast<Index*>(calloc(1, sizeof(Index)));
    Arena* arena = newArena();
    if (!index || !arena) {
        free(index);
        freeArena(arena);
        return Status::outOfMemory;
    }
    index->arena = arena;
    index->grammar = grammar;
    index->nodes = tree->nodes;
    index->count = tree->nodeCount;
    index->text = tree->text ? tree->text : "";
    index->textLength = tree->text ? tree->textLength : 0;
    bool built = fillParents(index) && fillSymbols(index, analysis) && fillLineStarts(index);
    if (built && kinds && kindCount) {
        // A copy, so that the index stays readable whatever becomes of the Language's table.
        auto* copy = takeArray<host::FunctionKind>(arena, kindCount);
        if (copy) {
            memcpy(copy, kinds, sizeof(host::FunctionKind) * kindCount);
            index->functionKinds = copy;
            index->functionKindCount = kindCount;
        }
        built = copy != nullptr;
    }
    built = built && fillCaptured(index, analysis) && fillHoisted(index);
    if (!built) {
        freeIndex(index);
        return Status::outOfMemory;
    }
    *out = index;
    return Status::ok;
}

void freeIndex(Index* index) {
    if (!index) return;
    freeArena(index->arena);
    free(index);
}

bool isFunctionNode(const Index* index, uint32_t node) {
    if (node >= index->count || !index->functionKinds) return false;
    uint32_t kind = kindOf(index->nodes[node]);
    return kind < index->functionKindCount && index->functionKinds[kind].isFunction;
}

bool isCaptured(const Index* index, uint32_t node) {
    if (!index->captured || node == kNone) return false;
    uint32_t mask = index->capturedMask;
    for (uint32_t s = hashIndex(node) & mask;; s = (s + 1) & mask) {
        if (index->captured[s] == node) return true;
        if (index->captured[s] == kNone) return false;
    }
}

int32_t symbolScope(Index* index, uint32_t symbol) {
    if (symbol >= index->symbolCount) return -1;
    int32_t known = __atomic_load_n(&index->scopes[symbol], __ATOMIC_RELAXED);
    if (known != -2) return known;
    uint32_t s = index->symbols[symbol].scope;
    int32_t result = -1;
    if (s != kNone) {
        if (isCaptured(index, s)) {
            result = int32_t(s);
        } else {
            while (s < index->count && !isFunctionNode(index, s)) s = index->parents[s];
            result = s < index->count ? int32_t(s) : -1;
        }
    }
    __atomic_store_n(&index->scopes[symbol], result, __ATOMIC_RELAXED);
    return result;
}

int64_t childWithLabel(const NodeRecord* nodes, uint32_t count, uint32_t node, uint8_t label) {
    if (node >= count) return -1;
    uint64_t end = uint64_t(node) + nodes[node].descendants + 1;
    if (end > count) end = count;
    for (uint64_t j = uint64_t(node) + 1; j < end; j += uint64_t(nodes[j].descendants) + 1)
        if (labelByte(nodes[j]) == label) return int64_t(j);
    return -1;
}

const uint32_t* hoisted(const Index* index, int64_t scope, uint32_t* count) {
    *count = 0;
    if (!index->hoistSlots) return nullptr;
    uint32_t key = scope < 0 ? kNone : uint32_t(scope);
    const HoistSlot* slot = hoistSlot(index->hoistSlots, index->hoistMask, key, false);
    if (!slot) return nullptr;
    *count = slot->count;
    return index->hoistNodes + slot->first;
}

uint32_t lineOf(const Index* index, uint32_t offset) {
    // The number of line starts not greater than offset.
    uint32_t low = 0, high = index->lineCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (index->lineStarts[middle] <= offset)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

uint32_t lineStart(const Index* index, uint32_t line) {
    if (line == 0 || line > index->lineCount) return 0;
    return index->lineStarts[line - 1];
}

}  // namespace wuna::ptree
