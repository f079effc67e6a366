// The version lives in its header; this file keeps the static library from being empty
// when it is built alone.
#include "core/version.h"
