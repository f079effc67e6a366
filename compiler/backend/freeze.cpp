// Freezing values (see freeze.h).
#include "compiler/backend/freeze.h"

#include "wuna/runtime/value.h"

namespace wuna::driver {

namespace {

using value::Value;

// The tags whose payload is a counted block.
constexpr uint64_t kCountedTags = 0xBE3F0;

bool counted(uint64_t tag) { return tag < 32 && ((kCountedTags >> tag) & 1); }

Status value(Visited* visited, Value v) {
    return counted(v.tag) ? freeze(visited, v.tag, reinterpret_cast<value::Obj*>(v.payload))
                          : Status::ok;
}

Status values(Visited* visited, Value* items, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (Status s = value(visited, items[i]); s != Status::ok) return s;
    return Status::ok;
}

// Whether the block is new to the walk (entered now). ok, or outOfMemory.
Status enter(Visited* visited, const void* block, bool* fresh) {
    uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(block));
    *fresh = false;
    if (visited->find(key)) return Status::ok;
    if (!visited->put(key, 1)) return Status::outOfMemory;
    *fresh = true;
    return Status::ok;
}

}  // namespace

Status freezeFrame(Visited* visited, value::Frame* frame) {
    for (; frame; frame = frame->parent) {
        bool fresh;
        if (Status s = enter(visited, frame, &fresh); s != Status::ok) return s;
        if (!fresh) return Status::ok;
        value::makeImmortal(&frame->h);
        if (Status s = values(visited, frame->slots(), frame->count); s != Status::ok) return s;
    }
    return Status::ok;
}

Status freeze(Visited* visited, uint64_t tag, value::Obj* block) {
    // An exception's cause is followed in place, so long chains take no native stack.
    for (;;) {
        if (!block) return Status::ok;
        bool fresh;
        if (Status s = enter(visited, block, &fresh); s != Status::ok) return s;
        if (!fresh) return Status::ok;
        value::makeImmortal(block);
        switch (tag) {
        case value::TagList: {
            auto* l = reinterpret_cast<value::List*>(block);
            return values(visited, l->items, l->count);
        }
        case value::TagTuple: {
            auto* t = reinterpret_cast<value::Tuple*>(block);
            return values(visited, t->items(), t->count);
        }
        case value::TagDict: {
            auto* d = reinterpret_cast<value::Dict*>(block);
            for (uint64_t i = 0; i < d->used; i++) {
                value::DictEntry& e = d->entries[i];
                if (e.key.tag == value::TagDeleted || e.key.tag == value::TagUnset) continue;
                if (Status s = value(visited, e.key); s != Status::ok) return s;
                if (Status s = value(visited, e.value); s != Status::ok) return s;
            }
            return Status::ok;
        }
        case value::TagRecord: {
            auto* r = reinterpret_cast<value::Record*>(block);
            return values(visited, r->fields(), r->cls ? r->cls->fieldCount : 0);
        }
        case value::TagFunction:
            return freezeFrame(visited, reinterpret_cast<value::Function*>(block)->frame);
        case value::TagClosure: {
            auto* c = reinterpret_cast<value::Closure*>(block);
            if (c->captured && c->captured->kind == value::KindFrame)
                return freezeFrame(visited, reinterpret_cast<value::Frame*>(c->captured));
            return Status::ok;
        }
        case value::TagSet: {
            auto* s = reinterpret_cast<value::Set*>(block);
            for (uint64_t i = 0; s->table && i <= s->mask; i++) {
                const Value& k = s->table[i].key;
                if (k.tag == value::TagUnset || k.tag == value::TagDeleted) continue;
                if (Status st = value(visited, k); st != Status::ok) return st;
            }
            return Status::ok;
        }
        case value::TagExc: {
            auto* e = reinterpret_cast<value::Exc*>(block);
            for (Value v : {e->args, e->value, e->message})
                if (Status s = value(visited, v); s != Status::ok) return s;
            if (!counted(e->cause.tag)) return Status::ok;
            tag = e->cause.tag;
            block = reinterpret_cast<value::Obj*>(e->cause.payload);
            continue;
        }
        default: return Status::ok;
        }
    }
}

}  // namespace wuna::driver
