// What the attribute, subscript, record, type-test and method emitters share: block words read
// through a value's payload, tag tests, phis, numbered blocks and the compile errors located at
// an expression of the semantic being compiled.
//
// Block words are read at the offsets of the runtime's own layouts (value_layout.h, where they
// are pinned by static_asserts), so the emitted code and the runtime agree by construction.
//
// Failure contract: as lower.h (ok, outOfMemory, unsupported with the message written,
// pythonError). Everything runs under the interpreter lock, on the compiling thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::ptree {
struct GrammarInfo;
}

namespace wuna::compile::attrs {

// The block's address: the payload turned into a pointer. Cannot fail.
llvmapi::ValueRef blockPointer(Emitter* e, llvmapi::ValueRef payload);
// The address offset bytes into a block (an inbounds GEP over i8). Cannot fail.
llvmapi::ValueRef byteAddress(Emitter* e, llvmapi::ValueRef base, uint64_t offset);
// The i64 word (alignment 8) / i32 word (alignment 4) offset bytes into the block the payload
// points to. Cannot fail.
llvmapi::ValueRef blockWord(Emitter* e, llvmapi::ValueRef payload, uint64_t offset);
llvmapi::ValueRef blockWord32(Emitter* e, llvmapi::ValueRef payload, uint64_t offset);
// tag == wanted, as an i1. Cannot fail.
llvmapi::ValueRef tagIs(Emitter* e, llvmapi::ValueRef tag, uint64_t wanted);
llvmapi::ValueRef orBits(Emitter* e, llvmapi::ValueRef left, llvmapi::ValueRef right);
llvmapi::ValueRef andBits(Emitter* e, llvmapi::ValueRef left, llvmapi::ValueRef right);
llvmapi::ValueRef zext64(Emitter* e, llvmapi::ValueRef bit);
llvmapi::ValueRef constBit(Emitter* e, bool value);
// A numbered block of the function. ok or outOfMemory.
[[nodiscard]] Status block(Emitter* e, const char* name, llvmapi::BasicBlockRef* out);
// An i64 phi over count incoming (value, block) pairs. Cannot fail.
llvmapi::ValueRef phi64(Emitter* e, const llvmapi::ValueRef* values,
                        const llvmapi::BasicBlockRef* blocks, unsigned count);
// An owned operand joining count incoming (tag, payload, block) triples: a phi of the tags,
// then one of the payloads. Cannot fail.
Operand phiOperand(Emitter* e, const llvmapi::ValueRef* tags, const llvmapi::ValueRef* payloads,
                   const llvmapi::BasicBlockRef* blocks, unsigned count, KnownKind kind);
// The last incoming value (the helper's, ending in the current block) added at index count - 1,
// then the join in block got: phiOperand over all count. Cannot fail.
Operand joinAt(Emitter* e, const Operand& last, llvmapi::ValueRef* tags,
               llvmapi::ValueRef* payloads, llvmapi::BasicBlockRef* blocks, unsigned count,
               llvmapi::BasicBlockRef got, KnownKind kind);
// The site argument of the body's helper calls.
llvmapi::ValueRef site(Emitter* e, const Semantic* s);
// A run-time bool operand of an i64 0/1 payload.
Operand boolOperand(Emitter* e, llvmapi::ValueRef payload);
// A compile-time bool shape.
Shape boolShape(bool value);

// The key constant of a record class description, its origin noted for ahead-of-time builds.
// ok or outOfMemory.
[[nodiscard]] Status recordClassConstant(Emitter* e, const value::RecordClass* cls,
                                         llvmapi::ValueRef* out);

// Clears the message and writes the location prefix of the body's function at the position
// (no prefix without a body). ok or outOfMemory.
[[nodiscard]] Status beginAt(Emitter* e, const Semantic* s, front::Position at);
// "<prefix><a><b><c>" written; unsupported, or outOfMemory when the text can't be written.
[[nodiscard]] Status compileError(Emitter* e, const Semantic* s, front::Position at, const char* a,
                                  front::Text b = front::Text{"", 0}, const char* c = "");

// The label byte of a field name (field i has label i + 1), 0 when the grammar has none.
// Cannot fail.
uint8_t fieldLabelOf(const ptree::GrammarInfo* grammar, front::Text name);

// Whether the Python int of a bool, int or pint shape is usable as an index: *index set.
bool integerIndex(const Shape& shape, int64_t* index);

}  // namespace wuna::compile::attrs
