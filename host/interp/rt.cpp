// The Runtime type (see interp/rt.h): its record's life, its methods and properties.
//
// Each method reads its arguments (positional-only methods take exactly their count, the
// keyword methods go through args::parse), checks that node arguments are nodes of the run's
// program, and hands over to the interpreter. A failure always leaves an exception: when an
// operation fails without one, finish() raises a RuntimeError naming the method, so a
// semantic never sees None for a failure. The method table is put together in
// interp/rt_methods.cpp, where the data operations of interp/rt_data.h join these.
#include "host/interp/rt.h"

#include <cstdlib>
#include <cstring>

#include "host/interp/calls.h"
#include "host/interp/interp.h"
#include "host/interp/rt_methods.h"
#include "host/interp/run_errors.h"
#include "host/interp/variables.h"
#include "host/module/exceptions.h"
#include "host/module/type_registry.h"
#include "host/run/program.h"
#include "host/support/args.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::host {

namespace {

constexpr char kNoProgram[] = "this Runtime has no program (runs make their own)";
constexpr char kMustBeNode[] = "%s must be a node of the program";
constexpr char kFailedSilently[] = "rt.%s() failed without an exception";

RuntimeObject* asRuntime(PyObject* self) { return reinterpret_cast<RuntimeObject*>(self); }

// Whether rt still has its program: the collector may clear the Program while this Runtime
// stays reachable, leaving the record without its state.
bool hasProgram(const RuntimeRecord* rt) {
    return rt && rt->initialised && rt->record && rt->program &&
           reinterpret_cast<ProgramObject*>(rt->program)->initialised;
}

StateObject* stateOfRun(RuntimeRecord* rt) {
    return reinterpret_cast<StateObject*>(rt->record->state);
}

// The result of a method: a failure without an exception becomes one.
PyObject* finish(const char* method, PyObject* result) {
    if (!result && !PyErr_Occurred()) PyErr_Format(PyExc_RuntimeError, kFailedSilently, method);
    return result;
}

// The node index of a node argument, or -1 with "<what> must be a node of the program".
int64_t nodeArgument(RuntimeRecord* rt, PyObject* x, const char* what) {
    int64_t n = nodeOfProgram(rt, x);
    if (n < 0) PyErr_Format(PyExc_TypeError, kMustBeNode, what);
    return n;
}

// The Runtime of a positional-only method taking count arguments.
RuntimeRecord* positional(PyObject* self, PyObject* args, PyObject* kwargs, Py_ssize_t count) {
    if (!args) {
        PyErr_SetString(PyExc_TypeError, "MissingArguments");
        return nullptr;
    }
    if (args::exactly(args, kwargs, count) < 0) return nullptr;
    return liveRuntime(self);
}

// The Runtime and the node index of a method taking one node argument.
RuntimeRecord* oneNode(PyObject* self, PyObject* args, PyObject* kwargs, const char* what,
                       int64_t* n) {
    RuntimeRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    *n = nodeArgument(rt, PyTuple_GET_ITEM(args, 0), what);
    return *n < 0 ? nullptr : rt;
}

PyObject* rtEval(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    return finish("eval", evalValue(rt, PyTuple_GET_ITEM(args, 0)));
}

PyObject* rtFresh(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    if (freshFrame(rt, uint32_t(n)) < 0) return finish("fresh", nullptr);
    Py_RETURN_NONE;
}

PyObject* rtExec(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    if (execValue(rt, PyTuple_GET_ITEM(args, 0)) < 0) return finish("exec", nullptr);
    Py_RETURN_NONE;
}

PyObject* rtLoop(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeRecord* rt = positional(self, args, kwargs, 1);
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
    RuntimeRecord* rt = oneNode(self, args, kwargs, "a variable's name", &n);
    if (!rt) return nullptr;
    return finish("load", loadVariable(rt, uint32_t(n)));
}

PyObject* rtStore(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeRecord* rt = positional(self, args, kwargs, 2);
    if (!rt) return nullptr;
    int64_t n = nodeArgument(rt, PyTuple_GET_ITEM(args, 0), "a variable's name");
    if (n < 0) return nullptr;
    if (storeVariable(rt, uint32_t(n), PyTuple_GET_ITEM(args, 1)) < 0)
        return finish("store", nullptr);
    Py_RETURN_NONE;
}

PyObject* rtFunction(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeRecord* rt = oneNode(self, args, kwargs, "a function's node", &n);
    if (!rt) return nullptr;
    return finish("function", makeFunction(rt, uint32_t(n)));
}

const args::Param callParams[] = {{"f", true}, {"args", true}, {"receiver", false}};

// The callee, the arguments as a tuple (new) and the receiver (null for none) of call and
// tail_call.
struct CallArguments {
    PyObject* f = nullptr;
    PyObject* tuple = nullptr;
    PyObject* receiver = nullptr;
    ~CallArguments() { Py_XDECREF(tuple); }
};

RuntimeRecord* readCall(const char* name, PyObject* self, PyObject* args, PyObject* kwargs,
                        CallArguments* out) {
    PyObject* given[3];
    if (args::parse(name, callParams, args, kwargs, given) < 0) return nullptr;
    RuntimeRecord* rt = liveRuntime(self);
    if (!rt) return nullptr;
    out->tuple = PySequence_Tuple(given[1]);
    if (!out->tuple) return nullptr;
    out->f = given[0];
    out->receiver = given[2] == Py_None ? nullptr : given[2];
    return rt;
}

PyObject* rtCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallArguments call;
    RuntimeRecord* rt = readCall("call", self, args, kwargs, &call);
    if (!rt) return nullptr;
    return finish("call", callValue(rt, call.f, call.tuple, call.receiver));
}

