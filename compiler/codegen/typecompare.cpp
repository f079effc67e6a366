// Type comparisons: type(x) is T, type(x) is not T and type(x) is type(y) compare small type
// keys instead of building type objects. A run-time value's key comes from its tag (a record's
// from its class description, bytes by their immutable flag); a type named while compiling has
// a constant key. Only a Python object (tag 10), whose type no key tells, takes the Python
// branch, where type(...) is called and compared by identity.
//
// Forms not recognised (type(x) == T, T not a type of the key table nor a record class) are
// declined before anything is emitted, and the caller compiles an ordinary comparison.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "compiler/front/records.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using front::CompareOp;

constexpr uint64_t kRecordClass = offsetof(value::Record, cls);
constexpr uint64_t kFlags = offsetof(value::Obj, flags);
// An immutable bytes block is a Python bytes; a changeable one is a wuna.Bytes.
constexpr uint64_t kBytesKey = 0x100000000ull | value::TagBytes;

// The key of a type named while compiling, by the type object.
struct NamedKey {
    const char* module;  // null: a builtin type given by object
    const char* name;
    PyTypeObject* builtin;
    uint64_t key;
};

// A named type's key; *found false for objects outside the table (then a record class may
// still match). ok or pythonError (a module that can't be imported).
Status tableKey(Compiler* c, PyObject* type, uint64_t* key, bool* found) {
    *found = false;
    static const NamedKey kBuiltins[] = {
        {nullptr, nullptr, &PyLong_Type, value::TagPint},
        {nullptr, nullptr, &PyBool_Type, value::TagBool},
        {nullptr, nullptr, &PyFloat_Type, value::TagFloat},
        {nullptr, nullptr, &PyUnicode_Type, value::TagStr},
        {nullptr, nullptr, &PyList_Type, value::TagList},
        {nullptr, nullptr, &PyTuple_Type, value::TagTuple},
        {nullptr, nullptr, &PyDict_Type, value::TagDict},
        {nullptr, nullptr, &PySet_Type, value::TagSet},
        {nullptr, nullptr, &PyBytes_Type, kBytesKey},
        {nullptr, nullptr, &PyFunction_Type, value::TagClosure},
        {nullptr, nullptr, Py_TYPE(Py_None), value::TagNone},
    };
    for (const NamedKey& k : kBuiltins)
        if (type == reinterpret_cast<PyObject*>(k.builtin)) {
            *key = k.key;
            *found = true;
            return Status::ok;
        }
    if (c->i64Type && type == c->i64Type) {
        *key = value::TagInt;
        *found = true;
        return Status::ok;
    }
    static const NamedKey kModule[] = {
        {"wuna", "Function", nullptr, value::TagFunction},
        {"wuna", "Node", nullptr, value::TagNodeIndex},
        {"wuna", "Bytes", nullptr, value::TagBytes},
    };
    for (const NamedKey& k : kModule) {
        PyObject* moduleName = PyUnicode_FromString(k.module);
        PyObject* module = moduleName ? PyImport_GetModule(moduleName) : nullptr;
        Py_XDECREF(moduleName);
        // A wuna not imported here (a test without the module) names none of these.
        if (!module) {
            PyErr_Clear();
            continue;
        }
        PyObject* named = PyObject_GetAttrString(module, k.name);
        Py_DECREF(module);
        if (!named) {
            PyErr_Clear();
            continue;
        }
        bool same = named == type;
        Py_DECREF(named);
        if (same) {
            *key = k.key;
            *found = true;
            return Status::ok;
        }
    }
    return Status::ok;
}

// The key constant of a named type: the table's, or a record class's description; *found
// false otherwise.
Status namedTypeKey(Emitter* e, PyObject* type, ValueRef* key, bool* found) {
    uint64_t k;
    if (Status err = tableKey(e->compiler, type, &k, found); err != Status::ok) return err;
    if (*found) {
        *key = constI64(e, k);
        return Status::ok;
    }
    if (!PyType_Check(type)) return Status::ok;
    value::RecordClass* description;
    if (Status err = recordClassOf(e->compiler, type, &description); err != Status::ok) return err;
    if (!description) return Status::ok;
    uint32_t index;
    if (Status err = pinObject(e->compiler, type, &index); err != Status::ok) return err;
    KeyOrigin origin{{index, 0}, KeyOriginKind::recordClass};
    if (Status err = keyConstant(&e->compiler->module,
                                 uint64_t(reinterpret_cast<uintptr_t>(description)), origin, key);
        err != Status::ok)
        return err;
    *found = true;
    return Status::ok;
}

