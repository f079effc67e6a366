// The in-process module cache: module states shared between programs of one Language object,
// source and path, by {level, module key}, with the states no program uses kept idle for a
// later program (oldest first, at most kIdleModules; the one pushed out of a full list leaves
// the cache and is freed).
//
// A state counts its users: the programs whose current module it is. A cached state holds
// the State, Language and path objects of the program it was made for (taken on insertion),
// so that its code's references into them stay valid while it idles.
//
// Only under the interpreter lock.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace wuna::driver {

struct Compiled;

inline constexpr size_t kIdleModules = 8;

// The cached state under {level, key}, or null.
Compiled* findCached(uint32_t level, const uint8_t key[32]);

// Enters the state under {its level, key} unless it is cached already or the cache holds
// that key (the state then stays uncached); on insertion the state takes a reference to each
// of the three objects (any may be null) unless it holds some already. Running out of memory
// leaves the state uncached. Cannot fail.
void cacheState(Compiled* state, const uint8_t key[32], PyObject* const objects[3]);

// One user more; an idle state leaves the idle list. Cannot fail.
void addUser(Compiled* state);

// One user fewer: a state left without users is freed, or idles when it is cached. Cannot
// fail.
void dropUser(Compiled* state);

// How many states the cache and the idle list hold (for tests).
size_t cachedModuleCount();
size_t idleModuleCount();

}  // namespace wuna::driver
