// The perf map (see perfmap.h).
#include "compiler/backend/perfmap.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/backend/driver.h"

namespace wuna::driver {

namespace {

constexpr uint64_t kMaxSize = 0x100000;  // 1 MiB
constexpr uint64_t kLastSize = 0x1000;   // 4 KiB
constexpr size_t kLine = 512;
constexpr int kTemporaryTries = 16;

// address -> owned label; lives for the process.
backend::U64Map<char*> perfNames;
uint64_t temporaryCounter = 0;

// The last path component, a trailing "/" ignored; empty for "" or only slashes.
void baseName(const char* path, const char** start, size_t* length) {
    size_t end = strlen(path);
    while (end > 0 && path[end - 1] == '/') end--;
    size_t begin = end;
    while (begin > 0 && path[begin - 1] != '/') begin--;
    *start = path + begin;
    *length = end - begin;
}

const compile::OutOfLine* outOfLineRecord(const compile::Compiler* c, const char* symbol) {
    for (size_t i = 0; i < c->outOfLine.count; i++)
        if (strcmp(c->outOfLine[i].symbol, symbol) == 0) return &c->outOfLine[i];
    return nullptr;
}

// Writes the lines of every known address, ascending, into a fresh file created exclusively
// beside the map and renamed over it.
void writeFile(const uint64_t* addresses, size_t count) {
    char path[64];
    perfMapPath(path, sizeof path);
    char temporary[128];
    int fd = -1;
    for (int i = 0; i < kTemporaryTries && fd < 0; i++) {
        snprintf(temporary, sizeof temporary, "%s.%ld.%llu.tmp", path, long(syscall(SYS_gettid)),
                 (unsigned long long)temporaryCounter++);
        fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) return;
    }
    if (fd < 0) return;
    for (size_t i = 0; i < count; i++) {
        uint64_t size = i + 1 < count ? addresses[i + 1] - addresses[i] : kLastSize;
        if (size > kMaxSize) size = kMaxSize;
        char** label = perfNames.find(addresses[i]);
        char line[kLine];
        int n = snprintf(line, sizeof line, "%llx %llx %s\n", (unsigned long long)addresses[i],
                         (unsigned long long)size, label ? *label : "");
        if (n < 0 || size_t(n) >= sizeof line) continue;  // a line that does not fit is left out
        ssize_t written = write(fd, line, size_t(n));
        (void)written;
    }
    bool closed = close(fd) == 0;
    if (!closed || rename(temporary, path) != 0) unlink(temporary);
}

}  // namespace

void perfMapPath(char* buf, size_t cap) { snprintf(buf, cap, "/tmp/perf-%ld.map", long(getpid())); }

char* perfLabel(const char* symbol, const char* qualname, const char* file, uint32_t firstLine) {
    if (!qualname) return strdup(symbol);
    const char* base;
    size_t baseLength;
    baseName(file ? file : "", &base, &baseLength);
    int n =
        snprintf(nullptr, 0, "%s %s (%.*s:%u)", symbol, qualname, int(baseLength), base, firstLine);
    if (n < 0) return nullptr;
    char* label = static_cast<char*>(malloc(size_t(n) + 1));
    if (!label) return nullptr;
    snprintf(label, size_t(n) + 1, "%s %s (%.*s:%u)", symbol, qualname, int(baseLength), base,
             firstLine);
    return label;
}

void updatePerfMap(Compiled* state) {
    compile::Compiler* c = &state->compiler;
    if (compile::noteDeclaredNames(c) != Status::ok) return;
    for (size_t i = 0; i < c->names.count; i++) {
        backend::Text name = c->names[i];
        if (name.length < state->prefixLength ||
            memcmp(name.data, state->prefix, state->prefixLength) != 0)
            continue;
        uint64_t address = state->engine->symbolAddress(name.data);  // the names are NUL-terminated
        if (!address) continue;
        const compile::OutOfLine* record = outOfLineRecord(c, name.data);
        char* label = record
                          ? perfLabel(name.data, record->qualname, record->file, record->firstLine)
                          : strdup(name.data);
        if (!label) return;
        char** there = perfNames.find(address);
        if (there) {
            free(*there);
            *there = label;
        } else if (!perfNames.put(address, label)) {
            free(label);
            return;
        }
    }
    uint64_t* addresses =
        static_cast<uint64_t*>(malloc((perfNames.used ? perfNames.used : 1) * sizeof(uint64_t)));
    if (!addresses) return;
    size_t count = 0;
    perfNames.forEach([&](uint64_t address, char*) { addresses[count++] = address; });
    std::sort(addresses, addresses + count);
    writeFile(addresses, count);
    free(addresses);
}

}  // namespace wuna::driver