ValueRef loadAt(Emitter* e, ValueRef payload, uint64_t offset, TypeRef type, unsigned align) {
    ModuleRecord* m = &e->compiler->module;
    openBlock(&e->builder);
    BuilderRef B = e->builder.builder;
    ValueRef pointer = T.LLVMBuildIntToPtr(B, payload, m->ptr, "");
    ValueRef index = constI64(e, offset);
    ValueRef at = T.LLVMBuildInBoundsGEP2(B, m->i8, pointer, &index, 1, "");
    ValueRef v = T.LLVMBuildLoad2(B, type, at, "");
    T.LLVMSetAlignment(v, align);
    return v;
}

// The type's side of a comparison: a constant key (type object known), or a run-time value.
struct TypeSide {
    ValueRef key;
    ValueRef needsPython;  // i1
    Operand argument;      // the argument of type(...), when a type call
    PyObject* type;        // the named type, when not a type call
    bool call;
};

// The form: a type(...) call of one positional argument, no keywords, callee the builtin type.
Status isTypeCall(Emitter* e, Semantic* s, const front::Expr* expr, bool* is) {
    *is = false;
    if (expr->kind != front::ExprKind::call) return Status::ok;
    const front::Expr* callee = expr->call.callee;
    if (callee->kind != front::ExprKind::global || expr->call.arguments.count != 1 ||
        expr->call.keywords.count != 0 ||
        expr->call.arguments.items[0]->kind == front::ExprKind::starred)
        return Status::ok;
    Shape shape;
    if (Status err = emitGlobal(e, s, callee->global, callee->position, &shape); err != Status::ok)
        return err;
    if (shape.kind == ShapeKind::dyn) return release(e, shape);  // rebindable: not the builtin
    *is = shape.kind == ShapeKind::py && shape.py == reinterpret_cast<PyObject*>(&PyType_Type);
    return Status::ok;
}

// The object a global name (or an attribute of a module global, as wuna.Function) stands for
// while compiling; null when it is not known then.
Status namedObject(Emitter* e, Semantic* s, const front::Expr* expr, PyObject** out) {
    *out = nullptr;
    const front::Expr* global = expr->kind == front::ExprKind::attribute ? expr->attribute.object
                                                                         : expr;
    if (global->kind != front::ExprKind::global) return Status::ok;
    Shape shape;
    if (Status err = emitGlobal(e, s, global->global, global->position, &shape); err != Status::ok)
        return err;
    if (shape.kind == ShapeKind::dyn) return release(e, shape);
    if (shape.kind != ShapeKind::py) return Status::ok;
    if (expr == global) {
        *out = shape.py;
        return Status::ok;
    }
    if (!PyModule_Check(shape.py)) return Status::ok;
    PyObject* name = PyUnicode_FromStringAndSize(expr->attribute.name.data,
                                                 Py_ssize_t(expr->attribute.name.length));
    PyObject* value = name ? PyObject_GetAttr(shape.py, name) : nullptr;
    Py_XDECREF(name);
    if (!value) {
        PyErr_Clear();  // the ordinary comparison reports a missing attribute where it runs
        return Status::ok;
    }
    // The compiler keeps the object for as long as compiled code may compare against it.
    Status err = pinObject(e->compiler, value, nullptr);
    Py_DECREF(value);
    if (err != Status::ok) return err;
    *out = value;
    return Status::ok;
}

// The Python type of a constant shape (borrowed), or null when it has none while compiling.
Status constantType(Emitter* e, const Shape& shape, PyObject** out) {
    *out = nullptr;
    if (!isConstant(shape)) return Status::ok;
    PyObject* object;
    if (Status err = toPython(e->compiler, shape, &object); err != Status::ok) return err;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Status err = pinObject(e->compiler, type, nullptr);
    Py_DECREF(object);
    if (err == Status::ok) *out = type;
    return err;
}

// The type key of a value whose type is known while compiling: a node known then, or a
// constant whose type (typeOfValue) is a type of the key table; *known false otherwise.
Status knownKey(Compiler* c, const Shape& shape, PyObject* typeOfValue, uint64_t* key,
                bool* known) {
    *known = false;
    if (shape.kind == ShapeKind::node) {
        *key = value::TagNodeIndex;
        *known = true;
        return Status::ok;
    }
    if (!typeOfValue) return Status::ok;
    return tableKey(c, typeOfValue, key, known);
}

Shape pyShape(PyObject* object) {
    Shape s{};
    s.kind = ShapeKind::py;
    s.py = object;
    return s;
}

