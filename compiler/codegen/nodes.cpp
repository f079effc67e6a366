// Node fields of nodes known while compiling: a field by label, the value a node stands for
// as a field (by its kind's action), its children, and the labelled children of a function
// node (its parameters). Everything here reads the program's tree and grammar while
// compiling and emits no code (see lower.h).
#include <cstring>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

// The action code of a kind; a kind past the grammar's table counts as a rule.
uint8_t actionOf(const ptree::Index* tree, uint32_t kind) {
    const ptree::GrammarInfo* g = tree->grammar;
    if (!g || kind >= g->kindCount || !g->actions) return nodes::ActionNone;
    return g->actions[kind];
}

uint32_t kindOfNode(const ptree::Index* tree, uint32_t node) {
    return ptree::kindOf(tree->nodes[node]);
}

// The end of node's children: one past its last descendant, never past the tree.
uint32_t childrenEnd(const ptree::Index* tree, uint32_t node) {
    uint64_t end = uint64_t(node) + tree->nodes[node].descendants + 1;
    return end > tree->count ? tree->count : uint32_t(end);
}

// Whether the kind declares the label as holding several values.
bool labelIsList(const ptree::Index* tree, uint32_t kind, uint8_t label) {
    const ptree::GrammarInfo* g = tree->grammar;
    if (!g || kind >= g->kindCount || !g->labels || !g->labels[kind]) return false;
    for (uint32_t i = 0; i < g->labelCounts[kind]; i++)
        if (g->labels[kind][i].label == label) return g->labels[kind][i].list != 0;
    return false;
}

// The label byte of the grammar's field named "name", or 0.
uint8_t nameLabel(const ptree::Index* tree) {
    const ptree::GrammarInfo* g = tree->grammar;
    if (!g) return 0;
    for (uint32_t i = 0; i < g->fieldCount && i < 255; i++)
        if (g->fields[i].length == 4 && memcmp(g->fields[i].data, "name", 4) == 0)
            return uint8_t(i + 1);
    return 0;
}

Status listShape(Compiler* c, Shape* out) {
    front::ListRecord* list = front::newListRecord(c);
    if (!list) return Status::outOfMemory;
    *out = Shape{};
    out->kind = ShapeKind::list;
    out->list = list;
    return Status::ok;
}

// The values of node's direct children that pass the filter (label 0: every child), in
// order, drop kinds left out, into a new compile-time list.
Status childValues(Emitter* e, uint32_t node, bool byLabel, uint8_t label, Shape* out) {
    Compiler* c = e->compiler;
    const ptree::Index* tree = c->tree;
    if (Status s = listShape(c, out); s != Status::ok) return s;
    uint32_t end = childrenEnd(tree, node);
    for (uint32_t k = node + 1; k < end; k += tree->nodes[k].descendants + 1) {
        if (byLabel && ptree::labelByte(tree->nodes[k]) != label) continue;
        if (actionOf(tree, kindOfNode(tree, k)) == nodes::ActionDrop) continue;
        Shape item;
        if (Status s = nodeFieldWhenCompiling(e, k, &item); s != Status::ok) return s;
        if (Status s = front::appendItem(c, out->list, item); s != Status::ok) return s;
    }
    return Status::ok;
}

Status dictFieldError(Compiler* c, uint32_t node) {
    c->message.clear();
    Status s = appendText(&c->message, "a -> dict field isn't supported in compiled code yet (node ");
    if (s == Status::ok) s = appendDecimal(&c->message, node);
    if (s == Status::ok) s = appendText(&c->message, ")");
    return s == Status::ok ? Status::unsupported : s;
}

// A token's value is the parser's: tree.node(index).to_ast() asked now; a plain int is the
// language's int.
Status tokenValue(Emitter* e, uint32_t node, Shape* out) {
    Compiler* c = e->compiler;
    PyObject* tree = c->inputs ? c->inputs->treeObject : nullptr;
    if (!tree) return refuseConstruct(e, "a token's value without the program's tree");
    PyObject* object = PyObject_CallMethod(tree, "node", "I", unsigned(node));
    PyObject* value = object ? PyObject_CallMethod(object, "to_ast", nullptr) : nullptr;
    Py_XDECREF(object);
    if (!value) return Status::pythonError;
    Status s = fromPython(c, value, out);
    if (s == Status::ok && out->kind == ShapeKind::py) s = pinObject(c, value, nullptr);
    Py_DECREF(value);
    if (s == Status::ok && out->kind == ShapeKind::pint) out->kind = ShapeKind::int_;
    return s;
}

