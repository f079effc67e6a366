// The shared immortal values of the helpers (see helpers.h); filled by the module's start-up.
#include "wuna/runtime/helpers/helpers.h"

namespace wuna::helpers {

value::Tuple* empty_tuple = nullptr;
value::Str* ascii_chars[kAsciiChars] = {};

}  // namespace wuna::helpers
