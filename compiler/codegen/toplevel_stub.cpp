// The emission entry while the code generator of semantics is not in the build: it compiles
// no semantic, and so refuses each semantic that is still to be compiled, naming it as the
// failing semantic (generation then runs it as Python, or raises CompileError in a strict
// language). Once every semantic runs as Python, the top level is the walk over the program's
// tree known while compiling that the reference mode makes at run time: a node whose kind has
// a semantic runs it through the bridge (wn_py_semantic), any other runs its children. What
// that walk cannot do natively (function definitions, hoisted names, captured block scopes)
// is refused with its reason, as are program functions and helper specialisations.
//
// installEmission puts these in `emission` (backend/emit.h); the code generator's own
// function emission takes their place there.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/emit.h"
#include "compiler/codegen/emitter.h"
#include "compiler/backend/inputs.h"
#include "compiler/front/ir.h"
#include "host/tree/index.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// The top-level statuses of wn_py_semantic that only a function can take.
constexpr const char kJumpAtTop[] =
    "rt.Return, rt.Break or rt.Continue outside of any function or loop";

Status refuse(Compiler* c, const char* text) {
    c->message.clear();
    return appendText(&c->message, text) == Status::ok ? Status::unsupported
                                                        : Status::outOfMemory;
}

// The first semantic of the language that is neither compiled nor running as Python.
PyObject* semanticToCompile(const driver::CompileInputs* in) {
    for (int table = 0; table < 2; table++) {
        PyObject* const* semantics = table == 0 ? in->evals : in->execs;
        uint64_t count = table == 0 ? in->evalCount : in->execCount;
        for (uint64_t k = 0; k < count; k++) {
            PyObject* fn = semantics[k];
            if (fn && !in->runsAsPython(in->pythonMap, fn)) return fn;
        }
    }
    return nullptr;
}

// The refusal of a semantic: at the semantic's own place when the front end read it.
Status refuseSemantic(Compiler* c, PyObject* fn) {
    if (!c->failingSemantic) c->failingSemantic = fn;
    c->message.clear();
    const driver::CompileInputs* in = c->inputs;
    const front::FunctionIR* ir = in->readingOf ? in->readingOf(in->frontCache, fn) : nullptr;
    Status s = Status::ok;
    if (ir) s = beginError(&c->message, ErrorSite{ir, front::makePosition(ir->firstLine, 1)});
    if (s == Status::ok && c->inputs->strict) s = appendText(&c->message, "strict: ");
    if (s == Status::ok) s = appendText(&c->message, "the code generator of semantics isn't built");
    if (s == Status::ok && c->inputs->strict) s = appendText(&c->message, " (it would run in Python)");
    return s == Status::ok ? Status::unsupported : s;
}

struct TopLevel {
    Compiler* c;
    Builder b;
    ValueRef ctx;
    ValueRef frameSlot;  // ptr: where the frame pointer is kept for the bridge
    ValueRef out;        // {i64, i64}: a semantic's result
    BasicBlockRef error;
};

ValueRef i32(ModuleRecord* m, int64_t v) { return T.LLVMConstInt(m->i32, uint64_t(v), 1); }

// Drops the reference the out slot holds.
void releaseOut(TopLevel* t) {
    ModuleRecord* m = t->b.module;
    ValueRef one[] = {T.LLVMConstInt(m->i64, 1, 0)};
    ValueRef tag = T.LLVMBuildLoad2(t->b.builder, m->i64, t->out, "");
    ValueRef payloadAt = T.LLVMBuildInBoundsGEP2(t->b.builder, m->i64, t->out, one, 1, "");
    ValueRef args[] = {tag, T.LLVMBuildLoad2(t->b.builder, m->i64, payloadAt, "")};
    call(&t->b, "wn_dec", args, 2);
}

