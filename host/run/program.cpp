// Loading a program and the Program type (see run/program.h).
//
// checkTree keeps one cleanup path: every reference it takes (the analysis, the
// diagnostics, the parse result) is dropped at its end whatever happened, and what it made
// goes into the record only when everything succeeded.
#include "host/run/program.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "compiler/backend/driver.h"
#include "host/tree/index.h"
#include "compiler/driver/modules.h"
#include "host/interp/interp.h"
#include "host/module/exceptions.h"
#include "host/module/startup.h"
#include "host/module/type_registry.h"
#include "host/run/compiled_run.h"
#include "host/run/program_call.h"
#include "host/run/run_thread.h"
#include "wuna/runtime/args.h"
#include "wuna/runtime/helpers/pyfunc.h"
#include "host/support/pymethods.h"
#include "host/tree/holder.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::host {

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
        if (!text)
            Py_CLEAR(texts);
        else
            PyList_SET_ITEM(texts, i, text);
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
    if (positional && (!builtins || keywords))
        analysis = PyObject_Call(method, positional, keywords);
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
        Status status = ptree::build(language->grammar, language->functionKinds,
                                     language->grammar->kindCount, tree, symbols, &index, &refusal);
        if (status != Status::ok)
            ptree::raiseBuildFailure(status, refusal);
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

// A program's values can reach the program again (a global of the program holding a closure
// over rt, a host function holding the Program), so the collector must see what it holds. A
// cleared Program is as one never loaded: its operations refuse.
int programTraverse(PyObject* self, visitproc visit, void* arg) {
    ProgramObject* program = asProgram(self);
    Py_VISIT(Py_TYPE(self));
    if (program->initialised) {
        Py_VISIT(program->record.language);
        Py_VISIT(program->record.source);
        Py_VISIT(program->record.path);
        Py_VISIT(program->record.state);
        Py_VISIT(program->record.crossings);
    }
    return 0;
}

int programClear(PyObject* self) {
    ProgramObject* program = asProgram(self);
    if (program->initialised) {
        program->initialised = false;
        releaseProgram(&program->record);
    }
    return 0;
}

PyObject* programRepr(PyObject*) { return PyUnicode_FromString("Program()"); }

// The State of a loaded Program object, or null with programOf's exception.
StateObject* loadedState(PyObject* self) {
    ProgramRecord* record = programOf(self);
    return record ? stateOf(record) : nullptr;
}

PyObject* getSource(PyObject* self, void*) {
    ProgramRecord* record = programOf(self);
    return record ? Py_NewRef(record->source) : nullptr;
}

PyObject* getTree(PyObject* self, void*) {
    StateObject* state = loadedState(self);
    return state ? Py_NewRef(state->holder->tree) : nullptr;
}

PyObject* getAnalysis(PyObject* self, void*) {
    StateObject* state = loadedState(self);
    if (!state) return nullptr;
    return Py_NewRef(state->analysis ? state->analysis : Py_None);
}

PyObject* getDiagnostics(PyObject* self, void*) {
    StateObject* state = loadedState(self);
    return state ? Py_NewRef(state->diagnostics) : nullptr;
}

PyObject* getRoot(PyObject* self, void*) {
    StateObject* state = loadedState(self);
    if (!state) return nullptr;
    return newNode(reinterpret_cast<PyObject*>(state), state->holder, 0);
}

PyObject* getCall(PyObject* self, void*) {
    return programOf(self) ? newProgramCall(self, CallShape::call) : nullptr;
}

PyObject* getMap(PyObject* self, void*) {
    return programOf(self) ? newProgramCall(self, CallShape::map) : nullptr;
}

// --- runs ----------------------------------------------------------------------------------

// The mode names, in the order of RunMode.
constexpr const char* kModeNames[] = {"python", "compiled", "auto"};
static_assert(std::size(kModeNames) == size_t(RunMode::automatic) + 1);

PyObject* runTopLevelWork(void* program) { return runTopLevel(static_cast<PyObject*>(program)); }

