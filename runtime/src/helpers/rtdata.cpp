// Compiled code's byte readers and wrapping operations (wn_read, wn_wrapping): the values go
// to Python and through the one body the rt methods of both modes share (pyRead,
// pyWrapping), so the results and the errors are the reference mode's own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/pyread.h"
#include "wuna/runtime/helpers/pywrapping.h"
#include "wuna/runtime/helpers/table.h"

namespace wuna::helpers {

namespace {

constexpr char kNoReader[] = "wuna: no such byte reader (a wuna bug)";
constexpr char kNoOperation[] = "wuna: no such wrapping operation (a wuna bug)";

// The two values as new Python objects in out, the lock claimed. False with the failure
// recorded and nothing left to release.
bool bothObjects(Ctx* ctx, int32_t site, value::Value a, value::Value b, PyObject** out) {
    value::Value both[2] = {a, b};
    if (objects(ctx, site, both, 2, out)) return true;
    bridge::failFromPython(ctx, site);
    return false;
}

}  // namespace

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;
namespace helpers = wuna::helpers;

bool wn_read(void* c, int32_t site, int32_t code, int64_t dataTag, int64_t data,
             int64_t offsetTag, int64_t offset, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    if (uint32_t(code) >= helpers::kReaderCount) {
        helpers::fail(ctx, site, helpers::kNoReader, sizeof helpers::kNoReader - 1);
        return false;
    }
    PyObject* objects[2];
    if (!helpers::bothObjects(ctx, site, Value{uint64_t(dataTag), uint64_t(data)},
                              Value{uint64_t(offsetTag), uint64_t(offset)}, objects))
        return false;
    PyObject* result = helpers::pyRead(uint32_t(code), objects[0], objects[1]);
    Py_DECREF(objects[0]);
    Py_DECREF(objects[1]);
    return helpers::pythonResult(ctx, site, result, static_cast<Value*>(out));
}

bool wn_wrapping(void* c, int32_t site, int32_t op, int64_t aTag, int64_t a, int64_t bTag,
                 int64_t b, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    if (uint32_t(op) >= helpers::kWrappingCount) {
        helpers::fail(ctx, site, helpers::kNoOperation, sizeof helpers::kNoOperation - 1);
        return false;
    }
    PyObject* objects[2];
    if (!helpers::bothObjects(ctx, site, Value{uint64_t(aTag), uint64_t(a)},
                              Value{uint64_t(bTag), uint64_t(b)}, objects))
        return false;
    helpers::Operand x = helpers::pyWrapping(uint32_t(op), objects[0]);
    helpers::Operand y = x.ok ? helpers::pyWrapping(uint32_t(op), objects[1]) : helpers::Operand{};
    Py_DECREF(objects[0]);
    Py_DECREF(objects[1]);
    PyObject* result =
        y.ok ? PyLong_FromLongLong(helpers::wrap(uint32_t(op), x.value, y.value)) : nullptr;
    return helpers::pythonResult(ctx, site, result, static_cast<Value*>(out));
}