const llvmapi::Table& T = llvmapi::table;

constexpr uint64_t kNoChild = 0xFFFFFFFFu;
constexpr uint64_t kAtRunTime = 0xFFFFFFFEu;

// The label byte of the grammar's field of that name, or 0.
uint8_t labelNamed(const ptree::Index* tree, const char* name, size_t length) {
    const ptree::GrammarInfo* g = tree->grammar;
    if (!g) return 0;
    for (uint32_t i = 0; i < g->fieldCount && i < 255; i++)
        if (g->fields[i].length == length && memcmp(g->fields[i].data, name, length) == 0)
            return uint8_t(i + 1);
    return 0;
}

// The field table of a label: per node, its only child of that label, kNoChild, or
// kAtRunTime (a declared list, two or more children, or a child whose action makes a value).
// In the compiler's arena, so it lives as long as the code that reads it. Null when memory
// runs out.
uint64_t* fieldTable(Compiler* c, uint8_t label) {
    const ptree::Index* tree = c->tree;
    auto* words = takeArray<uint64_t>(c, tree->count);
    if (!words) return nullptr;
    for (uint32_t n = 0; n < tree->count; n++) {
        uint64_t word = labelIsList(tree, kindOfNode(tree, n), label) ? kAtRunTime : kNoChild;
        uint32_t end = childrenEnd(tree, n);
        for (uint32_t k = n + 1; word != kAtRunTime && k < end; k += tree->nodes[k].descendants + 1) {
            if (ptree::labelByte(tree->nodes[k]) != label) continue;
            uint8_t action = actionOf(tree, kindOfNode(tree, k));
            if (action == nodes::ActionDrop) continue;
            bool value = action >= nodes::ActionStr && action <= nodes::ActionFirst;
            word = value || word != kNoChild ? kAtRunTime : k;
        }
        words[n] = word;
    }
    return words;
}

// The kind-name table: per node, the address of the immortal str of its kind's name.
uint64_t* kindTable(Compiler* c) {
    const ptree::Index* tree = c->tree;
    const ptree::GrammarInfo* g = tree->grammar;
    auto* words = takeArray<uint64_t>(c, tree->count);
    if (!words || !g) return nullptr;
    for (uint32_t n = 0; n < tree->count; n++) {
        uint32_t k = kindOfNode(tree, n);
        const nodes::Name& name = k < g->kindCount ? g->kindNames[k] : nodes::Name{"", 0};
        value::Str* text = value::literal(name.data, name.length);
        if (!text) return nullptr;
        words[n] = uint64_t(uintptr_t(text));
    }
    return words;
}

// The table's word for the node value's payload, loaded from its key global.
Status tableWord(Emitter* e, uint64_t* words, bool strs, ValueRef index, ValueRef* out) {
    ModuleRecord* m = &e->compiler->module;
    KeyOrigin origin{{e->compiler->tree->count, strs ? 1u : 0u}, KeyOriginKind::words};
    ValueRef address;
    if (Status s = keyConstant(m, uint64_t(uintptr_t(words)), origin, &address); s != Status::ok)
        return s;
    openBlock(&e->builder);
    BuilderRef B = e->builder.builder;
    ValueRef base = T.LLVMBuildIntToPtr(B, address, m->ptr, "");
    ValueRef at = T.LLVMBuildInBoundsGEP2(B, m->i64, base, &index, 1, "");
    ValueRef word = T.LLVMBuildLoad2(B, m->i64, at, "");
    T.LLVMSetAlignment(word, 8);
    *out = word;
    return Status::ok;
}

