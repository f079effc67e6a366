// Values and blocks: counting, freeing, constructors, list stores, the insertion-ordered dict,
// interned literals, int helpers, type names and str code-point offsets (equality, hashing and
// truth are in equal.cpp and hash.cpp). See value.h for the layouts and the design.
//
// Freeing never recurses. The outermost free on a thread sets `draining`; any block whose
// count reaches zero meanwhile is pushed on the thread's pending chain instead of being freed
// at once. The chain is linked through the dead block's count word (the low bit marks a block
// held without a tag, which is released as a captured frame is), and the outermost free takes
// blocks off its front until it is empty. A list nested a million deep thus frees in constant
// stack.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/value.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <iterator>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/gc.h"
#include "wuna/runtime/gil.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/spin.h"
#include "wuna/runtime/wyhash.h"

namespace wuna::value {

Services services{};

namespace {

// ---- Memory of blocks -------------------------------------------------------------------

inline void writeKindFlags(Obj* o, uint32_t kind, uint32_t flags) {
    uint64_t word = uint64_t(kind) | (uint64_t(flags) << 32);
    std::memcpy(&o->kind, &word, 8);
}

inline size_t round8(size_t n) { return (n + 7) & ~size_t(7); }

// A block with count 1 of kind and flags, untracked, or null.
Obj* plainBlock(size_t size, uint32_t kind, uint32_t flags) {
    Obj* o = static_cast<Obj*>(pool::take(size));
    if (!o) return nullptr;
    o->count = 1;
    writeKindFlags(o, kind, flags);
    return o;
}

// A block with its link header, appended to the thread's young list, or null. The collector
// check runs first, as a collection may free memory this block can use.
Obj* trackedBlock(size_t size, uint32_t kind, uint32_t flags = 0) {
    gc::State* s = gc::threadRecord();
    if (gc::due(s)) gc::prepare(s);
    gc::Link* link = static_cast<gc::Link*>(pool::take(sizeof(gc::Link) + size));
    if (!link) return nullptr;
    Obj* o = objOf(link);
    o->count = 1;
    writeKindFlags(o, kind, flags);
    gc::track(s, link);
    return o;
}

// A list block: it sits behind a link header from birth but is tracked only later.
Obj* untrackedLinkedBlock(size_t size, uint32_t kind, uint32_t flags) {
    gc::Link* link = static_cast<gc::Link*>(pool::take(sizeof(gc::Link) + size));
    if (!link) return nullptr;
    link->next = link->prev = nullptr;
    Obj* o = objOf(link);
    o->count = 1;
    writeKindFlags(o, kind, flags);
    return o;
}

void giveBlock(Obj* o) {
    size_t size = blockSize(o);
    if (linked(o->kind))
        pool::give(linkOf(o), sizeof(gc::Link) + size);
    else
        pool::give(o, size);
}

inline size_t indexEntries(const Str* s) { return size_t(s->chars / 64) + 1; }

// Python objects are touched only under the interpreter lock, taken through the thread's GIL
// record and kept until the native run ends.
void pyIncref(PyObject* o) {
    gil::Record* r = gil::enter();
    Py_INCREF(o);
    gil::leave(r);
}
void pyDecref(PyObject* o) {
    gil::Record* r = gil::enter();
    Py_DECREF(o);
    gil::leave(r);
}

// ---- Iterative release --------------------------------------------------------------------

// A thread's pending chain and its draining flag. Every release reads them, so the thread that
// holds the home pool (the run's own thread, nearly always) keeps them beside that pool, found
// by comparing the thread pointer, where a thread-local lookup would cost a call into the
// dynamic loader per release. Other threads keep their own. The chain goes with the home pool:
// a run thread borrowing it while its owner waits in the middle of a free queues onto the
// owner's chain, which the owner empties when it goes on.
struct Pending {
    Obj* head;
    Obj* tail;
    bool draining;
};
Pending homePending{};
thread_local Pending minePending{};

inline Pending* pendingOfThread() {
    if (pool::home_owner.load(std::memory_order_acquire) == pool::threadId()) return &homePending;
    return &minePending;
}

// A queued block's count word holds the next queued block, and in its low bit whether the
// block itself is held without a tag.
constexpr uint64_t kCapturedMark = 1;

// The proxy registry is Python's: it is consulted under the interpreter lock.
bool proxyReleased(Obj* o) {
    if (!services.proxyReleased) {
        o->flags &= ~FlagProxy;
        return true;
    }
    gil::Record* r = gil::enter();
    bool released = services.proxyReleased(o);
    gil::leave(r);
    return released;
}

// Frees the memory of a block whose count reached zero and that no proxy took over, and
// releases what it holds.
void dispose(uint32_t kind, Obj* o) {
    switch (kind) {
    case TagStr: {
        Str* s = reinterpret_cast<Str*>(o);
        if (s->index) pool::free(nullptr, s->index, indexEntries(s) * sizeof(uint32_t), 2);
        giveBlock(o);
        break;
    }
    case TagBig: giveBlock(o); break;
    case TagBytes: {
        Bytes* b = reinterpret_cast<Bytes*>(o);
        if (b->owner)
            pyDecref(b->owner);
        else
            pool::free(nullptr, b->data, b->length ? b->length : 1, 0);
        giveBlock(o);
        break;
    }
    case TagNode: {
        Node* n = reinterpret_cast<Node*>(o);
        if (n->holder && services.treeRelease) services.treeRelease(n->holder);
        freeBlock(o);
        break;
    }
    case TagList:
    case TagTuple:
    case TagDict:
    case TagRecord:
    case TagFunction:
    case TagClosure:
    case TagSet:
    case TagExc:
        dropReferences(o);
        freeBlock(o);
        break;
    default: break;
    }
}

void disposeCaptured(Obj* o) {
    dropReferences(o);
    freeBlock(o);
}

// Frees o, whose count has reached zero, or queues it when a free is already running. The
// queue is first in, first out, so blocks are freed in the order their counts reached zero.
// A proxied block is offered to its proxy at once, never queued: while it waited, Python code
// run by an earlier release (a __del__, say) could reach it through the proxy and count it
// again, which would overwrite the queue's link in its count word.
void release(uint32_t kind, Obj* o, bool captured) {
    if (!captured && (o->flags & FlagProxy) && kind != TagFunction && !proxyReleased(o)) return;
    Pending* q = pendingOfThread();
    if (q->draining) {
        o->count = captured ? kCapturedMark : 0;
        if (q->tail)
            q->tail->count |= uint64_t(uintptr_t(o));
        else
            q->head = o;
        q->tail = o;
        return;
    }
    q->draining = true;
    if (captured)
        disposeCaptured(o);
    else
        dispose(kind, o);
    while (q->head) {
        Obj* p = q->head;
        uint64_t word = p->count;
        q->head = reinterpret_cast<Obj*>(uintptr_t(word & ~kCapturedMark));
        if (!q->head) q->tail = nullptr;
        p->count = 0;
        if (word & kCapturedMark)
            disposeCaptured(p);
        else
            dispose(p->kind, p);
    }
    q->draining = false;
}

inline void releaseValues(Value* v, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) decref(v[i]);
}

inline void raise(Obj* o) {
    if (o && o->count < kImmortal) o->count++;
}

// ---- UTF-8 ------------------------------------------------------------------------------

inline int leadLength(uint8_t c) {
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) return 3;
    if (c >= 0xF0 && c <= 0xF4) return 4;
    return 0;
}

