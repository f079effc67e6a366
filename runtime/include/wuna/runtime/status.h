// The system's 16-bit error codes, for code that runs without Python or reports through a code
// rather than a pending exception (the index builder, the grammar tables, the front end, the
// runtime's allocators, emitters later). The numbers are fixed: compiled code and the code
// generator use them.
//
// [[nodiscard]] on the enum makes every function that returns a Status nodiscard: a dropped
// code is a lost failure.
#pragma once
#include <cstdint>

namespace wuna {

enum class [[nodiscard]] Status : uint16_t {
    ok = 0,
    outOfMemory = 58,
    unsupported = 100,  // refused; the reason is in the caller's message record, no exception
    pythonError = 122,  // a Python exception is pending; only from code that may run Python
    notNative = 123,    // a value has no native text: its text must come from Python
    os = 132,           // an operating-system call failed; its errno is kept per thread (osio.h)
};

}  // namespace wuna
