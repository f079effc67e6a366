// Compiling a Python function's body where it is called: a node's semantic, a helper, a
// function of the semantic's module. The arguments' shapes are bound to the parameters so
// that constants flow in and the body's own decisions are taken while compiling; the result
// is a shape (see lower.h).
#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/statements_flow.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// More open bodies than this refuse: recursion among helpers would never end.
constexpr uint64_t kNestingLimit = 200;
constexpr char kTooDeep[] =
    "semantics nest more than 200 deep (recursive helpers aren't compiled yet)";

Status calleeMessage(Compiler* c, const front::FunctionIR* f, const char* text) {
    Status s = beginError(&c->message, ErrorSite{f, front::makePosition(f->firstLine, 0)});
    if (s == Status::ok) s = appendText(&c->message, text);
    return s == Status::ok ? Status::unsupported : s;
}

// The body's own heap frame, and its locals that live there moved into it.
Status makeOwnFrame(Emitter* e, Semantic* s) {
    const front::FunctionIR* f = s->function;
    ModuleRecord* m = &e->compiler->module;
    ValueRef parent = s->environmentKnown ? s->environment : T.LLVMConstNull(m->ptr);
    ValueRef frame;
    if (Status err = newFrameChecked(e, parent, f->frameSlotCount, s->site, nullptr, &frame);
        err != Status::ok)
        return err;
    s->frame = frame;
    s->hasFrame = 1;
    for (uint32_t k = 0; k < f->frameSlots.count && k < s->localCount; k++) {
        const front::FrameSlot& place = f->frameSlots.items[k];
        if (!place.inFrame) continue;
        ValueRef offset = constI64(e, 32 + 16 * uint64_t(place.index));
        openBlock(&e->builder);
        ValueRef slot = T.LLVMBuildInBoundsGEP2(e->builder.builder, m->i8, frame, &offset, 1, "");
        LocalRecord& local = s->locals[k];
        // rt stands for the run's frame without counting it: a nested function that kept it
        // could be called after that frame is gone.
        if (local.state == LocalState::comptime && local.shape.kind == ShapeKind::rt)
            return refuseConstruct(e, "rt read by a nested function");
        // A variable not assigned yet holds the unset marker until it is.
        uint8_t unset = local.state == LocalState::empty ? kMaybeUnset : 0;
        if (local.state == LocalState::comptime) {
            Shape held = local.shape;
            Operand o;
            if (Status err = materialize(e, held, s->site, &o); err != Status::ok) return err;
            if (Status err = storeOperand(e, slot, &o); err != Status::ok) return err;
            // A container made here at run time was put in place of the record in every local
            // that held it, this one too, with a reference each; the frame slot has the made
            // value's own, so the one given to this local goes.
            if (local.shape.kind == ShapeKind::dyn && held.kind != ShapeKind::dyn)
                if (Status err = release(e, local.shape); err != Status::ok) return err;
        }
        local.state = LocalState::slot;
        local.slot = slot;
        local.kind = KnownKind::unknown;
        // The frame releases what it holds when it goes.
        local.noRelease = uint8_t(1 | unset);
    }
    return Status::ok;
}

// A nested function that shares variables with the functions around it (a frame closure)
// receives the frame of the function it is defined in as its last argument (a value of tag
// TagCaptured carrying the frame's address): its captured names are the slots of that frame,
// or of one further out, reached through the parent links. Without captured names the
// argument may be None: nothing is read through it.
Status bindEnvironment(Emitter* e, Semantic* s) {
    const front::FunctionIR* f = s->function;
    if (!f->frameClosure || f->captureBase >= s->localCount) return Status::ok;
    ModuleRecord* m = &e->compiler->module;
    LocalRecord& argument = s->locals[f->captureBase];
    bool given = argument.state == LocalState::comptime && argument.shape.kind == ShapeKind::dyn;
    if (given) {
        openBlock(&e->builder);
        s->environment =
            T.LLVMBuildIntToPtr(e->builder.builder, argument.shape.dyn.payload, m->ptr, "");
        s->environmentKnown = 1;
    }
    // The argument is no value of the program: nothing to release, nothing to read by name.
    argument = LocalRecord{};
    if (f->captured.count == 0) return Status::ok;
    if (!given || f->captureRefs.count != f->captured.count)
        return calleeMessage(e->compiler, f, "a closure made without its env");
    for (uint64_t i = 0; i < f->captured.count; i++) {
        uint64_t index = f->captureBase + 1 + i;
        if (index >= s->localCount) break;
        const front::CaptureRef& ref = f->captureRefs.items[i];
        ValueRef frame = s->environment;
        for (uint32_t d = 0; d < ref.depth; d++) frame = parentFrame(e, frame);
        LocalRecord& local = s->locals[index];
        local = LocalRecord{};
        local.state = LocalState::slot;
        local.slot = byteOffset(e, frame, value::kFrameSlots + 16 * uint64_t(ref.slot));
        local.kind = KnownKind::unknown;
        // The variable is its owner's: its frame releases it.
        local.noRelease = uint8_t(1 | kCapturedVariable);
    }
    return Status::ok;
}