// Whether the sequence of n bytes at p (lead byte valid for n) decodes to a scalar value.
inline bool decodes(const uint8_t* p, int n) {
    for (int i = 1; i < n; i++)
        if ((p[i] & 0xC0) != 0x80) return false;
    if (n == 3) {
        if (p[0] == 0xE0 && p[1] < 0xA0) return false;   // overlong
        if (p[0] == 0xED && p[1] >= 0xA0) return false;  // surrogate
    } else if (n == 4) {
        if (p[0] == 0xF0 && p[1] < 0x90) return false;   // overlong
        if (p[0] == 0xF4 && p[1] >= 0x90) return false;  // above U+10FFFF
    }
    return true;
}

// Length of the code point at p in a str known to be valid UTF-8.
inline int stepLength(uint8_t c) { return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4; }

// ---- Interned tables ----------------------------------------------------------------------

struct LiteralTable {
    Str** slots = nullptr;
    size_t capacity = 0;  // a power of two
    size_t size = 0;
};
LiteralTable literals;
spin::Lock literals_lock;

struct BigTable {
    Big** slots = nullptr;
    size_t capacity = 0;
    size_t size = 0;
};
BigTable big_literals;
spin::Lock big_literals_lock;

uint64_t strHash(const void* bytes, size_t length) {
    uint64_t h = wyhash::hash(bytes, length, 2);
    return h ? h : 1;
}

