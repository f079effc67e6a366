// Runtime helper calls (the call-stack depth before, the typed locals after, borrows of
// globals made owners before calls that may run program code), object constants and the
// words of a 128-bit int (see emitter.h).
#include <cstring>

#include "compiler/codegen/emitter.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

using helpers::kCtxDepthOffset;
using value::kFrameSlots;

bool startsWith(const char* name, const char* prefix) {
    return strncmp(name, prefix, strlen(prefix)) == 0;
}

// Helpers that call a value, a Python function or a semantic, and so may run program code
// (besides every wn_call*).
constexpr const char* kRunsProgramCode[] = {
    "wn_builtin", "wn_py_semantic", "wn_run_value",    "wn_lib",       "wn_math",
    "wn_min_max", "wn_sorted",      "wn_tail_resolve", "wn_speculate",
};

ValueRef byteAddress(Emitter* e, ValueRef base, uint64_t offset) {
    ValueRef index = constI64(e, offset);
    openBlock(&e->builder);
    return T.LLVMBuildInBoundsGEP2(e->builder.builder, e->compiler->module.i8, base, &index, 1, "");
}

}  // namespace

bool mayRunProgramCode(const char* name) {
    if (startsWith(name, "wn_call")) return true;
    for (const char* helper : kRunsProgramCode)
        if (strcmp(name, helper) == 0) return true;
    return false;
}

Status callHelper(Emitter* e, const char* name, ValueRef* args, unsigned count, ValueRef* out) {
    // A value read from a global and only borrowed would lose its last reference if the call
    // rebinds the global; error paths run no program code.
    if (e->errorPathDepth == 0 && mayRunProgramCode(name))
        if (Status err = ownGlobalBorrows(e); err != Status::ok) return err;
    if (!startsWith(name, "wn_inc") && !startsWith(name, "wn_dec") &&
        !startsWith(name, "wn_frame_"))
        storeLocation(e);
    ValueRef result = callNamed(&e->builder, name, args, count);
    if (e->modes.localsSpilled &&
        (startsWith(name, "wn_call") || strcmp(name, "wn_builtin") == 0)) {
        // The callee may have stored into the frame the locals were spilled to.
        e->modes.localsSpilled = 0;
        reloadLocals(e);
    }
    if (out) *out = result;
    return Status::ok;
}

void storeLocation(Emitter* e) {
    if (!e->location) return;
    storeWord(e, e->location, byteAddress(e, e->runContext, kCtxDepthOffset));
}

void reloadLocals(Emitter* e) {
    for (size_t i = 0; i < e->typedLocals.count; i++) {
        TypedLocal local = e->typedLocals[i];
        if (!local.live) continue;
        ValueRef tag = loadWord(e, byteAddress(e, e->ownFrame, kFrameSlots + 16 * i));
        storeWord(e, tag, local.slot);
        ValueRef payload = loadWord(e, byteAddress(e, e->ownFrame, kFrameSlots + 16 * i + 8));
        storeWord(e, payload, slotPayload(e, local.slot));
    }
}

Status objectConstant(Emitter* e, uint32_t index, ValueRef* out) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    if (!m->keyOrigins) {
        *out = constI64(e, index);
        return Status::ok;
    }
    // Objects are word-aligned: bit 0 keeps these keys apart from block addresses.
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(c->objects[index])) | 1;
    if (Status err = noteKeyOrigin(m, key, KeyOrigin{{index, 0}, KeyOriginKind::moduleObject});
        err != Status::ok)
        return err;
    ValueRef global;
    if (Status err = keyGlobal(m, key, &global); err != Status::ok) return err;
    *out = loadWord(e, global);
    return Status::ok;
}

IntBits intBits(PyObject* object) {
    value::i128 v;
    int fits = PyLong_Check(object) ? convert::intBits(object, &v) : 0;
    if (fits != 1) {
        // Too wide, or a failed Python call: not ok, and no error left behind.
        PyErr_Clear();
        return IntBits{0, 0, false};
    }
    return IntBits{uint64_t(v), int64_t(v >> 64), true};
}

}  // namespace wuna::compile
