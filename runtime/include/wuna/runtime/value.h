// Native values and the reference-counted blocks behind them.
//
// A value is 16 bytes: a tag word and a payload word. Scalars (None, bool, ints, floats,
// node indexes) live in the payload; everything else points at a block that starts with the
// value::Obj header {count, kind, flags}. Compiled code reads and writes these layouts in
// place (counts, list items, str bytes, dict entries), so every struct below is an interface:
// field order and widths must not change.
//
// Blocks come from the calling thread's pool (pool::take / pool::give). Containers, functions,
// frames and node blocks carry a gc::Link in front of the header and sit on the thread's
// collector lists while they live. A count at or above 2^62 is immortal: never counted, never
// freed. Releasing is iterative: a block whose count reaches zero while another block is being
// freed is queued on a per-thread pending chain (linked through its dead count word) and
// drained by the outermost free, so nesting depth never reaches the native stack.
//
// Services of layers built later (proxies, parse trees, the failure record, error kind
// names, equality and hashing of Python objects) are reached through value::services, which
// those layers fill in at start-up; the defaults here behave as if none of their objects
// exists yet.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include "wuna/runtime/gc.h"

typedef struct _object PyObject;

namespace wuna::value {

using i128 = __int128;

inline constexpr uint64_t kImmortal = 0x4000000000000000ull;

// Tag words.
enum : uint64_t {
    TagNone = 0,
    TagBool = 1,
    TagInt = 2,  // the language's checked 64-bit int (I64 in Python)
    TagFloat = 3,
    TagStr = 4,
    TagList = 5,
    TagTuple = 6,
    TagDict = 7,
    TagRecord = 8,
    TagFunction = 9,
    TagPy = 10,  // a Python object, counted through Python
    TagNodeIndex = 11,
    TagRuntime = 12,  // CompiledRuntime; the high 32 bits hold the scope index
    TagBig = 13,
    TagBytes = 14,
    TagClosure = 15,  // function of the second kind
    TagSet = 16,
    TagExc = 17,
    TagPint = 18,  // a plain Python int that fits 64 bits
    TagNode = 19,  // counted node block
    TagUnset = 0xffff0000ull,
    TagTail = 0xffff0002ull,
    TagCaptured = 0xfffffffdull,
    TagDeleted = 0xffffffffull,
};
inline constexpr uint32_t KindFrame = 100;

// Header flag bits.
enum : uint32_t {
    FlagProxy = 1u << 31,
    FlagOrphan = 1u << 30,
    FlagCandidate = 1u << 29,
    FlagReachable = 1u << 28,
    FlagGarbage = 1u << 27,
    FlagOwnsData = 1u << 21,
    FlagImmutable = 1u << 20,
    FlagBury = 1u << 19,
    SummaryInt = 1u << 0,
    SummaryFloat = 1u << 1,
    SummaryPint = 1u << 2,
    SummaryAll = 7u,
};

struct Value {
    uint64_t tag;
    uint64_t payload;

