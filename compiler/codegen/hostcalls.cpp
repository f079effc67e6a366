// Calls of native host functions (wuna.NativeHost) from semantics. The C function of the
// language's native library is called directly, with no Python and no interpreter lock, when
// every argument's tag is the kind its signature names; otherwise the same site calls the
// object through the runtime, whose Python call checks the arguments and says what is wrong
// in the object's own words. Both roads join into one value.
//
// The function and its data pointer reach the code as key globals (their addresses); the
// host object itself is pinned in the module's object list, which keeps its capsule, and so
// the record and its library, alive as long as the code. An ahead-of-time image can't name
// a library's function by address, so such builds call the object instead (where the
// standalone runtime refuses it).
#include <cstddef>
#include <cstring>

#include "compiler/codegen/builtins_shared.h"
#include "compiler/codegen/calls_shared.h"
#include "host/language/native_host.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;
using llvmapi::BasicBlockRef;
using llvmapi::TypeRef;
using llvmapi::ValueRef;

// Value tags the signature letters accept.
constexpr uint64_t kTagBool = 1, kTagInt = 2, kTagFloat = 3, kTagBytes = 14, kTagPyInt = 18;
// Bit 4 of an int's tag: a plain int (2) and an int from Python (18) differ in it alone.
constexpr uint64_t kPyIntBit = 16;
// A bytes block's length and data pointer, as the runtime lays the block out.
constexpr uint64_t kBytesLength = offsetof(value::Bytes, length);
constexpr uint64_t kBytesData = offsetof(value::Bytes, data);

ValueRef eq(Emitter* e, ValueRef a, uint64_t b) {
    return icmp(&e->builder, llvmapi::IntEQ, a, constI64(e, b));
}

// Whether the operand's tag is the kind the letter names.
ValueRef kindTest(Emitter* e, char letter, const Operand& o) {
    switch (letter) {
    case '?':
        return eq(e, o.tag, kTagBool);
    case 'f':
        return eq(e, o.tag, kTagFloat);
    case 'b':
        return eq(e, o.tag, kTagBytes);
    default: {
        openBlock(&e->builder);
        ValueRef low = T.LLVMBuildOr(e->builder.builder, o.tag, constI64(e, kPyIntBit), "");
        return eq(e, low, kTagPyInt);
    }
    }
}

ValueRef loadI64(Emitter* e, ValueRef address) {
    openBlock(&e->builder);
    ValueRef v = T.LLVMBuildLoad2(e->builder.builder, e->compiler->module.i64, address, "");
    T.LLVMSetAlignment(v, 8);
    return v;
}

ValueRef cellWord(Emitter* e, ValueRef cells, uint64_t index, uint64_t word) {
    return byteOffset(e, cells, index * 16 + word * 8);
}

ValueRef entryArray(Emitter* e, uint64_t n) {
    ModuleRecord* m = &e->compiler->module;
    ValueRef array =
        T.LLVMBuildAlloca(e->builder.entryBuilder, T.LLVMArrayType2(m->valuePair, n ? n : 1), "");
    T.LLVMSetAlignment(array, 8);
    return array;
}

// "native_call" to its end: the cells filled, the C function called, its failure taken to
// "native_failed"; the builder is left in "native_done" with the result's tag and payload.
Status nativeRoad(Emitter* e, Semantic* s, const host::NativeHostObject* host, uint32_t index,
                  const Operand* args, uint64_t n, BasicBlockRef failed, BasicBlockRef done,
                  ValueRef* tag, ValueRef* payload) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    ValueRef cells = entryArray(e, n);
    for (uint64_t i = 0; i < n; i++) {
        ValueRef word0 = args[i].payload, word1 = nullptr;
        if (host->argKinds[i] == 'b') {
            openBlock(b);
            ValueRef block = T.LLVMBuildIntToPtr(b->builder, args[i].payload, m->ptr, "");
            word0 = loadI64(e, byteOffset(e, block, kBytesLength));
            word1 = loadI64(e, byteOffset(e, block, kBytesData));
        }
        storeWord(e, word0, cellWord(e, cells, i, 0));
        if (word1) storeWord(e, word1, cellWord(e, cells, i, 1));
    }
    ValueRef result = entryArray(e, 1);
    ValueRef function, data = T.LLVMConstNull(m->ptr);
    if (Status err = keyGlobal(m, uint64_t(reinterpret_cast<uintptr_t>(host->record->call)),
                               &function);
        err != Status::ok)
        return err;
    if (host->record->user)
        if (Status err = keyGlobal(m, uint64_t(reinterpret_cast<uintptr_t>(host->record->user)),
                                   &data);
            err != Status::ok)
            return err;
    TypeRef params[4] = {m->ptr, m->ptr, m->i64, m->ptr};
    TypeRef type = T.LLVMFunctionType(m->i32, params, 4, 0);
    ValueRef callArgs[4] = {data, cells, constI64(e, n), result};
    openBlock(b);
    ValueRef code = T.LLVMBuildCall2(b->builder, type, function, callArgs, 4, "");
    ValueRef zero = T.LLVMConstInt(m->i32, 0, 0);
    condBr(b, icmp(b, llvmapi::IntEQ, code, zero), done, failed);
    enter(b, failed);
    ValueRef object;
    if (Status err = objectConstant(e, index, &object); err != Status::ok) return err;
    ValueRef fail[4] = {e->runContext, siteValue(e, s->site), object, code};
    if (Status err = callHelper(e, "wn_native_fail", fail, 4, nullptr); err != Status::ok)
        return err;
    BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(b, exit);
    enter(b, done);
    ValueRef word = loadI64(e, cellWord(e, result, 0, 0));
    switch (host->resultKind) {
    case '?': {
        *tag = constI64(e, kTagBool);
        ValueRef set = icmp(b, llvmapi::IntNE, word, constI64(e, 0));
        openBlock(b);
        *payload = T.LLVMBuildZExt(b->builder, set, m->i64, "");
        break;
    }
    case 'f':
        *tag = constI64(e, kTagFloat);
        *payload = word;
        break;
    case 'i':
        *tag = constI64(e, kTagPyInt);
        *payload = word;
        break;
    default:
        *tag = constI64(e, 0);
        *payload = constI64(e, 0);
        break;
    }
    return Status::ok;
}

