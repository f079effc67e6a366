// while loops: unrolled while their condition is known while compiling (each copy of the body
// sees that iteration's values as constants), else compiled as a loop at run time. Unrolling
// is bounded by nesting, body size and iterations; a loop whose unrolling gave up, or whose
// iteration met a break or continue in run-time control flow, is remembered for the rest of
// the process and compiled at run time at once.
#include "compiler/codegen/control_support.h"

namespace wuna::compile {

namespace {

bool whileUnrollable(const Emitter* e, const front::Stmt* statement) {
    if (e->unrollDepth > kWhileUnrollDepth) return false;
    const auto& w = statement->while_;
    uint64_t counted = 0;
    if (!countStraightStatements(w.body.items, w.body.count, &counted)) return false;
    if (counted > kWhileUnrollStatements) return false;
    return !loopNotUnrolled(w.test) && !loopAtRunTime(w.test);
}

// A constant condition whose iteration returned in run-time flow is given up on in builds
// that keep key origins: the unrolled copies would each keep their own constants.
bool constantCondition(const front::Expr* test) {
    using K = front::ExprKind;
    return test->kind == K::int_ || test->kind == K::float_ || test->kind == K::str ||
           test->kind == K::bool_;
}

// How an unrolled while ended.
enum class Unrolled : uint8_t { done = 0, runTime = 1, runTimeTested = 2 };

// Up to kWhileUnrollIterations copies of the body. done: the loop is finished (the builder in
// "endwhile"); runTime: it goes on at run time; runTimeTested: at run time with *pending the
// first test.
Status unroll(Emitter* e, Semantic* s, const front::Stmt* statement, llvmapi::BasicBlockRef end,
              Unrolled* how, Truth* pending) {
    const auto& w = statement->while_;
    Builder* b = &e->builder;
    for (uint32_t i = 0; i < kWhileUnrollIterations; i++) {
        Truth t;
        if (Status err = exprTruth(e, s, w.test, &t); err != Status::ok) return err;
        if (t.isValue) {
            *pending = t;
            *how = Unrolled::runTimeTested;
            return Status::ok;
        }
        if (!(t.known & 1)) {
            if (Status err = lowerStatements(e, s, w.orelse); err != Status::ok) return err;
            enter(b, end);
            *how = Unrolled::done;
            return Status::ok;
        }
        uint32_t returns = s->runTimeReturns;
        bool stop;
        if (Status err = unrolledIteration(e, s, w.body, end, w.test, &stop); err != Status::ok)
            return err;
        if (stop) {
            enter(b, end);
            *how = Unrolled::done;
            return Status::ok;
        }
        if (e->compiler->keyOrigins && s->runTimeReturns > returns && constantCondition(w.test))
            break;
    }
    if (Status err = noteLoopNotUnrolled(w.test); err != Status::ok) return err;
    *how = Unrolled::runTime;
    return Status::ok;
}

// Whether a local the condition reads keeps its value known while compiling through the loop:
// the rt of the semantic and a node stay the same on every turn unless the loop assigns the
// variable, and only while known do rt.eval, rt.exec and rt.loop compile inline; made run-time
// values, every rt call of the loop would go through a method call on a CompiledRuntime,
// where a jump out of the body comes back as a failure.
bool keepsKnownShape(const Semantic* s, const LocalSet& changed, const LocalUse& use) {
    if (use.assigns || use.local >= s->localCount || changed.find(use.local)) return false;
    const LocalRecord& local = s->locals[use.local];
    if (local.state != LocalState::comptime) return false;
    return local.shape.kind == ShapeKind::rt || local.shape.kind == ShapeKind::node;
}

// The loop at run time; pending: the first test when unrolling just ended on a run-time truth.
Status runTimeWhile(Emitter* e, Semantic* s, const front::Stmt* statement,
                    llvmapi::BasicBlockRef end, const Truth* pending) {
    const auto& w = statement->while_;
    Builder* b = &e->builder;
    LocalSet changed;
    backend::List<LocalUse> uses;
    Status err = changedVariables(w.body.items, w.body.count, &changed);
    if (err == Status::ok) err = noteExprLocals(w.test, 0, &uses);
    // The condition's own := targets first: a read of one of them is no unchanged read.
    for (size_t i = 0; err == Status::ok && i < uses.count; i++)
        if (uses[i].assigns && !changed.put(uses[i].local, 1)) err = Status::outOfMemory;
    for (size_t i = 0; err == Status::ok && i < uses.count; i++) {
        if (keepsKnownShape(s, changed, uses[i])) continue;
        if (!changed.put(uses[i].local, 1)) err = Status::outOfMemory;
    }
    if (err == Status::ok) err = materializeSet(e, s, changed);
    uses.free();
    changed.free();
    if (err != Status::ok) return err;
    llvmapi::BasicBlockRef head, body, orelse;
    if ((err = newBlock(b, "while", &head)) != Status::ok) return err;
    if ((err = newBlock(b, "body", &body)) != Status::ok) return err;
    if ((err = newBlock(b, "whileelse", &orelse)) != Status::ok) return err;
    if (pending) {
        condBr(b, pending->value, body, orelse);
        enter(b, head);
    } else {
        enter(b, head);
    }
    s->controlDepth++;
    e->controlDepth++;
    Truth t;
    err = exprTruth(e, s, w.test, &t);
    if (err == Status::ok) {
        if (t.isValue)
            condBr(b, t.value, body, orelse);
        else
            br(b, (t.known & 1) ? body : orelse);
        enter(b, body);
        LoopEntry entry{end, head, e->tries.count, nullptr, 0, 0};
        err = pushLoop(e, s, entry);
        if (err == Status::ok) {
            err = lowerRegion(e, s, w.body);
            popLoop(s);
        }
    }
    if (err == Status::ok) {
        br(b, head);
        enter(b, orelse);
        err = lowerStatements(e, s, w.orelse);
    }
    s->controlDepth--;
    if (err == Status::ok) enter(b, end);
    e->controlDepth--;
    return err;
}

}  // namespace

Status lowerWhile(Emitter* e, Semantic* s, const front::Stmt* statement) {
    llvmapi::BasicBlockRef end;
    if (Status err = newBlock(&e->builder, "endwhile", &end); err != Status::ok) return err;
    if (!whileUnrollable(e, statement)) return runTimeWhile(e, s, statement, end, nullptr);
    e->unrollDepth++;
    Unrolled how = Unrolled::done;
    Truth pending{};
    Status err = unroll(e, s, statement, end, &how, &pending);
    if (err == Status::ok && how != Unrolled::done)
        err =
            runTimeWhile(e, s, statement, end, how == Unrolled::runTimeTested ? &pending : nullptr);
    e->unrollDepth--;
    return err;
}

}  // namespace wuna::compile
