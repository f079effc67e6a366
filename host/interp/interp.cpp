// The reference interpreter's core (see interp/interp.h): Runtimes, the top level, exec and eval
// dispatch with their fallbacks, block frames around captured scopes, and the declared-type
// check.
//
// Each dispatch saves the Runtime's current node, sets it to the node it runs and restores it
// on every way out, so the current node always names the innermost node being run; errors
// raised by the operations below it are reported there. A semantic's Python exception is
// turned into a runtime error at its own node by interp/run_errors.h's wrapError, once: dispatches
// further out see a wuna.Error (or a jump) and pass it on.
#include "host/interp/interp.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/interp/calls.h"
#include "host/interp/run_errors.h"
#include "host/interp/variables.h"
#include "host/module/i64.h"
#include "host/module/startup.h"
#include "host/module/type_registry.h"
#include "host/run/run_thread.h"
#include "host/support/check.h"
#include "host/tree/node.h"
#include "host/tree/state.h"
#include "wuna/runtime/helpers/bridge.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/pyhelp.h"
#include "wuna/runtime/text.h"

namespace wuna::host {

namespace {

// The largest recursion limit a run asks for, before the margin is added.
constexpr int64_t kLimitCap = 2147482647;
constexpr int64_t kLimitPerCall = 40;
constexpr int64_t kLimitMargin = 1000;

// Lists nested in lists are walked by recursion in C with no Python call between the levels
// to count them (a list that contains itself would never end); past this many levels the walk
// stops with a RecursionError instead of overflowing the stack.
constexpr int kMaxListNesting = 10000;

constexpr char kNoSemantics[] = "no semantics to evaluate %.*s";
constexpr char kWrongType[] = "the value isn't what types() says the type %s is";

// The kind of node n when the language's grammar has it, else -1.
int64_t kindAt(RunRecord* rt, uint32_t n) {
    const ptree::GrammarInfo* grammar = rt->language->grammar;
    uint32_t k = ptree::kindOf(indexOf(rt)->nodes[n]);
    return grammar && k < grammar->kindCount ? int64_t(k) : -1;
}

// Restores the current node when a dispatch leaves.
struct CurrentNode {
    RunRecord* rt;
    int32_t saved;
    CurrentNode(RunRecord* r, uint32_t n) : rt(r), saved(r->currentNode) {
        rt->currentNode = int32_t(n);
    }
    ~CurrentNode() { rt->currentNode = saved; }
};

// fn(node, rt): a new reference, or null with the semantic's exception.
PyObject* callSemantic(RunRecord* rt, PyObject* fn, uint32_t n) {
    PyObject* node = programNode(rt, n);
    if (!node) return nullptr;
    Py_INCREF(fn);  // a semantic may register others, dropping the table's borrowed entry
    PyObject* result = PyObject_CallFunctionObjArgs(fn, node, rtObject(rt), nullptr);
    Py_DECREF(fn);
    Py_DECREF(node);
    return result;
}

// The function-kind record of kind k, or null when k is no function kind.
const FunctionKind* functionKindOf(RunRecord* rt, int64_t k) {
    if (k < 0 || !rt->language->functionKinds) return nullptr;
    // k is a kind of the grammar (kindAt); functionKinds has one record per kind.
    WUNA_CHECK(rt->language->grammar && uint64_t(k) < rt->language->grammar->kindCount);
    const FunctionKind* kind = &rt->language->functionKinds[k];
    return kind->isFunction ? kind : nullptr;
}

// Binds a named function definition of a kind that does not hoist, when it is run.
int bindDefinition(RunRecord* rt, uint32_t n, const FunctionKind* kind) {
    if (kind->hoist || !kind->nameLabel) return 0;
    const ptree::Index* index = indexOf(rt);
    int64_t name = ptree::childWithLabel(index->nodes, index->count, n, kind->nameLabel);
    if (name < 0) return 0;
    PyObject* f = makeFunction(rt, n);
    if (!f) return -1;
    int rc = storeVariable(rt, uint32_t(name), f);
    Py_DECREF(f);
    return rc;
}

// The Python type the declared type text names, through the language's types mapping: a
// new reference, Py_None for no type, or null with the lookup's exception.
PyObject* lookUpType(PyObject* types, PyObject* text) {
    if (!PyUnicode_Check(text)) Py_RETURN_NONE;
    if (PyDict_Check(types)) {
        PyObject* found = PyDict_GetItemWithError(types, text);
        if (!found && PyErr_Occurred()) return nullptr;
        if (!found) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(text);
            Py_ssize_t cut = length;
            for (Py_ssize_t i = 0; i < length; i++) {
                Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
                if (c == '(' || c == '[') {
                    cut = i;
                    break;
                }
            }
            if (cut < length) {
                PyObject* head = PyUnicode_Substring(text, 0, cut);
                if (!head) return nullptr;
                found = PyDict_GetItemWithError(types, head);
                Py_DECREF(head);
                if (!found && PyErr_Occurred()) return nullptr;
            }
        }
        return Py_NewRef(found ? found : Py_None);
    }
    return PyObject_CallOneArg(types, text);
}

bool fitsI64(PyObject* v) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(v, &overflow);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow == 0;
}