// Raises cls(items...) as an instance, so that a tuple among the items stays one item.
void raiseInstance(PyObject* cls, PyObject* items) {
    PyObject* instance = PyObject_Call(cls, items, nullptr);
    if (!instance) return;
    PyErr_SetObject(cls, instance);
    Py_DECREF(instance);
}

PyObject* rtTailCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallArguments call;
    RuntimeRecord* rt = readCall("tail_call", self, args, kwargs, &call);
    if (!rt) return nullptr;
    if (rt->callCount > 0) {
        PyObject* items =
            PyTuple_Pack(3, call.f, call.tuple, call.receiver ? call.receiver : Py_None);
        if (items) {
            raiseInstance(tailCallClass, items);
            Py_DECREF(items);
        }
        return finish("tail_call", nullptr);
    }
    PyObject* result = callValue(rt, call.f, call.tuple, call.receiver);
    if (result) {
        PyObject* items = PyTuple_Pack(1, result);
        Py_DECREF(result);
        if (items) {
            raiseInstance(returnClass, items);
            Py_DECREF(items);
        }
    }
    return finish("tail_call", nullptr);
}

const args::Param errorParams[] = {{"node", true}, {"message", true}, {"code", false}};

PyObject* rtError(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* given[3];
    if (args::parse("error", errorParams, args, kwargs, given) < 0) return nullptr;
    RuntimeRecord* rt = liveRuntime(self);
    if (!rt) return nullptr;
    int64_t n = rt->currentNode;
    if (given[0] != Py_None) {
        n = nodeArgument(rt, given[0], "node");
        if (n < 0) return nullptr;
    }
    if (!PyUnicode_Check(given[1])) {
        PyErr_SetString(PyExc_TypeError, "message must be a str");
        return nullptr;
    }
    PyObject* code = given[2] == Py_None ? nullptr : given[2];
    if (code && !PyUnicode_Check(code)) {
        PyErr_SetString(PyExc_TypeError, "code must be a str");
        return nullptr;
    }
    // A message is cut as every message of the system is.
    PyObject* message = pyhelp::cutStr(given[1]);
    if (!message) return nullptr;
    raiseAtNode(rt, n, message, code);
    Py_DECREF(message);
    return finish("error", nullptr);
}

const ptree::GrammarInfo* grammarOfRun(RuntimeRecord* rt) { return stateGrammar(stateOfRun(rt)); }

PyObject* rtKind(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const ptree::GrammarInfo* grammar = grammarOfRun(rt);
    uint32_t k = ptree::kindOf(indexOf(rt)->nodes[n]);
    if (!grammar || k >= grammar->kindCount) return PyUnicode_InternFromString("<error>");
    return Py_NewRef(grammar->pyNames[k]);
}

PyObject* rtText(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const ptree::Index* index = indexOf(rt);
    const ptree::NodeRecord& node = index->nodes[n];
    uint64_t start = node.start < index->textLength ? node.start : index->textLength;
    uint64_t end = node.end < start ? start : node.end;
    if (end > index->textLength) end = index->textLength;
    return PyUnicode_DecodeUTF8(index->text + start, Py_ssize_t(end - start), "replace");
}

PyObject* rtSpan(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const ptree::NodeRecord& node = indexOf(rt)->nodes[n];
    return Py_BuildValue("(II)", unsigned(node.start), unsigned(node.end));
}

