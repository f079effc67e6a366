// wuna.CompiledRuntime: the rt of a semantic that compiled code runs as Python (see run.h).
//
// It answers as the reference Runtime answers, over the compiled program's state: variables
// are slots of compiled frames (rtvars.h), running a child node runs it through runNode,
// calls go through callOnce, and a failure of the program is recorded on the run's context
// first (the first failure of the run wins) and then raised (raiseFailure), so that the
// exception leaving the semantic carries the run's failure back to the compiled caller.
// Argument errors are Python's, worded as the reference Runtime words them.
//
// An object is alive while its context is set; the bridge clears it when the semantic that
// got it returns, and from then on every method refuses, but for the four jump classes.
// Everything here runs under the interpreter lock, on the thread that runs the semantic.
#include "wuna/runtime/helpers/rtobject.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "wuna/runtime/args.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/nodes.h"
#include "wuna/runtime/helpers/rtdata_methods.h"
#include "wuna/runtime/helpers/rtvars.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/pymethods.h"
#include "wuna/runtime/value.h"

namespace wuna::bridge {

using helpers::Ctx;
using value::Value;

namespace {

constexpr char kDead[] = "this rt belongs to a semantic that has returned";
constexpr char kMustBeNode[] = "%s must be a node of the program";
constexpr char kAssignBuiltin[] = "can't assign to the builtin '";
constexpr char kNotFunctionKind[] = " isn't a function kind (Language.function)";
constexpr char kFreshElsewhere[] = "rt.fresh(): this scope isn't the one being run";
constexpr char kFunctionUnreachable[] = "a variable isn't reachable from here";
constexpr char kAnonymous[] = "<anonymous>";

RuntimeObject* asRt(PyObject* self) { return reinterpret_cast<RuntimeObject*>(self); }

// The object's current frame: the one its frame slot holds.
value::Frame* currentFrame(const RuntimeObject* rt) {
    return rt->frameSlot ? *rt->frameSlot : rt->frame;
}

// ---- Recording and raising ---------------------------------------------------------------------

// "<head><text><tail>" recorded at site without a kind. Cannot fail.
void failJoined(Ctx* ctx, int32_t site, const char* head, NodeText text, const char* tail) {
    if (ctx->failing) return;
    helpers::ByteList joined{};
    helpers::appendBytes(&joined, head, std::strlen(head));
    helpers::appendBytes(&joined, text.data, text.length);
    helpers::appendBytes(&joined, tail, std::strlen(tail));
    helpers::fail(ctx, site, joined.data, joined.length);
    std::free(joined.data);
}

// Raises obj (consumed) as the exception of its own class.
void raiseObject(PyObject* obj) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    Py_DECREF(obj);
}

// The Error of the recorded failure from the run's error maker (with its call stack); new
// reference, or null with the exception.
PyObject* runError(Ctx* ctx) {
    helpers::RunRecord* run = ctx->run;
    const char* text = reinterpret_cast<const char*>(ctx->message.data);
    if (!run || !run->error) {
        // A run without an error maker (the runtime linked alone) still says what failed.
        pyhelp::raiseText(PyExc_RuntimeError, text ? text : "", ctx->message.length);
        return nullptr;
    }
    return run->error(run->userData, ctx->site, text ? text : "", ctx->message.length,
                      ctx->traceback.items, ctx->traceback.count);
}

// A thrown language exception carries the runtime error it stands for (_wuna_error).
PyObject* thrownObject(Ctx* ctx) {
    PyObject* obj = convert::toPython(ctx->exc, &ctx->conversion);
    if (!obj) return nullptr;
    PyObject* error = runError(ctx);
    if (!error || PyObject_SetAttrString(obj, "_wuna_error", error) < 0) PyErr_Clear();
    Py_XDECREF(error);
    return obj;
}

}  // namespace

