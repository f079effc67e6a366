// Record fields read and assigned by name on values whose class is known only at run time:
// every record class of the semantic's module with a field of that name gets a class test
// that goes straight to the field's slot, with wn_getattr and wn_setattr behind the chain for
// everything else (subclasses not among the module's globals, frozen classes on stores,
// unset fields, values that aren't records) (see lower.h).
#include <cstring>

#include "compiler/codegen/attributes_common.h"
#include "compiler/front/records.h"
#include "compiler/front/stable.h"

namespace wuna::compile {

namespace {

using attrs::block;
using attrs::tagIs;

// The field's index in the class, or false.
bool fieldIndex(const value::RecordClass* cls, front::Text name, uint64_t* index) {
    for (uint64_t i = 0; i < cls->fieldCount; i++) {
        const value::Text& field = cls->fields[i];
        if (field.length == name.length &&
            memcmp(field.data, name.data, size_t(name.length)) == 0) {
            *index = i;
            return true;
        }
    }
    return false;
}

// Which shapes can take an attribute assignment: run-time values, and Python objects whose
// attributes may change (a stable object's are read while compiling). 1, 0, or -1 with the
// Python error.
int takesAssignment(const Shape& object) {
    if (object.kind == ShapeKind::dyn) return 1;
    if (object.kind != ShapeKind::py) return 0;
    int stable = front::isStable(object.py);
    return stable < 0 ? -1 : !stable;
}

// One candidate's class test: blocks "<of>" and "<next>" made, a branch on the class word
// being the candidate's, code going on in "<of>"; *next is where the next candidate starts.
Status classTest(Emitter* e, llvmapi::ValueRef classWord, const value::RecordClass* cls,
                 const char* ofName, const char* nextName, llvmapi::BasicBlockRef* next) {
    llvmapi::BasicBlockRef of;
    if (Status err = block(e, ofName, &of); err != Status::ok) return err;
    if (Status err = block(e, nextName, next); err != Status::ok) return err;
    llvmapi::ValueRef description;
    if (Status err = attrs::recordClassConstant(e, cls, &description); err != Status::ok)
        return err;
    condBr(&e->builder, icmp(&e->builder, llvmapi::IntEQ, classWord, description), of, *next);
    enter(&e->builder, of);
    return Status::ok;
}

// The value's reference and, unless borrowed, the object's, dropped after a store.
Status releaseStored(Emitter* e, const Operand& item, const Operand& target, bool borrowed) {
    if (Status err = release(e, dynShape(item)); err != Status::ok) return err;
    if (borrowed) return Status::ok;
    return release(e, dynShape(target));
}

}  // namespace

llvmapi::ValueRef recordFieldSlot(Emitter* e, llvmapi::ValueRef payload, uint64_t index) {
    return attrs::byteAddress(e, attrs::blockPointer(e, payload),
                              sizeof(value::Record) + sizeof(value::Value) * index);
}

Status recordClassesWithField(Compiler* c, PyObject* fn, front::Text name, bool excludeFrozen,
                              FieldCandidate** out, uint64_t* count) {
    *out = nullptr;
    *count = 0;
    PyObject* globals = PyObject_GetAttrString(fn, "__globals__");
    if (!globals) return Status::pythonError;
    if (!PyDict_Check(globals)) {
        Py_DECREF(globals);
        return Status::ok;
    }
    backend::List<FieldCandidate> found;
    Status err = Status::ok;
    Py_ssize_t at = 0;
    PyObject* key;
    PyObject* value;
    while (err == Status::ok && PyDict_Next(globals, &at, &key, &value)) {
        if (!PyType_Check(value)) continue;
        value::RecordClass* cls;
        err = recordClassOf(c, value, &cls);
        if (err != Status::ok || !cls || !cls->fieldCount) continue;
        if (excludeFrozen && cls->frozen) continue;
        uint64_t index;
        if (!fieldIndex(cls, name, &index)) continue;
        if (!found.push(FieldCandidate{cls, index})) err = Status::outOfMemory;
    }
    Py_DECREF(globals);
    if (err == Status::ok && found.count) {
        *out = takeArray<FieldCandidate>(c, found.count);
        if (!*out) {
            err = Status::outOfMemory;
        } else {
            memcpy(*out, found.items, found.count * sizeof(FieldCandidate));
            *count = found.count;
        }
    }
    found.free();
    return err;
}

Status emitRecordField(Emitter* e, Semantic* s, Operand* object, front::Text name,
                       const FieldCandidate* candidates, uint64_t count, bool borrowed,
                       Shape* out) {
    Builder* b = &e->builder;
    llvmapi::ValueRef result = valueSlot(e);
    llvmapi::BasicBlockRef done, generic, typed;
    if (Status err = block(e, "field_done", &done); err != Status::ok) return err;
    if (Status err = block(e, "field_generic", &generic); err != Status::ok) return err;
    if (Status err = block(e, "field_typed", &typed); err != Status::ok) return err;
    condBr(b, tagIs(e, object->tag, value::TagRecord), typed, generic);
    enter(b, typed);
    llvmapi::ValueRef classWord = loadRecordClass(e, object->payload);
    for (uint64_t i = 0; i < count; i++) {
        llvmapi::BasicBlockRef next, set;
        if (Status err =
                classTest(e, classWord, candidates[i].cls, "field_of", "field_next", &next);
            err != Status::ok)
            return err;
        llvmapi::ValueRef slot = recordFieldSlot(e, object->payload, candidates[i].index);
        llvmapi::ValueRef tag = loadWord(e, slot);
        if (Status err = block(e, "field_set", &set); err != Status::ok) return err;
        // An unset field: the generic read reports it as Python would.
        condBr(b, tagIs(e, tag, value::TagUnset), generic, set);
        enter(b, set);
        Operand field = constantOperand(e, 0, 0, KnownKind::unknown);
        field.tag = tag;
        field.payload = loadWord(e, slotPayload(e, slot));
        if (Status err = refcount(e, RefMode::increment, field.tag, field.payload);
            err != Status::ok)
            return err;
        if (Status err = storeOperand(e, result, &field); err != Status::ok) return err;
        if (!borrowed)
            if (Status err = release(e, dynShape(*object)); err != Status::ok) return err;
        br(b, done);
        enter(b, next);
    }
    br(b, generic);
    enter(b, generic);
    Operand held = *object;
    if (borrowed && !neverCounted(held.kind)) {
        // The generic read consumes a reference the caller keeps.
        llvmapi::ValueRef args[2] = {held.tag, held.payload};
        if (Status err = callHelper(e, "wn_incref", args, 2, nullptr); err != Status::ok)
            return err;
        held.borrowFlag = nullptr;
        held.source = nullptr;
    }
    Operand read;
    if (Status err = emitGetAttrGeneric(e, s, &held, name, &read); err != Status::ok) return err;
    if (Status err = storeOperand(e, result, &read); err != Status::ok) return err;
    br(b, done);
    enter(b, done);
    *out = dynShape(loadOperand(e, result, KnownKind::unknown));
    return Status::ok;
}

Status emitSetAttr(Emitter* e, Semantic* s, Shape* object, front::Text name, Shape* value,
                   front::Position at) {
    return emitSetAttrBorrowed(e, s, object, name, value, at, false);
}

Status emitSetAttrBorrowed(Emitter* e, Semantic* s, Shape* object, front::Text name, Shape* value,
                           front::Position at, bool borrowed) {
    Compiler* c = e->compiler;
    int takes = takesAssignment(*object);
    if (takes < 0) return Status::pythonError;
    if (!takes) {
        if (Status err = release(e, *value); err != Status::ok) return err;
        const char* kind = kindName(object->kind);
        return attrs::compileError(e, s, at, "assigning to an attribute of a ",
                                   front::Text{kind, strlen(kind)}, " isn't compiled");
    }
    int32_t site = s ? s->site : 0;
    Operand item;
    if (Status err = materialize(e, *value, site, &item); err != Status::ok) return err;
    Operand target;
    if (object->kind == ShapeKind::dyn) {
        target = object->dyn;
    } else if (Status err = materialize(e, *object, site, &target); err != Status::ok) {
        return err;
    }
    FieldCandidate* candidates = nullptr;
    uint64_t count = 0;
    PyObject* fn = s && s->function ? s->function->function : nullptr;
    if (fn)
        if (Status err = recordClassesWithField(c, fn, name, true, &candidates, &count);
            err != Status::ok)
            return err;
    Builder* b = &e->builder;
    llvmapi::BasicBlockRef done, generic, typed, stored;
    if (Status err = block(e, "setfield_done", &done); err != Status::ok) return err;
    if (Status err = block(e, "setfield_generic", &generic); err != Status::ok) return err;
    if (Status err = block(e, "setfield_typed", &typed); err != Status::ok) return err;
    if (Status err = block(e, "setfield_stored", &stored); err != Status::ok) return err;
    condBr(b, tagIs(e, target.tag, value::TagRecord), typed, generic);
    enter(b, typed);
    llvmapi::ValueRef classWord = loadRecordClass(e, target.payload);
    for (uint64_t i = 0; i < count; i++) {
        llvmapi::BasicBlockRef next;
        if (Status err =
                classTest(e, classWord, candidates[i].cls, "setfield_of", "setfield_next", &next);
            err != Status::ok)
            return err;
        llvmapi::ValueRef slot = recordFieldSlot(e, target.payload, candidates[i].index);
        llvmapi::ValueRef oldTag = loadWord(e, slot);
        llvmapi::ValueRef oldPayload = loadWord(e, slotPayload(e, slot));
        // The field's own reference; the operand's is dropped after the store as on every path.
        if (!neverCounted(item.kind))
            if (Status err = refcount(e, RefMode::increment, item.tag, item.payload);
                err != Status::ok)
                return err;
        storeWord(e, item.tag, slot);
        storeWord(e, item.payload, slotPayload(e, slot));
        // The unset marker of a field never set is not counted.
        if (Status err = refcount(e, RefMode::decrement, oldTag, oldPayload); err != Status::ok)
            return err;
        br(b, stored);
        enter(b, next);
    }
    br(b, generic);
    enter(b, stored);
    if (Status err = releaseStored(e, item, target, borrowed); err != Status::ok) return err;
    br(b, done);
    enter(b, generic);
    llvmapi::ValueRef literal;
    if (Status err = literalGlobal(&c->module, name.data, size_t(name.length), &literal);
        err != Status::ok)
        return err;
    llvmapi::ValueRef args[7] = {e->runContext, attrs::site(e, s), target.tag,  target.payload,
                                 literal,       item.tag,          item.payload};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_setattr", args, 7, &ok); err != Status::ok) return err;
    // Released before the branch: a failed store (a frozen class, an object that takes no
    // attributes) must not keep the value and the object alive.
    if (Status err = releaseStored(e, item, target, borrowed); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    br(b, done);
    enter(b, done);
    return Status::ok;
}

}  // namespace wuna::compile
