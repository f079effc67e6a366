// Running semantics from compiled code, and the shared crossings into Python (see run.h).
#include "wuna/runtime/helpers/run.h"

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/bridge.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/value.h"

namespace wuna::bridge {

using helpers::Ctx;
using value::Value;

CompilerApi compilerApi;

namespace {

constexpr gil::Location kContextAt{"runtime", "bridge", "wn_context", 1790, 16};
constexpr gil::Location kRuntimeAt{"runtime", "bridge", "wn_runtime", 1100, 18};
constexpr gil::Location kPySemanticAt{"runtime", "bridge", "wn_py_semantic", 397, 18};

// ---- The node code table and the thunk map ---------------------------------------------------

// The module's table, made zero-filled on first use and published by compare-and-swap: a
// thread that loses the race frees its own and takes the winner's. Null when memory runs out.
NodeEntry* nodeTable(ModuleTables* t, uint64_t nodeCount) {
    NodeEntry* nodes = t->nodes.load(std::memory_order_acquire);
    if (nodes) return nodes;
    if (nodeCount >= (uint64_t(1) << 59)) return nullptr;
    auto* made = static_cast<NodeEntry*>(
        std::calloc(nodeCount ? 2 * nodeCount : 1, sizeof(NodeEntry)));
    if (!made) return nullptr;
    NodeEntry* expected = nullptr;
    if (t->nodes.compare_exchange_strong(expected, made, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
        return made;
    std::free(made);
    return expected;
}

uint64_t thunkHash(uint32_t node, uint32_t exec, int32_t scope) {
    uint64_t h = (uint64_t(node) << 1 | exec) * 0x9E3779B97F4A7C15ull;
    return (h ^ uint32_t(scope)) * 0xBF58476D1CE4E5B9ull;
}

ThunkSlot* thunkSlot(ThunkSlot* slots, uint64_t capacity, uint32_t node, uint32_t exec,
                     int32_t scope) {
    uint64_t mask = capacity - 1;
    for (uint64_t i = thunkHash(node, exec, scope) & mask;; i = (i + 1) & mask) {
        ThunkSlot* s = &slots[i];
        if (!s->used || (s->node == node && s->exec == exec && s->scope == scope)) return s;
    }
}

// Room for one more thunk (grown at 80% load); false when memory runs out.
bool thunkRoom(ModuleTables* t) {
    if (t->thunkCapacity && (t->thunkCount + 1) * 5 <= t->thunkCapacity * 4) return true;
    uint64_t capacity = t->thunkCapacity ? t->thunkCapacity * 2 : 64;
    auto* slots = static_cast<ThunkSlot*>(std::calloc(capacity, sizeof(ThunkSlot)));
    if (!slots) return false;
    for (uint64_t i = 0; i < t->thunkCapacity; i++) {
        ThunkSlot& s = t->thunks[i];
        if (s.used) *thunkSlot(slots, capacity, s.node, s.exec, s.scope) = s;
    }
    std::free(t->thunks);
    t->thunks = slots;
    t->thunkCapacity = capacity;
    return true;
}

// The thunk of (node, exec, scope): from the map, else compiled and kept there. Null with a
// Python exception. The lock held, the depth raised by the caller.
ThunkRecord* thunkFor(Ctx* ctx, ModuleTables* t, uint32_t node, bool exec, int32_t scope) {
    if (t->thunkCapacity) {
        ThunkSlot* s = thunkSlot(t->thunks, t->thunkCapacity, node, exec, scope);
        if (s->used) return s->record;
    }
    if (!compilerApi.thunk) {
        PyErr_SetString(PyExc_RuntimeError,
                        "wuna: compiled code of a node is not available in this build");
        return nullptr;
    }
    ThunkCode code = compilerApi.thunk(ctx->run->module, node, exec, scope);
    if (!code) return nullptr;
    auto* record = static_cast<ThunkRecord*>(std::malloc(sizeof(ThunkRecord)));
    if (!record || !thunkRoom(t)) {
        std::free(record);
        PyErr_NoMemory();
        return nullptr;
    }
    *record = {code, scope};
    *thunkSlot(t->thunks, t->thunkCapacity, node, exec, scope) = {node, exec, scope, 1, record};
    t->thunkCount++;
    return record;
}

void failText(Ctx* ctx, int32_t site, const char* text) {
    helpers::fail(ctx, site, text, std::strlen(text));
}

// ---- Running values -------------------------------------------------------------------------

RunStatus runValue(Ctx* ctx, RunMode mode, int32_t site, Value x, value::Frame** slot,
                   int32_t scope, Value* out);

// A failed item leaves nothing in the out slot: the failure is the answer.
RunStatus failedWith(Value* out, Value item) {
    value::decref(item);
    *out = Value::none();
    return RunStatus::failed;
}

// Exec or loop over the items of a list or tuple, in place. The container is held while the
// items run: a semantic may drop the last other reference to it, or (a list) change it, so
// its count and items are read again for every item.
RunStatus runItems(Ctx* ctx, int32_t site, Value x, value::Frame** slot, int32_t scope,
                   bool loop, Value* out) {
    value::incref(x);
    RunStatus status = RunStatus::done;
    for (uint64_t i = 0;; i++) {
        uint64_t count = x.tag == value::TagList ? x.as<value::List>()->count
                                                 : x.as<value::Tuple>()->count;
        if (i >= count) break;
        Value item = x.tag == value::TagList ? x.as<value::List>()->items[i]
                                             : x.as<value::Tuple>()->items()[i];
        value::incref(item);  // the item may leave a list while it runs
        Value tmp = Value::none();
        status = runValue(ctx, RunMode::exec, site, item, slot, scope, &tmp);
        value::decref(item);
        if (status == RunStatus::done) {
            value::decref(tmp);
            continue;
        }
        if (status == RunStatus::failed) {
            failedWith(out, tmp);
        } else {
            *out = tmp;
        }
        break;
    }
    value::decref(x);
    if (status == RunStatus::done && loop) *out = Value::boolean(true);
    return status;
}

// Eval of the items of a list or tuple into a new list.
RunStatus evalItems(Ctx* ctx, int32_t site, Value x, value::Frame** slot, int32_t scope,
                    Value* out) {
    uint64_t count =
        x.tag == value::TagList ? x.as<value::List>()->count : x.as<value::Tuple>()->count;
    value::List* result = value::newList(count);
    if (!result) {
        helpers::failOutOfMemory(ctx, site);
        return RunStatus::failed;
    }
    Value made = Value::of(value::TagList, result);
    value::incref(x);
    RunStatus status = RunStatus::done;
    for (uint64_t i = 0;; i++) {
        count = x.tag == value::TagList ? x.as<value::List>()->count
                                        : x.as<value::Tuple>()->count;
        if (i >= count) break;
        Value item = x.tag == value::TagList ? x.as<value::List>()->items[i]
                                             : x.as<value::Tuple>()->items()[i];
        value::incref(item);
        Value tmp = Value::none();
        status = runValue(ctx, RunMode::eval, site, item, slot, scope, &tmp);
        value::decref(item);
        if (status == RunStatus::done) {
            if (value::listAppend(result, tmp)) continue;
            value::decref(tmp);
            helpers::failOutOfMemory(ctx, site);
            status = RunStatus::failed;
            break;
        }
        if (status == RunStatus::failed)
            failedWith(out, tmp);
        else
            *out = tmp;
        break;
    }
    value::decref(x);
    if (status == RunStatus::done)
        *out = made;
    else
        value::decref(made);
    return status;
}

RunStatus runValue(Ctx* ctx, RunMode mode, int32_t site, Value x, value::Frame** slot,
                   int32_t scope, Value* out) {
    *out = Value::none();
    if (x.tag == value::TagNodeIndex) {
        RunStatus status = runNode(ctx, mode != RunMode::eval, uint32_t(x.payload), slot, scope, out);
        if (status == RunStatus::failed) return failedWith(out, *out);
        if (mode != RunMode::loop) return status;
        if (status == RunStatus::done || status == RunStatus::continued ||
            status == RunStatus::broke) {
            value::decref(*out);
            *out = Value::boolean(status != RunStatus::broke);
            return RunStatus::done;
        }
        return status;
    }
    if (x.tag == value::TagList || x.tag == value::TagTuple) {
        if (mode == RunMode::eval) return evalItems(ctx, site, x, slot, scope, out);
        return runItems(ctx, site, x, slot, scope, mode == RunMode::loop, out);
    }
    if (mode == RunMode::eval) {
        value::incref(x);
        *out = x;
    } else if (mode == RunMode::loop) {
        *out = Value::boolean(true);
    }
    return RunStatus::done;
}

// The semantic's eval result as a value: an exact int is checked as the language's int (an
// int beyond 64 bits fails with "integer overflow", as in the reference mode), and a plain
// int that comes back is the language's int. result consumed.
RunStatus semanticResult(Ctx* ctx, int32_t node, PyObject* result, Value* out) {
    result = checkedIntResult(result);
    if (!result) return pythonStatus(ctx, node, out);
    Value v = Value::none();
    int rc = convert::convert(result, Py_REFCNT(result) == 1, &v);
    Py_DECREF(result);
    if (rc < 0) return pythonStatus(ctx, node, out);
    if (v.tag == value::TagPint) v.tag = value::TagInt;
    *out = v;
    return RunStatus::done;
}

RunStatus pySemantic(Ctx* ctx, bool exec, uint32_t node, value::Frame** slot, int32_t scope,
                     Value* out) {
    int32_t site = int32_t(node);
    helpers::claimAt(&kPySemanticAt, site, nullptr);
    *out = Value::none();
    if (reporting(ctx)) {
        TallyText text;
        text.add("py_semantic");
        countCrossing(ctx, text);
    }
    helpers::RunRecord* run = ctx->run;
    PyObject* fn = run && run->semantic ? run->semantic(run->userData, node, exec) : nullptr;
    if (!fn) {
        if (PyErr_Occurred()) return pythonStatus(ctx, site, out);
        failText(ctx, site, "no semantics for this node");
        return RunStatus::failed;
    }
    Py_INCREF(fn);  // the call may change the language's tables
    PyObject* nodeObject = ctx->conversion.node
                               ? ctx->conversion.node(ctx->conversion.userData, node)
                               : nullptr;
    PyObject* rt = nodeObject ? newRuntime(ctx, slot, scope, site, nullptr) : nullptr;
    if (!rt) {
        Py_XDECREF(nodeObject);
        Py_DECREF(fn);
        return pythonStatus(ctx, site, out);
    }
    PyObject* result = PyObject_CallFunctionObjArgs(fn, nodeObject, rt, nullptr);
    RunStatus status = RunStatus::done;
    if (!result) {
        status = pythonStatus(ctx, site, out);
        if (status == RunStatus::failed) wn_exc_wrap(ctx);
    } else if (!exec) {
        // A value the semantic's result can't be (an int beyond 64 bits) fails as a raised
        // exception does: the run's Error, as the reference mode wraps it.
        status = semanticResult(ctx, site, result, out);
        if (status == RunStatus::failed) wn_exc_wrap(ctx);
    } else {
        Py_DECREF(result);
    }
    // A CompiledRuntime that Python kept refuses to work from here on.
    reinterpret_cast<RuntimeObject*>(rt)->ctx = nullptr;
    Py_DECREF(rt);
    Py_DECREF(nodeObject);
    Py_DECREF(fn);
    return status;
}

}  // namespace

PyObject* newRuntime(Ctx* ctx, value::Frame** frameSlot, int32_t scope, int32_t node,
                     value::Frame* frame) {
    PyTypeObject* type = runtime::hostApi.compiledRuntimeType;
    if (!type) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: CompiledRuntime needs the wuna module");
        return nullptr;
    }
    PyObject* made = type->tp_alloc(type, 0);
    if (!made) return nullptr;
    auto* o = reinterpret_cast<RuntimeObject*>(made);
    o->ctx = ctx;
    o->scope = scope;
    o->node = node;
    o->frame = frame;
    o->frameSlot = frameSlot;
    if (frame) {
        if (frame->h.count < value::kImmortal) frame->h.count++;
        o->frameSlot = &o->frame;
    }
    return made;
}

namespace {

// toPython of an rt value (tag 12): a new CompiledRuntime of the calling thread's current run,
// over the value's frame and scope.
PyObject* runtimeObject(Value v) {
    Ctx* ctx = helpers::currentCtx();
    if (!ctx) {
        PyErr_SetString(PyExc_RuntimeError, "an rt outside the run it belongs to");
        return nullptr;
    }
    auto* frame = reinterpret_cast<value::Frame*>(uintptr_t(v.payload));
    return newRuntime(ctx, nullptr, int32_t(uint32_t(v.tag >> 32)), -1, frame);
}

[[maybe_unused]] const bool installed = [] {
    convert::hooks.runtime = runtimeObject;
    return true;
}();

}  // namespace

RunStatus runNode(Ctx* ctx, bool exec, uint32_t node, value::Frame** slot, int32_t scope,
                  Value* out) {
    int32_t site = int32_t(node);
    helpers::RunRecord* run = ctx->run;
    ModuleTables* t = run ? run->tables : nullptr;
    if (!t || node >= run->nodeCount) {
        failText(ctx, site, "wuna: a node ran outside its compiled module (a wuna bug)");
        return RunStatus::failed;
    }
    NodeEntry* nodes = nodeTable(t, run->nodeCount);
    if (!nodes) {
        helpers::failOutOfMemory(ctx, site);
        return RunStatus::failed;
    }
    NodeEntry* entry = &nodes[2 * uint64_t(node) + (exec ? 1 : 0)];
    ThunkRecord* record = entry->code.load(std::memory_order_acquire);
    if (record && record->scope == scope) return RunStatus(record->code(ctx, *slot, out));
    if (entry->python.load(std::memory_order_acquire))
        return pySemantic(ctx, exec, node, slot, scope, out);
    if (!compilerApi.capturedScope || !compilerApi.capturedScope(run->module, node)) {
        // Looking the semantic up is no crossing of the program.
        gil::Record* r = gil::enter();
        PyObject* fn = run->semantic ? run->semantic(run->userData, node, exec) : nullptr;
        PyErr_Clear();
        bool python =
            fn && (!compilerApi.runsAsPython || compilerApi.runsAsPython(run->module, node, exec));
        gil::leave(r);
        if (python) {
            entry->python.store(1, std::memory_order_release);
            return pySemantic(ctx, exec, node, slot, scope, out);
        }
    }
    // Compiling is no crossing either.
    gil::Record* r = gil::enter();
    record = thunkFor(ctx, t, node, exec, scope);
    if (!record) {
        RunStatus status = pythonStatus(ctx, site, out);
        gil::leave(r);
        return status;
    }
    gil::leave(r);
    // The record is whole before the pointer to it is stored (release): a reader on another
    // thread sees the old record or this one, never a mix.
    entry->code.store(record, std::memory_order_release);
    return RunStatus(record->code(ctx, *slot, out));
}

Control pendingControl() {
    PyObject* type = PyErr_Occurred();
    if (!type) return Control::none;
    const runtime::HostApi& api = runtime::hostApi;
    if (api.returnClass && PyErr_GivenExceptionMatches(type, api.returnClass))
        return Control::returned;
    if (api.breakClass && PyErr_GivenExceptionMatches(type, api.breakClass)) return Control::broke;
    if (api.continueClass && PyErr_GivenExceptionMatches(type, api.continueClass))
        return Control::continued;
    if (api.tailCallClass && PyErr_GivenExceptionMatches(type, api.tailCallClass))
        return Control::tail;
    return Control::none;
}

PyObject* takeControlValue() {
    PendingError jump;
    jump.take();
    if (!jump.exception) return Py_NewRef(Py_None);
    PyObject* args = PyObject_GetAttrString(jump.exception, "args");
    jump.drop();
    if (!args) return nullptr;
    PyObject* result = PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0
                           ? Py_NewRef(PyTuple_GET_ITEM(args, 0))
                           : Py_NewRef(Py_None);
    Py_DECREF(args);
    return checkedIntResult(result);
}

RunStatus pythonStatus(Ctx* ctx, int32_t site, Value* out) {
    switch (pendingControl()) {
    case Control::returned: {
        PyObject* carried = takeControlValue();
        if (!carried) break;
        Value v = Value::none();
        int rc = convert::convert(carried, Py_REFCNT(carried) == 1, &v);
        Py_DECREF(carried);
        if (rc < 0) break;
        if (v.tag == value::TagPint) v.tag = value::TagInt;
        value::decref(*out);
        *out = v;
        return RunStatus::returned;
    }
    case Control::broke: PyErr_Clear(); return RunStatus::broke;
    case Control::continued: PyErr_Clear(); return RunStatus::continued;
    case Control::tail:
        // rt.tail_call left its call in the context's tail slot: the function around takes it.
        if (ctx->tailArgs.tag == value::TagList || ctx->tailArgs.tag == value::TagTuple) {
            PyErr_Clear();
            value::decref(*out);
            *out = Value{value::TagTail, 0};
            return RunStatus::tail;
        }
        break;
    case Control::none: break;
    }
    failFromPython(ctx, site);
    return RunStatus::failed;
}

void freeTables(ModuleTables* t) {
    std::free(t->nodes.exchange(nullptr));
    for (uint64_t i = 0; i < t->thunkCapacity; i++) std::free(t->thunks[i].record);
    std::free(t->thunks);
    t->thunks = nullptr;
    t->thunkCapacity = t->thunkCount = 0;
    freeCodes(t);
}

}  // namespace wuna::bridge

namespace wuna::helpers {

namespace {

constexpr gil::Location kObjectsNamed{"runtime", "helpers", "objects", 381, 26};
constexpr gil::Location kObjectsPlain{"runtime", "helpers", "objects", 382, 23};

// The run's first crossing named by the values' type names ("int, str handed to Python").
void noteHandedValues(gil::Record* r, int32_t site, const value::Value* values, uint64_t n) {
    char text[gil::kNameMax];
    size_t length = 0;
    auto add = [&](std::string_view piece) {
        size_t room = sizeof text - length;
        size_t k = piece.size() < room ? piece.size() : room;
        std::memcpy(text + length, piece.data(), k);
        length += k;
    };
    for (uint64_t i = 0; i < n; i++) {
        if (i) add(", ");
        add(value::typeName(values[i]));
    }
    add(" handed to Python");
    gil::ensure(r);
    if (r->depth != 0 || r->recorded) return;
    gil::Crossing* c = gil::crossing();
    c->where = kObjectsNamed;
    c->value = uint64_t(uint32_t(site));
    c->callee = nullptr;
    // The name is the values' text, not a callee's: StrictError shows it as it is.
    c->flag = 1;
    std::memcpy(c->name, text, length);
    c->nameLength = length;
    r->recorded = 1;
}

}  // namespace

gil::Record* claimAt(const gil::Location* where, int32_t site, PyObject* callee) {
    gil::Record* r = gil::current();
    if (!r->held || r->report) gil::slow(r, where, uint64_t(uint32_t(site)), callee);
    return r;
}

bool objects(Ctx* ctx, int32_t site, const value::Value* values, uint64_t n, PyObject** out) {
    gil::Record* r = gil::current();
    if (r->report && r->depth == 0 && !r->recorded)
        noteHandedValues(r, site, values, n);
    else
        claimAt(&kObjectsPlain, 0, nullptr);
    for (uint64_t i = 0; i < n; i++) {
        out[i] = convert::toPython(values[i], &ctx->conversion);
        if (out[i]) continue;
        // Py_CLEAR names its argument more than once: the index moves outside it.
        while (i > 0) {
            i--;
            Py_CLEAR(out[i]);
        }
        return false;
    }
    return true;
}

bool pythonResult(Ctx* ctx, int32_t site, PyObject* obj, value::Value* out) {
    if (!obj) {
        bridge::pythonFailure(ctx, site);
        return false;
    }
    value::Value v = value::Value::none();
    bool ok = convert::convert(obj, Py_REFCNT(obj) == 1, &v) == 0;
    Py_DECREF(obj);
    if (!ok) {
        bridge::pythonFailure(ctx, site);
        return false;
    }
    *out = v;
    return true;
}

}  // namespace wuna::helpers

// ---- Exported helpers ---------------------------------------------------------------------------

using wuna::bridge::RunMode;
using wuna::bridge::RunStatus;
using wuna::helpers::Ctx;
using wuna::value::Value;

extern "C" {

int32_t wn_run_value(void* c, int32_t mode, int32_t site, int64_t tag, int64_t payload,
                     void* slot, int32_t scope, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    *result = Value::none();
    if (mode < 0 || mode > 2) {
        wuna::helpers::fail(ctx, site, "wuna: no such run mode (a wuna bug)", 35);
        return int32_t(RunStatus::failed);
    }
    Value x{uint64_t(tag), uint64_t(payload)};
    return int32_t(wuna::bridge::runValue(ctx, RunMode(mode), site, x,
                                          static_cast<wuna::value::Frame**>(slot), scope, result));
}

int32_t wn_py_semantic(void* c, int32_t mode, int32_t node, void* slot, int32_t scope,
                       void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    *result = Value::none();
    RunStatus status = wuna::bridge::pySemantic(ctx, mode != 0, uint32_t(node),
                                                static_cast<wuna::value::Frame**>(slot), scope,
                                                result);
    return int32_t(status);
}

bool wn_runtime(void* c, int32_t site, void* frame, int32_t scope, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    wuna::helpers::claimAt(&wuna::bridge::kRuntimeAt, site, nullptr);
    PyObject* rt = wuna::bridge::newRuntime(ctx, nullptr, scope, site,
                                            static_cast<wuna::value::Frame*>(frame));
    if (!rt) {
        PyErr_Clear();
        wuna::helpers::failOutOfMemory(ctx, site);
        return false;
    }
    *static_cast<Value*>(out) = Value::of(wuna::value::TagPy, rt);
    return true;
}

bool wn_context(void* c, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    wuna::helpers::claimAt(&wuna::bridge::kContextAt, 0, nullptr);
    PyObject* context = ctx->run && ctx->run->context ? ctx->run->context : Py_None;
    Value v = Value::none();
    if (wuna::convert::convert(context, false, &v) < 0) {
        wuna::bridge::failFromPython(ctx, 0);
        return false;
    }
    *static_cast<Value*>(out) = v;
    return true;
}

}  // extern "C"
