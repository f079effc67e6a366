// The Function type (see interp/function_object.h): making one, its repr, and its collector slots.
#include "host/interp/function_object.h"

#include "host/module/type_registry.h"

namespace wuna::host {

namespace {

FunctionObject* asFunction(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Gives up the runtime value's count (freeing it at zero, unless immortal).
void releaseNative(FunctionObject* function) {
    value::Value native = function->native;
    function->native = value::Value::none();
    value::decref(native);
}

int functionTraverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = asFunction(self);
    Py_VISIT(function->frame);
    Py_VISIT(function->state);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int functionClear(PyObject* self) {
    FunctionObject* function = asFunction(self);
    releaseNative(function);
    Py_CLEAR(function->frame);
    Py_CLEAR(function->state);
    return 0;
}

void functionDealloc(PyObject* self) {
    FunctionObject* function = asFunction(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    functionClear(self);
    Py_CLEAR(function->name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* functionRepr(PyObject* self) {
    PyObject* name = asFunction(self)->name;
    if (!name) return PyUnicode_FromString("<function <anonymous>>");
    return PyUnicode_FromFormat("<function %U>", name);
}

PyType_Slot functionSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(functionDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(functionTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(functionClear)},
    {Py_tp_repr, reinterpret_cast<void*>(functionRepr)},
    {Py_tp_doc,
     const_cast<char*>("A function of the program: its node, and the frame it was made in.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec functionSpec = {"wuna.Function", int(sizeof(FunctionObject)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, functionSlots};

PyObject* newFunction(PyObject* state, uint32_t node, PyObject* frame, PyObject* name) {
    FunctionObject* function = PyObject_GC_New(FunctionObject, functionType);
    if (!function) return nullptr;
    function->state = Py_NewRef(state);
    function->node = node;
    function->frame = Py_XNewRef(frame);
    function->name = Py_NewRef(name);
    function->native = value::Value::none();
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

}  // namespace wuna::host
