// Variables through rt in compiled code (see rtvars.h).
#include "wuna/runtime/helpers/rtvars.h"

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

// "'<name>'<tail>" recorded at site without a kind; short of memory, a partial text.
void failQuoted(Ctx* ctx, int32_t site, const char* name, uint64_t length, const char* tail) {
    if (ctx->failing) return;
    ByteList text{};
    appendBytes(&text, "'", 1);
    appendBytes(&text, name, length);
    appendBytes(&text, tail, std::strlen(tail));
    fail(ctx, site, text.data, text.length);
    std::free(text.data);
}

// A function value to keep until the run ends; false when memory ran out.
bool appendBuried(ValueList* list, value::Value v) {
    if (list->count == list->capacity) {
        uint64_t capacity = list->capacity ? list->capacity * 2 : 8;
        auto* items =
            static_cast<value::Value*>(std::realloc(list->items, capacity * sizeof(value::Value)));
        if (!items) return false;
        list->items = items;
        list->capacity = capacity;
    }
    list->items[list->count++] = v;
    return true;
}

}  // namespace

void bury(Ctx* ctx, value::Value v) {
    if (v.tag == value::TagUnset) return;
    bool buried = v.tag == value::TagFunction && (v.as<value::Obj>()->flags & value::FlagBury);
    // Code of the function may still be running below: it is released when the run ends.
    if (buried) {
        (void)appendBuried(&ctx->releases, v);
        return;
    }
    value::decref(v);
}

void failNoValueYet(Ctx* ctx, int32_t site, const char* name, uint64_t length) {
    failQuoted(ctx, site, name, length, "' has no value yet");
}

void failUnreachable(Ctx* ctx, int32_t site, const char* name, uint64_t length) {
    failQuoted(ctx, site, name, length, "' isn't reachable from here");
}

void failNotVariable(Ctx* ctx, int32_t site, const char* name, uint64_t length) {
    failQuoted(ctx, site, name, length, "' is not a variable");
}

}  // namespace wuna::helpers

