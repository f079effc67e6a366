// LLVM as wuna reaches it: never linked, always through the parser package's capsule.
//
// `pargo.llvm_capsule()` hands over a record (Capsule) with a lookup of LLVM's C functions by
// name and a small code engine that emits LLVM modules as object code and loads object code
// into this process. load() takes that capsule once per process, checks that it is the
// expected one (its ABI, and the LLVM version this wuna was built for), and fills `table`,
// the 89 LLVM C functions every piece of code generation calls, in a fixed slot order.
// After the first success the capsule and the table never change again, so any thread reads
// them without a lock; the capsule object stays referenced for the rest of the process so
// the record and its engine stay valid. A failed load caches nothing: the next call starts
// again from the import.
//
// The LLVM types are declared here as the opaque pointers LLVM's C API uses (the same struct
// names, so they are the same types where LLVM's own headers are also seen), and each slot
// has the C signature of the LLVM function of its name, with LLVM's enumerations passed as
// the int they are.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "pargo/llvm_capsule.h"

struct LLVMOpaqueContext;
struct LLVMOpaqueModule;
struct LLVMOpaqueType;
struct LLVMOpaqueValue;
struct LLVMOpaqueBasicBlock;
struct LLVMOpaqueBuilder;
struct LLVMOpaqueMemoryBuffer;
struct LLVMOpaqueAttributeRef;

