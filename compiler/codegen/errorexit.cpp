// Error exits: the chain of release blocks from a failing helper call to the error target,
// shared between points with identical needs through a 64-entry cache (see emitter.h).
//
// A cached block is reused only under a key that describes everything it releases: the next
// block, and per released local or temporary its LLVM values and ownership flag. Two points
// whose locals hold different operands thus never share a block that would release the
// wrong one.
#include <cstring>
#include <initializer_list>

#include "compiler/codegen/emitter.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

// Words that open the parts of a key.
enum KeyWord : uint64_t {
    kOperandWord = 1,
    kTupleWord = 2,
    kListWord = 3,
    kLocalWord = 4,
    kSlotWord = 5,
    kExtraWord = 6,
    kTemporariesWord = 7,
    kFrameWord = 8,
};

uint64_t word(const void* p) { return uint64_t(reinterpret_cast<uintptr_t>(p)); }

bool push(backend::List<uint64_t>* key, std::initializer_list<uint64_t> words) {
    for (uint64_t w : words)
        if (!key->push(w)) return false;
    return true;
}

bool listNeedsRelease(const front::ListRecord* list) {
    return !list->madeAtRunTime && !list->source;
}

bool localNeedsRelease(const LocalRecord& local) {
    switch (local.state) {
    case LocalState::slot:
    case LocalState::typedSlot: return true;
    case LocalState::comptime:
        return mayHoldReference(local.shape) ||
               (local.shape.kind == ShapeKind::list && listNeedsRelease(local.shape.list));
    default: return false;
    }
}

bool semanticNeedsRelease(const Semantic* s) {
    if (s->extraSlots.count) return true;
    for (uint32_t k = 0; k < s->localCount; k++)
        if (localNeedsRelease(s->locals[k])) return true;
    return false;
}

// The description of one local's release.
Status appendLocalKey(Emitter* e, backend::List<uint64_t>* key, const Semantic* s, uint32_t index) {
    const LocalRecord& local = s->locals[index];
    if (local.state == LocalState::comptime) {
        if (!push(key, {kLocalWord, index})) return Status::outOfMemory;
        return appendReleaseKey(e, key, s, local.shape, kContainerDepth);
    }
    if (local.state == LocalState::slot || local.state == LocalState::typedSlot) {
        if (!push(key, {kSlotWord, index, word(local.slot), uint64_t(local.noRelease & 1)}))
            return Status::outOfMemory;
    }
    return Status::ok;
}

BasicBlockRef cached(const Emitter* e, const backend::List<uint64_t>& key) {
    for (size_t i = 0; i < e->errorBlocks.count; i++) {
        const ErrorBlock& entry = e->errorBlocks[i];
        if (entry.length == key.count &&
            memcmp(entry.key, key.items, key.count * sizeof(uint64_t)) == 0)
            return entry.block;
    }
    return nullptr;
}

// Caches the block under the key (taken over); the oldest entry goes when 64 are held.
Status cache(Emitter* e, backend::List<uint64_t>* key, BasicBlockRef block) {
    if (e->errorBlocks.count == kErrorBlockCache) {
        free(e->errorBlocks[0].key);
        memmove(&e->errorBlocks[0], &e->errorBlocks[1],
                (e->errorBlocks.count - 1) * sizeof(ErrorBlock));
        e->errorBlocks.count--;
    }
    if (!e->errorBlocks.push(ErrorBlock{key->items, key->count, block})) return Status::outOfMemory;
    key->items = nullptr;
    key->count = key->capacity = 0;
    return Status::ok;
}

// Makes a numbered "error_release" block and moves the builder into it for cold code; done
// moves it back.
struct ColdBlock {
    Emitter* e;
    BasicBlockRef saved;
    BasicBlockRef block;
};

Status beginCold(Emitter* e, const char* name, ColdBlock* cold) {
    cold->e = e;
    cold->saved = e->builder.current;
    if (Status err = newBlock(&e->builder, name, &cold->block); err != Status::ok) return err;
    T.LLVMPositionBuilderAtEnd(e->builder.builder, cold->block);
    e->builder.current = cold->block;
    e->errorPathDepth++;
    return Status::ok;
}

void endCold(ColdBlock* cold, BasicBlockRef next) {
    Emitter* e = cold->e;
    br(&e->builder, next);
    e->errorPathDepth--;
    T.LLVMPositionBuilderAtEnd(e->builder.builder, cold->saved);
    e->builder.current = cold->saved;
}

