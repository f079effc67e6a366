// wuna.ProgramCall (see run/program_call.h).
//
// The caller checks everything it can before a thread starts (keywords, the argument count,
// the mode, the name's type, the thread count) and, for a compiled call, makes the program's
// module; the run thread does the rest under the interpreter lock: the top level when the
// program has not run, the lookup of the function, and the call or calls through one Runtime
// whose frame is the program's global frame. A compiled call whose module runs nothing
// through Python is made on the calling thread when its stack has room, with no thread.
#include "host/run/program_call.h"

#include <cstring>

#include "compiler/driver/modules.h"
#include "host/interp/calls.h"
#include "host/interp/frame_object.h"
#include "host/interp/interp.h"
#include "host/interp/run_errors.h"
#include "host/module/type_registry.h"
#include "host/run/compiled_run.h"
#include "host/run/program.h"
#include "host/run/run_thread.h"
#include "host/support/check.h"
#include "host/tree/state.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/proxies.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::host {

namespace {

ProgramCallObject* asCall(PyObject* self) { return reinterpret_cast<ProgramCallObject*>(self); }

// --- keywords --------------------------------------------------------------------------------

enum KeywordSlot { kContext, kMode, kThreads, kKeywordCount };

struct Keyword {
    const char* name;
    bool call;  // accepted by a call object
    bool map;   // accepted by a map object
};

constexpr Keyword kKeywords[kKeywordCount] = {
    {"context", true, true},
    {"mode", true, false},
    {"threads", false, true},
};

// Reads the keywords into values (borrowed; null when absent or None). 0, or -1 with the
// TypeError of a keyword that is not a str or not accepted.
int readKeywords(PyObject* kwargs, bool isMap, PyObject** values) {
    for (int i = 0; i < kKeywordCount; i++) values[i] = nullptr;
    if (!kwargs) return 0;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Py_ssize_t length = 0;
        const char* text = convert::strArg(key, "keyword", &length);
        if (!text) return -1;
        int slot = -1;
        for (int i = 0; i < kKeywordCount; i++)
            if ((isMap ? kKeywords[i].map : kKeywords[i].call) &&
                strlen(kKeywords[i].name) == size_t(length) &&
                memcmp(kKeywords[i].name, text, size_t(length)) == 0)
                slot = i;
        if (slot < 0) {
            // The keyword as given, whole: a NUL in it is no end of the message.
            PyObject* message = PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'",
                                                     isMap ? "map" : "call", key);
            PyObject* cut = message ? pyhelp::cutStr(message) : nullptr;
            Py_XDECREF(message);
            if (cut) {
                PyErr_SetObject(PyExc_TypeError, cut);
                Py_DECREF(cut);
            }
            return -1;
        }
        values[slot] = value == Py_None ? nullptr : value;
    }
    return 0;
}

// --- the work of the run thread --------------------------------------------------------------

struct CallRequest {
    PyObject* program;    // the Program object
    PyObject* name;       // a str
    PyObject* arguments;  // a call's argument tuple, or a map's items
    PyObject* context;    // null: none
    bool isMap;
    bool compiled;      // a call of compiled code
    const char* text;   // a compiled call's name as UTF-8, borrowed from name
    Py_ssize_t length;  // its bytes
};

// The value of the top-level function name in the global frame: the first global,
// non-builtin symbol of that name that has a value there. Borrowed, or null with KeyError.
PyObject* findFunction(StateObject* state, const char* name, size_t length) {
    ptree::Index* index = state->holder->index;
    auto* frame = reinterpret_cast<FrameObject*>(state->frame);
    for (uint32_t k = 0; frame && k < index->symbolCount; k++) {
        const ptree::Symbol& symbol = index->symbols[k];
        if (symbol.builtin || symbol.length != length || memcmp(symbol.name, name, length) != 0)
            continue;
        if (ptree::symbolScope(index, k) != -1) continue;
        if (PyObject* value = frame->variables.find(k)) return value;
    }
    raiseNoSuchFunction(PyExc_KeyError, name, length);
    return nullptr;
}