// The reference run: the top level on a run thread.
PyObject* referenceRun(PyObject* self, const ProgramRecord* record) {
    int64_t maxDepth = maxDepthOf(record);
    if (maxDepth < 0) return nullptr;
    // The run thread reaches the Program through this reference while the caller waits.
    Py_INCREF(self);
    PyObject* result = runthread::run(uint32_t(maxDepth), runTopLevelWork, self);
    Py_DECREF(self);
    return result;
}

// Program.run(mode=None, report=False).
PyObject* programRun(PyObject* self, PyObject* args, PyObject* kwargs) {
    ProgramRecord* record = programOf(self);
    if (!record) return nullptr;
    static constexpr args::Param params[] = {{"mode", false}, {"report", false}};
    PyObject* values[2];
    if (args::parse("run", params, args, kwargs, values) < 0) return nullptr;
    RunMode mode;
    if (parseRunMode(values[0], RunMode::python, &mode) < 0) return nullptr;
    // report only matters to compiled runs (a reference run leaves the last report as it
    // was), but its truth is taken all the same: a failing __bool__ fails the run.
    int report = values[1] ? PyObject_IsTrue(values[1]) : 0;
    if (report < 0) return nullptr;
    bool compiled = mode == RunMode::compiled;
    if (mode == RunMode::automatic && driver::chooseAutoMode(record, &compiled) < 0)
        return nullptr;
    record->runMode = mode;
    record->hasRun = true;
    if (!compiled) return referenceRun(self, record);
    return compiledRun(self, record, report != 0);
}

// One key of report(): the value's reference is taken. -1 with the exception.
int putKey(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return -1;
    int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc;
}

// What became of each module variable the compiled semantics read, in the order of first
// reading: a new dict, or null with the exception.
PyObject* moduleStateReport(const driver::Compiled* state) {
    PyObject* report = PyDict_New();
    if (!report || !state) return report;
    const auto& notes = state->compiler.moduleState;
    for (size_t i = 0; i < notes.count; i++) {
        PyObject* name =
            PyUnicode_DecodeUTF8(notes[i].name, Py_ssize_t(notes[i].nameLength), "replace");
        PyObject* text =
            name ? PyUnicode_DecodeUTF8(notes[i].text, Py_ssize_t(notes[i].textLength), "replace")
                 : nullptr;
        int rc = text ? PyDict_SetItem(report, name, text) : -1;
        Py_XDECREF(name);
        Py_XDECREF(text);
        if (rc < 0) {
            Py_DECREF(report);
            return nullptr;
        }
    }
    return report;
}

// The name of a typed entry's argument kind in report(): the low 4 bits of its kind byte.
const char* kindName(uint8_t kind) {
    static constexpr const char* kNames[] = {"any",  "none",  "bool", "int",    "float",
                                             "str",  "list",  "tuple", "dict",  "record",
                                             "function", "node"};
    uint8_t code = kind & 0xF;
    return code < std::size(kNames) ? kNames[code] : "any";
}

// For each function the module state made a typed entry for, "line <n>" -> its argument
// kinds joined by ", "; functions in node order, so a later one on a line replaces an
// earlier one. A new dict, or null with the exception.
PyObject* speculatedReport(const driver::Compiled* state) {
    PyObject* report = PyDict_New();
    if (!report || !state || !state->compiler.tree) return report;
    const ptree::Index* tree = state->compiler.tree;
    std::vector<std::pair<uint32_t, const compile::TypedEntry*>> made;
    state->compiler.typedEntries.forEach([&](uint32_t id, const compile::TypedEntry& entry) {
        if (entry.kinds && id < tree->count) made.emplace_back(id, &entry);
    });
    std::sort(made.begin(), made.end());
    for (const auto& [id, entry] : made) {
        std::string kinds;
        for (uint32_t i = 0; i < entry->count; i++) {
            if (i) kinds += ", ";
            kinds += kindName(entry->kinds[i]);
        }
        char key[32];
        snprintf(key, sizeof key, "line %u", ptree::lineOf(tree, tree->nodes[id].start));
        PyObject* text = PyUnicode_DecodeUTF8(kinds.data(), Py_ssize_t(kinds.size()), "replace");
        int rc = text ? PyDict_SetItemString(report, key, text) : -1;
        Py_XDECREF(text);
        if (rc < 0) {
            Py_DECREF(report);
            return nullptr;
        }
    }
    return report;
}

