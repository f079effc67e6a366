// The Runtime type (see interp/rt.h): its record's life, its methods and properties.
//
// Each method reads its arguments (positional-only methods take exactly their count, the
// keyword methods go through args::parse), checks that node arguments are nodes of the run's
// program, and hands over to the interpreter. A failure always leaves an exception: when an
// operation fails without one, finish() raises a RuntimeError naming the method, so a
// semantic never sees None for a failure.
//
// The method table is this file's own methods up to `text`, the data operations of
// helpers/rtdata_methods.h, then the own methods from `span` on, the order the type keeps them in.
// Its rows hold function pointers cast to PyCFunction, which are no constant expressions, so
// the table is put together while the library loads, after the two parts above it in this
// file (a file's variables are initialised in the order they are written); the data rows
// come from constant data only. The module makes the type from it later, at import.
#include "host/interp/rt.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "host/interp/calls.h"
#include "host/interp/interp.h"
#include "host/interp/run_errors.h"
#include "host/interp/variables.h"
#include "host/module/exceptions.h"
#include "host/module/type_registry.h"
#include "host/run/program.h"
#include "wuna/runtime/args.h"
#include "host/support/check.h"
#include "host/support/pymethods.h"
#include "wuna/runtime/helpers/rtdata_methods.h"
#include "wuna/runtime/helpers/rtobject.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::host {

namespace {

constexpr char kNoProgram[] = "this Runtime has no program (runs make their own)";
constexpr char kMustBeNode[] = "%s must be a node of the program";
constexpr char kFailedSilently[] = "rt.%s() failed without an exception";

RtObject* asRt(PyObject* self) { return reinterpret_cast<RtObject*>(self); }

// Whether rt still has its program: the collector may clear the Program while this Runtime
// stays reachable, leaving the record without its state.
bool hasProgram(const RunRecord* rt) {
    return rt && rt->initialised && rt->record && rt->program &&
           reinterpret_cast<ProgramObject*>(rt->program)->initialised;
}

// The result of a method: a failure without an exception becomes one.
PyObject* finish(const char* method, PyObject* result) {
    if (!result && !PyErr_Occurred()) PyErr_Format(PyExc_RuntimeError, kFailedSilently, method);
    return result;
}

// The node index of a node argument, or -1 with "<what> must be a node of the program".
int64_t nodeArgument(RunRecord* rt, PyObject* x, const char* what) {
    int64_t n = nodeOfProgram(rt, x);
    if (n < 0) PyErr_Format(PyExc_TypeError, kMustBeNode, what);
    return n;
}

// The Runtime of a positional-only method taking count arguments.
RunRecord* positional(PyObject* self, PyObject* args, PyObject* kwargs, Py_ssize_t count) {
    if (!args) {
        PyErr_SetString(PyExc_TypeError, "MissingArguments");
        return nullptr;
    }
    if (args::exactly(args, kwargs, count) < 0) return nullptr;
    return liveRun(self);
}

// The Runtime and the node index of a method taking one node argument.
RunRecord* oneNode(PyObject* self, PyObject* args, PyObject* kwargs, const char* what, int64_t* n) {
    RunRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    *n = nodeArgument(rt, PyTuple_GET_ITEM(args, 0), what);
    return *n < 0 ? nullptr : rt;
}

PyObject* rtEval(PyObject* self, PyObject* args, PyObject* kwargs) {
    RunRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    return finish("eval", evalValue(rt, PyTuple_GET_ITEM(args, 0)));
}

PyObject* rtFresh(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    if (freshFrame(rt, uint32_t(n)) < 0) return finish("fresh", nullptr);
    Py_RETURN_NONE;
}

PyObject* rtExec(PyObject* self, PyObject* args, PyObject* kwargs) {
    RunRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    if (execValue(rt, PyTuple_GET_ITEM(args, 0)) < 0) return finish("exec", nullptr);
    Py_RETURN_NONE;
}

PyObject* rtLoop(PyObject* self, PyObject* args, PyObject* kwargs) {
    RunRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    if (execValue(rt, PyTuple_GET_ITEM(args, 0)) == 0) Py_RETURN_TRUE;
    if (PyErr_ExceptionMatches(breakClass)) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    if (PyErr_ExceptionMatches(continueClass)) {
        PyErr_Clear();
        Py_RETURN_TRUE;
    }
    return finish("loop", nullptr);
}

PyObject* rtLoad(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "a variable's name", &n);
    if (!rt) return nullptr;
    return finish("load", loadVariable(rt, uint32_t(n)));
}

