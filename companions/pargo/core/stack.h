// How much machine stack the running thread has left. The recursive parts of pargo (the
// parse machine, the grammar reader and label counter, the value builder) stop with an error
// of their own before the thread's stack runs out, instead of counting on fixed depths that a
// small thread stack (a Python thread started after threading.stack_size(1 << 20), say) or
// bigger frames (a sanitizer build) would not hold. The bounds are read once per thread and
// kept; a stack that the running code is not on (a coroutine's own stack) is not measured,
// and then only the fixed depth limits of each part apply.
#pragma once
#include <cstddef>
#include <cstdint>

namespace pargo::stackroom {

// Left free at the end of the stack: what runs between two checks (a few frames, a message
// formatted with snprintf, the allocator) must fit in it, sanitizer builds included.
inline constexpr size_t margin = size_t(128) << 10;

// The lowest stack address the running code may use before it must stop: the end of this
// thread's stack plus the margin (or a quarter of the stack, if that is less). 0 when the
// bounds are unknown or the code is not running on the thread's stack. Never fails.
uintptr_t floor();

// The address of the calling function's frame, to compare with floor(). Never fails.
__attribute__((always_inline)) inline uintptr_t here() {
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

// Whether the calling code is within `room` bytes of floorAt. Never when floorAt is 0, the
// unknown floor, as no stack lies in the lowest megabyte of addresses. Never fails.
__attribute__((always_inline)) inline bool low(uintptr_t floorAt, size_t room = 0) {
    return here() < floorAt + room;
}

}  // namespace pargo::stackroom