template <class Table, class Key>
bool growTable(Table& t, Key keyOf) {
    size_t capacity = t.capacity ? t.capacity * 2 : 64;
    auto** slots = static_cast<decltype(t.slots)>(std::calloc(capacity, sizeof *t.slots));
    if (!slots) return false;
    for (size_t i = 0; i < t.capacity; i++) {
        if (!t.slots[i]) continue;
        size_t j = keyOf(t.slots[i]) & (capacity - 1);
        while (slots[j]) j = (j + 1) & (capacity - 1);
        slots[j] = t.slots[i];
    }
    std::free(t.slots);
    t.slots = slots;
    t.capacity = capacity;
    return true;
}

uint64_t bigKey(i128 v) { return wyhash::hash(&v, 16, 2); }

inline bool smallInt(uint64_t tag) { return tag == TagBool || tag == TagInt || tag == TagPint; }

}  // namespace

// ---- Counting and freeing -------------------------------------------------------------------

void incref(uint64_t tag, uint64_t payload) {
    if (counted(tag)) {
        raise(reinterpret_cast<Obj*>(uintptr_t(payload)));
    } else if (tag == TagPy) {
        pyIncref(reinterpret_cast<PyObject*>(uintptr_t(payload)));
    }
}

void decref(uint64_t tag, uint64_t payload) {
    if (counted(tag)) {
        Obj* o = reinterpret_cast<Obj*>(uintptr_t(payload));
        if (o->count >= kImmortal) return;
        if (--o->count == 0) release(o->kind, o, false);
    } else if (tag == TagPy) {
        pyDecref(reinterpret_cast<PyObject*>(uintptr_t(payload)));
    }
}

void free(uint32_t kind, Obj* block) { release(kind, block, false); }

void releaseCaptured(Obj* block) {
    if (!block || block->count >= kImmortal) return;
    if (--block->count == 0) release(block->kind, block, true);
}

void dropReferences(Obj* o) {
    switch (o->kind) {
    case TagList: {
        List* l = reinterpret_cast<List*>(o);
        releaseValues(l->items, l->count);
        break;
    }
    case TagTuple: {
        Tuple* t = reinterpret_cast<Tuple*>(o);
        releaseValues(t->items(), t->count);
        break;
    }
    case TagRecord: {
        Record* r = reinterpret_cast<Record*>(o);
        releaseValues(r->fields(), r->cls->fieldCount);
        break;
    }
    case TagDict: {
        Dict* d = reinterpret_cast<Dict*>(o);
        for (uint64_t i = 0; i < d->used; i++) {
            DictEntry& e = d->entries[i];
            if (e.key.tag == TagDeleted) continue;
            decref(e.key);
            decref(e.value);
        }
        break;
    }
    case TagSet: {
        Set* s = reinterpret_cast<Set*>(o);
        if (!s->table) break;
        for (uint64_t i = 0; i <= s->mask; i++) {
            Value v = s->table[i].key;
            if (v.tag != TagDeleted && v.tag != TagUnset) decref(v);
        }
        break;
    }
    case TagExc: {
        Exc* e = reinterpret_cast<Exc*>(o);
        decref(e->args);
        decref(e->value);
        decref(e->message);
        decref(e->cause);
        break;
    }
    case TagFunction: {
        Function* f = reinterpret_cast<Function*>(o);
        releaseCaptured(reinterpret_cast<Obj*>(f->frame));
        decref(TagStr, uint64_t(uintptr_t(f->name)));
        break;
    }
    case TagClosure: releaseCaptured(reinterpret_cast<Closure*>(o)->captured); break;
    case KindFrame: {
        Frame* f = reinterpret_cast<Frame*>(o);
        releaseValues(f->slots(), f->count);
        releaseCaptured(reinterpret_cast<Obj*>(f->parent));
        break;
    }
    default: break;
    }
}

void freeListItems(List* list) {
    if (!list->outOfLine()) return;
    pool::give(list->items, size_t(list->capacity) * sizeof(Value));
    list->items = list->inlineItems;
    list->capacity = kListInline;
}

void freeBlock(Obj* o) {
    if (linked(o->kind)) {
        gc::Link* link = linkOf(o);
        if (link->next) gc::untrack(link);
    }
    switch (o->kind) {
    case TagList: freeListItems(reinterpret_cast<List*>(o)); break;
    case TagDict: {
        Dict* d = reinterpret_cast<Dict*>(o);
        if (d->entries) pool::give(d->entries, size_t(d->capacity) * sizeof(DictEntry));
        if (d->index) pool::free(nullptr, d->index, size_t(d->capacity) * 2 * sizeof(uint32_t), 2);
        break;
    }
    case TagSet: {
        Set* s = reinterpret_cast<Set*>(o);
        if (s->table) set::freeTable(s);
        break;
    }
    default: break;
    }
    giveBlock(o);
}

