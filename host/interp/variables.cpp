// Variables, frames and functions of the reference mode (see interp/variables.h).
//
// A name node's symbol comes from the index's node-to-symbol map. A declared symbol's frame is
// found by walking the chain from the current frame to the first frame whose scope is the
// symbol's scope; a builtin is read from the session's names (what earlier entries defined)
// or the Language's host functions. Values read back are checked against declared types;
// stores are not, but an exact int is stored as an I64, so that programs compute in 64 bits.
#include "host/interp/variables.h"

#include "host/interp/function_object.h"
#include "host/interp/interp.h"
#include "host/interp/run_errors.h"
#include "host/module/startup.h"
#include "host/module/type_registry.h"
#include "host/run/session.h"
#include "host/support/check.h"
#include "host/tree/node.h"
#include "host/tree/state.h"

namespace wuna::host {

namespace {

constexpr char kNoValueYet[] = "'%.*s' has no value yet";
constexpr char kUnreachable[] = "'%.*s' isn't reachable from here";
constexpr char kNoHost[] = "no host function for the builtin '%.*s'";
constexpr char kAssignBuiltin[] = "can't assign to the builtin '%.*s'";
constexpr char kNotVariable[] = "'%.*s' is not a variable";
constexpr char kNeedRules[] = "variables need rules with a scopes() rule";
constexpr char kFreshElsewhere[] = "rt.fresh(): this scope isn't the one being run";
constexpr char kAnonymous[] = "<anonymous>";

FrameObject* asFrame(PyObject* object) { return reinterpret_cast<FrameObject*>(object); }

// The symbol node n is bound to, or kNone.
uint32_t symbolAt(RunRecord* rt, uint32_t n) {
    const ptree::Index* index = indexOf(rt);
    if (n >= index->count || !index->nodeSymbols) return ptree::kNone;
    uint32_t s = index->nodeSymbols[n];
    return s < index->symbolCount ? s : ptree::kNone;
}

// The builtin's frame and symbol in the session's names: 1 found, 0 not (or no session), -1.
int sessionVariable(RunRecord* rt, PyObject* name, PyObject** frame, uint32_t* symbol) {
    SessionObject* session = sessionOfProgram(rt->record);
    if (!session) return 0;
    return sessionName(session, name, frame, symbol);
}

// The value of variable s in frame, type-checked; the error when it has none.
PyObject* readSlot(RunRecord* rt, FrameObject* frame, uint32_t s, uint32_t n,
                   const ptree::Symbol& symbol) {
    PyObject* value = frame->variables.find(s);
    if (!value) {
        raiseAt(rt, n, kNoValueYet, int(symbol.length), symbol.name);
        return nullptr;
    }
    return checkDeclaredType(rt, n, Py_NewRef(value));
}

}  // namespace

int raiseNotVariable(RunRecord* rt, uint32_t n) {
    if (!stateOfRun(rt)->analysis) {
        raiseAt(rt, n, "%s", kNeedRules);
        return -1;
    }
    ptree::Text text = nodeSource(indexOf(rt), n);
    raiseAt(rt, n, kNotVariable, int(text.length), text.data);
    return -1;
}

FrameObject* frameOfSymbol(RunRecord* rt, uint32_t s, uint32_t n) {
    ptree::Index* index = const_cast<ptree::Index*>(indexOf(rt));
    int32_t scope = ptree::symbolScope(index, s);
    for (PyObject* f = rt->frame; f; f = asFrame(f)->parent)
        if (asFrame(f)->scope == scope) return asFrame(f);
    const ptree::Symbol& symbol = index->symbols[s];
    raiseAt(rt, n, kUnreachable, int(symbol.length), symbol.name);
    return nullptr;
}

PyObject* loadVariable(RunRecord* rt, uint32_t n) {
    uint32_t s = symbolAt(rt, n);
    if (s == ptree::kNone) {
        raiseNotVariable(rt, n);
        return nullptr;
    }
    const ptree::Symbol& symbol = indexOf(rt)->symbols[s];
    if (!symbol.builtin) {
        FrameObject* frame = frameOfSymbol(rt, s, n);
        return frame ? readSlot(rt, frame, s, n, symbol) : nullptr;
    }
    PyObject* name = PyUnicode_DecodeUTF8(symbol.name, Py_ssize_t(symbol.length), "replace");
    if (!name) return nullptr;
    PyObject* frame = nullptr;
    uint32_t t = 0;
    int found = sessionVariable(rt, name, &frame, &t);
    PyObject* result = nullptr;
    if (found > 0) {
        Py_INCREF(frame);
        result = readSlot(rt, asFrame(frame), t, n, symbol);
        Py_DECREF(frame);
    } else if (found == 0) {
        PyObject* host = PyDict_GetItemWithError(rt->language->hosts, name);
        if (host)
            result = Py_NewRef(host);
        else if (!PyErr_Occurred())
            raiseAt(rt, n, kNoHost, int(symbol.length), symbol.name);
    }
    Py_DECREF(name);
    return result;
}

int storeVariable(RunRecord* rt, uint32_t n, PyObject* v) {
    uint32_t s = symbolAt(rt, n);
    if (s == ptree::kNone) return raiseNotVariable(rt, n);
    const ptree::Symbol& symbol = indexOf(rt)->symbols[s];
    PyObject* frame = nullptr;
    uint32_t slot = s;
    if (symbol.builtin) {
        PyObject* name = PyUnicode_DecodeUTF8(symbol.name, Py_ssize_t(symbol.length), "replace");
        if (!name) return -1;
        int found = sessionVariable(rt, name, &frame, &slot);
        Py_DECREF(name);
        if (found < 0) return -1;
        if (found == 0) {
            raiseAt(rt, n, kAssignBuiltin, int(symbol.length), symbol.name);
            return -1;
        }
    } else {
        FrameObject* f = frameOfSymbol(rt, s, n);
        if (!f) return -1;
        frame = reinterpret_cast<PyObject*>(f);
    }
    PyObject* value = toI64(Py_NewRef(v));
    if (!value) {
        wrapError(rt, n);
        return -1;
    }
    // The frame is held while the replaced value goes, which may run any code.
    Py_INCREF(frame);
    bool stored = asFrame(frame)->variables.put(slot, value);
    Py_DECREF(value);
    Py_DECREF(frame);
    if (!stored) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* pushBlockFrame(RunRecord* rt, uint32_t n) {
    PyObject* before = rt->frame;
    PyObject* name = before ? asFrame(before)->name : programName;
    PyObject* frame = newFrame(int32_t(n), -1, before, name);
    if (!frame) return nullptr;
    rt->frame = frame;  // the Runtime's reference to before passes to the caller
    if (hoist(rt, n) < 0) {
        rt->frame = before;
        Py_DECREF(frame);
        return nullptr;
    }
    // A block at the top level before any frame exists is given Py_None as "before".
    return before ? before : Py_NewRef(Py_None);
}

void popBlockFrame(RunRecord* rt, PyObject* before) {
    WUNA_CHECK(before != nullptr);  // pushBlockFrame gives Py_None for "no frame"
    PyObject* frame = rt->frame;
    rt->frame = before == Py_None ? nullptr : before;
    if (before == Py_None) Py_DECREF(before);
    Py_XDECREF(frame);
}

PyObject* newCallFrame(uint32_t function, int32_t callSite, PyObject* parent, PyObject* name) {
    return newFrame(int32_t(function), callSite, parent, name);
}

const FunctionKind* functionKindOf(RunRecord* rt, uint32_t d, int64_t site) {
    static constexpr char kNotFunctionKind[] = "%.*s isn't a function kind (Language.function)";
    const ptree::Index* index = indexOf(rt);
    const ptree::GrammarInfo* grammar = rt->language->grammar;
    uint32_t k = d < index->count ? ptree::kindOf(index->nodes[d]) : ptree::kNone;
    if (grammar && k < grammar->kindCount && rt->language->functionKinds &&
        rt->language->functionKinds[k].isFunction)
        return &rt->language->functionKinds[k];
    ptree::Text kind = kindNameOf(rt, int64_t(k));
    raiseAt(rt, site, kNotFunctionKind, int(kind.length), kind.data);
    return nullptr;
}

PyObject* makeFunction(RunRecord* rt, uint32_t n) {
    const FunctionKind* found = functionKindOf(rt, n, n);
    if (!found) return nullptr;
    const FunctionKind& kind = *found;
    const ptree::Index* index = indexOf(rt);
    PyObject* name;
    int64_t child =
        kind.nameLabel ? ptree::childWithLabel(index->nodes, index->count, n, kind.nameLabel) : -1;
    if (child >= 0) {
        ptree::Text text = nodeSource(index, uint32_t(child));
        name = PyUnicode_DecodeUTF8(text.data, Py_ssize_t(text.length), "replace");
    } else {
        name = PyUnicode_FromString(kAnonymous);
    }
    if (!name) return nullptr;
    PyObject* function = newFunction(rt->record->state, n, rt->frame, name);
    Py_DECREF(name);
    return function;
}

int hoist(RunRecord* rt, int64_t scope) {
    const ptree::Index* index = indexOf(rt);
    uint32_t count = 0;
    const uint32_t* definitions = ptree::hoisted(index, scope, &count);
    for (uint32_t i = 0; i < count; i++) {
        uint32_t d = definitions[i];
        uint32_t k = ptree::kindOf(index->nodes[d]);
        const ptree::GrammarInfo* grammar = rt->language->grammar;
        uint8_t label = 0;
        if (grammar && k < grammar->kindCount && rt->language->functionKinds)
            label = rt->language->functionKinds[k].nameLabel;
        if (!label && index->functionKinds && k < index->functionKindCount)
            label = index->functionKinds[k].nameLabel;
        int64_t child = label ? ptree::childWithLabel(index->nodes, index->count, d, label) : -1;
        if (child < 0) continue;
        PyObject* f = makeFunction(rt, d);
        if (!f) return -1;
        int rc = storeVariable(rt, uint32_t(child), f);
        Py_DECREF(f);
        if (rc < 0) return -1;
    }
    return 0;
}

int freshFrame(RunRecord* rt, uint32_t n) {
    if (!ptree::isCaptured(indexOf(rt), n)) return 0;
    FrameObject* current = rt->frame ? asFrame(rt->frame) : nullptr;
    if (!current || current->scope != int32_t(n)) {
        raiseAt(rt, n, "%s", kFreshElsewhere);
        return -1;
    }
    PyObject* frame = newFrame(int32_t(n), -1, current->parent, current->name);
    if (!frame) return -1;
    Py_SETREF(rt->frame, frame);
    return 0;
}

}  // namespace wuna::host
