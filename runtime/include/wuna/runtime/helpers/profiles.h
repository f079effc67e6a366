// The run-time records through which compiled code adapts itself while it runs: a program
// function's entry profile and an out-of-line helper call site's cell.
//
// Both are written by compiled code on any thread at once (a program's run thread, the
// workers of Program.map) and read by wn_speculate / wn_specialize under the interpreter
// lock. So every update here is atomic: the counters and the seen-kinds mask with relaxed
// read-modify-write operations (a lost count or kind bit would make a function speculate on
// kinds it was never given), and a compiled entry is published by storing its address last
// with release order, after the mask it accepts, and read with acquire order. A reader that
// sees the address therefore sees the accepted mask that goes with it.
//
// Layouts are fixed: emitted code addresses the fields by offset (static_asserts below).
// Nothing here fails.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wuna::helpers {

// The profile of a generic entry without declared kinds. Argument i of the seen and accepted
// masks is in 16-bit lane i mod 4.
struct EntryProfile {
    uint64_t typedEntry;  // code address of the linked typed entry; 0 while there is none
    uint64_t callCount;   // parked at kParkedCount by wn_speculate
    uint64_t seenMask;    // OR of the argument kind masks of the counted calls
    uint64_t acceptedMask;
    uint64_t parameterCount;
    // Which int tags the counted calls gave: per 16-bit lane, bit 0 a checked int (tag 2),
    // bit 1 a plain one (tag 18); the seen mask counts both as int, their arithmetic differs.
    uint64_t intTags;
};
static_assert(sizeof(EntryProfile) == 48);
static_assert(offsetof(EntryProfile, typedEntry) == 0 && offsetof(EntryProfile, callCount) == 8 &&
              offsetof(EntryProfile, seenMask) == 16 && offsetof(EntryProfile, acceptedMask) == 24 &&
              offsetof(EntryProfile, parameterCount) == 32 && offsetof(EntryProfile, intTags) == 40);

// The cell of a specialisable out-of-line call site.
struct SiteCell {
    uint64_t entry;      // code address of the specialised version; 0 while there is none
    uint64_t callCount;  // calls counted so far
};
static_assert(sizeof(SiteCell) == 16 && offsetof(SiteCell, callCount) == 8);

// The call count wn_speculate leaves behind: never equal to a threshold again.
inline constexpr uint64_t kParkedCount = 0x8000000000000000ull;
// What a call with another argument count ORs into the seen mask: bit 15 of every lane.
inline constexpr uint64_t kCountMismatchMask = 0x8000800080008000ull;

}  // namespace wuna::helpers

extern "C" {
// Counts one call of a generic entry: ORs mask into the seen mask and ints into the int-tags
// word, adds one to the call count; the new count. Called by compiled code through its
// address.
uint64_t wuna_profile_count(wuna::helpers::EntryProfile* profile, uint64_t mask, uint64_t ints);
// The linked typed entry's address (acquire), 0 when none: what the dispatch of a generic
// entry reads before the accepted mask. Called by compiled code through its address.
uint64_t wuna_profile_entry(const wuna::helpers::EntryProfile* profile);
// Counts one call of a site; the new count.
uint64_t wuna_site_count(wuna::helpers::SiteCell* cell);
// The site's specialised version (acquire), 0 when none: what a site call reads before it
// calls the version. Called by compiled code through its address.
uint64_t wuna_site_entry(const wuna::helpers::SiteCell* cell);
}

namespace wuna::helpers {

// Parks the profile's count and gives the seen mask as it is now (*ints: the int-tags word).
uint64_t parkProfile(EntryProfile* profile, uint64_t* ints);
// Links a typed entry: the accepted mask first, then the address (release).
void publishTypedEntry(EntryProfile* profile, uint64_t accepted, uint64_t address);
// The linked typed entry's address (acquire), 0 when none.
uint64_t typedEntryOf(const EntryProfile* profile);
// Links a specialised version of a site (release), and reads it (acquire).
void publishSiteEntry(SiteCell* cell, uint64_t address);
uint64_t siteEntryOf(const SiteCell* cell);

}  // namespace wuna::helpers
