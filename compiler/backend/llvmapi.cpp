// Taking the parser package's LLVM capsule and filling the function table (see llvmapi.h).
#include "compiler/backend/llvmapi.h"

#include <cstring>

#include "compiler/backend/messages.h"

namespace wuna::llvmapi {

Table table;
// The capsule object behind the cached record, held for the rest of the process. Outside the
// file's private names so that it is kept as a real variable, which a leak checker sees.
PyObject* capsuleObject = nullptr;

const char* const slotNames[kSlotCount] = {
#define LLVMAPI_NAME(slot, name, result, params) #name,
    LLVMAPI_FUNCTIONS(LLVMAPI_NAME)
#undef LLVMAPI_NAME
};

namespace {

// The slot numbers written in the list are its order: 0 to 88, each once.
constexpr uint32_t listedSlots[] = {
#define LLVMAPI_SLOT(slot, name, result, params) slot,
    LLVMAPI_FUNCTIONS(LLVMAPI_SLOT)
#undef LLVMAPI_SLOT
};
constexpr bool inSlotOrder() {
    for (uint32_t i = 0; i < sizeof listedSlots / sizeof listedSlots[0]; i++)
        if (listedSlots[i] != i) return false;
    return sizeof listedSlots / sizeof listedSlots[0] == kSlotCount;
}
static_assert(inSlotOrder(), "LLVMAPI_FUNCTIONS must list slots 0 to 88 in order");

const Capsule* cached = nullptr;  // set by the first successful load, never cleared

void store(uint32_t index, void* address) {
    switch (index) {
#define LLVMAPI_STORE(slot, name, result, params) \
    case slot: table.name = reinterpret_cast<decltype(table.name)>(address); break;
        LLVMAPI_FUNCTIONS(LLVMAPI_STORE)
#undef LLVMAPI_STORE
    default: break;
    }
}

}  // namespace

void* slot(uint32_t index) {
    switch (index) {
#define LLVMAPI_READ(slot, name, result, params) \
    case slot: return reinterpret_cast<void*>(table.name);
        LLVMAPI_FUNCTIONS(LLVMAPI_READ)
#undef LLVMAPI_READ
    default: return nullptr;
    }
}

void missingFunction(PyObject* cls, const char* name) {
    messages::Message m;
    m.add("pargo's LLVM capsule has no ").add(name).add(": wuna needs a newer pargo").raise(cls);
}

const Capsule* loaded() { return cached; }

const Capsule* adopt(const Capsule* record, PyObject* holder) {
    // The version must be exactly the one this wuna was built for; its length is checked
    // first so that a longer text with the same start is refused too.
    const char* version = record->version ? record->version : "";
    bool sameVersion =
        strlen(version) == strlen(kLlvmVersion) && strcmp(version, kLlvmVersion) == 0;
    if (record->abi != kCapsuleAbi || !sameVersion) {
        // The text is taken before the capsule object, which may own the record, is released.
        messages::Message m;
        m.add("wuna uses pargo's LLVM ")
            .add(kLlvmVersion)
            .add(" (capsule ABI ")
            .addUnsigned(kCapsuleAbi);
        m.add("); this pargo has LLVM ")
            .add(version)
            .add(" (ABI ")
            .addUnsigned(record->abi)
            .add(")");
        m.text();
        Py_XDECREF(holder);
        m.raise(PyExc_ImportError);
        return nullptr;
    }
    for (uint32_t i = 0; i < kSlotCount; i++) {
        // A record without a lookup knows no function at all: the first one is missing.
        void* address = record->lookup ? record->lookup(slotNames[i]) : nullptr;
        // Slots filled before a missing one keep their values; nothing is cached, so the
        // next load fills the table again from the start.
        if (!address) {
            Py_XDECREF(holder);
            missingFunction(PyExc_ImportError, slotNames[i]);
            return nullptr;
        }
        store(i, address);
    }
    cached = record;
    // The holder's reference is kept for the rest of the process: the record and its
    // engine must stay valid as long as any code uses them. It is kept where a leak checker
    // sees it, not merely counted.
    capsuleObject = holder;
    return cached;
}

const Capsule* load() {
    if (cached) return cached;
    PyObject* pargo = PyImport_ImportModule("pargo");
    if (!pargo) return nullptr;
    PyObject* capsule = PyObject_CallMethod(pargo, "llvm_capsule", nullptr);
    if (!capsule) {
        // Whatever failed (most often an older pargo without the method), the reason a
        // user can act on is the pargo version.
        Py_DECREF(pargo);
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                        "compiling needs pargo 0.3.6 or later (pargo.llvm_capsule())");
        return nullptr;
    }
    auto* record = static_cast<const Capsule*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!record) {
        Py_DECREF(capsule);
        Py_DECREF(pargo);
        return nullptr;
    }
    const Capsule* result = adopt(record, capsule);
    Py_DECREF(pargo);
    return result;
}

}  // namespace wuna::llvmapi
