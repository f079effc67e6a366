// Sets and the runtime's Python-identical hashing state.
//
// The runtime hashes str and bytes values exactly as the interpreter does, so that native
// sets and dicts order and find keys the way Python's would. That needs three facts about
// the interpreter, copied once at module start-up and read-only afterwards: hash(None), the
// interpreter's string-hash key, and which SipHash variant it uses. When the key cannot be
// had (another hash algorithm, a cutoff for short strings, no symbol), sip_rounds stays 0
// and str and bytes hashes are taken from Python instead.
#pragma once
#include <cstdint>

namespace wuna::set {

// hash(None) as the interpreter computes it.
extern int64_t noneHash;
// A copy of the interpreter's string-hash key; meaningful only when sip_rounds is not 0.
extern uint8_t hashKey[16];
// 0: str and bytes cannot be hashed natively; 1: SipHash-2-4; 2: SipHash-1-3.
extern uint8_t sip_rounds;

}  // namespace wuna::set
