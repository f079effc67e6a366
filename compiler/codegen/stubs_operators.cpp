// Operators not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status emitBinary(Emitter* e, Semantic*, front::BinaryOp, Shape*, Shape*, front::Position, Shape*) {
    return refuseConstruct(e, "a binary operator");
}
Status emitUnary(Emitter* e, Semantic*, front::UnaryOp, Shape*, front::Position, Shape*) {
    return refuseConstruct(e, "a unary operator");
}
Status emitInplace(Emitter* e, Semantic*, front::BinaryOp, Shape*, Shape*, front::Position,
                   Shape*) {
    return refuseConstruct(e, "an augmented assignment");
}
Status emitCompare(Emitter* e, Semantic*, front::CompareOp, Shape*, Shape*, front::Position,
                   Shape*) {
    return refuseConstruct(e, "a comparison");
}
Status emitWrapping(Emitter* e, Semantic*, uint8_t, Shape*, Shape*, Shape*) {
    return refuseConstruct(e, "wrapping arithmetic");
}
Status emitByteRead(Emitter* e, Semantic*, uint8_t, Shape*, Shape*, Shape*) {
    return refuseConstruct(e, "a byte reader");
}
Status emitRtTailCall(Emitter* e, Semantic*, Shape*, Shape*, Shape*) {
    return refuseConstruct(e, "rt.tail_call");
}
Status emitRtFresh(Emitter* e, Semantic*, uint32_t) { return refuseConstruct(e, "rt.fresh"); }

}  // namespace wuna::compile
