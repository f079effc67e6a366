// The run's crossings tally (see crossings.h).
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/tally.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/run.h"
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

void countCrossing(Ctx* ctx, const char* text, size_t length) {
    if (!ctx || !bridge::reporting(ctx)) return;
    bridge::TallyText counted;
    counted.add(text, length);
    bridge::countCrossing(ctx, counted);
}

void countHandOver(Ctx* ctx, const char* what, const value::Value& left, const char* op,
                   const value::Value* right) {
    if (!ctx || !bridge::reporting(ctx)) return;
    char name[kCrossingNameMax];
    bridge::TallyText text;
    text.add(what);
    text.add(" ");
    text.add(name, crossingTypeName(left, name));
    if (op) {
        text.add(" ");
        text.add(op);
    }
    if (right) {
        text.add(" ");
        text.add(name, crossingTypeName(*right, name));
    }
    bridge::countCrossing(ctx, text);
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

bool pythonItems(Ctx* ctx, int32_t site, value::Value v,
                 value::Value* out) {
    countHandOver(ctx, "items", v, nullptr, nullptr);
    PyObject* obj = nullptr;
    if (!objects(ctx, site, &v, 1, &obj)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* list = PySequence_List(obj);
    Py_DECREF(obj);
    return pythonResult(ctx, site, list, out);
}

}  // namespace wuna::helpers