// node.<name> through wn_getattr (the object released after), into the scratch slot.
Status genericRead(Emitter* e, int32_t site, const Operand& object, front::Text name,
                   Operand* out) {
    ValueRef text;
    if (Status s = literalGlobal(&e->compiler->module, name.data, size_t(name.length), &text);
        s != Status::ok)
        return s;
    ValueRef args[] = {e->runContext, siteValue(e, site), object.tag, object.payload, text,
                       e->scratch};
    ValueRef ok;
    if (Status s = callHelper(e, "wn_getattr", args, 6, &ok); s != Status::ok) return s;
    if (Status s = release(e, dynShape(object)); s != Status::ok) return s;
    if (Status s = checkOk(e, ok); s != Status::ok) return s;
    *out = loadOperand(e, e->scratch, KnownKind::unknown);
    return Status::ok;
}

// The fast path for node values (tag 11) joined with the generic read of anything else.
Status nodeOrGeneric(Emitter* e, int32_t site, const Operand& object, front::Text name,
                     uint64_t* words, bool strs, Operand* out) {
    Builder* b = &e->builder;
    const char* prefix = strs ? "kind" : "field";
    char names[4][24];
    const char* suffixes[4] = {"_node", "_known", "_other", "_got"};
    BasicBlockRef blocks[4];
    for (int i = 0; i < 4; i++) {
        snprintf(names[i], sizeof names[i], "%s%s", prefix, suffixes[i]);
        if (strs && i == 1) continue;  // the kind read needs no second test
        if (Status s = newBlock(b, names[i], &blocks[i]); s != Status::ok) return s;
    }
    BasicBlockRef node = blocks[0], other = blocks[2], got = blocks[3];
    condBr(b, icmp(b, llvmapi::IntEQ, object.tag, constI64(e, value::TagNodeIndex)), node, other);
    enter(b, node);
    ValueRef word;
    if (Status s = tableWord(e, words, strs, object.payload, &word); s != Status::ok) return s;
    ValueRef fastTag, fastPayload;
    BasicBlockRef fastFrom;
    if (strs) {
        fastTag = constI64(e, value::TagStr);
        fastPayload = word;
        fastFrom = node;
    } else {
        condBr(b, icmp(b, llvmapi::IntEQ, word, constI64(e, kAtRunTime)), other, blocks[1]);
        enter(b, blocks[1]);
        ValueRef absent = icmp(b, llvmapi::IntEQ, word, constI64(e, kNoChild));
        fastTag = T.LLVMBuildSelect(b->builder, absent, constI64(e, value::TagNone),
                                    constI64(e, value::TagNodeIndex), "");
        fastPayload = T.LLVMBuildSelect(b->builder, absent, constI64(e, 0), word, "");
        fastFrom = blocks[1];
    }
    br(b, got);
    enter(b, other);
    Operand slow;
    if (Status s = genericRead(e, site, object, name, &slow); s != Status::ok) return s;
    BasicBlockRef slowFrom = b->current;
    br(b, got);
    enter(b, got);
    ModuleRecord* m = &e->compiler->module;
    ValueRef tag = T.LLVMBuildPhi(b->builder, m->i64, "");
    ValueRef payload = T.LLVMBuildPhi(b->builder, m->i64, "");
    ValueRef tags[2] = {fastTag, slow.tag}, payloads[2] = {fastPayload, slow.payload};
    BasicBlockRef from[2] = {fastFrom, slowFrom};
    T.LLVMAddIncoming(tag, tags, from, 2);
    T.LLVMAddIncoming(payload, payloads, from, 2);
    *out = Operand{};
    out->tag = tag;
    out->payload = payload;
    out->functionNode = kNoFunctionNode;
    out->kind = KnownKind::unknown;
    return Status::ok;
}

}  // namespace

Status emitNodeField(Emitter* e, int32_t site, const Operand& object, front::Text name,
                     Operand* out) {
    Compiler* c = e->compiler;
    if (object.kind != KnownKind::unknown && object.kind != KnownKind::node)
        return genericRead(e, site, object, name, out);
    uint8_t label = labelNamed(c->tree, name.data, size_t(name.length));
    if (!label && name.length == 4 && memcmp(name.data, "kind", 4) == 0) {
        uint64_t* words = kindTable(c);
        if (!words) return Status::outOfMemory;
        return nodeOrGeneric(e, site, object, name, words, true, out);
    }
    if (!label) return genericRead(e, site, object, name, out);
    uint64_t* words = fieldTable(c, label);
    if (!words) return Status::outOfMemory;
    return nodeOrGeneric(e, site, object, name, words, false, out);
}

