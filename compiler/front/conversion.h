// One conversion of a Python object into shapes, as fromPython and comptimeResult share it.
//
// Python objects may nest deeply, share parts many times over, and (lists and dicts) hold
// themselves. A conversion therefore enters the interpreter's recursion guard at each level
// (too deep: RecursionError), counts the items it converts against a budget (a tuple that
// holds one tuple twice at each of sixty levels would otherwise take 2^60 steps), and keeps
// the set of containers it is inside of, so that comptimeResult refuses a container that
// holds itself instead of following it forever.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/front/shape.h"
#include "host/support/idmap.h"
#include "wuna/runtime/status.h"

namespace wuna::front {

// Items one conversion may convert, every visit of a shared part counted again.
inline constexpr uint64_t kConversionItems = uint64_t(1) << 20;

struct Conversion {
    compile::Compiler* compiler = nullptr;
    uint64_t items = 0;
    idmap::IdMap<uint8_t> active;  // containers being converted (comptimeResult)
};

// The interpreter's recursion guard for one level of a conversion.
class DepthGuard {
public:
    DepthGuard()
        : entered_(Py_EnterRecursiveCall(" while converting a value known when compiling") == 0) {}
    ~DepthGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    // False: too deep, with RecursionError pending.
    bool entered() const { return entered_; }

private:
    bool entered_;
};

// Counts n more items. ok, or unsupported with the refusal in the compiler's message buffer
// (outOfMemory when even that can't be written).
Status countItems(Conversion& cv, uint64_t n);

// The shape of one object by fromPython's rules, within the conversion.
Status shapeOf(Conversion& cv, PyObject* object, compile::Shape* out);

// Converts one item shape into a new reference in *out, or an error.
using ItemObject = Status (*)(compile::Compiler* c, const compile::Shape& shape, PyObject** out);

// A new tuple of a tuple shape's items, each made by item (toPython, or toArgument for
// compile-time calls), within the recursion guard. ok with *out, or the first item's error.
Status tupleObject(compile::Compiler* c, const compile::Shape& shape, ItemObject item,
                   PyObject** out);

// Frees what the conversion kept. Cannot fail.
void endConversion(Conversion& cv);

}  // namespace wuna::front
