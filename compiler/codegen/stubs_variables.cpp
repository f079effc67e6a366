// Variables of the interpreted language not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status emitRtLoad(Emitter* e, Semantic*, uint32_t, Shape*) { return refuseConstruct(e, "rt.load"); }
Status emitRtStore(Emitter* e, uint32_t, Shape*) { return refuseConstruct(e, "rt.store"); }
Status emitRtFunction(Emitter* e, Semantic*, uint32_t, Shape*) {
    return refuseConstruct(e, "rt.function");
}
Status emitFrameOf(Emitter* e, uint32_t, llvmapi::ValueRef*) {
    return refuseConstruct(e, "a variable's frame");
}
Status enterBlockScope(Emitter*, uint32_t, bool* entered) {
    *entered = false;
    return Status::ok;
}
Status leaveBlockScope(Emitter*, uint32_t) { return Status::ok; }
Status releaseScopeFramesAbove(Emitter*, uint64_t) { return Status::ok; }
Status emitGlobal(Emitter* e, Semantic*, front::Text, front::Position, Shape*) {
    return refuseConstruct(e, "a module global");
}

}  // namespace wuna::compile
