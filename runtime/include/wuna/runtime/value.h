// Native values and the reference-counted blocks behind them.
//
// A value is 16 bytes: a tag word and a payload word. Scalars (None, bool, ints, floats,
// node indexes) live in the payload; everything else points at a block that starts with the
// value::Obj header {count, kind, flags}. Compiled code reads and writes these layouts in
// place (counts, list items, str bytes, dict entries), so every block struct is an interface:
// field order and widths must not change (value_layout.h holds them and checks them).
//
// Blocks come from the calling thread's pool (pool::take / pool::give). Containers, functions,
// frames and node blocks carry a gc::Link in front of the header and sit on the thread's
// collector lists while they live. A count at or above 2^62 is immortal: never counted, never
// freed. Releasing is iterative: a block whose count reaches zero while another block is being
// freed is queued on a per-thread pending chain (linked through its dead count word) and
// drained by the outermost free, so nesting depth never reaches the native stack.
//
// Services of layers built later (proxies, parse trees, the failure record, error kind
// names, records as Python objects) are reached through value::services, which
// those layers fill in at start-up; the defaults here behave as if none of their objects
// exists yet.
//
// This header adds to the layouts what works on them: counting, freeing, constructors and the
// operations on values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include "wuna/runtime/gc.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::value {

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

inline bool immortal(const Obj* o) { return o->count >= kImmortal; }
inline gc::Link* linkOf(Obj* o) { return reinterpret_cast<gc::Link*>(o) - 1; }
inline Obj* objOf(gc::Link* l) { return reinterpret_cast<Obj*>(l + 1); }
inline void makeImmortal(Obj* o) { o->count = kImmortal; }

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
    // A record whose class compares, as its Python proxy (for == against Python objects):
    // a new reference, or null with a Python exception. Called under the interpreter lock.
    // Null: such records have no Python object and are unequal to every Python object.
    PyObject* (*recordObject)(Record* r);
    // hash() of the tuple of a comparing record's fields as Python objects: true with *out,
    // or false with a Python exception. Called under the lock. Null: records hash by class.
    bool (*recordPyHash)(Record* r, int64_t* out);
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

// Immortal containers (constants of compiled code, values shared with threads) are read-only:
// every mutator below refuses them, leaving them unchanged, so a shared constant never
// changes under the code that shares it. Module state that compiled code took over (FlagShared)
// is immortal only so that its counts are never written, and stays writable. A caller that
// reports failures tests readOnly first to tell the refusal (a TypeError, readOnlyText) from a
// shortage of memory.
inline bool readOnly(const Obj* o) { return immortal(o) && !(o->flags & FlagShared); }
// The refusal's text for a block of the kind (NUL-terminated, static).
const char* readOnlyText(uint32_t kind);

// Lists: the element summary after a store; room for n items (false: memory ran out, the
// list unchanged); appending and inserting at <= count (the list takes the reference; false
// when memory ran out or the list is read-only, the item not taken); taking the item at
// < count out (the caller gets the list's reference; no read-only check: callers check).
void noteItem(List* list, uint64_t tag);
bool listReserve(List* list, uint64_t n);
bool listAppend(List* list, Value item);
bool listInsert(List* list, uint64_t at, Value item);
Value listTake(List* list, uint64_t at);

// Dicts. dictGet gives a borrowed value, or false when the key is missing. dictSet: false when
// memory ran out or the dict is read-only (unchanged). dictDelete: true when the key was there
// and is removed (its key and value released); false when absent or the dict is read-only.
// Keys are compared with value::equal: a caller that reports failures checks faulted() after.
bool dictSet(Dict* d, Value key, Value val);
bool dictGet(Dict* d, Value key, Value* out);
bool dictDelete(Dict* d, Value key);

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

// Sameness, hashing and truth of native values (equal.cpp, hash.cpp). They cannot fail as
// such: a failure met inside (a Python __eq__, __hash__ or __bool__ that raised, nesting too
// deep) is noted for the caller, which checks value::faulted() (equal.h).
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
