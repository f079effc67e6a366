// Materializing compile-time values: every shape as a run-time operand, interned literals,
// value arrays, lists and tuples built by their helpers, dict displays (see emitter.h).
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/emitter.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

uint64_t addressOf(const void* p) { return uint64_t(reinterpret_cast<uintptr_t>(p)); }

Status notAValue(Emitter* e, ShapeKind kind, int32_t node) {
    Compiler* c = e->compiler;
    c->message.clear();
    Status s = appendText(&c->message, "a ");
    if (s == Status::ok) s = appendText(&c->message, kindName(kind));
    if (s == Status::ok)
        s = appendText(&c->message, " can't be kept in a variable or passed as a value (node ");
    if (s == Status::ok && node < 0) s = appendText(&c->message, "-");
    if (s == Status::ok)
        s = appendDecimal(&c->message, node < 0 ? uint64_t(-int64_t(node)) : uint64_t(node));
    if (s == Status::ok) s = appendText(&c->message, ")");
    return s == Status::ok ? Status::unsupported : s;
}

// The i32 scope value an rt value carries.
ValueRef runtimeScope(Emitter* e) {
    if (e->scopes.count) return siteValue(e, int32_t(e->scopes.last().scope));
    if (e->modes.runtimeFrameLookup && e->callScope) return e->callScope;
    return siteValue(e, int32_t(e->scopeId));
}

Status materializeRuntime(Emitter* e, Operand* out) {
    if (e->typedLocals.count) {
        // The semantic run through rt reads variables through the frame.
        spillLocals(e);
        e->modes.localsSpilled = 1;
    }
    ValueRef frame;
    if (Status err = currentFrame(e, &frame); err != Status::ok) return err;
    ModuleRecord* m = &e->compiler->module;
    openBlock(&e->builder);
    BuilderRef B = e->builder.builder;
    ValueRef scope = T.LLVMBuildZExt(B, runtimeScope(e), m->i64, "");
    ValueRef shifted = T.LLVMBuildShl(B, scope, constI64(e, 32), "");
    Operand o{};
    o.tag = T.LLVMBuildOr(B, shifted, constI64(e, value::TagRuntime), "");
    o.payload = T.LLVMBuildPtrToInt(B, frame, m->i64, "");
    o.functionNode = kNoFunctionNode;
    o.kind = KnownKind::unknown;
    *out = o;
    return Status::ok;
}

// An operand for a constant block of the runtime: tag and the block's key constant.
Status blockOperand(Emitter* e, uint64_t tag, const void* block, const KeyOrigin& origin,
                    KnownKind kind, Operand* out) {
    ValueRef payload;
    if (Status err = keyConstant(&e->compiler->module, addressOf(block), origin, &payload);
        err != Status::ok)
        return err;
    *out = constantOperand(e, tag, 0, kind);
    out->payload = payload;
    return Status::ok;
}

bool allowedInStrict(PyObject* object) {
    return (PyType_Check(object) &&
            PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(object),
                             reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) ||
           object == Py_Ellipsis || PyBytes_CheckExact(object) || PyComplex_CheckExact(object);
}

Status materializePy(Emitter* e, PyObject* object, Operand* out) {
    Compiler* c = e->compiler;
    if (PyLong_CheckExact(object)) {
        IntBits bits = intBits(object);
        if (bits.ok) {
            value::i128 v = value::i128((unsigned __int128)uint64_t(bits.high) << 64 | bits.low);
            value::Big* big = value::bigLiteral(v);
            if (!big) return Status::outOfMemory;
            return blockOperand(e, value::TagBig, big, KeyOrigin{{0, 0}, KeyOriginKind::bigInt},
                                KnownKind::unknown, out);
        }
    }
    if (PyBytes_CheckExact(object)) {
        if (Status err = pinObject(c, object, nullptr); err != Status::ok) return err;
        value::Value v;
        if (convert::convert(object, false, &v) != 0) return Status::pythonError;
        // Made once and never freed: the code refers to it by address.
        reinterpret_cast<value::Obj*>(v.payload)->count = value::kImmortal;
        return blockOperand(e, v.tag, reinterpret_cast<void*>(v.payload),
                            KeyOrigin{{v.tag, 0}, KeyOriginKind::constant}, KnownKind::unknown,
                            out);
    }
    if (c->strict && !allowedInStrict(object) && e->strictSuppressed == 0) {
        front::Text name;
        if (Status err = objectName(e, object, &name); err != Status::ok) return err;
        return checkStrictValue(e, name.data, size_t(name.length));
    }
    uint32_t index;
    if (Status err = pinObject(c, object, &index); err != Status::ok) return err;
    ValueRef constant;
    if (Status err = objectConstant(e, index, &constant); err != Status::ok) return err;
    ValueRef args[3] = {e->runContext, constant, e->scratch};
    if (Status err = callHelper(e, "wn_object", args, 3, nullptr); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, KnownKind::unknown);
    return Status::ok;
}