// "native_python": the object called through the runtime with the arguments lent.
Status pythonRoad(Emitter* e, Semantic* s, uint32_t index, const Operand* args, uint64_t n,
                  ValueRef* tag, ValueRef* payload) {
    ModuleRecord* m = &e->compiler->module;
    ValueRef array = entryArray(e, n);
    for (uint64_t i = 0; i < n; i++) {
        ValueRef slot = byteOffset(e, array, i * 16);
        storeWord(e, args[i].tag, slot);
        storeWord(e, args[i].payload, byteOffset(e, array, i * 16 + 8));
    }
    ValueRef object;
    if (Status err = objectConstant(e, index, &object); err != Status::ok) return err;
    ValueRef get[3] = {e->runContext, object, e->scratch};
    if (Status err = callHelper(e, "wn_object", get, 3, nullptr); err != Status::ok) return err;
    Operand callee = loadOperand(e, e->scratch, KnownKind::unknown);
    ValueRef call[8] = {e->runContext, siteValue(e, s->site), callee.tag, callee.payload,
                        array,         constI64(e, n),        T.LLVMConstNull(m->ptr), e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_call", call, 8, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(callee)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    Operand result = loadOperand(e, e->scratch, KnownKind::unknown);
    *tag = result.tag;
    *payload = result.payload;
    return Status::ok;
}

}  // namespace

bool isNativeHost(PyObject* object) {
    // The type made from its spec is named "wuna.NativeHost"; a Python class is never named
    // with its module, and a subclass does not count.
    PyTypeObject* type = Py_TYPE(object);
    return strcmp(type->tp_name, "wuna.NativeHost") == 0 &&
           type->tp_basicsize == Py_ssize_t(sizeof(host::NativeHostObject));
}

Status lowerNativeHostCall(Emitter* e, Semantic* s, PyObject* object, Shape* args, uint64_t count,
                           Shape* out) {
    Compiler* c = e->compiler;
    Builder* b = &e->builder;
    const auto* host = reinterpret_cast<const host::NativeHostObject*>(object);
    if (!host->record || count != host->argCount || c->module.keyOrigins)
        return callPythonObject(e, s, object, args, count, out);
    if (c->strict && e->strictSuppressed == 0) {
        // The fallback road would run in Python, which a strict language never does.
        front::Text name;
        if (Status err = objectName(e, object, &name); err != Status::ok) return err;
        (void)beginConstructError(e);
        (void)writeStrictHostCall(&c->message, name.data, size_t(name.length));
        return Status::unsupported;
    }
    uint32_t index;
    if (Status err = pinObject(c, object, &index); err != Status::ok) return err;
    Operand* operands = count ? takeArray<Operand>(c, count) : nullptr;
    if (count && !operands) return Status::outOfMemory;
    uint64_t live = e->temporaries.count;
    for (uint64_t i = 0; i < count; i++) {
        if (Status err = materialize(e, args[i], s->site, &operands[i]); err != Status::ok)
            return err;
        // Both roads' error exits release the arguments.
        if (!e->temporaries.push(dynShape(operands[i]))) return Status::outOfMemory;
    }
    ValueRef fits = T.LLVMConstInt(c->module.i1, 1, 0);
    for (uint64_t i = 0; i < count; i++) {
        ValueRef one = kindTest(e, host->argKinds[i], operands[i]);
        openBlock(b);
        fits = T.LLVMBuildAnd(b->builder, fits, one, "");
    }
    BasicBlockRef blocks[5];
    const char* names[5] = {"native_call", "native_failed", "native_done", "native_python",
                            "native_joined"};
    for (int i = 0; i < 5; i++)
        if (Status err = newBlock(b, names[i], &blocks[i]); err != Status::ok) return err;
    auto [call, failed, done, python, joined] = blocks;
    condBr(b, fits, call, python);
    enter(b, call);
    ValueRef tags[2], payloads[2];
    BasicBlockRef from[2];
    if (Status err = nativeRoad(e, s, host, index, operands, count, failed, done, &tags[0],
                                &payloads[0]);
        err != Status::ok)
        return err;
    openBlock(b);
    from[0] = b->current;
    br(b, joined);
    enter(b, python);
    if (Status err = pythonRoad(e, s, index, operands, count, &tags[1], &payloads[1]);
        err != Status::ok)
        return err;
    openBlock(b);
    from[1] = b->current;
    br(b, joined);
    enter(b, joined);
    Operand result{};
    result.tag = calls::phiOf(e, c->module.i64, tags, from, 2);
    result.payload = calls::phiOf(e, c->module.i64, payloads, from, 2);
    result.functionNode = kNoFunctionNode;
    result.kind = KnownKind::unknown;
    e->temporaries.count = live;
    for (uint64_t i = 0; i < count; i++)
        if (Status err = release(e, dynShape(operands[i])); err != Status::ok) return err;
    *out = dynShape(result);
    return Status::ok;
}

}  // namespace wuna::compile