bool passes(PyObject* type, PyObject* v) {
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    PyTypeObject* vt = Py_TYPE(v);
    if (t == &PyLong_Type) return vt == i64Type || (vt == &PyLong_Type && fitsI64(v));
    if (t == &PyFloat_Type || t == &PyBool_Type || t == &PyUnicode_Type) return vt == t;
    if (t == Py_TYPE(Py_None)) return v == Py_None;
    if (t == functionType) return vt == functionType;
    return true;
}

}  // namespace

void raiseAt(RunRecord* rt, int64_t n, const char* format, ...) {
    char text[pyhelp::kMessageBuffer];
    va_list list;
    va_start(list, format);
    int written = vsnprintf(text, sizeof text, format, list);
    va_end(list);
    size_t length = written < 0 ? 0 : size_t(written);
    if (length >= sizeof text) {
        // vsnprintf kept sizeof text - 1 bytes of it.
        length = wuna::text::utf8Prefix(text, sizeof text - 1, kFormattedKept);
        memcpy(text + length, "...", 3);
        length += 3;
    }
    raiseAtNodeText(rt, n, text, length);
}

PyObject* toI64(PyObject* x) { return bridge::checkedIntResult(x); }

int64_t nodeOfProgram(RunRecord* rt, PyObject* x) {
    if (Py_TYPE(x) != nodeType) return -1;
    NodeObject* node = reinterpret_cast<NodeObject*>(x);
    if (!node->state || node->holder != stateOfRun(rt)->holder) return -1;
    return node->index;
}

PyObject* programNode(RunRecord* rt, uint32_t n) {
    StateObject* state = stateOfRun(rt);
    return newNode(reinterpret_cast<PyObject*>(state), state->holder, n);
}

PyObject* childrenAt(RunRecord* rt, uint32_t n) {
    StateObject* state = stateOfRun(rt);
    PyObject* children = childValues(reinterpret_cast<PyObject*>(state), state->holder, n);
    if (!children) wrapError(rt, n);
    return children;
}

ptree::Text nodeSource(const ptree::Index* index, uint32_t n) {
    const ptree::NodeRecord& node = index->nodes[n];
    uint64_t start = node.start < index->textLength ? node.start : index->textLength;
    uint64_t end = node.end < start ? start : node.end;
    if (end > index->textLength) end = index->textLength;
    return {index->text + start, uint32_t(end - start)};
}

ptree::Text kindNameOf(const RunRecord* rt, int64_t k) {
    static constexpr char kNoKind[] = "<error>";
    const ptree::GrammarInfo* grammar = rt->language->grammar;
    if (k < 0 || !grammar || uint64_t(k) >= grammar->kindCount)
        return {kNoKind, uint32_t(sizeof kNoKind - 1)};
    return grammar->kindNames[k];
}

// Runs may overlap (calls from several Python threads, a call made inside a run), and the
// recursion limit is the interpreter's, shared by all of them: while any run is active it is
// at least what each asked for, and it goes back to what it was before the first of them when
// the last one ends. Only touched under the interpreter lock.
namespace {
uint32_t activeRuns = 0;
int limitBeforeRuns = 0;
}  // namespace

