// The IR as text for Language.ir (filled in with the statements and expressions below).
#include "compiler/front/front.h"

namespace wuna::front {

Status printStatement(Printer& printer, const FunctionIR& ir, const Stmt& statement,
                      uint32_t level) {
    (void)ir;
    (void)statement;
    return writeIndent(printer, level) && writePass(printer) ? Status::ok : Status::outOfMemory;
}

Status printExpression(Printer& printer, const FunctionIR& ir, const Expr& expression) {
    (void)ir;
    (void)expression;
    return write(printer, "?", 1) ? Status::ok : Status::outOfMemory;
}

}  // namespace wuna::front