namespace wuna::llvmapi {

// The LLVM this wuna uses: pargo's, which it was built with. The capsule must report it.
inline constexpr const char* kLlvmVersion = "19.1.7";
inline constexpr uint32_t kCapsuleAbi = pargo::llvmcapsule::abi;
inline constexpr const char* kCapsuleName = pargo::llvmcapsule::capsuleName;

using ContextRef = LLVMOpaqueContext*;
using ModuleRef = LLVMOpaqueModule*;
using TypeRef = LLVMOpaqueType*;
using ValueRef = LLVMOpaqueValue*;
using BasicBlockRef = LLVMOpaqueBasicBlock*;
using BuilderRef = LLVMOpaqueBuilder*;
using MemoryBufferRef = LLVMOpaqueMemoryBuffer*;
using AttributeRef = LLVMOpaqueAttributeRef*;
using Bool = int;

// The values of LLVM's enumerations that wuna passes.
enum Linkage : int { ExternalLinkage = 0, InternalLinkage = 8 };
enum IntPredicate : int {
    IntEQ = 32,
    IntNE = 33,
    IntUGT = 34,
    IntUGE = 35,
    IntULT = 36,
    IntULE = 37,
    IntSGT = 38,
    IntSGE = 39,
    IntSLT = 40,
    IntSLE = 41,
};
inline constexpr unsigned kFunctionIndex = ~0u;  // attribute index of the function itself

// The record behind the "pargo.llvm.v1" capsule; its layout is the parser package's ABI.
using Capsule = pargo::llvmcapsule::Capsule;

// X(slot, LLVM C function, result, parameters): the table, in slot order.
#define LLVMAPI_FUNCTIONS(X)                                                                  \
    X(0, LLVMContextCreate, ContextRef, (void))                                               \
    X(1, LLVMContextDispose, void, (ContextRef))                                              \
    X(2, LLVMModuleCreateWithNameInContext, ModuleRef, (const char*, ContextRef))             \
    X(3, LLVMDisposeModule, void, (ModuleRef))                                                \
    X(4, LLVMGetModuleContext, ContextRef, (ModuleRef))                                       \
    X(5, LLVMPrintModuleToString, char*, (ModuleRef))                                         \
    X(6, LLVMWriteBitcodeToMemoryBuffer, MemoryBufferRef, (ModuleRef))                        \
    X(7, LLVMParseBitcodeInContext2, Bool, (ContextRef, MemoryBufferRef, ModuleRef*))         \
    X(8, LLVMDisposeMemoryBuffer, void, (MemoryBufferRef))                                    \
    X(9, LLVMGetHostCPUName, char*, (void))                                                   \
    X(10, LLVMGetHostCPUFeatures, char*, (void))                                              \
    X(11, LLVMDisposeMessage, void, (char*))                                                  \
    X(12, LLVMInt1TypeInContext, TypeRef, (ContextRef))                                       \
    X(13, LLVMInt8TypeInContext, TypeRef, (ContextRef))                                       \
    X(14, LLVMIntTypeInContext, TypeRef, (ContextRef, unsigned))                              \
    X(15, LLVMInt32TypeInContext, TypeRef, (ContextRef))                                      \
    X(16, LLVMInt64TypeInContext, TypeRef, (ContextRef))                                      \
    X(17, LLVMDoubleTypeInContext, TypeRef, (ContextRef))                                     \
    X(18, LLVMVoidTypeInContext, TypeRef, (ContextRef))                                       \
    X(19, LLVMPointerTypeInContext, TypeRef, (ContextRef, unsigned))                          \
    X(20, LLVMStructTypeInContext, TypeRef, (ContextRef, TypeRef*, unsigned, Bool))           \
    X(21, LLVMArrayType2, TypeRef, (TypeRef, uint64_t))                                       \
    X(22, LLVMFunctionType, TypeRef, (TypeRef, TypeRef*, unsigned, Bool))                     \
    X(23, LLVMGlobalGetValueType, TypeRef, (ValueRef))                                        \
    X(24, LLVMTypeOf, TypeRef, (ValueRef))                                                    \
    X(25, LLVMConstInt, ValueRef, (TypeRef, unsigned long long, Bool))                        \
    X(26, LLVMConstNull, ValueRef, (TypeRef))                                                 \
    X(27, LLVMConstStringInContext2, ValueRef, (ContextRef, const char*, size_t, Bool))       \
    X(28, LLVMConstStructInContext, ValueRef, (ContextRef, ValueRef*, unsigned, Bool))        \
    X(29, LLVMConstArray2, ValueRef, (TypeRef, ValueRef*, uint64_t))                          \
    X(30, LLVMConstInBoundsGEP2, ValueRef, (TypeRef, ValueRef, ValueRef*, unsigned))          \
    X(31, LLVMConstIntToPtr, ValueRef, (ValueRef, TypeRef))                                   \
    X(32, LLVMAddGlobal, ValueRef, (ModuleRef, TypeRef, const char*))                         \
    X(33, LLVMConstPtrToInt, ValueRef, (ValueRef, TypeRef))                                   \
    X(34, LLVMSetInitializer, void, (ValueRef, ValueRef))                                     \
    X(35, LLVMSetGlobalConstant, void, (ValueRef, Bool))                                      \
    X(36, LLVMSetLinkage, void, (ValueRef, int))                                              \
    X(37, LLVMSetUnnamedAddress, void, (ValueRef, int))                                       \
    X(38, LLVMSetAlignment, void, (ValueRef, unsigned))                                       \
    X(39, LLVMAddFunction, ValueRef, (ModuleRef, const char*, TypeRef))                       \
    X(40, LLVMDeleteFunction, void, (ValueRef))                                               \
    X(41, LLVMReplaceAllUsesWith, void, (ValueRef, ValueRef))                                 \
    X(42, LLVMSetValueName2, void, (ValueRef, const char*, size_t))                           \
    X(43, LLVMGetPoison, ValueRef, (TypeRef))                                                 \
    X(44, LLVMGetParam, ValueRef, (ValueRef, unsigned))                                       \
    X(45, LLVMGetEnumAttributeKindForName, unsigned, (const char*, size_t))                   \
    X(46, LLVMCreateEnumAttribute, AttributeRef, (ContextRef, unsigned, uint64_t))            \
    X(47, LLVMAddAttributeAtIndex, void, (ValueRef, unsigned, AttributeRef))                  \
    X(48, LLVMLookupIntrinsicID, unsigned, (const char*, size_t))                             \
    X(49, LLVMGetIntrinsicDeclaration, ValueRef, (ModuleRef, unsigned, TypeRef*, size_t))     \
    X(50, LLVMAppendBasicBlockInContext, BasicBlockRef, (ContextRef, ValueRef, const char*))  \
    X(51, LLVMGetBasicBlockTerminator, ValueRef, (BasicBlockRef))                             \
    X(52, LLVMGetLastInstruction, ValueRef, (BasicBlockRef))                                  \
    X(53, LLVMInstructionEraseFromParent, void, (ValueRef))                                   \
    X(54, LLVMCreateBuilderInContext, BuilderRef, (ContextRef))                               \
    X(55, LLVMDisposeBuilder, void, (BuilderRef))                                             \
    X(56, LLVMPositionBuilderAtEnd, void, (BuilderRef, BasicBlockRef))                        \
    X(57, LLVMBuildRet, ValueRef, (BuilderRef, ValueRef))                                     \
    X(58, LLVMBuildRetVoid, ValueRef, (BuilderRef))                                           \
    X(59, LLVMBuildBr, ValueRef, (BuilderRef, BasicBlockRef))                                 \
    X(60, LLVMBuildCondBr, ValueRef, (BuilderRef, ValueRef, BasicBlockRef, BasicBlockRef))    \
    X(61, LLVMBuildUnreachable, ValueRef, (BuilderRef))                                       \
    X(62, LLVMBuildAdd, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))              \
    X(63, LLVMBuildSub, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))              \
    X(64, LLVMBuildMul, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))              \
    X(65, LLVMBuildSDiv, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))             \
    X(66, LLVMBuildSRem, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))             \
    X(67, LLVMBuildAnd, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))              \
    X(68, LLVMBuildOr, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))               \
    X(69, LLVMBuildXor, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))              \
    X(70, LLVMBuildShl, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))              \
    X(71, LLVMBuildLShr, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))             \
    X(72, LLVMBuildAShr, ValueRef, (BuilderRef, ValueRef, ValueRef, const char*))             \
    X(73, LLVMBuildICmp, ValueRef, (BuilderRef, int, ValueRef, ValueRef, const char*))        \
    X(74, LLVMBuildFCmp, ValueRef, (BuilderRef, int, ValueRef, ValueRef, const char*))        \
    X(75, LLVMBuildAlloca, ValueRef, (BuilderRef, TypeRef, const char*))                      \
    X(76, LLVMBuildLoad2, ValueRef, (BuilderRef, TypeRef, ValueRef, const char*))             \
    X(77, LLVMBuildStore, ValueRef, (BuilderRef, ValueRef, ValueRef))                         \
    X(78, LLVMBuildInBoundsGEP2, ValueRef,                                                    \
      (BuilderRef, TypeRef, ValueRef, ValueRef*, unsigned, const char*))                      \
    X(79, LLVMBuildZExt, ValueRef, (BuilderRef, ValueRef, TypeRef, const char*))              \
    X(80, LLVMBuildSExt, ValueRef, (BuilderRef, ValueRef, TypeRef, const char*))              \
    X(81, LLVMBuildBitCast, ValueRef, (BuilderRef, ValueRef, TypeRef, const char*))           \
    X(82, LLVMBuildPtrToInt, ValueRef, (BuilderRef, ValueRef, TypeRef, const char*))          \
    X(83, LLVMBuildIntToPtr, ValueRef, (BuilderRef, ValueRef, TypeRef, const char*))          \
    X(84, LLVMBuildPhi, ValueRef, (BuilderRef, TypeRef, const char*))                         \
    X(85, LLVMAddIncoming, void, (ValueRef, ValueRef*, BasicBlockRef*, unsigned))             \
    X(86, LLVMBuildCall2, ValueRef,                                                           \
      (BuilderRef, TypeRef, ValueRef, ValueRef*, unsigned, const char*))                      \
    X(87, LLVMBuildSelect, ValueRef, (BuilderRef, ValueRef, ValueRef, ValueRef, const char*)) \
    X(88, LLVMBuildExtractValue, ValueRef, (BuilderRef, ValueRef, unsigned, const char*))