// Runs node's semantic through the bridge; any status but done leaves for the error block.
Status emitPython(TopLevel* t, uint32_t node, bool exec) {
    ModuleRecord* m = t->b.module;
    ValueRef args[] = {t->ctx, i32(m, exec ? 1 : 0), i32(m, int64_t(node)), t->frameSlot,
                       i32(m, -1), t->out};
    ValueRef status = call(&t->b, "wn_py_semantic", args, 6);
    t->c->callsPython = 1;
    BasicBlockRef done, jumped, failed;
    if (Status s = newBlock(&t->b, "done", &done); s != Status::ok) return s;
    if (Status s = newBlock(&t->b, "jumped", &jumped); s != Status::ok) return s;
    if (Status s = newBlock(&t->b, "failed", &failed); s != Status::ok) return s;
    ValueRef isDone = T.LLVMBuildICmp(t->b.builder, llvmapi::IntEQ, status,
                                      i32(m, int32_t(bridge::RunStatus::done)), "");
    T.LLVMBuildCondBr(t->b.builder, isDone, done, failed);
    T.LLVMPositionBuilderAtEnd(t->b.builder, failed);
    ValueRef isFailed = T.LLVMBuildICmp(t->b.builder, llvmapi::IntEQ, status,
                                        i32(m, int32_t(bridge::RunStatus::failed)), "");
    T.LLVMBuildCondBr(t->b.builder, isFailed, t->error, jumped);
    // A jump that reached the top level carries a value the run drops, and fails the run.
    T.LLVMPositionBuilderAtEnd(t->b.builder, jumped);
    ValueRef textAt;
    if (Status s = literalGlobal(m, kJumpAtTop, sizeof kJumpAtTop - 1, &textAt); s != Status::ok)
        return s;
    releaseOut(t);
    ValueRef failArgs[] = {t->ctx, i32(m, int64_t(node)), textAt};
    call(&t->b, "wn_fail", failArgs, 3);
    T.LLVMBuildBr(t->b.builder, t->error);
    T.LLVMPositionBuilderAtEnd(t->b.builder, done);
    if (!exec) {
        releaseOut(t);  // an expression statement's value is dropped
    }
    return Status::ok;
}

// The reference mode's exec of node, unrolled over the tree known while compiling.
Status emitExec(TopLevel* t, uint32_t node) {
    const ptree::Index* tree = t->c->tree;
    const driver::CompileInputs* in = t->c->inputs;
    if (ptree::isCaptured(tree, node))
        return refuse(t->c, "a block scope whose variables a nested function captures isn't "
                            "compiled yet");
    uint32_t k = ptree::kindOf(tree->nodes[node]);
    if (k < in->execCount && in->execs[k]) return emitPython(t, node, true);
    if (k < in->functionKindCount && in->functionKinds[k].isFunction)
        return refuse(t->c, "function definitions aren't compiled yet");
    if (k < in->evalCount && in->evals[k]) return emitPython(t, node, false);
    uint32_t end = node + tree->nodes[node].descendants + 1;
    if (end > tree->count) end = tree->count;
    for (uint32_t j = node + 1; j < end; j += tree->nodes[j].descendants + 1)
        if (Status s = emitExec(t, j); s != Status::ok) return s;
    return Status::ok;
}

Status emitTopLevel(Compiler* c) {
    uint32_t hoisted = 0;
    (void)ptree::hoisted(c->tree, -1, &hoisted);
    if (hoisted) return refuse(c, "hoisted function definitions aren't compiled yet");
    FunctionRef main;
    if (Status s = llvmFunction(c, kTopLevel, &main); s != Status::ok) return s;
    TopLevel t{c, Builder{}, nullptr, nullptr, nullptr, nullptr};
    ModuleRecord* m = &c->module;
    t.b.module = m;
    t.b.function = main.function;
    t.b.builder = T.LLVMCreateBuilderInContext(m->context);
    T.LLVMPositionBuilderAtEnd(t.b.builder,
                               T.LLVMAppendBasicBlockInContext(m->context, main.function, "entry"));
    t.ctx = T.LLVMGetParam(main.function, 0);
    t.frameSlot = T.LLVMBuildAlloca(t.b.builder, m->ptr, "");
    T.LLVMBuildStore(t.b.builder, T.LLVMGetParam(main.function, 1), t.frameSlot);
    t.out = T.LLVMBuildAlloca(t.b.builder, m->valuePair, "");
    T.LLVMBuildStore(t.b.builder, T.LLVMConstNull(m->valuePair), t.out);
    t.error = T.LLVMAppendBasicBlockInContext(m->context, main.function, "error");
    Status s = emitExec(&t, 0);
    if (s == Status::ok) {
        T.LLVMBuildRet(t.b.builder, T.LLVMConstInt(m->i1, 1, 0));
        T.LLVMPositionBuilderAtEnd(t.b.builder, t.error);
        T.LLVMBuildRet(t.b.builder, T.LLVMConstInt(m->i1, 0, 0));
    }
    T.LLVMDisposeBuilder(t.b.builder);
    t.b.blocks.free();
    return s;
}

Status emitFunctionStub(Compiler* c, uint32_t id) {
    if (!c->inputs || !c->tree) return refuse(c, "code generation isn't built yet");
    if (PyObject* fn = semanticToCompile(c->inputs)) return refuseSemantic(c, fn);
    if (id != kTopLevel) return refuse(c, "program functions aren't compiled yet");
    return emitTopLevel(c);
}

Status emitHelperStub(Compiler* c, HelperSpec*) {
    return refuse(c, "helpers compiled out of line aren't built yet");
}

}  // namespace

void installEmission() { emission = Emission{emitFunctionStub, emitHelperStub}; }

}  // namespace wuna::compile
