// The classes of except handlers as compiled code tests them: masks of error kinds, and the
// wuna module's classes that stand for the jumps of the interpreted language (see lower.h).
#include <iterator>

#include "compiler/codegen/lower.h"
#include "wuna/runtime/errors.h"

namespace wuna::compile {

namespace {

// Bit 63: a class of no error kind, which only isinstance at run time can match.
constexpr uint64_t kPythonClassBit = uint64_t(1) << 63;

struct JumpClassName {
    RtMethod id;
    const char* name;
};
constexpr JumpClassName kJumpClassNames[] = {
    {RtMethod::tailCall, "TailCall"},
    {RtMethod::return_, "Return"},
    {RtMethod::break_, "Break"},
    {RtMethod::continue_, "Continue"},
};

// The classes found, kept for the life of the process (one reference each).
PyObject* jumpClasses[std::size(kJumpClassNames)];

}  // namespace

uint64_t exceptClassMask(PyObject* classes) {
    if (Py_IS_TYPE(classes, &PyTuple_Type)) {
        uint64_t mask = 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes); i++)
            mask |= exceptClassMask(PyTuple_GET_ITEM(classes, i));
        return mask;
    }
    for (uint32_t k = 0; k < errors::kKindCount; k++)
        if (errors::pyClass(errors::Kind(k)) == classes) return uint64_t(1) << k;
    return kPythonClassBit;
}

PyObject* jumpClassOf(RtMethod id) {
    size_t which = std::size(kJumpClassNames);
    for (size_t i = 0; i < std::size(kJumpClassNames); i++)
        if (kJumpClassNames[i].id == id) which = i;
    if (which == std::size(kJumpClassNames)) return nullptr;
    if (jumpClasses[which]) return jumpClasses[which];
    PyObject* name = PyUnicode_FromString("wuna");
    PyObject* module = name ? PyImport_GetModule(name) : nullptr;
    Py_XDECREF(name);
    PyObject* cls = module ? PyObject_GetAttrString(module, kJumpClassNames[which].name) : nullptr;
    Py_XDECREF(module);
    // Not imported, or no such class: no program of this process can raise it.
    if (!cls || !PyType_Check(cls)) {
        Py_XDECREF(cls);
        PyErr_Clear();
        return nullptr;
    }
    jumpClasses[which] = cls;
    return cls;
}

}  // namespace wuna::compile
