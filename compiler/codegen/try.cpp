// try / except / else / finally statements: the body's failures branch to the statement's
// "except" block, where the runtime matches the recorded failure against each handler's
// classes; the jumps of the interpreted language raised in the body are caught while
// compiling (raise.cpp). The finally code is compiled on each way out: normal completion, the
// error path ("finally_error") and every jump that leaves the statement.
//
// On the error path the failure is set aside before the finally code runs and raised again
// after it, as Python does: a try inside the finally code can neither catch nor clear it, and
// a new failure of the finally code replaces it (the set-aside one is dropped).
//
// A handler that may receive a jump as an exception object and raises what it caught again
// notes at run time which jump it received (TryEntry::jumpFlags), so that the raise issues that
// jump again (raise.cpp).
#include <initializer_list>
#include <iterator>
#include "compiler/backend/compile_error.h"
#include "compiler/codegen/control_support.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// What is known of one handler while the statement is compiled.
struct HandlerFacts {
    uint32_t classIndex;  // the class (or tuple) in the module's object list
    uint64_t mask;        // the error kinds it matches
    uint8_t hasClass;
    uint8_t compiledJump;  // the RtMethod id of a compiled-jump handler, else 0
};

constexpr RtMethod kJumpOrder[kJumpClassCount] = {RtMethod::return_, RtMethod::break_,
                                                  RtMethod::continue_, RtMethod::tailCall};

Status classesError(Emitter* e, front::Position at) {
    front::Position saved = e->position;
    e->position = at;
    Status err = beginConstructError(e);
    e->position = saved;
    if (err == Status::ok)
        err = appendText(&e->compiler->message, "an except's classes must be known when compiling");
    return err == Status::ok ? Status::unsupported : err;
}

// The Python class a shape known while compiling stands for, as a new reference; null (no
// error) when it is none of a class, an rt jump or a tuple of such.
Status classObject(const Shape& shape, PyObject** out) {
    *out = nullptr;
    switch (shape.kind) {
    case ShapeKind::py: *out = Py_NewRef(shape.py); return Status::ok;
    case ShapeKind::rtMethod: {
        PyObject* cls = jumpClassOf(RtMethod(shape.rtMethod & 0x3F));
        if (cls) *out = Py_NewRef(cls);
        return Status::ok;
    }
    case ShapeKind::tuple: {
        PyObject* tuple = PyTuple_New(Py_ssize_t(shape.tuple.count));
        if (!tuple) return Status::pythonError;
        for (uint64_t i = 0; i < shape.tuple.count; i++) {
            PyObject* item;
            if (Status err = classObject(shape.tuple.items[i], &item); err != Status::ok || !item) {
                Py_DECREF(tuple);
                return err;
            }
            PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
        }
        *out = tuple;
        return Status::ok;
    }
    default: return Status::ok;
    }
}

// Whether a bare raise (which re-raises the handler's caught exception) stands in the list;
// with ofLocal also a raise of a local (which may hold it: `raise e`); with bare false (and
// ofLocal) only a raise of a local counts.
bool hasBareRaise(front::StmtList statements, bool ofLocal = false, bool bare = true) {
    using K = front::StmtKind;
    for (uint64_t i = 0; i < statements.count; i++) {
        const front::Stmt& st = statements.items[i];
        switch (st.kind) {
        case K::raise:
            if (!st.raise ? bare : ofLocal && st.raise->kind == front::ExprKind::local) return true;
            break;
        case K::if_:
        case K::while_:
            if (hasBareRaise(st.if_.body, ofLocal, bare) ||
                hasBareRaise(st.if_.orelse, ofLocal, bare))
                return true;
            break;
        case K::for_:
            if (hasBareRaise(st.for_.body, ofLocal, bare) ||
                hasBareRaise(st.for_.orelse, ofLocal, bare))
                return true;
            break;
        case K::try_:
            if (hasBareRaise(st.try_.body, ofLocal, bare) ||
                hasBareRaise(st.try_.orelse, ofLocal, bare) ||
                hasBareRaise(st.try_.finally, ofLocal, bare))
                return true;
            for (uint64_t k = 0; k < st.try_.handlers.count; k++)
                if (hasBareRaise(st.try_.handlers.items[k].body, ofLocal, bare)) return true;
            break;
        case K::block:
            if (hasBareRaise(st.block, ofLocal, bare)) return true;
            break;
        default: break;
        }
    }
    return false;
}

