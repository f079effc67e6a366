// The front end's entry points as they stand before the front end proper exists (see
// front.h): every function is refused with one reason, the printer writes plain text, and
// there are no IR statements to print.
#include "compiler/front/front.h"

#include <cstdlib>
#include <cstring>

namespace wuna::front {

namespace {

constexpr char kNotBuilt[] = "the compiler front end is not built yet";

}  // namespace

uint16_t lowerFunction(FunctionIR** out, PyObject* /*fn*/, Failure* failure) {
    *out = nullptr;
    size_t length = sizeof kNotBuilt - 1;
    memcpy(failure->text, kNotBuilt, length);
    failure->length = length;
    failure->position = 0;
    return kUnsupported;
}

void freeFunction(FunctionIR* ir) {
    if (!ir) return;
    Py_XDECREF(ir->function);
    free(ir->memory);
}

bool write(Printer& printer, const char* bytes, size_t length) {
    if (printer.length + length > printer.capacity) {
        size_t capacity = printer.capacity ? printer.capacity : 256;
        while (capacity < printer.length + length) capacity *= 2;
        char* grown = static_cast<char*>(realloc(printer.data, capacity));
        if (!grown) return false;
        printer.data = grown;
        printer.capacity = capacity;
    }
    memcpy(printer.data + printer.length, bytes, length);
    printer.length += length;
    return true;
}

bool writeIndent(Printer& printer, uint32_t level) {
    for (uint32_t i = 0; i < level; i++)
        if (!write(printer, "    ", 4)) return false;
    return true;
}

bool writePass(Printer& printer) { return write(printer, "pass\n", 5); }

uint16_t printStatement(Printer& /*printer*/, const Stmt* /*statement*/, uint32_t /*level*/) {
    // No statement exists before the front end does.
    return kUnsupported;
}

void freePrinter(Printer& printer) {
    free(printer.data);
    printer = Printer{};
}

}  // namespace wuna::front
