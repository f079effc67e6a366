// The layouts of native values and of the blocks behind them: the tag words, the header
// flags, the 16-byte Value and every block struct, with no function that works on them (those
// are in value.h). Compiled code reads and writes these layouts in place (counts, list items,
// str bytes, dict entries), and the tests read some of them from Python through
// tests/support/abi.py, so every struct here is an interface: field order and widths must not
// change. The asserts at the end are the promise; every struct is standard-layout, so offsetof
// is well defined.
//
// A block starts with the Obj header {count, kind, flags}; containers, functions, frames and
// node blocks also carry a gc::Link just before it. Variable parts follow a block's struct
// directly (a str's bytes, a tuple's items, a record's fields, a frame's slots).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

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
    // What a typed entry returns when it failed (the failure is recorded on the run's
    // context): never the tag of a value.
    TagTypedFailure = 0xffff0001ull,
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
    // Module state compiled code took over: immortal, so that threads never count it, yet
    // changed by compiled code and through its proxy alike (it is no constant).
    FlagShared = 1u << 18,
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
    // A value passed as the two signed words of the helpers' C signatures.
    static constexpr Value words(int64_t tag, int64_t payload) {
        return {uint64_t(tag), uint64_t(payload)};
    }
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

struct Obj {
    uint64_t count;
    uint32_t kind;
    uint32_t flags;
};

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

// A slot of a set's table: the key, and the hash it was stored under. An empty slot has the
// tag TagUnset, a dummy (a removed key) the tag TagDeleted.
struct SetSlot {
    Value key;
    int64_t hash;
};

struct Set {
    Obj h;
    uint64_t fill;
    uint64_t used;
    uint64_t mask;
    SetSlot* table;  // mask + 1 slots: from the pool up to 16 slots, else the C heap
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
// Where compiled code finds a frame's parent word and its slot 0 (slot i lies 16 * i bytes
// further on).
inline constexpr uint64_t kFrameParent = offsetof(Frame, parent);
inline constexpr uint64_t kFrameSlots = sizeof(Frame);

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

// What a function a semantic made knows of itself (made by the code generator, never freed by
// the runtime): its name, its parameters' names and their count, for the texts of its calls.
struct ClosureDescriptor {
    Text name;
    const Text* params;
    uint32_t paramCount;
};

// A counted node of a tree made at run time (kind 19).
struct Node {
    Obj h;
    void* holder;    // the tree, counted by its own layer
    uint64_t index;  // u32
};

static_assert(sizeof(Value) == 16 && offsetof(Value, tag) == 0 && offsetof(Value, payload) == 8);
static_assert(sizeof(gc::Link) == 16);
static_assert(sizeof(Obj) == 16 && offsetof(Obj, count) == 0 && offsetof(Obj, kind) == 8 &&
              offsetof(Obj, flags) == 12);
// A str's bytes follow its struct, at 48.
static_assert(sizeof(Str) == 48 && offsetof(Str, length) == 16 && offsetof(Str, chars) == 24 &&
              offsetof(Str, hash) == 32 && offsetof(Str, index) == 40);
static_assert(sizeof(Big) == 32 && offsetof(Big, lo) == 16 && offsetof(Big, hi) == 24);
static_assert(sizeof(List) == 104 && offsetof(List, count) == 16 &&
              offsetof(List, capacity) == 24 && offsetof(List, items) == 32 &&
              offsetof(List, inlineItems) == 40);
// A tuple's items follow its struct, at 24.
static_assert(sizeof(Tuple) == 24 && offsetof(Tuple, count) == 16);
static_assert(sizeof(DictEntry) == 40 && offsetof(DictEntry, key) == 0 &&
              offsetof(DictEntry, value) == 16 && offsetof(DictEntry, hash) == 32);
static_assert(sizeof(Dict) == 56 && offsetof(Dict, length) == 16 && offsetof(Dict, used) == 24 &&
              offsetof(Dict, capacity) == 32 && offsetof(Dict, entries) == 40 &&
              offsetof(Dict, index) == 48);
// A record's fields follow its struct, at 24.
static_assert(sizeof(Record) == 24 && offsetof(Record, cls) == 16);
static_assert(sizeof(Bytes) == 40 && offsetof(Bytes, data) == 16 && offsetof(Bytes, length) == 24 &&
              offsetof(Bytes, owner) == 32);
static_assert(sizeof(SetSlot) == 24 && offsetof(SetSlot, key) == 0 &&
              offsetof(SetSlot, hash) == 16);
static_assert(sizeof(Set) == 56 && offsetof(Set, fill) == 16 && offsetof(Set, used) == 24 &&
              offsetof(Set, mask) == 32 && offsetof(Set, table) == 40 &&
              offsetof(Set, finger) == 48);
static_assert(sizeof(Exc) == 88 && offsetof(Exc, kind) == 16 && offsetof(Exc, site) == 20 &&
              offsetof(Exc, args) == 24 && offsetof(Exc, value) == 40 &&
              offsetof(Exc, message) == 56 && offsetof(Exc, cause) == 72);
// A frame's slots follow its struct, at 32.
static_assert(sizeof(Frame) == 32 && offsetof(Frame, parent) == 16 && offsetof(Frame, count) == 24);
static_assert(sizeof(Function) == 56 && offsetof(Function, code) == 16 &&
              offsetof(Function, frame) == 24 && offsetof(Function, index) == 32 &&
              offsetof(Function, name) == 40 && offsetof(Function, module) == 48);
static_assert(sizeof(Closure) == 48 && offsetof(Closure, captured) == 16 &&
              offsetof(Closure, descriptor) == 24 && offsetof(Closure, module) == 32 &&
              offsetof(Closure, code) == 40);
static_assert(sizeof(ClosureDescriptor) == 32 && offsetof(ClosureDescriptor, params) == 16 &&
              offsetof(ClosureDescriptor, paramCount) == 24);
static_assert(sizeof(Node) == 32 && offsetof(Node, holder) == 16 && offsetof(Node, index) == 24);
static_assert(std::is_standard_layout_v<Str> && std::is_standard_layout_v<List> &&
              std::is_standard_layout_v<Dict> && std::is_standard_layout_v<Exc> &&
              std::is_standard_layout_v<Function> && std::is_standard_layout_v<Closure>);
// The numbers compiled code and the tests use.
static_assert(kImmortal == 0x4000000000000000ull && TagStr == 4 && TagTuple == 6 &&
              KindFrame == 100);

}  // namespace wuna::value
