// Calls not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status lowerCallExpr(Emitter* e, Semantic*, const front::Expr*, Shape*) {
    return refuseConstruct(e, "a call");
}
Status callKnown(Emitter* e, Semantic*, Shape*, Shape*, Shape*, bool, Shape*) {
    return refuseConstruct(e, "a call of a value");
}
Status callPython(Emitter* e, Semantic*, PyObject*, Shape*, uint32_t, const front::Keyword*,
                  uint32_t, Shape*, front::Position, Shape*) {
    return refuseConstruct(e, "a call of a Python function");
}
Status emitClosure(Emitter* e, Semantic*, const front::Expr*, Shape*) {
    return refuseConstruct(e, "a nested function");
}

}  // namespace wuna::compile
