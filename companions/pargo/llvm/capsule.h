// The LLVM capsule ("pargo.llvm.v1") as pargo makes it: one record per process, laid out as
// pargo/llvm_capsule.h fixes for its readers, filled with LLVM's function table
// (functions.cpp) and the code engine (engine.h). The record never moves and is never freed.
#pragma once
#include <llvm-c/Types.h>

#include <type_traits>

#include "pargo/llvm_capsule.h"

namespace pargo::llvmcapsule {

// The record names LLVM's module type by its opaque struct: the same type as LLVM's own.
static_assert(std::is_same_v<LLVMModuleRef, LLVMOpaqueModule*>);

// The process's record; the first call also readies LLVM's native target. Never null.
const Capsule* capsule();

}  // namespace pargo::llvmcapsule
