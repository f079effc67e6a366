// The Frame type (see interp/frame_object.h): making one, and its collector slots.
#include "host/interp/frame_object.h"

#include "host/module/type_registry.h"

namespace wuna::host {

namespace {

FrameObject* asFrame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }

int frameTraverse(PyObject* self, visitproc visit, void* arg) {
    FrameObject* frame = asFrame(self);
    Py_VISIT(frame->parent);
    Py_VISIT(frame->receiver);
    Py_VISIT(frame->varargs);
    for (uint32_t i = 0; i < frame->variables.capacity; i++)
        Py_VISIT(frame->variables.slots[i].value);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int frameClear(PyObject* self) {
    FrameObject* frame = asFrame(self);
    frame->variables.empty();
    Py_CLEAR(frame->parent);
    Py_CLEAR(frame->receiver);
    Py_CLEAR(frame->varargs);
    return 0;
}

void frameDealloc(PyObject* self) {
    FrameObject* frame = asFrame(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    frameClear(self);
    frame->variables.release();
    Py_CLEAR(frame->name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot frameSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frameDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frameTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frameClear)},
    {Py_tp_doc, const_cast<char*>("The variables of one run of a function (or of the program).")},
    {0, nullptr},
};

}  // namespace

PyType_Spec frameSpec = {"wuna.Frame", int(sizeof(FrameObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, frameSlots};

PyObject* newFrame(int32_t scope, int32_t callSite, PyObject* parent, PyObject* name) {
    FrameObject* frame = PyObject_GC_New(FrameObject, frameType);
    if (!frame) return nullptr;
    frame->scope = scope;
    frame->callSite = callSite;
    frame->parent = Py_XNewRef(parent);
    frame->name = Py_NewRef(name);
    frame->variables = U32Map{};
    frame->receiver = nullptr;
    frame->varargs = nullptr;
    PyObject_GC_Track(frame);
    return reinterpret_cast<PyObject*>(frame);
}

}  // namespace wuna::host