PyObject* raiseFailure(Ctx* ctx) {
    PyObject* obj = nullptr;
    // An Exception a called Python function raised is not raised as it is: the reference mode
    // turns it into the Error of the semantic it left, so the semantic that ran this node sees
    // that Error, located where it happened. What is no Exception (KeyboardInterrupt,
    // SystemExit) passes through unchanged, there as here.
    if (ctx->reraise)
        obj = Py_NewRef(ctx->reraise);
    else if (ctx->fetched &&
             !PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(ctx->fetched)),
                                          PyExc_Exception))
        obj = Py_NewRef(ctx->fetched);
    else if (ctx->kindSet && errors::Kind(ctx->kind) == errors::Kind::Throw && ctx->hasExc)
        obj = thrownObject(ctx);
    else if (helpers::passesThrough(ctx))
        obj = helpers::errorObject(ctx);
    else
        obj = runError(ctx);
    helpers::clearError(ctx);
    if (obj) raiseObject(obj);
    return nullptr;
}

int64_t nodeAtIndex(PyObject* given, uint64_t count) {
    if (!PyLong_Check(given)) {
        // The bare class name the convention once gave told a user nothing; say what was
        // wrong, as the other rt methods do.
        PyErr_Format(PyExc_TypeError, "a node's index must be an int, not %.200s",
                     Py_TYPE(given)->tp_name);
        return -1;
    }
    long long i = PyLong_AsLongLong(given);
    if (i == -1 && PyErr_Occurred()) return -1;
    if (i < 0 || uint64_t(i) >= count) {
        PyErr_Format(PyExc_IndexError, "no node %lld", i);
        return -1;
    }
    return int64_t(i);
}

PyObject* askAnalysis(PyObject* analysis, const char* method, uint32_t n) {
    if (!analysis) Py_RETURN_NONE;
    return PyObject_CallMethod(analysis, method, "I", unsigned(n));
}

namespace {
const args::Param errorParams[] = {{"node", true}, {"message", true}, {"code", false}};
}  // namespace

int errorArguments(PyObject* args, PyObject* kwargs, PyObject** given) {
    if (args::parse("error", errorParams, args, kwargs, given) < 0) return -1;
    if (!given[2]) given[2] = Py_None;
    return 0;
}

PyObject* errorMessage(PyObject* const* given, PyObject** code) {
    if (!PyUnicode_Check(given[1])) {
        PyErr_SetString(PyExc_TypeError, "message must be a str");
        return nullptr;
    }
    *code = given[2] == Py_None ? nullptr : given[2];
    if (*code && !PyUnicode_Check(*code)) {
        PyErr_SetString(PyExc_TypeError, "code must be a str");
        return nullptr;
    }
    return pyhelp::cutStr(given[1]);
}

int checkRtLive(PyObject* self) {
    if (asRt(self)->ctx) return 0;
    PyErr_SetString(PyExc_RuntimeError, kDead);
    return -1;
}

namespace {

// ---- Arguments ---------------------------------------------------------------------------------

// The node index of a node of the running program, or -1 (with the exception when what is
// given: "<what> must be a node of the program"). The module's conversion recognises the
// running program's nodes for the current run, so the rt's run is made current for it.
int64_t nodeOf(RuntimeObject* rt, PyObject* x, const char* what) {
    Value v = Value::none();
    int found = 0;
    if (convert::hooks.hostValue) {
        Ctx* before = helpers::setCurrentCtx(rt->ctx);
        found = convert::hooks.hostValue(x, &v);
        helpers::setCurrentCtx(before);
    }
    if (found < 0) return -1;
    const helpers::RunRecord* run = rt->ctx->run;
    if (found && v.tag == value::TagNodeIndex && run && v.payload < run->nodeCount)
        return int64_t(v.payload);
    if (found) value::decref(v);
    if (what) PyErr_Format(PyExc_TypeError, kMustBeNode, what);
    return -1;
}

// The live rt of a method taking count positional arguments, or null with the exception.
RuntimeObject* positional(PyObject* self, PyObject* args, PyObject* kwargs, Py_ssize_t count) {
    if (checkRtLive(self) < 0) return nullptr;
    if (!args) {
        PyErr_SetString(PyExc_TypeError, "MissingArguments");
        return nullptr;
    }
    if (args::exactly(args, kwargs, count) < 0) return nullptr;
    return asRt(self);
}

// The live rt and the node of a method taking one node argument.
RuntimeObject* oneNode(PyObject* self, PyObject* args, PyObject* kwargs, const char* what,
                       int64_t* n) {
    RuntimeObject* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    *n = nodeOf(rt, PyTuple_GET_ITEM(args, 0), what);
    return *n < 0 ? nullptr : rt;
}

// The Python node object of an index of the running program.
PyObject* nodeObject(RuntimeObject* rt, uint32_t n) {
    Ctx* ctx = rt->ctx;
    if (!ctx->conversion.node) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: this run makes no node objects (a wuna bug)");
        return nullptr;
    }
    return ctx->conversion.node(ctx->conversion.userData, n);
}

