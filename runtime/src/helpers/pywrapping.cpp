// The operand check of the wrapping operations (see pywrapping.h).
#include "wuna/runtime/helpers/pywrapping.h"

namespace wuna::helpers {

Operand pyWrapping(uint32_t op, PyObject* x) {
    if (PyLong_Check(x) && !PyBool_Check(x)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (!overflow && !(value == -1 && PyErr_Occurred())) return {value, true};
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "rt.wrapping_%s() takes ints of 64 bits", wrappingOps[op].op);
    return {0, false};
}

}  // namespace wuna::helpers
