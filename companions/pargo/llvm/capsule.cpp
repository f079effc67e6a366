// The process's LLVM capsule record: the function table and the code engine behind the
// layout that pargo/llvm_capsule.h fixes.
#include "capsule.h"

#include <llvm/Config/llvm-config.h>

#include "engine.h"

namespace pargo::llvmcapsule {

const Capsule* capsule() {
    static const Capsule record = {
        abi,
        0,
        LLVM_VERSION_STRING,
        llvmfunctions::lookup,
        nullptr,
        codeengine::symbolAddress,
        codeengine::defineSymbols,
        codeengine::release,
        codeengine::emitObject,
        codeengine::freeBytes,
        nullptr,
        nullptr,
        codeengine::loadObject,
    };
    codeengine::initialize();
    return &record;
}

}  // namespace pargo::llvmcapsule