PyObject* newRt(PyObject* program) {
    WUNA_CHECK(PyGILState_Check());  // the recursion-limit count below is guarded by the lock
    ProgramRecord* record = programOf(program);
    if (!record) return nullptr;
    LanguageObject* language = languageOf(record->language);
    if (!language) return nullptr;
    if (!record->state || !stateOf(record)->holder) {
        PyErr_SetString(PyExc_RuntimeError, "this program's tree is gone");
        return nullptr;
    }
    PyObject* object = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(runtimeType));
    if (!object) return nullptr;
    RunRecord* rt = runRecordOf(object);
    rt->program = Py_NewRef(program);
    rt->record = record;
    rt->language = language;
    rt->currentNode = -1;
    rt->depth = 0;
    rt->initialised = true;
    rt->savedRecursionLimit = Py_GetRecursionLimit();
    int64_t wanted = int64_t(language->maxDepth) * kLimitPerCall;
    if (wanted > kLimitCap) wanted = kLimitCap;
    wanted += kLimitMargin;
    if (activeRuns++ == 0) limitBeforeRuns = rt->savedRecursionLimit;
    if (wanted > Py_GetRecursionLimit()) Py_SetRecursionLimit(int(wanted));
    return object;
}

void endRt(PyObject* object) {
    if (!object) return;
    RunRecord* rt = runRecordOf(object);
    if (rt && rt->initialised) {
        WUNA_CHECK(activeRuns > 0);  // newRt counted this run
        if (activeRuns > 0 && --activeRuns == 0) Py_SetRecursionLimit(limitBeforeRuns);
    }
    // Dropping the Runtime may release its frames and so run any code, which must not see the
    // run's failure (pending now, for the caller to report).
    PendingError failure;
    failure.take();
    Py_DECREF(object);
    failure.restore();
}

int installProgramFrame(RunRecord* rt) {
    PyObject* frame = newFrame(-1, -1, nullptr, programName);
    if (!frame) return -1;
    Py_XSETREF(rt->frame, Py_NewRef(frame));
    StateObject* state = stateOfRun(rt);
    Py_XSETREF(state->frame, frame);
    return 0;
}

