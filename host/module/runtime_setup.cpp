// The immortal small values and the live-block count (see module/runtime_setup.h).
//
// The blocks come from the runtime's value constructors; their reference count is then set
// to the immortal value, so they are never counted or freed and any thread may share them.
#include "host/module/runtime_setup.h"

#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/value.h"

namespace wuna::host {

Status internSmallValues() {
    value::Tuple* empty = value::newTuple(0);
    if (!empty) return Status::outOfMemory;
    value::makeImmortal(&empty->h);
    helpers::empty_tuple = empty;
    for (int c = 0; c < helpers::kAsciiChars; c++) {
        char byte = char(c);
        value::Str* s = value::newStr(&byte, 1);
        if (!s) return Status::outOfMemory;
        value::makeImmortal(&s->h);
        helpers::ascii_chars[c] = s;
    }
    helpers::findLibm();
    return Status::ok;
}

int64_t liveBlocks() { return pool::liveBlocks(); }

}  // namespace wuna::host
