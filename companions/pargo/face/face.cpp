// What the parser and tree objects share of the Python face (see face.h).
#include "face/face.h"

namespace pargo::face {

namespace {
void releaseOwner(PyObject* capsule) {
    Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(capsule)));
}
}  // namespace

PyObject* ownedCapsule(void* pointer, const char* name, PyObject* owner) {
    PyObject* c = PyCapsule_New(pointer, name, releaseOwner);
    if (!c) return nullptr;
    if (PyCapsule_SetContext(c, owner) < 0) {
        Py_DECREF(c);
        return nullptr;
    }
    Py_INCREF(owner);
    return c;
}

}  // namespace pargo::face
