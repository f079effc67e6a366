// The expression dispatcher: one table of the 34 expression kinds, each handed to its
// emitter (see lower.h and expression_parts.h). The dispatcher itself does the constants, the
// order in which operands are compiled and kept live, the routing of attributes, single
// comparisons, conditional and named expressions, and the few reads it answers alone
// (type(x).__name__, imports resolved while compiling).
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/expression_parts.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/helpers/print.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using front::Expr;
using front::ExprKind;

// --- constants -------------------------------------------------------------------------------

Status intLiteral(Emitter*, Semantic*, const Expr* x, Shape* out) {
    *out = scalarShape(ShapeKind::pint);
    out->int_ = x->int_;
    return Status::ok;
}

Status bigLiteral(Emitter* e, Semantic*, const Expr* x, Shape* out) {
    return emitObjectConstant(e, x->bigInt, out);
}

Status objectLiteral(Emitter* e, Semantic*, const Expr* x, Shape* out) {
    return emitObjectConstant(e, x->object, out);
}

Status floatLiteral(Emitter*, Semantic*, const Expr* x, Shape* out) {
    *out = scalarShape(ShapeKind::float_);
    out->float_ = x->float_;
    return Status::ok;
}

Status strLiteral(Emitter*, Semantic*, const Expr* x, Shape* out) {
    *out = scalarShape(ShapeKind::str);
    out->str = x->str;
    return Status::ok;
}

Status boolLiteral(Emitter*, Semantic*, const Expr* x, Shape* out) {
    *out = scalarShape(ShapeKind::bool_);
    out->bool_ = x->bool_ & 1;
    return Status::ok;
}

Status noneLiteral(Emitter*, Semantic*, const Expr*, Shape* out) {
    *out = noneShape();
    return Status::ok;
}

// --- names -----------------------------------------------------------------------------------

Status localRead(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitLocalExpr(e, s, x, out);
}

Status globalRead(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitGlobal(e, s, x->global, x->position, out);
}

Status namedExpr(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitNamedExpr(e, s, x, out);
}

// --- attributes ----------------------------------------------------------------------------

