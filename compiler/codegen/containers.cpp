// Compile-time containers, scope release and the recompilation signals (see emitter.h).
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/codegen/emitter.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

using value::kFrameSlots;

const void* recordOf(const Shape& shape) {
    if (shape.kind == ShapeKind::list) return shape.list;
    if (shape.kind == ShapeKind::dict) return shape.dict;
    return nullptr;
}

// Whether a compile-time local of any open semantic (but skip, when given) holds the record.
bool heldByLocal(const Emitter* e, const void* record, const Semantic* skip) {
    for (size_t i = 0; i < e->semantics.count; i++) {
        const Semantic* s = e->semantics[i];
        if (s == skip) continue;
        if (walkHeld(&e->semantics[i], 1, record)) return true;
    }
    return false;
}

bool isVisited(const backend::List<const void*>* visited, const void* record) {
    for (size_t i = 0; i < visited->count; i++)
        if ((*visited)[i] == record) return true;
    return false;
}

// What a drop does: give the items' references back on the path being compiled (a return or
// an error exit: the other paths still hold them), or also settle the list as given back for
// good, or only settle it (every path to here gave the references back already).
enum class DropEffect : uint8_t { path, settle, settleOnly };

// Drops the list's elements once per walk: visited keeps a list nested in itself, or reached
// twice, from being released again. A settled list is never dropped again: a list a helper's
// parameter held is given back when the helper ends, and its caller, which made the list,
// must not give its items back a second time.
Status dropWith(Emitter* e, Semantic* p, front::ListRecord* list,
                backend::List<const void*>* visited, DropEffect effect, bool* dropped) {
    *dropped = false;
    if (list->released || isVisited(visited, list)) return Status::ok;
    if (list->madeAtRunTime || list->source) return Status::ok;
    if (p->resultSet && contains(p->result, list, kContainerDepth)) return Status::ok;
    if (heldByLocal(e, list, p)) return Status::ok;
    if (!visited->push(list)) return Status::outOfMemory;
    if (effect != DropEffect::settleOnly)
        for (uint64_t i = 0; i < list->length; i++)
            if (Status err = release(e, list->items[i]); err != Status::ok) return err;
    for (uint64_t i = 0; i < list->length; i++) {
        const Shape& item = list->items[i];
        if (item.kind != ShapeKind::list || heldByLocal(e, item.list, nullptr)) continue;
        bool inner;
        if (Status err = dropWith(e, p, item.list, visited, effect, &inner); err != Status::ok)
            return err;
    }
    if (effect != DropEffect::path) list->released = 1;
    *dropped = true;
    return Status::ok;
}

// Releases the scope's locals (see releaseScope) with the effect given on its lists.
Status releaseScopeWith(Emitter* e, Semantic* s, DropEffect effect) {
    backend::List<const void*> visited;
    Status err = Status::ok;
    for (uint32_t k = 0; err == Status::ok && k < s->localCount; k++) {
        const LocalRecord& local = s->locals[k];
        if (local.state == LocalState::comptime) {
            if (effect != DropEffect::settleOnly) err = release(e, local.shape);
            if (err == Status::ok && local.shape.kind == ShapeKind::list) {
                bool dropped;
                err = dropWith(e, s, local.shape.list, &visited, effect, &dropped);
            }
        } else if (effect != DropEffect::settleOnly &&
                   (local.state == LocalState::slot || local.state == LocalState::typedSlot) &&
                   !(local.noRelease & 1)) {
            err = releaseSlot(e, local.slot);
        }
    }
    visited.free();
    if (effect == DropEffect::settleOnly) return err;
    for (size_t i = 0; err == Status::ok && i < s->extraSlots.count; i++)
        err = releaseSlot(e, s->extraSlots[i]);
    if (err == Status::ok && s->hasFrame) {
        ValueRef frame = s->frame;
        err = callHelper(e, "wn_frame_release", &frame, 1, nullptr);
    }
    return err;
}

// The semantic check of escape's step 3 from index first on.
bool settledFrom(const Emitter* e, size_t first) {
    if (e->semantics[first]->openedAtControlDepth != e->controlDepth) return false;
    for (size_t i = first; i < e->semantics.count; i++) {
        const Semantic* s = e->semantics[i];
        if (s->controlDepth > 0 || s->resultSlotMade || s->tryDepth > 0) return false;
    }
    return true;
}

