// The pending exception held aside while code that may call Python (or clear errors) runs
// between a failure and its report. take() moves the error indicator into the record as one
// normalised exception object (its traceback attached); restore() makes it pending again and
// empties the record; drop() releases it. No destructor: every path ends in restore() or
// drop() at the function's single exit, as everywhere else. On 3.12 and later take/restore
// are PyErr_GetRaisedException/PyErr_SetRaisedException; before, Fetch + Normalize and
// Restore of (type, value, traceback) taken from the object.
//
// Everything here needs the interpreter lock. None of it fails: take() with nothing pending
// leaves the record empty, and restore() of an empty record leaves no exception pending.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace wuna {

struct PendingError {
    PyObject* exception = nullptr;  // owned; null: none was pending

    // Moves the pending exception (if any) into the record, which must be empty; afterwards
    // no exception is pending.
    void take() {
#if PY_VERSION_HEX >= 0x030C0000
        exception = PyErr_GetRaisedException();
#else
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        if (!type) return;
        // Normalising gives an exception instance (or the error that normalising raised).
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value && traceback) PyException_SetTraceback(value, traceback);
        Py_XDECREF(traceback);
        Py_XDECREF(type);
        exception = value;
#endif
    }

    // Makes the record's exception the pending one (replacing any pending now), or clears the
    // indicator when the record is empty; the record is empty afterwards.
    void restore() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception);
#else
        if (!exception) {
            PyErr_Restore(nullptr, nullptr, nullptr);
            return;
        }
        PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
        PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
        exception = nullptr;
    }

    // Releases the record's exception without making it pending.
    void drop() { Py_CLEAR(exception); }
};

}  // namespace wuna
