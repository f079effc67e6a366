// The method-table helpers of the runtime (wuna/runtime/pymethods.h), named in the host's
// namespace where its tables use them.
#pragma once
#include "wuna/runtime/pymethods.h"

namespace wuna::host {

using pymethods::asPyCFunction;
using pymethods::heapDealloc;

}  // namespace wuna::host
