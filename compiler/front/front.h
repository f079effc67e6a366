// The compiler front end: reading a semantic's Python source into the compiler's IR.
//
// A Language hands each Python function it registers to front::lowerFunction once and keeps
// the result (a FunctionIR, which holds one reference to the function) in its front cache;
// Language.ir prints a kept result with the IR printer. A function the front end cannot
// compile is refused with a Failure record (a reason and where in the source), which the
// language turns into the reason the semantic runs as Python, or into a CompileError.
//
// The front end proper (source reading, lowering, the IR's statement and expression nodes)
// is not built yet: until it is, lowerFunction refuses every function with the reason "the
// compiler front end is not built yet", so every semantic runs as Python. The records and
// entry points below are the contract the rest of the system codes against.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace wuna::front {

// Result codes besides 0 (success).
inline constexpr uint16_t kOutOfMemory = 58;
inline constexpr uint16_t kUnsupported = 100;
inline constexpr uint16_t kPythonError = 122;

inline constexpr size_t kFailureText = 256;

// Why a function cannot be compiled. The caller zeroes it; the front end fills it when it
// refuses a function.
struct Failure {
    uint64_t length;    // bytes of text used
    uint64_t position;  // line in the low 32 bits, column in the high 32 (1-based; line 0: unknown)
    char text[kFailureText];
};

// An IR statement; its kinds and fields belong to the front end.
struct Stmt;

// The front end's reading of one function. Its memory is released as a whole by freeFunction,
// which also drops the reference to the function.
struct FunctionIR {
    void* memory;         // everything below lives in it
    const char* name;     // UTF-8, NUL-terminated
    const char** locals;  // the table of locals; the parameters come first
    uint32_t paramCount;
    Stmt** body;
    uint32_t bodyCount;
    PyObject* function;  // one reference, held as long as the result lives
};

// Reads fn. 0 with *out a new FunctionIR; kOutOfMemory; kUnsupported with the failure
// filled; or kPythonError with a Python exception pending.
uint16_t lowerFunction(FunctionIR** out, PyObject* fn, Failure* failure);

// Releases a result of lowerFunction: its reference to the function, then its memory.
void freeFunction(FunctionIR* ir);

// Text of IR for Language.ir: a growing UTF-8 buffer on the C heap.
struct Printer {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

// Appends bytes; false when memory runs out.
bool write(Printer& printer, const char* bytes, size_t length);
// Four spaces per indentation level.
bool writeIndent(Printer& printer, uint32_t level);
// "pass\n".
bool writePass(Printer& printer);
// The text of one statement (nested ones included) at the indentation level; 0 or an error
// code.
uint16_t printStatement(Printer& printer, const Stmt* statement, uint32_t level);
// Frees the buffer and leaves the printer empty.
void freePrinter(Printer& printer);

}  // namespace wuna::front