size_t blockSize(Obj* o) {
    switch (o->kind) {
    case TagStr: return round8(sizeof(Str) + reinterpret_cast<Str*>(o)->length);
    case TagBig: return sizeof(Big);
    case TagList: return sizeof(List);
    case TagTuple: return sizeof(Tuple) + reinterpret_cast<Tuple*>(o)->count * sizeof(Value);
    case TagDict: return sizeof(Dict);
    case TagRecord:
        return sizeof(Record) + reinterpret_cast<Record*>(o)->cls->fieldCount * sizeof(Value);
    case TagBytes: return sizeof(Bytes);
    case TagSet: return sizeof(Set);
    case TagExc: return sizeof(Exc);
    case TagFunction: return sizeof(Function);
    case TagClosure: return sizeof(Closure);
    case TagNode: return sizeof(Node);
    case KindFrame: return sizeof(Frame) + reinterpret_cast<Frame*>(o)->count * sizeof(Value);
    default: return sizeof(Obj);
    }
}

// ---- Constructors -----------------------------------------------------------------------------

uint64_t countCodePoints(const uint8_t* p, size_t length) {
    size_t i = 0;
    uint64_t chars = 0;
    while (i < length) {
        if (length - i >= 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (!(word & 0x8080808080808080ull)) {
                i += 8;
                chars += 8;
                continue;
            }
        }
        int n = leadLength(p[i]);
        if (n == 0 || size_t(n) > length - i || !decodes(p + i, n)) return length;
        i += size_t(n);
        chars++;
    }
    return chars;
}

Str* newStr(const void* bytes, size_t length) {
    if (length > SIZE_MAX - sizeof(Str) - 8) return nullptr;
    Str* s = reinterpret_cast<Str*>(plainBlock(round8(sizeof(Str) + length), TagStr, 0));
    if (!s) return nullptr;
    s->length = length;
    s->hash = 0;
    s->index = nullptr;
    if (length) std::memcpy(s->bytes(), bytes, length);
    s->chars = countCodePoints(s->bytes(), length);
    return s;
}

Big* newBig(i128 v) {
    Big* b = reinterpret_cast<Big*>(plainBlock(sizeof(Big), TagBig, 0));
    if (!b) return nullptr;
    b->lo = uint64_t(v);
    b->hi = uint64_t((unsigned __int128)v >> 64);
    return b;
}

Tuple* newTuple(uint64_t n) {
    if (n > (SIZE_MAX - sizeof(Tuple) - sizeof(gc::Link)) / sizeof(Value)) return nullptr;
    Tuple* t = reinterpret_cast<Tuple*>(trackedBlock(sizeof(Tuple) + n * sizeof(Value), TagTuple));
    if (!t) return nullptr;
    t->count = n;
    for (uint64_t i = 0; i < n; i++) t->items()[i] = Value::none();
    return t;
}

List* newList(uint64_t capacity) {
    List* l = reinterpret_cast<List*>(untrackedLinkedBlock(sizeof(List), TagList, SummaryAll));
    if (!l) return nullptr;
    l->count = 0;
    l->capacity = kListInline;
    l->items = l->inlineItems;
    if (capacity > kListInline) {
        void* items =
            capacity <= SIZE_MAX / sizeof(Value) ? pool::take(capacity * sizeof(Value)) : nullptr;
        if (!items) {
            pool::give(linkOf(&l->h), sizeof(gc::Link) + sizeof(List));
            return nullptr;
        }
        l->items = static_cast<Value*>(items);
        l->capacity = capacity;
    }
    return l;
}

Dict* newDict() {
    Dict* d = reinterpret_cast<Dict*>(trackedBlock(sizeof(Dict), TagDict));
    if (!d) return nullptr;
    d->length = d->used = d->capacity = 0;
    d->entries = nullptr;
    d->index = nullptr;
    return d;
}

Record* newRecord(RecordClass* cls) {
    Record* r = reinterpret_cast<Record*>(
        trackedBlock(sizeof(Record) + cls->fieldCount * sizeof(Value), TagRecord));
    if (!r) return nullptr;
    r->cls = cls;
    Value fill = cls->slots ? Value::unset() : Value::none();
    for (uint64_t i = 0; i < cls->fieldCount; i++) r->fields()[i] = fill;
    return r;
}

Bytes* newOwnedBytes(uint64_t n) {
    uint8_t* data = static_cast<uint8_t*>(pool::alloc(nullptr, n ? n : 1, 0));
    if (!data) return nullptr;
    Bytes* b =
        reinterpret_cast<Bytes*>(plainBlock(sizeof(Bytes), TagBytes, FlagOwnsData | FlagImmutable));
    if (!b) {
        pool::free(nullptr, data, n ? n : 1, 0);
        return nullptr;
    }
    b->data = data;
    b->length = n;
    b->owner = nullptr;
    return b;
}

