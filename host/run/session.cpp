// Sessions (see run/session.h): the Session type, loading an entry against the names defined so
// far, running it on its own thread, and recording what it defined.
//
// Session.run loads the entry on the calling thread (the parser, then the rules with the
// session's names as builtins), appends its Program to the session and hands it to a run
// thread (run/run_thread.h: a stack sized for the language's max_depth, the caller waiting without
// the interpreter lock). The thread runs the entry the way a program's top level runs, except
// that the root is run so as to give a value: the root's own exec semantic's result, or the
// value of the last of its children when that child is an expression. The value, or the
// exception that ended the entry, comes back to the caller as if run there. The names are then
// updated from the entry's global frame whatever the outcome, so that what a failing entry
// stored before its error stays visible to later entries.
#include "host/run/session.h"

#include "host/interp/frame_object.h"
#include "host/interp/interp.h"
#include "host/interp/rt.h"
#include "host/interp/run_errors.h"
#include "host/interp/variables.h"
#include "host/language/language.h"
#include "host/module/exceptions.h"
#include "host/module/type_registry.h"
#include "host/run/program.h"
#include "host/run/run_thread.h"
#include "wuna/runtime/args.h"
#include "host/support/pymethods.h"
#include "host/tree/index.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/pending_error.h"

namespace wuna::host {

namespace {

SessionObject* asSession(PyObject* self) { return reinterpret_cast<SessionObject*>(self); }

// The session of a Session object that Language.session() filled; else null with the error.
SessionObject* liveSession(PyObject* self) {
    SessionObject* session = asSession(self);
    if (!session->initialised) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this Session holds no session: sessions come from Language.session()");
        return nullptr;
    }
    return session;
}

// Makes every entry forget the session: a Program that outlives it is no entry any more.
void detachPrograms(SessionObject* session) {
    if (!session->programs) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(session->programs); i++) {
        PyObject* item = PyList_GET_ITEM(session->programs, i);
        if (PyObject_TypeCheck(item, programType)) {
            auto* program = reinterpret_cast<ProgramObject*>(item);
            if (program->initialised && program->record.session == session)
                program->record.session = nullptr;
        }
    }
}

int sessionTraverse(PyObject* self, visitproc visit, void* arg) {
    SessionObject* session = asSession(self);
    Py_VISIT(session->language);
    Py_VISIT(session->programs);
    Py_VISIT(session->names);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int sessionClear(PyObject* self) {
    SessionObject* session = asSession(self);
    detachPrograms(session);
    session->initialised = false;
    Py_CLEAR(session->names);
    Py_CLEAR(session->programs);
    Py_CLEAR(session->language);
    return 0;
}

PyObject* sessionRepr(PyObject*) { return PyUnicode_FromString("Session()"); }

PyObject* sessionRunMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (args::exactly(args, kwargs, 1) < 0) return nullptr;
    return sessionRun(self, PyTuple_GET_ITEM(args, 0));
}

PyObject* sessionNames(PyObject* self, PyObject*) {
    SessionObject* session = liveSession(self);
    if (!session) return nullptr;
    PyObject* names = PyDict_Keys(session->names);
    if (names && PyList_Sort(names) < 0) Py_CLEAR(names);
    return names;
}