// A value (consumed) as a Python object.
PyObject* pythonOf(Ctx* ctx, Value v) {
    PyObject* obj = convert::toPython(v, &ctx->conversion);
    value::decref(v);
    return obj;
}

// A Python object as a value for a slot or an argument: an int of the Python kind is the
// language's int. 0, or -1 with the exception.
int valueOf(PyObject* obj, Value* out) {
    if (convert::convert(obj, false, out) < 0) return -1;
    if (out->tag == value::TagPint) out->tag = value::TagInt;
    return 0;
}

// Raises cls(value) (value borrowed; null: no argument) as an instance. Always null.
PyObject* raiseJump(PyObject* cls, PyObject* value) {
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: the jump classes are not set (a wuna bug)");
        return nullptr;
    }
    PyObject* instance = value ? PyObject_CallOneArg(cls, value) : PyObject_CallNoArgs(cls);
    if (instance) raiseObject(instance);
    return nullptr;
}

PyObject* raiseReturn(Ctx* ctx, Value v) {
    PyObject* obj = pythonOf(ctx, v);
    if (!obj) return nullptr;
    raiseJump(runtime::hostApi.returnClass, obj);
    Py_DECREF(obj);
    return nullptr;
}

// ---- Running nodes ----------------------------------------------------------------------------

PyObject* rtRun(RuntimeObject* rt, PyObject* x, RunMode mode);

// A list or tuple: eval gives a list of each item's value; exec runs each and gives None; a
// loop runs each and answers as a loop does. The items are taken from a copy, so a semantic
// that changes the list runs what it held when the run began.
PyObject* runEach(RuntimeObject* rt, PyObject* x, RunMode mode) {
    PyObject* items = PySequence_Tuple(x);
    if (!items) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(items);
    PyObject* values = mode == RunMode::eval ? PyList_New(n) : nullptr;
    PyObject* result = nullptr;
    if (mode == RunMode::eval && !values) goto done;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* item = rtRun(rt, PyTuple_GET_ITEM(items, i),
                               mode == RunMode::eval ? RunMode::eval : RunMode::exec);
        if (!item) {
            if (mode != RunMode::loop) goto done;
            Control jump = pendingControl();
            if (jump != Control::broke && jump != Control::continued) goto done;
            PyErr_Clear();
            result = Py_NewRef(jump == Control::broke ? Py_False : Py_True);
            goto done;
        }
        if (values)
            PyList_SET_ITEM(values, i, item);
        else
            Py_DECREF(item);
    }
    result = values ? Py_NewRef(values) : Py_NewRef(mode == RunMode::loop ? Py_True : Py_None);
done:
    Py_XDECREF(values);
    Py_DECREF(items);
    return result;
}

PyObject* rtRun(RuntimeObject* rt, PyObject* x, RunMode mode) {
    if (PyList_Check(x) || PyTuple_Check(x)) return runEach(rt, x, mode);
    int64_t n = nodeOf(rt, x, nullptr);
    if (n < 0) {
        if (PyErr_Occurred()) return nullptr;
        if (mode == RunMode::eval) return Py_NewRef(x);
        return Py_NewRef(mode == RunMode::loop ? Py_True : Py_None);
    }
    Ctx* ctx = rt->ctx;
    value::Frame* frame = currentFrame(rt);
    value::Frame** slot = rt->frameSlot ? rt->frameSlot : &frame;
    Value out = Value::none();
    RunStatus status = runNode(ctx, mode != RunMode::eval, uint32_t(n), slot, rt->scope, &out);
    // The node's semantics ran Python; the rt is cleared only when its own semantic
    // returns, which is still running, so ctx stands.
    switch (status) {
    case RunStatus::done:
        if (mode == RunMode::eval) return pythonOf(ctx, out);
        value::decref(out);
        return Py_NewRef(mode == RunMode::loop ? Py_True : Py_None);
    case RunStatus::returned: return raiseReturn(ctx, out);
    case RunStatus::broke:
        value::decref(out);
        if (mode == RunMode::loop) Py_RETURN_FALSE;
        return raiseJump(runtime::hostApi.breakClass, nullptr);
    case RunStatus::continued:
        value::decref(out);
        if (mode == RunMode::loop) Py_RETURN_TRUE;
        return raiseJump(runtime::hostApi.continueClass, nullptr);
    case RunStatus::tail:
        // Inside a program function the pending call stays for the function's caller: the
        // TailCall goes on up through this semantic.
        if (ctx->depth > 0) return raiseJump(runtime::hostApi.tailCallClass, nullptr);
        if (!helpers::tailResolve(ctx, rt->node, &out)) return raiseFailure(ctx);
        return raiseReturn(ctx, out);
    case RunStatus::failed: break;
    }
    value::decref(out);
    return raiseFailure(ctx);
}