Bytes* newBytesView(const uint8_t* data, uint64_t length, PyObject* owner) {
    Bytes* b = reinterpret_cast<Bytes*>(plainBlock(sizeof(Bytes), TagBytes, 0));
    if (!b) return nullptr;
    b->data = const_cast<uint8_t*>(data);
    b->length = length;
    b->owner = owner;
    Py_INCREF(owner);
    return b;
}

Bytes* bytesSlice(Bytes* src, uint64_t start, uint64_t end) {
    uint64_t n = end - start;
    if (src->h.flags & FlagOwnsData) {
        Bytes* b = newOwnedBytes(n);
        if (b && n) std::memcpy(b->data, src->data + start, n);
        return b;
    }
    Bytes* b =
        reinterpret_cast<Bytes*>(plainBlock(sizeof(Bytes), TagBytes, src->h.flags & FlagImmutable));
    if (!b) return nullptr;
    b->data = src->data + start;
    b->length = n;
    b->owner = src->owner;
    pyIncref(src->owner);
    return b;
}

Frame* newFrame(Frame* parent, uint64_t n) {
    if (n > (SIZE_MAX - sizeof(Frame) - sizeof(gc::Link)) / sizeof(Value)) return nullptr;
    Frame* f = reinterpret_cast<Frame*>(trackedBlock(sizeof(Frame) + n * sizeof(Value), KindFrame));
    if (!f) return nullptr;
    f->parent = parent;
    raise(reinterpret_cast<Obj*>(parent));
    f->count = n;
    for (uint64_t i = 0; i < n; i++) f->slots()[i] = Value::unset();
    return f;
}

Function* newFunction(void* code, Frame* frame, uint32_t index, Str* name, uint64_t module,
                      uint32_t flags) {
    Function* f = reinterpret_cast<Function*>(trackedBlock(sizeof(Function), TagFunction, flags));
    if (!f) return nullptr;
    f->code = code;
    f->frame = frame;
    raise(reinterpret_cast<Obj*>(frame));
    f->index = index;
    f->name = name;
    raise(reinterpret_cast<Obj*>(name));
    f->module = module;
    return f;
}

Closure* newClosure(Obj* captured, const void* descriptor, uint64_t module, void* code) {
    Closure* c = reinterpret_cast<Closure*>(trackedBlock(sizeof(Closure), TagClosure));
    if (!c) return nullptr;
    c->captured = captured;
    raise(captured);
    c->descriptor = descriptor;
    c->module = module;
    c->code = code;
    return c;
}

Exc* newExc(uint32_t kind, Value args, Value val, Value message, int32_t site) {
    Exc* e = reinterpret_cast<Exc*>(trackedBlock(sizeof(Exc), TagExc));
    if (!e) return nullptr;
    e->kind = kind;
    e->site = site;
    incref(args);
    incref(val);
    incref(message);
    e->args = args;
    e->value = val;
    e->message = message;
    e->cause = Value::none();
    return e;
}

Node* newNode(void* holder, uint32_t index) {
    Node* n = reinterpret_cast<Node*>(trackedBlock(sizeof(Node), TagNode));
    if (!n) return nullptr;
    n->holder = holder;
    n->index = index;
    return n;
}

// ---- Lists ------------------------------------------------------------------------------------

const char* readOnlyText(uint32_t kind) {
    switch (kind) {
    case TagList: return "this list is shared by compiled code (a constant, or shared with threads) and can't be changed";
    case TagDict: return "this dict is shared by compiled code (a constant, or shared with threads) and can't be changed";
    default: return "this object is shared by compiled code (a constant, or shared with threads) and can't be changed";
    }
}

void noteItem(List* list, uint64_t tag) {
    uint32_t keep = tag == TagInt     ? uint32_t(SummaryInt)
                    : tag == TagPint  ? uint32_t(SummaryPint)
                    : tag == TagFloat ? uint32_t(SummaryFloat)
                                      : 0u;
    uint32_t summary = list->h.flags & SummaryAll & keep;
    list->h.flags = (list->h.flags & ~SummaryAll) | summary;
    if (!summary && !linkOf(&list->h)->next && !immortal(&list->h)) gc::track(linkOf(&list->h));
}

