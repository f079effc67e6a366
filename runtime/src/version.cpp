// The runtime's version text, shared by the module and the standalone runtime.
#include "wuna/runtime/version.h"