PyObject* runTopLevel(PyObject* program) {
    PyObject* object = newRt(program);
    if (!object) return nullptr;
    RunRecord* rt = runRecordOf(object);
    int rc = installProgramFrame(rt);
    if (rc == 0) {
        rc = hoist(rt, -1);
        if (rc == 0) rc = execNode(rt, 0);
        if (rc < 0) finishRunError();
    }
    endRt(object);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace {

int failNesting() {
    PyErr_SetString(PyExc_RecursionError, "lists nested too deeply");
    return -1;
}

// execValue of x, itself an item of `nesting` lists or tuples.
int execNested(RunRecord* rt, PyObject* x, int nesting) {
    int64_t n = nodeOfProgram(rt, x);
    if (n >= 0) return execNode(rt, uint32_t(n));
    if (!PyList_Check(x) && !PyTuple_Check(x)) return 0;
    if (nesting >= kMaxListNesting) return failNesting();
    // The sequence is held while its items run: a semantic may change or drop it.
    Py_INCREF(x);
    int rc = 0;
    for (Py_ssize_t i = 0; rc == 0 && i < PySequence_Fast_GET_SIZE(x); i++) {
        PyObject* item = Py_NewRef(PySequence_Fast_GET_ITEM(x, i));
        rc = execNested(rt, item, nesting + 1);
        Py_DECREF(item);
    }
    Py_DECREF(x);
    return rc;
}

// evalValue of x, itself an item of `nesting` lists.
PyObject* evalNested(RunRecord* rt, PyObject* x, int nesting) {
    int64_t n = nodeOfProgram(rt, x);
    if (n >= 0) return evalNode(rt, uint32_t(n));
    if (PyList_Check(x)) {
        if (nesting >= kMaxListNesting) {
            failNesting();
            return nullptr;
        }
        Py_INCREF(x);
        PyObject* values = PyList_New(0);
        for (Py_ssize_t i = 0; values && i < PyList_GET_SIZE(x); i++) {
            PyObject* item = Py_NewRef(PyList_GET_ITEM(x, i));
            PyObject* value = evalNested(rt, item, nesting + 1);
            Py_DECREF(item);
            if (!value || PyList_Append(values, value) < 0) Py_CLEAR(values);
            Py_XDECREF(value);
        }
        Py_DECREF(x);
        return values;
    }
    if (PyLong_CheckExact(x)) return toI64(Py_NewRef(x));
    return Py_NewRef(x);
}

}  // namespace

int checkStackRoom(RunRecord* rt) {
    if (!runthread::stackExhausted()) return 0;
    raiseTooDeep(rt);
    return -1;
}

int execValue(RunRecord* rt, PyObject* x) { return execNested(rt, x, 0); }

int execNode(RunRecord* rt, uint32_t n) {
    if (checkStackRoom(rt) < 0) return -1;
    if (!ptree::isCaptured(indexOf(rt), n)) return execKind(rt, n);
    PyObject* before = pushBlockFrame(rt, n);
    if (!before) return -1;
    int rc = execKind(rt, n);
    popBlockFrame(rt, before);
    return rc;
}

int execKind(RunRecord* rt, uint32_t n) {
    CurrentNode current(rt, n);
    ensureKindTables(rt->language);
    int64_t k = kindAt(rt, n);
    if (k >= 0) {
        if (PyObject* fn = rt->language->execPerKind[k]) {
            PyObject* result = callSemantic(rt, fn, n);
            if (!result) {
                wrapError(rt, n);
                return -1;
            }
            Py_DECREF(result);
            return 0;
        }
        if (const FunctionKind* kind = functionKindOf(rt, k)) return bindDefinition(rt, n, kind);
        if (rt->language->evalPerKind[k]) {
            PyObject* value = evalNode(rt, n);
            if (!value) return -1;
            Py_DECREF(value);
            return 0;
        }
    }
    PyObject* children = childrenAt(rt, n);
    if (!children) return -1;
    int rc = execValue(rt, children);
    Py_DECREF(children);
    return rc;
}

PyObject* evalValue(RunRecord* rt, PyObject* x) { return evalNested(rt, x, 0); }

PyObject* evalNode(RunRecord* rt, uint32_t n) {
    if (checkStackRoom(rt) < 0) return nullptr;
    PyObject* value;
    if (ptree::isCaptured(indexOf(rt), n)) {
        PyObject* before = pushBlockFrame(rt, n);
        if (!before) return nullptr;
        value = evalKind(rt, n);
        popBlockFrame(rt, before);
    } else {
        value = evalKind(rt, n);
    }
    if (!value) return nullptr;
    return checkDeclaredType(rt, n, value);
}

PyObject* evalKind(RunRecord* rt, uint32_t n) {
    CurrentNode current(rt, n);
    ensureKindTables(rt->language);
    int64_t k = kindAt(rt, n);
    if (k >= 0) {
        if (PyObject* fn = rt->language->evalPerKind[k]) {
            PyObject* result = toI64(callSemantic(rt, fn, n));
            if (!result) wrapError(rt, n);
            return result;
        }
    }
    const ptree::Index* index = indexOf(rt);
    if (index->nodeSymbols[n] != ptree::kNone) return loadVariable(rt, n);
    PyObject* children = childrenAt(rt, n);
    if (!children) return nullptr;
    if (PyList_GET_SIZE(children) == 1) {
        PyObject* item = Py_NewRef(PyList_GET_ITEM(children, 0));
        Py_DECREF(children);
        PyObject* value = evalValue(rt, item);
        Py_DECREF(item);
        return value;
    }
    Py_DECREF(children);
    ptree::Text kind = kindNameOf(rt, k);
    raiseAt(rt, n, kNoSemantics, int(kind.length), kind.data);
    return nullptr;
}

PyObject* checkDeclaredType(RunRecord* rt, uint32_t n, PyObject* v) {
    PyObject* types = rt->language->types;
    PyObject* analysis = stateOfRun(rt)->analysis;
    if (!types || !analysis) return v;
    U32Map& cache = rt->record->typeCache;
    PyObject* type = cache.find(n);
    if (!type) {
        PyObject* text = PyObject_CallMethod(analysis, "type_of", "I", unsigned(n));
        PyObject* found = text ? lookUpType(types, text) : nullptr;
        Py_XDECREF(text);
        if (!found) {
            Py_DECREF(v);
            return nullptr;
        }
        // Something that is no type counts as no type.
        if (!PyType_Check(found)) Py_SETREF(found, Py_NewRef(Py_None));
        if (!cache.put(n, found)) {
            Py_DECREF(found);
            Py_DECREF(v);
            return PyErr_NoMemory();
        }
        Py_DECREF(found);
        type = cache.find(n);
    }
    if (type == Py_None || passes(type, v)) return v;
    Py_DECREF(v);
    PyObject* text = PyObject_CallMethod(analysis, "type_of", "I", unsigned(n));
    if (!text) return nullptr;
    const char* shown = PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : "?";
    if (!shown) {
        Py_DECREF(text);
        return nullptr;
    }
    raiseAt(rt, n, kWrongType, shown);
    Py_DECREF(text);
    return nullptr;
}

}  // namespace wuna::host
