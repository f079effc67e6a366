// The location prefix of compile errors: "<file>:<line>:<column>: in <function>(): ", with
// the file of the function being compiled, the line and column of the position, and the
// function's name. Every compile error the code generators write starts with it, after the
// compiler's message buffer has been cleared.
#pragma once
#include "compiler/backend/containers.h"
#include "compiler/front/ir.h"
#include "wuna/runtime/status.h"

namespace wuna::compile {

// Where a compile error is: the function being compiled and a position in its file.
struct ErrorSite {
    const front::FunctionIR* function;
    front::Position position;
};

// Clears the message and writes the prefix of the site. ok or outOfMemory.
Status beginError(backend::List<char>* message, const ErrorSite& site);

// Appends a text (length bytes; a NUL-terminated one with appendText). ok or outOfMemory.
Status appendText(backend::List<char>* message, const char* text, size_t length);
Status appendText(backend::List<char>* message, const char* text);
// Appends n in decimal. ok or outOfMemory.
Status appendDecimal(backend::List<char>* message, uint64_t n);

}  // namespace wuna::compile