Status materializeList(Emitter* e, const Shape& shape, int32_t node, Operand* out) {
    front::ListRecord* list = shape.list;
    if (list->source) {
        return list->comptime ? comptimeResult(e, list->source, KnownKind::list, out)
                              : adoptedContainer(e, list->source, KnownKind::list, out);
    }
    uint64_t n = list->length;
    uint8_t* wasDyn = takeArray<uint8_t>(e->compiler, n);
    if (!wasDyn) return Status::outOfMemory;
    for (uint64_t i = 0; i < n; i++) wasDyn[i] = list->items[i].kind == ShapeKind::dyn;
    if (Status err = buildContainer(e, "wn_list", list->items, n, node, KnownKind::list, out);
        err != Status::ok)
        return err;
    // Elements the build replaced by run-time values (containers made on the way) hold a
    // reference the list now has its own of.
    for (uint64_t i = 0; i < n && i < list->length; i++) {
        if (wasDyn[i] || list->items[i].kind != ShapeKind::dyn) continue;
        if (Status err = release(e, list->items[i]); err != Status::ok) return err;
        list->items[i] = noneShape();
    }
    list->madeAtRunTime = 1;
    return escape(e, shape, *out);
}

Status materializeDict(Emitter* e, const Shape& shape, int32_t node, Operand* out) {
    front::DictRecord* dict = shape.dict;
    if (dict->source) {
        return dict->comptime ? comptimeResult(e, dict->source, KnownKind::dict, out)
                              : adoptedContainer(e, dict->source, KnownKind::dict, out);
    }
    if (Status err = dictLiteral(e, dict, node, out); err != Status::ok) return err;
    dict->madeAtRunTime = 1;
    return escape(e, shape, *out);
}

ValueRef arrayOf(Emitter* e, uint64_t n) {
    ModuleRecord* m = &e->compiler->module;
    ValueRef array =
        T.LLVMBuildAlloca(e->builder.entryBuilder, T.LLVMArrayType2(m->valuePair, n ? n : 1), "");
    T.LLVMSetAlignment(array, 8);
    return array;
}

ValueRef elementOf(Emitter* e, ValueRef array, uint64_t i) {
    ValueRef index = constI64(e, i);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.valuePair, array, &index,
                                   1, "");
}

Status fillArray(Emitter* e, ValueRef array, const Shape* shapes, uint64_t n, int32_t node) {
    for (uint64_t i = 0; i < n; i++) {
        Operand o;
        if (Status err = materialize(e, shapes[i], node, &o); err != Status::ok) return err;
        if (Status err = storeOperand(e, elementOf(e, array, i), &o); err != Status::ok) return err;
    }
    return Status::ok;
}

}  // namespace

Status literalGlobal(ModuleRecord* m, const char* text, size_t length, ValueRef* out) {
    if (ValueRef* there = m->literals.find(backend::Text{text, length})) {
        *out = *there;
        return Status::ok;
    }
    value::Str* str = value::literal(text, length);
    if (!str) return Status::outOfMemory;
    uint64_t key = addressOf(str);
    if (Status err = noteKeyOrigin(m, key, KeyOrigin{{0, 0}, KeyOriginKind::literal});
        err != Status::ok)
        return err;
    ValueRef global;
    if (Status err = keyGlobal(m, key, &global); err != Status::ok) return err;
    char* copy = backend::copyText(text, length);
    if (!copy) return Status::outOfMemory;
    if (!m->literals.put(backend::Text{copy, length}, global)) {
        free(copy);
        return Status::outOfMemory;
    }
    *out = global;
    return Status::ok;
}