bool anyOpenRunTimeState(const Emitter* e) {
    for (size_t i = 0; i < e->semantics.count; i++) {
        const Semantic* s = e->semantics[i];
        if (s->controlDepth > 0 || s->resultSlotMade || s->tryDepth > 0) return true;
    }
    return false;
}

Status writeMessage(Compiler* c, const char* text, uint64_t number, const char* rest) {
    c->message.clear();
    Status s = appendText(&c->message, text);
    if (s == Status::ok && rest) s = appendDecimal(&c->message, number);
    if (s == Status::ok && rest) s = appendText(&c->message, rest);
    return s == Status::ok ? Status::unsupported : s;
}

Status recordEscape(Emitter* e, const Shape& container) {
    Compiler* c = e->compiler;
    const front::Expr* site =
        container.kind == ShapeKind::list ? container.list->literal : container.dict->literal;
    uint32_t index =
        container.kind == ShapeKind::list ? container.list->word : container.dict->word;
    // A container no display made can't be made at run time from the start.
    if (!site) return Status::ok;
    EscapedSite key{site, e->functionIdentity, int32_t(index)};
    if (c->escapedSites && escapedSiteIndex(c->escapedSites, key) == kNotEscaped) {
        if (!c->escapedSites->keys.push(key)) return Status::outOfMemory;
        recordNeed(c);
    }
    return writeMessage(c,
                        "a list or dict escapes inside run-time control flow: compiled again, "
                        "made at run time",
                        0, nullptr);
}

}  // namespace

bool madeAtRunTime(const Shape& container) {
    if (container.kind == ShapeKind::list) return container.list->madeAtRunTime != 0;
    if (container.kind == ShapeKind::dict) return container.dict->madeAtRunTime != 0;
    return false;
}

bool contains(const Shape& shape, const void* record, uint32_t depth) {
    if (depth == 0) return false;
    switch (shape.kind) {
    case ShapeKind::dict:
        if (shape.dict == record) return true;
        for (uint64_t i = 0; i < shape.dict->valueLength; i++)
            if (contains(shape.dict->values[i], record, depth - 1)) return true;
        return false;
    case ShapeKind::list:
        if (shape.list == record) return true;
        for (uint64_t i = 0; i < shape.list->length; i++)
            if (contains(shape.list->items[i], record, depth - 1)) return true;
        return false;
    case ShapeKind::tuple:
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (contains(shape.tuple.items[i], record, depth - 1)) return true;
        return false;
    default: return false;
    }
}

bool walkHeld(Semantic* const* semantics, size_t count, const void* record) {
    for (size_t i = 0; i < count; i++) {
        const Semantic* s = semantics[i];
        for (uint32_t k = 0; k < s->localCount; k++) {
            const LocalRecord& local = s->locals[k];
            if (local.state == LocalState::comptime &&
                contains(local.shape, record, kContainerDepth))
                return true;
        }
    }
    return false;
}

Status dropContainer(Emitter* e, Semantic* s, front::ListRecord* list, bool* dropped) {
    backend::List<const void*> visited;
    Status err = dropWith(e, s, list, &visited, DropEffect::path, dropped);
    visited.free();
    return err;
}

Status substitute(Emitter* e, Shape* shape, const void* record, const Operand& o, uint32_t depth) {
    if (depth == 0) return Status::ok;
    if (recordOf(*shape) == record) {
        Operand holder = o;
        if (!neverCounted(o.kind)) {
            // The variable becomes one more holder of the run-time container.
            if (Status err = takeOwnership(e, &holder); err != Status::ok) return err;
            if (Status err = refcount(e, RefMode::increment, holder.tag, holder.payload);
                err != Status::ok)
                return err;
        }
        *shape = dynShape(holder);
        return Status::ok;
    }
    Shape* items = nullptr;
    uint64_t count = 0;
    if (shape->kind == ShapeKind::list) {
        items = shape->list->items;
        count = shape->list->length;
    } else if (shape->kind == ShapeKind::dict) {
        items = shape->dict->values;
        count = shape->dict->valueLength;
    } else if (shape->kind == ShapeKind::tuple) {
        items = shape->tuple.items;
        count = shape->tuple.count;
    }
    for (uint64_t i = 0; i < count; i++)
        if (Status err = substitute(e, &items[i], record, o, depth - 1); err != Status::ok)
            return err;
    return Status::ok;
}

