// The parse machine: runs a compiled grammar over a text as a backtracking PEG interpreter.
// Nodes are appended to one growable array in post-order (children before their parent), so
// that @lift and @fold cost nothing: a lifted rule simply appends no node, a fold appends a
// node over everything made so far. Backtracking truncates the array. When the parse is done
// the array is turned into pre-order in one linear pass (a node's pre-order index is its
// subtree's first post-order index plus its depth). The machine keeps the farthest failure and
// what was expected there for error messages, and, when recovering, turns failed iterations of
// the repetitions of @recover rules into error nodes. It uses no Python and allocates with the
// C allocator, reporting exhaustion as a status.
//
// Two shortcuts make a first run fast: alternatives and iterations that cannot start with the
// next byte are passed over (predict.h), and rule results inside lookaheads are cached by
// position. Neither changes what matches, only which failures get recorded, so a run that
// meets any syntax error is done again without them, for exact messages and recovery.
//
// A rule called again where it ran before gives the result of its last run without running
// again (see "The memo" below): everything the run did is kept and done again, the nodes it
// made, where it ended, and the failures it recorded, so the memo changes no tree and no
// message, only the time, which it keeps linear for grammars that try a rule at the same place
// again and again (without it `A = B 'x' | B 'y' | B` over nested B is exponential).
//
// Recursion depth is bounded by fixed counts and by the thread's stack (stack.h); a long parse
// calls the caller's interrupt check now and then.
#include "core/engine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/grammar.h"
#include "core/stack.h"

namespace pargo::engine {
namespace {

using grammar::Expr;
using grammar::Op;
using tree::Node;

// Growable array of plain records on the C allocator.
template <class T>
struct PodVec {
    T* data = nullptr;
    size_t size = 0, cap = 0;
    bool push(const T& v) {
        if (size == cap && !grow(size + 1)) return false;
        data[size++] = v;
        return true;
    }
    bool grow(size_t need) {
        size_t c = cap ? cap * 2 : 256;
        while (c < need) c *= 2;
        T* d = static_cast<T*>(std::realloc(data, c * sizeof(T)));
        if (!d) return false;
        data = d;
        cap = c;
        return true;
    }
    // Appends count records from src (which must not point into this array).
    bool append(const T* src, size_t count) {
        if (size + count > cap && !grow(size + count)) return false;
        if (count) std::memcpy(data + size, src, count * sizeof(T));
        size += count;
        return true;
    }
    T* release() {
        T* d = data;
        data = nullptr;
        size = cap = 0;
        return d;
    }
    ~PodVec() { std::free(data); }
};

constexpr uint32_t noItem = 0xFFFFFFFF;
constexpr uint32_t tokenItem = 0x80000000;  // | rule index
constexpr uint32_t endItem = 0x7FFFFFFF;    // "end of input"

// The interrupt check runs once per this many expressions matched (a power of two), and only
// with this much stack left above the floor, since it may run Python code.
constexpr uint32_t stepsPerCheck = uint32_t(1) << 20;
constexpr size_t checkRoom = size_t(256) << 10;

// Bounds of the memo: the table has a line of slots (a cache line) per position for this many
// positions at most (positions further apart share lines; a small table is a fast one, and
// calls are tried again near where they ran), and the kept results are forgotten all at once
// when they would pass these counts.
constexpr uint32_t memoSlotsPerLine = 8;
constexpr uint32_t memoMaxLines = uint32_t(1) << 13;
constexpr uint32_t memoKeyBits = 15;  // memoKey: 12 bits of rule, 3 of context, plus one
constexpr size_t memoMaxResults = (size_t(1) << (32 - memoKeyBits)) - 1;
constexpr size_t memoMaxNodes = size_t(1) << 20;
constexpr size_t memoMaxItems = size_t(1) << 20;

struct Snap {
    uint32_t pos, lastEnd;
    size_t nodes, errors;
};

struct Machine {
    const grammar::Grammar& g;
    const unsigned char* t;
    uint32_t n;
    bool recover;
    uint32_t errorKind;
    bool predict;  // pass over what cannot start at the next byte (see predict.h)
    bool memoOn;   // keep the results of rules tried again at a position (see callMemo)
    const Interrupt* interrupt;

    uint32_t pos = 0;
    uint32_t lastEnd = 0;  // end of the last byte consumed by something other than skipping
    uint32_t reach = 0;    // farthest lastEnd in the current recovering attempt
    PodVec<Node> nodes{};
    PodVec<tree::ErrorRecord> errors{};

    // The farthest failure and what was expected there: expected[expBase, size) in the order
    // first met. seen[slot of an item] == expStamp marks an item already in that list, so that
    // adding one costs the same however many there are; a new list takes a new stamp instead of
    // clearing the marks.
    //
    // While the memo records a call, the record so far is set aside (in setAside) and the call's
    // own is recorded from nothing, from expBase on; the marks that the call's list overwrites
    // are logged, to be put back when it ends. The failure record as a whole is then the set
    // aside ones and the current one merged in order (wholeRecord).
    bool haveFail = false;
    uint32_t farthest = 0;
    PodVec<uint32_t> expected{};
    size_t expBase = 0;
    uint64_t expStamp = 1, stamps = 1;
    uint64_t* seen = nullptr;
    struct MarkUndo {
        size_t slot;
        uint64_t mark;
    };
    PodVec<MarkUndo> markLog{};
    struct SetAside {
        bool failed;
        uint32_t farthest;
        size_t base;  // its items run from here to the next one's base (or expBase)
        uint64_t stamp;
    };
    PodVec<SetAside> setAside{};
    PodVec<uint32_t> flat{};  // wholeRecord's items

