// The process-wide settings of compiled code (wuna.configure) and the on-disk cache
// directory they place.
//
// configure writes the settings under the interpreter lock; the compiler's driver reads them
// from any thread. The cache directory is computed from the cache place on first use and
// kept; setting the place forgets it, so the next use computes it again. Eviction deletes the
// least recently used compiled object files ("*.o", their modification time being their last
// use) down to 80% of a limit, and temporary files left by writes that died an hour ago;
// limit 0 (clear_cache) deletes every object file.
//
// Writers of cache files (the foreground and background compile workers) account what they
// wrote with noteCacheWrite, which runs an eviction against cache_size after every tenth of
// it written and after the first write of the process, so a cache left oversized by earlier
// processes shrinks early. Accounting and eviction share one byte spin lock; other writers
// wait while an eviction runs. The same lock guards the computed directory and the place it
// comes from, since an eviction may compute it on a thread without the interpreter lock while
// configure sets another place.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wuna::settings {

enum class CachePlace : uint8_t {
    platform,  // $XDG_CACHE_HOME/wuna or ~/.cache/wuna
    off,
    directory,  // the directory given
};

inline constexpr uint64_t kDefaultCacheSize = 1073741824;  // 1 GiB

struct Settings {
    CachePlace cachePlace = CachePlace::platform;
    char* cacheText = nullptr;  // owned, NUL-terminated; the directory of CachePlace::directory
    uint64_t cacheSize = kDefaultCacheSize;  // bytes; 0: no limit
    uint8_t perfMap = 0;
    uint8_t tiers = 1;
};

extern Settings current;

// Sets the cache place, taking ownership of text (null unless CachePlace::directory), freeing the
// text set before and forgetting the computed directory. Takes the eviction lock.
void setCachePlace(CachePlace place, char* text);

// The cache directory (created when missing), or null when there is none. Computed on first
// use after start or after setCachePlace (under the eviction lock); a failure gives none until
// the place is set again. The text stays valid until the place is set again.
[[nodiscard]] const char* cacheDirectory();

// Deletes least recently used object files of the cache directory until they take at most
// 80% of limit, when they take more than limit; limit 0 deletes them all. Nothing when there
// is no directory; file-system failures are silent. Takes the eviction lock.
void evictCache(uint64_t limit);

// The accounting after a cache write of size bytes that succeeded, done only while
// cache_size is not 0: evicts down to cache_size when a tenth of it was written since the
// last check, or when no check ran yet in this process. Takes the eviction lock.
void noteCacheWrite(uint64_t size);

// Empties the cache directory of object files (clear_cache()).
void clearCache();

}  // namespace wuna::settings