// Calls function once per item (a tuple item is the arguments, any other the one argument)
// and gives the results in item order. Every item runs, unless the caller is interrupted or
// an item ends with an exception that is no program failure (SystemExit...), which stops the
// map; the failure is the lowest item's.
PyObject* mapItems(RunRecord* rt, PyObject* function, PyObject* items) {
    // items is a tuple or a list no one else holds (checkMap's snapshot): the program's code
    // can change neither its length nor its items while they run.
    WUNA_CHECK(PyTuple_CheckExact(items) || PyList_CheckExact(items));
    PyObject* sequence = Py_NewRef(items);
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    PyObject* results = PyList_New(count);
    if (!results) {
        Py_DECREF(sequence);
        return nullptr;
    }
    PendingError first;  // the lowest failing item's
    for (Py_ssize_t i = 0; i < count; i++) {
        if (runthread::stopRequested()) {
            // The caller was interrupted: its interrupt replaces whatever the map gives, so
            // the remaining items are not run (the slots left empty are never read).
            if (!first.exception) {
                PyErr_SetNone(PyExc_KeyboardInterrupt);
                first.take();
            }
            break;
        }
        PyObject* item = Py_NewRef(PySequence_Fast_GET_ITEM(sequence, i));
        PyObject* given = PyTuple_Check(item) ? Py_NewRef(item) : PyTuple_Pack(1, item);
        Py_DECREF(item);
        // Bytes-like arguments reach the program as views, as a call's do.
        PyObject* arguments = given ? proxies::wrapData(given) : nullptr;
        Py_XDECREF(given);
        PyObject* result = arguments ? callValue(rt, function, arguments, nullptr) : nullptr;
        Py_XDECREF(arguments);
        if (!result) {
            finishRunError();
            PyObject* failed = PyErr_Occurred();
            bool stops = failed && !isProgramFailure(failed);
            if (!first.exception)
                first.take();
            else
                PyErr_Clear();
            if (stops) break;
            result = Py_NewRef(Py_None);
        }
        PyList_SET_ITEM(results, i, result);
    }
    Py_DECREF(sequence);
    if (first.exception) {
        Py_DECREF(results);
        first.restore();
        return nullptr;
    }
    return results;
}

// Runs on the run thread: the top level when the program has not run, then the call or map.
// A compiled call on a run thread.
PyObject* compiledCallThread(void* arg) {
    const CallRequest* request = static_cast<const CallRequest*>(arg);
    ProgramRecord* record = programOf(request->program);
    if (!record) return nullptr;
    // The thread's stack is sized for max_depth: the depth limit alone bounds the call.
    return compiledCall(request->program, record, request->text, size_t(request->length),
                        request->arguments, request->context, 0);
}

PyObject* pythonCallThread(void* arg) {
    const CallRequest* request = static_cast<const CallRequest*>(arg);
    ProgramRecord* record = programOf(request->program);
    if (!record) return nullptr;
    StateObject* state = stateOf(record);
    if (!state->frame) {
        PyObject* done = runTopLevel(request->program);
        if (!done) return nullptr;
        Py_DECREF(done);
    }
    Py_ssize_t length = 0;
    const char* name = convert::strArg(request->name, "name", &length);
    if (!name) return nullptr;
    PyObject* function = findFunction(state, name, size_t(length));
    if (!function) return nullptr;
    Py_INCREF(function);
    PyObject* object = newRt(request->program);
    if (!object) {
        Py_DECREF(function);
        return nullptr;
    }
    RunRecord* rt = runRecordOf(object);
    Py_XSETREF(rt->frame, Py_NewRef(state->frame));
    if (request->context) Py_XSETREF(rt->context, Py_NewRef(request->context));
    PyObject* result = request->isMap ? mapItems(rt, function, request->arguments)
                                      : callValue(rt, function, request->arguments, nullptr);
    if (!result) finishRunError();
    endRt(object);
    Py_DECREF(function);
    return result;
}

// --- the type --------------------------------------------------------------------------------

// The checks of a map object on the calling thread. 0, or -1 with the exception.
int checkMap(PyObject* args, PyObject** keywords, CallRequest* request) {
    if (PyTuple_GET_SIZE(args) != 2) {
        PyErr_SetString(PyExc_TypeError,
                        "map(name, items, threads=None, context=None) takes a name and items");
        return -1;
    }
    // Compiled code is not built yet, so the map runs as Python (one item after another).
    request->name = PyTuple_GET_ITEM(args, 0);
    Py_ssize_t length;
    if (!convert::strArg(request->name, "name", &length)) return -1;
    if (PyObject* threads = keywords[kThreads]) {
        long long count = PyLong_AsLongLong(threads);
        if (count == -1 && PyErr_Occurred()) return -1;
        if (count < 1) {
            PyErr_Format(PyExc_ValueError, "map() needs at least one thread, not %lld", count);
            return -1;
        }
    }
    // The items are taken as they are now, before anything runs: the program's code may
    // change the caller's list (a host function holding it), and the map must neither read
    // past its end nor see items that were not there. A tuple is kept, a list copied, and
    // any other sequence read into a list of the map's own, as PySequence_Fast does.
    PyObject* items = PyTuple_GET_ITEM(args, 1);
    request->arguments = PyList_CheckExact(items)
                             ? PyList_AsTuple(items)
                             : PySequence_Fast(items, "map()'s items must be a sequence");
    return request->arguments ? 0 : -1;
}