    int quiet = 0;    // inside lookahead, tokens and skipping: failures are not recorded
    int lexical = 0;  // inside tokens and skipping: no skipping, no nodes
    int looking = 0;  // inside lookahead: rule results go through the lookahead cache (callLooking)
    uint32_t depth = 0;                         // rule calls
    uint32_t frames = 0;                        // expressions being matched, rule calls included
    uintptr_t stackFloor = stackroom::floor();  // nesting stops before the stack gets below this
    uint32_t steps = 0;                         // expressions matched, for the interrupt check
    bool fatal = false;  // nesting too deep, out of memory, or interrupted: stop everything
    bool oom = false;
    bool stopped = false;  // the interrupt check said stop
    bool deep = false;     // nesting too deep, at deepAt
    uint32_t deepAt = 0;
    bool recovered = false;   // an error was recorded, even one that backtracking dropped later
    uint64_t errorsMade = 0;  // errors recorded so far, dropped ones included
    uint32_t skipFrom = noItem, skipTo = 0;  // the last skip: from where to where
    struct MemoEntry;
    MemoEntry* memo = nullptr;

    // Line counting cache for error positions.
    uint32_t lcOffset = 0, lcLine = 1, lcLineStart = 0;

    ~Machine() {
        std::free(memo);
        std::free(seen);
        std::free(pack);
    }

    Snap save() const { return {pos, lastEnd, nodes.size, errors.size}; }
    // The first error recorded in a failed attempt and dropped with it by backtracking: the
    // recovering repetition around the attempt reports it (see repeat).
    tree::ErrorRecord dropped{};
    bool haveDropped = false;

    void restore(const Snap& s) {
        if (errors.size > s.errors && !haveDropped) {
            dropped = errors.data[s.errors];
            haveDropped = true;
        }
        pos = s.pos;
        lastEnd = s.lastEnd;
        nodes.size = s.nodes;
        errors.size = s.errors;
    }

    void fail(uint32_t item) {
        if (quiet) return;
        failAt(pos, item);
    }

    // Records that item (or nothing named, noItem) was expected at `at`.
    void failAt(uint32_t at, uint32_t item) {
        if (!haveFail || at > farthest) {
            haveFail = true;
            farthest = at;
            clearExpected();
        }
        if (at != farthest || item == noItem) return;
        addExpected(item);
    }

    void clearExpected() {
        expected.size = expBase;
        expStamp = ++stamps;
    }

    // Literals first, then tokens by rule, then the end of input.
    size_t slotOf(uint32_t item) const {
        size_t literals = g.literals.size();
        if (item == endItem) return literals + g.rules.size();
        if (item & tokenItem) return literals + (item & ~tokenItem);
        return item;
    }

    void addExpected(uint32_t item) {
        if (!seen) {
            seen = static_cast<uint64_t*>(
                std::calloc(g.literals.size() + g.rules.size() + 1, sizeof(uint64_t)));
            if (!seen) {
                outOfMemory();
                return;
            }
        }
        size_t slot = slotOf(item);
        uint64_t& mark = seen[slot];
        if (mark == expStamp) return;
        if (!expected.push(item) || (setAside.size && !markLog.push({slot, mark}))) {
            outOfMemory();
            return;
        }
        mark = expStamp;
    }

    void undoMarks(size_t to) {
        while (markLog.size > to) {
            const MarkUndo& u = markLog.data[--markLog.size];
            seen[u.slot] = u.mark;
        }
    }

    struct WholeRecord {
        bool failed;
        uint32_t farthest;
        const uint32_t* items;
        size_t count;
    };

    // The failure record as a whole, for error messages: the current one, merged after the
    // ones the memo set aside while it records calls.
    WholeRecord wholeRecord() {
        if (setAside.size == 0)
            return {haveFail, farthest, expected.data + expBase, expected.size - expBase};
        bool failed = false;
        uint32_t far = 0;
        uint64_t stamp = 0;
        size_t logBase = markLog.size;
        flat.size = 0;
        for (size_t k = 0; k <= setAside.size && !fatal; k++) {
            bool f = haveFail;
            uint32_t at = farthest;
            size_t from = expBase, to = expected.size;
            if (k < setAside.size) {
                const SetAside& a = setAside.data[k];
                f = a.failed;
                at = a.farthest;
                from = a.base;
                to = k + 1 < setAside.size ? setAside.data[k + 1].base : expBase;
            }
            if (!f) continue;
            if (!failed || at > far) {
                failed = true;
                far = at;
                flat.size = 0;
                stamp = ++stamps;
            }
            if (at != far) continue;
            for (size_t i = from; i < to; i++) {
                size_t slot = slotOf(expected.data[i]);
                if (seen[slot] == stamp) continue;
                if (!flat.push(expected.data[i]) || !markLog.push({slot, seen[slot]})) {
                    outOfMemory();
                    break;
                }
                seen[slot] = stamp;
            }
        }
        undoMarks(logBase);
        return {failed, far, flat.data, flat.size};
    }

