// Node reads of compiled code (see nodes.h).
#include "wuna/runtime/helpers/nodes.h"

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/numtext.h"
#include "wuna/runtime/unicode.h"
#include "wuna/runtime/value.h"

namespace wuna::nodes {

namespace {

using value::Str;
using value::Value;

constexpr char kErrorKind[] = "<error>";

// ---- The attribute-name map -------------------------------------------------------------------

struct NamedCode {
    const char* name;
    AttrCode code;
};

// The node's own attributes; every other name that is no field is AttrOther.
constexpr NamedCode kOwnNames[] = {
    {"kind", AttrKind},     {"rule", AttrRule},   {"text", AttrText},         {"start", AttrStart},
    {"end", AttrEnd},       {"line", AttrLine},   {"column", AttrColumn},     {"index", AttrIndex},
    {"parent", AttrParent}, {"children", AttrChildren},
};

bool same(const char* a, size_t aLength, const char* b, size_t bLength) {
    return aLength == bLength && memcmp(a, b, aLength) == 0;
}

// What a name means for a tree: its AttrCode, and the label byte of a field.
struct Coded {
    uint8_t code;
    uint8_t label;
};

// The code of a name for the grammar: a field first, then the node's own names.
Coded codeOf(const GrammarView* grammar, const Str* name) {
    const char* text = reinterpret_cast<const char*>(name->bytes());
    size_t length = size_t(name->length);
    Coded slot{AttrOther, 0};
    for (uint32_t i = 0; grammar && i < grammar->fieldCount && i < pargo::layout::maxLabels; i++) {
        if (!same(grammar->fields[i].data, grammar->fields[i].length, text, length)) continue;
        slot.code = AttrField;
        slot.label = uint8_t(i + 1);
        return slot;
    }
    for (const NamedCode& own : kOwnNames)
        if (same(own.name, strlen(own.name), text, length)) slot.code = own.code;
    return slot;
}

uint64_t identityHash(const Str* name) {
    uint64_t h = uint64_t(uintptr_t(name)) >> 4;
    return h * 0x9E3779B97F4A7C15ull;
}

// The slot of name in the table (acquire reads), or null.
const NameSlot* findName(const NameTable* table, const Str* name) {
    if (!table) return nullptr;
    for (uint64_t i = identityHash(name) & table->mask;; i = (i + 1) & table->mask) {
        Str* at = table->slots[i].name.load(std::memory_order_acquire);
        if (at == name) return &table->slots[i];
        if (!at) return nullptr;
    }
}

// Writes the entry into a table with room (under the lock): the code first, the name last.
void placeName(NameTable* table, Str* name, uint8_t code, uint8_t label) {
    uint64_t i = identityHash(name) & table->mask;
    while (table->slots[i].name.load(std::memory_order_relaxed)) i = (i + 1) & table->mask;
    table->slots[i].code = code;
    table->slots[i].label = label;
    table->slots[i].name.store(name, std::memory_order_release);
    table->used++;
}

NameTable* newNameTable(uint64_t slots) {
    auto* table = static_cast<NameTable*>(calloc(1, sizeof(NameTable)));
    if (!table) return nullptr;
    table->slots = static_cast<NameSlot*>(calloc(slots, sizeof(NameSlot)));
    if (!table->slots) {
        ::free(table);
        return nullptr;
    }
    table->mask = slots - 1;
    return table;
}

// The table, grown when one more entry would pass 80% load (the lock held). Null: out of
// memory, the old table still in place.
NameTable* roomyTable(NodeCache* cache) {
    NameTable* table = cache->names.load(std::memory_order_relaxed);
    if (table && (table->used + 1) * 5 <= (table->mask + 1) * 4) return table;
    NameTable* grown = newNameTable(table ? (table->mask + 1) * 2 : 16);
    if (!grown) return nullptr;
    for (uint64_t i = 0; table && i <= table->mask; i++) {
        Str* name = table->slots[i].name.load(std::memory_order_relaxed);
        if (name) placeName(grown, name, table->slots[i].code, table->slots[i].label);
    }
    // Readers may still walk the old table; it goes with the cache.
    grown->retired = table;
    cache->names.store(grown, std::memory_order_release);
    return grown;
}

// The name's entry, made on first use. False: out of memory.
bool nameCode(NodeCache* cache, const GrammarView* grammar, Str* name, Coded* out) {
    if (const NameSlot* found = findName(cache->names.load(std::memory_order_acquire), name)) {
        out->code = found->code;
        out->label = found->label;
        return true;
    }
    Coded made = codeOf(grammar, name);
    cache->namesLock.lock();
    // Another writer may have put it in since the look above; it got the same code.
    bool ok = findName(cache->names.load(std::memory_order_relaxed), name) != nullptr;
    if (!ok) {
        NameTable* table = roomyTable(cache);
        if (table) placeName(table, name, made.code, made.label);
        ok = table != nullptr;
    }
    cache->namesLock.unlock();
    out->code = made.code;
    out->label = made.label;
    return ok;
}

// ---- Slot arrays filled once ------------------------------------------------------------------

using StrSlot = std::atomic<Str*>;

// The array published at *where, made (all null) when there is none. Null: out of memory.
StrSlot* slotsOf(std::atomic<StrSlot*>* where, uint64_t count) {
    StrSlot* slots = where->load(std::memory_order_acquire);
    if (slots) return slots;
    if (count == 0 || count >= (uint64_t(1) << 61) / sizeof(StrSlot)) return nullptr;
    auto* made = static_cast<StrSlot*>(calloc(size_t(count), sizeof(StrSlot)));
    if (!made) return nullptr;
    if (where->compare_exchange_strong(slots, made, std::memory_order_acq_rel,
                                       std::memory_order_acquire))
        return made;
    ::free(made);  // another thread published its array first
    return slots;
}

// Publishes s (just made, count 1) into an empty slot; the str the slot holds afterwards
// (s, or the one another thread put there first, in which case s is released). A published
// str is read by every thread of the tree at once, so it is immortal - no thread writes its
// count - and the cache frees it (freeCache).
Str* publish(StrSlot* slot, Str* s) {
    value::makeImmortal(&s->h);
    Str* expected = nullptr;
    if (slot->compare_exchange_strong(expected, s, std::memory_order_acq_rel,
                                      std::memory_order_acquire))
        return s;
    s->h.count = 1;  // never seen by another thread: this one's to release
    value::decref(Value::of(value::TagStr, s));
    return expected;
}

// ---- Reading the tree -------------------------------------------------------------------------

uint32_t kindAt(const TreeView* view, uint32_t n) { return pargo::layout::kindOf(view->nodes[n]); }

uint8_t actionOf(const TreeView* view, uint32_t n) {
    uint32_t kind = kindAt(view, n);
    const GrammarView* g = view->grammar;
    return g && kind < g->kindCount ? g->actions[kind] : uint8_t(ActionNone);
}

// The node's source bytes, its range cut to the text.
struct Span {
    const char* data;
    size_t length;
};

Span sourceOf(const TreeView* view, uint32_t n) {
    uint64_t length = view->textLength;
    uint64_t start = view->nodes[n].start < length ? view->nodes[n].start : length;
    uint64_t end = view->nodes[n].end > start ? view->nodes[n].end : start;
    if (end > length) end = length;
    return {view->text + start, size_t(end - start)};
}

// The end (exclusive) of n's subtree, bounded by the node count.
uint64_t subtreeEnd(const TreeView* view, uint32_t n) {
    uint64_t end = uint64_t(n) + view->nodes[n].descendants + 1;
    return end < view->count ? end : view->count;
}

bool nodeValue(const NodeRef& ref, uint32_t n, Value* out) {
    if (ref.shared) return newTreeNode(ref.shared, n, out);
    *out = {value::TagNodeIndex, n};
    return true;
}

// Whether the label is a list for n's kind.
bool manyOf(const TreeView* view, uint32_t n, uint8_t label) {
    uint32_t kind = kindAt(view, n);
    const GrammarView* g = view->grammar;
    if (!g || kind >= g->kindCount) return false;
    for (uint32_t i = 0; i < g->labelCounts[kind]; i++)
        if (g->labels[kind][i].label == label) return g->labels[kind][i].list != 0;
    return false;
}

bool isSpace(char c) { return c == ' ' || (c >= 9 && c <= 13); }

Span trimmed(const char* text, size_t length) {
    while (length && isSpace(text[0])) text++, length--;
    while (length && isSpace(text[length - 1])) length--;
    return {text, length};
}

void releaseList(value::List* list) { value::decref(Value::of(value::TagList, list)); }

// A new tuple of the list's items (each with a new reference), or null.
Value tupleOf(value::List* items) {
    value::Tuple* t = value::newTuple(items->count);
    if (!t) return Value::unset();
    for (uint64_t i = 0; i < items->count; i++) {
        value::incref(items->items[i]);
        t->items()[i] = items->items[i];
    }
    return Value::of(value::TagTuple, t);
}

// A dict of the items that are two-item tuples; unset when a key is unhashable or memory ran
// out.
Value dictOf(value::List* items) {
    value::Dict* d = value::newDict();
    if (!d) return Value::unset();
    Value result = Value::of(value::TagDict, d);
    for (uint64_t i = 0; i < items->count; i++) {
        Value item = items->items[i];
        if (item.tag != value::TagTuple || item.as<value::Tuple>()->count != 2) continue;
        Value* pair = item.as<value::Tuple>()->items();
        if (!value::hashable(pair[0]) || !value::dictSet(d, pair[0], pair[1])) {
            value::clearFault();
            value::decref(result);
            return Value::unset();
        }
    }
    return result;
}

// The value of child c by its kind's action into *out (one reference), or *dropped for a
// child that adds no item. False when the value cannot be made.
bool childValue(const NodeRef& ref, uint32_t c, Value* out, bool* dropped) {
    const TreeView* view = ref.view;
    uint8_t action = actionOf(view, c);
    *dropped = false;
    switch (action) {
    case ActionStr: {
        Span s = sourceOf(view, c);
        Str* str = value::newStr(s.data, s.length);
        *out = Value::of(value::TagStr, str);
        return str != nullptr;
    }
    case ActionInt: {
        Span s = sourceOf(view, c);
        int64_t i;
        if (!intRule(s.data, s.length, &i)) return false;
        *out = Value::integer(i);
        return true;
    }
    case ActionFloat: {
        Span s = sourceOf(view, c);
        double d;
        if (!floatRule(s.data, s.length, &d)) return false;
        *out = Value::real(d);
        return true;
    }
    case ActionUnquote: {
        Span s = sourceOf(view, c);
        bool refused = false;
        Str* str = unquoteRule(s.data, s.length, &refused);
        *out = Value::of(value::TagStr, str);
        return str != nullptr;
    }
    case ActionTrue: *out = Value::boolean(true); return true;
    case ActionFalse: *out = Value::boolean(false); return true;
    case ActionNoneValue: *out = Value::none(); return true;
    case ActionDrop: *dropped = true; return true;
    case ActionList: {
        value::List* items = childList(ref, c, 0, false);
        *out = Value::of(value::TagList, items);
        return items != nullptr;
    }
    case ActionTuple:
    case ActionDict:
    case ActionFirst: {
        value::List* items = childList(ref, c, 0, false);
        if (!items) return false;
        if (action == ActionTuple)
            *out = tupleOf(items);
        else if (action == ActionDict)
            *out = dictOf(items);
        else if (items->count == 0)
            *out = Value::none();
        else {
            *out = items->items[0];
            value::incref(*out);
        }
        releaseList(items);
        return out->tag != value::TagUnset;
    }
    default: return nodeValue(ref, c, out);
    }
}

Answer outOfMemory(helpers::Ctx* ctx, const NodeRef& ref) {
    helpers::failOutOfMemory(ctx, ref.site);
    return {false, true};
}

// The interned kind name (kind true) or rule name of n's kind. Null: out of memory.
Str* kindNameOf(const TreeView* view, uint32_t n, bool kind) {
    uint32_t k = kindAt(view, n);
    const GrammarView* g = view->grammar;
    if (!g || k >= g->kindCount) return value::literal(kErrorKind, sizeof kErrorKind - 1);
    StrSlot* slots = slotsOf(&view->cache->kindNames, uint64_t(g->kindCount) * 2);
    if (!slots) return nullptr;
    StrSlot* slot = &slots[2 * uint64_t(k) + (kind ? 1 : 0)];
    if (Str* s = slot->load(std::memory_order_acquire)) return s;
    const Name& name = kind ? g->kindNames[k] : g->ruleNames[k];
    Str* made = value::literal(name.data, name.length);
    // Interned strs are immortal: whichever thread stores first, both hold the same block.
    if (made) slot->store(made, std::memory_order_release);
    return made;
}

// n's source text as a str, made once per node. Null: out of memory.
Str* textOf(const TreeView* view, uint32_t n) {
    StrSlot* slots = slotsOf(&view->cache->texts, view->count);
    if (!slots) return nullptr;
    Str* s = slots[n].load(std::memory_order_acquire);
    if (!s) {
        Span span = sourceOf(view, n);
        Str* made = value::newStr(span.data, span.length);
        if (!made) return nullptr;
        s = publish(&slots[n], made);
    }
    value::incref(Value::of(value::TagStr, s));
    return s;
}

// The index of the line n starts on (0-based), by a binary search over the line starts.
uint32_t lineIndex(const TreeView* view, uint32_t offset) {
    if (view->lineCount < 2) return 0;
    uint32_t low = 0, high = view->lineCount - 1;
    while (low < high) {
        uint32_t mid = low + (high - low + 1) / 2;
        if (view->lineStarts[mid] <= offset)
            low = mid;
        else
            high = mid - 1;
    }
    return low;
}

Answer fieldValue(const NodeRef& ref, uint8_t label, Value* out) {
    bool many = manyOf(ref.view, ref.node, label);
    value::List* list = childList(ref, ref.node, label, true);
    if (!list) return {false, false};
    if (many || list->count >= 2) {
        *out = Value::of(value::TagList, list);
        return {true, true};
    }
    *out = list->count ? list->items[0] : Value::none();
    value::incref(*out);
    releaseList(list);
    return {true, true};
}

}  // namespace

// ---- The token rules --------------------------------------------------------------------------

bool intRule(const char* text, size_t length, int64_t* out) {
    Span s = trimmed(text, length);
    if (!s.length) return false;
    size_t i = 0;
    bool negative = s.data[0] == '-';
    if (s.data[0] == '+' || s.data[0] == '-') i = 1;
    if (i == s.length) return false;
    // Magnitudes up to 2^63, accumulated unsigned so that -2^63 fits.
    uint64_t magnitude = 0;
    constexpr uint64_t kLimit = uint64_t(1) << 63;
    bool digitBefore = false;
    for (; i < s.length; i++) {
        char c = s.data[i];
        if (c == '_') {
            if (!digitBefore || i + 1 == s.length || s.data[i + 1] < '0' || s.data[i + 1] > '9')
                return false;
            digitBefore = false;
            continue;
        }
        if (c < '0' || c > '9') return false;
        digitBefore = true;
        uint64_t digit = uint64_t(c - '0');
        if (magnitude > (kLimit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (!negative && magnitude == kLimit) return false;
    *out = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    return true;
}

bool floatRule(const char* text, size_t length, double* out) {
    Span s = trimmed(text, length);
    if (!s.length || memchr(s.data, '_', s.length)) return false;
    bool decimal = true;
    for (size_t i = 0; i < s.length && decimal; i++) {
        char c = s.data[i];
        decimal = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' ||
                  c == 'E';
    }
    // Of this alphabet, float() reads exactly the decimal form the rule allows.
    if (decimal) return helpers::pyFloat(s.data, s.length, out);
    size_t i = (s.data[0] == '+' || s.data[0] == '-') ? 1 : 0;
    bool negative = s.data[0] == '-';
    const char* word = s.data + i;
    size_t n = s.length - i;
    auto is = [&](const char* w) { return n == strlen(w) && strncasecmp(word, w, n) == 0; };
    if (is("inf") || is("infinity")) {
        *out = negative ? -__builtin_inf() : __builtin_inf();
        return true;
    }
    if (is("nan")) {
        *out = __builtin_nan("");
        return true;
    }
    return false;
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The hexadecimal number of the n bytes at p (a leading '+' and single '_' between digits
// allowed), or -1.
int64_t hexNumber(const char* p, size_t n) {
    size_t i = 0;
    if (n && p[0] == '+') i = 1;
    if (i == n) return -1;
    int64_t value = 0;
    bool digitBefore = false;
    for (; i < n; i++) {
        if (p[i] == '_') {
            if (!digitBefore || i + 1 == n || hexDigit(p[i + 1]) < 0) return -1;
            digitBefore = false;
            continue;
        }
        int d = hexDigit(p[i]);
        if (d < 0) return -1;
        value = value * 16 + d;
        digitBefore = true;
    }
    return value;
}

constexpr char kSimpleEscapes[][2] = {{'0', '\0'}, {'b', '\b'}, {'f', '\f'},
                                      {'n', '\n'}, {'r', '\r'}, {'t', '\t'}};

}  // namespace

Str* unquoteRule(const char* text, size_t length, bool* refused) {
    *refused = false;
    if (length < 3) return value::newStr("", 0);
    const char* p = text + 1;
    size_t n = length - 2;
    // No escape makes more bytes than it reads (at most 4 bytes of UTF-8 from 6 bytes read).
    char* buffer = static_cast<char*>(malloc(n + 1));
    if (!buffer) return nullptr;
    size_t written = 0;
    for (size_t i = 0; i < n;) {
        if (p[i] != '\\' || i + 1 == n) {
            buffer[written++] = p[i++];
            continue;
        }
        char letter = p[i + 1];
        i += 2;
        bool simple = false;
        for (const auto& e : kSimpleEscapes)
            if (e[0] == letter) {
                buffer[written++] = e[1];
                simple = true;
            }
        if (simple) continue;
        size_t digits = letter == 'u' ? 4 : letter == 'x' ? 2 : 0;
        int64_t cp = digits && n - i >= digits ? hexNumber(p + i, digits) : -1;
        if (cp < 0) {
            buffer[written++] = letter;
            continue;
        }
        i += digits;
        if (cp >= 0xD800 && cp <= 0xDBFF && n - i >= 6 && p[i] == '\\' && p[i + 1] == 'u') {
            int64_t low = hexNumber(p + i + 2, 4);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            ::free(buffer);
            *refused = true;
            return nullptr;
        }
        written += unicode::encode(uint32_t(cp), reinterpret_cast<uint8_t*>(buffer + written));
    }
    Str* s = value::newStr(buffer, written);
    ::free(buffer);
    return s;
}

// ---- Trees and node blocks --------------------------------------------------------------------

void freeCache(NodeCache* cache, uint32_t nodeCount) {
    NameTable* table = cache->names.exchange(nullptr, std::memory_order_acq_rel);
    while (table) {
        NameTable* retired = table->retired;
        ::free(table->slots);
        ::free(table);
        table = retired;
    }
    // Interned names are immortal: only their array goes.
    ::free(cache->kindNames.exchange(nullptr, std::memory_order_acq_rel));
    StrSlot* texts = cache->texts.exchange(nullptr, std::memory_order_acq_rel);
    for (uint32_t i = 0; texts && i < nodeCount; i++) {
        Str* s = texts[i].load(std::memory_order_relaxed);
        if (!s) continue;
        s->h.count = 1;  // published immortal; the cache's own now that no thread reads it
        value::decref(Value::of(value::TagStr, s));
    }
    ::free(texts);
}

void holdTree(SharedTree* tree) { tree->holders.fetch_add(1, std::memory_order_relaxed); }

bool newTreeNode(SharedTree* tree, uint32_t index, Value* out) {
    value::Node* n = value::newNode(tree, index);
    if (!n) return false;
    holdTree(tree);
    *out = Value::of(value::TagNode, n);
    return true;
}

bool nodeRefOf(helpers::Ctx* ctx, int32_t site, Value v, NodeRef* out) {
    if (v.tag == value::TagNodeIndex) {
        const TreeView* view = ctx && ctx->run ? ctx->run->program : nullptr;
        if (!view || v.payload >= view->count) return false;
        *out = {view, nullptr, uint32_t(v.payload), int32_t(v.payload)};
        return true;
    }
    if (v.tag != value::TagNode) return false;
    auto* n = v.as<value::Node>();
    auto* tree = static_cast<SharedTree*>(n->holder);
    if (!tree || n->index >= tree->view.count) return false;
    *out = {&tree->view, tree, uint32_t(n->index), site};
    return true;
}

value::List* childList(const NodeRef& ref, uint32_t n, uint8_t label, bool filter) {
    const TreeView* view = ref.view;
    value::List* list = value::newList(value::kListInline);
    if (!list) return nullptr;
    uint64_t end = subtreeEnd(view, n);
    for (uint64_t c = uint64_t(n) + 1; c < end; c += uint64_t(view->nodes[c].descendants) + 1) {
        if (filter && pargo::layout::labelOf(view->nodes[c]) != label) continue;
        Value item;
        bool dropped;
        bool ok = childValue(ref, uint32_t(c), &item, &dropped);
        if (ok && !dropped && !value::listAppend(list, item)) {
            value::decref(item);
            ok = false;
        }
        if (!ok) {
            releaseList(list);
            return nullptr;
        }
    }
    return list;
}

Str* kindName(const TreeView* view, uint32_t n) { return kindNameOf(view, n, true); }

Answer attrIn(helpers::Ctx* ctx, const NodeRef& ref, Str* name, Value* out) {
    const TreeView* view = ref.view;
    uint32_t n = ref.node;
    Coded entry;
    if (!nameCode(view->cache, view->grammar, name, &entry)) return outOfMemory(ctx, ref);
    const NodeRecord& record = view->nodes[n];
    switch (AttrCode(entry.code)) {
    case AttrField: return fieldValue(ref, entry.label, out);
    case AttrKind:
    case AttrRule: {
        Str* s = kindNameOf(view, n, entry.code == AttrKind);
        if (!s) return outOfMemory(ctx, ref);
        *out = Value::of(value::TagStr, s);
        return {true, true};
    }
    case AttrText: {
        // A parsed tree's texts are not shared from its cache: the cache goes with the tree
        // when its last node does, and a text read from it may live on (a value kept, a list
        // built), so each read of such a tree gets a str of its own.
        Span span = ref.shared ? sourceOf(view, n) : Span{};
        Str* s = ref.shared ? value::newStr(span.data, span.length) : textOf(view, n);
        if (!s) return outOfMemory(ctx, ref);
        *out = Value::of(value::TagStr, s);
        return {true, true};
    }
    case AttrStart: *out = Value::pint(record.start); return {true, true};
    case AttrEnd: *out = Value::pint(record.end); return {true, true};
    case AttrIndex: *out = Value::pint(n); return {true, true};
    case AttrLine:
    case AttrColumn: {
        uint32_t line = lineIndex(view, record.start);
        uint32_t start = view->lineCount ? view->lineStarts[line] : 0;
        *out = Value::pint(entry.code == AttrLine ? int64_t(line) + 1
                                                  : int64_t(record.start) - start + 1);
        return {true, true};
    }
    case AttrParent: {
        uint32_t p = view->parents ? view->parents[n] : kNoParent;
        if (p == kNoParent) {
            *out = Value::none();
            return {true, true};
        }
        if (!nodeValue(ref, p, out)) return outOfMemory(ctx, ref);
        return {true, true};
    }
    case AttrChildren: {
        value::List* list = childList(ref, n, 0, false);
        if (!list) return {false, false};
        *out = Value::of(value::TagList, list);
        return {true, true};
    }
    case AttrOther: break;
    }
    return {false, false};
}

Answer nodeFind(helpers::Ctx* ctx, int32_t site, Value receiver, Value argument, Value* out) {
    NodeRef ref;
    if (argument.tag != value::TagStr || !nodeRefOf(ctx, site, receiver, &ref))
        return {false, false};
    ref.site = site;
    value::List* list = value::newList(value::kListInline);
    if (!list) return outOfMemory(ctx, ref);
    Value result = Value::of(value::TagList, list);
    const GrammarView* g = ref.view->grammar;
    const Str* name = argument.as<Str>();
    uint32_t kind = 0;
    bool known = false;
    for (; g && kind < g->kindCount && !known; kind++)
        known = same(g->ruleNames[kind].data, g->ruleNames[kind].length,
                     reinterpret_cast<const char*>(name->bytes()), size_t(name->length));
    kind--;
    uint64_t end = known ? subtreeEnd(ref.view, ref.node) : 0;
    for (uint64_t j = ref.node; j < end; j++) {
        if (kindAt(ref.view, uint32_t(j)) != kind) continue;
        Value item;
        if (!nodeValue(ref, uint32_t(j), &item)) {
            value::decref(result);
            return outOfMemory(ctx, ref);
        }
        if (!value::listAppend(list, item)) {
            value::decref(item);
            value::decref(result);
            return outOfMemory(ctx, ref);
        }
    }
    *out = result;
    return {true, true};
}

}  // namespace wuna::nodes