Status materialize(Emitter* e, const Shape& shape, int32_t node, Operand* out) {
    ModuleRecord* m = &e->compiler->module;
    switch (shape.kind) {
    case ShapeKind::none: *out = constantOperand(e, value::TagNone, 0, KnownKind::none); break;
    case ShapeKind::bool_:
        *out = constantOperand(e, value::TagBool, shape.bool_ ? 1 : 0, KnownKind::bool_);
        break;
    case ShapeKind::int_:
        *out = constantOperand(e, value::TagInt, uint64_t(shape.int_), KnownKind::int_);
        break;
    case ShapeKind::pint:
        *out = constantOperand(e, value::TagPint, uint64_t(shape.int_), KnownKind::int_);
        break;
    case ShapeKind::float_: {
        uint64_t bits;
        memcpy(&bits, &shape.float_, sizeof bits);
        *out = constantOperand(e, value::TagFloat, bits, KnownKind::float_);
        break;
    }
    case ShapeKind::str: {
        ValueRef global;
        if (Status err = literalGlobal(m, shape.str.data, size_t(shape.str.length), &global);
            err != Status::ok)
            return err;
        *out = constantOperand(e, value::TagStr, 0, KnownKind::str);
        out->payload = T.LLVMConstPtrToInt(global, m->i64);
        break;
    }
    case ShapeKind::node:
        *out = constantOperand(e, value::TagNodeIndex, shape.node, KnownKind::node);
        break;
    case ShapeKind::list: return materializeList(e, shape, node, out);
    case ShapeKind::tuple:
        return buildContainer(e, "wn_tuple", shape.tuple.items, shape.tuple.count, node,
                              KnownKind::tuple, out);
    case ShapeKind::dict: return materializeDict(e, shape, node, out);
    case ShapeKind::rt: return materializeRuntime(e, out);
    case ShapeKind::py: return materializePy(e, shape.py, out);
    case ShapeKind::rtMethod:
    case ShapeKind::control:
    case ShapeKind::method: return notAValue(e, shape.kind, node);
    case ShapeKind::dyn: {
        Operand o = shape.dyn;
        if (o.borrowFlag) {
            if (Status err = takeOwnership(e, &o); err != Status::ok) return err;
            o.borrowFlag = nullptr;
        }
        *out = o;
        break;
    }
    }
    return Status::ok;
}

Status valueArray(Emitter* e, const Shape* shapes, uint64_t n, int32_t node, ValueRef* out) {
    ValueRef array = arrayOf(e, n);
    if (Status err = fillArray(e, array, shapes, n, node); err != Status::ok) return err;
    *out = array;
    return Status::ok;
}

Status buildContainer(Emitter* e, const char* helper, const Shape* shapes, uint64_t n, int32_t node,
                      KnownKind kind, Operand* out) {
    ValueRef array;
    if (Status err = valueArray(e, shapes, n, node, &array); err != Status::ok) return err;
    ValueRef args[5] = {e->runContext, siteValue(e, node), array, constI64(e, n), e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, helper, args, 5, &ok); err != Status::ok) return err;
    // The constructor takes over the array's references whether or not it makes the
    // container (a failed one releases them itself), so neither path drops them here.
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, kind);
    return Status::ok;
}

Status dictLiteral(Emitter* e, front::DictRecord* dict, int32_t node, Operand* out) {
    uint64_t n = dict->keyLength;
    ValueRef keys = arrayOf(e, n);
    ValueRef values = arrayOf(e, n);
    for (uint64_t i = 0; i < n; i++) {
        Operand key, value;
        if (Status err = materialize(e, dict->keys[i], node, &key); err != Status::ok) return err;
        if (Status err = storeOperand(e, elementOf(e, keys, i), &key); err != Status::ok)
            return err;
        if (Status err = materialize(e, dict->values[i], node, &value); err != Status::ok)
            return err;
        if (Status err = storeOperand(e, elementOf(e, values, i), &value); err != Status::ok)
            return err;
    }
    ValueRef args[6] = {e->runContext, siteValue(e, node), keys,
                        values,        constI64(e, n),     e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_dict", args, 6, &ok); err != Status::ok) return err;
    // The dict keeps references of its own: the arrays' go whether or not it was made.
    if (Status err = releaseSlots(e, keys, n); err != Status::ok) return err;
    if (Status err = releaseSlots(e, values, n); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, KnownKind::dict);
    return Status::ok;
}

}  // namespace wuna::compile
