// Library calls through wn_lib: byte strings, struct, the zlib checksums, the os and os.path
// functions a language's semantics use, file reads and writes and time.time, each an
// operation code of one runtime entry. The Python function travels with the call as a module
// object, so that wn_lib can call it for arguments its native code does not handle.
#include "compiler/codegen/builtins_shared.h"
#include "compiler/front/stable.h"

namespace wuna::compile {

namespace {

using llvmapi::ValueRef;

// The os, os.path and time functions of the call lowering, in the order they are tried.
struct OsFunction {
    const char* module;
    const char* name;
    LibCall code;
};
constexpr OsFunction kOsFunctions[11] = {
    {"os", "getenv", LibCall::getenv},       {"os", "getcwd", LibCall::getcwd},
    {"os.path", "isfile", LibCall::isfile},  {"os.path", "isdir", LibCall::isdir},
    {"os.path", "exists", LibCall::exists},  {"os.path", "realpath", LibCall::realpath},
    {"os", "makedirs", LibCall::makedirs},   {"os", "chmod", LibCall::chmod},
    {"os.path", "getsize", LibCall::getsize}, {"os", "replace", LibCall::replace},
    {"time", "time", LibCall::time},
};

}  // namespace

Status emitLibCall(Emitter* e, Semantic* s, LibCall code, PyObject* callee, Shape* args,
                   uint64_t count, int32_t flag, Shape* out) {
    uint32_t index;
    if (Status err = pinObject(e->compiler, callee, &index); err != Status::ok) return err;
    ValueRef values, function;
    if (Status err = valueArray(e, args, count, s->site, &values); err != Status::ok) return err;
    if (Status err = objectConstant(e, index, &function); err != Status::ok) return err;
    ValueRef call[8] = {e->runContext, siteValue(e, s->site), constI32(e, int32_t(code)),
                        function,      values,                constI64(e, count),
                        constI32(e, flag), e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_lib", call, 8, &ok); err != Status::ok) return err;
    if (Status err = releaseSlots(e, values, count); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

Status lowerLibraryFunction(Emitter* e, Semantic* s, PyObject* callee, Shape* args,
                           uint64_t count, bool* handled, Shape* out) {
    *handled = false;
    for (const OsFunction& f : kOsFunctions)
        if (front::isModuleAttr(callee, f.module, f.name)) {
            *handled = true;
            return emitLibCall(e, s, f.code, callee, args, count, kLibNoFlag, out);
        }
    return Status::ok;
}

}  // namespace wuna::compile
