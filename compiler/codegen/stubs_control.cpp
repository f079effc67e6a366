// Loops, try and comprehensions not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status lowerWhile(Emitter* e, Semantic*, const front::Stmt*) {
    return refuseConstruct(e, "a while loop");
}
Status lowerFor(Emitter* e, Semantic*, const front::Stmt*) {
    return refuseConstruct(e, "a for loop");
}
Status lowerTry(Emitter* e, Semantic*, const front::Stmt*) {
    return refuseConstruct(e, "a try statement");
}
Status lowerRaise(Emitter* e, Semantic*, const front::Stmt*) {
    return refuseConstruct(e, "a raise");
}
Status emitComprehension(Emitter* e, Semantic*, const front::Expr*, Shape*) {
    return refuseConstruct(e, "a comprehension");
}

}  // namespace wuna::compile