inline constexpr uint32_t kSlotCount = 89;

// The function addresses, one member per slot in slot order, named after the functions.
struct Table {
#define LLVMAPI_MEMBER(slot, name, result, params) result(*name) params;
    LLVMAPI_FUNCTIONS(LLVMAPI_MEMBER)
#undef LLVMAPI_MEMBER
};

// The process's table: all null until a load fills it; afterwards read-only.
extern Table table;
// The capsule object whose record load() cached (null before): held, never released.
extern PyObject* capsuleObject;

// The LLVM C function name of each slot.
extern const char* const slotNames[kSlotCount];

// The address in a slot (null when it was never filled).
void* slot(uint32_t index);

// The capsule record, taken once per process: the cached record at once, or import pargo,
// call pargo.llvm_capsule(), check it and fill the table. Null with a Python exception
// (ImportError for the texts below, or the import's or the capsule API's own error). Needs
// the interpreter lock.
const Capsule* load();

// Steps after the capsule pointer was taken: checks record's ABI and version and fills the
// table through its lookup; on success caches record and keeps holder (a reference the
// caller gives away, or null; the reference to the capsule object that keeps the record
// valid). Null with ImportError on failure, holder then released. load() uses it; native
// tests hand over a record they hold themselves. Needs the interpreter lock.
const Capsule* adopt(const Capsule* record, PyObject* holder);

// The cached record, or null before the first successful load.
const Capsule* loaded();

// Raises cls with "pargo's LLVM capsule has no <name>: wuna needs a newer pargo".
void missingFunction(PyObject* cls, const char* name);

}  // namespace wuna::llvmapi