PyObject* rtScope(PyObject* self, PyObject* args, PyObject* kwargs) {
    int64_t n;
    RuntimeRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    const ptree::Index* index = indexOf(rt);
    uint32_t s = index->nodeSymbols ? index->nodeSymbols[n] : ptree::kNone;
    if (s >= index->symbolCount || index->symbols[s].scope >= index->count) Py_RETURN_NONE;
    return programNode(rt, index->symbols[s].scope);
}

// analysis.<method>(index), or None without an analysis.
PyObject* askAnalysis(PyObject* self, PyObject* args, PyObject* kwargs, const char* method) {
    int64_t n;
    RuntimeRecord* rt = oneNode(self, args, kwargs, "node", &n);
    if (!rt) return nullptr;
    PyObject* analysis = stateOfRun(rt)->analysis;
    if (!analysis) Py_RETURN_NONE;
    return PyObject_CallMethod(analysis, method, "I", unsigned(n));
}

PyObject* rtSymbol(PyObject* self, PyObject* args, PyObject* kwargs) {
    return askAnalysis(self, args, kwargs, "resolve");
}

PyObject* rtTypeOf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return askAnalysis(self, args, kwargs, "type_of");
}

PyObject* rtNodeAt(PyObject* self, PyObject* args, PyObject* kwargs) {
    RuntimeRecord* rt = positional(self, args, kwargs, 1);
    if (!rt) return nullptr;
    PyObject* given = PyTuple_GET_ITEM(args, 0);
    if (!PyLong_Check(given)) {
        // The bare class name the convention once gave told a user nothing; say what was
        // wrong, as the other rt methods do.
        PyErr_Format(PyExc_TypeError, "a node's index must be an int, not %.200s",
                     Py_TYPE(given)->tp_name);
        return nullptr;
    }
    long long i = PyLong_AsLongLong(given);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0 || uint64_t(i) >= indexOf(rt)->count) {
        PyErr_Format(PyExc_IndexError, "no node %lld", i);
        return nullptr;
    }
    return programNode(rt, uint32_t(i));
}

// --- properties ------------------------------------------------------------------------------

FrameObject* frameAt(PyObject* frame) { return reinterpret_cast<FrameObject*>(frame); }

PyObject* getReceiver(PyObject* self, void*) {
    RuntimeRecord* rt = runtimeOf(self);
    for (PyObject* f = rt ? rt->frame : nullptr; f; f = frameAt(f)->parent)
        if (frameAt(f)->receiver) return Py_NewRef(frameAt(f)->receiver);
    Py_RETURN_NONE;
}

PyObject* getPath(PyObject* self, void*) {
    RuntimeRecord* rt = runtimeOf(self);
    if (!hasProgram(rt) || !rt->record->path) Py_RETURN_NONE;
    return Py_NewRef(rt->record->path);
}

PyObject* getVarargs(PyObject* self, void*) {
    RuntimeRecord* rt = runtimeOf(self);
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
    RuntimeRecord* rt = runtimeOf(self);
    return Py_NewRef(rt && rt->context ? rt->context : Py_None);
}

PyObject* getJump(PyObject*, void* which) { return Py_NewRef(*static_cast<PyObject**>(which)); }

// --- the object's life -----------------------------------------------------------------------

PyObject* runtimeNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
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
    RuntimeRecord* rt = &asRuntime(self)->rt;
    memset(rt, 0, sizeof *rt);
    rt->currentNode = -1;
    return self;
}

// A semantic may keep rt where the run's frames reach it (a closure stored in a variable),
// closing a cycle through the Runtime; the collector must see what the Runtime holds. A
// cleared Runtime is as one with no program: its methods refuse.
int runtimeTraverse(PyObject* self, visitproc visit, void* arg) {
    RuntimeRecord* rt = &asRuntime(self)->rt;
    Py_VISIT(Py_TYPE(self));
    if (rt->initialised) {
        Py_VISIT(rt->frame);
        Py_VISIT(rt->context);
        Py_VISIT(rt->program);
    }
    return 0;
}

int runtimeClear(PyObject* self) {
    RuntimeRecord* rt = &asRuntime(self)->rt;
    if (rt->initialised) {
        rt->initialised = 0;
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

void runtimeDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    runtimeClear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* runtimeRepr(PyObject*) { return PyUnicode_FromString("Runtime()"); }

#define RT_METHOD(name, fn, doc)                                            \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), \
     METH_VARARGS | METH_KEYWORDS, doc}

}  // namespace