// The checks of a call object on the calling thread, in this order: the name given, the
// arguments (bytes-like ones made views), the mode, and for a compiled call the program's
// module (made or awaited now) and the name's type. 0, or -1 with the exception (the
// arguments taken stay in the request for the caller to drop).
int checkCall(ProgramRecord* record, PyObject* args, PyObject** keywords,
              CallRequest* request) {
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count < 1) {
        PyErr_SetString(PyExc_TypeError, "call(name, *args) needs the function's name");
        return -1;
    }
    request->name = PyTuple_GET_ITEM(args, 0);
    PyObject* given = PyTuple_GetSlice(args, 1, count);
    if (!given) return -1;
    request->arguments = proxies::wrapData(given);
    Py_DECREF(given);
    if (!request->arguments) return -1;
    RunMode fallback = record->hasRun ? record->runMode : RunMode::compiled;
    RunMode mode;
    if (parseRunMode(keywords[kMode], fallback, &mode) < 0) return -1;
    // 'auto' calls compiled code once optimized code is at hand, else as Python.
    bool compiled = mode != RunMode::python;
    if (mode == RunMode::automatic && driver::chooseAutoMode(record, &compiled) < 0) return -1;
    request->compiled = compiled;
    if (!compiled) return 0;
    if (driver::ensureCompiled(record, true) < 0) return -1;
    request->text = convert::strArg(request->name, "name", &request->length);
    return request->text ? 0 : -1;
}

PyObject* programCallCall(PyObject* self, PyObject* args, PyObject* kwargs) {
    ProgramCallObject* call = asCall(self);
    if (!call->program) {
        // Only made by calling the type itself: the getters always give a Program.
        PyErr_SetString(PyExc_TypeError, "this ProgramCall has no program: use Program.call");
        return nullptr;
    }
    ProgramRecord* record = programOf(call->program);
    if (!record) return nullptr;
    PyObject* keywords[kKeywordCount];
    bool isMap = call->shape == CallShape::map;
    if (readKeywords(kwargs, isMap, keywords) < 0) return nullptr;
    CallRequest request = {
        call->program, nullptr, nullptr, keywords[kContext], isMap, false, nullptr, 0};
    int rc =
        isMap ? checkMap(args, keywords, &request) : checkCall(record, args, keywords, &request);
    int64_t maxDepth = rc == 0 ? maxDepthOf(record) : -1;
    PyObject* result = nullptr;
    if (maxDepth >= 0) {
        // The request's objects stay alive while the call runs: the Program is held by this
        // object, the name and keywords by the caller's arguments.
        Py_INCREF(self);
        uint64_t floor = request.compiled
                             ? callingThreadFloor(uint32_t(maxDepth), record->moduleState)
                             : 0;
        if (floor)
            result = compiledCall(call->program, record, request.text, size_t(request.length),
                                  request.arguments, request.context, floor);
        else
            result = runthread::run(uint32_t(maxDepth),
                                    request.compiled ? compiledCallThread : pythonCallThread,
                                    &request);
        Py_DECREF(self);
    }
    Py_XDECREF(request.arguments);
    return result;
}

void programCallDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(asCall(self)->program);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot programCallSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(programCallCall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(programCallDealloc)},
    {Py_tp_doc,
     const_cast<char*>("call(name, *args): call a function the program defines at its top level "
                       "(running the program first if it hasn't run).")},
    {0, nullptr},
};

}  // namespace

PyType_Spec programCallSpec = {"wuna.ProgramCall", int(sizeof(ProgramCallObject)), 0,
                               Py_TPFLAGS_DEFAULT, programCallSlots};

PyObject* newProgramCall(PyObject* program, CallShape shape) {
    PyObject* object = programCallType->tp_alloc(programCallType, 0);
    if (!object) return nullptr;
    asCall(object)->program = Py_NewRef(program);
    asCall(object)->shape = shape;
    return object;
}

}  // namespace wuna::host