template <RunMode Mode>
PyObject* rtRunMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeObject* rt = positional(self, args, kwargs, 1);
    return rt ? rtRun(rt, PyTuple_GET_ITEM(args, 0), Mode) : nullptr;
}

// ---- Variables
// -----------------------------------------------------------------------------------

PyObject* hostFunction(RuntimeObject* rt, uint32_t n) {
    NodeText text = nodeText(rt->ctx, n);
    PyObject* hosts = rt->ctx->run ? rt->ctx->run->hosts : nullptr;
    PyObject* name = PyUnicode_DecodeUTF8(text.data, Py_ssize_t(text.length), "replace");
    if (!name) return nullptr;
    PyObject* host = hosts ? PyDict_GetItemWithError(hosts, name) : nullptr;
    Py_DECREF(name);
    if (host) return Py_NewRef(host);
    if (PyErr_Occurred()) return nullptr;
    failJoined(rt->ctx, int32_t(n), "no host function for the builtin '", text, "'");
    return raiseFailure(rt->ctx);
}

PyObject* rtLoad(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "a variable's name", &n);
    if (!rt) return nullptr;
    Ctx* ctx = rt->ctx;
    bool builtin = false, global = false;
    // The reference mode places every failure of a variable at its name.
    Value* slot =
        variableSlot(ctx, int32_t(n), currentFrame(rt), rt->scope, uint32_t(n), &builtin, &global);
    if (builtin) return hostFunction(rt, uint32_t(n));
    if (!slot) return raiseFailure(ctx);
    if (slot->tag == value::TagUnset) {
        NodeText text = nodeText(ctx, uint32_t(n));
        helpers::failNoValueYet(ctx, int32_t(n), text.data, text.length);
        return raiseFailure(ctx);
    }
    return convert::toPython(*slot, &ctx->conversion);
}

PyObject* rtStore(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeObject* rt = positional(self, args, kwargs, 2);
    if (!rt) return nullptr;
    int64_t n = nodeOf(rt, PyTuple_GET_ITEM(args, 0), "a variable's name");
    if (n < 0) return nullptr;
    Value v = Value::none();
    if (valueOf(PyTuple_GET_ITEM(args, 1), &v) < 0) return nullptr;
    // The conversion ran Python: the rt may have died meanwhile (its frame is still held).
    if (checkRtLive(self) < 0) {
        value::decref(v);
        return nullptr;
    }
    Ctx* ctx = rt->ctx;
    bool builtin = false, global = false;
    // The reference mode places every failure of a variable at its name.
    Value* slot =
        variableSlot(ctx, int32_t(n), currentFrame(rt), rt->scope, uint32_t(n), &builtin, &global);
    if (!slot) {
        value::decref(v);
        if (builtin) failJoined(ctx, int32_t(n), kAssignBuiltin, nodeText(ctx, uint32_t(n)), "'");
        return raiseFailure(ctx);
    }
    replaceSlot(ctx, slot, v, global);
    Py_RETURN_NONE;
}

PyObject* rtScope(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    int64_t scope = scopeNodeOf(rt->ctx, uint32_t(n));
    if (scope < 0) Py_RETURN_NONE;
    return nodeObject(rt, uint32_t(scope));
}

// ---- Functions and calls ----------------------------------------------------------------------

