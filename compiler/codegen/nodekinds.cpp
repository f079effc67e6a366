// Node kinds from the language's types: the Python type a node's type maps to through
// Language.types, and the known kind that gives compiled code (see lower.h).
#include <cstdlib>

#include "compiler/backend/inputs.h"
#include "compiler/codegen/lower.h"
#include "wuna/runtime/hostapi.h"

namespace wuna::compile {

namespace {

// The mapping's answer for a type the analysis gave: the dict's item for the type, else for
// the text before its first "(" or "[" (the generic's name); or the function's result.
// Borrowed (compared by identity only), or null; -1 with a Python exception.
int mappedType(PyObject* types, PyObject* type, PyObject** out) {
    *out = nullptr;
    if (PyDict_Check(types)) {
        PyObject* found = PyDict_GetItemWithError(types, type);
        if (found || PyErr_Occurred()) {
            *out = found;
            return found ? 0 : -1;
        }
        if (!PyUnicode_Check(type)) {
            PyErr_SetString(PyExc_TypeError, "type must be a str");
            return -1;
        }
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(type, &length);
        if (!text) return -1;
        Py_ssize_t cut = 0;
        while (cut < length && text[cut] != '(' && text[cut] != '[') cut++;
        if (cut == length) return 0;
        PyObject* generic = PyUnicode_DecodeUTF8(text, cut, "replace");
        if (!generic) return -1;
        found = PyDict_GetItemWithError(types, generic);
        Py_DECREF(generic);
        *out = found;
        return found || !PyErr_Occurred() ? 0 : -1;
    }
    PyObject* result = PyObject_CallOneArg(types, type);
    if (!result) return -1;
    // Identity is all that is used of the answer.
    *out = result == Py_None ? nullptr : result;
    Py_DECREF(result);
    return 0;
}

}  // namespace

int typeOfNode(PyObject* types, PyObject* analysis, uint32_t node, PyObject** out) {
    *out = nullptr;
    if (!types || !analysis) return 0;
    PyObject* type = PyObject_CallMethod(analysis, "type_of", "I", unsigned(node));
    if (!type) {
        // Rules without types: no type.
        PyErr_Clear();
        return 0;
    }
    int rc = type == Py_None ? 0 : mappedType(types, type, out);
    Py_DECREF(type);
    return rc;
}

namespace {

// The kinds a mapped type gives, compared by identity in this order; wuna.Function is the
// host's type, looked up when asked (it is made at start-up).
KnownKind kindOfType(PyObject* type) {
    if (!type) return KnownKind::unknown;
    const struct {
        const void* type;
        KnownKind kind;
    } kinds[] = {
        {&PyLong_Type, KnownKind::int_},        {&PyFloat_Type, KnownKind::float_},
        {&PyBool_Type, KnownKind::bool_},       {&PyUnicode_Type, KnownKind::str},
        {Py_TYPE(Py_None), KnownKind::none},    {runtime::hostApi.functionType, KnownKind::function},
    };
    for (const auto& k : kinds)
        if (k.type && k.type == type) return k.kind;
    return KnownKind::unknown;
}

// A memo entry: the kind in the low bits, kMemoKnown when the kind is known.
constexpr uint8_t kMemoKnown = 0x80;

}  // namespace

Status nodeKindMemo(Compiler* c, uint32_t node, KnownKind* out) {
    *out = KnownKind::unknown;
    const driver::CompileInputs* in = c->inputs;
    if (!in || !in->types || !in->analysis) return Status::ok;
    if (const uint8_t* seen = c->nodeKinds.find(node)) {
        *out = KnownKind(*seen & ~kMemoKnown);
        return Status::ok;
    }
    PyObject* type = nullptr;
    // An error is not remembered: the next question asks again.
    if (typeOfNode(in->types, in->analysis, node, &type) < 0) return Status::pythonError;
    KnownKind kind = kindOfType(type);
    uint8_t entry = kind == KnownKind::unknown ? 0 : uint8_t(uint8_t(kind) | kMemoKnown);
    // put looks for the node itself when the memo can't grow.
    if (!c->nodeKinds.put(node, entry)) return Status::outOfMemory;
    *out = kind;
    return Status::ok;
}

Status nodeKindFromTypes(Emitter* e, uint32_t node, const TypedEntry** out) {
    *out = nullptr;
    Compiler* c = e->compiler;
    const driver::CompileInputs* in = c->inputs;
    // Without types nothing is declared: kinds speculation recorded are not declarations.
    if (!in || !in->types || !in->analysis) return Status::ok;
    if (const TypedEntry* seen = c->typedEntries.find(node)) {
        *out = seen->kinds ? seen : nullptr;
        return Status::ok;
    }
    const host::FunctionKind* kind = functionKindOf(c, node);
    if (!kind) return Status::ok;
    backend::List<uint32_t> parameters;
    if (Status s = childWithLabel(e, node, kind->paramsLabel, &parameters); s != Status::ok)
        return s;
    if (parameters.count == 0) return Status::ok;
    auto* kinds = static_cast<uint8_t*>(std::malloc(parameters.count));
    Status s = kinds ? Status::ok : Status::outOfMemory;
    bool declared = true;
    for (size_t i = 0; s == Status::ok && declared && i < parameters.count; i++) {
        KnownKind k = KnownKind::unknown;
        s = nodeKindMemo(c, parameters[i], &k);
        if (s != Status::ok) break;
        if (k == KnownKind::bool_ || k == KnownKind::int_ || k == KnownKind::float_) {
            kinds[i] = uint8_t(k);
            continue;
        }
        // A list type has no kind of its own node (a list value is checked where it is
        // used), but a list parameter can be passed unboxed.
        PyObject* type = nullptr;
        if (k == KnownKind::unknown &&
            typeOfNode(in->types, in->analysis, parameters[i], &type) < 0) {
            s = Status::pythonError;
            break;
        }
        declared = k == KnownKind::unknown && type == reinterpret_cast<PyObject*>(&PyList_Type);
        kinds[i] = uint8_t(KnownKind::list);
    }
    // Errors are not remembered: the next question asks again.
    if (s == Status::ok) s = recordKinds(c, node, declared ? kinds : nullptr, uint32_t(parameters.count));
    std::free(kinds);
    parameters.free();
    if (s != Status::ok) return s;
    const TypedEntry* entry = c->typedEntries.find(node);
    *out = entry && entry->kinds ? entry : nullptr;
    return Status::ok;
}

}  // namespace wuna::compile
