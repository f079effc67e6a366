// The emission entries of program generation (see emit.h).
#include "compiler/backend/emit.h"

#include "compiler/backend/compile_error.h"

namespace wuna::compile {

namespace {

Status noGenerator(Compiler* c) {
    c->message.clear();
    Status s = appendText(&c->message, "wuna: no code generator in this build (a wuna bug)");
    return s == Status::ok ? Status::unsupported : s;
}

}  // namespace

Emission emission{nullptr, nullptr};

Status emitFunction(Compiler* c, uint32_t id) {
    return emission.function ? emission.function(c, id) : noGenerator(c);
}

Status emitHelper(Compiler* c, HelperSpec* specialisation) {
    return emission.helper ? emission.helper(c, specialisation) : noGenerator(c);
}

}  // namespace wuna::compile