PyObject* rtFunction(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "a function's node", &n);
    if (!rt) return nullptr;
    Ctx* ctx = rt->ctx;
    const ProgramVars* vars = varsOf(ctx);
    if (!vars || !vars->isFunctionKind(vars->user, uint32_t(n))) {
        failJoined(ctx, int32_t(n), "", kindText(ctx, uint32_t(n)), kNotFunctionKind);
        return raiseFailure(ctx);
    }
    FunctionParts parts{};
    if (vars->functionOf(vars->user, uint32_t(n), &parts) < 0) return nullptr;
    // Compiling ran Python: the rt may have died meanwhile.
    if (checkRtLive(self) < 0) return nullptr;
    int32_t around = vars->scopeOf(vars->user, uint32_t(n));
    value::Frame* closure = frameOfScope(ctx, currentFrame(rt), rt->scope, around);
    if (!closure && around != kGlobalScope) {
        helpers::fail(ctx, int32_t(n), kFunctionUnreachable, sizeof kFunctionUnreachable - 1);
        return raiseFailure(ctx);
    }
    const char* text = parts.name ? parts.name : kAnonymous;
    uint64_t length = parts.name ? parts.nameLength : sizeof kAnonymous - 1;
    value::Str* name = value::literal(text, length);
    Value f = Value::none();
    if (!name) return PyErr_NoMemory();
    if (!wn_function(ctx, parts.code, closure, int32_t(n), name, int64_t(parts.flags), &f))
        return raiseFailure(ctx);
    return pythonOf(ctx, f);
}

const args::Param callParams[] = {{"f", true}, {"args", true}, {"receiver", false}};

// The converted callee, arguments and receiver of call and tail_call, released together.
struct CallValues {
    Value f = Value::none();
    Value* items = nullptr;
    uint64_t count = 0;
    Value receiver = Value::none();
    bool hasReceiver = false;

    ~CallValues() {
        value::decref(f);
        for (uint64_t i = 0; i < count; i++) value::decref(items[i]);
        PyMem_Free(items);
        value::decref(receiver);
    }
};

// Reads and converts the arguments of call or tail_call. 0, or -1 with the exception.
int readCall(const char* name, PyObject* args, PyObject* kwargs, CallValues* out) {
    PyObject* given[3];
    if (args::parse(name, callParams, args, kwargs, given) < 0) return -1;
    PyObject* tuple = PySequence_Tuple(given[1]);
    if (!tuple) return -1;
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    out->items = static_cast<Value*>(PyMem_Malloc(n ? size_t(n) * sizeof(Value) : 1));
    int rc = out->items ? 0 : -1;
    if (!out->items) PyErr_NoMemory();
    for (Py_ssize_t i = 0; rc == 0 && i < n; i++) {
        rc = valueOf(PyTuple_GET_ITEM(tuple, i), &out->items[i]);
        if (rc == 0) out->count++;
    }
    Py_DECREF(tuple);
    if (rc < 0 || valueOf(given[0], &out->f) < 0) return -1;
    PyObject* receiver = given[2];
    if (!receiver || receiver == Py_None) return 0;
    if (valueOf(receiver, &out->receiver) < 0) return -1;
    out->hasReceiver = true;
    return 0;
}

// The call's result (one reference in *out), or false with the failure recorded.
bool callValues(RuntimeObject* rt, const CallValues& call, Value* out) {
    Ctx* ctx = rt->ctx;
    Value result = Value::none();
    if (!helpers::callOnce(ctx, rt->node, call.f, call.items, call.count,
                           call.hasReceiver ? &call.receiver : nullptr, &result))
        return false;
    if (result.tag == value::TagTail && !helpers::tailResolve(ctx, rt->node, &result)) return false;
    *out = result;
    return true;
}

PyObject* rtCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (checkRtLive(self) < 0) return nullptr;
    CallValues call;
    if (readCall("call", args, kwargs, &call) < 0 || checkRtLive(self) < 0) return nullptr;
    RuntimeObject* rt = asRt(self);
    Value result = Value::none();
    if (!callValues(rt, call, &result)) return raiseFailure(rt->ctx);
    return pythonOf(rt->ctx, result);
}