// Step 5 for one handler: its class, mask, compiled-jump id and the jumps it catches.
Status handlerClass(Emitter* e, Semantic* s, TryEntry* t, const front::Handler& h, uint64_t index,
                    HandlerFacts* facts) {
    PyObject* cls = nullptr;
    if (h.type) {
        Shape shape;
        front::Position saved = e->position;
        e->position = h.position;
        Status err = emitExpr(e, s, h.type, &shape);
        e->position = saved;
        if (err != Status::ok) return err;
        if ((err = classObject(shape, &cls)) != Status::ok) return err;
        (void)release(e, shape);
        if (!cls) return classesError(e, h.position);
        err = pinObject(e->compiler, cls, &facts->classIndex);
        if (err != Status::ok) {
            Py_DECREF(cls);
            return err;
        }
        facts->hasClass = 1;
        facts->mask = exceptClassMask(cls);
    }
    for (RtMethod id : {RtMethod::return_, RtMethod::break_, RtMethod::continue_}) {
        if (!cls || cls != jumpClassOf(id) || !h.binds) continue;
        bool used;
        if (Status err = exceptVarUsed(h.body, h.local, &used); err != Status::ok) {
            Py_DECREF(cls);
            return err;
        }
        // A bare raise re-raises the exception object itself, which a compiled jump never
        // makes (its slot holds the carried value).
        if (!used && !hasBareRaise(h.body)) facts->compiledJump = uint8_t(id);
    }
    for (uint32_t j = 0; j < kJumpClassCount; j++) {
        JumpHandler& jh = t->jumpHandlers[j];
        PyObject* jump = jumpClassOf(kJumpOrder[j]);
        if (jh.present || !jump) continue;
        int catches = 1;
        if (cls) catches = PyObject_IsSubclass(jump, cls);
        if (catches < 0) {
            Py_DECREF(cls);
            return Status::pythonError;
        }
        if (catches) jh = JumpHandler{index, 1};
    }
    Py_XDECREF(cls);
    return Status::ok;
}

// Steps 1 to 3: the run-time slots the paths out of the body need, and the try-locals.
Status prepareLocals(Emitter* e, Semantic* s, const front::Stmt* statement, TryEntry* t) {
    const auto& tr = statement->try_;
    LocalSet early, changed, outside, read;
    Status err = changedVariables(tr.orelse.items, tr.orelse.count, &early);
    if (err == Status::ok) err = changedVariables(tr.finally.items, tr.finally.count, &early);
    for (uint64_t i = 0; err == Status::ok && i < tr.handlers.count; i++) {
        const front::Handler& h = tr.handlers.items[i];
        if (h.binds && !early.put(h.local, 1)) err = Status::outOfMemory;
        if (err == Status::ok) err = changedVariables(h.body.items, h.body.count, &early);
    }
    if (err == Status::ok) err = materializeSet(e, s, early);
    if (err == Status::ok) err = changedVariables(tr.body.items, tr.body.count, &changed);
    if (err == Status::ok)
        err =
            collectUsedLocals(s->function->body.items, s->function->body.count, tr.body, &outside);
    if (err == Status::ok)
        err = collectUsedLocals(tr.body.items, tr.body.count, front::StmtList{nullptr, 0}, &read);
    changed.forEach([&](uint32_t local, uint8_t) {
        if (err != Status::ok || local >= s->localCount) return;
        LocalState state = s->locals[local].state;
        if (outside.find(local)) {
            err = materializeLocal(e, s, local);
        } else if (state != LocalState::slot && state != LocalState::typedSlot) {
            // A local the enclosing flow already keeps in a slot (a loop's) is that flow's:
            // forgetting it after the body would empty it for the next iteration.
            if (!t->tryLocals.push(local)) err = Status::outOfMemory;
        }
    });
    read.forEach([&](uint32_t local, uint8_t) {
        if (err != Status::ok || local >= s->localCount || !outside.find(local)) return;
        const LocalRecord& record = s->locals[local];
        if (record.state == LocalState::comptime &&
            (record.shape.kind == ShapeKind::list || record.shape.kind == ShapeKind::dict))
            err = materializeLocal(e, s, local);
    });
    early.free();
    changed.free();
    outside.free();
    read.free();
    return err;
}

