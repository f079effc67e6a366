// The set methods of wn_call_method, following the interpreter's own steps so that a set
// changed here iterates in the order Python's would. See methods.h.
//
// A set that crosses to Python is a copy, so a method that changes the set must be done here
// in full: every form of the in-place methods (with any number of arguments) is served
// natively; only calls Python would refuse (a wrong argument count, an unknown name) and the
// errors worded by Python (a missing element, an empty pop) go to Python.
#include "wuna/runtime/helpers/methods.h"

#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/containers.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

using value::Value;

inline Value setValue(value::Set* s) { return Value::of(value::TagSet, s); }

inline void release(value::Set* s) {
    if (s) value::decref(setValue(s));
}

// A failure of a set operation that only runs short of memory.
bool memory(Ctx* ctx, int32_t site, bool ok) {
    if (!ok) failOutOfMemory(ctx, site);
    return ok;
}

// Whether v may be an element; records the TypeError (or the fault of a raising __hash__)
// when not.
bool element(Ctx* ctx, int32_t site, Value v) {
    if (value::hashable(v)) return true;
    if (!takeFault(ctx, site)) unhashableItem(ctx, site, v);
    return false;
}

// The items of a value that is no set, each checked hashable: a list value (one reference),
// or false with the failure recorded.
bool hashableItems(Ctx* ctx, int32_t site, Value x, Value* out) {
    Value items = Value::none();
    if (!itemsList(ctx, site, x, &items)) return false;
    value::List* l = items.as<value::List>();
    for (uint64_t i = 0; i < l->count; i++) {
        if (element(ctx, site, l->items[i])) continue;
        value::decref(items);
        return false;
    }
    *out = items;
    return true;
}

// A new set of any iterable's elements, or null with the failure recorded.
value::Set* tempSet(Ctx* ctx, int32_t site, Value x) {
    if (x.tag == value::TagSet) {
        value::incref(x);
        return x.as<value::Set>();
    }
    value::Set* t = set::make();
    if (!t) {
        failOutOfMemory(ctx, site);
        return nullptr;
    }
    if (setUpdate(ctx, site, t, x)) return t;
    release(t);
    return nullptr;
}

// s & x as a new set (null with the failure recorded): the interpreter's set_intersection.
value::Set* intersect(Ctx* ctx, int32_t site, value::Set* s, Value x) {
    if (x.tag == value::TagSet) {
        value::Set* r = set::intersection(s, x.as<value::Set>());
        if (!r && !takeFault(ctx, site)) failOutOfMemory(ctx, site);
        return r;
    }
    Value items = Value::none();
    if (!hashableItems(ctx, site, x, &items)) return nullptr;
    value::List* l = items.as<value::List>();
    value::Set* r = set::intersectionItems(s, l->items, l->count);
    value::decref(items);
    if (!r) failOutOfMemory(ctx, site);
    if (r && takeFault(ctx, site)) {
        release(r);
        return nullptr;
    }
    return r;
}

// s -= x in place: the interpreter's set_difference_update_internal.
bool subtract(Ctx* ctx, int32_t site, value::Set* s, Value x) {
    if (x.tag == value::TagSet)
        return memory(ctx, site, set::differenceUpdate(s, x.as<value::Set>())) &&
               !takeFault(ctx, site);
    Value items = Value::none();
    if (!hashableItems(ctx, site, x, &items)) return false;
    value::List* l = items.as<value::List>();
    bool ok = memory(ctx, site, set::differenceUpdateItems(s, l->items, l->count));
    value::decref(items);
    return ok && !takeFault(ctx, site);
}

// s - x as a new set: the interpreter's set_difference (a dict's keys are looked up where it
// has them, any other iterable subtracted from a copy).
value::Set* minus(Ctx* ctx, int32_t site, value::Set* s, Value x) {
    if (x.tag == value::TagSet || x.tag == value::TagDict) {
        value::Set* other = tempSet(ctx, site, x);
        if (!other) return nullptr;
        value::Set* r = set::difference(s, other);
        release(other);
        if (!r && !takeFault(ctx, site)) failOutOfMemory(ctx, site);
        return r;
    }
    value::Set* r = set::copy(s);
    if (!r) {
        failOutOfMemory(ctx, site);
        return nullptr;
    }
    if (subtract(ctx, site, r, x)) return r;
    release(r);
    return nullptr;
}

// The methods of a set argument (a temporary set standing for any other iterable).
MethodAnswer withSet(Ctx* ctx, int32_t site, value::Set* s, MethodCode code, value::Set* o,
                     Value* out) {
    switch (code) {
    case MethodCode::symmetric_difference: {
        value::Set* r = set::symmetricDifference(s, o);
        if (!r) return {memory(ctx, site, false), true};
        *out = setValue(r);
        return kAnswered;
    }
    case MethodCode::symmetric_difference_update:
        if (!memory(ctx, site, set::symmetricUpdate(s, o))) return kFailed;
        *out = Value::none();
        return kAnswered;
    case MethodCode::issubset: *out = Value::boolean(set::isSubset(s, o)); return kAnswered;
    case MethodCode::issuperset: *out = Value::boolean(set::isSubset(o, s)); return kAnswered;
    case MethodCode::isdisjoint: {
        value::Set* small = o->used < s->used ? o : s;
        value::Set* big = small == s ? o : s;
        bool disjoint = true;
        for (uint64_t i = 0; disjoint && i <= small->mask; i++) {
            const value::SetSlot& slot = small->table[i];
            if (slot.key.tag == value::TagUnset || slot.key.tag == value::TagDeleted) continue;
            disjoint = !set::contains(big, slot.key);
        }
        *out = Value::boolean(disjoint);
        return kAnswered;
    }
    default: return kDeclined;
    }
}

