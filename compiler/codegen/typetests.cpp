// isinstance, type tests and len: decided while compiling from the shape and the operand's
// known kind where that settles it, else short tests on the tag and the block's words, with
// wn_is_type, wn_is_record, wn_isinstance and wn_builtin only where those can't decide (see
// lower.h). Results equal Python's isinstance and len for the same values.
#include <cstring>

#include "compiler/codegen/attributes_common.h"
#include "compiler/front/records.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/helpers/builtins.h"

namespace wuna::compile {

namespace {

using attrs::block;
using attrs::orBits;
using attrs::tagIs;
using helpers::TypeCode;

// The builtin classes a type test compiles for, searched in this order.
struct TypeRow {
    const char* name;
    TypeCode code;
};
constexpr TypeRow kBuiltinTypeCodes[] = {
    {"int", TypeCode::int_},        {"float", TypeCode::float_}, {"str", TypeCode::str},
    {"bool", TypeCode::bool_},      {"list", TypeCode::list},    {"tuple", TypeCode::tuple},
    {"dict", TypeCode::dict},       {"bytes", TypeCode::bytes},  {"bytearray", TypeCode::bytearray},
    {"complex", TypeCode::complex}, {"set", TypeCode::set},      {"frozenset", TypeCode::frozenset},
};

// The tags a run-time value of the code may carry natively (a Python object asks the helper).
struct CodeTags {
    TypeCode code;
    uint64_t tags[4];
    uint32_t count;
};
constexpr CodeTags kCodeTags[] = {
    {TypeCode::int_, {value::TagInt, value::TagPint, value::TagBool, value::TagBig}, 4},
    {TypeCode::float_, {value::TagFloat}, 1},
    {TypeCode::str, {value::TagStr}, 1},
    {TypeCode::bool_, {value::TagBool}, 1},
    {TypeCode::list, {value::TagList}, 1},
    {TypeCode::tuple, {value::TagTuple}, 1},
    {TypeCode::dict, {value::TagDict}, 1},
    {TypeCode::function, {value::TagFunction}, 1},
    {TypeCode::set, {value::TagSet}, 1},
};

const CodeTags* tagsOf(TypeCode code) {
    for (const CodeTags& row : kCodeTags)
        if (row.code == code) return &row;
    return nullptr;
}

// The answer a known kind gives for a code (every kind but unknown decides).
bool kindIs(KnownKind kind, TypeCode code) {
    switch (code) {
    case TypeCode::int_: return kind == KnownKind::bool_ || kind == KnownKind::int_;
    case TypeCode::float_: return kind == KnownKind::float_;
    case TypeCode::str: return kind == KnownKind::str;
    case TypeCode::bool_: return kind == KnownKind::bool_;
    case TypeCode::list: return kind == KnownKind::list;
    case TypeCode::tuple: return kind == KnownKind::tuple;
    case TypeCode::dict: return kind == KnownKind::dict;
    case TypeCode::function: return kind == KnownKind::function;
    default: return false;
    }
}

// The answer a compile-time shape gives for a code.
bool shapeIs(ShapeKind kind, TypeCode code) {
    switch (code) {
    case TypeCode::int_:
        return kind == ShapeKind::bool_ || kind == ShapeKind::int_ || kind == ShapeKind::pint;
    case TypeCode::float_: return kind == ShapeKind::float_;
    case TypeCode::str: return kind == ShapeKind::str;
    case TypeCode::bool_: return kind == ShapeKind::bool_;
    case TypeCode::list: return kind == ShapeKind::list;
    case TypeCode::tuple: return kind == ShapeKind::tuple;
    case TypeCode::dict: return kind == ShapeKind::dict;
    default: return false;
    }
}

// The row of a builtin class, or null.
const TypeRow* builtinRow(PyObject* cls) {
    for (const TypeRow& row : kBuiltinTypeCodes)
        if (front::isBuiltin(cls, row.name)) return &row;
    return nullptr;
}

// Whether the class is the module's Function type (wuna.Function).
bool isFunctionType(PyObject* cls) { return front::isModuleAttr(cls, "wuna", "Function"); }
bool isNodeType(PyObject* cls) { return front::isModuleAttr(cls, "wuna", "Node"); }

// x released and a constant answer.
Status constantAnswer(Emitter* e, const Shape& x, bool answer, Shape* out) {
    if (Status err = release(e, x); err != Status::ok) return err;
    *out = attrs::boolShape(answer);
    return Status::ok;
}

// The run-time test of a record class: the class word first, wn_is_record for subclasses and
// Python objects.
Status recordTest(Emitter* e, Operand x, const value::RecordClass* cls, Shape* out) {
    Builder* b = &e->builder;
    llvmapi::BasicBlockRef maybe, record, slow, joined;
    if (Status err = block(e, "isrec_maybe", &maybe); err != Status::ok) return err;
    if (Status err = block(e, "isrec_record", &record); err != Status::ok) return err;
    if (Status err = block(e, "isrec_slow", &slow); err != Status::ok) return err;
    if (Status err = block(e, "isrec_joined", &joined); err != Status::ok) return err;
    llvmapi::ValueRef is8 = tagIs(e, x.tag, value::TagRecord);
    llvmapi::ValueRef is10 = tagIs(e, x.tag, value::TagPy);
    llvmapi::BasicBlockRef first = b->current;
    condBr(b, orBits(e, is8, is10), maybe, joined);
    enter(b, maybe);
    condBr(b, is8, record, slow);
    enter(b, record);
    llvmapi::ValueRef description;
    if (Status err = attrs::recordClassConstant(e, cls, &description); err != Status::ok)
        return err;
    llvmapi::ValueRef same = icmp(b, llvmapi::IntEQ, loadRecordClass(e, x.payload), description);
    llvmapi::BasicBlockRef recordEnd = b->current;
    condBr(b, same, joined, slow);
    enter(b, slow);
    llvmapi::ValueRef global;
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(cls));
    if (Status err = keyGlobal(&e->compiler->module, key, &global); err != Status::ok) return err;
    llvmapi::ValueRef args[3] = {x.tag, x.payload, global};
    llvmapi::ValueRef answer;
    if (Status err = callHelper(e, "wn_is_record", args, 3, &answer); err != Status::ok) return err;
    llvmapi::ValueRef wide = attrs::zext64(e, answer);
    llvmapi::BasicBlockRef slowEnd = b->current;
    br(b, joined);
    enter(b, joined);
    llvmapi::ValueRef values[3] = {constI64(e, 0), constI64(e, 1), wide};
    llvmapi::BasicBlockRef blocks[3] = {first, recordEnd, slowEnd};
    llvmapi::ValueRef result = attrs::phi64(e, values, blocks, 3);
    if (Status err = release(e, dynShape(x)); err != Status::ok) return err;
    *out = dynShape(attrs::boolOperand(e, result));
    return Status::ok;
}

// isinstance(x, cls) for one class; x consumed.
Status oneClass(Emitter* e, Semantic* s, const Shape& x, PyObject* cls, front::Position at,
                Shape* out) {
    Compiler* c = e->compiler;
    if (x.kind == ShapeKind::py) {
        int answer = PyObject_IsInstance(x.py, cls);
        if (answer < 0) return Status::pythonError;
        *out = attrs::boolShape(answer == 1);
        return Status::ok;
    }
    bool runTime = x.kind == ShapeKind::dyn;
    if (!runTime && isNodeType(cls)) {
        // A value known while compiling is a node exactly when its shape is one: a semantic's
        // isinstance(node.value, wuna.Node) picks its branch here, and the branch that can't
        // be compiled for the other kind of value is left out.
        return constantAnswer(e, x, x.kind == ShapeKind::node, out);
    }
    value::RecordClass* description;
    if (Status err = recordClassOf(c, cls, &description); err != Status::ok) return err;
    if (description) {
        if (!runTime) return constantAnswer(e, x, false, out);
        KnownKind kind = x.dyn.kind;
        if (kind != KnownKind::unknown && kind != KnownKind::record)
            return constantAnswer(e, x, false, out);
        // The operand carries no class description: the class word decides at run time.
        return recordTest(e, x.dyn, description, out);
    }
    if (isFunctionType(cls)) {
        if (!runTime) return constantAnswer(e, x, false, out);
        Operand o = x.dyn;
        return emitTypeTest(e, &o, int32_t(TypeCode::function), out);
    }
    if (const TypeRow* row = builtinRow(cls)) {
        if (!runTime) return constantAnswer(e, x, shapeIs(x.kind, row->code), out);
        Operand o = x.dyn;
        return emitTypeTest(e, &o, int32_t(row->code), out);
    }
    if (c->strict && e->strictSuppressed == 0) {
        front::Text name;
        if (Status err = objectName(e, cls, &name); err != Status::ok) return err;
        return attrs::compileError(e, e->semantics.count ? e->semantics.last() : s, e->position,
                                   "strict: asks isinstance() of the class ", name,
                                   " (it would run in Python)");
    }
    (void)at;
    Operand o;
    if (runTime) {
        o = x.dyn;
    } else if (Status err = materialize(e, x, s ? s->site : 0, &o); err != Status::ok) {
        return err;
    }
    uint32_t index;
    if (Status err = pinObject(c, cls, &index); err != Status::ok) return err;
    llvmapi::ValueRef constant;
    if (Status err = objectConstant(e, index, &constant); err != Status::ok) return err;
    llvmapi::ValueRef args[6] = {e->runContext, attrs::site(e, s), o.tag,
                                 o.payload,     constant,          e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_isinstance", args, 6, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::bool_));
    return Status::ok;
}

// One more holder of x for a test that consumes it, x keeping its own: a run-time value gets
// one more reference, held by a plain operand, since a borrowed read's flag lets only one
// release through (the flag stays with x); a tuple's run-time items the same, item by item.
Status extraHolder(Emitter* e, Shape* x, Shape* copy) {
    *copy = *x;
    if (!mayHoldReference(*x)) return Status::ok;
    if (x->kind == ShapeKind::tuple) {
        Shape* items = takeArray<Shape>(e->compiler, x->tuple.count);
        if (!items) return Status::outOfMemory;
        for (uint64_t i = 0; i < x->tuple.count; i++)
            if (Status err = extraHolder(e, &x->tuple.items[i], &items[i]); err != Status::ok)
                return err;
        copy->tuple.items = items;
        return Status::ok;
    }
    if (Status err = addReference(e, &x->dyn); err != Status::ok) return err;
    copy->dyn = x->dyn;
    copy->dyn.borrowFlag = nullptr;
    copy->dyn.source = nullptr;
    return Status::ok;
}

// The i1 of a bool shape (constant or run-time).
llvmapi::ValueRef bitOf(Emitter* e, const Shape& shape) {
    if (shape.kind == ShapeKind::bool_) return attrs::constBit(e, shape.bool_ != 0);
    return icmp(&e->builder, llvmapi::IntNE, shape.dyn.payload, constI64(e, 0));
}

// running = running or next, no short circuit.
Status combine(Emitter* e, Shape* running, const Shape& next) {
    if (running->kind == ShapeKind::bool_ && running->bool_) return release(e, next);
    if (running->kind == ShapeKind::bool_) {
        *running = next;
        return Status::ok;
    }
    llvmapi::ValueRef either = orBits(e, bitOf(e, *running), bitOf(e, next));
    *running = dynShape(attrs::boolOperand(e, attrs::zext64(e, either)));
    return Status::ok;
}

}  // namespace

llvmapi::ValueRef loadRecordClass(Emitter* e, llvmapi::ValueRef payload) {
    return attrs::blockWord(e, payload, offsetof(value::Record, cls));
}

Status isinstanceArityError(Emitter* e, Semantic* s, front::Position at) {
    return attrs::compileError(e, s, at, "isinstance() takes 2 arguments");
}

Status emitTypeTest(Emitter* e, Operand* value, int32_t typeCode, Shape* out) {
    TypeCode code = TypeCode(typeCode);
    Operand x = *value;
    if (x.kind != KnownKind::unknown)
        return constantAnswer(e, dynShape(x), kindIs(x.kind, code), out);
    Builder* b = &e->builder;
    llvmapi::ValueRef t = attrs::constBit(e, false);
    if (const CodeTags* row = tagsOf(code))
        for (uint32_t i = 0; i < row->count; i++) t = orBits(e, t, tagIs(e, x.tag, row->tags[i]));
    llvmapi::ValueRef native = attrs::zext64(e, t);
    llvmapi::ValueRef host = tagIs(e, x.tag, value::TagPy);
    // Every bytes block asks the helper too: bytes and its views share the tag.
    if (code == TypeCode::bytes) host = orBits(e, host, tagIs(e, x.tag, value::TagBytes));
    llvmapi::BasicBlockRef isHost, joined;
    if (Status err = block(e, "is_host", &isHost); err != Status::ok) return err;
    if (Status err = block(e, "is_joined", &joined); err != Status::ok) return err;
    llvmapi::BasicBlockRef first = b->current;
    condBr(b, host, isHost, joined);
    enter(b, isHost);
    llvmapi::ValueRef args[3] = {x.tag, x.payload, constI32(e, typeCode)};
    llvmapi::ValueRef answer;
    if (Status err = callHelper(e, "wn_is_type", args, 3, &answer); err != Status::ok) return err;
    llvmapi::ValueRef wide = attrs::zext64(e, answer);
    llvmapi::BasicBlockRef hostEnd = b->current;
    br(b, joined);
    enter(b, joined);
    llvmapi::ValueRef values[2] = {native, wide};
    llvmapi::BasicBlockRef blocks[2] = {first, hostEnd};
    llvmapi::ValueRef result = attrs::phi64(e, values, blocks, 2);
    if (Status err = release(e, dynShape(x)); err != Status::ok) return err;
    *out = dynShape(attrs::boolOperand(e, result));
    return Status::ok;
}

Status emitIsinstance(Emitter* e, Semantic* s, Shape* value, Shape* type, front::Position at,
                      Shape* out) {
    const Shape* classes = type;
    uint64_t count = 1;
    if (type->kind == ShapeKind::tuple) {
        classes = type->tuple.items;
        count = type->tuple.count;
    }
    if (count == 0) return constantAnswer(e, *value, false, out);
    // Every class is checked before any code is emitted, so an error leaves x unreleased only
    // where the whole compilation fails anyway.
    for (uint64_t i = 0; i < count; i++) {
        if (classes[i].kind != ShapeKind::py)
            return attrs::compileError(e, s, at,
                                       "isinstance()'s type must be known when compiling");
        int isClass = PyObject_IsInstance(classes[i].py, reinterpret_cast<PyObject*>(&PyType_Type));
        if (isClass < 0) return Status::pythonError;
        if (isClass == 0)
            return attrs::compileError(
                e, s, at, "isinstance()'s second argument must be a class or a tuple of them");
    }
    Shape running{};
    for (uint64_t i = 0; i < count; i++) {
        Shape x = *value;
        // Each single-class test consumes one holder of x.
        if (i + 1 < count)
            if (Status err = extraHolder(e, value, &x); err != Status::ok) return err;
        Shape one;
        if (Status err = oneClass(e, s, x, classes[i].py, at, &one); err != Status::ok) return err;
        if (i == 0) {
            running = one;
        } else if (Status err = combine(e, &running, one); err != Status::ok) {
            return err;
        }
    }
    *out = running;
    return Status::ok;
}

Status emitLen(Emitter* e, Semantic* s, PyObject* lenBuiltin, Operand* argument, Operand* out) {
    Builder* b = &e->builder;
    Operand x = *argument;
    Shape held = dynShape(x);
    const char* names[] = {"len_sized", "len_str",  "len_other", "len_not_str",
                           "len_bytes", "len_call", "len_got"};
    llvmapi::BasicBlockRef blocks[7];
    for (int i = 0; i < 7; i++)
        if (Status err = block(e, names[i], &blocks[i]); err != Status::ok) return err;
    auto [sized, str, other, notStr, bytes, call, got] = blocks;
    llvmapi::ValueRef isSized =
        orBits(e, orBits(e, tagIs(e, x.tag, value::TagList), tagIs(e, x.tag, value::TagTuple)),
               tagIs(e, x.tag, value::TagDict));
    condBr(b, isSized, sized, other);
    llvmapi::ValueRef tags[4], payloads[4];
    llvmapi::BasicBlockRef ends[4];
    // Lists, tuples and dicts keep their live count in the same word.
    static_assert(offsetof(value::List, count) == offsetof(value::Tuple, count) &&
                  offsetof(value::List, count) == offsetof(value::Dict, length));
    // One inline length: the word read, x released, on to "len_got".
    auto inlineLength = [&](llvmapi::BasicBlockRef at, uint64_t offset, int k) -> Status {
        enter(b, at);
        payloads[k] = attrs::blockWord(e, x.payload, offset);
        if (Status err = release(e, held); err != Status::ok) return err;
        tags[k] = constI64(e, value::TagPint);
        ends[k] = b->current;
        br(b, got);
        return Status::ok;
    };
    if (Status err = inlineLength(sized, offsetof(value::List, count), 0); err != Status::ok)
        return err;
    enter(b, other);
    condBr(b, tagIs(e, x.tag, value::TagStr), str, notStr);
    if (Status err = inlineLength(str, offsetof(value::Str, chars), 1); err != Status::ok)
        return err;
    enter(b, notStr);
    condBr(b, tagIs(e, x.tag, value::TagBytes), bytes, call);
    if (Status err = inlineLength(bytes, offsetof(value::Bytes, length), 2); err != Status::ok)
        return err;
    enter(b, call);
    // wn_builtin is given the builtin's address (not an object-list index): the object list
    // keeps it alive, a key global carries the address.
    uint32_t index;
    if (Status err = pinObject(e->compiler, lenBuiltin, &index); err != Status::ok) return err;
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(lenBuiltin));
    llvmapi::ValueRef constant;
    if (Status err = keyConstant(&e->compiler->module, key,
                                 KeyOrigin{{index, 0}, KeyOriginKind::pythonCallable}, &constant);
        err != Status::ok)
        return err;
    llvmapi::ValueRef args[7] = {e->runContext,
                                 attrs::site(e, s),
                                 constI32(e, int32_t(helpers::BuiltinCode::len)),
                                 constant,
                                 x.tag,
                                 x.payload,
                                 e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_builtin", args, 7, &ok); err != Status::ok) return err;
    if (Status err = release(e, held); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    Operand result = loadOperand(e, e->scratch, KnownKind::int_);
    *out = attrs::joinAt(e, result, tags, payloads, ends, 4, got, KnownKind::int_);
    return Status::ok;
}

}  // namespace wuna::compile
