// Calls of the reference mode (see interp/calls.h).
//
// callValue owns a loop: it makes one call, and when that call ends with a pending TailCall
// (raised by rt.tail_call in the body of the function it called, whose frame is gone by now)
// it takes the exception's callee, arguments and receiver and calls again, at the node it was
// first asked at. So a chain of tail calls never nests: the depth, the call stack and the C
// stack stay as they were. A program function's call frame lives from the arity and depth
// checks to the end of its body; every way out pops it.
#include "host/interp/calls.h"

#include <cstring>

#include "host/interp/function_object.h"
#include "host/interp/interp.h"
#include "host/interp/run_errors.h"
#include "host/interp/variables.h"
#include "host/module/exceptions.h"
#include "host/module/startup.h"
#include "host/module/type_registry.h"
#include "host/run/session.h"
#include "host/support/check.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/text.h"

namespace wuna::host {

namespace {

constexpr char kArity[] = "%s() takes %zd argument%s, %zd given";
constexpr char kTooDeep[] = "call stack too deep (more than %u calls)";
constexpr char kOtherProgram[] = "a function of another program can't be called here";
constexpr char kJumpOutside[] = "break or continue outside a loop";
constexpr char kNotCallable[] = "'%s' value is not callable";
constexpr char kParametersNodes[] = "a function's parameters must be nodes";
constexpr char kHostFallbackName[] = "host function";
// A host's name is shown with at most this many bytes, an exception's text with at most this
// many.
constexpr size_t kHostNameBytes = 128;
constexpr size_t kExceptionTextBytes = 512;

// The type names a value that is not callable is called by, checked in this order.
struct TypeName {
    PyTypeObject* type;
    const char* name;
};
const TypeName kTypeNames[] = {
    {&PyBool_Type, "bool"},   {&PyLong_Type, "int"},  {&PyFloat_Type, "float"},
    {&PyUnicode_Type, "str"}, {&PyList_Type, "list"}, {&PyTuple_Type, "tuple"},
    {&PyDict_Type, "dict"},
};

FunctionObject* asFunction(PyObject* f) { return reinterpret_cast<FunctionObject*>(f); }

// Appends text (length bytes) to the used bytes of out, as much as fits in capacity, cut on a
// character boundary. The new count of bytes used. Never fails.
size_t appendCut(char* out, size_t used, size_t capacity, const char* text, size_t length) {
    length = wuna::text::utf8Prefix(text, length, capacity - used);
    memcpy(out + used, text, length);
    return used + length;
}

// The pending exception's text, "<class name>: <str()>", taking the exception; pieces that
// cannot be made are left out. Writes at most capacity - 1 bytes into out and a NUL; the count
// written before that NUL (the text may hold NULs of its own).
size_t exceptionText(char* out, size_t capacity) {
    size_t used = 0;
    size_t limit = capacity - 1;
    PendingError error;
    error.take();
    if (PyObject* value = error.exception) {
        PyObject* name =
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__");
        Py_ssize_t length = 0;
        const char* text =
            name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
        if (text) used = appendCut(out, used, limit, text, size_t(length));
        PyErr_Clear();
        Py_XDECREF(name);
        used = appendCut(out, used, limit, ": ", 2);
        PyObject* shown = PyObject_Str(value);
        text = shown ? PyUnicode_AsUTF8AndSize(shown, &length) : nullptr;
        if (text) used = appendCut(out, used, limit, text, size_t(length));
        PyErr_Clear();
        Py_XDECREF(shown);
    }
    error.drop();
    out[used] = 0;
    return used;
}

// The name a host function is shown by: at most capacity - 1 bytes and a NUL; the count
// written before the NUL.
size_t hostName(PyObject* f, char* out, size_t capacity) {
    PyObject* name = PyObject_GetAttrString(f, "__name__");
    Py_ssize_t length = 0;
    const char* text =
        name && PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    PyErr_Clear();
    size_t used =
        text ? appendCut(out, 0, capacity - 1, text, size_t(length))
             : appendCut(out, 0, capacity - 1, kHostFallbackName, sizeof kHostFallbackName - 1);
    out[used] = 0;
    Py_XDECREF(name);
    return used;
}

bool isJump(PyObject* type) {
    return PyErr_GivenExceptionMatches(type, returnClass) ||
           PyErr_GivenExceptionMatches(type, breakClass) ||
           PyErr_GivenExceptionMatches(type, continueClass) ||
           PyErr_GivenExceptionMatches(type, tailCallClass);
}

// A call of any other Python callable.
PyObject* callHost(RunRecord* rt, PyObject* f, PyObject* args, PyObject* receiver) {
    Py_ssize_t shift = receiver ? 1 : 0;
    Py_ssize_t count = PyTuple_GET_SIZE(args) + shift;
    PyObject* items = PyTuple_New(count);
    if (!items) return nullptr;
    // The receiver is the first argument the host sees, converted like the others.
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject* given = i < shift ? receiver : PyTuple_GET_ITEM(args, i - shift);
        PyObject* item = toI64(Py_NewRef(given));
        if (!item) {
            Py_DECREF(items);
            return nullptr;
        }
        PyTuple_SET_ITEM(items, i, item);
    }
    int32_t site = rt->currentNode;
    PyObject* result = PyObject_Call(f, items, nullptr);
    Py_DECREF(items);
    if (result) {
        result = toI64(result);
        if (!result) wrapError(rt, site);
        return result;
    }
    PyObject* type = PyErr_Occurred();
    if (!type || !isProgramFailure(type) || isJump(type) ||
        PyErr_GivenExceptionMatches(type, errorClass))
        return nullptr;
    if (PyErr_GivenExceptionMatches(type, throwClass)) {
        attachThrowError(rt, site);
        return nullptr;
    }
    // "<name>: <text>", put together by length: either may hold a NUL.
    char text[kExceptionTextBytes + 1];
    size_t textLength = exceptionText(text, sizeof text);
    char message[kHostNameBytes + 2 + kExceptionTextBytes + 1];
    size_t length = hostName(f, message, kHostNameBytes + 1);
    memcpy(message + length, ": ", 2);
    memcpy(message + length + 2, text, textLength);
    raiseAtNodeText(rt, site, message, length + 2 + textLength);
    return nullptr;
}

PyObject* raiseNotCallable(RunRecord* rt, PyObject* f) {
    const char* name = "object";
    if (f == Py_None) {
        name = "None";
    } else {
        for (const TypeName& entry : kTypeNames) {
            if (PyObject_TypeCheck(f, entry.type)) {
                name = entry.name;
                break;
            }
        }
    }
    raiseAt(rt, rt->currentNode, kNotCallable, name);
    return nullptr;
}

// The value a Return carries (its first argument, None without one), an exact int made an
// I64; the Return is taken. Null with the exception. Compiled code takes it the same way.
PyObject* returnValue() { return bridge::takeControlValue(); }

// The pending TailCall's callee, arguments (a tuple) and receiver (null for None), taken as
// new references; the exception is taken. -1 with another exception when it is malformed.
int takeTailCall(PyObject** f, PyObject** args, PyObject** receiver) {
    PendingError jump;
    jump.take();
    PyObject* items = jump.exception ? PyObject_GetAttrString(jump.exception, "args") : nullptr;
    jump.drop();
    if (!items) return -1;
    int rc = -1;
    if (!PyTuple_Check(items) || PyTuple_GET_SIZE(items) < 2) {
        PyErr_SetString(PyExc_TypeError, "TailCall(f, args, receiver) needs f and args");
    } else {
        PyObject* tuple = PySequence_Tuple(PyTuple_GET_ITEM(items, 1));
        if (tuple) {
            *f = Py_NewRef(PyTuple_GET_ITEM(items, 0));
            *args = tuple;
            PyObject* r = PyTuple_GET_SIZE(items) > 2 ? PyTuple_GET_ITEM(items, 2) : Py_None;
            *receiver = r == Py_None ? nullptr : Py_NewRef(r);
            rc = 0;
        }
    }
    Py_DECREF(items);
    return rc;
}

// The parameters of definition d: a new list, or null.
PyObject* parametersOf(RunRecord* rt, uint32_t d, const FunctionKind& kind) {
    if (!kind.paramsLabel) return PyList_New(0);
    StateObject* state = stateOfRun(rt);
    PyObject* value =
        labelledValue(reinterpret_cast<PyObject*>(state), state->holder, d, kind.paramsLabel);
    if (!value) return nullptr;
    if (PyList_Check(value)) return value;
    if (value == Py_None) {
        Py_DECREF(value);
        return PyList_New(0);
    }
    PyObject* list = PyList_New(1);
    if (!list) {
        Py_DECREF(value);
        return nullptr;
    }
    PyList_SET_ITEM(list, 0, value);
    return list;
}

// The body of definition d: a new reference (None when it has none), or null.
PyObject* bodyOf(RunRecord* rt, uint32_t d, const FunctionKind& kind) {
    StateObject* state = stateOfRun(rt);
    PyObject* owner = reinterpret_cast<PyObject*>(state);
    if (kind.bodyLabel) return labelledValue(owner, state->holder, d, kind.bodyLabel);
    const ptree::Index* index = state->holder->index;
    uint64_t end = uint64_t(d) + index->nodes[d].descendants + 1;
    if (end > index->count) end = index->count;
    for (uint64_t j = uint64_t(d) + 1; j < end; j += uint64_t(index->nodes[j].descendants) + 1)
        if (kind.bodyRule != kNoBodyRule && ptree::kindOf(index->nodes[j]) == kind.bodyRule)
            return nodeValue(owner, state->holder, uint32_t(j));
    Py_RETURN_NONE;
}

// Steps of a program-function call in the Runtime of f's own program.
PyObject* callInProgram(RunRecord* rt, PyObject* f, PyObject* args, PyObject* receiver) {
    FunctionObject* function = asFunction(f);
    const ptree::Index* index = indexOf(rt);
    uint32_t d = function->node;
    const FunctionKind* found = functionKindOf(rt, d, rt->currentNode);
    if (!found) return nullptr;
    const FunctionKind kind = *found;
    PyObject* params = parametersOf(rt, d, kind);
    if (!params) {
        wrapError(rt, rt->currentNode);
        return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(params);
    Py_ssize_t m = PyTuple_GET_SIZE(args);
    if (!function->name || !PyUnicode_Check(function->name)) {
        Py_DECREF(params);
        PyErr_SetString(PyExc_TypeError, "name must be a str");
        return nullptr;
    }
    if ((m < n && kind.missing != MissingArgs::none) || (m > n && kind.extra == ExtraArgs::error)) {
        Py_DECREF(params);
        return raiseArity(rt, function->name, n, m);
    }
    if (rt->depth >= rt->language->maxDepth) {
        Py_DECREF(params);
        return raiseTooDeep(rt);
    }
    PyObject* frame = newCallFrame(d, rt->currentNode, function->frame, function->name);
    if (!frame) {
        Py_DECREF(params);
        return nullptr;
    }
    FrameObject* callFrame = reinterpret_cast<FrameObject*>(frame);
    callFrame->receiver = Py_XNewRef(receiver);
    if (kind.extra == ExtraArgs::keep) {
        callFrame->varargs = PyTuple_GetSlice(args, n < m ? n : m, m);
        if (!callFrame->varargs) {
            Py_DECREF(frame);
            Py_DECREF(params);
            return nullptr;
        }
    }
    PyObject* before = rt->frame;
    if (pushCall(rt, callFrame) < 0) {
        Py_DECREF(frame);
        Py_DECREF(params);
        return nullptr;
    }
    rt->frame = frame;
    rt->depth++;
    PyObject* result = nullptr;
    int rc = hoist(rt, d);
    for (Py_ssize_t i = 0; rc == 0 && i < n; i++) {
        int64_t node = parameterNode(index, PyList_GET_ITEM(params, i));
        rc = node < 0
                 ? -1
                 : storeVariable(rt, uint32_t(node), i < m ? PyTuple_GET_ITEM(args, i) : Py_None);
    }
    PyObject* body = rc == 0 ? bodyOf(rt, d, kind) : nullptr;
    if (body) {
        rc = execValue(rt, body);
        Py_DECREF(body);
        if (rc == 0) {
            result = Py_NewRef(Py_None);
        } else if (PyErr_ExceptionMatches(returnClass)) {
            result = returnValue();
        } else if (PyErr_ExceptionMatches(breakClass) || PyErr_ExceptionMatches(continueClass)) {
            PyErr_Clear();
            raiseJumpOutsideLoop(rt);
        }
    }
    // Every call the body made has returned and popped its own frame.
    WUNA_CHECK(rt->callCount > 0 && rt->callStack[rt->callCount - 1] == callFrame);
    rt->callCount--;
    rt->depth--;
    rt->frame = before;
    Py_DECREF(frame);
    Py_DECREF(params);
    return result;
}

}  // namespace

PyObject* raiseArity(RunRecord* rt, PyObject* name, Py_ssize_t n, Py_ssize_t m) {
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return nullptr;
    raiseAt(rt, rt->currentNode, kArity, text, n, n == 1 ? "" : "s", m);
    return nullptr;
}

PyObject* raiseTooDeep(RunRecord* rt) {
    raiseAt(rt, rt->currentNode, kTooDeep, unsigned(rt->language->maxDepth));
    return nullptr;
}

PyObject* raiseOtherProgram(RunRecord* rt) {
    raiseAt(rt, rt->currentNode, "%s", kOtherProgram);
    return nullptr;
}

PyObject* raiseJumpOutsideLoop(RunRecord* rt) {
    raiseAt(rt, rt->currentNode, "%s", kJumpOutside);
    return nullptr;
}

int64_t parameterNode(const ptree::Index* index, PyObject* p) {
    NodeObject* node = Py_TYPE(p) == nodeType ? reinterpret_cast<NodeObject*>(p) : nullptr;
    if (!node || !node->state || !node->holder || node->holder->index != index ||
        node->index >= index->count) {
        PyErr_SetString(PyExc_TypeError, kParametersNodes);
        return -1;
    }
    uint32_t i = node->index;
    uint32_t s = index->nodeSymbols ? index->nodeSymbols[i] : ptree::kNone;
    if (s < index->symbolCount && index->symbols[s].declaring == i) return i;
    uint8_t label = ptree::fieldLabel(index->grammar, "name", 4);
    if (label) {
        int64_t child = ptree::childWithLabel(index->nodes, index->count, i, label);
        if (child >= 0) return child;
    }
    return i;
}

PyObject* callProgramFunction(RunRecord* rt, PyObject* f, PyObject* args, PyObject* receiver) {
    FunctionObject* function = asFunction(f);
    if (function->state == rt->record->state) return callInProgram(rt, f, args, receiver);
    SessionObject* session = function->state ? sessionOfProgram(rt->record) : nullptr;
    PyObject* entry = session ? sessionEntryOf(session, function->state) : nullptr;
    if (!entry) return raiseOtherProgram(rt);
    Py_INCREF(entry);
    PyObject* object = newRt(entry);
    Py_DECREF(entry);
    if (!object) return nullptr;
    RunRecord* other = runRecordOf(object);
    other->depth = rt->depth;
    other->currentNode = int32_t(function->node);
    other->context = Py_XNewRef(rt->context);
    other->frame = Py_XNewRef(stateOfRun(other)->frame);
    PyObject* result = callInProgram(other, f, args, receiver);
    endRt(object);
    return result;
}

PyObject* callValue(RunRecord* rt, PyObject* f, PyObject* args, PyObject* receiver) {
    if (checkStackRoom(rt) < 0) return nullptr;
    int32_t site = rt->currentNode;
    Py_INCREF(f);
    Py_INCREF(args);
    Py_XINCREF(receiver);
    for (;;) {
        PyObject* result;
        if (Py_TYPE(f) == functionType)
            result = callProgramFunction(rt, f, args, receiver);
        else if (PyCallable_Check(f))
            result = callHost(rt, f, args, receiver);
        else
            result = raiseNotCallable(rt, f);
        Py_DECREF(f);
        Py_DECREF(args);
        Py_XDECREF(receiver);
        if (result || !PyErr_ExceptionMatches(tailCallClass)) return result;
        if (takeTailCall(&f, &args, &receiver) < 0) return nullptr;
        rt->currentNode = site;
    }
}

}  // namespace wuna::host