// Inside a program function: the call is left in the context's tail slot and TailCall raised,
// so that the function returns before the call is made (a chain of tail calls takes no
// depth, as in the reference mode). 0, or -1 with MemoryError.
int leaveTailCall(Ctx* ctx, const CallValues& call) {
    value::List* list = value::newList(call.count);
    if (!list) {
        PyErr_NoMemory();
        return -1;
    }
    for (uint64_t i = 0; i < call.count; i++) {
        value::incref(call.items[i]);
        if (!value::listAppend(list, call.items[i])) {
            value::decref(call.items[i]);
            value::decref(Value::of(value::TagList, list));
            PyErr_NoMemory();
            return -1;
        }
    }
    // A tail call left behind by a semantic that swallowed its TailCall goes first.
    wn_tail_clear(ctx);
    Value args = Value::of(value::TagList, list);
    wn_tail_set(ctx, int64_t(call.f.tag), int64_t(call.f.payload), int64_t(args.tag),
                int64_t(args.payload),
                call.hasReceiver ? const_cast<Value*>(&call.receiver) : nullptr);
    value::decref(args);
    return 0;
}

PyObject* rtTailCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (checkRtLive(self) < 0) return nullptr;
    CallValues call;
    if (readCall("tail_call", args, kwargs, &call) < 0 || checkRtLive(self) < 0) return nullptr;
    RuntimeObject* rt = asRt(self);
    if (rt->ctx->depth > 0) {
        if (leaveTailCall(rt->ctx, call) < 0) return nullptr;
        return raiseJump(runtime::hostApi.tailCallClass, nullptr);
    }
    // At the top level the call is made here and its result returned.
    Value result = Value::none();
    if (!callValues(rt, call, &result)) return raiseFailure(rt->ctx);
    return raiseReturn(rt->ctx, result);
}

// rt.error's failure: message at site, recorded and raised; with a code, the Error carries it
// (the run then raises that Error as it is). message (consumed) holds text.
PyObject* raiseError(Ctx* ctx, int32_t site, const char* text, uint64_t length, PyObject* code,
                     PyObject* message) {
    bool first = !ctx->failing;
    helpers::fail(ctx, site, text, length);
    helpers::RunRecord* run = ctx->run;
    if (first && code && run && run->codedError) {
        PyObject* error = run->codedError(run->userData, site, text, length, code,
                                          ctx->traceback.items, ctx->traceback.count);
        if (!error) {
            // The Error could not be made: its exception is what the semantic sees.
            Py_DECREF(message);
            helpers::clearError(ctx);
            return nullptr;
        }
        Py_XSETREF(ctx->reraise, error);
    }
    Py_DECREF(message);
    return raiseFailure(ctx);
}

PyObject* rtError(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* given[3];
    if (checkRtLive(self) < 0 || errorArguments(args, kwargs, given) < 0) return nullptr;
    RuntimeObject* rt = asRt(self);
    int64_t n = rt->node;
    if (given[0] != Py_None) {
        n = nodeOf(rt, given[0], "node");
        if (n < 0) return nullptr;
    }
    PyObject* code = nullptr;
    PyObject* message = errorMessage(given, &code);
    if (!message) return nullptr;
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(message, &length);
    if (!text) {
        Py_DECREF(message);
        return nullptr;
    }
    return raiseError(rt->ctx, int32_t(n), text, uint64_t(length), code, message);
}

// ---- Nodes
// -----------------------------------------------------------------------------------------

PyObject* rtKind(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    NodeText kind = kindText(rt->ctx, uint32_t(n));
    if (!kind.length) return PyUnicode_InternFromString("<error>");
    PyObject* name = PyUnicode_DecodeUTF8(kind.data, Py_ssize_t(kind.length), "replace");
    if (name) PyUnicode_InternInPlace(&name);
    return name;
}

PyObject* rtText(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    NodeText text = nodeText(rt->ctx, uint32_t(n));
    return PyUnicode_DecodeUTF8(text.data, Py_ssize_t(text.length), "replace");
}

PyObject* rtSpan(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const nodes::TreeView* tree = rt->ctx->run->program;
    if (!tree || uint64_t(n) >= tree->count) return Py_BuildValue("(II)", 0u, 0u);
    return Py_BuildValue("(II)", unsigned(tree->nodes[n].start), unsigned(tree->nodes[n].end));
}

// analysis.<method>(index) of a node argument.
PyObject* analysisOf(PyObject* self, PyObject* args, PyObject* kwargs, const char* method) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    return askAnalysis(rt->ctx->run->analysis, method, uint32_t(n));
}

PyObject* rtSymbol(PyObject* self, PyObject* args, PyObject* kwargs) {
    return analysisOf(self, args, kwargs, "resolve");
}

