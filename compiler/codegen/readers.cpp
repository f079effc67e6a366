// Byte readers rt.u8 .. rt.i64be: a native bytes value and a small int offset in range are
// read inline with one unaligned load (byte-swapped for big-endian readers); every other case,
// and a u64 at or above 2**63 (a big int), goes to wn_read, which applies the reference mode's
// rules and words its errors.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

constexpr uint64_t kBytesData = offsetof(value::Bytes, data);
constexpr uint64_t kBytesLength = offsetof(value::Bytes, length);

// A reader by its code (the rt method id minus 24): width in bytes, signedness, byte order.
struct Reader {
    uint8_t width;
    uint8_t isSigned;
    uint8_t bigEndian;
};
constexpr Reader kReaders[] = {
    {1, 0, 0}, {1, 1, 0},                         // u8 i8
    {2, 0, 0}, {2, 0, 1}, {2, 1, 0}, {2, 1, 1},  // u16le u16be i16le i16be
    {4, 0, 0}, {4, 0, 1}, {4, 1, 0}, {4, 1, 1},  // u32le u32be i32le i32be
    {8, 0, 0}, {8, 0, 1}, {8, 1, 0}, {8, 1, 1},  // u64le u64be i64le i64be
};
inline constexpr uint8_t kReaderCount = 14;
static_assert(sizeof kReaders / sizeof kReaders[0] == kReaderCount);
static_assert(uint8_t(RtMethod::i64be) - uint8_t(RtMethod::u8) + 1 == kReaderCount);

// llvm.bswap over the type.
ValueRef byteSwap(Emitter* e, ValueRef v, TypeRef type) {
    ModuleRecord* m = &e->compiler->module;
    static const char kName[] = "llvm.bswap";
    unsigned id = T.LLVMLookupIntrinsicID(kName, strlen(kName));
    ValueRef fn = T.LLVMGetIntrinsicDeclaration(m->module, id, &type, 1);
    openBlock(&e->builder);
    return T.LLVMBuildCall2(e->builder.builder, T.LLVMGlobalGetValueType(fn), fn, &v, 1, "");
}

ValueRef fieldAddress(Emitter* e, ValueRef pointer, uint64_t offset) {
    ValueRef index = constI64(e, offset);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.i8, pointer, &index, 1,
                                   "");
}

}  // namespace

Status emitByteRead(Emitter* e, Semantic* s, uint8_t reader, Shape* data, Shape* offset,
                    Shape* out) {
    if (reader >= kReaderCount) return refuseConstruct(e, "an unknown byte reader");
    const Reader& r = kReaders[reader];
    int32_t site = ops::siteOf(s);
    Operand d, o;
    if (Status err = materialize(e, *data, site, &d); err != Status::ok) return err;
    if (Status err = ops::materializeAfter(e, *offset, site, &d, &o); err != Status::ok) return err;
    Builder* b = &e->builder;
    ModuleRecord* m = &e->compiler->module;
    BasicBlockRef blocks[4];
    static const char* const kNames[] = {"read_fast", "read_in", "read_other", "read_done"};
    if (Status err = ops::makeBlocks(e, kNames, 4, blocks); err != Status::ok) return err;
    auto [fast, in, other, done] = blocks;
    ValueRef isBytes = icmp(b, llvmapi::IntEQ, d.tag, constI64(e, value::TagBytes));
    condBr(b, T.LLVMBuildAnd(b->builder, isBytes, ops::isSmallInt(e, o.tag), ""), fast, other);

    enter(b, fast);
    BuilderRef B = b->builder;
    ValueRef block = T.LLVMBuildIntToPtr(B, d.payload, m->ptr, "");
    ValueRef length = loadWord(e, fieldAddress(e, block, kBytesLength));
    ValueRef end = T.LLVMBuildAdd(B, o.payload, constI64(e, r.width), "");
    ValueRef inRange =
        T.LLVMBuildAnd(B, icmp(b, llvmapi::IntSGE, o.payload, constI64(e, 0)),
                       icmp(b, llvmapi::IntULE, end, length), "");
    condBr(b, inRange, in, other);

    enter(b, in);
    openBlock(b);
    ValueRef bytes = T.LLVMBuildLoad2(B, m->ptr, fieldAddress(e, block, kBytesData), "");
    T.LLVMSetAlignment(bytes, 8);
    TypeRef type = T.LLVMIntTypeInContext(m->context, 8u * r.width);
    ValueRef at = T.LLVMBuildInBoundsGEP2(B, m->i8, bytes, &o.payload, 1, "");
    ValueRef v = T.LLVMBuildLoad2(B, type, at, "");
    T.LLVMSetAlignment(v, 1);
    if (r.width > 1 && r.bigEndian) v = byteSwap(e, v, type);
    ValueRef fits = T.LLVMConstInt(m->i1, 1, 0);
    if (r.width < 8)
        v = r.isSigned ? T.LLVMBuildSExt(B, v, m->i64, "") : T.LLVMBuildZExt(B, v, m->i64, "");
    else if (!r.isSigned)
        fits = icmp(b, llvmapi::IntSGE, v, constI64(e, 0));  // 2**63 and above: a big int
    BasicBlockRef inEnd = b->current;
    condBr(b, fits, done, other);

    enter(b, other);
    Operand result;
    if (Status err = ops::joinHelperSide(e, "wn_read", site, reader, d, o, KnownKind::unknown,
                                         done, v, inEnd, &result);
        err != Status::ok)
        return err;
    *out = dynShape(result);
    return Status::ok;
}

}  // namespace wuna::compile
