// The settings and the cache directory's upkeep (see module/settings.h).
#include "host/module/settings.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "wuna/runtime/spin.h"

namespace wuna::settings {

Settings current;

namespace {

constexpr uint64_t kStaleTmpNs = 3600ull * 1000000000ull;

// Eviction accounting and eviction itself, and the computed directory with the place it is
// computed from: a writer without the interpreter lock (a background compile) may evict,
// and so compute the directory, while configure sets another place, which frees the old one.
spin::Lock evictionLock;
std::atomic<bool> directoryComputed{false};
char* directory = nullptr;  // owned; null: none
uint64_t bytesSinceCheck = 0;
bool checkRan = false;

// "prefix" + "suffix" on the C heap, or null.
char* joined(const char* prefix, const char* suffix) {
    size_t a = strlen(prefix), b = strlen(suffix);
    char* text = static_cast<char*>(malloc(a + b + 1));
    if (!text) return nullptr;
    memcpy(text, prefix, a);
    memcpy(text + a, suffix, b + 1);
    return text;
}

// mkdir -p; true when the directory exists afterwards.
bool makeDirectories(char* path) {
    size_t length = strlen(path);
    if (!length) return false;
    for (size_t i = 1; i <= length; i++) {
        if (i < length && path[i] != '/') continue;
        char saved = path[i];
        path[i] = 0;
        bool made = mkdir(path, 0777) == 0 || errno == EEXIST;
        path[i] = saved;
        if (!made && i == length) return false;
    }
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

char* computeDirectory() {
    char* path = nullptr;
    if (current.cachePlace == CachePlace::off) return nullptr;
    if (current.cachePlace == CachePlace::directory) {
        path = joined(current.cacheText ? current.cacheText : "", "");
    } else {
        const char* xdg = getenv("XDG_CACHE_HOME");
        const char* home = getenv("HOME");
        if (xdg && xdg[0] == '/')
            path = joined(xdg, "/wuna");
        else if (home)
            path = joined(home, "/.cache/wuna");
    }
    if (path && !makeDirectories(path)) {
        free(path);
        path = nullptr;
    }
    return path;
}

bool endsWith(const char* name, const char* suffix) {
    size_t a = strlen(name), b = strlen(suffix);
    return a >= b && memcmp(name + a - b, suffix, b) == 0;
}

struct Note {
    uint64_t time;
    uint64_t size;
    char* name;
};

uint64_t nanoseconds(const struct timespec& t) {
    return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

}  // namespace

namespace {

// The directory, computed when it is not yet; the caller holds the eviction lock. A failure is
// kept as none until the place is set again.
const char* directoryLocked() {
    if (!directoryComputed.load(std::memory_order_relaxed)) {
        directory = computeDirectory();
        directoryComputed.store(true, std::memory_order_release);
    }
    return directory;
}

}  // namespace

void setCachePlace(CachePlace place, char* text) {
    evictionLock.lock();
    char* oldText = current.cacheText;
    char* oldDirectory = directory;
    current.cachePlace = place;
    current.cacheText = text;
    directory = nullptr;
    directoryComputed.store(false, std::memory_order_relaxed);
    evictionLock.unlock();
    free(oldText);
    free(oldDirectory);
}

const char* cacheDirectory() {
    if (directoryComputed.load(std::memory_order_acquire)) return directory;
    evictionLock.lock();
    const char* dir = directoryLocked();
    evictionLock.unlock();
    return dir;
}

namespace {

// Eviction proper; the caller holds the eviction lock.
void evictLocked(uint64_t limit) {
    const char* dir = directoryLocked();
    if (!dir) return;
    int dirFd = open(dir, O_RDONLY | O_DIRECTORY);
    if (dirFd < 0) return;
    DIR* listing = fdopendir(dirFd);
    if (!listing) {
        close(dirFd);
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    Note* notes = nullptr;
    size_t count = 0, capacity = 0;
    uint64_t total = 0;
    bool complete = true;
    while (struct dirent* entry = readdir(listing)) {
        struct stat info;
        if (fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode))
            continue;
        if (endsWith(entry->d_name, ".tmp")) {
            // A file dated after now (a clock set back) is no stale one.
            uint64_t then = nanoseconds(info.st_mtim);
            if (nanoseconds(now) > then && nanoseconds(now) - then > kStaleTmpNs)
                unlinkat(dirFd, entry->d_name, 0);
            continue;
        }
        if (!endsWith(entry->d_name, ".o")) continue;
        if (count == capacity) {
            size_t bigger = capacity ? capacity * 2 : 64;
            Note* grown = static_cast<Note*>(realloc(notes, bigger * sizeof(Note)));
            if (!grown) {
                complete = false;
                break;
            }
            notes = grown;
            capacity = bigger;
        }
        char* name = strdup(entry->d_name);
        if (!name) {
            complete = false;
            break;
        }
        notes[count++] = {nanoseconds(info.st_mtim), uint64_t(info.st_size), name};
        total += uint64_t(info.st_size);
    }
    // Clearing (limit 0) needs no order; without a full listing the oldest files are
    // unknown, so nothing else is evicted.
    if (total <= limit) {
        // Within the limit: nothing to delete.
    } else if (limit == 0) {
        for (size_t i = 0; i < count; i++) unlinkat(dirFd, notes[i].name, 0);
    } else if (complete) {
        std::stable_sort(notes, notes + count,
                         [](const Note& a, const Note& b) { return a.time < b.time; });
        uint64_t target = (limit / 10) * 8;
        for (size_t i = 0; i < count && total > target; i++)
            if (unlinkat(dirFd, notes[i].name, 0) == 0) total -= notes[i].size;
    }
    for (size_t i = 0; i < count; i++) free(notes[i].name);
    free(notes);
    closedir(listing);
}

}  // namespace

void evictCache(uint64_t limit) {
    evictionLock.lock();
    evictLocked(limit);
    evictionLock.unlock();
}

void noteCacheWrite(uint64_t size) {
    // Read once: configure may change it meanwhile, and a limit of 0 (none) must never
    // reach eviction, which would read it as "delete everything".
    uint64_t limit = current.cacheSize;
    if (limit == 0) return;
    evictionLock.lock();
    bytesSinceCheck += size;
    if (!checkRan || bytesSinceCheck >= limit / 10) {
        checkRan = true;
        bytesSinceCheck = 0;
        evictLocked(limit);
    }
    evictionLock.unlock();
}

void clearCache() { evictCache(0); }

}  // namespace wuna::settings
