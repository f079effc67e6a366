// The in-process module cache (see modcache.h).
#include "compiler/backend/modcache.h"

#include <cstring>

#include "compiler/backend/driver.h"

namespace wuna::driver {

namespace {

// {level, module key} -> state; one map per level (0 fast, 1 and 2 optimized).
constexpr uint32_t kLevels = 3;
backend::KeyMap<Compiled*> moduleCache[kLevels];
backend::List<Compiled*> idleModules;  // oldest first

Key keyOf(const uint8_t bytes[32]) {
    Key k;
    memcpy(k.bytes, bytes, 32);
    return k;
}

void removeIdle(Compiled* state) {
    for (size_t i = 0; i < idleModules.count; i++) {
        if (idleModules[i] != state) continue;
        memmove(&idleModules[i], &idleModules[i + 1],
                (idleModules.count - i - 1) * sizeof(Compiled*));
        idleModules.count--;
        return;
    }
}

// Out of the cache and freed.
void evict(Compiled* state) {
    moduleCache[state->level].remove(state->moduleKey);
    state->cached = 0;
    Compiled::free(state);
}

}  // namespace

Compiled* findCached(uint32_t level, const uint8_t key[32]) {
    if (level >= kLevels) return nullptr;
    Compiled** there = moduleCache[level].find(keyOf(key));
    return there ? *there : nullptr;
}

void cacheState(Compiled* state, const uint8_t key[32], PyObject* const objects[3]) {
    if (state->cached || state->level >= kLevels) return;
    backend::KeyMap<Compiled*>& cache = moduleCache[state->level];
    if (cache.find(keyOf(key)) || !cache.put(keyOf(key), state)) return;
    state->moduleKey = keyOf(key);
    state->cached = 1;
    if (state->cacheObjects[0] || state->cacheObjects[1] || state->cacheObjects[2]) return;
    for (int i = 0; i < 3; i++) state->cacheObjects[i] = Py_XNewRef(objects[i]);
}

void addUser(Compiled* state) {
    if (state->users == 0) removeIdle(state);
    state->users++;
}

void dropUser(Compiled* state) {
    if (state->users && --state->users) return;
    if (!state->cached) {
        Compiled::free(state);
        return;
    }
    if (!idleModules.push(state)) {
        evict(state);  // no room to keep it idle
        return;
    }
    if (idleModules.count <= kIdleModules) return;
    Compiled* oldest = idleModules[0];
    removeIdle(oldest);
    evict(oldest);
}

size_t cachedModuleCount() {
    size_t n = 0;
    for (auto& cache : moduleCache) n += cache.used;
    return n;
}

size_t idleModuleCount() { return idleModules.count; }

}  // namespace wuna::driver