bool listReserve(List* list, uint64_t n) {
    if (n <= list->capacity) return true;
    // Twice the count, as appending grows, unless the caller asked for more.
    uint64_t capacity = list->count * 2 > 8 ? list->count * 2 : 8;
    if (capacity < n) capacity = n;
    Value* items = capacity <= SIZE_MAX / sizeof(Value)
                       ? static_cast<Value*>(pool::take(capacity * sizeof(Value)))
                       : nullptr;
    if (!items) return false;
    std::memcpy(items, list->items, list->count * sizeof(Value));
    freeListItems(list);
    list->items = items;
    list->capacity = capacity;
    return true;
}

bool listAppend(List* list, Value item) {
    if (readOnly(&list->h)) return false;
    if (list->count == list->capacity && !listReserve(list, list->count + 1)) return false;
    list->items[list->count++] = item;
    noteItem(list, item.tag);
    return true;
}

bool listInsert(List* list, uint64_t at, Value item) {
    if (readOnly(&list->h) || at > list->count) return false;
    if (list->count == list->capacity && !listReserve(list, list->count + 1)) return false;
    std::memmove(list->items + at + 1, list->items + at, (list->count - at) * sizeof(Value));
    list->items[at] = item;
    list->count++;
    noteItem(list, item.tag);
    return true;
}

Value listTake(List* list, uint64_t at) {
    Value item = list->items[at];
    std::memmove(list->items + at, list->items + at + 1, (list->count - at - 1) * sizeof(Value));
    list->count--;
    return item;
}

// ---- Dicts ------------------------------------------------------------------------------------

bool dictGet(Dict* d, Value key, Value* out) {
    if (!d->index) return false;
    uint64_t h = hashOf(key);
    uint64_t mask = d->capacity * 2 - 1;
    for (uint64_t slot = h & mask; d->index[slot]; slot = (slot + 1) & mask) {
        DictEntry& e = d->entries[d->index[slot] - 1];
        if (e.key.tag != TagDeleted && e.hash == h && equal(e.key, key)) {
            *out = e.value;
            return true;
        }
    }
    return false;
}

namespace {

void indexEntry(uint32_t* index, uint64_t mask, uint64_t hash, uint64_t position) {
    uint64_t slot = hash & mask;
    while (index[slot]) slot = (slot + 1) & mask;
    index[slot] = uint32_t(position + 1);
}

bool growDict(Dict* d) {
    uint64_t capacity = d->used * 2 < 8 ? 8 : d->used * 2;
    if (capacity > UINT32_MAX / 2) return false;
    DictEntry* entries = static_cast<DictEntry*>(pool::take(size_t(capacity) * sizeof(DictEntry)));
    if (!entries) return false;
    size_t indexBytes = size_t(capacity) * 2 * sizeof(uint32_t);
    uint32_t* index = static_cast<uint32_t*>(pool::alloc(nullptr, indexBytes, 2));
    if (!index) {
        pool::give(entries, size_t(capacity) * sizeof(DictEntry));
        return false;
    }
    std::memset(index, 0, indexBytes);
    uint64_t live = 0;
    for (uint64_t i = 0; i < d->used; i++)
        if (d->entries[i].key.tag != TagDeleted) entries[live++] = d->entries[i];
    if (d->entries) pool::give(d->entries, size_t(d->capacity) * sizeof(DictEntry));
    if (d->index) pool::free(nullptr, d->index, size_t(d->capacity) * 2 * sizeof(uint32_t), 2);
    d->entries = entries;
    d->index = index;
    d->capacity = capacity;
    d->used = live;
    for (uint64_t i = 0; i < live; i++) indexEntry(index, capacity * 2 - 1, entries[i].hash, i);
    return true;
}

}  // namespace

bool dictSet(Dict* d, Value key, Value val) {
    if (readOnly(&d->h)) return false;
    uint64_t h = hashOf(key);
    // A key whose hash or comparison failed is never stored under the neutral answer the
    // failure gave: the caller finds the failure noted and the dict unchanged.
    if (faulted()) return false;
    if (d->index) {
        uint64_t mask = d->capacity * 2 - 1;
        for (uint64_t slot = h & mask; d->index[slot]; slot = (slot + 1) & mask) {
            DictEntry& e = d->entries[d->index[slot] - 1];
            if (e.key.tag == TagDeleted || e.hash != h || !equal(e.key, key)) continue;
            // The new value is in place before the old one is released, so whatever that
            // release sets off never sees a dead value in the dict.
            incref(val);
            Value old = e.value;
            e.value = val;
            decref(old);
            return true;
        }
    }
    if (faulted() || (d->used == d->capacity && !growDict(d))) return false;
    incref(key);
    incref(val);
    uint64_t position = d->used;
    d->entries[position] = DictEntry{key, val, h};
    d->length++;
    d->used++;
    indexEntry(d->index, d->capacity * 2 - 1, h, position);
    return true;
}

