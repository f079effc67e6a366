// Sets, and the runtime's Python-identical hashing.
//
// A native set must iterate in the order Python would give the same set built the same way,
// because programs print sets and loop over them and a compiled run must print what the
// reference mode prints. So the set block keeps a copy of the interpreter's own set table:
// open addressing over a power-of-two table of {key, hash} slots, nine linear probes and then
// perturbed jumps, dummies for removed keys, the same growth rule and the same rebuild order;
// and it stores each element under the hash the interpreter itself would compute (pyHash).
// When that hash is unavailable (a NaN, a kind Python would not hash, no copy of the string
// key), the runtime hash stands in: the set still works, only its order may differ.
//
// pyHash needs three facts about the interpreter, copied once at module start-up and
// read-only afterwards: hash(None), the interpreter's string-hash key, and which SipHash
// variant it uses. When the key cannot be had (another hash algorithm, a cutoff for short
// strings, no symbol), sip_rounds stays 0 and str and bytes have no native CPython hash.
//
// A set belongs to one thread at a time like every block that is not immortal; hashing or
// comparing a Python-object element takes the interpreter lock (see equal.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/value_layout.h"

namespace wuna::set {

// hash(None) as the interpreter computes it.
extern int64_t noneHash;
// A copy of the interpreter's string-hash key; meaningful only when sip_rounds is not 0.
extern uint8_t hashKey[16];
// 0: str and bytes cannot be hashed natively; 1: SipHash-2-4; 2: SipHash-1-3.
extern uint8_t sip_rounds;

// ---- CPython's hash ---------------------------------------------------------------------

// The SipHash of n bytes under the interpreter's key (the variant sip_rounds names); -1 comes
// out as -2, as the interpreter gives it. Meaningful only when sip_rounds is not 0.
int64_t sip(const uint8_t* bytes, size_t n);

// hash() of the Python object equivalent to v: true with *out, or false when the value has no
// such hash here (unavailable: a NaN, a list, no string key, a str that is not valid UTF-8).
// A Python object whose __hash__ raises, or nesting too deep, is also unavailable and leaves
// its failure noted for the caller (value::faulted, equal.h).
bool pyHash(value::Value v, int64_t* out);

// The hash an element is stored under: pyHash, or when that is unavailable the runtime hash
// (value::hashOf) with -1 taken as -2.
int64_t elementHash(value::Value v);

// ---- The table ---------------------------------------------------------------------------

inline constexpr uint64_t kMinSize = 8;
inline constexpr int kLinearProbes = 9;
inline constexpr int kPerturbShift = 5;

// A new empty set (tracked, count 1, an 8-slot table), or null when memory ran out.
value::Set* make();

// A new empty set whose table has size slots (a power of two, at least kMinSize) for the
// caller to lay out slot by slot (setting fill and used to match), or null when memory ran out.
value::Set* withTable(uint64_t size);

// Stores key under hash h unless an equal key is there. True when the key is in the set
// afterwards (one reference taken when it was stored); false when growing the table ran out of
// memory (the key then stored, the table as before the attempt). Callers check
// value::hashable first; a failing comparison leaves its failure noted (equal.h).
bool addHashed(value::Set* s, value::Value key, int64_t h);

// Rebuilds the table for at least minUsed keys, in table order, dropping dummies. False when
// memory ran out (the set unchanged).
bool resize(value::Set* s, uint64_t minUsed);

// Whether an element equal to v is in the set.
bool contains(value::Set* s, value::Value v);

// Whether every element of a is in b.
bool isSubset(value::Set* a, value::Set* b);

// ---- Set algebra ---------------------------------------------------------------------------
//
// The interpreter's own steps for |, -, &, ^ and their in-place forms, so that a result holds
// the elements Python's would (the left or the right one of two equal elements) in the order
// Python's iterates. Each may compare elements (a failing comparison leaves its failure noted,
// equal.h). A false or null answer means memory ran out; the target then holds a consistent
// part of the result and stays a valid set.

// Removes the element equal to v stored under h (its reference released, a dummy left):
// whether it was there.
bool discardHashed(value::Set* s, value::Value v, int64_t h);
// Empties a set into a fresh 8-slot table, releasing its elements. False when memory ran out
// (the set then unchanged).
bool clear(value::Set* s);
// s |= other.
bool merge(value::Set* s, value::Set* other);
// s -= other.
bool differenceUpdate(value::Set* s, value::Set* other);
// s ^= other.
bool symmetricUpdate(value::Set* s, value::Set* other);
// s &= other: the intersection, whose table then replaces the target's.
bool intersectionUpdate(value::Set* s, value::Set* other);
// New sets (count 1), or null when memory ran out.
value::Set* copy(value::Set* s);
value::Set* difference(value::Set* a, value::Set* b);
value::Set* intersection(value::Set* a, value::Set* b);
value::Set* symmetricDifference(value::Set* a, value::Set* b);

// Exchanges fill, used, mask and table of two sets (not their headers, nor their pop
// fingers), as the interpreter swaps two set bodies. Cannot fail.
void swapTables(value::Set* a, value::Set* b);

// The same against n items (each hashable: callers check value::hashable first), as the
// interpreter walks an argument that is no set: the items s holds, in item order, each item
// itself kept (a new set, or null when memory ran out); s &= items; s -= items (then the
// dummies resized away as a difference does). False: memory ran out.
value::Set* intersectionItems(value::Set* s, const value::Value* items, uint64_t n);
bool intersectionUpdateItems(value::Set* s, const value::Value* items, uint64_t n);
bool differenceUpdateItems(value::Set* s, const value::Value* items, uint64_t n);

// Returns a set's table to where it came from (value::freeBlock; the keys are released
// before).
void freeTable(value::Set* s);

}  // namespace wuna::set