PyObject* rtTypeOf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return analysisOf(self, args, kwargs, "type_of");
}

PyObject* rtNodeAt(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeObject* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    const helpers::RunRecord* run = rt->ctx->run;
    int64_t i = nodeAtIndex(PyTuple_GET_ITEM(args, 0), run ? run->nodeCount : 0);
    if (i < 0) return nullptr;
    return nodeObject(rt, uint32_t(i));
}

PyObject* rtFresh(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeObject* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    Ctx* ctx = rt->ctx;
    const ProgramVars* vars = varsOf(ctx);
    if (!vars || !vars->isBlockScope(vars->user, uint32_t(n))) Py_RETURN_NONE;
    if (int32_t(n) != rt->scope) {
        helpers::fail(ctx, int32_t(n), kFreshElsewhere, sizeof kFreshElsewhere - 1);
        return raiseFailure(ctx);
    }
    int64_t slots = vars->layoutSlots(vars->user, rt->scope);
    value::Frame* old = currentFrame(rt);
    if (slots < 0 || !old) Py_RETURN_NONE;
    value::Frame* made = value::newFrame(old->parent, uint64_t(slots));
    if (!made) return PyErr_NoMemory();
    value::Frame** slot = rt->frameSlot ? rt->frameSlot : &rt->frame;
    *slot = made;
    // Closures made before hold the old frame; its last reference goes with them.
    value::releaseCaptured(reinterpret_cast<value::Obj*>(old));
    Py_RETURN_NONE;
}

// ---- Properties
// -----------------------------------------------------------------------------------

PyObject* getReceiver(PyObject* self, void*) {
    if (checkRtLive(self) < 0) return nullptr;
    RuntimeObject* rt = asRt(self);
    Value v = Value::unset();
    if (!frameSlotValue(rt->ctx, currentFrame(rt), rt->scope, FrameExtra::receiver, &v))
        Py_RETURN_NONE;
    return convert::toPython(v, &rt->ctx->conversion);
}

PyObject* getVarargs(PyObject* self, void*) {
    if (checkRtLive(self) < 0) return nullptr;
    RuntimeObject* rt = asRt(self);
    Value v = Value::unset();
    if (!frameSlotValue(rt->ctx, currentFrame(rt), rt->scope, FrameExtra::varargs, &v))
        return PyTuple_New(0);
    return convert::toPython(v, &rt->ctx->conversion);
}

PyObject* getPath(PyObject* self, void*) {
    if (checkRtLive(self) < 0) return nullptr;
    const helpers::RunRecord* run = asRt(self)->ctx->run;
    return Py_NewRef(run && run->path ? run->path : Py_None);
}

PyObject* getContext(PyObject* self, void*) {
    if (checkRtLive(self) < 0) return nullptr;
    const helpers::RunRecord* run = asRt(self)->ctx->run;
    return Py_NewRef(run && run->context ? run->context : Py_None);
}

// The jump classes answer on a dead rt too: a semantic that kept its rt still names them.
enum class Jump : uint8_t { returned, broke, continued, thrown };

PyObject* getJump(PyObject*, void* which) {
    PyObject* cls = nullptr;
    switch (Jump(uintptr_t(which))) {
    case Jump::returned: cls = runtime::hostApi.returnClass; break;
    case Jump::broke: cls = runtime::hostApi.breakClass; break;
    case Jump::continued: cls = runtime::hostApi.continueClass; break;
    case Jump::thrown: cls = errors::pyClass(errors::Kind::Throw); break;
    }
    return Py_NewRef(cls ? cls : Py_None);
}

void* jumpOf(Jump j) { return reinterpret_cast<void*>(uintptr_t(j)); }

// ---- The type
// ------------------------------------------------------------------------------------

void runtimeDealloc(PyObject* self) {
    auto* o = asRt(self);
    PyTypeObject* type = Py_TYPE(self);
    value::Frame* frame = o->frame;
    o->frame = nullptr;
    value::releaseCaptured(reinterpret_cast<value::Obj*>(frame));
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    Py_DECREF(type);
}

using pymethods::asPyCFunction;

PyMethodDef method(const char* name, PyCFunctionWithKeywords fn, const char* doc) {
    return {name, asPyCFunction(fn), METH_VARARGS | METH_KEYWORDS, doc};
}