Status nodeChildrenWhenCompiling(Emitter* e, uint32_t node, Shape* out) {
    return childValues(e, node, false, 0, out);
}

Status nodeFieldWhenCompiling(Emitter* e, uint32_t node, Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    *out = Shape{};
    switch (actionOf(tree, kindOfNode(tree, node))) {
    case nodes::ActionNone:
    case nodes::ActionClass:
        out->kind = ShapeKind::node;
        out->node = node;
        return Status::ok;
    case nodes::ActionTrue:
    case nodes::ActionFalse:
        out->kind = ShapeKind::bool_;
        out->bool_ = actionOf(tree, kindOfNode(tree, node)) == nodes::ActionTrue;
        return Status::ok;
    case nodes::ActionNoneValue:
    case nodes::ActionDrop: *out = noneShape(); return Status::ok;
    case nodes::ActionList: return childValues(e, node, false, 0, out);
    case nodes::ActionTuple: {
        Shape list;
        if (Status s = childValues(e, node, false, 0, &list); s != Status::ok) return s;
        out->kind = ShapeKind::tuple;
        out->tuple.items = list.list->items;
        out->tuple.count = list.list->length;
        return Status::ok;
    }
    case nodes::ActionFirst: {
        Shape list;
        if (Status s = childValues(e, node, false, 0, &list); s != Status::ok) return s;
        *out = list.list->length ? list.list->items[0] : noneShape();
        return Status::ok;
    }
    case nodes::ActionDict: return dictFieldError(e->compiler, node);
    case nodes::ActionStr:
    case nodes::ActionInt:
    case nodes::ActionFloat:
    case nodes::ActionUnquote: return tokenValue(e, node, out);
    default: return refuseConstruct(e, "a node of an unknown action as a field");
    }
}

Status nodeFieldByName(Emitter* e, uint32_t node, uint8_t label, Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    Shape list;
    if (Status s = childValues(e, node, true, label, &list); s != Status::ok) return s;
    if (labelIsList(tree, kindOfNode(tree, node), label) || list.list->length >= 2) {
        *out = list;
        return Status::ok;
    }
    *out = list.list->length ? list.list->items[0] : noneShape();
    return Status::ok;
}

Status childWithLabel(Emitter* e, uint32_t node, uint8_t label, backend::List<uint32_t>* out) {
    *out = backend::List<uint32_t>{};
    if (label == 0) return Status::ok;
    const ptree::Index* tree = e->compiler->tree;
    uint8_t named = nameLabel(tree);
    uint32_t end = childrenEnd(tree, node);
    for (uint32_t k = node + 1; k < end; k += tree->nodes[k].descendants + 1) {
        if (ptree::labelByte(tree->nodes[k]) != label) continue;
        uint32_t picked = k;
        uint32_t symbol = tree->nodeSymbols ? tree->nodeSymbols[k] : ptree::kNone;
        bool declares = symbol != ptree::kNone && symbol < tree->symbolCount &&
                        tree->symbols[symbol].declaring == k;
        if (!declares && named) {
            uint32_t inner = childrenEnd(tree, k);
            for (uint32_t g = k + 1; g < inner; g += tree->nodes[g].descendants + 1)
                if (ptree::labelByte(tree->nodes[g]) == named) {
                    picked = g;
                    break;
                }
        }
        // Running out of memory is the compilation's failure: an empty list would compile a
        // function without its parameters.
        if (!out->push(picked)) {
            out->free();
            return Status::outOfMemory;
        }
    }
    return Status::ok;
}

Status parameterNodes(Emitter* e, uint32_t functionNode, uint8_t label,
                      backend::List<uint32_t>* out) {
    return childWithLabel(e, functionNode, label, out);
}

}  // namespace wuna::compile