PyObject* rtStore(PyObject* self, PyObject* args, PyObject* kwargs) {
    RunRecord* rt = positional(self, args, kwargs, 2);
    if (!rt) return nullptr;
    int64_t n = nodeArgument(rt, PyTuple_GET_ITEM(args, 0), "a variable's name");
    if (n < 0) return nullptr;
    if (storeVariable(rt, uint32_t(n), PyTuple_GET_ITEM(args, 1)) < 0)
        return finish("store", nullptr);
    Py_RETURN_NONE;
}

PyObject* rtFunction(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "a function's node", &n);
    if (!rt) return nullptr;
    return finish("function", makeFunction(rt, uint32_t(n)));
}

const args::Param callParams[] = {{"f", true}, {"args", true}, {"receiver", false}};

// The callee, the arguments as a tuple (owned, released by the method at its single exit) and
// the receiver (null for none) of call and tail_call.
struct CallArguments {
    PyObject* f = nullptr;
    PyObject* tuple = nullptr;
    PyObject* receiver = nullptr;
};

// Reads the arguments of call or tail_call into *out. The run, or null with the exception.
RunRecord* readCall(const char* name, PyObject* self, PyObject* args, PyObject* kwargs,
                    CallArguments* out) {
    PyObject* given[3];
    if (args::parse(name, callParams, args, kwargs, given) < 0) return nullptr;
    RunRecord* rt = liveRun(self);
    if (!rt) return nullptr;
    out->tuple = PySequence_Tuple(given[1]);
    if (!out->tuple) return nullptr;
    out->f = given[0];
    out->receiver = given[2] == Py_None ? nullptr : given[2];
    return rt;
}

PyObject* rtCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallArguments call;
    RunRecord* rt = readCall("call", self, args, kwargs, &call);
    PyObject* result =
        rt ? finish("call", callValue(rt, call.f, call.tuple, call.receiver)) : nullptr;
    Py_XDECREF(call.tuple);
    return result;
}

// Raises cls(items...) as an instance, so that a tuple among the items stays one item.
void raiseInstance(PyObject* cls, PyObject* items) {
    PyObject* instance = PyObject_Call(cls, items, nullptr);
    if (!instance) return;
    PyErr_SetObject(cls, instance);
    Py_DECREF(instance);
}

// Inside a program function, raises the TailCall that its caller's call loop takes over; at
// the top level, makes the call and raises the Return of its result. Always leaves an
// exception (unless a step failed without one, which finish() reports).
void raiseTailCall(RunRecord* rt, const CallArguments& call) {
    if (rt->callCount > 0) {
        PyObject* items =
            PyTuple_Pack(3, call.f, call.tuple, call.receiver ? call.receiver : Py_None);
        if (items) {
            raiseInstance(tailCallClass, items);
            Py_DECREF(items);
        }
        return;
    }
    PyObject* result = callValue(rt, call.f, call.tuple, call.receiver);
    if (!result) return;
    PyObject* items = PyTuple_Pack(1, result);
    Py_DECREF(result);
    if (!items) return;
    raiseInstance(returnClass, items);
    Py_DECREF(items);
}

PyObject* rtTailCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallArguments call;
    RunRecord* rt = readCall("tail_call", self, args, kwargs, &call);
    PyObject* result = nullptr;
    if (rt) {
        raiseTailCall(rt, call);
        result = finish("tail_call", nullptr);
    }
    Py_XDECREF(call.tuple);
    return result;
}

PyObject* rtError(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* given[3];
    if (bridge::errorArguments(args, kwargs, given) < 0) return nullptr;
    RunRecord* rt = liveRun(self);
    if (!rt) return nullptr;
    int64_t n = rt->currentNode;
    if (given[0] != Py_None) {
        n = nodeArgument(rt, given[0], "node");
        if (n < 0) return nullptr;
    }
    PyObject* code = nullptr;
    PyObject* message = bridge::errorMessage(given, &code);
    if (!message) return nullptr;
    raiseAtNode(rt, n, message, code);
    Py_DECREF(message);
    return finish("error", nullptr);
}