// type(x) computed by calling the builtin at run time (for Python objects).
Status typeAtRunTime(Emitter* e, Semantic* s, const Operand& argument, Shape* out) {
    Shape* items = takeArray<Shape>(e->compiler, 1);
    if (!items) return Status::outOfMemory;
    items[0] = dynShape(argument);
    Shape args{};
    args.kind = ShapeKind::tuple;
    args.tuple.items = items;
    args.tuple.count = 1;
    Shape callee = pyShape(reinterpret_cast<PyObject*>(&PyType_Type));
    return callKnown(e, s, &callee, &args, nullptr, true, out);
}

}  // namespace

Status ops::emitTypeKey(Emitter* e, const Operand& o, ValueRef* key, ValueRef* needsPython) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    KnownKind k = o.kind;
    if (k != KnownKind::unknown && k != KnownKind::int_ && k != KnownKind::record) {
        *key = constI64(e, k == KnownKind::node ? value::TagNodeIndex : uint64_t(k) - 1);
        *needsPython = T.LLVMConstInt(m->i1, 0, 0);
        return Status::ok;
    }
    openBlock(b);
    ValueRef t = T.LLVMBuildAnd(b->builder, o.tag, constI64(e, 0xffffffffull), "");
    ValueRef big = icmp(b, llvmapi::IntEQ, t, constI64(e, value::TagBig));
    ValueRef base = T.LLVMBuildSelect(b->builder, big, constI64(e, value::TagPint), t, "");
    BasicBlockRef blocks[4];
    static const char* const kNames[] = {"key_record", "key_not_record", "key_bytes", "key_done"};
    if (Status err = ops::makeBlocks(e, kNames, 4, blocks); err != Status::ok) return err;
    auto [record, notRecord, bytes, done] = blocks;
    condBr(b, icmp(b, llvmapi::IntEQ, t, constI64(e, value::TagRecord)), record, notRecord);
    enter(b, record);
    ValueRef description = loadAt(e, o.payload, kRecordClass, m->i64, 8);
    BasicBlockRef recordEnd = b->current;
    br(b, done);
    enter(b, notRecord);
    condBr(b, icmp(b, llvmapi::IntEQ, t, constI64(e, value::TagBytes)), bytes, done);
    enter(b, bytes);
    ValueRef flags = loadAt(e, o.payload, kFlags, m->i32, 4);  // at byte 12: 4-aligned
    ValueRef immutable = T.LLVMBuildAnd(b->builder, flags, constI32(e, value::FlagImmutable), "");
    ValueRef isImmutable = icmp(b, llvmapi::IntNE, immutable, constI32(e, 0));
    ValueRef bytesKey = T.LLVMBuildSelect(b->builder, isImmutable, constI64(e, kBytesKey), t, "");
    BasicBlockRef bytesEnd = b->current;
    br(b, done);
    enter(b, done);
    ValueRef phi = T.LLVMBuildPhi(b->builder, m->i64, "");
    ValueRef values[3] = {description, base, bytesKey};
    BasicBlockRef from[3] = {recordEnd, notRecord, bytesEnd};
    T.LLVMAddIncoming(phi, values, from, 3);
    *key = phi;
    *needsPython = icmp(b, llvmapi::IntEQ, t, constI64(e, value::TagPy));
    return Status::ok;
}