    static constexpr Value none() { return {TagNone, 0}; }
    static constexpr Value unset() { return {TagUnset, 0}; }
    static constexpr Value boolean(bool b) { return {TagBool, b ? 1u : 0u}; }
    static constexpr Value integer(int64_t i) { return {TagInt, uint64_t(i)}; }
    static constexpr Value pint(int64_t i) { return {TagPint, uint64_t(i)}; }
    static Value real(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        return {TagFloat, bits};
    }
    template <class B>
    static Value of(uint64_t tag, B* block) {
        return {tag, uint64_t(uintptr_t(block))};
    }
    template <class B>
    B* as() const {
        return reinterpret_cast<B*>(uintptr_t(payload));
    }
};

// Whether a tag word names a counted block.
inline constexpr bool counted(uint64_t tag) {
    return (tag >= TagStr && tag <= TagFunction) || (tag >= TagBig && tag <= TagExc) ||
           tag == TagNode;
}
// Whether blocks of a kind carry a link header.
inline constexpr bool linked(uint32_t kind) {
    return kind == TagList || kind == TagTuple || kind == TagDict || kind == TagRecord ||
           kind == TagFunction || kind == TagClosure || kind == TagSet || kind == TagExc ||
           kind == TagNode || kind == KindFrame;
}

struct Obj {
    uint64_t count;
    uint32_t kind;
    uint32_t flags;
};

inline bool immortal(const Obj* o) { return o->count >= kImmortal; }
inline gc::Link* linkOf(Obj* o) { return reinterpret_cast<gc::Link*>(o) - 1; }
inline Obj* objOf(gc::Link* l) { return reinterpret_cast<Obj*>(l + 1); }
inline void makeImmortal(Obj* o) { o->count = kImmortal; }

struct Str {
    Obj h;
    uint64_t length;  // bytes
    uint64_t chars;   // code points (the byte length when the bytes are not valid UTF-8)
    uint64_t hash;    // cached runtime hash, 0 until computed
    uint32_t* index;  // byte offset of every 64th code point, built on first need
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    std::string_view text() const {
        return {reinterpret_cast<const char*>(this + 1), size_t(length)};
    }
};

struct Big {
    Obj h;
    uint64_t lo;
    uint64_t hi;
    i128 get() const { return i128((unsigned __int128)hi << 64 | lo); }
};

inline constexpr uint64_t kListInline = 4;
struct List {
    Obj h;
    uint64_t count;
    uint64_t capacity;
    Value* items;  // inlineItems, or capacity slots from pool::take
    Value inlineItems[kListInline];
    bool outOfLine() const { return items != inlineItems; }
};

struct Tuple {
    Obj h;
    uint64_t count;
    Value* items() { return reinterpret_cast<Value*>(this + 1); }
};

struct DictEntry {
    Value key;
    Value value;
    uint64_t hash;
};

struct Dict {
    Obj h;
    uint64_t length;  // live entries
    uint64_t used;    // live and deleted entries
    uint64_t capacity;
    DictEntry* entries;  // capacity entries, from pool::take
    uint32_t* index;     // 2 x capacity slots: 0 empty, else 1 + entry position (pool, 4-aligned)
};

struct Text {
    const char* data;
    uint64_t length;
};

// The native description of a Python class kept as record blocks (filled by the conversion
// layer; allocated from the C heap and kept for the process).
struct RecordClass {
    Text name;
    Text fullName;
    Text* fields;
    uint64_t fieldCount;
    PyObject* pyClass;
    RecordClass* base;
    uint8_t eq;
    uint8_t slots;
    uint8_t frozen;
};

struct Record {
    Obj h;
    RecordClass* cls;
    Value* fields() { return reinterpret_cast<Value*>(this + 1); }
};

struct Bytes {
    Obj h;
    uint8_t* data;
    uint64_t length;
    PyObject* owner;  // a view keeps its owner alive; null when the block owns its data
};

struct Set {
    Obj h;
    uint64_t fill;
    uint64_t used;
    uint64_t mask;
    Value* table;  // mask + 1 slots from pool::take, returned by value::freeBlock
    uint64_t finger;
};

struct Exc {
    Obj h;
    uint32_t kind;  // errors::Kind
    int32_t site;
    Value args;
    Value value;
    Value message;
    Value cause;
};

struct Frame {
    Obj h;
    Frame* parent;
    uint64_t count;
    Value* slots() { return reinterpret_cast<Value*>(this + 1); }
};

// A program function (kind 9). The code word is never released by the runtime.
struct Function {
    Obj h;
    void* code;
    Frame* frame;
    uint64_t index;  // u32 in a word of its own
    Str* name;
    uint64_t module;
};

// A function a semantic made (kind 15). The three trailing words are never released.
struct Closure {
    Obj h;
    Obj* captured;
    const void* descriptor;
    uint64_t module;
    void* code;
};

// A counted node of a tree made at run time (kind 19).
struct Node {
    Obj h;
    void* holder;    // the tree, counted by its own layer
    uint64_t index;  // u32
};

// Layers built after this one.
struct Services {
    // The proxy registry's verdict for a block whose last native reference went away: true
    // when the block is to be freed now. Null: no proxies exist, the block is freed.
    bool (*proxyReleased)(Obj* block);
    // Drops one count of a run-time parse tree. Null: trees are not made yet.
    void (*treeRelease)(void* holder);
    // Records a run's failure with a message (the first failure of a run wins).
    bool (*fail)(void* ctx, int32_t site, const uint8_t* text, size_t length);
    // The Python name of an error kind.
    std::string_view (*kindName)(uint32_t kind);
    // Equality and runtime hash where a Python object (tag 10) or a comparing record takes
    // part. Null: identity and the address, as for objects without their own == and hash.
    bool (*hostEqual)(Value a, Value b);
    uint64_t (*hostHash)(Value v);
    // Whether every element of set a is in set b (the set layer). Null: sets are equal only
    // to themselves.
    bool (*setSubset)(Set* a, Set* b);
};
extern Services services;

// Reference counting and freeing.
void incref(uint64_t tag, uint64_t payload);
void decref(uint64_t tag, uint64_t payload);
inline void incref(Value v) { incref(v.tag, v.payload); }
inline void decref(Value v) { decref(v.tag, v.payload); }
void free(uint32_t kind, Obj* block);
void dropReferences(Obj* block);
void freeBlock(Obj* block);
void freeListItems(List* list);
// One count fewer on a block pointer held without a tag (a captured frame); at zero its
// references are dropped and it is freed.
void releaseCaptured(Obj* block);
// Bytes a block occupies in its pool allocation, link header excluded.
size_t blockSize(Obj* block);

// Constructors: count 1, or null when memory runs out.
Str* newStr(const void* bytes, size_t length);
Big* newBig(i128 v);
Tuple* newTuple(uint64_t n);
List* newList(uint64_t capacity);
Dict* newDict();
Record* newRecord(RecordClass* cls);
Bytes* newOwnedBytes(uint64_t n);
Bytes* newBytesView(const uint8_t* data, uint64_t length, PyObject* owner);
Bytes* bytesSlice(Bytes* b, uint64_t start, uint64_t end);
Frame* newFrame(Frame* parent, uint64_t n);
Function* newFunction(void* code, Frame* frame, uint32_t index, Str* name, uint64_t module,
                      uint32_t flags);
Closure* newClosure(Obj* captured, const void* descriptor, uint64_t module, void* code);
Exc* newExc(uint32_t kind, Value args, Value val, Value message, int32_t site);
Node* newNode(void* holder, uint32_t index);

// Lists: the element summary after a store, and appending (the list takes the reference).
void noteItem(List* list, uint64_t tag);
bool listAppend(List* list, Value item);

// Dicts. dictGet gives a borrowed value, or false when the key is missing.
bool dictSet(Dict* d, Value key, Value val);
bool dictGet(Dict* d, Value key, Value* out);

// Ints.
bool intValue(i128 v, Value* out);
bool wide(Value v, i128* out);

// Interned literals (immortal, process-wide).
Str* literal(const void* text, size_t length);
Big* bigLiteral(i128 v);

// Text helpers.
std::string_view typeName(Value v);
inline constexpr size_t kWideDigits = 41;  // sign and 39 digits of an i128, and a spare
size_t printWide(char* out, i128 v);       // writes at most kWideDigits bytes
size_t charOffset(Str* s, uint64_t position);
uint64_t countCodePoints(const uint8_t* bytes, size_t length);

// Sameness, hashing and truth of native values.
bool equal(Value a, Value b);
uint64_t hashOf(Value v);
bool truthy(Value v);

}  // namespace wuna::value

// Helpers compiled code calls by name.
#ifndef WN_EXPORT
#define WN_EXPORT __attribute__((visibility("default")))
#endif
extern "C" {
WN_EXPORT void wn_incref(int64_t tag, int64_t payload);
WN_EXPORT void wn_decref(int64_t tag, int64_t payload);
WN_EXPORT void wn_free(int64_t kind, int64_t block);
WN_EXPORT bool wn_truthy(int64_t tag, int64_t payload);
WN_EXPORT bool wn_fail(void* ctx, int32_t site, void* str);
}