const ptree::GrammarInfo* grammarOfRun(RunRecord* rt) { return stateGrammar(stateOfRun(rt)); }

PyObject* rtKind(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const ptree::GrammarInfo* grammar = grammarOfRun(rt);
    uint32_t k = ptree::kindOf(indexOf(rt)->nodes[n]);
    if (!grammar || k >= grammar->kindCount) return PyUnicode_InternFromString("<error>");
    return Py_NewRef(grammar->pyNames[k]);
}

PyObject* rtText(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    ptree::Text text = nodeSource(indexOf(rt), uint32_t(n));
    return PyUnicode_DecodeUTF8(text.data, Py_ssize_t(text.length), "replace");
}

PyObject* rtSpan(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const ptree::NodeRecord& node = indexOf(rt)->nodes[n];
    return Py_BuildValue("(II)", unsigned(node.start), unsigned(node.end));
}

PyObject* rtScope(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const ptree::Index* index = indexOf(rt);
    uint32_t s = index->nodeSymbols ? index->nodeSymbols[n] : ptree::kNone;
    if (s >= index->symbolCount || index->symbols[s].scope >= index->count) Py_RETURN_NONE;
    return programNode(rt, index->symbols[s].scope);
}

// analysis.<method>(index) of a node argument.
PyObject* analysisOf(PyObject* self, PyObject* args, PyObject* kwargs, const char* method) {
    int64_t n;
    RunRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    return bridge::askAnalysis(stateOfRun(rt)->analysis, method, uint32_t(n));
}

PyObject* rtSymbol(PyObject* self, PyObject* args, PyObject* kwargs) {
    return analysisOf(self, args, kwargs, "resolve");
}

PyObject* rtTypeOf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return analysisOf(self, args, kwargs, "type_of");
}

PyObject* rtNodeAt(PyObject* self, PyObject* args, PyObject* kwargs) {
    RunRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    int64_t i = bridge::nodeAtIndex(PyTuple_GET_ITEM(args, 0), indexOf(rt)->count);
    if (i < 0) return nullptr;
    return programNode(rt, uint32_t(i));
}

// --- properties ------------------------------------------------------------------------------

FrameObject* frameAt(PyObject* frame) { return reinterpret_cast<FrameObject*>(frame); }

PyObject* getReceiver(PyObject* self, void*) {
    RunRecord* rt = runRecordOf(self);
    for (PyObject* f = rt ? rt->frame : nullptr; f; f = frameAt(f)->parent)
        if (frameAt(f)->receiver) return Py_NewRef(frameAt(f)->receiver);
    Py_RETURN_NONE;
}

PyObject* getPath(PyObject* self, void*) {
    RunRecord* rt = runRecordOf(self);
    if (!hasProgram(rt) || !rt->record->path) Py_RETURN_NONE;
    return Py_NewRef(rt->record->path);
}

PyObject* getVarargs(PyObject* self, void*) {
    RunRecord* rt = runRecordOf(self);
    if (hasProgram(rt) && rt->record->state) {
        const ptree::Index* index = indexOf(rt);
        for (PyObject* f = rt->frame; f; f = frameAt(f)->parent) {
            FrameObject* frame = frameAt(f);
            if (frame->varargs) return Py_NewRef(frame->varargs);
            if (frame->scope < 0 || !ptree::isCaptured(index, uint32_t(frame->scope))) break;
        }
    }
    return PyTuple_New(0);
}

PyObject* getContext(PyObject* self, void*) {
    RunRecord* rt = runRecordOf(self);
    return Py_NewRef(rt && rt->context ? rt->context : Py_None);
}

PyObject* getJump(PyObject*, void* which) { return Py_NewRef(*static_cast<PyObject**>(which)); }

// --- the object's life -----------------------------------------------------------------------

PyObject* rtNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    if (given > 0) {
        PyErr_Format(PyExc_TypeError, "Runtime() takes at most 0 arguments (%zd given)", given);
        return nullptr;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "Runtime() got an unexpected keyword argument '%U'", key);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    RunRecord* rt = &asRt(self)->rt;
    memset(rt, 0, sizeof *rt);
    rt->currentNode = -1;
    return self;
}