    void outOfMemory() {
        oom = true;
        fatal = true;
    }

    void skip() {
        if (g.skipRule < 0 || lexical) return;
        if (pos == skipFrom) {
            pos = skipTo;
            return;
        }
        uint32_t from = pos, keepEnd = lastEnd, keepReach = reach;
        size_t keepNodes = nodes.size, keepErrors = errors.size;
        lexical++;
        quiet++;
        while (pos < n) {
            uint32_t before = pos;
            if (!match(g.rules[g.skipRule].body) || pos == before) {
                pos = before;
                break;
            }
        }
        quiet--;
        lexical--;
        lastEnd = keepEnd;  // skipped bytes are neither part of a node nor progress
        reach = keepReach;
        nodes.size = keepNodes;
        errors.size = keepErrors;
        skipFrom = from;
        skipTo = pos;
    }

    // Whether e can start here. Passing over an expression that cannot also passes over the
    // failures it would record, so error messages come from a parse without prediction.
    bool viable(uint32_t e) {
        if (!predict) return true;
        const predict::Start& st = lexical ? g.startLexical[e] : g.startSyntactic[e];
        if (st.transparent) return true;
        if (pos < n && st.raw.has(t[pos])) return true;
        if (st.skipped.empty()) return false;
        uint32_t keep = pos;
        skip();
        uint32_t after = pos;
        pos = keep;
        return after < n && st.skipped.has(t[after]);
    }

