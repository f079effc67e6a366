// The expression dispatcher not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status emitExpr(Emitter* e, Semantic*, const front::Expr*, Shape*) {
    return refuseConstruct(e, "an expression");
}
Status emitSubExpr(Emitter* e, Semantic*, const front::Expr*, Shape*) {
    return refuseConstruct(e, "an expression");
}
Status emitTruthy(Emitter* e, const Shape&, int32_t, Truth*) {
    return refuseConstruct(e, "a truth test");
}

}  // namespace wuna::compile