// The except block: each handler's match, catch and branch to its body.
Status dispatch(Emitter* e, Semantic* s, const front::Stmt* statement, TryEntry* t,
                const HandlerFacts* facts) {
    Builder* b = &e->builder;
    const auto& tr = statement->try_;
    enter(b, t->exceptBlock);
    for (uint64_t i = 0; i < tr.handlers.count; i++) {
        llvmapi::BasicBlockRef next;
        if (Status err = newBlock(b, "next_handler", &next); err != Status::ok) return err;
        if (facts[i].hasClass) {
            llvmapi::BasicBlockRef matched;
            if (Status err = newBlock(b, "matched", &matched); err != Status::ok) return err;
            llvmapi::ValueRef cls;
            if (Status err = objectConstant(e, facts[i].classIndex, &cls); err != Status::ok)
                return err;
            llvmapi::ValueRef args[3] = {e->runContext, cls, constI64(e, facts[i].mask)};
            llvmapi::ValueRef matches;
            if (Status err = callHelper(e, "wn_exc_matches", args, 3, &matches); err != Status::ok)
                return err;
            condBr(b, matches, matched, next);
            enter(b, matched);
        }
        llvmapi::ValueRef catchArgs[3] = {e->runContext, siteValue(e, s->site), e->scratch};
        llvmapi::ValueRef ok;
        if (Status err = callHelper(e, "wn_exc_catch", catchArgs, 3, &ok); err != Status::ok)
            return err;
        if (Status err = checkOk(e, ok); err != Status::ok) return err;
        if (facts[i].compiledJump) {
            // The jump's exception object gives way to the value it carries: wn_control_value
            // releases the object once it has read its args.
            Operand exception = loadOperand(e, e->scratch, KnownKind::unknown);
            llvmapi::ValueRef args[5] = {e->runContext, siteValue(e, s->site), exception.tag,
                                         exception.payload, e->scratch};
            if (Status err = callHelper(e, "wn_control_value", args, 5, &ok); err != Status::ok)
                return err;
            if (Status err = checkOk(e, ok); err != Status::ok) return err;
        }
        // A handler left by a jump while it kept its exception for a bare raise still holds
        // it when the statement runs again in a loop: dropped before the new one is stored.
        if (Status err = releaseSlot(e, t->handlerSlots[i]); err != Status::ok) return err;
        Operand caught = loadOperand(e, e->scratch, KnownKind::unknown);
        if (Status err = storeOperand(e, t->handlerSlots[i], &caught); err != Status::ok)
            return err;
        // A failure, not a jump: a bare raise in the body raises it again as it is.
        if (t->jumpFlags[i]) storeWord(e, constI64(e, 0), t->jumpFlags[i]);
        br(b, t->handlerBlocks[i]);
        enter(b, next);
    }
    llvmapi::BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(b, exit);
    return Status::ok;
}