PyMethodDef sessionMethods[] = {
    {"run", asPyCFunction(sessionRunMethod), METH_VARARGS | METH_KEYWORDS,
     WUNA_DOC("run($self, source, /)",
              "Run an entry: its last statement's value if that's an expression, else None. "
              "Raises wuna.LoadError or wuna.Error; what it defined before an error is kept.")},
    {"names", WUNA_NO_ARGUMENTS(sessionNames),
     WUNA_DOC("names($self, /)", "The names the entries defined so far, sorted.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sessionSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(heapDealloc<sessionClear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(sessionTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sessionClear)},
    {Py_tp_repr, reinterpret_cast<void*>(sessionRepr)},
    {Py_tp_methods, sessionMethods},
    {Py_tp_doc,
     const_cast<char*>(
         "A session (Language.session()): run(source) runs an entry, which sees the variables "
         "and functions the entries before it defined (the same variables); names() lists them. "
         "Entries run as Python.")},
    {0, nullptr},
};

// --- loading an entry ----------------------------------------------------------------------

// Loads source as a program of its own, the session's names its builtins, into a new
// Program object. New reference, or null with the exception (LoadError among others).
PyObject* loadEntry(SessionObject* session, PyObject* source) {
    LanguageObject* language = languageOf(session->language);
    if (!language) return nullptr;
    PyObject* parser = Py_NewRef(language->parser);
    PyObject* result = parseSource(parser, source);
    Py_DECREF(parser);
    if (!result) return nullptr;
    PyObject* builtins = PyDict_Keys(session->names);
    ProgramRecord record{};
    record.language = Py_NewRef(session->language);
    record.source = Py_NewRef(source);
    // The parser may have run any code, even code that emptied the language.
    language = builtins ? languageOf(session->language) : nullptr;
    int checked = -1;
    if (language)
        checked = checkTree(&record, language, result, builtins);
    else
        Py_DECREF(result);
    Py_XDECREF(builtins);
    PyObject* object = checked == 0 ? programType->tp_alloc(programType, 0) : nullptr;
    if (!object) {
        releaseProgram(&record);
        return nullptr;
    }
    auto* program = reinterpret_cast<ProgramObject*>(object);
    program->record = record;
    program->initialised = true;
    program->record.session = session;
    program->record.runMode = RunMode::python;
    program->record.hasRun = true;
    return object;
}

// --- running an entry ----------------------------------------------------------------------

// Whether item x, the last child value of the root, is an expression whose value the entry
// gives. -1 with the exception.
int isExpression(RunRecord* rt, PyObject* x) {
    int64_t n = nodeOfProgram(rt, x);
    if (n < 0) {
        if (PyObject_TypeCheck(x, nodeType) || PyList_Check(x) || PyTuple_Check(x)) return 0;
        return 1;
    }
    const ptree::Index* index = indexOf(rt);
    LanguageObject* language = rt->language;
    ensureKindTables(language);
    uint32_t k = ptree::kindOf(index->nodes[n]);
    bool known = k < language->grammar->kindCount;
    if (known && language->execPerKind[k]) return 0;
    if (ptree::isFunctionNode(index, uint32_t(n))) return 0;
    if (known && language->evalPerKind[k]) return 1;
    if (index->nodeSymbols && index->nodeSymbols[n] != ptree::kNone) return 1;
    StateObject* state = stateOfRun(rt);
    PyObject* children =
        childValues(reinterpret_cast<PyObject*>(state), state->holder, uint32_t(n));
    if (!children) return -1;
    int expression = PyList_GET_SIZE(children) == 1 &&
                     !PyObject_TypeCheck(PyList_GET_ITEM(children, 0), nodeType);
    Py_DECREF(children);
    return expression;
}

// Runs the root's children values: all but an expression last one as statements, that one
// for the entry's value. New reference, or null with the exception.
PyObject* runChildren(RunRecord* rt) {
    PyObject* items = childrenAt(rt, 0);
    if (!items) return nullptr;
    Py_ssize_t count = PyList_GET_SIZE(items);
    int last = count ? isExpression(rt, PyList_GET_ITEM(items, count - 1)) : 0;
    PyObject* value = nullptr;
    if (last >= 0) {
        Py_ssize_t statements = last ? count - 1 : count;
        Py_ssize_t i = 0;
        while (i < statements && execValue(rt, PyList_GET_ITEM(items, i)) == 0) i++;
        if (i == statements)
            value = last ? evalValue(rt, PyList_GET_ITEM(items, count - 1)) : Py_NewRef(Py_None);
    }
    Py_DECREF(items);
    return value;
}

// Calls the root's exec semantic fn for its result. New reference, or null.
PyObject* callRootSemantic(RunRecord* rt, PyObject* fn) {
    int32_t saved = rt->currentNode;
    rt->currentNode = 0;
    Py_INCREF(fn);
    PyObject* node = programNode(rt, 0);
    PyObject* value = nullptr;
    if (node) {
        value = PyObject_CallFunctionObjArgs(fn, node, rtObject(rt), nullptr);
        if (value) value = toI64(value);
        if (!value) wrapError(rt, 0);
        Py_DECREF(node);
    }
    Py_DECREF(fn);
    rt->currentNode = saved;
    return value;
}

// Runs the root node for the entry's value: its exec semantic's result; None after running
// it as a statement when it is a function definition or has an eval semantic; else the value
// of its children (below). New reference, or null with the exception.
PyObject* runRoot(RunRecord* rt) {
    const ptree::Index* index = indexOf(rt);
    if (index->count == 0) return Py_NewRef(Py_None);
    LanguageObject* language = rt->language;
    ensureKindTables(language);
    uint32_t k = ptree::kindOf(index->nodes[0]);
    bool known = k < language->grammar->kindCount;
    PyObject* exec = known ? language->execPerKind[k] : nullptr;
    if (!exec && (ptree::isFunctionNode(index, 0) || (known && language->evalPerKind[k])))
        return execNode(rt, 0) == 0 ? Py_NewRef(Py_None) : nullptr;
    // The root's own scope, when a nested function refers into it, gets a frame of its own
    // around the whole of the root's run.
    PyObject* before = nullptr;
    if (ptree::isCaptured(index, 0) && !(before = pushBlockFrame(rt, 0))) return nullptr;
    PyObject* value = exec ? callRootSemantic(rt, exec) : runChildren(rt);
    if (before) popBlockFrame(rt, before);
    return value;
}

// The entry on its run thread, holding the interpreter lock: a Runtime, the program frame,
// the hoisted definitions, the root. New reference, or null with the exception.
PyObject* runSessionEntry(void* argument) {
    PyObject* program = static_cast<PyObject*>(argument);
    PyObject* object = newRt(program);
    if (!object) {
        finishRunError();
        return nullptr;
    }
    RunRecord* rt = runRecordOf(object);
    PyObject* value = nullptr;
    if (installProgramFrame(rt) == 0 && hoist(rt, -1) == 0) value = runRoot(rt);
    if (!value) finishRunError();
    endRt(object);
    return value;
}

// Records the names the entry's global frame gave a value: every symbol that is no builtin
// and lives at the program level. 0, or -1 with the exception.
int recordNames(SessionObject* session, PyObject* program) {
    ProgramRecord* record = &reinterpret_cast<ProgramObject*>(program)->record;
    StateObject* state = stateOf(record);
    if (!state || !state->frame) return 0;
    PyObject* frame = Py_NewRef(state->frame);
    auto* globals = reinterpret_cast<FrameObject*>(frame);
    ptree::Index* index = state->holder->index;
    int status = 0;
    for (uint32_t s = 0; status == 0 && s < index->symbolCount; s++) {
        const ptree::Symbol& symbol = index->symbols[s];
        if (symbol.builtin || ptree::symbolScope(index, s) != -1 || !globals->variables.find(s))
            continue;
        PyObject* name = PyUnicode_DecodeUTF8(symbol.name, Py_ssize_t(symbol.length), "replace");
        PyObject* pair = name ? Py_BuildValue("(OI)", frame, unsigned(s)) : nullptr;
        if (!pair || PyDict_SetItem(session->names, name, pair) < 0) status = -1;
        Py_XDECREF(name);
        Py_XDECREF(pair);
    }
    Py_DECREF(frame);
    return status;
}

}  // namespace

PyType_Spec sessionSpec = {"wuna.Session", int(sizeof(SessionObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           sessionSlots};

PyObject* languageSession(PyObject* self, PyObject*) {
    if (!languageOf(self)) return nullptr;
    PyObject* programs = PyList_New(0);
    PyObject* names = programs ? PyDict_New() : nullptr;
    PyObject* object = names ? sessionType->tp_alloc(sessionType, 0) : nullptr;
    if (!object) {
        Py_XDECREF(programs);
        Py_XDECREF(names);
        return nullptr;
    }
    SessionObject* session = asSession(object);
    session->language = Py_NewRef(self);
    session->programs = programs;
    session->names = names;
    session->initialised = true;
    return object;
}

PyObject* sessionRun(PyObject* self, PyObject* source) {
    SessionObject* session = liveSession(self);
    if (!session) return nullptr;
    if (!PyUnicode_Check(source)) {
        PyErr_SetString(PyExc_TypeError, "source must be a str");
        return nullptr;
    }
    PyObject* program = loadEntry(session, source);
    if (!program) return nullptr;
    // The session holds the entry from now on, also when it fails: its names may point into
    // its frame, and functions it made run against it.
    if (PyList_Append(session->programs, program) < 0) {
        Py_DECREF(program);
        return nullptr;
    }
    LanguageObject* language = languageOf(session->language);
    PyObject* value =
        language ? runthread::run(language->maxDepth, runSessionEntry, program) : nullptr;
    PendingError failure;
    failure.take();
    int recorded = recordNames(session, program);
    Py_DECREF(program);
    if (value) {
        // The entry succeeded: a failure to record its names is the failure.
        if (recorded == 0) return value;
        Py_DECREF(value);
        return nullptr;
    }
    // The entry's own exception is what the caller hears about.
    if (recorded < 0) PyErr_Clear();
    failure.restore();
    return nullptr;
}

SessionObject* sessionOfProgram(const ProgramRecord* record) {
    return static_cast<SessionObject*>(record->session);
}

PyObject* sessionEntryOf(const SessionObject* session, PyObject* state) {
    if (!session || !session->programs) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(session->programs); i++) {
        auto* program = reinterpret_cast<ProgramObject*>(PyList_GET_ITEM(session->programs, i));
        if (program->initialised && program->record.state == state)
            return reinterpret_cast<PyObject*>(program);
    }
    return nullptr;
}

int sessionName(const SessionObject* session, PyObject* name, PyObject** frame, uint32_t* symbol) {
    if (!session || !session->names) return 0;
    PyObject* pair = PyDict_GetItemWithError(session->names, name);
    if (!pair) return PyErr_Occurred() ? -1 : 0;
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
        !PyObject_TypeCheck(PyTuple_GET_ITEM(pair, 0), frameType) ||
        !PyLong_Check(PyTuple_GET_ITEM(pair, 1))) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: a session's name is not a (Frame, int) pair");
        return -1;
    }
    unsigned long index = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(pair, 1));
    if (index == (unsigned long)-1 && PyErr_Occurred()) return -1;
    *frame = PyTuple_GET_ITEM(pair, 0);
    *symbol = uint32_t(index);
    return 1;
}

}  // namespace wuna::host
