// Loading a program and the Program type (see program.h).
//
// checkTree keeps one cleanup path: every reference it takes (the analysis, the
// diagnostics, the parse result) is dropped at its end whatever happened, and what it made
// goes into the record only when everything succeeded.
#include "host/program.h"

#include "host/args.h"
#include "host/exceptions.h"
#include "host/module.h"
#include "host/node.h"
#include "host/ptree.h"
#include "host/state.h"
#include "host/types.h"

namespace host {

namespace {

ProgramObject* asProgram(PyObject* self) { return reinterpret_cast<ProgramObject*>(self); }

// The number of diagnostics whose severity is "error", or -1 with the exception.
Py_ssize_t countErrors(PyObject* diagnostics) {
    PyObject* items = PySequence_Fast(diagnostics, "the diagnostics must be a list");
    if (!items) return -1;
    Py_ssize_t errors = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items); i++) {
        PyObject* severity = PyObject_GetAttrString(PySequence_Fast_GET_ITEM(items, i), "severity");
        if (!severity) {
            errors = -1;
            break;
        }
        if (PyUnicode_Check(severity) && PyUnicode_CompareWithASCIIString(severity, "error") == 0)
            errors++;
        Py_DECREF(severity);
    }
    Py_DECREF(items);
    return errors;
}

// Raises LoadError with every diagnostic rendered (given the path when there is one), joined
// by newlines, and the list as its "diagnostics".
void raiseLoadError(PyObject* diagnostics, PyObject* source, PyObject* path) {
    PyObject* items = PySequence_Fast(diagnostics, "the diagnostics must be a list");
    if (!items) return;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
    PyObject* texts = PyList_New(count);
    for (Py_ssize_t i = 0; texts && i < count; i++) {
        PyObject* diagnostic = PySequence_Fast_GET_ITEM(items, i);
        PyObject* text = path ? PyObject_CallMethod(diagnostic, "render", "OO", source, path)
                              : PyObject_CallMethod(diagnostic, "render", "O", source);
        if (!text) Py_CLEAR(texts);
        else PyList_SET_ITEM(texts, i, text);
    }
    Py_DECREF(items);
    if (!texts) return;
    PyObject* newline = PyUnicode_FromString("\n");
    PyObject* joined = newline ? PyUnicode_Join(newline, texts) : nullptr;
    Py_XDECREF(newline);
    Py_DECREF(texts);
    if (!joined) return;
    PyObject* error = PyObject_CallOneArg(loadErrorClass, joined);
    Py_DECREF(joined);
    if (!error) return;
    if (PyObject_SetAttrString(error, "diagnostics", diagnostics) == 0)
        PyErr_SetObject(loadErrorClass, error);
    Py_DECREF(error);
}

// The analysis' capsule record, ABI-checked; *capsule gets a new reference to the capsule
// object. Null with the exception.
const ptree::AnalysisCapsule* analysisCapsuleOf(PyObject* analysis, PyObject** capsule) {
    *capsule = PyObject_GetAttrString(analysis, "capsule");
    if (!*capsule) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "wuna needs nomos 0.1.5 or later (Analysis.capsule)");
        return nullptr;
    }
    auto* record = static_cast<const ptree::AnalysisCapsule*>(
        PyCapsule_GetPointer(*capsule, "nomos.analysis.v2"));
    if (record && record->abi != ptree::kAnalysisAbi) {
        PyErr_Format(PyExc_ImportError, "wuna reads nomos analyses with ABI 2, this nomos has %u",
                     unsigned(record->abi));
        record = nullptr;
    }
    if (!record) Py_CLEAR(*capsule);
    return record;
}

// rules.analyze(result) or rules.analyze(result, builtins=builtins).
PyObject* analyze(PyObject* rules, PyObject* result, PyObject* builtins) {
    PyObject* method = PyObject_GetAttrString(rules, "analyze");
    if (!method) return nullptr;
    PyObject* positional = PyTuple_Pack(1, result);
    PyObject* keywords = builtins ? Py_BuildValue("{sO}", "builtins", builtins) : nullptr;
    PyObject* analysis = nullptr;
    if (positional && (!builtins || keywords)) analysis = PyObject_Call(method, positional, keywords);
    Py_DECREF(method);
    Py_XDECREF(positional);
    Py_XDECREF(keywords);
    return analysis;
}