// The process's Python functions that compiled code called and could not compile: a new
// dict {__qualname__: why}, or null with the exception. The registry is copied first: reading
// a name runs Python, which may note one more function in the registry while it is walked.
PyObject* pythonFunctionsReport() {
    PyObject* report = PyDict_New();
    PyObject* registry = bridge::uncompiledFunctions();
    if (!report || !registry) return report;
    PyObject* copy = PyDict_Copy(registry);
    if (!copy) {
        Py_DECREF(report);
        return nullptr;
    }
    Py_ssize_t at = 0;
    PyObject* function = nullptr;
    PyObject* why = nullptr;
    int rc = 0;
    while (rc == 0 && PyDict_Next(copy, &at, &function, &why)) {
        PyObject* name = PyObject_GetAttrString(function, "__qualname__");
        rc = name ? PyDict_SetItem(report, name, why) : -1;
        Py_XDECREF(name);
    }
    Py_DECREF(copy);
    if (rc < 0) Py_CLEAR(report);
    return report;
}

// Program.report(): what the last compiled runs did. Without compiled code every count is
// empty: no crossings recorded, no module state, no cache traffic.
PyObject* programReport(PyObject* self, PyObject*) {
    ProgramRecord* record = programOf(self);
    if (!record) return nullptr;
    PyObject* report = PyDict_New();
    if (!report) return nullptr;
    const driver::Compiled* state = record->moduleState;
    unsigned long long loaded = state ? state->cacheLoads : 0;
    unsigned long long compiled = state ? state->compiles : 0;
    PyObject* code = !state                ? Py_NewRef(Py_None)
                     : state->level != 0 ? PyUnicode_FromString("optimized")
                                         : PyUnicode_FromString("fast");
    bool ok = putKey(report, "python_crossings",
                     record->crossings ? PyDict_Copy(record->crossings) : PyDict_New()) == 0 &&
              putKey(report, "module_state", moduleStateReport(state)) == 0 &&
              putKey(report, "cache",
                     Py_BuildValue("{sKsK}", "loaded", loaded, "compiled", compiled)) == 0 &&
              putKey(report, "code", code) == 0 &&
              putKey(report, "optimizing", PyBool_FromLong(record->optimizeTask != nullptr)) == 0 &&
              putKey(report, "gil_taken", PyLong_FromUnsignedLongLong(record->lockCount)) == 0 &&
              putKey(report, "speculated", speculatedReport(state)) == 0 &&
              putKey(report, "python_functions", pythonFunctionsReport()) == 0;
    if (!ok) Py_CLEAR(report);
    return report;
}

// Program.compiled_ir().
PyObject* programCompiledIr(PyObject* self, PyObject*) {
    ProgramRecord* record = programOf(self);
    return record ? compiledIr(record) : nullptr;
}

