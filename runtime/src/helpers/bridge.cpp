// The checks on values crossing into Python (see bridge.h).
#include "wuna/runtime/helpers/bridge.h"

#include "host/module/exceptions.h"
#include "host/module/i64.h"
#include "host/module/startup.h"

namespace wuna::bridge {

PyObject* checkedIntResult(PyObject* result) {
    if (!result || !PyLong_CheckExact(result)) return result;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(result, &overflow);
    if (overflow) {
        Py_DECREF(result);
        PyErr_SetString(host::integerOverflowClass, "integer overflow");
        return nullptr;
    }
    PyObject* args = PyTuple_Pack(1, result);
    Py_DECREF(result);
    if (!args) return nullptr;
    PyObject* checked = host::intNew(host::i64Type, args, nullptr);
    Py_DECREF(args);
    return checked;
}

}  // namespace wuna::bridge
