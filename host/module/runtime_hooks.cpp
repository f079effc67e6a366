// The module's hooks for the runtime (see runtime_hooks.h).
#include "host/module/runtime_hooks.h"

#include "host/interp/function_object.h"
#include "host/language/native_host.h"
#include "host/module/type_registry.h"
#include "host/run/program.h"
#include "host/tree/node.h"
#include "host/tree/parsed.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/helpers/exceptions.h"

namespace wuna::host {

namespace {

// Rule 12 of conversion for the module's objects; 1 with *out, 0 to keep o as a Python
// object.
// A CompiledRuntime of the calling thread's current run whose frame is still there: the
// rt value (tag 12, its scope in the high half) of that frame. Tag 12 is not a counted
// value: the run's frame outlives it. Any other stays a Python object.
int runtimeValue(PyObject* o, value::Value* out) {
    auto* rt = reinterpret_cast<bridge::RuntimeObject*>(o);
    helpers::Ctx* ctx = helpers::currentCtx();
    value::Frame* frame = rt->frameSlot ? *rt->frameSlot : rt->frame;
    if (!ctx || rt->ctx != ctx || !frame) return 0;
    *out = value::Value{uint64_t(value::TagRuntime) | (uint64_t(uint32_t(rt->scope)) << 32),
                        uint64_t(uintptr_t(frame))};
    return 1;
}

int hostValue(PyObject* o, value::Value* out) {
    if (functionType && Py_TYPE(o) == functionType) {
        // A function compiled code made and gave to Python comes back as the same block.
        value::Value native = reinterpret_cast<FunctionObject*>(o)->native;
        if (native.tag != value::TagFunction) return 0;
        value::incref(native);
        *out = native;
        return 1;
    }
    if (Py_TYPE(o) == runtime::hostApi.compiledRuntimeType) return runtimeValue(o, out);
    if (!nodeType || Py_TYPE(o) != nodeType) return 0;
    helpers::Ctx* ctx = helpers::currentCtx();
    auto* node = reinterpret_cast<NodeObject*>(o);
    // The run's owner is its program's State: only nodes of that tree are the running
    // program's.
    if (!ctx || !node->state || node->state != ctx->conversion.owner) return 0;
    *out = value::Value{value::TagNodeIndex, node->index};
    return 1;
}

// A new wuna.Function of a function block: of the program that the context's owner (its
// State) belongs to, with the block's index and name, holding one count of the block.
PyObject* functionObject(value::Function* f, const helpers::ConversionContext* cx) {
    if (!cx->owner) {
        PyErr_SetString(PyExc_TypeError,
                        "a function of compiled code can't be given to Python "
                        "outside its run");
        return nullptr;
    }
    PyObject* name = f->name ? PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(f->name->bytes()),
                                                    Py_ssize_t(f->name->length), "replace")
                             : PyUnicode_FromString("");
    if (!name) return nullptr;
    PyObject* o = newFunction(cx->owner, uint32_t(f->index), nullptr, name);
    Py_DECREF(name);
    if (!o) return nullptr;
    value::Value native = value::Value::of(value::TagFunction, f);
    value::incref(native);
    reinterpret_cast<FunctionObject*>(o)->native = native;
    return o;
}

// The capsule's error text for a native host function's code; null when it has none.
const char* nativeErrorText(PyObject* fn, int32_t code) {
    if (!nativeHostType || Py_TYPE(fn) != nativeHostType) return nullptr;
    NativeRecord* record = reinterpret_cast<NativeHostObject*>(fn)->record;
    return record && record->error ? record->error(record->user, code) : nullptr;
}

}  // namespace

void installRuntimeHooks() {
    convert::hooks.hostValue = hostValue;
    convert::hooks.function = functionObject;
    // Counted nodes of compiled code's rt.parse trees show to Python as wuna.Node.
    convert::hooks.treeNode = ptree::treeNodeObject;
    helpers::nativeErrorText = nativeErrorText;
}

}  // namespace wuna::host
