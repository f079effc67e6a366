// The LLVM function table: every slot has LLVM's own signature for its name (checked while
// compiling against LLVM's headers), holds that function once filled, and a capsule record of
// another ABI, LLVM version or lookup is refused with its ImportError and never cached.
#include <gtest/gtest.h>

#include <llvm-c/BitReader.h>
#include <llvm-c/BitWriter.h>
#include <llvm-c/Core.h>
#include <llvm-c/TargetMachine.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "compiler/backend/llvmapi.h"
#include "llvm/capsule.h"
#include "tests/native/backend_test_support.h"

namespace wuna {

namespace {

using namespace backend_testing;
const llvmapi::Table& T = llvmapi::table;

// A slot's parameter agrees with LLVM's when it is the same type, or both are integers or
// enumerations of one size (LLVM's enumerations travel as the int they are).
template <typename A, typename B>
constexpr bool compatible() {
    if constexpr (std::is_same_v<A, B>) {
        return true;
    } else {
        return (std::is_integral_v<A> || std::is_enum_v<A>) &&
               (std::is_integral_v<B> || std::is_enum_v<B>) && sizeof(A) == sizeof(B);
    }
}
template <typename F, typename G>
struct SameSignature : std::false_type {};
template <typename R, typename... A, typename S, typename... B>
struct SameSignature<R (*)(A...), S (*)(B...)> {
    static constexpr bool value =
        sizeof...(A) == sizeof...(B) && compatible<R, S>() && (compatible<A, B>() && ...);
};
#define CHECK_SLOT(slot, name, result, params)                                             \
    static_assert(SameSignature<decltype(llvmapi::Table::name), decltype(&::name)>::value, \
                  #name " has another signature than LLVM's");
LLVMAPI_FUNCTIONS(CHECK_SLOT)
#undef CHECK_SLOT

static_assert(llvmapi::InternalLinkage == int(LLVMInternalLinkage));
static_assert(llvmapi::IntULT == int(LLVMIntULT) && llvmapi::IntEQ == int(LLVMIntEQ) &&
              llvmapi::IntNE == int(LLVMIntNE) && llvmapi::IntSLE == int(LLVMIntSLE));
static_assert(llvmapi::kFunctionIndex == unsigned(LLVMAttributeFunctionIndex));
static_assert(sizeof(llvmapi::Capsule) == sizeof(pargo::llvmcapsule::Capsule));
static_assert(offsetof(llvmapi::Capsule, loadObject) ==
              offsetof(pargo::llvmcapsule::Capsule, loadObject));

using LlvmTable = BackendTest;

TEST_F(LlvmTable, EverySlotHoldsTheLlvmFunctionOfItsName) {
    EXPECT_EQ(reinterpret_cast<void*>(T.LLVMContextCreate),
              reinterpret_cast<void*>(&LLVMContextCreate));
    EXPECT_EQ(reinterpret_cast<void*>(T.LLVMBuildSelect),
              reinterpret_cast<void*>(&LLVMBuildSelect));
    EXPECT_EQ(reinterpret_cast<void*>(T.LLVMBuildExtractValue),
              reinterpret_cast<void*>(&LLVMBuildExtractValue));
    for (uint32_t i = 0; i < llvmapi::kSlotCount; i++) {
        EXPECT_EQ(llvmapi::slot(i), engine()->lookup(llvmapi::slotNames[i]))
            << llvmapi::slotNames[i];
    }
    EXPECT_STREQ(llvmapi::slotNames[0], "LLVMContextCreate");
    EXPECT_STREQ(llvmapi::slotNames[88], "LLVMBuildExtractValue");
    EXPECT_EQ(llvmapi::load(), llvmapi::loaded()) << "a loaded table is not taken again";
}

// A record like the engine's with another ABI, version or lookup.
struct FakeRecord {
    llvmapi::Capsule record;
    explicit FakeRecord(uint32_t abi, const char* version, void* (*lookup)(const char*)) {
        record = *engine();
        record.abi = abi;
        record.version = version;
        record.lookup = lookup;
    }
};

void* withoutSelect(const char* name) {
    return strcmp(name, "LLVMBuildSelect") == 0 ? nullptr : engine()->lookup(name);
}
void* withoutContextAndSelect(const char* name) {
    return strcmp(name, "LLVMContextCreate") == 0 ? nullptr : withoutSelect(name);
}

TEST_F(LlvmTable, ARecordOfAnotherAbiVersionOrFunctionsIsRefusedAndNotKept) {
    struct Case {
        uint32_t abi;
        const char* version;
        void* (*lookup)(const char*);
        const char* message;
    } cases[] = {
        {3, llvmapi::kLlvmVersion, nullptr,
         "wuna uses pargo's LLVM 19.1.7 (capsule ABI 2); this pargo has LLVM 19.1.7 (ABI 3)"},
        {2, "21.1.8", nullptr,
         "wuna uses pargo's LLVM 19.1.7 (capsule ABI 2); this pargo has LLVM 21.1.8 (ABI 2)"},
        {2, "19.1.70", nullptr,
         "wuna uses pargo's LLVM 19.1.7 (capsule ABI 2); this pargo has LLVM 19.1.70 (ABI 2)"},
        {2, "19.1", nullptr,
         "wuna uses pargo's LLVM 19.1.7 (capsule ABI 2); this pargo has LLVM 19.1 (ABI 2)"},
        {2, llvmapi::kLlvmVersion, withoutSelect,
         "pargo's LLVM capsule has no LLVMBuildSelect: wuna needs a newer pargo"},
        {2, llvmapi::kLlvmVersion, withoutContextAndSelect,
         "pargo's LLVM capsule has no LLVMContextCreate: wuna needs a newer pargo"},
    };
    const llvmapi::Capsule* kept = llvmapi::loaded();
    for (const Case& c : cases) {
        FakeRecord fake(c.abi, c.version, c.lookup ? c.lookup : engine()->lookup);
        EXPECT_EQ(llvmapi::adopt(&fake.record, nullptr), nullptr);
        PyObject* type = nullptr;
        std::string text = takeError(&type);
        EXPECT_EQ(text, c.message);
        EXPECT_EQ(type, PyExc_ImportError);
        EXPECT_EQ(llvmapi::loaded(), kept) << "a refused record is never cached";
    }
}

TEST_F(LlvmTable, ARecordWithoutALookupMissesTheFirstFunction) {
    const llvmapi::Capsule* kept = llvmapi::loaded();
    FakeRecord fake(2, llvmapi::kLlvmVersion, engine()->lookup);
    fake.record.lookup = nullptr;
    EXPECT_EQ(llvmapi::adopt(&fake.record, nullptr), nullptr);
    PyObject* type = nullptr;
    EXPECT_EQ(takeError(&type),
              "pargo's LLVM capsule has no LLVMContextCreate: wuna needs a newer pargo");
    EXPECT_EQ(type, PyExc_ImportError);
    EXPECT_EQ(llvmapi::loaded(), kept);
}

TEST_F(LlvmTable, AVersionTextTooLongForTheBufferIsCut) {
    std::string version(3000, 'v');
    FakeRecord fake(2, version.c_str(), engine()->lookup);
    EXPECT_EQ(llvmapi::adopt(&fake.record, nullptr), nullptr);
    std::string text = takeError();
    EXPECT_EQ(text.size(), 1015u + 3u);
    EXPECT_EQ(text.substr(text.size() - 3), "...");
}

}  // namespace

}  // namespace wuna