// The jumps (JumpClass bits) handler index may receive as an exception object that a raise in
// its body (bare, or of a local) must issue again as the jump; 0 when it has no such raise, or
// receives none so (a compiled-jump handler keeps the carried value, never the object).
uint8_t reraisableJumps(const TryEntry* t, uint64_t index, const front::Handler& h,
                        uint8_t compiledJump) {
    if (compiledJump || !hasBareRaise(h.body, true)) return 0;
    uint8_t jumps = 0;
    for (uint32_t j = 0; j < kJumpClassCount; j++) {
        const JumpHandler& jh = t->jumpHandlers[j];
        if (jh.present && jh.index == index) jumps |= uint8_t(1u << j);
    }
    return jumps;
}

// One handler's body, entered from its block, ending in a branch to "handled".
Status handlerBody(Emitter* e, Semantic* s, const front::Handler& h, llvmapi::BasicBlockRef block,
                   const CaughtSlot& caught, uint8_t compiledJump, llvmapi::BasicBlockRef handled) {
    llvmapi::ValueRef slot = caught.slot;
    enter(&e->builder, block);
    bool restore = false;
    LocalRecord saved{};
    front::Target target{};
    target.kind = front::TargetKind::local;
    target.local = h.local;
    TargetMarks marks;
    if (h.binds && compiledJump) {
        auto* carried = takeArray<Shape>(e->compiler, 1);
        if (!carried) return Status::outOfMemory;
        *carried = dynShape(loadOperand(e, slot, KnownKind::unknown));
        saved = s->locals[h.local];
        restore = true;
        LocalRecord& local = s->locals[h.local];
        local = LocalRecord{};
        local.state = LocalState::comptime;
        local.shape.kind = ShapeKind::control;
        local.shape.control.argument = carried;
        local.shape.control.method = compiledJump;
    } else if (h.binds) {
        Operand o = loadOperand(e, slot, KnownKind::unknown);
        if (Status err = addReference(e, &o); err != Status::ok) return err;
        Shape value = dynShape(o);
        if (Status err = emitAssign(e, s, target, &value, h.position); err != Status::ok)
            return err;
        // The name holds the exception throughout the handler's body.
        if (Status err = clearTargetMarks(s, target, &marks); err != Status::ok) return err;
    }
    // The slot's reference is needed only by a bare raise, a compiled jump's value, or a raise
    // by name that tells a caught tail call by it: else it goes now, so a break, continue or
    // return out of the body leaves nothing behind.
    bool keep = compiledJump || hasBareRaise(h.body) || caught.tailSlots;
    if (!keep) {
        if (Status err = releaseSlot(e, slot); err != Status::ok) {
            restoreTargetMarks(s, &marks);
            return err;
        }
    }
    if (!e->caughtSlots.push(caught)) {
        restoreTargetMarks(s, &marks);
        return Status::outOfMemory;
    }
    Status err = lowerRegion(e, s, h.body);
    e->caughtSlots.cut(e->caughtSlots.count - 1);
    restoreTargetMarks(s, &marks);
    if (restore) s->locals[h.local] = saved;
    if (err != Status::ok) return err;
    // Python unbinds the name when the handler ends: a read after the statement may meet no
    // value (it is refused while compiling, so the semantic runs as Python and fails as it does).
    if (h.binds && !compiledJump && h.local < s->localCount) {
        LocalRecord& record = s->locals[h.local];
        if (record.state == LocalState::slot || record.state == LocalState::typedSlot)
            record.noRelease |= kMaybeUnset;
    }
    if (keep && (err = releaseSlot(e, slot)) != Status::ok) return err;
    // A caught tail call the body did not raise again is dropped with the handler.
    for (size_t i = 0; caught.tailSlots && i < 3; i++)
        if ((err = releaseSlot(e, caught.tailSlots[i])) != Status::ok) return err;
    br(&e->builder, handled);
    return Status::ok;
}