const PyMethodDef ownMethods[] = {
    method("eval", rtRunMethod<RunMode::eval>,
           WUNA_DOC("eval($self, x, /)", "The value of an expression node (a list: of each).")),
    method("exec", rtRunMethod<RunMode::exec>,
           WUNA_DOC("exec($self, x, /)", "Run a statement node (a list: each in order).")),
    method("loop", rtRunMethod<RunMode::loop>,
           WUNA_DOC("loop($self, body, /)",
                    "Run a loop's body once: False if it broke out of the loop.")),
    method("load", rtLoad,
           WUNA_DOC("load($self, name, /)", "The value of the variable a name node refers to.")),
    method("store", rtStore,
           WUNA_DOC("store($self, name, value, /)", "Set the variable a name node refers to.")),
    method("function", rtFunction,
           WUNA_DOC("function($self, node, /)", "A function made from a node of a function kind.")),
    method("call", rtCall,
           WUNA_DOC("call($self, /, f, args, receiver=None)",
                    "Call a function of the program, or a host function.")),
    method("tail_call", rtTailCall,
           WUNA_DOC("tail_call($self, /, f, args, receiver=None)",
                    "Return what calling f with the arguments returns. Never returns.")),
    method("error", rtError,
           WUNA_DOC("error($self, /, node, message, code=None)",
                    "Stop the program with a runtime error at the node.")),
    method("kind", rtKind, WUNA_DOC("kind($self, node, /)", "A node's kind.")),
    method("text", rtText, WUNA_DOC("text($self, node, /)", "A node's text.")),
    method("span", rtSpan, WUNA_DOC("span($self, node, /)", "A node's (start, end) byte offsets.")),
    method("scope", rtScope,
           WUNA_DOC("scope($self, node, /)",
                    "The scope node the name `node` refers to is defined in, or None.")),
    method("symbol", rtSymbol,
           WUNA_DOC("symbol($self, node, /)", "nomos' Symbol of a name, or None.")),
    method("type_of", rtTypeOf,
           WUNA_DOC("type_of($self, node, /)", "A node's type as text, or None.")),
    method("node_at", rtNodeAt,
           WUNA_DOC("node_at($self, index, /)", "The node at an index of the tree.")),
    method(
        "fresh", rtFresh,
        WUNA_DOC("fresh($self, node, /)",
                 "From here, the variables of the block scope `node` (being run) are new ones.")),
};

PyMethodDef rtMethods[std::size(ownMethods) + kRtDataMethods + 1];

// Fills rtMethods from its parts while the library loads. Never fails.
bool fillMethods() {
    PyMethodDef* at = std::copy(std::begin(ownMethods), std::end(ownMethods), rtMethods);
    at = appendRtDataMethods<checkRtLive>(at);
    *at = {nullptr, nullptr, 0, nullptr};
    return true;
}

[[maybe_unused]] const bool methodsFilled = fillMethods();

PyGetSetDef rtGetters[] = {
    {"receiver", getReceiver, nullptr, "What the running function was called on, or None.",
     nullptr},
    {"varargs", getVarargs, nullptr, "The running function's extra arguments, a tuple.", nullptr},
    {"path", getPath, nullptr, "The name the program was loaded under, or None.", nullptr},
    {"context", getContext, nullptr, "What the host passed to the run or call, or None.", nullptr},
    {"Return", getJump, nullptr, "wuna.Return.", jumpOf(Jump::returned)},
    {"Break", getJump, nullptr, "wuna.Break.", jumpOf(Jump::broke)},
    {"Continue", getJump, nullptr, "wuna.Continue.", jumpOf(Jump::continued)},
    {"Throw", getJump, nullptr, "wuna.Throw.", jumpOf(Jump::thrown)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot runtimeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(runtimeDealloc)},
    {Py_tp_methods, rtMethods},
    {Py_tp_getset, rtGetters},
    {Py_tp_doc, const_cast<char*>("rt in a semantic run as Python inside compiled code: the same "
                                  "methods as the reference mode's, over the compiled program's "
                                  "frames.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec compiledRuntimeSpec = {"wuna.CompiledRuntime", int(sizeof(RuntimeObject)), 0,
                                   Py_TPFLAGS_DEFAULT, runtimeSlots};

}  // namespace wuna::bridge
