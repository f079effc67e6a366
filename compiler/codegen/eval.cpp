// rt.eval, rt.exec and rt.loop, and the running of a node known while compiling: its
// semantic chosen now and compiled into the caller (or run as Python through the bridge);
// only a value known at run time alone goes through the runtime's node dispatcher
// (wn_run_value). See lower.h.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/function_kind.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "wuna/runtime/helpers/run.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

constexpr char kOnlyAtRunTime[] = "a node only known at run time can't be used here";

// The value rt.eval gives a value that is no node: a plain int becomes the language's int;
// an int beyond 64 bits can't be one (the reference mode fails the run with "integer
// overflow"), which the operators' big-int check compiles.
Status plainValue(Emitter* e, Shape* value, Shape* out) {
    if (value->kind == ShapeKind::pint) value->kind = ShapeKind::int_;
    if (value->kind == ShapeKind::py && PyLong_CheckExact(value->py))
        return refuseConstruct(e, "rt.eval of an int beyond 64 bits");
    *out = *value;
    return Status::ok;
}

// "no semantics to evaluate <kind>" at the node when this code runs; the value is None.
Status noSemantics(Emitter* e, uint32_t node, Shape* out) {
    Compiler* c = e->compiler;
    const ptree::GrammarInfo* g = c->tree->grammar;
    uint32_t k = ptree::kindOf(c->tree->nodes[node]);
    backend::List<char> text{};
    Status s = appendText(&text, "no semantics to evaluate ");
    if (s == Status::ok && g && k < g->kindCount)
        s = appendText(&text, g->kindNames[k].data, g->kindNames[k].length);
    ValueRef at = nullptr;
    if (s == Status::ok) s = literalGlobal(&c->module, text.items, text.count, &at);
    text.free();
    if (s != Status::ok) return s;
    ValueRef args[] = {e->runContext, siteValue(e, int32_t(node)), at};
    if (Status err = callHelper(e, "wn_fail", args, 3, nullptr); err != Status::ok) return err;
    BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(&e->builder, exit);
    *out = noneShape();
    return Status::ok;
}

// A function node without an exec semantic: a hoisted kind is made when its scope starts;
// any other is made now and stored into the variable its name child declares.
Status defineFunction(Emitter* e, uint32_t node, const host::FunctionKind* kind) {
    if (kind->hoist) return Status::ok;
    const ptree::Index* tree = e->compiler->tree;
    int64_t name = kind->nameLabel
                       ? ptree::childWithLabel(tree->nodes, tree->count, node, kind->nameLabel)
                       : -1;
    if (name < 0) return Status::ok;
    return defineFunctionHere(e, node, uint32_t(name));
}

// The frame of a captured block scope, when the variables' lowering did not make it: a new
// frame of the scope's layout under the current one, held in a stack slot the bridge is
// given (rt.fresh replaces it there).
Status enterCapturedScope(Emitter* e, uint32_t node) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    Layout* layout;
    if (Status s = layoutOf(c, node, &layout); s != Status::ok) return s;
    ValueRef parent;
    if (Status s = currentFrame(e, &parent); s != Status::ok) return s;
    ValueRef frame;
    if (Status s = newFrameChecked(e, parent, layout->slots.count, int32_t(node), nullptr, &frame);
        s != Status::ok)
        return s;
    if (e->scopes.count >= 64) return refuseConstruct(e, "block scopes nested 64 deep");
    ValueRef slot = T.LLVMBuildAlloca(e->builder.entryBuilder, m->ptr, "");
    T.LLVMSetAlignment(slot, 8);
    openBlock(&e->builder);
    T.LLVMSetAlignment(T.LLVMBuildStore(e->builder.builder, frame, slot), 8);
    if (!e->scopes.push(ScopeEntry{slot, node})) return Status::outOfMemory;
    e->frameScopesMade |= uint64_t(1) << (e->scopes.count - 1);
    return Status::ok;
}

Status leaveCapturedScope(Emitter* e) {
    if (Status s = releaseFramesMadeAbove(e, e->scopes.count - 1); s != Status::ok) return s;
    e->scopes.count--;
    e->frameScopesMade &= ~(uint64_t(1) << e->scopes.count);
    return Status::ok;
}

// How a known node's block scope was entered.
enum class Entered : uint8_t { no = 0, byVariables = 1, here = 2 };

