// The shared immortal values of the helpers (see helpers.h); filled by the module's start-up.
#include "wuna/runtime/helpers/helpers.h"

#include <patchlevel.h>

namespace wuna::helpers {

value::Tuple* empty_tuple = nullptr;
value::Str* ascii_chars[kAsciiChars] = {};
uint32_t python_minor = PY_MINOR_VERSION;

}  // namespace wuna::helpers