// Emits a block of the name that drops the values of the slots and goes on to next; the
// builder stays where it is.
Status dropBlock(Emitter* e, const char* name, const llvmapi::ValueRef* slots, size_t count,
                 llvmapi::BasicBlockRef next, llvmapi::BasicBlockRef* out) {
    Builder* b = &e->builder;
    llvmapi::BasicBlockRef saved = b->current;
    if (Status err = newBlock(b, name, out); err != Status::ok) return err;
    T.LLVMPositionBuilderAtEnd(b->builder, *out);
    b->current = *out;
    e->errorPathDepth++;
    Status err = Status::ok;
    for (size_t i = 0; err == Status::ok && i < count; i++) err = releaseSlot(e, slots[i]);
    e->errorPathDepth--;
    br(b, next);
    T.LLVMPositionBuilderAtEnd(b->builder, saved);
    b->current = saved;
    return err;
}

// "handler_error": the caught exceptions of the try's handlers dropped (a slot whose handler
// isn't running holds None), then on to next.
Status handlerDropBlock(Emitter* e, TryEntry* t, llvmapi::BasicBlockRef next,
                        llvmapi::BasicBlockRef* out) {
    return dropBlock(e, "handler_error", t->handlerSlots.items, t->handlerSlots.count, next, out);
}

// Step 13 with the failure set aside: taken off the run context into a slot, the finally
// statements compiled with failures going through "finally_drop", then raised again.
Status finallyOnError(Emitter* e, Semantic* s, const front::Stmt* statement,
                      llvmapi::BasicBlockRef finallyError) {
    enter(&e->builder, finallyError);
    llvmapi::ValueRef aside;
    if (Status err = newListedSlot(e, s, &aside); err != Status::ok) return err;
    // A jump out of the finally code drops the failure (as Python does) but leaves it in the
    // slot: when the statement runs again in a loop it goes before the next one is set aside.
    if (Status err = releaseSlot(e, aside); err != Status::ok) return err;
    llvmapi::ValueRef args[3] = {e->runContext, siteValue(e, s->site), aside};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_exc_catch", args, 3, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    llvmapi::BasicBlockRef target = e->errorTarget, drop;
    if (Status err = dropBlock(e, "finally_drop", &aside, 1, target, &drop); err != Status::ok)
        return err;
    e->errorTarget = drop;
    Status err = lowerStatements(e, s, statement->try_.finally);
    e->errorTarget = target;
    if (err != Status::ok) return err;
    Operand failure = loadOperand(e, aside, KnownKind::unknown);
    llvmapi::ValueRef raiseArgs[4] = {e->runContext, siteValue(e, s->site), failure.tag,
                                      failure.payload};
    if ((err = callHelper(e, "wn_raise", raiseArgs, 4, nullptr)) != Status::ok) return err;
    if ((err = releaseSlot(e, aside)) != Status::ok) return err;
    llvmapi::BasicBlockRef exit;
    if ((err = errorExit(e, &exit)) != Status::ok) return err;
    br(&e->builder, exit);
    return Status::ok;
}

// The maybe-unset bit of every local, from the compiler's allocator; null when it can't have
// them (or the body has no locals).
uint8_t* unsetBits(Emitter* e, const Semantic* s) {
    uint8_t* bits = s->localCount ? takeArray<uint8_t>(e->compiler, s->localCount) : nullptr;
    for (uint32_t i = 0; bits && i < s->localCount; i++)
        bits[i] = uint8_t(s->locals[i].noRelease & kMaybeUnset);
    return bits;
}

// Sets again the bits set before in the locals that live in slots (an assignment of the body
// may have cleared them).
void restoreUnsetBits(Semantic* s, const uint8_t* before) {
    for (uint32_t i = 0; before && i < s->localCount; i++) {
        LocalRecord& local = s->locals[i];
        if (local.state == LocalState::slot || local.state == LocalState::typedSlot)
            local.noRelease |= before[i];
    }
}

struct TryBlocks {
    llvmapi::BasicBlockRef handled, endtry, finallyError;
};

