// The location prefix of compile errors (see compile_error.h).
#include "compiler/backend/compile_error.h"

#include <cstring>

#include "compiler/backend/messages.h"

namespace wuna::compile {

Status appendText(backend::List<char>* message, const char* text, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (!message->push(text[i])) return Status::outOfMemory;
    return Status::ok;
}

Status appendText(backend::List<char>* message, const char* text) {
    return appendText(message, text, strlen(text));
}

Status appendDecimal(backend::List<char>* message, uint64_t n) {
    char digits[messages::kDecimalDigits];
    size_t at = messages::writeDecimal(n, digits);
    return appendText(message, digits + at, sizeof digits - at);
}

Status beginError(backend::List<char>* message, const ErrorSite& site) {
    message->clear();
    const front::FunctionIR* f = site.function;
    Status s = appendText(message, f->fileName.data, size_t(f->fileName.length));
    if (s == Status::ok) s = appendText(message, ":");
    if (s == Status::ok) s = appendDecimal(message, front::lineOf(site.position));
    if (s == Status::ok) s = appendText(message, ":");
    if (s == Status::ok) s = appendDecimal(message, front::columnOf(site.position));
    if (s == Status::ok) s = appendText(message, ": in ");
    if (s == Status::ok) s = appendText(message, f->name.data, size_t(f->name.length));
    if (s == Status::ok) s = appendText(message, "(): ");
    return s;
}

}  // namespace wuna::compile
