// The table of the module's hooks (see hostapi.h). Zero-initialised: a runtime linked
// without the module finds every member empty.
#include "wuna/runtime/hostapi.h"

namespace wuna::runtime {

HostApi hostApi;

}  // namespace wuna::runtime