PyMethodDef programMethods[] = {
    {"compiled_ir", WUNA_NO_ARGUMENTS(programCompiledIr),
     "compiled_ir(): the LLVM IR the program compiles to, before optimization (a str)."},
    {"run", asPyCFunction(programRun), METH_VARARGS | METH_KEYWORDS,
     "run(mode='python', report=False): run the program from its start. 'python' runs the "
     "semantics as Python; 'compiled' compiles the program to native code and runs that; "
     "'auto' runs compiled code when it is at hand. A runtime error raises wuna.Error; "
     "report=True counts where compiled code went through Python (report())."},
    {"report", WUNA_NO_ARGUMENTS(programReport),
     "report(): a dict of what the program's compiled runs did: python_crossings, module_state, "
     "cache, code, optimizing, gil_taken, speculated, python_functions."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef programGetters[] = {
    {"source", getSource, nullptr, "The program's text.", nullptr},
    {"tree", getTree, nullptr, "The parse tree the parser gave (a pargo Tree).", nullptr},
    {"analysis", getAnalysis, nullptr, "The rules' analysis (nomos), or None without rules.",
     nullptr},
    {"diagnostics", getDiagnostics, nullptr,
     "The diagnostics of the parser and the rules (warnings only: errors stop the load).", nullptr},
    {"root", getRoot, nullptr, "The root node (a wuna.Node).", nullptr},
    {"call", getCall, nullptr,
     "call(name, *args, mode=None, context=None): call a function the program defines at its "
     "top level.",
     nullptr},
    {"map", getMap, nullptr,
     "map(name, items, threads=None, context=None): call a top-level function once per item; "
     "the results in item order.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot programSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(heapDealloc<programClear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(programTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(programClear)},
    {Py_tp_repr, reinterpret_cast<void*>(programRepr)},
    {Py_tp_getset, programGetters},
    {Py_tp_methods, programMethods},
    {0, nullptr},
};

}  // namespace

PyType_Spec programSpec = {"wuna.Program", int(sizeof(ProgramObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                           programSlots};

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

int parseRunMode(PyObject* given, RunMode fallback, RunMode* mode) {
    if (!given || given == Py_None) {
        *mode = fallback;
        return 0;
    }
    if (!PyUnicode_Check(given)) {
        PyErr_SetString(PyExc_TypeError, "mode must be a str");
        return -1;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(given, &length);
    if (!text) return -1;
    for (size_t i = 0; i < std::size(kModeNames); i++) {
        if (strlen(kModeNames[i]) == size_t(length) && memcmp(kModeNames[i], text, length) == 0) {
            *mode = RunMode(i);
            return 0;
        }
    }
    char message[pyhelp::kMessageBuffer];
    int written =
        snprintf(message, sizeof message, "mode must be 'python', 'compiled' or 'auto', not '%.*s'",
                 int(length), text);
    pyhelp::raiseText(PyExc_ValueError, message, written < 0 ? 0 : uint64_t(written));
    return -1;
}

int64_t maxDepthOf(const ProgramRecord* record) {
    LanguageObject* language = languageOf(record->language);
    return language ? int64_t(language->maxDepth) : -1;
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
        if (errors > 0)
            raiseLoadError(diagnostics, record->source, record->path);
        else if (errors == 0)
            state = makeState(record, result, analysis, diagnostics);
    }
    Py_XDECREF(analysis);
    Py_XDECREF(diagnostics);
    Py_DECREF(result);
    if (!state) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError,
                            "wuna: a load failed without a reason (a wuna bug)");
        return -1;
    }
    record->state = state;
    return 0;
}

int loadProgram(ProgramRecord* record, PyObject* languageObject, PyObject* source, PyObject* path) {
    *record = ProgramRecord{};
    LanguageObject* language = languageOf(languageObject);
    if (!language) return -1;
    if (!PyUnicode_Check(source)) {
        PyErr_SetString(PyExc_TypeError, "source must be a str");
        return -1;
    }
    // Checked now: an error text names the path, and a path that cannot be named there would
    // replace the program's own error with this TypeError.
    if (path && path != Py_None && !PyUnicode_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "path must be a str");
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
        releaseProgram(record);
        return -1;
    }
    return 0;
}

void releaseProgram(ProgramRecord* record) {
    // Everything is taken out of the record before anything is released: releasing may run
    // any code, which must neither see the record half released nor an exception pending (a
    // failed load's, which its caller reports).
    ProgramRecord taken = *record;
    *record = ProgramRecord{};
    PendingError pending;
    pending.take();
    if (taken.globalsFrame) value::releaseCaptured(&taken.globalsFrame->h);
    // The module states go back to the driver after the frame, whose values may point into
    // their code.
    driver::releaseModules(&taken);
    taken.typeCache.release();
    Py_XDECREF(taken.state);
    Py_XDECREF(taken.language);
    Py_XDECREF(taken.source);
    Py_XDECREF(taken.path);
    Py_XDECREF(taken.crossings);
    pending.restore();
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
    asProgram(object)->initialised = true;
    return object;
}

}  // namespace wuna::host