// A semantic may keep rt where the run's frames reach it (a closure stored in a variable),
// closing a cycle through the Runtime; the collector must see what the Runtime holds. A
// cleared Runtime is as one with no program: its methods refuse.
int rtTraverse(PyObject* self, visitproc visit, void* arg) {
    RunRecord* rt = &asRt(self)->rt;
    Py_VISIT(Py_TYPE(self));
    if (rt->initialised) {
        Py_VISIT(rt->frame);
        Py_VISIT(rt->context);
        Py_VISIT(rt->program);
    }
    return 0;
}

int rtClear(PyObject* self) {
    RunRecord* rt = &asRt(self)->rt;
    if (rt->initialised) {
        rt->initialised = false;
        rt->record = nullptr;
        rt->language = nullptr;
        Py_CLEAR(rt->frame);
        Py_CLEAR(rt->context);
        Py_CLEAR(rt->program);
        free(rt->callStack);
        rt->callStack = nullptr;
        rt->callCount = rt->callCapacity = 0;
    }
    return 0;
}

PyObject* rtRepr(PyObject*) { return PyUnicode_FromString("Runtime()"); }

// A row of the own methods: all take positional and keyword arguments.
PyMethodDef method(const char* name, PyCFunctionWithKeywords fn, const char* doc) {
    return {name, asPyCFunction(fn), METH_VARARGS | METH_KEYWORDS, doc};
}

const PyMethodDef rtOwnBefore[] = {
    method("eval", rtEval,
           WUNA_DOC("eval($self, x, /)",
                    "The value of an expression node (a list: of each); a value that isn't a node "
                    "is its own value.")),
    method("fresh", rtFresh,
           WUNA_DOC("fresh($self, node, /)",
                    "From here, the variables of the block scope `node` (being run) are new ones, "
                    "closures made so far keeping theirs: a loop's variable new each time round "
                    "(Lua's for, JavaScript's for (let ...)).")),
    method("exec", rtExec,
           WUNA_DOC("exec($self, x, /)", "Run a statement node (a list: each in order).")),
    method("loop", rtLoop,
           WUNA_DOC("loop($self, body, /)",
                    "Run a loop's body once: False if it broke out of the loop (rt.Break), True "
                    "otherwise (rt.Continue included).")),
    method("load", rtLoad,
           WUNA_DOC("load($self, name, /)",
                    "The value of the variable a name node refers to (nomos' symbol); a builtin's "
                    "is the host function of its name.")),
    method("store", rtStore,
           WUNA_DOC("store($self, name, value, /)", "Set the variable a name node refers to.")),
    method("function", rtFunction,
           WUNA_DOC("function($self, node, /)",
                    "A function made from a node of a function kind (Language.function), seeing "
                    "the variables of where it's made.")),
    method(
        "call", rtCall,
        WUNA_DOC("call($self, /, f, args, receiver=None)",
                 "Call a function of the program, or a host function, with a list of arguments.")),
    method("tail_call", rtTailCall,
           WUNA_DOC("tail_call($self, /, f, args, receiver=None)",
                    "Return what calling f with the arguments returns, the function being run left "
                    "first (its frame given up: a chain of tail calls takes no depth). Never "
                    "returns. At the top level, a call whose result is returned.")),
    method("error", rtError,
           WUNA_DOC("error($self, /, node, message, code=None)",
                    "Stop the program with a runtime error at the node.")),
    method(
        "kind", rtKind,
        WUNA_DOC("kind($self, node, /)", "A node's kind (also when it has a field named kind).")),
    method("text", rtText, WUNA_DOC("text($self, node, /)", "A node's text.")),
};

const PyMethodDef rtOwnAfter[] = {
    method("span", rtSpan, WUNA_DOC("span($self, node, /)", "A node's (start, end) byte offsets.")),
    method("scope", rtScope,
           WUNA_DOC("scope($self, node, /)",
                    "The scope node the name `node` refers to is defined in (a function, a "
                    "struct...), or None for builtins and the global scope.")),
    method("symbol", rtSymbol,
           WUNA_DOC("symbol($self, node, /)",
                    "nomos' Symbol for the name `node` defines or uses, or None.")),
    method("type_of", rtTypeOf,
           WUNA_DOC("type_of($self, node, /)",
                    "The type nomos' types() rule gave a node, as text ('int', 'list[float]', "
                    "'Point?'), or None.")),
    method("node_at", rtNodeAt,
           WUNA_DOC("node_at($self, index, /)",
                    "The node at an index of the tree (symbols refer to nodes by index).")),
};

