// The module's hooks for the runtime (see runtime_hooks.h).
#include "host/module/runtime_hooks.h"

#include "host/language/native_host.h"
#include "host/module/type_registry.h"
#include "host/run/program.h"
#include "host/tree/node.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/exceptions.h"

namespace wuna::host {

namespace {

// Rule 12 of conversion for the module's objects; 1 with *out, 0 to keep o as a Python
// object.
int hostValue(PyObject* o, value::Value* out) {
    if (!nodeType || Py_TYPE(o) != nodeType) return 0;
    helpers::Ctx* ctx = helpers::currentCtx();
    auto* node = reinterpret_cast<NodeObject*>(o);
    if (!ctx || !nodeOfRunningTree(node->state, ctx->conversion.userData)) return 0;
    *out = value::Value{value::TagNodeIndex, node->index};
    return 1;
}

// The capsule's error text for a native host function's code; null when it has none.
const char* nativeErrorText(PyObject* fn, int32_t code) {
    if (!nativeHostType || Py_TYPE(fn) != nativeHostType) return nullptr;
    NativeRecord* record = reinterpret_cast<NativeHostObject*>(fn)->record;
    return record && record->error ? record->error(record->user, code) : nullptr;
}

}  // namespace

bool nodeOfRunningTree(PyObject* nodeState, void* runningProgram) {
    if (!nodeState || !runningProgram) return false;
    auto* program = static_cast<ProgramObject*>(runningProgram);
    return program->initialised && program->record.state == nodeState;
}

void installRuntimeHooks() {
    convert::hooks.hostValue = hostValue;
    helpers::nativeErrorText = nativeErrorText;
}

}  // namespace wuna::host