Status isBlockScope(Emitter* e, uint32_t node, Entered* entered) {
    *entered = Entered::no;
    if (!ptree::isCaptured(e->compiler->tree, node)) return Status::ok;
    bool made = false;
    if (Status s = enterBlockScope(e, node, &made); s != Status::ok) return s;
    if (made) {
        *entered = Entered::byVariables;
        return Status::ok;
    }
    *entered = Entered::here;
    return enterCapturedScope(e, node);
}

Status leaveScope(Emitter* e, uint32_t node, Entered entered) {
    switch (entered) {
    case Entered::byVariables: return leaveBlockScope(e, node);
    case Entered::here: return leaveCapturedScope(e);
    default: return Status::ok;
    }
}

}  // namespace

Status releaseFramesMadeAbove(Emitter* e, uint64_t depth) {
    ModuleRecord* m = &e->compiler->module;
    for (uint64_t i = e->scopes.count; i > depth; i--) {
        if (!(e->frameScopesMade >> (i - 1) & 1)) continue;
        openBlock(&e->builder);
        ValueRef frame = T.LLVMBuildLoad2(e->builder.builder, m->ptr, e->scopes[i - 1].frameSlot, "");
        if (Status s = callHelper(e, "wn_frame_release", &frame, 1, nullptr); s != Status::ok)
            return s;
    }
    return Status::ok;
}

Status knownNode(Emitter* e, const Shape& shape, uint32_t* node) {
    if (shape.kind == ShapeKind::node) {
        *node = shape.node;
        return Status::ok;
    }
    if (Status s = beginConstructError(e); s != Status::ok) return s;
    if (Status s = appendText(&e->compiler->message, kOnlyAtRunTime); s != Status::ok) return s;
    return Status::unsupported;
}

Status emitEvalNode(Emitter* e, uint32_t node, Shape* out) {
    Compiler* c = e->compiler;
    SemanticRef ref = semanticOf(c, node, false);
    if (ref.form == SemanticForm::compiled) return callCompiledSemantic(e, ref, node, out);
    if (ref.form == SemanticForm::python) return emitPySemantic(e, node, false, out);
    const ptree::Index* tree = c->tree;
    uint32_t symbol = tree->nodeSymbols ? tree->nodeSymbols[node] : ptree::kNone;
    if (symbol != ptree::kNone)
        return emitRtLoad(e, e->semantics.count ? e->semantics.last() : nullptr, node, out);
    Shape children;
    if (Status s = nodeChildrenWhenCompiling(e, node, &children); s != Status::ok) return s;
    if (children.list->length == 1) {
        Shape only = children.list->items[0];
        Semantic* s = e->semantics.count ? e->semantics.last() : nullptr;
        return emitRtEval(e, s, &only, out);
    }
    return noSemantics(e, node, out);
}

Status emitExecNode(Emitter* e, uint32_t node) {
    Compiler* c = e->compiler;
    Shape value{};
    SemanticRef ref = semanticOf(c, node, true);
    Status s = Status::ok;
    if (ref.form == SemanticForm::compiled) {
        s = callCompiledSemantic(e, ref, node, &value);
    } else if (ref.form == SemanticForm::python) {
        s = emitPySemantic(e, node, true, &value);
    } else if (const host::FunctionKind* kind = functionKindOf(c, node)) {
        return defineFunction(e, node, kind);
    } else {
        ref = semanticOf(c, node, false);
        if (ref.form == SemanticForm::compiled) {
            s = callCompiledSemantic(e, ref, node, &value);
        } else if (ref.form == SemanticForm::python) {
            s = emitPySemantic(e, node, false, &value);
        } else {
            Shape children;
            if (Status err = nodeChildrenWhenCompiling(e, node, &children); err != Status::ok)
                return err;
            return emitRtExec(e, &children);
        }
    }
    if (s != Status::ok) return s;
    return release(e, value);
}

Status emitExecKnown(Emitter* e, uint32_t node) {
    Entered entered;
    if (Status s = isBlockScope(e, node, &entered); s != Status::ok) return s;
    if (Status s = emitExecNode(e, node); s != Status::ok) return s;
    return leaveScope(e, node, entered);
}

