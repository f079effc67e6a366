// The table behind the capsule's lookup: every LLVM C function that code generation reaches
// by name, bound to its address when pargo is built, so a function missing from this LLVM is
// a build error rather than a null found at run time.
#include <llvm-c/BitReader.h>
#include <llvm-c/BitWriter.h>
#include <llvm-c/Core.h>
#include <llvm-c/TargetMachine.h>

#include <cstring>

#include "engine.h"

namespace pargo {
namespace {

struct Function {
    const char* name;
    void* address;
};

#define LLVM_FUNCTION(name) {#name, reinterpret_cast<void*>(&name)}

// In the order of wuna's table, then LLVMAddAlias2, which wuna also asks for.
const Function functions[] = {
    LLVM_FUNCTION(LLVMContextCreate),
    LLVM_FUNCTION(LLVMContextDispose),
    LLVM_FUNCTION(LLVMModuleCreateWithNameInContext),
    LLVM_FUNCTION(LLVMDisposeModule),
    LLVM_FUNCTION(LLVMGetModuleContext),
    LLVM_FUNCTION(LLVMPrintModuleToString),
    LLVM_FUNCTION(LLVMWriteBitcodeToMemoryBuffer),
    LLVM_FUNCTION(LLVMParseBitcodeInContext2),
    LLVM_FUNCTION(LLVMDisposeMemoryBuffer),
    LLVM_FUNCTION(LLVMGetHostCPUName),
    LLVM_FUNCTION(LLVMGetHostCPUFeatures),
    LLVM_FUNCTION(LLVMDisposeMessage),
    LLVM_FUNCTION(LLVMInt1TypeInContext),
    LLVM_FUNCTION(LLVMInt8TypeInContext),
    LLVM_FUNCTION(LLVMIntTypeInContext),
    LLVM_FUNCTION(LLVMInt32TypeInContext),
    LLVM_FUNCTION(LLVMInt64TypeInContext),
    LLVM_FUNCTION(LLVMDoubleTypeInContext),
    LLVM_FUNCTION(LLVMVoidTypeInContext),
    LLVM_FUNCTION(LLVMPointerTypeInContext),
    LLVM_FUNCTION(LLVMStructTypeInContext),
    LLVM_FUNCTION(LLVMArrayType2),
    LLVM_FUNCTION(LLVMFunctionType),
    LLVM_FUNCTION(LLVMGlobalGetValueType),
    LLVM_FUNCTION(LLVMTypeOf),
    LLVM_FUNCTION(LLVMConstInt),
    LLVM_FUNCTION(LLVMConstNull),
    LLVM_FUNCTION(LLVMConstStringInContext2),
    LLVM_FUNCTION(LLVMConstStructInContext),
    LLVM_FUNCTION(LLVMConstArray2),
    LLVM_FUNCTION(LLVMConstInBoundsGEP2),
    LLVM_FUNCTION(LLVMConstIntToPtr),
    LLVM_FUNCTION(LLVMAddGlobal),
    LLVM_FUNCTION(LLVMConstPtrToInt),
    LLVM_FUNCTION(LLVMSetInitializer),
    LLVM_FUNCTION(LLVMSetGlobalConstant),
    LLVM_FUNCTION(LLVMSetLinkage),
    LLVM_FUNCTION(LLVMSetUnnamedAddress),
    LLVM_FUNCTION(LLVMSetAlignment),
    LLVM_FUNCTION(LLVMAddFunction),
    LLVM_FUNCTION(LLVMDeleteFunction),
    LLVM_FUNCTION(LLVMReplaceAllUsesWith),
    LLVM_FUNCTION(LLVMSetValueName2),
    LLVM_FUNCTION(LLVMGetPoison),
    LLVM_FUNCTION(LLVMGetParam),
    LLVM_FUNCTION(LLVMGetEnumAttributeKindForName),
    LLVM_FUNCTION(LLVMCreateEnumAttribute),
    LLVM_FUNCTION(LLVMAddAttributeAtIndex),
    LLVM_FUNCTION(LLVMLookupIntrinsicID),
    LLVM_FUNCTION(LLVMGetIntrinsicDeclaration),
    LLVM_FUNCTION(LLVMAppendBasicBlockInContext),
    LLVM_FUNCTION(LLVMGetBasicBlockTerminator),
    LLVM_FUNCTION(LLVMGetLastInstruction),
    LLVM_FUNCTION(LLVMInstructionEraseFromParent),
    LLVM_FUNCTION(LLVMCreateBuilderInContext),
    LLVM_FUNCTION(LLVMDisposeBuilder),
    LLVM_FUNCTION(LLVMPositionBuilderAtEnd),
    LLVM_FUNCTION(LLVMBuildRet),
    LLVM_FUNCTION(LLVMBuildRetVoid),
    LLVM_FUNCTION(LLVMBuildBr),
    LLVM_FUNCTION(LLVMBuildCondBr),
    LLVM_FUNCTION(LLVMBuildUnreachable),
    LLVM_FUNCTION(LLVMBuildAdd),
    LLVM_FUNCTION(LLVMBuildSub),
    LLVM_FUNCTION(LLVMBuildMul),
    LLVM_FUNCTION(LLVMBuildSDiv),
    LLVM_FUNCTION(LLVMBuildSRem),
    LLVM_FUNCTION(LLVMBuildAnd),
    LLVM_FUNCTION(LLVMBuildOr),
    LLVM_FUNCTION(LLVMBuildXor),
    LLVM_FUNCTION(LLVMBuildShl),
    LLVM_FUNCTION(LLVMBuildLShr),
    LLVM_FUNCTION(LLVMBuildAShr),
    LLVM_FUNCTION(LLVMBuildICmp),
    LLVM_FUNCTION(LLVMBuildFCmp),
    LLVM_FUNCTION(LLVMBuildAlloca),
    LLVM_FUNCTION(LLVMBuildLoad2),
    LLVM_FUNCTION(LLVMBuildStore),
    LLVM_FUNCTION(LLVMBuildInBoundsGEP2),
    LLVM_FUNCTION(LLVMBuildZExt),
    LLVM_FUNCTION(LLVMBuildSExt),
    LLVM_FUNCTION(LLVMBuildBitCast),
    LLVM_FUNCTION(LLVMBuildPtrToInt),
    LLVM_FUNCTION(LLVMBuildIntToPtr),
    LLVM_FUNCTION(LLVMBuildPhi),
    LLVM_FUNCTION(LLVMAddIncoming),
    LLVM_FUNCTION(LLVMBuildCall2),
    LLVM_FUNCTION(LLVMBuildSelect),
    LLVM_FUNCTION(LLVMBuildExtractValue),
    LLVM_FUNCTION(LLVMAddAlias2),
};

#undef LLVM_FUNCTION

}  // namespace
}  // namespace pargo

namespace pargo::llvmfunctions {

void* lookup(const char* name) {
    if (!name) return nullptr;
    // Read once per process, some ninety names: a linear search is enough.
    for (const Function& f : functions)
        if (std::strcmp(f.name, name) == 0) return f.address;
    return nullptr;
}

}  // namespace pargo::llvmfunctions
