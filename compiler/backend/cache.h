// The compiled-code cache: code keys, the on-disk cache files, and looking code up.
//
// A code key is the SHA-256 of the cache identity (which pins the LLVM version and this
// machine's CPU name and features, computed once per process), the optimisation level, the
// target line of an ahead-of-time build, and the module's IR text: identical modules share
// code across programs and processes, and a cache directory shared between machines never
// loads foreign code. A cache file is "<directory>/<64 hex digits>.o" holding exactly the
// object bytes. It is written under a temporary name unique to the writer (process id, thread
// id and a counter, created exclusively) and renamed into place, so a reader sees no file or a
// complete one, even when several threads of one process write the same key at once.
//
// lookupCode looks first in loadedCode (code entries of compiled module files, filled by
// whoever loads them, never emptied), then on disk; a hit on disk sets the file's times to
// now, which is what makes its modification time the time of last use for eviction
// (settings::evictCache). Eviction accounting after a write is settings::noteCacheWrite.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/status.h"

namespace wuna::driver {

struct Compiled;

// The 32-byte cache identity. The LLVM table must be loaded.
const uint8_t* cacheIdentity();

// out = SHA-256(identity, level as u32 little-endian, ["target " target "\n"], IR text).
void cacheKey(uint8_t out[32], const char* ir, size_t length, uint32_t level, const char* target,
              size_t targetLength);

// The cache directory, or null when there is none (settings::cacheDirectory).
const char* cacheDirectory();

// "<directory>/<key hex>.o" on the C heap, or null exactly when there is no directory (or
// memory ran out).
char* cachePath(const uint8_t key[32]);

// Writes the bytes under path through a temporary file. 0, or an errno value; no file ever
// appears under path unless it is complete.
int writeCacheFile(const char* path, size_t length, const uint8_t* bytes, uint64_t size);

// Loaded code for the key: from loadedCode, else from the cache file. A handle (the state's
// loads count raised), or null (the engine's text, if any, left in err).
void* lookupCode(Compiled* state, const uint8_t key[32], char* err, size_t cap);

// Adds a copy of object bytes to loadedCode under the key (a later copy for the key is
// ignored). ok, or outOfMemory (nothing added).
Status putLoadedCode(const uint8_t key[32], const uint8_t* bytes, uint64_t size);

// A malloc'd copy of the object bytes of a key: from loadedCode, else the cache file (whose
// times are set to now). false when neither has them.
bool codeBytes(const uint8_t key[32], uint8_t** bytes, uint64_t* size);

}  // namespace wuna::driver