// The whole table, null-terminated.
PyMethodDef rtMethods[std::size(rtOwnBefore) + bridge::kRtDataMethods + std::size(rtOwnAfter) + 1];

// Fills rtMethods from its parts. Never fails.
bool fillRtMethods() {
    PyMethodDef* at = std::copy(std::begin(rtOwnBefore), std::end(rtOwnBefore), rtMethods);
    at = bridge::appendRtDataMethods(at);
    at = std::copy(std::begin(rtOwnAfter), std::end(rtOwnAfter), at);
    WUNA_CHECK(at == std::end(rtMethods) - 1);  // the data part wrote bridge::kRtDataMethods rows
    *at = {nullptr, nullptr, 0, nullptr};
    return true;
}

[[maybe_unused]] const bool rtMethodsFilled = fillRtMethods();

PyGetSetDef rtGetters[] = {
    {"receiver", getReceiver, nullptr,
     "What the method being run was called on (rt.call(f, args, receiver=x)), through the "
     "frames functions were made in; None outside a method.",
     nullptr},
    {"path", getPath, nullptr,
     "The name the program was loaded under (Language.load(source, path)), or None.", nullptr},
    {"varargs", getVarargs, nullptr,
     "The arguments the function being run got beyond its parameters (a function kind with "
     "extra='keep'), a tuple; () otherwise.",
     nullptr},
    {"context", getContext, nullptr, "What the host passed to the run or call (context=), or None.",
     nullptr},
    {"Return", getJump, nullptr,
     "wuna.Return: raise rt.Return(value) to return from the function being run.", &returnClass},
    {"Break", getJump, nullptr,
     "wuna.Break: raise rt.Break() to leave the loop rt.loop() is running.", &breakClass},
    {"Continue", getJump, nullptr,
     "wuna.Continue: raise rt.Continue() to go on with the loop's next iteration.", &continueClass},
    {"Throw", getJump, nullptr,
     "wuna.Throw: raise rt.Throw(value, message=None) for an error of the language carrying a "
     "value of it, caught by semantics (except rt.Throw as e: e.value).",
     &throwClass},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rtSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rtNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(heapDealloc<rtClear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(rtTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rtClear)},
    {Py_tp_repr, reinterpret_cast<void*>(rtRepr)},
    {Py_tp_methods, rtMethods},
    {Py_tp_getset, rtGetters},
    {Py_tp_doc,
     const_cast<char*>(
         "rt: what semantics use to run the program. eval(x) / exec(x) run a child node (or "
         "each of a list); load(name) / store(name, value) read and write the variable a name "
         "node refers to; function(node) makes a function, call(f, args) calls one (or a host "
         "function); loop(body) runs a loop's body once and says whether to go on; raise "
         "rt.Return(value) / rt.Break() / rt.Continue(); error(node, message) stops the "
         "program with a runtime error.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec rtSpec = {"wuna.Runtime", int(sizeof(RtObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, rtSlots};

RunRecord* runRecordOf(PyObject* object) {
    if (!runtimeType || !PyObject_TypeCheck(object, runtimeType)) return nullptr;
    return &asRt(object)->rt;
}

RunRecord* liveRun(PyObject* object) {
    RunRecord* rt = runRecordOf(object);
    if (hasProgram(rt)) return rt;
    PyErr_SetString(PyExc_RuntimeError, kNoProgram);
    return nullptr;
}

int pushCall(RunRecord* rt, FrameObject* frame) {
    if (rt->callCount == rt->callCapacity) {
        uint32_t bigger = rt->callCapacity ? rt->callCapacity * 2 : 16;
        if (bigger < rt->callCapacity) {
            PyErr_NoMemory();
            return -1;
        }
        void* grown = realloc(rt->callStack, sizeof(FrameObject*) * bigger);
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        rt->callStack = static_cast<FrameObject**>(grown);
        rt->callCapacity = bigger;
    }
    rt->callStack[rt->callCount++] = frame;
    return 0;
}

}  // namespace wuna::host
