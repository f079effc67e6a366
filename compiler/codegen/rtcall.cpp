// rt.<m>(...) at its call site: the method's argument count checked, then whatever can be
// decided while compiling decided now (a known node's kind, text, span, scope, symbol and
// type are constants; rt.eval and rt.exec of a known node run its semantic inline); a node
// known at run time alone makes the call a method call on the run-time rt value. See lower.h.
#include <cstring>
#include <initializer_list>

#include "compiler/backend/compile_error.h"
#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "host/tree/grammar.h"
#include "host/tree/index.h"

namespace wuna::compile {

namespace {

// Each method's name, the positional arguments it takes in compiled code (Return: 0 or 1)
// and whether its first argument is a node; the order is the id.
struct MethodInfo {
    const char* name;
    uint8_t arguments;
    uint8_t nodeFirst;
};
constexpr MethodInfo kMethods[kRtMethodCount] = {
    {"eval", 1, 0},         {"exec", 1, 0},         {"loop", 1, 0},         {"load", 1, 1},
    {"store", 2, 1},        {"function", 1, 1},     {"call", 2, 0},         {"tail_call", 2, 0},
    {"error", 2, 0},        {"kind", 1, 1},         {"text", 1, 1},         {"span", 1, 1},
    {"scope", 1, 1},        {"symbol", 1, 1},       {"type_of", 1, 1},      {"node_at", 1, 1},
    {"fresh", 1, 0},        {"parse", 4, 0},        {"wrapping_add", 2, 0}, {"wrapping_sub", 2, 0},
    {"wrapping_mul", 2, 0}, {"wrapping_shl", 2, 0}, {"wrapping_shr", 2, 0}, {"wrapping_ushr", 2, 0},
    {"u8", 2, 0},           {"i8", 2, 0},           {"u16le", 2, 0},        {"u16be", 2, 0},
    {"i16le", 2, 0},        {"i16be", 2, 0},        {"u32le", 2, 0},        {"u32be", 2, 0},
    {"i32le", 2, 0},        {"i32be", 2, 0},        {"u64le", 2, 0},        {"u64be", 2, 0},
    {"i64le", 2, 0},        {"i64be", 2, 0},        {"Return", 1, 0},       {"Break", 0, 0},
    {"Continue", 0, 0},
};

bool countFits(RtMethod m, uint32_t count) {
    uint8_t wanted = kMethods[uint8_t(m)].arguments;
    return m == RtMethod::return_ ? count <= wanted : count == wanted;
}

bool takesNodeFirst(RtMethod m) { return kMethods[uint8_t(m)].nodeFirst != 0; }

// The compile error of the call: the location prefix at the call, then the pieces.
Status messageAt(Emitter* e, front::Position at, std::initializer_list<const char*> pieces) {
    front::Position saved = e->position;
    e->position = at;
    Status s = beginConstructError(e);
    e->position = saved;
    for (const char* piece : pieces)
        if (s == Status::ok) s = appendText(&e->compiler->message, piece);
    return s == Status::ok ? Status::unsupported : s;
}

Status strShape(Emitter* e, const char* data, size_t length, Shape* out) {
    char* copy = static_cast<char*>(take(e->compiler, length + 1));
    if (!copy) return Status::outOfMemory;
    memcpy(copy, data, length);
    *out = Shape{};
    out->kind = ShapeKind::str;
    out->str.data = copy;
    out->str.length = length;
    return Status::ok;
}

Status kindOf(Emitter* e, uint32_t node, Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    const ptree::GrammarInfo* g = tree->grammar;
    uint32_t k = ptree::kindOf(tree->nodes[node]);
    if (!g || k >= g->kindCount) return strShape(e, "", 0, out);
    return strShape(e, g->kindNames[k].data, g->kindNames[k].length, out);
}

Status textOf(Emitter* e, uint32_t node, Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    uint64_t length = tree->textLength;
    uint64_t start = tree->nodes[node].start < length ? tree->nodes[node].start : length;
    uint64_t end = tree->nodes[node].end;
    if (end < start) end = start;
    if (end > length) end = length;
    return strShape(e, tree->text + start, size_t(end - start), out);
}

Status spanOf(Emitter* e, uint32_t node, Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    Shape* items = takeArray<Shape>(e->compiler, 2);
    if (!items) return Status::outOfMemory;
    items[0].kind = items[1].kind = ShapeKind::pint;
    items[0].int_ = tree->nodes[node].start;
    items[1].int_ = tree->nodes[node].end;
    *out = Shape{};
    out->kind = ShapeKind::tuple;
    out->tuple.items = items;
    out->tuple.count = 2;
    return Status::ok;
}

Status scopeOfNode(Emitter* e, uint32_t node, Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    *out = noneShape();
    uint32_t symbol = tree->nodeSymbols ? tree->nodeSymbols[node] : ptree::kNone;
    if (symbol == ptree::kNone || symbol >= tree->symbolCount) return Status::ok;
    uint32_t scope = tree->symbols[symbol].scope;
    if (scope == ptree::kNone || scope >= tree->count) return Status::ok;
    out->kind = ShapeKind::node;
    out->node = scope;
    return Status::ok;
}

// rt.symbol / rt.type_of: the analysis asked now; None without rules.
Status askAnalysis(Emitter* e, uint32_t node, const char* method, Shape* out) {
    Compiler* c = e->compiler;
    PyObject* analysis = c->inputs ? c->inputs->analysis : nullptr;
    *out = noneShape();
    if (!analysis) return Status::ok;
    PyObject* result = PyObject_CallMethod(analysis, method, "I", unsigned(node));
    if (!result) return Status::pythonError;
    Status s = fromPython(c, result, out);
    if (s == Status::ok && out->kind == ShapeKind::py) s = pinObject(c, result, nullptr);
    Py_DECREF(result);
    return s;
}

Status nodeAt(Emitter* e, const Shape& index, front::Position at, Shape* out) {
    const ptree::Index* tree = e->compiler->tree;
    bool isInt = index.kind == ShapeKind::int_ || index.kind == ShapeKind::pint;
    // An index naming no node of the tree is never read with: the run-time call words the
    // failure as the reference mode does.
    if (!isInt || index.int_ < 0 || uint64_t(index.int_) >= tree->count)
        return messageAt(e, at, {"rt.node_at's index must be known when compiling"});
    *out = Shape{};
    out->kind = ShapeKind::node;
    out->node = uint32_t(index.int_);
    return Status::ok;
}

// rt.error(node, message): a run-time failure with exactly that text at that node.
Status rtError(Emitter* e, Semantic* s, Shape* args, front::Position at, Shape* out) {
    int32_t site = s ? s->site : currentSite(e);
    if (args[0].kind == ShapeKind::node)
        site = int32_t(args[0].node);
    else if (args[0].kind != ShapeKind::none)
        return messageAt(e, at, {"rt.error's node must be known when compiling"});
    if (args[1].kind != ShapeKind::str)
        return messageAt(e, at, {"rt.error's message must be known when compiling (for now)"});
    *out = noneShape();
    return failWithText(e, site, args[1].str.data, size_t(args[1].str.length));
}

Status control(Emitter* e, RtMethod m, Shape* args, uint32_t count, Shape* out) {
    *out = Shape{};
    out->kind = ShapeKind::control;
    out->control.method = uint8_t(m);
    if (count == 1) {
        Shape* copy = takeArray<Shape>(e->compiler, 1);
        if (!copy) return Status::outOfMemory;
        *copy = args[0];
        out->control.argument = copy;
    }
    return Status::ok;
}

// rt.<m>(...) with a node known at run time only: the method of that name on the run-time
// rt value.
Status runTimeCall(Emitter* e, Semantic* s, RtMethod m, Shape* args, uint32_t count,
                   front::Position at, Shape* out) {
    Shape rt{};
    rt.kind = ShapeKind::rt;
    Operand o;
    if (Status err = materialize(e, rt, s ? s->site : currentSite(e), &o); err != Status::ok)
        return err;
    Shape receiver = dynShape(o);
    const char* name = kMethods[uint8_t(m)].name;
    front::Text text{name, uint32_t(strlen(name))};
    return emitMethodCall(e, s, &receiver, text, args, count, nullptr, 0, nullptr, at, out);
}

}  // namespace

const char* rtMethodName(uint8_t id) {
    id &= 0x3F;
    return id < kRtMethodCount ? kMethods[id].name : "?";
}

bool rtMethodByName(const char* name, size_t length, uint8_t* id) {
    for (uint8_t i = 0; i < kRtMethodCount; i++)
        if (strlen(kMethods[i].name) == length && memcmp(kMethods[i].name, name, length) == 0) {
            *id = i;
            return true;
        }
    return false;
}

Status valueOrDefault(Emitter* e, llvmapi::ValueRef pointer, const Shape& fallback, Operand* out) {
    const llvmapi::Table& T = llvmapi::table;
    Builder* b = &e->builder;
    ModuleRecord* m = &e->compiler->module;
    llvmapi::ValueRef slot = valueSlot(e);
    llvmapi::BasicBlockRef given, notGiven, got;
    if (Status err = newBlock(b, "given", &given); err != Status::ok) return err;
    if (Status err = newBlock(b, "not_given", &notGiven); err != Status::ok) return err;
    if (Status err = newBlock(b, "got", &got); err != Status::ok) return err;
    openBlock(b);
    llvmapi::ValueRef address = T.LLVMBuildPtrToInt(b->builder, pointer, m->i64, "");
    condBr(b, icmp(b, llvmapi::IntEQ, address, constI64(e, 0)), notGiven, given);
    enter(b, given);
    Operand held = loadOperand(e, pointer, KnownKind::unknown);
    if (Status err = addReference(e, &held); err != Status::ok) return err;
    if (Status err = storeOperand(e, slot, &held); err != Status::ok) return err;
    br(b, got);
    enter(b, notGiven);
    Operand made;
    if (Status err = materialize(e, fallback, kCallSiteSite, &made); err != Status::ok) return err;
    if (Status err = storeOperand(e, slot, &made); err != Status::ok) return err;
    br(b, got);
    enter(b, got);
    *out = loadOperand(e, slot, KnownKind::unknown);
    return Status::ok;
}

Status emitRtCall(Emitter* e, Semantic* s, RtMethod method, Shape* args, uint32_t count,
                  Shape* receiver, front::Position at, Shape* out, const Shape* code) {
    if (!countFits(method, count)) {
        char digit[2] = {char('0' + kMethods[uint8_t(method)].arguments), 0};
        return messageAt(
            e, at, {"rt.", kMethods[uint8_t(method)].name, "() takes ", digit, " arguments here"});
    }
    *out = noneShape();
    if (takesNodeFirst(method) && args[0].kind == ShapeKind::dyn)
        return runTimeCall(e, s, method, args, count, at, out);
    uint32_t node = 0;
    if (takesNodeFirst(method) && method != RtMethod::nodeAt)
        if (Status err = knownNode(e, args[0], &node); err != Status::ok) return err;
    switch (method) {
    case RtMethod::eval: return emitRtEval(e, s, &args[0], out);
    case RtMethod::exec: return emitRtExec(e, &args[0]);
    case RtMethod::loop: return emitRtLoop(e, s, &args[0], out);
    case RtMethod::load: return emitRtLoad(e, s, node, out);
    case RtMethod::store: return emitRtStore(e, node, &args[1]);
    case RtMethod::function: return emitRtFunction(e, s, node, out);
    case RtMethod::call: return callKnown(e, s, &args[0], &args[1], receiver, false, out);
    case RtMethod::tailCall: return emitRtTailCall(e, s, &args[0], &args[1], receiver);
    case RtMethod::error:
        // wn_fail carries no code: dropping it would make another Error than the reference
        // mode's.
        if (code && code->kind != ShapeKind::none)
            return refuseConstruct(e, "rt.error with a code");
        return rtError(e, s, args, at, out);
    case RtMethod::kind: return kindOf(e, node, out);
    case RtMethod::text: return textOf(e, node, out);
    case RtMethod::span: return spanOf(e, node, out);
    case RtMethod::scope: return scopeOfNode(e, node, out);
    case RtMethod::symbol: return askAnalysis(e, node, "resolve", out);
    case RtMethod::typeOf: return askAnalysis(e, node, "type_of", out);
    case RtMethod::nodeAt: return nodeAt(e, args[0], at, out);
    case RtMethod::fresh: {
        if (Status err = knownNode(e, args[0], &node); err != Status::ok) return err;
        return emitRtFresh(e, s, node);
    }
    case RtMethod::parse: return emitRtParse(e, s, args[0], &args[1], args[2], args[3], at, out);
    case RtMethod::return_:
    case RtMethod::break_:
    case RtMethod::continue_: return control(e, method, args, count, out);
    default:
        if (uint8_t(method) >= uint8_t(RtMethod::wrappingAdd) &&
            uint8_t(method) <= uint8_t(RtMethod::wrappingUshr))
            return emitWrapping(e, s, uint8_t(uint8_t(method) - uint8_t(RtMethod::wrappingAdd)),
                                &args[0], &args[1], out);
        return emitByteRead(e, s, uint8_t(uint8_t(method) - uint8_t(RtMethod::u8)), &args[0],
                            &args[1], out);
    }
}

}  // namespace wuna::compile
