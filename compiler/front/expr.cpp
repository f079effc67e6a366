// Expression lowering and the parts it leans on (calls, f-strings, comprehensions, set order).
// A lambda is read by nested.cpp into a function of its own and becomes a closure here; a call
// of a nested def by name becomes a nested call that passes what the def captures. Nothing is
// folded here: -5 is a unary minus over 5, left to the code generator. Lowering recurses once
// per level of syntax and refuses past a fixed depth, so a deep tree is a reason to run as
// Python rather than a native stack overflow.
#include <cstdio>
#include <cstring>

#include "compiler/front/lower.h"
#include "compiler/front/setorder.h"

namespace wuna::front {

std::string_view exprWord(std::string_view className) {
    if (className == "Yield") return "`yield`";
    if (className == "YieldFrom") return "`yield from`";
    if (className == "Await") return "`await`";
    if (className == "Starred") return "*unpacking";
    return className;
}

namespace {

// Deeper syntax than this is refused: lowering recurses once per level, and a tree that
// ast.parse accepts can be deep enough to run the native stack out.
constexpr uint32_t kMaxExprDepth = 200;

// Counts one level of nesting for as long as it lives.
struct DepthLevel {
    Lowering& lowering;
    explicit DepthLevel(Lowering& l) : lowering(l) { lowering.depth++; }
    ~DepthLevel() { lowering.depth--; }
    DepthLevel(const DepthLevel&) = delete;
    DepthLevel& operator=(const DepthLevel&) = delete;
};

// A constant the IR keeps as its Python object. ok or outOfMemory.
Status objectConstant(Lowering& lowering, PyObject* v, Position position, Expr** out) {
    if (Status s = newExpr(lowering, ExprKind::object, position, out); s != Status::ok) return s;
    Py_INCREF(v);
    if (!hold(arenaOf(lowering), v)) return Status::outOfMemory;
    (*out)->object = v;
    return Status::ok;
}

// ok, outOfMemory or pythonError.
Status lowerConstant(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Owned value(PyObject_GetAttrString(node, "value"));
    if (!value.object) return Status::pythonError;
    PyObject* v = value.object;
    if (v == Py_None) return newExpr(lowering, ExprKind::none, position, out);
    if (PyBool_Check(v)) {
        if (Status s = newExpr(lowering, ExprKind::bool_, position, out); s != Status::ok) return s;
        (*out)->bool_ = v == Py_True ? 1 : 0;
        return Status::ok;
    }
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (number == -1 && PyErr_Occurred()) return Status::pythonError;
        if (overflow == 0) {
            if (Status s = newExpr(lowering, ExprKind::int_, position, out); s != Status::ok)
                return s;
            (*out)->int_ = number;
            return Status::ok;
        }
        if (Status s = newExpr(lowering, ExprKind::bigInt, position, out); s != Status::ok)
            return s;
        Py_INCREF(v);
        if (!hold(arenaOf(lowering), v)) return Status::outOfMemory;
        (*out)->bigInt = v;
        return Status::ok;
    }
    if (PyFloat_Check(v)) {
        double number = PyFloat_AsDouble(v);
        if (number == -1.0 && PyErr_Occurred()) return Status::pythonError;
        if (Status s = newExpr(lowering, ExprKind::float_, position, out); s != Status::ok)
            return s;
        (*out)->float_ = number;
        return Status::ok;
    }
    if (PyUnicode_Check(v)) {
        Text text;
        Status s = strText(lowering, v, "value", &text);
        // A str with lone surrogates has no text of the IR's: it stays the Python object.
        if (s == Status::pythonError && droppedNoUtf8())
            return objectConstant(lowering, v, position, out);
        if (s != Status::ok) return s;
        if (Status s = newExpr(lowering, ExprKind::str, position, out); s != Status::ok) return s;
        (*out)->str = text;
        return Status::ok;
    }
    return objectConstant(lowering, v, position, out);
}

// Whether the function has a def of that name still to come, while def is one of a function
// around it: the name is the function's own then, not yet bound.
bool ownDefPending(const Lowering& lowering, const NestedDef& def, Text name) {
    return def.definer != &lowering && hasName(lowering.defNames, name);
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerName(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Text name;
    if (Status s = nameAttr(lowering, node, "id", &name); s != Status::ok) return s;
    uint32_t local;
    if (findLocal(lowering, name, &local)) {
        if (Status s = newExpr(lowering, ExprKind::local, position, out); s != Status::ok) return s;
        (*out)->local = local;
        return Status::ok;
    }
    const NestedDef* def;
    if (findNestedDef(lowering, name, &def) && !ownDefPending(lowering, *def, name)) {
        if (Status s = newExpr(lowering, ExprKind::closure, position, out); s != Status::ok)
            return s;
        (*out)->closure = def->function;
        def->function->usedAsValue = true;
        return Status::ok;
    }
    for (const Lowering* context = &lowering; context; context = context->parent) {
        if (!hasName(context->defNames, name)) continue;
        std::string_view text(name.data, name.length);
        return refuse(lowering, position,
                      {"the nested function ", text, " used before its def can't be compiled"});
    }
    if (Status s = newExpr(lowering, ExprKind::global, position, out); s != Status::ok) return s;
    (*out)->global = name;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerSubscript(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Owned slice(PyObject_GetAttrString(node, "slice"));
    if (!slice.object) return Status::pythonError;
    Expr* object;
    if (Status s = lowerExprAttr(lowering, node, "value", &object); s != Status::ok) return s;
    ClassName sliceClass;
    if (Status s = className(slice.object, &sliceClass); s != Status::ok) return s;
    if (!sliceClass.is("Slice")) {
        Expr* index;
        if (Status s = lowerExpr(lowering, slice.object, &index); s != Status::ok) return s;
        if (Status s = newExpr(lowering, ExprKind::subscript, position, out); s != Status::ok)
            return s;
        (*out)->subscript.object = object;
        (*out)->subscript.index = index;
        return Status::ok;
    }
    Expr* bounds[3];
    static constexpr const char* kBounds[] = {"lower", "upper", "step"};
    for (int i = 0; i < 3; i++) {
        Status s = optionalExprAttr(lowering, slice.object, kBounds[i], &bounds[i]);
        if (s != Status::ok) return s;
    }
    if (Status s = newExpr(lowering, ExprKind::slice, position, out); s != Status::ok) return s;
    (*out)->slice.object = object;
    (*out)->slice.lower = bounds[0];
    (*out)->slice.upper = bounds[1];
    (*out)->slice.step = bounds[2];
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerNamedExpr(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Owned target(PyObject_GetAttrString(node, "target"));
    if (!target.object) return Status::pythonError;
    Text name;
    if (Status s = nameAttr(lowering, target.object, "id", &name); s != Status::ok) return s;
    if (hasName(lowering.globals, name))
        return refuse(lowering, position, "`:=` to a `global` name can't be compiled");
    // The scoped names are passed over: := in a comprehension binds the function's variable.
    uint32_t local;
    if (Status s = localIndex(lowering, name, &local); s != Status::ok) return s;
    Expr* value;
    if (Status s = lowerExprAttr(lowering, node, "value", &value); s != Status::ok) return s;
    if (Status s = newExpr(lowering, ExprKind::namedExpr, position, out); s != Status::ok) return s;
    (*out)->namedExpr.value = value;
    (*out)->namedExpr.local = local;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerBinary(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    // The operator first: an unknown one is the reason even when an operand is refused too.
    Owned op(PyObject_GetAttrString(node, "op"));
    if (!op.object) return Status::pythonError;
    BinaryOp code = BinaryOp::add;
    if (Status s = binaryOpCode(lowering, op.object, position, &code); s != Status::ok) return s;
    Expr* left;
    Expr* right;
    if (Status s = lowerExprAttr(lowering, node, "left", &left); s != Status::ok) return s;
    if (Status s = lowerExprAttr(lowering, node, "right", &right); s != Status::ok) return s;
    if (Status s = newExpr(lowering, ExprKind::binary, position, out); s != Status::ok) return s;
    (*out)->binary.left = left;
    (*out)->binary.right = right;
    (*out)->binary.op = code;
    return Status::ok;
}

// ok, outOfMemory or pythonError (an operator without a code is a ValueError).
Status unaryOpCode(PyObject* op, UnaryOp* out) {
    ClassName name;
    if (Status s = className(op, &name); s != Status::ok) return s;
    static constexpr std::string_view kNames[] = {"USub", "UAdd", "Not", "Invert"};
    for (uint8_t i = 0; i < kUnaryOpCount; i++) {
        if (name.is(kNames[i])) {
            *out = UnaryOp(i);
            return Status::ok;
        }
    }
    PyErr_SetString(PyExc_ValueError, "an unknown unary operator");
    return Status::pythonError;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerUnary(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Owned op(PyObject_GetAttrString(node, "op"));
    if (!op.object) return Status::pythonError;
    UnaryOp code = UnaryOp::neg;
    if (Status s = unaryOpCode(op.object, &code); s != Status::ok) return s;
    Expr* operand;
    if (Status s = lowerExprAttr(lowering, node, "operand", &operand); s != Status::ok) return s;
    if (Status s = newExpr(lowering, ExprKind::unary, position, out); s != Status::ok) return s;
    (*out)->unary.operand = operand;
    (*out)->unary.op = code;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerBoolOp(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Owned op(PyObject_GetAttrString(node, "op"));
    if (!op.object) return Status::pythonError;
    ClassName name;
    if (Status s = className(op.object, &name); s != Status::ok) return s;
    ExprList operands;
    if (Status s = lowerExprList(lowering, node, "values", &operands); s != Status::ok) return s;
    ExprKind kind = name.is("And") ? ExprKind::and_ : ExprKind::or_;
    if (Status s = newExpr(lowering, kind, position, out); s != Status::ok) return s;
    if (kind == ExprKind::and_)
        (*out)->and_ = operands;
    else
        (*out)->or_ = operands;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerCompare(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Expr* left;
    if (Status s = lowerExprAttr(lowering, node, "left", &left); s != Status::ok) return s;
    Owned ops;
    if (Status s = listAttr(node, "ops", &ops); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(ops.object);
    CompareOp* codes = takeArray<CompareOp>(arenaOf(lowering), size_t(count));
    if (!codes) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < count; i++) {
        // The list is re-read each time: reading a class name can run Python.
        if (i >= PyList_GET_SIZE(ops.object)) break;
        Status s = compareOpCode(PyList_GET_ITEM(ops.object, i), &codes[i]);
        if (s != Status::ok) return s;
    }
    ExprList comparators;
    if (Status s = lowerExprList(lowering, node, "comparators", &comparators); s != Status::ok)
        return s;
    if (comparators.count != uint64_t(count)) {
        PyErr_SetString(PyExc_ValueError, "a comparison needs as many comparators as operators");
        return Status::pythonError;
    }
    if (Status s = newExpr(lowering, ExprKind::compare, position, out); s != Status::ok) return s;
    (*out)->compare.left = left;
    (*out)->compare.ops = List<CompareOp>{codes, uint64_t(count)};
    (*out)->compare.comparators = comparators;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerIfExp(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Expr* test;
    Expr* body;
    Expr* orelse;
    if (Status s = lowerExprAttr(lowering, node, "test", &test); s != Status::ok) return s;
    if (Status s = lowerExprAttr(lowering, node, "body", &body); s != Status::ok) return s;
    if (Status s = lowerExprAttr(lowering, node, "orelse", &orelse); s != Status::ok) return s;
    if (Status s = newExpr(lowering, ExprKind::ifExp, position, out); s != Status::ok) return s;
    (*out)->ifExp.test = test;
    (*out)->ifExp.body = body;
    (*out)->ifExp.orelse = orelse;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerDisplay(Lowering& lowering, PyObject* node, ExprKind kind, Position position,
                    Expr** out) {
    ExprList elements;
    if (Status s = lowerExprList(lowering, node, "elts", &elements); s != Status::ok) return s;
    if (Status s = newExpr(lowering, kind, position, out); s != Status::ok) return s;
    if (kind == ExprKind::list)
        (*out)->list = elements;
    else
        (*out)->tuple = elements;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerSet(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Owned elts;
    if (Status s = listAttr(node, "elts", &elts); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(elts.object);
    bool folded = count >= 3;
    for (Py_ssize_t i = 0; folded && i < count; i++) {
        // Re-checked each time: isLiteral reads attributes, which can run Python.
        if (i >= PyList_GET_SIZE(elts.object)) break;
        bool literal;
        Owned item(Py_NewRef(PyList_GET_ITEM(elts.object, i)));  // held for the same reason
        if (Status s = isLiteral(item.object, &literal); s != Status::ok) return s;
        folded = literal;
    }
    ExprList elements;
    if (Status s = lowerExprList(lowering, node, "elts", &elements); s != Status::ok) return s;
    if (folded) {
        uint64_t* order;
        Status s = foldedOrder(lowering, elts.object, size_t(elements.count), &order);
        if (s != Status::ok) return s;
        if (order) {
            Expr** ordered = takeArray<Expr*>(arenaOf(lowering), size_t(elements.count));
            if (!ordered) return Status::outOfMemory;
            for (uint64_t i = 0; i < elements.count; i++) ordered[i] = elements.items[order[i]];
            elements.items = ordered;
        }
    }
    if (Status s = newExpr(lowering, ExprKind::set, position, out); s != Status::ok) return s;
    (*out)->set.elements = elements;
    (*out)->set.folded = folded ? 1 : 0;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerDict(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    Owned keys;
    if (Status s = listAttr(node, "keys", &keys); s != Status::ok) return s;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.object); i++) {
        if (PyList_GET_ITEM(keys.object, i) == Py_None)
            return refuse(lowering, position, "**unpacking can't be compiled");
    }
    ExprList keyList;
    ExprList valueList;
    if (Status s = lowerExprList(lowering, node, "keys", &keyList); s != Status::ok) return s;
    if (Status s = lowerExprList(lowering, node, "values", &valueList); s != Status::ok) return s;
    if (keyList.count != valueList.count) {
        PyErr_SetString(PyExc_ValueError, "a dict display needs as many values as keys");
        return Status::pythonError;
    }
    if (Status s = newExpr(lowering, ExprKind::dict, position, out); s != Status::ok) return s;
    (*out)->dict.keys = keyList;
    (*out)->dict.values = valueList;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerLambda(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    static constexpr char kLambda[] = "<lambda>";
    FunctionIR* function;
    Status s = lowerNestedFunction(lowering, node, Text{kLambda, sizeof kLambda - 1}, position,
                                   true, &function);
    if (s != Status::ok) return s;
    if ((s = newExpr(lowering, ExprKind::closure, position, out)) != Status::ok) return s;
    function->usedAsValue = true;
    (*out)->closure = function;
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerComprehension(Lowering& lowering, PyObject* node, ExprKind kind, Position position,
                          Expr** out) {
    // The clauses' variables are in scope for the clauses and the element only.
    uint32_t scopedDepth = lowering.scoped.count;
    GeneratorList generators;
    Expr* element = nullptr;
    Expr* value = nullptr;
    Status s = lowerGenerators(lowering, node, position, &generators);
    if (s == Status::ok) {
        s = kind == ExprKind::dictComp ? lowerExprAttr(lowering, node, "key", &element)
                                       : lowerExprAttr(lowering, node, "elt", &element);
    }
    if (s == Status::ok && kind == ExprKind::dictComp)
        s = lowerExprAttr(lowering, node, "value", &value);
    lowering.scoped.count = scopedDepth;
    if (s != Status::ok) return s;
    if ((s = newExpr(lowering, kind, position, out)) != Status::ok) return s;
    if (kind == ExprKind::dictComp) {
        (*out)->dictComp.key = element;
        (*out)->dictComp.value = value;
        (*out)->dictComp.generators = generators;
    } else {
        (*out)->listComp.element = element;
        (*out)->listComp.generators = generators;
    }
    return Status::ok;
}

// ok, unsupported, outOfMemory or pythonError.
Status lowerFString(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    FStringPartList parts;
    if (Status s = lowerFStringParts(lowering, node, &parts); s != Status::ok) return s;
    if (Status s = newExpr(lowering, ExprKind::fstring, position, out); s != Status::ok) return s;
    (*out)->fstring = parts;
    return Status::ok;
}

// The node after its position and class name are known.
Status lowerKnown(Lowering& lowering, PyObject* node, const ClassName& name, Position position,
                  Expr** out) {
    if (name.is("Constant")) return lowerConstant(lowering, node, position, out);
    if (name.is("Name")) return lowerName(lowering, node, position, out);
    if (name.is("Attribute")) {
        Expr* object;
        if (Status s = lowerExprAttr(lowering, node, "value", &object); s != Status::ok) return s;
        Text attr;
        if (Status s = nameAttr(lowering, node, "attr", &attr); s != Status::ok) return s;
        if (Status s = newExpr(lowering, ExprKind::attribute, position, out); s != Status::ok)
            return s;
        (*out)->attribute.object = object;
        (*out)->attribute.name = attr;
        return Status::ok;
    }
    if (name.is("Subscript")) return lowerSubscript(lowering, node, position, out);
    if (name.is("Call")) return lowerCall(lowering, node, position, out);
    if (name.is("Lambda")) return lowerLambda(lowering, node, position, out);
    if (name.is("NamedExpr")) return lowerNamedExpr(lowering, node, position, out);
    if (name.is("BinOp")) return lowerBinary(lowering, node, position, out);
    if (name.is("UnaryOp")) return lowerUnary(lowering, node, position, out);
    if (name.is("BoolOp")) return lowerBoolOp(lowering, node, position, out);
    if (name.is("Compare")) return lowerCompare(lowering, node, position, out);
    if (name.is("IfExp")) return lowerIfExp(lowering, node, position, out);
    if (name.is("List")) return lowerDisplay(lowering, node, ExprKind::list, position, out);
    if (name.is("Tuple")) return lowerDisplay(lowering, node, ExprKind::tuple, position, out);
    if (name.is("Set")) return lowerSet(lowering, node, position, out);
    if (name.is("Dict")) return lowerDict(lowering, node, position, out);
    if (name.is("SetComp"))
        return lowerComprehension(lowering, node, ExprKind::setComp, position, out);
    if (name.is("ListComp"))
        return lowerComprehension(lowering, node, ExprKind::listComp, position, out);
    if (name.is("GeneratorExp"))
        return lowerComprehension(lowering, node, ExprKind::generatorExp, position, out);
    if (name.is("DictComp"))
        return lowerComprehension(lowering, node, ExprKind::dictComp, position, out);
    if (name.is("JoinedStr")) return lowerFString(lowering, node, position, out);
    return constructRefused(lowering, position, exprWord(name.view()));
}

}  // namespace

Status lowerExpr(Lowering& lowering, PyObject* node, Expr** out) {
    *out = nullptr;
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    // A nested function's context starts afresh, but its lowering runs on top of its parent's.
    uint32_t depth = 0;
    for (const Lowering* context = &lowering; context; context = context->parent)
        depth += context->depth;
    if (depth >= kMaxExprDepth)
        return refuse(lowering, position, "an expression nested this deeply can't be compiled");
    DepthLevel level(lowering);
    ClassName name;
    if (Status s = className(node, &name); s != Status::ok) return s;
    return lowerKnown(lowering, node, name, position, out);
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
    Owned items;
    if (Status s = listAttr(node, name, &items); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(items.object);
    Expr** lowered = takeArray<Expr*>(arenaOf(lowering), size_t(count));
    if (!lowered) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Re-checked each time: lowering an item can run Python, which could shorten the list.
        if (i >= PyList_GET_SIZE(items.object)) {
            count = i;
            break;
        }
        PyObject* item = PyList_GET_ITEM(items.object, i);
        Py_INCREF(item);  // held while it is lowered, for the same reason
        Owned held(item);
        ClassName itemClass;
        if (Status s = className(item, &itemClass); s != Status::ok) return s;
        if (itemClass.is("Starred")) {
            Position position;
            if (Status s = nodePosition(lowering, item, &position); s != Status::ok) return s;
            return refuse(lowering, position, "*unpacking can't be compiled");
        }
        if (Status s = lowerExpr(lowering, item, &lowered[i]); s != Status::ok) return s;
    }
    *out = ExprList{lowered, uint64_t(count)};
    return Status::ok;
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

namespace {

// A keyword list of a general call. ok, unsupported, outOfMemory or pythonError.
Status lowerKeywords(Lowering& lowering, PyObject* node, Position position, KeywordList* out) {
    *out = KeywordList{nullptr, 0};
    Owned keywords;
    if (Status s = listAttr(node, "keywords", &keywords); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(keywords.object);
    Keyword* lowered = takeArray<Keyword>(arenaOf(lowering), size_t(count));
    if (!lowered) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Re-checked each time: lowering a value can run Python, which could shorten the list.
        if (i >= PyList_GET_SIZE(keywords.object)) {
            count = i;
            break;
        }
        PyObject* keyword = PyList_GET_ITEM(keywords.object, i);
        Py_INCREF(keyword);
        Owned held(keyword);
        Owned arg(PyObject_GetAttrString(keyword, "arg"));
        if (!arg.object) return Status::pythonError;
        if (arg.object == Py_None)
            return refuse(lowering, position, "**unpacking can't be compiled");
        if (Status s = strText(lowering, arg.object, "arg", &lowered[i].name); s != Status::ok)
            return s;
        if (Status s = lowerExprAttr(lowering, keyword, "value", &lowered[i].value);
            s != Status::ok)
            return s;
    }
    *out = KeywordList{lowered, uint64_t(count)};
    return Status::ok;
}

// A call of the nested function def by its name. ok, unsupported, outOfMemory or pythonError.
Status lowerNestedCall(Lowering& lowering, PyObject* node, const NestedDef& def, Position position,
                       Expr** out) {
    std::string_view defName(def.name.data, def.name.length);
    Owned keywords;
    if (Status s = listAttr(node, "keywords", &keywords); s != Status::ok) return s;
    if (PyList_GET_SIZE(keywords.object) > 0) {
        return refuse(lowering, position,
                      {"keyword arguments to the nested function ", defName, " can't be compiled"});
    }
    ExprList arguments;
    if (Status s = lowerExprList(lowering, node, "args", &arguments); s != Status::ok) return s;
    if (arguments.count != def.paramCount) {
        char number[24];
        int length = snprintf(number, sizeof number, "%llu", (unsigned long long)def.paramCount);
        return refuse(
            lowering, position,
            {defName, "() takes ", std::string_view(number, size_t(length)), " arguments"});
    }
    uint64_t total = arguments.count + 1 + def.captured.count;
    Expr** all = takeArray<Expr*>(arenaOf(lowering), size_t(total));
    if (!all) return Status::outOfMemory;
    for (uint64_t i = 0; i < arguments.count; i++) all[i] = arguments.items[i];
    if (Status s = newExpr(lowering, ExprKind::none, position, &all[arguments.count]);
        s != Status::ok)
        return s;
    for (uint64_t i = 0; i < def.captured.count; i++) {
        Text captured = def.captured.items[i];
        // The def reads the variable its own definer sees; the caller passes its function's
        // variable of that name (never a comprehension's, which the def can't see), and only
        // when that is the same variable.
        uint32_t local;
        const Lowering* owner = variableOwner(*def.definer, captured);
        if (!owner || variableOwner(lowering, captured) != owner ||
            !findFunctionLocal(lowering, captured, &local)) {
            return refuse(lowering, position,
                          {std::string_view(captured.data, captured.length),
                           " isn't reachable where the nested function ", defName, " is called"});
        }
        Expr** slot = &all[arguments.count + 1 + i];
        if (Status s = newExpr(lowering, ExprKind::local, position, slot); s != Status::ok)
            return s;
        (*slot)->local = local;
    }
    if (Status s = newExpr(lowering, ExprKind::nestedCall, position, out); s != Status::ok)
        return s;
    (*out)->nestedCall.function = def.function;
    (*out)->nestedCall.arguments = ExprList{all, total};
    return Status::ok;
}

}  // namespace

Status lowerCall(Lowering& lowering, PyObject* node, Position position, Expr** out) {
    *out = nullptr;
    Owned func(PyObject_GetAttrString(node, "func"));
    if (!func.object) return Status::pythonError;
    ClassName funcClass;
    if (Status s = className(func.object, &funcClass); s != Status::ok) return s;
    if (funcClass.is("Name")) {
        Text name;
        if (Status s = nameAttr(lowering, func.object, "id", &name); s != Status::ok) return s;
        uint32_t local;
        const NestedDef* def;
        if (!findLocal(lowering, name, &local) && findNestedDef(lowering, name, &def) &&
            !ownDefPending(lowering, *def, name))
            return lowerNestedCall(lowering, node, *def, position, out);
    }
    Expr* callee;
    if (Status s = lowerExpr(lowering, func.object, &callee); s != Status::ok) return s;
    ExprList arguments;
    if (Status s = lowerCallArgs(lowering, node, &arguments); s != Status::ok) return s;
    KeywordList keywords;
    if (Status s = lowerKeywords(lowering, node, position, &keywords); s != Status::ok) return s;
    if (Status s = newExpr(lowering, ExprKind::call, position, out); s != Status::ok) return s;
    (*out)->call.callee = callee;
    (*out)->call.arguments = arguments;
    (*out)->call.keywords = keywords;
    return Status::ok;
}

Status lowerCallArgs(Lowering& lowering, PyObject* node, ExprList* out) {
    *out = ExprList{nullptr, 0};
    Owned args;
    if (Status s = listAttr(node, "args", &args); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(args.object);
    Expr** lowered = takeArray<Expr*>(arenaOf(lowering), size_t(count));
    if (!lowered) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Re-checked each time: lowering an argument can run Python, which could shorten the list.
        if (i >= PyList_GET_SIZE(args.object)) {
            count = i;
            break;
        }
        PyObject* item = PyList_GET_ITEM(args.object, i);
        Py_INCREF(item);
        Owned held(item);
        ClassName itemClass;
        if (Status s = className(item, &itemClass); s != Status::ok) return s;
        if (!itemClass.is("Starred")) {
            if (Status s = lowerExpr(lowering, item, &lowered[i]); s != Status::ok) return s;
            continue;
        }
        Position position;
        if (Status s = nodePosition(lowering, item, &position); s != Status::ok) return s;
        Expr* value;
        if (Status s = lowerExprAttr(lowering, item, "value", &value); s != Status::ok) return s;
        if (Status s = newExpr(lowering, ExprKind::starred, position, &lowered[i]); s != Status::ok)
            return s;
        lowered[i]->starred = value;
    }
    *out = ExprList{lowered, uint64_t(count)};
    return Status::ok;
}

Status lowerFStringParts(Lowering& lowering, PyObject* node, FStringPartList* out) {
    *out = FStringPartList{nullptr, 0};
    Owned values;
    if (Status s = listAttr(node, "values", &values); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(values.object);
    FStringPart* parts = takeArray<FStringPart>(arenaOf(lowering), size_t(count));
    if (!parts) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Re-checked each time: lowering a value can run Python, which could shorten the list.
        if (i >= PyList_GET_SIZE(values.object)) {
            count = i;
            break;
        }
        PyObject* item = PyList_GET_ITEM(values.object, i);
        Py_INCREF(item);
        Owned held(item);
        ClassName itemClass;
        if (Status s = className(item, &itemClass); s != Status::ok) return s;
        if (!itemClass.is("Constant")) {
            if (Status s = lowerFormattedPart(lowering, item, &parts[i]); s != Status::ok) return s;
            continue;
        }
        Owned text(PyObject_GetAttrString(item, "value"));
        if (!text.object) return Status::pythonError;
        parts[i].tag = FStringTag::text;
        Status s = strText(lowering, text.object, "f-string text", &parts[i].text);
        if (s == Status::pythonError && droppedNoUtf8()) {
            // Text with lone surrogates: the value of the str itself, formatted as it is.
            Position position;
            if ((s = nodePosition(lowering, item, &position)) != Status::ok) return s;
            parts[i] = FStringPart{};
            parts[i].tag = FStringTag::value;
            s = objectConstant(lowering, text.object, position, &parts[i].value.value);
        }
        if (s != Status::ok) return s;
    }
    *out = FStringPartList{parts, uint64_t(count)};
    return Status::ok;
}

Status lowerFormattedPart(Lowering& lowering, PyObject* node, FStringPart* out) {
    *out = FStringPart{};
    out->tag = FStringTag::value;
    int64_t conversion;
    if (Status s = intAttr(node, "conversion", -1, &conversion); s != Status::ok) return s;
    out->value.conversion = conversion > 0 && conversion < 256 ? uint8_t(conversion) : 0;
    Owned spec(PyObject_GetAttrString(node, "format_spec"));
    if (!spec.object) return Status::pythonError;
    if (spec.object != Py_None) {
        Status s = lowerFStringParts(lowering, spec.object, &out->value.spec);
        if (s != Status::ok) return s;
    }
    return lowerExprAttr(lowering, node, "value", &out->value.value);
}

Status lowerGenerators(Lowering& lowering, PyObject* node, Position position, GeneratorList* out) {
    *out = GeneratorList{nullptr, 0};
    Owned generators;
    if (Status s = listAttr(node, "generators", &generators); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(generators.object);
    Generator* lowered = takeArray<Generator>(arenaOf(lowering), size_t(count));
    if (!lowered) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Re-checked each time: lowering a clause can run Python, which could shorten the list.
        if (i >= PyList_GET_SIZE(generators.object)) {
            count = i;
            break;
        }
        PyObject* clause = PyList_GET_ITEM(generators.object, i);
        Py_INCREF(clause);
        Owned held(clause);
        int64_t isAsync;
        if (Status s = intAttr(clause, "is_async", 0, &isAsync); s != Status::ok) return s;
        if (isAsync != 0) return constructRefused(lowering, position, "async comprehensions");
        // The iterable comes before the clause's own variables exist.
        Status s = lowerExprAttr(lowering, clause, "iter", &lowered[i].iterable);
        if (s != Status::ok) return s;
        Owned target(PyObject_GetAttrString(clause, "target"));
        if (!target.object) return Status::pythonError;
        if ((s = comprehensionTarget(lowering, target.object, &lowered[i].target)) != Status::ok)
            return s;
        if ((s = lowerExprList(lowering, clause, "ifs", &lowered[i].conditions)) != Status::ok)
            return s;
    }
    *out = GeneratorList{lowered, uint64_t(count)};
    return Status::ok;
}

Status comprehensionTarget(Lowering& lowering, PyObject* node, Target* out) {
    *out = Target{};
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    ClassName name;
    if (Status s = className(node, &name); s != Status::ok) return s;
    if (name.is("Name")) {
        Text id;
        if (Status s = nameAttr(lowering, node, "id", &id); s != Status::ok) return s;
        // Always a new local: a comprehension's variable never shares a slot with another.
        uint32_t local = lowering.locals.count;
        Arena& arena = arenaOf(lowering);
        if (!lowering.locals.push(arena, id)) return Status::outOfMemory;
        if (!lowering.scoped.push(arena, ScopedName{id, local}) ||
            !lowering.comprehensionLocals.push(arena, local))
            return Status::outOfMemory;
        out->kind = TargetKind::local;
        out->local = local;
        return Status::ok;
    }
    if (!name.is("Tuple") && !name.is("List")) {
        return refuse(lowering, position,
                      "a comprehension's variable must be a name or a tuple of names");
    }
    Owned elts;
    if (Status s = listAttr(node, "elts", &elts); s != Status::ok) return s;
    Py_ssize_t count = PyList_GET_SIZE(elts.object);
    Target* targets = takeArray<Target>(arenaOf(lowering), size_t(count));
    if (!targets) return Status::outOfMemory;
    for (Py_ssize_t i = 0; i < count; i++) {
        // Re-checked each time: reading an element can run Python, which could shorten the list.
        if (i >= PyList_GET_SIZE(elts.object)) {
            count = i;
            break;
        }
        PyObject* item = PyList_GET_ITEM(elts.object, i);
        Py_INCREF(item);
        Owned held(item);
        if (Status s = comprehensionTarget(lowering, item, &targets[i]); s != Status::ok) return s;
    }
    out->kind = TargetKind::tuple;
    out->tuple = TargetList{targets, uint64_t(count)};
    return Status::ok;
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
