// Program functions, rt calls, eval/exec and node fields not built yet: every entry refuses.
#include "compiler/codegen/lower.h"

namespace wuna::compile {

const char* rtMethodName(uint8_t) { return "?"; }
bool rtMethodByName(const char*, size_t, uint8_t*) { return false; }
Status emitRtCall(Emitter* e, Semantic*, RtMethod, Shape*, uint32_t, Shape*, front::Position,
                  Shape*) {
    return refuseConstruct(e, "an rt call");
}
Status emitProgramFunction(Compiler*, uint32_t) { return Status::unsupported; }
Status releaseLocals(Emitter*) { return Status::ok; }
Status emitHoistedFunctions(Emitter* e, uint32_t) {
    return refuseConstruct(e, "a hoisted function");
}
Status parameterNodes(Emitter* e, uint32_t, uint8_t, backend::List<uint32_t>*) {
    return refuseConstruct(e, "a parameter list");
}
KnownKind nodeKindMemo(Compiler*, uint32_t) { return KnownKind::unknown; }
Status knownNode(Emitter* e, const Shape&, uint32_t*) { return refuseConstruct(e, "a node"); }
Status emitRtEval(Emitter* e, Semantic*, Shape*, Shape*) { return refuseConstruct(e, "rt.eval"); }
Status emitRtExec(Emitter* e, Shape*) { return refuseConstruct(e, "rt.exec"); }
Status emitRtLoop(Emitter* e, Semantic*, Shape*, Shape*) { return refuseConstruct(e, "rt.loop"); }
Status emitExecKnown(Emitter* e, uint32_t) { return refuseConstruct(e, "a node's semantic"); }
Status inlineHelper(Emitter* e, front::FunctionIR*, front::StmtList, int32_t, Shape*, uint32_t,
                    Shape*) {
    return refuseConstruct(e, "a semantic");
}
Status nodeFieldByName(Emitter* e, uint32_t, uint8_t, Shape*) {
    return refuseConstruct(e, "a node field");
}
Status nodeFieldWhenCompiling(Emitter* e, uint32_t, Shape*) {
    return refuseConstruct(e, "a node field");
}
Status childWithLabel(Emitter* e, uint32_t, uint8_t, backend::List<uint32_t>*) {
    return refuseConstruct(e, "a node's children");
}

}  // namespace wuna::compile
