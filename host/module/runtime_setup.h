// The runtime's shared immortal values, as start-up makes them, and the live-block count
// that wuna._blocks() reports.
#pragma once
#include <cstdint>

#include "wuna/runtime/status.h"

namespace wuna::host {

// Makes the runtime's empty tuple and its 128 one-character strs immortal
// (helpers::empty_tuple, helpers::ascii_chars), then looks up the C math library's functions
// (whether they are found does not matter here). ok, or outOfMemory when a block could not
// be had; no Python exception is set.
Status internSmallValues();

// The runtime blocks allocated and not yet freed by the calling thread's pool.
[[nodiscard]] int64_t liveBlocks();

}  // namespace wuna::host
