// The helper table's names, signatures and addresses (see table.h).
#include "wuna/runtime/helpers/table.h"

#include "wuna/runtime/helpers/stubs.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

const HelperSignature helperSignatures[kHelperCount] = {
#define WN_SIGNATURE(index, name, signature, state) {#name, #signature},
    WN_HELPER_TABLE(WN_SIGNATURE)
#undef WN_SIGNATURE
};

#define WN_ADDRESS_Built(index, name, signature) reinterpret_cast<uint64_t>(&name)
#define WN_ADDRESS_Stub(index, name, signature) \
    reinterpret_cast<uint64_t>(&Stub<#signature, index>::call)
#define WN_ADDRESS(index, name, signature, state) WN_ADDRESS_##state(index, name, signature),
const uint64_t helperAddresses[kHelperCount] = {WN_HELPER_TABLE(WN_ADDRESS)};
#undef WN_ADDRESS

#define WN_BUILT_Built true
#define WN_BUILT_Stub false
#define WN_BUILT(index, name, signature, state) WN_BUILT_##state,
const bool helperBuilt[kHelperCount] = {WN_HELPER_TABLE(WN_BUILT)};
#undef WN_BUILT
#undef WN_BUILT_Stub
#undef WN_BUILT_Built
#undef WN_ADDRESS_Stub
#undef WN_ADDRESS_Built

namespace {

// The indexes written in the table are its order: 0 to 93, each once.
constexpr uint32_t listed[] = {
#define WN_INDEX(index, name, signature, state) index,
    WN_HELPER_TABLE(WN_INDEX)
#undef WN_INDEX
};
constexpr bool inOrder() {
    for (uint32_t i = 0; i < sizeof listed / sizeof listed[0]; i++)
        if (listed[i] != i) return false;
    return sizeof listed / sizeof listed[0] == kHelperCount;
}
static_assert(inOrder(), "WN_HELPER_TABLE must list helpers 0 to 93 in order");

}  // namespace

}  // namespace wuna::helpers
