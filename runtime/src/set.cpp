// The hashing globals of sets and dicts; filled by the module's start-up (host::setupStrHashing).
#include "wuna/runtime/set.h"

namespace wuna::set {

int64_t noneHash = 0;
uint8_t hashKey[16] = {};
uint8_t sip_rounds = 0;

}  // namespace wuna::set
