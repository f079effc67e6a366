// The classes of except handlers as compiled code tests them: masks of error kinds (see
// lower.h). The wuna module's classes that stand for the jumps of the interpreted language
// are found beside the jump table of the statement lowering (returns.cpp, jumpClassOf).
#include "compiler/codegen/lower.h"
#include "wuna/runtime/errors.h"

namespace wuna::compile {

namespace {

// Bit 63: a class of no error kind, which only isinstance at run time can match.
constexpr uint64_t kPythonClassBit = uint64_t(1) << 63;

}  // namespace

uint64_t exceptClassMask(PyObject* classes) {
    if (Py_IS_TYPE(classes, &PyTuple_Type)) {
        uint64_t mask = 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes); i++)
            mask |= exceptClassMask(PyTuple_GET_ITEM(classes, i));
        return mask;
    }
    uint32_t kind = exceptionCode(classes);
    return kind == errors::kPythonClass ? kPythonClassBit : uint64_t(1) << kind;
}

}  // namespace wuna::compile
