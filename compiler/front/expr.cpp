// Expression lowering and the parts it leans on (nested functions, closures, calls, f-strings,
// comprehensions, set order). Until they are built, every expression is refused with the
// class name of its node, so every function with an expression runs as Python.
#include <cstring>

#include "compiler/front/lower.h"
#include "compiler/front/setorder.h"

namespace wuna::front {

std::string_view exprWord(std::string_view className) { return className; }

Status lowerExpr(Lowering& lowering, PyObject* node, Expr** out) {
    *out = nullptr;
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    ClassName name;
    if (Status s = className(node, &name); s != Status::ok) return s;
    return constructRefused(lowering, position, exprWord(name.view()));
}

Status lowerExprAttr(Lowering& lowering, PyObject* node, const char* name, Expr** out) {
    *out = nullptr;
    PyObject* value = PyObject_GetAttrString(node, name);
    if (!value) return Status::pythonError;
    Status s = lowerExpr(lowering, value, out);
    Py_DECREF(value);
    return s;
}

Status lowerExprList(Lowering& lowering, PyObject* node, const char* name, ExprList* out) {
    *out = ExprList{nullptr, 0};
    PyObject* items = PyObject_GetAttrString(node, name);
    if (!items) return Status::pythonError;
    Status s = Status::ok;
    if (!PyList_Check(items)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list", name);
        s = Status::pythonError;
    } else if (PyList_GET_SIZE(items) > 0) {
        Expr* first;
        s = lowerExpr(lowering, PyList_GET_ITEM(items, 0), &first);
    }
    Py_DECREF(items);
    return s;
}

Status binaryOpCode(Lowering& lowering, PyObject* op, Position position, BinaryOp* out) {
    ClassName name;
    if (Status s = className(op, &name); s != Status::ok) return s;
    static constexpr std::string_view kNames[] = {"Add",      "Sub",   "Mult",   "Div",
                                                  "FloorDiv", "Mod",   "Pow",    "LShift",
                                                  "RShift",   "BitOr", "BitXor", "BitAnd"};
    for (uint8_t i = 0; i < kBinaryOpCount; i++) {
        if (name.is(kNames[i])) {
            *out = BinaryOp(i);
            return Status::ok;
        }
    }
    return refuse(lowering, position, {"the operator ", name.view(), " can't be compiled"});
}

Status compareOpCode(PyObject* op, CompareOp* out) {
    ClassName name;
    if (Status s = className(op, &name); s != Status::ok) return s;
    static constexpr std::string_view kNames[] = {"Eq",  "NotEq", "Lt",    "LtE", "Gt",
                                                  "GtE", "Is",    "IsNot", "In",  "NotIn"};
    for (uint8_t i = 0; i < kCompareOpCount; i++) {
        if (name.is(kNames[i])) {
            *out = CompareOp(i);
            return Status::ok;
        }
    }
    PyErr_SetString(PyExc_ValueError, "an unknown comparison operator");
    return Status::pythonError;
}

bool findNestedDef(const Lowering& lowering, Text name, const NestedDef** out) {
    (void)lowering;
    (void)name;
    *out = nullptr;
    return false;
}

Status lowerNestedDef(Lowering& lowering, PyObject* node, Position position) {
    (void)node;
    return constructRefused(lowering, position, "a nested def");
}

Status lowerNestedFunction(Lowering& lowering, PyObject* node, Text name, Position position,
                           bool isLambda, FunctionIR** out) {
    (void)node;
    (void)name;
    *out = nullptr;
    return constructRefused(lowering, position, isLambda ? "a lambda" : "a nested def");
}

Status namesRead(Lowering& lowering, PyObject* node, List<Text>* out) {
    (void)lowering;
    (void)node;
    *out = List<Text>{nullptr, 0};
    return Status::ok;
}

Status nestedQualname(Arena& arena, Text parent, Text name, Text* out) {
    static constexpr char kLocals[] = ".<locals>.";
    size_t length = parent.length + sizeof kLocals - 1 + name.length;
    char* text = takeArray<char>(arena, length);
    if (!text) return Status::outOfMemory;
    memcpy(text, parent.data, parent.length);
    memcpy(text + parent.length, kLocals, sizeof kLocals - 1);
    memcpy(text + parent.length + sizeof kLocals - 1, name.data, name.length);
    *out = Text{text, length};
    return Status::ok;
}

Status analyzeClosures(FunctionIR* outermost, Arena& arena) {
    // Without nested functions nothing lives in a frame: one zeroed slot per local.
    FrameSlot* slots = takeArray<FrameSlot>(arena, outermost->locals.count);
    if (!slots) return Status::outOfMemory;
    outermost->frameSlots = List<FrameSlot>{slots, outermost->locals.count};
    return Status::ok;
}

Status lowerCall(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    (void)node;
    *out = nullptr;
    return constructRefused(lowering, position, "Call");
}

Status lowerCallArgs(Lowering& lowering, PyObject* node, ExprList* out) {
    *out = ExprList{nullptr, 0};
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    return constructRefused(lowering, position, "Call");
}

Status lowerFStringParts(Lowering& lowering, PyObject* node, FStringPartList* out) {
    *out = FStringPartList{nullptr, 0};
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    return constructRefused(lowering, position, "JoinedStr");
}

Status lowerFormattedPart(Lowering& lowering, PyObject* node, FStringPart* out) {
    *out = FStringPart{};
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    return constructRefused(lowering, position, "FormattedValue");
}

Status lowerGenerators(Lowering& lowering, PyObject* node, Position position, GeneratorList* out) {
    (void)node;
    *out = GeneratorList{nullptr, 0};
    return constructRefused(lowering, position, "a comprehension");
}

Status comprehensionTarget(Lowering& lowering, PyObject* node, Target* out) {
    *out = Target{};
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    return constructRefused(lowering, position, "a comprehension");
}

// isLiteral is in setorder.cpp.

Status foldedOrder(Lowering& lowering, PyObject* elts, size_t n, uint64_t** order) {
    *order = nullptr;
    uint64_t* indices = takeArray<uint64_t>(arenaOf(lowering), n);
    if (!indices) return Status::outOfMemory;
    bool found = false;
    if (Status s = foldedOrder(lowering.function, elts, n, indices, &found); s != Status::ok)
        return s;
    if (found) *order = indices;
    return Status::ok;
}

}  // namespace wuna::front
