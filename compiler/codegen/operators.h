// What the operator emitters share (binary.cpp, unary.cpp, inplace.cpp, compare.cpp,
// typecompare.cpp, bigints.cpp, wrapping.cpp, readers.cpp): the small-int tests, the call of a
// two-operand helper, phis of two incoming values, and a success check that keeps operands
// alive on its failure branch.
//
// Every operator emitter consumes the shapes it is given. A helper call borrows its operands:
// they are released right after the call and before its result is tested, so the failure
// branch owes nothing for them. Where the operands must outlive the test (their release
// comes after a join), checkOkHolding puts them on the live temporaries for the failure branch
// alone, so that a failing helper never leaks them.
//
// Failure contract: as lower.h (ok, outOfMemory, unsupported with the message, pythonError);
// functions that only build instructions cannot fail. Runs under the interpreter lock.
#pragma once
#include <cstdint>

#include "compiler/codegen/emitter.h"
#include "compiler/codegen/lower.h"

namespace wuna::compile::ops {

// The site number of every helper call a body's code makes (0 without a body).
inline int32_t siteOf(const Semantic* s) { return s ? s->site : 0; }

// (tag & -17) == 2, or true when the kind is int: the value is a small int (tag 2 or 18).
llvmapi::ValueRef smallIntSide(Emitter* e, llvmapi::ValueRef tag, KnownKind kind);
// Both sides small ints (emitSmallIntTest).
llvmapi::ValueRef smallIntTest(Emitter* e, const Operand& left, const Operand& right);
// (tag | 16) == 18 (emitIsSmallInt).
llvmapi::ValueRef isSmallInt(Emitter* e, llvmapi::ValueRef tag);

// count numbered blocks of the names, in order. ok or outOfMemory.
Status makeBlocks(Emitter* e, const char* const* names, unsigned count,
                  llvmapi::BasicBlockRef* out);

// An i64 phi of two incoming values in the current block.
llvmapi::ValueRef phi2(Emitter* e, llvmapi::ValueRef a, llvmapi::BasicBlockRef fromA,
                       llvmapi::ValueRef b, llvmapi::BasicBlockRef fromB);

// helper(ctx, site, code, left tag, left payload, right tag, right payload, result slot),
// the form of wn_binary, wn_compare, wn_inplace, wn_wrapping and wn_read; *ok its i1.
[[nodiscard]] Status callPairHelper(Emitter* e, const char* helper, int32_t site, int32_t code,
                                    const Operand& left, const Operand& right,
                                    llvmapi::ValueRef* ok);

// callPairHelper, then both operands released (the helper borrowed them), checkOk, and the
// result slot loaded with the kind the helper's result is sure to have.
[[nodiscard]] Status callPairConsuming(Emitter* e, const char* helper, int32_t site, int32_t code,
                                       const Operand& left, const Operand& right,
                                       KnownKind kind, Operand* out);

// The helper side of an inline path whose result is a plain int (tag 18) and the join: from
// the current block, the helper on both operands (kept live on its failure branch), a branch
// to done; in done, phis of the inline payload from inlineEnd and the helper's result, then
// both operands released. The result has the kind given.
[[nodiscard]] Status joinHelperSide(Emitter* e, const char* helper, int32_t site, int32_t code,
                                    const Operand& left, const Operand& right, KnownKind kind,
                                    llvmapi::BasicBlockRef done, llvmapi::ValueRef inlineValue,
                                    llvmapi::BasicBlockRef inlineEnd, Operand* out);

// checkOk with the shapes live on the failure branch only. ok, or the error of checkOk
// (outOfMemory when the list can't grow).
[[nodiscard]] Status checkOkHolding(Emitter* e, llvmapi::ValueRef ok, const Shape* held,
                                    unsigned count);

// The run-time bool of an i1: tag 1, payload the zero-extended i1, known kind bool.
Operand boolOperand(Emitter* e, llvmapi::ValueRef bit);

// The bool shape known while compiling.
inline Shape boolShape(bool value) {
    Shape s{};
    s.kind = ShapeKind::bool_;
    s.bool_ = value ? 1 : 0;
    return s;
}

// Materializes a shape at the site with the held operand live meanwhile (its code may fail
// at run time, and the error exit must then release what is held). ok or the error.
[[nodiscard]] Status materializeAfter(Emitter* e, const Shape& shape, int32_t site,
                                      const Operand* held, Operand* out);

// The type key of a run-time value (its tag's low word; a big int's is int's; a record's its
// class description; an immutable bytes block's bytes'), and whether its type needs Python (a
// Python object). Constants for the known kinds that tell the type. ok or outOfMemory.
[[nodiscard]] Status emitTypeKey(Emitter* e, const Operand& o, llvmapi::ValueRef* key,
                                 llvmapi::ValueRef* needsPython);

}  // namespace wuna::compile::ops
