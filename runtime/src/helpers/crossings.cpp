// The run's crossings tally (see crossings.h).
#include "wuna/runtime/helpers/crossings.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/text.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

constexpr gil::Location kTypeName{"helpers", "runtime/src/helpers/crossings.cpp",
                                  "crossingTypeName", 0, 0};

size_t copyName(char* out, const char* text, size_t length) {
    size_t n = text::utf8Prefix(text, length, kCrossingNameMax);
    std::memcpy(out, text, n);
    return n;
}

}  // namespace

CrossingTally* newTally() {
    return static_cast<CrossingTally*>(std::calloc(1, sizeof(CrossingTally)));
}

void freeTally(CrossingTally* tally) {
    if (!tally) return;
    for (uint64_t i = 0; i < tally->count; i++) std::free(tally->entries[i].text);
    std::free(tally->entries);
    std::free(tally);
}

CrossingEntry* tallyCrossing(CrossingTally* tally, const char* text, size_t length) {
    // Few distinct texts per run: a walk over them costs less than the hand-over itself.
    for (uint64_t i = 0; i < tally->count; i++) {
        CrossingEntry& e = tally->entries[i];
        if (e.length == length && std::memcmp(e.text, text, length) == 0) return &e;
    }
    if (tally->count == tally->capacity) {
        uint64_t capacity = tally->capacity ? tally->capacity * 2 : 8;
        auto* grown = static_cast<CrossingEntry*>(
            std::realloc(tally->entries, size_t(capacity) * sizeof(CrossingEntry)));
        if (!grown) return nullptr;
        tally->entries = grown;
        tally->capacity = capacity;
    }
    char* copy = static_cast<char*>(std::malloc(length ? length : 1));
    if (!copy) return nullptr;
    if (length) std::memcpy(copy, text, length);
    CrossingEntry* e = &tally->entries[tally->count++];
    *e = CrossingEntry{copy, length, 0};
    return e;
}

void countCrossing(Ctx* ctx, const char* text, size_t length) {
    if (!ctx || !ctx->crossings) return;
    CrossingEntry* e = tallyCrossing(ctx->crossings, text, length);
    if (e) e->count++;
}

size_t crossingTypeName(value::Value v, char* out) {
    if (v.tag != value::TagPy) {
        std::string_view name = value::typeName(v);
        return copyName(out, name.data(), name.size());
    }
    value::claimLock(&kTypeName);
    const char* name = Py_TYPE(v.as<PyObject>())->tp_name;
    // tp_name of a class made in C may be dotted ("module.Name"); __name__ is the last part.
    const char* dot = std::strrchr(name, '.');
    if (dot) name = dot + 1;
    return copyName(out, name, std::strlen(name));
}

bool pythonItems(Ctx* ctx, int32_t site, const gil::Location* where, value::Value v,
                 value::Value* out) {
    if (ctx->crossings) {
        char text[kCrossingNameMax + 8] = "items ";
        size_t n = 6 + crossingTypeName(v, text + 6);
        countCrossing(ctx, text, n);
    }
    PyObject* obj = nullptr;
    if (!objects(ctx, where, &v, 1, &obj)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* list = PySequence_List(obj);
    Py_DECREF(obj);
    return pythonResult(ctx, site, list, out);
}

}  // namespace wuna::helpers
