// The failure record of helpers that are not implemented yet (see stubs.h).
#include "wuna/runtime/helpers/stubs.h"

#include <cstdio>
#include <cstring>

#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

thread_local const char* firstUnavailable = nullptr;

}  // namespace

void unavailable(uint32_t index, void* ctx, int32_t site) {
    const char* name = index < kHelperCount ? helperSignatures[index].name : "a helper";
    if (!firstUnavailable) firstUnavailable = name;
    if (!ctx || !value::services.fail) return;
    char text[128];
    int length = snprintf(text, sizeof text, "wuna: %s is not available in this build", name);
    if (length < 0) return;
    if (size_t(length) >= sizeof text) length = int(sizeof text - 1);
    value::services.fail(ctx, site, reinterpret_cast<const uint8_t*>(text), size_t(length));
}

const char* unavailableHelper() { return firstUnavailable; }

void clearUnavailable() { firstUnavailable = nullptr; }

}  // namespace wuna::helpers