// Steps 8 to 14 once the entry and the handlers are ready.
Status compileParts(Emitter* e, Semantic* s, const front::Stmt* statement, TryEntry* t,
                    const HandlerFacts* facts, const TryBlocks& blocks) {
    const auto& tr = statement->try_;
    bool hasFinally = tr.finally.count > 0;
    e->errorTarget = t->exceptBlock;
    e->errorSemanticDepth = e->semantics.count;
    e->errorReleaseMark = e->temporaries.count;
    uint8_t* unsetBefore = unsetBits(e, s);
    if (s->localCount && !unsetBefore) return Status::outOfMemory;
    s->tryDepth++;
    // The body is one merging region: the else clause runs only when the body ran to its end,
    // so what the body's top level assigns is set there.
    BranchScope outer = currentBranch;
    currentBranch = BranchScope{s, s->controlDepth, s->tryDepth};
    Status err = lowerStatements(e, s, tr.body);
    currentBranch = outer;
    s->tryDepth--;
    for (size_t i = 0; err == Status::ok && i < t->tryLocals.count; i++)
        err = releaseLocal(e, s, t->tryLocals[i]);
    if (err != Status::ok) return err;
    // A body that never runs to its end (a raise or return at its top level) never reaches
    // the else clause: it isn't compiled.
    bool bodyEnded = s->ended != 0;
    s->ended = 0;
    t->catchesJumps = 0;
    // From the body's end to the statement's: the else clause, the handlers and the finally
    // code run on some paths only. The body itself runs as straight-line code up to a failure,
    // which the error exit handles (it releases the try-locals on its way to "except").
    s->controlDepth++;
    if (hasFinally) {
        e->errorTarget = blocks.finallyError;
    } else {
        e->errorTarget = t->savedErrorTarget;
        e->errorSemanticDepth = t->savedErrorSemanticDepth;
        e->errorReleaseMark = t->savedErrorReleaseMark;
    }
    if (!bodyEnded && (err = lowerStatements(e, s, tr.orelse)) != Status::ok) return err;
    // A handler, and the code after the statement, may come from any point of the body.
    restoreUnsetBits(s, unsetBefore);
    br(&e->builder, blocks.handled);
    if ((err = dispatch(e, s, statement, t, facts)) != Status::ok) return err;
    // A failure inside a handler's body drops the exception the handler caught on its way out.
    llvmapi::BasicBlockRef target = e->errorTarget, drop;
    if ((err = handlerDropBlock(e, t, target, &drop)) != Status::ok) return err;
    e->errorTarget = drop;
    for (uint64_t i = 0; err == Status::ok && i < tr.handlers.count; i++) {
        s->ended = 0;
        const JumpHandler& tail = t->jumpHandlers[uint32_t(JumpClass::tailCall)];
        CaughtSlot caught{
            t->handlerSlots[i], t->jumpFlags[i],
            reraisableJumps(t, i, tr.handlers.items[i], facts[i].compiledJump),
            tail.present && tail.index == i && t->tailSlots[0] ? t->tailSlots : nullptr};
        err = handlerBody(e, s, tr.handlers.items[i], t->handlerBlocks[i], caught,
                          facts[i].compiledJump, blocks.handled);
    }
    e->errorTarget = target;
    s->ended = 0;
    return err;
}

}  // namespace