const PyMethodDef runtimeMethodsBefore[kRuntimeMethodsBefore] = {
    RT_METHOD("eval", rtEval,
              "eval($self, x, /)\n--\n\nThe value of an expression node (a list: of each); a "
              "value that isn't a node is its own value."),
    RT_METHOD("fresh", rtFresh,
              "fresh($self, node, /)\n--\n\nFrom here, the variables of the block scope `node` "
              "(being run) are new ones, closures made so far keeping theirs: a loop's variable "
              "new each time round (Lua's for, JavaScript's for (let ...))."),
    RT_METHOD("exec", rtExec,
              "exec($self, x, /)\n--\n\nRun a statement node (a list: each in order)."),
    RT_METHOD("loop", rtLoop,
              "loop($self, body, /)\n--\n\nRun a loop's body once: False if it broke out of the "
              "loop (rt.Break), True otherwise (rt.Continue included)."),
    RT_METHOD("load", rtLoad,
              "load($self, name, /)\n--\n\nThe value of the variable a name node refers to "
              "(nomos' symbol); a builtin's is the host function of its name."),
    RT_METHOD("store", rtStore,
              "store($self, name, value, /)\n--\n\nSet the variable a name node refers to."),
    RT_METHOD("function", rtFunction,
              "function($self, node, /)\n--\n\nA function made from a node of a function kind "
              "(Language.function), seeing the variables of where it's made."),
    RT_METHOD("call", rtCall,
              "call($self, /, f, args, receiver=None)\n--\n\nCall a function of the program, or "
              "a host function, with a list of arguments."),
    RT_METHOD("tail_call", rtTailCall,
              "tail_call($self, /, f, args, receiver=None)\n--\n\nReturn what calling f with the "
              "arguments returns, the function being run left first (its frame given up: a "
              "chain of tail calls takes no depth). Never returns. At the top level, a call "
              "whose result is returned."),
    RT_METHOD("error", rtError,
              "error($self, /, node, message, code=None)\n--\n\nStop the program with a runtime "
              "error at the node."),
    RT_METHOD("kind", rtKind,
              "kind($self, node, /)\n--\n\nA node's kind (also when it has a field named kind)."),
    RT_METHOD("text", rtText, "text($self, node, /)\n--\n\nA node's text."),
};

const PyMethodDef runtimeMethodsAfter[kRuntimeMethodsAfter] = {
    RT_METHOD("span", rtSpan, "span($self, node, /)\n--\n\nA node's (start, end) byte offsets."),
    RT_METHOD("scope", rtScope,
              "scope($self, node, /)\n--\n\nThe scope node the name `node` refers to is defined "
              "in (a function, a struct...), or None for builtins and the global scope."),
    RT_METHOD("symbol", rtSymbol,
              "symbol($self, node, /)\n--\n\nnomos' Symbol for the name `node` defines or uses, "
              "or None."),
    RT_METHOD("type_of", rtTypeOf,
              "type_of($self, node, /)\n--\n\nThe type nomos' types() rule gave a node, as text "
              "('int', 'list[float]', 'Point?'), or None."),
    RT_METHOD("node_at", rtNodeAt,
              "node_at($self, index, /)\n--\n\nThe node at an index of the tree (symbols refer "
              "to nodes by index)."),
};

namespace {

PyGetSetDef runtimeGetters[] = {
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

PyType_Slot runtimeSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(runtimeNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(runtimeDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(runtimeTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(runtimeClear)},
    {Py_tp_repr, reinterpret_cast<void*>(runtimeRepr)},
    {Py_tp_methods, runtimeMethods},
    {Py_tp_getset, runtimeGetters},
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

PyType_Spec runtimeSpec = {"wuna.Runtime", int(sizeof(RuntimeObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           runtimeSlots};

RuntimeRecord* runtimeOf(PyObject* object) {
    if (!runtimeType || !PyObject_TypeCheck(object, runtimeType)) return nullptr;
    return &asRuntime(object)->rt;
}

RuntimeRecord* liveRuntime(PyObject* object) {
    RuntimeRecord* rt = runtimeOf(object);
    if (hasProgram(rt)) return rt;
    PyErr_SetString(PyExc_RuntimeError, kNoProgram);
    return nullptr;
}

bool pushCall(RuntimeRecord* rt, FrameObject* frame) {
    if (rt->callCount == rt->callCapacity) {
        uint32_t bigger = rt->callCapacity ? rt->callCapacity * 2 : 16;
        if (bigger < rt->callCapacity) return false;
        void* grown = realloc(rt->callStack, sizeof(FrameObject*) * bigger);
        if (!grown) return false;
        rt->callStack = static_cast<FrameObject**>(grown);
        rt->callCapacity = bigger;
    }
    rt->callStack[rt->callCount++] = frame;
    return true;
}

}  // namespace wuna::host