// A body that ends without a return gives None, as Python's does: the compile-time result
// when no return needed the result slot, else None stored there on the way to "ret" (the
// body's scope released first, as each return does).
Status fallOffEnd(Emitter* e, Semantic* s) {
    if (!s->resultSlotMade) {
        s->result = noneShape();
        s->resultSet = 1;
        s->ended = 1;
        return Status::ok;
    }
    Operand none = constantOperand(e, value::TagNone, 0, KnownKind::none);
    if (Status err = storeOperand(e, s->resultSlot, &none); err != Status::ok) return err;
    if (Status err = releaseScope(e, s); err != Status::ok) return err;
    br(&e->builder, s->returnBlock);
    s->ended = 1;
    return Status::ok;
}

Status compileBody(Emitter* e, Semantic* s, front::StmtList body) {
    for (uint64_t i = 0; i < body.count; i++) {
        if (s->ended || s->jumped) break;
        if (Status err = lowerStatement(e, s, &body.items[i]); err != Status::ok) return err;
        if (Status err = dropDeadContainers(e, s); err != Status::ok) return err;
    }
    return s->ended ? Status::ok : fallOffEnd(e, s);
}

}  // namespace

Status newFrameChecked(Emitter* e, ValueRef parent, uint64_t slots, int32_t site,
                       BasicBlockRef lost, ValueRef* out) {
    ValueRef args[] = {parent, constI64(e, slots)};
    ValueRef frame;
    if (Status s = callHelper(e, "wn_frame_new", args, 2, &frame); s != Status::ok) return s;
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    BasicBlockRef made, failed;
    if (Status s = newBlock(b, "frame_made", &made); s != Status::ok) return s;
    if (Status s = newBlock(b, "frame_failed", &failed); s != Status::ok) return s;
    condBr(b, icmp(b, llvmapi::IntEQ, frame, T.LLVMConstNull(m->ptr)), failed, made);
    // Out of memory is the run's MemoryError, raised as Python raises it; never a store
    // through a null frame.
    enter(b, failed);
    Shape memoryError{};
    memoryError.kind = ShapeKind::py;
    memoryError.py = PyExc_MemoryError;
    if (Status s = pinObject(e->compiler, PyExc_MemoryError, nullptr); s != Status::ok) return s;
    Operand cls;
    // Raising the class goes through Python only when memory already ran out.
    e->strictSuppressed++;
    Status materialized = materialize(e, memoryError, site, &cls);
    e->strictSuppressed--;
    if (materialized != Status::ok) return materialized;
    ValueRef raiseArgs[] = {e->runContext, siteValue(e, site), cls.tag, cls.payload};
    ValueRef raised;
    if (Status s = callHelper(e, "wn_raise", raiseArgs, 4, &raised); s != Status::ok) return s;
    // A function's own frame goes to lost: nothing of the function is held yet.
    BasicBlockRef exit = lost;
    if (!exit)
        if (Status s = errorExit(e, &exit); s != Status::ok) return s;
    br(b, exit);
    enter(b, made);
    *out = frame;
    return Status::ok;
}

Status inlineHelper(Emitter* e, front::FunctionIR* function, front::StmtList body, int32_t site,
                    Shape* args, uint32_t count, Shape* out) {
    Compiler* c = e->compiler;
    if (e->semantics.count > kNestingLimit) {
        c->message.clear();
        Status s = appendText(&c->message, kTooDeep);
        return s == Status::ok ? Status::unsupported : s;
    }
    if (count != function->paramCount) return helperArityError(c, function, count);
    Semantic* s = newSemantic(c, function, uint32_t(function->locals.count), site);
    if (!s) return Status::outOfMemory;
    for (uint32_t i = 0; i < count && i < s->localCount; i++) {
        s->locals[i].shape = args[i];
        s->locals[i].state = LocalState::comptime;
    }
    s->arguments = args;
    s->argumentCount = count;
    s->openedAtControlDepth = e->controlDepth;
    s->semantic = e->modes.semanticFlag;
    e->modes.semanticFlag = 0;
    if (Status err = newBlock(&e->builder, "ret", &s->returnBlock); err != Status::ok) return err;
    if (!e->semantics.push(s)) return Status::outOfMemory;
    front::Position saved = e->position;
    e->position = front::makePosition(function->firstLine, 1);
    Status err = Status::ok;
    // A frame closure reads its captured variables through its environment frame; any other
    // nested function was given their values as arguments.
    err = bindEnvironment(e, s);
    if (err == Status::ok && function->needsFrame) err = makeOwnFrame(e, s);
    if (err == Status::ok) err = compileBody(e, s, body);
    if (err == Status::ok && !s->resultSlotMade) {
        err = endScope(e, s);
        *out = s->resultSet ? s->result : noneShape();
    } else if (err == Status::ok) {
        // Every return and the fall off the end released the scope on its way to "ret".
        err = settleScope(e, s);
        enter(&e->builder, s->returnBlock);
        *out = dynShape(loadOperand(e, s->resultSlot, KnownKind::unknown));
    }
    e->semantics.count--;
    e->position = saved;
    endSemantic(s);
    return err;
}

}  // namespace wuna::compile
