// Nested functions of a semantic. A direct call of one by name is planned like any helper
// call. A nested function that shares variables with the functions around it (a frame
// closure: used as a value, writing a captured name with `nonlocal`, or reading a variable
// that lives in a frame) receives the frame of the function it is defined in as its last
// argument and reaches what it captures through that frame; any other receives the captured
// values themselves as arguments, so that one which only reads them is inlined with those
// values.
//
// A nested function used as a value becomes a run-time function value (tag 15) made by
// wn_closure: the code of one out-of-line specialisation of the function for unknown
// arguments (symbol letter "l", shared by every value of that function in the module), the
// captured frame, and a descriptor with the function's qualified name and parameter names,
// which the runtime words its arity errors with, as Python does. The runtime calls that code
// with the arguments followed by the frame (a value of tag TagCaptured), the same convention
// a call of the function by name uses, so the two calls share their specialisations.
//
// The out-of-line call of the function whose guard is inlined is the out-of-line lowering's.
#include <cstdlib>
#include <cstring>

#include "compiler/codegen/calls_shared.h"
#include "wuna/runtime/value.h"

namespace wuna::compile {

namespace {

using calls::keepLive;
using calls::LiveMark;

const llvmapi::Table& T = llvmapi::table;

// The parameters of an out-of-line specialisation's function, as the runtime calls it:
// (ctx, rt payload or null, arguments, site, rt detail, receiver, extra arguments, result).
constexpr unsigned kSpecParams = 8;

// A copy of the text in the compiler's arena: the loaded code reads it for as long as the
// compiler lives, longer than the front end's reading may. False when memory runs out.
bool keepText(Compiler* c, front::Text text, value::Text* out) {
    char* copy = takeArray<char>(c, text.length ? text.length : 1);
    if (!copy) return false;
    if (text.length) memcpy(copy, text.data, text.length);
    *out = value::Text{copy, text.length};
    return true;
}

// What a function value of f knows of itself: its qualified name (the name Python's call
// errors give since 3.10) and the names of its declared parameters, the frame argument left
// out. ok or outOfMemory.
Status closureDescriptor(Compiler* c, const front::FunctionIR* f,
                         const value::ClosureDescriptor** out) {
    auto* d = takeArray<value::ClosureDescriptor>(c, 1);
    uint32_t n = f->captureBase;
    auto* params = takeArray<value::Text>(c, n ? n : 1);
    if (!d || !params) return Status::outOfMemory;
    front::Text name = f->qualname.length ? f->qualname : f->name;
    if (!keepText(c, name, &d->name)) return Status::outOfMemory;
    for (uint32_t i = 0; i < n && i < f->locals.count; i++)
        if (!keepText(c, f->locals.items[i], &params[i])) return Status::outOfMemory;
    d->params = params;
    d->paramCount = n;
    *out = d;
    return Status::ok;
}

// The specialisation a function value of f runs: every argument unknown, no argument flags,
// no receiver, not an entry form. One already listed is reused; else a new one is named with
// the letter "l" and queued for compiling.
Status closureSpec(Emitter* e, front::FunctionIR* f, uint32_t n, HelperSpec** out) {
    Compiler* c = e->compiler;
    for (size_t i = 0; i < c->helpers.count; i++) {
        HelperSpec* h = c->helpers[i];
        if (h->function != f || h->argumentCount != n || h->argumentFlags || h->entryForm ||
            h->receiver)
            continue;
        bool unknown = true;
        for (uint32_t k = 0; k < n && unknown; k++) unknown = h->shapes[k].kind == ShapeKind::dyn;
        if (!unknown) continue;
        *out = h;
        return Status::ok;
    }
    Shape* shapes = takeArray<Shape>(c, n ? n : 1);
    if (!shapes) return Status::outOfMemory;
    for (uint32_t k = 0; k < n; k++) shapes[k].kind = ShapeKind::dyn;
    return queueSpecialisation(e, f, shapes, n, SpecLetter::lambda, out);
}

// f as a value: wn_closure of its specialisation's code, its descriptor and the frame it
// captures (null when it reads nothing through one).
Status closureValue(Emitter* e, Semantic* s, front::FunctionIR* f, Shape* out) {
    Compiler* c = e->compiler;
    ModuleRecord* m = &c->module;
    // The front end makes every nested function read as a value a frame closure.
    if (!f->frameClosure) return refuseConstruct(e, "a nested function value without its frame");
    ValueRef frame = nullptr;
    bool found = false;
    if (Status err = emitOuterFrame(e, s, f, &frame, &found); err != Status::ok) return err;
    HelperSpec* spec;
    if (Status err = closureSpec(e, f, f->paramCount, &spec); err != Status::ok) return err;
    TypeRef params[kSpecParams] = {m->ptr, m->ptr, m->ptr, m->i32, m->i32, m->ptr, m->ptr, m->ptr};
    FunctionRef code;
    if (Status err = declareFunction(m, spec->symbol, spec->symbolLength, m->i32, params,
                                     kSpecParams, DeclareExported, &code);
        err != Status::ok)
        return err;
    const value::ClosureDescriptor* descriptor;
    if (Status err = closureDescriptor(c, f, &descriptor); err != Status::ok) return err;
    uint64_t key = uint64_t(uintptr_t(descriptor));
    ValueRef identity;
    if (Status err = keyConstant(m, key, KeyOrigin{{key, 0}, KeyOriginKind::closureCode},
                                 &identity);
        err != Status::ok)
        return err;
    openBlock(&e->builder);
    ValueRef args[6] = {e->runContext, siteValue(e, s->site), identity,
                        found ? frame : T.LLVMConstNull(m->ptr), code.function, e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_closure", args, 6, &ok); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

Status nestedCall(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    front::FunctionIR* f = expr->nestedCall.function;
    const front::ExprList& arguments = expr->nestedCall.arguments;
    // The front end passes the call's own arguments, a None for the unnamed slot, then the
    // captured locals' values. A frame closure takes its own arguments and the frame instead.
    uint64_t given = arguments.count;
    if (f->frameClosure) {
        if (arguments.count < 1 + f->captured.count)
            return refuseConstruct(e, "a call of a nested function without its captured names");
        given = arguments.count - 1 - f->captured.count;
    }
    uint64_t count = f->frameClosure ? given + 1 : given;
    Shape* args = takeArray<Shape>(e->compiler, count ? count : 1);
    if (!args) return Status::outOfMemory;
    LiveMark live(e);
    for (uint64_t i = 0; i < given; i++) {
        if (arguments.items[i]->kind == front::ExprKind::starred)
            return refuseConstruct(e, "a starred argument to a nested function");
        if (Status err = emitExpr(e, s, arguments.items[i], &args[i]); err != Status::ok)
            return err;
        if (Status err = keepLive(e, args[i]); err != Status::ok) return err;
    }
    if (f->frameClosure)
        if (Status err = emitOuterFrameArg(e, s, f, &args[count - 1]); err != Status::ok)
            return err;
    live.cut();
    return callPlanned(e, s, f, args, count, out);
}

}  // namespace

Status listSpecialisation(Compiler* c, const front::FunctionIR* helper, Shape* keys,
                          uint64_t count, uint8_t* flags, PyObject* origin, SpecLetter letter,
                          HelperSpec** out) {
    auto* spec = static_cast<HelperSpec*>(calloc(1, sizeof(HelperSpec)));
    if (!spec) return Status::outOfMemory;
    spec->function = helper;
    spec->shapes = keys;
    spec->argumentCount = count;
    // The flags are part of the key the name is made from: set before naming.
    spec->argumentFlags = flags;
    spec->flagCount = flags ? count : 0;
    spec->origin = origin;
    if (helperName(c, letter, spec) != Status::ok) {
        free(spec);
        return Status::outOfMemory;
    }
    if (!c->helpers.push(spec)) {
        free(spec->symbol);
        free(spec);
        return Status::outOfMemory;
    }
    *out = spec;
    return Status::ok;
}

Status queueSpecialisation(Emitter* e, const front::FunctionIR* helper, Shape* keys,
                           uint64_t count, SpecLetter letter, HelperSpec** out) {
    Compiler* c = e->compiler;
    PyObject* origin = e->helperOrigin;
    if (!origin && e->semantics.count && e->semantics[0]->function)
        origin = e->semantics[0]->function->function;
    HelperSpec* spec;
    if (Status s = listSpecialisation(c, helper, keys, count, nullptr, origin, letter, &spec);
        s != Status::ok)
        return s;
    if (!c->helperWorklist.push(spec)) return Status::outOfMemory;
    *out = spec;
    return Status::ok;
}

Status emitClosure(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out) {
    e->position = expr->position;
    switch (expr->kind) {
    case front::ExprKind::nestedCall:
        return nestedCall(e, s, expr, out);
    case front::ExprKind::closure:
        return closureValue(e, s, expr->closure, out);
    case front::ExprKind::outOfLine:
        return emitOutOfLineSelfCall(e, s, expr, out);
    default:
        return refuseConstruct(e, "this expression as a nested function");
    }
}

}  // namespace wuna::compile