Status escape(Emitter* e, const Shape& container, const Operand& o) {
    const void* record = recordOf(container);
    if (!record || !heldByLocal(e, record, nullptr)) return Status::ok;
    bool safe = e->controlDepth == 0 && !anyOpenRunTimeState(e);
    if (!safe) {
        size_t first = 0;
        while (first < e->semantics.count && !walkHeld(&e->semantics[first], 1, record)) first++;
        if (first == e->semantics.count || !settledFrom(e, first))
            return recordEscape(e, container);
    }
    for (size_t i = 0; i < e->semantics.count; i++) {
        Semantic* s = e->semantics[i];
        for (uint32_t k = 0; k < s->localCount; k++) {
            LocalRecord& local = s->locals[k];
            if (local.state != LocalState::comptime) continue;
            if (Status err = substitute(e, &local.shape, record, o, kContainerDepth);
                err != Status::ok)
                return err;
        }
    }
    return Status::ok;
}

Status currentFrame(Emitter* e, ValueRef* out) {
    if (e->scopes.count) {
        openBlock(&e->builder);
        ValueRef frame = T.LLVMBuildLoad2(e->builder.builder, e->compiler->module.ptr,
                                          e->scopes.last().frameSlot, "");
        T.LLVMSetAlignment(frame, 8);
        *out = frame;
        return Status::ok;
    }
    if (e->hasOwnFrame) {
        *out = e->ownFrame;
        return Status::ok;
    }
    Compiler* c = e->compiler;
    c->frameNeeded = 1;
    c->frameNeededScope = e->scopeId;
    return writeMessage(c, "code here needs the frame of a function without one (node ", e->scopeId,
                        "): compiled again with frames");
}

void spillLocals(Emitter* e) {
    ModuleRecord* m = &e->compiler->module;
    for (size_t k = 0; k < e->typedLocals.count; k++) {
        TypedLocal local = e->typedLocals[k];
        if (!local.live) continue;
        ValueRef tag = loadWord(e, local.slot);
        ValueRef payload = loadWord(e, slotPayload(e, local.slot));
        for (uint64_t word = 0; word < 2; word++) {
            ValueRef offset = constI64(e, kFrameSlots + 16 * k + 8 * word);
            openBlock(&e->builder);
            ValueRef at =
                T.LLVMBuildInBoundsGEP2(e->builder.builder, m->i8, e->ownFrame, &offset, 1, "");
            storeWord(e, word ? payload : tag, at);
        }
    }
}

Status releaseScope(Emitter* e, Semantic* s) { return releaseScopeWith(e, s, DropEffect::path); }

Status endScope(Emitter* e, Semantic* s) { return releaseScopeWith(e, s, DropEffect::settle); }

Status settleScope(Emitter* e, Semantic* s) {
    return releaseScopeWith(e, s, DropEffect::settleOnly);
}

Status releaseLocal(Emitter* e, Semantic* s, uint32_t index) {
    LocalRecord& local = s->locals[index];
    switch (local.state) {
    case LocalState::empty: return Status::ok;
    case LocalState::comptime: {
        Shape saved = local.shape;
        local = LocalRecord{};
        if (Status err = release(e, saved); err != Status::ok) return err;
        if (saved.kind != ShapeKind::list) return Status::ok;
        bool dropped;
        return dropContainer(e, s, saved.list, &dropped);
    }
    case LocalState::slot:
    case LocalState::typedSlot:
        if (local.noRelease & 1) return Status::ok;
        if (Status err = releaseSlot(e, local.slot); err != Status::ok) return err;
        local = LocalRecord{};
        return Status::ok;
    }
    return Status::ok;
}

int64_t escapedSiteIndex(const EscapedSites* set, const EscapedSite& key) {
    for (size_t i = 0; i < set->keys.count; i++) {
        const EscapedSite& k = set->keys[i];
        if (k.site == key.site && k.function == key.function && k.index == key.index)
            return int64_t(i);
    }
    return kNotEscaped;
}

}  // namespace wuna::compile