// After a key was built (err its status): the cached block of an equal key (*hit set, the
// key freed), else a new cold "error_release" block the builder is moved into. On failure the
// key is freed.
Status cachedOrCold(Emitter* e, Status err, backend::List<uint64_t>* key, BasicBlockRef* out,
                    ColdBlock* cold, bool* hit) {
    if (err == Status::ok) {
        if (BasicBlockRef there = cached(e, *key)) {
            key->free();
            *out = there;
            *hit = true;
            return Status::ok;
        }
        err = beginCold(e, "error_release", cold);
    }
    if (err != Status::ok) key->free();
    return err;
}

// Ends the cold block with its branch to next and caches it under the key (freed). err: the
// status of the release code; ok with *out the block, or the first error.
Status finishCold(Emitter* e, Status err, ColdBlock* cold, BasicBlockRef next,
                  backend::List<uint64_t>* key, BasicBlockRef* out) {
    endCold(cold, next);
    if (err == Status::ok) err = cache(e, key, cold->block);
    key->free();
    if (err == Status::ok) *out = cold->block;
    return err;
}

Status leavesSemanticBlock(Emitter* e, BasicBlockRef next, BasicBlockRef* out) {
    if (BasicBlockRef* there = e->leavesSemantic.find(word(next))) {
        *out = *there;
        return Status::ok;
    }
    ColdBlock cold;
    if (Status err = beginCold(e, "error_leaves_semantic", &cold); err != Status::ok) return err;
    ValueRef ctx = e->runContext;
    Status err = callHelper(e, "wn_exc_wrap", &ctx, 1, nullptr);
    endCold(&cold, next);
    if (err != Status::ok) return err;
    if (!e->leavesSemantic.put(word(next), cold.block)) return Status::outOfMemory;
    *out = cold.block;
    return Status::ok;
}

bool temporaryNeedsRelease(const Shape& shape) {
    return mayHoldReference(shape) || shape.kind == ShapeKind::list;
}

Status temporariesBlock(Emitter* e, BasicBlockRef next, BasicBlockRef* out) {
    size_t mark = e->errorReleaseMark;
    bool any = false;
    for (size_t i = mark; i < e->temporaries.count; i++)
        any = any || temporaryNeedsRelease(e->temporaries[i]);
    if (!any) {
        *out = next;
        return Status::ok;
    }
    backend::List<uint64_t> key;
    Status err = push(&key, {word(next), kTemporariesWord}) ? Status::ok : Status::outOfMemory;
    for (size_t i = mark; err == Status::ok && i < e->temporaries.count; i++) {
        const Shape& t = e->temporaries[i];
        if (t.kind == ShapeKind::list) {
            if (!push(&key, {kListWord, word(t.list), uint64_t(containerUnheld(e, t.list)),
                             t.list->length}))
                err = Status::outOfMemory;
        } else if (t.kind == ShapeKind::tuple || mayHoldReference(t)) {
            err = appendReleaseKey(e, &key, e->semantics.count ? e->semantics.last() : nullptr, t,
                                   kContainerDepth);
        }
    }
    ColdBlock cold;
    bool hit = false;
    err = cachedOrCold(e, err, &key, out, &cold, &hit);
    if (err != Status::ok || hit) return err;
    Semantic* innermost = e->semantics.count ? e->semantics.last() : nullptr;
    for (size_t i = e->temporaries.count; err == Status::ok && i-- > mark;) {
        const Shape& t = e->temporaries[i];
        if (t.kind == ShapeKind::list) {
            bool dropped;
            if (innermost && containerUnheld(e, t.list))
                err = dropContainer(e, innermost, t.list, &dropped);
            continue;
        }
        err = release(e, t);
    }
    return finishCold(e, err, &cold, next, &key, out);
}

bool anySemanticFlag(const Emitter* e, size_t base) {
    for (size_t i = base; i < e->semantics.count; i++)
        if (e->semantics[i]->semantic) return true;
    return false;
}

}  // namespace