// The dyn argument's type name from the runtime (known kind str).
Status typeNameAtRunTime(Emitter* e, Semantic* s, const Shape& argument, Shape* out) {
    Operand o;
    if (Status err = materialize(e, argument, s->site, &o); err != Status::ok) return err;
    ValueRef args[5] = {e->runContext, siteValue(e, s->site), o.tag, o.payload, e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_type_name", args, 5, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::str));
    return Status::ok;
}

// The type name of a value known while compiling, folded; *folded false when the shape has
// no Python object (a node, a container made while compiling, rt ...).
Status typeNameWhenCompiling(Emitter* e, const Shape& argument, Shape* out, bool* folded) {
    *folded = false;
    PyObject* object = nullptr;
    if (argument.kind == ShapeKind::py) {
        object = argument.py;
        Py_INCREF(object);
    } else if (isConstant(argument)) {
        if (Status err = toPython(e->compiler, argument, &object); err != Status::ok) return err;
    } else {
        return Status::ok;
    }
    PyObject* name =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__");
    Py_DECREF(object);
    if (!name) return Status::pythonError;
    Status err = fromPython(e->compiler, name, out);
    Py_DECREF(name);
    *folded = err == Status::ok;
    return err;
}

// type(x).__name__: *handled false (nothing compiled that matters) when the object is not a
// call of the builtin type with one argument.
Status typeName(Emitter* e, Semantic* s, const Expr* x, Shape* out, bool* handled) {
    *handled = false;
    const Expr* call = x->attribute.object;
    if (!front::textIs(x->attribute.name, "__name__") || call->kind != ExprKind::call) {
        return Status::ok;
    }
    if (call->call.arguments.count != 1 || call->call.keywords.count != 0 ||
        call->call.callee->kind != ExprKind::global ||
        call->call.arguments.items[0]->kind == ExprKind::starred)
        return Status::ok;
    Shape callee;
    if (Status err =
            emitGlobal(e, s, call->call.callee->global, call->call.callee->position, &callee);
        err != Status::ok)
        return err;
    bool isType =
        callee.kind == ShapeKind::py && callee.py == reinterpret_cast<PyObject*>(&PyType_Type);
    // The callee was read for its identity alone.
    if (Status err = release(e, callee); err != Status::ok) return err;
    if (!isType) return Status::ok;
    *handled = true;
    Shape argument;
    if (Status err = emitExpr(e, s, call->call.arguments.items[0], &argument); err != Status::ok)
        return err;
    if (argument.kind != ShapeKind::dyn) {
        bool folded;
        if (Status err = typeNameWhenCompiling(e, argument, out, &folded); err != Status::ok)
            return err;
        if (folded) return Status::ok;
    }
    return typeNameAtRunTime(e, s, argument, out);
}

// --- the platform in ahead-of-time builds ---------------------------------------------------

// What sys.platform or os.name reads: a build made ahead of time runs on its target, not on
// the machine that compiles it, so the runtime answers.
struct PlatformRead {
    const char* module;
    const char* name;
    helpers::PlatformCode code;
};
constexpr PlatformRead kPlatformReads[] = {
    {"sys", "platform", helpers::PlatformCode::platform},
    {"os", "name", helpers::PlatformCode::osName},
};

bool aheadOfTime(const Emitter* e) { return e->compiler->module.keyOrigins != nullptr; }

// The read of module.name that the runtime answers, or null.
const PlatformRead* platformRead(front::Text module, front::Text name) {
    for (const PlatformRead& read : kPlatformReads)
        if (front::textIs(module, read.module) && front::textIs(name, read.name)) return &read;
    return nullptr;
}

Status platformCall(Emitter* e, Semantic* s, helpers::PlatformCode code, Shape* out) {
    ValueRef args[4] = {e->runContext, siteValue(e, s->site), constI32(e, int32_t(code)),
                        e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_platform", args, 4, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::str));
    return Status::ok;
}

// The module a py shape holds, by its __name__; empty when it is no module.
front::Text moduleName(const Shape& shape) {
    if (shape.kind != ShapeKind::py || !PyModule_Check(shape.py)) return front::Text{nullptr, 0};
    const char* name = PyModule_GetName(shape.py);
    if (!name) {
        PyErr_Clear();
        return front::Text{nullptr, 0};
    }
    return front::Text{name, strlen(name)};
}

Status attribute(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    bool handled;
    if (Status err = typeName(e, s, x, out, &handled); err != Status::ok || handled) return err;
    Shape object;
    if (Status err = emitExpr(e, s, x->attribute.object, &object); err != Status::ok) return err;
    if (aheadOfTime(e)) {
        if (const PlatformRead* read = platformRead(moduleName(object), x->attribute.name))
            return platformCall(e, s, read->code, out);
    }
    return emitAttribute(e, s, &object, x->attribute.name, x->position, out);
}

// --- subscripts, calls, nested functions ----------------------------------------------------

Status subscript(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    LiveMark mark(e);
    Shape object, index;
    if (Status err = emitSubExpr(e, s, x->subscript.object, &object); err != Status::ok) return err;
    if (Status err = emitExpr(e, s, x->subscript.index, &index); err != Status::ok) return err;
    mark.reset();
    return emitGetItem(e, s, &object, &index, x->position, out);
}

Status slice(Emitter* e, Semantic* s, const Expr* x, Shape* out) { return emitSlice(e, s, x, out); }

Status call(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return lowerCallExpr(e, s, x, out);
}

Status closure(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitClosure(e, s, x, out);
}

Status starred(Emitter* e, Semantic*, const Expr*, Shape*) {
    if (Status err = beginConstructError(e); err != Status::ok) return err;
    if (Status err = appendText(&e->compiler->message,
                                "*unpacking is compiled among a call's arguments only");
        err != Status::ok)
        return err;
    return Status::unsupported;
}

// --- imports ---------------------------------------------------------------------------------

// What the import binds, resolved now as the semantic's own module would resolve it (relative
// imports from its package): the module (its top-level package for `import a.b` without
// as), or the name taken from it (a submodule when the module has no such attribute). An
// import that fails while compiling is refused, so the semantic runs as Python and fails
// there as the reference mode does.
PyObject* importNow(Semantic* s, const Expr* x) {
    const auto& im = x->import_;
    size_t level = 0;
    while (level < im.module.length && im.module.data[level] == '.') level++;
    PyObject* path = PyUnicode_DecodeUTF8(im.module.data + level,
                                          Py_ssize_t(im.module.length - level), "replace");
    if (!path) return nullptr;
    PyObject* globals = s->function && s->function->function
                            ? PyFunction_GetGlobals(s->function->function)
                            : nullptr;
    PyObject* name = im.name.data
                         ? PyUnicode_DecodeUTF8(im.name.data, Py_ssize_t(im.name.length), "replace")
                         : nullptr;
    PyObject* fromList = name ? PyTuple_Pack(1, name) : nullptr;
    PyObject* value = nullptr;
    if (!im.name.data || fromList) {
        // __import__ gives the top-level package for a plain import, the module itself for
        // a from-import.
        PyObject* module =
            PyImport_ImportModuleLevelObject(path, globals, nullptr, fromList, int(level));
        if (module && name) {
            value = PyObject_GetAttr(module, name);
        } else if (module && im.exact && level == 0) {
            value = PyImport_Import(path);
        } else {
            value = module;
            module = nullptr;
        }
        Py_XDECREF(module);
    }
    Py_XDECREF(fromList);
    Py_XDECREF(name);
    Py_DECREF(path);
    return value;
}

Status importValue(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    const auto& im = x->import_;
    if (aheadOfTime(e) && im.name.data) {
        if (const PlatformRead* read = platformRead(im.module, im.name))
            return platformCall(e, s, read->code, out);
    }
    PyObject* value = importNow(s, x);
    if (!value) {
        PyErr_Clear();
        backend::List<char>* message = &e->compiler->message;
        if (Status err = beginConstructError(e); err != Status::ok) return err;
        Status err = appendText(message, "the import of ");
        if (err == Status::ok) err = appendText(message, im.module.data, size_t(im.module.length));
        if (err == Status::ok) err = appendText(message, " fails while compiling");
        return err == Status::ok ? Status::unsupported : err;
    }
    Status err = fromPython(e->compiler, value, out);
    if (err == Status::ok && out->kind == ShapeKind::py)
        err = pinObject(e->compiler, value, nullptr);
    Py_DECREF(value);
    return err;
}

// --- operators -------------------------------------------------------------------------------

Status binary(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    LiveMark mark(e);
    Shape left, right;
    if (Status err = emitSubExpr(e, s, x->binary.left, &left); err != Status::ok) return err;
    if (Status err = emitExpr(e, s, x->binary.right, &right); err != Status::ok) return err;
    mark.reset();
    return emitBinary(e, s, x->binary.op, &left, &right, x->position, out);
}

Status unary(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    if (x->unary.op == front::UnaryOp::not_) return emitNot(e, s, x, out);
    Shape operand;
    if (Status err = emitExpr(e, s, x->unary.operand, &operand); err != Status::ok) return err;
    return emitUnary(e, s, x->unary.op, &operand, x->position, out);
}

Status boolOp(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitBoolOp(e, s, x, out);
}

Status compare(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    if (x->compare.ops.count > 1) return emitCompareChain(e, s, x, out);
    front::CompareOp op = x->compare.ops.items[0];
    if (op == front::CompareOp::is || op == front::CompareOp::isNot) {
        // type(x) is T compares type keys, without a Python type object at run time
        bool handled;
        if (Status err = emitTypeCompare(e, s, op, x->compare.left, x->compare.comparators.items[0],
                                         x->position, out, &handled);
            err != Status::ok || handled)
            return err;
    }
    LiveMark mark(e);
    Shape left, right;
    if (Status err = emitSubExpr(e, s, x->compare.left, &left); err != Status::ok) return err;
    if (Status err = emitExpr(e, s, x->compare.comparators.items[0], &right); err != Status::ok)
        return err;
    mark.reset();
    return emitCompare(e, s, x->compare.ops.items[0], &left, &right, x->position, out);
}

// A test known while compiling compiles the chosen branch alone: the other emits no code and
// reports no error.
Status ifExp(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    Shape test;
    if (Status err = emitExpr(e, s, x->ifExp.test, &test); err != Status::ok) return err;
    Truth truth;
    if (Status err = emitTruthy(e, test, s->site, &truth); err != Status::ok) return err;
    if (!truth.isValue) {
        // A truth known while compiling leaves the test to its holder: a tuple's run-time
        // items go with it here.
        if (Status err = release(e, test); err != Status::ok) return err;
        return emitExpr(e, s, (truth.known & 1) ? x->ifExp.body : x->ifExp.orelse, out);
    }
    return emitIfExp(e, s, truth.value, x->ifExp.body, x->ifExp.orelse, out);
}

// --- displays, comprehensions, f-strings -----------------------------------------------------

Status list(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitListDisplay(e, s, x, out);
}
Status tuple(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitTupleDisplay(e, s, x, out);
}
Status set(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitSetDisplay(e, s, x, out);
}
Status dict(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitDictDisplay(e, s, x, out);
}
Status comprehension(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitComprehensionExpr(e, s, x, out);
}
Status fstring(Emitter* e, Semantic* s, const Expr* x, Shape* out) {
    return emitFString(e, s, x->fstring, out);
}

using KindEmitter = Status (*)(Emitter*, Semantic*, const Expr*, Shape*);

// One entry per ExprKind, in kind order.
constexpr KindEmitter kKinds[front::kExprKindCount] = {
    intLiteral,     // int_
    bigLiteral,     // bigInt
    objectLiteral,  // object
    floatLiteral,   // float_
    strLiteral,     // str
    boolLiteral,    // bool_
    noneLiteral,    // none
    localRead,      // local
    globalRead,     // global
    attribute,      // attribute
    subscript,      // subscript
    slice,          // slice
    call,           // call
    closure,        // nestedCall
    closure,        // closure
    namedExpr,      // namedExpr
    starred,        // starred
    importValue,    // import_
    binary,         // binary
    unary,          // unary
    boolOp,         // and_
    boolOp,         // or_
    compare,        // compare
    ifExp,          // ifExp
    list,           // list
    tuple,          // tuple
    set,            // set
    comprehension,  // setComp
    dict,           // dict
    comprehension,  // listComp
    comprehension,  // generatorExp
    comprehension,  // dictComp
    fstring,        // fstring
    closure,        // outOfLine: the function whose guard is inlined, out of line
};
static_assert(sizeof kKinds / sizeof kKinds[0] == front::kExprKindCount);

}  // namespace

Shape runtimeBool(Emitter* e, ValueRef bit) {
    openBlock(&e->builder);
    Operand o = constantOperand(e, value::TagBool, 0, KnownKind::bool_);
    o.payload = T.LLVMBuildZExt(e->builder.builder, bit, e->compiler->module.i64, "");
    return dynShape(o);
}

Status keepLive(Emitter* e, const Shape& shape) {
    return e->temporaries.push(shape) ? Status::ok : Status::outOfMemory;
}

ValueRef freshSlot(Emitter* e) { return valueSlot(e); }

Status emitExpr(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    front::Position saved = e->position;
    uint64_t live = e->temporaries.count;
    e->position = expr->position;
    uint8_t kind = uint8_t(expr->kind) & 0x3f;
    Status err = kind < front::kExprKindCount ? kKinds[kind](e, s, expr, out)
                                              : refuseConstruct(e, "an expression of this kind");
    e->position = saved;
    if (err != Status::ok) e->temporaries.count = live;
    return err;
}

Status emitSubExpr(Emitter* e, Semantic* s, const Expr* expr, Shape* out) {
    if (Status err = emitExpr(e, s, expr, out); err != Status::ok) return err;
    return keepLive(e, *out);
}

}  // namespace wuna::compile
