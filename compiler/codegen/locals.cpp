// Reads of a body's locals, named expressions, a local's run-time slot and the last-use test
// (see lower.h and statements_flow.h).
//
// A local holds a value known while compiling (a constant, a list made while compiling, a
// run-time operand) for as long as that is sound; reads copy it (ownCopy), except the last use
// of the local in straight-line code, which takes it without a copy. A local assigned inside
// run-time control flow lives in a 16-byte slot instead, and a read loads the slot and takes a
// reference of its own.
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/statements_flow.h"

namespace wuna::compile {

BranchScope currentBranch{nullptr, 0, 0};

namespace {

const llvmapi::Table& T = llvmapi::table;

}  // namespace

namespace {

bool inSlot(const LocalRecord& local) {
    return local.state == LocalState::slot || local.state == LocalState::typedSlot;
}

// Python's text for a free variable read before its enclosing function assigned it.
#if PY_VERSION_HEX >= 0x030B0000
constexpr char kFreeHead[] = "cannot access free variable '";
constexpr char kFreeTail[] = "' where it is not associated with a value in enclosing scope";
#else
constexpr char kFreeHead[] = "free variable '";
constexpr char kFreeTail[] = "' referenced before assignment in enclosing scope";
#endif

// A captured variable read while it holds the unset marker raises NameError with Python's
// text; the read goes on in "free_set" otherwise.
Status checkCapturedSet(Emitter* e, Semantic* s, uint32_t index, const Operand& o) {
    Compiler* c = e->compiler;
    Builder* b = &e->builder;
    front::Text name{"?", 1};
    if (s->function && index < s->function->locals.count) name = s->function->locals.items[index];
    uint64_t length = sizeof kFreeHead - 1 + name.length + sizeof kFreeTail - 1;
    char* text = takeArray<char>(c, length);
    if (!text) return Status::outOfMemory;
    memcpy(text, kFreeHead, sizeof kFreeHead - 1);
    memcpy(text + sizeof kFreeHead - 1, name.data, name.length);
    memcpy(text + sizeof kFreeHead - 1 + name.length, kFreeTail, sizeof kFreeTail - 1);
    BasicBlockRef unset, set;
    if (Status err = newBlock(b, "free_unset", &unset); err != Status::ok) return err;
    if (Status err = newBlock(b, "free_set", &set); err != Status::ok) return err;
    condBr(b, icmp(b, llvmapi::IntEQ, o.tag, constI64(e, value::TagUnset)), unset, set);
    enter(b, unset);
    Shape message{};
    message.kind = ShapeKind::str;
    message.str = front::Text{text, length};
    Shape error;
    if (Status err = callPythonObject(e, s, PyExc_NameError, &message, 1, &error);
        err != Status::ok)
        return err;
    Operand raised;
    if (Status err = materialize(e, error, s->site, &raised); err != Status::ok) return err;
    ValueRef args[4] = {e->runContext, siteValue(e, s->site), raised.tag, raised.payload};
    if (Status err = callHelper(e, "wn_raise", args, 4, nullptr); err != Status::ok) return err;
    if (Status err = release(e, dynShape(raised)); err != Status::ok) return err;
    BasicBlockRef exit;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    br(b, exit);
    enter(b, set);
    return Status::ok;
}

Status unassignedRead(Emitter* e, Semantic* s, uint32_t index, front::Position at) {
    Compiler* c = e->compiler;
    c->message.clear();
    if (s->function)
        if (Status err = beginError(&c->message, ErrorSite{s->function, at}); err != Status::ok)
            return err;
    front::Text name{"?", 1};
    if (s->function && index < s->function->locals.count) name = s->function->locals.items[index];
    if (Status err = appendText(&c->message, "'"); err != Status::ok) return err;
    if (Status err = appendText(&c->message, name.data, size_t(name.length)); err != Status::ok)
        return err;
    if (Status err = appendText(&c->message, "' may be read before it is assigned");
        err != Status::ok)
        return err;
    return Status::unsupported;
}

// Whether the tracked list already names the container.
bool isTracked(const Semantic* s, const void* record) {
    for (size_t i = 0; i < s->tracked.count; i++) {
        const Shape& t = s->tracked[i];
        if ((t.kind == ShapeKind::list && t.list == record) ||
            (t.kind == ShapeKind::dict && t.dict == record))
            return true;
    }
    return false;
}

}  // namespace

Status unknownLocal(Emitter* e, uint32_t index) {
    Compiler* c = e->compiler;
    c->message.clear();
    Status err = appendText(&c->message, "wuna: local ");
    if (err == Status::ok) err = appendDecimal(&c->message, index);
    if (err == Status::ok)
        err = appendText(&c->message, " isn't one of the function's locals (a wuna bug)");
    return err == Status::ok ? Status::unsupported : err;
}

Status trackContainer(Semantic* s, const Shape& shape) {
    if (shape.kind != ShapeKind::list && shape.kind != ShapeKind::dict) return Status::ok;
    const void* record =
        shape.kind == ShapeKind::list ? static_cast<const void*>(shape.list) : shape.dict;
    if (isTracked(s, record)) return Status::ok;
    return s->tracked.push(shape) ? Status::ok : Status::outOfMemory;
}

Status emitLocalRead(Emitter* e, Semantic* s, uint32_t index, front::Position at, Shape* out) {
    if (index >= s->localCount) return unknownLocal(e, index);
    LocalRecord& local = s->locals[index];
    switch (local.state) {
    case LocalState::empty: return unassignedRead(e, s, index, at);
    case LocalState::comptime: return ownCopy(e, local.shape, out);
    case LocalState::slot:
    case LocalState::typedSlot: break;
    }
    // A slot some path reaches without an assignment holds the unset marker there.
    if (local.noRelease & kMaybeUnset) return unassignedRead(e, s, index, at);
    Operand o = loadOperand(e, local.slot, local.kind);
    if (local.noRelease & kCapturedVariable)
        if (Status err = checkCapturedSet(e, s, index, o); err != Status::ok) return err;
    if (!neverCounted(o.kind)) {
        if (Status err = takeOwnership(e, &o); err != Status::ok) return err;
        if (Status err = refcount(e, RefMode::increment, o.tag, o.payload); err != Status::ok)
            return err;
    }
    *out = dynShape(o);
    return Status::ok;
}

Status emitLocalExpr(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    uint32_t index = expr->local;
    if (index < s->localCount && s->locals[index].state == LocalState::comptime &&
        s->controlDepth == 0 && s->function) {
        bool last = false;
        if (Status err = isLastUse(e->compiler, s->function, expr, &last); err != Status::ok)
            return err;
        if (last) {
            // The value moves to the reader: no copy, no reference.
            *out = s->locals[index].shape;
            s->locals[index] = LocalRecord{};
            if (out->kind == ShapeKind::list) return trackContainer(s, *out);
            return Status::ok;
        }
    }
    return emitLocalRead(e, s, index, expr->position, out);
}

Status emitNamedExpr(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    Shape value;
    if (Status err = emitExpr(e, s, expr->namedExpr.value, &value); err != Status::ok) return err;
    if (value.kind == ShapeKind::dyn) {
        // One reference for the variable, one for the expression's result; a borrow is made
        // owned first so the two don't share one flag.
        Operand o;
        if (Status err = materialize(e, value, s->site, &o); err != Status::ok) return err;
        if (!neverCounted(o.kind))
            if (Status err = refcount(e, RefMode::increment, o.tag, o.payload); err != Status::ok)
                return err;
        value = dynShape(o);
    } else if (mayHoldReference(value)) {
        Shape copy;
        if (Status err = ownCopy(e, value, &copy); err != Status::ok) return err;
        front::Target target{};
        target.kind = front::TargetKind::local;
        target.local = expr->namedExpr.local;
        if (Status err = emitAssign(e, s, target, &copy, expr->position); err != Status::ok)
            return err;
        *out = value;
        return Status::ok;
    }
    front::Target target{};
    target.kind = front::TargetKind::local;
    target.local = expr->namedExpr.local;
    Shape stored = value;
    if (Status err = emitAssign(e, s, target, &stored, expr->position); err != Status::ok)
        return err;
    *out = value;
    return Status::ok;
}

Status materializeLocal(Emitter* e, Semantic* s, uint32_t index) {
    if (index >= s->localCount) return unknownLocal(e, index);
    LocalRecord& local = s->locals[index];
    if (inSlot(local)) return Status::ok;
    ValueRef slot = valueSlot(e);
    if (local.state == LocalState::empty) {
        // Unset from the function's entry too: a slot made inside a run-time branch (a
        // comprehension's target in one arm of a conditional) is released on every path.
        T.LLVMSetAlignment(
            T.LLVMBuildStore(e->builder.entryBuilder, constI64(e, value::TagUnset), slot), 8);
        Operand unset = constantOperand(e, value::TagUnset, 0, KnownKind::unknown);
        if (Status err = storeOperand(e, slot, &unset); err != Status::ok) return err;
        local = LocalRecord{};
        local.slot = slot;
        local.kind = KnownKind::unknown;
        local.state = LocalState::slot;
        local.noRelease = kMaybeUnset;
        return Status::ok;
    }
    Shape held = local.shape;
    Operand o;
    if (Status err = materialize(e, held, s->site, &o); err != Status::ok) return err;
    if (Status err = storeOperand(e, slot, &o); err != Status::ok) return err;
    // A container made here at run time was put in place of the record in every local that
    // held it, this one too, with a reference each; the slot has the made value's own, so the
    // one given to this local goes.
    if (local.shape.kind == ShapeKind::dyn && held.kind != ShapeKind::dyn)
        if (Status err = release(e, local.shape); err != Status::ok) return err;
    local = LocalRecord{};
    local.slot = slot;
    // The slot may receive a value of another kind later (a loop's back edge reaches reads
    // compiled before that store), so nothing is promised of its kind.
    local.kind = KnownKind::unknown;
    local.state = LocalState::slot;
    return Status::ok;
}

Status borrowLocal(Emitter* e, Semantic* s, const front::Expr* expr, Operand* out, bool* found) {
    *found = false;
    if (!expr || expr->kind != front::ExprKind::local || expr->local >= s->localCount)
        return Status::ok;
    const LocalRecord& local = s->locals[expr->local];
    if (local.state == LocalState::comptime) {
        if (local.shape.kind != ShapeKind::dyn || local.shape.dyn.borrowFlag) return Status::ok;
        *out = local.shape.dyn;
        *found = true;
        return Status::ok;
    }
    if (!inSlot(local) || (local.noRelease & kMaybeUnset)) return Status::ok;
    *out = loadOperand(e, local.slot, local.kind);
    *found = true;
    return Status::ok;
}

Status isLastUse(Compiler*, const front::FunctionIR* function, const front::Expr* read,
                 bool* last) {
    *last = false;
    if (!function || !read || read->kind != front::ExprKind::local) return Status::ok;
    const front::StmtList& body = function->body;
    uint32_t local = read->local;
    backend::List<LocalUse> uses;
    uint64_t lastStatement = UINT64_MAX, readStatement = UINT64_MAX, count = 0;
    Status err = Status::ok;
    for (uint64_t i = 0; err == Status::ok && i < body.count; i++) {
        uses.clear();
        err = noteStmtLocals(&body.items[i], 0, &uses);
        bool found = false;
        uint64_t here = 0;
        for (size_t k = 0; err == Status::ok && k < uses.count; k++) {
            if (uses[k].local != local) continue;
            here++;
            // A read a comprehension repeats is needed again by its next item.
            if (uses[k].expr == read) found = (uses[k].flag & kRepeatedUse) == 0;
        }
        if (here) lastStatement = i;
        if (found) {
            readStatement = i;
            count = here;
        }
    }
    uses.free();
    if (err != Status::ok) return err;
    if (readStatement == UINT64_MAX || readStatement != lastStatement || count != 1)
        return Status::ok;
    front::StmtKind kind = body.items[readStatement].kind;
    *last = kind == front::StmtKind::assign || kind == front::StmtKind::expr ||
            kind == front::StmtKind::return_;
    return Status::ok;
}

}  // namespace wuna::compile