Status appendReleaseKey(Emitter* e, backend::List<uint64_t>* key, const Semantic* s,
                        const Shape& shape, uint32_t depth) {
    if (depth == 0) return Status::ok;
    switch (shape.kind) {
    case ShapeKind::list: {
        const front::ListRecord* list = shape.list;
        bool held = (s && s->resultSet && contains(s->result, list, kContainerDepth));
        for (size_t i = 0; !held && i < e->semantics.count; i++)
            if (e->semantics[i] != s && walkHeld(&e->semantics[i], 1, list)) held = true;
        uint64_t flag = listNeedsRelease(list) && !held;
        if (!push(key, {kListWord, word(list), flag, list->length})) return Status::outOfMemory;
        for (uint64_t i = 0; i < list->length; i++)
            if (Status err = appendReleaseKey(e, key, s, list->items[i], depth - 1);
                err != Status::ok)
                return err;
        return Status::ok;
    }
    case ShapeKind::tuple:
        if (!push(key, {kTupleWord, shape.tuple.count})) return Status::outOfMemory;
        for (uint64_t i = 0; i < shape.tuple.count; i++)
            if (Status err = appendReleaseKey(e, key, s, shape.tuple.items[i], depth - 1);
                err != Status::ok)
                return err;
        return Status::ok;
    case ShapeKind::dyn:
        if (neverCounted(shape.dyn.kind)) return Status::ok;
        return push(key, {kOperandWord, word(shape.dyn.tag), word(shape.dyn.payload),
                          word(shape.dyn.borrowFlag)})
                   ? Status::ok
                   : Status::outOfMemory;
    default: return Status::ok;
    }
}

bool containerUnheld(const Emitter* e, const front::ListRecord* list) {
    if (list->madeAtRunTime || list->source) return false;
    if (walkHeld(e->semantics.items, e->semantics.count, list)) return false;
    if (e->semantics.count) {
        const Semantic* innermost = e->semantics[e->semantics.count - 1];
        if (innermost->resultSet && contains(innermost->result, list, kContainerDepth))
            return false;
    }
    return true;
}

Status scopeErrorBlock(Emitter* e, Semantic* s, const uint32_t* list, size_t listCount,
                       BasicBlockRef next, BasicBlockRef* out) {
    backend::List<uint64_t> key;
    Status err = push(&key, {word(next), word(s)}) ? Status::ok : Status::outOfMemory;
    // Every local the block releases, described by what it holds now.
    if (list) {
        for (size_t i = 0; err == Status::ok && i < listCount; i++)
            err = appendLocalKey(e, &key, s, list[i]);
    } else {
        for (uint32_t k = 0; err == Status::ok && k < s->localCount; k++)
            err = appendLocalKey(e, &key, s, k);
        for (size_t i = 0; err == Status::ok && i < s->extraSlots.count; i++)
            if (!push(&key, {kExtraWord, word(s->extraSlots[i])})) err = Status::outOfMemory;
        if (err == Status::ok && s->hasFrame && !push(&key, {kFrameWord, word(s->frame)}))
            err = Status::outOfMemory;
    }
    ColdBlock cold;
    bool hit = false;
    err = cachedOrCold(e, err, &key, out, &cold, &hit);
    if (err != Status::ok || hit) return err;
    if (list) {
        for (size_t i = 0; err == Status::ok && i < listCount; i++) {
            // The normal path keeps its compile-time state.
            LocalRecord saved = s->locals[list[i]];
            err = releaseLocal(e, s, list[i]);
            s->locals[list[i]] = saved;
        }
    } else {
        err = releaseScope(e, s);
    }
    return finishCold(e, err, &cold, next, &key, out);
}

Status errorExit(Emitter* e, BasicBlockRef* out) {
    BasicBlockRef g = e->errorTarget;
    size_t base = e->errorSemanticDepth < e->semantics.count ? size_t(e->errorSemanticDepth)
                                                             : e->semantics.count;
    if (e->tries.count) {
        TryEntry* t = e->tries.last();
        if (t->catchesJumps && t->exceptBlock == e->errorTarget) {
            bool release = false;
            for (size_t i = 0; i < t->tryLocals.count; i++)
                release = release || localNeedsRelease(t->owner->locals[t->tryLocals[i]]);
            if (release) {
                if (Status err =
                        scopeErrorBlock(e, t->owner, t->tryLocals.items, t->tryLocals.count, g, &g);
                    err != Status::ok)
                    return err;
            }
            if (anySemanticFlag(e, base))
                if (Status err = leavesSemanticBlock(e, g, &g); err != Status::ok) return err;
        }
    }
    for (size_t i = base; i < e->semantics.count; i++) {
        Semantic* s = e->semantics[i];
        if (!semanticNeedsRelease(s)) continue;
        if (Status err = scopeErrorBlock(e, s, nullptr, 0, g, &g); err != Status::ok) return err;
    }
    if (Status err = temporariesBlock(e, g, &g); err != Status::ok) return err;
    *out = g;
    return Status::ok;
}

Status checkOk(Emitter* e, ValueRef ok) {
    BasicBlockRef next, exit;
    if (Status err = newBlock(&e->builder, "ok", &next); err != Status::ok) return err;
    if (Status err = errorExit(e, &exit); err != Status::ok) return err;
    condBr(&e->builder, ok, next, exit);
    enter(&e->builder, next);
    return Status::ok;
}

}  // namespace wuna::compile