Status lowerTry(Emitter* e, Semantic* s, const front::Stmt* statement) {
    const auto& tr = statement->try_;
    Compiler* c = e->compiler;
    Builder* b = &e->builder;
    TryEntry* t = newTry(c, s);
    if (!t) return Status::outOfMemory;
    if (Status err = prepareLocals(e, s, statement, t); err != Status::ok) {
        endTry(t);
        return err;
    }
    t->semanticCount = e->semantics.count;
    t->blockScopeDepth = e->scopes.count;
    t->finallyCount = tr.finally.count;
    if (tr.finally.count) {
        auto* list = takeArray<const front::Stmt*>(c, tr.finally.count);
        if (!list) {
            endTry(t);
            return Status::outOfMemory;
        }
        for (uint64_t i = 0; i < tr.finally.count; i++) list[i] = &tr.finally.items[i];
        t->finallyStatements = list;
    }
    t->savedErrorTarget = e->errorTarget;
    t->savedErrorSemanticDepth = e->errorSemanticDepth;
    t->savedErrorReleaseMark = e->errorReleaseMark;
    t->catchesJumps = 1;
    auto* facts = takeArray<HandlerFacts>(c, tr.handlers.count);
    Status err = facts ? Status::ok : Status::outOfMemory;
    for (uint64_t i = 0; err == Status::ok && i < tr.handlers.count; i++) {
        llvmapi::BasicBlockRef block;
        err = newBlock(b, "handler", &block);
        // Listed with the semantic: a return out of a handler's body releases what it holds.
        llvmapi::ValueRef slot = nullptr;
        if (err == Status::ok) err = newListedSlot(e, s, &slot);
        if (err == Status::ok && (!s->handlers.push(slot) || !t->handlerBlocks.push(block) ||
                                  !t->handlerSlots.push(slot)))
            err = Status::outOfMemory;
        if (err == Status::ok) err = handlerClass(e, s, t, tr.handlers.items[i], i, &facts[i]);
        if (err == Status::ok && !t->compiledJumps.push(facts[i].compiledJump))
            err = Status::outOfMemory;
        // The jump a handler received is known only at run time where a bare raise may issue
        // it again: the handler notes which one it was.
        llvmapi::ValueRef flag = nullptr;
        if (err == Status::ok && reraisableJumps(t, i, tr.handlers.items[i], facts[i].compiledJump))
            flag = wordSlot(e);
        if (err == Status::ok && !t->jumpFlags.push(flag)) err = Status::outOfMemory;
    }
    // A handler that catches TailCall and may raise it again keeps the pending call meanwhile.
    const JumpHandler& tail = t->jumpHandlers[uint32_t(JumpClass::tailCall)];
    // A bare raise issues the parked call again, and so does a raise of a local that holds the
    // caught object.
    if (err == Status::ok && tail.present && t->jumpFlags[tail.index] &&
        hasBareRaise(tr.handlers.items[tail.index].body, true, true))
        for (size_t i = 0; err == Status::ok && i < std::size(t->tailSlots); i++)
            err = newListedSlot(e, s, &t->tailSlots[i]);
    for (uint64_t i = 0; err == Status::ok && i < tr.handlers.count; i++) {
        const front::Handler& h = tr.handlers.items[i];
        if (h.binds && !facts[i].compiledJump) err = materializeLocal(e, s, h.local);
    }
    TryBlocks blocks{};
    if (err == Status::ok) err = newBlock(b, "except", &t->exceptBlock);
    if (err == Status::ok) err = newBlock(b, "handled", &blocks.handled);
    if (err == Status::ok) err = newBlock(b, "endtry", &blocks.endtry);
    if (err == Status::ok && tr.finally.count)
        err = newBlock(b, "finally_error", &blocks.finallyError);
    if (err == Status::ok && !e->tries.push(t)) err = Status::outOfMemory;
    if (err != Status::ok) {
        endTry(t);
        return err;
    }
    uint32_t controlDepth = s->controlDepth;
    err = compileParts(e, s, statement, t, facts, blocks);
    // The entry leaves the try stack on every path; the error target is the statement's own
    // again from here on.
    e->tries.cut(e->tries.count - 1);
    e->errorTarget = t->savedErrorTarget;
    e->errorSemanticDepth = t->savedErrorSemanticDepth;
    e->errorReleaseMark = t->savedErrorReleaseMark;
    if (err == Status::ok) {
        enter(b, blocks.handled);
        err = lowerStatements(e, s, tr.finally);
        s->ended = 0;
        if (err == Status::ok) br(b, blocks.endtry);
    }
    if (err == Status::ok && tr.finally.count) {
        err = finallyOnError(e, s, statement, blocks.finallyError);
        s->ended = 0;
    }
    if (err == Status::ok) enter(b, blocks.endtry);
    s->controlDepth = controlDepth;
    endTry(t);
    return err;
}

}  // namespace wuna::compile