bool dictDelete(Dict* d, Value key) {
    if (readOnly(&d->h) || !d->index) return false;
    uint64_t h = hashOf(key);
    uint64_t mask = d->capacity * 2 - 1;
    for (uint64_t slot = h & mask; d->index[slot]; slot = (slot + 1) & mask) {
        DictEntry& e = d->entries[d->index[slot] - 1];
        if (e.key.tag == TagDeleted || e.hash != h || !equal(e.key, key)) continue;
        // The entry is dead before its key and value are released, so whatever those
        // releases set off never meets them in the dict.
        Value oldKey = e.key;
        Value oldValue = e.value;
        e.key = Value{TagDeleted, 0};
        e.value = Value{0, 0};
        d->length--;
        decref(oldKey);
        decref(oldValue);
        return true;
    }
    return false;
}

// ---- Ints ---------------------------------------------------------------------------------------

bool intValue(i128 v, Value* out) {
    if (v >= INT64_MIN && v <= INT64_MAX) {
        *out = Value::pint(int64_t(v));
        return true;
    }
    Big* b = newBig(v);
    if (!b) return false;
    *out = Value::of(TagBig, b);
    return true;
}

bool wide(Value v, i128* out) {
    if (smallInt(v.tag)) {
        *out = int64_t(v.payload);
        return true;
    }
    if (v.tag == TagBig) {
        *out = v.as<Big>()->get();
        return true;
    }
    return false;
}

// ---- Interned literals -----------------------------------------------------------------------

namespace {
Str* findLiteral(const void* text, size_t length, uint64_t h) {
    LiteralTable& t = literals;
    if (!t.capacity) return nullptr;
    for (size_t i = h & (t.capacity - 1); t.slots[i]; i = (i + 1) & (t.capacity - 1)) {
        Str* s = t.slots[i];
        if (s->hash == h && s->length == length && std::memcmp(s->bytes(), text, length) == 0)
            return s;
    }
    return nullptr;
}
}  // namespace

// The block is made outside the lock (making it may refill from the shared pool, whose lock
// is never taken together with another); a thread that finds the text interned meanwhile
// drops its own block.
Str* literal(const void* text, size_t length) {
    uint64_t h = strHash(text, length);
    literals_lock.lock();
    Str* found = findLiteral(text, length, h);
    literals_lock.unlock();
    if (found) return found;
    Str* s = newStr(text, length);
    if (!s) return nullptr;
    s->hash = h;
    literals_lock.lock();
    found = findLiteral(text, length, h);
    LiteralTable& t = literals;
    if (!found && (t.size + 1) * 2 > t.capacity && !growTable(t, [](Str* x) { return x->hash; })) {
        literals_lock.unlock();
        decref(TagStr, uint64_t(uintptr_t(s)));
        return nullptr;
    }
    if (!found) {
        makeImmortal(&s->h);
        size_t i = h & (t.capacity - 1);
        while (t.slots[i]) i = (i + 1) & (t.capacity - 1);
        t.slots[i] = s;
        t.size++;
    }
    literals_lock.unlock();
    if (found) {
        decref(TagStr, uint64_t(uintptr_t(s)));
        return found;
    }
    return s;
}

namespace {
Big* findBigLiteral(i128 v, uint64_t h) {
    BigTable& t = big_literals;
    if (!t.capacity) return nullptr;
    for (size_t i = h & (t.capacity - 1); t.slots[i]; i = (i + 1) & (t.capacity - 1))
        if (t.slots[i]->get() == v) return t.slots[i];
    return nullptr;
}
}  // namespace

// As literal: threads of Program.map intern big literals while others read the table, and a
// growth frees the slot array a reader may be walking, so every access holds the lock; the
// block is made outside it.
Big* bigLiteral(i128 v) {
    uint64_t h = bigKey(v);
    big_literals_lock.lock();
    Big* found = findBigLiteral(v, h);
    big_literals_lock.unlock();
    if (found) return found;
    Big* b = newBig(v);
    if (!b) return nullptr;
    big_literals_lock.lock();
    found = findBigLiteral(v, h);
    BigTable& t = big_literals;
    bool room = found || (t.size + 1) * 2 <= t.capacity ||
                growTable(t, [](Big* x) { return bigKey(x->get()); });
    if (!found && room) {
        makeImmortal(&b->h);
        size_t i = h & (t.capacity - 1);
        while (t.slots[i]) i = (i + 1) & (t.capacity - 1);
        t.slots[i] = b;
        t.size++;
    }
    big_literals_lock.unlock();
    if (found || !room) {
        decref(TagBig, uint64_t(uintptr_t(b)));
        return found;
    }
    return b;
}