// Builds the index and the State; the step after the diagnostics passed. Null with the
// exception.
PyObject* makeState(ProgramRecord* record, PyObject* result, PyObject* analysis,
                    PyObject* diagnostics) {
    PyObject* capsules[2] = {nullptr, nullptr};
    const ptree::TreeCapsule* tree = ptree::treeCapsuleOf(result, &capsules[0]);
    const ptree::AnalysisCapsule* symbols = nullptr;
    bool read = tree && (!analysis || (symbols = analysisCapsuleOf(analysis, &capsules[1])));
    // Reading attributes may have run any code, even code that emptied the language: its
    // grammar and function kinds are taken only now.
    LanguageObject* language = read ? languageOf(record->language) : nullptr;
    ptree::TreeHolder* holder = nullptr;
    if (language) {
        ptree::Index* index = nullptr;
        ptree::Refusal refusal;
        if (uint16_t code = ptree::build(language->grammar, language->functionKinds,
                                         language->grammar->kindCount, tree, symbols, &index,
                                         &refusal))
            ptree::raiseBuildFailure(code, refusal);
        else if (!(holder = ptree::newTreeHolder(index, result, capsules[0], capsules[1])))
            ptree::freeIndex(index);
    }
    if (!holder) {
        Py_XDECREF(capsules[0]);
        Py_XDECREF(capsules[1]);
        return nullptr;
    }
    return newState(holder, record->language, analysis, diagnostics);
}

// --- the Program type ----------------------------------------------------------------------

void programDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ProgramObject* program = asProgram(self);
    if (program->initialised) {
        PyObject *kind, *value, *traceback;
        PyErr_Fetch(&kind, &value, &traceback);
        program->initialised = 0;
        releaseProgram(&program->record);
        PyErr_Restore(kind, value, traceback);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* programRepr(PyObject*) { return PyUnicode_FromString("Program()"); }

StateObject* stateOf(PyObject* self) {
    ProgramRecord* record = programOf(self);
    return record ? reinterpret_cast<StateObject*>(record->state) : nullptr;
}

PyObject* getSource(PyObject* self, void*) {
    ProgramRecord* record = programOf(self);
    return record ? Py_NewRef(record->source) : nullptr;
}

PyObject* getTree(PyObject* self, void*) {
    StateObject* state = stateOf(self);
    return state ? Py_NewRef(state->holder->tree) : nullptr;
}

PyObject* getAnalysis(PyObject* self, void*) {
    StateObject* state = stateOf(self);
    if (!state) return nullptr;
    return Py_NewRef(state->analysis ? state->analysis : Py_None);
}

PyObject* getDiagnostics(PyObject* self, void*) {
    StateObject* state = stateOf(self);
    return state ? Py_NewRef(state->diagnostics) : nullptr;
}

PyObject* getRoot(PyObject* self, void*) {
    StateObject* state = stateOf(self);
    if (!state) return nullptr;
    return newNode(reinterpret_cast<PyObject*>(state), state->holder, 0);
}

PyGetSetDef programGetters[] = {
    {"source", getSource, nullptr, "The program's text.", nullptr},
    {"tree", getTree, nullptr, "The parse tree the parser gave (a pargo Tree).", nullptr},
    {"analysis", getAnalysis, nullptr, "The rules' analysis (nomos), or None without rules.",
     nullptr},
    {"diagnostics", getDiagnostics, nullptr,
     "The diagnostics of the parser and the rules (warnings only: errors stop the load).",
     nullptr},
    {"root", getRoot, nullptr, "The root node (a wuna.Node).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot programSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(programDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(programRepr)},
    {Py_tp_getset, programGetters},
    {0, nullptr},
};

}  // namespace

PyType_Spec programSpec = {"wuna.Program", int(sizeof(ProgramObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, programSlots};

ProgramRecord* programOf(PyObject* object) {
    if (!PyObject_TypeCheck(object, programType)) {
        PyErr_Format(PyExc_TypeError, "a wuna.Program is needed, not '%s'",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    ProgramObject* program = asProgram(object);
    if (!program->initialised) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this Program holds no program: programs come from Language.load()");
        return nullptr;
    }
    return &program->record;
}

PyObject* parseSource(PyObject* parser, PyObject* source) {
    return ptree::parseTree(parser, source, nullptr, true);
}

int checkTree(ProgramRecord* record, LanguageObject* language, PyObject* result,
              PyObject* builtins) {
    PyObject* analysis = nullptr;
    PyObject* diagnostics = nullptr;
    PyObject* state = nullptr;
    if (PyObject* rules = Py_XNewRef(language->rules)) {
        analysis = analyze(rules, result, builtins);
        Py_DECREF(rules);
        if (analysis) diagnostics = PyObject_GetAttrString(analysis, "diagnostics");
    } else {
        diagnostics = PyObject_GetAttrString(result, "errors");
    }
    if (diagnostics) {
        Py_ssize_t errors = countErrors(diagnostics);
        if (errors > 0) raiseLoadError(diagnostics, record->source, record->path);
        else if (errors == 0) state = makeState(record, result, analysis, diagnostics);
    }
    Py_XDECREF(analysis);
    Py_XDECREF(diagnostics);
    Py_DECREF(result);
    if (!state) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "wuna: a load failed without a reason (a wuna bug)");
        return -1;
    }
    record->state = state;
    return 0;
}

int loadProgram(ProgramRecord* record, PyObject* languageObject, PyObject* source,
                PyObject* path) {
    *record = ProgramRecord{};
    LanguageObject* language = languageOf(languageObject);
    if (!language) return -1;
    if (!PyUnicode_Check(source)) {
        PyErr_SetString(PyExc_TypeError, "source must be a str");
        return -1;
    }
    PyObject* parser = Py_NewRef(language->parser);
    PyObject* result = parseSource(parser, source);
    Py_DECREF(parser);
    if (!result) return -1;
    record->language = Py_NewRef(languageObject);
    record->source = Py_NewRef(source);
    record->path = path && path != Py_None ? Py_NewRef(path) : nullptr;
    // The parser may have run any code, even code that emptied the language.
    language = languageOf(languageObject);
    if (!language) Py_DECREF(result);
    if (!language || checkTree(record, language, result, nullptr) < 0) {
        PyObject *kind, *value, *traceback;
        PyErr_Fetch(&kind, &value, &traceback);
        releaseProgram(record);
        PyErr_Restore(kind, value, traceback);
        return -1;
    }
    return 0;
}

void releaseProgram(ProgramRecord* record) {
    // Everything is taken out of the record before anything is released: releasing may run
    // any code.
    ProgramRecord taken = *record;
    *record = ProgramRecord{};
    if (taken.globalsFrame) value::releaseCaptured(&taken.globalsFrame->h);
    // The compiled-code fields (module state, optimize task, earlier module states) are
    // handed back to the driver, which sets them; no load sets them.
    free(taken.earlier);
    taken.typeCache.release();
    Py_XDECREF(taken.state);
    Py_XDECREF(taken.language);
    Py_XDECREF(taken.source);
    Py_XDECREF(taken.path);
    Py_XDECREF(taken.crossings);
}

PyObject* languageLoad(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!languageOf(self)) return nullptr;
    static constexpr args::Param params[] = {{"source", true}, {"path", false}};
    PyObject* values[2];
    if (args::parse("load", params, args, kwargs, values) < 0) return nullptr;
    ProgramRecord record;
    if (loadProgram(&record, self, values[0], values[1]) < 0) return nullptr;
    PyObject* object = programType->tp_alloc(programType, 0);
    if (!object) {
        releaseProgram(&record);
        return nullptr;
    }
    asProgram(object)->record = record;
    asProgram(object)->initialised = 1;
    return object;
}

}  // namespace host