Status emitRtExec(Emitter* e, Shape* value) {
    switch (value->kind) {
    case ShapeKind::node: return emitExecKnown(e, value->node);
    case ShapeKind::list:
        for (uint64_t i = 0; i < value->list->length; i++)
            if (Status s = emitRtExec(e, &value->list->items[i]); s != Status::ok) return s;
        return Status::ok;
    case ShapeKind::tuple:
        for (uint64_t i = 0; i < value->tuple.count; i++)
            if (Status s = emitRtExec(e, &value->tuple.items[i]); s != Status::ok) return s;
        return Status::ok;
    case ShapeKind::dyn: {
        Shape result;
        if (Status s = emitRunValue(e, int32_t(bridge::RunMode::exec), value, currentSite(e),
                                    &result);
            s != Status::ok)
            return s;
        return release(e, result);
    }
    default: return Status::ok;  // a value that is no node is not run
    }
}

Status emitRtEval(Emitter* e, Semantic*, Shape* value, Shape* out) {
    switch (value->kind) {
    case ShapeKind::node: {
        Entered entered;
        if (Status s = isBlockScope(e, value->node, &entered); s != Status::ok) return s;
        if (Status s = emitEvalNode(e, value->node, out); s != Status::ok) return s;
        return leaveScope(e, value->node, entered);
    }
    case ShapeKind::list: {
        front::ListRecord* values = front::newListRecord(e->compiler);
        if (!values) return Status::outOfMemory;
        for (uint64_t i = 0; i < value->list->length; i++) {
            Shape item;
            if (Status s = emitRtEval(e, nullptr, &value->list->items[i], &item); s != Status::ok)
                return s;
            if (Status s = front::appendItem(e->compiler, values, item); s != Status::ok) return s;
        }
        *out = Shape{};
        out->kind = ShapeKind::list;
        out->list = values;
        return Status::ok;
    }
    case ShapeKind::dyn:
        return emitRunValue(e, int32_t(bridge::RunMode::eval), value, currentSite(e), out);
    default: return plainValue(e, value, out);
    }
}

Status emitRunValue(Emitter* e, int32_t mode, Shape* value, int32_t site, Shape* out) {
    Compiler* c = e->compiler;
    c->callsPython = 1;
    Operand argument;
    if (Status s = materialize(e, *value, site, &argument); s != Status::ok) return s;
    ValueRef frameSlot;
    if (Status s = frameSlotForBridge(e, &frameSlot); s != Status::ok) return s;
    spillLocals(e);
    ValueRef args[] = {e->runContext,          constI32(e, mode), siteValue(e, site),
                       argument.tag,           argument.payload,  frameSlot,
                       siteValue(e, currentScope(e)), outSlot(e)};
    ValueRef status;
    if (Status s = callHelper(e, "wn_run_value", args, 8, &status); s != Status::ok) return s;
    reloadLocals(e);
    if (Status s = release(e, dynShape(argument)); s != Status::ok) return s;
    if (Status s = dispatchRunStatus(e, status, site); s != Status::ok) return s;
    *out = dynShape(loadOperand(e, outSlot(e), KnownKind::unknown));
    return Status::ok;
}

Status emitRtLoop(Emitter* e, Semantic*, Shape* body, Shape* out) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    ValueRef goesOn = T.LLVMBuildAlloca(b->entryBuilder, m->i1, "");
    T.LLVMSetAlignment(goesOn, 8);
    openBlock(b);
    T.LLVMBuildStore(b->builder, T.LLVMConstInt(m->i1, 1, 0), goesOn);
    BasicBlockRef broke, continued, done;
    if (Status s = newBlock(b, "loop_break", &broke); s != Status::ok) return s;
    if (Status s = newBlock(b, "loop_continue", &continued); s != Status::ok) return s;
    if (Status s = newBlock(b, "loop_done", &done); s != Status::ok) return s;
    RtLoopEntry entry{broke, continued, e->semantics.count, e->scopes.count, e->tries.count};
    if (!e->rtLoops.push(entry)) return Status::outOfMemory;
    e->controlDepth++;
    Status s = emitRtExec(e, body);
    e->rtLoops.count--;
    e->controlDepth--;
    if (s != Status::ok) return s;
    br(b, done);
    enter(b, broke);
    T.LLVMBuildStore(b->builder, T.LLVMConstInt(m->i1, 0, 0), goesOn);
    br(b, done);
    enter(b, continued);
    br(b, done);
    enter(b, done);
    ValueRef flag = T.LLVMBuildLoad2(b->builder, m->i1, goesOn, "");
    Operand o{};
    o.tag = constI64(e, 1);
    o.payload = T.LLVMBuildZExt(b->builder, flag, m->i64, "");
    o.functionNode = kNoFunctionNode;
    o.kind = KnownKind::bool_;
    *out = dynShape(o);
    return Status::ok;
}

}  // namespace wuna::compile
