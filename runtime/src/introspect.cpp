// The tests' one way into the process-wide state (see introspect.h).
#include "wuna/runtime/introspect.h"

#include <patchlevel.h>

#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/set.h"

namespace wuna::runtime {

int32_t interpreterMinor = 0;

int32_t servedMinor() { return interpreterMinor ? interpreterMinor : PY_MINOR_VERSION; }

namespace {

// The Python mirror reads exactly this many entries of each table.
static_assert(helpers::kLibmCount == 21);
static_assert(helpers::kAsciiChars == 128);

// Built on the first call, which may come before start-up: only addresses go in, and those
// are fixed when the library is loaded.
const WnIntrospection* record() {
    static const WnIntrospection made = {
        .version = kIntrospectionVersion,
        .reserved = 0,
        .interpreterMinor = &interpreterMinor,
        .sipRounds = &set::sip_rounds,
        .hashKey = set::hashKey,
        .noneHash = &set::noneHash,
        .libmReady = &helpers::libm_ready,
        .libmTable = helpers::libm_table,
        .emptyTuple = reinterpret_cast<void* const*>(&helpers::empty_tuple),
        .asciiChars = reinterpret_cast<void* const*>(helpers::ascii_chars),
        .poolCurrent = [] { return static_cast<void*>(pool::current()); },
        .liveBlocks = pool::liveBlocks,
    };
    return &made;
}

}  // namespace

}  // namespace wuna::runtime

extern "C" const WnIntrospection* wn_introspect(void) { return wuna::runtime::record(); }