namespace wuna::bridge {

using helpers::Ctx;
using value::Value;

namespace {

bool isName(const char* name, uint64_t length, const char* expected) {
    return length == std::strlen(expected) && std::memcmp(name, expected, length) == 0;
}

// rt.kind(node) for a node of the running program, answered from the tree: the kind's
// interned name, the same text the CompiledRuntime method gives. Semantics ask it of nodes
// they only know at run time on their hottest paths (an argument list's last expression),
// where a trip through Python would cost more than the rest of the call. Any other node value
// is left to the Python method, which words its errors.
RtCallResult kindOfNode(Ctx* ctx, int32_t site, Value node, Value* out) {
    nodes::NodeRef ref;
    if (node.tag != value::TagNodeIndex || !nodes::nodeRefOf(ctx, site, node, &ref))
        return {false, false};
    value::Str* name = nodes::kindName(ref.view, ref.node);
    if (!name) {
        helpers::failOutOfMemory(ctx, site);
        return {false, true};
    }
    *out = Value::of(value::TagStr, name);
    return {true, true};
}

// The rt value's scope: the high half of its tag word.
int32_t rtScope(uint64_t tag) { return int32_t(uint32_t(tag >> 32)); }

}  // namespace

NodeText kindText(const Ctx* ctx, uint32_t node) {
    const nodes::TreeView* tree = ctx && ctx->run ? ctx->run->program : nullptr;
    if (!tree || node >= tree->count || !tree->grammar) return {"", 0};
    uint32_t k = pargo::layout::kindOf(tree->nodes[node]);
    if (k >= tree->grammar->kindCount) return {"", 0};
    const nodes::Name& name = tree->grammar->kindNames[k];
    return {name.data, name.length};
}

int64_t scopeNodeOf(const Ctx* ctx, uint32_t node) {
    const ProgramVars* vars = varsOf(ctx);
    const nodes::TreeView* tree = ctx && ctx->run ? ctx->run->program : nullptr;
    int64_t symbol = vars ? vars->symbolOf(vars->user, node) : -1;
    int64_t at = symbol >= 0 ? vars->declaredScope(vars->user, uint32_t(symbol)) : -1;
    return at >= 0 && tree && uint64_t(at) < tree->count ? at : -1;
}

void replaceSlot(Ctx* ctx, Value* slot, Value v, bool global) {
    Value old = *slot;
    *slot = v;
    // The slot holds the new value before the old one goes: releasing it may free a frame
    // whose last reference it held.
    if (global)
        helpers::bury(ctx, old);
    else if (old.tag != value::TagUnset)
        value::decref(old);
}

bool frameSlotValue(const Ctx* ctx, value::Frame* frame, int32_t scope, FrameExtra which,
                    Value* out) {
    const ProgramVars* vars = varsOf(ctx);
    if (!vars) return false;
    while (scope != kGlobalScope && frame && !vars->isFunctionKind(vars->user, uint32_t(scope))) {
        frame = frame->parent;
        scope = vars->scopeOf(vars->user, uint32_t(scope));
    }
    if (scope == kGlobalScope || !frame) return false;
    int64_t slots = vars->layoutSlots(vars->user, scope);
    if (slots < 0) return false;
    uint64_t at = uint64_t(slots) + uint64_t(which);
    if (at >= frame->count || frame->slots()[at].tag == value::TagUnset) return false;
    *out = frame->slots()[at];
    return true;
}

const ProgramVars* varsOf(const Ctx* ctx) { return ctx && ctx->run ? ctx->run->vars : nullptr; }

NodeText nodeText(const Ctx* ctx, uint32_t node) {
    const nodes::TreeView* tree = ctx && ctx->run ? ctx->run->program : nullptr;
    if (!tree || node >= tree->count || !tree->text) return {"", 0};
    uint64_t start = tree->nodes[node].start, end = tree->nodes[node].end;
    if (start > tree->textLength) start = tree->textLength;
    if (end > tree->textLength) end = tree->textLength;
    if (end < start) end = start;
    return {tree->text + start, end - start};
}

value::Frame* frameOfScope(const Ctx* ctx, value::Frame* frame, int32_t scope, int32_t target) {
    const ProgramVars* vars = varsOf(ctx);
    while (scope != target) {
        if (scope == kGlobalScope || !frame || !vars) return nullptr;
        frame = frame->parent;
        scope = vars->scopeOf(vars->user, uint32_t(scope));
    }
    return frame;
}

Value* variableSlot(Ctx* ctx, int32_t site, value::Frame* frame, int32_t scope, uint32_t name,
                    bool* builtin, bool* global) {
    *builtin = false;
    *global = false;
    const ProgramVars* vars = varsOf(ctx);
    int64_t symbol = vars ? vars->symbolOf(vars->user, name) : -1;
    int64_t slot = symbol >= 0 ? vars->slotOf(vars->user, uint32_t(symbol)) : -1;
    if (symbol >= 0 && vars->isBuiltin(vars->user, uint32_t(symbol))) {
        *builtin = true;
        return nullptr;
    }
    NodeText text = nodeText(ctx, name);
    // A symbol the compiler gave no slot is no variable of compiled code: reading slot 0 in
    // its place would hand out another variable's value.
    if (symbol < 0 || slot < 0) {
        helpers::failNotVariable(ctx, int32_t(name), text.data, text.length);
        return nullptr;
    }
    int32_t target = vars->frameScope(vars->user, uint32_t(symbol));
    value::Frame* f = frameOfScope(ctx, frame, scope, target);
    if (!f || uint64_t(slot) >= f->count) {
        helpers::failUnreachable(ctx, site, text.data, text.length);
        return nullptr;
    }
    *global = target == kGlobalScope;
    return &f->slots()[slot];
}

RtCallResult rtValueMethod(Ctx* ctx, int32_t site, uint64_t rtTag, value::Frame* rtFrame,
                           const char* name, uint64_t nameLength, const Value* args,
                           uint64_t count, Value* out) {
    if (isName(name, nameLength, "kind") && count == 1) return kindOfNode(ctx, site, args[0], out);
    bool scope = isName(name, nameLength, "scope") && count == 1;
    bool load = isName(name, nameLength, "load") && count == 1;
    bool store = isName(name, nameLength, "store") && count == 2;
    if ((!scope && !load && !store) || args[0].tag != value::TagNodeIndex) return {false, false};
    uint32_t node = uint32_t(args[0].payload);
    if (scope) {
        int64_t at = scopeNodeOf(ctx, node);
        *out = at >= 0 ? Value{value::TagNodeIndex, uint64_t(at)} : Value::none();
        return {true, true};
    }
    bool builtin = false, global = false;
    Value* slot = variableSlot(ctx, site, rtFrame, rtScope(rtTag), node, &builtin, &global);
    if (builtin) return {false, false};
    if (!slot) return {false, true};
    if (load) {
        if (slot->tag == value::TagUnset) {
            NodeText text = nodeText(ctx, node);
            helpers::failNoValueYet(ctx, int32_t(node), text.data, text.length);
            return {false, true};
        }
        Value v = *slot;
        value::incref(v);
        if (v.tag == value::TagPint) v.tag = value::TagInt;
        *out = v;
        return {true, true};
    }
    Value v = args[1];
    if (v.tag == value::TagPint) v.tag = value::TagInt;
    value::incref(v);
    replaceSlot(ctx, slot, v, global);
    *out = Value::none();
    return {true, true};
}

}  // namespace wuna::bridge
