// Stand-ins for the runtime helpers that are not implemented yet.
//
// Every helper of the table must have an address before the first object is loaded (the code
// engine is given all 94 names once per process, and an object naming a helper without an
// address would not load). A helper whose behaviour is not built yet gets a stub of exactly
// its signature instead. The stub never touches its arguments beyond the helper context: it
// records the failure "wuna: <name> is not available in this build" and returns the failed
// or empty result of its signature (false, RunStatus 0 "failed", a null pointer, 0, or
// nothing), so compiled code takes its error path and the run ends with that failure.
//
// Where the failure goes: a stub whose helper reports failures on the helper context (a
// bool or run-status result with the context as first parameter) hands the text to the
// runtime's failure hook (value::services.fail) with the context and the site, as every
// helper does; the run's helper context records it there once it exists. Every stub also
// notes its helper on the calling thread (the first one since the last clear wins), which is
// all that the stubs of helpers without a context can do and which tells tests and the driver
// which missing helper a run reached even before the helper context is built.
#pragma once
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "wuna/runtime/helpers/table.h"

namespace wuna::helpers {

// Records that the helper of the table index was called (see above); ctx may be null.
void unavailable(uint32_t index, void* ctx, int32_t site);

// The name of the first helper without an implementation this thread called since the last
// clearUnavailable, or null.
const char* unavailableHelper();
void clearUnavailable();

template <Letters S, uint32_t Index, typename F = HelperFn<S>>
struct Stub;

template <Letters S, uint32_t Index, typename R, typename... A>
struct Stub<S, Index, R(A...)> {
    // Helpers that report failures take the helper context first, and the call site next
    // when their second letter is i.
    static constexpr bool kContext =
        (S.text[0] == 'b' || S.text[0] == 'i') && sizeof...(A) > 0 && S.text[1] == 'p';

    static R call(A... args) {
        void* ctx = nullptr;
        int32_t site = -1;
        if constexpr (kContext) {
            auto given = std::forward_as_tuple(args...);
            ctx = std::get<0>(given);
            if constexpr (sizeof...(A) > 1 && S.text[2] == 'i') site = std::get<1>(given);
        }
        ((void)args, ...);
        unavailable(Index, ctx, site);
        if constexpr (!std::is_void_v<R>) return R{};
    }
};

}  // namespace wuna::helpers
