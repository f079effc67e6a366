// The compiler front end's entry points: reading a Python function into the IR (ir.h) and
// printing that IR as text for Language.ir.
//
// A Language hands each Python function it registers to lowerFunction once and keeps the
// result (a FunctionIR, which holds one reference to the function) in its front cache;
// Language.ir prints a kept result. A function the front end cannot compile is refused with a
// Failure record (a reason and where in the source), which the language turns into the reason
// the semantic runs as Python, or into a CompileError in a strict language.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "compiler/front/ir.h"
#include "wuna/runtime/status.h"

namespace wuna::front {

// Reads fn. ok with *out a new FunctionIR (owned by the caller, released with freeFunction);
// outOfMemory; unsupported with the failure filled; or pythonError with an exception pending.
Status lowerFunction(FunctionIR** out, PyObject* fn, Failure* failure);

// Releases a result of lowerFunction: its reference to the function, the references its
// constants hold, its arena, the record. Null is ignored.
void freeFunction(FunctionIR* ir);

// Text of IR for Language.ir: a growing UTF-8 buffer on the C heap.
struct Printer {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

// Appends bytes; false when memory runs out.
bool write(Printer& printer, const char* bytes, size_t length);
// Four spaces per indentation level; false when memory runs out.
bool writeIndent(Printer& printer, uint32_t level);
// "pass\n"; false when memory runs out.
bool writePass(Printer& printer);
// The text of one statement (nested ones included) at the indentation level, ending with a
// line feed: ok or outOfMemory. May call str() and repr() of constants: needs the
// interpreter lock.
Status printStatement(Printer& printer, const FunctionIR& ir, const Stmt& statement,
                      uint32_t level);
// The text of one expression, without a line feed: ok or outOfMemory.
Status printExpression(Printer& printer, const FunctionIR& ir, const Expr& expression);
// Frees the buffer and leaves the printer empty.
void freePrinter(Printer& printer);

}  // namespace wuna::front
