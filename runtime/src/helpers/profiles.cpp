// Entry profiles, site cells and wn_speculate (see profiles.h).
#include "wuna/runtime/helpers/profiles.h"

#include <Python.h>

#include <atomic>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"

namespace {

using std::atomic_ref;
using std::memory_order_acquire;
using std::memory_order_relaxed;
using std::memory_order_release;

}  // namespace

extern "C" uint64_t wuna_profile_count(wuna::helpers::EntryProfile* profile, uint64_t mask,
                                       uint64_t ints) {
    atomic_ref<uint64_t>(profile->seenMask).fetch_or(mask, memory_order_relaxed);
    if (ints) atomic_ref<uint64_t>(profile->intTags).fetch_or(ints, memory_order_relaxed);
    return atomic_ref<uint64_t>(profile->callCount).fetch_add(1, memory_order_relaxed) + 1;
}

extern "C" uint64_t wuna_profile_entry(const wuna::helpers::EntryProfile* profile) {
    return wuna::helpers::typedEntryOf(profile);
}

extern "C" uint64_t wuna_site_count(wuna::helpers::SiteCell* cell) {
    return atomic_ref<uint64_t>(cell->callCount).fetch_add(1, memory_order_relaxed) + 1;
}

extern "C" uint64_t wuna_site_entry(const wuna::helpers::SiteCell* cell) {
    return wuna::helpers::siteEntryOf(cell);
}

namespace wuna::helpers {

uint64_t parkProfile(EntryProfile* profile, uint64_t* ints) {
    atomic_ref<uint64_t>(profile->callCount).store(kParkedCount, memory_order_relaxed);
    *ints = atomic_ref<uint64_t>(profile->intTags).load(memory_order_relaxed);
    return atomic_ref<uint64_t>(profile->seenMask).load(memory_order_relaxed);
}

void publishTypedEntry(EntryProfile* profile, uint64_t accepted, uint64_t address) {
    atomic_ref<uint64_t>(profile->acceptedMask).store(accepted, memory_order_relaxed);
    atomic_ref<uint64_t>(profile->typedEntry).store(address, memory_order_release);
}

uint64_t typedEntryOf(const EntryProfile* profile) {
    auto* word = const_cast<uint64_t*>(&profile->typedEntry);
    return atomic_ref<uint64_t>(*word).load(memory_order_acquire);
}

void publishSiteEntry(SiteCell* cell, uint64_t address) {
    atomic_ref<uint64_t>(cell->entry).store(address, memory_order_release);
}

uint64_t siteEntryOf(const SiteCell* cell) {
    auto* word = const_cast<uint64_t*>(&cell->entry);
    return atomic_ref<uint64_t>(*word).load(memory_order_acquire);
}

}  // namespace wuna::helpers

// Compiled code runs without the interpreter lock; compiling needs it. Whatever happens, the
// program sees nothing: the hook clears what it raised.
extern "C" void wn_speculate(void* c, int64_t id) {
    auto* ctx = static_cast<wuna::helpers::Ctx*>(c);
    wuna::gil::Record* r = wuna::gil::enter();
    if (wuna::bridge::compilerApi.speculate && ctx && ctx->run)
        wuna::bridge::compilerApi.speculate(ctx->run->module, id);
    PyErr_Clear();
    wuna::gil::leave(r);
}
