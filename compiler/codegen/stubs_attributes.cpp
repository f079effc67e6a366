// Attributes, subscripts, methods and type tests not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status emitAttribute(Emitter* e, Semantic*, Shape*, front::Text, front::Position, Shape*) {
    return refuseConstruct(e, "an attribute");
}
Status emitSetAttr(Emitter* e, Semantic*, Shape*, front::Text, Shape*, front::Position) {
    return refuseConstruct(e, "an attribute assignment");
}
Status emitGetItem(Emitter* e, Semantic*, Shape*, Shape*, front::Position, Shape*) {
    return refuseConstruct(e, "a subscript");
}
Status emitSetItem(Emitter* e, Semantic*, Shape*, Shape*, Shape*, front::Position) {
    return refuseConstruct(e, "an item assignment");
}
Status emitMethodCall(Emitter* e, Semantic*, Shape*, front::Text, Shape*, uint32_t, front::Position,
                      Shape*) {
    return refuseConstruct(e, "a method call");
}
Status emitIsinstance(Emitter* e, Semantic*, Shape*, Shape*, front::Position, Shape*) {
    return refuseConstruct(e, "isinstance");
}
Status emitLen(Emitter* e, Semantic*, PyObject*, Operand*, Operand*) {
    return refuseConstruct(e, "len");
}

}  // namespace wuna::compile
