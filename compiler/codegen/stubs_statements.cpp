// Statement lowering not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

Status lowerStatement(Emitter* e, Semantic*, const front::Stmt*) {
    return refuseConstruct(e, "a statement");
}
Status lowerStatements(Emitter* e, Semantic*, front::StmtList) {
    return refuseConstruct(e, "a statement list");
}
Status lowerReturn(Emitter* e, Shape*, int32_t) { return refuseConstruct(e, "a return"); }
Status dropDeadContainers(Emitter*, Semantic*) { return Status::ok; }
Status emitAssign(Emitter* e, Semantic*, const front::Target&, Shape*, front::Position) {
    return refuseConstruct(e, "an assignment");
}
Status emitLocalRead(Emitter* e, Semantic*, uint32_t, front::Position, Shape*) {
    return refuseConstruct(e, "a local read");
}
Status borrowLocal(Emitter*, Semantic*, const front::Expr*, Operand*, bool* found) {
    *found = false;
    return Status::ok;
}

}  // namespace wuna::compile
