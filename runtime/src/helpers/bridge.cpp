// The checks on values crossing into Python (see bridge.h).
#include "wuna/runtime/helpers/bridge.h"

#include "wuna/runtime/hostapi.h"

namespace wuna::bridge {

PyObject* checkedIntResult(PyObject* result) {
    if (!result || !PyLong_CheckExact(result)) return result;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(result, &overflow);
    if (overflow) {
        Py_DECREF(result);
        // Without the module there is no IntegerOverflow; the interpreter's own class is the
        // nearest the runtime alone can raise.
        PyObject* overflowClass = runtime::hostApi.integerOverflow;
        PyErr_SetString(overflowClass ? overflowClass : PyExc_OverflowError, "integer overflow");
        return nullptr;
    }
    // Without the module there is no I64: the plain int is the checked result.
    if (!runtime::hostApi.newI64) return result;
    PyObject* checked = runtime::hostApi.newI64(result);
    Py_DECREF(result);
    return checked;
}

}  // namespace wuna::bridge
