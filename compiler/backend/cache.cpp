// Code keys, cache files and looking code up (see cache.h).
#include "compiler/backend/cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/backend/containers.h"
#include "compiler/backend/driver.h"
#include "compiler/backend/llvmapi.h"
#include "compiler/backend/sha256.h"
#include "host/module/settings.h"
#include "wuna/runtime/spin.h"

namespace wuna::driver {

namespace {

bool identityMade = false;
uint8_t identity[32];

// Code entries of compiled module files: key -> bytes, never removed, so bytes taken out
// under the lock stay valid after it is released.
spin::Lock loadedCodeLock;
backend::KeyMap<KeptCode> loadedCode;

std::atomic<uint64_t> tmpCounter{0};

// The whole file; false on any failure. On success *fd is the still open descriptor.
bool readWhole(const char* path, uint8_t** bytes, uint64_t* size, int* fd) {
    int f = open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0) return false;
    struct stat info;
    if (fstat(f, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(f);
        return false;
    }
    uint64_t length = uint64_t(info.st_size);
    uint8_t* data = static_cast<uint8_t*>(malloc(length ? length : 1));
    if (!data) {
        close(f);
        return false;
    }
    uint64_t got = 0;
    while (got < length) {
        ssize_t n = read(f, data + got, length - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += uint64_t(n);
    }
    if (got != length) {
        free(data);
        close(f);
        return false;
    }
    *bytes = data;
    *size = length;
    *fd = f;
    return true;
}

// A cache file read whole with its times set to now (a failure to set them is ignored).
bool readCacheFile(const char* path, uint8_t** bytes, uint64_t* size) {
    int fd;
    if (!readWhole(path, bytes, size, &fd)) return false;
    // The times of a hit mark its last use, which eviction goes by.
    futimens(fd, nullptr);
    close(fd);
    return true;
}

bool takeLoaded(const uint8_t key[32], KeptCode* out) {
    Key k;
    memcpy(k.bytes, key, 32);
    loadedCodeLock.lock();
    KeptCode* there = loadedCode.find(k);
    if (there) *out = *there;
    loadedCodeLock.unlock();
    return there != nullptr;
}

}  // namespace

const uint8_t* cacheIdentity() {
    if (identityMade) return identity;
    const llvmapi::Table& T = llvmapi::table;
    sha256::Hasher h;
    // "wuna-cache-1" and the LLVM version: 18 bytes for a 6-character version.
    h.update("wuna-cache-1", 12);
    h.update(llvmapi::kLlvmVersion, strlen(llvmapi::kLlvmVersion));
    char* cpu = T.LLVMGetHostCPUName();
    char* features = T.LLVMGetHostCPUFeatures();
    if (cpu) h.update(cpu, strlen(cpu));
    if (features) h.update(features, strlen(features));
    if (cpu) T.LLVMDisposeMessage(cpu);
    if (features) T.LLVMDisposeMessage(features);
    h.finish(identity);
    identityMade = true;
    return identity;
}

void cacheKey(uint8_t out[32], const char* ir, size_t length, uint32_t level, const char* target,
              size_t targetLength) {
    sha256::Hasher h;
    h.update(cacheIdentity(), 32);
    uint8_t levelBytes[4] = {uint8_t(level), uint8_t(level >> 8), uint8_t(level >> 16),
                             uint8_t(level >> 24)};
    h.update(levelBytes, 4);
    if (target) {
        h.update("target ", 7);
        h.update(target, targetLength);
        h.update("\n", 1);
    }
    h.update(ir, length);
    h.finish(out);
}

const char* cacheDirectory() { return settings::cacheDirectory(); }

char* cachePath(const uint8_t key[32]) {
    const char* dir = cacheDirectory();
    if (!dir) return nullptr;
    char hex[65];
    sha256::hex(key, hex);
    size_t dirLength = strlen(dir);
    char* path = static_cast<char*>(malloc(dirLength + 1 + 64 + 2 + 1));
    if (!path) return nullptr;
    memcpy(path, dir, dirLength);
    path[dirLength] = '/';
    memcpy(path + dirLength + 1, hex, 64);
    memcpy(path + dirLength + 65, ".o", 3);
    return path;
}

int writeCacheFile(const char* path, size_t length, const uint8_t* bytes, uint64_t size) {
    // A name no other writer uses: another process has another id, another thread of this
    // one another thread id, and one thread another counter value; created exclusively, so a
    // name left behind by a dead writer is never written into.
    char tmp[4096];
    int n = snprintf(tmp, sizeof tmp, "%.*s.%ld.%ld.%llu.tmp", int(length), path, long(getpid()),
                     long(syscall(SYS_gettid)), (unsigned long long)tmpCounter.fetch_add(1));
    if (n < 0 || size_t(n) >= sizeof tmp) return ENAMETOOLONG;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    uint64_t done = 0;
    while (done < size) {
        ssize_t w = write(fd, bytes + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            int error = w < 0 ? errno : EIO;
            close(fd);
            return error;  // the temporary file stays; eviction removes it after an hour
        }
        done += uint64_t(w);
    }
    if (close(fd) != 0) return errno;
    if (rename(tmp, path) != 0) {
        int error = errno;
        unlink(tmp);
        return error;
    }
    return 0;
}

void* lookupCode(Compiled* state, const uint8_t key[32], char* err, size_t cap) {
    const llvmapi::Capsule* engine = state->engine;
    KeptCode kept;
    if (takeLoaded(key, &kept) && kept.bytes) {
        void* handle = engine->loadObject(kept.bytes, kept.size, err, cap);
        if (handle) {
            state->cacheLoads++;
            return handle;
        }
    }
    char* path = cachePath(key);
    if (!path) return nullptr;
    uint8_t* bytes;
    uint64_t size;
    if (!readCacheFile(path, &bytes, &size)) {
        free(path);
        return nullptr;
    }
    void* handle = engine->loadObject(bytes, size, err, cap);
    free(bytes);
    free(path);
    if (handle) state->cacheLoads++;
    return handle;
}

Status putLoadedCode(const uint8_t key[32], const uint8_t* bytes, uint64_t size) {
    uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (!copy) return Status::outOfMemory;
    memcpy(copy, bytes, size);
    Key k;
    memcpy(k.bytes, key, 32);
    loadedCodeLock.lock();
    bool there = loadedCode.find(k) != nullptr;
    bool stored = there || loadedCode.put(k, KeptCode{copy, size}) != nullptr;
    loadedCodeLock.unlock();
    if (there || !stored) free(copy);
    return stored ? Status::ok : Status::outOfMemory;
}

bool codeBytes(const uint8_t key[32], uint8_t** bytes, uint64_t* size) {
    KeptCode kept;
    if (takeLoaded(key, &kept) && kept.bytes) {
        uint8_t* copy = static_cast<uint8_t*>(malloc(kept.size ? kept.size : 1));
        if (!copy) return false;
        memcpy(copy, kept.bytes, kept.size);
        *bytes = copy;
        *size = kept.size;
        return true;
    }
    char* path = cachePath(key);
    if (!path) return false;
    bool found = readCacheFile(path, bytes, size);
    free(path);
    return found;
}

}  // namespace wuna::driver