Status emitTypeCompare(Emitter* e, Semantic* s, CompareOp op, const front::Expr* left,
                       const front::Expr* right, front::Position at, Shape* out,
                       bool* handled) {
    *handled = false;
    if (op != CompareOp::is && op != CompareOp::isNot) return Status::ok;
    bool leftCall, rightCall = false;
    if (Status err = isTypeCall(e, s, left, &leftCall); err != Status::ok) return err;
    if (!leftCall)
        if (Status err = isTypeCall(e, s, right, &rightCall); err != Status::ok) return err;
    if (!leftCall && !rightCall) return Status::ok;
    const front::Expr* call = leftCall ? left : right;
    const front::Expr* other = leftCall ? right : left;
    bool otherCall = false;
    if (leftCall)
        if (Status err = isTypeCall(e, s, other, &otherCall); err != Status::ok) return err;
    PyObject* named = nullptr;
    ValueRef namedKey = nullptr;
    if (!otherCall) {
        if (Status err = namedObject(e, s, other, &named); err != Status::ok) return err;
        bool found = false;
        if (named)
            if (Status err = namedTypeKey(e, named, &namedKey, &found); err != Status::ok)
                return err;
        if (!found) return Status::ok;
    }
    *handled = true;
    int32_t site = ops::siteOf(s);
    // Arguments in source order.
    const front::Expr* first = call->call.arguments.items[0];
    const front::Expr* second = otherCall ? other->call.arguments.items[0] : nullptr;
    if (!leftCall && otherCall) {
        const front::Expr* t = first;
        first = second;
        second = t;
    }
    Shape a, b{};
    if (!second) {
        if (Status err = emitExpr(e, s, first, &a); err != Status::ok) return err;
    } else {
        // The first argument stays live while the second compiles.
        size_t mark = e->temporaries.count;
        if (Status err = emitSubExpr(e, s, first, &a); err != Status::ok) return err;
        Status err = emitExpr(e, s, second, &b);
        e->temporaries.cut(mark);
        if (err != Status::ok) return err;
    }
    // Known while compiling: compared as type objects.
    PyObject* typeA = nullptr;
    PyObject* typeB = named;
    if (Status err = constantType(e, a, &typeA); err != Status::ok) return err;
    if (second)
        if (Status err = constantType(e, b, &typeB); err != Status::ok) return err;
    if (typeA && typeB) {
        *out = ops::boolShape((typeA == typeB) == (op == CompareOp::is));
        return Status::ok;
    }
    // A node known while compiling is a wuna.Node, whatever tag it gets at run time.
    uint64_t keyOfA = 0, keyOfB = 0;
    bool knownA = false, knownB = false;
    if (Status err = knownKey(e->compiler, a, typeA, &keyOfA, &knownA); err != Status::ok)
        return err;
    if (second) {
        if (Status err = knownKey(e->compiler, b, typeB, &keyOfB, &knownB); err != Status::ok)
            return err;
    } else if (named) {
        if (Status err = tableKey(e->compiler, named, &keyOfB, &knownB); err != Status::ok)
            return err;
    }
    if (knownA && knownB && (a.kind == ShapeKind::node || b.kind == ShapeKind::node)) {
        *out = ops::boolShape((keyOfA == keyOfB) == (op == CompareOp::is));
        return Status::ok;
    }
    Operand argA, argB{};
    if (Status err = materialize(e, a, site, &argA); err != Status::ok) return err;
    if (second)
        if (Status err = ops::materializeAfter(e, b, site, &argA, &argB); err != Status::ok)
            return err;
    ValueRef keyA, pythonA, keyB = namedKey, pythonB = T.LLVMConstInt(e->compiler->module.i1, 0, 0);
    if (Status err = ops::emitTypeKey(e, argA, &keyA, &pythonA); err != Status::ok) return err;
    if (second)
        if (Status err = ops::emitTypeKey(e, argB, &keyB, &pythonB); err != Status::ok) return err;

    Builder* bl = &e->builder;
    BasicBlockRef blocks[3];
    static const char* const kNames[] = {"type_fast", "type_python", "type_is"};
    if (Status err = ops::makeBlocks(e, kNames, 3, blocks); err != Status::ok) return err;
    auto [fast, python, done] = blocks;
    condBr(bl, T.LLVMBuildOr(bl->builder, pythonA, pythonB, ""), python, fast);

    enter(bl, fast);
    ValueRef same = icmp(bl, op == CompareOp::is ? llvmapi::IntEQ : llvmapi::IntNE, keyA, keyB);
    openBlock(bl);
    ValueRef fastAnswer = T.LLVMBuildZExt(bl->builder, same, e->compiler->module.i64, "");
    if (Status err = release(e, dynShape(argA)); err != Status::ok) return err;
    if (second)
        if (Status err = release(e, dynShape(argB)); err != Status::ok) return err;
    BasicBlockRef fastEnd = bl->current;
    br(bl, done);

    enter(bl, python);
    e->strictSuppressed++;
    Shape l, r;
    Status err = Status::ok;
    if (second) {
        // argB stays live while type(a) is called.
        size_t mark = e->temporaries.count;
        if (!e->temporaries.push(dynShape(argB))) err = Status::outOfMemory;
        if (err == Status::ok) err = typeAtRunTime(e, s, argA, &l);
        e->temporaries.cut(mark);
        if (err == Status::ok && !e->temporaries.push(l)) err = Status::outOfMemory;
        if (err == Status::ok) err = typeAtRunTime(e, s, argB, &r);
        e->temporaries.cut(mark);
    } else {
        err = typeAtRunTime(e, s, argA, &l);
        r = pyShape(named);
    }
    Shape compared;
    if (err == Status::ok) err = emitCompare(e, s, op, &l, &r, at, &compared);
    Operand pythonAnswer;
    if (err == Status::ok) err = materialize(e, compared, site, &pythonAnswer);
    e->strictSuppressed--;
    if (err != Status::ok) return err;
    BasicBlockRef pythonEnd = bl->current;
    br(bl, done);

    enter(bl, done);
    Operand result = constantOperand(e, value::TagBool, 0, KnownKind::bool_);
    result.payload = ops::phi2(e, fastAnswer, fastEnd, pythonAnswer.payload, pythonEnd);
    *out = dynShape(result);
    return Status::ok;
}

}  // namespace wuna::compile
