// The refusal of a construct the lowering does not compile yet.
#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status refuseConstruct(Emitter* e, const char* what) {
    if (Status s = beginConstructError(e); s != Status::ok) return s;
    backend::List<char>* message = &e->compiler->message;
    if (Status s = appendText(message, what); s != Status::ok) return s;
    if (Status s = appendText(message, " isn't compiled yet"); s != Status::ok) return s;
    return Status::unsupported;
}

}  // namespace wuna::compile