MethodAnswer pop(Ctx* ctx, int32_t site, value::Set* s, Value* out) {
    (void)ctx;
    (void)site;
    if (s->used == 0) return kDeclined;
    uint64_t i = s->finger & s->mask;
    while (s->table[i].key.tag == value::TagUnset || s->table[i].key.tag == value::TagDeleted)
        i = i == s->mask ? 0 : i + 1;
    *out = s->table[i].key;
    s->table[i] = value::SetSlot{Value{value::TagDeleted, 0}, -1};
    s->used--;
    s->finger = i + 1;
    return kAnswered;
}

MethodAnswer elementMethod(Ctx* ctx, int32_t site, value::Set* s, MethodCode code, Value x,
                           Value* out) {
    if (!element(ctx, site, x)) return kFailed;
    int64_t h = set::elementHash(x);
    if (code == MethodCode::add) {
        bool ok = set::addHashed(s, x, h);
        if (takeFault(ctx, site)) return kFailed;
        if (!memory(ctx, site, ok)) return kFailed;
        *out = Value::none();
        return kAnswered;
    }
    bool removed = set::discardHashed(s, x, h);
    if (takeFault(ctx, site)) return kFailed;
    // A missing element of remove: Python's KeyError names it in Python's words.
    if (!removed && code == MethodCode::remove) return kDeclined;
    *out = Value::none();
    return kAnswered;
}

// intersection(x1, ..., xk) and intersection_update: each argument in turn, as the
// interpreter's set_intersection_multi (no argument: a copy); the result is new
// (intersection) or its table becomes s's, the two bodies swapped (intersection_update).
MethodAnswer intersectMany(Ctx* ctx, int32_t site, value::Set* s, const Value* args,
                           uint64_t count, bool update, Value* out) {
    value::Set* r = nullptr;
    if (count == 0) {
        r = set::copy(s);
        if (!r) return {memory(ctx, site, false), true};
    } else {
        r = s;
        value::incref(setValue(s));
        for (uint64_t i = 0; i < count; i++) {
            value::Set* next = intersect(ctx, site, r, args[i]);
            release(r);
            if (!next) return kFailed;
            r = next;
        }
    }
    if (!update) {
        *out = setValue(r);
        return kAnswered;
    }
    set::swapTables(s, r);
    release(r);
    *out = Value::none();
    return kAnswered;
}

}  // namespace

MethodAnswer setMethod(Ctx* ctx, int32_t site, value::Set* s, MethodCode code, const Value* args,
                       uint64_t count, Value* out) {
    bool changes = code == MethodCode::add || code == MethodCode::discard ||
                   code == MethodCode::remove || code == MethodCode::pop ||
                   code == MethodCode::clear || code == MethodCode::update ||
                   code == MethodCode::intersection_update ||
                   code == MethodCode::difference_update ||
                   code == MethodCode::symmetric_difference_update;
    // A shared constant set is not changed here; Python's copy of it takes the call.
    if (changes && value::readOnly(&s->h)) return kDeclined;
    switch (code) {
    case MethodCode::add:
    case MethodCode::discard:
    case MethodCode::remove:
        if (count != 1) return kDeclined;
        return elementMethod(ctx, site, s, code, args[0], out);
    case MethodCode::pop:
        if (count != 0) return kDeclined;
        return pop(ctx, site, s, out);
    case MethodCode::clear:
        if (count != 0) return kDeclined;
        if (!memory(ctx, site, set::clear(s))) return kFailed;
        *out = Value::none();
        return kAnswered;
    case MethodCode::copy:
    case MethodCode::union_: {
        if (code == MethodCode::copy && count != 0) return kDeclined;
        value::Set* r = set::copy(s);
        if (!r) return {memory(ctx, site, false), true};
        for (uint64_t i = 0; i < count; i++) {
            if (setUpdate(ctx, site, r, args[i])) continue;
            release(r);
            return kFailed;
        }
        *out = setValue(r);
        return kAnswered;
    }
    case MethodCode::update:
        for (uint64_t i = 0; i < count; i++)
            if (!setUpdate(ctx, site, s, args[i])) return kFailed;
        *out = Value::none();
        return kAnswered;
    case MethodCode::intersection:
    case MethodCode::intersection_update:
        return intersectMany(ctx, site, s, args, count,
                             code == MethodCode::intersection_update, out);
    case MethodCode::difference: {
        if (count == 0) {
            value::Set* r = set::copy(s);
            if (!r) return {memory(ctx, site, false), true};
            *out = setValue(r);
            return kAnswered;
        }
        value::Set* r = minus(ctx, site, s, args[0]);
        for (uint64_t i = 1; r && i < count; i++) {
            if (subtract(ctx, site, r, args[i])) continue;
            release(r);
            r = nullptr;
        }
        if (!r) return kFailed;
        *out = setValue(r);
        return kAnswered;
    }
    case MethodCode::difference_update:
        for (uint64_t i = 0; i < count; i++)
            if (!subtract(ctx, site, s, args[i])) return kFailed;
        *out = Value::none();
        return kAnswered;
    case MethodCode::symmetric_difference:
    case MethodCode::symmetric_difference_update:
    case MethodCode::issubset:
    case MethodCode::issuperset:
    case MethodCode::isdisjoint: {
        if (count != 1) return kDeclined;
        value::Set* o = tempSet(ctx, site, args[0]);
        if (!o) return kFailed;
        MethodAnswer a = withSet(ctx, site, s, code, o, out);
        release(o);
        if (a.answered && a.ok && takeFault(ctx, site)) {
            value::decref(*out);
            return kFailed;
        }
        return a;
    }
    default: return kDeclined;
    }
}

}  // namespace wuna::helpers