    // One UTF-8 code point at pos: its value and length; a byte that does not start a valid
    // sequence counts as one code point of its own (U+DC80..U+DCFF, never a real character).
    uint32_t codePoint(uint32_t* len) const {
        unsigned char c = t[pos];
        if (c < 0x80) {
            *len = 1;
            return c;
        }
        int k = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (k && pos + k <= n) {
            uint32_t v = k == 2 ? (c & 0x1F) : k == 3 ? (c & 0x0F) : (c & 0x07);
            bool ok = true;
            for (int i = 1; i < k; i++) {
                unsigned char d = t[pos + i];
                if ((d & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                v = (v << 6) | (d & 0x3F);
            }
            if (ok) {
                *len = k;
                return v;
            }
        }
        *len = 1;
        return 0xDC00 + c;
    }

    void consumed() {
        lastEnd = pos;
        if (pos > reach) reach = pos;
    }

    static bool wordByte(unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    }

    bool literal(uint32_t index) {
        skip();
        const std::string& s = g.literals[index];
        size_t len = s.size();
        if (n - pos >= len && (len == 0 || t[pos] == (unsigned char)s[0]) &&
            std::memcmp(t + pos, s.data(), len) == 0 &&
            !(g.literalWordEnd[index] && pos + len < n && wordByte(t[pos + len]))) {
            pos += uint32_t(len);
            consumed();
            return true;
        }
        fail(index);
        return false;
    }

    // The top-level nodes of nodes[from, size): walk back from the last one.
    template <class F>
    void eachTop(size_t from, F f) {
        size_t j = nodes.size;
        while (j > from) {
            j--;
            f(nodes.data[j]);
            j -= nodes.data[j].descendants;
        }
    }

    size_t countTop(size_t from, size_t* last) {
        size_t c = 0, j = nodes.size;
        while (j > from) {
            j--;
            if (c == 0) *last = j;
            c++;
            j -= nodes.data[j].descendants;
        }
        return c;
    }

    bool pushNode(uint32_t start, uint32_t end, size_t from, uint32_t kind) {
        Node nd{start, end, uint32_t(nodes.size - from), tree::makeWord(kind, 0)};
        if (!nodes.push(nd)) {
            outOfMemory();
            return false;
        }
        return true;
    }

    uint32_t endFrom(uint32_t start) const { return lastEnd < start ? start : lastEnd; }

    bool call(uint32_t r) {
        if (fatal) return false;
        if (++depth > maxDepth) {
            if (!fatal) nestingTooDeep();
            return false;
        }
        bool ok;
        if (looking && predict) {
            ok = callLooking(r);
        } else {
            ok = callMemo(r);
        }
        depth--;
        return ok;
    }

    // Inside a lookahead nothing a rule makes is kept, only whether it matched and where it
    // ended, so those results are kept in a small cache by rule and position: grammars that
    // look ahead over a construct before parsing it (a call statement, an assignment target)
    // then pay for the look once.
    struct MemoEntry {
        uint32_t key = noItem;  // rule << 1 | lexical
        uint32_t pos = 0;
        uint32_t end = 0;      // noItem: failed
        uint32_t lastEnd = 0;  // noItem: the rule consumed nothing
    };
    static constexpr size_t memoSize = 4096;

    bool callLooking(uint32_t r) {
        if (!memo) {
            memo = static_cast<MemoEntry*>(std::malloc(memoSize * sizeof(MemoEntry)));
            if (!memo) return callRule(r);
            for (size_t i = 0; i < memoSize; i++) memo[i] = MemoEntry();
        }
        uint32_t key = r << 1 | (lexical ? 1 : 0);
        MemoEntry& e = memo[(pos * 0x9E3779B1u + key * 0x85EBCA77u) >> 20 & (memoSize - 1)];
        if (e.key == key && e.pos == pos) {
            if (e.end == noItem) return false;
            pos = e.end;
            if (e.lastEnd != noItem) lastEnd = e.lastEnd;
            return true;
        }
        uint32_t from = pos;
        bool ok = callMemo(r);
        if (!fatal) e = {key, from, ok ? pos : noItem, lastEnd > from ? lastEnd : noItem};
        return ok;
    }

    void nestingTooDeep() {
        fatal = true;
        haveFail = true;
        farthest = pos;
        clearExpected();
        deepAt = pos;
        deep = true;
    }

    // ---- The memo ----
    //
    // A rule call is marked in a table by (rule, position, context) as it starts. Called there
    // again, it runs once more while everything it does is recorded as its result, and every
    // later call there gives that result without running: only calls tried again pay for
    // recording. A result holds where the call ended and the last byte it consumed, the nodes
    // it made (kept as made: their descendant counts are relative, and callers relabel them
    // after), how far it reached (for recovery's "got past its first token"), and its own
    // farthest failure with what was expected there; giving the result does all of that again.
    //
    // What a call does depends only on its position and context: whether failures are recorded
    // (quiet), whether it is inside a token (lexical), and whether the last byte consumed before
    // it ends right at it (node ends depend on nothing else before the call). A call that
    // records errors (recovering) is the exception: it reads and resets the whole failure
    // record, and leaves errors behind, so its result is not kept. The table has a line of
    // slots per position, and a call two slots of the line chosen by its key: it takes one that
    // holds no call at its position if it can, else its first; losing its slot only costs the
    // call that was there a run.
    struct PackSlot {
        uint32_t pos;
        uint32_t word;  // the memoKey (0: empty), and above it 0 (called once here) or 1 + the
                        // result's index
        uint32_t key() const { return word & ((uint32_t(1) << memoKeyBits) - 1); }
        uint32_t result() const { return word >> memoKeyBits; }
        void set(uint32_t at, uint32_t key, uint32_t result) {
            pos = at;
            word = key | result << memoKeyBits;
        }
    };
    static_assert(sizeof(PackSlot) * memoSlotsPerLine == 64);
    struct PackResult {
        bool ok;
        bool failed;       // failures were recorded: at failAt, items[items, items + itemCount)
        uint32_t end;      // pos after the call
        uint32_t lastEnd;  // lastEnd after the call; noItem: left as it was
        uint32_t reach;    // the farthest byte consumed, for reach
        uint32_t failAt;
        uint32_t items, itemCount;
        uint32_t nodes, nodeCount;  // of a call that matched, in nodePool
    };
    PackSlot* pack = nullptr;
    uint32_t packLines = 0;  // one line per position (modulo the count)
    PodVec<PackResult> results{};
    PodVec<uint32_t> itemPool{};
    PodVec<Node> nodePool{};

    static_assert(grammar::maxRules << 3 < uint32_t(1) << memoKeyBits);
    uint32_t memoKey(uint32_t r) const {
        uint32_t context = (lexical ? 4 : 0) | (quiet ? 2 : 0) | (lastEnd == pos ? 1 : 0);
        return (r << 3 | context) + 1;
    }

    // The slot of (at, key), or null with *free the slot to take for it.
    PackSlot* findSlot(uint32_t at, uint32_t key, PackSlot** free) {
        PackSlot* line = pack + size_t(at & (packLines - 1)) * memoSlotsPerLine;
        uint32_t h = key * 0x9E3779B1u;
        PackSlot* first = &line[h >> 29];
        PackSlot* second = &line[(h >> 26) & 7];
        if (first->pos == at && first->key() == key) return first;
        if (second->pos == at && second->key() == key) return second;
        // The first of the two unless it holds a call at this position and the second does not.
        *free = first->word != 0 && first->pos == at && (second->word == 0 || second->pos != at)
                    ? second
                    : first;
        return nullptr;
    }

    bool makePack() {
        uint32_t lines = 16;
        while (lines < memoMaxLines && lines <= n) lines <<= 1;
        pack =
            static_cast<PackSlot*>(std::calloc(size_t(lines) * memoSlotsPerLine, sizeof(PackSlot)));
        if (!pack) return false;
        packLines = lines;
        return true;
    }

    // Forgets every kept result (the memory bound): later calls start over.
    void forgetResults() {
        std::memset(pack, 0, size_t(packLines) * memoSlotsPerLine * sizeof(PackSlot));
        results.size = 0;
        itemPool.size = 0;
        nodePool.size = 0;
    }

    bool callMemo(uint32_t r) {
        // A last byte consumed past pos happens only between a failed token and the restore
        // that follows it; such a call is not worth a context of its own.
        if (!memoOn || lastEnd > pos) return callRule(r);
        if (!pack && !makePack()) return callRule(r);
        uint32_t key = memoKey(r);
        PackSlot* free = nullptr;
        PackSlot* slot = findSlot(pos, key, &free);
        if (!slot) {
            free->set(pos, key, 0);
            return callRule(r);
        }
        return slot->result() ? replay(results.data[slot->result() - 1]) : record(r, key);
    }

    // Out of line, like record: every rule call goes through callMemo, which stays small (on
    // the stack too) for the first call, the common one.
    [[gnu::noinline]] bool replay(const PackResult& res) {
        pos = res.end;
        if (res.lastEnd != noItem) lastEnd = res.lastEnd;
        if (res.ok && !nodes.append(nodePool.data + res.nodes, res.nodeCount)) {
            outOfMemory();
            return false;
        }
        if (res.reach > reach) reach = res.reach;
        mergeFailures(res.failed, res.failAt, itemPool.data + res.items, res.itemCount);
        return res.ok;
    }

    // Adds a call's own failure record to the current one, as if its failures had been
    // recorded here one by one.
    void mergeFailures(bool failed, uint32_t at, const uint32_t* items, uint32_t count) {
        if (!failed) return;
        failAt(at, noItem);
        if (at != farthest) return;
        for (uint32_t i = 0; i < count && !fatal; i++) addExpected(items[i]);
    }

    // Runs rule r as a call tried again at this position, keeping its result.
    [[gnu::noinline]] bool record(uint32_t r, uint32_t key) {
        uint32_t from = pos, prior = lastEnd, outerReach = reach;
        size_t nodesFrom = nodes.size;
        uint64_t errorsBefore = errorsMade;
        // The current failure record is set aside, so that the call's own is recorded from nothing.
        size_t logBase = markLog.size;
        if (!setAside.push({haveFail, farthest, expBase, expStamp})) {
            outOfMemory();
            return false;
        }
        haveFail = false;
        expBase = expected.size;
        expStamp = ++stamps;
        reach = 0;  // what the call reaches, whatever was reached before it

        bool ok = callRule(r);

        undoMarks(logBase);
        const SetAside outer = setAside.data[--setAside.size];
        uint32_t ownReach = reach;
        bool ownFailed = haveFail;
        uint32_t ownFarthest = farthest;
        size_t ownBase = expBase;
        uint32_t ownCount = uint32_t(expected.size - ownBase);
        reach = ownReach > outerReach ? ownReach : outerReach;
        haveFail = outer.failed;
        farthest = outer.farthest;
        expBase = outer.base;
        expStamp = outer.stamp;
        if (fatal) {
            expected.size = ownBase;
            return false;
        }
        if (errorsMade != errorsBefore) {
            // Recording an error reset the whole failure record (see keepError): the call's own
            // record is then the whole of it. Such a call is not kept.
            std::memmove(expected.data + expBase, expected.data + ownBase,
                         ownCount * sizeof(uint32_t));
            expected.size = expBase + ownCount;
            haveFail = ownFailed;
            farthest = ownFarthest;
            expStamp = ++stamps;
            for (size_t i = expBase; i < expected.size; i++) {
                size_t slot = slotOf(expected.data[i]);
                if (setAside.size && !markLog.push({slot, seen[slot]})) outOfMemory();
                seen[slot] = expStamp;
            }
            return ok;
        }
        uint32_t nodeCount = ok ? uint32_t(nodes.size - nodesFrom) : 0;
        bool keep = nodeCount <= memoMaxNodes && ownCount <= memoMaxItems;
        if (keep && (results.size >= memoMaxResults || nodePool.size + nodeCount > memoMaxNodes ||
                     itemPool.size + ownCount > memoMaxItems))
            forgetResults();
        // The call's own expected items go to the pool (where a kept result needs them), then
        // back into the current record.
        uint32_t itemsAt = uint32_t(itemPool.size);
        if (!itemPool.append(expected.data + ownBase, ownCount)) {
            outOfMemory();
            return false;
        }
        expected.size = ownBase;
        mergeFailures(ownFailed, ownFarthest, itemPool.data + itemsAt, ownCount);
        if (fatal) return false;
        if (!keep) {
            itemPool.size = itemsAt;
            return ok;
        }
        uint32_t nodesAt = uint32_t(nodePool.size);
        PackResult res{ok,          ownFailed, pos,      noItem,  ownReach,
                       ownFarthest, itemsAt,   ownCount, nodesAt, nodeCount};
        // Before the call the last byte consumed ended at or before from; after it, lastEnd is
        // either that (the call consumed nothing it kept) or a byte at or past from.
        if (prior == from || lastEnd != prior) res.lastEnd = lastEnd;
        if (!nodePool.append(nodes.data + nodesFrom, nodeCount) || !results.push(res)) {
            outOfMemory();
            return false;
        }
        // Calls made meanwhile may have moved this call's mark.
        PackSlot* free = nullptr;
        PackSlot* slot = findSlot(from, key, &free);
        (slot ? slot : free)->set(from, key, uint32_t(results.size));
        return ok;
    }

    bool callRule(uint32_t r) {
        const grammar::Rule& rule = g.rules[r];
        if (lexical || (rule.flags & grammar::Skip)) return match(rule.body);
        if (rule.flags & grammar::Token) {
            skip();
            uint32_t start = pos;
            uint32_t keepReach = reach;
            lexical++;
            quiet++;
            bool ok = match(rule.body);
            quiet--;
            lexical--;
            if (!ok) {
                pos = start;
                reach = keepReach;
                fail(tokenItem | r);
                return false;
            }
            if (!(rule.flags & grammar::Silent)) return pushNode(start, pos, nodes.size, r);
            return true;
        }
        if (rule.flags & grammar::Silent) return match(rule.body);
        skip();
        uint32_t start = pos;
        size_t from = nodes.size;
        if (rule.flags & grammar::Fold) return fold(r, rule, start, from);
        if (!match(rule.body)) return false;
        if (rule.flags & grammar::Lift) {
            size_t last;
            if (countTop(from, &last) == 1) {
                nodes.data[last].word = tree::withLabel(nodes.data[last].word, 0);
                return true;
            }
        }
        return pushNode(start, endFrom(start), from, r);
    }

    bool fold(uint32_t r, const grammar::Rule& rule, uint32_t start, size_t from) {
        const Expr& body = g.exprs[rule.body];
        for (uint32_t k = 0; k + 1 < body.b; k++)
            if (!match(g.kids[body.a + k])) return false;
        const Expr& rest = g.exprs[g.kids[body.a + body.b - 1]];
        size_t last = 0;
        size_t top = countTop(from, &last);
        bool folded = false;
        while (!fatal && viable(rest.a)) {
            Snap s = save();
            if (!match(rest.a)) {
                restore(s);
                break;
            }
            if (pos == s.pos) {
                restore(s);
                break;
            }
            if (top == 1) {
                uint32_t& w = nodes.data[last].word;
                w = tree::withLabel(w, rule.foldLabel);
            }
            if (!pushNode(start, endFrom(start), from, r)) return false;
            last = nodes.size - 1;
            top = 1;
            folded = true;
        }
        if (fatal) return false;
        if (folded) return true;
        if (top == 1) {
            nodes.data[last].word = tree::withLabel(nodes.data[last].word, 0);
            return true;
        }
        return pushNode(start, endFrom(start), from, r);
    }

    void lineOf(uint32_t offset, uint32_t* line, uint32_t* column) {
        if (offset < lcOffset) {
            lcOffset = 0;
            lcLine = 1;
            lcLineStart = 0;
        }
        for (uint32_t i = lcOffset; i < offset && i < n; i++)
            if (t[i] == '\n') {
                lcLine++;
                lcLineStart = i + 1;
            }
        lcOffset = offset;
        *line = lcLine;
        *column = offset - lcLineStart + 1;
    }

    // The message for the farthest failure: "expected A, B or C", or "syntax error".
    void message(char* out, size_t cap) {
        if (deep) {
            std::snprintf(out, cap, "nesting too deep");
            return;
        }
        WholeRecord whole = wholeRecord();
        size_t used = 0;
        auto put = [&](const char* s, size_t len) {
            for (size_t i = 0; i < len && used + 1 < cap; i++) out[used++] = s[i];
        };
        if (!whole.failed || whole.count == 0) {
            put("syntax error", 12);
        } else {
            put("expected ", 9);
            // Once the message is full the rest cannot show: a choice of thousands of literals
            // costs no more than a short one.
            for (size_t i = 0; i < whole.count && used + 1 < cap; i++) {
                if (i > 0) put(i + 1 == whole.count ? " or " : ", ", i + 1 == whole.count ? 4 : 2);
                uint32_t item = whole.items[i];
                if (item == endItem) {
                    put("end of input", 12);
                } else if (item & tokenItem) {
                    const std::string& name = g.rules[item & ~tokenItem].name;
                    put(name.data(), name.size());
                } else {
                    const std::string& lit = g.literals[item];
                    bool dq = lit.find('\'') != std::string::npos;
                    put(dq ? "\"" : "'", 1);
                    for (unsigned char c : lit) {
                        char esc[5];
                        if (c == '\n')
                            put("\\n", 2);
                        else if (c == '\t')
                            put("\\t", 2);
                        else if (c == '\r')
                            put("\\r", 2);
                        else if (c == '\\')
                            put("\\\\", 2);
                        else if (c < 0x20)
                            put(esc, std::snprintf(esc, sizeof esc, "\\x%02x", c));
                        else
                            put(reinterpret_cast<const char*>(&c), 1);
                    }
                    put(dq ? "\"" : "'", 1);
                }
            }
        }
        out[used] = 0;
    }

    void fillError(tree::ErrorRecord* e, uint32_t offset) {
        std::memset(e, 0, sizeof *e);
        e->offset = offset;
        lineOf(offset, &e->line, &e->column);
        message(e->message, sizeof e->message);
    }

    uint32_t failureOffset(uint32_t floor) {
        WholeRecord whole = wholeRecord();
        return whole.failed && whole.farthest > floor ? whole.farthest : floor;
    }

    bool recordError(uint32_t offset) {
        tree::ErrorRecord e;
        fillError(&e, offset);
        return keepError(e);
    }

    bool keepError(const tree::ErrorRecord& e) {
        recovered = true;
        errorsMade++;
        if (!errors.push(e)) {
            outOfMemory();
            return false;
        }
        // What was expected before an error recovered from does not explain later failures.
        haveFail = false;
        clearExpected();
        for (size_t k = 0; k < setAside.size; k++) setAside.data[k].failed = false;
        return true;
    }

    // Past the end of the line holding `at` (the newline included), at least one code point
    // past `start`, never beyond the text.
    uint32_t lineEnd(uint32_t start, uint32_t at) {
        uint32_t e = at;
        while (e < n && t[e] != '\n') e++;
        if (e < n) e++;
        if (e <= start) {
            uint32_t save = pos, len;
            pos = start;
            codePoint(&len);
            pos = save;
            e = start + len;
        }
        return e > n ? n : e;
    }

    bool repeat(const Expr& x, uint32_t min) {
        uint32_t count = 0;
        bool recovering = recover && (x.flags & grammar::exprRecovers);
        while (!fatal) {
            if (!viable(x.a)) break;
            Snap s = save();
            uint32_t outerReach = reach;
            reach = pos;
            bool outerDropped = recovering && haveDropped;
            tree::ErrorRecord outerRecord;
            if (outerDropped) outerRecord = dropped;
            if (recovering) haveDropped = false;
            bool ok = match(x.a);
            bool progressed = reach > s.pos;
            reach = reach > outerReach ? reach : outerReach;
            if (recovering && (ok || !progressed || s.pos >= n)) {
                haveDropped = outerDropped || haveDropped;
                if (outerDropped) dropped = outerRecord;
            }
            if (ok) {
                count++;
                if (pos == s.pos) break;  // an empty match would repeat forever
                continue;
            }
            if (fatal) return false;
            if (recovering && progressed && s.pos < n) {
                // An error recovered from inside the failed attempt came first: it is the one to
                // report, not where the attempt got to after it (the end of the text, when its
                // error node ran over the token that closed its block).
                bool inner = errors.size > s.errors || haveDropped;
                tree::ErrorRecord first;
                if (inner) first = errors.size > s.errors ? errors.data[s.errors] : dropped;
                uint32_t offset = inner ? first.offset : failureOffset(s.pos);
                restore(s);
                haveDropped = outerDropped;
                if (outerDropped) dropped = outerRecord;
                skip();
                uint32_t start = pos < n ? pos : s.pos;
                if (inner ? !keepError(first) : !recordError(offset)) return false;
                uint32_t end = lineEnd(start, offset);
                if (!pushNode(start, end, nodes.size, errorKind)) return false;
                pos = end;
                consumed();
                count++;
                continue;
            }
            restore(s);
            break;
        }
        if (fatal) return false;
        return count >= min;
    }

    bool match(uint32_t e) {
        if (fatal) return false;
        if (++frames > maxFrames || stackroom::low(stackFloor)) {
            nestingTooDeep();
            frames--;
            return false;
        }
        if ((++steps & (stepsPerCheck - 1)) == 0 && interrupt &&
            !stackroom::low(stackFloor, checkRoom) && interrupt->stop(interrupt->context)) {
            stopped = true;
            fatal = true;
            frames--;
            return false;
        }
        bool ok = step(e);
        frames--;
        return ok;
    }

    bool step(uint32_t e) {
        const Expr& x = g.exprs[e];
        switch (x.op) {
        case Op::Seq:
            for (uint32_t k = 0; k < x.b; k++)
                if (!match(g.kids[x.a + k])) return false;
            return true;
        case Op::Choice: {
            Snap s = save();
            for (uint32_t k = 0; k < x.b; k++) {
                if (!viable(g.kids[x.a + k])) continue;
                if (match(g.kids[x.a + k])) return true;
                if (fatal) return false;
                restore(s);
            }
            return false;
        }
        case Op::Star: return repeat(x, 0);
        case Op::Plus: return repeat(x, 1);
        case Op::Opt: {
            if (!viable(x.a)) return true;
            Snap s = save();
            if (!match(x.a)) {
                if (fatal) return false;
                restore(s);
            }
            return true;
        }
        case Op::And:
        case Op::Not: {
            Snap s = save();
            uint32_t keepReach = reach;
            quiet++;
            looking++;
            bool ok = match(x.a);
            looking--;
            quiet--;
            restore(s);
            reach = keepReach;
            if (fatal) return false;
            if (ok != (x.op == Op::And)) {
                fail(noItem);
                return false;
            }
            return true;
        }
        case Op::Lit: return literal(x.a);
        case Op::Class:
        case Op::Any: {
            if (pos < n) {
                uint32_t len;
                uint32_t cp = codePoint(&len);
                if (x.op == Op::Any || g.classes[x.a].has(cp)) {
                    pos += len;
                    consumed();
                    return true;
                }
            }
            fail(noItem);
            return false;
        }
        case Op::Ref: return call(x.a);
        case Op::Label: {
            size_t from = nodes.size;
            if (!match(x.a)) return false;
            uint32_t errorWord = tree::makeWord(errorKind, 0);
            eachTop(from, [&](Node& nd) {
                if (nd.word != errorWord) nd.word = tree::withLabel(nd.word, x.b);
            });
            return true;
        }
        }
        return false;
    }

    // Post-order to pre-order: a node's pre-order index is the post-order index where its
    // subtree starts plus its depth. A stack of open ancestors gives the depth.
    Node* toPreorder() {
        size_t count = nodes.size;
        Node* out = static_cast<Node*>(std::malloc((count ? count : 1) * sizeof(Node)));
        size_t* stack = static_cast<size_t*>(std::malloc((count ? count : 1) * sizeof(size_t)));
        if (!out || !stack) {
            std::free(out);
            std::free(stack);
            return nullptr;
        }
        size_t depthNow = 0;
        for (size_t j = count; j-- > 0;) {
            const Node& nd = nodes.data[j];
            // Leave every ancestor whose subtree starts after j.
            while (depthNow > 0) {
                size_t a = stack[depthNow - 1];
                if (a - nodes.data[a].descendants <= j) break;
                depthNow--;
            }
            out[j - nd.descendants + depthNow] = nd;
            stack[depthNow++] = j;
        }
        std::free(stack);
        return out;
    }
};

}  // namespace

namespace {

// One run of the machine from a start rule. *clean tells whether it met no syntax error; only
// then may a run with prediction stand, since prediction changes what failures are recorded.
int run(const grammar::Grammar& g, const char* text, uint32_t len, uint32_t rule, uint32_t flags,
        bool predict, const Interrupt* interrupt, tree::TreeRecord* out, tree::ErrorRecord* err,
        bool* clean) {
    static const unsigned char empty[1] = {0};
    Machine m{g,
              text ? reinterpret_cast<const unsigned char*>(text) : empty,
              len,
              (flags & tree::recoverFlag) != 0,
              uint32_t(g.rules.size()),
              predict,
              !(flags & noMemo),
              interrupt};
    bool ok = m.call(rule);
    if (m.oom) return tree::outOfMemory;
    if (m.stopped) return interrupted;
    bool complete = false;
    if (ok) {
        m.skip();
        complete = m.pos >= m.n;
        if (!complete) m.fail(endItem);
    }
    if (m.deep && m.recover) ok = false;
    *clean = ok && complete && !m.recovered && !m.deep;
    if (predict && !*clean) return tree::syntaxError;
    if (!m.recover) {
        if (!ok || !complete) {
            m.fillError(err, m.deep ? m.deepAt : m.failureOffset(m.pos));
            return tree::syntaxError;
        }
    }
    if (!ok) {
        // A start rule that fails outright: one error node over the whole text.
        m.nodes.size = 0;
        m.errors.size = 0;
        uint32_t offset = m.deep ? m.deepAt : m.failureOffset(0);
        if (!m.recordError(offset) || !m.pushNode(0, m.n, 0, m.errorKind)) return tree::outOfMemory;
    } else {
        size_t last;
        size_t roots = m.countTop(0, &last);
        if (roots != 1) return tree::noNodes;
        if (!complete) {
            // The rest of the text becomes an error node, the root's last child.
            uint32_t offset = m.failureOffset(m.pos);
            uint32_t from = m.pos;
            if (!m.recordError(offset)) return tree::outOfMemory;
            Node root = m.nodes.data[last];
            m.nodes.size--;
            if (!m.pushNode(from, m.n, m.nodes.size, m.errorKind)) return tree::outOfMemory;
            root.descendants++;
            if (root.end < m.n) root.end = m.n;
            if (!m.nodes.push(root)) return tree::outOfMemory;
        }
    }
    Node* pre = m.toPreorder();
    if (!pre) return tree::outOfMemory;
    out->abi = layout::treeAbi;
    out->nodeCount = uint32_t(m.nodes.size);
    out->nodes = pre;
    out->text = text;
    out->textLength = len;
    out->errorCount = m.errors.size;
    out->errors = m.errors.release();
    return tree::parsed;
}

}  // namespace

int parse(const grammar::Grammar* gp, const char* text, uint64_t len, const char* start,
          uint32_t flags, tree::TreeRecord* out, tree::ErrorRecord* err,
          const Interrupt* interrupt) {
    if (out) std::memset(out, 0, sizeof *out);
    if (!gp || !out || !err) return tree::outOfMemory;
    const grammar::Grammar& g = *gp;
    int32_t rule = 0;
    if (start) {
        rule = grammar::findRule(g, start, std::strlen(start));
        if (rule < 0) return tree::unknownStart;
    }
    if (len > 0xFFFFFFF0ull) {
        std::memset(err, 0, sizeof *err);
        err->line = err->column = 1;
        std::snprintf(err->message, sizeof err->message, "the text is too long (4 GiB at most)");
        return tree::syntaxError;
    }
    if (!text) len = 0;
    // First with prediction; a text with syntax errors runs again without it, for exact messages.
    bool clean = false;
    if (!(flags & noPrediction)) {
        int status =
            run(g, text, uint32_t(len), uint32_t(rule), flags, true, interrupt, out, err, &clean);
        if (status == tree::outOfMemory || status == interrupted || clean) return status;
    }
    return run(g, text, uint32_t(len), uint32_t(rule), flags, false, interrupt, out, err, &clean);
}

void freeTree(tree::TreeRecord* t) {
    if (!t) return;
    std::free(t->nodes);
    std::free(t->errors);
    t->nodes = nullptr;
    t->errors = nullptr;
    t->nodeCount = 0;
    t->errorCount = 0;
}

}  // namespace pargo::engine

extern "C" int pargo_parse(const pargo::grammar::Grammar* g, const char* text, uint64_t len,
                           const char* start, uint32_t flags, pargo::tree::TreeRecord* out,
                           pargo::tree::ErrorRecord* err) {
    return pargo::engine::parse(g, text, len, start, flags, out, err);
}

extern "C" void pargo_tree_free(pargo::tree::TreeRecord* t) { pargo::engine::freeTree(t); }