// ---- Text helpers -------------------------------------------------------------------------------

namespace {
// Python's type name of each tag below 20; records, bytes and exceptions are named by their
// blocks instead.
constexpr std::string_view kTypeNames[] = {"NoneType",
                                           "bool",
                                           "int",
                                           "float",
                                           "str",
                                           "list",
                                           "tuple",
                                           "dict",
                                           "record",
                                           "function",
                                           "object",
                                           "Node",
                                           "CompiledRuntime",
                                           "int",
                                           "bytes",
                                           "function",
                                           "set",
                                           "exception",
                                           "int",
                                           "Node"};
}  // namespace

std::string_view typeName(Value v) {
    uint64_t tag = (v.tag & 0xffffffffull) == TagRuntime ? TagRuntime : v.tag;
    switch (tag) {
    case TagRecord: {
        const Text& name = v.as<Record>()->cls->name;
        return {name.data, size_t(name.length)};
    }
    case TagBytes: return (v.as<Bytes>()->h.flags & FlagImmutable) ? "bytes" : "Bytes";
    case TagExc: return services.kindName ? services.kindName(v.as<Exc>()->kind) : "Exception";
    default: return tag < std::size(kTypeNames) ? kTypeNames[tag] : "object";
    }
}

size_t printWide(char* out, i128 v) {
    static const char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char digits[kWideDigits];
    size_t n = 0;
    bool negative = v < 0;
    unsigned __int128 mag =
        negative ? (unsigned __int128)0 - (unsigned __int128)v : (unsigned __int128)v;
    while (mag > UINT64_MAX) {
        digits[n++] = char('0' + int(mag % 10));
        mag /= 10;
    }
    uint64_t m = uint64_t(mag);
    while (m >= 100) {
        unsigned r = unsigned(m % 100);
        m /= 100;
        digits[n++] = pairs[2 * r + 1];
        digits[n++] = pairs[2 * r];
    }
    if (m >= 10) {
        digits[n++] = pairs[2 * m + 1];
        digits[n++] = pairs[2 * m];
    } else {
        digits[n++] = char('0' + m);
    }
    size_t k = 0;
    if (negative) out[k++] = '-';
    while (n) out[k++] = digits[--n];
    return k;
}

size_t charOffset(Str* s, uint64_t position) {
    if (s->length == s->chars) return size_t(position);
    const uint8_t* p = s->bytes();
    std::atomic_ref<uint32_t*> slot(s->index);
    uint32_t* index = slot.load(std::memory_order_acquire);
    // The index holds 32-bit offsets: a longer str is walked from its start instead.
    if (!index && s->length <= UINT32_MAX) {
        size_t entries = indexEntries(s);
        uint32_t* built =
            static_cast<uint32_t*>(pool::alloc(nullptr, entries * sizeof(uint32_t), 2));
        if (built) {
            size_t offset = 0;
            for (uint64_t cp = 0; cp <= s->chars; cp++) {
                if (cp % 64 == 0) built[cp / 64] = uint32_t(offset);
                if (cp < s->chars) offset += stepLength(p[offset]);
            }
            uint32_t* expected = nullptr;
            if (slot.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
                index = built;
            } else {
                pool::free(nullptr, built, entries * sizeof(uint32_t), 2);
                index = expected;
            }
        }
    }
    // Without an index (no memory for one) the walk starts at the beginning.
    size_t offset = index ? index[position / 64] : 0;
    uint64_t rest = index ? position % 64 : position;
    while (rest--) offset += stepLength(p[offset]);
    return offset;
}

}  // namespace wuna::value

// ---- Exported helpers
// ------------------------------------------------------------------------------

using wuna::value::Value;

extern "C" {

void wn_incref(int64_t tag, int64_t payload) {
    wuna::value::incref(uint64_t(tag), uint64_t(payload));
}

void wn_decref(int64_t tag, int64_t payload) {
    wuna::value::decref(uint64_t(tag), uint64_t(payload));
}

void wn_free(int64_t kind, int64_t block) {
    wuna::value::free(uint32_t(kind), reinterpret_cast<wuna::value::Obj*>(uintptr_t(block)));
}

bool wn_truthy(int64_t tag, int64_t payload) {
    return wuna::value::truthy(Value{uint64_t(tag), uint64_t(payload)});
}

bool wn_fail(void* ctx, int32_t site, void* str) {
    auto* s = static_cast<wuna::value::Str*>(str);
    if (wuna::value::services.fail)
        wuna::value::services.fail(ctx, site, s->bytes(), size_t(s->length));
    return false;
}
}
