// The arena of a reading, the release of a front result and the printer's writers.
#include "compiler/front/front.h"

#include <cstdlib>
#include <cstring>

namespace wuna::front {

void* take(Arena& arena, size_t size) {
    if (!arena.chunks && !(arena.chunks = arena::newArena())) return nullptr;
    return arena::take(arena.chunks, size);
}

bool copyText(Arena& arena, const char* bytes, size_t length, Text* out) {
    *out = Text{nullptr, 0};
    char* copy = takeArray<char>(arena, length);
    if (!copy) return false;
    if (length) memcpy(copy, bytes, length);
    *out = Text{copy, length};
    return true;
}

bool hold(Arena& arena, PyObject* object) {
    auto* held = static_cast<Arena::Held*>(take(arena, sizeof(Arena::Held)));
    if (!held) {
        Py_DECREF(object);
        return false;
    }
    held->object = object;
    held->next = arena.held;
    arena.held = held;
    return true;
}

void freeArena(Arena& arena) {
    // The list lives in the chunks: every reference is given back before they go.
    for (Arena::Held* held = arena.held; held; held = held->next) Py_DECREF(held->object);
    arena.held = nullptr;
    arena::freeArena(arena.chunks);
    arena.chunks = nullptr;
}

void freeFunction(FunctionIR* ir) {
    if (!ir) return;
    PyObject* function = ir->function;
    ir->function = nullptr;
    freeArena(ir->arena);
    free(ir);
    Py_XDECREF(function);
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
    if (length) memcpy(printer.data + printer.length, bytes, length);
    printer.length += length;
    return true;
}

bool writeIndent(Printer& printer, uint32_t level) {
    for (uint32_t i = 0; i < level; i++)
        if (!write(printer, "    ", 4)) return false;
    return true;
}

bool writePass(Printer& printer) { return write(printer, "pass\n", 5); }

void freePrinter(Printer& printer) {
    free(printer.data);
    printer = Printer{};
}

}  // namespace wuna::front
